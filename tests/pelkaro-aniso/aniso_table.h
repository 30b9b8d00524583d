// The helpers of pelkaro-aniso's tests: running it and the simulator, and
// reading its I(phi) table.
#ifndef PELKARO_TEST_ANISO_TABLE_H
#define PELKARO_TEST_ANISO_TABLE_H

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace pkt {

inline RunResult aniso(const std::vector<std::string>& args, const std::string& cwd) {
    return run_program(PELKARO_ANISO_EXE, args, cwd);
}

// A simulated measurement in `dir`.
inline void simulate(const TempDir& dir, const std::vector<std::string>& options) {
    std::vector<std::string> args{"--out", dir.path()};
    args.insert(args.end(), options.begin(), options.end());
    const RunResult r = run_program(PELKARO_SIM_EXE, args, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
}

// What the I(phi) table says.
struct Table {
    std::vector<double> phi, i, di, area;
    double phi0 = NAN, phi0_dev = NAN, order = NAN, order_dev = NAN, hermans = NAN, hermans_dev = NAN;
};

// The value and uncertainty after `label` on a comment line: "X +- Y".
inline void comment_value(const std::string& line, const std::string& label, double& v, double& dev) {
    const std::size_t at = line.find(label);
    if (at == std::string::npos) return;
    std::istringstream in(line.substr(at + label.size()));
    std::string pm;
    in >> v >> pm >> dev;
}

inline Table read_table(const std::string& text) {
    Table t;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        if (line[0] == '#') {
            comment_value(line, "# phi0 ", t.phi0, t.phi0_dev);
            comment_value(line, "<cos 2(phi - phi0)> ", t.order, t.order_dev);
            comment_value(line, "<P2> ", t.hermans, t.hermans_dev);
            continue;
        }
        std::istringstream row(line);
        double v[4];
        row >> v[0] >> v[1] >> v[2] >> v[3];
        t.phi.push_back(v[0]), t.i.push_back(v[1]), t.di.push_back(v[2]), t.area.push_back(v[3]);
    }
    return t;
}

// chi^2 per degree of freedom of the bins about their weighted mean.
inline double flatness(const Table& t) {
    double sw = 0, swi = 0, chi2 = 0;
    for (std::size_t b = 0; b < t.i.size(); ++b) sw += 1 / (t.di[b] * t.di[b]), swi += t.i[b] / (t.di[b] * t.di[b]);
    for (std::size_t b = 0; b < t.i.size(); ++b) chi2 += std::pow((t.i[b] - swi / sw) / t.di[b], 2);
    return chi2 / static_cast<double>(t.i.size() - 1);
}

}  // namespace pkt

#endif
