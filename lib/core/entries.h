// The sample and buffer entries of a reduction, read twice so that memory
// does not grow with their number: the first pass reads each entry as the
// run always has (its console lines, its refusals, in order) and keeps its
// header values only; the second, after the flat field is normalised,
// reads each again, corrects it and adds it to the run's pixel sums in
// entry order.  A file named on several lines is read once per pass; a
// file that changed between the passes stops the run.  The images of the
// first kKeptImages files (a sample and its buffer, for most runs) are
// kept from the first pass instead of read again: the second pass uses
// exactly what the first one checked.
#ifndef PELKARO_ENTRIES_H
#define PELKARO_ENTRIES_H

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "pelkaro/run.h"

namespace pk {

// What identifies the contents of a file between the passes.
struct FileStamp {
    uint64_t device = 0, inode = 0, size = 0;
    int64_t mtime_ns = 0;
    bool operator==(const FileStamp& o) const {
        return device == o.device && inode == o.inode && size == o.size && mtime_ns == o.mtime_ns;
    }
};

// A first-pass reading of a file, for the entries that name it again with
// the same counting time and monitor count.
struct FirstRead {
    std::string console;  // what reading it printed
    float tm = 0, monitor = 0, psd = 0;
    int32_t values = 0;
};

// The files whose images the first pass keeps for the second.
constexpr std::size_t kKeptImages = 2;

// A file's image as the first pass read it: the detector's pixels, all
// that the second pass takes of it.
struct KeptImage {
    std::vector<float> intens, uncert;  // kDetPixels values each
};

// What the passes keep: one image to read into, the first files' images,
// and what was learnt of each file.
struct EntryPasses {
    Data2D scratch;
    std::map<std::string, KeptImage> kept;       // images read in the first pass, by file name
    std::map<std::tuple<std::string, uint32_t, uint32_t>, FirstRead> first;  // by name, time and monitor bits
    std::map<std::string, FileStamp> stamps;                                   // files read from disk
    std::map<std::string, std::size_t> last;     // a file's last entry in the second pass
    std::map<std::string, Data2D> corrected;     // corrected images of files named again later
};

// The first pass: "Reading the sample data files..." and each sample, then
// each buffer in use, with the run's messages and refusals.  Each entry
// keeps its header values; no image is kept.
Status read_entries(Run& run, const SolidAngle& sa, EntryPasses& passes, const Console& con);

// The second pass: "Correcting the sensitivities...", then every sample and
// buffer in use read again, corrected by the solid angle (where asked) and
// the normalised flat field, and added to run.sam_sums and run.buf_sums.
Status sum_entries(Run& run, const SolidAngle& sa, EntryPasses& passes, const Console& con);

}  // namespace pk

#endif
