"""Density clustering on whole photographs, run by hand:

    python benchmarks/bench_dbscan.py [--skip-large]

Each measurement runs in a fresh process so that its peak memory (ru_maxrss)
is its own.  Compared, in one run:

* the module's DBSCAN extraction on the 512x600 sample photo (native search
  on distinct rows) against the library's own weighted search on the same
  distinct rows (what scikit-learn can do at best on this input);
* the literal library call on every pixel, on a crop small enough for it,
  against the module on the same crop;
* the module on a synthetic 12-megapixel photo-like image, where the
  library's search cannot finish.
"""

import argparse
import json
import os
import subprocess
import sys
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))

SETUP = f"import sys; sys.path.insert(0, {HERE!r})\n" + textwrap.dedent(
    """
    import json, resource, time
    import numpy as np, cv2
    from chromalens.color_extractor_cy import ColorExtractor
    from chromalens.samples import sample_image_path
    from images import photo_like

    def peak_mb():
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0

    def pipeline_pixels(e, image):
        return e._extract_pixels(e._convert_to_feature_space(e._preprocess_image(image)))
    """
)

JOBS = {
    "module_sample": """
        e = ColorExtractor(algorithm="dbscan")
        image = cv2.imread(sample_image_path())
        base = peak_mb()
        t = time.perf_counter(); result = e.extract_colors(image); dt = time.perf_counter() - t
        out = {"seconds": dt, "peak_mb": peak_mb(), "base_mb": base, "colors": len(result)}
    """,
    "library_sample": """
        from sklearn.cluster import DBSCAN
        from sklearn.preprocessing import StandardScaler
        e = ColorExtractor(algorithm="dbscan")
        pixels = pipeline_pixels(e, cv2.imread(sample_image_path()))
        base = peak_mb()
        t = time.perf_counter()
        scaled = StandardScaler().fit_transform(pixels)
        rows, inverse, counts = np.unique(scaled, axis=0, return_inverse=True, return_counts=True)
        labels = DBSCAN(eps=0.5, min_samples=max(50, len(pixels) // 100)).fit_predict(rows, sample_weight=counts)
        dt = time.perf_counter() - t
        out = {"seconds": dt, "peak_mb": peak_mb(), "base_mb": base, "distinct_rows": len(rows)}
    """,
    "literal_crop": """
        from sklearn.cluster import DBSCAN
        from sklearn.preprocessing import StandardScaler
        e = ColorExtractor(algorithm="dbscan")
        pixels = pipeline_pixels(e, cv2.imread(sample_image_path())[100:260, 100:300])
        base = peak_mb()
        t = time.perf_counter()
        scaled = StandardScaler().fit_transform(pixels)
        literal = DBSCAN(eps=0.5, min_samples=max(50, len(pixels) // 100)).fit_predict(scaled)
        dt = time.perf_counter() - t
        t = time.perf_counter(); _, ours = e._cluster_colors_dbscan(pixels); dt_ours = time.perf_counter() - t
        out = {"seconds": dt, "module_seconds": dt_ours, "peak_mb": peak_mb(), "base_mb": base,
               "pixels": len(pixels), "equal": bool(np.array_equal(literal, ours))}
    """,
    "module_12mp": """
        e = ColorExtractor(algorithm="dbscan")
        image = photo_like(3000, 4000)
        base = peak_mb()
        t = time.perf_counter(); result = e.extract_colors(image); dt = time.perf_counter() - t
        out = {"seconds": dt, "peak_mb": peak_mb(), "base_mb": base, "colors": len(result)}
    """,
}


def run(job):
    code = SETUP + textwrap.dedent(JOBS[job]) + "\nprint(json.dumps(out))\n"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if proc.returncode != 0:
        return {"error": proc.stderr.strip().splitlines()[-1] if proc.stderr else f"exit {proc.returncode}"}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--skip-large", action="store_true", help="skip the 12-megapixel image")
    args = parser.parse_args()
    results = {job: run(job) for job in JOBS if not (args.skip_large and job == "module_12mp")}
    for job, r in results.items():
        print(f"{job:16s} {r}")
    ours, lib = results["module_sample"], results["library_sample"]
    if "error" not in ours and "error" not in lib:
        print(f"sample photo: native path {lib['seconds'] / ours['seconds']:.1f}x faster than the library's "
              f"weighted search; peak {ours['peak_mb']:.0f} MB vs {lib['peak_mb']:.0f} MB "
              f"({lib['peak_mb'] / ours['peak_mb']:.1f}x); above start-up: "
              f"{ours['peak_mb'] - ours['base_mb']:.0f} MB vs {lib['peak_mb'] - lib['base_mb']:.0f} MB")
    crop = results["literal_crop"]
    if "error" not in crop:
        print(f"crop of {crop['pixels']} pixels: literal call {crop['seconds']:.2f} s, module "
              f"{crop['module_seconds']:.3f} s ({crop['seconds'] / crop['module_seconds']:.0f}x), "
              f"labels equal: {crop['equal']}")
    if "module_12mp" in results and "error" not in results["module_12mp"]:
        big = results["module_12mp"]
        print(f"12 MP photo-like image: {big['seconds']:.1f} s, peak {big['peak_mb']:.0f} MB")


if __name__ == "__main__":
    main()
