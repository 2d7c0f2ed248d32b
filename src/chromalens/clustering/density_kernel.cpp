// Exact DBSCAN over weighted distinct rows; see density_kernel.hpp.
//
// Every "within eps" decision either evaluates the pair distance exactly as
// the library's KD-tree leaf test does, or follows from a bound that is
// provably on the same side for every pair it covers: box bounds (rounding
// is monotone, so a bound computed from the extreme coordinates with the
// same operation order brackets every member pair, and is kept a relative
// 1e-9 from the threshold), or, for quantised data, lattice distances kept
// a relative 1e-6 from it.  Anything borderline is tested pair by pair.
//
// Sections: distinct rows; grid and per-cell trees; core rows (cell bounds,
// then the lattice engine or the general tree engine); core connectivity;
// cluster numbering and border rows.

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
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

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

// Cells are a little wider than eps / kReach, so rows within eps of each
// other are at most kReach cells apart along every axis.
constexpr int kReach = 2;
// Cells per axis are capped so cell coordinates pack into 21 bits each and
// the scaled coordinate keeps ~30 bits of fractional headroom.
constexpr int kAxisBits = 21;
constexpr double kMaxAxisCells = static_cast<double>(1 << 20);
constexpr double kMargin = 1e-9;
// Half-width, in ulps of eps*eps, of the band where the library's node
// bounds can disagree with its leaf test.
constexpr int kTieUlps = 8;

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

// Open-addressing map from 64-bit keys (packed cell coordinates, value
// bits) to dense ids.
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
    // Packed cell keys stay below 2^63 and no finite double has all bits set.
    static constexpr uint64_t kEmpty = ~uint64_t{0};
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

// Rows per KD-tree leaf inside a cell.
constexpr uint32_t kLeafSize = 12;
// Lattice engine limits: values per axis, (u, v) table cells, prefix
// entries (int64), and neighbour line offsets.
constexpr std::size_t kMaxLatticeExtent = 4096;
constexpr uint64_t kMaxLatticeCells = uint64_t{1} << 24;
constexpr uint64_t kMaxLatticePrefix = uint64_t{1} << 25;
constexpr double kMaxLineOffsets = 1 << 20;
// Values must sit on their lattice to this fraction of min(step, eps); the
// offsets within kLatticeMargin (relative) of eps are then the only ones
// whose pairs can round to either side.
constexpr double kLatticeTolerance = 1e-9;
constexpr double kLatticeMargin = 1e-6;
constexpr unsigned kMaxThreads = 8;
constexpr int64_t kBlock = 16;               // lattice lines per block side
constexpr std::size_t kSettleEvery = 256;    // neighbour lines between settling passes

struct Node {
    Box box;
    int64_t weight;
    uint32_t begin, end;  // rows [begin, end) in cell order
    uint32_t right = 0;   // right child; 0 for a leaf (the left child follows the node)
    double diam2 = 0;     // squared box diagonal
};

// A neighbour node as carried in a group's open list (copied for locality).
struct Item {
    Box box;
    int64_t weight;
    uint32_t node;
    float diam2;  // only steers splitting, so single precision is enough
};

constexpr int64_t kMaxWeight = std::numeric_limits<int64_t>::max();

enum class Verdict { kOpen, kCore, kNoise };

// Weight surely within eps of every row of a group, and an upper bound of
// the weight that may be.
struct Bounds {
    int64_t sure;
    int64_t upper;
    bool pending = false;  // last node classified straddles the sphere
    void drop(int64_t w) {
        if (upper != kMaxWeight) upper -= w;  // a saturated bound stays valid
    }
    Verdict settle(int64_t min_samples) const {
        if (sure >= min_samples) return Verdict::kCore;
        if (upper < min_samples) return Verdict::kNoise;
        return Verdict::kOpen;
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
        : k_(k), min_samples_(min_samples), eps_(eps) {
        r2_ = eps * eps;
        // The library's tree accepts or prunes whole nodes with bounds built
        // from pow(), which can be an ulp off either way; pairs whose rounded
        // squared distance lies this close to eps*eps may therefore be taken
        // or dropped depending on its node layout.  Its leaf test, which this
        // kernel applies, is d <= eps*eps.
        tie_lo_ = tie_hi_ = r2_;
        for (int i = 0; i < kTieUlps; ++i) {
            tie_lo_ = std::nextafter(tie_lo_, 0.0);
            tie_hi_ = std::nextafter(tie_hi_, std::numeric_limits<double>::infinity());
        }
        skip_above_ = tie_hi_ * (1.0 + kMargin);
        accept_below_ = r2_ * (1.0 - kMargin);
        build_grid(rows, weights, eps);
    }

    std::vector<int64_t> run(DensityStats* stats) {
        find_core();
        connect_core();
        std::vector<int64_t> labels(k_, -1);
        number_clusters(labels);
        if (lattice_) label_border_lattice(labels);
        else label_border(labels);
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
        // A small KD-tree inside each cell sharpens the per-row bounds
        // where a neighbour cell straddles the eps sphere.
        cell_box_.resize(n_cells);
        cell_weight_.resize(n_cells);
        cell_root_.resize(n_cells);
        std::vector<uint32_t> perm(k_);
        for (std::size_t i = 0; i < k_; ++i) perm[i] = static_cast<uint32_t>(i);
        for (std::size_t c = 0; c < n_cells; ++c) {
            cell_root_[c] = build_node(perm, cell_start_[c], cell_start_[c + 1]);
            cell_box_[c] = nodes_[cell_root_[c]].box;
            cell_weight_[c] = nodes_[cell_root_[c]].weight;
        }
        apply_permutation(perm);
    }

    uint32_t build_node(std::vector<uint32_t>& perm, uint32_t begin, uint32_t end) {
        const auto id = static_cast<uint32_t>(nodes_.size());
        nodes_.emplace_back();
        Node nd;
        nd.box = empty_box();
        nd.weight = 0;
        nd.begin = begin;
        nd.end = end;
        for (uint32_t i = begin; i < end; ++i) {
            extend(nd.box, &pts_[3 * perm[i]]);
            nd.weight = sat_add(nd.weight, wts_[perm[i]]);
        }
        nd.diam2 = box_box_max(nd.box, nd.box);
        if (end - begin > kLeafSize) {
            int dim = 0;
            for (int j = 1; j < 3; ++j)
                if (nd.box.hi[j] - nd.box.lo[j] > nd.box.hi[dim] - nd.box.lo[dim]) dim = j;
            if (nd.box.hi[dim] > nd.box.lo[dim]) {
                const uint32_t mid = begin + (end - begin) / 2;
                std::nth_element(perm.begin() + begin, perm.begin() + mid, perm.begin() + end,
                                 [&](uint32_t x, uint32_t y) { return pts_[3 * x + dim] < pts_[3 * y + dim]; });
                build_node(perm, begin, mid);
                nd.right = build_node(perm, mid, end);
            }
        }
        nodes_[id] = nd;
        return id;
    }

    // Reorders the cell-sorted rows so every tree node is a contiguous range.
    void apply_permutation(const std::vector<uint32_t>& perm) {
        std::vector<double> pts(3 * k_);
        std::vector<int64_t> wts(k_);
        std::vector<uint32_t> orig(k_);
        for (std::size_t i = 0; i < k_; ++i) {
            std::memcpy(&pts[3 * i], &pts_[3 * perm[i]], 3 * sizeof(double));
            wts[i] = wts_[perm[i]];
            orig[i] = orig_[perm[i]];
        }
        pts_.swap(pts);
        wts_.swap(wts);
        orig_.swap(orig);
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
        if (d >= tie_lo_ && d <= tie_hi_) ++ties_;
        return d <= r2_;
    }

    // -- core points ----------------------------------------------------------

    void find_core() {
        const std::size_t n_cells = cell_start_.size() - 1;
        core_.assign(k_, 0);
        // Cell-level bounds settle whole cells in sparse and in very dense
        // regions; the rest goes to one of the row-level engines.
        std::vector<uint32_t> open_cells;
        for (uint32_t c = 0; c < n_cells; ++c) {
            int64_t upper = 0, lower = 0;
            for (const Offset& o : offsets_) {
                const uint32_t b = neighbour(c, o);
                if (b == kNoId) continue;
                if (box_box_min(cell_box_[c], cell_box_[b]) > skip_above_) continue;
                upper = sat_add(upper, cell_weight_[b]);
                if (box_box_max(cell_box_[c], cell_box_[b]) <= accept_below_)
                    lower = sat_add(lower, cell_weight_[b]);
            }
            if (upper < min_samples_) continue;
            if (lower >= min_samples_) {
                std::fill(core_.begin() + cell_start_[c], core_.begin() + cell_start_[c + 1], 1);
                continue;
            }
            open_cells.push_back(c);
        }
        if (open_cells.empty()) return;
        open_.assign(k_, 0);
        for (uint32_t c : open_cells)
            std::fill(open_.begin() + cell_start_[c], open_.begin() + cell_start_[c + 1], 1);
#ifndef CHROMALENS_DENSITY_GENERAL_ONLY  // lets tests exercise the general engine on any data
        lattice_ = build_lattice(eps_);
#endif
        if (lattice_) {
            sweep_lattice();
            return;
        }
        for (uint32_t c : open_cells) {
            arena_.clear();
            int64_t open = 0;
            for (const Offset& o : offsets_) {
                const uint32_t b = neighbour(c, o);
                if (b == kNoId) continue;
                arena_.push_back(item(cell_root_[b]));
                open = sat_add(open, cell_weight_[b]);
            }
            decide_group(cell_root_[c], 0, arena_.size(), 0, open);
        }
    }

    // -- core points on a lattice ---------------------------------------------
    //
    // Pixel data is quantised: each column takes a few hundred values on an
    // evenly spaced lattice (standardised integers).  Then the library's
    // rounded distance of two rows equals the lattice distance of their index
    // offset to within ~1e-8 relative, so every offset but the few within a
    // 1e-6 band of eps is inside or outside for all pairs alike; those few
    // are evaluated pair by pair.  Rows sharing two lattice indices form a
    // line; with a prefix sum over each line, a row's weight from a
    // neighbour line is one subtraction.

    struct LatticeAxis {
        double origin = 0, step = 1;
        uint32_t extent = 1;
        CellMap index{16};  // canonical value bits -> lattice index
    };

    // Run half-widths along the sweep axis for a neighbour line at offset
    // (du, dv): |da| <= inside is within eps for every pair, inside < |da| <=
    // edge must be tested pair by pair; -1 when there is no such run.
    struct RunWidth {
        int32_t inside = -1, edge = -1;
    };

    bool fit_axis(int j, double eps, LatticeAxis& ax) const {
        CellMap seen(1 << 10);
        std::vector<double> vals;
        for (std::size_t i = 0; i < k_; ++i) {
            const double x = pts_[3 * i + j];
            if (seen.insert(canonical_bits(x), static_cast<uint32_t>(vals.size())) == vals.size()) {
                vals.push_back(x == 0.0 ? 0.0 : x);
                if (vals.size() > kMaxLatticeExtent) return false;
            }
        }
        std::sort(vals.begin(), vals.end());
        ax.origin = vals[0];
        ax.step = 1.0;
        ax.extent = 1;
        std::vector<uint32_t> idx(vals.size(), 0);
        if (vals.size() > 1) {
            double step = vals[1] - vals[0];
            for (std::size_t i = 2; i < vals.size(); ++i) step = std::min(step, vals[i] - vals[i - 1]);
            const double span = vals.back() - vals[0];
            const double last = std::round(span / step);
            if (!(step > 0.0) || !(last < kMaxLatticeExtent)) return false;
            ax.step = span / last;
            double resid = 0, mag = 0;
            for (std::size_t i = 0; i < vals.size(); ++i) {
                const double t = std::round((vals[i] - vals[0]) / ax.step);
                resid = std::max(resid, std::fabs(vals[i] - (vals[0] + t * ax.step)));
                mag = std::max(mag, std::fabs(vals[i]));
                idx[i] = static_cast<uint32_t>(t);
                if (i > 0 && idx[i] <= idx[i - 1]) return false;
            }
            // Bound the true residual: add the rounding of its evaluation.
            resid += 4.0 * std::numeric_limits<double>::epsilon() * mag;
            if (!(resid <= kLatticeTolerance * std::min(ax.step, eps))) return false;
            ax.extent = idx.back() + 1;
        }
        ax.index = CellMap(vals.size());
        for (std::size_t i = 0; i < vals.size(); ++i) ax.index.insert(canonical_bits(vals[i]), idx[i]);
        return true;
    }

    // Builds the lattice line index; false when the data is not on a small
    // lattice or the index would not pay off.
    bool build_lattice(double eps) {
        int64_t total = 0;  // prefix sums need the total weight to fit
        for (std::size_t i = 0; i < k_; ++i) {
            if (wts_[i] > kMaxWeight - total) return false;
            total += wts_[i];
        }
        for (int j = 0; j < 3; ++j)
            if (!fit_axis(j, eps, lat_[j])) return false;
        // Sweep along the longest axis; lines are indexed by the other two.
        axis_ = 0;
        for (int j = 1; j < 3; ++j)
            if (lat_[j].extent > lat_[axis_].extent) axis_ = j;
        u_ = axis_ == 0 ? 1 : 0;
        v_ = axis_ == 2 ? 1 : 2;
        const uint64_t n_a = lat_[axis_].extent, n_u = lat_[u_].extent, n_v = lat_[v_].extent;
        if (n_u * n_v > kMaxLatticeCells) return false;

        // Offsets (du, dv) whose lines can hold a pair within the tie band.
        const double band = kLatticeMargin * r2_;
        const double lo_thr = r2_ - band, hi_thr = tie_hi_ + band;
        const double sa = lat_[axis_].step, su = lat_[u_].step, sv = lat_[v_].step;
        auto reach = [&](double step, uint64_t extent) {
            return static_cast<int64_t>(std::min<double>(std::floor(eps * (1.0 + 1e-3) / step) + 1.0,
                                                         static_cast<double>(extent) - 1.0));
        };
        const int64_t ru = reach(su, n_u), rv = reach(sv, n_v), ra = reach(sa, n_a);
        if (static_cast<double>(2 * ru + 1) * static_cast<double>(2 * rv + 1) > kMaxLineOffsets) return false;
        reach_u_ = ru;
        reach_v_ = rv;
        run_width_.assign(static_cast<std::size_t>((2 * ru + 1) * (2 * rv + 1)), RunWidth{});
        for (int64_t du = -ru; du <= ru; ++du)
            for (int64_t dv = -rv; dv <= rv; ++dv) {
                const double gu = static_cast<double>(du) * su, gv = static_cast<double>(dv) * sv;
                const double gap = gu * gu + gv * gv;
                if (gap > hi_thr) continue;
                auto dist = [&](int64_t da) {
                    const double ga = static_cast<double>(da) * sa;
                    return ga * ga + gap;
                };
                // Largest da with dist(da) <= thr: a square-root guess, then
                // exact adjustment (dist is increasing in da).
                auto widest = [&](double thr) -> int64_t {
                    if (gap > thr) return -1;
                    int64_t da = std::min<int64_t>(ra, static_cast<int64_t>(std::sqrt(thr - gap) / sa));
                    while (da < ra && dist(da + 1) <= thr) ++da;
                    while (da > 0 && dist(da) > thr) --da;
                    return da;
                };
                RunWidth& rw = run_width_[(du + ru) * (2 * rv + 1) + (dv + rv)];
                rw.inside = static_cast<int32_t>(widest(lo_thr));
                rw.edge = static_cast<int32_t>(widest(hi_thr));
            }
        // Neighbour positions of a block, relative to its first line, by
        // distance from the block centre.
        {
            std::vector<std::pair<double, std::pair<int32_t, int32_t>>> order;
            const double c = 0.5 * static_cast<double>(kBlock - 1);
            for (int64_t du = -ru; du < kBlock + ru; ++du)
                for (int64_t dv = -rv; dv < kBlock + rv; ++dv) {
                    const double gu = (static_cast<double>(du) - c) * su, gv = (static_cast<double>(dv) - c) * sv;
                    order.push_back({gu * gu + gv * gv, {static_cast<int32_t>(du), static_cast<int32_t>(dv)}});
                }
            std::sort(order.begin(), order.end());
            block_order_.clear();
            for (const auto& e : order) block_order_.push_back(e.second);
        }

        // Lattice indices of every row, lines in (u, v) order.
        lat_idx_.resize(3 * k_);
        for (std::size_t i = 0; i < k_; ++i)
            for (int j = 0; j < 3; ++j)
                lat_idx_[3 * i + j] = lat_[j].index.find(canonical_bits(pts_[3 * i + j] == 0.0 ? 0.0 : pts_[3 * i + j]));
        line_table_.assign(n_u * n_v, kNoId);
        for (std::size_t i = 0; i < k_; ++i) line_table_[lat_idx_[3 * i + u_] * n_v + lat_idx_[3 * i + v_]] = 0;
        uint32_t n_lines = 0;
        for (auto& id : line_table_)
            if (id != kNoId) id = n_lines++;

        line_start_.assign(n_lines + 1, 0);
        std::vector<uint32_t> line_of(k_);
        for (std::size_t i = 0; i < k_; ++i) {
            line_of[i] = line_table_[lat_idx_[3 * i + u_] * n_v + lat_idx_[3 * i + v_]];
            ++line_start_[line_of[i] + 1];
        }
        for (uint32_t l = 0; l < n_lines; ++l) line_start_[l + 1] += line_start_[l];
        line_rows_.resize(k_);
        {
            std::vector<uint32_t> fill(line_start_.begin(), line_start_.end() - 1);
            for (uint32_t i = 0; i < k_; ++i) line_rows_[fill[line_of[i]]++] = i;
        }
        line_ta_.resize(k_);
        // Rows are padded by the reach on both sides (constant 0 / total) so
        // runs need no clamping.
        line_pad_ = static_cast<uint64_t>(ra) + 1;
        line_stride_ = n_a + 1 + 2 * line_pad_;
        if (static_cast<uint64_t>(n_lines) * line_stride_ > kMaxLatticePrefix) return false;
        line_prefix_.assign(static_cast<std::size_t>(n_lines) * line_stride_, 0);
        for (uint32_t l = 0; l < n_lines; ++l) {
            std::sort(line_rows_.begin() + line_start_[l], line_rows_.begin() + line_start_[l + 1],
                      [&](uint32_t x, uint32_t y) { return lat_idx_[3 * x + axis_] < lat_idx_[3 * y + axis_]; });
            int64_t* pre = &line_prefix_[static_cast<std::size_t>(l) * line_stride_ + line_pad_];
            for (uint32_t i = line_start_[l]; i < line_start_[l + 1]; ++i) {
                line_ta_[i] = lat_idx_[3 * line_rows_[i] + axis_];
                pre[line_ta_[i] + 1] += wts_[line_rows_[i]];
            }
            for (uint64_t t = 0; t < n_a + line_pad_; ++t) pre[t + 1] += pre[t];
        }
        return true;
    }

    struct SweepCounters {
        uint64_t tests = 0, ties = 0;
    };

    // Lines are swept in square blocks of (u, v) positions: each neighbour
    // line's prefix row is then loaded once per block and reused by every
    // line of the block it reaches, instead of once per line.
    void sweep_lattice() {
        const int64_t n_u = lat_[u_].extent, n_v = lat_[v_].extent;
        const int64_t bu = (n_u + kBlock - 1) / kBlock, bv = (n_v + kBlock - 1) / kBlock;
        // Blocks with open rows, as tasks.
        std::vector<uint8_t> has_open(static_cast<std::size_t>(bu * bv), 0);
        for (std::size_t i = 0; i < k_; ++i)
            if (open_[i])
                has_open[(lat_idx_[3 * i + u_] / kBlock) * bv + lat_idx_[3 * i + v_] / kBlock] = 1;
        std::vector<uint32_t> tasks;
        for (std::size_t b = 0; b < has_open.size(); ++b)
            if (has_open[b]) tasks.push_back(static_cast<uint32_t>(b));

        // Scratch per task keeps the body free of shared state; a block's
        // work dwarfs the allocation.
        parallel_for(tasks.size(), 1, [&](std::size_t i, SweepCounters& ctr) {
            BlockScratch scratch;
            sweep_block(tasks[i] / bv, tasks[i] % bv, scratch, ctr);
        });
    }

    struct BlockScratch {
        std::vector<uint32_t> lines;       // lines of the block with open rows
        std::vector<int32_t> lu, lv;       // their (u, v) indices
        std::vector<uint32_t> act_start;   // their open rows in active[]
        std::vector<uint32_t> active;      // positions in line_rows_ order
        std::vector<int32_t> ta;           // sweep index of each active row
        std::vector<int64_t> count;
    };

    void sweep_block(int64_t bu, int64_t bv, BlockScratch& sc, SweepCounters& ctr) {
        const int64_t n_u = lat_[u_].extent, n_v = lat_[v_].extent;
        const int64_t u0 = bu * kBlock, v0 = bv * kBlock;
        const int64_t u1 = std::min(n_u, u0 + kBlock), v1 = std::min(n_v, v0 + kBlock);
        sc.lines.clear();
        sc.lu.clear();
        sc.lv.clear();
        sc.act_start.assign(1, 0);
        sc.active.clear();
        sc.ta.clear();
        for (int64_t tu = u0; tu < u1; ++tu)
            for (int64_t tv = v0; tv < v1; ++tv) {
                const uint32_t l = line_table_[tu * n_v + tv];
                if (l == kNoId) continue;
                const std::size_t before = sc.active.size();
                for (uint32_t i = line_start_[l]; i < line_start_[l + 1]; ++i)
                    if (open_[line_rows_[i]]) {
                        sc.active.push_back(i);
                        sc.ta.push_back(static_cast<int32_t>(line_ta_[i]));
                    }
                if (sc.active.size() == before) continue;
                sc.lines.push_back(l);
                sc.lu.push_back(static_cast<int32_t>(tu));
                sc.lv.push_back(static_cast<int32_t>(tv));
                sc.act_start.push_back(static_cast<uint32_t>(sc.active.size()));
            }
        if (sc.lines.empty()) return;
        sc.count.assign(sc.active.size(), 0);

        const int64_t ru = reach_u_, rv = reach_v_, width = 2 * rv + 1;
        std::size_t since_settle = 0;
        // Neighbour lines nearest the block first, so rows settle early.
        for (const auto& off : block_order_) {
            const int64_t su = u0 + off.first, sv = v0 + off.second;
            if (su < 0 || sv < 0 || su >= n_u || sv >= n_v) continue;
            const uint32_t m = line_table_[su * n_v + sv];
            if (m == kNoId) continue;
            const int64_t* pre = &line_prefix_[static_cast<std::size_t>(m) * line_stride_ + line_pad_];
            for (std::size_t r = 0; r < sc.lines.size(); ++r) {
                const int64_t du = su - sc.lu[r], dv = sv - sc.lv[r];
                if (du < -ru || du > ru || dv < -rv || dv > rv) continue;
                const RunWidth& o = run_width_[(du + ru) * width + (dv + rv)];
                if (o.edge < 0) continue;
                const uint32_t j0 = sc.act_start[r], j1 = sc.act_start[r + 1];
                if (o.inside >= 0) {
                    const int32_t w = o.inside;
                    const int32_t* ta = sc.ta.data();
                    int64_t* cnt = sc.count.data();
                    for (uint32_t j = j0; j < j1; ++j) cnt[j] += pre[ta[j] + w + 1] - pre[ta[j] - w];
                    ctr.tests += j1 - j0;
                }
                if (o.edge > o.inside)
                    edge_pairs(m, o, &sc.active[j0], &sc.count[j0], j1 - j0, pre, ctr);
            }
            if (++since_settle == kSettleEvery) {
                since_settle = 0;
                if (settle_block(sc)) return;
            }
        }
        for (std::size_t j = 0; j < sc.active.size(); ++j)
            if (sc.count[j] >= min_samples_) core_[line_rows_[sc.active[j]]] = 1;
    }

    // Marks rows that already reach min_samples and drops them from the
    // block; true when nothing is left open.
    bool settle_block(BlockScratch& sc) {
        std::size_t kept = 0, lines_kept = 0;
        uint32_t begin = 0;
        for (std::size_t r = 0; r < sc.lines.size(); ++r) {
            const uint32_t end = sc.act_start[r + 1];
            const std::size_t first = kept;
            for (uint32_t j = begin; j < end; ++j) {
                if (sc.count[j] >= min_samples_) {
                    core_[line_rows_[sc.active[j]]] = 1;
                    continue;
                }
                sc.active[kept] = sc.active[j];
                sc.ta[kept] = sc.ta[j];
                sc.count[kept] = sc.count[j];
                ++kept;
            }
            begin = end;
            if (kept == first) continue;
            sc.lines[lines_kept] = sc.lines[r];
            sc.lu[lines_kept] = sc.lu[r];
            sc.lv[lines_kept] = sc.lv[r];
            sc.act_start[lines_kept + 1] = static_cast<uint32_t>(kept);
            ++lines_kept;
        }
        sc.lines.resize(lines_kept);
        sc.lu.resize(lines_kept);
        sc.lv.resize(lines_kept);
        sc.act_start.resize(lines_kept + 1);
        sc.active.resize(kept);
        sc.ta.resize(kept);
        sc.count.resize(kept);
        return kept == 0;
    }

    // Offsets inside < |da| <= edge lie within the rounding band of eps:
    // evaluate those pairs exactly.
    void edge_pairs(uint32_t m, const RunWidth& o, const uint32_t* active, int64_t* count,
                    std::size_t n_active, const int64_t* pre, SweepCounters& ctr) const {
        const int64_t n_a = lat_[axis_].extent;
        const uint32_t s0 = line_start_[m], s1 = line_start_[m + 1];
        for (std::size_t j = 0; j < n_active; ++j) {
            const int64_t ta = line_ta_[active[j]];
            const double* p = &pts_[3 * line_rows_[active[j]]];
            for (int64_t c = std::max(o.inside + 1, 0); c <= o.edge; ++c) {
                for (int sign = (c == 0 ? 1 : -1); sign <= 1; sign += 2) {
                    const int64_t t = ta + sign * c;
                    if (t < 0 || t >= n_a || pre[t + 1] == pre[t]) continue;  // no weight there
                    const auto it = std::lower_bound(line_ta_.begin() + s0, line_ta_.begin() + s1,
                                                     static_cast<uint32_t>(t));
                    const uint32_t q = line_rows_[static_cast<std::size_t>(it - line_ta_.begin())];
                    ++ctr.tests;
                    const double d = pair_rdist(p, &pts_[3 * q]);
                    if (d <= r2_) count[j] += wts_[q];
                    if (d >= tie_lo_ && d <= tie_hi_) ++ctr.ties;
                }
            }
        }
    }


    Item item(uint32_t n) const {
        const Node& nd = nodes_[n];
        return Item{nd.box, nd.weight, n, static_cast<float>(nd.diam2)};
    }

    // General engine: each cell's tree is walked top-down against the trees
    // of its neighbour cells.  A node of the cell (a group of rows) carries
    // the neighbour nodes that are ambiguous for its whole box plus the
    // weight already known to be within eps of every row in it; groups are
    // decided wholesale when the bounds settle, and only leaves fall back to
    // rows.
    //
    // Items [from, to) are the neighbour nodes left open by the parent group;
    // sure + their weight bounds the count of every row in g from above.
    void decide_group(uint32_t g, std::size_t from, std::size_t to, int64_t sure, int64_t open) {
        const Node& gn = nodes_[g];
        const std::size_t kept = arena_.size();
        Bounds bd{sure, sat_add(sure, open)};
        const float gdiam = static_cast<float>(gn.diam2);
        Verdict v = Verdict::kOpen;
        for (std::size_t i = from; i < to && v == Verdict::kOpen; ++i) {
            const Item it = arena_[i];  // copy: the arena may grow below
            v = classify_for_group(gn.box, gdiam, it, bd);
        }
        if (v == Verdict::kOpen) v = bd.settle(min_samples_);
        if (v == Verdict::kCore) {
            std::fill(core_.begin() + gn.begin, core_.begin() + gn.end, 1);
        } else if (v == Verdict::kOpen) {
            const int64_t still_open = bd.upper == kMaxWeight ? kMaxWeight : bd.upper - bd.sure;
            if (gn.right == 0) {
                for (uint32_t p = gn.begin; p < gn.end; ++p)
                    core_[p] = point_is_core(&pts_[3 * p], kept, arena_.size(), bd.sure, still_open);
            } else {
                const std::size_t end = arena_.size();
                decide_group(g + 1, kept, end, bd.sure, still_open);
                decide_group(gn.right, kept, end, bd.sure, still_open);
            }
        }
        arena_.resize(kept);
    }

    // Sorts one open neighbour node against group box g: dropped, counted as
    // sure, or kept open (split first while wider than the group, so what
    // stays open resolves at the group's scale).  Returns a verdict as soon
    // as the bounds settle the whole group.
    Verdict classify_for_group(const Box& g, float gdiam, const Item& it, Bounds& bd) {
        if (box_box_min(g, it.box) > skip_above_) {
            bd.drop(it.weight);
            return bd.upper < min_samples_ ? Verdict::kNoise : Verdict::kOpen;
        }
        if (box_box_max(g, it.box) <= accept_below_) {
            bd.sure = sat_add(bd.sure, it.weight);
            return bd.sure >= min_samples_ ? Verdict::kCore : Verdict::kOpen;
        }
        const Node& hn = nodes_[it.node];
        if (hn.right != 0 && it.diam2 > gdiam) {
            // The parent's weight stays in upper until its children are sorted.
            bd.drop(it.weight);
            bd.upper = sat_add(bd.upper, nodes_[it.node + 1].weight);
            bd.upper = sat_add(bd.upper, nodes_[hn.right].weight);
            Verdict v = classify_for_group(g, gdiam, item(it.node + 1), bd);
            if (v != Verdict::kOpen) return v;
            return classify_for_group(g, gdiam, item(hn.right), bd);
        }
        arena_.push_back(it);
        return Verdict::kOpen;
    }

    bool point_is_core(const double* p, std::size_t from, std::size_t to, int64_t sum, int64_t rest) {
        Bounds bd{sum, sat_add(sum, rest)};
        // Box bounds first: they are cheap and often settle the row before
        // any leaf is scanned.
        stack_.clear();
        for (std::size_t i = from; i < to; ++i) {
            const Item& it = arena_[i];
            const Verdict v = classify_for_point(p, it.box, it.weight, bd);
            if (v != Verdict::kOpen) return v == Verdict::kCore;
            if (bd.pending) stack_.push_back(it.node);
        }
        while (!stack_.empty()) {
            const Node& nd = nodes_[stack_.back()];
            const uint32_t n = stack_.back();
            stack_.pop_back();
            if (nd.right != 0) {
                for (uint32_t child : {n + 1, nd.right}) {
                    const Node& cn = nodes_[child];
                    const Verdict v = classify_for_point(p, cn.box, cn.weight, bd);
                    if (v != Verdict::kOpen) return v == Verdict::kCore;
                    if (bd.pending) stack_.push_back(child);
                }
                continue;
            }
            for (uint32_t q = nd.begin; q < nd.end; ++q) {
                const int64_t w = wts_[q];
                if (within(p, &pts_[3 * q])) {
                    bd.sure = sat_add(bd.sure, w);
                    if (bd.sure >= min_samples_) return true;
                } else {
                    bd.drop(w);
                    if (bd.upper < min_samples_) return false;
                }
            }
        }
        return bd.sure >= min_samples_;
    }

    // Box test of one node for one row; sets bd.pending when the node
    // straddles the eps sphere and must be refined.
    Verdict classify_for_point(const double* p, const Box& box, int64_t w, Bounds& bd) const {
        bd.pending = false;
        if (point_box_min(p, box) > skip_above_) {
            bd.drop(w);
            return bd.upper < min_samples_ ? Verdict::kNoise : Verdict::kOpen;
        }
        if (point_box_max(p, box) <= accept_below_) {
            bd.sure = sat_add(bd.sure, w);
            return bd.sure >= min_samples_ ? Verdict::kCore : Verdict::kOpen;
        }
        bd.pending = true;
        return Verdict::kOpen;
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
    //
    // Border rows on the lattice: per line, a running count of core rows
    // tells in O(1) whether a run holds one; lines whose core rows share a
    // label (the usual case) then give it directly.
    void label_border_lattice(std::vector<int64_t>& labels) {
        const std::size_t n_lines = line_start_.size() - 1;
        const int64_t n_u = lat_[u_].extent, n_v = lat_[v_].extent, n_a = lat_[axis_].extent;
        std::vector<uint32_t> pos_label(k_, kNoId);
        for (std::size_t i = 0; i < core_pos_.size(); ++i) pos_label[core_pos_[i]] = core_label_[i];
        std::vector<uint32_t> min_label(n_lines, kNoId), max_label(n_lines, 0);
        std::vector<int32_t> core_prefix(n_lines * line_stride_, 0);
        bool any_open = false;
        for (std::size_t l = 0; l < n_lines; ++l) {
            int32_t* pre = &core_prefix[l * line_stride_ + line_pad_];
            for (uint32_t i = line_start_[l]; i < line_start_[l + 1]; ++i) {
                const uint32_t lab = pos_label[line_rows_[i]];
                if (lab == kNoId) {
                    any_open = true;
                    continue;
                }
                pre[line_ta_[i] + 1] += 1;
                min_label[l] = std::min(min_label[l], lab);
                max_label[l] = std::max(max_label[l], lab);
            }
            for (uint64_t t = 0; t < static_cast<uint64_t>(n_a) + line_pad_; ++t) pre[t + 1] += pre[t];
        }
        if (!any_open) return;

        // Neighbour line offsets, nearest first.
        const int64_t ru = reach_u_, rv = reach_v_, width = 2 * rv + 1;
        std::vector<std::pair<double, std::pair<int32_t, int32_t>>> order;
        for (int64_t du = -ru; du <= ru; ++du)
            for (int64_t dv = -rv; dv <= rv; ++dv) {
                if (run_width_[(du + ru) * width + (dv + rv)].edge < 0) continue;
                const double gu = static_cast<double>(du) * lat_[u_].step, gv = static_cast<double>(dv) * lat_[v_].step;
                order.push_back({gu * gu + gv * gv, {static_cast<int32_t>(du), static_cast<int32_t>(dv)}});
            }
        std::sort(order.begin(), order.end());

        auto border_line = [&](std::size_t l, SweepCounters& ctr) {
            const uint32_t r0 = line_rows_[line_start_[l]];
            const int64_t tu = lat_idx_[3 * r0 + u_], tv = lat_idx_[3 * r0 + v_];
            for (uint32_t i = line_start_[l]; i < line_start_[l + 1]; ++i) {
                const uint32_t row = line_rows_[i];
                if (pos_label[row] != kNoId) continue;
                const int64_t ta = line_ta_[i];
                const double* p = &pts_[3 * row];
                uint32_t best = kNoId;
                for (const auto& e : order) {
                    if (best == 0) break;  // no lower label exists
                    const int64_t su = tu + e.second.first, sv = tv + e.second.second;
                    if (su < 0 || sv < 0 || su >= n_u || sv >= n_v) continue;
                    const uint32_t m = line_table_[su * n_v + sv];
                    if (m == kNoId || min_label[m] >= best) continue;
                    const RunWidth& o = run_width_[(e.second.first + ru) * width + (e.second.second + rv)];
                    const int32_t* cp = &core_prefix[m * line_stride_ + line_pad_];
                    const uint32_t s0 = line_start_[m], s1 = line_start_[m + 1];
                    if (o.inside >= 0 && cp[ta + o.inside + 1] > cp[ta - o.inside]) {
                        ++ctr.tests;
                        if (min_label[m] == max_label[m]) {
                            best = min_label[m];
                            continue;
                        }
                        auto it = std::lower_bound(line_ta_.begin() + s0, line_ta_.begin() + s1,
                                                   static_cast<uint32_t>(std::max<int64_t>(ta - o.inside, 0)));
                        for (std::size_t q = static_cast<std::size_t>(it - line_ta_.begin());
                             q < s1 && line_ta_[q] <= ta + o.inside; ++q)
                            best = std::min(best, pos_label[line_rows_[q]]);
                    }
                    // Rows at the rounding edge of the run: exact tests.
                    for (int64_t c = std::max(o.inside + 1, 0); c <= o.edge; ++c)
                        for (int sign = (c == 0 ? 1 : -1); sign <= 1; sign += 2) {
                            const int64_t t = ta + sign * c;
                            if (t < 0 || t >= n_a || cp[t + 1] == cp[t]) continue;
                            const auto it = std::lower_bound(line_ta_.begin() + s0, line_ta_.begin() + s1,
                                                             static_cast<uint32_t>(t));
                            const uint32_t q = line_rows_[static_cast<std::size_t>(it - line_ta_.begin())];
                            if (pos_label[q] >= best) continue;
                            ++ctr.tests;
                            const double d = pair_rdist(p, &pts_[3 * q]);
                            if (d <= r2_) best = pos_label[q];
                            if (d >= tie_lo_ && d <= tie_hi_) ++ctr.ties;
                        }
                }
                if (best != kNoId) labels[orig_[row]] = best;  // rows are disjoint across lines
            }
        };
        parallel_for(n_lines, 64, border_line);
    }

    // Runs body(i, counters) for i in [0, n) in chunks over up to
    // kMaxThreads threads.  Bodies must write disjoint data; the counters
    // are summed afterwards, so results do not depend on the schedule.
    template <class Body>
    void parallel_for(std::size_t n, std::size_t chunk, Body body) {
        unsigned n_threads = std::max(1u, std::min(std::thread::hardware_concurrency(), kMaxThreads));
        if (n < 4 * chunk) n_threads = 1;
        std::atomic<std::size_t> next{0};
        std::atomic<bool> failed{false};
        std::exception_ptr error;
        std::mutex error_mutex;
        std::vector<SweepCounters> counters(n_threads);
        auto work = [&](unsigned t) {
            try {
                while (!failed.load(std::memory_order_relaxed)) {
                    const std::size_t first = next.fetch_add(chunk);
                    if (first >= n) break;
                    const std::size_t last = std::min(n, first + chunk);
                    for (std::size_t i = first; i < last; ++i) body(i, counters[t]);
                }
            } catch (...) {
                std::lock_guard<std::mutex> lock(error_mutex);
                if (!error) error = std::current_exception();
                failed = true;
            }
        };
        std::vector<std::thread> pool;
        for (unsigned t = 1; t < n_threads; ++t) {
            try {
                pool.emplace_back(work, t);
            } catch (const std::system_error&) {
                break;  // fewer threads: the calling thread takes the rest
            }
        }
        work(0);
        for (auto& th : pool) th.join();
        if (error) std::rethrow_exception(error);
        for (const auto& c : counters) {
            tests_ += c.tests;
            ties_ += c.ties;
        }
    }

    // Border rows in general: candidate cells by their lowest label, each
    // scanned until a core row within eps is found.
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
    double eps_;
    double r2_ = 0, tie_lo_ = 0, tie_hi_ = 0, skip_above_ = 0, accept_below_ = 0;

    double origin_half_[3] = {0, 0, 0};
    double step_half_[3] = {1, 1, 1};
    int64_t axis_cells_[3] = {1, 1, 1};
    std::vector<Offset> offsets_;

    CellMap cells_{16};
    std::vector<uint64_t> cell_key_;
    std::vector<uint32_t> cell_start_;
    std::vector<Box> cell_box_;
    std::vector<int64_t> cell_weight_;
    std::vector<uint32_t> cell_root_;
    std::vector<Node> nodes_;
    std::vector<Item> arena_;  // neighbour-node lists of the open groups
    std::vector<uint8_t> open_;  // rows not settled by cell bounds
    bool lattice_ = false;       // the lattice engine took the core test

    // Lattice line index (see build_lattice).
    LatticeAxis lat_[3];
    int axis_ = 0, u_ = 1, v_ = 2;
    int64_t reach_u_ = 0, reach_v_ = 0;
    std::vector<RunWidth> run_width_;  // (2 reach_u + 1) x (2 reach_v + 1)
    std::vector<std::pair<int32_t, int32_t>> block_order_;
    uint64_t line_pad_ = 0, line_stride_ = 0;
    std::vector<uint32_t> lat_idx_;     // k x 3 lattice indices
    std::vector<uint32_t> line_table_;  // (u, v) -> line id
    std::vector<uint32_t> line_start_, line_rows_, line_ta_;
    std::vector<int64_t> line_prefix_;
    std::vector<uint32_t> stack_;

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
