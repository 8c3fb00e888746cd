"""One trace per web request: WSGI and ASGI middleware.

    app.wsgi_app = zelm.web.WSGIMiddleware(app.wsgi_app)     # Flask
    app = zelm.web.ASGIMiddleware(app)                       # Starlette, FastAPI

Each traced request becomes one trace, complete when its response is
finished and then stored by a background thread (flush() waits for it, and
the traces still queued are stored at exit). The trace starts with an
"inbound_request" record and ends with an "inbound_response" record; both
are made by the "inbound_http" plugin from the calls of the two marker
functions below. Responses of traced requests carry the header
"X-Zelm-Trace: <trace id>".

The profile hook is per thread, and it is installed on the serving thread
only while the request's own code runs: for WSGI while the application is
called, each body chunk is produced and the body is closed; for ASGI at every
step of the request's coroutine and of the tasks it starts. Other requests
served on the same thread in between are never recorded in its trace. At
most one traced request is in progress per thread: a request that arrives
on a thread while one is traced there (requests interleaving on an event
loop) is served untraced, counted in ``skipped_requests``, and answered with
"X-Zelm-Trace: skipped".

Nothing zelm does changes a response: a profiler that cannot start, a
marker that fails or a trace that cannot be stored is logged once on the
"zelm" logger and the request goes on (untraced, when the profiler could
not start). Exceptions of the application propagate unchanged, after its
trace is complete.
"""

import asyncio
import atexit
import contextvars
import logging
import os
import queue
import random
import sys
import threading
import time
from collections.abc import Coroutine, Mapping

# The native profiler imports plugins, serialize, version and git on first
# use, from whichever thread gets there first, and takes a module it finds
# in sys.modules as ready: the first requests of a threaded server, recorded
# side by side, would lose records to a module still being imported.
from zelm import db, git, plugins, serialize, version  # noqa: F401
from zelm.profiler import DEFAULT_DB_PATH, Profiler

__all__ = ["WSGIMiddleware", "ASGIMiddleware", "flush", "TRACE_HEADER", "SKIPPED"]

TRACE_HEADER = "X-Zelm-Trace"
SKIPPED = "skipped"
# Threads started by a request would join its profiler, and the hook that
# makes them join is process-wide: off unless the configuration asks for it.
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


class _Tracing:
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


class _Middleware:
    """What both middleware share: options, request selection, counters,
    and failures logged once."""

    def __init__(self, app, db=None, config=None, sample=1.0, paths=None):
        self.app = app
        self.db_path = os.path.abspath(DEFAULT_DB_PATH if db is None else os.fspath(db))
        self.config = {**DEFAULT_CONFIG, **(config or {})}
        if isinstance(sample, bool) or not isinstance(sample, (int, float)) or not 0 <= sample <= 1:
            raise ValueError(f"sample must be a rate between 0 and 1, not {sample!r}")
        self.sample = float(sample)
        self.include, self.exclude = _path_prefixes(paths)
        self.traced_requests = 0
        self.skipped_requests = 0
        self._lock = threading.Lock()
        self._failures_logged = set()

    def wants(self, path):
        """Whether a request for ``path`` is to be traced."""
        if self.include and not path.startswith(self.include):
            return False
        if self.exclude and path.startswith(self.exclude):
            return False
        return self.sample >= 1 or random.random() < self.sample

    def new_tracing(self, method, path, query_string, headers, body_size):
        """A started _Tracing for this request; SKIPPED when another one is
        traced on this thread (or something else profiles it), counted; None
        when the profiler does not start."""
        started = time.perf_counter()
        if _traced_on_this_thread() or sys.getprofile() is not None:
            with self._lock:
                self.skipped_requests += 1
            return SKIPPED
        try:
            tracing = _Tracing(self, method, path, started)
        except Exception as error:
            self.failed("start the profiler", error)
            return None
        if not tracing.begin(method, path, query_string, headers, body_size):
            return None
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


def _content_length(text):
    try:
        size = int(text)
    except (TypeError, ValueError):
        return None
    return size if size >= 0 else None


def _wsgi_text(text):
    """A WSGI environ string (bytes decoded as ISO-8859-1) as the UTF-8 text it carries."""
    try:
        return text.encode("latin-1").decode("utf-8", "replace")
    except (AttributeError, UnicodeError):
        return text


# ---- WSGI ----


class WSGIMiddleware(_Middleware):
    """Trace the requests of a WSGI application, one trace per request.

    ``db``: the trace database (default .zelm/traces.sqlite3 under the
    current directory); ``config``: the profiler configuration (see
    zelm.Profiler; "threading" is off unless given); ``sample``: the share
    of requests traced, 0 to 1; ``paths``: {"include": [prefixes],
    "exclude": [prefixes]} on the request path (excluding wins).

    The trace is complete once the server has closed the response body, so
    a streamed body is inside it; it is then stored by a background thread
    (see flush()). ``traced_requests`` and ``skipped_requests`` count the
    requests.
    """

    def __call__(self, environ, start_response):
        path = _wsgi_text(environ.get("SCRIPT_NAME", "") + environ.get("PATH_INFO", ""))
        if not self.wants(path):
            return self.app(environ, start_response)
        method = environ.get("REQUEST_METHOD", "GET")
        headers = _wsgi_request_headers(environ)
        tracing = self.new_tracing(
            method, path, _wsgi_text(environ.get("QUERY_STRING", "")), headers,
            _content_length(environ.get("CONTENT_LENGTH")),
        )
        if tracing is None:
            return self.app(environ, start_response)
        if tracing is SKIPPED:
            return self.app(environ, _marking_start_response(start_response, None, SKIPPED))
        tracing.resume()
        try:
            body = self.app(environ, _marking_start_response(start_response, tracing, tracing.trace_id))
        except BaseException as error:
            tracing.error = error
            tracing.pause()
            self._finish(tracing)
            raise
        tracing.pause()
        return _TracedBody(body, tracing, self)

    def _finish(self, tracing):
        document = tracing.finish()
        if document is not None:
            _writer.put(tracing, document)


def _wsgi_request_headers(environ):
    headers = []
    for key, value in environ.items():
        if key.startswith("HTTP_"):
            name = key[5:]
        elif key in ("CONTENT_TYPE", "CONTENT_LENGTH"):
            name = key
        else:
            continue
        headers.append((name.replace("_", "-").lower(), _wsgi_text(value)))
    return headers


def _marking_start_response(start_response, tracing, header_value):
    """start_response adding the trace header, noting the response of a traced request."""

    def marking_start_response(status, response_headers, exc_info=None):
        response_headers = list(response_headers)
        response_headers.append((TRACE_HEADER, header_value))
        if tracing is not None:
            try:
                tracing.status = int(status.split(None, 1)[0])
            except (AttributeError, ValueError, IndexError):
                tracing.status = status
            tracing.response_headers = [(name.lower(), value) for name, value in response_headers]
        if exc_info is None:
            return start_response(status, response_headers)
        return start_response(status, response_headers, exc_info)

    return marking_start_response


class _TracedBody:
    """The application's response body, produced and closed with the hook
    installed; closing it ends and saves the trace."""

    def __init__(self, body, tracing, middleware):
        self._body = body
        self._chunks = None
        self._tracing = tracing
        self._middleware = middleware

    def __iter__(self):
        return self

    def __next__(self):
        tracing = self._tracing
        tracing.resume()
        try:
            if self._chunks is None:
                self._chunks = iter(self._body)
            chunk = next(self._chunks)
        except StopIteration:
            raise
        except BaseException as error:
            tracing.error = error
            raise
        finally:
            tracing.pause()
        tracing.body_size += len(chunk)
        return chunk

    def close(self):
        tracing = self._tracing
        close = getattr(self._body, "close", None)
        try:
            if close is not None:
                tracing.resume()
                try:
                    close()
                except BaseException as error:
                    if tracing.error is None:
                        tracing.error = error
                    raise
                finally:
                    tracing.pause()
        finally:
            self._middleware._finish(tracing)


# ---- ASGI ----

# The request whose task (or one of its tasks) is running, in the context
# that tasks started by it inherit.
_request_of_task = contextvars.ContextVar("zelm_web_request", default=None)


class ASGIMiddleware(_Middleware):
    """Trace the "http" requests of an ASGI application, one trace per
    request; "lifespan" and "websocket" scopes pass through untouched.

    Options as for WSGIMiddleware. Requests on one event loop interleave on
    one thread and the profile hook is per thread, so at most one request is
    traced at a time per loop: a request arriving meanwhile is served
    untraced, counted in ``skipped_requests`` and marked
    "X-Zelm-Trace: skipped". Tasks that the traced request starts on the
    loop are recorded with it; work handed to other threads is not.
    """

    async def __call__(self, scope, receive, send):
        if scope.get("type") != "http":
            return await self.app(scope, receive, send)
        path = scope.get("path", "")
        if not self.wants(path):
            return await self.app(scope, receive, send)
        headers = [(_latin1(name).lower(), _latin1(value)) for name, value in scope.get("headers", ())]
        body_size = _content_length(next((value for name, value in headers if name == "content-length"), None))
        tracing = self.new_tracing(
            scope.get("method", "GET"), path, _latin1(scope.get("query_string", b"")), headers, body_size
        )
        if tracing is None:
            return await self.app(scope, receive, send)
        if tracing is SKIPPED:
            return await self.app(scope, receive, _marking_send(send, None, SKIPPED))
        _trace_started_tasks()
        request_token = _request_of_task.set(tracing)
        try:
            await _Stepped(self.app(scope, receive, _marking_send(send, tracing, tracing.trace_id)), tracing)
        except BaseException as error:
            tracing.error = error
            raise
        finally:
            _request_of_task.reset(request_token)
            document = tracing.finish()
            if document is not None:
                await _store_off_loop(tracing, document)


async def _store_off_loop(tracing, document):
    """Hand the trace to the writer without blocking the event loop."""
    try:
        _writer.put(tracing, document, block=False)
        return
    except queue.Full:
        pass
    try:
        loop = asyncio.get_running_loop()
    except RuntimeError:
        # Not an asyncio loop: wait here for room.
        _writer.put(tracing, document)
        return
    await loop.run_in_executor(None, _writer.put, tracing, document)


def _latin1(value):
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).decode("latin-1")
    return value


def _marking_send(send, tracing, header_value):
    """send adding the trace header, noting the response of a traced request."""
    header = (TRACE_HEADER.lower().encode("latin-1"), header_value.encode("latin-1"))

    async def marking_send(message):
        kind = message.get("type")
        if kind == "http.response.start":
            message = {**message, "headers": [*message.get("headers", ()), header]}
            if tracing is not None:
                tracing.status = message.get("status")
                tracing.response_headers = [(_latin1(name).lower(), _latin1(value))
                                            for name, value in message["headers"]]
        elif kind == "http.response.body" and tracing is not None:
            tracing.body_size += len(message.get("body", b""))
        return await send(message)

    return marking_send


class _Stepped(Coroutine):
    """A coroutine run step by step with the request's hook installed
    around each step (the request's own, or of a task it started)."""

    __slots__ = ("_coroutine", "_tracing")

    def __init__(self, coroutine, tracing):
        self._coroutine = coroutine
        self._tracing = tracing

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        return self.send(None)

    def send(self, value):
        self._tracing.resume()
        try:
            return self._coroutine.send(value)
        finally:
            self._tracing.pause()

    def throw(self, *exception):
        self._tracing.resume()
        try:
            return self._coroutine.throw(*exception)
        finally:
            self._tracing.pause()

    def close(self):
        self._tracing.resume()
        try:
            return self._coroutine.close()
        finally:
            self._tracing.pause()

    def __getattr__(self, name):
        if name in _Stepped.__slots__:
            raise AttributeError(name)
        # cr_frame, cr_running, __qualname__...: what asyncio and anyio read of a task's coroutine.
        return getattr(self._coroutine, name)


def _trace_started_tasks():
    """Make tasks created on the running loop during a traced request run
    step by step under its hook, as its own coroutine does."""
    try:
        loop = asyncio.get_running_loop()
    except RuntimeError:
        return
    factory = loop.get_task_factory()
    if getattr(factory, "zelm_traces_tasks", False):
        return

    def task_factory(loop, coroutine, **options):
        tracing = _request_of_task.get()
        if tracing is not None and not tracing.finished:
            coroutine = _Stepped(coroutine, tracing)
        if factory is None:
            return asyncio.Task(coroutine, loop=loop, **options)
        return factory(loop, coroutine, **options)

    task_factory.zelm_traces_tasks = True
    loop.set_task_factory(task_factory)


# ---- storing traces off the request's path ----

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
            db.save_traces_in_sqlite(db_path, [(tracing.trace_id, document) for tracing, document in stored],
                                     timeout=timeout)
        except Exception as error:
            for middleware in {id(tracing.middleware): tracing.middleware for tracing, _ in stored}.values():
                middleware.failed(f"store traces in {db_path}", error)


_writer = _Writer()


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
