// pelkaro-merge: the command line and the messages; the reading of the
// curves (each in a process of its own), the join and the file are the
// library's (pelkaro/merge.h).
#include "app.h"
#include "merge_cli.h"

#include <cmath>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "pelkaro/nxcansas.h"

namespace pk {

namespace {

constexpr const char* kMergeProgram = "pelkaro-merge";

}  // namespace

std::string merge_usage_text() {
    return format(
        "Usage: %s [-o OUT.h5] [--reference FILE] [--scale fit|none] [--overlap average|trim]\n"
        "                     [--q-min Q] [--q-max Q] [--title TEXT] A.h5 B.h5 [C.h5 ...]\n"
        "\n"
        "Joins the 1D curves of NXcanSAS files of one sample measured at several detector distances\n"
        "and wavelengths into one curve, written as one NXcanSAS file.\n"
        "\n"
        "  -o OUT.h5            the file to write; default: beside the first input, its name up to\n"
        "                       the first \".\" with _merged.h5\n"
        "  --reference FILE     the curve kept on its own scale (one of the inputs); default: the\n"
        "                       one with the lowest Q\n"
        "  --scale fit|none     fit: each other curve multiplied by a factor fitted over its overlap\n"
        "                       with the curves joined before it, outward from the reference, the\n"
        "                       better-resolved side smeared to the other's resolution (default);\n"
        "                       none: joined as they are\n"
        "  --overlap average|trim  average: every point of both curves kept in an overlap (default);\n"
        "                       trim: at each Q only the curve with the finest resolution there\n"
        "  --title TEXT         the entry's title; default: the inputs' title where they agree, else\n"
        "                       their names joined by \" + \"\n"
        "  --q-min Q, --q-max Q  drop the points below / above Q (1/angstrom)\n"
        "  --help, --version\n"
        "\n"
        "One line per input file on standard output: its Q range, distance, wavelength, scale factor\n"
        "with its uncertainty and the overlap.  Exit status: 0 written, 1 an input cannot be used (the\n"
        "message names it; nothing written), 2 wrong command line.\n",
        kMergeProgram);
}

namespace {

bool positive_number(const std::string& name, const std::string& text, double& v, std::string& why) {
    char* end = nullptr;
    v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !std::isfinite(v) || !(v > 0))
        return why = name + " needs a finite positive Q in 1/angstrom, not '" + text + "'", false;
    return true;
}

// The valued options' texts once read.
struct Texts {
    std::string scale, overlap, qmin, qmax, title;
};

MergeCli read_option(int argc, const char* const* argv, int& i, MergeArgs& args, Texts& t, std::string& why) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") return MergeCli::help;
    if (a == "--version") return MergeCli::version;
    struct Valued {
        const char* name;
        std::string* target;
    } valued[] = {{"-o", &args.out},        {"--reference", &args.reference}, {"--scale", &t.scale},
                  {"--overlap", &t.overlap}, {"--q-min", &t.qmin},            {"--q-max", &t.qmax},
                  {"--title", &t.title}};
    for (const Valued& v : valued) {
        bool matched = false;
        if (!option_value(argc, argv, i, v.name, *v.target, matched, why, true)) return MergeCli::bad;
        if (matched && v.target == &t.title) args.opt.title_given = true;
        if (matched) return MergeCli::run;
    }
    why = "unknown option '" + a + "'";
    return MergeCli::bad;
}

bool apply_texts(const Texts& t, MergeOptions& opt, std::string& why) {
    if (!t.scale.empty() && t.scale != "fit" && t.scale != "none")
        return why = "--scale is fit or none, not '" + t.scale + "'", false;
    if (!t.overlap.empty() && t.overlap != "average" && t.overlap != "trim")
        return why = "--overlap is average or trim, not '" + t.overlap + "'", false;
    opt.scale = t.scale != "none";
    opt.trim = t.overlap == "trim";
    opt.title = t.title;
    if (!t.qmin.empty() && !positive_number("--q-min", t.qmin, opt.q_min, why)) return false;
    if (!t.qmax.empty() && !positive_number("--q-max", t.qmax, opt.q_max, why)) return false;
    if (!(opt.q_min < opt.q_max)) return why = "--q-min must be below --q-max", false;
    return true;
}

// The rules the file names must follow among themselves.
bool check_names(MergeArgs& args, std::string& why) {
    Status st = check_merge_inputs(args.inputs);
    if (st.ok() && args.out.empty()) args.out = merged_output(args.inputs[0]);
    if (st.ok()) st = output_not_input(args.inputs, args.out);
    if (st.ok() && !args.reference.empty()) st = reference_index(args.inputs, args.reference, args.opt.reference);
    why = st.reason;
    return st.ok();
}

}  // namespace

MergeCli parse_merge_args(int argc, const char* const* argv, MergeArgs& args, std::string& why) {
    Texts t;
    bool options_end = false;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        if (!options_end && a == "--") {
            options_end = true;
        } else if (!options_end && a.size() > 1 && a[0] == '-') {
            const MergeCli c = read_option(argc, argv, i, args, t, why);
            if (c != MergeCli::run) return c;
        } else {
            args.inputs.push_back(a);
        }
    }
    if (!apply_texts(t, args.opt, why) || !check_names(args, why)) return MergeCli::bad;
    return MergeCli::run;
}

namespace {

void error(std::FILE* err, const std::string& file, const std::string& why) {
    std::fprintf(err, "%s: %s%serror: %s\n", kMergeProgram, file.c_str(), file.empty() ? "" : ": ", why.c_str());
}

// The input a refusal concerns (its entry), or none.
std::string input_of(const MergeArgs& args, const Status& st) {
    return st.entry >= 0 ? args.inputs.at(static_cast<std::size_t>(st.entry)) : std::string();
}

int run(const MergeArgs& args, std::FILE* out, std::FILE* err) {
    std::vector<MergeCurve> curves;
    Status st = read_curves(args.inputs, curves);
    if (!st.ok()) return error(err, input_of(args, st), st.reason), 1;
    MergeResult r;
    st = merge_curves(curves, args.opt, r);
    if (!st.ok()) return error(err, input_of(args, st), st.reason), 1;
    st = write_merged(curves, r, args.opt, args.out);
    if (!st.ok()) return error(err, args.out, st.reason), 1;
    for (std::size_t k = 0; k < curves.size(); ++k) std::fprintf(out, "%s\n", merge_line(curves[k], r.inputs[k]).c_str());
    std::fprintf(out, "%s: %zu points written to %s\n", kMergeProgram, r.q.size(), args.out.c_str());
    return 0;
}

}  // namespace

int merge_main(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
    try {
        MergeArgs args;
        std::string why;
        switch (parse_merge_args(argc > 0 ? argc - 1 : 0, argv + (argc > 0 ? 1 : 0), args, why)) {
        case MergeCli::help: return std::fputs(merge_usage_text().c_str(), out), 0;
        case MergeCli::version: return std::fprintf(out, "%s %s\n", kMergeProgram, PELKARO_VERSION), 0;
        case MergeCli::bad:
            error(err, "", why);
            std::fprintf(err, "Try '%s --help'.\n", kMergeProgram);
            return 2;
        case MergeCli::run: break;
        }
        return run(args, out, err);
    } catch (const std::bad_alloc&) {
        error(err, "", "out of memory");
    } catch (const std::exception& e) {
        error(err, "", e.what());
    }
    return 1;
}

}  // namespace pk
