"""One trace per web request: WSGI and ASGI middleware.

    app.wsgi_app = zelm.web.WSGIMiddleware(app.wsgi_app)     # Flask
    app = zelm.web.ASGIMiddleware(app)                       # Starlette, FastAPI
    MIDDLEWARE = ["zelm.web.DjangoMiddleware", ...]          # Django, options in settings.ZELM

Which requests are recorded is decided when each arrives: the path
prefixes (``paths``) and head sampling (``sample``, a share chosen at
random); a request left out passes through untouched (no header, no
profiler made) and costs nothing. Which recorded traces are stored is
decided when the response is complete, by the keep rules (``keep``, see
Keep; default: all): a trace they drop is discarded, never written, though
its response already named it in its header. ``stats()`` counts the
requests traced, kept, dropped, sampled out and skipped; the process logs
their sums in one line on the "zelm" logger when it ends.

Each traced request becomes one trace, complete when its response is
finished and then stored by a background thread (flush() waits for it;
the traces still queued are stored at exit and when SIGTERM or SIGINT ends
the process; a trace the database does not take in time, locked by another
program, goes to a fallback file). The trace starts with an
"inbound_request" record and ends with an "inbound_response" record; both
are made by the "inbound_http" plugin from the calls of the two marker
functions in tracing.py. The request record keeps the W3C "traceparent"
header the request arrived with, when well formed, and the trace id of
OpenTelemetry's current span when the application has imported
OpenTelemetry (zelm never imports it); `zelm list --traceparent` finds the
traces by either. Responses of traced requests carry the header
"X-Zelm-Trace: <trace id>".

The profile hook is per thread, and it is installed on the serving thread
only while the request's own code runs: for WSGI while the application is
called, each body chunk is produced and the body is closed; for ASGI at every
step of the request's coroutine and of the tasks it starts. Requests served
on one thread in turns, as on an event loop, each take the hook at their own
steps (steps.py): every one is traced, and its trace holds its own calls
only. A request begun inside another's step (by an inner middleware) is
traced on its own too. The configuration "threading" is refused: a new
thread cannot be told which of the requests in progress started it. A
request that finds another profiler on its thread is served untraced,
counted in ``skipped_requests``, and answered with "X-Zelm-Trace: skipped".

Nothing zelm does changes a response: a profiler that cannot start, a
marker that fails or a trace that cannot be stored is logged once on the
"zelm" logger and the request goes on (untraced, when the profiler could
not start). Exceptions of the application propagate unchanged, after its
trace is complete.

wsgi.py, asgi.py and django.py are the middleware; tracing.py holds one
traced request, what they share and the markers; steps.py hands a thread's
hook from request to request; keep.py the keep rules;
writer.py stores the finished traces. All of it runs while requests are recorded, and is left
out of traces by name.
"""

from zelm.web.asgi import ASGIMiddleware
from zelm.web.keep import Keep
from zelm.web.tracing import SKIPPED, TRACE_HEADER
from zelm.web.writer import flush
from zelm.web.wsgi import WSGIMiddleware

__all__ = ["WSGIMiddleware", "ASGIMiddleware", "DjangoMiddleware", "Keep", "flush", "TRACE_HEADER", "SKIPPED"]


def __getattr__(name):
    # Imported on first use: it imports Django.
    if name == "DjangoMiddleware":
        from zelm.web.django import DjangoMiddleware

        return DjangoMiddleware
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
