#include "pelkaro/process.h"

#include "temporaries.h"

namespace pk {

void remove_pending_temporaries() { remove_registered_temporaries(); }

}  // namespace pk
