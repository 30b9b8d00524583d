// Direct-beam runs: the beam centre, the disc about it, the transmission of
// each run and the absolute scale factor (trans_steps.h).
//
// Every sum runs in double over the counts as read.  A pixel's net count is
// its count less the dark current's, scaled by the ratio of counting times;
// its variance is the sum of the two counts' (the dark current's scaled by
// the square of that ratio).
#include "trans_steps.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "pelkaro/files.h"
#include "pelkaro/flat_field.h"
#include "geometry.h"
#include "held_image.h"
#include "mask_gen.h"
#include "read_sans.h"
#include "sens_cor.h"

namespace pk {

namespace {

Status refuse(Code code, const std::string& what) {
    return failure(Stage::transmission, code, "transmission", what);
}

const Console kSilent{nullptr, nullptr};
constexpr std::size_t kPixels = kDetPixels;

Status not_sized(const std::string& name) {
    return refuse(Code::no_values, pk::format("%s or its dark current does not hold one count per pixel (%d)",
                                              name.c_str(), kDetPixels));
}

// The net counts of one run: its counts less the dark current scaled to its
// counting time.
struct Net {
    const BeamImage& run;
    const BeamImage& dark;
    double scale;  // counting time of the run over the dark current's; 0 without dark current
    bool sized;    // both hold one count per pixel (or no dark current)

    Net(const BeamImage& r, const BeamImage& d)
        : run(r), dark(d), scale(d.counts.empty() || !(d.time > 0) ? 0.0 : r.time / d.time),
          sized(r.counts.size() == kPixels && (d.counts.empty() || d.counts.size() == kPixels)) {}
    double dark_at(std::size_t k) const { return scale > 0 ? dark.counts[k] : 0.0; }
    double value(std::size_t k) const { return run.counts[k] - scale * dark_at(k); }
    double var(std::size_t k) const { return run.counts[k] + scale * scale * dark_at(k); }
};

// Calls f(k, x, y) for every pixel whose centre (x, y) lies within r of
// (cx, cy), row by row.
template <class F>
void for_disc(double cx, double cy, double r, F f) {
    if (!(r >= 0) || !std::isfinite(cx) || !std::isfinite(cy)) return;
    // Bounds clamped before they become whole numbers, whatever r and the centre.
    const auto index = [](double v) { return static_cast<int>(std::clamp(v, -1.0, double{kDetSide})); };
    const auto first = [&](double c) { return std::max(0, index(std::floor(c - r - 0.5))); };
    const auto last = [&](double c) { return std::min(kDetSide - 1, index(std::ceil(c + r))); };
    const double r2 = r * r;
    for (int j = first(cy); j <= last(cy); ++j) {
        const double y = j + 0.5, dy = y - cy;
        for (int i = first(cx); i <= last(cx); ++i) {
            const double x = i + 0.5, dx = x - cx;
            if (dx * dx + dy * dy <= r2) f(static_cast<std::size_t>(i + kDetSide * j), x, y);
        }
    }
}

// The efficiency a pixel's net count is divided by: the flat field's where
// it gives one, else `otherwise`.
double usable(const Efficiencies& e, std::size_t k, double otherwise = 1.0) {
    return !e.known.empty() && e.known[k] ? e.value[k] : otherwise;
}

// The pixel whose 3 x 3 neighbourhood holds the most net counts, and that sum.
std::pair<int, double> find_peak(const Net& n) {
    int best = -1;
    double most = 0.0;
    for (int j = 1; j < kDetSide - 1; ++j)
        for (int i = 1; i < kDetSide - 1; ++i) {
            double sum = 0.0;
            for (int b = -1; b <= 1; ++b)
                for (int a = -1; a <= 1; ++a) sum += n.value(static_cast<std::size_t>(i + a + kDetSide * (j + b)));
            if (best < 0 || sum > most) {
                best = i + kDetSide * j;
                most = sum;
            }
        }
    return {best, most};
}

// The window about the peak: three times the radius of a disc with the area
// of the pixels above half the peak's mean, and three pixels more; at most
// half the detector.
double window_radius(const Net& n, double peak_mean) {
    int above = 0;
    for (std::size_t k = 0; k < static_cast<std::size_t>(kDetPixels); ++k)
        if (n.value(k) > 0.5 * peak_mean) ++above;
    const double half_radius = std::sqrt(above / 3.141592653589793);
    return std::min(0.5 * kDetSide, 3.0 * half_radius + 3.0);
}

// The mean net count per pixel in the ring from r to r + 4 pixels about
// (cx, cy), and the variance of that mean; 0 where the ring is off the
// detector.
void ring_background(const Net& n, double cx, double cy, double r, double& mean, double& var) {
    double sum = 0.0, sum_var = 0.0;
    int count = 0;
    const double r2 = r * r;
    for_disc(cx, cy, r + 4.0, [&](std::size_t k, double x, double y) {
        if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= r2) return;
        sum += n.value(k);
        sum_var += n.var(k);
        ++count;
    });
    mean = count > 0 ? sum / count : 0.0;
    var = count > 0 ? sum_var / (static_cast<double>(count) * count) : 0.0;
}

// Moves the centre to the centroid of the window about it until it stays,
// then works out its uncertainty and the net counts in the window.
Status centroid(const Net& n, const Efficiencies& e, BeamCentre& c) {
    double sw = 0.0;
    for (int it = 0; it < 100; ++it) {
        double sx = 0.0, sy = 0.0;
        sw = 0.0;
        for_disc(c.x, c.y, c.window, [&](std::size_t k, double x, double y) {
            const double w = (n.value(k) - c.background) / usable(e, k);
            sw += w;
            sx += w * x;
            sy += w * y;
        });
        if (!(sw > 0) || !std::isfinite(sw))
            return refuse(Code::no_pixels, pk::format("%s holds no net counts in the %.1f-pixel window about its peak "
                                                      "once the dark current and the background are taken off",
                                                      n.run.name.c_str(), c.window));
        const double moved = std::hypot(sx / sw - c.x, sy / sw - c.y);
        c.x = sx / sw;
        c.y = sy / sw;
        if (moved < 1e-9) break;
    }
    double vx = 0.0, vy = 0.0;
    c.net = 0.0;
    for_disc(c.x, c.y, c.window, [&](std::size_t k, double x, double y) {
        const double u = usable(e, k), var = n.var(k) / (u * u);
        vx += (x - c.x) * (x - c.x) * var;
        vy += (y - c.y) * (y - c.y) * var;
        c.net += n.value(k) - c.background;
    });
    c.sx = std::sqrt(vx) / sw;
    c.sy = std::sqrt(vy) / sw;
    return ok_status();
}

// The words of a token from a file, as shown in a message: printable
// ASCII, at most 24 characters.
std::string shown(const std::string& token) {
    std::string s = token.substr(0, 24);
    for (char& ch : s)
        if (static_cast<unsigned char>(ch) < 0x20 || static_cast<unsigned char>(ch) > 0x7e) ch = '?';
    return token.size() > 24 ? s + "..." : s;
}

// A line of values as Pelkaro's reader sees one (its first character a
// digit) or as a person means one (every field a number, as "nan 3 4"):
// the first field that is not a count (digits only), "" when every one is.
std::string not_a_count(const std::string& line) {
    std::vector<std::string> fields;
    std::string field;
    for (const char ch : line + " ") {
        if (ch == ' ' || ch == '\t' || ch == '\r' || ch == ',' || ch == ';') {
            if (!field.empty()) fields.push_back(field);
            field.clear();
        } else {
            field += ch;
        }
    }
    const auto digits = [](const std::string& f) { return f.find_first_not_of("0123456789") == std::string::npos; };
    const auto number = [](const std::string& f) {
        char* end = nullptr;
        std::strtod(f.c_str(), &end);
        return end == f.c_str() + f.size();
    };
    const bool values = !fields.empty() && (std::isdigit(static_cast<unsigned char>(line[0])) ||
                                            std::all_of(fields.begin(), fields.end(), number));
    if (!values) return "";
    const auto bad = std::find_if_not(fields.begin(), fields.end(), digits);
    return bad == fields.end() ? "" : *bad;
}

// Where a detector file that holds too few or too many values holds ones
// that are not counts (nan, inf, a sign, a fraction), which the reader
// passes over: "values that are not counts ('nan' on line 3) and ", or ""
// (none found, the file cannot be read again, or the image is held).
std::string values_not_counts(const std::string& name, const std::vector<HeldImage>& held) {
    for (const HeldImage& h : held)
        if (h.name == name) return "";
    std::string text;
    if (!read_file(name, text).ok()) return "";
    std::size_t start = 0;
    for (int line = 1; start < text.size(); ++line) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string bad = not_a_count(text.substr(start, end - start));
        if (!bad.empty()) return pk::format("values that are not counts ('%s' on line %d) and ", shown(bad).c_str(), line);
        start = end + 1;
    }
    return "";
}

}  // namespace

Status read_beam_image(const std::string& name, double time, double monitor, bool dark, BeamImage& out,
                       const std::vector<HeldImage>& held) {
    out = BeamImage{};
    Data2D d;
    d.name = name;
    d.tm = pk::to_float(time);
    d.monitor = pk::to_float(monitor);
    const Status st = read_data(held, d, kSilent);
    if (!st.ok()) return st;
    if (d.values != kDetPixels)
        return refuse(Code::bad_contents, pk::format("%s holds %s%d detector values; the detector has %d pixels",
                                                     name.c_str(), values_not_counts(name, held).c_str(), d.values,
                                                     kDetPixels));
    if (!(d.tm > 0) || !std::isfinite(d.tm))
        return refuse(Code::zero_time, pk::format("the counting time of %s is %g s (its header tags win over the "
                                                  "time given); it must be above 0",
                                                  name.c_str(), static_cast<double>(d.tm)));
    if (!dark && (!(d.monitor > 0) || !std::isfinite(d.monitor)))
        return refuse(Code::zero_time, pk::format("the monitor count of %s is %g (its header tags win over the "
                                                  "count given); it must be above 0",
                                                  name.c_str(), static_cast<double>(d.monitor)));
    out.name = name;
    out.time = d.tm;
    out.monitor = dark ? 0.0 : static_cast<double>(d.monitor);
    out.counts.assign(d.intens.begin(), d.intens.begin() + kDetPixels);
    return ok_status();
}

Status dead_time_factor(double counts, double time, double tau, double& factor) {
    factor = 1.0;
    if (!(time > 0) || !std::isfinite(time) || !(counts >= 0) || !std::isfinite(counts) || !(tau >= 0) ||
        !std::isfinite(tau))
        return refuse(Code::bad_contents, pk::format("a dead-time correction needs counts of 0 or more, a counting "
                                                     "time above 0 and a dead time of 0 or more (%g counts, %g s, "
                                                     "%g s)", counts, time, tau));
    const double dead = counts / time * tau;  // the share of the time the detector was dead
    if (!(dead < 1))
        return refuse(Code::bad_contents, pk::format("%g counts in %g s with a dead time of %g s: the detector "
                                                     "would have been dead all the time; is the dead time in "
                                                     "seconds?", counts, time, tau));
    factor = 1.0 / (1.0 - dead);
    return ok_status();
}

Status correct_dead_time(BeamImage& image, double tau) {
    if (tau == 0) return ok_status();
    double total = 0.0;
    for (double c : image.counts) total += c;
    double factor = 1.0;
    Status st = dead_time_factor(total, image.time, tau, factor);
    if (!st.ok()) {
        st.reason = image.name + ": " + st.reason;
        return st;
    }
    for (double& c : image.counts) c *= factor;
    return ok_status();
}

Status load_flat_field(const Param& p, const std::string& flat_name, const std::string& mask_name, FlatField& out,
                       const std::vector<HeldImage>& held) {
    out = FlatField{};
    out.p = p;
    Data2D flat;
    flat.name = flat_name;
    Status st = read_data(held, flat, kSilent);
    if (!st.ok()) return st;
    if (flat.values != kDetPixels)
        return refuse(Code::bad_contents, pk::format("the flat field %s holds %d detector values; the detector has "
                                                     "%d pixels",
                                                     flat_name.c_str(), flat.values, kDetPixels));
    out.mask.name = mask_name;
    out.mask.intens.assign(kImageValues, 0.0f);
    st = p.mask_source == 1 ? read_mask(held, p, out.mask) : make_mask(p, out.mask);
    if (!st.ok()) return st;
    out.flat = std::move(flat);
    return ok_status();
}

Status efficiencies(const FlatField& f, double x, double y, Efficiencies& out) {
    out = Efficiencies{};
    if (f.flat.intens.empty()) return ok_status();
    if (f.flat.intens.size() < kPixels || f.mask.intens.size() < kPixels)
        return refuse(Code::no_values, pk::format("the flat field %s or its mask holds fewer values than the %d "
                                                  "pixels",
                                                  f.flat.name.c_str(), kDetPixels));
    Data2D corrected = f.flat;
    corrected.uncert.resize(corrected.intens.size());
    if (f.p.jacobian == 1) {
        Param p = f.p;
        p.bx = pk::to_float(x);
        p.by = pk::to_float(y);
        const Status st = jacobian(p, corrected);
        if (!st.ok()) return st;
    }
    const double mean = flat_field_mean(corrected, f.mask);
    if (!(mean > 0) || !std::isfinite(mean))
        return refuse(Code::not_finite, pk::format("the flat field %s has no positive mean over the pixels the mask "
                                                   "uses, so it gives no efficiencies",
                                                   f.flat.name.c_str()));
    out.value.resize(kDetPixels);
    out.rel_var.resize(kDetPixels);
    out.known.resize(kDetPixels);
    for (std::size_t k = 0; k < static_cast<std::size_t>(kDetPixels); ++k) {
        const double raw = f.flat.intens[k], v = corrected.intens[k] / mean;
        out.value[k] = v;
        out.rel_var[k] = raw > 0 ? 1.0 / raw : 0.0;
        out.known[k] = pk::pixel_used(f.mask.intens[k]) && v >= kLeastEfficiency && v <= kMostEfficiency;
    }
    return ok_status();
}

Status beam_centre(const BeamImage& empty, const BeamImage& dark, const FlatField& flat, BeamCentre& out) {
    out = BeamCentre{};
    const Net n(empty, dark);
    if (!n.sized) return not_sized(empty.name);
    const std::pair<int, double> peak = find_peak(n);
    if (peak.first < 0 || !(peak.second > 0) || !std::isfinite(peak.second))
        return refuse(Code::no_pixels,
                      pk::format("%s holds no counts above the dark current: no beam to measure", empty.name.c_str()));
    out.x = peak.first % kDetSide + 0.5;
    out.y = peak.first / kDetSide + 0.5;
    out.window = window_radius(n, peak.second / 9.0);
    ring_background(n, out.x, out.y, out.window, out.background, out.background_var);
    Status st = centroid(n, Efficiencies{}, out);
    if (!st.ok() || flat.flat.intens.empty()) return st;
    // Once more on counts freed of the pixels' efficiencies.
    Efficiencies e;
    st = efficiencies(flat, out.x, out.y, e);
    if (!st.ok()) return st;
    return centroid(n, e, out);
}

Status default_disc(const BeamImage& empty, const BeamImage& dark, const BeamCentre& c, double share, Disc& out) {
    out = Disc{c.x, c.y, 0.0};
    const Net n(empty, dark);
    if (!n.sized) return not_sized(empty.name);
    std::vector<std::pair<double, double>> by_distance;  // squared distance, net count
    for_disc(c.x, c.y, c.window, [&](std::size_t k, double x, double y) {
        by_distance.emplace_back((x - c.x) * (x - c.x) + (y - c.y) * (y - c.y), n.value(k) - c.background);
    });
    std::sort(by_distance.begin(), by_distance.end());
    double total = 0.0;
    for (const auto& p : by_distance) total += p.second;
    if (!(total > 0) || !std::isfinite(total))
        return refuse(Code::no_pixels, pk::format("%s holds no net counts about its centre", empty.name.c_str()));
    double sum = 0.0;
    for (std::size_t i = 0; i < by_distance.size(); ++i) {
        sum += by_distance[i].second;
        if (i + 1 < by_distance.size() && by_distance[i + 1].first == by_distance[i].first) continue;
        if (sum < share * total) continue;
        const double here = std::sqrt(by_distance[i].first);
        const double next = i + 1 < by_distance.size() ? std::sqrt(by_distance[i + 1].first) : here + 1.0;
        out.radius = 0.5 * (here + next);
        return ok_status();
    }
    out.radius = c.window;
    return ok_status();
}

Status check_disc(const Disc& d) {
    if (!(d.radius > 0) || !std::isfinite(d.radius) || !std::isfinite(d.x) || !std::isfinite(d.y))
        return refuse(Code::bad_parameter, pk::format("the disc radius %g is not a positive number", d.radius));
    if (d.x - d.radius < 0 || d.x + d.radius > kDetSide || d.y - d.radius < 0 || d.y + d.radius > kDetSide)
        return refuse(Code::no_pixels,
                      pk::format("the disc of radius %.2f pixels about the beam centre (%.2f, %.2f) reaches beyond "
                                 "the detector (0 to %d pixels along x and y): the beam is too close to the edge",
                                 d.radius, d.x, d.y, kDetSide));
    int pixels = 0;
    for_disc(d.x, d.y, d.radius, [&pixels](std::size_t, double, double) { ++pixels; });
    if (pixels == 0)
        return refuse(Code::no_pixels, pk::format("the disc of radius %g pixels about (%.2f, %.2f) holds no pixel "
                                                  "centre",
                                                  d.radius, d.x, d.y));
    return ok_status();
}

DiscCounts disc_counts(const BeamImage& run, const BeamImage& dark, const Disc& d) {
    const Net n(run, dark);
    DiscCounts s;
    if (!n.sized) return s;
    s.dark_scale = n.scale;
    s.monitor = run.monitor;
    for_disc(d.x, d.y, d.radius, [&](std::size_t k, double, double) {
        s.counts += run.counts[k];
        s.dark += n.dark_at(k);
        ++s.pixels;
    });
    return s;
}

Status check_empty_beam(const DiscCounts& empty, const std::string& name) {
    if (empty.net() > 0 && std::isfinite(empty.net()) && empty.monitor > 0) return ok_status();
    return refuse(Code::no_pixels, pk::format("the empty beam %s has %g net counts in the disc (%d pixels): no beam "
                                              "to compare the runs with",
                                              name.c_str(), empty.net(), empty.pixels));
}

Status transmission(const DiscCounts& run, const DiscCounts& empty, const std::string& name, Measured& t) {
    t = Measured{};
    if (!(empty.net() > 0) || !(empty.monitor > 0))
        return refuse(Code::no_pixels, "the empty beam has no net counts in the disc to compare " + name + " with");
    if (!(run.monitor > 0))
        return refuse(Code::zero_time, pk::format("the monitor count of %s is not above 0", name.c_str()));
    if (run.pixels != empty.pixels)
        return refuse(Code::no_values, pk::format("%s holds no counts in the disc's pixels", name.c_str()));
    // T = m (S - a D) / (E - b D): the dark counts D enter both runs.
    const double m = empty.monitor / run.monitor, e = empty.net();
    const double value = m * run.net() / e;
    const double a = run.dark_scale, b = empty.dark_scale;
    const double dark_var = (a > 0 || b > 0) ? std::max(run.dark, 1.0) : 0.0;
    const double var = (m * m * std::max(run.counts, 1.0) + value * value * std::max(empty.counts, 1.0) +
                        (value * b - m * a) * (value * b - m * a) * dark_var) /
                       (e * e);
    if (!std::isfinite(value) || !std::isfinite(var))
        return refuse(Code::not_finite, pk::format("the transmission of %s is not a finite number", name.c_str()));
    t.value = value;
    t.sigma = std::sqrt(var);
    if (value > kMostTransmission)
        return refuse(Code::bad_contents,
                      pk::format("%s counted %.4f +- %.4f times the empty beam's net counts per monitor count, more "
                                 "than %g: not a transmission (is it the right run, monitor count or attenuator?)",
                                 name.c_str(), t.value, t.sigma, kMostTransmission));
    return ok_status();
}

namespace {

// The standard deviations of the counts a transmission rests on, as its
// variance takes them: at least one count each; no dark current, none.
double counted(double counts) { return std::sqrt(std::max(counts, 1.0)); }
double dark_counted(const DiscCounts& run, const DiscCounts& empty) {
    return run.dark_scale > 0 || empty.dark_scale > 0 ? counted(run.dark) : 0.0;
}

}  // namespace

SigmaShares transmission_shares(const DiscCounts& run, const DiscCounts& empty, const Measured& t) {
    // T = m (S - a D) / (E - b D), each sum's derivative times its deviation.
    SigmaShares s;
    const double e = empty.net();
    if (!(e > 0) || !(run.monitor > 0)) return s;
    const double m = empty.monitor / run.monitor;
    s.own = m * counted(run.counts) / e;
    s.empty_beam = -t.value * counted(empty.counts) / e;
    s.dark_current = (t.value * empty.dark_scale - m * run.dark_scale) * dark_counted(run, empty) / e;
    return s;
}

namespace {

// The efficiencies the flat field gives about the beam: their mean stands
// for the pixels it does not give.  Taken over the window, widened until it
// holds enough of them.
struct StandIn {
    double mean = 0.0;
    double mean_var = 0.0;  // variance of the mean
    double spread = 0.0;    // variance of one pixel's efficiency about it, less the flat field's counting noise
    int count = 0;
};

StandIn stand_in(const Efficiencies& e, const BeamCentre& c) {
    constexpr int kEnough = 50;
    StandIn s;
    for (double r = c.window; r <= kDetSide; r += 2.0) {
        double sum = 0.0, sum2 = 0.0, noise = 0.0;
        int n = 0;
        for_disc(c.x, c.y, r, [&](std::size_t k, double, double) {
            if (!e.known[k]) return;
            sum += e.value[k];
            sum2 += e.value[k] * e.value[k];
            noise += e.value[k] * e.value[k] * e.rel_var[k];
            ++n;
        });
        if (n < kEnough && r + 2.0 <= kDetSide) continue;
        if (n < 2) break;
        s.count = n;
        s.mean = sum / n;
        const double var = std::max(0.0, (sum2 - n * s.mean * s.mean) / (n - 1));
        s.mean_var = var / n;
        s.spread = std::max(0.0, var - noise / n);
        break;
    }
    return s;
}

Status check_scale_inputs(const FlatField& flat, double attenuation) {
    if (flat.flat.intens.empty()) return refuse(Code::bad_parameter, "the absolute scale needs a flat field");
    if (!(attenuation > 0 && attenuation <= 1))
        return refuse(Code::bad_parameter, pk::format("the attenuation %g is not a transmission from above 0 to 1",
                                                      attenuation));
    const double px = flat.p.px, py = flat.p.py, l = flat.p.sam2det;
    if (!(px > 0 && py > 0 && l > 0) || !std::isfinite(px * py / (l * l)))
        return refuse(Code::bad_parameter, "the absolute scale needs positive pixel spacings and distance");
    return ok_status();
}

}  // namespace

Status absolute_scale(const BeamImage& empty, const BeamImage& dark, const BeamCentre& c, const FlatField& flat,
                      double attenuation, AbsoluteScale& out) {
    out = AbsoluteScale{};
    Efficiencies e;
    Status st = check_scale_inputs(flat, attenuation);
    if (st.ok()) st = efficiencies(flat, c.x, c.y, e);
    if (!st.ok()) return st;
    const Net n(empty, dark);
    if (!n.sized) return not_sized(empty.name);
    const StandIn s = stand_in(e, c);
    if (s.count < 2)
        return refuse(Code::no_pixels, pk::format("the flat field %s gives the efficiency of no pixel about the beam "
                                                  "(all masked or out of range)",
                                                  flat.flat.name.c_str()));
    double sum = 0.0, var = 0.0, inverse = 0.0, stood = 0.0, stood_sq = 0.0;
    for_disc(c.x, c.y, c.window, [&](std::size_t k, double, double) {
        const double u = usable(e, k, s.mean), w = n.value(k) - c.background;
        sum += w / u;
        var += (n.var(k) + (e.known[k] ? w * w * e.rel_var[k] : 0.0)) / (u * u);
        inverse += 1.0 / u;
        if (e.known[k]) return;
        ++out.stand_ins;
        stood += w;
        stood_sq += w * w;
    });
    // The stand-ins' mean is uncertain, and their own efficiencies scatter about it.
    const double m2 = s.mean * s.mean;
    var += inverse * inverse * c.background_var + stood * stood * s.mean_var / (m2 * m2) +
           stood_sq * s.spread / (m2 * m2);
    const double factor = 1000.0 * (flat.p.px * static_cast<double>(flat.p.py) /
                                    (static_cast<double>(flat.p.sam2det) * flat.p.sam2det)) /
                          (empty.monitor * attenuation);
    out.value = factor * sum;
    out.sigma = factor * std::sqrt(var);
    out.around = s.count;
    out.stand_in_share = c.net > 0 ? stood / c.net : 0.0;
    if (!(out.value > 0) || !std::isfinite(out.value) || !std::isfinite(out.sigma))
        return refuse(Code::not_finite, pk::format("the absolute scale factor works out as %g, not a positive number",
                                                   out.value));
    return ok_status();
}

void scale_shares(const BeamImage& empty, const BeamImage& dark, const BeamCentre& c, const FlatField& flat,
                  const Disc& d, const DiscCounts& sums, AbsoluteScale& out) {
    out.shares = SigmaShares{0.0, 0.0, out.sigma};
    Efficiencies e;
    const Net n(empty, dark);
    if (!n.sized || !efficiencies(flat, c.x, c.y, e).ok() || e.known.empty()) return;
    const StandIn s = stand_in(e, c);
    if (s.count < 2) return;
    // ABSF = factor * sum over the window of (net - background) / efficiency;
    // its covariance with the disc's sums of the empty beam and the dark
    // current comes from the pixels the two share.
    double sum = 0.0, with_empty = 0.0, with_dark = 0.0;
    const double r2 = d.radius * d.radius;
    for_disc(c.x, c.y, c.window, [&](std::size_t k, double x, double y) {
        const double u = usable(e, k, s.mean);
        sum += (n.value(k) - c.background) / u;
        if ((x - d.x) * (x - d.x) + (y - d.y) * (y - d.y) > r2) return;
        with_empty += n.run.counts[k] / u;
        with_dark -= n.scale * n.dark_at(k) / u;
    });
    if (!(sum > 0) || !std::isfinite(sum)) return;
    const double factor = out.value / sum;
    const double dark_sigma = sums.dark_scale > 0 ? counted(sums.dark) : 0.0;
    out.shares.empty_beam = factor * with_empty / counted(sums.counts);
    out.shares.dark_current = dark_sigma > 0 ? factor * with_dark / dark_sigma : 0.0;
    const double rest = out.sigma * out.sigma - out.shares.empty_beam * out.shares.empty_beam -
                        out.shares.dark_current * out.shares.dark_current;
    out.shares.own = std::sqrt(std::max(rest, 0.0));
}

}  // namespace pk
