"""Copying stored traces from one database to another (SQLite or
PostgreSQL, either way): each row moves as it is stored, its compressed
chunks never decompressed, with the time it was saved, its summary and its
working directory. A trace id the destination holds already is skipped, so
that copying twice, or merging the databases of several CI shards into
one, stores each trace once.
"""

import json
from typing import NamedTuple

from zelm import store
from zelm.store import sqlite

__all__ = ["CopyReport", "copy_traces"]

# A transaction of the destination takes traces until it holds this many
# stored bytes (or BATCH_TRACES traces): few transactions, bounded memory.
BATCH_BYTES = 64 * 1024 * 1024
BATCH_TRACES = 100


class CopyReport(NamedTuple):
    copied: list  # trace ids, in the order copied
    skipped: list  # trace ids the destination held already
    rows: int  # parts of the copied traces
    size_bytes: int  # of their documents before compression


def copy_traces(source, destination, chosen, *, timeout, progress=None):
    """Copy the traces of ``chosen`` (StoredTraces of ``source``, as
    store.list_traces gives them: every part of each trace meant), oldest
    first, into ``destination``, but those whose trace id it holds; return
    a CopyReport. ``progress(done, total)`` is told the parts copied."""
    source_store, source_name = store.backend(source)
    destination_store, destination_name = store.backend(destination)
    present = destination_store.trace_ids(destination_name, timeout=timeout)
    parts = {}
    for entry in reversed(chosen):
        parts.setdefault(entry.trace_id, []).append(entry)
    skipped = [trace_id for trace_id in parts if trace_id in present]
    copied = [trace_id for trace_id in parts if trace_id not in present]
    entries = [entry for trace_id in copied for entry in parts[trace_id]]
    rows = source_store.read_rows(source_name, [entry.id for entry in entries], timeout=timeout)
    batch, batch_bytes, batch_traces, done = [], 0, 0, 0
    for entry in entries:
        row = _with_summary(next(rows), source)
        # Held until its batch is stored: a row's chunks are read once.
        row = row._replace(chunks=list(row.chunks))
        batch.append(row)
        batch_bytes += sum(len(chunk) for chunk in row.chunks)
        last_part = entry is parts[entry.trace_id][-1]
        batch_traces += last_part
        # A trace's parts go in one transaction: the destination lists it whole.
        if last_part and (batch_bytes >= BATCH_BYTES or batch_traces >= BATCH_TRACES):
            done = _insert(destination_store, destination_name, batch, timeout, progress, done, len(entries))
            batch, batch_bytes, batch_traces = [], 0, 0
    if batch:
        _insert(destination_store, destination_name, batch, timeout, progress, done, len(entries))
    return CopyReport(copied, skipped, len(entries), sum(entry.size_bytes or 0 for entry in entries))


def _insert(destination_store, destination_name, batch, timeout, progress, done, total):
    destination_store.insert_rows(destination_name, batch, timeout=timeout)
    done += len(batch)
    if progress is not None:
        progress(done, total)
    return done


def _with_summary(row, source):
    """``row`` with its summary, worked out from its document for a row
    saved before summaries were kept (which no later save fills in where
    the row goes)."""
    if row.summary is not None:
        return row
    chunks = list(row.chunks)
    document = sqlite.decompressed(chunks[0], [(chunk,) for chunk in chunks[1:]], row.size_bytes, row.compression,
                                   source)
    summary = sqlite._summarise(document)
    test = row.test if row.test is not None or summary.test is None else json.dumps(summary.test)
    return row._replace(summary=sqlite._listing_json(summary), test=test, chunks=chunks)
