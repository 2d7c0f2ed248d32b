// The LAB colour distance: the Euclidean distance between the 8-bit LAB
// encodings of two RGB colours, each taken through a one-pixel conversion.
#include "matching/matching.hpp"

namespace chromalens {

namespace matching {

py::object lab_triple(py::handle color) { return convert_one_pixel(color, CL_NAME("COLOR_RGB2LAB")); }

py::object max_zero(py::handle value) {
    py::int_ zero(0);
    int greater = PyObject_RichCompareBool(value.ptr(), zero.ptr(), Py_GT);
    if (greater < 0) throw_python_error();
    return greater ? py::reinterpret_borrow<py::object>(value) : zero;
}

}  // namespace matching

double color_distance_lab(Extractor*, py::handle color1, py::handle color2) {
    py::object lab1 = matching::lab_triple(color1);
    py::object lab2 = matching::lab_triple(color2);
    py::handle float_type(reinterpret_cast<PyObject*>(&PyFloat_Type));
    py::object first = lab1.attr("astype")(float_type);
    py::object second = lab2.attr("astype")(float_type);
    py::object difference = first - second;
    py::object squares = steal(PyNumber_Power(difference.ptr(), py::int_(2).ptr(), Py_None));
    py::object total = CL_GLOBAL("np").attr("sum")(squares);
    py::object distance = CL_GLOBAL("np").attr("sqrt")(total);
    double value = PyFloat_AsDouble(distance.ptr());
    if (value == -1.0 && PyErr_Occurred()) throw_python_error();
    return value;
}

}  // namespace chromalens
