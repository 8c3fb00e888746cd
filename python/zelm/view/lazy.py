"""Loading a stored trace for the viewer without decoding every record.

zelm._fastread reads of each record only what the call tree is made of and
builds the tree the reader (zelm.trace) builds, as flat arrays; the records
themselves stay as MessagePack bytes and are decoded one at a time, when a
tree row or the details of a call need their arguments, locals or return
value. A node asked for is handed out as the reader's own Call or
PluginRecord, so everything the viewer shows of it is what the reader says.

A document the native reader cannot take apart (a broken frame, a thread id
beyond 64 bits ...) is loaded the slow way, by zelm.trace, which also
reports or salvages what is wrong with it.
"""

import dataclasses
import functools
import itertools
from array import array

import msgpack

from zelm import _fastread, store
from zelm import trace as trace_reader
from zelm.store.salvage import decode_record

# Decoded records kept per loaded trace: what a page of rows and a few
# details ask for again.
DECODED_RECORDS_KEPT = 4096


def record(raw):
    """The record in the MessagePack bytes ``raw`` as the reader holds it:
    a dict (a record that is no map wrapped as an untyped record)."""
    value = decode_record(raw)
    return value if isinstance(value, dict) else {"type": trace_reader.UNTYPED_RECORD, "value": value}


def record_fields(raw):
    """What the call tree takes from the record in ``raw``, for the records
    the native reader leaves to Python: (type text, event (0 other, 1 call,
    2 return), frame id as an equality key, time or None, thread id or None,
    thread name or None, qualname or None, co_name or None, path text)."""
    fields = record(raw)
    event = fields.get("event")
    frame_id = fields.get("frame_id")
    try:
        hash(frame_id)
    except TypeError:
        frame_id = ("unhashable frame id", repr(frame_id))
    thread_id = fields.get("thread_native_id")
    thread = fields.get("thread")
    qualname, co_name = fields.get("qualname"), fields.get("co_name")
    return (
        str(fields.get("type")),
        1 if event == "call" else 2 if event == "return" else 0,
        frame_id,
        trace_reader._time(fields),
        thread_id if isinstance(thread_id, int) and not isinstance(thread_id, bool) else None,
        thread if isinstance(thread, str) and thread else None,
        str(qualname) if qualname else None,
        str(co_name) if co_name else None,
        str(fields.get("path", "")),
    )


def column(tree, key, code):
    """One of the tree's arrays (bytes) as a sequence of ``code`` items
    ("q" 64-bit, "i" 32-bit, "b" 8-bit integers, "d" floats), not copied."""
    return memoryview(tree[key]).cast(code)


class Unindexable(ValueError):
    """The documents are not ones the native reader takes apart."""


def index_documents(documents):
    """The flat call tree of trace ``documents`` (MessagePack bytes, oldest
    first), a dict of arrays (see src/reader/fastread.cpp); raises
    Unindexable."""
    try:
        return _fastread.index(documents, record_fields)
    except ValueError as error:
        raise Unindexable(str(error)) from None


def trace_facts(documents, tree, nodes, name):
    """The reader's Trace for the run's facts, without threads: the first
    document's entries besides the records, the times of the tree and the
    trace's cuts (``nodes`` decodes their records)."""
    data = documents[0]
    facts = {"frames_of_interest": [], "frames": {}}
    for key, (begin, end) in tree["spans"].items():
        try:
            facts[key] = msgpack.unpackb(data[begin:end], raw=False, strict_map_key=False)
        except Exception:
            pass  # as the reader, which drops an entry that does not decode
    trace = trace_reader.Trace.from_document(facts, name)
    timestamp = facts.get("timestamp")
    has_timestamp = isinstance(timestamp, (int, float))
    cuts = [trace_reader.TraceCut.from_record(nodes.record(number)) for number in column(tree, "cuts", "q")]
    return dataclasses.replace(trace, start=tree["trace_start"], end=tree["trace_end"], cuts=cuts,
                               timestamp=trace.timestamp if has_timestamp else tree["trace_start"])


class Nodes:
    """The tree's nodes by id, each made on request as the reader's Call
    or PluginRecord from its decoded records."""

    def __init__(self, documents, tree):
        self._documents = [memoryview(document) for document in documents]
        self._objects = tree["objects"]
        self._kind = column(tree, "kind", "b")
        self._start = column(tree, "start", "d")
        self._end = column(tree, "end", "d")
        self._call = column(tree, "call_record", "q")
        self._return = column(tree, "return_record", "q")
        self._exception = column(tree, "exception_record", "q")
        self._running = column(tree, "running", "d")
        self._segment_first = column(tree, "segment_first", "q")
        self._segment_count = column(tree, "segment_count", "i")
        self._segment_columns = tuple(column(tree, key, code) for key, code in (
            ("segment_start", "d"), ("segment_end", "d"), ("segment_call", "q"), ("segment_return", "q"),
            ("segment_exception", "q")))
        self._name = column(tree, "name", "i")
        self._path = column(tree, "path", "i")
        self._document = column(tree, "record_document", "i")
        self._begin = column(tree, "record_begin", "q")
        self._record_end = column(tree, "record_end", "q")
        self.record = functools.lru_cache(maxsize=DECODED_RECORDS_KEPT)(self._decode)

    def _decode(self, number):
        return record(self._documents[self._document[number]][self._begin[number]:self._record_end[number]])

    def __len__(self):
        return len(self._kind)

    def __getitem__(self, node_id):
        if self._kind[node_id]:
            return trace_reader.PluginRecord(self.name(node_id), self._start[node_id],
                                             self.record(self._call[node_id]))
        call, returned, raised = self._call[node_id], self._return[node_id], self._exception[node_id]
        call_record = self.record(call) if call >= 0 else None
        return_record = self.record(returned) if returned >= 0 else None
        first = call_record if call_record is not None else return_record
        joined = self._segment_count[node_id] > 1
        return trace_reader.Call(frame_id=first.get("frame_id"), start=self._start[node_id], end=self._end[node_id],
                                 call_record=call_record, return_record=return_record,
                                 exception_record=self.record(raised) if raised >= 0 else None,
                                 segments=Segments(self, node_id) if joined else (),
                                 running_time=self._running[node_id] if joined else None)

    def segment(self, number):
        """The segment ``number`` of the tree's joined calls, as a Call
        without children."""
        start, end, call, returned, raised = (values[number] for values in self._segment_columns)
        call_record = self.record(call)
        return trace_reader.Call(frame_id=call_record.get("frame_id"), start=start, end=end, call_record=call_record,
                                 return_record=self.record(returned) if returned >= 0 else None,
                                 exception_record=self.record(raised) if raised >= 0 else None)

    def name(self, node_id):
        """A call's qualified name, a plugin record's type."""
        return self._objects[self._name[node_id]]

    def raising_calls(self):
        """The ids of the calls that ended by raising, in order (an array),
        found without decoding a record."""
        exceptions = self._exception
        # Mostly no call raised: then the n entries are n runs of eight 0xff
        # bytes (-1), which bytes.count finds at C speed.
        if exceptions.tobytes().count(b"\xff" * 8) == len(exceptions):
            return array("q")
        return array("q", itertools.compress(range(len(exceptions)), map((-1).__ne__, exceptions)))

    def location(self, node_id):
        """A call's "file:line"."""
        return self._objects[self._path[node_id]]

    def running_times(self):
        """The seconds each node ran, by id, read without decoding a record:
        a call's duration, less the time a joined coroutine or generator
        was suspended between its segments; 0.0 for a plugin record."""
        return self._running


class Segments:
    """The segments of one joined call, each decoded when asked for."""

    def __init__(self, nodes, node_id):
        self._nodes = nodes
        self._first = nodes._segment_first[node_id]
        self._count = nodes._segment_count[node_id]

    def __len__(self):
        return self._count

    def __getitem__(self, position):
        if isinstance(position, slice):
            return [self[number] for number in range(*position.indices(self._count))]
        if position < 0:
            position += self._count
        if not 0 <= position < self._count:
            raise IndexError(position)
        return self._nodes.segment(self._first + position)

    def __bool__(self):
        return self._count > 0


class ThreadFacts:
    """What the index keeps of a thread besides its nodes."""

    def __init__(self, thread_id, name):
        self.thread_id = thread_id
        self.name = name


def thread_name(facts, main_thread_id):
    """The name of a thread of the index (``facts``, an entry of its
    "threads"), as the reader names it: its records' name, else one made of
    its id."""
    if facts["name"] is not None:
        return facts["name"]
    thread_id = facts["thread_id"]
    return "main thread" if thread_id == main_thread_id else f"thread {thread_id}"


def decoded_trace(documents, name):
    """The reader's Trace of ``documents`` (MessagePack bytes, oldest
    first), every record decoded: the slow way, for documents the native
    reader does not take apart. Raises trace.TraceFormatError naming
    ``name``."""
    decoded = [trace_reader.decode_document(part, name) for part in documents]
    return trace_reader.Trace.from_document(trace_reader.merge_documents(decoded), name)


def load_documents(db_path, trace_id):
    """(trace id, its stored documents oldest first) for ``trace_id`` or
    LATEST; raises trace.TraceNotFoundError."""
    if trace_id == trace_reader.LATEST:
        stored = store.list_traces(db_path)
        if not stored:
            raise trace_reader.TraceNotFoundError(f"no traces stored in {db_path}")
        trace_id = stored[0].trace_id
    documents = store.load_trace_documents(db_path, trace_id)
    if not documents:
        raise trace_reader.TraceNotFoundError(f"no trace {trace_id} in {db_path}")
    return trace_id, documents
