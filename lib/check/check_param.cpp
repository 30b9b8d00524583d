// pelkaro-check, the parameter file: Pelkaro's own parse, run again after
// each rejection with the rejected line left out, so that every line that
// would stop the run is found; each rejection is explained with the line's
// text and the rule it breaks.
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "check_internal.h"
#include "keywords.h"
#include "parse_in.h"

namespace pk {

namespace {

// How each keyword's numbers are read ("%f" or "%d"), in the table's order.
const char* const kKinds[kKeywordCount] = {"d", "ff", "ff", "f", "fff", "ff", "ffff", "ffff", "ff", "",
                                           "fd", "f", "d", "ff", "f"};

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

const char* ordinal(std::size_t i) {
    static const char* const kWords[] = {"first", "second", "third", "fourth"};
    return i < 4 ? kWords[i] : "next";
}

}  // namespace

std::size_t values_start(const Line& rec) {
    const std::string& s = rec.text;
    const std::size_t from = s.size() > 5 ? 5 : s.size();
    if (rec.keyword < 0 || kKeywordTable[rec.keyword].form != KwForm::file) return from;
    const std::size_t blank = s.find(' ', from);
    return blank == std::string::npos ? s.size() : blank;
}

std::vector<NumberSpan> number_spans(const Line& rec, std::size_t& need) {
    std::vector<NumberSpan> spans;
    need = 0;
    if (rec.keyword < 0) return spans;
    const char* kinds = kKinds[rec.keyword];
    need = std::strlen(kinds);
    const char* base = rec.text.c_str();
    const char* cur = base + values_start(rec);
    for (std::size_t i = 0; i < need; ++i) {
        NumberSpan sp;
        const char* start = cur;
        while (is_space(*start)) ++start;
        sp.from = static_cast<std::size_t>(start - base);
        float f = 0.0f;
        int32_t d = 0;
        sp.scan = kinds[i] == 'd' ? pk::scan_int(cur, d) : pk::scan_float(cur, f);
        sp.to = sp.scan == pk::Scan::missing ? sp.from : static_cast<std::size_t>(cur - base);
        spans.push_back(sp);
        if (sp.scan != pk::Scan::ok) break;
    }
    return spans;
}

std::string value_text(const std::string& piece, std::size_t from) {
    if (from >= piece.size()) return std::string();
    std::size_t a = from;
    std::size_t b = piece.size();
    while (a < b && is_space(piece[a])) ++a;
    while (b > a && is_space(piece[b - 1])) --b;
    return piece.substr(a, b - a);
}

bool glued(const std::string& piece) {
    if (piece.size() < 5) return false;
    const char c = piece[4];
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '+' || c == '-';
}

std::string tab_hint(const Line& rec) {
    return "a tab does not end a file name, only a blank does: the name " + quote(rec.name) +
           " absorbs the tab and what follows it, so the time is missing; put a blank after the name";
}

namespace {

std::string glue_hint(const Line& rec) {
    const char* name = kKeywordTable[rec.keyword].name;
    return std::string("the keyword is glued to its value and values are read from the sixth character, so ") +
           quote(rec.text.substr(4, 1)) + " is not read; put a blank after " + name;
}

// Why the numbers of a line could not be read.
std::string number_hint(const Line& rec, const std::vector<NumberSpan>& spans) {
    const std::string& s = rec.text;
    if (glued(s) && kKeywordTable[rec.keyword].form == KwForm::numbers) return glue_hint(rec);
    if (spans.empty()) return std::string();
    const NumberSpan& last = spans.back();
    const std::size_t i = spans.size() - 1;
    if (last.scan == pk::Scan::bad)
        return quote(s.substr(last.from, last.to - last.from)) + " is not a finite number within the range of a float";
    const std::size_t at = last.from;
    if (at < s.size() && s[at] == ',') {
        if (i == 0) return "a comma stands where the first number should be";
        return std::string("the comma ends the ") + ordinal(i - 1) + " number";
    }
    if (at >= s.size() || s[at] == '\n')
        return i == 0 ? "no number" : std::string("the ") + ordinal(i) + " number is missing";
    std::size_t end = at;
    while (end < s.size() && !is_space(s[end])) ++end;
    return quote(s.substr(at, end - at)) + " is not a number";
}

std::string needs(const Line& rec, const char* what) {
    return std::string(kKeywordTable[rec.keyword].name) + " needs " + what + "; found ";
}

std::string found(const std::string& text) { return text.empty() ? std::string("nothing") : quote(text); }

std::string explain_numbers(const Line& rec) {
    const Keyword& k = kKeywordTable[rec.keyword];
    std::size_t need = 0;
    const std::vector<NumberSpan> spans = number_spans(rec, need);
    const std::string text = value_text(rec.text, 5);
    const bool read = spans.size() == need && spans.back().scan == pk::Scan::ok;
    if (!read) {
        const std::string hint = number_hint(rec, spans);
        return needs(rec, k.reads) + found(text) + (hint.empty() ? "" : ": " + hint);
    }
    std::string out = needs(rec, k.rule) + found(text);
    if (glued(rec.text)) out += ": " + glue_hint(rec);
    return out;
}

std::string explain_file_numbers(const Line& rec) {
    const Keyword& k = kKeywordTable[rec.keyword];
    const std::string text = value_text(rec.text, 5);
    if (rec.name.find('\t') != std::string::npos) return needs(rec, k.reads) + found(text) + ": " + tab_hint(rec);
    if (rec.name.empty() && rec.text.size() > 5 && rec.text[5] == ' ')
        return needs(rec, k.reads) + found(text) + ": the file name is empty (a second blank follows " + k.name + ")";
    std::size_t need = 0;
    const std::vector<NumberSpan> spans = number_spans(rec, need);
    if (rec.keyword == DATS && !spans.empty() && spans[0].scan == pk::Scan::ok && !rec.values.empty() &&
        rec.values[0] == 0)
        return "DATS: the counting time is 0; a sample needs a counting time other than 0";
    std::string out = needs(rec, k.reads) + found(text);
    if (glued(rec.text)) return out + ": the keyword is glued to the file name (the name is read from the sixth "
                                      "character); put a blank after " + k.name;
    const std::string hint = number_hint(rec, spans);
    return out + (hint.empty() ? "" : ": " + hint);
}

// Hints for a file name that does not name what the user meant.
std::string name_hints(const Line& rec) {
    std::string out;
    const std::string& name = rec.name;
    if (name.find('\t') != std::string::npos)
        out += "; a tab does not end a file name, only a blank does, so the name absorbed the tab and what follows it";
    if (glued(rec.text)) out += "; the keyword is glued to the name, which is read from the sixth character";
    if (rec.keyword == SENS) {
        const std::string blanks = trailing_blanks(name);
        if (!blanks.empty()) out += "; the name " + blanks;
        else if (name.find(' ') != std::string::npos)
            out += "; everything after the flag is the name, blanks and comments included";
    }
    return out;
}

std::string explain_missing(const Line& rec) {
    return cannot_use(std::string("the ") + role_of(rec.keyword), rec.name) + name_hints(rec);
}

std::string explain(const Line& rec) {
    const Keyword& k = kKeywordTable[rec.keyword];
    const Code code = rec.rejection.code;
    if (code == Code::line_too_long)
        return std::string(k.name) + ": the line is longer than 510 characters; Pelkaro reads it in pieces of 510 and "
                                     "this piece ends inside what " + k.name + " reads";
    if (code == Code::cannot_read) return explain_missing(rec);
    if (code == Code::bad_count) return std::string(k.name) + ": " + stage_text(rec.rejection);
    if (k.form == KwForm::numbers) return explain_numbers(rec);
    if (k.form == KwForm::file) return explain_file_numbers(rec);
    return std::string(k.name) + ": " + stage_text(rec.rejection);
}

constexpr std::size_t kMaxRejections = 50;

// One parse of the pieces as they stand, console silenced, as Pelkaro
// counts and parses them: the run set up anew around its parameter file.
Status parse_again(Run& run) {
    ParamFile file = std::move(run.file);
    std::vector<std::string> known = std::move(run.known_files);
    run = Run{};
    run.file = std::move(file);
    run.known_files = std::move(known);
    const EntryCount n = count_entries(run.file);
    run.p.sams = static_cast<int32_t>(n.samples);
    run.p.bufs = static_cast<int32_t>(n.buffers);
    run.sam.resize(static_cast<std::size_t>(n.samples));
    run.buf.resize(static_cast<std::size_t>(n.buffers));
    const Console quiet{nullptr, nullptr};
    return parse_in(run.file, run.p, run.sam, run.buf, run.dark, run.sens, run.mask, run.log, quiet, nullptr,
                    &run.known_files);
}

void note_entries(Check& c, bool& counted_ok) {
    const EntryCount n = count_entries(c.pf());
    c.no_samples = n.samples == 0;
    c.no_buffers = n.buffers == 0;
    counted_ok = n.samples > 0 && n.buffers > 0;
}

// A rejected piece, left out of the parses after it: its record and the
// length of its text.
struct Rejection {
    ParseRecord rec;
    uint16_t length = 0;
};

// The records of every piece: the last parse's, a record of no keyword
// where the parse stopped before the piece, the rejections where pieces
// were left out (their texts given back).
void collect_records(Check& c, std::vector<Rejection>& rejections) {
    ParamFile& pf = c.run.file;
    std::vector<ParseRecord>& recs = c.run.log.records;
    const std::size_t n = pf.pieces.size();
    c.rejected.assign(n, false);
    for (std::size_t i = recs.size(); i < n; ++i) {
        recs.emplace_back();
        recs.back().line = pf.pieces[i].line;
        recs.back().piece = i;
    }
    for (Rejection& r : rejections) {
        const std::size_t i = r.rec.piece;
        pf.pieces[i].length = r.length;
        recs[i] = std::move(r.rec);
        c.rejected[i] = true;
    }
}

}  // namespace

Line with_text(const Check& c, const ParseRecord& rec) {
    return Line{rec, std::string(c.pf().text_of(rec)), std::string(c.pf().name_of(rec)), Status{}};
}

void parse_file(Check& c) {
    bool counted_ok = false;
    note_entries(c, counted_ok);
    const Console quiet{nullptr, nullptr};
    Status rc = counted_ok ? prepare_run(c.run, quiet) : parse_again(c.run);
    std::vector<Rejection> rejections;
    while (!rc.ok()) {
        const std::vector<ParseRecord>& log = c.run.log.records;
        if (log.empty() || log.back().verdict != Verdict::rejected) {
            c.error(0, "Pelkaro cannot parse this file");
            break;
        }
        const std::size_t idx = log.back().piece;
        rejections.push_back({log.back(), c.run.file.pieces[idx].length});
        Line rejected = with_text(c, log.back());
        rejected.rejection = c.run.log.rejection;
        c.error(rejected.line, explain(rejected));
        if (rejections.size() >= kMaxRejections) {
            c.error(0, "too many rejected lines; the rest of the file is not checked");
            break;
        }
        c.run.file.pieces[idx].length = 0;
        rc = parse_again(c.run);
    }
    c.parsed = counted_ok && rejections.empty() && rc.ok();
    collect_records(c, rejections);
}

}  // namespace pk
