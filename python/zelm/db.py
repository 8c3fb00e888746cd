"""The module the native profiler stores finished traces through: it calls
zelm.db.save_trace_in_sqlite (a test's trace in one-trace-per-test mode,
Profiler.save()). The store itself is zelm.store.

Imported while the profiler records, and left out of traces by name.
"""

from zelm.store import (
    StoredTrace,
    TraceStoreError,
    list_traces,
    load_trace,
    load_trace_documents,
    save_trace_in_sqlite,
    save_traces_in_sqlite,
)

__all__ = [
    "TraceStoreError",
    "StoredTrace",
    "save_trace_in_sqlite",
    "save_traces_in_sqlite",
    "list_traces",
    "load_trace",
    "load_trace_documents",
]
