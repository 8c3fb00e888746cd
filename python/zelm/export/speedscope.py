"""`zelm export --format speedscope`: a walked trace (zelm.view.walk) in
speedscope's file format (https://www.speedscope.app), whose flame graph
and "left heavy" views sum the time of every call, written as JSON text
event by event.
"""

import itertools
import json
import math

from zelm.export.times import NonFiniteTimeError, all_placeable, nanoseconds_from_start
from zelm.version import __version__

__all__ = ["SpeedscopeFile", "to_speedscope", "SPEEDSCOPE_SCHEMA"]

SPEEDSCOPE_SCHEMA = "https://www.speedscope.app/file-format-schema.json"


class SpeedscopeFile:
    """The trace ``walked`` as a speedscope file.

    Each thread is one "evented" profile, the main thread first and shown
    first: every call opens its frame ("O") at its start and closes it
    ("C") at its end, in nanoseconds from the start of the trace; a
    coroutine or generator that was resumed does so once per segment it
    ran, so that the tasks of one event loop nest as they ran. Frames
    are shared by all profiles, one per function: its qualified name, file
    and line. A call the trace holds no return of closes where the reader
    ended it (the end of the trace); the records of plugins, which
    speedscope has no place for, are left out. Only the names, locations
    and times of the calls are read, no record decoded.

    The frames and the span of the profiles come first in the file: a
    first walk over the calls finds them, a second makes the events.
    Making them raises zelm.export.times.NonFiniteTimeError.
    """

    def __init__(self, walked):
        self.walked = walked
        self.profile_count = max(1, len(walked.threads))
        self._frames = None
        self._unplaced = None  # the NonFiniteTimeError of the profiles' end

    def _first_walk(self):
        """(frames, frame number by (name, location), the end of every
        profile), the frames in the order the calls first name them."""
        if self._frames is not None:
            return self._frames
        walked, trace = self.walked, self.walked.trace
        frames, frame_index = [], {}
        latest = None
        for thread in walked.threads:
            for _, reference in walked.walk(thread):
                if not walked.is_call(reference):
                    continue
                key = (walked.name(reference), walked.location(reference))
                if key not in frame_index:
                    frame_index[key] = len(frames)
                    frames.append(_frame(*key))
                for start, end in walked.spans(reference):
                    latest = _later(_later(latest, start), end)
        # Every profile spans the whole trace; a damaged document's end may
        # be no number, and its calls then end it. Each thread's events
        # never go back before 0. A time no time line places fails the
        # export once the events are made, which fail first where one of
        # them is that time.
        try:
            ends = [] if latest is None else [max(0, nanoseconds_from_start(trace, latest))]
            if math.isfinite(trace.end):
                ends.append(nanoseconds_from_start(trace, trace.end))
        except NonFiniteTimeError as error:
            self._unplaced, ends = error, []
        self._frames = frames, frame_index, max(ends, default=0)
        return self._frames

    def times_placeable(self):
        """Whether the events are made without a NonFiniteTimeError, told
        from the walked trace's time columns; False without such columns.
        When not, make them all before writing any."""
        columns = self.walked.time_columns()
        return columns is not None and all_placeable(self.walked.trace, columns)

    def name(self):
        trace = self.walked.trace
        name = f"{trace.source or 'python'} (zelm trace {trace.trace_id})"
        if trace.cuts:
            name += f", cut by its budget: {trace.dropped_events} events left out"
        return name

    def header(self):
        """The entries of the file before its profiles."""
        return {
            "$schema": SPEEDSCOPE_SCHEMA,
            "name": self.name(),
            "exporter": f"zelm {__version__}",
            "activeProfileIndex": 0,
            "shared": {"frames": self._first_walk()[0]},
        }

    def profiles(self):
        """(profile entries but its events, the events as (type, frame,
        nanoseconds)) of each thread, made as they are asked for."""
        walked = self.walked
        _, frame_index, end = self._first_walk()

        def profile(name):
            return {"type": "evented", "name": name, "unit": "nanoseconds", "startValue": 0, "endValue": end}

        for thread in walked.threads:
            name = f"{thread.name} ({thread.thread_id})" if thread.thread_id is not None else thread.name
            yield profile(name), _thread_events(walked, thread, frame_index)
        # The file opens on its first profile, which a run that recorded
        # nothing has too.
        if not walked.threads:
            yield profile("no calls recorded"), iter(())
        if self._unplaced is not None:
            raise self._unplaced

    def json_chunks(self):
        """The JSON text of the file in pieces, event by event, as
        json.dumps writes the whole of it."""
        header = json.dumps(self.header(), allow_nan=False)
        yield header[:-1] + ', "profiles": ['
        separator = ""
        for entries, events in self.profiles():
            yield separator + json.dumps(entries, allow_nan=False)[:-1] + ', "events": ['
            event_separator = ""
            while batch := list(itertools.islice(events, _EVENTS_PER_CHUNK)):
                yield event_separator + ", ".join(
                    f'{{"type": "{kind}", "frame": {frame}, "at": {at}}}' for kind, frame, at in batch)
                event_separator = ", "
            yield "]}"
            separator = ", "
        yield "]}"


# Events written in one piece of text.
_EVENTS_PER_CHUNK = 1000


def to_speedscope(trace):
    """The speedscope file of a trace the reader loaded whole
    (zelm.trace.Trace), as one JSON-ready dict."""
    from zelm.view.walk import LoadedTrace

    exported = SpeedscopeFile(LoadedTrace(trace))
    file = exported.header()
    file["profiles"] = [{**entries, "events": [{"type": kind, "frame": frame, "at": at} for kind, frame, at in events]}
                        for entries, events in exported.profiles()]
    return file


def _later(latest, timestamp):
    return timestamp if latest is None or timestamp > latest else latest


def _thread_events(walked, thread, frame_index):
    """The open and close events of one thread's calls, as (type, frame,
    nanoseconds).

    speedscope refuses a profile whose events are not balanced or whose
    times run backwards; the nesting gives the balance, and each time is
    held at no earlier than the one before it, so that a damaged document
    still exports."""
    if walked.has_joined_calls(thread):
        yield from _events_in_time_order(walked, thread, frame_index)
        return
    trace = walked.trace
    last = 0
    open_calls = []  # (depth, frame, end) of the calls entered and not yet left

    for depth, reference in walked.walk(thread):
        if not walked.is_call(reference):
            continue
        while open_calls and open_calls[-1][0] >= depth:
            _, frame, end = open_calls.pop()
            last = max(last, nanoseconds_from_start(trace, end))
            yield "C", frame, last
        [(start, end)] = walked.spans(reference)
        frame = frame_index[(walked.name(reference), walked.location(reference))]
        last = max(last, nanoseconds_from_start(trace, start))
        yield "O", frame, last
        open_calls.append((depth, frame, end))
    while open_calls:
        _, frame, end = open_calls.pop()
        last = max(last, nanoseconds_from_start(trace, end))
        yield "C", frame, last


def _events_in_time_order(walked, thread, frame_index):
    """The events of a thread with a resumed coroutine or generator, which
    opens and closes its frame once per segment it ran. Its later segments
    ran inside whatever resumed them, outside the place the tree gives the
    joined call, so the frames open in order of time and nest where they
    ran, the tree telling apart only spans whose times meet."""
    spans = _spans(walked, thread, frame_index)
    # The longer of two spans starting together holds the other; the sort
    # is stable, so the tree orders spans alike in time.
    spans.sort(key=lambda span: (span.start, -span.end))
    open_spans = []
    last = 0
    for span in spans:
        while open_spans and not open_spans[-1].holds(span):
            closed = open_spans.pop()
            last = max(last, closed.end)
            yield "C", closed.frame, last
        last = max(last, span.start)
        yield "O", span.frame, last
        open_spans.append(span)
    while open_spans:
        closed = open_spans.pop()
        last = max(last, closed.end)
        yield "C", closed.frame, last


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


def _spans(walked, thread, frame_index):
    """The _Spans of a thread's calls, depth first."""
    trace = walked.trace
    spans = []
    order = 0
    entered = []  # (depth, spans) of the calls entered and not yet left
    for depth, reference in walked.walk(thread):
        if not walked.is_call(reference):
            continue
        while entered and entered[-1][0] >= depth:
            for span in entered.pop()[1]:
                span.last_descendant = order - 1
        frame = frame_index[(walked.name(reference), walked.location(reference))]
        pieces = [_Span(nanoseconds_from_start(trace, start), nanoseconds_from_start(trace, end), frame, order)
                  for start, end in walked.spans(reference)]
        order += 1
        spans.extend(pieces)
        entered.append((depth, pieces))
    for _, pieces in entered:
        for span in pieces:
            span.last_descendant = order - 1
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
