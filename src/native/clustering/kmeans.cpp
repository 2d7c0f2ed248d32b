// K-means clustering of the pixel list, and the small case where there are
// fewer pixels than requested colours.
#include "module/color_extractor.hpp"

namespace chromalens {

using namespace pybind11::literals;

py::object cluster_colors_kmeans(Extractor* self, py::handle pixels) {
    Py_ssize_t n = PyObject_Length(pixels.ptr());
    if (n < 0) throw_python_error();
    if (n < self->n_colors) {
        // Too few pixels to cluster: each distinct colour is its own cluster.
        py::object unique_colors = CL_GLOBAL("np").attr("unique")(pixels.attr("reshape")(-1, 3), "axis"_a = 0);
        py::object labels = CL_GLOBAL("np").attr("arange")(py::len(unique_colors));
        return py::make_tuple(unique_colors, labels);
    }
    py::object kmeans = CL_GLOBAL("KMeans")("n_clusters"_a = self->n_colors, "random_state"_a = 42, "n_init"_a = 10);
    py::object labels = kmeans.attr("fit_predict")(pixels);
    py::object colors = kmeans.attr("cluster_centers_");
    return py::make_tuple(colors, labels);
}

}  // namespace chromalens
