"""The trace list of the viewer: what the database says of each trace, and
the facts that only the decoded trace tells (threads, duration, the test a
one-trace-per-test trace holds), computed on request and kept."""

import threading

from zelm import store
from zelm import trace as trace_reader
from zelm.export import to_json_safe
from zelm.view import model

# Traces larger than this are not decoded just to fill in the list.
FACTS_MAX_BYTES = 16 * 1024 * 1024


def listing(db_path):
    """One entry per trace id, newest first; a trace saved in several parts
    counts all of them."""
    traces = {}
    for stored in store.list_traces(db_path):  # newest first
        entry = traces.get(stored.trace_id)
        if entry is None:
            traces[stored.trace_id] = {
                "trace_id": stored.trace_id,
                "saved_at": stored.saved_at,
                "timestamp": stored.timestamp,
                "source": stored.source,
                "records": stored.record_count,
                "size": stored.size_bytes,
                "parts": 1,
                "test": to_json_safe(stored.test),
                "parent_trace_id": stored.parent_trace_id,
            }
            continue
        entry["size"] = None if entry["size"] is None or stored.size_bytes is None \
            else entry["size"] + stored.size_bytes
        entry["parts"] += 1
        entry["records"] = None if entry["records"] is None or stored.record_count is None \
            else entry["records"] + stored.record_count
        if stored.timestamp is not None:
            entry["timestamp"] = stored.timestamp  # the first part's
        if entry["source"] is None:
            entry["source"] = stored.source
        if entry["test"] is None:
            entry["test"] = to_json_safe(stored.test)
    return list(traces.values())


def trace_facts(trace):
    """Threads, duration and the test of a loaded trace."""
    test = None
    for thread in trace.threads:
        for _, node in thread.walk():
            if isinstance(node, trace_reader.PluginRecord) and node.type in ("start_test", "end_test"):
                data = node.data
                if test is None:
                    test = {"nodeid": data.get("nodeid"), "outcome": None}
                if node.type == "end_test" and data.get("outcome") is not None:
                    test["outcome"] = data.get("outcome")
        if test is not None:
            break
    return {
        "threads": len(trace.threads),
        "duration": trace.end - trace.start,
        "test": to_json_safe(test),
    }


class FactsCache:
    def __init__(self, db_path):
        self.db_path = db_path
        self._lock = threading.Lock()
        self._facts = {}  # (trace id, parts) -> facts

    def get(self, trace_id):
        stored = [entry for entry in store.list_traces(self.db_path) if entry.trace_id == trace_id]
        if not stored:
            raise trace_reader.TraceNotFoundError(f"no trace {trace_id} in {self.db_path}")
        key = (trace_id, len(stored))
        with self._lock:
            known = self._facts.get(key)
        if known is not None:
            return known
        if any(entry.size_bytes is None for entry in stored) or \
                sum(entry.size_bytes for entry in stored) > FACTS_MAX_BYTES:
            facts = {"threads": None, "duration": None, "test": None, "too_large": True}
        else:
            try:
                with model.collector_paused():
                    facts = trace_facts(trace_reader.load(self.db_path, trace_id))
            except trace_reader.TraceFormatError as error:
                facts = {"threads": None, "duration": None, "test": None, "error": str(error)}
        with self._lock:
            self._facts[key] = facts
        return facts
