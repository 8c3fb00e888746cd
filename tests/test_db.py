import json
import os
import pathlib
import sqlite3
import stat
import tempfile
import threading

import msgpack
import pytest
from conftest import pack_with_raw, raw_slot
from test_trace_reader import MAIN, WORKER, call, document, plugin, ret

from zelm import trace as trace_reader
from zelm.store import sqlite as sqlite_store
from zelm.store import (
    StoredTrace,
    TraceStoreError,
    list_traces,
    load_trace,
    load_trace_documents,
    save_trace_in_sqlite,
)

TRACE_ID = "trc_01HZX3Q5R8W6N2K9F4T7B1C0DE"
OTHER_TRACE_ID = "trc_01HZX3Q5R8W6N2K9F4T7B1C0DF"


def trace_document(*, main_records=0, thread_records=(), timestamp=1.5, source="src", trace_id=TRACE_ID):
    """A trace document laid out as the native profiler writes it."""
    record = msgpack.packb({"type": "frame", "co_name": "f"})
    frames = {5 + number: [record] * count for number, count in enumerate(thread_records)}
    return msgpack.packb(
        {
            "command_line_args": ["app.py"],
            "current_commit_sha": None,
            "frames": frames,
            "frames_of_interest": [record] * main_records,
            "main_thread_id": 259,
            "meta": {"version": "0.1.0", "source": source, "use_frame_boundaries": True},
            "timestamp": timestamp,
            "trace_id": trace_id,
        }
    )


def test_documents_under_one_trace_id_are_all_kept_in_order(db_path):
    first = trace_document(main_records=2, timestamp=10.0)
    second = trace_document(main_records=1, thread_records=(3, 0, 4), timestamp=10.0)

    save_trace_in_sqlite(db_path, TRACE_ID, timeout=5, msgpack=first)
    save_trace_in_sqlite(db_path, TRACE_ID, timeout=5, msgpack=second)

    assert load_trace(db_path, TRACE_ID) == second
    assert load_trace_documents(db_path, TRACE_ID) == [first, second]
    newest, oldest = list_traces(db_path)
    assert newest.id > oldest.id
    assert newest.saved_at >= oldest.saved_at
    assert newest._replace(id=0, saved_at=0)[:7] == StoredTrace(0, TRACE_ID, 0, 10.0, "src", 8, len(second))[:7]
    assert oldest._replace(id=0, saved_at=0)[:7] == StoredTrace(0, TRACE_ID, 0, 10.0, "src", 2, len(first))[:7]


def test_traces_are_found_by_their_own_id(db_path):
    document = trace_document(source="one")
    other = trace_document(source="other", trace_id=OTHER_TRACE_ID)
    save_trace_in_sqlite(db_path, TRACE_ID, timeout=5, msgpack=document)
    save_trace_in_sqlite(db_path, OTHER_TRACE_ID, timeout=5, msgpack=other)

    assert load_trace(db_path, TRACE_ID) == document
    assert load_trace(db_path, OTHER_TRACE_ID) == other
    assert load_trace(db_path, "trc_unknown") is None
    assert load_trace_documents(db_path, "trc_unknown") == []
    assert [(trace.trace_id, trace.source) for trace in list_traces(db_path)] == [
        (OTHER_TRACE_ID, "other"),
        (TRACE_ID, "one"),
    ]


@pytest.mark.parametrize(
    "document",
    [
        b"",
        b"\xc1",  # never used in MessagePack
        b"\x88\xa6frames",  # cut short
        msgpack.packb("not a map"),
        msgpack.packb({"frames_of_interest": "not an array"}),
        trace_document() + b"\xc0",  # something after the document
    ],
    ids=["empty", "invalid", "truncated", "not a map", "bad records", "trailing data"],
)
def test_undecodable_document_is_stored_without_summary(db_path, document):
    save_trace_in_sqlite(db_path, TRACE_ID, timeout=5, msgpack=document)

    (stored,) = list_traces(db_path)
    assert (stored.timestamp, stored.source, stored.record_count) == (None, None, None)
    assert stored.size_bytes == len(document)
    assert load_trace(db_path, TRACE_ID) == document


@pytest.mark.parametrize(
    "meta, timestamp, expected",
    [
        ({"source": 7}, 2, (2.0, None, 0)),
        ("no map", "no float", (None, None, 0)),
        ({"version": "1"}, 2**64 - 1, (float(2**64 - 1), None, 0)),
    ],
    ids=["source not text", "wrong shapes", "huge integer timestamp"],
)
def test_odd_summary_fields_are_left_empty(db_path, meta, timestamp, expected):
    document = msgpack.packb({"meta": meta, "timestamp": timestamp, "frames": {}, "frames_of_interest": []})

    save_trace_in_sqlite(db_path, TRACE_ID, timeout=5, msgpack=document)

    (stored,) = list_traces(db_path)
    assert (stored.timestamp, stored.source, stored.record_count) == expected


def test_missing_parent_directories_are_created(tmp_path):
    db_path = tmp_path / "a" / "b" / "traces.sqlite3"

    save_trace_in_sqlite(str(db_path), TRACE_ID, timeout=5, msgpack=trace_document())

    assert load_trace(db_path, TRACE_ID) == trace_document()


@pytest.mark.parametrize(
    "trace_id, document, message",
    [(b"trc_bytes", b"\x80", "trace_id must be a str"), (TRACE_ID, "\x80", "msgpack must be bytes")],
    ids=["trace id", "document"],
)
def test_arguments_of_the_wrong_type_are_refused(db_path, trace_id, document, message):
    with pytest.raises(TypeError, match=message):
        save_trace_in_sqlite(db_path, trace_id, timeout=5, msgpack=document)


@pytest.fixture
def locked_db(db_path):
    """A database whose write lock is held by another connection."""
    save_trace_in_sqlite(db_path, TRACE_ID, timeout=5, msgpack=trace_document())
    holder = sqlite3.connect(db_path, isolation_level=None, check_same_thread=False)
    holder.execute("BEGIN EXCLUSIVE")
    yield holder
    holder.close()


def test_short_busy_timeout_gives_up_on_a_held_lock(db_path, locked_db):
    with pytest.raises(sqlite3.OperationalError, match="locked"):
        save_trace_in_sqlite(db_path, TRACE_ID, timeout=0.05, msgpack=trace_document())

    locked_db.execute("ROLLBACK")
    assert len(list_traces(db_path)) == 1


def test_busy_timeout_waits_for_a_lock_to_be_released(db_path, locked_db):
    releaser = threading.Timer(0.2, locked_db.execute, args=("ROLLBACK",))
    releaser.start()
    try:
        save_trace_in_sqlite(db_path, TRACE_ID, timeout=10, msgpack=trace_document(main_records=3))
    finally:
        releaser.join()

    assert [trace.record_count for trace in list_traces(db_path)] == [3, 0]


@pytest.fixture
def corrupt_db(db_path):
    corrupt = pathlib.Path(db_path)
    corrupt.write_bytes(b"this is not a database" * 100)
    return corrupt


@pytest.mark.parametrize(
    "operation",
    [
        lambda path: save_trace_in_sqlite(path, TRACE_ID, timeout=1, msgpack=trace_document()),
        list_traces,
        lambda path: load_trace(path, TRACE_ID),
        lambda path: load_trace_documents(path, TRACE_ID),
    ],
    ids=["save", "list", "load", "load all"],
)
def test_corrupt_database_file_gives_a_clear_error(corrupt_db, operation):
    with pytest.raises(TraceStoreError) as raised:
        operation(corrupt_db)

    message = str(raised.value)
    assert str(corrupt_db) in message
    assert "\n" not in message
    assert corrupt_db.read_bytes() == b"this is not a database" * 100


def test_database_without_the_traces_table_gives_a_clear_error(db_path):
    with sqlite3.connect(db_path) as connection:
        connection.execute("CREATE TABLE unrelated (x)")

    with pytest.raises(TraceStoreError, match="no such table"):
        list_traces(db_path)


@pytest.mark.parametrize(
    "operation", [list_traces, lambda path: load_trace(path, TRACE_ID)], ids=["list", "load"]
)
def test_reading_a_missing_database_fails_without_creating_it(db_path, operation):
    with pytest.raises(TraceStoreError, match="no such file"):
        operation(db_path)

    assert not os.path.exists(db_path)


def test_record_count_covers_long_record_arrays(db_path):
    # 70 000 records need the 32-bit array header, 300 the 16-bit one.
    document = trace_document(main_records=70_000, thread_records=(300, 15))

    save_trace_in_sqlite(db_path, TRACE_ID, timeout=5, msgpack=document)

    assert list_traces(db_path)[0].record_count == 70_315
    assert load_trace(db_path, TRACE_ID) == document


@pytest.mark.parametrize("note_bytes", [10, 16 * 1024 - 20, 16 * 1024, 300_000])
def test_summary_reads_entries_longer_than_one_read_of_the_document(db_path, note_bytes):
    # The summary reads the document's entries a piece at a time: an entry
    # that spans pieces must still decode whole, and what follows it too.
    document = msgpack.packb({
        "meta": {"note": "n" * note_bytes, "source": "long"},
        "parent_trace_id": "trc_" + "p" * note_bytes,
        "timestamp": 4.5,
        "frames": {},
        "frames_of_interest": [{"type": "frame", "timestamp": 6.0}],
    })

    save_trace_in_sqlite(db_path, TRACE_ID, timeout=5, msgpack=document)

    (stored,) = list_traces(db_path)
    assert (stored.source, stored.timestamp, stored.record_count, stored.started) == ("long", 4.5, 1, 6.0)
    assert stored.parent_trace_id == "trc_" + "p" * note_bytes


def stored_rows(db_path):
    with sqlite3.connect(db_path) as connection:
        return connection.execute("SELECT compression, chunk_count, stored_bytes, length(msgpack) FROM traces").fetchall()


def test_documents_are_stored_compressed(db_path):
    document = trace_document(main_records=5000)

    save_trace_in_sqlite(db_path, TRACE_ID, timeout=5, msgpack=document)

    ((compression, chunk_count, stored_bytes, length),) = stored_rows(db_path)
    # Whether its alike records train a dictionary is the trainer's affair.
    assert compression in ("zstd", "zstd-dictionary") and chunk_count is None
    assert stored_bytes == length < len(document) / 10
    assert load_trace(db_path, TRACE_ID) == document
    assert list_traces(db_path)[0].size_bytes == len(document)


def test_a_document_larger_than_a_chunk_is_stored_in_chunks(db_path, monkeypatch):
    monkeypatch.setattr(sqlite_store, "CHUNK_BYTES", 1000)
    monkeypatch.setattr(sqlite_store, "_FEED_BYTES", 777)
    # Random bytes do not compress: the stored value takes about 100 chunks.
    records = [{"type": "frame", "noise": os.urandom(50_000)} for _ in range(2)]
    records.append({"type": "trace_cut", "dropped_events": 12})
    document = msgpack.packb({"frames": {}, "frames_of_interest": records})

    save_trace_in_sqlite(db_path, TRACE_ID, timeout=5, msgpack=document)

    ((compression, chunk_count, stored_bytes, length),) = stored_rows(db_path)
    assert compression == "zstd" and chunk_count > 100 and length == 1000 and stored_bytes > 100_000
    assert load_trace(db_path, TRACE_ID) == document
    (stored,) = list_traces(db_path)
    assert (stored.record_count, stored.dropped_events) == (3, 12)


@pytest.mark.parametrize("last_record, dropped", [
    ({"type": "trace_cut", "dropped_events": 0}, 0),
    ({"type": "trace_cut", "dropped_events": "many"}, None),
    ({"type": "frame", "dropped_events": 3}, None),
    ("not a record", None),
])
def test_dropped_events_come_from_the_last_main_record_only(db_path, last_record, dropped):
    document = msgpack.packb({"frames": {}, "frames_of_interest": [{"type": "frame"}, last_record]})

    save_trace_in_sqlite(db_path, TRACE_ID, timeout=5, msgpack=document)

    assert list_traces(db_path)[0].dropped_events == dropped


OLD_SCHEMA = """CREATE TABLE traces (
    id INTEGER PRIMARY KEY AUTOINCREMENT, trace_id TEXT NOT NULL, saved_at REAL NOT NULL, timestamp REAL,
    source TEXT, record_count INTEGER, size_bytes INTEGER NOT NULL, msgpack BLOB NOT NULL)"""


def test_a_database_of_the_first_release_still_reads_and_takes_new_traces(db_path):
    old = trace_document(main_records=3, source="old")
    with sqlite3.connect(db_path) as connection:
        connection.execute(OLD_SCHEMA)
        connection.execute("INSERT INTO traces (trace_id, saved_at, timestamp, source, record_count, size_bytes, msgpack)"
                           " VALUES (?, 1.0, 1.5, 'old', 3, ?, ?)", (TRACE_ID, len(old), old))

    assert [entry[:7] for entry in list_traces(db_path)] == [(1, TRACE_ID, 1.0, 1.5, "old", 3, len(old))]
    assert load_trace(db_path, TRACE_ID) == old

    new = trace_document(main_records=1, source="new")
    save_trace_in_sqlite(db_path, TRACE_ID, timeout=5, msgpack=new)

    assert load_trace_documents(db_path, TRACE_ID) == [old, new]
    assert [(trace.source, trace.dropped_events) for trace in list_traces(db_path)] == [("new", None), ("old", None)]


def fallback_files(directory):
    return sorted(path.name for path in directory.iterdir() if path.name.endswith(".msgpack"))


@pytest.fixture
def usual_umask():
    """The common umask, under which new files are readable by everyone."""
    previous = os.umask(0o022)
    yield
    os.umask(previous)


@pytest.mark.parametrize("break_store", ["not a database", "failing write", "parent is a file", "only the temp dir"])
def test_a_failed_save_writes_the_trace_to_a_file_instead(tmp_path, monkeypatch, usual_umask, break_store):
    db_path = tmp_path / "traces.sqlite3"
    shown_directory = tmp_path
    if break_store == "not a database":
        db_path.write_bytes(b"not a database " * 100)
        expected_error = "file is not a database"
    elif break_store == "failing write":
        def fail(document, progress=None, **options):
            raise OverflowError("BLOB longer than INT_MAX bytes")
            yield
        monkeypatch.setattr(sqlite_store, "_compressed_chunks", fail)
        expected_error = "BLOB longer than INT_MAX bytes"
    else:
        (tmp_path / "plain_file").write_text("")
        db_path = tmp_path / "plain_file" / "traces.sqlite3"
        shown_directory = tmp_path / "cwd"
        shown_directory.mkdir()
        monkeypatch.chdir(shown_directory)
        expected_error = "File exists"
        if break_store == "only the temp dir":
            # No working directory to write to either: the file lands where
            # every user of the machine can look.
            shown_directory.rmdir()
            shown_directory = tmp_path / "tmp"
            shown_directory.mkdir()
            monkeypatch.setattr(tempfile, "tempdir", str(shown_directory))
    document = trace_document(main_records=2)

    with pytest.raises(TraceStoreError) as raised:
        save_trace_in_sqlite(db_path, TRACE_ID, timeout=5, msgpack=document)

    written = shown_directory / f"traces.sqlite3.{TRACE_ID}.msgpack"
    assert raised.value.fallback_path == str(written)
    message = str(raised.value)
    assert expected_error in message and str(db_path) in message
    assert message.endswith(f"; the trace was written to {written} instead")
    assert written.read_bytes() == document
    assert stat.S_IMODE(written.stat().st_mode) == 0o600  # readable by its owner alone
    # A second failure under the same id keeps the first file.
    with pytest.raises(TraceStoreError):
        save_trace_in_sqlite(db_path, TRACE_ID, timeout=5, msgpack=document)
    assert fallback_files(shown_directory) == [f"traces.sqlite3.{TRACE_ID}.1.msgpack", written.name]


def test_a_lock_timeout_is_still_told_apart_and_writes_the_file(db_path, locked_db):
    with pytest.raises(sqlite3.OperationalError, match="locked; the trace was written to .*msgpack instead"):
        save_trace_in_sqlite(db_path, TRACE_ID, timeout=0.05, msgpack=b"\x80")

    assert fallback_files(pathlib.Path(db_path).parent) == [f"traces.sqlite3.{TRACE_ID}.msgpack"]


def test_test_traces_are_summarised_and_older_databases_gain_the_column(db_path):
    # A database made before test summaries existed lists as it did.
    with sqlite3.connect(db_path) as connection:
        connection.execute(OLD_SCHEMA)
        connection.execute("INSERT INTO traces (trace_id, saved_at, size_bytes, msgpack) VALUES ('trc_old', 1, 1, x'c0')")
    assert [entry.test for entry in list_traces(db_path)] == [None]
    end = {"type": "end_test", "nodeid": "t.py::test_a", "outcome": "failed", "message": "boom"}
    start = {"type": "start_test", "nodeid": "t.py::test_a"}
    test_trace = msgpack.packb({**msgpack.unpackb(trace_document()), "frames_of_interest": [start, end]})
    # The end_test record closes the test's trace, in whichever buffer.
    thread_trace = msgpack.packb({**msgpack.unpackb(trace_document()), "frames": {7: [end]}})

    for document in (test_trace, thread_trace, trace_document(main_records=3)):
        save_trace_in_sqlite(db_path, TRACE_ID, timeout=5, msgpack=document)

    assert [entry.test for entry in list_traces(db_path)] == [
        None,
        {"nodeid": "t.py::test_a", "outcome": "failed"},
        {"nodeid": "t.py::test_a", "outcome": "failed"},
        None,
    ]


END_TEST = {"type": "end_test", "nodeid": "t.py::test_a", "outcome": "failed", "message": "boom"}
START_TEST = {"type": "start_test", "nodeid": "t.py::test_a"}
TRACE_CUT = {"type": "trace_cut", "dropped_events": 40}


def cut_test_trace(**buffers):
    """A test's trace from pytest --zelm that its budget cut: the "trace_cut"
    record follows the test's "end_test" record."""
    return msgpack.packb({**msgpack.unpackb(trace_document(source="pytest"), strict_map_key=False), **buffers})


@pytest.mark.parametrize("document", [
    cut_test_trace(frames_of_interest=[START_TEST, {"type": "frame"}, END_TEST, TRACE_CUT]),
    cut_test_trace(frames_of_interest=[END_TEST, TRACE_CUT]),
    # The test ended in another thread's buffer.
    cut_test_trace(frames={7: [START_TEST, END_TEST]}, frames_of_interest=[TRACE_CUT]),
], ids=["main-thread", "end-and-cut-only", "other-thread"])
def test_a_cut_test_trace_keeps_its_test(db_path, document):
    save_trace_in_sqlite(db_path, TRACE_ID, timeout=5, msgpack=document)

    (stored,) = list_traces(db_path)
    assert (stored.test, stored.dropped_events) == ({"nodeid": "t.py::test_a", "outcome": "failed"}, 40)


def test_a_cut_test_trace_stored_without_its_test_lists_with_it(db_path):
    # The rows of cut test traces saved before their summaries read past the
    # cut record: no test, the cut's count. Rows saved without a summary
    # are read again.
    test_trace = cut_test_trace(frames_of_interest=[START_TEST, END_TEST, TRACE_CUT])
    run_trace = msgpack.packb({**msgpack.unpackb(trace_document(source="app.py")), "frames_of_interest": [TRACE_CUT]})
    for document in (test_trace, run_trace):
        save_trace_in_sqlite(db_path, TRACE_ID, timeout=5, msgpack=document)
    with sqlite3.connect(db_path) as connection:
        connection.execute("UPDATE traces SET test = NULL, summary = NULL")

    assert [(entry.source, entry.test, entry.dropped_events) for entry in list_traces(db_path)] == [
        ("app.py", None, 40),
        ("pytest", {"nodeid": "t.py::test_a", "outcome": "failed"}, 40),
    ]


def test_a_failed_batch_writes_every_trace_to_its_own_file(corrupt_db):
    documents = [("trc_first", trace_document(main_records=1)), ("trc_second", trace_document(main_records=2))]

    with pytest.raises(TraceStoreError, match="2 of the 2 traces were written to .*trc_first.*trc_second.* instead$") as raised:
        sqlite_store.save_traces_in_sqlite(corrupt_db, documents, timeout=5)

    assert [open(path, "rb").read() for path in raised.value.fallback_paths] == [document for _, document in documents]
    assert raised.value.fallback_path is None


# ---- the summary a list of traces shows, and the working directory ----

WEB_THREAD = 400


def web_records(status):
    """A request served on a thread of its own, recorded with threading off:
    every record in "frames_of_interest"."""
    return [
        plugin("inbound_request", 3.0, thread=WEB_THREAD, method="POST", path="/pay", query_string="", headers=[],
               body_size=0),
        call("pay", "f1", 3.1, thread=WEB_THREAD), ret("pay", "f1", 3.2, thread=WEB_THREAD),
        plugin("inbound_response", 3.4, thread=WEB_THREAD, status=status, headers=[], body_size=10, duration=0.4,
               error=None),
    ]


SUMMARISED = {
    "test": document([
        plugin("start_test", 2.0, nodeid="t.py::test_a", file="t.py"),
        call("f", "f1", 2.1), ret("f", "f1", 2.2),
        plugin("end_test", 2.5, nodeid="t.py::test_a", file="t.py", outcome="failed"),
    ], {WORKER: [call("g", "g1", 2.15, thread=WORKER), ret("g", "g1", 2.3, thread=WORKER)]}, timestamp=1.0),
    "web": document(web_records(500)),
    "cut": document([
        call("f", "f1", 1.0),
        {"type": "trace_cut", "dropped_events": 7, "timestamp": 1.2, "thread_native_id": MAIN},
        ret("f", "f1", 2.0),
    ], timestamp=0.5),
    "threads": document(
        [call("main", "m1", 1.0), ret("main", "m1", 1.5)],
        {WORKER: [call("w", "w1", 0.5, thread=WORKER), ret("w", "w1", 3.0, thread=WORKER)], 300: []},
        timestamp=0.1),
}


def expected_summary(doc):
    """The summary's fields as the decoded trace tells them."""
    records = [record for thread in trace_reader.Trace.from_document(doc).threads for record in thread.records]
    times = [record["timestamp"] for record in records]
    markers = {record["type"]: record for record in records if record["type"] not in ("frame", "trace_cut")}
    started = markers["start_test"]["timestamp"] if "start_test" in markers else min(times)
    ended = markers["end_test"]["timestamp"] if "end_test" in markers else max(times)
    request = None
    if "inbound_request" in markers:
        request = {"method": markers["inbound_request"]["method"], "path": markers["inbound_request"]["path"],
                   "status": markers["inbound_response"]["status"]}
    trace = trace_reader.Trace.from_document(doc)
    test = {"nodeid": markers["end_test"]["nodeid"], "outcome": markers["end_test"]["outcome"]} \
        if "end_test" in markers else None
    return (started, ended, len(trace.threads), request, test, trace.dropped_events or None)


@pytest.mark.parametrize("kind", SUMMARISED)
def test_the_summary_tells_what_the_decoded_trace_tells(db_path, kind):
    doc = SUMMARISED[kind]
    # A record no Python reader decodes (a map as a map's key) shows that
    # the records between the first and last are skipped, not decoded.
    records = doc["frames_of_interest"]
    packed = pack_with_raw({**doc, "frames_of_interest": [records[0], raw_slot(0), *records[1:]]},
                           b"\x81\x81\xa1a\x01\x01")

    save_trace_in_sqlite(db_path, TRACE_ID, timeout=5, msgpack=packed)

    (stored,) = list_traces(db_path)
    summary = (stored.started, stored.ended, len(stored.thread_ids), stored.request, stored.test,
               stored.dropped_events)
    assert summary == expected_summary(doc)
    assert stored.record_count == sum(map(len, [records, *doc["frames"].values()])) + 1


@pytest.mark.parametrize("status", [500, None])
def test_a_web_trace_tells_its_request(db_path, status):
    save_trace_in_sqlite(db_path, TRACE_ID, timeout=5, msgpack=msgpack.packb(document(web_records(status))))

    (stored,) = list_traces(db_path)
    assert stored.request == {"method": "POST", "path": "/pay", "status": status}
    assert stored.thread_ids == (WEB_THREAD,)


def without_summaries(db_path):
    """Make the rows of ``db_path`` look as a release before the summary wrote them."""
    with sqlite3.connect(db_path) as connection:
        connection.execute("UPDATE traces SET summary = NULL, working_directory = NULL")


def summaries(db_path):
    with sqlite3.connect(db_path) as connection:
        return [row[0] for row in connection.execute("SELECT summary FROM traces ORDER BY id")]


def test_an_older_row_gets_its_summary_on_first_read_and_the_next_save_writes_it(db_path):
    save_trace_in_sqlite(db_path, TRACE_ID, timeout=5, msgpack=msgpack.packb(SUMMARISED["test"]))
    (saved,) = list_traces(db_path)
    without_summaries(db_path)

    # Read without a summary: worked out from the document, the database untouched.
    (read,) = list_traces(db_path)
    assert read._replace(working_directory=saved.working_directory) == saved
    assert summaries(db_path) == [None]

    save_trace_in_sqlite(db_path, OTHER_TRACE_ID, timeout=5, msgpack=trace_document(trace_id=OTHER_TRACE_ID))

    assert json.loads(summaries(db_path)[0]) == {"started": 2.0, "ended": 2.5, "threads": [MAIN, WORKER],
                                                "request": None}
    assert list_traces(db_path)[1] == read


def test_a_trace_keeps_the_directory_it_was_saved_from(db_path, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)

    save_trace_in_sqlite(db_path, TRACE_ID, timeout=5, msgpack=trace_document())
    sqlite_store.save_traces_in_sqlite(db_path, [(OTHER_TRACE_ID, trace_document(), None)], timeout=5)

    assert [entry.working_directory for entry in list_traces(db_path)] == [None, str(tmp_path)]


def test_a_fallback_file_keeps_the_working_directory_beside_it(corrupt_db, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    stale = pathlib.Path(sqlite_store.fallback_path(corrupt_db, TRACE_ID) + sqlite_store.WORKING_DIRECTORY_SUFFIX)
    stale.write_text("/left/by/an/earlier/file")

    with pytest.raises(TraceStoreError) as raised:
        sqlite_store.save_traces_in_sqlite(
            corrupt_db, [(TRACE_ID, trace_document()), (OTHER_TRACE_ID, trace_document(), None)], timeout=5)

    first, second = raised.value.fallback_paths
    assert sqlite_store.read_working_directory(first) == str(tmp_path)
    assert sqlite_store.read_working_directory(second) is None
