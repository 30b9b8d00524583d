// Fuzz target: pelkaro-batch's sample table, then the parameter file of
// each row.  An accepted table has rows with safe, distinct names, sample
// files a parameter line can carry, numbers the parameter file reads and
// indices counting the data rows; each row's parameter file holds one DATS
// line per sample file, every line of it free of control characters.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "batch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    pk::Table table;
    std::vector<std::string> errors;
    const bool ok = pk::parse_table("t.csv", text, table, errors);
    if (ok != errors.empty()) std::abort();
    if (!ok) return 0;
    pk::BaseFile base;
    base.path = "base.par";
    base.lines = {"MODE 0\n", "DATB b.dat 1 1 1 1\n"};
    std::set<std::string> names;
    int index = 0;
    for (const pk::TableRow& r : table.rows) {
        if (!pk::safe_name(r.name) || !names.insert(r.name).second || r.index != index++) std::abort();
        if (r.samples.empty() || r.time.empty() || r.transmission.empty()) std::abort();
        const std::string par = pk::row_param_text(base, r, "t.csv");
        std::size_t dats = 0;
        for (std::size_t at = 0; (at = par.find("\nDATS ", at)) != std::string::npos; ++at) ++dats;
        if (dats != r.samples.size()) std::abort();
        for (char c : par)
            if ((static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7f) std::abort();
    }
    return 0;
}
