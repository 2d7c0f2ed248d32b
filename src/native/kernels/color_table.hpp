// Distinct colours of a list of 8-bit three-channel pixels, in the order of
// their first pixel, with the position of that pixel and how many pixels
// have each.
//
// A colour packs into a 24-bit key that interleaves the bits of its three
// values (Morton order), so that keys close in number are colours close in
// all three values.  The keys are cut into chunks of 4096 (16 x 16 x 16
// cubes of colours); a photograph's colours crowd into a few hundred
// chunks, and neighbouring pixels, being of similar colour, mostly touch the
// same ones.  No hashing is involved.
//
// Large pixel lists give each occupied chunk a slot per key (16 kB): one
// pass counts every pixel into its slot, and afterwards each slot holds its
// colour's place in the list, so a pixel's colour is found with one lookup.
// Small ones, where those slots would outweigh the pixels, give each chunk
// a bitmap of its keys with running counts instead (1 kB), which ranks
// every present colour among them: a marking pass, then a counting pass.
//
// Pure C++17; no Python headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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

class ColorTable {
public:
    // Finds the distinct colours of n packed 3-byte pixels.  Throws
    // std::invalid_argument for null pixels with n > 0, std::length_error
    // when n does not fit 32-bit counts.
    ColorTable(const std::uint8_t* pixels, std::size_t n);

    // Number of distinct colours.
    std::size_t size() const { return first_.size(); }

    // Per colour, in the order of their first pixels: the position of that
    // pixel and the number of pixels of the colour.
    const std::vector<std::int64_t>& first() const { return first_; }
    const std::vector<std::int64_t>& counts() const { return counts_; }

    // The place in that order of a colour the pixels have.
    std::uint32_t place(std::uint32_t key) const {
        const std::uint32_t chunk = chunk_of_[key >> kChunkBits] - 1;
        if (!words_.empty()) return place_of_rank_[rank(chunk, key)];
        return slots_[chunk][key & (kChunkKeys - 1)];
    }

    // Pixel lists from this size on take the slots.
    static constexpr std::size_t kSlotsFrom = std::size_t{1} << 20;

private:
    static constexpr int kChunkBits = 12;
    static constexpr std::size_t kChunkKeys = std::size_t{1} << kChunkBits;
    static constexpr std::size_t kWordsPerChunk = kChunkKeys / 64;
    struct Word {
        std::uint64_t bits = 0;    // one bit per key
        std::uint32_t before = 0;  // colours of lower keys outside this word
        std::uint32_t unused = 0;
    };

    void count_in_slots(const std::uint8_t* pixels, std::size_t n);
    void count_by_rank(const std::uint8_t* pixels, std::size_t n);
    // A colour's word in words_ and its bit there, packed as word << 6 | bit.
    std::uint32_t bit_place(std::uint32_t chunk, std::uint32_t key) const {
        return static_cast<std::uint32_t>((chunk * kWordsPerChunk + (key >> 6 & (kWordsPerChunk - 1))) << 6 | (key & 63));
    }
    template <bool Hardware = false>
    std::uint32_t rank(std::uint32_t bit_place) const {
        const Word& word = words_[bit_place >> 6];
        return word.before + popcount64<Hardware>(word.bits & ((std::uint64_t{1} << (bit_place & 63)) - 1));
    }
    std::uint32_t rank(std::uint32_t chunk, std::uint32_t key) const { return rank(bit_place(chunk, key)); }
    template <bool Hardware>
    std::size_t census_pass(const std::uint8_t* pixels, std::size_t n, std::uint32_t* ranks,
                            std::int64_t* count_of_rank);
    std::size_t census_pass_popcount(const std::uint8_t* pixels, std::size_t n, std::uint32_t* ranks,
                                     std::int64_t* count_of_rank);
    // Set bits of a word: with `Hardware`, the compiler's builtin, for code
    // compiled for a processor with a popcount instruction; otherwise
    // portable bit arithmetic.
    template <bool Hardware = false>
    static std::uint32_t popcount64(std::uint64_t word) {
#if defined(__GNUC__) || defined(__clang__)
        if constexpr (Hardware) return static_cast<std::uint32_t>(__builtin_popcountll(word));
#endif
        word = word - ((word >> 1) & 0x5555555555555555ULL);
        word = (word & 0x3333333333333333ULL) + ((word >> 2) & 0x3333333333333333ULL);
        word = (word + (word >> 4)) & 0x0f0f0f0f0f0f0f0fULL;
        return static_cast<std::uint32_t>((word * 0x0101010101010101ULL) >> 56);
    }

    std::vector<std::uint32_t> chunk_of_;                   // per chunk: 1 + its index, 0 when empty
    std::vector<std::unique_ptr<std::uint32_t[]>> slots_;   // kChunkKeys slots per chunk (large lists)
    std::vector<Word> words_;                               // kWordsPerChunk per chunk (small lists)
    std::vector<std::uint32_t> place_of_rank_;              // small lists
    std::vector<std::int64_t> first_;
    std::vector<std::int64_t> counts_;
};

// out[i] = per_color[place of pixel i's colour], for the n pixels the table
// was built from.
void spread_to_pixels(const ColorTable& table, const std::uint8_t* pixels, std::size_t n,
                      const std::int64_t* per_color, std::int64_t* out);

}  // namespace chromalens::kernels
