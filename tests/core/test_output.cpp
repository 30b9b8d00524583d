// Output files: the reduced image (".d2d") and the averaged curve (".d1d")
// byte for byte, the names they get, and their all-or-nothing replacement.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>

#include "pelkaro/Pelkaro.h"
#include "test_util.h"
#include "file_out.h"
#include "pelkaro/files.h"

using namespace pkt;
namespace fs = std::filesystem;

namespace {

const std::string kOrientation = "# detector appears as if looking from sample position\n";

Data2D result(const std::string& name) {
    Data2D d;
    d.name = name;
    d.nx = d.ny = 7;  // not consulted: always 128 x 128
    d.intens.assign(kImageValues, 5.0f);
    d.uncert.assign(kImageValues, 5.0f);
    for (int k = 0; k < kDetPixels; ++k) {
        d.intens[k] = static_cast<float>((k * 389) % 997) * 0.37f - 60.0f;
        d.uncert[k] = static_cast<float>(k % 13) * 0.0625f;
    }
    d.intens[0] = 0.0f, d.intens[1] = -1.5f, d.intens[2] = 0.00004f, d.intens[3] = 1e6f;
    return d;
}

// 128 rows of 128 "%4.4f\t" values.
std::string block(const std::vector<float>& v) {
    std::string s;
    char num[64];
    for (int k = 0; k < kDetPixels; ++k) {
        std::snprintf(num, sizeof num, "%4.4f\t", static_cast<double>(v[k]));
        s += num;
        if (k % 128 == 127) s += '\n';
    }
    return s;
}
std::string body(const Data2D& d) { return block(d.intens) + "\n\n" + block(d.uncert); }

std::vector<std::string> listing(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Whether `path` was created as a plain create makes a file: 0666 less
// the umask.
::testing::AssertionResult plain_permissions(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return ::testing::AssertionFailure() << path << " is not there";
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if ((st.st_mode & 0777) == (0666 & ~mask)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << path << " has mode " << std::oct << (st.st_mode & 0777) << ", not "
                                         << (0666 & ~mask);
}

// The writers, their console output collected in `out`.
Status write2(const Data2D& d, const std::string& param, std::string& out) {
    out.clear();
    return write_2D(Param{}, d, param, Console{nullptr, &out});
}
Status write1(const Data1D& c, const std::string& name, std::string& out) {
    Data2D d;
    d.name = name;
    out.clear();
    return write_1D(Param{}, d, c, "unused.par", Console{nullptr, &out});
}

// A writer's refusal: the output stage could not write `name`, in the words
// Pelkaro prints after the label of the writer.
::testing::AssertionResult cannot_write(const Status& st, const char* label, const std::string& name) {
    const std::string reason = "could not open the output file " + name + " for writing";
    if (st.stage == Stage::output && st.code == Code::cannot_write && st.reason == reason &&
        st.text() == std::string(label) + " -> " + reason + "\n")
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << stage_name(st.stage) << "/" << code_name(st.code) << ": " << st.text();
}

TEST(ImageFile, ExactBytesAndHeaderCopy) {
    TempDir td;
    const std::string a(600, 'A'), b(510, 'B');
    // Comment lines are left out, an empty line gives "# ", a long line is
    // copied piece by piece, a piece that begins with "#" is left out, and the
    // last line, which has no line end, is given one.
    const std::string param = "# comment\nMODE 0\n\n  #indented\nCNTR 64 64\n" + a + "\n" + b + "#cut\nAVGM 2";
    const std::string header = "# MODE 0\n# \n#   #indented\n# CNTR 64 64\n# " + a.substr(0, 510) + "# " +
                               a.substr(510) + "\n# " + b + "# AVGM 2\n" + kOrientation;
    write_file(td / "lf.par", param);
    std::string crlf;
    for (char c : param) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    write_file(td / "crlf.par", crlf);
    write_file(td / "comments.par", "# only\n#comments\n");

    const Data2D d = result(td / "s1.dat");
    std::string out;
    ASSERT_TRUE(succeeded(write2(d, td / "lf.par", out)));
    EXPECT_EQ(out, "Entered write_2D\nThe 2D output filename is " + (td / "s1.d2d") + "\n");
    const std::string file = read_file(td / "s1.d2d");
    EXPECT_EQ(file, header + body(d));
    EXPECT_EQ(file.substr(header.size(), 35), "0.0000\t-1.5000\t0.0000\t1000000.0000\t");

    ASSERT_TRUE(succeeded(write2(result(td / "s2.dat"), td / "crlf.par", out)));
    EXPECT_EQ(read_file(td / "s2.d2d"), file);
    ASSERT_TRUE(succeeded(write2(result(td / "s3.dat"), td / "comments.par", out)));
    EXPECT_EQ(read_file(td / "s3.d2d"), kOrientation + body(d));
}

TEST(CurveFile, ExactBytesSkippingEmptyBins) {
    TempDir td;
    Data1D c;
    c.num = 6;
    c.x = {0, 0.5f, 0.0123f, 0.25f, 9, 1.5f};
    c.y = {1234567.5f, 7, -2.25f, 3, 9, 0.001f};
    c.dy = {0.5f, 7, 12345.678f, 1, 9, 0};
    c.dq = {0.001f, 7, 0.002f, 0.003f, 9, 4e-7f};
    c.area = {1, 0, 2.5f, NAN, 0, 0.01f};
    std::string out;
    ASSERT_TRUE(succeeded(write1(c, td / "s1.dat", out)));
    EXPECT_EQ(out, "Entered write_1D\nThe 1D output filename is " + (td / "s1.d1d") + "\n");
    EXPECT_EQ(read_file(td / "s1.d1d"),
              "0.000000\t1234567.500000\t    0.500000\t0.001000\n"
              "0.012300\t-2.250000\t12345.677734\t0.002000\n"
              "0.250000\t3.000000\t    1.000000\t0.003000\n"
              "1.500000\t0.001000\t    0.000000\t0.000000\n");
    c.area = {0, 0, 0};
    c.num = 3;
    ASSERT_TRUE(succeeded(write1(c, td / "s2.dat", out)));
    c.num = 0;
    ASSERT_TRUE(succeeded(write1(c, td / "s3.dat", out)));
    EXPECT_TRUE(file_exists(td / "s2.d1d") && file_exists(td / "s3.d1d"));
    EXPECT_EQ(read_file(td / "s2.d1d") + read_file(td / "s3.d1d"), "");
}

TEST(OutputNames, CutAtTheFirstDotOfTheFileName) {
    struct Case { const char* name; const char* stem; };
    const Case cases[] = {{"s1.tar.gz", "s1"}, {"../data/s1.dat", "../data/s1"}, {"../sub.dir/t.x", "../sub.dir/t"},
                          {".s1.dat", ".s1"}, {"../sub.dir/noext", "../sub.dir/noext"}};
    for (const Case& c : cases) {
        TempDir td;
        for (const char* dir : {"work", "data", "sub.dir"}) fs::create_directory(td / dir);
        write_file(td / "p.par", "MODE 0\n");
        const fs::path old = fs::current_path();
        fs::current_path(td / "work");  // names are relative to the working directory
        std::string out2, out1;
        Data1D curve;
        const Status st2 = write2(result(c.name), td / "p.par", out2), st1 = write1(curve, c.name, out1);
        fs::current_path(old);
        EXPECT_TRUE(succeeded(st2));
        EXPECT_TRUE(succeeded(st1));
        const std::string stem = c.stem;
        EXPECT_NE(out2.find("The 2D output filename is " + stem + ".d2d\n"), std::string::npos) << out2;
        EXPECT_NE(out1.find("The 1D output filename is " + stem + ".d1d\n"), std::string::npos) << out1;
        EXPECT_TRUE(file_exists(td / "work/" + stem + ".d2d") && file_exists(td / "work/" + stem + ".d1d")) << c.name;
        size_t files = 0;
        for (const char* dir : {"work", "data", "sub.dir"}) files += listing(td / dir).size();
        EXPECT_EQ(files, 2u) << c.name;  // nothing else, no temporary file
    }
}

TEST(OutputFiles, ReplacedWholeWithPlainPermissions) {
    TempDir td;
    write_file(td / "p.par", "MODE 0\n");
    const Data2D d = result(td / "s1.dat");
    std::string out;
    ASSERT_TRUE(succeeded(write2(d, td / "p.par", out)));
    EXPECT_TRUE(plain_permissions(td / "s1.d2d"));

    write_file(td / "s1.d2d", "earlier\n");
    std::ifstream reader(td / "s1.d2d");  // a reader of the earlier file keeps it whole
    ASSERT_TRUE(succeeded(write2(d, td / "p.par", out)));
    EXPECT_EQ(read_file(td / "s1.d2d"), "# MODE 0\n" + kOrientation + body(d));
    std::string seen;
    std::getline(reader, seen);
    EXPECT_EQ(seen, "earlier");
    EXPECT_EQ(listing(td.path()), (std::vector<std::string>{"p.par", "s1.d2d"}));
}

TEST(OutputFiles, FailureLeavesTheEarlierFileAlone) {
    TempDir td;
    write_file(td / "p.par", "MODE 0\n");
    fs::create_directory(td / "s1.d2d");
    fs::create_directory(td / "s1.d1d");
    write_file(td / "s2.d2d", "earlier\n");
    const auto before = listing(td.path());
    std::string out;
    Status st = write2(result(td / "s1.dat"), td / "p.par", out);  // target is a directory
    EXPECT_TRUE(cannot_write(st, "file_out:write_2D", td / "s1.d2d"));
    EXPECT_EQ(out, "Entered write_2D\nThe 2D output filename is " + (td / "s1.d2d") + "\n");
    EXPECT_EQ(st.text(), "file_out:write_2D -> could not open the output file " + (td / "s1.d2d") + " for writing\n");
    Data1D c;
    EXPECT_TRUE(cannot_write(write1(c, td / "s1.dat", out), "file_out:write_1D", td / "s1.d1d"));
    EXPECT_EQ(out, "Entered write_1D\nThe 1D output filename is " + (td / "s1.d1d") + "\n");
    st = write2(result(td / "s2.dat"), td / "missing.par", out);  // no parameter file
    EXPECT_TRUE(cannot_write(st, "file_out:write_2D", td / "s2.d2d"));
    EXPECT_EQ(out, "Entered write_2D\nThe 2D output filename is " + (td / "s2.d2d") + "\n");
    EXPECT_EQ(read_file(td / "s2.d2d"), "earlier\n");
    EXPECT_TRUE(fs::is_directory(td / "s1.d2d") && fs::is_empty(td / "s1.d2d"));
    EXPECT_EQ(listing(td.path()), before);
}

// A text given whole: a new file, a file replaced (a second name of the
// earlier one keeps its bytes), and targets refused as the other writers
// refuse them, leaving nothing behind.
TEST(OutputFiles, WholeTextNewReplacedOrRefused) {
    TempDir td;
    const std::string big(3 << 20, 'x');  // more than one write may take
    EXPECT_EQ(pk::atomic_write_file(td / "new.d1d", big), pk::WholeFile::written);
    EXPECT_EQ(read_file(td / "new.d1d"), big);
    EXPECT_TRUE(plain_permissions(td / "new.d1d"));

    write_file(td / "old.d1d", "earlier\n");
    ASSERT_EQ(::link((td / "old.d1d").c_str(), (td / "kept").c_str()), 0);
    EXPECT_EQ(pk::atomic_write_file(td / "old.d1d", "later\n"), pk::WholeFile::written);
    EXPECT_EQ(read_file(td / "old.d1d"), "later\n");
    EXPECT_EQ(read_file(td / "kept"), "earlier\n");

    fs::create_directory(td / "dir.d1d");
    fs::create_symlink(td / "kept", td / "link.d1d");
    fs::create_symlink(td / "nothing", td / "dangling.d1d");
    for (const char* name : {"dir.d1d", "link.d1d", "dangling.d1d", "missing/x.d1d", "dir.d1d/"}) {
        errno = 0;
        EXPECT_EQ(pk::atomic_write_file(td / name, "no\n"), pk::WholeFile::not_opened) << name;
    }
    errno = 0;
    EXPECT_EQ(pk::atomic_write_file(td / "missing/x.d1d", "no\n"), pk::WholeFile::not_opened);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(pk::atomic_write_file(std::string("a\0b", 3), "no\n"), pk::WholeFile::not_opened);
    EXPECT_EQ(read_file(td / "kept"), "earlier\n");
    EXPECT_TRUE(fs::is_symlink(td / "link.d1d") && fs::is_symlink(td / "dangling.d1d"));
    EXPECT_TRUE(fs::is_empty(td / "dir.d1d"));
    EXPECT_EQ(listing(td.path()),
              (std::vector<std::string>{"dangling.d1d", "dir.d1d", "kept", "link.d1d", "new.d1d", "old.d1d"}));
}

// The lock on an output directory: taken at once when free, waited for
// while another holder has it, given up after the time allowed.
TEST(OutputFiles, DirectoryLockWaitsThenGivesUp) {
    TempDir td;
    const std::string target = td / "s1.d2d";
    {
        pk::OutputLock lock;
        EXPECT_TRUE(lock.acquire(target));
    }
    const int held = ::open(td.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    pk::OutputLock lock;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(lock.acquire(target, 1));
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(waited, 0.99);
    EXPECT_LT(waited, 30.0);
    ::close(held);
    EXPECT_TRUE(lock.acquire(target, 1));
    EXPECT_FALSE(lock.acquire(td / "missing/s1.d2d"));  // no directory to lock
}

TEST(OutputFiles, ReadOnlyDirectoryLeavesTheEarlierFileAlone) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    TempDir td;
    write_file(td / "p.par", "MODE 0\n");
    fs::create_directory(td / "ro");
    write_file(td / "ro/s1.d2d", "earlier\n");
    fs::permissions(td / "ro", fs::perms::owner_read | fs::perms::owner_exec);
    std::string out;
    EXPECT_TRUE(cannot_write(write2(result(td / "ro/s1.dat"), td / "p.par", out), "file_out:write_2D",
                             td / "ro/s1.d2d"));
    EXPECT_EQ(read_file(td / "ro/s1.d2d"), "earlier\n");
    EXPECT_EQ(listing(td / "ro"), std::vector<std::string>{"s1.d2d"});
}

}  // namespace
