// The image pipeline: preprocessing, feature space conversion, mask
// application and pixel extraction.  Each step is a few whole-array OpenCV
// and NumPy calls, made through the module's globals so that a rebinding of
// `cv2` or `np` is honoured.
#include "module/color_extractor.hpp"
#include "kernels/pixel_select.hpp"

#include <cstring>

namespace chromalens {

namespace {

int array_ndim(py::handle array) { return reinterpret_cast<py::detail::PyArray_Proxy*>(array.ptr())->nd; }

// `obj.name`, with a name interned once.
inline py::object get(py::handle obj, PyObject* name) { return steal(PyObject_GetAttr(obj.ptr(), name)); }

// A tuple of interned keyword names, built once per call site.
PyObject* keyword_names(std::initializer_list<const char*> names) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (tuple == nullptr) throw_python_error();
    Py_ssize_t i = 0;
    for (const char* name : names) {
        PyObject* interned = intern(name);
        Py_INCREF(interned);
        PyTuple_SET_ITEM(tuple, i++, interned);
    }
    return tuple;
}
#define CL_KWNAMES(...) ([]() -> PyObject* { static PyObject* t = keyword_names({__VA_ARGS__}); return t; }())

// `f(*positional, **dict(zip(kwnames, keyword values)))`.  The list holds
// the callable, then the positional arguments, then one value per keyword
// name; a braced list is evaluated left to right, so the callable is looked
// up before its arguments, as the interpreter does.
py::object call(std::initializer_list<py::handle> f_and_args, PyObject* kwnames = nullptr) {
    PyObject* stack[8];
    if (f_and_args.size() > 8) raise_formatted(PyExc_SystemError, "too many arguments for a library call");
    size_t n = 0;
    for (py::handle item : f_and_args) stack[n++] = item.ptr();
    size_t nargs = n - 1 - (kwnames != nullptr ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0);
    return steal(PyObject_Vectorcall(stack[0], stack + 1, nargs, kwnames));
}

// The index `[:, :, 0]`; slices and tuples are immutable, so one serves every call.
PyObject* channel_zero_index() {
    static PyObject* index = [] {
        py::slice all{py::none(), py::none(), py::none()};
        return py::make_tuple(all, all, 0).release().ptr();
    }();
    return index;
}

}  // namespace

py::object load_image_if_path(py::handle image, const char* error_prefix) {
    if (!PyUnicode_Check(image.ptr())) return py::reinterpret_borrow<py::object>(image);
    // OpenCV's binding crashes on a path without a UTF-8 form (a lone
    // surrogate) and cuts a path at an embedded NUL, reading another file.
    // Neither names a file it could read.
    bool nameable = true;
    if (global_is(CL_NAME("cv2"), state.cv2_module)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(image.ptr(), &size);
        if (utf8 == nullptr) PyErr_Clear();
        nameable = utf8 != nullptr && std::memchr(utf8, '\0', static_cast<size_t>(size)) == nullptr;
    }
    py::object loaded = nameable ? call({get(CL_GLOBAL("cv2"), CL_NAME("imread")), image}) : py::none();
    if (loaded.is_none()) {
        py::object message = steal(PyUnicode_Concat(py::str(error_prefix).ptr(), image.ptr()));
        PyErr_SetObject(PyExc_ValueError, message.ptr());
        throw_python_error();
    }
    return loaded;
}

py::object preprocess_image(Extractor* self, py::handle image) {
    if (!self->preprocessing) return py::reinterpret_borrow<py::object>(image);
    py::object lab =
        call({get(CL_GLOBAL("cv2"), CL_NAME("cvtColor")), image, get(CL_GLOBAL("cv2"), CL_NAME("COLOR_BGR2LAB"))});
    // Equalise lightness only; a and b stay as they are.
    py::object clahe = call({get(CL_GLOBAL("cv2"), CL_NAME("createCLAHE")), py::float_(3.0), py::make_tuple(8, 8)},
                            CL_KWNAMES("clipLimit", "tileGridSize"));
    {
        py::object lightness = steal(PyObject_GetItem(lab.ptr(), channel_zero_index()));
        py::object equalised = call({get(clahe, CL_NAME("apply")), lightness});
        if (PyObject_SetItem(lab.ptr(), channel_zero_index(), equalised.ptr()) < 0) throw_python_error();
    }
    py::object bgr =
        call({get(CL_GLOBAL("cv2"), CL_NAME("cvtColor")), lab, get(CL_GLOBAL("cv2"), CL_NAME("COLOR_LAB2BGR"))});
    return checked_array(
        call({get(CL_GLOBAL("cv2"), CL_NAME("bilateralFilter")), bgr, py::int_(9), py::int_(75), py::int_(75)}));
}

py::object convert_to_feature_space(Extractor* self, py::handle image) {
    py::object code = self->lab_space ? get(CL_GLOBAL("cv2"), CL_NAME("COLOR_BGR2LAB"))
                                      : get(CL_GLOBAL("cv2"), CL_NAME("COLOR_BGR2RGB"));
    return checked_array(call({get(CL_GLOBAL("cv2"), CL_NAME("cvtColor")), image, code}));
}

py::object apply_mask(Extractor*, py::handle image, py::handle mask) {
    if (mask.is_none()) return py::reinterpret_borrow<py::object>(image);
    py::object working = py::reinterpret_borrow<py::object>(mask);
    if (array_ndim(working) == 3)
        working = checked_array(call(
            {get(CL_GLOBAL("cv2"), CL_NAME("cvtColor")), working, get(CL_GLOBAL("cv2"), CL_NAME("COLOR_BGR2GRAY"))}));
    // 0 or 255: strictly brighter than 128 is inside the analysed area.
    // Each temporary is released as soon as the next one exists (as an
    // expression in Python would), so the large allocations that follow
    // can reuse its memory instead of faulting in fresh pages.
    {
        py::object scaled;
        {
            py::object bright = compare(working, py::int_(128), Py_GT);
            scaled = bright * py::int_(255);
        }
        working = checked_array(call({get(scaled, CL_NAME("astype")), get(CL_GLOBAL("np"), CL_NAME("uint8"))}));
    }
    return checked_array(
        call({get(CL_GLOBAL("cv2"), CL_NAME("bitwise_and")), image, image, working}, CL_KWNAMES("mask")));
}

namespace {

// A plain (not subclassed) C-contiguous uint8 array of the given rank whose
// leading dimensions are `height` and `width` (when given) and whose last is
// 3 for rank 3.  Anything else, views with gaps included, takes the literal
// calls, which then raise or copy as the libraries do.
bool is_packed_uint8(py::handle obj, int rank, py::ssize_t height = -1, py::ssize_t width = -1) {
    if (Py_TYPE(obj.ptr()) != state.ndarray) return false;
    auto array = py::reinterpret_borrow<py::array>(obj);
    if (array.ndim() != rank || !array.dtype().is(py::dtype::of<std::uint8_t>())) return false;
    if (!(array.flags() & py::array::c_style)) return false;
    if (rank == 3 && array.shape(2) != 3) return false;
    if (height >= 0 && (array.shape(0) != height || array.shape(1) != width)) return false;
    return true;
}

}  // namespace

// The image and gate of the native pixel list, when the result cannot
// differ from the literal calls': `np` and `cv2` are the libraries bound at
// import, the class overrides neither `_extract_pixels` nor `_apply_mask`,
// the image is a non-empty packed H x W x 3 uint8 array and the mask is None
// or a packed uint8 H x W or H x W x 3 array.  A three-channel mask is
// turned to grey by OpenCV itself (the rounding of its weights is OpenCV's
// own), once.  The literal masked image equals the image wherever the
// selection holds, so the selected rows are read from the image directly.
// Empty when the literal calls must run.
std::optional<PixelSource> native_pixel_source(Extractor* self, py::handle image, py::handle mask) {
    if (!global_is(CL_NAME("np"), state.numpy_module) || !global_is(CL_NAME("cv2"), state.cv2_module)) return {};
    if (find_override(self, Slot::extract_pixels)) return {};
    if (!is_packed_uint8(image, 3)) return {};
    auto pixels = py::reinterpret_borrow<py::array>(image);
    const py::ssize_t height = pixels.shape(0), width = pixels.shape(1);
    if (height == 0 || width == 0) return {};
    py::object gate;
    if (!mask.is_none()) {
        const bool grey = is_packed_uint8(mask, 2, height, width);
        if (!grey && !is_packed_uint8(mask, 3, height, width)) return {};
        if (find_override(self, Slot::apply_mask)) return {};
        gate = grey ? py::reinterpret_borrow<py::object>(mask)
                    : checked_array(call({get(CL_GLOBAL("cv2"), CL_NAME("cvtColor")), mask,
                                              get(CL_GLOBAL("cv2"), CL_NAME("COLOR_BGR2GRAY"))}));
        if (!is_packed_uint8(gate, 2, height, width)) return {};
    }
    return PixelSource{pixels, gate};
}

std::size_t PixelSource::size() const { return static_cast<std::size_t>(image.shape(0) * image.shape(1)); }

const std::uint8_t* PixelSource::gate_values() const {
    return gate ? static_cast<const std::uint8_t*>(py::reinterpret_borrow<py::array>(gate).data()) : nullptr;
}

py::object selected_rows(const PixelSource& source) {
    const py::ssize_t n = static_cast<py::ssize_t>(source.size());
    py::array_t<std::uint8_t> rows({n, py::ssize_t(3)});
    const std::size_t kept = kernels::select_pixels(static_cast<const std::uint8_t*>(source.image.data()),
                                                    static_cast<std::size_t>(n), source.gate_values(),
                                                    rows.mutable_data());
    // Shrinking the array it owns alone gives back the unused tail in place.
    rows.resize({static_cast<py::ssize_t>(kept), py::ssize_t(3)}, false);
    return std::move(rows);
}

py::object extract_pixels(Extractor* self, py::handle image, py::handle mask) {
    if (!mask.is_none()) require_array(mask);
    if (std::optional<PixelSource> source = native_pixel_source(self, image, mask)) {
        py::object rows = selected_rows(*source);
        return rows;
    }
    py::object pixels;
    if (!mask.is_none()) {
        py::object masked_image = call_apply_mask(self, image, mask);
        // The selection is made on the caller's mask, with the same test as
        // the working mask, so selected rows carry unmasked feature values.
        py::object selection = compare(mask, py::int_(128), Py_GT);
        if (py::len(get(mask, CL_NAME("shape"))) == 3) {
            py::object grey;
            {
                py::object mask8 = call({get(mask, CL_NAME("astype")), get(CL_GLOBAL("np"), CL_NAME("uint8"))});
                grey = call({get(CL_GLOBAL("cv2"), CL_NAME("cvtColor")), mask8,
                             get(CL_GLOBAL("cv2"), CL_NAME("COLOR_BGR2GRAY"))});
            }
            selection = compare(grey, py::int_(128), Py_GT);
        }
        pixels = steal(PyObject_GetItem(masked_image.ptr(), selection.ptr()));
    } else {
        pixels = call({get(image, CL_NAME("reshape")), py::int_(-1), py::int_(3)});
    }
    // Rows whose three values are all exactly zero are dropped.  The
    // temporaries are released as soon as they are used, so the copy of the
    // kept rows can reuse their memory.
    py::object keep;
    {
        py::object all_zero;
        {
            py::object zero = compare(pixels, py::int_(0), Py_EQ);
            all_zero = call({get(CL_GLOBAL("np"), CL_NAME("all")), zero, py::int_(1)}, CL_KWNAMES("axis"));
        }
        keep = ~all_zero;
    }
    return checked_array(steal(PyObject_GetItem(pixels.ptr(), keep.ptr())));
}

}  // namespace chromalens
