// pelkaro-aniso's run: the reduction as Pelkaro makes it (console
// silenced), I(phi) in the ring, the orientation, the sector pairs, and the
// tables and files written.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "aniso_cli.h"
#include "app.h"
#include "pelkaro/files.h"
#include "pelkaro/run.h"
#ifdef PELKARO_WITH_HDF5
#include "pelkaro/aniso_nxcansas.h"
#endif

namespace pk {

namespace {

constexpr const char* kProgram = "pelkaro-aniso";

// The parameter file must be a regular file we can read.
bool param_readable(const AnisoOptions& opt, const Console& err) {
    struct stat st {};
    std::string why;
    if (::stat(opt.param.c_str(), &st) != 0) {
        why = std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        why = "it is not a regular file";
    } else {
        errno = 0;
        pk::FilePtr f(pk::open_regular(opt.param));
        if (!f) why = std::strerror(errno != 0 ? errno : EIO);
    }
    if (why.empty()) return true;
    pk::say(err, "%s: error: cannot read the parameter file %s: %s\n", kProgram, opt.param.c_str(), why.c_str());
    return false;
}

// A failed reduction, as pelkaro-nxcansas reports one: the refused line by
// its number, else Pelkaro's reasons.
int report_failure(const Console& err, const AnisoOptions& opt, const Status& st) {
    if (st.stage == Stage::parameters && st.line > 0) {
        pk::say(err, "%s:%d: error: %s\n", opt.param.c_str(), st.line, st.reason.c_str());
        return 1;
    }
    std::string why = st.reason;
    if (!st.run_reason.empty() && st.run_reason != why) why += why.empty() ? st.run_reason : "; " + st.run_reason;
    pk::say(err, "%s: error: the reduction of %s failed, nothing was written: %s\n", kProgram, opt.param.c_str(),
            why.c_str());
    return 1;
}

// The outputs asked for, none of which may be an input of the run.
bool outputs_refused(const Run& run, const AnisoOptions& opt, const Console& err) {
    std::vector<std::string> inputs{opt.param, run.sens.name, run.dark.name, run.mask.name};
    for (const Data2D& d : run.sam) inputs.push_back(d.name);
    for (const Data2D& d : run.buf) inputs.push_back(d.name);
    for (const std::string* out : {&opt.out, &opt.sector_out, &opt.nxcansas}) {
        if (out->empty()) continue;
        for (const std::string& in : inputs) {
            if (in.empty() || !same_file(*out, in)) continue;
            pk::say(err, "%s: error: the output %s is the input file %s; choose another name\n", kProgram,
                    out->c_str(), in.c_str());
            return true;
        }
    }
    return false;
}

// The reduction of the parameter file, its console silenced.
int reduce_run(const AnisoOptions& opt, Run& run, const Console& err) {
    if (!param_readable(opt, err)) return 1;
    const Console quiet{nullptr, nullptr};
    Status st = prepare_run(opt.param, run, quiet);
    if (!st.ok()) return report_failure(err, opt, st);
    if (run.p.mode != 0) {
        pk::say(err, "%s: error: %s asks for %s (MODE %d), not a reduction; run 'Pelkaro %s' for it\n", kProgram,
                opt.param.c_str(), run.p.mode == 1 ? "the mask file" : "the beam centre", run.p.mode,
                opt.param.c_str());
        return 1;
    }
    if (outputs_refused(run, opt, err)) return 1;
    st = reduce(run, quiet);
    return st.ok() ? 0 : report_failure(err, opt, st);
}

// A table to its file (atomically) or, without a name, to `out`.
bool write_table(const std::string& path, const std::string& text, const Console& out, const Console& err) {
    if (path.empty()) {
        pk::say(out, "%s", text.c_str());
        return true;
    }
    AtomicFile f;
    const bool written = atomic_open(path, f) && std::fputs(text.c_str(), f.f) >= 0;
    if (atomic_finish(f, written)) return true;
    pk::say(err, "%s: error: cannot write %s: %s\n", kProgram, path.c_str(),
            errno != 0 ? std::strerror(errno) : "the file could not be completed");
    return false;
}

// What the program found, each part with what it is made of.
struct Analysis {
    AzimuthProfile profile;
    Orientation orient;
    Status orient_status;
    SectorPairs pairs;
};

// I(phi), the orientation and the sector pairs of the reduced image.
int analyse(const AnisoOptions& opt, const Run& run, Analysis& a, const Console& err) {
    Status st = azimuthal_profile(run.p, run.reduced, run.mask, opt.ring, opt.bins, a.profile);
    if (!st.ok()) {
        pk::say(err, "%s: error: %s: %s\n", kProgram, opt.param.c_str(), st.reason.c_str());
        return 1;
    }
    a.orient_status = orientation(a.profile, a.orient);
    if (!a.orient_status.ok())
        pk::say(err, "%s: warning: %s: %s\n", kProgram, opt.param.c_str(), a.orient_status.reason.c_str());
    if (opt.width == 0) return 0;
    if (!opt.axis_given && !a.orient_status.ok()) {
        pk::say(err, "%s: error: the sectors' axis is the fitted phi0, which is not defined here; give "
                     "--sector-axis\n", kProgram);
        return 1;
    }
    st = sector_pairs(run.p, run.reduced, run.mask, opt.axis_given ? opt.axis : a.orient.phi0, opt.width, a.pairs);
    if (!st.ok()) {
        pk::say(err, "%s: error: %s: %s\n", kProgram, opt.param.c_str(), st.reason.c_str());
        return 1;
    }
    return 0;
}

int write_outputs(const AnisoOptions& opt, const Run& run, const Analysis& a, const Console& out,
                  const Console& err) {
    const bool oriented = a.orient_status.ok();
    const std::string table = azimuth_table(a.profile, oriented ? &a.orient : nullptr, a.orient_status.reason);
    if (!write_table(opt.out, table, out, err)) return 1;
    if (opt.width > 0 && !write_table(opt.sector_out, sector_table(a.pairs), out, err)) return 1;
#ifdef PELKARO_WITH_HDF5
    if (!opt.nxcansas.empty()) {
        const Status st = write_aniso_file(run, a.profile, oriented ? &a.orient : nullptr,
                                           opt.width > 0 ? &a.pairs : nullptr, opt.nxcansas);
        if (!st.ok()) {
            pk::say(err, "%s: error: %s\n", kProgram, st.reason.c_str());
            return 1;
        }
    }
#else
    (void)run;
#endif
    return 0;
}

int run_program(const AnisoOptions& opt, const Console& out, const Console& err) {
    Run run;
    int status = reduce_run(opt, run, err);
    if (status != 0) return status;
    Analysis a;
    status = analyse(opt, run, a, err);
    if (status != 0) return status;
    return write_outputs(opt, run, a, out, err);
}

}  // namespace

int aniso_main(int argc, const char* const* argv, const Console& out, const Console& err) {
    AnisoOptions opt;
    std::string why;
    switch (parse_aniso_args(argc, argv, opt, why)) {
        case AnisoCli::help: pk::say(out, "%s", aniso_usage().c_str()); return 0;
        case AnisoCli::version: pk::say(out, "%s %s\n", kProgram, PELKARO_VERSION); return 0;
        case AnisoCli::bad:
            pk::say(err, "%s: %s\nTry '%s --help' for more information.\n", kProgram, why.c_str(), kProgram);
            return 2;
        case AnisoCli::run: break;
    }
    try {
        return run_program(opt, out, err);
    } catch (const std::bad_alloc&) {
        pk::say(err, "%s: error: out of memory\n", kProgram);
    } catch (const std::exception& e) {
        pk::say(err, "%s: error: internal error (%s)\n", kProgram, e.what());
    }
    return 1;
}

}  // namespace pk
