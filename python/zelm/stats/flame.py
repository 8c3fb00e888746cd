"""The aggregated flame graph (icicle) of a thread: its calls merged by
call path."""

from zelm import _fastread
from zelm.stats.calls import calls_of

# The most merged nodes one flame graph holds: enough for every box a
# screen can show, few enough to send and draw at once.
FLAME_NODE_BUDGET = 5000
# The deepest call path kept: deeper, a graph is no longer read, and its
# nesting would outgrow what json.dumps takes on Python 3.10 (about 450
# levels of dicts in lists).
FLAME_MAX_DEPTH = 200


def flame_graph(index, thread, max_nodes=FLAME_NODE_BUDGET):
    """The calls of thread number ``thread`` of ``index`` merged by call
    path: the calls of one function made from the same path of functions
    from the root are one node. Raises zelm.view.model.NodeNotFound for an
    unknown thread.

    The root is a dict {"name": "all", "total", "self", "calls", "node",
    "children", "truncated"}: "total" is the time the thread's top-level
    calls ran, "self" 0.0, "calls" their number, "node" None. Every other
    node is a dict {"name", "qualname", "path", "total", "self", "calls",
    "node", "children"}: "name" and "qualname" the function's qualified
    name, "path" its file, "total" the time the merged calls ran in seconds
    (see zelm.stats; a recursive function's calls are nodes of their own,
    one per depth, so nothing is counted twice), "self" their self times
    (see zelm.stats.self_times), "calls" their number and "node" the node
    id of the first of them. Children come heaviest total first (ties in
    the order they first ran), so the graph is left-heavy.

    At most ``max_nodes`` nodes besides the root are kept, the heaviest
    ones, and none deeper than FLAME_MAX_DEPTH levels below the root; a
    node whose children were left out keeps its own total and self, so
    their time shows as the part of it that no child covers, and the
    root's "truncated" is True.
    """
    calls = calls_of(index)
    first, last = calls.node_range(thread)
    parent, function, total, own, count, node, root_total, root_calls, truncated = _fastread.flame_graph(
        calls.time, index.size, calls.function, calls.self, first, last, max_nodes, FLAME_MAX_DEPTH)
    parent, count, node = (memoryview(part).cast("q") for part in (parent, count, node))
    function = memoryview(function).cast("i")
    total, own = (memoryview(part).cast("d") for part in (total, own))
    graph = {"name": "all", "total": root_total, "self": 0.0, "calls": root_calls, "node": None, "children": [],
             "truncated": truncated}
    made = []  # the nodes' dicts, in depth-first order: a parent before its children
    for at in range(len(function)):
        qualname, file = calls.functions[function[at]]
        made.append({"name": qualname, "qualname": qualname, "path": file, "total": total[at], "self": own[at],
                     "calls": count[at], "node": node[at], "children": []})
        (made[parent[at]] if parent[at] >= 0 else graph)["children"].append(made[at])
    return graph
