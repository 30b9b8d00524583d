// The process set-up that every program of this project makes in its main,
// and the allocation tuning that only Pelkaro asks for.  Nothing in the
// library does either.
#ifndef PELKARO_APP_H
#define PELKARO_APP_H

#include <cstddef>
#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"

namespace pk {

// Sets the process up for a command-line program of this project: closed
// standard descriptors reopened on /dev/null (so no output file can become
// the console), standard output line-buffered (a log shows how far a killed
// run got), SIGPIPE ignored (a console reader that goes away does not stop
// the run), SIGXFSZ ignored (a file-size limit makes the write fail
// cleanly), and SIGTERM, SIGINT, SIGHUP and SIGQUIT made to remove the
// temporary output files being written before the process dies of them.
void init_process();

// The packed loops the library is to take (Param::simd), from the
// environment variable PELKARO_ISA: "sse2" for the SSE2 loops even where
// the processor has AVX-512 or AVX2, "avx2" for at most AVX2's (to test
// them), the widest otherwise.  Read once in main and passed down as a
// value.
Simd simd_from_environment();

// The value of the command-line option `name` at argv[i]: "NAME=VALUE", the
// next argument, or (for a two-character option where `glued_short`) the
// rest of the argument ("-j4").  `matched` tells whether argv[i] is this
// option at all.  False, with `why`, when it has no value (or an empty one
// where `non_empty`); `i` is left at the last argument used.
bool option_value(int argc, const char* const* argv, int& i, const std::string& name, std::string& value,
                  bool& matched, std::string& why, bool non_empty = false, bool glued_short = false);

// The exit status of a program whose report went to standard output: when
// that output could not be written (a full disk, /dev/full, a closed pipe),
// says so on standard error and returns `failure` (or the program's own
// failure status where `keep_failure` and it already failed).
int finish_output(int status, const char* program, int failure, bool keep_failure = false);

// Names in a program's messages: "..." with tabs, line ends, quotes and
// other control characters escaped, as pelkaro-check's diagnostics show
// them; and a count with its noun ("1 error", "2 errors").
std::string quoted(const std::string& s);
// A value read from a user's file, quoted as above: one longer than 80
// characters shows its first 80 and "..." after the closing quote.
std::string quoted_value(const std::string& s);
std::string counted_as(long long n, const char* one, const char* many);

// For the rest of the process: arranges that the large allocations of about `bytes` made next (the pixel
// arrays of a run) lie together on memory the kernel backs with 2 MiB
// pages: each 4 KiB page first touched otherwise costs a page fault, the
// larger part of a run's system time.  Large allocations are taken from
// the heap from now on (not a mapping each) and the heap is no longer
// trimmed; the returned reservation fills the heap up to a 2 MiB boundary
// and is to be released once the allocations are made.  Only a hint: where
// the C library, the kernel or the memory do not allow it (or `bytes` is
// above 16 MiB), the allocations are made as usual.
std::vector<char> huge_page_heap(std::size_t bytes);

// For the rest of the process: large allocations (up to 64 MiB) are taken
// from the heaps and freed memory is kept there, for a program whose
// threads make and free the same arrays again and again: otherwise each
// array is a mapping of its own, or its pages go back to the kernel, and
// every page touched again costs a page fault (and, with several threads,
// the other processors' address translations are flushed).
void keep_freed_memory();

// For the calling thread, after keep_freed_memory: as huge_page_heap, the
// next `bytes` (up to 32 MiB) that its heap gives out on memory the kernel
// backs with 2 MiB pages as they are first touched, without changing the
// allocator's thresholds; the returned reservation (the heap filled up to
// a 2 MiB boundary) is to be kept while the thread works.  A thread that
// fills many arrays at its start (a batch row's images, plans and buffers)
// then pays a fault of a 2 MiB page for each 2 MiB instead of one for every
// 4 KiB: in a virtual machine, the larger part of a short batch's time.
std::vector<char> huge_page_arena(std::size_t bytes);

}  // namespace pk

#endif
