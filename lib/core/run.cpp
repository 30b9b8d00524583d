// The runs: the parameter stage, then one of the reduction, the mask-file
// run and the beam-centre run, calling the stages in turn.  Any failure
// ends the run with the stage's Status, the run's message added after the
// stage's own and the parameter-file line it concerns filled in.
#include "pelkaro/run.h"

#include <exception>
#include <new>
#include <optional>
#include <stdexcept>

#include "ave_data.h"
#include "beam_meas.h"
#include "file_out.h"
#include "held_image.h"
#include "mask_gen.h"
#include "parse_in.h"
#include "pelkaro/files.h"
#include "read_sans.h"
#include "sens_cor.h"
#include "sub_data.h"
#include "entries.h"
#include "keywords.h"
#include "run_steps.h"

namespace pk {

namespace {

// The pixel arrays a reduction loads and computes.
std::vector<std::vector<float>*> image_arrays(Run& run) {
    std::vector<std::vector<float>*> arrays;
    auto both = [&arrays](Data2D& d) {
        arrays.push_back(&d.intens);
        arrays.push_back(&d.uncert);
    };
    if (run.dark.tm > 0) both(run.dark);
    both(run.sens);
    arrays.push_back(&run.mask.intens);
    both(run.reduced);
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

bool averaging(const Param& p) { return p.average == 1 || p.average == 2; }

// The file a mask-file run writes, in the working directory.
constexpr const char* kMaskOutput = "mask.d2d";

// A reduction with a keyword missing would compute with values the user
// never gave; name the first one missing.
Status check_reduction_keywords(const Param& p, uint32_t seen) {
    for (Need need : {Need::reduction, Need::average}) {
        if (need == Need::average && !averaging(p)) break;
        for (int k = 0; k < kKeywordCount; ++k) {
            if (kKeywordTable[k].need != need || (seen >> k & 1u)) continue;
            Status st = fail(Stage::parameters, Code::missing_keyword,
                             pk::format("the parameter file has no %s line, which %s needs", kKeywordTable[k].name,
                                        need == Need::reduction ? "a data reduction" : "the azimuthal average"),
                             "\nExiting program\n");
            st.keyword = k;
            return st;
        }
    }
    return ok_status();
}

Status load_dark_current(Run& run, const Console& con) {
    if (!(run.dark.tm > 0)) return ok_status();
    pk::say(con, "Reading the dark current data file...\n");
    if (!allocate_image(run.dark))
        return about(fail(Stage::read, Code::no_memory, "unable to allocate the background memory", "\n"), DATD,
                     -1);
    Status st = read_data(run.held, run.dark, con);
    if (!st.ok())
        return about(with_message(st, "unable to read the dark current data file", "\n...Exiting program\n"),
                     DATD, -1);
    st = no_values(run.dark, "the dark current data file");
    if (!st.ok()) return about(st, DATD, -1);
    if (!(run.dark.tm > 0))
        return about(fail(Stage::read, Code::zero_time,
                          "the counting time of the dark current is not above 0 after reading its header; it cannot "
                          "be scaled",
                          "\nExiting program\n"),
                     DATD, -1);
    return ok_status();
}

Status load_sensitivity(Run& run, const SolidAngle& sa, const Console& con) {
    pk::say(con, "Reading the detector sensitivity data file...\n");
    if (!allocate_image(run.sens))
        return about(fail(Stage::read, Code::no_memory, "unable to allocate the sensitivity memory", "\n"), SENS,
                     -1);
    Status st = read_data(run.held, run.sens, con);
    if (!st.ok())
        return about(
            with_message(st, "unable to read the detector sensitivity data file", "\n...Exiting program\n"), SENS,
            -1);
    if (run.p.jacobian == 1) {
        st = jacobian(run.p, run.sens, sa);
        if (!st.ok())
            return about(with_message(st, "unable to perform jacobian correction on the sensitivity file",
                                      "...Exiting program\n"),
                         SENS, -1);
    }
    return ok_status();
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

Status load_mask(Run& run, const Console& con) {
    if (!allocate_mask(run.mask))
        return about(fail(Stage::read, Code::no_memory, "unable to allocate the mask memory", "\n"), MASK, -1);
    if (run.p.mask_source == 1) {
        pk::say(con, "Reading the mask data file...\n");
        const Status st = read_mask(run.held, run.p, run.mask);
        if (!st.ok())
            return about(with_message(st, "unable to read the mask data file", "\n...Exiting program\n"), MASK,
                         -1);
        return ok_status();
    }
    const Status st = make_mask(run.p, run.mask);
    if (!st.ok()) return with_message(st, "unable to generate the internal mask", "...Exiting program\n");
    return ok_status();
}

// A run's output file that would replace one of its inputs: the files are
// refused before any detector file is read, so nothing is lost.
Status replaces(const std::string& output, const std::string& input, int kw, int entry) {
    Status st = fail(Stage::output, Code::replaces_input,
                     pk::format("the output file %s would replace the input file %s", output.c_str(), input.c_str()),
                     "\nExiting program\n");
    st.keyword = kw;
    st.entry = entry;
    return st;
}

// The files a reduction reads, each with its keyword and entry: the
// parameter file, the samples, the buffers in use, the dark current in use,
// the flat field and the mask file when it is read.
struct Input {
    const std::string* name;
    int keyword;
    int entry;
};
std::vector<Input> reduction_inputs(const Run& run) {
    std::vector<Input> in{{&run.file.name, -1, -1}};
    for (std::size_t i = 0; i < run.sam.size(); ++i) in.push_back({&run.sam[i].name, DATS, static_cast<int>(i)});
    for (std::size_t i = 0; i < run.buf.size(); ++i)
        if (buffer_used(run.buf[i])) in.push_back({&run.buf[i].name, DATB, static_cast<int>(i)});
    if (run.dark.tm > 0) in.push_back({&run.dark.name, DATD, -1});
    in.push_back({&run.sens.name, SENS, -1});
    if (run.p.mask_source == 1) in.push_back({&run.mask.name, MASK, -1});
    return in;
}

Status outputs_replace_inputs(const Run& run) {
    std::vector<std::string> outputs;
    if (run.p.average == 0 || run.p.average == 2) outputs.push_back(output_name(run.sam[0].name, ".d2d"));
    if (averaging(run.p)) outputs.push_back(output_name(run.sam[0].name, ".d1d"));
    for (const std::string& out : outputs) {
        const std::optional<FileId> id = file_id(out);
        if (!id) continue;  // not there: none of the inputs
        for (const Input& in : reduction_inputs(run))
            if (file_id(*in.name) == id) return replaces(out, *in.name, in.keyword, in.entry);
    }
    return ok_status();
}

// The parameter-file line a failure concerns: the entry's line of its
// keyword, or the last line that keyword was accepted on.
void locate(Status& st, const ParseLog& log) {
    if (st.ok() || st.line > 0 || st.keyword < 0) return;
    int seen = 0;
    for (const ParseRecord& r : log.records) {
        if (r.keyword != st.keyword || r.verdict != Verdict::accepted) continue;
        if (st.entry < 0) st.line = r.line;
        else if (seen++ == st.entry) st.line = r.line;
    }
}

}  // namespace

namespace {

// The parameter stage on the named file, or (no name) on run.file as it stands.
Status prepare(const std::string* param_name, Run& run, const Console& con) {
    pk::say(con, "Parsing input file...\n");
    Status st = param_name ? count_parse(*param_name, run.file, run.p, con) : count_parse(run.file, run.p, con);
    if (!st.ok()) return with_message(st, "unable to determine the number of sample and buffer files", "\n");
    try {
        run.sam.resize(static_cast<std::size_t>(run.p.sams));
        run.buf.resize(static_cast<std::size_t>(run.p.bufs));
    } catch (const std::bad_alloc&) {
        return fail(Stage::parameters, Code::no_memory, "unable to allocate the sample and buffer memories", "\n");
    } catch (const std::length_error&) {
        return fail(Stage::parameters, Code::no_memory, "unable to allocate the sample and buffer memories", "\n");
    }
    st = parse_in(run.file, run.p, run.sam, run.buf, run.dark, run.sens, run.mask, run.log, con, &run.held,
                  &run.known_files);
    if (!st.ok()) return with_message(st, "unable to parse the input file", "\nExiting program\n");
    try {
        // Room for the curve's bins; for the longest curve where the
        // geometry gives no number of bins (the average then refuses it).
        CurveBins bins;
        const int room = run.p.mode == 0 && curve_bins(run.p, bins).ok() ? bins.tot : kCurveValues;
        Data1D& rot = run.curve;
        for (std::vector<float>* a : {&rot.x, &rot.y, &rot.dy, &rot.dq, &rot.area})
            a->reserve(static_cast<std::size_t>(room));
    } catch (const std::bad_alloc&) {
        return fail(Stage::parameters, Code::no_memory, "couldn't allocate the azimuthally averaged data array", "\n");
    }
    stage_done(con, "parameters");
    return ok_status();
}

Status reduce_images(Run& run, const Console& con) {
    Status st = check_reduction_keywords(run.p, run.log.seen);
    if (!st.ok()) return st;
    st = outputs_replace_inputs(run);
    if (!st.ok()) return st;
    reserve_images(run);
    SolidAngle sa;
    if (run.p.jacobian == 1) solid_angle(run.p, sa);
    stage_done(con, "reduction");
    EntryPasses passes;
    st = read_entries(run, sa, passes, con);
    if (!st.ok()) return st;
    st = load_dark_current(run, con);
    if (!st.ok()) return st;
    st = load_sensitivity(run, sa, con);
    if (!st.ok()) return st;
    st = load_mask(run, con);
    if (!st.ok()) return st;
    stage_done(con, "reading");
    st = sens_norm(run.p, run.sens, run.mask);
    if (!st.ok()) return with_message(st, "unable to normalize the sensitivity correction", "\n");
    if (!allocate_image(run.reduced))
        return fail(Stage::subtraction, Code::no_memory, "could not allocate memory for results", "\n");
    st = sum_entries(run, sa, passes, con);
    if (!st.ok()) return st;
    pk::say(con, "Reducing the data...\n");
    st = sub_sums(run.p, run.sam, run.buf, run.sam_sums, run.buf_sums, run.dark, run.mask, run.reduced, con);
    if (!st.ok()) return with_message(st, "unable to reduce the data", "\n...Exiting program\n");
    run.reduced.name = run.sam[0].name;
    stage_done(con, "reduction");
    if (averaging(run.p)) {
        pk::say(con, "Performing azimuthal average...\n");
        st = run.want_sums ? ave_data_sums(run.p, run.reduced, run.curve, run.mask, run.sums, con)
                           : ave_data(run.p, run.reduced, run.curve, run.mask, con);
        if (!st.ok()) return with_message(st, "unable to perform the circular average", "\n...Exiting program\n");
        stage_done(con, "average");
    }
    return ok_status();
}

Status write_files(const Run& run, const Console& con) {
    const Param& p = run.p;
    // Runs whose outputs collide (the same first sample file) write one
    // after the other.
    pk::OutputLock lock;
    lock.acquire(run.reduced.name);
    if (p.average == 0 || p.average == 2) {
        const Status st = write_2D(p, run.reduced, run.file, con);
        if (!st.ok()) return with_message(st, "unable to output the 2D data", "\n...Exiting program\n");
    }
    if (averaging(p)) {
        const Status st = write_1D(p, run.reduced, run.curve, run.file.name, con);
        if (!st.ok()) return with_message(st, "unable to output the 1D data", "\n...Exiting program\n");
    }
    stage_done(con, "writing");
    pk::say(con, "Data reduction completed normally\n");
    return ok_status();
}

Status make_mask_file(Run& run, const Console& con) {
    if (same_file(kMaskOutput, run.file.name)) return replaces(kMaskOutput, run.file.name, -1, -1);
    pk::say(con, "Preparing mask file...\n");
    if (!allocate_image(run.mask))
        return fail(Stage::mask, Code::no_memory, "could not allocate data memory", "\n");
    Status st = make_mask(run.p, run.mask);
    if (!st.ok()) return with_message(st, "unable to make the mask file", "\nExiting program\n");
    pk::say(con, "Writing mask file...\n");
    st = write_mask(run.p, run.mask, con);
    if (!st.ok()) return with_message(st, "unable to output the mask file", "\n...Exiting program\n");
    pk::say(con, "Mask file generation completed normally\n");
    return ok_status();
}

Status measure_beam_centre(Run& run, const Console& con) {
    pk::say(con, "Measuring beam center...\n");
    Data2D& first = run.sam[0];
    if (!allocate_image(first))
        return about(fail(Stage::read, Code::no_memory, "unable to allocate the sample data memory", "\n"), DATS,
                     0);
    Status st = read_data(run.held, first, con);
    if (!st.ok())
        return about(with_message(st, "unable to read the sample data file #0", "\n...Exiting program\n"), DATS,
                     0);
    st = beam_center(run.p, first, con);
    if (!st.ok())
        return about(with_message(st, "unable to measure the beam center", "...Exiting program\n"), DATS, 0);
    pk::say(con, "\n\nThe beam center is measured to be X = %f, Y = %f\n", static_cast<double>(run.p.bx),
            static_cast<double>(run.p.by));
    return ok_status();
}

}  // namespace

Status prepare_run(const std::string& param_name, Run& run, const Console& con) {
    Status st = prepare(&param_name, run, con);
    locate(st, run.log);
    return st;
}

Status prepare_run(Run& run, const Console& con) {
    Status st = prepare(nullptr, run, con);
    locate(st, run.log);
    return st;
}

std::size_t reduction_bytes() {
    Run run;
    run.dark.tm = 1;  // the dark current's images too
    return reduction_bytes(run);
}

std::size_t reduction_bytes(Run& run) {
    // With room for the image the entries are read into and those kept
    // between the passes, their sums, the solid-angle factors, the read
    // buffers and the mask text.
    return ((image_arrays(run).size() + 2) * kImageValues + (8 + 2 * kKeptImages) * kDetPixels) * sizeof(float);
}

Status reduce(Run& run, const Console& con) {
    Status st = reduce_images(run, con);
    locate(st, run.log);
    return st;
}

Status write_outputs(const Run& run, const Console& con) {
    Status st = write_files(run, con);
    locate(st, run.log);
    return st;
}

Status mask_run(Run& run, const Console& con) {
    Status st = make_mask_file(run, con);
    locate(st, run.log);
    return st;
}

Status beam_center_run(Run& run, const Console& con) {
    Status st = measure_beam_centre(run, con);
    locate(st, run.log);
    return st;
}

}  // namespace pk
