"""The default analysis, k-means, with and without the native fit.

Run by hand:  python benchmarks/bench_kmeans.py [--side N] [--threads 1 2] [--skip-literal-12mp]

Everything is measured within this one run, on one photograph that ships
with scikit-learn (china.jpg, upscaled to a 12-megapixel phone-photo size
with a little sensor-like noise) and on the bundled sample photo:

* the k-means step on the 12 MP pixel list: ``_cluster_colors_kmeans``
  against ``KMeans(n_clusters=5, random_state=42, n_init=10).fit_predict`` on
  the same pixels, at each thread count (both sides under the same limit),
  and whether the results are identical;
* ``extract_colors`` with the default settings on the 12 MP photo and on the
  sample photo, against the same call with the library's k-means, which
  the module makes when its ``KMeans`` is not the library's own class (here
  a subclass that changes nothing);
* the peak resident memory of ``extract_colors`` on the 12 MP photo, each
  way in a fresh process.

Times are CPU seconds of this process (all threads), so that other work on
the machine weighs less; the wall-clock seconds are printed beside them.
"""

import argparse
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import cv2
import numpy as np
from sklearn.cluster import KMeans
from sklearn.datasets import load_sample_images
from threadpoolctl import threadpool_limits

import chromalens.color_extractor_cy as cy
from chromalens.color_extractor_cy import ColorExtractor
from chromalens.samples import sample_image_path


class LibraryKMeans(KMeans):
    """scikit-learn's KMeans under another name: the module then calls it."""


def phone_photo(width=4032, height=3024, seed=3):
    china = cv2.cvtColor(load_sample_images().images[0], cv2.COLOR_RGB2BGR)
    big = cv2.resize(china, (width, height), interpolation=cv2.INTER_CUBIC).astype(np.float32)
    big += np.random.default_rng(seed).normal(0, 3, big.shape).astype(np.float32)
    return np.clip(big, 0, 255).astype(np.uint8)


def timed(work):
    cpu, wall = time.process_time(), time.perf_counter()
    result = work()
    return result, time.process_time() - cpu, time.perf_counter() - wall


def literal(work):
    """`work` with the module calling the library's k-means itself."""
    native = cy.KMeans
    cy.KMeans = LibraryKMeans
    try:
        return work()
    finally:
        cy.KMeans = native


def library_fit(pixels, n_colors):
    kmeans = KMeans(n_clusters=n_colors, random_state=42, n_init=10)
    labels = kmeans.fit_predict(pixels)
    return kmeans.cluster_centers_, labels


def report(name, native, library):
    print(f"{name}: native {native[1]:.2f} s cpu ({native[2]:.2f} s wall), library {library[1]:.2f} s cpu "
          f"({library[2]:.2f} s wall): {library[1] / native[1]:.1f}x", flush=True)


# The process's own high-water mark (VmHWM, Linux): unlike ru_maxrss it does
# not start from the size of the process that started it.
PEAK = """
import sys, cv2
sys.path.insert(0, {here!r})
from bench_kmeans import literal
from chromalens.color_extractor_cy import ColorExtractor
def peak():
    return next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM:"))
image = cv2.imread({path!r})
before = peak()
work = lambda: ColorExtractor().extract_colors(image)
literal(work) if {literal} else work()
print(before, peak())
"""


def peak_memory_mb(photo, use_literal):
    """Peak resident memory of a fresh process that reads `photo` and extracts its colours,
    and its peak before the extraction (the interpreter, the libraries and the photo)."""
    with tempfile.TemporaryDirectory() as folder:
        path = str(Path(folder) / "photo.png")
        cv2.imwrite(path, photo)
        code = PEAK.format(here=str(Path(__file__).resolve().parent), path=path, literal=use_literal)
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout.split()
    return int(out[0]) / 1024, int(out[1]) / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2], help="thread counts (default: 1 2)")
    parser.add_argument("--n-colors", type=int, default=5)
    parser.add_argument("--parts", nargs="+", choices=("step", "extract", "memory"), default=["step", "extract", "memory"],
                        help="what to measure (default: all)")
    parser.add_argument("--skip-literal-12mp", action="store_true",
                        help="skip extract_colors with the library's k-means on 12 MP (minutes)")
    args = parser.parse_args()

    photo = phone_photo()
    extractor = ColorExtractor(n_colors=args.n_colors)
    pixels = extractor._extract_pixels(extractor._convert_to_feature_space(extractor._preprocess_image(photo)))
    distinct = len(np.unique(pixels.view("V3")))
    print(f"12 MP photo: {photo.shape[1]}x{photo.shape[0]}, {len(pixels):,} pixels, {distinct:,} distinct colours "
          f"after the default preprocessing; n_colors={args.n_colors}", flush=True)

    if "step" in args.parts:
        for threads in args.threads:
            with threadpool_limits(threads):
                native = timed(lambda: extractor._cluster_colors_kmeans(pixels))
                library = timed(lambda: library_fit(pixels, args.n_colors))
            same = np.array_equal(native[0][1], library[0][1]) and native[0][0].tobytes() == library[0][0].tobytes()
            report(f"k-means step, 12 MP, {threads} thread(s), identical: {same}", native, library)

    if "extract" in args.parts:
        with threadpool_limits(args.threads[0]):
            native = timed(lambda: extractor.extract_colors(photo))
            if not args.skip_literal_12mp:
                library = timed(lambda: literal(lambda: extractor.extract_colors(photo)))
                report(f"extract_colors, 12 MP, {args.threads[0]} thread(s), same colours: {native[0] == library[0]}",
                       native, library)
            sample = cv2.imread(sample_image_path())
            default = ColorExtractor()
            native = min((timed(lambda: default.extract_colors(sample)) for _ in range(3)), key=lambda t: t[1])
            library = min((timed(lambda: literal(lambda: default.extract_colors(sample))) for _ in range(3)),
                          key=lambda t: t[1])
            report(f"extract_colors, sample photo, {args.threads[0]} thread(s), same colours: "
                   f"{native[0] == library[0]}", native, library)

    if "memory" in args.parts:
        for use_literal in (False, True):
            start, peak = peak_memory_mb(photo, use_literal)
            print(f"peak memory, extract_colors 12 MP, {'library' if use_literal else 'native'} k-means: "
                  f"{peak:.0f} MB ({peak - start:.0f} MB above the photo read)", flush=True)


if __name__ == "__main__":
    main()
