// Pickled state of ColorExtractor: the reduce value, the module-level
// reconstructor and the field-by-field restore shared with __setstate__.
//
// The state tuple is (algorithm, lab_space, n_colors, preprocessing), in
// alphabetical order of the field names, plus the instance dictionary of an
// instance of a subclass defined in Python.  Three layout checksums are
// accepted on reading.
#include "module/color_extractor.hpp"

namespace chromalens {

namespace {

constexpr long kChecksum = 0x95a985b;
constexpr long kAcceptedChecksums[] = {0x95a985b, 0x5abda51, 0x3daa32e};

py::object tuple_item(PyObject* tuple, Py_ssize_t index) {
    if (index >= PyTuple_GET_SIZE(tuple)) raise_formatted(PyExc_IndexError, "tuple index out of range");
    return py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(tuple, index));
}

// Each field is stored as soon as it is converted, so a bad item part-way
// leaves the earlier fields restored.
void restore_state(Extractor* self, PyObject* state_tuple) {
    py::object algorithm = tuple_item(state_tuple, 0);
    if (!PyUnicode_CheckExact(algorithm.ptr()) && !algorithm.is_none())
        raise_formatted(PyExc_TypeError, "Expected %s, got %.200s", "str", type_name(algorithm.ptr()));
    Py_SETREF(self->algorithm, algorithm.release().ptr());

    int flag = 0;
    if (!convert_bool(tuple_item(state_tuple, 1).ptr(), flag)) throw_python_error();
    self->lab_space = flag;

    int32_t n_colors = 0;
    if (!convert_int32(tuple_item(state_tuple, 2).ptr(), n_colors)) throw_python_error();
    self->n_colors = n_colors;

    if (!convert_bool(tuple_item(state_tuple, 3).ptr(), flag)) throw_python_error();
    self->preprocessing = flag;

    if (PyTuple_GET_SIZE(state_tuple) > 4) {
        if (py::object dict = optional_attr(reinterpret_cast<PyObject*>(self), "__dict__"))
            dict.attr("update")(tuple_item(state_tuple, 4));
    }
}

// The state must be exactly a tuple.
void require_state_tuple(py::handle state_tuple) {
    if (!PyTuple_CheckExact(state_tuple.ptr()))
        raise_formatted(PyExc_TypeError, "Expected %s, got %.200s", "tuple", type_name(state_tuple.ptr()));
}

}  // namespace

py::object reduce_extractor(Extractor* self) {
    PyObject* obj = reinterpret_cast<PyObject*>(self);
    py::object fields = py::make_tuple(py::reinterpret_borrow<py::object>(self->algorithm),
                                       py::bool_(self->lab_space != 0), py::int_(self->n_colors),
                                       py::bool_(self->preprocessing != 0));
    // Only instances of subclasses defined in Python have a dictionary.
    py::object dict = optional_attr(obj, "__dict__");
    bool use_setstate;
    if (dict && !dict.is_none()) {
        fields = steal(PySequence_Concat(fields.ptr(), py::make_tuple(dict).ptr()));
        use_setstate = true;
    } else {
        use_setstate = self->algorithm != Py_None;
    }
    py::object reconstructor = CL_GLOBAL("__pyx_unpickle_ColorExtractor");
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    if (use_setstate) return py::make_tuple(reconstructor, py::make_tuple(type, py::int_(kChecksum), py::none()), fields);
    return py::make_tuple(reconstructor, py::make_tuple(type, py::int_(kChecksum), fields));
}

py::object setstate_extractor(Extractor* self, py::handle state_tuple) {
    if (state_tuple.is_none()) raise_formatted(PyExc_TypeError, "'NoneType' object is not subscriptable");
    require_state_tuple(state_tuple);
    restore_state(self, state_tuple.ptr());
    return py::none();
}

py::object unpickle_extractor(py::handle type, int32_t checksum, py::handle state_tuple) {
    bool known = false;
    for (long accepted : kAcceptedChecksums) known = known || checksum == accepted;
    if (!known) {
        py::object pickle_error = py::module_::import("pickle").attr("PickleError");
        py::object message = steal(PyUnicode_Format(
            py::str("Incompatible checksums (0x%x vs (0x95a985b, 0x5abda51, 0x3daa32e) = "
                    "(algorithm, lab_space, n_colors, preprocessing))")
                .ptr(),
            py::make_tuple(py::int_(checksum)).ptr()));
        PyErr_SetObject(pickle_error.ptr(), message.ptr());
        throw_python_error();
    }
    // Allocation only: __init__ does not run, the fields hold their
    // uninitialised values until the state is restored.
    py::object result = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&ExtractorType))
                            .attr("__new__")(type);
    if (!PyObject_TypeCheck(result.ptr(), &ExtractorType))
        raise_formatted(PyExc_TypeError, "%.200s.__new__ returned a %.200s, not a ColorExtractor",
                        ExtractorType.tp_name, type_name(result.ptr()));
    if (!state_tuple.is_none()) {
        require_state_tuple(state_tuple);
        restore_state(reinterpret_cast<Extractor*>(result.ptr()), state_tuple.ptr());
    }
    return result;
}

}  // namespace chromalens
