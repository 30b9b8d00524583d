// The checks of a series: the fixed detector files (buffer, dark current,
// flat field) loaded and read once for all the checks that name them, and
// the reduction made with the fixed parts of the configuration.  Each check
// finds what check_run finds on the same parameter file.
#include <algorithm>
#include <memory>
#include <mutex>

#include "check_internal.h"
#include "keywords.h"
#include "pelkaro/files.h"
#include "pelkaro/flat_field.h"
#include "series_parts.h"
#include "numbers.h"
#include "read_sans.h"
#include "series_setup.h"

namespace pk {

// A fixed detector file as the check loaded and read it, for the entry's
// counting time and monitor count.
struct CheckedFile {
    int kw = -1;
    std::string name;
    float tm = 0, monitor = 0;
    Status load;
    Data2D data;        // pixel arrays only for the flat field, which the check keeps
    bool scanned = false;
    bool scan_ok = false;
    DataScan scan;
};

namespace {

bool shared_kind(const Check& c, int kw) { return c.series && c.series->cache && kw != DATS; }

std::shared_ptr<const CheckedFile> find_file(SeriesCache::Parts& cache, int kw, const Data2D& d) {
    std::lock_guard<std::mutex> lock(cache.m);
    for (const auto& f : cache.files)
        if (f->kw == kw && f->name == d.name && pk::bits_of(f->tm) == pk::bits_of(d.tm) &&
            pk::bits_of(f->monitor) == pk::bits_of(d.monitor))
            return f;
    return nullptr;
}

}  // namespace

std::vector<std::string> known_files(SeriesCache& cache) {
    SeriesCache::Parts& parts = cache.parts();
    std::vector<std::string> names;
    std::lock_guard<std::mutex> lock(parts.m);
    for (const auto& f : parts.files)
        if (f->kw != DATS && f->load.ok() && std::find(names.begin(), names.end(), f->name) == names.end())
            names.push_back(f->name);
    return names;
}

namespace {

void keep_file(SeriesCache::Parts& cache, std::shared_ptr<const CheckedFile> f) {
    std::lock_guard<std::mutex> lock(cache.m);
    if (cache.files.size() >= SeriesCache::Parts::kMostFiles) cache.files.erase(cache.files.begin());
    cache.files.push_back(std::move(f));
}

// The file loaded and scanned as the check does, once.
std::shared_ptr<const CheckedFile> checked_file(SeriesCache::Parts& cache, int kw, const Data2D& entry) {
    if (auto f = find_file(cache, kw, entry)) return f;
    auto f = std::make_shared<CheckedFile>();
    f->kw = kw;
    f->name = entry.name;
    f->tm = entry.tm;
    f->monitor = entry.monitor;
    f->data = entry;
    f->load = read_data(f->data, Console{nullptr, nullptr});
    if (kw != SENS) {
        std::vector<float>().swap(f->data.intens);
        std::vector<float>().swap(f->data.uncert);
    }
    f->scanned = true;
    f->scan_ok = scan_data_file(entry.name, f->scan);
    keep_file(cache, f);
    return f;
}

}  // namespace

namespace {

// A sample file of a series' check read once: loaded from its text, which
// is scanned for the check's warnings, and the image kept for the
// reduction.  A file that cannot be read whole is loaded as any other, for
// the reader's own words.
Status load_sample_once(Check& c, Data2D& d) {
    std::string text;
    if (!read_file(d.name, text).ok()) return read_data(d, Console{nullptr, nullptr});
    LoadedSample l;
    l.name = d.name;
    l.tm = pk::bits_of(d.tm), l.monitor = pk::bits_of(d.monitor), l.psd = pk::bits_of(d.psd);
    const Status st = read_data_text(text, d, Console{nullptr, nullptr});
    DataScan scan;
    DataCounts counts;
    scan_data_text(text, scan, st.ok() && counts_of(d, counts) ? &counts : nullptr);
    c.sample_scans.emplace_back(d.name, std::move(scan));
    if (st.ok()) {
        // The pixel arrays go to the reduction; the check reads only the
        // header values and the count of values.
        l.image.tm = d.tm, l.image.monitor = d.monitor, l.image.psd = d.psd, l.image.values = d.values;
        l.image.intens = std::move(d.intens);
        l.image.uncert = std::move(d.uncert);
        c.series->loaded.push_back(std::move(l));
    }
    return st;
}

}  // namespace

// The load of a fixed file gives its header values and count of values
// (the pixel arrays for the flat field only: nothing else of them is read).
Status check_read_data(Check& c, int kw, Data2D& d, bool pixels) {
    if (kw == DATS && c.series) return load_sample_once(c, d);
    if (!shared_kind(c, kw)) return read_data(d, Console{nullptr, nullptr});
    const auto f = checked_file(c.series->cache->parts(), kw, d);
    if (pixels) {
        d = f->data;
    } else {  // the header values only: the flat field's pixels are not copied for every row
        const Data2D& h = f->data;
        d.nx = h.nx, d.ny = h.ny, d.dx = h.dx, d.dy = h.dy, d.name = h.name, d.trans = h.trans, d.thick = h.thick;
        d.tm = h.tm, d.monitor = h.monitor, d.psd = h.psd, d.values = h.values;
        std::vector<float>().swap(d.intens);
        std::vector<float>().swap(d.uncert);
    }
    return f->load;
}

bool check_scan(Check& c, int kw, const std::string& name, DataScan& scan) {
    if (kw == DATS)
        for (const auto& s : c.sample_scans)
            if (s.first == name) {
                scan = s.second;
                return true;
            }
    if (!shared_kind(c, kw)) return scan_data_file(name, scan);
    Data2D entry;
    entry.name = name;
    for (const FileUse& u : c.uses)
        if (u.kw == kw && u.entry->name == name) {
            entry.tm = u.entry->tm;
            entry.monitor = u.entry->monitor;
            break;
        }
    const auto f = checked_file(c.series->cache->parts(), kw, entry);
    scan = f->scan;
    return f->scan_ok;
}

Status check_read_mask(Check& c) {
    Data2D& mask = c.mask;
    if (!c.series || !c.series->cache) {
        mask.intens.assign(kImageValues, 0.0f);
        return read_mask(c.run.p, mask);
    }
    Data2D entry;
    entry.name = mask.name;
    std::shared_ptr<const CheckedFile> f = find_file(c.series->cache->parts(), MASK, entry);
    if (!f) {
        auto made = std::make_shared<CheckedFile>();
        made->kw = MASK;
        made->name = mask.name;
        made->data = mask;
        made->data.intens.assign(kImageValues, 0.0f);
        made->load = read_mask(c.run.p, made->data);
        keep_file(c.series->cache->parts(), made);
        f = made;
    }
    // The pixels stay the series' (each check of a series would copy them).
    c.shared_mask = std::shared_ptr<const Data2D>(f, &f->data);
    mask.values = f->data.values;
    return f->load;
}

const Data2D& mask_pixels(const Check& c) { return c.shared_mask ? *c.shared_mask : c.mask; }

bool outliers_kept(const Check& c) { return c.series && c.series->cache && c.run.p.mask_source == 1; }

void flat_pixels(Check& c) {
    if (c.flat.intens.empty() && shared_kind(c, SENS)) check_read_data(c, SENS, c.flat, true);
}

std::vector<int> check_flat_outliers(Check& c) {
    if (!outliers_kept(c)) return dead_or_hot_pixels(c.flat, mask_pixels(c));
    std::string key = c.flat.name;
    key += '\0';
    for (const float v : {c.flat.tm, c.flat.monitor}) key += std::to_string(pk::bits_of(v)) + '\0';
    key += c.mask.name;
    SeriesCache::Parts& cache = c.series->cache->parts();
    {
        std::lock_guard<std::mutex> lock(cache.m);
        for (const auto& o : cache.outliers)
            if (o.first == key) return o.second;
    }
    flat_pixels(c);
    std::vector<int> bad = dead_or_hot_pixels(c.flat, mask_pixels(c));
    std::lock_guard<std::mutex> lock(cache.m);
    if (cache.outliers.size() >= SeriesCache::Parts::kMostFiles) cache.outliers.erase(cache.outliers.begin());
    cache.outliers.emplace_back(key, bad);
    return bad;
}

Status check_reduce_run(Check& c) {
    if (!c.series || !c.series->cache) return reduce(c.run, Console{nullptr, nullptr});
    c.run.want_sums = c.series->want_sums;
    c.series->reduction = reduce_in_series(c.run, *c.series->cache, &c.series->loaded);
    return c.series->reduction;
}

}  // namespace pk
