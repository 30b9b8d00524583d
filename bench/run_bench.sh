#!/usr/bin/env bash
# Whole-process timing of Pelkaro: each executable named runs the bundled
# example (or another parameter file) many times, the executables taking
# turns (A B A B ...), each in its own scratch copy of the example's
# directory.  Prints, per executable, the median wall time with its spread
# and the peak resident memory (/usr/bin/time -v), and the ratio of every
# median to the first executable's.  See --help.
set -euo pipefail

usage() {
    cat <<'EOF'
usage: bench/run_bench.sh [options] EXE [EXE ...]

Runs every EXE on a parameter file (default: examples/spheres.par of this
source tree) RUNS times, taking turns, each in a scratch copy of the
parameter file's directory with standard output to /dev/null.  Wall time is
taken around each run by the shell (microseconds, $EPOCHREALTIME); the
shell's own fork and exec are included, the same for every executable.

For each EXE: the median, the range (least and greatest), the 10th and
90th percentiles, all in milliseconds; then the peak resident memory of
one more run (/usr/bin/time -v, when present); then the median of the
first EXE divided by each other's (its speed-up).  The machine's load
average at the start and at the end is printed too: timings taken under
load spread widely.

options:
  -n RUNS      runs of each executable (default 40)
  -w WARMUP    untimed runs of each executable first (default 3)
  -p FILE      parameter file (its whole directory is copied)
  -t EXE       also time EXE with no argument as the floor of a process
               start (e.g. /bin/true)
  -f           fresh outputs: the files a run leaves are removed before the
               next run (untimed), so no run replaces an earlier output.  On
               a file system that discards freed blocks at once (ext4
               mounted with -o discard), replacing an output waits for the
               device in the rename; this shows the run without that wait.
  -h, --help   this text
Exit status 0, or 1 when a run fails (its exit status is not 0).
EOF
}

here="$(cd "$(dirname "$0")" && pwd)"
runs=40
warmup=3
param="$here/../examples/spheres.par"
floor=""
fresh=0
while [[ $# -gt 0 ]]; do
    case "$1" in
        -n) runs="$2"; shift 2 ;;
        -w) warmup="$2"; shift 2 ;;
        -p) param="$2"; shift 2 ;;
        -t) floor="$2"; shift 2 ;;
        -f) fresh=1; shift ;;
        -h|--help) usage; exit 0 ;;
        --) shift; break ;;
        -*) echo "run_bench.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
        *) break ;;
    esac
done
if [[ $# -lt 1 ]]; then usage >&2; exit 2; fi
if [[ -z "${EPOCHREALTIME:-}" ]]; then echo "run_bench.sh: needs bash 5 (EPOCHREALTIME)" >&2; exit 2; fi
[[ "$runs" =~ ^[1-9][0-9]*$ && "$warmup" =~ ^[0-9]+$ ]] || { echo "run_bench.sh: bad -n or -w" >&2; exit 2; }
[[ -f "$param" ]] || { echo "run_bench.sh: no parameter file $param" >&2; exit 2; }

exes=()
for e in "$@"; do
    [[ -x "$e" ]] || { echo "run_bench.sh: $e is not an executable" >&2; exit 2; }
    exes+=("$(cd "$(dirname "$e")" && pwd)/$(basename "$e")")
done
labels=("$@")
floor_index=-1
if [[ -n "$floor" ]]; then
    floor_index=${#exes[@]}
    exes+=("$floor")
    labels+=("$floor (no argument)")
fi

scratch="$(mktemp -d /tmp/pelkaro-runbench-XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
src_dir="$(cd "$(dirname "$param")" && pwd)"
par="$(basename "$param")"
declare -A inputs
for f in "$src_dir"/*; do inputs["$(basename "$f")"]=1; done
inputs[times]=1
for i in "${!exes[@]}"; do
    mkdir "$scratch/$i"
    cp -p "$src_dir"/* "$scratch/$i/" 2>/dev/null || true
    : > "$scratch/$i/times"
done

# One run of executable i; its wall time in microseconds is appended to its list.
one_run() {
    local i="$1" record="$2" s e rc=0
    cd "$scratch/$i"
    if [[ $fresh -eq 1 ]]; then
        for f in *; do [[ -n "${inputs[$f]:-}" ]] || rm -f -- "$f"; done
    fi
    local args=("$par")
    [[ $i -eq $floor_index ]] && args=()
    s=$EPOCHREALTIME; "${exes[$i]}" "${args[@]}" > /dev/null || rc=$?; e=$EPOCHREALTIME
    if [[ $rc -ne 0 ]]; then echo "run_bench.sh: ${labels[$i]} failed (exit status $rc)" >&2; exit 1; fi
    if [[ "$record" == 1 ]]; then echo $(( ${e/./} - ${s/./} )) >> "$scratch/$i/times"; fi
}

echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
for ((k = 0; k < warmup; ++k)); do for i in "${!exes[@]}"; do one_run "$i" 0; done; done
for ((k = 0; k < runs; ++k)); do for i in "${!exes[@]}"; do one_run "$i" 1; done; done
echo "load average at end:   $(cut -d' ' -f1-3 /proc/loadavg)"

medians=()
printf '%-44s %9s %19s %9s %9s %9s\n' "executable ($runs runs, ms)" median "range" p10 p90 "peak KiB"
for i in "${!exes[@]}"; do
    stats="$(sort -n "$scratch/$i/times" | awk '{v[NR] = $1}
        END {
            n = NR; m = (n % 2) ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
            p10 = v[int(0.1 * (n - 1)) + 1]; p90 = v[int(0.9 * (n - 1)) + 1]
            printf "%.3f %.3f %.3f %.3f %.3f", m / 1000, v[1] / 1000, v[n] / 1000, p10 / 1000, p90 / 1000
        }')"
    read -r med lo hi p10 p90 <<< "$stats"
    medians+=("$med")
    rss="-"
    if [[ -x /usr/bin/time ]]; then
        cd "$scratch/$i"
        args=("$par")
        [[ $i -eq $floor_index ]] && args=()
        rss="$(/usr/bin/time -v "${exes[$i]}" "${args[@]}" 2>&1 >/dev/null | awk -F': ' '/Maximum resident/ {print $2}')"
    fi
    printf '%-44s %9s %19s %9s %9s %9s\n' "${labels[$i]}" "$med" "$lo - $hi" "$p10" "$p90" "$rss"
done
for i in "${!exes[@]}"; do
    [[ $i -eq 0 || $i -eq $floor_index ]] && continue
    awk -v a="${medians[0]}" -v b="${medians[$i]}" -v l="${labels[$i]}" \
        'BEGIN { if (b > 0) printf "speed-up of %s over the first: %.2f x\n", l, a / b }'
done
