#include "kernels/kmeans.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <stdexcept>

#include "kernels/kmeans_colors.hpp"
#include "kernels/kmeans_lloyd.hpp"
#include "kernels/kmeans_seeding.hpp"
#include "kernels/parallel_for.hpp"

namespace chromalens::kernels::kmeans {

int local_trials(int n_clusters) { return 2 + static_cast<int>(std::log(static_cast<double>(n_clusters))); }

Fit fit(const Problem& problem) {
    const int k = problem.n_clusters;
    const std::size_t n_init = problem.first_draws.size();
    const int trials = local_trials(k);
    if (k < 1 || problem.n < static_cast<std::size_t>(k) || n_init == 0 || problem.labels == nullptr ||
        problem.trial_draws.size() != n_init * static_cast<std::size_t>(k - 1) * static_cast<std::size_t>(trials))
        throw std::invalid_argument("k-means: inconsistent problem");

    Fit result;
    const WeightedColors colors = weighted_colors(problem.pixels, problem.n);
    if (colors.size() < static_cast<std::size_t>(k)) {
        result.outcome = Outcome::too_few_colors;
        return result;
    }
    // The tolerance is taken on the pixel list before it is centred.
    const double tol = mean_column_variance(colors) * problem.tol;
    std::vector<double> norms(colors.size());
    for (std::size_t u = 0; u < colors.size(); ++u) {
        const std::array<double, 3> x = colors.row(u);
        norms[u] = dot3(x.data(), x.data(), problem.roundings.norm);
    }

    const std::vector<std::size_t> first_pixels = first_center_pixels(problem.n, problem.first_draws);
    const std::vector<std::vector<std::uint32_t>> seeds =
        seed_centers(colors, norms, {problem.roundings.seed_one, problem.roundings.seed_many}, k, trials,
                     first_pixels, problem.trial_draws, problem.threads);

    const LloydRounding rounding{problem.roundings.lloyd, problem.roundings.norm};
    std::vector<Run> runs(n_init);
    std::atomic<bool> emptied{false};
    parallel_tasks(n_init, [&](std::size_t init) {
        if (emptied.load(std::memory_order_relaxed)) return;
        runs[init] = lloyd(colors, rounding, seeds[init], problem.max_iter, tol);
        if (runs[init].emptied) emptied = true;
    }, problem.threads);
    if (emptied) {
        result.outcome = Outcome::empty_cluster;
        return result;
    }

    // A later run replaces the best one only when its inertia is lower and
    // its clustering differs.
    std::size_t best = 0;
    for (std::size_t init = 1; init < n_init; ++init)
        if (runs[init].inertia < runs[best].inertia && !same_clustering(runs[init].labels, runs[best].labels, k))
            best = init;
    Run& chosen = runs[best];
    exact_final_step(colors, rounding, chosen, problem.library_threads, problem.threads);

    std::vector<bool> present(static_cast<std::size_t>(k), false);
    for (const std::int32_t label : chosen.labels) present[static_cast<std::size_t>(label)] = true;
    if (std::find(present.begin(), present.end(), false) != present.end()) {
        result.outcome = Outcome::fewer_clusters;
        return result;
    }

    result.centers = chosen.centers;
    for (std::size_t j = 0; j < static_cast<std::size_t>(k); ++j)
        for (std::size_t c = 0; c < 3; ++c) result.centers[3 * j + c] += colors.mean[c];
    const std::int32_t* label_of_color = chosen.labels.data();
    const std::uint32_t* color = colors.color_of_pixel.data();
    for (std::size_t i = 0; i < problem.n; ++i) problem.labels[i] = label_of_color[color[i]];
    return result;
}

}  // namespace chromalens::kernels::kmeans
