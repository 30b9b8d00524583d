// pelkaro-check: the order of the checks, the diagnostics as lines, and the
// command line.
#include "check.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "check_internal.h"
#include "keywords.h"

#ifndef PELKARO_VERSION  // set by the build, the same for every program
#define PELKARO_VERSION "unknown"
#endif

namespace pkc {

void Check::add(Severity s, const std::string& file, int line, const std::string& text) {
    Diagnostic d;
    d.file = file;
    d.line = line;
    d.severity = s;
    d.text = text;
    diags.push_back(std::move(d));
}

int Check::error_count() const {
    return static_cast<int>(std::count_if(diags.begin(), diags.end(),
                                          [](const Diagnostic& d) { return d.severity == Severity::error; }));
}

const ParseRecord* Check::last_accepted(int kw) const {
    for (std::size_t i = recs.size(); i-- > 0;)
        if (recs[i].keyword == kw && recs[i].verdict == Verdict::accepted) return &recs[i];
    return nullptr;
}

const ParseRecord* Check::nth_accepted(int kw, std::size_t n) const {
    for (const ParseRecord& r : recs)
        if (r.keyword == kw && r.verdict == Verdict::accepted && n-- == 0) return &r;
    return nullptr;
}

int Check::line_of(int kw) const {
    const ParseRecord* r = last_accepted(kw);
    return r ? r->line : 0;
}

int Check::line_of_nth(int kw, std::size_t n) const {
    const ParseRecord* r = nth_accepted(kw, n);
    return r ? r->line : 0;
}

namespace {

// The parameter file first, then the other files in the order they were
// first named; within a file by line, the file as a whole last.
void order(std::vector<Diagnostic>& diags, const std::string& par) {
    std::vector<std::string> files{par};
    for (const Diagnostic& d : diags)
        if (std::find(files.begin(), files.end(), d.file) == files.end()) files.push_back(d.file);
    const auto rank = [&files](const Diagnostic& d) {
        const auto f = std::find(files.begin(), files.end(), d.file) - files.begin();
        return std::make_pair(f, d.line == 0 ? INT32_MAX : d.line);
    };
    std::stable_sort(diags.begin(), diags.end(),
                     [&rank](const Diagnostic& a, const Diagnostic& b) { return rank(a) < rank(b); });
}

}  // namespace

CheckResult check_run(const std::string& param_name) {
    Check c;
    c.par = param_name;
    const int read = read_param_file(param_name, c.pf);
    if (read == -2) {
        c.error(0, std::string("the parameter file holds more than ") + pk::kInputLimitText +
                       ", the most an input file may hold");
    } else if (read != 1) {
        c.error(0, cannot_use("the parameter file", param_name));
    } else {
        try {
            parse_file(c);
            line_warnings(c);
            missing_keywords(c);
            check_files(c);
            check_reduction(c);
            check_beam_centre(c);
            check_outputs(c);
            mask_warnings(c);
        } catch (const std::bad_alloc&) {
            c.error(0, "out of memory; the check cannot go on");
        }
    }
    order(c.diags, c.par);
    CheckResult result;
    for (const Diagnostic& d : c.diags) {
        if (d.severity == Severity::error) ++result.errors;
        if (d.severity == Severity::warning) ++result.warnings;
    }
    result.diagnostics = std::move(c.diags);
    return result;
}

std::string diagnostic_line(const Diagnostic& d) {
    const char* label = d.severity == Severity::error ? "error" : d.severity == Severity::warning ? "warning" : "note";
    std::string out = shown(d.file);
    if (d.line > 0) out += ":" + std::to_string(d.line);
    return out + ": " + label + ": " + d.text;
}

namespace {

const char* const kUsage = "usage: pelkaro-check [--strict] PARAMFILE\n";

const char* const kHelp =
    "usage: pelkaro-check [--strict] PARAMFILE\n"
    "\n"
    "Checks the run that \"Pelkaro PARAMFILE\" would make in the working directory,\n"
    "without writing anything: reads the parameter file and every file it names as\n"
    "Pelkaro would, reduces in memory, and prints one diagnostic per line,\n"
    "  FILE:LINE: error: ...    something that would stop the run\n"
    "  FILE:LINE: warning: ...  something the run would do that is likely not meant\n"
    "then a summary.  For a beam-centre run (MODE 2) it prints the CNTR line to\n"
    "paste into the reduction's parameter file.  Run it where you would run Pelkaro:\n"
    "file names in the parameter file are relative to the working directory.\n"
    "\n"
    "  --strict   warnings count as errors (exit status 1)\n"
    "  --help     print this text and exit\n"
    "  --version  print the version and exit\n"
    "\n"
    "Exit status: 0 nothing would stop the run (warnings allowed), 1 something\n"
    "would, 2 a wrong command line.\n"
    "The manual: man pelkaro-check, or README.md (\"Check a run before you reduce\").\n";

int usage_error(std::FILE* err, const std::string& what) {
    std::fprintf(err, "pelkaro-check: %s\n%sTry 'pelkaro-check --help' for more information.\n", what.c_str(),
                 kUsage);
    return 2;
}

void print_result(const CheckResult& r, bool strict, std::FILE* out) {
    for (const Diagnostic& d : r.diagnostics) {
        std::fprintf(out, "%s\n", diagnostic_line(d).c_str());
        if (!d.paste.empty()) std::fprintf(out, "%s\n", d.paste.c_str());
    }
    std::fprintf(out, "%s, %s%s\n", counted(r.errors, "error", "errors").c_str(),
                 counted(r.warnings, "warning", "warnings").c_str(),
                 strict && r.warnings > 0 ? " (--strict: warnings count as errors)" : "");
}

}  // namespace

int check_main(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
    bool strict = false;
    bool options = true;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (options && a == "--") {
            options = false;
        } else if (options && a == "--help") {
            std::fputs(kHelp, out);
            return 0;
        } else if (options && a == "--version") {
            std::fprintf(out, "pelkaro-check %s\n", PELKARO_VERSION);
            return 0;
        } else if (options && a == "--strict") {
            strict = true;
        } else if (options && a.size() > 1 && a[0] == '-') {
            return usage_error(err, "unknown option " + quote(a));
        } else {
            files.push_back(a);
        }
    }
    if (files.size() != 1)
        return usage_error(err, files.empty() ? "no parameter file given" : "more than one parameter file given");
    const CheckResult r = check_run(files[0]);
    print_result(r, strict, out);
    std::fflush(out);
    return r.errors > 0 || (strict && r.warnings > 0) ? 1 : 0;
}

}  // namespace pkc
