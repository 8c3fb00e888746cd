"""Lines and locals in frame records: what Python itself shows for the frame
at that moment, for every kind of frame and whatever happened to it before."""

import asyncio
import builtins
import ctypes
import difflib
import inspect
import json
import os
import sys
import textwrap
import threading

import pytest

from conftest import frame_records

SEEN = []


def plain(value):
    """Numbers and lists of them as they are; anything else (recorded as its
    repr) only by its presence."""
    return value if isinstance(value, (int, list)) else None


# Set by a 3.13 class body on its own, one of them after its last statement;
# left out on both sides.
CLASS_BODY_EXTRAS = {"__firstlineno__", "__static_attributes__"}


def seen():
    """Keeps the caller's locals as Python shows them now, in their order."""
    shown = dict(sys._getframe(1).f_locals).items()
    SEEN.append([(name, plain(value)) for name, value in shown if name != "__builtins__" and name not in CLASS_BODY_EXTRAS])


def recorded_locals(record):
    return [(name, plain(value)) for name, value in record["locals"].items() if name not in CLASS_BODY_EXTRAS]


# ---- locals --------------------------------------------------------------------------


def arguments_and_locals(a, b=2):
    total = a + b
    seen()


def deleted_then_bound_again(a):
    first = a
    del first
    second = 2
    seen()
    first = 3
    seen()


def deleted_argument(a, b):
    del a
    seen()


def unbound_branch(flag):
    if flag:
        late = 1
    seen()


def with_cells(a):
    kept = a
    def inner():
        return kept
    seen()
    return inner


def with_free_variables():
    outer = 5
    def inner(b):
        total = outer + b
        seen()
    inner(1)


def with_comprehension(n):
    doubled = [item * 2 for item in range(n)]
    seen()


def locals_read_by_python(a):
    frame = sys._getframe()
    frame.f_locals
    del a
    b = 1
    frame.f_locals
    a = 2
    del frame
    seen()


def locals_written_by_python(a):
    sys._getframe().f_locals["written"] = 7
    b = 2
    seen()


def class_body():
    class Body:
        x = 1
        y = [item for item in range(2)]
        seen()


def module_body():
    source = "x = 1\ny = [item for item in range(2)]\ndel x\nx = 3\nseen()\n"
    namespace = {"__name__": "module_body", "__builtins__": {**builtins.__dict__, "seen": seen}}
    exec(compile(source, "<module_body>", "exec"), namespace)


def _duplicate_names_body(a, b):
    c = a + b
    seen()


# Only a code object made by hand gives two slots one name: a copy of the
# locals holds the first slot's value on 3.13, the last one's before.
duplicate_names = type(_duplicate_names_body)(
    _duplicate_names_body.__code__.replace(co_varnames=("a", "a", "c"), co_name="duplicate_names"), globals())


def builtins_argument(__builtins__):
    seen()


exec(compile("def many_locals():\n" + "".join(f"    v{index} = {index}\n" for index in range(24)) + "    seen()\n",
             __file__, "exec"))


LOCALS_CASES = {
    "arguments_and_locals": (lambda: arguments_and_locals(1), "arguments_and_locals"),
    "deleted_then_bound_again": (lambda: deleted_then_bound_again(1), "deleted_then_bound_again"),
    "deleted_argument": (lambda: deleted_argument(1, 2), "deleted_argument"),
    "unbound_branch": (lambda: unbound_branch(False), "unbound_branch"),
    "cells": (lambda: with_cells(1), "with_cells"),
    "free_variables": (with_free_variables, "inner"),
    "comprehension": (lambda: with_comprehension(3), "with_comprehension"),
    "read_by_python": (lambda: locals_read_by_python(1), "locals_read_by_python"),
    "written_by_python": (lambda: locals_written_by_python(1), "locals_written_by_python"),
    "class_body": (class_body, "Body"),
    "module_body": (module_body, "<module>"),
    "duplicate_names": (lambda: duplicate_names(1, 2), "duplicate_names"),
    "builtins_argument": (lambda: builtins_argument(1), "builtins_argument"),
    "many_locals": (lambda: many_locals(), "many_locals"),
}


@pytest.mark.parametrize("case", LOCALS_CASES)
def test_locals_are_what_python_shows_at_the_return(profile, case):
    """seen() runs just before the frame returns: its record's locals are
    what Python showed then, in the same order."""
    run, co_name = LOCALS_CASES[case]
    SEEN.clear()
    doc, _ = profile(run)
    returned = [r for r in frame_records(doc, co_name) if r["event"] == "return"]
    assert len(returned) == 1
    assert recorded_locals(returned[0]) == SEEN[-1]


def generator_deleting_between_yields():
    first = 1
    seen()
    yield
    del first
    second = 2
    seen()
    yield
    first = 3
    seen()
    yield


def generator_unbinding_an_argument(value):
    seen()
    yield
    del value
    seen()
    yield
    value = 4
    other = 5
    seen()
    yield


@pytest.mark.parametrize("make", [
    generator_deleting_between_yields,
    lambda: generator_unbinding_an_argument(1),
], ids=["deleting_between_yields", "unbinding_an_argument"])
def test_resumed_generator_locals_follow_python_at_each_yield(profile, make):
    SEEN.clear()
    generator = make()
    doc, _ = profile(lambda: list(generator))
    yields = [r for r in frame_records(doc, generator.gi_code.co_name) if r["event"] == "return"]
    assert [recorded_locals(r) for r in yields[:3]] == SEEN


def generator_rebinding_an_argument(first, second):
    """The names of its own locals, as the program reads them at the end."""
    yield
    del first
    yield
    first = 3
    yield list(sys._getframe().f_locals)


def test_recording_leaves_the_programs_view_of_its_locals_as_it_is(profile):
    """The profiler's reading of a frame's locals between the yields does
    not decide the order in which the program later sees them."""
    untraced = list(generator_rebinding_an_argument(1, 2))
    traced = []
    doc, _ = profile(lambda: traced.extend(generator_rebinding_an_argument(1, 2)))
    assert traced == untraced == [None, None, ["first", "second"]]
    last = [r for r in frame_records(doc, "generator_rebinding_an_argument") if r["event"] == "return"][-1]
    assert list(last["locals"]) == ["first", "second"]


# ---- the order of the locals across a frame's events ---------------------------------
#
# Before 3.13 a frame's locals dict is refreshed in place each time its locals
# are read, so the order of its names depends on the reads before. Recorded
# locals are in the order reading them at each recorded event would give
# (and on 3.10 also at each recorded event of a function the frame calls,
# whose qualified name is looked up in its caller's locals), though the
# profiler never writes the frame's dict.

PROFILE_FUNCTION = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p)
set_profile = ctypes.pythonapi.PyEval_SetProfile
set_profile.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
set_profile.restype = None
TRACE_CALL, TRACE_RETURN = 0, 3


def locals_read_at_each_event(run, recorded):
    """Runs ``run`` under a C-level profile function that reads the locals
    of each frame ``recorded`` accepts at its calls and returns (3.10: and
    its caller's), as reading them in the hook itself would: a Python one
    (sys.setprofile) reads them at every event and writes them back after.
    Returns [(co_filename, co_name, event, names)] of those frames."""
    seen = []

    def hook(_, frame_address, what, __):
        if what in (TRACE_CALL, TRACE_RETURN):
            frame = ctypes.cast(frame_address, ctypes.py_object).value
            if recorded(frame):
                if sys.version_info < (3, 11) and frame.f_code.co_name != "<module>" and frame.f_back is not None:
                    frame.f_back.f_locals
                names = [name for name in frame.f_locals if name != "__builtins__"]
                event = "call" if what == TRACE_CALL else "return"
                seen.append((frame.f_code.co_filename, frame.f_code.co_name, event, names))
        return 0

    function = PROFILE_FUNCTION(hook)
    set_profile(ctypes.cast(function, ctypes.c_void_p).value, None)
    try:
        run()
    finally:
        set_profile(None, None)
    return seen


def recorded_names(doc, co_names):
    return [(r["co_name"], r["event"], list(r["locals"])) for r in frame_records(doc) if r["co_name"] in co_names]


def names_read_here(run, co_names):
    """locals_read_at_each_event for this file's frames, of functions named in co_names."""
    seen = locals_read_at_each_event(run, lambda frame: frame.f_code.co_filename == __file__)
    return [(co_name, event, names) for _, co_name, event, names in seen if co_name in co_names]


def binds_out_of_slot_order():
    for i in range(2):
        if i:
            a = 1
        b = 2
        yield


def callee():
    return 1


def binds_after_a_call(flag):
    if not flag:
        x = 0
    y = 1
    callee()
    x = 2
    return x


def closure_binding_late():
    captured = 1

    def inner(argument):
        late = argument
        return captured + late
    return inner(2)


def argument_in_a_cell(first, kept, second):
    def reader():
        return kept, helper
    late = first

    def helper():
        return second
    return reader


def deletes_and_rebinds_between_yields(a):
    b = 1
    yield
    del a
    c = 2
    yield
    a = 3
    d = 4
    yield


def reads_its_own_locals():
    """Its own dict, made by the program, keeps its order; the names it
    lacks follow in the order reads at each event would give."""
    first = 1
    locals()
    for step in range(2):
        if step:
            a = 1
        b = 2
        yield


def comprehension_between_yields(n):
    """3.12 runs the comprehension in this frame, its variable a hidden local."""
    for step in range(2):
        if step:
            early = [item * item for item in range(n)]
        late = step
        yield


# More locals than are read without a dict; the odd ones bound first.
exec(compile("def many_bound_late():\n    for step in range(2):\n        if step:\n" +
             "".join(f"            v{index} = {index}\n" for index in range(20)) +
             "        else:\n" + "".join(f"            v{index} = None\n" for index in range(19, 0, -2)) +
             "        yield\n", __file__, "exec"))

ORDER_CASES = {
    "generator-binding-out-of-slot-order": (lambda: list(binds_out_of_slot_order()), {"binds_out_of_slot_order"}),
    "caller-binding-after-a-recorded-call": (lambda: binds_after_a_call(True), {"binds_after_a_call"}),
    "free-variable-and-a-late-local": (closure_binding_late, {"inner"}),
    "argument-in-a-cell": (lambda: argument_in_a_cell(1, 2, 3), {"argument_in_a_cell"}),
    "generator-deleting-and-rebinding": (lambda: list(deletes_and_rebinds_between_yields(0)),
                                         {"deletes_and_rebinds_between_yields"}),
    "generator-reading-its-own-locals": (lambda: list(reads_its_own_locals()), {"reads_its_own_locals"}),
    "comprehension-between-yields": (lambda: list(comprehension_between_yields(3)), {"comprehension_between_yields"}),
    "many-locals-bound-late": (lambda: list(many_bound_late()), {"many_bound_late"}),
}


@pytest.mark.parametrize("run, co_names", ORDER_CASES.values(), ids=ORDER_CASES)
def test_locals_order_is_that_of_a_read_at_each_event(profile, run, co_names):
    expected = names_read_here(run, co_names)
    doc, _ = profile(run)
    assert recorded_names(doc, co_names) == expected


# (what to run, co_name, the names of its last recorded return before 3.13, from 3.13 on)
ISSUE_ORDERS = {
    "generator": (lambda: list(binds_out_of_slot_order()), "binds_out_of_slot_order", ["i", "b", "a"], ["i", "a", "b"]),
    # Only 3.10 reads the caller's locals at its callee's events.
    "caller": (lambda: binds_after_a_call(True), "binds_after_a_call",
               ["flag", "y", "x"] if sys.version_info < (3, 11) else ["flag", "x", "y"], ["flag", "x", "y"]),
}


@pytest.mark.parametrize("run, co_name, before_3_13, from_3_13", ISSUE_ORDERS.values(), ids=ISSUE_ORDERS)
def test_names_bound_after_an_earlier_event_come_last(profile, run, co_name, before_3_13, from_3_13):
    doc, _ = profile(run)
    last_return = [r for r in frame_records(doc, co_name) if r["event"] == "return"][-1]
    assert list(last_return["locals"]) == (before_3_13 if sys.version_info < (3, 13) else from_3_13)


def standard_library_work():
    data = {"name": "zelm", "items": [{"id": i, "tags": ["a", "b"][: i % 3], "ratio": i / 7} for i in range(8)],
            "nested": {"deep": [[1, 2], {"x": None, "y": True}]}}
    text = json.dumps(data, indent=2, sort_keys=True)
    json.loads(text)
    wrapped = textwrap.fill("lorem ipsum dolor sit amet " * 12, width=30)
    textwrap.shorten(wrapped, 40)
    textwrap.dedent("    a\n      b\n    c\n")
    before = text.splitlines()
    after = [line.replace("a", "o") for line in before]
    list(difflib.unified_diff(before, after, lineterm=""))
    difflib.SequenceMatcher(None, wrapped, text[:200]).ratio()
    list(difflib.ndiff(before[:10], after[:10]))


def test_locals_order_over_standard_library_code(profile):
    """json's encoder (nested generators over closures), textwrap and
    difflib, recorded with everything they call."""
    library = os.path.dirname(os.path.dirname(json.__file__)) + os.sep
    files = {json.encoder.__file__, json.decoder.__file__, json.__file__, textwrap.__file__, difflib.__file__}
    seen = locals_read_at_each_event(standard_library_work, lambda frame: frame.f_code.co_filename.startswith(library))
    expected = [(co_name, event, names) for filename, co_name, event, names in seen if filename in files]
    doc, _ = profile(standard_library_work, config={"filters": {"include_frames": [library]}})
    recorded = [(r["co_name"], r["event"], list(r["locals"])) for r in frame_records(doc)
                if os.path.abspath(r["path"].rsplit(":", 1)[0]) in files]
    assert len(recorded) > 1000
    assert recorded == expected


def abandoned_generators():
    """Generators dropped or closed while suspended and made again, whose
    frames may take the addresses of earlier ones; and one resumed once on a
    thread that is not recorded. Only a list holds them: a 3.10 read of this
    frame's locals would keep a generator held by a local alive in its dict."""
    suspended = []
    for count in range(30):
        suspended.append(binds_out_of_slot_order())
        next(suspended[-1])
        if count % 2:
            next(suspended[-1])
        if count % 3 == 0:
            suspended.pop().close()
        elif count % 5 == 0:
            suspended.clear()
    suspended.clear()
    suspended.append(binds_out_of_slot_order())
    next(suspended[-1])
    elsewhere = threading.Thread(target=lambda: next(suspended[-1]))
    elsewhere.start()
    elsewhere.join()
    list(suspended.pop())


def test_locals_order_of_generators_dropped_suspended_or_moved(profile):
    expected = names_read_here(abandoned_generators, {"binds_out_of_slot_order"})
    doc, _ = profile(abandoned_generators)
    assert recorded_names(doc, {"binds_out_of_slot_order"}) == expected


# ---- reading never changes the program ---------------------------------------------


def class_assigning_its_class():
    """Django's LazyObject: zero-argument super() gives the class body a
    __class__ cell, still empty while the body runs."""
    class Proxy:
        __class__ = property(lambda self: int)

        def describe(self):
            return super().__repr__()
    return "__class__" in vars(Proxy), isinstance(Proxy(), int), list(vars(Proxy))


class CountingNamespace(dict):
    """A class namespace whose reads through Python code are counted."""
    reads = 0

    def __getitem__(self, key):
        CountingNamespace.reads += 1
        return super().__getitem__(key)

    def __iter__(self):
        CountingNamespace.reads += 1
        return super().__iter__()

    def keys(self):
        CountingNamespace.reads += 1
        return super().keys()


class Counted(type):
    @classmethod
    def __prepare__(mcs, name, bases):
        return CountingNamespace()

    def __new__(mcs, name, bases, namespace):
        return super().__new__(mcs, name, bases, dict(dict.items(namespace)))


def class_in_counting_namespace():
    CountingNamespace.reads = 0

    class Tallied(metaclass=Counted):
        size = 3
        doubled = size * 2
    return CountingNamespace.reads, Tallied.doubled


def holds_its_locals_dict():
    """Keeps the mapping `f_locals` gave it (its own dict before 3.13, which
    nothing but the program's own reads refreshes) across the recorded yield."""
    mine = sys._getframe().f_locals
    later = 1
    yield
    yield sorted(mine), later


def captures(value):
    def read():
        return value
    return read


def free_variable_user(value):
    def inner(extra):
        return value + extra
    return inner


def class_with_a_classdict_cell():
    """3.12 gives a class body with a generic method a __classdict__ cell,
    which holds the namespace itself once the body has started."""
    namespace = {"__name__": "generic"}
    exec(compile("class Box:\n    def get[T](self, item: T) -> T:\n        return item\n", "<generic>", "exec"),
         namespace)
    return sorted(vars(namespace["Box"]))


PROGRAM_VIEWS = {
    "class-assigning-__class__": class_assigning_its_class,
    "class-namespace-dict-subclass": class_in_counting_namespace,
    "function-holding-its-locals-dict": lambda: list(holds_its_locals_dict()),
    "closure-cell": lambda: captures(1)(),
    "free-variable": lambda: free_variable_user(5)(1),
}
if sys.version_info >= (3, 12):
    PROGRAM_VIEWS["class-with-a-__classdict__-cell"] = class_with_a_classdict_cell


@pytest.mark.parametrize("run", PROGRAM_VIEWS.values(), ids=PROGRAM_VIEWS)
def test_recording_locals_leaves_the_program_as_it_runs_untraced(profile, run):
    untraced = run()
    traced = []
    profile(lambda: traced.append(run()))
    assert traced == [untraced]


# name: (what to run, co_name, the recorded call's locals, the recorded return's locals as names)
RECORDED_AT_BOTH_ENDS = {
    "class-body-with-a-__class__-cell": (class_assigning_its_class, "Proxy", [],
                                         ["__module__", "__qualname__", "__class__", "describe", "__classcell__"]),
    "class-body-in-a-dict-subclass": (class_in_counting_namespace, "Tallied", [],
                                      ["__module__", "__qualname__", "size", "doubled"]),
    # 3.11 calls the hook before the frame has made its cells or copied its free variables.
    "argument-in-a-cell": (lambda: captures(1), "captures", [("value", 1)], None),
    "free-variable": (lambda: free_variable_user(5)(1), "inner", [("extra", 1), ("value", 5)],
                      ["extra", "value"]),
}


@pytest.mark.parametrize("run, co_name, at_call, names_at_return", RECORDED_AT_BOTH_ENDS.values(),
                         ids=RECORDED_AT_BOTH_ENDS)
def test_locals_of_cells_free_variables_and_class_bodies(profile, run, co_name, at_call, names_at_return):
    doc, _ = profile(run)
    call, returned = frame_records(doc, co_name)
    assert recorded_locals(call) == [(name, value) for name, value in at_call if name not in CLASS_BODY_EXTRAS]
    if names_at_return is not None:
        assert [name for name, _ in recorded_locals(returned)] == names_at_return


# ---- lines ---------------------------------------------------------------------------


def line_of(function, marker):
    lines, first = inspect.getsourcelines(function)
    return next(first + offset for offset, text in enumerate(lines) if marker in text)


def record_line(record):
    return int(record["path"].rsplit(":", 1)[1])


def after_loop(n):
    total = 0
    for item in range(n):
        total += item
    return total  # back


def from_handler(n):
    try:
        1 / n
    except ZeroDivisionError:
        return None  # back
    return n


def calls_in_loop():
    for item in range(3):
        after_loop(item)  # call site


def counting():
    yield 1  # first
    yield 2  # second


def trace_lines(frame, event, arg):
    frame.f_trace_lines = True
    return trace_lines


@pytest.fixture(params=[False, True], ids=["untraced", "traced"])
def tracer(request):
    """Runs each case once more with a Python trace function that follows
    every line, which makes the interpreter keep the frame's line itself."""
    if request.param:
        sys.settrace(trace_lines)
    yield
    sys.settrace(None)


def test_return_lines_after_a_loop_and_from_a_handler(profile, tracer):
    doc, _ = profile(lambda: (after_loop(3), from_handler(0)))
    returns = [r for r in frame_records(doc) if r["event"] == "return" and r["co_name"] != "<lambda>"]
    assert [(r["co_name"], record_line(r)) for r in returns] == [
        ("after_loop", line_of(after_loop, "# back")), ("from_handler", line_of(from_handler, "# back")),
    ]


def test_call_site_lines_in_a_loop(profile, tracer):
    doc, _ = profile(calls_in_loop)
    calls = [r for r in frame_records(doc, "after_loop") if r["event"] == "call"]
    assert [r["user_code_call_site"]["line_number"] for r in calls] == [line_of(calls_in_loop, "# call site")] * 3


def test_resumed_generator_lines(profile, tracer):
    doc, _ = profile(lambda: list(counting()))
    first, second = line_of(counting, "# first"), line_of(counting, "# second")
    events = [(r["event"], record_line(r)) for r in frame_records(doc, "counting")]
    assert events == [("call", counting.__code__.co_firstlineno), ("return", first),
                      ("call", first), ("return", second), ("call", second), ("return", second)]


def test_lines_of_code_made_and_dropped_one_after_another(profile):
    """Code objects of the same shape made and freed in turn may take each
    other's address: each one's lines are its own."""
    def run():
        for blank_lines in range(6):
            namespace = {"__name__": "made"}
            exec(compile("\n" * blank_lines + "def made():\n    return 1\n", "<made>", "exec"), namespace)
            namespace["made"]()
    doc, _ = profile(run)
    returns = [r for r in frame_records(doc, "made") if r["event"] == "return"]
    assert [record_line(r) for r in returns] == [blank_lines + 2 for blank_lines in range(6)]


async def numbers(count):
    for number in range(count):
        yield number


# The instructions that close these `async for` loops carry no line number on 3.12.
async def evens_if(count, wanted):
    if wanted:
        async for number in numbers(count):
            if number % 2 == 0:
                yield number


async def evens_while(count, wanted):
    while wanted:
        async for number in numbers(count):
            if number % 2 == 0:
                yield number
        wanted = False


@pytest.mark.parametrize("generator", [evens_if, evens_while], ids=["async-for-in-if", "async-for-in-while"])
def test_frames_at_an_instruction_without_a_line_are_recorded(profile, zelm_warnings, generator):
    async def collect():
        return [number async for number in generator(5, True)]

    result = []
    doc, _ = profile(lambda: result.append(asyncio.run(collect())))

    assert result == [[0, 2, 4]]
    assert zelm_warnings() == []
    records = frame_records(doc, generator.__name__)
    events = [r["event"] for r in records]
    assert events.count("call") == events.count("return") == 4  # three yields and the end
    # A record's line is one of the function's own, its first (the def line) where the instruction has none.
    lines, first = inspect.getsourcelines(generator)
    assert {record_line(r) for r in records} <= set(range(first, first + len(lines)))
