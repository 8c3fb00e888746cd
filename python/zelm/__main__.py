"""zelm's command line: run a program under the profiler, list the stored
traces, show one as a call tree, export one for other tools.

    zelm run [options] script.py [args ...]
    zelm run [options] -m module [args ...]
    zelm list [--failed | --passed | --skipped | --errored | --outcome OUTCOME]
    zelm show TRACE_ID [--depth N] [--thread NAME]
    zelm export TRACE_ID --format chrome|json|html [-o FILE]
    zelm view [TRACE_ID] [--port N] [--no-browser]

TRACE_ID "latest" names the newest stored trace. Errors that are not the
profiled program's own are reported as one line "zelm: error: ..." with
exit status 1 (2 for bad usage and for a script that does not exist, as
python itself does).
"""

import argparse
import datetime
import json
import os
import reprlib
import runpy
import signal
import sqlite3
import sys
import traceback

from zelm import db
from zelm import trace as trace_reader
from zelm.config import add_recording_options, positive_int, recording_config
from zelm.profiler import DEFAULT_DB_PATH, Profiler

# Exit statuses.
SUCCESS = 0
FAILURE = 1
BAD_USAGE = 2
INTERRUPTED = 130  # 128 + SIGINT, what a shell reports for Ctrl-C

_MAX_ARGUMENTS_SHOWN = 6
_MAX_LINE_PART = 100
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
        return _clip(str.__str__(text), _MAX_OBJECT_TEXT)

    def repr_list(self, value, level):
        return "[…]" if level <= 0 and value else super().repr_list(value, level)

    def repr_tuple(self, value, level):
        return "(…)" if level <= 0 and value else super().repr_tuple(value, level)

    def repr_dict(self, value, level):
        return "{…}" if level <= 0 and value else super().repr_dict(value, level)

    repr_ObjectKeyDict = repr_dict


_short_value = _ShortRepr().repr


class CommandError(Exception):
    """A one-line error of the command itself, with its exit status."""

    def __init__(self, message, status=FAILURE):
        super().__init__(message)
        self.status = status


# ---- zelm run ----


def _run(args):
    parser = args.command_parser
    if args.module is not None:
        if not args.module:
            parser.error("argument -m: expected a module name")
        module, program_args = args.module[0], args.module[1:]
        argv = [module, *program_args]
        main_path = os.getcwd()
        source = args.source or f"-m {module}"

        def run_program():
            runpy.run_module(module, run_name="__main__", alter_sys=True)

    else:
        if not args.program:
            parser.error("the script to run is missing (script.py or -m module)")
        script = args.program[0]
        if not os.path.exists(script):
            raise CommandError(f"cannot run script {script!r}: no such file", BAD_USAGE)
        argv = list(args.program)
        main_path = os.path.dirname(os.path.abspath(script))
        source = args.source or script

        def run_program():
            runpy.run_path(script, run_name="__main__")

    # Packages are looked up on the path the program will have.
    saved_main_path = sys.path[0]
    sys.path[0] = main_path
    try:
        config = {"threading": args.threading, **recording_config(lambda name: getattr(args, name))}
    except ValueError as error:
        raise CommandError(str(error), BAD_USAGE) from None
    finally:
        sys.path[0] = saved_main_path
    # Absolute, so that a program that changes directory saves in the same place.
    profiler = Profiler(config=config, db_path=os.path.abspath(args.db), source=_escape_surrogates(source))

    # The program sees the argv and sys.path[0] that python itself would have
    # given it; the trace document records that argv too.
    saved_argv = sys.argv[:]
    sys.argv[:], sys.path[0] = argv, main_path
    stop_signals = _StopSignals()
    try:
        with stop_signals:
            status, failure = _run_profiled(profiler, run_program, stop_signals)
            document = profiler.build_trace()
            _flush_output()
            if failure is not None and not isinstance(failure, _StoppedBySignal):
                if isinstance(failure, ImportError) and _program_traceback(failure) is None:
                    # runpy found nothing to run (no such module, a directory
                    # without __main__.py): none of the program ran.
                    raise CommandError(str(failure))
                _print_program_traceback(failure)
            hint = f"--include-package {args.module[0].split('.')[0]}" if args.module else None
            _save(profiler, document, args.db, hint)
    finally:
        sys.argv[:], sys.path[0] = saved_argv, saved_main_path
    if stop_signals.received is not None:
        _stop_as_by(stop_signals.received)
    return status


def _escape_surrogates(text):
    """``text`` as valid UTF-8: the undecodable bytes of a file name or an
    argument (lone surrogates, as Python decodes them) become backslash
    escapes, as the trace records them in the command line and in values."""
    return text.encode("utf-8", "backslashreplace").decode("utf-8")


class _StoppedBySignal(BaseException):
    """Raised in the program when SIGTERM or SIGHUP arrives, so that it
    unwinds (its finally blocks run) as on Ctrl-C and its trace is saved."""

    def __init__(self, signum):
        super().__init__(f"stopped by {signal.Signals(signum).name}")
        self.signum = signum


class _StopSignals:
    """While entered, SIGTERM and SIGHUP (where their action is the default
    one, so not under nohup) stop the program with _StoppedBySignal; once
    ``raising`` is false (the program has ended) they are only noted in
    ``received``, to be acted on after the trace is saved."""

    NAMES = ("SIGTERM", "SIGHUP")

    def __init__(self):
        self.raising = True
        self.received = None
        self._previous = {}

    def __enter__(self):
        for name in self.NAMES:
            signum = getattr(signal, name, None)
            if signum is not None and signal.getsignal(signum) == signal.SIG_DFL:
                try:
                    self._previous[signum] = signal.signal(signum, self._on_signal)
                except ValueError:
                    break  # not the main thread: signals stay as they are
        return self

    def __exit__(self, *exc_info):
        for signum, previous in self._previous.items():
            signal.signal(signum, previous)

    def _on_signal(self, signum, frame):
        self.received = signum
        if self.raising:
            # Each one while the program runs, as each Ctrl-C does: a program
            # that takes the first for its own still stops at the next.
            raise _StoppedBySignal(signum)


def _stop_as_by(signum):
    """End the process as ``signum`` would have, so that the caller sees
    the status the signal gives."""
    _flush_output()
    signal.signal(signum, signal.SIG_DFL)
    os.kill(os.getpid(), signum)
    # Only reached where the signal cannot end the process.
    sys.exit(128 + signum)


def _run_profiled(profiler, run_program, stop_signals):
    """Run the program with the profiler started; return its exit status
    and the exception that ended it, if any (kept to be shown after the
    trace is taken). Once the program has ended, a stop signal waits for
    the trace to be saved."""
    profiler.start()
    try:
        run_program()
    except SystemExit as exit_request:
        return _exit_status(exit_request.code), None
    except KeyboardInterrupt as interrupt:
        return INTERRUPTED, interrupt
    except _StoppedBySignal as stop:
        return 128 + stop.signum, stop
    except Exception as error:
        return FAILURE, error
    finally:
        stop_signals.raising = False
        profiler.stop()
    return SUCCESS, None


def _exit_status(code):
    """The exit status of SystemExit(code), as the interpreter computes it."""
    if code is None:
        return SUCCESS
    if isinstance(code, int):
        return code
    print(code, file=sys.stderr)
    return FAILURE


def _flush_output():
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):
            pass


def _program_traceback(error):
    """The traceback of the program's exception from the program's first
    frame on, without the frames of zelm and runpy that ran it; None when
    the error came from them alone."""
    # As the frames name them ("<frozen runpy>" where runpy is frozen).
    runner_files = {_program_traceback.__code__.co_filename, runpy.run_path.__code__.co_filename}
    tb = error.__traceback__
    while tb is not None and tb.tb_frame.f_code.co_filename in runner_files:
        tb = tb.tb_next
    return tb


def _print_program_traceback(error):
    traceback.print_exception(type(error), error, _program_traceback(error))


def _save(profiler, document, shown_db_path, hint=None):
    """Store the trace and report it in one line on stderr; a failure is
    one "zelm: error:" line naming the file the trace went to instead (the
    program's exit status stays as it was). ``hint`` is an option to
    suggest when no frame was recorded."""
    timeout = profiler.config.get("sqlite_busy_timeout", 60)
    try:
        db.save_trace_in_sqlite(profiler.db_path, profiler.trace_id, timeout=timeout, msgpack=document)
    except Exception as error:
        reason = getattr(error, "reason", None) or " ".join(str(error).split()) or type(error).__name__
        written = getattr(error, "fallback_path", None)
        where = f"the trace was written to {written} instead" if written else "the trace could not be written anywhere"
        print(f"zelm: error: cannot store trace {profiler.trace_id} in {shown_db_path}: {reason}; {where}",
              file=sys.stderr)
        return
    trace = trace_reader.Trace.from_bytes(document, f"trace {profiler.trace_id}")
    frames = trace.frame_record_count
    plugins = trace.record_count - frames
    threads = len(trace.threads)
    if frames == 0:
        options = f"{hint}, " if hint else ""
        print(
            "zelm: no frame was recorded: the standard library, installed packages (site-packages) and "
            "generated code are left out by default, and the program ran no other Python code; record "
            f"them with {options}--include-package NAME or --include PATH_FRAGMENT",
            file=sys.stderr,
        )
    print(
        f"zelm: saved trace {profiler.trace_id}: {trace.record_count} records "
        f"({frames} frame, {plugins} plugin) from {_plural(threads, 'thread')} in {shown_db_path}"
        + (f"; {_cut_summary(trace)} (raise the budget with --trace-budget SIZE)" if trace.cuts else ""),
        file=sys.stderr,
    )


def _cut_summary(trace):
    """What the size budget left out of ``trace``, in a few words."""
    budget = trace.cuts[0].budget_bytes
    budget_text = f" of {_size(budget)}" if budget is not None else ""
    return f"cut at its size budget{budget_text}, {_plural(trace.dropped_events, 'event')} dropped"


# ---- zelm list ----


# What --failed and the other shorthands of `zelm list` select.
_OUTCOME_SHORTHANDS = {
    "failed": ("failed", "errored"),
    "passed": ("passed",),
    "skipped": ("skipped",),
    "errored": ("errored",),
}
TEST_OUTCOMES = ("passed", "failed", "errored", "skipped", "xfailed", "xpassed", "interrupted")


def _list(args):
    stored = db.list_traces(args.db)
    if not stored:
        print(f"no traces in {args.db}")
        return SUCCESS
    if args.outcomes:
        stored = [entry for entry in stored if entry.test is not None and entry.test.get("outcome") in args.outcomes]
        if not stored:
            print(f"no test traces with outcome {' or '.join(args.outcomes)} in {args.db}")
            return SUCCESS
    # Test traces are listed under their test's node id, with its outcome.
    tests = any(entry.test is not None for entry in stored)
    # A trace cut short by its budget says so, and how many events it lost.
    any_cut = any(entry.dropped_events is not None for entry in stored)
    header = ("TRACE ID", "SAVED", "SOURCE", *(("OUTCOME",) if tests else ()), "RECORDS", "SIZE")
    rows = [header + (("CUT",) if any_cut else ())]
    for entry in stored:
        source = entry.source if entry.source is not None else "?"
        outcome = ""
        if entry.test is not None:
            source = entry.test.get("nodeid") or source
            outcome = entry.test.get("outcome") or "?"
        row = (
            entry.trace_id,
            _local_time(entry.saved_at),
            source,
            *((outcome,) if tests else ()),
            str(entry.record_count) if entry.record_count is not None else "?",
            _size(entry.size_bytes),
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
        print("  ".join(cells).rstrip())
    return SUCCESS


def _local_time(timestamp):
    return datetime.datetime.fromtimestamp(timestamp).strftime("%Y-%m-%d %H:%M:%S")


def _size(size_bytes):
    if size_bytes < 1024:
        return f"{size_bytes} B"
    if size_bytes < 1024 * 1024:
        return f"{size_bytes / 1024:.1f} KiB"
    return f"{size_bytes / (1024 * 1024):.1f} MiB"


def _plural(count, noun):
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


# ---- zelm show ----


def _show(args):
    trace = trace_reader.load(args.db, args.trace_id)
    threads = trace.threads
    if args.thread is not None:
        threads = [thread for thread in threads if args.thread in (thread.name, str(thread.thread_id))]
        if not threads:
            names = ", ".join(f"{thread.name} ({thread.thread_id})" for thread in trace.threads) or "none"
            raise CommandError(f"no thread {args.thread!r} in trace {trace.trace_id}; its threads: {names}")
    # Traced values can hold any text; never fail on printing one.
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(errors="backslashreplace")
    for line in _render_trace(trace, threads, args.depth):
        print(line)
    return SUCCESS


def _render_trace(trace, threads, max_depth=None):
    """Lines of `zelm show`: a header, then per thread its call tree, one
    line per call (duration, name, arguments, return value, location) and
    per plugin record, indented by nesting depth."""
    yield f"trace {trace.trace_id}  source {trace.source}  started {_local_time(trace.timestamp)}"
    if trace.command_line_args:
        yield "command line: " + " ".join(trace.command_line_args)
    yield f"{_plural(trace.record_count, 'record')}, {_plural(len(trace.threads), 'thread')}"
    if trace.cuts:
        yield "incomplete: " + _cut_summary(trace) + _cut_position(trace.cuts[0])
    for thread in threads:
        calls = sum(1 for _, node in thread.walk() if isinstance(node, trace_reader.Call))
        yield ""
        yield f"thread {thread.name} ({thread.thread_id}): {_plural(calls, 'call')}"
        for depth, node in thread.walk():
            if max_depth is not None and depth >= max_depth:
                continue
            indent = "  " * (depth + 1)
            if isinstance(node, trace_reader.Call):
                line = indent + _call_line(node)
                if max_depth is not None and depth == max_depth - 1:
                    hidden = _nested_call_count(node)
                    if hidden:
                        line += f"  [+{_plural(hidden, 'nested call')}]"
                yield line
            else:
                yield indent + "* " + _plugin_line(node)


def _cut_position(cut):
    """Where the first dropped event happened, as a clause of the cut line."""
    if cut.timestamp is None:
        return ""
    where = f" from {_local_time(cut.timestamp)} on: first the {cut.event or 'event'} of {cut.qualname or '?'}"
    if cut.path:
        where += f" ({cut.path})"
    return where + f" in thread {cut.thread}" if cut.thread else where


def _call_line(call):
    duration = _duration(call.duration)
    if not call.finished:
        duration = ">=" + duration
    text = f"{duration}  {call.name}"
    if call.call_record is not None:
        text += f"({_arguments(call.arguments)})"
    if call.raised is not None:
        text += " raised " + _clip(call.raised)
    elif call.finished:
        text += " -> " + _clip(_short_value(call.return_value))
    text += f"  {call.location}"
    if call.call_record is None:
        text += "  [call not recorded]"
    if not call.finished:
        text += "  [no return recorded]"
    return text


def _arguments(arguments):
    if not isinstance(arguments, dict):
        return _clip(_short_value(arguments))
    # Module and class bodies start with dunder globals; they are no arguments.
    names = [name for name in arguments if not (isinstance(name, str) and name.startswith("__") and name.endswith("__"))]
    parts = [f"{name}={_short_value(arguments[name])}" for name in names[:_MAX_ARGUMENTS_SHOWN]]
    if len(names) > _MAX_ARGUMENTS_SHOWN:
        parts.append("...")
    return _clip(", ".join(parts))


def _clip(text, limit=_MAX_LINE_PART):
    return text if len(text) <= limit else text[: limit - 3] + "..."


def _nested_call_count(call):
    # Without recursion: traces of deeply recursive programs are deep too.
    count, pending = 0, call.calls()
    while pending:
        count += 1
        pending.extend(pending.pop().calls())
    return count


def _duration(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} us"
    if seconds < 1:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.3f} s"


def _plugin_line(record):
    data = record.data
    if record.type == "log_message":
        text = f"log {data.get('level')} {data.get('logger')}: {data.get('message')}"
        if data.get("location"):
            text += f"  ({data['location']})"
        return _clip(text, 2 * _MAX_LINE_PART)
    if record.type == "outbound_request":
        return _clip(f"HTTP request {data.get('method')} {data.get('url')}", 2 * _MAX_LINE_PART)
    if record.type == "outbound_response":
        text = f"HTTP response {data.get('status')} {data.get('reason')} to {data.get('method')} {data.get('url')}"
        return _clip(text + _took(data.get("duration")), 2 * _MAX_LINE_PART)
    if record.type == "outbound_error":
        # The error is what the reader came for: it is never clipped away by a long URL.
        text = _clip(f"HTTP error on {data.get('method')} {data.get('url')}{_took(data.get('duration'))}", 2 * _MAX_LINE_PART)
        return f"{text}: {_clip(str(data.get('error')), 2 * _MAX_LINE_PART)}"
    if record.type == "inbound_request":
        query = f"?{data['query_string']}" if data.get("query_string") else ""
        return _clip(f"request {data.get('method')} {data.get('path')}{query}", 2 * _MAX_LINE_PART)
    if record.type == "inbound_response":
        text = f"response {data.get('status')}, {data.get('body_size')} bytes{_took(data.get('duration'))}"
        return _clip(text + (f"  error {data['error']}" if data.get("error") else ""), 2 * _MAX_LINE_PART)
    if record.type == "start_test":
        return f"start test {data.get('nodeid')}"
    if record.type == "end_test":
        return _clip(f"end test {data.get('nodeid')}{_test_outcome(data)}", 2 * _MAX_LINE_PART)
    if record.type == trace_reader.UNTYPED_RECORD:
        value = data.get("value")
        return _clip(f"plugin record {value if isinstance(value, str) else _short_value(value)}", 2 * _MAX_LINE_PART)
    if record.type == trace_reader.UNDECODABLE_RECORD:
        return f"[undecodable record of {data.get('size')} bytes: {data.get('error')}]"
    details = ", ".join(f"{key}={_short_value(value)}" for key, value in data.items())
    return _clip(f"{record.type} {details}".rstrip(), 2 * _MAX_LINE_PART)


def _took(duration):
    return f" in {_duration(duration)}" if isinstance(duration, (int, float)) and duration >= 0 else ""


def _test_outcome(data):
    """": failed in call: assert 4 == 5" of an end_test record; the message
    is its first line."""
    outcome = data.get("outcome")
    if not isinstance(outcome, str):
        return ""
    text = ": " + outcome
    if outcome in ("errored", "skipped") and data.get("phase") in ("setup", "teardown"):
        text += f" in {data['phase']}"
    message = data.get("message")
    if isinstance(message, str) and message.strip():
        text += ": " + message.strip().splitlines()[0]
    return text


# ---- zelm export ----


def _export(args):
    trace = trace_reader.load(args.db, args.trace_id)
    if args.format == "html":
        return _export_html(trace, args)
    if args.format == "chrome":
        exported = trace_reader.to_chrome_trace(trace)
        what = f"{_plural(len(exported['traceEvents']), 'event')} of trace {trace.trace_id}"
    else:
        exported = trace_reader.to_json_safe(trace.document)
        what = f"trace {trace.trace_id}"
    if args.output == "-":
        json.dump(exported, sys.stdout, allow_nan=False)
        sys.stdout.write("\n")
        return SUCCESS
    try:
        with open(args.output, "w", encoding="utf-8") as output:
            json.dump(exported, output, allow_nan=False)
    except OSError as error:
        raise CommandError(f"cannot write {args.output}: {error.strerror or error}") from None
    print(f"zelm: wrote {what} to {args.output}", file=sys.stderr)
    return SUCCESS


def _export_html(trace, args):
    from zelm.view import export

    if args.output == "-":
        raise CommandError("--format html writes a file: name it with -o FILE")
    try:
        size = export.export_html(trace, args.db, args.output)
    except export.ExportTooLarge as error:
        raise CommandError(str(error)) from None
    except OSError as error:
        raise CommandError(f"cannot write {args.output}: {error.strerror or error}") from None
    print(f"zelm: wrote trace {trace.trace_id} as a viewer page of {_size(size)} to {args.output}", file=sys.stderr)
    return SUCCESS


# ---- zelm view ----


def _view(args):
    from zelm import view

    try:
        return view.serve(args.db, args.trace_id, args.port, open_browser=not args.no_browser)
    except (OSError, OverflowError) as error:  # OverflowError: a port number out of range
        reason = getattr(error, "strerror", None) or error
        raise CommandError(f"cannot serve the viewer on 127.0.0.1:{args.port}: {reason}") from None


# ---- the parser ----


def build_parser():
    parser = argparse.ArgumentParser(
        prog="zelm",
        description="Record every Python call and return of a program, and read the traces back.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    database = argparse.ArgumentParser(add_help=False)
    database.add_argument(
        "--db", metavar="PATH", default=DEFAULT_DB_PATH,
        help=f"the trace database (default: {DEFAULT_DB_PATH} under the current directory)",
    )

    run = commands.add_parser(
        "run", parents=[database], help="run a Python program under the profiler and save its trace",
        usage="zelm run [options] (script.py | -m module) [args ...]",
        description="Run a Python script or module under the profiler, as python would run it, "
        "save its trace and print the trace id. The program's exit status is kept.",
    )
    add_recording_options(run.add_argument)
    run.add_argument(
        "--threading", action=argparse.BooleanOptionalAction, default=True,
        help="also record threads the program starts",
    )
    run.add_argument("--source", metavar="LABEL", help="the trace's source label (default: the script or module)")
    run.add_argument(
        "-m", dest="module", nargs=argparse.REMAINDER, metavar="module [args]",
        help="run a library module as a script; the rest of the command line goes to it",
    )
    run.add_argument("program", nargs=argparse.REMAINDER, metavar="script.py [args ...]",
                     help="the script and its arguments")
    run.set_defaults(handler=_run, command_parser=run)

    list_command = commands.add_parser(
        "list", parents=[database], help="list the stored traces, newest first",
        description="List the stored traces, newest first: id, time saved, source, number of records, size "
        "(before compression) and, for a trace cut by its budget, how many events it dropped. "
        "The trace of a test (pytest --zelm) is listed under its test's node id, with the test's outcome.",
    )
    outcomes = list_command.add_mutually_exclusive_group()
    for shorthand, selected in _OUTCOME_SHORTHANDS.items():
        outcomes.add_argument(
            f"--{shorthand}", dest="outcomes", action="store_const", const=selected,
            help=f"only the traces of tests that {' or '.join(selected)}",
        )
    outcomes.add_argument(
        "--outcome", dest="outcomes", action="append", choices=TEST_OUTCOMES, metavar="OUTCOME",
        help=f"only the traces of tests with this outcome (repeatable): {', '.join(TEST_OUTCOMES)}",
    )
    list_command.set_defaults(handler=_list, command_parser=list_command)

    trace_id_help = 'the trace id, or "latest" for the newest trace'
    show = commands.add_parser(
        "show", parents=[database], help="show a trace as a call tree per thread",
        description="Show a stored trace as a call tree per thread: each call's duration, name, "
        "arguments, return value and location, with log messages, HTTP requests and test markers in place.",
    )
    show.add_argument("trace_id", metavar="TRACE_ID", help=trace_id_help)
    show.add_argument("--depth", metavar="N", type=positive_int, help="show calls nested at most N deep")
    show.add_argument("--thread", metavar="NAME", help="show only the threads of this name (or native id)")
    show.set_defaults(handler=_show, command_parser=show)

    export = commands.add_parser(
        "export", parents=[database], help="export a trace as Chrome trace events or JSON",
        description="Export a stored trace: --format chrome writes Chrome trace event JSON for Perfetto "
        "(ui.perfetto.dev) and chrome://tracing; --format json writes the decoded trace document.",
    )
    export.add_argument("trace_id", metavar="TRACE_ID", help=trace_id_help)
    export.add_argument("--format", choices=("chrome", "json", "html"), default="chrome",
                        help="chrome (default), json, or html (the viewer and the trace in one file)")
    export.add_argument("-o", "--output", metavar="FILE", default="-", help="the file to write (default: stdout)")
    export.set_defaults(handler=_export, command_parser=export)

    view = commands.add_parser(
        "view", parents=[database], help="explore traces in the browser",
        description="Serve the trace viewer on 127.0.0.1 and open it in the browser: the list of "
        "traces, or one trace's timeline, call tree and details. Ctrl-C ends it.",
    )
    view.add_argument("trace_id", metavar="TRACE_ID", nargs="?", help=trace_id_help + " (default: the list)")
    view.add_argument("--port", metavar="N", type=int, default=0, help="the port to listen on (default: a free one)")
    view.add_argument("--no-browser", action="store_true", help="print the address, do not open a browser")
    view.set_defaults(handler=_view, command_parser=view)
    return parser


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help(sys.stderr)
        return BAD_USAGE
    try:
        return args.handler(args)
    except CommandError as error:
        print(f"zelm: error: {error}", file=sys.stderr)
        return error.status
    except (db.TraceStoreError, trace_reader.TraceError, sqlite3.Error) as error:
        print(f"zelm: error: {error}", file=sys.stderr)
        return FAILURE
    except BrokenPipeError:
        if args.command == "run":
            raise
        # The reader of our output (`zelm show ... | head`) has gone: say
        # nothing more, and keep the interpreter's final flush quiet too.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return FAILURE


if __name__ == "__main__":
    sys.exit(main())
