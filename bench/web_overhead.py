"""Requests per second with and without zelm.web's middleware, under real servers.

    python bench/web_overhead.py [--requests N] [--rounds R]

Starts the test suite's Flask app under waitress and its Starlette app under
uvicorn (tests/web_servers.py, 127.0.0.1 only). The same client sends
/quick/20 requests alternately through the middleware and past it (header
"X-Plain: 1" selects the bare app inside the same server), one at a time and
8 at once, in R interleaved rounds, and prints the best rate of each and the
cost per request through the middleware.

ASGI with interleaving: rounds of --at-once /interleave requests sent
together to the Starlette app, each waiting for all of its round to arrive
and then running on the loop in turns with the others (a BaseHTTPMiddleware,
tasks, gather, an anyio task group, a streamed body and a background task
each), through the middleware (every one traced) and past it.

Each server runs with the middleware's options of each setting: every
trace kept; keep rules that drop 99% of the traces (recorded, then
discarded: keep={"sample": 0.01}); head sampling of 1% (sample=0.01: the
others are not recorded at all).

Then the cost of storing what the middleware hands its background saver,
in a SQLite file and in PostgreSQL (a server of its own on 127.0.0.1, as the
tests start one but writing to disk as a real one does; skipped without
PostgreSQL or psycopg): the document of one traced /quick/20 request stored
N times, through the saver (several per transaction, as the middleware
stores them) and one save at a time.
"""
import argparse
import asyncio
import itertools
import json
import os
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

import httpx

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))

from test_web import start_server, stop_server  # noqa: E402
from web_servers import OPTIONS_VARIABLE  # noqa: E402

CONCURRENCY = 8
# The middleware's options of each setting measured.
SETTINGS = {
    "all kept": {},
    "keep 1%": {"keep": {"sample": 0.01}},
    "sample 1%": {"sample": 0.01},
}


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


def measure(kind, setting, requests, rounds):
    os.environ[OPTIONS_VARIABLE] = json.dumps(SETTINGS[setting])
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
                    print(f"{kind:9}  {setting:9}  {concurrency} at once  without: {best[True]:7.0f} req/s"
                          f"  with: {best[False]:7.0f} req/s  ratio {best[True] / best[False]:.2f}"
                          f"  (+{extra:.0f} us per request)")
        finally:
            stop_server(process)


def measure_interleaving(at_once, rounds):
    os.environ[OPTIONS_VARIABLE] = "{}"
    round_names = itertools.count()

    async def request(port, path, plain):
        # A bare HTTP/1.1 exchange, one connection each: httpx's async client
        # spends more time than the server here.
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        plain_header = "X-Plain: 1\r\n" if plain else ""
        writer.write(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n{plain_header}Connection: close\r\n\r\n".encode())
        response = await reader.read()
        writer.close()
        if not response.startswith(b"HTTP/1.1 200 "):
            raise RuntimeError(f"{path}: {response[:200]!r}")

    async def rate(port, plain):
        round_name = next(round_names)
        start = time.perf_counter()
        await asyncio.gather(*(request(port, f"/interleave/{n}?round={round_name}&of={at_once}", plain)
                               for n in range(at_once)))
        return at_once / (time.perf_counter() - start)

    async def best_rates(port):
        await rate(port, plain=False)  # warm up both paths
        await rate(port, plain=True)
        best = {True: 0.0, False: 0.0}
        for _ in range(rounds):
            for plain in (True, False):
                best[plain] = max(best[plain], await rate(port, plain))
        return best

    with tempfile.TemporaryDirectory() as directory:
        process, base_url = start_server("starlette", os.path.join(directory, "traces.sqlite3"))
        try:
            best = asyncio.run(best_rates(int(base_url.rsplit(":", 1)[1])))
        finally:
            stop_server(process)
    extra = (1 / best[False] - 1 / best[True]) * 1e6
    print(f"starlette  interleaving  {at_once} at once  without: {best[True]:7.0f} req/s"
          f"  with: {best[False]:7.0f} req/s  ratio {best[True] / best[False]:.2f}  (+{extra:.0f} us per request)")


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
    parser.add_argument("--at-once", type=int, default=50, help="interleaving ASGI requests per round")
    args = parser.parse_args()
    print(f"CPython {sys.version.split()[0]}, {args.requests} requests per measurement, best of {args.rounds}")
    for kind in ("flask", "starlette"):
        for setting in SETTINGS:
            measure(kind, setting, args.requests, args.rounds)
    measure_interleaving(args.at_once, 2 * args.rounds)
    measure_saving(args.saves)


if __name__ == "__main__":
    main()
