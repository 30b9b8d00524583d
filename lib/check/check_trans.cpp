// pelkaro-check --trans: the parameter file against what pelkaro-trans
// measured on the direct-beam runs (its table, --format tsv): a sample or
// buffer transmission more than three standard deviations from the one
// measured for its file, a beam centre more than a pixel from the measured
// one, an absolute scale factor more than three standard deviations from the
// measured one.  A transmission in percent and a centre with x and y swapped
// are named as such.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "check_internal.h"
#include "keywords.h"
#include "pelkaro/files.h"
#include "pelkaro/trans.h"

namespace pk {

namespace {

constexpr const char* kHeader = "quantity\tfile\tvalue\tsigma\tdatafile";
// The header of a table that splits the uncertainties (SigmaShares).
constexpr const char* kSplitHeader =
    "quantity\tfile\tvalue\tsigma\tdatafile\tsigma_empty_beam\tsigma_dark_current\tsigma_own";
constexpr double kSigmas = 3.0;
constexpr double kMostCentreShift = 1.0;  // pixels

using Row = TransTableRow;
using Table = TransTable;

std::string where(const Table& t, const Row& r) { return quote(t.name) + " line " + std::to_string(r.line); }

std::vector<std::string> fields_of(const std::string& line) {
    std::vector<std::string> out(1);
    for (const char c : line) {
        if (c == '\t') out.emplace_back();
        else out.back().push_back(c);
    }
    return out;
}

bool finite_number(const std::string& text, double& v) {
    if (text.empty() || text.find_first_of(std::string(" \t\n\v\f\r\0", 7)) != std::string::npos) return false;
    char* end = nullptr;
    errno = 0;
    v = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && errno != ERANGE && std::isfinite(v);
}

// Reads the shares of a transmission's or ABSF's uncertainty from fields 5
// to 7; "" or why they cannot be used.  Three empty fields: none.
std::string read_shares(const std::vector<std::string>& f, Row& r) {
    if (f[5].empty() && f[6].empty() && f[7].empty()) return "";
    const char* const names[] = {"sigma_empty_beam", "sigma_dark_current", "sigma_own"};
    double* const to[] = {&r.shares.empty_beam, &r.shares.dark_current, &r.shares.own};
    double sum = 0.0;
    for (std::size_t k = 0; k < 3; ++k) {
        if (!finite_number(f[5 + k], *to[k]))
            return std::string("column ") + names[k] + ": " + quote(f[5 + k]) + " is not a number";
        if (std::fabs(*to[k]) > r.sigma * (1 + 1e-6))
            return std::string("column ") + names[k] + ": the share " + f[5 + k] + " is larger than the uncertainty " +
                   num(r.sigma);
        sum += *to[k] * *to[k];
    }
    if (r.shares.own < 0) return "column sigma_own: the share " + f[7] + " is negative";
    if (std::fabs(std::sqrt(sum) - r.sigma) > 1e-4 * r.sigma)
        return "the shares of the uncertainty in quadrature, " + num(std::sqrt(sum)) + ", are not its sigma " +
               num(r.sigma);
    r.split = true;
    return "";
}

// Reads one data line of a table with `columns` fields; "" or why it cannot
// be used.
std::string read_row(const std::string& line, std::size_t columns, Row& r) {
    const std::vector<std::string> f = fields_of(line);
    if (f.size() != columns)
        return "a row has " + std::to_string(columns) + " fields separated by tabs; this one has " +
               std::to_string(f.size());
    r.quantity = f[0];
    r.file = f[1];
    r.datafile = f[4];
    const bool known = r.quantity == "transmission" || r.quantity == "centre_x" || r.quantity == "centre_y" ||
                       r.quantity == "radius" || r.quantity == "absf";
    if (!known) return quote(r.quantity) + " is not a quantity pelkaro-trans measures";
    if (!finite_number(f[2], r.value)) return "the value " + quote(f[2]) + " is not a number";
    if (r.quantity == "radius") return "";
    if (!finite_number(f[3], r.sigma) || !(r.sigma > 0))
        return "the uncertainty " + quote(f[3]) + " is not a number above 0";
    if (columns == 5 || (r.quantity != "transmission" && r.quantity != "absf")) return "";
    return read_shares(f, r);
}

// A finding on the table: its line (0: the table as a whole) and words.
struct TableError {
    int line = 0;
    std::string text;
    Code code = Code::bad_contents;
};

// Reads the table into `t` (its name set): every error found, none when it
// can be used.
std::vector<TableError> table_errors(Table& t) {
    std::string text;
    const Status got = read_file(t.name, text);
    if (!got.ok())
        return {{0,
                 got.code == Code::too_large ? std::string("the table holds more than ") + kInputLimitText +
                                                   ", the most an input file may hold"
                                             : cannot_use("the transmission table", t.name),
                 got.code == Code::too_large ? Code::too_large : Code::cannot_read}};
    std::vector<TableError> errors;
    std::size_t from = 0, columns = 5;
    for (int line = 1; from < text.size(); ++line) {
        std::size_t end = text.find('\n', from);
        if (end == std::string::npos) end = text.size();
        std::string s = text.substr(from, end - from);
        from = end + 1;
        if (!s.empty() && s.back() == '\r') s.pop_back();
        if (line == 1 && s != kHeader && s != kSplitHeader)
            return {{1, "the first line is not the header of a pelkaro-trans table (" + quote(kSplitHeader) +
                            ", or " + quote(kHeader) + " of older versions): is it its --format tsv output?",
                     Code::bad_contents}};
        if (line == 1) columns = s == kHeader ? 5 : 8;
        Row r;
        r.line = line;
        const std::string why = line == 1 || s.empty() ? "" : read_row(s, columns, r);
        if (!why.empty()) errors.push_back({line, why, Code::bad_contents});
        else if (line > 1 && !s.empty()) t.rows.push_back(r);
    }
    if (text.empty()) errors.push_back({0, "the table is empty", Code::bad_contents});
    return errors;
}

// Reads the table; false (with the errors added) when it cannot be used.
bool read_table(Check& c, Table& t) {
    const std::vector<TableError> errors = table_errors(t);
    for (const TableError& e : errors) c.add(Severity::error, t.name, e.line, e.text);
    return errors.empty();
}

bool same_file(const std::string& a, const std::string& b) {
    if (a == b) return true;
    std::error_code ec;
    return !a.empty() && !b.empty() && std::filesystem::equivalent(a, b, ec) && !ec;
}

// A sample or buffer line's transmission against the measured one.
void compare_transmission(Check& c, const Table& t, const ParseRecord& rec, bool& matched) {
    const std::string name(c.run.file.name_of(rec));
    for (const Row& r : t.rows) {
        if (r.quantity != "transmission" || !same_file(r.datafile, name)) continue;
        matched = true;
        const double given = rec.values[3];
        TransAgreement a;
        if (!compare_transmission(given, Measured{r.value, r.sigma}, a).ok() || !a.disagrees) continue;
        const bool percent = a.percent;
        c.warning(rec.line, "the transmission " + num(given) + " of " + quote(name) + " is " +
                                pk::format("%.3g", a.sigmas) + " standard deviations from the " +
                                transmission_text(r.value, r.sigma, " +- ") + " measured on " + quote(r.file) +
                                " (" + where(t, r) + ")" + (percent ? "; is it in percent?" : ""));
    }
}

void compare_centre(Check& c, const Table& t) {
    const ParseRecord* rec = c.last_accepted(CNTR);
    const Row* x = t.last("centre_x");
    const Row* y = t.last("centre_y");
    if (!rec || rec->values.size() < 2 || !x || !y) return;
    const double gx = rec->values[0], gy = rec->values[1];
    const double off = std::hypot(gx - x->value, gy - y->value);
    if (!(off > kMostCentreShift)) return;
    const bool swapped = std::hypot(gy - x->value, gx - y->value) <= kMostCentreShift;
    c.warning(rec->line, "the beam centre (" + num(gx) + ", " + num(gy) + ") is " + pk::format("%.2f", off) +
                             " pixels from the one measured on " + quote(x->file) + ", " +
                             pk::format("CNTR %.3f %.3f", x->value, y->value) + " (" + where(t, *x) + ")" +
                             (swapped ? "; are x and y swapped?" : ""));
}

void compare_scale(Check& c, const Table& t) {
    const ParseRecord* rec = c.last_accepted(ABSF);
    const Row* r = t.last("absf");
    if (!rec || rec->values.empty() || !r) return;
    const double off = std::fabs(rec->values[0] - r->value) / r->sigma;
    if (!(off > kSigmas)) return;
    c.warning(rec->line, "the absolute scale factor " + num(rec->values[0]) + " is " + pk::format("%.3g", off) +
                             " standard deviations from the " + pk::format("%.6g +- %.2g", r->value, r->sigma) +
                             " measured on " + quote(r->file) + " (" + where(t, *r) + ")");
}

}  // namespace

const TransTableRow* TransTable::last(const char* quantity) const {
    const TransTableRow* found = nullptr;
    for (const TransTableRow& r : rows)
        if (r.quantity == quantity) found = &r;
    return found;
}

Status read_trans_table(const std::string& path, TransTable& out) {
    out = TransTable{};
    out.name = path;
    const std::vector<TableError> errors = table_errors(out);
    if (errors.empty()) return ok_status();
    out.rows.clear();
    Status st = failure(Stage::transmission, errors.front().code, errors.front().text);
    st.line = errors.front().line;
    return st;
}

void check_trans(Check& c, const std::string& table) {
    Table t;
    t.name = table;
    if (!read_table(c, t)) return;
    bool any = false, matched = false;
    for (const ParseRecord& rec : c.recs()) {
        if (rec.verdict != Verdict::accepted || (rec.keyword != DATS && rec.keyword != DATB)) continue;
        const bool used = rec.values.size() >= 4 && (rec.keyword == DATS || rec.values[0] != 0);
        if (!used) continue;
        any = true;
        compare_transmission(c, t, rec, matched);
    }
    compare_centre(c, t);
    compare_scale(c, t);
    if (any && !matched && t.last("transmission"))
        c.add(Severity::note, t.name, 0, "no sample or buffer line of " + quote(c.par) +
                                             " names a DATAFILE of the table, so no transmission was compared");
}

}  // namespace pk
