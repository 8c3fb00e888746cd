"""Small helpers shared by the host package: ULID-based identifiers.

A ULID is 128 bits: the creation time in whole milliseconds since the Unix
epoch in the top 48 bits, 80 random bits below. Its text is 26 characters of
Crockford's base 32, most significant first, so the first character carries
only the top 3 bits and the first 10 characters encode the time.
"""

import os
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
