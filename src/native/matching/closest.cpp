// The extracted colour nearest to a target colour.
#include "matching/matching.hpp"

#include <limits>

namespace chromalens {

py::object find_closest_color(Extractor* self, py::handle target_color, py::handle image_colors) {
    py::object target_rgb = CL_GLOBAL("np").attr("array")(target_color);
    double min_distance = std::numeric_limits<double>::infinity();
    py::object closest_color = py::none();
    py::object key = py::reinterpret_borrow<py::object>(CL_NAME("color"));
    for (py::handle color_info : image_colors) {
        py::object color = steal(PyObject_GetItem(color_info.ptr(), key.ptr()));
        py::object image_rgb = CL_GLOBAL("np").attr("array")(color);
        double distance = call_color_distance_lab(self, target_rgb, image_rgb);
        // Strictly smaller: the earliest record wins a tie, and a NaN never wins.
        if (distance < min_distance) {
            min_distance = distance;
            closest_color = py::reinterpret_borrow<py::object>(color_info);
        }
    }
    return py::make_tuple(closest_color, py::float_(min_distance));
}

}  // namespace chromalens
