"""Remakes docs/report.png: the report page of a small catalogue of photographs, ranked by a blue.

    python tools/report_screenshot.py [--out docs/report.png]

The photographs are crops of scikit-learn's two sample photos and Matplotlib's
portrait (as benchmarks/bench_catalog.py uses them), plus one file that is no
image.  They are analysed with ``chromalens batch``, the page is written with
``chromalens report`` and shown at 1280 x 800 in Debian's Chromium (through
Playwright) with a colour picked, as a user would pick it.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile

import cv2

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "benchmarks"))
from bench_catalog import photos  # noqa: E402

PICKED = "#3a6ea5"  # a sky blue, darker than most skies
NAMES = ("temple", "flower", "portrait")
# Windows of each photograph, as (top, left, bottom, right) in fractions of its height and width.
WINDOWS = ((0, 0, 1, 1), (0, 0, 0.5, 0.5), (0, 0.5, 0.5, 1), (0.5, 0, 1, 0.5), (0.5, 0.5, 1, 1))


def write_photos(folder: str) -> None:
    for name, photo in zip(NAMES, photos()):
        height, width = photo.shape[:2]
        for number, (top, left, bottom, right) in enumerate(WINDOWS):
            crop = photo[round(top * height):round(bottom * height), round(left * width):round(right * width)]
            cv2.imwrite(os.path.join(folder, f"{name}-{number}.jpg"), crop, [cv2.IMWRITE_JPEG_QUALITY, 92])
    with open(os.path.join(folder, "notes.jpg"), "w") as out:
        out.write("a text file with an image's name\n")


def main() -> None:
    from playwright.sync_api import sync_playwright

    from chromalens.cli import main as chromalens

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "..", "docs", "report.png"))
    args = parser.parse_args()
    out = os.path.abspath(args.out)
    folder = tempfile.mkdtemp(prefix="report-shot-")
    try:
        photo_folder = os.path.join(folder, "photos")
        os.makedirs(photo_folder)
        write_photos(photo_folder)
        os.chdir(folder)
        chromalens(["batch", "photos", "--out", "colours.jsonl", "--workers", "1"])
        chromalens(["report", "colours.jsonl", "--out", "report", "--workers", "1", "--title", "Photos, ranked by colour"])
        with sync_playwright() as driver:
            browser = driver.chromium.launch(executable_path=shutil.which("chromium"), args=["--no-sandbox"])
            page = browser.new_page(viewport={"width": 1280, "height": 800})
            page.goto(f"file://{folder}/report/index.html")
            page.wait_for_function("window.chromalensTimings && window.chromalensTimings.firstPaint !== null")
            page.evaluate("h => { const p = document.getElementById('picker'); p.value = h;"
                          " p.dispatchEvent(new Event('input')); }", PICKED)
            page.wait_for_load_state("networkidle")
            page.screenshot(path=out)
            browser.close()
        print(f"wrote {out}")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
