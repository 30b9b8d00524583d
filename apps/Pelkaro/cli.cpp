// Pelkaro's command line: the usage text, or one run in the mode the
// parameter file names.
#include "pelkaro_cli.h"

#include <exception>
#include <new>
#include <string>
#include <vector>

#include "app.h"
#include "pelkaro/files.h"
#include "pelkaro/run.h"

namespace pk {

namespace {

// Prints a failure exactly as Pelkaro always has: the stage's diagnostic,
// then the run's message.
int failed(const Status& st, const Console& con) {
    pk::say(con, "%s", st.text().c_str());
    return -1;
}

// The time each stage took, "STAGE SECONDS" a line in the order they
// ended, each from the end of the one before (the first from the run's
// start), to the file `name`; nothing where it cannot be written.
void write_stage_times(const std::string& name, const StageClock& clock) {
    std::string text;
    for (std::size_t k = 1; k < clock.ends.size(); ++k)
        text += pk::format("%s %.9f\n", clock.ends[k].first.c_str(), clock.ends[k].second - clock.ends[k - 1].second);
    pk::atomic_write_file(name, text);
}

// One run, on huge pages where asked: arranged before the parameter file is
// read, so that everything the run allocates from then on (the parameter
// file's text, the curve, the pixel arrays) lies on one 2 MiB page, whose
// single fault costs less than the 4 KiB pages' one each.  The heap's
// filler below it is kept for the whole run.
int one_run(const std::string& param_name, const Console& console, const CliOptions& opt) {
    StageClock clock;
    Console con = console;
    if (!opt.stage_times.empty()) con.clock = &clock;
    stage_done(con, "start");
    const std::vector<char> filler = opt.huge_pages ? huge_page_heap(reduction_bytes()) : std::vector<char>();
    stage_done(con, "memory");
    Run run;
    Status st = prepare_run(param_name, run, con);
    if (st.ok()) {
        run.p.simd = opt.simd;
        if (run.p.mode == 1) st = mask_run(run, con);
        else if (run.p.mode == 2) st = beam_center_run(run, con);
        else if ((st = reduce(run, con)).ok()) st = write_outputs(run, con);
    }
    const int result = st.ok() ? 1 : failed(st, con);
    if (con.clock) write_stage_times(opt.stage_times, clock);
    return result;
}

void usage(const Console& con) {
    pk::say(con, "\t\tusage:  Pelkaro <input file>\n");
    pk::say(con, "\n\t\t<input file> is name of the file containing the reduction parameters\n");
}

}  // namespace

int pelkaro_main(int argc, const char* const* argv, const Console& con, const CliOptions& opt) {
    if (argc == 2 && std::string(argv[1]) == "--help") {
        usage(con);
        pk::say(con, "\nThe manual: man Pelkaro, or README.md of the source tree.\n"
                     "Check a parameter file before a run: pelkaro-check <input file>\n");
        return 0;
    }
    if (argc == 2 && std::string(argv[1]) == "--version") {
        pk::say(con, "Pelkaro %s\n", PELKARO_VERSION);
        return 0;
    }
    if (argc != 2) {
        pk::say(con, "Pelkaro:  insufficient input parameters\n");
        usage(con);
        return -1;
    }
    try {
        return one_run(argv[1], con, opt) == 1 ? 0 : -1;
    } catch (const std::bad_alloc&) {
        pk::say(con, "Pelkaro:  out of memory; the run cannot go on\nExiting program\n");
    } catch (const std::exception& e) {
        pk::say(con, "Pelkaro:  internal error (%s); the run cannot go on\nExiting program\n", e.what());
    }
    return -1;
}

}  // namespace pk
