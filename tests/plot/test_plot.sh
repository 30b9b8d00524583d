#!/usr/bin/env bash
# The hostile names and headers hold backquotes and ${...} that must stay
# text, and the names listed with ls are plain.
# shellcheck disable=SC2016,SC2012
# The plotting script (scripts/plot.sh, installed as pelkaro-plot) on hostile
# file names and headers, CRLF files and output names it must refuse: no
# name and no file content ever runs as a command, no input is ever
# overwritten, and a plot that fails leaves what stood at OUT alone.
#
#   test_plot.sh PLOT_SCRIPT PELKARO EXAMPLES_DIR
#
# Needs gnuplot: without it the test is skipped (status 77), except under CI
# (CI=true), where that is a failure.
set -uo pipefail

plot=$1 pelkaro=$2 examples=$3
case $plot in /*) ;; *) plot=$PWD/$plot ;; esac
case $pelkaro in /*) ;; *) pelkaro=$PWD/$pelkaro ;; esac
prog=${plot##*/}
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

if ! command -v gnuplot >/dev/null 2>&1; then
    if [ "${CI:-false}" = true ]; then
        echo "FAIL: gnuplot is not installed, and CI=true: install gnuplot-nox" >&2
        exit 1
    fi
    echo "SKIPPED: gnuplot is not installed (gnuplot-nox); the plotting script is not checked"
    exit 77
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/pelkaro-plot-test.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT
umask 022

# The bundled example, reduced: a real .d1d and .d2d.
ex=$scratch/example
mkdir "$ex" && cp "$examples"/*.par "$examples"/*.dat "$examples"/*.mask "$ex"/ || exit 1
(cd "$ex" && "$pelkaro" spheres.par >reduce.log 2>&1) || {
    echo "FAIL: Pelkaro could not reduce the example" >&2
    exit 1
}
d1d=$ex/sphere_sample.d1d d2d=$ex/sphere_sample.d2d

# run DIR ARG...: the script in DIR with nothing on standard input; sets
# `status`, `out` (standard output) and `err` (standard error).
run() {
    local dir=$1
    shift
    out=$(cd "$dir" && "$plot" "$@" </dev/null 2>"$scratch/stderr")
    status=$?
    err=$(cat "$scratch/stderr")
}

is_png() {
    [ "$(head -c 8 -- "$1" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ]
}

# Commands that hostile names and headers would run make files whose names
# start with PWNED; none may appear anywhere.
no_commands_ran() {
    local found
    found=$(find "$scratch" -name 'PWNED*' 2>/dev/null)
    [ -z "$found" ] || fail "$1: a command in a name or header ran: $found"
    find "$scratch" -name 'PWNED*' -exec rm -f {} + 2>/dev/null
}

# ---- Hostile input names ---------------------------------------------------
names=$scratch/names
mkdir "$names"
hostile=(
    'x`touch PWNED1`.d1d'
    '<touch PWNED2 #.d1d'
    '|touch PWNED3 #.d1d'
    'T=25C.d1d'
    "it's \"quoted\" \\ @GPVAL_VERSION.d1d"
    $'two\nlines.d1d'
    '-starts-with-a-dash.d1d'
    'y`touch PWNED4`.d2d'
    '<touch PWNED5 #.d2d'
)
for name in "${hostile[@]}"; do
    case $name in *.d1d) cp "$d1d" "$names/$name" ;; *) cp "$d2d" "$names/$name" ;; esac
    arg=$name
    case $name in -*) arg=./$name ;; esac
    run "$names" "$arg"
    [ "$status" -eq 0 ] || fail "$name: status $status: $err"
    [ "$out" = "$arg.png" ] || fail "$name: printed '$out', not '$arg.png'"
    is_png "$names/$name.png" || fail "$name: no PNG written"
    no_commands_ran "$name"
done

# ---- Hostile headers: the sample name goes into the title -------------------
headers=$scratch/headers
mkdir "$headers"
sed 's/^# DATS sphere_sample\.dat /# DATS `touch${IFS}PWNED6`.dat /' "$d2d" >"$headers/a.d2d"
sed "s/^# DATS sphere_sample\\.dat /# DATS it's\"q\\\\\\\`.dat /" "$d2d" >"$headers/b.d2d"
grep -q '^# DATS `touch${IFS}PWNED6`.dat ' "$headers/a.d2d" || fail "the hostile header was not made"
# A .d1d takes its title from a parameter file beside it that names it.
cp "$d1d" "$headers/s.d1d"
printf 'MODE 0\r\nDATS s.`touch${IFS}PWNED7`.dat 1 1 1 1\r\nDATB b.dat 1 1 1 1\r\n' >"$headers/run.par"
for f in a.d2d b.d2d s.d1d; do
    run "$headers" "$f"
    [ "$status" -eq 0 ] || fail "$f with a hostile header: status $status: $err"
    is_png "$headers/$f.png" || fail "$f with a hostile header: no PNG written"
    no_commands_ran "$f with a hostile header"
done

# ---- CRLF files read as LF files ---------------------------------------------
crlf=$scratch/crlf
mkdir "$crlf"
sed 's/$/\r/' "$d1d" >"$crlf/c.d1d"
sed 's/$/\r/' "$d2d" >"$crlf/c.d2d"
for f in c.d1d c.d2d; do
    run "$crlf" "$f"
    [ "$status" -eq 0 ] || fail "CRLF $f: status $status: $err"
    is_png "$crlf/$f.png" || fail "CRLF $f: no PNG written"
done

# ---- Output names that are refused, inputs left alone ------------------------
o=$scratch/outputs
mkdir "$o"
cp "$d1d" "$o/a.d1d" && cp "$d2d" "$o/a.d2d"
ln -s a.d1d "$o/soft.png" && ln "$o/a.d2d" "$o/hard.png"
refused() {  # refused MESSAGE ARG...
    local want="$prog: $1"$'\n'"Try '$prog --help'."
    shift
    run "$o" "$@"
    [ "$status" -eq 2 ] || fail "plot.sh $*: status $status, not 2"
    [ "$err" = "$want" ] || fail "plot.sh $*: said '$err', not '$want'"
    [ -z "$out" ] || fail "plot.sh $*: printed '$out'"
}
refused "the image to write, a.d1d, does not end in .png" a.d1d a.d1d
refused "the image to write, a.d2d, does not end in .png" a.d1d a.d2d
refused "the image to write, |touch PWNED8, does not end in .png" a.d2d '|touch PWNED8'
refused "the image to write, soft.png, is the file a.d1d itself" a.d1d soft.png
refused "the image to write, hard.png, is the file a.d2d itself" a.d2d hard.png
refused "the image to write, hard.png, is a.d2d, which the title is read from" a.d1d hard.png
cmp -s "$d1d" "$o/a.d1d" || fail "a.d1d was changed"
cmp -s "$d2d" "$o/a.d2d" || fail "a.d2d was changed"
[ -L "$o/soft.png" ] || fail "soft.png is no longer a symbolic link"
no_commands_ran "the refused outputs"

# ---- A failed plot leaves OUT alone; a plot replaces it whole ----------------
cp "$d1d" "$o/a.d1d"
printf 'an earlier image\n' >"$o/keep.png"
mkdir "$scratch/bin"
printf '#!/bin/sh\necho "gnuplot: cannot draw" >&2\nexit 1\n' >"$scratch/bin/gnuplot"
chmod +x "$scratch/bin/gnuplot"
listing=$(ls -A "$o")
out=$(cd "$o" && PATH="$scratch/bin:$PATH" "$plot" a.d1d keep.png </dev/null 2>"$scratch/stderr")
status=$?
[ "$status" -eq 1 ] || fail "a failing gnuplot: status $status, not 1"
grep -q "gnuplot could not draw a.d1d" "$scratch/stderr" || fail "a failing gnuplot: said $(cat "$scratch/stderr")"
[ "$(cat "$o/keep.png")" = "an earlier image" ] || fail "a failing gnuplot changed or removed keep.png"
[ "$(ls -A "$o")" = "$listing" ] || fail "a failing gnuplot left files: $(ls -A "$o" | tr '\n' ' ')"

run "$o" a.d1d keep.png
[ "$status" -eq 0 ] || fail "a.d1d keep.png: status $status: $err"
is_png "$o/keep.png" || fail "keep.png was not replaced by the plot"
[ "$(stat -c %a "$o/keep.png")" = 644 ] || fail "keep.png has mode $(stat -c %a "$o/keep.png"), not 644 under umask 022"
[ "$(ls -A "$o")" = "$listing" ] || fail "the plot left files: $(ls -A "$o" | tr '\n' ' ')"

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "plotting script: hostile names and headers, CRLF files and refused outputs all handled"
