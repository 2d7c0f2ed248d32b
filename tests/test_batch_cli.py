"""`chromalens batch`: a scheduler and two workers started as separate
processes, used through --scheduler; whole lines, resume, exit status."""

import io
import json
import os
import signal
import subprocess
import sys
import time

import cv2
import numpy as np
import pytest

pytest.importorskip("distributed")
from distributed import Client  # noqa: E402

from chromalens import ColorExtractor  # noqa: E402
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


@pytest.fixture(scope="module")
def scheduler(tmp_path_factory):
    """The address of a `dask scheduler` with two `dask worker` processes, all on 127.0.0.1."""
    folder = tmp_path_factory.mktemp("dask")
    address_file = str(folder / "scheduler.json")
    dask = [sys.executable, "-m", "dask"]
    processes = []
    try:
        processes.append(subprocess.Popen(
            dask + ["scheduler", "--host", "127.0.0.1", "--port", "0", "--dashboard-address", "127.0.0.1:0",
                    "--scheduler-file", address_file],
            cwd=folder, start_new_session=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        for _ in range(2):
            processes.append(subprocess.Popen(
                dask + ["worker", "--scheduler-file", address_file, "--host", "127.0.0.1", "--nthreads", "1",
                        "--dashboard-address", "127.0.0.1:0"],
                cwd=folder, start_new_session=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        deadline = time.monotonic() + 60
        while not os.path.exists(address_file):
            assert time.monotonic() < deadline, "the scheduler did not start"
            time.sleep(0.2)
        with Client(scheduler_file=address_file, set_as_default=False, timeout=60) as client:
            client.wait_for_workers(2, timeout=90)
            address = client.scheduler.address
        yield address
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


def test_resume_after_a_cut_off_file(scheduler, catalogue, tmp_path, capsys):
    images = [str(catalogue / name) for name in GOOD_IMAGES]
    out = tmp_path / "results.jsonl"
    assert batch(*images, "--out", out, "--scheduler", scheduler, capsys=capsys)[0] == 0
    whole = out.read_bytes().splitlines(keepends=True)
    # As a client killed mid-write leaves it: two whole lines and part of a third.
    out.write_bytes(b"".join(whole[:2]) + whole[2][:17])
    status, err = batch(*images, "--out", out, "--resume", "--scheduler", scheduler, capsys=capsys)
    assert status == 0 and "2 recorded before" in err
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


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGKILL], ids=["ctrl-c", "killed"])
def test_an_interrupted_run_leaves_whole_lines(scheduler, tmp_path, stop):
    rng = np.random.default_rng(5)
    images = []
    for number in range(24):
        images.append(str(tmp_path / f"photo{number:02d}.png"))
        cv2.imwrite(images[-1], rng.integers(0, 256, (120, 160, 3)).astype(np.uint8))
    out = tmp_path / "results.jsonl"
    command = [sys.executable, "-m", "chromalens", "batch", str(tmp_path), "--out", str(out), "--scheduler", scheduler]
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
    try:
        deadline = time.monotonic() + 60
        while not (out.exists() and out.stat().st_size > 0):
            assert process.poll() is None and time.monotonic() < deadline, "no record was written"
            time.sleep(0.01)
        process.send_signal(stop)
        status = process.wait(timeout=30)
        err = process.stderr.read().decode()
    finally:
        _stop(process)
        process.stderr.close()
    if stop == signal.SIGINT:
        assert status == 130 and "--resume" in err
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
])
def test_bad_usage_exits_2(catalogue, tmp_path, capsys, args, message):
    status, err = batch(catalogue / "blocks.png", "--out", tmp_path / "out.jsonl", *args, capsys=capsys)
    assert status == 2 and message in err
    assert not (tmp_path / "out.jsonl").exists()


def test_paths_and_results_files_that_cannot_be_used(catalogue, tmp_path, capsys):
    out = tmp_path / "out.jsonl"
    status, err = batch(catalogue / "missing.png", "--out", out, capsys=capsys)
    assert status == 2 and "no such file or directory" in err and not out.exists()
    out.write_text('{"path": "a.png"}\n')
    status, err = batch(catalogue / "blocks.png", "--out", out, capsys=capsys)
    assert status == 2 and "--resume" in err and out.read_text() == '{"path": "a.png"}\n'
    out.write_text('{"path": "a.png"}\nnot json\n{"path": "b.png"}\n')
    status, err = batch(catalogue / "blocks.png", "--out", out, "--resume", capsys=capsys)
    assert status == 1 and "line 2" in err
    (tmp_path / "empty folder").mkdir()
    status, err = batch(tmp_path / "empty folder", "--out", tmp_path / "new.jsonl", capsys=capsys)
    assert status == 1 and "no image files" in err


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


@pytest.mark.parametrize("environment, colour", [({}, True), ({"NO_COLOR": "1"}, False), ({"TERM": "dumb"}, False)])
@pytest.mark.parametrize("columns", [12, 40, 80, 200])
def test_progress_bar_fits_the_terminal(monkeypatch, environment, colour, columns):
    monkeypatch.delenv("NO_COLOR", raising=False)
    monkeypatch.setenv("TERM", "xterm")
    monkeypatch.setenv("COLUMNS", str(columns))
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    stream = Terminal()
    progress = Progress(stream, total=1000)
    progress.started -= 10.0
    for number in range(120):
        progress.update(failed=number % 40 == 0)
    progress.drawn_at = None
    progress.update(failed=False)
    drawn = stream.getvalue().split("\r")[-1]
    assert ("\x1b[31m" in drawn) == (colour and columns >= 40)
    plain = drawn.replace("\x1b[31m", "").replace("\x1b[0m", "")
    assert len(plain) == columns - 1
    if columns >= 40:
        assert "121/1000" in plain and "3 failed" in plain and "left" in plain
    progress.clear()
    assert stream.getvalue().endswith("\r" + " " * (columns - 1) + "\r")


def test_no_progress_bar_off_a_terminal():
    stream = io.StringIO()
    progress = Progress(stream, total=3)
    for _ in range(3):
        progress.update(failed=False)
    progress.clear()
    assert stream.getvalue() == ""
