"""One traced request, and what the WSGI and ASGI middleware share: the
options, which requests are traced (path prefixes and head sampling, at the
start) and which traces are kept (the keep rules, at the end), the counters
and the failures logged once. The two marker functions that the
inbound_http plugin records are here, where it looks for them by this
file's name.
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
from zelm.ids import valid_traceparent
from zelm.profiler import Profiler
from zelm.store import location
from zelm.web import steps, writer
from zelm.web.keep import keep_rules

__all__ = ["Tracing", "Middleware", "content_length", "TRACE_HEADER", "SKIPPED"]

TRACE_HEADER = "X-Zelm-Trace"
SKIPPED = "skipped"
# The hook that makes new threads join a profiler is process-wide, and a
# thread cannot be told which request started it: with requests served side
# by side, a request's trace would take in the calls of the others' threads.
DEFAULT_CONFIG = {"threading": False}

_logger = logging.getLogger("zelm")


# ---- the markers the inbound_http plugin records ----


def _inbound_request(method, path, query_string, headers, body_size, traceparent, otel_trace_id):
    """Called first in a traced request: the plugin records the arguments."""


def _inbound_response(status, headers, body_size, duration, error):
    """Called last in a traced request: the plugin records the arguments."""


# ---- one traced request ----


class Tracing:
    """The profiler of one request. Its hook is on a thread while a step
    of the request's code runs there (resume() to pause(), see steps.py):
    requests served in turns on one thread, as on an event loop, each
    record only their own steps."""

    def __init__(self, middleware, method, path, started):
        self.middleware = middleware
        self.profiler = Profiler(
            config=middleware.config, db_path=middleware.db_path, source=f"{method} {path}"
        )
        self.path = path
        self.started = started
        self.duration = None
        self.finished = False
        # The requests of the thread it began on.
        self.home = None
        self.status = None
        self.response_headers = []
        self.body_size = 0
        self.error = None

    @property
    def trace_id(self):
        return self.profiler.trace_id

    def begin(self, method, path, query_string, headers, body_size, traceparent, otel_trace_id):
        """Start the profiler on this thread and mark the request; False,
        with the failure logged, when the profiler cannot start. Begun in a
        step of another request, that one's hook comes back afterwards."""
        here = steps.this_thread()
        here.make_room()
        try:
            self.profiler.start()
        except Exception as error:
            self.middleware.failed("start the profiler", error)
            here.hand_back()
            return False
        self.home = here
        here.opened()
        try:
            _inbound_request(method, path, query_string, headers, body_size, traceparent, otel_trace_id)
        finally:
            here.hand_back()
        return True

    def resume(self):
        """Begin a step of the request's code on this thread: its hook
        takes the thread over until pause()."""
        # A task of a finished request runs unrecorded.
        if not self.finished:
            steps.this_thread().resume(self)

    def pause(self):
        """End the step begun by the last resume() on this thread."""
        steps.this_thread().pause(self)

    def take_thread(self):
        """Make the request's hook the calling thread's, the request it
        replaces keeping its open calls for its next step."""
        try:
            self.profiler.rust_profiler.take_over_thread()
        except Exception as error:
            self.middleware.failed("resume the profiler", error)

    def end(self):
        """Mark the response and stop recording; the trace is then ready to
        be saved. Runs once."""
        if self.finished:
            return
        self.resume()
        self.duration = time.perf_counter() - self.started
        try:
            _inbound_response(self.status, self.response_headers, self.body_size, self.duration, self.error)
        finally:
            self.finished = True
            try:
                self.profiler.stop()
            finally:
                self.home.closed()
                here = steps.this_thread()
                here.leave(self)
                here.hand_back()

    def finish(self):
        """End the trace; return its document, or None when the keep rules
        drop it or it cannot be built. Failures are logged."""
        try:
            self.end()
        except Exception as error:
            self.middleware.failed("end the trace", error)
        if not self.middleware.keeps(self):
            return None
        try:
            return self.profiler.build_trace()
        except Exception as error:
            self.middleware.failed("build the trace", error)
            return None

    def store_key(self):
        """Where and how the trace is stored: (db path, busy timeout)."""
        return self.profiler.db_path, self.profiler.sqlite_busy_timeout


class Counters:
    """How many requests a middleware traced, kept, dropped, left out by
    sampling and skipped."""

    NAMES = ("traced", "kept", "dropped", "sampled_out", "skipped")

    def __init__(self):
        self._lock = threading.Lock()
        self.counts = dict.fromkeys(self.NAMES, 0)

    def add(self, name):
        with self._lock:
            self.counts[name] += 1


# The counters of every middleware made in this process, summed in the one
# line logged at its end.
_all_counters = []
_all_counters_lock = threading.Lock()


def _log_counts_at_end():
    """One line on the "zelm" logger with the requests of all middleware."""
    with _all_counters_lock:
        if not _all_counters:
            return
        totals = {name: sum(counters.counts[name] for counters in _all_counters) for name in Counters.NAMES}
        _all_counters.clear()
    _logger.info("zelm.web: %d requests traced (%d kept, %d dropped by the keep rules), %d sampled out, "
                 "%d skipped", totals["traced"], totals["kept"], totals["dropped"], totals["sampled_out"],
                 totals["skipped"])


writer.report_at_end(_log_counts_at_end)


class Middleware:
    """What both middleware share: options, request selection, the keep
    rules, counters, and failures logged once."""

    def __init__(self, app, db=None, config=None, sample=1.0, paths=None, keep=None):
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
        self.keep = keep_rules(keep)
        self.counters = Counters()
        with _all_counters_lock:
            _all_counters.append(self.counters)
        self._lock = threading.Lock()
        self._failures_logged = set()
        writer.drain_on_termination()

    @property
    def traced_requests(self):
        return self.counters.counts["traced"]

    @property
    def skipped_requests(self):
        return self.counters.counts["skipped"]

    @property
    def kept_requests(self):
        return self.counters.counts["kept"]

    @property
    def dropped_requests(self):
        return self.counters.counts["dropped"]

    @property
    def sampled_out_requests(self):
        return self.counters.counts["sampled_out"]

    def stats(self):
        """{"traced", "kept", "dropped", "sampled_out", "skipped"}: the
        requests recorded; of those ended, kept and dropped by the keep
        rules; left out by ``sample``; skipped (another profiler on the
        thread). Requests the path prefixes leave out are not counted."""
        return dict(self.counters.counts)

    def wants(self, path):
        """Whether a request for ``path`` is to be traced: decided before
        anything is made for it, so a request left out costs nothing."""
        if self.include and not path.startswith(self.include):
            return False
        if self.exclude and path.startswith(self.exclude):
            return False
        if self.sample >= 1 or random.random() < self.sample:
            return True
        self.counters.add("sampled_out")
        return False

    def keeps(self, tracing):
        """Whether the ended request's trace is stored, counted."""
        kept = self.keep is None or self.keep.keeps(
            tracing.path, tracing.status, tracing.error, tracing.duration, random.random)
        self.counters.add("kept" if kept else "dropped")
        return kept

    def new_tracing(self, method, path, query_string, headers, body_size):
        """A started Tracing for this request; SKIPPED, counted, when
        something else than a request's hook profiles this thread (another
        profiler); None when the profiler does not start."""
        started = time.perf_counter()
        hook = sys.getprofile()
        if hook is not None and not steps.this_thread().records_here(hook):
            self.counters.add("skipped")
            return SKIPPED
        try:
            tracing = Tracing(self, method, path, started)
        except Exception as error:
            self.failed("start the profiler", error)
            return None
        if not tracing.begin(method, path, query_string, headers, body_size, _traceparent(headers),
                             _opentelemetry_trace_id()):
            return None
        writer.trace_opened()
        self.counters.add("traced")
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


def _traceparent(headers):
    """The request's traceparent header when it has exactly one, well formed; else None."""
    values = [value for name, value in headers if name == "traceparent"]
    return valid_traceparent(values[0]) if len(values) == 1 else None


def _opentelemetry_trace_id():
    """The trace id (32 hex digits) of OpenTelemetry's current span when the
    application uses OpenTelemetry (zelm never imports it: importing sets up
    its global state), else None."""
    trace = sys.modules.get("opentelemetry.trace")
    if trace is None:
        return None
    try:
        context = trace.get_current_span().get_span_context()
        return format(context.trace_id, "032x") if context.is_valid else None
    except Exception:
        return None


def content_length(text):
    try:
        size = int(text)
    except (TypeError, ValueError):
        return None
    return size if size >= 0 else None
