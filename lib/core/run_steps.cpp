#include "run_steps.h"

#include <new>

#include "common.h"

namespace pk {

Status fail(Stage stage, Code code, const char* message) {
    Status s = failure(stage, code, std::string());
    s.message = message;
    return s;
}

Status with_message(Status st, const std::string& message) {
    st.message = message;
    return st;
}

Status about(Status st, int kw, int entry) {
    if (st.keyword < 0) {
        st.keyword = kw;
        st.entry = entry;
    }
    return st;
}

Status no_values(const Data2D& d, const std::string& what) {
    if (d.values > 0) return ok_status();
    Status st = fail(Stage::read, Code::no_values, "");
    st.message = pk::format("Pelkaro:  %s (%s) holds no detector values; it cannot be used\nExiting program\n",
                            what.c_str(), d.name.c_str());
    return st;
}

bool allocate_image(Data2D& d) {
    try {
        d.intens.assign(kImageValues, 0.0f);
        d.uncert.assign(kImageValues, 0.0f);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace pk
