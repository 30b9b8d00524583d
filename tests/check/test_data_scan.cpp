// The check's scan of a detector file takes the count and the sum of its
// values from the image the reader loaded (counts_of) rather than from the
// text a second time: the two must agree wherever counts_of answers, and
// counts_of must decline where the floats may not be the counts.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "check_internal.h"
#include "read_sans.h"

using namespace pk;

namespace {

// A detector file: a monitor tag, then the counts eight to a line.
std::string detector_text(const std::vector<long long>& counts) {
    std::string t = "# counts\n<monitor> 1500000\n";
    for (std::size_t k = 0; k < counts.size(); ++k)
        t += std::to_string(counts[k]) + (k % 8 == 7 || k + 1 == counts.size() ? "\n" : " ");
    return t;
}

TEST(DataScan, CountsOfTheLoadedImageAreTheTextsOwn) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<long long> small(0, 1000000), large(16000000, 16777215);
    struct Case {
        std::vector<long long> counts;
        bool known;  // counts_of answers
    };
    std::vector<Case> cases;
    for (const std::size_t n : {std::size_t{16384}, std::size_t{1003}, std::size_t{3}, std::size_t{36864}}) {
        Case c{{}, true};
        for (std::size_t k = 0; k < n; ++k) c.counts.push_back(k % 5 == 0 ? 0 : small(rng));
        cases.push_back(c);
    }
    Case big{std::vector<long long>(36864, 0), true};  // the largest exact counts, a sum near 2^39
    for (long long& v : big.counts) v = large(rng);
    big.counts.back() = 16777215;
    cases.push_back(big);
    Case beyond = cases[1];  // 2^24 may not be the count exactly
    beyond.counts[1002] = 16777216;
    beyond.known = false;
    cases.push_back(beyond);

    for (const Case& c : cases) {
        long long total = 0;
        for (long long v : c.counts) total += v;
        const std::string text = detector_text(c.counts);
        Data2D d;
        d.name = "sample.dat";
        ASSERT_TRUE(read_data_text(text, d, Console{nullptr, nullptr}).ok());
        DataCounts counts;
        ASSERT_EQ(counts_of(d, counts), c.known) << c.counts.size() << " values";
        DataScan own, taken;
        scan_data_text(text, own);
        EXPECT_EQ(own.values, static_cast<long long>(c.counts.size()));
        EXPECT_EQ(own.total, total);
        if (!c.known) continue;
        EXPECT_EQ(counts.values, own.values);
        EXPECT_EQ(counts.total, total);
        scan_data_text(text, taken, &counts);
        EXPECT_EQ(taken.values, own.values);
        EXPECT_EQ(taken.total, own.total);
    }
}

}  // namespace
