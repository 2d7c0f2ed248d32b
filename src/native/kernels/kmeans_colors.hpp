// The pixel list of a k-means fit as the fit sees it, kept once per
// distinct colour: every step of the library's k-means depends on a pixel
// only through its value, except the order in which sums run, which the
// steps that need it take from the per-pixel colour index.
//
// Pure C++17; no Python headers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace chromalens::kernels::kmeans {

// Three per-colour columns, addressed through pointers so that a rounding's
// order of terms is a reordering of the pointers.
struct Columns {
    std::array<const double*, 3> column{};
    const double* operator[](int c) const { return column[static_cast<std::size_t>(c)]; }
    Columns permuted(const std::array<std::uint8_t, 3>& order) const {
        return {{column[order[0]], column[order[1]], column[order[2]]}};
    }
};

struct WeightedColors {
    // Per distinct colour, in the order of their first pixels: the values
    // the fit clusters (the colour minus the column means, rounded as the
    // library subtracts them), and the number of pixels of the colour.
    std::array<std::vector<double>, 3> centred;
    std::vector<double> counts;
    // Per colour: its count, and the count times each centred value.
    std::vector<std::array<double, 4>> weighted;
    // Per pixel: its colour's place in that order.
    std::vector<std::uint32_t> color_of_pixel;
    // The column means the values are centred on.
    std::array<double, 3> mean{};

    std::size_t size() const { return counts.size(); }
    std::size_t pixels() const { return color_of_pixel.size(); }
    Columns columns() const { return {{centred[0].data(), centred[1].data(), centred[2].data()}}; }
    // Row u as three values.
    std::array<double, 3> row(std::size_t u) const { return {centred[0][u], centred[1][u], centred[2][u]}; }
};

// The distinct colours of n packed 3-byte pixels, centred on the column
// means of all n pixels.  Throws std::length_error past 32-bit pixel counts.
WeightedColors weighted_colors(const std::uint8_t* pixels, std::size_t n);

// The variance of each column of the pixel list, summed in scan order as
// NumPy sums a column of a C-ordered array, then averaged over the columns
// (np.mean(np.var(X, axis=0))).
double mean_column_variance(const WeightedColors& colors);

}  // namespace chromalens::kernels::kmeans
