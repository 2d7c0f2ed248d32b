"""One extractor shared by 8 Python threads: every thread's extraction and
matching results equal those of the same calls made one after another."""

import sys
import threading

import numpy as np
import pytest

from chromalens.color_extractor_cy import ColorExtractor
from helpers import blocks_image

pytestmark = pytest.mark.filterwarnings("ignore")

THREADS = 8
TARGETS = {"red": (255, 0, 0), "white": (255, 255, 255), "teal": (0, 128, 128), "dark": (20, 20, 30)}


def thread_images(index):
    """A blocky image and a mask of its own for each thread."""
    rng = np.random.default_rng(1000 + index)
    palette = rng.integers(0, 256, (5, 3))
    image = blocks_image(palette, block=6, rows=3)  # 18 x 30
    image[rng.random(image.shape[:2]) < 0.1] = rng.integers(0, 256, 3)
    mask = np.full(image.shape[:2], 255, np.uint8)
    mask[:, : 3 + index] = 0
    return image, mask


def run_all(extractor, image, mask):
    return [
        extractor.extract_colors(image, mask),
        extractor.analyze_color_similarity(image, TARGETS, mask, 40.0),
        extractor.find_color_matches(image, TARGETS, mask),
        extractor.find_color_matches(image[::-1, ::2], TARGETS),
    ]


class OverridingExtractor(ColorExtractor):
    """Python-level overrides, so that the interpreter switches threads inside calls."""

    def _preprocess_image(self, image):
        return super()._preprocess_image(image)

    def _color_distance_lab(self, color1, color2):
        return ColorExtractor._color_distance_lab(self, color1, color2)


@pytest.mark.parametrize("make", [
    lambda: ColorExtractor(4),
    lambda: ColorExtractor(3, "dbscan", False, False),
    lambda: OverridingExtractor(3, "kmeans", True, True),
], ids=["kmeans-lab", "dbscan-rgb", "python-overrides"])
def test_shared_extractor_gives_sequential_results(make):
    extractor = make()
    inputs = [thread_images(i) for i in range(THREADS)]
    # The sequential run happens on a thread of its own too: scikit-learn's
    # k-means sums in an order that depends on the OpenMP thread count, and
    # OpenMP settings made on the main thread (threadpool limits) do not
    # reach other threads.
    expected = []
    sequential = threading.Thread(target=lambda: expected.extend(run_all(extractor, *x) for x in inputs))
    sequential.start()
    sequential.join(120)
    assert len(expected) == THREADS and all(e[0] for e in expected)

    results = [None] * THREADS
    errors = []
    barrier = threading.Barrier(THREADS)

    def work(i):
        try:
            barrier.wait()
            # Each thread repeats its calls; every round must match.
            results[i] = [run_all(extractor, *inputs[i]) for _ in range(2)]
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append((i, exc))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
    finally:
        sys.setswitchinterval(interval)
    assert not errors, errors
    assert not any(t.is_alive() for t in threads)
    for i in range(THREADS):
        for rounds in results[i]:
            assert rounds == expected[i], f"thread {i} differs from the sequential run"
    # The inputs are untouched.
    for i in range(THREADS):
        image, mask = thread_images(i)
        assert np.array_equal(inputs[i][0], image) and np.array_equal(inputs[i][1], mask)
