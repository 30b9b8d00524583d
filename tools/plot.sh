#!/usr/bin/env bash
# Renders a Pelkaro output file as a PNG with gnuplot:
#   tools/plot.sh FILE.d1d [OUT.png]   I(Q) on log-log axes with error bars
#   tools/plot.sh FILE.d2d [OUT.png]   the reduced image on a logarithmic colour scale
# OUT defaults to FILE with ".png" appended.  Needs gnuplot (Debian/Ubuntu:
# apt-get install gnuplot-nox; macOS: brew install gnuplot).
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 FILE.d1d|FILE.d2d [OUT.png]" >&2
    exit 2
fi
in=$1
out=${2:-$in.png}
if ! command -v gnuplot >/dev/null 2>&1; then
    echo "$0: gnuplot is not installed (Debian/Ubuntu: apt-get install gnuplot-nox)" >&2
    exit 1
fi
if [ ! -f "$in" ]; then
    echo "$0: no such file: $in" >&2
    exit 1
fi

# gnuplot string literals: escape backslashes and double quotes.
quote() { local s=${1//\\/\\\\}; printf '"%s"' "${s//\"/\\\"}"; }
title=$(basename -- "$in")

case $in in
*.d1d)
    # Columns: Q (inner edge of the bin), I, dI, dQ.  Points with I <= 0 cannot
    # be shown on a logarithmic axis and are left out.
    plot="set logscale xy
set xlabel 'Q (1/Å)'
set ylabel 'I(Q) (absolute units, cm^{-1})'
set format y '10^{%L}'
set grid
plot $(quote "$in") using 1:(\$2 > 0 ? \$2 : NaN):3 with yerrorbars pt 7 ps 0.5 lc rgb '#1f5fa8' title $(quote "$title") noenhanced"
    ;;
*.d2d)
    # The first block (index 0) holds the intensities, one detector row per
    # line; the uncertainties follow after two empty lines.  Masked pixels (0)
    # and negative values are left blank on the logarithmic colour scale.
    plot="set size ratio -1
set logscale cb
set format cb '10^{%L}'
set xlabel 'column x'
set ylabel 'row y'
set xrange [-0.5:127.5]
set yrange [-0.5:127.5]
set palette rgbformulae 33,13,10
set title $(quote "$title") noenhanced
plot $(quote "$in") index 0 matrix using 1:2:(\$3 > 0 ? \$3 : NaN) with image notitle"
    ;;
*)
    echo "$0: $in is neither a .d1d nor a .d2d file" >&2
    exit 2
    ;;
esac

gnuplot <<EOF
if (strstrt(GPVAL_TERMINALS, "pngcairo") > 0) {
    set terminal pngcairo size 900,700 enhanced font ",11"
} else {
    set terminal png size 900,700
}
set output $(quote "$out")
$plot
EOF
echo "$out"
