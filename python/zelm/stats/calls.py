"""What the aggregates read of an index: each node's function as a number
and each call's self time, worked out once per index."""

import operator
import weakref
from array import array

from zelm import _fastread
from zelm.view import lazy, model

# Index -> its Calls; an index is dropped with the trace it indexes.
_known = weakref.WeakKeyDictionary()


class Calls:
    """The nodes of ``index`` as the aggregates see them.

    ``functions`` lists the (qualified name, file) pairs of the trace;
    ``function[node]`` is the node's position in it, -1 for a plugin
    record; ``time[node]`` is the seconds a call counts for, its duration;
    ``self[node]`` is the node's self time (0.0 for a plugin record).
    """

    def __init__(self, index):
        self.index = index
        self.functions, self.function = _functions(index)
        self.time = array("d", map(operator.sub, index.end, index.start))
        self.self = memoryview(_fastread.self_times(self.time, index.parent, self.function)).cast("d")

    def node_range(self, thread):
        """The node ids (first, last + 1) of thread number ``thread``, or of
        every thread for None; raises model.NodeNotFound."""
        if thread is None:
            return 0, len(self.index.nodes)
        threads = self.index.threads
        if not isinstance(thread, int) or not 0 <= thread < len(threads):
            raise model.NodeNotFound(f"thread {thread}")
        return threads[thread].first, threads[thread].last


def calls_of(index):
    calls = _known.get(index)
    if calls is None:
        calls = _known[index] = Calls(index)
    return calls


def self_times(index):
    """The self time of every node of ``index`` (a zelm.view.model.TraceIndex
    of either form), by node id: a call's duration minus the durations of
    the calls it made, never below 0.0; 0.0 for a plugin record. A call's
    self time includes the time spent in code the profiler did not record
    (library code, C functions, filtered frames) that it called."""
    return calls_of(index).self


def _functions(index):
    """(the (qualified name, file) pairs, each node's number among them)."""
    nodes = index.nodes
    location = nodes.location if isinstance(nodes, lazy.Nodes) else (lambda node_id: nodes[node_id].location)
    function = array("i", [-1]) * len(nodes)
    functions, numbers, files = [], {}, {}
    for name, ids in index.by_name.items():
        for node_id in ids:
            place = location(node_id)
            file = files.get(place)
            if file is None:
                file = files[place] = model.split_location(place)[0]
            number = numbers.get((name, file))
            if number is None:
                number = numbers[name, file] = len(functions)
                functions.append((name, file))
            function[node_id] = number
    return functions, function

