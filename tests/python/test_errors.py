"""Refusals raise pelkaro.Error with the library's account: for each kind, the
stage, code, keyword, entry and parameter-file line, and a console that is
exactly what Pelkaro prints for the same run; the console is shown only
when asked."""

import logging
import pickle

import numpy
import pytest

import pelkaro
from conftest import run_program

DEAD_FLAT = "<time>1</time>\n" + ("0\t" * 128 + "\n") * 128

# (what changes in spheres.par, files to add, stage, code, keyword, entry, the line's start or None)
REFUSALS = [
    pytest.param(("PXSP 5 5", "PXSP 5 -5"), {}, "parameters", "bad_parameter", "PXSP", None, "PXSP", id="parameter"),
    pytest.param(("DATB solvent_buffer.dat", "DATB nowhere.dat"), {}, "parameters", "cannot_read", "DATB", 0, "DATB",
                 id="missing-file"),
    pytest.param(("BINS 1", "# no bin width"), {}, "parameters", "missing_keyword", "BINS", None, None,
                 id="missing-keyword"),
    pytest.param(("DATB solvent_buffer.dat 1125", "# DATB solvent_buffer.dat 1125"), {}, "parameters", "bad_count",
                 "DATB", None, None, id="no-buffer"),
    pytest.param(("DATB solvent_buffer.dat", "DATB big.dat"), {"big.dat": "1 2 3 99999999999\n"}, "read",
                 "bad_contents", "DATB", 0, "DATB", id="unreadable-counts"),
    pytest.param(("DATS sphere_sample.dat", "DATS empty.dat"), {"empty.dat": "# nothing\n"}, "read", "no_values",
                 "DATS", 0, "DATS", id="no-values"),
    pytest.param(("DATS sphere_sample.dat", "DATS zero.dat"), {"zero.dat": "<time>0</time>\n1 2 3\n"}, "read",
                 "zero_time", "DATS", 0, "DATS", id="zero-time"),
    pytest.param(("SENS 1 flat_field.dat", "SENS 1 dead.dat"), {"dead.dat": DEAD_FLAT}, "sensitivity", "not_finite",
                 "SENS", None, "SENS", id="dead-flat-field"),
    pytest.param(("0.1 0.899425", "0.1 0"), {}, "subtraction", "bad_parameter", "DATS", 0, "DATS",
                 id="zero-transmission"),
]


def changed(example, change, files):
    par = (example / "spheres.par").read_text()
    assert change[0] in par
    (example / "spheres.par").write_text(par.replace(change[0], change[1], 1))
    for name, text in files.items():
        (example / name).write_text(text)
    lines = (example / "spheres.par").read_text().splitlines()
    return lambda start: next(n for n, line in enumerate(lines, 1) if line.startswith(start))


@pytest.mark.parametrize("change, files, stage, code, keyword, entry, line", REFUSALS)
def test_each_refusal_carries_the_librarys_account(example, change, files, stage, code, keyword, entry, line):
    line_of = changed(example, change, files)
    with pytest.raises(pelkaro.Error) as caught:
        pelkaro.reduce("spheres.par", cwd=example)
    e = caught.value
    assert isinstance(e, ValueError)
    assert (e.stage, e.code, e.keyword, e.entry, e.file) == (stage, code, keyword, entry, "spheres.par")
    assert e.line == (line_of(line) if line else None)
    status, printed = run_program("PELKARO_EXE", "spheres.par", cwd=example)
    assert status == 255 and e.console == printed and printed.endswith(e.text)
    assert e.message and e.message in e.text.replace("Pelkaro:  ", "") and "\n" not in e.message
    assert str(e) == (f"spheres.par:{e.line}: {e.message}" if e.line else f"spheres.par: {e.message}")


def test_the_same_parameters_as_a_mapping_are_refused_in_the_same_words(example):
    params = dict(pelkaro.reduce("spheres.par", cwd=example).parameters)
    for key, value in (("PXSP", (5, -5)), ("CNTR", (600, 62.5)), ("BINS", None), ("DATB", ())):
        changed_params = dict(params, **{key: value})
        par = (example / "spheres.par").read_text()
        with pytest.raises(pelkaro.Error) as from_mapping:
            pelkaro.reduce(changed_params, cwd=example)
        (example / "changed.par").write_text(
            "".join(_line(key, value) if line.startswith(key) else line for line in par.splitlines(True)))
        with pytest.raises(pelkaro.Error) as from_file:
            pelkaro.reduce("changed.par", cwd=example)
        m, f = from_mapping.value, from_file.value
        assert (m.stage, m.code, m.keyword, m.message, m.text) == (f.stage, f.code, f.keyword, f.message, f.text)
        assert m.line is None and m.file is None and f.file == "changed.par"


def test_a_keyword_given_more_numbers_than_it_takes_is_refused(example):
    params = dict(pelkaro.reduce("spheres.par", cwd=example).parameters)
    for key, value, message in (("CNTR", (65.5, 62.5, 1), "CNTR takes 2 numbers (the beam centre's x and y in "
                                                          "pixels), not 3: (65.5, 62.5, 1)"),
                                ("SM2D", (5000, 5000), "SM2D takes one number (the sample-to-detector distance), "
                                                       "not 2: (5000, 5000)"),
                                ("SMRP", (5000, 30, 10, 1), "SMRP takes 3 numbers (the source-to-sample distance and "
                                                            "the source and sample aperture diameters), not 4: "
                                                            "(5000, 30, 10, 1)")):
        with pytest.raises(pelkaro.Error) as e:
            pelkaro.reduce(dict(params, **{key: value}), cwd=example)
        assert (e.value.stage, e.value.code, e.value.keyword, e.value.message) == (
            "parameters", "bad_parameter", key, message)


def _line(key, value):
    if value is None or value == ():
        return f"# no {key}\n"
    return key + "".join(f" {v}" for v in value) + "\n"


def test_runs_that_are_not_reductions_and_outputs_that_cannot_be_written(example):
    par = (example / "spheres.par").read_text()
    (example / "mask.par").write_text(par.replace("MODE 0", "MODE 1"))
    with pytest.raises(pelkaro.Error) as mode:
        pelkaro.reduce("mask.par", cwd=example)
    assert (mode.value.stage, mode.value.code, mode.value.keyword, mode.value.line) == \
        ("parameters", "bad_parameter", "MODE", par.splitlines().index("MODE 0") + 1)
    assert not (example / "mask.d2d").exists()
    run = pelkaro.reduce("spheres.par", cwd=example)
    with pytest.raises(pelkaro.Error) as nowhere:
        run.write("no/such/dir/out")
    assert (nowhere.value.stage, nowhere.value.code) == ("output", "cannot_write")
    assert "no/such/dir/out.d2d" in nowhere.value.message
    if pelkaro.has_nxcansas:
        with pytest.raises(pelkaro.Error) as over_input:
            run.write_nxcansas("sphere_sample.dat")
        assert over_input.value.code == "cannot_write" and "is the input file" in over_input.value.message
        with pytest.raises(pelkaro.Error):
            run.write_nxcansas("x.h5", length_unit="furlong")
    for bad in (42, b"spheres.par", "spheres\0.par", ""):
        with pytest.raises(pelkaro.Error):
            pelkaro.reduce(bad, cwd=example)
    with pytest.raises(pelkaro.Error) as no_dir:
        pelkaro.reduce("spheres.par", cwd=example / "nowhere")
    assert "cannot enter the directory" in no_dir.value.message


def test_names_that_are_not_text_do_not_break_the_error(example):
    par = (example / "spheres.par").read_bytes().replace(b"DATB solvent_buffer.dat", b"DATB caf\xe9.dat")
    (example / "latin.par").write_bytes(par)
    with pytest.raises(pelkaro.Error) as caught:
        pelkaro.reduce("latin.par", cwd=example)
    assert caught.value.message == "The buffer file caf\udce9.dat does not exist"


def test_console_is_shown_only_when_asked_and_goes_to_the_log(example, capsys, caplog):
    with caplog.at_level(logging.WARNING, logger="pelkaro"):
        run = pelkaro.reduce("spheres.par", cwd=example)
    assert capsys.readouterr().out == "" and caplog.records == []
    pelkaro.reduce("spheres.par", cwd=example, verbose=True)
    assert capsys.readouterr().out == run.console
    with caplog.at_level(logging.INFO, logger="pelkaro"):
        pelkaro.reduce("spheres.par", cwd=example)
    assert [r.getMessage() for r in caplog.records] == run.console.splitlines()
    assert "Parsing input file..." in run.console


def test_errors_survive_pickling(example):
    with pytest.raises(pelkaro.Error) as caught:
        pelkaro.reduce("nothing.par", cwd=example)
    again = pickle.loads(pickle.dumps(caught.value))
    assert type(again) is pelkaro.Error and str(again) == str(caught.value)
    assert vars(again) == vars(caught.value)
