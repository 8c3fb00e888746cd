"""Values a reader can tell apart: what the serializer writes for reprs,
tuples and dicts with keys other than text, read back by the trace reader
and shown by `zelm show` and the JSON export."""

import collections

import msgpack
import pytest

from conftest import Colour, Number, Point, Text
from zelm import serialize, trace
from zelm.cli.render import short_value
from zelm.export import to_json_safe
from zelm.serialize import values
from zelm.serialize.values import ObjectKeyDict, Repr

DUMPERS = [serialize.dump_msgpack, serialize.dump_msgpack_lightweight_repr]


class Bee:
    def __repr__(self):
        return "<b>"


class ReprRaises:
    def __repr__(self):
        raise RuntimeError("no repr")


def _self_containing_list():
    value = [1]
    value.append(value)
    return value


def _tuple_inside_itself():
    inner = []
    value = (inner,)
    inner.append(value)
    return value


def shape(value):
    """``value`` with the type of every repr, tuple and dict spelled out, so
    that == tells "<b>" from Repr("<b>") and (1,) from [1]."""
    if type(value) is Repr:
        return ("repr", str(value))
    if type(value) is tuple:
        return ("tuple", [shape(item) for item in value])
    if type(value) is ObjectKeyDict:
        return ("pairs", [(shape(key), shape(item)) for key, item in value.items()])
    if type(value) is dict:
        return ("dict", [(shape(key), shape(item)) for key, item in value.items()])
    if type(value) is list:
        return ("list", [shape(item) for item in value])
    return (type(value).__name__, value)


def read_back(dump, value):
    """What the trace reader makes of ``value`` written by ``dump``, after
    checking that a default MessagePack reader loads it too."""
    packed = dump(value)
    msgpack.unpackb(packed)
    return values.unpackb(packed)


# value, what the reader gives, what `zelm show` prints
VALUES = {
    "str like a repr": ("<b>", "<b>", "'<b>'"),
    "object": (Bee(), Repr("<b>"), "<b>"),
    "repr raises": (ReprRaises(), Repr("<unrepresentable ReprRaises object>"), "<unrepresentable ReprRaises object>"),
    "tuple": ((1, "a"), (1, "a"), "(1, 'a')"),
    "one-item tuple": ((None,), (None,), "(None,)"),
    "empty tuple": ((), (), "()"),
    "list": ([1, "a"], [1, "a"], "[1, 'a']"),
    "nested tuples": ((1, (2, (3,))), (1, (2, (3,))), "(1, (2, (…)))"),
    "tuple of objects in a list": ([(Bee(), "<b>")], [(Repr("<b>"), "<b>")], "[(<b>, '<b>')]"),
    "dict with int keys": ({1: "a", 2: (3,)}, ObjectKeyDict({1: "a", 2: (3,)}), "{1: 'a', 2: (3,)}"),
    "dict with tuple key": ({(1, "x"): Bee()}, ObjectKeyDict({(1, "x"): Repr("<b>")}), "{(1, 'x'): <b>}"),
    "dict with None key": ({None: 1}, ObjectKeyDict({None: 1}), "{None: 1}"),
    "dict with text and object keys": ({"<b>": 1, Bee(): 2}, ObjectKeyDict({"<b>": 1, Repr("<b>"): 2}),
                                       "{'<b>': 1, <b>: 2}"),
    "dict inside a dict": ({"d": {1.5: "x"}}, {"d": ObjectKeyDict({1.5: "x"})}, "{'d': {1.5: 'x'}}"),
    "text keys stay a map": ({"a": 1, b"b": 2}, {"a": 1, b"b": 2}, "{'a': 1, b'b': 2}"),
    "recursive list": (_self_containing_list(), [1, Repr("[...]")], "[1, [...]]"),
    "recursive tuple": (_tuple_inside_itself(), ([Repr("(...)")],), "([(...)],)"),
    "set": ({1}, Repr("{1}"), "{1}"),
    "str subclass": (Text("t"), Repr("'t'"), "'t'"),
    "int subclass": (Number(5), Repr("5"), "5"),
    "int enum": (Colour.RED, Repr("<Colour.RED: 1>"), "<Colour.RED: 1>"),
    "namedtuple": (Point(1, 2), Repr("Point(x=1, y=2)"), "Point(x=1, y=2)"),
    "ordered dict": (collections.OrderedDict(a=1), Repr(repr(collections.OrderedDict(a=1))), None),
    "big int": (2**70, Repr(str(2**70)), None),
    "bytes": (b"\x00<b>", b"\x00<b>", "b'\\x00<b>'"),
    "ext type": (msgpack.ExtType(9, b"x"), msgpack.ExtType(9, b"x"), "ExtType(code=9, data=b'x')"),
    "ext type of a zelm code": (msgpack.ExtType(1, b"x"), Repr("ExtType(code=1, data=b'x')"), None),
    "timestamp": (msgpack.Timestamp(1, 2), msgpack.Timestamp(1, 2), "Timestamp(seconds=1, nanoseconds=2)"),
}


@pytest.mark.parametrize("dump", DUMPERS, ids=lambda dump: dump.__name__)
@pytest.mark.parametrize("value, expected, shown", VALUES.values(), ids=VALUES.keys())
@pytest.mark.usefixtures("full_repr")
def test_reader_tells_reprs_tuples_and_odd_keys_apart(dump, value, expected, shown):
    decoded = read_back(dump, value)

    assert shape(decoded) == shape(expected)
    assert short_value(decoded) == (shown if shown is not None else short_value(expected))


@pytest.fixture
def small_limits():
    previous = serialize.current_limits()
    small = serialize.Limits(max_text=5, max_items=2, max_depth=2, max_value_bytes=None)
    serialize.set_limits(full=small, lightweight=small)
    yield
    serialize.set_limits(*previous)


CUT = {
    "cut tuple": ((1, 2, 3, 4), (1, 2, "… 2 items left out"), "(1, 2, '… 2 items left out')"),
    "tuple too deep": ([[(1,)]], [[Repr("<tuple of 1 item>")]], "[[<tuple of 1 item>]]"),
    "list too deep in a tuple": (([[1]],), ([Repr("<list of 1 item>")],), "([<list of 1 item>],)"),
    "cut repr": (Point("abcdef", 2), Repr("Point…"), "Point…"),
    "cut dict with int keys": ({1: 1, 2: 2, 3: 3}, ObjectKeyDict({1: 1, 2: 2, "…": "1 item left out"}),
                               "{1: 1, 2: 2, '…': '1 item left out'}"),
    "cut tuple key": ({(1, 2, 3): 0}, ObjectKeyDict({(1, 2, "… 1 item left out"): 0}),
                      "{(1, 2, '… 1 item left out'): 0}"),
    "cut text in a tuple": (("abcdefgh",), ("abcde…",), "('abcde…',)"),
}


@pytest.mark.parametrize("dump", DUMPERS, ids=lambda dump: dump.__name__)
@pytest.mark.parametrize("value, expected, shown", CUT.values(), ids=CUT.keys())
def test_cut_values_keep_their_kind(small_limits, dump, value, expected, shown):
    decoded = read_back(dump, value)

    assert shape(decoded) == shape(expected)
    assert short_value(decoded) == shown


@pytest.mark.parametrize("packed, expected", [
    # Traces written before reprs were told apart: their texts stay texts.
    (msgpack.packb(["<b>", [1, 2]]), ["<b>", [1, 2]]),
    # Extension values that are not zelm's, or do not read back, stay as they are.
    (msgpack.packb(msgpack.ExtType(2, b"\xc1")), msgpack.ExtType(2, b"\xc1")),
    (msgpack.packb(msgpack.ExtType(3, msgpack.packb([[[1], 2]]))), msgpack.ExtType(3, msgpack.packb([[[1], 2]]))),
    (msgpack.packb(msgpack.ExtType(3, msgpack.packb([1]))), msgpack.ExtType(3, msgpack.packb([1]))),
    (msgpack.packb(msgpack.ExtType(1, b"\xff")), Repr("\\xff")),
], ids=["old trace", "bad tuple payload", "unhashable key", "pairs that are no pairs", "repr not UTF-8"])
def test_reader_keeps_what_it_cannot_read_as_it_is(packed, expected):
    assert shape(values.unpackb(packed)) == shape(expected)


@pytest.mark.parametrize("value, expected", [
    (Repr("<b>"), {"$repr": "<b>"}),
    ("<b>", "<b>"),
    ((1, [Repr("x")]), {"$tuple": [1, [{"$repr": "x"}]]}),
    (ObjectKeyDict({(1,): None, 2: "a"}), {"$dict": [[{"$tuple": [1]}, None], [2, "a"]]}),
    ({"$repr": "not a repr"}, {"$dict": [["$repr", "not a repr"]]}),
    ({"$repr": 1, "other": 2}, {"$repr": 1, "other": 2}),
    ({1: "a"}, {"1": "a"}),  # a map of the document itself (thread ids)
    (b"\x00", {"$repr": "b'\\x00'"}),
    (float("inf"), {"$repr": "inf"}),
    (msgpack.Timestamp(1, 0), {"$repr": "Timestamp(seconds=1, nanoseconds=0)"}),
], ids=["repr", "str", "tuple", "pairs", "dict like a marker", "dict with a marker key", "document map",
        "bytes", "infinity", "timestamp"])
def test_json_export_marks_what_json_cannot_tell_apart(value, expected):
    assert to_json_safe(value) == expected
