// Fuzz target: pelkaro-aniso's inputs past the reduction (fuzzed on its own
// by fuzz_run): its command line, and I(phi), the orientation and the sector
// pairs on a fuzzed geometry, image and mask.
//
// Input layout: the first line is the command line, its words separated by
// blanks, read by pelkaro-aniso's own parser (nothing is run from it).
// Then, as little-endian 32-bit floats: pixel spacings x and y, beam centre
// x and y, distance, wavelength, ring limits, the sectors' axis and width;
// a byte for the number of bins and one for the ring's unit; then two
// bytes per pixel for its value (the high bit: the pixel is masked), the
// uncertainty a tenth of the value's size; pixels beyond the input take the
// input's values again from its start.
//
// Invariants: a profile that is made has finite values wherever a bin has
// area and areas adding up to at most the detector's; an orientation that
// is made is finite with phi0 in [0, 180]; the curves of a pair are finite;
// a refusal is a Status with its reason.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "aniso_cli.h"
#include "fuzz_util.h"
#include "pelkaro/aniso.h"

using namespace pk;

namespace {

// The command line's words, read by the program's parser.
void parse_command_line(const std::string& line) {
    std::vector<std::string> words{"pelkaro-aniso"};
    std::istringstream in(line);
    for (std::string w; in >> w;) words.push_back(w);
    std::vector<const char*> argv;
    for (const std::string& w : words) argv.push_back(w.c_str());
    AnisoOptions opt;
    std::string why;
    const AnisoCli c = parse_aniso_args(static_cast<int>(argv.size()), argv.data(), opt, why);
    pkf::check((c == AnisoCli::bad) == !why.empty(), "a refused command line says why", why);
    if (c != AnisoCli::run) return;
    pkf::check(opt.ring_given && opt.ring.hi > opt.ring.lo && opt.bins >= 2 && opt.bins <= kMostAzimuthBins,
               "an accepted command line holds a ring and bins");
}

struct Reader {
    const uint8_t* data;
    std::size_t size, at = 0;
    float next_float() {
        float v = 0;
        if (at + 4 <= size) std::memcpy(&v, data + at, 4);
        at += 4;
        return v;
    }
    uint8_t next_byte() { return at < size ? data[at++] : (at++, uint8_t{0}); }
};

void check_profile(const AzimuthProfile& prof) {
    double area = 0;
    for (int b = 0; b < prof.bins; ++b) {
        area += prof.area[b];
        if (prof.area[b] > 0) pkf::check(std::isfinite(prof.i[b]) && std::isfinite(prof.idev[b]), "a bin with area is finite");
    }
    pkf::check(area <= kDetPixels + 1e-6, "the ring holds at most the detector");
    Orientation o;
    const Status st = orientation(prof, o);
    if (!st.ok()) {
        pkf::check(!st.reason.empty(), "a refused orientation says why");
        return;
    }
    pkf::check(std::isfinite(o.phi0) && o.phi0 >= 0 && o.phi0 <= 180, "phi0 lies in [0, 180]");
    pkf::check(std::isfinite(o.order) && std::isfinite(o.hermans), "the order parameters are finite");
    (void)azimuth_table(prof, &o, "");
}

void analyse(Reader& r) {
    Param p{};
    p.px = r.next_float(), p.py = r.next_float(), p.bx = r.next_float(), p.by = r.next_float();
    p.sam2det = p.src2sam = r.next_float(), p.wavelen = r.next_float(), p.bin_width = 1;
    p.srcapp = p.samapp = 1, p.thmax = 6.2831855f;
    const double lo = r.next_float(), hi = r.next_float(), axis = r.next_float(), width = r.next_float();
    const int bins = r.next_byte() % 80;
    const Ring ring{r.next_byte() % 2 ? Ring::Unit::q : Ring::Unit::pixels, lo, hi};
    Data2D image, mask;
    image.intens.assign(kImageValues, 0.0f), image.uncert.assign(kImageValues, 0.0f);
    mask.intens.assign(kImageValues, 1.0f);
    const std::size_t start = r.at, left = r.size > start ? (r.size - start) / 2 : 0;
    for (int k = 0; left > 0 && k < kDetPixels; ++k) {
        const std::size_t at = start + 2 * (static_cast<std::size_t>(k) % left);
        const uint16_t v = static_cast<uint16_t>(r.data[at] | r.data[at + 1] << 8);
        image.intens[k] = static_cast<float>(v & 0x7fff) - 1000.0f;
        image.uncert[k] = std::fabs(image.intens[k]) * 0.1f;
        mask.intens[k] = v & 0x8000 ? 0.0f : 1.0f;
    }
    AzimuthProfile prof;
    const Status st = azimuthal_profile(p, image, mask, ring, bins, prof);
    if (st.ok()) check_profile(prof);
    else pkf::check(!st.reason.empty(), "a refused profile says why");
    SectorPairs pairs;
    const Status sp = sector_pairs(p, image, mask, axis, width, pairs);
    if (!sp.ok()) return;
    for (const SectorCurve* c : {&pairs.along, &pairs.across})
        for (std::size_t k = 0; k < c->bins.size(); ++k)
            pkf::check(std::isfinite(c->i[k]) && std::isfinite(c->idev[k]), "a sector curve is finite");
    (void)sector_table(pairs);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const uint8_t* end = static_cast<const uint8_t*>(std::memchr(data, '\n', size));
    const std::size_t line = end ? static_cast<std::size_t>(end - data) : size;
    parse_command_line(std::string(reinterpret_cast<const char*>(data), line));
    Reader r{data + (end ? line + 1 : size), end ? size - line - 1 : 0};
    analyse(r);
    return 0;
}
