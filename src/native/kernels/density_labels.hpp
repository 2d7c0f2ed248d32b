// Exact density clustering (DBSCAN) of weighted distinct 3-column rows.
//
// The colour stage clusters standardised 3-column pixel data with DBSCAN and
// must reproduce scikit-learn's labels exactly.  Identical pixels sit at
// distance 0, so the data is first collapsed to distinct rows with
// multiplicities (distinct_rows.hpp); density_labels then gives, for those
// rows and weights, the labels of
//     DBSCAN(eps=eps, min_samples=min_samples)
//         .fit_predict(rows, sample_weight=weights)
// as the library computes them with its KD-tree, without materialising
// neighbourhoods (memory stays linear in the number of rows).
//
// Pure C++17; no Python headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace chromalens::kernels {

// Labels (-1 noise, clusters 0, 1, 2, ... numbered like scikit-learn) of k
// distinct 3-column rows (row-major) with non-negative integer weights.
// A row is core when the summed weight of rows with
//     ((a0-b0)^2 + (a1-b1)^2) + (a2-b2)^2 <= eps*eps
// (itself included, double precision, evaluated in that order) reaches
// min_samples.  Clusters are the connected components of core rows, numbered
// by their lowest row index; a non-core row takes the lowest cluster number
// among its core neighbours, or -1.
//
// This is the library's KD-tree rule.  For very few rows the library
// searches by brute force instead, whose rounding at exactly eps differs;
// callers that must match it route those inputs to it.
//
// Quantised data (each column on an evenly spaced lattice of at most 4096
// values, as standardised 8-bit colour is) takes an exact lattice engine
// that uses up to std::thread::hardware_concurrency() threads (at most 8);
// other data takes a general grid/KD-tree engine.  Both give the labels
// above; results never depend on the thread schedule.  Memory stays linear
// in k (plus lattice tables bounded to a few hundred MB).
//
// Throws std::invalid_argument for non-finite values, eps that is not a
// positive finite number, negative weights, or a null pointer with k > 0;
// std::length_error when k does not fit 32-bit row ids.  Weight sums
// saturate at INT64_MAX (the library sums in float64, which is only exact
// below 2^53).
std::vector<int64_t> density_labels(const double* rows, const int64_t* weights,
                                    std::size_t k, double eps,
                                    int64_t min_samples);

}  // namespace chromalens::kernels
