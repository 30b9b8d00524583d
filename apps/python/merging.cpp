// pelkaro.merge: the join of pelkaro-merge (pelkaro/merge.h) on NXcanSAS
// files and reductions in memory, its result as numpy arrays and its file
// written as the program writes it.  The files are read and written with
// the interpreter held (HDF5 is not made for threads, and a file is read
// in a process forked for it); the join itself releases it.
#include <pybind11/stl.h>

#include <cmath>

#include "pelkaro/files.h"
#include "pelkaro/merge.h"
#include "py_run.h"

namespace pk::py {

namespace {

// A join as Python holds it.
struct PyMerged {
    std::vector<std::string> files;  // the files read (empty: a reduction in memory)
    std::vector<std::string> names;  // every curve's name: its file, or the reduction's (for messages)
    std::vector<MergeCurve> curves;
    MergeOptions opt;
    MergeResult result;
    std::optional<std::string> cwd;
    std::mutex writing;
};

// What became of one curve, as pelkaro.MergeInput.
struct PyMergeInput {
    MergeCurve curve;  // its Q range, distance and wavelength (not its points)
    MergedInput in;
};

// A refusal of the join, naming `file` when it concerns one: its sentence
// the Status's reason.
Refusal merge_refusal(const Status& st, const std::string& file = std::string()) {
    return Refusal(st, file.empty() ? std::nullopt : std::optional<std::string>(file), std::string(), st.reason);
}

// The name of the curve a refusal concerns (its entry), or none.
std::string culprit_name(const PyMerged& m, const Status& st) {
    return st.entry >= 0 ? m.names.at(static_cast<std::size_t>(st.entry)) : std::string();
}

// The name a reduction's curve goes by: its parameter file, or the first
// sample of a mapping, in the directory it was reduced in.
std::string reduction_name(const PyRun& r) {
    const std::string name = r.from_mapping ? r.run.sam.at(0).name : r.run.file.name;
    if (!r.cwd || name.empty() || name[0] == '/') return name;
    return *r.cwd + (r.cwd->empty() || r.cwd->back() == '/' ? "" : "/") + name;
}

// The curves given: files by name, reductions by their curves.
void take_curves(const pyb::list& items, PyMerged& m) {
    for (const pyb::handle item : items) {
        MergeCurve c;
        if (pyb::isinstance<PyRun>(item)) {
            const PyRun& r = item.cast<const PyRun&>();
            Status st = merge_curve_of(r.run, r.q, reduction_name(r), c);
            if (!st.ok()) {
                st.entry = static_cast<int>(m.names.size());
                throw merge_refusal(st, reduction_name(r));
            }
            m.files.emplace_back();
        } else {
            m.files.push_back(path_of(item, "a curve"));
            c.file = m.files.back();
        }
        m.names.push_back(c.file);
        m.curves.push_back(std::move(c));
    }
}

// The reference: none (-1), an index, a reduction given, or a file given.
int reference_of(const pyb::object& ref, const pyb::list& items, const PyMerged& m) {
    if (ref.is_none()) return -1;
    if (pyb::isinstance<pyb::int_>(ref) && !pyb::isinstance<pyb::bool_>(ref)) {
        const long k = ref.cast<long>();
        if (k >= 0 && k < static_cast<long>(items.size())) return static_cast<int>(k);
        throw merge_refusal(failure(Stage::parameters, Code::bad_parameter,
                                    pk::format("the reference %ld is not the index of a curve given (0 to %zu)", k,
                                               m.curves.size() - 1)));
    }
    for (std::size_t k = 0; k < items.size(); ++k)
        if (pyb::object(items[k]).is(ref) && pyb::isinstance<PyRun>(ref)) return static_cast<int>(k);
    if (pyb::isinstance<PyRun>(ref))
        throw merge_refusal(
            failure(Stage::parameters, Code::bad_parameter, "the reference is not among the curves given"));
    int index = -1;
    Status st;
    const std::string name = path_of(ref, "the reference");
    in_directory(m.cwd, [&] { st = reference_index(m.files, name, index); });
    if (!st.ok()) throw merge_refusal(st);
    return index;
}

// Reads the files (each in a process forked with the interpreter held, so
// that no other thread is inside the HDF5 library) and checks the curves.
void read_all(PyMerged& m) {
    Status st;
    in_directory(m.cwd, [&] {
        st = check_merge_inputs(m.files);
        if (st.ok()) st = read_curves(m.files, m.curves);
    });
    if (!st.ok()) throw merge_refusal(st, culprit_name(m, st));
}

std::unique_ptr<PyMerged> merge(const pyb::list& items, const pyb::object& reference, bool scale, bool trim,
                                double q_min, double q_max, const pyb::object& cwd, const pyb::object& title) {
    auto m = std::make_unique<PyMerged>();
    m->opt.title_given = !title.is_none();
    if (m->opt.title_given) m->opt.title = pyb::str(title).attr("encode")("utf-8", "surrogateescape").cast<std::string>();
    m->cwd = optional_path(cwd, "cwd");
    take_curves(items, *m);
    m->opt.reference = reference_of(reference, items, *m);
    m->opt.scale = scale;
    m->opt.trim = trim;
    m->opt.q_min = q_min;
    m->opt.q_max = q_max;
    read_all(*m);
    Status st;
    {
        pyb::gil_scoped_release released;
        st = merge_curves(m->curves, m->opt, m->result);
    }
    if (!st.ok()) throw merge_refusal(st, culprit_name(*m, st));
    return m;
}

std::string write_merged_file(PyMerged& m, const std::optional<std::string>& path) {
    if (!path && m.files.at(0).empty())
        throw merge_refusal(failure(Stage::output, Code::cannot_write,
                                    "the first curve is a reduction in memory, with no file to write beside: give "
                                    "write_nxcansas() the name of its output"));
    const std::string out = path ? *path : merged_output(m.files[0]);
    Status st;
    const std::lock_guard<std::mutex> one_write(m.writing);
    // HDF5 is not made for threads: the interpreter stays held, as h5py holds it.
    in_directory(m.cwd, [&] {
        st = output_not_input(m.files, out);
        if (st.ok()) st = write_merged(m.curves, m.result, m.opt, out);
    });
    if (!st.ok()) throw merge_refusal(st, out);
    return out;
}

pyb::object optional_number(double v) { return std::isfinite(v) ? pyb::object(pyb::float_(v)) : pyb::object(pyb::none()); }

pyb::list inputs_of(const PyMerged& m) {
    pyb::list out;
    for (std::size_t k = 0; k < m.curves.size(); ++k) {
        MergeCurve c = m.curves[k];
        const double lo = c.q_min(), hi = c.q_max();
        c.q = {lo, hi};  // the range is all it keeps of the points
        c.i.clear(), c.idev.clear(), c.qdev.clear();
        out.append(PyMergeInput{std::move(c), m.result.inputs[k]});
    }
    return out;
}

std::string console_of(const PyMerged& m) {
    std::string s;
    for (std::size_t k = 0; k < m.curves.size(); ++k) s += merge_line(m.curves[k], m.result.inputs[k]) + "\n";
    return s;
}

pyb::array scales_of(const PyMerged& m, bool dev) {
    std::vector<double> v;
    for (const MergedInput& in : m.result.inputs) v.push_back(dev ? in.scale_dev : in.scale);
    return frozen_doubles(v);
}

void bind_merge_input(pyb::module_& m) {
    using In = PyMergeInput;
    pyb::class_<In>(m, "MergeInput", "What became of one curve in pelkaro.merge: a line of pelkaro-merge.")
        .def_property_readonly("name", [](const In& i) { return text_of(i.curve.file); },
                               "The curve's file as given, or the reduction's parameter file (for a mapping, its "
                               "first sample).")
        .def_property_readonly("q_range", [](const In& i) { return pyb::make_tuple(i.curve.q[0], i.curve.q[1]); },
                               "The curve's (lowest, highest) Q, 1/angstrom.")
        .def_property_readonly("distance", [](const In& i) { return optional_number(i.curve.distance_mm); },
                               "Its sample-to-detector distance in mm, or None when its file does not state it.")
        .def_property_readonly("wavelength", [](const In& i) { return optional_number(i.curve.wavelength); },
                               "Its wavelength in angstrom, or None when its file does not state it.")
        .def_property_readonly("scale", [](const In& i) { return i.in.scale; }, "The factor it was multiplied by.")
        .def_property_readonly("scale_dev", [](const In& i) { return i.in.scale_dev; },
                               "The factor's one-sigma uncertainty (common to all its points, not in i_dev).")
        .def_property_readonly("reference", [](const In& i) { return i.in.reference; },
                               "True for the curve that kept its scale.")
        .def_property_readonly("overlap", [](const In& i) {
            return i.in.overlap_hi > 0 ? pyb::object(pyb::make_tuple(i.in.overlap_lo, i.in.overlap_hi))
                                       : pyb::object(pyb::none()); },
                               "The Q range (lo, hi) it shares with the curves joined before it, or None.")
        .def_property_readonly("kept", [](const In& i) { return pyb::make_tuple(i.in.keep_lo, i.in.keep_hi); },
                               "The Q range (lo, hi) of its points kept.")
        .def_property_readonly("points", [](const In& i) { return i.in.points_kept; }, "The number of its points kept.")
        .def_property_readonly("line", [](const In& i) { return text_of(merge_line(i.curve, i.in)); },
                               "The line pelkaro-merge prints for it.")
        .def("__repr__", [](const In& i) { return text_of("<pelkaro.MergeInput " + merge_line(i.curve, i.in) + ">"); });
}

}  // namespace

void bind_merge(pyb::module_& m) {
    bind_merge_input(m);
    pyb::class_<PyMerged>(m, "MergedCurve", "The curve pelkaro.merge joined from several configurations, sorted by "
                                            "Q, with the factor each input was multiplied by.")
        .def_property_readonly("q", [](const PyMerged& r) { return frozen_doubles(r.result.q); },
                               "Q of every point kept, 1/angstrom (float64), as the file's Q.")
        .def_property_readonly("i", [](const PyMerged& r) { return frozen_doubles(r.result.i); },
                               "Intensity, on the reference's scale (float64), as the file's I.")
        .def_property_readonly("i_dev", [](const PyMerged& r) { return frozen_doubles(r.result.idev); },
                               "Its uncertainty, scaled with it (float64), as the file's Idev.")
        .def_property_readonly("q_dev", [](const PyMerged& r) {
            return r.result.qdev.empty() ? pyb::object(pyb::none()) : pyb::object(frozen_doubles(r.result.qdev)); },
                               "The one-sigma Gaussian Q resolution each point had in its own configuration "
                               "(float64), or None when an input has none.")
        .def_property_readonly("scale", [](const PyMerged& r) { return scales_of(r, false); },
                               "The factor of each input, in the order given (1 for the reference).")
        .def_property_readonly("scale_dev", [](const PyMerged& r) { return scales_of(r, true); },
                               "The factors' one-sigma uncertainties.")
        .def_property_readonly("inputs", &inputs_of, "What became of each input (list of MergeInput).")
        .def_property_readonly("console", [](const PyMerged& r) { return text_of(console_of(r)); },
                               "The lines pelkaro-merge prints for the inputs.")
        .def("__len__", [](const PyMerged& r) { return r.result.q.size(); })
        .def(
            "write_nxcansas",
            [](PyMerged& r, const pyb::object& path) { return write_merged_file(r, optional_path(path, "the output")); },
            pyb::arg("path") = pyb::none(),
            "write_nxcansas(path=None) -> str\n\nWrites the NXcanSAS file pelkaro-merge writes for the same inputs "
            "and options, atomically; without a path, beside the first input file, its name up to the first '.' "
            "with _merged.h5.  Relative names resolve against the cwd merge() was given.  Returns the file's name; "
            "raises pelkaro.Error when it cannot be written or would replace an input.")
        .def("__repr__", [](const PyMerged& r) {
            return text_of(pk::format("<pelkaro.MergedCurve of %zu curves: %zu points>", r.curves.size(),
                                      r.result.q.size()));
        });
    m.def("merge", &merge, pyb::arg("curves"), pyb::arg("reference"), pyb::arg("scale"), pyb::arg("trim"),
          pyb::arg("q_min"), pyb::arg("q_max"), pyb::arg("cwd"), pyb::arg("title") = pyb::none(),
          "Joins curves of several configurations as pelkaro-merge does; see pelkaro.merge.");
}

}  // namespace pk::py
