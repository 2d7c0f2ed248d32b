#include "kernels/kmeans_colors.hpp"

#include "kernels/color_table.hpp"

namespace chromalens::kernels::kmeans {

WeightedColors weighted_colors(const std::uint8_t* pixels, std::size_t n) {
    const ColorTable table(pixels, n);
    const std::size_t k = table.size();
    WeightedColors colors;
    colors.counts.resize(k);
    // Integer column sums are exact, so the means round once, as NumPy's do.
    std::int64_t sums[3] = {0, 0, 0};
    for (std::size_t u = 0; u < k; ++u) {
        const std::uint8_t* value = pixels + 3 * table.first()[u];
        const std::int64_t count = table.counts()[u];
        colors.counts[u] = static_cast<double>(count);
        for (int c = 0; c < 3; ++c) sums[c] += count * value[c];
    }
    for (int c = 0; c < 3; ++c) {
        colors.mean[c] = n == 0 ? 0.0 : static_cast<double>(sums[c]) / static_cast<double>(n);
        colors.centred[c].resize(k);
    }
    colors.weighted.resize(k);
    for (std::size_t u = 0; u < k; ++u) {
        const std::uint8_t* value = pixels + 3 * table.first()[u];
        colors.weighted[u][0] = colors.counts[u];
        for (int c = 0; c < 3; ++c) {
            colors.centred[c][u] = static_cast<double>(value[c]) - colors.mean[c];
            colors.weighted[u][1 + c] = colors.counts[u] * colors.centred[c][u];
        }
    }
    colors.color_of_pixel.resize(n);
    for (std::size_t i = 0; i < n; ++i) colors.color_of_pixel[i] = table.place(color_key(pixels + 3 * i));
    return colors;
}

double mean_column_variance(const WeightedColors& colors) {
    const std::size_t k = colors.size(), n = colors.pixels();
    // X - X.mean(0) rounds as the centred values do; its squares per colour.
    std::vector<double> squares(3 * k);
    for (std::size_t u = 0; u < k; ++u)
        for (int c = 0; c < 3; ++c) squares[3 * u + c] = colors.centred[c][u] * colors.centred[c][u];
    double sum[3] = {0.0, 0.0, 0.0};
    for (std::size_t i = 0; i < n; ++i) {
        const double* square = &squares[3 * static_cast<std::size_t>(colors.color_of_pixel[i])];
        sum[0] += square[0];
        sum[1] += square[1];
        sum[2] += square[2];
    }
    double total = 0.0;
    for (int c = 0; c < 3; ++c) total += sum[c] / static_cast<double>(n);
    return total / 3.0;
}

}  // namespace chromalens::kernels::kmeans
