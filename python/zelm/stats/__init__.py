"""Where the time of a trace went: self time per call, a table per
function and an aggregated flame graph, computed from the viewer's index
of a trace (zelm.view.model.TraceIndex, built from the stored bytes or from
the reader's full decode: both give the same figures).

Times are seconds of the trace's clock. A call counts for the time it
ran: its duration, but for a coroutine or generator, which the call tree
joins from its resumes into one call from its first entry to its final
return, the times its pieces ran, not the time it was suspended (awaiting,
or waiting for its next value), when its callers or other coroutines ran.
So the calls inside a call never count for more than it does, and the time
of concurrent coroutines is not counted once per coroutine. A call's self
time is its time minus the time of the recorded calls it made: it includes
the time spent in code the profiler does not record (the standard library,
installed packages, C functions, filtered frames, an event loop's wait),
which the records do not tell apart from the call's own lines. A call
still running when the trace was taken ends at the trace's end, as the call
tree has it.

A function is a (qualified name, file) pair: the name the call tree gives
a call and the file of its "file:line" location without the line, which
differs between the resumptions of one generator or coroutine.
"""

from zelm.stats.calls import self_times
from zelm.stats.flame import FLAME_NODE_BUDGET, flame_graph
from zelm.stats.functions import function_table

__all__ = ["FLAME_NODE_BUDGET", "flame_graph", "function_table", "self_times"]
