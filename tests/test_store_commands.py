"""The commands that manage the store: `zelm delete`, `zelm prune` and
`zelm list --limit/--format json`, on a database of hand-made traces whose
larger documents are stored in chunks; and how every command that writes to
stdout ends when its output cannot be written."""

import json
import os
import re
import signal
import sqlite3
import subprocess
import sys
import time

import msgpack
import pytest
from conftest import locked_database, python_environment, start_python
from test_trace_reader import call, document, plugin, ret

from zelm import store
from zelm.cli import removal
from zelm.cli.main import main
from zelm.store import sqlite as sqlite_store

HOUR, DAY = 3600, 86400


class Saved:
    """A trace of the store fixture: how it was saved."""

    def __init__(self, trace_id, age, source="app.py", outcome=None, chunked=False, parts=1):
        self.trace_id, self.age, self.source, self.outcome = trace_id, age, source, outcome
        self.chunked, self.parts = chunked, parts

    def document(self):
        records = [call("f", "f1", 1.0)]
        if self.chunked:
            # Random bytes do not compress: the stored value takes some 40 chunks.
            records.append(plugin("blob", 1.5, data=os.urandom(40_000)))
        records.append(ret("f", "f1", 2.0))
        if self.outcome is not None:
            records.append(plugin("end_test", 2.0, nodeid=f"tests/test_{self.trace_id}.py::test_it",
                                  outcome=self.outcome))
        saved = document(records, trace_id=self.trace_id)
        saved["meta"]["source"] = self.source
        return msgpack.packb(saved)


# Oldest first, as saved; the newest is "new_app".
TRACES = [
    Saved("old_app", 30 * DAY),
    Saved("old_pass", 20 * DAY, source="pytest", outcome="passed"),
    Saved("old_fail", 10 * DAY, source="pytest", outcome="failed"),
    Saved("mid_bench", 3 * DAY, source="bench/run.py", chunked=True, parts=2),
    Saved("new_pass", HOUR, source="pytest", outcome="passed", chunked=True),
    Saved("new_app", 0),
]
ALL = {saved.trace_id for saved in TRACES}


@pytest.fixture
def traces_db(tmp_path, monkeypatch):
    """(database path, {trace id: its documents}) of a database of TRACES,
    each saved its age ago, the chunked ones in chunks of 1,000 bytes."""
    db_path = tmp_path / "traces.sqlite3"
    with monkeypatch.context() as patch:
        patch.setattr(sqlite_store, "CHUNK_BYTES", 1000)
        patch.setattr(sqlite_store, "_FEED_BYTES", 777)
        now = time.time()
        documents = {}
        for saved in TRACES:
            documents[saved.trace_id] = [saved.document() for _ in range(saved.parts)]
            for part in documents[saved.trace_id]:
                store.save_trace_in_sqlite(db_path, saved.trace_id, timeout=5, msgpack=part)
            with sqlite3.connect(db_path) as connection:
                connection.execute("UPDATE traces SET saved_at = ? WHERE trace_id = ?",
                                   (now - saved.age, saved.trace_id))
    assert chunk_rows(db_path) > 100
    return db_path, documents


def chunk_rows(db_path):
    with sqlite3.connect(db_path) as connection:
        return connection.execute("SELECT count(*) FROM trace_chunks").fetchone()[0]


def stored_ids(db_path):
    return {entry.trace_id for entry in store.list_traces(db_path)}


def assert_intact(db_path, documents, removed):
    """Only the traces ``removed`` are gone, with every part and chunk;
    the others read back byte for byte."""
    assert stored_ids(db_path) == ALL - set(removed)
    with sqlite3.connect(db_path) as connection:
        orphans = connection.execute(
            "SELECT count(*) FROM trace_chunks WHERE trace_row NOT IN (SELECT id FROM traces)").fetchone()[0]
    assert orphans == 0
    for trace_id in ALL - set(removed):
        assert store.load_trace_documents(db_path, trace_id) == documents[trace_id]


@pytest.fixture
def zelm(capsys):
    """zelm(*args) runs the command line in this process: (status, stdout, stderr)."""

    def run(*args):
        status = main([str(arg) for arg in args])
        return (status, *capsys.readouterr())

    return run


# ---- zelm delete ----


@pytest.mark.parametrize("named, removed, told", [
    (["mid_bench"], ["mid_bench"], ["zelm: deleted trace mid_bench (2 parts)"]),
    (["latest"], ["new_app"], ["zelm: deleted trace new_app"]),
    (["new_pass", "old_app", "new_pass"], ["new_pass", "old_app"],
     ["zelm: deleted trace new_pass", "zelm: deleted trace old_app"]),
], ids=["parts-and-chunks", "latest", "several"])
def test_delete_removes_every_part_and_chunk_of_the_traces_named(traces_db, zelm, named, removed, told):
    db_path, documents = traces_db

    status, out, errors = zelm("delete", *named, "--db", db_path)

    assert (status, out, errors.splitlines()) == (0, "", told)
    assert_intact(db_path, documents, removed)


def test_delete_tells_each_unknown_id_and_removes_the_others(traces_db, zelm):
    db_path, documents = traces_db

    status, out, errors = zelm("delete", "trc_nope", "mid_bench", "trc_gone", "--db", db_path)

    assert (status, out) == (1, "")
    assert errors.splitlines() == [f"zelm: error: no trace trc_nope in {db_path}",
                                   "zelm: deleted trace mid_bench (2 parts)",
                                   f"zelm: error: no trace trc_gone in {db_path}"]
    assert_intact(db_path, documents, ["mid_bench"])


def test_delete_latest_of_an_empty_database_is_an_error(traces_db, zelm):
    db_path, _ = traces_db
    assert zelm("delete", *ALL, "--db", db_path)[0] == 0

    assert zelm("delete", "latest", "--db", db_path) == (1, "", f"zelm: error: no traces stored in {db_path}\n")
    assert chunk_rows(db_path) == 0


# ---- zelm prune ----

PRUNE_CASES = {
    "keep": (["--keep", "2"], ["mid_bench", "old_fail", "old_pass", "old_app"]),
    "keep-none": (["--keep", "0"], sorted(ALL)),
    "older-than-days": (["--older-than", "7d"], ["old_fail", "old_pass", "old_app"]),
    "older-than-hours": (["--older-than", "2h"], ["mid_bench", "old_fail", "old_pass", "old_app"]),
    "older-than-weeks": (["--older-than", "3w"], ["old_app"]),
    "source": (["--source", "app.py"], ["new_app", "old_app"]),
    "source-pattern": (["--source", "bench/*"], ["mid_bench"]),
    "source-test-node": (["--source", "tests/test_*_pass.py::*"], ["new_pass", "old_pass"]),
    "passed": (["--passed"], ["new_pass", "old_pass"]),
    "passed-older": (["--passed", "--older-than", "1d"], ["old_pass"]),
    "keep-source": (["--keep", "1", "--source", "app.py"], ["old_app"]),
    "keep-passed": (["--keep", "2", "--passed"], ["old_pass"]),
    "all-four": (["--keep", "1", "--older-than", "30m", "--source", "*", "--passed"], ["new_pass", "old_pass"]),
    "none-match": (["--source", "nothing*"], []),
}


@pytest.mark.parametrize("criteria, removed", PRUNE_CASES.values(), ids=PRUNE_CASES.keys())
def test_prune_removes_what_its_dry_run_lists_and_nothing_else(traces_db, zelm, criteria, removed):
    db_path, documents = traces_db
    before = db_path.read_bytes()

    status, out, errors = zelm("prune", *criteria, "--dry-run", "--db", db_path)

    assert status == 0 and db_path.read_bytes() == before
    listed = out.splitlines()
    if removed:
        assert listed[0].split()[:2] == ["TRACE", "ID"]
        listed = listed[1:]
    # One line per trace, as `zelm list` shows it: the parts' records summed.
    assert sorted(line.split()[0] for line in listed) == sorted(removed)
    assert all(line.split()[-3] == "6" for line in listed if line.startswith("mid_bench"))
    assert errors == f"zelm: would remove {len(removed)} trace{'' if len(removed) == 1 else 's'}; " \
                     "nothing was removed (--dry-run)\n"

    status, out, errors = zelm("prune", *criteria, "--db", db_path)

    assert (status, out) == (0, "")
    told = re.fullmatch(r"zelm: removed (\d+) traces? \((.+) freed\)\n", errors)
    assert told and int(told.group(1)) == len(removed), errors
    assert_intact(db_path, documents, removed)
    if {"mid_bench", "new_pass"} & set(removed):
        # Compacted: the chunks' pages went back to the disk.
        assert len(db_path.read_bytes()) < len(before) - 30_000


def test_a_pruned_database_still_lists_shows_and_saves(traces_db, zelm):
    db_path, documents = traces_db
    assert zelm("prune", "--keep", "3", "--db", db_path)[0] == 0

    status, out, errors = zelm("list", "--db", db_path)
    assert (status, errors) == (0, "")
    assert [line.split()[0] for line in out.splitlines()] == ["TRACE", "new_app", "new_pass", "mid_bench", "mid_bench"]
    status, out, errors = zelm("show", "mid_bench", "--db", db_path)
    assert (status, errors) == (0, "") and out.startswith("trace mid_bench ")
    assert zelm("show", "old_app", "--db", db_path) == (1, "", f"zelm: error: no trace old_app in {db_path}\n")
    store.save_trace_in_sqlite(db_path, "newer", timeout=5, msgpack=documents["new_app"][0])
    assert store.list_traces(db_path)[0].trace_id == "newer"


def test_prune_waits_for_a_trace_being_saved_and_keeps_it(traces_db):
    db_path, _ = traces_db
    # A save in progress: its row is written, not yet committed.
    writer = sqlite3.connect(db_path, isolation_level=None)
    writer.execute("BEGIN IMMEDIATE")
    columns = ", ".join(name for _, name, *_ in writer.execute("PRAGMA table_info(traces)")
                        if name not in ("id", "trace_id"))
    writer.execute(f"INSERT INTO traces (trace_id, {columns}) SELECT 'being_saved', {columns} FROM traces"
                   " WHERE trace_id = 'new_app'")
    prune = start_python("-m", "zelm", "prune", "--keep", "1", "--db", db_path)
    time.sleep(1.5)
    assert prune.poll() is None  # waiting for the lock
    writer.execute("COMMIT")
    writer.close()
    out, errors = prune.communicate(timeout=60)

    assert prune.returncode == 0, errors
    assert stored_ids(db_path) == {"being_saved"}


@pytest.mark.parametrize("command", [["prune", "--keep", "0"], ["delete", "new_app"]])
def test_a_database_another_process_keeps_locked_is_one_error_line(traces_db, zelm, monkeypatch, command):
    db_path, documents = traces_db
    monkeypatch.setattr(removal, "DEFAULT_SQLITE_BUSY_TIMEOUT", 0.2)

    with locked_database(db_path):
        result = zelm(*command, "--db", db_path)

    assert result == (1, "", f"zelm: error: cannot change {db_path}: another process kept it locked for 0.2 s; "
                             "nothing was removed\n")
    assert_intact(db_path, documents, [])


def test_prune_of_a_database_not_made_yet_removes_nothing(tmp_path, zelm):
    db_path = tmp_path / "absent.sqlite3"

    assert zelm("prune", "--keep", "1", "--db", db_path) == (0, "", f"zelm: no traces yet: {db_path} does not exist\n")
    assert not db_path.exists()


# ---- zelm list --limit, --format json ----


@pytest.mark.parametrize("options, listed", [
    ([], ["new_app", "new_pass", "mid_bench", "mid_bench", "old_fail", "old_pass", "old_app"]),
    (["--limit", "3"], ["new_app", "new_pass", "mid_bench"]),
    (["--passed", "--limit", "1"], ["new_pass"]),
    (["--limit", "100"], ["new_app", "new_pass", "mid_bench", "mid_bench", "old_fail", "old_pass", "old_app"]),
    (["--skipped"], []),
], ids=["all", "limit", "passed-limit", "limit-beyond", "none"])
def test_list_limit_and_json(traces_db, zelm, options, listed):
    db_path, documents = traces_db

    status, out, errors = zelm("list", *options, "--db", db_path)
    assert (status, errors) == (0, "")
    assert [line.split()[0] for line in out.splitlines()[1:]] == listed

    status, out, errors = zelm("list", *options, "--format", "json", "--db", db_path)
    assert (status, errors) == (0, "")
    objects = json.loads(out)
    assert [entry["trace_id"] for entry in objects] == listed
    now = time.time()
    for entry in objects:
        saved = next(saved for saved in TRACES if saved.trace_id == entry["trace_id"])
        assert abs(now - saved.age - entry["saved_at"]) < 60
        assert entry["source"] == saved.source
        assert entry["records"] == 2 + saved.chunked + (saved.outcome is not None)
        assert entry["size"] == len(documents[saved.trace_id][0])
        expected_test = None if saved.outcome is None else {
            "nodeid": f"tests/test_{saved.trace_id}.py::test_it", "outcome": saved.outcome}
        assert entry["test"] == expected_test
        assert entry["threads"] == [100] and entry["started"] == 1.0 and entry["ended"] == 2.0
        assert entry["working_directory"] == os.getcwd()
        assert (entry["dropped_events"], entry["parent_trace_id"], entry["request"]) == (None, None, None)


def test_list_json_of_a_database_not_made_yet_is_an_empty_list(tmp_path, zelm):
    assert zelm("list", "--format", "json", "--db", tmp_path / "absent.sqlite3") == (0, "[]\n", "")


# ---- output that cannot be written ----

WRITING_COMMANDS = [["list"], ["list", "--format", "json"], ["show", "latest"], ["export", "latest"],
                    ["stats", "latest"], ["stats", "latest", "--format", "json"], ["prune", "--keep", "0", "--dry-run"]]
WRITING_IDS = [" ".join(command) for command in WRITING_COMMANDS]


def run_zelm_to(stdout, db_path, command):
    """`zelm *command` on ``db_path``, its stdout ``stdout``, or closed
    for "closed" (`zelm ... >&-`)."""
    args = [sys.executable, "-m", "zelm", *command, "--db", str(db_path)]
    if stdout == "closed":
        args, stdout = ["sh", "-c", 'exec "$@" >&-', "sh", *args], None
    return subprocess.run(args, env=python_environment(), stdout=stdout, stderr=subprocess.PIPE, text=True,
                          timeout=60)


@pytest.mark.parametrize("command", WRITING_COMMANDS, ids=WRITING_IDS)
def test_output_into_a_closed_pipe_ends_quietly_as_by_sigpipe(traces_db, command):
    # `zelm ... | head -1` where head is gone before zelm writes.
    reader, writer = os.pipe()
    os.close(reader)
    try:
        result = run_zelm_to(writer, traces_db[0], command)
    finally:
        os.close(writer)

    assert (result.returncode, result.stderr) == (-signal.SIGPIPE, "")


@pytest.mark.parametrize("command", WRITING_COMMANDS, ids=WRITING_IDS)
def test_output_to_a_full_disk_or_no_stdout_is_one_error_line(traces_db, command):
    with open("/dev/full", "w") as full:
        result = run_zelm_to(full, traces_db[0], command)
    assert (result.returncode, result.stderr) == (1, "zelm: error: cannot write the output: No space left on device\n")

    closed = run_zelm_to("closed", traces_db[0], command)
    assert (closed.returncode, closed.stderr) == (1, "zelm: error: cannot write the output: the standard output is "
                                                      "closed\n")
