"""Where the time of a trace went: self time per call, a table per
function and an aggregated flame graph, computed from the viewer's index
of a trace (zelm.view.model.TraceIndex, built from the stored bytes or from
the reader's full decode: both give the same figures).

Times are seconds of the trace's clock. A call's self time is its duration
minus the durations of the recorded calls it made: it includes the time
spent in code the profiler does not record (the standard library,
installed packages, C functions, filtered frames), which the records do
not tell apart from the call's own lines. A call still running when the
trace was taken ends at the trace's end, as the call tree has it. A
coroutine or generator resumed after awaiting or yielding is one call from
its first entry to its final return, as the call tree joins it: its time
includes the time it was suspended.

A function is a (qualified name, file) pair: the name the call tree gives
a call and the file of its "file:line" location without the line, which
differs between the resumptions of one generator or coroutine.
"""

from zelm.stats.calls import self_times
from zelm.stats.flame import FLAME_NODE_BUDGET, flame_graph
from zelm.stats.functions import function_table

__all__ = ["FLAME_NODE_BUDGET", "flame_graph", "function_table", "self_times"]
