"""pelkaro.merge joins what pelkaro-merge joins: on simulated configurations
of the example's spheres, the same lines, the same values and (written in the
same second) the same file byte for byte, with each option; reductions in
memory join as their NXcanSAS files do; each unusable input is refused as the
program refuses it."""

import time

import pytest

import pelkaro
from conftest import run_program

pytestmark = pytest.mark.skipif(not pelkaro.has_nxcansas, reason="the module was built without HDF5")

# name: (distance in mm, wavelength in angstrom); "near" does not overlap "far".
CONFIGURATIONS = {"far": (15000, 10), "mid": (5000, 6), "near": (1500, 4)}


@pytest.fixture(scope="module")
def configurations(tmp_path_factory):
    """Each configuration simulated and reduced in memory, and its NXcanSAS file."""
    top = tmp_path_factory.mktemp("configurations")
    runs = {}
    for name, (distance, wavelength) in CONFIGURATIONS.items():
        assert run_program("PELKARO_SIM_EXE", "--out", name, "--distance", distance, "--wavelength", wavelength,
                           cwd=top)[0] == 0
        runs[name] = pelkaro.reduce("spheres.par", cwd=top / name)
        runs[name].write_nxcansas(top / f"{name}.h5")
    return top, runs


OPTIONS = [([], {}), (["--reference", "mid.h5"], {"reference": "mid.h5"}),
           (["--overlap", "trim", "--q-max", "0.05"], {"overlap": "trim", "q_max": 0.05}),
           (["--scale", "none", "--q-min", "0.002"], {"scale": "none", "q_min": 0.002}),
           (["--title", "latex, run 7"], {"title": "latex, run 7"})]


@pytest.mark.parametrize("args, options", OPTIONS, ids=["default", "reference", "trim", "none", "title"])
def test_lines_values_and_file_are_pelkaro_merges(configurations, tmp_path, args, options):
    h5py = pytest.importorskip("h5py")
    top, _ = configurations
    (tmp_path / "module").mkdir()
    for attempt in range(5):  # the file holds the second it was written in
        began = time.time()
        status, out = run_program("PELKARO_MERGE_EXE", "-o", tmp_path / "merged.h5", *args, "far.h5", "mid.h5",
                                  cwd=top)
        merged = pelkaro.merge(["far.h5", "mid.h5"], cwd=top, **options)
        assert merged.write_nxcansas(tmp_path / "module" / "merged.h5") == str(tmp_path / "module" / "merged.h5")
        if int(began) == int(time.time()):
            break
    assert status == 0 and out == merged.console + f"pelkaro-merge: {len(merged)} points written to " \
                                                   f"{tmp_path / 'merged.h5'}\n"
    assert (tmp_path / "module" / "merged.h5").read_bytes() == (tmp_path / "merged.h5").read_bytes()
    with h5py.File(tmp_path / "merged.h5") as f:
        data = f["sasentry01/sasdata01"]
        for name, values in (("Q", merged.q), ("I", merged.i), ("Idev", merged.i_dev), ("Qdev", merged.q_dev)):
            assert data[name][()].tobytes() == values.tobytes(), name
    assert [i.line for i in merged.inputs] == out.splitlines()[:2]
    assert sum(i.points for i in merged.inputs) == len(merged.q) and list(merged.scale) == [i.scale for i in merged.inputs]


def test_reductions_in_memory_join_as_their_files(configurations):
    top, runs = configurations
    files = pelkaro.merge(["far.h5", "mid.h5"], cwd=top)
    memory = pelkaro.merge([runs["far"], runs["mid"]], reference=runs["far"])
    for name in ("q", "i", "i_dev", "q_dev", "scale", "scale_dev"):
        assert getattr(memory, name).tobytes() == getattr(files, name).tobytes(), name
    assert [i.name for i in memory.inputs] == [str(top / "far" / "spheres.par"), str(top / "mid" / "spheres.par")]
    far = memory.inputs[0]
    assert (far.reference, far.scale, far.overlap, far.distance, far.wavelength) == (True, 1.0, None, 15000.0, 10.0)
    assert memory.inputs[1].overlap[0] == memory.inputs[1].q_range[0] and not memory.q.flags.writeable
    # The same curves mixed, the reference given by index: the same join.
    mixed = pelkaro.merge([runs["far"], top / "mid.h5"], reference=0)
    assert mixed.i.tobytes() == files.i.tobytes()
    with pytest.raises(pelkaro.Error) as nowhere:
        memory.write_nxcansas()
    assert (nowhere.value.stage, nowhere.value.code) == ("output", "cannot_write")


def test_each_refusal_as_pelkaro_merge_refuses_it(configurations, tmp_path):
    top, runs = configurations
    (top / "text.h5").write_text("Q I Idev\n")
    runs["mid"].write_nxcansas(top / "per_m.h5", intensity_unit="1/m")
    for inputs, fields in (([], ("parameters", "bad_parameter", None, None)),
                           (["far.h5", "./far.h5"], ("parameters", "bad_parameter", None, None)),
                           (["far.h5", "gone.h5"], ("read", "cannot_read", 1, "gone.h5")),
                           (["far.h5", "text.h5"], ("read", "bad_contents", 1, "text.h5")),
                           (["far.h5", "per_m.h5"], ("read", "bad_contents", 1, "per_m.h5")),
                           (["far.h5", "near.h5"], ("merge", "bad_contents", 1, "near.h5"))):
        status, _, err = run_program("PELKARO_MERGE_EXE", "-o", tmp_path / "m.h5", *inputs, cwd=top, stderr=True)
        with pytest.raises(pelkaro.Error) as caught:
            pelkaro.merge(inputs, cwd=top)
        e = caught.value
        assert (e.stage, e.code, e.entry, e.file) == fields
        assert str(e) == (f"{e.file}: {e.message}" if e.file else e.message)
        assert err.startswith(f"pelkaro-merge: {e.file}: error: {e.message}\n" if e.file else
                              f"pelkaro-merge: error: {e.message}\n") and status in (1, 2)
    merged = pelkaro.merge(["far.h5", "mid.h5"], cwd=top)
    for call, fields in ((lambda: merged.write_nxcansas("mid.h5"), ("output", "replaces_input")),
                         (lambda: merged.write_nxcansas(top / "no" / "dir.h5"), ("output", "cannot_write")),
                         (lambda: pelkaro.merge(["far.h5", "mid.h5"], cwd=top, reference="near.h5"),
                          ("parameters", "bad_parameter")),
                         (lambda: pelkaro.merge(["far.h5", "mid.h5"], cwd=top, reference=2), ("parameters", "bad_parameter")),
                         (lambda: pelkaro.merge(["far.h5", "mid.h5"], scale="maybe"), ("parameters", "bad_parameter")),
                         (lambda: pelkaro.merge(["far.h5", "mid.h5"], q_min=-1), ("parameters", "bad_parameter")),
                         (lambda: pelkaro.merge("far.h5"), ("parameters", "bad_parameter"))):
        with pytest.raises(pelkaro.Error) as caught:
            call()
        assert (caught.value.stage, caught.value.code) == fields, caught.value
    assert merged.write_nxcansas() == "far_merged.h5" and (top / "far_merged.h5").exists()
