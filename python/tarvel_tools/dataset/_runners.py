"""Running shard tasks on local threads or on a Dask cluster, recording each shard as it finishes."""

from __future__ import annotations

import os
import threading
import time
from collections.abc import Callable, Iterable, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from typing import Any

from ._manifest import Journal, ShardRecord
from ._optional import optional_module
from ._shards import ShardTask, make_shard

# Shards handed out at once, per worker thread: enough to keep every worker busy;
# shards waiting their turn hold no data.
SHARDS_IN_FLIGHT_PER_WORKER = 2
# How often the progress is brought up to date while shards are being made.
PROGRESS_SECONDS = 0.1


def make_shards(journal: Journal, runner: Runner, report: Callable[[int], None]) -> None:
    """Run the shard tasks, recording every finished shard in the journal as it comes in.

    Whatever ends the run early (an interrupt, a failed shard) stops the workers, and the
    shards that finished meanwhile are recorded before it is passed on.
    """
    try:
        runner.fill()
        while runner.running:
            runner.collect(journal, PROGRESS_SECONDS)
            report(runner.graphs_made)
    except BaseException:
        runner.stop(journal)
        raise


class Runner:
    """Makes shards somewhere, a window of them at a time, and records them as they finish.

    A shard leaves the runner's hands only once it is recorded: an interrupt while it
    is being recorded leaves it to `stop`, which records it again (recording is idempotent).
    """

    def __init__(self, tasks: Sequence[ShardTask], window: int) -> None:
        self._queue = iter(tasks)
        self._window = window
        self._futures: set[Any] = set()
        self.graphs_made = 0

    @property
    def running(self) -> bool:
        return bool(self._futures)

    def collect(self, journal: Journal, timeout: float) -> None:
        """Wait up to `timeout` seconds for a shard to finish; record the finished ones.

        Raises the failure of a shard that could not be made, after recording the others.
        """
        self._wait(timeout)
        done = [future for future in self._futures if future.done()]
        shards, failure = _outcomes(done)
        journal.record(shards)
        self._futures.difference_update(done)
        self._finished(shards)
        if failure is not None:
            raise failure
        self.fill()

    def fill(self) -> None:
        """Hand out shards until the window is full; close when none is left."""
        while len(self._futures) < self._window and (task := next(self._queue, None)) is not None:
            self._futures.add(self._submit(task))
        if not self._futures:
            self._close()

    def stop(self, journal: Journal) -> None:
        """Abandon the shards not yet finished, and record the finished ones."""
        self._abandon()
        journal.record(_outcomes(future for future in self._futures if future.done() and not future.cancelled())[0])
        self._futures.clear()
        self._close()

    def _submit(self, task: ShardTask) -> Any:
        raise NotImplementedError

    def _wait(self, timeout: float) -> None:
        raise NotImplementedError

    def _finished(self, shards: list[ShardRecord]) -> None:
        pass

    def _abandon(self) -> None:
        raise NotImplementedError

    def _close(self) -> None:
        pass


def runner_for(tasks: Sequence[ShardTask], client: Any, workers: int | None) -> Runner:
    if client is None:
        return _ThreadRunner(tasks, workers or min(2, os.cpu_count() or 1))
    return _ClusterRunner(tasks, client)


class _ThreadRunner(Runner):
    """Shards made by a pool of threads; progress counted per chunk, stopped between chunks."""

    def __init__(self, tasks: Sequence[ShardTask], workers: int) -> None:
        super().__init__(tasks, SHARDS_IN_FLIGHT_PER_WORKER * workers)
        self._pool = ThreadPoolExecutor(workers, thread_name_prefix="tarvel-shard")
        self._stopping = threading.Event()
        self._count_lock = threading.Lock()

    def _count(self, graphs: int) -> None:
        with self._count_lock:
            self.graphs_made += graphs

    def _submit(self, task: ShardTask) -> Future[ShardRecord]:
        return self._pool.submit(make_shard, task, self._count, self._stopping.is_set)

    def _wait(self, timeout: float) -> None:
        wait(self._futures, timeout, return_when=FIRST_COMPLETED)

    def _abandon(self) -> None:
        # Waiting on the futures rather than joining the threads: an interrupted join
        # would take a thread that is still running for finished.
        self._stopping.set()
        for future in self._futures:
            future.cancel()
        _wait_through_interrupts(lambda: wait(self._futures))

    def _close(self) -> None:
        self._pool.shutdown(wait=False)


class _ClusterRunner(Runner):
    """Shards made by the workers of a Dask cluster; progress counted per shard.

    A shard a worker has started cannot be called back: when stopped, the run stops
    waiting for it. Such a shard is finished but not recorded, and is remade by the next run.
    """

    def __init__(self, tasks: Sequence[ShardTask], client: Any) -> None:
        distributed = optional_module("distributed", "write_dataset with a Dask cluster", "dask")
        self._owned = isinstance(client, str)
        self._client = distributed.Client(client) if self._owned else client
        super().__init__(tasks, max(2, SHARDS_IN_FLIGHT_PER_WORKER * sum(self._client.nthreads().values())))

    def _submit(self, task: ShardTask) -> Any:
        return self._client.submit(make_shard, task, pure=False)

    def _wait(self, timeout: float) -> None:
        deadline = time.monotonic() + timeout
        while not any(future.done() for future in self._futures) and time.monotonic() < deadline:
            time.sleep(0.01)

    def _finished(self, shards: list[ShardRecord]) -> None:
        self.graphs_made += sum(shard.rows for shard in shards)

    def _abandon(self) -> None:
        self._client.cancel([future for future in self._futures if not future.done()])

    def _close(self) -> None:
        if self._owned:
            self._client.close()


def _outcomes(futures: Iterable[Any]) -> tuple[list[ShardRecord], BaseException | None]:
    """The shards of the finished futures, and the first failure among them."""
    shards, failure = [], None
    for future in futures:
        error = future.exception()
        if error is None:
            shards.append(future.result())
        elif failure is None:
            failure = error
    return shards, failure


def _wait_through_interrupts(wait_for: Callable[[], object]) -> None:
    """Wait for work that is already stopping; a second Ctrl-C only repeats the request."""
    while True:
        try:
            wait_for()
            return
        except KeyboardInterrupt:
            continue
