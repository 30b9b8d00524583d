// The HDF5 writer of the NXcanSAS file (see nxcansas_h5.h).
#include "nxcansas_h5.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <iterator>
#include <memory>
#include <utility>

#include "pelkaro/files.h"

namespace pk {

namespace {

// The file driver of the writer: the library's reads and writes of the
// file go to a file descriptor.  A write that fails is remembered (its
// errno, in the writer) and, like every write after it, kept in memory
// instead, so that what the library reads back is what it wrote and no
// call of the library ever fails for it.
struct DriverInfo {
    int fd;
    int* write_error;
};

struct KeptWrite {
    haddr_t addr;
    std::vector<unsigned char> bytes;
};

struct DescriptorFile : H5FD_t {
    int fd = -1;
    int* write_error = nullptr;
    haddr_t eoa = 0;  // end of the space the library allocated
    haddr_t eof = 0;  // end of what the file holds
    std::vector<KeptWrite> kept;  // the writes not written, in order
};

DescriptorFile* file_of(H5FD_t* f) { return static_cast<DescriptorFile*>(f); }
const DescriptorFile* file_of(const H5FD_t* f) { return static_cast<const DescriptorFile*>(f); }

H5FD_t* fd_open(const char*, unsigned flags, hid_t fapl, haddr_t) {
    const auto* info = static_cast<const DriverInfo*>(H5Pget_driver_info(fapl));
    if (!info) return nullptr;
    auto f = std::make_unique<DescriptorFile>();
    f->fd = info->fd;
    f->write_error = info->write_error;
    if ((flags & H5F_ACC_TRUNC) && *f->write_error == 0 && ::ftruncate(f->fd, 0) != 0) *f->write_error = errno;
    struct stat st {};
    if (*f->write_error == 0 && ::fstat(f->fd, &st) == 0) f->eof = static_cast<haddr_t>(st.st_size);
    return f.release();  // the library's until fd_close
}

herr_t fd_close(H5FD_t* f) {
    const std::unique_ptr<DescriptorFile> owned(file_of(f));
    return 0;
}

// The features that decide where the library places things in the file,
// as for a file held in memory.
herr_t fd_query(const H5FD_t*, unsigned long* flags) {
    if (flags)
        *flags = H5FD_FEAT_AGGREGATE_METADATA | H5FD_FEAT_ACCUMULATE_METADATA | H5FD_FEAT_DATA_SIEVE |
                 H5FD_FEAT_AGGREGATE_SMALLDATA;
    return 0;
}

haddr_t fd_get_eoa(const H5FD_t* f, H5FD_mem_t) { return file_of(f)->eoa; }

herr_t fd_set_eoa(H5FD_t* f, H5FD_mem_t, haddr_t addr) {
    file_of(f)->eoa = addr;
    return 0;
}

haddr_t fd_get_eof(const H5FD_t* f, H5FD_mem_t) { return file_of(f)->eof; }

// All of a transfer, through interruptions and short counts; false with
// errno set when it fails.
template <class Io, class Buf>
bool whole(Io io, int fd, Buf* buf, std::size_t size, haddr_t addr) {
    while (size > 0) {
        const ssize_t n = io(fd, buf, size, static_cast<off_t>(addr));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        buf += n, size -= static_cast<std::size_t>(n), addr += static_cast<haddr_t>(n);
    }
    return true;
}

// Bytes written to the descriptor unless a write failed before: after a
// failure nothing more goes to it, and `write_error` keeps the first errno.
void write_unless_failed(int fd, int& write_error, const void* bytes, std::size_t size, haddr_t addr) {
    if (write_error == 0 && !whole(::pwrite, fd, static_cast<const char*>(bytes), size, addr)) write_error = errno;
}

herr_t fd_read(H5FD_t* h, H5FD_mem_t, hid_t, haddr_t addr, size_t size, void* out) {
    DescriptorFile& f = *file_of(h);
    auto* buf = static_cast<unsigned char*>(out);
    // Beyond the end of the file the bytes are 0.
    const std::size_t held = addr >= f.eof ? 0 : static_cast<std::size_t>(std::min<haddr_t>(size, f.eof - addr));
    std::memset(buf + held, 0, size - held);
    if (held > 0 && *f.write_error == 0 && !whole(::pread, f.fd, buf, held, addr)) return -1;
    for (const KeptWrite& k : f.kept) {
        const haddr_t from = std::max(addr, k.addr);
        const haddr_t to = std::min<haddr_t>(addr + size, k.addr + k.bytes.size());
        if (from < to) std::memcpy(buf + (from - addr), k.bytes.data() + (from - k.addr), to - from);
    }
    return 0;
}

herr_t fd_write(H5FD_t* h, H5FD_mem_t, hid_t, haddr_t addr, size_t size, const void* in) {
    DescriptorFile& f = *file_of(h);
    const auto* buf = static_cast<const unsigned char*>(in);
    write_unless_failed(f.fd, *f.write_error, buf, size, addr);
    if (*f.write_error != 0) f.kept.push_back({addr, std::vector<unsigned char>(buf, buf + size)});
    f.eof = std::max<haddr_t>(f.eof, addr + size);
    return 0;
}

// Bytes the writer writes itself into the space of a dataset, at an
// address of the file: as fd_write writes, but not kept after a failure
// (the library never reads them back).
void raw_write(H5FD_t* h, haddr_t addr, const std::string& bytes) {
    DescriptorFile& f = *file_of(h);
    write_unless_failed(f.fd, *f.write_error, bytes.data(), bytes.size(), addr);
    f.eof = std::max<haddr_t>(f.eof, addr + bytes.size());
}

// What H5Fget_vfd_handle gives the writer: the file itself.
herr_t fd_get_handle(H5FD_t* f, hid_t, void** handle) {
    *handle = f;
    return 0;
}

// The file ends where the library's space ends.
herr_t fd_truncate(H5FD_t* h, hid_t, hbool_t) {
    DescriptorFile& f = *file_of(h);
    if (f.eof == f.eoa) return 0;
    if (*f.write_error == 0 && ::ftruncate(f.fd, static_cast<off_t>(f.eoa)) != 0) *f.write_error = errno;
    f.eof = f.eoa;
    return 0;
}

H5FD_class_t descriptor_class() {
    H5FD_class_t c{};
    c.name = "pelkaro_descriptor";
    c.maxaddr = static_cast<haddr_t>(~std::size_t{0} - 1);
    c.fc_degree = H5F_CLOSE_WEAK;
    c.fapl_size = sizeof(DriverInfo);
    c.open = fd_open;
    c.close = fd_close;
    c.query = fd_query;
    c.get_eoa = fd_get_eoa;
    c.set_eoa = fd_set_eoa;
    c.get_eof = fd_get_eof;
    c.read = fd_read;
    c.write = fd_write;
    c.truncate = fd_truncate;
    c.get_handle = fd_get_handle;
    const H5FD_mem_t map[H5FD_MEM_NTYPES] = H5FD_FLMAP_DICHOTOMY;
    std::copy(std::begin(map), std::end(map), std::begin(c.fl_map));
    return c;
}

}  // namespace

Handle& Handle::operator=(Handle&& o) noexcept {
    if (this != &o) {
        close();
        id_ = o.id_;
        close_ = o.close_;
        o.id_ = -1;
    }
    return *this;
}

bool Handle::close() {
    herr_t r = 0;
    if (id_ >= 0 && close_) r = close_(id_);
    id_ = -1;
    return r >= 0;
}

namespace {

TypeFacts facts_of(hid_t mem, hid_t file) {
    TypeFacts t;
    t.mem = mem, t.file = file;
    t.size = H5Tget_size(mem);
    t.text = H5Tis_variable_str(mem) > 0;
    t.kind = static_cast<int>(H5Tget_class(mem));
    t.as_in_memory = !t.text && H5Tequal(mem, file) > 0;
    return t;
}

}  // namespace

Writer::Writer() {
    // The library's own error stack printing is off; failures are reported
    // by the caller in its words.
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    text_type_ = Handle(H5Tcopy(H5T_C_S1), H5Tclose);
    if (!text_type_.valid() || H5Tset_size(text_type_.id(), H5T_VARIABLE) < 0 ||
        H5Tset_cset(text_type_.id(), H5T_CSET_UTF8) < 0)
        fail("the HDF5 library could not make a string type");
    xfer_ = Handle(H5Pcreate(H5P_DATASET_XFER), H5Pclose);
    if (!xfer_.valid()) fail("the HDF5 library could not set up its transfers");
    text_ = facts_of(text_type_.id(), text_type_.id());
    f64_ = facts_of(H5T_NATIVE_DOUBLE, H5T_IEEE_F64LE);
    f32_ = facts_of(H5T_NATIVE_FLOAT, H5T_IEEE_F32LE);
    u8_ = facts_of(H5T_NATIVE_UINT8, H5T_STD_U8LE);
    i32_ = facts_of(H5T_NATIVE_INT, H5T_STD_I32LE);
}

void Writer::fail(const std::string& what) {
    if (why_.empty()) why_ = what;
}

namespace {

// The library keeps the structure of the objects it made (their headers
// and the heap collections of the variable-length strings, decoded: in
// memory several times their size in the file) in a cache that grows up to
// 32 MiB of file bytes.  The file's few dozen objects and the heap of a
// list of names, each written once, need only a little of it: 256 KiB,
// not grown.
bool small_cache(hid_t fapl) {
    H5AC_cache_config_t config{};
    config.version = H5AC__CURR_CACHE_CONFIG_VERSION;
    if (H5Pget_mdc_config(fapl, &config) < 0) return false;
    config.set_initial_size = true;
    config.initial_size = std::size_t{1} << 18;
    config.min_size = config.initial_size;
    config.max_size = config.initial_size;
    config.incr_mode = H5C_incr__off;
    config.flash_incr_mode = H5C_flash_incr__off;
    config.decr_mode = H5C_decr__off;
    return H5Pset_mdc_config(fapl, &config) >= 0;
}

}  // namespace

Node Writer::create(const std::string& file_name, int fd) { return open_file(file_name, fd, false); }

Node Writer::open_file(const std::string& file_name, int fd, bool existing) {
    Node file;
    file.path = "/";
    if (!ok()) return file;
    // Closing the file closes whatever is still open in it.
    static const H5FD_class_t kDriver = descriptor_class();
    driver_ = Handle(H5FDregister(&kDriver), H5FDunregister);
    Handle fapl(H5Pcreate(H5P_FILE_ACCESS), H5Pclose);
    const DriverInfo info{fd, &write_error_};
    if (!driver_.valid() || !fapl.valid() || H5Pset_driver(fapl.id(), driver_.id(), &info) < 0 ||
        H5Pset_fclose_degree(fapl.id(), H5F_CLOSE_STRONG) < 0 || !small_cache(fapl.id())) {
        fail("the HDF5 library could not set up a file");
        return file;
    }
    file.h = Handle(existing ? H5Fopen(file_name.c_str(), H5F_ACC_RDWR, fapl.id())
                             : H5Fcreate(file_name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, fapl.id()),
                    H5Fclose);
    if (!file.h.valid()) fail(existing ? "the HDF5 library could not open the kept file" :
                                         "the HDF5 library could not create the file");
    file_ = file.h.id();
    return file;
}

void Writer::finish(Node& file) {
    if (ok() && H5Fflush(file.h.id(), H5F_SCOPE_GLOBAL) < 0) fail("the HDF5 library could not complete the file");
    if (!file.h.close()) fail("the HDF5 library could not close the file");
    file_ = -1;
}

namespace {

std::string child_path(const Node& parent, const std::string& name) {
    return parent.path == "/" ? "/" + name : parent.path + "/" + name;
}

std::size_t count_of(const std::vector<hsize_t>& dims) {
    std::size_t n = 1;
    for (hsize_t d : dims) n *= static_cast<std::size_t>(d);
    return n;
}

// The type of a NUL-terminated UTF-8 text of `size` bytes (long_text's);
// not valid when the library cannot make it.
Handle fixed_text_type(std::size_t size) {
    Handle type(H5Tcopy(H5T_C_S1), H5Tclose);
    if (type.valid() && (H5Tset_size(type.id(), size + 1) < 0 || H5Tset_strpad(type.id(), H5T_STR_NULLTERM) < 0 ||
                         H5Tset_cset(type.id(), H5T_CSET_UTF8) < 0))
        type.close();
    return type;
}

// The extent of a dataspace (none: scalar); false when it cannot be read.
bool extent_of(hid_t space, std::vector<hsize_t>& dims) {
    const int rank = H5Sget_simple_extent_ndims(space);
    if (rank < 0) return false;
    dims.assign(static_cast<std::size_t>(rank), 0);
    return rank == 0 || H5Sget_simple_extent_dims(space, dims.data(), nullptr) == rank;
}

// Does an object of a reopened file (its type and space, both taken over
// and closed here) hold what the layout would make it of: type `want`
// (a text: variable-length, or fixed of the same size) and extent `dims`?
bool same_kind(hid_t type_id, hid_t space_id, hid_t want, const std::vector<hsize_t>& dims) {
    const Handle type(type_id, H5Tclose), space(space_id, H5Sclose);
    std::vector<hsize_t> have;
    if (!type.valid() || !space.valid() || !extent_of(space.id(), have) || have != dims) return false;
    if (H5Tget_class(type.id()) != H5T_STRING || H5Tget_class(want) != H5T_STRING) return H5Tequal(type.id(), want) > 0;
    const htri_t v = H5Tis_variable_str(type.id()), w = H5Tis_variable_str(want);
    return v >= 0 && v == w && H5Tget_cset(type.id()) == H5Tget_cset(want) &&
           (v > 0 || H5Tget_size(type.id()) == H5Tget_size(want));
}

// Values as an item of the file lists them: their extent, the kind and
// size of their type, then the values (a text's bytes, each text led by
// its length).
std::string encoded_head(const TypeFacts& t, const std::vector<hsize_t>& dims) {
    std::string v;
    for (hsize_t d : dims) v.append(reinterpret_cast<const char*>(&d), sizeof d);
    v += static_cast<char>(t.text ? 'T' : 'A' + t.kind);
    v.append(reinterpret_cast<const char*>(&t.size), sizeof t.size);
    return v;
}

std::string encoded(const TypeFacts& t, const std::vector<hsize_t>& dims, const void* data) {
    std::string v = encoded_head(t, dims);
    const std::size_t n = count_of(dims);
    if (!t.text) {
        v.append(static_cast<const char*>(data), n * t.size);
        return v;
    }
    for (std::size_t k = 0; k < n; ++k) {
        const std::string_view one(static_cast<const char* const*>(data)[k]);
        const std::size_t length = one.size();
        v.append(reinterpret_cast<const char*>(&length), sizeof length);
        v += one;
    }
    return v;
}

// Are `kept`'s values of this type and extent (only the values may differ)?
bool same_shape(const std::string& kept, const TypeFacts& t, const std::vector<hsize_t>& dims) {
    const std::string head = encoded_head(t, dims);
    return kept.compare(0, head.size(), head) == 0 && (t.text || kept.size() == head.size() + count_of(dims) * t.size);
}

// Is `kept` the encoding of these values?  Numbers are compared where they lie.
bool same_values(const std::string& kept, const TypeFacts& t, const std::vector<hsize_t>& dims, const void* data) {
    if (t.text) return kept == encoded(t, dims, data);
    const std::size_t bytes = count_of(dims) * t.size;
    return same_shape(kept, t, dims) &&
           (bytes == 0 || std::memcmp(kept.data() + (kept.size() - bytes), data, bytes) == 0);
}

// Where an open object's header lies in the file; 0 when the library
// cannot tell.  (Object addresses as HDF5 1.10 gives them; later versions
// keep these calls among their older ones.)
#if H5_VERSION_GE(1, 12, 0)
using ObjectInfo = H5O_info1_t;
#else
using ObjectInfo = H5O_info_t;
#endif
std::uint64_t header_of(hid_t object) {
    ObjectInfo info{};
    return H5Oget_info2(object, &info, H5O_INFO_BASIC) < 0 || info.addr == HADDR_UNDEF ? 0 : info.addr;
}

}  // namespace

Node Writer::group(const Node& parent, const std::string& name, const char* nx_class, const char* cansas_class) {
    Node g;
    g.path = child_path(parent, name);
    if (!ok()) return g;
    // A group of a reopened file is not opened: its attributes are written by its path.
    if (!kept_) {
        g.h = Handle(H5Gcreate2(parent.h.id(), name.c_str(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), H5Gclose);
        if (!g.h.valid()) {
            fail("could not create the group " + g.path);
            return g;
        }
    }
    item(g.path, std::string());
    attr(g, "NX_class", nx_class);
    if (cansas_class) attr(g, "canSAS_class", cansas_class);
    return g;
}

Node Writer::make_dataset(const Node& parent, const std::string& name, hid_t file_type,
                          const std::vector<hsize_t>& dims, hid_t dcpl) {
    Node d;
    d.path = child_path(parent, name);
    if (!ok()) return d;
    Handle space(dims.empty() ? H5Screate(H5S_SCALAR)
                              : H5Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr),
                 H5Sclose);
    if (space.valid())
        d.h = Handle(H5Dcreate2(parent.h.id(), name.c_str(), file_type, space.id(), H5P_DEFAULT, dcpl, H5P_DEFAULT),
                     H5Dclose);
    if (!d.h.valid()) fail("could not write the dataset " + d.path);
    return d;
}

bool Writer::write_part(const Node& d, hid_t mem_type, hid_t mem_space, hid_t file_space, std::size_t bytes,
                        const void* data) {
    // The conversion buffers the write allocates (and clears) are as large
    // as the values, not the library's 1 MiB for every dataset.
    if (ok() && H5Pset_buffer(xfer_.id(), std::clamp<std::size_t>(bytes, 64, 1 << 20), nullptr, nullptr) >= 0 &&
        H5Dwrite(d.h.id(), mem_type, mem_space, file_space, xfer_.id(), data) >= 0)
        return true;
    fail("could not write the dataset " + d.path);
    return false;
}

Node Writer::dataset(const Node& parent, const std::string& name, const TypeFacts& t,
                     const std::vector<hsize_t>& dims, const void* data) {
    Node d;
    d.path = child_path(parent, name);
    if (!ok()) return d;
    if (kept_) {
        const NxFileItem* k = kept_of(d.path, t, dims);
        if (!k || same_values(k->value, t, dims, data)) return d;
        // Values that lie in the file as they lie in memory are written
        // there by the writer itself; the others wait for the library.
        if (t.as_in_memory && k->data != 0)
            write_in_place(*k, data, count_of(dims) * t.size);
        else
            wait_for_library(*k, d.path, nullptr, &t, dims, data);
        return d;  // its attributes are written by its path
    }
    d = make_dataset(parent, name, t.file, dims, H5P_DEFAULT);
    if (ok()) write_part(d, t.mem, H5S_ALL, H5S_ALL, count_of(dims) * std::max(t.size, H5Tget_size(t.file)), data);
    if (record_) {
        item(d.path, encoded(t, dims, data));
        place(d, t.as_in_memory);
    }
    return d;
}

void Writer::place(const Node& d, bool values_in_place) {
    if (!record_ || record_->items.empty() || !ok()) return;
    NxFileItem& it = record_->items.back();
    it.header = header_of(d.h.id());
    const haddr_t at = values_in_place ? H5Dget_offset(d.h.id()) : HADDR_UNDEF;
    it.data = at == HADDR_UNDEF ? 0 : at;
}

void Writer::write_in_place(const NxFileItem& k, const void* data, std::size_t size) {
    in_place_.push_back(InPlace{k.data, std::string(static_cast<const char*>(data), size)});
}

void Writer::write_in_place() {
    // As the file driver writes (these bytes the library never reads back).
    for (const InPlace& v : in_place_)
        write_unless_failed(kept_fd_, write_error_, v.bytes.data(), v.bytes.size(), v.at);
    in_place_.clear();
}

void Writer::wait_for_library(const NxFileItem& k, const std::string& object, const char* attr, const TypeFacts* t,
                              const std::vector<hsize_t>& dims, const void* data) {
    Pending p;
    p.kept = &k, p.object = object, p.attr = attr ? attr : "", p.type = t, p.dims = dims;
    const std::size_t n = count_of(dims);
    if (!t)
        p.values = static_cast<const char*>(data);
    else if (!t->text)
        p.values.assign(static_cast<const char*>(data), n * t->size);
    else
        for (std::size_t i = 0; i < n; ++i) p.texts.emplace_back(static_cast<const char* const*>(data)[i]);
    pending_.push_back(std::move(p));
}

Node Writer::text(const Node& parent, const std::string& name, std::string value) {
    utf8_clean_in_place(value);
    const char* p = value.c_str();
    return dataset(parent, name, text_, {}, &p);
}

namespace {

// The strings of values[from, from + n) for the library: pointers to the
// texts, or to cleaned copies of those that are not well-formed UTF-8
// (reserved first, so that none moves).
void text_pointers(const std::vector<const std::string*>& values, std::size_t from, std::size_t n,
                   std::vector<const char*>& p, std::vector<std::string>& cleaned) {
    std::size_t unclean = 0;
    for (std::size_t k = from; k < from + n; ++k) unclean += !utf8_is_clean(*values[k]);
    cleaned.clear();
    cleaned.reserve(unclean);
    p.clear();
    for (std::size_t k = from; k < from + n; ++k) {
        if (utf8_is_clean(*values[k])) {
            p.push_back(values[k]->c_str());
        } else {
            cleaned.push_back(utf8_clean(*values[k]));
            p.push_back(cleaned.back().c_str());
        }
    }
}

}  // namespace

Node Writer::texts(const Node& parent, const std::string& name, const std::vector<const std::string*>& values) {
    Node d;
    d.path = child_path(parent, name);
    if (!ok()) return d;
    std::string value;
    std::vector<const char*> p;
    std::vector<std::string> cleaned;
    if (kept_ || record_) {
        text_pointers(values, 0, values.size(), p, cleaned);
        value = encoded(text_, {values.size()}, p.data());
    }
    if (kept_) {
        const NxFileItem* k = kept_of(d.path, text_, {values.size()});
        if (k && k->value != value) wait_for_library(*k, d.path, nullptr, &text_, {values.size()}, p.data());
        return d;
    }
    d = make_dataset(parent, name, text_type_.id(), {values.size()}, H5P_DEFAULT);
    write_texts(d, values);
    if (record_) {
        item(d.path, std::move(value));
        place(d, false);
    }
    return d;
}

void Writer::write_texts(const Node& d, const std::vector<const std::string*>& values) {
    // A slice at a time: the library converts every string into its heap,
    // and a slice's pointers and conversion buffers are all it needs.
    constexpr std::size_t kSlice = 1024;
    Handle file_space(ok() ? H5Dget_space(d.h.id()) : -1, H5Sclose);
    std::vector<const char*> p;
    std::vector<std::string> cleaned;
    for (std::size_t from = 0; ok() && from < values.size(); from += kSlice) {
        const std::size_t n = std::min(kSlice, values.size() - from);
        text_pointers(values, from, n, p, cleaned);
        const hsize_t start = from, count = n;
        Handle mem_space(H5Screate_simple(1, &count, nullptr), H5Sclose);
        if (!mem_space.valid() ||
            H5Sselect_hyperslab(file_space.id(), H5S_SELECT_SET, &start, nullptr, &count, nullptr) < 0) {
            fail("could not write the dataset " + d.path);
            break;
        }
        // A string in the file: 16 bytes (its length and where the heap holds it).
        write_part(d, text_type_.id(), mem_space.id(), file_space.id(), n * 16, p.data());
    }
}

Node Writer::long_text(const Node& parent, const std::string& name, std::size_t size,
                       const std::function<bool(std::string&)>& next) {
    Node d;
    d.path = child_path(parent, name);
    if (!ok()) return d;
    if (kept_) {
        if (!refill_text(parent, name, size, next)) fail("could not write the dataset " + d.path);
        return d;
    }
    // A string's size is a 32-bit number in the file.
    if (size >= 0xffffffffu) {
        fail("the text " + d.path + " is longer than an HDF5 string may be");
        return d;
    }
    const Handle type = fixed_text_type(size);
    Handle dcpl(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
    // Its bytes in one place of the file, given their space when the
    // dataset is made and never filled by the library: write_raw fills it.
    if (!type.valid() || !dcpl.valid() || H5Pset_layout(dcpl.id(), H5D_CONTIGUOUS) < 0 ||
        H5Pset_alloc_time(dcpl.id(), H5D_ALLOC_TIME_EARLY) < 0 || H5Pset_fill_time(dcpl.id(), H5D_FILL_TIME_NEVER) < 0) {
        fail("the HDF5 library could not make the type of " + d.path);
        return d;
    }
    d = make_dataset(parent, name, type.id(), {}, dcpl.id());
    if (!record_) {
        if (ok() && !write_raw(d, size, next)) fail("could not write the dataset " + d.path);
        return d;
    }
    // Listed as it is written, up to 16 MiB.
    constexpr std::size_t kLongest = std::size_t{1} << 24;
    std::string all;
    if (size < kLongest) all.reserve(size);
    const auto listed = [&](std::string& piece) {
        if (!next(piece)) return false;
        if (size < kLongest) all += utf8_clean(piece);
        return true;
    };
    if (ok() && !write_raw(d, size, listed)) fail("could not write the dataset " + d.path);
    if (size < kLongest) item(d.path, std::move(all)), place(d, true);
    else record_->items.clear(), record_ = nullptr;
    return d;
}

// The bytes of long_text's string, a block at a time, straight into the
// space the library gave it: the file has no user block, so the library's
// addresses are the file's.  False when the dataset has no such space or
// the pieces do not add up to `size`.
bool Writer::write_raw(const Node& d, std::size_t size, const std::function<bool(std::string&)>& next) {
    constexpr std::size_t kBlock = std::size_t{1} << 16;
    haddr_t at = H5Dget_offset(d.h.id());
    void* handle = nullptr;
    if (at == HADDR_UNDEF || H5Fget_vfd_handle(file_, H5P_DEFAULT, &handle) < 0 || !handle) return false;
    H5FD_t* const file = static_cast<H5FD_t*>(handle);
    std::string block, piece;
    block.reserve(kBlock);
    std::size_t given = 0;
    while (next(piece)) {
        utf8_clean_in_place(piece);
        given += piece.size();
        if (given > size) return false;
        block += piece;
        if (block.size() < kBlock) continue;
        raw_write(file, at, block);
        at += block.size();
        block.clear();
    }
    block += '\0';
    raw_write(file, at, block);
    return given == size;
}

Node Writer::number(const Node& parent, const std::string& name, double value, const std::string& unit) {
    Node d = dataset(parent, name, f64_, {}, &value);
    if (!unit.empty()) attr(d, "units", unit);
    return d;
}

Node Writer::floats(const Node& parent, const std::string& name, const std::vector<float>& v,
                    const std::vector<hsize_t>& dims, const std::string& unit) {
    if (v.size() != count_of(dims)) fail("the values of " + child_path(parent, name) + " do not fill it");
    Node d = dataset(parent, name, f32_, dims, v.data());
    if (!unit.empty()) attr(d, "units", unit);
    return d;
}

Node Writer::doubles(const Node& parent, const std::string& name, const std::vector<double>& v,
                     const std::vector<hsize_t>& dims, const std::string& unit) {
    if (v.size() != count_of(dims)) fail("the values of " + child_path(parent, name) + " do not fill it");
    Node d = dataset(parent, name, f64_, dims, v.data());
    if (!unit.empty()) attr(d, "units", unit);
    return d;
}

Node Writer::bytes(const Node& parent, const std::string& name, const std::vector<uint8_t>& v,
                   const std::vector<hsize_t>& dims) {
    if (v.size() != count_of(dims)) fail("the values of " + child_path(parent, name) + " do not fill it");
    return dataset(parent, name, u8_, dims, v.data());
}

void Writer::write_attr(const Node& n, const char* name, const TypeFacts& t, const std::vector<hsize_t>& dims,
                        const void* data) {
    if (!ok()) return;
    const std::string item_name = n.path + "@" + name;
    if (kept_) {
        const NxFileItem* k = kept_of(item_name, t, dims);
        if (k && !same_values(k->value, t, dims, data)) wait_for_library(*k, n.path, name, &t, dims, data);
        return;
    }
    Handle space(dims.empty() ? H5Screate(H5S_SCALAR)
                              : H5Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr),
                 H5Sclose);
    Handle a(space.valid() ? H5Acreate2(n.h.id(), name, t.file, space.id(), H5P_DEFAULT, H5P_DEFAULT) : -1,
             H5Aclose);
    if (!a.valid() || H5Awrite(a.id(), t.mem, data) < 0) fail("could not write the attribute " + item_name);
    if (record_) item(item_name, encoded(t, dims, data));
}

void Writer::attr(const Node& n, const char* name, std::string value) {
    utf8_clean_in_place(value);
    const char* p = value.c_str();
    write_attr(n, name, text_, {}, &p);
}

void Writer::attr(const Node& n, const char* name, int value) { write_attr(n, name, i32_, {}, &value); }

void Writer::attr(const Node& n, const char* name, const std::vector<int>& values) {
    write_attr(n, name, i32_, {values.size()}, values.data());
}

namespace {

// Length of the well-formed UTF-8 sequence at s[i], or 0.
std::size_t utf8_length(const std::string& s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0u; };
    const unsigned c = byte(i);
    if (c == 0) return 0;  // a NUL would end the string
    if (c < 0x80) return 1;
    std::size_t n = 0;
    unsigned lo = 0x80, hi = 0xbf;  // range of the second byte
    if (c >= 0xc2 && c <= 0xdf) n = 2;
    else if (c >= 0xe0 && c <= 0xef) n = 3, lo = c == 0xe0 ? 0xa0 : 0x80, hi = c == 0xed ? 0x9f : 0xbf;
    else if (c >= 0xf0 && c <= 0xf4) n = 4, lo = c == 0xf0 ? 0x90 : 0x80, hi = c == 0xf4 ? 0x8f : 0xbf;
    else return 0;
    if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xbf) return 0;
    return n;
}

}  // namespace

void utf8_clean_in_place(std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = utf8_length(s, i);
        if (n == 0) s[i++] = '?';
        else i += n;
    }
}

bool utf8_is_clean(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = utf8_length(s, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string utf8_clean(const std::string& s) {
    std::string out = s;
    utf8_clean_in_place(out);
    return out;
}

std::string iso_time(std::time_t t) {
    std::tm local{};
    if (!localtime_r(&t, &local)) return "";
    char text[64];
    if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local) == 0) return "";
    std::string s = text;
    if (s.size() >= 5) s.insert(s.size() - 2, ":");
    return s;
}

std::string base_name(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string open_failure(const std::string& path, int err) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return "cannot write " + path + ": it exists and is not a regular file";
    std::string why = "cannot create a file beside " + path;
    if (err != 0) why += std::string(": ") + std::strerror(err);
    return why;
}

const NxFileItem* Writer::kept_of(const std::string& name, const TypeFacts& t, const std::vector<hsize_t>& dims) {
    const NxFileItem* k = next_kept(name);
    if (k && !same_shape(k->value, t, dims)) {
        fail("the kept file's " + name + " is not what this file needs");
        return nullptr;
    }
    return k;
}

const NxFileItem* Writer::next_kept(const std::string& name) {
    if (next_item_ < kept_->items.size() && kept_->items[next_item_].name == name) return &kept_->items[next_item_++];
    fail("the kept file has no " + name + " in this place");
    return nullptr;
}

bool Writer::item(const std::string& name, std::string value) {
    if (!kept_) {
        if (record_) record_->items.push_back(NxFileItem{name, std::move(value)});
        return true;
    }
    const NxFileItem* k = next_kept(name);
    return k && k->value != value;
}

Node Writer::open_dataset(const NxFileItem& k, hid_t file_type, const std::vector<hsize_t>& dims) {
    Node d;
    d.path = k.name;
    if (!ok()) return d;
    // Straight at its header when the kept item says where it is: no walk
    // down the path.
    d.h = k.header != 0 ? Handle(H5Oopen_by_addr(file_, k.header), H5Oclose)
                        : Handle(H5Dopen2(file_, k.name.c_str(), H5P_DEFAULT), H5Dclose);
    if (!d.h.valid() || !same_kind(H5Dget_type(d.h.id()), H5Dget_space(d.h.id()), file_type, dims)) {
        d.h.close();
        fail("the kept file's " + k.name + " is not what this file needs");
    }
    return d;
}

// A long text of a reopened file: its pieces joined as long_text writes
// them, written over the dataset when they differ from the kept item's;
// false when they are too many to hold or do not add up to `size`.
bool Writer::refill_text(const Node& parent, const std::string& name, std::size_t size,
                         const std::function<bool(std::string&)>& next) {
    constexpr std::size_t kLongest = std::size_t{1} << 24;
    if (size >= kLongest) return false;
    std::string all, piece;
    all.reserve(size + 1);
    while (next(piece)) {
        utf8_clean_in_place(piece);
        if (all.size() + piece.size() > size) return false;
        all += piece;
    }
    if (all.size() != size) return false;
    const NxFileItem* k = next_kept(child_path(parent, name));
    if (k && k->value.size() != size) fail("the kept file's " + k->name + " is not what this file needs");
    if (!k || !ok() || k->value == all) return ok();
    if (k->data != 0) {
        all += '\0';
        write_in_place(*k, all.data(), all.size());
    } else {
        wait_for_library(*k, k->name, nullptr, nullptr, {}, all.c_str());
    }
    return ok();
}

void Writer::record_into(NxFileImage& image) {
    image = NxFileImage{};
    record_ = &image;
}

Node Writer::reopen(const std::string& file_name, int fd, const NxFileImage& image) {
    Node file;
    file.path = "/";
    kept_ = &image;
    next_item_ = 0;
    kept_name_ = file_name;
    kept_fd_ = fd;
    pending_.clear();
    in_place_.clear();
    return file;
}

bool Writer::fits() const { return ok() && kept_ && next_item_ == kept_->items.size(); }

bool Writer::refilled() {
    if (!fits()) return false;
    write_in_place();
    Node file = open_file(kept_name_, kept_fd_, true);
    for (const Pending& p : pending_) {
        if (!ok()) break;
        if (p.attr.empty()) apply(p);
        else apply_attr(p);
    }
    finish(file);
    return ok();
}

// A dataset's values that waited for the library, written over it.
void Writer::apply(const Pending& p) {
    if (!p.type) {  // a long text: one fixed-length string of its size
        const Handle type = fixed_text_type(p.values.size());
        const Node d = type.valid() ? open_dataset(*p.kept, type.id(), {}) : Node{};
        if (!type.valid() || !d.h.valid() ||
            H5Dwrite(d.h.id(), type.id(), H5S_ALL, H5S_ALL, H5P_DEFAULT, p.values.c_str()) < 0)
            fail("could not write the dataset " + p.object);
        return;
    }
    const Node d = open_dataset(*p.kept, p.type->file, p.dims);
    if (!ok()) return;
    if (p.type->text && !p.dims.empty()) {
        std::vector<const std::string*> values;
        for (const std::string& t : p.texts) values.push_back(&t);
        write_texts(d, values);
    } else if (p.type->text) {  // one text
        const char* one = p.texts.empty() ? "" : p.texts[0].c_str();
        write_part(d, p.type->mem, H5S_ALL, H5S_ALL, 16, &one);
    } else {
        const std::size_t bytes = count_of(p.dims) * std::max(p.type->size, H5Tget_size(p.type->file));
        write_part(d, p.type->mem, H5S_ALL, H5S_ALL, bytes, p.values.data());
    }
}

// An attribute's values that waited for the library, written over it
// (opened through its object: HDF5 1.10 fails to write a group's attribute
// opened by the group's path).
void Writer::apply_attr(const Pending& p) {
    const Handle object(H5Oopen(file_, p.object.c_str(), H5P_DEFAULT), H5Oclose);
    Handle a(object.valid() ? H5Aopen(object.id(), p.attr.c_str(), H5P_DEFAULT) : -1, H5Aclose);
    if (a.valid() && !same_kind(H5Aget_type(a.id()), H5Aget_space(a.id()), p.type->file, p.dims)) a.close();
    std::vector<const char*> texts;
    for (const std::string& t : p.texts) texts.push_back(t.c_str());
    const void* data = p.type->text ? static_cast<const void*>(texts.data()) : p.values.data();
    if (!a.valid() || H5Awrite(a.id(), p.type->mem, data) < 0) fail("could not write the attribute " + p.kept->name);
}

namespace {

Status unwritten(std::string reason) { return failure(Stage::output, Code::cannot_write, std::move(reason)); }

// The kept file's bytes placed in `fd`, as the whole of it; false when
// they could not all be written.
bool placed(int fd, const NxFileImage& image) {
    return whole(::pwrite, fd, image.bytes.data(), image.bytes.size(), 0) &&
           ::ftruncate(fd, static_cast<off_t>(image.bytes.size())) == 0;
}

// Takes `held` (unless it holds no mutex) again when it goes.
struct Retake {
    std::unique_lock<std::mutex>& held;
    ~Retake() {
        if (held.mutex() && !held.owns_lock()) held.lock();
    }
};

enum class Refill { done, no_fit, failed };

// The kept file `image` made into this one in `fd`: done; no_fit when the
// layout does not fit it (nothing written); failed when it fits but the
// file could not be completed (`fd` then holds part of it).  `write_error`:
// the errno of a write to the disk that failed.  Called and returning with
// `held` taken; the layout, which makes no call of the library in a
// reopened file, and the writing of the bytes run without it.
Refill refill(const std::string& path, int fd, const NxFileImage& image,
              const std::function<void(Writer&, Node&)>& layout, int& write_error,
              std::unique_lock<std::mutex>& held) {
    Writer w;
    Node root = w.reopen(path, fd, image);
    {
        const Retake retake{held};
        if (held.owns_lock()) held.unlock();
        layout(w, root);
        if (!w.fits()) return Refill::no_fit;
        if (!placed(fd, image)) return Refill::failed;
        w.write_in_place();
    }
    const bool done = w.refilled();
    write_error = w.write_error();
    return done ? Refill::done : Refill::failed;
}

// The file just written through `fd`, kept in `image` with its items
// (emptied when larger than 64 MiB, not listed whole or not read back).
void keep(int fd, NxFileImage& image) {
    constexpr off_t kLargest = off_t{1} << 26;
    struct stat st {};
    if (image.items.empty() || ::fstat(fd, &st) != 0 || st.st_size <= 0 || st.st_size > kLargest) {
        image = NxFileImage{};
        return;
    }
    image.bytes.resize(static_cast<std::size_t>(st.st_size));
    if (!whole(::pread, fd, image.bytes.data(), image.bytes.size(), 0)) image = NxFileImage{};
}

// The temporary file closed and, when complete, put in the place of `path`,
// under the directory's output lock: a run writing the same file at the
// same time (another Pelkaro) puts its own there before or after.  Taken
// only for the rename, so that threads writing other files into the
// directory do not wait for each other's writing.
bool finish_locked(const std::string& path, AtomicFile& out, bool complete) {
    OutputLock lock;
    if (complete) lock.acquire(path);
    return atomic_finish(out, complete);
}

// A file written afresh: the writer's failure ("" when none) and the errno
// of the first write to the disk that failed (0 when none).
struct Fresh {
    std::string why;
    int write_error = 0;
};

// `made` put first among the kept files: at most three, of 64 MiB together.
void keep_first(std::vector<NxFileImage>& kept, NxFileImage made) {
    constexpr std::size_t kFiles = 3, kBytes = std::size_t{1} << 26;
    if (made.bytes.empty()) return;
    kept.insert(kept.begin(), std::move(made));
    std::size_t bytes = 0, n = 0;
    while (n < kept.size() && n < kFiles && (bytes += kept[n].bytes.size()) <= kBytes) ++n;
    kept.resize(std::max<std::size_t>(n, 1));
}

// The file written afresh into `fd` as the library makes it, and kept
// first in `kept` (unless null) when complete.
Fresh write_fresh(const std::string& path, int fd, const std::function<void(Writer&, Node&)>& layout,
                  std::vector<NxFileImage>* kept) {
    Writer w;
    NxFileImage made;
    if (kept) w.record_into(made);
    {
        Node root = w.create(path, fd);
        layout(w, root);
        w.finish(root);
    }
    if (!w.ok()) return Fresh{w.why(), 0};
    if (kept && w.write_error() == 0) {
        keep(fd, made);
        keep_first(*kept, std::move(made));
    }
    return Fresh{std::string(), w.write_error()};
}

// The file made from the first kept file its layout fits, which then comes
// first among them; false when none fits or the making failed.
bool refill_any(const std::string& path, int fd, std::vector<NxFileImage>& kept,
                const std::function<void(Writer&, Node&)>& layout, int& write_error,
                std::unique_lock<std::mutex>& held) {
    for (std::size_t k = 0; k < kept.size(); ++k) {
        const Refill r = refill(path, fd, kept[k], layout, write_error, held);
        if (r == Refill::no_fit) continue;
        if (r == Refill::failed) return false;
        std::rotate(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(k),
                    kept.begin() + static_cast<std::ptrdiff_t>(k + 1));
        return true;
    }
    return false;
}

}  // namespace

Status write_atomically(const std::string& path, const std::function<std::string(int)>& why_not_opened,
                        const std::function<void(Writer&, Node&)>& layout) {
    return write_atomically(path, why_not_opened, layout, nullptr, nullptr);
}

Status write_atomically(const std::string& path, const std::function<std::string(int)>& why_not_opened,
                        const std::function<void(Writer&, Node&)>& layout, std::vector<NxFileImage>* kept,
                        std::mutex* library) {
    AtomicFile out;
    errno = 0;
    if (!atomic_open(path, out)) return unwritten(why_not_opened(errno));
    const int fd = ::fileno(out.f);
    Fresh fresh;
    {
        // Every call into the library, the writers' last ones included, under `library`.
        std::unique_lock<std::mutex> held;
        if (library) held = std::unique_lock<std::mutex>(*library);
        if (!kept || !refill_any(path, fd, *kept, layout, fresh.write_error, held))
            fresh = write_fresh(path, fd, layout, kept);
    }
    if (!fresh.why.empty()) {
        atomic_finish(out, false);
        return unwritten(fresh.why + " (writing " + path + ")");
    }
    errno = 0;
    if (!finish_locked(path, out, fresh.write_error == 0)) {
        const int e = fresh.write_error != 0 ? fresh.write_error : errno;
        return unwritten("could not write " + path + (e != 0 ? std::string(": ") + std::strerror(e) : std::string()));
    }
    return ok_status();
}

}  // namespace pk
