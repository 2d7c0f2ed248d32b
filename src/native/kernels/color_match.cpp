#include "kernels/color_match.hpp"

#include <limits>
#include <stdexcept>

namespace chromalens::kernels {

namespace {
// Colours per block: the squared sums of a block stay in cache between the
// pass that computes them and the pass that counts and searches them.
constexpr std::size_t kBlock = 2048;
}  // namespace

LabPlanes split_planes(const std::uint8_t* lab, std::size_t n) {
    if (n > 0 && lab == nullptr) throw std::invalid_argument("split_planes needs colour data");
    LabPlanes planes;
    planes.c0.resize(n);
    planes.c1.resize(n);
    planes.c2.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        planes.c0[i] = lab[3 * i];
        planes.c1[i] = lab[3 * i + 1];
        planes.c2[i] = lab[3 * i + 2];
    }
    return planes;
}

TargetMatch match_target(const std::uint8_t target[3], const LabPlanes& colors, const std::uint32_t* counts) {
    const std::size_t n = colors.size();
    if (n == 0 || target == nullptr || counts == nullptr)
        throw std::invalid_argument("match_target needs a target and at least one colour");
    // Differences fit 16 bits, which lets the squares be taken on whole
    // vectors even with the baseline instruction set.
    const std::int16_t t0 = target[0], t1 = target[1], t2 = target[2];
    const std::uint8_t* p0 = colors.c0.data();
    const std::uint8_t* p1 = colors.c1.data();
    const std::uint8_t* p2 = colors.c2.data();
    TargetMatch result;
    std::int32_t best = std::numeric_limits<std::int32_t>::max();
    std::int32_t squared[kBlock];
    for (std::size_t start = 0; start < n; start += kBlock) {
        const std::size_t count = n - start < kBlock ? n - start : kBlock;
        for (std::size_t i = 0; i < count; ++i) {
            const std::int16_t d0 = static_cast<std::int16_t>(t0 - p0[start + i]);
            const std::int16_t d1 = static_cast<std::int16_t>(t1 - p1[start + i]);
            const std::int16_t d2 = static_cast<std::int16_t>(t2 - p2[start + i]);
            squared[i] = std::int32_t{d0} * d0 + std::int32_t{d1} * d1 + std::int32_t{d2} * d2;
        }
        // Counts are added under all-ones or all-zero masks rather than by
        // a choice, which keeps this loop on whole vectors as well.
        std::uint32_t very_close = 0, close = 0, somewhat_close = 0;
        std::int32_t block_min = std::numeric_limits<std::int32_t>::max();
        for (std::size_t i = 0; i < count; ++i) {
            const std::int32_t q = squared[i];
            const std::uint32_t c = counts[start + i];
            very_close += c & (0u - static_cast<std::uint32_t>(q < kVeryCloseSquared));
            close += c & (0u - static_cast<std::uint32_t>(q < kCloseSquared));
            somewhat_close += c & (0u - static_cast<std::uint32_t>(q < kSomewhatCloseSquared));
            block_min = q < block_min ? q : block_min;
        }
        result.very_close += very_close;
        result.close += close;
        result.somewhat_close += somewhat_close;
        // Strictly smaller than every earlier block: the first such colour of
        // this block is the new first minimum.
        if (block_min < best) {
            best = block_min;
            std::size_t i = 0;
            while (squared[i] != block_min) ++i;
            result.closest_index = start + i;
        }
    }
    const std::size_t k = result.closest_index;
    const std::uint8_t closest[3] = {p0[k], p1[k], p2[k]};
    result.min_distance = lab_distance(target, closest);
    return result;
}

}  // namespace chromalens::kernels
