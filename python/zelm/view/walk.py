"""A stored trace walked node by node, as `zelm show` and the Chrome and
speedscope exports read it, without decoding it whole.

Both kinds of walked trace answer alike: ``trace`` (the reader's Trace for
the run's facts; its threads are not filled in), ``record_count``,
``threads`` (each with ``thread_id`` and ``name``), and per thread a
depth-first walk of (depth, node reference), a reference being made into
the reader's Call or PluginRecord only by ``node``.

IndexedTrace reads the native reader's flat call tree (lazy.py): its node
ids are in depth-first order, so a node's subtree is the ids after it up to
its subtree size, and what the columns hold (names, locations, times,
nesting, how many nodes are plugin records) is answered without decoding a
record. LoadedTrace answers the same from a trace the reader decoded whole,
which is how a document the native reader does not take apart is read.
"""

from zelm import trace as trace_reader
from zelm.view import lazy

__all__ = ["open_trace", "IndexedTrace", "LoadedTrace"]

# The kind column's byte for a plugin record (a call's is 0).
_PLUGIN_RECORD = b"\x01"


def open_trace(db_path, trace_id):
    """The trace ``trace_id`` (or "latest") of the database at ``db_path``,
    walked from the native reader's index, or decoded whole by the reader
    when the native reader refuses its documents. Raises what
    zelm.trace.load raises."""
    trace_id, documents = lazy.load_documents(db_path, trace_id)
    name = f"trace {trace_id} in {db_path}"
    try:
        tree = lazy.index_documents(documents)
    except lazy.Unindexable:
        return LoadedTrace(lazy.decoded_trace(documents, name))
    return IndexedTrace(documents, tree, name)


class IndexedThread(lazy.ThreadFacts):
    """A thread of the index: its nodes are the ids ``first`` .. ``last`` - 1."""

    def __init__(self, facts, main_thread_id):
        super().__init__(facts["thread_id"], lazy.thread_name(facts, main_thread_id))
        self.first, self.last = facts["first"], facts["last"]


class IndexedTrace:
    """A trace read from the native reader's index of its ``documents``
    (``tree``); node references are node ids."""

    def __init__(self, documents, tree, name):
        self.nodes = lazy.Nodes(documents, tree)
        self.trace = lazy.trace_facts(documents, tree, self.nodes, name)
        self.record_count = tree["record_count"]
        self.threads = [IndexedThread(facts, self.trace.main_thread_id) for facts in tree["threads"]]
        self._kind = tree["kind"]
        self._depth = lazy.column(tree, "depth", "i")
        self._size = lazy.column(tree, "size", "q")
        self._start = lazy.column(tree, "start", "d")
        self._end = lazy.column(tree, "end", "d")
        self._segment_first = lazy.column(tree, "segment_first", "q")
        self._segment_count = lazy.column(tree, "segment_count", "i")
        self._segment_start = lazy.column(tree, "segment_start", "d")
        self._segment_end = lazy.column(tree, "segment_end", "d")

    def walk(self, thread, max_depth=None):
        """(depth, node id) of the thread's calls and plugin records, depth
        first, roots at depth 0; with ``max_depth``, none at that depth or
        deeper (their subtrees are stepped over, not visited)."""
        depth, size = self._depth, self._size
        node_id, last = thread.first, thread.last
        while node_id < last:
            node_depth = depth[node_id]
            yield node_depth, node_id
            node_id += size[node_id] if max_depth is not None and node_depth + 1 >= max_depth else 1

    def node(self, node_id):
        """The reader's Call or PluginRecord, its records decoded now."""
        return self.nodes[node_id]

    def is_call(self, node_id):
        return not self._kind[node_id]

    def call_count(self, thread):
        return thread.last - thread.first - self._kind.count(_PLUGIN_RECORD, thread.first, thread.last)

    def nested_call_count(self, node_id):
        """The calls below a call, at any depth."""
        end = node_id + self._size[node_id]
        return end - node_id - 1 - self._kind.count(_PLUGIN_RECORD, node_id + 1, end)

    def name(self, node_id):
        return self.nodes.name(node_id)

    def location(self, node_id):
        return self.nodes.location(node_id)

    def spans(self, node_id):
        """(start, end) of each time a call ran: its segments, or the call."""
        count = self._segment_count[node_id]
        if count <= 1:
            return [(self._start[node_id], self._end[node_id])]
        first = self._segment_first[node_id]
        return list(zip(self._segment_start[first:first + count], self._segment_end[first:first + count]))

    def has_joined_calls(self, thread):
        """Whether a coroutine or generator of the thread was resumed."""
        return max(self._segment_count[thread.first:thread.last], default=0) > 1

    def time_columns(self):
        """Every time of the tree's nodes and segments, in columns."""
        return self._start, self._end, self._segment_start, self._segment_end


class LoadedTrace:
    """A trace the reader decoded whole (a zelm.trace.Trace); node
    references are its Call and PluginRecord objects."""

    def __init__(self, trace):
        self.trace = trace
        self.record_count = trace.record_count
        self.threads = trace.threads

    def walk(self, thread, max_depth=None):
        """As IndexedTrace.walk."""
        pending = [(0, node) for node in reversed(thread.roots)]
        while pending:
            depth, node = pending.pop()
            yield depth, node
            if isinstance(node, trace_reader.Call) and (max_depth is None or depth + 1 < max_depth):
                pending.extend((depth + 1, child) for child in reversed(node.children))

    def node(self, node):
        return node

    def is_call(self, node):
        return isinstance(node, trace_reader.Call)

    def call_count(self, thread):
        return sum(1 for _, node in thread.walk() if isinstance(node, trace_reader.Call))

    def nested_call_count(self, call):
        # Without recursion: traces of deeply recursive programs are deep too.
        count, pending = 0, call.calls()
        while pending:
            count += 1
            pending.extend(pending.pop().calls())
        return count

    def name(self, call):
        return call.name

    def location(self, call):
        return call.location

    def spans(self, call):
        return [(segment.start, segment.end) for segment in call.segments or [call]]

    def has_joined_calls(self, thread):
        return any(isinstance(node, trace_reader.Call) and node.segments for _, node in thread.walk())

    def time_columns(self):
        """None: a trace decoded whole is small or damaged, and its times
        are not gathered."""
        return None
