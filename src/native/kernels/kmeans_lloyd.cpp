#include "kernels/kmeans_lloyd.hpp"

#include <algorithm>
#include <cmath>

#include "kernels/kmeans_simd.hpp"
#include "kernels/parallel_for.hpp"

namespace chromalens::kernels::kmeans {

namespace {

// Centre sums are kept in four tables, colour u adding to table u % 4, so
// that neighbouring colours of one cluster do not wait on each other's
// additions; per table and cluster: the weight and the three sums.
constexpr std::size_t kTables = 4;

// ---------------------------------------------------------------------------
// Assignment: the library fills each distance with the centre's squared
// norm and adds -2 x.c from BLAS; the first smallest distance wins.  With
// `sums`, each colour's count and weighted values are added to its
// cluster's sums on the way.
// ---------------------------------------------------------------------------
struct Assignment {
    Columns v;                     // the colours, columns in the rounding's order
    std::size_t n = 0;
    const double* centers = nullptr;       // k x 3, in the same order, times -2
    const double* center_norms = nullptr;  // k
    int k = 0;
    std::int32_t* labels = nullptr;        // n, out
    const std::array<double, 4>* weighted = nullptr;
    double* sums = nullptr;                // kTables x k x 4, or null
};

template <bool Fused>
void assign_portable(const Assignment& a, std::size_t first) {
    for (std::size_t u = first; u < a.n; ++u) {
        double best = 0.0;
        std::int32_t label = 0;
        for (int j = 0; j < a.k; ++j) {
            const double* c = a.centers + 3 * j;
            const double d = a.center_norms[j] + ordered_dot3<Fused>(a.v[0][u], a.v[1][u], a.v[2][u], c[0], c[1], c[2]);
            if (j == 0 || d < best) {
                best = d;
                label = j;
            }
        }
        a.labels[u] = label;
        if (a.sums != nullptr) {
            double* sum = a.sums + 4 * ((u % kTables) * static_cast<std::size_t>(a.k) + static_cast<std::size_t>(label));
            for (std::size_t e = 0; e < 4; ++e) sum[e] += a.weighted[u][e];
        }
    }
}

#if defined(CL_KMEANS_X86)
// Four colours at a time, every centre in turn, the running minimum and its
// label in registers: the same operations as the portable loop, lane by lane.
template <bool Fused>
CL_KMEANS_FMA_TARGET void assign_avx2(const Assignment& a) {
    const auto k = static_cast<std::size_t>(a.k);
    std::size_t u = 0;
    for (; u + 4 <= a.n; u += 4) {
        const __m256d x0 = _mm256_loadu_pd(a.v[0] + u), x1 = _mm256_loadu_pd(a.v[1] + u),
                      x2 = _mm256_loadu_pd(a.v[2] + u);
        __m256d best = _mm256_setzero_pd(), label = _mm256_setzero_pd();
        for (int j = 0; j < a.k; ++j) {
            const double* c = a.centers + 3 * j;
            __m256d dot = _mm256_mul_pd(x0, _mm256_broadcast_sd(c));
            if constexpr (Fused) {
                dot = _mm256_fmadd_pd(x1, _mm256_broadcast_sd(c + 1), dot);
                dot = _mm256_fmadd_pd(x2, _mm256_broadcast_sd(c + 2), dot);
            } else {
                dot = _mm256_add_pd(dot, _mm256_mul_pd(x1, _mm256_broadcast_sd(c + 1)));
                dot = _mm256_add_pd(dot, _mm256_mul_pd(x2, _mm256_broadcast_sd(c + 2)));
            }
            const __m256d d = _mm256_add_pd(_mm256_broadcast_sd(a.center_norms + j), dot);
            if (j == 0) {
                best = d;
                continue;
            }
            const __m256d nearer = _mm256_cmp_pd(d, best, _CMP_LT_OQ);
            best = _mm256_blendv_pd(best, d, nearer);
            label = _mm256_blendv_pd(label, _mm256_set1_pd(static_cast<double>(j)), nearer);
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(a.labels + u), _mm256_cvtpd_epi32(label));
        if (a.sums != nullptr) {
            for (std::size_t lane = 0; lane < 4; ++lane) {
                double* sum = a.sums + 4 * (lane * k + static_cast<std::size_t>(a.labels[u + lane]));
                _mm256_storeu_pd(sum, _mm256_add_pd(_mm256_loadu_pd(sum), _mm256_loadu_pd(a.weighted[u + lane].data())));
            }
        }
    }
    assign_portable<Fused>(a, u);
}
#endif

void run_assignment(bool fused, const Assignment& a) {
#if defined(CL_KMEANS_X86)
    if (has_fma_instructions()) {
        fused ? assign_avx2<true>(a) : assign_avx2<false>(a);
        return;
    }
#endif
    fused ? assign_portable<true>(a, 0) : assign_portable<false>(a, 0);
}

// Labels of the colours for `centers` (k x 3, centred), and with `sums`
// their centre sums.
void assign_into(const WeightedColors& colors, const LloydRounding& rounding, const std::vector<double>& centers,
                 std::vector<std::int32_t>& labels, double* sums) {
    const std::size_t k = centers.size() / 3;
    std::vector<double> ordered(centers.size()), norms(k);
    for (std::size_t j = 0; j < k; ++j) {
        const double* c = &centers[3 * j];
        norms[j] = dot3(c, c, rounding.norm);
        // -2 x.c is x.(-2c) to the bit: scaling by a power of two commutes
        // with every rounding of the sum.
        for (std::size_t t = 0; t < 3; ++t) ordered[3 * j + t] = -2.0 * c[rounding.distance.order[t]];
    }
    labels.resize(colors.size());
    Assignment a;
    a.v = colors.columns().permuted(rounding.distance.order);
    a.n = colors.size();
    a.centers = ordered.data();
    a.center_norms = norms.data();
    a.k = static_cast<int>(k);
    a.labels = labels.data();
    a.weighted = colors.weighted.data();
    a.sums = sums;
    run_assignment(rounding.distance.fused, a);
}

// New centres from the sums: each sum scaled by the reciprocal of its
// weight, as the library scales it (the sums themselves round differently
// from the library's running sums over the pixels).  False when a cluster
// is empty.
bool centers_from_sums(const std::vector<double>& sums, std::size_t k, std::vector<double>& centers) {
    centers.resize(3 * k);
    for (std::size_t j = 0; j < k; ++j) {
        double total[4] = {0.0, 0.0, 0.0, 0.0};
        for (std::size_t t = 0; t < kTables; ++t)
            for (std::size_t e = 0; e < 4; ++e) total[e] += sums[4 * (t * k + j) + e];
        if (total[0] == 0.0) return false;
        const double scale = 1.0 / total[0];
        for (std::size_t c = 0; c < 3; ++c) centers[3 * j + c] = total[1 + c] * scale;
    }
    return true;
}

double inertia_of(const WeightedColors& colors, const std::vector<std::int32_t>& labels,
                  const std::vector<double>& centers) {
    double total = 0.0;
    for (std::size_t u = 0; u < colors.size(); ++u) {
        const std::array<double, 3> x = colors.row(u);
        total += colors.counts[u] * squared_distance(x.data(), &centers[3 * static_cast<std::size_t>(labels[u])]);
    }
    return total;
}

// The pixel ranges of the library's threads: 256-pixel chunks (one chunk
// when there are fewer pixels), split among the threads by OpenMP's static
// schedule, the first threads taking one chunk more when they do not
// divide evenly.
std::vector<std::pair<std::size_t, std::size_t>> library_ranges(std::size_t n, int library_threads) {
    constexpr std::size_t kChunk = 256;
    const std::size_t chunk = n > kChunk ? kChunk : n;
    const std::size_t chunks = chunk == 0 ? 0 : n / chunk + (n % chunk != 0);
    const std::size_t threads =
        std::max<std::size_t>(1, std::min<std::size_t>(static_cast<std::size_t>(std::max(library_threads, 1)), chunks));
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    const std::size_t base = chunks / threads, extra = chunks % threads;
    std::size_t first = 0;
    for (std::size_t t = 0; t < threads; ++t) {
        const std::size_t count = base + (t < extra);
        ranges.emplace_back(std::min(first * chunk, n), std::min((first + count) * chunk, n));
        first += count;
    }
    return ranges;
}

}  // namespace

Run lloyd(const WeightedColors& colors, const LloydRounding& rounding, const std::vector<std::uint32_t>& seeds,
          int max_iter, double tol) {
    const std::size_t k = seeds.size();
    Run run;
    run.centers.resize(3 * k);
    for (std::size_t j = 0; j < k; ++j)
        for (int c = 0; c < 3; ++c) run.centers[3 * j + static_cast<std::size_t>(c)] = colors.centred[c][seeds[j]];
    // The labels of this iteration and of the one before, swapped each time.
    std::vector<std::int32_t> labels, previous(colors.size(), -1);
    std::vector<double> updated, shift(k), sums(kTables * 4 * k);
    for (int iteration = 0; iteration < max_iter; ++iteration) {
        std::fill(sums.begin(), sums.end(), 0.0);
        assign_into(colors, rounding, run.centers, labels, sums.data());
        if (!centers_from_sums(sums, k, updated)) {
            run.emptied = true;
            return run;
        }
        for (std::size_t j = 0; j < k; ++j) {
            const double distance = std::sqrt(squared_distance(&updated[3 * j], &run.centers[3 * j]));
            shift[j] = distance * distance;
        }
        std::swap(run.centers, updated);
        if (labels == previous) {
            run.strict = true;
            break;
        }
        if (numpy_sum(shift.data(), shift.size()) <= tol) break;
        if (iteration + 1 < max_iter) std::swap(labels, previous);
    }
    run.step_labels = labels;
    if (run.strict)
        run.labels = std::move(labels);
    else
        assign_into(colors, rounding, run.centers, run.labels, nullptr);
    run.inertia = inertia_of(colors, run.labels, run.centers);
    return run;
}

bool same_clustering(const std::vector<std::int32_t>& a, const std::vector<std::int32_t>& b, int n_clusters) {
    std::vector<std::int32_t> mapping(static_cast<std::size_t>(n_clusters), -1);
    for (std::size_t u = 0; u < a.size(); ++u) {
        std::int32_t& mapped = mapping[static_cast<std::size_t>(a[u])];
        if (mapped == -1)
            mapped = b[u];
        else if (mapped != b[u])
            return false;
    }
    return true;
}

void exact_final_step(const WeightedColors& colors, const LloydRounding& rounding, Run& run, int library_threads,
                      unsigned threads) {
    const std::size_t k = run.centers.size() / 3;
    // Each colour's values and step label side by side: one read per pixel.
    struct Entry {
        double value[3];
        std::int64_t label;
    };
    std::vector<Entry> entries(colors.size());
    std::vector<double> weight(k, 0.0);
    for (std::size_t u = 0; u < colors.size(); ++u) {
        entries[u] = {{colors.centred[0][u], colors.centred[1][u], colors.centred[2][u]}, run.step_labels[u]};
        weight[static_cast<std::size_t>(run.step_labels[u])] += colors.counts[u];
    }
    const auto ranges = library_ranges(colors.pixels(), library_threads);
    std::vector<double> partial(ranges.size() * 3 * k, 0.0);
    parallel_tasks(ranges.size(), [&](std::size_t t) {
        double* sums = &partial[t * 3 * k];
        const std::uint32_t* color = colors.color_of_pixel.data();
        // The sums of the current run of one label stay in registers: the
        // same additions in the same order, without a trip through memory.
        std::int64_t label = -1;
        double sum0 = 0.0, sum1 = 0.0, sum2 = 0.0;
        for (std::size_t i = ranges[t].first; i < ranges[t].second; ++i) {
            const Entry& entry = entries[color[i]];
            if (entry.label != label) {
                if (label >= 0) {
                    double* sum = sums + 3 * static_cast<std::size_t>(label);
                    sum[0] = sum0, sum[1] = sum1, sum[2] = sum2;
                }
                label = entry.label;
                const double* sum = sums + 3 * static_cast<std::size_t>(label);
                sum0 = sum[0], sum1 = sum[1], sum2 = sum[2];
            }
            sum0 += entry.value[0];
            sum1 += entry.value[1];
            sum2 += entry.value[2];
        }
        if (label >= 0) {
            double* sum = sums + 3 * static_cast<std::size_t>(label);
            sum[0] = sum0, sum[1] = sum1, sum[2] = sum2;
        }
    }, threads);
    std::vector<double> total(3 * k, 0.0);
    for (std::size_t t = 0; t < ranges.size(); ++t)
        for (std::size_t e = 0; e < 3 * k; ++e) total[e] += partial[t * 3 * k + e];
    for (std::size_t j = 0; j < k; ++j) {
        const double scale = 1.0 / weight[j];
        for (std::size_t c = 0; c < 3; ++c) run.centers[3 * j + c] = total[3 * j + c] * scale;
    }
    if (!run.strict) assign_into(colors, rounding, run.centers, run.labels, nullptr);
}

}  // namespace chromalens::kernels::kmeans
