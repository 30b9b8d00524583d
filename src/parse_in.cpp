// The parameter file: a counting pre-pass over the sample and buffer lines,
// then the parse proper, which fills the parameter record and the names and
// header values of every image, validates each value and reports it.
//
// The file is read in pieces of at most 510 characters (a longer line is
// several pieces, each handled like a line of its own); a piece whose first
// four characters are a keyword is a keyword line, anything else is ignored.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "Pelkaro.h"
#include "common.h"

const char* const kKeywords[kKeywordCount] = {"MODE", "CNTR", "PXSP", "SM2D", "SMRP",
                                              "WAVE", "DATS", "DATB", "DATD", "SENS",
                                              "MASK", "ABSF", "AVGM", "ANGS", "BINS"};

namespace {

constexpr std::size_t kPieceLimit = 510;  // a 512-byte buffer read with a limit of 511

enum Kw { MODE, CNTR, PXSP, SM2D, SMRP, WAVE, DATS, DATB, DATD, SENS, MASK, ABSF, AVGM, ANGS, BINS };

// The keyword a piece begins with, or -1.
int keyword_of(const std::string& s) {
    if (s.size() < 4) return -1;
    for (int k = 0; k < kKeywordCount; ++k)
        if (s.compare(0, 4, kKeywords[k]) == 0) return k;
    return -1;
}

// A piece as the parser sees it: its text up to the first NUL character,
// and whether the line went on beyond it.
struct Piece {
    std::string text;
    bool cut = false;
};

bool read_piece(std::FILE* f, Piece& pc) {
    if (!pk::next_piece(f, pc.text, kPieceLimit, &pc.cut)) return false;
    std::size_t nul = pc.text.find('\0');
    if (nul != std::string::npos) pc.text.resize(nul);
    return true;
}

// Reads the numbers of one line, one conversion after another, remembering
// whether all were there and finite and whether the last one touched the end
// of the piece (a cut line may have lost the rest of it).
class Numbers {
public:
    Numbers(const std::string& text, std::size_t from)
        : cur_(from <= text.size() ? text.c_str() + from : text.c_str() + text.size()),
          end_(text.c_str() + text.size()) {}

    bool f(float& out) { return take(pk::scan_float(cur_, out)); }
    bool d(int32_t& out) { return take(pk::scan_int(cur_, out)); }
    bool all_good() const { return good_; }
    bool touches_end() const { return cur_ == end_; }

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

void report_bad_numbers(int kw, const Console& con) {
    pk::say(con, "parse_in -> missing or invalid number on the %s line\n", kKeywords[kw]);
}

void report_too_long(int kw, const Console& con) {
    pk::say(con, "parse_in -> the %s line is too long (more than 510 characters)\n", kKeywords[kw]);
}

}  // namespace

int count_parse(const std::string& name, Param& p, const Console& con) {
    pk::say(con, "Entered count_parse()\n");
    Piece pc;
    try {
        pc.text.reserve(kPieceLimit + 1);
    } catch (const std::bad_alloc&) {
        pk::say(con, "count_parse -> could not allocate the character buffer array\n");
        return -1;
    }
    pk::FilePtr f(pk::open_regular(name));
    if (!f) {
        pk::say(con, "count_parse -> could not open the file %s\n", name.c_str());
        return -1;
    }
    int64_t sams = 0;
    int64_t bufs = 0;
    while (read_piece(f.get(), pc)) {
        if (pc.text.compare(0, 4, "DATS") == 0) ++sams;
        else if (pc.text.compare(0, 4, "DATB") == 0) ++bufs;
    }
    if (sams > INT32_MAX || bufs > INT32_MAX) {
        pk::say(con, "count_parse -> bad number of sample or buffer files (must be > 0)\n");
        return -1;
    }
    p.sams = static_cast<int32_t>(sams);
    p.bufs = static_cast<int32_t>(bufs);
    pk::say(con, "The number of sample files is %d\n", p.sams);
    pk::say(con, "The number of buffer files is %d\n", p.bufs);
    if (p.sams == 0 || p.bufs == 0) {
        pk::say(con, "count_parse -> bad number of sample or buffer files (must be > 0)\n");
        return -1;
    }
    return 1;
}

namespace {

// One parse: the counters and the mode in force carry from line to line.
struct Parser {
    Param& p;
    std::vector<Data2D>& sam;
    std::vector<Data2D>& buf;
    Data2D& dc;
    Data2D& sens;
    Data2D& mask;
    const Console& con;
    int32_t sms = 0;
    int32_t bfs = 0;

    // Returns 1 to go on, -1 to stop the parse.
    int plain(int kw, const Piece& pc);
    int file_line(int kw, const Piece& pc);
    int sens_line(const Piece& pc);
};

int Parser::plain(int kw, const Piece& pc) {
    // Read and store the values, then judge them.
    Numbers n(pc.text, 5);
    bool valid = false;
    const char* reject = nullptr;
    switch (kw) {
        case MODE:
            n.d(p.mode);
            valid = p.mode >= 0 && p.mode <= 2;
            reject = "parse_in -> the reduction mode specified is undefined\n";
            break;
        case CNTR:
            n.f(p.bx);
            n.f(p.by);
            valid = p.bx >= 0 && p.bx <= 511.0f && p.by >= 0 && p.by <= 511.0f;
            reject = "parse_in -> the specified beam center is not on the detector\n";
            break;
        case PXSP:
            n.f(p.px);
            n.f(p.py);
            valid = p.px > 0 && p.py > 0;
            reject = "parse_in -> the specified pixel spacing is unphysical\n";
            break;
        case SM2D:
            n.f(p.sam2det);
            valid = p.sam2det > 0;
            reject = "parse_in -> the specified sample-to-detector distance is not physically realistic\n";
            break;
        case SMRP: {
            float srcapp = 0.0f;
            float samapp = 0.0f;
            if (n.f(p.src2sam) && n.f(srcapp) && n.f(samapp)) {
                // Diameters in the file, radii in the record.
                p.srcapp = pk::to_float(static_cast<double>(srcapp) / 2.0);
                p.samapp = pk::to_float(static_cast<double>(samapp) / 2.0);
            }
            valid = p.src2sam > 0;
            reject = "parse_in -> the specified source-to-sample distance is not physically realistic\n";
            break;
        }
        case WAVE:
            n.f(p.wavelen);
            n.f(p.dwavelen);
            valid = p.wavelen > 0;
            reject = "parse_in -> the specified wavelength is unphysical\n";
            break;
        case ABSF:
            n.f(p.abs_fact);
            valid = p.abs_fact > 0;
            reject = "parse_in -> the specified absolute intensity scaling factor is not physical\n";
            break;
        case AVGM:
            n.d(p.average);
            valid = p.average >= 0 && p.average <= 2;
            reject = "parse_in -> the averaging mode specified is undefined\n";
            break;
        case ANGS:
            n.f(p.thmin);
            n.f(p.thmax);
            valid = p.thmin < p.thmax && p.thmin >= 0 && p.thmax <= 360.0f;
            reject = "The azimuthal averagingn angles are improperly defined\n";
            break;
        case BINS:
            n.f(p.bin_width);
            valid = p.bin_width >= 1;
            reject = "parse_in -> the specified bin width (in pixels) is nonsense\n";
            break;
        default:
            return 1;
    }
    if (!n.all_good() || !valid) {
        pk::say(con, "%s", reject);
        return -1;
    }
    if (pc.cut && n.touches_end()) {
        report_too_long(kw, con);  // the last number may go on in the next piece
        return -1;
    }
    switch (kw) {
        case MODE: pk::say(con, "The reduction mode is %d\n", p.mode); break;
        case CNTR: pk::say(con, "The beam center is %f %f (pixels)\n", p.bx, p.by); break;
        case PXSP: pk::say(con, "The pixel spacing is %f %f (cm)\n", p.px, p.py); break;
        case SM2D: pk::say(con, "The sample-to-detector distance is %f (mm)\n", p.sam2det); break;
        case SMRP: pk::say(con, "The smearing parameters are %f %f %f (mm)\n", p.src2sam, p.srcapp, p.samapp); break;
        case WAVE: pk::say(con, "The wavelength is %f (Angstroms) with a spread of %f\n", p.wavelen, p.dwavelen); break;
        case ABSF: pk::say(con, "The absolute intensity scaling factor is %f\n", p.abs_fact); break;
        case AVGM: pk::say(con, "The averaging mode is %d\n", p.average); break;
        case ANGS:
            // Degrees to radians, in double from the stored degrees, rounded once.
            p.thmin = pk::to_float(static_cast<double>(p.thmin) * 3.141592653589793 / 180.0);
            p.thmax = pk::to_float(static_cast<double>(p.thmax) * 3.141592653589793 / 180.0);
            pk::say(con, "The angular range for the azimuthal averaging is:  %f %f\n", p.thmin, p.thmax);
            break;
        default: pk::say(con, "The bin width for the rotational averaging is %f\n", p.bin_width); break;
    }
    return 1;
}

int Parser::file_line(int kw, const Piece& pc) {
    const std::string& s = pc.text;
    // The name runs from index 5 up to the first blank; without a blank it
    // takes the rest of the piece less its line end.
    std::size_t from = s.size() > 5 ? 5 : s.size();
    std::size_t blank = s.find(' ', from);
    bool name_to_end = blank == std::string::npos;
    std::size_t name_end = blank;
    if (name_to_end) {
        name_end = s.size();
        if (name_end > from && s[name_end - 1] == '\n') --name_end;
    }
    if (pc.cut && name_to_end) {
        report_too_long(kw, con);
        return -1;
    }

    Data2D* rec = nullptr;
    if (kw == DATS) {
        if (sms >= static_cast<int32_t>(sam.size())) {
            pk::say(con, "parse_in -> the parameter file holds more DATS lines than were counted\n");
            return -1;
        }
        rec = &sam[static_cast<std::size_t>(sms)];
    } else if (kw == DATB) {
        if (bfs >= static_cast<int32_t>(buf.size())) {
            pk::say(con, "parse_in -> the parameter file holds more DATB lines than were counted\n");
            return -1;
        }
        rec = &buf[static_cast<std::size_t>(bfs)];
    } else if (kw == DATD) {
        rec = &dc;
    } else {
        rec = &mask;
    }

    // Time first, then the other numbers of the keyword; each is stored as
    // it is read, before anything is checked.
    const char* cur = s.c_str() + name_end;
    const char* last_end = nullptr;
    pk::Scan r[4] = {pk::Scan::missing, pk::Scan::missing, pk::Scan::missing, pk::Scan::missing};
    float* fields[4] = {&rec->tm, &rec->monitor, &rec->thick, &rec->trans};
    int count = (kw == DATS || kw == DATB) ? 4 : 2;
    for (int i = 0; i < count; ++i) {
        if (kw == MASK && i == 1) r[i] = pk::scan_int(cur, p.msk);
        else r[i] = pk::scan_float(cur, *fields[i]);
        if (r[i] == pk::Scan::missing) break;
        last_end = cur;
    }
    rec->name = s.substr(from, name_end - from);

    bool numbers_ok = true;
    bool any_bad = false;
    for (int i = 0; i < count; ++i) {
        if (r[i] != pk::Scan::ok) numbers_ok = false;
        if (r[i] == pk::Scan::bad) any_bad = true;
    }
    // The numbers after a zero time on a buffer or dark-current line are
    // never used: they may be missing, but not malformed.
    if (!numbers_ok && (kw == DATB || kw == DATD) && r[0] == pk::Scan::ok && rec->tm == 0 && !any_bad)
        numbers_ok = true;
    if (!numbers_ok) {
        if (kw == DATS && r[0] == pk::Scan::missing) pk::say(con, "There is no sample time specified...exiting program\n");
        else report_bad_numbers(kw, con);
        return -1;
    }
    if (pc.cut && last_end == s.c_str() + s.size()) {
        report_too_long(kw, con);
        return -1;
    }

    if (p.mode == 0 && rec->tm != 0 && !pk::regular_file_exists(rec->name)) {
        switch (kw) {
            case DATS: pk::say(con, "The data file %s does not exist\n", rec->name.c_str()); break;
            case DATB: pk::say(con, "The buffer file %s does not exist\n", rec->name.c_str()); break;
            case DATD: pk::say(con, "The dark current file %s does not exist\n", rec->name.c_str()); break;
            default: pk::say(con, "The mask file %s does not exist\n", rec->name.c_str()); break;
        }
        return -1;
    }

    switch (kw) {
        case DATS:
            if (rec->tm == 0) {
                pk::say(con, "There is no sample time specified...exiting program\n");
                return -1;
            }
            pk::say(con, "The data file #%d is %s.\n", sms, rec->name.c_str());
            pk::say(con, "The exposure time is %f and the monitor counts are %f.\n\n", rec->tm, rec->monitor);
            ++sms;
            break;
        case DATB:
            if (rec->tm == 0) pk::say(con, "Ignoring buffer file\n");
            pk::say(con, "The buffer file #%d is %s.\n", bfs, rec->name.c_str());
            pk::say(con, "The exposure time is %f and the monitor counts are %f.\n\n", rec->tm, rec->monitor);
            ++bfs;
            break;
        case DATD:
            if (rec->tm == 0) pk::say(con, "Ignoring the dark current\n");
            pk::say(con, "The dark current file is %s.\n", rec->name.c_str());
            pk::say(con, "The exposure time is %f and the monitor counts are %f.\n\n", rec->tm, rec->monitor);
            break;
        default:
            if (rec->tm == 0) pk::say(con, "Using an internal mask generated using the sensitivity file\n");
            else pk::say(con, "The mask file is %s\n", rec->name.c_str());
            break;
    }
    return 1;
}

int Parser::sens_line(const Piece& pc) {
    const std::string& s = pc.text;
    if (pc.cut) {
        report_too_long(SENS, con);
        return -1;
    }
    // Flag at index 5, separator at index 6, the name is the rest of the
    // line less its line end; blanks belong to the name.
    std::string name = s.size() > 7 ? s.substr(7) : std::string();
    if (!name.empty() && name.back() == '\n') name.pop_back();
    sens.name = name;
    p.jacobian = (s.size() > 5 && s[5] == '0') ? 0 : 1;
    if (p.mode == 0 && !pk::regular_file_exists(sens.name)) {
        pk::say(con, "The sensitivity file %s does not exist\n", sens.name.c_str());
        return -1;
    }
    pk::say(con, "The sensitivity file is %s and the jacobian flag is %d\n", sens.name.c_str(), p.jacobian);
    return 1;
}

}  // namespace

int parse_in(const std::string& name, Param& p, std::vector<Data2D>& sam, std::vector<Data2D>& buf,
             Data2D& dc, Data2D& sens, Data2D& mask, uint32_t* seen, const Console& con) {
    pk::say(con, "Entered parse_in()\n");
    Piece pc;
    try {
        pc.text.reserve(kPieceLimit + 1);
    } catch (const std::bad_alloc&) {
        pk::say(con, "parse_in -> could not allocate the character buffer array\n");
        return -1;
    }
    pk::FilePtr f(pk::open_regular(name));
    if (!f) {
        pk::say(con, "parse_in -> could not open the parameter file\n");
        return -1;
    }
    if (seen) *seen = 0;
    Parser ps{p, sam, buf, dc, sens, mask, con};
    while (read_piece(f.get(), pc)) {
        int kw = keyword_of(pc.text);
        if (kw < 0) continue;
        int r = 1;
        switch (kw) {
            case DATS: case DATB: case DATD: case MASK: r = ps.file_line(kw, pc); break;
            case SENS: r = ps.sens_line(pc); break;
            default: r = ps.plain(kw, pc); break;
        }
        if (r != 1) return -1;
        if (seen) *seen |= 1u << kw;
    }
    pk::say(con, "Finished parse_in\n");
    return 1;
}
