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
            "timelines": [index.timeline(info.number, begin, finish, width)
                          for begin, finish, width in ((0, duration, 1400), (0, duration, 3),
                                                       (duration / 3, duration / 2, 50), (0, 0, 10))],
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
