// A run never writes over its own inputs: an output file that is the same
// file as a sample, a buffer, the dark current, the flat field, the mask or
// the parameter file itself (by name, symbolic link or hard link) stops the
// run before any detector file is read, with every input left as it was.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>

#include "test_util.h"
#include "pelkaro/files.h"

namespace {

namespace fs = std::filesystem;
using pkt::TempDir;

// The bundled example in a scratch directory, with the parameter file's
// lines edited (each `from` must be there).
void lay_out(const TempDir& dir, const std::map<std::string, std::string>& edits) {
    for (const auto& e : fs::directory_iterator(PELKARO_SOURCE_DIR "/examples"))
        fs::copy_file(e.path(), dir / e.path().filename().string());
    std::string par = pkt::read_file(dir / "spheres.par");
    for (const auto& [from, to] : edits) {
        const std::size_t at = par.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        par.replace(at, from.size(), to);
    }
    pkt::write_file(dir / "spheres.par", par);
}

// Every file of the directory with its bytes.
std::map<std::string, std::string> snapshot(const TempDir& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(dir.path()))
        files[e.path().filename().string()] = fs::is_symlink(e.path()) ? "-> " + fs::read_symlink(e.path()).string()
                                                                         : pkt::read_file(e.path().string());
    return files;
}

// Pelkaro refuses with exactly this ending, after the parameter report and
// before the first detector file, and the directory stays as it was.
void refused(const TempDir& dir, const std::string& param, const std::string& output, const std::string& input) {
    const auto before = snapshot(dir);
    const pkt::RunResult r = pkt::run_param(dir, param);
    EXPECT_EQ(r.status, 255);
    const std::string tail = "Finished parse_in\nPelkaro:  the output file " + output +
                             " would replace the input file " + input + "\nExiting program\n";
    ASSERT_GE(r.out.size(), tail.size()) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_EQ(r.out.find("Reading the sample data files"), std::string::npos);
    EXPECT_EQ(snapshot(dir), before);
}

// pelkaro-check's error for the same run names the input's line.
void checked(const TempDir& dir, const std::string& param, int line, const std::string& output,
             const std::string& input) {
    const pkt::RunResult r = pkt::run_program(PELKARO_CHECK_EXE, {param}, dir.path());
    EXPECT_EQ(r.status, 1) << r.out;
    const std::string where = line > 0 ? param + ":" + std::to_string(line) : param;
    EXPECT_NE(r.out.find(where + ": error: the output file " + output + " would replace the input file " + input),
              std::string::npos)
        << r.out;
}

TEST(InputsKept, SampleNamedLikeItsImage) {
    TempDir dir;
    lay_out(dir, {{"DATS sphere_sample.dat", "DATS raw.d2d"}});
    fs::copy_file(dir / "sphere_sample.dat", dir / "raw.d2d");
    refused(dir, "spheres.par", "raw.d2d", "raw.d2d");
    checked(dir, "spheres.par", 16, "raw.d2d", "raw.d2d");
}

TEST(InputsKept, BufferNamedLikeTheCurveAndOnlyWhenItIsWritten) {
    TempDir dir;
    lay_out(dir, {{"DATS sphere_sample.dat", "DATS raw.dat"}, {"DATB solvent_buffer.dat", "DATB raw.d1d"}});
    fs::copy_file(dir / "sphere_sample.dat", dir / "raw.dat");
    fs::copy_file(dir / "solvent_buffer.dat", dir / "raw.d1d");
    refused(dir, "spheres.par", "raw.d1d", "raw.d1d");
    checked(dir, "spheres.par", 18, "raw.d1d", "raw.d1d");
    // With the image alone written the buffer is safe, and the run goes on.
    std::string par = pkt::read_file(dir / "spheres.par");
    par.replace(par.find("AVGM 2"), 6, "AVGM 0");
    pkt::write_file(dir / "only2d.par", par);
    EXPECT_EQ(pkt::run_param(dir, "only2d.par").status, 0);
}

TEST(InputsKept, ThroughSymbolicAndHardLinks) {
    TempDir dir;
    lay_out(dir, {{"DATS sphere_sample.dat", "DATS s.dat"}});
    fs::copy_file(dir / "sphere_sample.dat", dir / "s.dat");
    fs::create_symlink("flat_field.dat", dir / "s.d2d");
    refused(dir, "spheres.par", "s.d2d", "flat_field.dat");
    fs::remove(dir / "s.d2d");
    fs::create_hard_link(dir / "dark_current.dat", dir / "s.d1d");
    refused(dir, "spheres.par", "s.d1d", "dark_current.dat");
    checked(dir, "spheres.par", 20, "s.d1d", "dark_current.dat");
}

TEST(InputsKept, TheParameterFileAndTheMaskOfAnEarlierMaskRun) {
    TempDir dir;
    // The parameter file itself, named as the curve would be.
    lay_out(dir, {{"DATS sphere_sample.dat", "DATS run.dat"}});
    fs::copy_file(dir / "sphere_sample.dat", dir / "run.dat");
    fs::rename(dir / "spheres.par", dir / "run.d1d");
    refused(dir, "run.d1d", "run.d1d", "run.d1d");
    // A mask file written by run mode 1 and a sample named after it.
    TempDir other;
    lay_out(other, {{"DATS sphere_sample.dat", "DATS mask.dat"}, {"MASK detector.mask 1 1", "MASK mask.d2d 1 1"}});
    fs::copy_file(other / "sphere_sample.dat", other / "mask.dat");
    fs::copy_file(other / "detector.mask", other / "mask.d2d");
    refused(other, "spheres.par", "mask.d2d", "mask.d2d");
    checked(other, "spheres.par", 24, "mask.d2d", "mask.d2d");
}

TEST(InputsKept, MaskRunAgainstItsParameterFileOnly) {
    TempDir dir;
    lay_out(dir, {{"MODE 0", "MODE 1"}});
    fs::rename(dir / "spheres.par", dir / "mask.d2d");
    const auto before = snapshot(dir);
    const pkt::RunResult r = pkt::run_param(dir, "mask.d2d");
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("Finished parse_in\nPelkaro:  the output file mask.d2d would replace the input file "
                         "mask.d2d\nExiting program\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(snapshot(dir), before);
    const pkt::RunResult c = pkt::run_program(PELKARO_CHECK_EXE, {"mask.d2d"}, dir.path());
    EXPECT_EQ(c.status, 1);
    // A sample that happens to be named mask.d2d is not read by a mask run.
    TempDir ok;
    lay_out(ok, {{"MODE 0", "MODE 1"}, {"DATS sphere_sample.dat", "DATS mask.d2d"}});
    fs::copy_file(ok / "sphere_sample.dat", ok / "mask.d2d");
    EXPECT_EQ(pkt::run_param(ok, "spheres.par").status, 0);
}

}  // namespace
