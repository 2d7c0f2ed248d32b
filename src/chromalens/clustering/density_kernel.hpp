// Native density clustering for the colour clustering stage.
//
// The colour stage clusters standardised 3-column pixel data with DBSCAN and
// must reproduce scikit-learn's labels exactly.  Identical pixels sit at
// distance 0, so the data is first collapsed to distinct rows with
// multiplicities; density_labels then gives, for those rows and weights, the
// labels of
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

// scikit-learn answers the radius queries by brute force (GEMM-form
// distances, which round differently at exactly-eps boundaries) while
// n_neighbors=5 >= n_rows // 2, i.e. for up to this many distinct rows.
// Callers route such inputs to the library itself; density_labels always
// follows the KD-tree rule.
constexpr std::size_t kLibraryBruteForceLimit = 11;

struct DistinctRows {
    std::vector<double> rows;      // k x 3, row-major, in order of first occurrence
    std::vector<int64_t> counts;   // k: multiplicity of each distinct row
    std::vector<int64_t> inverse;  // n: index of each input row's distinct row
};

// Collapses an n x 3 array (element strides, may be negative) to its
// distinct rows.  Rows are equal when their three doubles are bit-identical
// after -0.0 is mapped to 0.0.  Throws std::invalid_argument when n > 0 and
// data is null, std::length_error when n does not fit 32-bit row ids.
DistinctRows distinct_rows(const double* data, std::size_t n,
                           std::ptrdiff_t row_stride, std::ptrdiff_t col_stride);

// Optional diagnostics of one density_labels call.
struct DensityStats {
    std::size_t cells = 0;            // occupied grid cells
    std::size_t core_points = 0;      // distinct rows that are core
    std::size_t clusters = 0;         // number of labels >= 0
    std::uint64_t distance_tests = 0; // pair tests and run lookups evaluated
    // Pairs seen whose rounded squared distance lies within 8 ulps of
    // eps*eps.  Besides its leaf test (which this kernel applies), the
    // library's tree accepts or prunes whole nodes with bounds computed
    // through pow(), which can round such a pair to either side depending on
    // the node layout.  Zero means the labels cannot depend on that; a
    // positive count flags that they might (exactly representable cases,
    // such as a spacing of exactly eps, do agree in practice).
    std::uint64_t boundary_ties = 0;
};

// Labels (-1 noise, clusters 0, 1, 2, ... numbered like scikit-learn) of k
// distinct 3-column rows (row-major) with non-negative integer weights.
// A row is core when the summed weight of rows with
//     ((a0-b0)^2 + (a1-b1)^2) + (a2-b2)^2 <= eps*eps
// (itself included, double precision, evaluated in that order) reaches
// min_samples.  Clusters are the connected components of core rows, numbered
// by their lowest row index; a non-core row takes the lowest cluster number
// among its core neighbours, or -1.
//
// Quantised data (each column on an evenly spaced lattice of at most 4096
// values, as standardised 8-bit colour is) takes an exact lattice engine
// that uses up to std::thread::hardware_concurrency() threads (at most 8);
// other data takes a general grid/KD-tree engine.  Both give the labels
// above; results never depend on the thread schedule.  Memory stays linear
// in k (plus lattice tables bounded to a few hundred MB).
//
// The caller passes finite data.  Throws std::invalid_argument for
// non-finite values, eps that is not a positive finite number, negative
// weights, or a null pointer with k > 0; std::length_error when k does not
// fit 32-bit row ids.  Weight sums saturate at INT64_MAX (the library sums
// in float64, which is only exact below 2^53).
std::vector<int64_t> density_labels(const double* rows, const int64_t* weights,
                                    std::size_t k, double eps,
                                    int64_t min_samples,
                                    DensityStats* stats = nullptr);

}  // namespace chromalens::kernels
