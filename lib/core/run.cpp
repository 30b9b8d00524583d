// The runs: the parameter stage, then one of the reduction, the mask-file
// run and the beam-centre run, calling the stages in turn.  Any failure
// prints the driver's message after the stage's own and ends the run.
#include "pelkaro/run.h"

#include <exception>
#include <new>
#include <stdexcept>

#include "common.h"
#include "keywords.h"

namespace pk {

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

// The pixel arrays a reduction loads and computes.
std::vector<std::vector<float>*> image_arrays(Run& run) {
    std::vector<std::vector<float>*> arrays;
    auto both = [&arrays](Data2D& d) {
        arrays.push_back(&d.intens);
        arrays.push_back(&d.uncert);
    };
    for (Data2D& d : run.sam) both(d);
    for (Data2D& d : run.buf)
        if (d.tm != 0) both(d);
    if (run.dcur.tm > 0) both(run.dcur);
    both(run.sens);
    arrays.push_back(&run.mask.intens);
    both(run.res);
    return arrays;
}

// The pixel arrays reserved together before the first is filled, so that
// they lie side by side (on huge pages where the front end arranged them).
// Only a placement: the arrays are allocated and cleared as before, and
// nothing changes if a reservation fails.
void reserve_images(Run& run) {
    const std::vector<std::vector<float>*> arrays = image_arrays(run);
    try {
        for (std::vector<float>* a : arrays) a->reserve(kImageValues);
    } catch (const std::bad_alloc&) {
        for (std::vector<float>* a : arrays) std::vector<float>().swap(*a);
    }
}

int fail(const Console& con, const char* message) {
    pk::say(con, "%s", message);
    return -1;
}

bool averaging(const Param& p) { return p.average == 1 || p.average == 2; }

// A reduction with a keyword missing would compute with values the user
// never gave; name the first one missing.
int check_reduction_keywords(const Param& p, uint32_t seen, const Console& con) {
    for (Need need : {Need::reduction, Need::average}) {
        if (need == Need::average && !averaging(p)) break;
        for (int k = 0; k < kKeywordCount; ++k) {
            if (kKeywordTable[k].need != need || (seen >> k & 1u)) continue;
            pk::say(con, "Pelkaro:  the parameter file has no %s line, which %s needs\nExiting program\n",
                    kKeywordTable[k].name, need == Need::reduction ? "a data reduction" : "the azimuthal average");
            return -1;
        }
    }
    return 1;
}

// The driver's messages for one kind of entry (sample or buffer).
struct EntryText {
    const char* kind;         // "sample" or "buffer"
    const char* no_memory;
    const char* unreadable;   // %d: the entry's index
    const char* zero_time;    // %d: the entry's index
    const char* no_jacobian;  // %d: the entry's index
};
const EntryText kSampleText = {
    "sample",
    "Pelkaro:  unable to allocate the sample data memory\n",
    "Pelkaro:  unable to read the sample data file #%d\n...Exiting program\n",
    "Pelkaro:  the counting time of sample data file #%d is 0 after reading its header; it cannot be "
    "normalized\nExiting program\n",
    "Pelkaro:  unable to perform jacobian correction on data file %d...Exiting program\n"};
const EntryText kBufferText = {
    "buffer",
    "Pelkaro:  unable to allocate the background memory\n",
    "Pelkaro:  unable to read the buffer data file #%d\n...Exiting program\n",
    "Pelkaro:  the counting time of buffer data file #%d is 0 after reading its header; it cannot be "
    "normalized\nExiting program\n",
    "Pelkaro:  unable to perform jacobian correction on buffer file %d...Exiting program\n"};

// A detector file without a single value would enter the reduction as an
// image of zeros: a sample gives a negative curve, a buffer or dark current
// no subtraction at all.
bool no_values(const Data2D& d, const std::string& what, const Console& con) {
    if (d.values > 0) return false;
    pk::say(con, "Pelkaro:  %s (%s) holds no detector values; it cannot be used\nExiting program\n", what.c_str(),
            d.name.c_str());
    return true;
}

// Allocates, reads and (under the solid-angle flag) corrects one sample or
// buffer image.  A zero time from the file's own header cannot be normalised.
int load_entry(const Param& p, const SolidAngle& sa, Data2D& d, int n, const EntryText& text, const Console& con) {
    if (!allocate_image(d)) return fail(con, text.no_memory);
    if (read_data(d, con) != 1) return fail(con, pk::format(text.unreadable, n).c_str());
    if (no_values(d, pk::format("the %s data file #%d", text.kind, n), con)) return -1;
    if (d.tm == 0) return fail(con, pk::format(text.zero_time, n).c_str());
    if (p.jacobian == 1 && jacobian(p, d, sa, con) != 1) return fail(con, pk::format(text.no_jacobian, n).c_str());
    return 1;
}

// Which buffer entries take part is decided from the parameter file's times
// and holds for the whole run.
bool buffer_used(const Data2D& b) { return b.tm != 0; }

int load_dark_current(Run& run, const Console& con) {
    if (!(run.dcur.tm > 0)) return 1;
    pk::say(con, "Reading the dark current data file...\n");
    if (!allocate_image(run.dcur)) return fail(con, "Pelkaro:  unable to allocate the background memory\n");
    if (read_data(run.dcur, con) != 1)
        return fail(con, "Pelkaro:  unable to read the dark current data file\n...Exiting program\n");
    if (no_values(run.dcur, "the dark current data file", con)) return -1;
    if (!(run.dcur.tm > 0))
        return fail(con, "Pelkaro:  the counting time of the dark current is not above 0 after reading its header; "
                         "it cannot be scaled\nExiting program\n");
    return 1;
}

int load_sensitivity(Run& run, const SolidAngle& sa, const Console& con) {
    pk::say(con, "Reading the detector sensitivity data file...\n");
    if (!allocate_image(run.sens)) return fail(con, "Pelkaro:  unable to allocate the sensitivity memory\n");
    if (read_data(run.sens, con) != 1)
        return fail(con, "Pelkaro:  unable to read the detector sensitivity data file\n...Exiting program\n");
    if (run.p.jacobian == 1 && jacobian(run.p, run.sens, sa, con) != 1)
        return fail(con, "Pelkaro:  unable to perform jacobian correction on the sensitivity file...Exiting program\n");
    return 1;
}

// Every image the reduction uses, in the order the user sees them named.
int load_images(Run& run, const Console& con) {
    const Param& p = run.p;
    SolidAngle sa;
    if (p.jacobian == 1) solid_angle(p, sa);
    std::vector<bool> buf_used(run.buf.size());
    for (std::size_t i = 0; i < run.buf.size(); ++i) buf_used[i] = buffer_used(run.buf[i]);
    pk::say(con, "Reading the sample data files...\n");
    for (std::size_t i = 0; i < run.sam.size(); ++i)
        if (load_entry(p, sa, run.sam[i], static_cast<int>(i), kSampleText, con) != 1) return -1;
    for (std::size_t i = 0; i < run.buf.size(); ++i) {
        if (!buf_used[i]) continue;
        pk::say(con, "Reading the background data file...\n");
        if (load_entry(p, sa, run.buf[i], static_cast<int>(i), kBufferText, con) != 1) return -1;
    }
    if (load_dark_current(run, con) != 1) return -1;
    return load_sensitivity(run, sa, con);
}

// The mask's values only: nothing reads the uncertainties of a mask.
bool allocate_mask(Data2D& d) {
    try {
        d.intens.assign(kImageValues, 0.0f);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

int load_mask(Run& run, const Console& con) {
    if (!allocate_mask(run.mask)) return fail(con, "Pelkaro:  unable to allocate the mask memory\n");
    if (run.p.msk == 1) {
        pk::say(con, "Reading the mask data file...\n");
        if (read_mask(run.p, run.mask, con) != 1)
            return fail(con, "Pelkaro:  unable to read the mask data file\n...Exiting program\n");
    } else if (make_mask(run.p, run.mask) != 1) {
        return fail(con, "Pelkaro:  unable to generate the internal mask...Exiting program\n");
    }
    return 1;
}

int correct_sensitivities(Run& run, const Console& con) {
    pk::say(con, "Correcting the sensitivities...\n");
    for (std::size_t i = 0; i < run.sam.size(); ++i) {
        if (sens_cor(run.p, run.sam[i], run.sens, run.mask) != 1) {
            pk::say(con, "Pelkaro:  could not correct detector sensitivity for %d data file\n", static_cast<int>(i));
            return -1;
        }
    }
    for (std::size_t i = 0; i < run.buf.size(); ++i) {
        if (!buffer_used(run.buf[i])) continue;
        if (sens_cor(run.p, run.buf[i], run.sens, run.mask) != 1) {
            pk::say(con, "Pelkaro:  could not correct detector sensitivity for %d buffer file\n", static_cast<int>(i));
            return -1;
        }
    }
    return 1;
}

}  // namespace

int prepare_run(const std::string& param_name, Run& run, const Console& con) {
    pk::say(con, "Parsing input file...\n");
    if (count_parse(param_name, run.file, run.p, con) != 1)
        return fail(con, "Pelkaro:  unable to determine the number of sample and buffer files\n");
    try {
        run.sam.resize(static_cast<std::size_t>(run.p.sams));
        run.buf.resize(static_cast<std::size_t>(run.p.bufs));
    } catch (const std::bad_alloc&) {
        return fail(con, "Pelkaro:  unable to allocate the sample and buffer memories\n");
    } catch (const std::length_error&) {
        return fail(con, "Pelkaro:  unable to allocate the sample and buffer memories\n");
    }
    if (parse_in(run.file, run.p, run.sam, run.buf, run.dcur, run.sens, run.mask, run.log, con) != 1)
        return fail(con, "Pelkaro:  unable to parse the input file\nExiting program\n");
    try {
        // Room for the longest curve; the average fills only the bins it
        // uses, so the memory of the others is never touched.
        Data1D& rot = run.rot;
        for (std::vector<float>* a : {&rot.x, &rot.y, &rot.dy, &rot.dq, &rot.area}) a->reserve(kCurveValues);
    } catch (const std::bad_alloc&) {
        return fail(con, "Pelkaro:  couldn't allocate the azimuthally averaged data array\n");
    }
    return 1;
}

std::size_t reduction_bytes(Run& run) {
    // With room for the solid-angle factors, the read buffers and the mask text.
    return (image_arrays(run).size() * kImageValues + 4 * kDetPixels) * sizeof(float);
}

int reduce(Run& run, const Console& con) {
    if (check_reduction_keywords(run.p, run.log.seen, con) != 1) return -1;
    reserve_images(run);
    if (load_images(run, con) != 1 || load_mask(run, con) != 1) return -1;
    if (sens_norm(run.p, run.sens, run.mask, con) != 1)
        return fail(con, "Pelkaro:  unable to normalize the sensitivity correction\n");
    if (!allocate_image(run.res)) return fail(con, "Pelkaro:  could not allocate memory for results\n");
    if (correct_sensitivities(run, con) != 1) return -1;
    pk::say(con, "Reducing the data...\n");
    if (sub_data(run.p, run.sam, run.buf, run.dcur, run.mask, run.res, con) != 1)
        return fail(con, "Pelkaro:  unable to reduce the data\n...Exiting program\n");
    run.res.name = run.sam[0].name;
    if (averaging(run.p)) {
        pk::say(con, "Performing azimuthal average...\n");
        if (ave_data(run.p, run.res, run.rot, run.mask, con) != 1)
            return fail(con, "Pelkaro:  unable to perform the circular average\n...Exiting program\n");
    }
    return 1;
}

int write_outputs(const Run& run, const Console& con) {
    const Param& p = run.p;
    // Runs whose outputs collide (the same first sample file) write one
    // after the other.
    pk::OutputLock lock;
    lock.acquire(run.res.name);
    if ((p.average == 0 || p.average == 2) && write_2D(p, run.res, run.file, con) != 1)
        return fail(con, "Pelkaro:  unable to output the 2D data\n...Exiting program\n");
    if (averaging(p) && write_1D(p, run.res, run.rot, run.file.name, con) != 1)
        return fail(con, "Pelkaro:  unable to output the 1D data\n...Exiting program\n");
    pk::say(con, "Data reduction completed normally\n");
    return 1;
}

int mask_run(Run& run, const Console& con) {
    pk::say(con, "Preparing mask file...\n");
    if (!allocate_image(run.mask)) return fail(con, "Pelkaro:  could not allocate data memory\n");
    if (make_mask(run.p, run.mask) != 1) return fail(con, "Pelkaro:  unable to make the mask file\nExiting program\n");
    pk::say(con, "Writing mask file...\n");
    if (write_mask(run.p, run.mask, con) != 1)
        return fail(con, "Pelkaro:  unable to output the mask file\n...Exiting program\n");
    pk::say(con, "Mask file generation completed normally\n");
    return 1;
}

int beam_center_run(Run& run, const Console& con) {
    pk::say(con, "Measuring beam center...\n");
    Data2D& first = run.sam[0];
    if (!allocate_image(first)) return fail(con, "Pelkaro:  unable to allocate the sample data memory\n");
    if (read_data(first, con) != 1)
        return fail(con, "Pelkaro:  unable to read the sample data file #0\n...Exiting program\n");
    if (beam_center(run.p, first, con) != 1)
        return fail(con, "Pelkaro:  unable to measure the beam center...Exiting program\n");
    pk::say(con, "\n\nThe beam center is measured to be X = %f, Y = %f\n", static_cast<double>(run.p.bx),
            static_cast<double>(run.p.by));
    return 1;
}

}  // namespace pk
