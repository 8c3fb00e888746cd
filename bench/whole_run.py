"""Whole runs of each workload as a program: `zelm run` against VizTracer's command line.

    python bench/whole_run.py [--rounds N] [--workloads a,b] [--output FILE]

Runs every workload of workloads.py as a program (bench/run_workload.py
NAME), each run a process of its own: untraced, under `zelm run --db DB`
(recording, building the trace, saving it and printing the summary), and
under `viztracer --log_func_args --log_func_retval -o OUT.json` (recording
and writing its JSON). The configurations alternate within each round and
the median of the rounds is kept. Per workload and configuration: the CPU
time (user + system) of the process and its peak resident memory, read by
os.wait4; zelm's ÷ VizTracer's of both. The stored size of the same runs:
zelm's database, on disk and in its pages in use (less those of a database
holding an empty program's trace), and VizTracer's JSON compressed with
gzip (level 6, gzip's default), each per Python call or return event of
the workload.

Then, in a fresh process per round, the workload recorded in-process and
its trace saved the way `zelm run` does it (build_trace, then the store):
the CPU time of the recorded run, of the build and of the save, and the
save's as a share of the recording's. Writes one JSON file
(bench/results/whole_run-3.X.json, which bench/report.py tables). Without
VizTracer the runs and sizes of zelm are still measured and its ratios are
left out.
"""
import argparse
import gzip
import json
import os
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
PROGRAM = os.path.join(BENCH_DIR, "run_workload.py")
UNTRACED = "untraced"
ZELM = "zelm run"
PEER = "viztracer args+retval"
# gzip's own default, what `gzip out.json` gives.
GZIP_LEVEL = 6


def has_viztracer():
    return subprocess.run([sys.executable, "-c", "import viztracer"], capture_output=True).returncode == 0


def commands(scratch, with_viztracer):
    """{configuration: (arguments after the interpreter, the file it writes or None)}."""
    db_path = os.path.join(scratch, "traces.sqlite3")
    json_path = os.path.join(scratch, "viztracer.json")
    found = {
        UNTRACED: ([PROGRAM], None),
        ZELM: (["-m", "zelm", "run", "--db", db_path, PROGRAM], db_path),
    }
    if with_viztracer:
        found[PEER] = (["-m", "viztracer", "--quiet", "--log_func_args", "--log_func_retval", "-o", json_path,
                        PROGRAM], json_path)
    return found


def run_once(argv, workload, scratch):
    """CPU seconds and peak RSS bytes of one whole run. The peak is at least
    this process's resident size at the fork: this process stays small."""
    for name in os.listdir(scratch):
        os.remove(os.path.join(scratch, name))
    # A file, not a pipe: a child that fills a pipe nobody reads would never end.
    with tempfile.TemporaryFile() as errors:
        child = subprocess.Popen([sys.executable, *argv, workload], cwd=BENCH_DIR,
                                 stdout=subprocess.DEVNULL, stderr=errors)
        _, status, usage = os.wait4(child.pid, 0)
        code = os.waitstatus_to_exitcode(status)
        if code != 0:
            errors.seek(0)
            raise RuntimeError(f"{' '.join(argv)} {workload} ended with status {code}: "
                               f"{errors.read().decode(errors='replace').strip()[-2000:]}")
    return {"cpu": usage.ru_utime + usage.ru_stime, "peak_rss": usage.ru_maxrss * 1024}


def database_bytes(db_path):
    """(the database's size on disk, its write-ahead log included; the
    bytes of its pages in use, its free pages left out)."""
    on_disk = sum(os.path.getsize(path) for path in (db_path, db_path + "-wal") if os.path.exists(path))
    connection = sqlite3.connect(f"file:{db_path}?mode=ro", uri=True)
    try:
        page_size, pages, free = (connection.execute(f"PRAGMA {name}").fetchone()[0]
                                  for name in ("page_size", "page_count", "freelist_count"))
    finally:
        connection.close()
    return on_disk, (pages - free) * page_size


def empty_database_bytes(scratch):
    """What a database holding the trace of an empty program takes: the
    schema and one row, left out of the stored bytes per event."""
    program = os.path.join(scratch, "empty.py")
    db_path = os.path.join(scratch, "empty.sqlite3")
    with open(program, "w"):
        pass
    subprocess.run([sys.executable, "-m", "zelm", "run", "--db", db_path, program], cwd=BENCH_DIR,
                   capture_output=True, check=True)
    sizes = database_bytes(db_path)
    for name in os.listdir(scratch):
        os.remove(os.path.join(scratch, name))
    return sizes


def child_output(*arguments):
    done = subprocess.run([sys.executable, os.path.abspath(__file__), *arguments], cwd=BENCH_DIR,
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def gzip_child(path):
    """Prints the size of the file compressed with gzip. In a child so that
    the file's bytes never count in this process's resident memory, which
    a child started later would report as its own peak (Linux carries it
    over the fork and the exec)."""
    with open(path, "rb") as file:
        print(json.dumps({"bytes": len(gzip.compress(file.read(), compresslevel=GZIP_LEVEL))}))


def count_child(name):
    import workloads

    print(json.dumps({"events": workloads.count_events(workloads.WORKLOADS[name])}))


def save_child(name):
    """Records the workload in this process and saves its trace as `zelm
    run` does; prints the CPU seconds of each step."""
    import workloads
    from zelm import Profiler, store

    workload = workloads.WORKLOADS[name]
    workload()  # warm: imports and caches
    scratch = tempfile.mkdtemp(prefix="zelm-bench-save-")
    try:
        profiler = Profiler(config={"threading": True}, db_path=os.path.join(scratch, "traces.sqlite3"))
        started = time.process_time()
        with profiler:
            workload()
        recorded = time.process_time()
        document = profiler.build_trace()
        built = time.process_time()
        store.save_trace_in_sqlite(profiler.db_path, profiler.trace_id, timeout=profiler.sqlite_busy_timeout,
                                   msgpack=document)
        saved = time.process_time()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print(json.dumps({"recording_s": recorded - started, "build_s": built - recorded, "save_s": saved - built,
                      "document_bytes": len(document)}))


def measure_workload(name, configs, rounds, scratch, empty_database):
    events = child_output("--count-child", name)["events"]
    names = list(configs)
    runs = {config: [] for config in names}
    sizes = None
    for round_number in range(rounds):
        shift = round_number % len(names)
        for config in names[shift:] + names[:shift]:
            argv, _ = configs[config]
            runs[config].append(run_once(argv, name, scratch))
        if sizes is None:  # the same program stores the same trace every round
            sizes = sized_runs(configs, name, scratch, events, empty_database)
    saves = [child_output("--save-child", name) for _ in range(rounds)]
    result = {"events": events, "configurations": {}, "stored": sizes}
    for config in names:
        result["configurations"][config] = {
            "cpu_s": statistics.median(run["cpu"] for run in runs[config]),
            "peak_rss_bytes": statistics.median(run["peak_rss"] for run in runs[config]),
            "cpu_seconds": [run["cpu"] for run in runs[config]],
        }
    entries = result["configurations"]
    if PEER in entries:
        result["zelm_over_viztracer"] = {
            "cpu": entries[ZELM]["cpu_s"] / entries[PEER]["cpu_s"],
            "peak_rss": entries[ZELM]["peak_rss_bytes"] / entries[PEER]["peak_rss_bytes"],
        }
    recording = statistics.median(save["recording_s"] for save in saves)
    result["save"] = {
        "recording_s": recording,
        "build_s": statistics.median(save["build_s"] for save in saves),
        "save_s": statistics.median(save["save_s"] for save in saves),
        "document_bytes": saves[0]["document_bytes"],
    }
    result["save"]["save_over_recording"] = result["save"]["save_s"] / recording
    result["save"]["build_over_recording"] = result["save"]["build_s"] / recording
    return result


def sized_runs(configs, name, scratch, events, empty_database):
    """The stored sizes of one zelm run and one VizTracer run of the workload."""
    argv, db_path = configs[ZELM]
    run_once(argv, name, scratch)
    on_disk, in_use = (size - empty for size, empty in zip(database_bytes(db_path), empty_database))
    sizes = {"zelm_database_bytes": on_disk, "zelm_bytes_per_event": on_disk / events,
             "zelm_pages_in_use_bytes": in_use, "zelm_in_use_bytes_per_event": in_use / events}
    if PEER in configs:
        argv, json_path = configs[PEER]
        run_once(argv, name, scratch)
        compressed = child_output("--gzip-child", json_path)["bytes"]
        sizes.update({
            "viztracer_json_bytes": os.path.getsize(json_path),
            "viztracer_gzip_bytes": compressed,
            "viztracer_gzip_bytes_per_event": compressed / events,
            "zelm_over_viztracer": on_disk / compressed,
            "zelm_in_use_over_viztracer": in_use / compressed,
        })
    return sizes


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--count-child":
        return count_child(sys.argv[2])
    if len(sys.argv) > 2 and sys.argv[1] == "--save-child":
        return save_child(sys.argv[2])
    if len(sys.argv) > 2 and sys.argv[1] == "--gzip-child":
        return gzip_child(sys.argv[2])
    sys.path.insert(0, BENCH_DIR)
    import workloads

    default_workloads = [name for name in workloads.WORKLOADS if name not in workloads.TIMED_WITH_COLLECTION]
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--workloads", default=",".join(default_workloads))
    parser.add_argument("--output", default=os.path.join(
        BENCH_DIR, "results", f"whole_run-{sys.version_info[0]}.{sys.version_info[1]}.json"))
    args = parser.parse_args()
    with_viztracer = has_viztracer()
    scratch = tempfile.mkdtemp(prefix="zelm-bench-whole-")
    try:
        configs = commands(scratch, with_viztracer)
        empty_database = empty_database_bytes(scratch)
        result = {"python": sys.version.split()[0], "rounds": args.rounds, "viztracer": with_viztracer,
                  "empty_database_bytes": empty_database, "workloads": {}}
        print(f"Python {result['python']}: whole runs, {args.rounds} round(s)"
              + ("" if with_viztracer else "; VizTracer not available"), flush=True)
        for name in args.workloads.split(","):
            measured = measure_workload(name, configs, args.rounds, scratch, empty_database)
            result["workloads"][name] = measured
            print(describe(name, measured), flush=True)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
    with open(args.output, "w") as output:
        json.dump(result, output, indent=1)
    print(f"wrote {args.output}")
    return 0


def describe(name, measured):
    lines = [f"  {name}: {measured['events']} events"]
    for config, entry in measured["configurations"].items():
        lines.append(f"    {config:24s} {entry['cpu_s']:7.2f} s CPU  peak {entry['peak_rss_bytes'] / 2**20:6.0f} MiB")
    ratios = measured.get("zelm_over_viztracer")
    if ratios:
        lines.append(f"    zelm ÷ VizTracer: CPU {ratios['cpu']:.2f}, peak memory {ratios['peak_rss']:.2f}")
    stored = measured["stored"]
    line = (f"    stored: zelm {stored['zelm_bytes_per_event']:.1f} B/event "
            f"({stored['zelm_in_use_bytes_per_event']:.1f} in pages in use)")
    if "viztracer_gzip_bytes_per_event" in stored:
        line += (f", VizTracer gzipped JSON {stored['viztracer_gzip_bytes_per_event']:.1f} B/event "
                 f"(÷ {stored['zelm_over_viztracer']:.2f})")
    lines.append(line)
    save = measured["save"]
    lines.append(f"    in-process: recording {save['recording_s']:.2f} s, build_trace {save['build_s']:.2f} s, "
                 f"save {save['save_s']:.2f} s ({save['save_over_recording'] * 100:.0f}% of the recording)")
    return "\n".join(lines)


if __name__ == "__main__":
    sys.exit(main())
