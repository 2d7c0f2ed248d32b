// The image pipeline: preprocessing, feature space conversion, mask
// application and pixel extraction.  Each step is a few whole-array OpenCV
// and NumPy calls, made through the module's globals so that a rebinding of
// `cv2` or `np` is honoured.
#include "color_extractor.hpp"

namespace chromalens {

using namespace pybind11::literals;

namespace {

int array_ndim(py::handle array) { return reinterpret_cast<py::detail::PyArray_Proxy*>(array.ptr())->nd; }

py::object channel_zero_index() {
    return py::make_tuple(py::slice(py::none(), py::none(), py::none()),
                          py::slice(py::none(), py::none(), py::none()), 0);
}

}  // namespace

py::object load_image_if_path(py::handle image, const char* error_prefix) {
    if (!PyUnicode_Check(image.ptr())) return py::reinterpret_borrow<py::object>(image);
    py::object loaded = CL_GLOBAL("cv2").attr("imread")(image);
    if (loaded.is_none()) {
        py::object message = steal(PyUnicode_Concat(py::str(error_prefix).ptr(), image.ptr()));
        PyErr_SetObject(PyExc_ValueError, message.ptr());
        throw_python_error();
    }
    return loaded;
}

py::object preprocess_image(Extractor* self, py::handle image) {
    if (!self->preprocessing) return py::reinterpret_borrow<py::object>(image);
    py::object lab = CL_GLOBAL("cv2").attr("cvtColor")(image, CL_GLOBAL("cv2").attr("COLOR_BGR2LAB"));
    // Equalise lightness only; a and b stay as they are.
    py::object clahe = CL_GLOBAL("cv2").attr("createCLAHE")("clipLimit"_a = 3.0, "tileGridSize"_a = py::make_tuple(8, 8));
    py::object index = channel_zero_index();
    py::object equalised = clahe.attr("apply")(lab[index]);
    lab[index] = equalised;
    py::object bgr = CL_GLOBAL("cv2").attr("cvtColor")(lab, CL_GLOBAL("cv2").attr("COLOR_LAB2BGR"));
    return checked_array(CL_GLOBAL("cv2").attr("bilateralFilter")(bgr, 9, 75, 75));
}

py::object convert_to_feature_space(Extractor* self, py::handle image) {
    py::object cv2 = CL_GLOBAL("cv2");
    py::object code = self->lab_space ? cv2.attr("COLOR_BGR2LAB") : cv2.attr("COLOR_BGR2RGB");
    return checked_array(CL_GLOBAL("cv2").attr("cvtColor")(image, code));
}

py::object apply_mask(Extractor*, py::handle image, py::handle mask) {
    if (mask.is_none()) return py::reinterpret_borrow<py::object>(image);
    py::object working = py::reinterpret_borrow<py::object>(mask);
    if (array_ndim(working) == 3)
        working = checked_array(CL_GLOBAL("cv2").attr("cvtColor")(working, CL_GLOBAL("cv2").attr("COLOR_BGR2GRAY")));
    // 0 or 255: strictly brighter than 128 is inside the analysed area.
    py::object bright = steal(PyObject_RichCompare(working.ptr(), py::int_(128).ptr(), Py_GT));
    py::object scaled = steal(PyNumber_Multiply(bright.ptr(), py::int_(255).ptr()));
    working = checked_array(scaled.attr("astype")(CL_GLOBAL("np").attr("uint8")));
    return checked_array(CL_GLOBAL("cv2").attr("bitwise_and")(image, image, "mask"_a = working));
}

py::object extract_pixels(Extractor* self, py::handle image, py::handle mask) {
    py::object pixels;
    if (!mask.is_none()) {
        require_array(mask);
        py::object masked_image = call_apply_mask(self, image, mask);
        // The selection is made on the caller's mask, with the same test as
        // the working mask, so selected rows carry unmasked feature values.
        py::object selection = steal(PyObject_RichCompare(mask.ptr(), py::int_(128).ptr(), Py_GT));
        if (py::len(mask.attr("shape")) == 3) {
            py::object grey = CL_GLOBAL("cv2").attr("cvtColor")(mask.attr("astype")(CL_GLOBAL("np").attr("uint8")),
                                                                CL_GLOBAL("cv2").attr("COLOR_BGR2GRAY"));
            selection = steal(PyObject_RichCompare(grey.ptr(), py::int_(128).ptr(), Py_GT));
        }
        pixels = masked_image[selection];
    } else {
        pixels = image.attr("reshape")(-1, 3);
    }
    // Rows whose three values are all exactly zero are dropped.
    py::object zero = steal(PyObject_RichCompare(pixels.ptr(), py::int_(0).ptr(), Py_EQ));
    py::object all_zero = CL_GLOBAL("np").attr("all")(zero, "axis"_a = 1);
    py::object keep = steal(PyNumber_Invert(all_zero.ptr()));
    return checked_array(pixels[keep]);
}

}  // namespace chromalens
