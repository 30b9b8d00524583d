// Files as every program of this project treats them: inputs read only when
// they are regular files and not beyond a size limit, outputs written under
// a temporary name and renamed over the target only when complete (a
// termination signal removes the temporaries: pelkaro/process.h), and a
// lock that keeps two runs writing into one directory apart.
#ifndef PELKARO_FILES_H
#define PELKARO_FILES_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "pelkaro/status.h"

namespace pk {

// Closes a FILE when it goes out of scope.
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Opens a file for reading only when it is a regular file (a directory, FIFO
// or device is refused, so nothing blocks or reads endlessly).
std::FILE* open_regular(const std::string& path);

// The most any input file (parameter, detector data or mask file) may
// hold: a real detector file is well under 1 MB, a parameter file with
// thousands of lines too.  A file that reads on beyond it (a device-like
// file under /proc, a huge sparse file) is refused rather than read for ever.
constexpr std::uint64_t kInputLimit = std::uint64_t{64} << 20;
constexpr const char* kInputLimitText = "64 MiB";

// The UTF-8 byte-order mark some editors put at the start of a text file;
// it is skipped at the very start of every text input.
constexpr const char* kByteOrderMark = "\xEF\xBB\xBF";

// Reads the whole of a regular file into `text`, less a leading byte-order
// mark.  Code::cannot_read: missing, not a regular file, or a read error;
// Code::too_large: more than kInputLimit bytes (Stage::read; the caller
// words its own message where it has one), or more than `most` where that
// is less.
Status read_file(const std::string& path, std::string& text, std::uint64_t most = kInputLimit);

// An advisory lock on the directory that receives a run's output files,
// held from the first file written to the last, so the writes of two runs
// whose outputs collide never interleave.  Waits at most `seconds` for it;
// where it cannot be had (no locks on that file system, time out) the run
// writes without it.
class OutputLock {
public:
    OutputLock() = default;
    OutputLock(const OutputLock&) = delete;
    OutputLock& operator=(const OutputLock&) = delete;
    ~OutputLock();
    // Directory of `target` (a file name); true when the lock is held.
    bool acquire(const std::string& target, int seconds = 60);
    void release();

private:
    int fd_ = -1;
};


// Which file a name leads to: its device and inode (through symbolic
// links, hard links and different spellings of a path).
struct FileId {
    std::uint64_t dev = 0, ino = 0;
    bool operator==(const FileId& o) const { return dev == o.dev && ino == o.ino; }
    bool operator<(const FileId& o) const { return dev != o.dev ? dev < o.dev : ino < o.ino; }
};
// The file `path` leads to, or nothing where it cannot be looked up.
std::optional<FileId> file_id(const std::string& path);

// True when both names lead to one existing file.
bool same_file(const std::string& a, const std::string& b);

// True when `path` names a regular file that can be opened for reading.
bool regular_file_exists(const std::string& path);

// An output file that appears under the target's name only when complete:
// a new one written as a file without a name in the target's directory
// (O_TMPFILE) and linked as the target; one that replaces a file, or where
// the file system has no such files, written under a temporary name beside
// it and renamed over the target.  A temporary file still open when the
// object goes (an exception on the way) is discarded.
class AtomicFile {
public:
    std::FILE* f = nullptr;  // where the contents go, from atomic_open to the commit
    AtomicFile() = default;
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    ~AtomicFile();

private:
    // The temporary file's name, whose characters a termination handler
    // reads while the file exists: changed by these functions only.
    std::string tmp_;
    std::string target_;
    int fd_ = -1;  // the temporary file written without a FILE (atomic_open_whole)
    bool unnamed_ = false;  // the file has no name yet (tmp_ empty): linked as the target at the commit
    friend bool atomic_open(const std::string& target, AtomicFile& out);
    friend bool atomic_open_whole(const std::string& target, AtomicFile& out);
    friend bool atomic_write(AtomicFile& out, std::string_view text);
    friend bool atomic_commit(AtomicFile& out);
    friend void atomic_abort(AtomicFile& out);
};

// Creates the temporary file: for a target that does not exist, without a
// name where the file system allows (linked as the target by the commit,
// or, where a file has taken the name by then, as a temporary name renamed
// over it); else ".NAME.tmpXXXXXX" beside the target NAME (six random
// letters or digits), locked (flock) by its writer until it is renamed or
// removed.  Fails (false) when the target exists but is not a regular
// file, or the temporary file cannot be created.
bool atomic_open(const std::string& target, AtomicFile& out);
// The same for contents given whole to atomic_write, without a FILE (`f`
// stays null): the file is written with as few system calls as can be.
bool atomic_open_whole(const std::string& target, AtomicFile& out);
// Writes `text` into a file of atomic_open_whole; false (errno saying why)
// where it could not be written whole.
bool atomic_write(AtomicFile& out, std::string_view text);

// What atomic_write_file made of its file.
enum class WholeFile { written, not_opened, not_written };
// `text` as the file `target`, whole or not at all, as atomic_open_whole,
// atomic_write and atomic_finish would write it (a target that is not a
// regular file refused, one that is replaced), with fewer system calls: the
// file is created only once its contents are known.  Where it is not
// written, errno says why.
WholeFile atomic_write_file(const std::string& target, std::string_view text);

// The name of the target a temporary file stands for ("NAME" for
// ".NAME.tmpXXXXXX", NAME cut to the 240 bytes a temporary name keeps of
// it); empty when `file_name` (without directory) is not such a name.
std::string temporary_target(const std::string& file_name);
// Removes `path`, a temporary file that a writer killed before it finished
// left behind: removed only when no writer holds it (its lock is free) and
// it was last modified before `before` (nanoseconds since the epoch, as
// the file system's clock counts them); true when it was removed.
bool remove_stale_temporary(const std::string& path, std::int64_t before);
// Flushes, closes and renames over the target; false (and nothing left
// behind) on any write, close or rename failure.
bool atomic_commit(AtomicFile& out);
// Discards the temporary file.
void atomic_abort(AtomicFile& out);
// Commits when everything was written (`written`), else discards; true
// when the target now holds the complete new file.
bool atomic_finish(AtomicFile& out, bool written);

}  // namespace pk

#endif
