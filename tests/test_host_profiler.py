import os
import re
import sys
import threading
import time
import types

import pytest
from conftest import decode, frame_records, run_python

import zelm
from zelm import Profiler, git, serialize
from zelm.ids import CROCKFORD_BASE32, new_trace_id, new_ulid
from zelm.serialize import reference
from zelm.store import list_traces, load_trace

TRACE_ID_PATTERN = re.compile(r"trc_[0-7][0-9A-HJKMNP-TV-Z]{25}")


def ulid_milliseconds(ulid_text):
    value = 0
    for character in ulid_text:
        value = value * 32 + CROCKFORD_BASE32.index(character)
    return value >> 80


def test_trace_ids_are_trc_and_a_ulid_of_the_current_time():
    before = time.time_ns() // 1_000_000
    trace_ids = [new_trace_id() for _ in range(200)]
    after = time.time_ns() // 1_000_000

    for trace_id in trace_ids:
        assert TRACE_ID_PATTERN.fullmatch(trace_id), trace_id
        assert before <= ulid_milliseconds(trace_id[4:]) <= after
    assert len(set(trace_ids)) == len(trace_ids)
    # 80 random bits: the random halves differ, not only the time halves.
    assert len({trace_id[-16:] for trace_id in trace_ids}) == len(trace_ids)


def test_ulid_randomness_uses_all_characters_of_the_alphabet():
    random_parts = "".join(new_ulid()[10:] for _ in range(500))

    assert set(random_parts) == set(CROCKFORD_BASE32)


def test_profiler_defaults(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)

    profiler = Profiler()

    assert profiler.config == {"threading": True}
    assert profiler.db_path == os.path.join(str(tmp_path), ".zelm", "traces.sqlite3")
    assert profiler.one_trace_per_test is False
    assert profiler.source == "python"
    assert TRACE_ID_PATTERN.fullmatch(profiler.trace_id)
    assert profiler.trace_id != Profiler().trace_id
    assert callable(profiler)


def test_profiler_keeps_given_settings_and_merges_config_over_defaults(tmp_path):
    profiler = Profiler(
        config={"lightweight_repr": True, "threading": False},
        db_path=tmp_path / "t.sqlite3",
        one_trace_per_test=True,
        source="tests",
        trace_id="trc_given",
    )

    assert profiler.config == {"threading": False, "lightweight_repr": True}
    assert profiler.db_path == tmp_path / "t.sqlite3"
    assert profiler.one_trace_per_test is True
    assert (profiler.source, profiler.trace_id) == ("tests", "trc_given")


@pytest.mark.parametrize("method", ["build_trace", "save"])
def test_using_the_trace_before_start_is_a_clear_error(method):
    with pytest.raises(RuntimeError, match="not been started"):
        getattr(Profiler(), method)()


def test_importing_zelm_does_not_load_the_native_module():
    code = ("import sys, zelm, zelm.profiler, zelm.serialize, zelm.db, zelm.trace, zelm.values; "
            "print('zelm._zelm' in sys.modules)")
    result = run_python("-c", code, env={"PYTHONPATH": os.pathsep.join(sys.path)}, check=True)

    assert result.stdout.strip() == "False"


@pytest.mark.parametrize("value, expected", [("abc123", "abc123"), ("  abc \n", "abc"), ("", None), (None, None)])
def test_commit_sha_comes_from_the_environment(value, expected):
    env = {"ZELM_COMMIT_SHA": value, "PYTHONPATH": os.pathsep.join(sys.path)}
    code = "import zelm.git; print(repr(zelm.git.COMMIT_SHA))"

    result = run_python("-c", code, env=env, check=True)

    assert result.stdout.strip() == repr(expected)


class FakeNativeModule(types.ModuleType):
    """Stands in for zelm._zelm to check how the host drives it."""

    def __init__(self):
        super().__init__("zelm._zelm")
        self.calls = []

    def register_profiler(self, profiler):
        self.calls.append("register")
        profiler.rust_profiler = FakeNativeProfiler()
        if profiler.config.get("threading") is True:
            threading.setprofile(profiler.rust_profiler.register_threading_profiler)

    def register_noop_profiler(self):
        self.calls.append("noop")


class FakeNativeProfiler:
    def register_threading_profiler(self, _frame, _event, _arg):
        pass

    def build_trace(self):
        return b"\x88document"


@pytest.fixture
def fake_native(monkeypatch):
    native = FakeNativeModule()
    monkeypatch.setitem(sys.modules, "zelm._zelm", native)
    yield native
    threading.setprofile(None)


def test_decorated_function_runs_under_a_started_profiler(fake_native):
    profiler = Profiler()

    @profiler
    def work(value, *, twice):
        """Docstring kept."""
        fake_native.calls.append(f"work {value}")
        return value * 2 if twice else value

    assert work(21, twice=True) == 42
    assert work.__name__ == "work" and work.__doc__ == "Docstring kept."
    assert fake_native.calls == ["register", "work 21", "noop"]
    assert profiler.build_trace() == b"\x88document"


def test_nested_entries_keep_the_running_profiler(fake_native):
    profiler = Profiler()

    @profiler
    def countdown(n):
        return 0 if n == 0 else 1 + countdown(n - 1)

    assert countdown(3) == 3
    assert fake_native.calls == ["register", "noop"]


def test_profiler_is_stopped_when_the_decorated_function_raises(fake_native):
    profiler = Profiler()

    @profiler
    def fails():
        raise KeyError("boom")

    with pytest.raises(KeyError):
        fails()
    with profiler:
        pass

    assert fake_native.calls == ["register", "noop", "register", "noop"]


def test_stop_removes_only_its_own_threading_hook(fake_native):
    profiler = Profiler()
    profiler.start()
    assert threading.getprofile() == profiler.rust_profiler.register_threading_profiler
    profiler.stop()
    assert threading.getprofile() is None

    def foreign_hook(_frame, _event, _arg):
        pass

    profiler.start()
    threading.setprofile(foreign_hook)
    profiler.stop()
    assert threading.getprofile() is foreign_hook


# The tests below drive the real native module (the fixture "native" skips
# them until it is built).


def traced_function(numbers, label):
    return sum(numbers), label


def run_traced_code(profiler):
    profiler.start()
    try:
        traced_function((1, 2, 3), "x" * 300)
    finally:
        profiler.stop()


@pytest.mark.parametrize(
    "lightweight, expected_label",
    [(False, "x" * 300), (True, "x" * reference.LIGHTWEIGHT_MAX_TEXT + serialize.TRUNCATION_MARKER)],
    ids=["full", "lightweight"],
)
def test_native_trace_holds_calls_serialised_by_the_host(native, tmp_path, lightweight, expected_label):
    profiler = Profiler(
        config={"threading": False, "lightweight_repr": lightweight}, db_path=tmp_path / "t.sqlite3", source="tests"
    )

    run_traced_code(profiler)
    document = decode(profiler.build_trace())

    assert document["trace_id"] == profiler.trace_id
    assert document["meta"] == {"version": zelm.__version__, "source": "tests", "use_frame_boundaries": True}
    assert document["current_commit_sha"] == git.COMMIT_SHA
    call, ret = frame_records(document, "traced_function")
    assert (call["event"], ret["event"]) == ("call", "return")
    assert call["locals"] == {"numbers": (1, 2, 3), "label": expected_label}
    assert ret["arg"] == (6, expected_label)


def test_native_save_stores_the_trace_in_the_database(native, tmp_path):
    db_path = tmp_path / "nested" / "t.sqlite3"
    profiler = Profiler(config={"threading": False}, db_path=db_path)

    run_traced_code(profiler)
    profiler.save()
    run_traced_code(profiler)
    profiler.save()

    newest, oldest = list_traces(db_path)
    assert newest.trace_id == oldest.trace_id == profiler.trace_id
    assert newest.record_count >= 2 and oldest.record_count >= 2
    assert frame_records(decode(load_trace(db_path, profiler.trace_id)), "traced_function")


def test_native_decorator_records_the_decorated_function(native, tmp_path):
    profiler = Profiler(config={"threading": False}, db_path=tmp_path / "t.sqlite3")

    profiled = profiler(traced_function)
    assert profiled([4], "y") == (4, "y")

    assert [record["event"] for record in frame_records(decode(profiler.build_trace()), "traced_function")] == [
        "call",
        "return",
    ]


@pytest.mark.parametrize("lightweight, mode", [(False, 0), (True, 1)], ids=["full", "lightweight"])
def test_value_limits_hold_while_the_profiler_runs(native, tmp_path, lightweight, mode):
    before = serialize.current_limits()
    profiler = Profiler(
        config={"threading": False, "lightweight_repr": lightweight, "value_limits": {"max_text": 7, "max_items": 2}},
        db_path=tmp_path / "t.sqlite3",
    )

    run_traced_code(profiler)

    assert serialize.current_limits() == before
    (call, ret) = frame_records(decode(profiler.build_trace()), "traced_function")
    assert call["locals"] == {"numbers": (1, 2, "… 1 item left out"), "label": "x" * 7 + "…"}
    assert ret["arg"] == (6, "x" * 7 + "…")


@pytest.mark.parametrize("stop_order", ["first stops first", "last stops first"])
def test_overlapping_profilers_keep_the_settings_of_one_still_recording(native, tmp_path, stop_order):
    # Requests served side by side stop in any order: the one still recording
    # must never fall back to the settings from before any started, which
    # would drop its scrub keys.
    before = (serialize.current_limits(), serialize.current_scrub_keys())

    def started(max_text, scrub_key):
        profiler = Profiler(config={"threading": False, "value_limits": {"max_text": max_text},
                                    "scrub_keys": [scrub_key]}, db_path=tmp_path / "t.sqlite3")
        profiler.start()
        return profiler

    first = started(7, "first_secret")
    second = started(3, "second_secret")
    stopped, recording = (first, second) if stop_order == "first stops first" else (second, first)
    expected_text = 3 if recording is second else 7
    expected_keys = ["second_secret"] if recording is second else ["first_secret"]
    stopped.stop()
    try:
        assert serialize.current_limits()[0].max_text == expected_text
        assert list(serialize.current_scrub_keys()) == expected_keys
    finally:
        recording.stop()
    assert (serialize.current_limits(), serialize.current_scrub_keys()) == before


def test_value_limits_are_process_wide_so_the_last_started_profiler_sets_them(native, tmp_path):
    # Two profilers recording at once, each on its own thread: the limits
    # are the serializer's, one set per process, so the one started last
    # cuts the other's values too, until it stops and puts the earlier back.
    def profiler(max_text):
        return Profiler(config={"threading": False, "value_limits": {"max_text": max_text}},
                        db_path=tmp_path / "t.sqlite3")

    first, second = profiler(7), profiler(3)
    second_started, second_may_stop = threading.Event(), threading.Event()

    def run_second():
        second.start()
        second_started.set()
        second_may_stop.wait(10)
        second.stop()

    first.start()
    try:
        traced_function((), "x" * 300)
        helper = threading.Thread(target=run_second)
        helper.start()
        second_started.wait(10)
        traced_function((), "x" * 300)
        second_may_stop.set()
        helper.join()
        traced_function((), "x" * 300)
    finally:
        first.stop()

    returns = [r["arg"] for r in frame_records(decode(first.build_trace()), "traced_function") if r["event"] == "return"]
    assert [label for _, label in returns] == [
        "x" * max_text + serialize.TRUNCATION_MARKER for max_text in (7, 3, 7)
    ]


@pytest.mark.parametrize("config, message", [
    ({"trace_budget_bytes": 0}, "trace_budget_bytes must be None or a whole number of bytes of at least 1, not 0"),
    ({"trace_budget_bytes": "1MiB"}, "trace_budget_bytes must be None or a whole number"),
    ({"value_limits": {"max_text": -1}}, "max_text must be a whole number of at least 1, not -1"),
    ({"value_limits": {"depth": 3}}, "unknown value limit 'depth'"),
    ({"scrub_keys": "password"}, "config scrub_keys: the scrub keys must be a list of names, not str"),
    ({"scrub_keys": ["password", None]}, "config scrub_keys: a scrub key must be a str, not NoneType"),
])
def test_bad_recording_config_is_refused_up_front(config, message):
    with pytest.raises(ValueError, match=message):
        Profiler(config=config)
    with pytest.raises(ValueError, match=message):
        zelm.enabled(config=config)


@pytest.mark.parametrize("config, budget", [
    (None, zelm.DEFAULT_TRACE_BUDGET_BYTES), ({"trace_budget_bytes": None}, None), ({"trace_budget_bytes": 4096}, 4096),
])
def test_enabled_gives_traces_the_default_budget(fake_native, tmp_path, monkeypatch, config, budget):
    started = []
    monkeypatch.setattr(Profiler, "save", lambda self: started.append(self.config))

    with zelm.enabled(db_path=tmp_path / "t.sqlite3", config=config):
        pass

    assert [entry["trace_budget_bytes"] for entry in started] == [budget]
    assert zelm.DEFAULT_TRACE_BUDGET_BYTES == 256 * 1024 * 1024
