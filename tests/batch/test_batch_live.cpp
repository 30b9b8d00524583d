// pelkaro-batch's report and live reduction in process: when a file counts
// as complete under --follow, the values a row used read back from its
// parameter file, a row's image as pixels and as a PNG read back by libpng,
// the page's inlined library, and the options that go with --follow.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#if PK_TEST_PNG
#include <png.h>
#endif

#include "batch.h"
#include "report.h"
#include "report_assets.h"
#include "test_util.h"

namespace {

constexpr std::int64_t kSecond = 1000000000;

std::int64_t mtime_ns(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return static_cast<std::int64_t>(st.st_mtim.tv_sec) * kSecond + st.st_mtim.tv_nsec;
}

// A file being written is complete only after two looks that find it the
// same, `settle` seconds after it was first found so or after its last
// change; a marker makes it complete at once, and is all that counts with
// markers only.
TEST(FollowFiles, CompleteWhenUnchangedForTheSettlingTimeOrMarked) {
    pkt::TempDir d;
    const std::string f = d / "s1.dat";
    pk::FileSeen seen;
    EXPECT_FALSE(pk::file_complete(f, 2, false, 0, seen)) << "a missing file";
    pkt::write_file(f, "half");
    const std::int64_t t = mtime_ns(f);
    EXPECT_FALSE(pk::file_complete(f, 2, false, t + kSecond / 10, seen)) << "first look";
    EXPECT_FALSE(pk::file_complete(f, 2, false, t + kSecond, seen)) << "unchanged for 0.9 s";
    EXPECT_TRUE(pk::file_complete(f, 2, false, t + 2 * kSecond + 1, seen)) << "unchanged for 2 s";
    pkt::write_file(f, "half and the rest");
    const std::int64_t t2 = mtime_ns(f);
    EXPECT_FALSE(pk::file_complete(f, 2, false, t2 + 3 * kSecond, seen)) << "changed since the last look";
    EXPECT_TRUE(pk::file_complete(f, 2, false, t2 + 3 * kSecond, seen)) << "unchanged and 3 s old";
    EXPECT_FALSE(pk::file_complete(f, 2, true, t2 + 60 * kSecond, seen)) << "markers only, no marker";
    pkt::write_file(f + ".done", "");
    pk::FileSeen fresh;
    EXPECT_TRUE(pk::file_complete(f, 2, true, 0, fresh)) << "the marker";
    EXPECT_TRUE(pk::file_complete(f, 2, false, 0, fresh)) << "the marker, by size and time too";
    pk::FileSeen dir;
    EXPECT_FALSE(pk::file_complete(d.path(), 0.1, false, 0, dir));
    EXPECT_FALSE(pk::file_complete(d.path(), 0.1, false, 100 * kSecond + t, dir)) << "a directory is no file";
    pkt::write_file(d / "gone.dat.done", "");
    pk::FileSeen gone;
    EXPECT_FALSE(pk::file_complete(d / "gone.dat", 0.1, false, 0, gone)) << "a marker without its file";
}

// The values a row used, read back from the parameter file the batch
// wrote for it, are those of its table row; the base's lines are the
// configuration.
TEST(ReportRows, ValuesUsedAreThoseOfTheTableRow) {
    pk::BaseFile base;
    base.path = "base.par";
    base.lines = {"CNTR 64 64\n", "DATB old.dat 1 2 0.1 0.95\n", "# a comment\n", "SM2D 5000\n"};
    pk::TableRow row;
    row.name = "r1";
    row.line = 3;
    row.samples = {"a.dat", "b.dat"};
    row.time = "10", row.monitor = "20", row.thickness = "0.1", row.transmission = "0.9";
    row.title = "Spheres, first";
    pk::RowUsed u = pk::row_used(pk::row_param_text(base, row, "t.csv"));
    EXPECT_EQ(u.columns, (std::vector<std::string>{"a.dat;b.dat", "10", "20", "0.1", "0.9", "old.dat", "1", "2",
                                                   "0.1", "0.95", "Spheres, first", "", ""}));
    EXPECT_EQ(u.configuration, (std::vector<std::string>{"CNTR 64 64", "DATB old.dat 1 2 0.1 0.95", "SM2D 5000"}));
    EXPECT_EQ(u.origin, "pelkaro-batch: row r1 of t.csv (line 3), configuration from base.par");
    row.buffers = {"new.dat"};
    row.buffer_time = "5", row.buffer_monitor = "6", row.buffer_thickness = "0.2", row.buffer_transmission = "1";
    row.title.clear();
    std::string why;
    ASSERT_TRUE(pk::parse_beam(" s_beam.dat, 180 ,1.7694e5", row.sample_beam, why)) << why;
    ASSERT_TRUE(pk::parse_beam("b_beam.dat,150,148320", row.buffer_beam, why)) << why;
    u = pk::row_used(pk::row_param_text(base, row, "t.csv"));
    EXPECT_EQ(u.columns, (std::vector<std::string>{"a.dat;b.dat", "10", "20", "0.1", "0.9", "new.dat", "5", "6",
                                                   "0.2", "1", "", "s_beam.dat,180,176940",
                                                   "b_beam.dat,150,148320"}));
    EXPECT_EQ(u.configuration, (std::vector<std::string>{"CNTR 64 64", "SM2D 5000"}));
    // Whatever a parameter file holds, the columns are there and hold no
    // more than it; read without the configuration, they are the same.
    const std::string both = pk::row_param_text(base, row, "t.csv");
    for (const std::string& text : {std::string(), std::string("DATS"), std::string("DATB\n"), std::string("\n\n#\n"),
                                   std::string("DATS a\tb\r\nDATB  x"), std::string("# pelkaro-batch: row \n"),
                                   std::string(" \tDATS a 1\nDATSX b 2\n#DATB c\n DATB d 3 4 5 6 7\n"), both}) {
        u = pk::row_used(text);
        EXPECT_EQ(u.columns.size(), 13u) << text;
        const pk::RowUsed columns_only = pk::row_used(text, false);
        EXPECT_EQ(columns_only.columns, u.columns) << text;
        EXPECT_TRUE(columns_only.configuration.empty()) << text;
    }
    EXPECT_EQ(pk::row_used(" \tDATS a 1\nDATSX b 2\n#DATB c\n DATB d 3 4 5 6 7\n", false).columns,
              (std::vector<std::string>{"a", "1", "", "", "", "d", "3", "4", "5", "6", "", "", ""}));
    EXPECT_EQ(pk::row_used("DATS a\tb\r\n").columns[1], "b");
}

// The image: row 0 at the bottom, masked pixels grey, those at or below 0
// black, the brightest yellow and four decades below it dark blue.
TEST(ReportImages, LevelsOnAFourDecadeScale) {
    std::vector<double> v(2u * pk::kDetPixels, 1e-6);  // far below the scale: its bottom level
    const auto at = [](int x, int y) { return static_cast<std::size_t>(y * pk::kDetSide + x); };
    v[at(0, 0)] = 100;
    v[at(1, 0)] = 0, v[at(1, 0) + pk::kDetPixels] = 0;    // masked
    v[at(2, 0)] = -3, v[at(2, 0) + pk::kDetPixels] = 1;   // below 0
    v[at(3, 0)] = 0, v[at(3, 0) + pk::kDetPixels] = 0.5;  // 0, not masked
    v[at(0, 127)] = 1;                                     // two decades below the top: the middle
    v[at(1, 127)] = 1e-1;                                  // three: a quarter of the way up
    pk::ImageScale scale;
    const std::vector<std::uint8_t> level = pk::image_levels(v, scale);
    ASSERT_EQ(level.size(), static_cast<std::size_t>(pk::kDetPixels));
    EXPECT_TRUE(scale.any);
    EXPECT_DOUBLE_EQ(scale.hi, 2);
    EXPECT_DOUBLE_EQ(scale.lo, -2);
    const auto from_top = [&level](int x, int row) { return int{level[static_cast<std::size_t>(row * 128 + x)]}; };
    EXPECT_EQ(from_top(0, 127), 255);
    EXPECT_EQ(from_top(1, 127), pk::kMaskedPixel);
    EXPECT_EQ(from_top(2, 127), pk::kNonPositivePixel);
    EXPECT_EQ(from_top(3, 127), pk::kNonPositivePixel);
    EXPECT_EQ(from_top(0, 0), 2 + 127);  // 2 + round(0.5 * 253)
    EXPECT_EQ(from_top(1, 0), 2 + 63);   // 2 + round(0.25 * 253)
    EXPECT_EQ(from_top(5, 5), pk::kFirstLevel);
    const std::vector<std::uint8_t> palette = pk::image_palette();
    ASSERT_EQ(palette.size(), 768u);
    const auto colour = [&palette](int k) {
        return std::vector<int>{palette[3u * k], palette[3u * k + 1], palette[3u * k + 2]};
    };
    EXPECT_EQ(colour(pk::kMaskedPixel), (std::vector<int>{200, 200, 200}));
    EXPECT_EQ(colour(pk::kNonPositivePixel), (std::vector<int>{0, 0, 0}));
    std::uint8_t top[3], bottom[3];
    pk::scale_colour(1, top), pk::scale_colour(0, bottom);
    EXPECT_EQ(colour(255), (std::vector<int>{top[0], top[1], top[2]}));
    EXPECT_EQ(colour(pk::kFirstLevel), (std::vector<int>{bottom[0], bottom[1], bottom[2]}));
    // The ends of the map: dark blue and yellow.
    EXPECT_TRUE(bottom[2] > bottom[1] && top[0] > 200 && top[1] > 200 && top[2] < 100);
    std::vector<double> masked(2u * pk::kDetPixels, 0);
    pk::image_levels(masked, scale);
    EXPECT_FALSE(scale.any);
}

// The image the rows make from memory is the one the report reads back
// from the .d2d, bit for bit: ordinary values, ties at the fourth decimal
// (rounded half to even), values below half a unit of it, negative zeros,
// subnormals, values beyond 2^23 and 2^53 / 10^4, infinities and NaN.
TEST(ReportImages, ValuesFromMemoryAreThoseOfTheD2d) {
    pkt::TempDir d;
    pk::Data2D img;
    img.intens.resize(pk::kDetPixels);
    img.uncert.resize(pk::kDetPixels);
    const float special[] = {0.0f, -0.0f, 1.03125f, 1.09375f, -2.15625f, 0.00005f, 0.00015f, -0.00004f, 1e-45f,
                             -1e-40f, 8388608.5f, 1.5e9f, 9.1e11f, 3.4e38f, -3.4e38f, INFINITY, -INFINITY, NAN,
                             -NAN, 0.1f, 12345.678f, -0.04995f};
    std::uint32_t bits = 12345u;
    for (std::size_t k = 0; k < 2u * pk::kDetPixels; ++k) {
        bits = bits * 1664525u + 1013904223u;  // every bit pattern, scaled ones more often
        float v = 0;
        std::memcpy(&v, &bits, sizeof v);
        if (k % 3 == 1) v = static_cast<float>((bits >> 8) % 2000000) * 1e-4f - 100.0f;
        if (k < sizeof special / sizeof special[0]) v = special[k];
        (k < pk::kDetPixels ? img.intens[k] : img.uncert[k - pk::kDetPixels]) = v;
    }
    img.uncert[0] = 0.0f, img.uncert[1] = -0.00004f;  // masked pixels: 0 +- 0
    const std::string path = d / "img.d2d";
    ASSERT_TRUE(pk::write_2D_as(img, pk::ParamFile{}, path).ok());
    std::vector<double> read, made;
    ASSERT_TRUE(pk::read_image_values(path, read));
    pk::image_values(img, made);
    ASSERT_EQ(made.size(), read.size());
    std::size_t differ = 0;
    for (std::size_t k = 0; k < read.size(); ++k)
        if (std::memcmp(&read[k], &made[k], sizeof(double)) != 0)
            ++differ;
    EXPECT_EQ(differ, 0u);
    // The report's image of them, from the values the rows take.
    pk::ImageScale a, b;
    pk::image_level_values(img, made);
    EXPECT_EQ(pk::image_levels(made, a), pk::image_levels(read, b));
    EXPECT_TRUE(a.any == b.any && a.lo == b.lo && a.hi == b.hi);
}

TEST(ReportImages, PngReadsBackAsItsColours) {
    if (!pk::png_available()) GTEST_SKIP() << "built without libpng";
    pkt::TempDir d;
    std::vector<std::uint8_t> indices(5 * 3);
    for (std::size_t k = 0; k < indices.size(); ++k) indices[k] = static_cast<std::uint8_t>(k * 17);
    const std::vector<std::uint8_t> palette = pk::image_palette();
    std::string why;
    ASSERT_TRUE(pk::write_png(d / "a.png", indices, palette, 5, 3, why)) << why;
    EXPECT_EQ(pkt::files_in(d.path()), std::vector<std::string>{"a.png"});
    EXPECT_FALSE(pk::write_png(d / "no/such/dir/b.png", indices, palette, 5, 3, why));
    EXPECT_EQ(why, "cannot write " + (d / "no/such/dir/b.png"));
#if PK_TEST_PNG
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, (d / "a.png").c_str()));
    EXPECT_EQ(image.width, 5u);
    EXPECT_EQ(image.height, 3u);
    image.format = PNG_FORMAT_RGB;
    std::vector<std::uint8_t> back(PNG_IMAGE_SIZE(image)), want;
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, back.data(), 0, nullptr));
    for (std::uint8_t k : indices) want.insert(want.end(), &palette[3u * k], &palette[3u * k] + 3);
    EXPECT_EQ(back, want);
#endif
}

// The page carries dygraphs itself (its licence line), and no pointer to
// a file outside it.
TEST(ReportPage, ChartingLibraryInlinedWithoutOutsideReferences) {
    if (pk::report_chart_js().empty()) GTEST_SKIP() << "built without dygraphs";
    pkt::TempDir d;
    std::string why;
    ASSERT_TRUE(pk::write_report(d / "report.html", {}, pk::ReportInfo{"t.csv", {"a note"}, true}, 1, why)) << why;
    const std::string page = pkt::read_file(d / "report.html");
    EXPECT_NE(page.find("@license"), std::string::npos);
    EXPECT_NE(page.find("Dygraph"), std::string::npos);
    EXPECT_EQ(page.find("sourceMappingURL"), std::string::npos);
    for (const char* outside : {"src=\"http", "href=\"http", "src=\"//", "href=\"//", "url(http"})
        EXPECT_EQ(page.find(outside), std::string::npos) << outside;
    EXPECT_NE(page.find("<meta http-equiv=\"refresh\" content=\"2\">"), std::string::npos);
    EXPECT_NE(page.find("<tr><th>note</th><td colspan=\"2\">a note</td></tr>"), std::string::npos);
    EXPECT_NE(page.find("No row's parameter file could be read."), std::string::npos);
}

// The curve a row's line of the page carries (data-curve) is its .d1d's
// points as written, each number's text as it stands: only points whose
// three values are finite numbers and whose Q is above 0.
TEST(ReportPage, RowCurveHoldsTheFinitePointsOfPositiveQAsWritten) {
    pkt::TempDir d;
    pkt::write_file(d / "r.d1d",
                    "0.005216\t25.003544\t    0.040888\n"      // plain, kept
                    "-0.001000\t1.0\t1.0\n"                     // Q below 0
                    "0.000000\t1.0\t1.0\n-0.000000\t1\t1\n"    // Q of 0
                    "0.000001\t-2.5\t0.5\n"                     // tiny Q, negative I: kept
                    "1e-3\t2E+1\t3.0e0\n"                       // exponents: kept
                    "0.1\tinf\t1\n0.2\t1\tnan\ninf\t1\t1\n"   // not finite
                    "0.3\t1\n"                                   // two numbers
                    "0.4x\t7\t8\n"                              // a number ends where a non-digit starts
                    "5.\t.5\t-.25\n"                            // points at either end
                    "1.2.3\t4\n"                                 // one point too many: the next number
                    "0.00000000000000000000000000000001\t1\t1\n"  // long
                    "+1\t1\t1\n1e999\t1\t1\n"                   // no sign +, out of range
                    "0.5\t1\t2\t9\n");                          // a fourth value ignored
    pk::RowResult r;
    r.index = 1, r.name = "r", r.state = pk::RowState::ok, r.has_curve = true, r.points = 1, r.dir = d.path();
    r.outputs = {"r.d1d"};
    std::string why;
    ASSERT_TRUE(pk::write_report(d / "report.html", {r}, pk::ReportInfo{"t.csv", {}, false}, 1, why)) << why;
    const std::string page = pkt::read_file(d / "report.html");
    const std::size_t at = page.find(" data-curve=\"");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(page.substr(at, page.find('"', at + 13) + 1 - at),
              " data-curve=\"0.005216 25.003544 0.040888 0.000001 -2.5 0.5 1e-3 2E+1 3.0e0 5. .5 -.25 1.2 .3 4 "
              "0.00000000000000000000000000000001 1 1 0.5 1 2\"");
}

TEST(Options, FollowSettleAndMarkers) {
    pk::BatchOptions o;
    std::string why;
    const char* follow[] = {"pelkaro-batch", "--follow", "--settle", "0.5", "b.par", "t.csv"};
    ASSERT_EQ(pk::parse_batch_args(6, follow, o, why), pk::BatchCli::run) << why;
    EXPECT_TRUE(o.follow);
    EXPECT_DOUBLE_EQ(o.settle, 0.5);
    EXPECT_FALSE(o.done_markers);
    const char* markers[] = {"pelkaro-batch", "--done-markers", "--follow", "b.par", "t.csv"};
    ASSERT_EQ(pk::parse_batch_args(5, markers, o, why), pk::BatchCli::run) << why;
    EXPECT_TRUE(o.done_markers);
    EXPECT_DOUBLE_EQ(o.settle, 2);
    const struct {
        std::vector<const char*> args;
        const char* why;
    } bad[] = {
        {{"x", "--settle", "1", "b", "t"}, "--settle needs --follow: it says when a file is complete"},
        {{"x", "--done-markers", "b", "t"}, "--done-markers needs --follow: it says when a file is complete"},
        {{"x", "--follow", "--settle", "1", "--done-markers", "b", "t"},
         "--settle and --done-markers both say when a file is complete: use one"},
        {{"x", "--follow", "--settle", "0.05", "b", "t"},
         "--settle takes the seconds a file must stay unchanged, from 0.1 to 3600, not '0.05'"},
        {{"x", "--follow", "--settle", "1s", "b", "t"},
         "--settle takes the seconds a file must stay unchanged, from 0.1 to 3600, not '1s'"},
        {{"x", "--follow", "--report", "d"}, "--follow reduces a table as it arrives: it does not go with --report"}};
    for (const auto& b : bad) {
        why.clear();
        EXPECT_EQ(pk::parse_batch_args(static_cast<int>(b.args.size()), b.args.data(), o, why), pk::BatchCli::bad);
        EXPECT_EQ(why, b.why);
    }
}

}  // namespace
