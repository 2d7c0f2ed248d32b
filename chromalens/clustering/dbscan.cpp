// Density clustering of the pixel list on standardised values, with one mean
// colour per cluster, keeping the n_colors largest clusters.
#include "color_extractor.hpp"

namespace chromalens {

using namespace pybind11::literals;

namespace {

py::object density_labels(py::handle pixels_scaled, Py_ssize_t min_samples) {
    py::object dbscan = CL_GLOBAL("DBSCAN")("eps"_a = 0.5, "min_samples"_a = min_samples);
    return dbscan.attr("fit_predict")(pixels_scaled);
}

py::object equals(py::handle a, py::handle b) { return steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ)); }

}  // namespace

py::object cluster_colors_dbscan(Extractor* self, py::handle pixels) {
    py::object scaler = CL_GLOBAL("StandardScaler")();
    py::object pixels_scaled = scaler.attr("fit_transform")(pixels);
    Py_ssize_t n = PyObject_Length(pixels.ptr());
    if (n < 0) throw_python_error();
    Py_ssize_t min_samples = std::max<Py_ssize_t>(50, n / 100);
    py::object labels = density_labels(pixels_scaled, min_samples);

    py::object unique_labels = CL_GLOBAL("np").attr("unique")(labels);
    py::object noise = py::int_(-1);
    py::list colors;
    for (py::handle label : unique_labels) {
        if (PyObject_IsTrue(equals(label, noise).ptr())) continue;
        py::object cluster_pixels = pixels[equals(labels, label)];
        colors.append(CL_GLOBAL("np").attr("mean")(cluster_pixels, "axis"_a = 0));
    }
    py::object color_array = CL_GLOBAL("np").attr("array")(colors);
    if (static_cast<Py_ssize_t>(py::len(color_array)) > self->n_colors) {
        py::list cluster_sizes;
        for (py::handle label : unique_labels) {
            if (PyObject_IsTrue(steal(PyObject_RichCompare(label.ptr(), noise.ptr(), Py_NE)).ptr()))
                cluster_sizes.append(CL_GLOBAL("np").attr("sum")(equals(labels, label)));
        }
        py::object order = CL_GLOBAL("np").attr("argsort")(cluster_sizes);
        py::object sorted_indices = order[py::slice(py::none(), py::none(), py::int_(-1))];
        py::object leading = sorted_indices[py::slice(py::none(), py::int_(self->n_colors), py::none())];
        color_array = color_array[leading];
    }
    return py::make_tuple(color_array, labels);
}

}  // namespace chromalens
