// The files a run writes, held against the files it reads before anything
// is written: no output (a row's files, the summary, the report) may
// replace an input (the base, the table, the files the base and the rows
// name), whatever names lead to them.
#include "outputs.h"

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <unordered_set>
#include <utility>

#include "app.h"
#include "pelkaro/files.h"

namespace pk {

namespace {

// The extensions of a row's files after its parameter file.
const char* const kRowExts[] = {".d1d", ".d2d", ".h5", ".d1d.png", ".d2d.png"};

using FileId = std::pair<dev_t, ino_t>;

bool file_id(const std::string& path, FileId& id) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    id = FileId{st.st_dev, st.st_ino};
    return true;
}

// Every file that any row reads, by device and inode: the base, the table,
// the files the base names and the rows' samples and buffers.
std::map<FileId, std::string> input_files(const BatchJob& job) {
    std::map<FileId, std::string> ids;
    const auto add = [&ids](const std::vector<std::string>& names) {
        for (const std::string& n : names) {
            FileId id{};
            if (file_id(n, id)) ids.emplace(id, n);
        }
    };
    add({job.base.path, job.opt.table});
    add(job.base.inputs);
    for (const TableRow& row : job.table.rows) {
        add(row.samples);
        add(row.buffers);
    }
    return ids;
}

// The names in directory `dir` (none when it does not exist yet); false
// where it cannot be listed.
bool names_in(const std::string& dir, std::unordered_set<std::string>& names) {
    std::error_code ec;
    if (!std::filesystem::exists(dir, ec)) return !ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        names.insert(it->path().filename().string());
    return !ec;
}

std::string replaced_input(const BatchJob& job, const std::string& out, const TableRow* row,
                           const std::string& input) {
    if (row)
        return job.opt.table + ":" + std::to_string(row->line) + ": error: the output " + out + " of row " +
               quoted(row->name) + " is the input file " + input + "; choose another output directory or name";
    return std::string(kBatchProgram) + ": error: the output " + out + " is the input file " + input +
           "; choose another output directory";
}

}  // namespace

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
    const std::map<FileId, std::string> inputs = input_files(job);
    // The outputs present, from one listing of the directory: a table of
    // thousands of rows costs no look-up of files that are not there.
    std::unordered_set<std::string> present;
    const bool listed = names_in(job.opt.out_dir, present);
    std::vector<std::string> errors;
    for_each_output(job, [&](const std::string& name, const TableRow* row) {
        if (listed && present.count(name) == 0) return;
        const std::string out = job.opt.out_dir + "/" + name;
        FileId id{};
        const auto in = file_id(out, id) ? inputs.find(id) : inputs.end();
        if (in != inputs.end()) errors.push_back(replaced_input(job, out, row, in->second));
    });
    return errors;
}

}  // namespace pk
