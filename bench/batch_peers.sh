#!/usr/bin/env bash
# pelkaro-batch side by side with its peers in one run: pyFAI's cached csr
# integrate1d from memory (Poisson errors, the example's geometry, mask and
# bins; bench/pyfai_peer.py) and, where OLD_BUILD is given, another build of
# the batch.  Rounds take turns (pyFAI, new, old, ...); medians are printed.
#
#   bench/batch_peers.sh [-n FRAMES] [-r ROUNDS] [-o OLD_BUILD] [BUILD]
#
#  1. -j 2 --formats d1d, frames with the example's counts (monitor
#     1,500,000), files and outputs on disk ($DISKDIR, default /var/tmp),
#     against pyFAI (frames/s and the ratio batch / pyFAI) and OLD.
#  2. -j 2 with every format (d1d, d2d, h5), outputs on tmpfs (/dev/shm),
#     new against OLD.
#  3. -j 1 and -j 2 --formats d1d on tmpfs: the gain of the second thread,
#     beside what the machine gives two workers that share nothing: two
#     -j 1 processes at once, each on the whole table, against one (in a
#     virtual machine the two processors may be two threads of one core, or
#     share it with other guests, and two of anything run slower than one).
#  4. Peak resident memory (GNU time) of 10 and of FRAMES rows, -j 2, every
#     format.
# pyFAI is looked for by /usr/bin/python3 ($PYTHON); without it the peer's
# figures are skipped with a message.  pyFAI runs with its default threads
# (OpenMP, one per core), and again with one thread: on a machine other work
# keeps busy, its threads wait for each other and the default falls far
# below the single thread.  A run started within six minutes of the last
# one's end waits for the rest of them: on ext4 without a journal,
# creating a file skips every inode freed in the last minute, or in the
# last six while the block holding it is not written back (and creating
# files beside it dirties the block again), reading each one's block to
# see; the cleanup frees thousands, and the disk's figure would time the
# kernel's search.  Leave six minutes after removing many files on the
# disk yourself too.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
usage() { echo "usage: bench/batch_peers.sh [-n FRAMES] [-r ROUNDS] [-o OLD_BUILD] [BUILD]  (--help: the header of this script)"; }
if [[ ${1:-} == --help ]]; then
    sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 0
fi
# A build directory with the programs the benchmark runs, or a message.
build_dir() {
    if [[ ! -x $1/pelkaro-batch || ! -x $1/pelkaro_sim ]]; then
        echo "bench/batch_peers.sh: $1 is not a build directory (no pelkaro-batch and pelkaro_sim in it)" >&2
        exit 2
    fi
    (cd "$1" && pwd)
}
frames=1000 rounds=5 old=""
while getopts "n:r:o:" o; do
    case $o in
        n) frames=$OPTARG ;;
        r) rounds=$OPTARG ;;
        o) old=$(build_dir "$OPTARG") ;;
        *) usage >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
if [[ ! $frames =~ ^[1-9][0-9]*$ || ! $rounds =~ ^[1-9][0-9]*$ ]]; then
    echo "bench/batch_peers.sh: -n and -r take a whole number above 0" >&2
    exit 2
fi
build=$(build_dir "${1:-build}")
python=${PYTHON:-/usr/bin/python3}
# The time of the last run's cleanup on the disk: a run within six minutes
# of it waits for the rest of them (see the header).
stamp=${DISKDIR:-/var/tmp}/.batch_peers.cleaned
settle=360
if [[ -e $stamp ]]; then
    wait_s=$(( $(stat -c %Y "$stamp") + settle - $(date +%s) ))
    if ((wait_s > 0 && wait_s <= settle)); then
        echo "waiting ${wait_s} s: the last run removed its files on the disk less than six minutes ago"
        sleep "$wait_s"
    fi
fi
disk=$(mktemp -d "${DISKDIR:-/var/tmp}/batch_peers.XXXXXX")
shm=$(mktemp -d /dev/shm/batch_peers.XXXXXX)
trap 'rm -rf "$disk" "$shm"; touch "$stamp" 2>/dev/null || true' EXIT

# FRAMES rows in DIR naming 20 simulated frames of MONITOR counts in turn.
make_series() {
    local dir=$1 monitor=$2 time=$3
    mkdir -p "$dir/frames"
    (cd "$dir"
     for s in $(seq 1 20); do "$build/pelkaro_sim" --seed "$s" --monitor "$monitor" --out "sim$s" >/dev/null; done
     cp sim1/spheres.par sim1/solvent_buffer.dat sim1/dark_current.dat sim1/flat_field.dat sim1/detector.mask .
     for s in $(seq 1 20); do cp "sim$s/sphere_sample.dat" "frames/s$s.dat"; done
     { echo "name,sample,time,monitor,thickness,transmission"
       for i in $(seq 0 $((frames - 1))); do
           printf 'f%05d,frames/s%d.dat,%s,%s,0.1,0.899425\n' "$i" $((i % 20 + 1)) "$time" "$monitor"
       done; } > series.csv
     head -n 11 series.csv > series10.csv)
}

# Frames per second of one whole batch process: BIN DIR TABLE ARGS...
# Each run writes into a new directory of its own, on the disk removed
# only at the end: a run that wrote into an earlier run's directory would
# time replacing its files, and on ext4 without a journal, creating files
# right after thousands were removed makes the kernel look past every
# inode freed in the last minutes (each row creates two to five files),
# which would time the removal, not the batch.  (The function runs in a
# command substitution, a subshell: the directory is named by mktemp, not
# by a count the caller would never see change.)
rate() {
    local bin=$1 dir=$2 table=$3; shift 3
    local t0 t1 cpu out
    out=$(mktemp -d "$dir/out.XXXXXX")
    t0=$EPOCHREALTIME
    (cd "$dir" && /usr/bin/time -f "%U %S" -o "$dir/cpu" "$bin/pelkaro-batch" -o "$out" "$@" spheres.par "$table" \
         >/dev/null 2>&1) || true
    t1=$EPOCHREALTIME
    cpu=$(tail -n 1 "$dir/cpu")
    [[ $dir == "$shm" ]] && rm -rf "$out"  # tmpfs: its memory back at once
    awk -v n="$frames" -v a="$t0" -v z="$t1" -v c="$cpu" \
        'BEGIN { split(c, u, " "); printf "%.1f %.1f", n / (z - a), n / (u[1] + u[2]) }'
}

# Frames per second of two -j 1 processes of BIN at once, each on the
# whole TABLE in DIR, as rate() gives them (both processes' frames, their
# processor time together).
pair() {
    local bin=$1 dir=$2 table=$3 t0 t1 cpu out1 out2
    out1=$(mktemp -d "$dir/out.XXXXXX")
    out2=$(mktemp -d "$dir/out.XXXXXX")
    t0=$EPOCHREALTIME
    (cd "$dir" && /usr/bin/time -f "%U %S" -o "$dir/cpu" bash -c \
        '"$1" -o "$2" -j 1 --formats d1d spheres.par "$4" & "$1" -o "$3" -j 1 --formats d1d spheres.par "$4"; wait' \
        pair "$bin/pelkaro-batch" "$out1" "$out2" "$table" >/dev/null 2>&1) || true
    t1=$EPOCHREALTIME
    cpu=$(tail -n 1 "$dir/cpu")
    rm -rf "$out1" "$out2"
    awk -v n="$frames" -v a="$t0" -v z="$t1" -v c="$cpu" \
        'BEGIN { split(c, u, " "); printf "%.1f %.1f", 2 * n / (z - a), 2 * n / (u[1] + u[2]) }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

make_series "$disk" 1500000 1500
make_series "$shm" 150000 150
echo "load at start: $(uptime)"
have_peer=1
"$python" "$here/pyfai_peer.py" csr "$disk/spheres.par" "$disk"/frames/s1.dat 10 >/dev/null 2>"$disk/peer.err" || {
    have_peer=0; echo "pyFAI peer skipped: $(head -n 1 "$disk/peer.err")"; }
declare -a P P1 N O A AO J1 J2 JJ
for r in $(seq 1 "$rounds"); do
    if ((have_peer)); then
        P+=("$("$python" "$here/pyfai_peer.py" csr "$disk/spheres.par" "$disk"/frames/s*.dat "$frames")")
        P1+=("$(OMP_NUM_THREADS=1 "$python" "$here/pyfai_peer.py" csr "$disk/spheres.par" "$disk"/frames/s*.dat "$frames")")
    fi
    N+=("$(rate "$build" "$disk" series.csv -j 2 --formats d1d)")
    [[ -n $old ]] && O+=("$(rate "$old" "$disk" series.csv -j 2 --formats d1d)")
    A+=("$(rate "$build" "$shm" series.csv -j 2)")
    [[ -n $old ]] && AO+=("$(rate "$old" "$shm" series.csv -j 2)")
    J1+=("$(rate "$build" "$shm" series.csv -j 1 --formats d1d)")
    J2+=("$(rate "$build" "$shm" series.csv -j 2 --formats d1d)")
    JJ+=("$(pair "$build" "$shm" series.csv)")
done
# Each figure is "WALL CPU": frames per second of wall time and per second
# of processor time (user and system, all threads).
med() { printf '%s\n' "$@" | awk '{ print $1 }' | median; }
medc() { printf '%s\n' "$@" | awk '{ print $2 }' | median; }
walls() { printf '%s\n' "$@" | awk '{ printf "%s%.0f", (NR > 1 ? " " : ""), $1 }'; }
# Each round's ratio to its own -j 1, taken a moment before: the host's
# speed drifts between rounds.
by_round() {  # ARRAY of "WALL CPU" against J1, round by round
    local -a r=("$@")
    for k in "${!r[@]}"; do ratio "${r[k]%% *}" "${J1[k]%% *}"; echo; done | paste -sd ' '
}
line() {  # LABEL ARRAY...: medians and the rounds' wall rates
    local label=$1; shift
    printf '   %-44s %9.1f %9.1f   [%s]\n' "$label" "$(med "$@")" "$(medc "$@")" "$(walls "$@")"
}
printf '%d frames, medians of %d rounds taken in turn: frames/s of wall time, of processor time, [each round]\n' \
    "$frames" "$rounds"
echo "1. -j 2 --formats d1d, files on disk, the example's counts"
if ((have_peer)); then
    line "pyFAI csr integrate1d (Poisson, from memory)" "${P[@]}"
    line "the same, one OpenMP thread" "${P1[@]}"
fi
line "pelkaro-batch" "${N[@]}"
[[ -n $old ]] && line "pelkaro-batch (old)" "${O[@]}"
if ((have_peer)); then
    printf '   pelkaro-batch / pyFAI: %s (wall), %s (processor); / pyFAI on one thread: %s, %s\n' \
        "$(ratio "$(med "${N[@]}")" "$(med "${P[@]}")")" "$(ratio "$(medc "${N[@]}")" "$(medc "${P[@]}")")" \
        "$(ratio "$(med "${N[@]}")" "$(med "${P1[@]}")")" "$(ratio "$(medc "${N[@]}")" "$(medc "${P1[@]}")")"
fi
[[ -n $old ]] && printf '   new / old: %s (wall), %s (processor)\n' "$(ratio "$(med "${N[@]}")" "$(med "${O[@]}")")" \
    "$(ratio "$(medc "${N[@]}")" "$(medc "${O[@]}")")"
echo "2. -j 2, every format (d1d, d2d, h5), tmpfs"
line "pelkaro-batch" "${A[@]}"
if [[ -n $old ]]; then
    line "pelkaro-batch (old)" "${AO[@]}"
    printf '   new / old: %s (wall), %s (processor)\n' "$(ratio "$(med "${A[@]}")" "$(med "${AO[@]}")")" \
        "$(ratio "$(medc "${A[@]}")" "$(medc "${AO[@]}")")"
fi
echo "3. --formats d1d, tmpfs, 150,000-monitor frames"
line "-j 1" "${J1[@]}"
line "-j 2" "${J2[@]}"
line "two -j 1 processes at once (both)" "${JJ[@]}"
printf '   -j 2 / -j 1: %s (wall), round by round [%s]\n' \
    "$(ratio "$(med "${J2[@]}")" "$(med "${J1[@]}")")" "$(by_round "${J2[@]}")"
printf '   the machine, two -j 1 at once / one: %s, round by round [%s]\n' \
    "$(ratio "$(med "${JJ[@]}")" "$(med "${J1[@]}")")" "$(by_round "${JJ[@]}")"
if [[ -x /usr/bin/time ]]; then
    echo "4. peak resident memory, -j 2, every format (KB)"
    for t in series10.csv series.csv; do
        out=$(mktemp -d "$shm/out.XXXXXX")
        kb=$(cd "$shm" && /usr/bin/time -f %M "$build/pelkaro-batch" -j 2 -o "$out" spheres.par "$t" 2>&1 >/dev/null | tail -n 1)
        rm -rf "$out"
        printf '   %-12s %8s\n' "$t" "$kb"
    done
fi
echo "load at end: $(uptime)"
