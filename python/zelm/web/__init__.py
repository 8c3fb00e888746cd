"""One trace per web request: WSGI and ASGI middleware.

    app.wsgi_app = zelm.web.WSGIMiddleware(app.wsgi_app)     # Flask
    app = zelm.web.ASGIMiddleware(app)                       # Starlette, FastAPI

Each traced request becomes one trace, complete when its response is
finished and then stored by a background thread (flush() waits for it;
the traces still queued are stored at exit and when SIGTERM or SIGINT ends
the process; a trace the database does not take in time, locked by another
program, goes to a fallback file). The trace starts with an
"inbound_request" record and ends with an "inbound_response" record; both
are made by the "inbound_http" plugin from the calls of the two marker
functions in tracing.py. Responses of traced requests carry the header
"X-Zelm-Trace: <trace id>".

The profile hook is per thread, and it is installed on the serving thread
only while the request's own code runs: for WSGI while the application is
called, each body chunk is produced and the body is closed; for ASGI at every
step of the request's coroutine and of the tasks it starts. Other requests
served on the same thread in between are never recorded in its trace. The
configuration "threading" is refused: a new thread cannot be told which of
the requests in progress started it. At
most one traced request is in progress per thread: a request that arrives
on a thread while one is traced there (requests interleaving on an event
loop) is served untraced, counted in ``skipped_requests``, and answered with
"X-Zelm-Trace: skipped".

Nothing zelm does changes a response: a profiler that cannot start, a
marker that fails or a trace that cannot be stored is logged once on the
"zelm" logger and the request goes on (untraced, when the profiler could
not start). Exceptions of the application propagate unchanged, after its
trace is complete.

wsgi.py and asgi.py are the two middleware; tracing.py holds one traced
request, what both middleware share and the markers; writer.py stores the
finished traces. All of it runs while requests are recorded, and is left
out of traces by name.
"""

from zelm.web.asgi import ASGIMiddleware
from zelm.web.tracing import SKIPPED, TRACE_HEADER
from zelm.web.writer import flush
from zelm.web.wsgi import WSGIMiddleware

__all__ = ["WSGIMiddleware", "ASGIMiddleware", "flush", "TRACE_HEADER", "SKIPPED"]
