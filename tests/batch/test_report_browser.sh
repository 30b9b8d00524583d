#!/usr/bin/env bash
# report.html in a real browser, headless Chromium.
#   small: a run of six rows (reduced, warned, refused, failed): the page
#          loads without a console message, its DOM holds everything
#          summary.csv holds and every value each row used, its links lead
#          to the rows' files, report.html#image-NAME opens that image;
#          then report_interact.py drives the page with the mouse (a click
#          on an image opens it large with its colour bar, sorting, hover,
#          zoom, toggles, a reload) and screenshots of the page and of the
#          image are not blank (kept in $PELKARO_SCREENSHOTS when that names
#          a directory).
#   large: a report of 1,000 rows opens with every curve and every row;
#          its size and opening time are printed (the time is measured
#          against its goal by bench/report_open.sh, not here).
# Usage: test_report_browser.sh PELKARO_BATCH SOURCE_DIR small|large
# Exit 77 (skipped) without chromium, unless CI=true.
set -euo pipefail
batch=$1
src=$2
mode=${3:-small}
here=$(cd "$(dirname "$0")" && pwd)
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
fail() { echo "FAIL: $*" >&2; exit 1; }
run_browser() {
    timeout 120 "$browser" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --user-data-dir="$(mktemp -d "$work/profile.XXXXXX")" "$@"
}
# The page's DOM after its script ran, into $1; the browser's console (with
# logging on, each console message is a line "...CONSOLE(LINE)] ...") into $1.log.
dump() {
    local out=$1
    shift
    run_browser --enable-logging=stderr --v=0 --dump-dom "$@" > "$out" 2> "$out.log"
    if grep -q 'CONSOLE' "$out.log"; then grep 'CONSOLE' "$out.log" >&2; fail "console messages on $*"; fi
    grep -q 'data-ready=' "$out" || fail "the page's script did not finish on $*"
}
not_blank() {
    python3 - "$1" <<'PY' || fail "the screenshot $1 is blank"
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
}

if [ "$mode" = large ]; then
    {
        echo "name,sample,time,monitor,thickness,transmission"
        for i in $(seq 1 1000); do echo "r$i,sphere_sample.dat,1500,1500000,0.$((i % 9 + 1)),0.899425"; done
    } > big.csv
    "$batch" -j 2 -o big --formats d1d,d2d spheres.par big.csv 2>/dev/null || fail "the 1,000 rows were not all reduced"
    dump big.html "file://$work/big/report.html"
    grep -q 'data-ready="1000 curves, 1000 rows"' big.html || fail "the page of 1,000 rows did not load them all"
    open_ms=$(sed -n 's/.*data-open-ms="\([0-9]*\)".*/\1/p' big.html)
    loaded_ms=$(sed -n 's/.*data-loaded-ms="\([0-9]*\)".*/\1/p' big.html)
    [ -n "$loaded_ms" ] || fail "the page of 1,000 rows did not finish loading"
    size=$(stat -c %s big/report.html)
    images=$(grep -o 'src="r[0-9]*[.]image[.]png"' big.html | sort -u | wc -l)
    [ "$images" -ge 100 ] || fail "the first page of 1,000 rows shows $images images, not 100"
    echo "report.html of 1,000 rows: $size bytes; from navigation: script done in $open_ms ms, loaded" \
         "(images shown included) in $loaded_ms ms"
    exit 0
fi

head -n 129 sphere_sample.dat > short.dat  # 16000 values: the check warns
cat > t.csv <<'CSV'
name,sample,time,monitor,thickness,transmission,title
thin,sphere_sample.dat,1500,1500000,0.1,0.899425,"Spheres <thin> & ""dilute"""
thick,sphere_sample.dat,1500,1500000,0.2,0.899425,
short,short.dat,1500,1500000,0.1,0.899425,
summed,sphere_sample.dat;sphere_sample.dat,1500,1500000,0.1,0.899425,
odd,sphere_sample.dat,1500,1500000,0.1,1.5,
broken,sphere_sample.dat,1500,1500000,-1,0.9,
CSV
status=0
"$batch" -j 2 -o out --formats d1d,d2d spheres.par t.csv 2>/dev/null || status=$?
[ "$status" -eq 1 ] || fail "pelkaro-batch exited with $status, not 1"

dump dom.html "file://$work/out/report.html"
# A pelkaro-batch built without dygraphs or libpng makes a page without
# curves or images: skipped, except under CI, which installs both.
if grep -q 'built without libpng\|The interactive curves need dygraphs' dom.html; then
    if [ "${CI:-}" = true ]; then fail "pelkaro-batch was built without dygraphs or libpng"; fi
    echo "pelkaro-batch was built without dygraphs or libpng: skipped"
    exit 77
fi
grep -q 'data-ready="4 curves, 6 rows"' dom.html || fail "the page did not load its curves and rows"
grep -Eq '(src|href)="(https?:)?//' dom.html && fail "the page loads an external resource"
grep -q 'class="dygraph-' dom.html || fail "dygraphs drew no chart"
python3 - dom.html out/summary.csv out "$("$batch" --version)" <<'PY' || fail "the DOM does not hold what summary.csv holds"
import csv, html.parser, os, sys
dom_file, summary, out, version = sys.argv[1:5]

class Rows(html.parser.HTMLParser):
    """Each table row's cells (text, links, classes), the warnings, the configuration."""
    def __init__(self):
        super().__init__()
        self.rows, self.warnings, self.config, self.row, self.cell, self.where = {}, [], [], None, None, []
    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "tr" and "row" in a.get("class", "").split():
            self.row = {"class": a["class"].split(), "cells": [], "curve": a.get("data-curve", "")}
            self.rows[a["data-name"]] = self.row
        elif tag == "td" and self.row is not None:
            self.cell = {"text": "", "links": [], "anchors": [], "imgs": []}
            self.row["cells"].append(self.cell)
        elif tag == "a" and self.cell is not None:
            self.cell["links"].append(a["href"])
            self.cell["anchors"].append(a)
        elif tag == "img" and self.cell is not None:
            self.cell["imgs"].append(a)
        elif tag == "li" and a.get("class") == "warn":
            self.warnings.append("")
            self.where.append("li")
        elif tag == "table" and a.get("id") == "config":
            self.where.append("config")
    def handle_endtag(self, tag):
        if tag == "td": self.cell = None
        if tag == "tr": self.row = None
        if tag in ("li", "table") and self.where and self.where[-1] in ("li", "config"):
            if tag == "li" or self.where[-1] == "config": self.where.pop()
    def handle_data(self, data):
        if self.cell is not None: self.cell["text"] += data
        if self.where and self.where[-1] == "li": self.warnings[-1] += data
        elif self.where and self.where[-1] == "config": self.config.append(data)

p = Rows()
p.feed(open(dom_file, encoding="utf-8").read())
lines = list(csv.DictReader(open(summary, encoding="utf-8")))
assert len(lines) == len(p.rows) == 6, (len(lines), len(p.rows))
cols = ["row", "plot", "name", "status", "warnings", "sample", "time", "monitor", "thickness", "transmission",
        "buffer", "buffer_time", "buffer_monitor", "buffer_thickness", "buffer_transmission", "title",
        "sample_beam", "buffer_beam", "i_lowest_q", "points", "image", "files", "error"]
for line in lines:
    r = p.rows[line["name"]]
    c = {k: r["cells"][n] for n, k in enumerate(cols)}
    t = {k: v["text"].strip() for k, v in c.items()}
    assert t["row"] == line["row"] and t["status"] == line["status"], line
    assert t["warnings"].split()[-1] == line["warnings"], (t["warnings"], line)
    assert ("warned" in r["class"]) == (line["warnings"] != "0"), line
    assert t["error"] == line["error"], (t["error"], line["error"])
    assert t["points"] == line["points"], line
    if line["i_lowest_q"]:
        assert abs(float(t["i_lowest_q"]) / float(line["i_lowest_q"]) - 1) < 1e-5, line
        assert len(r["curve"].split()) == 3 * int(line["points"]), line["name"]
    assert c["files"]["links"] == line["outputs"].split(), (c["files"]["links"], line["outputs"])
    for href in c["files"]["links"]:
        assert os.path.isfile(os.path.join(out, href)), href
    for w in filter(None, line["warning_text"].split("\\n")):
        assert w in p.warnings, w
    if line["status"] == "ok" and line["name"] != "broken":
        link = c["image"]["anchors"][0]
        assert os.path.isfile(os.path.join(out, link["href"])) and "data-lo" in link, link
        assert c["image"]["imgs"][0]["src"] == link["href"], c["image"]
    if line["status"] != "broken":
        assert t["time"] == "1500" and t["monitor"] == "1500000", t
        assert t["buffer"] == "solvent_buffer.dat" and t["buffer_time"] == "1125", t
rows = {n: {k: r["cells"][i]["text"] for i, k in enumerate(cols)} for n, r in p.rows.items()}
assert rows["thin"]["title"] == 'Spheres <thin> & "dilute"', rows["thin"]["title"]
assert rows["summed"]["sample"] == "sphere_sample.dat;sphere_sample.dat", rows["summed"]["sample"]
assert rows["thick"]["thickness"] == "0.2" and rows["thin"]["transmission"] == "0.899425"
assert rows["odd"]["transmission"] == "1.5"
config = " ".join(p.config)
for want in ("SM2D", "5000", "WAVE", "6 0.1", "ABSF", "16.99243", "detector.mask", "solvent_buffer.dat",
             version, "UTC"):
    assert want in config, want
PY

# A click on an image opens it large: report.html#image-NAME clicks the
# row's image once the page is ready.
dump viewer.html "file://$work/out/report.html#image-thick"
grep -q '<div id="viewer">' viewer.html || fail "the click did not open the image viewer"
grep -q '<img id="vimg" alt="" width="512" height="512" src="thick.image.png">' viewer.html ||
    fail "the viewer does not show thick's image"
grep -Eq '<span id="vhi">[0-9.]+e[-+][0-9]+</span>' viewer.html || fail "the colour bar has no top value"
grep -q '<div id="viewer" hidden' dom.html || fail "the viewer is open before any click"

# Mouse clicks, sorting, the pointer over the chart, zoom, toggles and a
# reload, through the DevTools protocol; the screenshots it takes.
shots=${PELKARO_SCREENSHOTS:-$work}
timeout 300 python3 "$here/report_interact.py" "$browser" out/report.html "$shots" ||
    fail "the page does not answer the mouse as it should"
not_blank "$shots/report.png"
not_blank "$shots/report-image.png"
echo "report.html: the DOM holds summary.csv and each row's values, a click opens the image, screenshots not blank"
