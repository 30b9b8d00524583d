// The parameter file: a counting pre-pass over the sample and buffer lines,
// then the parse proper, which fills the parameter record and the names and
// header values of every image, validates each value and reports it.
//
// The file is read once, in pieces of at most 510 characters (a longer line
// is several pieces, each handled like a line of its own); a piece whose
// first four characters are a keyword is a keyword line, anything else is
// ignored.
#include "parse_in.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "pelkaro/Pelkaro.h"
#include "numbers.h"
#include "pelkaro/files.h"
#include "keywords.h"

namespace pk {

// Reads the numbers of one line, one conversion after another, remembering
// whether all were there and finite and whether the last one touched the end
// of the piece (a cut line may have lost the rest of it).  Every number read
// is kept for the parse record.
class Numbers {
public:
    Numbers(const std::string& text, std::size_t from)
        : cur_(from <= text.size() ? text.c_str() + from : text.c_str() + text.size()),
          end_(text.c_str() + text.size()) {}

    bool f(float& out) {
        const pk::Scan r = pk::scan_float(cur_, out);
        if (r != pk::Scan::missing) read.push_back(out);
        return take(r);
    }
    bool d(int32_t& out) {
        const pk::Scan r = pk::scan_int(cur_, out);
        if (r == pk::Scan::ok) read.push_back(out);
        return take(r);
    }
    bool all_good() const { return good_; }
    bool touches_end() const { return cur_ == end_; }
    LineValues read;

private:
    bool take(pk::Scan r) {
        if (!good_) return false;
        if (r == pk::Scan::missing) {
            good_ = false;
            return false;
        }
        if (r == pk::Scan::bad) good_ = false;
        return good_;
    }
    const char* cur_;
    const char* end_;
    bool good_ = true;
};

namespace {

double dbl(float v) { return static_cast<double>(v); }

// Degrees to radians, in double from the stored degrees, rounded once.
float radians(float degrees) { return pk::to_float(dbl(degrees) * 3.141592653589793 / 180.0); }

void read_smrp(Numbers& n, Param& p) {
    float srcapp = 0.0f;
    float samapp = 0.0f;
    if (n.f(p.src2sam) && n.f(srcapp) && n.f(samapp)) {
        // Diameters in the file, radii in the record.
        p.srcapp = pk::to_float(dbl(srcapp) / 2.0);
        p.samapp = pk::to_float(dbl(samapp) / 2.0);
    }
}

}  // namespace

const Keyword kKeywordTable[] = {
    {"MODE", KwForm::numbers, Need::none, "the run mode (0 reduce, 1 write the mask file, 2 measure the beam centre)",
     "0 <= mode <= 2", "parse_in", "the reduction mode specified is undefined",
     [](Numbers& n, Param& p) { n.d(p.mode); }, [](const Param& p) { return p.mode >= 0 && p.mode <= 2; }, nullptr,
     [](const Param& p, const Console& con) { pk::say(con, "The reduction mode is %d\n", p.mode); }},
    {"CNTR", KwForm::numbers, Need::reduction, "two numbers (beam centre x and y in pixels, 0 to 511)",
     "0 <= x <= 511 and 0 <= y <= 511", "parse_in", "the specified beam center is not on the detector",
     [](Numbers& n, Param& p) { n.f(p.bx), n.f(p.by); },
     [](const Param& p) { return p.bx >= 0 && p.bx <= 511.0f && p.by >= 0 && p.by <= 511.0f; }, nullptr,
     [](const Param& p, const Console& con) {
         pk::say(con, "The beam center is %f %f (pixels)\n", dbl(p.bx), dbl(p.by));
     }},
    {"PXSP", KwForm::numbers, Need::reduction, "two numbers (pixel spacing along x and y)", "both > 0", "parse_in",
     "the specified pixel spacing is unphysical", [](Numbers& n, Param& p) { n.f(p.px), n.f(p.py); },
     [](const Param& p) { return p.px > 0 && p.py > 0; }, nullptr,
     [](const Param& p, const Console& con) {
         pk::say(con, "The pixel spacing is %f %f (cm)\n", dbl(p.px), dbl(p.py));
     }},
    {"SM2D", KwForm::numbers, Need::reduction, "one number (sample-to-detector distance)", "distance > 0", "parse_in",
     "the specified sample-to-detector distance is not physically realistic",
     [](Numbers& n, Param& p) { n.f(p.sam2det); }, [](const Param& p) { return p.sam2det > 0; }, nullptr,
     [](const Param& p, const Console& con) {
         pk::say(con, "The sample-to-detector distance is %f (mm)\n", dbl(p.sam2det));
     }},
    {"SMRP", KwForm::numbers, Need::average,
     "three numbers (source-to-sample distance, source and sample aperture diameters)", "distance > 0", "parse_in",
     "the specified source-to-sample distance is not physically realistic", read_smrp,
     [](const Param& p) { return p.src2sam > 0; }, nullptr,
     [](const Param& p, const Console& con) {
         pk::say(con, "The smearing parameters are %f %f %f (mm)\n", dbl(p.src2sam), dbl(p.srcapp), dbl(p.samapp));
     }},
    {"WAVE", KwForm::numbers, Need::average, "two numbers (wavelength in angstrom and its relative spread)",
     "wavelength > 0", "parse_in", "the specified wavelength is unphysical",
     [](Numbers& n, Param& p) { n.f(p.wavelen), n.f(p.dwavelen); }, [](const Param& p) { return p.wavelen > 0; },
     nullptr,
     [](const Param& p, const Console& con) {
         pk::say(con, "The wavelength is %f (Angstroms) with a spread of %f\n", dbl(p.wavelen), dbl(p.dwavelen));
     }},
    {"DATS", KwForm::file, Need::none,
     "a file name and four numbers (counting time, monitor counts, thickness, transmission)", "time not 0", nullptr,
     nullptr, nullptr, nullptr, nullptr, nullptr},
    {"DATB", KwForm::file, Need::none,
     "a file name and four numbers (counting time, monitor counts, thickness, transmission)", "", nullptr, nullptr,
     nullptr, nullptr, nullptr, nullptr},
    {"DATD", KwForm::file, Need::none, "a file name and two numbers (counting time, monitor counts)", "", nullptr,
     nullptr, nullptr, nullptr, nullptr, nullptr},
    {"SENS", KwForm::sens, Need::reduction,
     "the solid-angle flag (one character, 0 = off) and the sensitivity file name", "", nullptr, nullptr, nullptr,
     nullptr, nullptr, nullptr},
    {"MASK", KwForm::file, Need::none,
     "a file name and two numbers (1 = the file must exist, 1 = read the mask from it)", "", nullptr, nullptr, nullptr,
     nullptr, nullptr, nullptr},
    {"ABSF", KwForm::numbers, Need::reduction, "one number (absolute intensity scaling factor)", "factor > 0",
     "parse_in", "the specified absolute intensity scaling factor is not physical",
     [](Numbers& n, Param& p) { n.f(p.abs_fact); }, [](const Param& p) { return p.abs_fact > 0; }, nullptr,
     [](const Param& p, const Console& con) {
         pk::say(con, "The absolute intensity scaling factor is %f\n", dbl(p.abs_fact));
     }},
    {"AVGM", KwForm::numbers, Need::none, "one whole number (0 the 2D image, 1 the 1D curve, 2 both)", "0 <= mode <= 2",
     "parse_in", "the averaging mode specified is undefined", [](Numbers& n, Param& p) { n.d(p.average); },
     [](const Param& p) { return p.average >= 0 && p.average <= 2; }, nullptr,
     [](const Param& p, const Console& con) { pk::say(con, "The averaging mode is %d\n", p.average); }},
    {"ANGS", KwForm::numbers, Need::average, "two numbers (the sector's first and last azimuth in degrees)",
     "0 <= first < second <= 360", "", "The azimuthal averagingn angles are improperly defined",
     [](Numbers& n, Param& p) { n.f(p.thmin), n.f(p.thmax); },
     [](const Param& p) { return p.thmin < p.thmax && p.thmin >= 0 && p.thmax <= 360.0f; },
     [](Param& p) {
         p.thmin = radians(p.thmin);
         p.thmax = radians(p.thmax);
     },
     [](const Param& p, const Console& con) {
         pk::say(con, "The angular range for the azimuthal averaging is:  %f %f\n", dbl(p.thmin), dbl(p.thmax));
     }},
    {"BINS", KwForm::numbers, Need::average, "one number (radial bin width in pixels)", "width >= 1", "parse_in",
     "the specified bin width (in pixels) is nonsense", [](Numbers& n, Param& p) { n.f(p.bin_width); },
     [](const Param& p) { return p.bin_width >= 1; }, nullptr,
     [](const Param& p, const Console& con) {
         pk::say(con, "The bin width for the rotational averaging is %f\n", dbl(p.bin_width));
     }},
};
// One row per keyword, in the order of the keyword enumeration.
static_assert(sizeof kKeywordTable / sizeof kKeywordTable[0] == kKeywordCount, "one table row per keyword");
static_assert(BINS + 1 == kKeywordCount, "the keyword enumeration and the count agree");

int keyword_of(std::string_view s) {
    if (s.size() < 4) return -1;
    for (int k = 0; k < kKeywordCount; ++k)
        if (s.compare(0, 4, kKeywordTable[k].name) == 0) return k;
    return -1;
}

namespace {
Status count_read(const ParamFile& pf, Param& p, const Console& con);
}  // namespace

Status count_parse(const std::string& name, ParamFile& pf, Param& p, const Console& con) {
    pk::say(con, "Entered count_parse()\n");
    const Status r = read_param_file(name, pf);
    if (r.code == Code::too_large)
        return failure(Stage::parameters, Code::too_large, "count_parse",
                       pk::format("the file %s holds more than %s, the most an input file may hold",
                                  name.c_str(), pk::kInputLimitText));
    if (!r.ok())
        return failure(Stage::parameters, Code::cannot_read, "count_parse",
                       pk::format("could not open the file %s", name.c_str()));
    return count_read(pf, p, con);
}

Status count_parse(const ParamFile& pf, Param& p, const Console& con) {
    pk::say(con, "Entered count_parse()\n");
    return count_read(pf, p, con);
}

namespace {

// The count proper, once the file is read.
Status count_read(const ParamFile& pf, Param& p, const Console& con) {
    const EntryCount n = count_entries(pf);
    const int64_t sams = n.samples;
    const int64_t bufs = n.buffers;
    if (sams > INT32_MAX || bufs > INT32_MAX)
        return failure(Stage::parameters, Code::bad_count, "count_parse",
                       "bad number of sample or buffer files (must be > 0)");
    p.sams = static_cast<int32_t>(sams);
    p.bufs = static_cast<int32_t>(bufs);
    pk::say(con, "The number of sample files is %d\n", p.sams);
    pk::say(con, "The number of buffer files is %d\n", p.bufs);
    if (p.sams == 0 || p.bufs == 0)
        return failure_at(Stage::parameters, Code::bad_count, p.sams == 0 ? DATS : DATB, -1, "count_parse",
                          "bad number of sample or buffer files (must be > 0)");
    return ok_status();
}

}  // namespace

Status count_parse(const std::string& name, Param& p, const Console& con) {
    ParamFile pf;
    return count_parse(name, pf, p, con);
}

namespace {

// The piece at hand, copied out of the file: the conversions read up to a
// NUL, which ends the copy as it ends the piece.
struct Piece {
    std::string text;
    bool cut = false;
};

// A sample line without a counting time: the parser's words, with a tail of
// their own.
Status no_sample_time() {
    return failure_worded(Stage::parameters, Code::bad_parameter, "There is no sample time specified",
                          "There is no sample time specified...exiting program\n");
}

// One parse: the counters and the mode in force carry from line to line.
// Each handler returns 1 to go on, -1 to stop the parse with `failed` set
// (its text the record keeps too).
struct Parser {
    Param& p;
    std::vector<Data2D>& sam;
    std::vector<Data2D>& buf;
    Data2D& dc;
    Data2D& sens;
    Data2D& mask;
    const Console& con;
    const std::vector<HeldImage>* held;  // images held in memory, or null
    const std::vector<std::string>* known;  // files but samples known to be there, or null
    ParseRecord* rec = nullptr;  // the record of the piece at hand
    const char* numbers_end = nullptr;  // where the last number of a file line ended
    int32_t sms = 0;
    int32_t bfs = 0;
    Status failed{};

    int refuse(Status st);
    int refuse(const char* label, std::string reason, Code code = Code::bad_parameter);
    int too_long(int kw);
    int numbers_line(int kw, const Piece& pc);
    int file_line(int kw, const Piece& pc);
    Data2D* entry_of(int kw);
    std::array<pk::Scan, 4> read_file_numbers(int kw, const Piece& pc, std::size_t name_end, Data2D& d);
    int judge_file_numbers(int kw, const Piece& pc, const std::array<pk::Scan, 4>& r, const Data2D& d);
    int file_exists(int kw, const Data2D& d);
    bool exists(int kw, const std::string& name) const {
        return (held && held_image(*held, name)) ||
               (kw != DATS && known && std::find(known->begin(), known->end(), name) != known->end()) ||
               pk::regular_file_exists(name);
    }
    void file_report(int kw, const Data2D& d);
    int sens_line(const Piece& pc);
};

int Parser::refuse(Status st) {
    const int kw = rec->keyword;
    st.keyword = kw;
    st.entry = kw == DATS ? sms : kw == DATB ? bfs : -1;
    st.line = rec->line;
    failed = std::move(st);
    return -1;
}

int Parser::refuse(const char* label, std::string reason, Code code) {
    return refuse(failure(Stage::parameters, code, label, std::move(reason)));
}

int Parser::too_long(int kw) {
    return refuse("parse_in", pk::format("the %s line is too long (more than 510 characters)", kKeywordTable[kw].name),
                  Code::line_too_long);
}

int Parser::numbers_line(int kw, const Piece& pc) {
    const Keyword& k = kKeywordTable[kw];
    // Read and store the values, then judge them.
    Numbers n(pc.text, 5);
    k.read(n, p);
    rec->values = n.read;
    if (!n.all_good() || !k.valid(p)) return refuse(k.reject_label, k.reject);
    if (pc.cut && n.touches_end()) return too_long(kw);  // the last number may go on in the next piece
    if (k.accept) k.accept(p);
    k.report(p, con);
    return 1;
}

// The record a file line fills.
Data2D* Parser::entry_of(int kw) {
    switch (kw) {
        case DATS:
            if (sms >= static_cast<int32_t>(sam.size())) return nullptr;
            return &sam[static_cast<std::size_t>(sms)];
        case DATB:
            if (bfs >= static_cast<int32_t>(buf.size())) return nullptr;
            return &buf[static_cast<std::size_t>(bfs)];
        case DATD: return &dc;
        default: return &mask;
    }
}

int Parser::file_line(int kw, const Piece& pc) {
    const std::string& s = pc.text;
    // The name runs from index 5 up to the first blank; without a blank it
    // takes the rest of the piece less its line end.
    const std::size_t from = s.size() > 5 ? 5 : s.size();
    const std::size_t blank = s.find(' ', from);
    std::size_t name_end = blank;
    if (blank == std::string::npos) {
        name_end = s.size();
        if (name_end > from && s[name_end - 1] == '\n') --name_end;
        if (pc.cut) return too_long(kw);
    }
    Data2D* d = entry_of(kw);
    if (!d)
        return refuse("parse_in",
                      pk::format("the parameter file holds more %s lines than were counted", kKeywordTable[kw].name),
                      Code::bad_count);
    const std::array<pk::Scan, 4> r = read_file_numbers(kw, pc, name_end, *d);
    d->name = s.substr(from, name_end - from);
    rec->name_from = static_cast<uint16_t>(from);
    rec->name_length = static_cast<uint16_t>(name_end - from);
    if (judge_file_numbers(kw, pc, r, *d) != 1 || file_exists(kw, *d) != 1) return -1;
    file_report(kw, *d);
    return 1;
}

// Time first, then the other numbers of the keyword; each is stored as it
// is read, before anything is checked.
std::array<pk::Scan, 4> Parser::read_file_numbers(int kw, const Piece& pc, std::size_t name_end, Data2D& d) {
    const char* cur = pc.text.c_str() + name_end;
    std::array<pk::Scan, 4> r = {pk::Scan::missing, pk::Scan::missing, pk::Scan::missing, pk::Scan::missing};
    float* fields[4] = {&d.tm, &d.monitor, &d.thick, &d.trans};
    const int count = (kw == DATS || kw == DATB) ? 4 : 2;
    numbers_end = nullptr;
    for (int i = 0; i < count; ++i) {
        const bool switch_value = kw == MASK && i == 1;  // the mask's "read the file" switch
        r[i] = switch_value ? pk::scan_int(cur, p.mask_source) : pk::scan_float(cur, *fields[i]);
        if (r[i] == pk::Scan::missing) break;
        rec->values.push_back(switch_value ? static_cast<double>(p.mask_source) : static_cast<double>(*fields[i]));
        numbers_end = cur;
    }
    for (int i = count; i < 4; ++i) r[i] = pk::Scan::ok;
    return r;
}

int Parser::judge_file_numbers(int kw, const Piece& pc, const std::array<pk::Scan, 4>& r, const Data2D& d) {
    bool numbers_ok = true;
    bool any_bad = false;
    for (pk::Scan one : r) {
        if (one != pk::Scan::ok) numbers_ok = false;
        if (one == pk::Scan::bad) any_bad = true;
    }
    // The numbers after a zero time on a buffer or dark-current line are
    // never used: they may be missing, but not malformed.
    if (!numbers_ok && (kw == DATB || kw == DATD) && r[0] == pk::Scan::ok && d.tm == 0 && !any_bad)
        numbers_ok = true;
    if (!numbers_ok) {
        if (kw == DATS && r[0] == pk::Scan::missing)
            return refuse(no_sample_time());
        return refuse("parse_in", pk::format("missing or invalid number on the %s line", kKeywordTable[kw].name));
    }
    if (pc.cut && numbers_end == pc.text.c_str() + pc.text.size()) return too_long(kw);
    return 1;
}

// In a reduction every file that will be read must be there.
int Parser::file_exists(int kw, const Data2D& d) {
    if (p.mode == 0 && d.tm != 0 && !exists(kw, d.name)) {
        switch (kw) {
            case DATS: return refuse("", "The data file " + d.name + " does not exist", Code::cannot_read);
            case DATB: return refuse("", "The buffer file " + d.name + " does not exist", Code::cannot_read);
            case DATD: return refuse("", "The dark current file " + d.name + " does not exist", Code::cannot_read);
            default: return refuse("", "The mask file " + d.name + " does not exist", Code::cannot_read);
        }
    }
    if (kw == DATS && d.tm == 0) return refuse(no_sample_time());
    return 1;
}

void Parser::file_report(int kw, const Data2D& d) {
    const char* name = d.name.c_str();
    switch (kw) {
        case DATS: pk::say(con, "The data file #%d is %s.\n", sms++, name); break;
        case DATB:
            if (d.tm == 0) pk::say(con, "Ignoring buffer file\n");
            pk::say(con, "The buffer file #%d is %s.\n", bfs++, name);
            break;
        case DATD:
            if (d.tm == 0) pk::say(con, "Ignoring the dark current\n");
            pk::say(con, "The dark current file is %s.\n", name);
            break;
        default:
            if (d.tm == 0) pk::say(con, "Using an internal mask generated using the sensitivity file\n");
            else pk::say(con, "The mask file is %s\n", name);
            return;
    }
    pk::say(con, "The exposure time is %f and the monitor counts are %f.\n\n", dbl(d.tm), dbl(d.monitor));
}

int Parser::sens_line(const Piece& pc) {
    const std::string& s = pc.text;
    if (pc.cut) return too_long(SENS);
    // Flag at index 5, separator at index 6, the name is the rest of the
    // line less its line end; blanks belong to the name.
    std::string name = s.size() > 7 ? s.substr(7) : std::string();
    if (!name.empty() && name.back() == '\n') name.pop_back();
    sens.name = name;
    rec->name_from = static_cast<uint16_t>(name.empty() ? 0 : 7);
    rec->name_length = static_cast<uint16_t>(name.size());
    p.jacobian = (s.size() > 5 && s[5] == '0') ? 0 : 1;
    rec->values.push_back(p.jacobian);
    if (p.mode == 0 && !exists(SENS, sens.name))
        return refuse("", "The sensitivity file " + sens.name + " does not exist", Code::cannot_read);
    pk::say(con, "The sensitivity file is %s and the jacobian flag is %d\n", sens.name.c_str(), p.jacobian);
    return 1;
}

}  // namespace

Status parse_in(const ParamFile& pf, Param& p, std::vector<Data2D>& sam, std::vector<Data2D>& buf, Data2D& dc,
             Data2D& sens, Data2D& mask, ParseLog& log, const Console& con, const std::vector<HeldImage>* held,
             const std::vector<std::string>* known) {
    pk::say(con, "Entered parse_in()\n");
    log = ParseLog{};
    log.records.reserve(pf.pieces.size());
    Parser ps{p, sam, buf, dc, sens, mask, con, held, known};
    Piece pc;
    for (std::size_t i = 0; i < pf.pieces.size(); ++i) {
        log.records.emplace_back();
        ParseRecord& rec = log.records.back();
        rec.line = pf.pieces[i].line;
        rec.piece = i;
        const std::string_view text = pf.text_of(i);
        const int kw = keyword_of(text);
        if (kw < 0) continue;
        pc.text.assign(text.data(), text.size());
        pc.cut = pf.pieces[i].cut;
        rec.keyword = kw;
        ps.rec = &rec;
        int r = 1;
        switch (kKeywordTable[kw].form) {
            case KwForm::file: r = ps.file_line(kw, pc); break;
            case KwForm::sens: r = ps.sens_line(pc); break;
            case KwForm::numbers: r = ps.numbers_line(kw, pc); break;
        }
        rec.verdict = r == 1 ? Verdict::accepted : Verdict::rejected;
        if (r != 1) {
            log.rejection = ps.failed;
            return ps.failed;
        }
        log.seen |= 1u << kw;
    }
    pk::say(con, "Finished parse_in\n");
    return ok_status();
}

Status parse_in(const std::string& name, Param& p, std::vector<Data2D>& sam, std::vector<Data2D>& buf, Data2D& dc,
             Data2D& sens, Data2D& mask, uint32_t* seen, const Console& con) {
    ParamFile pf;
    if (!read_param_file(name, pf).ok()) {
        pk::say(con, "Entered parse_in()\n");
        return failure(Stage::parameters, Code::cannot_read, "parse_in", "could not open the parameter file");
    }
    ParseLog log;
    const Status r = parse_in(pf, p, sam, buf, dc, sens, mask, log, con);
    if (seen) *seen = log.seen;
    return r;
}

}  // namespace pk
