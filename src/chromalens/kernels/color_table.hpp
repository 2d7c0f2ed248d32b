// Distinct colours of a list of 8-bit three-channel pixels.
//
// A colour packs into a 24-bit key that interleaves the bits of its three
// values (Morton order), so that keys close in number are colours close in
// all three values.  The keys are cut into chunks of 4096 (16 x 16 x 16
// cubes of colours); each chunk that holds a colour gets a bitmap of its
// keys (64 words, each a 4 x 4 x 4 cube) and, per word, the number of
// colours in the chunks and words before it, so every present colour has a
// rank among the distinct colours in ascending key order.  A pixel's colour
// is found in constant time without hashing, and the tables grow with the
// spread of the colours, not with the number of pixels: at most 4 MB, a few
// hundred kB for a photograph, whose colours crowd into a small part of
// the cube.
//
// Pure C++17; no Python headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace chromalens::kernels {

namespace detail {
// The bits of an 8-bit value spread to every third bit.
struct SpreadBits {
    std::uint32_t value[256];
    constexpr SpreadBits() : value() {
        for (std::uint32_t v = 0; v < 256; ++v)
            for (int bit = 0; bit < 8; ++bit) value[v] |= (v >> bit & 1u) << (3 * bit);
    }
};
constexpr SpreadBits kSpread{};
}  // namespace detail

inline std::uint32_t color_key(const std::uint8_t* pixel) {
    return detail::kSpread.value[pixel[0]] << 2 | detail::kSpread.value[pixel[1]] << 1 | detail::kSpread.value[pixel[2]];
}

// Set bits of a word.  With `Hardware`, the compiler's builtin, for code
// compiled for a processor with a popcount instruction (see
// with_popcount_instruction); otherwise portable bit arithmetic.
template <bool Hardware = false>
inline std::uint32_t popcount64(std::uint64_t word) {
#if defined(__GNUC__) || defined(__clang__)
    if constexpr (Hardware) return static_cast<std::uint32_t>(__builtin_popcountll(word));
#endif
    word = word - ((word >> 1) & 0x5555555555555555ULL);
    word = (word & 0x3333333333333333ULL) + ((word >> 2) & 0x3333333333333333ULL);
    word = (word + (word >> 4)) & 0x0f0f0f0f0f0f0f0fULL;
    return static_cast<std::uint32_t>((word * 0x0101010101010101ULL) >> 56);
}

// Whether this processor has a popcount instruction that code compiled
// with CL_POPCOUNT_TARGET may use.
bool has_popcount_instruction();

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define CL_POPCOUNT_TARGET __attribute__((target("popcnt")))
#define CL_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define CL_POPCOUNT_TARGET
#define CL_ALWAYS_INLINE inline
#endif

class ColorTable {
public:
    // Marks the colours of n packed 3-byte pixels.  Throws
    // std::invalid_argument for null pixels with n > 0.
    ColorTable(const std::uint8_t* pixels, std::size_t n);

    // Number of distinct colours.
    std::size_t size() const { return size_; }

    // Rank of a marked colour among the distinct colours in ascending key
    // order (0 .. size()-1).
    template <bool Hardware = false>
    std::uint32_t rank(std::uint32_t key) const {
        const Word& word = words_[(chunk_of_[key >> kChunkBits] - 1) * kWordsPerChunk + (key >> 6 & 63)];
        return word.before + popcount64<Hardware>(word.bits & ((std::uint64_t{1} << (key & 63)) - 1));
    }

private:
    static constexpr int kChunkBits = 12;
    static constexpr std::size_t kWordsPerChunk = (std::size_t{1} << kChunkBits) / 64;
    struct Word {
        std::uint64_t bits = 0;    // one bit per key
        std::uint32_t before = 0;  // colours of lower keys outside this word
        std::uint32_t unused = 0;
    };
    std::vector<std::uint32_t> chunk_of_;  // per chunk: 1 + its place in words_ (in chunks), 0 when empty
    std::vector<Word> words_;              // kWordsPerChunk per occupied chunk, in order of first use
    std::size_t size_ = 0;
};

// The distinct colours of the pixels a table was built from, in the order
// of their first pixel.
struct ColorCensus {
    std::vector<std::uint32_t> ranks;  // each colour's rank in the table
    std::vector<std::int64_t> first;   // position of its first pixel
    std::vector<std::int64_t> counts;  // how many pixels have it
};

// One pass over the n pixels the table was built from.
ColorCensus take_census(const ColorTable& table, const std::uint8_t* pixels, std::size_t n);

// The 3-byte rows of the census' colours, in its order, read from the
// pixels it was taken of.
std::vector<std::uint8_t> color_rows(const ColorCensus& census, const std::uint8_t* pixels);

// out[i] = per_color[j] for each of the n pixels the census was taken of,
// j being the place of the pixel's colour in the census.
void spread_to_pixels(const ColorTable& table, const ColorCensus& census, const std::uint8_t* pixels, std::size_t n,
                      const std::int64_t* per_color, std::int64_t* out);

}  // namespace chromalens::kernels
