"""The module the native profiler stores finished traces through: it calls
zelm.db.save_trace_in_sqlite (a test's trace in one-trace-per-test mode,
Profiler.save()). The store itself is zelm.store.

Imported while the profiler records, and left out of traces by name.
"""

from zelm.store import *  # noqa: F401,F403
from zelm.store import __all__  # noqa: F401
from zelm.profiler import saving_in_place
from zelm.store import background


def save_trace_in_sqlite(db_path, trace_id, *, timeout, msgpack):
    """Store a finished trace: through the background saver while a tally
    is attached to ``db_path`` (pytest --zelm, whose tests must not wait
    for the database), except inside Profiler.save(), which has stored it
    when it returns, and unless the tally's ``keep`` refuses it (it is then
    only counted); otherwise at once, in the database ``db_path`` names
    (a SQLite file or a PostgreSQL URL: zelm.store)."""
    tally = background.attached(db_path)
    if tally is None or saving_in_place():
        save_traces_in_sqlite(db_path, [(trace_id, msgpack)], timeout=timeout)
    elif tally.keep is not None and not tally.keep(trace_id):
        tally.dropped += 1
    else:
        background.saver().put(db_path, trace_id, msgpack, timeout=timeout, tally=tally)
