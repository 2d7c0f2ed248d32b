#include "kernels/pixel_select.hpp"

#include <cstring>
#include <stdexcept>

namespace chromalens::kernels {

namespace {

// One pass with no branch per pixel: each pixel is written at the next free
// row and the row is kept by advancing the count.  Pixels are moved as
// 4-byte words (the fourth byte is the next pixel's, later overwritten or
// past the kept rows), which needs one byte of slack on both sides: the
// last pixel is copied on its own.
template <bool Gated>
std::size_t select(const std::uint8_t* pixels, std::size_t n, const std::uint8_t* gate, std::uint8_t* out) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const std::uint8_t* p = pixels + 3 * i;
        std::uint8_t word[4];
        std::memcpy(word, p, 4);
        std::memcpy(out + 3 * kept, word, 4);
        bool keep = (word[0] | word[1] | word[2]) != 0;
        if constexpr (Gated) keep = keep && gate[i] > kGateThreshold;
        kept += keep;
    }
    const std::uint8_t* last = pixels + 3 * (n - 1);
    bool keep = (last[0] | last[1] | last[2]) != 0;
    if constexpr (Gated) keep = keep && gate[n - 1] > kGateThreshold;
    if (keep) {
        std::memcpy(out + 3 * kept, last, 3);
        ++kept;
    }
    return kept;
}

}  // namespace

std::size_t select_pixels(const std::uint8_t* pixels, std::size_t n, const std::uint8_t* gate, std::uint8_t* out) {
    if (n == 0) return 0;
    if (pixels == nullptr || out == nullptr) throw std::invalid_argument("select_pixels needs pixel and output data");
    return gate != nullptr ? select<true>(pixels, n, gate, out) : select<false>(pixels, n, nullptr, out);
}

}  // namespace chromalens::kernels
