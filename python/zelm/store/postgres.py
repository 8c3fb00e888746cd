"""Storage of trace documents in a PostgreSQL database, through psycopg 3.

The rows are those of the SQLite store (sqlite.py), with its columns and
its compressed, chunked documents, in the tables "zelm_traces" and
"zelm_trace_chunks", so that they share a database with an application's
own tables; both are made on first use. Each save is one transaction: a
reader sees a trace whole or not at all, and any number of processes save
at once. A save that fails for any reason but bad arguments writes its
documents to files as the SQLite store does, under .zelm in the current
directory ("postgresql.<trace id>.msgpack"), which `zelm import` stores
later.

``timeout`` is, as for SQLite, how long to wait: for the server to answer
the connection (whole seconds, at least 2, as libpq counts them) and for
another transaction's lock (a removal's).

Every message names the database by its URL with the password masked
(location.py), and what the server or libpq said has the password taken
out too. psycopg is imported only here, on first use.
"""

import atexit
import contextlib
import math
import os
import threading
import time
import urllib.parse

from zelm.store import location, sqlite
from zelm.store.sqlite import StoredTrace, TraceStoreError

__all__ = ["save_traces_in_sqlite", "list_traces", "load_trace", "load_trace_documents", "remove_traces", "compact",
           "exists", "stored_size", "write_fallback_files", "read_rows", "insert_rows", "trace_ids"]

POSTGRESQL = sqlite.Dialect("%s", "zelm_", True)

_SCHEMA = (
    """CREATE TABLE IF NOT EXISTS zelm_traces (
        id BIGSERIAL PRIMARY KEY,
        trace_id TEXT NOT NULL,
        saved_at DOUBLE PRECISION,
        timestamp DOUBLE PRECISION,
        source TEXT,
        record_count BIGINT,
        size_bytes BIGINT NOT NULL,
        msgpack BYTEA NOT NULL,
        test TEXT,
        compression TEXT,
        chunk_count BIGINT,
        stored_bytes BIGINT,
        dropped_events BIGINT,
        parent_trace_id TEXT,
        summary TEXT,
        working_directory TEXT
    )""",
    "CREATE INDEX IF NOT EXISTS zelm_traces_by_trace_id ON zelm_traces (trace_id, id)",
    """CREATE TABLE IF NOT EXISTS zelm_trace_chunks (
        trace_row BIGINT NOT NULL REFERENCES zelm_traces (id) ON DELETE CASCADE,
        seq INTEGER NOT NULL,
        data BYTEA NOT NULL,
        PRIMARY KEY (trace_row, seq)
    )""",
)
# Taken while the tables are made: two first saves at once would both
# create them, and one would fail.
_SCHEMA_LOCK_KEY = 0x7A656C6D  # "zelm"

READ_TIMEOUT = sqlite.READ_TIMEOUT

# The databases whose tables this process has made or found.
_with_tables = set()
_with_tables_lock = threading.Lock()


class ServerError(Exception):
    """What the server or psycopg said, in one line without the password:
    the cause of the TraceStoreError that names the database."""


def save_traces_in_sqlite(db, traces, *, timeout, fallback=True, progress=None):
    """As sqlite.save_traces_in_sqlite, into the PostgreSQL database ``db``."""
    traces = sqlite.checked_traces(traces)
    try:
        with _transaction(db, timeout, "cannot store trace in", create=True) as connection:
            saved_at = time.time()
            return [sqlite.insert_document(connection, POSTGRESQL, trace_id, document, working_directory, saved_at,
                                           progress)
                    for trace_id, document, working_directory in traces]
    except Exception as error:
        if not fallback:
            raise
        raise write_fallback_files(db, traces, error) from error


def write_fallback_files(db, traces, error):
    """As sqlite.write_fallback_files, the files under .zelm in the current
    directory (or, failing that, in it or in the temporary directory)."""
    directory = os.path.abspath(os.path.dirname(location.DEFAULT_DB_PATH))
    with contextlib.suppress(OSError):
        os.makedirs(directory, exist_ok=True)
    return sqlite.write_fallback_files(os.path.join(directory, "postgresql"), traces, error)


_LISTED_COLUMNS = ", ".join(sqlite._SUMMARY_COLUMNS)


def list_traces(db, *, trace_id=None, timeout=READ_TIMEOUT):
    """As sqlite.list_traces; none while the tables are not made yet."""
    with _transaction(db, timeout, "cannot read trace database", snapshot=True) as connection:
        return _listed(connection, db, trace_id)


def _listed(connection, db, trace_id):
    if not _has_tables(connection):
        return []
    condition, parameters = ("", ()) if trace_id is None else ("WHERE trace_id = %s", (trace_id,))
    rows = connection.execute(f"SELECT {_LISTED_COLUMNS} FROM zelm_traces {condition} ORDER BY id DESC",
                              parameters).fetchall()
    # Every row is saved with its summary; one stored otherwise lists without it.
    return [sqlite._stored_trace(None, db, None, *row[:-2], row[-2] or "{}", row[-1]) for row in rows]


def load_trace(db, trace_id, *, timeout=READ_TIMEOUT):
    """The latest document stored under ``trace_id``, or None."""
    documents = _documents(db, trace_id, timeout, "ORDER BY id DESC LIMIT 1")
    return documents[0] if documents else None


def load_trace_documents(db, trace_id, *, timeout=READ_TIMEOUT):
    """Every document stored under ``trace_id``, oldest first."""
    return _documents(db, trace_id, timeout, "ORDER BY id")


def _documents(db, trace_id, timeout, order):
    with _transaction(db, timeout, "cannot read trace database", snapshot=True) as connection:
        if not _has_tables(connection):
            return []
        rows = connection.execute("SELECT id, size_bytes, compression, chunk_count, msgpack FROM zelm_traces "
                                  f"WHERE trace_id = %s {order}", (trace_id,)).fetchall()
        return [sqlite.decompressed(bytes(first), _following_chunks(connection, row_id, chunk_count), size,
                                    compression, db)
                for row_id, size, compression, chunk_count, first in rows]


def _following_chunks(connection, row_id, chunk_count):
    """The chunks after a row's first, one (data,) row at a time, each
    fetched when the one before is used up."""
    for seq in range(1, chunk_count if type(chunk_count) is int else 1):
        row = connection.execute("SELECT data FROM zelm_trace_chunks WHERE trace_row = %s AND seq = %s",
                                 (row_id, seq)).fetchone()
        if row is None:
            return  # missing: the document comes out incomplete, and says so
        yield (bytes(row[0]),)


def remove_traces(db, choose, *, timeout):
    """As sqlite.remove_traces: saves wait until the removal is done, so a
    trace being saved is listed whole or not at all."""
    with _transaction(db, timeout, "cannot change trace database") as connection:
        if not _has_tables(connection):
            return []
        # Inserts wait for this lock; readers do not.
        connection.execute("LOCK TABLE zelm_traces IN SHARE ROW EXCLUSIVE MODE")
        stored = _listed(connection, db, None)
        chosen = set(choose(stored))
        if chosen:
            # Their chunks go with them (ON DELETE CASCADE).
            connection.execute("DELETE FROM zelm_traces WHERE trace_id = ANY(%s)", (list(chosen),))
        return [entry for entry in stored if entry.trace_id in chosen]


def compact(db, *, timeout):
    """Hand the space of removed documents back to the file system
    (VACUUM FULL, which holds the tables' locks meanwhile)."""
    with _transaction(db, timeout, "cannot change trace database", autocommit=True) as connection:
        if _has_tables(connection):
            connection.execute("VACUUM FULL zelm_traces, zelm_trace_chunks")


def exists(db):
    """A server's database may always hold traces: asking it tells."""
    return True


def stored_size(db, *, timeout=READ_TIMEOUT):
    """Bytes the tables take on the server, with their indexes and TOAST data."""
    with _transaction(db, timeout, "cannot read trace database") as connection:
        if not _has_tables(connection):
            return 0
        return connection.execute("SELECT pg_total_relation_size('zelm_traces')"
                                  " + pg_total_relation_size('zelm_trace_chunks')").fetchone()[0]


def read_rows(db, row_ids, *, timeout=READ_TIMEOUT):
    """As sqlite.read_rows."""
    columns = ", ".join(sqlite.StoredRow._fields[:-1])
    with _transaction(db, timeout, "cannot read trace database", snapshot=True) as connection:
        for row_id in row_ids:
            *values, chunk_count, first = connection.execute(
                f"SELECT {columns}, chunk_count, msgpack FROM zelm_traces WHERE id = %s", (row_id,)).fetchone()
            chunks = [bytes(first)] + [data for (data,) in _following_chunks(connection, row_id, chunk_count)]
            yield sqlite.StoredRow(*values, chunks)


def insert_rows(db, rows, *, timeout):
    """As sqlite.insert_rows."""
    with _transaction(db, timeout, "cannot store trace in", create=True) as connection:
        return [sqlite.insert_row(connection, row, POSTGRESQL) for row in rows]


def trace_ids(db, *, timeout=READ_TIMEOUT):
    with _transaction(db, timeout, "cannot read trace database") as connection:
        if not _has_tables(connection):
            return set()
        return {trace_id for (trace_id,) in connection.execute("SELECT DISTINCT trace_id FROM zelm_traces")}


@contextlib.contextmanager
def _transaction(db, timeout, action, create=False, snapshot=False, autocommit=False):
    """A connection to ``db`` inside a transaction that commits unless the
    block raises (with ``snapshot``, one that reads the database as it was
    at its first statement; with ``autocommit``, outside any); with
    ``create`` the tables are made first when missing. psycopg's and the
    server's errors become TraceStoreError, the message starting with
    ``action`` and the database."""
    psycopg = _psycopg(db, action)
    url = location.connection_url(db)
    with _errors(psycopg, db, action):
        connection = _connection(psycopg, url, timeout)
        try:
            if create:
                _make_tables(connection, url)
            connection.isolation_level = psycopg.IsolationLevel.REPEATABLE_READ if snapshot else None
            if autocommit:
                yield connection
            else:
                with connection.transaction():
                    yield connection
        except BaseException:
            connection.close()
            raise
        _keep(url, connection)


# One open connection per database, kept for the next transaction: making
# one costs a round of authentication, more than storing a batch of traces.
_kept = {}
_kept_lock = threading.Lock()
# Those a forked process inherited: its parent's, used and closed by it alone.
_inherited = []


def _connection(psycopg, url, timeout):
    """A connection to ``url`` outside any transaction, the kept one when it
    still answers, whose lock waits last ``timeout`` seconds."""
    with _kept_lock:
        connection = _kept.pop(url, None)
    milliseconds = f"{max(1, round(timeout * 1000))}ms"
    if connection is not None:
        try:
            connection.execute("SELECT set_config('lock_timeout', %s, false)", (milliseconds,))
            return connection
        except psycopg.OperationalError:
            connection.close()  # the server went away meanwhile: a new connection tells whether it is back
    # Each transaction is begun by connection.transaction(), none by a first statement.
    connection = psycopg.connect(url, connect_timeout=max(2, math.ceil(timeout)), autocommit=True)
    connection.execute("SELECT set_config('lock_timeout', %s, false)", (milliseconds,))
    return connection


def _keep(url, connection):
    with _kept_lock:
        kept = _kept.setdefault(url, connection)
    if kept is not connection:
        connection.close()  # another thread's is kept


def _close_kept():
    with _kept_lock:
        connections = list(_kept.values())
        _kept.clear()
    for connection in connections:
        connection.close()


def _forget_kept():
    _inherited.extend(_kept.values())
    _kept.clear()


atexit.register(_close_kept)
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_kept)


def _make_tables(connection, url):
    with _with_tables_lock:
        if url in _with_tables:
            return
    with connection.transaction():
        connection.execute("SELECT pg_advisory_xact_lock(%s)", (_SCHEMA_LOCK_KEY,))
        for statement in _SCHEMA:
            connection.execute(statement)
    with _with_tables_lock:
        _with_tables.add(url)


def _has_tables(connection):
    return connection.execute("SELECT to_regclass('zelm_traces') IS NOT NULL").fetchone()[0]


def _psycopg(db, action):
    try:
        import psycopg
    except ImportError:
        raise TraceStoreError(f"{action} {location.redacted(location.connection_url(db))}: a PostgreSQL database "
                              "needs the psycopg package: pip install 'psycopg[binary]'") from None
    return psycopg


@contextlib.contextmanager
def _errors(psycopg, db, action):
    """psycopg's errors as TraceStoreError, without the password; a lock
    held longer than the timeout says so in its ``lock_timeout``."""
    try:
        yield
    except psycopg.Error as error:
        url = location.connection_url(db)
        detail = _without_password(" ".join(str(error).split()) or type(error).__name__, url)
        raised = TraceStoreError(f"{action} {location.redacted(url)}: {detail}")
        raised.lock_timeout = isinstance(error, psycopg.errors.LockNotAvailable)
        raise raised from ServerError(detail)


def _without_password(text, url):
    """``text`` with ``url``'s password masked wherever it appears (libpq
    repeats a connection string it cannot parse)."""
    text = text.replace(url, location.redacted(url))
    parts = urllib.parse.urlsplit(url)
    passwords = {parts.password} | {value for key, value in urllib.parse.parse_qsl(parts.query)
                                    if key.lower() == "password"}
    for password in passwords - {None, ""}:
        for form in {password, urllib.parse.unquote(password), urllib.parse.quote(password, safe="")}:
            text = text.replace(form, "***")
    return text
