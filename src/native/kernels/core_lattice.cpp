// The lattice engine's two passes: core rows by a blocked sweep over the
// lines, then border rows line by line.  The line index is built in
// lattice_index.cpp.
#include <algorithm>

#include "kernels/core_lattice.hpp"
#include "kernels/parallel_for.hpp"

namespace chromalens::kernels {
namespace {

// Neighbour lines swept between passes that drop the rows already core.
constexpr std::size_t kSettleEvery = 256;

}  // namespace

// One block's open rows, line by line.
struct LatticeEngine::BlockScratch {
    std::vector<uint32_t> lines;         // lines of the block with open rows
    std::vector<int32_t> line_u, line_v;  // their (u, v) indices
    std::vector<uint32_t> active_start;  // their open rows in active[]
    std::vector<uint32_t> active;        // entries of line_rows_
    std::vector<int32_t> sweep_index;    // sweep index of each active row
    std::vector<int64_t> count;          // weight found within eps so far
};

template <class Prefix, class Visit>
void LatticeEngine::for_each_edge_row(uint32_t m, const RunWidth& run, int64_t sweep_index, const Prefix* prefix,
                                      Visit visit) const {
    const int64_t n_sweep = axes_[sweep_axis_].extent;
    const auto first = line_sweep_index_.begin() + line_start_[m];
    const auto last = line_sweep_index_.begin() + line_start_[m + 1];
    for (int64_t c = std::max(run.inside + 1, 0); c <= run.edge; ++c)
        for (int sign = (c == 0 ? 1 : -1); sign <= 1; sign += 2) {
            const int64_t t = sweep_index + sign * c;
            if (t < 0 || t >= n_sweep || prefix[t + 1] == prefix[t]) continue;
            const auto at = std::lower_bound(first, last, static_cast<uint32_t>(t));
            visit(line_rows_[static_cast<std::size_t>(at - line_sweep_index_.begin())]);
        }
}

// Lines are swept in square blocks of (u, v) positions: each neighbour
// line's prefix row is then loaded once per block and reused by every line
// of the block it reaches, instead of once per line.
void LatticeEngine::mark_core(const std::vector<uint32_t>& open_cells, std::vector<uint8_t>& is_core) {
    open_.assign(grid_.row_count(), 0);
    for (uint32_t c : open_cells)
        std::fill(open_.begin() + grid_.cell_begin(c), open_.begin() + grid_.cell_end(c), 1);

    const int64_t n_u = axes_[u_axis_].extent, n_v = axes_[v_axis_].extent;
    const int64_t blocks_u = (n_u + kBlock - 1) / kBlock, blocks_v = (n_v + kBlock - 1) / kBlock;
    std::vector<uint8_t> has_open(static_cast<std::size_t>(blocks_u * blocks_v), 0);
    for (std::size_t i = 0; i < open_.size(); ++i)
        if (open_[i]) {
            const int64_t block_u = lattice_index_[3 * i + u_axis_] / kBlock;
            const int64_t block_v = lattice_index_[3 * i + v_axis_] / kBlock;
            has_open[static_cast<std::size_t>(block_u * blocks_v + block_v)] = 1;
        }
    std::vector<uint32_t> blocks;
    for (std::size_t b = 0; b < has_open.size(); ++b)
        if (has_open[b]) blocks.push_back(static_cast<uint32_t>(b));

    // Scratch per block keeps the body free of shared state; a block's work
    // dwarfs the allocation.
    parallel_for(blocks.size(), 1, [&](std::size_t i) {
        BlockScratch scratch;
        sweep_block(blocks[i] / blocks_v, blocks[i] % blocks_v, scratch, is_core);
    });
}

void LatticeEngine::sweep_block(int64_t block_u, int64_t block_v, BlockScratch& block,
                                std::vector<uint8_t>& is_core) const {
    const int64_t n_u = axes_[u_axis_].extent, n_v = axes_[v_axis_].extent;
    const int64_t u0 = block_u * kBlock, v0 = block_v * kBlock;
    const int64_t u1 = std::min(n_u, u0 + kBlock), v1 = std::min(n_v, v0 + kBlock);
    block.active_start.assign(1, 0);
    for (int64_t u = u0; u < u1; ++u)
        for (int64_t v = v0; v < v1; ++v) {
            const uint32_t l = line_at(u, v);
            if (l == kNoId) continue;
            const std::size_t before = block.active.size();
            for (uint32_t i = line_start_[l]; i < line_start_[l + 1]; ++i)
                if (open_[line_rows_[i]]) {
                    block.active.push_back(i);
                    block.sweep_index.push_back(static_cast<int32_t>(line_sweep_index_[i]));
                }
            if (block.active.size() == before) continue;
            block.lines.push_back(l);
            block.line_u.push_back(static_cast<int32_t>(u));
            block.line_v.push_back(static_cast<int32_t>(v));
            block.active_start.push_back(static_cast<uint32_t>(block.active.size()));
        }
    if (block.lines.empty()) return;
    block.count.assign(block.active.size(), 0);

    std::size_t since_settle = 0;
    // Neighbour lines nearest the block first, so rows settle early.
    for (const auto& offset : block_order_) {
        const int64_t near_u = u0 + offset.first, near_v = v0 + offset.second;
        if (near_u < 0 || near_v < 0 || near_u >= n_u || near_v >= n_v) continue;
        const uint32_t m = line_at(near_u, near_v);
        if (m == kNoId) continue;
        const int64_t* prefix = &line_prefix_[static_cast<std::size_t>(m) * line_stride_ + line_pad_];
        for (std::size_t r = 0; r < block.lines.size(); ++r) {
            const int64_t du = near_u - block.line_u[r], dv = near_v - block.line_v[r];
            if (du < -reach_u_ || du > reach_u_ || dv < -reach_v_ || dv > reach_v_) continue;
            const RunWidth& run = run_width(du, dv);
            if (run.edge < 0) continue;
            const uint32_t j0 = block.active_start[r], j1 = block.active_start[r + 1];
            if (run.inside >= 0) {
                const int32_t w = run.inside;
                const int32_t* sweep_index = block.sweep_index.data();
                int64_t* count = block.count.data();
                for (uint32_t j = j0; j < j1; ++j)
                    count[j] += prefix[sweep_index[j] + w + 1] - prefix[sweep_index[j] - w];
            }
            if (run.edge > run.inside)
                for (uint32_t j = j0; j < j1; ++j) {
                    const double* p = grid_.point(line_rows_[block.active[j]]);
                    int64_t& count = block.count[j];
                    for_each_edge_row(m, run, line_sweep_index_[block.active[j]], prefix, [&](uint32_t q) {
                        if (eps_.within(p, grid_.point(q))) count += grid_.weight(q);
                    });
                }
        }
        if (++since_settle == kSettleEvery) {
            since_settle = 0;
            if (settle_block(block, is_core)) return;
        }
    }
    for (std::size_t j = 0; j < block.active.size(); ++j)
        if (block.count[j] >= min_samples_) is_core[line_rows_[block.active[j]]] = 1;
}

// Marks rows that already reach min_samples and drops them from the block;
// true when nothing is left open.
bool LatticeEngine::settle_block(BlockScratch& block, std::vector<uint8_t>& is_core) const {
    std::size_t kept = 0, lines_kept = 0;
    uint32_t begin = 0;
    for (std::size_t r = 0; r < block.lines.size(); ++r) {
        const uint32_t end = block.active_start[r + 1];
        const std::size_t first = kept;
        for (uint32_t j = begin; j < end; ++j) {
            if (block.count[j] >= min_samples_) {
                is_core[line_rows_[block.active[j]]] = 1;
                continue;
            }
            block.active[kept] = block.active[j];
            block.sweep_index[kept] = block.sweep_index[j];
            block.count[kept] = block.count[j];
            ++kept;
        }
        begin = end;
        if (kept == first) continue;
        block.lines[lines_kept] = block.lines[r];
        block.line_u[lines_kept] = block.line_u[r];
        block.line_v[lines_kept] = block.line_v[r];
        block.active_start[lines_kept + 1] = static_cast<uint32_t>(kept);
        ++lines_kept;
    }
    block.lines.resize(lines_kept);
    block.line_u.resize(lines_kept);
    block.line_v.resize(lines_kept);
    block.active_start.resize(lines_kept + 1);
    block.active.resize(kept);
    block.sweep_index.resize(kept);
    block.count.resize(kept);
    return kept == 0;
}

// A non-core row takes the lowest cluster number among its core neighbours.
// Per line, a running count of core rows tells in O(1) whether a run holds
// one; lines whose core rows share a label (the usual case) then give it
// directly.
void LatticeEngine::label_borders(const CoreRows& core, std::vector<int64_t>& labels) {
    const std::size_t n_lines = line_start_.size() - 1;
    const int64_t n_u = axes_[u_axis_].extent, n_v = axes_[v_axis_].extent;
    const std::size_t k = grid_.row_count();
    std::vector<uint32_t> label_at(k, kNoId);  // per row position; kNoId when not core
    for (std::size_t i = 0; i < core.position.size(); ++i) label_at[core.position[i]] = core.label[i];
    std::vector<uint32_t> min_label(n_lines, kNoId), max_label(n_lines, 0);
    std::vector<int32_t> core_prefix(n_lines * line_stride_, 0);
    bool any_border = false;
    for (std::size_t l = 0; l < n_lines; ++l) {
        int32_t* prefix = &core_prefix[l * line_stride_ + line_pad_];
        for (uint32_t i = line_start_[l]; i < line_start_[l + 1]; ++i) {
            const uint32_t label = label_at[line_rows_[i]];
            if (label == kNoId) {
                any_border = true;
                continue;
            }
            prefix[line_sweep_index_[i] + 1] += 1;
            min_label[l] = std::min(min_label[l], label);
            max_label[l] = std::max(max_label[l], label);
        }
        for (uint64_t t = 0; t < static_cast<uint64_t>(axes_[sweep_axis_].extent) + line_pad_; ++t)
            prefix[t + 1] += prefix[t];
    }
    if (!any_border) return;

    const std::vector<std::pair<int32_t, int32_t>> nearest_first = lines_by_distance(1, true);
    auto border_line = [&](std::size_t l) {
        const uint32_t first_row = line_rows_[line_start_[l]];
        const int64_t u = lattice_index_[3 * first_row + u_axis_], v = lattice_index_[3 * first_row + v_axis_];
        for (uint32_t i = line_start_[l]; i < line_start_[l + 1]; ++i) {
            const uint32_t row = line_rows_[i];
            if (label_at[row] != kNoId) continue;
            const int64_t sweep_index = line_sweep_index_[i];
            const double* p = grid_.point(row);
            uint32_t best = kNoId;
            for (const auto& offset : nearest_first) {
                if (best == 0) break;  // no lower label exists
                const int64_t near_u = u + offset.first, near_v = v + offset.second;
                if (near_u < 0 || near_v < 0 || near_u >= n_u || near_v >= n_v) continue;
                const uint32_t m = line_at(near_u, near_v);
                if (m == kNoId || min_label[m] >= best) continue;
                const RunWidth& run = run_width(offset.first, offset.second);
                const int32_t* prefix = &core_prefix[m * line_stride_ + line_pad_];
                if (run.inside >= 0 && prefix[sweep_index + run.inside + 1] > prefix[sweep_index - run.inside]) {
                    if (min_label[m] == max_label[m]) {
                        best = min_label[m];
                        continue;
                    }
                    const uint32_t s0 = line_start_[m], s1 = line_start_[m + 1];
                    auto at = std::lower_bound(line_sweep_index_.begin() + s0, line_sweep_index_.begin() + s1,
                                               static_cast<uint32_t>(std::max<int64_t>(sweep_index - run.inside, 0)));
                    for (auto q = static_cast<std::size_t>(at - line_sweep_index_.begin());
                         q < s1 && line_sweep_index_[q] <= sweep_index + run.inside; ++q)
                        best = std::min(best, label_at[line_rows_[q]]);
                }
                for_each_edge_row(m, run, sweep_index, prefix, [&](uint32_t q) {
                    if (label_at[q] < best && eps_.within(p, grid_.point(q))) best = label_at[q];
                });
            }
            if (best != kNoId) labels[grid_.input_row(row)] = best;  // rows are disjoint across lines
        }
    };
    parallel_for(n_lines, 64, border_line);
}

}  // namespace chromalens::kernels
