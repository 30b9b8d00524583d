// The HDF5 writer of the NXcanSAS file (see nxcansas_h5.h).
#include "nxcansas_h5.h"

#include <cstddef>

namespace pk {

namespace {

constexpr std::size_t kConversionBuffer = 4096;  // bytes

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

Writer::Writer() {
    // The library's own error stack printing is off; failures are reported
    // by the caller in its words.
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    text_type_ = Handle(H5Tcopy(H5T_C_S1), H5Tclose);
    if (!text_type_.valid() || H5Tset_size(text_type_.id(), H5T_VARIABLE) < 0 ||
        H5Tset_cset(text_type_.id(), H5T_CSET_UTF8) < 0)
        fail("the HDF5 library could not make a string type");
    // The library's default conversion buffer is a zeroed mebibyte for every
    // dataset written (a string's conversion needs one); a few elements'
    // worth is plenty.
    transfer_ = Handle(H5Pcreate(H5P_DATASET_XFER), H5Pclose);
    if (!transfer_.valid() || H5Pset_buffer(transfer_.id(), kConversionBuffer, nullptr, nullptr) < 0)
        fail("the HDF5 library could not set up a transfer");
}

void Writer::fail(const std::string& what) {
    if (why_.empty()) why_ = what;
}

Node Writer::create(const std::string& file_name) {
    Node file;
    file.path = "/";
    if (!ok()) return file;
    // In memory, grown 1 MiB at a time; closing it closes whatever is
    // still open in it.
    Handle fapl(H5Pcreate(H5P_FILE_ACCESS), H5Pclose);
    if (!fapl.valid() || H5Pset_fapl_core(fapl.id(), std::size_t{1} << 20, false) < 0 ||
        H5Pset_fclose_degree(fapl.id(), H5F_CLOSE_STRONG) < 0) {
        fail("the HDF5 library could not set up a file");
        return file;
    }
    file.h = Handle(H5Fcreate(file_name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, fapl.id()), H5Fclose);
    if (!file.h.valid()) fail("the HDF5 library could not create the file");
    return file;
}

void Writer::finish(Node& file, std::vector<unsigned char>& image) {
    image.clear();
    if (ok()) {
        const ssize_t size = H5Fflush(file.h.id(), H5F_SCOPE_GLOBAL) < 0 ? -1
                                                                           : H5Fget_file_image(file.h.id(), nullptr, 0);
        if (size > 0) image.resize(static_cast<std::size_t>(size));
        if (size <= 0 || H5Fget_file_image(file.h.id(), image.data(), image.size()) != size)
            fail("the HDF5 library could not complete the file");
    }
    if (!file.h.close()) fail("the HDF5 library could not close the file");
}

namespace {

std::string child_path(const Node& parent, const std::string& name) {
    return parent.path == "/" ? "/" + name : parent.path + "/" + name;
}

}  // namespace

Node Writer::group(const Node& parent, const std::string& name, const char* nx_class, const char* cansas_class) {
    Node g;
    g.path = child_path(parent, name);
    if (!ok()) return g;
    g.h = Handle(H5Gcreate2(parent.h.id(), name.c_str(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), H5Gclose);
    if (!g.h.valid()) {
        fail("could not create the group " + g.path);
        return g;
    }
    attr(g, "NX_class", nx_class);
    attr(g, "canSAS_class", cansas_class);
    return g;
}

Node Writer::dataset(const Node& parent, const std::string& name, hid_t mem_type, hid_t file_type,
                     const std::vector<hsize_t>& dims, const void* data) {
    Node d;
    d.path = child_path(parent, name);
    if (!ok()) return d;
    Handle space(dims.empty() ? H5Screate(H5S_SCALAR)
                              : H5Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr),
                 H5Sclose);
    if (space.valid())
        d.h = Handle(H5Dcreate2(parent.h.id(), name.c_str(), file_type, space.id(), H5P_DEFAULT, H5P_DEFAULT,
                                H5P_DEFAULT),
                     H5Dclose);
    if (!d.h.valid() || H5Dwrite(d.h.id(), mem_type, H5S_ALL, H5S_ALL, transfer_.id(), data) < 0)
        fail("could not write the dataset " + d.path);
    return d;
}

namespace {

std::size_t count_of(const std::vector<hsize_t>& dims) {
    std::size_t n = 1;
    for (hsize_t d : dims) n *= static_cast<std::size_t>(d);
    return n;
}

}  // namespace

Node Writer::text(const Node& parent, const std::string& name, const std::string& value) {
    const std::string clean = utf8_clean(value);
    const char* p = clean.c_str();
    return dataset(parent, name, text_type_.id(), text_type_.id(), {}, &p);
}

Node Writer::number(const Node& parent, const std::string& name, double value, const std::string& unit) {
    Node d = dataset(parent, name, H5T_NATIVE_DOUBLE, H5T_IEEE_F64LE, {}, &value);
    if (!unit.empty()) attr(d, "units", unit);
    return d;
}

Node Writer::floats(const Node& parent, const std::string& name, const std::vector<float>& v,
                    const std::vector<hsize_t>& dims, const std::string& unit) {
    if (v.size() != count_of(dims)) fail("the values of " + child_path(parent, name) + " do not fill it");
    Node d = dataset(parent, name, H5T_NATIVE_FLOAT, H5T_IEEE_F32LE, dims, v.data());
    if (!unit.empty()) attr(d, "units", unit);
    return d;
}

Node Writer::doubles(const Node& parent, const std::string& name, const std::vector<double>& v,
                     const std::vector<hsize_t>& dims, const std::string& unit) {
    if (v.size() != count_of(dims)) fail("the values of " + child_path(parent, name) + " do not fill it");
    Node d = dataset(parent, name, H5T_NATIVE_DOUBLE, H5T_IEEE_F64LE, dims, v.data());
    if (!unit.empty()) attr(d, "units", unit);
    return d;
}

Node Writer::bytes(const Node& parent, const std::string& name, const std::vector<uint8_t>& v,
                   const std::vector<hsize_t>& dims) {
    if (v.size() != count_of(dims)) fail("the values of " + child_path(parent, name) + " do not fill it");
    return dataset(parent, name, H5T_NATIVE_UINT8, H5T_STD_U8LE, dims, v.data());
}

void Writer::write_attr(const Node& n, const char* name, hid_t mem_type, hid_t file_type, hid_t space,
                        const void* data) {
    if (!ok()) return;
    Handle a(H5Acreate2(n.h.id(), name, file_type, space, H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
    if (!a.valid() || H5Awrite(a.id(), mem_type, data) < 0)
        fail("could not write the attribute " + n.path + "@" + name);
}

void Writer::attr(const Node& n, const char* name, const std::string& value) {
    const std::string clean = utf8_clean(value);
    const char* p = clean.c_str();
    Handle space(H5Screate(H5S_SCALAR), H5Sclose);
    write_attr(n, name, text_type_.id(), text_type_.id(), space.id(), &p);
}

void Writer::attr(const Node& n, const char* name, int value) {
    Handle space(H5Screate(H5S_SCALAR), H5Sclose);
    write_attr(n, name, H5T_NATIVE_INT, H5T_STD_I32LE, space.id(), &value);
}

void Writer::attr(const Node& n, const char* name, const std::vector<int>& values) {
    const hsize_t dim = values.size();
    Handle space(H5Screate_simple(1, &dim, nullptr), H5Sclose);
    write_attr(n, name, H5T_NATIVE_INT, H5T_STD_I32LE, space.id(), values.data());
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

std::string utf8_clean(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = utf8_length(s, i);
        if (n == 0) {
            out.push_back('?');
            ++i;
        } else {
            out.append(s, i, n);
            i += n;
        }
    }
    return out;
}

}  // namespace pk
