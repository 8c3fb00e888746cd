"""Reading stored traces: decode the document and rebuild the call tree.

A trace document is one MessagePack map (written by zelm._zelm) whose
"frames_of_interest" array holds the main thread's records and whose
"frames" map holds, per native thread id, the records of every other thread.
A record is either a frame record ("type" "frame": one "call" or "return"
event, the two linked by their "frame_id"), an exception record ("type"
"exception": the frame with that "frame_id" was left by raising; it follows
the frame's "return" record) or a plugin record (a log message, an HTTP
request, a test marker ...).

The reader groups the records by the thread that wrote them, pairs calls
with their returns and builds one call tree per thread, with the plugin
records placed where they happened. It accepts what real traces contain
besides well-formed pairs: calls still open when the trace was taken (they
end at the trace's last timestamp and are marked unfinished), and returns
whose call is not in the trace (frame id nil or unknown: the profiler was
started inside that function), which become calls enclosing everything the
thread recorded before them.

A coroutine or generator is left at each await or yield and entered again
at each resume, and the profiler gives every entry a call record with a
frame id of its own. The reader joins the pieces of one such frame into one
call (see _group_resumes): a resume is the call record of the same code
whose line is the line a piece of that code was left at (a fresh call
starts at the code's first line). Between the pieces the call was
suspended: its ``awaited`` time.

A trace that reached its size budget ("trace_budget_bytes") keeps its
first part and its last: in each record array that lost records between
them, a "trace_cut" record stands where they were (how many, from when to
when, where the first of them happened). The records of calls still open
after the gap, and the returns of calls made before it, are kept, so calls
and returns pair across it. The reader places a cut record in its thread's
tree as a plugin record, leaves it out of the record counts, and offers the
cuts as Trace.cuts. (Traces written before the tail was kept have one cut
record, last in "frames_of_interest", after the records filed before it.)

Values are decoded by zelm.serialize.values: a repr reads as Repr, a
tuple as a tuple, a dict whose keys were not all text as ObjectKeyDict.

Times in the tree never run backwards: a thread's frame timestamps are read
as a running maximum, so every call lies within its caller and after its
previous sibling even if the system clock stepped back.
"""

import functools
import struct
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Union

import msgpack

from zelm import store
from zelm.serialize import values
from zelm.store.salvage import UNDECODABLE_RECORD, decode_by_record

__all__ = [
    "LATEST",
    "UNDECODABLE_RECORD",
    "UNTYPED_RECORD",
    "TraceError",
    "TraceNotFoundError",
    "TraceFormatError",
    "Call",
    "PluginRecord",
    "TraceCut",
    "ThreadTrace",
    "Trace",
    "decode_document",
    "merge_documents",
    "load",
]

# The trace id that names the newest stored trace.
LATEST = "latest"

# The type the reader gives a record that is not a map: plugin data that
# could only be serialised whole (as its repr text, say). The record's value
# is kept under "value".
UNTYPED_RECORD = "untyped_record"

# The type of the record that says the trace reached its budget.
TRACE_CUT = "trace_cut"

# Keys the native profiler sets on every plugin record; the others are the
# plugin's own data.
PLUGIN_RECORD_KEYS = ("frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type", "subtype")


class TraceError(Exception):
    """A trace cannot be loaded; the message is one line naming the trace."""


class TraceNotFoundError(TraceError):
    """No trace with the requested id is stored."""


class TraceFormatError(TraceError):
    """The stored bytes are not a trace document."""


@dataclass(eq=False)
class PluginRecord:
    """A plugin's record, placed in the tree where it was written."""

    type: str
    timestamp: float
    record: Dict[str, Any]

    @property
    def data(self):
        """The plugin's own entries: the record without the common keys."""
        return {key: value for key, value in self.record.items() if key not in PLUGIN_RECORD_KEYS}


@dataclass(eq=False)
class TraceCut:
    """Where a trace's size budget cut it: ``dropped_events`` records
    (calls, returns, exceptions and plugin records) were left out, the
    first of them at ``timestamp`` in ``thread``, at the frame ``qualname``
    (``path`` as "file:line"), the last at ``dropped_until``. The fields of
    the first record are None when the profiler could not note it;
    ``dropped_until`` is None in traces written before the end of a trace
    was kept, which dropped everything after the cut."""

    dropped_events: int
    budget_bytes: Optional[int]
    recorded_bytes: Optional[int]
    timestamp: Optional[float]
    thread: Optional[str]
    thread_native_id: Optional[int]
    path: Optional[str]
    qualname: Optional[str]
    event: Optional[str]
    frame_id: Optional[str]
    dropped_until: Optional[float] = None

    @classmethod
    def from_record(cls, record):
        def number(key):
            value = record.get(key)
            return value if isinstance(value, int) and not isinstance(value, bool) else None

        def text(key):
            value = record.get(key)
            return value if isinstance(value, str) else None

        return cls(
            dropped_events=number("dropped_events") or 0,
            budget_bytes=number("budget_bytes"),
            recorded_bytes=number("recorded_bytes"),
            timestamp=_time(record),
            thread=text("thread"),
            thread_native_id=number("thread_native_id"),
            path=text("path"),
            qualname=text("qualname") or text("co_name"),
            event=text("event"),
            frame_id=text("frame_id"),
            dropped_until=_seconds(record.get("dropped_until")),
        )


@dataclass(eq=False)
class Call:
    """One call of a Python function, from its call record to its return.

    ``call_record`` is None for a return whose call the trace does not hold;
    ``return_record`` is None for a call that had not returned when the trace
    was taken. ``children`` holds the nested calls and plugin records in the
    order they happened.

    A coroutine or generator resumed after awaiting or yielding is one call
    made of ``segments``: one Call per time it ran (without children), the
    first from the call record, the last up to the final return, whose
    records the call carries. ``segments`` is empty for a call that ran in
    one piece.
    """

    frame_id: Optional[str]
    start: float
    end: float
    call_record: Optional[Dict[str, Any]] = field(repr=False)
    return_record: Optional[Dict[str, Any]] = field(default=None, repr=False)
    exception_record: Optional[Dict[str, Any]] = field(default=None, repr=False)
    children: List[Union["Call", PluginRecord]] = field(default_factory=list, repr=False)
    segments: Sequence["Call"] = field(default=(), repr=False)
    # The seconds the segments ran, when there are several.
    running_time: Optional[float] = None

    @property
    def _first_record(self):
        return self.call_record if self.call_record is not None else self.return_record

    @property
    def name(self):
        record = self._first_record
        qualname = record.get("qualname")
        if not qualname and self.return_record is not None:
            # Class bodies on 3.10 only get their qualified name at return.
            qualname = self.return_record.get("qualname")
        return str(qualname or record.get("co_name") or "?")

    @property
    def location(self):
        """The "path" text (file:line) of the call, or of the return when
        the call was not recorded."""
        return str(self._first_record.get("path", ""))

    @property
    def arguments(self):
        """The locals at the call, i.e. the arguments; None without a call."""
        return None if self.call_record is None else self.call_record.get("locals")

    @property
    def return_value(self):
        return None if self.return_record is None else self.return_record.get("arg")

    @property
    def raised(self):
        """How the call ended by raising, e.g. "ValueError('bad input')": the
        exception as serialised (its repr), or its type name, as a str; None
        for a call that returned. "an exception" when the type could not be
        read."""
        record = self.exception_record
        if record is None:
            return None
        value = record.get("exception")
        if isinstance(value, str) and value:
            return str.__str__(value)  # the text of a repr
        exception_type = record.get("exception_type")
        return str(exception_type) if exception_type else "an exception"

    @property
    def finished(self):
        return self.return_record is not None

    @property
    def duration(self):
        return self.end - self.start

    @property
    def running(self):
        """The seconds the call ran: its duration less the time it was
        suspended between its segments."""
        return self.duration if self.running_time is None else self.running_time

    @property
    def awaited(self):
        """The seconds the call was suspended (awaiting, or a generator
        between two values), between its first call and its final return."""
        return max(0.0, self.duration - self.running) if self.segments else 0.0

    @property
    def resumes(self):
        """How many times the call was resumed after awaiting or yielding."""
        return max(0, len(self.segments) - 1)

    def calls(self):
        """The nested calls, without plugin records."""
        return [child for child in self.children if isinstance(child, Call)]


@dataclass(eq=False)
class ThreadTrace:
    """The records and call tree of one thread."""

    thread_id: Optional[int]
    name: str
    records: List[Dict[str, Any]] = field(repr=False)
    roots: List[Union[Call, PluginRecord]] = field(default_factory=list, repr=False)

    def walk(self):
        """Yield (depth, node) for every call and plugin record, depth first,
        roots at depth 0."""
        pending = [(0, node) for node in reversed(self.roots)]
        while pending:
            depth, node = pending.pop()
            yield depth, node
            if isinstance(node, Call):
                pending.extend((depth + 1, child) for child in reversed(node.children))


@dataclass(eq=False)
class Trace:
    """A stored trace: the facts about the run and one ThreadTrace per
    thread, the main thread first, the others in order of their first
    record.

    ``timestamp`` is the time the profiler was made; ``start`` and ``end``
    span it and every record. ``document`` is the decoded document (the
    parts of a trace saved several times joined into one). ``cuts`` says
    where the size budget cut the trace, once per gap, in document order;
    it is empty for a complete trace. ``parent_trace_id`` names the
    trace of the process that started this one (a child process's trace).
    """

    trace_id: str
    timestamp: float
    start: float
    source: Optional[str]
    version: Optional[str]
    commit_sha: Optional[str]
    command_line_args: List[str]
    main_thread_id: Optional[int]
    threads: List[ThreadTrace] = field(repr=False)
    end: float
    document: Dict[str, Any] = field(repr=False)
    cuts: List[TraceCut] = field(default_factory=list, repr=False)
    parent_trace_id: Optional[str] = None

    @classmethod
    def from_document(cls, document, name="the trace document"):
        """Build the trace from a decoded document (a dict). ``name`` says
        which document an error message is about."""
        _check_document(document, name)
        meta = document.get("meta") if isinstance(document.get("meta"), dict) else {}
        main_thread_id = document.get("main_thread_id")
        if not isinstance(main_thread_id, int):
            main_thread_id = None
        timestamp = document.get("timestamp")
        timestamp = float(timestamp) if isinstance(timestamp, (int, float)) else None

        threads = _group_by_thread(document, main_thread_id)
        all_times = [t for thread in threads.values() for t in (_time(r) for r in thread.records) if t is not None]
        start = min([timestamp] + all_times) if timestamp is not None else min(all_times, default=0.0)
        end = max(all_times, default=start)
        for thread in threads.values():
            thread.roots = _group_resumes(_build_tree(thread.records, start, end), thread.records)

        ordered = sorted(
            threads.values(),
            key=lambda thread: (thread.thread_id != main_thread_id, _first_time(thread, end)),
        )
        args = document.get("command_line_args")
        parent_trace_id = document.get("parent_trace_id")
        return cls(
            trace_id=str(document.get("trace_id", "")),
            timestamp=start if timestamp is None else timestamp,
            start=start,
            source=meta.get("source"),
            version=meta.get("version"),
            commit_sha=document.get("current_commit_sha"),
            command_line_args=[str(arg) for arg in args] if isinstance(args, list) else [],
            main_thread_id=main_thread_id,
            threads=ordered,
            end=end,
            document=document,
            cuts=[TraceCut.from_record(record) for records in _buffers(document) for record in records
                  if _is_cut(record)],
            parent_trace_id=parent_trace_id if isinstance(parent_trace_id, str) else None,
        )

    @classmethod
    def from_bytes(cls, data, name="the trace document"):
        return cls.from_document(decode_document(data, name), name)

    @property
    def record_count(self):
        """The run's records: the cut records are the profiler's note on them."""
        return sum(1 for thread in self.threads for record in thread.records if not _is_cut(record))

    @property
    def dropped_events(self):
        """How many events the size budget left out of the trace."""
        return sum(cut.dropped_events for cut in self.cuts)

    @property
    def frame_record_count(self):
        """The records the profiler writes for frames: "frame" records and
        the "exception" records that follow the returns of frames left by
        raising; the other records are the plugins'."""
        return sum(1 for thread in self.threads for record in thread.records
                   if record.get("type") in ("frame", "exception"))


def decode_document(data, name="the trace document"):
    """Decode MessagePack ``data`` into a document dict, or raise
    TraceFormatError naming ``name``.

    A record that does not decode (from a trace recorded before values were
    checked) costs only itself: see zelm.store.salvage for what replaces it.
    """
    try:
        document = values.unpackb(data)
    except Exception as error:
        try:
            document = decode_by_record(data)
        except Exception:
            raise TraceFormatError(f"{name} does not decode as MessagePack: {_one_line(error)}") from None
    _check_document(document, name)
    return document


def merge_documents(documents):
    """Join the documents stored under one trace id, oldest first, into one.

    A trace saved several times is stored as several documents, each holding
    the records filed since the previous save; their records are appended
    per buffer, each "trace_cut" record staying where its gap is, and the
    facts about the run come from the first document.
    """
    merged = dict(documents[0])
    merged["frames"] = {key: list(records) for key, records in merged["frames"].items()}
    merged["frames_of_interest"] = list(merged["frames_of_interest"])
    for document in documents[1:]:
        merged["frames_of_interest"].extend(document["frames_of_interest"])
        for key, records in document["frames"].items():
            merged["frames"].setdefault(key, []).extend(records)
    return merged


def load(db_path, trace_id):
    """Load the trace ``trace_id`` (or LATEST, the newest) from the trace
    database at ``db_path``.

    Raises store.TraceStoreError for a database that cannot be read,
    TraceNotFoundError for an unknown id and TraceFormatError for stored
    bytes that are not a trace document.
    """
    if trace_id == LATEST:
        stored = store.list_traces(db_path)
        if not stored:
            raise TraceNotFoundError(f"no traces stored in {db_path}")
        trace_id = stored[0].trace_id
    data = store.load_trace_documents(db_path, trace_id)
    if not data:
        raise TraceNotFoundError(f"no trace {trace_id} in {db_path}")
    name = f"trace {trace_id} in {db_path}"
    documents = [decode_document(part, name) for part in data]
    return Trace.from_document(merge_documents(documents), name)


def _one_line(error):
    text = " ".join(str(error).split())
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def _check_document(document, name):
    if not isinstance(document, dict):
        raise TraceFormatError(f"{name} is not a trace document: a {type(document).__name__}, not a map")
    if not isinstance(document.get("frames_of_interest"), list):
        raise TraceFormatError(f"{name} is not a trace document: no \"frames_of_interest\" array")
    frames = document.get("frames")
    if not isinstance(frames, dict) or not all(isinstance(records, list) for records in frames.values()):
        raise TraceFormatError(f"{name} is not a trace document: no \"frames\" map of record arrays")


def _time(record):
    return _seconds(record.get("timestamp"))


def _seconds(value):
    return float(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else None


def _first_time(thread, default):
    return next((t for t in map(_time, thread.records) if t is not None), default)


def _buffers(document):
    """The record arrays of ``document``, "frames_of_interest" first."""
    return [document["frames_of_interest"], *document["frames"].values()]


def _group_by_thread(document, main_thread_id):
    """Split the records by the thread named in each record (with threading
    off, every thread's records share "frames_of_interest"); a record
    without a thread id belongs to the thread of its buffer."""
    threads = {}
    buffers = [(main_thread_id, document["frames_of_interest"])]
    buffers.extend(document["frames"].items())
    for buffer_thread_id, records in buffers:
        for record in records:
            if not isinstance(record, dict):
                record = {"type": UNTYPED_RECORD, "value": record}
            thread_id = record.get("thread_native_id")
            if not isinstance(thread_id, int) or isinstance(thread_id, bool):
                thread_id = buffer_thread_id if isinstance(buffer_thread_id, int) else None
            thread = threads.get(thread_id)
            if thread is None:
                name = record.get("thread")
                if not isinstance(name, str) or not name:
                    name = "main thread" if thread_id == main_thread_id else f"thread {thread_id}"
                thread = threads[thread_id] = ThreadTrace(thread_id=thread_id, name=name, records=[])
            thread.records.append(record)
    return threads


def _is_cut(record):
    return isinstance(record, dict) and record.get("type") == TRACE_CUT


def _build_tree(records, trace_start, trace_end):
    """The call tree of one thread's records, in order."""
    roots = []
    open_calls = []
    clock = trace_start  # running maximum of the frame timestamps
    first_time = min((t for t in map(_time, records) if t is not None), default=trace_start)

    # Returned calls by frame id, for the exception records that follow
    # their return records.
    returned = {}

    def close(call, end, return_record=None):
        call.end = max(end, call.start)
        call.return_record = return_record
        if return_record is not None and _pairable(call.frame_id):
            returned[call.frame_id] = call

    for record in records:
        timestamp = _time(record)
        if record.get("type") == "exception":
            frame_id = record.get("frame_id")
            call = returned.pop(frame_id, None) if _pairable(frame_id) else None
            if call is not None:
                call.exception_record = record
                continue
        if record.get("type") != "frame":
            node = PluginRecord(str(record.get("type")), clock if timestamp is None else timestamp, record)
            (open_calls[-1].children if open_calls else roots).append(node)
            continue
        if timestamp is not None:
            clock = max(clock, timestamp)
        event = record.get("event")
        if event == "call":
            call = Call(frame_id=record.get("frame_id"), start=clock, end=clock, call_record=record)
            (open_calls[-1].children if open_calls else roots).append(call)
            open_calls.append(call)
        elif event == "return":
            frame_id = record.get("frame_id")
            position = _open_position(open_calls, frame_id)
            # Calls above the returning one (or all open calls, for a return
            # whose call is not here) lost their return records: they ended
            # by now at the latest.
            while len(open_calls) > (0 if position is None else position + 1):
                close(open_calls.pop(), clock)
            if position is not None:
                close(open_calls.pop(), clock, record)
            else:
                # The call happened before the trace began, so it encloses
                # everything this thread recorded so far.
                start = min([first_time] + [node.start for node in roots if isinstance(node, Call)])
                caller = Call(frame_id=frame_id, start=start, end=clock, call_record=None, return_record=record)
                caller.children, roots[:] = roots[:], [caller]
                if _pairable(frame_id):
                    returned[frame_id] = caller
    while open_calls:
        close(open_calls.pop(), max(trace_end, clock))
    return roots


def _pairable(frame_id):
    """Whether an exception record can be paired by this frame id: the
    profiler writes texts, but a foreign document may hold a list or a map,
    which pairs with nothing rather than failing the whole trace."""
    if frame_id is None:
        return False
    try:
        hash(frame_id)
    except TypeError:
        return False
    return True


def _open_position(open_calls, frame_id):
    if frame_id is None:
        return None
    for position in range(len(open_calls) - 1, -1, -1):
        if open_calls[position].frame_id == frame_id:
            return position
    return None


# ---- the pieces of coroutines and generators ----

# What stands in a stable key for a value that may change while its frame
# is suspended.
_CHANGEABLE = ("changeable",)
# The types whose values a suspended frame's locals keep: a frame rebinds
# its own names only while it runs, and these are never changed in place.
_SCALARS = (type(None), bool, int, float, str, bytes)
# The scalars equal exactly when they are encoded alike.
_EXACT_SCALARS = frozenset(_SCALARS) - {float}


def _code_and_line(record):
    """((name, file), line) of a frame record's code and location, or None
    when its name or "file:line" path is missing or unusual. The name is
    the one the tree shows (the qualified name, else co_name)."""
    name = record.get("qualname")
    if not name:
        name = record.get("co_name")
        if not name:
            return None
    located = _file_and_line(str(record.get("path", "")))
    return None if located is None else ((str(name), located[0]), located[1])


@functools.lru_cache(maxsize=4096)
def _file_and_line(path):
    """(file, line) of a "file:line" path whose line is one to nine ASCII
    digits, else None; a trace repeats few paths many times."""
    file, colon, digits = path.rpartition(":")
    if not colon or not 0 < len(digits) <= 9 or not (digits.isascii() and digits.isdigit()):
        return None
    return file, int(digits)


def _value_key(value):
    """A hashable key equal for two decoded values exactly when they were
    encoded alike (the native reader compares the bytes): the type goes
    with the value, floats bit for bit, containers item by item in order."""
    kind = type(value)
    if kind in _EXACT_SCALARS:
        return kind, value
    if kind is dict:
        # Most locals hold only such scalars: their types and items say it all.
        types = (*map(type, value), *map(type, value.values()))
        if _EXACT_SCALARS.issuperset(types):
            return dict, types, tuple(value.items())
    if kind is float:
        return float, struct.pack("<d", value)
    if kind in (list, tuple):
        return kind, tuple(map(_value_key, value))
    if isinstance(value, dict):
        return kind, tuple((_value_key(key), _value_key(item)) for key, item in value.items())
    if kind is msgpack.ExtType:
        return kind, value.code, value.data
    if kind is msgpack.Timestamp:
        return kind, value.seconds, value.nanoseconds
    return kind, value


def _stable_key(locals_):
    """The part of locals that stays while the frame is suspended: the
    names in order with the values of _SCALARS (a mutable object, or one
    shown by its repr, may change meanwhile); None for locals that are no
    dict."""
    if type(locals_) is not dict:
        return None
    exact = _value_key(locals_)
    if len(exact) == 3:
        return exact  # nothing in them may change
    return tuple((_value_key(name) if type(name) in _SCALARS else _CHANGEABLE,
                  _value_key(value) if type(value) in _SCALARS else _CHANGEABLE)
                 for name, value in locals_.items())


class _Waiting:
    """The segments left at one line of one code and not resumed since,
    each the last of its call so far, indexed by its locals then."""

    def __init__(self):
        self.calls = {}  # id(first segment) -> (first segment, locals)
        # Made when a resume has to choose, for the calls added until then:
        # the ids of the calls by a key of their locals, and each one's key.
        self.indexes = [_LocalsIndex(_value_key), _LocalsIndex(_stable_key)]

    def add(self, first, locals_):
        self.calls[id(first)] = first, locals_
        for index in self.indexes:
            index.pending.append(id(first))

    def resumed_by(self, locals_):
        """The call a resume with ``locals_`` continues, taken out, or None:
        the only one waiting here, else the only one with these locals, else
        the only one with their stable part. When that leaves several or
        none, any of them may be the one resumed (its locals changed): they
        are all dropped, so that none is joined by mistake later."""
        if len(self.calls) > 1:
            for index in self.indexes:
                found = index.find(self.calls, locals_)
                if found:
                    break
            if len(found) != 1:
                self.__init__()
                return None
            call_id = next(iter(found))
        elif self.calls:
            call_id = next(iter(self.calls))
        else:
            return None
        for index in self.indexes:
            index.remove(call_id)
        return self.calls.pop(call_id)[0]


class _LocalsIndex:
    """Waiting calls by one key of their locals, made as it is asked."""

    def __init__(self, key):
        self.key = key
        self.ids = {}  # key -> ids of the calls
        self.keys = {}  # id -> its key
        self.pending = []  # ids of the calls added since the last find

    def find(self, calls, locals_):
        """The ids of the ``calls`` whose locals have the key of ``locals_``."""
        key, ids, keys = self.key, self.ids, self.keys
        for call_id in self.pending:
            if call_id in calls:
                keys[call_id] = found = key(calls[call_id][1])
                ids.setdefault(found, set()).add(call_id)
        self.pending.clear()
        wanted = key(locals_)
        return ids.get(wanted, ()) if wanted is not None else ()

    def remove(self, call_id):
        if call_id in self.keys:
            self.ids[self.keys.pop(call_id)].discard(call_id)


def _group_resumes(roots, records):
    """The tree ``roots`` with the segments of each coroutine or generator
    joined into one Call, in the place of its first segment; the children
    of every segment become the joined call's, in order.

    A fresh call starts at its code's first line, a resume at the line the
    frame was left at. A call record resumes a segment of its code (its name
    and file) left at its line by a return and not resumed since (see
    _Waiting.resumed_by for which one, and when none). A call at a line
    where no segment of its code waited is a fresh call, and so is every
    later call of that code at that line: a line where a function starts is
    never taken for one where it waits, though functions of one name and
    file (comprehensions of one function, say) start at several lines. So
    the resumes of a one-line function, which waits at the line where it
    starts (generator expressions among them), stay calls of their own. A
    segment left by raising is never resumed.
    """
    # Only a code called at several lines can have resumes.
    first_line, last_line = {}, {}
    for record in records:
        if record.get("type") == "frame" and record.get("event") == "call":
            located = _code_and_line(record)
            if located is not None:
                code, line = located
                first_line[code] = min(line, first_line.get(code, line))
                last_line[code] = max(line, last_line.get(code, line))
    if first_line == last_line:
        return roots  # every call starts at its code's first line: no resumes

    head = {}  # id(segment) -> the first segment of its call
    segments = {}  # id(first segment) -> [its segments]
    codes = {}  # id(first segment) -> its code
    waiting = {}  # (code, line) -> _Waiting
    starts = set()  # (code, line) where fresh calls were seen
    new_roots = []

    def enter(node, parent):
        if isinstance(node, Call) and node.call_record is not None:
            located = _code_and_line(node.call_record)
            if located is not None and located not in starts:
                place = waiting.get(located)
                if place is None or not place.calls:
                    starts.add(located)
                else:
                    resumed = place.resumed_by(node.call_record.get("locals", _NO_LOCALS))
                    if resumed is not None:
                        head[id(node)] = resumed
                        segments[id(resumed)].append(node)
                        return
            segments[id(node)] = [node]
            codes[id(node)] = None if located is None else located[0]
        siblings = new_roots if parent is None else head.get(id(parent), parent).children
        siblings.append(node)

    def leave(call):
        first = head.get(id(call), call)
        code = codes.get(id(first))
        if call.return_record is None or call.exception_record is not None or code is None:
            return
        returned_at = _code_and_line(call.return_record)
        if returned_at is not None:
            waiting.setdefault((code, returned_at[1]), _Waiting()).add(
                first, call.return_record.get("locals", _NO_LOCALS))

    pending = [(False, node, None) for node in reversed(roots)]
    while pending:
        leaving, node, parent = pending.pop()
        if leaving:
            leave(node)
            continue
        enter(node, parent)
        if isinstance(node, Call):
            children, node.children = node.children, []
            pending.append((True, node, parent))
            pending.extend((False, child, node) for child in reversed(children))

    for pieces in segments.values():
        if len(pieces) > 1:
            first, last = pieces[0], pieces[-1]
            joined = [Call(frame_id=piece.frame_id, start=piece.start, end=piece.end, call_record=piece.call_record,
                           return_record=piece.return_record, exception_record=piece.exception_record)
                      for piece in pieces]
            first.segments = joined
            first.running_time = sum(piece.duration for piece in joined)
            first.end = max(last.end, first.start)
            first.return_record, first.exception_record = last.return_record, last.exception_record
    return new_roots


# A record without "locals", told apart from one whose locals are nil.
_NO_LOCALS = object()
