"""find_color_matches: native pass against the per-pixel reading and the pipeline.

Run by hand:  python benchmarks/bench_matching.py

For the sample photograph and a synthetic 4-megapixel photo-like image, with
three target colours, it prints
  - find_color_matches, best of a few runs;
  - the pipeline alone (preprocess + feature space + pixel list), best of a few runs;
  - the matching alone (the call with the pipeline's results precomputed);
  - the per-pixel reading (one-pixel conversions for every pixel and target,
    written here in Python), timed on a crop and scaled per pixel;
and the ratios: how many times faster than the per-pixel reading (whole
call, and matching against matching), and what the matching costs next to
the pipeline.  Every figure is the best of a few runs: on a shared machine
the minimum is the least disturbed.
"""

import argparse
import sys
import time
from pathlib import Path

import cv2
import numpy as np

from chromalens.color_extractor_cy import ColorExtractor
from chromalens.samples import sample_image_path

# The per-pixel reading is the one the tests compare the module against.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from plain_readings import ref_pixel_matches  # noqa: E402

TARGETS = {"red": (200, 30, 40), "skin": (220, 170, 140), "navy": (20, 30, 80)}


def best_of(runs, call):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def pipeline(extractor, image):
    processed = extractor._preprocess_image(image)
    feature = extractor._convert_to_feature_space(processed)
    return extractor._extract_pixels(feature, None)


def patched_photo(height, width, seed=7):
    """Smooth colour fields with edges and sensor-like noise."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    image = np.empty((height, width, 3), np.float32)
    for c in range(3):
        fx, fy, phase = rng.uniform(1, 6, 3)
        image[:, :, c] = 128 + 90 * np.sin(fx * x / width * np.pi + phase) * np.cos(fy * y / height * np.pi)
    for _ in range(40):  # flat patches with hard edges
        y0, x0 = rng.integers(0, height - 50), rng.integers(0, width - 50)
        h, w = rng.integers(20, height // 4), rng.integers(20, width // 4)
        image[y0:y0 + h, x0:x0 + w] = rng.uniform(0, 255, 3)
    image += rng.normal(0, 6, image.shape)
    return np.clip(image, 0, 255).astype(np.uint8)


def matching_only(feature_image, pixels):
    """An extractor whose pipeline steps hand back precomputed results, so a
    call times the matching alone (the native pass stays in use: only an
    override of _color_distance_lab turns it off)."""

    class Precomputed(ColorExtractor):
        def _preprocess_image(self, image):
            return image

        def _convert_to_feature_space(self, image):
            return feature_image

        def _extract_pixels(self, image, mask=None):
            return pixels

    return Precomputed


def measure(label, image, lab_space, runs, crop_side):
    extractor = ColorExtractor(lab_space=lab_space)
    full = best_of(runs, lambda: extractor.find_color_matches(image, TARGETS))
    pipe = best_of(runs, lambda: pipeline(extractor, image))
    feature = extractor._convert_to_feature_space(extractor._preprocess_image(image))
    pixels = extractor._extract_pixels(feature, None)
    n = len(pixels)
    precomputed = matching_only(feature, pixels)(lab_space=lab_space)
    match = best_of(runs, lambda: precomputed.find_color_matches(image, TARGETS))

    crop = np.ascontiguousarray(image[:crop_side, :crop_side])
    crop_pixels = pipeline(extractor, crop)
    expected = {}
    literal_per_pixel = best_of(2, lambda: expected.update(ref_pixel_matches(crop_pixels, lab_space, TARGETS)))
    literal_per_pixel /= len(crop_pixels)
    literal_matching_total = literal_per_pixel * n
    # The crop measured by the module, as a check on the reading.
    assert extractor.find_color_matches(crop, TARGETS) == expected, "per-pixel reading disagrees"

    print(f"{label} ({image.shape[1]}x{image.shape[0]}, {n} pixels, {'LAB' if lab_space else 'RGB'}, "
          f"{len(TARGETS)} targets):")
    print(f"  find_color_matches {full * 1e3:8.1f} ms | pipeline alone {pipe * 1e3:8.1f} ms | "
          f"matching alone {match * 1e3:7.1f} ms | per-pixel matching ~{literal_matching_total:7.1f} s "
          f"({literal_per_pixel * 1e6:.1f} us/pixel)")
    print(f"  per-pixel reading (pipeline + per-pixel matching) / find_color_matches: "
          f"{(pipe + literal_matching_total) / full:8.0f}x")
    print(f"  per-pixel matching / matching alone:                                   "
          f"{literal_matching_total / match:8.0f}x")
    print(f"  matching alone / pipeline alone:                                       {match / pipe:8.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--crop", type=int, default=48, help="side of the crop timed per pixel")
    args = parser.parse_args()
    sample = cv2.imread(sample_image_path())
    synthetic = patched_photo(2000, 2000)
    for lab_space in (True, False):
        measure("sample photo", sample, lab_space, args.runs, args.crop)
        measure("synthetic photo", synthetic, lab_space, args.runs, args.crop)


if __name__ == "__main__":
    main()
