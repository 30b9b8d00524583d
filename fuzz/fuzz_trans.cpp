// Fuzz target: the direct-beam measurements (pelkaro/trans.h) on fuzzed
// images, past the file reader (fuzzed on its own by fuzz_read_data).
//
// Input layout: byte 0 picks the counting times, monitor counts and the
// dark current's level; then two bytes per pixel of the empty beam (little
// endian; a set top bit makes the other fifteen the high half of a count up
// to 2^31), pixels beyond the input counting 0.  The run through a sample is
// the empty beam turned half a turn; the flat field is 1000 everywhere but a
// masked disc about the middle of the detector.
//
// The run is also taken as a secondary standard, after a dead-time
// correction.
//
// Invariants: a centre, disc, transmission or scale factor that is accepted
// is finite (a transmission at most 1.2, an uncertainty not negative, a
// scale factor above 0); a refusal is a Status with its reason.
#include <cmath>
#include <cstdint>
#include <string>

#include "pelkaro/trans.h"
#include "trans_steps.h"
#include "fuzz_util.h"
#include "geometry.h"

using namespace pk;

namespace {

BeamImage image(double time, double monitor) {
    BeamImage b;
    b.name = "beam";
    b.time = time;
    b.monitor = monitor;
    b.counts.assign(kDetPixels, 0.0);
    return b;
}

FlatField flat_field() {
    FlatField f;
    f.p.px = f.p.py = 5.0f;
    f.p.sam2det = 5000.0f;
    f.p.jacobian = 1;
    f.p.mask_source = 1;
    f.flat.name = "flat";
    f.flat.intens.assign(kImageValues, 1000.0f);
    f.mask.intens.assign(kImageValues, 1.0f);
    for (int k = 0; k < kDetPixels; ++k)
        if (std::hypot(k % kDetSide - 63.5, k / kDetSide - 63.5) < 6) f.mask.intens[k] = f.flat.intens[k] = 0;
    return f;
}

void refused_with_reason(const Status& st) { pkf::check(st.ok() || !st.reason.empty(), "a refusal without reason"); }

void measure(const BeamImage& empty, const BeamImage& run, const BeamImage& dark, const FlatField& flat) {
    BeamCentre c;
    Status st = beam_centre(empty, dark, flat, c);
    refused_with_reason(st);
    if (!st.ok()) return;
    pkf::check(std::isfinite(c.x) && std::isfinite(c.y) && std::isfinite(c.sx) && std::isfinite(c.sy), "centre");
    Disc d;
    st = default_disc(empty, dark, c, kDiscShare, d);
    refused_with_reason(st);
    if (st.ok()) pkf::check(d.radius > 0 && std::isfinite(d.radius), "disc radius");
    if (st.ok()) st = check_disc(d);
    if (!st.ok()) return;
    const DiscCounts e = disc_counts(empty, dark, d);
    if (!check_empty_beam(e, "empty").ok()) return;
    Measured t;
    st = transmission(disc_counts(run, dark, d), e, "run", t);
    refused_with_reason(st);
    if (st.ok()) pkf::check(t.value <= kMostTransmission && t.sigma >= 0 && std::isfinite(t.sigma), "transmission");
    AbsoluteScale a;
    st = absolute_scale(empty, dark, c, flat, 1e-4, a);
    refused_with_reason(st);
    if (st.ok()) pkf::check(a.value > 0 && std::isfinite(a.value) && std::isfinite(a.sigma), "scale");
    // The run taken as a secondary standard of 0.08 cm^-1 sr^-1, after a dead-time correction.
    BeamImage standard = run;
    st = correct_dead_time(standard, 1e-6);
    refused_with_reason(st);
    if (!st.ok()) return;
    StandardRun s;
    s.run = BeamRun{"run", run.time, run.monitor, ""};
    s.thickness = 0.1, s.transmission = 0.9, s.cross_section = 0.08, s.cross_section_sigma = 0.001;
    st = standard_scale(s, standard, dark, c, flat, a);
    refused_with_reason(st);
    if (st.ok()) pkf::check(a.value > 0 && std::isfinite(a.value) && std::isfinite(a.sigma), "standard's scale");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const FlatField flat = flat_field();
    if (size == 0) return 0;
    const int pick = data[0];
    BeamImage empty = image(1 + (pick & 7), 1 + (pick >> 3 & 7) * 1000);
    BeamImage run = image(1 + (pick >> 2 & 7), 500);
    BeamImage dark = (pick & 0x40) ? image(100, 0) : BeamImage{};
    for (std::size_t k = 0; k < static_cast<std::size_t>(kDetPixels) && 2 * k + 2 < size; ++k) {
        const uint32_t lo = data[2 * k + 1], hi = data[2 * k + 2];
        const double v = (hi & 0x80) ? static_cast<double>(((hi & 0x7f) << 8 | lo) << 16) : (hi << 8 | lo);
        empty.counts[k] = v;
        run.counts[static_cast<std::size_t>(kDetPixels) - 1 - k] = v;
        if (!dark.counts.empty()) dark.counts[k] = pick >> 7 ? v : 3.0;
    }
    measure(empty, run, dark, flat);
    return 0;
}
