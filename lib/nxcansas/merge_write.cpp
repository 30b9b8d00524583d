// The merged curve as an NXcanSAS file: one entry with one SASdata group
// (Q, I, Idev and the Qdev each point had in its own configuration), each
// point's resolution kernel from its own curve, the sample, and a process
// that records every input, its range, configuration, scale factor and
// overlap.  No instrument: the configurations differ.

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "nxcansas_h5.h"
#include "pelkaro/Pelkaro.h"
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
    std::vector<double> from(r.from.begin(), r.from.end());
    for (double& f : from) f += 1;
    w.attr(w.doubles(g, "input", from, dims, ""), "description",
           "the input each point came from: 1 for the first input file (the process's input terms)");
}

void write_kernel(Writer& w, const Node& entry, const MergeResult& r) {
    Node g = w.group(entry, "resolution_kernel", "NXcollection", nullptr);
    w.attr(g, "data", "sasdata01");
    const std::vector<hsize_t> dims{r.q.size(), static_cast<hsize_t>(r.kernel_nodes)};
    w.doubles(g, "Q", r.kernel_q, dims, kQUnit);
    w.doubles(g, "weight", r.kernel_weight, dims, "");
}

void write_sample(Writer& w, const Node& entry, const MergedSample& s) {
    if (s.name.empty() && std::isnan(s.thickness_mm)) return;
    Node g = w.group(entry, "sassample", "NXsample", "SASsample");
    if (!s.name.empty()) w.text(g, "name", s.name);
    if (!std::isnan(s.thickness_mm)) w.number(g, "thickness", s.thickness_mm, "mm");
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
           "least squares in linear I, the finer-resolved side smeared to the coarser one's resolution), joining "
           "outward from the reference. The factor's uncertainty is fully correlated over a curve's points and is not in their Idev.");
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

std::string merged_note(const MergeResult& r, const MergeOptions& opt) {
    std::string s = "The points of every input curve kept, each with its own Q and Qdev (the mean Q its "
                    "configuration gives it and the standard deviation about it)";
    s += r.kernel_nodes > 0 ? " and its own row of resolution_kernel (its configuration's resolution kernel; a point's "
                              "intensity is sum_j weight[i, j] dSigma/dOmega(Q[i, j]))"
                            : " (the inputs do not all carry resolution kernels, so none is written)";
    s += ", I and Idev multiplied by the curve's scale factor, sorted by Q; input names the curve each came from. ";
    s += "A curve's factor is fitted over its overlap with the curves joined before it with their resolutions "
         "matched: at the points of the coarser curve there (the larger Qdev), the finer one, interpolated in log Q, "
         "is smeared by a Gaussian of the variance the coarser one has beyond it, Qdev_coarse^2 - Qdev_fine^2, before "
         "the two are compared (curves without Qdev, or an overlap too narrow for the smearing, are compared as they "
         "are). ";
    s += opt.trim ? "Trimmed: at each Q only the points of the curve with the finest resolution there are kept (a "
                    "curve without Qdev is cut at the middle of the overlap in log Q).\n"
                  : "With the overlap averaged the points of both curves in an overlap are all kept.\n";
    return s;
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
    w.attr(root, "pelkaro_format_version", 2);
    Node e = w.group(root, "sasentry01", "NXentry", "SASentry");
    w.attr(e, "version", "1.1");
    w.attr(e, "default", "sasdata01");
    w.text(e, "definition", "NXcanSAS");
    const MergedSample sample = merged_sample(curves, opt);
    w.text(e, "title", sample.title);
    w.text(e, "run", base_name(path));
    write_data(w, e, r, curves.front().intensity_unit);
    if (r.kernel_nodes > 0) write_kernel(w, e, r);
    write_sample(w, e, sample);
    write_process(w, e, curves, r, opt, time);
    write_note(w, e, "How the numbers of this file were made", merged_note(r, opt));
}

}  // namespace

namespace {

Status unwritten(std::string reason) { return failure(Stage::output, Code::cannot_write, std::move(reason)); }

}  // namespace

Status write_merged(const std::vector<MergeCurve>& curves, const MergeResult& r, const MergeOptions& opt,
                    const std::string& path) {
    if (curves.empty() || r.inputs.size() != curves.size()) return unwritten("nothing to write");
    return write_atomically(path, [&](int err) { return open_failure(path, err); },
                            [&](Writer& w, Node& root) { write_layout(w, root, curves, r, opt, path); });
}

}  // namespace pk
