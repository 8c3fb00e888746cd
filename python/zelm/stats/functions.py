"""The table of functions: how often each ran and how long, with its calls."""

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
    - "total": the time spent in it, in seconds: the durations of its
      outermost calls, so that a recursive function's time is counted once;
    - "self": the self times of all its calls (see zelm.stats.self_times),
      which include time in code the profiler did not record;
    - "mean": "total" per outermost call; "max": the longest call (always
      an outermost one);
    - "nodes": the node ids of all its calls, in the order they started.
    """
    calls = calls_of(index)
    first, last = calls.node_range(thread)
    start, end, size, function, own = index.start, index.end, index.size, calls.function, calls.self
    rows = {}
    # Per function, the node id past the subtree of its outermost open call.
    open_until = {}
    for node_id in range(first, last):
        number = function[node_id]
        if number < 0:
            continue
        row = rows.get(number)
        if row is None:
            qualname, path = calls.functions[number]
            row = rows[number] = {"qualname": qualname, "path": path, "calls": 0, "outermost": 0, "total": 0.0,
                                  "self": 0.0, "mean": 0.0, "max": 0.0, "nodes": []}
        duration = end[node_id] - start[node_id]
        row["calls"] += 1
        row["self"] += own[node_id]
        row["nodes"].append(node_id)
        if open_until.get(number, 0) <= node_id:
            open_until[number] = node_id + size[node_id]
            row["outermost"] += 1
            row["total"] += duration
            row["max"] = max(row["max"], duration)
    table = list(rows.values())
    for row in table:
        row["mean"] = row["total"] / row["outermost"]
        if thread is None and len(index.threads) > 1:
            row["nodes"].sort(key=start.__getitem__)
    table.sort(key=lambda row: (-row["total"], row["nodes"][0]))
    return table
