#include "entries.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <vector>

#include "held_image.h"
#include "numbers.h"
#include "read_sans.h"
#include "sens_cor.h"
#include "sub_data.h"
#include "keywords.h"
#include "run_steps.h"

namespace pk {

namespace {

// The driver's messages for one kind of entry (sample or buffer).
struct EntryText {
    int keyword;              // DATS or DATB
    const char* kind;         // "sample" or "buffer"
    const char* no_memory;    // the run's reasons and messages
    const char* unreadable;   // %d: the entry's index
    const char* zero_time;    // %d: the entry's index; its message ends the program
    const char* no_jacobian;  // %d: the entry's index
};
const EntryText kSampleText = {
    DATS,
    "sample",
    "unable to allocate the sample data memory",
    "unable to read the sample data file #%d",
    "the counting time of sample data file #%d is 0 after reading its header; it cannot be normalized",
    "unable to perform jacobian correction on data file %d"};
const EntryText kBufferText = {
    DATB,
    "buffer",
    "unable to allocate the background memory",
    "unable to read the buffer data file #%d",
    "the counting time of buffer data file #%d is 0 after reading its header; it cannot be normalized",
    "unable to perform jacobian correction on buffer file %d"};

// The stamp of a file read from disk; false when it cannot be had.
bool stamp_of(const std::string& name, FileStamp& s) {
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0) return false;
    s.device = static_cast<uint64_t>(st.st_dev);
    s.inode = static_cast<uint64_t>(st.st_ino);
    s.size = static_cast<uint64_t>(st.st_size);
    s.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

void take_header(const FirstRead& r, Data2D& d) {
    d.tm = r.tm;
    d.monitor = r.monitor;
    d.psd = r.psd;
    d.values = r.values;
}

// The entry's file read as the reader reads it, into the scratch image, or
// its first reading replayed where the same file was read for the same
// counting time and monitor count.
Status read_once(const Run& run, EntryPasses& ps, Data2D& d, int n, const EntryText& text, const Console& con) {
    const auto key = std::make_tuple(d.name, bits_of(d.tm), bits_of(d.monitor));
    const auto hit = ps.first.find(key);
    if (hit != ps.first.end()) {
        pk::say(con, "%s", hit->second.console.c_str());
        take_header(hit->second, d);
        return ok_status();
    }
    Data2D& s = ps.scratch;
    if (!allocate_image(s)) return about(fail(Stage::read, Code::no_memory, text.no_memory, "\n"), text.keyword, n);
    s.name = d.name, s.tm = d.tm, s.monitor = d.monitor, s.psd = d.psd, s.values = 0;
    FirstRead r;
    const Status st = read_data(run.held, s, Console{nullptr, &r.console});
    pk::say(con, "%s", r.console.c_str());
    if (!st.ok())
        return about(with_message(st, pk::format(text.unreadable, n), "\n...Exiting program\n"), text.keyword, n);
    if (ps.kept.size() < kKeptImages && !ps.kept.count(d.name)) {
        const auto pixels = static_cast<std::ptrdiff_t>(kDetPixels);
        ps.kept.emplace(d.name, KeptImage{std::vector<float>(s.intens.begin(), s.intens.begin() + pixels),
                                          std::vector<float>(s.uncert.begin(), s.uncert.begin() + pixels)});
    }
    FileStamp stamp;
    if (!held_image(run.held, d.name) && stamp_of(d.name, stamp)) ps.stamps.emplace(d.name, stamp);
    r.tm = s.tm, r.monitor = s.monitor, r.psd = s.psd, r.values = s.values;
    take_header(r, d);
    ps.first.emplace(key, std::move(r));
    return ok_status();
}

// One entry of the first pass: read, then judged as the run judges it.
Status check_entry(const Run& run, const SolidAngle& sa, EntryPasses& ps, Data2D& d, int n, const EntryText& text,
                   const Console& con) {
    Status st = read_once(run, ps, d, n, text, con);
    if (!st.ok()) return st;
    st = no_values(d, pk::format("the %s data file #%d", text.kind, n));
    if (!st.ok()) return about(st, text.keyword, n);
    if (d.tm == 0)
        return about(fail(Stage::read, Code::zero_time, pk::format(text.zero_time, n), "\nExiting program\n"),
                     text.keyword, n);
    // The solid-angle correction fails for the geometry, whatever the image.
    if (run.p.jacobian == 1 && sa.bad_x >= 0) {
        st = jacobian(run.p, ps.scratch, sa);
        if (!st.ok())
            return about(with_message(st, pk::format(text.no_jacobian, n), "...Exiting program\n"), text.keyword, n);
    }
    return ok_status();
}

Status changed(const EntryText& text, int n, const std::string& name) {
    return about(fail(Stage::read, Code::changed_file,
                      pk::format("the %s data file #%d (%s) changed while the run was reading it", text.kind, n,
                                 name.c_str()),
                      "\nExiting program\n"),
                 text.keyword, n);
}

// The entry's image read again into the scratch image, or taken from the
// first pass where it kept it.  Its header values as the first pass left
// them read back unchanged from an unchanged file (a tag gives its value
// again, and a value without a tag stays); a file whose stamp, header or
// number of values differs has changed in between.
Status read_again(const Run& run, EntryPasses& ps, const Data2D& d, int n, const EntryText& text) {
    Data2D& s = ps.scratch;
    const auto kept = ps.kept.find(d.name);
    if (kept != ps.kept.end()) {
        // The first pass's pixels: nothing to read, nothing that could have changed.
        if (!allocate_image(s)) return about(fail(Stage::read, Code::no_memory, text.no_memory, "\n"), text.keyword, n);
        std::copy(kept->second.intens.begin(), kept->second.intens.end(), s.intens.begin());
        std::copy(kept->second.uncert.begin(), kept->second.uncert.end(), s.uncert.begin());
        s.name = d.name, s.tm = d.tm, s.monitor = d.monitor, s.psd = d.psd, s.values = d.values;
        ps.kept.erase(kept);
        return ok_status();
    }
    const auto stamp = ps.stamps.find(d.name);
    FileStamp now;
    if (stamp != ps.stamps.end() && !(stamp_of(d.name, now) && now == stamp->second)) return changed(text, n, d.name);
    if (!allocate_image(s)) return about(fail(Stage::read, Code::no_memory, text.no_memory, "\n"), text.keyword, n);
    s.name = d.name, s.tm = d.tm, s.monitor = d.monitor, s.psd = d.psd, s.values = 0;
    const Status st = read_data(run.held, s, Console{nullptr, nullptr});
    const bool same = bits_of(s.tm) == bits_of(d.tm) && bits_of(s.monitor) == bits_of(d.monitor) &&
                      bits_of(s.psd) == bits_of(d.psd) && s.values == d.values;
    return st.ok() && same ? ok_status() : changed(text, n, d.name);
}

// Where each file is named for the last time in the second pass: its
// corrected image is kept until then.
std::map<std::string, std::size_t> last_uses(const Run& run) {
    std::map<std::string, std::size_t> last;
    std::size_t k = 0;
    for (const Data2D& d : run.sam) last[d.name] = k++;
    for (const Data2D& b : run.buf)
        if (buffer_used(b)) last[b.name] = k++;
    return last;
}

// One entry of the second pass (number k of the pass): its corrected image
// added to `sums`, read once for all the entries that name its file.
Status add_entry(Run& run, const SolidAngle& sa, EntryPasses& ps, const Data2D& d, int n, const EntryText& text,
                 std::size_t k, PixelSums& sums) {
    const auto kept = ps.corrected.find(d.name);
    if (kept != ps.corrected.end()) {
        add_image(sums, kept->second, run.p.simd);
    } else {
        const Status st = read_again(run, ps, d, n, text);
        if (!st.ok()) return st;
        if (run.p.jacobian == 1) jacobian(run.p, ps.scratch, sa);
        sens_cor_pixels(run.p, ps.scratch, run.sens, run.mask);  // only its pixels are added
        add_image(sums, ps.scratch, run.p.simd);
        if (ps.last.at(d.name) > k) ps.corrected.emplace(d.name, ps.scratch);
    }
    if (ps.last.at(d.name) == k) ps.corrected.erase(d.name);
    return ok_status();
}

}  // namespace

Status read_entries(Run& run, const SolidAngle& sa, EntryPasses& passes, const Console& con) {
    pk::say(con, "Reading the sample data files...\n");
    for (std::size_t i = 0; i < run.sam.size(); ++i) {
        const Status st = check_entry(run, sa, passes, run.sam[i], static_cast<int>(i), kSampleText, con);
        if (!st.ok()) return st;
    }
    for (std::size_t i = 0; i < run.buf.size(); ++i) {
        if (!buffer_used(run.buf[i])) continue;
        pk::say(con, "Reading the background data file...\n");
        const Status st = check_entry(run, sa, passes, run.buf[i], static_cast<int>(i), kBufferText, con);
        if (!st.ok()) return st;
    }
    passes.first.clear();
    return ok_status();
}

Status sum_entries(Run& run, const SolidAngle& sa, EntryPasses& passes, const Console& con) {
    pk::say(con, "Correcting the sensitivities...\n");
    passes.last = last_uses(run);
    std::size_t k = 0;
    for (std::size_t i = 0; i < run.sam.size(); ++i) {
        const Status st = add_entry(run, sa, passes, run.sam[i], static_cast<int>(i), kSampleText, k++, run.sam_sums);
        if (!st.ok()) return st;
    }
    for (std::size_t i = 0; i < run.buf.size(); ++i) {
        if (!buffer_used(run.buf[i])) continue;
        const Status st = add_entry(run, sa, passes, run.buf[i], static_cast<int>(i), kBufferText, k++, run.buf_sums);
        if (!st.ok()) return st;
    }
    passes.corrected.clear();
    return ok_status();
}

}  // namespace pk
