// Fuzz target: pelkaro-check on a fuzzed parameter file and fuzzed data
// files, then Pelkaro itself on the same files.
//
// Input layout, as for fuzz_run: sections separated by lines "%%".  Section
// 0 is the parameter file "p.in"; sections 1 to 8 become the files "a" to
// "h".  In a data section a line "@fill K" becomes a whole 128 x 128 image (a
// flat level with a beam spot, both chosen by K) and a line "@mask K" 16384
// mask lines, so that short inputs reach the reduction.  A parameter file
// holding "/" is skipped: every file stays inside the scratch directory.
//
// Invariants: the check writes nothing (the directory is the same before
// and after); every diagnostic is one line of printable text on a line that
// exists; the counts of the summary are those of the diagnostics; and when
// Pelkaro refuses the run, the check has reported an error.  The check as a
// series makes it (twice through one cache: the second time with the fixed
// files and parts of the first) finds the same, and its reduction is the
// library's, bit for bit.
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "pelkaro/check.h"
#include "fuzz_util.h"
#include "pelkaro/run.h"
#include "pelkaro/series.h"
#include "pelkaro_cli.h"

using namespace pk;

namespace {

std::vector<std::string> split_sections(const std::string& in) {
    std::vector<std::string> out(1);
    std::size_t pos = 0;
    while (pos < in.size()) {
        const std::size_t end = in.find('\n', pos);
        const std::size_t next = end == std::string::npos ? in.size() : end + 1;
        const std::string line = in.substr(pos, next - pos);
        if (line == "%%\n" || line == "%%") out.emplace_back();
        else out.back() += line;
        pos = next;
    }
    return out;
}

std::string image_text(long k) {
    const long base = k % 200;
    const double peak = static_cast<double>((k / 200) % 5000);
    const double cx = 64 + k % 7;
    const double cy = 60 + k % 5;
    std::string s;
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 128; ++x) {
            const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            s += std::to_string(base + static_cast<long>(peak * std::exp(-r2 / 72.0)));
            s += x == 127 ? '\n' : '\t';
        }
    return s;
}

std::string mask_text(long k) {
    const long period = k % 50 + 2;
    std::string s;
    for (long y = 0; y < 128; ++y)
        for (long x = 0; x < 128; ++x) s += (k != 0 && (x + 3 * y + k) % period == 0) ? "0\n" : "1\n";
    return s;
}

// Expands the first "@fill" or "@mask" line of a data section.
std::string expand(const std::string& sec) {
    std::size_t pos = 0;
    while (pos < sec.size()) {
        const std::size_t end = sec.find('\n', pos);
        const std::size_t line_end = end == std::string::npos ? sec.size() : end + 1;
        const std::string line = sec.substr(pos, line_end - pos);
        const long k = std::labs(std::strtol(line.c_str() + (line.size() >= 5 ? 5 : 0), nullptr, 10) % 1000000);
        if (line.compare(0, 5, "@fill") == 0) return sec.substr(0, pos) + image_text(k) + sec.substr(line_end);
        if (line.compare(0, 5, "@mask") == 0) return sec.substr(0, pos) + mask_text(k) + sec.substr(line_end);
        pos = line_end;
    }
    return sec;
}

// Every entry of the scratch directory with its size and modification time.
std::map<std::string, std::string> listing() {
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(".", ec)) {
        struct stat st {};
        const std::string name = e.path().filename().string();
        if (::lstat(name.c_str(), &st) == 0)
            out[name] = std::to_string(st.st_size) + "/" + std::to_string(st.st_mtim.tv_sec) + "." +
                        std::to_string(st.st_mtim.tv_nsec);
    }
    return out;
}

long lines_in(const std::string& text) {
    long n = 1;
    for (const char c : text) n += c == '\n';
    return n;
}

void check_diagnostics(const pk::CheckResult& r, const std::map<std::string, std::string>& files) {
    int errors = 0;
    int warnings = 0;
    for (const pk::Diagnostic& d : r.diagnostics) {
        errors += d.severity == pk::Severity::error;
        warnings += d.severity == pk::Severity::warning;
        const std::string line = pk::diagnostic_line(d);
        for (const char c : line + d.paste)
            pkf::check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f, "control character in a diagnostic", line);
        const auto f = files.find(d.file);
        pkf::check(f != files.end(), "a diagnostic names a file the run does not have", line);
        pkf::check(d.line >= 0 && d.line <= lines_in(f->second), "a diagnostic on a line the file does not have", line);
    }
    pkf::check(errors == r.errors && warnings == r.warnings, "summary counts differ from the diagnostics");
}

std::vector<std::string> lines_of(const pk::CheckResult& r) {
    std::vector<std::string> out;
    for (const pk::Diagnostic& d : r.diagnostics) out.push_back(pk::diagnostic_line(d) + " | " + d.paste);
    return out;
}

bool same_floats(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

// The check of a series, twice through one cache, against the check alone
// (`r`), and its reduction against the library's.
void same_as_series(const pk::CheckResult& r) {
    pk::SeriesCache cache;
    for (int pass = 0; pass < 2; ++pass) {
        pk::SeriesCheck sc;
        sc.cache = &cache;
        const pk::CheckResult s = pk::check_run("p.in", sc);
        pkf::check(lines_of(s) == lines_of(r), "the check of a series finds another thing than the check");
        if (!sc.reduced || sc.run.p.mode != 0) continue;
        pk::Run whole;
        const pk::Console quiet{nullptr, nullptr};
        if (!pk::prepare_run("p.in", whole, quiet).ok() || !pk::reduce(whole, quiet).ok()) continue;
        pkf::check(same_floats(sc.run.reduced.intens, whole.reduced.intens) && same_floats(sc.run.reduced.uncert, whole.reduced.uncert),
                   "a series' reduced image differs from the library's");
        pkf::check(sc.run.curve.num == whole.curve.num && same_floats(sc.run.curve.y, whole.curve.y) &&
                       same_floats(sc.run.curve.dy, whole.curve.dy),
                   "a series' curve differs from the library's");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pkf::quiet_stdout();
    const pkf::InScratch in_scratch;
    const std::vector<std::string> sec = split_sections(std::string(reinterpret_cast<const char*>(data), size));
    if (sec[0].find('/') != std::string::npos) return 0;

    pkf::clear_scratch();
    std::map<std::string, std::string> files{{"p.in", sec[0]}};
    static const char* const kNames[] = {"a", "b", "c", "d", "e", "f", "g", "h"};
    for (std::size_t i = 1; i < sec.size() && i <= 8; ++i) files[kNames[i - 1]] = expand(sec[i]);
    for (const auto& f : files) pkf::write_file(f.first, f.second);

    const auto before = listing();
    const pk::CheckResult r = pk::check_run("p.in");
    pkf::check(listing() == before, "the check changed the directory");
    check_diagnostics(r, files);
    same_as_series(r);

    const char* const argv[] = {"Pelkaro", "p.in", nullptr};
    const pk::Console quiet{nullptr, nullptr};
    const int status = pk::pelkaro_main(2, argv, quiet);
    pkf::check(status == 0 || r.errors > 0, "Pelkaro refuses a run in which the check found no error");
    return 0;
}
