"""The "qualname" of frame records: the code's own qualified name where the
interpreter has one (3.11 on), inferred from the running frame on 3.10."""

import builtins
import gc
import importlib
import inspect
import sys
import types
import weakref

import pytest

from conftest import frame_records

HAS_CO_QUALNAME = sys.version_info >= (3, 11)
MODULE = __name__


def by_version(py310, py311):
    return py311 if HAS_CO_QUALNAME else py310


# ---- the code under test -------------------------------------------------------------


def plain():
    return "plain"


def impostor():
    return "impostor"


class Order:
    def save(self):
        return "saved"

    @property
    def total(self):
        return 3

    @classmethod
    def create(cls):
        return "created"

    @staticmethod
    def helper():
        return "helped"


class SpecialOrder(Order):
    pass


def make_nested():
    def nested():
        return "nested"
    return nested


def takes_self(self):
    return self


def takes_cls(cls):
    return cls


def calls_plain():
    return plain()


def calls_plain_shadowed_by_a_function():
    plain = impostor  # noqa: F841 (read from the frame by the inference)
    return real_plain()


def calls_plain_shadowed_by_a_number():
    plain = 42  # noqa: F841
    return real_plain()


def calls_plain_shadowed_by_a_cell():
    plain = impostor

    def keeps_plain():  # makes plain a cell of this frame
        return plain
    return real_plain()


def calls_plain_shadowed_by_a_free_variable():
    plain = impostor

    def inner():
        assert plain  # a free variable of inner, which calls plain()
        return real_plain()
    return inner()


def calls_plain_after_deleting_its_shadow():
    plain = impostor
    del plain
    return real_plain()


real_plain = plain


def calls_method():
    return Order().save()


def calls_inherited_method():
    return SpecialOrder().save()


def reads_property():
    return SpecialOrder().total


def calls_classmethod():
    return SpecialOrder.create()


def calls_staticmethod():
    return Order.helper()


def calls_nested_from_its_maker():
    def nested():
        return "nested"
    return nested()


def calls_nested_under_another_name():
    function = make_nested()
    return function()


def calls_plain_function_with_self_parameter():
    return takes_self(5)


def calls_plain_function_with_non_class_cls():
    return takes_cls(5)


def defines_a_class():
    class Local:
        value = 1
    return Local


CLASS_BODY = f"{MODULE}.defines_a_class.<locals>.Local"


@pytest.mark.parametrize("run, co_name, expected", [
    (calls_plain, "plain", f"{MODULE}.plain"),
    (calls_plain_shadowed_by_a_function, "plain", by_version(f"{MODULE}.impostor", f"{MODULE}.plain")),
    (calls_plain_shadowed_by_a_number, "plain", by_version(None, f"{MODULE}.plain")),
    (calls_plain_shadowed_by_a_cell, "plain", by_version(f"{MODULE}.impostor", f"{MODULE}.plain")),
    (calls_plain_shadowed_by_a_free_variable, "plain", by_version(f"{MODULE}.impostor", f"{MODULE}.plain")),
    (calls_plain_after_deleting_its_shadow, "plain", f"{MODULE}.plain"),
    (calls_method, "save", f"{MODULE}.Order.save"),
    (calls_inherited_method, "save", f"{MODULE}.Order.save"),
    (reads_property, "total", f"{MODULE}.Order.total"),
    (calls_classmethod, "create", f"{MODULE}.Order.create"),
    (calls_staticmethod, "helper", by_version(None, f"{MODULE}.Order.helper")),
    (calls_nested_from_its_maker, "nested", f"{MODULE}.calls_nested_from_its_maker.<locals>.nested"),
    (calls_nested_under_another_name, "nested", by_version(None, f"{MODULE}.make_nested.<locals>.nested")),
    (calls_plain_function_with_self_parameter, "takes_self", by_version(None, f"{MODULE}.takes_self")),
    (calls_plain_function_with_non_class_cls, "takes_cls", f"{MODULE}.takes_cls"),
    # On 3.10 a class body's "__qualname__" local is only set once the body runs.
    (defines_a_class, "Local", (by_version(None, CLASS_BODY), CLASS_BODY)),
], ids=lambda value: value.__name__ if callable(value) else None)
def test_qualname(profile, run, co_name, expected):
    doc, _ = profile(run)
    records = frame_records(doc, co_name)
    assert [r["event"] for r in records] == ["call", "return"]
    expected_by_event = list(expected) if isinstance(expected, tuple) else [expected, expected]
    assert [r["qualname"] for r in records] == expected_by_event


def test_caller_qualname_is_not_disturbed_by_its_callee(profile):
    doc, _ = profile(calls_inherited_method)
    assert {r["qualname"] for r in frame_records(doc, "calls_inherited_method")} == {
        f"{MODULE}.calls_inherited_method",
    }


@pytest.mark.parametrize("module_name", ["qualname_module", "qualname_package.views"])
def test_module_code_and_class_body(profile, tmp_path, monkeypatch, module_name):
    path = tmp_path.joinpath(*module_name.split(".")).with_suffix(".py")
    path.parent.mkdir(exist_ok=True)
    path.write_text("class Order:\n    size = 1\n\n\ndef compute():\n    return 2\n\n\ncompute()\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    for name in (module_name, module_name.split(".")[0]):
        monkeypatch.delitem(sys.modules, name, raising=False)

    doc, _ = profile(lambda: importlib.import_module(module_name))
    for name in list(sys.modules):
        if name.startswith(module_name.split(".")[0]):
            del sys.modules[name]
    qualnames = [(r["co_name"], r["event"], r["qualname"]) for r in frame_records(doc) if r["co_name"] != "<lambda>"]
    assert qualnames == [
        ("<module>", "call", f"{module_name}.<module>"),
        ("Order", "call", by_version(None, f"{module_name}.Order")),
        ("Order", "return", f"{module_name}.Order"),
        ("compute", "call", f"{module_name}.compute"),
        ("compute", "return", f"{module_name}.compute"),
        ("<module>", "return", f"{module_name}.<module>"),
    ]


# ---- getattr_static's answers, kept between events while they stand -------------------
# Each scenario calls the same code on the same classes before and after a
# change; the names are those getattr_static gives at the time of each call.


class Shop:
    class Basket:
        def count(self):
            return 1


class Slotted:
    __slots__ = ("size",)

    def save(self):
        return "slotted"


class Greeter:
    def greet(self):
        return "hello"


class LoudGreeter(Greeter):
    def greet(self):
        return super().greet()


class QuietGreeter(Greeter):
    pass


class Meta(type):
    def describe(self):
        return "described"


class Described(metaclass=Meta):
    pass


def replacement(self):
    return "replaced"


def calls_original(self):
    return ORIGINAL_SAVE(self)


ORIGINAL_SAVE = Slotted.save
ORIGINAL_GREET = Greeter.greet


def twice(call):
    call()
    call()


def calls_repeated_methods():
    for instance in (Order(), SpecialOrder(), Order()):
        instance.save()


def reads_repeated_properties():
    twice(lambda: SpecialOrder().total)


def calls_repeated_classmethods():
    for owner in (Order, SpecialOrder, Order()):
        owner.create()


def calls_repeated_staticmethods():
    twice(Order().helper)


def calls_nested_class_method():
    twice(Shop.Basket().count)


def calls_metaclass_method():
    twice(Described.describe)


def replaces_a_method_after_first_use():
    slotted = Slotted()
    slotted.save()
    Slotted.save = calls_original  # the original code, now found under another name
    try:
        slotted.save()
    finally:
        Slotted.save = ORIGINAL_SAVE
    slotted.save()


def shadows_a_method_in_the_instance_dict():
    order = Order()
    order.save()
    order.save = replacement
    Order.save(order)
    del order.save
    order.save()


def overrides_in_subclasses():
    greeter, loud, quiet = Greeter(), LoudGreeter(), QuietGreeter()
    twice(lambda: (greeter.greet(), loud.greet(), quiet.greet()))
    Greeter.greet = replacement  # seen through the subclass that inherits it
    try:
        ORIGINAL_GREET(quiet)
    finally:
        Greeter.greet = ORIGINAL_GREET
    ORIGINAL_GREET(quiet)


def saves_around(owner, attribute, replacement):
    """Order.save() called before, while and after `owner.attribute` is replaced."""
    order = Order()
    order.save()
    original = getattr(owner, attribute)
    setattr(owner, attribute, replacement)
    try:
        order.save()
    finally:
        setattr(owner, attribute, original)
    order.save()


def patches_getattr_static():
    saves_around(inspect, "getattr_static", lambda obj, attr: impostor)


def fresh_class(index):
    def probe(self):
        return index
    probe.__qualname__ = f"Fresh{index}.probe"
    return type(f"Fresh{index}", (), {"probe": probe})


def frees_classes_between_calls():
    # A class freed and another made at the same address is no match.
    for index in range(20):
        fresh_class(index)().probe()
        gc.collect()


ORDER_SAVE, SLOTTED_SAVE, GREET, LOUD = (f"{MODULE}.{name}" for name in (
    "Order.save", "Slotted.save", "Greeter.greet", "LoudGreeter.greet"))


@pytest.mark.parametrize("run, co_name, py310, py311", [
    (calls_repeated_methods, "save", [ORDER_SAVE] * 3, [ORDER_SAVE] * 3),
    (reads_repeated_properties, "total", [f"{MODULE}.Order.total"] * 2, [f"{MODULE}.Order.total"] * 2),
    (calls_repeated_classmethods, "create", [f"{MODULE}.Order.create"] * 3, [f"{MODULE}.Order.create"] * 3),
    (calls_repeated_staticmethods, "helper", [None] * 2, [f"{MODULE}.Order.helper"] * 2),
    (calls_nested_class_method, "count", [f"{MODULE}.Shop.Basket.count"] * 2, [f"{MODULE}.Shop.Basket.count"] * 2),
    (calls_metaclass_method, "describe", [f"{MODULE}.Meta.describe"] * 2, [f"{MODULE}.Meta.describe"] * 2),
    (replaces_a_method_after_first_use, "save", [SLOTTED_SAVE, f"{MODULE}.calls_original", SLOTTED_SAVE],
     [SLOTTED_SAVE] * 3),
    (shadows_a_method_in_the_instance_dict, "save", [ORDER_SAVE, f"{MODULE}.replacement", ORDER_SAVE],
     [ORDER_SAVE] * 3),
    (overrides_in_subclasses, "greet", [GREET, LOUD, LOUD, GREET] * 2 + [f"{MODULE}.replacement", GREET],
     [GREET, LOUD, GREET, GREET] * 2 + [GREET, GREET]),
    (patches_getattr_static, "save", [ORDER_SAVE, f"{MODULE}.impostor", ORDER_SAVE], [ORDER_SAVE] * 3),
    (frees_classes_between_calls, "probe", [f"{MODULE}.Fresh{index}.probe" for index in range(20)],
     [f"{MODULE}.fresh_class.<locals>.probe"] * 20),
], ids=lambda value: value.__name__ if callable(value) else "")
def test_static_lookups_follow_every_change(profile, run, co_name, py310, py311):
    doc, _ = profile(run)
    calls = [r["qualname"] for r in frame_records(doc, co_name) if r["event"] == "call"]
    assert calls == by_version(py310, py311)


class ClaimsEveryObject(type):
    def __instancecheck__(cls, instance):
        return True


class EveryObjectsProperty(metaclass=ClaimsEveryObject):
    pass


def patches_builtins_property():
    saves_around(builtins, "property", EveryObjectsProperty)


def test_a_method_is_checked_against_the_property_builtins_has_now(profile):
    doc, _ = profile(patches_builtins_property)
    calls = [r["qualname"] for r in frame_records(doc, "save") if r["event"] == "call"]
    # Taken for a property, the function has no getter: the name is left out.
    assert calls == by_version([ORDER_SAVE, None, ORDER_SAVE], [ORDER_SAVE] * 3)


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


def labelled():
    return "labelled"


def unraisable_reports(monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    return reports


def refusal(name, base=RuntimeError):
    """An exception type of its own for each case: zelm warns once per cause
    in a process, and the cause names the exception's type."""
    return type(name, (base,), {})


def warning_messages(zelm_warnings):
    return [record.getMessage() for record in zelm_warnings()]


@pytest.mark.skipif(HAS_CO_QUALNAME, reason="the module name comes from the globals, not the function")
def test_unprintable_function_module_is_named_by_type_and_logged_once(profile, monkeypatch, zelm_warnings):
    unraisable = unraisable_reports(monkeypatch)
    refused = refusal("FunctionModuleRefused")

    class Unprintable:
        def __str__(self):
            raise refused("no text")

    monkeypatch.setattr(labelled, "__module__", Unprintable())

    doc, _ = profile(lambda: [labelled() for _ in range(3)])
    assert [r["qualname"] for r in frame_records(doc, "labelled")] == ["<unprintable Unprintable object>.labelled"] * 6
    assert unraisable == []
    assert warning_messages(zelm_warnings) == [
        "str() of a name of type Unprintable raised FunctionModuleRefused; the name is shown as <unprintable ...>"]


# Code compiled under a pseudo file name, run in globals of its own the way a
# template engine runs a template (Jinja2 compiles every one as "<template>").
TEMPLATE = "def root(context):\n    return context * 2\n\nrendered = root('ab')\n"


def template_qualnames(doc, filename):
    return [(r["event"], r["qualname"]) for r in frame_records(doc) if r["path"].startswith(filename)]


@pytest.mark.parametrize("filename", ["<template>", "/srv/page.py"])
def test_code_without_a_module_name_is_named_after_its_file(profile, monkeypatch, zelm_warnings, filename):
    unraisable = unraisable_reports(monkeypatch)
    code = compile(TEMPLATE, filename, "exec")
    namespace = {}

    doc, _ = profile(lambda: exec(code, namespace))

    assert namespace["rendered"] == "abab"
    assert template_qualnames(doc, filename) == [
        ("call", f"{filename}.<module>"), ("call", f"{filename}.root"),
        ("return", f"{filename}.root"), ("return", f"{filename}.<module>"),
    ]
    assert zelm_warnings() == []
    assert unraisable == []


def shouting_str(refused):
    class ShoutingName(str):
        def __str__(self):
            raise refused("no text")
    return ShoutingName("pages")


def unprintable_object(refused):
    class UnprintableName:
        def __str__(self):
            raise refused("no text")
    return UnprintableName()


def nameless_unprintable(refused):
    # Its type's __name__ cannot be read either.
    class Nameless(type):
        @property
        def __name__(cls):
            raise refused("no name")

    class UnprintableName(metaclass=Nameless):
        def __str__(self):
            raise refused("no text")
    return UnprintableName()


@pytest.mark.parametrize("make_name, base, shown, type_name", [
    (shouting_str, RuntimeError, "<unprintable ShoutingName object>", "ShoutingName"),
    (unprintable_object, RuntimeError, "<unprintable UnprintableName object>", "UnprintableName"),
    # No exception of the program's ends the program from inside the hook.
    (unprintable_object, SystemExit, "<unprintable UnprintableName object>", "UnprintableName"),
    (unprintable_object, GeneratorExit, "<unprintable UnprintableName object>", "UnprintableName"),
    (nameless_unprintable, RuntimeError, "<unprintable object>", "UnprintableName"),
], ids=["str-subclass", "object", "system-exit", "generator-exit", "nameless-type"])
def test_unprintable_module_name_is_shown_by_type_and_logged_once(
        profile, monkeypatch, zelm_warnings, request, make_name, base, shown, type_name):
    unraisable = unraisable_reports(monkeypatch)
    refused = refusal(f"Refused_{request.node.callspec.id.replace('-', '_')}", base)
    code = compile(TEMPLATE + "rendered = root(rendered)\n", "/srv/page.py", "exec")
    namespace = {"__name__": make_name(refused)}

    doc, _ = profile(lambda: exec(code, namespace))

    assert namespace["rendered"] == "abababab"
    # Every frame is recorded, with the same name on every version (3.10
    # names a function after its own __module__, taken from the globals).
    assert template_qualnames(doc, "/srv/page.py") == [
        ("call", f"{shown}.<module>"), ("call", f"{shown}.root"), ("return", f"{shown}.root"),
        ("call", f"{shown}.root"), ("return", f"{shown}.root"), ("return", f"{shown}.<module>"),
    ]
    assert unraisable == []
    assert warning_messages(zelm_warnings) == [
        f"str() of a name of type {type_name} raised {refused.__name__}; the name is shown as <unprintable ...>"]


def test_jinja2_template_frames_are_recorded_without_warnings(profile, zelm_warnings):
    jinja2 = pytest.importorskip("jinja2")
    template = jinja2.Environment().from_string("{% for x in items %}{{ x }}{% endfor %}")

    rendered = []
    doc, _ = profile(lambda: rendered.append(template.render(items=[1, 2], secret="s3cret-token")))

    assert rendered == ["12"]
    assert zelm_warnings() == []
    assert {(r["event"], r["qualname"]) for r in frame_records(doc, "root")} == {
        ("call", "<template>.root"), ("return", "<template>.root"),
    }


class Payload:
    pass


def test_naming_a_call_keeps_nothing_of_its_caller_alive(profile):
    # Naming plain() reads the caller's variables (on 3.10); an object the
    # caller deletes afterwards is gone at once, as without the profiler.
    alive = []

    def caller():
        payload = Payload()
        ref = weakref.ref(payload)
        plain()
        del payload
        gc.collect()
        alive.append(ref() is not None)

    doc, _ = profile(caller)
    assert [r["qualname"] for r in frame_records(doc, "plain")] == [f"{MODULE}.plain"] * 2
    assert alive == [False]


def test_naming_a_method_keeps_its_class_collectable(profile):
    alive = []

    def run():
        instance = fresh_class(0)()
        instance.probe()
        ref = weakref.ref(type(instance))
        del instance
        gc.collect()
        alive.append(ref() is not None)

    doc, _ = profile(run)
    assert {r["qualname"] for r in frame_records(doc, "probe")} == {
        by_version(f"{MODULE}.Fresh0.probe", f"{MODULE}.fresh_class.<locals>.probe")}
    assert alive == [False]


# ---- module names, kept per thread while the same str objects stand -----------------
# Each scenario runs the same code object more than once; every event must
# name it as str(globals["__name__"]) at that moment would.

MODULE_CODE = compile("size = 1\n", "module_code.py", "exec")
DEFINES_AND_RENAMES = compile(
    "def work():\n    return 1\n\nwork()\n__name__ = 'renamed'\nwork()\n", "renames.py", "exec")


class CountingName(str):
    """A module name whose str() changes at every call."""

    calls = 0

    def __str__(self):
        CountingName.calls += 1
        return f"counted{CountingName.calls}"


class NumberedName:
    def __init__(self, number):
        self.number = number

    def __str__(self):
        return f"numbered{self.number}"


def runs_in_renamed_globals():
    namespace = {"__name__": "first"}
    exec(MODULE_CODE, namespace)
    namespace["__name__"] = "second"
    exec(MODULE_CODE, namespace)


def runs_in_other_globals():
    for name in ("first", "second", "first"):
        exec(MODULE_CODE, {"__name__": name})


def runs_under_a_str_subclass_name():
    CountingName.calls = 0
    namespace = {"__name__": CountingName("base")}
    exec(MODULE_CODE, namespace)
    exec(MODULE_CODE, namespace)


def runs_under_a_non_str_name():
    name = NumberedName(1)
    exec(MODULE_CODE, {"__name__": name})
    name.number = 2
    exec(MODULE_CODE, {"__name__": name})


def runs_under_freed_names():
    # Each name is freed before the next is made, which may take its address.
    for index in range(50):
        exec(MODULE_CODE, {"__name__": "".join(("freed", str(index)))})


def renames_a_function():
    labelled()
    labelled.__module__ = "elsewhere"
    try:
        labelled()
        labelled.__qualname__ = "Other.labelled"
        labelled()
    finally:
        labelled.__module__, labelled.__qualname__ = MODULE, "labelled"


def module_renames_itself():
    exec(DEFINES_AND_RENAMES, {"__name__": "original"})


@pytest.mark.parametrize("run, co_name, py310, py311", [
    (runs_in_renamed_globals, "<module>", ["first", "first", "second", "second"], None),
    (runs_in_other_globals, "<module>", ["first", "first", "second", "second", "first", "first"], None),
    (runs_under_a_str_subclass_name, "<module>", ["counted1", "counted2", "counted3", "counted4"], None),
    (runs_under_a_non_str_name, "<module>", ["numbered1", "numbered1", "numbered2", "numbered2"], None),
    (runs_under_freed_names, "<module>", [f"freed{index}" for index in range(50) for _ in "cr"], None),
    (module_renames_itself, "<module>", ["original", "renamed"], None),
    # Before 3.11 a function is named by its own __module__ and __qualname__.
    (renames_a_function, "labelled", [f"{MODULE}"] * 2 + ["elsewhere"] * 2 + ["elsewhere.Other"] * 2,
     [f"{MODULE}"] * 6),
    (module_renames_itself, "work", ["original"] * 4, ["original", "original", "renamed", "renamed"]),
], ids=lambda value: value.__name__ if callable(value) else None)
def test_module_name_follows_every_change(profile, run, co_name, py310, py311):
    doc, _ = profile(run)
    expected = by_version(py310, py311 or py310)
    assert [r["qualname"] for r in frame_records(doc, co_name)] == [f"{name}.{co_name}" for name in expected]


def test_same_code_in_other_globals_is_named_by_each(profile):
    def work():
        return 1

    functions = [types.FunctionType(work.__code__, {"__name__": name}) for name in ("first", "second", "first")]
    doc, _ = profile(lambda: [function() for function in functions])
    names = [r["qualname"] for r in frame_records(doc, "work") if r["event"] == "call"]
    qualname = "test_same_code_in_other_globals_is_named_by_each.<locals>.work"
    # Before 3.11 neither the caller nor the globals hold a function named `work`: no name.
    assert names == by_version([None] * 3, [f"first.{qualname}", f"second.{qualname}", f"first.{qualname}"])
