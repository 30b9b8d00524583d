// pelkaro-check: the command line, the report and the exit status; the
// checks themselves are the library's (check_run).
#include "app.h"
#include "check_cli.h"

#include <cstdio>
#include <string>
#include <vector>

#include "pelkaro/check.h"

namespace pk {

namespace {

const char* const kUsage = "usage: pelkaro-check [--strict] [--trans TRANS.tsv] PARAMFILE\n";

const char* const kHelp =
    "usage: pelkaro-check [--strict] [--trans TRANS.tsv] PARAMFILE\n"
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
    "  --trans TRANS.tsv  also compare the transmissions, CNTR and ABSF with those\n"
    "             pelkaro-trans measured (its --format tsv table)\n"
    "  --help     print this text and exit\n"
    "  --version  print the version and exit\n"
    "\n"
    "Exit status: 0 nothing would stop the run (warnings allowed), 1 something\n"
    "would, 2 a wrong command line.\n"
    "The manual: man pelkaro-check, or docs/programs.md (\"Check a run before you reduce\").\n";

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
    std::fprintf(out, "%s, %s%s\n", counted_as(r.errors, "error", "errors").c_str(),
                 counted_as(r.warnings, "warning", "warnings").c_str(),
                 strict && r.warnings > 0 ? " (--strict: warnings count as errors)" : "");
}

}  // namespace

int check_main(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
    bool strict = false;
    bool options = true;
    std::string trans;
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
        } else if (options && (a == "--trans" || a.compare(0, 8, "--trans=") == 0)) {
            if (a == "--trans" && i + 1 == argc) return usage_error(err, "--trans needs a file name");
            trans = a == "--trans" ? argv[++i] : a.substr(8);
            if (trans.empty()) return usage_error(err, "--trans needs a file name");
        } else if (options && a.size() > 1 && a[0] == '-') {
            return usage_error(err, "unknown option " + quoted(a));
        } else {
            files.push_back(a);
        }
    }
    if (files.size() != 1)
        return usage_error(err, files.empty() ? "no parameter file given" : "more than one parameter file given");
    const CheckResult r = check_run(files[0], trans);
    print_result(r, strict, out);
    std::fflush(out);
    return r.errors > 0 || (strict && r.warnings > 0) ? 1 : 0;
}


}  // namespace pk
