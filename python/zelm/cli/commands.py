"""The commands that read stored traces, `zelm list`, `zelm show`,
`zelm export` and `zelm view`, and `zelm import`, which stores the traces
written to fallback files; each a function of the parsed arguments that
returns the exit status; the error every command reports in one line; and
how every command writes its output.

None of this runs while the profiler is on: `zelm run` lives beside the
parser in zelm.cli.main.
"""

import argparse
import contextlib
import gzip
import json
import os
import sqlite3
import sys

import msgpack

from zelm import export, store
from zelm.cli import render
from zelm.cli.progress import Progress
from zelm.ids import trace_id_of
from zelm.profiler import DEFAULT_SQLITE_BUSY_TIMEOUT
from zelm.text import plural, size_text

# Exit statuses.
SUCCESS = 0
FAILURE = 1
BAD_USAGE = 2
INTERRUPTED = 130  # 128 + SIGINT, what a shell reports for Ctrl-C


class CommandError(Exception):
    """A one-line error of the command itself, with its exit status."""

    def __init__(self, message, status=FAILURE):
        super().__init__(message)
        self.status = status


def _write_out(write):
    """Run ``write`` (which writes to stdout) and flush stdout, so that a
    failing write is reported here: a full disk, a closed file or no stdout
    at all as a CommandError, stdout then silenced so that the
    interpreter's last flush fails no more. A closed pipe stays
    BrokenPipeError, which ends the command quietly."""
    if sys.stdout is None:  # started with its descriptor closed
        raise CommandError("cannot write the output: the standard output is closed")
    try:
        write()
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as error:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        raise CommandError(f"cannot write the output: {error.strerror or error}") from None


def _print_lines(lines):
    def write():
        for line in lines:
            print(line)

    _write_out(write)


def list_command(args):
    if not store.exists(args.db):
        stored, nothing = [], f"no traces yet: {args.db} does not exist"
    else:
        stored, nothing = store.list_traces(args.db), f"no traces in {args.db}"
    if stored and args.outcomes:
        stored = [entry for entry in stored if entry.test is not None and entry.test.get("outcome") in args.outcomes]
        nothing = f"no test traces with outcome {' or '.join(args.outcomes)} in {args.db}"
    if stored and args.traceparent:
        stored = [entry for entry in stored if _of_distributed_trace(entry.request, args.traceparent)]
        nothing = f"no traces of requests with trace id {args.traceparent} in {args.db}"
    stored = stored[:args.limit]
    if args.format == "json":
        # An empty list says there is nothing, whatever the reason.
        listed = json.dumps(render.listing_objects(stored), allow_nan=False)
        _print_lines([listed])
    else:
        _print_lines(render.listing_lines(stored) if stored else [nothing])
    return SUCCESS


def traceparent_trace_id(text):
    """argparse type: the trace id that a --traceparent value names."""
    trace_id = trace_id_of(text)
    if trace_id is None:
        raise argparse.ArgumentTypeError(f"expected a trace id (32 hex digits) or a traceparent header, not {text!r}")
    return trace_id


def _of_distributed_trace(request, trace_id):
    """Whether a listed request (its summary) arrived with ``trace_id``."""
    if request is None:
        return False
    return trace_id in (trace_id_of(request.get("traceparent")), request.get("otel_trace_id"))


def show_command(args):
    # The native reader's index loads only for the commands that read a trace.
    from zelm.view import walk

    walked = walk.open_trace(args.db, args.trace_id)
    trace, threads = walked.trace, walked.threads
    if args.thread is not None:
        threads = [thread for thread in threads if args.thread in (thread.name, str(thread.thread_id))]
        if not threads:
            names = ", ".join(f"{thread.name} ({thread.thread_id})" for thread in walked.threads) or "none"
            raise CommandError(f"no thread {args.thread!r} in trace {trace.trace_id}; its threads: {names}")
    # Traced values can hold any text; never fail on printing one.
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(errors="backslashreplace")
    stored = store.list_traces(args.db, trace_id=trace.trace_id)
    directories = [entry.working_directory for entry in reversed(stored) if entry.working_directory is not None]
    _print_lines(render.trace_lines(walked, threads, args.depth, directories[0] if directories else None))
    return SUCCESS


# An export that takes this many seconds shows that it is going on, on a terminal.
_EXPORT_PROGRESS_AFTER = 3.0


def export_command(args):
    # Never over the JSON text itself, written to the terminal.
    shown = args.output != "-" or not _is_terminal(sys.stdout)
    with Progress(f"exporting trace {args.trace_id} as {args.format}", _EXPORT_PROGRESS_AFTER, enabled=shown):
        wrote = _export(args)
    if wrote is not None:
        print(f"zelm: wrote {wrote}", file=sys.stderr)
    return SUCCESS


def _is_terminal(stream):
    try:
        return stream.isatty()
    except (AttributeError, ValueError):  # None, or closed
        return False


def _export(args):
    """Write the export; what was written to a file, said in a few words,
    or None for stdout."""
    if args.format == "html":
        return _export_html(args)
    what, chunks = _document_json(args) if args.format == "json" else _trace_json(args)
    if args.output == "-":
        _write_out(lambda: _write_json(chunks, sys.stdout))
        return None
    try:
        with _open_output(args.output) as output:
            _write_json(chunks, output)
    except OSError as error:
        raise CommandError(f"cannot write {args.output}: {error.strerror or error}") from None
    compressed = " gzip-compressed" if args.output.endswith(".gz") else ""
    return f"{what}{compressed} to {args.output}"


def _trace_json(args):
    """What the chrome or speedscope export writes, said in a few words
    once it is written, and its JSON text, made as it is written."""
    # The native reader's index loads only for the commands that read a trace.
    from zelm.export.chrome import ChromeTrace
    from zelm.export.speedscope import SpeedscopeFile
    from zelm.view import walk

    walked = walk.open_trace(args.db, args.trace_id)
    trace_id = walked.trace.trace_id
    if args.format == "chrome":
        exported = ChromeTrace(walked)
        what = _Said(lambda: f"{plural(exported.event_count, 'event')} of trace {trace_id}")
    else:
        exported = SpeedscopeFile(walked)
        what = f"{plural(exported.profile_count, 'thread profile')} of trace {trace_id}"
    chunks = exported.json_chunks()
    if not exported.times_placeable():
        # A time no time line places fails the export part way: before any
        # of it is written, as the whole text is made first.
        try:
            chunks = list(chunks)
        except export.NonFiniteTimeError as error:
            raise CommandError(str(error)) from None
    return what, chunks


class _Said:
    """Text told once the export is written (how many events it made)."""

    def __init__(self, tell):
        self._tell = tell

    def __str__(self):
        return self._tell()


def _document_json(args):
    """What the json export writes, said in a few words, and its text:
    the stored document, written as it is read."""
    from zelm.view import lazy

    trace_id, documents = lazy.load_documents(args.db, args.trace_id)
    named_id, chunks = export.document_json(documents, f"trace {trace_id} in {args.db}")
    return f"trace {named_id}", chunks


def _open_output(path):
    """``path`` opened to write JSON text: UTF-8, gzip-compressed for a name
    ending in .gz (which Perfetto and `gunzip` open as they are)."""
    if path.endswith(".gz"):
        return gzip.open(path, "wt", encoding="utf-8", compresslevel=6)
    return open(path, "w", encoding="utf-8")


def _write_json(chunks, stream):
    """Write JSON text to ``stream``, as UTF-8 bytes where the stream has
    them: JSON's own encoding, whatever the terminal's."""
    binary = getattr(stream, "buffer", None)
    if binary is None:
        stream.writelines(chunks)
        stream.write("\n")
        return
    stream.flush()
    for chunk in chunks:
        binary.write(chunk.encode("utf-8"))
    binary.write(b"\n")


def _export_html(args):
    # The viewer's modules load only for the format that needs them.
    from zelm.view import export as view_export

    if args.output == "-":
        raise CommandError("--format html writes a file: name it with -o FILE")
    if args.output.endswith(".gz"):
        raise CommandError("--format html writes a page that browsers open from disk, which they do not "
                           "gzip-compressed: name the file without .gz")
    try:
        trace_id, size = view_export.export_html(args.db, args.trace_id, args.output)
    except view_export.ExportTooLarge as error:
        raise CommandError(str(error)) from None
    except OSError as error:
        raise CommandError(f"cannot write {args.output}: {error.strerror or error}") from None
    return f"trace {trace_id} as a viewer page of {size_text(size)} to {args.output}"


def import_command(args):
    """Store the trace documents of fallback files (written where a trace
    could not be stored) in the database, all in one transaction, each with
    the working directory its ".cwd" file beside it names (unknown without
    one), then remove the files; on any failure nothing is stored or
    removed. A ".cwd" file named beside its trace's file (a glob took both)
    is read with it."""
    listed = set(args.files)
    files = [path for path in args.files
             if not (path.endswith(store.WORKING_DIRECTORY_SUFFIX)
                     and path[:-len(store.WORKING_DIRECTORY_SUFFIX)] in listed)]
    traces = []
    for path in files:
        try:
            with open(path, "rb") as file:
                document = file.read()
        except OSError as error:
            raise CommandError(f"cannot read {path}: {error.strerror or error}") from None
        trace_id = _trace_id_of(document)
        if trace_id is None:
            raise CommandError(f"{path} is not a trace document (a MessagePack map with a \"trace_id\" text)")
        traces.append((trace_id, document, store.read_working_directory(path)))
    try:
        store.save_traces_in_sqlite(args.db, traces, timeout=DEFAULT_SQLITE_BUSY_TIMEOUT, fallback=False)
    except (store.TraceStoreError, sqlite3.Error) as error:
        failure = store_failure(error)
        raise CommandError(f"cannot store the traces in {args.db}: {failure}; the files are kept") from None
    for path in files:
        try:
            os.remove(path)
        except OSError as error:
            raise CommandError(f"imported {plural(len(traces), 'trace')} into {args.db}, but cannot remove {path}: "
                               f"{error.strerror or error}") from None
        with contextlib.suppress(OSError):  # one left behind is replaced by the next file of that name
            os.remove(path + store.WORKING_DIRECTORY_SUFFIX)
    print(f"zelm: imported {plural(len(traces), 'trace')} into {args.db} and removed their files", file=sys.stderr)
    return SUCCESS


def store_failure(error):
    """What failed in the store (a TraceStoreError or sqlite3.Error), in one
    line without the database's name, for a line that gives it."""
    root = error.__cause__ if isinstance(error, store.TraceStoreError) and error.__cause__ else error
    return " ".join(str(root).split()) or type(root).__name__


def _trace_id_of(document):
    """The "trace_id" entry of a trace document, read without decoding the
    other entries; None when ``document`` is not a map holding one as text."""
    unpacker = msgpack.Unpacker(max_buffer_size=max(1, len(document)))
    unpacker.feed(document)
    try:
        for _ in range(unpacker.read_map_header()):
            if unpacker.unpack() == "trace_id":
                trace_id = unpacker.unpack()
                return trace_id if isinstance(trace_id, str) else None
            unpacker.skip()
    except Exception:
        return None
    return None


def view_command(args):
    from zelm import view

    try:
        return view.serve(args.db, args.trace_id, args.port, open_browser=not args.no_browser)
    except (OSError, OverflowError) as error:  # OverflowError: a port number out of range
        reason = getattr(error, "strerror", None) or error
        raise CommandError(f"cannot serve the viewer on 127.0.0.1:{args.port}: {reason}") from None
