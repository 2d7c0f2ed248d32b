"""Extractor settings (construction, conversions, two-phase failure) and the
pickled state."""

import copy
import pickle

import numpy as np
import pytest

import chromalens.color_extractor_cy as cy
from chromalens.color_extractor_cy import ColorExtractor

unpickle = cy.__pyx_unpickle_ColorExtractor
CHECKSUM = 0x95A985B


def fields(extractor):
    """(algorithm, lab_space, n_colors, preprocessing) read back through the reduce value."""
    reduced = extractor.__reduce__()
    state = reduced[2] if len(reduced) == 3 else reduced[1][2]
    return state[:4]


class Settings(ColorExtractor):
    """A host subclass with attributes of its own (module level, so it pickles)."""


# ---------------------------------------------------------------------------
# Construction
# ---------------------------------------------------------------------------
@pytest.mark.parametrize(
    "args,kwargs,expected",
    [
        ((), {}, ("kmeans", True, 5, True)),
        ((8, "dbscan", False, False), {}, ("dbscan", False, 8, False)),
        ((), {"n_colors": 8, "algorithm": "dbscan", "preprocessing": False, "lab_space": False},
         ("dbscan", False, 8, False)),
        ((3.9,), {}, ("kmeans", True, 3, True)),
        ((-2.5,), {}, ("kmeans", True, -2, True)),
        ((True,), {}, ("kmeans", True, 1, True)),
        ((np.int64(7),), {}, ("kmeans", True, 7, True)),
        ((0,), {}, ("kmeans", True, 0, True)),
        ((-1,), {}, ("kmeans", True, -1, True)),
        ((2**31 - 1,), {}, ("kmeans", True, 2**31 - 1, True)),
        ((-(2**31),), {}, ("kmeans", True, -(2**31), True)),
        ((), {"algorithm": None}, (None, True, 5, True)),
        ((), {"algorithm": "KMeans"}, ("KMeans", True, 5, True)),
        ((), {"preprocessing": 0, "lab_space": ""}, ("kmeans", False, 5, False)),
        ((), {"preprocessing": [1], "lab_space": None}, ("kmeans", False, 5, True)),
    ],
)
def test_construction_converts_settings(args, kwargs, expected):
    e = ColorExtractor(*args, **kwargs)
    got = fields(e)
    assert got == expected
    assert [type(v) for v in got] == [type(v) for v in expected]


class BadInt:
    def __int__(self):
        raise RuntimeError("no int")


class NotInt:
    def __int__(self):
        return 3.5


class BadBool:
    def __bool__(self):
        raise ValueError("no truth")


@pytest.mark.parametrize(
    "kwargs,error,message",
    [
        ({"n_colors": 2**31}, OverflowError, None),
        ({"n_colors": -(2**31) - 1}, OverflowError, None),
        ({"n_colors": 10**40}, OverflowError, None),
        ({"n_colors": "5"}, TypeError, "an integer is required"),
        ({"n_colors": None}, TypeError, "an integer is required"),
        ({"n_colors": BadInt()}, RuntimeError, "no int"),
        ({"n_colors": NotInt()}, TypeError, "__int__ returned non-int (type float)"),
        ({"n_colors": float("nan")}, ValueError, None),
        ({"algorithm": 5}, TypeError, "Argument 'algorithm' has incorrect type (expected str, got int)"),
        ({"algorithm": b"kmeans"}, TypeError, "Argument 'algorithm' has incorrect type (expected str, got bytes)"),
        ({"preprocessing": BadBool()}, ValueError, "no truth"),
        ({"lab_space": BadBool()}, ValueError, "no truth"),
    ],
)
def test_failed_reinit_leaves_instance_unchanged(kwargs, error, message):
    e = ColorExtractor(3, "dbscan", False, False)
    with pytest.raises(error) as info:
        e.__init__(**kwargs)
    if message is not None:
        assert str(info.value) == message
    assert fields(e) == ("dbscan", False, 3, False)
    with pytest.raises(error):
        ColorExtractor(**kwargs)


def test_reinit_resets_omitted_settings_to_defaults():
    e = ColorExtractor(3, "dbscan", False, False)
    e.__init__(n_colors=9)
    assert fields(e) == ("kmeans", True, 9, True)


def test_new_gives_uninitialised_instance():
    e = ColorExtractor.__new__(ColorExtractor)
    assert fields(e) == (None, False, 0, False)


# ---------------------------------------------------------------------------
# Reduce value
# ---------------------------------------------------------------------------
def test_reduce_forms():
    assert ColorExtractor().__reduce__() == (unpickle, (ColorExtractor, CHECKSUM, None), ("kmeans", True, 5, True))
    assert ColorExtractor(algorithm=None).__reduce__() == (unpickle, (ColorExtractor, CHECKSUM, (None, True, 5, True)))
    s = Settings(4)
    s.label = "brand"
    assert s.__reduce__() == (unpickle, (Settings, CHECKSUM, None), ("kmeans", True, 4, True, {"label": "brand"}))
    # A subclass instance with an empty dictionary still carries it.
    assert Settings(algorithm=None).__reduce__()[2] == (None, True, 5, True, {})


def test_reduce_needs_the_reconstructor(restore_globals):
    del restore_globals["__pyx_unpickle_ColorExtractor"]
    with pytest.raises(NameError, match="name '__pyx_unpickle_ColorExtractor' is not defined"):
        ColorExtractor().__reduce__()


# ---------------------------------------------------------------------------
# Round trips
# ---------------------------------------------------------------------------
CONFIGS = [(), (8, "dbscan", False, False), (0, None, True, False), (-3, "other", False, True)]


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("config", CONFIGS, ids=str)
def test_pickle_round_trip(protocol, config):
    e = ColorExtractor(*config)
    back = pickle.loads(pickle.dumps(e, protocol))
    assert type(back) is ColorExtractor and fields(back) == fields(e)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_subclass_pickle_round_trip(protocol):
    s = Settings(6, "dbscan")
    s.label = ["a", {"b": 1}]
    back = pickle.loads(pickle.dumps(s, protocol))
    assert type(back) is Settings and back.label == ["a", {"b": 1}] and fields(back) == fields(s)


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
@pytest.mark.parametrize("make", [lambda: ColorExtractor(2, None, False), lambda: Settings(7)])
def test_copy_protocol(copier, make):
    e = make()
    if isinstance(e, Settings):
        e.tags = [1, 2]
    c = copier(e)
    assert type(c) is type(e) and c is not e and fields(c) == fields(e)
    if isinstance(e, Settings):
        assert c.tags == [1, 2]
        assert (c.tags is e.tags) == (copier is copy.copy)


def test_restored_extractor_works_like_constructed(rng):
    image = rng.integers(0, 256, (12, 12, 3), dtype=np.uint8)
    original = ColorExtractor(3, "kmeans", False, False)
    restored = pickle.loads(pickle.dumps(original))
    assert restored.extract_colors(image) == original.extract_colors(image)


# ---------------------------------------------------------------------------
# Reconstructor and __setstate__
# ---------------------------------------------------------------------------
@pytest.mark.parametrize("checksum", [0x5ABDA51, 0x3DAA32E, CHECKSUM])
def test_reconstructor_accepts_known_checksums(checksum):
    e = unpickle(ColorExtractor, checksum, None)
    assert type(e) is ColorExtractor and fields(e) == (None, False, 0, False)
    assert fields(unpickle(__pyx_type=Settings, __pyx_checksum=checksum, __pyx_state=("x", 1, 2, 0))) == (
        "x", True, 2, False,
    )


@pytest.mark.parametrize("checksum,shown", [(1, "0x1"), (0xABC, "0xabc"), (-1, "0x-1")])
def test_reconstructor_rejects_other_checksums(checksum, shown):
    with pytest.raises(pickle.PickleError) as info:
        unpickle(ColorExtractor, checksum, None)
    assert str(info.value) == (
        f"Incompatible checksums ({shown} vs (0x95a985b, 0x5abda51, 0x3daa32e) = "
        "(algorithm, lab_space, n_colors, preprocessing))"
    )


@pytest.mark.parametrize(
    "args,error,message",
    [
        ((ColorExtractor, CHECKSUM, ["kmeans", True, 5, True]), TypeError, "Expected tuple, got list"),
        ((ColorExtractor, "1", None), TypeError, "an integer is required"),
        ((ColorExtractor, 2**40, None), OverflowError, None),
        ((int, CHECKSUM, None), TypeError, None),
        ((5, CHECKSUM, None), TypeError, None),
    ],
)
def test_reconstructor_errors(args, error, message):
    with pytest.raises(error) as info:
        unpickle(*args)
    if message:
        assert str(info.value) == message


def test_setstate_changes_all_fields():
    e = ColorExtractor()
    assert e.__setstate__(("dbscan", False, 3, False)) is None
    assert fields(e) == ("dbscan", False, 3, False)


@pytest.mark.parametrize(
    "state,error,message,after",
    [
        (None, TypeError, "'NoneType' object is not subscriptable", ("kmeans", True, 5, True)),
        ((), IndexError, "tuple index out of range", ("kmeans", True, 5, True)),
        (("dbscan", False), IndexError, "tuple index out of range", ("dbscan", False, 5, True)),
        ((7, False, 3, False), TypeError, "Expected str, got int", ("kmeans", True, 5, True)),
        (("dbscan", False, "3", False), TypeError, "an integer is required", ("dbscan", False, 5, True)),
        (("dbscan", False, 2**33, False), OverflowError, None, ("dbscan", False, 5, True)),
    ],
)
def test_setstate_stores_fields_as_converted(state, error, message, after):
    e = ColorExtractor()
    with pytest.raises(error) as info:
        e.__setstate__(state)
    if message:
        assert str(info.value) == message
    assert fields(e) == after


def test_setstate_extra_items():
    e = ColorExtractor()
    e.__setstate__(("dbscan", 1, 4, 0, {"ignored": True}, "more"))
    assert fields(e) == ("dbscan", True, 4, False)
    s = Settings()
    s.__setstate__(("dbscan", 1, 4, 0, {"tag": 5}, "more"))
    assert s.tag == 5
    with pytest.raises(TypeError):
        Settings().__setstate__(("dbscan", 1, 4, 0, 17))
