"""Writing a report: thumbnails made on a local Dask cluster, kept while current, and the page's data."""

import base64
import json
import os

import cv2
import numpy as np
import pytest

pytest.importorskip("distributed")
from chromalens.cli import main  # noqa: E402
from chromalens.report import ReportError, build_report  # noqa: E402
from helpers import BAD_FILES, GOOD_IMAGES, ref_css_name, ref_lab, write_catalogue, write_records  # noqa: E402


def page_data(folder):
    text = (folder / "data.js").read_text("utf-8")
    prefix, suffix = "window.CHROMALENS_REPORT = JSON.parse(", ");\n"
    assert text.startswith(prefix) and text.endswith(suffix)
    return json.loads(json.loads(text[len(prefix):-len(suffix)]))


def test_thumbnails_are_made_once_and_follow_their_images(tmp_path, capsys):
    write_catalogue(tmp_path)
    records = [{"path": name, "colors": [{"color": [10, 20, 30], "percentage": 60.0},
                                         {"color": [200, 100, 0], "percentage": 40.0}], "error": None}
               for name in GOOD_IMAGES + ["gone.png"]]
    records += [{"path": name, "colors": None, "error": "Could not load image"} for name in BAD_FILES]
    write_records(tmp_path / "r.jsonl", records)
    out = tmp_path / "report"

    report = build_report(tmp_path / "r.jsonl", out, thumb_side=32, workers=1)
    assert (report.images, report.failed, report.made, report.kept, report.missing) == (6, 3, 5, 0, 1)
    data = page_data(out)
    assert data["paths"] == GOOD_IMAGES + ["gone.png"] and data["thumbs"][-1] is None
    assert [path for path, _ in data["failed"]] == list(BAD_FILES)
    for thumb in data["thumbs"][:-1]:
        picture = cv2.imread(str(out / thumb))
        assert picture is not None and max(picture.shape[:2]) <= 32
    names = np.frombuffer(base64.b64decode(data["names"]), "<u2")
    assert [data["cssNames"][n] for n in names[:2]] == [ref_css_name((10, 20, 30)), ref_css_name((200, 100, 0))]
    lab = np.frombuffer(base64.b64decode(data["lab"]), np.uint8)
    assert lab[:6].tolist() == [*ref_lab((10, 20, 30)).tolist(), *ref_lab((200, 100, 0)).tolist()]

    os.utime(tmp_path / "blocks.png", ns=(1, 1))  # changed since: made again, the old one removed
    assert main(["report", str(tmp_path / "r.jsonl"), "--out", str(out), "--thumb-side", "32", "-w", "1"]) == 0
    assert "thumbnails: 1 made, 4 kept, 1 images not found or unreadable" in capsys.readouterr().err
    assert sorted(os.listdir(out / "thumbs")) == sorted(os.path.basename(t) for t in page_data(out)["thumbs"] if t)


def test_a_folder_with_other_files_is_left_alone(tmp_path, capsys):
    write_records(tmp_path / "r.jsonl", [{"path": "x.png", "colors": None, "error": "broken"}])
    (tmp_path / "mine").mkdir()
    (tmp_path / "mine" / "index.html").write_text("my own page")
    with pytest.raises(ReportError, match="holds other files"):
        build_report(tmp_path / "r.jsonl", tmp_path / "mine")
    assert (tmp_path / "mine" / "index.html").read_text() == "my own page"
    assert main(["report", str(tmp_path / "r.jsonl"), "--out", str(tmp_path / "mine")]) == 1
    assert main(["report", str(tmp_path / "missing.jsonl"), "--out", str(tmp_path / "new")]) == 2
    assert "cannot read" in capsys.readouterr().err
