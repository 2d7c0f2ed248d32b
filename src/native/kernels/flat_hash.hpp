// Hashing of 64-bit keys and an open-addressing map from such keys to dense
// 32-bit ids, shared by the distinct-row collapse, the cell grid and the
// lattice index.
//
// Pure C++17; no Python headers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace chromalens::kernels {

// An id that no row, cell or line takes.
constexpr std::uint32_t kNoId = std::numeric_limits<std::uint32_t>::max();

inline std::uint64_t mix64(std::uint64_t x) {
    // splitmix64 finaliser: cheap and spreads low-entropy bit patterns
    // (small integers, repeated exponents) over the whole word.
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

// The bits of v, with -0.0 mapped to 0.0: they are the same colour.
inline std::uint64_t canonical_bits(double v) {
    if (v == 0.0) v = 0.0;
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

inline std::size_t next_pow2(std::size_t v) {
    std::size_t p = 1;
    while (p < v) p <<= 1;
    return p;
}

// Open-addressing map from 64-bit keys (packed cell coordinates, value
// bits) to dense ids.  The all-ones key is reserved: packed cell keys stay
// below 2^63 and no finite double has all bits set.
class KeyIdMap {
public:
    explicit KeyIdMap(std::size_t expected) {
        const std::size_t capacity = next_pow2(std::max<std::size_t>(16, 2 * expected));
        keys_.assign(capacity, kEmpty);
        ids_.assign(capacity, kNoId);
        mask_ = capacity - 1;
    }

    // Returns the id of key, inserting it with id `fresh` when absent.
    std::uint32_t insert(std::uint64_t key, std::uint32_t fresh) {
        std::size_t pos = mix64(key) & mask_;
        for (;;) {
            if (keys_[pos] == key) return ids_[pos];
            if (keys_[pos] == kEmpty) {
                if (2 * (size_ + 1) > keys_.size()) {
                    grow();
                    return insert(key, fresh);
                }
                keys_[pos] = key;
                ids_[pos] = fresh;
                ++size_;
                return fresh;
            }
            pos = (pos + 1) & mask_;
        }
    }

    // The id of key, or kNoId when absent.
    std::uint32_t find(std::uint64_t key) const {
        std::size_t pos = mix64(key) & mask_;
        for (;;) {
            if (keys_[pos] == key) return ids_[pos];
            if (keys_[pos] == kEmpty) return kNoId;
            pos = (pos + 1) & mask_;
        }
    }

    // Rewrites every stored id through f.
    template <class F>
    void remap(F f) {
        for (std::size_t i = 0; i < keys_.size(); ++i)
            if (keys_[i] != kEmpty) ids_[i] = f(ids_[i]);
    }

private:
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};

    void grow() {
        std::vector<std::uint64_t> keys(std::move(keys_));
        std::vector<std::uint32_t> ids(std::move(ids_));
        keys_.assign(2 * keys.size(), kEmpty);
        ids_.assign(2 * keys.size(), kNoId);
        mask_ = keys_.size() - 1;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (keys[i] == kEmpty) continue;
            std::size_t pos = mix64(keys[i]) & mask_;
            while (keys_[pos] != kEmpty) pos = (pos + 1) & mask_;
            keys_[pos] = keys[i];
            ids_[pos] = ids[i];
        }
    }

    std::vector<std::uint64_t> keys_;
    std::vector<std::uint32_t> ids_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
};

}  // namespace chromalens::kernels
