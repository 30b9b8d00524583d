#!/usr/bin/env bash
# Installs a build into a scratch prefix, checks what was installed, copies the
# installed example into a scratch directory and runs the installed programs
# on it, and renders every installed manual page with man's warnings on.
#
#   test_install.sh CMAKE BUILD_DIR SOURCE_DIR VERSION WITH_NXCANSAS(0|1) [PYTHON PYTHON_DIR]
#
# PYTHON is the interpreter the Python module was built for (empty: it was
# not built), PYTHON_DIR its module directory relative to the prefix.
#
# Without man (or gnuplot) those parts are skipped with a message, except
# under CI (CI=true), where they must run.
set -uo pipefail

cmake=$1 build=$2 source=$3 version=$4 with_nxcansas=$5 python=${6:-} python_dir=${7:-}
ci=${CI:-false}

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
# A tool the CI machine has: missing there is a failure, elsewhere a skip.
skip_without() {
    if command -v "$1" >/dev/null 2>&1; then return 1; fi
    [ "$ci" != true ] || fail "$1 is not installed, and CI=true: install $2"
    echo "SKIPPED: $1 is not installed ($2); $3 not checked"
    return 0
}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/pelkaro-install.XXXXXX") || fail "no scratch directory"
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix work=$scratch/work

# ---- Install ---------------------------------------------------------------
env -u DESTDIR "$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1 ||
    { cat "$scratch/install.log"; fail "cmake --install failed"; }
bin=$prefix/bin doc=$prefix/share/doc/pelkaro man1=$prefix/share/man/man1

programs=(Pelkaro pelkaro-check pelkaro-mask pelkaro-sim pelkaro-plot pelkaro-trans pelkaro-batch pelkaro-aniso pelkaro-flat)
if [ "$with_nxcansas" = 1 ]; then
    programs+=(pelkaro-nxcansas pelkaro-merge)
else
    for p in pelkaro-nxcansas pelkaro-merge; do
        [ ! -e "$bin/$p" ] || fail "$p installed although it was not built"
    done
fi
for p in "${programs[@]}"; do
    [ -x "$bin/$p" ] || fail "$bin/$p is not installed or not executable"
    ls "$man1/$p".1* >/dev/null 2>&1 || fail "no manual page $p(1) in $man1"
done
[ "$(ls "$bin" | wc -l)" -eq "${#programs[@]}" ] || fail "unexpected programs in $bin: $(ls "$bin" | tr '\n' ' ')"
[ "$(ls "$man1" | wc -l)" -eq "${#programs[@]}" ] || fail "unexpected pages in $man1: $(ls "$man1" | tr '\n' ' ')"
cmp -s "$source/README.md" "$doc/README.md" || fail "$doc/README.md is not the source tree's README.md"
grep -q "^License: BSD-3-Clause$" "$doc/copyright" || fail "$doc/copyright does not state the licence"
grep -q "The Pelkaro developers" "$doc/copyright" || fail "$doc/copyright does not name the copyright holders"
# The example: the source tree's data, parameter and script files, byte for
# byte, and nothing else.
expected=$(cd "$source/examples" && ls -- *.par *.dat *.mask *.py | sort)
[ "$(ls "$doc/examples" | sort)" = "$expected" ] ||
    fail "installed examples differ from the source tree's: $(ls "$doc/examples" | tr '\n' ' ')"
for f in $expected; do
    cmp -s "$source/examples/$f" "$doc/examples/$f" || fail "installed examples/$f differs from the source tree's"
done

# Every installed program starts (its libraries are found without the build
# tree) and names the project's version.
for p in "${programs[@]}"; do
    [ "$p" != pelkaro-plot ] || continue
    out=$("$bin/$p" --version 2>&1) || fail "$p --version: status $?: $out"
    case $out in *" $version") ;; *) fail "$p --version printed '$out', not version $version" ;; esac
done
out=$("$bin/pelkaro-plot" --help 2>&1) || fail "pelkaro-plot --help: status $?"
case $out in "usage: pelkaro-plot "*) ;; *) fail "pelkaro-plot --help does not name itself: $out" ;; esac

# ---- The installed programs on the installed example ------------------------
mkdir -p "$work" && cp "$doc/examples/"* "$work/" || fail "could not copy the installed example"
cd "$work" || fail "no $work"

"$bin/Pelkaro" spheres.par >reduce.log 2>&1 || { tail -5 reduce.log; fail "Pelkaro spheres.par: status $?"; }
[ "$(tail -n 1 reduce.log)" = "Data reduction completed normally" ] || fail "Pelkaro spheres.par did not complete"
[ -s sphere_sample.d2d ] && [ -s sphere_sample.d1d ] || fail "Pelkaro wrote no sphere_sample.d2d/.d1d"
[ "$(grep -c . sphere_sample.d1d)" -gt 50 ] || fail "sphere_sample.d1d holds too few points"

# --strict: a warning would make the status 1.
"$bin/pelkaro-check" --strict spheres.par >check.log 2>&1 || { cat check.log; fail "pelkaro-check --strict spheres.par: status $?"; }
! grep -q 'warning:\|error:' check.log || { cat check.log; fail "pelkaro-check reported on the example"; }
[ "$(tail -n 1 check.log)" = "0 errors, 0 warnings" ] || { cat check.log; fail "pelkaro-check summary"; }

# The example's mask regenerated; Pelkaro reads it to the same reduction.
"$bin/pelkaro-mask" --beamstop 65.5 62.5 5.5 --from-flat flat_field.dat -o regen.mask >mask.log 2>&1 ||
    { cat mask.log; fail "pelkaro-mask: status $?"; }
[ "$(grep -v '^#' regen.mask)" = "$(grep -v '^#' detector.mask)" ] || fail "pelkaro-mask did not regenerate detector.mask"
mkdir -p again && cp sphere_sample.dat solvent_buffer.dat again/ &&
    sed -e 's|^MASK detector.mask|MASK regen.mask|' -e 's|^DATS |DATS again/|' -e 's|^DATB |DATB again/|' \
        spheres.par >again.par
"$bin/Pelkaro" again.par >again.log 2>&1 || { tail -5 again.log; fail "Pelkaro with the regenerated mask: status $?"; }
cmp -s sphere_sample.d1d again/sphere_sample.d1d || fail "the regenerated mask reduces to another curve"

if [ "$with_nxcansas" = 1 ]; then
    "$bin/pelkaro-nxcansas" -o spheres.h5 spheres.par >nx.log 2>&1 || { cat nx.log; fail "pelkaro-nxcansas: status $?"; }
    [ "$(head -c 8 spheres.h5 | od -An -c | tr -d ' ')" = '211HDF\r\n032\n' ] || fail "spheres.h5 is not an HDF5 file"
    # pelkaro-merge runs and refuses one file given twice (status 2).
    merge_status=0
    "$bin/pelkaro-merge" -o merged.h5 spheres.h5 ./spheres.h5 >merge.log 2>&1 || merge_status=$?
    [ "$merge_status" -eq 2 ] && [ ! -e merged.h5 ] || { cat merge.log; fail "pelkaro-merge took one file twice"; }
fi

# The Python module, imported from the prefix alone, reduces the example to
# Pelkaro's files.
if [ -n "$python" ]; then
    pkg=$prefix/$python_dir/pelkaro
    ls "$pkg"/_pelkaro*.so "$pkg"/__init__.py "$pkg"/_pelkaro.pyi >/dev/null 2>&1 || fail "the Python package is not in $pkg"
    env -u PYTHONHOME PYTHONPATH="$prefix/$python_dir" PYTHONDONTWRITEBYTECODE=1 "$python" -c '
import sys, pelkaro
assert pelkaro.__file__.startswith(sys.argv[1]), pelkaro.__file__
assert pelkaro.reduce("spheres.par").write("py") == ["py.d2d", "py.d1d"]
' "$prefix" >py.log 2>&1 || { cat py.log; fail "the installed Python module did not reduce the example"; }
    cmp -s py.d1d sphere_sample.d1d && cmp -s py.d2d sphere_sample.d2d || fail "the installed Python module wrote other files"
elif [ -e "$prefix/$python_dir/pelkaro" ] && [ -n "$python_dir" ]; then
    fail "the Python package installed although it was not built"
fi

# The example's direct beams: the transmissions, centre and scale measured,
# and the parameter file agrees with them.
"$bin/pelkaro-trans" --format tsv --par spheres.par --attenuation 0.0001 --empty empty_beam.dat,120,120000 \
    sample_beam.dat,180,176940,sphere_sample.dat buffer_beam.dat,150,148320,solvent_buffer.dat >trans.tsv 2>trans.log ||
    { cat trans.log; fail "pelkaro-trans: status $?"; }
[ "$(grep -c '^transmission' trans.tsv)" -eq 2 ] && grep -q '^absf' trans.tsv || { cat trans.tsv; fail "pelkaro-trans table"; }
"$bin/pelkaro-check" --strict --trans trans.tsv spheres.par >check-trans.log 2>&1 ||
    { cat check-trans.log; fail "pelkaro-check --trans: status $?"; }

# A table of one row reduces to Pelkaro's curve (the .d2d's header repeats
# the row's own parameter file).
printf 'name,sample,time,monitor,thickness,transmission\nspheres,sphere_sample.dat,1500,1500000,0.1,0.899425\n' >rows.csv
"$bin/pelkaro-batch" -o batch --formats d1d,d2d spheres.par rows.csv >batch.log 2>&1 ||
    { cat batch.log; fail "pelkaro-batch: status $?"; }
cmp -s sphere_sample.d1d batch/spheres.d1d && [ -s batch/spheres.d2d ] ||
    fail "pelkaro-batch did not write Pelkaro's curve"

# With its defaults and the direct-beam runs the simulator writes the example
# again, byte for byte, and prints the command that measures them.
"$bin/pelkaro-sim" --transmission-runs --out sim >sim.log 2>&1 || { cat sim.log; fail "pelkaro-sim: status $?"; }
for f in $expected; do
    [ "${f##*.}" != py ] || continue
    cmp -s "$doc/examples/$f" "sim/$f" || fail "pelkaro-sim did not regenerate $f"
done
grep -q '^pelkaro-trans --par spheres.par ' sim.log || { cat sim.log; fail "pelkaro-sim printed no pelkaro-trans command"; }

if ! skip_without gnuplot gnuplot-nox "pelkaro-plot"; then
    for f in sphere_sample.d1d sphere_sample.d2d; do
        png=$("$bin/pelkaro-plot" "$f" 2>plot.log) || { cat plot.log; fail "pelkaro-plot $f: status $?"; }
        [ "$png" = "$f.png" ] && [ -s "$png" ] || fail "pelkaro-plot $f wrote no $f.png"
    done
fi

# ---- Manual pages ----------------------------------------------------------
if ! skip_without man man-db "the manual pages"; then
    for page in "$man1"/*; do
        name=$(basename "$page")
        name=${name%%.1*}
        MANWIDTH=80 man --warnings -l "$page" >"$scratch/page.txt" 2>"$scratch/page.err" ||
            fail "man -l $page: status $?"
        [ ! -s "$scratch/page.err" ] || { cat "$scratch/page.err"; fail "$name(1) renders with warnings"; }
        grep -q "^NAME" "$scratch/page.txt" || fail "$name(1) has no NAME section"
        grep -q "^Pelkaro $version  " "$scratch/page.txt" || fail "$name(1) does not show version $version"
        # man finds it by name in the installed tree.
        [ "$(man -M "$prefix/share/man" -w "$name" 2>/dev/null)" = "$page" ] || fail "man -M ... -w $name does not find $page"
    done
fi
echo "installed into a scratch prefix: ${programs[*]},${python:+ the Python module,} their manual pages, README.md and the example; all ran"
