"""Real packages' own test suites untraced and under `pytest --zelm`, and a dataclass-heavy program's cost per event.

    python bench/real_suites.py [--rounds N] [--suites NAMES] [--workload-rounds N]
                                [--memory-limit GIB] [--workdir DIR] [--output FILE]

Profiling must not change what a program does, and these suites test code
that trips a profiler which runs the program's own code: Jinja2's (async
rendering, loop contexts whose repr awaits or exhausts an iterator,
templates compiled under the pseudo file name <template>) and attrs'
(classes whose __repr__ is generated Python code, hypothesis). Each source
release is fetched from PyPI with pip once into the work directory, and its
whole suite runs from its own source tree (so the package's code is
recorded, not an installed copy), each pytest in a process of its own,
untraced and under `pytest --zelm`, alternating within each round; the
median of the rounds is kept. Plugins are not autoloaded: zelm's is named
with -p in every run, so that the runs differ only by --zelm.

Per suite and configuration: the outcome counts, whether they are the
untraced run's (and, when not, which tests ended otherwise), the CPU time
(user + system) and wall time and their ratios to the untraced run. Then a
workload of nested dataclasses passed to and returned from small functions
(every recorded value is a dataclass, an enum or a list of them) is timed
like bench/event_cost.py times its workloads: extra nanoseconds per event
under zelm. Writes JSON (bench/results/real_suites-3.X.json) and exits 1
when a suite ends otherwise under zelm than untraced.
"""
import argparse
import dataclasses
import enum
import json
import os
import re
import shutil
import statistics
import sys

import workloads
from event_cost import Untraced, Zelm, time_workload
from real_suite import BENCH_DIR, LOG_NAME, MIB, ROOT, fetch_source, run_once

UNTRACED = "untraced"
ZELM = "pytest --zelm"


@dataclasses.dataclass(frozen=True)
class Suite:
    package: str  # as pip names it
    version: str
    tests: str  # the suite's directory in the source release
    import_root: str  # where the package's code is, relative to the release


SUITES = {
    "jinja2": Suite("Jinja2", "3.1.6", "tests", "src"),
    "attrs": Suite("attrs", "25.3.0", "tests", "src"),
}

# A test's line in pytest's short summary: "FAILED tests/test_a.py::test_b - reason".
SUMMARY_LINE = re.compile(r"^(FAILED|ERROR|XPASS) (\S+)", re.MULTILINE)


def pytest_arguments(suite, scratch):
    """{configuration: pytest process arguments}. The package's own
    pyproject.toml is the configuration, so that pytest does not take this
    repository's."""
    pytest = ["-m", "pytest", "-q", "-p", "zelm.pytest_plugin", "-p", "no:cacheprovider", "--rootdir=.",
              "--config-file=pyproject.toml", suite.tests]
    return {UNTRACED: pytest, ZELM: [*pytest, "--zelm", "--zelm-db", os.path.join(scratch, "traces.sqlite3")]}


def tests_not_passed(log_path):
    """{node id: FAILED/ERROR/XPASS} from a run's short summary."""
    with open(log_path) as log:
        return {node: word for word, node in SUMMARY_LINE.findall(log.read())}


def run_suite(name, suite, args, limit_bytes, inherited_path):
    source = fetch_source(args.workdir, suite.package, suite.version, suite.tests,
                          f"{suite.package.lower()}-{suite.version}")
    version = f"{sys.version_info[0]}.{sys.version_info[1]}"
    scratch = os.path.join(args.workdir, f"scratch-{name}-{version}")
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    configs = pytest_arguments(suite, scratch)
    # run_once's pytest inherits this process's environment: the release's own code comes first.
    os.environ["PYTHONPATH"] = os.pathsep.join([os.path.join(source, suite.import_root), *inherited_path])
    print(f"{suite.package} {suite.version} test suite, {args.rounds} round(s)", flush=True)

    names = list(configs)
    runs = {config: [] for config in names}
    logs = {}
    for round_number in range(args.rounds):
        shift = round_number % len(names)
        for config in names[shift:] + names[:shift]:
            logs[config] = os.path.join(args.workdir, f"{version}-{name}-{LOG_NAME.sub('_', config)}.log")
            run = run_once(configs[config], source, scratch, limit_bytes, logs[config])
            runs[config].append(run)
            print(f"  round {round_number + 1} {config}: {run['cpu']:.1f} s CPU, exit {run['status']}, "
                  f"{run['outcome']}", flush=True)
    shutil.rmtree(scratch, ignore_errors=True)

    untraced = runs[UNTRACED]
    untraced_cpu = statistics.median(run["cpu"] for run in untraced)
    untraced_wall = statistics.median(run["wall"] for run in untraced)
    expected = (untraced[0]["status"], untraced[0]["outcome"])
    untraced_not_passed = tests_not_passed(logs[UNTRACED])
    result = {"package": f"{suite.package} {suite.version}", "configurations": {}}
    for config in names:
        cpu = statistics.median(run["cpu"] for run in runs[config])
        wall = statistics.median(run["wall"] for run in runs[config])
        entry = {
            "cpu_s": cpu, "wall_s": wall, "ratio": cpu / untraced_cpu, "wall_ratio": wall / untraced_wall,
            "status": runs[config][0]["status"], "outcome": runs[config][0]["outcome"],
            "same_outcome_as_untraced": expected[1] is not None
            and all((run["status"], run["outcome"]) == expected for run in runs[config]),
        }
        if config != UNTRACED:
            not_passed = tests_not_passed(logs[config])
            entry["tests_ending_otherwise"] = {node: word for node, word in sorted(not_passed.items())
                                               if untraced_not_passed.get(node) != word}
        result["configurations"][config] = entry
        print(describe(config, entry), flush=True)
    return result


def describe(config, entry):
    counts = ", ".join(f"{count} {word}" for word, count in (entry["outcome"] or {}).items()) or "no summary line"
    line = (f"  {config:16s} {entry['cpu_s']:7.1f} s CPU (x{entry['ratio']:5.2f})  {entry['wall_s']:7.1f} s wall  "
            f"exit {entry['status']}: {counts}  "
            + ("same outcome" if entry["same_outcome_as_untraced"] else "OUTCOME DIFFERS"))
    differing = entry.get("tests_ending_otherwise")
    if differing:
        shown = list(differing.items())[:10]
        line += "".join(f"\n{'':20s}{word} {node}" for node, word in shown)
        if len(differing) > len(shown):
            line += f"\n{'':20s}... {len(differing) - len(shown)} more"
    return line


# ---- the dataclass workload -------------------------------------------------

class Status(enum.Enum):
    OPEN = "open"
    SHIPPED = "shipped"


@dataclasses.dataclass(frozen=True)
class Address:
    street: str
    city: str
    postcode: str


@dataclasses.dataclass(frozen=True)
class Customer:
    name: str
    email: str
    address: Address


@dataclasses.dataclass
class Line:
    sku: str
    quantity: int
    unit_price: float


@dataclasses.dataclass
class Order:
    number: int
    customer: Customer
    lines: list
    status: Status = Status.OPEN


def line_total(line):
    return line.quantity * line.unit_price


def order_total(order):
    total = 0.0
    for line in order.lines:
        total += line_total(line)
    return round(total, 2)


def make_order(number, customer):
    lines = [Line(f"sku-{number % 7}", number % 3 + 1, 2.5), Line("sku-x", 1, 9.99), Line("sku-y", 2, 0.5)]
    return Order(number, customer, lines)


def shipped(order):
    return dataclasses.replace(order, status=Status.SHIPPED)


# Recorded per order: make_order, shipped, order_total and 3 x line_total. The
# dataclasses' generated __init__ and dataclasses.replace run too, filtered out.
DATACLASS_ORDERS = 3_000


def dataclass_orders(orders=DATACLASS_ORDERS):
    customers = [Customer(f"customer-{index}", f"c{index}@example.org", Address(f"{index} Main St", "Oslo", "0150"))
                 for index in range(20)]
    grand_total = 0.0
    for number in range(orders):
        order = shipped(make_order(number, customers[number % len(customers)]))
        grand_total += order_total(order)
    return grand_total


def time_dataclass_workload(rounds):
    # time_workload times workloads by their name in workloads.WORKLOADS.
    workloads.WORKLOADS.setdefault("dataclasses", dataclass_orders)
    configs = [Untraced(), Zelm("zelm"), Zelm("zelm lightweight_repr", lightweight_repr=True)]
    measured = time_workload("dataclasses", configs, rounds)
    print(f"dataclass workload: {measured['events']} events, {rounds} rounds", flush=True)
    for config, entry in measured["configurations"].items():
        print(f"  {config:24s} {entry['median_s'] * 1e3:9.1f} ms  x{entry['ratio']:6.1f}  "
              f"{entry['ns_per_event']:8.0f} ns/event", flush=True)
    return measured


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3, help="rounds of each suite (default 3)")
    parser.add_argument("--suites", default=",".join(SUITES), help=f"comma-separated, of {', '.join(SUITES)}")
    parser.add_argument("--workload-rounds", type=int, default=7, help="timing rounds of the dataclass workload")
    parser.add_argument("--memory-limit", type=float, default=6.0, metavar="GIB",
                        help="address-space limit of each pytest process (default 6)")
    parser.add_argument("--workdir", default=os.path.join(ROOT, "build", "bench-suites"))
    parser.add_argument("--output", default=os.path.join(
        BENCH_DIR, "results", f"real_suites-{sys.version_info[0]}.{sys.version_info[1]}.json"))
    args = parser.parse_args()
    wanted = [name.strip() for name in args.suites.split(",") if name.strip()]
    unknown = [name for name in wanted if name not in SUITES]
    if unknown:
        parser.error(f"unknown suites {unknown}; there are {list(SUITES)}")
    args.workdir = os.path.abspath(args.workdir)
    # The suites run in their own directories: paths the caller gave relative to its own must still hold.
    inherited_path = [os.path.abspath(path) for path in os.environ.get("PYTHONPATH", "").split(os.pathsep) if path]
    os.environ["PYTEST_DISABLE_PLUGIN_AUTOLOAD"] = "1"
    limit_bytes = int(args.memory_limit * 1024 * MIB)
    print(f"Python {sys.version.split()[0]}; address-space limit {args.memory_limit:g} GiB; logs in {args.workdir}",
          flush=True)

    result = {"python": sys.version.split()[0], "rounds": args.rounds, "memory_limit_bytes": limit_bytes,
              "suites": {name: run_suite(name, SUITES[name], args, limit_bytes, inherited_path) for name in wanted}}
    result["dataclass_workload"] = time_dataclass_workload(args.workload_rounds)

    os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
    with open(args.output, "w") as output:
        json.dump(result, output, indent=1)
    print(f"wrote {args.output}")
    same = all(entry["same_outcome_as_untraced"] for suite in result["suites"].values()
               for entry in suite["configurations"].values())
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
