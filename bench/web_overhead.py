"""Requests per second with and without zelm.web's middleware, under real servers.

    python bench/web_overhead.py [--requests N] [--rounds R]

Starts the test suite's Flask app under waitress and its Starlette app under
uvicorn (tests/web_servers.py, 127.0.0.1 only). The same client sends
/quick/20 requests alternately through the middleware and past it (header
"X-Plain: 1" selects the bare app inside the same server), one at a time and
8 at once, in R interleaved rounds, and prints the best rate of each and the
cost per traced request. On one event loop only one request is traced at a
time: the concurrent ASGI figure mixes traced and skipped requests.
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=400)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    print(f"CPython {sys.version.split()[0]}, {args.requests} requests per measurement, best of {args.rounds}")
    for kind in ("flask", "starlette"):
        measure(kind, args.requests, args.rounds)


if __name__ == "__main__":
    main()
