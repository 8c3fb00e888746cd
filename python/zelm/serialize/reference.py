"""Turn arbitrary Python values into MessagePack for trace records.

The native profiler calls these two functions (as zelm.serialize's) from
inside its profile hook, once for an event's argument and once for the
frame's locals, so they run on every traced call and return. Both accept
any Python value and return the bytes of exactly ONE complete MessagePack
value; they never raise (short of KeyboardInterrupt, which is Ctrl-C),
because an exception here would cost the event its record.

Every output decodes with a plain ``msgpack.unpackb(data)``: maps only have
str or bytes keys and every str is valid UTF-8. Values of the exact types
None, bool, int (64-bit), float, str, bytes, list and dict are encoded as
themselves, bytearray and memoryview as bytes, and msgpack's own Timestamp
and ExtType as the extension values they stand for. Three things are stored
as extension values of zelm's own, so that a reader can tell them apart
(zelm.serialize.values reads them back):

- ext 1, a repr: anything else is stored as the text that stands for it
  (below), or "<unrepresentable TYPE object>" when a repr that is called
  raises (anything beyond an Exception, such as SystemExit, is logged once
  on logger "zelm"), as UTF-8 text, never as a str; so are the walk's own summaries
  such as "<list of 12 items>" and "[...]" (a container met again inside
  itself), and ints beyond 64 bits (their decimal text);
- ext 2, a tuple: the payload is the MessagePack array of its items;
- ext 3, a dict whose keys are not all str or bytes: the payload is the
  MessagePack array of its [key, value] pairs, keys and values encoded like
  any value.

An ExtType of the program's own with code 1, 2 or 3 is stored as its repr.

No Python code of the program runs to show a value, in the default repr
mode "safe": an object of any other type is shown by its type's plan
(zelm.serialize.plans), worked out once per type from its exact type and
the dicts of its classes. Dataclasses, attrs classes, named tuples, enums,
exceptions, bound methods, subclasses of the built-in containers, deque,
OrderedDict, defaultdict, Counter, dict views, SimpleNamespace and
argparse.Namespace are shown as their repr reads, rebuilt
from what the instance stores, within the limits below; any other object
whose ``__repr__`` is Python code as object.__repr__ shows it,
"<module.QualName object at 0x…>"; one whose ``__repr__`` is C code by that
repr. The foreign code that does run: C reprs (an extension type's may call
Python), the reprs and functions registered with plans.register_repr, and
in the repr mode "full" (set_repr_mode) every object's ``__repr__``.

Both modes keep only a bounded part of each value, so that neither the time
spent nor the record written grows with the size of the value:

=================  ===========  ===========  ==========================================
limit              full         lightweight  what it bounds
=================  ===========  ===========  ==========================================
max_text           4096         100          characters of a str (bytes of a bytes, of
                                             a repr) kept before the marker "…"
max_items          256          10           items of a list, tuple, dict or set kept;
                                             the rest is counted: "… 5 items left out"
                                             (for a dict, under the key "…"; for a
                                             dict of pairs, as a last pair with that key)
max_depth          20           3            nesting kept; deeper containers become a
                                             repr such as "<list of 12 items>"
max_value_bytes    65536        none         about how many encoded bytes one value may
                                             take; once reached, the remaining items
                                             are left out and counted as above
=================  ===========  ===========  ==========================================

Cutting is done by slicing, so a 50 MB string or a dict of millions of
entries costs no more than the part kept. Exact sets and frozensets, and
the objects the walk rebuilds, are shown as a repr built from their first
items or fields. Only a repr that is called costs what it costs; its text
is cut afterwards.

The limits are process-wide settings: ``set_limits(full=..., lightweight=...)``
replaces them (the host profiler does so when it starts, from its config key
"value_limits") and ``current_limits()`` reads them.

The functions in this module are the reference implementation, named
``reference_dump_msgpack`` and ``reference_dump_msgpack_lightweight_repr``.
``dump_msgpack`` and ``dump_msgpack_lightweight_repr`` are the native
module zelm._serialize's, which write exactly the same bytes for every value
much faster (the tests compare the two), or these when it cannot be imported.
"""

import logging
from itertools import islice
from typing import NamedTuple, Optional

import msgpack

from zelm.serialize import plans, scrub
from zelm.serialize.scrub import MASK, is_credential_key
from zelm.serialize.values import EXT_PAIRS, EXT_REPR, EXT_TUPLE

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
    "REPR_MODES",
    "set_repr_mode",
    "current_repr_mode",
    "checked_repr_mode",
    "LIGHTWEIGHT_MAX_TEXT",
    "LIGHTWEIGHT_MAX_ITEMS",
    "LIGHTWEIGHT_MAX_DEPTH",
    "TRUNCATION_MARKER",
    "LEFT_OUT_KEY",
]


class Limits(NamedTuple):
    """How much of one value a record keeps (see the module docstring)."""

    max_text: int
    max_items: int
    max_depth: int
    max_value_bytes: Optional[int]


FULL_LIMITS = Limits(max_text=4096, max_items=256, max_depth=20, max_value_bytes=64 * 1024)
LIGHTWEIGHT_LIMITS = Limits(max_text=100, max_items=10, max_depth=3, max_value_bytes=None)

# The limits in force, read by every call. Plain module globals, because
# they are read on every traced event; set_limits() replaces them.
MAX_TEXT, MAX_ITEMS, MAX_DEPTH, MAX_VALUE_BYTES = FULL_LIMITS
LIGHTWEIGHT_MAX_TEXT, LIGHTWEIGHT_MAX_ITEMS, LIGHTWEIGHT_MAX_DEPTH, LIGHTWEIGHT_MAX_VALUE_BYTES = LIGHTWEIGHT_LIMITS

TRUNCATION_MARKER = "…"
_TRUNCATION_MARKER_BYTES = TRUNCATION_MARKER.encode()

# Key of the extra dict entry that says how many entries were left out.
LEFT_OUT_KEY = TRUNCATION_MARKER

_INT64_MIN = -(2**63)
_UINT64_MAX = 2**64 - 1

# Converting an int to decimal text costs time quadratic in its digits; an
# int larger than this is described by its size instead. Far above the
# interpreter's own limit on the digits it converts (4300 by default).
_MAX_INT_BITS = 50_000

# What "no cap on the encoded bytes" counts down from.
_NO_CAP = 1 << 62
# MAX_VALUE_BYTES as a number, for the fast path.
_FULL_CAP = MAX_VALUE_BYTES
_PACKED_NONE = msgpack.packb(None)
# Encoded size counted for a scalar, and for the header of a str, bytes or
# container; generous, so that the cap is an upper bound.
_SCALAR_BYTES = 9
_HEADER_BYTES = 5
# Counted for an object whose repr() is only known once it is packed.
_OBJECT_BYTES = 64

_RECURSION_MARKERS = {list: "[...]", tuple: "(...)", dict: "{...}", set: "{...}", frozenset: "{...}"}
# Packed as themselves by msgpack and always loadable again.
_MSGPACK_EXTENSION_TYPES = (msgpack.ExtType, msgpack.Timestamp)
# A program's class is looked up among these by its id: `in` would hash it
# or compare it through its metaclass, which may be Python code.
_MSGPACK_EXTENSION_TYPE_IDS = frozenset(map(id, _MSGPACK_EXTENSION_TYPES))
# Extension codes of zelm's own: a program's ExtType with one of them is
# stored as its repr, so that it is not read back as something else.
_OWN_EXTENSION_CODES = frozenset({EXT_REPR, EXT_TUPLE, EXT_PAIRS})
# Encoded size counted for an extension value's header.
_EXT_HEADER_BYTES = _HEADER_BYTES + 1
_SCALAR_TYPE_IDS = frozenset(map(id, (int, float, bool, type(None))))


def limits_from_config(settings, lightweight=False):
    """Limits of the given mode with the entries of the mapping ``settings``
    (some of max_text, max_items, max_depth, max_value_bytes) replacing the
    defaults. Raises ValueError naming a bad entry."""
    base = LIGHTWEIGHT_LIMITS if lightweight else FULL_LIMITS
    if settings is None:
        return base
    if not isinstance(settings, dict):
        raise ValueError(f"value limits must be a dict, not {type(settings).__name__}")
    unknown = sorted(str(key) for key in settings if key not in Limits._fields)
    if unknown:
        raise ValueError(f"unknown value limit {unknown[0]!r}; known: {', '.join(Limits._fields)}")
    return _checked(base._replace(**settings))


# Nesting kept at most: well inside msgpack's own limit of 511 levels and
# Python's recursion limit, even when the traced program is already deep in
# its stack.
_DEEPEST = 100


def _checked(limits):
    limits = Limits(*limits)
    for name, value in limits._asdict().items():
        if value is None and name == "max_value_bytes":
            continue
        if type(value) is not int or value < 1:
            raise ValueError(f"value limit {name} must be a whole number of at least 1, not {value!r}")
    if limits.max_depth > _DEEPEST:
        raise ValueError(f"value limit max_depth must be at most {_DEEPEST}, not {limits.max_depth}")
    return limits


def current_limits():
    """The limits in force, as (full, lightweight)."""
    return (
        Limits(MAX_TEXT, MAX_ITEMS, MAX_DEPTH, MAX_VALUE_BYTES),
        Limits(LIGHTWEIGHT_MAX_TEXT, LIGHTWEIGHT_MAX_ITEMS, LIGHTWEIGHT_MAX_DEPTH, LIGHTWEIGHT_MAX_VALUE_BYTES),
    )


def set_limits(full=None, lightweight=None):
    """Make every later call keep this much of each value, in the whole
    process (None leaves a mode's limits as they are). Returns the limits
    in force before, as (full, lightweight), ready to be set again."""
    global MAX_TEXT, MAX_ITEMS, MAX_DEPTH, MAX_VALUE_BYTES, _FULL_CAP
    global LIGHTWEIGHT_MAX_TEXT, LIGHTWEIGHT_MAX_ITEMS, LIGHTWEIGHT_MAX_DEPTH, LIGHTWEIGHT_MAX_VALUE_BYTES
    previous = current_limits()
    full = None if full is None else _checked(full)
    lightweight = None if lightweight is None else _checked(lightweight)
    if full is not None:
        MAX_TEXT, MAX_ITEMS, MAX_DEPTH, MAX_VALUE_BYTES = full
        _FULL_CAP = _NO_CAP if MAX_VALUE_BYTES is None else MAX_VALUE_BYTES
    if lightweight is not None:
        LIGHTWEIGHT_MAX_TEXT, LIGHTWEIGHT_MAX_ITEMS, LIGHTWEIGHT_MAX_DEPTH, LIGHTWEIGHT_MAX_VALUE_BYTES = lightweight
    if _native is not None:
        _native.set_limits(*current_limits())
    return previous


# The repr mode in force: "safe" shows other objects by their plans
# (zelm.serialize.plans), "full" calls every __repr__. Read by every
# object's text; set_repr_mode() replaces it.
REPR_MODES = ("safe", "full")
_FULL_REPR = False


def checked_repr_mode(mode):
    """``mode`` when it is one of REPR_MODES; raises ValueError otherwise."""
    if type(mode) is not str or mode not in REPR_MODES:
        raise ValueError(f"the repr mode must be 'safe' or 'full', not {mode!r}")
    return mode


def current_repr_mode():
    """The repr mode in force: "safe" or "full"."""
    return "full" if _FULL_REPR else "safe"


def set_repr_mode(mode):
    """Make every later call show objects in the repr mode ``mode``, in the
    whole process: "safe" (the default) runs none of the program's code to
    show a value, "full" calls every object's ``__repr__``. Returns the mode
    in force before."""
    global _FULL_REPR
    previous = current_repr_mode()
    _FULL_REPR = checked_repr_mode(mode) == "full"
    if _native is not None:
        _native.set_repr_mode(_FULL_REPR)
    return previous


_name_of_type = type.__dict__["__name__"].__get__


def _type_name(value):
    return _utf8_safe(_name_of_type(type(value)))


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
    """repr() of ``value`` as an exact str, never raising but Ctrl-C."""
    try:
        text = repr(value)
    except Exception:
        return f"<unrepresentable {_type_name(value)} object>"
    except BaseException as error:
        _clear_program_error(error, "the repr", value)
        return f"<unrepresentable {_type_name(value)} object>"
    return text if type(text) is str else str.__str__(text)


_warned_causes = set()


def _clear_program_error(error, made_by, value):
    """Take what the program's code raised beyond Exception while it made
    the text of ``value``: SystemExit, GeneratorExit or the program's own
    BaseException must not end the program from inside the profile hook, and
    are logged once per cause, naming the types only (the value's repr is
    what failed). KeyboardInterrupt is Ctrl-C, and goes on to the program."""
    if isinstance(error, KeyboardInterrupt):
        raise error
    text = (f"{made_by} of a traced value of type {_type_name(value)} raised {_name_of_type(type(error))}; "
            "the value is shown as <unrepresentable ...>")
    if text not in _warned_causes:
        _warned_causes.add(text)
        logging.getLogger("zelm").warning("%s", text)


def _items(count):
    return "1 item" if count == 1 else f"{count} items"


# ExtType's constructor checks its arguments in Python code; the code and
# bytes made here are always valid, so the tuple is made directly (about a
# third of the time, for every object and tuple on the fast path).
_ExtType = msgpack.ExtType
_new_tuple = tuple.__new__


def _repr_ext(text):
    """The extension value of a repr: ``text`` is valid UTF-8 already."""
    return _new_tuple(_ExtType, (EXT_REPR, text.encode("utf-8")))


def _packed_ext(code, value):
    """The extension value ``code`` whose payload is ``value`` packed (items
    the packer cannot pack go through its fallback, as anywhere)."""
    packer = _take_packer()
    try:
        return _new_tuple(_ExtType, (code, packer.pack(value)))
    finally:
        _put_back_packer(packer)


def _fallback_for_packer(value):
    # msgpack calls this for every object it cannot pack by itself. With
    # strict_types that includes exact tuples.
    value_type = type(value)
    if value_type is tuple:
        return _packed_ext(EXT_TUPLE, list(value))
    text = _repr_text(value, MAX_TEXT)
    if len(text) <= MAX_TEXT and text.isascii():
        return _repr_ext(text)
    return _repr_ext(_cut_text(text, MAX_TEXT))


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


def reference_dump_msgpack(value):
    """Encode ``value`` as one MessagePack value, complete up to the full
    mode's limits (MAX_TEXT, MAX_ITEMS, MAX_DEPTH, MAX_VALUE_BYTES), with
    every cut marked as in the lightweight mode.

    The common case, a value that fits the limits, is one bounded check and
    one pass of msgpack's C packer (objects inside become their cut repr).
    Anything else is rebuilt from plain types by a walk that visits only
    what it keeps.
    """
    if value is None:
        return _PACKED_NONE  # the argument of every call event
    packer = _take_packer()
    try:
        value_type = type(value)
        if value_type is int or value_type is float or value_type is bool:
            try:
                return packer.pack(value)
            except OverflowError:
                return _pack_or_describe(packer, _bounded, value, _Walk(MAX_TEXT, MAX_ITEMS, MAX_DEPTH, MAX_VALUE_BYTES))
        if value_type is dict or value_type is list or value_type is tuple:
            fits = _room_left(value, 0, _FULL_CAP) >= 0
        elif value_type is str or value_type is bytes or value_type is bytearray:
            fits = len(value) <= MAX_TEXT
        else:
            # Numbers and bools pack as themselves, other objects as their cut
            # repr (the packer's fallback); these the packer would copy whole.
            fits = value_type is not memoryview and id(value_type) not in _MSGPACK_EXTENSION_TYPE_IDS
        if fits:
            try:
                packed = packer.pack(value)
            except Exception:
                pass  # text that is not UTF-8, an int the packer refuses
            else:
                # Non-ASCII text was counted by characters, not bytes.
                if len(packed) <= _FULL_CAP:
                    return packed
        walk = _Walk(MAX_TEXT, MAX_ITEMS, MAX_DEPTH, MAX_VALUE_BYTES)
        return _pack_or_describe(packer, _bounded, value, walk)
    finally:
        _put_back_packer(packer)


def _room_left(value, depth, room):
    """``room`` less the encoded size of ``value``, or -1 when the value
    does not fit the full mode's limits whole (or is of a type the walk
    must handle). Visits at most ``room`` bytes' worth of items, however
    large the value."""
    value_type = type(value)
    if value_type is dict:
        # A call's locals: the most frequent value, its checks inline.
        if len(value) > MAX_ITEMS or depth >= MAX_DEPTH:
            return -1
        room -= _HEADER_BYTES
        for key, item in value.items():
            key_type = type(key)
            if (key_type is not str and key_type is not bytes) or len(key) > MAX_TEXT:
                return -1
            if key_type is str and is_credential_key(key):
                return -1  # the walk masks its value
            item_type = type(item)
            if item_type is str or item_type is bytes:
                if len(item) > MAX_TEXT:
                    return -1
                room -= len(key) + len(item) + 2 * _HEADER_BYTES
            elif item_type is int or item_type is float or item is None or item_type is bool:
                room -= len(key) + _HEADER_BYTES + _SCALAR_BYTES
            else:
                room = _room_left(item, depth + 1, room - len(key) - _HEADER_BYTES)
            if room < 0:
                return -1
        return room
    if value_type is list or value_type is tuple:
        if len(value) > MAX_ITEMS or depth >= MAX_DEPTH:
            return -1
        room -= _HEADER_BYTES
        if _SCALAR_TYPE_IDS.issuperset(map(id, map(type, value))):
            # Numbers, None and bools only (a common case, checked in C); an
            # int too large for MessagePack makes the packer fail instead.
            return room - _SCALAR_BYTES * len(value)
        for item in value:
            room = _room_left(item, depth + 1, room)
            if room < 0:
                return -1
        return room
    if value_type is str or value_type is bytes or value_type is bytearray:
        return -1 if len(value) > MAX_TEXT else room - len(value) - _HEADER_BYTES
    if value_type is int or value_type is float or value is None or value_type is bool:
        # An int too large for MessagePack makes the packer fail.
        return room - _SCALAR_BYTES
    if value_type is memoryview or id(value_type) in _MSGPACK_EXTENSION_TYPE_IDS:
        return -1  # the packer would copy them whole
    # Anything else reaches the packer's fallback, which cuts its repr.
    return room - _OBJECT_BYTES


class _Walk:
    """State of one bounded walk: its limits, the encoded bytes still
    allowed and the containers being walked (to mark one met again inside
    itself)."""

    __slots__ = ("max_text", "max_items", "max_depth", "room", "open_containers")

    def __init__(self, max_text, max_items, max_depth, max_value_bytes):
        self.max_text, self.max_items, self.max_depth = max_text, max_items, max_depth
        self.room = _NO_CAP if max_value_bytes is None else max_value_bytes
        self.open_containers = set()


def _bounded(value, depth, walk):
    """Rebuild what the full mode keeps of ``value`` from types every
    msgpack reader loads."""
    value_type = type(value)
    if value_type is str:
        return _kept_text(value, walk)
    if value_type is int:
        if _INT64_MIN <= value <= _UINT64_MAX:
            walk.room -= _SCALAR_BYTES
            return value
        return _kept_repr(_int_text(value), walk)
    if value is None or value_type is bool or value_type is float:
        walk.room -= _SCALAR_BYTES
        return value
    if value_type is dict or value_type is list or value_type is tuple:
        return _bounded_container(value, value_type, depth, walk)
    if value_type is bytearray:
        value, value_type = bytes(value[: walk.max_text + 1]), bytes
    elif value_type is memoryview:
        data = _memoryview_head(value, walk.max_text + 1)
        if data is not None:
            value, value_type = data, bytes
    if value_type is bytes:
        keep = max(0, min(walk.max_text, walk.room - _HEADER_BYTES))
        if len(value) > keep:
            value = value[:keep] + _TRUNCATION_MARKER_BYTES
        walk.room -= len(value) + _HEADER_BYTES
        return value
    if value_type is msgpack.Timestamp:
        walk.room -= 2 * _SCALAR_BYTES
        return value
    if value_type is msgpack.ExtType and type(value.data) is bytes and len(value.data) <= walk.max_text:
        if value.code in _OWN_EXTENSION_CODES:
            return _kept_repr(_repr_text(value, walk.max_text), walk)
        walk.room -= len(value.data) + _SCALAR_BYTES
        return value
    if value_type is msgpack.ExtType:
        return _summary(f"<ExtType {value.code} of {len(value.data)} bytes>", walk)
    return _kept_repr(_repr_text(value, walk.max_text), walk)


def _bounded_container(value, value_type, depth, walk):
    open_containers = walk.open_containers
    if id(value) in open_containers:
        return _summary(_RECURSION_MARKERS[value_type], walk)
    count = len(value)
    if depth >= walk.max_depth:
        return _summary(f"<{value_type.__name__} of {_items(count)}>", walk)
    walk.room -= _EXT_HEADER_BYTES if value_type is tuple else _HEADER_BYTES
    open_containers.add(id(value))
    depth += 1
    if value_type is dict and not _text_keys(value, walk.max_items):
        # A reader refuses such keys in a map: the entries are kept as pairs.
        pairs = []
        for key, item in islice(value.items(), walk.max_items):
            if walk.room <= 0:
                break
            shown_key = _bounded(key, depth, walk)
            pairs.append([shown_key, _summary(MASK, walk) if is_credential_key(key) else _bounded(item, depth, walk)])
        left_out = count - len(pairs)
        if left_out > 0:
            pairs.append([LEFT_OUT_KEY, _left_out_text(left_out, walk, with_marker=False)])
        open_containers.discard(id(value))
        return _packed_ext(EXT_PAIRS, pairs)
    if value_type is dict:
        summary = {}
        for key, item in islice(value.items(), walk.max_items):
            if walk.room <= 0:
                break
            if type(key) is str:
                masked = is_credential_key(key)
                key = _kept_text(key, walk)
            else:
                masked = False
                key = key if len(key) <= walk.max_text else key[:walk.max_text] + _TRUNCATION_MARKER_BYTES
                walk.room -= len(key) + _HEADER_BYTES
            summary[key] = _summary(MASK, walk) if masked else _bounded(item, depth, walk)
        # Counted from what was kept: two long keys cut to the same text
        # are one entry.
        left_out = count - len(summary)
        if left_out > 0:
            summary[LEFT_OUT_KEY] = _left_out_text(left_out, walk, with_marker=False)
    else:
        summary = []
        for item in value if count <= walk.max_items else islice(value, walk.max_items):
            if walk.room <= 0:
                break
            summary.append(_bounded(item, depth, walk))
        left_out = count - len(summary)
        if left_out > 0:
            summary.append(_left_out_text(left_out, walk, with_marker=True))
        if value_type is tuple:
            summary = _packed_ext(EXT_TUPLE, summary)
    open_containers.discard(id(value))
    return summary


def _text_keys(mapping, count):
    """Whether the first ``count`` keys of ``mapping`` are all str or bytes."""
    for key in islice(mapping, count):
        if type(key) is not str and type(key) is not bytes:
            return False
    return True


def _left_out_text(count, walk, with_marker):
    text = f"{TRUNCATION_MARKER} {_items(count)} left out" if with_marker else f"{_items(count)} left out"
    walk.room -= len(text) + _SCALAR_BYTES
    return text


def _summary(text, walk):
    """A repr of the walk's own (a summary, a marker), kept whole."""
    walk.room -= len(text) + _SCALAR_BYTES
    return _repr_ext(text)


def _kept_repr(text, walk):
    """The repr ``text``, cut like a str."""
    walk.room -= _EXT_HEADER_BYTES - _HEADER_BYTES
    return _repr_ext(_kept_text(text, walk))


def _kept_text(text, walk):
    """``text`` cut to walk.max_text characters and to the bytes still allowed,
    ending with the marker when cut, as valid UTF-8."""
    room = max(0, walk.room - _HEADER_BYTES)
    cut = len(text) > walk.max_text
    text = _utf8_safe(text[:walk.max_text] if cut else text)
    size = len(text) if text.isascii() else len(text.encode("utf-8"))
    if size > room:
        text = text.encode("utf-8")[:room].decode("utf-8", "ignore")
        size = len(text.encode("utf-8"))
        cut = True
    walk.room -= size + _HEADER_BYTES
    if cut:
        walk.room -= len(_TRUNCATION_MARKER_BYTES)
        return text + TRUNCATION_MARKER
    return text


def _cut_text(text, limit):
    if len(text) > limit:
        return _utf8_safe(text[:limit]) + TRUNCATION_MARKER
    return _utf8_safe(text)


def _memoryview_head(view, size):
    """The first ``size`` bytes of a memoryview, without copying the rest;
    None for a released view or one that is not contiguous."""
    try:
        if not view.contiguous:
            return None
        return view.cast("B")[:size].tobytes() if view.format != "B" or view.ndim != 1 else view[:size].tobytes()
    except (ValueError, TypeError):
        return None


def _int_text(value):
    bits = value.bit_length()
    if bits > _MAX_INT_BITS:
        return f"<int of {bits} bits>"
    return _readable_text(value)


_REPR_OPENERS = {list: ("[", "]"), tuple: ("(", ")"), dict: ("{", "}"), set: ("{", "}"), frozenset: ("frozenset({", "})")}
_REPR_OPENER_IDS = frozenset(map(id, _REPR_OPENERS))


def _repr_text(value, limit):
    """The text that stands for ``value``: repr() of a str, bytes, int or
    exact list, tuple, dict, set or frozenset, built from at most about
    ``limit`` characters' worth of its items, the same text as repr() when
    that is short; any other object shown by its plan (_add_object)."""
    parts = []
    _add_repr(value, parts, [limit], 0, set())
    return "".join(parts)


def _add_repr(value, parts, room, depth, open_containers):
    # room is a one-item list: the characters still wanted, shared by the
    # whole walk, which stops adding once it is used up.
    value_type = type(value)
    if value_type is str or value_type is bytes or value_type is bytearray:
        text = repr(value[: room[0] + 1]) if len(value) > room[0] else repr(value)
    elif value_type is int:
        text = _int_text(value)
    elif id(value_type) in _REPR_OPENER_IDS:
        if id(value) in open_containers:
            text = _RECURSION_MARKERS[value_type]
        elif depth >= MAX_DEPTH:
            text = f"<{value_type.__name__} of {_items(len(value))}>"
        elif not value:
            text = {set: "set()", frozenset: "frozenset()", tuple: "()"}.get(value_type) or repr(value)
        else:
            _add_container_repr(value, value_type, parts, room, depth, open_containers)
            return
    elif id(value_type) in _C_SCALAR_IDS:
        text = _readable_text(value)
    else:
        _add_object(value, parts, room, depth, open_containers)
        return
    parts.append(text)
    room[0] -= len(text)


# Shown by their C repr, whatever the repr mode (the most frequent values
# inside a set, spared a plan).
_C_SCALAR_IDS = frozenset(map(id, (float, bool, type(None), complex)))
_object_form = object.__repr__


def _add_object(value, parts, room, depth, open_containers):
    """The text of an object of any other type, as its type's plan says."""
    plan = plans.plan_for(type(value), _FULL_REPR)
    kind = plan[0]
    if kind == plans.REPR:
        text = _readable_text(value)
    elif kind == plans.CALL:
        text = _called_text(plan[2], value)
    elif kind == plans.OBJECT or depth >= MAX_DEPTH:
        text = _object_form(value)
    elif id(value) in open_containers:
        text = plan[1]
    else:
        read = _read_parts(value, plan)
        if read is None:
            text = _object_form(value)
        else:
            _add_walked(value, plan[2], read, parts, room, depth, open_containers)
            return
    parts.append(text)
    room[0] -= len(text)


def _called_text(function, value):
    """What a registered function makes of ``value``, as an exact str."""
    try:
        text = function(value)
    except Exception:
        return f"<unrepresentable {_type_name(value)} object>"
    except BaseException as error:
        _clear_program_error(error, "the registered repr function", value)
        return f"<unrepresentable {_type_name(value)} object>"
    if type(text) is str:
        return text
    if issubclass(type(text), str):
        return str.__str__(text)
    return f"<unrepresentable {_type_name(value)} object>"


def _read_parts(value, plan):
    """What each step of a WALK plan reads from ``value`` (None for a text),
    or None when a part cannot be read without running the program's code."""
    value_type = type(value)
    instance_dict = None
    if plan[3] is not None:
        try:
            instance_dict = plan[3].__get__(value, value_type)
        except Exception:
            return None
        if type(instance_dict) is not dict:
            return None
    read = []
    for step in plan[2]:
        kind = step[0]
        if kind == plans.TEXT or kind == plans.MASKED:
            read.append(None)
            continue
        reader = step[1] if kind == plans.ITEMS else step[2]
        if reader is None:
            item = value
        elif type(reader) is str:
            if instance_dict is None:
                return None  # a plan that reads no instance dict
            item = instance_dict.get(reader, _ABSENT)
            if item is _ABSENT:
                return None
        elif type(reader) is int:
            if not issubclass(value_type, tuple) or not 0 <= reader < tuple.__len__(value):
                return None
            item = tuple.__getitem__(value, reader)
        else:
            try:
                item = reader.__get__(value, value_type)
            except Exception:
                return None
        if kind == plans.NAME:
            if type(item) is not str and not (item is None and step[3] is True):
                return None
        elif kind == plans.QUALNAME:
            if type(item) is not _FunctionType:
                return None
            item = item.__qualname__
        read.append(item)
    return read


_ABSENT = object()
_FunctionType = type(_add_object)


def _add_walked(value, steps, read, parts, room, depth, open_containers):
    open_containers.add(id(value))
    depth += 1
    for step, item in zip(steps, read):
        kind = step[0]
        if kind == plans.TEXT:
            text = step[1]
        elif room[0] <= 0:
            parts.append(TRUNCATION_MARKER)
            break
        elif kind == plans.ITEMS:
            _add_items(item, step, parts, room, depth, open_containers)
            continue
        elif kind == plans.NAME or kind == plans.QUALNAME:
            text = "" if item is None else step[1] + item
        elif kind == plans.MASKED:
            text = step[1] + MASK
        elif kind == plans.OPTIONAL and item is None:
            continue
        else:
            parts.append(step[1])
            room[0] -= len(step[1])
            _add_repr(item, parts, room, depth, open_containers)
            continue
        parts.append(text)
        room[0] -= len(text)
    open_containers.discard(id(value))


def _add_items(container, step, parts, room, depth, open_containers):
    _, _, length, iterate, form, opener, closer, empty, one_item_suffix = step
    count = length(container)
    if count == 0:
        parts.append(empty)
        room[0] -= len(empty)
        return
    parts.append(opener)
    room[0] -= len(opener)
    shown = 0
    for item in islice(iterate(container), MAX_ITEMS):
        if room[0] <= 0:
            break
        if form == plans.KEYWORD and type(item[0]) is not str:
            continue
        if shown:
            parts.append(", ")
            room[0] -= 2
        if form == plans.ITEM:
            _add_repr(item, parts, room, depth, open_containers)
        elif form == plans.KEYWORD:
            parts.append(item[0] + "=")
            room[0] -= len(item[0]) + 1
            _add_entry_repr(item[0], item[1], parts, room, depth, open_containers)
        else:
            key, entry = item
            if form == plans.TUPLE_PAIR:
                parts.append("(")
                room[0] -= 1
            _add_repr(key, parts, room, depth, open_containers)
            parts.append(": " if form == plans.PAIR else ", ")
            room[0] -= 2
            _add_entry_repr(key, entry, parts, room, depth, open_containers)
            if form == plans.TUPLE_PAIR:
                parts.append(")")
                room[0] -= 1
        shown += 1
    left_out = count - shown
    if left_out > 0:
        parts.append(f", {TRUNCATION_MARKER} {_items(left_out)} left out")
    elif shown == 1 and one_item_suffix:
        parts.append(one_item_suffix)
    parts.append(closer)
    room[0] -= len(closer)


def _add_entry_repr(key, entry, parts, room, depth, open_containers):
    """The text of a dict entry's value: the mask under a key that names a
    credential."""
    if is_credential_key(key):
        parts.append(MASK)
        room[0] -= len(MASK)
    else:
        _add_repr(entry, parts, room, depth, open_containers)


def _add_container_repr(value, value_type, parts, room, depth, open_containers):
    opener, closer = _REPR_OPENERS[value_type]
    open_containers.add(id(value))
    parts.append(opener)
    room[0] -= len(opener)
    shown = 0
    items = value.items() if value_type is dict else value
    for item in islice(items, MAX_ITEMS):
        if room[0] <= 0:
            break
        if shown:
            parts.append(", ")
            room[0] -= 2
        if value_type is dict:
            _add_repr(item[0], parts, room, depth + 1, open_containers)
            parts.append(": ")
            room[0] -= 2
            _add_entry_repr(item[0], item[1], parts, room, depth + 1, open_containers)
        else:
            _add_repr(item, parts, room, depth + 1, open_containers)
        shown += 1
    left_out = len(value) - shown
    if left_out > 0:
        parts.append(f", {TRUNCATION_MARKER} {_items(left_out)} left out")
    elif value_type is tuple and shown == 1:
        parts.append(",")
    parts.append(closer)
    room[0] -= len(closer)
    open_containers.discard(id(value))


def reference_dump_msgpack_lightweight_repr(value):
    """Encode a short summary of ``value`` as one MessagePack value.

    Long strings, bytes and reprs are cut to LIGHTWEIGHT_MAX_TEXT and end with
    "…"; lists, tuples and dicts keep their first LIGHTWEIGHT_MAX_ITEMS items
    and gain one more, "… 5 items left out" (for a dict, under the key "…");
    containers nested deeper than LIGHTWEIGHT_MAX_DEPTH become a text such as
    "<list of 12 items>" (a repr). A dict whose keys are not all str or
    bytes keeps its entries as pairs, keys summarised like values.
    """
    packer = _take_packer()
    try:
        if _kept_whole(value):
            # Nothing to cut: the summary would be a copy of the value.
            packed = packer.pack(value)
        else:
            packed = _pack_or_describe(packer, _lightweight, value, set())
        cap = LIGHTWEIGHT_MAX_VALUE_BYTES
        if cap is not None and len(packed) > cap:
            # The other limits allowed more than the cap: keep what fits.
            walk = _Walk(LIGHTWEIGHT_MAX_TEXT, LIGHTWEIGHT_MAX_ITEMS, LIGHTWEIGHT_MAX_DEPTH, cap)
            packed = _pack_or_describe(packer, _bounded, value, walk)
        return packed
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
            if is_credential_key(key):
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


def _pack_or_describe(packer, simplify, value, state):
    """Pack ``simplify(value, 0, state)``, or a description of ``value`` if
    that fails."""
    try:
        return packer.pack(simplify(value, 0, state))
    except Exception:
        # Only reachable through RecursionError or MemoryError: the simplified
        # value holds nothing the packer can refuse.
        return packer.pack(_repr_ext(f"<unserialisable {_type_name(value)} object>"))


def _short_text(text):
    return _cut_text(text, LIGHTWEIGHT_MAX_TEXT)


def _lightweight(value, depth, open_containers):
    """Rebuild a bounded summary of ``value`` from plain types."""
    value_type = type(value)
    # The most frequent types first: this runs for every item kept.
    if value_type is str:
        if len(value) <= LIGHTWEIGHT_MAX_TEXT and value.isascii():
            return value
        return _short_text(value)
    if value_type is int:
        return value if _INT64_MIN <= value <= _UINT64_MAX else _repr_ext(_short_text(_int_text(value)))
    if value is None or value_type is bool or value_type is float:
        return value
    if value_type is dict or value_type is list or value_type is tuple:
        return _lightweight_container(value, value_type, depth, open_containers)
    if value_type is bytearray:
        value, value_type = bytes(value[: LIGHTWEIGHT_MAX_TEXT + 1]), bytes
    elif value_type is memoryview:
        data = _memoryview_head(value, LIGHTWEIGHT_MAX_TEXT + 1)
        if data is not None:
            value, value_type = data, bytes
    if value_type is bytes:
        if len(value) > LIGHTWEIGHT_MAX_TEXT:
            return value[:LIGHTWEIGHT_MAX_TEXT] + _TRUNCATION_MARKER_BYTES
        return value
    if id(value_type) in _MSGPACK_EXTENSION_TYPE_IDS:
        if value_type is msgpack.ExtType and value.code in _OWN_EXTENSION_CODES:
            return _repr_ext(_short_text(_repr_text(value, LIGHTWEIGHT_MAX_TEXT)))
        return value
    return _repr_ext(_short_text(_repr_text(value, LIGHTWEIGHT_MAX_TEXT)))


def _lightweight_container(value, value_type, depth, open_containers):
    if id(value) in open_containers:
        return _repr_ext(_RECURSION_MARKERS[value_type])
    if depth >= LIGHTWEIGHT_MAX_DEPTH:
        return _repr_ext(f"<{value_type.__name__} of {_items(len(value))}>")
    # A walk that raises is abandoned whole, so the set needs no cleanup then.
    open_containers.add(id(value))
    depth += 1
    left_out = len(value) - LIGHTWEIGHT_MAX_ITEMS
    if value_type is dict:
        entries = value.items() if left_out <= 0 else islice(value.items(), LIGHTWEIGHT_MAX_ITEMS)
        if _text_keys(value, LIGHTWEIGHT_MAX_ITEMS):
            summary = {_lightweight_key(key): _lightweight_entry(key, item, depth, open_containers)
                       for key, item in entries}
            if left_out > 0:
                summary[LEFT_OUT_KEY] = f"{_items(left_out)} left out"
        else:
            pairs = [[_lightweight(key, depth, open_containers), _lightweight_entry(key, item, depth, open_containers)]
                     for key, item in entries]
            if left_out > 0:
                pairs.append([LEFT_OUT_KEY, f"{_items(left_out)} left out"])
            summary = _packed_ext(EXT_PAIRS, pairs)
    else:
        items = value if left_out <= 0 else value[:LIGHTWEIGHT_MAX_ITEMS]
        summary = [_lightweight(item, depth, open_containers) for item in items]
        if left_out > 0:
            summary.append(f"{TRUNCATION_MARKER} {_items(left_out)} left out")
        if value_type is tuple:
            summary = _packed_ext(EXT_TUPLE, summary)
    open_containers.discard(id(value))
    return summary


def _lightweight_entry(key, item, depth, open_containers):
    """The summary of a dict entry's value: the mask under a key that names
    a credential."""
    if is_credential_key(key):
        return _repr_ext(MASK)
    return _lightweight(item, depth, open_containers)


def _lightweight_key(key):
    if type(key) is str:
        return key if len(key) <= LIGHTWEIGHT_MAX_TEXT and key.isascii() else _short_text(key)
    return key[:LIGHTWEIGHT_MAX_TEXT]


try:
    import zelm._serialize as _native
except ImportError:  # a build without the native module
    _native = None

if _native is None:
    dump_msgpack = reference_dump_msgpack
    dump_msgpack_lightweight_repr = reference_dump_msgpack_lightweight_repr
else:
    _native.configure(msgpack.ExtType, msgpack.Timestamp, reference_dump_msgpack,
                      reference_dump_msgpack_lightweight_repr, plans.plan_for)
    _native.set_limits(*current_limits())
    _native.set_repr_mode(_FULL_REPR)
    # The native encoders keep each type's plan until the registry changes.
    plans.add_listener(_native.forget_plans)

    def _push_scrub_keys():
        # Forgets the plans too: a plan masks the fields the keys name.
        _native.set_scrub_keys(scrub.folded_scrub_keys())

    _push_scrub_keys()
    scrub.add_listener(_push_scrub_keys)
    dump_msgpack = _native.dump_msgpack
    dump_msgpack_lightweight_repr = _native.dump_msgpack_lightweight_repr
