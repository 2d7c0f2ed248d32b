// visualize_colors: the colour chart.
#include "color_extractor.hpp"

namespace chromalens {

py::object visualize_colors(Extractor*, py::handle, py::handle) {
    raise_formatted(PyExc_NotImplementedError, "visualize_colors is not available yet");
}

}  // namespace chromalens
