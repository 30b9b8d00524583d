// Background subtraction and absolute scaling.
//
// All sample images are summed into one long measurement, likewise all
// buffer (background) images in use.  Per pixel the dark current, scaled by
// counting time, is taken from both sums; the buffer sum is scaled by the
// ratio of monitor counts and of the angle-dependent transmissions
// T^(0.5/cos(theta) + 0.5) and subtracted; the result is divided by the
// sample's monitor counts, transmission, thickness and the absolute scaling
// factor (times 1000).  Masked pixels are set to 0.
#include <cmath>
#include <cstdio>

#include "Pelkaro.h"
#include "common.h"

namespace {

inline float add(float acc, double v) { return pk::to_float(static_cast<double>(acc) + v); }

int refuse(const char* what, const Console& con) {
    pk::say(con, "sub_data -> %s; the data cannot be reduced\n", what);
    return -1;
}

}  // namespace

int sub_data(const Param& p, const std::vector<Data2D>& d, const std::vector<Data2D>& buf, const Data2D& dc,
             const Data2D& mask, Data2D& res, const Console& con) {
    pk::say(con, "Entered sub_data()\n");
    const std::size_t sams = d.size();
    const std::size_t bufs = buf.size();

    float stot_time = 0.0f;
    float stot_monitor = 0.0f;
    float btot_time = 0.0f;
    float btot_monitor = 0.0f;
    for (std::size_t k = 0; k < sams; ++k) {
        stot_time = add(stot_time, d[k].tm);
        stot_monitor = add(stot_monitor, d[k].monitor);
    }
    for (std::size_t k = 0; k < bufs; ++k) {
        btot_time = add(btot_time, buf[k].tm);
        btot_monitor = add(btot_monitor, buf[k].monitor);
    }
    pk::say(con, "stot_time = %f, stot_monitor = %f, btot_time = %f, btot_monitor = %f\n",
                static_cast<double>(stot_time), static_cast<double>(stot_monitor), static_cast<double>(btot_time),
                static_cast<double>(btot_monitor));

    // The buffer entries in use are those that were loaded (time not 0).  Only
    // they enter the buffer scale: their monitor total and the transmission of
    // the first of them.
    std::vector<const Data2D*> used;
    float bused_monitor = 0.0f;
    for (std::size_t k = 0; k < bufs; ++k) {
        if (buf[k].tm != 0 && !buf[k].intens.empty()) {
            used.push_back(&buf[k]);
            bused_monitor = add(bused_monitor, buf[k].monitor);
        }
    }
    const bool with_buffer = btot_time > 0.5f;
    const bool with_dark = dc.tm > 0 && !dc.intens.empty();

    if (sams == 0 || d[0].intens.empty()) return refuse("no sample image is loaded", con);
    if (!(d[0].trans > 0)) return refuse("the transmission of the first sample is not positive", con);
    if (!(d[0].thick > 0)) return refuse("the thickness of the first sample is not positive", con);
    if (!(p.abs_fact > 0)) return refuse("the absolute intensity scaling factor is not positive", con);
    for (std::size_t k = 0; k < sams; ++k)
        if (d[k].tm < 0) return refuse("a sample has a negative counting time", con);
    for (const Data2D* b : used)
        if (b->tm < 0) return refuse("a buffer in use has a negative counting time", con);
    if (!(stot_monitor > 0) || !std::isfinite(stot_monitor)) return refuse("the total sample monitor count is not positive and finite", con);
    if (!std::isfinite(stot_time) || !std::isfinite(btot_time) || !std::isfinite(btot_monitor))
        return refuse("a counting time or monitor total is not finite", con);
    const float btrans0 = used.empty() ? 0.0f : used.front()->trans;
    if (with_buffer) {
        if (used.empty()) return refuse("no buffer image is loaded", con);
        if (!(bused_monitor > 0) || !std::isfinite(bused_monitor))
            return refuse("the monitor total of the buffers in use is not positive and finite", con);
        if (!(btrans0 > 0)) return refuse("the transmission of the first buffer in use is not positive", con);
    }

    res.trans = d[0].trans;
    const float prefac = pk::to_float(
        1000.0 / (static_cast<double>(d[0].trans) * stot_monitor * d[0].thick * p.abs_fact));
    if (!std::isfinite(prefac)) return refuse("the normalisation prefactor is not finite", con);
    pk::say(con, "finished setting up the prefactor nonsense\n");

    const double px = p.px;
    const double py = p.py;
    const double bx = p.bx;
    const double by = p.by;
    const double sam2det = p.sam2det;
    const double strans0 = d[0].trans;
    const double dtm = dc.tm;

    for (int i = 0; i < kDetSide; ++i) {
        const double x = i + 0.5;
        for (int j = 0; j < kDetSide; ++j) {
            const std::size_t m = static_cast<std::size_t>(i + kDetSide * j);
            if (!(mask.intens[m] > 0.25f)) {
                res.intens[m] = 0.0f;
                res.uncert[m] = 0.0f;
                continue;
            }
            const double y = j + 0.5;
            const float r = pk::to_float(std::sqrt((x - bx) * (x - bx) * px * px + (y - by) * (y - by) * py * py));
            const float theta = pk::to_float(std::atan(static_cast<double>(r) / sam2det));
            const double e = 0.5 / std::cos(static_cast<double>(theta)) + 0.5;
            const float strans = pk::to_float(std::pow(strans0, e));

            float stot = 0.0f;
            float ssq = 0.0f;
            for (std::size_t k = 0; k < sams; ++k) {
                stot = add(stot, d[k].intens[m]);
                const double u = d[k].uncert[m];
                ssq = add(ssq, u * u);
            }
            const float stot_uncert = pk::to_float(std::sqrt(static_cast<double>(ssq)));

            const double dark = with_dark ? static_cast<double>(dc.intens[m]) : 0.0;
            const double sdark = with_dark ? static_cast<double>(dc.uncert[m]) : 0.0;
            double intens = 0.0;
            float var = pk::to_float(static_cast<double>(stot_uncert) * stot_uncert);
            if (with_buffer) {
                const float btrans = pk::to_float(std::pow(static_cast<double>(btrans0), e));
                float btot = 0.0f;
                float bsq = 0.0f;
                for (const Data2D* b : used) {
                    btot = add(btot, b->intens[m]);
                    const double u = b->uncert[m];
                    bsq = add(bsq, u * u);
                }
                const float btot_uncert = pk::to_float(std::sqrt(static_cast<double>(bsq)));
                const double scale = (static_cast<double>(stot_monitor) * strans) / (static_cast<double>(bused_monitor) * btrans);
                if (with_dark) {
                    const double fs = stot_time / dtm;
                    const double fb = btot_time / dtm;
                    intens = prefac * ((stot - fs * dark) - scale * (btot - fb * dark));
                    const float a = pk::to_float((static_cast<double>(stot_monitor) * strans * btot_time) /
                                                     (static_cast<double>(bused_monitor) * btrans * dtm) -
                                                 stot_time / dtm);
                    var = add(var, static_cast<double>(a) * a * sdark * sdark);
                } else {
                    intens = prefac * (stot - scale * btot);
                }
                const float b = pk::to_float(scale);
                var = add(var, static_cast<double>(b) * b * btot_uncert * btot_uncert);
            } else if (with_dark) {
                const double fs = stot_time / dtm;
                intens = prefac * (stot - fs * dark);
                var = add(var, static_cast<double>(stot_time) * stot_time * sdark * sdark / (dtm * dtm));
            } else {
                intens = static_cast<double>(prefac) * stot;
            }
            res.intens[m] = pk::to_float(intens);
            res.uncert[m] = pk::to_float(std::sqrt(static_cast<double>(var)) * prefac);
            if (!std::isfinite(res.intens[m]) || !std::isfinite(res.uncert[m])) {
                pk::say(con, "sub_data -> the reduced value of pixel (%d, %d) is not finite (transmission, "
                            "geometry or counts out of range); the data cannot be reduced\n",
                            i, j);
                return -1;
            }
        }
    }
    return 1;
}
