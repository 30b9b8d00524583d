#include "run_steps.h"

#include <new>
#include <utility>


namespace pk {

Status fail(Stage stage, Code code, std::string reason, const char* tail) {
    Status s = failure(stage, code, std::move(reason));
    s.run_reason = s.reason;
    s.message = "Pelkaro:  " + s.reason + tail;
    return s;
}

Status with_message(Status st, std::string run_reason, const char* tail) {
    st.message = "Pelkaro:  " + run_reason + tail;
    st.run_reason = std::move(run_reason);
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
    return fail(Stage::read, Code::no_values,
                pk::format("%s (%s) holds no detector values; it cannot be used", what.c_str(), d.name.c_str()),
                "\nExiting program\n");
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
