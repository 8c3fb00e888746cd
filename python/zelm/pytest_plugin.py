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
line at the end says how many traces went where.
"""

import os
import sys

import pytest

from zelm.config import add_recording_options, recording_config
from zelm.profiler import DEFAULT_DB_PATH, Profiler

# The "source" label of the traces saved by this plugin.
SOURCE = "pytest"


def pytest_addoption(parser):
    group = parser.getgroup("zelm", "zelm tracing profiler")
    group.addoption(
        "--zelm", action="store_true", default=False,
        help="record every test with zelm and save one trace per test",
    )
    group.addoption(
        "--zelm-db", metavar="PATH", default=None,
        help=f"the trace database of --zelm (default: {DEFAULT_DB_PATH} under the current directory)",
    )
    add_recording_options(group.addoption, prefix="zelm-")


def pytest_configure(config):
    if config.getoption("zelm"):
        db_path = config.getoption("zelm_db")
        try:
            recording = recording_config(config.getoption, prefix="zelm-")
        except ValueError as error:
            raise pytest.UsageError(f"zelm: {error}") from None
        recorder = _TestRecorder(os.path.abspath(db_path or DEFAULT_DB_PATH), recording)
        config.pluginmanager.register(recorder, "zelm-recorder")


class _TestRecorder:
    def __init__(self, db_path, recording):
        self.db_path = db_path
        self.recording = recording
        self.tally = None
        self.profiler = None

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
        self.tally = background.Tally()
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
        if tally.fallback_paths:
            line += f", {len(tally.fallback_paths)} in fallback files under {', '.join(tally.fallback_directories())}"
        if tally.lost:
            line += f", {tally.lost} lost"
        if tally.failure is not None:
            line += f" ({tally.failure})"
        terminalreporter.write_line(line)
