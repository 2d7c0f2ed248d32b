// Exact grid-based DBSCAN over weighted distinct rows; see density_kernel.hpp.
//
// Every "within eps" decision either evaluates the pair distance exactly as
// the library's KD-tree leaf test does, or follows from a box bound that is
// provably on the same side for every pair it covers (rounding is monotone,
// so a bound computed from the extreme coordinates with the same operation
// order brackets every member pair).  Bounds are additionally kept a relative
// 1e-9 away from the threshold so anything borderline is tested point by
// point.

#include "density_kernel.hpp"

#if defined(__FAST_MATH__)
#error "density_kernel.cpp needs IEEE rounding: build it without -ffast-math"
#endif

// A fused multiply-add would round d0*d0 + d1*d1 differently from the library.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>
#include <chrono>//DBG
#include <cstdio>//DBG

namespace chromalens::kernels {
namespace {

constexpr uint32_t kNoId = std::numeric_limits<uint32_t>::max();

inline uint64_t mix64(uint64_t x) {
    // splitmix64 finaliser: cheap and spreads low-entropy bit patterns
    // (small integers, repeated exponents) over the whole word.
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

inline uint64_t canonical_bits(double v) {
    if (v == 0.0) v = 0.0;  // -0.0 and 0.0 are the same colour
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

inline uint64_t hash_row(uint64_t b0, uint64_t b1, uint64_t b2) {
    return mix64(b0 ^ mix64(b1 ^ mix64(b2 + 0x9e3779b97f4a7c15ULL)));
}

inline std::size_t next_pow2(std::size_t v) {
    std::size_t p = 1;
    while (p < v) p <<= 1;
    return p;
}

inline int64_t sat_add(int64_t a, int64_t b) {  // both non-negative
    return b > std::numeric_limits<int64_t>::max() - a
               ? std::numeric_limits<int64_t>::max()
               : a + b;
}

}  // namespace

// ===========================================================================
// Distinct rows
// ===========================================================================

DistinctRows distinct_rows(const double* data, std::size_t n,
                           std::ptrdiff_t row_stride, std::ptrdiff_t col_stride) {
    DistinctRows out;
    if (n == 0) return out;
    if (data == nullptr) throw std::invalid_argument("distinct_rows: null data");
    if (n >= kNoId) throw std::length_error("distinct_rows: too many rows");

    out.inverse.resize(n);
    // Slot = (hash tag << 32) | (id + 1); 0 marks an empty slot.  The tag
    // rejects most mismatches without touching the stored row.
    std::size_t cap = 1 << 12;
    std::vector<uint64_t> slots(cap, 0);
    std::size_t mask = cap - 1;

    auto stored_bits = [&](uint32_t id, int j) {
        uint64_t b;
        std::memcpy(&b, &out.rows[3 * static_cast<std::size_t>(id) + j], sizeof b);
        return b;
    };
    auto grow = [&]() {
        cap <<= 1;
        mask = cap - 1;
        std::vector<uint64_t>(cap, 0).swap(slots);
        const std::size_t k = out.counts.size();
        for (std::size_t id = 0; id < k; ++id) {
            const auto i = static_cast<uint32_t>(id);
            const uint64_t h = hash_row(stored_bits(i, 0), stored_bits(i, 1), stored_bits(i, 2));
            std::size_t pos = h & mask;
            while (slots[pos] != 0) pos = (pos + 1) & mask;
            slots[pos] = ((h >> 32) << 32) | (id + 1);
        }
    };

    for (std::size_t i = 0; i < n; ++i) {
        const double* r = data + static_cast<std::ptrdiff_t>(i) * row_stride;
        const uint64_t b0 = canonical_bits(r[0]);
        const uint64_t b1 = canonical_bits(r[col_stride]);
        const uint64_t b2 = canonical_bits(r[2 * col_stride]);
        const uint64_t h = hash_row(b0, b1, b2);
        const uint64_t tag = h >> 32;
        std::size_t pos = h & mask;
        for (;;) {
            const uint64_t s = slots[pos];
            if (s == 0) {
                const std::size_t id = out.counts.size();
                double v[3];
                std::memcpy(&v[0], &b0, 8);
                std::memcpy(&v[1], &b1, 8);
                std::memcpy(&v[2], &b2, 8);
                out.rows.insert(out.rows.end(), v, v + 3);
                out.counts.push_back(1);
                out.inverse[i] = static_cast<int64_t>(id);
                slots[pos] = (tag << 32) | (id + 1);
                if (2 * (id + 1) > cap) grow();
                break;
            }
            if ((s >> 32) == tag) {
                const auto id = static_cast<uint32_t>((s & 0xffffffffULL) - 1);
                if (stored_bits(id, 0) == b0 && stored_bits(id, 1) == b1 &&
                    stored_bits(id, 2) == b2) {
                    ++out.counts[id];
                    out.inverse[i] = id;
                    break;
                }
            }
            pos = (pos + 1) & mask;
        }
    }
    return out;
}

// ===========================================================================
// Density clustering
// ===========================================================================

namespace {

// Largest point-pair distance a cell may span along one axis, as a fraction
// of eps: pairs within eps are at most kReach cells apart per axis.
#ifndef CHROMALENS_DENSITY_REACH
#define CHROMALENS_DENSITY_REACH 2
#endif
constexpr int kReach = CHROMALENS_DENSITY_REACH;
// Cells per axis are capped so cell coordinates pack into 21 bits each and
// the scaled coordinate keeps ~30 bits of fractional headroom.
constexpr int kAxisBits = 21;
constexpr double kMaxAxisCells = static_cast<double>(1 << 20);
constexpr double kMargin = 1e-9;

// Reduced (squared) distance in the library's evaluation order.
inline double pair_rdist(const double* a, const double* b) {
    double t = a[0] - b[0];
    double d = t * t;
    t = a[1] - b[1];
    d += t * t;
    t = a[2] - b[2];
    d += t * t;
    return d;
}

struct Box {
    double lo[3];
    double hi[3];
};

inline Box empty_box() {
    const double inf = std::numeric_limits<double>::infinity();
    return Box{{inf, inf, inf}, {-inf, -inf, -inf}};
}

inline void extend(Box& b, const double* p) {
    for (int j = 0; j < 3; ++j) {
        b.lo[j] = std::min(b.lo[j], p[j]);
        b.hi[j] = std::max(b.hi[j], p[j]);
    }
}

// Lower bound of pair_rdist(p, q) over q in the box.
inline double point_box_min(const double* p, const Box& b) {
    double d = 0.0;
    for (int j = 0; j < 3; ++j) {
        double g = 0.0;
        if (p[j] < b.lo[j]) g = b.lo[j] - p[j];
        else if (p[j] > b.hi[j]) g = p[j] - b.hi[j];
        d += g * g;
    }
    return d;
}

// Upper bound of pair_rdist(p, q) over q in the box.
inline double point_box_max(const double* p, const Box& b) {
    double d = 0.0;
    for (int j = 0; j < 3; ++j) {
        const double g = std::max(std::fabs(p[j] - b.lo[j]), std::fabs(p[j] - b.hi[j]));
        d += g * g;
    }
    return d;
}

inline double box_box_min(const Box& a, const Box& b) {
    double d = 0.0;
    for (int j = 0; j < 3; ++j) {
        double g = 0.0;
        if (a.hi[j] < b.lo[j]) g = b.lo[j] - a.hi[j];
        else if (b.hi[j] < a.lo[j]) g = a.lo[j] - b.hi[j];
        d += g * g;
    }
    return d;
}

inline double box_box_max(const Box& a, const Box& b) {
    double d = 0.0;
    for (int j = 0; j < 3; ++j) {
        const double g = std::max(std::fabs(a.hi[j] - b.lo[j]), std::fabs(b.hi[j] - a.lo[j]));
        d += g * g;
    }
    return d;
}

// Open-addressing map from packed cell coordinates to dense cell ids.
class CellMap {
public:
    explicit CellMap(std::size_t expected) {
        const std::size_t cap = next_pow2(std::max<std::size_t>(16, 2 * expected));
        keys_.assign(cap, kEmpty);
        vals_.assign(cap, kNoId);
        mask_ = cap - 1;
    }
    // Returns the id of key, inserting it with id `fresh` when absent.
    uint32_t insert(uint64_t key, uint32_t fresh) {
        std::size_t pos = mix64(key) & mask_;
        for (;;) {
            if (keys_[pos] == key) return vals_[pos];
            if (keys_[pos] == kEmpty) {
                if (2 * (size_ + 1) > keys_.size()) {
                    grow();
                    return insert(key, fresh);
                }
                keys_[pos] = key;
                vals_[pos] = fresh;
                ++size_;
                return fresh;
            }
            pos = (pos + 1) & mask_;
        }
    }
    uint32_t find(uint64_t key) const {
        std::size_t pos = mix64(key) & mask_;
        for (;;) {
            if (keys_[pos] == key) return vals_[pos];
            if (keys_[pos] == kEmpty) return kNoId;
            pos = (pos + 1) & mask_;
        }
    }
    // Rewrites every stored id through f.
    template <class F>
    void remap(F f) {
        for (std::size_t i = 0; i < keys_.size(); ++i)
            if (keys_[i] != kEmpty) vals_[i] = f(vals_[i]);
    }

private:
    static constexpr uint64_t kEmpty = ~uint64_t{0};  // packed keys stay below 2^63
    void grow() {
        std::vector<uint64_t> keys(std::move(keys_));
        std::vector<uint32_t> vals(std::move(vals_));
        keys_.assign(2 * keys.size(), kEmpty);
        vals_.assign(2 * keys.size(), kNoId);
        mask_ = keys_.size() - 1;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (keys[i] == kEmpty) continue;
            std::size_t pos = mix64(keys[i]) & mask_;
            while (keys_[pos] != kEmpty) pos = (pos + 1) & mask_;
            keys_[pos] = keys[i];
            vals_[pos] = vals[i];
        }
    }
    std::vector<uint64_t> keys_;
    std::vector<uint32_t> vals_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
};

struct UnionFind {
    std::vector<uint32_t> parent;
    explicit UnionFind(std::size_t n) : parent(n) {
        for (std::size_t i = 0; i < n; ++i) parent[i] = static_cast<uint32_t>(i);
    }
    uint32_t find(uint32_t x) {
        while (parent[x] != x) {
            parent[x] = parent[parent[x]];  // path halving
            x = parent[x];
        }
        return x;
    }
    void unite(uint32_t a, uint32_t b) {
        a = find(a);
        b = find(b);
        if (a == b) return;
        if (a > b) std::swap(a, b);
        parent[b] = a;
    }
};

struct Offset {
    int d[3];
    int gap2;  // squared lower bound of the gap between the two cells, in cells
};

class DensityClusterer {
public:
    DensityClusterer(const double* rows, const int64_t* weights, std::size_t k,
                     double eps, int64_t min_samples)
        : k_(k), min_samples_(min_samples) {
        r2_ = eps * eps;
        // sqrt(t) <= eps for t slightly above eps*eps: the library's
        // whole-node acceptance can take such pairs, its leaf test cannot.
        tie_hi_ = r2_;
        for (int i = 0; i < 8; ++i) {
            const double next = std::nextafter(tie_hi_, std::numeric_limits<double>::infinity());
            if (!(std::sqrt(next) <= eps)) break;
            tie_hi_ = next;
        }
        skip_above_ = tie_hi_ * (1.0 + kMargin);
        accept_below_ = r2_ * (1.0 - kMargin);
        build_grid(rows, weights, eps);
    }

    std::vector<int64_t> run(DensityStats* stats) {
        auto t0 = std::chrono::steady_clock::now();
        auto lap = [&](const char* what) { auto t1 = std::chrono::steady_clock::now(); std::fprintf(stderr, "%s %.3fs tests=%llu\n", what, std::chrono::duration<double>(t1 - t0).count(), (unsigned long long)tests_); t0 = t1; };
        find_core(); lap("core");
        connect_core(); lap("connect");
        std::vector<int64_t> labels(k_, -1);
        number_clusters(labels);
        label_border(labels); lap("border");
        if (stats) {
            stats->cells = cell_start_.size() - 1;
            stats->core_points = core_pos_.size();
            stats->clusters = n_clusters_;
            stats->distance_tests = tests_;
            stats->boundary_ties = ties_;
        }
        return labels;
    }

private:
    // -- grid ---------------------------------------------------------------

    void build_grid(const double* rows, const int64_t* weights, double eps) {
        Box all = empty_box();
        for (std::size_t i = 0; i < k_; ++i) {
            const double* p = rows + 3 * i;
            if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2]))
                throw std::invalid_argument("density_labels: non-finite value in rows");
            if (weights[i] < 0) throw std::invalid_argument("density_labels: negative weight");
            extend(all, p);
        }

        // Cells are a little wider than eps / kReach.  Coordinates are halved
        // first so the extent of any finite data stays finite.
        const double side_half = 0.5 * (eps / kReach) * (1.0 + 1e-5);
        for (int j = 0; j < 3; ++j) {
            origin_half_[j] = 0.5 * all.lo[j];
            const double extent_half = 0.5 * all.hi[j] - origin_half_[j];
            step_half_[j] = std::max(side_half, extent_half / kMaxAxisCells);
            axis_cells_[j] = static_cast<int64_t>(std::floor(extent_half / step_half_[j])) + 1;
        }
        // Offsets whose cells cannot hold a pair within eps are dropped; a
        // cell is at least side_half * 2 wide on every axis.
        const double reach = eps / (2.0 * side_half);
        const double reach2 = reach * reach * (1.0 + 1e-6);
        for (int a = -kReach; a <= kReach; ++a)
            for (int b = -kReach; b <= kReach; ++b)
                for (int c = -kReach; c <= kReach; ++c) {
                    int g2 = 0;
                    for (int v : {a, b, c}) {
                        const int g = std::max(std::abs(v) - 1, 0);
                        g2 += g * g;
                    }
                    if (g2 <= reach2) offsets_.push_back(Offset{{a, b, c}, g2});
                }
        // Nearest offsets first: joins made through them let later, farther
        // cell pairs be skipped as already connected.
        std::stable_sort(offsets_.begin(), offsets_.end(),
                         [](const Offset& x, const Offset& y) { return x.gap2 < y.gap2; });

        std::vector<uint64_t> point_key(k_);
        CellMap first_seen(std::min<std::size_t>(k_, 1 << 16));
        std::vector<uint64_t> cell_keys;
        for (std::size_t i = 0; i < k_; ++i) {
            const uint64_t key = cell_key(rows + 3 * i);
            point_key[i] = key;
            if (first_seen.insert(key, static_cast<uint32_t>(cell_keys.size())) == cell_keys.size())
                cell_keys.push_back(key);
        }
        // Cells in key order keep neighbouring cells close in memory.
        const std::size_t n_cells = cell_keys.size();
        std::vector<uint32_t> order(n_cells);
        for (std::size_t c = 0; c < n_cells; ++c) order[c] = static_cast<uint32_t>(c);
        std::sort(order.begin(), order.end(),
                  [&](uint32_t x, uint32_t y) { return cell_keys[x] < cell_keys[y]; });
        std::vector<uint32_t> rank(n_cells);
        cell_key_.resize(n_cells);
        for (std::size_t r = 0; r < n_cells; ++r) {
            rank[order[r]] = static_cast<uint32_t>(r);
            cell_key_[r] = cell_keys[order[r]];
        }
        first_seen.remap([&](uint32_t id) { return rank[id]; });
        cells_ = std::move(first_seen);

        // Stable counting sort of the rows by cell.
        std::vector<uint32_t> point_cell(k_);
        cell_start_.assign(n_cells + 1, 0);
        for (std::size_t i = 0; i < k_; ++i) {
            point_cell[i] = cells_.find(point_key[i]);
            ++cell_start_[point_cell[i] + 1];
        }
        std::vector<uint64_t>().swap(point_key);
        for (std::size_t c = 0; c < n_cells; ++c) cell_start_[c + 1] += cell_start_[c];
        std::vector<uint32_t> fill(cell_start_.begin(), cell_start_.end() - 1);
        pts_.resize(3 * k_);
        wts_.resize(k_);
        orig_.resize(k_);
        for (std::size_t i = 0; i < k_; ++i) {
            const uint32_t pos = fill[point_cell[i]]++;
            std::memcpy(&pts_[3 * pos], rows + 3 * i, 3 * sizeof(double));
            wts_[pos] = weights[i];
            orig_[pos] = static_cast<uint32_t>(i);
        }
        cell_box_.assign(n_cells, empty_box());
        cell_weight_.assign(n_cells, 0);
        for (std::size_t c = 0; c < n_cells; ++c)
            for (uint32_t p = cell_start_[c]; p < cell_start_[c + 1]; ++p) {
                extend(cell_box_[c], &pts_[3 * p]);
                cell_weight_[c] = sat_add(cell_weight_[c], wts_[p]);
            }
    }

    uint64_t cell_key(const double* p) const {
        uint64_t key = 0;
        for (int j = 0; j < 3; ++j) {
            const double u = std::floor((0.5 * p[j] - origin_half_[j]) / step_half_[j]);
            int64_t c = static_cast<int64_t>(u);
            c = std::min<int64_t>(std::max<int64_t>(c, 0), axis_cells_[j] - 1);
            key |= static_cast<uint64_t>(c) << (kAxisBits * j);
        }
        return key;
    }

    // Neighbour of cell c at offset o, or kNoId when out of range or empty.
    uint32_t neighbour(uint32_t c, const Offset& o) const {
        const uint64_t key = cell_key_[c];
        const uint64_t field = (uint64_t{1} << kAxisBits) - 1;
        uint64_t out = 0;
        for (int j = 0; j < 3; ++j) {
            const int64_t v = static_cast<int64_t>((key >> (kAxisBits * j)) & field) + o.d[j];
            if (v < 0 || v >= axis_cells_[j]) return kNoId;
            out |= static_cast<uint64_t>(v) << (kAxisBits * j);
        }
        return cells_.find(out);
    }

    // Classifies one tested pair; true when within eps.
    bool within(const double* p, const double* q) {
        ++tests_;
        const double d = pair_rdist(p, q);
        if (d <= r2_) return true;
        if (d <= tie_hi_) ++ties_;
        return false;
    }

    // -- core points ----------------------------------------------------------

    void find_core() {
        const std::size_t n_cells = cell_start_.size() - 1;
        core_.assign(k_, 0);
        std::vector<uint32_t> cand, tested;
        for (uint32_t c = 0; c < n_cells; ++c) {
            cand.clear();
            int64_t upper = 0, lower = 0;
            for (const Offset& o : offsets_) {
                const uint32_t b = neighbour(c, o);
                if (b == kNoId) continue;
                if (box_box_min(cell_box_[c], cell_box_[b]) > skip_above_) continue;
                cand.push_back(b);
                upper = sat_add(upper, cell_weight_[b]);
                if (box_box_max(cell_box_[c], cell_box_[b]) <= accept_below_)
                    lower = sat_add(lower, cell_weight_[b]);
            }
            const uint32_t begin = cell_start_[c], end = cell_start_[c + 1];
            if (upper < min_samples_) continue;
            if (lower >= min_samples_) {
                std::fill(core_.begin() + begin, core_.begin() + end, 1);
                continue;
            }
            for (uint32_t p = begin; p < end; ++p)
                core_[p] = point_is_core(&pts_[3 * p], cand, tested) ? 1 : 0;
        }
    }

    bool point_is_core(const double* p, const std::vector<uint32_t>& cand,
                       std::vector<uint32_t>& tested) {
        int64_t sum = 0, rest = 0;
        tested.clear();
        for (uint32_t b : cand) {
            if (point_box_min(p, cell_box_[b]) > skip_above_) continue;
            if (point_box_max(p, cell_box_[b]) <= accept_below_) {
                sum = sat_add(sum, cell_weight_[b]);
                if (sum >= min_samples_) return true;
            } else {
                tested.push_back(b);
                rest = sat_add(rest, cell_weight_[b]);
            }
        }
        if (sat_add(sum, rest) < min_samples_) return false;
        for (uint32_t b : tested) {
            for (uint32_t q = cell_start_[b]; q < cell_start_[b + 1]; ++q) {
                const int64_t w = wts_[q];
                // rest only bounds what is still untested; saturation keeps
                // it an upper bound.
                rest = rest == std::numeric_limits<int64_t>::max() ? rest : rest - w;
                if (within(p, &pts_[3 * q])) {
                    sum = sat_add(sum, w);
                    if (sum >= min_samples_) return true;
                } else if (sat_add(sum, rest) < min_samples_) {
                    return false;
                }
            }
        }
        return sum >= min_samples_;
    }

    // -- core connectivity ----------------------------------------------------

    void connect_core() {
        const std::size_t n_cells = cell_start_.size() - 1;
        core_start_.assign(n_cells + 1, 0);
        for (std::size_t c = 0; c < n_cells; ++c) {
            uint32_t m = 0;
            for (uint32_t p = cell_start_[c]; p < cell_start_[c + 1]; ++p) m += core_[p];
            core_start_[c + 1] = core_start_[c] + m;
        }
        const std::size_t n_core = core_start_[n_cells];
        core_pos_.resize(n_core);
        core_pts_.resize(3 * n_core);
        core_box_.assign(n_cells, empty_box());
        coherent_.assign(n_cells, 0);
        for (std::size_t c = 0; c < n_cells; ++c) {
            uint32_t out = core_start_[c];
            for (uint32_t p = cell_start_[c]; p < cell_start_[c + 1]; ++p) {
                if (!core_[p]) continue;
                core_pos_[out] = p;
                std::memcpy(&core_pts_[3 * out], &pts_[3 * p], 3 * sizeof(double));
                extend(core_box_[c], &pts_[3 * p]);
                ++out;
            }
            // All core rows of a cell whose box spans less than eps are
            // mutually within eps, hence one group.
            if (core_start_[c + 1] > core_start_[c])
                coherent_[c] = box_box_max(core_box_[c], core_box_[c]) <= accept_below_;
        }

        uf_ = UnionFind(n_core);
        for (std::size_t c = 0; c < n_cells; ++c) {
            const uint32_t b = core_start_[c], e = core_start_[c + 1];
            if (coherent_[c]) {
                for (uint32_t i = b + 1; i < e; ++i) uf_.parent[i] = b;
                continue;
            }
            for (uint32_t i = b; i < e; ++i)
                for (uint32_t j = i + 1; j < e; ++j)
                    if (uf_.find(i) != uf_.find(j) && within(&core_pts_[3 * i], &core_pts_[3 * j]))
                        uf_.unite(i, j);
        }

        // Each unordered cell pair once: offsets that are lexicographically
        // positive.
        for (const Offset& o : offsets_) {
            const bool positive = o.d[0] > 0 || (o.d[0] == 0 && (o.d[1] > 0 || (o.d[1] == 0 && o.d[2] > 0)));
            if (!positive) continue;
            for (uint32_t a = 0; a < n_cells; ++a) {
                if (core_start_[a + 1] == core_start_[a]) continue;
                const uint32_t b = neighbour(a, o);
                if (b == kNoId || core_start_[b + 1] == core_start_[b]) continue;
                join_cells(a, b);
            }
        }
    }

    void join_cells(uint32_t a, uint32_t b) {
        const bool both = coherent_[a] && coherent_[b];
        const uint32_t a0 = core_start_[a], a1 = core_start_[a + 1];
        const uint32_t b0 = core_start_[b], b1 = core_start_[b + 1];
        if (both && uf_.find(a0) == uf_.find(b0)) return;
        if (box_box_min(core_box_[a], core_box_[b]) > skip_above_) return;
        if (both && box_box_max(core_box_[a], core_box_[b]) <= accept_below_) {
            uf_.unite(a0, b0);
            return;
        }
        for (uint32_t i = a0; i < a1; ++i) {
            const double* p = &core_pts_[3 * i];
            if (point_box_min(p, core_box_[b]) > skip_above_) continue;
            if (coherent_[b] && point_box_max(p, core_box_[b]) <= accept_below_) {
                uf_.unite(i, b0);
                if (both) return;
                continue;
            }
            for (uint32_t j = b0; j < b1; ++j) {
                if (!both && uf_.find(i) == uf_.find(j)) continue;
                if (within(p, &core_pts_[3 * j])) {
                    uf_.unite(i, j);
                    if (both) return;
                    if (coherent_[b]) break;  // the rest of b is already joined to i
                }
            }
        }
    }

    // -- labels ---------------------------------------------------------------

    // Clusters are numbered by their lowest original row index, the order in
    // which the library's scan meets them.
    void number_clusters(std::vector<int64_t>& labels) {
        const std::size_t n_core = core_pos_.size();
        std::vector<uint32_t> lowest(n_core, kNoId);
        for (uint32_t i = 0; i < n_core; ++i) {
            const uint32_t r = uf_.find(i);
            lowest[r] = std::min(lowest[r], orig_[core_pos_[i]]);
        }
        std::vector<std::pair<uint32_t, uint32_t>> roots;  // (lowest row, root)
        for (uint32_t i = 0; i < n_core; ++i)
            if (uf_.parent[i] == i) roots.emplace_back(lowest[i], i);
        std::sort(roots.begin(), roots.end());
        std::vector<uint32_t> number(n_core, 0);
        for (std::size_t c = 0; c < roots.size(); ++c) number[roots[c].second] = static_cast<uint32_t>(c);
        n_clusters_ = roots.size();

        core_label_.resize(n_core);
        for (uint32_t i = 0; i < n_core; ++i) {
            core_label_[i] = number[uf_.find(i)];
            labels[orig_[core_pos_[i]]] = core_label_[i];
        }
    }

    // A non-core row joins the lowest-numbered cluster with a core row within
    // eps: the library completes each cluster before starting the next, and
    // never relabels a row.
    void label_border(std::vector<int64_t>& labels) {
        const std::size_t n_cells = cell_start_.size() - 1;
        std::vector<uint32_t> min_label(n_cells, kNoId), max_label(n_cells, 0);
        for (std::size_t c = 0; c < n_cells; ++c)
            for (uint32_t i = core_start_[c]; i < core_start_[c + 1]; ++i) {
                min_label[c] = std::min(min_label[c], core_label_[i]);
                max_label[c] = std::max(max_label[c], core_label_[i]);
            }

        std::vector<uint32_t> cand;
        for (uint32_t c = 0; c < n_cells; ++c) {
            const uint32_t begin = cell_start_[c], end = cell_start_[c + 1];
            if (end - begin == core_start_[c + 1] - core_start_[c]) continue;  // all core
            cand.clear();
            for (const Offset& o : offsets_) {
                const uint32_t b = neighbour(c, o);
                if (b == kNoId || core_start_[b + 1] == core_start_[b]) continue;
                if (box_box_min(cell_box_[c], core_box_[b]) > skip_above_) continue;
                cand.push_back(b);
            }
            if (cand.empty()) continue;
            std::sort(cand.begin(), cand.end(), [&](uint32_t x, uint32_t y) {
                return min_label[x] != min_label[y] ? min_label[x] < min_label[y] : x < y;
            });
            for (uint32_t p = begin; p < end; ++p) {
                if (core_[p]) continue;
                const uint32_t best = border_label(&pts_[3 * p], cand, min_label, max_label);
                if (best != kNoId) labels[orig_[p]] = best;
            }
        }
    }

    uint32_t border_label(const double* p, const std::vector<uint32_t>& cand,
                          const std::vector<uint32_t>& min_label,
                          const std::vector<uint32_t>& max_label) {
        uint32_t best = kNoId;
        for (uint32_t b : cand) {
            if (min_label[b] >= best) break;  // sorted: nothing lower follows
            if (point_box_min(p, core_box_[b]) > skip_above_) continue;
            const bool single = min_label[b] == max_label[b];
            if (single && point_box_max(p, core_box_[b]) <= accept_below_) return min_label[b];
            for (uint32_t j = core_start_[b]; j < core_start_[b + 1]; ++j) {
                if (core_label_[j] >= best) continue;
                if (within(p, &core_pts_[3 * j])) {
                    best = core_label_[j];
                    if (single) return best;
                }
            }
        }
        return best;
    }

    std::size_t k_;
    int64_t min_samples_;
    double r2_ = 0, tie_hi_ = 0, skip_above_ = 0, accept_below_ = 0;

    double origin_half_[3] = {0, 0, 0};
    double step_half_[3] = {1, 1, 1};
    int64_t axis_cells_[3] = {1, 1, 1};
    std::vector<Offset> offsets_;

    CellMap cells_{16};
    std::vector<uint64_t> cell_key_;
    std::vector<uint32_t> cell_start_;
    std::vector<Box> cell_box_;
    std::vector<int64_t> cell_weight_;

    // Rows in cell order.
    std::vector<double> pts_;
    std::vector<int64_t> wts_;
    std::vector<uint32_t> orig_;
    std::vector<uint8_t> core_;

    // Core rows in cell order.
    std::vector<uint32_t> core_start_;
    std::vector<uint32_t> core_pos_;
    std::vector<double> core_pts_;
    std::vector<Box> core_box_;
    std::vector<uint8_t> coherent_;
    std::vector<uint32_t> core_label_;
    UnionFind uf_{0};
    std::size_t n_clusters_ = 0;

    std::uint64_t tests_ = 0;
    std::uint64_t ties_ = 0;
};

}  // namespace

std::vector<int64_t> density_labels(const double* rows, const int64_t* weights,
                                    std::size_t k, double eps,
                                    int64_t min_samples, DensityStats* stats) {
    if (!(eps > 0.0) || !std::isfinite(eps))
        throw std::invalid_argument("density_labels: eps must be positive and finite");
    if (stats) *stats = DensityStats{};
    if (k == 0) return {};
    if (rows == nullptr || weights == nullptr)
        throw std::invalid_argument("density_labels: null input");
    if (k >= kNoId) throw std::length_error("density_labels: too many rows");
    DensityClusterer clusterer(rows, weights, k, eps, min_samples);
    return clusterer.run(stats);
}

}  // namespace chromalens::kernels
