"""The trace budget ("trace_budget_bytes"): a trace takes records until
their encoded bytes reach the budget, then drops the rest without
serialising them, keeps its call stacks, and ends with one "trace_cut"
record saying how many events it dropped and where the first one was."""

import re
import threading
import time

import pytest

from conftest import all_records, decode, frame_records, plugin_definition, traced
from zelm.serialize import values

_built = []


def leaf(number):
    text = "x" * 100
    return number


def loop(count):
    for number in range(count):
        leaf(number)


def run_loop():
    loop(60)


def sizes(records):
    # The native writer and msgpack both take the smallest forms, so a
    # decoded record packs back to its own size.
    return [len(values.packb(record)) for record in records]


def cut_record(doc):
    last = doc["frames_of_interest"][-1]
    assert last["type"] == "trace_cut"
    assert sum(record.get("type") == "trace_cut" for record in all_records(doc)) == 1
    return last


@pytest.fixture
def serialised(monkeypatch):
    """The values handed to the host serializer so far."""
    import zelm.serialize

    calls = []
    original = zelm.serialize.dump_msgpack

    def counting(value):
        calls.append(type(value))
        return original(value)

    monkeypatch.setattr(zelm.serialize, "dump_msgpack", counting)
    return calls


def normalised(document):
    """The document bytes with frame ids and record times blanked."""
    document = re.sub(rb"frm_[0-9A-HJKMNP-TV-Z]{26}", b"frm_" + b"0" * 26, document)
    return re.sub(rb"\xa9timestamp\xcb.{8}", b"\xa9timestamp\xcb" + bytes(8), document, flags=re.S)


@pytest.mark.parametrize("budget", [None, 10**9, 2**70], ids=["None", "large", "past-64-bits"])
def test_a_trace_within_its_budget_is_unchanged(profile_raw, budget):
    unbounded, _ = profile_raw(run_loop)
    bounded, _ = profile_raw(run_loop, config={"trace_budget_bytes": budget})
    assert normalised(bounded) == normalised(unbounded)
    assert b"trace_cut" not in bounded


@pytest.mark.parametrize("kept", [0, 1, 31])
def test_the_budget_cuts_the_trace_and_says_where(profile, serialised, kept):
    full, _ = profile(run_loop)
    full_records = frame_records(full)
    budget = max(0, sum(sizes(full_records[:kept])) - 1)
    serialised.clear()

    doc, _ = profile(run_loop, config={"trace_budget_bytes": budget})

    recorded = frame_records(doc)
    # the record that crossed the budget is kept, nothing after it
    assert [(r["co_name"], r["event"]) for r in recorded] == [
        (r["co_name"], r["event"]) for r in full_records[:kept]
    ]
    # arguments and locals of the kept records only reached the serializer
    assert len(serialised) == 2 * kept
    cut = cut_record(doc)
    first_dropped = full_records[kept]
    assert cut["dropped_events"] == len(full_records) - kept
    assert cut["budget_bytes"] == budget
    assert cut["recorded_bytes"] == sum(sizes(recorded))
    assert (cut["co_name"], cut["event"], cut["path"], cut["qualname"]) == (
        first_dropped["co_name"], first_dropped["event"], first_dropped["path"], first_dropped["qualname"])
    assert (cut["thread"], cut["thread_native_id"]) == ("MainThread", threading.get_native_id())
    assert cut["user_code_call_site"] is None
    assert cut["timestamp"] >= max([doc["timestamp"]] + [r["timestamp"] for r in recorded])
    if kept == 31:
        # the first dropped event is the return of the last kept call
        assert (recorded[-1]["event"], cut["event"]) == ("call", "return")
        assert cut["frame_id"] == recorded[-1]["frame_id"]


def inner(build):
    # The call of `inner` itself is past the budget and dropped.
    _built.append(build())
    leaf(-1)


def outer(build):
    loop(50)
    inner(build)


def test_calls_and_returns_still_pair_after_a_cut(native, make_host):
    host = make_host(config={"trace_budget_bytes": 3000})
    _built.clear()
    second = decode(traced(native, host, lambda: outer(host.rust_profiler.build_trace)))
    first = decode(_built.pop())

    assert cut_record(first)["dropped_events"] > 0
    # the build emptied the buffers and gave the next records a fresh budget
    assert "trace_cut" not in [r["type"] for r in second["frames_of_interest"]]
    assert [(r["co_name"], r["event"]) for r in frame_records(second)] == [
        ("leaf", "call"), ("leaf", "return"), ("inner", "return"), ("outer", "return"), ("<lambda>", "return"),
    ]
    [outer_call] = [r for r in frame_records(first, "outer") if r["event"] == "call"]
    leaf_call, _, inner_return, outer_return, _ = frame_records(second)
    assert outer_return["frame_id"] == outer_call["frame_id"]
    # the dropped call of `inner` kept its place on the stack and its id
    assert inner_return["frame_id"] is not None
    assert leaf_call["user_code_call_site"]["call_frame_id"] == inner_return["frame_id"]


def waits_then_builds(build):
    # Dropped, as the budget is spent; its id shows only in the next trace.
    time.sleep(0.05)
    _built.append(build())
    leaf(-1)


def spends_budget_then_waits(build, called_at):
    loop(50)
    called_at.append(time.time())
    waits_then_builds(build)


CROCKFORD = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"


def id_time(frame_id):
    """The seconds since the epoch that a frame id's ULID says it was made at."""
    millis = 0
    for character in frame_id[4:14]:
        millis = millis * 32 + CROCKFORD.index(character)
    return millis / 1000


def test_a_dropped_call_still_open_in_the_next_trace_has_the_id_of_its_call_time(native, make_host):
    host = make_host(config={"trace_budget_bytes": 3000})
    _built.clear()
    called_at = []
    second = decode(traced(native, host, lambda: spends_budget_then_waits(host.rust_profiler.build_trace, called_at)))
    _built.clear()

    leaf_call, _, waiter_return, _, _ = frame_records(second)
    assert waiter_return["co_name"] == "waits_then_builds"
    assert leaf_call["user_code_call_site"]["call_frame_id"] == waiter_return["frame_id"]
    assert re.fullmatch(r"frm_[0-9A-HJKMNP-TV-Z]{26}", waiter_return["frame_id"])
    # Made at the call, not when the next trace first showed it (50 ms later).
    assert called_at[0] - 0.002 <= id_time(waiter_return["frame_id"]) <= called_at[0] + 0.03
    assert id_time(waiter_return["frame_id"]) < leaf_call["timestamp"] - 0.02


def note(value):
    return value


def run_test(count):
    note(count)
    loop(count)
    note(count)


def suite():
    run_test(40)
    run_test(2)


TEST_PLUGINS = [
    plugin_definition("run_test", call_type="start_test", return_type="end_test"),
    plugin_definition("note", call_type="note", events=["call"]),
]


def test_each_test_trace_has_a_budget_of_its_own(profile, plugin_definitions, saved_traces):
    plugin_definitions(*TEST_PLUGINS)
    profile(suite, one_trace_per_test=True)
    full = [decode(kwargs["msgpack"]) for _, kwargs in saved_traces]
    saved_traces.clear()
    budget = sum(sizes(all_records(full[1]))) + 1
    assert budget < sum(sizes(all_records(full[0])))

    profile(suite, one_trace_per_test=True, config={"trace_budget_bytes": budget})

    big, small = [decode(kwargs["msgpack"]) for _, kwargs in saved_traces]
    kinds = [r["type"] for r in big["frames_of_interest"]]
    # the markers are still filed past the budget, the cut record comes last
    assert kinds[0] == "start_test" and kinds[-2:] == ["end_test", "trace_cut"]
    assert kinds.count("note") == 1
    full_count = len(full[0]["frames_of_interest"])
    assert cut_record(big)["dropped_events"] == full_count - (len(kinds) - 1)
    # the next test's trace is complete
    assert [(r["type"], r.get("co_name"), r.get("event")) for r in small["frames_of_interest"]] == [
        (r["type"], r.get("co_name"), r.get("event")) for r in full[1]["frames_of_interest"]
    ]


def worker():
    loop(100)


def run_threads():
    threads = [threading.Thread(target=worker) for _ in range(4)]
    for thread in threads:
        thread.start()
    worker()
    for thread in threads:
        thread.join()


def test_threads_share_one_budget(profile):
    full, _ = profile(run_threads, config={"threading": True})
    budget = sum(sizes(frame_records(full))) // 3

    doc, _ = profile(run_threads, config={"threading": True, "trace_budget_bytes": budget})

    recorded = frame_records(doc)
    cut = cut_record(doc)
    assert len(recorded) + cut["dropped_events"] == len(frame_records(full))
    assert budget <= cut["recorded_bytes"] == sum(sizes(recorded)) < 2 * budget
    # returns pair with calls on their own thread: no stack lost its place
    calls = {(r["thread_native_id"], r["frame_id"]) for r in recorded if r["event"] == "call"}
    returns = [(r["thread_native_id"], r["frame_id"]) for r in recorded if r["event"] == "return"]
    assert returns and all(ret in calls for ret in returns)


def fail():
    raise ValueError("past the budget")


def run_failing():
    loop(20)
    for _ in range(3):
        try:
            fail()
        except ValueError:
            pass


@pytest.mark.parametrize("kept", [45, 46])
def test_exception_records_past_the_budget_are_dropped_too(profile, kept):
    full, _ = profile(run_failing)
    full_records = all_records(full)
    assert "exception" in [r["type"] for r in full_records[:kept + 2]]
    budget = sum(sizes(full_records[:kept])) - 1

    doc, _ = profile(run_failing, config={"trace_budget_bytes": budget})

    kept_records = all_records(doc)[:-1]
    assert [(r["type"], r.get("event")) for r in kept_records] == [
        (r["type"], r.get("event")) for r in full_records[:kept]
    ]
    cut = cut_record(doc)
    assert cut["dropped_events"] == len(full_records) - kept
    # the position is that of the first dropped call or return, also when
    # an exception record was dropped before it
    assert (cut["co_name"], cut["event"]) == ("fail", "call")
