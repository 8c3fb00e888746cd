"""The serializer of traced values: the native profiler turns every
recorded argument, return value and frame's locals into MessagePack by
calling dump_msgpack or dump_msgpack_lightweight_repr of this package,
looked up on every call (a host may replace them).

reference.py is the Python reference implementation and holds the limits
in force (set_limits); the native module zelm._serialize's encoders, which
write the same bytes, stand in for it when built. values.py defines the
extension values the serializer writes and reads them back.

Imported while the profiler records, and left out of traces by name.
"""

from zelm.serialize.reference import (
    FULL_LIMITS,
    LEFT_OUT_KEY,
    LIGHTWEIGHT_LIMITS,
    TRUNCATION_MARKER,
    Limits,
    current_limits,
    dump_msgpack,
    dump_msgpack_lightweight_repr,
    limits_from_config,
    reference_dump_msgpack,
    reference_dump_msgpack_lightweight_repr,
    set_limits,
)

__all__ = [
    "dump_msgpack",
    "dump_msgpack_lightweight_repr",
    "reference_dump_msgpack",
    "reference_dump_msgpack_lightweight_repr",
    "Limits",
    "FULL_LIMITS",
    "LIGHTWEIGHT_LIMITS",
    "set_limits",
    "current_limits",
    "limits_from_config",
    "TRUNCATION_MARKER",
    "LEFT_OUT_KEY",
]
