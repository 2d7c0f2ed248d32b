// The internal dispatch table of ColorExtractor: the six steps its methods
// call on the instance, each either the native step or, for a subclass
// defined in Python that overrides it by name, the override.
#include "module/color_extractor.hpp"

#include <string>

namespace chromalens {

namespace {

constexpr int kSlotCount = static_cast<int>(Slot::count);

// Per slot: the method's name, its method object in the class dictionary,
// its MethodSpec, and the name its native frame shows in tracebacks.
PyObject* slot_names[kSlotCount];
PyObject* slot_methods[kSlotCount];
const MethodSpec* slot_specs[kSlotCount];
std::string slot_trace_names[kSlotCount];

}  // namespace

void register_slot(Slot slot, PyObject* method, const MethodSpec* spec) {
    const int i = static_cast<int>(slot);
    slot_names[i] = intern(spec->name);
    slot_methods[i] = method;
    slot_specs[i] = spec;
    slot_trace_names[i] = std::string("chromalens.color_extractor_cy.ColorExtractor.") + spec->name;
}

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
// it would when called from Python.
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

}  // namespace chromalens
