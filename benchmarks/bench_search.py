"""Searching a catalogue of generated records: the first search (reading the results and building
the index), later searches (from the index), and the peak memory of each, in a fresh process.

    python benchmarks/bench_search.py                 # 1,000,000 records
    python benchmarks/bench_search.py --records 100000 --keep /tmp/catalogue.jsonl

Records look like those of ``batch``: 3 to 8 colours with shares adding up to
100, hex codes and CSS names, one in a hundred an error record.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

QUERIES = [
    ["-c", "navy"],
    ["-c", "#c0392b", "-c", "white"],
    ["-c", "red", "-c", "skyblue", "--any", "--max-distance", "30"],
    ["--like", "LIKE"],
]


def generate(path: str, count: int, seed: int = 2027) -> str:
    """Writes `count` records to `path`; returns the path of one analysed image in it."""
    from chromalens.colors import css_names

    rng = np.random.default_rng(seed)
    sizes = rng.integers(3, 9, count)
    owner = np.repeat(np.arange(count), sizes)
    # Colours drawn around a few hundred themes, as photo libraries repeat their palettes.
    themes = rng.integers(0, 256, (400, 3))
    rgb = np.clip(themes[rng.integers(0, 400, len(owner))] + rng.normal(0, 25, (len(owner), 3)), 0, 255)
    raw = rng.pareto(1.2, len(owner)) + 0.05
    shares = np.round(raw / np.bincount(owner, weights=raw)[owner] * 100, 2)
    order = np.lexsort((-shares, owner))  # each image's colours, largest share first
    rgb, shares = rgb[order].astype(np.uint8), shares[order]
    names = css_names(rgb)
    rgb_rows, share_list = rgb.tolist(), shares.tolist()
    with open(path, "w", encoding="utf-8") as out:
        row = 0
        for i, n in enumerate(sizes.tolist()):
            image = f"photos/{2015 + i % 10}/album-{i // 500:05d}/IMG_{i:07d}.jpg"
            if i % 100 == 99:
                record = {"path": image, "width": None, "height": None, "colors": None,
                          "error": "Could not load image", "seconds": 0.001}
            else:
                colours = [{"color": rgb_rows[j], "percentage": share_list[j],
                            "hex": "#%02x%02x%02x" % tuple(rgb_rows[j]), "name": names[j]} for j in range(row, row + n)]
                record = {"path": image, "width": 640, "height": 480, "colors": colours, "error": None, "seconds": 0.05}
            out.write(json.dumps(record) + "\n")
            row += n
    return "photos/2015/album-00000/IMG_0000000.jpg"


def timed_search(results: str, query: list) -> tuple:
    """(seconds, CPU seconds, peak resident MiB, hits, exit status) of one `chromalens search` in a
    fresh process, the whole command: the interpreter's start, imports and the search.  On a
    machine shared with other work the CPU time is the steadier figure.  Python may cache compiled
    modules, as an installed package has them (a development tree may have no cache yet)."""
    code = ("import resource, sys; from chromalens.cli import main; status = main(sys.argv[1:]); "
            "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024, status, file=sys.stderr)")
    environment = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}
    before, started = resource.getrusage(resource.RUSAGE_CHILDREN), time.perf_counter()
    done = subprocess.run([sys.executable, "-c", code, "search", results, *query, "--json", "--top", "20"],
                          capture_output=True, text=True, cwd=os.path.dirname(results), env=environment)
    seconds, after = time.perf_counter() - started, resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime
    peak, status = done.stderr.strip().splitlines()[-1].split()
    return seconds, cpu, float(peak), len(done.stdout.splitlines()), int(status)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--keep", help="write the records here and keep them, or use those written there before "
                        "(default: a temporary folder)")
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="bench-search-")
    results = os.path.abspath(args.keep or os.path.join(folder, "catalogue.jsonl"))
    started = time.perf_counter()
    if args.keep and os.path.exists(results):
        like = "photos/2015/album-00000/IMG_0000000.jpg"  # records generated before: used again
    else:
        like = generate(results, args.records)
    print(f"{args.records:,} records, {os.path.getsize(results) / 2**20:.0f} MiB, "
          f"ready in {time.perf_counter() - started:.1f} s")
    print(f"load average before: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    for label in ("first search (reads, builds the index)", "later search (from the index)"):
        if label.startswith("first") and os.path.exists(results + ".index"):
            os.remove(results + ".index")
        seconds, cpu, peak, hits, status = timed_search(results, QUERIES[0])
        print(f"{label:42s} {seconds:6.2f} s (CPU {cpu:5.2f} s)  peak {peak:4.0f} MiB  {hits} hits (exit {status})")
    for query in QUERIES[1:]:
        query = [like if q == "LIKE" else q for q in query]
        seconds, cpu, peak, hits, status = timed_search(results, query)
        print(f"later: {' '.join(query)[:35]:35s} {seconds:6.2f} s (CPU {cpu:5.2f} s)  peak {peak:4.0f} MiB  "
              f"{hits} hits (exit {status})")
    print(f"index: {os.path.getsize(results + '.index') / 2**20:.0f} MiB")


if __name__ == "__main__":
    main()
