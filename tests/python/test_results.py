"""The module's numbers are the library's, bit for bit: the files Pelkaro and
pelkaro-nxcansas write hold exactly the module's arrays, and the module writes
those files byte for byte; the parameters come back in the form reduce takes."""

import numpy
import pytest

import pelkaro
from conftest import run_program


def d1d_text(curve):
    """The .d1d as Pelkaro formats it ("%8f\t%8f\t%12f\t%8f"), from the arrays."""
    return "".join(f"{q:8f}\t{i:8f}\t{di:12f}\t{dq:8f}\n"
                   for q, i, di, dq in zip(curve.q_edge.astype(float), curve.d1d_i.astype(float),
                                           curve.d1d_i_dev.astype(float), curve.d1d_q_dev.astype(float)))


def d2d_rows(values):
    return ["".join(f"{v:4.4f}\t" for v in row.astype(float)) for row in values]


def test_text_files_are_pelkaros_byte_for_byte(example):
    run = pelkaro.reduce("spheres.par", cwd=example)
    status, console = run_program("PELKARO_EXE", "spheres.par", cwd=example)
    assert status == 0
    # The console Pelkaro prints is the run's, then the writing's.
    assert console.startswith(run.console) and console[len(run.console):].startswith("Entered write_2D\n")
    (example / "copy").mkdir()
    assert run.write("copy/of") == ["copy/of.d2d", "copy/of.d1d"]
    for ext in (".d1d", ".d2d"):
        assert (example / "copy" / f"of{ext}").read_bytes() == (example / f"sphere_sample{ext}").read_bytes()
    # Written beside the first sample file when no path is given.
    (example / "sphere_sample.d1d").unlink()
    assert run.write() == ["sphere_sample.d2d", "sphere_sample.d1d"]
    assert (example / "sphere_sample.d1d").read_bytes() == (example / "copy" / "of.d1d").read_bytes()


def test_arrays_are_the_numbers_the_files_hold(example):
    run = pelkaro.reduce(example / "spheres.par", cwd=example)
    assert run_program("PELKARO_EXE", "spheres.par", cwd=example)[0] == 0
    assert d1d_text(run.curve) == (example / "sphere_sample.d1d").read_text()
    d2d = (example / "sphere_sample.d2d").read_text().split("# detector appears as if looking from sample position\n")[1]
    rows = d2d.split("\n")
    assert rows[:128] == d2d_rows(run.image.d2d_i)
    assert rows[130:258] == d2d_rows(run.image.d2d_i_dev)
    image = run.image
    assert image.i.shape == image.mask.shape == image.qx.shape == (128, 128)
    assert image.i.dtype == numpy.float32 and image.mask.dtype == bool
    assert not image.i.flags.writeable
    # Excluded pixels hold 0, and the beam stop around the centre (65.5, 62.5) is excluded.
    assert numpy.all(image.i[image.mask] == 0) and image.mask[62, 65]
    assert numpy.all(numpy.diff(run.curve.q) > 0) and numpy.all(run.curve.q_edge < run.curve.q)


def test_arrays_equal_pelkaro_nxcansas_and_write_nxcansas_writes_its_file(example):
    h5py = pytest.importorskip("h5py")
    if not pelkaro.has_nxcansas:
        pytest.skip("the module was built without HDF5")
    assert run_program("PELKARO_NXCANSAS_EXE", "-o", "cli.h5", "spheres.par", cwd=example)[0] == 0
    run = pelkaro.reduce("spheres.par", cwd=example)
    assert run.write_nxcansas("module.h5") == "module.h5"
    with h5py.File(example / "cli.h5") as cli, h5py.File(example / "module.h5") as mine:
        curve, image = cli["sasentry01/sasdata01"], cli["sasentry01/sasdata02"]
        for name, values in (("Q", run.curve.q), ("Qmean", run.curve.q_mean), ("I", run.curve.i),
                             ("Idev", run.curve.i_dev), ("Qdev", run.curve.q_dev)):
            assert curve[name].dtype == values.dtype and curve[name][()].tobytes() == values.tobytes(), name
        for name, values in (("I", run.image.i), ("Qx", run.image.qx), ("Qy", run.image.qy)):
            assert image[name][()].tobytes() == values.tobytes(), name
        # The image's Idev is the .d2d's, but where a pixel is excluded: the
        # file gives those a finite, non-zero one.
        used = ~run.image.mask
        assert image["Idev"][()][used].tobytes() == run.image.i_dev[used].tobytes()
        assert numpy.all(numpy.isfinite(image["Idev"][()][~used])) and numpy.all(image["Idev"][()][~used] > 0)
        assert numpy.array_equal(image["Mask"][()] == 1, run.image.mask)
        # The whole file as the program writes it, but for the time of writing.
        timed = {"sasentry01/sasprocess/date"}
        cli.visit(lambda name: _same(cli, mine, name, timed))
        assert {k: v for k, v in cli.attrs.items() if k != "file_time" and k != "file_name"} == \
               {k: v for k, v in mine.attrs.items() if k != "file_time" and k != "file_name"}
    # With as_computed, the file holds Pelkaro's own values, which the
    # default one has freed of the sample's attenuation: the same on the
    # beam axis, larger at wide angles.
    assert run.write_nxcansas("computed.h5", as_computed=True) == "computed.h5"
    with h5py.File(example / "computed.h5") as computed:
        curve = computed["sasentry01/sasdata01"]
        assert curve["I"][()].tobytes() == run.curve.d1d_i.tobytes()
        assert curve["Idev"][()].tobytes() == run.curve.computed_i_dev.tobytes()
        assert computed["sasentry01/sasdata02/I"][()].tobytes() == run.image.d2d_i.tobytes()
    ratio = run.curve.i.astype(float) / run.curve.d1d_i.astype(float)
    assert abs(ratio[0] - 1) < 1e-6 and numpy.all(numpy.diff(ratio) >= -1e-7) and ratio[-1] > 1


def _same(a, b, name, skip):
    assert name in b, name
    if name in skip or not hasattr(a[name], "dtype"):
        return
    assert a[name][()].tobytes() == b[name][()].tobytes() if a[name].dtype.kind != "O" else \
        a[name][()] == b[name][()], name
    assert dict(a[name].attrs) == dict(b[name].attrs), name


def test_parameters_are_the_accepted_lines_and_reduce_again_to_the_same_bits(example):
    run = pelkaro.reduce("spheres.par", cwd=example)
    p = run.parameters
    assert p["CNTR"] == (65.5, 62.5) and p["WAVE"] == (6.0, 0.1) and p["AVGM"] == 2 and p["ABSF"] == 16.99243
    assert p["SMRP"] == (5000.0, 30.0, 10.0)  # diameters, as written
    assert dict(p["DATS"][0]) == {"file": "sphere_sample.dat", "time": 1500.0, "monitor": 1500000.0,
                                  "thickness": 0.1, "transmission": 0.899425}
    assert dict(p["SENS"]) == {"file": "flat_field.dat", "solid_angle": True}
    assert dict(p["MASK"]) == {"file": "detector.mask", "must_exist": 1.0, "use": 1}
    with pytest.raises(TypeError):
        p["CNTR"] = (1, 1)
    again = pelkaro.reduce(p, cwd=example)
    assert again.parameter_file is None and run.parameter_file == "spheres.par"
    for name in ("q", "q_edge", "q_mean", "i", "i_dev", "q_dev"):
        assert getattr(again.curve, name).tobytes() == getattr(run.curve, name).tobytes()
    assert again.image.i.tobytes() == run.image.i.tobytes()


def test_arrays_stay_read_only_and_a_run_is_not_pickled(example):
    import copy
    import pickle
    run = pelkaro.reduce("spheres.par", cwd=example)
    arrays = [getattr(run.curve, n) for n in ("bins", "q", "q_edge", "q_mean", "i", "i_dev", "q_dev")]
    arrays += [getattr(run.image, n) for n in ("i", "i_dev", "mask", "qx", "qy")]
    arrays += [dict(pelkaro.reduce({**run.parameters, "MASK": {"image": run.image.mask, "must_exist": 1, "use": 1}},
                                   cwd=example).parameters["MASK"])["image"]]
    for a in arrays:
        with pytest.raises(ValueError, match="WRITEABLE"):
            a.setflags(write=True)
        assert not a.flags.writeable
    # What write() writes is what the arrays hold, whatever was tried.
    run.write("out")
    assert d1d_text(run.curve) == (example / "out.d1d").read_text()
    with pytest.raises(TypeError, match="a pelkaro.Run cannot be pickled: it is the library's reduction in memory"):
        pickle.dumps(run)
    assert copy.copy(run) is run and copy.deepcopy(run) is run
    # Its arrays pickle as numpy arrays do.
    assert pickle.loads(pickle.dumps(run.curve.i)).tobytes() == run.curve.i.tobytes()


def test_file_names_resolve_against_cwd_or_the_working_directory(example, monkeypatch, tmp_path_factory):
    elsewhere = tmp_path_factory.mktemp("elsewhere")
    monkeypatch.chdir(elsewhere)
    with pytest.raises(pelkaro.Error) as refused:
        pelkaro.reduce("spheres.par")
    assert refused.value.code == "cannot_read"
    in_cwd = pelkaro.reduce("spheres.par", cwd=example)
    assert in_cwd.cwd == str(example)
    assert in_cwd.write("out") == ["out.d2d", "out.d1d"]
    assert (example / "out.d1d").exists() and not (elsewhere / "out.d1d").exists()
    monkeypatch.chdir(example)
    here = pelkaro.reduce("spheres.par")
    assert here.curve.i.tobytes() == in_cwd.curve.i.tobytes()
    assert pelkaro.check("spheres.par", cwd=example) == [] == pelkaro.check("spheres.par")


def test_check_finds_what_pelkaro_check_prints(example):
    par = (example / "spheres.par").read_text().replace("CNTR 65.5 62.5", "CNTR 65.5, 62.5")
    (example / "bad.par").write_text(par.replace("BINS 1", "BINS 1\nDTAD dark_current.dat 7200 0"))
    status, printed = run_program("PELKARO_CHECK_EXE", "bad.par", cwd=example)
    found = pelkaro.check("bad.par", cwd=example)
    assert status == 1 and [str(d) for d in found] == printed.splitlines()[:-1]
    kinds = {d.kind for d in found}
    assert kinds == {"error", "warning"}
    first = found[0]
    assert (first.file, first.kind, first.paste) == ("bad.par", "error", None) and first.line > 0
