#!/usr/bin/env bash
# pelkaro-batch --follow while a writer drops the files in over time:
#   1. by size and time (--settle 3): a sample file written in two halves
#      0.5 s apart, the table's last row still being written when the
#      program starts and a row appended in two pieces are never read early
#      (what is there of a row reads as a row, with another transmission); the summary and the report are rewritten as rows finish, the
#      page reloading itself until every row is done; the outputs are those
#      of a run on the complete files, byte for byte; exit status 0.
#   2. by FILE.done markers (--done-markers): a file that pauses 2.5 s half
#      written is read only after its marker.
#   3. Ctrl-C (SIGINT) while rows wait for a file that never comes and for a
#      FIFO: the finished rows are kept, the others are not done; exit
#      status 1.
# Usage: test_follow.sh PELKARO_BATCH SOURCE_DIR
set -euo pipefail
set -m  # the program runs in a process group of its own, with SIGINT not ignored
batch=$1
src=$2
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
cp "$src"/examples/*.dat "$src"/examples/detector.mask "$src"/examples/spheres.par "$work"/
cd "$work"
fail() { echo "FAIL: $*" >&2; [ -f follow.log ] && cat follow.log >&2; exit 1; }
half=$(( $(stat -c %s sphere_sample.dat) / 2 ))
# Writes sphere_sample.dat to $1 in two halves, $2 seconds apart.
write_in_halves() {
    head -c "$half" sphere_sample.dat > "$1"
    sleep "$2"
    tail -c +"$((half + 1))" sphere_sample.dat >> "$1"
}
# Waits until the file $1 holds the text $2 (60 s at most).
wait_for() {
    for _ in $(seq 600); do grep -qF -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
    fail "$1 never held '$2'"
}
finish() {  # waits for the program; its exit status must be $1
    local status=0
    for _ in $(seq 600); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    wait "$pid" || status=$?
    pid=
    [ "$status" -eq "$1" ] || fail "exit status $status, not $1"
}
head_line="name,sample,time,monitor,thickness,transmission"

# 1. Size and time.
# The table's last row is still being written: what is there reads as a
# whole row, with the transmission 0.8 of 0.899425.
printf '%s\na,a.dat,1500,1500000,0.1,0.899425\nb,b.dat,1500,1500000,0.2,0.899425\nc,c.dat,1500,1500000,0.1,0.8' \
    "$head_line" > t.csv
"$batch" --follow --settle 3 -j 2 -o out --formats d1d,d2d spheres.par t.csv 2> follow.log &
pid=$!
write_in_halves a.dat 0.5
cp sphere_sample.dat c.dat
printf '99425\n' >> t.csv
wait_for out/summary.csv "0,a,ok,"
grep -qF "1,b,not done," out/summary.csv || fail "the waiting row is not in the summary as not done"
wait_for out/report.html '<meta http-equiv="refresh"'
wait_for out/summary.csv "2,c,ok,"
printf 'd,d.dat,1500,1500000,0.2,0.8' >> t.csv  # a row appended, still being written
sleep 0.5
printf '99425\n' >> t.csv
cp sphere_sample.dat d.dat
wait_for out/summary.csv "3,d,ok,"
write_in_halves b.dat 0.5
finish 0
grep -q "error" follow.log && fail "errors while following"
[ "$(grep -c ',ok,' out/summary.csv)" -eq 4 ] || fail "not every row is ok"
grep -q 'http-equiv="refresh"' out/report.html && fail "the finished report still reloads itself"
grep -q '<td class="name">d</td>' out/report.html || fail "the appended row is not in the report"
"$batch" -j 2 -o ref --formats d1d,d2d spheres.par t.csv 2>/dev/null || fail "the run on the complete files failed"
for f in a.d1d a.d2d b.d1d b.d2d c.d1d c.d2d d.d1d d.d2d; do cmp -s "out/$f" "ref/$f" || fail "out/$f differs from ref/$f"; done

# 2. Markers: the file pauses for longer than any settling time, half written.
printf '%s\nm,m.dat,1500,1500000,0.1,0.899425\n' "$head_line" > m.csv
"$batch" --follow --done-markers -o mout --formats d1d spheres.par m.csv 2> follow.log &
pid=$!
write_in_halves m.dat 2.5
[ -e mout/m.d1d ] && fail "m.dat was read before its marker"
touch m.dat.done
finish 0
cmp -s mout/m.d1d ref/a.d1d || fail "m.d1d differs from a run on the complete file"

# 3. Ctrl-C: the finished row kept, the waiting ones not done.  A FIFO is
# no complete file: never opened, it cannot hang the program.
mkfifo fifo.dat
printf '%s\nx,sphere_sample.dat,1500,1500000,0.1,0.899425\ny,never.dat,1500,1500000,0.1,0.899425\n' \
    "$head_line" > s.csv
printf 'z,fifo.dat,1500,1500000,0.1,0.899425\n' >> s.csv
"$batch" --follow --settle 0.5 -o sout --formats d1d spheres.par s.csv 2> follow.log &
pid=$!
wait_for sout/summary.csv "0,x,ok,"
kill -INT "$pid"
finish 1
grep -qF "1,y,not done," sout/summary.csv || fail "the waiting row is not kept as not done"
grep -qF "2,z,not done," sout/summary.csv || fail "the row of the FIFO is not kept as not done"
grep -qF "0,x,ok," sout/summary.csv || fail "the finished row was not kept"
grep -qF "pelkaro-batch: stopped; not done: y z" follow.log || fail "the stop is not reported"
echo "--follow: no file read early, rows appended, summary and report rewritten, Ctrl-C keeps finished rows"
