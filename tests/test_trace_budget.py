"""The trace budget ("trace_budget_bytes"): a trace takes records until
their encoded bytes reach three quarters of the budget; past that, the last
quarter keeps the newest records, letting the oldest of them go. Each
record array that lost records between its first part and its last holds a
"trace_cut" record where they were, saying how many and from when to when;
the calls and returns on either side of the gap still pair."""

import re
import threading
import time

import pytest

from conftest import all_records, decode, frame_records, plugin_definition, run_python, traced
from zelm import trace
from zelm.serialize import values
from zelm.trace import Call, PluginRecord, Trace

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


def budget_with_head(head):
    """The smallest budget whose first part (three quarters) holds ``head`` bytes."""
    budget = head + head // 3
    while budget - budget // 4 < head:
        budget += 1
    return budget


def parts(records):
    """The first part of a record array, its one cut record and its last part."""
    [at] = [index for index, record in enumerate(records) if record.get("type") == "trace_cut"]
    return records[:at], records[at], records[at + 1:]


def cut_records(doc):
    return [record for record in all_records(doc) if record.get("type") == "trace_cut"]


def key(record):
    """What tells a record of these runs from the others across runs (ids and times differ)."""
    return record.get("type"), record.get("co_name"), record.get("event"), repr(record.get("locals"))


def positions(full_records, records):
    """Where each of ``records`` is among the run's records ``full_records``."""
    position = {key(record): index for index, record in enumerate(full_records)}
    assert len(position) == len(full_records)
    return [position[key(record)] for record in records]


def unpaired(records):
    """The frame records of one thread's ``records`` that break pairing: a
    return whose call is not before it, a call that never returns."""
    open_calls, broken = {}, []
    for record in records:
        if record.get("type") != "frame":
            continue
        if record["event"] == "call":
            open_calls[record["frame_id"]] = record
        elif open_calls.pop(record["frame_id"], None) is None:
            broken.append(record)
    return broken + list(open_calls.values())


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
def test_the_budget_keeps_the_first_and_the_last_records_and_says_what_it_dropped(profile, kept):
    full, _ = profile(run_loop)
    full_records = frame_records(full)
    budget = budget_with_head(max(0, sum(sizes(full_records[:kept])) - 1))

    doc, _ = profile(run_loop, config={"trace_budget_bytes": budget})

    first, cut, last = parts(doc["frames_of_interest"])
    # the record that filled the first part is its last
    assert [key(r) for r in first] == [key(r) for r in full_records[:kept]]
    kept_at = positions(full_records, last)
    assert kept_at == sorted(kept_at)
    if kept:
        # the run's end is kept: with a last quarter too small for any
        # record, the return of the call the first part holds open
        assert kept_at[-1] == len(full_records) - 1
    else:
        assert last == []
    if kept == 31:
        assert kept_at[-3:] == [len(full_records) - 3, len(full_records) - 2, len(full_records) - 1]
        assert sum(sizes(last)) <= budget // 4
    dropped = sorted(set(range(len(full_records))) - set(range(kept)) - set(kept_at))
    assert cut["dropped_events"] == len(dropped) > 0
    assert cut["dropped_bytes"] == sum(sizes(full_records[index] for index in dropped))
    assert cut["budget_bytes"] == budget
    assert cut["recorded_bytes"] == sum(sizes(first + last))
    first_dropped = full_records[dropped[0]]
    assert (cut["co_name"], cut["event"], cut["path"], cut["qualname"]) == (
        first_dropped["co_name"], first_dropped["event"], first_dropped["path"], first_dropped["qualname"])
    assert (cut["thread"], cut["thread_native_id"]) == ("MainThread", threading.get_native_id())
    assert cut["user_code_call_site"] is None
    later = [r["timestamp"] for r in last if positions(full_records, [r])[0] > dropped[-1]]
    assert max([r["timestamp"] for r in first], default=0) <= cut["timestamp"] <= cut["dropped_until"]
    assert cut["dropped_until"] <= min(later, default=cut["dropped_until"])
    # every call on either side of the gap still has its return, and the other way round
    assert unpaired(first + last) == []


def descend(depth):
    if depth:
        for _ in range(3):
            descend(depth - 1)
    else:
        loop(2)


def run_deep():
    descend(5)
    descend(2)


@pytest.mark.parametrize("budget", [1500, 6000, 30000])
def test_calls_pair_across_the_gap_at_any_depth(profile, budget):
    doc, _ = profile(run_deep, config={"trace_budget_bytes": budget})

    records = doc["frames_of_interest"]
    assert unpaired(records) == []
    [thread] = Trace.from_document(doc).threads
    calls = [node for _, node in thread.walk() if isinstance(node, Call)]
    assert calls and all(call.call_record and call.finished for call in calls)
    [gap] = [node for _, node in thread.walk() if isinstance(node, PluginRecord)]
    assert gap.type == "trace_cut" and gap.record["dropped_events"] > 0
    first, _, last = parts(records)
    assert len(first) + len(last) == len(frame_records(doc))


def inner(build):
    # The call of `inner` itself is past the first part of the budget.
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

    _, cut, last = parts(first["frames_of_interest"])
    assert cut["dropped_events"] > 0
    # the build emptied the buffers and gave the next records a fresh budget
    assert "trace_cut" not in [r["type"] for r in second["frames_of_interest"]]
    assert [(r["co_name"], r["event"]) for r in frame_records(second)] == [
        ("leaf", "call"), ("leaf", "return"), ("inner", "return"), ("outer", "return"), ("<lambda>", "return"),
    ]
    [outer_call] = [r for r in frame_records(first, "outer") if r["event"] == "call"]
    leaf_call, _, inner_return, outer_return, _ = frame_records(second)
    assert outer_return["frame_id"] == outer_call["frame_id"]
    # the call of `inner`, the first trace's last record, pairs with its return in the next
    assert (last[-1]["co_name"], last[-1]["event"]) == ("inner", "call")
    assert inner_return["frame_id"] == last[-1]["frame_id"]
    assert leaf_call["user_code_call_site"]["call_frame_id"] == inner_return["frame_id"]
    assert unpaired(first["frames_of_interest"] + second["frames_of_interest"]) == []


def waits_then_builds(build):
    # Past the first part of the budget; its return is in the next trace.
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
    # the test's markers open and close its trace, the gap lies between
    assert kinds[0] == "start_test" and kinds[-1] == "end_test"
    assert kinds.count("trace_cut") == 1
    full_count = len(full[0]["frames_of_interest"])
    [cut] = cut_records(big)
    assert cut["dropped_events"] == full_count - (len(kinds) - 1)
    assert unpaired(big["frames_of_interest"]) == []
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
    cuts = cut_records(doc)
    assert len(recorded) + sum(cut["dropped_events"] for cut in cuts) == len(frame_records(full))
    assert {cut["recorded_bytes"] for cut in cuts} == {sum(sizes(recorded))}
    assert budget * 3 // 4 <= sum(sizes(recorded)) <= budget + 5 * max(sizes(recorded))
    # each thread's calls and returns pair across its gap: no stack lost its place
    for records in [doc["frames_of_interest"], *doc["frames"].values()]:
        assert unpaired(records) == []
        assert sum(record["type"] == "trace_cut" for record in records) <= 1
    # the program's end is kept
    main_end = frame_records({"frames_of_interest": doc["frames_of_interest"], "frames": {}})[-1]
    assert (main_end["co_name"], main_end["event"]) == ("run_threads", "return")


def fail():
    raise ValueError("past the budget")


def run_failing():
    loop(20)
    for _ in range(30):
        try:
            fail()
        except ValueError:
            pass


@pytest.mark.parametrize("kept", [45, 46])
def test_exception_records_go_with_their_frames(profile, kept):
    full, _ = profile(run_failing)
    full_records = all_records(full)
    # the first part ends with the return of the first `fail`, or with its exception record
    assert [(r["type"], r.get("co_name"), r.get("event")) for r in full_records[44:46]] == [
        ("frame", "fail", "return"), ("exception", "fail", None)]
    budget = budget_with_head(sum(sizes(full_records[:kept])) - 1)

    doc, _ = profile(run_failing, config={"trace_budget_bytes": budget})

    first, cut, last = parts(doc["frames_of_interest"])
    assert [key(r) for r in first] == [key(r) for r in full_records[:kept]]
    assert [key(r) for r in last[-4:]] == [key(r) for r in full_records[-4:]]
    assert cut["dropped_events"] == len(full_records) - len(first) - len(last)
    # the first dropped record is a later call of `fail`; the exception
    # record of the one returning where the first part ends is kept
    assert (cut["co_name"], cut["event"]) == ("fail", "call")
    [thread] = Trace.from_document(doc).threads
    failed = [node for _, node in thread.walk() if isinstance(node, Call) and node.name.endswith("fail")]
    assert len(failed) >= 2
    assert all(call.raised == "ValueError('past the budget')" for call in failed)


def long_run(count):
    for _ in range(count):
        loop(20)


@pytest.mark.parametrize("threads", [0, 3])
def test_the_document_stays_within_its_budget(profile_raw, threads):
    budget = 40_000

    def run():
        workers = [threading.Thread(target=long_run, args=(40,)) for _ in range(threads)]
        for worker in workers:
            worker.start()
        long_run(40)
        for worker in workers:
            worker.join()

    document, _ = profile_raw(run, config={"threading": True, "trace_budget_bytes": budget})

    doc = decode(document)
    assert sum(cut["dropped_events"] for cut in cut_records(doc)) > 3 * len(frame_records(doc))
    # the run's facts, one cut record per thread and a record of each thread
    # that filed past the first part while another was filling it
    overhead = len(values.packb({**doc, "frames": {}, "frames_of_interest": []}))
    assert len(document) <= budget + overhead + (threads + 1) * 800


APP = """\
import logging

def work(number):
    return number * 2

def give_up(steps):
    logging.getLogger("app").error("giving up after %d steps", steps)
    raise RuntimeError("out of patience")

def main():
    for number in range(3000):
        work(number)
    give_up(3000)

main()
"""


def test_the_end_of_a_long_run_keeps_its_error_log_and_exception(tmp_path):
    (tmp_path / "app.py").write_text(APP)

    ran = run_python("-m", "zelm", "run", "--trace-budget", "60000", "app.py", cwd=tmp_path)
    shown = run_python("-m", "zelm", "show", "latest", cwd=tmp_path)

    assert ran.returncode == 1 and "RuntimeError: out of patience" in ran.stderr
    loaded = trace.load(tmp_path / ".zelm" / "traces.sqlite3", trace.LATEST)
    [cut] = loaded.cuts
    assert cut.dropped_events > 5000
    [main] = loaded.threads
    [module] = [node for node in main.roots if isinstance(node, Call)]
    [main_call] = module.calls()
    # the gap is in place, the calls after it are whole
    assert [node.type for node in main_call.children if isinstance(node, PluginRecord)] == ["trace_cut"]
    give_up = main_call.calls()[-1]
    assert (give_up.name, give_up.raised) == ("__main__.give_up", "RuntimeError('out of patience')")
    assert [record.data["message"] for record in give_up.children] == ["giving up after 3000 steps"]
    assert module.raised == main_call.raised == "RuntimeError('out of patience')"
    assert [call.return_value for call in main_call.calls()[-3:-1]] == [5996, 5998]
    # `zelm show` draws the gap once, where it is, and the end after it
    lines = shown.stdout.splitlines()
    [gap] = [index for index, line in enumerate(lines) if "records dropped here" in line]
    assert f"… {cut.dropped_events} records dropped here by the size budget until" in lines[gap]
    assert "giving up after 3000 steps" in "\n".join(lines[gap:])


def test_the_viewer_shows_each_gap_once_where_it_is(profile_raw):
    from test_view_index import assert_same_index

    document, _ = profile_raw(run_threads, config={"threading": True, "trace_budget_bytes": 8000})

    # the native reader builds the tree the reader builds, gaps in place
    index = assert_same_index([document])
    gaps = [index.row(node) for node in range(len(index.nodes)) if index.row(node)["name"] == "trace_cut"]
    cuts = cut_records(decode(document))
    assert len(gaps) == len(cuts) == len(index.trace.cuts) >= 2
    assert sorted(row["text"].split()[1] for row in gaps) == sorted(str(cut["dropped_events"]) for cut in cuts)
    assert index.record_count == len(all_records(decode(document))) - len(cuts)


def test_a_failing_save_puts_a_cut_trace_back_whole(native, make_host, saved_traces):
    saved_traces.error = RuntimeError("database is locked")
    host = make_host(config={"trace_budget_bytes": 6000})

    def run():
        loop(60)
        with pytest.raises(RuntimeError):
            host.rust_profiler.save_request_in_db()
        leaf(-1)

    doc = decode(traced(native, host, run))

    [(_, kwargs)] = saved_traces
    refused = decode(kwargs["msgpack"])["frames_of_interest"]
    kept = doc["frames_of_interest"]
    # the refused trace's records, its cut among them, then the newer ones
    assert [key(r) for r in kept[:len(refused)]] == [key(r) for r in refused]
    assert [r["type"] for r in refused].count("trace_cut") == 1
    assert (kept[-1]["co_name"], kept[-1]["event"]) == ("run", "return")
    assert unpaired(kept) == []
