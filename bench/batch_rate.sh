#!/usr/bin/env bash
# Frames per second of pelkaro-batch on a time-resolved series: a table of
# FRAMES frames (default 1000) the size of the example's 128 x 128 images,
# made by the simulator (20 counting-statistics seeds, each frame a file of
# its own), reduced with -j 1 and -j 2 (--formats d1d) and with -j 2 and
# every format.  Each figure is the best of REPEAT runs (default 3), wall
# time of the whole program.
#
#   bench/batch_rate.sh [BUILD_DIR] [FRAMES] [REPEAT]
#
# The output directories go to $TMPDIR (a tmpfs such as /dev/shm leaves the
# file system's cost of creating files out of the figure).
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
frames=${2:-1000}
repeat=${3:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
for s in $(seq 1 20); do
    "$build/pelkaro_sim" --seed "$s" --monitor 150000 --out "sim$s" >/dev/null
done
cp sim1/spheres.par sim1/solvent_buffer.dat sim1/dark_current.dat sim1/flat_field.dat sim1/detector.mask .
mkdir frames
{
    echo "name,sample,time,monitor,thickness,transmission"
    for i in $(seq 0 $((frames - 1))); do
        f=$(printf 'frames/f%05d.dat' "$i")
        cp "sim$((i % 20 + 1))/sphere_sample.dat" "$f"
        printf 'f%05d,%s,150,150000,0.1,0.899425\n' "$i" "$f"
    done
} > series.csv

best_rate() {  # ARGS...: the best frames per second of $repeat runs
    local best=0
    for _ in $(seq 1 "$repeat"); do
        rm -rf out
        local t0 t1
        t0=$(date +%s.%N)
        "$build/pelkaro-batch" -o out "$@" spheres.par series.csv 2>/dev/null
        t1=$(date +%s.%N)
        best=$(awk -v b="$best" -v n="$frames" -v a="$t0" -v z="$t1" 'BEGIN { r = n / (z - a); print (r > b ? r : b) }')
    done
    echo "$best"
}
j1=$(best_rate -j 1 --formats d1d)
j2=$(best_rate -j 2 --formats d1d)
all=$(best_rate -j 2)
printf '%d frames, best of %d runs:\n' "$frames" "$repeat"
printf '  -j 1 --formats d1d   %8.0f frames/s\n' "$j1"
printf '  -j 2 --formats d1d   %8.0f frames/s  (%.2f x -j 1)\n' "$j2" "$(awk -v a="$j2" -v b="$j1" 'BEGIN { print a / b }')"
printf '  -j 2 (d1d,d2d,h5)    %8.0f frames/s\n' "$all"
