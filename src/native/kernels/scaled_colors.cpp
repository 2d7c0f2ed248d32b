#include "kernels/scaled_colors.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace chromalens::kernels {

namespace {

// Bits of a double with -0.0 read as 0.0, so both zeros compare equal.
inline std::uint64_t canonical_bits(double value) {
    if (value == 0.0) value = 0.0;
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

}  // namespace

bool scaled_color_rows(const std::uint8_t* pixels, std::size_t n, const double* scaled, std::ptrdiff_t row_stride,
                       std::ptrdiff_t col_stride, const ColorTable& table, std::vector<double>& rows) {
    if (n > 0 && (pixels == nullptr || scaled == nullptr))
        throw std::invalid_argument("scaled_color_rows needs pixel and scaled data");
    // Each column's value per 8-bit value, from the first pixel of each
    // colour (every 8-bit value of a column occurs in some colour).
    std::uint64_t value_bits[3][256] = {};
    bool present[3][256] = {};
    for (const std::int64_t i : table.first()) {
        const double* row = scaled + i * row_stride;
        for (int c = 0; c < 3; ++c) {
            const std::uint8_t v = pixels[3 * i + c];
            const double value = row[c * col_stride];
            if (!std::isfinite(value)) return false;
            const std::uint64_t bits = canonical_bits(value);
            if (present[c][v] && value_bits[c][v] != bits) return false;
            present[c][v] = true;
            value_bits[c][v] = bits;
        }
    }
    // One to one: different 8-bit values of a column have different values.
    for (int c = 0; c < 3; ++c) {
        std::vector<std::uint64_t> seen;
        for (int v = 0; v < 256; ++v)
            if (present[c][v]) seen.push_back(value_bits[c][v]);
        std::sort(seen.begin(), seen.end());
        if (std::adjacent_find(seen.begin(), seen.end()) != seen.end()) return false;
    }
    // Every pixel's values are those of its 8-bit values (compared as
    // doubles: the two zeros are equal, and a NaN equals nothing).
    double value[3][256];
    for (int c = 0; c < 3; ++c)
        for (int v = 0; v < 256; ++v) std::memcpy(&value[c][v], &value_bits[c][v], sizeof(double));
    bool differ = false;
    if (row_stride == 3 && col_stride == 1) {
        for (std::size_t i = 0; i < n; ++i) {
            const double* row = scaled + 3 * i;
            const std::uint8_t* pixel = pixels + 3 * i;
            differ |= (row[0] != value[0][pixel[0]]) | (row[1] != value[1][pixel[1]]) | (row[2] != value[2][pixel[2]]);
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            const double* row = scaled + static_cast<std::ptrdiff_t>(i) * row_stride;
            const std::uint8_t* pixel = pixels + 3 * i;
            for (int c = 0; c < 3; ++c) differ |= row[c * col_stride] != value[c][pixel[c]];
        }
    }
    if (differ) return false;

    const std::size_t k = table.size();
    rows.resize(3 * k);
    for (std::size_t j = 0; j < k; ++j) {
        const std::uint8_t* pixel = pixels + 3 * table.first()[j];
        for (int c = 0; c < 3; ++c) std::memcpy(&rows[3 * j + c], &value_bits[c][pixel[c]], sizeof(double));
    }
    return true;
}

}  // namespace chromalens::kernels
