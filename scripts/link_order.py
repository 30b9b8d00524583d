#!/usr/bin/python3
"""Writes apps/Pelkaro/link-order.txt, the order in which lld lays out
Pelkaro's functions: those a run of the bundled example executes, first
and side by side, so that a run touches a few pages of code instead of
most of the program's (the first touch of each costs a page fault).

  scripts/link_order.py [BUILD]
  scripts/link_order.py --check PROGRAM

BUILD (default build) is a build directory configured with lld (CMake
says so otherwise).  The functions come from one run under valgrind's
callgrind, with the C library's ifunc resolvers (all run at start-up) and
the AVX-512, EVEX and AVX2 forms of the string functions that ran in
another form (valgrind's processor has no AVX-512).  Then, where perf is
found, Pelkaro is linked in that order and run natively, and the functions
at whose code the run still page-faults are added, until none is left:
those are the paths valgrind cannot take (the AVX-512 loops) and the code
it replaces with its own.  Needs valgrind and nm; perf for the second
part.  Run it again after a change that adds or renames functions
on a run's path; names the program no longer has are passed over.

--check PROGRAM fails (exit status 1) where more than a twentieth of the
list's names are not functions of PROGRAM: the list is out of date.
"""
import bisect
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TARGET = os.path.join(ROOT, "apps", "Pelkaro", "link-order.txt")
HEADER = ("# The functions a run of the bundled example executes, laid out first and side by side\n"
          "# when Pelkaro is linked with lld.  Written by scripts/link_order.py: run it again after\n"
          "# changes on a run's path.\n")
# The forms of the C library's string functions a processor with AVX-512
# or AVX2 takes.
NATIVE_FORMS = ("evex", "evex_movbe", "avx512_unaligned_erms", "avx2", "avx2_movbe", "avx_unaligned_erms")


def run_example(argv, scratch):
    """Runs argv (ending in the program) on a fresh copy of the example."""
    work = os.path.join(scratch, "example")
    shutil.rmtree(work, ignore_errors=True)
    shutil.copytree(os.path.join(ROOT, "examples"), work)
    subprocess.run(argv + ["spheres.par"], cwd=work, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def executed(exe, scratch):
    """Mangled names of the functions a run executes under callgrind, in the
    order callgrind first names them."""
    out = os.path.join(scratch, "callgrind.out")
    run_example(["valgrind", "--tool=callgrind", "--demangle=no", "--callgrind-out-file=" + out, exe], scratch)
    with open(out) as f:
        return [m.group(1) for m in (re.match(r"c?fn=\(\d+\) (\S+)", line) for line in f) if m]


def text_symbols(exe):
    """(address, size, name) of every function of the program, by address."""
    out = subprocess.run(["nm", "-S", "--defined-only", exe], check=True, capture_output=True, text=True).stdout
    rows = [line.split() for line in out.splitlines()]
    return sorted((int(r[0], 16), int(r[1], 16), r[3]) for r in rows if len(r) == 4 and r[2] in "tTwWiI")


def seed(exe, scratch):
    """The functions callgrind saw, the ifunc resolvers and the native forms
    of the string functions."""
    ran = executed(exe, scratch)
    names = sorted({name for _, _, name in text_symbols(exe) if name.endswith("_ifunc")})
    for name in ran:
        names.append(name)
        m = re.match(r"(__\w+?)_(sse2|ssse3|sse4_1|sse4_2|avx|avx2|evex|avx512)(_\w+)?$", name)
        if m:
            names += ["%s_%s" % (m.group(1), form) for form in NATIVE_FORMS]
    return names


def faulting_functions(exe, scratch):
    """The functions at whose code a native run page-faults."""
    data = os.path.join(scratch, "perf.data")
    run_example(["perf", "record", "-q", "-e", "page-faults", "-c", "1", "-d", "-o", data, exe], scratch)
    out = subprocess.run(["perf", "script", "-i", data, "-F", "ip,addr"], check=True, capture_output=True,
                         text=True).stdout
    symbols = text_symbols(exe)
    starts = [a for a, _, _ in symbols]
    found = set()
    for line in out.split("\n"):
        fields = line.split()
        if len(fields) != 2 or fields[0] != fields[1]:
            continue  # a fault on data, not on code
        at = int(fields[0], 16)
        i = bisect.bisect_right(starts, at) - 1
        if i >= 0 and at < symbols[i][0] + max(symbols[i][1], 1):
            found.add(symbols[i][2])
    return found


def write(names, known):
    kept, seen = [], set()
    for name in names:
        if name in known and name not in seen:
            seen.add(name)
            kept.append(name)
    with open(TARGET, "w") as f:
        f.write(HEADER + "\n".join(kept) + "\n")
    return kept


def relink(build):
    subprocess.run(["cmake", "--build", build, "--target", "Pelkaro"], check=True, stdout=subprocess.DEVNULL)


def check(exe):
    """Exit status 1 where the list no longer names the program's functions."""
    with open(TARGET) as f:
        names = [line.strip() for line in f if line.strip() and not line.startswith("#")]
    known = {name for _, _, name in text_symbols(exe)}
    missing = [n for n in names if n not in known]
    print("%s: %d of %d names are not functions of %s" % (os.path.relpath(TARGET, ROOT), len(missing), len(names), exe))
    for n in missing[:20]:
        print("  " + n)
    if len(missing) * 20 > len(names):
        print("the list is out of date: run scripts/link_order.py BUILD")
        return 1
    return 0


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--check":
        sys.exit(check(sys.argv[2]))
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))
    exe = os.path.join(build, "Pelkaro")
    if not os.access(exe, os.X_OK):
        sys.exit("scripts/link_order.py: %s is not a build directory (no Pelkaro in it)" % build)
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        if "PELKARO_HAVE_LLD:INTERNAL=1" not in f.read():
            sys.exit("scripts/link_order.py: %s does not link Pelkaro with lld (Debian: apt-get install lld)" % build)
    for tool in ("valgrind", "nm"):
        if not shutil.which(tool):
            sys.exit("scripts/link_order.py: %s is needed (Debian: apt-get install %s)"
                     % (tool, "valgrind" if tool == "valgrind" else "binutils"))
    scratch = tempfile.mkdtemp(prefix="link_order.")
    try:
        known = {name for _, _, name in text_symbols(exe)}
        names = write(seed(exe, scratch), known)
        relink(build)
        added = 0
        for _ in range(10 if shutil.which("perf") else 0):
            new = sorted(faulting_functions(exe, scratch) - set(names))
            if not new:
                break
            added += len(new)
            names = write(names + new, known)
            relink(build)
    finally:
        shutil.rmtree(scratch)
    print("%s: %d functions, %d of them from native page faults%s" % (
        os.path.relpath(TARGET), len(names), added, "" if shutil.which("perf") else " (no perf: none)"))


if __name__ == "__main__":
    main()
