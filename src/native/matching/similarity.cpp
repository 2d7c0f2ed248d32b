// Similarity of named target colours to the image's dominant colours.
//
// Both calls go by name on `self`, so subclasses defined in Python that
// override extract_colors or _find_closest_color are honoured.  The
// arithmetic is done on the interpreter's objects, as the distance may come
// from an override.
#include "matching/matching.hpp"

namespace chromalens {

py::object analyze_color_similarity(Extractor* self, py::handle image, py::handle target_colors, py::handle mask,
                                    double similarity_threshold) {
    py::object self_obj = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(self));
    py::object image_colors = self_obj.attr("extract_colors")(image, mask);
    if (!truth(image_colors)) return py::dict();

    py::float_ threshold(similarity_threshold);
    py::int_ hundred(100);
    py::int_ zero(0);
    py::object percentage_key = py::reinterpret_borrow<py::object>(CL_NAME("percentage"));
    py::object color_key = py::reinterpret_borrow<py::object>(CL_NAME("color"));

    py::dict results;
    py::object items = target_colors.attr("items")();
    for (py::handle item : items) {
        auto [color_name, target_rgb] = unpack_pair(item);
        auto [closest_color, distance] = unpack_pair(self_obj.attr("_find_closest_color")(target_rgb, image_colors));
        py::object similarity, percentage;
        if (truth(compare(distance, threshold, Py_LE))) {
            similarity = matching::max_zero(((threshold - distance) / threshold) * hundred);
            py::object share = steal(PyObject_GetItem(closest_color.ptr(), percentage_key.ptr()));
            percentage = share * (similarity / hundred);
        } else {
            similarity = zero;
            percentage = zero;
        }
        py::dict record;
        record["percentage"] = round2(percentage);
        record["similarity"] = round2(similarity);
        record["closest_color"] = steal(PyObject_GetItem(closest_color.ptr(), color_key.ptr()));
        record["distance"] = round2(distance);
        record["found_directly"] = compare(distance, py::float_(10.0), Py_LT);
        results[color_name] = record;
    }
    return std::move(results);
}

}  // namespace chromalens
