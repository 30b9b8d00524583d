// DIR/report.html: one self-contained page with the table of rows.
#include <string>
#include <vector>

#include "batch.h"
#include "common.h"

namespace pk {

namespace {

std::string html(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

}  // namespace

bool write_report(const std::string& path, const std::vector<RowResult>& rows, const std::string& title,
                  std::string& why) {
    std::string page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + html(title) +
                       "</title></head><body>\n<table id=\"rows\">\n";
    for (const RowResult& r : rows)
        page += "<tr><td>" + html(r.name) + "</td><td>" + state_name(r.state) + "</td></tr>\n";
    page += "</table></body></html>\n";
    pk::AtomicFile out;
    if (!pk::atomic_open(path, out) ||
        !pk::atomic_finish(out, std::fwrite(page.data(), 1, page.size(), out.f) == page.size())) {
        why = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace pk
