// Density clustering of the pixel list on standardised values, with one mean
// colour per cluster, keeping the n_colors largest clusters.
//
// scikit-learn's DBSCAN materialises every neighbourhood, which a photograph
// cannot afford (tens of GB for a few hundred thousand pixels, since eps 0.5
// in standardised units is wide).  Identical pixels are at distance zero and
// share their label, so while the module's `DBSCAN` is scikit-learn's own
// class the search runs on the distinct scaled rows, each weighted by its
// multiplicity, and every pixel then takes its row's label: the labels are
// those the library gives on the full list.  Anything else bound to `DBSCAN`
// gets the literal call on every pixel.
//
// For a pixel list of 8-bit colours the distinct rows are found on the
// colours themselves (a colour table instead of hashing every scaled row),
// with each row's values read from the scaler's output once they are
// checked to be a one-to-one function of the colour; the cluster means then
// come from the distinct colours and their counts.
#include "clustering/cluster_order.hpp"
#include "kernels/color_table.hpp"
#include "kernels/density_labels.hpp"
#include "kernels/distinct_rows.hpp"
#include "kernels/scaled_colors.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace chromalens {

using namespace pybind11::literals;

namespace {

constexpr double kEps = 0.5;

// scikit-learn answers the radius queries by brute force (GEMM-form
// distances, which round differently at exactly-eps boundaries) while
// n_neighbors=5 >= n_rows // 2, i.e. for up to this many distinct rows.
// The native search follows the KD-tree rule, so such inputs go to the
// library itself.
constexpr std::size_t kLibraryBruteForceLimit = 11;

bool is_exact_array(py::handle obj) { return Py_TYPE(obj.ptr()) == state.ndarray; }

// The array's strides in elements of T, when its data and both strides are
// aligned to T (an array viewed out of a byte buffer need not be).
template <class T>
bool element_strides(const py::array& array, py::ssize_t strides[]) {
    if (reinterpret_cast<std::uintptr_t>(array.data()) % alignof(T) != 0) return false;
    for (py::ssize_t d = 0; d < array.ndim(); ++d) {
        if (array.strides(d) % static_cast<py::ssize_t>(sizeof(T)) != 0) return false;
        strides[d] = array.strides(d) / static_cast<py::ssize_t>(sizeof(T));
    }
    return true;
}

// The scaled rows as doubles, when they are a plain N x 3 float64 array
// with aligned strides (and, when asked, all finite); otherwise the library
// is left to take (or reject) them itself.
bool scaled_rows_usable(py::handle scaled, bool check_finite) {
    if (!is_exact_array(scaled)) return false;
    auto array = py::reinterpret_borrow<py::array>(scaled);
    if (array.ndim() != 2 || array.shape(1) != 3 || !array.dtype().is(py::dtype::of<double>())) return false;
    py::ssize_t element_stride[2];
    if (!element_strides<double>(array, element_stride)) return false;
    if (!check_finite) return true;
    const auto* base = static_cast<const char*>(array.data());
    const py::ssize_t rs = array.strides(0), cs = array.strides(1);
    for (py::ssize_t i = 0; i < array.shape(0); ++i)
        for (py::ssize_t j = 0; j < 3; ++j)
            if (!std::isfinite(*reinterpret_cast<const double*>(base + i * rs + j * cs))) return false;
    return true;
}

// Labels of k distinct rows (row-major) of the given multiplicities.
std::vector<int64_t> labels_of_rows(const double* rows, const int64_t* counts, std::size_t k, Py_ssize_t min_samples) {
    if (k <= kLibraryBruteForceLimit) {
        // So few rows that the library searches by brute force, whose
        // rounding at exactly eps the kernel does not model: ask it.
        py::array_t<double> row_array({static_cast<py::ssize_t>(k), py::ssize_t(3)});
        std::copy(rows, rows + 3 * k, row_array.mutable_data());
        py::array_t<int64_t> weights(static_cast<py::ssize_t>(k));
        std::copy(counts, counts + k, weights.mutable_data());
        py::object dbscan = CL_GLOBAL("DBSCAN")("eps"_a = kEps, "min_samples"_a = min_samples);
        auto found = py::array_t<int64_t, py::array::forcecast>(
            dbscan.attr("fit_predict")(row_array, "sample_weight"_a = weights));
        return std::vector<int64_t>(found.data(), found.data() + k);
    }
    return kernels::density_labels(rows, counts, k, kEps, static_cast<int64_t>(min_samples));
}

// Labels of every pixel from the weighted search on the distinct rows.
py::object distinct_row_labels(py::handle scaled, Py_ssize_t min_samples) {
    auto array = py::reinterpret_borrow<py::array>(scaled);
    const py::ssize_t n = array.shape(0);
    py::ssize_t element_stride[2];
    element_strides<double>(array, element_stride);  // checked by scaled_rows_usable
    kernels::DistinctRows distinct = kernels::distinct_rows(static_cast<const double*>(array.data()),
                                                            static_cast<std::size_t>(n), element_stride[0],
                                                            element_stride[1]);
    const std::vector<int64_t> row_labels =
        labels_of_rows(distinct.rows.data(), distinct.counts.data(), distinct.counts.size(), min_samples);
    py::array_t<Py_ssize_t> labels(n);
    Py_ssize_t* out = labels.mutable_data();
    for (py::ssize_t i = 0; i < n; ++i) out[i] = static_cast<Py_ssize_t>(row_labels[distinct.inverse[i]]);
    return std::move(labels);
}

py::object literal_labels(py::handle pixels_scaled, Py_ssize_t min_samples) {
    py::object dbscan = CL_GLOBAL("DBSCAN")("eps"_a = kEps, "min_samples"_a = min_samples);
    return dbscan.attr("fit_predict")(pixels_scaled);
}

// Per-cluster means and sizes in one pass, for integer pixels where the sums
// are exact and so equal NumPy's (sum in float64, then one division).
struct ClusterSummary {
    std::vector<int64_t> labels;  // ascending, noise excluded
    std::vector<double> means;    // 3 per label
    std::vector<int64_t> sizes;
};

bool summarise_uint8(py::handle pixels, py::handle labels, ClusterSummary& out) {
    if (!is_exact_array(pixels) || !is_exact_array(labels)) return false;
    auto px = py::reinterpret_borrow<py::array>(pixels);
    auto lb = py::reinterpret_borrow<py::array>(labels);
    if (px.ndim() != 2 || px.shape(1) != 3 || !px.dtype().is(py::dtype::of<uint8_t>())) return false;
    if (lb.ndim() != 1 || lb.shape(0) != px.shape(0) || !lb.dtype().is(py::dtype::of<Py_ssize_t>())) return false;
    py::ssize_t lstride = 0;
    if (!element_strides<Py_ssize_t>(lb, &lstride)) return false;
    const py::ssize_t n = px.shape(0);
    const auto* lab = static_cast<const Py_ssize_t*>(lb.data());
    Py_ssize_t max_label = -1;
    for (py::ssize_t i = 0; i < n; ++i) {
        Py_ssize_t l = lab[i * lstride];
        if (l < -1) return false;  // not a labelling this summary understands
        max_label = std::max(max_label, l);
    }
    if (max_label >= n) return false;  // cluster numbers with gaps: leave them to NumPy
    const auto m = static_cast<std::size_t>(max_label + 1);
    std::vector<int64_t> sums(3 * m, 0), counts(m, 0);
    const auto* base = static_cast<const uint8_t*>(px.data());
    const py::ssize_t rs = px.strides(0), cs = px.strides(1);
    for (py::ssize_t i = 0; i < n; ++i) {
        Py_ssize_t l = lab[i * lstride];
        if (l < 0) continue;
        const uint8_t* row = base + i * rs;
        sums[3 * l] += row[0];
        sums[3 * l + 1] += row[cs];
        sums[3 * l + 2] += row[2 * cs];
        ++counts[l];
    }
    for (std::size_t l = 0; l < m; ++l) {
        if (counts[l] == 0) continue;
        out.labels.push_back(static_cast<int64_t>(l));
        out.sizes.push_back(counts[l]);
        for (int c = 0; c < 3; ++c)
            out.means.push_back(static_cast<double>(sums[3 * l + c]) / static_cast<double>(counts[l]));
    }
    return true;
}

// A plain C-contiguous N x 3 uint8 pixel list.
bool is_packed_pixels(py::handle obj) {
    if (!is_exact_array(obj)) return false;
    auto array = py::reinterpret_borrow<py::array>(obj);
    return array.ndim() == 2 && array.shape(1) == 3 && array.dtype().is(py::dtype::of<uint8_t>()) &&
           array.strides(1) == 1 && array.strides(0) == 3 && array.shape(0) < py::ssize_t{0xFFFFFFFF};
}

// The search on the distinct 8-bit colours of a packed pixel list, with the
// scaled rows read from `pixels_scaled` (which is released once they are,
// to make room for the search).  Returns the labels of every pixel and the
// per-cluster means and sizes (from the colours and their counts), or an
// empty object when the scaled values are not a one-to-one function of the
// colours, for the search on the scaled rows to take over.
py::object distinct_color_labels(py::handle pixels_obj, py::object& pixels_scaled, Py_ssize_t min_samples,
                                 ClusterSummary& summary) {
    auto pixels = py::reinterpret_borrow<py::array>(pixels_obj);
    const auto n = static_cast<std::size_t>(pixels.shape(0));
    const auto* bytes = static_cast<const uint8_t*>(pixels.data());
    const kernels::ColorTable table(bytes, n);
    std::vector<double> rows;
    {
        auto scaled = py::reinterpret_borrow<py::array>(pixels_scaled);
        if (scaled.shape(0) != pixels.shape(0)) return {};
        py::ssize_t element_stride[2];
        element_strides<double>(scaled, element_stride);  // checked by scaled_rows_usable
        if (!kernels::scaled_color_rows(bytes, n, static_cast<const double*>(scaled.data()), element_stride[0],
                                        element_stride[1], table, rows))
            return {};
    }
    pixels_scaled = py::object();
    const std::size_t k = table.size();
    const std::vector<int64_t> row_labels = labels_of_rows(rows.data(), table.counts().data(), k, min_samples);
    rows = std::vector<double>();

    py::array_t<Py_ssize_t> labels(static_cast<py::ssize_t>(n));
    static_assert(sizeof(Py_ssize_t) == sizeof(int64_t), "labels are 64-bit");
    kernels::spread_to_pixels(table, bytes, n, row_labels.data(),
                              reinterpret_cast<int64_t*>(labels.mutable_data()));

    // Integer sums per cluster are exact, so their means equal NumPy's.
    int64_t clusters = 0;
    for (const int64_t label : row_labels) clusters = std::max(clusters, label + 1);
    std::vector<int64_t> sums(3 * static_cast<std::size_t>(clusters), 0), sizes(static_cast<std::size_t>(clusters), 0);
    for (std::size_t j = 0; j < k; ++j) {
        const int64_t label = row_labels[j];
        if (label < 0) continue;
        const uint8_t* colour = bytes + 3 * table.first()[j];
        for (int c = 0; c < 3; ++c) sums[3 * label + c] += table.counts()[j] * colour[c];
        sizes[label] += table.counts()[j];
    }
    for (int64_t label = 0; label < clusters; ++label) {
        if (sizes[label] == 0) continue;
        summary.labels.push_back(label);
        summary.sizes.push_back(sizes[label]);
        for (int c = 0; c < 3; ++c)
            summary.means.push_back(static_cast<double>(sums[3 * label + c]) / static_cast<double>(sizes[label]));
    }
    return std::move(labels);
}

// Cluster colours and sizes by the loops over np.unique(labels): for each
// label other than -1, the mean of its pixels (np.mean(pixels[labels ==
// label], axis=0)) and, when wanted, its size (np.sum(labels == label)).
py::object literal_colors(py::handle pixels, py::handle labels, py::object& sizes_out, bool want_sizes) {
    py::object unique_labels = CL_GLOBAL("np").attr("unique")(labels);
    py::object noise = py::int_(-1);
    py::list colors;
    for (py::handle label : unique_labels) {
        if (truth(compare(label, noise, Py_EQ))) continue;
        py::object cluster_pixels = pixels[compare(labels, label, Py_EQ)];
        colors.append(CL_GLOBAL("np").attr("mean")(cluster_pixels, "axis"_a = 0));
    }
    py::object color_array = CL_GLOBAL("np").attr("array")(colors);
    if (want_sizes) {
        py::list cluster_sizes;
        for (py::handle label : unique_labels) {
            if (truth(compare(label, noise, Py_NE)))
                cluster_sizes.append(CL_GLOBAL("np").attr("sum")(compare(labels, label, Py_EQ)));
        }
        sizes_out = std::move(cluster_sizes);
    }
    return color_array;
}

}  // namespace

py::object cluster_colors_dbscan(Extractor* self, py::handle pixels) {
    py::object scaler = CL_GLOBAL("StandardScaler")();
    py::object pixels_scaled = scaler.attr("fit_transform")(pixels);
    Py_ssize_t n = PyObject_Length(pixels.ptr());
    if (n < 0) throw_python_error();
    Py_ssize_t min_samples = std::max<Py_ssize_t>(50, n / 100);

    const bool library_dbscan = global_is(CL_NAME("DBSCAN"), state.sklearn_dbscan);
    ClusterSummary summary;
    bool summarised = false;
    py::object labels;
    if (library_dbscan && scaled_rows_usable(pixels_scaled, false)) {
        if (is_packed_pixels(pixels)) {
            labels = distinct_color_labels(pixels, pixels_scaled, min_samples, summary);
            summarised = static_cast<bool>(labels);
        }
        if (!labels && scaled_rows_usable(pixels_scaled, true)) labels = distinct_row_labels(pixels_scaled, min_samples);
    }
    if (!labels) labels = literal_labels(pixels_scaled, min_samples);

    // Colours: the mean of each cluster's unscaled pixels, ascending label order.
    py::object colors, sizes;
    bool native = global_is(CL_NAME("np"), state.numpy_module);
    if (native && !summarised) native = summarise_uint8(pixels, labels, summary);
    if (native) {
        const auto k = static_cast<py::ssize_t>(summary.sizes.size());
        if (k == 0) {
            colors = CL_GLOBAL("np").attr("array")(py::list());
        } else {
            py::array_t<double> means({k, py::ssize_t(3)});
            std::copy(summary.means.begin(), summary.means.end(), means.mutable_data());
            colors = std::move(means);
        }
    } else {
        colors = literal_colors(pixels, labels, sizes, true);
    }

    if (static_cast<Py_ssize_t>(py::len(colors)) > self->n_colors) {
        if (native) {
            py::array_t<int64_t> counts(static_cast<py::ssize_t>(summary.sizes.size()));
            std::copy(summary.sizes.begin(), summary.sizes.end(), counts.mutable_data());
            sizes = std::move(counts);
        }
        colors = colors[largest_first(sizes, self->n_colors)];
    }
    return py::make_tuple(colors, labels);
}

}  // namespace chromalens
