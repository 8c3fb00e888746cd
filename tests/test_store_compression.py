"""How the SQLite store compresses documents: with the dictionary a
database trains on the records of the documents it stores, beside rows
written without one (by this version or an earlier one), in one piece or in
chunks, and what a row whose dictionary is gone reads as."""

import os
import sqlite3

import msgpack
import pytest
import zstandard

from zelm.store import TraceStoreError, list_traces, load_trace, remove_traces, save_traces_in_sqlite
from zelm.store import compression
from zelm.store import sqlite as sqlite_store


def program_document(number, records=250, thread_records=(), noise=0):
    """A trace document of ``records`` frame records on the main thread (and
    the ``thread_records`` of other threads), differing from one another as
    a program's do; ``noise`` random bytes in a record make it large."""

    def record(thread, index):
        return {
            "type": "frame", "event": "call" if index % 2 == 0 else "return",
            "co_name": f"step_{index % 17}", "qualname": f"app.Worker.step_{index % 17}",
            "path": f"/srv/app/worker.py:{10 + index % 40}", "thread_native_id": thread,
            "frame_id": f"frm_01K{number:04d}{thread:03d}{index:016d}", "timestamp": 1000.0 + number + index / 1000,
            "locals": {"index": str(index), "label": f"item-{index * 7919 % 1000}"},
        }

    main = [record(1, index) for index in range(records)]
    if noise:
        main.append({"type": "frame", "noise": os.urandom(noise)})
    return msgpack.packb({
        "frames": {thread: [record(thread, index) for index in range(count)]
                   for thread, count in enumerate(thread_records, start=2)},
        "frames_of_interest": main,
        "meta": {"source": "tests"},
        "timestamp": 1000.0 + number,
        "trace_id": f"trc_{number:026d}",
    })


# Enough records in one save for a dictionary to be trained on them.
TRAINING = [(f"trc_{number:026d}", program_document(number)) for number in range(4)]


def rows(db_path):
    """(trace id, compression, dictionary, chunk count) of each row, oldest first."""
    with sqlite3.connect(db_path) as connection:
        return connection.execute("SELECT trace_id, compression, dictionary, chunk_count FROM traces ORDER BY id").fetchall()


def dictionary_count(db_path):
    with sqlite3.connect(db_path) as connection:
        return connection.execute("SELECT count(*) FROM trace_dictionaries").fetchone()[0]


@pytest.mark.parametrize("traces, method, dictionary", [
    (TRAINING, "zstd-dictionary", 1),
    ([("trc_short", program_document(9, records=30))], "zstd", None),
    ([("trc_threads", program_document(9, records=200, thread_records=(200, 200)))], "zstd-dictionary", 1),
], ids=["batch that trains one", "too few records", "one document of three threads"])
def test_documents_read_back_with_and_without_a_dictionary(db_path, traces, method, dictionary):
    save_traces_in_sqlite(db_path, traces, timeout=5)

    assert rows(db_path) == [(trace_id, method, dictionary, None) for trace_id, _ in traces]
    assert dictionary_count(db_path) == (dictionary or 0)
    for trace_id, document in traces:
        assert load_trace(db_path, trace_id) == document


def test_later_saves_use_the_dictionary_trained_first_and_take_less_room(tmp_path):
    trained, plain = tmp_path / "trained.sqlite3", tmp_path / "plain.sqlite3"
    save_traces_in_sqlite(trained, TRAINING, timeout=5)
    short = [(f"trc_short_{number}", program_document(number + 10, records=40)) for number in range(3)]

    for trace_id, document in short:
        save_traces_in_sqlite(trained, [(trace_id, document)], timeout=5)
        save_traces_in_sqlite(plain, [(trace_id, document)], timeout=5)

    assert [row[1:3] for row in rows(trained)[len(TRAINING):]] == [("zstd-dictionary", 1)] * 3
    assert [row[1:3] for row in rows(plain)] == [("zstd", None)] * 3
    assert dictionary_count(trained) == 1
    for trace_id, document in short:
        assert load_trace(trained, trace_id) == load_trace(plain, trace_id) == document
    with sqlite3.connect(trained) as one, sqlite3.connect(plain) as other:
        query = "SELECT sum(stored_bytes) FROM traces WHERE trace_id LIKE 'trc_short_%'"
        assert one.execute(query).fetchone()[0] < 0.9 * other.execute(query).fetchone()[0]


def previous_version_database(db_path, documents):
    """A database as the version before dictionaries wrote it: its tables
    without the dictionary column or table, each of ``documents`` (trace
    id, document, how it is kept: "plain", "zstd" or "zstd in chunks")
    stored as that version stored it."""
    with sqlite3.connect(db_path) as connection:
        for statement in sqlite_store._SCHEMA:
            if "trace_dictionaries" not in statement:
                connection.execute(statement)
        for name, kind in sqlite_store._ADDED_COLUMNS.items():
            if name not in ("test", "dictionary"):
                connection.execute(f"ALTER TABLE traces ADD COLUMN {name} {kind}")
        for trace_id, document, kept in documents:
            value = document if kept == "plain" else zstandard.ZstdCompressor(level=3).compress(document)
            pieces = [value[start:start + 1000] for start in range(0, len(value), 1000)] if "chunks" in kept else [value]
            row = connection.execute(
                "INSERT INTO traces (trace_id, saved_at, size_bytes, msgpack, compression, chunk_count, stored_bytes)"
                " VALUES (?, 1.0, ?, ?, ?, ?, ?)",
                (trace_id, len(document), pieces[0], None if kept == "plain" else "zstd",
                 len(pieces) if len(pieces) > 1 else None, len(value))).lastrowid
            connection.executemany("INSERT INTO trace_chunks (trace_row, seq, data) VALUES (?, ?, ?)",
                                   [(row, seq, piece) for seq, piece in enumerate(pieces[1:], start=1)])


def test_rows_of_the_previous_version_read_beside_rows_with_a_dictionary(db_path):
    old = [("trc_old_plain", program_document(20, records=20), "plain"),
           ("trc_old_zstd", program_document(21), "zstd"),
           ("trc_old_chunks", program_document(22, noise=5000), "zstd in chunks")]
    previous_version_database(db_path, old)

    for trace_id, document, _ in old:
        assert load_trace(db_path, trace_id) == document
    save_traces_in_sqlite(db_path, TRAINING, timeout=5)

    stored = rows(db_path)
    assert [row[1:3] for row in stored] == [(None, None), ("zstd", None), ("zstd", None),
                                            *[("zstd-dictionary", 1)] * len(TRAINING)]
    assert stored[2][3] > 1  # in chunks
    for trace_id, document, _ in old:
        assert load_trace(db_path, trace_id) == document
    for trace_id, document in TRAINING:
        assert load_trace(db_path, trace_id) == document
    assert len(list_traces(db_path)) == len(old) + len(TRAINING)


@pytest.fixture
def small_chunks(monkeypatch):
    monkeypatch.setattr(sqlite_store, "CHUNK_BYTES", 1000)
    monkeypatch.setattr(sqlite_store, "_FEED_BYTES", 777)


def chunk_orphans(db_path):
    with sqlite3.connect(db_path) as connection:
        return connection.execute(
            "SELECT count(*) FROM trace_chunks WHERE trace_row NOT IN (SELECT id FROM traces)").fetchone()[0]


def test_a_document_in_chunks_reads_back_with_its_dictionary_and_goes_whole(db_path, small_chunks):
    # Random bytes do not compress: the stored value takes some 50 chunks.
    chunked = ("trc_chunked", program_document(30, noise=50_000))
    save_traces_in_sqlite(db_path, [*TRAINING, chunked], timeout=5)

    (*_, last) = rows(db_path)
    assert last[:3] == ("trc_chunked", "zstd-dictionary", 1) and last[3] > 40
    assert load_trace(db_path, "trc_chunked") == chunked[1]

    removed = remove_traces(db_path, lambda stored: {"trc_chunked", TRAINING[0][0]}, timeout=5)

    assert {entry.trace_id for entry in removed} == {"trc_chunked", TRAINING[0][0]}
    assert chunk_orphans(db_path) == 0
    # The dictionary stays for the rows compressed with it, and for later saves.
    assert dictionary_count(db_path) == 1
    for trace_id, document in TRAINING[1:]:
        assert load_trace(db_path, trace_id) == document


@pytest.mark.parametrize("loss", [
    "DELETE FROM trace_dictionaries",
    "DROP TABLE trace_dictionaries",
    "UPDATE traces SET dictionary = NULL",
], ids=["row deleted", "table dropped", "row names none"])
def test_a_row_whose_dictionary_is_missing_gives_a_clear_error(db_path, loss):
    save_traces_in_sqlite(db_path, TRAINING, timeout=5)
    with sqlite3.connect(db_path) as connection:
        connection.execute(loss)

    with pytest.raises(TraceStoreError) as raised:
        load_trace(db_path, TRAINING[0][0])

    message = str(raised.value)
    assert str(db_path) in message and "dictionary" in message and "\n" not in message
    # The list does not need the documents.
    assert {entry.trace_id for entry in list_traces(db_path)} == {trace_id for trace_id, _ in TRAINING}


def test_rows_copied_out_are_compressed_without_the_dictionary(tmp_path, small_chunks):
    source, destination = tmp_path / "source.sqlite3", tmp_path / "destination.sqlite3"
    traces = [*TRAINING, ("trc_chunked", program_document(30, noise=20_000))]
    save_traces_in_sqlite(source, traces, timeout=5)
    row_ids = [entry.id for entry in reversed(list_traces(source))]

    copied = list(sqlite_store.read_rows(source, row_ids, timeout=5))
    sqlite_store.insert_rows(destination, copied, timeout=5)

    assert {row.compression for row in copied} == {"zstd"}
    assert [row[:2] for row in rows(destination)] == [(trace_id, "zstd") for trace_id, _ in traces]
    for trace_id, document in traces:
        assert load_trace(destination, trace_id) == document


@pytest.mark.parametrize("document, expected", [
    (program_document(1, records=300, thread_records=(5, 0)), 305),
    (program_document(1, records=1200, thread_records=(5, 0)), 1000),
    (program_document(1, records=20)[:-10], 20),
    (msgpack.packb({"frames_of_interest": "not records"}), 0),
    (msgpack.packb([1, 2, 3]), 0),
], ids=["records of every thread", "the first thousand", "cut short after its records", "no record array",
        "not a map"])
def test_samples_are_the_first_records_of_the_document(document, expected):
    samples = compression.record_samples(document)

    assert len(samples) == expected
    assert all(msgpack.unpackb(sample)["type"] == "frame" for sample in samples)
