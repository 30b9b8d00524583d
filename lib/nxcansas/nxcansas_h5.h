// A small writer over the HDF5 C library for the NXcanSAS file: groups,
// scalar and array datasets, attributes, written as they are made to a
// file the caller opened.  Every identifier is closed when its owner goes;
// the first failure is remembered in words and every later call does
// nothing, so a layout can be written as a plain sequence and checked once
// at the end.  HDF5's own error printing is switched off.
#ifndef PELKARO_NXCANSAS_H5_H
#define PELKARO_NXCANSAS_H5_H

#include <hdf5.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "pelkaro/nxcansas.h"
#include "pelkaro/status.h"

namespace pk {

// An HDF5 identifier and the function that closes it.
class Handle {
public:
    Handle() = default;
    Handle(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
    Handle(Handle&& o) noexcept : id_(o.id_), close_(o.close_) { o.id_ = -1; }
    Handle& operator=(Handle&& o) noexcept;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { close(); }
    hid_t id() const { return id_; }
    bool valid() const { return id_ >= 0; }
    // Closes now; false when the library reports a failure.
    bool close();

private:
    hid_t id_ = -1;
    herr_t (*close_)(hid_t) = nullptr;
};

// An open file, group or dataset with its path in the file, for messages.
struct Node {
    Handle h;
    std::string path;
};

// What the writer knows of a type of values it writes, asked of the
// library once: so that a reopened file is compared and written without
// calling it.
struct TypeFacts {
    hid_t mem = -1;             // the values' type in memory
    hid_t file = -1;            // the type the file holds them in
    std::size_t size = 0;       // one value's bytes in memory
    bool text = false;          // a variable-length string (its pointer)
    int kind = 0;               // the library's class of the type
    bool as_in_memory = false;  // the file holds the bytes memory does
};

class Writer {
public:
    Writer();
    Writer(const Writer&) = delete;  // the open file reports to this object
    Writer& operator=(const Writer&) = delete;
    bool ok() const { return why_.empty(); }
    const std::string& why() const { return why_; }

    // Creates the file, written to the open file descriptor `fd` (empty, or
    // emptied) as the library writes it, so that its bytes are never all
    // in memory; the root group is the returned node.  A write to `fd` that
    // fails does not fail the library: its bytes are kept in memory, where
    // the library finds them when it reads them back, so it always shuts
    // down cleanly, and the failure is told by write_error().
    Node create(const std::string& file_name, int fd);
    // Closes the file and everything still open in it; the file's bytes
    // are then all written to the descriptor, unless write_error() says
    // otherwise.
    void finish(Node& file);
    // From here on, every group, dataset and attribute written is listed in
    // `image`'s items with its values (a long text only up to 16 MiB; beyond
    // that the list is emptied and stays so).
    void record_into(NxFileImage& image);
    // Takes the file `image` holds, its bytes already in `fd`, to be made
    // into the next file there: from here on the layout must name `image`'s
    // items in their order, and only the values that differ from the items'
    // are written (each over the object that is there, which must have the
    // type and shape the layout would make); the writer fails otherwise.
    // Nothing is written and no call goes to the library until the layout
    // is done: the values that lie in the file as in memory (numbers, long
    // texts) are then written there by write_in_place(), and the others
    // (texts the library keeps in its heap, attributes) by refilled().
    Node reopen(const std::string& file_name, int fd, const NxFileImage& image);
    // Whether the layout named every item of the reopened file, as the file
    // holds them (only values differ), and nothing failed.
    bool fits() const;
    // Writes the reopened file's changed values that lie in the file as in
    // memory, straight to the descriptor (no call of the library).
    void write_in_place();
    // Writes what is still to write (as write_in_place), then opens the
    // reopened file, writes what waits for the library, and closes it (as
    // finish); false when the writer failed or the layout does not fit.
    bool refilled();
    // The errno of the first write to the descriptor that failed; 0 when
    // none did.
    int write_error() const { return write_error_; }

    // A group of NX_class nx_class and, unless null, canSAS_class cansas_class.
    Node group(const Node& parent, const std::string& name, const char* nx_class, const char* cansas_class);

    // Datasets; a unit, when not empty, goes into the "units" attribute.
    Node text(const Node& parent, const std::string& name, std::string value);
    // A list of texts, one element each, in order (variable-length UTF-8
    // strings, as text() writes one).
    Node texts(const Node& parent, const std::string& name, const std::vector<const std::string*>& values);
    // A text of `size` bytes too long to be held twice: one fixed-length
    // UTF-8 string of size + 1 bytes (NUL-terminated), its bytes written
    // into the file as `next` gives them, piece by piece, never all in
    // memory.  `next` puts the following piece into its argument and
    // returns true, or returns false at the end; each piece is cleaned as
    // text() cleans a value, on its own (it should end where a character
    // does).  The pieces must add up to `size`.
    Node long_text(const Node& parent, const std::string& name, std::size_t size,
                   const std::function<bool(std::string&)>& next);
    Node number(const Node& parent, const std::string& name, double value, const std::string& unit);
    Node floats(const Node& parent, const std::string& name, const std::vector<float>& v,
                const std::vector<hsize_t>& dims, const std::string& unit);
    Node doubles(const Node& parent, const std::string& name, const std::vector<double>& v,
                 const std::vector<hsize_t>& dims, const std::string& unit);
    Node bytes(const Node& parent, const std::string& name, const std::vector<uint8_t>& v,
               const std::vector<hsize_t>& dims);

    // Attributes of a group or dataset: text, one integer, integers.
    void attr(const Node& n, const char* name, std::string value);
    void attr(const Node& n, const char* name, int value);
    void attr(const Node& n, const char* name, const std::vector<int>& values);

private:
    // A write a reopened file waits for: a dataset's values (`attr` empty)
    // or an attribute's, of `type` (null: a long text, fixed of its size).
    struct Pending {
        const NxFileItem* kept = nullptr;
        std::string object, attr;
        const TypeFacts* type = nullptr;
        std::vector<hsize_t> dims;
        std::string values;              // numbers' bytes, or the long text
        std::vector<std::string> texts;  // variable-length texts
    };

    // A dataset made, not written (failing the writer when it cannot be).
    Node make_dataset(const Node& parent, const std::string& name, hid_t file_type, const std::vector<hsize_t>& dims,
                      hid_t dcpl);
    // Values written into a dataset (a part of it, as the spaces select);
    // `bytes` bounds the library's conversion buffers.
    bool write_part(const Node& d, hid_t mem_type, hid_t mem_space, hid_t file_space, std::size_t bytes,
                    const void* data);
    Node dataset(const Node& parent, const std::string& name, const TypeFacts& t, const std::vector<hsize_t>& dims,
                 const void* data);
    void write_attr(const Node& n, const char* name, const TypeFacts& t, const std::vector<hsize_t>& dims,
                    const void* data);
    // A changed value of a reopened file put in line for the library.
    void wait_for_library(const NxFileItem& k, const std::string& object, const char* attr, const TypeFacts* t,
                          const std::vector<hsize_t>& dims, const void* data);
    void apply(const Pending& p);
    void apply_attr(const Pending& p);
    bool write_raw(const Node& d, std::size_t size, const std::function<bool(std::string&)>& next);
    // Records where the dataset just listed lies in the file: its header
    // and, when `values_in_place` and the library gave them one piece of
    // the file, its values.
    void place(const Node& d, bool values_in_place);
    // In a reopened file: `size` bytes to write over the kept item's values
    // where they lie in the file (write_in_place() writes them).
    void write_in_place(const NxFileItem& k, const void* data, std::size_t size);
    void fail(const std::string& what);
    // The file `file_name` in `fd` through the descriptor driver: made
    // (emptied first), or an existing one opened for writing.
    Node open_file(const std::string& file_name, int fd, bool existing);
    // The item `name` with `value`: recorded when recording; in a reopened
    // file, true when its values must be written (they differ from the
    // kept item's), false when not or when it is not the next item (the
    // writer then fails).  True otherwise.
    bool item(const std::string& name, std::string value);
    // The kept item the layout names next when it is `name`, else null (the
    // writer then fails).
    const NxFileItem* next_kept(const std::string& name);
    // The same, when its values have this type and extent (else the writer fails).
    const NxFileItem* kept_of(const std::string& name, const TypeFacts& t, const std::vector<hsize_t>& dims);
    // The dataset of kept item `k` in a reopened file, of that type and shape.
    Node open_dataset(const NxFileItem& k, hid_t file_type, const std::vector<hsize_t>& dims);
    void write_texts(const Node& d, const std::vector<const std::string*>& values);
    bool refill_text(const Node& parent, const std::string& name, std::size_t size,
                     const std::function<bool(std::string&)>& next);

    Handle text_type_;  // variable-length UTF-8 strings
    Handle xfer_;       // the transfer properties of every write
    Handle driver_;     // the file driver that writes to the descriptor
    // The types written: texts, doubles, floats, bytes, integers.
    TypeFacts text_, f64_, f32_, u8_, i32_;
    hid_t file_ = -1;   // the open file (owned by the root node create() returns)
    int write_error_ = 0;
    NxFileImage* record_ = nullptr;      // the items written are listed here
    const NxFileImage* kept_ = nullptr;  // reopened: the file's items
    std::size_t next_item_ = 0;          // reopened: the item the layout names next
    std::string kept_name_;              // reopened: the file's name and descriptor
    int kept_fd_ = -1;
    std::vector<Pending> pending_;       // reopened: the writes that wait for the library
    struct InPlace {
        std::uint64_t at;
        std::string bytes;
    };
    std::vector<InPlace> in_place_;      // reopened: the values written where they lie
    std::string why_;
};

// The text with every byte that is not part of well-formed UTF-8 replaced
// by "?": HDF5 strings here are declared UTF-8.
std::string utf8_clean(const std::string& s);
// True when utf8_clean would leave the text as it is.
bool utf8_is_clean(const std::string& s);
// The same in place (each such byte becomes one "?").
void utf8_clean_in_place(std::string& s);

// Local time in ISO 8601 with the offset from UTC, e.g.
// 2024-05-01T14:03:07+02:00, as the files' time attributes give it.
std::string iso_time(std::time_t t);
// The name of a file without its directories, as the files name their runs.
std::string base_name(const std::string& path);

// Why an output file could not be started at `path` (err: errno of the
// attempt): a name that is there and is not a regular file, else the
// directory's refusal.
std::string open_failure(const std::string& path, int err);

// Writes the HDF5 file `path` whole or not at all: into a temporary file
// beside it that `layout` fills and that replaces `path` only when every
// byte is written (the replacing under the directory's output lock, so
// that two runs writing the same file put theirs one after the other).
// Refused with
// Stage::output, Code::cannot_write: `why_not_opened(errno)` when the
// temporary file cannot be made, else the writer's or the system's reason.
Status write_atomically(const std::string& path, const std::function<std::string(int)>& why_not_opened,
                        const std::function<void(Writer&, Node&)>& layout);
// The same through `kept` (null: as above), the files written afresh last,
// the latest first: the file is made from the first one its layout fits
// (Writer::reopen; its bytes written in one piece), which then comes first;
// when it fits none, the file is written afresh and, when not larger than
// 64 MiB, kept first (at most three, of 64 MiB together).  `library`, unless null,
// is held around every call of the HDF5 library: while a file is written
// afresh, and while a file made from the kept one is opened, given what
// waits for the library and closed (not while its layout runs, nor while
// the bytes go to the disk).
Status write_atomically(const std::string& path, const std::function<std::string(int)>& why_not_opened,
                        const std::function<void(Writer&, Node&)>& layout, std::vector<NxFileImage>* kept,
                        std::mutex* library);

}  // namespace pk

#endif
