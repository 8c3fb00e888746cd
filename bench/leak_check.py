"""Repeated-run leak check: resident memory across many profiling sessions.

    python bench/leak_check.py [--rounds N] [--limit KIB]

Each round registers a new profiler, runs a small workload with a thread,
a generator and a failing serialisation, builds the trace and drops
everything. Resident memory should settle after the first rounds; a steady
climb per round points at a leak in the native module. The check exits 1
when resident memory grew by more than KIB per round after the first quarter
of the rounds (a round's trace alone is about 70 KiB, so losing it, or a
small object on each of its events, is well over the default).
"""
import argparse
import gc
import logging
import os
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
    """Resident memory now (Linux). The peak that getrusage reports would
    hide any growth smaller than what the start-up alone once took."""
    with open("/proc/self/statm") as statm:
        resident_pages = int(statm.read().split()[1])
    return resident_pages * os.sysconf("SC_PAGE_SIZE") // 1024


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=400)
    parser.add_argument("--limit", type=float, default=4.0,
                        help="KiB of growth per round that fails the check (default 4)")
    args = parser.parse_args(argv)
    logging.getLogger("zelm").disabled = True
    readings = []
    for round_number in range(1, args.rounds + 1):
        traced(workload, source="leak-check")
        gc.collect()
        if round_number % (args.rounds // 4) == 0:
            readings.append((round_number, rss_kib()))
    for round_number, kib in readings:
        print(f"after {round_number:5d} rounds: RSS {kib / 1024:.1f} MiB")
    growth = readings[-1][1] - readings[0][1]
    per_round = growth / (readings[-1][0] - readings[0][0])
    print(f"growth after the first quarter: {growth} KiB ({per_round:.2f} KiB per round) on CPython {sys.version.split()[0]}")
    if per_round > args.limit:
        print(f"leak: memory grew by more than {args.limit} KiB per round")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
