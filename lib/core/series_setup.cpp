// Reductions of a series with one configuration: the fixed parts taken from
// one complete reduction, then each further run reduced with them.  The
// stages are called on each sample image exactly as reduce() calls them (the
// same functions, inputs and order), so only the work on the fixed images
// is saved.  Any refusal is left to reduce(), which words it.
#include <cstring>
#include <algorithm>
#include <new>
#include <type_traits>

#include "series_setup.h"

#include "geometry.h"
#include "run_steps.h"
#include "stages.h"
#include "ave_data.h"
#include "ave_plan.h"
#include "numbers.h"
#include "read_sans.h"
#include "sens_cor.h"
#include "sub_data.h"

namespace pk {

namespace {

template <class T>
void put_bytes(std::string& key, const T& v) {
    static_assert(std::is_trivially_copyable<T>::value, "plain values only");
    key.append(reinterpret_cast<const char*>(&v), sizeof v);
}

void put_text(std::string& key, const std::string& s) {
    put_bytes(key, s.size());
    key += s;
}

void put_entry(std::string& key, const Data2D& d) {
    put_text(key, d.name);
    for (float f : {d.tm, d.monitor, d.thick, d.trans}) put_bytes(key, pk::bits_of(f));
}

bool averaging(const Param& p) { return p.average == 1 || p.average == 2; }

// The image read already for the entry `d`, where there is one not taken
// yet (a file named twice is read again for its second entry).
LoadedSample* loaded_for(std::vector<LoadedSample>* loaded, const Data2D& d) {
    if (!loaded) return nullptr;
    for (LoadedSample& l : *loaded)
        if (!l.taken && l.name == d.name && l.tm == pk::bits_of(d.tm) && l.monitor == pk::bits_of(d.monitor) &&
            l.psd == pk::bits_of(d.psd))
            return &l;
    return nullptr;
}

// One sample image loaded and corrected as reduce() loads and corrects it:
// `d` holds the entry's name and values, `l` the image read from them,
// whose pixels it takes.
bool load_sample(const SeriesSetup& setup, LoadedSample* l, Data2D& d) {
    const Console quiet{nullptr, nullptr};
    if (l) {
        d.intens = std::move(l->image.intens), d.uncert = std::move(l->image.uncert);
        l->taken = true;
        d.tm = l->image.tm, d.monitor = l->image.monitor, d.psd = l->image.psd, d.values = l->image.values;
    } else if (!allocate_image(d) || !read_data(d, quiet).ok()) {
        return false;
    }
    if (d.values <= 0 || d.tm == 0) return false;
    if (setup.p.jacobian == 1 && !jacobian(setup.p, d, setup.sa).ok()) return false;
    return true;
}

}  // namespace

std::string series_key(const Run& run) {
    Param p = run.p;
    p.sams = 0;
    std::string key;
    put_bytes(key, p);
    put_bytes(key, run.log.seen);
    put_bytes(key, run.want_sums);
    put_bytes(key, run.buf.size());
    for (const Data2D& b : run.buf) put_entry(key, b);
    put_entry(key, run.dark);
    put_entry(key, run.sens);
    put_entry(key, run.mask);
    return key;
}

SeriesSetup take_setup(const Run& run, const std::string& key) {
    SeriesSetup s;
    s.key = key;
    s.p = run.p;
    if (s.p.jacobian == 1) solid_angle(s.p, s.sa);
    s.buf = run.buf;
    s.buf_sums = run.buf_sums;
    s.dark = run.dark;
    s.sens = run.sens;
    s.mask = run.mask;
    s.sub = make_sub_plan(s.p, s.mask, run.sam[0].trans, s.buf);
    // The writer's sums of the geometry only for a series that writes them.
    if (averaging(s.p)) s.plan = make_ave_plan(s.p, s.mask, run.want_sums);
    return s;
}

bool reduce_with_setup(Run& run, const SeriesSetup& setup, std::vector<LoadedSample>* loaded) {
    const Console quiet{nullptr, nullptr};
    if (run.p.mode != 0 || run.sam.empty() || series_key(run) != setup.key) return false;
    // Each sample read into one image, corrected and added to the sums in
    // entry order, its header values kept by the entry, as reduce() does.
    Data2D image;
    for (Data2D& d : run.sam) {
        image.name = d.name, image.tm = d.tm, image.monitor = d.monitor, image.psd = d.psd;
        if (!load_sample(setup, loaded_for(loaded, d), image) ||
            !sens_cor_pixels(run.p, image, setup.sens, setup.mask).ok())  // only its pixels are added
            return false;
        d.tm = image.tm, d.monitor = image.monitor, d.psd = image.psd, d.values = image.values;
        add_image(run.sam_sums, image, run.p.simd);
    }
    if (!allocate_image(run.reduced)) return false;
    if (!sub_sums_planned(setup.sub, run.p, run.sam, setup.buf, run.sam_sums, setup.buf_sums, setup.dark, run.reduced))
        return false;
    run.reduced.name = run.sam[0].name;
    try {
        run.mask.intens = setup.mask.intens;
        // The buffers and dark current too where the NXcanSAS file is to be
        // written: its systematic terms make the subtraction again.
        if (run.want_sums) run.buf = setup.buf, run.buf_sums = setup.buf_sums, run.dark = setup.dark;
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!averaging(run.p)) return true;
    // The writer's sums, where asked for, by the plan too.
    if (average_by_plan(setup.plan, run.reduced, run.curve) &&
        (!run.want_sums || sums_by_plan(setup.plan, run.reduced, run.sums)))
        return true;
    return (run.want_sums ? ave_data_sums(run.p, run.reduced, run.curve, setup.mask, run.sums, quiet)
                          : ave_data(run.p, run.reduced, run.curve, setup.mask, quiet))
        .ok();
}

}  // namespace pk
