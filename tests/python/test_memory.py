"""Reductions of images held in memory: the bits of the same counts read from
files, the parser's checks and messages on the mapping, and images that are
not counts refused."""

import numpy
import pytest

import pelkaro
from conftest import read_counts, read_mask


def example_mapping(example, **images):
    params = {k: v for k, v in pelkaro.reduce("spheres.par", cwd=example).parameters.items()}
    for key, image in images.items():
        entry = params[key][0] if key in ("DATS", "DATB") else params[key]
        entry = {k: v for k, v in entry.items() if k != "file"}
        entry["image"] = image
        params[key] = [entry] if key in ("DATS", "DATB") else entry
    return params


def test_images_in_memory_reduce_to_the_bits_of_their_files(example):
    from_files = pelkaro.reduce("spheres.par", cwd=example)
    counts = {k: read_counts(example / f) for k, f in (("DATS", "sphere_sample.dat"), ("DATB", "solvent_buffer.dat"),
                                                        ("DATD", "dark_current.dat"), ("SENS", "flat_field.dat"))}
    all_held = example_mapping(example, MASK=read_mask(example / "detector.mask"), **counts)
    # Floats holding whole counts are counts too.
    all_held["DATB"][0]["image"] = counts["DATB"].astype(numpy.float64)
    held = pelkaro.reduce(all_held)  # no file is read: no cwd needed
    for name in ("q", "q_edge", "q_mean", "i", "i_dev", "q_dev"):
        assert getattr(held.curve, name).tobytes() == getattr(from_files.curve, name).tobytes(), name
    for name in ("i", "i_dev", "mask"):
        assert getattr(held.image, name).tobytes() == getattr(from_files.image, name).tobytes(), name
    assert held.parameters["DATS"][0]["name"] == "DATS[0]"
    assert numpy.array_equal(held.parameters["MASK"]["image"], read_mask(example / "detector.mask"))
    assert pelkaro.reduce(held.parameters).curve.i.tobytes() == held.curve.i.tobytes()
    # Mixed: the sample in memory, the rest read from files in cwd.
    mixed = pelkaro.reduce(example_mapping(example, DATS=counts["DATS"]), cwd=example)
    assert mixed.curve.i.tobytes() == from_files.curve.i.tobytes()
    with pytest.raises(pelkaro.Error) as unnamed:
        mixed.write()
    assert unnamed.value.stage == "output"
    assert mixed.write("frame") == ["frame.d2d", "frame.d1d"]
    from_files.write("files")
    assert (example / "frame.d1d").read_bytes() == (example / "files.d1d").read_bytes()


BAD_IMAGES = [
    (lambda c: -c, "-"),
    (lambda c: c + 0.5, "0.5"),
    (lambda c: numpy.where(c == c.max(), numpy.nan, c), "nan"),
    (lambda c: c.astype(numpy.uint64) + 2**31, "2147483"),
    (lambda c: c > 0, "bool"),
    (lambda c: c[:, :100], "(128, 100)"),
    (lambda c: c.astype(object), "object"),
    (lambda c: "counts", "shape ()"),
]


@pytest.mark.parametrize("make, shown", BAD_IMAGES)
def test_images_that_are_not_counts_are_refused(example, make, shown):
    counts = read_counts(example / "sphere_sample.dat")
    params = example_mapping(example, DATS=counts)
    params["DATB"] = [params["DATB"][0], dict(params["DATB"][0], file=None, image=make(counts))]
    with pytest.raises(pelkaro.Error) as caught:
        pelkaro.reduce(params, cwd=example)
    e = caught.value
    assert (e.stage, e.code, e.keyword, e.entry, e.line) == ("read", "bad_contents", "DATB", 1, None)
    assert shown in e.message and "DATB entry 1" in e.message


@pytest.mark.parametrize("change, words", [
    ({"FOO": 1}, "'FOO' is not a keyword"),
    ({"CNTR": "65.5 62.5"}, "CNTR takes a number"),
    ({"CNTR": (65.5, "x")}, "takes numbers"),
    ({"DATS": [{"file": "sphere_sample.dat", "time": 1500, "thickness": 0.1}]}, "gives 'thickness' but not 'monitor'"),
    ({"DATS": [{"file": "sphere_sample.dat", "colour": 1}]}, "has no 'colour'"),
    ({"DATS": [{"time": 1500}]}, "needs a 'file' or an 'image'"),
    ({"DATS": [{"image": numpy.zeros((128, 128)), "name": "two words", "time": 1}]}, "one word"),
    ({"DATS": [{"image": numpy.ones((128, 128)), "name": "sphere_sample.dat", "time": 1},
               {"file": "sphere_sample.dat", "time": 1}]}, "given to an image and to another entry"),
    ({"SENS": {"file": "flat_field.dat"}}, "SENS needs 'solid_angle'"),
    ({"DATD": {"file": "a\nMODE 1", "time": 1}}, "one line"),
    ({"MASK": {"image": numpy.full((128, 128), 2), "must_exist": 1, "use": 1}}, "booleans"),
])
def test_mappings_that_say_no_parameter_file_are_refused(example, change, words):
    params = dict(example_mapping(example), **change)
    with pytest.raises(pelkaro.Error) as caught:
        pelkaro.reduce(params, cwd=example)
    assert words in caught.value.message and caught.value.stage in ("parameters", "read")


def test_the_parser_judges_what_the_mapping_says(example):
    # Lines the parser refuses, with its words: a missing sample time, a file
    # name with a blank, a number beyond the float range.
    for change, message in (({"DATS": [{"file": "sphere_sample.dat"}]}, "There is no sample time specified"),
                            ({"DATB": [{"file": "solvent buffer.dat", "time": 1}]}, "missing or invalid number"),
                            ({"ABSF": 1e300}, "absolute intensity scaling factor is not physical")):
        with pytest.raises(pelkaro.Error) as caught:
            pelkaro.reduce(dict(example_mapping(example), **change), cwd=example)
        assert message in caught.value.message and caught.value.line is None
