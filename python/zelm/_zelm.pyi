"""Type stubs of zelm's native module, the recorder of calls and returns."""

from types import FrameType
from typing import Any, Dict, Optional, Protocol, final

class _HostProfiler(Protocol):
    """What register_profiler reads from the host object (zelm.Profiler is
    one); it receives the native profiler in ``rust_profiler``."""

    config: Dict[str, Any]
    db_path: Any  # its str() is the database path
    one_trace_per_test: bool
    trace_id: str
    source: str
    rust_profiler: Optional[ZelmProfiler]
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...

def register_profiler(profiler: _HostProfiler) -> None:
    """Build a native profiler from ``profiler``, store it in its
    ``rust_profiler`` and start recording on the calling thread (and, with
    config "threading", on threads started later)."""

def register_noop_profiler() -> None:
    """Stop recording on the calling thread."""

# The type of a host's ``rust_profiler``. The module does not export the
# name, and the type cannot be instantiated from Python.
@final
class ZelmProfiler:
    def build_trace(self) -> bytes:
        """The trace document (MessagePack) of everything recorded since the
        last build or save; empties the record buffers."""
    def save_request_in_db(self) -> None:
        """Build the trace document and store it through
        zelm.db.save_trace_in_sqlite."""
    def register_threading_profiler(self, _frame: FrameType, _event: str, _arg: Any) -> None:
        """The threading.setprofile hook: installs the native hook on the
        thread that calls it."""
    def take_over_thread(self) -> None:
        """Install the native hook on the calling thread for a stretch of
        work that other profilers' stretches interleave with there (requests
        stepped on one event loop): a zelm profiler it replaces keeps the
        calls it has open on the thread, for its own next stretch."""
    def __call__(self, frame: FrameType, event: str, arg: Any, /) -> None:
        """What sys.getprofile() gives while the native hook is on. Handed
        back to sys.setprofile (or threading.setprofile), it installs the
        native hook again on the thread whose next event it gets, that event
        recorded; called any other way it does nothing."""
