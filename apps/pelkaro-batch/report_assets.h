// The report page's own script and style, and the charting library's
// (dygraphs, from Debian's libjs-dygraphs), built into the program so that
// every report.html carries them inline.  The library's are empty where it
// was not found when the program was built.
#ifndef PELKARO_BATCH_REPORT_ASSETS_H
#define PELKARO_BATCH_REPORT_ASSETS_H

#include <string_view>

namespace pk {

std::string_view report_page_js();
std::string_view report_page_css();
std::string_view report_chart_js();
std::string_view report_chart_css();

}  // namespace pk

#endif
