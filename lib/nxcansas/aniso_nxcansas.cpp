// pelkaro-aniso's NXcanSAS file (pelkaro/aniso_nxcansas.h): one entry,
// "sasentry01", with the sector pairs as SASdata curves (the one along the
// axis first), I(phi) as an NXdata group of its own with the azimuth as
// its axis, and the orientation and the analysis's settings as terms of
// the process.

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include <hdf5.h>

#include "nxcansas_h5.h"
#include "numbers.h"
#include "pelkaro/aniso_nxcansas.h"

namespace pk {

namespace {

constexpr const char* kQUnit = "1/angstrom";
constexpr const char* kIUnit = "1/cm";

std::vector<float> floats(const std::vector<double>& v) {
    std::vector<float> out;
    for (double d : v) out.push_back(pk::to_float(d));
    return out;
}

// One curve of the pair, as SasView reads a curve: Q (the bin's centre),
// I, Idev and the Gaussian resolution Qdev (the average's dQ of the bin).
void write_curve(Writer& w, const Node& entry, const std::string& name, const SectorCurve& c) {
    Node g = w.group(entry, name, "NXdata", "SASdata");
    w.attr(g, "signal", "I");
    w.attr(g, "I_axes", "Q");
    w.attr(g, "Q_indices", 0);
    const std::vector<hsize_t> dims{c.bins.size()};
    Node q = w.doubles(g, "Q", c.q_centre, dims, kQUnit);
    w.attr(q, "resolutions", "Qdev");
    w.attr(q, "resolutions_description", "Gaussian");
    Node in = w.floats(g, "I", floats(c.i), dims, kIUnit);
    w.attr(in, "uncertainties", "Idev");
    w.floats(g, "Idev", floats(c.idev), dims, kIUnit);
    w.doubles(g, "Qdev", c.dq, dims, kQUnit);
}

// I(phi): an NXdata group whose axis is the azimuth; bins without area
// hold not-a-number.
void write_profile(Writer& w, const Node& entry, const AzimuthProfile& prof) {
    // An NXdata group without a canSAS class: not a SASdata group, which a
    // reader of canSAS data would take for I(Q).
    if (!w.ok()) return;
    Node g;
    g.path = entry.path + "/azimuthal";
    g.h = Handle(H5Gcreate2(entry.h.id(), "azimuthal", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), H5Gclose);
    w.attr(g, "NX_class", "NXdata");  // fails the writer when the group was not made
    w.attr(g, "signal", "I");
    w.attr(g, "axes", "phi");
    w.attr(g, "phi_indices", 0);
    const std::vector<hsize_t> dims{static_cast<hsize_t>(prof.bins)};
    Node phi = w.doubles(g, "phi", prof.phi, dims, "degrees");
    w.attr(phi, "long_name", "azimuth of the bin's centre, from increasing column towards increasing row");
    Node in = w.floats(g, "I", floats(prof.i), dims, kIUnit);
    w.attr(in, "uncertainties", "Idev");
    w.floats(g, "Idev", floats(prof.idev), dims, kIUnit);
    w.doubles(g, "area", prof.area, dims, "pixels");
    w.number(g, "Q_min", prof.q_lo, kQUnit);
    w.number(g, "Q_max", prof.q_hi, kQUnit);
}

void term(Writer& w, const Node& g, int& n, const char* name, double value, const std::string& unit) {
    w.attr(w.number(g, pk::format("term%02d", ++n), value, unit), "name", name);
}

void write_process(Writer& w, const Node& entry, const Orientation* o, const SectorPairs* pairs) {
    Node g = w.group(entry, "sasprocess", "NXprocess", "SASprocess");
    w.text(g, "name", "pelkaro-aniso");
    w.text(g, "date", iso_time(std::time(nullptr)));
    w.text(g, "description",
           "Pelkaro " PELKARO_VERSION ": the reduced image's intensity against the azimuth in a ring (sub-pixel "
           "split as the radial average, Idev as averaged), the pattern's orientation fitted to it, and I(Q) over "
           "pairs of opposite sectors along and across an axis. The order parameters describe the pattern, whose "
           "streaks run perpendicular to elongated particles.");
    int n = 0;
    if (o) {
        term(w, g, n, "phi0", o->phi0, "degrees");
        term(w, g, n, "phi0 uncertainty", o->phi0_dev, "degrees");
        term(w, g, n, "order parameter <cos 2(phi - phi0)>", o->order, "");
        term(w, g, n, "order parameter uncertainty", o->order_dev, "");
        term(w, g, n, "Hermans <P2>", o->hermans, "");
        term(w, g, n, "Hermans <P2> uncertainty", o->hermans_dev, "");
    }
    if (pairs) {
        term(w, g, n, "sector axis", pairs->axis, "degrees");
        term(w, g, n, "sector width", pairs->width, "degrees");
    }
}

void write_layout(Writer& w, const Node& root, const Run& run, const AzimuthProfile& prof, const Orientation* o,
                  const SectorPairs* pairs, const std::string& path) {
    w.attr(root, "NX_class", "NXroot");
    w.attr(root, "canSAS_class", "SASroot");
    w.attr(root, "default", "sasentry01");
    w.attr(root, "file_name", base_name(path));
    w.attr(root, "file_time", iso_time(std::time(nullptr)));
    w.attr(root, "creator", "Pelkaro " PELKARO_VERSION);
    Node e = w.group(root, "sasentry01", "NXentry", "SASentry");
    w.attr(e, "version", "1.1");
    w.attr(e, "default", pairs ? "sasdata01" : "azimuthal");
    w.text(e, "definition", "NXcanSAS");
    w.text(e, "title", utf8_clean(base_name(run.sam.empty() ? path : run.sam[0].name)));
    w.text(e, "run", utf8_clean(base_name(run.sam.empty() ? path : run.sam[0].name)));
    if (pairs) {
        write_curve(w, e, "sasdata01", pairs->along);
        write_curve(w, e, "sasdata02", pairs->across);
    }
    write_profile(w, e, prof);
    write_process(w, e, o, pairs);
}

}  // namespace

Status write_aniso_file(const Run& run, const AzimuthProfile& prof, const Orientation* orient,
                        const SectorPairs* pairs, const std::string& path) {
    const auto why_not_opened = [&](int err) {
        return "cannot create a file beside " + path + (err != 0 ? std::string(": ") + std::strerror(err) : std::string());
    };
    return write_atomically(path, why_not_opened, [&](Writer& w, Node& root) {
        write_layout(w, root, run, prof, orient, pairs, path);
    });
}

}  // namespace pk
