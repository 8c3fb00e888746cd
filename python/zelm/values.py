"""The reader of trace values under its documented name: zelm.values is
zelm.serialize.values (Repr, ObjectKeyDict, unpackb, packb and the
extension codes)."""

from zelm.serialize.values import (
    EXT_PAIRS,
    EXT_REPR,
    EXT_TUPLE,
    ObjectKeyDict,
    Repr,
    decode_extension,
    packb,
    unpackb,
)

__all__ = ["EXT_REPR", "EXT_TUPLE", "EXT_PAIRS", "Repr", "ObjectKeyDict", "decode_extension", "unpackb", "packb"]
