// What the two core-row engines of the density search (core_lattice,
// core_tree) have in common: the interface they offer and the core rows
// they label borders from.
//
// Pure C++17; no Python headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/geometry.hpp"

namespace chromalens::kernels {

// The core rows once connected and numbered, by grid cell.  Core rows are
// numbered in cell order: cell c holds core rows [start[c], start[c + 1]).
struct CoreRows {
    std::vector<uint8_t> is_core;     // per row position: 1 when core
    std::vector<uint32_t> start;      // per cell, plus one
    std::vector<uint32_t> position;   // row position of each core row
    std::vector<double> points;       // 3 per core row
    std::vector<Box> cell_box;        // per cell: box of its core rows
    std::vector<uint8_t> coherent;    // per cell: its core rows are mutually within eps
    std::vector<uint32_t> label;      // cluster number of each core row

    const double* point(uint32_t i) const { return &points[3 * static_cast<std::size_t>(i)]; }
};

// A row is core when the summed weight of the rows within eps (itself
// included) reaches min_samples.
class CoreEngine {
public:
    virtual ~CoreEngine() = default;
    // Sets is_core for the rows of open_cells, the cells whose cell-level
    // bounds settled nothing.
    virtual void mark_core(const std::vector<uint32_t>& open_cells, std::vector<uint8_t>& is_core) = 0;
    // Gives each non-core row the lowest cluster number among the core rows
    // within eps (labels indexed by input row); rows without one keep theirs.
    virtual void label_borders(const CoreRows& core, std::vector<int64_t>& labels) = 0;
};

}  // namespace chromalens::kernels
