// The sensitivity measured on flat-scatterer runs (pelkaro/flat_field.h):
// each run read, freed of dead time and dark current and put per monitor
// count, its beam stop's shadow found, the runs summed where they see a
// pixel, the scatterer's own attenuation divided out, the dead and hot
// pixels found by the shared rule, and the values scaled for the file.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "pelkaro/attenuation.h"
#include "pelkaro/flat_field.h"
#include "pelkaro/trans.h"
#include "trans_steps.h"

namespace pk {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kLeastScale = 100.0;  // written values per unit: rounding stays below 0.5 %
constexpr double kMostScale = 1e8;     // and the best pixels within a 32-bit count

Status refuse(const std::string& why) { return failure(Stage::sensitivity, Code::bad_contents, why); }

// One run's net counts and their variance, pixel by pixel.
struct NetRun {
    std::vector<double> net, var;
    double monitor = 0.0, time = 0.0;
};

// Reads a run or the dark current and corrects its dead time; `factor`
// gets the dead-time factor.
Status read_run(const FlatRun& r, bool dark, double tau, BeamImage& im, double& factor) {
    Status st = read_beam_image(r.file, r.time, r.monitor, dark, im);
    double total = 0.0;
    for (double c : im.counts) total += c;
    if (st.ok()) st = dead_time_factor(total, im.time, tau, factor);
    if (!st.ok()) {
        if (st.reason.compare(0, r.file.size(), r.file) != 0) st.reason = r.file + ": " + st.reason;
        return st;
    }
    for (double& c : im.counts) c *= factor;
    return ok_status();
}

// The run's counts less the dark current scaled by counting time.
Status net_run(const FlatRun& r, const BeamImage& dark, double tau, const Data2D& mask, NetRun& out) {
    BeamImage im;
    double factor = 1.0;
    if (Status st = read_run(r, false, tau, im, factor); !st.ok()) return st;
    const double scale = dark.counts.empty() ? 0.0 : im.time / dark.time;
    out = NetRun{std::vector<double>(kDetPixels), std::vector<double>(kDetPixels), im.monitor, im.time};
    double in_use = 0.0;
    for (std::size_t k = 0; k < static_cast<std::size_t>(kDetPixels); ++k) {
        const double d = dark.counts.empty() ? 0.0 : dark.counts[k];
        out.net[k] = im.counts[k] - scale * d;
        out.var[k] = factor * im.counts[k] + scale * scale * d;
        if (pixel_used(mask.intens[k])) in_use += out.net[k];
    }
    if (!(in_use > 0))
        return refuse(format("%s: the pixels in use count nothing above the dark current: not a flat-scatterer run",
                             r.file.c_str()));
    return ok_status();
}

// Marks the pixels the run's beam stop shadows (within the shadow's radius
// plus kShadowMargin of its centre).
Status shadow_of(const FlatRun& r, const NetRun& run, BeamStopShadow& found, std::vector<char>& shadowed) {
    Data2D image;
    image.intens.assign(run.net.begin(), run.net.end());
    Status st = find_beam_stop_shadow(image, found);
    if (!st.ok()) {
        st.reason = r.file + ": " + st.reason;
        return st;
    }
    shadowed.assign(kDetPixels, 0);
    const double reach = found.radius + kShadowMargin;
    for (int k = 0; k < kDetPixels; ++k)
        if (std::hypot(k % kDetSide + 0.5 - found.x, k / kDetSide + 0.5 - found.y) <= reach)
            shadowed[static_cast<std::size_t>(k)] = 1;
    return ok_status();
}

// cos 2theta of the pixel's centre.
double cos_angle(const Param& p, int k) {
    const double dx = (k % kDetSide + 0.5 - static_cast<double>(p.bx)) * static_cast<double>(p.px);
    const double dy = (k / kDetSide + 0.5 - static_cast<double>(p.by)) * static_cast<double>(p.py);
    const double L = p.sam2det;
    return L / std::sqrt(L * L + dx * dx + dy * dy);
}

// The runs' sums where they see a pixel: per monitor count, with variance.
struct Summed {
    std::vector<double> rate, rate_var;
    std::vector<char> seen;
};

Summed sum_runs(const std::vector<NetRun>& runs, const std::vector<std::vector<char>>& shadowed) {
    Summed s{std::vector<double>(kDetPixels, 0.0), std::vector<double>(kDetPixels, 0.0),
             std::vector<char>(kDetPixels, 0)};
    for (std::size_t k = 0; k < static_cast<std::size_t>(kDetPixels); ++k) {
        double net = 0.0, var = 0.0, monitor = 0.0;
        for (std::size_t i = 0; i < runs.size(); ++i) {
            if (shadowed[i][k]) continue;
            net += runs[i].net[k];
            var += runs[i].var[k];
            monitor += runs[i].monitor;
        }
        if (!(monitor > 0)) continue;
        s.seen[k] = 1;
        s.rate[k] = net / monitor;
        s.rate_var[k] = var / (monitor * monitor);
    }
    return s;
}

// Refuses, when several runs are to fill each other's shadows, a pixel in
// use that none of them sees.
Status check_filled(const SensitivityRequest& req, const Summed& s) {
    if (req.runs.size() < 2) return ok_status();
    for (int k = 0; k < kDetPixels; ++k) {
        const auto i = static_cast<std::size_t>(k);
        if (!pixel_used(req.mask.intens[i]) || s.seen[i]) continue;
        std::string names;
        for (const FlatRun& r : req.runs) names += (names.empty() ? "" : ", ") + r.file;
        return refuse(format("the beam stop's shadows of %s overlap: no run sees pixel (%d, %d); move the beam stop "
                             "farther between the runs",
                             names.c_str(), k % kDetSide, k / kDetSide));
    }
    return ok_status();
}

// Every run less the dark current, and its beam stop's shadow.
Status read_runs(const SensitivityRequest& req, std::vector<NetRun>& runs, std::vector<std::vector<char>>& shadowed,
                 Sensitivity& out) {
    BeamImage dark;
    double factor = 1.0;
    if (req.with_dark)
        if (Status st = read_run(req.dark, true, req.dead_time, dark, factor); !st.ok()) return st;
    for (const FlatRun& r : req.runs) {
        runs.emplace_back();
        shadowed.emplace_back();
        out.shadows.emplace_back();
        if (Status st = net_run(r, dark, req.dead_time, req.mask, runs.back()); !st.ok()) return st;
        if (Status st = shadow_of(r, runs.back(), out.shadows.back(), shadowed.back()); !st.ok()) return st;
        out.time += runs.back().time;
        out.monitor += runs.back().monitor;
    }
    return ok_status();
}

Status check_request(const SensitivityRequest& req) {
    if (req.runs.empty()) return refuse("no flat-scatterer run given");
    if (!(req.transmission > 0 && req.transmission <= 1))
        return refuse(format("the scatterer's transmission %g is not above 0 and at most 1", req.transmission));
    if (req.mask.intens.size() < static_cast<std::size_t>(kDetPixels))
        return refuse("the mask holds fewer values than the detector has pixels");
    if (!(req.p.sam2det > 0) || !(req.p.px > 0) || !(req.p.py > 0))
        return refuse("the geometry needs a distance and pixel spacings above 0");
    return ok_status();
}

// The efficiencies (solid angle and attenuation divided out) before
// normalisation, and the pixels' fates but the dead and hot ones.
void raw_efficiencies(const SensitivityRequest& req, const Summed& s, std::vector<double>& flat, Sensitivity& out) {
    out.fate.assign(kDetPixels, PixelFate::good);
    flat.assign(kDetPixels, 0.0);
    out.efficiency.assign(kDetPixels, 0.0);
    for (int k = 0; k < kDetPixels; ++k) {
        const auto i = static_cast<std::size_t>(k);
        const double c = cos_angle(req.p, k), share = slab_attenuation(req.transmission, c);
        flat[i] = s.seen[i] ? s.rate[i] / share : 0.0;
        out.efficiency[i] = flat[i] / (c * c * c);
        if (!pixel_used(req.mask.intens[i])) out.fate[i] = PixelFate::masked;
        else if (!s.seen[i]) out.fate[i] = PixelFate::unseen;
        if (out.fate[i] == PixelFate::masked) continue;
        const double angle = std::acos(c) * 180.0 / kPi;
        if (angle > out.widest_angle) {
            out.widest_angle = angle;
            out.widest_correction = 1.0 / share;
        }
    }
}

// The shared rule on the efficiencies of the pixels in use and seen.
void find_dead_and_hot(Sensitivity& out) {
    Data2D eff, judged;
    eff.intens.assign(out.efficiency.begin(), out.efficiency.end());
    judged.intens.assign(kDetPixels, 0.0f);
    for (std::size_t i = 0; i < static_cast<std::size_t>(kDetPixels); ++i)
        if (out.fate[i] == PixelFate::good) judged.intens[i] = 1.0f;
    for (int k : dead_or_hot_pixels(eff, judged)) out.fate[static_cast<std::size_t>(k)] = PixelFate::dead_or_hot;
}

double median_of(std::vector<double> v) {
    if (v.empty()) return 0.0;
    const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    return *mid;
}

// Normalises to mean 1 over the good pixels, with the uncertainties, the
// spread and the counts of each fate.
// `mean` gets the mean they are normalised by.
Status normalise(const Summed& s, const std::vector<double>& flat, Sensitivity& out, double& mean) {
    double sum = 0.0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(kDetPixels); ++i)
        if (out.fate[i] == PixelFate::good) sum += out.efficiency[i], ++out.good;
    mean = out.good > 0 ? sum / out.good : 0.0;
    if (out.good == 0 || !(mean > 0) || !std::isfinite(mean))
        return refuse("no pixel in use gives an efficiency: every one is masked, shadowed, dead or hot");
    out.sigma.assign(kDetPixels, 0.0);
    std::vector<double> sigmas, counts;
    double sq = 0.0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(kDetPixels); ++i) {
        out.efficiency[i] /= mean;
        const double rel = s.rate[i] != 0 ? std::sqrt(s.rate_var[i]) / std::fabs(s.rate[i]) : 0.0;
        out.sigma[i] = std::fabs(out.efficiency[i]) * rel;
        out.dead_or_hot += out.fate[i] == PixelFate::dead_or_hot;
        out.unseen += out.fate[i] == PixelFate::unseen;
        out.masked += out.fate[i] == PixelFate::masked;
        if (out.fate[i] != PixelFate::good) continue;
        sq += (out.efficiency[i] - 1.0) * (out.efficiency[i] - 1.0);
        sigmas.push_back(out.sigma[i]);
        if (rel > 0) counts.push_back(1.0 / (rel * rel) / (flat[i] / mean));  // effective counts per unit
    }
    out.spread = std::sqrt(sq / out.good);
    out.median_sigma = median_of(sigmas);
    out.scale = std::clamp(median_of(counts), kLeastScale, kMostScale);
    return ok_status();
}

// The file's values: the sensitivity (solid angle kept) in whole units of
// the scale; 0 where a pixel is dead, hot or unseen.
void written_values(const std::vector<double>& flat, double mean, Sensitivity& out) {
    out.written.assign(kDetPixels, 0);
    for (std::size_t i = 0; i < static_cast<std::size_t>(kDetPixels); ++i) {
        if (out.fate[i] == PixelFate::dead_or_hot || out.fate[i] == PixelFate::unseen) continue;
        const double v = std::round(out.scale * flat[i] / mean);
        out.written[i] = v > 0 && v < 2e9 ? static_cast<long long>(v) : 0;
    }
}

}  // namespace

Status make_sensitivity(const SensitivityRequest& req, Sensitivity& out) {
    out = Sensitivity{};
    if (Status st = check_request(req); !st.ok()) return st;
    std::vector<NetRun> runs;
    std::vector<std::vector<char>> shadowed;
    if (Status st = read_runs(req, runs, shadowed, out); !st.ok()) return st;
    const Summed s = sum_runs(runs, shadowed);
    if (Status st = check_filled(req, s); !st.ok()) return st;
    std::vector<double> flat;
    raw_efficiencies(req, s, flat, out);
    find_dead_and_hot(out);
    double mean = 0.0;
    if (Status st = normalise(s, flat, out, mean); !st.ok()) return st;
    written_values(flat, mean, out);
    return ok_status();
}

std::string sensitivity_file_text(const Sensitivity& s, const std::string& origin) {
    std::string text = "# Detector sensitivity (flat field) made by " + origin + "\n";
    text += format("# Efficiency times the pixel's solid angle (cos^3 2theta), the scatterer's attenuation divided "
                   "out; %.6g per unit of efficiency on the beam axis, so that the square root of a value is its "
                   "uncertainty.  0: a dead, hot or unseen pixel.\n",
                   s.scale);
    // The tags as whole numbers a detector file can hold (Pelkaro does not use them for a flat field).
    if (s.time <= 2147483647.0) text += format("<time>%.0f</time>\n", s.time);
    if (s.monitor <= 2147483647.0) text += format("<monitor>%.0f</monitor>\n", s.monitor);
    for (int k = 0; k < kDetPixels; ++k) {
        text += std::to_string(s.written[static_cast<std::size_t>(k)]);
        text += k % kDetSide == kDetSide - 1 ? '\n' : '\t';
    }
    return text;
}

}  // namespace pk
