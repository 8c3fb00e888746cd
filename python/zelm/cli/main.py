"""zelm's command line: run a program under the profiler, list the stored
traces, show one as a call tree, export one for other tools.

    zelm run [options] script.py [args ...]
    zelm run [options] -m module [args ...]
    zelm list [--failed | --passed | --skipped | --errored | --outcome OUTCOME] [--traceparent ID] [--limit N]
              [--format text|json]
    zelm show TRACE_ID [--depth N] [--thread NAME]
    zelm export TRACE_ID --format chrome|speedscope|json|html [-o FILE]
    zelm view [TRACE_ID] [--port N] [--no-browser]
    zelm stats TRACE_ID [--sort total|self|calls] [--limit N] [--format text|json] [--thread NAME]
    zelm delete TRACE_ID ...
    zelm prune [--keep N] [--older-than DURATION] [--source PATTERN] [--passed] [--dry-run]
    zelm copy SRC DST [TRACE_ID ...]

--db names the database: a SQLite file's path (or sqlite://PATH), or a
PostgreSQL URL (postgresql://...); ZELM_DB names it when --db is not given.

TRACE_ID "latest" names the newest stored trace. Errors that are not the
profiled program's own are reported as one line "zelm: error: ..." with
exit status 1 (2 for bad usage and for a script that does not exist, as
python itself does).

This module holds the parser and `zelm run`: its frames are on the stack,
or run, while the profiler records the program, so the built-in filter
leaves it out by name and it stays small. The other commands are
zelm.cli.commands, zelm.cli.stats and zelm.cli.removal (delete, prune),
their lines zelm.cli.render.
"""

import argparse
import builtins
import importlib.machinery
import io
import mmap
import os
import pkgutil
import runpy
import signal
import sqlite3
import sys
import time
import traceback
import types
from typing import NamedTuple

from zelm import _fastread, children, store
from zelm import trace as trace_reader
from zelm.cli.commands import (BAD_USAGE, FAILURE, INTERRUPTED, SUCCESS, CommandError, export_command,
                               import_command, list_command, show_command, traceparent_trace_id, view_command)
from zelm.cli.copy import copy_command
from zelm.cli.removal import delete_command, duration, prune_command, whole_number
from zelm.cli.progress import Progress
from zelm.cli.render import PROFILE_HOOK, cut_summary, hook_summary
from zelm.cli.stats import SORT_KEYS, stats_command
from zelm.config import add_recording_options, positive_int, recording_config
from zelm.plugins import TEST_OUTCOMES
from zelm.version import __version__
from zelm.profiler import DEFAULT_CONFIG, DEFAULT_DB_PATH, Profiler
from zelm.text import duration_text, plural


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
        main_path = os.path.dirname(os.path.realpath(script))
        source = args.source or script

        def run_program():
            if pkgutil.get_importer(script) is None:
                _run_script(os.path.join(os.getcwd(), script))
            else:
                # A directory or zip file with a __main__ module.
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
    # Run as a child of a traced program, this run's trace takes the place
    # of the one the interpreter started at start-up.
    parent_trace_id = children.take_over_startup_profiler()
    # Absolute, so that a program that changes directory saves in the same place.
    profiler = Profiler(config=config, db_path=store.location.absolute(args.db), source=_escape_surrogates(source),
                        parent_trace_id=parent_trace_id)

    # The program sees the argv and sys.path[0] that python itself would have
    # given it; the trace document records that argv too.
    saved_argv = sys.argv[:]
    sys.argv[:], sys.path[0] = argv, main_path
    stop_signals = _StopSignals()
    restore_environment = children.trace_children(profiler, args.trace_children)
    try:
        with stop_signals:
            exit_code, failure = _run_profiled(profiler, run_program, stop_signals, _MemoryReserve())
            if isinstance(failure, ImportError) and _program_traceback(failure) is None:
                # runpy found nothing to run (no such module, a directory
                # without __main__.py): none of the program ran.
                raise CommandError(str(failure))
            _release_program_frames(failure)
            document = profiler.build_trace()
            started = time.monotonic()
            with Progress(f"saving trace {profiler.trace_id}", _SAVE_PROGRESS_AFTER, counted=True) as progress:
                store_error = _store(profiler, document, args.db, progress.update)
            save_seconds = time.monotonic() - started
            # The trace is safe: what follows writes to the program's own
            # stderr, which it may have closed or replaced.
            hint = f"--include-package {args.module[0].split('.')[0]}" if args.module else None

            def report():
                return [store_error] if store_error else _saved_report(profiler, document, args.db, hint, save_seconds)

            status = _tell_how_it_ended(exit_code, failure, report)
    finally:
        sys.argv[:], sys.path[0] = saved_argv, saved_main_path
        restore_environment()
    if stop_signals.received is not None:
        _stop_as_by(stop_signals.received)
    if isinstance(failure, KeyboardInterrupt):
        _stop_as_by(signal.SIGINT)  # as python ends on an uncaught KeyboardInterrupt
    return status


def _run_script(path):
    """Runs the script file at ``path`` as module __main__ the way python
    does, which runpy.run_path does not: ``__file__`` is the path as given
    (python joins the working directory to the path typed, so that it
    still holds after a chdir) while sys.argv[0] stays as typed."""
    with io.open_code(path) as file:
        code = pkgutil.read_code(file)  # a compiled file, as python runs one too
    if code is None:
        with io.open_code(path) as file:
            code = compile(file.read(), path, "exec")
    main = types.ModuleType("__main__")
    main.__file__, main.__cached__, main.__builtins__ = path, None, builtins
    main.__loader__ = importlib.machinery.SourceFileLoader("__main__", path)
    saved_main = sys.modules["__main__"]
    sys.modules["__main__"] = main
    try:
        exec(code, vars(main))
    finally:
        sys.modules["__main__"] = saved_main


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
    one, so not under nohup) stop the program with _StoppedBySignal, as
    Ctrl-C stops it with KeyboardInterrupt. Once ``defer`` is called (the
    program has ended) these three, where their action is still the
    default one, are only noted in ``received``, to be acted on after the
    trace is saved: a second Ctrl-C cannot cut the save short. A forked
    child of the program, which inherits the handler, ends by the signal
    instead, after saving its own trace (zelm.children)."""

    NAMES = ("SIGTERM", "SIGHUP")

    def __init__(self):
        self.raising = True
        self.received = None
        self._previous = {}
        self._pid = os.getpid()

    def __enter__(self):
        for name in self.NAMES:
            signum = getattr(signal, name, None)
            if signum is not None and signal.getsignal(signum) == signal.SIG_DFL:
                self._take(signum)
        return self

    def defer(self):
        self.raising = False
        # SIGINT keeps python's own handler while the program runs: the
        # program (asyncio.run, for one) checks for it.
        if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
            self._take(signal.SIGINT)

    def __exit__(self, *exc_info):
        for signum, previous in self._previous.items():
            signal.signal(signum, previous)

    def _take(self, signum):
        try:
            previous = signal.signal(signum, self._on_signal)
        except ValueError:
            return  # not the main thread: signals stay as they are
        self._previous.setdefault(signum, previous)

    def _on_signal(self, signum, frame):
        if os.getpid() != self._pid:
            children.save_and_end(signum)
            return
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


class _MemoryReserve:
    """Address space taken before the program runs and given back when it
    ends, so that a program that dies of memory exhaustion leaves room to
    build and save its trace. Its pages are never touched: it costs no
    resident memory."""

    SIZE = 64 * 2**20

    def __init__(self):
        try:
            self._block = mmap.mmap(-1, self.SIZE)
        except OSError:
            self._block = None  # already short of memory: run without one

    def release(self):
        if self._block is not None:
            self._block.close()
            self._block = None


def _run_profiled(profiler, run_program, stop_signals, reserve):
    """Run the program with the profiler started; return the code of the
    SystemExit that ended it (None if none did) and the exception that
    ended it otherwise, kept to be shown after the trace is saved. Once the
    program has ended, stop signals wait for the trace to be saved, and the
    memory reserve is given back for saving it."""
    profiler.start()
    try:
        run_program()
    except SystemExit as exit_request:
        return exit_request.code, None
    except BaseException as failure:  # KeyboardInterrupt and _StoppedBySignal too
        return None, failure
    finally:
        stop_signals.defer()
        reserve.release()
        profiler.stop()
    return None, None


def _release_program_frames(failure):
    """Let go of the locals of the frames ``failure`` (and the exceptions
    chained to it) left: they may hold most of the program's memory, and
    its traceback prints from the frames' code and lines alone."""
    pending, seen = [failure], set()
    while pending:
        error = pending.pop()
        if error is not None and id(error) not in seen:
            seen.add(id(error))
            traceback.clear_frames(error.__traceback__)
            pending += [error.__cause__, error.__context__]


def _tell_how_it_ended(exit_code, failure, report):
    """Show on stderr what python would have shown of the program's end,
    then the lines ``report()`` gives; return the exit status python would
    have given. Showing nothing, or less, where the program closed or
    replaced its stderr changes neither the status nor the saved trace."""
    _flush_output()
    if failure is None:
        status = _exit_status(exit_code)
    elif isinstance(failure, _StoppedBySignal):
        status = 128 + failure.signum
    else:
        status = INTERRUPTED if isinstance(failure, KeyboardInterrupt) else FAILURE
        _write_to_stderr(lambda stderr: _print_program_traceback(failure, stderr))
    _write_to_stderr(lambda stderr: print(*report(), sep="\n", file=stderr))
    return status


def _exit_status(code):
    """The exit status of SystemExit(code), as the interpreter computes it,
    after showing a code that is not a number on stderr as it does."""
    if code is None:
        return SUCCESS
    if isinstance(code, int):
        # The interpreter takes a C long, and -1 for any int beyond one.
        return code if -sys.maxsize - 1 <= code <= sys.maxsize else -1
    try:
        message = str(code)
    except Exception as error:
        # The interpreter still ends the line, and shows (3.12 on) why it is empty.
        _write_to_stderr(lambda stderr: (print(file=stderr), _print_program_traceback(error, stderr)))
        return FAILURE
    if sys.stderr is None:
        # The interpreter then writes the code to its own standard error.
        try:
            os.write(2, f"{message}\n".encode(errors="backslashreplace"))
        except OSError:
            pass
    _write_to_stderr(lambda stderr: print(message, file=stderr))
    return FAILURE


def _write_to_stderr(write):
    """Call ``write(sys.stderr)`` unless the program has set sys.stderr to
    None; a stream it closed, or one of its own that fails, shows nothing."""
    stderr = sys.stderr
    if stderr is None:
        return
    try:
        write(stderr)
        stderr.flush()
    except Exception:
        pass


def _flush_output():
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except Exception:  # closed, replaced by None or by an object of the program's
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


def _print_program_traceback(error, stderr):
    traceback.print_exception(type(error), error, _program_traceback(error), file=stderr)


def _store(profiler, document, shown_db_path, progress=None):
    """Store the trace (``progress`` as store.save_trace_in_sqlite takes
    it); on failure return the one "zelm: error:" line that says so,
    naming the file the trace went to instead (the program's exit status
    stays as it was)."""
    try:
        store.save_trace_in_sqlite(profiler.db_path, profiler.trace_id, timeout=profiler.sqlite_busy_timeout,
                                   msgpack=document, progress=progress)
    except Exception as error:
        reason = getattr(error, "reason", None) or " ".join(str(error).split()) or type(error).__name__
        written = getattr(error, "fallback_path", None)
        where = f"the trace was written to {written} instead" if written else "the trace could not be written anywhere"
        return f"zelm: error: cannot store trace {profiler.trace_id} in {shown_db_path}: {reason}; {where}"
    return None


# A save that may take this many seconds shows its progress on a terminal;
# one that took the second is timed in the summary line.
_SAVE_PROGRESS_AFTER = 2.0
_SAVE_TIME_SHOWN_FROM = 1.0


def _saved_report(profiler, document, shown_db_path, hint=None, save_seconds=0.0):
    """The lines that report a stored trace: its counts of records in one
    line, after a line saying why when no frame was recorded. ``hint`` is
    an option to suggest then; a save that took ``save_seconds`` of
    _SAVE_TIME_SHOWN_FROM or more ends the line with its time."""
    lines = []
    counts = _RecordCounts.of(document)
    frames, exceptions, plugins = counts.frames, counts.exceptions, counts.plugins
    if frames == 0:
        options = f"{hint}, " if hint else ""
        lines.append(
            "zelm: no frame was recorded: the standard library, installed packages (site-packages) and "
            "generated code are left out by default, and the program ran no other Python code; record "
            f"them with {options}--include-package NAME or --include PATH_FRAGMENT"
        )
    hook_line = hook_summary(counts.hook_changes)
    if hook_line:
        lines.append(f"zelm: {hook_line}")
    kinds = f"{frames} frame, " + (f"{exceptions} exception, " if exceptions else "") + f"{plugins} plugin"
    lines.append(
        f"zelm: saved trace {profiler.trace_id}: {frames + exceptions + plugins} records ({kinds}) "
        f"from {plural(counts.threads, 'thread')} in {shown_db_path}"
        + (f"; {cut_summary(counts)} (raise the budget with --trace-budget SIZE)" if counts.cuts else "")
        + (f"; saving took {duration_text(save_seconds)}" if save_seconds >= _SAVE_TIME_SHOWN_FROM else "")
    )
    return lines


class _RecordCounts(NamedTuple):
    """What the summary line of `zelm run` says of a trace's records."""

    frames: int  # "frame" records: calls and returns
    exceptions: int  # "exception" records: how the frames left by raising ended
    plugins: int  # the other records, but the cut ones and the profile hook's
    threads: int
    hook_changes: list  # the profile hook's records (zelm.trace.PluginRecord), in trace order
    cuts: list  # where the size budget cut the trace (zelm.trace.TraceCut), in document order

    @property
    def dropped_events(self):
        return sum(cut.dropped_events for cut in self.cuts)

    @classmethod
    def of(cls, document):
        """The counts of ``document``, read natively without building its
        call tree: only the cut records and the profile hook's are decoded."""
        # Only once the program has run: the viewer's package is not the program's business.
        from zelm.view import lazy

        types, threads, cut_spans, hook_spans = _fastread.counts(document, lazy.record_fields)
        view = memoryview(document)
        cut_records = [lazy.record(view[begin:end]) for begin, end in cut_spans]
        hook_records = [lazy.record(view[begin:end]) for begin, end in hook_spans]
        frames, exceptions = types.get("frame", 0), types.get("exception", 0)
        return cls(
            frames=frames,
            exceptions=exceptions,
            plugins=sum(types.values()) - frames - exceptions - len(cut_records) - len(hook_records),
            threads=threads,
            hook_changes=[trace_reader.PluginRecord(PROFILE_HOOK, record.get("timestamp"), record)
                          for record in hook_records],
            cuts=[trace_reader.TraceCut.from_record(record) for record in cut_records],
        )


# ---- the parser ----


# What --failed and the other shorthands of `zelm list` select.
_OUTCOME_SHORTHANDS = {
    "failed": ("failed", "errored"),
    "passed": ("passed",),
    "skipped": ("skipped",),
    "errored": ("errored",),
}


def build_parser():
    parser = argparse.ArgumentParser(
        prog="zelm",
        description="Record every Python call and return of a program, and read the traces back.",
    )
    parser.add_argument("--version", action="version", version=f"zelm {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    database = argparse.ArgumentParser(add_help=False)
    database.add_argument(
        "--db", metavar="PATH|URL", default=os.environ.get(store.location.ENVIRONMENT_VARIABLE) or DEFAULT_DB_PATH,
        type=store.location.resolve,
        help=f"the trace database: a SQLite file's path or a PostgreSQL URL (postgresql://USER@HOST/DATABASE) "
             f"(default: ${store.location.ENVIRONMENT_VARIABLE}, else {DEFAULT_DB_PATH} under the current directory)",
    )

    run = commands.add_parser(
        "run", parents=[database], help="run a Python program under the profiler and save its trace",
        usage="zelm run [options] (script.py | -m module) [args ...]",
        description="Run a Python script or module under the profiler, as python would run it, "
        "save its trace and print the trace id. The program's exit status is kept.",
    )
    add_recording_options(run.add_argument)
    run.add_argument(
        "--threading", action=argparse.BooleanOptionalAction, default=DEFAULT_CONFIG["threading"],
        help="also record threads the program starts",
    )
    run.add_argument(
        "--trace-children", action=argparse.BooleanOptionalAction, default=True,
        help="also trace the processes the program starts (forked ones, multiprocessing workers, python run by "
             "subprocess), each in a trace of its own in the same database, naming the program's trace as its "
             "parent (default: on)",
    )
    run.add_argument("--source", metavar="LABEL", help="the trace's source label (default: the script or module)")
    run.add_argument(
        "-m", dest="module", nargs=argparse.REMAINDER, metavar="module [args]",
        help="run a library module as a script; the rest of the command line goes to it",
    )
    run.add_argument("program", nargs=argparse.REMAINDER, metavar="script.py [args ...]",
                     help="the script and its arguments")
    run.set_defaults(handler=_run, command_parser=run)

    list_parser = commands.add_parser(
        "list", parents=[database], help="list the stored traces, newest first",
        description="List the stored traces, newest first: id, time saved, source, number of records, size "
        "(before compression) and, for a trace cut by its budget, how many events it dropped. "
        "The trace of a test (pytest --zelm) is listed under its test's node id, with the test's outcome.",
    )
    outcomes = list_parser.add_mutually_exclusive_group()
    for shorthand, selected in _OUTCOME_SHORTHANDS.items():
        outcomes.add_argument(
            f"--{shorthand}", dest="outcomes", action="store_const", const=selected,
            help=f"only the traces of tests that {' or '.join(selected)}",
        )
    outcomes.add_argument(
        "--outcome", dest="outcomes", action="append", choices=TEST_OUTCOMES, metavar="OUTCOME",
        help=f"only the traces of tests with this outcome (repeatable): {', '.join(TEST_OUTCOMES)}",
    )
    list_parser.add_argument(
        "--traceparent", metavar="ID", type=traceparent_trace_id,
        help="only the traces of served web requests of this distributed trace: a trace id (32 hex digits) or "
             "a whole traceparent header, found in the traceparent header the request arrived with or as "
             "OpenTelemetry's trace id")
    list_parser.add_argument("--limit", metavar="N", type=positive_int, help="only the N newest")
    list_parser.add_argument("--format", choices=("text", "json"), default="text",
                             help="text (default): an aligned table; json: a list of objects, newest first, "
                                  "times in seconds since the epoch and sizes in bytes")
    list_parser.set_defaults(handler=list_command, command_parser=list_parser)

    trace_id_help = 'the trace id, or "latest" for the newest trace'
    show = commands.add_parser(
        "show", parents=[database], help="show a trace as a call tree per thread",
        description="Show a stored trace as a call tree per thread: each call's duration, name, "
        "arguments, return value and location, with log messages, HTTP requests and test markers in place.",
    )
    show.add_argument("trace_id", metavar="TRACE_ID", help=trace_id_help)
    show.add_argument("--depth", metavar="N", type=positive_int, help="show calls nested at most N deep")
    show.add_argument("--thread", metavar="NAME", help="show only the threads of this name (or native id)")
    show.set_defaults(handler=show_command, command_parser=show)

    export = commands.add_parser(
        "export", parents=[database], help="export a trace as Chrome trace events, for speedscope, or as JSON",
        description="Export a stored trace: --format chrome writes Chrome trace event JSON for Perfetto "
        "(ui.perfetto.dev) and chrome://tracing; --format speedscope a speedscope file (www.speedscope.app), "
        "one profile per thread; --format json the decoded trace document.",
    )
    export.add_argument("trace_id", metavar="TRACE_ID", help=trace_id_help)
    export.add_argument("--format", choices=("chrome", "speedscope", "json", "html"), default="chrome",
                        help="chrome (default), speedscope, json, or html (the viewer and the trace in one file)")
    export.add_argument("-o", "--output", metavar="FILE", default="-",
                        help="the file to write, gzip-compressed if its name ends in .gz (default: stdout)")
    export.set_defaults(handler=export_command, command_parser=export)

    view = commands.add_parser(
        "view", parents=[database], help="explore traces in the browser",
        description="Serve the trace viewer on 127.0.0.1 and open it in the browser: the list of "
        "traces, or one trace's timeline, call tree and details. Ctrl-C ends it.",
    )
    view.add_argument("trace_id", metavar="TRACE_ID", nargs="?", help=trace_id_help + " (default: the list)")
    view.add_argument("--port", metavar="N", type=int, default=0, help="the port to listen on (default: a free one)")
    view.add_argument("--no-browser", action="store_true", help="print the address, do not open a browser")
    view.set_defaults(handler=view_command, command_parser=view)

    stats_parser = commands.add_parser(
        "stats", parents=[database], help="show where a trace's time went, per function",
        description="Show one line per function (qualified name and file) of a stored trace: its calls, total "
        "time (a call inside a call of the same function counted once; a coroutine or generator for the time it "
        "ran, not the time it was suspended), self time (outside the recorded calls it made, so including code "
        "that is not recorded: the standard library, installed packages, C functions), mean and longest call.",
    )
    stats_parser.add_argument("trace_id", metavar="TRACE_ID", help=trace_id_help)
    stats_parser.add_argument("--sort", choices=SORT_KEYS, default="total", help="the order, heaviest first "
                              "(default: total)")
    stats_parser.add_argument("--limit", metavar="N", type=positive_int, help="show the first N functions only")
    stats_parser.add_argument("--format", choices=("text", "json"), default="text",
                              help="text (default): an aligned table; json: a list of objects, times in seconds")
    stats_parser.add_argument("--thread", metavar="NAME", help="only the thread of this name (or native id)")
    stats_parser.set_defaults(handler=stats_command, command_parser=stats_parser)

    import_parser = commands.add_parser(
        "import", parents=[database], help="store the traces written to fallback files",
        description="Store in the database the traces that were written to files because they could not be "
        "stored (a locked or damaged database): <database file>.<trace id>.msgpack beside the database, "
        "or in the current or the temporary directory. The files are removed once their traces are stored.",
    )
    import_parser.add_argument("files", metavar="FILE", nargs="+", help="a trace document written instead of stored")
    import_parser.set_defaults(handler=import_command, command_parser=import_parser)

    delete = commands.add_parser(
        "delete", parents=[database], help="remove stored traces",
        description="Remove each trace named, every part of it, from the database. An id that names no trace "
        "is an error; the others are removed all the same.",
    )
    delete.add_argument("trace_ids", metavar="TRACE_ID", nargs="+", help=trace_id_help)
    delete.set_defaults(handler=delete_command, command_parser=delete)

    prune = commands.add_parser(
        "prune", parents=[database], help="remove the stored traces that match criteria",
        description="Remove the stored traces that match every criterion given (at least one), then compact "
        "the database so that the disk gets the space back. A trace being saved meanwhile is never removed.",
    )
    prune.add_argument("--keep", metavar="N", type=whole_number, help="never remove the N newest traces")
    prune.add_argument("--older-than", metavar="DURATION", type=duration,
                       help="only traces saved longer ago than DURATION: a number and s, m, h, d or w (30m, 7d, 2w)")
    prune.add_argument("--source", metavar="PATTERN", help="only traces whose source, or test's node id, matches "
                       "the shell-style PATTERN ('tests/*', 'bench_?.py')")
    prune.add_argument("--passed", action="store_true", help="only the traces of tests that passed")
    prune.add_argument("--dry-run", action="store_true", help="list the traces that would be removed, remove none")
    prune.set_defaults(handler=prune_command, command_parser=prune)

    copy = commands.add_parser(
        "copy", help="copy stored traces to another database",
        description="Copy the traces of the database SRC, or only those named, into the database DST (each a "
        "SQLite file's path or a PostgreSQL URL), every part of each as it is stored. A trace that DST holds "
        "already is skipped, so that the databases of several runs merge into one.",
    )
    copy.add_argument("source", metavar="SRC", type=store.location.resolve, help="the database to copy from")
    copy.add_argument("destination", metavar="DST", type=store.location.resolve,
                      help="the database to copy into, made when missing")
    copy.add_argument("trace_ids", metavar="TRACE_ID", nargs="*", help=trace_id_help + " (default: every trace)")
    copy.set_defaults(handler=copy_command, command_parser=copy)
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
    except (store.TraceStoreError, trace_reader.TraceError, sqlite3.Error) as error:
        print(f"zelm: error: {error}", file=sys.stderr)
        return FAILURE
    except BrokenPipeError:
        if args.command == "run":
            raise
        # The reader of our output (`zelm show ... | head`) has gone: end as
        # the other commands of a pipeline do then, by SIGPIPE, which
        # shells do not report.
        _stop_as_by(signal.SIGPIPE)

