#include "kernels/color_census.hpp"

#include "kernels/color_table.hpp"

#include <algorithm>
#include <limits>
#include <memory>
#include <stdexcept>
#include <unordered_map>

namespace chromalens::kernels {

namespace {

constexpr std::uint8_t kGateAbove = 128;
constexpr int kChunkBits = 9;
constexpr std::size_t kChunkKeys = std::size_t{1} << kChunkBits;
// A counter is set back to 1 instead of passing this; the colour's note
// stands for the kWrap pixels taken off.
constexpr std::uint8_t kWrap = 255;

template <bool Gated, bool DropZero>
inline bool is_selected(const std::uint8_t* pixel, const std::uint8_t* gate, std::size_t i) {
    if constexpr (Gated)
        if (gate[i] <= kGateAbove) return false;
    if constexpr (DropZero) return (pixel[0] | pixel[1] | pixel[2]) != 0;
    return true;
}

// The counters of the touched chunks, the colours in the order of their
// first pixel (packed in the low three bytes) and the notes of wrapped
// counters.  One per thread, kept between censuses with every counter and
// chunk slot back at zero: a census then writes only to memory already
// mapped, where fresh buffers would cost a page fault per 4 KiB touched,
// as much again as the counting.  Buffers past kKeepBytes are let go.
struct Tally {
    std::vector<std::uint32_t> chunk_of = std::vector<std::uint32_t>(std::size_t{1} << (24 - kChunkBits), 0);
    std::vector<std::uint32_t> touched;  // chunk of each counter block, in order
    std::vector<std::uint8_t> counters;  // kChunkKeys per touched chunk
    std::vector<std::uint8_t> noted;     // one bit per counter: has notes
    std::unique_ptr<std::uint32_t[]> order;  // uninitialised: written before read
    std::size_t order_capacity = 0;
    std::unordered_map<std::size_t, std::int64_t> notes;  // per wrapped counter: its notes
    std::size_t found = 0;
    std::size_t skipped = 0;

    std::size_t position(std::uint32_t key) const {
        return (chunk_of[key >> kChunkBits] - 1) * kChunkKeys + (key & (kChunkKeys - 1));
    }

    // Back to all zeros, touching only what the last census used.
    void clear() {
        for (std::uint32_t chunk : touched) chunk_of[chunk] = 0;
        std::fill_n(counters.begin(), touched.size() * kChunkKeys, std::uint8_t{0});
        std::fill_n(noted.begin(), touched.size() * kChunkKeys / 8, std::uint8_t{0});
        touched.clear();
        notes.clear();
        found = skipped = 0;
        constexpr std::size_t kKeepBytes = std::size_t{4} << 20;
        if (counters.size() > kKeepBytes) std::vector<std::uint8_t>().swap(counters);
        if (noted.size() > kKeepBytes) std::vector<std::uint8_t>().swap(noted);
        if (order_capacity * sizeof(std::uint32_t) > kKeepBytes) {
            order.reset();
            order_capacity = 0;
        }
    }
};

// Clears the thread's tally when the census is done with it, also when
// it ends with an exception.
class ScratchTally {
public:
    ScratchTally() : tally_(instance()) {}
    ~ScratchTally() { tally_.clear(); }
    ScratchTally(const ScratchTally&) = delete;
    ScratchTally& operator=(const ScratchTally&) = delete;
    Tally& get() { return tally_; }

private:
    static Tally& instance() {
        thread_local Tally tally;
        return tally;
    }
    Tally& tally_;
};

// The rare steps of the count, out of line so that the loop over the
// pixels keeps its values in registers.

// Gives the colour region `slot` the next block of counters; returns the
// block's number (from 1).  Room first, then the slot: whatever throws,
// `touched` lists exactly the slots set, each with its counters in place.
[[gnu::noinline]] std::uint32_t open_chunk(Tally& into, std::uint32_t slot) {
    const std::size_t needed = (into.touched.size() + 1) * kChunkKeys;
    if (into.counters.size() < needed) {  // counters already there are zero
        into.counters.resize(needed);
        into.noted.resize(needed / 8);
    }
    into.touched.push_back(slot);
    return into.chunk_of[slot] = static_cast<std::uint32_t>(into.touched.size());
}

// Notes 255 more pixels of the colour whose counter is at `position`.
[[gnu::noinline]] void note_wrap(Tally& into, std::size_t position) {
    ++into.notes[position];
    into.noted[position >> 3] |= static_cast<std::uint8_t>(1u << (position & 7));
}

template <bool Gated, bool DropZero>
void tally(const std::uint8_t* pixels, std::size_t n, const std::uint8_t* gate, Tally& into) {
    // Left uninitialised: only the pages the new colours are written to are
    // touched, and an entry past the colours found is written without a
    // branch but never read.
    if (into.order_capacity < n + 1) {
        into.order.reset();
        into.order_capacity = 0;
        into.order.reset(new std::uint32_t[n + 1]);
        into.order_capacity = n + 1;
    }
    std::uint32_t* const order = into.order.get();
    const std::uint32_t* const chunk_of = into.chunk_of.data();
    std::uint8_t* counters = into.counters.data();
    std::size_t skipped = 0, found = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t* pixel = pixels + 3 * i;
        if (!is_selected<Gated, DropZero>(pixel, gate, i)) {
            ++skipped;
            continue;
        }
        const std::uint32_t key = color_key(pixel);
        std::uint32_t chunk = chunk_of[key >> kChunkBits];
        if (chunk == 0) {
            chunk = open_chunk(into, key >> kChunkBits);
            counters = into.counters.data();
        }
        const std::size_t position = (chunk - 1) * kChunkKeys + (key & (kChunkKeys - 1));
        const std::uint8_t before = counters[position];
        order[found] = std::uint32_t{pixel[0]} | std::uint32_t{pixel[1]} << 8 | std::uint32_t{pixel[2]} << 16;
        found += before == 0;
        if (before == kWrap) {
            note_wrap(into, position);
            counters[position] = 1;
        } else {
            counters[position] = static_cast<std::uint8_t>(before + 1);
        }
    }
    into.found = found;
    into.skipped = skipped;
}

}  // namespace

ColorCensus::ColorCensus(const std::uint8_t* pixels, std::size_t n, const std::uint8_t* gate, bool drop_zero) {
    if (n > 0 && pixels == nullptr) throw std::invalid_argument("ColorCensus needs pixel data");
    if (n >= std::numeric_limits<std::uint32_t>::max()) throw std::length_error("ColorCensus: too many pixels");
    if (n == 0) return;
    ScratchTally scratch;
    Tally& counted = scratch.get();
    if (gate != nullptr)
        drop_zero ? tally<true, true>(pixels, n, gate, counted) : tally<true, false>(pixels, n, gate, counted);
    else
        drop_zero ? tally<false, true>(pixels, n, gate, counted) : tally<false, false>(pixels, n, gate, counted);
    selected_ = n - counted.skipped;
    if (selected_ == 0) return;

    const std::size_t distinct = counted.found;
    const std::uint32_t* order = counted.order.get();
    colors_.resize(3 * distinct);
    counts_.resize(distinct);
    const bool any_notes = !counted.notes.empty();
    for (std::size_t j = 0; j < distinct; ++j) {
        std::uint8_t* color = &colors_[3 * j];
        color[0] = static_cast<std::uint8_t>(order[j]);
        color[1] = static_cast<std::uint8_t>(order[j] >> 8);
        color[2] = static_cast<std::uint8_t>(order[j] >> 16);
        const std::size_t position = counted.position(color_key(color));
        counts_[j] = counted.counters[position];
        if (any_notes && (counted.noted[position >> 3] >> (position & 7) & 1) != 0) {
            const auto noted = counted.notes.find(position);
            if (noted != counted.notes.end()) counts_[j] += static_cast<std::uint32_t>(kWrap * noted->second);
        }
    }
}

}  // namespace chromalens::kernels
