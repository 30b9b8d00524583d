// Many sample and buffer entries: the run reads each twice (the first two
// files once, their pixels kept between the passes) and keeps no other
// image, yet gives the bits that correcting and summing every image in
// memory gives; a file named on several lines reads once per pass with the
// console lines of every entry; a file that changes between the passes
// stops the run, unless its pixels were kept from the first pass.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "pelkaro/run.h"
#include "test_util.h"
#include "pelkaro/files.h"
#include "read_sans.h"
#include "sens_cor.h"
#include "sub_data.h"

namespace {

namespace fs = std::filesystem;
using pkt::TempDir;

// The example with these sample and buffer lines instead of its own.
std::string example_with(const TempDir& dir, const std::vector<std::string>& entries) {
    for (const auto& e : fs::directory_iterator(PELKARO_SOURCE_DIR "/examples"))
        fs::copy_file(e.path(), dir / e.path().filename().string(), fs::copy_options::overwrite_existing);
    std::string par, line;
    std::istringstream in(pkt::read_file(dir / "spheres.par"));
    while (std::getline(in, line))
        if (line.compare(0, 4, "DATS") != 0 && line.compare(0, 4, "DATB") != 0) par += line + "\n";
    for (const std::string& e : entries) par += e + "\n";
    pkt::write_file(dir / "many.par", par);
    return dir / "many.par";
}

// A detector file of the example's buffer whose header states other values
// (the header wins over the parameter line).
void retimed_copy(const TempDir& dir, const std::string& name, const std::string& time, const std::string& monitor) {
    std::string text = pkt::read_file(dir / "solvent_buffer.dat");
    text.replace(text.find("<time>1125</time>"), 17, "<time>" + time + "</time>");
    text.replace(text.find("<monitor>1125000</monitor>"), 26, "<monitor>" + monitor + "</monitor>");
    pkt::write_file(dir / name, text);
}

// Reduced through the library in `dir`: the image and the console.
struct Reduced {
    Status st;
    std::vector<float> image, uncert;
    std::string console;
};
Reduced reduce_in(const TempDir& dir, const std::string& par, std::FILE* console = nullptr) {
    const fs::path before = fs::current_path();
    fs::current_path(dir.path());
    Reduced r;
    Run run;
    const Console con{console, &r.console};
    r.st = prepare_run(par, run, con);
    if (r.st.ok()) {
        r.st = reduce(run, con);
    }
    r.image = run.reduced.intens;
    r.uncert = run.reduced.uncert;
    fs::current_path(before);
    return r;
}

// The same reduction made the long way, stage by stage, with every image
// read, corrected and held in memory at once.
std::vector<float> reduced_in_memory(const TempDir& dir, const std::string& par) {
    const fs::path before = fs::current_path();
    fs::current_path(dir.path());
    Run run;
    const Console quiet{nullptr, nullptr};
    EXPECT_TRUE(prepare_run(par, run, quiet).ok());
    SolidAngle sa;
    solid_angle(run.p, sa);
    auto load = [&](Data2D& d) {
        EXPECT_TRUE(read_data(d, quiet).ok()) << d.name;
        if (run.p.jacobian == 1) {
            EXPECT_TRUE(jacobian(run.p, d, sa).ok());
        }
    };
    for (Data2D& s : run.sam) load(s);
    for (Data2D& b : run.buf)
        if (b.tm != 0) load(b);
    EXPECT_TRUE(read_data(run.dark, quiet).ok());
    load(run.sens);
    EXPECT_TRUE(read_mask(run.p, run.mask).ok());
    EXPECT_TRUE(sens_norm(run.p, run.sens, run.mask).ok());
    for (Data2D& s : run.sam) sens_cor(run.p, s, run.sens, run.mask);
    for (Data2D& b : run.buf)
        if (b.tm != 0) sens_cor(run.p, b, run.sens, run.mask);
    run.reduced.intens.assign(kImageValues, 0.0f);
    run.reduced.uncert.assign(kImageValues, 0.0f);
    EXPECT_TRUE(sub_data(run.p, run.sam, run.buf, run.dark, run.mask, run.reduced, quiet).ok());
    fs::current_path(before);
    return run.reduced.intens;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

TEST(Entries, RepeatedAndRetimedFilesGiveTheBitsOfImagesHeldInMemory) {
    TempDir dir;
    example_with(dir, {});
    retimed_copy(dir, "b600.dat", "600", "0");
    retimed_copy(dir, "b900.dat", "900", "800000");
    // Without a header the parameter line's time and monitor count hold.
    std::string bare = pkt::read_file(dir / "solvent_buffer.dat");
    for (const char* tag : {"<time>", "<monitor>", "<psd counts>"}) {
        const std::size_t at = bare.find(tag);
        bare.erase(at, bare.find('\n', at) + 1 - at);
    }
    pkt::write_file(dir / "bare.dat", bare);
    const std::string par = example_with(
        dir, {"DATS sphere_sample.dat 1500 1500000 0.1 0.899425", "DATS sphere_sample.dat 700 700000 0.1 0.899425",
              "DATB solvent_buffer.dat 1125 1125000 0.1 0.904837", "DATB b600.dat 1125 0 0.1 0.904837",
              "DATB solvent_buffer.dat 1125 1125000 0.1 0.904837", "DATB skipped.dat 0 0 0.1 0.9",
              "DATB b900.dat 300 1000 0.1 0.904837", "DATB solvent_buffer.dat 500 500000 0.1 0.904837",
              "DATB b600.dat 1125 0 0.1 0.904837", "DATB bare.dat 400 400000 0.1 0.904837",
              "DATB bare.dat 700 0 0.1 0.904837", "DATB bare.dat 400 200000 0.1 0.904837",
              "DATB bare.dat 400 400000 0.1 0.904837"});
    const Reduced r = reduce_in(dir, "many.par");
    ASSERT_TRUE(r.st.ok()) << r.st.text();
    EXPECT_TRUE(same_bits(r.image, reduced_in_memory(dir, par)));
    // Every entry reports its header as it is read, repeated names too.
    std::size_t times = 0;
    for (std::size_t at = 0; (at = r.console.find("Data set time = 600.000000\n", at)) != std::string::npos; ++at)
        ++times;
    EXPECT_EQ(times, 2u);
}

TEST(Entries, ConsoleOfRepeatedNamesEqualsThatOfDistinctCopies) {
    TempDir same, copies;
    std::vector<std::string> a, b;
    for (int k = 0; k < 40; ++k) {
        const std::string time = std::to_string(100 + 10 * (k % 3));
        a.push_back("DATB solvent_buffer.dat " + time + " 100000 0.1 0.904837");
        b.push_back("DATB c" + std::to_string(k) + ".dat " + time + " 100000 0.1 0.904837");
    }
    a.insert(a.begin(), "DATS sphere_sample.dat 1500 1500000 0.1 0.899425");
    b.insert(b.begin(), "DATS sphere_sample.dat 1500 1500000 0.1 0.899425");
    example_with(same, a);
    example_with(copies, b);
    for (int k = 0; k < 40; ++k)
        fs::copy_file(copies / "solvent_buffer.dat", copies / ("c" + std::to_string(k) + ".dat"));
    const Reduced x = reduce_in(same, "many.par");
    const Reduced y = reduce_in(copies, "many.par");
    ASSERT_TRUE(x.st.ok() && y.st.ok());
    EXPECT_TRUE(same_bits(x.image, y.image));
    EXPECT_TRUE(same_bits(x.uncert, y.uncert));
    std::string renamed = y.console;
    for (int k = 39; k >= 0; --k) {
        const std::string from = "c" + std::to_string(k) + ".dat";
        for (std::size_t at; (at = renamed.find(from)) != std::string::npos;) renamed.replace(at, from.size(), "solvent_buffer.dat");
    }
    EXPECT_EQ(x.console, renamed);
}

// A console that calls `on_line` with each line written to it.
struct Spy {
    std::function<void(const std::string&)> on_line;
    std::string pending;
};
ssize_t spy_write(void* cookie, const char* buf, size_t size) {
    Spy& s = *static_cast<Spy*>(cookie);
    s.pending.append(buf, size);
    for (std::size_t nl; (nl = s.pending.find('\n')) != std::string::npos; s.pending.erase(0, nl + 1))
        s.on_line(s.pending.substr(0, nl));
    return static_cast<ssize_t>(size);
}

// Reduced in `dir` with `change` made as the first pass ends (the line
// that follows it on the console).
Reduced reduce_changing(const TempDir& dir, const std::function<void()>& change) {
    Spy spy;
    spy.on_line = [&change](const std::string& line) {
        if (line == "Reading the detector sensitivity data file...") change();
    };
    cookie_io_functions_t io{nullptr, spy_write, nullptr, nullptr};
    std::FILE* f = fopencookie(&spy, "w", io);
    if (!f) return Reduced{};
    std::setvbuf(f, nullptr, _IONBF, 0);
    Reduced r = reduce_in(dir, "many.par", f);
    std::fclose(f);
    return r;
}

TEST(Entries, AFileChangedBetweenThePassesStopsTheRun) {
    TempDir dir;
    example_with(dir, {"DATS sphere_sample.dat 1500 1500000 0.1 0.899425",
                       "DATB solvent_buffer.dat 1125 1125000 0.1 0.904837", "DATB second.dat 1125 1125000 0.1 0.9"});
    fs::copy_file(dir / "solvent_buffer.dat", dir / "second.dat");
    // The third file, read again in the second pass, is rewritten.
    const Reduced r = reduce_changing(dir, [&dir] {
        pkt::write_file(dir / "second.dat", "<time> 1\n" + pkt::read_file(dir / "solvent_buffer.dat"));
    });
    EXPECT_EQ(r.st.code, Code::changed_file);
    EXPECT_EQ(r.st.keyword, DATB);
    EXPECT_EQ(r.st.entry, 1);
    EXPECT_GT(r.st.line, 0);  // the run places it on the entry's line
    EXPECT_EQ(r.st.text(),
              "Pelkaro:  the buffer data file #1 (second.dat) changed while the run was reading it\nExiting program\n");
    EXPECT_NE(r.console.find("Correcting the sensitivities...\n"), std::string::npos);
}

// The sample and buffer files of a run are kept from the first pass: the
// run uses what it checked there, whatever becomes of the files after it.
TEST(Entries, TheFirstTwoFilesAreNotReadAgain) {
    TempDir dir;
    example_with(dir, {"DATS sphere_sample.dat 1500 1500000 0.1 0.899425",
                       "DATB solvent_buffer.dat 1125 1125000 0.1 0.904837"});
    const Reduced before = reduce_in(dir, "many.par");
    ASSERT_TRUE(before.st.ok());
    const Reduced r = reduce_changing(dir, [&dir] {
        pkt::write_file(dir / "sphere_sample.dat", "<time> 1\n" + pkt::read_file(dir / "dark_current.dat"));
        fs::remove(dir / "solvent_buffer.dat");
    });
    ASSERT_TRUE(r.st.ok()) << r.st.text();
    EXPECT_TRUE(same_bits(r.image, before.image));
    EXPECT_TRUE(same_bits(r.uncert, before.uncert));
    EXPECT_EQ(r.console, before.console);
}

}  // namespace
