// What a reader finds in an HDF5 file, entry by entry: every group and
// dataset by name, every attribute by name, each dataset's and attribute's
// type, shape and values; not where the library placed them in the file.
// Two files with the same entries are the same to every reader.
#ifndef PELKARO_TESTS_H5_CONTENT_H
#define PELKARO_TESTS_H5_CONTENT_H

#include <hdf5.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace pkt {

// An entry's text: its type, its extent and its values (texts as they are,
// numbers as their bytes in the file's order).
inline std::string h5_entry(hid_t obj, bool attribute) {
    const hid_t type = attribute ? H5Aget_type(obj) : H5Dget_type(obj);
    const hid_t space = attribute ? H5Aget_space(obj) : H5Dget_space(obj);
    const int rank = std::max(H5Sget_simple_extent_ndims(space), 0);
    std::vector<hsize_t> dims(static_cast<std::size_t>(rank));
    if (rank > 0) H5Sget_simple_extent_dims(space, dims.data(), nullptr);
    const std::size_t n = static_cast<std::size_t>(std::max<hssize_t>(H5Sget_simple_extent_npoints(space), 0));
    const bool text = H5Tget_class(type) == H5T_STRING, vlen = text && H5Tis_variable_str(type) > 0;
    std::string s = "class " + std::to_string(H5Tget_class(type)) + " size " + std::to_string(H5Tget_size(type)) +
                    (text ? " cset " + std::to_string(H5Tget_cset(type)) + " pad " + std::to_string(H5Tget_strpad(type))
                          : " order " + std::to_string(H5Tget_order(type))) +
                    (vlen ? " variable" : "") + " dims";
    for (hsize_t d : dims) s += " " + std::to_string(d);
    s += " =";
    if (vlen) {
        const hid_t t = H5Tcopy(H5T_C_S1);
        H5Tset_size(t, H5T_VARIABLE);
        H5Tset_cset(t, H5Tget_cset(type));
        std::vector<char*> p(n, nullptr);
        const herr_t r = attribute ? H5Aread(obj, t, p.data()) : H5Dread(obj, t, H5S_ALL, H5S_ALL, H5P_DEFAULT, p.data());
        for (char* c : p) s += r < 0 ? std::string(" <unreadable>") : " [" + std::string(c ? c : "<null>") + "]";
        if (r >= 0) H5Dvlen_reclaim(t, space, H5P_DEFAULT, p.data());
        H5Tclose(t);
    } else {
        std::vector<char> bytes(n * H5Tget_size(type));
        const herr_t r = attribute ? H5Aread(obj, type, bytes.data())
                                   : H5Dread(obj, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, bytes.data());
        s += r < 0 ? std::string(" <unreadable>") : " " + std::string(bytes.begin(), bytes.end());
    }
    H5Sclose(space), H5Tclose(type);
    return s;
}

struct H5Visit {
    hid_t file;
    const std::set<std::string>* skip;
    std::map<std::string, std::string>* out;
};

inline herr_t h5_attribute(hid_t obj, const char* name, const H5A_info_t*, void* data) {
    auto& v = *static_cast<std::pair<H5Visit*, std::string>*>(data);
    const std::string key = v.second + "@" + name;
    const hid_t a = H5Aopen(obj, name, H5P_DEFAULT);
    (*v.first->out)[key] = v.first->skip->count(key) ? "(not compared)" : h5_entry(a, true);
    H5Aclose(a);
    return 0;
}

inline herr_t h5_object(hid_t, const char* name, const H5O_info_t* info, void* data) {
    H5Visit& v = *static_cast<H5Visit*>(data);
    const std::string path = std::strcmp(name, ".") == 0 ? "/" : "/" + std::string(name);
    const hid_t obj = H5Oopen(v.file, name, H5P_DEFAULT);
    std::string& entry = (*v.out)[path];
    if (info->type == H5O_TYPE_GROUP) entry = "group";
    else if (info->type == H5O_TYPE_DATASET) entry = v.skip->count(path) ? "(not compared)" : h5_entry(obj, false);
    else entry = "other";
    std::pair<H5Visit*, std::string> at{&v, path};
    H5Aiterate2(obj, H5_INDEX_NAME, H5_ITER_INC, nullptr, h5_attribute, &at);
    H5Oclose(obj);
    return 0;
}

// The entries of the file `path` by name; empty when it cannot be opened.
// The entries named in `skip` ("/PATH" or "/PATH@ATTRIBUTE", such as the
// time of writing) are there without their values.
inline std::map<std::string, std::string> h5_content(const std::string& path, const std::set<std::string>& skip = {}) {
    std::map<std::string, std::string> out;
    const hid_t f = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    if (f < 0) return out;
    H5Visit v{f, &skip, &out};
    H5Ovisit(f, H5_INDEX_NAME, H5_ITER_INC, h5_object, &v);
    H5Fclose(f);
    return out;
}

// The first entry by name that the two files do not hold alike ("" when
// every entry is alike).
inline std::string h5_difference(const std::string& a, const std::string& b, const std::set<std::string>& skip = {}) {
    const std::map<std::string, std::string> x = h5_content(a, skip), y = h5_content(b, skip);
    if (x.empty() || y.empty()) return x.empty() ? "cannot read " + a : "cannot read " + b;
    for (const auto& [name, entry] : x) {
        const auto it = y.find(name);
        if (it == y.end()) return name + ": only in " + a;
        if (it->second != entry) return name + ": differs";
    }
    for (const auto& e : y)
        if (!x.count(e.first)) return e.first + ": only in " + b;
    return "";
}

}  // namespace pkt

#endif
