"""Frame records: the 12-entry map written for every recorded call and
return, how a call and its return are linked, the call site, the thread,
and what happens to an event whose record cannot be made."""

import asyncio
import inspect
import json
import logging
import os
import re
import subprocess
import sys
import textwrap
import threading
import time
from contextlib import contextmanager

import msgpack
import pytest

import zelm.serialize
from conftest import decode, echo, frame_records, plugin_definition, run_python

FRAME_KEYS = [
    "path", "co_name", "qualname", "event", "frame_id", "arg", "locals", "thread",
    "thread_native_id", "timestamp", "type", "user_code_call_site",
]
FRAME_ID = re.compile(r"frm_[0-9A-HJKMNP-TV-Z]{26}")
LOG_MESSAGE = (
    "Unexpected exception in Rust.\n    co_filename: %s\n    co_name: %s\n"
    "    event: %s\n    line: %s\n"
)
HERE = os.path.abspath(__file__)


def line_of(function, marker):
    """The number of the first line of `function`'s source that contains `marker`."""
    lines, first = inspect.getsourcelines(function)
    for offset, text in enumerate(lines):
        if marker in text:
            return first + offset
    raise AssertionError(f"{marker!r} not in {function.__name__}")


def events_of(doc, co_name):
    return [(r["event"], r["frame_id"], r["arg"]) for r in frame_records(doc, co_name)]


# ---- the record itself ---------------------------------------------------------


def add_one(value):
    result = value + 1
    return result


def test_frame_record_entries_keys_in_order_and_values(profile_raw, monkeypatch):
    monkeypatch.chdir(os.path.dirname(HERE))

    def run():
        add_one(41)  # call site

    before = time.time()
    document, _ = profile_raw(run)
    after = time.time()

    ordered = dict(msgpack.unpackb(document, object_pairs_hook=list, raw=False, strict_map_key=False))
    records = ordered["frames_of_interest"]
    assert len(records) == 4
    for pairs in records:
        assert [key for key, _ in pairs] == FRAME_KEYS
        site = dict(pairs)["user_code_call_site"]
        if site is not None:
            assert [key for key, _ in site] == ["call_frame_id", "line_number"]
    # fixmap of 12 entries, the first key "path"
    assert document.count(b"\x8c\xa4path") == 4

    run_call, call, ret, run_return = frame_records(decode(document))
    assert [r["co_name"] for r in (run_call, call, ret, run_return)] == ["run", "add_one", "add_one", "run"]
    site = {"call_frame_id": run_call["frame_id"], "line_number": line_of(run, "# call site")}
    common = {
        "co_name": "add_one",
        "qualname": f"{__name__}.add_one",
        "frame_id": call["frame_id"],
        "thread": threading.current_thread().name,
        "thread_native_id": threading.get_native_id(),
        "type": "frame",
        "user_code_call_site": site,
    }
    assert call == {
        **common,
        "path": f"test_records.py:{add_one.__code__.co_firstlineno}",
        "event": "call",
        "arg": None,
        "locals": {"value": 41},
        "timestamp": call["timestamp"],
    }
    assert ret == {
        **common,
        "path": f"test_records.py:{line_of(add_one, 'return result')}",
        "event": "return",
        "arg": 42,
        "locals": {"value": 41, "result": 42},
        "timestamp": ret["timestamp"],
    }
    assert FRAME_ID.fullmatch(call["frame_id"])
    assert run_call["frame_id"] != call["frame_id"]
    timestamps = [r["timestamp"] for r in (run_call, call, ret, run_return)]
    assert all(isinstance(t, float) for t in timestamps)
    assert before <= timestamps[0] <= timestamps[1] <= timestamps[2] <= timestamps[3] <= after


# ---- linking a call to its return --------------------------------------------------


def inner():
    return ["inner"]


def outer():
    inner()
    return "outer"


def raises():
    raise KeyError("left by an exception")


def catches():
    try:
        raises()
    except KeyError:
        return "caught"


@pytest.mark.parametrize("run, callee, value", [
    (outer, "inner", ["inner"]),
    (catches, "raises", None),
])
def test_call_and_return_share_a_frame_id(profile, run, callee, value):
    doc, _ = profile(run)
    caller = run.__name__
    ids = [(r["co_name"], r["event"], r["frame_id"]) for r in frame_records(doc)]
    outer_id, inner_id = ids[0][2], ids[1][2]
    # ids A, B, B, A
    assert ids == [
        (caller, "call", outer_id),
        (callee, "call", inner_id),
        (callee, "return", inner_id),
        (caller, "return", outer_id),
    ]
    assert outer_id != inner_id
    assert all(FRAME_ID.fullmatch(frame_id) for _, _, frame_id in ids)
    assert events_of(doc, callee) == [("call", inner_id, None), ("return", inner_id, value)]
    assert events_of(doc, caller)[1][2] == run()


def counter():
    yield 1
    yield 2


def test_generator_resumes_get_a_new_frame_id_each(profile):
    doc, _ = profile(lambda: list(counter()))
    events = events_of(doc, "counter")
    # three resumes: two yields and the final StopIteration
    assert [(event, arg) for event, _, arg in events] == [
        ("call", None), ("return", 1), ("call", None), ("return", 2), ("call", None), ("return", None),
    ]
    call_ids = [frame_id for event, frame_id, _ in events if event == "call"]
    return_ids = [frame_id for event, frame_id, _ in events if event == "return"]
    assert len(set(call_ids)) == 3
    assert return_ids == call_ids


async def doubled_later(value):
    await asyncio.sleep(0)
    return value * 2


async def awaits_doubled():
    return await doubled_later(21)


def test_coroutine_resumes_link_like_generator_resumes(profile):
    doc, _ = profile(lambda: asyncio.run(awaits_doubled()))
    events = events_of(doc, "doubled_later")
    # started, suspended at the sleep, resumed, finished
    assert [(event, arg) for event, _, arg in events] == [
        ("call", None), ("return", None), ("call", None), ("return", 42),
    ]
    call_ids = [frame_id for event, frame_id, _ in events if event == "call"]
    assert len(set(call_ids)) == 2
    assert [frame_id for event, frame_id, _ in events if event == "return"] == call_ids
    assert {r["qualname"] for r in frame_records(doc, "doubled_later")} == {f"{__name__}.doubled_later"}
    # each resume of the inner coroutine is called from the outer one's resume
    outer_calls = [r["frame_id"] for r in frame_records(doc, "awaits_doubled") if r["event"] == "call"]
    inner_sites = [r["user_code_call_site"]["call_frame_id"]
                   for r in frame_records(doc, "doubled_later") if r["event"] == "call"]
    assert inner_sites == outer_calls


def test_return_without_recorded_call_has_nil_frame_id(native, make_host):
    host = make_host()

    def starts_profiling():
        native.register_profiler(host)
        return "started"

    def run():
        starts_profiling()
        return add_one(1)

    run()
    native.register_noop_profiler()
    records = frame_records(decode(host.rust_profiler.build_trace()))
    started, call, ret, run_return = records
    assert (started["co_name"], started["event"], started["arg"]) == ("starts_profiling", "return", "started")
    assert started["frame_id"] is None
    assert started["user_code_call_site"] is None
    # The unmatched return neither invented a call nor disturbed the stack.
    assert (call["event"], ret["event"]) == ("call", "return")
    assert call["frame_id"] == ret["frame_id"] and FRAME_ID.fullmatch(call["frame_id"])
    assert call["user_code_call_site"] is None
    assert (run_return["co_name"], run_return["frame_id"], run_return["arg"]) == ("run", None, 2)


def test_frame_id_is_forgotten_once_its_return_is_recorded(native, make_host, plugin_definitions):
    # A generator frame left at its first yield and resumed while another
    # profile function is installed: the profiler is installed again inside
    # it, so its second yield is a return without a recorded call. The id of
    # the first resume is finished and must not be handed out again.
    plugin_definitions(plugin_definition("resumed", path_fragment="test_records.py"))
    host = make_host()

    def resumed():
        yield "first"
        host.rust_profiler.register_threading_profiler(None, None, None)
        yield "second"

    generator = resumed()
    native.register_profiler(host)
    next(generator)
    native.register_noop_profiler()
    next(generator)
    native.register_noop_profiler()

    doc = decode(host.rust_profiler.build_trace())
    resumes = events_of(doc, "resumed")
    first_id = resumes[0][1]
    assert resumes == [("call", first_id, None), ("return", first_id, "first"), ("return", None, "second")]
    plugin_ids = [(r["type"], r["frame_id"]) for r in doc["frames_of_interest"] if r["type"] != "frame"]
    assert [kind for kind, _ in plugin_ids] == ["resumed_call", "resumed_return", "resumed_return"]
    assert plugin_ids[1][1] == plugin_ids[0][1]
    # the processor forgot its id too: the unmatched return gets a fresh one
    assert FRAME_ID.fullmatch(plugin_ids[2][1]) and plugin_ids[2][1] != plugin_ids[0][1]


# ---- locals and location -----------------------------------------------------------


def test_module_code_locals_leave_out_builtins(profile, tmp_path, monkeypatch):
    (tmp_path / "records_module_code.py").write_text("answer = 42\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.chdir(tmp_path)
    monkeypatch.delitem(sys.modules, "records_module_code", raising=False)
    import importlib

    doc, _ = profile(lambda: importlib.import_module("records_module_code"))
    module = sys.modules.pop("records_module_code")
    call, ret = frame_records(doc, "<module>")
    for record in (call, ret):
        assert record["qualname"] == "records_module_code.<module>"
        assert record["path"].startswith("records_module_code.py:")
        assert "__builtins__" not in record["locals"]
        assert record["locals"]["__name__"] == "records_module_code"
    assert "answer" not in call["locals"]
    assert ret["locals"]["answer"] == 42
    assert "__builtins__" in module.__dict__


@pytest.mark.parametrize("cwd, filename, expected", [
    ("app", "{tmp}/app/views.py", "views.py"),
    ("app", "{tmp}/app/pkg/views.py", "pkg/views.py"),
    ("app", "{tmp}/app", ""),
    ("app", "{tmp}/application.py", "{tmp}/application.py"),
    ("app", "{tmp}/app.py", "{tmp}/app.py"),
    ("app", "{tmp}/other/views.py", "{tmp}/other/views.py"),
    ("app/pkg", "{tmp}/app/views.py", "{tmp}/app/views.py"),
    ("app", "relative/views.py", "relative/views.py"),
    ("/", "{tmp}/app/views.py", "{tmp_from_root}/app/views.py"),
], ids=["inside", "nested", "the-directory-itself", "name-prefix", "sibling-file", "outside",
        "parent", "relative-name", "root"])
def test_path_is_relative_to_the_working_directory(profile, tmp_path, monkeypatch, cwd, filename, expected):
    (tmp_path / "app" / "pkg").mkdir(parents=True)
    names = {"tmp": str(tmp_path), "tmp_from_root": str(tmp_path).lstrip("/")}
    code = compile("def located():\n    return 1\n", filename.format(**names), "exec")
    namespace = {"__name__": "located_module"}
    exec(code, namespace)
    monkeypatch.chdir(tmp_path / cwd)

    doc, _ = profile(namespace["located"])
    assert [r["path"] for r in frame_records(doc, "located")] == [
        expected.format(**names) + ":1", expected.format(**names) + ":2",
    ]


@pytest.mark.parametrize("directory, function", [
    ("app", "located"),
    ("café", "größe"),
    ("应用", "函数"),
    ("emoji_🚀", "λ"),
], ids=["ascii", "latin", "cjk", "astral"])
def test_names_and_paths_are_recorded_as_their_exact_text(profile, tmp_path, monkeypatch, directory, function):
    (tmp_path / directory).mkdir()
    code = compile(f"def {function}():\n    return 1\n", str(tmp_path / directory / "views.py"), "exec")
    namespace = {"__name__": f"{directory}_module"}
    exec(code, namespace)
    monkeypatch.chdir(tmp_path)

    doc, _ = profile(namespace[function])
    records = frame_records(doc, function)
    assert [(r["path"], r["qualname"]) for r in records] == [
        (f"{directory}/views.py:1", f"{directory}_module.{function}"),
        (f"{directory}/views.py:2", f"{directory}_module.{function}"),
    ]


def test_path_follows_the_working_directory_from_event_to_event(profile, tmp_path, monkeypatch):
    (tmp_path / "app").mkdir()
    code = compile("def located():\n    return 1\n", str(tmp_path / "app" / "views.py"), "exec")
    namespace = {"__name__": "located_module"}
    exec(code, namespace)
    located = namespace["located"]
    monkeypatch.chdir(tmp_path)  # put back afterwards

    def run():
        for directory in (tmp_path / "app", tmp_path, tmp_path / "app"):
            os.chdir(directory)
            located()

    doc, _ = profile(run)
    assert [r["path"] for r in frame_records(doc, "located")] == [
        "views.py:1", "views.py:2", "app/views.py:1", "app/views.py:2", "views.py:1", "views.py:2",
    ]


# ---- call sites ----------------------------------------------------------------------


@contextmanager
def managed():
    yield "managed"


def calls_directly():
    return echo(1)  # call site


def calls_through_a_builtin():
    return list(map(echo, [1, 2]))  # call site


def calls_through_library_code():
    with managed():  # call site
        return "done"


@pytest.mark.parametrize("caller, callee", [
    (calls_directly, "echo"),
    (calls_through_a_builtin, "echo"),
    (calls_through_library_code, "managed"),
])
def test_call_site_is_the_line_the_recorded_caller_is_executing(profile, caller, callee):
    doc, _ = profile(caller)
    [caller_call] = [r for r in frame_records(doc, caller.__name__) if r["event"] == "call"]
    assert caller_call["user_code_call_site"] is None
    site = {"call_frame_id": caller_call["frame_id"], "line_number": line_of(caller, "# call site")}
    callee_records = frame_records(doc, callee)
    assert callee_records
    assert all(r["user_code_call_site"] == site for r in callee_records)


# ---- threads ---------------------------------------------------------------------------


def left_running(native):
    # Stops recording on this thread before returning: the call stays on the
    # thread's stack for good.
    native.register_noop_profiler()


def test_a_later_thread_never_inherits_an_ended_threads_state(native, make_host):
    host = make_host(config={"threading": True})
    native.register_profiler(host)
    # One thread after the other, so the platform may hand the second one the
    # first one's identifiers.
    for target, args in ((left_running, (native,)), (echo, ("later",))):
        thread = threading.Thread(target=target, args=args)
        thread.start()
        thread.join()
    native.register_noop_profiler()
    threading.setprofile(None)

    doc = decode(host.rust_profiler.build_trace())
    assert [r["event"] for r in frame_records(doc, "left_running")] == ["call"]
    # The later thread starts with an empty stack, not with left_running on it.
    assert [(r["event"], r["user_code_call_site"]) for r in frame_records(doc, "echo")] == [
        ("call", None), ("return", None)]


@pytest.mark.parametrize("threading_on", [True, False], ids=["threading", "no-threading"])
def test_records_carry_their_thread(native, make_host, threading_on):
    host = make_host(config={"threading": threading_on})
    worker_native_id = []

    def worker():
        if not threading_on:
            host.rust_profiler.register_threading_profiler(None, None, None)
        worker_native_id.append(threading.get_native_id())
        echo("before rename")
        threading.current_thread().name = "renamed"
        echo("after rename")

    native.register_profiler(host)
    thread = threading.Thread(target=worker, name="worker-thread")
    thread.start()
    thread.join()
    echo("main")
    native.register_noop_profiler()
    threading.setprofile(None)

    doc = decode(host.rust_profiler.build_trace())
    assert doc["main_thread_id"] == threading.main_thread().native_id
    [worker_id] = worker_native_id
    if threading_on:
        assert list(doc["frames"]) == [worker_id]
        worker_records = doc["frames"][worker_id]
        main_records = doc["frames_of_interest"]
    else:
        assert doc["frames"] == {}
        main_records = [r for r in doc["frames_of_interest"] if r["thread_native_id"] != worker_id]
        worker_records = [r for r in doc["frames_of_interest"] if r["thread_native_id"] == worker_id]
    # the thread's first name is kept for the life of the profiler
    assert {(r["thread"], r["thread_native_id"]) for r in worker_records} == {("worker-thread", worker_id)}
    assert [r["arg"] for r in worker_records if r["co_name"] == "echo" and r["event"] == "return"] == [
        "before rename", "after rename",
    ]
    assert {(r["thread"], r["thread_native_id"]) for r in main_records} == {
        (threading.main_thread().name, threading.main_thread().native_id),
    }
    assert [r["arg"] for r in main_records if r["event"] == "return"] == ["main"]


# ---- events whose record cannot be made --------------------------------------------


class Poison:
    """A value the patched serializer refuses."""

    def __repr__(self):
        return "Poison()"


def returns_poison():
    return Poison()


def takes_poison(value):
    echo("inside")
    return "fine"


def sibling():
    return "sibling"


def run_returning_poison():
    returns_poison()
    sibling()


def run_taking_poison():
    takes_poison(Poison())
    sibling()


@pytest.fixture
def poisoned_serializer(monkeypatch):
    real = zelm.serialize.dump_msgpack

    def dump_msgpack(value):
        values = value.values() if isinstance(value, dict) else [value]
        if any(isinstance(item, Poison) for item in values):
            raise ValueError("poisoned")
        return real(value)

    monkeypatch.setattr(zelm.serialize, "dump_msgpack", dump_msgpack)


def check_warning(record, co_name, event):
    first_line = globals()[co_name].__code__.co_firstlineno
    assert record.levelno == logging.WARNING
    assert record.msg == LOG_MESSAGE
    assert record.args == (HERE, co_name, event, first_line)
    assert (record.pathname, record.lineno, record.funcName) == (HERE, first_line, co_name)
    assert isinstance(record.exc_info[1], ValueError) and str(record.exc_info[1]) == "poisoned"
    assert record.getMessage().startswith(f"Unexpected exception in Rust.\n    co_filename: {HERE}\n")
    # The frame's values stay out of it.
    assert "Poison()" not in logging.Formatter().format(record)


def test_failing_return_value_serialisation_drops_the_event(
        profile, poisoned_serializer, plugin_definitions, zelm_warnings):
    plugin_definitions(plugin_definition("returns_poison"))
    doc, _ = profile(run_returning_poison)

    [warning] = zelm_warnings()
    check_warning(warning, "returns_poison", "return")
    [call] = frame_records(doc, "returns_poison")
    assert call["event"] == "call"
    # the plugin record of the failed event went with it
    assert [r["type"] for r in doc["frames_of_interest"] if r["type"] != "frame"] == ["returns_poison_call"]
    # returns_poison left the stack with its failed return: the next call's
    # call site is the frame that is really running, not the finished callee
    [run_call] = [r for r in frame_records(doc, "run_returning_poison") if r["event"] == "call"]
    assert frame_records(doc, "sibling")[0]["user_code_call_site"]["call_frame_id"] == run_call["frame_id"]


def poisoned_only_at_call(value):
    del value
    return "fine"


def run_poisoned_only_at_call():
    poisoned_only_at_call(Poison())
    sibling()


def test_return_of_an_unrecorded_call_keeps_the_callers_entry(profile, poisoned_serializer, zelm_warnings):
    doc, _ = profile(run_poisoned_only_at_call)

    [warning] = zelm_warnings()
    check_warning(warning, "poisoned_only_at_call", "call")
    # The return is recorded (with the id its failed call was given) ...
    assert [r["event"] for r in frame_records(doc, "poisoned_only_at_call")] == ["return"]
    # ... and did not pop the caller, which is still the call site of the next call.
    [run_call] = [r for r in frame_records(doc, "run_poisoned_only_at_call") if r["event"] == "call"]
    assert frame_records(doc, "sibling")[0]["user_code_call_site"]["call_frame_id"] == run_call["frame_id"]
    assert frame_records(doc, "run_poisoned_only_at_call")[-1]["frame_id"] == run_call["frame_id"]


def test_failing_locals_serialisation_drops_call_and_return(
        profile, poisoned_serializer, plugin_definitions, zelm_warnings):
    plugin_definitions(plugin_definition("takes_poison"))
    doc, _ = profile(run_taking_poison)

    # Once for the code, though its return fails too.
    [warning] = zelm_warnings()
    check_warning(warning, "takes_poison", "call")
    assert frame_records(doc, "takes_poison") == []
    assert [r for r in doc["frames_of_interest"] if r["type"] != "frame"] == []
    # nothing was pushed for takes_poison: its callee's caller is the run frame
    [run_call] = [r for r in frame_records(doc, "run_taking_poison") if r["event"] == "call"]
    for name in ("echo", "sibling"):
        assert {r["user_code_call_site"]["call_frame_id"] for r in frame_records(doc, name)} == {
            run_call["frame_id"],
        }
    assert frame_records(doc, "run_taking_poison")[-1]["frame_id"] == run_call["frame_id"]


def test_failures_are_logged_once_per_code_object(profile, poisoned_serializer, zelm_warnings):
    def run():
        for _ in range(3):
            takes_poison(Poison())
        # Two codes of the same text, each freed before the next is made
        # (perhaps at the same address): each is a code of its own.
        for _ in range(2):
            namespace = {}
            exec(compile("def made(value):\n    return value\n", HERE, "exec"), namespace)
            namespace["made"](Poison())
            del namespace

    profile(run)

    assert [(w.args[1], w.args[2]) for w in zelm_warnings()] == [
        ("takes_poison", "call"), ("made", "call"), ("made", "call"),
    ]


class Collected(logging.Handler):
    def __init__(self):
        super().__init__()
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.mark.parametrize("quiet, expected", [
    (lambda logger: None, 1),
    (lambda logger: logger.setLevel(logging.ERROR), 0),
    (lambda logger: setattr(logger, "disabled", True), 0),
    (lambda logger: logger.addFilter(lambda record: False), 0),
], ids=["enabled", "level-above-warning", "disabled", "filtered-out"])
def test_failure_warning_goes_through_the_loggers_own_checks(profile, poisoned_serializer, monkeypatch,
                                                             quiet, expected):
    logger = logging.getLogger("zelm")
    collected = Collected()
    monkeypatch.setattr(logger, "handlers", [collected])
    monkeypatch.setattr(logger, "filters", [])
    monkeypatch.setattr(logger, "level", logging.NOTSET)
    monkeypatch.setattr(logger, "disabled", False)
    quiet(logger)
    try:
        profile(lambda: takes_poison(Poison()))
    finally:
        logger.manager._clear_cache()

    assert len(collected.records) == expected
    for record in collected.records:
        check_warning(record, "takes_poison", "call")
        # What a handler's formatter reads is all there.
        logging.Formatter("%(pathname)s:%(lineno)d %(funcName)s %(levelname)s %(message)s").format(record)


# ---- programs that must keep running (each in its own interpreter) ------------------

PRELUDE = '''
import json, logging, sys, threading
import zelm._zelm as native
from conftest import HostProfiler as Host, all_records, decode, traced


class Collect(logging.Handler):
    def __init__(self):
        super().__init__()
        self.records = []

    def emit(self, record):
        self.records.append(record)


warnings = Collect()
logging.getLogger("zelm").addHandler(warnings)


def profiled(fn, **host_kwargs):
    return all_records(decode(traced(native, Host(**host_kwargs), fn)))


def report(**values):
    values["warnings"] = [
        {"co_name": str(r.args[1]), "event": r.args[2], "exception": str(r.exc_info[1]),
         "is_exception": isinstance(r.exc_info[1], Exception)}
        for r in warnings.records
    ]
    print(json.dumps(values))
'''


def run_isolated(tmp_path, body):
    """Runs PRELUDE + body as a script file (so that its frames are recorded)
    in a new interpreter and returns what it reported."""
    script = tmp_path / "program.py"
    script.write_text(PRELUDE + textwrap.dedent(body))
    try:
        result = run_python(str(script), cwd=tmp_path)
    except subprocess.TimeoutExpired:
        pytest.fail("the profiled program hung")
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1])


def test_lone_surrogate_file_name_is_converted_lossily(tmp_path):
    reported = run_isolated(tmp_path, '''
        code = compile("def odd():\\n    return 'odd'\\n", "/nowhere/bad\\udcff.py", "exec")
        namespace = {"__name__": "odd_module"}
        exec(code, namespace)
        records = profiled(namespace["odd"])
        report(records=[[r["event"], r["path"], r["arg"]] for r in records if r["co_name"] == "odd"])
    ''')
    assert reported["warnings"] == []
    [(call_event, call_path, _), (return_event, return_path, value)] = reported["records"]
    assert (call_event, return_event, value) == ("call", "return", "odd")
    assert call_path.startswith("/nowhere/bad\ufffd") and call_path.endswith(".py:1")
    assert return_path.endswith(".py:2")


def test_lone_surrogate_function_name_is_converted_lossily(tmp_path):
    reported = run_isolated(tmp_path, '''
        def named():
            return "named"

        renamed = {"co_name": "na\\udc80med"}
        if sys.version_info >= (3, 11):
            renamed["co_qualname"] = "na\\udc80med"
        named.__code__ = named.__code__.replace(**renamed)
        result = []
        records = profiled(lambda: result.append(named()))
        report(result=result, names=[[r["event"], r["co_name"]] for r in records if r["co_name"].startswith("na")])
    ''')
    assert reported["warnings"] == []
    assert reported["result"] == ["named"]
    assert [event for event, _ in reported["names"]] == ["call", "return"]
    for _, name in reported["names"]:
        assert name.startswith("na\ufffd") and name.endswith("med")


def test_class_body_with_a_mapping_namespace_is_recorded(tmp_path):
    # A namespace that is no dict is recorded as a value, without its methods
    # running: they are the program's code, and may change what it does.
    reported = run_isolated(tmp_path, '''
        import collections.abc

        used = []

        class Namespace(collections.abc.MutableMapping):
            def __init__(self):
                self.data = {}
            def __getitem__(self, key):
                used.append(("get", key))
                return self.data[key]
            def __setitem__(self, key, value):
                used.append(("set", key))
                self.data[key] = value
            def __delitem__(self, key):
                used.append(("del", key))
                del self.data[key]
            def __iter__(self):
                used.append(("iter",))
                return iter(self.data)
            def __len__(self):
                used.append(("len",))
                return len(self.data)

        class Meta(type):
            @classmethod
            def __prepare__(mcs, name, bases):
                return Namespace()
            def __new__(mcs, name, bases, namespace):
                return super().__new__(mcs, name, bases, dict(namespace))

        sizes = []

        def build():
            class Shaped(metaclass=Meta):
                size = 3
            sizes.append(Shaped.size)

        build()
        untraced, used[:] = used[:], []
        records = profiled(build)
        report(sizes=sizes, used=[used, untraced],
               shaped=[[r["event"], r["locals"]] for r in records if r["co_name"] == "Shaped"])
    ''')
    assert reported["warnings"] == []
    assert reported["sizes"] == [3, 3]
    traced_uses, untraced_uses = reported["used"]
    assert traced_uses == untraced_uses
    assert [event for event, _ in reported["shaped"]] == ["call", "return"]
    for _, shown in reported["shaped"]:
        assert isinstance(shown, str) and "Namespace object" in shown


def test_removed_working_directory_keeps_the_file_name(tmp_path):
    reported = run_isolated(tmp_path, '''
        import os, tempfile

        def where():
            return "here"

        gone = tempfile.mkdtemp()
        os.chdir(gone)
        os.rmdir(gone)
        records = profiled(where)
        report(file=__file__, paths=[r["path"] for r in records if r["co_name"] == "where"])
    ''')
    assert reported["warnings"] == []
    script = reported["file"]
    assert os.path.isabs(script)
    assert [path.rsplit(":", 1)[0] for path in reported["paths"]] == [script, script]


def test_internal_error_is_logged_and_drops_only_its_event(tmp_path):
    # A key that collides with "__builtins__" and cannot be compared makes
    # the locals lookup itself fail: a broken invariant, not a Python error
    # of the profiled program.
    reported = run_isolated(tmp_path, '''
        class Collider:
            def __hash__(self):
                return hash("__builtins__")
            def __eq__(self, other):
                raise RuntimeError("cannot compare")
            def __repr__(self):
                return "Collider()"

        kept = []

        def build():
            class Holder:
                locals()[Collider()] = 1
                value = 2
            kept.append(Holder.value)
            return "built"

        records = profiled(build)
        report(kept=kept, holder=[r["event"] for r in records if r["co_name"] == "Holder"],
               build=[[r["event"], r["arg"]] for r in records if r["co_name"] == "build"])
    ''')
    assert reported["kept"] == [2]
    assert reported["holder"] == ["call"]
    assert reported["build"] == [["call", None], ["return", "built"]]
    assert reported["warnings"] == [{
        "co_name": "Holder", "event": "return",
        "exception": 'locals.get("__builtins__") should not raise.', "is_exception": False,
    }]


def test_waiting_for_the_plugin_lock_lets_its_holder_run(tmp_path):
    # Thread A's plugin callable holds the plugin lock and sleeps; thread B
    # then reaches an event and waits for that lock. A must get the GIL back
    # to finish its callable, so B may not hold the GIL while it waits.
    reported = run_isolated(tmp_path, '''
        import time
        import zelm.plugins

        a_inside = threading.Event()

        def call(frame, event, arg, context):
            if threading.current_thread().name == "A" and event == "call":
                a_inside.set()
                for _ in range(10):
                    time.sleep(0.01)
            else:
                time.sleep(0)
            return True

        zelm.plugins.load_plugin_data = lambda config: [{
            "co_names": ["work"], "path_fragment": "", "call_type": "work_call",
            "return_type": "work_return", "call": call,
        }]

        def work(value):
            return value

        def thread_a():
            work("a")

        def thread_b():
            a_inside.wait()
            work("b")

        def run():
            for _ in range(3):
                a_inside.clear()
                threads = [threading.Thread(target=thread_a, name="A"),
                           threading.Thread(target=thread_b, name="B")]
                for thread in threads:
                    thread.start()
                for thread in threads:
                    thread.join()

        records = profiled(run, config={"threading": True})
        report(plugin=sorted([r["thread"], r["type"]] for r in records if r["type"] != "frame"),
               work=sorted([r["thread"], r["event"], r["arg"]] for r in records if r.get("co_name") == "work"))
    ''')
    assert reported["warnings"] == []
    assert reported["plugin"] == sorted(
        [thread, kind] for thread in "AB" for kind in ("work_call", "work_return") for _ in range(3))
    calls = [["A", "call", None], ["B", "call", None]]
    returns = [["A", "return", "a"], ["B", "return", "b"]]
    assert reported["work"] == sorted((calls + returns) * 3)


def test_ctrl_c_inside_the_hook_reaches_the_program(profile, monkeypatch, zelm_warnings):
    real = zelm.serialize.dump_msgpack
    interrupted = []

    def dump_msgpack(value):
        # Ctrl-C arrives while the hook serialises the locals of echo(5).
        if value == {"value": 5} and not interrupted:
            interrupted.append(True)
            raise KeyboardInterrupt
        return real(value)

    monkeypatch.setattr(zelm.serialize, "dump_msgpack", dump_msgpack)
    reached = []

    def program():
        with pytest.raises(KeyboardInterrupt):
            for step in range(10_000):
                echo(step)
                reached.append(step)

    profile(program)
    assert interrupted and 5 <= len(reached) < 10_000
    assert zelm_warnings() == []
