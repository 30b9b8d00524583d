#include "pelkaro/status.h"

#include <utility>

namespace pk {

namespace {

// The last line of `text` (without its line end) that contains `what`.
std::string last_line_with(const std::string& text, const char* what) {
    std::size_t end = text.size();
    while (end > 0) {
        const std::size_t nl = end >= 2 ? text.rfind('\n', end - 2) : std::string::npos;
        const std::size_t from = nl == std::string::npos ? 0 : nl + 1;
        std::string line = text.substr(from, end - from);
        if (!line.empty() && line.back() == '\n') line.pop_back();
        if (line.find(what) != std::string::npos) return line;
        end = from;
    }
    return std::string();
}

}  // namespace

std::string Status::reason() const {
    // A stage's diagnostic reads "stage -> what went wrong".
    // Without one, the stage's own words (a refused parameter line), else
    // the run's message.
    std::string s = last_line_with(detail, " -> ");
    if (s.empty()) s = detail.empty() ? message : detail;
    return reason_of(s);
}

std::string reason_of(std::string s) {
    const std::size_t arrow = s.find(" -> ");
    if (arrow != std::string::npos) s = s.substr(arrow + 4);
    if (s.compare(0, 10, "Pelkaro:  ") == 0) s = s.substr(10);
    const std::size_t end = s.find('\n');
    if (end != std::string::npos) s.erase(end);
    const std::size_t exiting = s.find("...Exiting program");
    if (exiting != std::string::npos) s.erase(exiting);
    return s;
}

Status failure(Stage stage, Code code, std::string detail) {
    Status s;
    s.stage = stage;
    s.code = code;
    s.detail = std::move(detail);
    return s;
}

Status failure_at(Stage stage, Code code, int keyword, int entry, std::string detail) {
    Status s = failure(stage, code, std::move(detail));
    s.keyword = keyword;
    s.entry = entry;
    return s;
}

const char* stage_name(Stage stage) {
    switch (stage) {
        case Stage::none: return "none";
        case Stage::parameters: return "parameters";
        case Stage::read: return "read";
        case Stage::beam_centre: return "beam_centre";
        case Stage::mask: return "mask";
        case Stage::solid_angle: return "solid_angle";
        case Stage::sensitivity: return "sensitivity";
        case Stage::subtraction: return "subtraction";
        case Stage::average: return "average";
        case Stage::output: return "output";
        case Stage::transmission: return "transmission";
        case Stage::merge: return "merge";
    }
    return "none";
}

const char* code_name(Code code) {
    switch (code) {
        case Code::ok: return "ok";
        case Code::cannot_read: return "cannot_read";
        case Code::too_large: return "too_large";
        case Code::bad_contents: return "bad_contents";
        case Code::no_values: return "no_values";
        case Code::zero_time: return "zero_time";
        case Code::bad_parameter: return "bad_parameter";
        case Code::missing_keyword: return "missing_keyword";
        case Code::bad_count: return "bad_count";
        case Code::not_finite: return "not_finite";
        case Code::no_pixels: return "no_pixels";
        case Code::too_many_bins: return "too_many_bins";
        case Code::cannot_write: return "cannot_write";
        case Code::replaces_input: return "replaces_input";
        case Code::changed_file: return "changed_file";
        case Code::no_memory: return "no_memory";
    }
    return "ok";
}

}  // namespace pk
