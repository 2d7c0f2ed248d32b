// How the library's numerical routines round the three-term sums k-means is
// made of, so that the same values can be computed here on each distinct
// colour.
//
// A dot product a.b of three terms comes out of BLAS as a chain of fused
// multiply-adds in some order of the terms (the first a plain product), or
// as plain products added in some order; a squared norm comes out of
// NumPy's einsum as plain squares added pairwise.  Which one a routine uses
// depends on the routine, the BLAS build and the processor, so the caller
// finds it out by measuring the routines themselves and hands the result
// here as a `Rounding`.
//
// The hot loops take the terms already permuted into the rounding's order
// and are instantiated for fused and for plain arithmetic; the scalar
// forms below serve everything else.
//
// Pure C++17; no Python headers.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>

namespace chromalens::kernels::kmeans {

// The order in which the three terms of a sum of products are taken, and
// whether the second and third are fused into the running sum (the first
// is always a plain product, exactly as fma(a, b, 0) rounds it).  Plain
// sums are left-to-right: (t[o0] + t[o1]) + t[o2].
struct Rounding {
    std::array<std::uint8_t, 3> order{0, 1, 2};
    bool fused = false;
};

// a.b as `rounding` computes it.
inline double dot3(const double* a, const double* b, const Rounding& rounding) {
    const int i = rounding.order[0], j = rounding.order[1], k = rounding.order[2];
    if (rounding.fused) return std::fma(a[k], b[k], std::fma(a[j], b[j], a[i] * b[i]));
    return (a[i] * b[i] + a[j] * b[j]) + a[k] * b[k];
}

// The same for terms already in the rounding's order.  Templates, so that
// the caller's code is compiled with hardware fused multiply-add where the
// processor has it.
template <bool Fused>
inline double ordered_dot3(double a0, double a1, double a2, double b0, double b1, double b2) {
    if constexpr (Fused) return std::fma(a2, b2, std::fma(a1, b1, a0 * b0));
    return (a0 * b0 + a1 * b1) + a2 * b2;
}

// Squared Euclidean distance of two rows as scikit-learn's own loop sums
// it: the squared differences added in component order from zero.
inline double squared_distance(const double* a, const double* b) {
    double result = 0.0;
    for (int c = 0; c < 3; ++c) {
        const double d = a[c] - b[c];
        result += d * d;
    }
    return result;
}

// NumPy's sum of a float64 vector: pairwise in blocks of 128 with eight
// running sums (the order `x.sum()` adds in), so that a sum of a few
// values here equals the library's.
double numpy_sum(const double* values, std::size_t n);

}  // namespace chromalens::kernels::kmeans
