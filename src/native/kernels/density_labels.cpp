// The density search: rows bucketed into a grid (cell_grid), whole cells
// settled by cell-level bounds, the rest by the lattice engine when the
// data is quantised (core_lattice) or the general tree engine (core_tree);
// then core rows connected into clusters, clusters numbered as the library
// numbers them, and border rows labelled by the engine.  Every decision
// keeps the rounding contract stated in geometry.hpp.
#include "kernels/density_labels.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>

#include "kernels/cell_grid.hpp"
#include "kernels/core_engine.hpp"
#include "kernels/core_lattice.hpp"
#include "kernels/core_tree.hpp"
#include "kernels/flat_hash.hpp"
#include "kernels/geometry.hpp"
#include "kernels/union_find.hpp"

namespace chromalens::kernels {
namespace {

void check_rows(const double* rows, const int64_t* weights, std::size_t k) {
    for (std::size_t i = 0; i < k; ++i) {
        const double* p = rows + 3 * i;
        if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2]))
            throw std::invalid_argument("density_labels: non-finite value in rows");
        if (weights[i] < 0) throw std::invalid_argument("density_labels: negative weight");
    }
}

// Cell-level bounds settle whole cells in sparse and in very dense regions:
// marks the rows of cells that are surely core, and returns the cells left
// for a row-level engine.
std::vector<uint32_t> settle_cells(const CellGrid& grid, const EpsThresholds& eps, int64_t min_samples,
                                   std::vector<uint8_t>& is_core) {
    std::vector<uint32_t> open_cells;
    for (uint32_t c = 0; c < grid.cell_count(); ++c) {
        int64_t upper = 0, lower = 0;
        for (const CellOffset& o : grid.offsets()) {
            const uint32_t b = grid.neighbour(c, o);
            if (b == kNoId) continue;
            if (box_box_min(grid.cell_box(c), grid.cell_box(b)) > eps.skip_above) continue;
            upper = saturating_add(upper, grid.cell_weight(b));
            if (box_box_max(grid.cell_box(c), grid.cell_box(b)) <= eps.accept_below)
                lower = saturating_add(lower, grid.cell_weight(b));
        }
        if (upper < min_samples) continue;
        if (lower >= min_samples) {
            std::fill(is_core.begin() + grid.cell_begin(c), is_core.begin() + grid.cell_end(c), 1);
            continue;
        }
        open_cells.push_back(c);
    }
    return open_cells;
}

// Joins the core rows of cells a and b that are within eps of each other.
void join_cells(const EpsThresholds& eps, const CoreRows& core, uint32_t a, uint32_t b, UnionFind& sets) {
    const bool both = core.coherent[a] && core.coherent[b];
    const uint32_t a0 = core.start[a], a1 = core.start[a + 1];
    const uint32_t b0 = core.start[b], b1 = core.start[b + 1];
    if (both && sets.find(a0) == sets.find(b0)) return;
    if (box_box_min(core.cell_box[a], core.cell_box[b]) > eps.skip_above) return;
    if (both && box_box_max(core.cell_box[a], core.cell_box[b]) <= eps.accept_below) {
        sets.unite(a0, b0);
        return;
    }
    for (uint32_t i = a0; i < a1; ++i) {
        const double* p = core.point(i);
        if (point_box_min(p, core.cell_box[b]) > eps.skip_above) continue;
        if (core.coherent[b] && point_box_max(p, core.cell_box[b]) <= eps.accept_below) {
            sets.unite(i, b0);
            if (both) return;
            continue;
        }
        for (uint32_t j = b0; j < b1; ++j) {
            if (!both && sets.find(i) == sets.find(j)) continue;
            if (eps.within(p, core.point(j))) {
                sets.unite(i, j);
                if (both) return;
                if (core.coherent[b]) break;  // the rest of b is already joined to i
            }
        }
    }
}

// Gathers the core rows by cell and joins those within eps of each other.
UnionFind connect_core(const CellGrid& grid, const EpsThresholds& eps, CoreRows& core) {
    const std::size_t n_cells = grid.cell_count();
    core.start.assign(n_cells + 1, 0);
    for (uint32_t c = 0; c < n_cells; ++c) {
        uint32_t in_cell = 0;
        for (uint32_t p = grid.cell_begin(c); p < grid.cell_end(c); ++p) in_cell += core.is_core[p];
        core.start[c + 1] = core.start[c] + in_cell;
    }
    const std::size_t n_core = core.start[n_cells];
    core.position.resize(n_core);
    core.points.resize(3 * n_core);
    core.cell_box.assign(n_cells, empty_box());
    core.coherent.assign(n_cells, 0);
    for (uint32_t c = 0; c < n_cells; ++c) {
        uint32_t out = core.start[c];
        for (uint32_t p = grid.cell_begin(c); p < grid.cell_end(c); ++p) {
            if (!core.is_core[p]) continue;
            core.position[out] = p;
            std::memcpy(&core.points[3 * static_cast<std::size_t>(out)], grid.point(p), 3 * sizeof(double));
            extend(core.cell_box[c], grid.point(p));
            ++out;
        }
        // All core rows of a cell whose box spans less than eps are mutually
        // within eps, hence one set.
        if (core.start[c + 1] > core.start[c])
            core.coherent[c] = box_box_max(core.cell_box[c], core.cell_box[c]) <= eps.accept_below;
    }

    UnionFind sets(n_core);
    for (std::size_t c = 0; c < n_cells; ++c) {
        const uint32_t b = core.start[c], e = core.start[c + 1];
        if (core.coherent[c]) {
            for (uint32_t i = b + 1; i < e; ++i) sets.attach(i, b);
            continue;
        }
        for (uint32_t i = b; i < e; ++i)
            for (uint32_t j = i + 1; j < e; ++j)
                if (sets.find(i) != sets.find(j) && eps.within(core.point(i), core.point(j))) sets.unite(i, j);
    }

    // Each unordered cell pair once: offsets that are lexicographically
    // positive.
    for (const CellOffset& o : grid.offsets()) {
        const bool positive =
            o.delta[0] > 0 || (o.delta[0] == 0 && (o.delta[1] > 0 || (o.delta[1] == 0 && o.delta[2] > 0)));
        if (!positive) continue;
        for (uint32_t a = 0; a < n_cells; ++a) {
            if (core.start[a + 1] == core.start[a]) continue;
            const uint32_t b = grid.neighbour(a, o);
            if (b == kNoId || core.start[b + 1] == core.start[b]) continue;
            join_cells(eps, core, a, b, sets);
        }
    }
    return sets;
}

// Clusters are numbered by their lowest input row, the order in which the
// library's scan meets them; core rows take their cluster's number.
void number_clusters(const CellGrid& grid, UnionFind& sets, CoreRows& core, std::vector<int64_t>& labels) {
    const auto n_core = static_cast<uint32_t>(core.position.size());
    std::vector<uint32_t> lowest(n_core, kNoId);
    for (uint32_t i = 0; i < n_core; ++i) {
        const uint32_t root = sets.find(i);
        lowest[root] = std::min(lowest[root], grid.input_row(core.position[i]));
    }
    std::vector<std::pair<uint32_t, uint32_t>> roots;  // (lowest input row, root)
    for (uint32_t i = 0; i < n_core; ++i)
        if (sets.is_root(i)) roots.emplace_back(lowest[i], i);
    std::sort(roots.begin(), roots.end());
    std::vector<uint32_t> number(n_core, 0);
    for (std::size_t c = 0; c < roots.size(); ++c) number[roots[c].second] = static_cast<uint32_t>(c);

    core.label.resize(n_core);
    for (uint32_t i = 0; i < n_core; ++i) {
        core.label[i] = number[sets.find(i)];
        labels[grid.input_row(core.position[i])] = core.label[i];
    }
}

}  // namespace

std::vector<int64_t> density_labels(const double* rows, const int64_t* weights, std::size_t k, double eps,
                                    int64_t min_samples) {
    if (!(eps > 0.0) || !std::isfinite(eps))
        throw std::invalid_argument("density_labels: eps must be positive and finite");
    if (k == 0) return {};
    if (rows == nullptr || weights == nullptr) throw std::invalid_argument("density_labels: null input");
    if (k >= kNoId) throw std::length_error("density_labels: too many rows");
    check_rows(rows, weights, k);

    const EpsThresholds thresholds(eps);
    const CellGrid grid(rows, weights, k, eps);
    CoreRows core;
    core.is_core.assign(k, 0);
    const std::vector<uint32_t> open_cells = settle_cells(grid, thresholds, min_samples, core.is_core);
    // The lattice index only pays off when rows are left open.
    std::unique_ptr<CoreEngine> engine;
    if (!open_cells.empty()) engine = LatticeEngine::build(grid, thresholds, min_samples);
    if (!engine) engine = std::make_unique<TreeEngine>(grid, thresholds, min_samples);
    if (!open_cells.empty()) engine->mark_core(open_cells, core.is_core);

    UnionFind sets = connect_core(grid, thresholds, core);
    std::vector<int64_t> labels(k, -1);
    number_clusters(grid, sets, core, labels);
    engine->label_borders(core, labels);
    return labels;
}

}  // namespace chromalens::kernels
