#!/usr/bin/env bash
# report.html in a real browser: headless Chromium loads the page of a small
# run (three rows reduced, one failed), the DOM after load holds every row,
# the curves and the thumbnails, and a screenshot of it is not blank.
# Usage: test_report_browser.sh PELKARO_BATCH SOURCE_DIR
# Exit 77 (skipped) without chromium, unless CI=true.
set -euo pipefail
batch=$1
src=$2
browser=$(command -v chromium || command -v chromium-browser || true)
if [ -z "$browser" ]; then
    if [ "${CI:-}" = true ]; then echo "chromium is missing" >&2; exit 1; fi
    echo "chromium is missing: skipped"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$src"/examples/*.dat "$src"/examples/detector.mask "$src"/examples/spheres.par "$work"/
cd "$work"
cat > t.csv <<'CSV'
name,sample,time,monitor,thickness,transmission
thin,sphere_sample.dat,1500,1500000,0.1,0.899425
thick,sphere_sample.dat,1500,1500000,0.2,0.899425
odd,sphere_sample.dat,1500,1500000,0.1,1.5
broken,sphere_sample.dat,1500,1500000,-1,0.9
CSV
status=0
"$batch" -j 2 -o out --formats d1d,d2d spheres.par t.csv 2>/dev/null || status=$?
[ "$status" -eq 1 ] || { echo "pelkaro-batch exited with $status, not 1" >&2; exit 1; }

run_browser() {
    timeout 120 "$browser" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --user-data-dir="$(mktemp -d "$work/profile.XXXXXX")" "$@" 2>/dev/null
}
run_browser --dump-dom "file://$work/out/report.html" > dom.html
fail() { echo "FAIL: $*" >&2; exit 1; }
grep -q 'data-ready="2 curves, 4 rows"' dom.html || fail "the page did not load its curves and rows"
for name in thin thick odd broken; do
    grep -q "<td class=\"name\">$name</td>" dom.html || fail "row $name missing from the DOM"
done
grep -q '<option value="thick">thick</option>' dom.html || fail "the curve menu was not filled"
[ "$(grep -o 'class="thumb"' dom.html | wc -l)" -eq 2 ] || fail "not one thumbnail per reduced row"
grep -q 't.csv:4: error: column transmission: the transmission 1.5 lies outside' dom.html || fail "the refusal is not shown"
grep -Eq 'src="(https?:)?//' dom.html && fail "the page loads an external resource"

run_browser --window-size=1000,1400 --screenshot="$work/shot.png" "file://$work/out/report.html" >/dev/null
[ -s shot.png ] || fail "no screenshot"
python3 - "$work/shot.png" <<'PY' || fail "the screenshot is blank"
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
pos, idat, width, height, bpp = 8, b"", 0, 0, 4
while pos < len(data):
    n, kind = struct.unpack(">I4s", data[pos:pos + 8])
    body = data[pos + 8:pos + 8 + n]
    if kind == b"IHDR":
        width, height = struct.unpack(">II", body[:8])
        bpp = {2: 3, 6: 4}.get(body[9], 4)
    if kind == b"IDAT":
        idat += body
    pos += 12 + n
raw = zlib.decompress(idat)
stride = width * bpp + 1
colours = set()
for y in range(0, height, 7):
    row = raw[y * stride + 1:(y + 1) * stride]
    for x in range(0, width * bpp, bpp * 5):
        colours.add(row[x:x + 3])
sys.exit(0 if len(colours) > 20 else 1)
PY
echo "report.html: rows, curves and thumbnails in the DOM, screenshot not blank"
