// The lattice core-row engine of the density search, for quantised data.
//
// Pixel data is quantised: each column takes a few hundred values on an
// evenly spaced lattice (standardised integers).  Then the library's rounded
// distance of two rows equals the lattice distance of their index offset to
// within ~1e-8 relative, so every offset but the few within a relative
// kLatticeMargin band of eps is inside or outside for all pairs alike; those
// few are evaluated pair by pair.  Rows sharing their (u, v) lattice indices,
// the two axes across the sweep axis, form a line; with a prefix sum of
// weights over each line, a row's weight from a neighbour line is one
// subtraction.
//
// Pure C++17; no Python headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "kernels/cell_grid.hpp"
#include "kernels/core_engine.hpp"
#include "kernels/flat_hash.hpp"
#include "kernels/geometry.hpp"

namespace chromalens::kernels {

class LatticeEngine final : public CoreEngine {
public:
    // The engine over the grid's rows, or null when the data is not on a
    // small lattice or the line index would not pay off.
    static std::unique_ptr<LatticeEngine> build(const CellGrid& grid, const EpsThresholds& eps,
                                                int64_t min_samples);

    void mark_core(const std::vector<uint32_t>& open_cells, std::vector<uint8_t>& is_core) override;
    void label_borders(const CoreRows& core, std::vector<int64_t>& labels) override;

private:
    // Lattice lines per side of a sweep block.
    static constexpr int64_t kBlock = 16;

    struct LatticeAxis {
        double origin = 0, step = 1;
        uint32_t extent = 1;
        KeyIdMap index{16};  // canonical value bits -> lattice index
    };

    // Half-widths of the run of a neighbour line at offset (du, dv) along
    // the sweep axis: offsets |da| <= inside are within eps for every pair,
    // inside < |da| <= edge must be tested pair by pair; -1 when there is no
    // such run.
    struct RunWidth {
        int32_t inside = -1, edge = -1;
    };

    struct BlockScratch;

    LatticeEngine(const CellGrid& grid, const EpsThresholds& eps, int64_t min_samples)
        : grid_(grid), eps_(eps), min_samples_(min_samples) {}
    bool fit_axis(int axis, LatticeAxis& out) const;
    bool index_lines();
    std::vector<std::pair<int32_t, int32_t>> lines_by_distance(int64_t span, bool only_reachable) const;
    std::size_t run_index(int64_t du, int64_t dv) const {
        return static_cast<std::size_t>((du + reach_u_) * (2 * reach_v_ + 1) + (dv + reach_v_));
    }
    const RunWidth& run_width(int64_t du, int64_t dv) const { return run_width_[run_index(du, dv)]; }
    // The line at lattice indices (u, v), in range; kNoId when it is empty.
    uint32_t line_at(int64_t u, int64_t v) const {
        return line_of_uv_[static_cast<std::size_t>(u * axes_[v_axis_].extent + v)];
    }

    void sweep_block(int64_t block_u, int64_t block_v, BlockScratch& block, std::vector<uint8_t>& is_core) const;
    bool settle_block(BlockScratch& block, std::vector<uint8_t>& is_core) const;

    // Calls visit(q) for the row position q at each sweep index t of line m
    // with inside < |t - sweep_index| <= edge where the line's prefix counts
    // show a row: the pairs at the rounding edge of the run, to be tested
    // exactly.
    template <class Prefix, class Visit>
    void for_each_edge_row(uint32_t m, const RunWidth& run, int64_t sweep_index, const Prefix* prefix,
                           Visit visit) const;

    const CellGrid& grid_;
    EpsThresholds eps_;
    int64_t min_samples_;

    LatticeAxis axes_[3];
    int sweep_axis_ = 0, u_axis_ = 1, v_axis_ = 2;  // lines are indexed by (u, v)
    int64_t reach_u_ = 0, reach_v_ = 0;             // neighbour lines are this close
    std::vector<RunWidth> run_width_;               // (2 reach_u + 1) x (2 reach_v + 1)
    std::vector<std::pair<int32_t, int32_t>> block_order_;
    std::vector<uint32_t> lattice_index_;     // 3 per row position
    std::vector<uint32_t> line_of_uv_;        // (u, v) -> line id, or kNoId
    std::vector<uint32_t> line_start_;        // line l holds [line_start_[l], line_start_[l + 1])
    std::vector<uint32_t> line_rows_;         // row positions, by line, along the sweep axis
    std::vector<uint32_t> line_sweep_index_;  // sweep index of each entry of line_rows_
    // Per line, weight prefix sums over the sweep index, padded by line_pad_
    // on both sides (constant 0 / total) so runs need no clamping.
    uint64_t line_pad_ = 0, line_stride_ = 0;
    std::vector<int64_t> line_prefix_;
    std::vector<uint8_t> open_;  // per row position: not settled by cell bounds
};

}  // namespace chromalens::kernels
