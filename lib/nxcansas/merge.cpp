// Curves of several configurations joined into one: each scaled to the
// curves joined before it over their overlap, outward from the reference.
#include "pelkaro/merge.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "nxcansas_file.h"

namespace pk {

bool fit_scale(const std::vector<double>& r, const std::vector<double>& dr, const std::vector<double>& i,
               const std::vector<double>& di, ScaleFit& fit) {
    fit = ScaleFit{};
    const std::size_t n = std::min({r.size(), dr.size(), i.size(), di.size()});
    double s = 1;
    double sum_ii = 0;
    for (int iteration = 0; iteration < 100; ++iteration) {
        double sum_ri = 0;
        sum_ii = 0;
        for (std::size_t k = 0; k < n; ++k) {
            const double var = dr[k] * dr[k] + s * s * di[k] * di[k];
            if (!(var > 0)) continue;
            sum_ri += r[k] * i[k] / var;
            sum_ii += i[k] * i[k] / var;
        }
        if (!(sum_ii > 0)) return false;
        const double next = sum_ri / sum_ii;
        if (!std::isfinite(next) || !(next > 0)) return false;
        const bool done = std::fabs(next - s) <= 1e-12 * next;
        s = next;
        if (done) break;
    }
    double chi2 = 0;
    std::size_t used = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const double var = dr[k] * dr[k] + s * s * di[k] * di[k];
        if (!(var > 0)) continue;
        chi2 += (r[k] - s * i[k]) * (r[k] - s * i[k]) / var;
        ++used;
    }
    if (used < 2) return false;
    fit.s = s;
    fit.points = used;
    fit.chi2 = chi2 / static_cast<double>(used - 1);
    // The uncertainty from the weights, widened when the points scatter
    // more than their uncertainties say.
    fit.ds = std::sqrt(1.0 / sum_ii) * std::max(1.0, std::sqrt(fit.chi2));
    return true;
}

bool interpolate_log_q(const MergeCurve& c, double q, double& value, double& dev) {
    if (c.q.empty() || !(q >= c.q.front()) || !(q <= c.q.back())) return false;
    const auto hi = std::lower_bound(c.q.begin(), c.q.end(), q);
    const std::size_t b = static_cast<std::size_t>(hi - c.q.begin());
    if (c.q[b] == q || b == 0) {
        value = c.i[b];
        dev = c.idev[b];
        return true;
    }
    const std::size_t a = b - 1;
    const double t = std::log(q / c.q[a]) / std::log(c.q[b] / c.q[a]);
    // A power law between two positive points (exact for a power law),
    // else linear in I: high-Q points may be zero or negative.
    if (c.i[a] > 0 && c.i[b] > 0) value = c.i[a] * std::pow(c.i[b] / c.i[a], t);
    else value = c.i[a] + t * (c.i[b] - c.i[a]);
    dev = std::sqrt((1 - t) * (1 - t) * c.idev[a] * c.idev[a] + t * t * c.idev[b] * c.idev[b]);
    return true;
}

namespace {

constexpr int kSmearNodes = 49;     // Gaussian nodes over +-kSmearSigmas
constexpr double kSmearSigmas = 3;

// The points a and b = a + 1 about q and q's place t between them in log Q
// (t = 0 on a point); false outside the curve.
bool bracket(const MergeCurve& c, double q, std::size_t& a, double& t) {
    if (c.q.empty() || !(q >= c.q.front()) || !(q <= c.q.back())) return false;
    const std::size_t b = static_cast<std::size_t>(std::lower_bound(c.q.begin(), c.q.end(), q) - c.q.begin());
    if (c.q[b] == q || b == 0) return a = b, t = 0, true;
    a = b - 1;
    t = std::log(q / c.q[a]) / std::log(c.q[b] / c.q[a]);
    return true;
}

// The resolution (Qdev) of a curve at q, between its points in log Q.
double qdev_at(const MergeCurve& c, double q) {
    std::size_t a = 0;
    double t = 0;
    if (c.qdev.empty() || !bracket(c, q, a, t)) return NAN;
    return t == 0 ? c.qdev[a] : (1 - t) * c.qdev[a] + t * c.qdev[a + 1];
}

// The cubic through the four points about q (two on either side where the
// curve has them, else the four at its end): the first of them and each
// one's weight in the value at q (Lagrange's); false outside the curve or
// for a curve of fewer than four points.
bool cubic_weights(const MergeCurve& c, double q, std::size_t& first, double (&w)[4]) {
    const std::size_t n = c.q.size();
    if (n < 4 || !(q >= c.q.front()) || !(q <= c.q.back())) return false;
    const std::size_t b = static_cast<std::size_t>(std::lower_bound(c.q.begin(), c.q.end(), q) - c.q.begin());
    first = std::min(b > 1 ? b - 2 : 0, n - 4);
    for (std::size_t m = 0; m < 4; ++m) {
        w[m] = 1;
        for (std::size_t k = 0; k < 4; ++k)
            if (k != m) w[m] *= (q - c.q[first + k]) / (c.q[first + m] - c.q[first + k]);
    }
    return true;
}

// The curve seen with a Gaussian resolution `width` (one sigma) on top of
// its own at q: its values, interpolated by the cubic through the four
// points about each node, averaged with Gaussian weights over
// +-kSmearSigmas widths.  (Between neighbouring points a power law, as
// interpolate_log_q draws it, cuts the corners of a curve that turns within
// a few points, a sphere's minima and maxima: at 5 m it shifted a 1.5 m
// curve's factor by 0.13 % at a radius of 95 A; the cubic, by 0.001 %.)
// The uncertainty is that of the average from the points it draws on (each
// point's share the sum of the weights it receives).  False where the
// average would reach beyond the curve; for fewer than four points, the
// power law between neighbours.
bool smeared_at(const MergeCurve& c, double q, double width, double& value, double& dev) {
    if (!(width > 0)) return interpolate_log_q(c, q, value, dev);
    // The nodes, spread so that their variance is the Gaussian's (cut at
    // +-3 sigma, it would have 2.7 % less).
    double x[kSmearNodes], g[kSmearNodes], sum_w = 0, var_x = 0;
    for (int n = 0; n < kSmearNodes; ++n) {
        x[n] = -kSmearSigmas + 2 * kSmearSigmas * n / (kSmearNodes - 1), g[n] = std::exp(-0.5 * x[n] * x[n]);
        sum_w += g[n], var_x += g[n] * x[n] * x[n];
    }
    const double reach = width / std::sqrt(var_x / sum_w);
    if (!(q - kSmearSigmas * reach >= c.q_min()) || !(q + kSmearSigmas * reach <= c.q_max())) return false;
    std::vector<double> share(c.q.size(), 0.0);
    double sum = 0;
    for (int n = 0; n < kSmearNodes; ++n) {
        const double at = q + x[n] * reach;
        std::size_t first = 0;
        double l[4];
        if (cubic_weights(c, at, first, l)) {
            for (std::size_t m = 0; m < 4; ++m) sum += g[n] * l[m] * c.i[first + m], share[first + m] += g[n] * l[m];
            continue;
        }
        double v = 0, d = 0, t = 0;
        std::size_t a = 0;
        if (!interpolate_log_q(c, at, v, d) || !bracket(c, at, a, t)) return false;
        sum += g[n] * v;
        share[a] += g[n] * (1 - t);
        if (t > 0) share[a + 1] += g[n] * t;
    }
    value = sum / sum_w;
    double var = 0;
    for (std::size_t k = 0; k < share.size(); ++k) var += share[k] * share[k] * c.idev[k] * c.idev[k];
    dev = std::sqrt(var) / sum_w;
    return true;
}

// A curve multiplied by its factor (Idev too: it is the point's own
// uncertainty on the new scale).
MergeCurve scaled(const MergeCurve& c, double s) {
    MergeCurve out = c;
    for (double& v : out.i) v *= s;
    for (double& v : out.idev) v *= s;
    return out;
}

// The Q range the curve `c` shares with the joined curves, as [lo, hi].
bool overlap_of(const MergeCurve& c, const std::vector<const MergeCurve*>& joined, double& lo, double& hi) {
    bool any = false;
    for (const MergeCurve* j : joined) {
        const double a = std::max(c.q_min(), j->q_min()), b = std::min(c.q_max(), j->q_max());
        if (!(a < b)) continue;
        lo = any ? std::min(lo, a) : a;
        hi = any ? std::max(hi, b) : b;
        any = true;
    }
    return any;
}

// At each point of `c` inside the joined curves: the joined curves' value
// there (their inverse-variance mean where several cover it) beside the
// point's own.
void pairs_of(const MergeCurve& c, const std::vector<const MergeCurve*>& joined, std::vector<double>& r,
              std::vector<double>& dr, std::vector<double>& i, std::vector<double>& di) {
    for (std::size_t k = 0; k < c.q.size(); ++k) {
        double sum_w = 0, sum_wv = 0;
        for (const MergeCurve* j : joined) {
            double v = 0, d = 0;
            if (!interpolate_log_q(*j, c.q[k], v, d)) continue;
            const double w = d > 0 ? 1 / (d * d) : 1e300;
            sum_w += w;
            sum_wv += w * v;
        }
        if (!(sum_w > 0)) continue;
        r.push_back(sum_wv / sum_w);
        dr.push_back(sum_w >= 1e300 ? 0 : std::sqrt(1 / sum_w));
        i.push_back(c.i[k]);
        di.push_back(c.idev[k]);
    }
}

// The pairs of a curve c and one joined curve j with their resolutions
// matched: at the points of the coarser of the two (the larger Qdev there),
// its own value beside the finer one smeared by a Gaussian of the variance
// the coarser has beyond it, sqrt(Qdev_coarse^2 - Qdev_fine^2).  The Q of
// each point is the mean Q its instrument gives it, so the smeared finer
// curve and the coarser one then see the same cross-section through the
// same width.  r, dr: the joined curve's side; i, di: c's.
void matched_pairs(const MergeCurve& c, const MergeCurve& j, std::vector<double>& r, std::vector<double>& dr,
                   std::vector<double>& i, std::vector<double>& di) {
    // Resolutions within 1 % of each other (Qdev interpolated between a
    // curve's points) count as alike: c's points take the comparison.
    constexpr double kAlike = 1.01;
    const auto width = [](double coarse, double fine) { return std::sqrt(std::fmax(0.0, coarse * coarse - fine * fine)); };
    for (std::size_t k = 0; k < c.q.size(); ++k) {
        const double fine = qdev_at(j, c.q[k]);
        double v = 0, d = 0;
        if (!(fine <= kAlike * c.qdev[k]) || !smeared_at(j, c.q[k], width(c.qdev[k], fine), v, d)) continue;
        r.push_back(v), dr.push_back(d), i.push_back(c.i[k]), di.push_back(c.idev[k]);
    }
    for (std::size_t m = 0; m < j.q.size(); ++m) {
        const double fine = qdev_at(c, j.q[m]);
        double v = 0, d = 0;
        if (!(kAlike * fine < j.qdev[m]) || !smeared_at(c, j.q[m], width(j.qdev[m], fine), v, d)) continue;
        r.push_back(j.i[m]), dr.push_back(j.idev[m]), i.push_back(v), di.push_back(d);
    }
}

bool has_qdev(const MergeCurve& c) { return !c.qdev.empty() && c.qdev.size() == c.q.size(); }

// The order of joining: the reference, then the curves above it by Q_min,
// then those below it going down.
std::vector<std::size_t> join_order(const std::vector<MergeCurve>& curves, std::size_t ref) {
    std::vector<std::size_t> by_qmin(curves.size());
    for (std::size_t k = 0; k < by_qmin.size(); ++k) by_qmin[k] = k;
    std::stable_sort(by_qmin.begin(), by_qmin.end(),
                     [&](std::size_t a, std::size_t b) { return curves[a].q_min() < curves[b].q_min(); });
    const std::size_t at = static_cast<std::size_t>(std::find(by_qmin.begin(), by_qmin.end(), ref) - by_qmin.begin());
    std::vector<std::size_t> order{ref};
    for (std::size_t k = at + 1; k < by_qmin.size(); ++k) order.push_back(by_qmin[k]);
    for (std::size_t k = at; k-- > 0;) order.push_back(by_qmin[k]);
    return order;
}

std::size_t default_reference(const std::vector<MergeCurve>& curves) {
    std::size_t ref = 0;
    for (std::size_t k = 1; k < curves.size(); ++k)
        if (curves[k].q_min() < curves[ref].q_min()) ref = k;
    return ref;
}

}  // namespace

namespace {

// Joining state: the curves on their new scales, in the order given, and
// which are joined yet.
struct Join {
    std::vector<MergeCurve> curves;
    std::vector<bool> joined;
    bool by_resolution = false;  // trimmed: each Q from the curve of the finest resolution there
    std::vector<const MergeCurve*> joined_list() const {
        std::vector<const MergeCurve*> v;
        for (std::size_t k = 0; k < curves.size(); ++k)
            if (joined[k]) v.push_back(&curves[k]);
        return v;
    }
};

// At the middle of the overlap in log Q: the curve joined keeps its side,
// the joined curves it overlaps the other.
void trim_at_middle(Join& j, std::size_t c, double ref_q_min, MergeResult& out) {
    MergedInput& in = out.inputs[c];
    const double m = std::sqrt(in.overlap_lo * in.overlap_hi);
    const bool upward = j.curves[c].q_min() >= ref_q_min;
    for (std::size_t k = 0; k < j.curves.size(); ++k) {
        if (!j.joined[k]) continue;
        const MergeCurve& o = j.curves[k];
        if (!(std::max(o.q_min(), j.curves[c].q_min()) < std::min(o.q_max(), j.curves[c].q_max()))) continue;
        if (upward) out.inputs[k].keep_hi = std::min(out.inputs[k].keep_hi, m);
        else out.inputs[k].keep_lo = std::max(out.inputs[k].keep_lo, m);
    }
    if (upward) in.keep_lo = std::max(in.keep_lo, m);
    else in.keep_hi = std::min(in.keep_hi, m);
}

// A curve that cannot be joined: the culprit of the result and the entry
// of the refusal.
Status unjoinable(std::size_t c, MergeResult& out, std::string reason) {
    out.culprit = static_cast<int>(c);
    Status st = failure(Stage::merge, Code::bad_contents, std::move(reason));
    st.entry = out.culprit;
    return st;
}

// Joins curve c to those joined: its overlap, its factor, its trimming.
Status join_one(Join& j, std::size_t c, double ref_q_min, const MergeOptions& opt, MergeResult& out) {
    MergedInput& in = out.inputs[c];
    const std::vector<const MergeCurve*> joined = j.joined_list();
    const bool overlaps = overlap_of(j.curves[c], joined, in.overlap_lo, in.overlap_hi);
    if (!overlaps && opt.scale)
        return unjoinable(c, out,
                          "the curve does not overlap the curves joined before it, so no scale factor can be fitted "
                          "(--scale none joins without one)");
    if (opt.scale) {
        std::vector<double> r, dr, i, di;
        bool matched = has_qdev(j.curves[c]);
        for (const MergeCurve* o : joined) matched = matched && has_qdev(*o);
        if (matched)
            for (const MergeCurve* o : joined) matched_pairs(j.curves[c], *o, r, dr, i, di);
        // An overlap too narrow for the smearing (or curves without Qdev):
        // the curves compared as they are.
        if (r.size() < 2) {
            r.clear(), dr.clear(), i.clear(), di.clear();
            pairs_of(j.curves[c], joined, r, dr, i, di);
        }
        ScaleFit fit;
        if (!fit_scale(r, dr, i, di, fit))
            return unjoinable(c, out,
                              "no scale factor can be fitted over the overlap " +
                                  format("%.6g-%.6g 1/angstrom", in.overlap_lo, in.overlap_hi) +
                                  " (too few points, or intensities that do not fix a positive factor)");
        in.scale = fit.s;
        in.scale_dev = fit.ds;
        j.curves[c] = scaled(j.curves[c], fit.s);
    }
    if (!overlaps) in.overlap_lo = in.overlap_hi = 0;
    if (overlaps && opt.trim && !j.by_resolution) trim_at_middle(j, c, ref_q_min, out);
    j.joined[c] = true;
    return ok_status();
}

// Whether curve k's point p is the one to keep at its Q when trimming by
// resolution: no other curve covering that Q resolves it more finely (of
// two alike, the earlier in the join keeps it).
bool finest_there(const Join& j, const std::vector<std::size_t>& rank, std::size_t k, std::size_t p) {
    const double q = j.curves[k].q[p], own = j.curves[k].qdev[p];
    for (std::size_t o = 0; o < j.curves.size(); ++o) {
        if (o == k) continue;
        const double other = qdev_at(j.curves[o], q);
        if (other < own || (other == own && rank[o] < rank[k])) return false;
    }
    return true;
}

// The kernel rows of the points kept, where every curve that gave points
// has rows of one length.
void collect_kernels(const Join& j, const std::vector<std::pair<std::size_t, std::size_t>>& kept, MergeResult& out) {
    int nodes = -1;
    for (const auto& [k, p] : kept) {
        const int n = j.curves[k].kernel_nodes;
        if (n <= 0 || (nodes >= 0 && n != nodes)) return;
        nodes = n;
    }
    if (nodes <= 0) return;
    const std::size_t m = static_cast<std::size_t>(nodes);
    for (const auto& [k, p] : kept) {
        const MergeCurve& c = j.curves[k];
        out.kernel_q.insert(out.kernel_q.end(), c.kernel_q.begin() + static_cast<long>(p * m),
                            c.kernel_q.begin() + static_cast<long>((p + 1) * m));
        out.kernel_weight.insert(out.kernel_weight.end(), c.kernel_weight.begin() + static_cast<long>(p * m),
                                 c.kernel_weight.begin() + static_cast<long>((p + 1) * m));
    }
    out.kernel_nodes = nodes;
}

// The points kept, sorted by Q, each with its curve's Q, Qdev and kernel row.
void collect(const Join& j, const std::vector<std::size_t>& rank, const MergeOptions& opt, MergeResult& out) {
    bool all_qdev = true;
    for (const MergeCurve& c : j.curves) all_qdev = all_qdev && !c.qdev.empty();
    std::vector<std::pair<std::size_t, std::size_t>> kept;  // curve, point
    for (std::size_t k = 0; k < j.curves.size(); ++k) {
        const MergeCurve& c = j.curves[k];
        MergedInput& in = out.inputs[k];
        double lo = NAN, hi = NAN;
        for (std::size_t p = 0; p < c.q.size(); ++p) {
            const double q = c.q[p];
            if (q < in.keep_lo || q > in.keep_hi || q < opt.q_min || q > opt.q_max) continue;
            if (opt.trim && j.by_resolution && !finest_there(j, rank, k, p)) continue;
            kept.emplace_back(k, p);
            lo = std::isnan(lo) ? q : lo, hi = q;
            ++in.points_kept;
        }
        if (j.by_resolution && opt.trim) in.keep_lo = std::isnan(lo) ? 0 : lo, in.keep_hi = std::isnan(hi) ? 0 : hi;
    }
    std::stable_sort(kept.begin(), kept.end(), [&](const auto& a, const auto& b) {
        return j.curves[a.first].q[a.second] < j.curves[b.first].q[b.second];
    });
    for (const auto& [k, p] : kept) {
        const MergeCurve& c = j.curves[k];
        out.q.push_back(c.q[p]);
        out.i.push_back(c.i[p]);
        out.idev.push_back(c.idev[p]);
        out.from.push_back(static_cast<int>(k));
        if (all_qdev) out.qdev.push_back(c.qdev[p]);
    }
    collect_kernels(j, kept, out);
}

}  // namespace

namespace {

// The first curve before curve k with the same points (Q, I, Idev, Qdev),
// or k when there is none: the same data under two names, which a join
// would count twice.
std::size_t earlier_twin(const std::vector<MergeCurve>& curves, std::size_t k) {
    const MergeCurve& c = curves[k];
    for (std::size_t j = 0; j < k; ++j) {
        const MergeCurve& o = curves[j];
        if (c.q == o.q && c.i == o.i && c.idev == o.idev && c.qdev == o.qdev) return j;
    }
    return k;
}

}  // namespace

Status merge_curves(const std::vector<MergeCurve>& curves, const MergeOptions& opt, MergeResult& out) {
    out = MergeResult{};
    if (curves.size() < 2) return failure(Stage::merge, Code::bad_parameter, "at least two curves are needed");
    Join j{curves, std::vector<bool>(curves.size(), false)};
    for (std::size_t k = 0; k < j.curves.size(); ++k) {
        sort_by_q(j.curves[k]);
        if (j.curves[k].q.empty() || j.curves[k].i.size() != j.curves[k].q.size() ||
            j.curves[k].idev.size() != j.curves[k].q.size())
            return unjoinable(k, out, "the curve holds no points (or its arrays differ in length)");
    }
    for (std::size_t k = 1; k < j.curves.size(); ++k) {
        const std::size_t twin = earlier_twin(j.curves, k);
        if (twin < k)
            return unjoinable(k, out, "its curve is the same as that of " + curves[twin].file +
                                          " (the same data under two names)");
    }
    if (opt.reference >= static_cast<int>(curves.size()))
        return failure(Stage::merge, Code::bad_parameter, "the reference is not among the curves");
    const std::size_t ref = opt.reference >= 0 ? static_cast<std::size_t>(opt.reference) : default_reference(j.curves);
    out.inputs.resize(curves.size());
    for (std::size_t k = 0; k < curves.size(); ++k) {
        out.inputs[k].keep_lo = j.curves[k].q_min();
        out.inputs[k].keep_hi = j.curves[k].q_max();
    }
    out.inputs[ref].reference = true;
    j.joined[ref] = true;
    const std::vector<std::size_t> order = join_order(j.curves, ref);
    j.by_resolution = true;
    for (const MergeCurve& c : j.curves) j.by_resolution = j.by_resolution && has_qdev(c);
    for (std::size_t k = 1; k < order.size(); ++k) {
        const Status st = join_one(j, order[k], j.curves[ref].q_min(), opt, out);
        if (!st.ok()) return st;
    }
    std::vector<std::size_t> rank(order.size());
    for (std::size_t k = 0; k < order.size(); ++k) rank[order[k]] = k;
    collect(j, rank, opt, out);
    if (out.q.empty()) return failure(Stage::merge, Code::bad_contents, "no point is left between --q-min and --q-max");
    return ok_status();
}

MergedSample merged_sample(const std::vector<MergeCurve>& curves, const MergeOptions& opt) {
    MergedSample s;
    if (curves.empty()) return s;
    const MergeCurve& first = curves.front();
    bool same_name = true, same_title = true, same_thickness = true;
    for (const MergeCurve& c : curves) {
        same_name = same_name && c.sample == first.sample;
        same_title = same_title && c.title == first.title;
        same_thickness = same_thickness && c.thickness_mm == first.thickness_mm;
    }
    if (same_name) s.name = first.sample;
    if (same_thickness) s.thickness_mm = first.thickness_mm;
    if (opt.title_given) {
        // A control character would act on the terminal or plot of whoever shows it.
        s.title = opt.title;
        for (char& ch : s.title)
            if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) ch = '?';
    }
    else if (same_title && !first.title.empty()) s.title = first.title;
    else
        for (const MergeCurve& c : curves) s.title += (s.title.empty() ? "" : " + ") + stem_of(c.file);
    return s;
}

std::string merge_line(const MergeCurve& c, const MergedInput& m) {
    std::string s = format("%s: Q %.6g-%.6g 1/angstrom", c.file.c_str(), c.q_min(), c.q_max());
    s += std::isfinite(c.distance_mm) ? format(", distance %.6g mm", c.distance_mm) : ", distance unknown";
    s += std::isfinite(c.wavelength) ? format(", wavelength %.6g angstrom", c.wavelength) : ", wavelength unknown";
    if (m.reference) s += ", reference (scale 1)";
    else s += format(", scale %.6f +- %.6f", m.scale, m.scale_dev);
    if (m.overlap_hi > 0) s += format(", overlap %.6g-%.6g 1/angstrom", m.overlap_lo, m.overlap_hi);
    else if (!m.reference) s += ", no overlap";
    s += format(", %zu points kept (Q %.6g-%.6g)", m.points_kept, m.keep_lo, m.keep_hi);
    return s;
}

}  // namespace pk
