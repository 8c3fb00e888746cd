"""The trace list of the viewer, and where a trace was recorded, from what
the store keeps beside each document (see zelm.store.sqlite): nothing here
decodes a trace, so a list of thousands of traces answers at once."""

from zelm import store
from zelm.export import to_json_safe
from zelm.view import sources


def listing(db_path):
    """One entry per trace id, newest first; a trace saved in several parts
    counts all of them: its records, size and dropped events add up, it
    runs from the earliest part's start to the latest part's end, on the
    threads of all of them."""
    parts = {}
    for stored in store.list_traces(db_path):  # newest first
        parts.setdefault(stored.trace_id, []).append(stored)
    return [_entry(list(reversed(newest_first))) for newest_first in parts.values()]


def _entry(parts):
    """The list's entry of one trace from its stored parts, oldest first."""
    newest = parts[-1]
    started = [part.started for part in parts if part.started is not None]
    ended = [part.ended for part in parts if part.ended is not None]
    duration = max(ended) - min(started) if started and ended else None
    threads = None if any(part.thread_ids is None for part in parts) else \
        {thread for part in parts for thread in part.thread_ids}
    dropped = [part.dropped_events for part in parts if part.dropped_events is not None]
    request = _request(parts)
    return {
        "trace_id": newest.trace_id,
        "saved_at": newest.saved_at,
        "timestamp": _first(part.timestamp for part in parts),
        "source": _first(part.source for part in parts),
        "records": _total(part.record_count for part in parts),
        "size": _total(part.size_bytes for part in parts),
        "parts": len(parts),
        "test": to_json_safe(_first(part.test for part in reversed(parts))),
        "parent_trace_id": _first(part.parent_trace_id for part in parts),
        "duration": duration,
        "threads": None if threads is None else len(threads),
        # Events left out by the trace budget; None for a complete trace.
        "dropped_events": sum(dropped) if dropped else None,
        "method": request.get("method"),
        "path": request.get("path"),
        "status": request.get("status"),
        "working_directory": _first(part.working_directory for part in parts),
    }


def _first(values):
    return next((value for value in values if value is not None), None)


def _total(counts):
    counts = list(counts)
    return None if None in counts else sum(counts)


def _request(parts):
    """The method and path of a served request from the part that opened
    it, its status from the part that answered it."""
    requests = [part.request for part in parts if part.request is not None]
    return {
        "method": _first(request["method"] for request in requests),
        "path": _first(request["path"] for request in requests),
        "status": _first(request["status"] for request in reversed(requests)),
    }


def origin(db_path, trace_id):
    """Where and when the trace ``trace_id`` was recorded (a sources.Origin):
    the directory its first part was saved from, and the time its recording
    began (its first record's, else its profiler's start), each None when
    the store does not know it."""
    parts = list(reversed(store.list_traces(db_path, trace_id=trace_id)))
    starts = [part.started for part in parts if part.started is not None] or \
        [part.timestamp for part in parts if part.timestamp is not None]
    return sources.Origin(_first(part.working_directory for part in parts), min(starts, default=None))
