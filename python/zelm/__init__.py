"""zelm: a tracing profiler recording every Python call and return.

The compiled module zelm._zelm does the recording; this package configures
it (Profiler, enabled), serialises values for it (zelm.serialize), stores the
traces it produces (zelm.db) and reads them back (zelm.trace). Importing zelm
does not load zelm._zelm.
"""

import contextlib

from zelm.profiler import Profiler
from zelm.version import __version__

__all__ = ["Profiler", "enabled", "__version__"]


def enabled(db_path=None, *, config=None, source="python", trace_id=None):
    """Record a block, or every call of a function, and save its trace.

    As a context manager (``with zelm.enabled(db_path="t.sqlite3") as
    profiler:``) it starts a new Profiler with these settings on entry and
    yields it; on exit, also when the block raises, it stops recording and
    saves the trace in ``db_path``. As a decorator (``@zelm.enabled()``)
    it does the same around every call of the function, each call making a
    trace of its own. Entries nested in one another on the same object (a
    decorated function calling itself) belong to the outermost one's trace.
    """
    return _Enabled(dict(config=config, db_path=db_path, source=source, trace_id=trace_id))


class _Enabled(contextlib.ContextDecorator):
    def __init__(self, profiler_settings):
        self._profiler_settings = profiler_settings
        self._profiler = None
        self._depth = 0

    def __enter__(self):
        if self._depth == 0:
            profiler = Profiler(**self._profiler_settings)
            profiler.start()
            self._profiler = profiler
        self._depth += 1
        return self._profiler

    def __exit__(self, *exc_info):
        self._depth -= 1
        if self._depth == 0:
            profiler, self._profiler = self._profiler, None
            profiler.stop()
            profiler.save()
        return False
