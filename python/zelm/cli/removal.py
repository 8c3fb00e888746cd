"""`zelm delete` and `zelm prune`: removing stored traces, every part of
each (a trace saved in parts has several rows) with its chunks.

A prune picks traces by criteria that all have to hold (see PruneCriteria)
and then compacts the database, so that the space comes back to the disk.
Both take the database's write lock before they look at what is stored: a
trace that is being saved meanwhile is never removed half written.
"""

import argparse
import fnmatch
import re
import sqlite3
import sys
import time
from typing import NamedTuple, Optional

from zelm import store
from zelm import trace as trace_reader
from zelm.cli import render
from zelm.cli.commands import FAILURE, SUCCESS, CommandError, _print_lines, store_failure
from zelm.profiler import DEFAULT_SQLITE_BUSY_TIMEOUT
from zelm.text import plural, size_text

_DURATION = re.compile(r"\s*(\d+(?:\.\d*)?)\s*([smhdw])\s*", re.IGNORECASE)
_UNIT_SECONDS = {"s": 1, "m": 60, "h": 3600, "d": 86400, "w": 7 * 86400}


def duration(text):
    """The seconds of a duration such as 30m, 12h, 7d or 2w (an argparse type)."""
    match = _DURATION.fullmatch(text)
    if match is None:
        raise argparse.ArgumentTypeError(f"invalid duration {text!r}: a number and a unit, s, m, h, d or w "
                                         "(30m, 12h, 7d, 2w)")
    return float(match.group(1)) * _UNIT_SECONDS[match.group(2).lower()]


def whole_number(text):
    """A count of zero or more (an argparse type)."""
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"invalid count {text!r}: a whole number, 0 or more")
    return value


def delete_command(args):
    """Remove every part of each trace named; an id that names no trace is
    one error line, the others are removed all the same."""

    def named(stored):
        newest = stored[0].trace_id if stored else None
        return {newest if trace_id == trace_reader.LATEST else trace_id for trace_id in args.trace_ids}

    removed = _remove(args.db, named)
    parts = {}
    for entry in removed:
        parts[entry.trace_id] = parts.get(entry.trace_id, 0) + 1
    # "latest" named the newest trace, removed unless there was none.
    latest = removed[0].trace_id if removed else None
    status, told = SUCCESS, set()
    for given in args.trace_ids:
        trace_id = latest if given == trace_reader.LATEST else given
        if trace_id in told:
            continue
        told.add(trace_id)
        if trace_id is None:
            print(f"zelm: error: no traces stored in {args.db}", file=sys.stderr)
            status = FAILURE
        elif trace_id not in parts:
            print(f"zelm: error: no trace {trace_id} in {args.db}", file=sys.stderr)
            status = FAILURE
        else:
            print(f"zelm: deleted trace {trace_id}" + (f" ({parts[trace_id]} parts)" if parts[trace_id] > 1 else ""),
                  file=sys.stderr)
    return status


def _remove(db_path, choose):
    """store.remove_traces, a database that stays locked a CommandError."""
    try:
        return store.remove_traces(db_path, choose, timeout=DEFAULT_SQLITE_BUSY_TIMEOUT)
    except (store.TraceStoreError, sqlite3.OperationalError) as error:
        if not store.is_lock_timeout(error):
            raise
        raise CommandError(f"cannot change {db_path}: another process kept it locked for "
                           f"{DEFAULT_SQLITE_BUSY_TIMEOUT} s; nothing was removed") from None


class PruneCriteria(NamedTuple):
    """What makes a stored trace one to prune: every criterion given (not
    None, not False) holds for it."""

    keep: Optional[int] = None  # it is not one of the newest ``keep`` traces
    older_than: Optional[float] = None  # its last part was saved more than these seconds ago
    source: Optional[str] = None  # its source, or its test's node id, matches this fnmatch pattern
    passed: bool = False  # it is the trace of a test that passed

    def given(self):
        return self.keep is not None or self.older_than is not None or self.source is not None or self.passed


def prunable(stored, criteria, now):
    """The trace ids of ``stored`` (StoredTraces newest first, as
    store.list_traces gives them) that ``criteria`` pick, newest first;
    ``now`` is the time the ages count from."""
    traces = {}
    for entry in stored:
        traces.setdefault(entry.trace_id, []).append(entry)
    chosen = []
    for rank, (trace_id, parts) in enumerate(traces.items()):
        if criteria.keep is not None and rank < criteria.keep:
            continue
        if criteria.older_than is not None:
            saved = [entry.saved_at for entry in parts if entry.saved_at is not None]
            # A trace that cannot be dated is not known to be old.
            if not saved or now - max(saved) <= criteria.older_than:
                continue
        if criteria.source is not None and not any(_matches(entry, criteria.source) for entry in parts):
            continue
        if criteria.passed:
            tests = [entry.test for entry in parts if entry.test is not None]
            # The newest part holds the test's final outcome.
            if not tests or tests[0].get("outcome") != "passed":
                continue
        chosen.append(trace_id)
    return chosen


def _matches(entry, pattern):
    names = [entry.source, entry.test.get("nodeid") if entry.test is not None else None]
    return any(name is not None and fnmatch.fnmatchcase(name, pattern) for name in names)


def prune_command(args):
    criteria = PruneCriteria(args.keep, args.older_than, args.source, args.passed)
    if not criteria.given():
        args.command_parser.error("say which traces to remove: --keep N, --older-than DURATION, --source PATTERN "
                                  "or --passed (they combine)")
    if not store.exists(args.db):
        print(f"zelm: no traces yet: {args.db} does not exist", file=sys.stderr)
        return SUCCESS
    now = time.time()
    if args.dry_run:
        stored = store.list_traces(args.db)
        chosen = prunable(stored, criteria, now)
        if chosen:
            _print_lines(render.listing_lines(_one_row_per_trace(stored, chosen)))
        print(f"zelm: would remove {plural(len(chosen), 'trace')}; nothing was removed (--dry-run)", file=sys.stderr)
        return SUCCESS
    size_before = store.stored_size(args.db)
    removed = _remove(args.db, lambda stored: prunable(stored, criteria, now))
    traces = plural(len({entry.trace_id for entry in removed}), "trace")
    if removed:
        try:
            store.compact(args.db, timeout=DEFAULT_SQLITE_BUSY_TIMEOUT)
        except (store.TraceStoreError, sqlite3.Error) as error:
            failure = store_failure(error)
            raise CommandError(f"removed {traces} from {args.db}, but cannot compact it: {failure}") from None
    freed = max(0, size_before - store.stored_size(args.db))
    print(f"zelm: removed {traces} ({size_text(freed)} freed)", file=sys.stderr)
    return SUCCESS


def _one_row_per_trace(stored, trace_ids):
    """A StoredTrace for each of ``trace_ids``, in their order: its newest
    part's, with the records and sizes of all its parts."""
    parts = {trace_id: [] for trace_id in trace_ids}
    for entry in stored:
        if entry.trace_id in parts:
            parts[entry.trace_id].append(entry)
    return [rows[0]._replace(record_count=_total(rows, "record_count"), size_bytes=_total(rows, "size_bytes"))
            for rows in parts.values()]


def _total(rows, field):
    values = [getattr(entry, field) for entry in rows]
    return None if None in values else sum(values)
