"""A real package's own test suite under `pytest --zelm`.

    python bench/real_suite.py [--workdir DIR] [--memory-limit GIB]

Fetches the source release of more-itertools (pure Python, generator-heavy,
tests with big integers and long iterables) from PyPI with pip, once, into
the work directory, and runs its test suite three times, each pytest in a
process of its own: untraced, under `pytest --zelm` with zelm's defaults,
and with "lightweight_repr". Per run it prints the wall time, the peak
resident memory of the pytest process and the outcome; for the traced runs
also the stored size of the traces, how many traces the trace budget cut
and how many events it dropped. Exits 1 when a traced run ends with another
outcome than the untraced one, or when a run fails outright.

The pytest process runs under an address-space limit (--memory-limit,
default 6 GiB), so that a run that grows without bound fails on its own
instead of exhausting the machine.
"""
import argparse
import json
import os
import re
import resource
import subprocess
import sys
import tarfile
import time

PACKAGE = "more-itertools"
VERSION = "10.5.0"
SUITE = "tests"

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
MIB = 1024 * 1024

# Counts of the pytest summary line ("663 passed, 1 skipped, 2332 subtests passed in 3.4s").
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
    [archive] = [name for name in os.listdir(workdir) if name.endswith(".tar.gz")]
    with tarfile.open(os.path.join(workdir, archive)) as tar:
        tar.extractall(workdir, filter="data") if hasattr(tarfile, "data_filter") else tar.extractall(workdir)
    return source


def measure(argv, limit_bytes):
    """Runs argv as a child with its address space limited and prints, as
    JSON, its exit status, wall time and peak RSS. Called in a process of
    its own, so that the peak is this one child's."""
    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (limit_bytes, limit_bytes))

    started = time.perf_counter()
    status = subprocess.run(argv, preexec_fn=limit).returncode
    wall = time.perf_counter() - started
    peak_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    print(json.dumps({"status": status, "wall": wall, "peak_rss": peak_kib * 1024}))


def pytest_options():
    """The zelm options `pytest --help` offers."""
    help_text = subprocess.run(
        [sys.executable, "-m", "pytest", "--help"], capture_output=True, text=True, check=True,
    ).stdout
    return set(re.findall(r"--(?:zelm|trace)[\w-]*", help_text))


def traced_arguments(db_path, lightweight, options, env):
    """`pytest --zelm` arguments for a run; settings the plugin has no option
    for yet go through the config plugin beside this script."""
    args = ["--zelm", "--zelm-db", db_path]
    extra = {}
    lightweight_option = next((option for option in sorted(options) if "lightweight" in option), None)
    if lightweight and lightweight_option:
        args.append(lightweight_option)
    elif lightweight:
        extra["lightweight_repr"] = True
    if not any("trace-budget" in option for option in options):
        # What the plugin gives by default once it has the option.
        extra["trace_budget_bytes"] = 256 * MIB
    if extra:
        args += ["-p", "zelm_bench_config"]
        env["ZELM_BENCH_CONFIG"] = json.dumps(extra)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [BENCH_DIR, env.get("PYTHONPATH")]))
    return args


def run_suite(source, label, extra_args, env, limit_bytes, log_dir):
    log_path = os.path.join(log_dir, f"{label.replace(' ', '_')}.log")
    argv = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *extra_args, SUITE]
    with open(log_path, "w") as log:
        measured = subprocess.run(
            [sys.executable, os.path.abspath(__file__), "--measure", str(limit_bytes), "--", *argv],
            cwd=source, env=env, stdout=subprocess.PIPE, stderr=log, text=True, check=True,
        )
    # The child's own output went to the log through stderr; the last stdout line is ours.
    result = json.loads(measured.stdout.strip().splitlines()[-1])
    with open(log_path, "a") as log:
        log.write(measured.stdout)
    result["outcome"] = outcome(measured.stdout)
    result["log"] = log_path
    return result


def outcome(output):
    """The counts of pytest's summary line, warnings left out."""
    for line in reversed(output.splitlines()):
        if re.search(r" in [\d.]+s( \(.*\))?\s*=*$", line) and OUTCOME_WORDS.search(line):
            return {word: int(count) for count, word in OUTCOME_WORDS.findall(line)}
    return None


def stored_traces(db_path):
    """(traces, bytes of their documents, traces cut, events dropped) of a
    trace database.

    Only the last record of each document's "frames_of_interest" is decoded:
    the others are skipped without building objects."""
    import msgpack

    from zelm import db

    stored = db.list_traces(db_path)
    cut = dropped = 0
    for entry in stored:
        for document in db.load_trace_documents(db_path, entry.trace_id):
            last = last_main_record(msgpack, document)
            if isinstance(last, dict) and last.get("type") == "trace_cut":
                cut += 1
                dropped += last.get("dropped_events", 0)
    return len(stored), sum(entry.size_bytes for entry in stored), cut, dropped


def last_main_record(msgpack, document):
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, max_buffer_size=len(document) + 1)
    unpacker.feed(document)
    for _ in range(unpacker.read_map_header()):
        if unpacker.unpack() != "frames_of_interest":
            unpacker.skip()
            continue
        count = unpacker.read_array_header()
        for _ in range(count - 1):
            unpacker.skip()
        return unpacker.unpack() if count else None
    return None


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--measure":
        measure(sys.argv[4:], int(sys.argv[2]))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--workdir", default=os.path.join(ROOT, "build", "bench-suite"))
    parser.add_argument("--memory-limit", type=float, default=6.0, metavar="GIB")
    args = parser.parse_args()

    source = fetch_suite(args.workdir)
    limit_bytes = int(args.memory_limit * 1024 * MIB)
    options = pytest_options()
    print(f"{PACKAGE} {VERSION} test suite, Python {sys.version.split()[0]}; address space limit {args.memory_limit:g} GiB")

    runs = [("untraced", False, False), ("zelm default", True, False), ("zelm lightweight_repr", True, True)]
    results = []
    for label, traced, lightweight in runs:
        env = dict(os.environ)
        extra_args = []
        db_path = os.path.join(args.workdir, f"{label.replace(' ', '_')}.sqlite3")
        if traced:
            if os.path.exists(db_path):
                os.remove(db_path)
            extra_args = traced_arguments(db_path, lightweight, options, env)
        result = run_suite(source, label, extra_args, env, limit_bytes, args.workdir)
        line = (f"{label:22} {result['wall']:7.1f} s  peak RSS {result['peak_rss'] / MIB:7.0f} MiB  "
                f"exit {result['status']}  {result['outcome']}")
        if traced and os.path.exists(db_path):
            traces, size, cut, dropped = stored_traces(db_path)
            line += (f"\n{'':22} {traces} traces: documents {size / MIB:.1f} MiB, "
                     f"database file {os.path.getsize(db_path) / MIB:.1f} MiB; "
                     f"{cut} cut by the trace budget, {dropped} events dropped")
        print(line, flush=True)
        results.append(result)

    untraced = results[0]
    failures = [
        label for (label, _, _), result in zip(runs, results)
        if result["outcome"] is None or (result["status"], result["outcome"]) != (untraced["status"], untraced["outcome"])
    ]
    if failures:
        print(f"different outcome from the untraced run: {', '.join(failures)} (logs in {args.workdir})")
        return 1
    print("every run ended with the untraced outcome")
    return 0


if __name__ == "__main__":
    sys.exit(main())
