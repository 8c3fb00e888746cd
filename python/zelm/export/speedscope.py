"""`zelm export --format speedscope`: a loaded trace (zelm.trace.Trace) in
speedscope's file format (https://www.speedscope.app), whose flame graph
and "left heavy" views sum the time of every call.
"""

import math

from zelm.export.times import nanoseconds_from_start
from zelm.trace import Call
from zelm.version import __version__

__all__ = ["to_speedscope", "SPEEDSCOPE_SCHEMA"]

SPEEDSCOPE_SCHEMA = "https://www.speedscope.app/file-format-schema.json"


def to_speedscope(trace):
    """The trace as a speedscope file (a JSON-ready dict).

    Each thread is one "evented" profile, the main thread first and shown
    first: every call opens its frame ("O") at its start and closes it
    ("C") at its end, in nanoseconds from the start of the trace; a
    coroutine or generator that was resumed does so once per segment it
    ran, so that the tasks of one event loop nest as they ran. Frames
    are shared by all profiles, one per function: its qualified name, file
    and line. A call the trace holds no return of closes where the reader
    ended it (the end of the trace); the records of plugins, which
    speedscope has no place for, are left out. Raises
    zelm.export.times.NonFiniteTimeError.
    """
    frames, frame_index = [], {}

    def frame_of(call):
        name, location = call.name, call.location
        index = frame_index.get((name, location))
        if index is None:
            index = frame_index[(name, location)] = len(frames)
            frames.append(_frame(name, location))
        return index

    thread_events = [(thread, _thread_events(trace, thread, frame_of)) for thread in trace.threads]
    # Every profile spans the whole trace; a damaged document's end may be
    # no number, and its calls then end it.
    end = max([events[-1]["at"] for _, events in thread_events if events]
              + ([nanoseconds_from_start(trace, trace.end)] if math.isfinite(trace.end) else []), default=0)

    def profile(name, events):
        return {"type": "evented", "name": name, "unit": "nanoseconds", "startValue": 0, "endValue": end,
                "events": events}

    profiles = [
        profile(f"{thread.name} ({thread.thread_id})" if thread.thread_id is not None else thread.name, events)
        for thread, events in thread_events
    ]
    # The file opens on its first profile, which a run that recorded
    # nothing has too.
    profiles = profiles or [profile("no calls recorded", [])]
    name = f"{trace.source or 'python'} (zelm trace {trace.trace_id})"
    if trace.cuts:
        name += f", cut by its budget: {trace.dropped_events} events left out"
    return {
        "$schema": SPEEDSCOPE_SCHEMA,
        "name": name,
        "exporter": f"zelm {__version__}",
        "activeProfileIndex": 0,
        "shared": {"frames": frames},
        "profiles": profiles,
    }


def _thread_events(trace, thread, frame_of):
    """The open and close events of one thread's calls.

    speedscope refuses a profile whose events are not balanced or whose
    times run backwards; the nesting gives the balance, and each time is
    held at no earlier than the one before it, so that a damaged document
    still exports."""
    if any(isinstance(node, Call) and node.segments for _, node in thread.walk()):
        return _events_in_time_order(trace, thread, frame_of)
    events = []
    last = 0
    # (call, None) to open the call, (call, its frame) to close it.
    pending = [(node, None) for node in reversed(thread.roots) if isinstance(node, Call)]
    while pending:
        call, frame = pending.pop()
        if frame is None:
            frame = frame_of(call)
            last = max(last, nanoseconds_from_start(trace, call.start))
            events.append({"type": "O", "frame": frame, "at": last})
            pending.append((call, frame))
            pending.extend((child, None) for child in reversed(call.children) if isinstance(child, Call))
        else:
            last = max(last, nanoseconds_from_start(trace, call.end))
            events.append({"type": "C", "frame": frame, "at": last})
    return events


def _events_in_time_order(trace, thread, frame_of):
    """The events of a thread with a resumed coroutine or generator, which
    opens and closes its frame once per segment it ran. Its later segments
    ran inside whatever resumed them, outside the place the tree gives the
    joined call, so the frames open in order of time and nest where they
    ran, the tree telling apart only spans whose times meet."""
    spans = _spans(trace, thread, frame_of)
    # The longer of two spans starting together holds the other; the sort
    # is stable, so the tree orders spans alike in time.
    spans.sort(key=lambda span: (span.start, -span.end))
    events, open_spans = [], []
    last = 0

    def close():
        nonlocal last
        span = open_spans.pop()
        last = max(last, span.end)
        events.append({"type": "C", "frame": span.frame, "at": last})

    for span in spans:
        while open_spans and not open_spans[-1].holds(span):
            close()
        last = max(last, span.start)
        events.append({"type": "O", "frame": span.frame, "at": last})
        open_spans.append(span)
    while open_spans:
        close()
    return events


class _Span:
    """One time a call ran, in nanoseconds from the start of the trace: the
    whole call, or one segment of a joined one. ``order`` numbers the calls
    depth first and ``last_descendant`` is the number of the call's last
    descendant in the tree, so a call's descendants are told in one test."""

    __slots__ = ("start", "end", "frame", "order", "last_descendant")

    def __init__(self, start, end, frame, order):
        self.start, self.end, self.frame, self.order, self.last_descendant = start, end, frame, order, order

    def holds(self, span):
        """Whether ``span`` ran inside this one: within its time, and where
        it starts as this one ends, a call below this one in the tree."""
        return span.end <= self.end and (
            span.start < self.end or self.order < span.order <= self.last_descendant)


def _spans(trace, thread, frame_of):
    """The _Spans of a thread's calls, depth first."""
    spans = []
    order = 0
    # (call, None) to enter the call, (call, its spans) to leave it.
    pending = [(node, None) for node in reversed(thread.roots) if isinstance(node, Call)]
    while pending:
        call, entered = pending.pop()
        if entered is not None:
            for span in entered:
                span.last_descendant = order - 1
            continue
        frame = frame_of(call)
        entered = [_Span(nanoseconds_from_start(trace, segment.start), nanoseconds_from_start(trace, segment.end),
                         frame, order)
                   for segment in call.segments or [call]]
        order += 1
        spans.extend(entered)
        pending.append((call, entered))
        pending.extend((child, None) for child in reversed(call.children) if isinstance(child, Call))
    return spans


def _frame(name, location):
    """A speedscope frame: the qualified name, and the file and line of a
    "file:line" location where it holds them."""
    frame = {"name": name}
    file, _, line = location.rpartition(":")
    if file and line.isascii() and line.isdigit():
        frame["file"], frame["line"] = file, int(line)
    elif location:
        frame["file"] = location
    return frame
