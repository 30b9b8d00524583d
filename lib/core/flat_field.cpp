#include "pelkaro/flat_field.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>

#include "mask_gen.h"
#include "read_sans.h"

namespace pk {

double flat_field_mean(const Data2D& flat, const Data2D& mask) {
    double sum = 0.0;
    int used = 0;
    for (int k = 0; k < kDetPixels; ++k) {
        if (!pk::pixel_used(mask.intens[static_cast<std::size_t>(k)])) continue;
        sum += flat.intens[static_cast<std::size_t>(k)];
        ++used;
    }
    return used == 0 ? std::nan("") : sum / used;
}

std::vector<int> flat_field_outliers(const Data2D& flat, const Data2D& mask, double lo, double hi) {
    std::vector<int> bad;
    const double mean = flat_field_mean(flat, mask);
    if (!(mean > 0) || !std::isfinite(mean)) return bad;
    for (int k = 0; k < kDetPixels; ++k) {
        if (!pk::pixel_used(mask.intens[static_cast<std::size_t>(k)])) continue;
        const double v = flat.intens[static_cast<std::size_t>(k)];
        if (v == 0 || v < lo * mean || v > hi * mean) bad.push_back(k);
    }
    return bad;
}

std::vector<int> dead_or_hot_pixels(const Data2D& flat, const Data2D& mask) {
    return flat_field_outliers(flat, mask, kLeastEfficiency, kMostEfficiency);
}

Status read_image_file(Data2D& out, bool mask) {
    return mask ? read_mask(Param{}, out) : read_data(out, Console{nullptr, nullptr});
}

void internal_mask(Data2D& mask) { make_mask(Param{}, mask); }

// ---- The beam stop's shadow ------------------------------------------------

namespace {

constexpr double kBrightRank = 0.95;  // the open detector's level: this rank of the counts
constexpr double kLowPart = 0.5;      // a pixel below this part of that level lies in a shadow
constexpr std::size_t kFewest = 9;    // pixels of the smallest shadow taken for a beam stop's (radius 1.7)
constexpr double kFill = 0.5;         // a disc fills at least this part of the circle about its centre
constexpr double kSignificant = 5.0;  // a shadow lies this many times the scatter of the counts around it below them,
constexpr double kMostDim = 0.05;     // and at most this part of the pixels around it lies below that part
constexpr std::size_t kMostTried = 20;  // the largest regions of low counts tried for a shadow
constexpr double kPi = 3.141592653589793;

// A 4-connected region of low pixels, and whether it reaches the detector's edge.
struct LowRegion {
    std::vector<int> pixels;
    bool edge = false;
};

double rank_value(std::vector<double> v, double rank) {
    const auto at = static_cast<std::ptrdiff_t>(rank * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + at, v.end());
    return v[static_cast<std::size_t>(at)];
}

bool on_edge(int k) {
    const int x = k % kDetSide, y = k / kDetSide;
    return x == 0 || y == 0 || x == kDetSide - 1 || y == kDetSide - 1;
}

// The region of low pixels that holds `start`, each pixel labelled as taken.
LowRegion grow_region(int start, const std::vector<char>& low, std::vector<char>& taken) {
    LowRegion r;
    std::vector<int> todo{start};
    taken[static_cast<std::size_t>(start)] = 1;
    while (!todo.empty()) {
        const int k = todo.back();
        todo.pop_back();
        r.pixels.push_back(k);
        r.edge = r.edge || on_edge(k);
        const int x = k % kDetSide, y = k / kDetSide;
        const int next[4][2] = {{x - 1, y}, {x + 1, y}, {x, y - 1}, {x, y + 1}};
        for (const auto& n : next) {
            if (n[0] < 0 || n[1] < 0 || n[0] >= kDetSide || n[1] >= kDetSide) continue;
            const auto j = static_cast<std::size_t>(n[0] + kDetSide * n[1]);
            if (!low[j] || taken[j]) continue;
            taken[j] = 1;
            todo.push_back(static_cast<int>(j));
        }
    }
    return r;
}

// A disc rather than a ring, a line or a scatter of pixels: its centroid
// lies in it and it fills most of the circle that reaches its farthest pixel.
bool disc_shaped(const LowRegion& r) {
    if (r.pixels.size() < kFewest) return false;
    double sx = 0.0, sy = 0.0;
    for (int k : r.pixels) {
        sx += k % kDetSide + 0.5;
        sy += k / kDetSide + 0.5;
    }
    const double n = static_cast<double>(r.pixels.size()), cx = sx / n, cy = sy / n;
    double far = 0.0;
    for (int k : r.pixels) far = std::max(far, std::hypot(k % kDetSide + 0.5 - cx, k / kDetSide + 0.5 - cy));
    const int centre = static_cast<int>(cx) + kDetSide * static_cast<int>(cy);
    const bool holds_centre = std::find(r.pixels.begin(), r.pixels.end(), centre) != r.pixels.end();
    return holds_centre && n >= kFill * kPi * (far + 0.5) * (far + 0.5);
}

// The chessboard distance of every pixel from the region, up to 3 (4 beyond).
std::vector<int> distance_from(const LowRegion& r) {
    std::vector<int> d(kDetPixels, 4);
    for (int k : r.pixels) d[static_cast<std::size_t>(k)] = 0;
    for (int step = 1; step <= 3; ++step)
        for (int k = 0; k < kDetPixels; ++k) {
            if (d[static_cast<std::size_t>(k)] != step - 1) continue;
            const int x = k % kDetSide, y = k / kDetSide;
            for (int ny = std::max(0, y - 1); ny <= std::min(kDetSide - 1, y + 1); ++ny)
                for (int nx = std::max(0, x - 1); nx <= std::min(kDetSide - 1, x + 1); ++nx) {
                    int& dn = d[static_cast<std::size_t>(nx + kDetSide * ny)];
                    dn = std::min(dn, step);
                }
        }
    return d;
}

// The values of the pixels at a distance lo to hi from the region.
std::vector<double> values_at(const std::vector<double>& v, const std::vector<int>& d, int lo, int hi) {
    std::vector<double> pick;
    for (int k = 0; k < kDetPixels; ++k)
        if (d[static_cast<std::size_t>(k)] >= lo && d[static_cast<std::size_t>(k)] <= hi)
            pick.push_back(v[static_cast<std::size_t>(k)]);
    return pick;
}

double median(const std::vector<double>& v) { return v.empty() ? std::nan("") : rank_value(v, 0.5); }

// The scatter of values about their median (the median absolute deviation,
// scaled to a standard deviation for normally scattered values).
double scatter(const std::vector<double>& v, double mid) {
    std::vector<double> dev;
    for (double c : v) dev.push_back(std::fabs(c - mid));
    return 1.4826 * median(dev);
}

// The shadow's centre and radius from the pixels of the region (its pixels
// below `low`) and the ring of one pixel about it, each by its shadowed
// part: 1 at the counts inside the shadow (the median of the region), 0 at
// those around it (the median of the pixels 2 and 3 pixels out).
Status measure_shadow(const std::vector<double>& v, const LowRegion& r, double low, BeamStopShadow& shadow) {
    const std::vector<int> d = distance_from(r);
    const std::vector<double> ring = values_at(v, d, 2, 3);
    const double inside = median(values_at(v, d, 0, 0)), around = median(ring);
    // A shadow stands out of the counts around it, not a dip of their noise,
    // and the counts around it are those of the open detector.
    const auto dim = std::count_if(ring.begin(), ring.end(), [low](double c) { return c < low; });
    if (!(around - inside > kSignificant * scatter(ring, around)) ||
        static_cast<double>(dim) > kMostDim * static_cast<double>(ring.size()))
        return failure(Stage::mask, Code::bad_contents, "no disc of low counts stands out of the counts around it: "
                                                        "was the beam stop in?");
    double area = 0.0, sx = 0.0, sy = 0.0;
    for (int k = 0; k < kDetPixels; ++k) {
        if (d[static_cast<std::size_t>(k)] > 1) continue;
        const double part = std::clamp((around - v[static_cast<std::size_t>(k)]) / (around - inside), 0.0, 1.0);
        area += part;
        sx += part * (k % kDetSide + 0.5);
        sy += part * (k / kDetSide + 0.5);
    }
    const double x = sx / area, y = sy / area, rad = std::sqrt(area / kPi);
    if (x - rad < 0.0 || y - rad < 0.0 || x + rad > kDetSide || y + rad > kDetSide)
        return failure(Stage::mask, Code::bad_contents, format("the disc of low counts about (%.2f, %.2f) reaches "
                                                               "past the detector's edge", x, y));
    shadow = BeamStopShadow{x, y, rad, static_cast<int>(r.pixels.size())};
    return Status{};
}

// The image's pixel values, or why it cannot show a shadow.
Status shadow_values(const Data2D& image, std::vector<double>& v) {
    if (image.intens.size() < static_cast<std::size_t>(kDetPixels))
        return failure(Stage::mask, Code::no_values,
                       format("holds %zu values; a beam stop's shadow is sought on one per pixel, %d",
                              image.intens.size(), kDetPixels));
    v.assign(image.intens.begin(), image.intens.begin() + kDetPixels);
    if (std::any_of(v.begin(), v.end(), [](double c) { return !std::isfinite(c); }))
        return failure(Stage::mask, Code::not_finite, "holds a value that is not a number");
    return Status{};
}

// The regions of low counts shaped like a disc, the largest first; `at_edge`
// tells whether one of them touches the detector's edge (those are left out).
std::vector<LowRegion> shadow_candidates(const std::vector<double>& v, double bright, bool& at_edge) {
    std::vector<char> low(kDetPixels), taken(kDetPixels, 0);
    for (int k = 0; k < kDetPixels; ++k)
        low[static_cast<std::size_t>(k)] = v[static_cast<std::size_t>(k)] < kLowPart * bright;
    std::vector<LowRegion> found;
    at_edge = false;
    for (int k = 0; k < kDetPixels; ++k) {
        if (!low[static_cast<std::size_t>(k)] || taken[static_cast<std::size_t>(k)]) continue;
        LowRegion r = grow_region(k, low, taken);
        if (!disc_shaped(r)) continue;
        at_edge = at_edge || r.edge;
        if (!r.edge) found.push_back(std::move(r));
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const LowRegion& a, const LowRegion& b) { return a.pixels.size() > b.pixels.size(); });
    if (found.size() > kMostTried) found.resize(kMostTried);
    return found;
}

}  // namespace

Status find_beam_stop_shadow(const Data2D& image, BeamStopShadow& shadow) {
    std::vector<double> v;
    if (Status st = shadow_values(image, v); !st.ok()) return st;
    const double bright = rank_value(v, kBrightRank);
    if (!(bright > 0.0))
        return failure(Stage::mask, Code::bad_contents, "too few pixels count anything to show a beam stop's shadow");
    bool at_edge = false;
    const std::vector<LowRegion> candidates = shadow_candidates(v, bright, at_edge);
    Status last;
    for (const LowRegion& r : candidates) {
        last = measure_shadow(v, r, kLowPart * bright, shadow);
        if (last.ok()) return last;
    }
    if (!candidates.empty()) return last;
    return failure(Stage::mask, Code::bad_contents,
                   at_edge ? "every disc of low counts touches the detector's edge: the beam stop's shadow must lie "
                             "within the detector, counted pixels all round it"
                           : "no disc of low counts with counted pixels all round it: was the beam stop in?");
}

}  // namespace pk
