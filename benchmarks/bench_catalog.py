"""Throughput of catalogue runs against a plain loop, and the client's memory.

Run by hand:  python benchmarks/bench_catalog.py [--images N] [--small N]

Photo-like images (crops of scikit-learn's and Matplotlib's sample photos,
longer sides 160 to 400 pixels) are written to a temporary folder.  Within
this one run, for k-means, DBSCAN, detailed matching and similarity:

* a plain sequential loop: ``ColorExtractor(...).extract_colors`` per file
  (and ``find_color_matches`` for matching, ``analyze_color_similarity`` for
  similarity, as catalogues did before they took it from the one extraction),
  with the libraries' default thread pools, and the same loop held to one
  native thread;
* ``chromalens.catalog.analyze`` on a local cluster of 1 and of 2 worker
  processes (started beforehand: start-up is reported on its own).

Prints images per second and the ratios catalogue / loop, and k-means with
the native fit against the same analysis with scikit-learn's own fit.  Aim:
2 workers at least 1.5x the loop for DBSCAN and matching, and not slower for
k-means.
Then 10,000 small images through a 2-worker run: the client process's
resident memory (which holds the scheduler of a local cluster too) after
the start, after 1,000 records and at the end, and its peak.
"""

import argparse
import os
import tempfile
import threading
import time

import cv2
import numpy as np
import psutil
from matplotlib import cbook
from sklearn.datasets import load_sample_images

from chromalens import ColorExtractor
from chromalens import catalog
from chromalens.catalog.cluster import _start_local_cluster


class LibraryKMeans(ColorExtractor):
    """k-means through scikit-learn's own fit on every pixel, as it ran before the fit was native."""

    def _cluster_colors_kmeans(self, pixels):
        from sklearn.cluster import KMeans

        n_colors = self.__reduce__()[2][2]  # the settings are in the pickled state only
        if len(pixels) < n_colors:
            return super()._cluster_colors_kmeans(pixels)
        kmeans = KMeans(n_clusters=n_colors, random_state=42, n_init=10)
        labels = kmeans.fit_predict(pixels)
        return kmeans.cluster_centers_, labels


TARGETS = {"red": (200, 30, 30), "sky": (110, 160, 220), "leaf": (60, 120, 40)}
MODES = {
    "k-means": (ColorExtractor, dict(algorithm="kmeans"), dict()),
    "k-means, library fit": (LibraryKMeans, dict(algorithm="kmeans"), dict()),
    "DBSCAN": (ColorExtractor, dict(algorithm="dbscan"), dict()),
    "matching": (ColorExtractor, dict(algorithm="kmeans"), dict(targets=TARGETS, detailed=True)),
    "similarity": (ColorExtractor, dict(algorithm="kmeans"), dict(targets=TARGETS)),
}


def photos():
    """BGR photographs: scikit-learn's two samples and Matplotlib's portrait."""
    images = [cv2.cvtColor(image, cv2.COLOR_RGB2BGR) for image in load_sample_images().images]
    images.append(cv2.imread(cbook.get_sample_data("grace_hopper.jpg", asfileobj=False)))
    return images


def write_images(folder, count, rng):
    sides = (160, 240, 320, 400)
    sources = photos()
    paths = []
    for number in range(count):
        photo = sources[number % len(sources)]
        height, width = photo.shape[:2]
        # A random crop of two thirds of the photo, scaled to one of the sizes.
        crop_h, crop_w = 2 * height // 3, 2 * width // 3
        top, left = rng.integers(0, height - crop_h), rng.integers(0, width - crop_w)
        crop = photo[top:top + crop_h, left:left + crop_w]
        side = sides[number % len(sides)]
        scale = side / max(crop.shape[:2])
        resized = cv2.resize(crop, (round(crop.shape[1] * scale), round(crop.shape[0] * scale)),
                             interpolation=cv2.INTER_AREA)
        paths.append(os.path.join(folder, f"photo{number:03d}.jpg"))
        cv2.imwrite(paths[-1], resized, [cv2.IMWRITE_JPEG_QUALITY, 92])
    return paths


def plain_loop(paths, kind, settings, options):
    extractor = kind(**settings)
    started = time.perf_counter()
    for path in paths:
        image = cv2.imread(path)
        extractor.extract_colors(image)
        if options.get("detailed"):
            extractor.find_color_matches(image, options["targets"])
        elif options.get("targets"):
            extractor.analyze_color_similarity(image, options["targets"])
    return time.perf_counter() - started


def catalogue_run(paths, kind, settings, options, client):
    started = time.perf_counter()
    records = list(catalog.analyze(paths, kind(**settings), client=client, **options))
    elapsed = time.perf_counter() - started
    failed = [r for r in records if r["error"]]
    assert len(records) == len(paths) and not failed, failed[:1]
    return elapsed


def throughput(paths):
    from distributed import Client

    from threadpoolctl import threadpool_limits

    rates = {mode: {} for mode in MODES}
    for mode, (kind, settings, options) in MODES.items():
        rates[mode]["loop"] = len(paths) / plain_loop(paths, kind, settings, options)
        print(f"{mode:20s} plain loop  {rates[mode]['loop']:6.2f} images/s", flush=True)
        # The same loop with one native thread: on a busy machine the libraries'
        # thread pools can cost more than they bring.
        with threadpool_limits(1):
            rates[mode]["loop1"] = len(paths) / plain_loop(paths, kind, settings, options)
        print(f"{mode:20s} loop, 1 thread {rates[mode]['loop1']:6.2f} images/s", flush=True)
    for workers in (1, 2):
        started = time.perf_counter()
        cluster = _start_local_cluster(workers)
        try:
            with Client(cluster, set_as_default=False) as client:
                client.wait_for_workers(workers)
                print(f"local cluster of {workers}: up in {time.perf_counter() - started:.1f} s", flush=True)
                for mode, (kind, settings, options) in MODES.items():
                    rate = len(paths) / catalogue_run(paths, kind, settings, options, client)
                    rates[mode][workers] = rate
                    print(f"{mode:20s} {workers} worker{'s' if workers > 1 else ' '}   {rate:6.2f} images/s", flush=True)
        finally:
            cluster.close()
    print(f"\nnative / library k-means fit: loop {rates['k-means']['loop'] / rates['k-means, library fit']['loop']:.1f}x, "
          f"2 workers {rates['k-means'][2] / rates['k-means, library fit'][2]:.1f}x")
    print("\nimages/s              loop  loop 1-thread  1 worker  2 workers  2w/loop  2w/loop 1-thread  1w/loop")
    for mode, rate in rates.items():
        print(f"{mode:20s} {rate['loop']:5.2f}  {rate['loop1']:13.2f}  {rate[1]:8.2f}  {rate[2]:9.2f}  "
              f"{rate[2] / rate['loop']:7.2f}  {rate[2] / rate['loop1']:16.2f}  {rate[1] / rate['loop']:7.2f}")


class PeakMemory(threading.Thread):
    """Samples this process's resident memory every 20 ms."""

    def __init__(self):
        super().__init__(daemon=True)
        self.process = psutil.Process()
        self.peak = 0
        self.running = True

    def rss(self):
        value = self.process.memory_info().rss
        self.peak = max(self.peak, value)
        return value

    def run(self):
        while self.running:
            self.rss()
            time.sleep(0.02)


def client_memory(folder, count):
    rng = np.random.default_rng(11)
    paths = []
    for number in range(count):
        paths.append(os.path.join(folder, f"small{number:05d}.png"))
        cv2.imwrite(paths[-1], rng.integers(0, 256, (8, 8, 3)).astype(np.uint8))
    sampler = PeakMemory()
    mib = 1024 * 1024
    records = catalog.analyze(iter(paths), ColorExtractor(algorithm="dbscan", preprocessing=False), workers=2)
    started = time.perf_counter()
    first = next(records)
    sampler.start()
    at_start = sampler.rss()
    done, at_thousand = 1, 0
    for record in records:
        done += 1
        if done == 1000:
            at_thousand = sampler.rss()
    at_end = sampler.rss()
    sampler.running = False
    assert done == count and first is not None
    print(f"\n{count} small images, 2 workers, {count / (time.perf_counter() - started):.0f} images/s: client RSS "
          f"{at_start / mib:.1f} MiB after the start, {at_thousand / mib:.1f} MiB after 1,000, "
          f"{at_end / mib:.1f} MiB at the end; peak {sampler.peak / mib:.1f} MiB")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--images", type=int, default=36, help="photos for the throughput runs (default 36)")
    parser.add_argument("--small", type=int, default=10000, help="small images for the memory run (default 10000)")
    args = parser.parse_args()
    print(f"{os.cpu_count()} cores; OPENBLAS_CORETYPE={os.environ.get('OPENBLAS_CORETYPE', '-')}")
    with tempfile.TemporaryDirectory() as folder:
        paths = write_images(folder, args.images, np.random.default_rng(3))
        print(f"{len(paths)} photos, longer sides 160 to 400 pixels\n")
        throughput(paths)
        if args.small:
            client_memory(folder, args.small)


if __name__ == "__main__":
    main()
