"""Native thread counts and OpenMP's wait policy, with and without other load.

Run by hand:  python benchmarks/bench_threads.py [--repeats N] [--load 0 1 2] [--jobs ...]

Every measurement runs in a fresh process, so that OpenMP reads its
environment (OMP_WAIT_POLICY) when it loads, as it does in a user's program.
Each job is timed as the best of --repeats calls after one warm-up call,
with the native pools (OpenMP, BLAS, OpenCV) held to 1 or 2 threads, while
--load busy processes (pure Python loops, one core each) compete for the
cores.  Beside the time, the CPU time the process used in that call: twice
the time on two threads means both were busy all along, working or spinning
while they wait.  The jobs work on the bundled sample photo (512 x 600):

  kmeans     ColorExtractor().extract_colors(photo)            (k-means, LAB)
  fit        the bare KMeans(5, random_state=42, n_init=10).fit on its pixels
  dbscan     ColorExtractor(5, "dbscan").extract_colors(photo)
  detailed   find_color_matches(photo, 3 targets)
  preprocess ColorExtractor()._preprocess_image(photo)         (OpenCV only)
"""

import argparse
import json
import os
import subprocess
import sys
import time

JOBS = ("kmeans", "fit", "dbscan", "detailed", "preprocess")
POLICIES = ("default", "passive")

CHILD = r"""
import json, sys, time
threads, job, repeats = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
import cv2
from threadpoolctl import threadpool_limits
from sklearn.cluster import KMeans
from chromalens import ColorExtractor
from chromalens.samples import sample_image_path

photo = cv2.imread(sample_image_path())
extractor = ColorExtractor()
targets = {"navy": (71, 78, 137), "skin": (233, 198, 175), "red": (255, 0, 0)}
pixels = extractor._extract_pixels(extractor._convert_to_feature_space(extractor._preprocess_image(photo)))
work = {
    "kmeans": lambda: extractor.extract_colors(photo),
    "fit": lambda: KMeans(n_clusters=5, random_state=42, n_init=10).fit(pixels),
    "dbscan": lambda: ColorExtractor(5, "dbscan").extract_colors(photo),
    "detailed": lambda: extractor.find_color_matches(photo, targets),
    "preprocess": lambda: extractor._preprocess_image(photo),
}[job]
cv2.setNumThreads(threads)
with threadpool_limits(threads):
    work()
    times = []
    for _ in range(repeats):
        start, cpu = time.perf_counter(), time.process_time()
        work()
        times.append((time.perf_counter() - start, time.process_time() - cpu))
print(json.dumps(min(times)))
"""


def measure(job, threads, policy, repeats):
    env = dict(os.environ)
    env.pop("OMP_WAIT_POLICY", None)
    if policy != "default":
        env["OMP_WAIT_POLICY"] = policy.upper()
    output = subprocess.run([sys.executable, "-c", CHILD, str(threads), job, str(repeats)], env=env,
                            check=True, capture_output=True, text=True).stdout
    return json.loads(output.strip().splitlines()[-1])


def start_load(count, seconds):
    """`count` busy processes that stop by themselves after `seconds`, or when this process ends."""
    loop = (f"import os, time\nparent, end = os.getppid(), time.time() + {seconds}\n"
            "while time.time() < end and os.getppid() == parent: pass\n")
    return [subprocess.Popen([sys.executable, "-c", loop]) for _ in range(count)]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--load", type=int, nargs="+", default=[0, 1], help="busy processes to run alongside")
    parser.add_argument("--jobs", nargs="+", choices=JOBS, default=list(JOBS))
    args = parser.parse_args()

    print(f"cores: {os.cpu_count()}, load average before: {os.getloadavg()[0]:.2f}")
    print("time / CPU time of one call, in seconds")
    print(f"{'job':<11}{'load':>5}  " + "  ".join(f"{t} thr {p:<9}" for p in POLICIES for t in (1, 2))
          + "  2 thr / 1 thr (default policy)")
    for load in args.load:
        busy = start_load(load, 1800)
        try:
            time.sleep(0.5 if load else 0)
            for job in args.jobs:
                cells = {(t, p): measure(job, t, p, args.repeats) for p in POLICIES for t in (1, 2)}
                row = "  ".join(f"{cells[t, p][0]:>7.3f}/{cells[t, p][1]:<7.3f}" for p in POLICIES for t in (1, 2))
                ratio = cells[2, "default"][0] / cells[1, "default"][0]
                print(f"{job:<11}{load:>5}  {row}  {ratio:.2f}x   (load average {os.getloadavg()[0]:.1f})",
                      flush=True)
        finally:
            for process in busy:
                process.kill()
                process.wait()


if __name__ == "__main__":
    main()
