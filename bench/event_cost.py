"""What one Python call or return event costs under zelm, next to its peers.

    python bench/event_cost.py [--quick] [--rounds N] [--workloads a,b] [--output FILE]

Runs every workload of workloads.py in every configuration (untraced, the
do-nothing C hook, zelm recorded, with "lightweight_repr", with every
frame filtered out and past a small trace budget, cProfile, VizTracer
default and with log_func_args + log_func_retval). Within a round the configurations run one after the other,
in an order rotated from round to round; the median of the rounds is kept,
and per workload zelm's cost is divided by VizTracer's with arguments and
return values. The workloads of workloads.TIMED_WITH_COLLECTION include the
collection of the records in their timing (zelm's build_trace, VizTracer's
parse).
Also measured, each in a fresh process: the memory zelm holds per recorded
event against the record's encoded size, build_trace's speed and its peak
memory; and, under valgrind's callgrind when it is installed, the
instructions zelm's profile hook executes per event. Writes one JSON file.
"""
import argparse
import cProfile
import ctypes
import gc
import json
import os
import platform
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import msgpack

import workloads
from bench_host import recording
from zelm import _zelm

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
MIB = 1024 * 1024
# The peer every workload's zelm cost is set against.
PEER = "VizTracer args+retval"


# ---- configurations ---------------------------------------------------------
# Each runs start() and stop() around the timed workload; prepare() and
# finish() run outside the timing.

class Untraced:
    name = "untraced"

    def prepare(self):
        pass

    def start(self):
        pass

    def stop(self):
        pass

    def collect(self):
        """Gathers what was recorded into one document, inside the timing
        of the workloads that include it (workloads.TIMED_WITH_COLLECTION)."""

    def finish(self, first):
        return None


def _noop_on_new_thread(frame, event, arg):
    _zelm.register_noop_profiler()


class NoopHook(Untraced):
    """zelm's do-nothing C profile function, on every thread: the floor of
    any native profile hook."""
    name = "do-nothing hook"

    def start(self):
        threading.setprofile(_noop_on_new_thread)
        _zelm.register_noop_profiler()

    def stop(self):
        sys.setprofile(None)
        threading.setprofile(None)


class Zelm(Untraced):
    def __init__(self, name, **config):
        self.name = name
        self.config = {"threading": True, **config}

    def start(self):
        self.document = None
        self._recording = recording(self.config)
        self.host = self._recording.__enter__()

    def stop(self):
        self._recording.__exit__(None, None, None)

    def collect(self):
        self.document = self.host.rust_profiler.build_trace()

    def finish(self, first):
        host, self.host = self.host, None
        document, self.document = self.document, None
        if not first:
            return None  # the records go with the profiler
        if document is None:
            document = host.rust_profiler.build_trace()
        return {"records": count_records(document), "document_bytes": len(document)}


class CProfile(Untraced):
    name = "cProfile"

    def start(self):
        self.profiles = [cProfile.Profile()]
        # Before 3.12 a cProfile.Profile sees only the thread that enabled it;
        # from 3.12 on it sees every thread.
        if sys.version_info < (3, 12):
            threading.setprofile(self._on_new_thread)
        self.profiles[0].enable()

    def _on_new_thread(self, frame, event, arg):
        profile = cProfile.Profile()
        self.profiles.append(profile)
        profile.enable()

    def stop(self):
        self.profiles[0].disable()
        threading.setprofile(None)

    def finish(self, first):
        self.profiles = None


class VizTracer(Untraced):
    def __init__(self, name, **options):
        self.name = name
        self.options = options

    def prepare(self):
        import viztracer

        self.tracer = viztracer.VizTracer(verbose=0, **self.options)

    def start(self):
        self.tracer.start()

    def stop(self):
        self.tracer.stop()

    def collect(self):
        self.tracer.parse()

    def finish(self, first):
        self.tracer.clear()
        self.tracer = None


def configurations(available_viztracer):
    configs = [
        Untraced(),
        NoopHook(),
        Zelm("zelm"),
        Zelm("zelm lightweight_repr", lightweight_repr=True),
        Zelm("zelm, all frames filtered out", filters={"ignore_frames": [BENCH_DIR]}),
        # Past three quarters of it, every record goes through the tail that keeps the newest.
        Zelm("zelm past a 1 MiB budget", trace_budget_bytes=MIB),
        CProfile(),
    ]
    if available_viztracer:
        configs += [
            VizTracer("VizTracer"),
            VizTracer("VizTracer args+retval", log_func_args=True, log_func_retval=True),
        ]
    return configs


def viztracer_version():
    try:
        import viztracer
    except ImportError:
        return None
    return viztracer.__version__


# ---- the timing rounds ------------------------------------------------------

def timed_run(config, workload, first, collected=False):
    """(CPU seconds, wall seconds, what finish() found) of one run, the
    collection of the records included when `collected`. The process's CPU
    time (every thread, user and system) is what the results use: on a
    shared machine it varies far less than the wall time."""
    # Collected first: a peer's tracer left in a reference cycle by the last
    # run would otherwise be freed after prepare(), and VizTracer's resets
    # threading.setprofile when it is freed.
    gc.collect()
    config.prepare()
    cpu_started, wall_started = time.process_time(), time.perf_counter()
    config.start()
    try:
        workload()
    finally:
        config.stop()
    if collected:
        config.collect()
    cpu, wall = time.process_time() - cpu_started, time.perf_counter() - wall_started
    # zelm stops the way a host does, by installing its do-nothing hook; the
    # next configuration starts from no hook at all (from 3.12 on cProfile and
    # VizTracer do not replace it, and it would slow their runs down).
    sys.setprofile(None)
    return cpu, wall, config.finish(first)


def time_workload(name, configs, rounds):
    workload = workloads.WORKLOADS[name]
    collected = name in workloads.TIMED_WITH_COLLECTION
    events = workloads.count_events(workload)
    details = {}
    for config in configs:  # warm-up: imports, caches, and the first trace's sizes
        details[config.name] = timed_run(config, workload, first=True, collected=collected)[2]
    seconds = {config.name: [] for config in configs}
    wall = {config.name: [] for config in configs}
    for round_number in range(rounds):
        shift = round_number % len(configs)
        for config in configs[shift:] + configs[:shift]:
            cpu_seconds, wall_seconds, _ = timed_run(config, workload, first=False, collected=collected)
            seconds[config.name].append(cpu_seconds)
            wall[config.name].append(wall_seconds)
    untraced = statistics.median(seconds["untraced"])
    result = {"events": events, "collected_in_timing": collected, "configurations": {}}
    for config in configs:
        median = statistics.median(seconds[config.name])
        entry = {
            "median_s": median,
            "seconds": seconds[config.name],
            "wall_median_s": statistics.median(wall[config.name]),
            "ratio": median / untraced,
            "ns_per_event": (median - untraced) / events * 1e9,
        }
        if details[config.name]:
            entry.update(details[config.name])
            if entry["records"]:
                entry["bytes_per_record"] = entry["document_bytes"] / entry["records"]
        result["configurations"][config.name] = entry
    result["zelm_over_peer"] = over_peer(result["configurations"])
    return result


def over_peer(entries):
    """zelm's cost ÷ the peer's on one workload: of the time each adds to
    the untraced run (per event), and of the whole time; None without the
    peer."""
    if "zelm" not in entries or PEER not in entries:
        return None
    zelm, peer = entries["zelm"], entries[PEER]
    return {
        "added": zelm["ns_per_event"] / peer["ns_per_event"] if peer["ns_per_event"] > 0 else None,
        "total": zelm["median_s"] / peer["median_s"],
    }


def count_records(document):
    """Records in a trace document, counted without decoding them."""
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, max_buffer_size=len(document) + 1)
    unpacker.feed(document)
    records = 0
    for _ in range(unpacker.read_map_header()):
        key = unpacker.unpack()
        if key == "frames":
            for _ in range(unpacker.read_map_header()):
                unpacker.skip()
                records += skip_array(unpacker)
        elif key == "frames_of_interest":
            records += skip_array(unpacker)
        else:
            unpacker.skip()
    return records


def skip_array(unpacker):
    count = unpacker.read_array_header()
    for _ in range(count):
        unpacker.skip()
    return count


# ---- memory and build_trace, in a process of its own ------------------------

class _MallInfo2(ctypes.Structure):
    _fields_ = [(field, ctypes.c_size_t) for field in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def malloc_in_use():
    """Bytes malloc has handed out and not had back, in every arena (glibc),
    or None elsewhere. zelm's records live there; Python's small objects do not."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_resident_bytes():
    """The most this process has held resident since it started this program.
    Not ru_maxrss: Linux carries the parent's resident size at the fork over
    the exec, so a large parent would show as this child's peak."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def memory_child(config_json, runs):
    """Records `runs` runs of the realistic workload; prints, as JSON, what
    the process holds for them, then builds the trace and prints its speed
    and peak. Runs in a fresh process so that its peak RSS is this build's."""
    config = {"threading": True, **json.loads(config_json)}
    workloads.realistic()  # warm: imports, caches, the workload's own memory
    workloads.realistic()
    gc.collect()
    rss_before, malloc_before = resident_bytes(), malloc_in_use()
    with recording(config) as host:
        for _ in range(runs):
            workloads.realistic()
    gc.collect()
    rss_recorded, malloc_recorded = resident_bytes(), malloc_in_use()
    started = time.process_time()
    document = host.rust_profiler.build_trace()
    build_seconds = time.process_time() - started
    peak_rss = peak_resident_bytes()
    records = count_records(document)
    print(json.dumps({
        "records": records,
        "document_bytes": len(document),
        "held_rss_bytes": rss_recorded - rss_before,
        "held_malloc_bytes": None if malloc_before is None else malloc_recorded - malloc_before,
        "build_seconds": build_seconds,
        "build_peak_bytes": peak_rss - rss_before,
    }))


def measure_memory(config, runs, repeats):
    samples = []
    for _ in range(repeats):
        output = subprocess.run(
            [sys.executable, os.path.abspath(__file__), "--memory-child", json.dumps(config), str(runs)],
            cwd=BENCH_DIR, capture_output=True, text=True, check=True,
        ).stdout
        samples.append(json.loads(output.strip().splitlines()[-1]))
    first = samples[0]
    records, document = first["records"], first["document_bytes"]
    # Resident memory, not malloc's count: past their first blocks the
    # record arenas map huge pages of their own, which malloc never sees.
    held = statistics.median(sample["held_rss_bytes"] for sample in samples)
    held_rss = statistics.median(sample["held_rss_bytes"] for sample in samples)
    build_seconds = statistics.median(sample["build_seconds"] for sample in samples)
    peak = statistics.median(sample["build_peak_bytes"] for sample in samples)
    return {
        "events_recorded": records,
        "document_bytes": document,
        "encoded_bytes_per_record": document / records,
        "held_bytes_per_record": held / records,
        "held_rss_bytes_per_record": held_rss / records,
        "held_over_encoded": held / document,
        "build_trace_mb_per_s": document / build_seconds / 1e6,
        "build_trace_peak_bytes": peak,
        # The goal: the build's peak within the records (at their encoded
        # size) plus the document.
        "build_peak_over_records_and_document": peak / (2 * document),
        "repeats": repeats,
    }


# ---- instructions per event under callgrind ---------------------------------

CALLGRIND_HOOK = "*profile_callback(*)"  # the hook itself, not its ".cold" part


def callgrind_child(config_json, orders):
    config = {"threading": True, **json.loads(config_json)}
    events = workloads.count_events(lambda: workloads.realistic(orders))
    with recording(config):
        workloads.realistic(orders)
    print(json.dumps({"events": events}))


def callgrind_run(config, orders, out_file):
    argv = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}",
            f"--toggle-collect={CALLGRIND_HOOK}",
            sys.executable, os.path.abspath(__file__), "--callgrind-child", json.dumps(config), str(orders)]
    # pymalloc stays on: callgrind counts instructions, it does not check memory.
    done = subprocess.run(argv, cwd=BENCH_DIR, capture_output=True, text=True, check=True, timeout=1800)
    events = json.loads(done.stdout.strip().splitlines()[-1])["events"]
    with open(out_file) as profile:
        totals = re.search(r"^(?:totals|summary):\s+(\d+)", profile.read(), re.MULTILINE)
    return events, int(totals.group(1))


def callgrind_costs(out_file, inclusive):
    """(instructions, function, object file) of every function in a callgrind
    profile, costliest first, and the profile's total."""
    output = subprocess.run(
        ["callgrind_annotate", f"--inclusive={'yes' if inclusive else 'no'}", "--threshold=100", out_file],
        capture_output=True, text=True, check=True,
    ).stdout
    total = int(re.search(r"^\s*([\d,]+).*PROGRAM TOTALS", output, re.MULTILINE).group(1).replace(",", ""))
    costs = []
    for line in output.splitlines():
        match = re.match(r"^\s*([\d,]+) \([\s\d.]+%\)\s+([^:]*):(.*?)(?: \[([^\]]*)\])?$", line)
        if match and "PROGRAM TOTALS" not in line:
            function = re.sub(r"'\d+$", "", match.group(3).strip())  # recursion depth suffix
            library = match.group(4) or ("libpython" if "/Python-3" in match.group(2) else match.group(2))
            costs.append((int(match.group(1).replace(",", "")), function, os.path.basename(library)))
    return costs, total


def short_name(function):
    """A function name without its parameter list."""
    if not function.endswith(")"):
        return function
    depth = 0
    for index in range(len(function) - 1, -1, -1):
        depth += {")": 1, "(": -1}.get(function[index], 0)
        if depth == 0:
            return function[:index]
    return function


def part_of(library):
    """Which part of the process an object file (or, for inlined code, a
    source file) belongs to."""
    if library.startswith(("_zelm", "_serialize")):
        return "zelm native code"
    if library.startswith("_cmsgpack") or library.startswith(("pack", "unpack")):
        return "msgpack (the host serializer's packer)"
    if library.startswith("libpython") or library in ("object.h", "abstract.h"):
        return "CPython (the host serializer's Python code, repr, objects)"
    if library.startswith(("libc.", "ld-linux", "libstdc++")) or library.endswith((".S", ".c", ".h")):
        return "libc and libstdc++ (malloc, memcpy, formatting)"
    return "other"


def callgrind_breakdown(out_file, limit=15):
    """Where the hook's instructions go: the costliest functions by their own
    instructions, zelm's functions with what they call, and the share of
    each part of the process."""
    self_costs, total = callgrind_costs(out_file, inclusive=False)
    inclusive_costs, _ = callgrind_costs(out_file, inclusive=True)
    by_object = {}
    for cost, _, library in self_costs:
        part = part_of(library)
        by_object[part] = by_object.get(part, 0) + cost

    def entries(costs):
        merged = {}
        for cost, function, library in costs:
            name = (short_name(function), library)
            merged[name] = max(merged.get(name, 0), cost) if costs is inclusive_costs else merged.get(name, 0) + cost
        # With what they call, only zelm's own functions: the interpreter's
        # recursive frames make its inclusive costs meaningless.
        ranked = sorted(((name, cost) for name, cost in merged.items()
                         if costs is self_costs or part_of(name[1]) == "zelm native code"),
                        key=lambda item: -item[1])[:limit]
        return [{"share": cost / total, "function": name, "object": library} for (name, library), cost in ranked]

    return {
        "top_self": entries(self_costs),
        "top_inclusive": entries(inclusive_costs),
        "by_object": {name: cost / total for name, cost in sorted(by_object.items(), key=lambda item: -item[1])},
    }


def measure_instructions(configs, small, large, keep_dir):
    """Instructions per event of zelm's hook (everything it runs, the host
    serializer included), from the difference between a small and a larger
    run so that first-use costs cancel out."""
    results = {}
    for name, config in configs.items():
        counts = []
        for orders in (small, large):
            out_file = os.path.join(keep_dir, f"callgrind.{name.replace(' ', '_').replace(',', '')}.{orders}.out")
            counts.append(callgrind_run(config, orders, out_file))
        (small_events, small_ir), (large_events, large_ir) = counts
        results[name] = {
            "instructions_per_event": (large_ir - small_ir) / (large_events - small_events),
            "events": large_events,
            "profile": out_file,
        }
    recorded = results.get("zelm")
    if recorded:
        recorded.update(callgrind_breakdown(recorded["profile"]))
    return results


# ---- main -------------------------------------------------------------------

def machine():
    model = platform.processor()
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            model = re.search(r"^model name\s*:\s*(.*)$", cpuinfo.read(), re.MULTILINE).group(1)
    except (OSError, AttributeError):
        pass
    return {"cpu": model, "cores": os.cpu_count(), "system": platform.platform(),
            "load_average": os.getloadavg()}


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--memory-child":
        return memory_child(sys.argv[2], int(sys.argv[3]))
    if len(sys.argv) > 1 and sys.argv[1] == "--callgrind-child":
        return callgrind_child(sys.argv[2], int(sys.argv[3]))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="3 rounds, one memory sample, smaller callgrind runs")
    parser.add_argument("--rounds", type=int, help="timing rounds (default 7, 3 with --quick)")
    parser.add_argument("--workloads", default=",".join(workloads.WORKLOADS))
    parser.add_argument("--no-callgrind", action="store_true")
    parser.add_argument("--output", default=os.path.join(BENCH_DIR, "results", f"event_cost-{sys.version_info[0]}.{sys.version_info[1]}.json"))
    args = parser.parse_args()
    rounds = args.rounds or (3 if args.quick else 7)
    version = platform.python_version()
    has_viztracer = viztracer_version() is not None
    configs = configurations(has_viztracer)
    result = {
        "python": version,
        "zelm_commit": git_commit(),
        "viztracer": viztracer_version(),
        "machine": machine(),
        "quick": args.quick,
        "rounds": rounds,
        "workloads": {},
    }
    print(f"CPython {version}: {rounds} rounds, configurations: {', '.join(config.name for config in configs)}", flush=True)
    for name in args.workloads.split(","):
        started = time.perf_counter()
        measured = time_workload(name, configs, rounds)
        result["workloads"][name] = measured
        print(f"  {name}: {measured['events']} events ({time.perf_counter() - started:.0f} s)", flush=True)
        for config_name, entry in measured["configurations"].items():
            extra = f"  {entry['bytes_per_record']:.0f} B/record" if "bytes_per_record" in entry else ""
            print(f"    {config_name:32s} {entry['median_s'] * 1e3:9.1f} ms  x{entry['ratio']:6.1f}  "
                  f"{entry['ns_per_event']:8.0f} ns/event{extra}", flush=True)
        ratios = measured["zelm_over_peer"]
        if ratios is None:
            print(f"    zelm ÷ {PEER}: VizTracer not available", flush=True)
        elif ratios["added"] is not None:
            print(f"    zelm ÷ {PEER}: {ratios['added']:.2f} (added time), {ratios['total']:.2f} (whole time)",
                  flush=True)

    memory_runs = 1 if args.quick else 3  # 172,002 or 516,006 events recorded
    result["memory"] = {"zelm": measure_memory({}, memory_runs, 1 if args.quick else 3)}
    for name, memory in result["memory"].items():
        print(f"  memory, {name}: {memory['events_recorded']} records, {memory['encoded_bytes_per_record']:.0f} B encoded, "
              f"{memory['held_bytes_per_record']:.0f} B held per record (x{memory['held_over_encoded']:.2f}); "
              f"build_trace {memory['build_trace_mb_per_s']:.0f} MB/s, peak {memory['build_trace_peak_bytes'] / MIB:.0f} MiB "
              f"(x{memory['build_peak_over_records_and_document']:.2f} of records + document)", flush=True)

    if args.no_callgrind or not shutil.which("valgrind"):
        result["callgrind"] = None
    else:
        keep_dir = os.path.join(tempfile.gettempdir(), f"zelm-callgrind-{version}")
        os.makedirs(keep_dir, exist_ok=True)
        small, large = (50, 250) if args.quick else (100, 600)
        result["callgrind"] = measure_instructions(
            {"zelm": {}, "zelm lightweight_repr": {"lightweight_repr": True},
             "zelm, all frames filtered out": {"filters": {"ignore_frames": [BENCH_DIR]}}},
            small, large, keep_dir)
        for name, entry in result["callgrind"].items():
            print(f"  callgrind, {name}: {entry['instructions_per_event']:,.0f} instructions per event", flush=True)

    os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
    with open(args.output, "w") as output:
        json.dump(result, output, indent=1)
    print(f"wrote {args.output}")
    return 0


def git_commit():
    try:
        return subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=BENCH_DIR,
                              capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None


if __name__ == "__main__":
    sys.exit(main())
