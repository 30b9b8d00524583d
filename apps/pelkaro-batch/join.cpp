// --report DIR...: the summaries of several shards (or runs) joined into one
// summary.csv and report.html.
#include <dirent.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "batch.h"
#include "pelkaro/files.h"

namespace pk {

namespace {

// The summaries of a directory: its shards' (summary.K-of-N.csv) where
// there are any, else summary.csv.
std::vector<std::string> summaries_in(const std::string& dir) {
    std::vector<std::string> found;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            const std::string n = e->d_name;
            int k = 0, total = 0, used = 0;
            if (std::sscanf(n.c_str(), "summary.%d-of-%d.csv%n", &k, &total, &used) == 2 &&
                static_cast<std::size_t>(used) == n.size())
                found.push_back(dir + "/" + n);
        }
        ::closedir(d);
    }
    std::sort(found.begin(), found.end());
    if (found.empty()) found.push_back(dir + "/summary.csv");
    return found;
}

// Outputs named from the joined summary's directory: as they are where it
// is the shard's directory (however either is spelt), else the path from
// it to them (absolute where there is none).
void relocate(RowResult& r, const std::string& out_dir) {
    if (pk::same_file(r.dir, out_dir)) return;
    namespace fs = std::filesystem;
    for (std::string& o : r.outputs) {
        std::error_code ec;
        const fs::path file = fs::path(r.dir) / o;
        fs::path rel = fs::relative(file, out_dir, ec);
        if (ec || rel.empty()) rel = fs::absolute(file, ec);
        if (!ec && !rel.empty()) o = rel.string();
    }
}

}  // namespace

namespace {

// The threads of the report: -j, else the number of processors.
int report_jobs(const BatchOptions& opt) {
    return opt.jobs > 0 ? opt.jobs : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

}  // namespace

int run_report(const BatchOptions& opt) {
    std::vector<RowResult> rows;
    std::string why;
    for (const std::string& dir : opt.report_dirs)
        for (const std::string& s : summaries_in(dir))
            if (!read_summary(s, rows, why)) {
                std::fprintf(stderr, "%s\n", why.c_str());
                return 2;
            }
    std::stable_sort(rows.begin(), rows.end(), [](const RowResult& a, const RowResult& b) { return a.index < b.index; });
    std::set<std::string> names;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!names.insert(rows[i].name).second || (i > 0 && rows[i].index == rows[i - 1].index)) {
            std::fprintf(stderr, "%s: error: the row %d (%s) is in more than one summary\n", kBatchProgram,
                         rows[i].index, rows[i].name.c_str());
            return 2;
        }
    }
    const std::string out = opt.out_dir.empty() ? opt.report_dirs.front() : opt.out_dir;
    if (!output_directory(out, why)) {
        std::fprintf(stderr, "%s: error: %s\n", kBatchProgram, why.c_str());
        return 2;
    }
    std::vector<RowResult> joined = rows;
    for (RowResult& r : joined) relocate(r, out);
    if (!write_summary(out + "/summary.csv", joined, why) || !write_report(out + "/report.html", joined, ReportInfo{out, {}, false}, report_jobs(opt), why)) {
        std::fprintf(stderr, "%s: error: %s\n", kBatchProgram, why.c_str());
        return 1;
    }
    const bool all_ok =
        std::all_of(rows.begin(), rows.end(), [](const RowResult& r) { return r.state == RowState::ok; });
    std::fprintf(stderr, "%s: joined %zu rows into %s/summary.csv and %s/report.html\n", kBatchProgram, rows.size(),
                 out.c_str(), out.c_str());
    return all_ok ? 0 : 1;
}

}  // namespace pk
