// The library in several threads at once: reductions of different
// measurements give, file for file, what one reduction at a time gives, and
// the registry of temporary output files holds any number of them from any
// thread.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pelkaro/files.h"
#include "pelkaro/process.h"
#include "pelkaro/run.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using pkt::TempDir;

// The example in its own directory, its parameter file naming every file by
// its absolute path (threads share one working directory), with the sample
// scaled by `thickness` so that each copy reduces to different numbers.
std::string prepare_copy(const TempDir& dir, const std::string& thickness) {
    for (const auto& e : fs::directory_iterator(PELKARO_SOURCE_DIR "/examples"))
        fs::copy_file(e.path(), dir / e.path().filename().string());
    std::string par = pkt::read_file(dir / "spheres.par");
    for (const char* name : {"sphere_sample.dat", "solvent_buffer.dat", "dark_current.dat", "flat_field.dat",
                             "detector.mask"}) {
        const std::size_t at = par.find(std::string(" ") + name);
        if (at != std::string::npos) par.replace(at + 1, std::string(name).size(), dir / name);
    }
    const std::size_t at = par.find("1500000 0.1 ");
    if (at != std::string::npos) par.replace(at + 8, 3, thickness);
    pkt::write_file(dir / "spheres.par", par);
    return dir / "spheres.par";
}

// A result file without the header of a 2D file, which repeats the
// parameter file and so the copy's directory.
std::string values_of(const std::string& text) {
    const std::string end_of_header = "# detector appears as if looking from sample position\n";
    const std::size_t at = text.find(end_of_header);
    return at == std::string::npos ? text : text.substr(at + end_of_header.size());
}

bool reduce_and_write(const std::string& par) {
    Run run;
    const Console quiet{nullptr, nullptr};
    return prepare_run(par, run, quiet).ok() && reduce(run, quiet).ok() && write_outputs(run, quiet).ok();
}

TEST(Threads, ReductionsAtOnceEqualReductionsOneByOne) {
    constexpr int kCopies = 6;
    const char* thickness[kCopies] = {"0.1", "0.2", "0.3", "0.4", "0.5", "0.7"};
    std::vector<std::unique_ptr<TempDir>> alone, together;
    std::vector<std::string> alone_par, together_par;
    for (int i = 0; i < kCopies; ++i) {
        alone.push_back(std::make_unique<TempDir>());
        together.push_back(std::make_unique<TempDir>());
        alone_par.push_back(prepare_copy(*alone.back(), thickness[i]));
        together_par.push_back(prepare_copy(*together.back(), thickness[i]));
    }
    for (const std::string& p : alone_par) ASSERT_TRUE(reduce_and_write(p)) << p;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (const std::string& p : together_par)
        threads.emplace_back([&failures, p] { failures += reduce_and_write(p) ? 0 : 1; });
    for (std::thread& t : threads) t.join();
    ASSERT_EQ(failures.load(), 0);
    for (int i = 0; i < kCopies; ++i)
        for (const char* out : {"sphere_sample.d1d", "sphere_sample.d2d"}) {
            const std::string a = pkt::read_file(*alone[i] / out);
            ASSERT_FALSE(a.empty());
            const std::string b = pkt::read_file(*together[i] / out);
            EXPECT_EQ(values_of(a), values_of(b)) << out << " of copy " << i;
        }
    // The copies differ from each other: the threads did not share a result.
    EXPECT_NE(pkt::read_file(*together[0] / "sphere_sample.d1d"), pkt::read_file(*together[1] / "sphere_sample.d1d"));
}

TEST(Threads, TemporaryFilesOfManyThreadsAreAllRegistered) {
    TempDir dir;
    constexpr int kThreads = 8;
    constexpr int kEach = 40;  // far more than any fixed table of slots
    std::vector<std::vector<std::unique_ptr<pk::AtomicFile>>> open(kThreads);
    std::vector<std::thread> threads;
    // Files that replace others: written under temporary names.
    for (int t = 0; t < kThreads; ++t)
        for (int k = 0; k < kEach; ++k)
            pkt::write_file(dir / ("out" + std::to_string(t) + "_" + std::to_string(k) + ".d1d"), "");
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&dir, &open, t] {
            for (int k = 0; k < kEach; ++k) {
                auto f = std::make_unique<pk::AtomicFile>();
                if (pk::atomic_open(dir / ("out" + std::to_string(t) + "_" + std::to_string(k) + ".d1d"), *f))
                    open[static_cast<std::size_t>(t)].push_back(std::move(f));
            }
        });
    for (std::thread& t : threads) t.join();
    std::size_t count = 0;
    for (const auto& v : open) count += v.size();
    ASSERT_EQ(count, static_cast<std::size_t>(kThreads * kEach));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2 * kThreads * kEach);
    // What a termination handler does: every temporary goes.
    pk::remove_pending_temporaries();
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), kThreads * kEach);
    // Closing them afterwards is harmless, and frees their slots.
    open.clear();
    pk::AtomicFile again;
    ASSERT_TRUE(pk::atomic_open(dir / "again.d1d", again));
    std::fputs("x\n", again.f);
    EXPECT_TRUE(pk::atomic_commit(again));
    EXPECT_EQ(pkt::read_file(dir / "again.d1d"), "x\n");
}

}  // namespace
