"""The Chrome and JSON formats of `zelm export` (the HTML format is the
viewer's: zelm.view.export).

to_chrome_trace turns a loaded trace (zelm.trace.Trace) into Chrome trace
events, which Perfetto and chrome://tracing open; to_json_safe turns any
decoded value of a trace, the whole document included, into JSON types,
marking what JSON has no form for. The viewer sends values through
to_json_safe too.
"""

import math

from zelm.serialize import values
from zelm.trace import Call

__all__ = ["to_chrome_trace", "to_json_safe", "JSON_REPR_KEY", "JSON_TUPLE_KEY", "JSON_DICT_KEY"]


def to_chrome_trace(trace):
    """The trace as a Chrome trace event file (a JSON-ready dict) that
    Perfetto and chrome://tracing open.

    Every call is one complete event ("ph" "X") with "ts" and "dur" in
    microseconds from the start of the trace, on the process of the main
    thread id and the thread of its native id; plugin records are instant
    events on their thread, and where the size budget cut the trace a
    global instant event "trace cut: budget reached" carries the cut's
    details. Calls nest per thread exactly as in the tree:
    times are rounded to whole nanoseconds before they are divided, so a
    callee never ends after its caller.
    """
    pid = trace.main_thread_id if trace.main_thread_id is not None else 1

    def nanoseconds(timestamp):
        return round((timestamp - trace.start) * 1e9)

    events = [{"name": "process_name", "ph": "M", "pid": pid, "tid": 0, "args": {"name": trace.source or "python"}}]
    for thread in trace.threads:
        tid = thread.thread_id if thread.thread_id is not None else 0
        events.append({"name": "thread_name", "ph": "M", "pid": pid, "tid": tid, "args": {"name": thread.name}})
        for _, node in thread.walk():
            if isinstance(node, Call):
                start, end = nanoseconds(node.start), nanoseconds(node.end)
                args = {"location": node.location, "frame_id": node.frame_id}
                if node.call_record is not None:
                    args["arguments"] = to_json_safe(node.arguments)
                if node.raised is not None:
                    args["raised"] = node.raised
                elif node.finished:
                    args["return_value"] = to_json_safe(node.return_value)
                else:
                    args["unfinished"] = True
                events.append({
                    "name": node.name, "cat": "call", "ph": "X", "pid": pid, "tid": tid,
                    "ts": start / 1000, "dur": (end - start) / 1000, "args": args,
                })
            else:
                events.append({
                    "name": node.type, "cat": "plugin", "ph": "i", "s": "t", "pid": pid, "tid": tid,
                    "ts": nanoseconds(node.timestamp) / 1000, "args": to_json_safe(node.data),
                })
    for cut in trace.cuts:
        # A global instant event: the line from which on the trace is incomplete.
        tid = cut.thread_native_id if cut.thread_native_id is not None else 0
        events.append({
            "name": "trace cut: budget reached", "cat": "trace_cut", "ph": "i", "s": "g", "pid": pid, "tid": tid,
            "ts": nanoseconds(cut.timestamp if cut.timestamp is not None else trace.end) / 1000,
            "args": to_json_safe(vars(cut)),
        })
    other = {
        "trace_id": trace.trace_id,
        "source": trace.source,
        "version": trace.version,
        "command_line_args": trace.command_line_args,
        "timestamp": trace.timestamp,
    }
    if trace.cuts:
        other["dropped_events"] = trace.dropped_events
    return {"traceEvents": events, "displayTimeUnit": "ms", "otherData": to_json_safe(other)}


# Keys of the JSON objects that mark what JSON has no form for.
JSON_REPR_KEY, JSON_TUPLE_KEY, JSON_DICT_KEY = "$repr", "$tuple", "$dict"
_JSON_MARKER_KEYS = frozenset({JSON_REPR_KEY, JSON_TUPLE_KEY, JSON_DICT_KEY})


def to_json_safe(value):
    """``value`` made of JSON types only, with what JSON has no form for
    marked by a one-entry object:

    - {"$repr": TEXT} for a repr the trace holds in place of an object
      (zelm.values.Repr), and for a decoded value JSON cannot hold (bytes,
      a float that is not finite, a timestamp), as its repr;
    - {"$tuple": [ITEMS]} for a tuple;
    - {"$dict": [[KEY, VALUE], ...]} for a dict whose keys were not all
      text (zelm.values.ObjectKeyDict), and for a dict whose one key is
      one of these three, so that it is not taken for a marker.

    Other dicts become objects with their keys as text (int keys as
    json.dumps writes them, other keys as their repr)."""
    value_type = type(value)
    if value_type is str or value is None or value_type is bool or value_type is int:
        return value
    if value_type is values.Repr:
        return {JSON_REPR_KEY: str.__str__(value)}
    if value_type is float:
        return value if math.isfinite(value) else {JSON_REPR_KEY: repr(value)}
    if value_type is list:
        return [to_json_safe(item) for item in value]
    if value_type is tuple:
        return {JSON_TUPLE_KEY: [to_json_safe(item) for item in value]}
    if value_type is values.ObjectKeyDict or (value_type is dict and len(value) == 1
                                              and next(iter(value)) in _JSON_MARKER_KEYS):
        return {JSON_DICT_KEY: [[to_json_safe(key), to_json_safe(item)] for key, item in value.items()]}
    if isinstance(value, dict):
        return {_json_key(key): to_json_safe(item) for key, item in value.items()}
    # msgpack's ExtType is a tuple too, but no array.
    return {JSON_REPR_KEY: repr(value)}


def _json_key(key):
    if isinstance(key, str):
        return key
    if isinstance(key, (int, float, bool)) or key is None:
        return str(key)  # what json.dumps does with such keys
    return repr(key)
