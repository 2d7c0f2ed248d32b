// The density search's spatial index: rows bucketed into a grid of cells a
// little wider than eps / kReach, each cell with a small KD-tree over its
// rows.  Rows are stored in cell order, and within a cell in tree order, so
// every cell and every tree node is a contiguous range of row positions.
//
// Pure C++17; no Python headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/flat_hash.hpp"
#include "kernels/geometry.hpp"

namespace chromalens::kernels {

// Rows within eps of each other are at most kReach cells apart along every
// axis.
constexpr int kReach = 2;

// A neighbour cell's position relative to a cell.
struct CellOffset {
    int delta[3];
    int gap_squared;  // squared lower bound of the gap between the two cells, in cells
};

// A node of a cell's KD-tree: rows [begin, end) in row positions.  The left
// child directly follows its parent; right is 0 for a leaf.
struct TreeNode {
    Box box;
    int64_t weight;
    uint32_t begin, end;
    uint32_t right = 0;
    double diagonal_squared = 0;
};

class CellGrid {
public:
    // Cells per axis are capped so cell coordinates pack into kAxisBits bits
    // each (and the scaled coordinate keeps ~30 bits of fractional headroom).
    static constexpr int kAxisBits = 21;

    // rows: k x 3 row-major, finite; weights: k, non-negative.
    CellGrid(const double* rows, const int64_t* weights, std::size_t k, double eps);

    std::size_t row_count() const { return weights_.size(); }
    std::size_t cell_count() const { return cell_start_.size() - 1; }

    // Rows by position (cell order).
    const double* point(uint32_t pos) const { return &points_[3 * static_cast<std::size_t>(pos)]; }
    int64_t weight(uint32_t pos) const { return weights_[pos]; }
    uint32_t input_row(uint32_t pos) const { return input_row_[pos]; }

    // Cell c holds the rows [cell_begin(c), cell_end(c)).
    uint32_t cell_begin(uint32_t c) const { return cell_start_[c]; }
    uint32_t cell_end(uint32_t c) const { return cell_start_[c + 1]; }
    const Box& cell_box(uint32_t c) const { return cell_box_[c]; }
    int64_t cell_weight(uint32_t c) const { return cell_weight_[c]; }
    uint32_t cell_root(uint32_t c) const { return cell_root_[c]; }
    const TreeNode& node(uint32_t n) const { return nodes_[n]; }

    // Offsets of the cells that can hold a row within eps of a cell's rows,
    // nearest first.
    const std::vector<CellOffset>& offsets() const { return offsets_; }
    // Neighbour of cell c at offset o, or kNoId when out of range or empty.
    uint32_t neighbour(uint32_t c, const CellOffset& o) const {
        const uint64_t key = cell_key_[c];
        const uint64_t field = (uint64_t{1} << kAxisBits) - 1;
        uint64_t out = 0;
        for (int j = 0; j < 3; ++j) {
            const int64_t v = static_cast<int64_t>((key >> (kAxisBits * j)) & field) + o.delta[j];
            if (v < 0 || v >= axis_cells_[j]) return kNoId;
            out |= static_cast<uint64_t>(v) << (kAxisBits * j);
        }
        return cell_of_key_.find(out);
    }

private:
    uint64_t cell_key(const double* p) const;
    uint32_t build_node(std::vector<uint32_t>& order, uint32_t begin, uint32_t end);
    void reorder_rows(const std::vector<uint32_t>& order);

    double origin_half_[3] = {0, 0, 0};
    double step_half_[3] = {1, 1, 1};
    int64_t axis_cells_[3] = {1, 1, 1};
    std::vector<CellOffset> offsets_;

    KeyIdMap cell_of_key_{16};
    std::vector<uint64_t> cell_key_;
    std::vector<uint32_t> cell_start_;
    std::vector<Box> cell_box_;         // copies of the roots' boxes and weights,
    std::vector<int64_t> cell_weight_;  // dense for the cell-level passes
    std::vector<uint32_t> cell_root_;
    std::vector<TreeNode> nodes_;

    std::vector<double> points_;
    std::vector<int64_t> weights_;
    std::vector<uint32_t> input_row_;
};

}  // namespace chromalens::kernels
