// pelkaro-aniso's analysis on a Run (pelkaro/aniso.h): Run.azimuthal, I(phi)
// in a ring with the pattern's orientation, and Run.sector_pairs, I(Q) over
// pairs of opposite sectors; the numbers the program writes, as read-only
// numpy arrays.
#include <pybind11/stl.h>

#include <cmath>
#include <optional>
#include <utility>

#include "pelkaro/aniso.h"
#include "py_run.h"

namespace pk::py {

namespace {

// I(phi) of a Run: its bins and, where it can be found, the orientation.
struct PyAzimuthal {
    pyb::array phi, i, i_dev, area;
    double q_min = 0, q_max = 0;
    int pixels = 0;
    std::optional<Orientation> orientation;
    std::string no_orientation;  // why there is none
};

struct PySectorPairs {
    double axis = 0, width = 0;
    pyb::object along, across;  // SectorCurve
};

struct PySectorCurve {
    pyb::array q, q_edge, q_dev, i, i_dev, area;
};

// A (lo, hi) pair of a ring from Python.
std::pair<double, double> limits(const pyb::object& o, const char* what) {
    const auto t = o.cast<std::pair<double, double>>();
    if (!(std::isfinite(t.first) && std::isfinite(t.second)))
        throw refusal(Stage::average, Code::bad_parameter, std::string(what) + " needs two finite numbers");
    return t;
}

Ring ring_of(const pyb::object& q_ring, const pyb::object& pixel_ring) {
    if (q_ring.is_none() == pixel_ring.is_none())
        throw refusal(Stage::average, Code::bad_parameter, "give one ring: q_ring=(Q1, Q2) or pixel_ring=(R1, R2)");
    const bool q = !q_ring.is_none();
    const auto lim = limits(q ? q_ring : pixel_ring, q ? "q_ring" : "pixel_ring");
    return Ring{q ? Ring::Unit::q : Ring::Unit::pixels, lim.first, lim.second};
}

PyAzimuthal azimuthal(const PyRun& r, const pyb::object& q_ring, const pyb::object& pixel_ring, int bins) {
    const Ring ring = ring_of(q_ring, pixel_ring);
    AzimuthProfile prof;
    Orientation o;
    Status st, oriented;
    {
        pyb::gil_scoped_release released;
        st = azimuthal_profile(r.run.p, r.run.reduced, r.run.mask, ring, bins, prof);
        if (st.ok()) oriented = orientation(prof, o);
    }
    if (!st.ok()) throw r.refused(st);
    PyAzimuthal a{frozen_doubles(prof.phi), frozen_doubles(prof.i), frozen_doubles(prof.idev),
                  frozen_doubles(prof.area), prof.q_lo, prof.q_hi, prof.pixels, std::nullopt, oriented.reason};
    if (oriented.ok()) a.orientation = o;
    return a;
}

pyb::object sector_curve(const SectorCurve& c) {
    std::vector<double> q_edge;
    for (double q : c.q) q_edge.push_back(q);
    return pyb::cast(PySectorCurve{frozen_doubles(c.q_centre), frozen_doubles(q_edge), frozen_doubles(c.dq),
                                   frozen_doubles(c.i), frozen_doubles(c.idev), frozen_doubles(c.area)});
}

PySectorPairs sectors(const PyRun& r, double width, double axis) {
    SectorPairs pairs;
    Status st;
    {
        pyb::gil_scoped_release released;
        st = sector_pairs(r.run.p, r.run.reduced, r.run.mask, axis, width, pairs);
    }
    if (!st.ok()) throw r.refused(st);
    return PySectorPairs{pairs.axis, pairs.width, sector_curve(pairs.along), sector_curve(pairs.across)};
}

pyb::object orientation_of(const PyAzimuthal& a) {
    return a.orientation ? pyb::cast(*a.orientation) : pyb::object(pyb::none());
}

void bind_classes(pyb::module_& m) {
    pyb::class_<Orientation>(m, "Orientation", "The orientation of a pattern from its I(phi), each value with its "
                                               "standard uncertainty from the counting statistics.  These describe "
                                               "the pattern, whose streaks run perpendicular to elongated particles.")
        .def_readonly("phi0", &Orientation::phi0, "The main axis, degrees from 0 to 180: the azimuth of maximum "
                                                  "intensity of a + b cos 2phi + c sin 2phi fitted to the bins.")
        .def_readonly("phi0_dev", &Orientation::phi0_dev, "Its uncertainty, degrees.")
        .def_readonly("order", &Orientation::order, "<cos 2(phi - phi0)> weighted by I.")
        .def_readonly("order_dev", &Orientation::order_dev, "Its uncertainty.")
        .def_readonly("hermans", &Orientation::hermans, "Hermans' <P2> = (3 <cos^2(phi - phi0)> - 1) / 2, weighted "
                                                        "by I |sin(phi - phi0)|.")
        .def_readonly("hermans_dev", &Orientation::hermans_dev, "Its uncertainty.");
    pyb::class_<PyAzimuthal>(m, "Azimuthal", "I(phi) in a ring (Run.azimuthal): one value per azimuthal bin, all "
                                             "arrays of one length; a bin without area holds NaN.")
        .def_readonly("phi", &PyAzimuthal::phi, "The bin's centre azimuth, degrees from increasing column towards "
                                                "increasing row (float64).")
        .def_readonly("i", &PyAzimuthal::i, "The bin's mean intensity (float64).")
        .def_readonly("i_dev", &PyAzimuthal::i_dev, "Its uncertainty as averaged (float64), the rule of Idev.")
        .def_readonly("area", &PyAzimuthal::area, "The bin's detector area, pixels (float64).")
        .def_readonly("q_min", &PyAzimuthal::q_min, "Q at the ring's inner limit, 1/angstrom (NaN without WAVE).")
        .def_readonly("q_max", &PyAzimuthal::q_max, "Q at its outer limit.")
        .def_readonly("pixels", &PyAzimuthal::pixels, "Pixels in use with detector area in the ring.")
        .def_property_readonly("orientation", &orientation_of, "The Orientation, or None where it cannot be found.")
        .def_readonly("no_orientation", &PyAzimuthal::no_orientation, "Why there is no orientation; '' when there is.");
    pyb::class_<PySectorCurve>(m, "SectorCurve", "I(Q) over a pair of opposite sectors: the radial bins of the "
                                                 "average that received area, all arrays of one length.")
        .def_readonly("q", &PySectorCurve::q, "Q at the bin's centre radius, 1/angstrom (float64).")
        .def_readonly("q_edge", &PySectorCurve::q_edge, "Q at its inner edge, the .d1d's (float64).")
        .def_readonly("q_dev", &PySectorCurve::q_dev, "The average's Q resolution of the bin (float64).")
        .def_readonly("i", &PySectorCurve::i, "Mean intensity (float64).")
        .def_readonly("i_dev", &PySectorCurve::i_dev, "Its uncertainty as averaged (float64).")
        .def_readonly("area", &PySectorCurve::area, "Detector area, pixels (float64).");
    pyb::class_<PySectorPairs>(m, "SectorPairs", "I(Q) along an axis and across it (Run.sector_pairs).")
        .def_readonly("axis", &PySectorPairs::axis, "The axis, degrees.")
        .def_readonly("width", &PySectorPairs::width, "The sectors' width, degrees.")
        .def_readonly("along", &PySectorPairs::along, "axis +- width/2 and axis + 180 +- width/2 (SectorCurve).")
        .def_readonly("across", &PySectorPairs::across, "The same about axis + 90 (SectorCurve).");
}

}  // namespace

void bind_aniso(pyb::module_& m) {
    bind_classes(m);
    pyb::object run = m.attr("Run");
    run.attr("azimuthal") = pyb::cpp_function(
        &azimuthal, pyb::name("azimuthal"), pyb::is_method(run), pyb::kw_only(), pyb::arg("q_ring") = pyb::none(),
        pyb::arg("pixel_ring") = pyb::none(), pyb::arg("bins") = 36,
        "azimuthal(*, q_ring=None, pixel_ring=None, bins=36) -> Azimuthal\n\nI(phi) in the ring Q1 <= Q < Q2 "
        "(q_ring, 1/angstrom) or R1 <= r < R2 (pixel_ring, pixels), with the radial average's sub-pixel "
        "splitting, and the pattern's orientation: pelkaro-aniso's numbers.  Raises pelkaro.Error for a ring "
        "that is empty, outside the detector or masked, or bins outside 2 to 3600.");
    run.attr("sector_pairs") = pyb::cpp_function(
        &sectors, pyb::name("sector_pairs"), pyb::is_method(run), pyb::arg("width"), pyb::arg("axis"),
        "sector_pairs(width, axis) -> SectorPairs\n\nI(Q) over axis +- width/2 with its opposite sector, and the "
        "same across (axis + 90), degrees; a sector may run through 0.  Raises pelkaro.Error for a width outside "
        "(0, 180) or a run without WAVE.");
}

}  // namespace pk::py
