"""A real package's own test suite: untraced, under `pytest --zelm`, and under VizTracer.

    python bench/real_suite.py [--rounds N] [--configurations NAMES] [--memory-limit GIB]
                               [--workdir DIR] [--output FILE]

Fetches the source release of more-itertools (pure Python, generator-heavy,
about 660 tests, some with big integers and long iterables) from PyPI with
pip, once, into the work directory, and runs its whole suite, each pytest in
a process of its own, in these configurations: untraced; under `pytest
--zelm` with zelm's defaults (one trace per test saved in SQLite, each cut by
the trace budget) and with "lightweight_repr"; under VizTracer's command
line, default and with --log_func_args --log_func_retval (when VizTracer is
installed; it keeps only its last 1,000,000 entries and writes its JSON at
the end). The configurations alternate within each round and the median of
the rounds is kept; --configurations picks some of them.

Per configuration: the CPU time (user + system) and the wall time of the
pytest process, their ratios to the untraced run (and zelm's CPU ratio ÷
VizTracer default's: zelm's slowdown against VizTracer's), its peak
resident memory and its outcome, which must be the untraced run's; for
zelm, the stored size of the traces, how many traces the trace budget cut
and how many events it dropped. Writes them as JSON (bench/results/suite-3.X.json, which
bench/report.py tables) and exits 1 when a zelm run ends with another
outcome than the untraced one; a peer tool that fails (VizTracer with
arguments outgrows the memory limit) is reported, not fatal.

Every run is under an address-space limit (--memory-limit, default 6 GiB)
and stopped after 20 minutes, so that a run that grows without bound fails
on its own instead of exhausting the machine.
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
UNTRACED = "untraced"

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH_DIR)
MIB = 1024 * 1024
LOG_NAME = re.compile(r"\W+")
# A run still going after this long is stopped and counted as failed.
RUN_TIMEOUT = 20 * 60

# The counts of pytest's summary line ("663 passed, 1 skipped, 2332 subtests passed in 3.4s").
OUTCOME_WORDS = re.compile(r"(\d+) (subtests passed|subtests failed|passed|failed|skipped|errors?|xfailed|xpassed)")


def fetch_source(workdir, package, version, tests, directory=None):
    """The directory of a package's unpacked source release (``directory``,
    by default PACKAGE-VERSION), holding its tests, fetched once."""
    source = os.path.join(workdir, directory or f"{package}-{version}")
    if os.path.isdir(os.path.join(source, tests)):
        return source
    os.makedirs(workdir, exist_ok=True)
    subprocess.run(
        [sys.executable, "-m", "pip", "download", "-q", "--no-binary", ":all:", "--no-deps",
         "-d", workdir, f"{package}=={version}"],
        check=True,
    )
    [archive] = [name for name in os.listdir(workdir)
                 if name.endswith(f"-{version}.tar.gz") and name.lower().replace("_", "-").startswith(package.lower())]
    with tarfile.open(os.path.join(workdir, archive)) as tar:
        if hasattr(tarfile, "data_filter"):
            tar.extractall(workdir, filter="data")
        else:
            tar.extractall(workdir)
    return source


def configurations(scratch):
    """{name: (pytest process arguments, trace database or None)}."""
    # The package's own pyproject.toml as the configuration, so that pytest
    # does not take this repository's and the node ids start at the package
    # ("--config-file=" in one word: VizTracer's command line passes it on).
    pytest = ["-m", "pytest", "-q", "-p", "no:cacheprovider", "--rootdir=.", "--config-file=pyproject.toml", SUITE]
    zelm_db = os.path.join(scratch, "traces.sqlite3")
    zelm = [*pytest, "--zelm", "--zelm-db", zelm_db]
    viztracer = ["-m", "viztracer", "--quiet", "-o", os.path.join(scratch, "viztracer.json")]
    configs = {
        UNTRACED: (pytest, None),
        "pytest --zelm": (zelm, zelm_db),
        "pytest --zelm lightweight_repr": ([*zelm, "--zelm-lightweight-repr"], zelm_db),
    }
    if has_viztracer():
        configs["VizTracer"] = ([*viztracer, *pytest], None)
        configs["VizTracer args+retval"] = ([*viztracer, "--log_func_args", "--log_func_retval", *pytest], None)
    return configs


def has_viztracer():
    return subprocess.run([sys.executable, "-c", "import viztracer"], capture_output=True).returncode == 0


def run_once(argv, source, scratch, limit_bytes, log_path):
    """CPU seconds, wall seconds, peak RSS, exit status and outcome of one
    suite run, whose output goes to log_path."""
    for name in os.listdir(scratch):
        os.remove(os.path.join(scratch, name))

    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (limit_bytes, limit_bytes))

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
    """The counts of pytest's summary line, warnings left out."""
    for line in reversed(output.splitlines()):
        if re.search(r" in [\d.]+s( \(.*\))?\s*=*$", line) and OUTCOME_WORDS.search(line):
            return {word: int(count) for count, word in OUTCOME_WORDS.findall(line)}
    return None


def stored_traces(db_path):
    """The traces of a trace database: their number, the bytes of their
    documents and of the database file, how many the trace budget cut and
    how many events it dropped (as the store lists them)."""
    from zelm import store

    stored = store.list_traces(db_path)
    cut = [entry.dropped_events for entry in stored if entry.dropped_events is not None]
    return {"traces": len(stored), "document_bytes": sum(entry.size_bytes for entry in stored),
            "database_file_bytes": os.path.getsize(db_path), "traces_cut": len(cut), "events_dropped": sum(cut)}


def describe(name, entry):
    line = (f"{name:32s} {entry['cpu_s']:7.1f} s CPU (x{entry['ratio']:5.1f})  {entry['wall_s']:7.1f} s wall  "
            f"peak RSS {entry['peak_rss_bytes'] / MIB:6.0f} MiB  "
            + ("same outcome" if entry["same_outcome_as_untraced"]
               else f"OUTCOME DIFFERS: exit {entry['status']}, {entry['outcome']}"))
    stored = entry.get("stored")
    if stored:
        line += (f"\n{'':32s} {stored['traces']} traces: documents {stored['document_bytes'] / MIB:.1f} MiB, "
                 f"database file {stored['database_file_bytes'] / MIB:.1f} MiB; "
                 f"{stored['traces_cut']} cut by the trace budget, {stored['events_dropped']} events dropped")
    return line


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--configurations", help="comma-separated names, e.g. 'pytest --zelm,VizTracer'; "
                                                 "the untraced run is always there")
    parser.add_argument("--memory-limit", type=float, default=6.0, metavar="GIB",
                        help="address-space limit of each pytest process (default 6)")
    parser.add_argument("--workdir", default=os.path.join(ROOT, "build", "bench-suite"))
    parser.add_argument("--output", default=os.path.join(
        BENCH_DIR, "results", f"suite-{sys.version_info[0]}.{sys.version_info[1]}.json"))
    args = parser.parse_args()
    source = fetch_source(args.workdir, PACKAGE, VERSION, SUITE)
    limit_bytes = int(args.memory_limit * 1024 * MIB)
    version = f"{sys.version_info[0]}.{sys.version_info[1]}"
    scratch = os.path.join(args.workdir, f"scratch-{version}")
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    configs = configurations(scratch)
    if args.configurations:
        wanted = [UNTRACED, *(name.strip() for name in args.configurations.split(","))]
        unknown = [name for name in wanted if name not in configs]
        if unknown:
            parser.error(f"unknown configurations {unknown}; there are {list(configs)}")
        configs = {name: configs[name] for name in dict.fromkeys(wanted)}
    # The suite runs in its own directory: paths the caller gave relative to its own must still hold.
    os.environ["PYTHONPATH"] = os.pathsep.join(
        os.path.abspath(path) for path in os.environ.get("PYTHONPATH", "").split(os.pathsep) if path)
    print(f"{PACKAGE} {VERSION} test suite, Python {sys.version.split()[0]}, {args.rounds} round(s); "
          f"address-space limit {args.memory_limit:g} GiB; logs in {args.workdir}", flush=True)

    names = list(configs)
    runs = {name: [] for name in names}
    stored = {}
    for round_number in range(args.rounds):
        shift = round_number % len(names)
        for name in names[shift:] + names[:shift]:
            argv, db_path = configs[name]
            log_path = os.path.join(args.workdir, f"{version}-{LOG_NAME.sub('_', name)}.log")
            run = run_once(argv, source, scratch, limit_bytes, log_path)
            runs[name].append(run)
            if db_path and os.path.exists(db_path):
                # The same suite gives the same traces every round: the last round's stand.
                stored[name] = stored_traces(db_path)
            print(f"  round {round_number + 1} {name}: {run['cpu']:.1f} s CPU, exit {run['status']}", flush=True)

    untraced = runs[UNTRACED]
    untraced_cpu = statistics.median(run["cpu"] for run in untraced)
    untraced_wall = statistics.median(run["wall"] for run in untraced)
    expected = (untraced[0]["status"], untraced[0]["outcome"])
    result = {"package": f"{PACKAGE} {VERSION}", "python": sys.version.split()[0], "rounds": args.rounds,
              "memory_limit_bytes": limit_bytes, "configurations": {}}
    for name in names:
        cpu = statistics.median(run["cpu"] for run in runs[name])
        wall = statistics.median(run["wall"] for run in runs[name])
        entry = {
            "cpu_s": cpu, "wall_s": wall, "ratio": cpu / untraced_cpu, "wall_ratio": wall / untraced_wall,
            "peak_rss_bytes": statistics.median(run["peak_rss"] for run in runs[name]),
            "status": runs[name][0]["status"], "outcome": runs[name][0]["outcome"],
            "same_outcome_as_untraced": expected[1] is not None
            and all((run["status"], run["outcome"]) == expected for run in runs[name]),
        }
        if name in stored:
            entry["stored"] = stored[name]
        result["configurations"][name] = entry
        print(describe(name, entry), flush=True)
    entries = result["configurations"]
    for name in ("pytest --zelm", "pytest --zelm lightweight_repr"):
        if name in entries and "VizTracer" in entries:
            # The slowdowns side by side: zelm's ÷ VizTracer default's.
            entries[name]["slowdown_over_viztracer"] = entries[name]["ratio"] / entries["VizTracer"]["ratio"]
            print(f"{name} slowdown ÷ VizTracer's: {entries[name]['slowdown_over_viztracer']:.2f}", flush=True)
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
    with open(args.output, "w") as output:
        json.dump(result, output, indent=1)
    print(f"wrote {args.output}")
    zelm_runs = [entry for name, entry in result["configurations"].items() if name.startswith("pytest --zelm")]
    return 0 if all(entry["same_outcome_as_untraced"] for entry in zelm_runs) else 1


if __name__ == "__main__":
    sys.exit(main())
