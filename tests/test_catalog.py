"""Catalogue analysis on real Dask clusters: records equal the single-image
results, failures become records, nothing is lost or repeated when workers die."""

import itertools
import json
import os
import time

import cv2
import numpy as np
import pytest

pytest.importorskip("distributed")
from distributed import Client, LocalCluster, get_task_stream  # noqa: E402

from chromalens import ColorExtractor, read_image  # noqa: E402
from chromalens.catalog import cluster as catalog_cluster  # noqa: E402
from chromalens.catalog import driver as catalog_driver  # noqa: E402
from chromalens.catalog import analyze, find_images  # noqa: E402
from chromalens.catalog.cluster import ClusterError  # noqa: E402
from chromalens.catalog.driver import MAX_BATCH  # noqa: E402
from chromalens.catalog.paths import IMAGE_EXTENSIONS, scan  # noqa: E402
from chromalens.catalog.task import Options, analyze_file, plain  # noqa: E402
from helpers import BAD_FILES, GOOD_IMAGES, expected_record, write_catalogue  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

GOOD, BAD = GOOD_IMAGES, BAD_FILES
TARGETS = {"red": (220, 30, 30), "sky": [90, 160, 230]}
KILL_ONCE, KILL_ALWAYS = (13, 7), (11, 5)  # image sizes that make WorkerKiller end its process
TOO_SLOW = (7, 9)  # the image size that WorkerKiller takes a minute over


@pytest.fixture(scope="module")
def catalogue(tmp_path_factory):
    return write_catalogue(tmp_path_factory.mktemp("catalogue"))


@pytest.fixture(scope="module")
def client():
    """One local cluster of two single-threaded worker processes, shared by the module."""
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                           dashboard_address="127.0.0.1:0")
    try:
        with Client(cluster, set_as_default=False) as dask_client:
            yield dask_client
    finally:
        cluster.close()


def by_path(records):
    records = list(records)
    paths = [r["path"] for r in records]
    assert len(paths) == len(set(paths)), "an image was recorded twice"
    return {os.path.relpath(r["path"]): r for r in records}


@pytest.mark.parametrize("settings, options", [
    (dict(), dict()),
    (dict(algorithm="dbscan", n_colors=3), dict(targets=TARGETS, similarity_threshold=35.0)),
    (dict(lab_space=False, preprocessing=False), dict(targets=TARGETS, detailed=True, max_side=16)),
], ids=["kmeans", "dbscan-similarity", "rgb-detailed-max-side"])
def test_records_equal_single_image_results(client, catalogue, settings, options, monkeypatch):
    monkeypatch.chdir(catalogue)
    extractor = ColorExtractor(**settings)
    paths = find_images(["."], recursive=True)
    records = by_path(analyze(paths, extractor, client=client, **options))
    assert sorted(records) == sorted(GOOD + list(BAD))
    result_key = None if "targets" not in options else "matches" if options.get("detailed") else "similarity"
    for name in GOOD:
        record = records[name]
        assert list(record) == ["path", "real_path", "width", "height", "colors"] + \
            ([result_key] if result_key else []) + ["error", "seconds", "settings"]
        assert record["error"] is None and record["seconds"] >= 0
        assert record["real_path"] == os.path.realpath(name)
        assert record["settings"]["algorithm"] == settings.get("algorithm", "kmeans")
        image, _ = read_image(name, use_alpha=True, max_side=options.get("max_side"))
        assert (record["height"], record["width"]) == image.shape[:2]
        expected = expected_record(name, extractor, options.get("targets"), options.get("detailed", False),
                                   options.get("similarity_threshold", 50.0), options.get("max_side"))
        got = {key: record[key] for key in expected}
        # As text, so that an integer 0 and a float 0.0 count as different.
        assert json.dumps(got) == json.dumps(expected), name
    for name, reason in BAD.items():
        assert records[name]["colors"] is None
        assert reason in records[name]["error"] and "\n" not in records[name]["error"]


def test_transparent_pixels_stay_out_of_the_colours(client, catalogue):
    path = str(catalogue / "cutout.png")
    if read_image(path)[1] is None:
        pytest.skip("read_image does not read transparency yet")
    with_alpha, without_alpha = (next(analyze([path], client=client, use_alpha=flag)) for flag in (True, False))
    assert [255, 0, 255] not in [c["color"] for c in with_alpha["colors"]]
    assert sum(c["percentage"] for c in with_alpha["colors"]) == pytest.approx(100, abs=0.05)
    assert with_alpha["colors"] != without_alpha["colors"]


def test_the_client_keeps_a_bounded_window_of_tasks(client, catalogue):
    """Paths are pulled from the iterable as results come back, never all at once:
    at most a window of tasks of at most MAX_BATCH images each is out."""
    taken = []

    def paths():
        for number in itertools.count():
            taken.append(number)
            yield str(catalogue / "blocks.png")

    records = analyze(paths(), client=client)
    window = 2 * sum(client.nthreads().values())
    try:
        first = next(records)
        assert first["error"] is None
        assert window <= len(taken) <= (window + 1) * MAX_BATCH
        for yielded in range(2, 200):
            next(records)
            assert len(taken) <= yielded + (window + 1) * MAX_BATCH
    finally:
        records.close()


def test_quick_images_go_several_to_a_task(client, catalogue):
    """Small images are batched, and each still gets exactly one record."""
    paths = [str(catalogue / "blocks.png")] * 60
    with get_task_stream(client=client) as stream:
        records = list(analyze(paths, ColorExtractor(algorithm="dbscan", preprocessing=False), client=client))
    assert len(records) == len(paths) and all(r["error"] is None for r in records)
    tasks = {task["key"] for task in stream.data if "chromalens" in str(task["key"])}
    assert 1 < len(tasks) < len(paths) / 2


class WorkerKiller(ColorExtractor):
    """Ends its worker process on images of the marker sizes: once, or every time; takes a minute
    over images of another."""

    def extract_colors(self, image, mask=None):
        if image.shape[:2] == KILL_ALWAYS:
            os._exit(3)
        if image.shape[:2] == TOO_SLOW:
            time.sleep(60)
        flag = os.path.join(self.flag_dir, "killed once")
        if image.shape[:2] == KILL_ONCE and not os.path.exists(flag):
            open(flag, "w").close()
            os._exit(3)
        return super().extract_colors(image, mask)


def test_a_killed_worker_loses_nothing(catalogue, tmp_path):
    """Its own local cluster (as the command line starts it): killed tasks are retried
    elsewhere.  Quick images come first, so the killers arrive in tasks of several images,
    whose other images must not be blamed.  An image over the time limit is stopped."""
    for name, (height, width) in [("kill-once.png", KILL_ONCE), ("kill-always.png", KILL_ALWAYS),
                                  ("too-slow.png", TOO_SLOW)]:
        cv2.imwrite(str(tmp_path / name), np.full((height, width, 3), 90, np.uint8))
    quick = [str(tmp_path / f"a-quick-{number:02d}.png") for number in range(24)]
    for path in quick:
        cv2.imwrite(path, np.full((4, 4, 3), 30, np.uint8))
    paths = quick + [str(catalogue / name) for name in GOOD] + [str(tmp_path / "kill-once.png"),
                                                               str(tmp_path / "kill-always.png"),
                                                               str(tmp_path / "too-slow.png")]
    killer = WorkerKiller()
    killer.flag_dir = str(tmp_path)
    records = {r["path"]: r for r in analyze(paths, killer, workers=2, max_seconds=3)}
    assert "stopped after 3 s" in records[str(tmp_path / "too-slow.png")]["error"]
    assert sorted(records) == sorted(paths)
    assert (tmp_path / "killed once").exists()
    kill_once = str(tmp_path / "kill-once.png")
    assert records[kill_once]["error"] is None
    assert records[kill_once]["colors"] == expected_record(kill_once, ColorExtractor())["colors"]
    assert "worker process died" in records[str(tmp_path / "kill-always.png")]["error"]
    assert [records[str(catalogue / name)]["error"] for name in GOOD] == [None] * len(GOOD)
    assert [records[path]["error"] for path in quick] == [None] * len(quick)


def test_workers_of_a_run_keep_the_allocator_defaults(client, monkeypatch):
    """Dask's MALLOC_TRIM_THRESHOLD_ (set for the shared cluster's workers, and
    left in this process by its nanny) reaches no worker a run starts."""
    monkeypatch.setenv("MALLOC_TRIM_THRESHOLD_", "65536")
    # os.getenv travels by name and reads the worker's own environment.
    assert set(client.run(os.getenv, "MALLOC_TRIM_THRESHOLD_").values()) == {"65536"}
    cluster = catalog_cluster._start_local_cluster(1)
    try:
        with Client(cluster, set_as_default=False) as own:
            assert list(own.run(os.getenv, "MALLOC_TRIM_THRESHOLD_").values()) == [None]
    finally:
        cluster.close()
    assert os.environ["MALLOC_TRIM_THRESHOLD_"] == "65536"


def test_finding_images(catalogue, monkeypatch):
    monkeypatch.chdir(catalogue)
    top = ["blocks.png", "cutout.png", "empty.png", "gradient.png", "noise.jpg", "notes.png", "truncated.png"]
    assert find_images(["."]) == [os.path.join(".", n) for n in top]
    assert find_images(["."], recursive=True) == sorted([os.path.join(".", n) for n in top] + ["./sub/deep.png"])
    # A file named is taken whatever its extension; the same file twice is one entry.
    assert find_images(["readme.txt", "blocks.png", "./blocks.png", str(catalogue / "blocks.png")]) == \
        ["blocks.png", "readme.txt"]
    assert find_images(["*.jpg", "sub"]) == ["noise.jpg", os.path.join("sub", "deep.png")]
    assert find_images(["**/deep.png"], recursive=True) == [os.path.join("sub", "deep.png")]
    for missing in ["nothing.png", "*.gif"]:
        with pytest.raises(FileNotFoundError, match=r"nothing\.png|\*\.gif"):
            find_images([missing])


@pytest.mark.parametrize("arguments, error, message", [
    (dict(sources="photo.png"), TypeError, "one path"),
    (dict(detailed=True), ValueError, "needs targets"),
    (dict(targets=[("red", (255, 0, 0))]), TypeError, "mapping"),
    (dict(targets={"red": (255, 0)}), ValueError, "three numbers"),
    (dict(targets=TARGETS, similarity_threshold=0), ValueError, "above 0"),
    (dict(targets=TARGETS, similarity_threshold=float("nan")), ValueError, "finite"),
    (dict(max_side=0), ValueError, "max_side"),
    (dict(workers=0), ValueError, "workers"),
    (dict(max_pixels=0), ValueError, "max_pixels"),
    (dict(max_seconds=float("inf")), ValueError, "max_seconds"),
    (dict(threads=1.5), ValueError, "threads"),
    (dict(workers=2, client="tcp://127.0.0.1:1"), ValueError, "not with client"),
    (dict(client=42), TypeError, "Client"),
])
def test_bad_arguments_are_refused_before_any_cluster_starts(arguments, error, message):
    with pytest.raises(error, match=message):
        analyze(**{"sources": ["a.png"], **arguments})


def test_a_scan_takes_every_format_and_skips_link_loops_with_a_note(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    os.makedirs("photos/deep")
    readable = []
    for extension in sorted(IMAGE_EXTENSIONS):  # an image where OpenCV writes the format
        path = f"photos/a{extension}"
        ok, data = cv2.imencode(extension, np.full((3, 4, 3), 90, np.uint8)) if cv2.haveImageWriter(path) \
            else (False, None)
        with open(path, "wb") as file:
            file.write(data.tobytes() if ok else b"")
        if ok:
            readable.append(path)
            assert read_image(path, max_pixels=None)[0].shape == (3, 4, 3), path
    assert {"photos/a.gif", "photos/a.pam"} <= set(readable)
    os.mkfifo("photos/pipe.png")
    os.symlink("loop.png", "photos/loop.png")
    os.symlink("..", "photos/deep/up")  # a loop of folders
    os.symlink("deep", "photos/other")  # a second way into one folder
    undecodable = os.fsdecode(b"photos/deep/caf\xe9.png")  # not UTF-8
    with open(os.fsencode(undecodable), "wb"):
        pass
    for name in ("photos/notes.txt", "photos/deep/more.TXT", "photos/README"):
        open(name, "w").close()
    found = scan(["photos"], recursive=True)
    assert found.images == sorted([f"photos/a{e}" for e in IMAGE_EXTENSIONS] + ["photos/pipe.png", undecodable])
    assert found.skipped == {"": 1, ".txt": 2}
    assert sorted(found.notes) == ["photos/deep/up: leads back to a folder above it (a loop of symbolic links); "
                                   "skipped", "photos/loop.png: a loop of symbolic links; skipped"]
    # Named, a file is taken whatever it is (its record says what is wrong); matched by a pattern,
    # a loop is noted; "**" follows links without going round a loop.
    assert scan(["photos/pipe.png", "photos/loop.png"]).images == ["photos/loop.png", "photos/pipe.png"]
    assert scan(["photos/*.png"]).notes == ["photos/loop.png: a loop of symbolic links; skipped"]
    deep = scan(["photos/**/*.png"], recursive=True)
    assert undecodable in deep.images and "photos/loop.png: a loop of symbolic links; skipped" in deep.notes
    with pytest.warns(UserWarning, match="loop"):
        find_images(["photos"])


@pytest.mark.parametrize("settings", [dict(), dict(algorithm="dbscan", n_colors=3, lab_space=False)],
                         ids=["kmeans", "dbscan-rgb"])
def test_similarity_comes_from_the_first_extraction_as_the_module_computes_it(catalogue, settings):
    """Records equal analyze_color_similarity's, at thresholds around the distances found
    (exactly at one too), with each image clustered once; an extractor whose class
    overrides extract_colors gets the module's own call."""
    clusterings = []

    class Counting(ColorExtractor):
        def _cluster_colors_kmeans(self, pixels):
            clusterings.append(1)
            return super()._cluster_colors_kmeans(pixels)

        def _cluster_colors_dbscan(self, pixels):
            clusterings.append(1)
            return super()._cluster_colors_dbscan(pixels)

    class Overriding(ColorExtractor):
        def extract_colors(self, image, mask=None):
            return super().extract_colors(image, mask)[:2]

    for extractor in (Counting(**settings), Overriding(**settings)):
        for name in GOOD:
            path = str(catalogue / name)
            image, mask = read_image(path)
            colors = ColorExtractor(**settings).extract_colors(image, mask)
            targets = {"first": tuple(colors[0]["color"]) if colors else (1, 2, 3), "red": (220, 30, 30),
                       "grey": (128, 128, 128)}
            exact = extractor._find_closest_color(targets["red"], colors)[1] if colors else 1.0
            for threshold in (4.0, 30, 50.0, exact):
                options = Options(targets=targets, threshold=float(threshold), max_pixels=None, max_seconds=None)
                del clusterings[:]
                record = analyze_file(path, extractor, options)
                assert len(clusterings) <= 1
                expected = plain(extractor.analyze_color_similarity(image, targets, mask, threshold))
                assert json.dumps(record["similarity"]) == json.dumps(expected), (name, threshold)


def test_a_local_cluster_left_without_workers(tmp_path, monkeypatch):
    """When its nannies give up, its workers are started afresh; the next time (past the
    number of restarts allowed) the run stops with a ClusterError.  Closing the cluster
    does not depend on closing its client."""
    monkeypatch.setattr(catalog_driver, "NO_WORKER_SECONDS", 1.0)
    monkeypatch.setattr(catalog_driver, "REVIVALS", 1)
    clusters = []
    start = catalog_cluster._start_local_cluster
    monkeypatch.setattr(catalog_cluster, "_start_local_cluster", lambda n: clusters.append(start(n)) or clusters[-1])
    close = Client.close
    failures = [RuntimeError("closing the client failed")]

    def failing_close(self, *args, **kwargs):
        close(self, *args, **kwargs)
        if failures and clusters and getattr(self, "cluster", None) is clusters[0]:  # not an earlier test's client
            raise failures.pop()

    monkeypatch.setattr(Client, "close", failing_close)
    revived = []

    def revive(*args):
        revived.append(catalog_cluster.revive(*args))
        return revived[-1]

    monkeypatch.setattr(catalog_driver, "revive", revive)

    def lose_every_worker():
        for nanny in list(clusters[0].workers.values()):
            clusters[0].sync(nanny.close)

    path = str(tmp_path / "image.png")
    cv2.imwrite(path, np.full((5, 5, 3), 60, np.uint8))
    records = analyze(itertools.repeat(path), ColorExtractor(algorithm="dbscan"), workers=1)
    assert next(records)["error"] is None
    lose_every_worker()
    while not revived:  # records analysed before the loss may still come
        assert next(records)["error"] is None
    assert revived == [True] and next(records)["error"] is None
    lose_every_worker()
    with pytest.raises(RuntimeError, match="closing the client failed") as failure:
        for _ in range(10_000):
            next(records)
    assert isinstance(failure.value.__context__, ClusterError)
    assert "restarted 1 time" in str(failure.value.__context__)
    assert clusters[0].status.name == "closed"
