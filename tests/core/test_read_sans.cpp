// Detector data files and mask files: what is loaded, what is printed, and
// which files are refused.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <random>

#include "pelkaro/Pelkaro.h"
#include "test_util.h"
#include "read_sans.h"

using namespace pkt;

namespace {

std::string repeat_lines(const std::string& line, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += line;
    return s;
}

class Reader : public ::testing::Test {
protected:
    TempDir dir;
    Data2D d;
    std::string out;  // what the reader printed
    std::string path = dir / "in.dat";
    // Loads `content` as a detector data file into arrays prefilled with `fill`.
    Status data(const std::string& content, float fill = 0.0f) {
        write_file(path, content);
        return load_data(path, fill);
    }
    Status load_data(const std::string& name, float fill = 0.0f) {
        d.name = name;
        d.intens.assign(kImageValues, fill);
        d.uncert.assign(kImageValues, -7.0f);
        out.clear();
        return read_data(d, Console{nullptr, &out});
    }
    Status mask(const std::string& content, float fill = 0.5f) {
        write_file(path, content);
        return load_mask(path, fill);
    }
    // The mask reader has no console: whatever it printed would be on
    // standard output.
    Status load_mask(const std::string& name, float fill = 0.5f) {
        d.name = name;
        d.intens.assign(kImageValues, fill);
        d.uncert.assign(kImageValues, -7.0f);
        Status st;
        out = capture([&] { st = read_mask(Param{}, d); });
        return st;
    }
    std::vector<float> head(std::size_t n) const { return {d.intens.begin(), d.intens.begin() + n}; }
};

using V = std::vector<float>;

// A file of the usual size is read whole, a larger one through a buffer of
// 64 KiB: counts that cross the buffer's ends, a byte-order mark and the
// header tags give the same values and console either way.
TEST_F(Reader, LargeFileAsAWholeOne) {
    std::string rows;
    for (int k = 0; k < kDetPixels; ++k) rows += std::to_string((k * 7919) % 10000019) + (k % 100 == 99 ? "\n" : "\t");
    const std::string head = "\xEF\xBB\xBF<time>5</time>\n<monitor>70</monitor>\n";
    ASSERT_TRUE(succeeded(data(head + rows)));
    const Data2D small = d;
    const std::string small_out = out;
    ASSERT_TRUE(succeeded(data(head + "# " + std::string((1 << 20) + 17, 'x') + "\n" + rows)));
    EXPECT_EQ(out, small_out);
    EXPECT_EQ(out, "Data set time = 5.000000\nData set monitor = 70.000000\n");
    EXPECT_EQ(d.values, kDetPixels);
    EXPECT_EQ(d.intens, small.intens);
    EXPECT_EQ(d.uncert, small.uncert);
    EXPECT_EQ(d.intens[kDetPixels - 1], static_cast<float>((16383 * 7919) % 10000019));
}

TEST_F(Reader, DataLineAndUncertainties) {
    ASSERT_TRUE(succeeded(data("0\t5\t12\n")));
    EXPECT_EQ(out, "");
    EXPECT_EQ(head(4), (V{0, 5, 12, 0}));
    EXPECT_EQ(d.uncert[0], 1.0f);
    EXPECT_EQ(d.uncert[1], static_cast<float>(std::sqrt(5.0)));
    EXPECT_EQ(d.uncert[2], static_cast<float>(std::sqrt(12.0)));
    EXPECT_EQ(d.uncert[3], 1.0f);
    EXPECT_EQ(d.uncert[kImageValues - 1], 1.0f);
    // Tags only: the values stay as they were, every uncertainty is computed.
    ASSERT_TRUE(succeeded(data("<time>5</time>\n", 4.0f)));
    for (int k = 0; k < kImageValues; ++k) {
        ASSERT_EQ(d.intens[k], 4.0f) << k;
        ASSERT_EQ(d.uncert[k], 2.0f) << k;
    }
}

// The uncertainty of a count is its square root taken in double precision
// and rounded to a float: every count up to 2^20, then every 61st count up
// to 2^24 (all of them exact in a float), then every 61st float up to the
// largest count.
TEST_F(Reader, EveryCountsUncertaintyIsTheRoundedDoubleSquareRoot) {
    std::vector<double> counts;
    for (double c = 0; c <= 1048576.0; ++c) counts.push_back(c);
    for (double c = 1048577.0; c < 16777216.0; c += 61) counts.push_back(c);
    for (float c = 16777216.0f; c < 2147483648.0f;) {
        for (int k = 0; k < 61; ++k) c = std::nextafter(c, 3e9f);
        counts.push_back(std::min(static_cast<double>(c), 2147483647.0));
    }
    std::string text;
    for (std::size_t at = 0; at < counts.size(); at += kImageValues) {
        const std::size_t n = std::min<std::size_t>(kImageValues, counts.size() - at);
        text.clear();
        for (std::size_t k = 0; k < n; ++k) text += std::to_string(static_cast<long long>(counts[at + k])) + "\t";
        d.intens.assign(kImageValues, 0.0f);
        d.uncert.assign(kImageValues, 0.0f);
        ASSERT_TRUE(succeeded(read_data_text(text, d, Console{nullptr, nullptr})));
        for (std::size_t k = 0; k < n; ++k) {
            const double c = static_cast<double>(static_cast<float>(counts[at + k]));
            ASSERT_EQ(d.uncert[k], c == 0 ? 1.0f : static_cast<float>(std::sqrt(c))) << "count " << counts[at + k];
        }
    }
}

TEST_F(Reader, HeaderTags) {
    d.psd = 3.0f;
    ASSERT_TRUE(succeeded(data("<time>600</time>\n<monitorcounts>5000</monitorcounts>\n<psd counts>98765</psd>\n"
                               "1 2\n<psd>77</psd>\n<Time>9</Time>\n<moni>\n<time 55\n 8 9\n<psd x>-5</psd>\n"
                               "<time>1234.9</time>\n3\n")));
    EXPECT_EQ(out,
              "Data set time = 600.000000\nData set monitor = 5000.000000\n"
              "Data set PSD counts = 98765.000000\nData set PSD counts = -5.000000\n"
              "Data set time = 1234.000000\n");
    EXPECT_EQ(d.tm, 1234.0f);
    EXPECT_EQ(d.monitor, 5000.0f);
    EXPECT_EQ(d.psd, -5.0f);
    EXPECT_EQ(head(4), (V{1, 2, 3, 0}));
}

TEST_F(Reader, MonitorFallsBackToTime) {
    d.monitor = 0.0f;
    ASSERT_TRUE(succeeded(data("<time>300</time>\n1\n")));
    EXPECT_EQ(d.monitor, 300.0f);
    d.monitor = 70.0f;
    ASSERT_TRUE(succeeded(data("<time>300</time>\n1\n")));
    EXPECT_EQ(d.monitor, 70.0f);
}

// Only the order of the numbers matters, not the lines: 128 lines of 128,
// 16384 lines of one, one line of 16384 and CRLF line ends load alike.
TEST_F(Reader, LayoutsLoadTheSameImage) {
    std::vector<long> v(kDetPixels);
    for (int i = 0; i < kDetPixels; ++i) v[i] = (i * 37L) % 1001;
    std::string rows = detector_file(v, 10, 20), single, column, crlf;
    for (int i = 0; i < kDetPixels; ++i) {
        single += std::to_string(v[i]) + (i + 1 < kDetPixels ? " " : "\n");
        column += std::to_string(v[i]) + "\n";
    }
    for (char c : rows) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    for (const std::string* text : {&rows, &single, &column, &crlf}) {
        ASSERT_TRUE(succeeded(data(*text, 99.0f)));
        for (int i = 0; i < kDetPixels; ++i) ASSERT_EQ(d.intens[i], static_cast<float>(v[i])) << i;
        EXPECT_EQ(d.intens[kDetPixels], 99.0f);
    }
    EXPECT_EQ(d.tm, 10.0f);
    EXPECT_EQ(d.monitor, 20.0f);
}

TEST_F(Reader, FieldsAndFileEnd) {
    ASSERT_TRUE(succeeded(data("7 8", 99.0f)));  // no final line feed: 8 is kept
    EXPECT_EQ(head(3), (V{7, 8, 99}));
    ASSERT_TRUE(succeeded(data("1  2\t\n5 -3 4\n", 99.0f)));  // empty fields take no position
    EXPECT_EQ(head(6), (V{1, 2, 5, 3, 4, 99}));
    ASSERT_TRUE(succeeded(data("2147483647\n0000000000000000000000012\n")));
    EXPECT_EQ(head(2), (V{2147483648.0f, 12}));
}

// Counts of every length from 1 to 10 digits, with leading zeros and every
// kind of separator, over several of the file reader's blocks and up to the
// end of the text: each the value its digits spell.
TEST_F(Reader, CountsOfEveryLength) {
    std::mt19937_64 r(7);
    const std::string seps[] = {"\t", " ", ",", "x", "\r\n", ".", "-", "  \t", "\n"};
    std::vector<long long> want;
    std::string text;
    for (int i = 0; i < 30000; ++i) {
        const int digits = 1 + static_cast<int>(r() % 10);
        long long v = static_cast<long long>(r() % 9) + 1;
        for (int k = 1; k < digits; ++k) v = v * 10 + static_cast<long long>(r() % 10);
        if (v > 2147483647) v /= 10;
        if (r() % 7 == 0) v = 0;
        want.push_back(v);
        text += std::string(static_cast<std::size_t>(r() % 4 == 0 ? r() % 3 : 0), '0') + std::to_string(v);
        if (i + 1 < 30000) text += seps[r() % 9];
    }
    for (const bool whole : {false, true}) {
        d.intens.assign(kImageValues, 99.0f);
        d.uncert.assign(kImageValues, 0.0f);
        d.name = path;
        write_file(path, text);
        ASSERT_TRUE(succeeded(whole ? read_data_text(text, d, Console{nullptr, nullptr}) : load_data(path, 99.0f)));
        ASSERT_EQ(d.values, 30000);
        for (std::size_t i = 0; i < want.size(); ++i)
            ASSERT_EQ(d.intens[i], static_cast<float>(want[i])) << "value " << i << (whole ? " (text)" : " (file)");
        EXPECT_EQ(d.intens[30000], 99.0f);
    }
}

// The counts a plain reading of the text finds: a line whose first
// character is a digit holds counts (each maximal run of digits), any
// other line (no header tags here) is skipped.
std::vector<long long> plain_reading(const std::string& text) {
    std::vector<long long> counts;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        if (std::isdigit(static_cast<unsigned char>(text[at])))
            for (std::size_t k = at; k < end;) {
                if (!std::isdigit(static_cast<unsigned char>(text[k]))) {
                    ++k;
                    continue;
                }
                long long v = 0;
                for (; k < end && std::isdigit(static_cast<unsigned char>(text[k])); ++k) v = v * 10 + (text[k] - '0');
                counts.push_back(v);
            }
        at = end + 1;
    }
    return counts;
}

// Data lines of every shape between lines that are skipped (which may hold
// digits after their first character), counts of 1 to 30 digits (leading
// zeros), runs of separators, CRLF and a last line without its line feed:
// the reader finds what the plain reading finds, from a file (whose blocks
// split lines and counts) and from a text.
TEST_F(Reader, MixedLinesAsAPlainReadingFindsThem) {
    std::mt19937_64 r(11);
    const std::string seps[] = {"\t", " ", ",", "  ", "\r", "x", "\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t"};
    const std::string skipped[] = {" 12 34", "\t5", "x 7 8 9", "#", "", " ", "abcdefghijklmnopqrstuvwxyz 123456789"};
    for (int round = 0; round < 20; ++round) {
        std::string text;
        std::size_t counts = 0;
        while (counts < 15000) {
            if (r() % 5 == 0) {
                text += skipped[r() % 7] + (r() % 2 ? "\n" : "\r\n");
                continue;
            }
            const int n = 1 + static_cast<int>(r() % 40);
            for (int i = 0; i < n; ++i, ++counts) {
                const int digits = static_cast<int>(r() % 4 == 0 ? 1 + r() % 30 : 1 + r() % 6);
                std::string count;
                for (int k = 0; k < digits; ++k) count += static_cast<char>('0' + r() % 10);
                if (digits > 9) count.replace(0, digits - 9, std::string(static_cast<std::size_t>(digits - 9), '0'));
                if (digits == 10 && count > "2147483647") count[0] = '0';
                text += count;
                if (i + 1 < n) text += seps[r() % 7];
            }
            text += r() % 3 == 0 ? std::string(r() % 2 ? " \r\n" : "\r\n") : "\n";
        }
        if (round % 2) text.pop_back();  // the last count ends the file
        const std::vector<long long> want = plain_reading(text);
        for (const bool whole : {false, true}) {
            SCOPED_TRACE(testing::Message() << "round " << round << (whole ? " (text)" : " (file)"));
            d.intens.assign(kImageValues, 99.0f);
            d.uncert.assign(kImageValues, 0.0f);
            d.name = path;
            write_file(path, text);
            ASSERT_TRUE(succeeded(whole ? read_data_text(text, d, Console{nullptr, nullptr}) : load_data(path, 99.0f)));
            ASSERT_EQ(d.values, static_cast<int>(want.size()));
            for (std::size_t i = 0; i < want.size(); ++i) ASSERT_EQ(d.intens[i], static_cast<float>(want[i])) << i;
            EXPECT_EQ(d.intens[want.size()], 99.0f);
        }
    }
}

TEST_F(Reader, OversizedAndOutOfRangeDataRejected) {
    ASSERT_TRUE(succeeded(data(repeat_lines(repeat_lines("1\t", 127) + "2\n", kImageValues / 128))));
    EXPECT_EQ(d.intens[kImageValues - 1], 2.0f);
    const std::string count = " holds a count beyond the 32-bit range";
    const std::string header = " holds a header value beyond the 32-bit range";
    const std::vector<std::pair<std::string, std::string>> bad = {
        {repeat_lines("1\n", kImageValues + 1), " holds more than 36864 values"},
        {repeat_lines("10\t20\t30\t40\t50\t60\n", kImageValues / 6 + 1), " holds more than 36864 values"},
        // the values beyond the last one far from the end of the file
        {repeat_lines(repeat_lines("1\t", 127) + "2\n", kImageValues / 128 + 1) + "# " + std::string(100, 'x') + "\n",
         " holds more than 36864 values"},
        {"2147483648\n", count},
        {"1 99999999999999999999 2\n", count}, {"<time>99999999999</time>\n", header},
        {"<monitor>-2147483649</monitor>\n", header}};
    for (const auto& [text, why] : bad) {
        SCOPED_TRACE(text.substr(0, 40));
        const Status st = data(text);
        EXPECT_EQ(st.stage, Stage::read);
        EXPECT_EQ(st.code, Code::bad_contents);
        EXPECT_EQ(st.reason, path + why);
        EXPECT_EQ(st.text(), "read_data -> " + path + why + "\n");
        EXPECT_EQ(out, "");
        EXPECT_EQ(d.intens.size(), static_cast<std::size_t>(kImageValues));
    }
}

TEST_F(Reader, UnreadableDataFile) {
    std::filesystem::create_directory(dir / "sub");
    for (const std::string& name : {dir / "none.dat", dir / "sub", std::string("/dev/null")}) {
        const Status st = load_data(name, 3.0f);
        EXPECT_EQ(st.stage, Stage::read);
        EXPECT_EQ(st.code, Code::cannot_read);
        EXPECT_EQ(st.reason, "could not access the data in " + name);
        EXPECT_EQ(st.text(), "read_saxs -> could not access the data in " + name + "\n");
        EXPECT_EQ(out, "");
        EXPECT_EQ(d.intens[0], 3.0f);
        EXPECT_EQ(d.uncert[0], -7.0f);
    }
}

TEST_F(Reader, MaskValueLines) {
    ASSERT_TRUE(succeeded(mask("# c1\n#c2\n1\t0\t1\n0.9\n1.00\n 1\n-1\n7\n  # 5\n\ntext\n0\r\n1\r\n")));
    EXPECT_EQ(out, "");
    EXPECT_EQ(head(9), (V{1, 0, 1, 1, -1, 7, 0, 1, 0.5f}));
    EXPECT_EQ(d.uncert[0], -7.0f);
    std::string full = "# a\n# b\n";
    for (int i = 0; i < kDetPixels; ++i) full += (i % 3 == 0 || i == 129) ? "1\n" : "0\n";
    ASSERT_TRUE(succeeded(mask(full)));
    for (int i = 0; i < kDetPixels; ++i) ASSERT_EQ(d.intens[i], (i % 3 == 0 || i == 129) ? 1.0f : 0.0f);
    EXPECT_EQ(d.intens[128 * 1 + 1], 1.0f);  // column 1 of row 1
    EXPECT_EQ(d.intens[kDetPixels], 0.5f);
    ASSERT_TRUE(succeeded(mask(repeat_lines("1\n", kImageValues))));
    EXPECT_EQ(d.intens[kImageValues - 1], 1.0f);
}

TEST_F(Reader, MaskFilesRejected) {
    std::filesystem::create_directory(dir / "sub");
    for (const std::string& name : {dir / "none", dir / "sub"}) {
        const Status st = load_mask(name);
        EXPECT_EQ(st.stage, Stage::read);
        EXPECT_EQ(st.code, Code::cannot_read);
        EXPECT_EQ(st.reason, "could not open the mask file " + name);
        EXPECT_EQ(st.text(), "read_saxs -> could not open the mask file " + name + "\n");
        EXPECT_EQ(out, "");
        EXPECT_EQ(d.intens[0], 0.5f);
    }
    const std::vector<std::pair<std::string, std::string>> bad = {
        {repeat_lines("1\n", kImageValues + 1), " holds more than 36864 values"},
        {"1\n2147483648\n", " holds a value beyond the 32-bit range"}};
    for (const auto& [text, why] : bad) {
        const Status st = mask(text);
        EXPECT_EQ(st.stage, Stage::read);
        EXPECT_EQ(st.code, Code::bad_contents);
        EXPECT_EQ(st.reason, "the mask file " + path + why);
        EXPECT_EQ(st.text(), "read_saxs -> the mask file " + path + why + "\n");
        EXPECT_EQ(out, "");
    }
}

// A mask in the layout that run mode 1 writes is read row by row.
TEST_F(Reader, GeneratedMaskLayout) {
    auto layout = [](int rows, int cols) {
        std::string s = "# mask file created from beam center 64.000000 63.500000\n"
                        "# detector appears as if looking from sample position\n";
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < cols; ++c) s += ((r * 7 + c) % 5 == 0) ? "1.00\t" : "0.00\t";
            s += "\n";
        }
        return s;
    };
    ASSERT_TRUE(succeeded(mask(layout(128, 128))));
    for (int i = 0; i < kDetPixels; ++i)
        ASSERT_EQ(d.intens[i], ((i / 128) * 7 + i % 128) % 5 == 0 ? 1.0f : 0.0f) << i;
    EXPECT_EQ(d.intens[kDetPixels], 0.5f);
    for (auto [rows, cols] : std::vector<std::pair<int, int>>{{128, 127}, {127, 128}, {129, 128}, {128, 129}}) {
        const Status st = mask(layout(rows, cols));
        EXPECT_EQ(st.stage, Stage::read);
        EXPECT_EQ(st.code, Code::bad_contents) << rows << "x" << cols;
        EXPECT_EQ(st.reason, "the mask file " + path + " is not a 128 x 128 grid of values");
        EXPECT_EQ(st.text(), "read_saxs -> " + st.reason + "\n");
    }
}

}  // namespace
