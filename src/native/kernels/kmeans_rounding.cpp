#include "kernels/kmeans_rounding.hpp"

namespace chromalens::kernels::kmeans {

double numpy_sum(const double* values, std::size_t n) {
    constexpr std::size_t kBlock = 128;
    if (n < 8) {
        double result = 0.0;
        for (std::size_t i = 0; i < n; ++i) result += values[i];
        return result;
    }
    if (n <= kBlock) {
        double r[8];
        for (int j = 0; j < 8; ++j) r[j] = values[j];
        std::size_t i = 8;
        for (; i < n - n % 8; i += 8)
            for (int j = 0; j < 8; ++j) r[j] += values[i + j];
        double result = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) result += values[i];
        return result;
    }
    std::size_t half = n / 2;
    half -= half % 8;
    return numpy_sum(values, half) + numpy_sum(values + half, n - half);
}

}  // namespace chromalens::kernels::kmeans
