// Collapses an n x 3 array of doubles to its distinct rows with their
// multiplicities, so that a search on pixels runs on distinct colours.
//
// Pure C++17; no Python headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace chromalens::kernels {

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

}  // namespace chromalens::kernels
