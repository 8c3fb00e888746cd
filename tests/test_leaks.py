"""The repeated-run leak check (bench/leak_check.py) in a short form: many
profiling sessions in one process must leave resident memory where the
first of them took it, and the same check must notice a few KiB kept per
session."""

import os

import pytest
from conftest import TESTS_DIR, UNDER_ASAN, run_python

BENCH_DIR = os.path.join(os.path.dirname(TESTS_DIR), "bench")
ROUNDS = "120"

# The check with every round's workload keeping 16 KiB: what a leak of a
# small object on each event, or of part of a trace, looks like from outside.
# The kept bytes are written, so their pages are resident (zeroed memory
# fresh from the system is not), and well over the limit, since
# memory the allocator freed in earlier rounds takes in part of what is kept.
KEEPING_16_KIB_A_ROUND = """
import sys
import leak_check

kept = []
workload = leak_check.workload

def keeping_workload():
    kept.append(b"\\x01" * (16 * 1024))
    return workload()

leak_check.workload = keeping_workload
sys.exit(leak_check.main(sys.argv[1:]))
"""


# AddressSanitizer holds freed memory in quarantine, so resident memory
# climbs under it whatever the profiler does.
@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer's quarantine grows resident memory by itself")
@pytest.mark.parametrize("program, leaks", [
    (["leak_check.py"], False),
    (["-c", KEEPING_16_KIB_A_ROUND], True),
], ids=["profiling-sessions", "keeping-16-KiB-a-round"])
def test_memory_settles_over_repeated_profiling_sessions(program, leaks):
    result = run_python(*program, "--rounds", ROUNDS, cwd=BENCH_DIR, timeout=300)
    assert result.returncode == (1 if leaks else 0), result.stdout + result.stderr
    assert ("leak: memory grew" in result.stdout) == leaks, result.stdout
