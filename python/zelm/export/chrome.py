"""`zelm export --format chrome`: a walked trace (zelm.view.walk) as
Chrome trace events, which Perfetto and chrome://tracing open, written as
JSON text that Perfetto's importer reads back whole, event by event as
they are made.
"""

import itertools
import json
import re

from zelm.export.json import to_json_safe
from zelm.export.times import NonFiniteTimeError, all_placeable, nanoseconds_from_start
from zelm.trace import Call

__all__ = ["ChromeTrace", "to_chrome_trace", "chrome_trace_json", "NonFiniteTimeError"]


class ChromeTrace:
    """The trace ``walked`` as a Chrome trace event file that Perfetto and
    chrome://tracing open.

    Every call is one complete event ("ph" "X") with "ts" and "dur" in
    microseconds from the start of the trace, on the process of the main
    thread id and the thread of its native id; plugin records are instant
    events on their thread, and where the size budget cut the trace a
    global instant event "trace cut: budget reached" carries the cut's
    details. A coroutine or generator that was resumed is one event per
    segment it ran, so that the tasks of one event loop never overlap on
    their thread. Calls nest per thread as they ran: times are whole
    nanoseconds (zelm.export.times) before they are divided. Making the
    events raises NonFiniteTimeError.
    """

    def __init__(self, walked):
        self.walked = walked
        # The events made so far.
        self.event_count = 0

    def events(self):
        """The events, each made (and its nodes decoded) when asked for."""
        walked, trace = self.walked, self.walked.trace
        pid = trace.main_thread_id if trace.main_thread_id is not None else 1

        def nanoseconds(timestamp):
            return nanoseconds_from_start(trace, timestamp)

        yield {"name": "process_name", "ph": "M", "pid": pid, "tid": 0, "args": {"name": trace.source or "python"}}
        for thread in walked.threads:
            tid = thread.thread_id if thread.thread_id is not None else 0
            yield {"name": "thread_name", "ph": "M", "pid": pid, "tid": tid, "args": {"name": thread.name}}
            for _, reference in walked.walk(thread):
                node = walked.node(reference)
                if isinstance(node, Call):
                    yield from _call_events(node, nanoseconds, pid, tid)
                else:
                    yield {
                        "name": node.type, "cat": "plugin", "ph": "i", "s": "t", "pid": pid, "tid": tid,
                        "ts": nanoseconds(node.timestamp) / 1000, "args": to_json_safe(node.data),
                    }
        for cut in trace.cuts:
            # A global instant event: the line from which on the trace is incomplete.
            tid = cut.thread_native_id if cut.thread_native_id is not None else 0
            yield {
                "name": "trace cut: budget reached", "cat": "trace_cut", "ph": "i", "s": "g", "pid": pid, "tid": tid,
                "ts": nanoseconds(cut.timestamp if cut.timestamp is not None else trace.end) / 1000,
                "args": to_json_safe(vars(cut)),
            }

    def other_data(self):
        trace = self.walked.trace
        other = {
            "trace_id": trace.trace_id,
            "source": trace.source,
            "version": trace.version,
            "command_line_args": trace.command_line_args,
            "timestamp": trace.timestamp,
        }
        if trace.cuts:
            other["dropped_events"] = trace.dropped_events
        return to_json_safe(other)

    def times_placeable(self):
        """Whether the events are made without a NonFiniteTimeError, told
        from the walked trace's time columns without making them; False
        without such columns. When not, make them all before writing any."""
        columns = self.walked.time_columns()
        return columns is not None and all_placeable(self.walked.trace, columns)

    def json_chunks(self):
        """The JSON text of the file, in pieces of a few hundred events made
        as they are asked for, as chrome_trace_json writes the whole of it."""
        self.event_count = 0
        yield '{"traceEvents": ['
        separator = ""
        events = self.events()
        while batch := list(itertools.islice(events, _EVENTS_PER_CHUNK)):
            self.event_count += len(batch)
            # The text of a list without its brackets: its items, each
            # written as alone, joined by ", ".
            yield separator + _perfetto_json(batch)[1:-1]
            separator = ", "
        yield '], "displayTimeUnit": "ms", "otherData": ' + _perfetto_json(self.other_data()) + "}"


# Events encoded by one call of the JSON encoder.
_EVENTS_PER_CHUNK = 500


def to_chrome_trace(trace):
    """The Chrome trace event file of a trace the reader loaded whole
    (zelm.trace.Trace), as one JSON-ready dict."""
    from zelm.view.walk import LoadedTrace

    exported = ChromeTrace(LoadedTrace(trace))
    return {"traceEvents": list(exported.events()), "displayTimeUnit": "ms", "otherData": exported.other_data()}


def _call_events(call, nanoseconds, pid, tid):
    """The complete events of ``call``: one, or one per segment of a joined
    coroutine or generator, the arguments on the first and how it ended on
    the last. Its children's own events fall inside the segment they ran
    in, since each segment spans only the time it ran."""
    segments = call.segments or [call]
    spans = [(nanoseconds(segment.start), nanoseconds(segment.end)) for segment in segments]
    events = []
    for number, (segment, (start, end)) in enumerate(zip(segments, spans), 1):
        # A frame id is text; a damaged document's other values are made
        # JSON's (a repr read in its place stays the text it is).
        frame_id = segment.frame_id if isinstance(segment.frame_id, str) else to_json_safe(segment.frame_id)
        args = {"location": call.location, "frame_id": frame_id}
        if len(segments) > 1:
            args["segment"] = f"{number} of {len(segments)}"
        if number == 1 and call.call_record is not None:
            args["arguments"] = to_json_safe(call.arguments)
        if number == len(segments):
            if call.raised is not None:
                args["raised"] = call.raised
            elif call.finished:
                args["return_value"] = to_json_safe(call.return_value)
            else:
                args["unfinished"] = True
            if len(segments) > 1:
                # In microseconds, as every time of the format.
                ran = sum(span_end - span_start for span_start, span_end in spans)
                args["ran_us"], args["awaited_us"] = ran / 1000, (spans[-1][1] - spans[0][0] - ran) / 1000
        events.append({
            "name": call.name, "cat": "call", "ph": "X", "pid": pid, "tid": tid,
            "ts": start / 1000, "dur": (end - start) / 1000, "args": args,
        })
    return events


# The escapes in json.dumps's ASCII text that Perfetto's JSON importer
# misreads or refuses: a UTF-16 surrogate pair, a surrogate alone, and an
# escaped backslash (a string ending in one ends in a backslash and a
# quote, which its tokenizer takes for an escaped quote, reading on past
# the end of the string). Every other escape is a backslash and a character
# that is not one, or "\u" and four hex digits, so the scan for these
# never starts a match inside another escape.
_PERFETTO_MISREAD = re.compile(r"\\ud[89ab][0-9a-f]{2}\\ud[c-f][0-9a-f]{2}|\\ud[89a-f][0-9a-f]{2}|\\\\")


def chrome_trace_json(chrome_trace):
    """``chrome_trace`` (from to_chrome_trace) as JSON text that Perfetto
    reads back as json.loads does, to be written as UTF-8.

    Backslashes are written "\\u005c"; characters beyond the Basic
    Multilingual Plane as themselves, since Perfetto refuses the escapes of
    surrogates; a surrogate alone, which neither UTF-8 nor Perfetto can
    carry, as the text of its backslash escape ("\\udc80"), as zelm shows
    such text elsewhere. The rest is json.dumps's ASCII (control characters
    escaped)."""
    return _perfetto_json(chrome_trace)


def _perfetto_json(value):
    # Every escape lies inside one JSON string: a value's text is changed
    # alike written alone or within its file.
    return _PERFETTO_MISREAD.sub(_perfetto_escape, json.dumps(value, allow_nan=False))


def _perfetto_escape(match):
    escape = match.group()
    if escape == "\\\\":
        return "\\u005c"
    if len(escape) == 12:
        high, low = int(escape[2:6], 16), int(escape[8:12], 16)
        return chr(0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00))
    return "\\u005c" + escape[1:]
