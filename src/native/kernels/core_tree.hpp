// The general core-row engine of the density search: each cell's KD-tree is
// walked against the trees of its neighbour cells, deciding whole groups of
// rows by box bounds where it can and single pairs where it must.  Works on
// any data; the lattice engine is faster on quantised data.
//
// Pure C++17; no Python headers.
#pragma once

#include <cstdint>
#include <vector>

#include "kernels/cell_grid.hpp"
#include "kernels/core_engine.hpp"
#include "kernels/geometry.hpp"

namespace chromalens::kernels {

class TreeEngine final : public CoreEngine {
public:
    TreeEngine(const CellGrid& grid, const EpsThresholds& eps, int64_t min_samples)
        : grid_(grid), eps_(eps), min_samples_(min_samples) {}

    void mark_core(const std::vector<uint32_t>& open_cells, std::vector<uint8_t>& is_core) override;
    void label_borders(const CoreRows& core, std::vector<int64_t>& labels) override;

    // A neighbour node as carried in a group's open list (copied for
    // locality).
    struct OpenNode {
        Box box;
        int64_t weight;
        uint32_t node;
        float diagonal_squared;  // only steers splitting: single precision is enough
    };
    enum class Verdict { kOpen, kCore, kNoise };
    struct Bounds;

private:
    OpenNode open_node(uint32_t n) const;
    void decide_group(uint32_t group, std::size_t from, std::size_t to, int64_t sure, int64_t open,
                      std::vector<uint8_t>& is_core);
    Verdict classify_for_group(const Box& group, float group_diagonal, const OpenNode& candidate, Bounds& bounds);
    bool point_is_core(const double* p, std::size_t from, std::size_t to, int64_t sure, int64_t open);
    Verdict classify_for_point(const double* p, const Box& box, int64_t weight, Bounds& bounds) const;
    uint32_t border_label(const double* p, const CoreRows& core, const std::vector<uint32_t>& candidates,
                          const std::vector<uint32_t>& min_label, const std::vector<uint32_t>& max_label) const;

    const CellGrid& grid_;
    EpsThresholds eps_;
    int64_t min_samples_;
    std::vector<OpenNode> open_nodes_;  // neighbour-node lists of the open groups, stacked
    std::vector<uint32_t> pending_;     // nodes straddling the sphere of the row at hand
};

}  // namespace chromalens::kernels
