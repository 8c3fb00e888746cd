"""zelm.trace on hand-made trace documents: pairing, call trees, plugin
records in place, cut and odd records, loading, exports."""

import json
import math
import sqlite3

import msgpack
import pytest
from conftest import pack_with_raw, raw_slot

from zelm import export, trace
from zelm.serialize.values import Repr
from zelm.store import save_trace_in_sqlite
from zelm.trace import Call, PluginRecord, Trace

MAIN = 100
WORKER = 200
TRACE_ID = "trc_01HZX3Q5R8W6N2K9F4T7B1C0DE"


def frame(event, name, frame_id, timestamp, *, thread=MAIN, thread_name=None, locals_=None, arg=None):
    """A frame record with the 12 keys the native profiler writes."""
    return {
        "path": f"app.py:{len(name)}",
        "co_name": name,
        "qualname": f"app.{name}",
        "event": event,
        "frame_id": frame_id,
        "arg": arg,
        "locals": {} if locals_ is None else locals_,
        "thread": thread_name or ("MainThread" if thread == MAIN else f"worker-{thread}"),
        "thread_native_id": thread,
        "timestamp": timestamp,
        "type": "frame",
        "user_code_call_site": None,
    }


def call(name, frame_id, timestamp, **kwargs):
    return frame("call", name, frame_id, timestamp, **kwargs)


def ret(name, frame_id, timestamp, **kwargs):
    return frame("return", name, frame_id, timestamp, **kwargs)


def plugin(record_type, timestamp, *, thread=MAIN, **data):
    return {
        "frame_id": "frm_plugin",
        "timestamp": timestamp,
        "thread": "MainThread" if thread == MAIN else f"worker-{thread}",
        "thread_native_id": thread,
        "user_code_call_site": None,
        "type": record_type,
        **data,
    }


def document(main_records=(), thread_records=None, *, timestamp=1.0, main_thread_id=MAIN, trace_id=TRACE_ID):
    return {
        "command_line_args": ["app.py", "--fast"],
        "current_commit_sha": None,
        "frames": {} if thread_records is None else thread_records,
        "frames_of_interest": list(main_records),
        "main_thread_id": main_thread_id,
        "meta": {"version": "0.1.0", "source": "tests", "use_frame_boundaries": True},
        "timestamp": timestamp,
        "trace_id": trace_id,
    }


def tree(nodes):
    """A compact picture of a tree: calls as (name, [children]), plugin
    records as their type."""
    return [
        (node.name, tree(node.children)) if isinstance(node, Call) else node.type
        for node in nodes
    ]


def load_document(doc):
    return Trace.from_bytes(msgpack.packb(doc))


def test_calls_pair_by_frame_id_into_a_tree_with_values_and_times():
    doc = document([
        call("main", "frm_a", 2.0),
        call("add", "frm_b", 3.0, locals_={"x": 1, "y": 2}),
        ret("add", "frm_b", 4.0, locals_={"x": 1, "y": 2}, arg=3),
        call("add", "frm_c", 5.0, locals_={"x": 3, "y": 4}),
        ret("add", "frm_c", 5.5, arg=7),
        ret("main", "frm_a", 9.0),
    ])

    loaded = load_document(doc)

    (thread,) = loaded.threads
    assert (thread.thread_id, thread.name) == (MAIN, "MainThread")
    assert tree(thread.roots) == [("app.main", [("app.add", []), ("app.add", [])])]
    main = thread.roots[0]
    first, second = main.children
    assert (main.start, main.end, main.duration) == (2.0, 9.0, 7.0)
    assert (first.start, first.end, first.arguments, first.return_value) == (3.0, 4.0, {"x": 1, "y": 2}, 3)
    assert (second.duration, second.return_value, second.location) == (0.5, 7, "app.py:3")
    assert all(node.finished for node in (main, first, second))
    assert (loaded.trace_id, loaded.source, loaded.version) == (TRACE_ID, "tests", "0.1.0")
    assert loaded.command_line_args == ["app.py", "--fast"]
    assert (loaded.record_count, loaded.frame_record_count) == (6, 6)


def test_plugin_records_sit_where_they_were_written():
    doc = document([
        plugin("start_test", 1.5, nodeid="t.py::test"),
        call("handler", "frm_a", 2.0),
        plugin("log_message", 2.5, level="INFO", message="hello"),
        call("fetch", "frm_b", 3.0),
        plugin("outbound_request", 3.1, method="GET", url="http://x"),
        ret("fetch", "frm_b", 3.5),
        plugin("outbound_response", 3.4, status=200),  # written after the frame's return record
        ret("handler", "frm_a", 4.0),
        plugin("end_test", 4.5, nodeid="t.py::test"),
    ])

    roots = load_document(doc).threads[0].roots

    assert tree(roots) == [
        "start_test",
        ("app.handler", ["log_message", ("app.fetch", ["outbound_request"]), "outbound_response"]),
        "end_test",
    ]
    log = roots[1].children[0]
    assert isinstance(log, PluginRecord)
    assert (log.timestamp, log.data) == (2.5, {"level": "INFO", "message": "hello"})


def test_cut_document_closes_open_calls_at_the_last_timestamp():
    doc = document(
        [call("main", "frm_a", 2.0), call("loop", "frm_b", 3.0), call("step", "frm_c", 4.0), ret("step", "frm_c", 5.0)],
        {WORKER: [call("work", "frm_w", 2.5, thread=WORKER), ret("work", "frm_w", 7.0, thread=WORKER)]},
    )

    loaded = load_document(doc)

    main = loaded.threads[0].roots[0]
    loop = main.children[0]
    step = loop.children[0]
    assert loaded.end == 7.0
    assert (main.finished, loop.finished, step.finished) == (False, False, True)
    assert (main.end, loop.end, step.end) == (7.0, 7.0, 5.0)
    assert main.return_value is None


def test_returns_without_their_call_enclose_what_came_before():
    # The profiler was started inside outer() -> inner(): their returns come
    # with a nil frame id, after the calls recorded inside them.
    doc = document([
        plugin("log_message", 1.5, message="early"),
        call("helper", "frm_a", 2.0),
        ret("helper", "frm_a", 3.0, arg="ok"),
        ret("inner", None, 4.0, arg=1),
        call("later", "frm_b", 5.0),
        ret("later", "frm_b", 6.0),
        ret("outer", None, 7.0, arg=2),
    ])

    roots = load_document(doc).threads[0].roots

    assert tree(roots) == [("app.outer", [("app.inner", ["log_message", ("app.helper", [])]), ("app.later", [])])]
    outer = roots[0]
    inner = outer.children[0]
    assert (outer.call_record, inner.call_record) == (None, None)
    assert (outer.finished, outer.return_value, inner.return_value) == (True, 2, 1)
    assert inner.arguments is None
    assert outer.start == inner.start == 1.5  # the thread's first record
    assert (inner.end, outer.end) == (4.0, 7.0)


def test_return_of_an_outer_call_closes_the_calls_that_lost_their_returns():
    doc = document([
        call("outer", "frm_a", 1.0),
        call("lost", "frm_b", 2.0),
        call("lost_too", "frm_c", 3.0),
        ret("outer", "frm_a", 4.0, arg="done"),
        ret("stranger", "frm_unknown", 5.0),
    ])

    roots = load_document(doc).threads[0].roots

    assert tree(roots) == [("app.stranger", [("app.outer", [("app.lost", [("app.lost_too", [])])])])]
    outer = roots[0].children[0]
    lost = outer.children[0]
    assert (outer.finished, outer.return_value, outer.end) == (True, "done", 4.0)
    assert (lost.finished, lost.end, lost.children[0].end) == (False, 4.0, 4.0)


def test_records_are_split_by_their_own_thread_with_the_main_thread_first():
    # With threading off every thread's records share "frames_of_interest".
    doc = document([
        call("spawn", "frm_w1", 2.0, thread=WORKER),
        call("main", "frm_m", 3.0),
        ret("spawn", "frm_w1", 4.0, thread=WORKER),
        ret("main", "frm_m", 5.0),
        plugin("log_message", 4.5, thread=WORKER),
    ])

    loaded = load_document(doc)

    assert [(thread.thread_id, thread.name) for thread in loaded.threads] == [
        (MAIN, "MainThread"), (WORKER, f"worker-{WORKER}"),
    ]
    assert tree(loaded.threads[0].roots) == [("app.main", [])]
    assert tree(loaded.threads[1].roots) == [("app.spawn", []), "log_message"]


def test_records_without_thread_fields_belong_to_their_buffer():
    bare_call = {"type": "frame", "event": "call", "frame_id": "frm_x", "co_name": "f", "timestamp": 2.0}
    bare_return = {"type": "frame", "event": "return", "frame_id": "frm_x", "co_name": "f", "timestamp": 3.0}
    doc = document([bare_call, bare_return], {WORKER: [dict(bare_call), dict(bare_return)]}, main_thread_id=None)

    loaded = load_document(doc)

    assert [(thread.thread_id, len(thread.roots)) for thread in loaded.threads] == [(None, 1), (WORKER, 1)]
    assert loaded.threads[0].roots[0].name == "f"
    assert loaded.threads[0].roots[0].location == ""


def test_times_never_run_backwards_inside_the_tree():
    doc = document([
        call("outer", "frm_a", 5.0),
        call("inner", "frm_b", 4.0),  # the clock stepped back
        ret("inner", "frm_b", 3.0),
        call("next", "frm_c", 2.0),
        ret("next", "frm_c", 6.0),
        ret("outer", "frm_a", 5.5),
    ])

    outer = load_document(doc).threads[0].roots[0]

    inner, following = outer.children
    assert outer.start <= inner.start <= inner.end <= following.start <= following.end <= outer.end
    assert (outer.start, outer.end) == (5.0, 6.0)


def test_class_bodies_take_their_qualified_name_from_the_return():
    doc = document([
        dict(call("Item", "frm_a", 1.0), qualname=None),
        dict(ret("Item", "frm_a", 2.0), qualname="shop.Item"),
        dict(call("<lambda>", "frm_b", 3.0), qualname=None),
        dict(ret("<lambda>", "frm_b", 4.0), qualname=None),
    ])

    assert [node.name for node in load_document(doc).threads[0].roots] == ["shop.Item", "<lambda>"]


@pytest.mark.parametrize(
    "data, message",
    [
        (b"\xc1", "does not decode as MessagePack"),
        (msgpack.packb(document())[:-5], "does not decode as MessagePack"),
        (msgpack.packb(document()) + b"\x00", "does not decode as MessagePack"),
        (msgpack.packb([1, 2]), "not a trace document: a list"),
        (msgpack.packb({"frames": {}}), 'no "frames_of_interest" array'),
        (msgpack.packb({"frames_of_interest": [], "frames": []}), 'no "frames" map'),
        (msgpack.packb({"frames_of_interest": [], "frames": {1: 5}}), 'no "frames" map'),
    ],
)
def test_bytes_that_are_no_trace_document_give_a_one_line_error(data, message):
    with pytest.raises(trace.TraceFormatError) as raised:
        Trace.from_bytes(data, "trace trc_bad in x.sqlite3")

    assert str(raised.value).startswith("trace trc_bad in x.sqlite3 ")
    assert message in str(raised.value)
    assert "\n" not in str(raised.value)


def store(db_path, doc, trace_id=TRACE_ID):
    save_trace_in_sqlite(db_path, trace_id, timeout=5, msgpack=msgpack.packb(doc))


def test_load_joins_the_parts_of_a_trace_saved_several_times(db_path):
    store(db_path, document([call("main", "frm_a", 2.0), call("step", "frm_b", 3.0)],
                            {WORKER: [call("work", "frm_w", 2.0, thread=WORKER)]}))
    store(db_path, document([ret("step", "frm_b", 4.0), ret("main", "frm_a", 5.0)],
                            {WORKER: [ret("work", "frm_w", 4.5, thread=WORKER)]}))

    loaded = trace.load(db_path, TRACE_ID)

    assert [tree(thread.roots) for thread in loaded.threads] == [
        [("app.main", [("app.step", [])])], [("app.work", [])],
    ]
    assert all(node.finished for thread in loaded.threads for _, node in thread.walk())
    assert len(loaded.document["frames_of_interest"]) == 4


def test_load_finds_the_latest_trace_and_reports_unknown_ids(db_path):
    store(db_path, document([call("old", "frm_a", 1.0)]), "trc_old")
    store(db_path, document([call("new", "frm_b", 1.0)], trace_id="trc_new"), "trc_new")

    assert trace.load(db_path, trace.LATEST).trace_id == "trc_new"
    assert trace.load(db_path, "trc_old").threads[0].roots[0].name == "app.old"
    with pytest.raises(trace.TraceNotFoundError, match=f"^no trace trc_gone in {db_path}$"):
        trace.load(db_path, "trc_gone")


def test_load_of_a_stored_document_that_does_not_decode_names_the_trace(db_path):
    save_trace_in_sqlite(db_path, "trc_broken", timeout=5, msgpack=b"\x93\x01")

    with pytest.raises(trace.TraceFormatError, match=f"^trace trc_broken in {db_path} does not decode"):
        trace.load(db_path, "trc_broken")


def test_latest_of_a_database_without_traces_is_not_found(db_path):
    store(db_path, document(), "trc_x")
    with sqlite3.connect(db_path) as connection:
        connection.execute("DELETE FROM traces")

    with pytest.raises(trace.TraceNotFoundError, match="no traces stored in"):
        trace.load(db_path, trace.LATEST)


# ---- records no reader loads, records that are not maps ----

UNREADABLE_RECORDS = {
    "string-not-utf8": (b"\xa2\xc3\x28", "UnicodeDecodeError: "),
    "container-as-key": (b"\x81\x91\x01\xc0", "TypeError: unhashable type: 'list'"),
    "2000-levels": (b"\x91" * 2000 + b"\xc0", "StackError"),
}


@pytest.mark.parametrize("raw, error", UNREADABLE_RECORDS.values(), ids=list(UNREADABLE_RECORDS))
def test_a_record_no_reader_loads_becomes_a_placeholder_in_place(db_path, raw, error):
    doc = document(
        [call("main", "frm_a", 2.0), raw_slot(0), plugin("log_message", 2.5, message="kept"), ret("main", "frm_a", 3.0)],
        {WORKER: [call("work", "frm_w", 2.2, thread=WORKER), raw_slot(1), ret("work", "frm_w", 2.8, thread=WORKER)]},
    )
    save_trace_in_sqlite(db_path, TRACE_ID, timeout=5, msgpack=pack_with_raw(doc, raw, raw))

    loaded = trace.load(db_path, TRACE_ID)

    undecodable = trace.UNDECODABLE_RECORD
    assert [tree(thread.roots) for thread in loaded.threads] == [
        [("app.main", [undecodable, "log_message"])], [("app.work", [undecodable])],
    ]
    placeholder = loaded.threads[0].roots[0].children[0]
    assert placeholder.data["size"] == len(raw) and placeholder.data["error"].startswith(error)
    assert loaded.record_count == 7
    exported = export.to_json_safe(loaded.document)["frames_of_interest"][1]
    assert exported == {"type": undecodable, "error": placeholder.data["error"], "size": len(raw)}
    events = export.to_chrome_trace(loaded)["traceEvents"]
    assert [event["name"] for event in events if event["ph"] == "i"].count(undecodable) == 2


def test_a_value_no_reader_loads_is_marked_and_its_record_kept():
    doc = document([call("main", "frm_a", 2.0, locals_=raw_slot(0)), ret("main", "frm_a", 3.0, arg=raw_slot(1))])

    loaded = Trace.from_bytes(pack_with_raw(doc, b"\x81\xa4name\xa2\xc3\x28", b"\x91" * 2000 + b"\xc0"))

    (main,) = loaded.threads[0].roots
    assert (main.name, main.finished) == ("app.main", True)
    assert main.arguments.startswith("<undecodable value: UnicodeDecodeError: ")
    assert main.return_value == Repr("<undecodable value: StackError>")


@pytest.mark.parametrize("data", ["{'type': 'custom', 1: 'one'}", ["a", 1], 7, None], ids=["text", "array", "int", "nil"])
def test_records_that_are_not_maps_are_kept_in_place(data):
    doc = document([call("main", "frm_a", 2.0), data, ret("main", "frm_a", 3.0)])

    loaded = load_document(doc)

    (main,) = loaded.threads[0].roots
    (record,) = main.children
    assert (record.type, record.timestamp, record.data) == (trace.UNTYPED_RECORD, 2.0, {"value": data})
    assert loaded.record_count == 3


@pytest.mark.parametrize("frame_id", [["frm", 1], {"id": 1}], ids=["list", "map"])
def test_frame_ids_that_are_not_texts_pair_nothing_and_break_nothing(frame_id):
    exception = {"type": "exception", "frame_id": frame_id, "exception_type": "ValueError", "timestamp": 3.5}
    doc = document([call("main", frame_id, 2.0), ret("main", frame_id, 3.0), exception])

    loaded = load_document(doc)

    (main, record) = loaded.threads[0].roots
    assert (main.name, main.finished, main.raised) == ("app.main", True, None)
    assert record.type == "exception"


def chrome_events(doc):
    return export.to_chrome_trace(load_document(doc))["traceEvents"]


def test_chrome_events_carry_calls_with_arguments_in_microseconds():
    doc = document(
        [
            call("main", "frm_a", 10.0, locals_={"data": b"\x00\xff", "ratio": math.inf}),
            plugin("log_message", 10.25, level="INFO", message="hi"),
            ret("main", "frm_a", 10.5, arg={"ok": True}),
        ],
        {WORKER: [call("work", "frm_w", 10.125, thread=WORKER)]},
        timestamp=10.0,
    )

    events = chrome_events(doc)

    by_phase = {}
    for event in events:
        by_phase.setdefault(event["ph"], []).append(event)
    threads = {event["tid"]: event["args"]["name"] for event in by_phase["M"] if event["name"] == "thread_name"}
    assert threads == {MAIN: "MainThread", WORKER: f"worker-{WORKER}"}
    main, work = by_phase["X"]
    assert (main["name"], main["pid"], main["tid"], main["ts"], main["dur"]) == ("app.main", MAIN, MAIN, 0, 500000)
    assert main["args"] == {
        "location": "app.py:4", "frame_id": "frm_a",
        "arguments": {"data": {"$repr": repr(b"\x00\xff")}, "ratio": {"$repr": "inf"}}, "return_value": {"ok": True},
    }
    assert (work["tid"], work["ts"], work["dur"], work["args"]["unfinished"]) == (WORKER, 125000, 375000, True)
    (log,) = by_phase["i"]
    assert (log["name"], log["ts"], log["tid"], log["args"]) == ("log_message", 250000, MAIN, {"level": "INFO", "message": "hi"})
    json.dumps(events, allow_nan=False)


def test_chrome_events_nest_exactly_even_for_sub_microsecond_calls():
    base = 1_700_000_000.0
    records = [call("outer", "frm_o", base + 0.1)]
    for number in range(200):
        start = base + 0.1 + number * 3.3e-7
        records += [call("tiny", f"frm_{number}", start), ret("tiny", f"frm_{number}", start + 1.1e-7)]
    records.append(ret("outer", "frm_o", base + 0.1 + 200 * 3.3e-7))

    outer, *tiny = [event for event in chrome_events(document(records, timestamp=base)) if event["ph"] == "X"]

    # Nanosecond text is exact in a double at these magnitudes.
    def span(event):
        return round(event["ts"] * 1000), round((event["ts"] + event["dur"]) * 1000)

    outer_start, outer_end = span(outer)
    previous_end = outer_start
    for event in tiny:
        start, end = span(event)
        assert previous_end <= start <= end <= outer_end
        previous_end = end


@pytest.mark.parametrize(
    "value, expected",
    [
        (b"\x01", {"$repr": "b'\\x01'"}),
        (float("nan"), {"$repr": "nan"}),
        (-math.inf, {"$repr": "-inf"}),
        ({1: "a", b"k": [1.5, None]}, {"1": "a", "b'k'": [1.5, None]}),
        (msgpack.ExtType(5, b"x"), {"$repr": "ExtType(code=5, data=b'x')"}),
        ([True, {"x": (1, 2)}], [True, {"x": {"$tuple": [1, 2]}}]),
    ],
)
def test_json_safe_values(value, expected):
    assert export.to_json_safe(value) == expected
    json.dumps(export.to_json_safe(value), allow_nan=False)


# ---- traces cut by their size budget -------------------------------------------------


def cut(dropped, timestamp, *, where=True):
    """A "trace_cut" record as the native profiler writes it."""
    position = {
        "timestamp": timestamp, "thread": "MainThread", "thread_native_id": MAIN, "path": "app.py:7",
        "co_name": "step", "qualname": "app.step", "event": "return", "frame_id": "frm_b",
    }
    return {
        "type": "trace_cut", "dropped_events": dropped, "budget_bytes": 4096, "recorded_bytes": 4100,
        **(position if where else dict.fromkeys(position)), "user_code_call_site": None,
    }


@pytest.mark.parametrize("where", [True, False], ids=["first-dropped-event", "unknown"])
def test_a_cut_trace_says_how_much_it_left_out_and_where(where):
    doc = document([call("main", "frm_a", 2.0), call("step", "frm_b", 3.0), cut(41, 3.5, where=where)], timestamp=1.0)

    loaded = load_document(doc)

    [the_cut] = loaded.cuts
    assert (the_cut.dropped_events, the_cut.budget_bytes, the_cut.recorded_bytes) == (41, 4096, 4100)
    position = (the_cut.timestamp, the_cut.thread, the_cut.path, the_cut.qualname, the_cut.event, the_cut.frame_id)
    assert position == ((3.5, "MainThread", "app.py:7", "app.step", "return", "frm_b") if where else (None,) * 6)
    assert loaded.dropped_events == 41
    # the cut is no record of the run, but the tree shows where the records stopped
    assert loaded.record_count == 2
    assert [tree(thread.roots) for thread in loaded.threads] == [[("app.main", [("app.step", ["trace_cut"])])]]

    exported = export.to_chrome_trace(loaded)
    [marker] = [event for event in exported["traceEvents"] if event.get("cat") == "trace_cut"]
    assert (marker["ph"], marker["s"], marker["ts"]) == ("i", "g", 2_500_000 if where else 2_000_000)
    assert marker["args"]["dropped_events"] == 41
    assert exported["otherData"]["dropped_events"] == 41
    json.dumps(exported, allow_nan=False)


def test_complete_traces_have_no_cut():
    loaded = load_document(document([call("main", "frm_a", 2.0), ret("main", "frm_a", 3.0)]))
    assert (loaded.cuts, loaded.dropped_events) == ([], 0)
    assert "dropped_events" not in export.to_chrome_trace(loaded)["otherData"]


def test_cuts_of_a_trace_saved_several_times_add_up_and_keep_their_place(db_path):
    store(db_path, document([call("main", "frm_a", 2.0), cut(5, 2.5)]))
    store(db_path, document([ret("main", "frm_a", 4.0), cut(7, 4.5)]))

    loaded = trace.load(db_path, TRACE_ID)

    assert [c.dropped_events for c in loaded.cuts] == [5, 7] and loaded.dropped_events == 12
    assert [r["type"] for r in loaded.document["frames_of_interest"]] == ["frame", "trace_cut", "frame", "trace_cut"]
    assert loaded.threads[0].roots[0].finished
