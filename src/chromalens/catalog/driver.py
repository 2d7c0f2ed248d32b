"""The catalogue driver: a bounded window of tasks on a Dask cluster, and their outcomes."""

import contextlib
import dataclasses
import itertools
import math
import os
import queue
import statistics
import time
import uuid
from collections import deque
from typing import Any, Deque, Dict, Generator, Iterable, Iterator, List, Mapping, Optional, Tuple, Union

try:
    from distributed import Client, LocalCluster, TimeoutError as DaskTimeoutError
    from distributed.comm.core import CommClosedError
    from distributed.scheduler import KilledWorker
except ImportError as error:  # pragma: no cover - depends on what is installed
    raise ImportError(
        "chromalens.catalog.analyze needs Dask distributed; install it with: pip install 'chromalens[batch]'",
        name="distributed") from error

from chromalens import ColorExtractor
from chromalens._text import one_line
from chromalens.catalog.cluster import ClusterError, connect, revive, stranded, threads_by_host, worker_count
from chromalens.catalog.paths import real_path
from chromalens.catalog.task import (MAX_PIXELS, MAX_SECONDS, Options, analyze_files, blank_record, running_images,
                                     setting_values, time_limit_error)

__all__ = ["ClusterError", "analyze", "catalogue", "make_options"]

# How many rounds an image whose worker died gets before its record says so.
KILLED_ROUNDS = 2
# Tasks in flight per worker thread: enough to keep every worker busy while
# the client handles a result, few enough that the client holds little.
WINDOW_PER_THREAD = 2
# Images per task: as many as take about TASK_SECONDS on a worker, judged
# from the images done so far, and at most MAX_BATCH.  Dask spends a few
# milliseconds on each task, which is most of the time of a small image.
TASK_SECONDS = 0.25
MAX_BATCH = 64
# While it waits for results the run looks at its cluster every TICK seconds:
# images over their time, and a local cluster left without any worker, and
# without any nanny starting one, for NO_WORKER_SECONDS: its workers are then
# started afresh (at most REVIVALS times, each given START_SECONDS to come
# up) before the run gives up.
TICK = 1.0
NO_WORKER_SECONDS = 10.0
REVIVALS = 2
START_SECONDS = 120.0
# What a lost scheduler looks like to the client.
_LOST = (CommClosedError, OSError, DaskTimeoutError)


def _positive(name: str, value: Any, kind: type = int) -> Any:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float) if kind is float else int) or \
            not (value > 0 and math.isfinite(value)):
        what = "number" if kind is float else "integer"
        raise ValueError(f"{name} must be a positive {what} or None, got {value!r}")
    return value


def make_options(targets: Optional[Mapping[str, Any]] = None, detailed: bool = False,
                 similarity_threshold: float = 50.0, max_side: Optional[int] = None, use_alpha: bool = True,
                 max_pixels: Optional[int] = MAX_PIXELS, max_seconds: Optional[float] = MAX_SECONDS,
                 threads: Optional[int] = None, command_line: bool = False) -> Options:
    """The checked options of a run, as ``analyze`` takes them."""
    if targets is not None:
        if not isinstance(targets, Mapping):
            raise TypeError(f"targets must be a mapping of names to RGB colours, got {type(targets).__name__}")
        # Any three-number sequence: the dominant-colour match takes tuples only.
        targets = {name: tuple(rgb) for name, rgb in targets.items()}
        for name, rgb in targets.items():
            if len(rgb) != 3:
                raise ValueError(f"target {name!r} must be three numbers (R, G, B), got {rgb!r}")
    elif detailed:
        raise ValueError("detailed matching needs targets")
    threshold = float(similarity_threshold)
    if not (math.isfinite(threshold) and threshold > 0):
        raise ValueError(f"similarity_threshold must be a finite number above 0, got {similarity_threshold!r}")
    return Options(targets, bool(detailed), threshold, _positive("max_side", max_side),
                   bool(use_alpha), _positive("max_pixels", max_pixels),
                   None if max_seconds is None else float(_positive("max_seconds", max_seconds, float)),
                   _positive("threads", threads), command_line)


def analyze(sources: Iterable[Union[str, "os.PathLike[str]"]], extractor: Optional[ColorExtractor] = None, *,
            targets: Optional[Mapping[str, Any]] = None, detailed: bool = False,
            similarity_threshold: float = 50.0, max_side: Optional[int] = None, use_alpha: bool = True,
            max_pixels: Optional[int] = MAX_PIXELS, max_seconds: Optional[float] = MAX_SECONDS,
            threads: Optional[int] = None, client: Union[Client, str, None] = None,
            workers: Optional[int] = None) -> Generator[Dict[str, Any], None, None]:
    """A generator of records, one per image file of `sources`, in the order results arrive.

    `sources`: image file paths (``find_images`` turns directories and
    patterns into them).  `extractor`: the extractor to run (default
    ``ColorExtractor()``); a subclass works when the workers can import it.
    `targets`: ``{name: (r, g, b)}`` to measure with
    ``analyze_color_similarity`` (threshold `similarity_threshold`), or with
    ``find_color_matches`` when `detailed`.  `max_side`, `use_alpha`: as
    ``read_image`` takes them.  `max_pixels`: larger images (by their header)
    get an error record; `max_seconds`: an image still analysed after that
    long is stopped (its worker process restarted) and gets an error record;
    None lifts either limit.  `threads`: native threads per analysis (default:
    each machine's cores over its worker threads).  `client`: a
    ``distributed.Client`` or a scheduler address such as
    ``"tcp://10.0.0.5:8786"``; the workers read the paths themselves, so they
    need the same files.  Default: a local cluster of `workers`
    single-threaded processes (default: one per core), closed when the
    generator finishes or is closed.  Raises ClusterError (from
    ``chromalens.catalog.cluster``) when the cluster cannot carry on.
    """
    if isinstance(sources, (str, bytes, os.PathLike)):
        raise TypeError(f"sources must be an iterable of paths, got one path: give [{sources!r}]")
    options = make_options(targets, detailed, similarity_threshold, max_side, use_alpha, max_pixels, max_seconds,
                           threads)
    if workers is not None:
        if client is not None:
            raise ValueError("workers applies to the local cluster; not with client")
        if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
            raise ValueError(f"workers must be a positive integer, got {workers!r}")
    if client is not None and not isinstance(client, (str, Client)):
        raise TypeError(f"client must be a distributed.Client or a scheduler address, got {type(client).__name__}")
    return catalogue(sources, extractor, options, client, workers)


def catalogue(sources: Iterable[Any], extractor: Optional[ColorExtractor], options: Options,
              client: Union[Client, str, None] = None,
              workers: Optional[int] = None) -> Generator[Dict[str, Any], None, None]:
    """`analyze` with options made by `make_options`."""
    extractor = ColorExtractor() if extractor is None else extractor
    with contextlib.ExitStack() as stack:
        dask_client, cluster = connect(stack, client, workers)
        try:
            if options.threads is None:
                options = dataclasses.replace(options, threads=threads_by_host(dask_client))
            run = _Run(dask_client, cluster, workers, iter(sources), extractor, options)
            if cluster is None:
                # A shared cluster: take back what this run leaves queued, however it ends.
                stack.callback(run.cancel_all)
            yield from run.records()
        except _LOST as error:
            if dask_client.status == "running" and not isinstance(error, CommClosedError):
                raise
            raise ClusterError(f"lost contact with the Dask scheduler at {_address(dask_client)} "
                               f"({one_line(error)}); the run stopped") from None


def _address(client: Client) -> str:
    return getattr(client.scheduler, "address", None) or "?"


class _BatchSize:
    """How many images the next task gets, from the worker time of recent images.

    The median of the last RECENT images: a worker's first image also pays
    for its imports, which would hold a mean up for long.
    """

    RECENT = 32

    def __init__(self) -> None:
        self.seconds: Deque[float] = deque(maxlen=self.RECENT)

    def add(self, record: Dict[str, Any]) -> None:
        if record.get("seconds") is not None:
            self.seconds.append(float(record["seconds"]))

    def next(self) -> int:
        if not self.seconds:
            return 1
        typical = statistics.median(self.seconds)
        return max(1, min(MAX_BATCH, int(TASK_SECONDS / typical) if typical > 0 else MAX_BATCH))


def _worker_died(error: BaseException) -> str:
    return f"a worker process died while analysing this image, too often to try again ({one_line(error)})"


class _Run:
    """One run's window of tasks: what is in flight, what goes again, what is ready to yield."""

    def __init__(self, client: Client, cluster: Optional[LocalCluster], workers: Optional[int],
                 paths: Iterator[Any], extractor: Any, options: Options) -> None:
        self.client, self.cluster, self.paths = client, cluster, paths
        # The local cluster's size, to restart it with.
        self.workers = (workers or len(cluster.workers)) if cluster is not None else 0
        self.extractor, self.options = extractor, options
        self.settings = setting_values(extractor, options)
        self.run_id = uuid.uuid4().hex[:8]
        self.submitted = 0
        self.in_flight: Dict[Any, Tuple[List[str], int, float]] = {}  # future -> (paths, rounds, submitted at)
        self.by_key: Dict[str, Any] = {}
        self.retries: Deque[Tuple[str, int]] = deque()
        self.done: "queue.Queue[Any]" = queue.Queue()  # futures as they finish (Dask's callbacks put them)
        self.ready: Deque[Dict[str, Any]] = deque()
        self.batch_size = _BatchSize()
        self.window = WINDOW_PER_THREAD * (sum(client.nthreads().values()) or 1)
        self.next_look = time.monotonic() + TICK
        self.alone_since: Optional[float] = None  # when the cluster was last seen without workers
        self.revivals = 0

    def record(self, path: str, error: str) -> Dict[str, Any]:
        return blank_record(path, self.options, error, real_path(path), self.settings)

    def submit(self, batch: List[str], rounds: int) -> None:
        # Workers may run in another directory: they get absolute paths.
        files = [(os.path.abspath(path), path, real_path(path)) for path in batch]
        key = f"chromalens-{self.run_id}-{self.submitted}"
        future = self.client.submit(analyze_files, files, self.extractor, self.options, self.settings, key,
                                    key=key, pure=False, priority=-rounds)
        self.submitted += 1
        self.in_flight[future] = (batch, rounds, time.monotonic())
        self.by_key[key] = future
        future.add_done_callback(self.done.put)

    def submit_more(self) -> None:
        # Images whose workers died go again one at a time, each alone,
        # so that two of them never take each other down.
        if self.retries and all(rounds == 0 for _, rounds, _ in self.in_flight.values()):
            path, rounds = self.retries.popleft()
            self.submit([path], rounds)
        while len(self.in_flight) < self.window:
            batch = [os.fspath(path) for path in itertools.islice(self.paths, self.batch_size.next())]
            if not batch:
                return
            self.submit(batch, 0)

    def take(self, future: Any) -> Tuple[List[str], int]:
        batch, rounds, _ = self.in_flight.pop(future)
        self.by_key.pop(future.key, None)
        return batch, rounds

    def records(self) -> Iterator[Dict[str, Any]]:
        while True:
            while self.ready:
                yield self.ready.popleft()
            # Refilled only once every record is taken: paths are pulled a window ahead, no more.
            self.submit_more()
            if not self.in_flight:
                break
            try:
                future = self.done.get(timeout=TICK)
            except queue.Empty:
                future = None
            while future is not None:
                if future in self.in_flight:  # not stopped or cancelled meanwhile
                    self.finished(future)
                try:
                    future = self.done.get_nowait()
                except queue.Empty:
                    future = None
            self.look_at_the_cluster()

    def finished(self, future: Any) -> None:
        batch, rounds = self.take(future)
        if future.status == "cancelled" and self.client.status != "running":
            raise ClusterError(f"lost contact with the Dask scheduler at {_address(self.client)}; the run stopped")
        try:
            outcome = _outcome(future, batch)
        finally:
            future.release()
        if outcome is None:
            self.submit(batch, rounds)
        elif isinstance(outcome, KilledWorker):
            # A dying worker takes every task it holds (the one it runs and
            # the next, fetched ahead) under suspicion, not only the image
            # that killed it: each image gets another round on its own
            # before it is blamed.
            for path in batch:
                if rounds + 1 < KILLED_ROUNDS:
                    self.retries.append((path, rounds + 1))
                else:
                    self.ready.append(self.record(path, _worker_died(outcome)))
        elif isinstance(outcome, BaseException):
            self.ready.extend(self.record(path, f"analysis failed: {one_line(outcome)}") for path in batch)
        else:
            for record in outcome:
                self.batch_size.add(record)
            self.ready.extend(outcome)

    def look_at_the_cluster(self) -> None:
        now = time.monotonic()
        if now < self.next_look:
            return
        self.next_look = now + TICK
        if self.options.max_seconds is not None:
            self.stop_overdue(now)
        if self.cluster is None or worker_count(self.client) or not stranded(self.cluster):
            self.alone_since = None
        elif self.alone_since is None:
            self.alone_since = now
        elif now - self.alone_since > NO_WORKER_SECONDS:
            self.revivals += 1
            if self.revivals > REVIVALS or not revive(self.cluster, self.client, self.workers, START_SECONDS):
                raise ClusterError(f"every worker process of the local cluster died and none could be started "
                                   f"again (restarted {self.revivals - 1} times); the run stopped")
            self.alone_since = None

    def stop_overdue(self, now: float) -> None:
        """Stop each image of this run that has been analysed for longer than max_seconds."""
        limit = self.options.max_seconds
        assert limit is not None
        if not any(now - since > limit for _, _, since in self.in_flight.values()):
            return
        # Asked of the nannies: a worker is busy in native code for as long as an image takes.
        for address, running in self.client.run(running_images, nanny=True, on_error="return").items():
            if isinstance(running, BaseException):
                continue  # a worker gone: looked at again next time
            for key, path, seconds in running:
                future = self.by_key.get(key)
                if future is not None and seconds > limit and future.status == "pending":
                    self.stop(future, address, path)

    def stop(self, future: Any, address: str, path: str) -> None:
        batch, rounds = self.take(future)
        self.client.cancel([future])
        # Native code cannot be interrupted: the worker process is replaced.
        # Without a nanny it cannot be, and finishes the image in vain.
        self.client.restart_workers([address], raise_for_error=False)
        self.ready.append(self.record(path, time_limit_error(self.options)))
        rest = [name for name in batch if name != path]
        if rest:
            self.submit(rest, rounds)

    def cancel_all(self) -> None:
        if self.in_flight and self.client.status == "running":
            self.client.cancel(list(self.in_flight))
        self.in_flight.clear()
        self.by_key.clear()


def _outcome(future: Any, batch: List[str]) -> Union[List[Dict[str, Any]], BaseException, None]:
    """The records of a finished task; KilledWorker when workers died running it; the task's
    exception when it failed as a whole; None to run it again."""
    status = future.status
    if status == "cancelled":
        # Lost contact with the scheduler, or someone cancelled the run:
        # stop rather than record the images as failed.
        raise ClusterError(f"the cluster cancelled the analysis of {batch[0]}; the run stopped")
    if status == "finished":
        try:
            records: List[Dict[str, Any]] = future.result()
        except KilledWorker as error:  # its result was lost, and running it again killed workers
            return error
        return records
    if status == "error":
        return future.exception()
    return None  # its result was lost with a worker before it reached here
