"""zelm: a tracing profiler recording every Python call and return.

The compiled module zelm._zelm does the recording; this package configures
it (Profiler, enabled), serialises values for it (zelm.serialize), stores the
traces it produces (zelm.store) and reads them back (zelm.trace). Importing zelm
does not load zelm._zelm.
"""

import contextlib
import threading

from zelm.config import DEFAULT_TRACE_BUDGET_BYTES
from zelm.profiler import DEFAULT_SOURCE, Profiler
from zelm.version import __version__

__all__ = ["Profiler", "enabled", "register_repr", "unregister_repr", "DEFAULT_TRACE_BUDGET_BYTES", "__version__"]


def register_repr(cls, function=None):
    """Show values of ``cls`` (and of its subclasses without a ``__repr__``
    of their own) in traces by ``repr()``, declaring it free of side
    effects, or by ``function(value)``, which returns a str. Without a
    registration zelm calls no Python-level ``__repr__`` of the program (see
    zelm.serialize.plans)."""
    # Imported here: the serializer needs msgpack, and importing zelm must not.
    from zelm.serialize import plans

    plans.register_repr(cls, function)


def unregister_repr(cls):
    """Forget the registration of ``cls``; returns whether there was one."""
    from zelm.serialize import plans

    return plans.unregister_repr(cls)


def enabled(db_path=None, *, config=None, source=DEFAULT_SOURCE, trace_id=None):
    """Record a block, or every call of a function, and save its trace.

    As a context manager (``with zelm.enabled(db_path="t.sqlite3") as
    profiler:``) it starts a new Profiler with these settings on entry and
    yields it; on exit, also when the block raises, it stops recording and
    saves the trace in ``db_path``. As a decorator (``@zelm.enabled()``)
    it does the same around every call of the function, each call making a
    trace of its own, also when threads call it at the same time. Entries
    nested in one another on one thread (a decorated function calling
    itself) belong to the outermost one's trace.

    ``config`` is the Profiler's; unless it says otherwise, a trace stops
    taking records at DEFAULT_TRACE_BUDGET_BYTES (256 MiB; config
    "trace_budget_bytes", None for no budget).
    """
    config = {"trace_budget_bytes": DEFAULT_TRACE_BUDGET_BYTES, **(config or {})}
    # A Profiler now, so that a bad config fails here, not at the first entry.
    Profiler(config=config, db_path=db_path, source=source, trace_id=trace_id)
    return _Enabled(dict(config=config, db_path=db_path, source=source, trace_id=trace_id))


class _Enabled(contextlib.ContextDecorator):
    def __init__(self, profiler_settings):
        self._profiler_settings = profiler_settings
        # Profiling hooks are per thread, so is the running profiler: a
        # decorated request handler called by two threads at once makes
        # two traces.
        self._running = threading.local()

    def __enter__(self):
        # A nested entry enters the thread's running profiler again, which
        # counts it; the outermost one makes a new profiler.
        profiler = getattr(self._running, "profiler", None) or Profiler(**self._profiler_settings)
        profiler.__enter__()
        self._running.profiler = profiler
        return profiler

    def __exit__(self, *exc_info):
        profiler = self._running.profiler
        profiler.__exit__(*exc_info)
        if not profiler.entered:
            self._running.profiler = None
            profiler.save()
        return False
