"""Frames left by an exception: the "exception" record that follows their
"return" record, on every CPython version, and what the reader makes of it."""

import asyncio
import sys
import types

import pytest

from conftest import all_records, recorded_events, run_python
from zelm import export, trace
from zelm.serialize.values import Repr


class Unprintable(Exception):
    def __repr__(self):
        raise RuntimeError("no repr")

    def __str__(self):
        raise RuntimeError("no str")


def raising(exception):
    raise exception


def passing_on(exception):
    raising(exception)


def records_of(doc, *names):
    """The frame and exception records of the named functions, in order."""
    frame_ids = {r["frame_id"] for r in all_records(doc) if r.get("type") == "frame" and r["co_name"] in names}
    return [r for r in all_records(doc)
            if (r.get("type") == "frame" and r["co_name"] in names)
            or (r.get("type") == "exception" and r["frame_id"] in frame_ids)]


def exception_records(doc):
    return [r for r in all_records(doc) if r.get("type") == "exception"]


@pytest.mark.parametrize(
    "exception, type_name, shown",
    [
        (ValueError("bad input"), "ValueError", "ValueError('bad input')"),
        (KeyboardInterrupt(), "KeyboardInterrupt", "KeyboardInterrupt()"),
        (SystemExit(3), "SystemExit", "SystemExit(3)"),
        # Shown without running its __repr__.
        (Unprintable(), "test_exceptions.Unprintable", object.__repr__),
    ],
)
def test_each_frame_left_by_raising_has_its_exception_record(profile, exception, type_name, shown):
    def catcher():
        try:
            passing_on(exception)
        except BaseException as caught:
            return caught

    caught = []
    doc, _ = profile(lambda: caught.append(catcher()))

    # The program still sees its own exception.
    assert caught == [exception]
    events = [(r["type"], r["co_name"], r.get("event")) for r in records_of(doc, "catcher", "passing_on", "raising")]
    assert events == [
        ("frame", "catcher", "call"), ("frame", "passing_on", "call"), ("frame", "raising", "call"),
        ("frame", "raising", "return"), ("exception", "raising", None),
        ("frame", "passing_on", "return"), ("exception", "passing_on", None),
        ("frame", "catcher", "return"),
    ]
    records = records_of(doc, "catcher", "passing_on", "raising")
    for return_record, record in [(records[3], records[4]), (records[5], records[6])]:
        # The return record is what it always was: the value None.
        assert return_record["arg"] is None
        assert record["frame_id"] == return_record["frame_id"] is not None
        expected = shown(exception) if callable(shown) else shown
        assert (record["exception_type"], record["exception"]) == (type_name, Repr(expected))
        assert (record["thread"], record["thread_native_id"]) == (return_record["thread"], return_record["thread_native_id"])
        assert record["path"].startswith("test_exceptions.py:")
        assert return_record["timestamp"] <= record["timestamp"]
    assert len(exception_records(doc)) == 2


def handled_inside():
    try:
        raise KeyError("inside")
    except KeyError:
        return None


def returns_none():
    return None


def generator():
    yield 1
    yield 2


def generator_returning():
    yield 1
    return 5


def run_generators():
    assert list(generator()) == [1, 2]
    for _ in generator():
        break  # closed at its yield: GeneratorExit
    stepped = generator_returning()
    next(stepped)
    try:
        next(stepped)
    except StopIteration as stop:
        assert stop.value == 5


async def awaited():
    await asyncio.sleep(0)
    return 3


async def awaiting():
    return await awaited() + await awaited()


@pytest.mark.parametrize(
    "program",
    [
        handled_inside,
        returns_none,
        run_generators,
        lambda: asyncio.run(awaiting()),
    ],
    ids=["handled inside", "return None", "generators end, return and close", "await suspends"],
)
def test_a_frame_that_returns_or_suspends_has_no_exception_record(profile, program):
    doc, _ = profile(program)

    assert any(r.get("event") == "return" for r in all_records(doc) if r.get("type") == "frame")
    assert exception_records(doc) == []


def raising_generator(exception):
    yield 1
    raise exception


def consume(exception):
    try:
        for _ in raising_generator(exception):
            pass
    except Exception as caught:
        return type(caught).__name__


async def raising_coroutine():
    await asyncio.sleep(0)
    raise KeyError("k")


async def catching_coroutine():
    try:
        await raising_coroutine()
    except KeyError:
        return "caught"


@pytest.mark.parametrize(
    "program, function, raised, caller_sees",
    [
        (lambda: consume(ValueError("in generator")), "raising_generator", "ValueError('in generator')", "ValueError"),
        # StopIteration raised inside a generator leaves it as a RuntimeError.
        (lambda: consume(StopIteration("early")), "raising_generator",
         "RuntimeError('generator raised StopIteration')", "RuntimeError"),
        (lambda: asyncio.run(catching_coroutine()), "raising_coroutine", "KeyError('k')", None),
    ],
    ids=["generator", "StopIteration in a generator", "coroutine"],
)
def test_generators_and_coroutines_that_raise(profile, program, function, raised, caller_sees):
    results = []
    doc, _ = profile(lambda: results.append(program()))

    # Only the last resumption raised; the suspensions before it did not.
    records = records_of(doc, function)
    returns = [r for r in records if r.get("event") == "return"]
    assert len(returns) == 2
    assert [r["type"] for r in records[-2:]] == ["frame", "exception"]
    assert records[-1]["frame_id"] == returns[-1]["frame_id"]
    assert records[-1]["exception"] == Repr(raised)
    assert [r["exception"] for r in exception_records(doc)] == [Repr(raised)]
    assert results == [caller_sees or "caught"]


async def raises_after_a_resume():
    await asyncio.sleep(0)
    raise ValueError("late")


async def awaits_a_failed_future():
    future = asyncio.get_running_loop().create_future()
    asyncio.get_running_loop().call_soon(future.set_exception, KeyError("k"))
    await future


async def waits_long():
    await asyncio.sleep(10)


def run_as_task(coroutine_function, cancel=False):
    """Runs the coroutine as an asyncio task, whose step (C code) is what
    the coroutine's exception reaches, and returns what the task ended with."""
    async def main():
        task = asyncio.ensure_future(coroutine_function())
        await asyncio.sleep(0)
        if cancel:
            task.cancel()
        [ended] = await asyncio.gather(task, return_exceptions=True)
        return type(ended).__name__

    return asyncio.run(main())


@pytest.mark.parametrize(
    "program, function, exception_type, shown",
    [
        (lambda: run_as_task(raises_after_a_resume), "raises_after_a_resume", "ValueError", "ValueError('late')"),
        (lambda: run_as_task(awaits_a_failed_future), "awaits_a_failed_future", "KeyError", "KeyError('k')"),
        (lambda: run_as_task(waits_long, cancel=True), "waits_long",
         "asyncio.exceptions.CancelledError", "CancelledError()"),
    ],
    ids=["raised after a resume", "awaited future failed", "cancelled"],
)
def test_a_coroutine_whose_exception_goes_to_its_task_has_its_record(profile, program, function, exception_type,
                                                                     shown):
    ended = []
    doc, _ = profile(lambda: ended.append(program()))

    assert ended == [exception_type.rpartition(".")[2]]
    records = records_of(doc, function)
    returns = [r for r in records if r.get("event") == "return"]
    assert len(returns) == 2
    assert [r["type"] for r in records[-2:]] == ["frame", "exception"]
    assert records[-1]["frame_id"] == returns[-1]["frame_id"]
    # Before 3.12 no Python code sees the exception, only that the frame was left by one.
    if sys.version_info >= (3, 12):
        assert (records[-1]["exception_type"], records[-1]["exception"]) == (exception_type, Repr(shown))
    else:
        assert (records[-1]["exception_type"], records[-1]["exception"]) == (None, None)
    assert len(exception_records(doc)) == 1


def cleans_up():
    try:
        yield 1
    finally:
        returns_none()


def steps_another_when_closed():
    other = generator()
    try:
        yield 1
    finally:
        next(other)


@types.coroutine
def suspend():
    yield


async def cleans_up_when_closed():
    try:
        await suspend()
    finally:
        returns_none()


def close_after_a_step(make):
    def program():
        suspended = make()
        suspended.send(None)
        suspended.close()

    return program


@pytest.mark.parametrize(
    "make",
    [cleans_up, steps_another_when_closed, cleans_up_when_closed],
    ids=["generator with finally", "generator resuming another in its finally", "coroutine with finally"],
)
def test_a_closed_generator_or_coroutine_has_no_exception_record(profile, make):
    doc, _ = profile(close_after_a_step(make))

    assert recorded_events(doc, make.__name__) == ["call", "return", "call", "return"]
    assert exception_records(doc) == []


def traces_seen():
    yield sys.gettrace()
    yield sys.gettrace()


def test_the_program_never_sees_the_trace_function_armed_at_a_resume(profile):
    outside = sys.gettrace()
    seen = []
    steps = traces_seen()

    profile(lambda: seen.extend([next(steps), next(steps)]))

    assert seen == [outside, outside]


def test_the_reader_pairs_the_exception_with_its_call(profile_raw):
    def catcher():
        try:
            passing_on(ValueError("bad input"))
        except ValueError:
            return "caught"

    document, _ = profile_raw(catcher)
    loaded = trace.Trace.from_bytes(document)
    calls = {node.name.rsplit(".", 1)[-1]: node for _, node in loaded.threads[0].walk() if isinstance(node, trace.Call)}

    assert calls["raising"].raised == calls["passing_on"].raised == "ValueError('bad input')"
    assert calls["catcher"].raised is None and calls["catcher"].return_value == "caught"
    # The exception record is part of its call, not a record of its own in the tree.
    assert not [node for _, node in loaded.threads[0].walk() if isinstance(node, trace.PluginRecord)]
    chrome = {event["name"].rsplit(".", 1)[-1]: event["args"] for event in export.to_chrome_trace(loaded)["traceEvents"]
              if event.get("cat") == "call"}
    assert chrome["raising"]["raised"] == "ValueError('bad input')" and "return_value" not in chrome["raising"]
    assert chrome["catcher"]["return_value"] == "caught" and "raised" not in chrome["catcher"]


@pytest.mark.skipif(sys.version_info < (3, 12), reason="exceptions come from sys.monitoring from 3.12 on")
def test_cprofile_still_starts_after_zelm_watched_for_exceptions(tmp_path):
    """zelm keeps its sys.monitoring tool id for the process; it must not be
    the one cProfile needs."""
    program = (
        "import cProfile, sys, zelm\n"
        "with zelm.Profiler(db_path=sys.argv[1]):\n"
        "    try:\n"
        "        raise ValueError('x')\n"
        "    except ValueError:\n"
        "        pass\n"
        "profile = cProfile.Profile()\n"
        "profile.enable()\n"
        "profile.disable()\n"
        "print(sys.monitoring.get_tool(sys.monitoring.PROFILER_ID))\n"
    )
    done = run_python("-c", program, tmp_path / "traces.sqlite3", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "None"
