"""Coroutines and generators read as one call each: the segments between
their awaits and yields joined, in `zelm show`, the reader's tree and the
viewer's native index alike, and an async generator's yields recorded as
the values it yields."""

import re
import sys
from collections import Counter

import pytest

from conftest import run_python
from test_exports import opened_names, speedscope_problems
from test_trace_reader import call, document, ret
from test_view_index import assert_same_index, packed
from zelm import export, store
from zelm import trace as trace_reader
from zelm.trace import Call

PROGRAM = """\
import asyncio

async def leaf(n):
    await asyncio.sleep(0)
    await asyncio.sleep(0)
    return n * 2

async def middle(n):
    first = await leaf(n)
    second = await leaf(n + 100)
    return first + second

async def worker(n):
    total = await middle(n)
    return total

async def child():
    return await middle(1000)

async def parent():
    task = asyncio.create_task(child())
    return await task

async def supervisor(n):
    # The task's repr in the locals changes while this waits for it.
    task = asyncio.create_task(leaf(n + 500))
    return await task

async def numbers(count):
    for number in range(count):
        await asyncio.sleep(0)
        yield number * 10

async def collect():
    found = []
    async for number in numbers(3):
        found.append(number)
    return found

def countdown(start):
    while start:
        yield start
        start -= 1

async def fails():
    await asyncio.sleep(0)
    raise ValueError("boom")

async def sleeper():
    await asyncio.sleep(10)

async def cancels():
    task = asyncio.create_task(sleeper())
    await asyncio.sleep(0)
    task.cancel()
    try:
        await task
    except asyncio.CancelledError:
        return "cancelled"

async def same():
    await asyncio.sleep(0)
    return 1

async def main():
    await asyncio.gather(*[worker(n) for n in range(WORKERS)])
    await parent()
    await asyncio.gather(*[supervisor(n) for n in range(3)])
    await collect()
    list(countdown(3))
    try:
        await fails()
    except ValueError:
        pass
    await cancels()
    await asyncio.gather(*[same() for _ in range(3)])

asyncio.run(main())
"""
WORKERS = 5


def record_program(directory):
    """(database, trace id) of PROGRAM run under `zelm run` in ``directory``."""
    (directory / "tasks.py").write_text(PROGRAM.replace("WORKERS", str(WORKERS)))
    db_path = str(directory / "traces.sqlite3")
    result = run_python("-m", "zelm", "run", "--db", db_path, "tasks.py", cwd=directory)
    assert result.returncode == 0, result.stderr
    return db_path, result.stderr.split("zelm: saved trace ", 1)[1].split(":", 1)[0]


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    return record_program(tmp_path_factory.mktemp("async"))


@pytest.fixture(scope="module")
def calls(recorded):
    """The calls of the recorded trace's main thread by name, as (depth, Call)."""
    found = {}
    for depth, node in trace_reader.load(*recorded).threads[0].walk():
        if isinstance(node, Call):
            found.setdefault(node.name.removeprefix("__main__."), []).append((depth, node))
    return found


SHOWN_CALL = re.compile(r"^(?P<indent> *)\S+ \S+  __main__\.(?P<call>\S+?\(.*?\)) (?P<end>->|raised) .*?"
                        r"(?:  \[ran (?P<ran>[^,]+), awaited (?P<awaited>[^,]+), resumed (?P<resumes>\d+) times?\])?$")


def test_show_draws_each_coroutine_once_under_the_task_that_ran_it(recorded):
    db_path, trace_id = recorded
    result = run_python("-m", "zelm", "show", "--db", db_path, trace_id)
    assert result.returncode == 0, result.stderr
    shown = [match.groupdict() for match in map(SHOWN_CALL.match, result.stdout.splitlines()) if match]
    by_call = {}
    for line in shown:
        by_call.setdefault(line["call"], []).append(line)

    for n in [*range(WORKERS), 1000]:
        worker = by_call[f"worker(n={n})" if n != 1000 else "child()"]
        middle = by_call[f"middle(n={n})"]
        leaves = by_call[f"leaf(n={n})"] + by_call[f"leaf(n={n + 100})"]
        # One line per coroutine, each nested under the one that awaited it.
        assert (len(worker), len(middle), len(leaves)) == (1, 1, 2)
        assert len(middle[0]["indent"]) == len(worker[0]["indent"]) + 2
        assert [len(leaf["indent"]) for leaf in leaves] == [len(middle[0]["indent"]) + 2] * 2
        assert [line["resumes"] for line in worker + middle + leaves] == ["4", "4", "2", "2"]
        assert all(line["ran"] and line["awaited"] for line in worker + middle + leaves)
    # Each task's coroutine stands beside the first, under the program.
    assert len({by_call[f"worker(n={n})"][0]["indent"] for n in range(WORKERS)} | {by_call["child()"][0]["indent"],
                                                                                 by_call["main()"][0]["indent"]}) == 1


def test_a_joined_call_runs_for_less_than_it_lasts(calls):
    (_, middle), = calls["middle"][:1]
    assert middle.resumes == 4 == len(middle.segments) - 1
    assert middle.running == pytest.approx(sum(segment.duration for segment in middle.segments))
    assert 0 < middle.running < middle.duration
    assert middle.awaited == pytest.approx(middle.duration - middle.running)
    assert (middle.start, middle.end) == (middle.segments[0].start, middle.segments[-1].end)
    assert middle.return_value == 2 * 0 + 2 * 100


def test_the_native_index_joins_the_calls_the_reader_joins(recorded):
    fast = assert_same_index(store.load_trace_documents(*recorded))

    rows = [fast.row(node_id) for node_id in range(len(fast.nodes))]
    joined = {row["name"].removeprefix("__main__."): row["resumes"] for row in rows if row.get("resumes")}
    assert {name: joined.get(name) for name in ("worker", "middle", "leaf", "child", "collect", "numbers",
                                                "countdown", "fails", "sleeper")} == {
        "worker": 4, "middle": 4, "leaf": 2, "child": 4, "collect": 3, "numbers": 6, "countdown": 3, "fails": 1,
        "sleeper": 1}


@pytest.mark.parametrize("name, values", [
    # An async generator's yields, between the awaits it makes, and its end.
    ("numbers", [None, 0, None, 10, None, 20, None]),
    ("countdown", [3, 2, 1, None]),
])
def test_each_segment_ends_with_the_value_yielded(calls, name, values):
    (_, generator), = calls[name]
    assert [segment.return_value for segment in generator.segments] == values


def test_a_coroutine_that_raises_raises_as_one_call(calls):
    (_, fails), = calls["fails"]
    assert fails.resumes == 1
    assert fails.raised == "ValueError('boom')"
    assert fails.segments[0].raised is None


def test_a_cancelled_task_ends_with_the_cancellation(calls):
    (_, sleeper), = calls["sleeper"]
    assert sleeper.resumes == 1
    assert sleeper.return_record is sleeper.segments[-1].return_record
    assert sleeper.raised == sleeper.segments[-1].raised
    if sys.version_info >= (3, 12):
        # Before 3.12 the exception a task's own coroutine is left by, which
        # only the event loop's C code sees, is not recorded.
        assert sleeper.raised.startswith("CancelledError(")
    (_, cancels), = calls["cancels"]
    assert cancels.return_value == "cancelled"


def test_calls_waiting_for_tasks_join_by_the_locals_that_stay(calls):
    supervisors = calls["supervisor"]
    assert [(call.arguments, call.resumes, call.return_value) for _, call in supervisors] == [
        ({"n": n}, 1, 2 * (n + 500)) for n in range(3)]
    # What changed while each waited: its task was pending, then done.
    assert all(str(call.segments[0].return_record["locals"]["task"]).startswith("<Task pending")
               and str(call.return_record["locals"]["task"]).startswith("<Task finished") for _, call in supervisors)


def test_identical_coroutines_waiting_at_one_line_stay_apart(calls):
    # Three same() wait at the same line with the same locals: no resume can
    # be told from the others'.
    same = calls["same"]
    assert len(same) == 6
    assert all(not call.segments for _, call in same)


def locals_record(make, name, frame_id, time, line, **locals_):
    record = make(name, frame_id, time, locals_=locals_)
    record["path"] = f"app.py:{line}"
    return record


def waiting_twice():
    """Three calls of one coroutine left at line 5, two of them with the same
    locals, then resumed there: first with the locals of the third, then
    with those of the other two."""
    return document([
        locals_record(call, "job", "f1", 1.0, 3, n=1), locals_record(ret, "job", "f1", 1.1, 5, n=1),
        locals_record(call, "job", "f2", 1.2, 3, n=1), locals_record(ret, "job", "f2", 1.3, 5, n=1),
        locals_record(call, "job", "f3", 1.4, 3, n=2), locals_record(ret, "job", "f3", 1.5, 5, n=2),
        locals_record(call, "job", "f4", 2.0, 5, n=2), locals_record(ret, "job", "f4", 2.1, 6, n=2),
        locals_record(call, "job", "f5", 3.0, 5, n=1), locals_record(ret, "job", "f5", 3.1, 6, n=1),
        # f5 resumed f1 or f2, which neither resumes now; its own resume joins it.
        locals_record(call, "job", "f6", 4.0, 6, n=1), locals_record(ret, "job", "f6", 4.1, 7, n=1),
    ])


def one_line_function():
    """A one-line function called twice alike: its call and return lines are
    its first line, so the second call may be a fresh one."""
    return document([
        locals_record(call, "twice", "f1", 1.0, 3, n=1), locals_record(ret, "twice", "f1", 1.1, 3, n=1),
        locals_record(call, "twice", "f2", 2.0, 3, n=1), locals_record(ret, "twice", "f2", 2.1, 3, n=1),
    ])


def two_comprehensions():
    """Two comprehensions of one function, of one name (as 3.10 and 3.11
    name them), in a function run twice: the second starts below the
    first, at the line it returns at, and each of its calls is fresh."""
    records = []
    for run in range(2):
        for number, line in enumerate((21, 22)):
            frame_id = f"f{2 * run + number + 1}"
            records += [locals_record(call, "<listcomp>", frame_id, 1.0 + run + number / 4, line, **{".0": "it"}),
                        locals_record(ret, "<listcomp>", frame_id, 1.1 + run + number / 4, line, **{".0": "it"})]
    return document(records)


@pytest.mark.parametrize("doc, expected", [
    (waiting_twice(), [("f1", []), ("f2", []), ("f3", ["f3", "f4"]), ("f5", ["f5", "f6"])]),
    (one_line_function(), [("f1", []), ("f2", [])]),
    (two_comprehensions(), [("f1", []), ("f2", []), ("f3", []), ("f4", [])]),
])
def test_a_resume_that_may_be_another_frames_stays_a_call_of_its_own(doc, expected):
    roots = trace_reader.Trace.from_document(doc).threads[0].roots
    assert [(call.frame_id, [segment.frame_id for segment in call.segments]) for call in roots] == expected

    assert_same_index([packed(doc)])


def test_an_async_generator_records_the_values_it_yields(recorded):
    # The interpreter hands the hook each yielded value in a wrapper of its own.
    records = trace_reader.load(*recorded).threads[0].records
    returns = [record["arg"] for record in records if record.get("co_name") == "numbers" and record["event"] == "return"]
    assert returns == [None, 0, None, 10, None, 20, None]


def chrome_overlaps(chrome):
    """The pairs of complete events on one thread of which neither holds
    the other, which Perfetto cannot stack."""
    overlaps = []
    by_thread = {}
    for event in chrome["traceEvents"]:
        if event["ph"] == "X":
            by_thread.setdefault(event["tid"], []).append(event)
    for events in by_thread.values():
        enclosing = []
        for event in sorted(events, key=lambda event: (event["ts"], -event["dur"])):
            end = event["ts"] + event["dur"]
            while enclosing and enclosing[-1]["ts"] + enclosing[-1]["dur"] <= event["ts"]:
                enclosing.pop()
            if enclosing and end > enclosing[-1]["ts"] + enclosing[-1]["dur"]:
                overlaps.append((enclosing[-1]["name"], event["name"]))
            enclosing.append(event)
    return overlaps


@pytest.fixture(scope="module")
def loaded(recorded):
    return trace_reader.load(*recorded)


def joined_calls(loaded):
    return [node for _, node in loaded.threads[0].walk() if isinstance(node, Call) and node.segments]


def test_the_chrome_events_of_concurrent_tasks_nest_on_their_thread(loaded):
    assert joined_calls(loaded)
    assert chrome_overlaps(export.to_chrome_trace(loaded)) == []


def test_a_joined_call_is_one_chrome_event_per_segment(loaded):
    events = {}
    for event in export.to_chrome_trace(loaded)["traceEvents"]:
        if event["ph"] == "X":
            events.setdefault(event["args"]["frame_id"], []).append(event)
    for call in joined_calls(loaded):
        count = len(call.segments)
        drawn = [events[segment.frame_id].pop(0) for segment in call.segments]
        assert [event["name"] for event in drawn] == [call.name] * count
        assert [event["args"]["segment"] for event in drawn] == [f"{n} of {count}" for n in range(1, count + 1)]
        assert [event["ts"] for event in drawn] == [round((segment.start - loaded.start) * 1e9) / 1000
                                                   for segment in call.segments]
        assert "arguments" in drawn[0]["args"] and "arguments" not in drawn[-1]["args"]
        ending = "raised" if call.raised is not None else "return_value"
        assert ending in drawn[-1]["args"] and ending not in drawn[0]["args"]
        assert drawn[-1]["args"]["awaited_us"] == pytest.approx(call.awaited * 1e6, abs=0.01)


def test_the_speedscope_file_of_concurrent_tasks_opens_each_segment_where_it_ran(loaded):
    file = export.to_speedscope(loaded)

    assert speedscope_problems(file) == []
    profile = file["profiles"][0]
    # Every segment opens at the time it started, none held back behind another task's.
    expected = Counter((node.name, round((segment.start - loaded.start) * 1e9))
                       for _, node in loaded.threads[0].walk() if isinstance(node, Call)
                       for segment in node.segments or [node])
    opens = [event["at"] for event in profile["events"] if event["type"] == "O"]
    assert Counter(zip(opened_names(file, profile), opens)) == expected


def test_an_async_generator_is_exported_once_per_value_it_yields(loaded):
    (generator,) = [node for _, node in loaded.threads[0].walk()
                    if isinstance(node, Call) and node.name.endswith("numbers")]
    chrome = export.to_chrome_trace(loaded)["traceEvents"]
    drawn = [event for event in chrome if event["name"] == generator.name]
    assert len(drawn) == len(generator.segments) == 7
    assert ["return_value" in event["args"] for event in drawn] == [False] * 6 + [True]
    file = export.to_speedscope(loaded)
    frames = file["shared"]["frames"]
    # Each value is produced inside a step of the loop that asks for it.
    open_names = []
    for event in file["profiles"][0]["events"]:
        if event["type"] == "O":
            if frames[event["frame"]]["name"] == generator.name:
                assert open_names[-1].endswith("collect")
            open_names.append(frames[event["frame"]]["name"])
        else:
            open_names.pop()


def resumed_by_loop_steps(delay):
    """Two steps of an event loop (sync calls), each running one segment of
    a coroutine that makes a call in each; the second segment starts
    ``delay`` seconds after its step."""
    return document([
        call("step", "s1", 1.0), locals_record(call, "job", "j1", 1.1, 3), call("inner", "i1", 1.2),
        ret("inner", "i1", 1.3), locals_record(ret, "job", "j1", 1.4, 5), ret("step", "s1", 1.5),
        call("step", "s2", 1.6), locals_record(call, "job", "j2", 1.6 + delay, 5), call("inner", "i2", 2.2),
        ret("inner", "i2", 2.3), locals_record(ret, "job", "j2", 2.4, 6), ret("step", "s2", 2.5),
    ])


@pytest.mark.parametrize("delay", [0.1, 0.0], ids=["after its step", "with its step"])
def test_speedscope_opens_each_segment_inside_the_call_that_resumed_it(delay):
    loaded = trace_reader.Trace.from_document(resumed_by_loop_steps(delay))
    assert [(node.name, len(node.segments)) for _, node in loaded.threads[0].walk()] == [
        ("app.step", 0), ("app.job", 2), ("app.inner", 0), ("app.inner", 0), ("app.step", 0)]

    file = export.to_speedscope(loaded)

    assert speedscope_problems(file) == []
    frames = file["shared"]["frames"]
    events = [(event["type"], frames[event["frame"]]["name"].removeprefix("app."),
               round(event["at"] / 1e9 + loaded.start - 1.0, 6)) for event in file["profiles"][0]["events"]]
    assert events == [
        ("O", "step", 0.0), ("O", "job", 0.1), ("O", "inner", 0.2), ("C", "inner", 0.3), ("C", "job", 0.4),
        ("C", "step", 0.5),
        ("O", "step", 0.6), ("O", "job", 0.6 + delay), ("O", "inner", 1.2), ("C", "inner", 1.3),
        ("C", "job", 1.4), ("C", "step", 1.5),
    ]
