// k-means++ seeding as scikit-learn draws it, for all initialisations of a
// fit at once, on the distinct colours of the pixel list.
//
// The library picks candidate centres by searching the running sum of each
// pixel's squared distance to its closest centre, in scan order, for random
// targets.  Those sums depend on the order of the pixels, so they run over
// the pixels (through each pixel's colour); everything else runs once per
// colour.  The random draws do not depend on the data, so the caller takes
// them all up front from the library's own generator, in the order the
// library takes them, and the initialisations share each pass over the
// pixels.
//
// Pure C++17; no Python headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/kmeans_colors.hpp"
#include "kernels/kmeans_rounding.hpp"

namespace chromalens::kernels::kmeans {

// The pixel `RandomState.choice(n, p=ones(n) / n)` returns for each uniform
// draw: the first position whose cumulative probability, normalised by the
// last, exceeds the draw.
std::vector<std::size_t> first_center_pixels(std::size_t n, const std::vector<double>& draws);

struct SeedingRounding {
    Rounding one;   // distances to a single centre
    Rounding many;  // distances to several candidates at once
};

// The k centres of each initialisation, as places of colours.  `norms`
// holds each colour's squared norm as the library rounds it; `first_pixels`
// the first centre's pixel per initialisation; `draws` the uniform draws of
// the later centres, `trials` per centre, initialisation by initialisation.
std::vector<std::vector<std::uint32_t>> seed_centers(const WeightedColors& colors, const std::vector<double>& norms,
                                                     const SeedingRounding& rounding, int n_clusters, int trials,
                                                     const std::vector<std::size_t>& first_pixels,
                                                     const std::vector<double>& draws, unsigned threads);

}  // namespace chromalens::kernels::kmeans
