"""How faithful is a palette to the photo it came from, with and without preprocessing?

For each photograph of scikit-learn's ``load_sample_images`` (china.jpg and
flower.jpg, 640 x 427, shipped with scikit-learn) and each setting, the
dominant colours are extracted, then every pixel of the ORIGINAL photo is
given to its nearest palette colour (LAB distance, OpenCV's 8-bit encoding,
the units of every threshold in chromalens). Printed per row:

- mean distance: mean LAB distance from each pixel to its nearest palette colour
  (how well the palette describes the photo; lower is better);
- share error: half the sum over palette colours of |reported share - share of
  pixels nearest to it|, in percentage points (the share of the photo the
  reported shares misplace; 0 is exact);
- seconds: wall time of ``extract_colors``.

Also prints what preprocessing makes of two flat colours. Run from the
repository root after installing: ``python benchmarks/bench_palette_fidelity.py``.
"""

import argparse
import os
import time
import warnings

import cv2
import numpy as np
from sklearn.datasets import load_sample_images

from chromalens import ColorExtractor


def lab_of_rgb(colors):
    rgb = np.asarray(colors, np.uint8).reshape(1, -1, 3)
    return cv2.cvtColor(rgb, cv2.COLOR_RGB2LAB).reshape(-1, 3).astype(np.float64)


def fidelity(bgr, colors):
    pixels = cv2.cvtColor(bgr, cv2.COLOR_BGR2LAB).reshape(-1, 3).astype(np.float64)
    palette = lab_of_rgb([c["color"] for c in colors])
    distances = np.sqrt(((pixels[:, None, :] - palette[None, :, :]) ** 2).sum(axis=2))
    nearest = distances.argmin(axis=1)
    mean_distance = distances[np.arange(len(pixels)), nearest].mean()
    actual = np.bincount(nearest, minlength=len(colors)) / len(pixels) * 100
    reported = np.array([c["percentage"] for c in colors])
    return mean_distance, np.abs(reported - actual).sum() / 2


def downscale(bgr, max_side):
    scale = max_side / max(bgr.shape[:2])
    size = (round(bgr.shape[1] * scale), round(bgr.shape[0] * scale))
    return cv2.resize(bgr, size, interpolation=cv2.INTER_AREA)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--colors", type=int, default=5, help="n_colors (default 5)")
    parser.add_argument("--max-side", type=int, default=640, help="size of the downscaled run (default 640)")
    options = parser.parse_args()
    warnings.simplefilter("ignore")

    settings = [
        ("kmeans, preprocessing", dict(preprocessing=True), None),
        ("kmeans, no preprocessing", dict(preprocessing=False), None),
        ("dbscan, preprocessing", dict(algorithm="dbscan", preprocessing=True), None),
        ("dbscan, no preprocessing", dict(algorithm="dbscan", preprocessing=False), None),
    ]
    data = load_sample_images()
    print(f"n_colors={options.colors}; distances in OpenCV 8-bit LAB units; shares in percentage points")
    print(f"{'image':<11} {'setting':<38} {'colours':>7} {'mean distance':>13} {'share error':>11} {'seconds':>8}")
    for path, rgb in zip(data.filenames, data.images):
        bgr = cv2.cvtColor(rgb, cv2.COLOR_RGB2BGR)
        for label, kwargs, max_side in settings:
            analysed = bgr if max_side is None else downscale(bgr, max_side)
            start = time.perf_counter()
            colors = ColorExtractor(n_colors=options.colors, **kwargs).extract_colors(analysed)
            seconds = time.perf_counter() - start
            mean_distance, share_error = fidelity(bgr, colors)
            print(f"{os.path.basename(path):<11} {label:<38} {len(colors):>7} {mean_distance:>13.2f} "
                  f"{share_error:>11.2f} {seconds:>8.2f}")

    # A camera-sized photo: china.jpg enlarged 4x (4.4 megapixels), whole and downscaled.
    large = cv2.resize(cv2.cvtColor(data.images[0], cv2.COLOR_RGB2BGR), (2560, 1708), interpolation=cv2.INTER_CUBIC)
    for label, max_side in [("kmeans, whole", None), (f"kmeans, max side {options.max_side}", options.max_side)]:
        analysed = large if max_side is None else downscale(large, max_side)
        start = time.perf_counter()
        colors = ColorExtractor(n_colors=options.colors).extract_colors(analysed)
        seconds = time.perf_counter() - start
        mean_distance, share_error = fidelity(large, colors)
        print(f"{'china x4':<11} {label:<38} {len(colors):>7} {mean_distance:>13.2f} "
              f"{share_error:>11.2f} {seconds:>8.2f}")

    print("\nflat colours, n_colors=1 (preprocessing evens lighting per 8 x 8 tile of the image):")
    for side in (16, 256):
        for rgb in [(200, 200, 200), (220, 32, 31)]:
            flat = np.full((side, side, 3), rgb[::-1], np.uint8)
            on = ColorExtractor(n_colors=1).extract_colors(flat)[0]["color"]
            off = ColorExtractor(n_colors=1, preprocessing=False).extract_colors(flat)[0]["color"]
            print(f"  {side} x {side} {rgb}: preprocessing -> {on}, no preprocessing -> {off}")


if __name__ == "__main__":
    main()
