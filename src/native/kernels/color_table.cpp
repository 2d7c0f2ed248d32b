#include "kernels/color_table.hpp"

#include <limits>
#include <stdexcept>

namespace chromalens::kernels {

ColorTable::ColorTable(const std::uint8_t* pixels, std::size_t n) : chunk_of_(std::size_t{1} << (24 - kChunkBits), 0) {
    if (n > 0 && pixels == nullptr) throw std::invalid_argument("ColorTable needs pixel data");
    if (n >= std::numeric_limits<std::uint32_t>::max()) throw std::length_error("ColorTable: too many pixels");
    if (n >= kSlotsFrom)
        count_in_slots(pixels, n);
    else
        count_by_rank(pixels, n);
}

void ColorTable::count_in_slots(const std::uint8_t* pixels, std::size_t n) {
    std::vector<std::uint32_t> keys;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t key = color_key(pixels + 3 * i);
        std::uint32_t& chunk = chunk_of_[key >> kChunkBits];
        if (chunk == 0) {
            slots_.emplace_back(new std::uint32_t[kChunkKeys]());
            chunk = static_cast<std::uint32_t>(slots_.size());
        }
        if (slots_[chunk - 1][key & (kChunkKeys - 1)]++ == 0) {
            keys.push_back(key);
            first_.push_back(static_cast<std::int64_t>(i));
        }
    }
    // The counts move to their own list, and each slot takes its colour's place.
    counts_.resize(keys.size());
    for (std::size_t j = 0; j < keys.size(); ++j) {
        std::uint32_t& slot = slots_[chunk_of_[keys[j] >> kChunkBits] - 1][keys[j] & (kChunkKeys - 1)];
        counts_[j] = slot;
        slot = static_cast<std::uint32_t>(j);
    }
}

namespace {

// Whether code compiled with CL_POPCOUNT_TARGET may run on this processor.
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define CL_POPCOUNT_TARGET __attribute__((target("popcnt")))
bool has_popcount_instruction() {
    static const bool has = __builtin_cpu_supports("popcnt");
    return has;
}
#else
#define CL_POPCOUNT_TARGET
bool has_popcount_instruction() { return false; }
#endif

}  // namespace

void ColorTable::count_by_rank(const std::uint8_t* pixels, std::size_t n) {
    std::uint32_t chunks = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t key = color_key(pixels + 3 * i);
        std::uint32_t& chunk = chunk_of_[key >> kChunkBits];
        if (chunk == 0) {
            chunk = ++chunks;
            words_.resize(words_.size() + kWordsPerChunk);
        }
        const std::uint32_t place = bit_place(chunk - 1, key);
        words_[place >> 6].bits |= std::uint64_t{1} << (place & 63);
    }
    if (words_.empty()) return;  // no pixels: nothing to rank
    // Ranks follow the keys: chunks are visited in key order.
    std::uint32_t distinct = 0;
    for (const std::uint32_t chunk : chunk_of_) {
        if (chunk == 0) continue;
        Word* word = &words_[(chunk - 1) * kWordsPerChunk];
        for (std::size_t w = 0; w < kWordsPerChunk; ++w) {
            word[w].before = distinct;
            distinct += popcount64(word[w].bits);
        }
    }
    std::vector<std::int64_t> count_of_rank(distinct, 0);
    std::vector<std::uint32_t> ranks(distinct + 1);
    first_.resize(distinct + 1);
    const std::size_t found = has_popcount_instruction()
                                  ? census_pass_popcount(pixels, n, ranks.data(), count_of_rank.data())
                                  : census_pass<false>(pixels, n, ranks.data(), count_of_rank.data());
    first_.resize(found);
    counts_.resize(found);
    place_of_rank_.resize(found);
    for (std::size_t j = 0; j < found; ++j) {
        counts_[j] = count_of_rank[ranks[j]];
        place_of_rank_[ranks[j]] = static_cast<std::uint32_t>(j);
    }
}

// A colour's first pixel appends its rank and position; the slot past the
// end takes the writes of pixels whose colour is not new, so the pass has
// no branch.
template <bool Hardware>
#if defined(__GNUC__) || defined(__clang__)
__attribute__((always_inline))
#endif
inline std::size_t ColorTable::census_pass(const std::uint8_t* pixels, std::size_t n, std::uint32_t* ranks,
                                           std::int64_t* count_of_rank) {
    std::size_t found = 0;
    std::int64_t* first = first_.data();
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t key = color_key(pixels + 3 * i);
        const std::uint32_t r = rank<Hardware>(bit_place(chunk_of_[key >> kChunkBits] - 1, key));
        ranks[found] = r;
        first[found] = static_cast<std::int64_t>(i);
        found += count_of_rank[r]++ == 0;
    }
    return found;
}

CL_POPCOUNT_TARGET std::size_t ColorTable::census_pass_popcount(const std::uint8_t* pixels, std::size_t n,
                                                                std::uint32_t* ranks, std::int64_t* count_of_rank) {
    return census_pass<true>(pixels, n, ranks, count_of_rank);
}

void spread_to_pixels(const ColorTable& table, const std::uint8_t* pixels, std::size_t n,
                      const std::int64_t* per_color, std::int64_t* out) {
    if (n > 0 && (pixels == nullptr || out == nullptr || per_color == nullptr))
        throw std::invalid_argument("spread_to_pixels needs pixel data and values");
    for (std::size_t i = 0; i < n; ++i) out[i] = per_color[table.place(color_key(pixels + 3 * i))];
}

}  // namespace chromalens::kernels
