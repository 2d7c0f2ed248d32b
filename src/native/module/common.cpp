#include "module/common.hpp"

#include <frameobject.h>

#include <cstdarg>
#include <new>
#include <stdexcept>

namespace chromalens {

ModuleState state;

PyObject* intern(const char* text) {
    PyObject* name = PyUnicode_InternFromString(text);
    if (name == nullptr) throw_python_error();
    return name;
}

void raise_formatted(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw_python_error();
}

void add_traceback(const char* function, const char* file, int line) {
    // Keep the pending error aside: building a frame must not disturb it.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject* code = PyCode_NewEmpty(file, function, line);
    PyFrameObject* frame = nullptr;
    if (code != nullptr) {
        PyObject* globals = state.globals != nullptr ? state.globals : PyEval_GetGlobals();
        if (globals == nullptr) globals = PyDict_New(); else Py_INCREF(globals);
        if (globals != nullptr) {
            frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
            Py_DECREF(globals);
        }
    }
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (frame != nullptr) {
#if PY_VERSION_HEX < 0x030B0000
        frame->f_lineno = line;
#endif
        PyTraceBack_Here(frame);
    }
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

py::object lookup_global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(state.globals, name);
    if (value == nullptr && !PyErr_Occurred()) value = PyDict_GetItemWithError(state.builtins, name);
    if (value == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw_python_error();
    }
    return py::reinterpret_borrow<py::object>(value);
}

bool global_is(PyObject* name, PyObject* original) {
    PyObject* value = PyDict_GetItemWithError(state.globals, name);
    if (value == nullptr && PyErr_Occurred()) throw_python_error();
    return value == original;
}

void require_array(py::handle obj) {
    if (!is_ndarray_or_none(obj.ptr()))
        raise_formatted(PyExc_TypeError, "Cannot convert %.200s to %.200s", type_name(obj.ptr()), state.ndarray->tp_name);
}

namespace {
[[noreturn]] void raise_too_many(Py_ssize_t expected) {
    raise_formatted(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}
[[noreturn]] void raise_need_more(Py_ssize_t found) {
    raise_formatted(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
}
}  // namespace

std::pair<py::object, py::object> unpack_pair(py::handle obj) {
    PyObject* o = obj.ptr();
    if (PyTuple_CheckExact(o) || PyList_CheckExact(o)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(o);
        if (size != 2) {
            if (size > 2) raise_too_many(2);
            raise_need_more(size);
        }
        PyObject** items = PySequence_Fast_ITEMS(o);
        return {py::reinterpret_borrow<py::object>(items[0]), py::reinterpret_borrow<py::object>(items[1])};
    }
    py::object it = steal(PyObject_GetIter(o));
    py::object values[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        PyObject* item = PyIter_Next(it.ptr());
        if (item == nullptr) {
            if (PyErr_Occurred()) throw_python_error();
            raise_need_more(i);
        }
        values[i] = py::reinterpret_steal<py::object>(item);
    }
    PyObject* extra = PyIter_Next(it.ptr());
    if (extra != nullptr) {
        Py_DECREF(extra);
        raise_too_many(2);
    }
    if (PyErr_Occurred()) throw_python_error();
    return {std::move(values[0]), std::move(values[1])};
}

py::object convert_one_pixel(py::handle color, PyObject* code_name) {
    // Looked up in the order the expression is evaluated: the function, its
    // image argument, then the code.
    py::object convert = CL_GLOBAL("cv2").attr("cvtColor");
    py::list row;
    row.append(color);
    py::list image;
    image.append(row);
    py::object pixel_image = CL_GLOBAL("np").attr("uint8")(image);
    py::object code = steal(PyObject_GetAttr(CL_GLOBAL("cv2").ptr(), code_name));
    py::object converted = convert(pixel_image, code);
    py::object zero = py::int_(0);
    return py::object(converted[zero])[zero];
}

py::tuple int_tuple(py::handle values) {
    py::list components;
    for (py::handle c : values) components.append(steal(PyNumber_Long(c.ptr())));
    return py::tuple(components);
}

py::object round2(py::handle value) {
    return steal(PyObject_CallFunctionObjArgs(state.builtin_round, value.ptr(), py::int_(2).ptr(), nullptr));
}

bool truth(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw_python_error();
    return result != 0;
}

py::object optional_attr(py::handle obj, const char* name) {
    PyObject* value = PyObject_GetAttrString(obj.ptr(), name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
        PyErr_Clear();
        return {};
    }
    return py::reinterpret_steal<py::object>(value);
}

namespace {

// The interpreter's exception for a standard one, as pybind11 maps them.
PyObject* exception_type_of(const std::exception& e) {
    if (dynamic_cast<const std::out_of_range*>(&e)) return PyExc_IndexError;
    if (dynamic_cast<const std::overflow_error*>(&e)) return PyExc_OverflowError;
    if (dynamic_cast<const std::invalid_argument*>(&e) || dynamic_cast<const std::domain_error*>(&e) ||
        dynamic_cast<const std::length_error*>(&e) || dynamic_cast<const std::range_error*>(&e))
        return PyExc_ValueError;
    return PyExc_RuntimeError;
}

}  // namespace

void set_error_from_exception() noexcept {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(exception_type_of(e), e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown native error");
    }
}

}  // namespace chromalens
