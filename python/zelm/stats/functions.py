"""The table of functions: how often each ran and how long, with its calls."""

from zelm import _fastread
from zelm.stats.calls import calls_of


def function_table(index, thread=None):
    """One row per function (qualified name and file) of thread number
    ``thread`` of ``index``, or of every thread for None, heaviest total
    first; raises zelm.view.model.NodeNotFound for an unknown thread.

    Each row is a dict:

    - "qualname", "path": the function's qualified name and file (its
      location without the line);
    - "calls": how many times it was called;
    - "outermost": how many of those calls ran inside no other call of the
      same function (on its thread); equal to "calls" unless it recursed;
    - "total": the time spent in it, in seconds: the time its outermost
      calls ran (see zelm.stats), so that a recursive function's time is
      counted once;
    - "self": the self times of all its calls (see zelm.stats.self_times),
      which include time in code the profiler did not record;
    - "mean": "total" per outermost call; "max": the longest call (always
      an outermost one);
    - "nodes": the node ids of all its calls, in the order they started.
    """
    calls = calls_of(index)
    first, last = calls.node_range(thread)
    parts = _fastread.function_table(calls.time, index.start, index.size, calls.function, calls.self, first, last,
                                     len(calls.functions))
    counts, outermost, total, own, longest, offsets, members = (
        memoryview(part).cast(code) for part, code in zip(parts, "qqdddqq"))
    table = [
        {"qualname": qualname, "path": path, "calls": counts[number], "outermost": outermost[number],
         "total": total[number], "self": own[number], "mean": total[number] / outermost[number],
         "max": longest[number], "nodes": members[offsets[number]:offsets[number + 1]].tolist()}
        for number, (qualname, path) in enumerate(calls.functions) if counts[number]
    ]
    table.sort(key=lambda row: (-row["total"], row["nodes"][0]))
    return table
