#include "kernels/kmeans_seeding.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <utility>

#include "kernels/kmeans_simd.hpp"
#include "kernels/parallel_for.hpp"

namespace chromalens::kernels::kmeans {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// ---------------------------------------------------------------------------
// Squared distances from one centre to every colour, as the library's
// euclidean distances compute them: -2 x.c from BLAS, plus the centre's
// squared norm, plus the colour's, clipped at zero.
// ---------------------------------------------------------------------------
template <bool Fused>
CL_KMEANS_INLINE void distances_body(const Columns& v, const double* norms, std::size_t n, const double* center,
                                     double center_norm, double* out) {
    const double* v0 = v[0];
    const double* v1 = v[1];
    const double* v2 = v[2];
    // -2 c.x is (-2c).x to the bit: scaling by a power of two commutes with
    // every rounding of the sum.
    const double c0 = -2.0 * center[0], c1 = -2.0 * center[1], c2 = -2.0 * center[2];
    for (std::size_t u = 0; u < n; ++u) {
        const double d = (ordered_dot3<Fused>(c0, c1, c2, v0[u], v1[u], v2[u]) + center_norm) + norms[u];
        out[u] = d >= 0.0 ? d : 0.0;
    }
}

CL_KMEANS_FMA_TARGET void distances_fast(bool fused, const Columns& v, const double* norms, std::size_t n,
                                         const double* center, double center_norm, double* out) {
    if (fused)
        distances_body<true>(v, norms, n, center, center_norm, out);
    else
        distances_body<false>(v, norms, n, center, center_norm, out);
}

void distances_portable(bool fused, const Columns& v, const double* norms, std::size_t n, const double* center,
                        double center_norm, double* out) {
    if (fused)
        distances_body<true>(v, norms, n, center, center_norm, out);
    else
        distances_body<false>(v, norms, n, center, center_norm, out);
}

// `out` = distances from colour `center` to every colour, in `rounding`.
void distances_to(const WeightedColors& colors, const std::vector<double>& norms, const Rounding& rounding,
                  std::uint32_t center, double* out) {
    const Columns v = colors.columns().permuted(rounding.order);
    const double c[3] = {v[0][center], v[1][center], v[2][center]};
    if (has_fma_instructions())
        distances_fast(rounding.fused, v, norms.data(), colors.size(), c, norms[center], out);
    else
        distances_portable(rounding.fused, v, norms.data(), colors.size(), c, norms[center], out);
}

// The potential with one more centre: counts x np.minimum(closest, distance)
// summed over the colours.  In any
// order: potentials only scale the random targets and rank candidates, where
// the last bits do not decide.
double potential_with(const double* closest, const double* distance, const double* counts, std::size_t n) {
    double partial[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t u = 0;
    for (; u + 4 <= n; u += 4)
        for (std::size_t j = 0; j < 4; ++j) {
            const double c = closest[u + j], d = distance[u + j];
            partial[j] += (c <= d ? c : d) * counts[u + j];
        }
    for (; u < n; ++u) partial[0] += (closest[u] <= distance[u] ? closest[u] : distance[u]) * counts[u];
    return (partial[0] + partial[1]) + (partial[2] + partial[3]);
}

// ---------------------------------------------------------------------------
// Initialisations that share a pass over the pixels: their closest
// distances per colour interleaved, `width` lanes per colour (unused lanes
// zero), so that a pixel reads one short row.
// ---------------------------------------------------------------------------
struct Group {
    std::size_t first = 0;  // first initialisation of the group
    std::size_t count = 0;
    std::size_t width = 0;
    std::vector<double> storage;
    double* table = nullptr;  // colours x width, in storage, rows aligned to 64 bytes
};

// Fills the group's table from the initialisations' closest distances.
void fill_table(Group& group, const std::vector<std::vector<double>>& closest) {
    const std::size_t n_colors = closest[group.first].size();
    for (std::size_t lane = 0; lane < group.count; ++lane) {
        const double* from = closest[group.first + lane].data();
        double* to = group.table + lane;
        for (std::size_t u = 0; u < n_colors; ++u) to[u * group.width] = from[u];
    }
}

// For each lane of a group, the targets of its running sum, ascending,
// with their places among the lane's draws; filled with the first pixel
// whose running sum reaches each target.
struct LaneTargets {
    std::vector<std::pair<double, std::size_t>> targets;
    std::vector<std::size_t> found;
};

// Rows of the table are read in pixel order, scattered over the table:
// each is asked for this many pixels ahead, so that the reads overlap.
constexpr std::size_t kLookAhead = 16;

inline void prefetch(const double* row) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(row);
#else
    (void)row;
#endif
}

// The pixels where running sums cross their next targets, from pixel
// `first` on, while any lane still waits for one; returns the pixel after
// the last one read.
template <std::size_t W>
std::size_t scan_until_crossing(const double* table, const std::uint32_t* color_of_pixel, std::size_t first,
                                std::size_t n, double* sum, const double* next) {
    for (std::size_t i = first; i < n; ++i) {
        const double* row = table + W * static_cast<std::size_t>(color_of_pixel[i]);
        if (i + kLookAhead < n) prefetch(table + W * static_cast<std::size_t>(color_of_pixel[i + kLookAhead]));
        bool reached = false;
        for (std::size_t l = 0; l < W; ++l) {
            sum[l] += row[l];
            reached = reached || sum[l] >= next[l];
        }
        if (reached) return i + 1;
    }
    return n;
}

#if defined(CL_KMEANS_X86)
// The same four lanes at a time.
template <std::size_t W>
CL_KMEANS_FMA_TARGET std::size_t scan_until_crossing_avx2(const double* table, const std::uint32_t* color_of_pixel,
                                                          std::size_t first, std::size_t n, double* sum,
                                                          const double* next) {
    static_assert(W % 4 == 0 && W <= 12, "lanes come in vectors of four");
    constexpr std::size_t V = W / 4;
    __m256d s[V], target[V];
    for (std::size_t v = 0; v < V; ++v) {
        s[v] = _mm256_loadu_pd(sum + 4 * v);
        target[v] = _mm256_loadu_pd(next + 4 * v);
    }
    std::size_t i = first;
    for (; i < n; ++i) {
        const double* row = table + W * static_cast<std::size_t>(color_of_pixel[i]);
        if (i + kLookAhead < n) prefetch(table + W * static_cast<std::size_t>(color_of_pixel[i + kLookAhead]));
        int reached = 0;
        for (std::size_t v = 0; v < V; ++v) {
            s[v] = _mm256_add_pd(s[v], _mm256_loadu_pd(row + 4 * v));
            reached |= _mm256_movemask_pd(_mm256_cmp_pd(s[v], target[v], _CMP_GE_OQ));
        }
        if (reached) {
            ++i;
            break;
        }
    }
    for (std::size_t v = 0; v < V; ++v) _mm256_storeu_pd(sum + 4 * v, s[v]);
    return i;
}
#endif

// For each lane, the first pixel whose running sum reaches each of its
// targets.
template <std::size_t W>
void crossing_pass(const Group& group, const std::vector<std::uint32_t>& color_of_pixel,
                   std::vector<LaneTargets>& lanes) {
    double sum[W] = {};
    double next[W];
    std::size_t pending[W] = {};
    std::size_t lanes_left = 0;
    for (std::size_t l = 0; l < W; ++l) {
        const bool used = l < lanes.size() && !lanes[l].targets.empty();
        next[l] = used ? lanes[l].targets[0].first : kInfinity;
        lanes_left += used;
    }
    const double* table = group.table;
    const std::size_t n = color_of_pixel.size();
    std::size_t i = 0;
    while (lanes_left > 0 && i < n) {
#if defined(CL_KMEANS_X86)
        i = has_fma_instructions() ? scan_until_crossing_avx2<W>(table, color_of_pixel.data(), i, n, sum, next)
                                   : scan_until_crossing<W>(table, color_of_pixel.data(), i, n, sum, next);
#else
        i = scan_until_crossing<W>(table, color_of_pixel.data(), i, n, sum, next);
#endif
        const std::size_t pixel = i - 1;
        for (std::size_t l = 0; l < W; ++l) {
            while (sum[l] >= next[l]) {
                LaneTargets& lane = lanes[l];
                lane.found[lane.targets[pending[l]].second] = pixel;
                if (++pending[l] < lane.targets.size()) {
                    next[l] = lane.targets[pending[l]].first;
                } else {
                    next[l] = kInfinity;
                    --lanes_left;
                }
            }
        }
    }
}

void run_crossing_pass(const Group& group, const std::vector<std::uint32_t>& color_of_pixel,
                       std::vector<LaneTargets>& lanes) {
    switch (group.width) {
        case 4: return crossing_pass<4>(group, color_of_pixel, lanes);
        case 8: return crossing_pass<8>(group, color_of_pixel, lanes);
        default: return crossing_pass<12>(group, color_of_pixel, lanes);
    }
}

std::vector<Group> make_groups(std::size_t n_init, std::size_t n_colors, unsigned threads) {
    // As many groups as threads, each of at most 12 initialisations: rows
    // of 8 lanes are one 64-byte cache line, of 12 two.
    std::size_t n_groups = std::max<std::size_t>({std::size_t{1}, std::min<std::size_t>(threads, n_init),
                                                  (n_init + 11) / 12});
    std::vector<Group> groups(n_groups);
    std::size_t first = 0;
    for (std::size_t g = 0; g < n_groups; ++g) {
        Group& group = groups[g];
        group.first = first;
        group.count = n_init / n_groups + (g < n_init % n_groups);
        group.width = (group.count + 3) / 4 * 4;
        group.storage.assign(n_colors * group.width + 8, 0.0);
        const auto address = reinterpret_cast<std::uintptr_t>(group.storage.data());
        group.table = group.storage.data() + (64 - address % 64) % 64 / sizeof(double);
        first += group.count;
    }
    return groups;
}

}  // namespace

std::vector<std::size_t> first_center_pixels(std::size_t n, const std::vector<double>& draws) {
    // p = ones / ones.sum(); cdf = p.cumsum(); cdf /= cdf[-1];
    // cdf.searchsorted(draw, side="right").
    const double p = 1.0 / static_cast<double>(n);
    double last = p;
    for (std::size_t i = 1; i < n; ++i) last += p;
    // The smallest x with x / last > draw: the cumulative sums from x on
    // are the positions past the draw.
    std::vector<std::pair<double, std::size_t>> thresholds;
    for (std::size_t d = 0; d < draws.size(); ++d) {
        double x = draws[d] * last;
        while (x > 0.0 && std::nextafter(x, 0.0) / last > draws[d]) x = std::nextafter(x, 0.0);
        while (x / last <= draws[d]) x = std::nextafter(x, kInfinity);
        thresholds.emplace_back(x, d);
    }
    std::sort(thresholds.begin(), thresholds.end());
    std::vector<std::size_t> pixels(draws.size(), n - 1);
    std::size_t next = 0;
    double cumulative = p;
    for (std::size_t i = 0; i < n && next < thresholds.size(); ++i) {
        if (i > 0) cumulative += p;
        while (next < thresholds.size() && cumulative >= thresholds[next].first) pixels[thresholds[next++].second] = i;
    }
    return pixels;
}

std::vector<std::vector<std::uint32_t>> seed_centers(const WeightedColors& colors, const std::vector<double>& norms,
                                                     const SeedingRounding& rounding, int n_clusters, int trials,
                                                     const std::vector<std::size_t>& first_pixels,
                                                     const std::vector<double>& draws, unsigned threads) {
    const std::size_t n_init = first_pixels.size();
    const std::size_t n_colors = colors.size();
    const auto k = static_cast<std::size_t>(n_clusters);
    const auto t = static_cast<std::size_t>(trials);
    std::vector<std::vector<std::uint32_t>> centers(n_init, std::vector<std::uint32_t>(k));
    std::vector<double> potential(n_init);
    std::vector<std::vector<double>> closest(n_init, std::vector<double>(n_colors));
    std::vector<Group> groups = make_groups(n_init, n_colors, threads);
    std::vector<std::size_t> group_of(n_init);
    for (std::size_t g = 0; g < groups.size(); ++g)
        for (std::size_t i = 0; i < groups[g].count; ++i) group_of[groups[g].first + i] = g;

    // The first centre and every colour's distance to it.
    parallel_tasks(n_init, [&](std::size_t init) {
        const std::uint32_t first = colors.color_of_pixel[first_pixels[init]];
        centers[init][0] = first;
        std::vector<double>& distance = closest[init];
        distances_to(colors, norms, rounding.one, first, distance.data());
        potential[init] = potential_with(distance.data(), distance.data(), colors.counts.data(), n_colors);
    }, threads);

    std::vector<std::vector<LaneTargets>> lanes(groups.size());
    for (std::size_t c = 1; c < k; ++c) {
        // Candidates: where the running sums over the pixels reach the
        // draws, scaled by the potential.
        for (std::size_t g = 0; g < groups.size(); ++g) {
            lanes[g].assign(groups[g].count, LaneTargets{});
            for (std::size_t lane = 0; lane < groups[g].count; ++lane) {
                const std::size_t init = groups[g].first + lane;
                LaneTargets& targets = lanes[g][lane];
                const double* draw = &draws[(init * (k - 1) + (c - 1)) * t];
                for (std::size_t q = 0; q < t; ++q) targets.targets.emplace_back(draw[q] * potential[init], q);
                std::sort(targets.targets.begin(), targets.targets.end());
                // A target past the last sum clips to the last pixel.
                targets.found.assign(t, colors.pixels() - 1);
            }
        }
        parallel_tasks(groups.size(), [&](std::size_t g) {
            fill_table(groups[g], closest);
            run_crossing_pass(groups[g], colors.color_of_pixel, lanes[g]);
        }, threads);

        // Of the candidates, the one that leaves the smallest potential.
        parallel_tasks(n_init, [&](std::size_t init) {
            const std::vector<std::size_t>& found = lanes[group_of[init]][init - groups[group_of[init]].first].found;
            std::unique_ptr<double[]> distance(new double[n_colors]), best_distance(new double[n_colors]);
            double* current = closest[init].data();
            double best_potential = kInfinity;
            std::uint32_t best = 0;
            for (std::size_t q = 0; q < t; ++q) {
                const std::uint32_t candidate = colors.color_of_pixel[found[q]];
                distances_to(colors, norms, rounding.many, candidate, distance.get());
                const double candidate_potential =
                    potential_with(current, distance.get(), colors.counts.data(), n_colors);
                if (q == 0 || candidate_potential < best_potential) {
                    best_potential = candidate_potential;
                    best = candidate;
                    std::swap(distance, best_distance);
                }
            }
            // np.minimum(closest, distances to the chosen candidate).
            for (std::size_t u = 0; u < n_colors; ++u)
                current[u] = current[u] <= best_distance[u] ? current[u] : best_distance[u];
            potential[init] = best_potential;
            centers[init][c] = best;
        }, threads);
    }
    return centers;
}

}  // namespace chromalens::kernels::kmeans
