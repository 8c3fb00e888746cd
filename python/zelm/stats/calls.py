"""What the aggregates read of an index: each node's function as a number
and each call's self time, worked out once per index.

The index is a zelm.view.model.TraceIndex, which shows these figures and so
imports this package: it is used here through its columns and methods
only, never imported.
"""

import weakref
from array import array

from zelm import _fastread

# Index -> its Calls; an index is dropped with the trace it indexes.
_known = weakref.WeakKeyDictionary()


class Calls:
    """The nodes of ``index`` as the aggregates see them.

    ``functions`` lists the (qualified name, file) pairs of the trace;
    ``function[node]`` is the node's position in it, -1 for a plugin
    record; ``time[node]`` is the seconds a call counts for, the time it
    ran; ``self[node]`` is the node's self time (0.0 for a plugin record).
    """

    def __init__(self, index):
        self.index = index
        self.functions, self.function = _functions(index)
        self.time = _running_times(index.nodes)
        self.self = memoryview(_fastread.self_times(self.time, index.parent, self.function)).cast("d")

    def node_range(self, thread):
        """The node ids (first, last + 1) of thread number ``thread``, or of
        every thread for None; the index raises its NodeNotFound for an
        unknown thread."""
        if thread is None:
            return 0, len(self.index.nodes)
        info = self.index._thread(thread)
        return info.first, info.last


def calls_of(index):
    calls = _known.get(index)
    if calls is None:
        calls = _known[index] = Calls(index)
    return calls


def self_times(index):
    """The self time of every node of ``index`` (a zelm.view.model.TraceIndex
    of either form), by node id: the time a call ran (its duration, less
    the time a coroutine or generator was suspended) minus the time the
    calls it made ran, never below 0.0; 0.0 for a plugin record. A call's
    self time includes the time spent in code the profiler did not record
    (library code, C functions, filtered frames) that it called."""
    return calls_of(index).self


def _functions(index):
    """(the (qualified name, file) pairs, each node's number among them)."""
    nodes = index.nodes
    # The index read from the stored bytes names a node's location without making the node.
    location = getattr(nodes, "location", None) or (lambda node_id: nodes[node_id].location)
    function = array("i", [-1]) * len(nodes)
    functions, numbers, files = [], {}, {}
    for name, ids in index.by_name.items():
        for node_id in ids:
            place = location(node_id)
            file = files.get(place)
            if file is None:
                file = files[place] = _file_of(place)
            number = numbers.get((name, file))
            if number is None:
                number = numbers[name, file] = len(functions)
                functions.append((name, file))
            function[node_id] = number
    return functions, function



def _running_times(nodes):
    """The seconds each node ran: a joined coroutine's or generator's
    duration counts only the times it ran, which lie within its callers'
    (the index read from the stored bytes has them as a column)."""
    running_times = getattr(nodes, "running_times", None)
    if running_times is not None:
        return running_times()
    return array("d", (getattr(node, "running", 0.0) for node in nodes))


def _file_of(location):
    """The file of a "file:line" location; the whole text when it ends in no line number."""
    file, colon, line = location.rpartition(":")
    return file if colon and file and line.isdigit() else location
