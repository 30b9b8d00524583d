// A series of reductions: the fixed parts of the configurations met, shared
// by the threads of a series, and each run reduced with them.
#include "pelkaro/series.h"

#include <algorithm>
#include <mutex>

#include "file_out.h"
#include "series_parts.h"
#include "series_setup.h"

namespace pk {

SeriesCache::SeriesCache() : parts_(std::make_unique<Parts>()) {}
SeriesCache::~SeriesCache() = default;

SeriesCheck::SeriesCheck() = default;
SeriesCheck::~SeriesCheck() = default;

std::shared_ptr<const SeriesSetup> SeriesCache::Parts::find(const std::string& key) {
    std::lock_guard<std::mutex> lock(m);
    for (const auto& s : setups)
        if (s->key == key) return s;
    return nullptr;
}

bool SeriesCache::Parts::claim(const std::string& key) {
    std::lock_guard<std::mutex> lock(m);
    if (std::find(building.begin(), building.end(), key) != building.end()) return false;
    building.push_back(key);
    return true;
}

void SeriesCache::Parts::done(const std::string& key, std::shared_ptr<const SeriesSetup> setup) {
    std::lock_guard<std::mutex> lock(m);
    building.erase(std::remove(building.begin(), building.end(), key), building.end());
    if (!setup) return;
    if (setups.size() >= kMostSetups) setups.erase(setups.begin());
    setups.push_back(std::move(setup));
}

Status reduce_in_series(Run& run, SeriesCache& cache, std::vector<LoadedSample>* loaded) {
    const Console quiet{nullptr, nullptr};
    const std::string key = series_key(run);
    if (const auto setup = cache.parts().find(key)) {
        Run parsed = run;  // as parsed: nothing is loaded yet
        if (reduce_with_setup(run, *setup, loaded)) return ok_status();
        run = std::move(parsed);
        return reduce(run, quiet);
    }
    const bool maker = cache.parts().claim(key);
    const Status st = reduce(run, quiet);
    if (maker) cache.parts().done(key, st.ok() ? std::make_shared<const SeriesSetup>(take_setup(run, key)) : nullptr);
    return st;
}

Status write_2D_as(const Data2D& data, const ParamFile& pf, const std::string& out_name) {
    return write_image_file(data, pf, out_name);
}

Status write_1D_as(const Data1D& d, const std::string& out_name) { return write_curve_file(d, out_name); }

}  // namespace pk
