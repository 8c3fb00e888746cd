"""The trace document, byte for byte, and handing it to the host's store."""

import os
import struct
import sys
import threading
import time
import types

import msgpack
import pytest

import zelm.db
import zelm.git
import zelm.version
from conftest import decode, echo, frame_records

TRACE_ID = "trc_01KC0ABCDEFGHJKMNPQRSTVWXY"


def echo_times(count):
    def run():
        for index in range(count):
            echo(index)
    return run


def raw_map_entries(data):
    """A map's entries as (key, raw key bytes, raw value bytes), in written order."""
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False)
    unpacker.feed(data)
    entries = []
    for _ in range(unpacker.read_map_header()):
        key_start = unpacker.tell()
        key = unpacker.unpack()
        value_start = unpacker.tell()
        unpacker.skip()
        entries.append((key, data[key_start:value_start], data[value_start:unpacker.tell()]))
    assert unpacker.tell() == len(data)
    return entries


@pytest.fixture
def host_facts(monkeypatch):
    """Fixed command line, commit and version; returns a setter for them."""
    def set_facts(argv=("app.py",), commit=None, version="1.0"):
        monkeypatch.setattr(sys, "argv", list(argv))
        monkeypatch.setattr(zelm.git, "COMMIT_SHA", commit)
        monkeypatch.setattr(zelm.version, "__version__", version)
    set_facts()
    return set_facts


def empty_document(native, host):
    native.register_profiler(host)
    native.register_noop_profiler()
    return host.rust_profiler.build_trace()


def test_small_document_byte_for_byte(native, make_host, host_facts):
    host = make_host(source="src", trace_id=TRACE_ID)
    before = time.time()
    document = empty_document(native, host)
    after = time.time()

    timestamp = decode(document)["timestamp"]
    assert before <= timestamp <= after
    head = (b"\x88"
            b"\xb1command_line_args\x91\xa6app.py"
            b"\xb2current_commit_sha\xc0"
            b"\xa6frames\x80"
            b"\xb2frames_of_interest\x90"
            b"\xaemain_thread_id")
    tail = (b"\xa4meta\x83\xa7version\xa31.0\xa6source\xa3src\xb4use_frame_boundaries\xc3"
            b"\xa9timestamp\xcb" + struct.pack(">d", timestamp)
            + b"\xa8trace_id\xbe" + TRACE_ID.encode())
    assert document.startswith(head) and document.endswith(tail)
    main_thread_id = msgpack.packb(threading.main_thread().native_id)
    assert document == head + main_thread_id + tail


@pytest.mark.parametrize("argv, commit, expected", [
    ([], "abc", b"\xb1command_line_args\x90\xb2current_commit_sha\xa3abc"),
    (["a", "é" * 20], None, b"\xb1command_line_args\x92\xa1a\xd9\x28" + ("é" * 20).encode() + b"\xb2current_commit_sha\xc0"),
    (["x"] * 16, "f" * 40, b"\xb1command_line_args\xdc\x00\x10" + b"\xa1x" * 16
     + b"\xb2current_commit_sha\xd9\x28" + b"f" * 40),
], ids=["no-argv-with-commit", "long-argument", "sixteen-arguments"])
def test_command_line_and_commit(native, make_host, host_facts, argv, commit, expected):
    host_facts(argv=argv, commit=commit)
    document = empty_document(native, make_host())
    assert document.startswith(b"\x88" + expected + b"\xa6frames\x80")


def test_absent_main_thread_id_is_nil(native, make_host, host_facts, monkeypatch):
    monkeypatch.setattr(threading, "main_thread", lambda: types.SimpleNamespace(native_id=None))
    document = empty_document(native, make_host())
    assert b"\xb2frames_of_interest\x90\xaemain_thread_id\xc0\xa4meta" in document


@pytest.mark.parametrize("calls, header", [(6, b"\x9e"), (7, b"\xdc\x00\x10")])
def test_record_array_header(profile_raw, calls, header):
    # each call of echo gives two records, the run function two more
    document, _ = profile_raw(echo_times(calls))
    entries = {key: value for key, _, value in raw_map_entries(document)}
    records = entries["frames_of_interest"]
    assert records.startswith(header)
    unpacker = msgpack.Unpacker(raw=False)
    unpacker.feed(records[len(header):])
    assert len([record["co_name"] for record in unpacker]) == 2 * calls + 2


def test_thread_entries_use_the_smallest_integer_keys(native, make_host):
    host = make_host(config={"threading": True})
    worker_ids = []

    def worker():
        worker_ids.append(threading.get_native_id())
        echo("worker")

    native.register_profiler(host)
    threads = [threading.Thread(target=worker) for _ in range(2)]
    for thread in threads:
        thread.start()
        thread.join()
    native.register_noop_profiler()
    threading.setprofile(None)

    document = host.rust_profiler.build_trace()
    frames = {key: value for key, _, value in raw_map_entries(document)}["frames"]
    assert frames[0] == 0x82
    thread_entries = raw_map_entries(frames)
    assert sorted(key for key, _, _ in thread_entries) == sorted(worker_ids)
    for key, key_bytes, records in thread_entries:
        assert key_bytes == msgpack.packb(key)
        assert records[0] == 0x94  # call and return of worker and echo
    assert [key for key, _, _ in raw_map_entries(document)] == [
        "command_line_args", "current_commit_sha", "frames", "frames_of_interest",
        "main_thread_id", "meta", "timestamp", "trace_id",
    ]


def test_build_twice_keeps_trace_id_and_timestamp(profile):
    first, host = profile(echo_times(1))
    second = decode(host.rust_profiler.build_trace())
    assert len(frame_records(first)) == 4
    assert second["frames_of_interest"] == [] and second["frames"] == {}
    assert (second["trace_id"], second["timestamp"]) == (first["trace_id"], first["timestamp"])
    assert first["trace_id"] == host.trace_id


# ---- host values that cannot be used -----------------------------------------------

HOST_VALUE_FAILURES = {
    "argv-str": (lambda mp: mp.setattr(sys, "argv", "app.py"), TypeError, "Can't extract `str` to `Vec`"),
    "argv-non-str-item": (lambda mp: mp.setattr(sys, "argv", ["app.py", 3]), TypeError, None),
    "argv-not-a-sequence": (lambda mp: mp.setattr(sys, "argv", 3), TypeError, None),
    "version-not-str": (lambda mp: mp.setattr(zelm.version, "__version__", 1), TypeError, None),
    "version-missing": (lambda mp: mp.delattr(zelm.version, "__version__"), AttributeError, None),
    "commit-not-str": (lambda mp: mp.setattr(zelm.git, "COMMIT_SHA", b"abc"), TypeError, None),
    "version-module-unimportable": (lambda mp: mp.setitem(sys.modules, "zelm.version", None), ImportError, None),
    "git-module-unimportable": (lambda mp: mp.setitem(sys.modules, "zelm.git", None), ImportError, None),
}


@pytest.mark.parametrize("method", ["build_trace", "save_request_in_db"])
@pytest.mark.parametrize("failure", list(HOST_VALUE_FAILURES))
def test_unusable_host_values_leave_the_buffers_intact(native, make_host, saved_traces, method, failure):
    breaks, error_type, message = HOST_VALUE_FAILURES[failure]
    host = make_host()
    native.register_profiler(host)
    echo("kept")
    native.register_noop_profiler()

    with pytest.MonkeyPatch.context() as broken:
        breaks(broken)
        with pytest.raises(error_type) as raised:
            getattr(host.rust_profiler, method)()
    if message is not None:
        assert str(raised.value) == message
    assert saved_traces == []
    records = frame_records(decode(host.rust_profiler.build_trace()), "echo")
    assert [r["arg"] for r in records] == [None, "kept"]


def test_arguments_that_are_not_utf8_are_recorded_escaped(profile, monkeypatch):
    # As python decodes them: each undecodable byte becomes a lone surrogate.
    monkeypatch.setattr(sys, "argv", [os.fsdecode(b"caf\xe9.py"), os.fsdecode(b"\xff"), "plain", "\ud800"])
    doc, _ = profile(echo_times(1))
    assert doc["command_line_args"] == ["caf\\udce9.py", "\\udcff", "plain", "\\ud800"]
    assert len(frame_records(doc, "echo")) == 2


# ---- saving through the host ---------------------------------------------------------


@pytest.mark.parametrize("config, timeout, db_name", [
    ({}, 60, b"traces.sqlite3"),
    ({"sqlite_busy_timeout": 5}, 5, b"traces.sqlite3"),
    ({}, 60, b"caf\xe9.sqlite3"),  # a path that is not UTF-8 names the same file
], ids=["default", "timeout", "path-not-utf8"])
def test_save_request_in_db_calls_the_store(native, make_host, saved_traces, tmp_path, config, timeout, db_name):
    host = make_host(config=config, db_path=os.path.join(str(tmp_path), os.fsdecode(db_name)))
    native.register_profiler(host)
    native.register_noop_profiler()

    assert host.rust_profiler.save_request_in_db() is None
    [(args, kwargs)] = saved_traces
    assert args == (host.db_path, host.trace_id)
    assert all(type(arg) is str for arg in args)
    assert sorted(kwargs) == ["msgpack", "timeout"]
    assert kwargs["timeout"] == timeout and type(kwargs["timeout"]) is int
    assert type(kwargs["msgpack"]) is bytes and kwargs["msgpack"][0] == 0x88


def test_saved_document_holds_the_records_and_empties_the_buffers(native, make_host, saved_traces):
    host = make_host()
    native.register_profiler(host)
    echo("saved")
    native.register_noop_profiler()

    host.rust_profiler.save_request_in_db()
    [(_, kwargs)] = saved_traces
    saved = decode(kwargs["msgpack"])
    assert [r["arg"] for r in frame_records(saved, "echo")] == [None, "saved"]
    after = decode(host.rust_profiler.build_trace())
    assert after["frames_of_interest"] == [] and after["frames"] == {}
    assert (after["trace_id"], after["timestamp"]) == (saved["trace_id"], saved["timestamp"])


@pytest.mark.parametrize("in_thread", [False, True], ids=["main-thread", "own-thread-buffer"])
def test_failing_save_puts_the_records_back_ahead_of_newer_ones(native, make_host, saved_traces, in_thread):
    # The save function here is ordinary traced code: its own call and
    # return are filed while the taken records are out of the buffers.
    saved_traces.error = RuntimeError("database is locked")
    host = make_host(config={"threading": in_thread})
    raised = []

    def run():
        echo("before")
        try:
            host.rust_profiler.save_request_in_db()
        except RuntimeError as error:
            raised.append(error)
        echo("after")

    native.register_profiler(host)
    if in_thread:
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    else:
        run()
    native.register_noop_profiler()
    threading.setprofile(None)

    assert raised == [saved_traces.error]
    [(_, kwargs)] = saved_traces
    assert [(r["co_name"], r["event"]) for r in frame_records(decode(kwargs["msgpack"]))] == [
        ("run", "call"), ("echo", "call"), ("echo", "return"),
    ]
    doc = decode(host.rust_profiler.build_trace())
    buffers = list(doc["frames"].values()) if in_thread else [doc["frames_of_interest"]]
    # The failing save also left an "exception" record after its return.
    assert [[(r["co_name"], r["event"], r["arg"]) for r in buffer if r["type"] == "frame"]
            for buffer in buffers] == [[
        ("run", "call", None), ("echo", "call", None), ("echo", "return", "before"),
        ("save_trace_in_sqlite", "call", None), ("save_trace_in_sqlite", "return", None),
        ("echo", "call", None), ("echo", "return", "after"),
        ("run", "return", None),
    ]]


@pytest.mark.parametrize("fallback_path, kept_in_buffers", [
    ("/var/tmp/traces.sqlite3.01ID.msgpack", False),
    (None, True),
], ids=["written-to-a-file", "no-file-either"])
def test_a_failed_save_whose_document_went_to_a_file_is_not_saved_again(
        native, make_host, saved_traces, fallback_path, kept_in_buffers):
    failure = RuntimeError("database is locked")
    failure.fallback_path = fallback_path
    saved_traces.error = failure
    host = make_host()
    native.register_profiler(host)
    echo("once")
    native.register_noop_profiler()

    with pytest.raises(RuntimeError) as raised:
        host.rust_profiler.save_request_in_db()
    assert raised.value is failure
    records = frame_records(decode(host.rust_profiler.build_trace()), "echo")
    assert [r["arg"] for r in records] == ([None, "once"] if kept_in_buffers else [])


@pytest.mark.parametrize("breaks, error_type", [
    (lambda mp: mp.setattr(zelm.db, "save_trace_in_sqlite", None), TypeError),
    (lambda mp: mp.delattr(zelm.db, "save_trace_in_sqlite"), AttributeError),
    (lambda mp: mp.setitem(sys.modules, "zelm.db", None), ImportError),
], ids=["not-callable", "missing", "module-unimportable"])
def test_unusable_save_function_keeps_the_records(native, make_host, breaks, error_type):
    host = make_host()
    native.register_profiler(host)
    echo("kept")
    native.register_noop_profiler()

    with pytest.MonkeyPatch.context() as broken:
        breaks(broken)
        with pytest.raises(error_type):
            host.rust_profiler.save_request_in_db()
    records = frame_records(decode(host.rust_profiler.build_trace()), "echo")
    assert [r["arg"] for r in records] == [None, "kept"]
