"""Time traced / time untraced for the shipped example program.

    python bench/example_overhead.py [--repeat N]

Runs examples/shop_app.py's main() repeatedly, untraced and under zelm (with
threads followed), and prints the best times and their ratio. Run it with
each interpreter to compare versions.
"""
import argparse
import contextlib
import io
import os
import sys
import time

from bench_host import traced

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "examples"))

import shop_app  # noqa: E402


def run_untraced():
    shop_app.main()


def run_traced():
    return traced(shop_app.main)


def best(run, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
            run()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=50)
    args = parser.parse_args()
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        run_untraced()  # imports and caches out of the way
    untraced = best(run_untraced, args.repeat)
    traced = best(run_traced, args.repeat)
    print(f"CPython {sys.version.split()[0]}: untraced {untraced * 1e3:.2f} ms, "
          f"traced {traced * 1e3:.2f} ms, ratio {traced / untraced:.1f}")


if __name__ == "__main__":
    main()
