"""The viewer's index built from the stored bytes (zelm._fastread and
zelm.view.lazy) against the one built from the reader's full decode: on
real and hand-made traces, every answer of the API must be the same."""

import math
import os
import sys

import msgpack
import pytest

from conftest import pack_with_raw, raw_slot, record_example, run_python
from test_trace_reader import MAIN, WORKER, call, document, plugin, ret
from zelm import store
from zelm import trace as trace_reader
from zelm.view import lazy, model

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))
import view_scale  # noqa: E402  (the benchmark's trace builder)


def answers(index):
    """Everything the API tells about a trace, as one comparable value."""
    result = {"summary": index.summary(), "nodes": [], "threads": []}
    for info in index.threads:
        duration = index.trace.end - index.trace.start
        result["threads"].append({
            "roots": index.roots(info.number),
            "levels": [(list(ids), list(starts), list(ends)) for ids, starts, ends in info.levels],
            "marks": (list(info.marks), list(info.mark_times)),
            "timelines": [index.timeline(info.number, begin, finish, width, query)
                          for begin, finish, width, query in ((0, duration, 1400, None), (0, duration, 3, "A"),
                                                              (duration / 3, duration / 2, 50, "a."), (0, 0, 10, None))],
            "whole timeline": index.whole_timeline(info.number),
        })
    for node_id in range(len(index.nodes)):
        details = index.details(node_id)
        result["nodes"].append((details, index.children(node_id), index.source(node_id), index.name(node_id),
                                index.module(node_id) if details["kind"] == "call" else None))
    names = sorted(index.by_name)
    result["names"] = names
    result["searches"] = [index.search(query, thread, current, direction)
                          for query in ["", "app", "a.", "MAIN", "nothing at all"] + names[:5]
                          for thread in ((None, 0) if index.threads else (None,))
                          for current, direction in ((None, "next"), (None, "previous"), (2, "next"), (2, "previous"))]
    return result


def comparable(value):
    """``value`` with NaN made equal to itself."""
    if isinstance(value, float) and math.isnan(value):
        return "NaN"
    if isinstance(value, dict):
        return {key: comparable(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [comparable(item) for item in value]
    return value


def assert_same_index(documents):
    """The fast index of ``documents`` (bytes, oldest first) answers as the
    index of the reader's full decode; returns the fast one."""
    decoded = [trace_reader.decode_document(part) for part in documents]
    full = model.TraceIndex(trace_reader.Trace.from_document(trace_reader.merge_documents(decoded)))
    fast = model.TraceIndex.from_documents(documents)
    assert isinstance(fast.nodes, lazy.Nodes)
    assert comparable(answers(fast)) == comparable(answers(full))
    assert (fast.trace.trace_id, fast.trace.source, fast.trace.command_line_args, fast.trace.main_thread_id) == \
        (full.trace.trace_id, full.trace.source, full.trace.command_line_args, full.trace.main_thread_id)
    assert [vars(cut) for cut in fast.trace.cuts] == [vars(cut) for cut in full.trace.cuts]
    assert [getattr(fast.nodes[node_id], "raised", None) for node_id in range(len(fast.nodes))] == \
        [getattr(full.nodes[node_id], "raised", None) for node_id in range(len(full.nodes))]
    return fast


def packed(doc):
    return msgpack.packb(doc)


def test_a_real_trace(db_path):
    trace_id = record_example(db_path)

    fast = assert_same_index(store.load_trace_documents(db_path, trace_id))

    assert fast.record_count == trace_reader.load(db_path, trace_id).record_count > 20


def test_the_benchmark_trace():
    data, frames, plugins = view_scale.build_document(3000)

    fast = assert_same_index([data])

    assert fast.record_count == frames + plugins


HAND_MADE = {
    "plugin records in place": document([
        plugin("log_message", 0.5, level="INFO", message="before"),
        call("main", "frm_a", 1.0, locals_={"x": [1, {"y": b"\x00"}]}),
        plugin("outbound_request", 1.5, method="GET", url="http://127.0.0.1/"),
        ret("main", "frm_a", 2.0, arg={"z": 1.5}),
        plugin("end_test", 2.5, nodeid="t.py::test", outcome="passed"),
    ]),
    "cut: calls still open": document(
        [call("main", "frm_a", 2.0), call("loop", "frm_b", 3.0), call("step", "frm_c", 4.0), ret("step", "frm_c", 5.0)],
        {WORKER: [call("work", "frm_w", 2.5, thread=WORKER), ret("work", "frm_w", 7.0, thread=WORKER)]},
    ),
    "returns without their call": document([
        plugin("log_message", 1.5, message="early"),
        call("helper", "frm_a", 2.0), ret("helper", "frm_a", 3.0, arg="ok"),
        ret("inner", None, 4.0, arg=1),
        call("later", "frm_b", 5.0), ret("later", "frm_b", 6.0),
        ret("outer", None, 7.0, arg=2),
        call("lost", "frm_c", 8.0), ret("stranger", "frm_unknown", 9.0),
    ]),
    "threads sharing the main buffer": document([
        call("spawn", "frm_w1", 2.0, thread=WORKER), call("main", "frm_m", 3.0),
        ret("spawn", "frm_w1", 4.0, thread=WORKER), ret("main", "frm_m", 5.0),
        plugin("log_message", 4.5, thread=WORKER),
    ], {300: [call("late", "frm_l", 0.5, thread=300)], 400: []}),
    "records without thread fields": document(
        [{"type": "frame", "event": "call", "frame_id": "frm_x", "co_name": "f", "timestamp": 2.0},
         {"type": "frame", "event": "return", "frame_id": "frm_x", "co_name": "f", "timestamp": 3.0}],
        {WORKER: [{"type": "frame", "event": "call", "frame_id": "frm_x", "timestamp": 2}]}, main_thread_id=None),
    "clock stepping back": document([
        call("outer", "frm_a", 5.0), call("inner", "frm_b", 4.0), ret("inner", "frm_b", 3.0),
        call("next", "frm_c", 2.0), ret("next", "frm_c", 6.0), ret("outer", "frm_a", 5.5),
        plugin("log_message", 1.0), plugin("log_message", 0.5),
    ]),
    "names and paths of every kind": document([
        dict(call("Item", "frm_a", 1.0), qualname=None), dict(ret("Item", "frm_a", 2.0), qualname="shop.Item"),
        dict(call("<lambda>", "frm_b", 3.0), qualname=""), dict(ret("<lambda>", "frm_b", 4.0), qualname=None),
        dict(call("anon", "frm_c", 5.0), qualname=False, co_name=None, path=None),
        dict(ret("anon", "frm_c", 6.0), qualname=0),
        dict(call("odd", "frm_d", 7.0), qualname=["a", "list"], co_name=7, path=12),
        dict(ret("odd", "frm_d", 8.0)),
        {k: v for k, v in call("bare", "frm_e", 9.0).items() if k not in ("qualname", "co_name", "path")},
        ret("bare", "frm_e", 10.0),
    ]),
    "types, events and times of every kind": document([
        call("main", "frm_a", 1),
        {"type": None, "timestamp": 1.5}, {"timestamp": True}, {"type": 5, "timestamp": "soon"},
        {"type": "frame", "event": "yield", "frame_id": "frm_a", "timestamp": 1.7},
        {"type": "frame", "event": None, "timestamp": 1.8},
        dict(call("nan", "frm_n", float("nan"))), dict(ret("nan", "frm_n", 1.9)),
        plugin("log_message", float("nan")), plugin("log_message", 1.95),
        ret("main", "frm_a", 2**64 - 1),
    ], timestamp=None),
    "frame ids of other types": document([
        call("a", 5, 1.0), call("b", 5.0, 2.0), ret("b", 5, 3.0),
        call("d", b"bytes", 6.0), ret("d", "bytes", 7.0), ret("a", True, 8.0),
    ]),
    "thread names and ids of every kind": document([
        call("a", "f1", 1.0, thread_name=""), ret("a", "f1", 2.0),
        dict(call("b", "f2", 3.0, thread=WORKER), thread=None), dict(ret("b", "f2", 4.0, thread=WORKER), thread="named later"),
        dict(call("c", "f3", 3.0), thread_native_id=True), dict(call("d", "f4", 3.0), thread_native_id=-7),
        dict(call("e", "f5", 3.0), thread_native_id=2**63 - 1),
    ]),
    "calls left by raising": document([
        call("main", "frm_a", 1.0), call("bad", "frm_b", 2.0), ret("bad", "frm_b", 3.0),
        plugin("exception", 3.0, frame_id="frm_b", exception="ValueError('bad input')", exception_type="ValueError"),
        plugin("exception", 3.1, frame_id="frm_b", exception="again"),
        plugin("exception", 3.2, frame_id="frm_nowhere", exception_type="KeyError"),
        plugin("exception", 3.3, frame_id=None),
        ret("outer", "frm_outer", 4.0), plugin("exception", 4.0, frame_id="frm_outer", exception=""),
        call("c", 5, 5.0), ret("c", 5.0, 6.0), plugin("exception", 6.0, frame_id=5),
        ret("main", "frm_a", 7.0),
    ], {WORKER: [call("w", "frm_b", 2.0, thread=WORKER), ret("w", "frm_b", 2.5, thread=WORKER)]}),
    "cut by the budget": document(
        [call("main", "frm_a", 1.0), call("step", "frm_b", 2.0),
         {"type": "trace_cut", "dropped_events": 12, "budget_bytes": 1000, "recorded_bytes": 990, "timestamp": 2.5,
          "thread": "MainThread", "thread_native_id": MAIN, "path": "app.py:3", "qualname": "app.step",
          "event": "return", "frame_id": "frm_b"}],
        {WORKER: [call("w", "frm_w", 2.0, thread=WORKER), {"type": "trace_cut", "dropped_events": 1}]}),
    "records that are not maps": document([
        call("main", "frm_a", 2.0), "{'type': 'custom'}", ["a", 1], 7, None, ret("main", "frm_a", 3.0),
    ]),
    "HTTP exchanges": document([
        call("main", "frm_a", 1.0),
        plugin("outbound_request", 1.1, client="urllib3", method="GET", url="http://a/"),
        plugin("outbound_request", 1.15, client="urllib3", method="GET", url="http://b/"),
        call("wait", "frm_b", 1.16),
        plugin("outbound_response", 1.2, client="urllib3", method="GET", url="http://b/", status=200, duration=0.05),
        ret("wait", "frm_b", 1.25),
        plugin("outbound_error", 1.3, client="urllib3", method="GET", url="http://a/", error="timed out"),
        plugin("outbound_request", 1.4, client="httpx", method="POST", url=["not", "text"]),
        plugin("outbound_response", 1.45, client="http.client", method="POST", url=["not", "text"]),
        ret("main", "frm_a", 2.0),
    ]),
    "no records": document(),
    "no records nor timestamp": document(timestamp=None),
    "a main thread id that is not a number": document([call("a", "f1", 1.0, thread=None)], main_thread_id="main"),
}


@pytest.mark.parametrize("doc", HAND_MADE.values(), ids=list(HAND_MADE))
def test_hand_made_traces(doc):
    assert_same_index([packed(doc)])


def test_float32_times():
    doc = document([call("main", "frm_a", 1.1), plugin("log_message", 1.3), ret("main", "frm_a", 1.7)], timestamp=0.9)

    assert_same_index([msgpack.packb(doc, use_single_float=True)])


def test_a_trace_saved_in_parts():
    first = document([call("main", "frm_a", 2.0), call("step", "frm_b", 3.0)],
                     {WORKER: [call("work", "frm_w", 2.0, thread=WORKER)]})
    second = document([ret("step", "frm_b", 4.0), {"type": "trace_cut", "dropped_events": 3}, ret("main", "frm_a", 5.0)],
                      {500: [plugin("log_message", 4.2, thread=500)], WORKER: [ret("work", "frm_w", 4.5, thread=WORKER)]},
                      timestamp=0.5, trace_id="trc_other", main_thread_id=WORKER)

    assert_same_index([packed(first), packed(second)])


UNREADABLE = {
    "string-not-utf8": b"\xa2\xc3\x28",
    "container-as-key": b"\x81\x91\x01\xc0",
    "2000-levels": b"\x91" * 2000 + b"\xc0",
    "key-not-utf8": b"\x82\xa4type\xa3log\xa2\xc3\x28\xc0",
    "qualname-not-utf8": b"\x84\xa4type\xa5frame\xa5event\xa4call\xa8frame_id\xa2f9\xa8qualname\xa2\xc3\x28",
    "frame-id-not-utf8": b"\x83\xa4type\xa5frame\xa5event\xa4call\xa8frame_id\xa2\xc3\x28",
    "ext-value": b"\x82\xa4type\xa3log\xa9timestamp\xd4\x01\x00",
}


@pytest.mark.parametrize("raw", UNREADABLE.values(), ids=list(UNREADABLE))
def test_records_no_reader_loads(raw):
    doc = document(
        [call("main", "frm_a", 2.0), raw_slot(0), plugin("log_message", 2.5, message="kept"), ret("main", "frm_a", 3.0)],
        {WORKER: [call("work", "frm_w", 2.2, thread=WORKER, locals_=raw_slot(1)), ret("work", "frm_w", 2.8, thread=WORKER)]},
    )

    assert_same_index([pack_with_raw(doc, raw, raw)])


@pytest.mark.parametrize("doc", [
    document([call("main", "frm_a", 2.0, thread=2**64 - 1)]),
    document([call("main", "frm_a", 2.0)], main_thread_id=True),
    dict(document([call("main", "frm_a", 2.0)]), frames={"7": [call("w", "frm_w", 3.0)]}),
], ids=["thread-id-beyond-64-bits", "bool-main-thread-id", "text-thread-key"])
def test_documents_the_native_reader_leaves_to_the_reader(doc):
    with pytest.raises(lazy.Unindexable):
        lazy.index_documents([packed(doc)])

    assert not isinstance(model.TraceIndex.from_documents([packed(doc)]).nodes, lazy.Nodes)


@pytest.mark.parametrize("data, message", [
    (b"\xc1", "does not decode as MessagePack"),
    (packed(document([call("main", "frm_a", 2.0)]))[:-5], "does not decode as MessagePack"),
    (packed(document()) + b"\x00", "does not decode as MessagePack"),
    (msgpack.packb([1, 2]), "not a trace document"),
    (msgpack.packb({"frames": {}}), 'no "frames_of_interest" array'),
])
def test_bytes_that_are_no_trace_document_give_the_readers_error(data, message):
    with pytest.raises(trace_reader.TraceFormatError, match=message):
        model.TraceIndex.from_documents([packed(document()), data], "trace trc_bad")


def test_records_are_decoded_when_asked_for():
    doc = document([call("main", "frm_a", 2.0, locals_={"n": 1}), ret("main", "frm_a", 3.0, arg="done")])

    nodes = model.TraceIndex.from_documents([packed(doc)]).nodes

    assert nodes.record.cache_info().currsize == 0
    assert (nodes[0].arguments, nodes[0].return_value) == ({"n": 1}, "done")
    assert nodes.record.cache_info().currsize == 2


@pytest.mark.parametrize("begin, finish", [(0, 0), (0, 1e-9), (0, 3.0)])
def test_timeline_of_times_it_cannot_divide_into_pixels(begin, finish):
    # At 1e12 s a nanosecond is below a float's precision; a NaN time has no pixel.
    doc = document([call("a", "f1", 1e12), plugin("log_message", 1e12), plugin("log_message", float("nan")),
                    call("b", "f2", 1e12), ret("b", "f2", 1e12), ret("a", "f1", 1e12 + 2)], timestamp=1e12)

    for index in (model.TraceIndex.from_documents([packed(doc)]), model.TraceIndex(trace_reader.Trace.from_bytes(packed(doc)))):
        timeline = index.timeline(0, begin, finish, 100)
        assert timeline["boxes"][0][0] == 0 and sum(mark[3] for mark in timeline["marks"]) >= 1


CUT_AND_CHANGED = """
import random, msgpack
from test_view_index import HAND_MADE, packed
from zelm import trace
from zelm.view import model
random.seed(14)
for doc in HAND_MADE.values():
    data = packed(doc)
    variants = [data[:cut] for cut in range(len(data))]
    for _ in range(300):
        changed = bytearray(data)
        changed[random.randrange(len(data))] = random.randrange(256)
        variants.append(bytes(changed))
    for variant in variants:
        try:
            model.TraceIndex.from_documents([variant]).summary()
        except trace.TraceFormatError:
            pass
print("survived")
"""


def test_cut_and_changed_documents_are_errors_never_crashes():
    result = run_python("-c", CUT_AND_CHANGED, timeout=300)

    assert (result.returncode, result.stdout) == (0, "survived\n"), result.stderr[-2000:]


# ---- skipping values without decoding them (the trace summary uses it) ----

SKIPPED_VALUES = [
    None, True, -1, 127, 2**40, -(2**63), 2**64 - 1, 1.5, "", "é" * 40, "x" * 300, "y" * 70000,
    b"", b"\x00" * 300, b"\x01" * 70000, [], list(range(20)), {"a": [1, {"b": None}]},
    {str(key): key for key in range(20)}, msgpack.ExtType(5, b"x" * 17), msgpack.ExtType(1, b"x" * 300),
    msgpack.Timestamp(1, 2), [[[[]]]],
]


@pytest.mark.parametrize("value", SKIPPED_VALUES, ids=lambda value: type(value).__name__)
def test_skip_finds_the_end_of_each_value(value):
    from zelm import _fastread
    before, packed = b"\x93", msgpack.packb(value)
    buffer = before + packed + packed + b"\xc0"

    assert _fastread.skip(buffer, len(before), 1) == len(before) + len(packed)
    assert _fastread.skip(buffer, len(before), 2) == len(before) + 2 * len(packed)
    assert _fastread.skip(memoryview(buffer), 0, 0) == 0


@pytest.mark.parametrize("buffer, offset, count", [
    (msgpack.packb("abc")[:-1], 0, 1),           # a text cut short
    (msgpack.packb([1, 2, 3])[:-1], 0, 1),       # an array missing an item
    (b"\xc1", 0, 1),                             # the reserved byte
    (b"\xdd\xff\xff\xff\xff", 0, 1),             # a count no buffer can hold
    (b"\xc0", 0, 2),                             # fewer values than asked for
    (b"\xc0", 2, 0),                             # an offset past the end
    (b"\xc0", -1, 1),
])
def test_skip_refuses_what_cannot_be_skipped(buffer, offset, count):
    from zelm import _fastread
    with pytest.raises(ValueError):
        _fastread.skip(buffer, offset, count)


# ---- the timeline ----


def both_indexes(doc):
    """The fast index of ``doc`` and the index of the reader's full decode."""
    return [model.TraceIndex.from_documents([packed(doc)]),
            model.TraceIndex(trace_reader.Trace.from_bytes(packed(doc)))]


def depth_boxes(timeline, depth):
    """(first id, count, name) of the timeline's boxes at ``depth``."""
    return [(box[0], box[4], box[5]) for box in timeline["boxes"] if box[1] == depth]


# In a window of 1 s over 100 pixels a pixel is 10 ms: the narrow calls
# (0.1 ms) and "wide" (0.5 s) start in the window's first pixel.
@pytest.mark.parametrize("narrow, expected", [
    (["n1", "n2"], [(1, 2, None), (3, 1, "app.wide")]),
    (["n1"], [(1, 1, "app.n1"), (2, 1, "app.wide")]),
    ([], [(1, 1, "app.wide")]),
])
def test_a_call_wider_than_a_pixel_keeps_its_own_box(narrow, expected):
    records = [call("root", "frm_root", 1.0)]
    for number, name in enumerate(narrow):
        start = 1.5 + number * 1e-3
        records += [call(name, f"frm_{name}", start), ret(name, f"frm_{name}", start + 1e-4)]
    records += [call("wide", "frm_wide", 1.5 + len(narrow) * 1e-3), ret("wide", "frm_wide", 2.0), ret("root", "frm_root", 2.0)]

    for index in both_indexes(document(records)):
        assert depth_boxes(index.timeline(0, 0.5, 1.5, 100), 1) == expected


@pytest.mark.parametrize("records, threads, origin", [
    # A test's trace from `pytest --zelm`: the profiler was made at 1.0, the test started at 100.
    ([plugin("start_test", 100.0, nodeid="t.py::test_pay"), call("test_pay", "f1", 100.01),
      ret("test_pay", "f1", 100.2), plugin("end_test", 100.3, nodeid="t.py::test_pay", outcome="passed")], None, 100.0),
    ([call("main", "f1", 50.0), ret("main", "f1", 50.3)],
     {WORKER: [call("work", "w1", 40.0, thread=WORKER), ret("work", "w1", 40.1, thread=WORKER)]}, 40.0),
    ([plugin("log_message", 20.0), call("main", "f1", 20.1), ret("main", "f1", 20.3)], None, 20.0),
])
def test_times_count_from_the_first_record_not_the_profilers_making(records, threads, origin):
    doc = document(records, threads, timestamp=1.0)

    for index in both_indexes(doc):
        first_call = min((node_id for node_id in range(len(index.nodes)) if index.row(node_id)["kind"] == "call"),
                         key=lambda node_id: index.start[node_id])
        assert index.summary()["duration"] == pytest.approx(max(index.end) - origin)
        assert index.details(first_call)["start"] == pytest.approx(index.start[first_call] - origin)
        thread = index.thread_of[first_call]
        boxes = index.timeline(thread, 0, index.summary()["duration"], 100)["boxes"]
        assert [box[2] for box in boxes if box[0] == first_call] == [pytest.approx(index.start[first_call] - origin)]


def test_a_thread_has_a_timeline_row_for_the_records_in_its_deepest_call():
    doc = document([call("a", "f1", 1.0), call("b", "f2", 1.1), plugin("log_message", 1.2),
                    ret("b", "f2", 1.3), ret("a", "f1", 1.4)],
                   {WORKER: [call("w", "w1", 1.0, thread=WORKER), ret("w", "w1", 1.1, thread=WORKER)]})

    for index in both_indexes(doc):
        assert [(thread["max_depth"], thread["rows"]) for thread in index.summary()["threads"]] == [(1, 3), (0, 1)]


def test_an_outbound_http_exchange_is_one_span_from_request_to_response():
    for index in both_indexes(HAND_MADE["HTTP exchanges"]):
        timeline = index.timeline(0, 0, 1.0, 500)
        names = {node_id: index.name(node_id) for node_id in range(len(index.nodes))}
        spans = [(names[request], names[response], start, length, failed)
                 for request, response, _, start, length, _, failed in timeline["spans"]]
        assert spans == [("outbound_request", "outbound_error", pytest.approx(0.1), pytest.approx(0.2), True),
                         ("outbound_request", "outbound_response", pytest.approx(0.15), pytest.approx(0.05), False)]
        assert "timed out" in timeline["spans"][0][5] and "200" in timeline["spans"][1][5]
        # What no exchange took stays a mark: a request and a response of other clients.
        assert [(names[mark[0]], mark[2]) for mark in timeline["marks"]] == [
            ("outbound_request", pytest.approx(0.4)), ("outbound_response", pytest.approx(0.45))]


def test_timeline_boxes_say_whether_a_call_raised():
    records = [call("main", "m", 1.0)]
    for number in range(5):  # narrow calls, the third raising
        start = 1.0 + number * 1e-4
        records += [call(f"n{number}", f"n{number}", start), ret(f"n{number}", f"n{number}", start + 1e-5)]
        if number == 2:
            records.append(plugin("exception", start + 1e-5, frame_id="n2", exception="KeyError('x')"))
    records += [call("bad", "b", 1.5), ret("bad", "b", 1.9), plugin("exception", 1.9, frame_id="b", exception="E"),
                call("good", "g", 1.9), ret("good", "g", 2.0), ret("main", "m", 2.0)]

    for index in both_indexes(document(records)):
        merged = [(box[4], box[5], box[7]) for box in index.timeline(0, 0, 1.0, 100)["boxes"] if box[1] == 1]
        alone = [(box[4], box[5], box[7]) for box in index.timeline(0, 0, 1.0, 100000)["boxes"] if box[1] == 1]
        assert merged == [(5, None, True), (1, "app.bad", True), (1, "app.good", False)]
        assert [raised for _, _, raised in alone] == [False, False, True, False, False, True, False]


def test_timeline_finds_the_search_matches_in_its_window():
    from test_view_api import flat_document

    for index in both_indexes(flat_document(1000)):
        whole = index.timeline(0, 0, 0.002, 100, "LEAF1")["matches"]
        window = index.timeline(0, 0.0010005, 0.0010095, 1000, "leaf1")["matches"]
        assert sum(match[4] for match in whole) == 333 and len(whole) < 333
        # Calls 500 .. 504 are in the window, and of them leaf1 is 502 (node 503).
        assert [(match[0], match[1], match[4]) for match in window] == [(503, 1, 1)]
        assert index.timeline(0, 0, 0.002, 100)["matches"] == []


ASYNC_PROGRAM = """
import asyncio

async def fine():
    await asyncio.sleep(0.002)
    await asyncio.sleep(0.002)

async def fails():
    await asyncio.sleep(0.001)
    raise ValueError("late")

async def main():
    await asyncio.gather(fine(), fails(), return_exceptions=True)

asyncio.run(main())
"""


@pytest.fixture(scope="module")
def async_index(tmp_path_factory):
    """The index of a recorded run of ASYNC_PROGRAM."""
    directory = tmp_path_factory.mktemp("async")
    program, db_path = directory / "tasks.py", directory / "traces.sqlite3"
    program.write_text(ASYNC_PROGRAM)
    assert run_python("-m", "zelm", "run", "--db", db_path, program).returncode == 0
    [stored] = store.list_traces(db_path)
    return model.TraceIndex.from_documents(store.load_trace_documents(db_path, stored.trace_id))


def test_each_time_a_raising_coroutine_ran_is_flagged(async_index):
    index = async_index
    duration = index.summary()["duration"]
    fails = index.search("__main__.fails")["node"]
    assert fails["raised"] is not None

    separate = [(box[5].rpartition(".")[2], box[7]) for box in index.timeline(0, 0, duration, 20000)["boxes"]
                if box[5] and box[5].endswith(("fine", "fails"))]
    assert sorted(set(separate)) == [("fails", True), ("fine", False)] and len(separate) > 2
    # In one pixel the calls at that depth are one box, flagged for the one that raised.
    assert [box[7] for box in index.timeline(0, 0, duration, 1)["boxes"] if box[1] == fails["depth"]] == [True]


def test_the_times_a_coroutine_ran_count_from_where_its_start_does(async_index):
    fails = async_index.search("__main__.fails")["node"]["id"]

    details = async_index.details(fails)

    assert details["segments"][0]["start"] == pytest.approx(details["start"])
