// Fuzz target: the parameter-file passes, count_parse then parse_in, on a
// fuzzed parameter file, exactly as the run driver calls them.  After a
// successful parse every value a keyword set must have passed its check and
// be finite; the entry counts must match the entry arrays.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "fuzz_util.h"
#include "parse_in.h"

using namespace pk;

namespace {

bool finite(float v) { return std::isfinite(v); }

void setup_once() {
    static const bool done = [] {
        pkf::quiet_stdout();
        const pkf::InScratch in_scratch;
        // Files the fuzzed names can find in reduction mode: regular files and
        // a directory (which must count as missing).
        for (const char* n : {"a", "b", "c", "d", "e", "s1.dat", "mask.d2d"}) pkf::write_file(n, std::string("1\n"));
        std::filesystem::create_directory("dir");
        return true;
    }();
    (void)done;
}

bool seen(uint32_t mask, int kw) { return (mask >> kw) & 1u; }

void check_record(const Data2D& d, bool needs_all) {
    pkf::check(finite(d.tm), "entry time not finite", d.name);
    if (needs_all) {
        pkf::check(finite(d.monitor) && finite(d.thick) && finite(d.trans), "entry value not finite", d.name);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    setup_once();
    const pkf::InScratch in_scratch;
    pkf::write_file("p.in", data, size);

    Param p{};
    const Status counted = count_parse("p.in", p);
    pkf::check(counted.ok() == counted.text().empty(), "count_parse result without its reason");
    if (!counted.ok()) return 0;
    pkf::check(p.sams >= 1 && p.bufs >= 1, "count_parse accepted a zero count");
    pkf::check(static_cast<size_t>(p.sams) + p.bufs <= size, "more entries counted than the file has bytes");

    std::vector<Data2D> sam(static_cast<size_t>(p.sams));
    std::vector<Data2D> buf(static_cast<size_t>(p.bufs));
    Data2D dc, sens, mask;
    uint32_t kw = 0;
    const Status parsed = parse_in("p.in", p, sam, buf, dc, sens, mask, &kw);
    pkf::check(parsed.ok() == parsed.text().empty(), "parse_in result without its reason");
    pkf::check(parsed.ok() || parsed.line > 0 || parsed.code == Code::cannot_read, "a refused line without its number");
    pkf::check(sam.size() == static_cast<size_t>(p.sams) && buf.size() == static_cast<size_t>(p.bufs),
               "parse_in resized the entry arrays");
    if (!parsed.ok()) return 0;

    // Keyword indices as kKeywords lists them.
    enum { MODE, CNTR, PXSP, SM2D, SMRP, WAVE, DATS, DATB, DATD, SENS, MASK, ABSF, AVGM, ANGS, BINS };
    pkf::check(p.mode >= 0 && p.mode <= 2, "mode out of range");
    if (seen(kw, CNTR))
        pkf::check(p.bx >= 0 && p.bx <= 511.0f && p.by >= 0 && p.by <= 511.0f, "beam centre off the detector");
    if (seen(kw, PXSP)) pkf::check(p.px > 0 && p.py > 0 && finite(p.px) && finite(p.py), "pixel spacing");
    if (seen(kw, SM2D)) pkf::check(p.sam2det > 0 && finite(p.sam2det), "sample-to-detector distance");
    if (seen(kw, SMRP))
        pkf::check(p.src2sam > 0 && finite(p.src2sam) && finite(p.srcapp) && finite(p.samapp), "smearing values");
    if (seen(kw, WAVE)) pkf::check(p.wavelen > 0 && finite(p.wavelen) && finite(p.dwavelen), "wavelength");
    if (seen(kw, ABSF)) pkf::check(p.abs_fact > 0 && finite(p.abs_fact), "absolute scale");
    if (seen(kw, AVGM)) pkf::check(p.average >= 0 && p.average <= 2, "averaging mode");
    if (seen(kw, ANGS))
        pkf::check(p.thmin >= 0 && p.thmin <= p.thmax && p.thmax <= 6.2831855f, "sector angles (radians)");
    if (seen(kw, BINS)) pkf::check(p.bin_width >= 1 && finite(p.bin_width), "bin width");
    if (seen(kw, SENS)) pkf::check(p.jacobian == 0 || p.jacobian == 1, "jacobian flag");
    // Every counted entry was filled: the pre-pass and the parse agree.
    for (const Data2D& d : sam) {
        check_record(d, true);
        pkf::check(d.tm != 0, "sample accepted with time 0", d.name);
    }
    for (const Data2D& d : buf) check_record(d, d.tm != 0);
    if (seen(kw, DATD)) check_record(dc, false);
    if (seen(kw, MASK)) pkf::check(finite(mask.tm), "mask switch not finite");
    return 0;
}
