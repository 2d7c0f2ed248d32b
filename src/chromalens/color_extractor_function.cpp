// Method objects of ColorExtractor and the argument conventions they share.
//
// A method object behaves like a Python function for introspection (__name__,
// __qualname__, __doc__, __defaults__, __annotations__, __signature__) and
// binds to instances like one, but parses its arguments natively and calls a
// C++ body.  Every error leaving a body gets a traceback entry naming the
// method's qualified name.
#include "color_extractor.hpp"

#include <new>
#include <stdexcept>

namespace chromalens {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* defaults;     // tuple or None
    PyObject* annotations;  // dict
    PyObject* trace_name;   // bytes: "chromalens.color_extractor_cy.<qualname>"
};

PyObject* default_objects[6];

PyObject* default_value(Default d) { return default_objects[static_cast<int>(d)]; }

const char* const kSubclassNote =
    "Note that chromalens is deliberately stricter than PEP-484 and rejects subclasses of builtin types.";

// ---------------------------------------------------------------------------
// Argument errors, in the host's words.
// ---------------------------------------------------------------------------
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

// Keyword names are str (the interpreter guarantees it for calls); parameter
// names are ASCII.
bool keyword_is(PyObject* key, const char* name) {
    return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0;
}

// ---------------------------------------------------------------------------
// The method-object type.
// ---------------------------------------------------------------------------
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* fn = reinterpret_cast<FunctionObject*>(callable);
    const MethodSpec& spec = *fn->spec;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* self = nullptr;
    Args parsed;
    if (spec.is_method) {
        if (nargs < 1) {
            PyErr_Format(PyExc_TypeError, "unbound method %.200S() needs an argument", fn->qualname);
            goto error;
        }
        self = args[0];
        if (!PyObject_TypeCheck(self, &ExtractorType)) {
            PyErr_Format(PyExc_TypeError, "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object",
                         fn->name, ExtractorType.tp_name, Py_TYPE(self)->tp_name);
            goto error;
        }
        ++args;
        --nargs;
    }
    if (!parse_args(spec, args, nargs, kwnames, parsed)) goto error;
    try {
        py::object result = spec.body(reinterpret_cast<Extractor*>(self), parsed);
        if (!result) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "method returned no result");
            goto error;
        }
        return result.release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown native error");
    }
error:
    add_traceback(PyBytes_AS_STRING(fn->trace_name), spec.file, spec.line);
    return nullptr;
}

void function_dealloc(PyObject* obj) {
    auto* fn = reinterpret_cast<FunctionObject*>(obj);
    Py_XDECREF(fn->name);
    Py_XDECREF(fn->qualname);
    Py_XDECREF(fn->doc);
    Py_XDECREF(fn->module);
    Py_XDECREF(fn->defaults);
    Py_XDECREF(fn->annotations);
    Py_XDECREF(fn->trace_name);
    Py_TYPE(obj)->tp_free(obj);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    auto* fn = reinterpret_cast<FunctionObject*>(self);
    if (!fn->spec->is_method || obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    auto* fn = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", fn->qualname, self);
}

// Pickled by reference: pickle looks the qualified name up in __module__.
PyObject* function_reduce(PyObject* self, PyObject*) {
    auto* fn = reinterpret_cast<FunctionObject*>(self);
    Py_INCREF(fn->qualname);
    return fn->qualname;
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int set_text(PyObject** slot, PyObject* value, const char* what, bool none_ok) {
    if (value == nullptr || !(PyUnicode_Check(value) || (none_ok && value == Py_None))) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*slot, value);
    return 0;
}

PyObject* get_name(PyObject* self, void*) {
    PyObject* v = reinterpret_cast<FunctionObject*>(self)->name;
    Py_INCREF(v);
    return v;
}
int set_name(PyObject* self, PyObject* value, void*) {
    return set_text(&reinterpret_cast<FunctionObject*>(self)->name, value, "__name__", false);
}
PyObject* get_qualname(PyObject* self, void*) {
    PyObject* v = reinterpret_cast<FunctionObject*>(self)->qualname;
    Py_INCREF(v);
    return v;
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(&reinterpret_cast<FunctionObject*>(self)->qualname, value, "__qualname__", false);
}
PyObject* get_doc(PyObject* self, void*) {
    PyObject* v = reinterpret_cast<FunctionObject*>(self)->doc;
    Py_INCREF(v);
    return v;
}
int set_doc(PyObject* self, PyObject* value, void*) {
    return set_text(&reinterpret_cast<FunctionObject*>(self)->doc, value, "__doc__", true);
}
PyObject* get_module(PyObject* self, void*) {
    PyObject* v = reinterpret_cast<FunctionObject*>(self)->module;
    Py_INCREF(v);
    return v;
}
int set_module(PyObject* self, PyObject* value, void*) {
    return set_text(&reinterpret_cast<FunctionObject*>(self)->module, value, "__module__", true);
}
PyObject* get_defaults(PyObject* self, void*) {
    PyObject* v = reinterpret_cast<FunctionObject*>(self)->defaults;
    Py_INCREF(v);
    return v;
}
PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_annotations(PyObject* self, void*) {
    PyObject* v = reinterpret_cast<FunctionObject*>(self)->annotations;
    Py_INCREF(v);
    return v;
}

// inspect.signature() reads this: every parameter is positional-or-keyword,
// with the defaults and the annotation texts of the method.
PyObject* get_signature(PyObject* self, void*) {
    auto* fn = reinterpret_cast<FunctionObject*>(self);
    const MethodSpec& spec = *fn->spec;
    try {
        py::module_ inspect = py::module_::import("inspect");
        py::object parameter = inspect.attr("Parameter");
        py::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
        py::object empty = parameter.attr("empty");
        py::list params;
        if (spec.is_method) params.append(parameter("self", kind));
        for (int i = 0; i < spec.nparams; ++i) {
            const ParamSpec& p = spec.params[i];
            py::object fallback = p.fallback == Default::required
                                      ? empty
                                      : py::reinterpret_borrow<py::object>(default_value(p.fallback));
            py::object annotation = p.annotation ? py::object(py::str(p.annotation)) : empty;
            params.append(parameter(p.name, kind, py::arg("default") = fallback, py::arg("annotation") = annotation));
        }
        py::object ret = spec.return_annotation ? py::object(py::str(spec.return_annotation))
                                                : inspect.attr("Signature").attr("empty");
        return inspect.attr("Signature")(params, py::arg("return_annotation") = ret).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
    }
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

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

PyTypeObject FunctionType = {
    PyVarObject_HEAD_INIT(nullptr, 0) "chromalens.color_extractor_cy.function",  // tp_name
    sizeof(FunctionObject),                                                      // tp_basicsize
};

int ready_function_type() {
    FunctionType.tp_dealloc = function_dealloc;
    FunctionType.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    FunctionType.tp_repr = function_repr;
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    FunctionType.tp_methods = function_methods;
    FunctionType.tp_getset = function_getset;
    FunctionType.tp_descr_get = function_descr_get;
    if (PyType_Ready(&FunctionType) < 0) return -1;
    default_objects[static_cast<int>(Default::required)] = nullptr;
    default_objects[static_cast<int>(Default::none)] = Py_None;
    default_objects[static_cast<int>(Default::true_)] = Py_True;
    default_objects[static_cast<int>(Default::int_5)] = PyLong_FromLong(5);
    default_objects[static_cast<int>(Default::str_kmeans)] = PyUnicode_InternFromString("kmeans");
    default_objects[static_cast<int>(Default::float_50)] = PyFloat_FromDouble(50.0);
    for (int i = 3; i < 6; ++i)
        if (default_objects[i] == nullptr) return -1;
    return 0;
}

PyObject* make_function(const MethodSpec* spec, const char* qualname_prefix) {
    FunctionObject* fn = PyObject_New(FunctionObject, &FunctionType);
    if (fn == nullptr) return nullptr;
    fn->vectorcall = function_vectorcall;
    fn->spec = spec;
    fn->name = PyUnicode_InternFromString(spec->name);
    fn->qualname = PyUnicode_FromFormat("%s%s", qualname_prefix, spec->name);
    if (spec->doc != nullptr) {
        fn->doc = PyUnicode_FromString(spec->doc);
    } else {
        Py_INCREF(Py_None);
        fn->doc = Py_None;
    }
    fn->module = PyUnicode_FromString("chromalens.color_extractor_cy");
    fn->defaults = nullptr;
    fn->annotations = PyDict_New();
    fn->trace_name = PyBytes_FromFormat("chromalens.color_extractor_cy.%s%s", qualname_prefix, spec->name);
    PyObject* obj = reinterpret_cast<PyObject*>(fn);
    if (!fn->name || !fn->qualname || !fn->doc || !fn->module || !fn->annotations || !fn->trace_name) {
        Py_DECREF(obj);
        return nullptr;
    }
    // __defaults__ holds the trailing defaults, as for a Python function.
    int first_default = spec->nparams;
    while (first_default > 0 && spec->params[first_default - 1].fallback != Default::required) --first_default;
    if (first_default == spec->nparams) {
        Py_INCREF(Py_None);
        fn->defaults = Py_None;
    } else {
        fn->defaults = PyTuple_New(spec->nparams - first_default);
        if (fn->defaults == nullptr) {
            Py_DECREF(obj);
            return nullptr;
        }
        for (int i = first_default; i < spec->nparams; ++i) {
            PyObject* d = default_value(spec->params[i].fallback);
            Py_INCREF(d);
            PyTuple_SET_ITEM(fn->defaults, i - first_default, d);
        }
    }
    for (int i = 0; i < spec->nparams; ++i) {
        if (spec->params[i].annotation == nullptr) continue;
        PyObject* text = PyUnicode_FromString(spec->params[i].annotation);
        if (text == nullptr || PyDict_SetItemString(fn->annotations, spec->params[i].name, text) < 0) {
            Py_XDECREF(text);
            Py_DECREF(obj);
            return nullptr;
        }
        Py_DECREF(text);
    }
    if (spec->return_annotation != nullptr) {
        PyObject* text = PyUnicode_FromString(spec->return_annotation);
        if (text == nullptr || PyDict_SetItemString(fn->annotations, "return", text) < 0) {
            Py_XDECREF(text);
            Py_DECREF(obj);
            return nullptr;
        }
        Py_DECREF(text);
    }
    return obj;
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
    for (Py_ssize_t i = 0; i < nargs; ++i) out.obj[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw > 0) {
        PyObject* const* kwvalues = args + nargs;
        Py_ssize_t matched = 0;
        for (int i = static_cast<int>(nargs); i < n; ++i) {
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                if (keyword_is(PyTuple_GET_ITEM(kwnames, k), spec.params[i].name)) {
                    out.obj[i] = kwvalues[k];
                    ++matched;
                    break;
                }
            }
            if (out.obj[i] == nullptr && i < nrequired) {
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
        if (out.obj[i] == nullptr) out.obj[i] = default_value(spec.params[i].fallback);

    for (int i = 0; i < n; ++i) {
        PyObject* v = out.obj[i];
        switch (spec.params[i].check) {
            case Check::to_int32:
                if (!convert_int32(v, out.i32[i])) return false;
                break;
            case Check::to_bool:
                if (!convert_bool(v, out.flag[i])) return false;
                break;
            case Check::to_double:
                if (!convert_double(v, out.real[i])) return false;
                break;
            default:
                break;
        }
    }
    for (int i = 0; i < n; ++i) {
        PyObject* v = out.obj[i];
        const char* pname = spec.params[i].name;
        bool ok = true;
        switch (spec.params[i].check) {
            case Check::array:
                ok = is_ndarray_or_none(v) || raise_arg_type(pname, state.ndarray, v, false);
                break;
            case Check::exact_list:
                ok = check_exact(pname, &PyList_Type, v, false, true);
                break;
            case Check::exact_tuple:
                ok = check_exact(pname, &PyTuple_Type, v, false, true);
                break;
            case Check::exact_dict:
                ok = check_exact(pname, &PyDict_Type, v, false, true);
                break;
            case Check::exact_str_or_none:
                ok = check_exact(pname, &PyUnicode_Type, v, true, true);
                break;
            case Check::plain_str_or_none:
                ok = check_exact(pname, &PyUnicode_Type, v, true, false);
                break;
            case Check::plain_tuple_or_none:
                ok = check_exact(pname, &PyTuple_Type, v, true, false);
                break;
            default:
                break;
        }
        if (!ok) return false;
    }
    return true;
}

}  // namespace chromalens
