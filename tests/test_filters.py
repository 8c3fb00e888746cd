"""Which frames get a frame record: the built-in filters (library code,
frozen modules, zelm's own files, exec'd code, pytest's match expressions,
attrs-generated code) and the user's include and ignore fragments, on real
frames whose code carries the file names under test."""

import _thread
import importlib
import json
import os
import shutil
import signal
import sys
import textwrap
import time

import pytest
from conftest import decode, frame_records, recorded_events, run_python

import zelm
from zelm import store, trace

OWN_PACKAGE_NEEDLES = [
    "/zelm/config.py",
    "/zelm/db.py",
    "/zelm/django_schema.py",
    "/zelm/filters/",
    "/zelm/generate_tests/",
    "/zelm/git.py",
    "/zelm/__init__.py",
    "/zelm/__main__.py",
    "/zelm/middleware.py",
    "/zelm/profiler.py",
    "/zelm/pytest_plugin.py",
    "/zelm/serialize.py",
    "/zelm/utils.py",
    "/zelm/version.py",
    "/zelm/cli/",
    "/zelm/ids.py",
    "/zelm/plugins/",
    "/zelm/serialize/",
    "/zelm/store/",
    "/zelm/text.py",
    "/zelm/web/",
    "/zelm/children/",
]


def function_in_file(filename, name="probe"):
    """A function named ``name`` whose code object carries ``filename``."""
    # A frame record's qualified name needs "__name__" in the globals.
    namespace = {"__name__": "compiled"}
    exec(compile(f"def {name}():\n    return {name!r}\n", filename, "exec"), namespace)
    return namespace[name]


def call_chain(*filenames):
    """Functions step0, step1, ..., step i compiled as filenames[i] and
    calling step i+1; returns step0."""
    callee = None
    for index in reversed(range(len(filenames))):
        namespace = {"__name__": "compiled", "callee": callee}
        source = f"def step{index}():\n    return callee() if callee else {index}\n"
        exec(compile(source, filenames[index], "exec"), namespace)
        callee = namespace[f"step{index}"]
    return callee


def recorded_paths(doc):
    return [record["path"] for record in frame_records(doc)]


def filters(include=(), ignore=()):
    return {"filters": {"include_frames": list(include), "ignore_frames": list(ignore)}}


IGNORED_FILE_NAMES = [
    "/usr/lib/python3.10/json/__init__.py",
    "/srv/venv/site-packages/requests/api.py",
    # The needles are plain substrings, not path components.
    "/srv/app/lib/pythonic/views.py",
    "<frozen importlib._bootstrap>",
    "<frozen zipimport>",
    "<string>",
    "/srv/app/<string>/views.py",
    *[f"/srv/app{needle}" + ("rules.py" if needle.endswith("/") else "") for needle in OWN_PACKAGE_NEEDLES],
    "/srv/app/zelm/config.pyc",
    "<pytest match expression>",
    "<attrs generated init app.Point>",
    "<attrs generated",
]

RECORDED_FILE_NAMES = [
    "/srv/app/views.py",
    "",
    "/srv/app/Lib/Python/views.py",  # compared byte for byte, no case folding
    "/srv/app/site-packages.py",  # "/site-packages/" needs the closing slash
    "/srv/app/lib/pytho/views.py",
    "<frozen>",  # "<frozen " needs the space
    "<stringio>",
    "<strin>",
    "/srv/app/zelm/profiler_extra.py",  # the needle ends with ".py"
    "/srv/app/zelm/trace.py",  # in zelm's directory, but not one of its ignored files
    "/srv/app/zelm/views.py",
    "/srv/app/zelm_filters/views.py",
    "/srv/app/zelm/profiler.p",
    "<pytest match expression> ",
    "x<pytest match expression>",
    "<pytest match expressioN>",
    "<pytest match expression",
    "<attrs generate",
    " <attrs generated init app.Point>",
    "/srv/app/<attrs generated init app.Point>",
]


@pytest.mark.parametrize(
    "filename, recorded",
    [(name, False) for name in IGNORED_FILE_NAMES] + [(name, True) for name in RECORDED_FILE_NAMES],
)
def test_builtin_filters_decide_by_file_name(profile, filename, recorded):
    probe = function_in_file(filename)

    doc, _ = profile(probe)

    assert recorded_events(doc, "probe") == (["call", "return"] if recorded else [])


# The modules of zelm that never run while the profiler records: they read,
# show and export stored traces. Every other module is left out by the
# built-in filter, so a module added, or moved out of a left-out folder,
# has to be named either there or here.
READING_MODULES = ("trace.py", "values.py", "export/", "view/", "stats/")


def package_modules():
    """The Python files of the zelm package under test, relative to it."""
    root = os.path.dirname(zelm.__file__)
    return sorted(os.path.relpath(os.path.join(directory, name), root).replace(os.sep, "/")
                  for directory, _, names in os.walk(root) for name in names if name.endswith(".py"))


@pytest.mark.parametrize("module", package_modules())
def test_every_module_of_zelm_but_the_readers_is_left_out(profile, module):
    probe = function_in_file(f"/srv/app/zelm/{module}")

    doc, _ = profile(probe)

    assert recorded_events(doc, "probe") == (["call", "return"] if module.startswith(READING_MODULES) else [])


@pytest.mark.parametrize(
    "filename, include",
    [
        ("/srv/venv/site-packages/requests/api.py", "requests"),
        ("/usr/lib/python3.10/json/__init__.py", "json/"),
        ("<frozen importlib._bootstrap>", "importlib"),
        ("/srv/app/zelm/profiler.py", "zelm/profiler"),
        ("<string>", "<string>"),
        ("<pytest match expression>", "<pytest"),
        ("<attrs generated init app.Point>", "app.Point"),
    ],
)
def test_include_fragment_overrides_builtin_filter(profile, filename, include):
    probe = function_in_file(filename)

    included, _ = profile(probe, config=filters(include=["no match", include]))
    included_over_user_ignore, _ = profile(probe, config=filters(include=[include], ignore=[include]))
    # Fragments are compared byte for byte: the upper-case text is no match.
    other_case, _ = profile(probe, config=filters(include=[include.upper()]))

    assert recorded_events(included, "probe") == ["call", "return"]
    assert recorded_events(included_over_user_ignore, "probe") == ["call", "return"]
    assert recorded_events(other_case, "probe") == []


@pytest.mark.parametrize("filename", IGNORED_FILE_NAMES)
def test_empty_include_fragment_records_every_frame(profile, filename):
    probe = function_in_file(filename)

    doc, _ = profile(probe, config=filters(include=[""]))

    assert recorded_events(doc, "probe") == ["call", "return"]


@pytest.mark.parametrize(
    "ignore, filename, recorded",
    [
        (["/app/", "views"], "/srv/app/models.py", False),
        (["/app/", "views"], "/srv/other/views.py", False),
        (["/app/", "views"], "/srv/other/models.py", True),
        (["Views"], "/srv/other/views.py", True),
        (["views.py/"], "/srv/other/views.py", True),
        ([], "/srv/other/views.py", True),
    ],
)
def test_ignore_fragments(profile, ignore, filename, recorded):
    probe = function_in_file(filename)

    doc, _ = profile(probe, config=filters(ignore=ignore))

    assert recorded_events(doc, "probe") == (["call", "return"] if recorded else [])


def test_empty_ignore_fragment_ignores_every_frame_unless_included(profile):
    views = function_in_file("/srv/app/views.py", "views_probe")
    models = function_in_file("/srv/app/models.py", "models_probe")

    def run():
        views()
        models()

    ignore_all, _ = profile(run, config=filters(ignore=[""]))
    include_views, _ = profile(run, config=filters(include=["views"], ignore=[""]))

    # The test's own frames are ignored too.
    assert frame_records(ignore_all) == []
    assert [(r["co_name"], r["event"]) for r in frame_records(include_views)] == [
        ("views_probe", "call"),
        ("views_probe", "return"),
    ]


# ---- real modules ----


def test_standard_library_frames_are_left_out_unless_included(profile):
    def run():
        json.loads(json.dumps({"answer": 42}))

    default, _ = profile(run)
    included, _ = profile(run, config=filters(include=["/json/"]))

    assert recorded_events(default, "run") == ["call", "return"]
    assert not [path for path in recorded_paths(default) if "/json/" in path]
    for co_name in ("dumps", "encode", "loads", "decode"):
        assert recorded_events(included, co_name) == ["call", "return"], co_name


def test_site_packages_frames_are_left_out_unless_included(profile):
    fallback = pytest.importorskip("msgpack.fallback")
    if "/site-packages/" not in fallback.__file__:
        pytest.skip(f"msgpack is not installed in a site-packages directory: {fallback.__file__}")

    def run():
        fallback.Packer().pack({"answer": 42})

    default, _ = profile(run)
    included, _ = profile(run, config=filters(include=["msgpack/fallback.py"]))

    assert recorded_events(default, "run") == ["call", "return"]
    assert not [path for path in recorded_paths(default) if "site-packages" in path]
    assert recorded_events(included, "pack") == ["call", "return"]
    assert recorded_events(included, "_pack") != []


def test_pytest_frames_are_left_out(profile):
    def run():
        assert 0.1 + 0.2 == pytest.approx(0.3)

    doc, _ = profile(run)

    assert recorded_events(doc, "run") == ["call", "return"]
    assert not [path for path in recorded_paths(doc) if "_pytest" in path]


def test_frozen_import_machinery_is_left_out_unless_included(profile, tmp_path, monkeypatch):
    monkeypatch.syspath_prepend(str(tmp_path))
    module_names = ["zelm_filter_probe_a", "zelm_filter_probe_b"]
    for name in module_names:
        (tmp_path / f"{name}.py").write_text("ANSWER = 42\n")
        monkeypatch.delitem(sys.modules, name, raising=False)

    try:
        default, _ = profile(lambda: importlib.import_module(module_names[0]))
        included, _ = profile(lambda: importlib.import_module(module_names[1]),
                              config=filters(include=["<frozen importlib._bootstrap>"]))
    finally:
        for name in module_names:
            sys.modules.pop(name, None)

    # The imported module's own code runs in a file of its own and is kept.
    module_paths = [r["path"] for r in frame_records(default, "<module>")]
    assert module_paths and all(path.startswith(str(tmp_path / module_names[0])) for path in module_paths)
    assert not [path for path in recorded_paths(default) if path.startswith("<frozen ")]
    assert recorded_events(included, "_find_and_load") == ["call", "return"]


def test_exec_code_is_left_out_unless_included(profile):
    source = "def execd():\n    return 1\nexecd()\n"

    default, _ = profile(lambda: exec(source, {}))
    included, _ = profile(lambda: exec(source, {"__name__": "execd_module"}), config=filters(include=["<string>"]))

    assert recorded_events(default, "execd") == []
    assert not [path for path in recorded_paths(default) if path.startswith("<string>")]
    assert recorded_events(included, "execd") == ["call", "return"]


def test_pytest_match_expression_code_is_left_out(profile, zelm_warnings):
    expression = pytest.importorskip("_pytest.mark.expression")
    names = []

    def matcher(name):
        names.append(name)
        return name == "fast"

    def run():
        assert expression.Expression.compile("fast and not slow").evaluate(matcher)

    doc, _ = profile(run)

    assert names == ["fast", "slow"]
    assert not [path for path in recorded_paths(doc) if path.startswith("<pytest match expression>")]
    # Called from the expression's code, the matcher itself is still recorded.
    assert recorded_events(doc, "matcher") == ["call", "return"] * 2
    # The expression's code has no "__name__" in its globals: recording it
    # would fail, so nothing is logged only because it is filtered out.
    assert zelm_warnings() == []


# ---- code called from attrs' code generator ----

ATTRS_MAKER = "/srv/venv/attr/_make.py"


@pytest.mark.parametrize(
    "filenames, recorded_steps",
    [
        ((ATTRS_MAKER, "/srv/app/target.py"), ["step0"]),
        # Whatever its own file name, a frame called from the generator is left out.
        ((ATTRS_MAKER, "/srv/app/views.py", "/srv/app/target.py"), ["step0", "step2"]),
        # An empty caller file name looks one frame further out.
        ((ATTRS_MAKER, "", "/srv/app/target.py"), ["step0"]),
        # ... but only one.
        ((ATTRS_MAKER, "", "", "/srv/app/target.py"), ["step0", "step3"]),
        (("/srv/app/attr/_make.pyc", "/srv/app/target.py"), ["step0", "step1"]),
        (("/srv/app/attr/_make.py/x.py", "/srv/app/target.py"), ["step0", "step1"]),
        (("/srv/app/attrs/_make.py", "/srv/app/target.py"), ["step0", "step1"]),
        # A byte suffix, not a path component.
        (("/srv/app/myattr/_make.py", "/srv/app/target.py"), ["step0"]),
        (("attr/_make.py", "/srv/app/target.py"), ["step0"]),
        # The generated code itself is left out by its name; it is not the generator.
        (("<attrs generated init app.Point>", "/srv/app/target.py"), ["step1"]),
        # A caller file name holding a lone surrogate (undecodable bytes).
        (("/srv/\udcff/attr/_make.py", "/srv/app/target.py"), ["step0"]),
        (("/srv/\udcff/views.py", "/srv/app/target.py"), ["step0", "step1"]),
    ],
)
def test_frames_called_from_attrs_generator(profile, zelm_warnings, filenames, recorded_steps):
    chain = call_chain(*filenames)

    doc, _ = profile(chain)

    steps = [f"step{index}" for index in range(len(filenames))]
    assert {step: recorded_events(doc, step) for step in steps} == {
        step: ["call", "return"] if step in recorded_steps else [] for step in steps
    }
    assert zelm_warnings() == []


@pytest.mark.parametrize(
    "filenames, recorded_steps",
    [
        ((ATTRS_MAKER, "/srv/app/target.py"), ["step0"]),
        ((ATTRS_MAKER, "", "/srv/app/target.py"), ["step0"]),
        (("/srv/app/attrs/_make.py", "/srv/app/target.py"), ["step0", "step1"]),
    ],
)
def test_the_attrs_caller_test_decides_alike_once_the_callers_files_are_known(profile, filenames, recorded_steps):
    chain = call_chain(*filenames)

    doc, _ = profile(lambda: [chain() for _ in range(3)])

    steps = [f"step{index}" for index in range(len(filenames))]
    assert {step: recorded_events(doc, step) for step in steps} == {
        step: ["call", "return"] * 3 if step in recorded_steps else [] for step in steps
    }


def test_include_fragment_overrides_the_attrs_caller_test(profile):
    chain = call_chain(ATTRS_MAKER, "/srv/app/target.py")

    doc, _ = profile(chain, config=filters(include=["/srv/app/"]))

    assert recorded_events(doc, "step1") == ["call", "return"]


def test_caller_file_name_with_lone_surrogate_is_read_lossily(profile, zelm_warnings):
    chain = call_chain("/srv/\udcff/caller.py", "/srv/app/target.py")

    doc, _ = profile(chain)

    [call, _] = frame_records(doc, "step0")
    assert call["path"].startswith("/srv/\ufffd")
    assert call["path"].endswith("/caller.py:1")
    assert recorded_events(doc, "step1") == ["call", "return"]
    assert zelm_warnings() == []


def test_attrs_decision_is_made_per_event_not_per_file(profile):
    target = function_in_file("/srv/app/target.py", "target")
    namespace = {"__name__": "compiled", "target": target}
    exec(compile("def generated_init():\n    return target()\n", ATTRS_MAKER, "exec"), namespace)

    def run():
        target()
        namespace["generated_init"]()
        target()

    doc, _ = profile(run)

    assert recorded_events(doc, "target") == ["call", "return", "call", "return"]
    assert recorded_events(doc, "generated_init") == ["call", "return"]


def test_top_level_frame_is_never_left_out_as_called_from_attrs(native, make_host, zelm_warnings):
    # A thread started by _thread runs its function with no Python frame
    # below it: the function's frame has no caller.
    host = make_host()
    namespace = {"__name__": "compiled"}
    exec(compile("def top(register, host):\n    register(host)\n    return 'top'\n", "", "exec"), namespace)
    threads_before = _thread._count()

    _thread.start_new_thread(namespace["top"], (native.register_profiler, host))
    # The thread counts itself before it registers and uncounts itself
    # after its function returned.
    deadline = time.monotonic() + 10
    while not (hasattr(host, "rust_profiler") and _thread._count() == threads_before):
        assert time.monotonic() < deadline, "the thread did not finish"
        time.sleep(0.01)

    doc = decode(host.rust_profiler.build_trace())
    [record] = frame_records(doc, "top")
    assert (record["event"], record["frame_id"], record["arg"]) == ("return", None, "top")
    assert zelm_warnings() == []


# ---- zelm's own modules, as they run ----
#
# The modules of zelm that run while the profiler is on (the runner of
# `zelm run`, the Profiler and enabled(), the web middleware, the pytest
# plugin) are left out by their file names. Installed, zelm sits in
# site-packages, which hides a module missing from that list: these runs
# use a copy of the package outside it.

OWN_MODULE_RUNS = {
    "zelm run": ("-m zelm run --db t.sqlite3 program.py", "work"),
    "zelm run stopped by SIGTERM": ("-m zelm run --db t.sqlite3 program.py stop", "work"),
    "enabled, Profiler and the web middleware": ("api.py", "countdown"),
    "pytest --zelm": ("-m pytest -q -p no:cacheprovider --zelm --zelm-db t.sqlite3 test_probe.py", "test_probe"),
}

OWN_MODULE_PROGRAMS = {
    "program.py": """
        import logging, os, signal, sys, threading, time

        def work(n):
            logging.getLogger("probe").warning("work %d", n)
            return n * 2

        def fail():
            raise ValueError("caught")

        thread = threading.Thread(target=work, args=(1,))
        thread.start()
        thread.join()
        work(2)
        try:
            fail()
        except ValueError:
            pass
        if sys.argv[1:] == ["stop"]:
            os.kill(os.getpid(), signal.SIGTERM)
            time.sleep(30)
        sys.exit(3)
    """,
    "api.py": """
        import asyncio, zelm, zelm.web

        @zelm.enabled(db_path="t.sqlite3")
        def countdown(n):
            return n if n == 0 else countdown(n - 1)

        countdown(2)
        with zelm.Profiler(db_path="t.sqlite3") as profiler:
            profiler(countdown.__wrapped__)(1)
        profiler.save()

        def app(environ, start_response):
            start_response("200 OK", [])
            return [b"ok"]

        environ = {"REQUEST_METHOD": "GET", "PATH_INFO": "/", "QUERY_STRING": "", "SERVER_NAME": "localhost",
                   "SERVER_PORT": "80", "wsgi.url_scheme": "http"}
        body = zelm.web.WSGIMiddleware(app, db="t.sqlite3")(environ, lambda status, headers: None)
        list(body)
        body.close()

        async def asgi_app(scope, receive, send):
            await send({"type": "http.response.start", "status": 200, "headers": []})
            await send({"type": "http.response.body", "body": b"ok"})

        async def receive():
            return {"type": "http.request", "body": b"", "more_body": False}

        async def send(message):
            pass

        scope = {"type": "http", "method": "GET", "path": "/", "query_string": b"", "headers": []}
        asyncio.run(zelm.web.ASGIMiddleware(asgi_app, db="t.sqlite3")(scope, receive, send))
        assert zelm.web.flush(60)
    """,
    "test_probe.py": """
        import pytest

        @pytest.fixture
        def number():
            return 2

        def test_probe(number):
            assert number * 2 == 4
    """,
}


@pytest.fixture(scope="module")
def package_copy(tmp_path_factory):
    """A directory holding a copy of the installed zelm package."""
    directory = tmp_path_factory.mktemp("own_modules") / "src"
    shutil.copytree(os.path.dirname(zelm.__file__), directory / "zelm",
                    ignore=shutil.ignore_patterns("__pycache__"))
    return directory


@pytest.mark.parametrize("command, own_function", OWN_MODULE_RUNS.values(), ids=OWN_MODULE_RUNS)
def test_no_module_of_zelm_is_recorded_while_it_runs(package_copy, tmp_path, command, own_function):
    for name, source in OWN_MODULE_PROGRAMS.items():
        (tmp_path / name).write_text(textwrap.dedent(source))
    result = run_python(*command.split(), env={"PYTHONPATH": str(package_copy)}, cwd=tmp_path)

    assert "zelm: error" not in result.stderr and "Traceback" not in result.stderr, result.stderr
    assert result.returncode in (0, 3, -signal.SIGTERM), result.stderr
    stored = store.list_traces(str(tmp_path / "t.sqlite3"))
    frames = [record for entry in stored
              for thread in trace.load(str(tmp_path / "t.sqlite3"), entry.trace_id).threads
              for record in thread.records if record.get("type") == "frame"]
    assert own_function in {record.get("co_name") for record in frames}
    copy = os.path.join(package_copy, "zelm", "")
    assert [record["path"] for record in frames
            if os.path.abspath(os.path.join(tmp_path, record["path"])).startswith(copy)] == []

