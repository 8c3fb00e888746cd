"""The viewer's index of one loaded trace: what the pages ask for, answered
without walking the whole trace again.

Every call and plugin record of the trace gets a node id, in depth-first
order thread after thread, so that the subtree of node n is exactly the ids
n .. n + size[n] - 1. Per node the index keeps its thread, depth, parent,
subtree size, start and end in flat arrays; the trace reader's Call and
PluginRecord objects stay the source of the details.

Per thread and depth, the calls at that depth in id order are also in time
order and never overlap (time never runs backwards in the reader's tree), so
the timeline finds the calls of a window by bisection and merges the ones
narrower than a pixel without visiting them one by one.
"""

import bisect
import contextlib
import functools
import gc
import itertools
import logging
import math
import os
import threading
from array import array

from zelm import stats
from zelm import trace as trace_reader
from zelm.export import to_json_safe
from zelm.cli.render import plugin_line, short_arguments, short_value
from zelm.view import lazy, sources

# Rows of a children page, matches answered per search: bounded replies.
PAGE_SIZE = 200
# The most timeline boxes one reply holds, whatever the window.
MAX_BOXES = 20000
# Source lines shown around a call.
SOURCE_CONTEXT = 6
# Text of a value in a tree row, and of one value in the details.
ROW_TEXT = 160
DETAIL_TEXT = 20000
# The segments of a joined call the details list.
SEGMENTS_SHOWN = 100
# The most calls a trace page opens when it opens on the longest path.
HEAVIEST_PATH_CALLS = 20
# The plugin records that bracket a test, and the outcomes that are failures.
START_TEST, END_TEST = "start_test", "end_test"
FAILED_TEST_OUTCOMES = ("failed", "errored")
# The names logging gives its levels from ERROR up.
_ERROR_LEVELS = {"ERROR": logging.ERROR, "CRITICAL": logging.CRITICAL, "FATAL": logging.FATAL}


_collector_lock = threading.Lock()
_collector_pauses = [0, False]  # loads under way, whether the collector was on before them


@contextlib.contextmanager
def collector_paused():
    """The cyclic garbage collector off while a trace is decoded.

    Decoding allocates millions of dicts, lists and objects, all kept; each
    allocation burst would start a collection that walks all of them again,
    which makes decoding several times slower. A trace holds no cycles, so
    nothing is lost by collecting later.
    """
    with _collector_lock:
        if _collector_pauses[0] == 0:
            _collector_pauses[1] = gc.isenabled()
            gc.disable()
        _collector_pauses[0] += 1
    try:
        yield
    finally:
        with _collector_lock:
            _collector_pauses[0] -= 1
            if _collector_pauses[0] == 0 and _collector_pauses[1]:
                gc.enable()


class NodeNotFound(LookupError):
    """The requested node id is not in the trace."""


class ThreadIndex:
    """The calls and plugin records of one thread, by depth."""

    def __init__(self, number, thread):
        self.number = number
        self.thread = thread
        self.first = 0  # node ids first .. last - 1
        self.last = 0
        self.roots = []
        self.max_depth = 0
        # depth -> (ids, starts, ends) of the calls at that depth, in time order
        self.levels = []
        # plugin records: ids and times, in time order
        self.marks = array("q")
        self.mark_times = array("d")


class TraceIndex:
    """The trace ``trace`` (a zelm.trace.Trace) indexed for the viewer.

    ``from_documents`` builds the same index from the stored bytes without
    decoding every record (see lazy.py); the server uses that one.
    ``origin`` (a sources.Origin) says where and when the trace was
    recorded, which the source lines are read by; whoever loads the trace
    from the store sets it.
    """

    origin = sources.UNKNOWN_ORIGIN

    def __init__(self, trace):
        self.trace = trace
        self.record_count = trace.record_count
        self.nodes = []
        self.thread_of = array("i")
        self.depth = array("i")
        self.parent = array("q")
        self.size = array("q")
        self.start = array("d")
        self.end = array("d")
        self.by_name = {}  # qualified name -> array of call node ids
        self.threads = []
        for number, thread in enumerate(trace.threads):
            self.threads.append(self._index_thread(number, thread))
        self._searches = {}

    @classmethod
    def from_documents(cls, documents, name="the trace document"):
        """The index of the trace stored as ``documents`` (MessagePack
        bytes, oldest first); ``name`` says which trace an error is about.
        Records are decoded when asked for."""
        try:
            tree = lazy.index_documents(documents)
        except lazy.Unindexable:
            return cls(lazy.decoded_trace(documents, name))
        self = cls.__new__(cls)
        self.nodes = lazy.Nodes(documents, tree)
        self.trace = lazy.trace_facts(documents, tree, self.nodes, name)
        self.record_count = tree["record_count"]
        self.thread_of = lazy.column(tree, "thread_of", "i")
        self.depth = lazy.column(tree, "depth", "i")
        self.parent = lazy.column(tree, "parent", "q")
        self.size = lazy.column(tree, "size", "q")
        self.start = lazy.column(tree, "start", "d")
        self.end = lazy.column(tree, "end", "d")
        objects, by_name = tree["objects"], lazy.column(tree, "by_name", "q")
        offsets = lazy.column(tree, "by_name_offsets", "q")
        self.by_name = {objects[text]: by_name[offsets[text]:offsets[text + 1]]
                        for text in range(len(objects)) if offsets[text + 1] > offsets[text]}
        self.threads = []
        main_thread_id = self.trace.main_thread_id
        for number, facts in enumerate(tree["threads"]):
            info = ThreadIndex(number, lazy.ThreadFacts(facts["thread_id"], lazy.thread_name(facts, main_thread_id)))
            info.record_count = facts["records"]
            info.first, info.last = facts["first"], facts["last"]
            info.roots = lazy.column(facts, "roots", "q")
            info.levels = [(memoryview(ids).cast("q"), memoryview(starts).cast("d"), memoryview(ends).cast("d"))
                           for ids, starts, ends in facts["levels"]]
            info.max_depth = max(0, len(info.levels) - 1)
            info.marks = lazy.column(facts, "marks", "q")
            info.mark_times = lazy.column(facts, "mark_times", "d")
            self.threads.append(info)
        self._searches = {}
        return self

    def name(self, node_id):
        """A call's qualified name, a plugin record's type."""
        nodes = self.nodes
        return nodes.name(node_id) if isinstance(nodes, lazy.Nodes) else _label(nodes[node_id])

    def module(self, node_id):
        """The module a call belongs to (see module_of)."""
        nodes = self.nodes
        location = nodes.location(node_id) if isinstance(nodes, lazy.Nodes) else nodes[node_id].location
        return module_of_location(location)

    def _index_thread(self, number, thread):
        info = ThreadIndex(number, thread)
        info.record_count = len(thread.records)
        first = info.first = len(self.nodes)
        by_name, levels = self.by_name, info.levels
        Call = trace_reader.Call
        # Built in lists (appending to them is the cheapest), kept as arrays.
        nodes, depths, parents, starts, ends, sizes = self.nodes, [], [], [], [], []
        level_ids, level_starts, level_ends = [], [], []
        marks, mark_times = [], []
        stack = []  # the node ids of the open ancestors, by depth
        for depth, node in thread.walk():
            node_id = len(nodes)
            if len(stack) > depth:
                for closed in stack[depth:]:
                    sizes[closed - first] = node_id - closed
                del stack[depth:]
            nodes.append(node)
            parents.append(stack[-1] if stack else -1)
            depths.append(depth)
            sizes.append(1)
            stack.append(node_id)
            if type(node) is Call:
                start, end = node.start, node.end
                starts.append(start)
                ends.append(end)
                if len(level_ids) <= depth:
                    level_ids.append([])
                    level_starts.append([])
                    level_ends.append([])
                # The timeline draws each time a call ran.
                for segment in node.segments or (node,):
                    level_ids[depth].append(node_id)
                    level_starts[depth].append(segment.start)
                    level_ends[depth].append(segment.end)
                name = node.name
                ids = by_name.get(name)
                if ids is None:
                    ids = by_name[name] = array("q")
                ids.append(node_id)
            else:
                starts.append(node.timestamp)
                ends.append(node.timestamp)
                marks.append(node_id)
                mark_times.append(node.timestamp)
        info.last = len(nodes)
        for closed in stack:
            sizes[closed - first] = info.last - closed
        info.roots = [node_id for node_id, depth in enumerate(depths, first) if depth == 0]
        self.thread_of.extend(array("i", [number]) * (info.last - first))
        self.depth.extend(array("i", depths))
        self.parent.extend(array("q", parents))
        self.size.extend(array("q", sizes))
        self.start.extend(array("d", starts))
        self.end.extend(array("d", ends))
        levels.extend((array("q", ids), array("d", begins), array("d", finishes))
                      for ids, begins, finishes in map(_in_time_order, level_ids, level_starts, level_ends))
        info.max_depth = max(0, len(levels) - 1)
        # Plugin records may carry times from another clock than the frames;
        # keep the marks sorted for bisection.
        if any(mark_times[i] > mark_times[i + 1] for i in range(len(mark_times) - 1)):
            pairs = sorted(zip(mark_times, marks))
            mark_times, marks = [time for time, _ in pairs], [node for _, node in pairs]
        info.marks, info.mark_times = array("q", marks), array("d", mark_times)
        return info

    # ---- nodes ----

    def node(self, node_id):
        if not isinstance(node_id, int) or not 0 <= node_id < len(self.nodes):
            raise NodeNotFound(node_id)
        return self.nodes[node_id]

    def children_ids(self, node_id):
        """The ids of the node's children, in order (a generator)."""
        child, end = node_id + 1, node_id + self.size[node_id]
        while child < end:
            yield child
            child += self.size[child]

    def child_count(self, node_id):
        return sum(1 for _ in self.children_ids(node_id))

    @functools.cached_property
    def self_times(self):
        """Each node's self time by id (see zelm.stats.self_times), worked
        out for the whole trace when a row first asks."""
        return stats.self_times(self)

    def row(self, node_id):
        """What a tree row and a search result show of a node."""
        node = self.nodes[node_id]
        row = {
            "id": node_id,
            "thread": self.thread_of[node_id],
            "depth": self.depth[node_id],
            "start": self.start[node_id] - self.time_origin,
            "has_children": self.size[node_id] > 1,
        }
        if isinstance(node, trace_reader.Call):
            row.update(
                kind="call",
                name=node.name,
                module=module_of(node),
                duration=node.duration,
                self=self.self_times[node_id],
                location=node.location,
                finished=node.finished,
                recorded_call=node.call_record is not None,
                arguments=None if node.call_record is None else clip(short_arguments(node.arguments), ROW_TEXT),
                return_value=clip(short_value(node.return_value), ROW_TEXT) if node.finished else None,
                # What the call raised (its repr), in place of a return value.
                raised=clip(node.raised, ROW_TEXT) if node.raised is not None else None,
                failure=node.exception_record is not None,
                # A coroutine or generator: the time it ran and the time it
                # was suspended, over how many resumes.
                running=node.running,
                awaited=node.awaited,
                resumes=node.resumes,
            )
        else:
            row.update(kind="plugin", name=node.type, text=clip(plugin_line(node), 2 * ROW_TEXT),
                       failure=failure_record(node.type, node.record))
        return row

    def roots(self, thread_number, offset=0, limit=PAGE_SIZE, containing=None):
        """A page of a thread's top-level nodes (see children)."""
        info = self._thread(thread_number)
        return self._page(info.roots, offset, limit, containing)

    def children(self, node_id, offset=0, limit=PAGE_SIZE, containing=None):
        """A page of the node's children; ``containing`` (a descendant id)
        picks the page that holds the child on its path instead of
        ``offset``."""
        self.node(node_id)
        return self._page(list(self.children_ids(node_id)), offset, limit, containing)

    def _page(self, ids, offset, limit, containing=None):
        if containing is not None:
            position = bisect.bisect_right(ids, containing) - 1
            offset = max(0, position) // limit * limit
        offset = max(0, min(offset, len(ids)))
        return {
            "offset": offset,
            "total": len(ids),
            "rows": [self.row(node_id) for node_id in ids[offset:offset + limit]],
        }

    def path(self, node_id):
        """The ids from the node's root down to the node."""
        self.node(node_id)
        path = [node_id]
        while self.parent[path[-1]] >= 0:
            path.append(self.parent[path[-1]])
        path.reverse()
        return path

    def details(self, node_id):
        node = self.node(node_id)
        info = self.threads[self.thread_of[node_id]]
        details = self.row(node_id)
        details.update(
            thread_name=info.thread.name,
            thread_id=info.thread.thread_id,
            path=self.path(node_id),
            children=self.child_count(node_id),
        )
        if isinstance(node, trace_reader.Call):
            details.update(
                frame_id=node.frame_id,
                arguments=detail_value(node.arguments) if node.call_record is not None else None,
                locals_at_return=detail_value(node.return_record.get("locals")) if node.finished else None,
                return_value=detail_value(node.return_value) if node.finished else None,
                raised=node.raised,
                raised_at=self.raised_at(node),
                call_site=self.call_site(node_id),
                segments=self.segments(node_id),
            )
            details.pop("text", None)
        else:
            details["data"] = detail_value(node.data)
            details["call_site"] = self.call_site(node_id)
        return details

    def call_site(self, node_id):
        """Where the node was called from (a plugin record: where it was
        written): the calling node and the line, or None when the trace
        does not hold the caller."""
        node = self.nodes[node_id]
        record = node.call_record if isinstance(node, trace_reader.Call) else node.record
        site = record.get("user_code_call_site") if isinstance(record, dict) else None
        if not isinstance(site, dict):
            return None
        frame_id, line = site.get("call_frame_id"), site.get("line_number")
        caller = self.parent[node_id]
        while caller >= 0 and not _runs_as(self.nodes[caller], frame_id):
            caller = self.parent[caller]
        if caller < 0:
            return None
        file = split_location(self.nodes[caller].location)[0]
        return {"node": caller, "name": self.nodes[caller].name,
                "location": f"{file}:{line}" if isinstance(line, int) else file}

    def segments(self, node_id):
        """The times a joined call ran (seconds from the trace's start) and
        what each left with: the value it yielded or awaited, the final
        one's return value or exception; the first SEGMENTS_SHOWN."""
        segments = self.nodes[node_id].segments
        return [{"start": segment.start - self.time_origin, "duration": segment.duration,
                 "location": segment.return_record.get("path") if segment.finished else None,
                 "value": clip(short_value(segment.return_value), ROW_TEXT) if segment.finished else None}
                for segment in segments[:SEGMENTS_SHOWN]]

    # ---- source ----

    def source(self, node_id):
        """The lines around the node's location, read from the file the
        trace names for it when that is Python source readable here (see
        zelm.view.sources)."""
        node = self.node(node_id)
        if not isinstance(node, trace_reader.Call):
            return {"available": False, "reason": "not a call"}
        file, line = split_location(node.location)
        if not file or line is None:
            return {"available": False, "reason": "the trace holds no file and line for this call"}
        text, said = sources.read_source(file, self.origin)
        if text is None:
            return {"available": False, "reason": said}
        lines = text.splitlines()
        line = max(line, 1)  # module bodies start at line 0
        first = max(1, line - SOURCE_CONTEXT)
        last = min(len(lines), line + SOURCE_CONTEXT)
        return {
            "available": True,
            "file": file,
            "line": line,
            "lines": [{"number": number, "text": lines[number - 1]} for number in range(first, last + 1)],
            # Why the lines may not be the ones that ran, or None.
            "note": said,
        }

    def raised_at(self, node):
        """Where a call (a zelm.trace.Call) was left by raising, from its
        exception record: "file:line" (in the call the exception was raised
        in, the raise; in its callers, the call it came out of), the line,
        and the line's text read as source() reads it, with why there is
        none or what to know of it. None for a call that returned or a
        record without a location."""
        record = node.exception_record
        location = record.get("path") if record is not None else None
        if not isinstance(location, str) or not location:
            return None
        file, line = split_location(location)
        if line is None:
            return {"location": location, "line": None, "text": None, "reason": "the trace holds no line for it"}
        text, said = sources.read_source(file, self.origin)
        lines = text.splitlines() if text is not None else []
        if text is not None and not 1 <= line <= len(lines):
            text, said = None, f"{file} has no line {line} now"
        return {"location": location, "line": line, "text": lines[line - 1] if text is not None else None,
                "reason": said}

    # ---- search ----

    def search(self, query, thread_number=None, current=None, direction="next"):
        """The match after (or before) node ``current`` among the calls
        whose qualified name contains ``query`` (any case), with their
        count and its position."""
        matches = self._matches(query.lower(), thread_number)
        if not matches:
            return {"count": 0, "index": None, "node": None}
        if current is None:
            index = 0 if direction == "next" else len(matches) - 1
        elif direction == "next":
            index = bisect.bisect_right(matches, current) % len(matches)
        else:
            index = (bisect.bisect_left(matches, current) - 1) % len(matches)
        node_id = matches[index]
        return {"count": len(matches), "index": index, "node": self.row(node_id), "path": self.path(node_id)}

    def _matches(self, query, thread_number):
        key = (query, thread_number)
        matches = self._searches.get(key)
        if matches is None:
            found = [ids for name, ids in self.by_name.items() if query in name.lower()]
            merged = sorted(node_id for ids in found for node_id in ids)
            if thread_number is not None:
                info = self._thread(thread_number)
                merged = merged[bisect.bisect_left(merged, info.first):bisect.bisect_left(merged, info.last)]
            matches = array("q", merged)
            if len(self._searches) > 32:
                self._searches.clear()
            self._searches[key] = matches
        return matches

    # ---- timeline ----

    @functools.cached_property
    def time_origin(self):
        """The time the viewer counts from: the trace's first record.

        Not the document's timestamp, which is when the profiler was made:
        every trace one profiler saves carries that same time, so a test's
        trace from `pytest --zelm` would open long before its "start_test"
        marker, its first record. The roots of a thread are in time order
        and start before their calls, and the marks are sorted: the first
        of each thread is enough.
        """
        firsts = []
        for info in self.threads:
            if info.levels and len(info.levels[0][1]):
                firsts.append(info.levels[0][1][0])
            firsts.extend(itertools.islice(filter(math.isfinite, info.mark_times), 1))
        return min(filter(math.isfinite, firsts), default=self.trace.start)

    @property
    def duration(self):
        """From the first record to the last (a per-test trace's "end_test")."""
        return max(self.trace.end - self.time_origin, 0.0)

    def timeline(self, thread_number, begin, finish, width, query=None):
        """What the timeline draws of one thread between ``begin`` and
        ``finish`` (seconds from the trace's first record), ``width``
        pixels wide.

        "boxes": a call at least a pixel wide is a box of its own, named;
        the narrower calls that start in one pixel at one depth are one
        box, which says how many calls it stands for. A box's last entry
        says whether one of its calls ended by raising. "marks": plugin
        records, merged the same way. "spans": outbound HTTP exchanges,
        each from its request to its response. "matches": the calls whose
        qualified name holds ``query`` (any case), merged the same way.
        """
        info = self._thread(thread_number)
        width = max(1, min(int(width), 20000))
        if not finish > begin:
            finish = begin + 1e-9
        origin = self.time_origin
        lo, hi = origin + begin, origin + finish
        pixel = (hi - lo) / width
        raised = self._raised_levels(info)
        boxes = []
        for depth, (ids, starts, ends) in enumerate(info.levels):
            raised_here = raised.get(depth, ())
            for first, stop in _pixel_runs(starts, ends, lo, hi, pixel, MAX_BOXES - len(boxes)):
                node_id, count = ids[first], stop - first
                boxes.append([node_id, depth, starts[first] - origin, max(ends[stop - 1] - starts[first], 0.0), count,
                              self.name(node_id) if count == 1 else None, self.module(node_id),
                              _any_within(raised_here, first, stop - 1)])
        exchanges = self._exchanges(info)
        marks, mark_ids, mark_times = [], exchanges.mark_ids, exchanges.mark_times
        index = bisect.bisect_left(mark_times, lo)
        stop = bisect.bisect_right(mark_times, hi)
        while index < stop and len(marks) < MAX_BOXES:
            time = mark_times[index]
            pixel_end = _pixel_end(lo, pixel, time)
            following = max(index + 1, bisect.bisect_left(mark_times, pixel_end, index, stop))
            node_id = mark_ids[index]
            marks.append([node_id, self.depth[node_id], time - origin, following - index, self.name(node_id)])
            index = following
        spans = [[request, response, depth, start - origin, end - start, label, failed]
                 for start, end, request, response, depth, label, failed in exchanges.spans
                 if start <= hi and end >= lo][:MAX_BOXES]
        matches = []
        if query:
            for depth, (ids, starts, ends) in sorted(self._match_levels(query.lower(), info).items()):
                for first, stop in _pixel_runs(starts, ends, lo, hi, pixel, MAX_BOXES - len(matches)):
                    matches.append([ids[first], depth, starts[first] - origin,
                                    max(ends[stop - 1] - starts[first], 0.0), stop - first])
        return {"thread": thread_number, "begin": begin, "finish": finish, "boxes": boxes, "marks": marks,
                "spans": spans, "matches": matches,
                "truncated": max(len(boxes), len(marks), len(spans), len(matches)) >= MAX_BOXES}

    def whole_timeline(self, thread_number):
        """Every call of the thread as a box of its own, every mark and
        span, for a page that picks a window's itself (the HTML export)."""
        info = self._thread(thread_number)
        origin, raised = self.time_origin, self._raised_levels(info)
        boxes = [[node_id, depth, start - origin, end - start, 1, self.name(node_id), self.module(node_id),
                  _any_within(raised.get(depth, ()), position, position)]
                 for depth, (ids, starts, ends) in enumerate(info.levels)
                 for position, (node_id, start, end) in enumerate(zip(ids, starts, ends))]
        exchanges = self._exchanges(info)
        marks = [[node_id, self.depth[node_id], time - origin, 1, self.name(node_id)]
                 for node_id, time in zip(exchanges.mark_ids, exchanges.mark_times)]
        spans = [[request, response, depth, start - origin, end - start, label, failed]
                 for start, end, request, response, depth, label, failed in exchanges.spans]
        return {"boxes": boxes, "marks": marks, "spans": spans}

    @functools.cached_property
    def _timeline_cache(self):
        """Per thread what the timeline works out at its first request
        (raised calls by depth, HTTP exchanges), and the matches of recent
        searches by depth."""
        return {"raised": {}, "exchanges": {}, "matches": {}}

    @functools.cached_property
    def _raising_calls(self):
        """The ids of the calls that ended by raising, in order."""
        nodes = self.nodes
        if isinstance(nodes, lazy.Nodes):
            return nodes.raising_calls()
        return array("q", [node_id for node_id, node in enumerate(nodes)
                           if isinstance(node, trace_reader.Call) and node.exception_record is not None])

    def _raised_levels(self, info):
        """{depth: the positions in the thread's level at that depth of the
        calls that ended by raising, in order}: positions, as a joined
        call is in its level once per time it ran, not always in id order."""
        levels = self._timeline_cache["raised"].get(info.number)
        if levels is None:
            raising = self._raising_calls
            by_depth = {}
            for node_id in raising[bisect.bisect_left(raising, info.first):bisect.bisect_left(raising, info.last)]:
                by_depth.setdefault(self.depth[node_id], set()).add(node_id)
            levels = {depth: array("q", itertools.compress(itertools.count(), map(raised.__contains__, info.levels[depth][0])))
                      for depth, raised in by_depth.items() if depth < len(info.levels)}
            self._timeline_cache["raised"][info.number] = levels
        return levels

    def _exchanges(self, info):
        """The thread's outbound HTTP exchanges as spans, each request
        paired with the first later response or error of the same client,
        method and URL; and the marks without the paired records."""
        exchanges = self._timeline_cache["exchanges"].get(info.number)
        if exchanges is None:
            exchanges = self._timeline_cache["exchanges"][info.number] = _Exchanges(self, info)
        return exchanges

    def _match_levels(self, query, info):
        """{depth: (ids, starts, ends)} of the thread's calls whose name
        holds ``query`` (lower case): at one depth, id order is time order,
        so they are bisected like the thread's levels."""
        cache = self._timeline_cache["matches"]
        levels = cache.get((query, info.number))
        if levels is None:
            by_depth = {}
            for node_id in self._matches(query, info.number):
                by_depth.setdefault(self.depth[node_id], array("q")).append(node_id)
            levels = {depth: (ids, array("d", map(self.start.__getitem__, ids)), array("d", map(self.end.__getitem__, ids)))
                      for depth, ids in by_depth.items()}
            if len(cache) > 32:
                cache.clear()
            cache[(query, info.number)] = levels
        return levels

    # ---- where a trace page opens, and what it warns of ----

    def opening(self):
        """The call a trace page opens on and the ids from its root down to
        where the tree is opened, or None for a trace without calls.

        A failed test's trace opens on the call its failure was raised in,
        the path down to it open; any other trace opens on its longest root
        call, with the longest call among each opened call's children
        opened below it, HEAVIEST_PATH_CALLS calls deep at most: where the
        time went.
        """
        failed = self._failure_call()
        if failed is not None:
            return {"node": failed, "path": self.path(failed), "reason": "failure"}
        path = self._heaviest_path()
        return {"node": path[0], "path": path, "reason": "heaviest"} if path else None

    def _failure_call(self):
        """The call the first failed test's failure was raised in, on the
        test's thread; None without a failed test, or when none of the
        test's calls raised."""
        for info in self.threads:
            test_start = info.first
            for mark in info.marks:
                name = self.name(mark)
                if name == START_TEST:
                    test_start = mark
                elif name == END_TEST and failure_record(END_TEST, self.nodes[mark].record):
                    return self._raising_call(test_start, mark)
        return None

    def _raising_call(self, first, stop):
        """Of the calls among ids first .. stop - 1 that ended by raising,
        the first of the least depth (the exception that left the test's
        recorded code; the others were caught on the way), then down its
        last raising child as long as that raised the same exception: the
        call it was raised in."""
        raising = self._raising_calls
        raised = raising[bisect.bisect_left(raising, first):bisect.bisect_left(raising, stop)]
        if not raised:
            return None
        call = min(raised, key=self.depth.__getitem__)
        while True:
            # The raising calls in the call's subtree, its children among them.
            below = raising[bisect.bisect_right(raising, call):bisect.bisect_left(raising, call + self.size[call])]
            children = [child for child in below if self.parent[child] == call]
            if not children or self.nodes[children[-1]].raised != self.nodes[call].raised:
                return call
            call = children[-1]

    def _heaviest_path(self):
        """The longest root call of all threads and below it, call after
        call, the longest of its child calls."""
        roots = ((self.end[node_id] - self.start[node_id], info, node_id)
                 for info in self.threads if info.levels for node_id in info.levels[0][0])
        longest = max(roots, key=lambda root: root[0], default=None)
        if longest is None:
            return []
        _, info, node_id = longest
        path = [node_id]
        while len(path) < HEAVIEST_PATH_CALLS and len(path) < len(info.levels):
            # The calls one level down, in id order: the children are those
            # within the parent's subtree.
            ids = info.levels[len(path)][0]
            parent = path[-1]
            children = range(bisect.bisect_right(ids, parent), bisect.bisect_left(ids, parent + self.size[parent]))
            if not children:
                break
            path.append(max((ids[index] for index in children), key=lambda child: self.end[child] - self.start[child]))
        return path

    def cut_facts(self):
        """Where the size budget cut the trace, None for a complete trace:
        the events dropped in all, the budget, and per gap its node in the
        tree, its thread, its count, its times (seconds, counted as the
        rows' starts are; None when not known) and where its first dropped
        event happened."""
        gaps, budget = [], None
        for info in self.threads:
            for mark in info.marks:
                if self.name(mark) != trace_reader.TRACE_CUT:
                    continue
                cut = trace_reader.TraceCut.from_record(self.nodes[mark].record)
                budget = budget if budget is not None else cut.budget_bytes
                # The gap's node is placed at its first dropped event: its
                # row's start is that time as the page counts it.
                start = self.row(mark)["start"] if cut.timestamp is not None else None
                gaps.append({
                    "node": mark,
                    "thread": info.number,
                    "thread_name": info.thread.name,
                    "dropped_events": cut.dropped_events,
                    "from": start,
                    "until": None if start is None or cut.dropped_until is None
                    else start + cut.dropped_until - cut.timestamp,
                    "qualname": cut.qualname,
                    "location": cut.path,
                })
        if not gaps:
            return None
        return {"dropped_events": sum(gap["dropped_events"] for gap in gaps), "budget_bytes": budget, "gaps": gaps}

    # ---- the whole trace ----

    def summary(self):
        trace = self.trace
        return {
            "trace_id": trace.trace_id,
            "parent_trace_id": trace.parent_trace_id,
            "source": trace.source,
            "timestamp": trace.timestamp,
            "duration": self.duration,
            "version": trace.version,
            "commit_sha": trace.commit_sha,
            "command_line_args": trace.command_line_args,
            "records": self.record_count,
            "nodes": len(self.nodes),
            "opening": self.opening(),
            "cut": self.cut_facts(),
            "threads": [
                {
                    "number": info.number,
                    "name": info.thread.name,
                    "thread_id": info.thread.thread_id,
                    "calls": sum(len(level[0]) for level in info.levels),
                    "records": info.record_count,
                    "max_depth": info.max_depth,
                    # The timeline's rows: a plugin record sits one deeper than its call.
                    "rows": 1 + max(info.max_depth, max(map(self.depth.__getitem__, info.marks), default=0)),
                    "roots": len(info.roots),
                }
                for info in self.threads
            ],
        }

    def _thread(self, thread_number):
        if not isinstance(thread_number, int) or not 0 <= thread_number < len(self.threads):
            raise NodeNotFound(f"thread {thread_number}")
        return self.threads[thread_number]


def _in_time_order(ids, starts, ends):
    """A depth's calls by start: calls that wait overlap, and each segment
    of a joined call follows its first."""
    if not any(starts[i] > starts[i + 1] for i in range(len(starts) - 1)):
        return ids, starts, ends
    order = sorted(range(len(starts)), key=starts.__getitem__)
    return [ids[i] for i in order], [starts[i] for i in order], [ends[i] for i in order]


def _pixel_end(lo, pixel, time):
    """Where the pixel holding ``time`` ends, in a window from ``lo`` of
    pixels ``pixel`` wide; infinity (the rest of the window is one pixel)
    when that is no number: a NaN time, a window too narrow for its times'
    precision."""
    steps = (time - lo) / pixel if pixel > 0 else math.inf
    return lo + (math.floor(steps) + 1) * pixel if math.isfinite(steps) else math.inf


def _pixel_runs(starts, ends, lo, hi, pixel, limit):
    """The calls of one depth (in time order, never overlapping) seen in
    the window ``lo`` .. ``hi`` as (first, stop) index ranges, ``limit`` of
    them at most: a call at least a pixel wide alone, the narrower ones
    that start in one pixel together.

    A call as wide as a pixel that starts in one ends past it, so nothing
    else starts in that pixel after it: it can only end a pixel's run,
    and is taken off its end to keep a box of its own.
    """
    index = bisect.bisect_left(ends, lo)  # the first call that ends at or after lo: ends are sorted too
    stop = bisect.bisect_right(starts, hi)
    while index < stop and limit > 0:
        limit -= 1
        if ends[index] - starts[index] >= pixel:
            yield index, index + 1
            index += 1
            continue
        following = max(index + 1, bisect.bisect_left(starts, _pixel_end(lo, pixel, starts[index]), index, stop))
        while following - 1 > index and ends[following - 1] - starts[following - 1] >= pixel:
            following -= 1
        yield index, following
        index = following


def _any_within(numbers, low, high):
    """Whether the sorted ``numbers`` hold one from ``low`` to ``high``."""
    position = bisect.bisect_left(numbers, low)
    return position < len(numbers) and numbers[position] <= high


# The outbound_http plugin's records of one exchange: its request, then its
# response or the error that ended it.
HTTP_REQUEST = "outbound_request"
HTTP_ENDS = ("outbound_response", "outbound_error")


class _Exchanges:
    """One thread's outbound HTTP exchanges, drawn as spans from request to
    response: "spans" holds (start, end, request id, response id, depth,
    text, failed) in time order; "mark_ids" and "mark_times" the plugin
    records that stay marks, the paired ones taken out."""

    def __init__(self, index, info):
        waiting = {}  # (client, method, url) -> requests not answered yet, oldest first
        spans, paired = [], set()
        for node_id in info.marks:
            kind = index.name(node_id)
            if kind != HTTP_REQUEST and kind not in HTTP_ENDS:
                continue
            node = index.nodes[node_id]
            data = node.data
            key = tuple(repr(data.get(name)) for name in ("client", "method", "url"))
            if kind == HTTP_REQUEST:
                waiting.setdefault(key, []).append(node_id)
                continue
            requests = waiting.get(key)
            if not requests:
                continue
            request = requests.pop(0)
            start, end = index.start[request], index.start[node_id]
            if not end >= start:  # times from another clock, or none
                continue
            spans.append((start, end, request, node_id, min(index.depth[request], index.depth[node_id]),
                          clip(plugin_line(node), ROW_TEXT), kind != "outbound_response"))
            paired.update((request, node_id))
        spans.sort(key=lambda span: span[0])
        self.spans = spans
        if paired:
            kept = [(node_id, time) for node_id, time in zip(info.marks, info.mark_times) if node_id not in paired]
            self.mark_ids = array("q", [node_id for node_id, _ in kept])
            self.mark_times = array("d", [time for _, time in kept])
        else:
            self.mark_ids, self.mark_times = info.marks, info.mark_times


# ---- failures ----


def failure_record(record_type, record):
    """Whether a plugin record (its type and its record) tells of a
    failure: a failed or errored test, an inbound HTTP response with a 5xx
    status, a log record of level ERROR or above."""
    if not isinstance(record, dict):
        return False
    if record_type == END_TEST:
        return record.get("outcome") in FAILED_TEST_OUTCOMES
    if record_type == "inbound_response":
        status = _status_code(record.get("status"))
        return status is not None and 500 <= status <= 599
    if record_type == "log_message":
        return _log_level(record.get("level")) >= logging.ERROR
    return False


def _status_code(status):
    """An HTTP status as a number: a number, or the text a WSGI application
    gives ("500 Internal Server Error"); None for anything else."""
    if isinstance(status, int) and not isinstance(status, bool):
        return status
    if isinstance(status, str):
        words = status.split(None, 1)
        return int(words[0]) if words and words[0].isdigit() and words[0].isascii() else None
    return None


def _log_level(name):
    """The number of a log record's level name, as the logging module names
    the levels from ERROR up ("Level 45" for a number without a name); 0
    for any other name."""
    if not isinstance(name, str):
        return 0
    if name.startswith("Level ") and name[6:].isdigit() and name[6:].isascii():
        return int(name[6:])
    return _ERROR_LEVELS.get(name, 0)


# ---- text of values ----


def _runs_as(call, frame_id):
    """Whether ``frame_id`` is the frame id of the call or of one of its
    segments (each resume of a coroutine has its own)."""
    return call.frame_id == frame_id or any(segment.frame_id == frame_id for segment in call.segments)


def module_of(node):
    """The module a call belongs to, as the timeline colours it: its file,
    named without directory and suffix."""
    return module_of_location(node.location)


@functools.lru_cache(maxsize=4096)  # a timeline reply asks for the same few locations thousands of times
def module_of_location(location):
    file = split_location(location)[0]
    return os.path.splitext(os.path.basename(file))[0] if file else "?"


def _label(node):
    return node.name if isinstance(node, trace_reader.Call) else node.type


def split_location(location):
    """("file", line) of a "file:line" location; line None without one."""
    file, _, line = location.rpartition(":")
    if not file:
        return location, None
    try:
        return file, int(line)
    except ValueError:
        return location, None


def clip(text, limit):
    return text if len(text) <= limit else text[: limit - 1] + "\u2026"


def detail_value(value):
    """A value for the details pane: JSON-ready, long texts clipped."""
    return _clip_texts(to_json_safe(value), [DETAIL_TEXT * 10])


def _clip_texts(value, budget):
    if isinstance(value, str):
        value = clip(value, min(DETAIL_TEXT, max(budget[0], 16)))
        budget[0] -= len(value)
        return value
    if isinstance(value, dict):
        return {key: _clip_texts(item, budget) for key, item in value.items()}
    if isinstance(value, list):
        return [_clip_texts(item, budget) for item in value]
    return value
