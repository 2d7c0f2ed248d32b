// Helpers shared by the colour-matching bodies.
#pragma once

#include "module/color_extractor.hpp"

namespace chromalens::matching {

// cv2.cvtColor(np.uint8([[color]]), cv2.COLOR_RGB2LAB)[0][0]: the 8-bit LAB
// triple of an RGB colour, through the module's `np` and `cv2`.
py::object lab_triple(py::handle color);

// max(0, value): `value` when it is greater than 0, else the integer 0.
py::object max_zero(py::handle value);

}  // namespace chromalens::matching
