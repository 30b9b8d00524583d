// DIR/report.html: one self-contained page (its script, style and the
// charting library inline: it works offline and from an archive) with the
// configuration the rows share, the curves of the rows picked in the table
// drawn by dygraphs (error bars, logarithmic or linear axes, zoom, the row
// and its Q, I and dI under the pointer), the table of rows with every value
// each row used (sortable, warned rows marked, links to each row's files),
// each row's image (written beside its .d2d as NAME.image.png, shown large
// with its colour bar on a click) and every warning.  The rows' values are
// read back from their files one row at a time on `jobs` threads, so the
// memory does not grow with the rows; the page is written as it is made.
#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "batch.h"
#include "pelkaro/files.h"
#include "report.h"
#include "report_assets.h"

#ifndef PELKARO_VERSION
#define PELKARO_VERSION "unknown"
#endif

namespace pk {

const char* const kUsedColumns[13] = {"sample",         "time",           "monitor",          "thickness",
                                      "transmission",   "buffer",         "buffer_time",      "buffer_monitor",
                                      "buffer_thickness", "buffer_transmission", "title",     "sample_beam",
                                      "buffer_beam"};

namespace {

// The words of a line (separated by blanks, tabs and carriage returns),
// into `w` (cleared first).
void words_of(std::string_view line, std::vector<std::string_view>& w) {
    w.clear();
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t from = line.find_first_not_of(" \t\r", at);
        if (from == std::string_view::npos) break;
        const std::size_t to = std::min(line.find_first_of(" \t\r", from), line.size());
        w.push_back(line.substr(from, to - from));
        at = to;
    }
}

// A sample (first = 0) or buffer (first = 5) line's values into the
// columns; the files of several lines joined by ";".
void used_line(const std::vector<std::string_view>& w, std::size_t first, RowUsed& u) {
    if (w.size() < 2) return;
    std::string& files = u.columns[first];
    if (!files.empty()) files += ';';
    files += w[1];
    for (std::size_t k = 2; k < w.size() && k < 6; ++k)
        if (u.columns[first + k - 1].empty()) u.columns[first + k - 1] = w[k];
}

bool starts_with(std::string_view s, std::string_view head) { return s.substr(0, head.size()) == head; }

}  // namespace

namespace {

// Whether a line's first word (after blanks, tabs and carriage returns) is
// a sample or buffer keyword: the only lines whose words a row's columns
// need.
bool data_line(std::string_view line) {
    const std::size_t from = line.find_first_not_of(" \t\r");
    if (from == std::string_view::npos || line.size() - from < 4) return false;
    const std::string_view head = line.substr(from, 4);
    return head == "DATS" || head == "DATB";
}

}  // namespace

RowUsed row_used(const std::string& par_text, bool with_configuration) {
    RowUsed u;
    u.columns.assign(std::size(kUsedColumns), std::string());
    const std::string row_comment = std::string("# ") + kBatchProgram + ": row ";
    const std::string_view text(par_text);
    std::vector<std::string_view> w;
    bool own = false;  // past the row's comment: its own lines
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = text.substr(at, end - at);
        at = end + 1;
        if (starts_with(line, row_comment)) {
            own = true;
            u.origin = line.substr(2);
            continue;
        }
        if (starts_with(line, "# title: ")) {
            u.columns[10] = line.substr(9);
            continue;
        }
        if (starts_with(line, "# sample_beam: ") || starts_with(line, "# buffer_beam: ")) {
            u.columns[line[2] == 's' ? 11 : 12] = line.substr(15);
            continue;
        }
        if (!with_configuration && !data_line(line)) continue;
        words_of(line, w);
        if (w.empty() || w[0][0] == '#') continue;
        const bool shared = !own && with_configuration;
        if (w[0] == "DATS") {
            used_line(w, 0, u);
        } else if (w[0] == "DATB") {
            used_line(w, 5, u);
            if (shared) u.configuration.emplace_back(line);
        } else if (shared) {
            u.configuration.emplace_back(line);
        }
    }
    return u;
}

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

// The row's output with extension `ext` as the page links it (relative to
// the page's directory); empty when the row has none.
std::string output_link(const RowResult& r, const std::string& ext) {
    if (r.state != RowState::ok) return "";
    const std::string own = r.name + ext;
    for (const std::string& o : r.outputs)
        if (o == own || (o.size() > own.size() && o.compare(o.size() - own.size(), own.size(), own) == 0 &&
                         o[o.size() - own.size() - 1] == '/'))
            return o;
    return "";
}

std::string output_path(const RowResult& r, const std::string& ext) { return r.dir + "/" + r.name + ext; }

// The finite number at the start of [s, end) after blanks, as strtod reads
// a .d1d's fixed-point numbers (without the locale: faster), its text and
// whether it is above 0; s is left after it.  False where there is no
// number there or it is not finite.  A plain decimal number ("-", digits,
// a point and digits, as the .d1d writes them) is judged from its text.
bool number_at(const char*& s, const char* end, std::string_view& text, bool& positive) {
    while (s < end && (*s == ' ' || *s == '\t')) ++s;
    const char* p = s + (s < end && *s == '-');
    const char* const digits = p;
    bool nonzero = false, point = false;
    for (; p < end && p - s <= 30; ++p) {
        if (*p >= '0' && *p <= '9') nonzero = nonzero || *p != '0';
        else if (*p == '.' && !point) point = true;
        else break;
    }
    const bool plain = p > digits && *digits != '.' && p[-1] != '.' && p - s <= 30 &&
                       (p == end || (*p != 'e' && *p != 'E' && *p != '.' && !(*p >= '0' && *p <= '9')));
    if (plain) {
        text = std::string_view(s, static_cast<std::size_t>(p - s));
        positive = *s != '-' && nonzero;
        s = p;
        return true;
    }
    double v = 0;
    const std::from_chars_result r = std::from_chars(s, end, v);
    if (r.ec != std::errc()) return false;
    text = std::string_view(s, static_cast<std::size_t>(r.ptr - s));
    positive = v > 0;
    s = r.ptr;
    return std::isfinite(v);
}

// The curve of a .d1d as "Q I dI Q I dI ...", each number as the file
// writes it: the points whose three values are finite, Q above 0.
std::string curve_text(const std::string& path) {
    std::string text, out;
    if (!pk::read_file(path, text).ok()) return out;
    const char* s = text.data();
    const char* const end = s + text.size();
    while (s < end) {
        const char* const nl = static_cast<const char*>(std::memchr(s, '\n', static_cast<std::size_t>(end - s)));
        const char* const le = nl ? nl : end;
        std::string_view tq, ti, te;
        bool q_above_0 = false, unused = false;
        if (number_at(s, le, tq, q_above_0) && number_at(s, le, ti, unused) && number_at(s, le, te, unused) &&
            q_above_0) {
            for (const std::string_view t : {tq, ti, te}) {
                if (!out.empty()) out += ' ';
                out += t;
            }
        }
        s = le + 1;
    }
    return out;
}

// Work on the rows shared by `jobs` threads: fn(k) for every row k.  A
// failure to allocate in a thread is raised again here.
template <class Fn>
void for_rows(std::size_t n, int jobs, const Fn& fn) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> out_of_memory{false};
    const auto work = [&]() {
        try {
            for (std::size_t k; (k = next++) < n;) fn(k);
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
            next = n;
        }
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < jobs && static_cast<std::size_t>(t) < n; ++t) pool.emplace_back(work);
    work();
    for (std::thread& th : pool) th.join();
    if (out_of_memory) throw std::bad_alloc();
}

// The texts of the rows made by `make` on `jobs` threads and given to
// `put` with their row in the rows' order, a block of rows at a time (the memory of one
// block, whatever the number of rows).
template <class Make, class Put>
void rows_in_order(std::size_t n, int jobs, const Make& make, const Put& put) {
    constexpr std::size_t kBlock = 256;
    std::vector<std::string> block;
    for (std::size_t from = 0; from < n; from += kBlock) {
        block.assign(std::min(kBlock, n - from), std::string());
        for_rows(block.size(), jobs, [&](std::size_t k) { block[k] = make(from + k); });
        for (std::size_t k = 0; k < block.size(); ++k) put(from + k, block[k]);
    }
}

// The row's image written as NAME.image.png beside its .d2d, and its cell:
// the picture (a click shows it large with its colour bar) and its scale.
std::string image_cell(const RowResult& r) {
    const std::string d2d = output_link(r, ".d2d");
    if (d2d.empty()) return "<td></td>";
    if (!png_available()) return "<td>no image (built without libpng)</td>";
    ImageScale scale{r.image_any, r.image_lo, r.image_hi};
    if (!r.image_written) {
        std::vector<double> values;
        if (!read_image_values(output_path(r, ".d2d"), values)) return "<td>the .d2d cannot be read</td>";
        const std::vector<std::uint8_t> levels = image_levels(values, scale);
        std::string why;
        if (!write_png(output_path(r, ".image.png"), levels, image_palette(), kDetSide, kDetSide, why))
            return "<td>" + html(why) + "</td>";
    }
    const std::string link = d2d.substr(0, d2d.size() - 4) + ".image.png";
    // A link to the image, which the page's script shows as a thumbnail
    // while its row is on the page shown (an image element per row would
    // cost a long table its opening time).
    return "<td><a class=\"thumb\" href=\"" + html(link) + "\"" +
           (scale.any ? pk::format(" data-lo=\"%.3f\" data-hi=\"%.3f\"", scale.lo, scale.hi) : std::string()) +
           ">image</a></td>";
}

std::string file_links(const RowResult& r) {
    std::string s;
    for (const std::string& o : r.outputs) {
        const std::size_t dot = o.find('.', o.rfind('/') == std::string::npos ? 0 : o.rfind('/') + 1);
        s += "<a href=\"" + html(o) + "\">" + html(dot == std::string::npos ? o : o.substr(dot + 1)) + "</a> ";
    }
    return s;
}

std::string state_class(const RowResult& r) {
    std::string c = r.state == RowState::ok ? "ok" : r.state == RowState::refused ? "refused"
                    : r.state == RowState::failed ? "failed" : "notdone";
    return r.warnings.empty() ? c : c + " warned";
}

// Rows of the table shown at a time: a long table's later rows start
// hidden, so that the page opens as fast as a short one.
constexpr std::size_t kPageRows = 100;

// A row of the table less the start of its element (its classes, which
// depend on its place): what a finished row's files make, kept by a live
// report from one rewriting to the next.
// The orientation of a row's I(phi) (--formats aniso) as one cell.
std::string orientation_cell(const RowResult& r) {
    if (!r.has_orientation) return "<td></td>";
    const Orientation& o = r.orientation;
    return pk::format("<td class=\"num\">%.2f &plusmn; %.2f&deg;; %.4f &plusmn; %.4f; %.4f &plusmn; %.4f</td>", o.phi0,
                      o.phi0_dev, o.order, o.order_dev, o.hermans, o.hermans_dev);
}

std::string row_html(const RowResult& r, bool orientation) {
    // A row not done has no parameter file of this run (one there is an
    // earlier run's); a row reduced by this process kept what its file says.
    std::string par;
    const bool have_par =
        !r.used_kept && r.state != RowState::not_done && pk::read_file(output_path(r, ".par"), par).ok();
    const RowUsed read = r.used_kept ? RowUsed{} : row_used(have_par ? par : std::string());
    const std::vector<std::string>& columns = r.used_kept ? r.used_columns : read.columns;
    const bool curve = r.state == RowState::ok && r.has_curve && r.points > 0;
    const std::string d1d = output_link(r, ".d1d");
    const std::string data = d1d.empty() ? "" : curve_text(output_path(r, ".d1d"));
    std::string s = "\" id=\"row-" + html(r.name) + "\" data-name=\"" +
                    html(r.name) + "\"" + (data.empty() ? "" : " data-curve=\"" + data + "\"") + "><td>" +
                    std::to_string(r.index) + "</td><td>" +
                    (data.empty() ? "" : "<input type=\"checkbox\" class=\"pick\" title=\"plot this row\">") +
                    "</td><td class=\"name\">" + html(r.name) + "</td><td>" + state_name(r.state) + "</td><td>";
    s += r.warnings.empty() ? "0" : "<a class=\"warnmark\" href=\"#warn-" + html(r.name) + "\">&#9888; " +
                                        std::to_string(r.warnings.size()) + "</a>";
    s += "</td>";
    for (const std::string& v : columns) s += "<td>" + html(v) + "</td>";
    s += "<td>" + (curve ? pk::format("%.6g", r.i_low_q) : std::string()) + "</td><td>" +
         (curve ? std::to_string(r.points) : std::string()) + "</td>" + image_cell(r) +
         (orientation ? orientation_cell(r) : std::string()) + "<td class=\"files\">" +
         file_links(r) + "</td><td class=\"error\">" + html(r.error) + "</td></tr>\n";
    return s;
}

}  // namespace

namespace {

// ---------------------------------------------------------------------------
// The page.

struct Page {
    std::FILE* f;
    bool ok = true;
    void put(std::string_view s) { ok = ok && std::fwrite(s.data(), 1, s.size(), f) == s.size(); }
};

// What each keyword of the configuration holds, for the page's header.
const char* keyword_meaning(const std::string& kw) {
    static constexpr const char* k[][2] = {
        {"MODE", "run mode"},
        {"CNTR", "beam centre x, y (pixels)"},
        {"PXSP", "pixel spacing x, y (mm)"},
        {"SM2D", "sample-to-detector distance (mm)"},
        {"SMRP", "source-to-sample distance, source and sample aperture diameters (mm)"},
        {"WAVE", "wavelength (\xc3\x85), relative spread"},
        {"DATB", "buffer: file, time (s), monitor, thickness (cm), transmission"},
        {"DATD", "dark current: file, time (s), monitor"},
        {"SENS", "flat field: solid-angle flag, file"},
        {"MASK", "mask: file, must exist, used"},
        {"ABSF", "absolute scale factor (I in cm\xe2\x81\xbb\xc2\xb9)"},
        {"AVGM", "averaging (0 image, 1 curve, 2 both)"},
        {"ANGS", "azimuthal sector (degrees)"},
        {"BINS", "radial bin width (pixels)"}};
    for (const auto& e : k)
        if (kw == e[0]) return e[1];
    return "";
}

// The configuration the rows share, from the first row's parameter file
// that can be read, with the program's version, the date and `notes`.
void configuration(Page& pg, const std::vector<RowResult>& rows, const ReportInfo& info) {
    RowUsed used;
    for (const RowResult& r : rows) {
        std::string par;
        if (r.state != RowState::not_done && pk::read_file(output_path(r, ".par"), par).ok() &&
            !(used = row_used(par)).origin.empty())
            break;
    }
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    std::string date(64, '\0');
    date.resize(gmtime_r(&now, &utc) ? std::strftime(&date[0], date.size(), "%Y-%m-%d %H:%M:%S UTC", &utc) : 0);
    pg.put("<h2>Configuration</h2>\n<table id=\"config\">\n");
    for (const std::string& line : used.configuration) {
        const std::size_t sp = std::min(line.find(' '), line.size());
        const std::string kw = line.substr(0, sp);
        pg.put("<tr><th>" + html(kw) + "</th><td>" + html(sp < line.size() ? line.substr(sp + 1) : "") + "</td><td>" +
               keyword_meaning(kw) + "</td></tr>\n");
    }
    if (used.configuration.empty()) pg.put("<tr><td colspan=\"3\">No row's parameter file could be read.</td></tr>\n");
    for (const std::string& n : info.notes) pg.put("<tr><th>note</th><td colspan=\"2\">" + html(n) + "</td></tr>\n");
    if (!used.origin.empty()) pg.put("<tr><th>from</th><td colspan=\"2\">" + html(used.origin) + "</td></tr>\n");
    pg.put(std::string("<tr><th>program</th><td colspan=\"2\">") + kBatchProgram + " " + PELKARO_VERSION +
           "</td></tr>\n<tr><th>written</th><td colspan=\"2\">" + date + "</td></tr>\n</table>\n");
}

void head(Page& pg, const std::vector<RowResult>& rows, const ReportInfo& info) {
    int n_ok = 0, warned = 0, done = 0;
    for (const RowResult& r : rows)
        n_ok += r.state == RowState::ok, warned += !r.warnings.empty(), done += r.state != RowState::not_done;
    pg.put("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">");
    if (info.live) pg.put("<meta http-equiv=\"refresh\" content=\"2\">");
    pg.put("<title>pelkaro-batch: " + html(info.title) + "</title>\n<style>\n");
    pg.put(report_chart_css());
    pg.put(report_page_css());
    pg.put("</style>\n</head><body>\n<h1>pelkaro-batch: " + html(info.title) + "</h1>\n");
    if (info.live)
        pg.put("<p class=\"live\">Reducing as the files arrive: " + std::to_string(done) + " of " +
               std::to_string(rows.size()) + " rows done so far; this page reloads itself.</p>\n");
    pg.put("<p id=\"counts\">" + std::to_string(n_ok) + " of " + std::to_string(rows.size()) + " rows reduced; " +
           std::to_string(warned) + " with warnings.</p>\n");
}

void curves(Page& pg) {
    pg.put("<h2>Curves</h2>\n<p class=\"controls\"><label><input type=\"checkbox\" id=\"bars\" checked> error "
           "bars</label> <label><input type=\"checkbox\" id=\"logx\" checked> log Q</label> <label><input "
           "type=\"checkbox\" id=\"logy\" checked> log I</label> <button id=\"first\">first 10 rows</button> "
           "<button id=\"none\">none</button> <span class=\"hint\">Tick rows in the table to overlay them; drag to "
           "zoom, double-click to zoom out.</span></p>\n<div id=\"chart\"></div><div id=\"legend\"></div>\n");
}

void table(Page& pg, const std::vector<RowResult>& rows, int jobs, ReportCache* cache) {
    pg.put("<h2>Rows</h2>\n<p class=\"hint\">Click a heading to sort; click an image to see it large.</p>\n"
           "<table id=\"rows\"><thead><tr><th class=\"num\">row</th><th>plot</th><th>name</th><th>status</th>"
           "<th class=\"num\">warnings</th>");
    const char* const heads[] = {"sample", "time (s)", "monitor", "thickness (cm)", "transmission", "buffer",
                                 "buffer time (s)", "buffer monitor", "buffer thickness (cm)",
                                 "buffer transmission", "title", "sample beam", "buffer beam"};
    for (int k = 0; k < 13; ++k)
        pg.put(std::string("<th") + (k % 5 == 0 || k >= 10 ? "" : " class=\"num\"") + ">" + heads[k] + "</th>");
    bool orientation = false;
    for (const RowResult& r : rows) orientation = orientation || r.has_orientation;
    pg.put("<th class=\"num\">I at lowest Q (cm\xe2\x81\xbb\xc2\xb9)</th><th class=\"num\">points</th><th>image</th>");
    if (orientation) pg.put("<th class=\"num\">&phi;&#8320;; &lang;cos 2(&phi;&minus;&phi;&#8320;)&rang;; Hermans &lang;P&#8322;&rang;</th>");
    pg.put("<th>files</th><th>error</th></tr></thead>\n<tbody>\n");
    // A finished row's text from `cache` where it is there (no file read
    // again), a row not done made anew.
    const auto cached = [&](std::size_t k) -> const std::string* {
        if (!cache || rows[k].state == RowState::not_done) return nullptr;
        const auto it = cache->rows.find(rows[k].name);
        return it == cache->rows.end() ? nullptr : &it->second;
    };
    rows_in_order(
        rows.size(), jobs, [&](std::size_t k) { return cached(k) ? std::string() : row_html(rows[k], orientation); },
        [&](std::size_t k, const std::string& made) {
            const std::string& body = cached(k) ? *cached(k) : made;
            pg.put("<tr class=\"row " + state_class(rows[k]) + (k >= kPageRows ? " later" : "") + body);
            if (cache && rows[k].state != RowState::not_done) cache->rows.emplace(rows[k].name, made);
        });
    pg.put("</tbody></table>\n<p id=\"pager\"><button id=\"prev\">previous</button> <span id=\"pageinfo\"></span> "
           "<button id=\"next\">next</button> <button id=\"allrows\">all rows</button></p>\n<h2>Warnings</h2>\n");
    bool any = false;
    for (const RowResult& r : rows) {
        if (r.warnings.empty()) continue;
        any = true;
        pg.put("<h3 id=\"warn-" + html(r.name) + "\">" + html(r.name) + "</h3>\n<ul>\n");
        for (const std::string& w : r.warnings) pg.put("<li class=\"warn\">" + html(w) + "</li>\n");
        pg.put("</ul>\n");
    }
    if (!any) pg.put("<p>None.</p>\n");
}

// The large image, its colour bar (the scale's colours as a gradient) and
// what grey and black stand for; filled by the page's script on a click.
void viewer(Page& pg) {
    std::string stops;
    for (int k = 0; k <= 8; ++k) {
        std::uint8_t rgb[3];
        scale_colour(k / 8.0, rgb);
        stops += pk::format(",rgb(%d,%d,%d)", rgb[0], rgb[1], rgb[2]);
    }
    pg.put("<div id=\"viewer\" hidden><div class=\"box\"><p><b id=\"vname\"></b> <button id=\"vclose\">close"
           "</button></p><img id=\"vimg\" alt=\"\" width=\"512\" height=\"512\"><div class=\"bar\"><span "
           "id=\"vhi\"></span><div class=\"grad\" style=\"background:linear-gradient(to top" + stops +
           ")\"></div><span id=\"vlo\"></span></div><p class=\"keys\">I (cm\xe2\x81\xbb\xc2\xb9), logarithmic "
           "<span class=\"key\" style=\"background:#c8c8c8\"></span>masked <span class=\"key\" "
           "style=\"background:#000\"></span>0 or below</p></div></div>\n");
}

}  // namespace

bool write_report(const std::string& path, const std::vector<RowResult>& rows, const ReportInfo& info, int jobs,
                  std::string& why, ReportCache* cache) {
    // The page of a long table is megabytes (each row carries its curve):
    // written in blocks of 256 KiB rather than the file system's 4 KiB, a
    // system call each (where the memory cannot be had, the file's own
    // buffer).  Declared before the file, which uses it until it is closed.
    std::vector<char> buffer;
    try {
        buffer.resize(std::size_t{1} << 18);
    } catch (const std::bad_alloc&) {
    }
    pk::AtomicFile out;
    if (!pk::atomic_open(path, out)) {
        why = "cannot write " + path;
        return false;
    }
    if (!buffer.empty()) std::setvbuf(out.f, buffer.data(), _IOFBF, buffer.size());
    Page pg{out.f};
    jobs = std::max(jobs, 1);
    try {
        head(pg, rows, info);
        configuration(pg, rows, info);
        curves(pg);
        table(pg, rows, jobs, cache);
        viewer(pg);
    } catch (const std::bad_alloc&) {
        why = "out of memory writing " + path;
        pk::atomic_finish(out, false);
        return false;
    }
    if (report_chart_js().empty())
        pg.put("<p>The interactive curves need dygraphs (libjs-dygraphs) when pelkaro-batch is built.</p>\n");
    pg.put("<script>\n");
    pg.put(report_chart_js());
    pg.put("\n</script>\n<script>\n");
    pg.put(report_page_js());
    pg.put("\n</script>\n</body></html>\n");
    if (!pk::atomic_finish(out, pg.ok)) {
        why = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace pk
