"""The report page at 100,000 images in Debian's Chromium, timed by the page itself: the first
paint (from navigation, data included) and re-rankings by a picked colour and by a swatch click.

    python benchmarks/bench_report_page.py [--records 100000]

Needs Playwright's Python package and Chromium (apt-get install chromium).  The records are
generated (bench_search.generate); their images do not exist, so the page has no thumbnails.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import tempfile
import time

from bench_search import generate

COLOURS = ["#1f2a44", "#c0392b", "#f0f0eb", "#5aa03c", "#87ceeb", "#000000", "#ffd700"]


def main() -> None:
    from playwright.sync_api import sync_playwright

    from chromalens.report import build_report

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=100_000)
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="bench-page-")
    try:
        results = os.path.join(folder, "catalogue.jsonl")
        generate(results, args.records)
        started = time.perf_counter()
        report = build_report(results, os.path.join(folder, "report"))
        size = os.path.getsize(os.path.join(folder, "report", "data.js")) / 2**20
        print(f"{report.images:,} images ({report.failed:,} failed): report written in "
              f"{time.perf_counter() - started:.1f} s, data.js {size:.0f} MiB")
        with sync_playwright() as driver:
            browser = driver.chromium.launch(executable_path=shutil.which("chromium"), args=["--no-sandbox"])
            page = browser.new_page(viewport={"width": 1280, "height": 800})
            errors: list = []
            page.on("pageerror", lambda error: errors.append(str(error)))
            page.goto(f"file://{folder}/report/index.html")
            page.wait_for_function("window.chromalensTimings.firstPaint !== null", timeout=60000)
            first_paint = page.evaluate("window.chromalensTimings.firstPaint")
            ranks = []
            for colour in COLOURS:
                page.evaluate("h => { window.chromalensTimings.lastRank = null; const p = "
                              "document.getElementById('picker'); p.value = h; p.dispatchEvent(new Event('input')); }",
                              colour)
                page.wait_for_function("window.chromalensTimings.lastRank !== null")
                ranks.append(page.evaluate("window.chromalensTimings.lastRank"))
            page.evaluate("window.chromalensTimings.lastRank = null")
            page.locator(".card .swatch").nth(1).click()
            page.wait_for_function("window.chromalensTimings.lastRank !== null")
            swatch = page.evaluate("window.chromalensTimings.lastRank")
            browser.close()
        print(f"first paint {first_paint:.0f} ms; re-rank by picked colour: median {statistics.median(ranks):.0f} ms, "
              f"slowest {max(ranks):.0f} ms ({len(ranks)} colours); by a swatch click {swatch:.0f} ms; "
              f"page errors: {errors or 'none'}")
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
