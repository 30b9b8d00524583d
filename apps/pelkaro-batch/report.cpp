// DIR/report.html: one self-contained page (no external resource: it works
// offline and from an archive) with the table of rows, an overlay of every
// curve on log-log axes as vector graphics (each curve picked out by its
// name), a thumbnail of each row's image and every warning.  The curves
// and images are read back from the rows' .d1d and .d2d files one at a
// time, so the memory does not grow with the rows; the page is written as
// it is made.
#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "batch.h"
#include "pelkaro/files.h"

namespace pk {

namespace {

std::string html(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

bool has_output(const RowResult& r, const std::string& ext) {
    return r.state == RowState::ok &&
           std::find(r.outputs.begin(), r.outputs.end(), r.name + ext) != r.outputs.end();
}

std::string output_path(const RowResult& r, const std::string& ext) { return r.dir + "/" + r.name + ext; }

// ---------------------------------------------------------------------------
// Curves.

struct Point {
    double q, i;
};

// The number at the start of [s, end) after blanks, as strtod reads a
// .d1d's fixed-point numbers (without the locale: faster); s is left after it.
bool number_at(const char*& s, const char* end, double& v) {
    while (s < end && (*s == ' ' || *s == '\t')) ++s;
    const std::from_chars_result r = std::from_chars(s, end, v);
    if (r.ec != std::errc()) return false;
    s = r.ptr;
    return true;
}

// The points of a .d1d with Q and I above 0 (the ones log axes show).
std::vector<Point> read_curve(const std::string& path) {
    std::vector<Point> pts;
    std::string text;
    if (!pk::read_file(path, text).ok()) return pts;
    const char* s = text.data();
    const char* const end = s + text.size();
    while (s < end) {
        const char* const nl = static_cast<const char*>(std::memchr(s, '\n', static_cast<std::size_t>(end - s)));
        const char* const le = nl ? nl : end;
        double q = 0, i = 0;
        if (number_at(s, le, q) && number_at(s, le, i) && q > 0 && i > 0 && std::isfinite(q) && std::isfinite(i))
            pts.push_back({q, i});
        s = le + 1;
    }
    return pts;
}

// A plot coordinate with one decimal, appended to `d`.
void put_coordinate(std::string& d, double v) {
    if (!(std::fabs(v) < 1e9)) {
        d += pk::format("%.1f", v);
        return;
    }
    const long long tenths = std::llround(v * 10);
    const unsigned long long a = static_cast<unsigned long long>(tenths < 0 ? -tenths : tenths);
    if (tenths < 0) d += '-';
    d += std::to_string(a / 10);
    d += '.';
    d += static_cast<char>('0' + a % 10);
}

// Work on the rows shared by `jobs` threads: fn(k, t) for every row k,
// t the thread (0 to jobs - 1).  A failure to allocate in a thread is
// raised again here.
template <class Fn>
void for_rows(std::size_t n, int jobs, const Fn& fn) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> out_of_memory{false};
    const auto work = [&](int t) {
        try {
            for (std::size_t k; (k = next++) < n;) fn(k, t);
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
            next = n;
        }
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < jobs && static_cast<std::size_t>(t) < n; ++t) pool.emplace_back(work, t);
    work(0);
    for (std::thread& th : pool) th.join();
    if (out_of_memory) throw std::bad_alloc();
}

// The texts of the rows made by `make` on `jobs` threads and given to
// `put` in the rows' order, a block of rows at a time (the memory of one
// block, whatever the number of rows).
template <class Make, class Put>
void rows_in_order(std::size_t n, int jobs, const Make& make, const Put& put) {
    constexpr std::size_t kBlock = 256;
    std::vector<std::string> block;
    for (std::size_t from = 0; from < n; from += kBlock) {
        block.assign(std::min(kBlock, n - from), std::string());
        for_rows(block.size(), jobs, [&](std::size_t k, int) { block[k] = make(from + k); });
        for (const std::string& text : block) put(text);
    }
}

struct Axes {
    double q0 = 1e300, q1 = -1e300, i0 = 1e300, i1 = -1e300;  // decades (log10)
    static constexpr double kW = 760, kH = 440, kLeft = 70, kTop = 20;
    bool empty() const { return q0 > q1; }
    double x(double q) const { return kLeft + (std::log10(q) - q0) / (q1 - q0) * kW; }
    double y(double i) const { return kTop + (i1 - std::log10(i)) / (i1 - i0) * kH; }
};

// The axes of every row's curve, each thread's rows into an axes of its
// own, then joined.  The curves are read again for their paths rather than
// kept: the memory stays that of a few curves, whatever the number of rows.
Axes axes_of(const std::vector<RowResult>& rows, int jobs) {
    std::vector<Axes> part(static_cast<std::size_t>(std::max(jobs, 1)));
    for_rows(rows.size(), jobs, [&](std::size_t k, int t) {
        if (!has_output(rows[k], ".d1d")) return;
        Axes& a = part[static_cast<std::size_t>(t)];
        for (const Point& p : read_curve(output_path(rows[k], ".d1d"))) {
            a.q0 = std::min(a.q0, std::floor(std::log10(p.q))), a.q1 = std::max(a.q1, std::ceil(std::log10(p.q)));
            a.i0 = std::min(a.i0, std::floor(std::log10(p.i))), a.i1 = std::max(a.i1, std::ceil(std::log10(p.i)));
        }
    });
    Axes a;
    for (const Axes& b : part)
        a.q0 = std::min(a.q0, b.q0), a.q1 = std::max(a.q1, b.q1), a.i0 = std::min(a.i0, b.i0),
        a.i1 = std::max(a.i1, b.i1);
    if (!a.empty() && a.q1 == a.q0) a.q1 += 1;
    if (!a.empty() && a.i1 == a.i0) a.i1 += 1;
    return a;
}

std::string axes_svg(const Axes& a) {
    std::string s = pk::format("<rect x=\"%g\" y=\"%g\" width=\"%g\" height=\"%g\" class=\"frame\"/>\n", Axes::kLeft,
                               Axes::kTop, Axes::kW, Axes::kH);
    for (double d = a.q0; d <= a.q1; ++d) {
        const double x = a.x(std::pow(10.0, d));
        s += pk::format("<line x1=\"%.1f\" y1=\"%g\" x2=\"%.1f\" y2=\"%g\" class=\"grid\"/><text x=\"%.1f\" y=\"%g\" "
                        "class=\"tick\" text-anchor=\"middle\">1e%d</text>\n",
                        x, Axes::kTop, x, Axes::kTop + Axes::kH, x, Axes::kTop + Axes::kH + 16, static_cast<int>(d));
    }
    for (double d = a.i0; d <= a.i1; ++d) {
        const double y = a.y(std::pow(10.0, d));
        s += pk::format("<line x1=\"%g\" y1=\"%.1f\" x2=\"%g\" y2=\"%.1f\" class=\"grid\"/><text x=\"%g\" y=\"%.1f\" "
                        "class=\"tick\" text-anchor=\"end\">1e%d</text>\n",
                        Axes::kLeft, y, Axes::kLeft + Axes::kW, y, Axes::kLeft - 6, y + 4, static_cast<int>(d));
    }
    s += pk::format("<text x=\"%g\" y=\"%g\" text-anchor=\"middle\">Q (1/\xc3\x85)</text>"
                    "<text x=\"16\" y=\"%g\" text-anchor=\"middle\" transform=\"rotate(-90 16 %g)\">I(Q)</text>\n",
                    Axes::kLeft + Axes::kW / 2, Axes::kTop + Axes::kH + 36, Axes::kTop + Axes::kH / 2,
                    Axes::kTop + Axes::kH / 2);
    return s;
}

std::string curve_svg(const Axes& a, const RowResult& r, std::size_t n, std::size_t count) {
    const std::vector<Point> pts = read_curve(output_path(r, ".d1d"));
    if (pts.empty()) return "";
    std::string d;
    for (std::size_t k = 0; k < pts.size(); ++k) {
        d += k == 0 ? "M" : " L";
        put_coordinate(d, a.x(pts[k].q));
        d += ' ';
        put_coordinate(d, a.y(pts[k].i));
    }
    const double hue = count > 1 ? 300.0 * static_cast<double>(n) / static_cast<double>(count - 1) : 0;
    return "<path class=\"curve\" data-name=\"" + html(r.name) + "\" stroke=\"hsl(" + pk::format("%.0f", hue) +
           ",70%,40%)\" d=\"" + d + "\"><title>" + html(r.name) + "</title></path>\n";
}

}  // namespace

namespace {

// ---------------------------------------------------------------------------
// Thumbnails: the image in 32 x 32 blocks of 4 x 4 pixels as an indexed
// PNG, on a logarithmic colour scale (a perceptually uniform map from dark
// blue through green to yellow); masked blocks grey, blocks whose mean is 0
// or negative black.

constexpr int kThumb = 32;
constexpr int kBlock = kDetSide / kThumb;
enum : uint8_t { kMasked = 0, kNonPositive = 1, kFirstLevel = 2 };
constexpr int kLevels = 64;  // colours of the scale: enough for a thumbnail, a small palette

// The colour map at t in [0, 1], a polynomial fit of the usual map.
void colour(double t, uint8_t rgb[3]) {
    static constexpr double c[7][3] = {{0.2777273272234177, 0.005407344544966578, 0.3340998053353061},
                                   {0.1050930431085774, 1.404613529898575, 1.384590162594685},
                                   {-0.3308618287255563, 0.214847559468213, 0.09509516302823659},
                                   {-4.634230498983486, -5.799100973351585, -19.33244095627987},
                                   {6.228269936347081, 14.17993336680509, 56.69055260068105},
                                   {4.776384997670288, -13.74514537774601, -65.35303263337234},
                                   {-5.435455855934631, 4.645852612178535, 26.3124352495832}};
    for (int k = 0; k < 3; ++k) {
        double v = c[6][k];
        for (int j = 5; j >= 0; --j) v = v * t + c[j][k];
        rgb[k] = static_cast<uint8_t>(std::lround(std::min(1.0, std::max(0.0, v)) * 255));
    }
}

// The intensities and uncertainties of a .d2d (two blocks of 128 rows).
bool read_image(const std::string& path, std::vector<double>& values) {
    std::string text;
    if (!pk::read_file(path, text).ok()) return false;
    values.clear();
    // Numbers wherever they start, "#" comments to the line end; without
    // the locale (a .d2d's fixed-point numbers).
    const char* s = text.data();
    const char* const end = s + text.size();
    while (s < end && values.size() < 2u * kDetPixels) {
        if (*s == '#') {
            const void* nl = std::memchr(s, '\n', static_cast<std::size_t>(end - s));
            s = nl ? static_cast<const char*>(nl) + 1 : end;
            continue;
        }
        double v = 0;
        const std::from_chars_result r = std::from_chars(s, end, v);
        if (r.ec != std::errc() || r.ptr == s) {
            ++s;
            continue;
        }
        values.push_back(v);
        s = r.ptr;
    }
    return values.size() == 2u * kDetPixels;
}

// Block levels of the image; false when the file cannot be read.
bool thumb_levels(const std::string& path, std::vector<uint8_t>& level) {
    std::vector<double> v;
    if (!read_image(path, v)) return false;
    std::vector<double> mean(kThumb * kThumb, 0.0);
    std::vector<int> used(kThumb * kThumb, 0);
    for (int k = 0; k < kDetPixels; ++k) {
        if (v[static_cast<std::size_t>(k)] == 0 && v[static_cast<std::size_t>(k + kDetPixels)] == 0) continue;
        const int b = (k / kDetSide / kBlock) * kThumb + (k % kDetSide) / kBlock;
        mean[static_cast<std::size_t>(b)] += v[static_cast<std::size_t>(k)];
        ++used[static_cast<std::size_t>(b)];
    }
    double lo = 1e300, hi = -1e300;
    for (int b = 0; b < kThumb * kThumb; ++b) {
        if (used[b] > 0) mean[b] /= used[b];
        if (used[b] > 0 && mean[b] > 0) lo = std::min(lo, std::log10(mean[b])), hi = std::max(hi, std::log10(mean[b]));
    }
    lo = std::max(lo, hi - 4);  // four decades below the brightest block
    level.assign(kThumb * kThumb, kMasked);
    for (int b = 0; b < kThumb * kThumb; ++b) {
        if (used[b] == 0) continue;
        if (!(mean[b] > 0)) {
            level[b] = kNonPositive;
            continue;
        }
        const double t = hi > lo ? (std::max(std::log10(mean[b]), lo) - lo) / (hi - lo) : 1.0;
        level[b] = static_cast<uint8_t>(kFirstLevel + std::lround(t * (kLevels - 1)));
    }
    return true;
}

uint32_t crc32(const std::string& s, std::size_t from) {
    uint32_t c = 0xffffffffu;
    for (std::size_t i = from; i < s.size(); ++i) {
        c ^= static_cast<uint8_t>(s[i]);
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
    }
    return c ^ 0xffffffffu;
}

void put32(std::string& s, uint32_t v) {
    for (int k = 3; k >= 0; --k) s += static_cast<char>(v >> (8 * k) & 0xffu);
}

void chunk(std::string& png, const char* type, const std::string& data) {
    put32(png, static_cast<uint32_t>(data.size()));
    const std::size_t from = png.size();
    png += type;
    png += data;
    put32(png, crc32(png, from));
}

// The levels as a PNG: a palette, and the rows stored without compression.
std::string png_of(const std::vector<uint8_t>& level) {
    std::string png("\x89PNG\r\n\x1a\n", 8), ihdr, plte, raw;
    put32(ihdr, kThumb), put32(ihdr, kThumb);
    ihdr += std::string("\x08\x03\x00\x00\x00", 5);  // 8-bit palette indices
    plte += std::string("\xc8\xc8\xc8\x00\x00\x00", 6);
    for (int i = 0; i < kLevels; ++i) {
        uint8_t rgb[3];
        colour(static_cast<double>(i) / (kLevels - 1), rgb);
        plte.append(reinterpret_cast<const char*>(rgb), 3);
    }
    for (int y = kThumb - 1; y >= 0; --y) {  // row 0 at the bottom, as the plots show it
        raw += '\0';
        raw.append(reinterpret_cast<const char*>(&level[static_cast<std::size_t>(y * kThumb)]), kThumb);
    }
    uint32_t a = 1, b = 0;
    for (char ch : raw) a = (a + static_cast<uint8_t>(ch)) % 65521, b = (b + a) % 65521;
    std::string z("\x78\x01\x01", 3);  // a zlib stream of one stored block
    z += static_cast<char>(raw.size() & 0xff), z += static_cast<char>(raw.size() >> 8);
    z += static_cast<char>(~raw.size() & 0xff), z += static_cast<char>((~raw.size() >> 8) & 0xff);
    z += raw;
    put32(z, (b << 16) | a);
    chunk(png, "IHDR", ihdr), chunk(png, "PLTE", plte), chunk(png, "IDAT", z), chunk(png, "IEND", "");
    return png;
}

std::string base64(const std::string& in) {
    static constexpr char k[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < in.size(); i += 3) {
        uint32_t v = static_cast<uint8_t>(in[i]) << 16;
        if (i + 1 < in.size()) v |= static_cast<uint8_t>(in[i + 1]) << 8;
        if (i + 2 < in.size()) v |= static_cast<uint8_t>(in[i + 2]);
        out += k[v >> 18 & 63], out += k[v >> 12 & 63];
        out += i + 1 < in.size() ? k[v >> 6 & 63] : '=';
        out += i + 2 < in.size() ? k[v & 63] : '=';
    }
    return out;
}

std::string thumbnail(const RowResult& r) {
    std::vector<uint8_t> level;
    if (!has_output(r, ".d2d") || !thumb_levels(output_path(r, ".d2d"), level)) return "";
    return "<img class=\"thumb\" alt=\"image of " + html(r.name) + "\" src=\"data:image/png;base64," +
           base64(png_of(level)) + "\">";
}

}  // namespace

namespace {

// ---------------------------------------------------------------------------
// The page.

const char* const kStyle =
    "<style>body{font-family:sans-serif;margin:1.5em;color:#222}table{border-collapse:collapse}"
    "td,th{border:1px solid #ccc;padding:2px 6px;text-align:left;vertical-align:middle}"
    "tr.refused td,tr.failed td{background:#fde2e2}tr.notdone td{background:#eee}"
    ".thumb{width:64px;height:64px;image-rendering:pixelated}svg{max-width:100%;height:auto}"
    ".frame{fill:none;stroke:#444}.grid{stroke:#ddd}.tick{font-size:11px}"
    ".curve{fill:none;stroke-width:1.2;opacity:.8}.curve.dim{opacity:.08}.curve.on{stroke-width:3;opacity:1}"
    "td.name{cursor:pointer;text-decoration:underline dotted}.warn{font-family:monospace;font-size:12px}"
    ".legend span{display:inline-block;width:12px;height:12px;margin:0 4px 0 12px;vertical-align:middle}"
    "</style>\n";

// Picks a curve out by its name (the menu or a click on a name in the table).
const char* const kScript =
    "<script>\n"
    "function pick(name){var cs=document.querySelectorAll('path.curve');for(var i=0;i<cs.length;i++){"
    "var c=cs[i];c.classList.toggle('on',name!==''&&c.dataset.name===name);"
    "c.classList.toggle('dim',name!==''&&c.dataset.name!==name);}"
    "document.getElementById('pick').value=name;}\n"
    "window.addEventListener('load',function(){var cs=document.querySelectorAll('path.curve');"
    "var sel=document.getElementById('pick');for(var i=0;i<cs.length;i++){var o=document.createElement('option');"
    "o.value=o.textContent=cs[i].dataset.name;sel.appendChild(o);}"
    "sel.addEventListener('change',function(){pick(sel.value);});"
    "var ns=document.querySelectorAll('td.name');for(var j=0;j<ns.length;j++){ns[j].addEventListener('click',"
    "function(){pick(this.textContent);});}"
    "document.body.setAttribute('data-ready',cs.length+' curves, '+"
    "document.querySelectorAll('tr.row').length+' rows');});\n"
    "</script>\n";

std::string row_html(const RowResult& r) {
    const char* cls = r.state == RowState::ok ? "ok" : r.state == RowState::refused ? "refused"
                      : r.state == RowState::failed ? "failed" : "notdone";
    const bool curve = r.state == RowState::ok && r.has_curve && r.points > 0;
    return pk::format("<tr class=\"row %s\" id=\"row-%d\"><td>%d</td><td class=\"name\">", cls, r.index, r.index) +
           html(r.name) + "</td><td>" + state_name(r.state) + "</td><td>" + std::to_string(r.warnings.size()) +
           "</td><td>" + (curve ? pk::format("%.6g", r.i_low_q) : std::string()) + "</td><td>" +
           (curve ? std::to_string(r.points) : std::string()) + "</td><td>" + thumbnail(r) + "</td><td>" +
           html(r.error) + "</td></tr>\n";
}

struct Page {
    std::FILE* f;
    bool ok = true;
    void put(const std::string& s) { ok = ok && std::fwrite(s.data(), 1, s.size(), f) == s.size(); }
};

void head(Page& pg, const std::vector<RowResult>& rows, const std::string& title) {
    int n_ok = 0, warned = 0;
    for (const RowResult& r : rows) n_ok += r.state == RowState::ok, warned += !r.warnings.empty();
    pg.put("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>pelkaro-batch: " + html(title) +
           "</title>\n" + kStyle + kScript + "</head><body>\n<h1>pelkaro-batch: " + html(title) + "</h1>\n<p>" +
           std::to_string(n_ok) + " of " + std::to_string(rows.size()) + " rows reduced; " +
           std::to_string(warned) + " with warnings.</p>\n");
}

void plot(Page& pg, const std::vector<RowResult>& rows, int jobs) {
    const Axes a = axes_of(rows, jobs);
    pg.put("<h2>Curves</h2>\n");
    if (a.empty()) {
        pg.put("<p>No curve to show.</p>\n");
        return;
    }
    pg.put("<p><label>Curve: <select id=\"pick\"><option value=\"\">all</option></select></label> "
           "(or click a name in the table)</p>\n<svg id=\"curves\" xmlns=\"http://www.w3.org/2000/svg\" "
           "viewBox=\"0 0 860 510\" width=\"860\" height=\"510\">\n" + axes_svg(a));
    // Each curve's colour by its place among the rows with a curve.
    std::vector<std::size_t> place(rows.size(), 0);
    std::size_t count = 0;
    for (std::size_t k = 0; k < rows.size(); ++k)
        if (has_output(rows[k], ".d1d")) place[k] = count++;
    rows_in_order(
        rows.size(), jobs,
        [&](std::size_t k) { return has_output(rows[k], ".d1d") ? curve_svg(a, rows[k], place[k], count) : ""; },
        [&pg](const std::string& svg) { pg.put(svg); });
    pg.put("</svg>\n");
}

void table(Page& pg, const std::vector<RowResult>& rows, int jobs) {
    pg.put("<h2>Rows</h2>\n<p class=\"legend\">Images: logarithmic scale over four decades"
           "<span style=\"background:#440154\"></span>low<span style=\"background:#fde725\"></span>high"
           "<span style=\"background:#000\"></span>0 or negative<span style=\"background:#c8c8c8\"></span>masked</p>\n"
           "<table id=\"rows\"><tr><th>row</th><th>name</th><th>status</th><th>warnings</th><th>I at lowest Q</th>"
           "<th>points</th><th>image</th><th>error</th></tr>\n");
    rows_in_order(
        rows.size(), jobs, [&rows](std::size_t k) { return row_html(rows[k]); },
        [&pg](const std::string& html_row) { pg.put(html_row); });
    pg.put("</table>\n<h2>Warnings</h2>\n");
    bool any = false;
    for (const RowResult& r : rows) {
        if (r.warnings.empty()) continue;
        any = true;
        pg.put("<h3>" + html(r.name) + "</h3>\n<ul>\n");
        for (const std::string& w : r.warnings) pg.put("<li class=\"warn\">" + html(w) + "</li>\n");
        pg.put("</ul>\n");
    }
    if (!any) pg.put("<p>None.</p>\n");
}

}  // namespace

bool write_report(const std::string& path, const std::vector<RowResult>& rows, const std::string& title,
                  int jobs, std::string& why) {
    pk::AtomicFile out;
    if (!pk::atomic_open(path, out)) {
        why = "cannot write " + path;
        return false;
    }
    Page pg{out.f};
    head(pg, rows, title);
    jobs = std::max(jobs, 1);
    try {
        plot(pg, rows, jobs);
        table(pg, rows, jobs);
    } catch (const std::bad_alloc&) {
        why = "out of memory writing " + path;
        pk::atomic_finish(out, false);
        return false;
    }
    pg.put("</body></html>\n");
    if (!pk::atomic_finish(out, pg.ok)) {
        why = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace pk
