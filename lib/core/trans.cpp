// The whole measurement of pelkaro-trans, for the program and the Python
// module alike (pelkaro/trans.h): the order of the steps (trans_steps.cpp),
// what each refusal is called, and the lines and table the program prints.
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "pelkaro/run.h"
#include "trans_steps.h"

namespace pk {

namespace {

const Console kSilent{nullptr, nullptr};

// Why a detector file could not be read, for a reader's refusal to open it.
std::string reason(const Status& st, const std::string& file) {
    if (st.code != Code::cannot_read) return st.reason;
    struct stat s {};
    if (::stat(file.c_str(), &s) != 0) return file + ": " + std::strerror(errno);
    if (!S_ISREG(s.st_mode)) return file + " is not a regular file";
    return file + " cannot be read";
}

void refused(TransResult& r, const Status& st, std::string text, const std::string& file, int run = -1) {
    r.notes.push_back(TransNote{false, st, std::move(text), file, run});
}

// What the parameter file and the dark current give every run.
struct Inputs {
    BeamImage dark;     // no counts: no dark current
    FlatField flat;     // no flat: none known
    bool scale = true;  // the parameter file has what the absolute scale needs
    double dead_time = 0.0;  // the request's, for the runs measured against the empty beam later
};

Status read_parameter_file(const TransRequest& q, Run& run) {
    if (!q.par_in_memory) return prepare_run(q.par, run, kSilent);
    read_param_text(q.par, q.par_text, run.file);
    run.held = q.held;
    return prepare_run(run, kSilent);
}

// The flat field with its mask and geometry; none when it cannot be read.
void read_flat_field(const TransRequest& q, const Run& run, Inputs& in, TransResult& r) {
    Status flat = load_flat_field(run.p, run.sens.name, run.mask.name, in.flat, q.held);
    Efficiencies e;  // the flat field and geometry give efficiencies (the centre hardly matters)
    if (flat.ok()) flat = efficiencies(in.flat, 0.5 * kDetSide, 0.5 * kDetSide, e);
    if (flat.ok()) return;
    in.flat = FlatField{};
    refused(r, flat,
            "the flat field of " + q.par + ": " + reason(flat, run.sens.name) + "; the centre is measured without it" +
                (q.attenuation > 0 || q.standard_given ? " and no ABSF is given" : ""),
            run.sens.name);
    in.scale = false;
}

// Reads the parameter file: the dark current (unless one is given) and the
// flat field with its mask and geometry.  False when it cannot be read.
bool read_parameters(const TransRequest& q, Inputs& in, BeamRun& dark, bool& with_dark, TransResult& r) {
    if (q.par.empty()) return true;
    Run run;
    const Status st = read_parameter_file(q, run);
    if (!st.ok()) {
        // A file the parameter file names is its line's refusal, not the parameter file's own.
        const bool own = st.code == Code::cannot_read && st.line == 0;
        refused(r, st, (own ? reason(st, q.par) : q.par + ": " + st.reason) + "; nothing measured", q.par);
        return false;
    }
    const auto has = [&run](int kw) { return (run.log.seen >> kw & 1u) != 0; };
    if (!q.dark_given && run.dark.tm > 0) {
        dark = BeamRun{run.dark.name, static_cast<double>(run.dark.tm), 0.0, ""};
        with_dark = true;
    }
    for (const int kw : {PXSP, SM2D, SENS}) {
        if ((q.attenuation > 0 || q.standard_given) && !has(kw)) {
            const std::string why =
                q.par + " has no " + keyword_name(kw) + " line, which the absolute scale (ABSF) needs";
            Status missing = failure(Stage::parameters, Code::missing_keyword, why);
            missing.keyword = kw;
            refused(r, missing, why, q.par);
            in.scale = false;
        }
    }
    if (has(SENS)) read_flat_field(q, run, in, r);
    return true;
}

// The parameter file and the dark current; false when nothing can be measured.
bool read_inputs(const TransRequest& q, Inputs& in, TransResult& r) {
    BeamRun dark = q.dark;
    bool with_dark = q.dark_given;
    in.dead_time = q.dead_time;
    if (!read_parameters(q, in, dark, with_dark, r)) return false;
    if (!with_dark) return true;
    Status st = read_beam_image(dark.file, dark.time, 0.0, true, in.dark, q.held);
    if (st.ok()) st = correct_dead_time(in.dark, q.dead_time);
    if (st.ok()) return true;
    refused(r, st, "the dark current: " + reason(st, dark.file) + "; nothing measured", dark.file);
    return false;
}

// The centre and the disc on the empty beam, and its sums over the disc;
// false when the empty beam cannot be used.
bool measure_empty(const TransRequest& q, const Inputs& in, BeamImage& empty, DiscCounts& sums, TransResult& r) {
    Status st = read_beam_image(q.empty.file, q.empty.time, q.empty.monitor, false, empty, q.held);
    if (st.ok()) st = correct_dead_time(empty, q.dead_time);
    if (st.ok()) st = beam_centre(empty, in.dark, in.flat, r.centre);
    r.radius_given = q.radius > 0;
    if (st.ok() && r.radius_given) r.disc = Disc{r.centre.x, r.centre.y, q.radius};
    else if (st.ok()) st = default_disc(empty, in.dark, r.centre, kDiscShare, r.disc);
    if (st.ok()) st = check_disc(r.disc);
    if (st.ok()) {
        sums = disc_counts(empty, in.dark, r.disc);
        st = check_empty_beam(sums, empty.name);
    }
    if (st.ok()) return true;
    refused(r, st, "the empty beam: " + reason(st, q.empty.file) + "; nothing measured", q.empty.file);
    return false;
}

// The transmission of every run that can be used.
void measure_runs(const TransRequest& q, const Inputs& in, const DiscCounts& empty, TransResult& r) {
    for (std::size_t k = 0; k < q.runs.size(); ++k) {
        const BeamRun& arg = q.runs[k];
        BeamImage run;
        Status st = read_beam_image(arg.file, arg.time, arg.monitor, false, run, q.held);
        if (st.ok()) st = correct_dead_time(run, in.dead_time);
        Measured t;
        DiscCounts sums;
        if (st.ok()) sums = disc_counts(run, in.dark, r.disc);
        if (st.ok()) st = transmission(sums, empty, arg.file, t);
        if (!st.ok()) {
            refused(r, st, reason(st, arg.file), arg.file, static_cast<int>(k));
            continue;
        }
        if (sums.net() < kFewestDiscCounts)
            r.notes.push_back(TransNote{
                true, ok_status(),
                pk::format("%s: %g net counts in the disc (the empty beam %g): the transmission %s rests on almost "
                           "no counts (is the beam shut, or is it the right run?)",
                           arg.file.c_str(), sums.net(), empty.net(), transmission_text(t.value, t.sigma, " +- ").c_str()),
                arg.file, static_cast<int>(k)});
        if (t.value > 1 + kAboveOneSigmas * t.sigma)
            r.notes.push_back(TransNote{
                true, ok_status(),
                pk::format("%s: the transmission %.4f +- %.4f is above 1 by %.1f standard deviations: more counts "
                           "per monitor count than the empty beam",
                           arg.file.c_str(), t.value, t.sigma, (t.value - 1) / t.sigma),
                arg.file, static_cast<int>(k)});
        r.runs.push_back(TransRun{k, t, transmission_shares(sums, empty, t)});
    }
}

// The absolute scale from the secondary standard, measured as a sample is.
void measure_standard(const TransRequest& q, const Inputs& in, TransResult& r) {
    const BeamRun& run = q.standard.run;
    StandardRun standard = q.standard;
    if (!standard.curve_file.empty()) {
        const Status curve = read_cross_section_curve(standard.curve_file, standard);
        if (!curve.ok()) return refused(r, curve, "the standard's cross-section: " + curve.reason, standard.curve_file);
    }
    BeamImage image;
    Status st = read_beam_image(run.file, run.time, run.monitor, false, image, q.held);
    if (st.ok()) st = correct_dead_time(image, q.dead_time);
    if (st.ok()) st = standard_scale(standard, image, in.dark, r.centre, in.flat, r.absf);
    r.scaled = r.from_standard = st.ok();
    // Measured on a run of its own: none of its uncertainty is the empty beam's.
    if (r.scaled) r.absf.shares = SigmaShares{0.0, 0.0, r.absf.sigma};
    if (!r.scaled) refused(r, st, "the absolute scale from the standard: " + reason(st, run.file), run.file);
}

void measure_scale(const TransRequest& q, const Inputs& in, const BeamImage& empty, const DiscCounts& sums,
                   TransResult& r) {
    if (q.standard_given && in.scale) measure_standard(q, in, r);
    if (q.standard_given) return;
    if (!(q.attenuation > 0) || !in.scale) return;
    const Status st = absolute_scale(empty, in.dark, r.centre, in.flat, q.attenuation, r.absf);
    r.scaled = st.ok();
    if (r.scaled) scale_shares(empty, in.dark, r.centre, in.flat, r.disc, sums, r.absf);
    if (!r.scaled) refused(r, st, "the absolute scale: " + st.reason, q.empty.file);
}

}  // namespace

bool TransResult::failed() const {
    for (const TransNote& n : notes)
        if (!n.warning) return true;
    return false;
}

namespace {

// The parameter file, the dark current and the empty beam's centre and
// disc; false with the refusal noted when nothing can be measured.
bool measure_inputs(const TransRequest& req, Inputs& in, BeamImage& empty, DiscCounts& sums, TransResult& r) {
    if (!read_inputs(req, in, r) || !measure_empty(req, in, empty, sums, r)) return false;
    r.measured = true;
    return true;
}

}  // namespace

TransResult measure_direct_beams(const TransRequest& req) {
    TransResult r;
    Inputs in;
    BeamImage empty;
    DiscCounts sums;
    if (!measure_inputs(req, in, empty, sums, r)) return r;
    measure_runs(req, in, sums, r);
    measure_scale(req, in, empty, sums, r);
    return r;
}

struct EmptyBeam::Sums {
    Inputs in;
    DiscCounts empty;
};

EmptyBeam measure_empty_beam(const TransRequest& req) {
    EmptyBeam e;
    TransResult& r = e.result;
    Inputs in;
    BeamImage empty;
    DiscCounts sums;
    if (!measure_inputs(req, in, empty, sums, r)) return e;
    measure_scale(req, in, empty, sums, r);
    e.sums = std::make_shared<const EmptyBeam::Sums>(EmptyBeam::Sums{std::move(in), sums});
    return e;
}

TransResult measure_beam_runs(const EmptyBeam& empty, const TransRequest& req) {
    TransResult r;
    if (!empty.sums) return r;
    r.measured = true;
    r.centre = empty.result.centre;
    r.disc = empty.result.disc;
    r.radius_given = empty.result.radius_given;
    measure_runs(req, empty.sums->in, empty.sums->empty, r);
    return r;
}

Status compare_transmission(double given, const Measured& measured, TransAgreement& out) {
    out = TransAgreement{};
    if (!(measured.sigma > 0) || !std::isfinite(measured.sigma) || !std::isfinite(measured.value))
        return failure(Stage::transmission, Code::bad_contents,
                       "a measured transmission needs an uncertainty that is a finite number above 0");
    out.sigmas = std::fabs(given - measured.value) / measured.sigma;
    out.disagrees = out.sigmas > kDisagreeSigmas;
    out.percent = out.disagrees && std::fabs(given / 100 - measured.value) <= kDisagreeSigmas * measured.sigma;
    return ok_status();
}

std::string transmission_text(double value, double sigma, const char* between) {
    int decimals = 6;
    while (decimals < 14 && !(sigma >= std::pow(10.0, 1 - decimals))) ++decimals;
    if (!(sigma >= std::pow(10.0, 1 - decimals))) return format("%.6e%s%.6e", value, between, sigma);
    return format("%.*f%s%.*f", decimals, value, between, decimals, sigma);
}

std::string trans_text(const TransRequest& req, const TransResult& r) {
    const char* const e = req.empty.file.c_str();
    std::string s = r.radius_given
                        ? format("# disc of radius %.4f pixels (--radius) about the centre of %s\n", r.disc.radius, e)
                        : format("# disc of radius %.4f pixels about the centre of %s: the smallest that holds %g %% of "
                                 "its net counts\n",
                                 r.disc.radius, e, 100 * kDiscShare);
    for (const TransRun& l : r.runs) {
        const BeamRun& run = req.runs[l.run];
        s += run.file + "  " + transmission_text(l.t.value, l.t.sigma);
        if (!run.datafile.empty()) s += "  " + run.datafile;
        s += "\n";
    }
    s += format("CNTR %.3f %.3f\n# beam centre uncertainty %.2g %.2g pixels\n", r.centre.x, r.centre.y, r.centre.sx,
                r.centre.sy);
    if (!r.scaled) return s;
    if (r.from_standard)
        return s + format("ABSF %.6g\n# ABSF uncertainty %.2g: from the standard %s (%d pixels), its counting "
                          "statistics and cross-section\n",
                          r.absf.value, r.absf.sigma, req.standard.run.file.c_str(), r.absf.around);
    s += format("ABSF %.6g\n# ABSF uncertainty %.2g: counting statistics", r.absf.value, r.absf.sigma);
    if (r.absf.stand_ins > 0)
        s += format(", and %d pixels about the beam (%.1f %% of its counts) whose efficiency the flat field does not "
                    "give, taken as the mean of %d about them",
                    r.absf.stand_ins, 100 * r.absf.stand_in_share, r.absf.around);
    return s + "\n";
}

namespace {

// The shares of an uncertainty as the table's last three columns.
std::string shares_text(const SigmaShares& s) {
    return format("\t%.9g\t%.9g\t%.9g", s.empty_beam, s.dark_current, s.own);
}

}  // namespace

std::string trans_tsv(const TransRequest& req, const TransResult& r) {
    std::string s = "quantity\tfile\tvalue\tsigma\tdatafile\tsigma_empty_beam\tsigma_dark_current\tsigma_own\n";
    for (const TransRun& l : r.runs) {
        const BeamRun& run = req.runs[l.run];
        s += format("transmission\t%s\t%.9g\t%.9g\t%s", run.file.c_str(), l.t.value, l.t.sigma, run.datafile.c_str()) +
             shares_text(l.shares) + "\n";
    }
    const char* const e = req.empty.file.c_str();
    s += format("centre_x\t%s\t%.9g\t%.9g\t\t\t\t\ncentre_y\t%s\t%.9g\t%.9g\t\t\t\t\nradius\t%s\t%.9g\t\t\t\t\t\n", e,
                r.centre.x, r.centre.sx, e, r.centre.y, r.centre.sy, e, r.disc.radius);
    if (r.scaled) s += format("absf\t%s\t%.9g\t%.9g\t", e, r.absf.value, r.absf.sigma) + shares_text(r.absf.shares) + "\n";
    return s;
}

}  // namespace pk
