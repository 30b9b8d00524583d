// A row's image as the report shows it: 128 x 128 pixels on a logarithmic
// colour scale, masked pixels grey, written as a PNG by libpng.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#if PK_WITH_PNG
#include <png.h>
#endif

#include "pelkaro/Pelkaro.h"
#include "pelkaro/files.h"
#include "report.h"

namespace pk {

void scale_colour(double t, std::uint8_t rgb[3]) {
    // A polynomial fit of the usual map, per channel, highest power last.
    static constexpr double c[7][3] = {{0.2777273272234177, 0.005407344544966578, 0.3340998053353061},
                                       {0.1050930431085774, 1.404613529898575, 1.384590162594685},
                                       {-0.3308618287255563, 0.214847559468213, 0.09509516302823659},
                                       {-4.634230498983486, -5.799100973351585, -19.33244095627987},
                                       {6.228269936347081, 14.17993336680509, 56.69055260068105},
                                       {4.776384997670288, -13.74514537774601, -65.35303263337234},
                                       {-5.435455855934631, 4.645852612178535, 26.3124352495832}};
    t = std::min(1.0, std::max(0.0, t));
    for (int k = 0; k < 3; ++k) {
        double v = c[6][k];
        for (int j = 5; j >= 0; --j) v = v * t + c[j][k];
        rgb[k] = static_cast<std::uint8_t>(std::lround(std::min(1.0, std::max(0.0, v)) * 255));
    }
}

bool read_image_values(const std::string& path, std::vector<double>& values) {
    std::string text;
    if (!pk::read_file(path, text).ok()) return false;
    values.clear();
    // Numbers wherever they start, "#" comments to the line end; without
    // the locale (a .d2d's fixed-point numbers).
    const char* s = text.data();
    const char* const end = s + text.size();
    while (s < end && values.size() < 2u * kDetPixels) {
        if (*s == '#') {
            const void* nl = std::memchr(s, '\n', static_cast<std::size_t>(end - s));
            s = nl ? static_cast<const char*>(nl) + 1 : end;
            continue;
        }
        double v = 0;
        const std::from_chars_result r = std::from_chars(s, end, v);
        if (r.ec != std::errc() || r.ptr == s) {
            ++s;
            continue;
        }
        values.push_back(v);
        s = r.ptr;
    }
    return values.size() == 2u * kDetPixels;
}

namespace {

// The value std::from_chars reads from the text "%.4f" makes of v (as the
// .d2d writes it, v widened to double): |v| 10^4 rounded half to even to an
// integer n, as printf rounds the exact value, then n / 10^4, which the
// division rounds as the reading does (n and 10^4 are exact doubles below
// 2^53).  Other values (not finite, or n beyond 2^53) through the text.
double d2d_value(float v) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    const std::uint32_t biased = bits >> 23 & 0xffu;
    const std::uint64_t mant = biased == 0 ? (bits & 0x7fffffu) : ((bits & 0x7fffffu) | 0x800000u);
    const int exp2 = biased == 0 ? -149 : static_cast<int>(biased) - 150;
    const std::uint64_t scaled = mant * 10000u;  // below 2^38
    if (biased != 0xffu && exp2 < 0) {
        const int k = -exp2;
        std::uint64_t n = 0;
        if (k < 63) {
            n = scaled >> k;
            const std::uint64_t rest = scaled & ((std::uint64_t{1} << k) - 1), half = std::uint64_t{1} << (k - 1);
            if (rest > half || (rest == half && (n & 1u))) ++n;
        }
        const double d = static_cast<double>(n) / 10000.0;
        return bits >> 31 ? -d : d;
    }
    const std::string text = pk::format("%.4f", static_cast<double>(v));
    double d = 0;
    std::from_chars(text.data(), text.data() + text.size(), d);
    return d;
}

}  // namespace

void image_values(const Data2D& reduced, std::vector<double>& values) {
    values.clear();
    for (const std::vector<float>* v : {&reduced.intens, &reduced.uncert})
        for (std::size_t k = 0; k < static_cast<std::size_t>(kDetPixels) && k < v->size(); ++k)
            values.push_back(d2d_value((*v)[k]));
}

void image_level_values(const Data2D& reduced, std::vector<double>& values) {
    const std::size_t n = static_cast<std::size_t>(kDetPixels);
    values.assign(2 * n, 1.0);
    for (std::size_t k = 0; k < n && k < reduced.intens.size(); ++k) {
        values[k] = d2d_value(reduced.intens[k]);
        if (values[k] == 0 && k < reduced.uncert.size()) values[n + k] = d2d_value(reduced.uncert[k]);
    }
}

std::vector<std::uint8_t> image_levels(const std::vector<double>& values, ImageScale& scale) {
    scale = ImageScale{};
    const auto masked = [&values](std::size_t k) { return values[k] == 0 && values[k + kDetPixels] == 0; };
    std::vector<double> logs(static_cast<std::size_t>(kDetPixels), 0.0);  // each pixel's, worked out once
    for (std::size_t k = 0; k < static_cast<std::size_t>(kDetPixels); ++k) {
        if (masked(k) || !(values[k] > 0) || !std::isfinite(values[k])) continue;
        const double d = logs[k] = std::log10(values[k]);
        scale.hi = scale.any ? std::max(scale.hi, d) : d;
        scale.lo = scale.any ? std::min(scale.lo, d) : d;
        scale.any = true;
    }
    scale.lo = std::max(scale.lo, scale.hi - 4);  // four decades below the brightest pixel
    constexpr int kTop = 255 - kFirstLevel;
    std::vector<std::uint8_t> level(static_cast<std::size_t>(kDetPixels), kNonPositivePixel);
    for (std::size_t k = 0; k < static_cast<std::size_t>(kDetPixels); ++k) {
        const std::size_t x = k % kDetSide, y = k / kDetSide;
        std::uint8_t& px = level[(kDetSide - 1 - y) * kDetSide + x];
        if (masked(k)) {
            px = kMaskedPixel;
        } else if (values[k] > 0 && std::isfinite(values[k])) {
            const double t = scale.hi > scale.lo ? (logs[k] - scale.lo) / (scale.hi - scale.lo) : 1.0;
            px = static_cast<std::uint8_t>(kFirstLevel + std::lround(std::min(1.0, std::max(0.0, t)) * kTop));
        }
    }
    return level;
}

std::vector<std::uint8_t> image_palette() {
    std::vector<std::uint8_t> rgb(3 * 256, 0);
    rgb[0] = rgb[1] = rgb[2] = 200;  // masked: grey; at or below 0: black
    for (int k = kFirstLevel; k < 256; ++k)
        scale_colour(static_cast<double>(k - kFirstLevel) / (255 - kFirstLevel), &rgb[3 * static_cast<std::size_t>(k)]);
    return rgb;
}

#if PK_WITH_PNG

bool png_available() { return true; }

bool write_png(const std::string& path, const std::vector<std::uint8_t>& indices,
               const std::vector<std::uint8_t>& palette, int width, int height, std::string& why) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGB_COLORMAP;  // one byte a pixel: a quick compression
    image.colormap_entries = static_cast<png_uint_32>(palette.size() / 3);
    image.flags = PNG_IMAGE_FLAG_FAST;
    // The file's bytes into memory of the largest size they can take (one
    // compression, not one to measure and one to write): libpng's
    // simplified interface reports its errors as values.
    std::vector<unsigned char> bytes(PNG_IMAGE_PNG_SIZE_MAX(image));
    png_alloc_size_t size = bytes.size();
    if (!png_image_write_to_memory(&image, bytes.data(), &size, 0, indices.data(), 0, palette.data())) {
        why = std::string("cannot make the PNG ") + path + ": " + image.message;
        return false;
    }
    pk::AtomicFile out;
    if (!pk::atomic_open(path, out) ||
        !pk::atomic_finish(out, std::fwrite(bytes.data(), 1, size, out.f) == size)) {
        why = "cannot write " + path;
        return false;
    }
    return true;
}

#else

bool png_available() { return false; }

bool write_png(const std::string& path, const std::vector<std::uint8_t>&, const std::vector<std::uint8_t>&, int, int,
               std::string& why) {
    why = "cannot write " + path + ": this pelkaro-batch was built without libpng";
    return false;
}

#endif

}  // namespace pk
