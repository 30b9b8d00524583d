// The small steps the runs share: failures with the run's messages, the
// allocation of an image, which buffers take part.
#ifndef PELKARO_RUN_STEPS_H
#define PELKARO_RUN_STEPS_H

#include <string>

#include "pelkaro/Pelkaro.h"
#include "pelkaro/status.h"

namespace pk {

// A failure of the run itself: no stage diagnostic, the run's message
// "Pelkaro:  " + reason + tail ("\n", "\nExiting program\n", ...).
Status fail(Stage stage, Code code, std::string reason, const char* tail);

// A stage's failure with the run's message after the stage's own; the
// reason stays the stage's.
Status with_message(Status st, std::string run_reason, const char* tail);

// A failure that concerns entry `entry` of keyword `kw` (unless it already
// names one).
Status about(Status st, int kw, int entry);

// A detector file without a single value would enter the reduction as an
// image of zeros: a sample gives a negative curve, a buffer or dark current
// no subtraction at all.  `what` names it in the message.
Status no_values(const Data2D& d, const std::string& what);

// Allocates both pixel arrays of an image, cleared to 0; false when the
// memory cannot be had.
bool allocate_image(Data2D& d);

// Which buffer entries take part is decided from the parameter file's times
// and holds for the whole run.
inline bool buffer_used(const Data2D& b) { return b.tm != 0; }

}  // namespace pk

#endif
