#!/usr/bin/env bash
# Peak memory (maximum resident set size) and time of Pelkaro, pelkaro-check
# and pelkaro-nxcansas on the bundled example with many buffer lines (the
# example's buffer named again and again, as a long series of frames is),
# and on a parameter file of tens of MB.  Usage: bench/memory.sh [BUILD_DIR]
# (default build).  Needs GNU time (/usr/bin/time, Debian package time).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
[ -x /usr/bin/time ] || { echo "memory.sh: /usr/bin/time (package time) is missing" >&2; exit 2; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp "$root"/examples/*.par "$root"/examples/*.dat "$root"/examples/*.mask "$work"/
cd "$work"
line="DATB solvent_buffer.dat 1125 1125000 0.1 0.904837"
for n in 1000 10000 100000; do
    { cat spheres.par; awk -v n="$n" -v l="$line" 'BEGIN { for (i = 1; i < n; i++) print l }'; } >"buffers$n.par"
done
# About 60 MB: the example and a million comment lines.
{ cat spheres.par; awk 'BEGIN { for (i = 0; i < 1000000; i++) print "# a comment line of a parameter file, about fifty characters" }'; } >big.par
printf '%-18s %-14s %10s %8s\n' program "parameter file" "peak KB" seconds
for par in buffers1000.par buffers10000.par buffers100000.par big.par; do
    for prog in Pelkaro pelkaro-check pelkaro-nxcansas; do
        [ -x "$build/$prog" ] || continue
        rm -f sphere_sample.d1d sphere_sample.d2d sphere_sample.h5
        /usr/bin/time -o stats -f "%M %e" "$build/$prog" "$par" >/dev/null 2>&1 || true
        stats=$(tail -n 1 stats)
        printf '%-18s %-14s %10s %8s\n' "$prog" "$par ($(du -k "$par" | cut -f1) KB)" ${stats}
    done
done
