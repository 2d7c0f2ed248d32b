// Disjoint sets over dense ids, with path halving; the root of a set is its
// lowest id.
//
// Pure C++17; no Python headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace chromalens::kernels {

class UnionFind {
public:
    explicit UnionFind(std::size_t n) : parent_(n) {
        for (std::size_t i = 0; i < n; ++i) parent_[i] = static_cast<std::uint32_t>(i);
    }

    std::uint32_t find(std::uint32_t x) {
        while (parent_[x] != x) {
            parent_[x] = parent_[parent_[x]];
            x = parent_[x];
        }
        return x;
    }

    void unite(std::uint32_t a, std::uint32_t b) {
        a = find(a);
        b = find(b);
        if (a == b) return;
        if (a > b) std::swap(a, b);
        parent_[b] = a;
    }

    bool is_root(std::uint32_t x) const { return parent_[x] == x; }

    // Makes the singleton x a child of the lower root: joins a run of fresh
    // ids known to form one set without walking it.
    void attach(std::uint32_t x, std::uint32_t root) { parent_[x] = root; }

private:
    std::vector<std::uint32_t> parent_;
};

}  // namespace chromalens::kernels
