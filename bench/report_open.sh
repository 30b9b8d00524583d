#!/usr/bin/env bash
# How long the batch's report.html of ROWS rows (default 1,000; d1d and
# d2d, so every row has its curve and its image) takes to open in headless
# Chromium, against the goal of 3 s and, where OLD_BUILD is given, the same
# page made by another build, the two opened in turn.  Each figure is the
# median of ROUNDS openings (default 5), each in a fresh browser profile:
#   script  the page's script done (the table, the curves' data), and
#   loaded  everything shown, images included,
# in ms from navigation, as the page itself records them (data-open-ms,
# data-loaded-ms on its body); and the page's size.
#
#   bench/report_open.sh [-n ROWS] [-r ROUNDS] [-o OLD_BUILD] [BUILD]
#
# Needs chromium; without it, says so and exits 0.
set -euo pipefail
usage() { echo "usage: bench/report_open.sh [-n ROWS] [-r ROUNDS] [-o OLD_BUILD] [BUILD]  (--help: the header of this script)"; }
if [[ ${1:-} == --help ]]; then
    sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 0
fi
src=$(cd "$(dirname "$0")/.." && pwd)
build_dir() {
    if [[ ! -x $1/pelkaro-batch ]]; then
        echo "bench/report_open.sh: $1 is not a build directory (no pelkaro-batch in it)" >&2
        exit 2
    fi
    (cd "$1" && pwd)
}
rows=1000 rounds=5 old=""
while getopts "n:r:o:" o; do
    case $o in
        n) rows=$OPTARG ;;
        r) rounds=$OPTARG ;;
        o) old=$(build_dir "$OPTARG") ;;
        *) usage >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
if [[ ! $rows =~ ^[1-9][0-9]*$ || ! $rounds =~ ^[1-9][0-9]*$ ]]; then
    echo "bench/report_open.sh: -n and -r take a whole number above 0" >&2
    exit 2
fi
build=$(build_dir "${1:-build}")
browser=$(command -v chromium || command -v chromium-browser || true)
if [[ -z $browser ]]; then
    echo "chromium is missing: the report's opening is not measured"
    exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$src"/examples/*.dat "$src"/examples/detector.mask "$src"/examples/spheres.par "$work"/
cd "$work"
{
    echo "name,sample,time,monitor,thickness,transmission"
    for i in $(seq 1 "$rows"); do echo "r$i,sphere_sample.dat,1500,1500000,0.$((i % 9 + 1)),0.899425"; done
} > rows.csv

# The page of BUILD's batch into directory NAME.
make_page() {
    "$1/pelkaro-batch" -j 2 -o "$2" --formats d1d,d2d spheres.par rows.csv >/dev/null 2>&1 || {
        echo "bench/report_open.sh: $1/pelkaro-batch did not reduce every row" >&2
        exit 1
    }
}
# "SCRIPT LOADED" (ms) of one opening of directory NAME's report.html.
open_ms() {
    local dom=$work/dom.html
    timeout 120 "$browser" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --user-data-dir="$(mktemp -d "$work/profile.XXXXXX")" --dump-dom "file://$work/$1/report.html" \
        > "$dom" 2>/dev/null || true
    local s l
    s=$(sed -n 's/.*data-open-ms="\([0-9]*\)".*/\1/p' "$dom")
    l=$(sed -n 's/.*data-loaded-ms="\([0-9]*\)".*/\1/p' "$dom")
    if [[ -z $s || -z $l ]]; then
        echo "bench/report_open.sh: $1/report.html did not finish loading" >&2
        exit 1
    fi
    echo "$s $l"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

make_page "$build" new
[[ -n $old ]] && make_page "$old" old
declare -a N O
for _ in $(seq 1 "$rounds"); do
    N+=("$(open_ms new)")
    [[ -n $old ]] && O+=("$(open_ms old)")
done
line() {  # LABEL DIR ARRAY...
    local label=$1 dir=$2; shift 2
    local s l
    s=$(printf '%s\n' "$@" | awk '{ print $1 }' | median)
    l=$(printf '%s\n' "$@" | awk '{ print $2 }' | median)
    printf '   %-8s %9d bytes   script %6s ms   loaded %6s ms   loaded / 3 s goal: %s\n' "$label" \
        "$(stat -c %s "$work/$dir/report.html")" "$s" "$l" "$(awk -v l="$l" 'BEGIN { printf "%.2f", l / 3000 }')"
}
echo "report.html of $rows rows in headless Chromium, medians of $rounds openings (load: $(uptime | sed 's/.*average: //'))"
line new new "${N[@]}"
[[ -n $old ]] && line old old "${O[@]}"
exit 0
