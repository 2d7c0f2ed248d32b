// Squared distances, boxes and the eps thresholds of the density search.
//
// The rounding contract.  The search must reproduce, decision by decision,
// whether the library's KD-tree leaf test puts two rows within eps:
//     ((a0-b0)^2 + (a1-b1)^2) + (a2-b2)^2 <= eps*eps
// in double precision, evaluated in that order (pair_rdist).  Every "within
// eps" decision of the kernel either evaluates that expression for the pair,
// or follows from a bound that is provably on the same side for every pair it
// covers:
//  - box bounds: rounding is monotone, so a bound computed from the extreme
//    coordinates with the same operation order brackets every member pair;
//    such bounds are only trusted a relative kMargin away from the threshold
//    (skip_above, accept_below);
//  - lattice distances, for quantised data, trusted a relative
//    kLatticeMargin away from it (see core_lattice.hpp).
// Anything borderline is tested pair by pair.  The library's tree also
// accepts or prunes whole nodes with bounds built from pow(), which can be
// an ulp off either way, so pairs whose rounded squared distance lies within
// kTieUlps ulps of eps*eps count as borderline too (tie_high).
//
// This holds only under IEEE rounding without contraction: the kernel
// library is built with -ffp-contract=off (/fp:precise), since a fused
// multiply-add would round d0*d0 + d1*d1 differently from the library.
//
// Pure C++17; no Python headers.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#if defined(__FAST_MATH__)
#error "the density kernels need IEEE rounding: build them without -ffast-math"
#endif

namespace chromalens::kernels {

// Relative distance from eps*eps within which box bounds are not trusted.
constexpr double kMargin = 1e-9;
// Half-width, in ulps of eps*eps, of the band where the library's node
// bounds can disagree with its leaf test.
constexpr int kTieUlps = 8;

// Squared distance of two 3-column rows in the library's evaluation order.
inline double pair_rdist(const double* a, const double* b) {
    double t = a[0] - b[0];
    double d = t * t;
    t = a[1] - b[1];
    d += t * t;
    t = a[2] - b[2];
    d += t * t;
    return d;
}

// The thresholds every decision compares a squared distance with.
struct EpsThresholds {
    double eps;           // the radius itself
    double squared;       // eps*eps: the leaf test is d <= squared
    double tie_high;      // kTieUlps ulps above squared
    double skip_above;    // a lower bound above this excludes every pair
    double accept_below;  // an upper bound at or below this includes every pair

    explicit EpsThresholds(double radius) : eps(radius), squared(radius * radius) {
        tie_high = squared;
        for (int i = 0; i < kTieUlps; ++i)
            tie_high = std::nextafter(tie_high, std::numeric_limits<double>::infinity());
        skip_above = tie_high * (1.0 + kMargin);
        accept_below = squared * (1.0 - kMargin);
    }

    bool within(const double* a, const double* b) const { return pair_rdist(a, b) <= squared; }
};

struct Box {
    double lo[3];
    double hi[3];
};

inline Box empty_box() {
    const double inf = std::numeric_limits<double>::infinity();
    return Box{{inf, inf, inf}, {-inf, -inf, -inf}};
}

inline void extend(Box& box, const double* p) {
    for (int j = 0; j < 3; ++j) {
        box.lo[j] = std::min(box.lo[j], p[j]);
        box.hi[j] = std::max(box.hi[j], p[j]);
    }
}

// Lower bound of pair_rdist(p, q) over q in the box.
inline double point_box_min(const double* p, const Box& box) {
    double d = 0.0;
    for (int j = 0; j < 3; ++j) {
        double gap = 0.0;
        if (p[j] < box.lo[j]) gap = box.lo[j] - p[j];
        else if (p[j] > box.hi[j]) gap = p[j] - box.hi[j];
        d += gap * gap;
    }
    return d;
}

// Upper bound of pair_rdist(p, q) over q in the box.
inline double point_box_max(const double* p, const Box& box) {
    double d = 0.0;
    for (int j = 0; j < 3; ++j) {
        const double gap = std::max(std::fabs(p[j] - box.lo[j]), std::fabs(p[j] - box.hi[j]));
        d += gap * gap;
    }
    return d;
}

// Lower bound of pair_rdist(p, q) over p in a, q in b.
inline double box_box_min(const Box& a, const Box& b) {
    double d = 0.0;
    for (int j = 0; j < 3; ++j) {
        double gap = 0.0;
        if (a.hi[j] < b.lo[j]) gap = b.lo[j] - a.hi[j];
        else if (b.hi[j] < a.lo[j]) gap = a.lo[j] - b.hi[j];
        d += gap * gap;
    }
    return d;
}

// Upper bound of pair_rdist(p, q) over p in a, q in b.
inline double box_box_max(const Box& a, const Box& b) {
    double d = 0.0;
    for (int j = 0; j < 3; ++j) {
        const double gap = std::max(std::fabs(a.hi[j] - b.lo[j]), std::fabs(b.hi[j] - a.lo[j]));
        d += gap * gap;
    }
    return d;
}

constexpr std::int64_t kMaxWeight = std::numeric_limits<std::int64_t>::max();

// a + b for non-negative weights, saturating at kMaxWeight.
inline std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
    return b > kMaxWeight - a ? kMaxWeight : a + b;
}

}  // namespace chromalens::kernels
