"""Image builders shared by the tests (import as `from helpers import ...`)."""

import json
import warnings

import cv2
import numpy as np
from sklearn.cluster import KMeans
from threadpoolctl import threadpool_limits

from chromalens import read_image


def blocks_image(colors, block=8, rows=1):
    """A BGR uint8 image made of solid blocks, one per colour (given as BGR)."""
    colors = np.asarray(colors, dtype=np.uint8)
    strip = np.repeat(colors[None, :, :], block, axis=0)
    strip = np.repeat(strip, block, axis=1)
    return np.ascontiguousarray(np.tile(strip, (rows, 1, 1)))


# --- plain readings of the pipeline and the clustering steps ------------------------------

def ref_preprocess(image, preprocessing=True):
    if not preprocessing:
        return image
    lab = cv2.cvtColor(image, cv2.COLOR_BGR2LAB)
    clahe = cv2.createCLAHE(clipLimit=3.0, tileGridSize=(8, 8))
    lab[:, :, 0] = clahe.apply(lab[:, :, 0])
    bgr = cv2.cvtColor(lab, cv2.COLOR_LAB2BGR)
    return cv2.bilateralFilter(bgr, 9, 75, 75)


def ref_feature(image, lab_space=True):
    return cv2.cvtColor(image, cv2.COLOR_BGR2LAB if lab_space else cv2.COLOR_BGR2RGB)


def ref_apply_mask(image, mask):
    if mask is None:
        return image
    if mask.ndim == 3:
        mask = cv2.cvtColor(mask, cv2.COLOR_BGR2GRAY)
    mask = ((mask > 128) * 255).astype(np.uint8)
    return cv2.bitwise_and(image, image, mask=mask)


def ref_extract_pixels(image, mask=None):
    if mask is not None:
        masked = ref_apply_mask(image, mask)
        selection = mask > 128
        if len(mask.shape) == 3:
            selection = cv2.cvtColor(mask.astype(np.uint8), cv2.COLOR_BGR2GRAY) > 128
        pixels = masked[selection]
    else:
        pixels = image.reshape(-1, 3)
    return pixels[~np.all(pixels == 0, axis=1)]


def ref_kmeans(pixels, n_colors):
    if len(pixels) < n_colors:
        unique_colors = np.unique(pixels.reshape(-1, 3), axis=0)
        return unique_colors, np.arange(len(unique_colors))
    kmeans = KMeans(n_clusters=n_colors, random_state=42, n_init=10)
    labels = kmeans.fit_predict(pixels)
    return kmeans.cluster_centers_, labels


def ref_percentages(labels):
    unique_labels, counts = np.unique(labels, return_counts=True)
    kept = counts[unique_labels != -1]
    return (kept / np.sum(kept) * 100).tolist()


def outcome(call):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return True, call()
    except Exception as exc:  # noqa: BLE001 - the outcome is what is compared
        return False, (type(exc), str(exc))


class Recorder:
    """Wraps a module and records each call made through it."""

    def __init__(self, target):
        self._target = target
        self.calls = []

    def __getattr__(self, name):
        value = getattr(self._target, name)
        if not callable(value) or isinstance(value, type):
            return value

        def record(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return value(*args, **kwargs)
        return record

    def names(self):
        return [c[0] for c in self.calls]


# --- plain readings of the similarity and match records ---------------------------------

def ref_similarity_record(closest, distance, threshold):
    """One similarity record from the nearest dominant colour and its distance."""
    if distance <= threshold:
        similarity = max(0, (threshold - distance) / threshold * 100)
        percentage = closest["percentage"] * (similarity / 100)
    else:
        similarity = percentage = 0
    return {
        "percentage": round(percentage, 2),
        "similarity": round(similarity, 2),
        "closest_color": closest["color"],
        "distance": round(distance, 2),
        "found_directly": distance < 10.0,
    }


def ref_match_record(distances, pixels_rgb):
    """One match record from every pixel's distance to the target (a float64 array)."""
    total = len(pixels_rgb)
    very_close, close, somewhat_close = np.sum(distances < 15), np.sum(distances < 30), np.sum(distances < 50)
    closest_idx = np.argmin(distances)
    min_distance = distances[closest_idx]
    return {
        "total_percentage": round(somewhat_close / total * 100, 2),
        "close_percentage": round(close / total * 100, 2),
        "very_close_percentage": round(very_close / total * 100, 2),
        "closest_pixel": tuple(int(c) for c in pixels_rgb[closest_idx]),
        "min_distance": round(min_distance, 2),
        "similarity_score": round(max(0, (50 - min_distance) / 50 * 100), 2),
    }


# --- catalogues -----------------------------------------------------------------------------

GOOD_IMAGES = ["blocks.png", "cutout.png", "gradient.png", "noise.jpg", "sub/deep.png"]
# Files that are no image (or a broken one), and what their error record says.
BAD_FILES = {"empty.png": "Could not load image", "notes.png": "Could not load image", "truncated.png": ""}


def write_catalogue(root):
    """Under `root`: GOOD_IMAGES (a transparent cut-out, one in sub/), BAD_FILES, and a text file."""
    rng = np.random.default_rng(20261208)
    (root / "sub").mkdir()
    cv2.imwrite(str(root / "blocks.png"), blocks_image([[30, 30, 220], [230, 160, 90], [20, 140, 20], [240, 240, 240]],
                                                       block=6, rows=2))
    ramp = np.linspace(0, 255, 40, dtype=np.uint8)
    gradient = np.stack([np.tile(ramp, (24, 1)), np.tile(ramp[::-1], (24, 1)), np.full((24, 40), 128, np.uint8)], -1)
    cv2.imwrite(str(root / "gradient.png"), gradient)
    cv2.imwrite(str(root / "noise.jpg"), rng.integers(0, 256, (20, 28, 3)).astype(np.uint8))
    cv2.imwrite(str(root / "sub" / "deep.png"), blocks_image([[200, 10, 10], [10, 10, 200]], block=5))
    # A cut-out: a magenta background made fully transparent around an opaque two-colour patch.
    cutout = np.zeros((24, 24, 4), np.uint8)
    cutout[:, :] = (255, 0, 255, 0)
    cutout[6:18, 6:12] = (20, 140, 20, 255)
    cutout[6:18, 12:18] = (230, 160, 90, 255)
    cv2.imwrite(str(root / "cutout.png"), cutout)
    (root / "empty.png").write_bytes(b"")
    (root / "notes.png").write_text("not an image at all\n")
    encoded = cv2.imencode(".png", gradient)[1].tobytes()
    (root / "truncated.png").write_bytes(encoded[: len(encoded) // 2])
    (root / "readme.txt").write_text("skipped: not an image extension\n")
    return root


def expected_record(path, extractor, targets=None, detailed=False, threshold=50.0, max_side=None, use_alpha=True):
    """What the single-image methods give for `path`, in the record's JSON form.

    With one native thread, as on the test cluster's workers: scikit-learn's
    k-means adds up per-thread partial sums, so its last bits depend on the
    thread count.
    """
    image, mask = read_image(path, use_alpha=use_alpha, max_side=max_side)
    targets = targets and {name: tuple(rgb) for name, rgb in targets.items()}
    with threadpool_limits(1), warnings.catch_warnings():
        warnings.simplefilter("ignore")  # k-means finding fewer distinct colours than asked
        colors = extractor.extract_colors(image, mask)
        record = {"colors": [{"color": list(c["color"]), "percentage": c["percentage"],
                              "hex": "#%02x%02x%02x" % tuple(c["color"])} for c in colors]}
        if targets and detailed:
            record["matches"] = extractor.find_color_matches(image, targets, mask)
        elif targets:
            record["similarity"] = extractor.analyze_color_similarity(image, targets, mask, threshold)
    return json.loads(json.dumps(record, default=lambda v: v.tolist() if hasattr(v, "tolist") else v.item()))
