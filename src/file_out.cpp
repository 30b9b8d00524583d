// Output files: the reduced 2D image (".d2d"), the averaged curve (".d1d")
// and the generated mask ("mask.d2d").  Each file is written under a
// temporary name beside its target and renamed over it only when complete,
// so a reader never sees a partial file and a failed run leaves the earlier
// file as it was.
#include <cstdio>
#include <cstring>
#include <new>

#include "Pelkaro.h"
#include "common.h"

namespace {

// The output file name for an image: its name cut at the first "." of the
// last path component that is not that component's first character (the
// directory part is kept as it is), then the extension.
std::string output_name(const std::string& name, const char* ext) {
    std::size_t slash = name.rfind('/');
    std::size_t comp = slash == std::string::npos ? 0 : slash + 1;
    std::size_t dot = comp + 1 < name.size() ? name.find('.', comp + 1) : std::string::npos;
    return (dot == std::string::npos ? name : name.substr(0, dot)) + ext;
}

// Appends one row of 128 values, each formatted with `fmt` (which ends in a
// tab), and the line end.
void append_row(std::string& out, const float* row, const char* fmt) {
    char num[64];
    for (int c = 0; c < kDetSide; ++c) {
        int len = std::snprintf(num, sizeof num, fmt, static_cast<double>(row[c]));
        if (len < 0) continue;
        if (static_cast<std::size_t>(len) < sizeof num) {
            out.append(num, static_cast<std::size_t>(len));
        } else {
            // Values beyond about 1e50 do not fit the small buffer.
            std::vector<char> big(static_cast<std::size_t>(len) + 1);
            std::snprintf(big.data(), big.size(), fmt, static_cast<double>(row[c]));
            out.append(big.data(), static_cast<std::size_t>(len));
        }
    }
    out.push_back('\n');
}

bool write_all(std::FILE* f, const std::string& s) { return std::fwrite(s.data(), 1, s.size(), f) == s.size(); }

}  // namespace

int write_2D(const Param&, const Data2D& data, const std::string& name) {
    std::printf("Entered write_2D\n");
    try {
        const std::string out_name = output_name(data.name, ".d2d");
        std::printf("The 2D output filename is %s\n", out_name.c_str());
        pk::AtomicFile out;
        if (!pk::atomic_open(out_name, out)) {
            std::printf("file_out:write_2D -> could not open the output file %s for writing\n", out_name.c_str());
            return -1;
        }
        pk::FilePtr params(pk::open_regular(name));
        if (!params) {
            pk::atomic_abort(out);
            std::printf("file_out:write_2D -> could not open the output file %s for writing\n", out_name.c_str());
            return -1;
        }
        // Header: every piece of the parameter file that is not a comment,
        // exactly as read.
        std::string text;
        text.reserve(600000);
        std::string piece;
        while (pk::next_piece(params.get(), piece, 510)) {
            std::size_t nul = piece.find('\0');
            if (nul != std::string::npos) piece.resize(nul);
            if (!piece.empty() && piece[0] == '#') continue;
            text += "# ";
            text += piece;
        }
        params.reset();
        text += "# detector appears as if looking from sample position\n";
        for (int r = 0; r < kDetSide; ++r) append_row(text, &data.intens[static_cast<std::size_t>(r * kDetSide)], "%4.4f\t");
        text += "\n\n";
        for (int r = 0; r < kDetSide; ++r) append_row(text, &data.uncert[static_cast<std::size_t>(r * kDetSide)], "%4.4f\t");
        bool ok = write_all(out.f, text);
        if (!ok) pk::atomic_abort(out);
        else ok = pk::atomic_commit(out);
        if (!ok) {
            std::printf("file_out:write_2D -> could not write the output file %s\n", out_name.c_str());
            return -1;
        }
        return 1;
    } catch (const std::bad_alloc&) {
        std::printf("file_out:write_2D -> could not allocate the filename buffer\n");
        return -1;
    }
}

int write_1D(const Param&, const Data2D& data, const Data1D& d, const std::string&) {
    std::printf("Entered write_1D\n");
    try {
        const std::string out_name = output_name(data.name, ".d1d");
        std::printf("The 1D output filename is %s\n", out_name.c_str());
        pk::AtomicFile out;
        if (!pk::atomic_open(out_name, out)) {
            std::printf("file_out:write_1D -> could not open the output file %s for writing\n", out_name.c_str());
            return -1;
        }
        std::string text;
        char line[512];
        const int num = d.num < 0 ? 0 : (d.num > kCurveValues ? kCurveValues : d.num);
        for (int i = 0; i < num && static_cast<std::size_t>(i) < d.area.size(); ++i) {
            if (d.area[i] == 0) continue;
            int len = std::snprintf(line, sizeof line, "%8f\t%8f\t%12f\t%8f\n", static_cast<double>(d.x[i]),
                                    static_cast<double>(d.y[i]), static_cast<double>(d.dy[i]),
                                    static_cast<double>(d.dq[i]));
            if (len < 0) continue;
            if (static_cast<std::size_t>(len) < sizeof line) {
                text.append(line, static_cast<std::size_t>(len));
            } else {
                std::vector<char> big(static_cast<std::size_t>(len) + 1);
                std::snprintf(big.data(), big.size(), "%8f\t%8f\t%12f\t%8f\n", static_cast<double>(d.x[i]),
                              static_cast<double>(d.y[i]), static_cast<double>(d.dy[i]),
                              static_cast<double>(d.dq[i]));
                text.append(big.data(), static_cast<std::size_t>(len));
            }
        }
        bool ok = write_all(out.f, text);
        if (!ok) pk::atomic_abort(out);
        else ok = pk::atomic_commit(out);
        if (!ok) {
            std::printf("file_out:write_1D -> could not write the output file %s\n", out_name.c_str());
            return -1;
        }
        return 1;
    } catch (const std::bad_alloc&) {
        std::printf("file_out:write_1D -> could not allocate the filename buffer\n");
        return -1;
    }
}

int write_mask(const Param& p, const Data2D& data) {
    std::printf("Entered write_mask\n");
    try {
        pk::AtomicFile out;
        if (!pk::atomic_open("mask.d2d", out)) {
            std::printf("file_out:write_mask -> could not open the output file\n");
            return -1;
        }
        std::string text;
        char line[256];
        std::snprintf(line, sizeof line, "# mask file created from beam center %f %f\n", static_cast<double>(p.bx),
                      static_cast<double>(p.by));
        text += line;
        text += "# detector appears as if looking from sample position\n";
        for (int r = 0; r < kDetSide; ++r) append_row(text, &data.intens[static_cast<std::size_t>(r * kDetSide)], "%2.2f\t");
        bool ok = write_all(out.f, text);
        if (!ok) pk::atomic_abort(out);
        else ok = pk::atomic_commit(out);
        if (!ok) {
            std::printf("file_out:write_mask -> could not write the output file mask.d2d\n");
            return -1;
        }
        return 1;
    } catch (const std::bad_alloc&) {
        std::printf("file_out:write_mask -> could not open the output file\n");
        return -1;
    }
}
