// Building the lattice engine's line index: fitting each column to an evenly
// spaced lattice, the run widths of neighbour lines, and per-line prefix
// sums of weights.
#include <algorithm>
#include <cmath>
#include <limits>

#include "kernels/core_lattice.hpp"

namespace chromalens::kernels {
namespace {

// Limits of the index: values per axis, (u, v) table cells, prefix entries
// (int64), and neighbour line offsets.
constexpr std::size_t kMaxLatticeExtent = 4096;
constexpr uint64_t kMaxLatticeCells = uint64_t{1} << 24;
constexpr uint64_t kMaxLatticePrefix = uint64_t{1} << 25;
constexpr double kMaxLineOffsets = 1 << 20;
// Values must sit on their lattice to this fraction of min(step, eps); the
// offsets within kLatticeMargin (relative) of eps are then the only ones
// whose pairs can round to either side.
constexpr double kLatticeTolerance = 1e-9;
constexpr double kLatticeMargin = 1e-6;

}  // namespace

std::unique_ptr<LatticeEngine> LatticeEngine::build(const CellGrid& grid, const EpsThresholds& eps,
                                                    int64_t min_samples) {
    std::unique_ptr<LatticeEngine> engine(new LatticeEngine(grid, eps, min_samples));
    if (!engine->index_lines()) engine.reset();
    return engine;
}

bool LatticeEngine::fit_axis(int axis, LatticeAxis& out) const {
    const std::size_t k = grid_.row_count();
    KeyIdMap seen(1 << 10);
    std::vector<double> values;
    for (uint32_t i = 0; i < k; ++i) {
        const double x = grid_.point(i)[axis];
        if (seen.insert(canonical_bits(x), static_cast<uint32_t>(values.size())) == values.size()) {
            values.push_back(x == 0.0 ? 0.0 : x);
            if (values.size() > kMaxLatticeExtent) return false;
        }
    }
    std::sort(values.begin(), values.end());
    out.origin = values[0];
    out.step = 1.0;
    out.extent = 1;
    std::vector<uint32_t> index(values.size(), 0);
    if (values.size() > 1) {
        double step = values[1] - values[0];
        for (std::size_t i = 2; i < values.size(); ++i) step = std::min(step, values[i] - values[i - 1]);
        const double span = values.back() - values[0];
        const double last = std::round(span / step);
        if (!(step > 0.0) || !(last < kMaxLatticeExtent)) return false;
        out.step = span / last;
        double residual = 0, magnitude = 0;
        for (std::size_t i = 0; i < values.size(); ++i) {
            const double t = std::round((values[i] - values[0]) / out.step);
            residual = std::max(residual, std::fabs(values[i] - (values[0] + t * out.step)));
            magnitude = std::max(magnitude, std::fabs(values[i]));
            index[i] = static_cast<uint32_t>(t);
            if (i > 0 && index[i] <= index[i - 1]) return false;
        }
        // Bound the true residual: add the rounding of its evaluation.
        residual += 4.0 * std::numeric_limits<double>::epsilon() * magnitude;
        if (!(residual <= kLatticeTolerance * std::min(out.step, eps_.eps))) return false;
        out.extent = index.back() + 1;
    }
    out.index = KeyIdMap(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) out.index.insert(canonical_bits(values[i]), index[i]);
    return true;
}

// Neighbour line offsets (du, dv) of a span x span block of lines, relative
// to its first line, nearest the block's centre first; only_reachable keeps
// those whose run can hold a row within eps.
std::vector<std::pair<int32_t, int32_t>> LatticeEngine::lines_by_distance(int64_t span, bool only_reachable) const {
    const double step_u = axes_[u_axis_].step, step_v = axes_[v_axis_].step;
    const double centre = 0.5 * static_cast<double>(span - 1);
    std::vector<std::pair<double, std::pair<int32_t, int32_t>>> by_distance;
    for (int64_t du = -reach_u_; du < span + reach_u_; ++du)
        for (int64_t dv = -reach_v_; dv < span + reach_v_; ++dv) {
            if (only_reachable && run_width(du, dv).edge < 0) continue;
            const double gap_u = (static_cast<double>(du) - centre) * step_u;
            const double gap_v = (static_cast<double>(dv) - centre) * step_v;
            by_distance.push_back(
                {gap_u * gap_u + gap_v * gap_v, {static_cast<int32_t>(du), static_cast<int32_t>(dv)}});
        }
    std::sort(by_distance.begin(), by_distance.end());
    std::vector<std::pair<int32_t, int32_t>> offsets;
    offsets.reserve(by_distance.size());
    for (const auto& entry : by_distance) offsets.push_back(entry.second);
    return offsets;
}

bool LatticeEngine::index_lines() {
    const std::size_t k = grid_.row_count();
    int64_t total = 0;  // prefix sums need the total weight to fit
    for (uint32_t i = 0; i < k; ++i) {
        if (grid_.weight(i) > kMaxWeight - total) return false;
        total += grid_.weight(i);
    }
    for (int j = 0; j < 3; ++j)
        if (!fit_axis(j, axes_[j])) return false;
    // Sweep along the longest axis; lines are indexed by the other two.
    sweep_axis_ = 0;
    for (int j = 1; j < 3; ++j)
        if (axes_[j].extent > axes_[sweep_axis_].extent) sweep_axis_ = j;
    u_axis_ = sweep_axis_ == 0 ? 1 : 0;
    v_axis_ = sweep_axis_ == 2 ? 1 : 2;
    const uint64_t n_sweep = axes_[sweep_axis_].extent, n_u = axes_[u_axis_].extent, n_v = axes_[v_axis_].extent;
    if (n_u * n_v > kMaxLatticeCells) return false;

    // Offsets (du, dv) whose lines can hold a pair within the tie band.
    const double band = kLatticeMargin * eps_.squared;
    const double inside_limit = eps_.squared - band, edge_limit = eps_.tie_high + band;
    const double step_sweep = axes_[sweep_axis_].step, step_u = axes_[u_axis_].step, step_v = axes_[v_axis_].step;
    auto reach = [&](double step, uint64_t extent) {
        return static_cast<int64_t>(std::min<double>(std::floor(eps_.eps * (1.0 + 1e-3) / step) + 1.0,
                                                     static_cast<double>(extent) - 1.0));
    };
    const int64_t reach_sweep = reach(step_sweep, n_sweep);
    reach_u_ = reach(step_u, n_u);
    reach_v_ = reach(step_v, n_v);
    if (static_cast<double>(2 * reach_u_ + 1) * static_cast<double>(2 * reach_v_ + 1) > kMaxLineOffsets)
        return false;
    run_width_.assign(static_cast<std::size_t>((2 * reach_u_ + 1) * (2 * reach_v_ + 1)), RunWidth{});
    for (int64_t du = -reach_u_; du <= reach_u_; ++du)
        for (int64_t dv = -reach_v_; dv <= reach_v_; ++dv) {
            const double gap_u = static_cast<double>(du) * step_u, gap_v = static_cast<double>(dv) * step_v;
            const double gap = gap_u * gap_u + gap_v * gap_v;
            if (gap > edge_limit) continue;
            auto distance = [&](int64_t da) {
                const double gap_sweep = static_cast<double>(da) * step_sweep;
                return gap_sweep * gap_sweep + gap;
            };
            // Largest da with distance(da) <= limit: a square-root guess,
            // then exact adjustment (distance is increasing in da).
            auto widest = [&](double limit) -> int64_t {
                if (gap > limit) return -1;
                int64_t da = std::min<int64_t>(reach_sweep, static_cast<int64_t>(std::sqrt(limit - gap) / step_sweep));
                while (da < reach_sweep && distance(da + 1) <= limit) ++da;
                while (da > 0 && distance(da) > limit) --da;
                return da;
            };
            RunWidth& run = run_width_[run_index(du, dv)];
            run.inside = static_cast<int32_t>(widest(inside_limit));
            run.edge = static_cast<int32_t>(widest(edge_limit));
        }
    block_order_ = lines_by_distance(kBlock, false);

    // Lattice indices of every row, lines in (u, v) order.
    lattice_index_.resize(3 * k);
    for (uint32_t i = 0; i < k; ++i)
        for (int j = 0; j < 3; ++j) {
            const double x = grid_.point(i)[j];
            lattice_index_[3 * i + j] = axes_[j].index.find(canonical_bits(x == 0.0 ? 0.0 : x));
        }
    line_of_uv_.assign(n_u * n_v, kNoId);
    for (std::size_t i = 0; i < k; ++i)
        line_of_uv_[lattice_index_[3 * i + u_axis_] * n_v + lattice_index_[3 * i + v_axis_]] = 0;
    uint32_t n_lines = 0;
    for (auto& id : line_of_uv_)
        if (id != kNoId) id = n_lines++;

    line_start_.assign(n_lines + 1, 0);
    std::vector<uint32_t> line_of_row(k);
    for (std::size_t i = 0; i < k; ++i) {
        line_of_row[i] = line_of_uv_[lattice_index_[3 * i + u_axis_] * n_v + lattice_index_[3 * i + v_axis_]];
        ++line_start_[line_of_row[i] + 1];
    }
    for (uint32_t l = 0; l < n_lines; ++l) line_start_[l + 1] += line_start_[l];
    line_rows_.resize(k);
    {
        std::vector<uint32_t> fill(line_start_.begin(), line_start_.end() - 1);
        for (uint32_t i = 0; i < k; ++i) line_rows_[fill[line_of_row[i]]++] = i;
    }
    line_sweep_index_.resize(k);
    line_pad_ = static_cast<uint64_t>(reach_sweep) + 1;
    line_stride_ = n_sweep + 1 + 2 * line_pad_;
    if (static_cast<uint64_t>(n_lines) * line_stride_ > kMaxLatticePrefix) return false;
    line_prefix_.assign(static_cast<std::size_t>(n_lines) * line_stride_, 0);
    for (uint32_t l = 0; l < n_lines; ++l) {
        std::sort(line_rows_.begin() + line_start_[l], line_rows_.begin() + line_start_[l + 1],
                  [&](uint32_t x, uint32_t y) {
                      return lattice_index_[3 * x + sweep_axis_] < lattice_index_[3 * y + sweep_axis_];
                  });
        int64_t* prefix = &line_prefix_[static_cast<std::size_t>(l) * line_stride_ + line_pad_];
        for (uint32_t i = line_start_[l]; i < line_start_[l + 1]; ++i) {
            line_sweep_index_[i] = lattice_index_[3 * line_rows_[i] + sweep_axis_];
            prefix[line_sweep_index_[i] + 1] += grid_.weight(line_rows_[i]);
        }
        for (uint64_t t = 0; t < n_sweep + line_pad_; ++t) prefix[t + 1] += prefix[t];
    }
    return true;
}

}  // namespace chromalens::kernels
