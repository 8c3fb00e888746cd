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
    ("C") at its end, in nanoseconds from the start of the trace. Frames
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
    """The open and close events of one thread's calls, depth first.

    speedscope refuses a profile whose events are not balanced or whose
    times run backwards; the tree gives the balance, and each time is held
    at no earlier than the one before it, so that a damaged document still
    exports."""
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
