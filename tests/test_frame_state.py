"""Lines and locals in frame records: what Python itself shows for the frame
at that moment, for every kind of frame and whatever happened to it before."""

import builtins
import inspect
import sys

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
