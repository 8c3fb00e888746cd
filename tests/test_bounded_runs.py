"""Programs of the shapes that once made traced runs grow without bound
(huge locals resumed thousands of times, long lists of big integers, text
built up in a loop) run to the end under `zelm run` in its default mode,
in a subprocess whose peak memory stays far below the 2 GiB a run may take."""

import os
import re

import pytest
from conftest import run_python

from zelm import store

PEAK_LIMIT_BYTES = 1024**3
# A run under AddressSanitizer (make test's last pass) also holds its shadow memory.
if "asan" in os.environ.get("LD_PRELOAD", ""):
    PEAK_LIMIT_BYTES = 3 * 1024**3 // 2

# Runs `zelm run ARGS` and reports the process's peak resident memory.
RUN_AND_MEASURE = """\
import resource
import sys

from zelm.cli.main import main

status = main(sys.argv[1:])
print("peak_rss_kib", resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, file=sys.stderr)
sys.exit(status)
"""

PROGRAMS = {
    "generator holding 50 MB locals, resumed 10,000 times": ("""\
def numbers():
    blob = b"x" * 50_000_000
    text = "y" * 50_000_000
    for number in range(10_000):
        yield number


print(sum(numbers()))
""", "49995000", 20_004),
    "recursion over lists of 100,000 big integers": ("""\
def walk(values, depth):
    if depth == 0:
        return len(values)
    return walk(values[1:], depth - 1)


print(walk(list(map((10**40).__add__, range(100_000))), 100))
""", "99900", 204),
    "string-building loop": ("""\
def grow(text, number):
    return text + str(number % 10) * 50


text = ""
for number in range(5_000):
    text = grow(text, number)
print(len(text))
""", "250000", 10_002),
}


@pytest.mark.parametrize("program, output, records", PROGRAMS.values(), ids=PROGRAMS.keys())
def test_program_runs_to_the_end_with_bounded_memory(tmp_path, program, output, records):
    (tmp_path / "program.py").write_text(program)

    result = run_python("-c", RUN_AND_MEASURE, "run", "--db", "t.sqlite3", "program.py", cwd=tmp_path, timeout=300)

    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == output
    peak = int(re.search(r"peak_rss_kib (\d+)", result.stderr).group(1)) * 1024
    assert peak < PEAK_LIMIT_BYTES, f"peak resident memory {peak / 1024**2:.0f} MiB"
    assert f": {records} records ({records} frame," in result.stderr
    (stored,) = store.list_traces(tmp_path / "t.sqlite3")
    assert stored.record_count == records
    # Each value is cut to the full mode's limits: a few KiB per record at most.
    assert stored.size_bytes < records * 20 * 1024
