// Detector corrections applied image by image: the solid-angle correction of
// a flat detector (1/cos^3 of the scattering angle) and the normalisation and
// application of the detector sensitivity (flat field).
#include <cmath>
#include <cstdio>
#include <cstring>

#include "Pelkaro.h"
#include "common.h"

void solid_angle(const Param& p, SolidAngle& sa) {
    sa.factor.assign(kDetPixels, 0.0f);
    sa.bad_x = sa.bad_y = -1;
    const double sam2det = p.sam2det;
    // Distance from the beam centre, angle and factor, each held as a float;
    // the factor depends on the pixel only through the distance.
    auto factor = [sam2det](float r) {
        const float theta = pk::scatter_angle(r, sam2det);
        const double c = std::cos(static_cast<double>(theta));
        return pk::to_float(1.0 / (c * c * c));
    };
    pk::RadiusCache<float> known;
    for (int x = 0; x < kDetSide; ++x) {
        const double dx = x + 0.5 - static_cast<double>(p.bx);
        for (int y = 0; y < kDetSide; ++y) {
            const double dy = y + 0.5 - static_cast<double>(p.by);
            const float f = known.get(pk::radius(dx, dy, p.px, p.py), factor);
            // A factor below 1 or not finite means the angle, rounded to a
            // float, reached a right angle: the geometry is absurd.
            if (!(f >= 1.0f && std::isfinite(f)) && sa.bad_x < 0) {
                sa.bad_x = x;
                sa.bad_y = y;
            }
            sa.factor[static_cast<std::size_t>(x + kDetSide * y)] = f;
        }
    }
}

int jacobian(const Param&, Data2D& dat, const SolidAngle& sa, const Console& con) {
    if (sa.bad_x >= 0) {
        pk::say(con, "jacobian -> the solid-angle factor of pixel (%d, %d) is not a finite value of at least 1; "
                     "check the pixel spacing, beam center and sample-to-detector distance\n",
                sa.bad_x, sa.bad_y);
        return -1;
    }
    float* intens = dat.intens.data();
    float* uncert = dat.uncert.data();
    for (int m = 0; m < kDetPixels; ++m) {
        const double f = sa.factor[static_cast<std::size_t>(m)];
        intens[m] = pk::to_float(static_cast<double>(intens[m]) * f);
        uncert[m] = pk::to_float(static_cast<double>(uncert[m]) * f);
    }
    return 1;
}

int jacobian(const Param& p, Data2D& dat, const Console& con) {
    SolidAngle sa;
    solid_angle(p, sa);
    return jacobian(p, dat, sa, con);
}

// Turns the raw flat field into relative efficiencies with mean 1 over the
// used pixels and removes from the mask every pixel whose efficiency lies
// outside 0.5 to 1.5.  Sums, quotients and products are rounded to floats;
// square roots are taken in double.
int sens_norm(const Param&, Data2D& sens, Data2D& mask, const Console& con) {
    float* s = sens.intens.data();
    float* su = sens.uncert.data();
    float* mk = mask.intens.data();
    float sum = 0.0f;
    int32_t count = 0;
    for (int k = 0; k < kImageValues; ++k) {
        su[k] = pk::to_float(std::sqrt(static_cast<double>(s[k])));
        if (pk::pixel_used(mk[k])) {
            sum = pk::to_float(static_cast<double>(sum) + s[k]);
            ++count;
        }
    }
    const float mean = count > 0 ? pk::to_float(static_cast<double>(sum) / count) : 0.0f;
    if (!(mean > 0.0f && std::isfinite(mean))) {
        pk::say(con, "sens_norm -> the mean sensitivity of the %d used pixels is %f; the sensitivity file %s "
                    "cannot normalize the detector\n",
                    count, static_cast<double>(mean), sens.name.c_str());
        return -1;
    }
    for (int k = 0; k < kImageValues; ++k) {
        if (pk::pixel_used(mk[k])) {
            s[k] = pk::to_float(static_cast<double>(s[k]) / mean);
            su[k] = pk::to_float(static_cast<double>(su[k]) / mean);
        }
        if (s[k] < 0.5f || s[k] > 1.5f) mk[k] = 0.0f;
    }
    int used = 0;
    for (int m = 0; m < kDetPixels; ++m)
        if (pk::pixel_used(mk[m])) ++used;
    if (used == 0) {
        pk::say(con, "sens_norm -> no detector pixel is left in the mask after removing those of extreme "
                    "sensitivity\n");
        return -1;
    }
    return 1;
}

// Divides one image by the relative efficiencies and propagates the
// uncertainty of the quotient of two independent values.
int sens_cor(const Param&, Data2D& dat, const Data2D& sens, const Data2D& mask) {
    float* in = dat.intens.data();
    float* un = dat.uncert.data();
    const float* s = sens.intens.data();
    const float* su = sens.uncert.data();
    const float* mk = mask.intens.data();
    for (int k = 0; k < kImageValues; ++k) {
        if (!pk::pixel_used(mk[k])) continue;
        const double i = in[k];
        const double sd = s[k];
        const float q = pk::to_float(i / sd);
        const float var_i = pk::to_float(static_cast<double>(un[k]) * un[k]);
        const float t1 = i == 0 ? var_i : pk::to_float(var_i / static_cast<double>(pk::to_float(i * i)));
        const float var_s = pk::to_float(static_cast<double>(su[k]) * su[k]);
        const float t2 = sd == 0 ? var_s : pk::to_float(var_s / static_cast<double>(pk::to_float(sd * sd)));
        const float t = pk::to_float(static_cast<double>(t1) + t2);
        in[k] = q;
        un[k] = pk::to_float(static_cast<double>(q) * std::sqrt(static_cast<double>(t)));
    }
    for (int k = 0; k < kImageValues; ++k)
        if (pk::pixel_cleared(mk[k])) un[k] = 0.0f;
    return 1;
}
