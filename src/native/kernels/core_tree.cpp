#include "kernels/core_tree.hpp"

#include <algorithm>

namespace chromalens::kernels {

// Weight surely within eps of every row of a group, and an upper bound of
// the weight that may be.
struct TreeEngine::Bounds {
    int64_t sure;
    int64_t upper;
    bool pending = false;  // the last node classified straddles the sphere

    void drop(int64_t weight) {
        if (upper != kMaxWeight) upper -= weight;  // a saturated bound stays valid
    }
    Verdict settle(int64_t min_samples) const {
        if (sure >= min_samples) return Verdict::kCore;
        if (upper < min_samples) return Verdict::kNoise;
        return Verdict::kOpen;
    }
};

TreeEngine::OpenNode TreeEngine::open_node(uint32_t n) const {
    const TreeNode& node = grid_.node(n);
    return OpenNode{node.box, node.weight, n, static_cast<float>(node.diagonal_squared)};
}

void TreeEngine::mark_core(const std::vector<uint32_t>& open_cells, std::vector<uint8_t>& is_core) {
    for (uint32_t c : open_cells) {
        open_nodes_.clear();
        int64_t open = 0;
        for (const CellOffset& o : grid_.offsets()) {
            const uint32_t b = grid_.neighbour(c, o);
            if (b == kNoId) continue;
            open_nodes_.push_back(open_node(grid_.cell_root(b)));
            open = saturating_add(open, grid_.cell_weight(b));
        }
        decide_group(grid_.cell_root(c), 0, open_nodes_.size(), 0, open, is_core);
    }
}

// A node of the cell (a group of rows) carries the neighbour nodes that are
// ambiguous for its whole box, open_nodes_[from, to), plus the weight `sure`
// already known to be within eps of every row in it; sure + open bounds the
// count of every row of the group from above.  Groups are decided wholesale
// when the bounds settle, and only leaves fall back to rows.
void TreeEngine::decide_group(uint32_t group, std::size_t from, std::size_t to, int64_t sure, int64_t open,
                              std::vector<uint8_t>& is_core) {
    const TreeNode& node = grid_.node(group);
    const std::size_t kept = open_nodes_.size();
    Bounds bounds{sure, saturating_add(sure, open)};
    const auto diagonal = static_cast<float>(node.diagonal_squared);
    Verdict verdict = Verdict::kOpen;
    for (std::size_t i = from; i < to && verdict == Verdict::kOpen; ++i) {
        const OpenNode candidate = open_nodes_[i];  // a copy: the list may grow below
        verdict = classify_for_group(node.box, diagonal, candidate, bounds);
    }
    if (verdict == Verdict::kOpen) verdict = bounds.settle(min_samples_);
    if (verdict == Verdict::kCore) {
        std::fill(is_core.begin() + node.begin, is_core.begin() + node.end, 1);
    } else if (verdict == Verdict::kOpen) {
        const int64_t still_open = bounds.upper == kMaxWeight ? kMaxWeight : bounds.upper - bounds.sure;
        if (node.right == 0) {
            for (uint32_t p = node.begin; p < node.end; ++p)
                is_core[p] = point_is_core(grid_.point(p), kept, open_nodes_.size(), bounds.sure, still_open);
        } else {
            const std::size_t end = open_nodes_.size();
            decide_group(group + 1, kept, end, bounds.sure, still_open, is_core);
            decide_group(node.right, kept, end, bounds.sure, still_open, is_core);
        }
    }
    open_nodes_.resize(kept);
}

// Sorts one open neighbour node against the group's box: dropped, counted
// as sure, or kept open (split first while wider than the group, so what
// stays open resolves at the group's scale).  Returns a verdict as soon as
// the bounds settle the whole group.
TreeEngine::Verdict TreeEngine::classify_for_group(const Box& group, float group_diagonal,
                                                   const OpenNode& candidate, Bounds& bounds) {
    if (box_box_min(group, candidate.box) > eps_.skip_above) {
        bounds.drop(candidate.weight);
        return bounds.upper < min_samples_ ? Verdict::kNoise : Verdict::kOpen;
    }
    if (box_box_max(group, candidate.box) <= eps_.accept_below) {
        bounds.sure = saturating_add(bounds.sure, candidate.weight);
        return bounds.sure >= min_samples_ ? Verdict::kCore : Verdict::kOpen;
    }
    const TreeNode& node = grid_.node(candidate.node);
    if (node.right != 0 && candidate.diagonal_squared > group_diagonal) {
        // The parent's weight stays in upper until its children are sorted.
        bounds.drop(candidate.weight);
        bounds.upper = saturating_add(bounds.upper, grid_.node(candidate.node + 1).weight);
        bounds.upper = saturating_add(bounds.upper, grid_.node(node.right).weight);
        const Verdict verdict = classify_for_group(group, group_diagonal, open_node(candidate.node + 1), bounds);
        if (verdict != Verdict::kOpen) return verdict;
        return classify_for_group(group, group_diagonal, open_node(node.right), bounds);
    }
    open_nodes_.push_back(candidate);
    return Verdict::kOpen;
}

bool TreeEngine::point_is_core(const double* p, std::size_t from, std::size_t to, int64_t sure, int64_t open) {
    Bounds bounds{sure, saturating_add(sure, open)};
    // Box bounds first: they are cheap and often settle the row before any
    // leaf is scanned.
    pending_.clear();
    for (std::size_t i = from; i < to; ++i) {
        const OpenNode& candidate = open_nodes_[i];
        const Verdict verdict = classify_for_point(p, candidate.box, candidate.weight, bounds);
        if (verdict != Verdict::kOpen) return verdict == Verdict::kCore;
        if (bounds.pending) pending_.push_back(candidate.node);
    }
    while (!pending_.empty()) {
        const uint32_t n = pending_.back();
        const TreeNode& node = grid_.node(n);
        pending_.pop_back();
        if (node.right != 0) {
            for (uint32_t child : {n + 1, node.right}) {
                const TreeNode& child_node = grid_.node(child);
                const Verdict verdict = classify_for_point(p, child_node.box, child_node.weight, bounds);
                if (verdict != Verdict::kOpen) return verdict == Verdict::kCore;
                if (bounds.pending) pending_.push_back(child);
            }
            continue;
        }
        for (uint32_t q = node.begin; q < node.end; ++q) {
            const int64_t weight = grid_.weight(q);
            if (eps_.within(p, grid_.point(q))) {
                bounds.sure = saturating_add(bounds.sure, weight);
                if (bounds.sure >= min_samples_) return true;
            } else {
                bounds.drop(weight);
                if (bounds.upper < min_samples_) return false;
            }
        }
    }
    return bounds.sure >= min_samples_;
}

// Box test of one node for one row; sets bounds.pending when the node
// straddles the eps sphere and must be refined.
TreeEngine::Verdict TreeEngine::classify_for_point(const double* p, const Box& box, int64_t weight,
                                                   Bounds& bounds) const {
    bounds.pending = false;
    if (point_box_min(p, box) > eps_.skip_above) {
        bounds.drop(weight);
        return bounds.upper < min_samples_ ? Verdict::kNoise : Verdict::kOpen;
    }
    if (point_box_max(p, box) <= eps_.accept_below) {
        bounds.sure = saturating_add(bounds.sure, weight);
        return bounds.sure >= min_samples_ ? Verdict::kCore : Verdict::kOpen;
    }
    bounds.pending = true;
    return Verdict::kOpen;
}

// Candidate cells of each cell with border rows, by their lowest label, each
// scanned until a core row within eps is found.
void TreeEngine::label_borders(const CoreRows& core, std::vector<int64_t>& labels) {
    const std::size_t n_cells = grid_.cell_count();
    std::vector<uint32_t> min_label(n_cells, kNoId), max_label(n_cells, 0);
    for (std::size_t c = 0; c < n_cells; ++c)
        for (uint32_t i = core.start[c]; i < core.start[c + 1]; ++i) {
            min_label[c] = std::min(min_label[c], core.label[i]);
            max_label[c] = std::max(max_label[c], core.label[i]);
        }

    std::vector<uint32_t> candidates;
    for (uint32_t c = 0; c < n_cells; ++c) {
        const uint32_t begin = grid_.cell_begin(c), end = grid_.cell_end(c);
        if (end - begin == core.start[c + 1] - core.start[c]) continue;  // all core
        candidates.clear();
        for (const CellOffset& o : grid_.offsets()) {
            const uint32_t b = grid_.neighbour(c, o);
            if (b == kNoId || core.start[b + 1] == core.start[b]) continue;
            if (box_box_min(grid_.cell_box(c), core.cell_box[b]) > eps_.skip_above) continue;
            candidates.push_back(b);
        }
        if (candidates.empty()) continue;
        std::sort(candidates.begin(), candidates.end(), [&](uint32_t x, uint32_t y) {
            return min_label[x] != min_label[y] ? min_label[x] < min_label[y] : x < y;
        });
        for (uint32_t p = begin; p < end; ++p) {
            if (core.is_core[p]) continue;
            const uint32_t best = border_label(grid_.point(p), core, candidates, min_label, max_label);
            if (best != kNoId) labels[grid_.input_row(p)] = best;
        }
    }
}

uint32_t TreeEngine::border_label(const double* p, const CoreRows& core, const std::vector<uint32_t>& candidates,
                                  const std::vector<uint32_t>& min_label,
                                  const std::vector<uint32_t>& max_label) const {
    uint32_t best = kNoId;
    for (uint32_t b : candidates) {
        if (min_label[b] >= best) break;  // sorted: nothing lower follows
        if (point_box_min(p, core.cell_box[b]) > eps_.skip_above) continue;
        const bool single = min_label[b] == max_label[b];
        if (single && point_box_max(p, core.cell_box[b]) <= eps_.accept_below) return min_label[b];
        for (uint32_t j = core.start[b]; j < core.start[b + 1]; ++j) {
            if (core.label[j] >= best) continue;
            if (eps_.within(p, core.point(j))) {
                best = core.label[j];
                if (single) return best;
            }
        }
    }
    return best;
}

}  // namespace chromalens::kernels
