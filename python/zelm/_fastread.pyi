"""Type stubs of zelm's native reader of stored traces (see zelm.view.lazy)."""

from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

# A column of a tree: an object with the buffer protocol holding items of
# one fixed size (an array.array, a cast memoryview).
Buffer = Any

# (type text, event: 0 other / 1 call / 2 return, frame id key, time, thread
# id, thread name, qualname, co_name, path text) of one record's bytes.
RecordFields = Tuple[str, int, Any, Optional[float], Optional[int], Optional[str], Optional[str], Optional[str], str]

def index(documents: Sequence[bytes], record_fields: Callable[[bytes], RecordFields]) -> Dict[str, Any]:
    """The call tree of the trace documents (oldest first) as flat arrays in
    depth-first order; ValueError when a document's frame cannot be read
    here (the caller then loads it with zelm.trace)."""

def skip(buffer: bytes, offset: int, count: int) -> int:
    """The offset just past `count` MessagePack values that follow one another
    from `offset` in `buffer`, none of them decoded; ValueError when they are
    cut short or hold a reserved byte."""


def records_json(buffer: bytes, offset: int, count: int) -> Tuple[str, int, int]:
    """The JSON text of up to `count` records from `offset` on, joined by
    ", ", as `zelm export --format json` writes each (the text json writes
    of zelm.export.to_json_safe of the record as the reader decodes it),
    made without a Python object; it stops before the first record that
    holds what only Python's reader reads exactly (bytes, keys that are not
    text or repeat, text that is not strict UTF-8, other extensions):
    (text, the offset past the records written, how many)."""


def scan(buffer: bytes, offset: int, count: int, type: str) -> Tuple[int, List[int], List[int]]:
    """Skips `count` MessagePack values from `offset` in `buffer` as skip()
    does and returns the offset past them, the offsets of those that are maps
    whose first entry is "type" with the text `type` (the profiler's cut
    records), and the offsets of the last two values (fewer when there are
    fewer); ValueError when they are cut short or hold a reserved byte."""


def counts(document: bytes, record_fields: Callable[[bytes], RecordFields]) -> Tuple[Dict[str, int], int, List[Tuple[int, int]], List[Tuple[int, int]]]:
    """The records of a trace document counted without building its call
    tree, each read as index() reads it (`record_fields` for those it leaves
    to Python): records per type text, threads, and the (begin, end) offsets
    of the "trace_cut" records (document order) and of the "profile_hook"
    records (thread by thread in the tree's order); ValueError when the
    document cannot be read here."""


# The aggregates over index()'s tree (see src/reader/aggregate.hpp): each
# takes per node the seconds a call counts for, its function's number (-1
# for a plugin record) and the tree's columns; zelm.stats reads the bytes.

def self_times(time: Buffer, parent: Buffer, function: Buffer) -> bytes:
    """Each call's time minus the times of the calls it made, never below
    0.0 (0.0 for a plugin record), as float64 bytes."""

def function_table(time: Buffer, start: Buffer, size: Buffer, function: Buffer, self: Buffer, first: int, last: int,
                   functions: int) -> Tuple[bytes, bytes, bytes, bytes, bytes, bytes, bytes]:
    """Per function number over the nodes first .. last - 1: calls and
    outermost calls (int64), total, self and longest call (float64), then
    offsets into the node ids of each function's calls (int64, in start
    order)."""

def flame_graph(time: Buffer, size: Buffer, function: Buffer, self: Buffer, first: int, last: int, max_nodes: int,
                max_depth: int) -> Tuple[bytes, bytes, bytes, bytes, bytes, bytes, float, int, bool]:
    """The calls of nodes first .. last - 1 merged by call path, kept nodes
    in depth-first order with children heaviest first: parent positions,
    functions, totals, self times, calls and first node ids; then the
    root's total and calls, and whether anything was left out."""
