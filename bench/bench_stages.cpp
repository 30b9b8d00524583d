// Benchmarks of the reduction stages and of a whole reduction run.
//
// Everything runs on the bundled example (examples/spheres.par and the
// detector files beside it), copied at start-up into a scratch directory
// where the output files go; "--example FILE" names another parameter file
// (its directory is copied instead).  The single-stage benchmarks take their
// inputs from one reduction of it, as the driver passes them.  The stages
// print their progress to standard output as they do in a run; that goes to
// /dev/null here, and the benchmark report to the original standard output.
//
// The azimuthal average is timed against the same average with the
// plain sub-pixel loop (pkt::literal_average, the tests' yardstick) in the same
// benchmark, one call of each per iteration, so the speed-up is a ratio
// measured in one run; the two curves are also compared bit for bit.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "pelkaro/Pelkaro.h"
#include "app.h"
#include "ave_fast.h"
#include "pelkaro/files.h"
#include "pelkaro/run.h"
#include "ave_data.h"
#include "ave_plan.h"
#include "literal_average.h"
#include "file_out.h"
#include "mask_gen.h"
#include "parse_in.h"
#include "read_sans.h"
#include "sens_cor.h"
#include "sub_data.h"

using namespace pk;

namespace {

// Time used by this thread: ratios and shares measured with it do not
// suffer when other processes take the processor (the machine is shared).
struct Clock {
    using time_point = double;
    static double now() {
        timespec ts{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
    }
};

double seconds(double a, double b) { return b - a; }

// Time spent in each stage of a whole reduction.
// "other" is the rest: allocation and release of the images.
enum Stage { kParse, kRead, kJacobian, kMask, kSensNorm, kSensCor, kSub, kAve, kWrite2D, kWrite1D, kOther, kStages };
const char* const kStageNames[kStages] = {"parse",    "read_data", "jacobian", "read_mask", "sens_norm", "sens_cor",
                                          "sub_data", "ave_data",  "write_2D", "write_1D",  "other"};

struct Timer {
    double* acc;
    Clock::time_point t0 = Clock::now();
    explicit Timer(double& a) : acc(&a) {}
    ~Timer() { *acc += seconds(t0, Clock::now()); }
};

bool allocate_image(Data2D& d) {
    d.intens.assign(kImageValues, 0.0f);
    d.uncert.assign(kImageValues, 0.0f);
    return true;
}

// The records of one staged reduction.
struct Staged {
    Param p{};
    std::vector<Data2D> sam, buf;
    Data2D dcur, sens, mask, res;
    Data1D rot;
    std::vector<bool> used;  // buffer entries that take part
    SolidAngle sa;           // the factors of the run's geometry, computed once as the run does
};

// The parameter file, the images and the mask, each stage's time added to t.
bool load_all(const std::string& param_name, Staged& r, double* t) {
    Param& p = r.p;
    {
        Timer tm(t[kParse]);
        if (!count_parse(param_name, p).ok()) return false;
        r.sam.resize(static_cast<std::size_t>(p.sams));
        r.buf.resize(static_cast<std::size_t>(p.bufs));
        if (!parse_in(param_name, p, r.sam, r.buf, r.dcur, r.sens, r.mask).ok()) return false;
    }
    for (auto* a : {&r.rot.x, &r.rot.y, &r.rot.dy, &r.rot.dq, &r.rot.area}) a->assign(kCurveValues, 0.0f);
    r.used.resize(r.buf.size());
    for (std::size_t i = 0; i < r.buf.size(); ++i) r.used[i] = r.buf[i].tm != 0;
    if (p.jacobian == 1) {
        Timer tm(t[kJacobian]);
        solid_angle(p, r.sa);
    }
    auto load = [&](Data2D& d) {
        allocate_image(d);
        {
            Timer tm(t[kRead]);
            if (!read_data(d).ok()) return false;
        }
        Timer tm(t[kJacobian]);
        return p.jacobian != 1 || jacobian(p, d, r.sa).ok();
    };
    for (auto& s : r.sam)
        if (!load(s)) return false;
    for (std::size_t i = 0; i < r.buf.size(); ++i)
        if (r.used[i] && !load(r.buf[i])) return false;
    if (r.dcur.tm > 0) {
        allocate_image(r.dcur);
        Timer tm(t[kRead]);
        if (!read_data(r.dcur).ok()) return false;
    }
    if (!load(r.sens)) return false;
    allocate_image(r.mask);
    Timer tm(t[kMask]);
    return (p.mask_source == 1 ? read_mask(p, r.mask) : make_mask(p, r.mask)).ok();
}

// The corrections, the subtraction, the average and the files.
bool correct_and_write(const std::string& param_name, Staged& r, double* t) {
    const Param& p = r.p;
    {
        Timer tm(t[kSensNorm]);
        if (!sens_norm(p, r.sens, r.mask).ok()) return false;
    }
    allocate_image(r.res);
    {
        Timer tm(t[kSensCor]);
        for (auto& s : r.sam)
            if (!sens_cor(p, s, r.sens, r.mask).ok()) return false;
        for (std::size_t i = 0; i < r.buf.size(); ++i)
            if (r.used[i] && !sens_cor(p, r.buf[i], r.sens, r.mask).ok()) return false;
    }
    {
        Timer tm(t[kSub]);
        if (!sub_data(p, r.sam, r.buf, r.dcur, r.mask, r.res).ok()) return false;
    }
    r.res.name = r.sam[0].name;
    if (p.average == 1 || p.average == 2) {
        Timer tm(t[kAve]);
        if (!ave_data(p, r.res, r.rot, r.mask).ok()) return false;
    }
    if (p.average == 0 || p.average == 2) {
        Timer tm(t[kWrite2D]);
        if (!write_2D(p, r.res, param_name).ok()) return false;
    }
    if (p.average == 1 || p.average == 2) {
        Timer tm(t[kWrite1D]);
        if (!write_1D(p, r.res, r.rot, param_name).ok()) return false;
    }
    return true;
}

// A reduction run as the driver performs it, stage for stage, in process,
// adding each stage's time to t.  Returns false at the first stage that fails.
bool reduce(const std::string& param_name, double* t) {
    const double start = Clock::now();
    const double staged = [&] {
        double sum = 0;
        for (int s = 0; s < kOther; ++s) sum += t[s];
        return sum;
    }();
    struct Rest {  // the time outside the stages
        double* t;
        double start, staged;
        ~Rest() {
            double sum = 0;
            for (int s = 0; s < kOther; ++s) sum += t[s];
            t[kOther] += (Clock::now() - start) - (sum - staged);
        }
    } rest{t, start, staged};
    Staged r;
    return load_all(param_name, r, t) && correct_and_write(param_name, r, t);
}

// The example's records at each point of one reduction.
struct Fixture {
    std::string dir, param;                  // scratch copy, parameter file name in it
    Param p{};
    std::vector<Data2D> sam, buf;            // loaded (and solid-angle corrected)
    Data2D dark, sens, mask;                 // loaded
    Data2D sens_norm, mask_norm;             // after sens_norm
    std::vector<Data2D> sam_cor, buf_cor;    // after sens_cor
    Data2D res;                              // after sub_data
    Data1D curve;                            // after ave_data
    bool ok = false;
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

bool build_fixture(const std::string& param_path) {
    namespace fs = std::filesystem;
    Fixture& f = fixture();
    char tmpl[] = "/tmp/pelkaro-bench-XXXXXX";
    if (!::mkdtemp(tmpl)) return false;
    f.dir = tmpl;
    std::error_code ec;
    const fs::path source = fs::absolute(param_path, ec);
    for (const auto& e : fs::directory_iterator(source.parent_path(), ec))
        if (e.is_regular_file(ec) && !fs::copy_file(e.path(), f.dir / e.path().filename(), ec)) return false;
    if (ec || ::chdir(tmpl) != 0) return false;
    f.param = source.filename().string();

    Param& p = f.p;
    if (!count_parse(f.param, p).ok()) return false;
    f.sam.resize(static_cast<std::size_t>(p.sams));
    f.buf.resize(static_cast<std::size_t>(p.bufs));
    if (!parse_in(f.param, p, f.sam, f.buf, f.dark, f.sens, f.mask).ok() || p.mode != 0) return false;
    p.simd = pk::simd_named(std::getenv("PELKARO_ISA"));  // as the programs take it
    auto load = [&](Data2D& d) {
        return allocate_image(d) && read_data(d).ok() && (p.jacobian != 1 || jacobian(p, d).ok());
    };
    for (auto& s : f.sam)
        if (!load(s)) return false;
    for (auto& b : f.buf)
        if (b.tm != 0 && !load(b)) return false;
    if (f.dark.tm > 0 && !(allocate_image(f.dark) && read_data(f.dark).ok())) return false;
    if (!load(f.sens) || !allocate_image(f.mask)) return false;
    if (!(p.mask_source == 1 ? read_mask(p, f.mask) : make_mask(p, f.mask)).ok()) return false;
    f.sens_norm = f.sens, f.mask_norm = f.mask;
    if (!sens_norm(p, f.sens_norm, f.mask_norm).ok()) return false;
    f.sam_cor = f.sam, f.buf_cor = f.buf;
    for (auto& s : f.sam_cor)
        if (!sens_cor(p, s, f.sens_norm, f.mask_norm).ok()) return false;
    for (auto& b : f.buf_cor)
        if (b.tm != 0 && !sens_cor(p, b, f.sens_norm, f.mask_norm).ok()) return false;
    allocate_image(f.res);
    if (!sub_data(p, f.sam_cor, f.buf_cor, f.dark, f.mask_norm, f.res).ok()) return false;
    f.res.name = f.sam[0].name;
    for (auto* a : {&f.curve.x, &f.curve.y, &f.curve.dy, &f.curve.dq, &f.curve.area}) a->assign(kCurveValues, 0.0f);
    if (!ave_data(p, f.res, f.curve, f.mask_norm).ok()) return false;
    double t[kStages] = {};
    f.ok = reduce(f.param, t);
    return f.ok;
}

void need_fixture(benchmark::State& st) {
    if (!fixture().ok) st.SkipWithError("the example could not be reduced");
}

void BM_read_data(benchmark::State& st) {
    need_fixture(st);
    Data2D d;
    d.name = fixture().sam[0].name;
    allocate_image(d);
    for (auto _ : st) {
        if (!read_data(d).ok()) st.SkipWithError("read_data failed");
        benchmark::DoNotOptimize(d.intens.data());
    }
}

// Every image of a run shares the solid-angle factors, which are computed
// once; the second benchmark changes the geometry each time.
void BM_jacobian(benchmark::State& st) {
    need_fixture(st);
    const Fixture& f = fixture();
    Param p = f.p;
    const bool new_geometry = st.range(0) != 0;
    Data2D d = f.sam[0];
    SolidAngle sa;
    solid_angle(p, sa);
    int n = 0;
    for (auto _ : st) {
        ++n;
        if (new_geometry) p.bx = (n & 1) ? f.p.bx : f.p.bx + 0.05f;
        if (!(new_geometry ? jacobian(p, d) : jacobian(p, d, sa)).ok()) st.SkipWithError("jacobian failed");
        benchmark::DoNotOptimize(d.intens.data());
        if ((n & 63) == 0) {
            st.PauseTiming();
            d = f.sam[0];
            st.ResumeTiming();
        }
    }
}

void BM_sens_norm_cor(benchmark::State& st) {
    need_fixture(st);
    const Fixture& f = fixture();
    Data2D sens, mask, dat;
    for (auto _ : st) {
        st.PauseTiming();
        sens = f.sens, mask = f.mask, dat = f.sam[0];
        st.ResumeTiming();
        if (!sens_norm(f.p, sens, mask).ok() || !sens_cor(f.p, dat, sens, mask).ok()) st.SkipWithError("failed");
        benchmark::DoNotOptimize(dat.intens.data());
    }
}

// What one frame of a series costs against its size: the sample file's
// text parsed from memory (bytes and MB/s), the plan of the average (its
// entries) and the average by the plan, as pelkaro-batch takes them.
void BM_frame_parts(benchmark::State& st) {
    need_fixture(st);
    const Fixture& f = fixture();
    std::string text;
    if (!pk::read_file(f.sam[0].name, text).ok()) st.SkipWithError("cannot read the sample file");
    const AvePlan plan = make_ave_plan(f.p, f.mask);
    Data2D d;
    d.name = f.sam[0].name;
    allocate_image(d);
    Data1D out;
    double parse = 0, average = 0;
    for (auto _ : st) {
        const double t0 = Clock::now();
        if (!read_data_text(text, d).ok()) st.SkipWithError("read_data_text failed");
        const double t1 = Clock::now();
        if (!average_by_plan(plan, f.res, out)) st.SkipWithError("the plan does not apply");
        const double t2 = Clock::now();
        parse += t1 - t0, average += t2 - t1;
        benchmark::DoNotOptimize(out.y.data());
    }
    const double n = static_cast<double>(st.iterations());
    st.counters["text_bytes"] = static_cast<double>(text.size());
    st.counters["parse_us"] = 1e6 * parse / n;
    st.counters["parse_MB_s"] = parse > 0 ? static_cast<double>(text.size()) * n / parse / 1e6 : 0;
    st.counters["plan_entries"] = static_cast<double>(plan.entries.size());
    st.counters["average_us"] = 1e6 * average / n;
}

// What a series pays once per configuration for its average: the plan,
// with the NXcanSAS writer's sums of the geometry (writer_sums:1) or
// without (writer_sums:0).
void BM_make_ave_plan(benchmark::State& st) {
    need_fixture(st);
    const Fixture& f = fixture();
    for (auto _ : st) {
        const AvePlan plan = make_ave_plan(f.p, f.mask, st.range(0) != 0);
        if (!plan.usable) st.SkipWithError("no plan");
        benchmark::DoNotOptimize(plan.entries.data());
    }
}

void BM_sub_data(benchmark::State& st) {
    need_fixture(st);
    const Fixture& f = fixture();
    Data2D res;
    allocate_image(res);
    for (auto _ : st) {
        if (!sub_data(f.p, f.sam_cor, f.buf_cor, f.dark, f.mask_norm, res).ok()) st.SkipWithError("sub_data failed");
        benchmark::DoNotOptimize(res.intens.data());
    }
}

bool same_curve(const Data1D& a, const Data1D& b) {
    if (a.num != b.num) return false;
    for (const auto& [u, v] : {std::pair{&a.x, &b.x}, {&a.y, &b.y}, {&a.dy, &b.dy}, {&a.dq, &b.dq}, {&a.area, &b.area}})
        if (std::memcmp(u->data(), v->data(), sizeof(float) * static_cast<std::size_t>(a.num)) != 0) return false;
    return true;
}

// The average with its fast sums and with the sub-pixel loop, alternately;
// the reported time is the fast one's (processor time of this thread), the
// counters give both and their ratio.
void BM_ave_data(benchmark::State& st) {
    need_fixture(st);
    const Fixture& f = fixture();
    Param p = f.p;
    // Degrees to radians as the parameter file's reader converts them.
    p.thmin = static_cast<float>(static_cast<double>(st.range(0)) * 3.141592653589793 / 180.0);
    p.thmax = static_cast<float>(static_cast<double>(st.range(1)) * 3.141592653589793 / 180.0);
    Data1D fast, literal;
    for (Data1D* c : {&fast, &literal})
        for (auto* a : {&c->x, &c->y, &c->dy, &c->dq, &c->area}) a->assign(kCurveValues, 0.0f);
    double t_fast = 0, t_literal = 0;
    bool same = true;
    for (auto _ : st) {
        const auto t0 = Clock::now();
        const bool rf = ave_data(p, f.res, fast, f.mask_norm).ok();
        const auto t1 = Clock::now();
        const bool rl = pkt::literal_average(p, f.res, literal, f.mask_norm).ok();
        const auto t2 = Clock::now();
        st.SetIterationTime(seconds(t0, t1));
        t_fast += seconds(t0, t1);
        t_literal += seconds(t1, t2);
        same = same && rf && rl && same_curve(fast, literal);
    }
    if (!same) st.SkipWithError("the fast average differs from the literal one");
    const double n = static_cast<double>(st.iterations());
    st.counters["fast_ms"] = t_fast / n * 1e3;
    st.counters["literal_ms"] = t_literal / n * 1e3;
    st.counters["speedup"] = t_literal / t_fast;
}

void BM_write_2D(benchmark::State& st) {
    need_fixture(st);
    const Fixture& f = fixture();
    for (auto _ : st)
        if (!write_2D(f.p, f.res, f.param).ok()) st.SkipWithError("write_2D failed");
}

void BM_write_1D(benchmark::State& st) {
    need_fixture(st);
    const Fixture& f = fixture();
    for (auto _ : st)
        if (!write_1D(f.p, f.res, f.curve, f.param).ok()) st.SkipWithError("write_1D failed");
}

// The whole reduction as the program makes it: the library's run functions
// (run.h), the console silenced, wall time.  The program's own time less
// this one is what the process adds: loading, start-up and exit.
void BM_reduction(benchmark::State& st) {
    need_fixture(st);
    const Console quiet{nullptr};
    for (auto _ : st) {
        Run run;
        if (!prepare_run(fixture().param, run, quiet).ok() || !reduce(run, quiet).ok() ||
            !write_outputs(run, quiet).ok())
            st.SkipWithError("the reduction failed");
    }
}

// The same reduction stage by stage; each stage's share of the time
// (processor time of this thread) is a counter, in percent.
void BM_stage_shares(benchmark::State& st) {
    need_fixture(st);
    double t[kStages] = {};
    for (auto _ : st)
        if (!reduce(fixture().param, t)) st.SkipWithError("the reduction failed");
    double total = 0;
    for (double v : t) total += v;
    for (int s = 0; s < kStages; ++s) st.counters[kStageNames[s]] = total > 0 ? 100.0 * t[s] / total : 0.0;
}

BENCHMARK(BM_read_data)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_frame_parts)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_make_ave_plan)->ArgName("writer_sums")->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_jacobian)->ArgName("new_geometry")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_sens_norm_cor)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_sub_data)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ave_data)
    ->ArgNames({"thmin", "thmax"})
    ->Args({0, 360})
    ->Args({0, 90})
    ->Args({45, 135})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_write_2D)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_write_1D)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_reduction)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_stage_shares)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    std::string param = PELKARO_SOURCE_DIR "/examples/spheres.par";
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--example") == 0) {
            param = argv[i + 1];
            for (int k = i + 2; k <= argc; ++k) argv[k - 2] = argv[k];
            argc -= 2;
            break;
        }
    }
    // The stages' console output goes to /dev/null; the report to the
    // original standard output.
    std::fflush(stdout);
    const int saved = ::dup(1);
    const int devnull = ::open("/dev/null", O_WRONLY);
    if (saved < 0 || devnull < 0 || ::dup2(devnull, 1) < 0) return 1;
    ::close(devnull);
    std::ofstream report("/proc/self/fd/" + std::to_string(saved));

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    // Freed images kept for the next repetition, as the programs keep
    // them: a reduction repeated in one process would otherwise fault its
    // pages in anew each time, which a single run does not.
    pk::keep_freed_memory();
    if (!build_fixture(param))
        report << "pelkaro_bench: " << param << " could not be reduced (a reduction run, mode 0, is needed)\n"
               << std::flush;
    benchmark::ConsoleReporter console(static_cast<benchmark::ConsoleReporter::OutputOptions>(
        benchmark::ConsoleReporter::OO_Tabular | (::isatty(saved) ? benchmark::ConsoleReporter::OO_Color : 0)));
    console.SetOutputStream(&report);
    console.SetErrorStream(&report);
    benchmark::RunSpecifiedBenchmarks(&console);
    benchmark::Shutdown();
    std::fflush(stdout);
    if (!fixture().dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(fixture().dir, ec);
    }
    return 0;
}
