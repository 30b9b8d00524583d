"""Reductions in several threads at once: each gives the bits it gives alone,
in working directories of their own, and the interpreter is free while a
reduction runs."""

import os
import signal
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import pelkaro


def copies(example, factory, thicknesses):
    """Copies of the example, each with its own sample thickness (so its own numbers)."""
    dirs = []
    for thickness in thicknesses:
        d = factory.mktemp("copy")
        for f in example.iterdir():
            (d / f.name).write_bytes(f.read_bytes())
        par = (d / "spheres.par").read_text().replace("1500000 0.1 ", f"1500000 {thickness} ")
        (d / "spheres.par").write_text(par)
        dirs.append(d)
    return dirs


def numbers(run):
    return [getattr(run.curve, n).tobytes() for n in ("q", "q_mean", "i", "i_dev", "q_dev")] + \
           [run.image.i.tobytes(), run.image.i_dev.tobytes()]


def test_reductions_in_threads_equal_reductions_one_by_one(example, tmp_path_factory):
    dirs = copies(example, tmp_path_factory, ["0.1", "0.2", "0.3", "0.5", "0.7", "0.9"])
    alone = [numbers(pelkaro.reduce("spheres.par", cwd=d)) for d in dirs]
    assert len({a[2] for a in alone}) == len(dirs)  # every copy has numbers of its own
    with ThreadPoolExecutor(max_workers=len(dirs)) as pool:
        for _ in range(3):
            together = list(pool.map(lambda d: numbers(pelkaro.reduce("spheres.par", cwd=d)), dirs))
            assert together == alone
    with ThreadPoolExecutor(max_workers=len(dirs)) as pool:
        written = list(pool.map(lambda d: pelkaro.reduce("spheres.par", cwd=d).write("out"), dirs))
    assert all(w == ["out.d2d", "out.d1d"] for w in written)
    assert len({(d / "out.d1d").read_bytes() for d in dirs}) == len(dirs)


def test_the_interpreter_runs_on_while_a_reduction_works(example):
    # A long reduction: the sample measured in 200 parts, each a file of its
    # own (a file named on several lines is read once).
    par = (example / "spheres.par").read_text()
    line = next(l for l in par.splitlines() if l.startswith("DATS"))
    parts = []
    for k in range(200):
        (example / f"part{k}.dat").write_bytes((example / "sphere_sample.dat").read_bytes())
        parts.append(line.replace("sphere_sample.dat", f"part{k}.dat"))
    (example / "long.par").write_text(par.replace(line, "\n".join(parts)))
    start = time.perf_counter()
    pelkaro.reduce("long.par", cwd=example)
    one = time.perf_counter() - start
    ticks = []
    worker = threading.Thread(target=pelkaro.reduce, args=("long.par",), kwargs={"cwd": example})
    worker.start()
    while worker.is_alive():
        ticks.append(time.perf_counter())
    worker.join()
    # A reduction holding the interpreter would stop this loop for its whole
    # length; released, the loop goes on but for the scheduler's pauses.
    longest_stop = max(b - a for a, b in zip(ticks, ticks[1:]))
    assert len(ticks) > 100 and longest_stop < 0.6 * one, (len(ticks), longest_stop, one)


def test_ctrl_c_stops_a_long_reduction_at_once_and_breaks_nothing(example):
    # The sample measured in 3000 parts, each a name of its own (links to
    # the one file): a reduction of a second or more.
    par = (example / "spheres.par").read_text()
    line = next(l for l in par.splitlines() if l.startswith("DATS"))
    parts = []
    for k in range(3000):
        os.symlink("sphere_sample.dat", example / f"part{k}.dat")
        parts.append(line.replace("sphere_sample.dat", f"part{k}.dat"))
    (example / "long.par").write_text(par.replace(line, "\n".join(parts)))
    start = time.perf_counter()
    whole = pelkaro.reduce("long.par", cwd=example)
    one = time.perf_counter() - start
    if one < 0.8:
        pytest.skip(f"the reduction takes {one:.2f} s here, too short to interrupt")
    timer = threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGINT))
    start = time.perf_counter()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        pelkaro.reduce("long.par", cwd=example)
    stopped = time.perf_counter() - start
    timer.join()
    # Signals are looked for every 0.1 s: raised well before the end.
    assert stopped < 0.1 + 0.3 and stopped < 0.6 * one, (stopped, one)
    # The module goes on as before: the same reduction gives the same bits.
    again = pelkaro.reduce("long.par", cwd=example)
    assert again.curve.i.tobytes() == whole.curve.i.tobytes()
