#!/usr/bin/env bash
# Runs Pelkaro's libFuzzer targets.
#
#   fuzz/run.sh TARGET|all SECONDS [libFuzzer options...]
#
# TARGET is parse, read_data, read_mask, run, check, trans, table, aniso, flat, curve or trans_table
# (all: each in turn).
# Builds the targets first (clang, AddressSanitizer + UndefinedBehaviorSanitizer) in
# $PELKARO_FUZZ_BUILD, default build-asan.  Each target starts from its seed
# corpus fuzz/corpus/TARGET and keeps what it finds in BUILD/fuzz-corpus/TARGET;
# a crashing input goes to BUILD/fuzz-artifacts/, the log to BUILD/fuzz-logs/.
# Extra options go to libFuzzer, e.g. -runs=10000000 to stop at 10 million
# executions if that comes before SECONDS.  Exits non-zero on any finding.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
if [ $# -lt 2 ]; then
  echo "usage: fuzz/run.sh parse|read_data|read_mask|run|check|trans|table|aniso|flat|curve|trans_table|all SECONDS [libFuzzer options...]" >&2
  exit 2
fi
which="$1"
seconds="$2"
shift 2
build="${PELKARO_FUZZ_BUILD:-$root/build-asan}"
case "$build" in /*) ;; *) build="$root/$build" ;; esac

if [ -z "${PELKARO_FUZZ_NO_BUILD:-}" ]; then
  if [ ! -f "$build/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DPELKARO_SANITIZE=ON -DPELKARO_FUZZ=ON >/dev/null || exit 1
  else
    cmake -S "$root" -B "$build" -DPELKARO_FUZZ=ON >/dev/null || exit 1
  fi
  cmake --build "$build" --target fuzz_all -j2 >/dev/null || { echo "fuzz: build failed" >&2; exit 1; }
fi

options_for() {
  case "$1" in
    parse) echo "-max_len=4096 -dict=$here/param.dict" ;;
    read_data) echo "-max_len=131072 -dict=$here/data.dict" ;;
    read_mask) echo "-max_len=131072 -dict=$here/data.dict" ;;
    run|check) echo "-max_len=16384 -dict=$here/run.dict -timeout=60" ;;
    trans) echo "-max_len=32769" ;;
    table) echo "-max_len=8192" ;;
    aniso) echo "-max_len=33000" ;;
    flat) echo "-max_len=131072 -dict=$here/data.dict" ;;
    curve) echo "-max_len=4096" ;;
  esac
}

case "$which" in
  all) targets="parse read_data read_mask run check trans table aniso flat curve trans_table" ;;
  parse|read_data|read_mask|run|check|trans|table|aniso|flat|curve|trans_table) targets="$which" ;;
  *) echo "fuzz: unknown target $which" >&2; exit 2 ;;
esac

mkdir -p "$build/fuzz-artifacts" "$build/fuzz-logs"
status=0
for t in $targets; do
  corpus="$build/fuzz-corpus/$t"
  log="$build/fuzz-logs/$t.log"
  mkdir -p "$corpus"
  # shellcheck disable=SC2046
  "$build/fuzz/fuzz_$t" "$corpus" "$here/corpus/$t" $(options_for "$t") -timeout=20 -rss_limit_mb=2048 \
    -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$t-" "$@" \
    >"$log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  time=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
  units=$(find "$corpus" -type f | wc -l)
  if [ $rc -eq 0 ]; then
    echo "fuzz $t: ${execs:-?} executions in ${time:-?} s (${rate:-?}/s), corpus $units, no finding"
  else
    echo "fuzz $t: FINDING (libFuzzer status $rc) after ${execs:-?} executions; log $log"
    grep -E 'ERROR|invariant|runtime error|SUMMARY|Test unit written' "$log" | head -20
    status=1
  fi
done
exit $status
