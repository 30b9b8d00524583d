// The sample table: a CSV file (RFC 4180 quoting, comment lines starting
// with "#", blank lines) with a header naming its columns, then one row per
// reduction.  Every row is checked before anything is reduced.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "app.h"
#include "batch.h"
#include "pelkaro/files.h"
#include "pelkaro/check.h"
#include "pelkaro/nxcansas.h"

namespace pk {

namespace {

bool blank(char c) { return c == ' ' || c == '\t'; }

std::string trimmed(const std::string& s) {
    std::size_t a = 0, b = s.size();
    while (a < b && blank(s[a])) ++a;
    while (b > a && blank(s[b - 1])) --b;
    return s.substr(a, b - a);
}

// One field so far: its text and whether it was quoted.
struct Field {
    std::string text;
    bool quoted = false;
    bool closed = false;  // the closing quote has been read
    std::string value() const { return quoted ? text : trimmed(text); }
};

// A character outside quotes; false with `why` on a malformed field.
bool plain_char(char c, Field& f, std::string& why) {
    if (f.closed) {
        if (blank(c)) return true;
        why = "text after the closing quote of a field";
        return false;
    }
    if (c == '"') {
        if (!trimmed(f.text).empty()) {
            why = "a quote inside a field that does not start with one";
            return false;
        }
        f.text.clear();
        f.quoted = true;
        return true;
    }
    f.text += c;
    return true;
}

}  // namespace

bool csv_split(const std::string& t, std::size_t& pos, std::vector<std::string>& fields, int& line,
               std::string& why) {
    fields.clear();
    Field f;
    bool in_quotes = false;
    while (pos < t.size()) {
        const char c = t[pos++];
        if (in_quotes) {
            if (c != '"') {
                if (c == '\n') ++line;
                f.text += c;
            } else if (pos < t.size() && t[pos] == '"') {
                f.text += '"';
                ++pos;
            } else {
                in_quotes = false;
                f.closed = true;
            }
        } else if (c == ',') {
            fields.push_back(f.value());
            f = Field{};
        } else if (c == '\n' || (c == '\r' && pos < t.size() && t[pos] == '\n')) {
            if (c == '\r') ++pos;
            ++line;
            fields.push_back(f.value());
            return true;
        } else {
            if (!plain_char(c, f, why)) return false;
            in_quotes = f.quoted && !f.closed;
        }
    }
    if (in_quotes) {
        why = "a quoted field is not closed before the end of the file";
        return false;
    }
    fields.push_back(f.value());
    return true;
}

bool safe_name(const std::string& name) {
    if (name.empty() || name.size() > 200 || name[0] == '.' || name[0] == '-') return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
               c == '-';
    });
}

namespace {

enum Col { kName, kSample, kTime, kMonitor, kThickness, kTransmission, kBuffer, kBufferTime, kBufferMonitor,
           kBufferThickness, kBufferTransmission, kTitle, kSampleBeam, kBufferBeam, kTransmissionDev,
           kBufferTransmissionDev, kAbsfDev, kColumns };
const char* const kColumnNames[kColumns] = {"name",           "sample",           "time",
                                            "monitor",        "thickness",        "transmission",
                                            "buffer",         "buffer_time",      "buffer_monitor",
                                            "buffer_thickness", "buffer_transmission", "title",
                                            "sample_beam",    "buffer_beam",      "transmission_dev",
                                            "buffer_transmission_dev", "absf_dev"};
constexpr int kRequired = kTransmission + 1;  // name to transmission
constexpr int kMostRows = 1000000;

struct Reader {
    const std::string& path;
    std::vector<std::string>& errors;
    std::vector<int> column = std::vector<int>(kColumns, -1);  // field of each column, -1 absent
    std::map<std::string, int> names;                           // name -> line

    Reader(const std::string& p, std::vector<std::string>& e) : path(p), errors(e) {}

    void error(int line, const std::string& text) {
        errors.push_back(path + ":" + std::to_string(line) + ": error: " + text);
    }
    bool header(int line, const std::vector<std::string>& fields);
    void name(int line, const std::string& name);
    void beams(int line, const std::vector<std::string>& fields, TableRow& r);
    void deviations(int line, const TableRow& r);
    void row(int line, int index, const std::vector<std::string>& fields, Table& table);
    std::string get(const std::vector<std::string>& fields, int col) const {
        return column[col] < 0 ? std::string() : fields[static_cast<std::size_t>(column[col])];
    }
};

bool Reader::header(int line, const std::vector<std::string>& fields) {
    std::vector<std::string> unknown;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const auto at = std::find(kColumnNames, kColumnNames + kColumns, fields[i]);
        if (at == kColumnNames + kColumns) {
            unknown.push_back(quoted_value(fields[i]));
        } else if (column[at - kColumnNames] >= 0) {
            error(line, "the column " + quoted(fields[i]) + " is named twice");
        } else {
            column[at - kColumnNames] = static_cast<int>(i);
        }
    }
    if (!unknown.empty()) {
        std::string list;
        for (const std::string& u : unknown) list += (list.empty() ? "" : ", ") + u;
        error(line, std::string(unknown.size() == 1 ? "unknown column " : "unknown columns ") + list +
                        "; the columns are name, sample, time, monitor, thickness, transmission, buffer, "
                        "buffer_time, buffer_monitor, buffer_thickness, buffer_transmission, title, sample_beam, "
                        "buffer_beam, transmission_dev, buffer_transmission_dev and absf_dev");
    }
    // A measured transmission stands for a typed one.
    for (int c = 0; c < kRequired; ++c)
        if (column[c] < 0 && !(c == kTransmission && column[kSampleBeam] >= 0))
            error(line, std::string("the table has no column ") + quoted(kColumnNames[c]));
    for (int c : {kBufferTime, kBufferMonitor, kBufferThickness, kBufferTransmission, kBufferBeam,
                  kBufferTransmissionDev})
        if (column[c] >= 0 && column[kBuffer] < 0)
            error(line, std::string("the column ") + quoted(kColumnNames[c]) + " needs a column \"buffer\"");
    return errors.empty();
}

// A number as the parameter file reads it: all of the field (no blank or
// control character in it), finite and within the float range.
bool number_ok(const std::string& text) {
    const bool printable = std::all_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) > 0x20 && c != 0x7f;
    });
    const char* s = text.c_str();
    float v = 0;
    return !text.empty() && printable && pk::scan_float(s, v) == pk::Scan::ok && *s == '\0';
}

bool zero(const std::string& text) {
    const char* s = text.c_str();
    float v = 1;
    return pk::scan_float(s, v) == pk::Scan::ok && v == 0;
}

// What keeps a file name off a parameter line (empty when nothing does):
// a blank or control character, or more than 400 bytes.
std::string file_name_problem(const std::string& what, const std::string& name) {
    constexpr std::size_t kMostBytes = 400;
    const std::string named = "the " + what + " file name " + quoted_value(name);
    if (name.size() > kMostBytes)
        return named + " is too long: " + std::to_string(name.size()) + " bytes, more than the " +
               std::to_string(kMostBytes) + " a parameter line can carry";
    if (name.empty() || std::any_of(name.begin(), name.end(), [](char c) {
            return c == ' ' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
        }))
        return named + " is empty or holds a blank or control character, which a parameter line cannot carry";
    return "";
}

std::vector<std::string> split_files(const std::string& field) {
    std::vector<std::string> out;
    std::size_t at = 0;
    for (;;) {
        const std::size_t semi = field.find(';', at);
        out.push_back(trimmed(field.substr(at, semi == std::string::npos ? std::string::npos : semi - at)));
        if (semi == std::string::npos) return out;
        at = semi + 1;
    }
}

}  // namespace

bool parse_beam(const std::string& text, BeamRun& run, std::string& why) {
    run = BeamRun{};
    std::vector<std::string> f(1);
    for (const char c : text) {
        if (c == ',') f.emplace_back();
        else f.back().push_back(c);
    }
    for (std::string& v : f) v = trimmed(v);
    const std::string said = quoted_value(text);
    if (f.size() != 3) return why = said + " is not FILE,TIME,MONITOR", false;
    const char* const what[] = {"counting time", "monitor count"};
    for (int k = 1; k <= 2; ++k) {
        const std::string& t = f[static_cast<std::size_t>(k)];
        const double v = number_ok(t) ? std::strtod(t.c_str(), nullptr) : 0.0;
        if (!(v > 0))
            return why = said + ": the " + what[k - 1] + " " + quoted_value(t) +
                         " is not a number above 0",
                   false;
        (k == 1 ? run.time : run.monitor) = v;
    }
    const std::string problem = file_name_problem("direct-beam", f[0]);
    if (!problem.empty()) return why = said + ": " + problem, false;
    run.file = f[0];
    return true;
}

namespace {

void Reader::name(int line, const std::string& name) {
    if (!safe_name(name)) {
        error(line, name.empty() ? "the row has no name"
                                 : "the name " + quoted_value(name) +
                                       " is not a safe file name (letters, digits, \".\", \"_\" and \"-\", at "
                                       "most 200, not starting with \".\" or \"-\")");
    } else if (!names.emplace(name, line).second) {
        error(line, "the name " + quoted_value(name) + " is taken by the row on line " + std::to_string(names[name]) +
                        ": both would write the same files");
    }
}

// The direct-beam runs of the row: "FILE,TIME,MONITOR" in one field.
void Reader::beams(int line, const std::vector<std::string>& fields, TableRow& r) {
    const std::string sample = get(fields, kSampleBeam), buffer = get(fields, kBufferBeam);
    std::string why;
    if (!sample.empty() && !parse_beam(sample, r.sample_beam, why))
        error(line, "the sample_beam " + why);
    if (!buffer.empty() && r.buffers.empty())
        error(line, "the buffer_beam is given without a buffer file");
    else if (!buffer.empty() && !parse_beam(buffer, r.buffer_beam, why))
        error(line, "the buffer_beam " + why);
}

void Reader::row(int line, int index, const std::vector<std::string>& fields, Table& table) {
    TableRow r;
    r.line = line;
    r.index = index;
    r.name = get(fields, kName);
    name(line, r.name);
    const struct {
        Col col;
        std::string* target;
    } numbers[] = {{kTime, &r.time},
                   {kMonitor, &r.monitor},
                   {kThickness, &r.thickness},
                   {kTransmission, &r.transmission},
                   {kBufferTime, &r.buffer_time},
                   {kBufferMonitor, &r.buffer_monitor},
                   {kBufferThickness, &r.buffer_thickness},
                   {kBufferTransmission, &r.buffer_transmission},
                   {kTransmissionDev, &r.transmission_dev},
                   {kBufferTransmissionDev, &r.buffer_transmission_dev},
                   {kAbsfDev, &r.absf_dev}};
    for (const auto& n : numbers) *n.target = get(fields, n.col);
    r.title = get(fields, kTitle);
    r.samples = split_files(get(fields, kSample));
    const std::string buffer = get(fields, kBuffer);
    if (!buffer.empty()) r.buffers = split_files(buffer);
    beams(line, fields, r);
    for (const auto* files : {&r.samples, &r.buffers})
        for (const std::string& f : *files) {
            const std::string problem = file_name_problem(files == &r.samples ? "sample" : "buffer", f);
            if (!problem.empty()) error(line, problem);
        }
    for (int i = 0; i < 4; ++i) {
        const std::string& v = *numbers[i].target;
        const bool measured = i == 3 && v.empty() && (!r.sample_beam.file.empty() || table.transmissions_elsewhere);
        if (!number_ok(v) && !measured)
            error(line, std::string("the ") + kColumnNames[numbers[i].col] + " " + quoted_value(v) +
                            " is not a finite number within the range of a float");
    }
    if (number_ok(r.time) && zero(r.time)) error(line, "the counting time is 0: there is no sample time");
    const bool buffer_zero = number_ok(r.buffer_time) && zero(r.buffer_time);
    for (int i = 4; i < 8; ++i) {
        const std::string& v = *numbers[i].target;
        const bool measured = i == 7 && v.empty() && (!r.buffer_beam.file.empty() || table.transmissions_elsewhere);
        if (r.buffers.empty()) {
            if (!v.empty())
                error(line, std::string("the ") + kColumnNames[numbers[i].col] + " is given without a buffer file");
        } else if (!number_ok(v) && !measured && !(buffer_zero && i > 4 && v.empty())) {
            error(line, std::string("the ") + kColumnNames[numbers[i].col] + " " + quoted_value(v) +
                            " is not a finite number within the range of a float");
        }
    }
    deviations(line, r);
    table.rows.push_back(std::move(r));
}

// The uncertainty columns: a number from 0 up, at most the transmission
// typed beside it (ABSF's and a measured one's are held to their values
// when the row is reduced).
void Reader::deviations(int line, const TableRow& r) {
    const struct {
        Col col;
        const std::string& dev;
        const std::string& value;
    } devs[] = {{kTransmissionDev, r.transmission_dev, r.transmission},
                {kBufferTransmissionDev, r.buffer_transmission_dev, r.buffer_transmission},
                {kAbsfDev, r.absf_dev, r.absf_dev}};
    for (const auto& d : devs) {
        if (d.dev.empty()) continue;
        const std::string column = std::string("column ") + kColumnNames[d.col] + ": ";
        if (!number_ok(d.dev)) {
            error(line, column + "the uncertainty " + quoted_value(d.dev) + " is not a finite number");
            continue;
        }
        const double v = std::strtod(d.dev.c_str(), nullptr);
        const double of = d.col == kAbsfDev || !number_ok(d.value) ? v : std::strtod(d.value.c_str(), nullptr);
        const std::string fault = uncertainty_fault(of, v);
        if (!fault.empty()) error(line, column + fault);
    }
}

// A line that is blank or a comment ("#" its first character that is not a blank).
bool skipped_line(const std::string& text, std::size_t pos) {
    while (pos < text.size() && blank(text[pos])) ++pos;
    return pos >= text.size() || text[pos] == '\n' || text[pos] == '#' ||
           (text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n');
}

}  // namespace

bool parse_table(const std::string& path, const std::string& text, Table& table, std::vector<std::string>& errors) {
    Reader rd(path, errors);
    table.rows.clear();
    std::size_t pos = 0;
    int line = 1;
    bool have_header = false;
    int index = 0;
    std::vector<std::string> fields;
    while (pos < text.size()) {
        if (skipped_line(text, pos)) {
            const std::size_t nl = text.find('\n', pos);
            pos = nl == std::string::npos ? text.size() : nl + 1;
            ++line;
            continue;
        }
        const int start = line;
        std::string why;
        if (!csv_split(text, pos, fields, line, why)) {
            rd.error(start, why);
            return false;
        }
        if (!have_header) {
            have_header = true;
            if (!rd.header(start, fields)) return false;
            continue;
        }
        if (fields.size() != static_cast<std::size_t>(std::count_if(
                                 rd.column.begin(), rd.column.end(), [](int c) { return c >= 0; }))) {
            rd.error(start, "the row has " + std::to_string(fields.size()) + " fields, the header " +
                                std::to_string(std::count_if(rd.column.begin(), rd.column.end(),
                                                             [](int c) { return c >= 0; })));
            continue;
        }
        if (index == kMostRows) {
            rd.error(start, "the table has more than " + std::to_string(kMostRows) +
                                " rows; split it into several tables");
            return false;
        }
        rd.row(start, index++, fields, table);
    }
    if (!have_header) rd.error(line, "the table has no header line");
    else if (errors.empty() && table.rows.empty() && !table.rows_may_follow) rd.error(line, "the table has no rows");
    return errors.empty();
}

bool read_table(const std::string& path, Table& table, std::vector<std::string>& errors) {
    std::string text;
    const pk::Status r = pk::read_file(path, text);
    if (!r.ok()) {
        errors.push_back(path + ": error: " +
                         (r.code == pk::Code::too_large ? std::string("the table holds more than ") + pk::kInputLimitText
                                                    : std::string("cannot read the table (missing, not a regular "
                                                                  "file, or unreadable)")));
        return false;
    }
    // Under --follow a last row without its line end may still be being
    // written: it is left for a later look (the header is taken as it is).
    if (table.rows_may_follow && !text.empty() && text.back() != '\n' && text.rfind('\n') != std::string::npos)
        text.erase(text.rfind('\n') + 1);
    return parse_table(path, text, table, errors);
}

}  // namespace pk
