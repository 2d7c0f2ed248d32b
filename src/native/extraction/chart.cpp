// visualize_colors: the colour chart, one horizontal bar split into a segment
// per colour, as wide as its share, labelled when wide enough.
//
// Every pyplot call looks the module global `plt` up anew, so a caller that
// rebinds `plt` (a stand-in, another backend's module) sees every call.
// Arithmetic on the records' values goes through the interpreter's number
// protocol, as the records may hold any numbers (ints, floats, NumPy
// scalars).
#include "module/color_extractor.hpp"

namespace chromalens {

using namespace pybind11::literals;

py::object visualize_colors(Extractor*, py::handle colors, py::handle save_path) {
    // `colors` is exactly a list (checked on entry).
    if (PyList_GET_SIZE(colors.ptr()) == 0) return py::none();

    auto [fig, ax] = unpack_pair(CL_GLOBAL("plt").attr("subplots")(1, 1, "figsize"_a = py::make_tuple(12, 2)));
    (void)fig;  // the steps below act on pyplot's current figure, the one just made

    const py::float_ full_scale(255.0);
    const py::float_ hundred(100.0);
    const py::float_ min_labelled_width(0.05);
    const py::int_ two(2);
    const py::str color_key("color");
    const py::str percentage_key("percentage");
    const py::str percent_sign("%");
    const py::str label_format(".1f");

    py::object start = py::int_(0);
    for (py::handle color_info : colors) {
        py::list color;
        py::object components = steal(PyObject_GetItem(color_info.ptr(), color_key.ptr()));
        for (py::handle c : components) color.append(c / full_scale);
        py::object percentage = steal(PyObject_GetItem(color_info.ptr(), percentage_key.ptr()));
        py::object width = percentage / hundred;

        ax.attr("barh")(0, width, "left"_a = start, "height"_a = 0.8, "color"_a = color, "edgecolor"_a = "white",
                        "linewidth"_a = 1);

        int wide = PyObject_RichCompareBool(width.ptr(), min_labelled_width.ptr(), Py_GT);
        if (wide < 0) throw_python_error();
        if (wide) {
            py::object formatted = steal(PyObject_Format(percentage.ptr(), label_format.ptr()));
            py::object label = steal(PyUnicode_Concat(formatted.ptr(), percent_sign.ptr()));
            py::object x = start + width / two;
            ax.attr("text")(x, 0, label, "ha"_a = "center", "va"_a = "center", "fontweight"_a = "bold");
        }
        start = start + width;
    }

    ax.attr("set_xlim")(0, 1);
    ax.attr("set_ylim")(-0.5, 0.5);
    ax.attr("set_xlabel")("Color Distribution");
    ax.attr("set_title")("Extracted Colors with Percentages");
    ax.attr("set_yticks")(py::list());

    CL_GLOBAL("plt").attr("tight_layout")();
    // `save_path` is exactly str or None: save for a non-empty text only.
    if (save_path.ptr() != Py_None && PyUnicode_GET_LENGTH(save_path.ptr()) > 0)
        CL_GLOBAL("plt").attr("savefig")(save_path, "dpi"_a = 300, "bbox_inches"_a = "tight");
    CL_GLOBAL("plt").attr("show")();
    return py::none();
}

}  // namespace chromalens
