// The installed scikit-learn, as the native k-means sees it.
//
// The first native fit inspects the library once: the version, the
// functions KMeans runs (which must stay the ones found then, and be the
// library's own), and how its routines round.  The rounding is measured by
// calling the very routines the library's k-means calls (its squared norms,
// its euclidean distances, and SciPy's BLAS gemm that its Lloyd step calls)
// on data shaped like a centred pixel list and comparing every value with
// each way three products can be summed; a routine that matches none of
// them leaves k-means to the library.
#include "clustering/kmeans_library.hpp"

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace chromalens {

using namespace pybind11::literals;
using kernels::kmeans::Rounding;

namespace {

// The versions whose KMeans the native computation replays: the same
// seeding and Lloyd steps from 1.4.1 on; older ones draw or relocate
// differently.
constexpr int kOldest[3] = {1, 4, 1};
constexpr int kNewestMinor = 9;  // 1.9.x

// Attributes KMeans reaches while it fits, which must stay as they were.
constexpr const char* kClassAttributes[] = {"fit", "fit_predict", "_check_params_vs_input", "_init_centroids"};
constexpr const char* kModuleAttributes[] = {
    "_kmeans_plusplus", "_kmeans_single_lloyd", "_tolerance", "lloyd_iter_chunked_dense", "_inertia_dense",
    "_is_same_clustering", "row_norms", "_euclidean_distances", "_openmp_effective_n_threads",
    "_check_sample_weight", "check_random_state"};

struct Original {
    PyObject* owner;  // the class or the module
    PyObject* name;
    PyObject* value;
};

struct Inspection {
    bool usable = false;
    std::vector<Original> originals;
    PyObject* effective_threads = nullptr;
    PyObject* row_norms = nullptr;
    PyObject* euclidean_distances = nullptr;
    PyObject* dgemm = nullptr;
    Rounding norm, seed_one;
    std::map<int, std::optional<Rounding>> seed_many;  // by number of candidates
    std::map<int, std::optional<Rounding>> lloyd;      // by number of clusters
};

// Lives for the process, like the module's other bindings.
Inspection* inspection = nullptr;

bool supported_version(const std::string& text) {
    int part[3] = {0, 0, 0};
    char rest[2] = {0, 0};
    const int read = std::sscanf(text.c_str(), "%d.%d.%d%1s", &part[0], &part[1], &part[2], rest);
    if (read < 2 || rest[0] != 0) return false;  // pre-releases and local builds are not checked
    if (part[0] != kOldest[0] || part[1] > kNewestMinor) return false;
    for (int i = 0; i < 3; ++i)
        if (part[i] != kOldest[i]) return part[i] > kOldest[i];
    return true;
}

bool from_library(py::handle value) {
    py::object module = optional_attr(value, "__module__");
    if (!module || !PyUnicode_Check(module.ptr())) return false;
    const std::string name = module.cast<std::string>();
    return name.rfind("sklearn.", 0) == 0;
}

// ---------------------------------------------------------------------------
// Rounding, measured.
// ---------------------------------------------------------------------------
std::vector<Rounding> all_roundings() {
    std::vector<Rounding> all;
    const std::uint8_t orders[6][3] = {{0, 1, 2}, {1, 0, 2}, {0, 2, 1}, {2, 0, 1}, {1, 2, 0}, {2, 1, 0}};
    for (const bool fused : {true, false})
        for (const auto& order : orders) all.push_back({{order[0], order[1], order[2]}, fused});
    return all;
}

// The first rounding under which `expected(rounding, i)` reproduces every
// measured value.
template <class Expected>
std::optional<Rounding> matching_rounding(const std::vector<double>& measured, Expected expected) {
    for (const Rounding& rounding : all_roundings()) {
        bool all_equal = true;
        for (std::size_t i = 0; i < measured.size() && all_equal; ++i) all_equal = expected(rounding, i) == measured[i];
        if (all_equal) return rounding;
    }
    return std::nullopt;
}

// Rows like a centred pixel list: 8-bit values less a mean with a full
// mantissa, from a fixed pseudo-random sequence.
struct Sample {
    std::vector<double> rows;  // n x 3
    std::size_t n = 0;
};

std::uint64_t next_random(std::uint64_t& state) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return state >> 11;
}

Sample centred_sample(std::size_t n, std::uint64_t seed) {
    Sample sample;
    sample.n = n;
    sample.rows.resize(3 * n);
    double mean[3];
    for (double& m : mean) m = 40.0 + 170.0 * static_cast<double>(next_random(seed)) / 9007199254740992.0;
    for (std::size_t i = 0; i < 3 * n; ++i) sample.rows[i] = static_cast<double>(next_random(seed) % 256) - mean[i % 3];
    return sample;
}

py::array_t<double> as_array(const double* values, std::size_t rows) {
    py::array_t<double> array({static_cast<py::ssize_t>(rows), py::ssize_t(3)});
    std::memcpy(array.mutable_data(), values, 3 * rows * sizeof(double));
    return array;
}

std::vector<double> values_of(py::handle result) {
    auto array = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(result);
    if (!array) throw_python_error();
    return std::vector<double>(array.data(), array.data() + array.size());
}

const Sample& test_rows() {
    static const Sample* sample = new Sample(centred_sample(1031, 20261208));
    return *sample;
}

bool measure_norm_and_seed_one(Inspection& found) {
    const Sample& x = test_rows();
    py::array_t<double> rows = as_array(x.rows.data(), x.n);
    const std::vector<double> norms = values_of(py::handle(found.row_norms)(rows, "squared"_a = true));
    auto norm = matching_rounding(norms, [&](const Rounding& r, std::size_t i) {
        return kernels::kmeans::dot3(&x.rows[3 * i], &x.rows[3 * i], r);
    });
    if (!norm) return false;
    found.norm = *norm;
    // One centre, as a row of a larger array of centres.
    py::array_t<double> centres = as_array(x.rows.data() + 3 * 17, 4);
    py::object centre = centres[py::make_tuple(py::slice(0, 1, 1), py::slice(0, 3, 1))];
    py::array_t<double> norm_array(static_cast<py::ssize_t>(x.n));
    std::memcpy(norm_array.mutable_data(), norms.data(), norms.size() * sizeof(double));
    const std::vector<double> distances = values_of(
        py::handle(found.euclidean_distances)(centre, rows, "Y_norm_squared"_a = norm_array, "squared"_a = true));
    const double* c = &x.rows[3 * 17];
    auto seed_one = matching_rounding(distances, [&](const Rounding& r, std::size_t i) {
        const double d = (-2.0 * kernels::kmeans::dot3(c, &x.rows[3 * i], r) + norms[17]) + norms[i];
        return d >= 0.0 ? d : 0.0;
    });
    if (!seed_one) return false;
    found.seed_one = *seed_one;
    return true;
}

std::optional<Rounding> measure_seed_many(const Inspection& found, int candidates) {
    const Sample& x = test_rows();
    py::array_t<double> rows = as_array(x.rows.data(), x.n);
    std::vector<double> norms(x.n), chosen;
    for (std::size_t i = 0; i < x.n; ++i) norms[i] = kernels::kmeans::dot3(&x.rows[3 * i], &x.rows[3 * i], found.norm);
    std::vector<std::size_t> picked;
    for (int q = 0; q < candidates; ++q) {
        picked.push_back(static_cast<std::size_t>(37 * q + 5) % x.n);
        chosen.insert(chosen.end(), &x.rows[3 * picked.back()], &x.rows[3 * picked.back()] + 3);
    }
    py::array_t<double> norm_array(static_cast<py::ssize_t>(x.n));
    std::memcpy(norm_array.mutable_data(), norms.data(), norms.size() * sizeof(double));
    const std::vector<double> distances =
        values_of(py::handle(found.euclidean_distances)(as_array(chosen.data(), picked.size()), rows,
                                                       "Y_norm_squared"_a = norm_array, "squared"_a = true));
    return matching_rounding(distances, [&](const Rounding& r, std::size_t e) {
        const std::size_t q = e / x.n, i = e % x.n;
        const double d = (-2.0 * kernels::kmeans::dot3(&x.rows[3 * picked[q]], &x.rows[3 * i], r) + norms[picked[q]]) +
                         norms[i];
        return d >= 0.0 ? d : 0.0;
    });
}

// The Lloyd step's distances: each row of a chunk filled with the centres'
// squared norms, then gemm(-2 X C^T, beta=1) as scikit-learn calls it
// through SciPy's BLAS (column-major, so C^T = C X^T with C transposed).
std::optional<Rounding> measure_lloyd(const Inspection& found, int clusters) {
    const Sample& x = test_rows();
    std::uint64_t seed = 977 + static_cast<std::uint64_t>(clusters);
    std::vector<double> centres(3 * static_cast<std::size_t>(clusters)), norms(static_cast<std::size_t>(clusters));
    for (double& value : centres) value = -100.0 + 200.0 * static_cast<double>(next_random(seed)) / 9007199254740992.0;
    for (int j = 0; j < clusters; ++j)
        norms[static_cast<std::size_t>(j)] = kernels::kmeans::dot3(&centres[3 * j], &centres[3 * j], found.norm);
    py::array_t<double> centre_array = as_array(centres.data(), static_cast<std::size_t>(clusters));
    std::vector<double> measured, expected_rows;
    for (const std::size_t chunk : {std::size_t{256}, std::size_t{131}, std::size_t{1}}) {
        py::array_t<double> rows = as_array(x.rows.data(), chunk);
        py::array_t<double> distances({static_cast<py::ssize_t>(chunk), static_cast<py::ssize_t>(clusters)});
        for (std::size_t i = 0; i < chunk; ++i)
            std::memcpy(distances.mutable_data() + i * static_cast<std::size_t>(clusters), norms.data(),
                        norms.size() * sizeof(double));
        py::object result = py::handle(found.dgemm)(-2.0, centre_array.attr("T"), rows.attr("T"), "beta"_a = 1.0,
                                                    "c"_a = distances.attr("T"), "trans_a"_a = 1, "trans_b"_a = 0);
        const std::vector<double> block = values_of(result.attr("T"));
        measured.insert(measured.end(), block.begin(), block.end());
        expected_rows.insert(expected_rows.end(), x.rows.begin(), x.rows.begin() + static_cast<std::ptrdiff_t>(3 * chunk));
    }
    const std::size_t k = static_cast<std::size_t>(clusters);
    return matching_rounding(measured, [&](const Rounding& r, std::size_t e) {
        const std::size_t i = e / k, j = e % k;
        return norms[j] + -2.0 * kernels::kmeans::dot3(&expected_rows[3 * i], &centres[3 * j], r);
    });
}

// ---------------------------------------------------------------------------
// The one inspection.
// ---------------------------------------------------------------------------
void record(Inspection& found, py::handle owner, const char* name) {
    py::object value = owner.attr(name);
    if (!from_library(value)) throw std::runtime_error("not the library's own");
    found.originals.push_back({owner.inc_ref().ptr(), intern(name), value.release().ptr()});
}

void inspect(Inspection& found) {
    if (state.sklearn_kmeans == nullptr) return;
    py::object sklearn = py::module_::import("sklearn");
    if (!supported_version(sklearn.attr("__version__").cast<std::string>())) return;
    py::object kmeans_module = py::module_::import("sklearn.cluster._kmeans");
    if (kmeans_module.attr("KMeans").ptr() != state.sklearn_kmeans) return;  // bound to something else at import
    py::handle kmeans_class(state.sklearn_kmeans);
    for (const char* name : kClassAttributes) record(found, kmeans_class, name);
    for (const char* name : kModuleAttributes) record(found, kmeans_module, name);
    found.effective_threads = py::object(kmeans_module.attr("_openmp_effective_n_threads")).release().ptr();
    found.row_norms = py::object(kmeans_module.attr("row_norms")).release().ptr();
    found.euclidean_distances = py::object(kmeans_module.attr("_euclidean_distances")).release().ptr();
    found.dgemm = py::object(py::module_::import("scipy.linalg.blas").attr("dgemm")).release().ptr();
    found.usable = measure_norm_and_seed_one(found);
}

bool originals_in_place(const Inspection& found) {
    for (const Original& original : found.originals) {
        PyObject* now = PyObject_GetAttr(original.owner, original.name);
        if (now == nullptr) {
            PyErr_Clear();
            return false;
        }
        Py_DECREF(now);
        if (now != original.value) return false;
    }
    return true;
}

template <class Measure>
std::optional<Rounding> cached(std::map<int, std::optional<Rounding>>& cache, int key, Measure measure) {
    auto it = cache.find(key);
    if (it == cache.end()) it = cache.emplace(key, measure()).first;
    return it->second;
}

}  // namespace

std::optional<KMeansLibrary> kmeans_library(int n_clusters) {
    // Whatever goes wrong in here only means the library does the work; the
    // caller's error state is left as it was.
    try {
        if (!global_is(CL_NAME("KMeans"), state.sklearn_kmeans)) return std::nullopt;
        if (inspection == nullptr) {
            auto* found = new Inspection();
            try {
                inspect(*found);
            } catch (...) {
                PyErr_Clear();
                found->usable = false;
            }
            inspection = found;
        }
        Inspection& found = *inspection;
        if (!found.usable || !originals_in_place(found)) return std::nullopt;
        KMeansLibrary library;
        const int trials = kernels::kmeans::local_trials(n_clusters);
        auto lloyd = cached(found.lloyd, n_clusters, [&] { return measure_lloyd(found, n_clusters); });
        auto seed_many = cached(found.seed_many, trials, [&] { return measure_seed_many(found, trials); });
        if (!lloyd || !seed_many) return std::nullopt;
        library.roundings = {*lloyd, found.seed_one, *seed_many, found.norm};
        library.openmp_threads = py::handle(found.effective_threads)().cast<int>();
        return library;
    } catch (py::error_already_set&) {
        PyErr_Clear();
    } catch (...) {
        PyErr_Clear();
    }
    return std::nullopt;
}

}  // namespace chromalens
