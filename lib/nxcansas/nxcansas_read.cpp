// The 1D data of an NXcanSAS file, read through the HDF5 library: the
// entry named by the root's "default" (else the first SASentry), in it the
// SASdata group named by the entry's "default" (else the first with a 1D
// I), its Q, I, uncertainty of I and resolution of Q in the units declared.
#include <hdf5.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "nxcansas_h5.h"
#include "pelkaro/files.h"
#include "pelkaro/merge.h"

namespace pk {

namespace {

constexpr hssize_t kMaxPoints = hssize_t{1} << 24;
constexpr std::size_t kMaxText = 1 << 16;
constexpr int kMaxGroups = 10000;
constexpr hsize_t kMaxKernelNodes = 4096;

bool has_link(hid_t parent, const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos) return false;
    return H5Lexists(parent, name.c_str(), H5P_DEFAULT) > 0;
}

// A link that leads out of the file (external, or of a kind a plug-in
// defines): it can point at any file, so the reader never follows one.
bool links_out(hid_t parent, const std::string& name) {
    H5L_info_t info{};
    if (!has_link(parent, name) || H5Lget_info(parent, name.c_str(), &info, H5P_DEFAULT) < 0) return false;
    return info.type != H5L_TYPE_HARD && info.type != H5L_TYPE_SOFT;
}

herr_t refuse_external(const char*, const char*, const char*, const char*, unsigned*, hid_t, void*) { return -1; }

// A child object (group or dataset) of `parent` by its plain name, never
// through a link out of the file (a soft link whose path crosses one is
// stopped by the link access list too).
Handle child(hid_t parent, const std::string& name) {
    if (!has_link(parent, name) || links_out(parent, name)) return Handle();
    Handle access(H5Pcreate(H5P_LINK_ACCESS), H5Pclose);
    if (!access.valid() || H5Pset_elink_cb(access.id(), refuse_external, nullptr) < 0) return Handle();
    return Handle(H5Oopen(parent, name.c_str(), access.id()), H5Oclose);
}

// The first of a group's links that leads out of the file ("" when none).
std::string first_link_out(hid_t g) {
    std::string found;
    const auto visit = [](hid_t, const char* name, const H5L_info_t* info, void* data) -> herr_t {
        if (info->type == H5L_TYPE_HARD || info->type == H5L_TYPE_SOFT) return 0;
        *static_cast<std::string*>(data) = name;
        return 1;
    };
    hsize_t at = 0;
    H5Literate(g, H5_INDEX_NAME, H5_ITER_INC, &at, visit, &found);
    return found;
}

bool is_group(hid_t id) { return id >= 0 && H5Iget_type(id) == H5I_GROUP; }
bool is_dataset(hid_t id) { return id >= 0 && H5Iget_type(id) == H5I_DATASET; }

// A string attribute (fixed or variable length, one value).
bool attr_text(hid_t obj, const char* name, std::string& out) {
    if (obj < 0 || H5Aexists(obj, name) <= 0) return false;
    Handle a(H5Aopen(obj, name, H5P_DEFAULT), H5Aclose);
    Handle type(a.valid() ? H5Aget_type(a.id()) : -1, H5Tclose);
    Handle space(a.valid() ? H5Aget_space(a.id()) : -1, H5Sclose);
    if (!type.valid() || !space.valid() || H5Tget_class(type.id()) != H5T_STRING ||
        H5Sget_simple_extent_npoints(space.id()) != 1)
        return false;
    Handle mem(H5Tcopy(H5T_C_S1), H5Tclose);
    if (!mem.valid() || H5Tset_cset(mem.id(), H5Tget_cset(type.id())) < 0) return false;
    if (H5Tis_variable_str(type.id()) > 0) {
        char* p = nullptr;
        if (H5Tset_size(mem.id(), H5T_VARIABLE) < 0 || H5Aread(a.id(), mem.id(), &p) < 0) return false;
        out = p ? std::string(p, strnlen(p, kMaxText)) : std::string();
        H5free_memory(p);
        return true;
    }
    // Fixed length: read as stored (null-padded or null-terminated), the
    // buffer one longer so that every character is kept.
    const std::size_t n = H5Tget_size(type.id());
    if (n == 0 || n > kMaxText) return false;
    Handle same(H5Tcopy(type.id()), H5Tclose);
    std::vector<char> buf(n + 1, '\0');
    if (!same.valid() || H5Aread(a.id(), same.id(), buf.data()) < 0) return false;
    out = std::string(buf.data(), strnlen(buf.data(), n));
    if (H5Tget_strpad(type.id()) == H5T_STR_SPACEPAD)
        while (!out.empty() && out.back() == ' ') out.pop_back();
    return true;
}

// A string dataset (fixed or variable length, one value), at most kMaxText
// characters.
bool dataset_text(hid_t d, std::string& out) {
    Handle type(H5Dget_type(d), H5Tclose);
    Handle space(H5Dget_space(d), H5Sclose);
    if (!type.valid() || !space.valid() || H5Tget_class(type.id()) != H5T_STRING ||
        H5Sget_simple_extent_npoints(space.id()) != 1)
        return false;
    Handle mem(H5Tcopy(H5T_C_S1), H5Tclose);
    if (!mem.valid() || H5Tset_cset(mem.id(), H5Tget_cset(type.id())) < 0) return false;
    if (H5Tis_variable_str(type.id()) > 0) {
        char* p = nullptr;
        if (H5Tset_size(mem.id(), H5T_VARIABLE) < 0 || H5Dread(d, mem.id(), H5S_ALL, H5S_ALL, H5P_DEFAULT, &p) < 0)
            return false;
        out = p ? std::string(p, strnlen(p, kMaxText)) : std::string();
        H5free_memory(p);
        return true;
    }
    const std::size_t n = H5Tget_size(type.id());
    if (n == 0 || n > kMaxText) return false;
    Handle same(H5Tcopy(type.id()), H5Tclose);
    std::vector<char> buf(n + 1, '\0');
    if (!same.valid() || H5Dread(d, same.id(), H5S_ALL, H5S_ALL, H5P_DEFAULT, buf.data()) < 0) return false;
    out = std::string(buf.data(), strnlen(buf.data(), n));
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return true;
}

bool attr_is(hid_t obj, const char* name, const char* value) {
    std::string s;
    return attr_text(obj, name, s) && s == value;
}

// The number of values a dataset holds (-1 when its space cannot be read).
hssize_t points_of(hid_t d) {
    Handle space(H5Dget_space(d), H5Sclose);
    return space.valid() ? H5Sget_simple_extent_npoints(space.id()) : -1;
}

// A numeric dataset of rank 1 (or a scalar, as one value), as doubles.
bool read_numbers(hid_t d, std::vector<double>& v, bool scalar) {
    Handle type(H5Dget_type(d), H5Tclose);
    Handle space(H5Dget_space(d), H5Sclose);
    if (!type.valid() || !space.valid()) return false;
    const H5T_class_t cls = H5Tget_class(type.id());
    if (cls != H5T_FLOAT && cls != H5T_INTEGER) return false;
    const int rank = H5Sget_simple_extent_ndims(space.id());
    const hssize_t n = H5Sget_simple_extent_npoints(space.id());
    if (scalar ? (n != 1) : (rank != 1 || n < 0 || n > kMaxPoints)) return false;
    v.assign(static_cast<std::size_t>(n), 0.0);
    return n == 0 || H5Dread(d, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, v.data()) >= 0;
}

// A numeric dataset of rank 2 with `rows` rows and at most kMaxKernelNodes
// columns, as doubles row by row.
bool read_rows(hid_t d, std::size_t rows, std::size_t& cols, std::vector<double>& v) {
    Handle type(H5Dget_type(d), H5Tclose);
    Handle space(H5Dget_space(d), H5Sclose);
    if (!type.valid() || !space.valid()) return false;
    const H5T_class_t cls = H5Tget_class(type.id());
    if ((cls != H5T_FLOAT && cls != H5T_INTEGER) || H5Sget_simple_extent_ndims(space.id()) != 2) return false;
    hsize_t dims[2] = {0, 0};
    if (H5Sget_simple_extent_dims(space.id(), dims, nullptr) != 2 || dims[0] != rows || dims[1] == 0 ||
        dims[1] > kMaxKernelNodes || dims[0] * dims[1] > static_cast<hsize_t>(kMaxPoints))
        return false;
    cols = static_cast<std::size_t>(dims[1]);
    v.assign(rows * cols, 0.0);
    return H5Dread(d, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, v.data()) >= 0;
}

// The name of a group's k-th link in the order of names ("" when it cannot
// be read or is longer than any text the reader takes).
std::string link_name(hid_t g, hsize_t k) {
    const ssize_t len = H5Lget_name_by_idx(g, ".", H5_INDEX_NAME, H5_ITER_INC, k, nullptr, 0, H5P_DEFAULT);
    if (len <= 0 || static_cast<std::size_t>(len) > kMaxText) return "";
    std::string name(static_cast<std::size_t>(len) + 1, '\0');
    if (H5Lget_name_by_idx(g, ".", H5_INDEX_NAME, H5_ITER_INC, k, &name[0], name.size(), H5P_DEFAULT) != len)
        return "";
    name.resize(static_cast<std::size_t>(len));
    return name;
}

// The first group among `parent`'s children whose attribute `key` is `value`.
std::string first_child_with(hid_t parent, const char* key, const char* value) {
    H5G_info_t info{};
    if (H5Gget_info(parent, &info) < 0) return "";
    for (hsize_t k = 0; k < info.nlinks && k < static_cast<hsize_t>(kMaxGroups); ++k) {
        const std::string name = link_name(parent, k);
        Handle c = child(parent, name);
        if (is_group(c.id()) && attr_is(c.id(), key, value)) return name;
    }
    return "";
}

// The number of 1/angstrom in one of the unit's inverse lengths; 0 unknown.
double inverse_length(const std::string& u) {
    if (u == "1/angstrom" || u == "1/A" || u == "A^-1" || u == "A-1" || u == "1/Angstrom" || u == "Angstrom^-1" ||
        u == "angstrom^-1")
        return 1.0;
    if (u == "1/nm" || u == "nm^-1" || u == "nm-1") return 0.1;
    if (u == "1/m" || u == "m^-1") return 1e-10;
    return 0.0;
}

// Millimetres in one of the unit's lengths; 0 unknown.
double length_mm(const std::string& u) {
    if (u == "mm") return 1.0;
    if (u == "cm") return 10.0;
    if (u == "m") return 1000.0;
    return 0.0;
}

// Angstrom in one of the unit's lengths; 0 unknown.
double length_angstrom(const std::string& u) {
    if (u == "angstrom" || u == "A" || u == "Angstrom" || u == "Å") return 1.0;
    if (u == "nm") return 10.0;
    return 0.0;
}

// An intensity unit in one spelling: "cm^-1" and "1/cm" are the same.
std::string intensity_spelling(std::string u) {
    for (const char* len : {"mm", "cm", "m"}) {
        const std::string l = len;
        if (u == l + "^-1" || u == l + "-1") return "1/" + l;
    }
    return u;
}

// A scalar number of a path of plain names below `g`, in the unit converted
// by `per` (NaN when missing or in an unknown unit).
double scalar_at(hid_t g, const std::vector<std::string>& path, double (*per)(const std::string&)) {
    Handle cur(H5Oopen(g, ".", H5P_DEFAULT), H5Oclose);
    for (const std::string& name : path) {
        if (!is_group(cur.id())) return NAN;
        cur = child(cur.id(), name);
    }
    std::vector<double> v;
    std::string unit;
    if (!is_dataset(cur.id()) || !read_numbers(cur.id(), v, true) || !attr_text(cur.id(), "units", unit)) return NAN;
    const double f = per(unit);
    return f > 0 && std::isfinite(v[0]) ? v[0] * f : NAN;
}

}  // namespace

namespace {

// The entry: the root's "default" when it names a group, else the first
// SASentry (or NXentry).
Handle entry_of(hid_t root) {
    std::string name;
    if (attr_text(root, "default", name)) {
        Handle e = child(root, name);
        if (is_group(e.id())) return e;
    }
    name = first_child_with(root, "canSAS_class", "SASentry");
    if (name.empty()) name = first_child_with(root, "NX_class", "NXentry");
    return name.empty() ? Handle() : child(root, name);
}

// A data group's signal dataset when it is one-dimensional.
bool is_1d_data(hid_t g) {
    std::string signal = "I";
    attr_text(g, "signal", signal);
    Handle d = child(g, signal);
    if (!is_dataset(d.id())) return false;
    Handle space(H5Dget_space(d.id()), H5Sclose);
    return space.valid() && H5Sget_simple_extent_ndims(space.id()) == 1;
}

// The 1D data group of an entry: its "default" when that is 1D, else the
// first SASdata (or NXdata) group whose signal is 1D.
Handle data_of(hid_t entry) {
    std::string name;
    if (attr_text(entry, "default", name)) {
        Handle g = child(entry, name);
        if (is_group(g.id()) && is_1d_data(g.id())) return g;
    }
    H5G_info_t info{};
    if (H5Gget_info(entry, &info) < 0) return Handle();
    for (hsize_t k = 0; k < info.nlinks && k < static_cast<hsize_t>(kMaxGroups); ++k) {
        Handle g = child(entry, link_name(entry, k));
        if (!is_group(g.id())) continue;
        if ((attr_is(g.id(), "canSAS_class", "SASdata") || attr_is(g.id(), "NX_class", "NXdata")) && is_1d_data(g.id()))
            return g;
    }
    return Handle();
}

// Text of the file as shown in messages: only printable ASCII, so a
// damaged or hostile file cannot act on the terminal.
std::string printable_ascii(std::string s) {
    for (char& ch : s)
        if (static_cast<unsigned char>(ch) < 0x20 || static_cast<unsigned char>(ch) > 0x7e) ch = '?';
    return s;
}

// A file whose contents cannot be joined, for `reason`.
Status unusable(std::string reason) { return failure(Stage::read, Code::bad_contents, std::move(reason)); }

// A named array of the data group with its "units" attribute.
Status array_of(hid_t g, const std::string& name, std::vector<double>& v, std::string& unit) {
    if (links_out(g, name))
        return unusable(printable_ascii(name) + " is a link to another file (links out of a file are not followed)");
    Handle d = child(g, name);
    if (!is_dataset(d.id())) return unusable("the 1D data have no " + printable_ascii(name));
    if (points_of(d.id()) > kMaxPoints)
        return unusable(printable_ascii(name) + " holds " + std::to_string(points_of(d.id())) +
                        " points, more than the 16777216 (2^24) a curve may have");
    if (!read_numbers(d.id(), v, false))
        return unusable(printable_ascii(name) + " is not a one-dimensional array of numbers");
    unit.clear();
    attr_text(d.id(), "units", unit);
    unit = printable_ascii(unit);
    return ok_status();
}

// The names the data group gives its I, Q, uncertainty and resolution.
struct Names {
    std::string i = "I", q = "Q", idev, qdev;
};

Names names_of(hid_t g) {
    Names n;
    attr_text(g, "signal", n.i);
    std::string axes;
    if (attr_text(g, "I_axes", axes) && !axes.empty() && axes.find(',') == std::string::npos) n.q = axes;
    Handle i = child(g, n.i);
    if (!attr_text(i.id(), "uncertainties", n.idev)) n.idev = has_link(g, "Idev") ? "Idev" : "";
    Handle q = child(g, n.q);
    if (!attr_text(q.id(), "resolutions", n.qdev)) n.qdev = has_link(g, "Qdev") ? "Qdev" : "";
    return n;
}

bool all_of(const std::vector<double>& v, bool (*good)(double)) {
    for (double x : v)
        if (!good(x)) return false;
    return true;
}

}  // namespace

namespace {

// The kernel rows of a curve: one per point, nodes positive and increasing,
// weights not negative adding up to 1.
Status check_kernel(const MergeCurve& c) {
    if (c.kernel_nodes == 0 && c.kernel_q.empty() && c.kernel_weight.empty()) return ok_status();
    const std::size_t m = static_cast<std::size_t>(std::max(c.kernel_nodes, 0));
    if (m == 0 || c.kernel_q.size() != c.q.size() * m || c.kernel_weight.size() != c.q.size() * m)
        return unusable("resolution_kernel's Q and weight are not one row of nodes per point of the curve");
    for (std::size_t p = 0; p < c.q.size(); ++p) {
        double sum = 0;
        for (std::size_t j = 0; j < m; ++j) {
            const double q = c.kernel_q[p * m + j], w = c.kernel_weight[p * m + j];
            if (!(std::isfinite(q) && q > 0 && (j == 0 || q > c.kernel_q[p * m + j - 1])))
                return unusable("a node of resolution_kernel is not finite, positive and above the one before it");
            if (!(std::isfinite(w) && w >= 0)) return unusable("a weight of resolution_kernel is negative or not finite");
            sum += w;
        }
        if (!(std::fabs(sum - 1) <= 1e-6)) return unusable("the weights of a row of resolution_kernel do not add up to 1");
    }
    return ok_status();
}

}  // namespace

Status check_curve(const MergeCurve& c) {
    const std::size_t n = c.q.size();
    if (n == 0) return unusable("the 1D data hold no points");
    if (c.i.size() != n || c.idev.size() != n || (!c.qdev.empty() && c.qdev.size() != n))
        return unusable("Q, I, Idev and Qdev of the 1D data differ in length");
    if (!all_of(c.q, [](double x) { return std::isfinite(x) && x > 0; }))
        return unusable("a Q value is not finite and positive");
    if (!all_of(c.i, [](double x) { return std::isfinite(x); })) return unusable("an I value is not finite");
    if (!all_of(c.idev, [](double x) { return std::isfinite(x) && x >= 0; }))
        return unusable("an uncertainty of I (Idev) is negative or not finite");
    if (!all_of(c.qdev, [](double x) { return std::isfinite(x) && x >= 0; }))
        return unusable("a Q resolution (Qdev) is negative or not finite");
    return check_kernel(c);
}

namespace {

// A group not found: because a link that might have held it leads out of
// the file, or `reason`.
Status no_group(hid_t parent, const std::string& reason) {
    const std::string out = parent >= 0 ? first_link_out(parent) : std::string();
    if (out.empty()) return unusable(reason);
    return unusable(reason + "; '" + printable_ascii(out) +
                    "' is a link to another file (links out of a file are not followed)");
}

Status read_data(hid_t g, MergeCurve& c) {
    const Names n = names_of(g);
    if (n.idev.empty()) return unusable("the 1D data give no uncertainty of I (Idev)");
    std::string qu, iu, du, ru;
    Status st = array_of(g, n.q, c.q, qu);
    if (st.ok()) st = array_of(g, n.i, c.i, iu);
    if (st.ok()) st = array_of(g, n.idev, c.idev, du);
    if (!st.ok()) return st;
    const double qf = inverse_length(qu);
    if (qf == 0) return unusable("the unit of Q, '" + qu + "', is not an inverse length known here");
    for (double& q : c.q) q *= qf;
    c.intensity_unit = intensity_spelling(iu);
    if (!du.empty() && intensity_spelling(du) != c.intensity_unit)
        return unusable("Idev's unit '" + du + "' is not I's unit '" + iu + "'");
    if (!n.qdev.empty() && has_link(g, n.qdev)) {
        st = array_of(g, n.qdev, c.qdev, ru);
        if (!st.ok()) return st;
        const double rf = ru.empty() ? qf : inverse_length(ru);
        if (rf == 0) return unusable("the unit of Qdev, '" + ru + "', is not an inverse length known here");
        for (double& r : c.qdev) r *= rf;
    }
    return check_curve(c);
}

// The points' resolution kernels, where the entry has them (Pelkaro's
// resolution_kernel), in the order of the points as the file has them;
// read before the points are sorted by Q.
Status read_kernel(hid_t entry, MergeCurve& c) {
    if (!has_link(entry, "resolution_kernel")) return ok_status();
    if (links_out(entry, "resolution_kernel"))
        return unusable("resolution_kernel is a link to another file (links out of a file are not followed)");
    Handle g = child(entry, "resolution_kernel");
    if (!is_group(g.id())) return ok_status();
    Handle q = child(g.id(), "Q"), w = child(g.id(), "weight");
    std::size_t nq = 0, nw = 0;
    if (!is_dataset(q.id()) || !is_dataset(w.id()) || !read_rows(q.id(), c.q.size(), nq, c.kernel_q) ||
        !read_rows(w.id(), c.q.size(), nw, c.kernel_weight) || nq != nw)
        return unusable("resolution_kernel's Q and weight are not one row of nodes per point of the curve");
    c.kernel_nodes = static_cast<int>(nq);
    return check_curve(c);
}

// The sample's name and thickness and the entry's title, where stated.
void read_sample(hid_t entry, MergeCurve& c) {
    Handle t = child(entry, "title");
    if (is_dataset(t.id()) && dataset_text(t.id(), c.title)) c.title = printable_ascii(c.title);
    Handle s = child(entry, "sassample");
    if (!is_group(s.id())) return;
    Handle n = child(s.id(), "name");
    if (is_dataset(n.id()) && dataset_text(n.id(), c.sample)) c.sample = printable_ascii(c.sample);
    c.thickness_mm = scalar_at(entry, {"sassample", "thickness"}, length_mm);
}

}  // namespace

Status read_curve(const std::string& path, MergeCurve& out) {
    out = MergeCurve{};
    out.file = path;
    if (!regular_file_exists(path))
        return failure(Stage::read, Code::cannot_read,
                       "cannot read the file (missing, unreadable or not a regular file)");
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    if (H5Fis_hdf5(path.c_str()) <= 0) return unusable("not an HDF5 file");
    Handle file(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
    if (!file.valid()) return unusable("the HDF5 library cannot open the file");
    Handle root(H5Gopen2(file.id(), "/", H5P_DEFAULT), H5Gclose);
    Handle entry = root.valid() ? entry_of(root.id()) : Handle();
    if (!is_group(entry.id())) return no_group(root.id(), "no NXcanSAS entry (SASentry) in the file");
    Handle data = data_of(entry.id());
    if (!is_group(data.id())) return no_group(entry.id(), "no 1D data (a SASdata group with a one-dimensional I)");
    Status st = read_data(data.id(), out);
    if (st.ok()) st = read_kernel(entry.id(), out);
    if (!st.ok()) return st;
    sort_by_q(out);
    read_sample(entry.id(), out);
    out.distance_mm = scalar_at(entry.id(), {"sasinstrument", "sasdetector", "SDD"}, length_mm);
    out.wavelength = scalar_at(entry.id(), {"sasinstrument", "sassource", "incident_wavelength"}, length_angstrom);
    return ok_status();
}

void sort_by_q(MergeCurve& c) {
    std::vector<std::size_t> order(c.q.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return c.q[a] < c.q[b]; });
    const auto permute = [&](std::vector<double>& v) {
        if (v.empty()) return;
        std::vector<double> p;
        for (std::size_t k : order) p.push_back(v[k]);
        v.swap(p);
    };
    for (auto* v : {&c.q, &c.i, &c.idev, &c.qdev}) permute(*v);
    const std::size_t m = static_cast<std::size_t>(std::max(c.kernel_nodes, 0));
    if (m == 0 || c.kernel_q.size() != order.size() * m || c.kernel_weight.size() != order.size() * m) return;
    for (std::vector<double>* v : {&c.kernel_q, &c.kernel_weight}) {
        std::vector<double> p;
        for (std::size_t k : order) p.insert(p.end(), v->begin() + static_cast<long>(k * m), v->begin() + static_cast<long>((k + 1) * m));
        v->swap(p);
    }
}

double MergeCurve::q_min() const { return q.empty() ? NAN : q.front(); }
double MergeCurve::q_max() const { return q.empty() ? NAN : q.back(); }

}  // namespace pk
