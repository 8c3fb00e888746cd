"""How zelm's one-line displays write numbers and long texts: durations,
sizes, counts, times and texts clipped to a width.

Shared by the `zelm show` and `zelm list` lines (zelm.cli.render), the
`zelm run` summary and the plugins' descriptions of their records
(zelm.plugins), so it imports nothing of zelm's own.
"""

import datetime

__all__ = ["LINE_PART", "RECORD_LINE", "clip", "duration_text", "size_text", "plural", "local_time"]

# Characters of one part of a shown line (the arguments, a value, an error).
LINE_PART = 100
# Characters of the line of a plugin record.
RECORD_LINE = 2 * LINE_PART


def clip(text, limit=LINE_PART):
    """``text`` cut to ``limit`` characters, "..." standing for the rest."""
    return text if len(text) <= limit else text[: limit - 3] + "..."


def duration_text(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} us"
    if seconds < 1:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.3f} s"


def size_text(size_bytes):
    if size_bytes < 1024:
        return f"{size_bytes} B"
    if size_bytes < 1024 * 1024:
        return f"{size_bytes / 1024:.1f} KiB"
    return f"{size_bytes / (1024 * 1024):.1f} MiB"


def plural(count, noun):
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


def local_time(timestamp):
    """The local time of a Unix ``timestamp``; "?" for what no clock shows
    (None, or a number out of range in a damaged trace)."""
    try:
        return datetime.datetime.fromtimestamp(timestamp).strftime("%Y-%m-%d %H:%M:%S")
    except (TypeError, ValueError, OverflowError, OSError):
        return "?"
