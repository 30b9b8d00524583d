#!/usr/bin/env python3
"""Turns units of the "run" fuzz corpus into the files the fuzz target writes.

    scripts/expand_run_unit.py [--check] OUTDIR UNIT...

For each UNIT, creates OUTDIR/<unit file name>/files/ holding "p.in" and the
data files "a" to "h", exactly as fuzz/fuzz_run.cpp lays them out: sections
separated by lines "%%", section 0 the parameter file, sections 1 to 8 the
data files, the first "@fill K" or "@mask K" line of a data section replaced
by a whole image or a whole mask.  A unit whose parameter file holds "/" (the
fuzz target skips it: a run could reach files outside its directory) gets a
file "skip" instead of "files".  With --check, the units are those of the
"check" corpus: the same layout, expanded as fuzz/fuzz_check.cpp does (its
images differ a little).  scripts/compare_runs.sh uses it.

The arithmetic follows the C++ of the fuzz target: strtol, integer division
and remainder truncating towards zero, and the same double expressions (the
math library's exp, as the C++ calls it).  A directive of -2^63 makes
fuzz_run negate the lowest long, which wraps around in an unchecked build.
"""
import math
import os
import sys

LONG_MAX = 2**63 - 1
LONG_MIN = -(2**63)
NAMES = "abcdefgh"


def c_div(a, b):
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b >= 0) else -q


def c_mod(a, b):
    return a - b * c_div(a, b)


def strtol10(text):
    """strtol(text, nullptr, 10) on bytes that end at the first NUL."""
    text = text.split(b"\0", 1)[0]
    i = 0
    while i < len(text) and text[i] in b" \t\n\v\f\r":
        i += 1
    sign = 1
    if i < len(text) and text[i] in b"+-":
        sign = -1 if text[i] == ord("-") else 1
        i += 1
    j = i
    while j < len(text) and 48 <= text[j] <= 57:
        j += 1
    if j == i:
        return 0
    value = sign * int(text[i:j])
    return max(LONG_MIN, min(LONG_MAX, value))


def directive_value(line, check):
    k = strtol10(line[5:])
    if check:
        return abs(c_mod(k, 1000000))
    if k < 0:
        k = -k
        if k > LONG_MAX:
            k = LONG_MIN
    return c_mod(k, 1000000)


def image_text(k, check):
    peak = float(c_mod(c_div(k, 200), 5000))
    cx = float(64 + c_mod(k, 7))
    cy = float(60 + c_mod(k, 5))
    out = []
    for y in range(128):
        for x in range(128):
            r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy)
            if check:
                v = c_mod(k, 200) + int(peak * math.exp(-r2 / 72.0))
            else:
                v = int(float(1 + c_mod(k, 200)) + peak * math.exp(-r2 / 72.0))
            out.append("%d%s" % (v, "\n" if x == 127 else "\t"))
    return "".join(out).encode()


def mask_text(k):
    period = c_mod(k, 50) + 2
    out = []
    for y in range(128):
        for x in range(128):
            out.append("0\n" if k != 0 and c_mod(x + 3 * y + k, period) == 0 else "1\n")
    return "".join(out).encode()


def split_lf(data):
    """The lines of `data`, each with its line feed (the last may lack one)."""
    out, pos = [], 0
    while pos < len(data):
        end = data.find(b"\n", pos)
        nxt = len(data) if end < 0 else end + 1
        out.append(data[pos:nxt])
        pos = nxt
    return out


def split_sections(data):
    sections = [b""]
    for line in split_lf(data):
        if line in (b"%%\n", b"%%"):
            sections.append(b"")
        else:
            sections[-1] += line
    return sections


def expand(section, check):
    pos = 0
    for line in split_lf(section):
        if line[:5] == b"@fill":
            return section[:pos] + image_text(directive_value(line, check), check) + section[pos + len(line):]
        if line[:5] == b"@mask":
            return section[:pos] + mask_text(directive_value(line, check)) + section[pos + len(line):]
        pos += len(line)
    return section


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def main(argv):
    check = bool(argv) and argv[0] == "--check"
    if check:
        argv = argv[1:]
    if len(argv) < 2 or argv[0] in ("-h", "--help"):
        sys.stderr.write(__doc__)
        return 2
    out = argv[0]
    for unit in argv[1:]:
        with open(unit, "rb") as f:
            sections = split_sections(f.read())
        case = os.path.join(out, os.path.basename(unit))
        os.makedirs(case)
        if b"/" in sections[0]:
            write(os.path.join(case, "skip"), b"parameter file names a path with '/'\n")
            continue
        files = os.path.join(case, "files")
        os.mkdir(files)
        write(os.path.join(files, "p.in"), sections[0])
        for i, section in enumerate(sections[1:9]):
            write(os.path.join(files, NAMES[i]), expand(section, check))
        write(os.path.join(case, "args"), b"p.in\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
