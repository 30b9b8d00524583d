// pelkaro-check, the detector files in use: each is loaded with Pelkaro's
// own reader (its refusals are errors) and read once more by the checker
// for what the reader takes without a word (counts of values, decimal points,
// odd tags, totals, monitor counts); then the mask against the beam centre
// and the flat field.
#include <map>
#include <string>
#include <vector>

#include "check_internal.h"
#include "pelkaro/flat_field.h"
#include "keywords.h"
#include "mask_gen.h"

namespace pk {

namespace {

// The error for a file that Pelkaro's reader refuses.
std::string load_error(int kw, const std::string& name, const Status& st) {
    if (st.code == Code::cannot_read || st.detail.empty()) return cannot_use(std::string("the ") + role_of(kw), name);
    return std::string("Pelkaro cannot load the ") + role_of(kw) + " " + quote(name) + ": " + shown(st.reason);
}

// "the two counts 7 and 0" for "7.0".
std::string reading(const std::string& token) {
    std::vector<std::string> runs;
    std::string cur;
    for (const char c : token + " ") {
        if (c >= '0' && c <= '9') {
            cur.push_back(c);
        } else if (!cur.empty()) {
            runs.push_back(cur);
            cur.clear();
        }
    }
    if (runs.size() == 1) return "the count " + runs[0];
    std::string out = runs.size() == 2 ? "the two counts " : "the counts ";
    for (std::size_t i = 0; i < runs.size(); ++i) {
        if (i > 0) out += i + 1 == runs.size() ? " and " : ", ";
        out += runs[i];
    }
    return out;
}

void count_warning(Check& c, const std::string& file, long long values, bool flat) {
    if (values == kDetPixels) return;
    std::string text = counted(values, "detector value", "detector values") + ", the detector has 16384; ";
    if (values < kDetPixels)
        text += values == 0 ? "every pixel counts as 0"
                            : "the last " + std::to_string(kDetPixels - values) + " pixels count as 0";
    else
        text += "the " + std::to_string(values - kDetPixels) + " beyond it are no pixels of the detector" +
                (flat ? " but can reach the normalisation of the sensitivity" : "");
    c.add(Severity::warning, file, 0, text);
}

// A mask file holds one value per pixel; the reader takes the values in
// order, wherever the line ends fall.
void mask_count_warning(Check& c, const std::string& file, long long values) {
    if (values == kDetPixels) return;
    std::string text = counted(values, "mask value", "mask values") + ", the detector has 16384; ";
    if (values < kDetPixels)
        text += "the last " + std::to_string(kDetPixels - values) + " pixels are masked without a word";
    else
        text += "the " + std::to_string(values - kDetPixels) + " beyond it are ignored";
    c.add(Severity::warning, file, 0, text);
}

const char* tag_meaning(char kind) {
    return kind == 't' ? "the counting time" : kind == 'm' ? "the monitor count" : "the total of counts";
}

void data_warnings(Check& c, const std::string& file, const DataScan& s, bool flat) {
    count_warning(c, file, s.values, flat);
    if (s.point_line > 0)
        c.add(Severity::warning, file, s.point_line,
              "a decimal point inside a data line: " + quote(s.point_token) + " reads as " + reading(s.point_token) +
                  " (counts are whole numbers; every other character ends a number)");
    if (s.minus_line > 0)
        c.add(Severity::warning, file, s.minus_line,
              "a minus sign inside a data line: " + quote(s.minus_token) + " reads as " + reading(s.minus_token) +
                  " (counts are unsigned; every other character ends a number)");
    for (const HeaderTag& t : s.odd) {
        if (t.kind != 0)
            c.add(Severity::warning, file, t.line,
                  "the header tag " + quote(t.text) + " is read as " + tag_meaning(t.kind) + ", " +
                      std::to_string(t.value) + ": only its first five characters are compared");
        else
            c.add(Severity::warning, file, t.line,
                  quote(t.text) + " is not a tag Pelkaro reads, so the line is ignored; the tags begin \"<time\", "
                                  "\"<moni\" or \"<psd \" (with the blank), in lower case");
    }
    if (s.psd.line > 0 && s.values <= kImageValues && s.total != s.psd.value)
        c.add(Severity::warning, file, s.psd.line,
              "the counts add up to " + std::to_string(s.total) + ", the tag " + quote(s.psd.text) + " says " +
                  std::to_string(s.psd.value));
}

struct Loaded {
    bool ok = false;
    DataScan scan;
};

// An entry as its parameter line gives it: name, time and monitor count.
Data2D as_named(const Data2D& entry) {
    Data2D d;
    d.name = entry.name;
    d.tm = entry.tm;
    d.monitor = entry.monitor;
    return d;
}

// Loads a file as Pelkaro would, once per name, and reads it for the
// warnings; the time and monitor count of each use follow from its header.
void load_use(Check& c, FileUse& use, std::map<std::string, Loaded>& done) {
    const std::string& name = use.entry->name;
    auto it = done.find(name);
    if (it == done.end()) {
        Loaded l;
        Data2D d = as_named(*use.entry);
        const Status st = check_read_data(c, use.kw, d);
        l.ok = st.ok();
        if (!l.ok) {
            c.error(use.line, load_error(use.kw, name, st));
        } else if (d.values == 0 && c.run.p.mode == 0 && use.kw != SENS) {
            c.error(use.line, std::string("the ") + role_of(use.kw) + " " + quote(name) +
                                  " holds no detector values; Pelkaro refuses it");
            l.ok = false;
        } else if (check_scan(c, use.kw, name, l.scan)) {
            data_warnings(c, name, l.scan, use.kw == SENS);
        }
        it = done.emplace(name, std::move(l)).first;
    }
    if (!it->second.ok) return;
    const DataScan& s = it->second.scan;
    use.loaded = true;
    use.tm = s.time.line > 0 ? static_cast<float>(s.time.value) : use.entry->tm;
    use.monitor_tag = s.monitor.line > 0;
    const float monitor = use.monitor_tag ? static_cast<float>(s.monitor.value) : use.entry->monitor;
    use.monitor_fallback = monitor == 0;
    use.monitor = use.monitor_fallback ? use.tm : monitor;
    if (use.kw == SENS) {
        c.flat = as_named(*use.entry);
        // The pixels where the flat field's outliers may have to be found
        // (flat_pixels brings them where a series has found them already).
        c.flat_loaded = check_read_data(c, SENS, c.flat, !outliers_kept(c)).ok();
    }
}

// A use of the entry named on `line` (0: no accepted line names it).
void add_use(Check& c, int kw, int line, const Data2D& entry) {
    if (line == 0) return;
    FileUse u;
    u.kw = kw;
    u.line = line;
    u.entry = &entry;
    c.uses.push_back(u);
}

// The lines of the accepted records of keyword kw, in order.
std::vector<int> accepted_lines(const Check& c, int kw) {
    std::vector<int> lines;
    for (const ParseRecord& r : c.recs())
        if (r.keyword == kw && r.verdict == Verdict::accepted) lines.push_back(r.line);
    return lines;
}

int nth(const std::vector<int>& lines, std::size_t i) { return i < lines.size() ? lines[i] : 0; }

// The files the run reads, in its order.
void collect_uses(Check& c) {
    const Run& r = c.run;
    c.uses.reserve(r.sam.size() + r.buf.size() + 2);
    const std::vector<int> samples = accepted_lines(c, DATS);
    for (std::size_t i = 0; i < r.sam.size(); ++i) {
        add_use(c, DATS, nth(samples, i), r.sam[i]);
        if (r.p.mode == 2) return;
    }
    const std::vector<int> buffers = accepted_lines(c, DATB);
    for (std::size_t i = 0; i < r.buf.size(); ++i)
        if (r.buf[i].tm != 0) add_use(c, DATB, nth(buffers, i), r.buf[i]);
    if (r.dark.tm > 0) add_use(c, DATD, c.line_of(DATD), r.dark);
    add_use(c, SENS, c.line_of(SENS), r.sens);
}

void load_mask(Check& c) {
    c.shared_mask.reset();
    if (c.run.p.mask_source != 1) {
        c.mask_loaded = make_mask(c.run.p, c.mask).ok();
        return;
    }
    c.mask.name = c.run.mask.name;
    const Status st = check_read_mask(c);
    if (!st.ok()) {
        c.error(c.line_of(MASK), load_error(MASK, c.mask.name, st));
        return;
    }
    c.mask_loaded = true;
    mask_count_warning(c, c.mask.name, c.mask.values);
}

// Sample and buffer entries normalised one by monitor counts, another by time.
void monitor_warnings(Check& c) {
    const FileUse* by_monitor = nullptr;
    for (const FileUse& u : c.uses)
        if (u.loaded && (u.kw == DATS || u.kw == DATB) && !u.monitor_fallback) {
            by_monitor = &u;
            break;
        }
    if (!by_monitor) return;
    for (const FileUse& u : c.uses) {
        if (!u.loaded || (u.kw != DATS && u.kw != DATB) || !u.monitor_fallback) continue;
        const std::string why = u.monitor_tag ? "the header of " + quote(u.entry->name) + " gives the monitor count 0"
                                              : "the monitor count of " + quote(u.entry->name) +
                                                    " is 0 and its header gives none";
        c.warning(u.line, why + ", so Pelkaro normalises it by its counting time, " + num(u.tm) + ", while the " +
                              role_of(by_monitor->kw) + " " +
                              quote(by_monitor->entry->name) + " (line " + std::to_string(by_monitor->line) +
                              ") is normalised by its monitor count, " + num(by_monitor->monitor));
    }
}

}  // namespace

void check_files(Check& c) {
    if (c.run.p.mode == 1) return;
    collect_uses(c);
    std::map<std::string, Loaded> done;
    for (FileUse& u : c.uses) load_use(c, u, done);
    if (c.run.p.mode == 0) {
        load_mask(c);
        monitor_warnings(c);
    }
}

void mask_warnings(Check& c) {
    if (c.run.p.mode != 0 || !c.mask_loaded) return;
    const int mask_line = c.run.p.mask_source == 1 ? c.line_of(MASK) : 0;
    if (c.flat_loaded) {
        const std::vector<int> bad = check_flat_outliers(c);
        if (!bad.empty()) {
            const int k = bad.front();
            flat_pixels(c);
            c.warning(c.line_of(SENS),
                      counted(static_cast<long long>(bad.size()), "flat-field pixel", "flat-field pixels") +
                          " that the mask leaves in " + (bad.size() == 1 ? "is" : "are") +
                          " 0 or outside 0.5 to 1.5 times the mean of the pixels in use (first: pixel (" +
                          std::to_string(k % kDetSide) + ", " + std::to_string(k / kDetSide) + ") holds " +
                          num(c.flat.intens[static_cast<std::size_t>(k)]) +
                          (bad.size() == 1 ? "); it shifts the normalisation of every pixel: mask it"
                                           : "); they shift the normalisation of every pixel: mask them"));
        }
    }
    const Param& p = c.run.p;
    if (!c.last_accepted(CNTR) || !(p.bx >= 0 && p.bx < kDetSide && p.by >= 0 && p.by < kDetSide)) return;
    const int x = static_cast<int>(p.bx);
    const int y = static_cast<int>(p.by);
    const Data2D& mask = c.reduced ? c.run.mask : mask_pixels(c);
    if (!pk::pixel_used(mask.intens[static_cast<std::size_t>(x + kDetSide * y)])) return;
    c.warning(mask_line > 0 ? mask_line : c.line_of(CNTR),
              "the pixel (" + std::to_string(x) + ", " + std::to_string(y) +
                  ") at the beam centre is in use: is the beam stop masked?" +
                  (p.mask_source == 1 ? "" : " The internal mask masks only the detector's edges."));
}

}  // namespace pk
