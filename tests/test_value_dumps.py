"""What zelm.serialize's two dumps make of any value: exactly one loadable
MessagePack value, the full dump's reprs and cuts, the lightweight dump's
summaries, and the limits both take."""

import collections
import threading
import time

import msgpack
import pytest

from zelm import serialize
from zelm.serialize import LEFT_OUT_KEY, TRUNCATION_MARKER, dump_msgpack, dump_msgpack_lightweight_repr, reference
from zelm.serialize.reference import LIGHTWEIGHT_MAX_DEPTH, LIGHTWEIGHT_MAX_ITEMS, LIGHTWEIGHT_MAX_TEXT
from zelm.serialize.values import ObjectKeyDict, Repr
from zelm.serialize.values import unpackb as read

DUMPERS = [dump_msgpack, dump_msgpack_lightweight_repr]


def case_id(value):
    try:
        return repr(value)[:40]
    except Exception:
        return type(value).__name__


class ReprRaises:
    def __repr__(self):
        raise RuntimeError("no repr")


class ReprReturnsSurrogate:
    def __repr__(self):
        return "half \udc80 surrogate"


class ReprReturnsStrSubclass:
    class Text(str):
        pass

    def __repr__(self):
        return self.Text("subclassed text")


class Plain:
    def __repr__(self):
        return "<Plain>"


class LongRepr:
    def __repr__(self):
        return "r" * 500


class LyingList(list):
    """A list subclass whose protocol methods would corrupt or break an
    encoder that used them."""

    def __len__(self):
        return 1000

    def __iter__(self):
        raise AssertionError("iterated a list subclass")

    def __repr__(self):
        return "LyingList()"


class LyingDict(dict):
    def __len__(self):
        return 0

    def items(self):
        raise AssertionError("called items() of a dict subclass")

    def __iter__(self):
        raise AssertionError("iterated a dict subclass")

    def __repr__(self):
        return "LyingDict()"


def _self_containing_list():
    value = [1]
    value.append(value)
    return value


def _self_containing_dict():
    value = {"a": 1}
    value["me"] = value
    return value


def _nested_lists(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


def _released_view():
    view = memoryview(b"gone")
    view.release()
    return view


ZOO = {
    "none": None,
    "true": True,
    "zero": 0,
    "int64 min": -(2**63),
    "uint64 max": 2**64 - 1,
    "float": 1.5,
    "nan": float("nan"),
    "text": "tëxt ✓",
    "empty text": "",
    "bytes": b"\x00\xff",
    "list": [1, "a", None],
    "tuple": (1, (2, 3)),
    "dict": {"a": 1, b"raw": [2]},
    "nested": {"a": [{"b": (1, {"c": None})}]},
    "bytearray": bytearray(b"ba"),
    "memoryview": memoryview(b"mv"),
    "released memoryview": _released_view(),
    "ext type": msgpack.ExtType(5, b"x"),
    "msgpack timestamp": msgpack.Timestamp(1, 2),
    "object": object(),
    "class": Plain,
    "set": {1, 2},
    "frozenset": frozenset({"x"}),
    "int above uint64": 2**64,
    "int below int64": -(2**63) - 1,
    "int too long for repr": 10**5000,
    "complex": 1 + 2j,
    "dict with int keys": {1: "a", 2: "b"},
    "dict with tuple key": {(1, 2): "a"},
    "dict with None key": {None: 1},
    "dict with object key": {Plain(): 1},
    "odd key deep inside": [{"fine": {1.5: "odd"}}],
    "self-containing list": _self_containing_list(),
    "self-containing dict": _self_containing_dict(),
    "repr raises": ReprRaises(),
    "repr returns surrogate": ReprReturnsSurrogate(),
    "repr returns str subclass": ReprReturnsStrSubclass(),
    "lone surrogate": "a\ud800b",
    "surrogate key": {"k\udcff": 1},
    "surrogate inside list": [1, "\udfff"],
    "list subclass": LyingList(),
    "dict subclass": LyingDict(),
    "defaultdict": collections.defaultdict(list, {"a": [1]}),
    "namedtuple": collections.namedtuple("Point", "x y")(1, 2),
    "nested deeper than msgpack allows": _nested_lists(5000),
    "long list": list(range(1000)),
    "long text": "x" * 10000,
}


@pytest.mark.parametrize("dump", DUMPERS, ids=lambda dump: dump.__name__)
@pytest.mark.parametrize("value", ZOO.values(), ids=ZOO.keys())
def test_every_value_becomes_exactly_one_loadable_msgpack_value(dump, value):
    packed = dump(value)

    assert type(packed) is bytes
    # unpackb refuses trailing bytes (ExtraData) and incomplete input, and by
    # default refuses map keys other than str and bytes and invalid UTF-8.
    msgpack.unpackb(packed)


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, None),
        (True, True),
        (-(2**63), -(2**63)),
        (2**64 - 1, 2**64 - 1),
        (1.5, 1.5),
        ("tëxt ✓", "tëxt ✓"),
        (b"\x00\xff", b"\x00\xff"),
        ((1, (2, 3)), (1, (2, 3))),
        ({"a": [1, {"b": None}], b"raw": 2}, {"a": [1, {"b": None}], b"raw": 2}),
        (bytearray(b"ba"), b"ba"),
        (memoryview(b"mv"), b"mv"),
        (list(range(reference.MAX_ITEMS)), list(range(reference.MAX_ITEMS))),
        ("x" * reference.MAX_TEXT, "x" * reference.MAX_TEXT),
        (msgpack.Timestamp(1, 2), msgpack.Timestamp(1, 2)),
    ],
    ids=case_id,
)
def test_full_dump_keeps_encodable_values(value, expected):
    assert read(dump_msgpack(value)) == expected


@pytest.mark.parametrize(
    "value, expected",
    [
        (Plain(), "<Plain>"),
        ({1, 2}, "{1, 2}"),
        (2**64, "18446744073709551616"),
        (-(2**63) - 1, "-9223372036854775809"),
        (10**5000, "<unrepresentable int object>"),
        (ReprRaises(), "<unrepresentable ReprRaises object>"),
        (ReprReturnsSurrogate(), "half \\udc80 surrogate"),
        (ReprReturnsStrSubclass(), "subclassed text"),
        (LyingList(), "LyingList()"),
        (LyingDict(), "LyingDict()"),
        (_released_view(), "<released memory at"),
    ],
    ids=case_id,
)
@pytest.mark.usefixtures("full_repr")
def test_full_dump_shows_other_values_as_their_repr(value, expected):
    decoded = read(dump_msgpack(value))
    assert type(decoded) is Repr and decoded.startswith(expected)


@pytest.mark.parametrize(
    "value, expected",
    [
        # Only the offending part of a structure turns into text.
        ([1, {"ok": {2: "no"}}], [1, {"ok": {2: "no"}}]),
        ({"outer": {2: "no"}, "fine": 1}, {"outer": {2: "no"}, "fine": 1}),
        ({"k\udcff": [Plain()]}, {"k\\udcff": [Repr("<Plain>")]}),
        ((1, "\ud800", {3}), (1, "\\ud800", Repr("{3}"))),
        (_self_containing_list(), [1, Repr("[...]")]),
        (_self_containing_dict(), {"a": 1, "me": Repr("{...}")}),
    ],
    ids=case_id,
)
@pytest.mark.usefixtures("full_repr")
def test_full_dump_keeps_structure_around_values_it_cannot_encode(value, expected):
    assert read(dump_msgpack(value)) == expected


def test_full_dump_does_not_mistake_a_shared_child_for_recursion():
    shared = [1, 2]

    assert read(dump_msgpack([shared, shared, "\ud800"])) == [[1, 2], [1, 2], "\\ud800"]


def test_full_dump_bounds_nesting_deeper_than_msgpack_allows():
    decoded = read(dump_msgpack(_nested_lists(5000)))

    depth = 0
    while isinstance(decoded, list):
        (decoded,) = decoded
        depth += 1
    assert depth == reference.MAX_DEPTH
    assert decoded == Repr("<list of 1 item>")


@pytest.mark.parametrize(
    "value",
    [None, False, -5, 2**64 - 1, 0.25, "short", b"short", [1, "a"], {"a": {"b": [1, 2]}}],
    ids=case_id,
)
def test_lightweight_dump_keeps_small_values(value):
    assert read(dump_msgpack_lightweight_repr(value)) == value


@pytest.mark.parametrize(
    "value, kept, left_out",
    [
        ("x" * (LIGHTWEIGHT_MAX_TEXT + 1), "x" * LIGHTWEIGHT_MAX_TEXT, "…"),
        ("ab" * 5000, "ab" * (LIGHTWEIGHT_MAX_TEXT // 2), "…"),
        (b"y" * 500, b"y" * LIGHTWEIGHT_MAX_TEXT, "…".encode()),
        (bytearray(b"z" * 500), b"z" * LIGHTWEIGHT_MAX_TEXT, "…".encode()),
        (LongRepr(), Repr("r" * LIGHTWEIGHT_MAX_TEXT), "…"),
        ("\ud800" * 500, "\\ud800" * LIGHTWEIGHT_MAX_TEXT, "…"),
    ],
    ids=["text", "long text", "bytes", "bytearray", "repr", "surrogates"],
)
@pytest.mark.usefixtures("full_repr")
def test_lightweight_dump_truncates_long_text_and_bytes(value, kept, left_out):
    expected = Repr(kept + left_out) if type(kept) is Repr else kept + left_out
    assert read(dump_msgpack_lightweight_repr(value)) == expected


def test_lightweight_text_at_the_limit_is_not_marked():
    value = "x" * LIGHTWEIGHT_MAX_TEXT

    assert read(dump_msgpack_lightweight_repr(value)) == value


@pytest.mark.parametrize("container", [list, tuple], ids=["list", "tuple"])
def test_lightweight_dump_cuts_long_sequences_and_counts_the_rest(container):
    value = container(range(LIGHTWEIGHT_MAX_ITEMS + 25))

    decoded = read(dump_msgpack_lightweight_repr(value))

    assert decoded == container(list(range(LIGHTWEIGHT_MAX_ITEMS)) + [f"{TRUNCATION_MARKER} 25 items left out"])


def test_lightweight_dump_cuts_long_dicts_and_counts_the_rest():
    value = {f"key{number}": number for number in range(LIGHTWEIGHT_MAX_ITEMS + 1)}

    decoded = read(dump_msgpack_lightweight_repr(value))

    expected = {f"key{number}": number for number in range(LIGHTWEIGHT_MAX_ITEMS)}
    expected[LEFT_OUT_KEY] = "1 item left out"
    assert decoded == expected


def test_lightweight_dump_summarises_deep_nesting():
    value, expected = (1, 2, 3), Repr("<tuple of 3 items>")
    for _ in range(LIGHTWEIGHT_MAX_DEPTH):
        value, expected = [value], [expected]

    assert read(dump_msgpack_lightweight_repr(value)) == expected


@pytest.mark.parametrize(
    "value, expected",
    [
        ({1: "a", None: "b"}, ObjectKeyDict({1: "a", None: "b"})),
        ({"k" * 500: 1}, {"k" * LIGHTWEIGHT_MAX_TEXT + "…": 1}),
        (_self_containing_list(), [1, Repr("[...]")]),
        (10**5000, Repr("<unrepresentable int object>")),
    ],
    ids=["odd keys", "long key", "recursion", "huge int"],
)
def test_lightweight_dump_special_cases(value, expected):
    assert read(dump_msgpack_lightweight_repr(value)) == expected


def test_lightweight_dump_stays_small_for_huge_values():
    inner = list(range(1000))
    huge = {f"k{i}": [inner] * 100 for i in range(1000)}

    assert len(dump_msgpack_lightweight_repr(huge)) < 20_000


@pytest.mark.parametrize("dump", DUMPERS, ids=lambda dump: dump.__name__)
@pytest.mark.usefixtures("full_repr")
def test_threads_interleaving_inside_repr_do_not_mix_outputs(dump):
    class Yielding:
        def __init__(self, label):
            self.label = label

        def __repr__(self):
            time.sleep(0.0005)  # hand the interpreter lock to another thread
            return self.label

    failures = []

    def serialise_many(label):
        value = [label, Yielding(label), {"again": Yielding(label)}]
        expected = [label, Repr(label), {"again": Repr(label)}]
        for _ in range(100):
            decoded = read(dump(value))
            if decoded != expected:
                failures.append(decoded)

    threads = [threading.Thread(target=serialise_many, args=(f"thread{n}",)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    assert failures == []


@pytest.mark.parametrize("dump", DUMPERS, ids=lambda dump: dump.__name__)
@pytest.mark.usefixtures("full_repr")
def test_repr_that_serialises_again_does_not_corrupt_the_outer_value(dump):
    class Reentrant:
        def __repr__(self):
            assert read(dump(["inner", 1])) == ["inner", 1]
            return "outer"

    assert read(dump(["before", Reentrant(), "after"])) == ["before", Repr("outer"), "after"]


def test_full_dump_packer_is_clean_after_a_failed_pack():
    dump_msgpack([1, 2, "\ud800"])  # the C packer raises halfway through

    assert dump_msgpack("next") == msgpack.packb("next")



@pytest.mark.parametrize("value", [
    None, True, 1.5, -(2**63), 2**64 - 1, 2**64, "a" * 100, "a" * 101, "é",
    {"n": 5, "name": "abc", "ratio": 0.5, "flag": False, "nothing": None},
    {f"k{i}": i for i in range(10)}, {f"k{i}": i for i in range(11)},
    {"k" * 101: 1}, {"ké": 1}, {1: "int key"},
    [1, 2, 3], list(range(10)), list(range(11)), (1, "two", 3.0), ("x" * 101,),
    {"nested": [1]}, [[1]], {"big": 2**70},
], ids=repr)
def test_lightweight_shortcut_gives_the_summary_itself(value):
    # Small flat values skip building the summary; the bytes must be the same.
    summary = reference._lightweight(value, 0, set())
    assert dump_msgpack_lightweight_repr(value) == msgpack.packb(summary, default=reference._fallback_for_packer,
                                                                 strict_types=True)


class CountsRepr:
    """An object that counts how often its repr() is taken."""

    calls = 0

    def __repr__(self):
        CountsRepr.calls += 1
        return "<counted>"


@pytest.fixture
def counted():
    CountsRepr.calls = 0
    return CountsRepr


BIG = 100_000


@pytest.mark.parametrize("dump, limits", [(dump_msgpack, serialize.FULL_LIMITS),
                                          (dump_msgpack_lightweight_repr, serialize.LIGHTWEIGHT_LIMITS)],
                         ids=["full", "lightweight"])
@pytest.mark.parametrize("make", [
    lambda: [CountsRepr() for _ in range(BIG)],
    lambda: tuple(CountsRepr() for _ in range(BIG)),
    lambda: {f"k{number}": CountsRepr() for number in range(BIG)},
    lambda: {number: CountsRepr() for number in range(BIG)},  # keys a reader refuses
    lambda: {CountsRepr() for _ in range(BIG)},
    lambda: frozenset(CountsRepr() for _ in range(BIG)),
    lambda: [[CountsRepr() for _ in range(1000)] for _ in range(1000)],
], ids=["list", "tuple", "dict", "int-keyed dict", "set", "frozenset", "nested lists"])
@pytest.mark.usefixtures("full_repr")
def test_huge_containers_cost_only_the_items_kept(counted, dump, limits, make):
    value = make()
    nested = isinstance(value, list) and isinstance(value[0], list)

    read(dump(value))

    kept = limits.max_items ** 2 if nested else limits.max_items
    if limits.max_value_bytes is not None:
        kept = min(kept, limits.max_value_bytes // len("<counted>"))
    # Each kept item is repr'd once (at most twice, when the fast path of
    # the full mode gives up on a value it has packed once).
    assert 0 < counted.calls <= 2 * kept


@pytest.mark.parametrize("value, kept, marker", [
    ("x" * 50_000_000, "x" * reference.MAX_TEXT, TRUNCATION_MARKER),
    (b"y" * 50_000_000, b"y" * reference.MAX_TEXT, TRUNCATION_MARKER.encode()),
    (bytearray(50_000_000), bytes(reference.MAX_TEXT), TRUNCATION_MARKER.encode()),
    (memoryview(b"z" * 50_000_000), b"z" * reference.MAX_TEXT, TRUNCATION_MARKER.encode()),
    (memoryview(bytes(8 * 10_000)).cast("q"), bytes(reference.MAX_TEXT), TRUNCATION_MARKER.encode()),
], ids=["str", "bytes", "bytearray", "memoryview", "memoryview of int64"])
def test_full_dump_cuts_long_text_and_bytes(value, kept, marker):
    assert read(dump_msgpack(value)) == kept + marker
    assert read(dump_msgpack({"local": value})) == {"local": kept + marker}


def test_full_dump_cuts_long_containers_and_counts_the_rest():
    items = reference.MAX_ITEMS
    value = {"numbers": list(range(items + 7)), "table": {f"k{n}": n for n in range(items + 1)}}

    decoded = read(dump_msgpack(value))

    assert decoded["numbers"] == list(range(items)) + [f"{TRUNCATION_MARKER} 7 items left out"]
    assert len(decoded["table"]) == items + 1
    assert decoded["table"][LEFT_OUT_KEY] == "1 item left out"


@pytest.mark.parametrize("value, expected", [
    ({1, 2}, "{1, 2}"),
    (frozenset({"x"}), "frozenset({'x'})"),
    (set(), "set()"),
    ({"s": {1, (2,)}}, "{'s': {1, (2,)}}"),
    ({(1,): "a", 2: ("b",)}, "{(1,): 'a', 2: ('b',)}"),
    ({1: [1, {2: (3, "x" * 3)}]}, "{1: [1, {2: (3, 'xxx')}]}"),
], ids=case_id)
def test_bounded_repr_text_equals_repr_for_small_values(value, expected):
    assert repr(value) == expected
    assert repr(read(dump_msgpack(value))) == expected


@pytest.mark.parametrize("value", [
    set(range(BIG)),
], ids=["set"])
def test_full_dump_shows_huge_unloadable_containers_as_a_cut_text(value):
    decoded = read(dump_msgpack(value))

    assert decoded.endswith(TRUNCATION_MARKER) or decoded.endswith(f"{TRUNCATION_MARKER} 99744 items left out}}")
    assert len(decoded) <= reference.MAX_TEXT + 1
    assert repr(value).startswith(decoded[:100])


@pytest.mark.parametrize("dump, limits", [(dump_msgpack, serialize.FULL_LIMITS),
                                          (dump_msgpack_lightweight_repr, serialize.LIGHTWEIGHT_LIMITS)],
                         ids=["full", "lightweight"])
@pytest.mark.parametrize("make_key", [int, lambda number: (number,)], ids=["int keys", "tuple keys"])
def test_huge_dicts_with_keys_other_than_text_keep_their_first_entries(dump, limits, make_key):
    value = {make_key(number): [number] for number in range(BIG)}

    decoded = read(dump(value))

    kept = limits.max_items
    assert list(decoded.items())[:kept] == [(make_key(number), [number]) for number in range(kept)]
    assert decoded[LEFT_OUT_KEY] == f"{BIG - kept} items left out"


def test_full_dump_stays_under_the_byte_cap():
    cap = reference.MAX_VALUE_BYTES
    value = {f"k{n}": ["t" * 4000, {"inner": "é" * 3000}] for n in range(200)}

    packed = dump_msgpack(value)
    decoded = read(packed)

    assert cap - 5000 < len(packed) <= cap + 200
    left_out = int(decoded[LEFT_OUT_KEY].split()[0])
    assert len(decoded) - 1 + left_out == 200


def test_huge_int_is_described_by_its_size():
    assert read(dump_msgpack(1 << 100_000)) == Repr("<int of 100001 bits>")
    assert read(dump_msgpack([2**70])) == [Repr(str(2**70))]


@pytest.fixture
def limits():
    """Restores the limits in force after the test."""
    previous = serialize.current_limits()
    yield
    serialize.set_limits(*previous)


def test_set_limits_changes_what_both_modes_keep(limits):
    small = serialize.Limits(max_text=5, max_items=2, max_depth=2, max_value_bytes=None)
    previous = serialize.set_limits(full=small, lightweight=small._replace(max_text=3))

    assert previous == (serialize.FULL_LIMITS, serialize.LIGHTWEIGHT_LIMITS)
    assert read(dump_msgpack(["abcdefgh", [[1]], 3])) == ["abcde…", [Repr("<list of 1 item>")], "… 1 item left out"]
    assert read(dump_msgpack_lightweight_repr("abcdefgh")) == "abc…"
    serialize.set_limits(lightweight=serialize.LIGHTWEIGHT_LIMITS._replace(max_value_bytes=50))
    assert len(dump_msgpack_lightweight_repr(["x" * 100] * 10)) <= 50 + 40


@pytest.mark.parametrize("settings, lightweight, expected", [
    (None, False, serialize.FULL_LIMITS),
    ({"max_text": 10}, True, serialize.LIGHTWEIGHT_LIMITS._replace(max_text=10)),
    ({"max_value_bytes": None}, False, serialize.FULL_LIMITS._replace(max_value_bytes=None)),
])
def test_limits_from_config_replaces_the_given_entries(settings, lightweight, expected):
    assert serialize.limits_from_config(settings, lightweight) == expected


@pytest.mark.parametrize("settings, message", [
    ({"max_txt": 1}, "unknown value limit 'max_txt'"),
    ({"max_items": 0}, "max_items must be a whole number of at least 1, not 0"),
    ({"max_depth": "3"}, "max_depth must be a whole number"),
    ({"max_text": True}, "max_text must be a whole number"),
    ({"max_depth": 101}, "max_depth must be at most 100, not 101"),
    ([1], "value limits must be a dict"),
])
def test_bad_limits_are_refused(settings, message):
    with pytest.raises(ValueError, match=message):
        serialize.limits_from_config(settings)
