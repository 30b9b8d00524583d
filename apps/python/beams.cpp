// pelkaro.transmission: the measurement of pelkaro-trans (the library's
// measure_direct_beams) with the interpreter released, its results and its
// refusals as Python objects.
#include <pybind11/stl.h>

#include "pelkaro/trans.h"
#include "py_run.h"

namespace pk::py {

namespace {

// A run measured, as pelkaro.RunTransmission.
struct PyRunTransmission {
    std::string file, datafile;
    std::size_t index = 0;
    Measured t;
};

// One measurement as Python holds it.
struct PyTransmission {
    TransRequest req;
    TransResult result;
    std::string console;  // what pelkaro-trans prints on standard error
    pyb::list errors;     // pelkaro.Error, in the order met
    pyb::list warnings;   // str
};

std::string note_line(const TransNote& n) {
    return std::string("pelkaro-trans: ") + (n.warning ? "warning: " : "error: ") + n.text + "\n";
}

// The notes as pelkaro.Error objects and warning sentences, each error with
// the console up to it.
void collect_notes(PyTransmission& m) {
    for (const TransNote& n : m.result.notes) {
        m.console += note_line(n);
        if (n.warning) {
            m.warnings.append(text_of(n.text));
            continue;
        }
        Status st = n.status;
        st.entry = n.run;
        st.reason = n.text;  // the sentence pelkaro-trans prints for it
        m.errors.append(error_of(Refusal(st, std::nullopt, m.console, note_line(n))));
    }
}

BeamRun beam_run(const pyb::tuple& t) {
    BeamRun r;
    r.file = t[0].cast<std::string>();
    r.time = t[1].cast<double>();
    r.monitor = t.size() > 2 ? t[2].cast<double>() : 0.0;
    if (t.size() > 3 && !t[3].is_none()) r.datafile = t[3].cast<std::string>();
    return r;
}

std::unique_ptr<PyTransmission> measure(const pyb::tuple& empty, const pyb::list& runs, const pyb::object& par,
                                        const pyb::object& par_text, const pyb::object& dark, double radius,
                                        double attenuation, const pyb::list& images, const pyb::object& cwd) {
    auto m = std::make_unique<PyTransmission>();
    TransRequest& q = m->req;
    q.empty = beam_run(empty);
    for (const pyb::handle r : runs) q.runs.push_back(beam_run(r.cast<pyb::tuple>()));
    if (!par.is_none()) q.par = par.cast<std::string>();
    q.par_in_memory = !par_text.is_none();
    if (q.par_in_memory) q.par_text = par_text.cast<std::string>();
    q.dark_given = !dark.is_none();
    if (q.dark_given) q.dark = beam_run(dark.cast<pyb::tuple>());
    q.radius = radius;
    q.attenuation = attenuation;
    q.held = held_images(images);
    const std::optional<std::string> dir = optional_path(cwd, "cwd");
    {
        pyb::gil_scoped_release released;
        in_directory(dir, [&] { m->result = measure_direct_beams(q); });
    }
    collect_notes(*m);
    return m;
}

pyb::object optional_text(const std::string& s) { return s.empty() ? pyb::object(pyb::none()) : pyb::object(text_of(s)); }

pyb::list measured_runs(const PyTransmission& m) {
    pyb::list out;
    for (const TransRun& r : m.result.runs) {
        const BeamRun& run = m.req.runs[r.run];
        out.append(PyRunTransmission{run.file, run.datafile, r.run, r.t});
    }
    return out;
}

pyb::object absf_part(const PyTransmission& m, double value) {
    return m.result.scaled ? pyb::object(pyb::float_(value)) : pyb::object(pyb::none());
}

void bind_run_transmission(pyb::module_& m) {
    pyb::class_<PyRunTransmission>(m, "RunTransmission", "The transmission of one direct-beam run through a sample "
                                                         "or buffer: a line of pelkaro-trans.")
        .def_property_readonly("file", [](const PyRunTransmission& r) { return text_of(r.file); },
                               "The run's file (or the name of its image), as given.")
        .def_property_readonly("value", [](const PyRunTransmission& r) { return r.t.value; },
                               "The transmission: the run's net counts in the disc per monitor count over the empty "
                               "beam's.")
        .def_property_readonly("sigma", [](const PyRunTransmission& r) { return r.t.sigma; },
                               "Its standard uncertainty from the counts of both runs and of the dark current.")
        .def_property_readonly("datafile", [](const PyRunTransmission& r) { return optional_text(r.datafile); },
                               "The scattering run (DATS or DATB file) it belongs to, or None.")
        .def_property_readonly("index", [](const PyRunTransmission& r) { return r.index; },
                               "Its place among the runs given (from 0).")
        .def("__repr__", [](const PyRunTransmission& r) {
            return text_of(pk::format("<pelkaro.RunTransmission %s: %.6f +- %.6f>", r.file.c_str(), r.t.value,
                                      r.t.sigma));
        });
}

}  // namespace

void bind_transmission(pyb::module_& m) {
    bind_run_transmission(m);
    pyb::class_<PyTransmission>(m, "Transmission", "What pelkaro.transmission measured on direct-beam runs, as "
                                                   "pelkaro-trans reports it.")
        .def_property_readonly("runs", &measured_runs,
                               "The runs measured, in the order given (list of RunTransmission); a run that could "
                               "not be used is among `errors` instead.")
        .def_property_readonly("centre", [](const PyTransmission& t) {
            return pyb::make_tuple(t.result.centre.x, t.result.centre.y); },
                               "The beam centre (x, y) in pixels, as a CNTR line takes it (pixel (x, y) spans x to "
                               "x + 1).")
        .def_property_readonly("centre_sigma", [](const PyTransmission& t) {
            return pyb::make_tuple(t.result.centre.sx, t.result.centre.sy); },
                               "The centre's standard uncertainties (x, y) in pixels.")
        .def_property_readonly("radius", [](const PyTransmission& t) { return t.result.disc.radius; },
                               "The radius of the disc the counts are taken in, pixels.")
        .def_property_readonly("radius_given", [](const PyTransmission& t) { return t.result.radius_given; },
                               "True when the radius was given, False for the default disc.")
        .def_property_readonly("absf", [](const PyTransmission& t) { return absf_part(t, t.result.absf.value); },
                               "The absolute scale factor (ABSF), or None without an attenuation.")
        .def_property_readonly("absf_sigma", [](const PyTransmission& t) { return absf_part(t, t.result.absf.sigma); },
                               "Its standard uncertainty, or None.")
        .def_property_readonly("absf_stand_ins", [](const PyTransmission& t) { return t.result.absf.stand_ins; },
                               "Pixels about the beam whose efficiency the flat field does not give (0 without ABSF).")
        .def_property_readonly("absf_stand_in_share", [](const PyTransmission& t) {
            return t.result.absf.stand_in_share; }, "The share of the beam's net counts in those pixels.")
        .def_property_readonly("absf_around", [](const PyTransmission& t) { return t.result.absf.around; },
                               "The pixels about the beam whose mean efficiency stands in for them.")
        .def_property_readonly("text", [](const PyTransmission& t) { return text_of(trans_text(t.req, t.result)); },
                               "The lines pelkaro-trans prints, ready to paste into a parameter file.")
        .def_property_readonly("tsv", [](const PyTransmission& t) { return text_of(trans_tsv(t.req, t.result)); },
                               "The table of pelkaro-trans --format tsv, for pelkaro-check --trans.")
        .def_property_readonly("warnings", [](const PyTransmission& t) { return t.warnings; },
                               "The warnings, as sentences (a transmission above 1 by more than 3 sigma).")
        .def_property_readonly("errors", [](const PyTransmission& t) { return t.errors; },
                               "The refusals met (pelkaro.Error), with errors='keep'.")
        .def_property_readonly("console", [](const PyTransmission& t) { return text_of(t.console); },
                               "What pelkaro-trans prints on standard error: its warnings and errors.")
        .def_property_readonly("measured", [](const PyTransmission& t) { return t.result.measured; },
                               "False when nothing could be measured.")
        .def("__repr__", [](const PyTransmission& t) {
            return text_of(pk::format("<pelkaro.Transmission of %zu runs, centre (%.3f, %.3f)>", t.result.runs.size(),
                                      t.result.centre.x, t.result.centre.y));
        });
    m.def("transmission", &measure, pyb::arg("empty"), pyb::arg("runs"), pyb::arg("par"), pyb::arg("par_text"),
          pyb::arg("dark"), pyb::arg("radius"), pyb::arg("attenuation"), pyb::arg("images"), pyb::arg("cwd"),
          "Measures direct-beam runs as pelkaro-trans does; see pelkaro.transmission.");
}

}  // namespace pk::py
