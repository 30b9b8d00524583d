// pelkaro-check: the order of the checks, the diagnostics as lines, and the
// command line.
#include "pelkaro/check.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "check_internal.h"
#include "pelkaro/series.h"
#include "keywords.h"
#include "pelkaro/files.h"

#ifndef PELKARO_VERSION  // set by the build, the same for every program
#define PELKARO_VERSION "unknown"
#endif

namespace pk {

void Check::add(Severity s, const std::string& file, int line, const std::string& text, DiagnosticKind kind) {
    Diagnostic d;
    d.file = file;
    d.line = line;
    d.severity = s;
    d.text = text;
    d.kind = kind;
    diags.push_back(std::move(d));
}

int Check::error_count() const {
    return static_cast<int>(std::count_if(diags.begin(), diags.end(),
                                          [](const Diagnostic& d) { return d.severity == Severity::error; }));
}

const ParseRecord* Check::last_accepted(int kw) const {
    const std::vector<ParseRecord>& r = recs();
    for (std::size_t i = r.size(); i-- > 0;)
        if (r[i].keyword == kw && r[i].verdict == Verdict::accepted) return &r[i];
    return nullptr;
}

const ParseRecord* Check::nth_accepted(int kw, std::size_t n) const {
    for (const ParseRecord& r : recs())
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

CheckResult check_run(const std::string& param_name, const std::string& trans_table) {
    return check_run_with(param_name, nullptr, trans_table);
}

CheckResult check_run(const std::string& param_name, SeriesCheck& series) {
    return check_run_with(param_name, &series, std::string());
}

CheckResult check_run_with(const std::string& param_name, SeriesCheck* series, const std::string& trans_table) {
    Check c;
    c.par = param_name;
    c.series = series;
    Status read = ok_status();
    if (series && series->param_text)
        read_param_text(param_name, *series->param_text, c.run.file);
    else
        read = read_param_file(param_name, c.run.file);
    if (read.code == Code::too_large) {
        c.error(0, std::string("the parameter file holds more than ") + pk::kInputLimitText +
                       ", the most an input file may hold");
    } else if (!read.ok()) {
        c.error(0, cannot_use("the parameter file", param_name));
    } else {
        try {
            if (series && series->cache) c.run.known_files = known_files(*series->cache);
            parse_file(c);
            line_warnings(c);
            missing_keywords(c);
            check_files(c);
            check_reduction(c);
            check_beam_centre(c);
            check_outputs(c);
            mask_warnings(c);
            if (!trans_table.empty()) check_trans(c, trans_table);
        } catch (const std::bad_alloc&) {
            c.error(0, "out of memory; the check cannot go on");
        }
    }
    if (series) {
        series->reduced = c.reduced;
        series->run = std::move(c.run);
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

}  // namespace pk
