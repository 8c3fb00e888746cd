"""The ASGI middleware: one trace per "http" request of an ASGI
application, its own coroutine and the tasks it starts run step by step
under the request's hook, so that requests interleaving on one event loop
each record only their own steps."""

import asyncio
import contextvars
from collections.abc import Coroutine

from zelm.web import writer
from zelm.web.tracing import SKIPPED, TRACE_HEADER, Middleware, content_length

__all__ = ["ASGIMiddleware"]

# The request whose task (or one of its tasks) is running, in the context
# that tasks started by it inherit.
_request_of_task = contextvars.ContextVar("zelm_web_request", default=None)


class ASGIMiddleware(Middleware):
    """Trace the "http" requests of an ASGI application, one trace per
    request; "lifespan" and "websocket" scopes pass through untouched.

    Options as for WSGIMiddleware. Requests on one event loop interleave on
    one thread, whose profile hook is handed from request to request at
    each step of their coroutines: each request's trace holds its own
    calls, and those of the tasks it starts on the loop; work handed to
    other threads is not recorded. A request begun inside a step of
    another's (by an inner middleware, or a server starting the next
    pipelined request from the previous one's send) is traced on its own,
    its calls in its trace only. A request that finds another profiler on
    the thread is served untraced, counted in ``skipped_requests`` and
    marked "X-Zelm-Trace: skipped".
    """

    async def __call__(self, scope, receive, send):
        if scope.get("type") != "http":
            return await self.app(scope, receive, send)
        path = scope.get("path", "")
        if not self.wants(path):
            return await self.app(scope, receive, send)
        headers = [(_latin1(name).lower(), _latin1(value)) for name, value in scope.get("headers", ())]
        body_size = content_length(next((value for name, value in headers if name == "content-length"), None))
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
            writer.store(tracing, tracing.finish())


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
    around each step (the request's own, or of a task it started): the
    hook of whichever request the loop ran before is not on during it."""

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
