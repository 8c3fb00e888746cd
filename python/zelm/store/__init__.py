"""Where trace documents are kept, and how a damaged one is read back.

A database is named by a path or a URL (location.py): a SQLite file
(sqlite.py), the default, or a PostgreSQL database (postgres.py), which
keeps the same rows. The functions here take either and hand the work to
the store it names; psycopg is imported only for a PostgreSQL one, and
sqlite3, zstandard and msgpack only once a function is called, so that
location.py stays cheap to import. background.py stores documents from a
thread of its own, for callers that must not wait for the database
(pytest --zelm, zelm.web); salvage.py decodes, record by record, a document
that does not decode as a whole. The native profiler saves through zelm.db,
which names the same functions.
"""

import importlib
import os

from zelm.store import location

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
    "stored_size",
    "exists",
    "write_fallback_files",
    "read_working_directory",
    "current_directory",
    "WORKING_DIRECTORY_SUFFIX",
    "is_lock_timeout",
]

# What both stores share, taken from sqlite.py on first use.
_SHARED = ("TraceStoreError", "StoredTrace", "read_working_directory", "current_directory",
           "WORKING_DIRECTORY_SUFFIX", "READ_TIMEOUT")


def __getattr__(name):
    if name in _SHARED:
        return getattr(importlib.import_module("zelm.store.sqlite"), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def backend(db):
    """The store module of the database ``db`` names, and the name to hand
    it: a SQLite file's path, or the PostgreSQL URL as given."""
    db = os.fspath(db)
    if location.is_postgresql(db):
        return importlib.import_module("zelm.store.postgres"), db
    return importlib.import_module("zelm.store.sqlite"), location.sqlite_path(db)


def save_trace_in_sqlite(db, trace_id, *, timeout, msgpack, progress=None):
    """Store a trace document in the database ``db`` names (SQLite or
    PostgreSQL, whatever the name says): see sqlite.save_trace_in_sqlite."""
    save_traces_in_sqlite(db, [(trace_id, msgpack)], timeout=timeout, progress=progress)


def save_traces_in_sqlite(db, traces, *, timeout, fallback=True, progress=None):
    """See sqlite.save_traces_in_sqlite."""
    module, name = backend(db)
    return module.save_traces_in_sqlite(name, traces, timeout=timeout, fallback=fallback, progress=progress)


def list_traces(db, *, trace_id=None, timeout=None):
    module, name = backend(db)
    return module.list_traces(name, trace_id=trace_id, timeout=timeout or module.READ_TIMEOUT)


def load_trace(db, trace_id, *, timeout=None):
    module, name = backend(db)
    return module.load_trace(name, trace_id, timeout=timeout or module.READ_TIMEOUT)


def load_trace_documents(db, trace_id, *, timeout=None):
    module, name = backend(db)
    return module.load_trace_documents(name, trace_id, timeout=timeout or module.READ_TIMEOUT)


def remove_traces(db, choose, *, timeout):
    module, name = backend(db)
    return module.remove_traces(name, choose, timeout=timeout)


def compact(db, *, timeout):
    module, name = backend(db)
    return module.compact(name, timeout=timeout)


def exists(db):
    """Whether the database may hold traces: a SQLite file that exists, or
    any PostgreSQL database (asking it is how to find out)."""
    module, name = backend(db)
    return module.exists(name)


def stored_size(db, *, timeout=None):
    """Bytes the database takes on disk."""
    module, name = backend(db)
    return module.stored_size(name, timeout=timeout or module.READ_TIMEOUT)


def write_fallback_files(db, traces, error):
    """See sqlite.write_fallback_files."""
    module, name = backend(db)
    return module.write_fallback_files(name, traces, error)


def is_lock_timeout(error):
    """Whether ``error`` says the database stayed locked longer than the
    timeout (a later attempt may succeed)."""
    from zelm.store import sqlite

    return getattr(error, "lock_timeout", False) or sqlite.is_lock_timeout(error)
