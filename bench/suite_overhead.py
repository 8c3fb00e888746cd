"""A real package's test suite: plain pytest, `pytest --zelm`, and VizTracer.

    python bench/suite_overhead.py [--rounds N] [--workdir DIR] [--output FILE]

Fetches the source release of more-itertools (pure Python, with a suite of
about 660 tests) from PyPI with pip, once, into the work directory, and runs
its suite in a process of its own per run: plain, under `pytest --zelm`
(one trace per test saved in SQLite), and under VizTracer's command line,
default and with --log_func_args --log_func_retval (it writes its JSON at
the end). The configurations alternate within each round and the median of
the rounds is kept; --configurations picks some of them. Per configuration: the CPU time (user + system) and the
wall time of the process, their ratios to the plain run, the peak resident
memory, and the outcome, which must be the plain run's. VizTracer keeps
only its last 1,000,000 entries (its default ring buffer); zelm keeps every
record.
"""
import argparse
import json
import os
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tarfile
import threading
import time

PACKAGE = "more-itertools"
VERSION = "10.5.0"
SUITE = "tests"
# Left out in every configuration, until values and traces are bounded: each
# records its large locals again at every resume of a generator, a trace of
# several GiB for one test (1,000 rounds of a DFT over up to 35 complex
# numbers; a 500 kB bytearray at each of 78,498 primes), which exhausts the
# memory of the test process.
DESELECTED = [
    "tests/test_more.py::DiscreteFourierTransformTests::test_roundtrip",
    "tests/test_recipes.py::SieveTests::test_prime_counts",
]

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH_DIR)
MEMORY_LIMIT = 6 * 1024**3
# A run still going after this long is stopped and counted as failed.
RUN_TIMEOUT = 20 * 60

# The counts of pytest's summary line ("663 passed, 1 skipped, 2332 subtests passed in 3.4s").
OUTCOME_WORDS = re.compile(r"(\d+) (subtests passed|subtests failed|passed|failed|skipped|errors?|xfailed|xpassed)")


def fetch_suite(workdir):
    """The directory of the unpacked source release, fetched once."""
    source = os.path.join(workdir, f"{PACKAGE}-{VERSION}")
    if os.path.isdir(os.path.join(source, SUITE)):
        return source
    os.makedirs(workdir, exist_ok=True)
    subprocess.run(
        [sys.executable, "-m", "pip", "download", "-q", "--no-binary", ":all:", "--no-deps",
         "-d", workdir, f"{PACKAGE}=={VERSION}"],
        check=True,
    )
    [archive] = [name for name in os.listdir(workdir)
                 if name.endswith(f"-{VERSION}.tar.gz") and name.replace("_", "-").startswith(PACKAGE)]
    with tarfile.open(os.path.join(workdir, archive)) as tar:
        if hasattr(tarfile, "data_filter"):
            tar.extractall(workdir, filter="data")
        else:
            tar.extractall(workdir)
    return source


def configurations(scratch):
    # The package's own pyproject.toml as the configuration, so that pytest
    # does not take this repository's and the node ids start at the package.
    pytest = ["-m", "pytest", "-q", "-p", "no:cacheprovider", "--rootdir=.", "--config-file=pyproject.toml",
              *(f"--deselect={test}" for test in DESELECTED), SUITE]
    viztracer = ["-m", "viztracer", "--quiet", "-o", os.path.join(scratch, "viztracer.json")]
    configs = {
        "plain pytest": pytest,
        "pytest --zelm": [*pytest, "--zelm", "--zelm-db", os.path.join(scratch, "traces.sqlite3")],
    }
    if has_viztracer():
        configs["VizTracer"] = [*viztracer, *pytest]
        configs["VizTracer args+retval"] = [*viztracer, "--log_func_args", "--log_func_retval", *pytest]
    return configs


def has_viztracer():
    return subprocess.run([sys.executable, "-c", "import viztracer"], capture_output=True).returncode == 0


def run_once(argv, source, scratch):
    """CPU seconds, wall seconds, peak RSS and outcome of one suite run."""
    for name in os.listdir(scratch):
        os.remove(os.path.join(scratch, name))

    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, MEMORY_LIMIT))

    log_path = f"{scratch}.log"
    with open(log_path, "w") as log:
        started = time.perf_counter()
        child = subprocess.Popen([sys.executable, *argv], cwd=source, stdout=log, stderr=subprocess.STDOUT,
                                 preexec_fn=limit)
        timer = threading.Timer(RUN_TIMEOUT, child.kill)
        timer.start()
        _, status, usage = os.wait4(child.pid, 0)
        timer.cancel()
        wall = time.perf_counter() - started
    with open(log_path) as log:
        output = log.read()
    return {
        "cpu": usage.ru_utime + usage.ru_stime,
        "wall": wall,
        "peak_rss": usage.ru_maxrss * 1024,
        "status": os.waitstatus_to_exitcode(status),
        "outcome": outcome(output),
    }


def outcome(output):
    for line in reversed(output.splitlines()):
        if re.search(r" in [\d.]+s( \(.*\))?\s*=*$", line) and OUTCOME_WORDS.search(line):
            return {word: int(count) for count, word in OUTCOME_WORDS.findall(line)}
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--configurations", help="comma-separated names, e.g. 'plain pytest,pytest --zelm'")
    parser.add_argument("--workdir", default=os.path.join(ROOT, "build", "bench-suite"))
    parser.add_argument("--output", default=os.path.join(
        BENCH_DIR, "results", f"suite-{sys.version_info[0]}.{sys.version_info[1]}.json"))
    args = parser.parse_args()
    source = fetch_suite(args.workdir)
    scratch = os.path.join(args.workdir, f"scratch-{sys.version_info[0]}.{sys.version_info[1]}")
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    configs = configurations(scratch)
    if args.configurations:
        configs = {name: configs[name] for name in ["plain pytest", *args.configurations.split(",")] if name in configs}
    # The suite runs in its own directory: paths the caller gave relative to its own must still hold.
    os.environ["PYTHONPATH"] = os.pathsep.join(os.path.abspath(path) for path in os.environ.get("PYTHONPATH", "").split(os.pathsep) if path)
    names = list(configs)
    runs = {name: [] for name in names}
    for round_number in range(args.rounds):
        shift = round_number % len(names)
        for name in names[shift:] + names[:shift]:
            runs[name].append(run_once(configs[name], source, scratch))
            print(f"  round {round_number + 1} {name}: {runs[name][-1]['cpu']:.1f} s CPU", flush=True)
    plain = runs["plain pytest"]
    plain_cpu = statistics.median(run["cpu"] for run in plain)
    plain_wall = statistics.median(run["wall"] for run in plain)
    result = {"package": f"{PACKAGE} {VERSION}", "python": sys.version.split()[0], "rounds": args.rounds,
              "deselected": DESELECTED,
              "configurations": {}}
    for name in names:
        cpu = statistics.median(run["cpu"] for run in runs[name])
        wall = statistics.median(run["wall"] for run in runs[name])
        same = all((run["status"], run["outcome"]) == (plain[0]["status"], plain[0]["outcome"]) for run in runs[name])
        result["configurations"][name] = {
            "cpu_s": cpu, "wall_s": wall, "ratio": cpu / plain_cpu, "wall_ratio": wall / plain_wall,
            "peak_rss_bytes": statistics.median(run["peak_rss"] for run in runs[name]),
            "outcome": runs[name][0]["outcome"], "same_outcome_as_plain": same,
        }
        print(f"{name:24s} {cpu:7.1f} s CPU (x{cpu / plain_cpu:5.1f})  {wall:7.1f} s wall  "
              f"peak RSS {result['configurations'][name]['peak_rss_bytes'] / 2**20:6.0f} MiB  "
              f"{'same outcome' if same else 'OUTCOME DIFFERS: ' + str(runs[name][0]['outcome'])}", flush=True)
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
    with open(args.output, "w") as output:
        json.dump(result, output, indent=1)
    print(f"wrote {args.output}")
    return 0 if all(entry["same_outcome_as_plain"] for entry in result["configurations"].values()) else 1


if __name__ == "__main__":
    sys.exit(main())
