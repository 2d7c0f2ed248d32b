// The method table of ColorExtractor, in source order, with the texts each
// method object carries (names, documentation, parameters with their
// checks, defaults and annotations), and its installation in the class.
#include "module/color_extractor.hpp"

#include <cstring>

namespace chromalens {

namespace {

// The file named in the traceback entries of the methods.
constexpr char kMethodsFile[] = "src/native/module/color_extractor_methods.cpp";

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

const MethodSpec kMethods[] = {
    {"__init__", kInitDoc, 4,
     {P("n_colors", Check::to_int32, Default::int_5), P("algorithm", Check::plain_str_or_none, Default::str_kmeans),
      P("preprocessing", Check::to_bool, Default::true_), P("lab_space", Check::to_bool, Default::true_)},
     nullptr,
     [](Extractor* s, const Args& a) -> py::object {
         init_settings(s, a);
         return py::none();
     },
     true, kMethodsFile, __LINE__},
    {"_preprocess_image", "Apply preprocessing for robustness against noise and lighting.", 1,
     {P("image", Check::array)}, nullptr,
     [](Extractor* s, const Args& a) { return preprocess_image(s, a["image"]); }, true, kMethodsFile, __LINE__},
    {"_convert_to_feature_space", "Convert image to appropriate color space for clustering.", 1,
     {P("image", Check::array)}, nullptr,
     [](Extractor* s, const Args& a) { return convert_to_feature_space(s, a["image"]); }, true, kMethodsFile, __LINE__},
    {"_apply_mask", "Apply mask to limit color extraction to specific areas.", 2,
     {P("image", Check::array), P("mask", Check::array)}, nullptr,
     [](Extractor* s, const Args& a) { return apply_mask(s, a["image"], a["mask"]); }, true, kMethodsFile, __LINE__},
    {"_extract_pixels", "Extract valid pixels for clustering.", 2,
     {P("image", Check::array), P("mask", Check::none, Default::none)}, nullptr,
     [](Extractor* s, const Args& a) { return extract_pixels(s, a["image"], a["mask"]); }, true, kMethodsFile, __LINE__},
    {"_cluster_colors_kmeans", "Extract colors using K-means clustering.", 1, {P("pixels", Check::array)}, nullptr,
     [](Extractor* s, const Args& a) { return cluster_colors_kmeans(s, a["pixels"]); }, true, kMethodsFile, __LINE__},
    {"_cluster_colors_dbscan", "Extract colors using DBSCAN clustering.", 1, {P("pixels", Check::array)}, nullptr,
     [](Extractor* s, const Args& a) { return cluster_colors_dbscan(s, a["pixels"]); }, true, kMethodsFile, __LINE__},
    {"_calculate_percentages", "Calculate color percentages.", 1, {P("labels", Check::array)}, nullptr,
     [](Extractor* s, const Args& a) { return calculate_percentages(s, a["labels"]); }, true, kMethodsFile, __LINE__},
    {"extract_colors", kExtractColorsDoc, 2, {P("image"), P("mask", Check::none, Default::none)}, nullptr,
     [](Extractor* s, const Args& a) { return extract_colors(s, a["image"], a["mask"]); }, true, kMethodsFile, __LINE__},
    {"visualize_colors", "Visualize extracted colors with percentages.", 2,
     {P("colors", Check::exact_list, Default::required, "List[dict]"),
      P("save_path", Check::exact_str_or_none, Default::none, "Optional[str]")},
     nullptr, [](Extractor* s, const Args& a) { return visualize_colors(s, a["colors"], a["save_path"]); }, true,
     kMethodsFile, __LINE__},
    {"_color_distance_lab", "Calculate perceptual distance between two colors in LAB space.", 2,
     {P("color1", Check::array), P("color2", Check::array)}, nullptr,
     [](Extractor* s, const Args& a) -> py::object {
         return py::float_(color_distance_lab(s, a["color1"], a["color2"]));
     },
     true, kMethodsFile, __LINE__},
    {"_find_closest_color", "Find the closest color in image to target color.", 2,
     {P("target_color", Check::exact_tuple, Default::required, "Tuple[int, int, int]"),
      P("image_colors", Check::exact_list, Default::required, "List[dict]")},
     "Tuple[dict, float]",
     [](Extractor* s, const Args& a) { return find_closest_color(s, a["target_color"], a["image_colors"]); }, true,
     kMethodsFile, __LINE__},
    {"analyze_color_similarity", kAnalyzeDoc, 4,
     {P("image"), P("target_colors", Check::exact_dict, Default::required, "Dict[str, Tuple[int, int, int]]"),
      P("mask", Check::none, Default::none), P("similarity_threshold", Check::to_double, Default::float_50, "float")},
     "Dict[str, dict]",
     [](Extractor* s, const Args& a) {
         return analyze_color_similarity(s, a["image"], a["target_colors"], a["mask"], a.real("similarity_threshold"));
     },
     true, kMethodsFile, __LINE__},
    {"find_color_matches", kMatchesDoc, 3,
     {P("image"), P("target_colors", Check::exact_dict, Default::required, "Dict[str, Tuple[int, int, int]]"),
      P("mask", Check::none, Default::none)},
     "Dict[str, dict]",
     [](Extractor* s, const Args& a) { return find_color_matches(s, a["image"], a["target_colors"], a["mask"]); },
     true, kMethodsFile, __LINE__},
    {"__reduce__", nullptr, 0, {}, nullptr, [](Extractor* s, const Args&) { return reduce_extractor(s); }, true,
     kMethodsFile, __LINE__},
    // The argument's type is checked by the body, with the pickled state's own message.
    {"__setstate__", nullptr, 1, {P("__pyx_state")}, nullptr,
     [](Extractor* s, const Args& a) { return setstate_extractor(s, a["__pyx_state"]); }, true, kMethodsFile, __LINE__},
};

const MethodSpec kUnpickleSpec = {
    "__pyx_unpickle_ColorExtractor",
    nullptr,
    3,
    {P("__pyx_type"), P("__pyx_checksum", Check::to_int32), P("__pyx_state")},
    nullptr,
    [](Extractor*, const Args& a) {
        return unpickle_extractor(a["__pyx_type"], a.int32("__pyx_checksum"), a["__pyx_state"]);
    },
    false,
    kMethodsFile,
    __LINE__};

// The methods that serve the dispatch table's slots, in slot order.
const char* const kSlotMethods[] = {"_preprocess_image", "_convert_to_feature_space", "_apply_mask",
                                    "_extract_pixels",   "_calculate_percentages",    "_color_distance_lab"};
static_assert(sizeof(kSlotMethods) / sizeof(kSlotMethods[0]) == static_cast<int>(Slot::count),
              "one method per dispatch slot");

}  // namespace

const MethodSpec& kInitSpec = kMethods[0];

void install_methods() {
    PyObject* type_dict = ExtractorType.tp_dict;
    for (const MethodSpec& spec : kMethods) {
        py::object fn = make_function(&spec, "ColorExtractor.");
        if (PyDict_SetItemString(type_dict, spec.name, fn.ptr()) < 0) throw_python_error();
        for (int slot = 0; slot < static_cast<int>(Slot::count); ++slot)
            if (std::strcmp(spec.name, kSlotMethods[slot]) == 0)
                register_slot(static_cast<Slot>(slot), fn.ptr(), &spec);  // kept alive by the class dictionary
    }
    PyType_Modified(&ExtractorType);

    py::object unpickle = make_function(&kUnpickleSpec, "");
    if (PyDict_SetItemString(state.globals, kUnpickleSpec.name, unpickle.ptr()) < 0) throw_python_error();
}

}  // namespace chromalens
