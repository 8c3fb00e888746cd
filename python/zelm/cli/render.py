"""The lines of `zelm show` and `zelm list`, and the short texts of values,
arguments and plugin records that the viewer shows too.

A plugin record reads as its plugin describes it (zelm.plugins.describe);
a record no plugin describes reads as its type and entries.
"""

import reprlib

from zelm import plugins
from zelm import trace as trace_reader
from zelm.text import RECORD_LINE, clip, duration_text, local_time, plural, size_text

__all__ = ["short_value", "short_arguments", "plugin_line", "trace_lines", "listing_lines", "listing_objects",
           "cut_summary", "PROFILE_HOOK", "hook_summary"]

# The type of the records the profiler files in a thread's records when
# another profile function has taken its place there ("change": "replaced",
# when it noticed) and when its own was handed back ("restored").
PROFILE_HOOK = "profile_hook"

_MAX_ARGUMENTS_SHOWN = 6
_MAX_OBJECT_TEXT = 60


class _ShortRepr(reprlib.Repr):
    """What the shown tree keeps of a value, written as Python writes it.

    Strings are quoted; the text that stands for an object (zelm.values.Repr,
    e.g. "<shop.Item object at 0x...>") is shown bare, as the repr it is.
    A container nested too deep to show is "[…]", "(…)" or "{…}", never
    repr's "[...]" for a container that holds itself.
    """

    def __init__(self):
        super().__init__()
        self.maxstring = self.maxother = self.maxlong = 40
        self.maxlist = self.maxdict = self.maxtuple = self.maxset = 4
        self.maxlevel = 2

    def repr_Repr(self, text, level):
        return clip(str.__str__(text), _MAX_OBJECT_TEXT)

    def repr_list(self, value, level):
        return "[…]" if level <= 0 and value else super().repr_list(value, level)

    def repr_tuple(self, value, level):
        return "(…)" if level <= 0 and value else super().repr_tuple(value, level)

    def repr_dict(self, value, level):
        return "{…}" if level <= 0 and value else super().repr_dict(value, level)

    repr_ObjectKeyDict = repr_dict


short_value = _ShortRepr().repr


def short_arguments(arguments):
    """The arguments of a call (its locals at the call) as "name=value, ...",
    clipped."""
    if not isinstance(arguments, dict):
        return clip(short_value(arguments))
    # Module and class bodies start with dunder globals; they are no arguments.
    names = [name for name in arguments if not (isinstance(name, str) and name.startswith("__") and name.endswith("__"))]
    parts = [f"{name}={short_value(arguments[name])}" for name in names[:_MAX_ARGUMENTS_SHOWN]]
    if len(names) > _MAX_ARGUMENTS_SHOWN:
        parts.append("...")
    return clip(", ".join(parts))


def plugin_line(record):
    """What a plugin record (zelm.trace.PluginRecord) holds, in one line."""
    data = record.data
    if record.type == trace_reader.UNTYPED_RECORD:
        value = data.get("value")
        return clip(f"plugin record {value if isinstance(value, str) else short_value(value)}", RECORD_LINE)
    if record.type == trace_reader.UNDECODABLE_RECORD:
        return f"[undecodable record of {data.get('size')} bytes: {data.get('error')}]"
    if record.type == trace_reader.TRACE_CUT:
        return _gap_line(trace_reader.TraceCut.from_record(record.record))
    described = plugins.describe(record.type, data)
    if described is not None:
        return described
    details = ", ".join(f"{key}={short_value(value)}" for key, value in data.items())
    return clip(f"{record.type} {details}".rstrip(), RECORD_LINE)


def trace_lines(walked, threads, max_depth=None, working_directory=None):
    """Lines of `zelm show` of a walked trace (zelm.view.walk): a header
    (with the ``working_directory`` the trace was saved from, when known),
    then per thread of ``threads`` its call tree, one line per call
    (duration, name, arguments, return value, location, and for a coroutine
    or generator resumed after awaiting or yielding the time it ran and the
    time it waited) and per plugin record, indented by nesting depth; calls
    nested ``max_depth`` deep or deeper are left out, and only the nodes
    shown are decoded."""
    trace = walked.trace
    yield f"trace {trace.trace_id}  source {trace.source}  started {local_time(trace.timestamp)}"
    if working_directory is not None:
        yield f"working directory: {working_directory}"
    if trace.parent_trace_id is not None:
        yield f"child process of trace {trace.parent_trace_id}"
    if trace.command_line_args:
        yield "command line: " + " ".join(trace.command_line_args)
    yield f"{plural(walked.record_count, 'record')}, {plural(len(walked.threads), 'thread')}"
    if trace.cuts:
        yield "incomplete: " + cut_summary(trace) + _cut_position(trace.cuts[0])
    for thread in threads:
        yield ""
        yield f"thread {thread.name} ({thread.thread_id}): {plural(walked.call_count(thread), 'call')}"
        for depth, reference in walked.walk(thread, max_depth):
            indent = "  " * (depth + 1)
            node = walked.node(reference)
            if isinstance(node, trace_reader.Call):
                line = indent + _call_line(node)
                if max_depth is not None and depth == max_depth - 1:
                    hidden = walked.nested_call_count(reference)
                    if hidden:
                        line += f"  [+{plural(hidden, 'nested call')}]"
                yield line
            else:
                yield indent + "* " + plugin_line(node)


def cut_summary(trace):
    """What the size budget left out of ``trace``, in a few words."""
    budget = trace.cuts[0].budget_bytes
    budget_text = f" of {size_text(budget)}" if budget is not None else ""
    return f"cut at its size budget{budget_text}, {plural(trace.dropped_events, 'event')} dropped"


def hook_summary(records):
    """One line on the threads whose profile hook another profile function
    took (``records``: the "profile_hook" PluginRecords in trace order), or
    None when there was none."""
    last_change = {}
    for record in records:
        last_change[record.record.get("thread") or "?"] = record.record.get("change")
    if not last_change:
        return None
    lost = [thread for thread, change in last_change.items() if change != "restored"]
    back = [thread for thread, change in last_change.items() if change == "restored"]
    parts = []
    if lost:
        parts.append(f"{_thread_names(lost)} recorded nothing after that")
    if back:
        parts.append(f"{_thread_names(back)} recorded nothing until it was handed back")
    return ("another profile function took the place of zelm's (sys.setprofile; cProfile before Python 3.12): "
            + "; ".join(parts))


def _thread_names(names):
    return ("thread " if len(names) == 1 else "threads ") + ", ".join(names)


def _gap_line(cut):
    """Where the size budget dropped a thread's records, in its call tree."""
    until = f" until {local_time(cut.dropped_until)}" if cut.dropped_until is not None else ""
    return f"… {plural(cut.dropped_events, 'record')} dropped here by the size budget{until} …"


def _cut_position(cut):
    """Where the first dropped event happened, as a clause of the cut line."""
    if cut.timestamp is None:
        return ""
    where = f" from {local_time(cut.timestamp)} on: first the {cut.event or 'event'} of {cut.qualname or '?'}"
    if cut.path:
        where += f" ({cut.path})"
    return where + f" in thread {cut.thread}" if cut.thread else where


def _call_line(call):
    duration = duration_text(call.duration)
    if not call.finished:
        duration = ">=" + duration
    text = f"{duration}  {call.name}"
    if call.call_record is not None:
        text += f"({short_arguments(call.arguments)})"
    if call.raised is not None:
        text += " raised " + clip(call.raised)
    elif call.finished:
        text += " -> " + clip(short_value(call.return_value))
    text += f"  {call.location}"
    if call.segments:
        # A coroutine or generator: the time it ran apart from the time it waited.
        text += (f"  [ran {duration_text(call.running)}, awaited {duration_text(call.awaited)}, "
                 f"resumed {plural(call.resumes, 'time')}]")
    if call.call_record is None:
        text += "  [call not recorded]"
    if not call.finished:
        text += "  [no return recorded]"
    return text


def listing_lines(stored):
    """Lines of `zelm list`: a table of the stored traces ``stored``
    (store.StoredTrace, in the order given, but each child process's trace
    right under its parent's, indented) with a header row."""
    # Test traces are listed under their test's node id, with its outcome.
    tests = any(entry.test is not None for entry in stored)
    # A trace cut short by its budget says so, and how many events it lost.
    any_cut = any(entry.dropped_events is not None for entry in stored)
    header = ("TRACE ID", "SAVED", "SOURCE", *(("OUTCOME",) if tests else ()), "RECORDS", "SIZE")
    rows = [header + (("CUT",) if any_cut else ())]
    for depth, entry in _process_tree(stored):
        source = entry.source if entry.source is not None else "?"
        outcome = ""
        if entry.test is not None:
            source = entry.test.get("nodeid") or source
            outcome = entry.test.get("outcome") or "?"
        row = (
            "  " * depth + entry.trace_id,
            local_time(entry.saved_at),
            source,
            *((outcome,) if tests else ()),
            str(entry.record_count) if entry.record_count is not None else "?",
            size_text(entry.size_bytes) if entry.size_bytes is not None else "?",
        )
        if any_cut:
            row += ("" if entry.dropped_events is None else f"CUT, {entry.dropped_events} events dropped",)
        rows.append(row)
    widths = [max(len(row[column]) for row in rows) for column in range(len(rows[0]))]
    right_aligned = {len(header) - 2, len(header) - 1}
    for row in rows:
        cells = [
            cell.rjust(width) if column in right_aligned else cell.ljust(width)
            for column, (cell, width) in enumerate(zip(row, widths))
        ]
        yield "  ".join(cells).rstrip()


def listing_objects(stored):
    """What `zelm list --format json` writes of the stored traces
    ``stored`` (store.StoredTrace), in the order given: one object per
    stored part, with times in seconds since the epoch, sizes in bytes
    (before compression) and None where the store does not know."""
    return [
        {
            "trace_id": entry.trace_id,
            "saved_at": entry.saved_at,
            "source": entry.source,
            "test": entry.test,
            "records": entry.record_count,
            "size": entry.size_bytes,
            "dropped_events": entry.dropped_events,
            "parent_trace_id": entry.parent_trace_id,
            "working_directory": entry.working_directory,
            "started": entry.started,
            "ended": entry.ended,
            "threads": None if entry.thread_ids is None else list(entry.thread_ids),
            "request": entry.request,
        }
        for entry in stored
    ]


def _process_tree(stored):
    """(depth, entry) of each of ``stored`` in its order, but with the
    traces of child processes right after their parent's first listed row
    (depth one more), in their own order. A child whose parent is not
    listed stays where it is."""
    first_row = {}
    for entry in stored:
        first_row.setdefault(entry.trace_id, entry)
    children = {}
    for entry in stored:
        parent = first_row.get(entry.parent_trace_id)
        if parent is not None and parent is not entry:
            children.setdefault(id(parent), []).append(entry)
    placed = {id(child) for listed in children.values() for child in listed}
    seen = set()
    # Rows that name each other as parents (a damaged database) have no
    # root: the first of them is taken for one.
    for start in [entry for entry in stored if id(entry) not in placed] + stored:
        pending = [(0, start)]
        while pending:
            depth, entry = pending.pop()
            if id(entry) in seen:
                continue
            seen.add(id(entry))
            yield depth, entry
            pending.extend((depth + 1, child) for child in reversed(children.get(id(entry), [])))
