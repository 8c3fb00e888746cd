"""Where trace documents are kept, and how a damaged one is read back.

sqlite.py stores documents in a SQLite database, compressed and in chunks,
and lists and loads them again; background.py stores them from a thread of
its own, for callers that must not wait for the database (pytest --zelm,
zelm.web); salvage.py decodes, record by record, a document that does not
decode as a whole. The native profiler saves through zelm.db, which names
the same functions.
"""

from zelm.store.sqlite import *  # noqa: F401,F403
from zelm.store.sqlite import __all__  # noqa: F401
