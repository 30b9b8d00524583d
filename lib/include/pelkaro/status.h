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
};

struct Status {
    Stage stage = Stage::none;
    Code code = Code::ok;
    int entry = -1;       // the sample or buffer entry (from 0) concerned, -1 for none
    int keyword = -1;     // the keyword (index into the keyword table) concerned, -1 for none
    int line = 0;         // its line in the parameter file, as an editor counts; 0 where not known
    std::string detail;   // the stage's own diagnostic as Pelkaro prints it (may be empty)
    std::string message;  // the run's message as Pelkaro prints it after the detail (may be empty)

    bool ok() const { return code == Code::ok; }
    // Everything Pelkaro prints for the failure, in order.
    std::string text() const { return detail + message; }
    // The reason in one sentence, without the program's prefixes and the
    // "Exiting program" tail: the stage's detail where there is one, else
    // the run's message.
    std::string reason() const;
};

// The first line of a diagnostic or message without the stage's label
// ("read_data -> "), Pelkaro's prefix and the "...Exiting program" tail.
std::string reason_of(std::string text);

// Success.
inline Status ok_status() { return Status{}; }

// A failure of `stage` with the stage's own diagnostic.
Status failure(Stage stage, Code code, std::string detail);

// The same, concerning a keyword (and an entry of it).
Status failure_at(Stage stage, Code code, int keyword, int entry, std::string detail);

// Names for messages and bindings: "read", "bad_contents", ...
const char* stage_name(Stage stage);
const char* code_name(Code code);

}  // namespace pk

#endif
