// scikit-learn's KMeans(n_clusters, random_state, n_init).fit_predict on a
// list of 8-bit three-channel pixels, computed on its distinct colours.
//
// The caller supplies what depends on the library rather than the data:
// the random draws, taken from the library's own generator in the order it
// takes them; how the library's routines round (measured on them); and the
// number of OpenMP threads the library would split its last sums among.
// What the library would do that is not replayed here (relocating a
// cluster that lost every pixel, warning of fewer clusters than asked)
// comes back as an outcome instead of a fit, for the caller to run the
// library itself.
//
// Pure C++17; no Python headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/kmeans_rounding.hpp"

namespace chromalens::kernels::kmeans {

struct Roundings {
    Rounding lloyd;      // x.c in Lloyd's assignment (BLAS gemm)
    Rounding seed_one;   // x.c to a single centre in k-means++ (NumPy matmul)
    Rounding seed_many;  // x.c to several candidates in k-means++
    Rounding norm;       // squared norms (einsum)
};

// The number of k-means++ candidates per centre: 2 + int(log(k)).
int local_trials(int n_clusters);

struct Problem {
    const std::uint8_t* pixels = nullptr;  // n packed 3-byte pixels
    std::size_t n = 0;
    int n_clusters = 1;
    int max_iter = 300;
    double tol = 1e-4;
    std::vector<double> first_draws;  // per initialisation: the draw of its first centre
    std::vector<double> trial_draws;  // then (n_clusters - 1) x local_trials draws each
    Roundings roundings;
    int library_threads = 1;
    unsigned threads = 1;             // threads this computation may use
    std::int32_t* labels = nullptr;   // n entries, written when the fit succeeds
};

enum class Outcome {
    fitted,
    too_few_colors,  // fewer distinct colours than clusters
    empty_cluster,   // a run emptied a cluster
    fewer_clusters,  // the chosen run labels fewer clusters than asked
};

struct Fit {
    Outcome outcome = Outcome::fitted;
    std::vector<double> centers;  // n_clusters x 3, as cluster_centers_
};

// The labels of every pixel go to problem.labels.  Requires n >= n_clusters
// >= 1 and one first draw per initialisation.
Fit fit(const Problem& problem);

}  // namespace chromalens::kernels::kmeans
