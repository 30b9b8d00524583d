#!/usr/bin/env bash
# Sharding with GNU parallel: a table spread over 3 shards run by parallel
# (whose {#} counts from 1, hence {} from a list 0..N-1), joined with
# --report, gives the outputs and the summary of one run.
# Usage: test_shards_parallel.sh PELKARO_BATCH SOURCE_DIR
# Exit 77 (skipped) without parallel, unless CI=true.
set -euo pipefail
batch=$1
src=$2
if ! command -v parallel >/dev/null; then
    if [ "${CI:-}" = true ]; then echo "GNU parallel is missing" >&2; exit 1; fi
    echo "GNU parallel is missing: skipped"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$src"/examples/*.dat "$src"/examples/detector.mask "$src"/examples/spheres.par "$work"/
cd "$work"
{
    echo "# a thickness series; comments and blank lines are not rows"
    echo "name,sample,time,monitor,thickness,transmission"
    for i in 0 1 2 3 4 5 6 7 8 9; do
        echo "t$i,sphere_sample.dat,1500,1500000,0.$((i + 1)),0.9"
        [ "$i" = 4 ] && echo
    done
    echo "bad,sphere_sample.dat,1500,1500000,-1,0.9"
} > series.csv
fail() { echo "FAIL: $*" >&2; exit 1; }
status=0
"$batch" -j 2 -o whole --formats d1d,d2d spheres.par series.csv 2>/dev/null || status=$?
[ "$status" -eq 1 ] || fail "the whole run exited with $status, not 1 (one row fails)"
N=3
status=0
parallel --will-cite -j 2 "$batch" -j 1 -o sharded --formats d1d,d2d --shard {}/$N spheres.par series.csv \
    ::: $(seq 0 $((N - 1))) 2>/dev/null || status=$?
[ "$status" -eq 1 ] || fail "parallel exited with $status, not 1 (the shard with the failing row)"
for k in 0 1 2; do [ -s "sharded/summary.$k-of-$N.csv" ] || fail "no summary of shard $k"; done
status=0
"$batch" --report sharded 2>/dev/null || status=$?
[ "$status" -eq 1 ] || fail "--report exited with $status, not 1"
cmp whole/summary.csv sharded/summary.csv || fail "the joined summary differs from the whole run's"
for f in whole/*; do
    name=${f#whole/}
    case $name in report.html | summary*.csv) continue ;; esac
    cmp "$f" "sharded/$name" || fail "$name differs"
done
[ "$(ls whole | wc -l)" -eq "$(ls sharded | grep -vc 'of-3')" ] || fail "not the same files"
grep -q 'data-name="t9"' sharded/report.html || fail "the joined report lacks a curve"
echo "3 shards under GNU parallel, joined: the outputs and summary of one run"
