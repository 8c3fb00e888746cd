"""The Django middleware: one trace per request of a Django project, served
by WSGI or ASGI.

    MIDDLEWARE = ["zelm.web.DjangoMiddleware", ...]   # first, to trace the other middleware too
    ZELM = {"db": ".zelm/traces.sqlite3", "keep": {"errors": True, "slower_than": 0.5}, "sample": 1.0,
            "paths": {"exclude": ["/static/"]}}

The settings' ZELM entries are the options of WSGIMiddleware (all of them
optional); a bad one stops Django from loading its middleware with
ImproperlyConfigured. The trace runs from the request reaching this
middleware to the response coming back to it: a streamed response's body,
produced afterwards by the server, is not in it. An exception of a view,
which Django turns into a 500 response, is the response record's "error".

Under WSGI the hook is installed on the serving thread while the rest of
the chain runs. Under ASGI the middleware is asynchronous: the coroutines
of the request (async middleware and views) and the tasks they start are
recorded step by step on the event loop, as by ASGIMiddleware; what Django
runs in a thread of its own for them (sync views and middleware, the ORM
called through sync_to_async) is not recorded.
"""

import contextvars
from collections.abc import Mapping

from asgiref.sync import iscoroutinefunction, markcoroutinefunction
from django.conf import settings
from django.core.exceptions import ImproperlyConfigured
from django.http.request import HttpHeaders

from zelm.web import writer
from zelm.web.asgi import _Stepped, _trace_started_tasks
from zelm.web.tracing import SKIPPED, TRACE_HEADER, Middleware, content_length

__all__ = ["DjangoMiddleware"]

OPTIONS = ("db", "config", "sample", "paths", "keep")

# The request traced in this context: Django calls process_exception in it,
# on the serving thread or, under ASGI, in a thread it copies the context to.
_traced_request = contextvars.ContextVar("zelm_django_request", default=None)


class DjangoMiddleware(Middleware):
    """Trace the requests of a Django project, one trace per request, with
    the options of settings.ZELM (see this module's description)."""

    sync_capable = True
    async_capable = True

    def __init__(self, get_response):
        options = getattr(settings, "ZELM", None)
        if options is None:
            options = {}
        if not isinstance(options, Mapping) or set(options) - set(OPTIONS):
            raise ImproperlyConfigured(f"settings.ZELM must be a dict of the zelm.web options "
                                       f"{', '.join(OPTIONS)}, not {options!r}")
        try:
            super().__init__(get_response, **options)
        except ValueError as error:
            raise ImproperlyConfigured(f"settings.ZELM: {error}") from error
        self.is_async = iscoroutinefunction(get_response)
        if self.is_async:
            markcoroutinefunction(self)

    def __call__(self, request):
        if self.is_async:
            return self._traced_async(request)
        tracing = self._new_tracing(request)
        if tracing is None:
            return self.app(request)
        if tracing is SKIPPED:
            return _marked(self.app(request), None, SKIPPED)
        token = _traced_request.set(tracing)
        tracing.resume()
        try:
            return _marked(self.app(request), tracing, tracing.trace_id)
        except BaseException as error:
            if tracing.error is None:
                tracing.error = error
            raise
        finally:
            tracing.pause()
            _traced_request.reset(token)
            writer.store(tracing, tracing.finish())

    async def _traced_async(self, request):
        tracing = self._new_tracing(request)
        if tracing is None:
            return await self.app(request)
        if tracing is SKIPPED:
            return _marked(await self.app(request), None, SKIPPED)
        _trace_started_tasks()
        token = _traced_request.set(tracing)
        try:
            return _marked(await _Stepped(self.app(request), tracing), tracing, tracing.trace_id)
        except BaseException as error:
            if tracing.error is None:
                tracing.error = error
            raise
        finally:
            _traced_request.reset(token)
            writer.store(tracing, tracing.finish())

    def _new_tracing(self, request):
        """A started Tracing, SKIPPED, or None for a request left untraced."""
        path = request.path
        if not self.wants(path):
            return None
        # Read from META: request.headers would be cached on the application's request.
        headers = [(name.lower(), value) for name, value in HttpHeaders(request.META).items()]
        return self.new_tracing(request.method, path, request.META.get("QUERY_STRING", ""), headers,
                                content_length(request.META.get("CONTENT_LENGTH")))

    def process_exception(self, request, exception):
        """Note a view's exception, which Django then turns into a response."""
        tracing = _traced_request.get()
        if tracing is not None and tracing.error is None:
            tracing.error = exception


def _marked(response, tracing, header_value):
    """The response with the trace header, noted in the traced request."""
    response[TRACE_HEADER] = header_value
    if tracing is not None:
        tracing.status = response.status_code
        tracing.response_headers = [(name.lower(), value) for name, value in response.items()]
        tracing.body_size = None if response.streaming else len(response.content)
    return response
