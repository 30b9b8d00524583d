// The parameter file of a row: the base's lines (the instrument
// configuration) without its sample lines, and without its buffer lines
// where the row names its own buffer, then the row's sample and buffer lines.
#include <string>
#include <vector>

#include "batch.h"

namespace pk {

namespace {

bool starts(const std::string& s, const char* word) { return s.compare(0, 4, word) == 0; }

// The file a DATB, DATD or MASK line names: from the sixth character to the
// first blank; a SENS line's: from the eighth character to the line end.
std::string named_file(const std::string& line) {
    std::string body = line;
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.pop_back();
    if (starts(body, "SENS")) return body.size() > 7 ? body.substr(7) : std::string();
    if (!starts(body, "DATB") && !starts(body, "DATD") && !starts(body, "MASK")) return std::string();
    if (body.size() <= 5) return std::string();
    const std::size_t blank = body.find(' ', 5);
    return body.substr(5, blank == std::string::npos ? std::string::npos : blank - 5);
}

// A title as a comment's text: one line of printable characters.
std::string comment_text(const std::string& s) {
    std::string out;
    for (char c : s) out += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
    return out;
}

}  // namespace

bool read_base(const std::string& path, BaseFile& base, std::string& why) {
    ParamFile pf;
    const Status r = read_param_file(path, pf);
    if (!r.ok()) {
        why = r.code == Code::too_large ? "the base parameter file is larger than any input file may be"
                      : "cannot read the base parameter file (missing, not a regular file, or unreadable)";
        return false;
    }
    base = BaseFile{};
    base.path = path;
    std::string line;
    for (const ParamPiece& pc : pf.pieces) {
        line += pf.text_of(pc);
        if (pc.cut) continue;
        if (starts(line, "DATS")) {
            ++base.dats_lines;
            base.dats_line_numbers.push_back(pc.line);
        } else {
            const std::string f = named_file(line);
            if (!f.empty()) base.inputs.push_back(f);
            base.lines.push_back(line);
        }
        line.clear();
    }
    if (!line.empty()) base.lines.push_back(line);
    return true;
}

std::string row_param_text(const BaseFile& base, const TableRow& row, const std::string& table_path) {
    std::string text;
    for (const std::string& l : base.lines) {
        if (!row.buffers.empty() && starts(l, "DATB")) continue;
        text += l;
    }
    if (!text.empty() && text.back() != '\n') text += '\n';
    text += "# " + std::string(kBatchProgram) + ": row " + row.name + " of " + comment_text(table_path) +
            " (line " + std::to_string(row.line) + "), configuration from " + comment_text(base.path) + "\n";
    if (!row.title.empty()) text += "# title: " + comment_text(row.title) + "\n";
    for (const std::string& s : row.samples)
        text += "DATS " + s + " " + row.time + " " + row.monitor + " " + row.thickness + " " + row.transmission + "\n";
    for (const std::string& b : row.buffers) {
        text += "DATB " + b + " " + row.buffer_time;
        for (const std::string* v : {&row.buffer_monitor, &row.buffer_thickness, &row.buffer_transmission})
            if (!v->empty()) text += " " + *v;
        text += "\n";
    }
    return text;
}

}  // namespace pk
