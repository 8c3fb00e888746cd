"""The Markdown table and the chart of one benchmark run, from its JSON files.

    python bench/report.py [RESULTS_DIR]

Reads event_cost-3.X.json and suite-3.X.json of every interpreter in the
results directory (bench/results by default) and writes results.md and
ratios.png there.
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
}


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


def event_tables(runs):
    versions = list(runs)
    lines = []
    workload_names = list(next(iter(runs.values()))["workloads"])
    for workload in workload_names:
        first = runs[versions[0]]["workloads"][workload]
        lines += [f"### {WORKLOAD_TITLES.get(workload, workload)} ({number(first['events'])} events per run)", "",
                  "ns per event over the untraced run (× the untraced time)", "",
                  "| configuration | " + " | ".join(versions) + " |",
                  "|---|" + "---:|" * len(versions)]
        configs = list(first["configurations"])
        for config in configs:
            cells = []
            for version in versions:
                entry = runs[version]["workloads"][workload]["configurations"].get(config)
                if entry is None:
                    cells.append("–")
                elif config == "untraced":
                    cells.append(f"{number(entry['median_s'] * 1e3, 1)} ms")
                else:
                    cells.append(f"{number(entry['ns_per_event'])} (×{number(entry['ratio'], 1)})")
            label = f"**{config}**" if config == "zelm" else config
            lines.append(f"| {label} | " + " | ".join(cells) + " |")
        if PEER in first["configurations"]:
            cells = []
            for version in versions:
                entries = runs[version]["workloads"][workload]["configurations"]
                peer = entries[PEER]["ns_per_event"]
                cells.append(number(entries["zelm"]["ns_per_event"] / peer, 1) if peer > 0 else "–")
            lines.append(f"| zelm ÷ {PEER} | " + " | ".join(cells) + " |")
            cells = []
            for version in versions:
                entries = runs[version]["workloads"][workload]["configurations"]
                floor = entries["do-nothing hook"]["ns_per_event"]
                filtered = entries["zelm, all frames filtered out"]["ns_per_event"]
                cells.append(number(filtered / floor, 1) if floor > 0 else "–")
            lines.append("| zelm filtered ÷ do-nothing hook | " + " | ".join(cells) + " |")
        bytes_cells = [
            number(runs[version]["workloads"][workload]["configurations"]["zelm"].get("bytes_per_record", 0))
            for version in versions
        ]
        lines += [f"| bytes per record (zelm) | " + " | ".join(bytes_cells) + " |", ""]
    return lines


def memory_table(runs):
    versions = list(runs)
    rows = [
        ("records", lambda m: number(m["events_recorded"])),
        ("encoded bytes per record", lambda m: number(m["encoded_bytes_per_record"])),
        ("bytes held per record (malloc)", lambda m: number(m["held_bytes_per_record"])),
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
    panels = [(WORKLOAD_TITLES.get(name, name), name) for name in next(iter(runs.values()))["workloads"]]
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
            configs = [c for c in next(iter(runs.values()))["workloads"][workload]["configurations"] if c != "untraced"]
            values = {v: [runs[v]["workloads"][workload]["configurations"].get(c, {}).get("ratio", 0) for c in configs]
                      for v in versions}
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
    lines = header(runs) + summary_table(runs, suites) + ["## Per event", ""] + event_tables(runs)
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
