"""The module the native profiler stores finished traces through: it calls
zelm.db.save_trace_in_sqlite (a test's trace in one-trace-per-test mode,
Profiler.save()). The store itself is zelm.store.

Imported while the profiler records, and left out of traces by name.
"""

from zelm.store import *  # noqa: F401,F403
from zelm.store import __all__  # noqa: F401
