"""Requests per second with and without zelm.web's middleware, under real servers.

    python bench/web_overhead.py [--requests N] [--rounds R]

Starts the test suite's Flask app under waitress and its Starlette app under
uvicorn (tests/web_servers.py, 127.0.0.1 only). The same client sends
/quick/20 requests alternately through the middleware and past it (header
"X-Plain: 1" selects the bare app inside the same server), one at a time and
8 at once, in R interleaved rounds, and prints the best rate of each and the
cost per traced request. On one event loop only one request is traced at a
time: the concurrent ASGI figure mixes traced and skipped requests.

Then the cost of storing what the middleware hands its background saver,
in a SQLite file and in PostgreSQL (a server of its own on 127.0.0.1, as the
tests start one but writing to disk as a real one does; skipped without
PostgreSQL or psycopg): the document of one traced /quick/20 request stored
N times, through the saver (several per transaction, as the middleware
stores them) and one save at a time.
"""
import argparse
import os
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

import httpx

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))

from test_web import start_server, stop_server  # noqa: E402

CONCURRENCY = 8


def rate(client, requests, concurrency, plain):
    headers = {"X-Plain": "1"} if plain else {}

    def one(_):
        response = client.get("/quick/20", headers=headers)
        response.raise_for_status()

    start = time.perf_counter()
    if concurrency == 1:
        for index in range(requests):
            one(index)
    else:
        with ThreadPoolExecutor(concurrency) as pool:
            list(pool.map(one, range(requests)))
    return requests / (time.perf_counter() - start)


def measure(kind, requests, rounds):
    with tempfile.TemporaryDirectory() as directory:
        process, base_url = start_server(kind, os.path.join(directory, "traces.sqlite3"))
        try:
            limits = httpx.Limits(max_connections=CONCURRENCY, max_keepalive_connections=CONCURRENCY)
            with httpx.Client(base_url=base_url, limits=limits, timeout=60) as client:
                rate(client, 50, 1, plain=False)  # warm up both paths
                rate(client, 50, 1, plain=True)
                for concurrency in (1, CONCURRENCY):
                    best = {True: 0.0, False: 0.0}
                    for _ in range(rounds):
                        for plain in (True, False):
                            best[plain] = max(best[plain], rate(client, requests, concurrency, plain))
                    extra = (1 / best[False] - 1 / best[True]) * 1e6
                    print(f"{kind:9}  {concurrency} at once  without: {best[True]:7.0f} req/s"
                          f"  with: {best[False]:7.0f} req/s  ratio {best[True] / best[False]:.2f}"
                          f"  (+{extra:.0f} us per request)")
        finally:
            stop_server(process)


def request_document(directory):
    """The trace document of one /quick/20 request through the WSGI middleware."""
    import web_servers
    from zelm import store
    from zelm.web import writer

    db_path = os.path.join(directory, "request.sqlite3")
    response = web_servers.flask_app(db_path).test_client().get("/quick/20")
    response.close()
    writer.flush(60)
    (entry,) = store.list_traces(db_path)
    return store.load_trace(db_path, entry.trace_id)


def saving_rates(db, document, count):
    """(traces/s through the background saver, seconds per single save)."""
    from zelm import store
    from zelm.store import background

    saver, tally = background.BackgroundSaver(), background.Tally()
    start = time.perf_counter()
    for number in range(count):
        saver.put(db, f"trc_batched_{number}", document, timeout=60, tally=tally)
        if number % background.BATCH_LIMIT == background.BATCH_LIMIT - 1:
            saver.flush()  # a queue kept short of its limit, which would send traces to files
    saver.flush()
    batched = count / (time.perf_counter() - start)
    assert tally.stored == count, tally.failure
    single = min(count // 4, 200)
    start = time.perf_counter()
    for number in range(single):
        store.save_trace_in_sqlite(db, f"trc_single_{number}", timeout=60, msgpack=document)
    return batched, (time.perf_counter() - start) / single


def measure_saving(count):
    from conftest import PostgresCluster, postgres_programs
    from zelm.store import location

    with tempfile.TemporaryDirectory() as directory:
        document = request_document(directory)
        print(f"storing a /quick/20 request's trace ({len(document)} bytes) {count} times")
        stores = {"sqlite": os.path.join(directory, "traces.sqlite3")}
        cluster = None
        try:
            import psycopg  # noqa: F401

            if postgres_programs() is not None:
                cluster = PostgresCluster(postgres_programs(), durable=True)
                stores["postgresql"] = location.resolve(cluster.url)
        except ImportError:
            pass
        if cluster is None:
            print("postgresql: skipped (no PostgreSQL server programs or no psycopg)")
        try:
            for name, db in stores.items():
                batched, single = saving_rates(db, document, count)
                print(f"{name:10}  through the saver: {batched:7.0f} traces/s   one save at a time: "
                      f"{single * 1e3:6.2f} ms per trace")
        finally:
            if cluster is not None:
                cluster.remove()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=400)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--saves", type=int, default=2000, help="traces stored in each store")
    args = parser.parse_args()
    print(f"CPython {sys.version.split()[0]}, {args.requests} requests per measurement, best of {args.rounds}")
    for kind in ("flask", "starlette"):
        measure(kind, args.requests, args.rounds)
    measure_saving(args.saves)


if __name__ == "__main__":
    main()
