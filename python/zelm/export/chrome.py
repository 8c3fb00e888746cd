"""`zelm export --format chrome`: a loaded trace (zelm.trace.Trace) as
Chrome trace events, which Perfetto and chrome://tracing open.
"""

import math

from zelm.export.json import to_json_safe
from zelm.trace import Call

__all__ = ["to_chrome_trace", "NonFiniteTimeError"]


class NonFiniteTimeError(ValueError):
    """The trace holds a time that is not a finite number (a damaged or
    hand-made document), which no Chrome trace event can carry."""


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
    callee never ends after its caller. Raises NonFiniteTimeError.
    """
    pid = trace.main_thread_id if trace.main_thread_id is not None else 1

    def nanoseconds(timestamp):
        offset = (timestamp - trace.start) * 1e9
        if not math.isfinite(offset):
            raise NonFiniteTimeError(
                f"trace {trace.trace_id} holds a time that is not a finite number ({timestamp} from a start at "
                f"{trace.start}), which Chrome trace events cannot carry; --format json exports it")
        return round(offset)

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
