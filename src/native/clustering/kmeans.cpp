// K-means clustering of the pixel list, and the small case where there are
// fewer pixels than requested colours.
//
// While the module's `KMeans` is scikit-learn's own class, in a version
// whose algorithm is replayed here, a plain N x 3 uint8 pixel list is
// clustered natively on its distinct colours with the library's result:
// the same labels and, to the last bit, the same centres, taking the
// library's random draws from its own generator.  Every other case, and
// every case the native computation does not replay (a cluster that goes
// empty, fewer clusters than asked), gets the library call itself.
#include "module/color_extractor.hpp"

#include <algorithm>
#include <thread>

#include "clustering/kmeans_library.hpp"
#include "kernels/kmeans.hpp"

namespace chromalens {

using namespace pybind11::literals;

namespace {

constexpr int kRandomState = 42;
constexpr int kInitialisations = 10;

bool is_packed_pixel_list(py::handle obj) {
    if (Py_TYPE(obj.ptr()) != state.ndarray) return false;
    auto array = py::reinterpret_borrow<py::array>(obj);
    return array.ndim() == 2 && array.shape(1) == 3 && array.dtype().is(py::dtype::of<uint8_t>()) &&
           array.strides(1) == 1 && array.strides(0) == 3 && array.shape(0) < py::ssize_t{0xFFFFFFFF};
}

// The draws KMeans takes from RandomState(42): per initialisation, one for
// the first centre (`choice`), then a batch of candidates per later centre.
void take_draws(kernels::kmeans::Problem& problem) {
    py::object generator = py::handle(state.numpy_module).attr("random").attr("RandomState")(kRandomState);
    const int trials = kernels::kmeans::local_trials(problem.n_clusters);
    for (int init = 0; init < kInitialisations; ++init) {
        problem.first_draws.push_back(generator.attr("random_sample")().cast<double>());
        for (int c = 1; c < problem.n_clusters; ++c) {
            auto batch = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
                generator.attr("uniform")("size"_a = trials));
            if (!batch) throw_python_error();
            problem.trial_draws.insert(problem.trial_draws.end(), batch.data(), batch.data() + batch.size());
        }
    }
}

// The library's fit computed natively, or an empty object for the caller to
// make the library call.
py::object native_fit(int n_colors, py::handle pixels) {
    if (n_colors < 1 || !is_packed_pixel_list(pixels)) return {};
    const std::optional<KMeansLibrary> library = kmeans_library(n_colors);
    if (!library) return {};
    auto array = py::reinterpret_borrow<py::array>(pixels);
    kernels::kmeans::Problem problem;
    problem.pixels = static_cast<const std::uint8_t*>(array.data());
    problem.n = static_cast<std::size_t>(array.shape(0));
    problem.n_clusters = n_colors;
    problem.roundings = library->roundings;
    problem.library_threads = library->openmp_threads;
    problem.threads = std::max(1u, std::min(std::thread::hardware_concurrency(),
                                            static_cast<unsigned>(std::max(library->openmp_threads, 1))));
    take_draws(problem);
    py::array_t<int32_t> labels(static_cast<py::ssize_t>(problem.n));
    problem.labels = labels.mutable_data();
    const kernels::kmeans::Fit fitted = kernels::kmeans::fit(problem);
    if (fitted.outcome != kernels::kmeans::Outcome::fitted) return {};
    py::array_t<double> centers({static_cast<py::ssize_t>(n_colors), py::ssize_t(3)});
    std::copy(fitted.centers.begin(), fitted.centers.end(), centers.mutable_data());
    return py::make_tuple(std::move(centers), std::move(labels));
}

}  // namespace

py::object cluster_colors_kmeans(Extractor* self, py::handle pixels) {
    Py_ssize_t n = PyObject_Length(pixels.ptr());
    if (n < 0) throw_python_error();
    if (n < self->n_colors) {
        // Too few pixels to cluster: each distinct colour is its own cluster.
        py::object unique_colors = CL_GLOBAL("np").attr("unique")(pixels.attr("reshape")(-1, 3), "axis"_a = 0);
        py::object labels = CL_GLOBAL("np").attr("arange")(py::len(unique_colors));
        return py::make_tuple(unique_colors, labels);
    }
    if (py::object fitted = native_fit(self->n_colors, pixels)) return fitted;
    py::object kmeans = CL_GLOBAL("KMeans")("n_clusters"_a = self->n_colors, "random_state"_a = 42, "n_init"_a = 10);
    py::object labels = kmeans.attr("fit_predict")(pixels);
    py::object colors = kmeans.attr("cluster_centers_");
    return py::make_tuple(colors, labels);
}

}  // namespace chromalens
