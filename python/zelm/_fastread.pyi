"""Type stubs of zelm's native reader of stored traces (see zelm.view.lazy)."""

from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

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


def scan(buffer: bytes, offset: int, count: int, type: str) -> Tuple[int, List[int], List[int]]:
    """Skips `count` MessagePack values from `offset` in `buffer` as skip()
    does and returns the offset past them, the offsets of those that are maps
    whose first entry is "type" with the text `type` (the profiler's cut
    records), and the offsets of the last two values (fewer when there are
    fewer); ValueError when they are cut short or hold a reserved byte."""
