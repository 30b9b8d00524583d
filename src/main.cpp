// Pelkaro run driver: checks the command line, runs the parameter stage and
// then one of the three runs (reduction, mask generation, beam-centre
// measurement), calling the stages in turn.  Any failure prints the
// driver's message after the stage's own and ends the run with status -1.
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "Pelkaro.h"

namespace {

// Allocates both pixel arrays of an image, cleared to 0.
bool allocate_image(Data2D& d) {
    try {
        d.intens.assign(kImageValues, 0.0f);
        d.uncert.assign(kImageValues, 0.0f);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

int fail(const char* message) {
    std::printf("%s", message);
    return -1;
}

// The keywords every reduction uses, and those the averaging adds.
const char* const kReductionKeywords[] = {"CNTR", "PXSP", "SM2D", "SENS", "ABSF"};
const char* const kAveragingKeywords[] = {"SMRP", "WAVE", "ANGS", "BINS"};

bool seen_keyword(uint32_t seen, const char* kw) {
    for (int k = 0; k < kKeywordCount; ++k)
        if (std::string(kKeywords[k]) == kw) return (seen >> k) & 1u;
    return false;
}

// A reduction with a keyword missing would compute with values the user
// never gave; name the first one missing.
int check_reduction_keywords(const Param& p, uint32_t seen) {
    for (const char* kw : kReductionKeywords) {
        if (!seen_keyword(seen, kw)) {
            std::printf("Pelkaro:  the parameter file has no %s line, which a data reduction needs\nExiting program\n", kw);
            return -1;
        }
    }
    if (p.average == 1 || p.average == 2) {
        for (const char* kw : kAveragingKeywords) {
            if (!seen_keyword(seen, kw)) {
                std::printf("Pelkaro:  the parameter file has no %s line, which the azimuthal average needs\n"
                            "Exiting program\n", kw);
                return -1;
            }
        }
    }
    return 1;
}

int beam_center_run(Param& p, std::vector<Data2D>& sam) {
    std::printf("Measuring beam center...\n");
    if (!allocate_image(sam[0])) return fail("Pelkaro:  unable to allocate the sample data memory\n");
    if (read_data(sam[0]) != 1)
        return fail("Pelkaro:  unable to read the sample data file #0\n...Exiting program\n");
    if (beam_center(p, sam[0]) != 1) return fail("Pelkaro:  unable to measure the beam center...Exiting program\n");
    std::printf("\n\nThe beam center is measured to be X = %f, Y = %f\n", static_cast<double>(p.bx),
                static_cast<double>(p.by));
    return 0;
}

int mask_run(const Param& p, Data2D& mask) {
    std::printf("Preparing mask file...\n");
    if (!allocate_image(mask)) return fail("Pelkaro:  could not allocate data memory\n");
    if (make_mask(p, mask) != 1) return fail("Pelkaro:  unable to make the mask file\nExiting program\n");
    std::printf("Writing mask file...\n");
    if (write_mask(p, mask) != 1) return fail("Pelkaro:  unable to output the mask file\n...Exiting program\n");
    mask.intens = std::vector<float>();
    mask.uncert = std::vector<float>();
    std::printf("Mask file generation completed normally\n");
    return 0;
}

// The driver's messages for one kind of entry (sample or buffer).
struct EntryText {
    const char* no_memory;
    const char* unreadable;  // %d: the entry's index
    const char* zero_time;   // %d: the entry's index
    const char* no_jacobian; // %d: the entry's index
};
const EntryText kSampleText = {
    "Pelkaro:  unable to allocate the sample data memory\n",
    "Pelkaro:  unable to read the sample data file #%d\n...Exiting program\n",
    "Pelkaro:  the counting time of sample data file #%d is 0 after reading its header; it cannot be "
    "normalized\nExiting program\n",
    "Pelkaro:  unable to perform jacobian correction on data file %d...Exiting program\n"};
const EntryText kBufferText = {
    "Pelkaro:  unable to allocate the background memory\n",
    "Pelkaro:  unable to read the buffer data file #%d\n...Exiting program\n",
    "Pelkaro:  the counting time of buffer data file #%d is 0 after reading its header; it cannot be "
    "normalized\nExiting program\n",
    "Pelkaro:  unable to perform jacobian correction on buffer file %d...Exiting program\n"};

// Allocates, reads and (under the solid-angle flag) corrects one sample or
// buffer image.  A zero time from the file's own header cannot be normalised.
int load_entry(const Param& p, Data2D& d, int n, const EntryText& text) {
    if (!allocate_image(d)) return fail(text.no_memory);
    if (read_data(d) != 1) {
        std::printf(text.unreadable, n);
        return -1;
    }
    if (d.tm == 0) {
        std::printf(text.zero_time, n);
        return -1;
    }
    if (p.jacobian == 1 && jacobian(p, d) != 1) {
        std::printf(text.no_jacobian, n);
        return -1;
    }
    return 1;
}

int reduction_run(const Param& p, std::vector<Data2D>& sam, std::vector<Data2D>& buf, Data2D& dcur, Data2D& sens,
                  Data2D& mask, Data1D& rot, const std::string& param_name) {
    // Which entries take part is decided here, from the parameter file's
    // times, and holds for the whole run.
    std::vector<bool> buf_used(buf.size());
    for (std::size_t i = 0; i < buf.size(); ++i) buf_used[i] = buf[i].tm != 0;
    const bool dark_used = dcur.tm > 0;

    std::printf("Reading the sample data files...\n");
    for (std::size_t i = 0; i < sam.size(); ++i)
        if (load_entry(p, sam[i], static_cast<int>(i), kSampleText) != 1) return -1;
    for (std::size_t i = 0; i < buf.size(); ++i) {
        if (!buf_used[i]) continue;
        std::printf("Reading the background data file...\n");
        if (load_entry(p, buf[i], static_cast<int>(i), kBufferText) != 1) return -1;
    }
    if (dark_used) {
        std::printf("Reading the dark current data file...\n");
        if (!allocate_image(dcur)) return fail("Pelkaro:  unable to allocate the background memory\n");
        if (read_data(dcur) != 1)
            return fail("Pelkaro:  unable to read the dark current data file\n...Exiting program\n");
        if (!(dcur.tm > 0))
            return fail("Pelkaro:  the counting time of the dark current is not above 0 after reading its header; "
                        "it cannot be scaled\nExiting program\n");
    }
    std::printf("Reading the detector sensitivity data file...\n");
    if (!allocate_image(sens)) return fail("Pelkaro:  unable to allocate the sensitivity memory\n");
    if (read_data(sens) != 1)
        return fail("Pelkaro:  unable to read the detector sensitivity data file\n...Exiting program\n");
    if (p.jacobian == 1 && jacobian(p, sens) != 1)
        return fail("Pelkaro:  unable to perform jacobian correction on the sensitivity file...Exiting program\n");

    if (!allocate_image(mask)) return fail("Pelkaro:  unable to allocate the mask memory\n");
    if (p.msk == 1) {
        std::printf("Reading the mask data file...\n");
        if (read_mask(p, mask) != 1) return fail("Pelkaro:  unable to read the mask data file\n...Exiting program\n");
    } else if (make_mask(p, mask) != 1) {
        return fail("Pelkaro:  unable to generate the internal mask...Exiting program\n");
    }
    if (sens_norm(p, sens, mask) != 1) return fail("Pelkaro:  unable to normalize the sensitivity correction\n");

    Data2D res;
    if (!allocate_image(res)) return fail("Pelkaro:  could not allocate memory for results\n");

    std::printf("Correcting the sensitivities...\n");
    for (std::size_t i = 0; i < sam.size(); ++i) {
        if (sens_cor(p, sam[i], sens, mask) != 1) {
            std::printf("Pelkaro:  could not correct detector sensitivity for %d data file\n", static_cast<int>(i));
            return -1;
        }
    }
    for (std::size_t i = 0; i < buf.size(); ++i) {
        if (!buf_used[i]) continue;
        if (sens_cor(p, buf[i], sens, mask) != 1) {
            std::printf("Pelkaro:  could not correct detector sensitivity for %d buffer file\n", static_cast<int>(i));
            return -1;
        }
    }

    std::printf("Reducing the data...\n");
    if (sub_data(p, sam, buf, dcur, mask, res) != 1)
        return fail("Pelkaro:  unable to reduce the data\n...Exiting program\n");
    res.name = sam[0].name;

    if (p.average == 1 || p.average == 2) {
        std::printf("Performing azimuthal average...\n");
        if (ave_data(p, res, rot, mask) != 1)
            return fail("Pelkaro:  unable to perform the circular average\n...Exiting program\n");
    }
    if (p.average == 0 || p.average == 2) {
        if (write_2D(p, res, param_name) != 1) return fail("Pelkaro:  unable to output the 2D data\n...Exiting program\n");
    }
    if (p.average == 1 || p.average == 2) {
        if (write_1D(p, res, rot, param_name) != 1)
            return fail("Pelkaro:  unable to output the 1D data\n...Exiting program\n");
    }
    std::printf("Data reduction completed normally\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("Pelkaro:  insufficient input parameters\n");
        std::printf("\t\tusage:  Pelkaro <input file>\n");
        std::printf("\n\t\t<input file> is name of the file containing the reduction parameters\n");
        return -1;
    }
    const std::string param_name = argv[1];
    std::printf("Parsing input file...\n");

    Param p{};
    if (count_parse(param_name, p) != 1)
        return fail("Pelkaro:  unable to determine the number of sample and buffer files\n");

    std::vector<Data2D> sam;
    std::vector<Data2D> buf;
    try {
        sam.resize(static_cast<std::size_t>(p.sams));
        buf.resize(static_cast<std::size_t>(p.bufs));
    } catch (const std::bad_alloc&) {
        return fail("Pelkaro:  unable to allocate the sample and buffer memories\n");
    } catch (const std::length_error&) {
        return fail("Pelkaro:  unable to allocate the sample and buffer memories\n");
    }
    Data2D dcur;
    Data2D sens;
    Data2D mask;
    uint32_t seen = 0;
    if (parse_in(param_name, p, sam, buf, dcur, sens, mask, &seen) != 1)
        return fail("Pelkaro:  unable to parse the input file\nExiting program\n");

    Data1D rot;
    try {
        for (std::vector<float>* a : {&rot.x, &rot.y, &rot.dy, &rot.dq, &rot.area}) a->assign(kCurveValues, 0.0f);
    } catch (const std::bad_alloc&) {
        return fail("Pelkaro:  couldn't allocate the azimuthally averaged data array\n");
    }

    if (p.mode == 1) return mask_run(p, mask);
    if (p.mode == 2) return beam_center_run(p, sam);
    if (check_reduction_keywords(p, seen) != 1) return -1;
    return reduction_run(p, sam, buf, dcur, sens, mask, rot, param_name);
}
