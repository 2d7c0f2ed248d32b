// The argument conventions of the method objects: parsing positional and
// keyword arguments by a method's parameter table, the conversions, the type
// checks, and the errors in the interpreter's words.
#include "module/color_extractor.hpp"

#include <cstring>
#include <stdexcept>
#include <string>

namespace chromalens {

namespace {

PyObject* default_objects[static_cast<int>(Default::count)];

const char* const kSubclassNote =
    "Note that chromalens is deliberately stricter than PEP-484 and rejects subclasses of builtin types.";

void raise_argtuple_invalid(const char* name, bool exact, Py_ssize_t min, Py_ssize_t max, Py_ssize_t found) {
    Py_ssize_t expected;
    const char* more_or_less;
    if (found < min) {
        expected = min;
        more_or_less = "at least";
    } else {
        expected = max;
        more_or_less = "at most";
    }
    if (exact) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name, more_or_less,
                 expected, expected == 1 ? "" : "s", found);
}

bool raise_arg_type(const char* param, PyTypeObject* expected, PyObject* obj, bool note) {
    PyObject* extra = PyUnicode_FromString(note ? kSubclassNote : "");
    if (extra == nullptr) return false;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U", param,
                 expected->tp_name, Py_TYPE(obj)->tp_name, note ? ". " : "", extra);
    Py_DECREF(extra);
    return false;
}

// Exact type test; a subclass of a builtin type gets the note when `with_note`.
bool check_exact(const char* param, PyTypeObject* type, PyObject* obj, bool none_ok, bool with_note) {
    if (Py_TYPE(obj) == type || (none_ok && obj == Py_None)) return true;
    bool subclass = with_note && PyObject_TypeCheck(obj, type);
    return raise_arg_type(param, type, obj, subclass);
}

// The type check of one parameter; false with the error set.
bool check_type(const ParamSpec& param, PyObject* value) {
    switch (param.check) {
        case Check::array:
            return is_ndarray_or_none(value) || raise_arg_type(param.name, state.ndarray, value, false);
        case Check::exact_list:
            return check_exact(param.name, &PyList_Type, value, false, true);
        case Check::exact_tuple:
            return check_exact(param.name, &PyTuple_Type, value, false, true);
        case Check::exact_dict:
            return check_exact(param.name, &PyDict_Type, value, false, true);
        case Check::exact_str_or_none:
            return check_exact(param.name, &PyUnicode_Type, value, true, true);
        case Check::plain_str_or_none:
            return check_exact(param.name, &PyUnicode_Type, value, true, false);
        default:
            return true;
    }
}

// Keyword names are str (the interpreter guarantees it for calls); parameter
// names are ASCII.
bool keyword_is(PyObject* key, const char* name) {
    return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0;
}

}  // namespace

PyObject* default_value(Default fallback) { return default_objects[static_cast<int>(fallback)]; }

int ready_default_values() {
    try {
        default_objects[static_cast<int>(Default::required)] = nullptr;
        default_objects[static_cast<int>(Default::none)] = Py_None;
        default_objects[static_cast<int>(Default::true_)] = Py_True;
        default_objects[static_cast<int>(Default::int_5)] = py::int_(5).release().ptr();
        default_objects[static_cast<int>(Default::str_kmeans)] =
            steal(PyUnicode_InternFromString("kmeans")).release().ptr();
        default_objects[static_cast<int>(Default::float_50)] = py::float_(50.0).release().ptr();
        return 0;
    } catch (...) {
        set_error_from_exception();
        return -1;
    }
}

int Args::index(const char* name) const {
    for (int i = 0; i < spec_->nparams; ++i)
        if (std::strcmp(spec_->params[i].name, name) == 0) return i;
    throw std::logic_error(std::string(spec_->name) + "() has no parameter " + name);
}

bool convert_int32(PyObject* obj, int32_t& out) {
    py::object owned;
    if (!PyLong_Check(obj)) {
        PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
        if (nb == nullptr || nb->nb_int == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
            return false;
        }
        PyObject* converted = nb->nb_int(obj);
        if (converted == nullptr) return false;
        owned = py::reinterpret_steal<py::object>(converted);
        if (!PyLong_Check(converted)) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(converted)->tp_name);
            return false;
        }
        obj = converted;
    }
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    out = static_cast<int32_t>(value);
    return true;
}

bool convert_bool(PyObject* obj, int& out) {
    if (obj == Py_True || obj == Py_False || obj == Py_None) {
        out = obj == Py_True;
        return true;
    }
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    out = truth;
    return true;
}

bool convert_double(PyObject* obj, double& out) {
    out = PyFloat_CheckExact(obj) ? PyFloat_AS_DOUBLE(obj) : PyFloat_AsDouble(obj);
    return !(out == -1.0 && PyErr_Occurred());
}

// Positional arguments first; then the required parameters by keyword, in
// order (the first missing one is reported); then the optional ones; then any
// keyword left over is either a repeat of a positional argument or unknown.
// Conversions run next, in parameter order, and the type checks last.
bool parse_args(const MethodSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out) {
    const int n = spec.nparams;
    int nrequired = 0;
    while (nrequired < n && spec.params[nrequired].fallback == Default::required) ++nrequired;
    if (nargs > n) {
        raise_argtuple_invalid(spec.name, nrequired == n, nrequired, n, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out.values_[i].object = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw > 0) {
        PyObject* const* kwvalues = args + nargs;
        Py_ssize_t matched = 0;
        for (int i = static_cast<int>(nargs); i < n; ++i) {
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                if (keyword_is(PyTuple_GET_ITEM(kwnames, k), spec.params[i].name)) {
                    out.values_[i].object = kwvalues[k];
                    ++matched;
                    break;
                }
            }
            if (out.values_[i].object == nullptr && i < nrequired) {
                raise_argtuple_invalid(spec.name, nrequired == n, nrequired, n, i);
                return false;
            }
        }
        if (matched < nkw) {
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, k);
                int found = -1;
                for (int i = 0; i < n && found < 0; ++i)
                    if (keyword_is(key, spec.params[i].name)) found = i;
                if (found < 0) {
                    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name, key);
                    return false;
                }
                if (found < nargs) {
                    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.name,
                                 key);
                    return false;
                }
            }
        }
    } else if (nargs < nrequired) {
        raise_argtuple_invalid(spec.name, nrequired == n, nrequired, n, nargs);
        return false;
    }
    for (int i = 0; i < n; ++i)
        if (out.values_[i].object == nullptr) out.values_[i].object = default_value(spec.params[i].fallback);

    for (int i = 0; i < n; ++i) {
        PyObject* v = out.values_[i].object;
        switch (spec.params[i].check) {
            case Check::to_int32:
                if (!convert_int32(v, out.values_[i].int32)) return false;
                break;
            case Check::to_bool:
                if (!convert_bool(v, out.values_[i].flag)) return false;
                break;
            case Check::to_double:
                if (!convert_double(v, out.values_[i].real)) return false;
                break;
            default:
                break;
        }
    }
    for (int i = 0; i < n; ++i)
        if (!check_type(spec.params[i], out.values_[i].object)) return false;
    return true;
}

}  // namespace chromalens
