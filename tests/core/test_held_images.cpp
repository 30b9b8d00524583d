// Images held in memory in place of the files a parameter file names (a
// front end's frames): a reduction of held images is, bit for bit, the
// reduction of the files they were read from; a held image satisfies the
// parser where no file of its name exists; its values pass the reader's
// checks with the reader's messages; parameter text in memory is cut into
// pieces as a file of that text is.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pelkaro/run.h"
#include "test_util.h"
#include "pelkaro/files.h"
#include "held_image.h"
#include "read_sans.h"

namespace {

using namespace pk;
using pkt::TempDir;

const std::string kExamples = PELKARO_SOURCE_DIR "/examples/";
const Console kQuiet{nullptr, nullptr};

// The example's parameter file with its files named as `names` gives them
// (sample, buffer, dark current, flat field, mask).
std::string example_text(const std::vector<std::string>& names) {
    std::string par = pkt::read_file(kExamples + "spheres.par");
    const char* files[] = {"sphere_sample.dat", "solvent_buffer.dat", "dark_current.dat", "flat_field.dat",
                           "detector.mask"};
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::size_t at = par.find(std::string(" ") + files[i] + " ");
        const std::size_t at_end = par.find(std::string(" ") + files[i] + "\n");
        const std::size_t where = at != std::string::npos ? at : at_end;
        par.replace(where + 1, std::strlen(files[i]), names[i]);
    }
    return par;
}

// A detector file's counts, or a mask file's values, as a held image.
HeldImage held_from_file(const std::string& name, const std::string& file, bool mask) {
    Data2D d;
    d.name = file;
    const Status st = mask ? read_mask(Param{}, d) : read_data(d, kQuiet);
    EXPECT_TRUE(st.ok()) << st.text();
    HeldImage h{name, mask, {}};
    for (int k = 0; k < d.values; ++k) h.values.push_back(static_cast<uint32_t>(d.intens[static_cast<std::size_t>(k)]));
    return h;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

TEST(HeldImages, ReduceToTheBitsOfTheFilesTheyWereReadFrom) {
    const std::vector<std::string> files = {kExamples + "sphere_sample.dat", kExamples + "solvent_buffer.dat",
                                            kExamples + "dark_current.dat", kExamples + "flat_field.dat",
                                            kExamples + "detector.mask"};
    TempDir dir;
    pkt::write_file(dir / "files.par", example_text(files));
    pk::Run from_files;
    ASSERT_TRUE(prepare_run(dir / "files.par", from_files, kQuiet).ok());
    ASSERT_TRUE(reduce(from_files, kQuiet).ok());

    // Held under names no file has; the example's header times and monitor
    // counts are those of its parameter lines.
    const std::vector<std::string> names = {"S", "B", "D", "F", "M"};
    pk::Run held;
    for (std::size_t i = 0; i < names.size(); ++i) held.held.push_back(held_from_file(names[i], files[i], i == 4));
    read_param_text("in memory", example_text(names), held.file);
    std::string console;
    const Status st = prepare_run(held, Console{nullptr, &console});
    ASSERT_TRUE(st.ok()) << st.text();
    ASSERT_TRUE(reduce(held, kQuiet).ok());
    EXPECT_NE(console.find("The data file #0 is S."), std::string::npos) << console;

    EXPECT_TRUE(same_bits(held.reduced.intens, from_files.reduced.intens));
    EXPECT_TRUE(same_bits(held.reduced.uncert, from_files.reduced.uncert));
    EXPECT_TRUE(same_bits(held.mask.intens, from_files.mask.intens));
    EXPECT_EQ(held.curve.num, from_files.curve.num);
    EXPECT_GT(held.curve.num, 50);
    for (auto a : {&Data1D::x, &Data1D::y, &Data1D::dy, &Data1D::dq, &Data1D::area})
        EXPECT_TRUE(same_bits(held.curve.*a, from_files.curve.*a));
}

TEST(HeldImages, StandForMissingFilesInTheParseAndNothingElse) {
    const std::vector<std::string> names = {"nowhere_s.dat", kExamples + "solvent_buffer.dat",
                                            kExamples + "dark_current.dat", kExamples + "flat_field.dat", "nowhere.mask"};
    pk::Run refused;
    read_param_text("p", example_text(names), refused.file);
    const Status st = prepare_run(refused, kQuiet);
    EXPECT_EQ(st.code, Code::cannot_read);
    EXPECT_EQ(st.detail, "The data file nowhere_s.dat does not exist\n");
    EXPECT_EQ(st.line, 16);  // the DATS line of the example

    pk::Run held;
    held.held.push_back(held_from_file("nowhere_s.dat", kExamples + "sphere_sample.dat", false));
    read_param_text("p", example_text(names), held.file);
    const Status mask_missing = prepare_run(held, kQuiet);
    EXPECT_EQ(mask_missing.detail, "The mask file nowhere.mask does not exist\n");
    held.held.push_back(held_from_file("nowhere.mask", kExamples + "detector.mask", true));
    EXPECT_TRUE(prepare_run(held, kQuiet).ok());
}

TEST(HeldImages, ValuesAreTakenAndCheckedAsTheReaderTakesAFiles) {
    // A short image: the pixels it does not reach are 0 counts, as in a
    // short file, with the same uncertainties and monitor fallback.
    TempDir dir;
    HeldImage h{"short", false, {}};
    std::string text = "<time>7</time>\n";
    for (uint32_t k = 0; k < 300; ++k) {
        h.values.push_back(k * 977 % 5000);
        text += std::to_string(h.values.back()) + (k % 128 == 127 ? "\n" : "\t");
    }
    pkt::write_file(dir / "short.dat", text);
    Data2D file, held;
    file.name = dir / "short.dat";
    held.name = "short";
    held.tm = 7;
    ASSERT_TRUE(read_data(file, kQuiet).ok());
    ASSERT_TRUE(read_data({h}, held, kQuiet).ok());
    EXPECT_TRUE(same_bits(held.intens, file.intens));
    EXPECT_TRUE(same_bits(held.uncert, file.uncert));
    EXPECT_EQ(held.values, file.values);
    EXPECT_EQ(held.monitor, file.monitor);

    HeldImage big{"big", false, std::vector<uint32_t>(kDetPixels, 2147483648u)};
    Data2D d;
    d.name = "big";
    Status st = read_data({big}, d, kQuiet);
    EXPECT_EQ(st.code, Code::bad_contents);
    EXPECT_EQ(st.detail, "read_data -> big holds a count beyond the 32-bit range\n");
    big.values.assign(kImageValues + 1, 1);
    EXPECT_EQ(read_data({big}, d, kQuiet).detail, "read_data -> big holds more than 36864 values\n");
    big.mask = true;
    EXPECT_EQ(read_data({big}, d, kQuiet).code, Code::bad_contents);  // a mask is no detector image
    d.name = "other";
    EXPECT_EQ(read_data({big}, d, kQuiet).code, Code::cannot_read);  // not held: the file, which is missing
    Data2D m;
    m.name = "big";
    EXPECT_EQ(read_mask({big}, Param{}, m).detail, "read_saxs -> the mask file big holds more than 36864 values\n");
}

TEST(HeldImages, ParameterTextIsCutAsAFileOfThatText) {
    const std::string text = std::string("\xEF\xBB\xBF") + "MODE 0\r\nDATS " + std::string(600, 'x') +
                             " 1\nlone\rCR\n\nBINS 1";
    TempDir dir;
    pkt::write_file(dir / "t.par", text);
    ParamFile from_file, from_text;
    ASSERT_TRUE(read_param_file(dir / "t.par", from_file).ok());
    read_param_text("t.par", text, from_text);
    ASSERT_EQ(from_text.pieces.size(), from_file.pieces.size());
    EXPECT_EQ(from_text.pieces.size(), 6u);
    for (std::size_t i = 0; i < from_file.pieces.size(); ++i) {
        EXPECT_EQ(from_text.text_of(i), from_file.text_of(i));
        EXPECT_EQ(from_text.pieces[i].cut, from_file.pieces[i].cut);
        EXPECT_EQ(from_text.pieces[i].line, from_file.pieces[i].line);
    }
}

}  // namespace
