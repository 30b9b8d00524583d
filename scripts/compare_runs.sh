#!/usr/bin/env bash
# Runs two Pelkaro executables on the same inputs and reports every case where
# they behave differently.  See --help.
set -uo pipefail

usage() {
    cat <<'EOF'
usage: scripts/compare_runs.sh [options] OLD_EXE NEW_EXE

Runs OLD_EXE and NEW_EXE on many inputs, each in its own fresh scratch copy of
the case's files (both at the same path, one after the other), and compares
standard output, standard error, exit status and every file left in the
scratch directory: names, types, permission bits and bytes, temporary files
included.  Prints one line per differing case, followed by a short diff of
what differs, then the line "N passed, M failed" (N: identical cases).  Exit
status 0 when no case differs, 1 when some do, 2 on a usage or setup error.

The cases:
  corpus/parse/UNIT        a parameter-file unit of fuzz/corpus/parse, run
                           beside the small files the parse fuzz target sets up
  corpus/read_data/UNIT.V  a detector data unit, loaded by a copy of
                           examples/spheres.par as V = sample, buffer, dark
                           (current) or sens (sensitivity), or by
                           examples/beam_centre.par (V = beam)
  corpus/read_mask/UNIT    a mask unit, used by spheres.par ("MASK u.msk 1 1")
  corpus/run/UNIT          a whole-run unit laid out as fuzz/fuzz_run.cpp does
                           (scripts/expand_run_unit.py)
  corpus/check/UNIT        the same for a unit of the check target, expanded
                           as fuzz/fuzz_check.cpp does
  hostile/TEST/N           the cases of the hostile-input tests, as
                           test_hostile sets them up (it keeps them when
                           PELKARO_KEEP_CASES is set)
  example/NAME             examples/spheres.par, beam_centre.par and a mask
                           run (spheres.par with MODE 1) in a copy of examples/
  cli/NAME                 no argument, two arguments, a missing file
Units whose parameter file names a path with "/" are skipped (they could
reach files outside the scratch directory), and so are the hostile cases that
need a file size limit or an unreadable file; the skipped cases are counted.

options:
  --cases DIR         build the cases in DIR and keep them, with the scratch
                      directories of every differing case under DIR/.results
                      (default: a temporary directory, removed at the end)
  --corpus DIR        a fuzz corpus root with subdirectories parse, read_data,
                      read_mask, run, check (default: fuzz/corpus; repeatable,
                      e.g. --corpus fuzz/corpus --corpus build-asan/fuzz-corpus)
  --hostile-test EXE  the test_hostile program that writes the hostile cases
                      (default: $PELKARO_TEST_HOSTILE, else the first of
                      build/test_hostile, build*/test_hostile in this tree
                      that knows PELKARO_KEEP_CASES, sanitized builds last;
                      without one those cases are missing, with a warning)
  --timeout S         time limit of each run in seconds (default 20)
  --jobs N            cases run at the same time (default 2)
  -h, --help          this text
EOF
}

here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
timeout_s=20
jobs=2
cases=""
keep=no
hostile_test="${PELKARO_TEST_HOSTILE:-}"
corpora=()
exes=()

die() {
    echo "compare_runs: $*" >&2
    exit 2
}

while [ $# -gt 0 ]; do
    case "$1" in
        -h|--help) usage; exit 0 ;;
        --cases) [ $# -ge 2 ] || die "--cases needs a directory"; cases=$2; keep=yes; shift 2 ;;
        --corpus) [ $# -ge 2 ] || die "--corpus needs a directory"; corpora+=("$2"); shift 2 ;;
        --hostile-test) [ $# -ge 2 ] || die "--hostile-test needs a program"; hostile_test=$2; shift 2 ;;
        --timeout) [ $# -ge 2 ] || die "--timeout needs seconds"; timeout_s=$2; shift 2 ;;
        --jobs) [ $# -ge 2 ] || die "--jobs needs a number"; jobs=$2; shift 2 ;;
        --) shift; exes+=("$@"); break ;;
        -*) die "unknown option $1 (see --help)" ;;
        *) exes+=("$1"); shift ;;
    esac
done
[ ${#exes[@]} -eq 2 ] || { usage >&2; exit 2; }
[[ "$jobs" =~ ^[1-9][0-9]*$ ]] || die "--jobs wants a positive whole number"
[[ "$timeout_s" =~ ^[1-9][0-9]*$ ]] || die "--timeout wants a positive whole number of seconds"
[ ${#corpora[@]} -gt 0 ] || corpora=("$root/fuzz/corpus")

# Absolute paths: the runs happen in the scratch directories.
absolute() {
    local p=$1
    case "$p" in
        */*) ;;
        *) p=$(command -v -- "$p") || return 1 ;;
    esac
    [ -f "$p" ] && [ -x "$p" ] || return 1
    echo "$(cd "$(dirname "$p")" && pwd)/$(basename "$p")"
}
old_exe=$(absolute "${exes[0]}") || die "not an executable: ${exes[0]}"
new_exe=$(absolute "${exes[1]}") || die "not an executable: ${exes[1]}"
for d in "${corpora[@]}"; do [ -d "$d" ] || die "no corpus directory $d"; done

export LC_ALL=C
if [ -n "$cases" ]; then
    if [ -e "$cases" ] && [ -n "$(ls -A "$cases")" ]; then
        [ -f "$cases/.compare_runs" ] || die "$cases is not empty and was not made by this script"
        rm -rf "$cases"
    fi
    mkdir -p "$cases" || die "cannot create $cases"
    cases="$(cd "$cases" && pwd)"
else
    cases=$(mktemp -d "${TMPDIR:-/tmp}/pelkaro-compare-XXXXXX") || die "cannot create a temporary directory"
    trap 'rm -rf "$cases"' EXIT
fi
touch "$cases/.compare_runs"

# ---------------------------------------------------------------- the cases
# A case is a directory holding "files" (the scratch directory's content),
# "args" (the command line, one argument a line), optionally "base" (the
# name of a directory under $cases copied in first, under "files"), "what"
# (a description) or "skip" (why it is not run).

# new_case ID [BASE]: creates the case directory and prints its path.
new_case() {
    local dir="$cases/$1"
    mkdir -p "$dir/files" || die "cannot create $dir"
    [ $# -lt 2 ] || echo "$2" >"$dir/base"
    echo "$dir"
}

# example_param FILE SED-EXPRESSION OUT: a copy of an example parameter file
# with one line changed; fails loudly when the line is not there any more.
example_param() {
    sed -e "$2" "$root/examples/$1" >"$3"
    cmp -s "$root/examples/$1" "$3" && die "examples/$1 no longer has the line that '$2' changes"
    return 0
}

make_examples() {
    mkdir -p "$cases/base/examples" || die "cannot create $cases/base"
    cp -a "$root/examples/." "$cases/base/examples/" || die "cannot copy examples/"
    local c
    c=$(new_case example/spheres base/examples) || exit 2
    echo spheres.par >"$c/args"
    c=$(new_case example/beam_centre base/examples) || exit 2
    echo beam_centre.par >"$c/args"
    c=$(new_case example/mask_run base/examples) || exit 2
    echo mask_run.par >"$c/args"
    example_param spheres.par 's/^MODE 0$/MODE 1/' "$c/files/mask_run.par"
    c=$(new_case cli/no_argument base/examples) || exit 2
    : >"$c/args"
    c=$(new_case cli/two_arguments base/examples) || exit 2
    printf 'spheres.par\nspheres.par\n' >"$c/args"
    c=$(new_case cli/missing_file base/examples) || exit 2
    echo missing.par >"$c/args"
}

# Parameter-file units, beside the files the parse fuzz target creates.
make_parse() {
    local group=$1 unit c n
    for unit in "$2"/*; do
        [ -f "$unit" ] || continue
        c=$(new_case "$group/$(basename "$unit")") || exit 2
        if grep -q / "$unit"; then
            echo "parameter file names a path with '/'" >"$c/skip"
            continue
        fi
        cp "$unit" "$c/files/p.in"
        for n in a b c d e s1.dat mask.d2d; do echo 1 >"$c/files/$n"; done
        mkdir "$c/files/dir"
        echo p.in >"$c/args"
    done
}

# Detector data units, each loaded in the roles a data file can have.
make_read_data() {
    local group=$1 unit c role
    local -A edit=([sample]='s/^DATS sphere_sample\.dat /DATS u.dat /'
                   [buffer]='s/^DATB solvent_buffer\.dat /DATB u.dat /'
                   [dark]='s/^DATD dark_current\.dat /DATD u.dat /'
                   [sens]='s/^SENS 1 flat_field\.dat$/SENS 1 u.dat/'
                   [beam]='s/^DATS direct_beam\.dat /DATS u.dat /')
    for unit in "$2"/*; do
        [ -f "$unit" ] || continue
        for role in sample buffer dark sens beam; do
            c=$(new_case "$group/$(basename "$unit").$role" base/examples) || exit 2
            cp "$unit" "$c/files/u.dat"
            if [ $role = beam ]; then
                example_param beam_centre.par "${edit[$role]}" "$c/files/p.in"
            else
                example_param spheres.par "${edit[$role]}" "$c/files/p.in"
            fi
            echo p.in >"$c/args"
        done
    done
}

make_read_mask() {
    local group=$1 unit c
    for unit in "$2"/*; do
        [ -f "$unit" ] || continue
        c=$(new_case "$group/$(basename "$unit")" base/examples) || exit 2
        cp "$unit" "$c/files/u.msk"
        example_param spheres.par 's/^MASK detector\.mask 1 1$/MASK u.msk 1 1/' "$c/files/p.in"
        echo p.in >"$c/args"
    done
}

# make_run GROUP DIR [--check]: whole-run units (with --check, those of the
# check target, whose images differ a little).
make_run() {
    local units=() unit
    for unit in "$2"/*; do [ -f "$unit" ] && units+=("$unit"); done
    [ ${#units[@]} -gt 0 ] || return 0
    mkdir -p "$cases/$1"
    python3 "$here/expand_run_unit.py" "${@:3}" "$cases/$1" "${units[@]}" || die "expand_run_unit.py failed on $2"
}

make_corpora() {
    local i=0 dir prefix
    for dir in "${corpora[@]}"; do
        i=$((i + 1))
        prefix=corpus
        [ $i -eq 1 ] || prefix=corpus$i
        [ ! -d "$dir/parse" ] || make_parse "$prefix/parse" "$dir/parse"
        [ ! -d "$dir/read_data" ] || make_read_data "$prefix/read_data" "$dir/read_data"
        [ ! -d "$dir/read_mask" ] || make_read_mask "$prefix/read_mask" "$dir/read_mask"
        [ ! -d "$dir/run" ] || make_run "$prefix/run" "$dir/run"
        [ ! -d "$dir/check" ] || make_run "$prefix/check" "$dir/check" --check
    done
}

# The hostile-input tests write their cases themselves.
find_hostile_test() {
    local t pass
    for pass in plain sanitized; do
        for t in "$root"/build/test_hostile "$root"/build?*/test_hostile; do
            [ -x "$t" ] || continue
            case "$t" in *asan*|*san*) [ $pass = sanitized ] || continue ;; *) [ $pass = plain ] || continue ;; esac
            grep -qa PELKARO_KEEP_CASES "$t" && { echo "$t"; return 0; }
        done
    done
    return 1
}

make_hostile() {
    [ -n "$hostile_test" ] || hostile_test=$(find_hostile_test) || {
        echo "compare_runs: WARNING: no test_hostile that keeps its cases (build the test_hostile target," \
             "or give --hostile-test); the hostile cases are missing" >&2
        return 0
    }
    grep -qa PELKARO_KEEP_CASES "$hostile_test" ||
        die "$hostile_test does not keep its cases (built before PELKARO_KEEP_CASES?)"
    mkdir -p "$cases/hostile"
    echo "compare_runs: the hostile cases come from $hostile_test" >&2
    if ! PELKARO_KEEP_CASES="$cases/hostile" "$hostile_test" --gtest_brief=1 >"$cases/hostile.log" 2>&1; then
        echo "compare_runs: note: $hostile_test reported failures; its cases are compared all the same" >&2
        grep -a '^\[  FAILED  \] [A-Za-z]' "$cases/hostile.log" | sort -u | sed 's/^/  /' >&2
        [ "$keep" = no ] || echo "  (its log: $cases/hostile.log)" >&2
    fi
    # Some cases hold large files of zeros: keep them sparse.
    if command -v fallocate >/dev/null 2>&1; then
        find "$cases/hostile" -type f -size +1M -exec fallocate --dig-holes {} \; 2>/dev/null
    fi
}

# ---------------------------------------------------------------- the runs

# run_one EXE CASE SCRATCH TAG: runs EXE on a fresh copy of CASE in
# SCRATCH/run, then keeps the directory as SCRATCH/TAG with the console in
# SCRATCH/TAG.out, .err and the exit status in SCRATCH/TAG.rc.
run_one() {
    local exe=$1 c=$2 s=$3 tag=$4 args=()
    rm -rf "$s/run" && mkdir -p "$s/run"
    [ ! -f "$c/base" ] || cp -a "$cases/$(cat "$c/base")/." "$s/run/"
    cp -a --sparse=auto "$c/files/." "$s/run/"
    mapfile -t args <"$c/args"
    (cd "$s/run" && exec timeout -k 5 "$timeout_s" "$exe" "${args[@]}" </dev/null >"$s/$tag.out" 2>"$s/$tag.err")
    echo $? >"$s/$tag.rc"
    mv "$s/run" "$s/$tag"
}

# The directory's entries (type, permission bits, name), then the checksum of
# every regular file.
manifest() {
    (cd "$1" && find . -mindepth 1 -printf '%y %m %P\n' | sort && find . -type f -exec md5sum {} + | sort -k 2)
}

# short LIMIT: up to LIMIT lines of a diff, control characters made visible,
# indented and cut to a readable width.
short() {
    head -n "$1" | cat -v | cut -c 1-160 | sed 's/^/      /'
}

# An exit status as the shell reports it, with what it means when unusual.
status_text() {
    local rc
    rc=$(cat "$1")
    case "$rc" in
        124|137) echo "$rc (stopped at the time limit)" ;;
        126|127) echo "$rc (could not be run)" ;;
        129|13[0-9]|14[0-9]|15[0-9]) echo "$rc (128 + signal $((rc - 128)))" ;;
        *) echo "$rc" ;;
    esac
}

# differences SCRATCH: what differs between SCRATCH/old and SCRATCH/new.
differences() {
    local s=$1 name what
    cmp -s "$s/old.rc" "$s/new.rc" || echo "    exit status: $(status_text "$s/old.rc") -> $(status_text "$s/new.rc")"
    for what in out err; do
        cmp -s "$s/old.$what" "$s/new.$what" && continue
        [ $what = out ] && echo "    standard output:" || echo "    standard error:"
        diff -a "$s/old.$what" "$s/new.$what" | grep -v '^---$' | short 6
    done
    (cd "$s/old" && find . -mindepth 1 -printf '%y %m %P\n' | sort) >"$s/old.list"
    (cd "$s/new" && find . -mindepth 1 -printf '%y %m %P\n' | sort) >"$s/new.list"
    if ! cmp -s "$s/old.list" "$s/new.list"; then
        echo "    files (type, mode, name; < old, > new):"
        diff "$s/old.list" "$s/new.list" | grep '^[<>]' | short 6
    fi
    comm -12 "$s/old.list" "$s/new.list" | sed -n 's/^f [0-7]* //p' | while IFS= read -r name; do
        cmp -s "$s/old/$name" "$s/new/$name" && continue
        echo "    file $name:"
        diff -a "$s/old/$name" "$s/new/$name" | grep -v '^---$' | short 4
    done
}

# run_case ID: runs one case with both executables and writes its result,
# "pass", "skip", "timeout" (identical, but both hit the time limit) or
# "fail" followed by the differences, to $results/ID.
run_case() {
    local id=$1 c="$cases/$1" s="$work/$1" out="$results/${1//\//%}"
    if [ -f "$c/skip" ]; then
        echo skip >"$out"
        return
    fi
    mkdir -p "$s"
    run_one "$old_exe" "$c" "$s" old
    run_one "$new_exe" "$c" "$s" new
    if cmp -s "$s/old.rc" "$s/new.rc" && cmp -s "$s/old.out" "$s/new.out" && cmp -s "$s/old.err" "$s/new.err" &&
        cmp -s <(manifest "$s/old") <(manifest "$s/new"); then
        case "$(cat "$s/old.rc")" in 124|137) echo timeout >"$out" ;; *) echo pass >"$out" ;; esac
        rm -rf "$s"
    else
        { echo fail; differences "$s"; } >"$out"
    fi
}

# ---------------------------------------------------------------- main

make_examples
make_corpora
make_hostile

ids=()
while IFS= read -r f; do
    ids+=("${f%/args}")
done < <(cd "$cases" && find . \( -path ./.results -o -path ./base -o -name files \) -prune -o \
             \( -name args -o -name skip \) -type f -print | sed -e 's|^\./||' -e 's|/skip$|/args|' | sort -V -u)
[ ${#ids[@]} -gt 0 ] || die "no cases"

work="$cases/.results"
results="$work/.status"
mkdir -p "$results"
for id in "${ids[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
    run_case "$id" &
done
wait

passed=0 failed=0 skipped=0 timeouts=0
for id in "${ids[@]}"; do
    r="$results/${id//\//%}"
    case "$(head -n 1 "$r" 2>/dev/null)" in
        pass) passed=$((passed + 1)) ;;
        timeout) passed=$((passed + 1)) timeouts=$((timeouts + 1)) ;;
        skip) skipped=$((skipped + 1)) ;;
        fail)
            failed=$((failed + 1))
            what=""
            [ ! -f "$cases/$id/what" ] || what=" ($(head -c 100 "$cases/$id/what" | head -n 1))"
            echo "DIFFERS $id$what"
            tail -n +2 "$r" | head -n 24
            ;;
        *) failed=$((failed + 1)); echo "DIFFERS $id: no result (the comparison itself failed)" ;;
    esac
done
[ "$failed" -eq 0 ] || [ "$keep" = no ] || echo "the scratch directories of the differing cases are in $work"
if [ "$skipped" -gt 0 ]; then
    reasons=$(for id in "${ids[@]}"; do [ ! -f "$cases/$id/skip" ] || head -n 1 "$cases/$id/skip"; done |
              sort | uniq -c | sed 's/^ *\([0-9]*\) \(.*\)/\1: \2/' | paste -sd ';' | sed 's/;/; /g')
    echo "skipped $skipped cases ($reasons)"
fi
if [ "$timeouts" -gt 0 ]; then
    echo "note: $timeouts cases ran into the ${timeout_s} s limit with both executables:" \
         "$(for id in "${ids[@]}"; do [ "$(head -n 1 "$results/${id//\//%}")" != timeout ] || echo "$id"; done |
            paste -sd ' ')"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
