// The files a run of pelkaro-batch writes into its output directory: each
// row's, the summary and the report.
#ifndef PELKARO_BATCH_OUTPUTS_H
#define PELKARO_BATCH_OUTPUTS_H

#include <functional>
#include <string>
#include <vector>

#include "batch.h"

namespace pk {

// The names (in the output directory) of the files a row may write: its
// parameter file first, then .d1d, .d2d, .h5, the plots and the report's image.
std::vector<std::string> row_output_names(const std::string& row_name);

// Calls `visit` with the name of every file the run may write, and the row
// that writes it (none for the summary and the report), in the rows' order.
void for_each_output(const BatchJob& job,
                     const std::function<void(const std::string& name, const TableRow* row)>& visit);

// Removes the temporaries that runs killed before they finished left beside
// this run's outputs (pk::remove_stale_temporary: no writer holds them and
// they are older than this call, made before the run writes anything); the
// number removed.
std::size_t remove_stale_temporaries(const BatchJob& job);

// The names of the files in `dir` into `names`; true when it was read (or
// does not exist: no names).
bool names_in(const std::string& dir, std::unordered_set<std::string>& names);

}  // namespace pk

#endif
