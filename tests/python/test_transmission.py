"""pelkaro.transmission measures what pelkaro-trans measures: the same lines and
table byte for byte on the bundled example's direct beams, from files or from
images in memory; every input the program cannot use is refused with the
program's words, the other runs still measured with errors="keep"."""

import threading
import time

import numpy
import pytest

import pelkaro
from conftest import read_counts, read_mask, run_program

EMPTY = ("empty_beam.dat", 120, 120000)
SAMPLE = ("sample_beam.dat", 180, 176940, "sphere_sample.dat")
BUFFER = ("buffer_beam.dat", 150, 148320, "solvent_buffer.dat")


def trans_args(empty, runs, parameters=None, dark=None, radius=None, attenuation=None, tsv=False):
    """pelkaro-trans's command line for the module's arguments."""
    args = ["--format=tsv"] if tsv else []
    for option, value in (("--par", parameters), ("--radius", radius), ("--attenuation", attenuation)):
        if value is not None:
            args += [option, value]
    if dark is not None:
        args += ["--dark", ",".join(map(str, dark))]
    return args + ["--empty", ",".join(map(str, empty))] + [",".join(map(str, r)) for r in runs]


def detector_file(counts, time, monitor):
    return f"<time>{time}</time>\n<monitor>{monitor}</monitor>\n" + \
        "".join("\t".join(map(str, row)) + "\n" for row in numpy.asarray(counts).reshape(-1, 128))


def test_the_examples_beams_measure_as_pelkaro_trans_prints_them(example):
    kw = dict(parameters="spheres.par", attenuation=0.0001)
    result = pelkaro.transmission(EMPTY, [SAMPLE, BUFFER], cwd=example, **kw)
    for tsv in (False, True):
        status, out, err = run_program("PELKARO_TRANS_EXE", *trans_args(EMPTY, [SAMPLE, BUFFER], tsv=tsv, **kw),
                                       cwd=example, stderr=True)
        assert (status, err) == (0, "") and out == (result.tsv if tsv else result.text)
    # The table's nine digits are the values'.
    rows = [line.split("\t") for line in out.splitlines()[1:]]
    values = [(r.value, r.sigma) for r in result.runs] + list(zip(result.centre, result.centre_sigma)) + \
        [(result.absf, result.absf_sigma)]
    assert [row[2:4] for row in rows if row[0] != "radius"] == [[f"{v:.9g}", f"{s:.9g}"] for v, s in values]
    assert [(r.file, r.datafile, r.index) for r in result.runs] == \
        [("sample_beam.dat", "sphere_sample.dat", 0), ("buffer_beam.dat", "solvent_buffer.dat", 1)]
    # Simulated: transmissions 0.899425 and 0.904837, centre (65.5, 62.5), ABSF 16.99243.
    assert abs(result.runs[0].value - 0.899425) < 3 * result.runs[0].sigma
    assert abs(result.absf - 16.99243) < 3 * result.absf_sigma and result.absf_stand_ins == 97
    assert result.warnings == [] and result.errors == [] and result.console == "" and not result.radius_given
    plain = pelkaro.transmission(EMPTY, [SAMPLE], radius=4, cwd=example)
    assert plain.absf is None and plain.radius == 4 and plain.radius_given and "ABSF" not in plain.text


def test_images_in_memory_measure_as_their_files(example):
    def image(run, time, monitor, *rest):  # named after the file, its name's first letter doubled
        return {"image": read_counts(example / run), "name": run[0] + run, "time": time, "monitor": monitor,
                **({"datafile": rest[0]} if rest else {})}

    params = dict(pelkaro.reduce("spheres.par", cwd=example).parameters)
    params["SENS"] = dict(params["SENS"], file=None, image=read_counts(example / "flat_field.dat"), name="flat.img")
    params["MASK"] = dict(params["MASK"], file=None, image=read_mask(example / "detector.mask"), name="mask.img")
    params["DATD"] = dict(params["DATD"], file=None, image=read_counts(example / "dark_current.dat"), name="dark.img")
    held = pelkaro.transmission(image(*EMPTY), [image(*SAMPLE), image(*BUFFER)], parameters=params,
                                attenuation=0.0001, cwd=example)
    files = pelkaro.transmission(EMPTY, [SAMPLE, BUFFER], parameters="spheres.par", attenuation=0.0001, cwd=example)
    held_text, held_tsv = held.text, held.tsv
    for run in ("empty_beam.dat", "sample_beam.dat", "buffer_beam.dat"):
        assert run[0] + run in held_text
        held_text, held_tsv = (t.replace(run[0] + run, run) for t in (held_text, held_tsv))
    assert held_tsv == files.tsv and held_text == files.text
    # The empty beam through nothing transmits exactly 1; counted for half
    # the monitor counts, twice as much, which is no transmission.
    counts = read_counts(example / "empty_beam.dat")
    same = pelkaro.transmission((counts, 120, 120000), [(counts, 120, 120000), (counts, 120, 60000)], errors="keep")
    assert [r.value for r in same.runs] == [1.0] and [r.file for r in same.runs] == ["runs[0]"]
    assert (same.errors[0].stage, same.errors[0].code, same.errors[0].entry) == ("transmission", "bad_contents", 1)
    assert same.errors[0].message.startswith("runs[1] counted 2.0000 +- ")


def refusal_files(example):
    empty = read_counts(example / "empty_beam.dat")
    (example / "twice.dat").write_text(detector_file(empty, 120, 60000))
    (example / "more.dat").write_text(detector_file(empty, 120, 115000))
    (example / "half.dat").write_text(detector_file(empty.ravel()[:8192], 10, 10))
    par = (example / "spheres.par").read_text()
    (example / "nopxsp.par").write_text(par.replace("PXSP", "# PXSP"))
    (example / "nobuffer.par").write_text(par.replace("DATB solvent_buffer.dat", "DATB nowhere.dat"))
    return next(n for n, line in enumerate(par.splitlines(), 1) if line.startswith("DATB"))


# (runs, options, (stage, code, keyword, entry) of the first refusal, the start of its message)
REFUSED = [
    pytest.param([SAMPLE, ("gone.dat", 1, 1)], {}, ("read", "cannot_read", None, 1),
                 "gone.dat: No such file or directory", id="missing-run"),
    pytest.param([("half.dat", 1, 1), SAMPLE], {}, ("transmission", "bad_contents", None, 0),
                 "half.dat holds 8192 detector values", id="short-run"),
    pytest.param([SAMPLE, ("twice.dat", 1, 1)], {}, ("transmission", "bad_contents", None, 1),
                 "twice.dat counted 2.", id="above-1.2"),
    pytest.param([SAMPLE], {"parameters": "nopxsp.par", "attenuation": 0.0001},
                 ("parameters", "missing_keyword", "PXSP", None),
                 "nopxsp.par has no PXSP line, which the absolute scale (ABSF) needs", id="no-pxsp"),
]


@pytest.mark.parametrize("runs, options, fields, message", REFUSED)
def test_each_refusal_in_pelkaro_trans_words_the_other_runs_measured(example, runs, options, fields, message):
    refusal_files(example)
    status, out, err = run_program("PELKARO_TRANS_EXE", *trans_args(EMPTY, runs, **options), cwd=example,
                                   stderr=True)
    kept = pelkaro.transmission(EMPTY, runs, errors="keep", cwd=example, **options)
    assert status == 1 and kept.text == out and kept.console == err
    e = kept.errors[0]
    assert (e.stage, e.code, e.keyword, e.entry) == fields and e.message.startswith(message)
    assert e.text == f"pelkaro-trans: error: {e.message}\n" and err.startswith(e.console) and str(e) == e.message
    assert [r.file for r in kept.runs] == [r[0] for n, r in enumerate(runs) if n != fields[3]]
    with pytest.raises(pelkaro.Error) as raised:
        pelkaro.transmission(EMPTY, runs, cwd=example, **options)
    assert vars(raised.value) == vars(e)


def test_inputs_every_run_needs_stop_the_measurement_and_warnings_warn(example):
    datb_line = refusal_files(example)
    for empty, options, fields, message in (
            (("nothere.dat", 1, 1), {}, ("read", "cannot_read", None, None),
             "the empty beam: nothere.dat: No such file or directory; nothing measured"),
            (EMPTY, {"dark": ("half.dat", 100)}, ("transmission", "bad_contents", None, None),
             "the dark current: half.dat holds 8192 detector values"),
            (EMPTY, {"parameters": "nobuffer.par"}, ("parameters", "cannot_read", "DATB", datb_line),
             "nobuffer.par: The buffer file nowhere.dat does not exist; nothing measured")):
        status, out, err = run_program("PELKARO_TRANS_EXE", *trans_args(empty, [SAMPLE], **options), cwd=example,
                                       stderr=True)
        with pytest.raises(pelkaro.Error) as caught:
            pelkaro.transmission(empty, [SAMPLE], errors="keep", cwd=example, **options)
        e = caught.value
        assert (status, out) == (1, "") and e.console == err and e.message.startswith(message)
        assert (e.stage, e.code, e.keyword, e.line) == fields
    status, out, err = run_program("PELKARO_TRANS_EXE", *trans_args(EMPTY, [("more.dat", 1, 1)]), cwd=example,
                                   stderr=True)
    with pytest.warns(RuntimeWarning, match=r"more.dat: the transmission 1.0435 \+- .* above 1 by"):
        warned = pelkaro.transmission(EMPTY, [("more.dat", 1, 1)], cwd=example)
    assert status == 0 and warned.text == out and warned.console == err == f"pelkaro-trans: warning: {warned.warnings[0]}\n"


def test_arguments_the_command_line_would_refuse(example):
    counts = read_counts(example / "empty_beam.dat")
    for call, code in (
            (lambda: pelkaro.transmission(EMPTY, [SAMPLE], radius=65), "bad_parameter"),
            (lambda: pelkaro.transmission(EMPTY, [SAMPLE], attenuation=0.001), "bad_parameter"),
            (lambda: pelkaro.transmission(EMPTY, [SAMPLE], parameters="spheres.par", attenuation=1.5), "bad_parameter"),
            (lambda: pelkaro.transmission(("empty_beam.dat", 0, 1), [SAMPLE]), "bad_parameter"),
            (lambda: pelkaro.transmission(("empty_beam.dat", float("inf"), 1), [SAMPLE]), "bad_parameter"),
            (lambda: pelkaro.transmission(EMPTY, [("sample_beam.dat", 1)]), "bad_parameter"),
            (lambda: pelkaro.transmission(EMPTY, [("s\tx.dat", 1, 1)]), "bad_parameter"),
            (lambda: pelkaro.transmission(EMPTY, SAMPLE), "bad_parameter"),
            (lambda: pelkaro.transmission(EMPTY, [SAMPLE], errors="ignore"), "bad_parameter"),
            (lambda: pelkaro.transmission((counts, 1, 1), [(counts[:64], 1, 1)]), "bad_contents"),
            (lambda: pelkaro.transmission((counts, 1, 1), [{"image": counts, "name": "empty", "time": 1,
                                                            "monitor": 1}]), "bad_parameter")):
        with pytest.raises(pelkaro.Error) as caught:
            call()
        assert caught.value.code == code, caught.value


def test_the_interpreter_runs_on_while_runs_are_measured(example):
    runs = [SAMPLE] * 10000  # about half a second
    start = time.perf_counter()
    alone = pelkaro.transmission(EMPTY, runs, cwd=example).tsv
    one = time.perf_counter() - start
    ticks, results = [], []
    worker = threading.Thread(target=lambda: results.append(pelkaro.transmission(EMPTY, runs, cwd=example).tsv))
    worker.start()
    while worker.is_alive():
        ticks.append(time.perf_counter())
    worker.join()
    longest_stop = max(b - a for a, b in zip(ticks, ticks[1:]))
    assert results == [alone] and len(ticks) > 100 and longest_stop < 0.6 * one, (len(ticks), longest_stop, one)
