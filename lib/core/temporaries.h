// The registry of temporary output files being written, which a
// termination handler reads to remove them (pelkaro/process.h).
#ifndef PELKARO_TEMPORARIES_H
#define PELKARO_TEMPORARIES_H

namespace pk {

// Adds and removes a temporary file's path.  The characters at `path` must
// stay unchanged while it is registered; any thread may call these.
void register_temporary(const char* path);
void unregister_temporary(const char* path);

// Removes every registered file.  Async-signal-safe: it only reads the
// registry and calls unlink.
void remove_registered_temporaries();

}  // namespace pk

#endif
