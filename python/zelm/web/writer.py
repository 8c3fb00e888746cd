"""Storing finished traces off the request's path, through the process's
background saver (zelm.store.background): no response waits for the
database, and a trace it does not take in time goes to a fallback file.

The traces of requests already answered are stored when the process ends:
at exit, and on SIGTERM or SIGINT where the application left the signal's
default action (waitress does): the handler waits a bounded time for the
traced requests still in progress and for the saver, then ends the process
by the signal as it would have ended. At the end one line on the "zelm"
logger says how many traces went where.
"""

import atexit
import logging
import signal
import threading
import time

from zelm.store import background

__all__ = ["trace_opened", "store", "flush", "drain_on_termination", "report_at_end"]

# How long a process ending by a signal waits for its traces.
STOP_SECONDS = 5

_logger = logging.getLogger("zelm")


class _OpenTraces:
    """How many traces have begun and are not yet handed to the saver: the
    requests in progress, which a process ending by a signal waits for."""

    def __init__(self):
        self._count = 0
        self._changed = threading.Condition()

    def opened(self):
        with self._changed:
            self._count += 1

    def closed(self):
        with self._changed:
            self._count -= 1
            self._changed.notify_all()

    def wait_closed(self, timeout):
        with self._changed:
            return self._changed.wait_for(lambda: self._count <= 0, timeout)


_open_traces = _OpenTraces()
# One tally per database of the middleware in this process.
_tallies = {}
_tallies_lock = threading.Lock()
# What else logs its line at the end, after where the traces went.
_end_reports = []


def report_at_end(report):
    """Call ``report()`` when the process ends, after the traces are stored."""
    _end_reports.append(report)


def trace_opened():
    """Note a traced request that has begun; store() ends it."""
    _open_traces.opened()


def store(tracing, document):
    """Hand a finished trace (None when it could not be built) to the saver."""
    try:
        if document is not None:
            db_path, timeout = tracing.store_key()
            background.saver().put(db_path, tracing.trace_id, document, timeout=timeout, tally=_tally(db_path),
                                   on_failure=lambda error: tracing.middleware.failed(f"store traces in {db_path}",
                                                                                      error))
    finally:
        _open_traces.closed()


def _tally(db_path):
    with _tallies_lock:
        return _tallies.setdefault(db_path, background.Tally())


def flush(timeout=None):
    """Wait until the traces of the requests finished so far are stored
    (at most ``timeout`` seconds); return whether they all are."""
    return background.saver().flush(timeout)


def _finish(timeout):
    """Store what is queued (writing to fallback files what the database
    does not take within ``timeout`` seconds) and log where it all went."""
    background.saver().finish(timeout)
    with _tallies_lock:
        tallies = list(_tallies.items())
        _tallies.clear()
    for db_path, tally in tallies:
        if not tally.fallback_paths and not tally.lost:
            _logger.info("zelm.web: %d traces stored in %s", tally.stored, db_path)
            continue
        _logger.warning("zelm.web: %d traces stored in %s, %d in fallback files under %s, %d lost (%s)",
                        tally.stored, db_path, len(tally.fallback_paths),
                        ", ".join(tally.fallback_directories()) or "-", tally.lost, tally.failure)
    for report in _end_reports:
        report()


_TERMINATING_SIGNALS = (signal.SIGTERM, signal.SIGINT)
_installed = False


def drain_on_termination():
    """Store the traces before the process ends by SIGTERM or SIGINT, for
    each of them whose action is still the default one (killing the
    process with none of Python's exit steps). Does nothing off the main
    thread, where handlers cannot be installed, and after its first call."""
    global _installed
    if _installed or threading.current_thread() is not threading.main_thread():
        return
    _installed = True
    for signum in _TERMINATING_SIGNALS:
        if signal.getsignal(signum) == signal.SIG_DFL:
            signal.signal(signum, _drain_then_end)


def _drain_then_end(signum, frame):
    """Wait for the traces, then end by the signal as its default action does."""
    deadline = time.monotonic() + STOP_SECONDS

    def drain():
        _open_traces.wait_closed(max(0.0, deadline - time.monotonic()))
        _finish(max(0.0, deadline - time.monotonic()))

    # On its own thread: this handler may have interrupted the main thread
    # holding a lock the saver needs, and must not wait on it forever.
    drainer = threading.Thread(target=drain, name="zelm-drain", daemon=True)
    drainer.start()
    drainer.join(STOP_SECONDS + 2 * background.ATTEMPT_SECONDS + 1)
    signal.signal(signum, signal.SIG_DFL)
    signal.raise_signal(signum)


atexit.register(lambda: _finish(background.FINISH_SECONDS))
