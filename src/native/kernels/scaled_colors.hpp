// The standardised rows of the distinct colours of a pixel list, taken
// from the scaler's own output.
//
// Standardising works column by column, so each column's scaled value is a
// function of that column's 8-bit value, and a one-to-one function when
// the column is not constant.  Then equal pixels have equal scaled rows and
// distinct pixels distinct ones: the distinct scaled rows, their order of
// first occurrence and their multiplicities are those of the distinct
// 8-bit colours.  Nothing here assumes it of the scaler: every scaled value
// is checked against the first one seen for its column and 8-bit value,
// the values of different 8-bit values must differ, and all must be finite.
//
// Pure C++17; no Python headers.
#pragma once

#include "kernels/color_table.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace chromalens::kernels {

// The k x 3 scaled rows (row-major) of the table's colours, in its order,
// read at each colour's first pixel, with -0.0 read as 0.0.  `scaled` is
// the n x 3 scaled form of `pixels` (element strides).  Returns false, with
// `rows` unspecified, unless every scaled value is finite and a one-to-one
// function of its column's 8-bit value.
bool scaled_color_rows(const std::uint8_t* pixels, std::size_t n, const double* scaled, std::ptrdiff_t row_stride,
                       std::ptrdiff_t col_stride, const ColorTable& table, std::vector<double>& rows);

}  // namespace chromalens::kernels
