"""`zelm copy SRC DST [TRACE_ID ...]`: copy stored traces, all of them or
those named, from one database to another (SQLite or PostgreSQL), skipping
those the destination holds already (zelm.store.transfer)."""

import os
import sys

from zelm import store
from zelm import trace as trace_reader
from zelm.cli.commands import FAILURE, SUCCESS, CommandError
from zelm.cli.progress import Progress
from zelm.profiler import DEFAULT_SQLITE_BUSY_TIMEOUT
from zelm.store import location, transfer
from zelm.text import plural, size_text

# A copy that takes this many seconds shows how far it is, on a terminal.
_PROGRESS_AFTER = 2.0


def copy_command(args):
    source, destination = args.source, args.destination
    if _same_database(source, destination):
        raise CommandError(f"{source} and {destination} are the same database")
    if not store.exists(source):
        raise CommandError(f"cannot read trace database {source}: no such file")
    stored = store.list_traces(source)
    status = SUCCESS
    if args.trace_ids:
        named = set()
        for given in args.trace_ids:
            trace_id = stored[0].trace_id if given == trace_reader.LATEST and stored else given
            if not any(entry.trace_id == trace_id for entry in stored):
                print(f"zelm: error: no trace {given} in {source}", file=sys.stderr)
                status = FAILURE
            named.add(trace_id)
        stored = [entry for entry in stored if entry.trace_id in named]
    with Progress(f"copying traces to {destination}", _PROGRESS_AFTER, counted=True) as progress:
        report = transfer.copy_traces(source, destination, stored, timeout=DEFAULT_SQLITE_BUSY_TIMEOUT,
                                      progress=progress.update)
    line = (f"zelm: copied {plural(len(report.copied), 'trace')} ({plural(report.rows, 'part')}, "
            f"{size_text(report.size_bytes)}) from {source} to {destination}")
    if report.skipped:
        line += f"; {len(report.skipped)} already there skipped"
    print(line, file=sys.stderr)
    return status


def _same_database(first, second):
    if location.is_postgresql(first) or location.is_postgresql(second):
        return location.connection_url(first) == location.connection_url(second)
    try:
        return os.path.samefile(first, second)
    except OSError:
        return os.path.abspath(first) == os.path.abspath(second)
