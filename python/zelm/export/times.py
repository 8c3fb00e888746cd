"""A trace's times as the exports with a time line write them: whole
nanoseconds from the start of the trace.

Rounding every time to whole nanoseconds before any division keeps the
order of the times, so a callee exported this way never starts before its
caller nor ends after it.
"""

import math

__all__ = ["NonFiniteTimeError", "nanoseconds_from_start"]


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
