// Distinct colours of the selected pixels of a packed 8-bit three-channel
// image, in the order of their first selected pixel, with how many selected
// pixels have each.  Selection is the pixel list's: a pixel is dropped when
// its three values are all zero (when asked) or when its gate value (if a
// gate is given) is not above 128.  The census works on the image itself,
// so the pixel list never has to be written out.
//
// One pass counts every selected pixel in a one-byte counter of its colour.
// A colour's 24-bit key interleaves the bits of its three values (Morton
// order), and the keys are cut into chunks of 512 (8 x 8 x 8 cubes of
// colours) that get their counters when first touched: a photograph's
// colours crowd into a small share of the chunks.  A counter found at zero
// marks a new colour, which is appended to the list without a branch; a
// counter about to pass 255 is set back to 1 and the colour noted, each
// note standing for 255 more pixels, so counters never return to zero.
//
// Pure C++17; no Python headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace chromalens::kernels {

class ColorCensus {
public:
    // Throws std::invalid_argument for null pixels with n > 0,
    // std::length_error when n does not fit 32-bit counts.
    ColorCensus(const std::uint8_t* pixels, std::size_t n, const std::uint8_t* gate, bool drop_zero);

    // Number of selected pixels, and of distinct colours among them.
    std::size_t selected() const { return selected_; }
    std::size_t size() const { return counts_.size(); }

    // Per colour, in the order of their first selected pixels: its three
    // bytes (3 per colour) and its number of selected pixels.
    const std::vector<std::uint8_t>& colors() const { return colors_; }
    const std::vector<std::uint32_t>& counts() const { return counts_; }

private:
    std::size_t selected_ = 0;
    std::vector<std::uint8_t> colors_;
    std::vector<std::uint32_t> counts_;
};

}  // namespace chromalens::kernels
