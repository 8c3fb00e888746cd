"""Repeated-run leak check: resident memory across many profiling sessions.

    python bench/leak_check.py [--rounds N]

Each round registers a new profiler, runs a small workload with a thread,
a generator and a failing serialisation, builds the trace and drops
everything. Resident memory should settle after the first rounds; a steady
climb per round points at a leak in the native module.
"""
import argparse
import gc
import logging
import resource
import sys
import threading

from bench_host import traced


class Unserialisable:
    def __repr__(self):
        raise RuntimeError("no repr")


def numbers(n):
    for i in range(n):
        yield i * i


def workload():
    total = sum(numbers(50))
    worker = threading.Thread(target=lambda: sorted(str(i) for i in range(50)))
    worker.start()
    worker.join()
    values = {"total": total, "odd": Unserialisable()}
    return len(values)


def rss_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=400)
    args = parser.parse_args()
    logging.getLogger("zelm").disabled = True
    readings = []
    for round_number in range(1, args.rounds + 1):
        traced(workload, source="leak-check")
        gc.collect()
        if round_number % (args.rounds // 4) == 0:
            readings.append((round_number, rss_kib()))
    for round_number, kib in readings:
        print(f"after {round_number:5d} rounds: max RSS {kib / 1024:.1f} MiB")
    growth = readings[-1][1] - readings[0][1]
    per_round = growth / (readings[-1][0] - readings[0][0])
    print(f"growth after the first quarter: {growth} KiB ({per_round:.2f} KiB per round) on CPython {sys.version.split()[0]}")


if __name__ == "__main__":
    main()
