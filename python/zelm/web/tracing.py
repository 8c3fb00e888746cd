"""One traced request, and what the WSGI and ASGI middleware share: the
options, which requests are traced, the counters and the failures logged
once. The two marker functions that the inbound_http plugin records are
here, where it looks for them by this file's name.
"""

import logging
import random
import sys
import threading
import time
from collections.abc import Mapping

# The native profiler imports plugins, serialize, version and git on first
# use, from whichever thread gets there first, and takes a module it finds
# in sys.modules as ready: the first requests of a threaded server, recorded
# side by side, would lose records to a module still being imported.
from zelm import db, git, plugins, serialize, version  # noqa: F401
from zelm.profiler import Profiler
from zelm.store import location
from zelm.web import writer

__all__ = ["Tracing", "Middleware", "content_length", "TRACE_HEADER", "SKIPPED"]

TRACE_HEADER = "X-Zelm-Trace"
SKIPPED = "skipped"
# The hook that makes new threads join a profiler is process-wide, and a
# thread cannot be told which request started it: with requests served side
# by side, a request's trace would take in the calls of the others' threads.
DEFAULT_CONFIG = {"threading": False}

_logger = logging.getLogger("zelm")


# ---- the markers the inbound_http plugin records ----


def _inbound_request(method, path, query_string, headers, body_size):
    """Called first in a traced request: the plugin records the arguments."""


def _inbound_response(status, headers, body_size, duration, error):
    """Called last in a traced request: the plugin records the arguments."""


# ---- one traced request ----

# The request traced on each thread (by thread id) that has one.
_traced_by_thread = {}


def _traced_on_this_thread():
    return threading.get_ident() in _traced_by_thread


class Tracing:
    """The profiler of one request and the count of open steps on the
    serving thread: the hook is installed while at least one step runs."""

    def __init__(self, middleware, method, path, started):
        self.middleware = middleware
        self.profiler = Profiler(
            config=middleware.config, db_path=middleware.db_path, source=f"{method} {path}"
        )
        self.started = started
        self.thread = threading.get_ident()
        self.steps = 0
        self.finished = False
        self.status = None
        self.response_headers = []
        self.body_size = 0
        self.error = None

    @property
    def trace_id(self):
        return self.profiler.trace_id

    def begin(self, method, path, query_string, headers, body_size):
        """Start the profiler on this thread and mark the request; False,
        with the failure logged, when the profiler cannot start."""
        try:
            self.profiler.start()
        except Exception as error:
            self.middleware.failed("start the profiler", error)
            sys.setprofile(None)
            return False
        _traced_by_thread[self.thread] = self
        self.steps = 1
        try:
            _inbound_request(method, path, query_string, headers, body_size)
        finally:
            self.pause()
        return True

    def resume(self):
        self.steps += 1
        if self.steps == 1 and not self.finished:
            try:
                self.profiler.rust_profiler.register_threading_profiler(None, None, None)
            except Exception as error:
                self.middleware.failed("resume the profiler", error)

    def pause(self):
        self.steps -= 1
        # A task of a finished request runs with no hook to take down.
        if self.steps == 0 and not self.finished:
            sys.setprofile(None)

    def end(self):
        """Mark the response and stop recording; the trace is then ready to
        be saved. Runs once."""
        if self.finished:
            return
        self.resume()
        try:
            _inbound_response(
                self.status, self.response_headers, self.body_size, time.perf_counter() - self.started, self.error
            )
        finally:
            self.finished = True
            self.steps = 0
            try:
                self.profiler.stop()
            finally:
                sys.setprofile(None)
                # The server may close a WSGI body on another thread than the one that began it.
                if _traced_by_thread.get(self.thread) is self:
                    del _traced_by_thread[self.thread]

    def finish(self):
        """End the trace; return its document, or None when it cannot be
        built. Failures are logged."""
        try:
            self.end()
        except Exception as error:
            self.middleware.failed("end the trace", error)
        try:
            return self.profiler.build_trace()
        except Exception as error:
            self.middleware.failed("build the trace", error)
            return None

    def store_key(self):
        """Where and how the trace is stored: (db path, busy timeout)."""
        return self.profiler.db_path, self.profiler.sqlite_busy_timeout


class Middleware:
    """What both middleware share: options, request selection, counters,
    and failures logged once."""

    def __init__(self, app, db=None, config=None, sample=1.0, paths=None):
        self.app = app
        self.db_path = location.absolute(location.resolve(db))
        self.config = {**DEFAULT_CONFIG, **(config or {})}
        if self.config["threading"]:
            raise ValueError('config "threading" cannot be used with zelm.web middleware: a thread cannot be told '
                             "which of the requests served side by side started it, so a request's trace would "
                             "hold other requests' calls")
        if isinstance(sample, bool) or not isinstance(sample, (int, float)) or not 0 <= sample <= 1:
            raise ValueError(f"sample must be a rate between 0 and 1, not {sample!r}")
        self.sample = float(sample)
        self.include, self.exclude = _path_prefixes(paths)
        self.traced_requests = 0
        self.skipped_requests = 0
        self._lock = threading.Lock()
        self._failures_logged = set()
        writer.drain_on_termination()

    def wants(self, path):
        """Whether a request for ``path`` is to be traced."""
        if self.include and not path.startswith(self.include):
            return False
        if self.exclude and path.startswith(self.exclude):
            return False
        return self.sample >= 1 or random.random() < self.sample

    def new_tracing(self, method, path, query_string, headers, body_size):
        """A started Tracing for this request; SKIPPED when another one is
        traced on this thread (or something else profiles it), counted; None
        when the profiler does not start."""
        started = time.perf_counter()
        if _traced_on_this_thread() or sys.getprofile() is not None:
            with self._lock:
                self.skipped_requests += 1
            return SKIPPED
        try:
            tracing = Tracing(self, method, path, started)
        except Exception as error:
            self.failed("start the profiler", error)
            return None
        if not tracing.begin(method, path, query_string, headers, body_size):
            return None
        writer.trace_opened()
        with self._lock:
            self.traced_requests += 1
        return tracing

    def failed(self, action, error):
        """Log a failure of zelm's, once per action and kind of error."""
        key = (action, type(error))
        with self._lock:
            if key in self._failures_logged:
                return
            self._failures_logged.add(key)
        _logger.warning("zelm.web: cannot %s: %s: %s (the request goes on; logged once)",
                        action, type(error).__name__, error)


def _path_prefixes(paths):
    """(include, exclude) tuples of prefixes from ``paths``: None, or a
    mapping with the optional keys "include" and "exclude"."""
    if paths is None:
        return (), ()
    if not isinstance(paths, Mapping) or set(paths) - {"include", "exclude"}:
        raise ValueError(f'paths must map "include" and/or "exclude" to lists of path prefixes, not {paths!r}')
    prefixes = []
    for key in ("include", "exclude"):
        value = paths.get(key) or ()
        if isinstance(value, str) or not all(isinstance(prefix, str) for prefix in value):
            raise ValueError(f'paths["{key}"] must be a list of path prefixes, not {value!r}')
        prefixes.append(tuple(value))
    return tuple(prefixes)


def content_length(text):
    try:
        size = int(text)
    except (TypeError, ValueError):
        return None
    return size if size >= 0 else None
