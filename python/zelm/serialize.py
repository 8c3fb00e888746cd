"""Turn arbitrary Python values into MessagePack for trace records.

The native profiler calls these two functions from inside its profile hook,
once for an event's argument and once for the frame's locals, so they run on
every traced call and return. Both accept any Python value and return the
bytes of exactly ONE complete MessagePack value; they never raise (short of
KeyboardInterrupt and the like), because an exception here would cost the
event its record.

Every output decodes with a plain ``msgpack.unpackb(data)``: maps only have
str or bytes keys and every str is valid UTF-8. Values of the exact types
None, bool, int (64-bit), float, str, bytes, list, tuple and dict are encoded
as themselves, bytearray and memoryview as bytes, and msgpack's own ExtType
and Timestamp as the extension values they stand for. Anything else becomes
a readable text, its ``repr()``, or "<unrepresentable TYPE object>" when
``repr()`` raises. The only foreign code ever run is ``__repr__``:
subclasses of the built-in containers are shown by their repr too, because
iterating them could run arbitrary methods.
"""

from itertools import islice

import msgpack

__all__ = [
    "dump_msgpack",
    "dump_msgpack_lightweight_repr",
    "LIGHTWEIGHT_MAX_TEXT",
    "LIGHTWEIGHT_MAX_ITEMS",
    "LIGHTWEIGHT_MAX_DEPTH",
    "TRUNCATION_MARKER",
    "LEFT_OUT_KEY",
]

# Lightweight variant: strings, bytes and reprs keep this many characters
# (bytes) before the marker, containers this many items, and containers
# nested deeper than LIGHTWEIGHT_MAX_DEPTH levels are summarised.
LIGHTWEIGHT_MAX_TEXT = 100
LIGHTWEIGHT_MAX_ITEMS = 10
LIGHTWEIGHT_MAX_DEPTH = 3

TRUNCATION_MARKER = "…"
_TRUNCATION_MARKER_BYTES = TRUNCATION_MARKER.encode()

# Key of the extra dict entry that says how many entries were left out.
LEFT_OUT_KEY = TRUNCATION_MARKER

_INT64_MIN = -(2**63)
_UINT64_MAX = 2**64 - 1

# The slow path keeps structure this deep; deeper containers become a summary
# text. Well inside msgpack's own nesting limit of 511 and Python's recursion
# limit, even when the traced program is already deep in its stack.
_MAX_PLAIN_DEPTH = 100

_CONTAINER_TYPES = frozenset({list, tuple, dict})
_RECURSION_MARKERS = {list: "[...]", tuple: "(...)", dict: "{...}"}
# Packed as themselves by msgpack and always loadable again.
_MSGPACK_EXTENSION_TYPES = (msgpack.ExtType, msgpack.Timestamp)
_BYTES_LIKE_TYPES = (bytearray, memoryview)


def _type_name(value):
    return _utf8_safe(type(value).__name__)


def _utf8_safe(text):
    """Return ``text`` as an exact str that encodes to UTF-8.

    Lone surrogates (from undecodable file names or os.fsdecode) are written
    as backslash escapes, the way repr() shows them.
    """
    if type(text) is not str:
        # A str subclass could override anything; take a plain copy.
        text = str.__str__(text)
    if text.isascii():
        return text
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return text.encode("utf-8", "backslashreplace").decode("utf-8")
    return text


def _readable_text(value):
    """repr() of ``value`` as an exact str, never raising."""
    try:
        text = repr(value)
    except Exception:
        return f"<unrepresentable {_type_name(value)} object>"
    return text if type(text) is str else str.__str__(text)


def _as_bytes(value):
    """bytes of a bytearray or memoryview, or None for a released view."""
    try:
        return bytes(value)
    except ValueError:
        return None


def _items(count):
    return "1 item" if count == 1 else f"{count} items"


def _fallback_for_packer(value):
    # msgpack calls this for every object it cannot pack by itself. With
    # strict_types that includes exact tuples, which stay arrays.
    if type(value) is tuple:
        return list(value)
    return _readable_text(value)


def _new_packer():
    return msgpack.Packer(default=_fallback_for_packer, strict_types=True)


# A Packer keeps its buffer between calls, so one must never be used by two
# calls at once. The fallback runs __repr__, which may let another thread in
# (or, on the same thread, call back into this module), so each call takes a
# Packer out of the pool and puts it back when done; list.pop and
# list.append are atomic, and the pool grows only to the number of calls
# ever in progress at once.
_packers = []


def _take_packer():
    try:
        return _packers.pop()
    except IndexError:
        return _new_packer()


def _put_back_packer(packer):
    _packers.append(packer)


def _decodes(packed):
    try:
        msgpack.unpackb(packed)
    except Exception:
        return False
    return True


def dump_msgpack(value):
    """Encode ``value`` completely as one MessagePack value.

    The common case is a single pass of msgpack's C packer. A container is
    decoded once more to make sure a reader can load it (a dict with an int
    or tuple key cannot be loaded by a default msgpack reader); if that
    fails, or packing raised, the value is rebuilt from plain types first.
    A flat dict with text keys, a call's usual locals, always loads.
    """
    packer = _take_packer()
    try:
        try:
            packed = packer.pack(value)
        except Exception:
            pass
        else:
            if type(value) not in _CONTAINER_TYPES or _is_flat_text_keyed(value) or _decodes(packed):
                return packed
        return _pack_or_describe(packer, _plain, value)
    finally:
        _put_back_packer(packer)


def _is_flat_text_keyed(value):
    """A dict whose keys are all str or bytes and whose values hold no
    container, so no map inside it can have a key a reader refuses."""
    if type(value) is not dict:
        return False
    for key, item in value.items():
        key_type = type(key)
        if (key_type is not str and key_type is not bytes) or type(item) in _CONTAINER_TYPES:
            return False
    return True


def dump_msgpack_lightweight_repr(value):
    """Encode a short summary of ``value`` as one MessagePack value.

    Long strings, bytes and reprs are cut to LIGHTWEIGHT_MAX_TEXT and end with
    "…"; lists, tuples and dicts keep their first LIGHTWEIGHT_MAX_ITEMS items
    and gain one more, "… 5 items left out" (for a dict, under the key "…");
    containers nested deeper than LIGHTWEIGHT_MAX_DEPTH become a text such as
    "<list of 12 items>". Keys that are neither str nor bytes are replaced by
    their shortened repr.
    """
    packer = _take_packer()
    try:
        if _kept_whole(value):
            # Nothing to cut: the summary would be a copy of the value.
            return packer.pack(value)
        return _pack_or_describe(packer, _lightweight, value)
    finally:
        _put_back_packer(packer)


def _is_kept_scalar(value):
    value_type = type(value)
    if value_type is str:
        return len(value) <= LIGHTWEIGHT_MAX_TEXT and value.isascii()
    if value_type is int:
        return _INT64_MIN <= value <= _UINT64_MAX
    return value is None or value_type is bool or value_type is float


def _kept_whole(value):
    """Whether the lightweight summary of ``value`` equals ``value``: a
    scalar that is kept as it is, or a dict, list or tuple of at most
    LIGHTWEIGHT_MAX_ITEMS such scalars (under short text keys). This is the
    common case of a call's locals, and checking it is much cheaper than
    building the summary."""
    value_type = type(value)
    if value_type is dict:
        if len(value) > LIGHTWEIGHT_MAX_ITEMS:
            return False
        for key, item in value.items():
            if not (type(key) is str and len(key) <= LIGHTWEIGHT_MAX_TEXT and key.isascii()):
                return False
            if not _is_kept_scalar(item):
                return False
        return True
    if value_type is list or value_type is tuple:
        if len(value) > LIGHTWEIGHT_MAX_ITEMS:
            return False
        for item in value:
            if not _is_kept_scalar(item):
                return False
        return True
    return _is_kept_scalar(value)


def _pack_or_describe(packer, simplify, value):
    """Pack ``simplify(value)``, or a description of ``value`` if that fails."""
    try:
        return packer.pack(simplify(value, 0, set()))
    except Exception:
        # Only reachable through RecursionError or MemoryError: the simplified
        # value holds nothing the packer can refuse.
        return packer.pack(f"<unserialisable {_type_name(value)} object>")


def _plain(value, depth, open_containers):
    """Rebuild ``value`` from types every msgpack reader loads, losing nothing
    that can be kept: a dict with a key other than str or bytes becomes its
    repr, a container met again inside itself becomes "[...]" as in repr()."""
    value_type = type(value)
    if value is None or value_type is bool or value_type is float or value_type is bytes:
        return value
    if value_type is int:
        return value if _INT64_MIN <= value <= _UINT64_MAX else _readable_text(value)
    if value_type is str:
        return _utf8_safe(value)
    if value_type in _MSGPACK_EXTENSION_TYPES:
        return value
    if value_type in _BYTES_LIKE_TYPES:
        data = _as_bytes(value)
        if data is not None:
            return data
    if value_type not in _CONTAINER_TYPES:
        return _utf8_safe(_readable_text(value))
    if id(value) in open_containers:
        return _RECURSION_MARKERS[value_type]
    if depth >= _MAX_PLAIN_DEPTH:
        return f"<{value_type.__name__} nested too deeply>"
    if value_type is dict and not all(type(key) is str or type(key) is bytes for key in value):
        return _utf8_safe(_readable_text(value))

    open_containers.add(id(value))
    try:
        if value_type is dict:
            return {
                (_utf8_safe(key) if type(key) is str else key): _plain(item, depth + 1, open_containers)
                for key, item in value.items()
            }
        return [_plain(item, depth + 1, open_containers) for item in value]
    finally:
        open_containers.discard(id(value))


def _short_text(text):
    # Cut before checking the encoding, which costs a pass over the text.
    if len(text) > LIGHTWEIGHT_MAX_TEXT:
        return _utf8_safe(text[:LIGHTWEIGHT_MAX_TEXT]) + TRUNCATION_MARKER
    return _utf8_safe(text)


def _lightweight(value, depth, open_containers):
    """Rebuild a bounded summary of ``value`` from plain types."""
    value_type = type(value)
    # The most frequent types first: this runs for every item kept.
    if value_type is str:
        if len(value) <= LIGHTWEIGHT_MAX_TEXT and value.isascii():
            return value
        return _short_text(value)
    if value_type is int:
        return value if _INT64_MIN <= value <= _UINT64_MAX else _short_text(_readable_text(value))
    if value is None or value_type is bool or value_type is float:
        return value
    if value_type is dict or value_type is list or value_type is tuple:
        return _lightweight_container(value, value_type, depth, open_containers)
    if value_type in _BYTES_LIKE_TYPES:
        data = _as_bytes(value)
        if data is not None:
            value, value_type = data, bytes
    if value_type is bytes:
        if len(value) > LIGHTWEIGHT_MAX_TEXT:
            return value[:LIGHTWEIGHT_MAX_TEXT] + _TRUNCATION_MARKER_BYTES
        return value
    if value_type in _MSGPACK_EXTENSION_TYPES:
        return value
    return _short_text(_readable_text(value))


def _lightweight_container(value, value_type, depth, open_containers):
    if id(value) in open_containers:
        return _RECURSION_MARKERS[value_type]
    if depth >= LIGHTWEIGHT_MAX_DEPTH:
        return f"<{value_type.__name__} of {_items(len(value))}>"
    # A walk that raises is abandoned whole, so the set needs no cleanup then.
    open_containers.add(id(value))
    depth += 1
    left_out = len(value) - LIGHTWEIGHT_MAX_ITEMS
    if value_type is dict:
        entries = value.items() if left_out <= 0 else islice(value.items(), LIGHTWEIGHT_MAX_ITEMS)
        summary = {_lightweight_key(key): _lightweight(item, depth, open_containers) for key, item in entries}
        if left_out > 0:
            summary[LEFT_OUT_KEY] = f"{_items(left_out)} left out"
    else:
        items = value if left_out <= 0 else value[:LIGHTWEIGHT_MAX_ITEMS]
        summary = [_lightweight(item, depth, open_containers) for item in items]
        if left_out > 0:
            summary.append(f"{TRUNCATION_MARKER} {_items(left_out)} left out")
    open_containers.discard(id(value))
    return summary


def _lightweight_key(key):
    if type(key) is str:
        return key if len(key) <= LIGHTWEIGHT_MAX_TEXT and key.isascii() else _short_text(key)
    if type(key) is bytes:
        return key[:LIGHTWEIGHT_MAX_TEXT]
    return _short_text(_readable_text(key))
