// extract_colors: the image pipeline, clustering, cluster shares, and the
// colour info records sorted by share.
#include "clustering/cluster_order.hpp"
#include "clustering/label_counts.hpp"

namespace chromalens {

using namespace pybind11::literals;

namespace {

bool algorithm_is(Extractor* self, const char* name) {
    return PyUnicode_Check(self->algorithm) && PyUnicode_CompareWithASCIIString(self->algorithm, name) == 0;
}

// With more clusters than n_colors, the density step returns the colours of
// the largest clusters, largest first, while the labels keep the search's
// numbering.  The shares are reordered and cut the same way (sizes in
// ascending label order, argsort reversed, leading n_colors), so each colour
// is paired with its own cluster's share.
py::object follow_dbscan_order(Extractor* self, py::handle labels, py::object percentages) {
    if (!PyList_CheckExact(percentages.ptr()) || PyList_GET_SIZE(percentages.ptr()) <= self->n_colors)
        return percentages;
    py::object sizes;
    LabelCounts counted;
    if (count_labels(labels, counted)) {
        sizes = cluster_sizes(counted);
    } else {
        auto [unique_labels, counts] = unpack_pair(CL_GLOBAL("np").attr("unique")(labels, "return_counts"_a = true));
        sizes = counts[non_noise(unique_labels)];
    }
    if (static_cast<Py_ssize_t>(py::len(sizes)) != PyList_GET_SIZE(percentages.ptr())) return percentages;
    py::list reordered;
    for (py::handle index : largest_first(sizes, self->n_colors)) reordered.append(percentages[index]);
    return std::move(reordered);
}

}  // namespace

py::object extract_colors(Extractor* self, py::handle image_arg, py::handle mask_arg) {
    py::object image = load_image_if_path(image_arg, "Could not load image from ");
    py::object mask = load_image_if_path(mask_arg, "Could not load mask from ");
    py::object processed_image = call_preprocess_image(self, image);
    py::object feature_image = call_convert_to_feature_space(self, processed_image);
    py::object pixels = call_extract_pixels(self, feature_image, mask);
    // The images are not needed past this point; releasing them leaves the
    // clustering their memory.
    processed_image = py::object();
    feature_image = py::object();
    if (py::len(pixels) == 0) return py::list();

    py::object clustering;
    if (algorithm_is(self, "kmeans")) {
        clustering = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(self))
                         .attr("_cluster_colors_kmeans")(pixels);
    } else if (algorithm_is(self, "dbscan")) {
        clustering = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(self))
                         .attr("_cluster_colors_dbscan")(pixels);
    } else {
        py::object message = steal(PyUnicode_FromFormat("Unknown algorithm: %S", self->algorithm));
        PyErr_SetObject(PyExc_ValueError, message.ptr());
        throw_python_error();
    }
    auto [colors, labels] = unpack_pair(clustering);
    py::object percentages = call_calculate_percentages(self, labels);
    if (algorithm_is(self, "dbscan")) percentages = follow_dbscan_order(self, labels, percentages);

    if (self->lab_space) {
        py::list colors_rgb;
        for (py::handle color : colors) colors_rgb.append(convert_one_pixel(color, CL_NAME("COLOR_LAB2RGB")));
        colors = CL_GLOBAL("np").attr("array")(colors_rgb);
    } else {
        colors = colors.attr("astype")(CL_GLOBAL("np").attr("uint8"));
    }

    py::list result;
    py::object pairs = steal(PyObject_CallFunctionObjArgs(state.builtin_zip, colors.ptr(), percentages.ptr(), nullptr));
    for (py::handle pair : pairs) {
        py::handle color = PyTuple_GET_ITEM(pair.ptr(), 0);
        py::handle percentage = PyTuple_GET_ITEM(pair.ptr(), 1);
        py::dict record;
        record["color"] = int_tuple(color);
        record["percentage"] = round2(percentage);
        result.append(record);
    }
    // Stable sort on the rounded value, largest first: ties keep cluster order.
    py::object key = py::module_::import("operator").attr("itemgetter")("percentage");
    result.attr("sort")("key"_a = key, "reverse"_a = true);
    return std::move(result);
}

}  // namespace chromalens
