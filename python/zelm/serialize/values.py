"""The MessagePack extension types of trace values, and reading them back.

A traced value is stored as plain MessagePack wherever MessagePack has a
form for it. Three things have none, and are stored as extension values so
that a reader can tell them from what they would otherwise look like:

====  ==================  ==================================================
code  stands for          payload
====  ==================  ==================================================
1     a repr              the UTF-8 text that stands for an object the
                          serializer does not encode: its ``repr()``,
                          "<unrepresentable T object>", or a summary such as
                          "<list of 12 items>" or "[...]" (a container met
                          again inside itself); never a real string
2     a tuple             one MessagePack array: the tuple's items
3     a dict whose keys   one MessagePack array of [key, value] arrays, in
      are not all text    the dict's order (keys such as ints, None, tuples)
====  ==================  ==================================================

Payloads are MessagePack of their own (or UTF-8 text), so every stored value
still loads in a default ``msgpack.unpackb``, which returns these as
``msgpack.ExtType`` values. ``unpackb`` below reads them as ``Repr`` (a str
that equals no str, whose repr is its own text, so that a value prints as
Python printed the original), ``tuple`` and ``ObjectKeyDict`` (a dict). An extension value that
does not read back (another program's code, a damaged payload) stays the
``msgpack.ExtType`` it is. Timestamps (extension -1) are msgpack's own.
"""

import msgpack

__all__ = ["EXT_REPR", "EXT_TUPLE", "EXT_PAIRS", "Repr", "ObjectKeyDict", "decode_extension", "unpackb", "packb"]

EXT_REPR = 1
EXT_TUPLE = 2
EXT_PAIRS = 3


class Repr(str):
    """The text that stands for an object the trace could not keep (its
    repr or a summary of it). It is a str, but equal only to a Repr of the
    same text, never to a str: the string "<b>" and an object shown as <b>
    are two keys of a dict. Its own repr is its text, unquoted."""

    __slots__ = ()

    def __repr__(self):
        return str.__str__(self)

    def __eq__(self, other):
        return type(other) is Repr and str.__eq__(self, other)

    def __ne__(self, other):
        return not self.__eq__(other)

    # Equal Reprs have equal texts, so the text's hash serves.
    __hash__ = str.__hash__


class ObjectKeyDict(dict):
    """A dict whose keys were not all text (ints, None, tuples ...), read
    from its stored [key, value] pairs."""

    __slots__ = ()


def decode_extension(code, data):
    """``ext_hook`` for msgpack's readers: the value an extension stands for."""
    try:
        if code == EXT_REPR:
            return Repr(data.decode("utf-8", "backslashreplace"))
        if code == EXT_TUPLE:
            items = unpackb(data)
            if type(items) is list:
                return tuple(items)
        elif code == EXT_PAIRS:
            pairs = unpackb(data)
            if type(pairs) is list and all(type(pair) is list and len(pair) == 2 for pair in pairs):
                return ObjectKeyDict(pairs)
    except Exception:
        pass  # a payload of someone else's making, or an unhashable key
    return msgpack.ExtType(code, data)


def unpackb(data):
    """Decode MessagePack ``data`` as the trace reader does: strings as str,
    map keys of any type, and the extension values above as what they stand
    for."""
    return msgpack.unpackb(data, raw=False, strict_map_key=False, ext_hook=decode_extension)


def packb(value):
    """Encode a value read by ``unpackb`` back into the same MessagePack
    (the smallest forms, as the profiler writes them)."""
    return msgpack.packb(value, default=_encode_extension, strict_types=True)


def _encode_extension(value):
    value_type = type(value)
    if value_type is Repr:
        return msgpack.ExtType(EXT_REPR, str.__str__(value).encode("utf-8"))
    if value_type is tuple:
        return msgpack.ExtType(EXT_TUPLE, packb(list(value)))
    if value_type is ObjectKeyDict:
        return msgpack.ExtType(EXT_PAIRS, packb([[key, item] for key, item in value.items()]))
    raise TypeError(f"{value_type.__name__} is no value of a trace")
