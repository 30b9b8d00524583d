// The text tables of I(phi) and of the sector pairs (pelkaro/aniso.h).
#include <cmath>
#include <cstddef>
#include <map>
#include <string>

#include "pelkaro/aniso.h"

namespace pk {

namespace {

// A value as the tables print it: six significant digits, "nan" where there
// is none.
std::string value(double v) { return std::isfinite(v) ? pk::format("%.6g", v) : std::string("nan"); }

// An azimuth from 0 to 360 degrees.
double turn(double deg) { return std::fmod(std::fmod(deg, 360.0) + 360.0, 360.0); }

std::string ring_line(const AzimuthProfile& prof) {
    std::string q;
    if (std::isfinite(prof.q_lo))
        q = pk::format("Q %s to %s 1/angstrom, ", value(prof.q_lo).c_str(),
                       std::isfinite(prof.q_hi) ? value(prof.q_hi).c_str() : "beyond the detector");
    return pk::format("# ring: %sradius %s to %s (the parameter file's length unit); %d bins of %s degrees; "
                      "%d pixels\n",
                      q.c_str(), value(prof.r_lo).c_str(), value(prof.r_hi).c_str(), prof.bins,
                      value(360.0 / prof.bins).c_str(), prof.pixels);
}

}  // namespace

std::string azimuth_table(const AzimuthProfile& prof, const Orientation* orient, const std::string& why_not) {
    std::string t = "# pelkaro-aniso I(phi)\n" + ring_line(prof);
    if (orient) {
        t += pk::format("# phi0 %.4f +- %.2g degrees: the pattern's main axis (azimuth of maximum intensity, "
                        "fitted); streaks run across elongated particles\n",
                        orient->phi0, orient->phi0_dev);
        t += pk::format("# order parameter <cos 2(phi - phi0)> %.6f +- %.2g\n", orient->order, orient->order_dev);
        t += pk::format("# Hermans <P2> %.6f +- %.2g\n", orient->hermans, orient->hermans_dev);
    } else {
        t += "# orientation: not defined: " + why_not + "\n";
    }
    t += "# phi_deg I dI area_px\n";
    for (std::size_t b = 0; b < static_cast<std::size_t>(prof.bins); ++b)
        t += pk::format("%s %s %s %s\n", value(prof.phi[b]).c_str(), value(prof.i[b]).c_str(),
                        value(prof.idev[b]).c_str(), value(prof.area[b]).c_str());
    return t;
}

std::string sector_table(const SectorPairs& pairs) {
    struct Row {
        double q = NAN, q_centre = NAN, dq = NAN, i[2] = {NAN, NAN}, di[2] = {NAN, NAN};
    };
    std::map<int, Row> rows;
    const SectorCurve* curves[2] = {&pairs.along, &pairs.across};
    for (int c = 0; c < 2; ++c)
        for (std::size_t k = 0; k < curves[c]->bins.size(); ++k) {
            Row& r = rows[curves[c]->bins[k]];
            r.q = curves[c]->q[k], r.q_centre = curves[c]->q_centre[k], r.dq = curves[c]->dq[k];
            r.i[c] = curves[c]->i[k], r.di[c] = curves[c]->idev[k];
        }
    std::string t = "# pelkaro-aniso sector pairs\n";
    t += pk::format("# along: %s +- %s and %s +- %s degrees; across: %s +- %s and %s +- %s degrees\n",
                    value(turn(pairs.axis)).c_str(), value(pairs.width / 2).c_str(),
                    value(turn(pairs.axis + 180)).c_str(), value(pairs.width / 2).c_str(),
                    value(turn(pairs.axis + 90)).c_str(), value(pairs.width / 2).c_str(),
                    value(turn(pairs.axis + 270)).c_str(), value(pairs.width / 2).c_str());
    t += "# q I_along dI_along I_across dI_across q_centre dq\n";
    for (const auto& entry : rows) {
        const Row& r = entry.second;
        t += pk::format("%s %s %s %s %s %s %s\n", value(r.q).c_str(), value(r.i[0]).c_str(), value(r.di[0]).c_str(),
                        value(r.i[1]).c_str(), value(r.di[1]).c_str(), value(r.q_centre).c_str(), value(r.dq).c_str());
    }
    return t;
}

}  // namespace pk
