"""One workload of workloads.py as a program of its own, for the whole runs
of bench/whole_run.py:

    python bench/run_workload.py NAME
"""
import sys

import workloads

if __name__ == "__main__":
    workloads.WORKLOADS[sys.argv[1]]()
