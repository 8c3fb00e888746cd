"""Storing trace documents off the caller's path.

One thread per process stores the documents handed to it, in the order they
come and several per transaction, so that neither a test nor a web request
waits for the database, even one that another program keeps locked. The
queue is bounded, and a document is written to its fallback file (see
store.write_fallback_files) instead of waiting: when it finds the queue
full, when the database refuses its batch for longer than the busy timeout
it was handed with, and when finish() has waited as long as it may.

A document keeps the working directory of the process as it was handed
over, which is stored with it.

Each document comes with a Tally, which counts where its documents went.
While a tally is attached to a database path (pytest --zelm), the saves
the native profiler makes into that database come here (see zelm.db).
"""

import atexit
import os
import queue
import sys
import threading
import time
from typing import Callable, NamedTuple, Optional

from zelm import store

__all__ = ["Tally", "BackgroundSaver", "saver", "attach", "detach", "attached"]

QUEUE_LIMIT = 256
BATCH_LIMIT = 64
# The longest one attempt waits for another connection's lock: how soon the
# saver notices finish() while the database stays locked.
ATTEMPT_SECONDS = 0.5
# How long the end of the process waits for the queue to drain.
FINISH_SECONDS = 10


class Tally:
    """Where the documents handed over with this tally went: ``stored`` in
    the database (``cut`` of them cut short by their trace budget), written
    to the files ``fallback_paths``, or ``lost`` (no file could be written
    either); ``failure`` is the last reason the database gave for not
    storing one (else why one was not tried: the queue was full, the
    process was ending). The saver updates it under its lock; read it once
    the saver has finished.

    ``keep``, when given, is asked with each trace id the native profiler
    saves while the tally is attached whether to hand that trace over at
    all; the ones it refuses are counted in ``dropped``."""

    def __init__(self, keep=None):
        self.keep = keep
        self.dropped = 0
        self.stored = 0
        self.cut = 0
        self.fallback_paths = []
        self.lost = 0
        self.failure = None

    def fallback_directories(self):
        return sorted({os.path.dirname(path) for path in self.fallback_paths})


class _Job(NamedTuple):
    db_path: str
    trace_id: str
    document: bytes
    timeout: float
    tally: Tally
    # Told the exception (naming the fallback files) when the document is not stored.
    on_failure: Optional[Callable]
    working_directory: Optional[str]


class _NotWaitedFor(Exception):
    """Why a trace went to its file without the database being tried: the
    saver is too far behind, or the process is ending."""


class BackgroundSaver:
    """The thread that stores documents, its bounded queue and the tallies."""

    def __init__(self, limit=QUEUE_LIMIT):
        self._queue = queue.Queue(limit)
        self._limit = limit
        self._thread = None
        self._lock = threading.Lock()
        # While finish() runs: the time after which the database is tried once, not waited for.
        self._give_up_at = None

    def put(self, db_path, trace_id, document, *, timeout, tally, on_failure=None):
        """Hand over a document, saved from the current directory; never
        waits for the database."""
        job = _Job(os.fspath(db_path), trace_id, document, timeout, tally, on_failure, store.current_directory())
        with self._lock:
            if self._thread is None or not self._thread.is_alive():
                self._thread = threading.Thread(target=self._run, name="zelm-saver", daemon=True)
                self._thread.start()
        try:
            self._queue.put_nowait(job)
        except queue.Full:
            self._spill([job], _NotWaitedFor(f"{self._limit} traces are waiting to be stored already"))

    def flush(self, timeout=None):
        """Wait until every document handed over is stored or written to
        its file (at most ``timeout`` seconds); return whether they all are."""
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._queue.all_tasks_done:
            while self._queue.unfinished_tasks:
                remaining = None if deadline is None else deadline - time.monotonic()
                if remaining is not None and remaining <= 0:
                    return False
                self._queue.all_tasks_done.wait(remaining)
        return True

    def finish(self, timeout=FINISH_SECONDS):
        """Wait up to ``timeout`` seconds for the documents handed over so
        far to be stored, then write those still waiting to their fallback
        files (the batch being stored then is tried once more, without
        waiting for the lock). Returns once every one went somewhere, or
        soon after the time is up."""
        self._give_up_at = time.monotonic() + timeout
        try:
            if self.flush(timeout):
                return
            # The writer may be gone (or stuck): what still waits in the queue is written here.
            while True:
                try:
                    job = self._queue.get_nowait()
                except queue.Empty:
                    break
                try:
                    self._spill([job], _NotWaitedFor("the process ended before the trace was stored"))
                finally:
                    self._queue.task_done()
            # The batch in the writer's hands ends within one attempt.
            self.flush(2 * ATTEMPT_SECONDS + 1)
        finally:
            self._give_up_at = None

    def _run(self):
        # A profiler started with "threading" elsewhere must not take this thread in.
        sys.setprofile(None)
        while True:
            # Whatever is waiting goes in one transaction: one disk sync for many traces.
            batch = [self._queue.get()]
            while len(batch) < BATCH_LIMIT:
                try:
                    batch.append(self._queue.get_nowait())
                except queue.Empty:
                    break
            try:
                by_database = {}
                for job in batch:
                    by_database.setdefault((job.db_path, job.timeout), []).append(job)
                for (db_path, timeout), jobs in by_database.items():
                    self._save(db_path, timeout, jobs)
            finally:
                for _ in batch:
                    self._queue.task_done()

    def _save(self, db_path, timeout, jobs):
        """Store ``jobs`` in one transaction, waiting for the database's lock
        up to ``timeout`` seconds in short attempts; else write them to files."""
        traces = [(job.trace_id, job.document, job.working_directory) for job in jobs]
        deadline = time.monotonic() + timeout
        while True:
            give_up_at = self._give_up_at
            end = deadline if give_up_at is None else min(deadline, give_up_at)
            attempt = max(0.0, min(ATTEMPT_SECONDS, end - time.monotonic()))
            try:
                stored = store.save_traces_in_sqlite(db_path, traces, timeout=attempt, fallback=False)
            except Exception as error:
                if store.is_lock_timeout(error) and time.monotonic() < end:
                    continue
                self._spill(jobs, error)
                return
            with self._lock:
                for job, entry in zip(jobs, stored):
                    job.tally.stored += 1
                    job.tally.cut += entry.dropped_events is not None
            return

    def _spill(self, jobs, error):
        """Write the documents of ``jobs`` (all of one database) to their
        fallback files, count them and tell who asked to be told."""
        raised = store.write_fallback_files(
            jobs[0].db_path, [(job.trace_id, job.document, job.working_directory) for job in jobs], error)
        # The files written, in the order of the jobs, each named after its trace.
        written = list(raised.fallback_paths)
        with self._lock:
            for job in jobs:
                if written and f".{job.trace_id}." in os.path.basename(written[0]):
                    job.tally.fallback_paths.append(written.pop(0))
                else:
                    job.tally.lost += 1
                # What the database said explains the rest: it is kept over a full queue or a hurried end.
                if job.tally.failure is None or not isinstance(error, _NotWaitedFor):
                    job.tally.failure = raised.reason
        for on_failure in {job.on_failure for job in jobs if job.on_failure is not None}:
            on_failure(raised)


_saver = BackgroundSaver()
_attached = {}


def saver():
    """The process's saver."""
    return _saver


def attach(db_path, tally):
    """Send the native profiler's saves into ``db_path`` to the saver,
    counted in ``tally``, until detach()."""
    _attached[os.fspath(db_path)] = tally


def detach(db_path):
    _attached.pop(os.fspath(db_path), None)


def attached(db_path):
    """The tally attached to ``db_path``, or None."""
    return _attached.get(os.fspath(db_path))


def _forget_parent_saver():
    # A forked worker (gunicorn, uWSGI) has none of its parent's threads.
    global _saver
    _saver = BackgroundSaver()


atexit.register(lambda: _saver.finish(FINISH_SECONDS))
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_parent_saver)
