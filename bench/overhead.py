"""Per-event cost of zelm on a recursive workload, next to the do-nothing hook
and cProfile, all in one run.

    python bench/overhead.py [--depth N] [--repeat N] [--lightweight]

Prints, per mode, the best wall time of --repeat runs, its ratio to the
untraced run, the cost per profile event and, for recorded runs, the bytes
per record of the trace document.
"""
import argparse
import cProfile
import os
import sys
import time

import msgpack

from bench_host import traced
from zelm import _zelm


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def best_time(run, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--depth", type=int, default=18)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--lightweight", action="store_true")
    args = parser.parse_args()
    calls = fib_calls(args.depth)
    events = 2 * calls
    this_file = os.path.abspath(__file__)

    def workload():
        fib(args.depth)

    def untraced():
        workload()

    def noop_hook():
        _zelm.register_noop_profiler()
        workload()
        sys.setprofile(None)

    def with_cprofile():
        profiler = cProfile.Profile()
        profiler.enable()
        workload()
        profiler.disable()

    documents = {}

    def zelm_run(name, config):
        def run():
            documents[name] = traced(workload, config)
        return run

    base_config = {"lightweight_repr": args.lightweight}
    modes = [
        ("untraced", untraced),
        ("do-nothing hook", noop_hook),
        ("cProfile", with_cprofile),
        ("zelm, frames filtered out", zelm_run("filtered", {**base_config, "filters": {"ignore_frames": [this_file]}})),
        ("zelm, frames recorded", zelm_run("recorded", base_config)),
    ]
    print(f"CPython {sys.version.split()[0]}, fib({args.depth}): {calls} calls, {events} events, best of {args.repeat}")
    baseline = None
    for name, run in modes:
        seconds = best_time(run, args.repeat)
        baseline = baseline or seconds
        per_event = (seconds - baseline) / events * 1e9
        print(f"  {name:28s} {seconds * 1e3:9.1f} ms  x{seconds / baseline:7.1f}  {per_event:8.0f} ns/event over untraced")
    for name, document in documents.items():
        records = msgpack.unpackb(document, strict_map_key=False)["frames_of_interest"]
        if records:
            print(f"  {name}: {len(records)} records, {len(document) / len(records):.0f} bytes per record")


def fib_calls(n):
    return 1 if n < 2 else 1 + fib_calls(n - 1) + fib_calls(n - 2)


if __name__ == "__main__":
    main()
