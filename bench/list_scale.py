"""The viewer's list of traces for a database of many test traces: the
time of the page's "traces" answer, and of the store's part of it.

    python bench/list_scale.py [--traces N] [--records N] [--rounds N]

Stores N one-test traces (a failing one in ten) of about --records frame
records each, as `pytest --zelm` saves them, then times, over HTTP to a
viewer served from a thread, the answer the list page asks for (every
trace's duration, threads, records, outcome ...), and list_traces alone.
Then it makes the rows look as a release before the summaries wrote them
and times the first answer (each document read again) and the next one
(kept in memory), and a save that writes their summaries back.
"""

import argparse
import http.client
import os
import sqlite3
import statistics
import sys
import tempfile
import threading
import time

import msgpack

from zelm import store
from zelm.view.server import ViewerServer

MAIN = 4242


def test_document(number, records):
    """One test's trace: its start and end markers around nested calls."""
    start = 1_700_000_000.0 + number
    nodeid = f"tests/test_shop.py::test_case_{number}"

    def plugin(kind, at, **data):
        return {"frame_id": "frm_x", "timestamp": at, "thread": "MainThread", "thread_native_id": MAIN,
                "user_code_call_site": None, "type": kind, **data}

    main = [plugin("start_test", start, nodeid=nodeid, file="tests/test_shop.py")]
    for call in range(records // 2):
        at = start + call * 1e-5
        for event in ("call", "return"):
            main.append({"path": "shop/services.py:12", "co_name": "price", "qualname": "shop.services.price",
                         "event": event, "frame_id": f"frm_{call}", "arg": None,
                         "locals": {"item": "apple", "count": call}, "thread": "MainThread",
                         "thread_native_id": MAIN, "timestamp": at + (5e-6 if event == "return" else 0.0),
                         "type": "frame", "user_code_call_site": None})
    outcome = "failed" if number % 10 == 0 else "passed"
    main.append(plugin("end_test", start + records * 1e-5, nodeid=nodeid, file="tests/test_shop.py",
                       outcome=outcome, phase="call" if outcome == "failed" else None, message=None))
    return msgpack.packb({
        "command_line_args": ["pytest", "--zelm"], "current_commit_sha": None, "frames": {},
        "frames_of_interest": main, "main_thread_id": MAIN,
        "meta": {"version": "bench", "source": "pytest", "use_frame_boundaries": True},
        "timestamp": 1_700_000_000.0, "trace_id": f"trc_{number:026d}",
    })


def answer(port, token):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=300)
    try:
        connection.request("GET", f"/{token}/api/traces")
        reply = connection.getresponse()
        body = reply.read()
        assert reply.status == 200, body
        return body
    finally:
        connection.close()


def timed(function, rounds):
    times = []
    for _ in range(rounds):
        began = time.perf_counter()
        function()
        times.append(time.perf_counter() - began)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--traces", type=int, default=1000)
    parser.add_argument("--records", type=int, default=400)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        db_path = os.path.join(directory, "traces.sqlite3")
        documents = [(f"trc_{number:026d}", test_document(number, args.records)) for number in range(args.traces)]
        began = time.perf_counter()
        for start in range(0, len(documents), 64):  # as the background saver batches them
            store.save_traces_in_sqlite(db_path, documents[start:start + 64], timeout=60)
        saving = time.perf_counter() - began
        size = sum(len(document) for _, document in documents)
        print(f"{args.traces} test traces, {size / 2**20:.1f} MiB of documents, saved in {saving:.2f} s")

        server = ViewerServer(db_path)
        thread = threading.Thread(target=server.serve_forever, daemon=True)
        thread.start()
        try:
            ask = lambda: answer(server.port, server.token)  # noqa: E731
            print(f"list page's answer:        {timed(ask, args.rounds) * 1000:8.1f} ms "
                  f"({len(ask()) / 1024:.0f} KiB of JSON)")
            print(f"store.list_traces alone:   {timed(lambda: store.list_traces(db_path), args.rounds) * 1000:8.1f} ms")

            # Rows as an earlier release left them; a fresh database file,
            # so that no summary is kept in memory from the rounds above.
            old_path = os.path.join(directory, "old.sqlite3")
            with sqlite3.connect(db_path) as source, sqlite3.connect(old_path) as target:
                source.backup(target)
                target.execute("UPDATE traces SET summary = NULL")
            old_server = ViewerServer(old_path)
            threading.Thread(target=old_server.serve_forever, daemon=True).start()
            try:
                began = time.perf_counter()
                answer(old_server.port, old_server.token)
                first = time.perf_counter() - began
                again = timed(lambda: answer(old_server.port, old_server.token), args.rounds)
                print(f"rows without summaries:    {first * 1000:8.1f} ms the first time, {again * 1000:.1f} ms after")
            finally:
                old_server.shutdown()
                old_server.server_close()
            began = time.perf_counter()
            store.save_trace_in_sqlite(old_path, "trc_new", timeout=60, msgpack=documents[0][1])
            with sqlite3.connect(old_path) as connection:
                (left,) = connection.execute("SELECT count(*) FROM traces WHERE summary IS NULL").fetchone()
            print(f"a save into that database: {(time.perf_counter() - began) * 1000:8.1f} ms, "
                  f"{args.traces - left} of {args.traces} summaries written back")
        finally:
            server.shutdown()
            server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
