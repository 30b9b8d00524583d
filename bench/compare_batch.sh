#!/usr/bin/env bash
# The outputs of two builds of pelkaro-batch on one table, file by file:
# every row's .par, .d1d, .d2d, .image.png, the summary and the report byte
# for byte, and every NXcanSAS file as h5dump shows it (values, types,
# attributes, layout but not the addresses), the time stamps of the writing (the file's
# file_time and the process's date, the report's date) left out.  Both run from the same
# directory into an output directory of the same name, one after the other.
#
#   bench/compare_batch.sh OLD_BUILD NEW_BUILD DIR BASE.par TABLE.csv [BATCH OPTIONS...]
#
# DIR is where BASE.par and TABLE.csv lie (names relative to it).  Prints
# the files that differ and a count; exit status 1 when any differs.
set -euo pipefail
if [[ ${1:-} == --help || $# -lt 5 ]]; then
    echo "usage: bench/compare_batch.sh OLD_BUILD NEW_BUILD DIR BASE.par TABLE.csv [BATCH OPTIONS...]"
    [[ ${1:-} == --help ]] && exit 0 || exit 2
fi
for b in "$1" "$2"; do
    [[ -x $b/pelkaro-batch ]] || { echo "bench/compare_batch.sh: no pelkaro-batch in $b" >&2; exit 2; }
done
# Without h5dump every NXcanSAS file would compare as equal: refused.
command -v h5dump >/dev/null || { echo "bench/compare_batch.sh: needs h5dump (Debian: hdf5-tools)" >&2; exit 2; }
old=$(cd "$1" && pwd) new=$(cd "$2" && pwd) dir=$3 base=$4 table=$5
shift 5
cd "$dir"
out=$(mktemp -d /dev/shm/compare_batch.XXXXXX)
trap 'rm -rf "$out"' EXIT
for b in old new; do
    bin=$old
    [[ $b == new ]] && bin=$new
    rm -rf cmp_out
    "$bin/pelkaro-batch" -o cmp_out "$@" "$base" "$table" >"$out/$b.console" 2>&1 || echo "exit status $?" >>"$out/$b.console"
    mv cmp_out "$out/$b"
done
# Times of the writing as the files hold them, left out.
untimed() { sed -E 's/[0-9]{4}-[0-9]{2}-[0-9]{2}[T ][0-9]{2}:[0-9]{2}:[0-9]{2}[^"<]*/TIME/g'; }
# Where the library placed a dataset's bytes (OFFSET) is left out too: a
# file made from the thread's previous one keeps that one's places.
dump() { h5dump -p "$1" | sed 1d | untimed | grep -Ev '^ *OFFSET [0-9]+$'; }
differ=0 files=0
# The rows finish in any order with several threads: the console's lines
# compared as sets, without the progress counts.
lines() { sed -E 's#\[[0-9]+/[0-9]+\] ##' "$1" | sort; }
cmp -s <(lines "$out/old.console") <(lines "$out/new.console") || { echo "console differs"; differ=$((differ + 1)); }
for f in "$out"/old/*; do
    n=$(basename "$f")
    files=$((files + 1))
    if [[ ! -e $out/new/$n ]]; then
        echo "missing: $n"; differ=$((differ + 1)); continue
    fi
    case $n in
        *.h5) cmp -s <(dump "$f") <(dump "$out/new/$n") || { echo "differs: $n"; differ=$((differ + 1)); } ;;
        report.html) cmp -s <(untimed <"$f") <(untimed <"$out/new/$n") ||
            { echo "differs: $n"; differ=$((differ + 1)); } ;;
        *) cmp -s "$f" "$out/new/$n" || { echo "differs: $n"; differ=$((differ + 1)); } ;;
    esac
done
[[ $(ls "$out/old" | wc -l) == $(ls "$out/new" | wc -l) ]] || { echo "the numbers of files differ"; differ=$((differ + 1)); }
echo "$files files compared, $differ differ"
((differ == 0))
