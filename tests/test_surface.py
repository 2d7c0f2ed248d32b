"""The module as the host sees it: bindings, the class, its method objects,
argument conventions and the override-aware internal dispatch."""

import importlib
import inspect
import sys
import traceback

import numpy as np
import pytest

import chromalens.color_extractor_cy as cy
from chromalens.color_extractor_cy import ColorExtractor

QUAL = "chromalens.color_extractor_cy.ColorExtractor."
SUBCLASS_NOTE = (
    ". Note that chromalens is deliberately stricter than PEP-484 and rejects subclasses of builtin types."
)

# name, parameters (name, default or REQ), annotations, one-line doc or None for multi-line
REQ = object()
METHODS = [
    ("__init__", [("n_colors", 5), ("algorithm", "kmeans"), ("preprocessing", True), ("lab_space", True)], {}, None),
    ("_preprocess_image", [("image", REQ)], {}, "Apply preprocessing for robustness against noise and lighting."),
    ("_convert_to_feature_space", [("image", REQ)], {}, "Convert image to appropriate color space for clustering."),
    ("_apply_mask", [("image", REQ), ("mask", REQ)], {}, "Apply mask to limit color extraction to specific areas."),
    ("_extract_pixels", [("image", REQ), ("mask", None)], {}, "Extract valid pixels for clustering."),
    ("_cluster_colors_kmeans", [("pixels", REQ)], {}, "Extract colors using K-means clustering."),
    ("_cluster_colors_dbscan", [("pixels", REQ)], {}, "Extract colors using DBSCAN clustering."),
    ("_calculate_percentages", [("labels", REQ)], {}, "Calculate color percentages."),
    ("extract_colors", [("image", REQ), ("mask", None)], {}, None),
    (
        "visualize_colors",
        [("colors", REQ), ("save_path", None)],
        {"colors": "List[dict]", "save_path": "Optional[str]"},
        "Visualize extracted colors with percentages.",
    ),
    (
        "_color_distance_lab",
        [("color1", REQ), ("color2", REQ)],
        {},
        "Calculate perceptual distance between two colors in LAB space.",
    ),
    (
        "_find_closest_color",
        [("target_color", REQ), ("image_colors", REQ)],
        {"target_color": "Tuple[int, int, int]", "image_colors": "List[dict]", "return": "Tuple[dict, float]"},
        "Find the closest color in image to target color.",
    ),
    (
        "analyze_color_similarity",
        [("image", REQ), ("target_colors", REQ), ("mask", None), ("similarity_threshold", 50.0)],
        {"target_colors": "Dict[str, Tuple[int, int, int]]", "similarity_threshold": "float", "return": "Dict[str, dict]"},
        None,
    ),
    (
        "find_color_matches",
        [("image", REQ), ("target_colors", REQ), ("mask", None)],
        {"target_colors": "Dict[str, Tuple[int, int, int]]", "return": "Dict[str, dict]"},
        None,
    ),
    ("__reduce__", [], {}, None),
    ("__setstate__", [("__pyx_state", REQ)], {}, None),
]
METHOD_IDS = [m[0] for m in METHODS]


# ---------------------------------------------------------------------------
# Module and class
# ---------------------------------------------------------------------------
def test_module_bindings_in_order():
    names = [n for n in vars(cy) if not n.startswith("__") or n == "__pyx_unpickle_ColorExtractor"]
    assert names == [
        "ColorExtractor", "np", "cv2", "KMeans", "DBSCAN", "StandardScaler", "euclidean_distances",
        "List", "Tuple", "Optional", "Union", "Dict", "Image", "plt", "__pyx_unpickle_ColorExtractor",
    ]
    import cv2
    import matplotlib.pyplot
    import PIL.Image
    import sklearn.cluster

    assert cy.np is np and cy.cv2 is cv2 and cy.plt is matplotlib.pyplot and cy.Image is PIL.Image
    assert cy.DBSCAN is sklearn.cluster.DBSCAN


def test_reimport_returns_same_module():
    assert importlib.import_module("chromalens.color_extractor_cy") is cy
    spec = cy.__spec__
    assert spec.loader.create_module(spec) is cy
    spec.loader.exec_module(cy)  # the same module object again: accepted unchanged
    assert cy.ColorExtractor is ColorExtractor


def test_class_flags_and_layout():
    flags = ColorExtractor.__flags__
    assert flags & (1 << 10)  # subclassable
    assert not flags & (1 << 14)  # no cyclic GC support
    assert ColorExtractor.__dictoffset__ == 0 and ColorExtractor.__weakrefoffset__ == 0
    e = ColorExtractor()
    with pytest.raises(AttributeError):
        e.__dict__
    with pytest.raises(AttributeError):
        e.n_colors
    with pytest.raises(AttributeError):
        e.algorithm = "dbscan"
    import gc

    assert not gc.is_tracked(e)
    import weakref

    with pytest.raises(TypeError):
        weakref.ref(e)


def test_class_dictionary_holds_methods_in_source_order():
    own = [n for n in vars(ColorExtractor) if n in METHOD_IDS]
    assert own == METHOD_IDS


# ---------------------------------------------------------------------------
# Method objects
# ---------------------------------------------------------------------------
@pytest.mark.parametrize("name,params,annotations,doc", METHODS, ids=METHOD_IDS)
def test_method_object_introspection(name, params, annotations, doc):
    fn = vars(ColorExtractor)[name]
    assert fn.__name__ == name
    assert fn.__qualname__ == "ColorExtractor." + name
    assert fn.__module__ == "chromalens.color_extractor_cy"
    defaults = tuple(d for _, d in params if d is not REQ)
    assert fn.__defaults__ == (defaults or None)
    if defaults:
        assert [type(d) for d in fn.__defaults__] == [type(d) for d in defaults]
    assert fn.__annotations__ == annotations
    sig = inspect.signature(fn)
    assert list(sig.parameters) == ["self"] + [p for p, _ in params]
    for pname, default in params:
        p = sig.parameters[pname]
        assert p.kind is p.POSITIONAL_OR_KEYWORD
        assert p.default == (inspect.Parameter.empty if default is REQ else default)
    bound = getattr(ColorExtractor(), name)
    assert list(inspect.signature(bound).parameters) == [p for p, _ in params]
    if doc is not None:
        assert fn.__doc__ == doc
    elif name in ("__reduce__", "__setstate__"):
        assert fn.__doc__ is None


@pytest.mark.parametrize(
    "name,summary,lines",
    [
        ("__init__", "Initialize ColorExtractor with robust color extraction capabilities.",
         ["n_colors: Number of dominant colors to extract", "algorithm: 'kmeans' or 'dbscan' for clustering",
          "preprocessing: Apply noise reduction and lighting normalization",
          "lab_space: Use LAB color space for perceptual accuracy"]),
        ("extract_colors", "Extract dominant colors from image.",
         ["image: Path to image file or numpy array", "mask: Optional mask image (white areas will be analyzed)",
          "Returns:", "List of dictionaries with color info: {'color': (R,G,B), 'percentage': float}"]),
        ("analyze_color_similarity", "Analyze how much each target color appears in the image.",
         ["target_colors: Dictionary of color names and RGB values",
          "e.g., {'red': (255, 0, 0), 'white': (255, 255, 255)}", "mask: Optional mask image",
          "similarity_threshold: Maximum LAB distance to consider colors similar",
          "Dictionary with color analysis results"]),
        ("find_color_matches", "Find how much each target color appears in the image with detailed analysis.",
         ["image: Path to image file or numpy array", "Dictionary with detailed color matching results"]),
    ],
)
def test_multiline_docs_are_indented_by_eight(name, summary, lines):
    doc = vars(ColorExtractor)[name].__doc__
    assert doc.startswith("\n        " + summary + "\n")
    assert "        Args:\n" in doc
    stripped = [line.strip() for line in doc.splitlines()]
    for line in lines:
        assert line in stripped
    assert all(line == "" or line.startswith("        ") for line in doc.splitlines()[1:])
    assert inspect.cleandoc(doc).splitlines()[0] == summary


def test_method_objects_bind_and_pickle_by_reference():
    import pickle

    e = ColorExtractor()
    fn = vars(ColorExtractor)["extract_colors"]
    assert ColorExtractor.extract_colors is fn
    assert e.extract_colors.__func__ is fn and e.extract_colors.__self__ is e
    assert pickle.loads(pickle.dumps(fn)) is fn
    assert pickle.loads(pickle.dumps(cy.__pyx_unpickle_ColorExtractor)) is cy.__pyx_unpickle_ColorExtractor
    assert inspect.isroutine(fn)


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: ColorExtractor.extract_colors(), "unbound method ColorExtractor.extract_colors() needs an argument"),
        (lambda: ColorExtractor.extract_colors(object(), None), "doesn't apply to a 'object' object"),
    ],
)
def test_unbound_calls_check_self(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert message in str(info.value)


# ---------------------------------------------------------------------------
# Argument conventions
# ---------------------------------------------------------------------------
E = ColorExtractor()
IMG = np.zeros((2, 2, 3), np.uint8)


class Dict2(dict):
    pass


class List2(list):
    pass


class Tuple2(tuple):
    pass


class Str2(str):
    pass


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: ColorExtractor(1, "kmeans", True, True, 5),
         "__init__() takes at most 4 positional arguments (5 given)"),
        (lambda: E._apply_mask(IMG), "_apply_mask() takes exactly 2 positional arguments (1 given)"),
        (lambda: E._apply_mask(mask=IMG), "_apply_mask() takes exactly 2 positional arguments (0 given)"),
        (lambda: E._apply_mask(IMG, IMG, IMG), "_apply_mask() takes exactly 2 positional arguments (3 given)"),
        (lambda: E.extract_colors(), "extract_colors() takes at least 1 positional argument (0 given)"),
        (lambda: E.extract_colors(IMG, None, 3), "extract_colors() takes at most 2 positional arguments (3 given)"),
        (lambda: E.find_color_matches(IMG), "find_color_matches() takes at least 2 positional arguments (1 given)"),
        (lambda: E.analyze_color_similarity(target_colors={}),
         "analyze_color_similarity() takes at least 2 positional arguments (0 given)"),
        (lambda: E.analyze_color_similarity(image=IMG, mask=None),
         "analyze_color_similarity() takes at least 2 positional arguments (1 given)"),
        (lambda: E.__reduce__(1), "__reduce__() takes exactly 0 positional arguments (1 given)"),
        (lambda: E.__reduce__(x=1), "__reduce__() got an unexpected keyword argument 'x'"),
        (lambda: E.extract_colors(IMG, image=IMG), "extract_colors() got multiple values for keyword argument 'image'"),
        (lambda: E.extract_colors(IMG, colour=1), "extract_colors() got an unexpected keyword argument 'colour'"),
        (lambda: ColorExtractor(5, n_colors=3), "__init__() got multiple values for keyword argument 'n_colors'"),
        (lambda: ColorExtractor(bogus=3), "__init__() got an unexpected keyword argument 'bogus'"),
        (lambda: cy.__pyx_unpickle_ColorExtractor(ColorExtractor, 1),
         "__pyx_unpickle_ColorExtractor() takes exactly 3 positional arguments (2 given)"),
    ],
)
def test_argument_count_and_keyword_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call,param,expected,got,note",
    [
        (lambda: ColorExtractor(algorithm=5), "algorithm", "str", "int", False),
        (lambda: ColorExtractor(algorithm=Str2("kmeans")), "algorithm", "str", "Str2", False),
        (lambda: E._preprocess_image([1]), "image", "numpy.ndarray", "list", False),
        (lambda: E._apply_mask(IMG, "mask"), "mask", "numpy.ndarray", "str", False),
        (lambda: E._calculate_percentages((0, 1)), "labels", "numpy.ndarray", "tuple", False),
        (lambda: E._color_distance_lab([0, 0, 0], IMG), "color1", "numpy.ndarray", "list", False),
        (lambda: E._color_distance_lab(IMG, 3), "color2", "numpy.ndarray", "int", False),
        (lambda: E.visualize_colors(None), "colors", "list", "NoneType", False),
        (lambda: E.visualize_colors(List2()), "colors", "list", "List2", True),
        (lambda: E.visualize_colors([], Str2("x.png")), "save_path", "str", "Str2", True),
        (lambda: E._find_closest_color([1, 2, 3], [5]), "target_color", "tuple", "list", False),
        (lambda: E._find_closest_color(Tuple2((1, 2, 3)), []), "target_color", "tuple", "Tuple2", True),
        (lambda: E._find_closest_color((1, 2, 3), None), "image_colors", "list", "NoneType", False),
        (lambda: E.find_color_matches(IMG, None), "target_colors", "dict", "NoneType", False),
        (lambda: E.find_color_matches(IMG, Dict2()), "target_colors", "dict", "Dict2", True),
        (lambda: E.analyze_color_similarity(IMG, Dict2()), "target_colors", "dict", "Dict2", True),
    ],
)
def test_argument_type_checks(call, param, expected, got, note):
    with pytest.raises(TypeError) as info:
        call()
    message = f"Argument '{param}' has incorrect type (expected {expected}, got {got})"
    assert str(info.value) == message + (SUBCLASS_NOTE if note else "")


def test_none_passes_array_checks():
    assert E._convert_to_feature_space is not None
    assert ColorExtractor(preprocessing=False)._preprocess_image(None) is None
    assert E._apply_mask(IMG, None) is IMG


def test_conversion_runs_before_type_checks():
    # similarity_threshold is converted before target_colors is checked.
    with pytest.raises(TypeError, match="must be real number"):
        E.analyze_color_similarity(IMG, None, None, "x")
    # n_colors is converted before algorithm is checked.
    with pytest.raises(TypeError, match="an integer is required"):
        ColorExtractor("5", 5)


def test_traceback_names_the_method():
    with pytest.raises(TypeError) as info:
        E._preprocess_image([1])
    names = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert names[-1] == QUAL + "_preprocess_image"


# ---------------------------------------------------------------------------
# Module globals
# ---------------------------------------------------------------------------
def test_deleted_global_raises_name_error(restore_globals):
    del restore_globals["cv2"]
    with pytest.raises(NameError) as info:
        E._convert_to_feature_space(IMG)
    assert str(info.value) == "name 'cv2' is not defined"


def test_rebound_global_is_called(restore_globals):
    calls = []

    class FakeCv2:
        COLOR_BGR2LAB = "to-lab"

        def cvtColor(self, image, code):
            calls.append(code)
            return image

    restore_globals["cv2"] = FakeCv2()
    assert E._convert_to_feature_space(IMG) is IMG
    assert calls == ["to-lab"]


def test_builtins_fallback_for_globals(restore_globals, monkeypatch):
    import builtins

    del restore_globals["np"]
    monkeypatch.setattr(builtins, "np", np, raising=False)
    out = ColorExtractor(lab_space=False)._extract_pixels(np.full((2, 2, 3), 7, np.uint8))
    assert out.shape == (4, 3)


# ---------------------------------------------------------------------------
# Internal dispatch
# ---------------------------------------------------------------------------
def solid(value, shape=(4, 4, 3)):
    return np.full(shape, value, np.uint8)


def test_subclass_override_of_slot_is_used_and_super_reaches_native():
    seen = []

    class Sub(ColorExtractor):
        def _convert_to_feature_space(self, image):
            seen.append(image.shape)
            return super()._convert_to_feature_space(image)

    e = Sub(preprocessing=False, lab_space=False)
    result = e.extract_colors(solid(9))
    assert seen == [(4, 4, 3)]
    assert result == [{"color": (9, 9, 9), "percentage": 100.0}]


def test_override_added_after_instances_exist():
    class Sub(ColorExtractor):
        pass

    e = Sub(preprocessing=False, lab_space=False)
    assert e.extract_colors(solid(9)) == [{"color": (9, 9, 9), "percentage": 100.0}]
    Sub._convert_to_feature_space = lambda self, image: np.full_like(image, 20)
    assert e.extract_colors(solid(9)) == [{"color": (20, 20, 20), "percentage": 100.0}]
    del Sub._convert_to_feature_space
    assert e.extract_colors(solid(9)) == [{"color": (9, 9, 9), "percentage": 100.0}]


def test_base_class_method_reassigned_on_subclass_is_native():
    class Sub(ColorExtractor):
        _extract_pixels = ColorExtractor._extract_pixels

    assert Sub(preprocessing=False, lab_space=False).extract_colors(solid(3)) == [
        {"color": (3, 3, 3), "percentage": 100.0}
    ]


@pytest.mark.parametrize(
    "slot,result,message",
    [
        ("_preprocess_image", [1], "Cannot convert list to numpy.ndarray"),
        ("_convert_to_feature_space", "img", "Cannot convert str to numpy.ndarray"),
        ("_extract_pixels", (1, 2), "Cannot convert tuple to numpy.ndarray"),
        ("_calculate_percentages", (100.0,), "Expected list, got tuple"),
    ],
)
def test_override_results_are_checked(slot, result, message):
    Sub = type("Sub", (ColorExtractor,), {slot: lambda self, *args: result})
    with pytest.raises(TypeError) as info:
        Sub(preprocessing=False).extract_colors(solid(50))
    assert str(info.value) == message


def test_mask_override_is_used_by_pixel_extraction():
    class Sub(ColorExtractor):
        def _apply_mask(self, image, mask):
            return np.full_like(image, 77)

    mask = np.full((4, 4), 255, np.uint8)
    assert Sub(preprocessing=False, lab_space=False).extract_colors(solid(9), mask) == [
        {"color": (77, 77, 77), "percentage": 100.0}
    ]


def test_extractor_usable_after_failures():
    e = ColorExtractor(preprocessing=False, lab_space=False)
    for bad in ([1], "no/such/file.png", np.zeros((2, 2, 3), np.int64)):
        with pytest.raises(Exception):
            e.extract_colors(bad)
    assert e.extract_colors(solid(40)) == [{"color": (40, 40, 40), "percentage": 100.0}]
    assert sys.getrefcount(e) >= 2
