"""`chromalens batch`: a scheduler and two workers started as separate
processes, used through --scheduler; whole lines, resume, exit status."""

import io
import json
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import time

import cv2
import numpy as np
import pytest

pytest.importorskip("distributed")
from distributed import Client  # noqa: E402

from chromalens import ColorExtractor  # noqa: E402
from chromalens.catalog.lock import holding_lock, lock_path  # noqa: E402
from chromalens.catalog.task import Options, setting_values  # noqa: E402
from chromalens.cli.progress import Progress  # noqa: E402
from chromalens.cli import main  # noqa: E402
from helpers import BAD_FILES, GOOD_IMAGES, expected_record, write_catalogue  # noqa: E402


def _stop(process):
    """Ends a process started here, and whatever it started in its session."""
    if process.poll() is None:
        os.killpg(process.pid, signal.SIGTERM)
        try:
            process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()


def start_dask(folder, workers, processes):
    """A `dask scheduler` and `workers` `dask worker` processes on 127.0.0.1 (appended to
    `processes`, to be stopped by the caller); the scheduler's address once they are up."""
    address_file = str(folder / "scheduler.json")
    dask = [sys.executable, "-m", "dask"]
    quiet = dict(cwd=folder, start_new_session=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    processes.append(subprocess.Popen(
        dask + ["scheduler", "--host", "127.0.0.1", "--port", "0", "--dashboard-address", "127.0.0.1:0",
                "--scheduler-file", address_file], **quiet))
    for _ in range(workers):
        processes.append(subprocess.Popen(
            dask + ["worker", "--scheduler-file", address_file, "--host", "127.0.0.1", "--nthreads", "1",
                    "--memory-limit", "3GiB",
                    "--dashboard-address", "127.0.0.1:0"], **quiet))
    deadline = time.monotonic() + 60
    while not os.path.exists(address_file):
        assert time.monotonic() < deadline, "the scheduler did not start"
        time.sleep(0.2)
    with Client(scheduler_file=address_file, set_as_default=False, timeout=60) as client:
        client.wait_for_workers(workers, timeout=90)
        return client.scheduler.address


@pytest.fixture(scope="module")
def scheduler(tmp_path_factory):
    """The address of a `dask scheduler` with two `dask worker` processes, all on 127.0.0.1."""
    processes = []
    try:
        yield start_dask(tmp_path_factory.mktemp("dask"), 2, processes)
    finally:
        for process in reversed(processes):
            _stop(process)


@pytest.fixture(scope="module")
def catalogue(tmp_path_factory):
    return write_catalogue(tmp_path_factory.mktemp("catalogue"))


def read_lines(path):
    text = path.read_text()
    assert text.endswith("\n")
    return [json.loads(line) for line in text.splitlines()]


def batch(*args, capsys=None):
    status = main(["batch", *map(str, args)])
    return status, (capsys.readouterr().err if capsys else "")


def test_a_catalogue_on_a_scheduler_and_two_workers(scheduler, catalogue, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(catalogue)
    out = tmp_path / "results.jsonl"
    status, err = batch(".", "--recursive", "--out", out, "--scheduler", scheduler, "--algorithm", "dbscan",
                        "--target", "red=#dc1e1e", "--target", "leaf=20,140,20", "--threshold", "40", capsys=capsys)
    assert status == 1  # the broken files failed
    records = {os.path.relpath(r["path"]): r for r in read_lines(out)}
    assert len(records) == len(read_lines(out)) == len(GOOD_IMAGES) + len(BAD_FILES)
    targets = {"red": (220, 30, 30), "leaf": (20, 140, 20)}
    for name in GOOD_IMAGES:
        expected = expected_record(name, ColorExtractor(algorithm="dbscan"), targets, threshold=40.0)
        assert {key: records[name][key] for key in expected} == expected
    assert all(records[name]["error"] for name in BAD_FILES)
    # Not a terminal: no progress bar, one summary line.
    assert err.splitlines() == [err.strip()] and "5 analysed, 3 failed" in err and str(out) in err
    assert "1 skipped: not an image type (.txt)" in err


def test_resume_after_a_cut_off_file(scheduler, catalogue, tmp_path, capsys):
    images = [str(catalogue / name) for name in GOOD_IMAGES]
    out = tmp_path / "results.jsonl"
    assert batch(*images, "--out", out, "--scheduler", scheduler, capsys=capsys)[0] == 0
    whole = out.read_bytes().splitlines(keepends=True)
    # As a client killed mid-write leaves it: two whole lines and part of a third.
    out.write_bytes(b"".join(whole[:2]) + whole[2][:17])
    status, err = batch(*images, "--out", out, "--resume", "--scheduler", scheduler, capsys=capsys)
    assert status == 0 and "2 recorded before" in err and "dropped its partial last line" in err
    records = read_lines(out)
    assert out.read_bytes().startswith(b"".join(whole[:2]))
    assert sorted(r["path"] for r in records) == sorted(images)
    def timeless(record):
        return json.dumps({key: value for key, value in record.items() if key != "seconds"})

    assert sorted(map(timeless, records)) == sorted(timeless(json.loads(line)) for line in whole)
    # Nothing left to do: the file stays as it is.
    before = out.read_bytes()
    assert batch(*images, "--out", out, "--resume", "--scheduler", scheduler, capsys=capsys)[0] == 0
    assert out.read_bytes() == before


@pytest.mark.parametrize("stop, status, message", [
    (signal.SIGINT, 130, "interrupted"), (signal.SIGTERM, 143, "terminated"), (signal.SIGKILL, -9, None),
], ids=["ctrl-c", "terminated", "killed"])
def test_an_interrupted_run_leaves_whole_lines(scheduler, tmp_path, stop, status, message):
    """Ctrl-C reaches the whole process group, as on a terminal, with the run's own local
    cluster: no worker prints a traceback.  SIGTERM is told as Ctrl-C is."""
    rng = np.random.default_rng(5)
    images = []
    for number in range(24):
        images.append(str(tmp_path / f"photo{number:02d}.png"))
        cv2.imwrite(images[-1], rng.integers(0, 256, (120, 160, 3)).astype(np.uint8))
    out = tmp_path / "results.jsonl"
    cluster = ["--workers", "1"] if stop == signal.SIGINT else ["--scheduler", scheduler]
    command = [sys.executable, "-m", "chromalens", "batch", str(tmp_path), "--out", str(out), *cluster]
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True,
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        deadline = time.monotonic() + 120
        while not (out.exists() and out.stat().st_size > 0):
            assert process.poll() is None and time.monotonic() < deadline, "no record was written"
            time.sleep(0.01)
        if stop == signal.SIGINT:
            os.killpg(process.pid, stop)
        else:
            process.send_signal(stop)
        assert process.wait(timeout=60) == status
        err = process.stderr.read().decode()
    finally:
        _stop(process)
        process.stderr.close()
    if message is not None:
        assert err.splitlines() == [f"chromalens: {message}; {out} holds whole records: run again with --resume "
                                    "to finish"]
    text = out.read_text()
    lines = text.splitlines(keepends=True)
    assert all(json.loads(line)["error"] is None for line in lines if line.endswith("\n"))
    assert main(["batch", str(tmp_path), "--out", str(out), "--resume", "--scheduler", scheduler]) == 0
    assert sorted(r["path"] for r in read_lines(out)) == images


@pytest.mark.parametrize("args, message", [
    (["--detailed"], "--detailed measures target colours"),
    (["--threshold", "20"], "--threshold applies to target colours"),
    (["-t", "red=#ff0000", "--threshold", "0"], "must be a number above 0"),
    (["-t", "red=#ff0000", "--threshold", "inf"], "finite"),
    (["-t", "red=#ff0000", "--detailed", "--threshold", "20"], "not to --detailed"),
    (["-t", "red=#ff0000", "-t", "red=1,2,3"], "more than once: red"),
    (["-t", "reddish"], "CSS colour name"),
    (["--workers", "2", "--scheduler", "tcp://127.0.0.1:1"], "not with --scheduler"),
    (["--workers", "0"], "between 1"),
    (["--max-side", "-3"], "between 1"),
    (["--max-pixels", "-5"], "must be a positive integer, or 0 or 'none'"),
    (["--max-seconds", "-1"], "must be a number of seconds, or 0 or 'none'"),
    (["--threads", "0"], "between 1"),
    (["--retry-failed"], "give --resume too"),
])
def test_bad_usage_exits_2(catalogue, tmp_path, capsys, args, message):
    status, err = batch(catalogue / "blocks.png", "--out", tmp_path / "out.jsonl", *args, capsys=capsys)
    assert status == 2 and message in err
    assert not (tmp_path / "out.jsonl").exists()


def test_paths_and_results_files_that_cannot_be_used(catalogue, tmp_path, capsys):
    """Refused before any cluster starts: one line each, nothing written."""
    out = tmp_path / "out.jsonl"
    status, err = batch(catalogue / "missing.png", "--out", out, capsys=capsys)
    assert status == 2 and "no such file or directory" in err and not out.exists()
    out.write_text('{"path": "a.png"}\n')
    status, err = batch(catalogue / "blocks.png", "--out", out, capsys=capsys)
    assert status == 2 and "--resume" in err and out.read_text() == '{"path": "a.png"}\n'
    (tmp_path / "empty folder").mkdir()
    status, err = batch(tmp_path / "empty folder", "--out", tmp_path / "new.jsonl", capsys=capsys)
    assert status == 1 and "no image files" in err
    fifo = tmp_path / "fifo.jsonl"
    os.mkfifo(fifo)
    for special in (fifo, "/dev/zero"):
        status, err = batch(catalogue / "blocks.png", "--out", special, "--resume", capsys=capsys)
        assert status == 1 and err == f"chromalens: error: {special} is not a regular file; not continuing it\n"
    # Another run holds the file: the message says which.
    with holding_lock(str(out)):
        status, err = batch(catalogue / "blocks.png", "--out", out, "--resume", capsys=capsys)
    assert status == 1 and f"pid {os.getpid()} on {socket.gethostname()}" in err
    assert not os.path.exists(lock_path(str(out)))
    # Records made with other settings: refused, saying what differs.
    record = expected_record(str(catalogue / "blocks.png"), ColorExtractor(n_colors=3))
    record.update(path=str(catalogue / "blocks.png"), error=None,
                  settings=setting_values(ColorExtractor(n_colors=3), Options()))
    out.write_text(json.dumps(record) + "\n")
    status, err = batch(catalogue / "blocks.png", "--out", out, "--resume", "-t", "red=#ff0000", capsys=capsys)
    assert status == 2 and err == (f"chromalens: error: {out} holds records made with --colors 3, no --target, "
                                   "no --threshold; this run asks for --colors 5, -t red=#ff0000, --threshold 50. "
                                   "Give the same options to continue it, or write to another file\n")


def test_resume_from_any_folder_through_any_link_keeps_one_record_per_image(scheduler, tmp_path, monkeypatch,
                                                                              capsys):
    """Records are known by their files' real paths; lines a results file should not hold are
    dropped and listed; --retry-failed analyses error records again."""
    folder = tmp_path / "work" / "imgs"
    folder.mkdir(parents=True)
    for number in range(3):
        cv2.imwrite(str(folder / f"{number}.png"), np.full((6, 6, 3), 40 * number, np.uint8))
    out = tmp_path / "r.jsonl"
    monkeypatch.chdir(tmp_path / "work")
    assert batch("imgs", "--out", out, "--scheduler", scheduler, capsys=capsys)[0] == 0
    monkeypatch.chdir(tmp_path)
    os.symlink("work", "link")
    good = out.read_bytes()
    first = json.loads(good.splitlines()[0])
    broken = {**first, "path": "elsewhere/0.png", "colors": None, "error": "a worker process died"}
    out.write_bytes(json.dumps(broken).encode() + b"\n" + good + b"\n".join([
        json.dumps({**first, "path": "work/imgs/0.png"}).encode(),  # the same image again
        b"", b"not json", b'{"path": null}', json.dumps({**first, "similarity": [1]}).encode(),
        b'{"path": "partial.png", "wid']))
    for spelling in ("work/imgs", "link/imgs", str(folder)):
        status, err = batch(spelling, "--out", out, "--resume", capsys=capsys)
        assert status == 0 and "3 images, all recorded before: 3 analysed" in err
    assert err.startswith(f"chromalens: {out}: dropped ") is False  # the file was repaired the first time
    assert out.read_bytes() == good
    # A failed record, then --retry-failed: analysed again, once.
    out.write_bytes(json.dumps(broken).encode() + b"\n" + b"".join(good.splitlines(keepends=True)[1:]))
    status, err = batch("link/imgs", "--out", out, "--resume", capsys=capsys)
    assert status == 1 and "3 images, all recorded before: 2 analysed, 1 failed (--resume --retry-failed" in err
    status, err = batch("link/imgs", "--out", out, "--resume", "--retry-failed", "--scheduler", scheduler,
                        capsys=capsys)
    assert status == 0 and f"{out}: dropped 1 failed record to analyse again (line 1)" in err
    records = read_lines(out)
    assert sorted(r["real_path"] for r in records) == sorted(os.path.realpath(folder / f"{n}.png") for n in range(3))
    assert all(r["error"] is None for r in records)


def test_repairs_are_reported_with_line_numbers(catalogue, tmp_path, capsys):
    images = [str(catalogue / name) for name in GOOD_IMAGES[:2]]
    lines = [json.dumps({**expected_record(path, ColorExtractor()), "path": path, "error": None}) for path in images]
    out = tmp_path / "r.jsonl"
    out.write_text("\n".join([lines[0], lines[0], "", "[1]", lines[1], '{"path": 3}', lines[1]]) + "\n" + '{"pa')
    status, err = batch(*images, "--out", out, "--resume", capsys=capsys)
    assert status == 0 and err.splitlines()[0] == (
        f"chromalens: {out}: dropped 2 second records of images (lines 2, 7), 3 lines that are no record "
        "(lines 3, 4, 6) and its partial last line (an interrupted write)")
    assert out.read_text() == lines[0] + "\n" + lines[1] + "\n"


def test_hostile_files_get_records_and_named_ones_too(scheduler, tmp_path, monkeypatch, capsys):
    """Files a folder scan used to leave out or mishandle: all analysed or given an error record
    saying why (limits named as the command line's options); loops noted; other types counted."""
    monkeypatch.chdir(tmp_path)
    os.mkdir("bad")
    picture = np.random.default_rng(2).integers(0, 256, (20, 30, 3)).astype(np.uint8)
    cv2.imwrite("bad/anim.gif", picture)
    pam = cv2.imencode(".pam", picture)[1].tobytes()
    with open("bad/commented.pam", "wb") as file:  # comment lines that look like fields
        file.write(pam.replace(b"\n", b"\n# WIDTH 1\n# HEIGHT 1\n", 1))
    with open(os.fsencode(os.fsdecode(b"bad/caf\xe9.png")), "wb") as file:  # a name that is not UTF-8
        file.write(cv2.imencode(".png", picture)[1].tobytes())
    os.mkfifo("bad/fifo.png")
    forged = bytearray(cv2.imencode(".jpg", picture)[1].tobytes())  # 13000 x 13000 in its header
    struct.pack_into(">HH", forged, forged.find(b"\xff\xc0") + 5, 13000, 13000)
    open("bad/forged.jpg", "wb").write(forged)
    os.symlink("loop.png", "bad/loop.png")
    open("bad/notes.txt", "w").close()
    status, err = batch("bad", "--out", "r.jsonl", "--scheduler", scheduler, "--max-pixels", "1000", capsys=capsys)
    assert status == 1
    assert err.splitlines()[0] == "chromalens: note: bad/loop.png: a loop of symbolic links; skipped"
    assert "5 images: 3 analysed, 2 failed" in err and "1 skipped: not an image type (.txt)" in err
    records = {r["path"]: r for r in read_lines(tmp_path / "r.jsonl")}
    assert [records[name]["width"] for name in ("bad/anim.gif", "bad/commented.pam",
                                                os.fsdecode(b"bad/caf\xe9.png"))] == [30, 30, 30]
    assert "not a regular file" in records["bad/fifo.png"]["error"]
    assert "13000 x 13000 = 169,000,000 pixels, more than the limit of 1,000 (a possible decompression bomb); " \
           "pass --max-pixels with a larger number, or --max-pixels 0 to lift the limit" in \
           records["bad/forged.jpg"]["error"]
    # Named files are taken as they are; without a pixel limit the forged JPEG is refused for its data.
    status, err = batch("bad/fifo.png", "bad/forged.jpg", "--out", "named.jsonl", "--scheduler", scheduler,
                        "--max-pixels", "none", capsys=capsys)
    assert status == 1 and "2 images: 0 analysed, 2 failed" in err
    named = {r["path"]: r for r in read_lines(tmp_path / "named.jsonl")}
    assert "too short for the size its header declares" in named["bad/forged.jpg"]["error"]


def test_a_shared_cluster_is_left_as_it_was(scheduler, tmp_path, capsys):
    """Thread limits and OpenCV's log level are put back after every task, no plugin or task
    stays behind, and an image over the time limit is stopped by restarting its worker."""
    def worker_state():  # with the libraries an analysis loads, so that a new worker compares too
        import cv2
        from threadpoolctl import threadpool_info

        from chromalens import ColorExtractor

        ColorExtractor().extract_colors(np.random.default_rng(0).integers(0, 256, (20, 20, 3), np.uint8))

        return (cv2.getNumThreads(), cv2.utils.logging.getLogLevel(),
                sorted(pool["num_threads"] for pool in threadpool_info()))

    def plugins(dask_worker):
        return sorted(dask_worker.plugins)

    with Client(scheduler, set_as_default=False) as client:
        before = sorted(client.run(worker_state).values())
        plugins_before = sorted(client.run(plugins).values())
        noise = str(tmp_path / "noise.png")
        cv2.imwrite(noise, np.random.default_rng(4).integers(0, 256, (1500, 1500, 3)).astype(np.uint8))
        quick = str(tmp_path / "quick.png")
        cv2.imwrite(quick, np.full((5, 5, 3), 9, np.uint8))
        status, err = batch(noise, quick, "--out", tmp_path / "r.jsonl", "--scheduler", scheduler, "--threads", "1",
                            "--max-seconds", "2", capsys=capsys)
        records = {r["path"]: r for r in read_lines(tmp_path / "r.jsonl")}
        assert status == 1 and records[quick]["error"] is None
        assert records[noise]["error"].startswith("stopped after 2 s, the time --max-seconds allows per image")
        client.wait_for_workers(2, timeout=120)
        assert sorted(client.run(worker_state).values()) == before
        assert sorted(client.run(plugins).values()) == plugins_before
        left = client.run_on_scheduler(lambda dask_scheduler: [str(key) for key in dask_scheduler.tasks])
        assert not [key for key in left if "chromalens" in key]


def test_a_lost_scheduler_is_told_in_one_line(tmp_path):
    processes = []
    try:
        address = start_dask(tmp_path, 1, processes)
        images = []
        for number in range(40):
            images.append(str(tmp_path / f"photo{number:02d}.png"))
            cv2.imwrite(images[-1], np.random.default_rng(number).integers(0, 256, (90, 120, 3)).astype(np.uint8))
        out = tmp_path / "r.jsonl"
        run = subprocess.Popen([sys.executable, "-m", "chromalens", "batch", *images, "--out", str(out),
                                "--scheduler", address], stderr=subprocess.PIPE, start_new_session=True)
        processes.append(run)
        deadline = time.monotonic() + 120
        while not (out.exists() and out.stat().st_size > 0):
            assert run.poll() is None and time.monotonic() < deadline, "no record was written"
            time.sleep(0.05)
        os.killpg(processes[0].pid, signal.SIGKILL)
        assert run.wait(timeout=120) == 1
        err = run.stderr.read().decode()
        run.stderr.close()
    finally:
        for process in reversed(processes):
            _stop(process)
    # The loss is seen by whichever call reaches the scheduler first; some name what they lost.
    lines = err.splitlines()
    assert len(lines) == 1 and re.fullmatch(
        rf"chromalens: lost contact with the Dask scheduler at {re.escape(address)}( \(.*\))?; the run stopped; "
        rf"{re.escape(str(out))} holds whole records: run again with --resume to finish", lines[0]), lines


def test_t_means_target_in_both_commands(catalogue, capsys):
    """-t gives a target to batch and to match; match still takes -t NUMBER as its threshold."""
    image = str(catalogue / "blocks.png")
    outputs = []
    for arguments in (["red=#dc1e1e", "--threshold", "20"], ["-t", "red=#dc1e1e", "-t", "20"]):
        assert main(["match", image, *arguments, "--json"]) == 0
        outputs.append(capsys.readouterr().out)
    assert outputs[0] == outputs[1]


@pytest.mark.parametrize("target, expected_status", [("red=#dc1e1e", 0), ("violet=#8000ff", 1)])
def test_exit_status_says_whether_a_target_was_found(scheduler, catalogue, tmp_path, capsys, target, expected_status):
    out = tmp_path / "out.jsonl"
    status, err = batch(catalogue / "blocks.png", "--out", out, "-t", target, "--threshold", "30",
                        "--scheduler", scheduler, capsys=capsys)
    assert status == expected_status
    assert ("no target colour found" in err) == (expected_status == 1)


def test_without_dask_it_says_how_to_install_it(catalogue, tmp_path):
    code = ("import sys; sys.modules['distributed'] = None; from chromalens.cli import main; "
            f"sys.exit(main(['batch', {str(catalogue)!r}, '--out', {str(tmp_path / 'o.jsonl')!r}]))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 2
    assert "pip install 'chromalens[batch]'" in done.stderr and len(done.stderr.splitlines()) == 1


class Terminal(io.StringIO):
    def isatty(self):
        return True


class Clock:
    """A stand-in for time.monotonic that moves only when told."""

    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now


@pytest.mark.parametrize("environment, colour", [({}, True), ({"NO_COLOR": "1"}, False), ({"TERM": "dumb"}, False)])
@pytest.mark.parametrize("columns", [12, 40, 80, 200])
def test_progress_bar_fits_the_terminal(monkeypatch, environment, colour, columns):
    monkeypatch.delenv("NO_COLOR", raising=False)
    monkeypatch.setenv("TERM", "xterm")
    monkeypatch.setenv("COLUMNS", str(columns))
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    clock = Clock()
    monkeypatch.setattr("chromalens.cli.progress.time.monotonic", clock)
    stream = Terminal()
    progress = Progress(stream, total=1000)
    clock.now += 10.0  # the cluster's start
    for number in range(121):
        clock.now += 0.1
        progress.update(failed=number % 40 == 0)
    drawn = stream.getvalue().split("\r")[-1]
    assert ("\x1b[31m" in drawn) == (colour and columns >= 40)
    plain = drawn.replace("\x1b[31m", "").replace("\x1b[0m", "")
    assert len(plain) == columns - 1
    if columns >= 40:
        assert "121/1000" in plain and "22s" in plain and "4 failed" in plain
    if columns >= 80:  # ten images a second since the first one: 879 left take about 88 s
        assert "10.0 img/s" in plain and "~1m28s left" in plain
    progress.clear()
    assert stream.getvalue().endswith("\r" + " " * (columns - 1) + "\r")


def test_progress_estimates_only_after_a_few_images_and_keeps_the_time_moving(monkeypatch):
    monkeypatch.setenv("COLUMNS", "80")
    clock = Clock()
    monkeypatch.setattr("chromalens.cli.progress.time.monotonic", clock)
    progress = Progress(Terminal(), total=100)
    clock.now += 30.0
    for _ in range(4):  # four images at once, then nothing for a while: no estimate from that
        progress.update(failed=False)
    assert "left" not in progress.line(79, clock.now + 20)
    for _ in range(6):
        clock.now += 1.0
        progress.update(failed=False)
    assert "1.5 img/s  ~1m00s left" in progress.line(79, clock.now)  # 9 more images in 6 seconds
    stream = Terminal()
    ticking = Progress(stream, total=10)
    ticking.TICK = 0.01
    ticking.start()
    clock.now += 61
    deadline = time.monotonic() + 30
    while "1m01s" not in stream.getvalue():
        assert time.monotonic() < deadline, "the time so far was not redrawn"
        time.sleep(0.01)
    ticking.clear()
    assert stream.getvalue().endswith("\r" + " " * 79 + "\r")


def test_no_progress_bar_off_a_terminal():
    stream = io.StringIO()
    progress = Progress(stream, total=3)
    progress.start()
    for _ in range(3):
        progress.update(failed=False)
    progress.clear()
    assert stream.getvalue() == ""
