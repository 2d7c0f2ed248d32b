"""The Dask side of a catalogue run: the local cluster, the client, their clean closing.

Every connection and cluster a run opens is entered into one ExitStack, so
whatever ends the run (its last record, an error, Ctrl-C, a closed
generator) closes each of them, and a failure to close one still closes the
others.
"""

import contextlib
import logging
import os
import signal
import time
from typing import Any, Dict, Optional, Union

import dask
from distributed import Client, LocalCluster

__all__ = ["ClusterError", "connect", "cores", "dask_setup", "revive", "stranded", "threads_by_host",
           "worker_count"]

# How often one image may take a worker down with it before the scheduler
# gives up on it (in clusters this module starts).
ALLOWED_FAILURES = 1
_TRIM_VARIABLE = "MALLOC_TRIM_THRESHOLD_"


class ClusterError(Exception):
    """The cluster cannot carry on with the run (lost scheduler, no workers left)."""


def cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def dask_setup(worker: Any) -> None:
    """Run in each worker process of a local cluster as it starts (a Dask preload).

    Ctrl-C on a terminal reaches every process of its group: the run stops
    its workers itself, and a worker interrupted in the middle of an image
    would only print its traceback.
    """
    signal.signal(signal.SIGINT, signal.SIG_IGN)


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
            return LocalCluster(n_workers=workers or cores(), threads_per_worker=1, processes=True,
                                host="127.0.0.1", dashboard_address="127.0.0.1:0", silence_logs=logging.CRITICAL,
                                preload=[__name__])
    finally:
        if inherited is not None:
            os.environ[_TRIM_VARIABLE] = inherited


def connect(stack: contextlib.ExitStack, client: Union[Client, str, None],
            workers: Optional[int]) -> "tuple[Client, Optional[LocalCluster]]":
    """The run's client (and its local cluster, when it starts one), closed by `stack`."""
    if isinstance(client, Client):
        return client, None
    if client is not None:
        try:
            return stack.enter_context(contextlib.closing(Client(client, set_as_default=False))), None
        except (OSError, TimeoutError) as error:
            raise ClusterError(f"cannot reach the Dask scheduler at {client} ({error})") from None
    stack.callback(_forget_closed_servers)  # the stack unwinds in reverse: after the cluster is closed
    cluster = stack.enter_context(contextlib.closing(_start_local_cluster(workers)))
    return stack.enter_context(contextlib.closing(Client(cluster, set_as_default=False))), cluster


def worker_count(client: Client) -> int:
    """Workers the scheduler knows (one small round trip)."""
    return len(client.nthreads())


def stranded(cluster: LocalCluster) -> bool:
    """Whether no nanny of the local `cluster` has a worker process, running or starting:
    each gave up (closed) or failed to start one again, and none will come back by itself."""
    return all(nanny.status.name in ("closing", "closed", "failed") or not nanny.is_alive()
               for nanny in list(cluster.workers.values()))


def revive(cluster: LocalCluster, client: Client, workers: int, timeout: float) -> bool:
    """Replace every worker process of the local `cluster`, as when workers died faster than
    their nannies restarted them and the nannies gave up; whether one is back within `timeout`."""
    deadline = time.monotonic() + timeout
    cluster.scale(0)
    while cluster.workers and time.monotonic() < deadline:
        time.sleep(0.1)
    cluster.scale(workers)
    try:
        client.wait_for_workers(1, timeout=max(1.0, deadline - time.monotonic()))
    except TimeoutError:
        return False
    return True


def threads_by_host(client: Client) -> Dict[str, int]:
    """Native threads per analysis on each host: its cores over its worker threads."""
    cores_of = client.run(cores)
    threads_on_host: Dict[str, int] = {}
    cores_on_host: Dict[str, int] = {}
    for address, nthreads in client.nthreads().items():
        host = address.rsplit(":", 1)[0]
        threads_on_host[host] = threads_on_host.get(host, 0) + int(nthreads)
        cores_on_host[host] = int(cores_of.get(address, 1))
    return {host: max(1, cores_on_host[host] // threads_on_host[host]) for host in threads_on_host}


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
