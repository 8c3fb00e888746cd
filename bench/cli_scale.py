"""The command line on a large trace: how long each command a person waits
for takes, and its peak memory, against the size of the stored document.

    python bench/cli_scale.py [--records N] [--five-million] [--db PATH]

Records PROGRAM (request handlers calling nested helpers) with `zelm run
--trace-budget none`, about N frame records (default a million; 5 million
more with --five-million), then runs, each in a process of its own: `zelm
show --depth 1`, `zelm export` in each format to a file, `zelm stats`.
For `zelm run` the time is the one a person waits once the program has
ended (the program prints its own end time): building the trace, saving
it and the summary line. The peak resident memory of each command is its
own (ru_maxrss of that child, from os.wait4).
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

from zelm import store

# Each handler makes CALLS_PER_HANDLER calls; the program prints the time
# it ends as its last line.
PROGRAM = """\
import sys
import time


def parse(text):
    return text.split(",")


def validate(fields):
    return all(fields)


def depth(n):
    return 0 if n == 0 else 1 + depth(n - 1)


def render(fields, total):
    return "|".join(fields) + str(total)


def handle(number):
    fields = parse(f"a,b,{number}")
    validate(fields)
    for _ in range(3):
        parse("x,y")
    total = depth(8)
    return render(fields, total)


def main(handlers):
    return [handle(number) for number in range(handlers)]


main(int(sys.argv[1]))
print(time.time())
"""
CALLS_PER_HANDLER = 1 + 1 + 1 + 3 + 9 + 1
EXPORT_FORMATS = ("chrome", "json", "speedscope", "html")


def run(command, directory):
    """(seconds, peak resident MiB, stdout, stderr, exit status) of one zelm command."""
    started = time.time()
    with tempfile.TemporaryFile() as output, tempfile.TemporaryFile() as errors:
        child = subprocess.Popen([sys.executable, "-m", "zelm", *command], cwd=directory, stdout=output,
                                 stderr=errors)
        _, status, usage = os.wait4(child.pid, 0)
        elapsed = time.time() - started
        output.seek(0), errors.seek(0)
        return (elapsed, usage.ru_maxrss / 1024, output.read().decode(), errors.read().decode(),
                os.waitstatus_to_exitcode(status))


def measure(records, directory):
    """The table's rows for a trace of about ``records`` frame records."""
    db_path = os.path.join(directory, f"scale-{records}.sqlite3")
    handlers = max(1, (records // 2 - 2) // CALLS_PER_HANDLER)
    elapsed, peak, stdout, stderr, status = run(
        ["run", "--trace-budget", "none", "--db", db_path, "prog.py", str(handlers)], directory)
    if status != 0:
        raise SystemExit(f"zelm run failed with status {status}: {stderr}")
    exited = time.time()
    program_ended = float(stdout.split()[-1])
    stored = store.list_traces(db_path)[0]
    size = stored.size_bytes
    print(f"recorded {stored.record_count} records; document {size / 2**20:.1f} MiB; "
          f"summary: {stderr.splitlines()[-1]}", file=sys.stderr)
    rows = [(records, "run: program end to exit", exited - program_ended, peak, size)]
    commands = {"show --depth 1": ["show", "latest", "--db", db_path, "--depth", "1"],
                "stats": ["stats", "latest", "--db", db_path]}
    for export_format in EXPORT_FORMATS:
        target = os.path.join(directory, f"export-{records}.{export_format}")
        commands[f"export --format {export_format}"] = ["export", "latest", "--db", db_path, "--format",
                                                        export_format, "-o", target]
    for name, command in commands.items():
        elapsed, peak, _, stderr, status = run(command, directory)
        if status != 0:
            print(f"zelm {name} failed: {stderr.strip()}", file=sys.stderr)
            name += " (failed)"
        rows.append((records, name, elapsed, peak, size))
    for name in os.listdir(directory):
        if name.startswith(f"export-{records}."):
            os.remove(os.path.join(directory, name))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=1_000_000, help="frame records to record (default 1000000)")
    parser.add_argument("--five-million", action="store_true", help="also a trace of 5 million frame records")
    parser.add_argument("--db", metavar="DIRECTORY", help="where the databases go (default: a temporary directory)")
    args = parser.parse_args()

    sizes = [args.records] + ([5_000_000] if args.five_million else [])
    with tempfile.TemporaryDirectory() as scratch:
        directory = args.db or scratch
        with open(os.path.join(directory, "prog.py"), "w") as program:
            program.write(PROGRAM)
        rows = [row for records in sizes for row in measure(records, directory)]
    width = max(len(row[1]) for row in rows)
    print(f"{'records':>9}  {'command':<{width}}  {'seconds':>8}  {'peak MiB':>8}  {'x document':>10}")
    for records, name, elapsed, peak, size in rows:
        print(f"{records:>9}  {name:<{width}}  {elapsed:>8.2f}  {peak:>8.0f}  {peak * 2**20 / size:>10.2f}")


if __name__ == "__main__":
    main()
