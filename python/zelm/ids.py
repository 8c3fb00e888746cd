"""Small helpers shared by the host package: ULID-based identifiers, and
the W3C trace context's ids.

A ULID is 128 bits: the creation time in whole milliseconds since the Unix
epoch in the top 48 bits, 80 random bits below. Its text is 26 characters of
Crockford's base 32, most significant first, so the first character carries
only the top 3 bits and the first 10 characters encode the time.

The "traceparent" header ties a request to a distributed trace:

    traceparent: 00-4bf92f3577b34da6a3ce929d0e0e4736-00f067aa0ba902b7-01
                 version-trace id (32 hex)-parent span id (16 hex)-flags

zelm.web keeps the header a request arrived with when it is well formed, and
`zelm list --traceparent` finds the traces by the trace id in it. The
middleware reads it while other requests may be recorded on the thread:
this file is left out of traces by name.
"""

import os
import re
import time

CROCKFORD_BASE32 = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"
TRACE_ID_PREFIX = "trc_"

_ULID_TEXT_LENGTH = 26
_TIME_BITS = 48
_RANDOM_BITS = 80


def new_ulid():
    """Return the text of a fresh ULID (time now, randomness from os.urandom)."""
    milliseconds = (time.time_ns() // 1_000_000) & ((1 << _TIME_BITS) - 1)
    randomness = int.from_bytes(os.urandom(_RANDOM_BITS // 8), "big")
    value = (milliseconds << _RANDOM_BITS) | randomness
    return "".join(
        CROCKFORD_BASE32[(value >> (5 * position)) & 0x1F]
        for position in reversed(range(_ULID_TEXT_LENGTH))
    )


def new_trace_id():
    """Return a new trace identifier: "trc_" followed by a ULID text."""
    return TRACE_ID_PREFIX + new_ulid()


# Lower-case hex only; a later version may append fields after a "-".
_TRACEPARENT = re.compile(r"(?P<version>[0-9a-f]{2})-(?P<trace_id>[0-9a-f]{32})-(?P<span_id>[0-9a-f]{16})"
                          r"-[0-9a-f]{2}(?P<more>-.*)?", re.ASCII | re.DOTALL)
_TRACE_ID = re.compile(r"[0-9a-f]{32}", re.ASCII)
# Longer than any header a tracer sends: kept out of the records.
_MAX_LENGTH = 512


def valid_traceparent(text):
    """``text`` without surrounding blanks when it is a well-formed
    traceparent header value, else None (never raises)."""
    if not isinstance(text, str) or len(text) > _MAX_LENGTH:
        return None
    text = text.strip(" \t")
    parts = _TRACEPARENT.fullmatch(text)
    if parts is None or parts["version"] == "ff":
        return None
    # Version 00 has exactly four fields; a zero trace or span id means none.
    if parts["version"] == "00" and parts["more"] is not None:
        return None
    if not parts["trace_id"].strip("0") or not parts["span_id"].strip("0"):
        return None
    return text


def trace_id_of(text):
    """The trace id (32 lower-case hex digits) that ``text`` names: a trace
    id itself or a whole traceparent, in either case; None for anything else."""
    if not isinstance(text, str):
        return None
    text = text.strip().lower()
    if _TRACE_ID.fullmatch(text):
        return text if text.strip("0") else None
    traceparent = valid_traceparent(text)
    return None if traceparent is None else traceparent.split("-")[1]
