"""Storage of trace documents in a SQLite database.

The native profiler hands every finished trace document (MessagePack bytes)
to save_trace_in_sqlite. Each save adds a row; nothing is ever overwritten,
so repeated saves under one trace id (a request saved in parts, a test trace
saved twice) are all kept, in the order they were saved. Beside the document
itself a row holds a few columns decoded from it for listing; a document
that does not decode is stored all the same, with those columns NULL.

The column "test" holds, for the trace of one test, a JSON object with the
test's "nodeid" and "outcome", read from the "end_test" record that closes
the trace (in traces written before the end of a trace was kept, followed
by the "trace_cut" record in a trace its budget cut).
The column "parent_trace_id" holds, for the trace of a child process (forked
or started by a traced program), the trace id of the process that started
it, from the document's entry of that name.
The column "summary" holds, as a JSON object, what a list of traces shows
beyond those: "started" and "ended", the times of the trace's first and
last records (a test's trace runs from its "start_test" record to its
"end_test" record), "threads", the native ids of the threads it recorded,
and "request", for the trace of a served web request, its "method", "path"
and "status" (from the inbound_http plugin's records), with its
"traceparent" and "otel_trace_id" when the request record has them. All of it is read
from a few records at save, never by decoding the whole document; an empty
object is the summary of a document that does not decode. Rows saved before
the column have it NULL: a reader works it out from the document and keeps
it in memory (a reader never writes), and the next save into the database
writes it into as many of them as a moment allows (see _fill_summaries).
The column "working_directory" holds the directory the saving process was
in when it saved the trace (the one the trace's relative file names are
relative to), or NULL when unknown: a row saved before the column, a
fallback file imported without its ".cwd" file, a removed directory. It is
kept beside the document, whose bytes stay as the profiler made them.

Documents are stored compressed with zstd (column "compression" 'zstd';
rows written before it was there hold the plain document and read as
before), with a dictionary when the database has one (see compression.py):
'zstd-dictionary', the column "dictionary" naming its row in the table
"trace_dictionaries". A save into a database without one trains one on the
records of the documents it stores, when they hold enough of them, and
keeps it for every later save; removing traces leaves it (64 KiB at most),
since later saves use it. Copied out of the database (read_rows), a row is
compressed again without it, since the other database does not hold it.

A compressed document larger than CHUNK_BYTES is split: its first
chunk is the row's own "msgpack" value and the rest are rows of the table
"trace_chunks", so a document of any size is stored, beyond SQLite's limit
on one value, and read back byte for byte. Compression is streamed: saving
holds the document and one chunk, never a second copy of the document.

A save that fails for any reason but bad arguments writes the document to a
file beside the database (see fallback_path) before raising, so a trace is
never lost to its store; the error message names that file. The working
directory goes to a file of the same name with ".cwd" added, which
`zelm import` reads back.
"""

import contextlib
import json
import math
import os
import pathlib
import sqlite3
import threading
import time
from typing import NamedTuple, Optional

import zstandard
from msgpack import Unpacker

from zelm import _fastread
from zelm.store import compression

__all__ = [
    "TraceStoreError",
    "StoredTrace",
    "save_trace_in_sqlite",
    "save_traces_in_sqlite",
    "list_traces",
    "load_trace",
    "load_trace_documents",
    "remove_traces",
    "compact",
    "write_fallback_files",
    "read_working_directory",
    "current_directory",
    "WORKING_DIRECTORY_SUFFIX",
    "is_lock_timeout",
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
    """CREATE TABLE IF NOT EXISTS trace_chunks (
        trace_row INTEGER NOT NULL,
        seq INTEGER NOT NULL,
        data BLOB NOT NULL,
        PRIMARY KEY (trace_row, seq)
    )""",
    """CREATE TABLE IF NOT EXISTS trace_dictionaries (
        id INTEGER PRIMARY KEY AUTOINCREMENT,
        created_at REAL NOT NULL,
        data BLOB NOT NULL
    )""",
)

# Columns added after the first release, NULL in older rows; a database
# written before them gains them at its next save. "test" is the test
# summary as JSON, "chunk_count" is the
# number of chunks of the stored value (NULL: one), "stored_bytes" its
# size as stored, "dropped_events" the sum of the counts of the trace's
# "trace_cut" records (NULL: the trace was not cut), "dictionary" the
# compression dictionary's row (NULL: none).
_ADDED_COLUMNS = {
    "test": "TEXT",
    "compression": "TEXT",
    "chunk_count": "INTEGER",
    "stored_bytes": "INTEGER",
    "dropped_events": "INTEGER",
    "parent_trace_id": "TEXT",
    "summary": "TEXT",
    "working_directory": "TEXT",
    "dictionary": "INTEGER",
}

_SUMMARY_COLUMNS = ("id", "trace_id", "saved_at", "timestamp", "source", "record_count", "size_bytes",
                    "test", "dropped_events", "parent_trace_id", "summary", "working_directory")

# The suffix of the file beside a fallback file that holds the working
# directory of the trace in it.
WORKING_DIRECTORY_SUFFIX = ".cwd"
# How long a save goes on filling in the summaries of older rows.
_FILL_SECONDS = 0.25

COMPRESSION = compression.ZSTD
# Largest stored chunk of a compressed document, well under SQLite's default
# limit of 1,000,000,000 bytes for one value; also what a save holds beside
# the document.
CHUNK_BYTES = 64 * 1024 * 1024
# How much of the document the compressor is given at a time.
_FEED_BYTES = 4 * 1024 * 1024

# Seconds a reader waits for a writer to let go of the database.
READ_TIMEOUT = 5.0

# Primary result codes of sqlite's "database is locked" errors.
_SQLITE_BUSY = 5
_SQLITE_LOCKED = 6


class TraceStoreError(Exception):
    """The trace database cannot be used: missing, unreadable or not a
    database with the expected table. The message names the file."""


class StoredTrace(NamedTuple):
    """One stored document, without its bytes, as listed by list_traces.

    ``test`` is, for the trace of one test, {"nodeid": ..., "outcome": ...}.
    A column that holds no value of its kind (a database edited by hand or
    by another program) is None.
    """

    id: int
    trace_id: str
    saved_at: Optional[float]
    timestamp: Optional[float]
    source: Optional[str]
    record_count: Optional[int]
    size_bytes: Optional[int]
    test: Optional[dict] = None
    # Events the profiler dropped once the trace reached its budget; None
    # when the trace was not cut.
    dropped_events: Optional[int] = None
    # The trace of the process that started this trace's process; None for
    # a trace of its own.
    parent_trace_id: Optional[str] = None
    # The directory the trace was saved from; None when unknown.
    working_directory: Optional[str] = None
    # The times of the first and last records (of a test's trace, of its
    # start and end markers); None when the trace holds no time.
    started: Optional[float] = None
    ended: Optional[float] = None
    # The native ids of the threads that recorded (None for records of a
    # thread without one); None when unknown.
    thread_ids: Optional[tuple] = None
    # The trace of a served web request: {"method": ..., "path": ...,
    # "status": ...}, each None when its record does not say.
    request: Optional[dict] = None


def save_trace_in_sqlite(db_path, trace_id, *, timeout, msgpack, progress=None):
    """Store the trace document ``msgpack`` under ``trace_id`` in ``db_path``,
    with the current directory as its working directory.

    ``timeout`` is sqlite's busy timeout in seconds: how long to wait for
    another connection's lock before failing with sqlite3.OperationalError
    ("database is locked"). The database and its parent directory are
    created when missing. Raises TraceStoreError for a file that is not a
    usable trace database. Whatever the failure (other than arguments of
    the wrong type), the document is first written to a file beside the
    database (fallback_path), which the exception's message names and its
    attribute "fallback_path" holds (None if even that failed); its
    attribute "reason" says what failed, without the database's path.

    ``progress``, when given, is called as the document is compressed with
    the bytes done so far and the document's size.
    """
    save_traces_in_sqlite(db_path, [(trace_id, msgpack)], timeout=timeout, progress=progress)


def current_directory():
    """The working directory of this process; None when it was removed."""
    try:
        return os.getcwd()
    except OSError:
        return None


def save_traces_in_sqlite(db_path, traces, *, timeout, fallback=True, progress=None):
    """Store several (trace_id, msgpack) or (trace_id, msgpack, working
    directory) documents in one transaction, in order: all of them or, on
    failure, none, each then written to its file beside the database (the
    exception's attribute "fallback_paths" lists them). A pair's working
    directory is the current one; a working directory of None is unknown.
    Return the StoredTrace of each row added, in order. As
    save_trace_in_sqlite otherwise.

    With ``fallback`` false a failure writes no file and raises as
    save_trace_in_sqlite would before writing one: the caller keeps the
    documents, to try again or to hand to write_fallback_files."""
    traces = checked_traces(traces)
    db_path = os.fspath(db_path)
    try:
        return _store(db_path, traces, timeout, progress)
    except Exception as error:
        if not fallback:
            raise
        raise write_fallback_files(db_path, traces, error) from error


def checked_traces(traces):
    """(trace id, document, working directory) of each pair or triple of
    ``traces``; TypeError for a value of the wrong type."""
    traces = [_with_working_directory(trace) for trace in traces]
    for trace_id, msgpack, working_directory in traces:
        if not isinstance(trace_id, str):
            raise TypeError(f"trace_id must be a str, not {type(trace_id).__name__}")
        if not isinstance(msgpack, (bytes, bytearray, memoryview)):
            raise TypeError(f"msgpack must be bytes, not {type(msgpack).__name__}")
        if not isinstance(working_directory, (str, type(None))):
            raise TypeError(f"the working directory must be a str or None, not {type(working_directory).__name__}")
    return traces


def _with_working_directory(trace):
    """(trace id, document, working directory) of a pair or a triple."""
    trace = tuple(trace)
    return trace if len(trace) == 3 else (*trace, current_directory())


def _store(db_path, traces, timeout, progress):
    with _saving(db_path, timeout) as connection:
        dictionary = _dictionary_for(connection, [document for _, document, _ in traces])
        saved_at = time.time()
        stored = []
        for trace_id, document, working_directory in traces:
            entry = insert_document(connection, SQLITE, trace_id, document, working_directory, saved_at, progress,
                                    dictionary=dictionary)
            if dictionary is not None:
                connection.execute("UPDATE traces SET dictionary = ? WHERE id = ?", (dictionary.id, entry.id))
            stored.append(entry)
        return stored


class Dictionary(NamedTuple):
    """A compression dictionary of the database: its row's id and its bytes."""

    id: int
    data: bytes


def _dictionary_for(connection, documents):
    """The dictionary the documents are to be compressed with: the
    database's newest, else one trained on their records and added to the
    transaction open on ``connection``; None when they are too few to
    train one."""
    newest = connection.execute("SELECT id, data FROM trace_dictionaries ORDER BY id DESC LIMIT 1").fetchone()
    if newest is not None and isinstance(newest[1], bytes):
        return Dictionary(*newest)
    data = compression.trained_dictionary(documents)
    if data is None:
        return None
    row = connection.execute("INSERT INTO trace_dictionaries (created_at, data) VALUES (?, ?)",
                             (time.time(), data)).lastrowid
    return Dictionary(row, data)


@contextlib.contextmanager
def _saving(db_path, timeout):
    """A connection to the database (made when missing, with its parent
    directory) inside a transaction that holds the write lock and commits
    unless the block raises; then the older rows' summaries are filled in."""
    os.makedirs(os.path.dirname(os.path.abspath(db_path)), exist_ok=True)
    with _store_errors("cannot store trace in", db_path):
        with contextlib.closing(sqlite3.connect(db_path, timeout=timeout, isolation_level=None)) as connection:
            # Take the write lock up front, so that waiting for it is governed
            # by the busy timeout alone. Closing without COMMIT rolls back.
            connection.execute("BEGIN IMMEDIATE")
            for statement in _SCHEMA:
                connection.execute(statement)
            _add_missing_columns(connection)
            yield connection
            connection.execute("COMMIT")
            _fill_summaries(connection, db_path)


def insert_rows(db_path, rows, *, timeout):
    """Store StoredRows as they are, in one transaction; return their new ids."""
    with _saving(os.fspath(db_path), timeout) as connection:
        return [insert_row(connection, row, SQLITE) for row in rows]


def read_rows(db_path, row_ids, *, timeout=READ_TIMEOUT):
    """The StoredRow of each of the rows ``row_ids``, in order, its value
    as stored (a row saved before a column has it None), but for a value
    compressed with one of this database's dictionaries, which comes
    compressed again without it."""
    with _reading(db_path, timeout) as connection:
        columns = ", ".join(_columns_or_null(connection, (*_ROW_COLUMNS, "chunk_count")))
        for row_id in row_ids:
            *values, chunk_count = connection.execute(f"SELECT {columns} FROM traces WHERE id = ?",
                                                      (row_id,)).fetchone()
            row = StoredRow(*values, ())
            if row.compression == compression.ZSTD_WITH_DICTIONARY:
                (stored,) = _stored_rows(connection, "WHERE id = ?", (row_id,))
                document = memoryview(_document(connection, stored, db_path))
                yield row._replace(compression=COMPRESSION, chunks=_compressed_chunks(document))
                continue
            chunks = connection.execute("SELECT msgpack FROM traces WHERE id = ?", (row_id,)).fetchall()
            if type(chunk_count) is int and chunk_count > 1:
                chunks += connection.execute("SELECT data FROM trace_chunks WHERE trace_row = ? ORDER BY seq",
                                             (row_id,)).fetchall()
            yield row._replace(chunks=[chunk for (chunk,) in chunks])


def trace_ids(db_path, *, timeout=READ_TIMEOUT):
    """The trace ids stored in ``db_path``; none for a file that does not exist."""
    if not os.path.lexists(db_path):
        return set()
    with _reading(db_path, timeout) as connection:
        return {trace_id for (trace_id,) in connection.execute("SELECT DISTINCT trace_id FROM traces")}


def insert_document(connection, dialect, trace_id, document, working_directory, saved_at, progress, dictionary=None):
    """Add one document's row (and its chunks) to the transaction open on
    ``connection``, a database of ``dialect``; return its StoredTrace.
    ``progress``: as save_trace_in_sqlite's. Compressed with ``dictionary``
    (a Dictionary) when given, which the caller names in the row."""
    document = memoryview(document).cast("B")
    summary = _summarise(document)
    row = insert_row(connection, new_row(trace_id, document, working_directory, saved_at, summary, progress,
                                         dictionary), dialect)
    return _completed(StoredTrace(row, trace_id, saved_at, summary.timestamp, summary.source, summary.record_count,
                                  len(document), working_directory=working_directory), summary)


class StoredRow(NamedTuple):
    """One stored document as its row holds it, "id" aside: the columns,
    and ``chunks``, its stored value in pieces (compressed, as
    ``compression`` says), an iterable read once. Both stores keep these
    columns, so that a row moves from one to the other as it is."""

    trace_id: str
    saved_at: Optional[float]
    timestamp: Optional[float]
    source: Optional[str]
    record_count: Optional[int]
    size_bytes: int
    test: Optional[str]
    compression: Optional[str]
    dropped_events: Optional[int]
    parent_trace_id: Optional[str]
    summary: Optional[str]
    working_directory: Optional[str]
    chunks: object


_ROW_COLUMNS = StoredRow._fields[:-1]


def new_row(trace_id, document, working_directory, saved_at, summary, progress=None, dictionary=None):
    """The StoredRow of a document about to be stored, with its _Summary;
    its chunks are compressed as they are read (with ``dictionary``, a
    Dictionary, when given)."""
    return StoredRow(trace_id, saved_at, summary.timestamp, summary.source, summary.record_count, len(document),
                     None if summary.test is None else json.dumps(summary.test),
                     COMPRESSION if dictionary is None else compression.ZSTD_WITH_DICTIONARY,
                     summary.dropped_events, summary.parent_trace_id, _listing_json(summary), working_directory,
                     _compressed_chunks(document, progress, dictionary=None if dictionary is None else dictionary.data))


class Dialect(NamedTuple):
    """How a database takes the statements that store rows: the mark of a
    parameter, what the names of the tables "traces" and "trace_chunks"
    begin with, and whether an INSERT tells its row's id by RETURNING (else
    by the cursor's lastrowid)."""

    placeholder: str
    table_prefix: str
    returning: bool


SQLITE = Dialect("?", "", False)


def insert_row(connection, row, dialect):
    """Add ``row`` (a StoredRow) and its chunks to the transaction open on
    ``connection``, a database of ``dialect``; return the new row's id.
    One chunk is held at a time."""
    mark, traces, chunk_table = dialect.placeholder, f"{dialect.table_prefix}traces", f"{dialect.table_prefix}trace_chunks"
    chunks = iter(row.chunks)
    first = next(chunks, b"")
    columns = (*_ROW_COLUMNS, "msgpack")
    cursor = connection.execute(f"INSERT INTO {traces} ({', '.join(columns)}) VALUES ({', '.join([mark] * len(columns))})"
                                + (" RETURNING id" if dialect.returning else ""), (*row[:-1], first))
    row_id = cursor.fetchone()[0] if dialect.returning else cursor.lastrowid
    stored_bytes, chunk_count = len(first), 1
    del first
    for chunk in chunks:
        connection.execute(f"INSERT INTO {chunk_table} (trace_row, seq, data) VALUES ({mark}, {mark}, {mark})",
                           (row_id, chunk_count, chunk))
        stored_bytes += len(chunk)
        chunk_count += 1
    connection.execute(f"UPDATE {traces} SET stored_bytes = {mark}, chunk_count = {mark} WHERE id = {mark}",
                       (stored_bytes, chunk_count if chunk_count > 1 else None, row_id))
    return row_id


def _fill_summaries(connection, db_path):
    """Write the summaries of rows saved before they were kept, newest
    first, for _FILL_SECONDS at most and only while no other connection
    holds the database: the save they follow is committed, and neither
    waits for them nor fails by them."""
    deadline = time.monotonic() + _FILL_SECONDS
    try:
        connection.execute("PRAGMA busy_timeout = 0")
        connection.execute("BEGIN IMMEDIATE")
        rows = _stored_rows(connection, "WHERE summary IS NULL ORDER BY id DESC", ())
        for row in rows:
            if time.monotonic() > deadline:
                break
            summary = _summary_of_row(connection, row, db_path)
            connection.execute("UPDATE traces SET summary = ?, test = coalesce(test, ?) WHERE id = ?",
                               (_listing_json(summary),
                                None if summary.test is None else json.dumps(summary.test), row[0]))
        connection.execute("COMMIT")
    except Exception:
        # The save is committed and must not be reported as failed (which
        # would write its documents to files as well); closing the
        # connection rolls this back, and a later save tries again.
        pass


def _summary_of_row(connection, row, db_path):
    """The summary of a stored row's document; an empty one for a row that
    cannot be read (loading it reports the fault)."""
    try:
        return _summarise(_document(connection, row, db_path))
    except TraceStoreError:
        return _NO_SUMMARY


def _compressed_chunks(document, progress=None, *, dictionary=None):
    """The zstd frame of ``document`` (a memoryview of bytes), made with
    the dictionary bytes ``dictionary`` when given, in chunks of
    CHUNK_BYTES (the last one shorter, at least one chunk).
    ``progress(done, size)`` is called after each piece fed to the
    compressor, when given: once per _FEED_BYTES, nothing next to them."""
    compressor = compression.compressor(len(document), dictionary)
    pending = bytearray()
    for start in range(0, len(document), _FEED_BYTES):
        pending += compressor.compress(document[start:start + _FEED_BYTES])
        if progress is not None:
            progress(min(start + _FEED_BYTES, len(document)), len(document))
        while len(pending) >= CHUNK_BYTES:
            yield bytes(pending[:CHUNK_BYTES])
            del pending[:CHUNK_BYTES]
    pending += compressor.flush()
    while len(pending) > CHUNK_BYTES:
        yield bytes(pending[:CHUNK_BYTES])
        del pending[:CHUNK_BYTES]
    yield bytes(pending)


def _columns(connection):
    return {row[1] for row in connection.execute("PRAGMA table_info(traces)")}


def _add_missing_columns(connection):
    present = _columns(connection)
    for name, kind in _ADDED_COLUMNS.items():
        if name not in present:
            connection.execute(f"ALTER TABLE traces ADD COLUMN {name} {kind}")
    # Every save looks for the rows still without a summary (see
    # _fill_summaries): without this index it would read every row's page.
    connection.execute("CREATE INDEX IF NOT EXISTS traces_without_summary ON traces (id) WHERE summary IS NULL")


def exists(db_path):
    """Whether there is a file (a database, or what stands in its place) at ``db_path``."""
    return os.path.lexists(db_path)


def stored_size(db_path, *, timeout=READ_TIMEOUT):
    """Bytes of the database file."""
    return os.path.getsize(db_path)


def fallback_path(db_path, trace_id):
    """Where a document that could not be stored in ``db_path`` is written:
    "<database file name>.<trace id>.msgpack" in the database's directory,
    with ".1", ".2", ... added before ".msgpack" if that file exists. The
    file holds the plain MessagePack trace document."""
    directory, name = os.path.split(os.path.abspath(db_path))
    return os.path.join(directory, f"{name}.{trace_id}.msgpack")


def write_fallback_files(db_path, traces, error):
    """Write each (trace id, document[, working directory]) of ``traces``
    beside the database (or, failing that, in the current and then the
    temporary directory), its working directory, when known, in a file of
    the same name with WORKING_DIRECTORY_SUFFIX added, and return the
    exception to raise for ``error``, the failure to store them: its type
    kept where callers tell lock timeouts apart, its message naming the
    files."""
    import tempfile

    written = []
    for trace_id, document, working_directory in map(_with_working_directory, traces):
        candidates = [fallback_path(db_path, trace_id)]
        name = os.path.basename(candidates[0])
        with contextlib.suppress(OSError):  # a working directory since removed
            candidates.append(os.path.join(os.getcwd(), name))
        candidates.append(os.path.join(tempfile.gettempdir(), name))
        for candidate in candidates:
            path = _write_new_file(candidate, document)
            if path is not None:
                written.append(path)
                _write_working_directory(path, working_directory)
                break
    reason = _one_line(error)
    if len(traces) == 1 and written:
        reason += f"; the trace was written to {written[0]} instead"
    elif written:
        reason += f"; {len(written)} of the {len(traces)} traces were written to {', '.join(written)} instead"
    else:
        reason += "; the trace could not be written to a file either"
    if isinstance(error, sqlite3.OperationalError) and is_lock_timeout(error):
        raised = sqlite3.OperationalError(reason)
    elif isinstance(error, TraceStoreError):
        raised = TraceStoreError(reason)
    else:
        raised = TraceStoreError(f"cannot store trace in {db_path}: {reason}")
    # What went wrong, without the database's name, for callers that name
    # it their own way.
    root = error.__cause__ if isinstance(error, TraceStoreError) and error.__cause__ is not None else error
    raised.reason = _one_line(root)
    raised.fallback_paths = written
    raised.fallback_path = written[0] if len(traces) == 1 and written else None
    return raised


def read_working_directory(fallback_file):
    """The working directory written beside the fallback file
    ``fallback_file``; None when there is none."""
    try:
        with open(os.fspath(fallback_file) + WORKING_DIRECTORY_SUFFIX, "rb") as file:
            return os.fsdecode(file.read())
    except OSError:
        return None


def _write_working_directory(fallback_file, working_directory):
    """Write ``working_directory`` (None: unknown) beside the fallback file
    just written; a failure only leaves it unknown."""
    sidecar = fallback_file + WORKING_DIRECTORY_SUFFIX
    # One left by an earlier file of this name would name the wrong directory.
    with contextlib.suppress(OSError):
        os.remove(sidecar)
    if working_directory is not None:
        _write_new_file(sidecar, os.fsencode(working_directory))


def _write_new_file(path, document):
    """Write ``document`` to ``path``, or to the first of "path.1", ...
    (before the extension) that does not exist; the path written, or None.

    The file is made readable by its owner alone from the start: it may
    land in the temporary directory, which every user of the machine reads."""
    stem, extension = os.path.splitext(path)
    for attempt in range(100):
        candidate = path if attempt == 0 else f"{stem}.{attempt}{extension}"
        try:
            descriptor = os.open(candidate, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
        except FileExistsError:
            continue
        except OSError:
            return None
        try:
            with open(descriptor, "wb") as output:
                output.write(document)
        except OSError:
            with contextlib.suppress(OSError):
                os.remove(candidate)
            return None
        return candidate
    return None


def _one_line(error):
    text = str(error) or type(error).__name__
    return " ".join(text.split())


def list_traces(db_path, *, trace_id=None, timeout=READ_TIMEOUT):
    """Return a StoredTrace for every stored document (those of ``trace_id``
    only, when given), newest first."""
    with _reading(db_path, timeout) as connection:
        columns = ", ".join(_columns_or_null(connection, _SUMMARY_COLUMNS))
        condition, parameters = ("", ()) if trace_id is None else ("WHERE trace_id = ?", (trace_id,))
        rows = connection.execute(f"SELECT {columns} FROM traces {condition} ORDER BY id DESC", parameters).fetchall()
        database = _identity(db_path)
        return [_stored_trace(connection, db_path, database, *row) for row in rows]


def _stored_trace(connection, db_path, database, row_id, trace_id, saved_at, timestamp, source, record_count,
                  size_bytes, test, dropped_events, parent_trace_id, summary, working_directory):
    """The StoredTrace of a row as read, each column of the wrong kind None;
    a row without its summary completed from its document."""
    stored = StoredTrace(
        row_id, trace_id if isinstance(trace_id, str) else str(trace_id), _time_or_none(saved_at),
        _time_or_none(timestamp), source if isinstance(source, str) else None, _count_or_none(record_count),
        _count_or_none(size_bytes), _test_summary(test), _count_or_none(dropped_events),
        parent_trace_id if isinstance(parent_trace_id, str) else None,
        working_directory if isinstance(working_directory, str) else None,
    )
    if summary is not None:
        return _with_listing(stored, summary)
    return _completed(stored, _read_summary(connection, db_path, database, row_id))


def _time_or_none(value):
    return float(value) if type(value) in (int, float) and math.isfinite(value) else None


def _count_or_none(value):
    return value if type(value) is int and value >= 0 else None


# Summaries worked out for rows saved without one, by (database file, row
# id): a reader never writes, and works each out once per process.
_read_summaries = {}
_read_summaries_lock = threading.Lock()
_READ_SUMMARIES_KEPT = 100_000


def _identity(db_path):
    """What tells the database file apart from any other, for as long as it
    exists."""
    info = os.stat(db_path)
    return info.st_dev, info.st_ino


def _read_summary(connection, db_path, database, row_id):
    key = (database, row_id)
    with _read_summaries_lock:
        known = _read_summaries.get(key)
    if known is not None:
        return known
    (row,) = _stored_rows(connection, "WHERE id = ?", (row_id,))
    summary = _summary_of_row(connection, row, db_path)
    with _read_summaries_lock:
        if len(_read_summaries) >= _READ_SUMMARIES_KEPT:
            _read_summaries.clear()
        _read_summaries[key] = summary
    return summary


def _completed(stored, summary):
    """``stored`` with what ``summary`` (of its document) says; the columns
    it was stored with stay as they are where they hold a value."""
    return stored._replace(
        timestamp=stored.timestamp if stored.timestamp is not None else summary.timestamp,
        source=stored.source if stored.source is not None else summary.source,
        record_count=stored.record_count if stored.record_count is not None else summary.record_count,
        test=stored.test if stored.test is not None else summary.test,
        dropped_events=stored.dropped_events if stored.dropped_events is not None else summary.dropped_events,
        parent_trace_id=stored.parent_trace_id if stored.parent_trace_id is not None else summary.parent_trace_id,
        started=summary.started, ended=summary.ended, thread_ids=summary.thread_ids, request=summary.request,
    )


def _listing_json(summary):
    """The "summary" column of a document's summary."""
    if summary.record_count is None:
        return "{}"  # the document does not decode
    return json.dumps({
        "started": summary.started,
        "ended": summary.ended,
        "threads": list(summary.thread_ids),
        "request": summary.request,
    }, allow_nan=False)


def _with_listing(stored, text):
    """``stored`` with the "summary" column's entries, each of the wrong kind None."""
    try:
        summary = json.loads(text) if isinstance(text, (str, bytes)) else None
    except ValueError:
        summary = None
    if not isinstance(summary, dict):
        return stored
    threads = summary.get("threads")
    if isinstance(threads, list) and all(thread is None or type(thread) is int for thread in threads):
        threads = tuple(threads)
    else:
        threads = None
    return stored._replace(started=_time_or_none(summary.get("started")), ended=_time_or_none(summary.get("ended")),
                           thread_ids=threads, request=_request_summary(summary.get("request")))


def _request_summary(request):
    """{"method": text, "path": text, "status": int}, each None when of the
    wrong kind, and "traceparent" and "otel_trace_id" (texts) when it has
    them; None for anything but a dict."""
    if not isinstance(request, dict):
        return None
    method, path, status = request.get("method"), request.get("path"), request.get("status")
    summary = {
        "method": method if isinstance(method, str) else None,
        "path": path if isinstance(path, str) else None,
        "status": status if type(status) is int else None,
    }
    for key in ("traceparent", "otel_trace_id"):
        if isinstance(request.get(key), str):
            summary[key] = request[key]
    return summary


def _test_summary(text):
    """The test column's {"nodeid": ..., "outcome": ...}, each a text or
    None; None for anything else."""
    try:
        test = json.loads(text) if isinstance(text, (str, bytes)) else None
    except ValueError:
        return None
    if not isinstance(test, dict):
        return None
    return {key: test.get(key) if isinstance(test.get(key), str) else None for key in ("nodeid", "outcome")}


def load_trace(db_path, trace_id, *, timeout=READ_TIMEOUT):
    """Return the latest document stored under ``trace_id``, or None."""
    with _reading(db_path, timeout) as connection:
        rows = _stored_rows(connection, "WHERE trace_id = ? ORDER BY id DESC LIMIT 1", (trace_id,))
        return None if not rows else _document(connection, rows[0], db_path)


def load_trace_documents(db_path, trace_id, *, timeout=READ_TIMEOUT):
    """Return every document stored under ``trace_id``, oldest first."""
    with _reading(db_path, timeout) as connection:
        rows = _stored_rows(connection, "WHERE trace_id = ? ORDER BY id", (trace_id,))
        return [_document(connection, row, db_path) for row in rows]


def remove_traces(db_path, choose, *, timeout):
    """Remove the trace ids that ``choose`` picks, given the StoredTrace of
    every stored document (list_traces' list): every document stored under
    each of them, with its chunks, all in one transaction. Return the
    StoredTraces of the documents removed.

    The write lock is taken before the documents are listed, so that a
    save waits until the removal is done: a trace that another process is
    saving is listed whole or not at all, never removed half written.
    ``timeout`` is sqlite's busy timeout, as for save_trace_in_sqlite.
    """
    with _changing(db_path, timeout) as connection:
        # Another connection still reads what is committed, which nothing
        # can change while this one holds the write lock.
        stored = list_traces(db_path, timeout=timeout)
        chosen = set(choose(stored))
        chunked = connection.execute(
            "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'trace_chunks'").fetchone()
        for trace_id in chosen:
            if chunked:
                connection.execute("DELETE FROM trace_chunks WHERE trace_row IN"
                                   " (SELECT id FROM traces WHERE trace_id = ?)", (trace_id,))
            connection.execute("DELETE FROM traces WHERE trace_id = ?", (trace_id,))
        return [entry for entry in stored if entry.trace_id in chosen]


def compact(db_path, *, timeout):
    """Hand the space of removed documents back to the file system: sqlite
    keeps it in the file for later saves until it is rewritten (VACUUM),
    which holds the write lock meanwhile."""
    with _changing(db_path, timeout, transaction=False) as connection:
        connection.execute("VACUUM")


@contextlib.contextmanager
def _changing(db_path, timeout, transaction=True):
    """A connection to an existing trace database; with ``transaction``,
    inside a transaction that holds the write lock from the start, and
    commits unless the block raises."""
    db_path = os.fspath(db_path)
    if not os.path.isfile(db_path):
        raise TraceStoreError(f"cannot change trace database {db_path}: no such file")
    with _store_errors("cannot change trace database", db_path):
        with contextlib.closing(sqlite3.connect(db_path, timeout=timeout, isolation_level=None)) as connection:
            if not transaction:
                yield connection
                return
            # As a save does: waiting for the lock is governed by the busy
            # timeout alone. Closing without COMMIT rolls back.
            connection.execute("BEGIN IMMEDIATE")
            yield connection
            connection.execute("COMMIT")


_DOCUMENT_COLUMNS = ("id", "size_bytes", "compression", "chunk_count", "dictionary")


def _stored_rows(connection, condition, parameters):
    columns = ", ".join(_columns_or_null(connection, _DOCUMENT_COLUMNS))
    return connection.execute(f"SELECT {columns} FROM traces {condition}", parameters).fetchall()


def _columns_or_null(connection, names):
    """``names`` as select expressions, NULL for a column an older
    database lacks."""
    present = _columns(connection)
    if not present:
        connection.execute("SELECT 1 FROM traces")  # raises "no such table"
    return [name if name in present else f"NULL AS {name}" for name in names]


def _document(connection, row, db_path):
    """The document of the stored row (id, size, compression, chunk count,
    dictionary), decompressed."""
    row_id, size, method, chunk_count, dictionary_id = row
    (first,) = connection.execute("SELECT msgpack FROM traces WHERE id = ?", (row_id,)).fetchone()
    if not isinstance(first, bytes):
        raise TraceStoreError(f"cannot read trace database {db_path}: a stored trace is "
                              f"{'missing' if first is None else 'text, not bytes'}")
    if type(chunk_count) is int and chunk_count > 1:
        following = connection.execute("SELECT data FROM trace_chunks WHERE trace_row = ? ORDER BY seq", (row_id,))
    else:
        following = ()
    dictionary = None
    if method == compression.ZSTD_WITH_DICTIONARY:
        dictionary = _dictionary_data(connection, dictionary_id)
        if dictionary is None:
            raise TraceStoreError(f"cannot read trace database {db_path}: a stored trace needs the compression "
                                  f"dictionary {dictionary_id!r}, which the database does not hold")
    return decompressed(first, following, size, method, db_path, dictionary=dictionary)


def _dictionary_data(connection, dictionary_id):
    """The bytes of the database's compression dictionary ``dictionary_id``;
    None when it holds no such dictionary."""
    if type(dictionary_id) is not int:
        return None
    try:
        found = connection.execute("SELECT data FROM trace_dictionaries WHERE id = ?", (dictionary_id,)).fetchone()
    except sqlite3.OperationalError:
        return None  # no table of dictionaries
    return found[0] if found is not None and isinstance(found[0], bytes) else None


def decompressed(first, following, size, method, db_path, dictionary=None):
    """The document stored as ``first`` and the rows of ``following`` (one
    bytes value each), compressed as ``method`` says (None: plain), with
    the dictionary bytes ``dictionary`` for a method that takes one,
    checked against its ``size``; TraceStoreError naming ``db_path`` for
    one that does not read back whole."""
    if method is None:
        return first
    if type(size) is not int or size < 0:
        raise TraceStoreError(f"cannot read trace database {db_path}: a stored trace has no valid size ({size!r})")
    if method not in (compression.ZSTD, compression.ZSTD_WITH_DICTIONARY):
        raise TraceStoreError(f"cannot read trace database {db_path}: unknown compression {method!r}")
    if (method == compression.ZSTD_WITH_DICTIONARY) != (dictionary is not None):
        raise TraceStoreError(f"cannot read trace database {db_path}: a stored trace compressed as {method!r} "
                              f"comes {'without' if dictionary is None else 'with'} a dictionary")
    chunks = _ChunkReader(first, following)
    try:
        # The size the frame declares, checked before that much is taken for it.
        declared = zstandard.frame_content_size(first)
        if declared not in (-1, size):
            raise TraceStoreError(f"cannot read trace database {db_path}: a stored trace is damaged: its row "
                                  f"says {size} bytes, its data {declared}")
        with compression.decompressor(dictionary).stream_reader(chunks, read_size=_FEED_BYTES) as reader:
            document = reader.read(size)
            rest = reader.read()
    except zstandard.ZstdError as error:
        raise TraceStoreError(f"cannot read trace database {db_path}: a stored trace does not decompress: "
                              f"{_one_line(error)}") from None
    except (MemoryError, OverflowError):
        raise TraceStoreError(f"cannot read trace database {db_path}: a stored trace of {size} bytes "
                              "does not fit in memory") from None
    if rest:
        document += rest
    if len(document) != size:
        raise TraceStoreError(f"cannot read trace database {db_path}: a stored trace is incomplete "
                              f"({len(document)} of {size} bytes)")
    return document


class _ChunkReader:
    """A file-like reader over a buffer and the chunks that follow it (rows
    of one bytes value from a cursor), fetching each chunk only when the
    previous one is used up; no copy is made beyond the pieces read."""

    def __init__(self, first, cursor):
        self._chunks = iter(cursor)
        self._current = memoryview(first)

    def read(self, size=-1):
        while not self._current:
            following = next(self._chunks, None)
            if following is None or not isinstance(following[0], bytes):
                return b""  # the end, or a damaged chunk: the document comes out incomplete
            self._current = memoryview(following[0])
        if size < 0 or size >= len(self._current):
            piece, self._current = self._current, memoryview(b"")
        else:
            piece, self._current = self._current[:size], self._current[size:]
        return piece.tobytes()


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
        if is_lock_timeout(error):
            raise
        raise TraceStoreError(f"{action} {db_path}: {error}") from error


def is_lock_timeout(error):
    """Whether ``error`` is sqlite's "database is locked": another
    connection held the lock longer than the busy timeout."""
    code = getattr(error, "sqlite_errorcode", None)  # Python 3.11 and later
    if code is not None:
        return code & 0xFF in (_SQLITE_BUSY, _SQLITE_LOCKED)
    return isinstance(error, sqlite3.OperationalError) and "locked" in str(error)


class _Summary(NamedTuple):
    """What a document says of itself, for the row that stores it (see
    _summarise); None where it does not say."""

    timestamp: Optional[float]
    source: Optional[str]
    record_count: Optional[int]
    test: Optional[dict]
    dropped_events: Optional[int]
    parent_trace_id: Optional[str]
    started: Optional[float]
    ended: Optional[float]
    thread_ids: Optional[tuple]
    request: Optional[dict]


_NO_SUMMARY = _Summary(*(None,) * len(_Summary._fields))

# The entries of a record the summary reads; the others are skipped.
_SUMMARY_KEYS = frozenset({"type", "timestamp", "thread_native_id", "dropped_events", "nodeid", "outcome", "method",
                           "path", "status", "traceparent", "otel_trace_id"})


def _summarise(document):
    """The _Summary of a trace document.

    The records are skipped, not decoded (natively, by zelm._fastread), so
    this stays cheap for long traces. Of the first record and the last one
    of each record array (two where a "trace_cut" record is last), and of
    the "trace_cut" records where a trace cut by its budget dropped records,
    only the few entries the summary takes are decoded: their times, their
    threads, the test markers that open and close a test's trace, the
    inbound_http plugin's records that open and close a served request. A
    document that is not a single map with well-formed "frames" and
    "frames_of_interest" entries gives no summary at all.
    """
    view = memoryview(document).cast("B")
    # The reader buffers one value at a time: up to the whole document.
    buffer_limit = max(1, min(len(view), _MAX_BUFFER_BYTES))

    def read(offset, how):
        """What `how` reads at `offset`, and the offset after it."""
        # What is read here is a key or a small entry: a reader that took
        # its default megabyte at every read would copy far more than it decodes.
        unpacker = Unpacker(_ChunkReader(view[offset:], ()), read_size=min(_SUMMARY_READ_BYTES, buffer_limit),
                            max_buffer_size=buffer_limit, strict_map_key=False)
        return how(unpacker), offset + unpacker.tell()

    def entries_at(offset):
        """The _SUMMARY_KEYS entries of the record at ``offset``; {} for a
        record that is not a map."""
        end = _fastread.skip(view, offset, 1)
        unpacker = Unpacker(max_buffer_size=max(1, end - offset), strict_map_key=False)
        unpacker.feed(view[offset:end])
        try:
            count = unpacker.read_map_header()
        except ValueError:
            return {}
        entries = {}
        for _ in range(count):
            key = unpacker.unpack()
            if isinstance(key, str) and key in _SUMMARY_KEYS:
                entries[key] = unpacker.unpack()
            else:
                unpacker.skip()
        return entries

    buffers = []  # (the thread id of a "frames" entry, or None, first record, last records)
    cut_records = []

    def records_at(offset, thread_id):
        """Skips a record array; notes its first and last records in
        buffers (the one before the last too when the last is a
        "trace_cut" record, written after the "end_test" record of a cut
        test trace before the end of a trace was kept) and its "trace_cut"
        records in cut_records; returns the count and the offset after it."""
        count, offset = read(offset, Unpacker.read_array_header)
        end, cuts, last_two = _fastread.scan(view, offset, count, "trace_cut")
        cut_records.extend(entries_at(cut) for cut in cuts)
        if count:
            last = entries_at(last_two[-1])
            last_records = [last]
            if len(last_two) == 2 and _is_record_of(last, "trace_cut"):
                last_records.insert(0, entries_at(last_two[0]))
            buffers.append((thread_id, entries_at(offset), last_records))
        return count, end

    fields = {}
    record_count = 0
    try:
        entries, offset = read(0, Unpacker.read_map_header)
        for _ in range(entries):
            key, offset = read(offset, Unpacker.unpack)
            if key == "frames_of_interest":
                count, offset = records_at(offset, None)
                record_count += count
            elif key == "frames":
                threads, offset = read(offset, Unpacker.read_map_header)
                for _ in range(threads):
                    thread_id, offset = read(offset, Unpacker.unpack)
                    count, offset = records_at(offset, thread_id)
                    record_count += count
            elif key in ("timestamp", "meta", "parent_trace_id", "main_thread_id"):
                fields[key], offset = read(offset, Unpacker.unpack)
            else:
                offset = _fastread.skip(view, offset, 1)
        if offset != len(view):
            return _NO_SUMMARY  # data after the document
    except Exception:
        return _NO_SUMMARY

    timestamp = fields.get("timestamp")
    timestamp = float(timestamp) if type(timestamp) in (int, float) else None
    meta = fields.get("meta")
    source = meta.get("source") if isinstance(meta, dict) else None
    if not isinstance(source, str):
        source = None
    parent_trace_id = fields.get("parent_trace_id")
    if not isinstance(parent_trace_id, str):
        parent_trace_id = None
    last_records = [record for _, _, last in buffers for record in last]
    first_records = [first for _, first, _ in buffers]
    return _Summary(timestamp, source, record_count, _test_of(last_records), _dropped_events(cut_records),
                    parent_trace_id, _started(first_records), _ended(last_records),
                    _thread_ids(buffers, _thread_id_or_none(fields.get("main_thread_id"))),
                    _request_of(first_records, last_records))


# The most msgpack's reader can buffer.
_MAX_BUFFER_BYTES = 2**31 - 1
# How much the summary's reader takes from the document at a time.
_SUMMARY_READ_BYTES = 16 * 1024


def _is_record_of(record, record_type):
    return isinstance(record, dict) and record.get("type") == record_type


def _record_time(record):
    value = record.get("timestamp")
    return float(value) if type(value) in (int, float) and math.isfinite(value) else None


def _marked_or_all_times(records, marker):
    """The times of the ``marker`` records among ``records`` when there are
    any, else the times of all of them."""
    marked = [_record_time(record) for record in records if _is_record_of(record, marker)]
    marked = [time for time in marked if time is not None]
    return marked or [time for time in map(_record_time, records) if time is not None]


def _started(first_records):
    """When the trace began: at its test's "start_test" record, else at its
    earliest first record."""
    return min(_marked_or_all_times(first_records, "start_test"), default=None)


def _ended(last_records):
    """When the trace ended: at its test's "end_test" record, else at its
    latest last record."""
    return max(_marked_or_all_times(last_records, "end_test"), default=None)


def _thread_id_or_none(value):
    return value if type(value) is int else None


def _thread_ids(buffers, main_thread_id):
    """The threads of the record arrays, each once: a "frames" entry's by
    its key, those of "frames_of_interest" (the main thread's, and every
    thread's when threads were not recorded apart) by the threads its first
    and last records name."""
    threads = set()
    for thread_id, first, last_records in buffers:
        if thread_id is not None:
            threads.add(_thread_id_or_none(thread_id))
            continue
        named = {_thread_id_or_none(record.get("thread_native_id")) for record in (first, last_records[-1])}
        threads |= {thread for thread in named if thread is not None} or {main_thread_id}
    return tuple(sorted(threads, key=lambda thread: (thread is not None, thread or 0)))


def _request_of(first_records, last_records):
    """{"method", "path", "status"} of a served web request's trace, from
    the inbound_http records that open and close it; None for any other."""
    request = next((record for record in first_records if _is_record_of(record, "inbound_request")), None)
    response = next((record for record in reversed(last_records) if _is_record_of(record, "inbound_response")), None)
    if request is None and response is None:
        return None
    request, response = request or {}, response or {}
    return _request_summary({"method": request.get("method"), "path": _clipped(request.get("path")),
                             "status": response.get("status"), "traceparent": request.get("traceparent"),
                             "otel_trace_id": request.get("otel_trace_id")})


# The most of a request's path a listing keeps.
_MAX_PATH = 1000


def _clipped(text):
    return text[:_MAX_PATH - 1] + "\u2026" if isinstance(text, str) and len(text) > _MAX_PATH else text


def _test_of(last_records):
    for record in last_records:
        if _is_record_of(record, "end_test"):
            nodeid, outcome = record.get("nodeid"), record.get("outcome")
            return {
                "nodeid": nodeid if isinstance(nodeid, str) else None,
                "outcome": outcome if isinstance(outcome, str) else None,
            }
    return None


def _dropped_events(cut_records):
    """The events the trace's cut records say were dropped; None without one that says it."""
    counts = [record.get("dropped_events") for record in cut_records]
    counts = [count for count in counts if type(count) is int and count >= 0]
    return sum(counts) if counts else None
