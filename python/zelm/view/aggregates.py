"""Where a loaded trace's time went, as the viewer shows it: the table of
functions, the flame graph of a thread, and the calls that one of their
entries stands for.

zelm.stats computes the table and the graph; each is kept per trace and
thread, since the pages ask again whenever the thread filter or a panel
changes. A flame graph's box is named by its call path, the functions from
a thread's top-level call down to it, each as its (qualified name, file).
"""

import threading
import weakref
from array import array

from zelm import stats
from zelm.view import model


class UnknownFunction(LookupError):
    """No function of that name and file in the asked thread."""


_kept = weakref.WeakKeyDictionary()  # TraceIndex -> Aggregates
_kept_lock = threading.Lock()


def of(index):
    """The aggregates of ``index`` (a model.TraceIndex), made at the first
    ask and kept as long as the index lives."""
    with _kept_lock:
        found = _kept.get(index)
        if found is None:
            found = _kept[index] = Aggregates(index)
        return found


def without_calls(table):
    """The per-function table as the pages get it: each function's call ids
    stay on the server, which pages through them on request."""
    return [{key: value for key, value in entry.items() if key != "nodes"} for entry in table]


class Aggregates:
    """The tables and flame graphs of one trace's index, each computed at
    its first ask. An unknown thread raises model.NodeNotFound."""

    def __init__(self, index):
        self.index = index
        self._lock = threading.Lock()
        self._tables = {}  # thread number or None -> (table, {(qualname, path): position})
        self._flames = {}  # thread number -> flame graph
        self._entry_of = {}  # thread number -> array: node id - thread's first id -> position in its table

    def functions(self, thread):
        """The table of ``thread``'s functions (None: all threads)."""
        return {"thread": thread, "functions": without_calls(self.table(thread)[0])}

    def flame(self, thread):
        """The flame graph of ``thread``'s calls."""
        with self._lock:
            graph = self._flames.get(thread)
        if graph is None:
            graph = stats.flame_graph(self.index, thread)
            with self._lock:
                self._flames[thread] = graph
        return graph

    def table(self, thread):
        """(the stats table of ``thread``, its positions by (qualname, path))."""
        with self._lock:
            kept = self._tables.get(thread)
        if kept is None:
            table = stats.function_table(self.index, thread)
            kept = table, {(entry["qualname"], entry["path"]): position for position, entry in enumerate(table)}
            with self._lock:
                self._tables[thread] = kept
        return kept

    def function_calls(self, thread, qualname, path, offset=0):
        """A page of the calls of one function of the table of ``thread``."""
        table, positions = self.table(thread)
        position = positions.get((qualname, path))
        if position is None:
            raise UnknownFunction(f"no function {qualname} of {path} in this table")
        return self.index._page(table[position]["nodes"], offset, model.PAGE_SIZE)

    def path_calls(self, thread, call_path, offset=0):
        """A page of the calls of ``thread`` made along ``call_path`` (a flame
        graph box's [[qualname, path], ...] from the top-level call down)."""
        table, positions = self.table(thread)
        wanted = []
        for step in call_path:
            position = positions.get(tuple(step))
            if position is None:
                raise UnknownFunction(f"no function {step[0]} of {step[1]} in this thread")
            wanted.append(position)
        if not wanted:
            raise UnknownFunction("an empty call path")
        index, entry_of = self.index, self._entries(thread)
        first = index.threads[thread].first
        depth = len(wanted) - 1
        ids = []
        for node_id in table[wanted[-1]]["nodes"]:
            if index.depth[node_id] != depth:
                continue
            ancestor, level = index.parent[node_id], depth - 1
            while level >= 0 and entry_of[ancestor - first] == wanted[level]:
                ancestor, level = index.parent[ancestor], level - 1
            if level < 0:
                ids.append(node_id)
        return index._page(ids, offset, model.PAGE_SIZE)

    def _entries(self, thread):
        """Per node of ``thread``, the position of its function in the
        thread's table (-1 for plugin records)."""
        with self._lock:
            entry_of = self._entry_of.get(thread)
        if entry_of is None:
            info = self.index.threads[thread]
            entry_of = array("i", [-1]) * (info.last - info.first)
            for position, entry in enumerate(self.table(thread)[0]):
                for node_id in entry["nodes"]:
                    entry_of[node_id - info.first] = position
            with self._lock:
                self._entry_of[thread] = entry_of
        return entry_of
