"""The uncertainties of the transmissions and ABSF given to write_nxcansas:
each a dataset beside Idev, worked out through the reduction (ABSF divides I,
so its dataset is -I times its relative uncertainty), I and Idev unchanged;
an uncertainty that cannot be used raises ValueError naming its argument."""
import pytest

import pelkaro


def test_datasets_beside_idev_and_refusals(example):
    h5py = pytest.importorskip("h5py")
    run = pelkaro.reduce("spheres.par", cwd=example)
    run.write_nxcansas(example / "plain.h5")
    run.write_nxcansas(example / "sys.h5", transmission_dev=0.0026, absf_dev=0.11)
    with h5py.File(example / "plain.h5") as plain, h5py.File(example / "sys.h5") as sys:
        g, p = sys["sasentry01/sasdata01"], plain["sasentry01/sasdata01"]
        assert (g["I"][()] == p["I"][()]).all() and (g["Idev"][()] == p["Idev"][()]).all()
        assert g["I"].attrs["uncertainties"] in ("Idev", b"Idev")
        assert sorted(k for k in g if k.startswith("Isys_")) == ["Isys_absf", "Isys_sample_transmission"]
        i, absf = g["I"][()].astype(float), g["Isys_absf"][()].astype(float)
        assert abs(absf + i * 0.11 / 16.99243).max() <= 2e-4 * abs(i * 0.11 / 16.99243).max()
        note = sys["sasentry01/sasnote/data"][()].decode()
        assert "Each uncertainty was given alone" in note and "0.00647" in note
    for kwargs, words in [({"absf_dev": -1.0}, "absf_dev: the uncertainty -1 is negative"),
                          ({"transmission_dev": 2.0}, "transmission_dev: the uncertainty 2 is larger than the value"),
                          ({"absf_dev": float("nan")}, "absf_dev: the uncertainty nan is not a finite number")]:
        with pytest.raises(ValueError, match=words):
            run.write_nxcansas(example / "no.h5", **kwargs)
    assert not (example / "no.h5").exists()
