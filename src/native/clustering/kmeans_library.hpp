// What the native k-means needs to know of the installed scikit-learn: that
// the module's `KMeans` is the library's own, unpatched class in a version
// whose algorithm the native computation replays, how its numerical
// routines round on this machine (measured on the routines themselves),
// and how many OpenMP threads it would use now.
#pragma once

#include "module/common.hpp"

#include <optional>

#include "kernels/kmeans.hpp"

namespace chromalens {

struct KMeansLibrary {
    kernels::kmeans::Roundings roundings;
    int openmp_threads = 1;  // the threads the library's Lloyd steps would use now
};

// The library's side of a native fit of `n_clusters` clusters, or nothing
// when the module's `KMeans` must be called instead.  Never raises: anything
// unexpected in the library means the library is called.
std::optional<KMeansLibrary> kmeans_library(int n_clusters);

}  // namespace chromalens
