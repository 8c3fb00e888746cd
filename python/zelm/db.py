"""Storage of trace documents in a SQLite database.

The native profiler hands every finished trace document (MessagePack bytes)
to save_trace_in_sqlite. Each save adds a row; nothing is ever overwritten,
so repeated saves under one trace id (a request saved in parts, a test trace
saved twice) are all kept, in the order they were saved. Beside the document
itself a row holds a few columns decoded from it for listing; a document
that does not decode is stored all the same, with those columns NULL.

The column "test" (added to older databases on their next save) holds, for
the trace of one test, a JSON object with the test's "nodeid" and
"outcome", read from the "end_test" record that closes the trace.
"""

import contextlib
import io
import json
import os
import pathlib
import sqlite3
import time
from typing import NamedTuple, Optional

from msgpack import OutOfData, Unpacker

__all__ = [
    "TraceStoreError",
    "StoredTrace",
    "save_trace_in_sqlite",
    "save_traces_in_sqlite",
    "list_traces",
    "load_trace",
    "load_trace_documents",
]

_SCHEMA = (
    """CREATE TABLE IF NOT EXISTS traces (
        id INTEGER PRIMARY KEY AUTOINCREMENT,
        trace_id TEXT NOT NULL,
        saved_at REAL NOT NULL,
        timestamp REAL,
        source TEXT,
        record_count INTEGER,
        size_bytes INTEGER NOT NULL,
        msgpack BLOB NOT NULL,
        test TEXT
    )""",
    "CREATE INDEX IF NOT EXISTS traces_by_trace_id ON traces (trace_id, id)",
)

_SUMMARY_COLUMNS = "id, trace_id, saved_at, timestamp, source, record_count, size_bytes"

# Primary result codes of sqlite's "database is locked" errors.
_SQLITE_BUSY = 5
_SQLITE_LOCKED = 6


class TraceStoreError(Exception):
    """The trace database cannot be used: missing, unreadable or not a
    database with the expected table. The message names the file."""


class StoredTrace(NamedTuple):
    """One stored document, without its bytes, as listed by list_traces.

    ``test`` is, for the trace of one test, {"nodeid": ..., "outcome": ...}.
    """

    id: int
    trace_id: str
    saved_at: float
    timestamp: Optional[float]
    source: Optional[str]
    record_count: Optional[int]
    size_bytes: int
    test: Optional[dict] = None


def save_trace_in_sqlite(db_path, trace_id, *, timeout, msgpack):
    """Store the trace document ``msgpack`` under ``trace_id`` in ``db_path``.

    ``timeout`` is sqlite's busy timeout in seconds: how long to wait for
    another connection's lock before failing with sqlite3.OperationalError
    ("database is locked"). The database and its parent directory are
    created when missing. Raises TraceStoreError for a file that is not a
    usable trace database.
    """
    save_traces_in_sqlite(db_path, [(trace_id, msgpack)], timeout=timeout)


def save_traces_in_sqlite(db_path, traces, *, timeout):
    """Store several (trace_id, msgpack) documents in one transaction, in
    order: all of them or, on failure, none. As save_trace_in_sqlite
    otherwise."""
    rows = []
    for trace_id, msgpack in traces:
        if not isinstance(trace_id, str):
            raise TypeError(f"trace_id must be a str, not {type(trace_id).__name__}")
        if not isinstance(msgpack, (bytes, bytearray, memoryview)):
            raise TypeError(f"msgpack must be bytes, not {type(msgpack).__name__}")
        document = bytes(msgpack)
        timestamp, source, record_count, test = _summarise(document)
        rows.append((trace_id, timestamp, source, record_count, len(document), document,
                     None if test is None else json.dumps(test)))

    db_path = os.fspath(db_path)
    os.makedirs(os.path.dirname(os.path.abspath(db_path)), exist_ok=True)
    with _store_errors("cannot store trace in", db_path):
        with contextlib.closing(sqlite3.connect(db_path, timeout=timeout, isolation_level=None)) as connection:
            # Take the write lock up front, so that waiting for it is governed
            # by the busy timeout alone. Closing without COMMIT rolls back.
            connection.execute("BEGIN IMMEDIATE")
            for statement in _SCHEMA:
                connection.execute(statement)
            if "test" not in _columns(connection):
                connection.execute("ALTER TABLE traces ADD COLUMN test TEXT")
            saved_at = time.time()
            connection.executemany(
                "INSERT INTO traces (trace_id, saved_at, timestamp, source, record_count, size_bytes, msgpack, test)"
                " VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                [(trace_id, saved_at, *row) for trace_id, *row in rows],
            )
            connection.execute("COMMIT")


def list_traces(db_path, *, timeout=5.0):
    """Return a StoredTrace for every stored document, newest first."""
    with _reading(db_path, timeout) as connection:
        # A database from before the "test" column has no test summaries.
        test = "test" if "test" in _columns(connection) else "NULL"
        rows = connection.execute(f"SELECT {_SUMMARY_COLUMNS}, {test} FROM traces ORDER BY id DESC").fetchall()
    return [StoredTrace(*row[:-1], _test_summary(row[-1])) for row in rows]


def _columns(connection):
    return {row[1] for row in connection.execute("PRAGMA table_info(traces)")}


def _test_summary(text):
    try:
        test = json.loads(text) if text is not None else None
    except ValueError:
        return None
    return test if isinstance(test, dict) else None


def load_trace(db_path, trace_id, *, timeout=5.0):
    """Return the latest document stored under ``trace_id``, or None."""
    with _reading(db_path, timeout) as connection:
        row = connection.execute(
            "SELECT msgpack FROM traces WHERE trace_id = ? ORDER BY id DESC LIMIT 1", (trace_id,)
        ).fetchone()
    return None if row is None else row[0]


def load_trace_documents(db_path, trace_id, *, timeout=5.0):
    """Return every document stored under ``trace_id``, oldest first."""
    with _reading(db_path, timeout) as connection:
        rows = connection.execute("SELECT msgpack FROM traces WHERE trace_id = ? ORDER BY id", (trace_id,)).fetchall()
    return [row[0] for row in rows]


@contextlib.contextmanager
def _reading(db_path, timeout):
    """A read-only connection to an existing trace database."""
    db_path = os.fspath(db_path)
    if not os.path.isfile(db_path):
        raise TraceStoreError(f"cannot read trace database {db_path}: no such file")
    uri = pathlib.Path(db_path).absolute().as_uri() + "?mode=ro"
    with _store_errors("cannot read trace database", db_path):
        with contextlib.closing(sqlite3.connect(uri, uri=True, timeout=timeout)) as connection:
            yield connection


@contextlib.contextmanager
def _store_errors(action, db_path):
    """Turn sqlite errors other than lock timeouts into TraceStoreError.

    A lock timeout stays sqlite3.OperationalError: the file is fine and a
    later attempt may succeed.
    """
    try:
        yield
    except sqlite3.DatabaseError as error:
        if _is_lock_timeout(error):
            raise
        raise TraceStoreError(f"{action} {db_path}: {error}") from error


def _is_lock_timeout(error):
    code = getattr(error, "sqlite_errorcode", None)  # Python 3.11 and later
    if code is not None:
        return code & 0xFF in (_SQLITE_BUSY, _SQLITE_LOCKED)
    return isinstance(error, sqlite3.OperationalError) and "locked" in str(error)


def _summarise(document):
    """Return (timestamp, source, record count, test) read from a trace
    document, each None when it cannot be read.

    The records are skipped, not decoded, so this stays cheap for long
    traces; only the last record of each thread is decoded, to find the
    "end_test" record that closes a test's trace. A document that is not a
    single map with well-formed "frames" and "frames_of_interest" entries
    gives no summary at all.
    """
    unpacker = Unpacker(io.BytesIO(document), max_buffer_size=len(document), strict_map_key=False)
    fields = {}
    record_count = 0
    last_records = []
    try:
        for _ in range(unpacker.read_map_header()):
            key = unpacker.unpack()
            if key == "frames_of_interest":
                record_count += _skip_records(unpacker, last_records)
            elif key == "frames":
                for _ in range(unpacker.read_map_header()):
                    unpacker.skip()  # the thread id
                    record_count += _skip_records(unpacker, last_records)
            elif key in ("timestamp", "meta"):
                fields[key] = unpacker.unpack()
            else:
                unpacker.skip()
        try:
            unpacker.skip()
        except OutOfData:
            pass
        else:
            return None, None, None, None  # data after the document
    except Exception:
        return None, None, None, None

    timestamp = fields.get("timestamp")
    timestamp = float(timestamp) if type(timestamp) in (int, float) else None
    meta = fields.get("meta")
    source = meta.get("source") if isinstance(meta, dict) else None
    if not isinstance(source, str):
        source = None
    return timestamp, source, record_count, _test_of(last_records)


def _skip_records(unpacker, last_records):
    """Skip a record array, decoding only its last record into last_records."""
    count = unpacker.read_array_header()
    for _ in range(count - 1):
        unpacker.skip()
    if count:
        last_records.append(unpacker.unpack())
    return count


def _test_of(last_records):
    for record in last_records:
        if isinstance(record, dict) and record.get("type") == "end_test":
            nodeid, outcome = record.get("nodeid"), record.get("outcome")
            return {
                "nodeid": nodeid if isinstance(nodeid, str) else None,
                "outcome": outcome if isinstance(outcome, str) else None,
            }
    return None
