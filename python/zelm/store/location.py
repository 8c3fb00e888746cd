"""Where traces are stored, as a command line, a middleware or a test run
names it: a file path (or "sqlite://" and a path) for a SQLite database,
"postgresql://" or "postgres://" for a PostgreSQL database; ZELM_DB, when
set, names it for every entry point that is given none.

A PostgreSQL URL may hold a password. resolve() turns it into a
DatabaseURL, a str whose text is the URL with the password masked, so that
every message, log line, page and listing that shows where traces go shows
that text; the store reaches the server through connection_url(), which
gives the URL back whole, also for the masked text alone (the native
profiler hands the store the text of its database, str() of it).

Pure Python, without sqlite3 or the compiled module: the pytest plugin and
the profiler's defaults import it.
"""

import os
import threading
import urllib.parse

__all__ = ["ENVIRONMENT_VARIABLE", "DEFAULT_DB_PATH", "DatabaseURL", "resolve", "absolute", "default_database",
           "is_postgresql", "connection_url", "sqlite_path", "redacted"]

ENVIRONMENT_VARIABLE = "ZELM_DB"
DEFAULT_DB_PATH = os.path.join(".zelm", "traces.sqlite3")

_POSTGRESQL_SCHEMES = ("postgresql://", "postgres://")
_SQLITE_SCHEME = "sqlite://"
_MASK = "***"

# The whole URL of each masked one made in this process, by its masked text.
_connection_urls = {}
_connection_urls_lock = threading.Lock()


class DatabaseURL(str):
    """A PostgreSQL URL whose text has its password masked; the whole URL
    is only handed to the server (see connection_url)."""

    def __new__(cls, url):
        shown = super().__new__(cls, redacted(url))
        with _connection_urls_lock:
            _connection_urls[str(shown)] = url
        return shown


def is_postgresql(db):
    return isinstance(db, str) and db.lower().startswith(_POSTGRESQL_SCHEMES)


def resolve(db):
    """The database ``db`` names (a path, a URL, or None for ZELM_DB or the
    default): a DatabaseURL for PostgreSQL, the path of a SQLite file
    otherwise (a path given as it is), absolute only when it is the default."""
    if db is None:
        return default_database()
    text = os.fspath(db)
    if is_postgresql(text):
        return text if isinstance(text, DatabaseURL) else DatabaseURL(text)
    return sqlite_path(text) if text.lower().startswith(_SQLITE_SCHEME) else db


def absolute(db):
    """``db`` (as resolve() gives it) as it names the same database from
    any directory: a SQLite file's absolute path."""
    return db if is_postgresql(db) else os.path.abspath(db)


def default_database():
    """ZELM_DB's database when it is set, else .zelm/traces.sqlite3 under
    the current directory, as an absolute path."""
    named = os.environ.get(ENVIRONMENT_VARIABLE, "").strip()
    if not named:
        return os.path.abspath(DEFAULT_DB_PATH)
    return absolute(resolve(named))


def sqlite_path(db):
    """The file of a SQLite database named by a path or by "sqlite://" and
    a path ("sqlite:///srv/traces.sqlite3", "sqlite://traces.sqlite3")."""
    return db[len(_SQLITE_SCHEME):] if db.lower().startswith(_SQLITE_SCHEME) else db


def connection_url(db):
    """The whole URL of a PostgreSQL database given as a DatabaseURL, its
    masked text, or a URL as typed."""
    with _connection_urls_lock:
        return _connection_urls.get(str(db), str(db))


def redacted(url):
    """``url`` with its password masked, in the user part and in a
    "password" query parameter alike."""
    parts = urllib.parse.urlsplit(url)
    netloc, query = parts.netloc, parts.query
    user, at, host = netloc.rpartition("@")
    if at and ":" in user:
        netloc = f"{user.split(':', 1)[0]}:{_MASK}@{host}"
    pairs = urllib.parse.parse_qsl(query, keep_blank_values=True)
    if any(key.lower() == "password" for key, _ in pairs):
        query = "&".join(f"{urllib.parse.quote(key, safe='')}="
                         f"{_MASK if key.lower() == 'password' else urllib.parse.quote(value, safe='')}"
                         for key, value in pairs)
    if (netloc, query) == (parts.netloc, parts.query):
        return url
    return urllib.parse.urlunsplit((parts.scheme, netloc, parts.path, query, parts.fragment))
