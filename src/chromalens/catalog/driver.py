"""The catalogue driver: a Dask cluster, a bounded window of tasks, and their outcomes."""


import itertools
import logging
import math
import os
import statistics
import uuid
from collections import deque
from typing import Any, Deque, Dict, Generator, Iterable, Iterator, List, Mapping, Optional, Tuple, Union

try:
    import dask
    from distributed import Client, LocalCluster, as_completed
    from distributed.diagnostics.plugin import WorkerPlugin
    from distributed.scheduler import KilledWorker
except ImportError as error:  # pragma: no cover - depends on what is installed
    raise ImportError(
        "chromalens.catalog.analyze needs Dask distributed; install it with: pip install 'chromalens[batch]'"
    ) from error

from chromalens import ColorExtractor
from chromalens._text import one_line
from chromalens.catalog.task import Options, analyze_files, blank_record, set_thread_limit

__all__ = ["analyze"]

# How often one image may take a worker down with it before the scheduler
# gives up on it (in clusters this module starts), and how many such rounds
# an image gets before its record says so.
ALLOWED_FAILURES = 1
KILLED_ROUNDS = 2
# Tasks in flight per worker thread: enough to keep every worker busy while
# the client handles a result, few enough that the client holds little.
WINDOW_PER_THREAD = 2
# Images per task: as many as take about TASK_SECONDS on a worker, judged
# from the images done so far, and at most MAX_BATCH.  Dask spends a few
# milliseconds on each task, which is most of the time of a small image.
TASK_SECONDS = 0.25
MAX_BATCH = 64
_PLUGIN_NAME = "chromalens-thread-limits"
_TRIM_VARIABLE = "MALLOC_TRIM_THRESHOLD_"


class _ThreadLimits(WorkerPlugin):
    """Gives each worker process (restarted ones too) its share of its machine's cores."""

    def __init__(self, threads_by_host: Dict[str, int]) -> None:
        self.threads_by_host = threads_by_host

    def setup(self, worker: Any) -> None:
        host = worker.address.rsplit(":", 1)[0]
        cores = _cores()
        limit = self.threads_by_host.get(host, max(1, cores // max(1, worker.state.nthreads)))
        set_thread_limit(limit)


def _cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def _threads_by_host(client: Client) -> Dict[str, int]:
    """Native threads per analysis on each host: its cores over its worker threads."""
    cores = client.run(_cores)
    threads_on_host: Dict[str, int] = {}
    cores_on_host: Dict[str, int] = {}
    for address, nthreads in client.nthreads().items():
        host = address.rsplit(":", 1)[0]
        threads_on_host[host] = threads_on_host.get(host, 0) + int(nthreads)
        cores_on_host[host] = int(cores.get(address, 1))
    return {host: max(1, cores_on_host[host] // threads_on_host[host]) for host in threads_on_host}


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


def analyze(sources: Iterable[Union[str, "os.PathLike[str]"]], extractor: Optional[ColorExtractor] = None, *,
            targets: Optional[Mapping[str, Any]] = None, detailed: bool = False,
            similarity_threshold: float = 50.0, max_side: Optional[int] = None, use_alpha: bool = True,
            client: Union[Client, str, None] = None,
            workers: Optional[int] = None) -> Generator[Dict[str, Any], None, None]:
    """A generator of records, one per image file of `sources`, in the order results arrive.

    `sources`: image file paths (``find_images`` turns directories and
    patterns into them).  `extractor`: the extractor to run (default
    ``ColorExtractor()``); a subclass works when the workers can import it.
    `targets`: ``{name: (r, g, b)}`` to measure with
    ``analyze_color_similarity`` (threshold `similarity_threshold`), or with
    ``find_color_matches`` when `detailed`.  `max_side`, `use_alpha`: as
    ``read_image`` takes them.  `client`: a ``distributed.Client`` or a
    scheduler address such as ``"tcp://10.0.0.5:8786"``; the workers read the
    paths themselves, so they need the same files.  Default: a local cluster
    of `workers` single-threaded processes (default: one per core), closed when
    the generator finishes or is closed.
    """
    if isinstance(sources, (str, bytes, os.PathLike)):
        raise TypeError(f"sources must be an iterable of paths, got one path: give [{sources!r}]")
    if extractor is None:
        extractor = ColorExtractor()
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
    if max_side is not None and (isinstance(max_side, bool) or not isinstance(max_side, int) or max_side < 1):
        raise ValueError(f"max_side must be a positive integer or None, got {max_side!r}")
    if workers is not None:
        if client is not None:
            raise ValueError("workers applies to the local cluster; not with client")
        if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
            raise ValueError(f"workers must be a positive integer, got {workers!r}")
    if client is not None and not isinstance(client, (str, Client)):
        raise TypeError(f"client must be a distributed.Client or a scheduler address, got {type(client).__name__}")
    options: Options = (targets, bool(detailed), threshold, max_side, bool(use_alpha))
    return _records(iter(sources), extractor, options, client, workers)


def _start_local_cluster(workers: Optional[int]) -> LocalCluster:
    # Dask starts workers with MALLOC_TRIM_THRESHOLD_ set, which also fixes
    # glibc's threshold for giving large blocks their own mappings: every
    # image-sized array then comes from fresh pages, and the page faults cost
    # about a fifth of a quick analysis.  Our workers keep the allocator's
    # defaults: the variable is neither set for them nor inherited (an earlier
    # cluster in this process may have set it here).
    inherited = os.environ.pop(_TRIM_VARIABLE, None)
    try:
        with dask.config.set({"distributed.scheduler.allowed-failures": ALLOWED_FAILURES,
                              f"distributed.nanny.pre-spawn-environ.{_TRIM_VARIABLE}": None}):
            # Everything on the loopback interface, on free ports (no fixed dashboard port).
            return LocalCluster(n_workers=workers or _cores(), threads_per_worker=1, processes=True,
                                host="127.0.0.1", dashboard_address="127.0.0.1:0", silence_logs=logging.CRITICAL)
    finally:
        if inherited is not None:
            os.environ[_TRIM_VARIABLE] = inherited


def _records(paths: Iterator[Any], extractor: ColorExtractor, options: Options,
             client: Union[Client, str, None], workers: Optional[int]) -> Generator[Dict[str, Any], None, None]:
    own_cluster: Optional[LocalCluster] = None
    own_client: Optional[Client] = None
    in_flight: Dict[Any, Tuple[List[str], int]] = {}  # future -> (paths, rounds lost to dead workers)
    plugin_registered = False
    try:
        if client is None:
            own_cluster = _start_local_cluster(workers)
            client = own_client = Client(own_cluster, set_as_default=False)
        elif isinstance(client, str):
            client = own_client = Client(client, set_as_default=False)
        client.register_plugin(_ThreadLimits(_threads_by_host(client)), name=_PLUGIN_NAME)
        plugin_registered = True
        threads = sum(client.nthreads().values()) or 1
        window = WINDOW_PER_THREAD * threads
        run_id = uuid.uuid4().hex[:8]
        submitted = 0
        pending = as_completed(loop=client.loop)
        batch_size = _BatchSize()

        retries: Deque[Tuple[str, int]] = deque()

        def submit(batch: List[str], rounds: int) -> None:
            nonlocal submitted
            # Workers may run in another directory: they get absolute paths.
            files = [(os.path.abspath(path), path) for path in batch]
            future = client.submit(analyze_files, files, extractor, options,
                                   key=f"chromalens-{run_id}-{submitted}", pure=False, priority=-rounds)
            submitted += 1
            in_flight[future] = (batch, rounds)
            pending.add(future)

        def submit_more() -> None:
            # Images whose workers died go again one at a time, each alone,
            # so that two of them never take each other down.
            if retries and all(rounds == 0 for _, rounds in in_flight.values()):
                path, rounds = retries.popleft()
                submit([path], rounds)
            while len(in_flight) < window:
                batch = [os.fspath(path) for path in itertools.islice(paths, batch_size.next())]
                if not batch:
                    return
                submit(batch, 0)

        submit_more()
        while in_flight:
            future = next(pending)
            batch, rounds = in_flight.pop(future)
            try:
                outcome = _outcome(future, batch, options)
            finally:
                future.release()
                del future
            records: List[Dict[str, Any]] = []
            if outcome is None:
                submit(batch, rounds)
            elif isinstance(outcome, KilledWorker):
                # A dying worker takes every task it holds (the one it runs and
                # the next, fetched ahead) under suspicion, not only the image
                # that killed it: each image gets another round on its own
                # before it is blamed.
                for path in batch:
                    if rounds + 1 < KILLED_ROUNDS:
                        retries.append((path, rounds + 1))
                    else:
                        records.append(blank_record(path, options, _worker_died(outcome)))
            else:
                records = outcome
                for record in records:
                    batch_size.add(record)
            submit_more()
            yield from records
    finally:
        if in_flight and own_client is None and client is not None:
            # A shared cluster: take back what this run left queued.
            client.cancel(list(in_flight))
        in_flight.clear()
        if plugin_registered and own_client is None and client is not None:
            try:
                client.unregister_worker_plugin(_PLUGIN_NAME)
            except Exception:  # the cluster may be gone already; nothing to tidy then
                pass
        if own_client is not None:
            own_client.close()
            _forget_closed_client(own_client)
        if own_cluster is not None:
            own_cluster.close()
            _forget_closed_servers()


def _forget_closed_client(client: "Client") -> None:
    """Lets a closed client be freed.

    ``Client.register_plugin`` dispatches through ``functools.singledispatchmethod``,
    which on Python 3.13.0 memoises per instance in a weak-key dictionary whose
    value (the bound dispatcher) refers to the instance, so the entry is never
    dropped and keeps the client, and through it the closed cluster, alive.
    """
    dispatcher = vars(Client).get("_register_plugin")
    method_cache = getattr(dispatcher, "_method_cache", None)
    if method_cache is not None:
        method_cache.pop(client, None)


def _forget_closed_servers() -> None:
    """Lets the closed cluster's scheduler and nannies be freed.

    Dask memoises, per bound method of every server it ever started, whether
    the method takes a connection; that cache would keep each closed cluster
    alive, so repeated runs in one process would grow.  It is only a memo:
    clearing it costs a few lookups.
    """
    from distributed import core

    cache_clear = getattr(getattr(core, "_expects_comm", None), "cache_clear", None)
    if cache_clear is not None:
        cache_clear()


def _outcome(future: Any, batch: List[str], options: Options) -> Union[List[Dict[str, Any]], KilledWorker, None]:
    """The records of a finished task; KilledWorker when workers died running it; None to run it again."""
    status = future.status
    if status == "cancelled":
        # Lost contact with the scheduler, or someone cancelled the run:
        # stop rather than record the images as failed.
        raise RuntimeError(f"the cluster cancelled the analysis of {batch[0]}; the run stopped")
    if status == "finished":
        try:
            records: List[Dict[str, Any]] = future.result()
        except KilledWorker as error:  # its result was lost, and running it again killed workers
            return error
        return records
    if status == "error":
        error = future.exception()
        if isinstance(error, KilledWorker):
            return error
        return [blank_record(path, options, f"analysis failed: {one_line(error)}") for path in batch]
    return None  # its result was lost with a worker before it reached here
