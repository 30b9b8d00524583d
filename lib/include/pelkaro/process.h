// What a program's termination handler may ask of the library.  The library
// itself changes nothing process-wide (no signal dispositions, no allocator
// settings): each program sets its process up in its own main.
#ifndef PELKARO_PROCESS_H
#define PELKARO_PROCESS_H

namespace pk {

// Removes every temporary output file that any thread is writing at this
// moment.  Safe to call from a signal handler (it only reads the registry
// and calls unlink).
void remove_pending_temporaries();

}  // namespace pk

#endif
