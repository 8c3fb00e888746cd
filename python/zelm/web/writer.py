"""Storing finished traces off the request's path: one thread per process
stores them in the order they end, several per transaction, so that no
response waits for the database.
"""

import atexit
import os
import queue
import sys
import threading
import time

from zelm import store

__all__ = ["enqueue", "flush"]

# Finished traces waiting to be stored; when this many wait, requests that
# end wait for room instead of piling up memory.
QUEUE_LIMIT = 256
BATCH_LIMIT = 64
FLUSH_AT_EXIT_SECONDS = 10


class _Writer:
    """One thread per process storing finished traces in the order they
    end, so that no response waits for the database."""

    def __init__(self):
        self._queue = queue.Queue(QUEUE_LIMIT)
        self._thread = None
        self._lock = threading.Lock()

    def put(self, tracing, document, block=True):
        """Queue a trace; raises queue.Full when not ``block`` and full."""
        with self._lock:
            if self._thread is None or not self._thread.is_alive():
                self._thread = threading.Thread(target=self._run, name="zelm-web-writer", daemon=True)
                self._thread.start()
        self._queue.put((tracing, document), block=block)

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
                _store(batch)
            finally:
                for _ in batch:
                    self._queue.task_done()

    def flush(self, timeout=None):
        """Wait until every queued trace is stored; False on timeout."""
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._queue.all_tasks_done:
            while self._queue.unfinished_tasks:
                remaining = None if deadline is None else deadline - time.monotonic()
                if remaining is not None and remaining <= 0:
                    return False
                self._queue.all_tasks_done.wait(remaining)
        return True


def _store(batch):
    """Store (tracing, document) pairs, one transaction per database."""
    by_database = {}
    for tracing, document in batch:
        by_database.setdefault(tracing.store_key(), []).append((tracing, document))
    for (db_path, timeout), stored in by_database.items():
        try:
            store.save_traces_in_sqlite(db_path, [(tracing.trace_id, document) for tracing, document in stored],
                                        timeout=timeout)
        except Exception as error:
            for middleware in {id(tracing.middleware): tracing.middleware for tracing, _ in stored}.values():
                middleware.failed(f"store traces in {db_path}", error)


_writer = _Writer()


def enqueue(tracing, document, block=True):
    """Queue a finished trace to be stored; raises queue.Full when not
    ``block`` and full."""
    _writer.put(tracing, document, block)


def flush(timeout=None):
    """Wait until the traces of the requests finished so far are stored
    (at most ``timeout`` seconds); return whether they all are."""
    return _writer.flush(timeout)


def _forget_parent_writer():
    # A forked worker (gunicorn, uWSGI) has none of its parent's threads.
    global _writer
    _writer = _Writer()


atexit.register(lambda: _writer.flush(FLUSH_AT_EXIT_SECONDS))
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_parent_writer)
