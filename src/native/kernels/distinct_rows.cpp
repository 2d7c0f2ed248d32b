#include "kernels/distinct_rows.hpp"

#include <cstring>
#include <stdexcept>

#include "kernels/flat_hash.hpp"

namespace chromalens::kernels {
namespace {

inline uint64_t hash_row(uint64_t b0, uint64_t b1, uint64_t b2) {
    return mix64(b0 ^ mix64(b1 ^ mix64(b2 + 0x9e3779b97f4a7c15ULL)));
}

}  // namespace

DistinctRows distinct_rows(const double* data, std::size_t n,
                           std::ptrdiff_t row_stride, std::ptrdiff_t col_stride) {
    DistinctRows out;
    if (n == 0) return out;
    if (data == nullptr) throw std::invalid_argument("distinct_rows: null data");
    if (n >= kNoId) throw std::length_error("distinct_rows: too many rows");

    out.inverse.resize(n);
    // Slot = (hash tag << 32) | (id + 1); 0 marks an empty slot.  The tag
    // rejects most mismatches without touching the stored row.
    std::size_t capacity = 1 << 12;
    std::vector<uint64_t> slots(capacity, 0);
    std::size_t mask = capacity - 1;

    auto stored_bits = [&](uint32_t id, int column) {
        uint64_t bits;
        std::memcpy(&bits, &out.rows[3 * static_cast<std::size_t>(id) + column], sizeof bits);
        return bits;
    };
    auto grow = [&]() {
        capacity <<= 1;
        mask = capacity - 1;
        std::vector<uint64_t>(capacity, 0).swap(slots);
        const std::size_t k = out.counts.size();
        for (std::size_t id = 0; id < k; ++id) {
            const auto i = static_cast<uint32_t>(id);
            const uint64_t h = hash_row(stored_bits(i, 0), stored_bits(i, 1), stored_bits(i, 2));
            std::size_t pos = h & mask;
            while (slots[pos] != 0) pos = (pos + 1) & mask;
            slots[pos] = ((h >> 32) << 32) | (id + 1);
        }
    };

    for (std::size_t i = 0; i < n; ++i) {
        const double* row = data + static_cast<std::ptrdiff_t>(i) * row_stride;
        const uint64_t b0 = canonical_bits(row[0]);
        const uint64_t b1 = canonical_bits(row[col_stride]);
        const uint64_t b2 = canonical_bits(row[2 * col_stride]);
        const uint64_t h = hash_row(b0, b1, b2);
        const uint64_t tag = h >> 32;
        std::size_t pos = h & mask;
        for (;;) {
            const uint64_t slot = slots[pos];
            if (slot == 0) {
                const std::size_t id = out.counts.size();
                double values[3];
                std::memcpy(&values[0], &b0, 8);
                std::memcpy(&values[1], &b1, 8);
                std::memcpy(&values[2], &b2, 8);
                out.rows.insert(out.rows.end(), values, values + 3);
                out.counts.push_back(1);
                out.inverse[i] = static_cast<int64_t>(id);
                slots[pos] = (tag << 32) | (id + 1);
                if (2 * (id + 1) > capacity) grow();
                break;
            }
            if ((slot >> 32) == tag) {
                const auto id = static_cast<uint32_t>((slot & 0xffffffffULL) - 1);
                if (stored_bits(id, 0) == b0 && stored_bits(id, 1) == b1 && stored_bits(id, 2) == b2) {
                    ++out.counts[id];
                    out.inverse[i] = id;
                    break;
                }
            }
            pos = (pos + 1) & mask;
        }
    }
    return out;
}

}  // namespace chromalens::kernels
