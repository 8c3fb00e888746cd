"""pytest plugin: ``pytest --zelm`` records every test, one trace per test.

Installed through the "pytest11" entry point, so every pytest run on the
machine imports this module: importing it loads only the pure-Python
profiler object (not the native module, sqlite3 or msgpack), and without
--zelm nothing happens beyond defining the options.

With --zelm, the profiler runs around the test loop in one-trace-per-test
mode: the test_markers plugin marks the start and end of each test, and the
native profiler saves each finished test's records as a trace of its own in
the database (--zelm-db, default .zelm/traces.sqlite3 under the current
directory). The traces are stored by a background thread (zelm.store.background),
so that no test waits for the database, even a locked one: a trace the
database does not take in time goes to a fallback file instead. A summary
line at the end says how many of this run's traces went where.

Every option can also be set in pytest's ini file, named with underscores
("zelm_db", "zelm_trace_budget", ...; the repeatable ones one value a line),
and "zelm = true" turns recording on; an option on the command line wins
over the ini file. With --zelm-keep failed, only the traces of tests that
failed or errored are stored: the plugin follows each test's reports, and
the trace the native profiler saves at a test's end marker is that test's.
"""

import argparse
import os
import sys

import pytest

from zelm.config import add_recording_options, recording_config
from zelm.profiler import DEFAULT_DB_PATH, Profiler
from zelm.store import location

# The "source" label of the traces saved by this plugin.
SOURCE = "pytest"


# --zelm-keep: which tests' traces are stored.
KEEP_CHOICES = ("all", "failed")
_TRUE = ("true", "yes", "on", "1")
_FALSE = ("false", "no", "off", "0", "")


class _Setting:
    """One --zelm-* option, also read from the ini file: the command line's
    value when given (the option's default is None, so that "given" can be
    told from "left out"), else the ini file's, else the real default.
    The ini name is the option's dest: "zelm_trace_budget"."""

    def __init__(self, dest, keywords):
        self.dest = self.ini_name = dest
        self.action = keywords.get("action")
        self.convert = keywords.get("type")
        self.choices = keywords.get("choices")
        self.default = keywords.get("default")

    def value(self, config):
        given = config.getoption(self.dest)
        if given is not None:
            return given
        text = config.getini(self.ini_name)
        if self.action == "append":
            return [self._parsed(line) for line in text] if text else list(self.default)
        if not text.strip():
            return self.default
        return self._parsed(text.strip())

    def _parsed(self, text):
        if self.action == "store_true":
            return _ini_bool(self.ini_name, text)
        try:
            value = self.convert(text) if self.convert is not None else text
        except (ValueError, argparse.ArgumentTypeError) as error:
            raise pytest.UsageError(f"zelm: ini option {self.ini_name}: {error}") from None
        if self.choices is not None and value not in self.choices:
            raise pytest.UsageError(f"zelm: ini option {self.ini_name}: expected one of "
                                    f"{', '.join(self.choices)}, not {text!r}")
        return value


def _ini_bool(ini_name, text):
    if text.strip().lower() in _TRUE:
        return True
    if text.strip().lower() in _FALSE:
        return False
    raise pytest.UsageError(f"zelm: ini option {ini_name}: expected true or false, not {text!r}")


# Option dest -> its _Setting, filled as the options are defined.
_SETTINGS = {}


def pytest_addoption(parser):
    group = parser.getgroup("zelm", "zelm tracing profiler")

    def add_option(name, **keywords):
        dest = keywords.pop("dest", name[2:].replace("-", "_"))
        setting = _Setting(dest, keywords)
        _SETTINGS[dest] = setting
        if setting.action == "append":
            ini_type, ini_help = "linelist", f"as {name}, one value a line"
        else:
            ini_type, ini_help = "string", f"as {name}"
            if setting.action == "store_true":
                ini_help += " (true or false)"
        parser.addini(setting.ini_name, ini_help, type=ini_type, default=[] if ini_type == "linelist" else "")
        group.addoption(name, dest=dest, **{**keywords, "default": None})

    parser.addini("zelm", "true: record every test, as --zelm", type="string", default="")
    group.addoption(
        "--zelm", action="store_true", default=False,
        help="record every test with zelm and save one trace per test (ini: zelm = true)",
    )
    add_option(
        "--zelm-db", metavar="PATH", default=None,
        help=f"the trace database of --zelm, a SQLite file's path or a PostgreSQL URL (default: "
             f"${location.ENVIRONMENT_VARIABLE}, else {DEFAULT_DB_PATH} under the current directory)",
    )
    add_option(
        "--zelm-keep", choices=KEEP_CHOICES, default="all",
        help="which tests' traces are stored: 'all' (default), or 'failed': only those of the tests that "
             "failed or errored (a strict xfail that passed is a failure; not those that passed, were skipped, "
             "xfailed or xpassed)",
    )
    add_recording_options(add_option, prefix="zelm-")


def pytest_configure(config):
    if config.getoption("zelm") or _ini_bool("zelm", config.getini("zelm")):
        db_path = _SETTINGS["zelm_db"].value(config)
        keep = _SETTINGS["zelm_keep"].value(config)
        try:
            recording = recording_config(lambda dest: _SETTINGS[dest].value(config), prefix="zelm-")
        except ValueError as error:
            raise pytest.UsageError(f"zelm: {error}") from None
        recorder = _TestRecorder(location.absolute(location.resolve(db_path or None)), recording,
                                 keep_failed_only=keep == "failed")
        config.pluginmanager.register(recorder, "zelm-recorder")


class _TestRecorder:
    def __init__(self, db_path, recording, keep_failed_only):
        self.db_path = db_path
        self.recording = recording
        self.keep_failed_only = keep_failed_only
        self.tally = None
        self.profiler = None
        # Of the test running now, from its reports: whether one failed,
        # and whether its teardown was reported (else the run stopped inside it).
        self.test_failed = False
        self.test_finished = False

    def pytest_runtest_logstart(self, nodeid, location):
        self.test_failed = self.test_finished = False

    def pytest_runtest_logreport(self, report):
        # A failed setup or teardown is an error, a strict xpass a failure.
        self.test_failed = self.test_failed or report.failed
        self.test_finished = self.test_finished or report.when == "teardown"

    def _keeps(self, trace_id):
        """Whether to store the trace the native profiler saves now. It
        saves at the test's end marker, made as the test's protocol
        returns, after all of its reports: the trace is the test's just
        reported. A test the run stopped inside is kept, not known to pass."""
        return self.test_failed or not self.test_finished

    # A test that takes the profile hook (sys.setprofile) and never hands
    # it back would lose its own outcome and end marker, and every later
    # test would go unrecorded: zelm's hook is handed back on the main
    # thread after each test's teardown and before each test starts. The test's trace
    # says when the hook was taken.
    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_protocol(self, item, nextitem):
        self._hand_back_the_hook()

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_teardown(self, item, nextitem):
        yield
        self._hand_back_the_hook()

    def _hand_back_the_hook(self):
        native = self.profiler.rust_profiler if self.profiler is not None else None
        if native is not None and sys.getprofile() is not native:
            sys.setprofile(native)

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtestloop(self, session):
        # Imported only here: sqlite3 and msgpack stay unloaded without --zelm.
        from zelm.store import background

        profiler = Profiler(
            config={**self.recording, "plugins": {"test_markers": True}},
            db_path=self.db_path,
            one_trace_per_test=True,
            source=SOURCE,
        )
        self.tally = background.Tally(keep=self._keeps if self.keep_failed_only else None)
        background.attach(self.db_path, self.tally)
        profiler.start()
        self.profiler = profiler
        try:
            yield
        finally:
            self.profiler = None
            # Records after the last test's end belong to no test: they are
            # dropped with the profiler.
            profiler.stop()
            background.detach(self.db_path)

    def pytest_terminal_summary(self, terminalreporter):
        if self.tally is None:
            return
        from zelm.store import background

        background.saver().finish()
        tally = self.tally
        cut_note = f" ({tally.cut} cut short by the trace budget)" if tally.cut else ""
        line = f"zelm: {tally.stored} test traces saved in {self.db_path}{cut_note}"
        if self.keep_failed_only:
            line += f", {tally.dropped} of tests that did not fail dropped"
        if tally.fallback_paths:
            line += f", {len(tally.fallback_paths)} in fallback files under {', '.join(tally.fallback_directories())}"
        if tally.lost:
            line += f", {tally.lost} lost"
        if tally.failure is not None:
            line += f" ({tally.failure})"
        terminalreporter.write_line(line)
