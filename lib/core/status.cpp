#include "pelkaro/status.h"

#include <utility>

namespace pk {

Status failure(Stage stage, Code code, const char* label, std::string reason) {
    Status s;
    s.stage = stage;
    s.code = code;
    s.detail = (label && *label ? std::string(label) + " -> " : std::string()) + reason + "\n";
    s.reason = std::move(reason);
    return s;
}

Status failure_at(Stage stage, Code code, int keyword, int entry, const char* label, std::string reason) {
    Status s = failure(stage, code, label, std::move(reason));
    s.keyword = keyword;
    s.entry = entry;
    return s;
}

Status failure_worded(Stage stage, Code code, std::string reason, std::string detail) {
    Status s;
    s.stage = stage;
    s.code = code;
    s.reason = std::move(reason);
    s.detail = std::move(detail);
    return s;
}

Status failure(Stage stage, Code code, std::string reason) {
    Status s;
    s.stage = stage;
    s.code = code;
    s.reason = std::move(reason);
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
        case Code::line_too_long: return "line_too_long";
    }
    return "ok";
}

}  // namespace pk
