// The method objects of ColorExtractor and of the module-level
// reconstructor.
//
// A method object behaves like a Python function for introspection (__name__,
// __qualname__, __doc__, __defaults__, __annotations__, __signature__) and
// binds to instances like one, but parses its arguments natively
// (color_extractor_args.cpp) and calls a C++ body.  Every error leaving a
// body gets a traceback entry naming the method's qualified name.
#include "module/color_extractor.hpp"

#include <cstddef>

namespace chromalens {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;          // str or None
    PyObject* module;
    PyObject* defaults;     // tuple or None
    PyObject* annotations;  // dict
    PyObject* trace_name;   // bytes: "chromalens.color_extractor_cy.<qualname>"
};

// The body's result for a call: binds self, parses the arguments and runs
// the body.  Errors are thrown.
PyObject* call_body(FunctionObject* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const MethodSpec& spec = *fn->spec;
    PyObject* self = nullptr;
    if (spec.is_method) {
        if (nargs < 1) raise_formatted(PyExc_TypeError, "unbound method %.200S() needs an argument", fn->qualname);
        self = args[0];
        if (!PyObject_TypeCheck(self, &ExtractorType))
            raise_formatted(PyExc_TypeError, "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object",
                            fn->name, ExtractorType.tp_name, Py_TYPE(self)->tp_name);
        ++args;
        --nargs;
    }
    Args parsed(spec);
    if (!parse_args(spec, args, nargs, kwnames, parsed)) throw_python_error();
    py::object result = spec.body(reinterpret_cast<Extractor*>(self), parsed);
    if (!result) {
        if (PyErr_Occurred()) throw_python_error();
        raise_formatted(PyExc_SystemError, "method returned no result");
    }
    return result.release().ptr();
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* fn = reinterpret_cast<FunctionObject*>(callable);
    try {
        return call_body(fn, args, PyVectorcall_NARGS(nargsf), kwnames);
    } catch (...) {
        set_error_from_exception();
    }
    add_traceback(PyBytes_AS_STRING(fn->trace_name), fn->spec->file, fn->spec->line);
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

// ---------------------------------------------------------------------------
// Attributes.  Each object-valued field is read as it is; the writable ones
// take only a str (or None where allowed), as a Python function's do.
// ---------------------------------------------------------------------------
struct FieldSpec {
    std::size_t offset;  // of the PyObject* within FunctionObject
    const char* name;    // for the error message
    bool none_ok;
};

FieldSpec kNameField{offsetof(FunctionObject, name), "__name__", false};
FieldSpec kQualnameField{offsetof(FunctionObject, qualname), "__qualname__", false};
FieldSpec kDocField{offsetof(FunctionObject, doc), "__doc__", true};
FieldSpec kModuleField{offsetof(FunctionObject, module), "__module__", true};
FieldSpec kDefaultsField{offsetof(FunctionObject, defaults), "__defaults__", false};
FieldSpec kAnnotationsField{offsetof(FunctionObject, annotations), "__annotations__", false};

PyObject*& field(PyObject* self, void* closure) {
    const auto* spec = static_cast<const FieldSpec*>(closure);
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + spec->offset);
}

PyObject* get_field(PyObject* self, void* closure) {
    PyObject* value = field(self, closure);
    Py_INCREF(value);
    return value;
}

int set_text_field(PyObject* self, PyObject* value, void* closure) {
    const auto* spec = static_cast<const FieldSpec*>(closure);
    if (value == nullptr || !(PyUnicode_Check(value) || (spec->none_ok && value == Py_None))) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", spec->name);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(field(self, closure), value);
    return 0;
}

PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

// inspect.signature() reads this: every parameter is positional-or-keyword,
// with the defaults and the annotation texts of the method.
PyObject* get_signature(PyObject* self, void*) {
    const MethodSpec& spec = *reinterpret_cast<FunctionObject*>(self)->spec;
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
    } catch (...) {
        set_error_from_exception();
        return nullptr;
    }
}

PyGetSetDef function_getset[] = {
    {"__name__", get_field, set_text_field, nullptr, &kNameField},
    {"__qualname__", get_field, set_text_field, nullptr, &kQualnameField},
    {"__doc__", get_field, set_text_field, nullptr, &kDocField},
    {"__module__", get_field, set_text_field, nullptr, &kModuleField},
    {"__defaults__", get_field, nullptr, nullptr, &kDefaultsField},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_field, nullptr, nullptr, &kAnnotationsField},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// __defaults__ holds the trailing defaults, as for a Python function.
py::object trailing_defaults(const MethodSpec& spec) {
    int first_default = spec.nparams;
    while (first_default > 0 && spec.params[first_default - 1].fallback != Default::required) --first_default;
    if (first_default == spec.nparams) return py::none();
    py::tuple defaults(spec.nparams - first_default);
    for (int i = first_default; i < spec.nparams; ++i)
        defaults[i - first_default] = py::reinterpret_borrow<py::object>(default_value(spec.params[i].fallback));
    return std::move(defaults);
}

py::dict annotation_texts(const MethodSpec& spec) {
    py::dict annotations;
    for (int i = 0; i < spec.nparams; ++i)
        if (spec.params[i].annotation != nullptr) annotations[spec.params[i].name] = py::str(spec.params[i].annotation);
    if (spec.return_annotation != nullptr) annotations["return"] = py::str(spec.return_annotation);
    return annotations;
}

}  // namespace

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
    return ready_default_values();
}

py::object make_function(const MethodSpec* spec, const char* qualname_prefix) {
    py::object name = steal(PyUnicode_InternFromString(spec->name));
    py::object qualname = steal(PyUnicode_FromFormat("%s%s", qualname_prefix, spec->name));
    py::object doc = spec->doc != nullptr ? py::object(py::str(spec->doc)) : py::none();
    py::object module = py::str("chromalens.color_extractor_cy");
    py::object defaults = trailing_defaults(*spec);
    py::object annotations = annotation_texts(*spec);
    py::object trace_name =
        steal(PyBytes_FromFormat("chromalens.color_extractor_cy.%s%s", qualname_prefix, spec->name));
    FunctionObject* fn = PyObject_New(FunctionObject, &FunctionType);
    if (fn == nullptr) throw_python_error();
    fn->vectorcall = function_vectorcall;
    fn->spec = spec;
    fn->name = name.release().ptr();
    fn->qualname = qualname.release().ptr();
    fn->doc = doc.release().ptr();
    fn->module = module.release().ptr();
    fn->defaults = defaults.release().ptr();
    fn->annotations = annotations.release().ptr();
    fn->trace_name = trace_name.release().ptr();
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(fn));
}

}  // namespace chromalens
