// How the library reports a failure: as a value that says which stage
// failed, why (a code), what it concerns (the sample or buffer entry, the
// keyword and the parameter-file line, where there is one) and the words
// Pelkaro prints for it.  Front ends read the fields; only Pelkaro prints
// the text, exactly as its console has always shown it.
#ifndef PELKARO_STATUS_H
#define PELKARO_STATUS_H

#include <string>

namespace pk {

// The part of a run that failed.
enum class Stage {
    none,
    parameters,   // reading, counting and parsing the parameter file
    read,         // reading a detector or mask file
    beam_centre,  // measuring the beam centre
    mask,         // making the internal mask
    solid_angle,  // the solid-angle correction
    sensitivity,  // normalising the flat field or correcting by it
    subtraction,  // background and dark-current subtraction, absolute scale
    average,      // the azimuthal average
    output,       // writing a result file
    transmission, // measuring direct-beam runs: beam centre, transmissions, absolute scale
    merge,        // joining the curves of several configurations
};

// Why it failed.
enum class Code {
    ok,
    cannot_read,      // a file that is missing, not a regular file or unreadable
    too_large,        // a file beyond the most an input file may hold
    bad_contents,     // a file whose contents cannot be used (a value out of range, a wrong grid)
    no_values,        // a detector file without a single value
    zero_time,        // a counting time that cannot normalise
    bad_parameter,    // a parameter line refused (a missing or invalid number, a missing file)
    missing_keyword,  // a keyword the run needs is not in the parameter file
    bad_count,        // no sample or no buffer line, or too many
    not_finite,       // a computed value that is not finite
    no_pixels,        // no detector pixel left to use
    too_many_bins,    // the curve would need more bins than it holds
    cannot_write,     // an output file that could not be written
    replaces_input,   // an output file that would be one of the run's inputs
    changed_file,     // an input file that changed while the run read it
    no_memory,        // an allocation failed
    line_too_long,    // a parameter line longer than a line may be
};

struct Status {
    Stage stage = Stage::none;
    Code code = Code::ok;
    int entry = -1;       // the sample or buffer entry (from 0) concerned (a join: the input), -1 for none
    int keyword = -1;     // the keyword (index into the keyword table) concerned, -1 for none
    int line = 0;         // its line in the parameter file, as an editor counts; 0 where not known
    std::string reason;   // what went wrong, in one sentence: no program name, stage label, "Exiting
                          // program" or line end; for messages of other programs and for bindings
    std::string run_reason;  // the run's own sentence on what it could not do, after the stage's (may be empty)
    std::string detail;   // the stage's own diagnostic as Pelkaro prints it (may be empty)
    std::string message;  // the run's message as Pelkaro prints it after the detail (may be empty)

    bool ok() const { return code == Code::ok; }
    // Everything Pelkaro prints for the failure, in order.
    std::string text() const { return detail + message; }
};

// Success.
inline Status ok_status() { return Status{}; }

// A failure of `stage`, its diagnostic in the usual form: "label -> reason"
// and a line end ("read_data -> ...", "file_out:write_2D -> ...").  An empty
// label: the reason is the whole diagnostic.
Status failure(Stage stage, Code code, const char* label, std::string reason);

// The same, concerning a keyword (and an entry of it).
Status failure_at(Stage stage, Code code, int keyword, int entry, const char* label, std::string reason);

// A failure whose printed diagnostic has a form of its own (several lines, a
// tail after the reason), given in full beside its reason.
Status failure_worded(Stage stage, Code code, std::string reason, std::string detail);

// A failure with its reason only, nothing printed for it: a step of a
// program's own, or the run's, which adds its message (Status::message).
Status failure(Stage stage, Code code, std::string reason);

// Names for messages and bindings: "read", "bad_contents", ...
const char* stage_name(Stage stage);
const char* code_name(Code code);

}  // namespace pk

#endif
