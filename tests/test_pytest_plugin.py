"""The pytest plugin: `pytest --zelm` on a small suite in a temporary
directory, run in a subprocess. Plugin autoloading is off there and the
plugin is named with -p, so the run does not depend on which pytest plugins
this machine has installed."""

import json
import os
import sqlite3
import textwrap
from importlib import metadata

import pytest
from conftest import locked_database, run_pytest, run_python

from zelm import store, trace

SUITE = """\
import logging
import threading

import pytest


def double(number):
    return number * 2


@pytest.fixture
def base():
    return 20


def test_double(base):
    assert double(base) == 40


def test_logs():
    logging.getLogger("suite").warning("careful with %s", "this")
    assert double(1) == 2


def test_thread():
    results = []
    worker = threading.Thread(target=lambda: results.append(double(5)), name="helper")
    worker.start()
    worker.join()
    assert results == [10]


def test_fails():
    assert double(2) == 5
"""


@pytest.fixture
def suite(tmp_path):
    (tmp_path / "test_suite.py").write_text(SUITE)
    return tmp_path


def test_one_trace_per_test_is_saved(suite):
    result = run_pytest(suite, "--zelm", "--zelm-db", "out/traces.sqlite3", "-q")

    assert result.returncode == 1, result.stdout + result.stderr  # test_fails fails
    db_path = suite / "out" / "traces.sqlite3"
    summary = [line for line in result.stdout.splitlines() if line.startswith("zelm:")]
    assert summary == [f"zelm: 4 test traces saved in {db_path}"]

    stored = store.list_traces(db_path)
    assert len({entry.trace_id for entry in stored}) == len(stored) == 4
    assert {entry.source for entry in stored} == {"pytest"}
    traces = {}
    for entry in stored:
        loaded = trace.load(db_path, entry.trace_id)
        main = loaded.threads[0]
        start, *_, end = main.roots
        assert (start.type, end.type) == ("start_test", "end_test")
        assert start.data["nodeid"] == end.data["nodeid"]
        traces[start.data["nodeid"].split("::")[1]] = loaded
    assert set(traces) == {"test_double", "test_logs", "test_thread", "test_fails"}

    def calls(loaded):
        return [(thread.name, node.name) for thread in loaded.threads for _, node in thread.walk()
                if isinstance(node, trace.Call)]

    # Each trace holds its own test, fixtures included, and nothing of the others.
    assert calls(traces["test_double"]) == [
        ("MainThread", "test_suite.base"), ("MainThread", "test_suite.test_double"), ("MainThread", "test_suite.double"),
    ]
    assert calls(traces["test_fails"])[:2] == [("MainThread", "test_suite.test_fails"), ("MainThread", "test_suite.double")]
    assert ("helper", "test_suite.double") in calls(traces["test_thread"])
    test_logs = traces["test_logs"].threads[0].roots[1]
    (log,) = [child for child in test_logs.children if isinstance(child, trace.PluginRecord)]
    assert (log.type, log.data["message"], log.data["level"]) == ("log_message", "careful with this", "WARNING")


def test_default_database_is_under_the_current_directory(suite):
    result = run_pytest(suite, "--zelm", "-q", "-k", "double")

    assert result.returncode == 0, result.stdout + result.stderr
    default_db = suite / ".zelm" / "traces.sqlite3"
    assert f"zelm: 1 test traces saved in {default_db}" in result.stdout
    (stored,) = store.list_traces(default_db)
    assert stored.source == "pytest"


def test_without_the_option_nothing_is_recorded_or_loaded(suite):
    (suite / "test_suite.py").write_text(textwrap.dedent("""\
        import sys

        def test_plugin_is_inert():
            assert "zelm.pytest_plugin" in sys.modules
            assert "zelm._zelm" not in sys.modules
            assert sys.getprofile() is None
    """))

    result = run_pytest(suite, "-q")

    assert result.returncode == 0, result.stdout + result.stderr
    assert "zelm:" not in result.stdout
    assert not (suite / ".zelm").exists()
    assert "--zelm-db=PATH" in run_pytest(suite, "--help").stdout


def test_the_plugin_is_registered_as_a_pytest11_entry_point():
    try:
        distribution = metadata.distribution("zelm")
    except metadata.PackageNotFoundError:
        pytest.skip("zelm is not installed as a distribution")
    entry_points = [entry for entry in distribution.entry_points if entry.group == "pytest11"]

    assert [(entry.name, entry.value) for entry in entry_points] == [("zelm", "zelm.pytest_plugin")]


def test_summary_reports_an_unreadable_database(suite):
    (suite / "test_suite.py").write_text("def test_nothing():\n    pass\n")
    (suite / "bad.sqlite3").write_text("not a database " * 100)

    result = run_pytest(suite, "--zelm", "--zelm-db", "bad.sqlite3", "-q")

    summary = [line for line in result.stdout.splitlines() if line.startswith("zelm:")]
    assert len(summary) == 1
    assert summary[0] == (f"zelm: 0 test traces saved in {suite / 'bad.sqlite3'}, 1 in fallback files under {suite} "
                          "(file is not a database)")
    (written,) = suite.glob("bad.sqlite3.trc_*.msgpack")
    assert trace.Trace.from_bytes(written.read_bytes()).threads[0].roots[-1].type == "end_test"


def test_a_locked_database_keeps_no_test_waiting_and_its_traces_go_to_fallback_files(suite):
    db_path = suite / "traces.sqlite3"

    with locked_database(str(db_path)):
        # A test waiting for the lock would wait the busy timeout, 60 s.
        result = run_pytest(suite, "--zelm", "--zelm-db", db_path, "-q", timeout=50)

    summary = [line for line in result.stdout.splitlines() if line.startswith("zelm:")]
    assert summary == [f"zelm: 0 test traces saved in {db_path}, 4 in fallback files under {suite} "
                       "(database is locked)"], result.stdout + result.stderr
    written = list(suite.glob("traces.sqlite3.trc_*.msgpack"))
    ended = []
    for path in written:
        end = trace.Trace.from_bytes(path.read_bytes()).threads[0].roots[-1]
        ended.append((end.type, end.data["nodeid"].split("::")[1]))
    assert sorted(ended) == [("end_test", name) for name in ["test_double", "test_fails", "test_logs", "test_thread"]]

    # Once the lock is gone, the files go into the database.
    zelm(suite, "import", "--db", db_path, *written)
    outcomes = {nodeid: outcome for nodeid, (_, outcome) in listed(zelm(suite, "list", "--db", db_path)).items()}
    assert outcomes == {"test_suite.py::test_double": "passed", "test_suite.py::test_logs": "passed",
                        "test_suite.py::test_thread": "passed", "test_suite.py::test_fails": "failed"}
    assert not list(suite.glob("*.msgpack"))


OUTCOMES_SUITE = """\
import pytest


@pytest.fixture
def database():
    raise ConnectionError("no database")


@pytest.fixture
def workspace():
    yield "ws"
    raise OSError("cleanup failed")


def test_passes():
    assert 2 * 2 == 4


def test_fails():
    total = 2 * 2
    assert total == 5, "total is off"


def test_skips():
    pytest.skip("not on this machine")


def test_setup_errors(database):
    pass


def test_teardown_errors(workspace):
    assert workspace == "ws"


@pytest.mark.xfail(reason="known bug")
def test_expected_failure():
    assert False


def test_stops_the_run():
    pytest.exit("stop here")
"""

# Node id -> (outcome in `zelm list`, its end_test line in `zelm show`).
EXPECTED_OUTCOMES = {
    "test_outcomes.py::test_passes": ("passed", "passed"),
    "test_outcomes.py::test_fails": ("failed", "failed: AssertionError: total is off"),
    "test_outcomes.py::test_skips": ("skipped", "skipped: not on this machine"),
    "test_outcomes.py::test_setup_errors": ("errored", "errored in setup: ConnectionError: no database"),
    "test_outcomes.py::test_teardown_errors": ("errored", "errored in teardown: OSError: cleanup failed"),
    "test_outcomes.py::test_expected_failure": ("xfailed", "xfailed: known bug"),
    "test_outcomes.py::test_stops_the_run": ("interrupted", "interrupted"),
}


def zelm(directory, *args):
    result = run_python("-m", "zelm", *args, cwd=directory)
    assert result.returncode == 0, result.stderr
    return result.stdout


def listed(output):
    """{node id: (trace id, outcome)} of `zelm list` output."""
    header, *rows = output.splitlines()
    assert header.split() == ["TRACE", "ID", "SAVED", "SOURCE", "OUTCOME", "RECORDS", "SIZE"]
    return {row.split()[3]: (row.split()[0], row.split()[4]) for row in rows}


@pytest.fixture(scope="module")
def outcomes_run(tmp_path_factory):
    directory = tmp_path_factory.mktemp("outcomes")
    (directory / "test_outcomes.py").write_text(OUTCOMES_SUITE)
    result = run_pytest(directory, "--zelm", "-q")
    assert "1 failed, 2 passed, 1 skipped, 1 xfailed, 2 errors" in result.stdout, result.stdout + result.stderr
    return directory


def test_zelm_list_names_each_test_trace_with_its_outcome(outcomes_run):
    tests = listed(zelm(outcomes_run, "list"))

    assert {nodeid: outcome for nodeid, (_, outcome) in tests.items()} == {
        nodeid: outcome for nodeid, (outcome, _) in EXPECTED_OUTCOMES.items()}
    for nodeid, (trace_id, _) in tests.items():
        end_lines = [line.strip() for line in zelm(outcomes_run, "show", trace_id).splitlines() if "* end test" in line]
        assert end_lines == [f"* end test {nodeid}: {EXPECTED_OUTCOMES[nodeid][1]}"]


@pytest.mark.parametrize("options, outcomes", [
    # --failed is where one starts when a run fails: failures and errors.
    (["--failed"], {"failed", "errored"}),
    (["--passed"], {"passed"}),
    (["--skipped"], {"skipped"}),
    (["--errored"], {"errored"}),
    (["--outcome", "xfailed", "--outcome", "interrupted"], {"xfailed", "interrupted"}),
])
def test_zelm_list_filters_by_outcome(outcomes_run, options, outcomes):
    tests = listed(zelm(outcomes_run, "list", *options))

    assert set(tests) == {nodeid for nodeid, (outcome, _) in EXPECTED_OUTCOMES.items() if outcome in outcomes}


def test_a_failing_test_function_shows_that_it_raised(suite):
    db_path = suite / "traces.sqlite3"
    run_pytest(suite, "--zelm", "--zelm-db", db_path, "-q", "-k", "fails or double")

    raised = {}
    for entry in store.list_traces(db_path):
        for _, node in trace.load(db_path, entry.trace_id).threads[0].walk():
            if isinstance(node, trace.Call) and node.name.startswith("test_suite.test_"):
                raised[node.name] = node.raised
    assert raised["test_suite.test_double"] is None
    assert raised["test_suite.test_fails"].startswith("AssertionError(")


LONG_FAILING_SUITE = """\
def step(number):
    return number + 1


def test_counts_far():
    total = 0
    kept = LOCALS
    for number in range(2000):
        total = step(total)
    assert total == 0


def test_passes():
    assert step(1) == 2
"""


# The failing test's locals, small or larger than the end a budget of
# 8 KiB keeps, whose records its return and exception fill alone.
@pytest.mark.parametrize("kept_locals", ["None", "[str(n) * 20 for n in range(400)]"],
                         ids=["small-locals", "locals-beyond-the-kept-end"])
def test_a_failing_test_cut_by_its_budget_is_listed_as_failed(tmp_path, kept_locals):
    from zelm.view import facts

    (tmp_path / "test_long.py").write_text(LONG_FAILING_SUITE.replace("LOCALS", kept_locals))
    run_pytest(tmp_path, "--zelm", "-q", "--zelm-trace-budget", "8KiB")

    output = zelm(tmp_path, "list", "--failed")

    header, *rows = output.splitlines()
    assert header.split()[3:5] == ["SOURCE", "OUTCOME"] and header.split()[-1] == "CUT"
    (row,) = rows
    assert row.split()[3:5] == ["test_long.py::test_counts_far", "failed"] and "CUT" in row
    # The viewer's list too.
    tests = [entry["test"] for entry in facts.listing(tmp_path / ".zelm" / "traces.sqlite3")]
    assert sorted(tests, key=str) == [{"nodeid": "test_long.py::test_counts_far", "outcome": "failed"},
                                      {"nodeid": "test_long.py::test_passes", "outcome": "passed"}]


CONFIG_SPY = """\
import json

from zelm.profiler import Profiler

real_start = Profiler.start


def start(profiler):
    with open("started_config.json", "w") as output:
        json.dump(profiler.config, output)
    real_start(profiler)


Profiler.start = start
"""


@pytest.mark.parametrize("options, expected", [
    ([], {"trace_budget_bytes": 256 * 1024 * 1024, "lightweight_repr": False, "value_limits": {}, "repr": "safe",
          "scrub_keys": None, "filters": {"include_frames": [], "ignore_frames": []}}),
    (["--zelm-trace-budget", "1MiB", "--zelm-lightweight-repr", "--zelm-max-text", "20", "--zelm-ignore", "x",
      "--zelm-include-package", "json", "--zelm-repr", "full", "--zelm-scrub-keys", "ssn,pin"],
     {"trace_budget_bytes": 1024 * 1024, "lightweight_repr": True, "value_limits": {"max_text": 20}, "repr": "full",
      "scrub_keys": ["ssn", "pin"],
      "filters": {"include_frames": [os.path.join(os.path.dirname(__import__("json").__file__), "")],
                  "ignore_frames": ["x"]}}),
], ids=["defaults", "options"])
def test_recording_options_reach_the_profiler(suite, options, expected):
    (suite / "conftest.py").write_text(CONFIG_SPY)

    result = run_pytest(suite, "--zelm", "-q", "-k", "double", *options)

    assert result.returncode == 0, result.stdout + result.stderr
    config = json.loads((suite / "started_config.json").read_text())
    assert {key: config[key] for key in expected} == expected
    assert config["plugins"] == {"test_markers": True}


@pytest.mark.parametrize("options, message", [
    (["--zelm-include-package", "no_such_package_zz"], "zelm: no installed package 'no_such_package_zz'"),
    (["--zelm-trace-budget", "big"], "expected a size such as 64MiB"),
])
def test_bad_recording_options_stop_pytest_with_a_usage_error(suite, options, message):
    result = run_pytest(suite, "--zelm", "-q", *options)

    assert result.returncode == 4  # pytest's usage error
    assert message in result.stderr


def summary_lines(result):
    return [line for line in result.stdout.splitlines() if line.startswith("zelm:")]


INI_OPTIONS = """\
[pytest]
zelm = true
zelm_db = ini/traces.sqlite3
zelm_trace_budget = 1MiB
zelm_lightweight_repr = true
zelm_max_text = 20
zelm_repr = full
zelm_ignore =
    x
    y
"""


@pytest.mark.parametrize("options, expected_db, expected", [
    ([], "ini/traces.sqlite3",
     {"trace_budget_bytes": 1024 * 1024, "lightweight_repr": True, "value_limits": {"max_text": 20}, "repr": "full",
      "filters": {"include_frames": [], "ignore_frames": ["x", "y"]}}),
    (["--zelm-db", "cli.sqlite3", "--zelm-trace-budget", "2MiB", "--zelm-max-text", "30", "--zelm-repr", "safe",
      "--zelm-ignore", "z"], "cli.sqlite3",
     {"trace_budget_bytes": 2 * 1024 * 1024, "lightweight_repr": True, "value_limits": {"max_text": 30},
      "repr": "safe", "filters": {"include_frames": [], "ignore_frames": ["z"]}}),
], ids=["ini-file", "command-line-wins"])
def test_options_from_the_ini_file(suite, options, expected_db, expected):
    (suite / "conftest.py").write_text(CONFIG_SPY)
    (suite / "pytest.ini").write_text(INI_OPTIONS)

    # No --zelm: the ini file turns recording on.
    result = run_pytest(suite, "-q", "-k", "double", *options)

    assert result.returncode == 0, result.stdout + result.stderr
    assert summary_lines(result) == [f"zelm: 1 test traces saved in {suite / expected_db}"]
    config = json.loads((suite / "started_config.json").read_text())
    assert {key: config[key] for key in expected} == expected


@pytest.mark.parametrize("setting, message", [
    ("zelm = maybe", "zelm: ini option zelm: expected true or false, not 'maybe'"),
    ("zelm_lightweight_repr = often", "zelm: ini option zelm_lightweight_repr: expected true or false, not 'often'"),
    ("zelm_trace_budget = big", "zelm: ini option zelm_trace_budget: expected a size such as 64MiB, 500KB, 1000000 or none, not 'big'"),
    ("zelm_max_depth = 0", "zelm: ini option zelm_max_depth: expected a whole number of at least 1, not '0'"),
    ("zelm_repr = pretty", "zelm: ini option zelm_repr: expected one of safe, full, not 'pretty'"),
    ("zelm_keep = some", "zelm: ini option zelm_keep: expected one of all, failed, not 'some'"),
    ("zelm_include_package = no_such_package_zz", "zelm: no installed package 'no_such_package_zz'"),
])
def test_a_bad_ini_value_is_a_usage_error(suite, setting, message):
    turned_on = "" if setting.startswith("zelm =") else "zelm = true\n"
    (suite / "pytest.ini").write_text(f"[pytest]\n{turned_on}{setting}\n")

    result = run_pytest(suite, "-q")

    assert result.returncode == 4, result.stdout + result.stderr  # pytest's usage error
    assert "Traceback" not in result.stderr
    assert [line for line in result.stderr.splitlines() if "zelm" in line] == [f"ERROR: {message}"]


# The outcomes suite without the test that stops the run, and with the two
# kinds of xpass.
KEEP_SUITE = OUTCOMES_SUITE.partition("\n\ndef test_stops_the_run")[0] + """


@pytest.mark.xfail(reason="fixed since")
def test_unexpected_pass():
    pass


@pytest.mark.xfail(reason="fixed since", strict=True)
def test_strict_unexpected_pass():
    pass
"""


@pytest.mark.parametrize("ini, options", [
    ("", ["--zelm-keep", "failed"]),
    ("zelm_keep = failed\n", []),
    ("zelm_keep = all\n", ["--zelm-keep", "failed"]),
], ids=["command-line", "ini-file", "command-line-over-ini"])
def test_keeping_only_the_traces_of_tests_that_failed(tmp_path, ini, options):
    (tmp_path / "test_keep.py").write_text(KEEP_SUITE)
    (tmp_path / "pytest.ini").write_text("[pytest]\n" + ini)
    db_path = tmp_path / ".zelm" / "traces.sqlite3"

    result = run_pytest(tmp_path, "--zelm", "-q", *options)

    assert "2 failed, 2 passed, 1 skipped, 1 xfailed, 1 xpassed, 2 errors" in result.stdout, result.stdout
    assert summary_lines(result) == [f"zelm: 4 test traces saved in {db_path}, 4 of tests that did not fail dropped"]
    outcomes = {nodeid: outcome for nodeid, (_, outcome) in listed(zelm(tmp_path, "list")).items()}
    # A strict xfail that passes fails the run, as a failure of its call.
    assert outcomes == {"test_keep.py::test_fails": "failed", "test_keep.py::test_setup_errors": "errored",
                        "test_keep.py::test_teardown_errors": "errored",
                        "test_keep.py::test_strict_unexpected_pass": "failed"}


def test_the_summary_counts_only_this_runs_traces(suite):
    db_path = suite / "traces.sqlite3"
    run_pytest(suite, "--zelm", "--zelm-db", db_path, "-q", "-k", "double or logs")

    result = run_pytest(suite, "--zelm", "--zelm-db", db_path, "-q", "-k", "fails")

    assert summary_lines(result) == [f"zelm: 1 test traces saved in {db_path}"]
    assert len(store.list_traces(db_path)) == 3


# Sixty tests of some 600 records each: enough for the saver to fall behind
# and store several at once, and for a compression dictionary to be trained.
MANY_TESTS_SUITE = """\
import pytest


def step(number):
    return number + 1


@pytest.mark.parametrize("number", range(60))
def test_steps(number):
    assert sum(step(index) for index in range(300)) == 45150
"""


def test_every_test_trace_is_stored_by_the_background_saver_in_the_order_run(tmp_path):
    (tmp_path / "test_many.py").write_text(MANY_TESTS_SUITE)
    db_path = tmp_path / "traces.sqlite3"

    result = run_pytest(tmp_path, "--zelm", "--zelm-db", db_path, "-q")

    assert result.returncode == 0, result.stdout + result.stderr
    assert summary_lines(result) == [f"zelm: 60 test traces saved in {db_path}"]
    oldest_first = list(reversed(store.list_traces(db_path)))
    assert [entry.test["nodeid"] for entry in oldest_first] == [f"test_many.py::test_steps[{number}]"
                                                                for number in range(60)]
    with sqlite3.connect(db_path) as connection:
        methods = [method for (method,) in connection.execute("SELECT compression FROM traces ORDER BY id")]
    assert methods[-1] == "zstd-dictionary"
    for entry in oldest_first:
        assert trace.load(db_path, entry.trace_id).threads[0].roots[0].data["nodeid"] == entry.test["nodeid"]
