// Two steps on cluster labels shared by the clustering, share and
// extraction bodies, each made through the module's `np`.
#pragma once

#include "module/color_extractor.hpp"

namespace chromalens {

// `unique_labels != -1`: which of the sorted distinct labels are clusters
// rather than noise.
py::object non_noise(py::handle unique_labels);

// `np.argsort(sizes)[::-1][:n]`: the positions of the n largest cluster
// sizes, largest first (a negative n cuts that many from the end).
py::object largest_first(py::handle sizes, Py_ssize_t n);

}  // namespace chromalens
