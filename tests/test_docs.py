"""The README and docs/*.md as a reader meets them: every Python and shell
example runs, and every link between pages and to files leads somewhere.

Each page's examples run in order in a fresh folder of their own, each code
block as its own process (so a block needs nothing from an earlier one but
the files it left).  A block marked with ``<!-- not run: reason -->`` on the
line before its fence (installing, clusters, long benchmarks) is left out.
"""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
RUN = {"python", "sh"}
# Pages whose examples start Dask clusters: their run is one of the long cases.
SLOW_PAGES = {"catalogues.md"}

FENCE = re.compile(r"^(?P<indent> *)```(?P<info>[^`\n]*)\n(?P<body>.*?)^(?P=indent)```[ \t]*$", re.S | re.M)
NOT_RUN = re.compile(r"<!--\s*not run:.*?-->\s*$")
LINK = re.compile(r"(?<!!)\[[^\]]*\]\(([^)\s]+)\)|!\[[^\]]*\]\(([^)\s]+)\)")


def code_blocks(page):
    """(language, code, line number, marked not to run) of each fenced block of `page`."""
    text = page.read_text(encoding="utf-8")
    blocks = []
    for match in FENCE.finditer(text):
        before = text[: match.start()].rstrip("\n").rsplit("\n", 1)[-1]
        line = text.count("\n", 0, match.start()) + 1
        blocks.append((match["info"].strip(), match["body"], line, bool(NOT_RUN.search(before))))
    return blocks


def example_folder(tmp_path, page):
    """The page's own folder; the catalogue page gets the photo folders its commands name."""
    if page.name in SLOW_PAGES:
        from chromalens.samples import sample_image_path

        for folder in ("photos", "photos/2024", "shop/summer"):
            (tmp_path / folder).mkdir(parents=True, exist_ok=True)
        shutil.copy(sample_image_path(), tmp_path / "photos" / "hopper.jpg")
        shutil.copy(sample_image_path(), tmp_path / "photos" / "2024" / "hopper.jpg")
        import cv2

        cv2.imwrite(str(tmp_path / "shop" / "summer" / "shirt.png"), cv2.imread(sample_image_path())[::4, ::4])
    return tmp_path


PAGE_PARAMS = [pytest.param(page, id=page.name, marks=[pytest.mark.slow] if page.name in SLOW_PAGES else [])
               for page in PAGES]


@pytest.mark.parametrize("page", PAGE_PARAMS)
def test_examples_run(page, tmp_path):
    folder = example_folder(tmp_path, page)
    # One OpenMP thread: the examples run beside the rest of the tests.
    env = dict(os.environ, MPLBACKEND="Agg", COLUMNS="80", OMP_NUM_THREADS="1",
               PATH=os.pathsep.join([os.path.dirname(sys.executable), os.environ.get("PATH", "")]))
    ran = 0
    for language, code, line, not_run in code_blocks(page):
        if language not in RUN or not_run:
            continue
        command = [sys.executable, "-c", code] if language == "python" else ["bash", "-euo", "pipefail", "-c", code]
        done = subprocess.run(command, cwd=folder, env=env, capture_output=True, text=True, timeout=600)
        assert done.returncode == 0, f"{page.name}:{line}: exit status {done.returncode}\n{code}\n{done.stderr}"
        ran += 1
    assert ran or page.name in ("development.md", "performance.md"), f"{page.name} has no example that runs"


def test_fences_are_closed_and_stand_on_their_own_lines():
    for page in PAGES:
        lines = page.read_text(encoding="utf-8").splitlines()
        fences = [(n, line) for n, line in enumerate(lines, 1) if "```" in line]
        for number, line in fences:
            assert re.fullmatch(r" *```[\w-]*", line), f"{page.name}:{number}: text runs into a fence: {line!r}"
        assert len(fences) % 2 == 0, f"{page.name}: a fence is not closed"


def test_not_run_marks_are_few():
    marked = [(page.name, line) for page in PAGES for _, _, line, not_run in code_blocks(page) if not_run]
    assert len(marked) <= 10, marked


def test_links_lead_to_pages_files_and_headings():
    for page in PAGES:
        text = page.read_text(encoding="utf-8")
        for match in LINK.finditer(text):
            target = match.group(1) or match.group(2)
            if re.match(r"[a-z]+://", target) or target.startswith("mailto:"):
                continue
            path, _, anchor = target.partition("#")
            linked = (page.parent / path).resolve() if path else page
            assert linked.exists(), f"{page.name}: link to a missing file: {target}"
            if anchor and linked.suffix == ".md":
                assert anchor in headings(linked), f"{page.name}: no heading #{anchor} in {linked.name}"


def headings(page):
    """GitHub's anchors of a page's headings: lower case, punctuation dropped, spaces as hyphens."""
    anchors = set()
    for line in page.read_text(encoding="utf-8").splitlines():
        if line.startswith("#"):
            title = line.lstrip("#").strip().lower()
            anchors.add(re.sub(r"[^\w\- ]", "", title).replace(" ", "-"))
    return anchors
