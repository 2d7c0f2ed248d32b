"""Catalogue search: scores against a plain reading through the extractor's own distance, the
index kept beside the results, --like against POT's earth mover's distance, the command line."""

import json
import os

import numpy as np
import pytest
from hypothesis import given, strategies as st

from chromalens import ColorExtractor
from chromalens.catalog import reading, search, similar
from chromalens.catalog.index import open_index
from chromalens.catalog.query import round2
from chromalens.cli import main
from chromalens.colors import lab_codes, parse_color
from helpers import TARGET, make_records, write_records as write

DISTANCE = ColorExtractor()._color_distance_lab
similar_distances = similar.palette_distances


def plain_score(record, rgb, limit, name=None):
    """One image's score for one colour, read literally: the similarity analysis's weighing of
    each palette colour within `limit`, or the per-pixel bands of a target of that colour."""
    entry = (record.get("matches") or {}).get(name)
    if entry is not None and abs(DISTANCE(np.array(rgb), np.array(entry["closest_pixel"])) -
                                 entry["min_distance"]) <= 0.005 + 1e-9:
        weigh = [max(0, ((limit - m) / limit * 100)) / 100 if m <= limit else 0 for m in (7.5, 22.5, 40.0)]
        very, close, total = (entry[k] for k in ("very_close_percentage", "close_percentage", "total_percentage"))
        return round(very * weigh[0] + (close - very) * weigh[1] + (total - close) * weigh[2], 2)
    score = 0.0
    for colour in record["colors"]:
        distance = DISTANCE(np.array(rgb), np.array(colour["color"]))
        if distance <= limit:
            similarity = max(0, (limit - distance) / limit * 100)
            score += colour["percentage"] * (similarity / 100)
    return round(score, 2)


def plain_ranking(records, queries, limit=50.0, any_colour=False, min_share=0.0):
    ranked = []
    for order, record in enumerate(r for r in records if r["error"] is None):
        scores = {name: plain_score(record, rgb, limit, name) for name, rgb in queries.items()}
        combined = max(scores.values()) if any_colour else min(scores.values())
        if combined > 0 and combined >= min_share:
            ranked.append((-combined, order, record["path"], scores))
    return [(path, -negative, scores) for negative, _, path, scores in sorted(ranked)]


@pytest.fixture(scope="module")
def catalogue(tmp_path_factory):
    folder = tmp_path_factory.mktemp("search")
    records = make_records(260, seed=11)
    write(folder / "a.jsonl", records[:150], tail='{"path": "half a line')
    write(folder / "b.jsonl", records[150:])
    return folder, records


@pytest.mark.parametrize("queries, options", [
    ({"navy": (0, 0, 128)}, {}),
    ({"red": TARGET}, {}),
    ({"red": TARGET, "#f0f0eb": (240, 240, 235)}, {}),
    ({"red": TARGET, "#5aa03c": (90, 160, 60)}, {"any_colour": True, "limit": 30.0}),
    ({"ink": (10, 20, 100)}, {"limit": 80.0, "min_share": 12.5}),
    ({"cyan": (0, 255, 255), "red": TARGET}, {"any_colour": True, "limit": 0.5}),  # the first colour nowhere near
])
def test_scores_and_order_match_a_plain_reading(catalogue, queries, options):
    folder, records = catalogue
    found = search([folder / "a.jsonl", folder / "b.jsonl"], queries,
                   match="any" if options.get("any_colour") else "all", max_distance=options.get("limit"),
                   min_share=options.get("min_share", 0.0), top=None)
    expected = plain_ranking(records, queries, **options)
    assert [(h["path"], h["score"], h["scores"]) for h in found] == expected
    assert found.matched == len(expected) and found.images == sum(r["error"] is None for r in records)
    assert found.failed == sum(r["error"] is not None for r in records)
    assert found.problems == [f"{folder / 'a.jsonl'} line 151: incomplete (still being written?); skipped"]
    if found.hits:
        first = next(r for r in records if r["path"] == found[0]["path"])
        assert [c["color"] for c in found[0]["colors"]] == [c["color"] for c in first["colors"]]


def test_index_follows_the_results(tmp_path):
    records = make_records(60, seed=3)
    results = tmp_path / "r.jsonl"
    write(results, records[:40], tail="not json\n" + json.dumps(records[40])[:30])
    query = {"red": TARGET}

    def ranking():
        return [(h["path"], h["score"]) for h in search(results, query, top=None)]

    kept = [r for r in records[:40]]
    assert ranking() == [(p, s) for p, s, _ in plain_ranking(kept, query)]
    assert (tmp_path / "r.jsonl.index").exists()
    # The partial line completed and more appended: the new lines are read.
    with open(results, "a") as out:
        out.write(json.dumps(records[40])[30:] + "\n")
        for record in records[41:]:
            out.write(json.dumps(record) + "\n")
    found = search(results, query, top=None)
    assert [(h["path"], h["score"]) for h in found] == [(p, s) for p, s, _ in plain_ranking(records, query)]
    assert len(found.problems) == 1 and found.problems[0].startswith(f"{results} line 41: not a catalogue record (")
    # Rewritten in place, same size and modification time: still not stale.
    stat = os.stat(results)
    swapped = list(records)
    swapped[0], swapped[1] = dict(records[1], path=records[0]["path"]), dict(records[0], path=records[1]["path"])
    write(results, swapped[:40], tail="not json\n" + "".join(json.dumps(r) + "\n" for r in swapped[40:]))
    assert os.stat(results).st_size == stat.st_size
    os.utime(results, ns=(stat.st_atime_ns, stat.st_mtime_ns))
    assert ranking() == [(p, s) for p, s, _ in plain_ranking(swapped, query)]


def test_reading_in_small_blocks_builds_the_same_index(tmp_path, monkeypatch):
    """Blocks laid end to end (offsets, image numbers, LAB planes, targets measured in some blocks
    only, line numbers) give the index of one block, and odd records read as before."""
    records = make_records(120, seed=7)
    records[3] = dict(records[3], colors=None, error=None)  # no colours, yet no error
    records[5] = dict(records[5], error="")  # an error, if an empty one
    records[6] = dict(records[6], colors=[])
    lines = [json.dumps(r) for r in records]
    lines[50:50] = ["", "not json"]
    for name in ("whole", "blocks"):
        (tmp_path / f"{name}.jsonl").write_text("\n".join(lines) + "\n")
    whole, _ = open_index(str(tmp_path / "whole.jsonl"))
    monkeypatch.setattr(reading, "BLOCK_BYTES", 500)  # some lines longer than a block
    blocks, _ = open_index(str(tmp_path / "blocks.jsonl"))
    assert blocks.arrays.keys() == whole.arrays.keys() and blocks.problems == whole.problems
    assert [p.split(":")[0] for p in whole.problems] == ["line 52"]
    for key, array in whole.arrays.items():
        np.testing.assert_array_equal(blocks.arrays[key], array, err_msg=key)
    kept = [dict(r, colors=r["colors"] or []) for r in records if r["error"] is None]
    found = search(tmp_path / "blocks.jsonl", {"red": TARGET}, top=None)
    assert [(h["path"], h["score"]) for h in found] == [(p, s) for p, s, _ in plain_ranking(kept, {"red": TARGET})]
    assert found.failed == 120 - len(kept) and found.images == len(kept)


def test_results_whose_index_cannot_be_written_are_searched_all_the_same(tmp_path):
    write(tmp_path / "r.jsonl", make_records(30, seed=5))
    (tmp_path / "r.jsonl.index").mkdir()  # in the way of the index, even for a user who may write anywhere
    for _ in range(2):
        found = search(tmp_path / "r.jsonl", ["red"], top=None)
        assert found.hits and len(found.notes) == 1 and "cannot keep an index" in found.notes[0]
    assert sorted(os.listdir(tmp_path)) == ["r.jsonl", "r.jsonl.index"]  # no temporary file left behind


def test_like_matches_pots_earth_movers_distance(catalogue):
    ot = pytest.importorskip("ot")
    folder, records = catalogue
    kept = [r for r in records[150:] if r["error"] is None]
    query = kept[7]
    import cv2

    def labs(colours):
        return cv2.cvtColor(np.uint8([[c["color"] for c in colours]]), cv2.COLOR_RGB2LAB)[0].astype(float)

    def emd(a, b):
        cost = np.sqrt(((labs(a)[:, None] - labs(b)[None]) ** 2).sum(2))
        wa = np.array([c["percentage"] for c in a]); wb = np.array([c["percentage"] for c in b])
        return round(ot.emd2(wa / wa.sum(), wb / wb.sum(), cost), 2)

    expected = sorted((emd(query["colors"], r["colors"]), i, r["path"]) for i, r in enumerate(kept) if r is not query)
    for top in (1, 5, None):
        found = search(folder / "b.jsonl", like=folder / ".." / folder.name / query["path"], top=top)
        assert [(h["distance"], h["path"]) for h in found] == [(d, p) for d, _, p in expected[:top]]
    within = search(folder / "b.jsonl", like=str(folder / query["path"]), max_distance=20.0, top=None)
    assert [h["path"] for h in within] == [p for d, _, p in expected if d <= 20.0]


def test_like_rules_out_only_images_that_cannot_be_near(tmp_path, monkeypatch):
    """Small rounds and batches, so that the bounds rule out most images: the hits are still those
    of every distance computed, and no bound ever exceeds a distance."""
    write(tmp_path / "r.jsonl", make_records(400, seed=21))
    index, _ = open_index(str(tmp_path / "r.jsonl"))
    images = np.flatnonzero(np.diff(index.color_offsets) > 0)
    palettes = [(index.lab[index.rows(i)], index.share[index.rows(i)]) for i in images]
    lab, share = palettes[3]
    weights = share / share.sum()
    exact = similar.palette_distances(lab, share, palettes)
    for bound in (similar._reach_bounds, similar._transfer_bounds):
        assert (bound(index, images, lab, weights) <= exact + 1e-9).all()
    assert (similar._centre_bounds(index, lab, weights)[images] <= exact + 1e-9).all()
    for name, value in (("_FIRST_ROUND", 4), ("_WINDOW", 16), ("_BATCH", 3)):
        monkeypatch.setattr(similar, name, value)
    solved = []
    monkeypatch.setattr(similar, "palette_distances",
                        lambda *args: solved.append(len(args[2])) or similar_distances(*args))
    ranked = sorted((d, i, index.path(i)) for d, i in zip(round2(exact).tolist(), images.tolist()) if i != images[3])
    for top, within in ((1, None), (9, None), (60, 25.0)):
        found = search(tmp_path / "r.jsonl", like=tmp_path / index.path(images[3]), top=top, max_distance=within)
        assert [(h["distance"], h["path"]) for h in found] == \
            [(d, p) for d, _, p in ranked if within is None or d <= within][:top]
    assert sum(solved) < len(images)  # most were ruled out


def test_lab_codes_are_opencvs_for_every_colour():
    import cv2

    blue, green = np.divmod(np.arange(65536), 256)
    for red in range(256):
        rgb = np.stack([np.full(65536, red), green, blue], 1).astype(np.uint8)
        expected = cv2.cvtColor(rgb.reshape(1, -1, 3), cv2.COLOR_RGB2LAB).reshape(-1, 3)
        np.testing.assert_array_equal(lab_codes(rgb), expected, err_msg=f"red {red}")


@given(st.tuples(*[st.integers(0, 255)] * 3),
       st.sampled_from(["{0},{1},{2}", " {0} , {1},{2} ", "#{0:02x}{1:02X}{2:02x}"]))
def test_colours_read_back_in_every_form(rgb, form):
    assert parse_color(form.format(*rgb)) == rgb


@given(st.text(max_size=12))
def test_anything_else_is_refused_with_the_forms(text):
    try:
        parse_color(text)
    except ValueError as error:
        assert "CSS colour name" in str(error)


@given(st.floats(0, 1000, allow_nan=False) | st.integers(0, 100000).map(lambda n: n / 200))
def test_rounding_all_at_once_is_pythons(value):
    nearby = np.array([value, np.nextafter(value, 0), np.nextafter(value, 2000)])
    assert round2(nearby).tolist() == [round(float(v), 2) for v in nearby]


def test_command_line(catalogue, capsys, tmp_path):
    folder, records = catalogue
    hostile = dict(records[1], path="\x1b[31m<img src=x onerror=alert(1)>.png")
    write(tmp_path / "h.jsonl", [hostile])
    assert main(["search", str(tmp_path / "h.jsonl"), "-c", "0,0,0", "--max-distance", "400"]) == 0
    out, err = capsys.readouterr()
    assert "\x1b" not in out and "?[31m<img src=x onerror=alert(1)>.png" in out
    assert main(["search", str(folder / "b.jsonl"), "-c", "red=#c81e28", "-c", "white", "--any", "--top", "7"]) == 0
    out, err = capsys.readouterr()
    lines = out.splitlines()
    assert len(lines) == 8 and lines[0].split() == ["rank", "score", "colour", "path"]
    assert all(len(line) < 80 for line in lines)
    assert err.strip().endswith("error records skipped")
    assert main(["search", str(folder / "b.jsonl"), "-c", "navy", "--json", "--top", "3"]) == 0
    hits = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert [h["rank"] for h in hits] == [1, 2, 3] and all(set(c) == {"color", "percentage", "hex", "name"}
                                                           for h in hits for c in h["colors"])
    assert main(["search", str(folder / "b.jsonl"), "-c", "navy", "--min-share", "100"]) == 1
    for argv in (["-c", "nosuchcolour"], [], ["-c", "red", "--like", "x.png"], ["--like", "x.png", "--any"]):
        assert main(["search", str(folder / "b.jsonl"), *argv]) == 2
    assert main(["search", str(tmp_path / "missing.jsonl"), "-c", "red"]) == 2
    assert "cannot read" in capsys.readouterr().err


def test_a_search_loads_neither_the_module_nor_the_analysis_libraries(catalogue):
    # A search answers from records: loading OpenCV, scikit-learn and the module would cost it
    # seconds before its first line.
    import subprocess
    import sys

    folder, _ = catalogue
    code = ("import sys; from chromalens.cli import main; status = main(sys.argv[1:]); "
            "print(sorted(m for m in ('cv2', 'sklearn', 'chromalens.color_extractor_cy', 'distributed') "
            "if m in sys.modules))")
    done = subprocess.run([sys.executable, "-c", code, "search", str(folder / "b.jsonl"), "-c", "navy", "--json"],
                          capture_output=True, text=True, check=False)
    assert done.returncode in (0, 1), done.stderr
    assert done.stdout.splitlines()[-1] == "[]"
