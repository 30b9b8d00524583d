// The parameter file's keywords: one row per keyword with everything the
// program knows of it, used by the parser, the run driver and the checker.
#ifndef PELKARO_KEYWORDS_H
#define PELKARO_KEYWORDS_H

#include "pelkaro/Pelkaro.h"

namespace pk {


// How a keyword line is read.
enum class KwForm {
    numbers,  // numbers only, into the parameter record
    file,     // a file name, then the counting time and other numbers
    sens,     // the solid-angle flag, then a file name up to the line end
};

// Which runs cannot do without the keyword.
enum class Need { none, reduction, average };

class Numbers;

struct Keyword {
    const char* name;
    KwForm form;
    Need need;
    const char* reads;   // what the line holds, in words
    const char* rule;    // the check its values must pass, in words ("" when none)
    // Numbers lines only: the rejection (the diagnostic's label, "" for
    // none, and its reason), how the values are read into the record,
    // whether they are acceptable, what happens to them once accepted (may
    // be null), and the report of the accepted values.
    const char* reject_label;
    const char* reject;
    void (*read)(Numbers& n, Param& p);
    bool (*valid)(const Param& p);
    void (*accept)(Param& p);
    void (*report)(const Param& p, const Console& con);
};

extern const Keyword kKeywordTable[];  // kKeywordCount rows, one per Kw

// The keyword a piece of the parameter file begins with, or -1.
int keyword_of(std::string_view piece);

}  // namespace pk

#endif
