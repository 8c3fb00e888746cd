"""A trace's times as the exports with a time line write them: whole
nanoseconds from the start of the trace.

Rounding every time to whole nanoseconds before any division keeps the
order of the times, so a callee exported this way never starts before its
caller nor ends after it.
"""

import math

__all__ = ["NonFiniteTimeError", "nanoseconds_from_start", "all_placeable"]


class NonFiniteTimeError(ValueError):
    """The trace holds a time that is not a finite number (a damaged or
    hand-made document), which no time line can place."""


def nanoseconds_from_start(trace, timestamp):
    """``timestamp`` (seconds, as the records hold it) as whole nanoseconds
    after ``trace.start``. Raises NonFiniteTimeError."""
    offset = (timestamp - trace.start) * 1e9
    if not math.isfinite(offset):
        raise NonFiniteTimeError(
            f"trace {trace.trace_id} holds a time that is not a finite number ({timestamp} from a start at "
            f"{trace.start}), which a time line cannot place; --format json exports it")
    return round(offset)


def all_placeable(trace, columns):
    """Whether every time of ``columns`` (sequences of seconds), the end of
    ``trace`` and its cuts' times are placed by nanoseconds_from_start
    without an error: all finite, and so are the nanoseconds of the
    earliest and the latest, since the nanoseconds grow with the time."""
    columns = [*columns, [trace.start, trace.end], [cut.timestamp for cut in trace.cuts if cut.timestamp is not None]]
    if not all(all(map(math.isfinite, column)) for column in columns):
        return False
    earliest = min(min(column, default=trace.start) for column in columns)
    latest = max(max(column, default=trace.start) for column in columns)
    return all(math.isfinite((timestamp - trace.start) * 1e9) for timestamp in (earliest, latest))
