"""`zelm stats`: where the time of a trace went, one line per function.

The figures come from zelm.stats over the index the native reader builds
of the stored bytes: no argument, local or return value is decoded.
"""

import json
import math
import sys

from zelm.cli.commands import SUCCESS, CommandError, _print_lines, _write_out
from zelm.text import clip, duration_text, plural

# The keys of a row that `--format json` writes, in this order.
JSON_KEYS = ("qualname", "path", "calls", "outermost", "total", "self", "mean", "max")
SORT_KEYS = ("total", "self", "calls")
# Characters of a qualified name in the text table.
NAME_WIDTH = 80


def stats_command(args):
    # The viewer's index loads only for this command, not with every `zelm run`.
    from zelm import stats
    from zelm.view import lazy, model

    trace_id, documents = lazy.load_documents(args.db, args.trace_id)
    index = model.TraceIndex.from_documents(documents, f"trace {trace_id} in {args.db}")
    threads = _threads(index, args.thread, trace_id)
    thread = threads[0].number if args.thread is not None else None
    rows = stats.function_table(index, thread)
    rows.sort(key=lambda row: -row[args.sort])
    function_count = len(rows)
    if args.limit is not None:
        rows = rows[:args.limit]
    if args.format == "json":
        shown = [{key: _json_number(row[key]) for key in JSON_KEYS} for row in rows]
        _write_out(lambda: (json.dump(shown, sys.stdout, allow_nan=False), sys.stdout.write("\n")))
        return SUCCESS
    # Names come from the traced program; never fail on printing one.
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(errors="backslashreplace")
    _print_lines(table_lines(index, threads if args.thread is not None else None, rows, args.sort, function_count))
    return SUCCESS


def _threads(index, wanted, trace_id):
    """The threads of ``index`` that --thread names (by name or native id),
    all of them for None; one thread at most."""
    if wanted is None:
        return index.threads
    found = [info for info in index.threads if wanted in (info.thread.name, str(info.thread.thread_id))]
    names = ", ".join(f"{info.thread.name} ({info.thread.thread_id})" for info in index.threads) or "none"
    if not found:
        raise CommandError(f"no thread {wanted!r} in trace {trace_id}; its threads: {names}")
    if len(found) > 1:
        raise CommandError(f"{len(found)} threads are named {wanted!r} in trace {trace_id}: name one by its "
                           f"native id; its threads: {names}")
    return found


def _json_number(value):
    return None if isinstance(value, float) and not math.isfinite(value) else value


def table_lines(index, threads, rows, sort_key, function_count):
    """The lines of the text table: a header naming the trace, then one
    aligned line per row (calls, total, self, mean, max, qualified name,
    file). ``threads`` is the one thread shown, or None for all;
    ``function_count`` how many functions there are before a limit."""
    trace = index.trace
    where = f"thread {threads[0].thread.name} ({threads[0].thread.thread_id})" if threads else \
        plural(len(index.threads), "thread")
    order = "by calls" if sort_key == "calls" else f"by {sort_key} time"
    yield f"trace {trace.trace_id}: {duration_text(trace.end - trace.start)}, {where}, " \
          f"{shown_of(len(rows), function_count)} {order}"
    if not rows:
        yield "no calls recorded"
        return
    cells = [[_calls_text(row), *(duration_text(row[key]) for key in ("total", "self", "mean", "max")),
              clip(row["qualname"], NAME_WIDTH), row["path"]] for row in rows]
    header = ["calls", "total", "self", "mean", "max", "function", "file"]
    widths = [max(len(line[column]) for line in [header, *cells]) for column in range(len(header))]
    for line in [header, *cells]:
        numbers = "  ".join(text.rjust(width) for text, width in zip(line[:5], widths))
        yield f"{numbers}  {line[5].ljust(widths[5])}  {line[6]}".rstrip()
    if any(row["calls"] != row["outermost"] for row in rows):
        yield "calls N/M: M of the N calls ran inside no call of the same function; total and mean count those"
    yield "self: a call's time outside the recorded calls it made, which includes code that is not recorded"

def shown_of(shown, count):
    """"3 of 12 functions" when a limit left some out, else "12 functions"."""
    return plural(count, "function") if shown == count else f"{shown} of {plural(count, 'function')}"


def _calls_text(row):
    calls, outermost = row["calls"], row["outermost"]
    return str(calls) if calls == outermost else f"{calls}/{outermost}"
