"""The module's own work next to the library calls it must make, before and after.

Run by hand (takes several minutes):

    python benchmarks/bench_floor.py [--before /path/to/other/venv/bin/python] [--runs N]

Every measurement runs in a fresh process of the given interpreter, so two
builds of the module (say the current one and an older one installed in
another environment) are measured in one run, job by job in turn, under the
same machine conditions.  Measured, each as the best of a few runs:

* find_color_matches with the default settings and three targets, against
  the mandatory library work (preprocessing and the conversion to LAB, made
  directly with OpenCV), on the sample photo and a 12-megapixel photo-like
  image;
* find_color_matches without preprocessing on the sample photo, against the
  literal reading that makes one call per pixel (timed on a crop after a
  warm-up and scaled per pixel);
* extract_colors with DBSCAN on the 12-megapixel image, against the
  mandatory library work plus StandardScaler on the same pixel list;
* the peak memory of that DBSCAN extraction in a fresh process (image
  loaded from disk), and of the mandatory work plus StandardScaler alone.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))

SETUP = textwrap.dedent(
    """
    import gc, json, os, resource, sys, time
    import cv2, numpy as np
    sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
    from plain_readings import ref_pixel_matches as literal_matching
    from chromalens.color_extractor_cy import ColorExtractor
    from chromalens.samples import sample_image_path

    TARGETS = {"red": (200, 30, 40), "skin": (220, 170, 140), "navy": (20, 30, 80)}

    def peak_mb():
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0

    def mandatory(image, preprocessing=True):
        if preprocessing:
            lab = cv2.cvtColor(image, cv2.COLOR_BGR2LAB)
            clahe = cv2.createCLAHE(clipLimit=3.0, tileGridSize=(8, 8))
            lab[:, :, 0] = clahe.apply(lab[:, :, 0])
            image = cv2.bilateralFilter(cv2.cvtColor(lab, cv2.COLOR_LAB2BGR), 9, 75, 75)
        return cv2.cvtColor(image, cv2.COLOR_BGR2LAB)

    def best_interleaved(calls, runs):
        best = [float("inf")] * len(calls)
        for r in range(runs):
            order = range(len(calls)) if r % 2 == 0 else reversed(range(len(calls)))
            for i in order:
                gc.collect()
                start = time.perf_counter()
                calls[i]()
                best[i] = min(best[i], time.perf_counter() - start)
        return best

    def load(name):
        return cv2.imread(sample_image_path()) if name == "sample" else np.load(name)
    """
)

JOBS = {
    "matches": """
        image = load(IMAGE)
        e = ColorExtractor()
        e.find_color_matches(image, TARGETS)
        floor, call = best_interleaved([lambda: mandatory(image), lambda: e.find_color_matches(image, TARGETS)], RUNS)
        out = {"floor": floor, "call": call}
    """,
    "no_preprocessing": """
        image = load(IMAGE)
        e = ColorExtractor(preprocessing=False)
        e.find_color_matches(image, TARGETS)
        n = len(e._extract_pixels(e._convert_to_feature_space(image)))
        floor, call = best_interleaved(
            [lambda: mandatory(image, False), lambda: e.find_color_matches(image, TARGETS)], RUNS)
        crop = np.ascontiguousarray(image[:48, :48])
        crop_pixels = e._extract_pixels(e._convert_to_feature_space(crop))
        literal_matching(crop_pixels, True, TARGETS)  # warm-up
        (literal,) = best_interleaved([lambda: literal_matching(crop_pixels, True, TARGETS)], 2)
        out = {"floor": floor, "call": call, "pixels": n, "literal_per_pixel": literal / len(crop_pixels)}
    """,
    "dbscan": """
        from sklearn.preprocessing import StandardScaler
        image = load(IMAGE)
        e = ColorExtractor(algorithm="dbscan")

        # The pixel list the scaler gets is made beforehand: extracting it
        # is not library work the definition requires.
        pixels = e._extract_pixels(mandatory(image))

        def floor_work():
            mandatory(image)
            gc.collect()
            StandardScaler().fit_transform(pixels)

        floor, call = best_interleaved([floor_work, lambda: e.extract_colors(image)], RUNS)
        out = {"floor": floor, "call": call}
    """,
    "dbscan_peak": """
        image = load(IMAGE)
        base = peak_mb()
        ColorExtractor(algorithm="dbscan").extract_colors(image)
        out = {"peak_mb": peak_mb(), "base_mb": base}
    """,
    "floor_peak": """
        from sklearn.preprocessing import StandardScaler
        image = load(IMAGE)
        base = peak_mb()
        feature = mandatory(image)
        pixels = feature.reshape(-1, 3)
        pixels = pixels[~np.all(pixels == 0, axis=1)]
        del feature
        StandardScaler().fit_transform(pixels)
        out = {"peak_mb": peak_mb(), "base_mb": base}
    """,
}


def run(python, job, image, runs):
    code = (f"HERE = {HERE!r}\nIMAGE = {image!r}\nRUNS = {runs}\n" + SETUP + textwrap.dedent(JOBS[job])
            + "\nprint(json.dumps(out))\n")
    proc = subprocess.run([python, "-c", code], capture_output=True, text=True, cwd=tempfile.gettempdir())
    if proc.returncode != 0:
        return {"error": proc.stderr.strip().splitlines()[-1] if proc.stderr else f"exit {proc.returncode}"}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", help="interpreter of an environment with the build to compare against")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--jobs", nargs="*", choices=sorted(JOBS), help="measure only these jobs")
    args = parser.parse_args()
    builds = {"after": sys.executable}
    if args.before:
        builds = {"before": args.before, "after": sys.executable}

    with tempfile.TemporaryDirectory() as tmp:
        # Made in a process of its own: a measuring process started from a
        # large parent would inherit the parent's peak memory.
        big = os.path.join(tmp, "photo_12mp.npy")
        subprocess.run([sys.executable, "-c", f"import sys, numpy; sys.path.insert(0, {HERE!r}); "
                        f"from images import photo_like; numpy.save({big!r}, photo_like(3000, 4000))"],
                       check=True)
        plan = [
            ("matches", "sample", args.runs),
            ("matches", big, 3),
            ("no_preprocessing", "sample", args.runs),
            ("dbscan", big, 2),
            ("dbscan_peak", big, 1),
            ("floor_peak", big, 1),
        ]
        if args.jobs:
            plan = [step for step in plan if step[0] in args.jobs]
        results = {}
        for job, image, runs in plan:
            for build, python in builds.items():
                key = (job, "sample" if image == "sample" else "12 MP")
                results.setdefault(key, {})[build] = run(python, job, image, runs)
                print(job, key[1], build, results[key][build], flush=True)

    print()
    print("| measurement | " + " | ".join(builds) + " |")
    print("|---|" + "---|" * len(builds))

    def row(label, key, fmt):
        if key not in results:
            return
        cells = []
        for build in builds:
            r = results[key][build]
            cells.append("error" if "error" in r else fmt(r))
        print(f"| {label} | " + " | ".join(cells) + " |")

    for image in ("sample", "12 MP"):
        row(f"find_color_matches, defaults, {image}: call / mandatory", ("matches", image),
            lambda r: f"{r['call'] * 1e3:.1f} ms / {r['floor'] * 1e3:.1f} ms = {r['call'] / r['floor']:.2f}x")
    row("find_color_matches, no preprocessing, sample: literal per-pixel reading / call", ("no_preprocessing", "sample"),
        lambda r: f"{r['literal_per_pixel'] * r['pixels']:.1f} s / {r['call'] * 1e3:.2f} ms = "
                  f"{r['literal_per_pixel'] * r['pixels'] / r['call']:,.0f}x")
    row("extract_colors DBSCAN, 12 MP: call / (mandatory + StandardScaler)", ("dbscan", "12 MP"),
        lambda r: f"{r['call']:.2f} s / {r['floor']:.2f} s = {r['call'] / r['floor']:.2f}x")
    row("extract_colors DBSCAN, 12 MP: peak memory (image included)", ("dbscan_peak", "12 MP"),
        lambda r: f"{r['peak_mb']:.0f} MB")
    row("mandatory work + StandardScaler alone: peak memory", ("floor_peak", "12 MP"),
        lambda r: f"{r['peak_mb']:.0f} MB")


if __name__ == "__main__":
    main()
