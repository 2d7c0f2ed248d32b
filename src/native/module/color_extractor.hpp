// The ColorExtractor instance record, its internal dispatch table, the
// argument conventions shared by every method object, and the native bodies
// that the subsystems provide.
#pragma once

#include "module/common.hpp"

#include <array>
#include <cstdint>
#include <optional>

namespace chromalens {

struct Extractor;

// ---------------------------------------------------------------------------
// Internal dispatch table.  Methods of the class reach these six steps
// through the table, unless the instance's class is a subclass defined in
// Python that overrides the step by name; then the override runs.
// ---------------------------------------------------------------------------
enum class Slot : int {
    preprocess_image = 0,
    convert_to_feature_space,
    apply_mask,
    extract_pixels,
    calculate_percentages,
    color_distance_lab,
    count
};

struct VTable {
    py::object (*preprocess_image)(Extractor*, py::handle image);
    py::object (*convert_to_feature_space)(Extractor*, py::handle image);
    py::object (*apply_mask)(Extractor*, py::handle image, py::handle mask);
    py::object (*extract_pixels)(Extractor*, py::handle image, py::handle mask);
    py::object (*calculate_percentages)(Extractor*, py::handle labels);
    double (*color_distance_lab)(Extractor*, py::handle color1, py::handle color2);
};

struct Extractor {
    PyObject_HEAD
    const VTable* vtab;
    int32_t n_colors;
    PyObject* algorithm;  // exactly str, or None; owned
    int preprocessing;
    int lab_space;
};

extern PyTypeObject ExtractorType;

// The override of `slot` that `self`'s class defines, as a bound callable, or
// an empty object when the native step applies.  Cheap for the class itself
// and for subclasses that override nothing (a cached type lookup).
py::object find_override(Extractor* self, Slot slot);

// Calls through the table, with the argument and result checks of each step.
py::object call_preprocess_image(Extractor* self, py::handle image);
py::object call_convert_to_feature_space(Extractor* self, py::handle image);
py::object call_apply_mask(Extractor* self, py::handle image, py::handle mask);
py::object call_extract_pixels(Extractor* self, py::handle image, py::handle mask);
py::object call_calculate_percentages(Extractor* self, py::handle labels);
double call_color_distance_lab(Extractor* self, py::handle color1, py::handle color2);

// What the native pixel list is taken from: a packed H x W x 3 uint8 image
// and, when a mask was given, its packed H x W uint8 grey form.
struct PixelSource {
    py::array image;
    py::object gate;  // empty without a mask
    std::size_t size() const;                  // H * W
    const std::uint8_t* gate_values() const;   // null without a mask
};
// The source of `_extract_pixels(image, mask)` when it may be taken
// natively (same rows as the literal calls), else empty.
std::optional<PixelSource> native_pixel_source(Extractor* self, py::handle image, py::handle mask);
// The pixel list of a source: a new N x 3 uint8 array.
py::object selected_rows(const PixelSource& source);

// ---------------------------------------------------------------------------
// Argument conventions (color_extractor_args.cpp).
// ---------------------------------------------------------------------------
enum class Check : uint8_t {
    none,               // any object
    array,              // numpy.ndarray (or subclass) or None
    exact_list,         // exactly list; a subclass gets the note on builtin subclasses
    exact_tuple,        // exactly tuple, with the note
    exact_dict,         // exactly dict, with the note
    exact_str_or_none,  // exactly str or None, with the note
    plain_str_or_none,  // exactly str or None, no note
    to_int32,           // converted to a signed 32-bit integer
    to_bool,            // converted by truth value
    to_double,          // converted by the interpreter's float conversion
};

enum class Default : uint8_t { required, none, true_, int_5, str_kmeans, float_50, count };

// The object a parameter defaults to (borrowed, lives for the process);
// nullptr for a required parameter.
PyObject* default_value(Default fallback);

struct ParamSpec {
    const char* name;
    Check check;
    Default fallback;
    const char* annotation;  // text stored in __annotations__, or nullptr
};

constexpr int kMaxParams = 4;

struct MethodSpec;

// The parsed arguments of one call, read by parameter name: the objects
// (borrowed for the call) and, for converted parameters, their values.
class Args {
public:
    explicit Args(const MethodSpec& spec) : spec_(&spec) {}
    py::handle operator[](const char* name) const { return values_[index(name)].object; }
    int32_t int32(const char* name) const { return values_[index(name)].int32; }
    bool flag(const char* name) const { return values_[index(name)].flag != 0; }
    double real(const char* name) const { return values_[index(name)].real; }

private:
    friend bool parse_args(const MethodSpec&, PyObject* const*, Py_ssize_t, PyObject*, Args&);
    struct Value {
        PyObject* object = nullptr;
        int32_t int32 = 0;
        int flag = 0;
        double real = 0.0;
    };
    // Throws std::logic_error for a name the method does not have.
    int index(const char* name) const;

    const MethodSpec* spec_;
    std::array<Value, kMaxParams> values_{};
};

using Body = py::object (*)(Extractor* self, const Args& args);

struct MethodSpec {
    const char* name;
    const char* doc;
    int nparams;
    std::array<ParamSpec, kMaxParams> params;
    const char* return_annotation;
    Body body;
    bool is_method;  // false for the module-level reconstructor
    const char* file;
    int line;
};

// Parses vectorcall-style arguments by `spec`; false with an error set on failure.
bool parse_args(const MethodSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out);
// The interpreter's conversions used for arguments and restored state; false with an error set.
bool convert_int32(PyObject* obj, int32_t& out);
bool convert_bool(PyObject* obj, int& out);
bool convert_double(PyObject* obj, double& out);
// Creates the default-value objects; -1 with an error set on failure.
int ready_default_values();

// ---------------------------------------------------------------------------
// Method objects (color_extractor_function.cpp) and the method table
// (color_extractor_methods.cpp).
// ---------------------------------------------------------------------------
extern PyTypeObject FunctionType;
// Readies the method-object type; -1 with an error set on failure.
int ready_function_type();
// A new method object for `spec`; `qualname_prefix` is "ColorExtractor." for methods.
py::object make_function(const MethodSpec* spec, const char* qualname_prefix);
// The MethodSpec of __init__ (names, defaults, checks), shared by the type call and the method object.
extern const MethodSpec& kInitSpec;
// Puts the method objects into the class dictionary, fills the dispatch
// table's slots, and binds the module-level reconstructor.
void install_methods();

// Notes the method object serving `slot` and its MethodSpec, for the
// dispatch (color_extractor_dispatch.cpp).
void register_slot(Slot slot, PyObject* method, const MethodSpec* spec);

// ---------------------------------------------------------------------------
// Native bodies, one file per subsystem.
// ---------------------------------------------------------------------------
// Settings and pickled state.
void init_settings(Extractor* self, const Args& args);  // the arguments of __init__
py::object reduce_extractor(Extractor* self);
py::object setstate_extractor(Extractor* self, py::handle state);
py::object unpickle_extractor(py::handle type, int32_t checksum, py::handle state);

// Image pipeline.
py::object preprocess_image(Extractor* self, py::handle image);
py::object convert_to_feature_space(Extractor* self, py::handle image);
py::object apply_mask(Extractor* self, py::handle image, py::handle mask);
py::object extract_pixels(Extractor* self, py::handle image, py::handle mask);

// Clustering.
py::object cluster_colors_kmeans(Extractor* self, py::handle pixels);
py::object cluster_colors_dbscan(Extractor* self, py::handle pixels);
py::object calculate_percentages(Extractor* self, py::handle labels);

// Extraction driver and chart.
py::object extract_colors(Extractor* self, py::handle image, py::handle mask);
py::object visualize_colors(Extractor* self, py::handle colors, py::handle save_path);

// Colour matching.
double color_distance_lab(Extractor* self, py::handle color1, py::handle color2);
py::object find_closest_color(Extractor* self, py::handle target_color, py::handle image_colors);
py::object analyze_color_similarity(Extractor* self, py::handle image, py::handle target_colors, py::handle mask,
                                    double similarity_threshold);
py::object find_color_matches(Extractor* self, py::handle image, py::handle target_colors, py::handle mask);

// Loads `image` with cv2.imread when it is a str; ValueError "<prefix><path>" when unreadable.
py::object load_image_if_path(py::handle image, const char* error_prefix);

}  // namespace chromalens
