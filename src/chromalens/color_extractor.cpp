// The module chromalens.color_extractor_cy: the ColorExtractor type, its
// method table, the internal dispatch table and module initialisation.
#include "color_extractor.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace chromalens {

namespace {

#define CL_FILE "chromalens/color_extractor.cpp"

// ---------------------------------------------------------------------------
// Documentation texts.
// ---------------------------------------------------------------------------
const char kInitDoc[] =
    "\n"
    "        Initialize ColorExtractor with robust color extraction capabilities.\n"
    "\n"
    "        Args:\n"
    "            n_colors: Number of dominant colors to extract\n"
    "            algorithm: 'kmeans' or 'dbscan' for clustering\n"
    "            preprocessing: Apply noise reduction and lighting normalization\n"
    "            lab_space: Use LAB color space for perceptual accuracy\n"
    "        ";

const char kExtractColorsDoc[] =
    "\n"
    "        Extract dominant colors from image.\n"
    "\n"
    "        Args:\n"
    "            image: Path to image file or numpy array\n"
    "            mask: Optional mask image (white areas will be analyzed)\n"
    "\n"
    "        Returns:\n"
    "            List of dictionaries with color info: {'color': (R,G,B), 'percentage': float}\n"
    "        ";

const char kAnalyzeDoc[] =
    "\n"
    "        Analyze how much each target color appears in the image.\n"
    "\n"
    "        Args:\n"
    "            image: Path to image file or numpy array\n"
    "            target_colors: Dictionary of color names and RGB values\n"
    "                          e.g., {'red': (255, 0, 0), 'white': (255, 255, 255)}\n"
    "            mask: Optional mask image\n"
    "            similarity_threshold: Maximum LAB distance to consider colors similar\n"
    "\n"
    "        Returns:\n"
    "            Dictionary with color analysis results\n"
    "        ";

const char kMatchesDoc[] =
    "\n"
    "        Find how much each target color appears in the image with detailed analysis.\n"
    "\n"
    "        Args:\n"
    "            image: Path to image file or numpy array\n"
    "            target_colors: Dictionary of color names and RGB values\n"
    "            mask: Optional mask image\n"
    "\n"
    "        Returns:\n"
    "            Dictionary with detailed color matching results\n"
    "        ";

// ---------------------------------------------------------------------------
// Method table, in source order.
// ---------------------------------------------------------------------------
constexpr ParamSpec P(const char* name, Check check = Check::none, Default fallback = Default::required,
                      const char* annotation = nullptr) {
    return ParamSpec{name, check, fallback, annotation};
}

py::object float_result(double value) { return steal(PyFloat_FromDouble(value)); }

const MethodSpec kMethods[] = {
    {"__init__", kInitDoc, 4,
     {P("n_colors", Check::to_int32, Default::int_5), P("algorithm", Check::plain_str_or_none, Default::str_kmeans),
      P("preprocessing", Check::to_bool, Default::true_), P("lab_space", Check::to_bool, Default::true_)},
     nullptr,
     [](Extractor* s, const Args& a) -> py::object {
         init_settings(s, a);
         return py::none();
     },
     true, CL_FILE, __LINE__},
    {"_preprocess_image", "Apply preprocessing for robustness against noise and lighting.", 1,
     {P("image", Check::array)}, nullptr,
     [](Extractor* s, const Args& a) { return preprocess_image(s, a[0]); }, true, CL_FILE, __LINE__},
    {"_convert_to_feature_space", "Convert image to appropriate color space for clustering.", 1,
     {P("image", Check::array)}, nullptr,
     [](Extractor* s, const Args& a) { return convert_to_feature_space(s, a[0]); }, true, CL_FILE, __LINE__},
    {"_apply_mask", "Apply mask to limit color extraction to specific areas.", 2,
     {P("image", Check::array), P("mask", Check::array)}, nullptr,
     [](Extractor* s, const Args& a) { return apply_mask(s, a[0], a[1]); }, true, CL_FILE, __LINE__},
    {"_extract_pixels", "Extract valid pixels for clustering.", 2,
     {P("image", Check::array), P("mask", Check::none, Default::none)}, nullptr,
     [](Extractor* s, const Args& a) { return extract_pixels(s, a[0], a[1]); }, true, CL_FILE, __LINE__},
    {"_cluster_colors_kmeans", "Extract colors using K-means clustering.", 1, {P("pixels", Check::array)}, nullptr,
     [](Extractor* s, const Args& a) { return cluster_colors_kmeans(s, a[0]); }, true, CL_FILE, __LINE__},
    {"_cluster_colors_dbscan", "Extract colors using DBSCAN clustering.", 1, {P("pixels", Check::array)}, nullptr,
     [](Extractor* s, const Args& a) { return cluster_colors_dbscan(s, a[0]); }, true, CL_FILE, __LINE__},
    {"_calculate_percentages", "Calculate color percentages.", 1, {P("labels", Check::array)}, nullptr,
     [](Extractor* s, const Args& a) { return calculate_percentages(s, a[0]); }, true, CL_FILE, __LINE__},
    {"extract_colors", kExtractColorsDoc, 2, {P("image"), P("mask", Check::none, Default::none)}, nullptr,
     [](Extractor* s, const Args& a) { return extract_colors(s, a[0], a[1]); }, true, CL_FILE, __LINE__},
    {"visualize_colors", "Visualize extracted colors with percentages.", 2,
     {P("colors", Check::exact_list, Default::required, "List[dict]"),
      P("save_path", Check::exact_str_or_none, Default::none, "Optional[str]")},
     nullptr, [](Extractor* s, const Args& a) { return visualize_colors(s, a[0], a[1]); }, true, CL_FILE, __LINE__},
    {"_color_distance_lab", "Calculate perceptual distance between two colors in LAB space.", 2,
     {P("color1", Check::array), P("color2", Check::array)}, nullptr,
     [](Extractor* s, const Args& a) { return float_result(color_distance_lab(s, a[0], a[1])); }, true, CL_FILE,
     __LINE__},
    {"_find_closest_color", "Find the closest color in image to target color.", 2,
     {P("target_color", Check::exact_tuple, Default::required, "Tuple[int, int, int]"),
      P("image_colors", Check::exact_list, Default::required, "List[dict]")},
     "Tuple[dict, float]", [](Extractor* s, const Args& a) { return find_closest_color(s, a[0], a[1]); }, true,
     CL_FILE, __LINE__},
    {"analyze_color_similarity", kAnalyzeDoc, 4,
     {P("image"), P("target_colors", Check::exact_dict, Default::required, "Dict[str, Tuple[int, int, int]]"),
      P("mask", Check::none, Default::none), P("similarity_threshold", Check::to_double, Default::float_50, "float")},
     "Dict[str, dict]",
     [](Extractor* s, const Args& a) { return analyze_color_similarity(s, a[0], a[1], a[2], a.real[3]); }, true,
     CL_FILE, __LINE__},
    {"find_color_matches", kMatchesDoc, 3,
     {P("image"), P("target_colors", Check::exact_dict, Default::required, "Dict[str, Tuple[int, int, int]]"),
      P("mask", Check::none, Default::none)},
     "Dict[str, dict]", [](Extractor* s, const Args& a) { return find_color_matches(s, a[0], a[1], a[2]); }, true,
     CL_FILE, __LINE__},
    {"__reduce__", nullptr, 0, {}, nullptr, [](Extractor* s, const Args&) { return reduce_extractor(s); }, true,
     CL_FILE, __LINE__},
    {"__setstate__", nullptr, 1, {P("__pyx_state", Check::plain_tuple_or_none)}, nullptr,
     [](Extractor* s, const Args& a) { return setstate_extractor(s, a[0]); }, true, CL_FILE, __LINE__},
};

const MethodSpec kUnpickleSpec = {
    "__pyx_unpickle_ColorExtractor",
    nullptr,
    3,
    {P("__pyx_type"), P("__pyx_checksum", Check::to_int32), P("__pyx_state")},
    nullptr,
    [](Extractor*, const Args& a) { return unpickle_extractor(a[0], a.i32[1], a[2]); },
    false,
    CL_FILE,
    __LINE__};

const MethodSpec& kInitSpec = kMethods[0];

// Slot order of the dispatch table, and where each slot's method stands in
// the method table.
const char* const kSlotNames[] = {"_preprocess_image", "_convert_to_feature_space", "_apply_mask",
                                  "_extract_pixels",   "_calculate_percentages",    "_color_distance_lab"};
constexpr int kSlotCount = static_cast<int>(Slot::count);
PyObject* slot_names[kSlotCount];
PyObject* slot_methods[kSlotCount];  // the method objects in the class dictionary
const MethodSpec* slot_specs[kSlotCount];
std::string slot_trace_names[kSlotCount];

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

// Type-call construction: the same parser and body as the __init__ method object.
int extractor_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    Args parsed;
    bool ok;
    if (nkw == 0) {
        ok = parse_args(kInitSpec, &PyTuple_GET_ITEM(args, 0), nargs, nullptr, parsed);
    } else {
        // Lay the arguments out as a vectorcall would: positionals, then keyword values.
        std::vector<PyObject*> stack(static_cast<size_t>(nargs + nkw));
        PyObject* kwnames = PyTuple_New(nkw);
        if (kwnames == nullptr) return -1;
        for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
        PyObject *key, *value;
        Py_ssize_t pos = 0, k = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_INCREF(key);
            PyTuple_SET_ITEM(kwnames, k, key);
            stack[nargs + k] = value;
            ++k;
        }
        ok = parse_args(kInitSpec, stack.data(), nargs, kwnames, parsed);
        Py_DECREF(kwnames);
    }
    if (ok) {
        try {
            init_settings(reinterpret_cast<Extractor*>(self), parsed);
            return 0;
        } catch (py::error_already_set& e) {
            e.restore();
        } catch (std::exception& e) {
            PyErr_SetString(PyExc_RuntimeError, e.what());
        }
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
// Dispatch.
// ---------------------------------------------------------------------------
py::object find_override(Extractor* self, Slot slot) {
    PyTypeObject* type = Py_TYPE(self);
    if (type == &ExtractorType || !(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) return {};
    const int i = static_cast<int>(slot);
    // The type lookup is served from the interpreter's method cache, which is
    // invalidated whenever the class (or a base) is modified, so methods
    // added or replaced after instances exist are seen at the next call.
#if PY_VERSION_HEX < 0x030F0000
    PyObject* found = _PyType_Lookup(type, slot_names[i]);
    if (found == slot_methods[i]) return {};
#else
    py::object found = steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), slot_names[i]));
    if (found.ptr() == slot_methods[i]) return {};
#endif
    return steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(self), slot_names[i]));
}

namespace {
// A native step called through the table gets its own traceback entry, as
// it would when called from the host.
template <class Native>
auto run_native(Slot slot, Native&& native) -> decltype(native()) {
    const int i = static_cast<int>(slot);
    return with_traceback(slot_trace_names[i].c_str(), slot_specs[i]->file, slot_specs[i]->line, native);
}
}  // namespace

py::object call_preprocess_image(Extractor* self, py::handle image) {
    require_array(image);
    if (py::object override = find_override(self, Slot::preprocess_image)) return checked_array(override(image));
    return run_native(Slot::preprocess_image, [&] { return self->vtab->preprocess_image(self, image); });
}

py::object call_convert_to_feature_space(Extractor* self, py::handle image) {
    require_array(image);
    if (py::object override = find_override(self, Slot::convert_to_feature_space))
        return checked_array(override(image));
    return run_native(Slot::convert_to_feature_space, [&] { return self->vtab->convert_to_feature_space(self, image); });
}

py::object call_apply_mask(Extractor* self, py::handle image, py::handle mask) {
    require_array(image);
    require_array(mask);
    if (py::object override = find_override(self, Slot::apply_mask)) return checked_array(override(image, mask));
    return run_native(Slot::apply_mask, [&] { return self->vtab->apply_mask(self, image, mask); });
}

py::object call_extract_pixels(Extractor* self, py::handle image, py::handle mask) {
    require_array(image);
    if (py::object override = find_override(self, Slot::extract_pixels)) return checked_array(override(image, mask));
    return run_native(Slot::extract_pixels, [&] { return self->vtab->extract_pixels(self, image, mask); });
}

py::object call_calculate_percentages(Extractor* self, py::handle labels) {
    require_array(labels);
    if (py::object override = find_override(self, Slot::calculate_percentages)) {
        py::object result = override(labels);
        if (!PyList_CheckExact(result.ptr()) && !result.is_none())
            raise_formatted(PyExc_TypeError, "Expected %s, got %.200s", "list", type_name(result.ptr()));
        return result;
    }
    return run_native(Slot::calculate_percentages, [&] { return self->vtab->calculate_percentages(self, labels); });
}

double call_color_distance_lab(Extractor* self, py::handle color1, py::handle color2) {
    require_array(color1);
    require_array(color2);
    if (py::object override = find_override(self, Slot::color_distance_lab)) {
        py::object result = override(color1, color2);
        double value = PyFloat_AsDouble(result.ptr());
        if (value == -1.0 && PyErr_Occurred()) throw_python_error();
        return value;
    }
    return run_native(Slot::color_distance_lab, [&] { return self->vtab->color_distance_lab(self, color1, color2); });
}

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
    Py_INCREF(state.numpy_module);
    Py_INCREF(state.cv2_module);
    Py_INCREF(state.sklearn_dbscan);

    // The methods, in source order.
    PyObject* type_dict = ExtractorType.tp_dict;
    for (const MethodSpec& spec : kMethods) {
        py::object fn = steal(make_function(&spec, "ColorExtractor."));
        if (PyDict_SetItemString(type_dict, spec.name, fn.ptr()) < 0) throw_python_error();
        for (int s = 0; s < kSlotCount; ++s) {
            if (std::strcmp(spec.name, kSlotNames[s]) == 0) {
                slot_names[s] = intern(kSlotNames[s]);
                slot_methods[s] = fn.ptr();  // kept alive by the class dictionary
                slot_specs[s] = &spec;
                slot_trace_names[s] = std::string("chromalens.color_extractor_cy.ColorExtractor.") + spec.name;
            }
        }
    }
    PyType_Modified(&ExtractorType);

    py::object unpickle = steal(make_function(&kUnpickleSpec, ""));
    if (PyDict_SetItemString(state.globals, kUnpickleSpec.name, unpickle.ptr()) < 0) throw_python_error();
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
    }
    add_traceback("init chromalens.color_extractor_cy", CL_FILE, __LINE__);
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
