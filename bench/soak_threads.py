"""Soak: a thread-per-request server under the profiler, watched for growth.

    python bench/soak_threads.py [--requests N] [--concurrency K] [--mode shared|per-request]

Each request runs on a thread of its own: a few dozen recorded calls (a
class, a closure, a generator, a failing call) and then a trace build.
With --mode shared (the default) one profiler, registered with threading
on, sees every request thread come and go, as under `zelm run`; each
request builds (and so empties) the trace at its end. With --mode
per-request each request registers a profiler of its own on its thread,
as the `zelm.enabled` decorator does. K requests run at once.

The process's resident memory is printed every tenth of the run. After the
first fifth (warm-up) it must stay flat: the run fails (exit status 1) when
the last reading exceeds the one after warm-up by more than --tolerance MiB.
"""
import argparse
import gc
import os
import sys
import threading
import time

from zelm import _zelm

from bench_host import Host


def resident_mib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


class Order:
    def __init__(self, customer):
        self.customer = customer
        self.lines = []

    def add(self, item, price):
        self.lines.append((item, price))
        return len(self.lines)

    @property
    def total(self):
        return sum(price for _, price in self.lines)


def prices(count):
    for i in range(count):
        yield i * 0.25


def checked(value):
    if value < 0:
        raise ValueError(value)
    return value


def handle(request_id):
    """About 30 recorded calls."""
    order = Order(f"customer-{request_id}")
    for i, price in enumerate(prices(8)):
        order.add(f"item-{i}", checked(price))
    try:
        checked(-1)
    except ValueError:
        pass
    discount = (lambda total: total * 0.9)(order.total)
    return {"customer": order.customer, "total": discount}


def shared_request(profiler, request_id):
    handle(request_id)
    profiler.build_trace()


def own_profiler_request(request_id):
    host = Host(config={"threading": False}, source="soak")
    _zelm.register_profiler(host)
    try:
        handle(request_id)
    finally:
        _zelm.register_noop_profiler()
    host.rust_profiler.build_trace()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=100_000)
    parser.add_argument("--concurrency", type=int, default=4)
    parser.add_argument("--mode", choices=["shared", "per-request"], default="shared")
    parser.add_argument("--tolerance", type=float, default=2.0, help="MiB allowed after warm-up")
    args = parser.parse_args()

    shared_host = None
    if args.mode == "shared":
        shared_host = Host(config={"threading": True}, source="soak")
        _zelm.register_profiler(shared_host)

    step = max(args.requests // 10, 1)
    warm_up = 2 * step
    readings = []
    started = time.perf_counter()
    done = 0
    while done < args.requests:
        batch = min(args.concurrency, args.requests - done)
        if shared_host is not None:
            threads = [threading.Thread(target=shared_request, args=(shared_host.rust_profiler, done + i))
                       for i in range(batch)]
        else:
            threads = [threading.Thread(target=own_profiler_request, args=(done + i,)) for i in range(batch)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        before = done
        done += batch
        if done // step != before // step:
            gc.collect()
            readings.append((done, resident_mib()))
            print(f"{done:8d} requests  RSS {readings[-1][1]:8.1f} MiB  "
                  f"{time.perf_counter() - started:6.1f} s", flush=True)

    if shared_host is not None:
        _zelm.register_noop_profiler()
        threading.setprofile(None)
    after_warm_up = next(mib for count, mib in readings if count >= warm_up)
    growth = readings[-1][1] - after_warm_up
    print(f"mode {args.mode}, {args.concurrency} at once, CPython {sys.version.split()[0]}: "
          f"{growth:+.1f} MiB after warm-up ({growth * 2**20 / (args.requests - warm_up):.1f} bytes per request)")
    if growth > args.tolerance:
        print(f"FAIL: resident memory kept growing after warm-up (more than {args.tolerance} MiB)")
        sys.exit(1)


if __name__ == "__main__":
    main()
