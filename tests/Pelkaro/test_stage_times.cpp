// A run asked for its stages' times (PELKARO_STAGE_TIMES, for the
// benchmarks) writes them to the file named, each stage it went through in
// order, and is otherwise the same run: the same console, the same output
// files, the same exit status.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "pelkaro_cli.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using pkt::TempDir;

struct Ran {
    int status = 0;
    std::string console, d1d, d2d;
};

// The bundled example in `dir`.
void copy_example(const TempDir& dir) {
    for (const auto& e : fs::directory_iterator(PELKARO_SOURCE_DIR "/examples"))
        fs::copy_file(e.path(), dir / e.path().filename().string());
}

// Pelkaro on the example's spheres.par in `dir`, its stages' times to
// `times` when not empty.
Ran run_in(const TempDir& dir, const std::string& times) {
    const fs::path before = fs::current_path();
    fs::current_path(dir.path());
    Ran r;
    pk::CliOptions opt;
    opt.stage_times = times;
    const char* argv[] = {"Pelkaro", "spheres.par"};
    r.status = pk::pelkaro_main(2, argv, pk::Console{nullptr, &r.console}, opt);
    for (auto [name, text] : {std::pair{"sphere_sample.d1d", &r.d1d}, std::pair{"sphere_sample.d2d", &r.d2d}}) {
        if (fs::exists(name)) *text = pkt::read_file(name), fs::remove(name);
    }
    fs::current_path(before);
    return r;
}

// The stages of a times file, in order; fails the test on a line that is
// not a stage and a time of zero or more seconds.
std::vector<std::string> stages_in(const std::string& path) {
    std::vector<std::string> names;
    std::istringstream in(pkt::read_file(path));
    std::string name;
    double seconds = -1;
    while (in >> name >> seconds) {
        EXPECT_GE(seconds, 0.0) << name;
        EXPECT_LT(seconds, 60.0) << name;
        names.push_back(name);
    }
    EXPECT_TRUE(in.eof()) << "a line that is not STAGE SECONDS";
    return names;
}

TEST(StageTimes, AReductionNotesEveryStageAndIsTheSameRun) {
    TempDir dir;
    copy_example(dir);
    const Ran plain = run_in(dir, "");
    const Ran timed = run_in(dir, dir / "times.txt");
    ASSERT_EQ(plain.status, 0) << plain.console;
    EXPECT_EQ(timed.status, 0);
    EXPECT_EQ(timed.console, plain.console);
    EXPECT_EQ(timed.d1d, plain.d1d);
    EXPECT_EQ(timed.d2d, plain.d2d);
    EXPECT_FALSE(plain.d2d.empty());
    EXPECT_EQ(stages_in(dir / "times.txt"),
              (std::vector<std::string>{"memory", "parameters", "reduction", "reading", "reduction", "average",
                                        "writing"}));
}

TEST(StageTimes, AFailedRunNotesTheStagesItFinished) {
    TempDir dir;
    copy_example(dir);
    fs::remove(dir / "dark_current.dat");
    const Ran plain = run_in(dir, "");
    const Ran timed = run_in(dir, dir / "times.txt");
    EXPECT_EQ(plain.status, -1);
    EXPECT_EQ(timed.status, -1);
    EXPECT_EQ(timed.console, plain.console);
    // The parameter stage finds the file missing.
    EXPECT_EQ(stages_in(dir / "times.txt"), (std::vector<std::string>{"memory"}));
}

}  // namespace
