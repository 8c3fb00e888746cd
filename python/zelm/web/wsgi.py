"""The WSGI middleware: one trace per request of a WSGI application."""

from zelm.web import writer
from zelm.web.tracing import SKIPPED, TRACE_HEADER, Middleware, content_length

__all__ = ["WSGIMiddleware"]


class WSGIMiddleware(Middleware):
    """Trace the requests of a WSGI application, one trace per request.

    ``db``: the trace database (default .zelm/traces.sqlite3 under the
    current directory); ``config``: the profiler configuration (see
    zelm.Profiler; "threading" is refused, see tracing.py); ``sample``: the share
    of requests traced, 0 to 1, chosen at random when each arrives;
    ``paths``: {"include": [prefixes], "exclude": [prefixes]} on the request
    path (excluding wins); ``keep``: which traces are stored, decided when
    the response is complete (a zelm.web.Keep or a dict of its rules;
    default: all).

    The trace is complete once the server has closed the response body, so
    a streamed body is inside it; it is then stored by a background thread
    (see flush()). ``stats()`` counts the requests (also
    ``traced_requests``, ``skipped_requests``, ``kept_requests``,
    ``dropped_requests`` and ``sampled_out_requests``).
    """

    def __call__(self, environ, start_response):
        path = _wsgi_text(environ.get("SCRIPT_NAME", "") + environ.get("PATH_INFO", ""))
        if not self.wants(path):
            return self.app(environ, start_response)
        method = environ.get("REQUEST_METHOD", "GET")
        headers = _wsgi_request_headers(environ)
        tracing = self.new_tracing(
            method, path, _wsgi_text(environ.get("QUERY_STRING", "")), headers,
            content_length(environ.get("CONTENT_LENGTH")),
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
        writer.store(tracing, tracing.finish())


def _wsgi_text(text):
    """A WSGI environ string (bytes decoded as ISO-8859-1) as the UTF-8 text it carries."""
    try:
        return text.encode("latin-1").decode("utf-8", "replace")
    except (AttributeError, UnicodeError):
        return text


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
