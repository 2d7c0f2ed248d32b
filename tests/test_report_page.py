"""The report page in a real browser (Debian's Chromium, driven by Playwright): it loads cleanly,
ranks exactly as `search` does, lists failures, keeps hostile names as text, and its palette
files are byte for byte those of `export_palette`."""

import os
import shutil

import cv2
import numpy as np
import pytest

from chromalens.catalog import search
from chromalens.export import palette_bytes
from chromalens.report import build_report
from helpers import make_records, write_records

playwright = pytest.importorskip("playwright.sync_api")
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
pytestmark = pytest.mark.skipif(CHROMIUM is None, reason="needs Chromium (apt-get install chromium)")
HOSTILE = "<img src=x onerror=alert(1)>.png"


@pytest.fixture(scope="module")
def browser():
    with playwright.sync_playwright() as driver:
        chromium = driver.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"])
        yield chromium
        chromium.close()


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    """A report of generated records (their images do not exist: no thumbnails, no cluster)."""
    folder = tmp_path_factory.mktemp("page")
    records = make_records(400, seed=21)
    records[3] = dict(records[3], path=f"odd/{HOSTILE}")
    records.append({"path": f"broken/{HOSTILE}", "colors": None, "error": "<b>not an image</b>", "seconds": 0})
    write_records(folder / "r.jsonl", records, tail="{\"path\": \"being written")
    build_report(folder / "r.jsonl", folder / "report")
    return folder


def open_page(browser, site, width=1280, height=800):
    page = browser.new_page(viewport={"width": width, "height": height}, accept_downloads=True)
    page.messages = []
    page.on("console", lambda message: page.messages.append(f"{message.type}: {message.text}"))
    page.on("pageerror", lambda error: page.messages.append(f"error: {error}"))
    page.add_init_script("window.alerted = []; window.alert = (text) => window.alerted.push(String(text));")
    page.goto((site / "report" / "index.html").as_uri())
    page.wait_for_function("window.chromalensTimings && window.chromalensTimings.firstPaint !== null")
    return page


def pick(page, hex_code, limit=None):
    if limit is not None:
        page.fill("#distance", str(limit))
        page.dispatch_event("#distance", "change")
    page.evaluate("h => { const p = document.getElementById('picker'); p.value = h;"
                  " p.dispatchEvent(new Event('input')); }", hex_code)


def page_ranking(page):
    return page.evaluate("() => { const v = window.chromalensView, d = window.CHROMALENS_REPORT;"
                         " return v.ranked.map(i => [d.paths[i], v.scores[i]]); }")


def test_page_loads_lists_failures_and_keeps_names_as_text(browser, site, tmp_path):
    page = open_page(browser, site)
    assert page.messages == []
    failed = sum(r["error"] is not None for r in make_records(400, seed=21)) + 1
    assert page.inner_text("#failures summary") == f"{failed} images could not be analysed"
    page.click("#failures summary")
    assert f"broken/{HOSTILE}: <b>not an image</b>" in page.inner_text("#failures ul")
    assert page.inner_text("#problems summary") == "1 line of the results skipped"
    page.fill("#filter", "onerror")
    page.dispatch_event("#filter", "input")
    assert page.inner_text(".card .path") == f"odd/{HOSTILE}"
    assert page.evaluate("document.querySelectorAll('img[src=x], b').length") == 0
    assert page.evaluate("window.alerted") == []
    for width, height in ((1280, 800), (390, 844)):
        shot = open_page(browser, site, width, height)
        pick(shot, "#c81e28")
        shot.screenshot(path=str(tmp_path / f"report-{width}x{height}.png"))
        assert shot.messages == [] and os.path.getsize(tmp_path / f"report-{width}x{height}.png") > 10000
        overflow = shot.evaluate("document.documentElement.scrollWidth - window.innerWidth")
        assert overflow <= 0, f"the page is wider than a {width} pixel screen"


@pytest.mark.parametrize("colour, limit", [("#c81e28", 50), ("#14207a", 50), ("#f0f0eb", 12.5), ("#5aa03c", 120)])
def test_picked_colour_ranks_as_search(browser, site, colour, limit):
    page = open_page(browser, site)
    pick(page, colour, limit)
    expected = search(site / "r.jsonl", [colour], max_distance=limit, top=None)
    assert page_ranking(page) == [[h["path"], h["score"]] for h in expected]
    shown = page.inner_text(".card .score")
    assert shown == f"score {expected[0]['score']:.2f}"


def test_swatch_click_reranks(browser, site):
    page = open_page(browser, site)
    pick(page, "#000000")
    chip = page.locator(".card .swatch").nth(2)
    chosen = chip.get_attribute("data-hex")
    chip.click()
    assert page.input_value("#picker") == chosen
    expected = search(site / "r.jsonl", [chosen], top=None)
    assert page_ranking(page) == [[h["path"], h["score"]] for h in expected]


def test_palette_files_are_those_of_export_palette(browser, site):
    page = open_page(browser, site)
    data = page.evaluate("window.CHROMALENS_REPORT.paths")
    records = {r["path"]: r for r in make_records(400, seed=21)}
    for i in (0, 3, 7):
        path = data[i]
        colours = (records.get(path) or records["set0/image 0003.png"])["colors"]
        for fmt in ("json", "css", "gpl", "ase"):
            got = bytes(page.evaluate(f"Array.from(window.chromalensPaletteFile({i}, '{fmt}'))"))
            assert got == palette_bytes(colours, fmt, name=os.path.basename(path)), (path, fmt)
    with page.expect_download() as download:
        page.locator(".card a[data-format=ase]").first.click()
    first = data[0]
    assert download.value.suggested_filename == os.path.splitext(os.path.basename(first))[0] + "-palette.ase"
    assert open(download.value.path(), "rb").read() == palette_bytes(records[first]["colors"], "ase",
                                                                     name=os.path.basename(first))


@pytest.mark.slow
def test_lab_conversion_is_opencvs_for_every_colour(browser, site):
    """The page's LAB of all 16,777,216 colours against cv2.cvtColor, as 256 digests (one per red)."""
    page = open_page(browser, site)
    got = page.evaluate("""() => {
        const out = [];
        for (let r = 0; r < 256; r++) {
            let sum = 0;
            for (let i = 0; i < 65536; i++) {
                const [L, a, b] = window.chromalensLab(r, i >> 8, i & 255);
                sum = (sum + Math.imul((L << 16) | (a << 8) | b, Math.imul(i, 2654435761))) | 0;
            }
            out.push(sum >>> 0);
        }
        return out;
    }""")
    i = np.arange(65536, dtype=np.uint64)
    weights = (i * np.uint64(2654435761)) % np.uint64(2**32)
    expected = []
    for r in range(256):
        rgb = np.stack([np.full(65536, r), i >> np.uint64(8), i & np.uint64(255)], 1).astype(np.uint8)
        lab = cv2.cvtColor(rgb.reshape(1, -1, 3), cv2.COLOR_RGB2LAB).reshape(-1, 3).astype(np.uint64)
        packed = (lab[:, 0] << np.uint64(16)) | (lab[:, 1] << np.uint64(8)) | lab[:, 2]
        expected.append(int(((packed * weights) % np.uint64(2**32)).sum() % np.uint64(2**32)))
    assert [r for r in range(256) if got[r] != expected[r]] == []
