// The module chromalens.color_extractor_cy: the ColorExtractor type and
// module initialisation.
//
// Why the surface is built by hand on the CPython C API, not with pybind11's
// class_ and def: it is a contract that stored data and callers rely on.
// Pickles written by earlier versions name the reconstructor
// `__pyx_unpickle_ColorExtractor` with a format checksum and a state tuple
// in a fixed order; callers rely on the exact argument conventions
// (positional-or-keyword parameters with these names and defaults, exact
// builtin types with their messages, conversions before type checks), on
// method objects that introspect like Python functions (__defaults__,
// __annotations__, __signature__), and on the qualified names in
// tracebacks.  pybind11's generated dispatch, signatures and pickling would
// change each of these.  So the type (here), its method objects
// (color_extractor_function.cpp), their argument texts and parsing
// (color_extractor_methods.cpp, color_extractor_args.cpp), the dispatch
// table (color_extractor_dispatch.cpp) and the pickled form
// (color_extractor_pickle.cpp) stay hand-built; the bodies behind them use
// pybind11's object API.
#include "module/color_extractor.hpp"

#include <vector>

namespace chromalens {

namespace {

constexpr char kInitFile[] = "src/native/module/color_extractor.cpp";

const VTable kVTable = {preprocess_image, convert_to_feature_space, apply_mask,
                        extract_pixels,   calculate_percentages,    color_distance_lab};

// ---------------------------------------------------------------------------
// The ColorExtractor type.
// ---------------------------------------------------------------------------
PyObject* extractor_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;
    auto* self = reinterpret_cast<Extractor*>(obj);
    self->vtab = &kVTable;
    Py_INCREF(Py_None);
    self->algorithm = Py_None;
    return obj;
}

void extractor_dealloc(PyObject* obj) {
    Py_CLEAR(reinterpret_cast<Extractor*>(obj)->algorithm);
    Py_TYPE(obj)->tp_free(obj);
}

// Parses the arguments of a type call by the __init__ method object's
// parameters; false with an error set.  Keyword arguments are laid out as a
// vectorcall would have them: positionals, then the keyword values.
bool parse_type_call(PyObject* args, PyObject* kwargs, Args& parsed) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) return parse_args(kInitSpec, &PyTuple_GET_ITEM(args, 0), nargs, nullptr, parsed);
    std::vector<PyObject*> stack(static_cast<size_t>(nargs + nkw));
    py::tuple kwnames(nkw);
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
    PyObject *key, *value;
    Py_ssize_t pos = 0, k = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        kwnames[k] = py::reinterpret_borrow<py::object>(key);
        stack[nargs + k] = value;
        ++k;
    }
    return parse_args(kInitSpec, stack.data(), nargs, kwnames.ptr(), parsed);
}

// Type-call construction: the same parser and body as the __init__ method object.
int extractor_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    try {
        Args parsed(kInitSpec);
        if (parse_type_call(args, kwargs, parsed)) {
            init_settings(reinterpret_cast<Extractor*>(self), parsed);
            return 0;
        }
    } catch (...) {
        set_error_from_exception();
    }
    add_traceback("chromalens.color_extractor_cy.ColorExtractor.__init__", kInitSpec.file, kInitSpec.line);
    return -1;
}

}  // namespace

PyTypeObject ExtractorType = {
    PyVarObject_HEAD_INIT(nullptr, 0) "chromalens.color_extractor_cy.ColorExtractor",  // tp_name
    sizeof(Extractor),                                                                // tp_basicsize
};

// ---------------------------------------------------------------------------
// Module initialisation.
// ---------------------------------------------------------------------------
namespace {

int check_single_interpreter() {
    static int64_t main_interpreter_id = -1;
    int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (main_interpreter_id == -1) {
        main_interpreter_id = current;
        return current == -1 ? -1 : 0;
    }
    if (main_interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return -1;
    }
    return 0;
}

int copy_spec_attr(PyObject* spec, PyObject* moddict, const char* from, const char* to, bool allow_none) {
    PyObject* value = PyObject_GetAttrString(spec, from);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    int result = 0;
    if (allow_none || value != Py_None) result = PyDict_SetItemString(moddict, to, value);
    Py_DECREF(value);
    return result;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    if (check_single_interpreter() < 0) return nullptr;
    if (state.module != nullptr) {
        Py_INCREF(state.module);
        return state.module;
    }
    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (module == nullptr) return nullptr;
    PyObject* moddict = PyModule_GetDict(module);
    if (copy_spec_attr(spec, moddict, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(spec, moddict, "origin", "__file__", true) < 0 ||
        copy_spec_attr(spec, moddict, "parent", "__package__", true) < 0 ||
        copy_spec_attr(spec, moddict, "submodule_search_locations", "__path__", false) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

// Binds each name as `from module_name import name` does.
void import_from(const char* module_name, std::initializer_list<const char*> names) {
    py::list fromlist;
    for (const char* name : names) fromlist.append(py::str(name));
    // With a from-list, the import also loads names that are submodules.
    py::object module = steal(PyImport_ImportModuleLevelObject(py::str(module_name).ptr(), state.globals, nullptr,
                                                               fromlist.ptr(), 0));
    for (const char* name : names) {
        PyObject* value = PyObject_GetAttrString(module.ptr(), name);
        if (value == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
            PyErr_Clear();
            raise_formatted(PyExc_ImportError, "cannot import name %s", name);
        }
        int rc = PyDict_SetItemString(state.globals, name, value);
        Py_DECREF(value);
        if (rc < 0) throw_python_error();
    }
}

void import_as(const char* module_name, const char* binding) {
    py::object module = steal(PyImport_ImportModule(module_name));
    if (PyDict_SetItemString(state.globals, binding, module.ptr()) < 0) throw_python_error();
}

PyObject* cached_builtin(const char* name) {
    PyObject* value = PyDict_GetItemString(state.builtins, name);
    if (value == nullptr) raise_formatted(PyExc_NameError, "name '%s' is not defined", name);
    Py_INCREF(value);
    return value;
}

void run_module_body(PyObject* module) {
    state.globals = PyModule_GetDict(module);
    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    if (builtins == nullptr) throw_python_error();
    state.builtins = PyModule_GetDict(builtins);

    // Builtins the bodies use, looked up once.
    cached_builtin("ValueError");
    cached_builtin("enumerate");
    state.builtin_zip = cached_builtin("zip");
    state.builtin_round = cached_builtin("round");
    cached_builtin("ImportError");

    // The class, with its dispatch table.
    if (ready_function_type() < 0) throw_python_error();
    if (PyType_Ready(&ExtractorType) < 0) throw_python_error();
    if (PyDict_SetItemString(state.globals, "ColorExtractor", reinterpret_cast<PyObject*>(&ExtractorType)) < 0)
        throw_python_error();

    // numpy.ndarray, for the argument and result checks.
    {
        py::object numpy = steal(PyImport_ImportModule("numpy"));
        py::object ndarray = numpy.attr("ndarray");
        if (!PyType_Check(ndarray.ptr())) raise_formatted(PyExc_TypeError, "numpy.ndarray is not a type");
        state.ndarray = reinterpret_cast<PyTypeObject*>(ndarray.release().ptr());
    }

    // The module's library bindings, in source order.
    import_as("numpy", "np");
    import_as("cv2", "cv2");
    import_from("sklearn.cluster", {"KMeans", "DBSCAN"});
    import_from("sklearn.preprocessing", {"StandardScaler"});
    import_from("sklearn.metrics.pairwise", {"euclidean_distances"});
    import_from("typing", {"List", "Tuple", "Optional", "Union", "Dict"});
    import_from("PIL", {"Image"});
    import_as("matplotlib.pyplot", "plt");
    try {
        py::detail::npy_api::get();
    } catch (...) {
        PyErr_Clear();
        raise_formatted(PyExc_ImportError, "numpy.core.multiarray failed to import");
    }
    state.numpy_module = PyDict_GetItemString(state.globals, "np");
    state.cv2_module = PyDict_GetItemString(state.globals, "cv2");
    state.sklearn_dbscan = PyDict_GetItemString(state.globals, "DBSCAN");
    state.sklearn_kmeans = PyDict_GetItemString(state.globals, "KMeans");
    Py_INCREF(state.numpy_module);
    Py_INCREF(state.cv2_module);
    Py_INCREF(state.sklearn_dbscan);
    Py_INCREF(state.sklearn_kmeans);

    // The methods, in source order, and the reconstructor.
    install_methods();
}

int module_exec(PyObject* module) {
    if (state.module != nullptr) {
        if (state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'color_extractor_cy' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    state.module = module;
    try {
        run_module_body(module);
        return 0;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_ImportError, "unknown native error");
    }
    add_traceback("init chromalens.color_extractor_cy", kInitFile, __LINE__);
    state.module = nullptr;
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "color_extractor_cy",
    nullptr,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace chromalens

extern "C" PyMODINIT_FUNC PyInit_color_extractor_cy(void) {
    using namespace chromalens;
    ExtractorType.tp_dealloc = extractor_dealloc;
    ExtractorType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    ExtractorType.tp_doc = "Dominant colours of images and how strongly named target colours are present in them.";
    ExtractorType.tp_init = extractor_init;
    ExtractorType.tp_new = extractor_new;
    return PyModuleDef_Init(&module_def);
}
