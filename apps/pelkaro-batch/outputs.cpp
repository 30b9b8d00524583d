// The files a run writes, held against the files it reads before anything
// is written: no output (a row's files, the summary, the report) may
// replace an input (the base, the table, the files the base and the rows
// name), whatever names lead to them.  And the temporaries that killed
// runs left beside this run's outputs.
#include "outputs.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <unordered_set>
#include <utility>

#include "app.h"
#include "pelkaro/files.h"

namespace pk {

namespace {

// The extensions of a row's files after its parameter file.
const char* const kRowExts[] = {".d1d", ".d2d", ".h5", ".d1d.png", ".d2d.png", ".image.png", ".aniso.txt"};

// Every file that any row reads, by device and inode: the base, the table,
// the files the base names, the rows' samples and buffers and the
// direct-beam runs (the empty beam and each row's).
std::map<FileId, std::string> input_files(const BatchJob& job) {
    std::map<FileId, std::string> ids;
    std::unordered_set<std::string> seen;  // rows name the same files again and again: each looked up once
    const auto add = [&ids, &seen](const std::vector<std::string>& names) {
        for (const std::string& n : names) {
            if (!seen.insert(n).second) continue;
            if (const std::optional<FileId> id = file_id(n)) ids.emplace(*id, n);
        }
    };
    add({job.base.path, job.opt.table});
    add(job.base.inputs);
    add({job.opt.empty_beam.file});
    for (const TableRow& row : job.table.rows) {
        add(row.samples);
        add(row.buffers);
        add({row.sample_beam.file, row.buffer_beam.file});
    }
    return ids;
}

std::string replaced_input(const BatchJob& job, const std::string& out, const TableRow* row,
                           const std::string& input) {
    if (row)
        return job.opt.table + ":" + std::to_string(row->line) + ": error: the output " + out + " of row " +
               quoted_value(row->name) + " is the input file " + input + "; choose another output directory or name";
    return std::string(kBatchProgram) + ": error: the output " + out + " is the input file " + input +
           "; choose another output directory";
}

}  // namespace

bool names_in(const std::string& dir, std::unordered_set<std::string>& names) {
    std::error_code ec;
    if (!std::filesystem::exists(dir, ec)) return !ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        names.insert(it->path().filename().string());
    return !ec;
}

std::vector<std::string> row_output_names(const std::string& row_name) {
    std::vector<std::string> names{row_name + ".par"};
    for (const char* ext : kRowExts) names.push_back(row_name + ext);
    return names;
}

void for_each_output(const BatchJob& job,
                     const std::function<void(const std::string& name, const TableRow* row)>& visit) {
    for (const TableRow& row : job.table.rows)
        for (const std::string& name : row_output_names(row.name)) visit(name, &row);
    visit(summary_name(job.opt.shard_k, job.opt.shard_n), nullptr);
    if (job.opt.shard_n == 1) visit("report.html", nullptr);
}

std::vector<std::string> overwrite_errors(const BatchJob& job) {
    // The outputs present, from one listing of the directory: a table of
    // thousands of rows costs no look-up of files that are not there, and
    // a new or empty directory none of the inputs either.
    std::unordered_set<std::string> present;
    const bool listed = names_in(job.opt.out_dir, present);
    std::vector<std::string> errors;
    if (listed && present.empty()) return errors;
    const std::map<FileId, std::string> inputs = input_files(job);
    for_each_output(job, [&](const std::string& name, const TableRow* row) {
        if (listed && present.count(name) == 0) return;
        const std::string out = job.opt.out_dir + "/" + name;
        const std::optional<FileId> id = file_id(out);
        const auto in = id ? inputs.find(*id) : inputs.end();
        if (in != inputs.end()) errors.push_back(replaced_input(job, out, row, in->second));
    });
    return errors;
}

std::size_t remove_stale_temporaries(const BatchJob& job) {
    const std::int64_t start =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    // The temporaries in the directory first: there are seldom any, and
    // then the outputs' names need not be gathered.
    std::unordered_set<std::string> present;
    if (!names_in(job.opt.out_dir, present)) return 0;
    std::vector<std::pair<std::string, std::string>> temporaries;  // (file, its target)
    for (const std::string& n : present) {
        std::string target = temporary_target(n);
        if (!target.empty()) temporaries.emplace_back(n, std::move(target));
    }
    if (temporaries.empty()) return 0;
    std::unordered_set<std::string> targets;  // as a temporary's name keeps them
    for_each_output(job,
                    [&targets](const std::string& name, const TableRow*) { targets.insert(name.substr(0, 240)); });
    std::size_t removed = 0;
    for (const auto& t : temporaries)
        if (targets.count(t.second) && remove_stale_temporary(job.opt.out_dir + "/" + t.first, start)) ++removed;
    return removed;
}

}  // namespace pk
