// Pixel list of a packed 8-bit three-channel image: the pixels whose three
// values are not all zero, optionally only those whose gate value (a
// one-channel mask, or the grey form of a three-channel one) is above 128,
// copied in scan order.
//
// Pure C++17; no Python headers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace chromalens::kernels {

// Gate values strictly above this select a pixel.
constexpr std::uint8_t kGateThreshold = 128;

// Copies the selected pixels of `pixels` (n packed 3-byte pixels) to `out`,
// which must hold 3 * n bytes, and returns how many were copied.  `gate` is
// null (every pixel passes) or holds n bytes.  Bytes of `out` past the
// copied rows are unspecified.  Throws std::invalid_argument for null
// pixels or out with n > 0.
std::size_t select_pixels(const std::uint8_t* pixels, std::size_t n, const std::uint8_t* gate, std::uint8_t* out);

}  // namespace chromalens::kernels
