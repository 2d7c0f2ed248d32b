#include "kernels/cell_grid.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace chromalens::kernels {
namespace {

constexpr double kMaxAxisCells = static_cast<double>(1 << 20);
// Rows per KD-tree leaf inside a cell.
constexpr uint32_t kLeafSize = 12;

}  // namespace

CellGrid::CellGrid(const double* rows, const int64_t* weights, std::size_t k, double eps) {
    Box all = empty_box();
    for (std::size_t i = 0; i < k; ++i) extend(all, rows + 3 * i);

    // Cells are a little wider than eps / kReach.  Coordinates are halved
    // first so the extent of any finite data stays finite.
    const double side_half = 0.5 * (eps / kReach) * (1.0 + 1e-5);
    for (int j = 0; j < 3; ++j) {
        origin_half_[j] = 0.5 * all.lo[j];
        const double extent_half = 0.5 * all.hi[j] - origin_half_[j];
        step_half_[j] = std::max(side_half, extent_half / kMaxAxisCells);
        axis_cells_[j] = static_cast<int64_t>(std::floor(extent_half / step_half_[j])) + 1;
    }
    // Offsets whose cells cannot hold a pair within eps are dropped; a cell
    // is at least side_half * 2 wide on every axis.
    const double reach = eps / (2.0 * side_half);
    const double reach_squared = reach * reach * (1.0 + 1e-6);
    for (int a = -kReach; a <= kReach; ++a)
        for (int b = -kReach; b <= kReach; ++b)
            for (int c = -kReach; c <= kReach; ++c) {
                int gap_squared = 0;
                for (int v : {a, b, c}) {
                    const int gap = std::max(std::abs(v) - 1, 0);
                    gap_squared += gap * gap;
                }
                if (gap_squared <= reach_squared) offsets_.push_back(CellOffset{{a, b, c}, gap_squared});
            }
    // Nearest offsets first: joins made through them let later, farther
    // cell pairs be skipped as already connected.
    std::stable_sort(offsets_.begin(), offsets_.end(), [](const CellOffset& x, const CellOffset& y) {
        return x.gap_squared < y.gap_squared;
    });

    std::vector<uint64_t> row_key(k);
    KeyIdMap first_seen(std::min<std::size_t>(k, 1 << 16));
    std::vector<uint64_t> keys_seen;
    for (std::size_t i = 0; i < k; ++i) {
        const uint64_t key = cell_key(rows + 3 * i);
        row_key[i] = key;
        if (first_seen.insert(key, static_cast<uint32_t>(keys_seen.size())) == keys_seen.size())
            keys_seen.push_back(key);
    }
    // Cells in key order keep neighbouring cells close in memory.
    const std::size_t n_cells = keys_seen.size();
    std::vector<uint32_t> by_key(n_cells);
    for (std::size_t c = 0; c < n_cells; ++c) by_key[c] = static_cast<uint32_t>(c);
    std::sort(by_key.begin(), by_key.end(),
              [&](uint32_t x, uint32_t y) { return keys_seen[x] < keys_seen[y]; });
    std::vector<uint32_t> rank(n_cells);
    cell_key_.resize(n_cells);
    for (std::size_t r = 0; r < n_cells; ++r) {
        rank[by_key[r]] = static_cast<uint32_t>(r);
        cell_key_[r] = keys_seen[by_key[r]];
    }
    first_seen.remap([&](uint32_t id) { return rank[id]; });
    cell_of_key_ = std::move(first_seen);

    // Stable counting sort of the rows by cell.
    std::vector<uint32_t> row_cell(k);
    cell_start_.assign(n_cells + 1, 0);
    for (std::size_t i = 0; i < k; ++i) {
        row_cell[i] = cell_of_key_.find(row_key[i]);
        ++cell_start_[row_cell[i] + 1];
    }
    std::vector<uint64_t>().swap(row_key);
    for (std::size_t c = 0; c < n_cells; ++c) cell_start_[c + 1] += cell_start_[c];
    std::vector<uint32_t> fill(cell_start_.begin(), cell_start_.end() - 1);
    points_.resize(3 * k);
    weights_.resize(k);
    input_row_.resize(k);
    for (std::size_t i = 0; i < k; ++i) {
        const uint32_t pos = fill[row_cell[i]]++;
        std::memcpy(&points_[3 * static_cast<std::size_t>(pos)], rows + 3 * i, 3 * sizeof(double));
        weights_[pos] = weights[i];
        input_row_[pos] = static_cast<uint32_t>(i);
    }
    // A small KD-tree inside each cell sharpens the per-row bounds where a
    // neighbour cell straddles the eps sphere.
    cell_box_.resize(n_cells);
    cell_weight_.resize(n_cells);
    cell_root_.resize(n_cells);
    std::vector<uint32_t> tree_order(k);
    for (std::size_t i = 0; i < k; ++i) tree_order[i] = static_cast<uint32_t>(i);
    for (std::size_t c = 0; c < n_cells; ++c) {
        cell_root_[c] = build_node(tree_order, cell_start_[c], cell_start_[c + 1]);
        cell_box_[c] = nodes_[cell_root_[c]].box;
        cell_weight_[c] = nodes_[cell_root_[c]].weight;
    }
    reorder_rows(tree_order);
}

uint32_t CellGrid::build_node(std::vector<uint32_t>& order, uint32_t begin, uint32_t end) {
    const auto id = static_cast<uint32_t>(nodes_.size());
    nodes_.emplace_back();
    TreeNode node;
    node.box = empty_box();
    node.weight = 0;
    node.begin = begin;
    node.end = end;
    for (uint32_t i = begin; i < end; ++i) {
        extend(node.box, point(order[i]));
        node.weight = saturating_add(node.weight, weights_[order[i]]);
    }
    node.diagonal_squared = box_box_max(node.box, node.box);
    if (end - begin > kLeafSize) {
        int widest = 0;
        for (int j = 1; j < 3; ++j)
            if (node.box.hi[j] - node.box.lo[j] > node.box.hi[widest] - node.box.lo[widest]) widest = j;
        if (node.box.hi[widest] > node.box.lo[widest]) {
            const uint32_t mid = begin + (end - begin) / 2;
            std::nth_element(order.begin() + begin, order.begin() + mid, order.begin() + end,
                             [&](uint32_t x, uint32_t y) { return point(x)[widest] < point(y)[widest]; });
            build_node(order, begin, mid);
            node.right = build_node(order, mid, end);
        }
    }
    nodes_[id] = node;
    return id;
}

// Reorders the cell-sorted rows so every tree node is a contiguous range.
void CellGrid::reorder_rows(const std::vector<uint32_t>& order) {
    const std::size_t k = order.size();
    std::vector<double> points(3 * k);
    std::vector<int64_t> weights(k);
    std::vector<uint32_t> input_row(k);
    for (std::size_t i = 0; i < k; ++i) {
        std::memcpy(&points[3 * i], point(order[i]), 3 * sizeof(double));
        weights[i] = weights_[order[i]];
        input_row[i] = input_row_[order[i]];
    }
    points_.swap(points);
    weights_.swap(weights);
    input_row_.swap(input_row);
}

uint64_t CellGrid::cell_key(const double* p) const {
    uint64_t key = 0;
    for (int j = 0; j < 3; ++j) {
        const double u = std::floor((0.5 * p[j] - origin_half_[j]) / step_half_[j]);
        int64_t c = static_cast<int64_t>(u);
        c = std::min<int64_t>(std::max<int64_t>(c, 0), axis_cells_[j] - 1);
        key |= static_cast<uint64_t>(c) << (kAxisBits * j);
    }
    return key;
}

}  // namespace chromalens::kernels
