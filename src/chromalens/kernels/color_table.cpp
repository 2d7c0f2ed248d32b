#include "kernels/color_table.hpp"

#include <stdexcept>

namespace chromalens::kernels {

ColorTable::ColorTable(const std::uint8_t* pixels, std::size_t n) : chunk_of_(std::size_t{1} << (24 - kChunkBits), 0) {
    if (n > 0 && pixels == nullptr) throw std::invalid_argument("ColorTable needs pixel data");
    std::uint32_t chunks = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t key = color_key(pixels + 3 * i);
        std::uint32_t& place = chunk_of_[key >> kChunkBits];
        if (place == 0) {
            place = ++chunks;
            words_.resize(words_.size() + kWordsPerChunk);
        }
        words_[(place - 1) * kWordsPerChunk + (key >> 6 & 63)].bits |= std::uint64_t{1} << (key & 63);
    }
    // Ranks follow the keys: chunks are visited in key order.
    std::uint32_t running = 0;
    for (const std::uint32_t place : chunk_of_) {
        if (place == 0) continue;
        Word* word = &words_[(place - 1) * kWordsPerChunk];
        for (std::size_t w = 0; w < kWordsPerChunk; ++w) {
            word[w].before = running;
            running += popcount64<false>(word[w].bits);
        }
    }
    size_ = running;
}

bool has_popcount_instruction() {
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
    static const bool has = __builtin_cpu_supports("popcnt");
    return has;
#else
    return false;
#endif
}

namespace {

// A colour's first pixel appends its rank and position; the slot past the
// end takes the writes of pixels whose colour is not new, so the pass has
// no branch.
template <bool Hardware>
CL_ALWAYS_INLINE std::size_t census_pass(const ColorTable& table, const std::uint8_t* pixels, std::size_t n,
                                         ColorCensus& census, std::int64_t* count_of_rank) {
    std::size_t found = 0;
    std::uint32_t* ranks = census.ranks.data();
    std::int64_t* first = census.first.data();
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t r = table.rank<Hardware>(color_key(pixels + 3 * i));
        ranks[found] = r;
        first[found] = static_cast<std::int64_t>(i);
        found += count_of_rank[r]++ == 0;
    }
    return found;
}

CL_POPCOUNT_TARGET std::size_t census_pass_popcount(const ColorTable& table, const std::uint8_t* pixels,
                                                    std::size_t n, ColorCensus& census,
                                                    std::int64_t* count_of_rank) {
    return census_pass<true>(table, pixels, n, census, count_of_rank);
}

template <bool Hardware>
CL_ALWAYS_INLINE void spread_pass(const ColorTable& table, const std::uint8_t* pixels, std::size_t n,
                                  const std::int64_t* per_rank, std::int64_t* out) {
    for (std::size_t i = 0; i < n; ++i) out[i] = per_rank[table.rank<Hardware>(color_key(pixels + 3 * i))];
}

CL_POPCOUNT_TARGET void spread_pass_popcount(const ColorTable& table, const std::uint8_t* pixels, std::size_t n,
                                             const std::int64_t* per_rank, std::int64_t* out) {
    spread_pass<true>(table, pixels, n, per_rank, out);
}

}  // namespace

ColorCensus take_census(const ColorTable& table, const std::uint8_t* pixels, std::size_t n) {
    if (n > 0 && pixels == nullptr) throw std::invalid_argument("take_census needs pixel data");
    const std::size_t k = table.size();
    std::vector<std::int64_t> count_of_rank(k, 0);
    ColorCensus census;
    census.ranks.resize(k + 1);
    census.first.resize(k + 1);
    const std::size_t found = has_popcount_instruction()
                                  ? census_pass_popcount(table, pixels, n, census, count_of_rank.data())
                                  : census_pass<false>(table, pixels, n, census, count_of_rank.data());
    census.ranks.resize(found);
    census.first.resize(found);
    census.counts.resize(found);
    for (std::size_t j = 0; j < found; ++j) census.counts[j] = count_of_rank[census.ranks[j]];
    return census;
}

std::vector<std::uint8_t> color_rows(const ColorCensus& census, const std::uint8_t* pixels) {
    const std::size_t k = census.first.size();
    if (k > 0 && pixels == nullptr) throw std::invalid_argument("color_rows needs pixel data");
    std::vector<std::uint8_t> rows(3 * k);
    for (std::size_t j = 0; j < k; ++j) {
        const std::uint8_t* pixel = pixels + 3 * census.first[j];
        rows[3 * j] = pixel[0];
        rows[3 * j + 1] = pixel[1];
        rows[3 * j + 2] = pixel[2];
    }
    return rows;
}

void spread_to_pixels(const ColorTable& table, const ColorCensus& census, const std::uint8_t* pixels, std::size_t n,
                      const std::int64_t* per_color, std::int64_t* out) {
    if (n > 0 && (pixels == nullptr || out == nullptr)) throw std::invalid_argument("spread_to_pixels needs pixel data");
    if (!census.ranks.empty() && per_color == nullptr) throw std::invalid_argument("spread_to_pixels needs values");
    std::vector<std::int64_t> per_rank(census.ranks.size());
    for (std::size_t j = 0; j < census.ranks.size(); ++j) per_rank[census.ranks[j]] = per_color[j];
    if (has_popcount_instruction())
        spread_pass_popcount(table, pixels, n, per_rank.data(), out);
    else
        spread_pass<false>(table, pixels, n, per_rank.data(), out);
}

}  // namespace chromalens::kernels
