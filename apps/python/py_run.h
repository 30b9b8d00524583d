// The Python module's view of a reduction: the library's run with what the
// module adds to it (the console text, the Q of the curve's bins, the
// directory its file names resolve against), the failure that becomes
// pelkaro.Error, and running library work in a working directory of its own.
#ifndef PELKARO_PY_RUN_H
#define PELKARO_PY_RUN_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "pelkaro/nxcansas.h"
#include "pelkaro/run.h"

namespace pk::py {

namespace pyb = pybind11;

// Text of the library's (a file name may be any bytes) as Python text, the
// way os.fsdecode reads a file name: bytes that are not UTF-8 kept as
// surrogates.
inline pyb::str text_of(const std::string& s) {
    return pyb::reinterpret_steal<pyb::str>(
        PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape"));
}

// A refusal, as pelkaro.Error carries it: the library's Status, the
// parameter file it concerns (none for a mapping), the console text up to
// it and the text printed for it: Pelkaro's (Status::text), or a companion
// program's line where one is given.  Its sentence is the Status's reason.
// Thrown by the module's C++ code; translated into pelkaro.Error.
class Refusal : public std::exception {
public:
    Refusal(Status st, std::optional<std::string> file, std::string console, std::string text = std::string())
        : st_(std::move(st)), file_(std::move(file)), console_(std::move(console)),
          text_(text.empty() ? st_.text() : std::move(text)) {}
    const char* what() const noexcept override { return st_.reason.c_str(); }
    const Status& status() const { return st_; }
    const std::optional<std::string>& file() const { return file_; }
    const std::string& console() const { return console_; }
    const std::string& text() const { return text_; }

private:
    Status st_;
    std::optional<std::string> file_;
    std::string console_;
    std::string text_;
};

// A refusal of the module's own (not the library's): its stage, code and
// sentence, concerning keyword `keyword` (-1: none) and entry `entry`.
Refusal refusal(Stage stage, Code code, const std::string& sentence, int keyword = -1, int entry = -1);

// The Python pelkaro.Error of a refusal, and raising it (the error
// indicator set).
pyb::object error_of(const Refusal& r);
void raise_error(const Refusal& r);

// A file name from Python: a str or an os.PathLike that gives one, as the
// bytes the system takes; `what` names it in the refusal of anything else.
std::string path_of(const pyb::handle& h, const char* what);
std::optional<std::string> optional_path(const pyb::object& h, const char* what);

// Runs `job` with file names resolving against `cwd` when one is given: on
// a thread whose working directory is its own (so that neither the process
// nor its other threads see it change), else on the calling thread.  In
// both cases with C's number formats, whatever locale the interpreter set.
// A directory that cannot be entered is refused.
void in_directory(const std::optional<std::string>& cwd, const std::function<void()>& job);

// The averaged curve: the bins that received detector area, as in the .d1d.
struct Curve {
    pyb::array bins, q, q_edge, q_mean, i, i_dev, q_dev, d1d_i, d1d_i_dev, d1d_q_dev, computed_i_dev;
    pyb::array q_centre, kernel_q, kernel_weight;  // the resolution kernel: points x nodes
};

// The reduced image, 128 x 128, [row y, column x].
struct Image {
    pyb::array i, i_dev, mask, qx, qy, d2d_i, d2d_i_dev;
};

// One reduction as Python holds it.
struct PyRun {
    Run run;
    std::optional<std::string> cwd;  // where its file names resolve; none: the working directory
    bool from_mapping = false;       // the parameter file was made from a mapping
    std::string console;             // what Pelkaro would have printed
    CurveQ q;                        // the Q of the curve's bins
    pyb::object curve = pyb::none(); // Curve, or None without an average
    pyb::object image;               // Image
    pyb::object parameters;          // made on first use
    std::mutex writing;              // a write lends the result the output's name

    // The parameter file's name as pelkaro.Error gives it: none for a mapping.
    std::optional<std::string> file() const;
    // A refusal of this run's, with its console text.
    Refusal refused(const Status& st) const;
};

// The reductions (reduction.cpp): the parameter file named, or a
// parameter file given as text with the images that stand for its files.
std::unique_ptr<PyRun> reduce_file(const std::string& path, const std::optional<std::string>& cwd);
std::unique_ptr<PyRun> reduce_text(const std::string& text, std::vector<HeldImage> held,
                                   const std::optional<std::string>& cwd);

// The outputs of a reduction: Pelkaro's .d2d/.d1d named after `path` (none:
// after the first sample file), and the NXcanSAS file.
std::vector<std::string> write_text_files(PyRun& r, const std::optional<std::string>& path);
std::string write_nxcansas(PyRun& r, const std::optional<std::string>& path, const NxOptions& opt);

// The arrays of a reduction (arrays.cpp): Curve and Image objects, made with
// the interpreter held.
void make_results(PyRun& r);
// The accepted lines of the parameter file: (keyword, values, name, image).
pyb::list accepted_lines(const PyRun& r);
// A held image from a 128 x 128 array of uint32 values.
HeldImage held_from_array(const std::string& name, bool mask, const pyb::array_t<uint32_t>& a);
// Held images from [(name, is_mask, uint32 128 x 128 array)].
std::vector<HeldImage> held_images(const pyb::list& images);
// A read-only numpy array of the values.
pyb::array frozen_doubles(const std::vector<double>& v);

// The companion programs' operations: pelkaro-trans (beams.cpp) and
// pelkaro-merge (merging.cpp, with HDF5 only).
void bind_transmission(pyb::module_& m);
void bind_merge(pyb::module_& m);
// pelkaro-aniso's analysis on a Run (aniso.cpp): Run.azimuthal, Run.sector_pairs.
void bind_aniso(pyb::module_& m);

}  // namespace pk::py

#endif
