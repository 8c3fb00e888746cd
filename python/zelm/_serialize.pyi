"""Type stubs of zelm's native encoders of trace values (see zelm.serialize)."""

from typing import Any, Callable, Optional, Tuple

# The profiler's entry into the encoders (a capsule).
native_api: object

# max_text, max_items, max_depth, max_value_bytes (None: no cap)
Limits = Tuple[int, int, int, Optional[int]]

def dump_msgpack(value: Any) -> bytes:
    """zelm.serialize.reference_dump_msgpack, natively: the same bytes."""

def dump_msgpack_lightweight_repr(value: Any) -> bytes:
    """zelm.serialize.reference_dump_msgpack_lightweight_repr, natively: the same bytes."""

def set_limits(full: Limits, lightweight: Limits) -> None:
    """The limits in force."""

def configure(ext_type: type, timestamp_type: type, reference_dump: Callable[[Any], bytes],
              reference_dump_lightweight: Callable[[Any], bytes], plan_for: Callable[[type, bool], tuple]) -> None:
    """msgpack's ExtType and Timestamp, the reference encoders for the
    values only they encode, and zelm.serialize.plans.plan_for, asked once
    per type how its values are shown."""

def set_repr_mode(full: bool) -> None:
    """The repr mode: True for "full", False for "safe"."""

def set_scrub_keys(folded_keys: Tuple[str, ...]) -> None:
    """The scrub keys in force, as zelm.serialize.scrub folds them: the
    values under keys that contain one are masked."""

def forget_plans() -> None:
    """Ask every type for its plan anew (the registry of reprs changed)."""
