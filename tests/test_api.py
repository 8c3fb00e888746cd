"""zelm.enabled: record a block or a function and save its trace."""

import sys
import threading

import pytest

import zelm
from zelm import store, trace


def work(number):
    return number + 1


def recursive(depth):
    return 0 if depth == 0 else 1 + recursive(depth - 1)


@pytest.fixture(autouse=True)
def no_profiler_left_behind():
    yield
    if "zelm._zelm" in sys.modules:
        sys.modules["zelm._zelm"].register_noop_profiler()
    threading.setprofile(None)


def recorded_calls(db_path, trace_id):
    loaded = trace.load(db_path, trace_id)
    return [node for thread in loaded.threads for _, node in thread.walk() if isinstance(node, trace.Call)]


def test_block_is_recorded_and_saved_on_exit(db_path):
    with zelm.enabled(db_path=db_path, source="api test") as profiler:
        assert sys.getprofile() is not None
        work(1)

    assert sys.getprofile() is None
    assert isinstance(profiler, zelm.Profiler)
    (stored,) = store.list_traces(db_path)
    assert (stored.trace_id, stored.source) == (profiler.trace_id, "api test")
    (call,) = [call for call in recorded_calls(db_path, profiler.trace_id) if call.name.endswith(".work")]
    assert (call.arguments, call.return_value) == ({"number": 1}, 2)
    work(2)  # after the block: not recorded, and nothing was left unsaved
    assert trace.Trace.from_bytes(profiler.build_trace()).record_count == 0
    assert len(store.list_traces(db_path)) == 1


def test_block_that_raises_is_still_saved_and_the_error_passes(db_path):
    def failing():
        work(5)
        raise KeyError("lost")

    with pytest.raises(KeyError, match="lost"):
        with zelm.enabled(db_path=db_path, trace_id="trc_failing"):
            failing()

    assert sys.getprofile() is None
    calls = recorded_calls(db_path, "trc_failing")
    assert [call.name.rsplit(".", 1)[-1] for call in calls] == ["failing", "work"]
    assert all(call.finished for call in calls)


def test_decorated_function_saves_one_trace_per_call(db_path):
    @zelm.enabled(db_path=db_path, config={"threading": False})
    def handle(value):
        return work(value) * 10

    assert handle(1) == 20
    assert handle(2) == 30

    newest, oldest = store.list_traces(db_path)
    assert newest.trace_id != oldest.trace_id
    for stored, value in ((oldest, 1), (newest, 2)):
        assert [(call.name.rsplit(".", 1)[-1], call.arguments) for call in recorded_calls(db_path, stored.trace_id)] == [
            ("handle", {"value": value}), ("work", {"number": value}),
        ]
    assert sys.getprofile() is None


def test_decorated_function_called_by_two_threads_at_once_makes_two_traces(db_path):
    both_inside = threading.Barrier(2, timeout=30)

    @zelm.enabled(db_path=db_path, config={"threading": False})
    def handle(value):
        both_inside.wait()
        return work(value)

    results = {}
    threads = [threading.Thread(target=lambda v=v: results.update({v: handle(v)})) for v in (1, 2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    assert results == {1: 2, 2: 3}
    traces = store.list_traces(db_path)
    assert len({stored.trace_id for stored in traces}) == 2
    arguments = sorted(
        # (the barrier is a closure variable, so handle's locals show it too)
        ([(call.name.rsplit(".", 1)[-1], {k: v for k, v in call.arguments.items() if k != "both_inside"})
          for call in recorded_calls(db_path, stored.trace_id)]
         for stored in traces),
        key=repr,
    )
    assert arguments == [
        [("handle", {"value": 1}), ("work", {"number": 1})],
        [("handle", {"value": 2}), ("work", {"number": 2})],
    ]


def test_decorated_recursion_stays_in_one_trace(db_path):
    profiled = zelm.enabled(db_path=db_path)(recursive)

    def outer(depth):
        return profiled(depth)

    # Re-entering the same decorated function must not restart the profiler.
    globals()["recursive"], original = profiled, recursive
    try:
        assert outer(3) == 3
    finally:
        globals()["recursive"] = original

    (stored,) = store.list_traces(db_path)
    (root,) = trace.load(db_path, stored.trace_id).threads[0].roots
    depths = []
    while root is not None:
        depths.append((root.arguments, root.return_value))
        root = root.calls()[0] if root.calls() else None
    assert depths == [({"depth": 3}, 3), ({"depth": 2}, 2), ({"depth": 1}, 1), ({"depth": 0}, 0)]
    assert sys.getprofile() is None


def test_failing_save_is_reported(tmp_path):
    not_a_database = tmp_path / "file.sqlite3"
    not_a_database.write_text("plain text " * 100)

    with pytest.raises(store.TraceStoreError, match="file.sqlite3"):
        with zelm.enabled(db_path=str(not_a_database)):
            work(1)

    assert sys.getprofile() is None
