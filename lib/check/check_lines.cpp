// pelkaro-check, the parameter lines that Pelkaro accepts or ignores without
// a word although they do not say what the user meant: near-miss keywords,
// keywords glued to their values or hidden in the continuation of a long
// line, repeated keywords, decimal commas, tabs and blanks in file names, and
// values that are legal but physically suspicious.
#include <cctype>
#include <map>
#include <string>
#include <vector>

#include "check_internal.h"
#include "keywords.h"

namespace pk {

namespace {

std::string upper(std::string s) {
    for (char& ch : s) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return s;
}

std::string one_of(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += i + 1 == names.size() ? " or " : ", ";
        out += names[i];
    }
    return out;
}

// A line that is not a keyword line but looks like one.
void near_miss(Check& c, const Line& rec) {
    const std::string& t = rec.text;
    if (t.empty() || t[0] == '#' || keyword_of(t) >= 0) return;
    std::size_t i = 0;
    while (i < t.size() && (t[i] == ' ' || t[i] == '\t')) ++i;
    std::size_t j = i;
    while (j < t.size() && std::isalnum(static_cast<unsigned char>(t[j]))) ++j;
    const std::string word = t.substr(i, j - i);
    if (word.size() < 3 || word.size() > 5) return;
    const std::string up = upper(word);
    for (int kw = 0; kw < kKeywordCount; ++kw) {
        const Keyword& k = kKeywordTable[kw];
        if (up != k.name) continue;
        if (c.lookalike[static_cast<std::size_t>(kw)] == 0) c.lookalike[static_cast<std::size_t>(kw)] = rec.line;
        if (word == k.name)
            c.warning(rec.line, std::string("the line begins with a blank before ") + k.name +
                                    ", so it is not read as a keyword and is ignored; start the line with " + k.name);
        else
            c.warning(rec.line, quote(word) + " is not a keyword (keywords are upper case), so this line is ignored; "
                                "did you mean " + k.name + "?" + (i > 0 ? " (at the start of the line)" : ""));
        return;
    }
    if (word != up) return;
    std::vector<std::string> close;
    for (int kw = 0; kw < kKeywordCount; ++kw) {
        if (!one_edit_apart(up, kKeywordTable[kw].name)) continue;
        close.emplace_back(kKeywordTable[kw].name);
        if (c.lookalike[static_cast<std::size_t>(kw)] == 0) c.lookalike[static_cast<std::size_t>(kw)] = rec.line;
    }
    if (close.empty()) return;
    c.warning(rec.line,
              quote(word) + " is not a keyword, so this line is ignored; did you mean " + one_of(close) + "?");
}

// A keyword at the start of a piece that continues a line longer than 510
// characters.
void in_long_line(Check& c, std::size_t idx, const ParseRecord& rec) {
    std::size_t before = 0;
    while (before < idx && c.pf().pieces[idx - 1 - before].line == rec.line) ++before;
    const char* name = kKeywordTable[rec.keyword].name;
    c.warning(rec.line, "the line is longer than 510 characters and Pelkaro reads it in pieces of 510: the piece from "
                        "character " + std::to_string(before * kPieceLimit + 1) + " begins with " + name +
                        " and is read as a keyword line" + (c.rejected[idx] ? "" : ", which takes effect"));
}

std::string values_of(const ParseRecord& rec) {
    std::string out;
    for (const double v : rec.values) out += (out.empty() ? "" : " ") + num(v);
    return out;
}

void glued_accepted(Check& c, const Line& rec) {
    const Keyword& k = kKeywordTable[rec.keyword];
    std::string what;
    if (k.form == KwForm::numbers)
        what = "values are read from the sixth character, so this line sets " + values_of(rec);
    else if (k.form == KwForm::file)
        what = "the name is read from the sixth character, so the file is " + quote(rec.name);
    else
        what = "the flag is read from the sixth character and the name from the eighth, so the flag is " +
                quote(rec.text.substr(5, 1)) + " and the file " + quote(rec.name);
    c.warning(rec.line, quote(value_text(rec.text, 0)) + ": the keyword is glued to what follows; " + what +
                            "; put a blank after " + k.name);
}

// "16,99243" reads as 16: the comma ends the last number of the line.
void decimal_comma(Check& c, const Line& rec) {
    std::size_t need = 0;
    const std::vector<NumberSpan> spans = number_spans(rec, need);
    if (need == 0 || spans.size() != need || spans.back().scan != pk::Scan::ok) return;
    const std::string& s = rec.text;
    const NumberSpan& last = spans.back();
    if (last.to + 1 >= s.size() || s[last.to] != ',' || !std::isdigit(static_cast<unsigned char>(s[last.to + 1])))
        return;
    std::size_t end = last.to + 1;
    while (end < s.size() && std::isdigit(static_cast<unsigned char>(s[end]))) ++end;
    std::string meant = s.substr(last.from, end - last.from);
    const std::string token = meant;
    meant[last.to - last.from] = '.';
    c.warning(rec.line, quote(token) + " is read as " + s.substr(last.from, last.to - last.from) +
                            ": a comma ends a number; write decimals with a point (" + meant + ")");
}

void sens_blanks(Check& c, const Line& rec) {
    const std::string blanks = trailing_blanks(rec.name);
    if (!blanks.empty()) c.warning(rec.line, "the sensitivity file name " + quote(rec.name) + " " + blanks);
}

void mask_unused(Check& c, const Line& rec) {
    if (rec.values.size() < 2 || rec.values[0] == 0 || rec.values[1] == 1) return;
    c.warning(rec.line, "MASK names the file " + quote(rec.name) + " but its last number is " + num(rec.values[1]) +
                            ", not 1, so the file is not used and the internal mask is; the console still reports "
                            "\"The mask file is " + shown(rec.name) + "\"");
}

// Legal values that are most likely not what the user meant.
void suspicious(Check& c, const ParseRecord& rec) {
    const LineValues& v = rec.values;
    const bool entry = rec.keyword == DATS || (rec.keyword == DATB && !v.empty() && v[0] != 0);
    if (entry && v.size() >= 4 && !(v[3] > 0 && v[3] <= 1))
        c.warning(rec.line, "the transmission " + num(v[3]) + " lies outside (0, 1]" +
                                (v[3] > 1 ? "; is it given in percent?" : ""));
    if (rec.keyword == WAVE && v.size() >= 2 && v[1] >= 1)
        c.warning(rec.line, "the wavelength spread " + num(v[1]) + " is 1 or more: it is relative (0.1 means 10 %)");
    if (rec.keyword == CNTR && v.size() >= 2 && !(v[0] >= 0 && v[0] <= kDetSide && v[1] >= 0 && v[1] <= kDetSide))
        c.warning(rec.line, "the beam centre (" + num(v[0]) + ", " + num(v[1]) +
                                ") lies outside the detector, which spans 0 to 128 pixels along x and y");
}

void accepted_line(Check& c, const Line& rec, std::map<int, int>& first_line) {
    const int kw = rec.keyword;
    if (glued(rec.text)) glued_accepted(c, rec);
    if (kw != DATS && kw != DATB) {
        const auto seen = first_line.find(kw);
        if (seen != first_line.end())
            c.warning(rec.line, std::string(kKeywordTable[kw].name) + " is given again (first on line " +
                                    std::to_string(seen->second) + "); the last one wins");
        else first_line[kw] = rec.line;
    }
    decimal_comma(c, rec);
    if (kKeywordTable[kw].form == KwForm::file && rec.name.find('\t') != std::string::npos)
        c.error(rec.line, std::string(kKeywordTable[kw].name) + ": " + tab_hint(rec));
    if (kw == SENS) sens_blanks(c, rec);
    if (kw == MASK) mask_unused(c, rec);
    suspicious(c, rec);
}

std::string like(const Check& c, int kw) {
    const int line = c.lookalike[static_cast<std::size_t>(kw)];
    return line == 0 ? std::string() : "; line " + std::to_string(line) + " looks like one but is ignored";
}

}  // namespace

void line_warnings(Check& c) {
    std::map<int, int> first_line;
    for (std::size_t i = 0; i < c.recs().size(); ++i) {
        const ParseRecord& rec = c.recs()[i];
        const bool continuation = i > 0 && c.pf().pieces[i - 1].line == rec.line;
        if (rec.keyword < 0) {
            if (!continuation) near_miss(c, with_text(c, rec));
            continue;
        }
        if (continuation) in_long_line(c, i, rec);
        if (!c.rejected[i] && rec.verdict == Verdict::accepted) accepted_line(c, with_text(c, rec), first_line);
    }
}

void missing_keywords(Check& c) {
    if (c.no_samples)
        c.error(0, "there is no DATS line: Pelkaro needs at least one sample line (DATS) in every run mode" +
                       like(c, DATS));
    if (c.no_buffers)
        c.error(0, "there is no DATB line: Pelkaro needs at least one buffer line (DATB) in every run mode; a line "
                   "with time 0, such as \"DATB none 0 0 1 1\", is never read" + like(c, DATB));
    if (c.run.p.mode != 0) return;
    std::vector<bool> present(kKeywordCount, false);
    for (const ParseRecord& rec : c.recs())
        if (rec.keyword >= 0) present[static_cast<std::size_t>(rec.keyword)] = true;
    const bool averaging = c.run.p.average == 1 || c.run.p.average == 2;
    for (const Need need : {Need::reduction, Need::average}) {
        if (need == Need::average && !averaging) break;
        for (int k = 0; k < kKeywordCount; ++k) {
            if (kKeywordTable[k].need != need || present[static_cast<std::size_t>(k)]) continue;
            c.error(0, std::string("there is no ") + kKeywordTable[k].name + " line, which " +
                           (need == Need::reduction ? "a data reduction" : "the azimuthal average (AVGM 1 or 2)") +
                           " needs: " + kKeywordTable[k].reads + like(c, k));
        }
    }
}

}  // namespace pk
