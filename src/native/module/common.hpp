// Small helpers every subsystem of the module uses: module-global lookup,
// raising the interpreter's exceptions from C++, the array checks and the
// strict unpacking of pairs.  Everything here runs with the interpreter lock
// held.
//
// The idiom of the bodies: pybind11's object API (calls, attributes, items,
// and the arithmetic operators + - * /, which are the interpreter's number
// protocol); `compare` where a comparison's result object is wanted rather
// than its truth (NumPy compares element-wise); `py::int_` and `py::float_`
// for numbers; CL_GLOBAL for the module's library bindings.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <utility>

namespace py = pybind11;

namespace chromalens {

// ---------------------------------------------------------------------------
// Module state.  The module loads into one interpreter per process, and what
// it binds at start-up lives until the process ends, so plain pointers that
// are never released are the honest representation (no static destructors
// running after the interpreter is gone).
// ---------------------------------------------------------------------------
struct ModuleState {
    PyObject* module = nullptr;
    PyObject* globals = nullptr;       // the module's dictionary
    PyObject* builtins = nullptr;      // the builtins module's dictionary
    PyTypeObject* ndarray = nullptr;   // numpy.ndarray
    PyObject* builtin_round = nullptr;
    PyObject* builtin_zip = nullptr;
    // The library objects bound at start-up.  Fast paths are taken only while
    // the module's globals still name these very objects, so that a caller's
    // stand-in sees every call.
    PyObject* numpy_module = nullptr;
    PyObject* cv2_module = nullptr;
    PyObject* sklearn_dbscan = nullptr;
    PyObject* sklearn_kmeans = nullptr;
};

extern ModuleState state;

// An interned name that lives for the process; the macro caches it per site.
PyObject* intern(const char* text);
#define CL_NAME(text) ([]() -> PyObject* { static PyObject* n = ::chromalens::intern(text); return n; }())

// ---------------------------------------------------------------------------
// Errors.  Bodies raise the interpreter's exceptions by setting the error
// indicator and throwing py::error_already_set; the entry point of each
// method restores it for the interpreter.
// ---------------------------------------------------------------------------
[[noreturn]] void raise_formatted(PyObject* type, const char* format, ...);
[[noreturn]] inline void throw_python_error() { throw py::error_already_set(); }

// Sets the interpreter's error indicator from the C++ exception being
// handled; call only inside a catch block.  Python errors are restored as
// they are; the standard exceptions map as pybind11 maps them (bad_alloc to
// MemoryError; invalid_argument, domain_error, length_error and range_error
// to ValueError; out_of_range to IndexError; overflow_error to
// OverflowError), anything else to RuntimeError.  No C++ exception may cross
// into the interpreter, so every entry point ends its try with this.
void set_error_from_exception() noexcept;

// Owns a new reference, or turns a NULL result into a thrown error.
inline py::object steal(PyObject* obj) {
    if (obj == nullptr) throw_python_error();
    return py::reinterpret_steal<py::object>(obj);
}

// Adds a traceback entry naming `function`, as the interpreter does for a
// Python frame, so native frames show up in the caller's traceback.
void add_traceback(const char* function, const char* file, int line);

// Runs `body`; when it throws a Python error, adds a traceback entry for
// `function` and lets the error travel on.
template <class Body>
auto with_traceback(const char* function, const char* file, int line, Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (py::error_already_set& e) {
        e.restore();
        add_traceback(function, file, line);
        throw py::error_already_set();
    }
}

// ---------------------------------------------------------------------------
// Module globals, looked up by name at each use (then in builtins), so a
// rebinding after import changes what the methods call.
// ---------------------------------------------------------------------------
py::object lookup_global(PyObject* name);
#define CL_GLOBAL(text) ::chromalens::lookup_global(CL_NAME(text))

// True while the module global `name` still holds `original`.
bool global_is(PyObject* name, PyObject* original);

// ---------------------------------------------------------------------------
// Checks on values handed between steps.
// ---------------------------------------------------------------------------
inline bool is_ndarray(PyObject* obj) { return PyObject_TypeCheck(obj, state.ndarray); }
inline bool is_ndarray_or_none(PyObject* obj) { return obj == Py_None || is_ndarray(obj); }

// TypeError "Cannot convert <type> to numpy.ndarray" unless `obj` is an array or None.
void require_array(py::handle obj);
inline py::object checked_array(py::object obj) {
    require_array(obj);
    return obj;
}

// Unpacks an iterable into exactly two values, with the interpreter's messages.
std::pair<py::object, py::object> unpack_pair(py::handle obj);

// cv2.cvtColor(np.uint8([[color]]), cv2.<code>)[0][0]: one colour converted
// as a one-pixel image, its components truncated to 8 bits by NumPy.
py::object convert_one_pixel(py::handle color, PyObject* code_name);

// tuple(int(c) for c in values)
py::tuple int_tuple(py::handle values);

// The interpreter's round(value, 2), through the cached builtin.
py::object round2(py::handle value);

// `a <op> b` as the interpreter evaluates it, e.g. compare(labels, label,
// Py_EQ): the result object itself, which NumPy makes an array of truth
// values (pybind11's own comparison operators return only a truth value).
inline py::object compare(py::handle a, py::handle b, int op) {
    return steal(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}

// The truth value of `value`, as `if value:` takes it.
bool truth(py::handle value);

// `obj.name`, or an empty object when the lookup raises AttributeError;
// every other error propagates.
py::object optional_attr(py::handle obj, const char* name);

// Type name as the interpreter prints it in messages.
inline const char* type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

}  // namespace chromalens
