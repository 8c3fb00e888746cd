"""How objects are shown without running the program's code: dataclasses,
attrs classes, named tuples, enums and the containers the walk reads
itself, the object form of any other Python-level repr, the registry of
reprs, and the repr mode "full" that calls every __repr__ again. Every case
is written alike by the native encoders and the reference."""

import argparse
import collections
import dataclasses
import enum
import fractions
import pathlib
import sys
import types
import typing
import uuid

import msgpack
import pytest

import zelm
from zelm import serialize
from zelm.config import add_recording_options, recording_config
from zelm.serialize import reference
from zelm.serialize.values import Repr
from zelm.serialize.values import unpackb as read

from conftest import run_python

try:
    import attrs
except ImportError:  # attrs is a test dependency, but an optional one
    attrs = None

DUMPS = [(serialize.dump_msgpack, reference.reference_dump_msgpack),
         (serialize.dump_msgpack_lightweight_repr, reference.reference_dump_msgpack_lightweight_repr)]


@pytest.fixture(autouse=True)
def restore_settings():
    limits, mode = serialize.current_limits(), serialize.current_repr_mode()
    yield
    serialize.set_limits(*limits)
    serialize.set_repr_mode(mode)


def shown(value, dump_index=0):
    """What the full (or lightweight) dump stores for ``value``, checked to be
    what the reference writes too, in both modes, as Python would print it
    (a repr as its text)."""
    for native, reference_dump in DUMPS:
        assert native(value) == reference_dump(value), native.__name__
    return repr(read(DUMPS[dump_index][0](value)))


class SideEffects:
    """Counts the calls of the program's code that showing a value must not make."""

    calls = []


class Noisy:
    def __repr__(self):
        SideEffects.calls.append("__repr__")
        return "Noisy()"


class Proxy:
    """Django's LazyObject: its __class__ is a property that sets itself up."""

    @property
    def __class__(self):
        SideEffects.calls.append("__class__")
        return int

    def __getattr__(self, name):
        SideEffects.calls.append(name)
        raise AttributeError(name)

    def __repr__(self):
        SideEffects.calls.append("__repr__")
        return "<Proxy>"


@pytest.fixture(autouse=True)
def no_side_effects():
    SideEffects.calls = []
    yield
    assert SideEffects.calls == []


class LoudMeta(type):
    """A metaclass whose hash, equality and repr are the program's code."""

    def __hash__(cls):
        SideEffects.calls.append("__hash__")
        return 1

    def __eq__(cls, other):
        SideEffects.calls.append("__eq__")
        return False

    def __repr__(cls):
        SideEffects.calls.append("__repr__")
        return "Loud"


class Loud(metaclass=LoudMeta):
    pass


@dataclasses.dataclass
class Point:
    x: int
    y: int = 0


@dataclasses.dataclass(frozen=True, slots=True)
class Frozen:
    point: Point
    label: str = "l"


@dataclasses.dataclass
class Secretive:
    user: str
    password: str = dataclasses.field(repr=False, default="hunter2")


@dataclasses.dataclass
class WithOwnRepr:
    x: int

    def __repr__(self):
        SideEffects.calls.append("__repr__")
        return "mine"


@dataclasses.dataclass
class Shadowed:
    """A field whose name a property takes over: reading it would run the property."""

    total: int = 0

    @property
    def total(self):
        SideEffects.calls.append("total")
        return 1

    @total.setter
    def total(self, value):
        pass


class Outer:
    @dataclasses.dataclass
    class Inner:
        items: list


Pair = collections.namedtuple("Pair", "left right")


class Typed(typing.NamedTuple):
    name: str
    size: float = 1.5


class Colour(enum.Enum):
    RED = "red"


class Level(enum.IntEnum):
    HIGH = 3


class Permission(enum.Flag):
    READ = 1
    WRITE = 2


class Items(list):
    pass


class Mapping(dict):
    pass


class Members(set):
    pass


class LyingItems(list):
    """Container subclasses whose Python methods the walk must not call."""

    def __iter__(self):
        SideEffects.calls.append("__iter__")
        return iter(())

    def __len__(self):
        SideEffects.calls.append("__len__")
        return 0


class LyingMapping(dict):
    def items(self):
        SideEffects.calls.append("items")
        return []

    def __iter__(self):
        SideEffects.calls.append("__iter__")
        return iter(())


class LyingMembers(frozenset):
    def __iter__(self):
        SideEffects.calls.append("__iter__")
        return iter(())


class Failure(Exception):
    pass


def _moved_to_end(ordered):
    ordered.move_to_end("a")
    return ordered


def _flag_cases():
    cases = {"flag": Permission.READ, "int enum": Level.HIGH, "enum": Colour.RED}
    if sys.version_info >= (3, 11):  # unnamed flags are decomposed into names before, left to the object form
        cases.update({"flag combination": Permission.READ | Permission.WRITE, "empty flag": Permission(0)})
    return cases


# name: the value; each is shown as its real repr reads, which is side-effect free here.
GENERATED = {
    "dataclass": Point(1, 2),
    "nested dataclass with slots, frozen": Frozen(Point(3), "ü"),
    "field(repr=False)": Secretive("ada"),
    "nested class": Outer.Inner([Point(1), {"k": Pair(1, None)}]),
    "namedtuple": Pair([1, 2], "x"),
    "typing.NamedTuple": Typed("n"),
    **_flag_cases(),
    "list subclass": Items([1, Point(2)]),
    "dict subclass": Mapping(a=Point(1)),
    "set subclass": Members({1}),
    "empty set subclass": Members(),
    "deque": collections.deque([Point(1), 2]),
    "deque with maxlen": collections.deque([1], maxlen=4),
    "OrderedDict": collections.OrderedDict(a=Point(1)),
    "empty OrderedDict": collections.OrderedDict(),
    "defaultdict": collections.defaultdict(list, {"a": [Point(1)]}),
    "Counter in count order": collections.Counter({"b": 2, "a": 1}),
    "exception": Failure("boom", Point(1)),
    "exception of one arg": KeyError("k"),
    "bound method of a dataclass": Point(1).__eq__,
    "SimpleNamespace": types.SimpleNamespace(a=1, point=Point(2)),
    "argparse.Namespace": argparse.Namespace(verbose=True, point=Point(3)),
    "dict items view": {"a": Point(1)}.items(),
    "OrderedDict keys view, in its order": _moved_to_end(collections.OrderedDict(a=1, b=2)).keys(),
}


@pytest.mark.parametrize("value", GENERATED.values(), ids=GENERATED.keys())
def test_generated_and_container_reprs_are_rebuilt_as_python_writes_them(value):
    assert shown(value) == repr(value)


@pytest.mark.skipif(attrs is None, reason="attrs is not installed")
def test_attrs_classes_are_shown_from_their_fields():
    @attrs.define
    class Slotted:
        a: int
        hidden: str = attrs.field(default="h", repr=False)

    @attrs.frozen(slots=False)
    class WithDict:
        inner: Slotted
        items: list = attrs.Factory(list)

    @attrs.define
    class FieldRepr:
        a: int = attrs.field(repr=lambda value: SideEffects.calls.append("field repr") or "x")

    for value in (Slotted(1), WithDict(Slotted(2), [Slotted(3)])):
        assert shown(value) == repr(value)
    value = FieldRepr(1)
    assert shown(value) == object.__repr__(value)


NOT_CALLED = {
    "python __repr__ with a side effect": Noisy(),
    "dataclass with its own __repr__": WithOwnRepr(1),
    "dataclass field behind a property": Shadowed(),
    "proxy whose __class__ is a property": Proxy(),
    "instance of a class with a Python metaclass": Loud(),
    "class with a Python metaclass": Loud,
}


@pytest.mark.parametrize("value", NOT_CALLED.values(), ids=NOT_CALLED.keys())
def test_python_reprs_are_not_called_the_object_form_stands_for_them(value):
    assert shown(value) == object.__repr__(value)


@pytest.mark.parametrize("value, expected", [
    (LyingItems([1, 2]), "[1, 2]"),
    (LyingMapping(a=1), "{'a': 1}"),
    (LyingMembers({3}), "LyingMembers({3})"),
], ids=["list", "dict", "frozenset"])
def test_container_subclasses_are_read_without_their_python_methods(value, expected):
    assert shown(value) == expected


@pytest.mark.parametrize("make", [Items, tuple, list, lambda items: Point(x=items), lambda items: {"k": items},
                                  lambda items: collections.deque(items), lambda items: Failure(*items)],
                         ids=["list subclass", "tuple", "list", "dataclass field", "dict", "deque", "exception args"])
def test_objects_inside_containers_are_shown_by_the_same_rules(make):
    noisy, proxy, loud = Noisy(), Proxy(), Loud()

    text = shown(make([noisy, proxy, loud]))

    assert all(object.__repr__(value) in text for value in (noisy, proxy, loud))


def test_a_dataclass_inside_itself_is_marked_as_python_marks_it():
    value = Point([])
    value.x.append(value)

    assert shown(value) == repr(value) == "Point(x=[...], y=0)"


@pytest.mark.parametrize("dump_index, limits", [(0, serialize.FULL_LIMITS), (1, serialize.LIGHTWEIGHT_LIMITS)],
                         ids=["full", "lightweight"])
def test_a_huge_field_costs_only_what_the_limits_keep(dump_index, limits):
    value = Point("x" * 5_000_000, [Noisy() for _ in range(100_000)])

    text = shown(value, dump_index)

    assert text.startswith("Point(x='xxx") and text.endswith("…")
    assert len(text) == limits.max_text + 1


def test_deep_nesting_ends_in_the_object_form():
    serialize.set_limits(full=serialize.FULL_LIMITS._replace(max_depth=2))
    value = Point(Point(Point(1)))

    assert shown(value) == f"Point(x=Point(x={object.__repr__(value.x.x)}, y=0), y=0)"


class Registered:
    def __init__(self, label):
        self.label = label

    def __repr__(self):
        return f"Registered({self.label!r})"


class RegisteredChild(Registered):
    pass


class RegisteredChildWithRepr(Registered):
    def __repr__(self):
        SideEffects.calls.append("__repr__")
        return "child"


@pytest.fixture
def registered():
    yield
    for cls in (Registered, RegisteredChild):
        zelm.unregister_repr(cls)


def _raises(value):
    raise RuntimeError("no")


@pytest.mark.parametrize("function, value, expected", [
    (None, Registered("a"), "Registered('a')"),
    (None, RegisteredChild("b"), "Registered('b')"),
    (lambda value: f"<{value.label}>", RegisteredChild("c"), "<c>"),
    (_raises, Registered("d"), "<unrepresentable Registered object>"),
    (lambda value: 5, Registered("e"), "<unrepresentable Registered object>"),
], ids=["declared safe", "a subclass", "custom function", "raising function", "non-str result"])
def test_registered_reprs_are_called(registered, function, value, expected):
    zelm.register_repr(Registered, function)

    assert shown(value) == expected
    assert shown([value]) == f"[{expected}]"


def test_a_subclass_with_its_own_repr_or_registration_is_not_covered_by_its_base(registered):
    zelm.register_repr(Registered, lambda value: "base")
    zelm.register_repr(RegisteredChild, lambda value: "child")
    child_with_repr = RegisteredChildWithRepr("x")

    assert shown(RegisteredChild("x")) == "child"
    assert shown(child_with_repr) == object.__repr__(child_with_repr)


def test_unregistering_restores_the_default_rules(registered):
    value = Registered("a")
    zelm.register_repr(Registered)
    assert shown(value) == "Registered('a')"

    assert zelm.unregister_repr(Registered) is True
    assert shown(value) == object.__repr__(value)
    assert zelm.unregister_repr(Registered) is False


@pytest.mark.parametrize("cls, function, error, message", [
    (Registered(1), None, TypeError, "takes a class, not Registered"),
    (Registered, "upper", TypeError, "must be callable or None, not str"),
    (list, None, ValueError, "list values are written as themselves"),
])
def test_bad_registrations_are_refused(cls, function, error, message):
    with pytest.raises(error, match=message):
        zelm.register_repr(cls, function)


@pytest.mark.parametrize("value", [pathlib.PurePosixPath("/tmp/a"), uuid.UUID(int=5), fractions.Fraction(1, 3),
                                   Colour], ids=["path", "uuid", "fraction", "enum class"])
def test_standard_library_reprs_that_read_only_their_own_state_are_taken(value):
    assert shown(value) == repr(value)


@pytest.mark.parametrize("value, safe", [
    (Noisy(), lambda value: object.__repr__(value)),
    (Items([Noisy()]), lambda value: f"[{object.__repr__(value[0])}]"),
], ids=["object", "list subclass"])
def test_the_full_repr_mode_calls_every_repr_again(value, safe):
    assert shown(value) == safe(value)

    assert serialize.set_repr_mode("full") == "safe"
    text = shown(value)

    assert "Noisy()" in text
    assert set(SideEffects.calls) == {"__repr__"}
    SideEffects.calls = []


@pytest.mark.parametrize("mode", [None, "fast", 1])
def test_bad_repr_modes_are_refused(mode):
    with pytest.raises(ValueError, match="the repr mode must be 'safe' or 'full'"):
        serialize.set_repr_mode(mode)
    with pytest.raises(ValueError, match="config repr must be 'safe' or 'full'"):
        zelm.Profiler(config={"repr": mode})


def takes(value):
    return value


@pytest.mark.parametrize("config, calls", [({}, []), ({"repr": "full"}, ["__repr__"] * 3)], ids=["safe", "full"])
def test_the_profiler_applies_its_repr_mode_while_it_records(tmp_path, config, calls):
    profiler = zelm.Profiler(config=config, db_path=str(tmp_path / "t.sqlite3"))
    with profiler:
        takes(Noisy())
    document = msgpack.unpackb(profiler.build_trace(), strict_map_key=False)

    assert document and SideEffects.calls == calls  # the arg of a return, the locals of a call and a return
    assert serialize.current_repr_mode() == "safe"
    SideEffects.calls = []


@pytest.mark.parametrize("arguments, expected", [([], "safe"), (["--repr", "full"], "full")], ids=["default", "full"])
def test_the_repr_option_reaches_the_config(arguments, expected):
    parser = argparse.ArgumentParser()
    add_recording_options(parser.add_argument)

    options = parser.parse_args(arguments)

    assert recording_config(lambda name: getattr(options, name))["repr"] == expected


def test_an_unknown_repr_option_is_a_usage_error(capsys):
    parser = argparse.ArgumentParser()
    add_recording_options(parser.add_argument)

    with pytest.raises(SystemExit):
        parser.parse_args(["--repr", "fast"])
    assert "--repr: invalid choice: 'fast'" in capsys.readouterr().err


# ---- reprs that raise more than an Exception ----


class OwnBaseError(BaseException):
    pass


def raising_repr(error_type):
    class Hostile:
        def __repr__(self):
            raise error_type(self)
    return Hostile()


@pytest.fixture
def refusal(request):
    """An exception type of its own for each case: zelm warns once per cause
    in a process, and the cause names the exception's type."""
    def make(base):
        return type(f"{base.__name__}_{request.node.callspec.id.replace('-', '_')}", (base,), {})
    return make


@pytest.mark.parametrize("base", [SystemExit, GeneratorExit, OwnBaseError])
@pytest.mark.parametrize("source", ["full repr mode", "registered function"])
def test_a_repr_raising_beyond_exception_shows_the_value_as_unrepresentable_and_is_logged_once(
        request, zelm_warnings, refusal, base, source):
    error_type = refusal(base)
    value = raising_repr(error_type)
    if source == "full repr mode":
        serialize.set_repr_mode("full")
        made_by = "the repr"
    else:
        zelm.register_repr(type(value), lambda value: repr(value))
        request.addfinalizer(lambda: zelm.unregister_repr(type(value)))
        made_by = "the registered repr function"

    for _ in range(3):
        assert shown(value) == "<unrepresentable Hostile object>"

    # Once per cause in each serializer, never the value.
    assert {record.getMessage() for record in zelm_warnings()} == {
        f"{made_by} of a traced value of type Hostile raised {error_type.__name__}; "
        "the value is shown as <unrepresentable ...>"}
    assert len(zelm_warnings()) == 2


@pytest.mark.parametrize("dump", [dump for pair in DUMPS for dump in pair],
                         ids=["native", "reference", "native-lightweight", "reference-lightweight"])
def test_a_repr_raising_keyboard_interrupt_reaches_the_caller_as_ctrl_c(dump, zelm_warnings):
    serialize.set_repr_mode("full")

    with pytest.raises(KeyboardInterrupt):
        dump(raising_repr(KeyboardInterrupt))
    assert zelm_warnings() == []


HOSTILE_PROGRAM = """\
import sys

class OwnBaseError(BaseException):
    pass

class Hostile:
    def __repr__(self):
        raise {error}(self)

def takes(value):
    return value

def main():
    for _ in range(3):
        takes(Hostile())
    print("done")

if sys.argv[1:] == ["api"]:
    import zelm
    with zelm.enabled(db_path="t.sqlite3", config={{"repr": "full"}}):
        main()
else:
    main()
"""


@pytest.mark.parametrize("error", ["SystemExit", "GeneratorExit", "OwnBaseError"])
@pytest.mark.parametrize("how", ["zelm run", "api"])
def test_a_program_whose_repr_raises_beyond_exception_runs_on_with_one_warning(tmp_path, error, how):
    (tmp_path / "program.py").write_text(HOSTILE_PROGRAM.format(error=error))
    if how == "zelm run":
        command = ["-m", "zelm", "run", "--repr", "full", "--db", "t.sqlite3", "program.py"]
    else:
        command = ["program.py", "api"]

    completed = run_python(*command, cwd=tmp_path)

    assert completed.returncode == 0, completed.stderr
    assert completed.stdout == "done\n"
    lines = [line for line in completed.stderr.splitlines() if not line.startswith("zelm: saved trace")]
    assert lines == [f"the repr of a traced value of type Hostile raised {error}; "
                     "the value is shown as <unrepresentable ...>"]
    shown_values = run_python("-m", "zelm", "show", "--db", "t.sqlite3", "latest", cwd=tmp_path).stdout
    assert shown_values.count("takes(value=<unrepresentable Hostile object>) -> <unrepresentable Hostile object>") == 3
