// Detector data files and mask files, read into images.
#ifndef PELKARO_READ_SANS_H
#define PELKARO_READ_SANS_H

#include <string>
#include <string_view>
#include <vector>

#include "pelkaro/Pelkaro.h"

namespace pk {

Status read_data(Data2D& data, const Console& con = Console{});
// The same on the text of the file read already (read_file: its byte-order
// mark removed), data.name naming it in the messages.
Status read_data_text(std::string_view text, Data2D& data, const Console& con = Console{});
Status read_mask(const Param& p, Data2D& mask);

}  // namespace pk

#endif
