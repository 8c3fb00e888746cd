"""The Markdown table and the chart of one benchmark run, from its JSON files.

    python bench/report.py [RESULTS_DIR]

Reads event_cost-3.X.json, whole_run-3.X.json and suite-3.X.json of every
interpreter in the results directory (bench/results by default) and writes
results.md and ratios.png there. results.md opens with one table of every
performance goal: its measure per interpreter and whether it is met.
"""
import glob
import json
import os
import re
import sys

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))

# The suite's run that the others are measured against.
SUITE_BASELINE = "untraced"
# The peer the goal names: zelm's recorded event against this one.
PEER = "VizTracer args+retval"
SHORT_LABELS = {
    "do-nothing hook": "do-nothing\nhook",
    "zelm lightweight_repr": "zelm\nlightweight",
    "zelm, all frames filtered out": "zelm\nall filtered",
    "VizTracer args+retval": "VizTracer\nargs+retval",
    "pytest --zelm": "pytest\n--zelm",
    "pytest --zelm lightweight_repr": "pytest --zelm\nlightweight",
}
WORKLOAD_TITLES = {
    "recursive": "recursive function",
    "realistic": "small classes and methods (the realistic workload)",
    "library": "library-heavy: json, re, dataclasses (most frames filtered out)",
    "logging": "logging through the log_messages plugin",
    "threads": "four threads",
    "objects": "dataclasses with properties",
    "text": "text processing with small helper functions",
    "parser": "recursive-descent parser",
    "big_locals": "dicts of 1,000 items as arguments and locals",
    "realistic_collected": "small classes and methods, build_trace included",
}
NO_PEER = "VizTracer not available"
NOT_MEASURED = "–"


class Goal:
    """A performance goal: a measure per interpreter (or NOT_MEASURED, or a
    reason it could not be measured) that must stay at or under `limit`.
    `measure(version)` returns (value, text) or a string."""

    def __init__(self, label, limit, measure, digits=2):
        self.label = label
        self.limit = limit
        self.measure = measure
        self.digits = digits

    def cell(self, version):
        found = self.measure(version)
        if isinstance(found, str):
            return found
        value, where = found
        # Judged at the precision it is shown with.
        met = round(value, self.digits) <= self.limit
        return f"{number(value, self.digits)}{f' ({where})' if where else ''} {'met' if met else '**not met**'}"


def worst(values):
    """(value, name) of the largest of {name: value}, or NOT_MEASURED."""
    present = {name: value for name, value in values.items() if value is not None}
    if not present:
        return NOT_MEASURED
    name = max(present, key=present.get)
    return present[name], name if len(present) > 1 else ""


# The workloads' rows in the goals' table: the realistic one, those the goals
# name one by one, then the others.
GOAL_ORDER = ("realistic", "recursive", "objects", "text", "parser", "big_locals", "realistic_collected",
              "library", "logging", "threads")

# Workloads whose filtered-out events are only filtered frames, with
# enough events for the do-nothing hook's small cost to stand out of the
# noise (the logging workload's still make plugin records).
FILTER_WORKLOADS = ("recursive", "realistic", "objects", "text", "parser")


def goals(runs, wholes, suites):
    """The performance goals, in the order the table shows them."""

    def event_ratio(workload):
        def measure(version):
            entry = runs.get(version, {}).get("workloads", {}).get(workload)
            if entry is None:
                return NOT_MEASURED
            ratios = entry.get("zelm_over_peer") or peer_ratios(entry["configurations"])
            if ratios is None:
                return NO_PEER
            return (ratios["added"], "") if ratios["added"] is not None else NOT_MEASURED
        return measure

    def against_viztracer(section, key):
        """The worst workload's zelm ÷ VizTracer figure ``key`` of a whole
        run's ``section``."""
        def measure(version):
            run = wholes.get(version)
            if run is None:
                return NOT_MEASURED
            if not run["viztracer"]:
                return NO_PEER
            return worst({name: entry[section][key] for name, entry in run["workloads"].items()})
        return measure

    def save_share(version):
        run = wholes.get(version)
        if run is None:
            return NOT_MEASURED
        return worst({name: entry["save"]["save_over_recording"] for name, entry in run["workloads"].items()})

    def suite(version):
        entries = suites.get(version, {}).get("configurations", {})
        if "pytest --zelm" not in entries:
            return NOT_MEASURED
        if "VizTracer" not in entries:
            return NO_PEER
        return entries["pytest --zelm"]["ratio"] / entries["VizTracer"]["ratio"], ""

    def filtered(version):
        workloads = runs.get(version, {}).get("workloads", {})
        ratios = {}
        for name in FILTER_WORKLOADS:
            if name in workloads:
                entries = workloads[name]["configurations"]
                floor = entries["do-nothing hook"]["ns_per_event"]
                ratios[name] = entries["zelm, all frames filtered out"]["ns_per_event"] / floor if floor > 0 else None
        return worst(ratios)

    def held(version):
        memory = runs.get(version, {}).get("memory", {}).get("zelm")
        return NOT_MEASURED if memory is None else (memory["held_over_encoded"], "")

    def collected_against_recording(version):
        """zelm with build_trace ÷ VizTracer's recording alone (its parse
        left out): the realistic workload's peer run against the collected
        one's zelm run, from the same process."""
        found = runs.get(version, {}).get("workloads", {})
        if "realistic" not in found or "realistic_collected" not in found:
            return NOT_MEASURED
        peer = found["realistic"]["configurations"].get(PEER)
        if peer is None:
            return NO_PEER
        zelm = found["realistic_collected"]["configurations"]["zelm"]["ns_per_event"]
        return (zelm / peer["ns_per_event"], "") if peer["ns_per_event"] > 0 else NOT_MEASURED

    measured = {name for run in runs.values() for name in run["workloads"]}
    found = []
    for name in [*GOAL_ORDER, *sorted(measured - set(GOAL_ORDER))]:
        if name not in measured:
            continue
        label = f"zelm ÷ {PEER}, {name}: {WORKLOAD_TITLES.get(name, name)}"
        if name == "realistic_collected":
            found.append(Goal(f"{label}, VizTracer's parse included", 1.0, event_ratio(name)))
            found.append(Goal(f"{label}, against VizTracer's recording alone", 1.0, collected_against_recording))
            continue
        found.append(Goal(label, 1.0, event_ratio(name)))
        if name == "realistic":
            found.append(Goal(f"{label}: the aim", 0.7, event_ratio(name)))
    return found + [
        Goal("whole `zelm run` ÷ whole `viztracer --log_func_args --log_func_retval` run, CPU time "
             "(the highest over the workloads)", 0.6, against_viztracer("zelm_over_viztracer", "cpu")),
        Goal("the same, peak memory", 0.5, against_viztracer("zelm_over_viztracer", "peak_rss")),
        Goal("`pytest --zelm`'s slowdown ÷ VizTracer default's (more-itertools' suite)", 1.0, suite),
        Goal("stored bytes per event (the database file) ÷ VizTracer's gzipped JSON (the highest over the workloads)",
             1.0, against_viztracer("stored", "zelm_over_viztracer")),
        Goal("the same, the database's pages in use only", 1.0, against_viztracer("stored", "zelm_in_use_over_viztracer")),
        Goal("save ÷ the recorded run, CPU time (the highest over the workloads)", 0.1, save_share),
        Goal("zelm with every frame filtered out ÷ the do-nothing hook, per event (the highest of "
             f"{', '.join(FILTER_WORKLOADS)})", 3.0, filtered, digits=1),
        Goal("memory held per record ÷ its encoded size (the realistic workload)", 1.0, held, digits=1),
    ]


def goal_table(runs, wholes, suites):
    versions = sorted(set(runs) | set(wholes) | set(suites), key=version_key)
    lines = ["## Goals", "",
             "Each goal's measure per interpreter and whether it is met (judged at the precision shown); "
             "where a goal holds for every workload, the highest workload's value and its name.", "",
             "| goal | at most | " + " | ".join(versions) + " |", "|---|---:|" + "---|" * len(versions)]
    for goal in goals(runs, wholes, suites):
        lines.append(f"| {goal.label} | {number(goal.limit, goal.digits)} | "
                     + " | ".join(goal.cell(version) for version in versions) + " |")
    return lines + [""]


def peer_ratios(entries):
    """zelm ÷ the peer of a workload measured before the ratio was stored."""
    if "zelm" not in entries or PEER not in entries:
        return None
    peer = entries[PEER]
    return {"added": entries["zelm"]["ns_per_event"] / peer["ns_per_event"] if peer["ns_per_event"] > 0 else None,
            "total": entries["zelm"]["median_s"] / peer["median_s"]}


def whole_run_table(wholes):
    if not wholes:
        return []
    versions = list(wholes)
    first = next(iter(wholes.values()))
    lines = ["## Whole runs", "",
             f"Each workload as a program: a whole `zelm run --db DB` (recording, build, save, summary) against a "
             f"whole `viztracer --log_func_args --log_func_retval -o OUT.json`, each a process of its own; median "
             f"of {first['rounds']} round(s), CPU time and peak RSS of the process (os.wait4). Stored: zelm's "
             "database file and its pages in use (less those of one holding an empty program's trace) and "
             "VizTracer's JSON gzipped (level 6), per call or "
             "return event of the workload. Save: the workload recorded in-process, then its trace built and "
             "saved as `zelm run` does, as a share of the recorded run's CPU time.", "",
             "| workload | measure | " + " | ".join(versions) + " |", "|---|---|" + "---:|" * len(versions)]
    rows = [
        ("zelm run, CPU s", lambda e: number(e["configurations"]["zelm run"]["cpu_s"], 2)),
        ("viztracer, CPU s", lambda e: peer_cell(e, lambda p: number(p["cpu_s"], 2))),
        ("CPU: zelm ÷ VizTracer", lambda e: number(e["zelm_over_viztracer"]["cpu"], 2)
         if "zelm_over_viztracer" in e else NO_PEER),
        ("peak MiB: zelm, VizTracer", lambda e: number(e["configurations"]["zelm run"]["peak_rss_bytes"] / 2**20)
         + ", " + peer_cell(e, lambda p: number(p["peak_rss_bytes"] / 2**20))),
        ("peak: zelm ÷ VizTracer", lambda e: number(e["zelm_over_viztracer"]["peak_rss"], 2)
         if "zelm_over_viztracer" in e else NO_PEER),
        ("stored B/event: zelm's file (pages in use), VizTracer gzipped", lambda e:
         f"{number(e['stored']['zelm_bytes_per_event'], 1)} ({number(e['stored']['zelm_in_use_bytes_per_event'], 1)}), "
         + (number(e["stored"]["viztracer_gzip_bytes_per_event"], 1)
            if "viztracer_gzip_bytes_per_event" in e["stored"] else NO_PEER)),
        ("save ÷ recorded run (build_trace ÷ recorded run)",
         lambda e: f"{number(e['save']['save_over_recording'], 2)} ({number(e['save']['build_over_recording'], 2)})"),
    ]
    for workload in first["workloads"]:
        for index, (label, cell) in enumerate(rows):
            name = f"{WORKLOAD_TITLES.get(workload, workload)} ({number(first['workloads'][workload]['events'])} "\
                   "events)" if index == 0 else ""
            cells = [cell(wholes[v]["workloads"][workload]) if workload in wholes[v]["workloads"] else NOT_MEASURED
                     for v in versions]
            lines.append(f"| {name} | {label} | " + " | ".join(cells) + " |")
    return lines + [""]


def peer_cell(entry, cell):
    peer = entry["configurations"].get("viztracer args+retval")
    return NO_PEER if peer is None else cell(peer)


def version_key(version):
    return tuple(int(part) for part in version.split("."))


def load(results_dir, prefix):
    found = {}
    for path in glob.glob(os.path.join(results_dir, f"{prefix}-*.json")):
        version = re.search(r"-(\d+\.\d+)\.json$", path).group(1)
        with open(path) as file:
            found[version] = json.load(file)
    return dict(sorted(found.items(), key=lambda item: version_key(item[0])))


def number(value, digits=0):
    return f"{value:,.{digits}f}"


def summary_table(runs, suites):
    """One table of the headline numbers: the realistic workload per
    configuration, then memory, build_trace, instructions and the suite."""
    versions = list(runs)
    realistic = {v: runs[v]["workloads"].get("realistic") for v in versions}
    if not all(realistic.values()):
        return []
    rows = []
    for config in realistic[versions[0]]["configurations"]:
        if config == "untraced":
            continue
        label = f"**{config}**" if config == "zelm" else config
        rows.append((label, [number(realistic[v]["configurations"][config]["ns_per_event"]) for v in versions]))
    def quotient(version, numerator, denominator):
        entries = realistic[version]["configurations"]
        below = entries[denominator]["ns_per_event"]
        # A floor lost in the noise of a busy machine gives no quotient.
        return number(entries[numerator]["ns_per_event"] / below, 1) if below > 0 else "–"

    if PEER in realistic[versions[0]]["configurations"]:
        rows.append((f"zelm ÷ {PEER}", [quotient(v, "zelm", PEER) for v in versions]))
    rows.append(("zelm filtered ÷ do-nothing hook",
                 [quotient(v, "zelm, all frames filtered out", "do-nothing hook") for v in versions]))
    if all(runs[v].get("callgrind") for v in versions):
        rows.append(("instructions per recorded event (callgrind)", [
            number(runs[v]["callgrind"]["zelm"]["instructions_per_event"]) for v in versions]))
    memory = {v: runs[v]["memory"]["zelm"] for v in versions}
    rows += [
        ("bytes per record", [number(memory[v]["encoded_bytes_per_record"]) for v in versions]),
        ("memory held per record ÷ its encoded size", [number(memory[v]["held_over_encoded"], 2) for v in versions]),
        ("build_trace MB/s", [number(memory[v]["build_trace_mb_per_s"]) for v in versions]),
        ("build_trace peak ÷ (records + document)", [
            number(memory[v]["build_peak_over_records_and_document"], 2) for v in versions]),
    ]
    if suites and all(v in suites for v in versions):
        for config in next(iter(suites.values()))["configurations"]:
            if config != SUITE_BASELINE:
                rows.append((f"test suite: {config}, × untraced pytest", [
                    suite_ratio(suites[v]["configurations"].get(config)) for v in versions]))
    lines = [f"### Summary: ns per event of the realistic workload ({number(realistic[versions[0]]['events'])} events "
             "per run) over the untraced run, and the other measures", "",
             "| | " + " | ".join(versions) + " |", "|---|" + "---:|" * len(versions)]
    lines += [f"| {label} | " + " | ".join(cells) + " |" for label, cells in rows]
    return lines + [""]


def workload_names(runs):
    """The workloads measured on any interpreter, in their order."""
    return list(dict.fromkeys(name for run in runs.values() for name in run["workloads"]))


def event_tables(runs):
    versions = list(runs)
    lines = []
    for workload in workload_names(runs):
        measured = {version: runs[version]["workloads"].get(workload) for version in versions}
        first = next(entry for entry in measured.values() if entry)
        collected = " (the records' collection included: zelm's build_trace, VizTracer's parse)" \
            if first.get("collected_in_timing") else ""
        lines += [f"### {WORKLOAD_TITLES.get(workload, workload)} ({number(first['events'])} events per run)", "",
                  f"ns per event over the untraced run (× the untraced time){collected}", "",
                  "| configuration | " + " | ".join(versions) + " |",
                  "|---|" + "---:|" * len(versions)]

        def row(label, cell):
            cells = [NOT_MEASURED if measured[version] is None else cell(measured[version]["configurations"])
                     for version in versions]
            lines.append(f"| {label} | " + " | ".join(cells) + " |")

        def configuration_cell(config):
            def cell(entries):
                entry = entries.get(config)
                if entry is None:
                    return NOT_MEASURED
                if config == "untraced":
                    return f"{number(entry['median_s'] * 1e3, 1)} ms"
                return f"{number(entry['ns_per_event'])} (×{number(entry['ratio'], 1)})"
            return cell

        def peer_cell(entries):
            ratios = peer_ratios(entries)
            if ratios is None:
                return NO_PEER
            return NOT_MEASURED if ratios["added"] is None else number(ratios["added"], 2)

        def filtered_cell(entries):
            # A floor under a nanosecond is the noise of a workload with few events.
            floor = entries["do-nothing hook"]["ns_per_event"]
            return number(entries["zelm, all frames filtered out"]["ns_per_event"] / floor, 1) if floor >= 1 \
                else NOT_MEASURED

        configs = dict.fromkeys(config for entry in measured.values() if entry for config in entry["configurations"])
        for config in configs:
            row(f"**{config}**" if config == "zelm" else config, configuration_cell(config))
        row(f"zelm ÷ {PEER}", peer_cell)
        row("zelm filtered ÷ do-nothing hook", filtered_cell)
        row("bytes per record (zelm)", lambda entries: number(entries["zelm"].get("bytes_per_record", 0)))
        lines.append("")
    return lines


def memory_table(runs):
    versions = list(runs)
    rows = [
        ("records", lambda m: number(m["events_recorded"])),
        ("encoded bytes per record", lambda m: number(m["encoded_bytes_per_record"])),
        ("bytes held per record (resident)", lambda m: number(m["held_bytes_per_record"])),
        ("held ÷ encoded", lambda m: number(m["held_over_encoded"], 2)),
        ("RSS growth per record", lambda m: number(m["held_rss_bytes_per_record"])),
        ("build_trace MB/s", lambda m: number(m["build_trace_mb_per_s"])),
        ("build_trace peak over the baseline, MiB", lambda m: number(m["build_trace_peak_bytes"] / 2**20)),
        ("peak ÷ (records + document)", lambda m: number(m["build_peak_over_records_and_document"], 2)),
    ]
    lines = []
    for config in next(iter(runs.values()))["memory"]:
        lines += [f"### memory and build_trace, {config} (the realistic workload, fresh process)", "",
                  "| | " + " | ".join(versions) + " |", "|---|" + "---:|" * len(versions)]
        for label, cell in rows:
            lines.append(f"| {label} | " + " | ".join(cell(runs[v]["memory"][config]) for v in versions) + " |")
        lines.append("")
    return lines


def callgrind_lines(runs):
    versions = [version for version, run in runs.items() if run.get("callgrind")]
    if not versions:
        return ["(valgrind was not installed: no instruction counts)", ""]
    lines = ["### instructions per event in zelm's profile hook (callgrind, the realistic workload)", "",
             "| configuration | " + " | ".join(versions) + " |", "|---|" + "---:|" * len(versions)]
    for config in runs[versions[0]]["callgrind"]:
        lines.append(f"| {config} | " + " | ".join(
            number(runs[v]["callgrind"][config]["instructions_per_event"]) for v in versions) + " |")
    lines.append("")
    for version in versions:
        recorded = runs[version]["callgrind"].get("zelm", {})
        if "by_object" not in recorded:
            continue
        lines += [f"Where a recorded event's instructions go on {version} (share of the hook's instructions):", ""]
        lines += [f"- {name}: {share * 100:.0f}%" for name, share in recorded["by_object"].items() if share >= 0.005]
        lines += ["", "| own instructions | function | | with callees | zelm function |", "|---:|---|---|---:|---|"]
        for own, inclusive in zip(recorded["top_self"][:12], recorded["top_inclusive"][:12]):
            lines.append(f"| {own['share'] * 100:.1f}% | `{own['function'][:70]}` | {own['object'].split('.')[0]} "
                         f"| {inclusive['share'] * 100:.1f}% | `{inclusive['function'][:70]}` |")
        lines.append("")
    return lines


def suite_ratio(entry):
    if entry is None:
        return "–"
    return number(entry["ratio"], 1) + ("" if entry["same_outcome_as_untraced"] else " (outcome differs)")


def suite_table(suites):
    if not suites:
        return []
    versions = list(suites)
    first = next(iter(suites.values()))
    lines = [f"### test suite: {first['package']}, median of {first['rounds']} rounds", "",
             "CPU seconds of the pytest process (× untraced), peak RSS; for zelm the stored traces "
             f"(address-space limit {number(first['memory_limit_bytes'] / 2**30)} GiB per run)", "",
             "| configuration | " + " | ".join(versions) + " |", "|---|" + "---:|" * len(versions)]
    for config in first["configurations"]:
        cells = []
        for version in versions:
            entry = suites[version]["configurations"].get(config)
            if entry is None:
                cells.append("–")
                continue
            mark = "" if entry["same_outcome_as_untraced"] else f" (outcome differs: exit {entry['status']})"
            cell = (f"{number(entry['cpu_s'], 1)} s (×{number(entry['ratio'], 1)}), "
                    f"{number(entry['peak_rss_bytes'] / 2**20)} MiB{mark}")
            stored = entry.get("stored")
            if stored:
                cell += (f"; {number(stored['traces'])} traces, {number(stored['document_bytes'] / 2**20, 1)} MiB "
                         f"({number(stored['database_file_bytes'] / 2**20, 1)} MiB file), "
                         f"{number(stored['traces_cut'])} cut by the budget")
            cells.append(cell)
        lines.append(f"| {config} | " + " | ".join(cells) + " |")
    return lines + [""]


def header(runs):
    first = next(iter(runs.values()))
    machine = first["machine"]
    loads = ", ".join(f"{run['machine']['load_average'][0]:.1f}" for run in runs.values())
    mode = "quick mode (`make bench BENCH_QUICK=1`)" if first["quick"] else "full mode"
    return [
        "# zelm benchmark results", "",
        f"{mode}: CPython {', '.join(run['python'] for run in runs.values())}; median of {first['rounds']} rounds, "
        "configurations alternated within each round; times are the process's CPU time (user + system, every thread).",
        f"Machine: {machine['cpu']}, {machine['cores']} cores, {machine['system']}; "
        f"1-minute load average at the start of each interpreter's run: {loads} (a shared machine).",
        f"zelm commit {first['zelm_commit']}, VizTracer {first['viztracer']}.", "",
    ]


def chart(runs, suites, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    versions = list(runs)
    panels = [(WORKLOAD_TITLES.get(name, name), name) for name in workload_names(runs)]
    if suites:
        panels.append((f"test suite ({next(iter(suites.values()))['package']})", None))
    columns = 2
    rows = (len(panels) + columns - 1) // columns
    figure, axes = plt.subplots(rows, columns, figsize=(14, 4.2 * rows), squeeze=False)
    width = 0.8 / len(versions)
    for axis, (title, workload) in zip(axes.flat, panels):
        if workload is None:
            configs = [c for c in next(iter(suites.values()))["configurations"] if c != SUITE_BASELINE]
            values = {v: [suites[v]["configurations"].get(c, {}).get("ratio", 0) for c in configs] for v in suites}
        else:
            measured = {v: runs[v]["workloads"].get(workload, {}).get("configurations", {}) for v in versions}
            configs = [c for c in dict.fromkeys(c for entries in measured.values() for c in entries) if c != "untraced"]
            values = {v: [measured[v].get(c, {}).get("ratio", 0) for c in configs] for v in versions}
        for index, version in enumerate(values):
            positions = [i + (index - (len(values) - 1) / 2) * width for i in range(len(configs))]
            axis.bar(positions, values[version], width, label=version)
        axis.set_yscale("log")
        axis.axhline(1, color="grey", linewidth=0.8)
        axis.set_xticks(range(len(configs)))
        axis.set_xticklabels([SHORT_LABELS.get(c, c) for c in configs], fontsize=8)
        axis.set_ylabel("time ÷ untraced")
        axis.set_title(title, fontsize=10)
        axis.grid(axis="y", which="both", alpha=0.3)
        axis.legend(fontsize=8)
    for axis in list(axes.flat)[len(panels):]:
        axis.set_visible(False)
    figure.suptitle("zelm and its peers: run time relative to the untraced run (CPU time, log scale)")
    figure.tight_layout()
    figure.savefig(path, dpi=90)


def main():
    results_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(BENCH_DIR, "results")
    runs = load(results_dir, "event_cost")
    if not runs:
        print(f"no event_cost-*.json in {results_dir}")
        return 1
    suites = load(results_dir, "suite")
    wholes = load(results_dir, "whole_run")
    lines = header(runs) + goal_table(runs, wholes, suites) + ["## Summary", ""] + summary_table(runs, suites)
    lines += ["## Per event", ""] + event_tables(runs) + whole_run_table(wholes)
    lines += ["## Memory and build_trace", ""] + memory_table(runs)
    lines += ["## Instructions", ""] + callgrind_lines(runs)
    if suites:
        lines += ["## A real test suite", ""] + suite_table(suites)
    lines.append("![ratios](ratios.png)")
    with open(os.path.join(results_dir, "results.md"), "w") as output:
        output.write("\n".join(lines) + "\n")
    chart(runs, suites, os.path.join(results_dir, "ratios.png"))
    print(f"wrote {os.path.join(results_dir, 'results.md')} and ratios.png")
    return 0


if __name__ == "__main__":
    sys.exit(main())
