"""Record batches filed per thread, and the "start_test" / "end_test" markers
that cut the stream into one trace per test."""

import re
import threading
import types

import msgpack
import pytest

from conftest import decode, echo, plugin_definition

TRACE_ID = re.compile(r"trc_[0-9A-HJKMNP-TV-Z]{26}")

# Compiled as exec'd code, which is never recorded as a frame: an event of
# `marks` yields plugin records only.
_exec_namespace = {}
exec(compile("def marks():\n    return 'marked'\n", "<string>", "exec"), _exec_namespace)
marks = _exec_namespace["marks"]


def finish():
    return threading.get_native_id()


def begin():
    return "begun"


def kinds(records):
    """Each record as its type, with the event and argument of frame records."""
    return [(r["type"], r["event"], r["arg"]) if r["type"] == "frame" else r["type"] for r in records]


def frame(event, arg=None):
    return ("frame", event, arg)


# ---- order within a batch --------------------------------------------------------


@pytest.mark.parametrize("plugin_count", [1, 2])
def test_return_batch_is_filed_in_reverse(profile, plugin_definitions, plugin_count):
    plugin_definitions(*[plugin_definition("echo", call_type=f"call_{i}", return_type=f"return_{i}")
                         for i in range(plugin_count)])
    doc, _ = profile(lambda: echo("x"))
    records = [r for r in doc["frames_of_interest"] if r.get("co_name") != "<lambda>"]
    assert kinds(records) == (
        [f"call_{i}" for i in range(plugin_count)]
        + [frame("call"), frame("return", "x")]
        + [f"return_{i}" for i in reversed(range(plugin_count))]
    )


# ---- test markers ------------------------------------------------------------------


def test_markers_are_ordinary_records_without_one_trace_per_test(profile, plugin_definitions, saved_traces):
    plugin_definitions(plugin_definition("marks", call_type="start_test", return_type="end_test"))
    doc, host = profile(lambda: (echo(1), marks(), echo(2)))
    assert kinds(doc["frames_of_interest"]) == [
        frame("call"), frame("call"), frame("return", 1), "start_test", "end_test",
        frame("call"), frame("return", 2), frame("return", (1, "marked", 2)),
    ]
    assert saved_traces == []
    assert doc["trace_id"] == host.trace_id


def run_finish():
    echo("before")
    finish()
    echo("after")


def test_end_test_on_return_saves_the_trace_it_closes(profile, plugin_definitions, saved_traces):
    plugin_definitions(plugin_definition("finish", return_type="end_test", events=["return"]))
    doc, host = profile(run_finish, one_trace_per_test=True)

    [(args, kwargs)] = saved_traces
    assert args == (host.db_path, host.trace_id)
    saved = decode(kwargs["msgpack"])
    # the return batch ["end_test", "frame"] is filed reversed: the marker closes the trace
    assert kinds(saved["frames_of_interest"]) == [
        frame("call"), frame("call"), frame("return", "before"),
        frame("call"), frame("return", threading.get_native_id()), "end_test",
    ]
    assert kinds(doc["frames_of_interest"]) == [frame("call"), frame("return", "after"), frame("return")]
    assert saved["trace_id"] == doc["trace_id"] == host.trace_id
    assert saved["timestamp"] == doc["timestamp"]


def test_start_test_on_call_opens_a_new_trace(profile, plugin_definitions, saved_traces):
    plugin_definitions(plugin_definition("begin", call_type="start_test", events=["call"]))
    doc, host = profile(lambda: (echo("dropped"), begin(), echo("kept")), one_trace_per_test=True)

    assert saved_traces == []
    # nothing before the marker survives; the marker, then the frame, open the trace
    assert kinds(doc["frames_of_interest"]) == [
        "start_test", frame("call"), frame("return", "begun"),
        frame("call"), frame("return", "kept"), frame("return", ("dropped", "begun", "kept")),
    ]
    assert TRACE_ID.fullmatch(doc["trace_id"]) and doc["trace_id"] != host.trace_id


FIVE_MARKS = ["a", "end_test", "b", "start_test", "c"]


def run_marks():
    echo("first")
    marks()
    echo("second")


def test_several_markers_in_one_batch(profile, plugin_definitions, saved_traces):
    plugin_definitions(*[plugin_definition("marks", call_type=kind, events=["call"]) for kind in FIVE_MARKS])
    doc, host = profile(run_marks, one_trace_per_test=True)

    [(args, kwargs)] = saved_traces
    saved = decode(kwargs["msgpack"])
    assert kinds(saved["frames_of_interest"]) == [
        frame("call"), frame("call"), frame("return", "first"), "a", "end_test",
    ]
    assert saved["trace_id"] == host.trace_id == args[1]
    # "b" was filed into the closed trace's buffers and dropped with them
    assert kinds(doc["frames_of_interest"]) == [
        "start_test", "c", frame("call"), frame("return", "second"), frame("return"),
    ]
    assert TRACE_ID.fullmatch(doc["trace_id"]) and doc["trace_id"] != host.trace_id


def test_failing_save_at_end_test_keeps_records_and_trace_id(
        profile, plugin_definitions, saved_traces, zelm_warnings):
    plugin_definitions(*[plugin_definition("marks", call_type=kind, events=["call"]) for kind in FIVE_MARKS])
    saved_traces.error = RuntimeError("disk full")
    doc, host = profile(run_marks, one_trace_per_test=True)

    assert len(saved_traces) == 1
    [warning] = zelm_warnings()
    assert warning.exc_info[1] is saved_traces.error
    assert warning.args[1:3] == ("marks", "call")
    # what the failed save took went back; the rest of the batch was dropped
    assert kinds(doc["frames_of_interest"]) == [
        frame("call"), frame("call"), frame("return", "first"), "a", "end_test",
        frame("call"), frame("return", "second"), frame("return"),
    ]
    assert doc["trace_id"] == host.trace_id


def test_end_test_on_another_thread_leaves_its_entry_empty(native, make_host, plugin_definitions, saved_traces):
    plugin_definitions(plugin_definition("finish", return_type="end_test", events=["return"]))
    host = make_host(config={"threading": True}, one_trace_per_test=True)
    native.register_profiler(host)
    thread = threading.Thread(target=finish)
    thread.start()
    thread.join()
    native.register_noop_profiler()
    threading.setprofile(None)

    [(_, kwargs)] = saved_traces
    saved = decode(kwargs["msgpack"])
    [(worker_id, records)] = saved["frames"].items()
    assert kinds(records) == [frame("call"), frame("return", worker_id), "end_test"]
    document = host.rust_profiler.build_trace()
    assert decode(document)["frames"] == {worker_id: []}
    assert b"\xa6frames\x81" + msgpack.packb(worker_id) + b"\x90\xb2frames_of_interest" in document


# ---- one buffer per thread ---------------------------------------------------------


def run_in_thread(name, target, *args):
    thread = threading.Thread(target=target, args=args, name=name)
    thread.start()
    thread.join()


def main_and_two_threads(native, host, worker):
    """Records echo("main-1"), thread "one", echo("main-2"), thread "two"."""
    native.register_profiler(host)
    echo("main-1")
    run_in_thread("one", worker, "one")
    echo("main-2")
    run_in_thread("two", worker, "two")
    native.register_noop_profiler()


@pytest.mark.parametrize("main_known", [True, False], ids=["main-thread-known", "main-thread-unknown"])
def test_threads_get_buffers_keyed_by_native_id(native, make_host, monkeypatch, main_known):
    if not main_known:
        monkeypatch.setattr(threading, "main_thread", lambda: types.SimpleNamespace(native_id=None))
    host = make_host(config={"threading": True})
    worker_ids = {}

    def worker(label):
        worker_ids[label] = threading.get_native_id()
        echo(label)

    main_and_two_threads(native, host, worker)
    threading.setprofile(None)

    doc = decode(host.rust_profiler.build_trace())
    main_id = threading.get_native_id()
    expected_frames = {worker_ids["one"]: "one", worker_ids["two"]: "two"}
    if main_known:
        assert doc["main_thread_id"] == main_id
        main_records = doc["frames_of_interest"]
    else:
        assert doc["main_thread_id"] is None
        assert doc["frames_of_interest"] == []
        main_records = doc["frames"][main_id]
        expected_frames[main_id] = "MainThread"
    assert set(doc["frames"]) == set(expected_frames)
    for thread_id, name in expected_frames.items():
        assert {(r["thread"], r["thread_native_id"]) for r in doc["frames"][thread_id]} == {(name, thread_id)}
    for label in ("one", "two"):
        assert [r["arg"] for r in doc["frames"][worker_ids[label]] if r["co_name"] == "echo"] == [None, label]
    assert [r["arg"] for r in main_records if r["co_name"] == "echo" and r["event"] == "return"] == [
        "main-1", "main-2",
    ]


def test_without_threading_every_thread_shares_one_buffer_in_arrival_order(native, make_host):
    host = make_host(config={"threading": False})

    def worker(label):
        host.rust_profiler.register_threading_profiler(None, None, None)
        echo(label)

    main_and_two_threads(native, host, worker)

    doc = decode(host.rust_profiler.build_trace())
    assert doc["frames"] == {}
    assert [(r["thread"], r["arg"]) for r in doc["frames_of_interest"]
            if r["co_name"] == "echo" and r["event"] == "return"] == [
        ("MainThread", "main-1"), ("one", "one"), ("MainThread", "main-2"), ("two", "two"),
    ]


# Renames its thread before any recorded event of that thread.
exec(compile(
    "def renaming_trampoline(function):\n"
    "    import threading\n"
    "    threading.current_thread().name = 'renamed'\n"
    "    function('from the thread')\n",
    "<string>", "exec"), _exec_namespace)


def test_thread_identity_is_taken_at_the_first_record_not_the_first_event(native, make_host):
    host = make_host(config={"threading": True})
    native.register_profiler(host)
    run_in_thread("original", _exec_namespace["renaming_trampoline"], echo)
    native.register_noop_profiler()
    threading.setprofile(None)

    doc = decode(host.rust_profiler.build_trace())
    [records] = doc["frames"].values()
    assert [(r["thread"], r["event"]) for r in records] == [("renamed", "call"), ("renamed", "return")]


class ThreadWithoutNativeId(threading.Thread):
    @property
    def native_id(self):
        raise AttributeError("native_id")


# Clears its thread's native id before any recorded event of that thread.
exec(compile(
    "def forgetting_trampoline(function):\n"
    "    import threading\n"
    "    threading.current_thread()._native_id = None\n"
    "    function('from the thread')\n",
    "<string>", "exec"), _exec_namespace)


@pytest.mark.parametrize("thread_class, target, args", [
    (ThreadWithoutNativeId, echo, ("from the thread",)),
    (threading.Thread, _exec_namespace["forgetting_trampoline"], (echo,)),
], ids=["no-native-id-attribute", "native-id-none"])
def test_thread_without_native_id_shares_the_main_buffer(native, make_host, thread_class, target, args):
    host = make_host(config={"threading": True})
    native.register_profiler(host)
    echo("from main")
    thread = thread_class(target=target, args=args, name="anonymous")
    thread.start()
    thread.join()
    native.register_noop_profiler()
    threading.setprofile(None)

    doc = decode(host.rust_profiler.build_trace())
    assert doc["frames"] == {}
    assert [(r["thread"], r["thread_native_id"], r["arg"]) for r in doc["frames_of_interest"]
            if r["co_name"] == "echo" and r["event"] == "return"] == [
        ("MainThread", threading.get_native_id(), "from main"), ("anonymous", None, "from the thread"),
    ]


# ---- one profiler, several traces in a row --------------------------------------------


def padded_echo(value, padding):
    return value


def calls_with_padding(count, padding):
    for number in range(count):
        padded_echo(number, padding)


def worker_calls(count, padding):
    run_in_thread("worker", calls_with_padding, count, padding)


def stable_parts(records):
    """The records without what differs from run to run (times, frame ids)."""
    return [{key: value for key, value in record.items()
             if key not in ("timestamp", "frame_id", "user_code_call_site", "thread_native_id")}
            for record in records]


def test_traces_built_one_after_another_record_the_same(native, make_host):
    # Each large trace fills several megabytes of records per buffer, which
    # live in memory the next trace of the same profiler takes over; a small
    # trace in between takes little of it. Every trace holds exactly its own
    # records.
    host = make_host(config={"threading": True})
    native.register_profiler(host)
    documents = []
    for count in (3000, 10, 3000, 3000):
        calls_with_padding(count, "x" * 2000)
        worker_calls(count, "y" * 2000)
        documents.append(decode(host.rust_profiler.build_trace()))
    native.register_noop_profiler()
    threading.setprofile(None)

    def echoes(records):
        return stable_parts(r for r in records if r["co_name"] == "padded_echo")

    for count, document in zip((3000, 10, 3000, 3000), documents):
        [worker] = document["frames"].values()
        assert [r["arg"] for r in echoes(worker) if r["event"] == "return"] == list(range(count))
        assert [r["arg"] for r in echoes(document["frames_of_interest"]) if r["event"] == "return"] == list(
            range(count))
    first, _, *later = documents
    for document in later:
        assert echoes(document["frames_of_interest"]) == echoes(first["frames_of_interest"])
        assert echoes(*document["frames"].values()) == echoes(*first["frames"].values())
