// Fuzz target: a whole run of the program, in any mode, on a fuzzed
// parameter file and fuzzed data files, through the real run driver
// (Pelkaro's pelkaro_main, its console silenced unless
// PELKARO_FUZZ_VERBOSE is set).
//
// Input layout: sections separated by lines "%%".  Section 0 is the
// parameter file "p.in"; sections 1 to 8 become the files "a" to "h".  In a
// data section a line "@fill K" is replaced by a whole 128 x 128 image (a flat
// level with a beam spot, both chosen by K) and a line "@mask K" by 16384
// mask lines (a pattern of excluded pixels chosen by K), so that short inputs
// reach the reduction stages.  A parameter file holding "/" is skipped: every
// file the run reads or writes stays inside the scratch directory.
//
// Invariants checked after every run: the result is 0 or -1; no temporary
// file is left behind; every output file present (the directory is emptied
// before each run, so each was written by this run) is complete and holds
// only finite numbers.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "pelkaro/run.h"
#include "pelkaro_cli.h"
#include "pelkaro/files.h"

using namespace pk;


namespace {

std::vector<std::string> split_sections(const std::string& in) {
    std::vector<std::string> out(1);
    std::size_t pos = 0;
    while (pos < in.size()) {
        std::size_t end = in.find('\n', pos);
        std::size_t next = end == std::string::npos ? in.size() : end + 1;
        if (in.compare(pos, next - pos, "%%\n") == 0 || in.compare(pos, next - pos, "%%") == 0) out.emplace_back();
        else out.back().append(in, pos, next - pos);
        pos = next;
    }
    return out;
}

long directive_value(const std::string& line, std::size_t from) {
    long k = std::strtol(line.c_str() + from, nullptr, 10);
    if (k < 0) k = -k;
    return k % 1000000;
}

std::string image_text(long k) {
    const double base = 1 + k % 200;
    const double peak = static_cast<double>((k / 200) % 5000);
    const double cx = 64 + k % 7;
    const double cy = 60 + k % 5;
    std::string s;
    s.reserve(16384 * 6);
    char num[32];
    for (int y = 0; y < 128; ++y) {
        for (int x = 0; x < 128; ++x) {
            const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            const long v = static_cast<long>(base + peak * std::exp(-r2 / 72.0));
            std::snprintf(num, sizeof num, x == 127 ? "%ld\n" : "%ld\t", v);
            s += num;
        }
    }
    return s;
}

std::string mask_text(long k) {
    const long period = k % 50 + 2;
    std::string s;
    s.reserve(16384 * 2);
    for (long y = 0; y < 128; ++y)
        for (long x = 0; x < 128; ++x) s += (k != 0 && (x + 3 * y + k) % period == 0) ? "0\n" : "1\n";
    return s;
}

// Expands the first "@fill" or "@mask" line of a data section.
std::string expand(const std::string& sec) {
    std::size_t pos = 0;
    while (pos < sec.size()) {
        std::size_t end = sec.find('\n', pos);
        std::size_t line_end = end == std::string::npos ? sec.size() : end + 1;
        std::string line = sec.substr(pos, line_end - pos);
        if (line.compare(0, 5, "@fill") == 0)
            return sec.substr(0, pos) + image_text(directive_value(line, 5)) + sec.substr(line_end);
        if (line.compare(0, 5, "@mask") == 0)
            return sec.substr(0, pos) + mask_text(directive_value(line, 5)) + sec.substr(line_end);
        pos = line_end;
    }
    return sec;
}

std::vector<std::string> lines_of(const std::string& s) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < s.size()) {
        std::size_t end = s.find('\n', pos);
        if (end == std::string::npos) {
            out.push_back(s.substr(pos));
            break;
        }
        out.push_back(s.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

// A line of `n` finite numbers separated by tabs, with a tab after the last
// one too when `trailing` (the image rows).
bool finite_fields(const std::string& line, int n, bool trailing) {
    const char* s = line.c_str();
    for (int i = 0; i < n; ++i) {
        char* end = nullptr;
        const double v = std::strtod(s, &end);
        if (end == s || !std::isfinite(v)) return false;
        if (i + 1 < n || trailing) {
            if (*end != '\t') return false;
            ++end;
        }
        s = end;
    }
    return *s == '\0';
}

// A 2D output file: header lines, then 128 rows, two empty lines, 128 rows.
bool complete_2d(const std::vector<std::string>& ln) {
    if (ln.size() < 259) return false;
    const std::size_t top = ln.size() - 258;
    if (ln[top - 1] != "# detector appears as if looking from sample position" &&
        ln[top - 1].find("# detector appears as if looking from sample position") == std::string::npos)
        return false;
    for (std::size_t i = 0; i < 258; ++i) {
        const std::string& l = ln[top + i];
        if (i == 128 || i == 129) {
            if (!l.empty()) return false;
        } else if (!finite_fields(l, 128, true)) {
            return false;
        }
    }
    return true;
}

// The generated mask: two header lines and 128 rows.
bool complete_mask(const std::vector<std::string>& ln) {
    if (ln.size() != 130 || ln[0].compare(0, 36, "# mask file created from beam center") != 0) return false;
    for (std::size_t i = 2; i < 130; ++i)
        if (!finite_fields(ln[i], 128, true)) return false;
    return true;
}

void check_outputs() {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(".", ec)) {
        const std::string name = e.path().filename().string();
        pkf::check(!(name.size() > 1 && name[0] == '.' && name.find(".tmp") != std::string::npos),
                   "temporary file left behind", name);
        const std::string ext = name.size() >= 4 ? name.substr(name.size() - 4) : std::string();
        if (ext != ".d2d" && ext != ".d1d") continue;
        pkf::check(e.is_regular_file(), "output is not a regular file", name);
        const std::vector<std::string> ln = lines_of(pkf::read_file(name));
        if (ext == ".d1d") {
            for (const std::string& l : ln) pkf::check(finite_fields(l, 4, false), "1D output line", name + ": " + l);
        } else {
            pkf::check(complete_2d(ln) || (name == "mask.d2d" && complete_mask(ln)),
                       "2D output incomplete or not finite", name);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pkf::quiet_stdout();
    const pkf::InScratch in_scratch;
    const std::string in(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> sec = split_sections(in);
    if (sec[0].find('/') != std::string::npos) return 0;

    pkf::clear_scratch();
    pkf::write_file("p.in", sec[0]);
    static const char* const kNames[] = {"a", "b", "c", "d", "e", "f", "g", "h"};
    for (std::size_t i = 1; i < sec.size() && i <= 8; ++i) pkf::write_file(kNames[i - 1], expand(sec[i]));

    const char* const argv[] = {"Pelkaro", "p.in", nullptr};
    pk::Console con;
    if (!std::getenv("PELKARO_FUZZ_VERBOSE")) con.file = nullptr;
    const int r = pk::pelkaro_main(2, argv, con);
    std::fflush(stdout);
    if (std::getenv("PELKARO_FUZZ_VERBOSE")) std::fprintf(stderr, "pelkaro fuzz: run result %d\n", r);
    pkf::check(r == 0 || r == -1, "run result is neither 0 nor -1", std::to_string(r));
    check_outputs();
    return 0;
}
