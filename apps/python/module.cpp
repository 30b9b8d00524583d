// pelkaro._pelkaro: the library bound for Python.  The package around it
// (pelkaro/__init__.py) turns mappings into parameter text and gives the
// public functions; this part runs the library with the interpreter released
// and turns its results into numpy arrays and its refusals into
// pelkaro.Error.
#include <pybind11/stl.h>

#include "pelkaro/check.h"
#include "py_run.h"

namespace pk::py {

namespace {

pyb::object maybe(int value) { return value > 0 ? pyb::object(pyb::int_(value)) : pyb::object(pyb::none()); }

pyb::object maybe(const std::string& s) { return s.empty() ? pyb::object(pyb::none()) : pyb::object(text_of(s)); }

}  // namespace

std::string path_of(const pyb::handle& h, const char* what) {
    const pyb::module_ os = pyb::module_::import("os");
    const pyb::object p = os.attr("fspath")(h);
    if (!pyb::isinstance<pyb::str>(p))
        throw refusal(Stage::parameters, Code::cannot_read, std::string(what) + " must be a str or os.PathLike of str");
    const std::string s = os.attr("fsencode")(p).cast<std::string>();
    if (s.find('\0') != std::string::npos || s.empty())
        throw refusal(Stage::parameters, Code::cannot_read,
                      std::string(what) + (s.empty() ? " is empty" : " holds a NUL character"));
    return s;
}

std::optional<std::string> optional_path(const pyb::object& h, const char* what) {
    if (h.is_none()) return std::nullopt;
    return path_of(h, what);
}

namespace {

// One diagnostic of pelkaro.check.
struct PyDiagnostic {
    Diagnostic d;
    std::string kind() const {
        return d.severity == Severity::error ? "error" : d.severity == Severity::warning ? "warning" : "note";
    }
};

pyb::list check(const pyb::object& path, const pyb::object& cwd) {
    const std::string name = path_of(path, "the parameter file");
    const std::optional<std::string> dir = optional_path(cwd, "cwd");
    CheckResult result;
    {
        pyb::gil_scoped_release released;
        in_directory(dir, [&] { result = check_run(name); });
    }
    pyb::list out;
    for (Diagnostic& d : result.diagnostics) out.append(PyDiagnostic{std::move(d)});
    return out;
}

std::string run_repr(const PyRun& r) {
    std::string what = r.curve.is_none() ? "no curve"
                                         : pk::format("a curve of %d points", static_cast<int>(pyb::len(r.curve.attr("q"))));
    return "<pelkaro.Run of " + (r.from_mapping ? std::string("a mapping") : r.run.file.name) + ": " + what +
           ", the 128 x 128 image>";
}

void bind_results(pyb::module_& m) {
    pyb::class_<Curve>(m, "Curve", "The azimuthally averaged curve: one value per radial bin that received "
                                   "detector area (the lines of the .d1d), all arrays of one length.")
        .def_readonly("q", &Curve::q, "Mean |Q| the instrument gives the point, 1/angstrom (float64), as the "
                                      "NXcanSAS file's Q (the bin's centre when the resolution is not known).")
        .def_readonly("q_centre", &Curve::q_centre, "Q at the bin's centre radius (float64), the NXcanSAS file's "
                                                    "Qcentre.")
        .def_readonly("kernel_q", &Curve::kernel_q, "The resolution kernel's |Q| nodes, points x nodes, each row "
                                                    "increasing (float64): pelkaro.resolution uses them.")
        .def_readonly("kernel_weight", &Curve::kernel_weight, "The kernel's weights, points x nodes, each row "
                                                              "summing to 1 (float64).")
        .def_readonly("q_edge", &Curve::q_edge, "Q at the bin's inner edge (float32), the .d1d's first column.")
        .def_readonly("q_mean", &Curve::q_mean, "Mean Q of the detector area that fell into the bin (float64), as "
                                                "the NXcanSAS file's Qmean.")
        .def_readonly("i", &Curve::i, "Mean intensity of the bin (float32), as the NXcanSAS file's I: freed of the "
                                      "sample's own wide-angle attenuation.")
        .def_readonly("i_dev", &Curve::i_dev, "Standard deviation of i as averaged (float32), the NXcanSAS "
                                              "file's Idev (neighbouring bins are correlated).")
        .def_readonly("q_dev", &Curve::q_dev, "Standard deviation of |Q| about q (float32), the NXcanSAS file's "
                                              "Qdev, the width of a Gaussian smearing.")
        .def_readonly("d1d_i", &Curve::d1d_i, "The mean intensity as Pelkaro computes it (float32), the .d1d's I "
                                              "column before rounding.")
        .def_readonly("computed_i_dev", &Curve::computed_i_dev, "i_dev as Pelkaro computes it, with d1d_i (float32), "
                                                                "the Idev of pelkaro-nxcansas --as-computed.")
        .def_readonly("d1d_i_dev", &Curve::d1d_i_dev, "The .d1d's dI column (float32, as computed).")
        .def_readonly("d1d_q_dev", &Curve::d1d_q_dev, "The .d1d's dQ column (float32, as computed).")
        .def_readonly("bins", &Curve::bins, "Index of each radial bin (from 0 at the beam centre).")
        .def("__len__", [](const Curve& c) { return pyb::len(c.q); });
    pyb::class_<Image>(m, "Image", "The reduced image, each array 128 x 128 indexed [row y, column x] as the .d2d "
                                   "lists it.")
        .def_readonly("i", &Image::i, "Intensity of each pixel (float32; 0 where masked), as the NXcanSAS file's I: "
                                      "freed of the sample's own wide-angle attenuation.")
        .def_readonly("i_dev", &Image::i_dev, "Uncertainty of each pixel's intensity (float32), likewise.")
        .def_readonly("d2d_i", &Image::d2d_i, "Each pixel's intensity as Pelkaro computes it (float32), the .d2d's.")
        .def_readonly("d2d_i_dev", &Image::d2d_i_dev, "Its uncertainty as Pelkaro computes it (float32), the .d2d's.")
        .def_readonly("mask", &Image::mask, "True where the pixel is excluded (masked, or removed for extreme "
                                            "sensitivity), as numpy.ma reads a mask.")
        .def_readonly("qx", &Image::qx, "Qx at each pixel centre, 1/angstrom (float64).")
        .def_readonly("qy", &Image::qy, "Qy at each pixel centre, 1/angstrom (float64).");
    pyb::class_<PyDiagnostic>(m, "Diagnostic", "One finding of pelkaro.check, as pelkaro-check prints it.")
        .def_property_readonly("file", [](const PyDiagnostic& d) { return text_of(d.d.file); },
                               "The file it concerns, as named.")
        .def_property_readonly("line", [](const PyDiagnostic& d) { return maybe(d.d.line); },
                               "Its line, as an editor counts; None for the file as a whole.")
        .def_property_readonly("kind", &PyDiagnostic::kind, "'error', 'warning' or 'note'.")
        .def_property_readonly("message", [](const PyDiagnostic& d) { return text_of(d.d.text); }, "What was found.")
        .def_property_readonly("paste", [](const PyDiagnostic& d) { return maybe(d.d.paste); },
                               "A line to paste into the parameter file, or None.")
        .def("__str__", [](const PyDiagnostic& d) { return text_of(diagnostic_line(d.d)); })
        .def("__repr__", [](const PyDiagnostic& d) { return text_of("<pelkaro.Diagnostic " + diagnostic_line(d.d) + ">"); });
}

NxOptions nx_options(const pyb::object& title, const std::string& length_unit, const std::string& intensity_unit,
                     bool as_computed) {
    NxOptions opt;
    opt.as_computed = as_computed;
    opt.length_unit = length_unit;
    opt.intensity_unit = intensity_unit;
    opt.title_given = !title.is_none();
    if (opt.title_given) opt.title = pyb::str(title).attr("encode")("utf-8", "surrogateescape").cast<std::string>();
    return opt;
}

// The uncertainties given to write_nxcansas, each a measurement of its own;
// ValueError for one that cannot be used.
void nx_uncertainty(const PyRun& r, const pyb::object (&devs)[3], NxOptions& opt) {
    const Run& run = r.run;
    const Data2D* buffer = nullptr;
    for (const Data2D& b : run.buf)
        if (b.tm != 0 && !buffer) buffer = &b;
    const char* const names[] = {"transmission_dev", "buffer_transmission_dev", "absf_dev"};
    const double values[] = {run.sam.empty() ? 0.0 : static_cast<double>(run.sam[0].trans),
                             buffer ? static_cast<double>(buffer->trans) : 0.0, run.p.abs_fact};
    ScaleUncertainty& u = opt.uncertainty;
    bool* const given[] = {&u.sample, &u.buffer, &u.absf};
    SigmaShares* const to[] = {&u.sample_t, &u.buffer_t, &u.absf_f};
    for (int k = 0; k < 3; ++k) {
        if (devs[k].is_none()) continue;
        if (k == 1 && !buffer) throw pyb::value_error("buffer_transmission_dev: the reduction has no buffer in use");
        const double sigma = devs[k].cast<double>();
        const std::string fault = uncertainty_fault(values[k], sigma);
        if (!fault.empty()) throw pyb::value_error(std::string(names[k]) + ": " + fault);
        *given[k] = true;
        *to[k] = SigmaShares{0.0, 0.0, sigma};
    }
    u.source = "the arguments of pelkaro.Run.write_nxcansas";
}

constexpr const char* kWriteNxcansasDoc =
    "write_nxcansas(path=None, *, title=None, length_unit='mm', intensity_unit='1/cm', as_computed=False, "
    "transmission_dev=None, buffer_transmission_dev=None, absf_dev=None) -> str\n\nWrites "
    "the NXcanSAS (HDF5) file pelkaro-nxcansas writes for this reduction (its options by the same names; "
    "as_computed: --as-computed, I and Idev as Pelkaro computes them); "
    "without a path, beside the first sample file with .h5.  The standard uncertainties of the first "
    "sample's transmission, the first used buffer's and ABSF, where given, are carried to every point "
    "beside Idev (Isys_sample_transmission, Isys_buffer_transmission, Isys_absf), each a measurement of "
    "its own; ValueError for one that is negative, not finite or larger than its value.  Returns the "
    "file's name; raises pelkaro.Error when it cannot be written or the module was built without HDF5.";

void bind_run(pyb::module_& m) {
    pyb::class_<PyRun>(m, "Run", "A reduction made in memory by pelkaro.reduce: its curve, image and parameters; "
                                 "it writes files only when asked.")
        .def_property_readonly("curve", [](const PyRun& r) { return r.curve; },
                               "The averaged curve (Curve), or None when AVGM is 0.")
        .def_property_readonly("image", [](const PyRun& r) { return r.image; }, "The reduced image (Image).")
        .def_property_readonly("console", [](const PyRun& r) { return text_of(r.console); },
                               "What Pelkaro prints on its console for the reduction.")
        .def_property_readonly("parameter_file", [](const PyRun& r) { return maybe(r.file().value_or("")); },
                               "The parameter file as named, or None for a reduction of a mapping.")
        .def_property_readonly("cwd", [](const PyRun& r) { return maybe(r.cwd.value_or("")); },
                               "The directory its file names resolve against, or None for the working directory.")
        .def_property_readonly(
            "parameters",
            [](PyRun& r) {
                if (!r.parameters) r.parameters = pyb::module_::import("pelkaro._mapping").attr("parameters_of")(accepted_lines(r));
                return r.parameters;
            },
            "The accepted parameters, read-only, in the form pelkaro.reduce takes: pelkaro.reduce(run.parameters) "
            "makes the same reduction.")
        .def(
            "write",
            [](PyRun& r, const pyb::object& path) { return write_text_files(r, optional_path(path, "the output")); },
            pyb::arg("path") = pyb::none(),
            "write(path=None) -> list[str]\n\nWrites the .d2d and/or .d1d (as AVGM asks) exactly as Pelkaro writes "
            "them, atomically.  They are named after `path` as Pelkaro names them after the first sample file (the "
            "directory kept, the last component cut at its first '.', then .d2d/.d1d); without a path, beside the "
            "first sample file.  Relative names resolve against the run's cwd.  Returns the files written; raises "
            "pelkaro.Error when a file cannot be written.")
        .def(
            "write_nxcansas",
            [](PyRun& r, const pyb::object& path, const pyb::object& title, const std::string& length_unit,
               const std::string& intensity_unit, bool as_computed, const pyb::object& tdev,
               const pyb::object& bdev, const pyb::object& adev) {
                NxOptions opt = nx_options(title, length_unit, intensity_unit, as_computed);
                nx_uncertainty(r, {tdev, bdev, adev}, opt);
                return write_nxcansas(r, optional_path(path, "the output"), opt);
            },
            pyb::arg("path") = pyb::none(), pyb::kw_only(), pyb::arg("title") = pyb::none(),
            pyb::arg("length_unit") = "mm", pyb::arg("intensity_unit") = "1/cm", pyb::arg("as_computed") = false,
            pyb::arg("transmission_dev") = pyb::none(), pyb::arg("buffer_transmission_dev") = pyb::none(),
            pyb::arg("absf_dev") = pyb::none(),
            kWriteNxcansasDoc)
        // A Run is the library's whole reduction (its run, the images held for
        // its files, the files as they were when read): a pickle of it could
        // only reduce again from files that may since have changed or be
        // elsewhere, so it is refused, saying what to keep instead.  It never
        // changes, so a copy is the Run itself.
        .def("__reduce_ex__",
             [](const PyRun&, const pyb::object&) -> pyb::object {
                 throw pyb::type_error(
                     "a pelkaro.Run cannot be pickled: it is the library's reduction in memory, which a pickle could "
                     "only remake by reducing again from files that may have changed since; pickle its arrays "
                     "(run.curve.q, run.curve.i, run.image.i, ...), or write() / write_nxcansas() "
                     "its results");
             })
        .def("__copy__", [](const pyb::object& self) { return self; })
        .def("__deepcopy__", [](const pyb::object& self, const pyb::object&) { return self; }, pyb::arg("memo"))
        .def("__repr__", [](const PyRun& r) { return text_of(run_repr(r)); });
}

}  // namespace

pyb::object error_of(const Refusal& r) {
    const Status& st = r.status();
    const pyb::object error = pyb::module_::import("pelkaro").attr("Error");
    return error(text_of(r.what()), pyb::arg("stage") = stage_name(st.stage), pyb::arg("code") = code_name(st.code),
                 pyb::arg("line") = maybe(st.line), pyb::arg("keyword") = maybe(keyword_name(st.keyword)),
                 pyb::arg("entry") = st.entry >= 0 ? pyb::object(pyb::int_(st.entry)) : pyb::object(pyb::none()),
                 pyb::arg("file") = maybe(r.file().value_or("")), pyb::arg("detail") = text_of(st.detail),
                 pyb::arg("text") = text_of(r.text()), pyb::arg("console") = text_of(r.console()));
}

void raise_error(const Refusal& r) {
    const pyb::object e = error_of(r);
    PyErr_SetObject(e.get_type().ptr(), e.ptr());
}

}  // namespace pk::py

PYBIND11_MODULE(_pelkaro, m) {
    namespace py = pk::py;
    m.doc() = "The Pelkaro library bound for Python; use the package pelkaro, which wraps it.";
    pybind11::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const py::Refusal& r) {
            py::raise_error(r);
        }
    });
    py::bind_results(m);
    py::bind_run(m);
    py::bind_aniso(m);
    py::bind_transmission(m);
#ifdef PELKARO_WITH_HDF5
    py::bind_merge(m);
#endif
    m.def(
        "reduce_file",
        [](const pybind11::object& path, const pybind11::object& cwd) {
            return py::reduce_file(py::path_of(path, "the parameter file"), py::optional_path(cwd, "cwd"));
        },
        pybind11::arg("path"), pybind11::arg("cwd") = pybind11::none(),
        "Reduces the parameter file `path` in memory; see pelkaro.reduce.");
    m.def(
        "reduce_text",
        [](const std::string& text, const pybind11::list& images, const pybind11::object& cwd) {
            return py::reduce_text(text, py::held_images(images), py::optional_path(cwd, "cwd"));
        },
        pybind11::arg("text"), pybind11::arg("images"), pybind11::arg("cwd") = pybind11::none(),
        "Reduces parameter-file text with images [(name, is_mask, uint32 128 x 128 array)] standing for the "
        "files of their names; see pelkaro.reduce.");
    m.def("check", &py::check, pybind11::arg("path"), pybind11::arg("cwd") = pybind11::none(),
          "Checks the run of a parameter file; see pelkaro.check.");
    m.attr("version") = PELKARO_VERSION;
#ifdef PELKARO_WITH_HDF5
    m.attr("has_nxcansas") = true;
#else
    m.attr("has_nxcansas") = false;
#endif
}
