// pelkaro-check, the runs themselves: the reduction computed in memory (its
// refusals are errors, placed on the line that names what was refused), the
// beam-centre measurement of a mode 2 run with the CNTR line to paste, and
// the directory the outputs would be written to.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "check_internal.h"
#include "pelkaro/series.h"
#include "keywords.h"
#include "file_out.h"
#include "pelkaro/files.h"

namespace pk {

namespace {

// A refusal of the run: an error on the parameter line it concerns.
void refusal(Check& c, const Status& st) {
    c.error(st.line, shown(st.reason));
}

void empty_curve(Check& c) {
    const Param& p = c.run.p;
    if (p.average != 1 && p.average != 2) return;
    const Data1D& rot = c.run.curve;
    for (int i = 0; i < rot.num && i < static_cast<int>(rot.area.size()); ++i)
        if (rot.area[static_cast<std::size_t>(i)] != 0) return;
    const ParseRecord* angs = c.last_accepted(ANGS);
    std::string sector = "the sector";
    if (angs && angs->values.size() >= 2)
        sector += " from " + num(angs->values[0]) + " to " + num(angs->values[1]) + " degrees";
    c.warning(c.line_of(ANGS), sector + " and the mask leave no pixel to average: the curve would be empty");
}

// Fewer than 90 % of the pixels above the threshold within 10 pixels of
// their centroid: not one compact spot.
void compactness(Check& c) {
    const Data2D& img = c.run.sam[0];
    const double col = c.run.p.by;  // the measurement's mean column
    const double row = c.run.p.bx;  // and mean row
    long long count = 0;
    long long near = 0;
    for (int y = 3; y <= 124; ++y)
        for (int x = 3; x <= 124; ++x) {
            if (!(img.intens[static_cast<std::size_t>(kDetSide * y + x)] > 5.0f)) continue;
            ++count;
            if ((x - col) * (x - col) + (y - row) * (y - row) <= 100.0) ++near;
        }
    if (count == 0 || near * 10 >= count * 9) return;
    c.add(Severity::warning, img.name, 0,
          "only " + std::to_string(near * 100 / count) + " % of the " + std::to_string(count) +
              " pixels above 5 counts lie within 10 pixels of their centroid: background or hot pixels pull the "
              "measured centre; measure the attenuated direct beam with a low background");
}

std::string errno_reason(int e) {
    switch (e) {
        case EACCES: return "permission denied";
        case ENOENT: return "missing";
        case ENOTDIR: return "a part of the path is not a directory";
        case EROFS: return "a read-only file system";
        default: return std::strerror(e);
    }
}

// The directory of the outputs must take new files; a target that exists
// must be a regular file, which the new one replaces.
bool output_directory(Check& c, int line, const std::string& target, const std::string& where, DiagnosticKind kind) {
    const std::size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    if (::access(dir.c_str(), W_OK | X_OK) == 0) return true;
    c.error(line, where + ", " + quote(absolute(dir)) + ", which cannot be written (" + errno_reason(errno) + ")",
            kind);
    return false;
}

void output_target(Check& c, int line, const std::string& target) {
    struct stat st {};
    if (::lstat(target.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return;
    const char* kind = S_ISDIR(st.st_mode) ? "a directory" : S_ISLNK(st.st_mode) ? "a symbolic link" : "a special file";
    c.error(line,
            "the output file " + quote(absolute(target)) + " exists and is not a regular file (" + kind +
                "), so Pelkaro cannot replace it",
            DiagnosticKind::output_not_regular);
}

}  // namespace

void check_reduction(Check& c) {
    if (c.run.p.mode != 0 || !c.parsed || c.error_count() > 0) return;
    const Status st = check_reduce_run(c);
    if (!st.ok()) {
        refusal(c, st);
        return;
    }
    c.reduced = true;
    empty_curve(c);
}

void check_beam_centre(Check& c) {
    if (c.run.p.mode != 2 || !c.parsed || c.error_count() > 0 || c.run.sam.empty()) return;
    const int line = c.line_of_nth(DATS, 0);
    const Status st = beam_center_run(c.run, Console{nullptr, nullptr});
    if (!st.ok()) {
        refusal(c, st);
        return;
    }
    const Param& p = c.run.p;
    Diagnostic d;
    d.file = c.par;
    d.line = line;
    d.severity = Severity::note;
    d.text = "the beam centre measured on " + quote(c.run.sam[0].name) + " is X = " + num(p.bx) + " (mean row), Y = " +
             num(p.by) + " (mean column); the line for the reduction's parameter file:";
    d.paste = "CNTR " + num(static_cast<double>(p.by) + 0.5) + " " + num(static_cast<double>(p.bx) + 0.5);
    c.diags.push_back(d);
    compactness(c);
}

void check_outputs(Check& c) {
    if (c.run.p.mode == 1) {
        if (same_file("mask.d2d", c.par)) {
            c.error(0, "the output file mask.d2d would replace the input file " + quote(c.par) +
                           ", the parameter file itself; Pelkaro refuses the run");
            return;
        }
        if (output_directory(c, c.line_of(MODE), "mask.d2d", "mask.d2d goes into the working directory",
                             DiagnosticKind::mask_location))
            output_target(c, c.line_of(MODE), "mask.d2d");
        return;
    }
    if (c.run.p.mode != 0 || c.run.sam.empty() || c.line_of_nth(DATS, 0) == 0) return;
    if (c.series && !c.series->own_outputs) return;
    const std::string& first = c.run.sam[0].name;
    const int avgm = c.run.p.average;
    const int line = c.line_of_nth(DATS, 0);
    std::vector<std::string> targets;
    if (avgm == 0 || avgm == 2) targets.push_back(output_name(first, ".d2d"));
    if (avgm == 1 || avgm == 2) targets.push_back(output_name(first, ".d1d"));
    if (targets.empty() || !output_directory(c, line, targets[0], "the outputs go beside the first sample file, into",
                                             DiagnosticKind::output_location))
        return;
    for (const std::string& t : targets) output_target(c, line, t);
}

}  // namespace pk
