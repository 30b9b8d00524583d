// DIR/summary.csv: one line per row, in the table's order, with what the
// report needs, so that the summaries of several shards can be joined.
#include <cstdlib>
#include <string>
#include <vector>

#include "batch.h"
#include "pelkaro/files.h"

namespace pk {

namespace {

constexpr const char* kHeader = "row,name,status,warnings,error,outputs,i_lowest_q,points,warning_text\n";
// With --formats aniso (a row with an orientation), six columns more.
constexpr const char* kHeaderWithOrientation =
    "row,name,status,warnings,error,outputs,i_lowest_q,points,warning_text,phi0,phi0_dev,order,order_dev,hermans,"
    "hermans_dev\n";
constexpr std::size_t kOrientationColumns = 6;

// The warnings in one field: one per line, a line feed written "\n" and a
// backslash "\\".
std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) out += "\\n";
        for (char c : lines[i]) {
            if (c == '\\') out += "\\\\";
            else if (c == '\n') out += "\\n";
            else out += c;
        }
    }
    return out;
}

std::vector<std::string> unjoined(const std::string& s) {
    std::vector<std::string> lines;
    if (s.empty()) return lines;
    std::string cur;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == 'n') {
            lines.push_back(cur);
            cur.clear();
            ++i;
        } else if (s[i] == '\\' && i + 1 < s.size()) {
            cur += s[++i];
        } else {
            cur += s[i];
        }
    }
    lines.push_back(cur);
    return lines;
}

std::string words(const std::vector<std::string>& v) {
    std::string out;
    for (const std::string& s : v) out += (out.empty() ? "" : " ") + s;
    return out;
}

std::vector<std::string> split_words(const std::string& s) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at < s.size()) {
        std::size_t sp = s.find(' ', at);
        if (sp == std::string::npos) sp = s.size();
        if (sp > at) out.push_back(s.substr(at, sp - at));
        at = sp + 1;
    }
    return out;
}

// --formats aniso: phi0 (degrees), the order parameter and Hermans' <P2>,
// each with its uncertainty; empty fields without them.
std::string orientation_fields(const RowResult& r) {
    if (r.state != RowState::ok || !r.has_orientation) return ",,,,,";
    const Orientation& o = r.orientation;
    return pk::format("%.6g,%.3g,%.6g,%.3g,%.6g,%.3g", o.phi0, o.phi0_dev, o.order, o.order_dev, o.hermans,
                      o.hermans_dev);
}

std::string summary_line(const RowResult& r, bool orientation) {
    const bool curve = r.state == RowState::ok && r.has_curve;
    return std::to_string(r.index) + "," + csv_field(r.name) + "," + csv_field(state_name(r.state)) + "," +
           std::to_string(r.warnings.size()) + "," + csv_field(r.error) + "," + csv_field(words(r.outputs)) + "," +
           (curve && r.points > 0 ? pk::format("%.9g", r.i_low_q) : std::string()) + "," +
           (curve ? std::to_string(r.points) : std::string()) + "," + csv_field(joined(r.warnings)) +
           (orientation ? "," + orientation_fields(r) : std::string()) + "\n";
}

}  // namespace

std::string csv_field(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos && (s.empty() || (s.front() != ' ' && s.back() != ' ')))
        return s;
    std::string out = "\"";
    for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string summary_name(int shard_k, int shard_n) {
    return shard_n <= 1 ? "summary.csv" : pk::format("summary.%d-of-%d.csv", shard_k, shard_n);
}

bool write_summary(const std::string& path, const std::vector<RowResult>& rows, std::string& why) {
    bool orientation = false;
    for (const RowResult& r : rows) orientation = orientation || r.has_orientation;
    std::string text = orientation ? kHeaderWithOrientation : kHeader;
    for (const RowResult& r : rows) text += summary_line(r, orientation);
    pk::AtomicFile out;
    if (!pk::atomic_open(path, out) ||
        !pk::atomic_finish(out, std::fwrite(text.data(), 1, text.size(), out.f) == text.size())) {
        why = "cannot write " + path;
        return false;
    }
    return true;
}

namespace {

// The orientation's fields, all numbers or all empty.
bool orientation_of(const std::vector<std::string>& f, RowResult& r) {
    double v[kOrientationColumns];
    for (std::size_t k = 0; k < kOrientationColumns; ++k) {
        const std::string& s = f[9 + k];
        char* end = nullptr;
        v[k] = std::strtod(s.c_str(), &end);
        if (s.empty() != f[9].empty() || (!s.empty() && *end != '\0')) return false;
    }
    r.has_orientation = !f[9].empty();
    if (r.has_orientation) r.orientation = Orientation{v[0], v[1], v[2], v[3], v[4], v[5], 0, 0, 0};
    return true;
}

bool row_of(const std::vector<std::string>& f, RowResult& r) {
    if (f.size() != 9 && f.size() != 9 + kOrientationColumns) return false;
    if (f.size() > 9 && !orientation_of(f, r)) return false;
    char* end = nullptr;
    const long index = std::strtol(f[0].c_str(), &end, 10);
    if (f[0].empty() || *end != '\0' || index < 0 || index > 100000000) return false;
    r.index = static_cast<int>(index);
    r.name = f[1];
    if (f[2] == "ok") r.state = RowState::ok;
    else if (f[2] == "refused") r.state = RowState::refused;
    else if (f[2] == "failed") r.state = RowState::failed;
    else if (f[2] == "not done") r.state = RowState::not_done;
    else return false;
    r.error = f[4];
    r.outputs = split_words(f[5]);
    r.has_curve = !f[7].empty();
    r.i_low_q = f[6].empty() ? 0 : std::strtod(f[6].c_str(), nullptr);
    r.points = f[7].empty() ? 0 : static_cast<int>(std::strtol(f[7].c_str(), nullptr, 10) % 100000);
    r.warnings = unjoined(f[8]);
    return safe_name(r.name);
}

}  // namespace

bool read_summary(const std::string& path, std::vector<RowResult>& rows, std::string& why) {
    std::string text;
    if (!pk::read_file(path, text).ok()) {
        why = path + ": error: cannot read the summary";
        return false;
    }
    std::size_t pos = std::string(kHeaderWithOrientation).size();
    if (text.compare(0, pos, kHeaderWithOrientation) != 0) {
        pos = std::string(kHeader).size();
        if (text.compare(0, pos, kHeader) != 0) {
            why = path + ":1: error: not a summary of " + kBatchProgram + " (its header differs)";
            return false;
        }
    }
    int line = 2;
    std::vector<std::string> fields;
    while (pos < text.size()) {
        const int start = line;
        RowResult r;
        if (!csv_split(text, pos, fields, line, why) || !row_of(fields, r)) {
            why = path + ":" + std::to_string(start) + ": error: a malformed summary line" +
                  (why.empty() ? "" : " (" + why + ")");
            return false;
        }
        const std::size_t slash = path.rfind('/');
        r.dir = slash == std::string::npos ? "." : path.substr(0, slash);
        rows.push_back(std::move(r));
    }
    return true;
}

}  // namespace pk
