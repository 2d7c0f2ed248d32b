// The distinct labels of a label array and how many entries hold each, as
// np.unique(labels, return_counts=True) gives them, counted natively.
#pragma once

#include "module/common.hpp"

#include <cstdint>
#include <vector>

namespace chromalens {

struct LabelCounts {
    std::vector<int64_t> labels;  // ascending, each present label
    std::vector<int64_t> counts;  // entries holding it
};

// Counts a plain one-dimensional int32 or int64 label array whose values
// are -1 or between 0 and its length, while the module's `np` is the
// library bound at import.  False for anything else: the caller then makes
// the library call.
bool count_labels(py::handle labels, LabelCounts& out);

// The counts of the labels other than -1, as an int64 array.
py::object cluster_sizes(const LabelCounts& counts);

}  // namespace chromalens
