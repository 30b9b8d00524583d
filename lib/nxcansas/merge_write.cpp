// The merged curve as an NXcanSAS file: one entry with one SASdata group
// (Q, I, Idev and the Qdev each point had in its own configuration) and a
// process that records every input, its range, configuration, scale factor
// and overlap.  No instrument: the configurations differ.
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "nxcansas_h5.h"
#include "pelkaro/Pelkaro.h"
#include "pelkaro/files.h"
#include "pelkaro/merge.h"
#include "pelkaro/nxcansas.h"
#include "nxcansas_file.h"

namespace pk {

namespace {

constexpr const char* kQUnit = "1/angstrom";

void write_data(Writer& w, const Node& entry, const MergeResult& r, const std::string& iunit) {
    Node g = w.group(entry, "sasdata01", "NXdata", "SASdata");
    w.attr(g, "signal", "I");
    w.attr(g, "I_axes", "Q");
    w.attr(g, "Q_indices", 0);
    const std::vector<hsize_t> dims{r.q.size()};
    Node q = w.doubles(g, "Q", r.q, dims, kQUnit);
    if (!r.qdev.empty()) {
        w.attr(q, "resolutions", "Qdev");
        w.attr(q, "resolutions_description", "Gaussian");
    }
    Node in = w.doubles(g, "I", r.i, dims, iunit);
    w.attr(in, "uncertainties", "Idev");
    w.doubles(g, "Idev", r.idev, dims, iunit);
    if (!r.qdev.empty()) w.doubles(g, "Qdev", r.qdev, dims, kQUnit);
}

void write_note(Writer& w, const Node& parent, const std::string& description, const std::string& text) {
    Node n = w.group(parent, "sasnote", "NXnote", "SASnote");
    w.text(n, "description", description);
    w.text(n, "type", "text/plain");
    w.text(n, "data", text);
}

// The process: one term per input file (its line), then the settings.
void write_process(Writer& w, const Node& entry, const std::vector<MergeCurve>& curves, const MergeResult& r,
                   const MergeOptions& opt, const std::string& time) {
    Node g = w.group(entry, "sasprocess", "NXprocess", "SASprocess");
    w.text(g, "name", "pelkaro-merge");
    w.text(g, "date", time);
    w.text(g, "description",
           "pelkaro-merge " PELKARO_VERSION ": curves of several configurations joined into one; each curve but the "
           "reference multiplied by a factor fitted over its overlap with the curves joined before it (weighted "
           "least squares in linear I against those curves interpolated in log Q), joining outward from the "
           "reference. The factor's uncertainty is fully correlated over a curve's points and is not in their Idev.");
    int n = 0;
    std::string all;
    for (std::size_t k = 0; k < curves.size(); ++k) {
        const std::string line = merge_line(curves[k], r.inputs[k]);
        w.attr(w.text(g, format("term%02d", ++n), line), "name", "input file");
        all += line + "\n";
        Node s = w.number(g, format("term%02d", ++n), r.inputs[k].scale, "");
        w.attr(s, "name", "scale factor of " + curves[k].file);
        w.attr(w.number(g, format("term%02d", ++n), r.inputs[k].scale_dev, ""), "name",
               "scale factor uncertainty of " + curves[k].file);
    }
    w.attr(w.text(g, format("term%02d", ++n), opt.scale ? "fit" : "none"), "name", "scale");
    w.attr(w.text(g, format("term%02d", ++n), opt.trim ? "trim" : "average"), "name", "overlap");
    write_note(w, g, "The input files, one line each", all);
}

void write_layout(Writer& w, const Node& root, const std::vector<MergeCurve>& curves, const MergeResult& r,
                  const MergeOptions& opt, const std::string& path) {
    const std::string time = iso_time(std::time(nullptr));
    w.attr(root, "NX_class", "NXroot");
    w.attr(root, "canSAS_class", "SASroot");
    w.attr(root, "default", "sasentry01");
    w.attr(root, "file_name", base_name(path));
    w.attr(root, "file_time", time);
    w.attr(root, "creator", "pelkaro-merge " PELKARO_VERSION);
    Node e = w.group(root, "sasentry01", "NXentry", "SASentry");
    w.attr(e, "version", "1.1");
    w.attr(e, "default", "sasdata01");
    w.text(e, "definition", "NXcanSAS");
    std::string title;
    for (const MergeCurve& c : curves) title += (title.empty() ? "" : " + ") + stem_of(c.file);
    w.text(e, "title", title);
    w.text(e, "run", base_name(path));
    write_data(w, e, r, curves.front().intensity_unit);
    write_process(w, e, curves, r, opt, time);
    write_note(w, e, "How the numbers of this file were made",
               "The points of every input curve kept (each with its own Q and Qdev, the Gaussian resolution of its "
               "own configuration), I and Idev multiplied by the curve's scale factor, sorted by Q. With the "
               "overlap averaged the points of both curves in an overlap are all kept; trimmed, each curve is cut "
               "at the middle of the overlap in log Q.\n");
}

}  // namespace

namespace {

Status unwritten(std::string reason) { return failure(Stage::output, Code::cannot_write, std::move(reason)); }

}  // namespace

Status write_merged(const std::vector<MergeCurve>& curves, const MergeResult& r, const MergeOptions& opt,
                    const std::string& path) {
    if (curves.empty() || r.inputs.size() != curves.size()) return unwritten("nothing to write");
    OutputLock lock;
    lock.acquire(path);
    AtomicFile out;
    errno = 0;
    if (!atomic_open(path, out)) {
        const int e = errno;
        struct stat st {};
        return unwritten(::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)
                             ? "cannot write " + path + ": it exists and is not a regular file"
                             : "cannot create a file beside " + path + (e ? std::string(": ") + std::strerror(e) : ""));
    }
    // Written into the temporary file as it is made.
    Writer w;
    {
        Node root = w.create(path, ::fileno(out.f));
        write_layout(w, root, curves, r, opt, path);
        w.finish(root);
    }
    if (!w.ok()) {
        atomic_finish(out, false);
        return unwritten(w.why() + " (writing " + path + ")");
    }
    errno = 0;
    const int failed = w.write_error();
    if (!atomic_finish(out, failed == 0)) {
        const int e = failed != 0 ? failed : errno;
        return unwritten("could not write " + path + (e != 0 ? std::string(": ") + std::strerror(e) : std::string()));
    }
    return ok_status();
}

}  // namespace pk
