// The LAB colour distance and the target-colour analyses.
#include "color_extractor.hpp"

namespace chromalens {

double color_distance_lab(Extractor*, py::handle, py::handle) {
    raise_formatted(PyExc_NotImplementedError, "_color_distance_lab is not available yet");
}
py::object find_closest_color(Extractor*, py::handle, py::handle) {
    raise_formatted(PyExc_NotImplementedError, "_find_closest_color is not available yet");
}
py::object analyze_color_similarity(Extractor*, py::handle, py::handle, py::handle, double) {
    raise_formatted(PyExc_NotImplementedError, "analyze_color_similarity is not available yet");
}
py::object find_color_matches(Extractor*, py::handle, py::handle, py::handle) {
    raise_formatted(PyExc_NotImplementedError, "find_color_matches is not available yet");
}

}  // namespace chromalens
