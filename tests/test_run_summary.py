"""The summary line `zelm run` prints after saving: its counts of records
by kind, threads, cuts and profile hook changes, read natively from the
document's bytes, against the same counts taken from the decoded trace."""

import math
import re
import threading
from types import SimpleNamespace

import msgpack
import pytest
from conftest import run_python, run_python_on_a_terminal

from zelm import trace
from zelm.cli.main import _RecordCounts, _saved_report
from zelm.cli.render import PROFILE_HOOK, hook_summary
from zelm.profiler import Profiler


def frame(event, frame_id, time, **entries):
    return {"type": "frame", "event": event, "frame_id": frame_id, "qualname": "f", "co_name": "f",
            "path": "p.py:1", "timestamp": time, **entries}


def call_and_return(frame_id, time, **entries):
    return [frame("call", frame_id, time, **entries), frame("return", frame_id, time + 1, **entries)]


def hook(change, thread, time=None, **entries):
    record = {"type": PROFILE_HOOK, "change": change, "hook": "other", "thread": thread, **entries}
    return record if time is None else {**record, "timestamp": time}


def cut(dropped, budget):
    return {"type": "trace_cut", "dropped_events": dropped, "budget_bytes": budget, "timestamp": 9.0}


def document(main=(), threads=None, **facts):
    return msgpack.packb({"frames_of_interest": list(main), "frames": threads or {}, "timestamp": 1.0,
                          "meta": {"source": "s"}, **facts})


LOG = {"type": "log_message", "message": "m", "timestamp": 2.0}

CRAFTED = {
    "frames": document(call_and_return("a", 1.0), main_thread_id=1),
    "raised and loose exceptions": document(
        [*call_and_return("a", 1.0), {"type": "exception", "frame_id": "a"},
         {"type": "exception", "frame_id": "gone"}, LOG], main_thread_id=1),
    "plugin records alone": document([LOG, LOG], main_thread_id=1),
    "nothing": document(main_thread_id=1),
    "cut in two threads": document([*call_and_return("a", 1.0), cut(7, 1000)],
                                   {5: [cut(3, 2000), *call_and_return("b", 3.0)]}, main_thread_id=1),
    # threads ordered by their first time: thread 3 before thread 2
    "hook changes in three threads": document(
        [hook("replaced", "MainThread", 5.0)],
        {2: [*call_and_return("b", 3.0), hook("replaced", "w2", 4.0), hook("restored", "w2", 6.0)],
         3: [*call_and_return("c", 1.0), hook("replaced", "w3", 2.0)]}, main_thread_id=1),
    "records naming their threads": document(
        [*call_and_return("a", 4.0, thread_native_id=8), hook("replaced", "t8", 5.0, thread_native_id=8),
         *call_and_return("b", 1.0, thread_native_id=7), hook("replaced", "t7", 2.0, thread_native_id=7)],
        {9: [LOG]}, main_thread_id=1),
    "an untimed thread": document(call_and_return("a", 1.0), {4: [hook("replaced", "t4")], 5: [LOG]},
                                  main_thread_id=1),
    "no main thread id": document([*call_and_return("a", 1.0), hook("replaced", "main", 1.5)],
                                  {6: [hook("restored", "six", 0.5)]}),
    "a first time that is NaN": document([frame("call", "a", math.nan), hook("replaced", "m", 1.0)],
                                         {2: [hook("replaced", "w", 0.5)]}, main_thread_id=1),
    "records the reader leaves to Python": document(
        [[1, 2], {1: "key that is no text", **frame("call", "a", 1.0)}, frame("return", "a", 2.0, qualname=5),
         {"type": 7, "timestamp": 3.0}, hook("replaced", "slow", 4.0, frame_id=b"bytes")], main_thread_id=1),
    "record arrays in another order": msgpack.packb(
        {"main_thread_id": 1, "frames": {3: [hook("replaced", "w", 2.0)]},
         "frames_of_interest": [*call_and_return("a", 1.0), hook("replaced", "m", 3.0)]}),
}


def decoded_counts(document):
    """What the summary counts, taken from the trace as the reader decodes it."""
    loaded = trace.Trace.from_bytes(document)
    types = [record.get("type") for thread in loaded.threads for record in thread.records]
    hooks = [node.record for thread in loaded.threads for _, node in thread.walk()
             if isinstance(node, trace.PluginRecord) and node.type == PROFILE_HOOK]
    frames, exceptions = types.count("frame"), types.count("exception")
    plugins = len(types) - frames - exceptions - types.count(trace.TRACE_CUT) - len(hooks)
    return frames, exceptions, plugins, len(loaded.threads), hooks, [vars(cut) for cut in loaded.cuts]


def native_counts(document):
    counts = _RecordCounts.of(document)
    return (counts.frames, counts.exceptions, counts.plugins, counts.threads,
            [change.record for change in counts.hook_changes], [vars(cut) for cut in counts.cuts])


def work(number):
    if number % 3 == 0:
        raise ValueError(number)
    return number


def program():
    """Frames, raised exceptions, plugin records and a thread that takes the
    profile hook from zelm and hands it back."""
    import logging
    import sys

    def in_a_thread():
        saved = sys.getprofile()
        sys.setprofile(None)
        work(1)
        sys.setprofile(saved)
        [work(1) for _ in range(3)]

    for number in range(10):
        try:
            work(number)
        except ValueError:
            logging.getLogger("zelm.test").warning("bad %s", number)
    worker = threading.Thread(target=in_a_thread, name="worker")
    worker.start()
    worker.join()


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    """Documents of runs: one as above, one cut by its budget."""
    documents = {}
    for name, config in (("recorded", {"threading": True}), ("recorded and cut", {"trace_budget_bytes": 2000})):
        profiler = Profiler(config=config, db_path=str(tmp_path_factory.mktemp("db") / "t.sqlite3"))
        with profiler:
            program()
        documents[name] = profiler.build_trace()
    return documents


@pytest.fixture(params=[*CRAFTED, "recorded", "recorded and cut"])
def any_document(request):
    if request.param in CRAFTED:
        return CRAFTED[request.param]
    return request.getfixturevalue("recorded")[request.param]


def test_the_native_counts_are_those_of_the_decoded_trace(any_document):
    assert native_counts(any_document) == decoded_counts(any_document)


def test_the_hook_changes_are_read_in_the_trees_thread_order():
    counts = _RecordCounts.of(CRAFTED["hook changes in three threads"])

    assert hook_summary(counts.hook_changes) == (
        "another profile function took the place of zelm's (sys.setprofile; cProfile before Python 3.12): "
        "threads MainThread, w3 recorded nothing after that; thread w2 recorded nothing until it was handed back")


@pytest.mark.parametrize("save_seconds, ending", [
    (0.0, "in t.sqlite3"),
    (0.99, "in t.sqlite3"),
    (1.5, "in t.sqlite3; saving took 1.500 s"),
])
def test_a_long_save_is_timed_in_the_summary_line(save_seconds, ending):
    profiler = SimpleNamespace(trace_id="trc_x")

    [line] = _saved_report(profiler, CRAFTED["frames"], "t.sqlite3", save_seconds=save_seconds)

    assert line.endswith(f"from 1 thread {ending}")


# The zelm command line with its progress lines shown from the start of the work.
SHOWN_AT_ONCE = """\
import sys
from zelm.cli import commands, main
main._SAVE_PROGRESS_AFTER = commands._EXPORT_PROGRESS_AFTER = 0.0
sys.exit(main.main(sys.argv[1:]))
"""


@pytest.fixture(scope="module")
def stored_run(tmp_path_factory):
    directory = tmp_path_factory.mktemp("progress")
    (directory / "prog.py").write_text("def work(n):\n    return n\n\nfor n in range(2000):\n    work(n)\n")
    result = run_python("-m", "zelm", "run", "--db", "t.sqlite3", "prog.py", cwd=directory)
    assert result.returncode == 0, result.stderr
    return directory


@pytest.mark.parametrize("command, shown", [
    (["run", "--db", "t.sqlite3", "prog.py"], r"zelm: saving trace trc_\w+ \.\.\. \d+%"),
    (["export", "latest", "--db", "t.sqlite3", "--format", "chrome", "-o", "out.json"],
     r"zelm: exporting trace latest as chrome \.\.\. \d+ s"),
])
@pytest.mark.parametrize("terminal", [True, False], ids=["terminal", "pipe"])
def test_progress_is_drawn_on_a_terminal_only(stored_run, command, shown, terminal):
    if terminal:
        status, stderr = run_python_on_a_terminal("-c", SHOWN_AT_ONCE, *command, cwd=stored_run)
    else:
        result = run_python("-c", SHOWN_AT_ONCE, *command, cwd=stored_run)
        status, stderr = result.returncode, result.stderr

    assert status == 0, stderr
    drawn = re.findall(rf"\r{shown} *", stderr)
    if not terminal:
        assert drawn == [] and "\r" not in stderr
        return
    assert drawn
    # cleared before the line that ends the command, which starts a line of its own
    last = stderr.rindex(drawn[-1]) + len(drawn[-1])
    assert re.match(rf"\r {{{len(drawn[-1]) - 1}}}\rzelm: (saved|wrote) ", stderr[last:])
