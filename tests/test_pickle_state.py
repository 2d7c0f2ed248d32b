"""Restoring damaged pickled states: wrong item types, too few or extra
items, huge integers and wrong checksum types raise the host's exceptions,
restore the fields before the bad item, crash nothing and leak nothing."""

import pickle

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import chromalens.color_extractor_cy as cy
from chromalens.color_extractor_cy import ColorExtractor
from leakcheck import assert_no_leak

unpickle = cy.__pyx_unpickle_ColorExtractor
CHECKSUM = 0x95A985B


class Sub(ColorExtractor):
    pass


class StrSub(str):
    pass


class BadBool:
    def __bool__(self):
        raise RuntimeError("no truth")


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


def fields(ex):
    reduced = ex.__reduce__()
    return reduced[2][:4] if len(reduced) == 3 else reduced[1][2]


BASE = ("dbscan", False, 7, False)  # the fields of ColorExtractor(7, "dbscan", False, False)


# state, exception type, message (or None), fields afterwards on ColorExtractor(7, "dbscan", False, False)
CASES = [
    ((), IndexError, "tuple index out of range", BASE),
    (("kmeans",), IndexError, "tuple index out of range", ("kmeans", False, 7, False)),
    (("kmeans", True), IndexError, "tuple index out of range", ("kmeans", True, 7, False)),
    (("kmeans", True, 3), IndexError, "tuple index out of range", ("kmeans", True, 3, False)),
    ((5, True, 3, True), TypeError, "Expected str, got int", BASE),
    ((b"kmeans", True, 3, True), TypeError, "Expected str, got bytes", BASE),
    ((StrSub("kmeans"), True, 3, True), TypeError, "Expected str, got StrSub", BASE),
    (("kmeans", BadBool(), 3, True), RuntimeError, "no truth", ("kmeans", False, 7, False)),
    (("kmeans", np.array([1, 2]), 3, True), ValueError, None, ("kmeans", False, 7, False)),
    (("kmeans", True, "3", True), TypeError, "an integer is required", ("kmeans", True, 7, False)),
    (("kmeans", True, None, True), TypeError, "an integer is required", ("kmeans", True, 7, False)),
    (("kmeans", True, 2**31, True), OverflowError, None, ("kmeans", True, 7, False)),
    (("kmeans", True, -2**31 - 1, True), OverflowError, None, ("kmeans", True, 7, False)),
    (("kmeans", True, 10**100, True), OverflowError, None, ("kmeans", True, 7, False)),
    (("kmeans", True, float("nan"), True), ValueError, None, ("kmeans", True, 7, False)),
    (("kmeans", True, float("inf"), True), OverflowError, None, ("kmeans", True, 7, False)),
    (("kmeans", True, IntLike("3"), True), TypeError, "__int__ returned non-int (type str)", ("kmeans", True, 7, False)),
    (("kmeans", True, 3, BadBool()), RuntimeError, "no truth", ("kmeans", True, 3, False)),
    # Accepted conversions.
    (("kmeans", 1, 3.9, []), None, None, ("kmeans", True, 3, False)),
    ((None, "", -2**31, "x"), None, None, (None, False, -2**31, True)),
    (("kmeans", np.bool_(True), np.int64(2**31 - 1), None), None, None, ("kmeans", True, 2**31 - 1, False)),
    (("kmeans", True, IntLike(True), True), None, None, ("kmeans", True, 1, True)),
    # Extra items on an instance without a dictionary are ignored.
    (("kmeans", True, 3, True, {"a": 1}), None, None, ("kmeans", True, 3, True)),
    (("kmeans", True, 3, True, "not a dict", object(), 10**100), None, None, ("kmeans", True, 3, True)),
]


def case_id(case):
    state = case[0]
    return f"{len(state)} items: " + ", ".join(type(x).__name__ for x in state)


@pytest.mark.parametrize("state, error, message, after", CASES, ids=[case_id(c) for c in CASES])
@pytest.mark.parametrize("route", ["setstate", "unpickle"])
def test_damaged_states(state, error, message, after, route):
    if route == "setstate":
        ex = ColorExtractor(7, "dbscan", False, False)
        call = lambda: ex.__setstate__(state)  # noqa: E731
    else:
        # The reconstructor starts from an uninitialised instance.
        after = tuple(a if a != b else u for a, b, u in zip(after, BASE, (None, False, 0, False)))
        holder = {}
        call = lambda: holder.setdefault("ex", unpickle(ColorExtractor, CHECKSUM, state))  # noqa: E731
    if error is None:
        call()
        got = ex if route == "setstate" else holder["ex"]
        assert fields(got) == after
        return
    with pytest.raises(error) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    if route == "setstate":
        assert fields(ex) == after
        # The instance stays usable.
        ex.__setstate__(("kmeans", True, 2, True))
        assert fields(ex) == ("kmeans", True, 2, True)


@pytest.mark.parametrize("checksum, error", [
    ("0x95a985b", TypeError), (None, TypeError), (b"\x01", TypeError), ([CHECKSUM], TypeError),
    (2**31, OverflowError), (2**64 + CHECKSUM, OverflowError), (-2**40, OverflowError), (float("nan"), ValueError),
    (1, pickle.PickleError), (-1, pickle.PickleError), (0, pickle.PickleError), (CHECKSUM + 1, pickle.PickleError),
    (IntLike(7.5), TypeError),
])
def test_wrong_checksums(checksum, error):
    with pytest.raises(error) as info:
        unpickle(ColorExtractor, checksum, ("kmeans", True, 3, True))
    if error is pickle.PickleError:
        assert str(info.value).startswith(f"Incompatible checksums (0x{int(checksum):x} vs (0x95a985b, ")


@pytest.mark.parametrize("checksum", [CHECKSUM, 0x5ABDA51, 0x3DAA32E, float(CHECKSUM),
                                      np.int32(CHECKSUM), IntLike(CHECKSUM)])
def test_accepted_checksum_forms(checksum):
    assert fields(unpickle(ColorExtractor, checksum, ("kmeans", True, 3, True))) == ("kmeans", True, 3, True)


@pytest.mark.parametrize("kind, state, error", [
    (5, None, TypeError), (int, None, TypeError), (ColorExtractor, ["kmeans", True, 3, True], TypeError),
    (ColorExtractor, ("kmeans", True, 3, True)[::-1], TypeError), (Sub, ("kmeans", True, 3, True, 5), TypeError),
    (Sub, ("kmeans", True, 3, True, {1: 2}), None),
])
def test_wrong_types_and_subclass_dictionaries(kind, state, error):
    if error is None:
        ex = unpickle(kind, CHECKSUM, state)
        assert type(ex) is kind and ex.__dict__ == {1: 2}
        return
    with pytest.raises(error):
        unpickle(kind, CHECKSUM, state)


def test_setstate_argument_types():
    ex = ColorExtractor()
    with pytest.raises(TypeError, match="^'NoneType' object is not subscriptable$"):
        ex.__setstate__(None)
    with pytest.raises(TypeError, match=r"^Expected tuple, got list$"):
        ex.__setstate__(["kmeans", True, 3, True])
    with pytest.raises(TypeError, match=r"^Expected tuple, got StateTuple$"):
        ex.__setstate__(type("StateTuple", (tuple,), {})(("kmeans", True, 3, True)))
    assert fields(ex) == ("kmeans", True, 5, True)


def test_tampered_pickle_bytes_raise():
    data = pickle.dumps(ColorExtractor(3, "dbscan"), protocol=2)
    assert fields(pickle.loads(data)) == ("dbscan", True, 3, True)
    tampered = data.replace(b"dbscan", b"db\xffcan")  # no longer valid UTF-8 in the pickle
    with pytest.raises(Exception) as info:
        pickle.loads(tampered)
    assert not isinstance(info.value, SystemError)
    for cut in range(1, len(data), 7):
        try:
            pickle.loads(data[:cut])
        except Exception as exc:  # noqa: BLE001 - any host exception is fine, a crash is not
            assert not isinstance(exc, SystemError)


# ---------------------------------------------------------------------------
# Random states against a plain reading of the restore rules
# ---------------------------------------------------------------------------
items = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(-2**31, 2**31 - 1), st.floats(), st.text(max_size=3),
    st.binary(max_size=2), st.lists(st.integers(), max_size=2), st.dictionaries(st.text(max_size=1), st.integers()),
    st.sampled_from([BadBool(), IntLike(4), IntLike("x"), np.int64(3), np.float32(1.5), np.array([1, 2]),
                     StrSub("k"), object()]),
)


def ref_restore(start, state, has_dict):
    """Field-by-field restore; returns (fields, exception type or None)."""
    algorithm, lab, n, pre = start
    try:
        if len(state) < 1:
            raise IndexError
        if state[0] is not None and type(state[0]) is not str:
            raise TypeError
        algorithm = state[0]
        if len(state) < 2:
            raise IndexError
        lab = bool(state[1])
        if len(state) < 3:
            raise IndexError
        value = state[2]
        if not isinstance(value, int):
            convert = getattr(type(value), "__int__", None)
            if convert is None:
                raise TypeError
            value = convert(value)
            if not isinstance(value, int):
                raise TypeError
        if not -2**31 <= value < 2**31:
            raise OverflowError
        n = int.__int__(value)
        if len(state) < 4:
            raise IndexError
        pre = bool(state[3])
        if len(state) > 4 and has_dict:
            {}.update(state[4])
    except Exception as exc:  # noqa: BLE001 - the type is the expected outcome
        return (algorithm, lab, n, pre), type(exc)
    return (algorithm, lab, n, pre), None


@given(state=st.lists(items, max_size=6).map(tuple), subclass=st.booleans())
def test_random_states_restore_as_read(state, subclass):
    ex = (Sub if subclass else ColorExtractor)(7, "dbscan", False, False)
    want_fields, want_error = ref_restore(BASE, state, subclass)
    try:
        ex.__setstate__(state)
        error = None
    except Exception as exc:  # noqa: BLE001 - compared below
        error = type(exc)
    assert error is want_error
    assert fields(ex) == want_fields


# ---------------------------------------------------------------------------
# Leaks on the error paths
# ---------------------------------------------------------------------------
LEAK_CASES = [
    ("short state", lambda ex, s=("kmeans", True): ex.__setstate__(s), IndexError),
    ("wrong algorithm type", lambda ex, s=(5, True, 3, True): ex.__setstate__(s), TypeError),
    ("huge integer", lambda ex, s=("kmeans", True, 10**100, True): ex.__setstate__(s), OverflowError),
    ("bad truth value", lambda ex, s=("kmeans", BadBool(), 3, True): ex.__setstate__(s), RuntimeError),
    ("wrong checksum", lambda ex, s=("kmeans", True, 3, True): unpickle(ColorExtractor, 1, s), pickle.PickleError),
    ("checksum type", lambda ex, s=("kmeans", True, 3, True): unpickle(ColorExtractor, "x", s), TypeError),
    ("state type", lambda ex, s=["kmeans", True, 3, True]: unpickle(ColorExtractor, CHECKSUM, s), TypeError),
    ("extra items", lambda ex, s=("kmeans", True, 3, True, {"a": 1}, 2): ex.__setstate__(s), None),
    ("subclass dict", lambda ex, s=("kmeans", True, 3, True, {"a": [1]}): unpickle(Sub, CHECKSUM, s), None),
    ("round trip", lambda ex: pickle.loads(pickle.dumps(ex)), None),
]


@pytest.mark.parametrize("name, call, expect", LEAK_CASES, ids=[c[0] for c in LEAK_CASES])
def test_restore_paths_leak_nothing(name, call, expect):
    ex = Sub(3, "dbscan")
    ex.attribute = [1, 2]
    state = call.__defaults__[0] if call.__defaults__ else ()
    assert_no_leak(name, lambda: call(ex), [ex, *state], loops=2000, expect=expect)


@pytest.mark.parametrize("state,type_name", [(5, "int"), ([], "list"), ("abc", "str"), ({}, "dict")])
def test_setstate_names_the_state_type(state, type_name):
    ex = ColorExtractor()
    for call in (lambda: ex.__setstate__(state), lambda: ex.__setstate__(__pyx_state=state)):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == f"Expected tuple, got {type_name}"
    assert fields(ex) == ("kmeans", True, 5, True)


class DictLookupFails(ColorExtractor):
    @property
    def __dict__(self):
        raise RuntimeError("dictionary unavailable")


def test_errors_looking_up_the_instance_dictionary_propagate():
    ex = DictLookupFails()
    with pytest.raises(RuntimeError, match="dictionary unavailable"):
        ex.__setstate__(("dbscan", False, 3, False, {"a": 1}))
    with pytest.raises(RuntimeError, match="dictionary unavailable"):
        ex.__reduce__()
