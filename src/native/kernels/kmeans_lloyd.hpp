// Lloyd's iterations of scikit-learn's k-means on the distinct colours of
// a pixel list, each weighted by its number of pixels.
//
// A label depends only on the colour, so the assignment runs once per
// colour, with the library's own rounding of the distances (ties go to the
// first centre, as they do there).  The centre sums are taken per colour
// too, which rounds differently from the library's running sums over the
// pixels; the last centre update of the chosen run is therefore redone in
// the library's order over the pixels (`exact_final_step`), which gives
// the library's centres to the last bit.
//
// Pure C++17; no Python headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/kmeans_colors.hpp"
#include "kernels/kmeans_rounding.hpp"

namespace chromalens::kernels::kmeans {

struct LloydRounding {
    Rounding distance;  // x.c in the assignment (BLAS gemm)
    Rounding norm;      // squared norms of the centres (einsum)
};

struct Run {
    std::vector<std::int32_t> labels;       // per colour, as the run returns them
    std::vector<std::int32_t> step_labels;  // per colour, those of its last centre update
    std::vector<double> centers;            // k x 3, centred, after the last update
    double inertia = 0.0;
    bool strict = false;   // it stopped because no label changed
    bool emptied = false;  // a cluster lost every pixel: the library relocates it, not replayed here
};

// One run from the centres at the given colours.  `tol` is the library's
// scaled tolerance on the summed squared centre shifts.
Run lloyd(const WeightedColors& colors, const LloydRounding& rounding, const std::vector<std::uint32_t>& seeds,
          int max_iter, double tol);

// Whether labelling `a` determines labelling `b` (scikit-learn's test for
// two runs that found the same clustering, numbered differently).
bool same_clustering(const std::vector<std::int32_t>& a, const std::vector<std::int32_t>& b, int n_clusters);

// Redoes the last centre update of `run` as the library sums it: over the
// pixels in scan order, in 256-pixel chunks split among `library_threads`
// as OpenMP's static schedule splits them, each thread's sums added to the
// total in thread order; then, unless the run stopped on unchanged labels,
// its last assignment to those centres.
void exact_final_step(const WeightedColors& colors, const LloydRounding& rounding, Run& run, int library_threads,
                      unsigned threads);

}  // namespace chromalens::kernels::kmeans
