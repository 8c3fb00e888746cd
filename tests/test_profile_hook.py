"""The profile hook changing hands: another profile function taking zelm's
place on a thread (sys.setprofile, threading.setprofile, cProfile before
3.12) is noted in that thread's records, and the profiler object that
sys.getprofile() gave, handed back, takes the thread up again."""

import sys
import threading

import pytest
from conftest import decode, echo, frame_records, plugin_records, run_pytest, run_python, write_files

from zelm import store, trace

NEEDS_ALL_THREADS_SETTER = pytest.mark.skipif(sys.version_info < (3, 12),
                                              reason="threading.setprofile_all_threads came with 3.12")
# cProfile takes the profile hook before 3.12; from 3.12 on it watches sys.monitoring events beside it.
CPROFILE_TAKES_THE_HOOK = sys.version_info < (3, 12)


def other_profiler(frame, event, arg):
    pass


def hook_changes(doc):
    return [(record["change"], record["hook"], record["thread"]) for record in plugin_records(doc, "profile_hook")]


def echoed(doc):
    """The values echo() returned in the trace, in order."""
    return [record["arg"] for record in frame_records(doc, "echo") if record["event"] == "return"]


def main_thread_story(doc):
    """The main thread's echoed values and hook changes, in their order."""
    return [record["arg"] if record["type"] == "frame" else record["change"] for record in doc["frames_of_interest"]
            if record["type"] == "profile_hook" or (record.get("co_name") == "echo" and record["event"] == "return")]


def run_in_thread(target, *args, name="worker"):
    thread = threading.Thread(target=target, args=args, name=name)
    thread.start()
    thread.join()


def hand_back_to_all_threads(saved):
    threading.setprofile_all_threads(saved)
    threading.setprofile(None)  # only the threads running now


@pytest.mark.parametrize("replacement", [None, other_profiler])
@pytest.mark.parametrize("hand_back", [sys.setprofile, pytest.param(hand_back_to_all_threads,
                                                                    marks=NEEDS_ALL_THREADS_SETTER)])
def test_the_saved_hook_handed_back_takes_the_thread_up_again(native, make_host, replacement, hand_back):
    host = make_host()
    native.register_profiler(host)
    try:
        saved = sys.getprofile()
        echo("before")
        sys.setprofile(replacement)
        echo("while replaced")
        hand_back(saved)
        echo("after")
        saved_again = sys.getprofile()
        sys.setprofile(replacement)
        hand_back(saved_again)
        echo("again")
    finally:
        native.register_noop_profiler()
    doc = decode(host.rust_profiler.build_trace())

    assert saved_again is saved
    assert main_thread_story(doc) == ["before", "restored", "after", "restored", "again"]
    assert set(hook_changes(doc)) == {("restored", None, "MainThread")}


def recorded_with_threads(native, make_host, run):
    """The trace of run(), recorded with config "threading" on."""
    host = make_host(config={"threading": True})
    native.register_profiler(host)
    try:
        run()
    finally:
        native.register_noop_profiler()
        threading.setprofile(None)
    return decode(host.rust_profiler.build_trace())


def test_a_thread_hands_its_saved_hook_back(native, make_host):
    def worker():
        saved = sys.getprofile()
        sys.setprofile(other_profiler)
        echo("while replaced")
        sys.setprofile(saved)
        echo("after")

    doc = recorded_with_threads(native, make_host, lambda: run_in_thread(worker))

    assert echoed(doc) == ["after"]
    assert hook_changes(doc) == [("restored", None, "worker")]


@pytest.mark.parametrize("saved_from", [threading.getprofile, sys.getprofile])
def test_threads_started_after_the_threading_hook_is_handed_back_are_recorded(native, make_host, saved_from):
    def run():
        saved = saved_from()
        threading.setprofile(other_profiler)
        run_in_thread(echo, "unseen")
        threading.setprofile(saved)
        run_in_thread(echo, "seen")

    doc = recorded_with_threads(native, make_host, run)

    assert echoed(doc) == ["seen"]
    # The unseen thread never had zelm's hook to lose.
    assert hook_changes(doc) == []


@pytest.mark.parametrize("replacement, named", [(None, None), (other_profiler, "other_profiler")])
def test_a_replaced_hook_is_noted_at_every_build_until_handed_back(native, make_host, replacement, named):
    host = make_host()
    native.register_profiler(host)
    try:
        saved = sys.getprofile()
        echo("before")
        sys.setprofile(replacement)
        echo("while replaced")
        first = decode(host.rust_profiler.build_trace())
        second = decode(host.rust_profiler.build_trace())
        sys.setprofile(saved)
        echo("after")
        third = decode(host.rust_profiler.build_trace())
    finally:
        native.register_noop_profiler()

    assert main_thread_story(first) == ["before", "replaced"]
    assert hook_changes(first) == hook_changes(second) == [("replaced", named, "MainThread")]
    assert main_thread_story(third) == ["restored", "after"]


def test_a_thread_that_ends_with_its_hook_replaced_says_so(native, make_host):
    def worker():
        echo("before")
        sys.setprofile(None)
        echo("while replaced")

    doc = recorded_with_threads(native, make_host, lambda: run_in_thread(worker))

    assert echoed(doc) == ["before"]
    assert hook_changes(doc) == [("replaced", None, "worker")]


def test_a_hook_handed_back_after_zelm_let_go_of_the_thread_stays_off(native, make_host):
    host = make_host()
    native.register_profiler(host)
    saved = sys.getprofile()
    echo("before")
    native.register_noop_profiler()
    sys.setprofile(saved)
    echo("after the stop")
    hook_after = sys.getprofile()
    doc = decode(host.rust_profiler.build_trace())

    assert hook_after is None
    assert echoed(doc) == ["before"]
    assert hook_changes(doc) == []


# ---- zelm run --------------------------------------------------------------------

HANDING_BACK = """\
import sys
import threading


def quiet(frame, event, arg):
    pass


def work(label):
    return label


def on_main_thread():
    saved = sys.getprofile()
    sys.setprofile(quiet)
    work("while replaced")
    sys.setprofile(saved)


def in_a_thread():
    saved = sys.getprofile()
    sys.setprofile(quiet)
    work("while replaced")
    sys.setprofile(saved)
    work("worker after")


def new_threads():
    saved = sys.getprofile()
    threading.setprofile(quiet)
    threading.setprofile(saved)
    thread = threading.Thread(target=work, args=("new thread",), name="newcomer")
    thread.start()
    thread.join()


def run_in_thread(target):
    thread = threading.Thread(target=target, name="worker")
    thread.start()
    thread.join()


{call}
print(work("after"))
"""

REPLACING = {
    "cprofile": """\
        import cProfile


        def work(n):
            return sum(range(n))


        def after():
            return "after"


        profile = cProfile.Profile()
        print("profiled", profile.runcall(work, 10))
        print(after())
        """,
    "setprofile_none": """\
        import sys


        def after():
            return "after"


        print("profiled", 45)
        sys.setprofile(None)
        print(after())
        """,
}

HOOK_LINE = "zelm: another profile function took the place of zelm's (sys.setprofile; cProfile before Python 3.12): "


def run_zelm(tmp_path, program):
    write_files(tmp_path, {"prog.py": program})
    result = run_python("-m", "zelm", "run", "--db", "t.sqlite3", "prog.py", cwd=tmp_path, timeout=120)
    trace_id = result.stderr.splitlines()[-1].split()[3].rstrip(":")
    return result, trace.load(tmp_path / "t.sqlite3", trace_id)


def called(loaded):
    return {(thread.name, node.name) for thread in loaded.threads for _, node in thread.walk()
            if isinstance(node, trace.Call)}


def hook_records(loaded):
    return [(thread.name, node.record["change"]) for thread in loaded.threads for _, node in thread.walk()
            if isinstance(node, trace.PluginRecord) and node.type == "profile_hook"]


@pytest.mark.parametrize("call, thread, recorded_after", [
    ("on_main_thread()", "MainThread", ("MainThread", "__main__.work")),
    ("run_in_thread(in_a_thread)", "worker", ("worker", "__main__.work")),
    ("new_threads()", None, ("newcomer", "__main__.work")),
])
def test_zelm_run_keeps_a_program_that_hands_the_hook_back(tmp_path, call, thread, recorded_after):
    result, loaded = run_zelm(tmp_path, HANDING_BACK.format(call=call))

    assert (result.returncode, result.stdout) == (0, "after\n"), result.stderr
    assert recorded_after in called(loaded)
    if thread is None:
        assert hook_records(loaded) == [] and HOOK_LINE not in result.stderr
    else:
        assert hook_records(loaded) == [(thread, "restored")]
        assert result.stderr.splitlines()[-2] == HOOK_LINE + f"thread {thread} recorded nothing until it was handed back"


@pytest.mark.parametrize("program", sorted(REPLACING))
def test_zelm_run_says_when_the_program_took_the_hook(tmp_path, program):
    result, loaded = run_zelm(tmp_path, REPLACING[program])

    assert (result.returncode, result.stdout) == (0, "profiled 45\nafter\n"), result.stderr
    taken = program == "setprofile_none" or CPROFILE_TAKES_THE_HOOK
    assert (("MainThread", "__main__.after") in called(loaded)) is not taken
    assert hook_records(loaded) == ([("MainThread", "replaced")] if taken else [])
    lines = result.stderr.splitlines()
    if taken:
        assert lines[:-1] == [HOOK_LINE + "thread MainThread recorded nothing after that"]
    else:
        assert lines[:-1] == []


PYTEST_SUITE = """\
import sys


def double(number):
    return 2 * number


def test_hands_the_hook_back():
    saved = sys.getprofile()
    sys.setprofile(None)
    sys.setprofile(saved)
    assert double(2) == 4


def test_after():
    assert double(3) == 6
"""


# The first test takes the hook and never hands it back.
PYTEST_SUITE_KEEPING_THE_HOOK = PYTEST_SUITE.replace("    sys.setprofile(saved)\n", "")


@pytest.mark.parametrize("suite", [PYTEST_SUITE, PYTEST_SUITE_KEEPING_THE_HOOK], ids=["handed-back", "kept"])
def test_pytest_zelm_records_a_test_that_takes_the_hook_and_the_tests_after_it(tmp_path, suite):
    write_files(tmp_path, {"test_suite.py": suite})
    result = run_pytest(tmp_path, "--zelm", "--zelm-db", "t.sqlite3", "-q")

    assert result.returncode == 0, result.stdout + result.stderr
    traces = {}
    for entry in store.list_traces(tmp_path / "t.sqlite3"):
        assert entry.test["outcome"] == "passed"
        traces[entry.test["nodeid"].split("::")[1]] = trace.load(tmp_path / "t.sqlite3", entry.trace_id)
    assert set(traces) == {"test_hands_the_hook_back", "test_after"}
    # Each test's trace has its own outcome (above) and start; the test
    # after it is recorded whole. A hook kept past its test's teardown is
    # handed back there, before the test's end is recorded.
    for loaded in traces.values():
        assert loaded.threads[0].roots[0].type == "start_test"
    start, *_, end = traces["test_after"].threads[0].roots
    assert end.type == "end_test"
    assert ("MainThread", "test_suite.double") in called(traces["test_after"])
    assert (("MainThread", "test_suite.double") in called(traces["test_hands_the_hook_back"])) == (suite is PYTEST_SUITE)
    assert hook_records(traces["test_hands_the_hook_back"]) == [("MainThread", "restored")]
    assert hook_records(traces["test_after"]) == []
