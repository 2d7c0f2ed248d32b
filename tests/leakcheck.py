"""Measuring what a call leaves behind when it is repeated.

`growth(call, watch, loops)` runs `call` a few times to warm caches up, then
`loops` times more, and reports how much was left over by those `loops`
calls: the change in the reference counts of the watched objects (the
call's arguments), of None/True/False, in the number of objects tracked by
the garbage collector, in the bytes traced by tracemalloc (over all loops
and over their second half) and in the process's resident set size.
`assert_no_leak` applies the limits used by the tests; a measurement over
the byte limits is taken again over as many calls, and fails only when it
exceeds them again: a leak grows in every window, a block allocated once
(late, by the interpreter or a library) does not.  Set LEAK_REPORT=path to
append one line per measurement there.
"""

import dataclasses
import gc
import json
import os
import sys
import tracemalloc

import psutil

RSS_LIMIT = 512 * 1024
# Under AddressSanitizer (with PYTHONMALLOC=malloc) freed blocks wait in a
# quarantine and stay resident, and the traced bytes move with the allocator,
# so only the reference and object counts are checked there.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
_process = psutil.Process()


@dataclasses.dataclass
class Growth:
    loops: int
    refs: list
    shared: list
    objects: int
    traced: int
    rss: int
    traced_late: int  # traced growth over the second half of the loops


def _run(call, expect):
    if expect is None:
        call()
        return
    try:
        call()
    except expect:
        return
    raise AssertionError(f"expected {expect.__name__}")


def _settle():
    gc.collect()
    # The interpreter's attribute-lookup cache (4096 slots) holds the name of
    # each lookup it caches.  pybind11 on 3.12+ looks up a fresh "__notes__"
    # string on every error it fetches, so each error raised by OpenCV fills
    # one slot until the cache is full (measured with OpenCV alone: hasattr
    # with a fresh name on cv2.error settles at ~200 KB after ~4000 calls).
    sys._clear_type_cache()


def _measure(watch):
    # Tuples of plain numbers are untracked by the collector, so the
    # measurement itself adds no tracked object.
    _settle()
    refs = tuple(sys.getrefcount(o) for o in watch)
    shared = (sys.getrefcount(None), sys.getrefcount(True), sys.getrefcount(False))
    gc.collect()
    return refs, shared, len(gc.get_objects()), tracemalloc.get_traced_memory()[0], _process.memory_info().rss


def _difference(after, before):
    if isinstance(after, tuple):
        return [a - b for a, b in zip(after, before)]
    return after - before


def growth(call, watch=(), loops=1000, warmup=None, expect=None, trace=True):
    if warmup is None:
        # Free lists and caches fill up over the first calls; that growth is
        # bounded and must not count.
        warmup = max(5, loops // 4)
    started = trace and not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    # Objects that exist now are moved out of the collector's way: the
    # collections below stay cheap and count only new objects.
    gc.collect()
    gc.freeze()
    try:
        for _ in range(warmup):
            _run(call, expect)
        before = _measure(watch)
        for _ in range(loops // 2):
            _run(call, expect)
        _settle()
        halfway = tracemalloc.get_traced_memory()[0]
        for _ in range(loops - loops // 2):
            _run(call, expect)
        after = _measure(watch)
        late = tracemalloc.get_traced_memory()[0] - halfway
        return Growth(loops, *(_difference(a, b) for a, b in zip(after, before)), late)
    finally:
        gc.unfreeze()
        if started:
            tracemalloc.stop()


def _over_byte_limits(g, rss_limit):
    """What exceeds the byte limits of `g`, or None."""
    # Caches and free lists fill up early and stop; a leak keeps growing, so
    # the second half of the loops is held to a few bytes per call.
    if g.traced >= 262144:
        return f"{g.traced} more traced bytes after {g.loops} calls"
    if g.traced_late >= 16384 + 4 * g.loops:
        return f"{g.traced_late} more traced bytes over the last {g.loops - g.loops // 2} calls"
    if g.rss > rss_limit:
        return f"RSS grew by {g.rss} bytes over {g.loops} calls"
    return None


def assert_no_leak(name, call, watch=(), loops=1000, warmup=None, expect=None, rss_limit=RSS_LIMIT, trace=True,
                   check_none=True):
    g = growth(call, watch, loops, warmup, expect, trace)
    report = os.environ.get("LEAK_REPORT")
    if report:
        with open(report, "a", encoding="utf-8") as f:
            f.write(json.dumps({"case": name, **dataclasses.asdict(g)}) + "\n")
    # An argument's count must come back exactly; a leaked reference to a
    # shared constant or container, or a leaked block, shows up once per call.
    assert g.refs == [0] * len(watch), f"{name}: argument reference counts changed by {g.refs}"
    shared = g.shared if check_none else g.shared[1:]
    assert all(abs(s) < loops / 2 for s in shared), f"{name}: None/True/False counts changed by {g.shared}"
    assert g.objects < loops / 2, f"{name}: {g.objects} more tracked objects after {loops} calls"
    if SANITIZED:
        # The counts above do not depend on the allocator; the byte limits
        # below are set for the normal build and are held there.
        return g
    excess = _over_byte_limits(g, rss_limit)
    if excess is not None:
        # One block allocated late and kept (the interpreter growing a table of
        # its own once, say) is no leak; a leak grows again over as many calls
        # more, and is held to the same limits there.
        again = growth(call, watch, loops, 0, expect, trace)
        second = _over_byte_limits(again, rss_limit)
        assert second is None, f"{name}: {excess}, and again over {loops} more calls: {second}"
    return g
