"""The background saver: documents stored off the caller's thread, in order,
and written to fallback files, never waited for, when the database is
locked by another process or the queue is full."""

import contextlib
import os
import stat
import time

import msgpack
import pytest
from conftest import locked_database

from zelm import db, store
from zelm.profiler import Profiler
from zelm.store import background


def document(number, cut=False):
    records = [{"type": "trace_cut", "dropped_events": 5}] if cut else [{"type": "log_message", "n": number}]
    return msgpack.packb({"trace_id": f"trc_{number}", "frames_of_interest": records, "frames": {}})


def handed_over(saver, db_path, count, timeout=60, limit=None):
    """Hand ``count`` documents to ``saver``; returns (tally, {trace id: document})."""
    tally = background.Tally()
    documents = {f"trc_{number}": document(number, cut=number == 0) for number in range(count)}
    for trace_id, data in documents.items():
        saver.put(db_path, trace_id, data, timeout=timeout, tally=tally)
    return tally, documents


def test_documents_are_stored_in_the_order_given_and_counted(db_path):
    saver = background.BackgroundSaver()

    tally, documents = handed_over(saver, db_path, 5)
    saver.finish()

    assert (tally.stored, tally.cut, tally.fallback_paths, tally.lost) == (5, 1, [], 0)
    assert [entry.trace_id for entry in reversed(store.list_traces(db_path))] == list(documents)
    assert all(store.load_trace(db_path, trace_id) == data for trace_id, data in documents.items())


@pytest.mark.parametrize("limit", [64, 1])
def test_a_locked_database_sends_the_documents_to_fallback_files(db_path, limit):
    saver = background.BackgroundSaver(limit)

    with locked_database(db_path):
        tally, documents = handed_over(saver, db_path, 3)
        if limit == 1:
            # A full queue is not waited for: the document goes to its file at once.
            assert tally.fallback_paths and "3 traces are waiting to be stored" not in tally.failure
            assert "1 traces are waiting to be stored already" in tally.failure
        saver.finish(1)

    assert (tally.stored, tally.lost, len(tally.fallback_paths)) == (0, 0, 3)
    assert "database is locked" in tally.failure
    assert tally.fallback_directories() == [os.path.dirname(db_path)]
    written = {}
    for path in tally.fallback_paths:
        assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
        with open(path, "rb") as file:
            data = file.read()
        written[msgpack.unpackb(data)["trace_id"]] = data
    assert written == documents


def test_a_lock_released_within_the_busy_timeout_lets_the_documents_in(db_path):
    saver = background.BackgroundSaver()

    with locked_database(db_path):
        tally, documents = handed_over(saver, db_path, 2)
        time.sleep(2 * background.ATTEMPT_SECONDS)  # the saver tries and finds the lock taken

    assert saver.flush(30)
    assert (tally.stored, tally.fallback_paths) == (2, [])
    assert {entry.trace_id for entry in store.list_traces(db_path)} == set(documents)


@pytest.mark.parametrize("in_place", [False, True], ids=["native save", "Profiler.save"])
def test_saves_into_an_attached_database_go_through_the_saver_but_in_place_ones(db_path, in_place):
    tally = background.Tally()
    background.attach(db_path, tally)
    try:
        with locked_database(db_path):
            if in_place:
                # Profiler.save() stores before it returns: it waits for the lock, and fails.
                profiler = Profiler(config={"sqlite_busy_timeout": 0}, db_path=db_path)
                profiler.start()
                profiler.stop()
                with pytest.raises(Exception, match="locked"):
                    profiler.save()
            else:
                db.save_trace_in_sqlite(db_path, "trc_native", timeout=60, msgpack=document(1))
            background.saver().finish(1)
    finally:
        background.detach(db_path)

    assert len(tally.fallback_paths) == (0 if in_place else 1)
    assert background.attached(db_path) is None


@pytest.mark.parametrize("locked", [False, True], ids=["stored", "fallback file"])
def test_a_document_keeps_the_directory_it_was_handed_over_from(db_path, tmp_path, monkeypatch, locked):
    saver = background.BackgroundSaver()
    handed_from, later = tmp_path / "handed", tmp_path / "later"
    handed_from.mkdir()
    later.mkdir()

    with locked_database(db_path) if locked else contextlib.nullcontext():
        monkeypatch.chdir(handed_from)
        tally, _ = handed_over(saver, db_path, 1, timeout=0)
        monkeypatch.chdir(later)
        saver.finish(1)

    if locked:
        (path,) = tally.fallback_paths
        assert store.read_working_directory(path) == str(handed_from)
    else:
        assert [entry.working_directory for entry in store.list_traces(db_path)] == [str(handed_from)]
