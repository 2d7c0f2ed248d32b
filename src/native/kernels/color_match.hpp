// Pass of the colour match report: the LAB distance from one target to
// every distinct colour of the analysed pixels, the three closeness bands
// (each colour counted as many times as it has pixels) and the nearest
// colour.  Every per-pixel quantity depends only on the pixel's colour, so
// measuring each distinct colour once gives the per-pixel bands and
// minimum; with the colours in the order of their first pixels, the first
// colour at the smallest distance holds the first nearest pixel.
//
// The distance of two 8-bit LAB triples is sqrt(d0*d0 + d1*d1 + d2*d2) with
// dk = a[k] - b[k] in double precision, the squares added in component
// order.  The components are integers of 0..255, so every difference,
// square and partial sum is an integer far below 2^53 and exact in double:
// the sum of squares is the same whether added as doubles or as integers,
// and only the square root rounds.  The pass therefore works on the exact
// integer sum q and takes the one rounding step where a distance is
// reported.  The bands and the minimum are decided on q without changing
// any outcome: sqrt is correctly rounded and nondecreasing, sqrt(225),
// sqrt(900) and sqrt(2500) are exactly 15, 30 and 50, so
// sqrt(q) < 15 <=> q < 225 (and likewise for 30 and 50); and distinct
// integers q <= 3 * 255^2 are at least 1e-3 apart after the square root,
// far more than one rounding step, so the first smallest q is the first
// smallest distance.
//
// Pixel counts are 32-bit: the colours come from fewer than 2^32 pixels, so
// every sum of counts, over any set of colours, fits 32 bits too.
//
// Pure C++17; no Python headers.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace chromalens::kernels {

// Squares of the band limits 15, 30 and 50, compared strictly.
constexpr std::int32_t kVeryCloseSquared = 15 * 15;
constexpr std::int32_t kCloseSquared = 30 * 30;
constexpr std::int32_t kSomewhatCloseSquared = 50 * 50;

struct TargetMatch {
    std::int64_t very_close = 0;      // pixels at distance < 15
    std::int64_t close = 0;           // pixels at distance < 30
    std::int64_t somewhat_close = 0;  // pixels at distance < 50
    std::size_t closest_index = 0;    // first colour at the smallest distance
    double min_distance = 0.0;        // that distance
};

// The distance of two 8-bit LAB triples, in the order given above.
inline double lab_distance(const std::uint8_t* a, const std::uint8_t* b) {
    const double d0 = static_cast<double>(a[0]) - static_cast<double>(b[0]);
    const double d1 = static_cast<double>(a[1]) - static_cast<double>(b[1]);
    const double d2 = static_cast<double>(a[2]) - static_cast<double>(b[2]);
    return std::sqrt(d0 * d0 + d1 * d1 + d2 * d2);
}

// LAB triples, one plane per component, so that the pass over them runs on
// whole vectors of each component.
struct LabPlanes {
    std::vector<std::uint8_t> c0, c1, c2;
    std::size_t size() const { return c0.size(); }
};

// Splits n consecutive 8-bit LAB triples (3 * n bytes) into planes.
LabPlanes split_planes(const std::uint8_t* lab, std::size_t n);

// Bands and nearest colour, measured from the target's LAB triple to the
// colours' LAB triples; colour j stands for counts[j] pixels.  Ties for the
// nearest colour go to the earliest one.  Throws std::invalid_argument when
// there are no colours or a pointer is null.
TargetMatch match_target(const std::uint8_t target[3], const LabPlanes& colors, const std::uint32_t* counts);

}  // namespace chromalens::kernels
