#!/usr/bin/env python3
"""report.html driven in headless Chromium as a user would, through the
DevTools protocol over a pipe (--remote-debugging-pipe; the standard
library only): no console message or uncaught error; a mouse click on a
thumbnail opens the row's image large (loaded, 128 x 128 pixels) and the
close button shuts it; a click on a heading sorts the rows; the pointer
over the chart names a row and reads Q and I +- dI; a drag zooms; a
toggle and a tick redraw; the page reloaded keeps its toggles and zoom.
Screenshots of the page, of the open image and of the zoomed chart under
the pointer into DIR.

Usage: report_interact.py CHROMIUM REPORT_HTML SCREENSHOT_DIR
"""
import base64
import json
import os
import subprocess
import sys
import tempfile
import time


class Browser:
    """One headless Chromium, its page driven by protocol commands."""

    def __init__(self, exe):
        to_chrome_r, self.to_chrome = os.pipe()
        self.from_chrome, from_chrome_w = os.pipe()

        def descriptors():  # the pipe Chromium reads on 3 and writes on 4
            a, b = os.dup(to_chrome_r), os.dup(from_chrome_w)
            while a <= 4 or b <= 4:
                a, b = os.dup(a), os.dup(b)
            os.dup2(a, 3)
            os.dup2(b, 4)

        self.proc = subprocess.Popen(
            [exe, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--user-data-dir=" + tempfile.mkdtemp(), "--remote-debugging-pipe", "--window-size=1300,1000",
             "about:blank"],
            preexec_fn=descriptors, close_fds=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_chrome_r)
        os.close(from_chrome_w)
        self.count, self.pending, self.events, self.session = 0, b"", [], None

    def _message(self):
        while b"\0" not in self.pending:
            chunk = os.read(self.from_chrome, 1 << 16)
            if not chunk:
                raise RuntimeError("the browser closed its pipe")
            self.pending += chunk
        text, self.pending = self.pending.split(b"\0", 1)
        return json.loads(text)

    def send(self, method, params=None, session=True):
        self.count += 1
        msg = {"id": self.count, "method": method, "params": params or {}}
        if session and self.session:
            msg["sessionId"] = self.session
        os.write(self.to_chrome, json.dumps(msg).encode() + b"\0")
        while True:
            reply = self._message()
            if reply.get("id") == self.count:
                if "error" in reply:
                    raise RuntimeError(method + ": " + str(reply["error"]))
                return reply["result"]
            self.events.append(reply)

    def event(self, name, timeout=60):
        end = time.time() + timeout
        while time.time() < end:
            for i, e in enumerate(self.events):
                if e.get("method") == name:
                    return self.events.pop(i)
            self.events.append(self._message())
        raise RuntimeError("no " + name)

    def js(self, expression):
        r = self.send("Runtime.evaluate", {"expression": expression, "returnByValue": True, "awaitPromise": True})
        if "exceptionDetails" in r:
            raise RuntimeError(expression + ": " + str(r["exceptionDetails"]))
        return r["result"].get("value")

    def mouse(self, kind, x, y, buttons=0, button="none"):
        self.send("Input.dispatchMouseEvent", {"type": kind, "x": x, "y": y, "button": button,
                                               "buttons": buttons, "clickCount": 1})

    def click(self, selector):
        """A mouse click at the middle of the element, scrolled into view."""
        x, y = self.js("(function(){var e=document.querySelector(%s);e.scrollIntoView({block:'center'});"
                       "var r=e.getBoundingClientRect();return [r.x+r.width/2,r.y+r.height/2];})()"
                       % json.dumps(selector))
        self.mouse("mouseMoved", x, y)
        self.mouse("mousePressed", x, y, 1, "left")
        self.mouse("mouseReleased", x, y, 0, "left")

    def load(self, url=None):
        """The page loaded anew and its script finished."""
        self.js("window.pkOld = true")
        self.send("Page.reload" if url is None else "Page.navigate", {} if url is None else {"url": url})
        for _ in range(600):
            try:
                if self.js("window.pkOld === undefined && document.body !== null && "
                           "document.body.dataset.ready !== undefined"):
                    return
            except RuntimeError:  # the old page went while being asked
                pass
            time.sleep(0.05)
        raise RuntimeError("the page did not load")

    def screenshot(self, path):
        with open(path, "wb") as f:
            f.write(base64.b64decode(self.send("Page.captureScreenshot")["data"]))


def complaints(browser):
    """The console messages, uncaught errors and log errors seen so far."""
    out = []
    for e in browser.events:
        m, p = e.get("method"), e.get("params", {})
        if m == "Runtime.consoleAPICalled":
            out.append("console." + p["type"] + ": " + " ".join(str(a.get("value")) for a in p["args"]))
        elif m == "Runtime.exceptionThrown":
            out.append("uncaught: " + p["exceptionDetails"].get("text", "") + " " +
                       str(p["exceptionDetails"].get("exception", {}).get("description", "")))
        elif m == "Log.entryAdded" and p["entry"]["level"] in ("error", "warning"):
            out.append("log: " + p["entry"]["text"])
    return out


def check(what, ok):
    if not ok:
        raise SystemExit("FAIL: " + what)


def main():
    exe, report, shots = sys.argv[1:4]
    b = Browser(exe)
    target = [t for t in b.send("Target.getTargets", session=False)["targetInfos"] if t["type"] == "page"][0]
    b.session = b.send("Target.attachToTarget", {"targetId": target["targetId"], "flatten": True},
                       session=False)["sessionId"]
    for domain in ("Page", "Runtime", "Log"):
        b.send(domain + ".enable")
    b.load("file://" + os.path.abspath(report))
    check("the page's script finished", b.js("document.body.dataset.ready") == "4 curves, 6 rows")
    b.screenshot(os.path.join(shots, "report.png"))

    b.click('tr[data-name="thick"] a.thumb')
    b.js("new Promise(function(ok){var i=document.getElementById('vimg');"
         "if(i.complete)ok();else i.onload=i.onerror=function(){ok();};})")
    check("a click on the thumbnail opens the viewer", b.js("document.getElementById('viewer').hidden") is False)
    check("the viewer shows thick's image, loaded",
          b.js("[document.getElementById('vimg').getAttribute('src'),document.getElementById('vimg').naturalWidth]")
          == ["thick.image.png", 128])
    check("the colour bar has its ends", b.js("document.getElementById('vlo').textContent !== '' && "
                                              "document.getElementById('vhi').textContent !== ''"))
    b.screenshot(os.path.join(shots, "report-image.png"))
    b.click("#vclose")
    check("the close button shuts the viewer", b.js("document.getElementById('viewer').hidden") is True)

    b.click("#rows thead th:nth-child(9)")  # thickness (cm)
    thick = b.js("Array.from(document.querySelectorAll('#rows tbody tr.row td:nth-child(9)')).map(function(t)"
                 "{return parseFloat(t.textContent);})")
    check("thicknesses ascending after a click: %s" % thick, thick == sorted(thick))
    b.click("#rows thead th:nth-child(9)")
    thick = b.js("Array.from(document.querySelectorAll('#rows tbody tr.row td:nth-child(9)')).map(function(t)"
                 "{return parseFloat(t.textContent);})")
    check("descending after a second click: %s" % thick, thick == sorted(thick, reverse=True))

    box = b.js("(function(){var c=document.querySelector('#chart canvas');c.scrollIntoView({block:'center'});"
               "var r=c.getBoundingClientRect();return [r.x,r.y,r.width,r.height];})()")
    x, y = box[0] + box[2] * 0.3, box[1] + box[3] * 0.3
    for k in range(5):
        b.mouse("mouseMoved", x + k, y + k)
    legend = b.js("document.getElementById('legend').textContent")
    check("the legend under the pointer names a row and reads Q, I +- dI: " + legend,
          "Q = " in legend and "\u00b1" in legend and "cm\u207b\u00b9" in legend and
          any(n in legend for n in ("thin", "thick", "short", "summed")))
    check("the row under the pointer is marked in the table", b.js("document.querySelectorAll('tr.hover').length") == 1)
    b.mouse("mousePressed", box[0] + box[2] * 0.3, y, 1, "left")
    for k in range(1, 11):
        b.mouse("mouseMoved", box[0] + box[2] * (0.3 + 0.03 * k), y, 1)
    b.mouse("mouseReleased", box[0] + box[2] * 0.6, y, 0, "left")
    key = "'pelkaro-report:'+location.pathname"
    zoom = b.js("JSON.parse(sessionStorage.getItem(%s)).zoom" % key)
    check("a drag zooms in: %s" % zoom, zoom is not None and zoom["x"][0] < zoom["x"][1])

    b.mouse("mouseMoved", box[0] + box[2] * 0.5, y)
    b.screenshot(os.path.join(shots, "report-zoomed.png"))
    b.mouse("mouseMoved", 1, 1)  # off the chart: its legend settles
    b.click("#logy")
    check("the log I toggle is off", b.js("document.getElementById('logy').checked") is False)
    b.click('tr[data-name="thin"] .pick')
    check("thin's curve is gone", "thin" not in b.js("document.getElementById('legend').textContent"))
    b.load()
    check("the reloaded page keeps the linear I axis",
          b.js("document.getElementById('logy').checked") is False)
    check("the reloaded page keeps the zoom", b.js("JSON.parse(sessionStorage.getItem(%s)).zoom" % key) == zoom)
    check("the reloaded page keeps the ticks",
          b.js("document.querySelector('tr[data-name=\"thin\"] .pick').checked") is False)
    problems = complaints(b)
    check("no console message: %s" % problems, not problems)
    b.proc.kill()
    print("report.html: clicks, sorting, hover, zoom, toggles and reload work, no console message")


if __name__ == "__main__":
    main()
