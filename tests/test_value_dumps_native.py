"""The native encoders (zelm._serialize) write exactly the bytes of the
reference implementation in zelm.serialize, for every value and every
limit: random values and limits from hypothesis, then the edges of each limit."""

import collections
import dataclasses
import enum
import sys
import types

import msgpack
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import Colour, Number, Point, Text, frame_records, run_python
from zelm import serialize
from zelm.serialize import reference as serialize_reference
from zelm.serialize.values import Repr
from zelm.serialize.values import unpackb as read

pytestmark = pytest.mark.skipif(serialize_reference._native is None, reason="zelm._serialize is not built")

MODES = [
    (serialize.dump_msgpack, serialize.reference_dump_msgpack),
    (serialize.dump_msgpack_lightweight_repr, serialize.reference_dump_msgpack_lightweight_repr),
]
MODE_IDS = ["full", "lightweight"]
# Per lightweight flag: the native function of that mode, and of the other.
MODES_BY_NAME = {False: ("dump_msgpack", "dump_msgpack_lightweight_repr"),
                 True: ("dump_msgpack_lightweight_repr", "dump_msgpack")}


@pytest.fixture(autouse=True)
def restore_limits():
    previous, previous_mode = serialize.current_limits(), serialize.current_repr_mode()
    yield
    serialize.set_limits(*previous)
    serialize.set_repr_mode(previous_mode)


def assert_same_bytes(value):
    for native, reference in MODES:
        assert native(value) == reference(value), native.__name__


class Shown:
    """An object whose repr is the given text (an Exception raised, or
    something other than a str returned, when that is what it is given)."""

    def __init__(self, text):
        self.text = text

    def __repr__(self):
        if isinstance(self.text, BaseException):
            raise self.text
        return self.text


class Plain:
    """Shown by object.__repr__, which the encoders write without calling it."""


# object.__repr__ of these: longer than the lightweight mode keeps, and not ASCII.
PLAIN_OBJECTS = [Plain(), type("Plain" + "Long" * 30, (Plain,), {})(), type("Plainé", (Plain,), {})()]


class ListSubclass(list):
    pass


# Shown from their fields and items by the walk, in the safe repr mode.
@dataclasses.dataclass
class Pair:
    left: object
    right: object = None


@dataclasses.dataclass(frozen=True, slots=True)
class SlottedPair:
    left: object
    right: object = dataclasses.field(default=None, repr=False)


class Permission(enum.Flag):
    READ = 1
    WRITE = 2


class SetSubclass(frozenset):
    pass


class ErrorWithArgs(Exception):
    pass


class DictSubclass(dict):
    pass


class TupleSubclass(tuple):
    pass


# Characters that change what the encoders count: non-ASCII of 2, 3 and 4
# bytes, lone surrogates, the marker itself and a backslash.
texts = st.text(st.one_of(st.sampled_from("ab…é€𝄞\ud800\udcff\\ "), st.characters()), max_size=40)
big_ints = st.one_of(st.integers(), st.integers(-(2**70), 2**70), st.sampled_from([
    2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**63), -(2**63) - 1, 10**200]),
    # Beyond the interpreter's digit limit, and beyond the bits the encoders convert.
    st.sampled_from([5000, 60_000]).map(lambda digits: 10**digits))
floats = st.floats(allow_nan=True, allow_infinity=True)


def _memoryview(data, kind):
    """A memoryview of ``data``: plain, strided, of int64, two-dimensional,
    of a bytearray, or released."""
    if kind == "strided":
        return memoryview(data)[::2]
    if kind == "int64":
        return memoryview(data * 8).cast("q")
    if kind == "2d" and data:
        return memoryview(data * 4).cast("B", shape=[2, len(data) * 2])
    if kind == "released":
        view = memoryview(data)
        view.release()
        return view
    return memoryview(bytearray(data) if kind == "bytearray" else data)


def _weird_ext(code, data):
    """ExtTypes that msgpack's constructor refuses but _replace makes."""
    return msgpack.ExtType(1, b"x")._replace(code=code, data=data)


def _timestamp_with(seconds, nanoseconds):
    stamp = msgpack.Timestamp(0, 0)
    stamp.seconds, stamp.nanoseconds = seconds, nanoseconds
    return stamp


reprs = st.one_of(
    texts, st.text(max_size=300),
    st.sampled_from([ValueError("no"), RuntimeError(), KeyError(1)]),
    st.sampled_from([None, 5, b"bytes"]),  # repr() refuses what is not a str
    texts.map(Text),
)
scalars = st.one_of(
    st.none(), st.booleans(), big_ints, floats, texts, st.text(max_size=120), st.binary(max_size=60),
    st.binary(max_size=60).map(bytearray), st.builds(_memoryview, st.binary(max_size=30), st.sampled_from(["plain", "strided", "int64", "2d", "bytearray", "released"])),
    st.builds(msgpack.ExtType, st.integers(0, 127), st.binary(max_size=40)),
    st.builds(msgpack.Timestamp, st.integers(-(2**40), 2**40), st.integers(0, 10**9 - 1)),
    st.builds(_weird_ext, st.sampled_from([1, 5, 200, True, "x"]), st.sampled_from([b"d", "text", 3])),
    st.builds(_timestamp_with, st.sampled_from([1, 2**70, "x"]), st.sampled_from([0, -1, 2**40])),
    st.builds(Shown, reprs), st.sampled_from(PLAIN_OBJECTS),
    st.sampled_from([Permission.READ, Permission.READ | Permission.WRITE, Permission(0)]),
    st.frozensets(st.integers(), max_size=4).map(SetSubclass),
    texts.map(Text), big_ints.map(Number), st.just(Colour.RED), st.just(object),
    st.frozensets(st.integers(), max_size=5), st.sets(st.one_of(st.integers(), texts), max_size=12),
)
keys = st.one_of(texts, st.binary(max_size=20), st.sampled_from(["…", "a" * 30, "a" * 31 + "b", "a\ud800", "a\\ud800"]))
odd_keys = st.one_of(keys, st.integers(), st.none(), st.tuples(st.integers(), texts), st.builds(Shown, texts))


def _containers(children):
    return st.one_of(
        st.lists(children, max_size=14), st.tuples(children, children),
        st.lists(children, max_size=14).map(tuple),
        st.dictionaries(keys, children, max_size=14), st.dictionaries(odd_keys, children, max_size=14),
        st.lists(children, max_size=4).map(ListSubclass), st.dictionaries(keys, children, max_size=3).map(DictSubclass),
        st.lists(children, max_size=4).map(TupleSubclass), st.builds(Point, children, children),
        st.sets(st.tuples(st.integers(), texts), max_size=6), st.frozensets(st.frozensets(st.integers()), max_size=4),
        st.builds(Pair, children, children), st.builds(SlottedPair, children, children),
        st.builds(collections.deque, st.lists(children, max_size=5), st.sampled_from([None, 3])),
        st.dictionaries(keys, children, max_size=4).map(collections.OrderedDict),
        st.dictionaries(odd_keys, children, max_size=4).map(lambda items: collections.defaultdict(list, items)),
        st.dictionaries(keys, children, max_size=4).map(collections.Counter),
        st.lists(children, max_size=3).map(lambda args: ErrorWithArgs(*args)),
        st.builds(lambda value: Pair(value).__eq__, children),
        st.dictionaries(odd_keys, children, max_size=4).map(_namespace),
        st.dictionaries(odd_keys, children, max_size=4).map(lambda items: items.items()),
    )


def _namespace(items):
    """A SimpleNamespace holding ``items``, keys that are not text included."""
    namespace = types.SimpleNamespace()
    namespace.__dict__.update(items)
    return namespace


def _with_loops(value):
    """value with itself inside (a list or dict), and a child it shares twice."""
    if type(value) is list:
        value.append(value)
        value.append(value[:1] * 2)
    elif type(value) is dict:
        value["me"] = value
        value["again"] = [value, (value,)]
    return value


values = st.recursive(scalars, lambda children: st.one_of(_containers(children), _containers(children).map(_with_loops)),
                      max_leaves=40)
limits = st.builds(serialize.Limits, st.integers(1, 60), st.integers(1, 16), st.integers(1, 6),
                   st.one_of(st.none(), st.integers(1, 600)))

SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))


@SETTINGS
@given(values)
def test_native_encoders_write_the_reference_bytes(value):
    assert_same_bytes(value)


@SETTINGS
@given(values, limits, limits, st.sampled_from(serialize.REPR_MODES))
def test_native_encoders_write_the_reference_bytes_under_any_limits(value, full, lightweight, repr_mode):
    serialize.set_limits(full=full, lightweight=lightweight)
    serialize.set_repr_mode(repr_mode)
    assert_same_bytes(value)


def _edge_cases(size):
    nested, nested_dict = [size], {"k": Plain()}
    for _ in range(size):
        nested, nested_dict = [nested], {"k": nested_dict}
    text = "é" * size
    return [text, text.encode(), text[:-1] + "\ud800", bytearray(size), list(range(size)), tuple(range(size)),
            {f"k{n}": n for n in range(size)}, {n: n for n in range(size)}, set(range(size)), nested, nested_dict,
            Shown("r" * size), {"k" * size: "v" * size}, ["x" * (size // 2)] * 3, 2**64 + size, [2**64 - 1] * size,
            *PLAIN_OBJECTS]


@pytest.mark.parametrize("limit, bounds", [
    ("max_text", range(10, 15)), ("max_items", range(10, 15)), ("max_depth", range(10, 15)),
    ("max_value_bytes", range(1, 120)),
])
@pytest.mark.parametrize("mode", ["full", "lightweight"])
def test_values_at_the_edges_of_each_limit(limit, bounds, mode):
    base = serialize.FULL_LIMITS if mode == "full" else serialize.LIGHTWEIGHT_LIMITS
    cases = _edge_cases(12)
    for bound in bounds:
        serialize.set_limits(**{mode: base._replace(**{limit: bound})})
        for value in cases:
            assert_same_bytes(value)


def test_an_instance_shows_its_class_as_named_now():
    """object.__repr__ is written without calling it: a class renamed
    between two values shows its new names in the second."""
    class Renamed:
        pass

    value = [Renamed(), {"k": Renamed()}]
    for module, qualname in [("first", "A"), ("second", "A"), ("second", "B"), ("builtins", "B"),
                             ("third.é", "B"), ("fourth", "C.é"), ("fourth", "C")]:
        Renamed.__module__, Renamed.__qualname__ = module, qualname
        getattr(value[0], "missing", None)  # a lookup through the class, which gives it a version tag
        assert_same_bytes(value)


class Registered:
    """Shown by the function registered for it (see registered_raising)."""


@pytest.fixture
def registered_raising():
    def raising(value):
        raise value.error

    serialize.register_repr(Registered, raising)
    yield
    serialize.unregister_repr(Registered)


def _raising_registered(error):
    value = Registered()
    value.error = error
    return value


@pytest.mark.parametrize("native, reference", MODES, ids=MODE_IDS)
@pytest.mark.parametrize("raising", [Shown, _raising_registered], ids=["repr in full mode", "registered function"])
def test_keyboard_interrupt_from_repr_passes_through_both(native, reference, raising, registered_raising):
    serialize.set_repr_mode("full" if raising is Shown else "safe")
    value = {"ok": 1, "bad": raising(KeyboardInterrupt("stop"))}
    for dump in (native, reference):
        with pytest.raises(KeyboardInterrupt):
            dump(value)


@pytest.mark.parametrize("native, reference", MODES, ids=MODE_IDS)
@pytest.mark.parametrize("error", [SystemExit, GeneratorExit])
@pytest.mark.parametrize("raising", [Shown, _raising_registered], ids=["repr in full mode", "registered function"])
def test_other_base_exceptions_from_repr_make_the_same_unrepresentable_text_in_both(
        native, reference, error, raising, registered_raising):
    serialize.set_repr_mode("full" if raising is Shown else "safe")
    value = {"ok": 1, "bad": raising(error("stop"))}
    dumped = native(value)
    assert dumped == reference(value)
    type_name = type(value["bad"]).__name__
    assert read(dumped) == {"ok": 1, "bad": Repr(f"<unrepresentable {type_name} object>")}


def test_without_the_native_module_the_reference_serves():
    result = run_python("-c", (
        "import sys; sys.modules['zelm._serialize'] = None\n"
        "from zelm import serialize\n"
        "assert serialize.dump_msgpack is serialize.reference_dump_msgpack\n"
        "assert serialize.dump_msgpack_lightweight_repr is serialize.reference_dump_msgpack_lightweight_repr\n"
        "print(serialize.dump_msgpack([1]))"))

    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == repr(msgpack.packb([1]))


@pytest.mark.skipif(sys.version_info < (3, 11), reason="ints have no digit limit before 3.11")
def test_ints_beyond_the_digit_limit_are_unrepresentable_in_both():
    assert_same_bytes([10**5000, {"n": -(10**4400)}])


def _class_named(module=None, qualname=None, base=object, **body):
    cls = type("Plain", (base,), body)
    if module is not None:
        cls.__module__ = module
    if qualname is not None:
        cls.__qualname__ = qualname
    return cls


def _class_without_module():
    """A class made where globals have no __name__: its dict has no __module__."""
    return eval("type('Anonymous', (), {})", {})


class WithRepr:
    def __repr__(self):
        return "WithRepr()"


@pytest.mark.parametrize("cls", [
    _class_named(),
    _class_named(qualname="Outer.<locals>.Inner"),
    _class_named(module="builtins"),
    _class_named(module="pkg.módulo", qualname="Ça"),
    _class_named(module=Text("sub.module")),
    _class_named(module=5),
    _class_named(qualname=Text("SubQual")),
    _class_without_module(),
    _class_named(__slots__=()),
    _class_named(base=WithRepr),
    _class_named(base=ValueError),
    _class_named(__repr__=object.__repr__, qualname="Restored"),
], ids=lambda cls: f"{cls.__dict__.get('__module__', '-')}:{cls.__qualname__}:{cls.__mro__[1].__name__}")
@pytest.mark.parametrize("repr_mode", serialize.REPR_MODES)
def test_instances_of_classes_show_the_repr_python_gives(cls, repr_mode):
    """object.__repr__'s text, or the class's own repr where it is called:
    a C one (ValueError's), or any in the full mode."""
    serialize.set_repr_mode(repr_mode)
    instance = cls()
    assert_same_bytes([instance, {"self": instance}])
    shown = msgpack.unpackb(serialize.dump_msgpack(instance), ext_hook=lambda code, data: data)
    python_repr = WithRepr in cls.__mro__ and repr_mode == "safe"
    assert shown.decode("utf-8", "surrogatepass") == (object.__repr__(instance) if python_repr else repr(instance))


# ---- the profiler's direct calls of the native encoders ----


def takes(value):
    return value


def binds(value):
    """takes(value) among more locals: one never bound, one deleted."""
    pair = (value, value)
    if pair is None:
        never = pair
    deleted = pair
    del deleted
    return value


def _ext_pair(code, payload):
    return (code, payload)


def _shown(data):
    """Encoded bytes decoded to text that tells apart what the bytes do:
    extension values as (code, data), NaN equal to itself."""
    return repr(msgpack.unpackb(data, strict_map_key=False, ext_hook=_ext_pair))


def _recorded(profile_raw, zelm_warnings, values_taken, lightweight, function=takes):
    """What a profile of function(value) for each value records, per event:
    its arg and locals (as _shown), and the failures logged instead of records."""
    def run():
        for value in values_taken:
            function(value)
    logged = len(zelm_warnings())
    document, _ = profile_raw(run, config={"lightweight_repr": lightweight})
    doc = msgpack.unpackb(document, strict_map_key=False, ext_hook=_ext_pair)
    name = function.__name__
    records = [(r["event"], repr(r["arg"]), repr(r["locals"])) for r in frame_records(doc, name)]
    failures = [(w.args[2], type(w.exc_info[1]), str(w.exc_info[1])) for w in zelm_warnings()[logged:]
                if w.args[1] == name]
    return records, failures


def _swapped(value):
    return msgpack.packb("swapped")


class _SwappedModule(types.ModuleType):
    """A module type whose dump_msgpack comes before the module's dict."""
    dump_msgpack = property(lambda module: _swapped)


def _swap_namespace_entry(patch):
    patch.setattr(serialize, "dump_msgpack", _swapped)


def _swap_module_object(patch):
    other = types.ModuleType(serialize.__name__)
    other.__dict__.update(vars(serialize), dump_msgpack=_swapped)
    patch.setitem(sys.modules, serialize.__name__, other)


def _swap_module_class(patch):
    patch.setattr(serialize, "__class__", _SwappedModule)


@pytest.mark.parametrize("swap", [_swap_namespace_entry, _swap_module_object, _swap_module_class],
                         ids=["attribute", "sys.modules entry", "module class"])
def test_a_serializer_swapped_during_a_trace_is_called_from_the_next_value_on(profile_raw, monkeypatch, swap):
    def run():
        takes("before")
        swap(monkeypatch)
        takes("after")

    document, _ = profile_raw(run)
    doc = msgpack.unpackb(document, strict_map_key=False)
    shown = [(r["arg"], r["locals"]) for r in frame_records(doc, "takes")]
    assert shown == [(None, {"value": "before"}), ("before", {"value": "before"}),
                     ("swapped", "swapped"), ("swapped", "swapped")]

def _through_python_calls(patch):
    """Puts Python functions calling the native encoders in zelm.serialize's
    place: the profiler then calls them as it calls any host's function."""
    for name in ("dump_msgpack", "dump_msgpack_lightweight_repr"):
        native = getattr(serialize_reference._native, name)
        patch.setattr(serialize, name, lambda value, native=native: native(value))


def _direct_and_called(profile_raw, zelm_warnings, monkeypatch, make_values, lightweight, function=takes):
    direct = _recorded(profile_raw, zelm_warnings, make_values(), lightweight, function)
    with monkeypatch.context() as patch:
        _through_python_calls(patch)
        called = _recorded(profile_raw, zelm_warnings, make_values(), lightweight, function)
    return direct, called


@settings(SETTINGS, max_examples=60)
@given(values=st.lists(values, max_size=5), lightweight=st.booleans())
def test_direct_calls_record_what_python_calls_record(profile_raw, zelm_warnings, monkeypatch, values, lightweight):
    direct, called = _direct_and_called(profile_raw, zelm_warnings, monkeypatch, lambda: values, lightweight)
    assert direct == called


@settings(SETTINGS, max_examples=40)
@given(values=st.lists(values, min_size=1, max_size=4), lightweight=st.booleans(), full=limits)
def test_locals_of_several_names_record_what_python_calls_record(profile_raw, zelm_warnings, monkeypatch,
                                                                  values, lightweight, full):
    """A frame's locals may be encoded without a dict of them being made:
    the same bytes as the dict given to the function, whether it fits the
    limits whole or must be cut."""
    serialize.set_limits(full=full)
    direct, called = _direct_and_called(profile_raw, zelm_warnings, monkeypatch, lambda: values, lightweight,
                                        function=binds)
    assert direct == called
    assert direct[0] or direct[1]


# Scalars at the edges of each form msgpack has for them, and beyond what it
# holds; subclasses of int, which the encoders show as objects.
EDGE_SCALARS = [None, True, False, 0, -1, 127, 128, -32, -33, 255, 256, 2**16, -(2**15) - 1, 2**32, 2**63 - 1,
                2**63, 2**64 - 1, 2**64, -(2**63), -(2**63) - 1, 10**30, 1.5, -0.0, float("inf"), float("nan"),
                Number(7), Colour.RED]


@pytest.mark.parametrize("lightweight", [False, True], ids=MODE_IDS)
def test_scalars_record_what_python_calls_record(profile_raw, zelm_warnings, monkeypatch, lightweight):
    direct, called = _direct_and_called(profile_raw, zelm_warnings, monkeypatch, lambda: EDGE_SCALARS, lightweight)
    assert direct == called
    assert len(direct[0]) == 2 * len(EDGE_SCALARS)


class Grows:
    """A repr that adds an item to the list being encoded."""

    def __init__(self, target):
        self.target = target

    def __repr__(self):
        self.target.append(0)
        return "grows"


def _grown_list():
    items = []
    items.append(Grows(items))
    return items


def _deepest():
    return _edge_cases(1100)[9]


# Values whose native encoding a reader may refuse, so that it is checked
# all the same: whether it is refused in the full and in the lightweight mode.
UNVOUCHED = {
    "timestamp-of-a-second-of-nanoseconds": (lambda: _timestamp_with(1, 10**9), (True, True)),
    "list-grown-while-packed": (_grown_list, (True, False)),
    "deeper-than-a-reader-goes": (_deepest, (True, True)),
    "own-extension": (lambda: msgpack.ExtType(5, b"\xff\xfe"), (False, False)),
    "valid-timestamp": (lambda: msgpack.Timestamp(1, 5), (False, False)),
}


@pytest.mark.parametrize("lightweight", [False, True], ids=MODE_IDS)
@pytest.mark.parametrize("make, refused", list(UNVOUCHED.values()), ids=list(UNVOUCHED))
@pytest.mark.usefixtures("full_repr")  # a repr that grows the list it is in
def test_native_output_a_reader_may_refuse_is_still_checked(
        profile_raw, zelm_warnings, monkeypatch, make, refused, lightweight):
    if make is _deepest:
        # Deeper than zelm.serialize allows: set on the native module itself.
        serialize_reference._native.set_limits(serialize.FULL_LIMITS._replace(max_depth=2000),
                                     serialize.LIGHTWEIGHT_LIMITS._replace(max_depth=2000))
    # Room for the repr of the deepest value in the message of its failure.
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(4000)
    try:
        direct, called = _direct_and_called(profile_raw, zelm_warnings, monkeypatch, lambda: [make()], lightweight)
    finally:
        sys.setrecursionlimit(limit)
    assert direct == called
    records, failures = direct
    if refused[lightweight]:
        assert records == []
        # Both events are dropped; the failure is logged at least for the first.
        assert failures[0][:2] == ("call", ValueError)
        assert {error for _, error, _ in failures} == {ValueError}
    else:
        assert failures == [] and len(records) == 2


@pytest.mark.parametrize("lightweight", [False, True], ids=MODE_IDS)
@pytest.mark.parametrize("replacement", ["python-function", "other-modes-native-function"])
def test_a_replaced_serializer_is_called_for_every_value(profile_raw, zelm_warnings, monkeypatch, lightweight,
                                                         replacement):
    name, other = MODES_BY_NAME[lightweight]
    own = getattr(serialize_reference._native, name)
    calls = []

    def counting(value):
        calls.append(value)
        return own(value)

    monkeypatch.setattr(serialize, name, counting if replacement == "python-function" else
                        getattr(serialize_reference._native, other))
    taken = ["text", (1, 2), {"k": [None, 2.5]}, Shown("shown")]
    records, failures = _recorded(profile_raw, zelm_warnings, taken, lightweight)

    answered_by = own if replacement == "python-function" else getattr(serialize_reference._native, other)
    assert failures == []
    assert [arg for event, arg, _ in records if event == "return"] == [_shown(answered_by(value)) for value in taken]
    assert [locals_ for _, _, locals_ in records] == [_shown(answered_by({"value": value})) for value in taken
                                                      for _ in ("call", "return")]
    if replacement == "python-function":
        # Once as the arg of a return, twice in the locals of a call and a return.
        assert [value for value in calls if any(value is item for item in taken)] == taken
        assert [value["value"] for value in calls if type(value) is dict and list(value) == ["value"]] == [
            item for item in taken for _ in ("call", "return")]


@pytest.fixture
def plan_source():
    """Gives the native encoders another plan source for the test."""
    def configure(plan_for):
        serialize_reference._native.configure(msgpack.ExtType, msgpack.Timestamp, serialize.reference_dump_msgpack,
                                              serialize.reference_dump_msgpack_lightweight_repr, plan_for)

    yield configure
    configure(serialize_reference.plans.plan_for)


@pytest.mark.parametrize("plan", [
    None, (5, "", None, None), (1, 5, None, None), (2, "", "not callable", None),
    (3, "", ((9, "x"),), None), (3, "", ((1, "label", object()),), None),
    (3, "", ((4, None, len, iter, 0, "[", "]", "[]"),), None), (3, "", [(0, "x")], None),
], ids=repr)
def test_a_plan_the_encoders_cannot_read_fails_the_value_not_the_process(plan_source, plan):
    plan_source(lambda cls, full: plan)

    for native in (serialize_reference._native.dump_msgpack, serialize_reference._native.dump_msgpack_lightweight_repr):
        shown = msgpack.unpackb(native(["kept", Plain()]), ext_hook=lambda code, data: (code, data))
        assert shown == (1, b"<unserialisable list object>")


@pytest.mark.parametrize("reader", ["field", -1, 5], ids=["key without an instance dict", "negative item", "item"])
def test_a_part_a_plan_cannot_read_shows_the_object_form(plan_source, monkeypatch, reader):
    def plan_for(cls, full):
        return (3, "", ((0, "Plain("), (1, "field=", reader), (0, ")")), None)

    plan_source(plan_for)
    monkeypatch.setattr(serialize_reference.plans, "plan_for", plan_for)
    value = PLAIN_OBJECTS[0]

    assert_same_bytes(value)
    assert msgpack.unpackb(serialize.dump_msgpack(value), ext_hook=lambda code, data: data) == \
        object.__repr__(value).encode()


# ---- dicts far longer than the item limit ---------------------------------------------


class Growing:
    """Adds a key to the dict that holds it each time its repr is taken."""

    def __init__(self, owner):
        self.owner = owner

    def __repr__(self):
        self.owner[f"added{len(self.owner)}"] = 0
        return "growing"


def _interleaved(*makers, count=10_000):
    """A dict of `count` entries, taking a key and value from each maker in turn."""
    entries = {}
    for number in range(count // len(makers)):
        for make in makers:
            key, value = make(number)
            entries[key] = value
    return entries


LONG = "x" * 5000

BIG_DICTS = {
    "distinct text keys": lambda: _interleaved(lambda n: (f"key{n}", n)),
    # Every long key is cut to the same text: one entry, its value the last one's.
    "keys cut to the same text": lambda: _interleaved(lambda n: (LONG + str(n), n), lambda n: (f"k{n}", [n])),
    "the marker as a key": lambda: {"…": "kept", **_interleaved(lambda n: (f"k{n}", n)), "…" + LONG: 1},
    "bytes and text keys alike": lambda: _interleaved(lambda n: (f"k{n}", n), lambda n: (f"k{n}".encode(), -n)),
    "credential keys": lambda: _interleaved(lambda n: (f"password{n}", n), lambda n: (f"user{n}", n)),
    "keys of other types": lambda: _interleaved(lambda n: (n, str(n)), lambda n: (str(n), n), lambda n: ((n,), n)),
    "nested long dicts": lambda: {f"outer{n}": {f"inner{m}": m for m in range(300)} for n in range(40)},
}


@pytest.mark.parametrize("kept_items", [None, 5000], ids=["default limits", "5000 items kept"])
@pytest.mark.parametrize("make", BIG_DICTS.values(), ids=BIG_DICTS.keys())
def test_long_dicts_are_cut_as_the_reference_cuts_them(make, kept_items):
    if kept_items is not None:
        serialize.set_limits(full=serialize.FULL_LIMITS._replace(max_items=kept_items, max_value_bytes=None),
                             lightweight=serialize.LIGHTWEIGHT_LIMITS._replace(max_items=kept_items))
    assert_same_bytes(make())


def test_a_long_dict_changed_by_a_repr_while_it_is_cut_as_the_reference_cuts_it():
    serialize.set_repr_mode("full")
    for native, reference in MODES:
        made = [{} for _ in range(2)]
        for entries in made:
            entries.update(_interleaved(lambda n: (f"k{n}", n), count=100))
            entries["grower"] = Growing(entries)
            entries.update(_interleaved(lambda n: (f"j{n}", n)))
        assert native(made[0]) == reference(made[1]), native.__name__
