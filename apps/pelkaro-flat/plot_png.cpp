// pelkaro-flat's --plot: the efficiencies as a PNG image, through libpng.
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <string>
#include <vector>

#include "flat_cli.h"

namespace pk {

namespace {

constexpr int kZoom = 4;  // image pixels per detector pixel along each side
constexpr double kLow = 0.8, kHigh = 1.2;  // the efficiencies the grey scale spans

// The colour of a pixel: grey for an efficiency, red dead or hot, blue unseen, black masked.
void colour(const Sensitivity& s, std::size_t k, png_byte* rgb) {
    switch (s.fate[k]) {
        case PixelFate::dead_or_hot: rgb[0] = 255, rgb[1] = 0, rgb[2] = 0; return;
        case PixelFate::unseen: rgb[0] = 0, rgb[1] = 0, rgb[2] = 255; return;
        case PixelFate::masked: rgb[0] = rgb[1] = rgb[2] = 0; return;
        case PixelFate::good: break;
    }
    const double g = std::clamp((s.efficiency[k] - kLow) / (kHigh - kLow), 0.0, 1.0);
    rgb[0] = rgb[1] = rgb[2] = static_cast<png_byte>(40 + 215 * g);
}

std::vector<png_byte> image_rows(const Sensitivity& s) {
    const int side = kDetSide * kZoom;
    std::vector<png_byte> img(static_cast<std::size_t>(side) * side * 3);
    for (int row = 0; row < side; ++row)
        for (int col = 0; col < side; ++col) {
            const int y = kDetSide - 1 - row / kZoom, x = col / kZoom;  // detector row 0 at the bottom
            colour(s, static_cast<std::size_t>(x + kDetSide * y),
                   &img[(static_cast<std::size_t>(row) * side + static_cast<std::size_t>(col)) * 3]);
        }
    return img;
}

// libpng's calls; false when it reported an error (it returns here by longjmp).
bool write_rows(png_structp png, png_infop info, std::FILE* f, std::vector<png_bytep>& rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    const auto side = static_cast<png_uint_32>(kDetSide * kZoom);
    png_init_io(png, f);
    png_set_IHDR(png, info, side, side, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    return true;
}

}  // namespace

bool png_available() { return true; }

std::string write_efficiency_png(const Sensitivity& s, std::FILE* f, const std::string& name) {
    std::vector<png_byte> img = image_rows(s);
    std::vector<png_bytep> rows;
    const std::size_t stride = static_cast<std::size_t>(kDetSide * kZoom) * 3;
    for (std::size_t r = 0; r < static_cast<std::size_t>(kDetSide * kZoom); ++r) rows.push_back(&img[r * stride]);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    const bool ok = png && info && write_rows(png, info, f, rows);
    png_destroy_write_struct(png ? &png : nullptr, info ? &info : nullptr);
    return ok ? "" : name + ": the PNG image could not be written";
}

}  // namespace pk
