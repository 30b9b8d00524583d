// What a series keeps for its runs (pelkaro/series.h): the fixed parts of
// the configurations met and the fixed detector files as the check read
// them, shared by the threads of a series under one lock.
#ifndef PELKARO_SERIES_PARTS_H
#define PELKARO_SERIES_PARTS_H

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "pelkaro/series.h"
#include "series_setup.h"

namespace pk {

struct CheckedFile;  // check_series.cpp

struct SeriesCache::Parts {
    static constexpr std::size_t kMostSetups = 8;
    static constexpr std::size_t kMostFiles = 32;
    std::mutex m;
    std::vector<std::shared_ptr<const SeriesSetup>> setups;
    std::vector<std::string> building;  // keys whose setup a thread is making
    std::vector<std::shared_ptr<const CheckedFile>> files;
    // The flat-field pixels outside their range that a mask file leaves in
    // use, by flat field (name, counting time, monitor count) and mask name.
    std::vector<std::pair<std::string, std::vector<int>>> outliers;

    std::shared_ptr<const SeriesSetup> find(const std::string& key);
    // True when the caller is to make the setup of `key` (and then calls done).
    bool claim(const std::string& key);
    void done(const std::string& key, std::shared_ptr<const SeriesSetup> setup);
};

}  // namespace pk

#endif
