#!/usr/bin/env bash
# The gnuplot text below holds gnuplot's own $ columns and data blocks.
# shellcheck disable=SC2016
# Renders a Pelkaro output file as a PNG with gnuplot (see usage below).
# Needs gnuplot (Debian/Ubuntu: apt-get install gnuplot-nox; macOS: brew
# install gnuplot) and a POSIX awk.
set -euo pipefail

prog=$(basename -- "$0")

usage() {
    cat <<EOF
usage: $prog FILE.d1d|FILE.d2d|TABLE [OUT.png]
Draws a Pelkaro output file as a PNG image (default OUT: FILE with ".png" appended)
and prints the name of the PNG.  OUT must end in .png and may not be an input; it
is replaced only when the image is complete.

  FILE.d1d  I(Q) on logarithmic axes with error bars, over the Q range of the data.
            Points with I <= 0 (or Q = 0) cannot be shown on logarithmic axes; the
            plot says how many there are.
  FILE.d2d  the reduced image on a logarithmic colour scale, by pixel column and
            row; masked pixels (intensity and uncertainty exactly 0) in grey, pixels
            with I <= 0 in black, the beam centre as a cross.
  TABLE     an I(phi) table of pelkaro-aniso (its first line "# pelkaro-aniso
            I(phi)"): I against the azimuth with error bars, the fitted main axis
            phi0 and phi0 + 180 as dashed lines, the order parameters in the title.

The title names the sample and the run's settings (wavelength, distance, beam
centre, thickness, transmission) when they are known: from the .d2d file's
header, which repeats the parameter file, and for a .d1d from the .d2d of the
same run beside it or else from a parameter file in the same directory whose
first DATS file has the .d1d's name.

Exit status: 0 written, 1 the file could not be read or drawn, 2 wrong usage
(OUT not ending in .png or being an input included).
EOF
}

die() {
    echo "$prog: $*" >&2
    exit 1
}

bad_usage() {
    echo "$prog: $*" >&2
    echo "Try '$prog --help'." >&2
    exit 2
}

case ${1-} in
-h | --help)
    usage
    exit 0
    ;;
esac
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    bad_usage "expected one .d1d or .d2d file and optionally the PNG to write"
fi
in=$1
out=${2:-$in.png}
case $in in -*) bad_usage "unknown option '$in'" ;; esac
# An I(phi) table of pelkaro-aniso is known by its first line.
kind=${in##*.}
case $in in
*.d1d | *.d2d) ;;
*)
    first=""
    [ ! -f "$in" ] || [ ! -r "$in" ] || IFS= read -r first <"$in" || true
    [ "${first%$'\r'}" = "# pelkaro-aniso I(phi)" ] ||
        bad_usage "$in is neither a .d1d nor a .d2d file nor an I(phi) table of pelkaro-aniso"
    kind=aniso
    ;;
esac
case $out in
*.png) ;;
*) bad_usage "the image to write, $out, does not end in .png" ;;
esac
[ -e "$in" ] || die "no such file: $in"
{ [ -f "$in" ] && [ -r "$in" ]; } || die "cannot read $in"
# The same file by any name: a symbolic or a hard link to the input.
[ ! "$out" -ef "$in" ] || bad_usage "the image to write, $out, is the file $in itself"
if [ -e "$out" ] || [ -L "$out" ]; then
    { [ -f "$out" ] && [ ! -L "$out" ]; } || die "$out exists and is not a regular file; it is not replaced"
fi
out_dir=$(dirname -- "$out")
case $out_dir in -*) out_dir=./$out_dir ;; esac
{ [ -d "$out_dir" ] && [ -w "$out_dir" ]; } || die "cannot write into the directory $out_dir"
command -v gnuplot >/dev/null 2>&1 || die "gnuplot is not installed (Debian/Ubuntu: apt-get install gnuplot-nox)"

# The scratch directory holds everything gnuplot reads and writes; the image
# goes into place beside OUT under a temporary name, renamed over OUT only
# when complete.  Both are removed however the script ends.
tmp=$(mktemp -d "${TMPDIR:-/tmp}/pelkaro-plot.XXXXXX") || die "cannot make a scratch directory"
out_tmp=""
trap 'rm -rf -- "$tmp"; [ -z "$out_tmp" ] || rm -f -- "$out_tmp"' EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# A gnuplot string of any text: single-quoted pieces, in which gnuplot
# substitutes nothing (no backquoted commands, no macros) and a quote is
# written twice, joined by "\n" where the text breaks lines.  No text from a
# file name or a file's contents reaches gnuplot other than through it.
quote() {
    local s=${1//\'/\'\'}
    printf "'%s'" "${s//$'\n'/"' . \"\\n\" . '"}"
}

# The settings of a run from its parameter lines: those of a parameter file
# (hdr=0), or their copy at the head of a .d2d, each behind "# " (hdr=1).
# Prints three lines: the first sample file, the settings in words, and the
# beam centre "x y" (each line empty when unknown).
run_settings() {
    awk -v hdr="$2" '
    function num(s) { return s ~ /^[-+]?([0-9]+[.]?[0-9]*|[.][0-9]+)([eE][-+]?[0-9]+)?/ }
    {
        sub(/\r$/, "")
        if (hdr) { if (substr($0, 1, 2) != "# ") exit; line = substr($0, 3) }
        else { if (substr($0, 1, 1) == "#") next; line = $0 }
        key = substr(line, 1, 4)
        n = split(substr(line, 6), v, " ")
        if (key == "DATS" && sample == "") { sample = v[1]; d = v[4]; t = v[5] }
        else if (key == "SM2D") L = v[1]
        else if (key == "WAVE") lam = v[1]
        else if (key == "CNTR" && n >= 2) { bx = v[1]; by = v[2] }
    }
    END {
        s = ""
        if (num(lam)) s = s sprintf(", λ %g Å", lam)
        if (num(L)) s = s sprintf(", L %g mm", L)
        if (num(bx) && num(by)) s = s sprintf(", beam centre (%g, %g)", bx, by)
        if (num(d)) s = s sprintf(", thickness %g cm", d)
        if (num(t)) s = s sprintf(", transmission %g", t)
        print sample
        print substr(s, 3)
        print (num(bx) && num(by)) ? sprintf("%g %g", bx, by) : ""
    }' <"$1"
}

# Where the settings of `in` are written: itself for a .d2d; for a .d1d the
# .d2d of the same run, else a parameter file beside it whose first sample
# file has the same stem.  Prints "FILE HDR", or nothing.
settings_source() {
    case $in in
    *.d2d)
        echo "$in 1"
        return
        ;;
    esac
    local stem=${in%.d1d} par sample
    if [ -f "$stem.d2d" ] && [ -r "$stem.d2d" ]; then
        echo "$stem.d2d 1"
        return
    fi
    for par in "$(dirname -- "$in")"/*.par; do
        { [ -f "$par" ] && [ -r "$par" ]; } || continue
        sample=$(run_settings "$par" 0 | head -n 1)
        sample=${sample%%.*}
        if [ -n "$sample" ] && [ "$(basename -- "$sample")" = "$(basename -- "$stem")" ]; then
            echo "$par 0"
            return
        fi
    done
}

# Title lines: the sample (or the plotted file) and the settings when known.
sample="" settings="" centre="" from=""
src=""
[ "$kind" = aniso ] || src=$(settings_source)
if [ -n "$src" ]; then
    src_file=${src% *}
    [ ! "$out" -ef "$src_file" ] || bad_usage "the image to write, $out, is $src_file, which the title is read from"
    {
        IFS= read -r sample || true
        IFS= read -r settings || true
        IFS= read -r centre || true
    } < <(run_settings "$src_file" "${src##* }")
    case $src_file in *.par) from=" (from $(basename -- "$src_file"))" ;; esac
fi
name=$(basename -- "$in")
if [ -n "$sample" ]; then
    title="sample $sample ($name)"
else
    title=$name
fi
[ -z "$settings" ] || title="$title"$'\n'"$settings$from"

# gnuplot lines for I(Q), which gnuplot reads from a copy of the curve in the
# scratch directory; exits when the file holds no curve.  The files are read
# on standard input and the scratch directory is passed in the environment:
# awk takes an operand such as "T=25C.d1d" for an assignment and processes
# escapes in a -v value.
plot_1d() {
    local stats
    stats=$(PK_PLOT_DIR=$tmp awk '
    function num(s) { return s ~ /^[-+]?([0-9]+[.]?[0-9]*|[.][0-9]+)([eE][-+]?[0-9]+)?$/ }
    function nan(s) { return tolower(s) ~ /^[-+]?(nan|inf)/ }
    BEGIN { curve = ENVIRON["PK_PLOT_DIR"] "/curve" }
    { sub(/\r$/, ""); print > curve }
    NF == 0 { next }
    NF != 4 || !((num($1) || nan($1)) && (num($2) || nan($2)) && (num($3) || nan($3)) && (num($4) || nan($4))) {
        printf "bad %d\n", NR; bad = 1; exit
    }
    {
        all++
        if (nan($1) || nan($2) || nan($3)) { undefined++; next }
        q = $1 + 0; i = $2 + 0; e = $3 + 0
        if (i <= 0) { nonpos++; next }
        if (q <= 0) { zeroq++; next }
        if (shown++ == 0 || q < qlo) qlo = q
        if (shown == 1 || q > qhi) qhi = q
        if (shown == 1 || i < ylo) ylo = i
        if (shown == 1 || i + e > yhi) yhi = i + e
    }
    END { if (bad) exit
          if (shown) printf "ok %d %d %d %d %d %.10g %.10g %.10g %.10g\n", all, shown, nonpos, zeroq, undefined, qlo, qhi, ylo, yhi
          else if (!bad) printf "empty %d\n", all }' <"$in")
    local status all nonpos zeroq undefined qlo qhi ylo yhi
    read -r status all _ nonpos zeroq undefined qlo qhi ylo yhi <<<"$stats"
    case $status in
    bad) die "$in: line $all is not four numbers (Q, I, dI, dQ): not a Pelkaro .d1d file" ;;
    empty)
        [ "$all" -gt 0 ] || die "$in holds no data lines"
        die "$in: none of its $all points has Q > 0 and I > 0, so there is nothing to draw on logarithmic axes"
        ;;
    esac
    # Q axis over the data with a margin, ticks at 1, 2 and 5 times the powers of ten.
    local ranges
    ranges=$(awk -v qlo="$qlo" -v qhi="$qhi" -v ylo="$ylo" -v yhi="$yhi" 'BEGIN {
        xlo = qlo / 1.15; xhi = qhi * 1.15; tics = ""
        for (k = int(log(xlo) / log(10)) - 1; k <= int(log(xhi) / log(10)) + 1; k++)
            for (m = 1; m <= 5; m += (m == 1 ? 1 : 3)) {
                v = m * 10 ^ k
                if (v >= xlo && v <= xhi) tics = tics (tics == "" ? "" : ", ") sprintf("\"%g\" %g", v, v)
            }
        printf "set xrange [%g:%g]\nset yrange [%g:%g]\nset xtics (%s)\n", xlo, xhi, ylo / 1.5, yhi * 1.5, tics
    }')
    local note=""
    [ "$nonpos" -eq 0 ] || note="$nonpos of $all points have I ≤ 0 and cannot be shown on the logarithmic axis"
    [ "$zeroq" -eq 0 ] || note="${note:+$note$'\n'}$zeroq point(s) at Q = 0 not shown"
    [ "$undefined" -eq 0 ] || note="${note:+$note$'\n'}$undefined point(s) not a number, not shown"
    cat <<EOF
set logscale xy
$ranges
set mxtics default
set xlabel 'Q (Å^{-1})'
set ylabel 'I(Q) (cm^{-1}, absolute scale)'
set format y '10^{%L}'
set grid xtics ytics back lt 1 lw 1 lc rgb '#dcdcdc'
set title $(quote "$title") noenhanced
set key off
EOF
    # The note stands under the Q axis, where it cannot hide a point.
    [ -z "$note" ] || printf "set bmargin 5.5\nset label 1 %s at screen 0.5, screen 0.025 center noenhanced tc rgb '#a02020'\n" \
        "$(quote "$note")"
    echo "plot 'curve' using 1:(\$2 > 0 && \$1 > 0 ? \$2 : NaN):3 with yerrorbars pt 7 ps 0.6 lc rgb '#1f5fa8'"
}

# gnuplot lines for an I(phi) table: the bins with their error bars over 0
# to 360 degrees, the main axis phi0 and its opposite as dashed lines, the
# ring and the order parameters under the title.
plot_aniso() {
    local stats
    stats=$(PK_PLOT_DIR=$tmp awk '
    function num(s) { return s ~ /^[-+]?([0-9]+[.]?[0-9]*|[.][0-9]+)([eE][-+]?[0-9]+)?$/ }
    function nan(s) { return tolower(s) ~ /^[-+]?(nan|inf)/ }
    BEGIN { table = ENVIRON["PK_PLOT_DIR"] "/table" }
    { sub(/\r$/, "") }
    /^# phi0 / && num($3) { phi0 = $3 }
    /^#/ { next }
    NF == 0 { next }
    NF != 4 || !(num($1) && (num($2) || nan($2)) && (num($3) || nan($3)) && num($4)) { printf "bad %d\n", NR; bad = 1; exit }
    { all++; print > table; if (!nan($2) && !nan($3)) shown++ }
    END { if (!bad) printf "ok %d %d %s\n", all, shown + 0, (phi0 == "" ? "none" : phi0) }' <"$in")
    local status all shown phi0 about
    read -r status all shown phi0 <<<"$stats"
    [ "$status" != bad ] || die "$in: line $all is not four numbers (phi, I, dI, area): not an I(phi) table"
    [ "${shown:-0}" -gt 0 ] || die "$in: no bin holds a value, so there is nothing to draw"
    about=$(awk '{ sub(/\r$/, "") }
        /^# ring: / { s = substr($0, 9); sub(/, radius.*/, "", s); sub(/; radius.*/, "", s); ring = "ring " s }
        /^# phi0 / { line = sprintf("φ0 %s ± %s°", $3, $5) }
        /^# order parameter / { line = line sprintf(", <cos 2(φ − φ0)> %s ± %s", $(NF - 2), $NF) }
        /^# Hermans / { line = line sprintf(", Hermans <P2> %s ± %s", $(NF - 2), $NF) }
        END { print ring; if (line != "") print line }' <"$in")
    cat <<EOF
set xrange [0:360]
set xtics 45
set xlabel 'azimuth φ (degrees, from increasing column towards increasing row)'
set ylabel 'I(φ) (cm^{-1}, absolute scale)'
set grid xtics ytics back lt 1 lw 1 lc rgb '#dcdcdc'
set title $(quote "$title"$'\n'"$about") noenhanced
set key off
EOF
    if [ "$phi0" != none ]; then
        awk -v p="$phi0" 'BEGIN { for (k = 0; k < 2; k++)
            printf "set arrow %d from %g, graph 0 to %g, graph 1 nohead dt 2 lc rgb \"#a02020\"\n", k + 1, p + 180 * k, p + 180 * k }'
    fi
    echo "plot 'table' using 1:2:3 with yerrorbars pt 7 ps 0.6 lc rgb '#1f5fa8'"
}

# gnuplot lines for the image: the intensities (index 0) and uncertainties
# (index 1) are split into the picture on a logarithmic scale, the masked
# pixels and the pixels with I <= 0.
plot_2d() {
    local stats
    stats=$(PK_PLOT_DIR=$tmp awk '
    function num(s) { return s ~ /^[-+]?([0-9]+[.]?[0-9]*|[.][0-9]+)([eE][-+]?[0-9]+)?$/ }
    BEGIN { block = 0; dir = ENVIRON["PK_PLOT_DIR"] }
    { sub(/\r$/, "") }
    /^#/ { next }
    NF == 0 { if (rows[block] > 0) block++; next }
    {
        if (block > 1) { extra = 1; next }
        r = rows[block]++
        if (r == 0 && block == 0) cols = NF
        if (NF != cols) { printf "ragged %d\n", NR; bad = 1; exit }
        for (c = 1; c <= NF; c++) {
            if (!num($c) && tolower($c) !~ /^[-+]?(nan|inf)/) { printf "bad %d\n", NR; bad = 1; exit }
            v[block, r, c - 1] = $c
        }
    }
    END {
        if (bad) exit
        if (rows[0] == 0 || rows[0] != rows[1] || extra) { printf "shape %d %d\n", rows[0], rows[1]; exit }
        for (r = 0; r < rows[0]; r++) {
            line = ""
            for (c = 0; c < cols; c++) {
                i = v[0, r, c]; e = v[1, r, c]; shown = 0
                if (num(i) && num(e) && i + 0 == 0 && e + 0 == 0) { print c, r > (dir "/masked"); masked++ }
                else if (num(i) && i + 0 <= 0) { print c, r > (dir "/nonpos"); nonpos++ }
                else if (num(i)) {
                    shown = i; n++
                    if (n == 1 || i + 0 < lo) lo = i + 0
                    if (n == 1 || i + 0 > hi) hi = i + 0
                }
                line = line (c ? " " : "") shown
            }
            print line > (dir "/image")
        }
        printf "ok %d %d %d %d %d %.10g %.10g\n", cols, rows[0], masked, nonpos, n, lo, hi
    }' <"$in")
    local status cols rows masked nonpos n lo hi bx by
    read -r status cols rows masked nonpos n lo hi <<<"$stats"
    case $status in
    ragged | bad) die "$in: line $cols does not hold the numbers of one detector row: not a Pelkaro .d2d file" ;;
    shape) die "$in: expected two blocks of detector rows (intensities, then uncertainties) of equal size, found $cols and $rows rows" ;;
    esac
    [ "$n" -gt 0 ] || die "$in: no pixel has an intensity above 0, so there is nothing to draw on a logarithmic colour scale"
    [ "$lo" != "$hi" ] || hi=$(awk -v h="$hi" 'BEGIN { printf "%.10g", h * 10 }')
    cat <<EOF
set size ratio -1
set logscale cb
set cbrange [$lo:$hi]
set format cb '10^{%L}'
set cblabel 'I (cm^{-1}, absolute scale)'
set xlabel 'pixel column x'
set ylabel 'pixel row y'
set xrange [-0.5:$cols - 0.5]
set yrange [-0.5:$rows - 0.5]
set xtics 16 out nomirror
set ytics 16 out nomirror
set palette rgbformulae 33,13,10
set title $(quote "$title") noenhanced
set key below horizontal samplen 1.5 spacing 1.5 noenhanced
EOF
    if [ -n "$centre" ]; then
        # The beam centre is in pixel coordinates, where pixel x spans x to x + 1.
        read -r bx by <<<"$centre"
        printf '$beam << EOD\n%s %s\nEOD\n' "$bx" "$by"
    fi
    # Pixels that are not drawn on the colour scale hold 0 in the picture.
    printf "plot 'image' matrix using 1:2:(\$3 > 0 ? \$3 : NaN) with image notitle"
    local box="using 1:2:(0.5):(0.5) with boxxyerror fs solid 1.0 noborder"
    [ "$masked" -eq 0 ] || printf ", \\\\\n  'masked' %s lc rgb '#808080' title 'masked (%d pixels)'" "$box" "$masked"
    [ "$nonpos" -eq 0 ] || printf ", \\\\\n  'nonpos' %s lc rgb '#000000' title 'I ≤ 0 (%d pixels)'" "$box" "$nonpos"
    # A white cross on a black one shows on every colour and in the key.
    if [ -n "$centre" ]; then
        printf ', \\\n  $beam using ($1 - 0.5):($2 - 0.5) with points pt 2 ps 2.5 lw 5 lc rgb "#000000" %s' \
            'title "beam centre"'
        printf ', \\\n  $beam using ($1 - 0.5):($2 - 0.5) with points pt 2 ps 2.2 lw 2 lc rgb "#ffffff" notitle'
    fi
    echo
}

case $kind in
d1d) plot=$(plot_1d) || exit 1 ;;
d2d) plot=$(plot_2d) || exit 1 ;;
aniso) plot=$(plot_aniso) || exit 1 ;;
esac

# gnuplot runs in the scratch directory and reads and writes only the files
# there, by names of its own.
if ! (cd "$tmp" && gnuplot) >"$tmp/gnuplot.log" 2>&1 <<EOF; then
set encoding utf8
if (strstrt(GPVAL_TERMINALS, "pngcairo") > 0) {
    set terminal pngcairo size 900,760 enhanced font ",11"
} else {
    if (strstrt(GPVAL_TERMINALS, "png") > 0) {
        set terminal png size 900,760 enhanced
    } else {
        print "this gnuplot has no PNG terminal (pngcairo or png)"
        exit status 1
    }
}
set output 'plot.png'
$plot
EOF
    cat "$tmp/gnuplot.log" >&2
    die "gnuplot could not draw $in; nothing written"
fi
[ -s "$tmp/plot.png" ] || die "gnuplot drew no image of $in; nothing written"
# Into place: copied beside OUT under a temporary name, given the mode a new
# file gets, and renamed over OUT.
out_tmp=$(mktemp "$out_dir/.pelkaro-plot.XXXXXX") || die "cannot write into the directory $out_dir"
mode=$(printf '%o' "$((0666 & ~0$(umask)))")
if ! { cp -- "$tmp/plot.png" "$out_tmp" && chmod "$mode" "$out_tmp" && mv -f -- "$out_tmp" "$out"; }; then
    die "could not write $out (is the disk full?); nothing written"
fi
out_tmp=""
# Anything gnuplot printed (warnings) is passed on.
[ ! -s "$tmp/gnuplot.log" ] || cat "$tmp/gnuplot.log" >&2
echo "$out"
