"""The serializer of traced values: the native profiler turns every
recorded argument, return value and frame's locals into MessagePack by
calling dump_msgpack or dump_msgpack_lightweight_repr of this package,
looked up on every call (a host may replace them).

reference.py is the Python reference implementation and holds the limits
and the repr mode in force (set_limits, set_repr_mode); the native module
zelm._serialize's encoders, which write the same bytes, stand in for it
when built. plans.py decides how objects of other types are shown without
running the program's code, and holds the registry of reprs declared safe
(register_repr). scrub.py holds the keys whose values are masked as
credentials (set_scrub_keys). values.py defines the extension values the
serializer writes and reads them back.

Imported while the profiler records, and left out of traces by name.
"""

from zelm.serialize.reference import (
    FULL_LIMITS,
    LEFT_OUT_KEY,
    LIGHTWEIGHT_LIMITS,
    REPR_MODES,
    TRUNCATION_MARKER,
    Limits,
    checked_repr_mode,
    current_limits,
    current_repr_mode,
    dump_msgpack,
    dump_msgpack_lightweight_repr,
    limits_from_config,
    reference_dump_msgpack,
    reference_dump_msgpack_lightweight_repr,
    set_limits,
    set_repr_mode,
)
from zelm.serialize.plans import register_repr, registered_reprs, unregister_repr
from zelm.serialize.scrub import (
    DEFAULT_SCRUB_KEYS,
    MASK,
    checked_scrub_keys,
    current_scrub_keys,
    set_scrub_keys,
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
    "REPR_MODES",
    "set_repr_mode",
    "current_repr_mode",
    "checked_repr_mode",
    "register_repr",
    "unregister_repr",
    "registered_reprs",
    "MASK",
    "DEFAULT_SCRUB_KEYS",
    "set_scrub_keys",
    "current_scrub_keys",
    "checked_scrub_keys",
]
