"""pytest plugin: ``pytest --zelm`` records every test, one trace per test.

Installed through the "pytest11" entry point, so every pytest run on the
machine imports this module: importing it loads only the pure-Python
profiler object (not the native module, sqlite3 or msgpack), and without
--zelm nothing happens beyond defining the options.

With --zelm, the profiler runs around the test loop in one-trace-per-test
mode: the test_markers plugin marks the start and end of each test, and the
native profiler saves each finished test's records as a trace of its own in
the database (--zelm-db, default .zelm/traces.sqlite3 under the current
directory). A summary line at the end says how many traces were saved, and
where.
"""

import os
import time

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
        self.started_at = time.time()

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtestloop(self, session):
        profiler = Profiler(
            config={**self.recording, "plugins": {"test_markers": True}},
            db_path=self.db_path,
            one_trace_per_test=True,
            source=SOURCE,
        )
        profiler.start()
        try:
            yield
        finally:
            # Records after the last test's end belong to no test: they are
            # dropped with the profiler.
            profiler.stop()

    def pytest_terminal_summary(self, terminalreporter):
        # Imported only here: sqlite3 and msgpack stay unloaded without --zelm.
        import sqlite3

        from zelm import store

        try:
            stored = store.list_traces(self.db_path) if os.path.exists(self.db_path) else []
        except (store.TraceStoreError, sqlite3.Error) as error:
            terminalreporter.write_line(f"zelm: cannot count the saved test traces: {error}")
            return
        saved = [trace for trace in stored if trace.source == SOURCE and (trace.saved_at or 0) >= self.started_at]
        cut = sum(1 for trace in saved if trace.dropped_events is not None)
        cut_note = f" ({cut} cut short by the trace budget)" if cut else ""
        terminalreporter.write_line(f"zelm: {len(saved)} test traces saved in {self.db_path}{cut_note}")
