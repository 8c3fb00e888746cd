"""`zelm stats` on a recorded trace of about a million frame records: its
time and its peak memory against the size of the stored document.

    python bench/stats_scale.py [--records N] [--rounds R] [--db PATH]

Records PROGRAM (request handlers calling nested helpers, a recursive
function among them) with `zelm run --trace-budget none`, then runs
`zelm stats latest --format json` R times, each in a process of its own,
and reads each one's wall time and peak resident memory (ru_maxrss of
that child, from os.wait4). The trace is indexed from its stored bytes by
the native reader: no argument, local or return value is decoded.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

from zelm import store

# The command-line benchmark's program: request handlers calling nested
# helpers, CALLS_PER_HANDLER calls each.
from cli_scale import CALLS_PER_HANDLER, PROGRAM  # noqa: E402


def run_stats(db_path, directory):
    """(seconds, peak resident MiB) of one `zelm stats` process."""
    started = time.perf_counter()
    with open(os.devnull, "wb") as devnull:
        child = subprocess.Popen([sys.executable, "-m", "zelm", "stats", "latest", "--db", db_path, "--format", "json"],
                                 cwd=directory, stdout=devnull)
        _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.perf_counter() - started
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        raise SystemExit(f"zelm stats failed with status {child.returncode}")
    return elapsed, usage.ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=1_000_000, help="frame records to record (default 1000000)")
    parser.add_argument("--rounds", type=int, default=3, help="runs of zelm stats (default 3)")
    parser.add_argument("--db", help="the database to write (default: a temporary file)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as directory:
        db_path = args.db or os.path.join(directory, "stats.sqlite3")
        with open(os.path.join(directory, "prog.py"), "w") as program:
            program.write(PROGRAM)
        handlers = max(1, (args.records // 2 - 2) // CALLS_PER_HANDLER)
        started = time.perf_counter()
        subprocess.run([sys.executable, "-m", "zelm", "run", "--trace-budget", "none", "--db", db_path, "prog.py",
                        str(handlers)], cwd=directory, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        recorded = time.perf_counter() - started
        stored = store.list_traces(db_path)[0]
        print(f"recorded {stored.record_count} records ({handlers} handlers) in {recorded:.1f} s; "
              f"document {stored.size_bytes / 2**20:.1f} MiB")
        runs = [run_stats(db_path, directory) for _ in range(args.rounds)]
        times, peaks = [run[0] for run in runs], [run[1] for run in runs]
        print(f"zelm stats: median {statistics.median(times):.2f} s (best {min(times):.2f} s) over {args.rounds} runs; "
              f"peak resident {max(peaks):.0f} MiB = {max(peaks) * 2**20 / stored.size_bytes:.2f}x the document")


if __name__ == "__main__":
    main()
