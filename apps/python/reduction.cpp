// The reductions the module makes and the files it writes: the library's
// runs with the console collected, the interpreter released while they
// work, and file names resolving against the run's own directory.
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "pelkaro/files.h"
#include "py_run.h"

namespace pk::py {


Refusal refusal(Stage stage, Code code, const std::string& sentence, int keyword, int entry) {
    Status st = failure(stage, code, sentence);
    st.keyword = keyword;
    st.entry = entry;
    return Refusal(st, std::nullopt, std::string(), sentence);
}

std::optional<std::string> PyRun::file() const {
    if (from_mapping) return std::nullopt;
    return run.file.name;
}

Refusal PyRun::refused(const Status& st) const {
    Status s = st;
    if (from_mapping) s.line = 0;  // a line of the text made from the mapping means nothing to its author
    return Refusal(s, file(), console);
}

namespace {

bool averaging(const Param& p) { return p.average == 1 || p.average == 2; }

// The mask-file and beam-centre runs write and print what a reduction in
// memory has no use for: Pelkaro makes them.
Status reduction_only(const Run& run) {
    if (run.p.mode != 1 && run.p.mode != 2) return ok_status();
    Status st = failure(Stage::parameters, Code::bad_parameter,
                        pk::format("the parameters ask for %s (MODE %d), not a reduction; run Pelkaro for it",
                                   run.p.mode == 1 ? "the mask file" : "the beam centre", run.p.mode));
    st.keyword = MODE;
    for (const ParseRecord& rec : run.log.records)
        if (rec.keyword == MODE && rec.verdict == Verdict::accepted) st.line = rec.line;
    st.message = st.reason;
    return st;
}

// What the library works on while a reduction runs, apart from the Python
// objects: a worker thread may be left to finish it after Ctrl-C, and it
// then frees it there, where no Python object may be touched.
struct Reduction {
    Run run;
    std::string console;
    CurveQ q;
    Status status;
};

// The parameter stage (on the named file, or on run.file as it stands), the
// reduction and the Q of the curve's bins; the console as Pelkaro prints it.
Status reduce_run(Reduction& r, const std::string* path) {
    const Console con{nullptr, &r.console};
    Status st = path ? prepare_run(*path, r.run, con) : prepare_run(r.run, con);
    if (st.ok()) st = reduction_only(r.run);
    r.run.want_sums = true;  // the curve's Qmean, Idev and Qdev, as the NXcanSAS file has them
    if (st.ok()) st = reduce(r.run, con);
    if (st.ok() && averaging(r.run.p) && !curve_q(r.run.p, r.run.curve, r.run.sums, r.run.mask, ResolutionOptions{}, r.q)) {
        st = failure(Stage::average, Code::bad_contents,
                     "the Q values of the curve's bins could not be worked out (the averaging's bins were not met "
                     "exactly); this is a fault of the program");
        st.message = st.reason;
    }
    if (!st.ok()) r.console += st.text();
    return st;
}

// Runs `work` on a thread of its own and waits for it with the interpreter
// released, looking for signals every 0.1 s: Ctrl-C raises KeyboardInterrupt
// at once (the error set by the handler), and the work, which cannot be
// stopped, finishes on its thread and frees what it holds.  An exception
// of the work is raised here.
void wait_interruptibly(std::function<void()> work) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([work = std::move(work), done] {
        try {
            work();
            done->set_value();
        } catch (...) {
            done->set_exception(std::current_exception());
        }
    }).detach();
    for (;;) {
        {
            pyb::gil_scoped_release released;
            if (finished.wait_for(std::chrono::milliseconds(100)) == std::future_status::ready) break;
        }
        if (PyErr_CheckSignals() != 0) throw pyb::error_already_set();
    }
    finished.get();
}

std::unique_ptr<PyRun> reduced(std::unique_ptr<PyRun> r, const std::string* path) {
    auto job = std::make_shared<Reduction>();
    job->run = std::move(r->run);
    const std::optional<std::string> file = path ? std::optional<std::string>(*path) : std::nullopt;
    const std::optional<std::string> cwd = r->cwd;
    wait_interruptibly([job, file, cwd] {
        in_directory(cwd, [&] { job->status = reduce_run(*job, file ? &*file : nullptr); });
    });
    r->run = std::move(job->run);
    r->console = std::move(job->console);
    r->q = std::move(job->q);
    if (!job->status.ok()) throw r->refused(job->status);
    make_results(*r);
    return r;
}

// The name the outputs are named after: the path given, else the first
// sample file (an image held in memory has no place to write beside).
std::string output_base(const PyRun& r, const std::optional<std::string>& path, const char* method) {
    if (path) return *path;
    const std::string& first = r.run.sam.at(0).name;
    if (held_image(r.run.held, first))
        throw refusal(Stage::output, Code::cannot_write,
                      pk::format("the first sample is an image held in memory, with no file to write beside: give "
                                 "%s() the name of its output",
                                 method));
    return first;
}

// The output file of a sample name as Pelkaro names it: the name cut at the
// first "." of its last component (not a leading one), then the extension.
std::string output_name(const std::string& name, const char* ext) {
    const std::size_t slash = name.rfind('/');
    const std::size_t comp = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = comp + 1 < name.size() ? name.find('.', comp + 1) : std::string::npos;
    return (dot == std::string::npos ? name : name.substr(0, dot)) + ext;
}

// The result named after another file for the length of a write.
class NameLoan {
public:
    NameLoan(std::string& slot, std::string name) : slot_(slot), kept_(std::move(name)) { slot_.swap(kept_); }
    ~NameLoan() { slot_.swap(kept_); }
    NameLoan(const NameLoan&) = delete;
    NameLoan& operator=(const NameLoan&) = delete;

private:
    std::string& slot_;
    std::string kept_;
};

}  // namespace

std::unique_ptr<PyRun> reduce_file(const std::string& path, const std::optional<std::string>& cwd) {
    auto r = std::make_unique<PyRun>();
    r->cwd = cwd;
    return reduced(std::move(r), &path);
}

std::unique_ptr<PyRun> reduce_text(const std::string& text, std::vector<HeldImage> held,
                                   const std::optional<std::string>& cwd) {
    auto r = std::make_unique<PyRun>();
    r->cwd = cwd;
    r->from_mapping = true;
    r->run.held = std::move(held);
    read_param_text("<mapping>", text, r->run.file);
    return reduced(std::move(r), nullptr);
}

std::vector<std::string> write_text_files(PyRun& r, const std::optional<std::string>& path) {
    const std::string base = output_base(r, path, "write");
    std::vector<std::string> written;
    if (r.run.p.average == 0 || r.run.p.average == 2) written.push_back(output_name(base, ".d2d"));
    if (averaging(r.run.p)) written.push_back(output_name(base, ".d1d"));
    Status st;
    std::string text;
    {
        pyb::gil_scoped_release released;
        const std::lock_guard<std::mutex> one_write(r.writing);
        in_directory(r.cwd, [&] {
            const NameLoan named(r.run.reduced.name, base);
            st = write_outputs(r.run, Console{nullptr, &text});
        });
    }
    if (!st.ok()) throw Refusal(st, r.file(), text + st.text());
    return written;
}

#ifdef PELKARO_WITH_HDF5
namespace {

// An output that would replace one of the run's input files.
void refuse_input(const PyRun& r, const std::string& out) {
    const Run& run = r.run;
    std::vector<std::string> inputs{run.sens.name, run.dark.name, run.mask.name};
    if (!r.from_mapping) inputs.push_back(run.file.name);
    for (const Data2D& d : run.sam) inputs.push_back(d.name);
    for (const Data2D& d : run.buf) inputs.push_back(d.name);
    for (const std::string& in : inputs)
        if (!in.empty() && !held_image(run.held, in) && same_file(out, in))
            throw refusal(Stage::output, Code::cannot_write,
                          "the output " + out + " is the input file " + in + "; choose another name");
}

}  // namespace
#endif

std::string write_nxcansas(PyRun& r, const std::optional<std::string>& path, const NxOptions& options) {
#ifdef PELKARO_WITH_HDF5
    if (!(r.run.log.seen >> WAVE & 1u))
        throw refusal(Stage::parameters, Code::missing_keyword,
                      "the parameters have no WAVE line; the NXcanSAS file needs the wavelength for the Q of its data",
                      WAVE);
    const std::string& unit = options.length_unit;
    if (unit != "mm" && unit != "cm" && unit != "m")
        throw refusal(Stage::output, Code::cannot_write, "length_unit must be mm, cm or m, not '" + unit + "'");
    const std::string out = path ? *path : default_output(output_base(r, path, "write_nxcansas"));
    NxOptions opt = options;
    opt.param = r.run.file.name;
    opt.out = out;
    Status st;
    // HDF5 is not made for threads: the interpreter stays held, as h5py holds it.
    in_directory(r.cwd, [&] {
        refuse_input(r, out);
        st = write_file(r.run, opt, out);
    });
    if (!st.ok()) throw Refusal(st, std::nullopt, std::string(), st.reason);
    return out;
#else
    (void)r, (void)path, (void)options;
    throw refusal(Stage::output, Code::cannot_write,
                  "this pelkaro module was built without HDF5, so it cannot write NXcanSAS files");
#endif
}

}  // namespace pk::py
