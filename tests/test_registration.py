"""The module's face towards Python: module initialisation, register_profiler,
the ZelmProfiler type, and how the profile hook reaches the calling thread
and threads started later."""

import _thread
import gc
import importlib
import inspect
import operator
import sys
import threading
import weakref

import pytest

from conftest import FakeNumpyBool, HostProfiler, decode, frame_records, plugin_definition, recorded_events, run_python

MODULE_FUNCTIONS = [
    ("register_noop_profiler", "()"),
    ("register_profiler", "(profiler)"),
]

PROFILER_METHODS = [
    ("save_request_in_db", "($self)"),
    ("build_trace", "($self)"),
    ("register_threading_profiler", "($self, _frame, _event, _arg)"),
    ("take_over_thread", "($self)"),
]


# Functions whose frame records tell which profiler saw what. They live in
# this file so that the built-in filters keep them.
def marker_before():
    return "before"


def marker_after():
    return "after"


def marker_in_thread():
    return "thread"


def build(host):
    return decode(host.rust_profiler.build_trace())


def run_in_new_thread(target):
    thread = threading.Thread(target=target)
    thread.start()
    thread.join()
    return thread


class NotCallableHost:
    """Cannot be called; notes every attribute that is read from it."""

    def __init__(self):
        self.reads = []

    def __getattr__(self, name):
        self.reads.append(name)
        raise AttributeError(name)


class RefusingHost(HostProfiler):
    def __setattr__(self, name, value):
        if name == "rust_profiler":
            raise AttributeError("this host keeps its attributes")
        super().__setattr__(name, value)


class ConfigReadOnceHost(HostProfiler):
    """Its "config" can be read once; the second read raises."""

    def __init__(self, **kwargs):
        self.config_reads = 0
        super().__init__(**kwargs)

    @property
    def config(self):
        self.config_reads += 1
        if self.config_reads > 1:
            raise LookupError("config read twice")
        return self._config

    @config.setter
    def config(self, value):
        self._config = value


class ThreadingOnlyOnRereadConfig(dict):
    """Construction's dict lookup ignores __missing__; register_profiler's
    re-read of "threading" goes through it."""

    def __missing__(self, key):
        if key == "threading":
            return True
        raise KeyError(key)


# ---- module initialisation ---------------------------------------------------


def test_module_lists_exactly_its_two_functions_in_order(native):
    assert type(native.__all__) is list
    assert native.__all__ == ["register_noop_profiler", "register_profiler"]
    public = {name for name in dir(native) if not name.startswith("__")}
    assert public == set(native.__all__)
    assert not hasattr(native, "ZelmProfiler")
    assert native.__doc__ == ""
    assert native.__name__ == "zelm._zelm"


@pytest.mark.parametrize("name, signature", MODULE_FUNCTIONS)
def test_module_function_metadata(native, name, signature):
    function = getattr(native, name)
    assert function.__name__ == name
    assert function.__text_signature__ == signature
    assert function.__doc__ is None
    assert function.__module__ == "zelm._zelm"
    assert function.__self__ is native
    assert str(inspect.signature(function)) == signature


def test_import_again_gives_the_same_module(native, monkeypatch):
    assert importlib.import_module("zelm._zelm") is native
    # Without the sys.modules entry the interpreter initialises the
    # extension again, which must hand back the module it already made.
    monkeypatch.delitem(sys.modules, "zelm._zelm")
    monkeypatch.setattr(sys.modules["zelm"], "_zelm", native)
    assert importlib.import_module("zelm._zelm") is native


# An isolated sub-interpreter refused `import zelm._zelm`, then the main
# interpreter imports it and records a call; argv[1] says which goes first.
SUB_INTERPRETER_PROGRAM = """\
import sys
try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters
import zelm

def refused_in_isolated_interpreter():
    isolated = interpreters.create() if sys.version_info >= (3, 13) else interpreters.create(isolated=True)
    interpreters.run_string(isolated, (
        "try:\\n    import zelm._zelm\\n"
        "except ImportError as error:\\n    print('refused:', error)\\n"
        "else:\\n    print('imported')\\n"))
    interpreters.destroy(isolated)

def works_here():
    profiler = zelm.Profiler(db_path="unused.sqlite3")
    with profiler:
        sum(range(3))
    print("recorded", len(profiler.build_trace()) > 0)

if sys.argv[1] == "isolated-first":
    refused_in_isolated_interpreter()
    works_here()
else:
    works_here()
    refused_in_isolated_interpreter()
    works_here()
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated sub-interpreters come with 3.12")
@pytest.mark.parametrize("order", ["isolated-first", "main-first"])
def test_an_isolated_sub_interpreter_is_refused_and_leaves_the_main_one_working(tmp_path, order):
    completed = run_python("-c", SUB_INTERPRETER_PROGRAM, order, cwd=tmp_path, timeout=60)

    assert completed.returncode == 0, completed.stderr
    lines = completed.stdout.splitlines()
    refusals = [line for line in lines if line.startswith("refused:")]
    assert len(refusals) == 1 and "interpreters" in refusals[0], completed.stdout
    assert [line for line in lines if not line.startswith("refused:")] == ["recorded True"] * (
        1 if order == "isolated-first" else 2)


def test_register_noop_profiler_takes_no_arguments(native):
    with pytest.raises(TypeError):
        native.register_noop_profiler(None)
    assert native.register_noop_profiler() is None


# ---- register_profiler: arguments ----------------------------------------------


@pytest.mark.parametrize("value", [42, "host", None, NotCallableHost()], ids=["int", "str", "None", "object"])
def test_register_profiler_refuses_a_non_callable_without_reading_it(native, value):
    with pytest.raises(TypeError) as raised:
        native.register_profiler(value)
    assert str(raised.value) == "profiler object is not callable"
    if isinstance(value, NotCallableHost):
        assert value.reads == []


@pytest.mark.parametrize(
    "call",
    [
        lambda register, host: register(),
        lambda register, host: register(host, host),
        lambda register, host: register(host_object=host),
        lambda register, host: register(host, profiler=host),
        lambda register, host: register(host, other=1),
    ],
    ids=["none", "two", "unknown-keyword", "positional-and-keyword", "extra-keyword"],
)
def test_register_profiler_argument_binding(native, make_host, call):
    host = make_host()
    with pytest.raises(TypeError):
        call(native.register_profiler, host)
    assert not hasattr(host, "rust_profiler")


def test_register_profiler_by_keyword(native, make_host):
    host = make_host()
    assert native.register_profiler(profiler=host) is None
    marker_after()
    native.register_noop_profiler()
    assert recorded_events(build(host), "marker_after") == ["call", "return"]


# ---- the ZelmProfiler type -------------------------------------------------------


@pytest.fixture
def registered(native, make_host):
    host = make_host()
    native.register_profiler(host)
    native.register_noop_profiler()
    return host.rust_profiler


def test_rust_profiler_type(registered):
    profiler_type = type(registered)
    assert profiler_type.__name__ == "ZelmProfiler"
    assert profiler_type.__qualname__ == "ZelmProfiler"
    assert profiler_type.__module__ == "zelm._zelm"
    assert profiler_type.__doc__ is None
    with pytest.raises(TypeError) as raised:
        profiler_type()
    assert str(raised.value) == "No constructor defined"
    own_methods = [name for name in vars(profiler_type) if not name.startswith("__")]
    assert own_methods == [name for name, _ in PROFILER_METHODS]


def test_rust_profiler_instances_take_no_attributes(registered):
    assert not hasattr(registered, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(registered)
    for name in ["anything", "build_trace", "trace_id"]:
        with pytest.raises(AttributeError):
            setattr(registered, name, 1)
    with pytest.raises(AttributeError):
        del registered.build_trace


@pytest.mark.parametrize("name, signature", PROFILER_METHODS)
def test_rust_profiler_method_metadata(registered, name, signature):
    method = getattr(type(registered), name)
    assert method.__text_signature__ == signature
    assert method.__doc__ is None
    bound = getattr(registered, name)
    assert bound.__self__ is registered
    assert str(inspect.signature(bound)) == signature.replace("$self, ", "").replace("$self", "")


# ---- register_profiler: what is installed ----------------------------------------


def test_registration_installs_the_hook_with_the_new_profiler(native, make_host):
    host = make_host()
    marker_before()
    native.register_profiler(host)
    installed = sys.getprofile()
    marker_after()
    native.register_noop_profiler()
    assert installed is host.rust_profiler
    doc = build(host)
    assert recorded_events(doc, "marker_before") == []
    assert recorded_events(doc, "marker_after") == ["call", "return"]


def test_host_refusing_rust_profiler_gets_no_hook(native, make_host):
    recording = make_host()
    native.register_profiler(recording)
    refusing = RefusingHost()
    with pytest.raises(AttributeError, match="this host keeps its attributes"):
        native.register_profiler(refusing)
    hook = sys.getprofile()
    marker_after()
    native.register_noop_profiler()
    # The earlier profiler's hook is still the one in place.
    assert hook is recording.rust_profiler
    assert recorded_events(build(recording), "marker_after") == ["call", "return"]


def test_failing_config_reread_is_raised_and_keeps_the_hook(native, tmp_path):
    host = ConfigReadOnceHost(db_path=str(tmp_path / "t.sqlite3"), config={"threading": True})
    with pytest.raises(LookupError, match="config read twice"):
        native.register_profiler(host)
    assert host.config_reads == 2
    marker_after()
    native.register_noop_profiler()
    assert threading.getprofile() is None
    assert recorded_events(build(host), "marker_after") == ["call", "return"]


def test_failing_threading_setprofile_is_raised_and_keeps_the_hook(native, make_host, monkeypatch):
    def refuse(function):
        raise RuntimeError("setprofile refused")

    monkeypatch.setattr(threading, "setprofile", refuse)
    host = make_host(config={"threading": True})
    with pytest.raises(RuntimeError, match="setprofile refused"):
        native.register_profiler(host)
    marker_after()
    native.register_noop_profiler()
    assert recorded_events(build(host), "marker_after") == ["call", "return"]


def test_threading_hook_is_the_bound_register_threading_profiler(native, make_host):
    host = make_host(config={"threading": True})
    native.register_profiler(host)
    native.register_noop_profiler()
    hook = threading.getprofile()
    assert hook == host.rust_profiler.register_threading_profiler
    assert hook.__self__ is host.rust_profiler


# ---- threads started later -------------------------------------------------------

# (config, where a later thread's records go: "frames" when the profiler itself
# was built with threading on, "frames_of_interest" when only the threading
# hook was set, None when the thread is not profiled)
THREADING_CASES = [
    pytest.param({"threading": True}, "frames", id="True"),
    pytest.param({"threading": False}, None, id="False"),
    pytest.param({"threading": 1}, None, id="int-1"),
    pytest.param({"threading": "yes"}, None, id="str"),
    pytest.param({}, None, id="missing"),
    pytest.param({"threading": FakeNumpyBool(True)}, "frames", id="numpy-true"),
    pytest.param({"threading": FakeNumpyBool(False)}, None, id="numpy-false"),
    pytest.param(ThreadingOnlyOnRereadConfig(), "frames_of_interest", id="dict-missing"),
]


@pytest.mark.parametrize("config, buffer", THREADING_CASES)
def test_threads_started_after_registration(native, make_host, config, buffer):
    host = make_host(config=config)
    native.register_profiler(host)
    thread = run_in_new_thread(marker_in_thread)
    native.register_noop_profiler()
    doc = build(host)
    if buffer is None:
        assert recorded_events(doc, "marker_in_thread") == []
        assert threading.getprofile() is None
        return
    assert recorded_events(doc, "marker_in_thread") == ["call", "return"]
    if buffer == "frames":
        in_thread_buffer = frames_only(doc["frames"][thread.native_id])
        assert [r["co_name"] for r in in_thread_buffer if r["co_name"] == "marker_in_thread"] == [
            "marker_in_thread"
        ] * 2
    else:
        assert doc["frames"] == {}
        assert all(record["thread"] == thread.name for record in frame_records(doc, "marker_in_thread"))


def frames_only(records):
    return [record for record in records if record.get("type") == "frame"]


def test_thread_started_before_registration_is_never_recorded(native, make_host):
    go = threading.Event()

    def wait_then_mark():
        go.wait()
        marker_before()

    early = threading.Thread(target=wait_then_mark)
    early.start()
    host = make_host(config={"threading": True})
    native.register_profiler(host)
    go.set()
    early.join()
    run_in_new_thread(marker_in_thread)
    native.register_noop_profiler()
    doc = build(host)
    assert recorded_events(doc, "marker_before") == []
    assert recorded_events(doc, "marker_in_thread") == ["call", "return"]


class ThreadWithOwnRun(threading.Thread):
    def run(self):
        marker_in_thread()


def test_new_thread_first_event_installs_the_hook_unrecorded(native, make_host):
    host = make_host(config={"threading": True})
    native.register_profiler(host)
    thread = ThreadWithOwnRun()
    thread.start()
    thread.join()
    native.register_noop_profiler()
    records = frames_only(build(host)["frames"][thread.native_id])
    # The call of run() reached the threading hook, not the profiler; its
    # return did, without a frame id because the call was never recorded.
    assert [(r["co_name"], r["event"]) for r in records] == [
        ("marker_in_thread", "call"),
        ("marker_in_thread", "return"),
        ("run", "return"),
    ]
    assert records[2]["qualname"].endswith("ThreadWithOwnRun.run")
    assert records[2]["frame_id"] is None
    assert records[0]["frame_id"] == records[1]["frame_id"] is not None


def join_through_setprofile(profiler, fail):
    sys.setprofile(profiler.register_threading_profiler)
    if fail:
        raise LookupError("left by raising")


@pytest.mark.parametrize("fail", [False, True], ids=["returns", "raises"])
def test_a_thread_joining_through_its_profile_function_records_from_its_next_python_event(native, make_host, fail):
    # As threading's hook joins a new thread, but on a thread without any
    # hook before: from 3.12 on the join comes with the return of the
    # sys.setprofile call, earlier with the next Python event; either way
    # the thread records from the Python event after that one.
    registered_host = make_host(config={"threading": False})
    native.register_profiler(registered_host)
    profiler = registered_host.rust_profiler

    def body():
        try:
            join_through_setprofile(profiler, fail)
        except LookupError:
            pass
        marker_in_thread()

    finished = threading.Event()
    _thread.start_new_thread(lambda: (body(), finished.set()), ())
    assert finished.wait(10)
    native.register_noop_profiler()
    records = [r for r in frame_records(build(registered_host))
               if r["co_name"] in ("body", "join_through_setprofile", "marker_in_thread")]
    assert [(r["co_name"], r["event"]) for r in records] == [
        ("marker_in_thread", "call"),
        ("marker_in_thread", "return"),
        ("body", "return"),
    ]


def test_noop_profiler_stops_only_the_calling_thread(native, make_host):
    host = make_host(config={"threading": True})
    native.register_profiler(host)
    in_thread = threading.Event()
    main_stopped = threading.Event()

    def body():
        marker_before()
        in_thread.set()
        main_stopped.wait()
        marker_in_thread()

    thread = threading.Thread(target=body)
    thread.start()
    in_thread.wait()
    marker_before()
    assert native.register_noop_profiler() is None
    marker_after()
    main_stopped.set()
    thread.join()
    doc = build(host)
    assert recorded_events(doc, "marker_after") == []
    # marker_before: once in the thread, once on the main thread.
    assert recorded_events(doc, "marker_before") == ["call", "return"] * 2
    assert recorded_events(doc, "marker_in_thread") == ["call", "return"]


# ---- register_threading_profiler called directly -----------------------------------


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((None, "call", None), {}),
        # The event text does not matter, that of a C function's event neither.
        ((None, "c_call", None), {}),
        ((None, "c_return", None), {}),
        ((object(), 1, [2]), {}),
        ((), {"_frame": 1, "_event": 2, "_arg": 3}),
        ((1,), {"_arg": 3, "_event": 2}),
    ],
    ids=["profile-shape", "c-call-event", "c-return-event", "arbitrary", "keywords", "mixed"],
)
def test_register_threading_profiler_installs_the_hook(native, registered, args, kwargs):
    assert sys.getprofile() is None
    assert registered.register_threading_profiler(*args, **kwargs) is None
    hook = sys.getprofile()
    marker_after()
    native.register_noop_profiler()
    assert hook is registered
    assert recorded_events(decode(registered.build_trace()), "marker_after") == ["call", "return"]


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((1,), {}),
        ((1, 2), {}),
        ((1, 2, 3, 4), {}),
        ((1, 2), {"_args": 3}),
        ((1, 2, 3), {"_frame": 1}),
    ],
    ids=["none", "one", "two", "four", "misspelt-keyword", "duplicate"],
)
def test_register_threading_profiler_argument_errors(native, registered, args, kwargs):
    with pytest.raises(TypeError):
        registered.register_threading_profiler(*args, **kwargs)
    assert sys.getprofile() is None
    marker_after()
    assert recorded_events(decode(registered.build_trace()), "marker_after") == []


# ---- profilers taking turns on one thread ---------------------------------------------


def turns(first, second, take_thread):
    """A call of the first profiler's with a turn of the second's inside it."""
    marker_before()
    take_thread(second)
    marker_in_thread()
    take_thread(first)
    marker_after()


# How a profiler takes the thread over, and whether the one it replaces
# keeps the calls it has open there. (No Python frame of the test's own:
# the profiler taking over would record its return.)
TAKING_THE_THREAD = {
    "take_over_thread": (operator.methodcaller("take_over_thread"), True),
    "register_threading_profiler": (operator.methodcaller("register_threading_profiler", None, None, None), False),
}


@pytest.mark.parametrize("way", list(TAKING_THE_THREAD))
def test_profilers_taking_turns_on_a_thread_record_their_own_turns(native, make_host, way):
    take_thread, keeps_open_calls = TAKING_THE_THREAD[way]
    first_host, second_host = make_host(), make_host()
    native.register_profiler(second_host)
    native.register_profiler(first_host)
    first, second = first_host.rust_profiler, second_host.rust_profiler
    native.register_noop_profiler()

    take_thread(first)
    turns(first, second, take_thread)
    native.register_noop_profiler()
    first_doc, second_doc = decode(first.build_trace()), decode(second.build_trace())

    assert [(frame["co_name"], frame["event"]) for frame in frame_records(first_doc)] == [
        ("turns", "call"), ("marker_before", "call"), ("marker_before", "return"),
        ("marker_after", "call"), ("marker_after", "return"), ("turns", "return")]
    assert [(frame["co_name"], frame["event"]) for frame in frame_records(second_doc)] == [
        ("marker_in_thread", "call"), ("marker_in_thread", "return")]
    # The call open while the other profiler had the thread keeps its id and
    # stays the call site of what it calls after.
    call, *_, after, returned = frame_records(first_doc)
    assert (returned["frame_id"] == call["frame_id"]) is keeps_open_calls
    assert (after["user_code_call_site"] is not None) is keeps_open_calls


# ---- registering twice --------------------------------------------------------------


def test_registering_twice_replaces_profiler_and_hook(native, make_host):
    host = make_host()
    native.register_profiler(host)
    first = host.rust_profiler
    marker_before()
    native.register_profiler(host)
    second = host.rust_profiler
    marker_after()
    native.register_noop_profiler()
    assert second is not first
    assert type(second) is type(first)
    first_doc = decode(first.build_trace())
    second_doc = decode(second.build_trace())
    assert recorded_events(first_doc, "marker_before") == ["call", "return"]
    assert recorded_events(first_doc, "marker_after") == []
    assert recorded_events(second_doc, "marker_before") == []
    assert recorded_events(second_doc, "marker_after") == ["call", "return"]


def test_earlier_threading_hook_stays_when_the_new_config_has_none(native, make_host):
    threaded = make_host(config={"threading": True})
    native.register_profiler(threaded)
    plain = make_host(config={"threading": False})
    native.register_profiler(plain)
    run_in_new_thread(marker_in_thread)
    native.register_noop_profiler()
    assert recorded_events(build(threaded), "marker_in_thread") == ["call", "return"]
    assert recorded_events(build(plain), "marker_in_thread") == []


def test_profiler_lives_on_through_its_hook(native, make_host):
    host = make_host()
    native.register_profiler(host)
    del host.rust_profiler
    marker_after()
    profiler = sys.getprofile()
    native.register_noop_profiler()
    assert type(profiler).__name__ == "ZelmProfiler"
    assert recorded_events(decode(profiler.build_trace()), "marker_after") == ["call", "return"]


def test_a_profiler_held_only_by_a_reference_cycle_is_collected(native, make_host, plugin_definitions):
    # host -> "rust_profiler" -> plugin context -> host: only the garbage
    # collector can free this, and only if it can see the profiler's references.
    context = {}
    plugin_definitions(plugin_definition("never_called", build_context=lambda config: context))
    host = make_host()
    native.register_profiler(host)
    native.register_noop_profiler()
    context["host"] = host
    collected = weakref.ref(host)
    del host, context
    gc.collect()
    assert collected() is None


def stays_on_the_stack(native, host):
    # Its return is never seen, so the profiler keeps this frame (and with
    # it the local `host`) on the thread's stack.
    native.register_noop_profiler()


def test_a_profiler_held_by_a_frame_on_its_own_stack_is_collected(native, make_host):
    def profile_briefly():
        # A frame of its own: on 3.10 reading a caller's locals leaves a
        # snapshot of them on the caller's frame until it returns.
        host = make_host()
        native.register_profiler(host)
        stays_on_the_stack(native, host)
        return weakref.ref(host)

    collected = profile_briefly()
    gc.collect()
    assert collected() is None
