"""The aggregated flame graph (icicle) of a thread: its calls merged by
call path."""

from zelm.stats.calls import calls_of

# The most merged nodes one flame graph holds: enough for every box a
# screen can show, few enough to send and draw at once.
FLAME_NODE_BUDGET = 5000


def flame_graph(index, thread, max_nodes=FLAME_NODE_BUDGET):
    """The calls of thread number ``thread`` of ``index`` merged by call
    path: the calls of one function made from the same path of functions
    from the root are one node. Raises zelm.view.model.NodeNotFound for an
    unknown thread.

    The root is {"name": "all", "total", "self", "calls", "node",
    "children", "truncated"}: "total" the durations of the thread's
    top-level calls, "self" 0.0, "calls" their number, "node" None. Every
    other node is
    {"name", "qualname", "path", "total", "self", "calls", "node",
    "children"}: "name" is the qualified name, "path" the file, "total"
    the durations of the merged calls (seconds), "self" their self times
    (see zelm.stats.self_times), "calls" their number and "node" the node
    id of the first of them. Children come heaviest total first (ties in
    the order they first ran), so the graph is left-heavy.

    At most ``max_nodes`` nodes besides the root are kept, the heaviest
    ones; a node whose lighter children were left out keeps its own total
    and self, so their time shows as the part of it no child covers, and
    the root's "truncated" is True.
    """
    calls = calls_of(index)
    first, last = calls.node_range(thread)
    start, end, size, function, own = index.start, index.end, index.size, calls.function, calls.self
    # Merged nodes, in the order they first appear: parent, function, total, self, calls, first node.
    merged = [[-1, -1, 0.0, 0.0, 0, -1]]
    child_of = {}  # (parent, function) -> merged node
    path = []  # (merged node, node id past its call's subtree) of the open calls
    for node_id in range(first, last):
        number = function[node_id]
        if number < 0:
            continue
        while path and path[-1][1] <= node_id:
            path.pop()
        parent = path[-1][0] if path else 0
        key = (parent, number)
        target = child_of.get(key)
        if target is None:
            target = child_of[key] = len(merged)
            merged.append([parent, number, 0.0, 0.0, 0, node_id])
        entry = merged[target]
        duration = end[node_id] - start[node_id]
        entry[2] += duration
        entry[3] += own[node_id]
        entry[4] += 1
        if not path:
            merged[0][2] += duration
            merged[0][4] += 1
        path.append((target, node_id + size[node_id]))

    # The heaviest nodes: a child's total never exceeds its parent's, and
    # on a tie the parent, made first, comes first, so a kept node's parent
    # is kept too.
    heaviest = sorted(range(1, len(merged)), key=lambda target: (-merged[target][2], target))[:max_nodes]
    root = merged[0]
    graph = {"name": "all", "total": root[2], "self": 0.0, "calls": root[4], "node": None, "children": [],
             "truncated": len(merged) - 1 > max_nodes}
    shown = {0: graph}  # merged node -> its dict
    for target in heaviest:
        parent, number, total, self_time, count, node_id = merged[target]
        qualname, file = calls.functions[number]
        shown[target] = {"name": qualname, "qualname": qualname, "path": file, "total": total, "self": self_time,
                         "calls": count, "node": node_id, "children": []}
    for target in heaviest:  # siblings heaviest first, ties in the order they first ran
        shown[merged[target][0]]["children"].append(shown[target])
    return graph
