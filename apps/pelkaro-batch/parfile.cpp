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
    int first = 0;
    for (const ParamPiece& pc : pf.pieces) {
        if (line.empty()) first = pc.line;
        line += pf.text_of(pc);
        if (pc.cut) continue;
        if (starts(line, "DATS")) {
            ++base.dats_lines;
            base.dats_line_numbers.push_back(pc.line);
        } else {
            const std::string f = named_file(line);
            if (!f.empty()) base.inputs.push_back(f);
            base.lines.push_back(line);
            base.line_numbers.push_back(first);
        }
        line.clear();
    }
    if (!line.empty()) {
        base.lines.push_back(line);
        base.line_numbers.push_back(first);
    }
    return true;
}

namespace {

std::string value(double v) { return format("%.9g", v); }

// Adds one line of text (ending it) and its source.
void add(RowParFile& f, const std::string& line, ParSource from) {
    f.text += line;
    if (f.text.empty() || f.text.back() != '\n') f.text += '\n';
    f.lines.push_back(std::move(from));
}

// The base's lines, its buffer lines left out where the row has its own,
// its CNTR and ABSF replaced by measured ones (added where it has none).
void base_lines(RowParFile& f, const BaseFile& base, const TableRow& row, const RowMeasured& m) {
    const bool tsv = !m.trans_table.empty();
    const ParSource centre_from = tsv ? ParSource{m.trans_table, m.centre_line, ""} : ParSource{m.empty_beam, 0, ""};
    const ParSource absf_from = tsv ? ParSource{m.trans_table, m.absf_line, ""} : ParSource{m.empty_beam, 0, ""};
    const std::string cntr = "CNTR " + value(m.centre_x) + " " + value(m.centre_y);
    const std::string absf = "ABSF " + value(m.absf_value);
    bool centre_put = false, absf_put = false;
    for (std::size_t i = 0; i < base.lines.size(); ++i) {
        const std::string& l = base.lines[i];
        if (!row.buffers.empty() && starts(l, "DATB")) continue;
        if (m.centre && starts(l, "CNTR")) {
            if (!centre_put) add(f, cntr, centre_from);
            centre_put = true;
        } else if (m.absf && starts(l, "ABSF")) {
            if (!absf_put) add(f, absf, absf_from);
            absf_put = true;
        } else {
            add(f, l, ParSource{base.path, i < base.line_numbers.size() ? base.line_numbers[i] : 0, ""});
        }
    }
    if (m.centre && !centre_put) add(f, cntr, centre_from);
    if (m.absf && !absf_put) add(f, absf, absf_from);
}

}  // namespace

RowParFile row_param_file(const BaseFile& base, const TableRow& row, const std::string& table_path,
                          const RowMeasured& m) {
    RowParFile f;
    base_lines(f, base, row, m);
    add(f, "# " + std::string(kBatchProgram) + ": row " + row.name + " of " + comment_text(table_path) + " (line " +
               std::to_string(row.line) + "), configuration from " + comment_text(base.path),
        ParSource{});
    if (!row.title.empty()) add(f, "# title: " + comment_text(row.title), ParSource{});
    // The direct-beam runs the row's transmissions were measured on.
    for (const auto& beam : {std::make_pair("sample_beam", &row.sample_beam), std::make_pair("buffer_beam", &row.buffer_beam)})
        if (!beam.second->file.empty())
            add(f, std::string("# ") + beam.first + ": " + comment_text(beam.second->file) + "," +
                       value(beam.second->time) + "," + value(beam.second->monitor),
                ParSource{});
    const std::string t = m.sample ? value(m.sample_t) : row.transmission;
    // A transmission from pelkaro-trans's table stands in no column of the row.
    const bool tsv = !m.trans_table.empty();
    const ParSource sample{table_path, row.line,
                           std::string("sample, time, monitor, thickness") +
                               (m.sample ? (tsv ? "" : ", sample_beam") : ", transmission")};
    for (const std::string& s : row.samples)
        add(f, "DATS " + s + " " + row.time + " " + row.monitor + " " + row.thickness + " " + t, sample);
    ParSource buffer{table_path, row.line, "buffer, buffer_time"};
    for (const char* c : {"buffer_monitor", "buffer_thickness"}) buffer.columns += std::string(", ") + c;
    buffer.columns += m.buffer ? (tsv ? "" : ", buffer_beam") : ", buffer_transmission";
    for (const std::string& b : row.buffers) {
        std::string l = "DATB " + b + " " + row.buffer_time;
        const std::string bt = m.buffer ? value(m.buffer_t) : row.buffer_transmission;
        for (const std::string* v : {&row.buffer_monitor, &row.buffer_thickness, &bt})
            if (!v->empty()) l += " " + *v;
        add(f, l, buffer);
    }
    return f;
}

std::string row_param_text(const BaseFile& base, const TableRow& row, const std::string& table_path) {
    return row_param_file(base, row, table_path).text;
}

}  // namespace pk
