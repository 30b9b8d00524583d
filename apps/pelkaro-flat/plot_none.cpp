// pelkaro-flat built without libpng: no --plot.
#include "flat_cli.h"

namespace pk {

bool png_available() { return false; }

std::string write_efficiency_png(const Sensitivity&, std::FILE*, const std::string& name) {
    return name + ": this build of pelkaro-flat has no PNG writer (libpng was not found)";
}

}  // namespace pk
