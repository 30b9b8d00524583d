// pelkaro-flat's report: what it measured and what it set aside.
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "flat_cli.h"

namespace pk {

int flag0_band_losses(const Sensitivity& s, const Param& p) {
    std::vector<double> seen(static_cast<std::size_t>(kDetPixels), 0.0);
    double sum = 0.0;
    int n = 0;
    for (int k = 0; k < kDetPixels; ++k) {
        const auto i = static_cast<std::size_t>(k);
        if (s.fate[i] != PixelFate::good) continue;
        const double dx = (k % kDetSide + 0.5 - static_cast<double>(p.bx)) * static_cast<double>(p.px);
        const double dy = (k / kDetSide + 0.5 - static_cast<double>(p.by)) * static_cast<double>(p.py);
        const double L = p.sam2det, c = L / std::sqrt(L * L + dx * dx + dy * dy);
        seen[i] = s.efficiency[i] * c * c * c;
        sum += seen[i];
        ++n;
    }
    int lost = 0;
    for (std::size_t i = 0; i < seen.size(); ++i)
        if (s.fate[i] == PixelFate::good && n > 0 &&
            (seen[i] < kLeastEfficiency * sum / n || seen[i] > kMostEfficiency * sum / n))
            ++lost;
    return lost;
}

std::string flat_report(const Sensitivity& s, const std::vector<FlatRun>& runs, int sens_flag, int band_losses) {
    std::string r;
    for (std::size_t k = 0; k < runs.size() && k < s.shadows.size(); ++k)
        r += format("%s: beam stop's shadow about (%.2f, %.2f), radius %.2f pixels\n", runs[k].file.c_str(),
                    s.shadows[k].x, s.shadows[k].y, s.shadows[k].radius);
    r += format("pixels: %d good, %d dead or hot, %d unseen (%s), %d masked by the parameter file's mask\n", s.good,
                s.dead_or_hot, s.unseen,
                runs.size() > 1 ? "every run's beam stop over them"
                                : "the beam stop's shadow: one run cannot fill it, written 0 so that Pelkaro masks it",
                s.masked);
    r += format("attenuation in the scatterer: the widest pixel in use, %.2f degrees, multiplied by %.5f\n",
                s.widest_angle, s.widest_correction);
    r += format("efficiencies: spread %.4f (standard deviation about the mean 1), median uncertainty %.4f\n", s.spread,
                s.median_sigma);
    r += format("written: %.6g per unit of efficiency, so that Pelkaro's square root of a value is its uncertainty\n",
                s.scale);
    if (sens_flag == 1)
        r += "SENS flag 1: Pelkaro divides the cos^3 2theta the file holds out of it and the data alike\n";
    else
        r += format("SENS flag 0: Pelkaro's 0.5 to 1.5 band judges the efficiency times cos^3 2theta and would mask "
                    "%d good pixels; flag 1 judges the efficiency alone\n",
                    band_losses);
    return r;
}

}  // namespace pk
