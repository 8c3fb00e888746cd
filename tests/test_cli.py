"""The zelm command line end to end: every command in a subprocess
(`python -m zelm ...`, working directory a temporary directory), on the
shipped example and on programs written for the test."""

import json
import os
import re
import signal
import sqlite3
import subprocess
import sys
import textwrap
from pathlib import Path

import msgpack
import pytest
from conftest import (UNDER_ASAN, VARIED_TRACES, build_varied_database, pack_with_raw, python_environment, raw_slot,
                      run_python, start_python)

from zelm import export, store, trace
from zelm.profiler import Profiler

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "shop_app.py"
DEFAULT_DB = Path(".zelm") / "traces.sqlite3"
SAVED_LINE = re.compile(
    r"zelm: saved trace (trc_[0-9A-Z]{26}): (\d+) records \((\d+) frame, (?:(\d+) exception, )?(\d+) plugin\) "
    r"from (\d+) threads? in (.+)"
)

THREADED_PROGRAM = """\
import logging
import sys
import threading

logging.basicConfig(level=logging.INFO, format="%(message)s")
log = logging.getLogger("jobs")


def square(number):
    return number * number


def job(name, numbers):
    total = sum(square(number) for number in numbers)
    log.info("job %s: %d", name, total)
    return total


def main():
    workers = [
        threading.Thread(target=job, args=(f"w{index}", range(index + 2)), name=f"worker-{index}")
        for index in range(3)
    ]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    print("main total", job("main", [7]))


main()
"""


@pytest.fixture
def zelm(tmp_path):
    """zelm(*args) runs `python -m zelm *args` in tmp_path."""

    def run(*args, timeout=120):
        return run_python("-m", "zelm", *args, cwd=tmp_path, timeout=timeout)

    return run


def write(path, text):
    path.write_text(textwrap.dedent(text))
    return path


def saved_trace_id(result, db_path=DEFAULT_DB):
    """The trace id of zelm run's one summary line, checked against the
    database path it names."""
    last_line = result.stderr.splitlines()[-1]
    match = SAVED_LINE.fullmatch(last_line)
    assert match, result.stderr
    assert match.group(7) == str(db_path)
    return match.group(1)


def error_line(result):
    """The one line a failing command wrote, with no traceback of zelm's."""
    assert result.stderr.count("\n") == 1, result.stderr
    assert "Traceback" not in result.stderr
    assert result.stderr.startswith("zelm: error: ")
    return result.stderr.strip()


def calls_by_name(loaded):
    names = {}
    for thread in loaded.threads:
        for _, node in thread.walk():
            if isinstance(node, trace.Call):
                names.setdefault(node.name, []).append((thread, node))
    return names


def test_run_profiles_the_shipped_example(zelm, tmp_path):
    result = zelm("run", EXAMPLE)

    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["{'customer': 'ada', 'total': 1.12}", "{'customer': 'bob', 'total': 0.5}"]
    # The example's own log lines, then zelm's one line.
    *program_lines, saved_line = result.stderr.splitlines()
    assert program_lines == ["INFO shop: order for ada: 2 items", "INFO shop: order for bob: 1 items"]
    trace_id = saved_trace_id(result)
    records, frames, plugins, threads = map(int, SAVED_LINE.fullmatch(saved_line).group(2, 3, 5, 6))
    assert plugins == 2  # one log_message record per log line

    loaded = trace.load(tmp_path / DEFAULT_DB, trace_id)
    assert (loaded.record_count, loaded.frame_record_count, len(loaded.threads)) == (records, frames, threads)
    assert records == frames + plugins
    assert [thread.name for thread in loaded.threads] == ["MainThread", "stock-check", "stock-check"]
    assert loaded.source == str(EXAMPLE)
    assert loaded.command_line_args == [str(EXAMPLE)]
    names = calls_by_name(loaded)
    orders = names["shop.services.place_order"]
    assert [call.arguments["customer"] for _, call in orders] == ["ada", "bob"]
    assert all(thread.name == "MainThread" and call.finished for thread, call in orders)
    assert sorted(thread.name for thread, _ in names["shop.services.check_stock"]) == ["stock-check"] * 2
    (module_thread, module), = names["__main__.<module>"]
    assert module_thread.roots == [module]


def test_list_shows_the_stored_traces_newest_first(zelm, tmp_path):
    script = write(tmp_path / "hello.py", "print('hello')\n")
    first = saved_trace_id(zelm("run", script))
    second = saved_trace_id(zelm("run", "--source", "second run", script))

    result = zelm("list")

    assert result.returncode == 0, result.stderr
    header, *rows = result.stdout.splitlines()
    assert header.split() == ["TRACE", "ID", "SAVED", "SOURCE", "RECORDS", "SIZE"]
    assert [row.split()[0] for row in rows] == [second, first]
    assert re.fullmatch(rf"{second}  \d{{4}}-\d\d-\d\d \d\d:\d\d:\d\d  second run\s+2\s+\d+(\.\d)? (B|KiB)", rows[0])
    assert "hello.py" in rows[1]


def test_list_of_a_database_without_traces(zelm, tmp_path):
    store.save_trace_in_sqlite(str(tmp_path / "t.sqlite3"), "trc_x", timeout=5, msgpack=b"\xc0")
    with sqlite3.connect(tmp_path / "t.sqlite3") as connection:
        connection.execute("DELETE FROM traces")

    result = zelm("list", "--db", "t.sqlite3")

    assert (result.returncode, result.stdout) == (0, "no traces in t.sqlite3\n")


@pytest.mark.parametrize("extra", [[], ["--failed"]], ids=["all", "failed"])
def test_list_of_a_database_not_made_yet_says_there_are_no_traces_yet(zelm, tmp_path, extra):
    result = zelm("list", "--db", "absent.sqlite3", *extra)

    assert (result.returncode, result.stdout, result.stderr) == (0, "no traces yet: absent.sqlite3 does not exist\n", "")
    assert not (tmp_path / "absent.sqlite3").exists()


def test_version_is_printed(zelm):
    from zelm.version import __version__

    result = zelm("--version")

    assert (result.returncode, result.stdout) == (0, f"zelm {__version__}\n")


def test_show_draws_each_thread_as_an_indented_call_tree(zelm, tmp_path):
    trace_id = saved_trace_id(zelm("run", EXAMPLE))

    result = zelm("show", trace_id)

    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith(f"trace {trace_id}  source {EXAMPLE}  started ")
    assert lines[1:3] == [f"working directory: {tmp_path}", f"command line: {EXAMPLE}"]
    thread_lines = [line for line in lines if line.startswith("thread ")]
    assert [line.split(" (")[0] for line in thread_lines] == [
        "thread MainThread", "thread stock-check", "thread stock-check",
    ]

    def line_of(text):
        (line,) = [line for line in lines if text in line]
        return line, len(line) - len(line.lstrip())

    module, module_indent = line_of("__main__.<module>()")
    main, main_indent = line_of("__main__.main()")
    order, order_indent = line_of("place_order(customer='ada', wanted={'apple': 0.5, 'pear': 0.75, 'plum': 1.2})")
    total, total_indent = line_of("DiscountedOrder.final_total(")
    assert (main_indent, order_indent, total_indent) == (module_indent + 2, module_indent + 4, module_indent + 6)
    assert re.fullmatch(r"\s+\d+\.\d+ (us|ms|s)  __main__\.<module>\(\) -> None  \S*shop_app\.py:\d+", module)
    discounted_order = r"<shop\.models\.DiscountedOrder object at 0x[0-9a-f]+>"
    assert re.search(rf"\) -> {discounted_order}  \S+/shop/services\.py:16$", order)
    assert re.search(rf"\.final_total\(self={discounted_order}\) -> 1\.12  \S+/shop/models\.py:36$", total)
    assert "check_stock(names=['plum', 'apple'], results={}) -> None" in result.stdout


def square(number):
    return number * number


def test_show_and_exports_say_the_trace_was_cut(zelm, tmp_path):
    profiler = Profiler(config={"trace_budget_bytes": 1000}, db_path=str(tmp_path / "cut.sqlite3"))
    with profiler:
        [square(number) for number in range(100)]
    profiler.save()
    loaded = trace.load(tmp_path / "cut.sqlite3", trace.LATEST)
    [cut] = loaded.cuts

    shown = zelm("show", "--db", "cut.sqlite3", "latest")
    chrome = zelm("export", "--db", "cut.sqlite3", "latest")
    document = zelm("export", "--db", "cut.sqlite3", "latest", "--format", "json")

    assert shown.returncode == chrome.returncode == document.returncode == 0
    assert shown.stdout.splitlines()[1] == f"working directory: {os.getcwd()}"  # where the profiler saved it
    header = shown.stdout.splitlines()[3:5]
    assert header[0] == f"{loaded.record_count} records, 1 thread"
    assert re.fullmatch(
        rf"incomplete: cut at its size budget of 1000 B, {loaded.dropped_events} events dropped "
        rf"from [-\d: ]+ on: first the (call|return) of test_cli\.square \(\S*test_cli\.py:\d+\) in thread MainThread",
        header[1],
    )
    assert cut.dropped_events == loaded.dropped_events > 100
    # the tree says where, once
    [gap] = [line for line in shown.stdout.splitlines() if "dropped here" in line]
    assert re.fullmatch(rf"\s+\* … {cut.dropped_events} records dropped here by the size budget until [-\d: ]+ …", gap)
    [marker] = [e for e in json.loads(chrome.stdout)["traceEvents"] if e.get("cat") == "trace_cut"]
    assert marker["args"]["dropped_events"] == cut.dropped_events
    assert "trace_cut" in [record["type"] for record in json.loads(document.stdout)["frames_of_interest"]]


def test_run_summary_says_the_trace_was_cut(tmp_path):
    from zelm.cli.main import _saved_report, _store

    profiler = Profiler(config={"trace_budget_bytes": 1000}, db_path=str(tmp_path / "cut.sqlite3"))
    with profiler:
        [square(number) for number in range(100)]
    document = profiler.build_trace()
    assert _store(profiler, document, "cut.sqlite3") is None

    [line] = _saved_report(profiler, document, "cut.sqlite3")
    dropped = trace.load(tmp_path / "cut.sqlite3", profiler.trace_id).dropped_events
    assert SAVED_LINE.match(line) and dropped > 100
    assert line.endswith(
        f"in cut.sqlite3; cut at its size budget of 1000 B, {dropped} events dropped "
        "(raise the budget with --trace-budget SIZE)"
    )


def test_run_summary_counts_exception_records_apart(zelm, tmp_path):
    write(tmp_path / "prog.py", """\
        import logging

        def parse(text):
            raise ValueError("bad input")

        def load(text):
            return parse(text)

        for text in "xyz":
            try:
                load(text)
            except ValueError:
                logging.warning("bad %s", text)
        """)

    result = zelm("run", "prog.py")

    trace_id = saved_trace_id(result)
    records = trace.load(tmp_path / DEFAULT_DB, trace_id).threads[0].records
    kinds = [record["type"] for record in records]
    frames = kinds.count("frame")
    # parse and load left by raising, three times; a log record each time
    assert (kinds.count("exception"), len(kinds) - frames - kinds.count("exception")) == (6, 3)
    assert f": {len(kinds)} records ({frames} frame, 6 exception, 3 plugin) from 1 thread in " in result.stderr


def test_run_summary_counts_each_kind_of_record(tmp_path):
    from types import SimpleNamespace

    from zelm.cli.main import _saved_report, _store

    def frame(event, frame_id):
        return {"type": "frame", "event": event, "frame_id": frame_id, "co_name": "f", "timestamp": 1.0}

    records = [
        frame("call", "frm_a"), frame("return", "frm_a"), {"type": "exception", "frame_id": "frm_a"},
        # an exception record that follows no return of its frame
        {"type": "exception", "frame_id": "frm_gone"},
        {"type": "log_message", "timestamp": 1.0},
        {"type": "trace_cut", "dropped_events": 7, "budget_bytes": 1000},
    ]
    document = msgpack.packb({"frames": {}, "frames_of_interest": records, "main_thread_id": 1,
                              "meta": {"source": "s"}, "timestamp": 1.0})
    profiler = SimpleNamespace(db_path=str(tmp_path / "t.sqlite3"), trace_id="trc_counted", sqlite_busy_timeout=5)

    assert _store(profiler, document, "t.sqlite3") is None

    assert _saved_report(profiler, document, "t.sqlite3") == [
        "zelm: saved trace trc_counted: 5 records (2 frame, 2 exception, 1 plugin) from 1 thread in t.sqlite3; "
        "cut at its size budget of 1000 B, 7 events dropped (raise the budget with --trace-budget SIZE)"
    ]


def test_show_narrows_by_depth_and_thread(zelm):
    trace_id = saved_trace_id(zelm("run", EXAMPLE))

    shallow = zelm("show", trace_id, "--depth", "2", "--thread", "MainThread")
    workers = zelm("show", trace_id, "--thread", "stock-check", "--depth", "1")

    assert shallow.returncode == workers.returncode == 0
    main_tree = shallow.stdout.split("\nthread ")[1].splitlines()[1:]
    assert [line.strip().split("  ")[1].split("(")[0] for line in main_tree] == [
        "__main__.<module>", "shop.<module>", "shop.services.<module>", "__main__.main",
    ]
    assert main_tree[2].endswith("[+4 nested calls]")  # models and its three classes
    assert "stock-check" not in shallow.stdout.split("\n\n", 1)[1]
    worker_sections = workers.stdout.split("\nthread ")[1:]
    assert [section.splitlines()[0].split(" (")[0] for section in worker_sections] == ["stock-check"] * 2
    assert all(len(section.strip().splitlines()) == 2 for section in worker_sections)


def test_show_of_the_latest_trace_with_log_messages_in_place(zelm, tmp_path):
    write(tmp_path / "jobs.py", THREADED_PROGRAM)
    trace_id = saved_trace_id(zelm("run", "jobs.py"))

    result = zelm("show", "latest")

    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(f"trace {trace_id} ")
    sections = {section.splitlines()[0].split(" (")[0]: section for section in result.stdout.split("\nthread ")[1:]}
    assert set(sections) == {"MainThread", "worker-0", "worker-1", "worker-2"}
    worker = sections["worker-1"].splitlines()
    job_line = next(line for line in worker if "__main__.job(name='w1', numbers=range(0, 3))" in line)
    log_line = next(line for line in worker if "* log " in line)
    assert job_line.endswith("-> 5  jobs.py:13")
    assert log_line.strip() == "* log INFO jobs: job w1: 5  (jobs.py:15)"
    assert worker.index(log_line) > worker.index(job_line)
    assert len(log_line) - len(log_line.lstrip()) > len(job_line) - len(job_line.lstrip())


def nesting_problems(events):
    """Complete events of one thread that neither nest in nor follow the
    enclosing open event (times compared in whole nanoseconds)."""
    problems = []
    spans = sorted(
        (round(event["ts"] * 1000), round((event["ts"] + event["dur"]) * 1000), event["name"]) for event in events
    )
    spans.sort(key=lambda span: (span[0], -span[1]))
    open_spans = []
    for start, end, name in spans:
        while open_spans and open_spans[-1][1] <= start:
            open_spans.pop()
        if open_spans and end > open_spans[-1][1]:
            problems.append((name, open_spans[-1][2]))
        open_spans.append((start, end, name))
    return problems


@pytest.mark.parametrize("program", ["example", "threaded"])
def test_export_chrome_gives_well_formed_events_nesting_per_thread(zelm, tmp_path, program):
    script = EXAMPLE if program == "example" else write(tmp_path / "jobs.py", THREADED_PROGRAM)
    trace_id = saved_trace_id(zelm("run", script))

    result = zelm("export", trace_id, "--format", "chrome", "-o", "out.json")

    assert result.returncode == 0, result.stderr
    assert re.fullmatch(rf"zelm: wrote \d+ events of trace {trace_id} to out\.json\n", result.stderr)
    exported = json.loads((tmp_path / "out.json").read_text(), parse_constant=pytest.fail)
    events = exported["traceEvents"]
    assert exported["otherData"]["trace_id"] == trace_id
    thread_names = {event["tid"]: event["args"]["name"] for event in events if event["name"] == "thread_name"}
    complete = [event for event in events if event["ph"] == "X"]
    loaded = trace.load(tmp_path / DEFAULT_DB, trace_id)
    assert len(complete) == sum(1 for thread in loaded.threads for _, node in thread.walk() if isinstance(node, trace.Call))
    assert {event["pid"] for event in events} == {loaded.main_thread_id}
    for event in complete:
        assert set(event) == {"name", "cat", "ph", "pid", "tid", "ts", "dur", "args"}
        assert event["tid"] in thread_names
        assert event["ts"] >= 0 and event["dur"] >= 0
        assert {"location", "frame_id", "arguments", "return_value"} <= set(event["args"])
    by_thread = {}
    for event in complete:
        by_thread.setdefault(event["tid"], []).append(event)
    assert len(by_thread) == len(loaded.threads)
    for thread_events in by_thread.values():
        assert nesting_problems(thread_events) == []
    if program == "threaded":
        assert sorted(thread_names.values()) == ["MainThread", "worker-0", "worker-1", "worker-2"]
        logs = [event for event in events if event["ph"] == "i"]
        messages = sorted(event["args"]["message"] for event in logs)
        assert messages == ["job main: 49", "job w0: 1", "job w1: 5", "job w2: 14"]
        (square,) = [
            event for event in complete
            if event["name"] == "__main__.square" and event["args"]["arguments"] == {"number": 3}
        ]
        assert (square["args"]["return_value"], thread_names[square["tid"]]) == (9, "worker-2")


def test_export_json_writes_the_decoded_document(zelm, tmp_path):
    data_program = write(tmp_path / "data.py", "def echo(blob):\n    return blob\necho(b'\\x00\\x01')\n")
    trace_id = saved_trace_id(zelm("run", data_program))

    result = zelm("export", trace_id, "--format", "json")

    assert result.returncode == 0, result.stderr
    exported = json.loads(result.stdout, parse_constant=pytest.fail)
    stored = msgpack.unpackb(store.load_trace(tmp_path / DEFAULT_DB, trace_id), strict_map_key=False)
    assert set(exported) == set(stored)
    assert exported["trace_id"] == trace_id
    assert exported["meta"] == stored["meta"]
    echo_call, echo_return = [record for record in exported["frames_of_interest"] if record.get("co_name") == "echo"]
    assert echo_call["locals"] == {"blob": {"$repr": "b'\\x00\\x01'"}}
    assert echo_return["arg"] == {"$repr": "b'\\x00\\x01'"}


def test_run_gives_the_program_its_argv_main_and_path(zelm, tmp_path):
    (tmp_path / "app").mkdir()
    write(tmp_path / "app" / "helper.py", "def answer():\n    return 42\n")
    write(tmp_path / "app" / "prog.py", """\
        import sys
        import helper
        print(repr(sys.argv), __name__, sys.path[0], helper.answer())
    """)

    result = zelm("run", "--db", "t.sqlite3", "app/prog.py", "-x", "--db", "y")

    assert result.returncode == 0, result.stderr
    assert result.stdout == f"['app/prog.py', '-x', '--db', 'y'] __main__ {tmp_path / 'app'} 42\n"
    loaded = trace.load(tmp_path / "t.sqlite3", saved_trace_id(result, "t.sqlite3"))
    assert loaded.command_line_args == ["app/prog.py", "-x", "--db", "y"]
    assert calls_by_name(loaded)["helper.answer"][0][1].return_value == 42


WHERE_PROGRAM = """\
import os
import sys
print(__file__, sys.argv[0], sys.path[0])
os.chdir(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
print(open(__file__).read() == open(os.path.realpath(__file__)).read())
"""


@pytest.mark.parametrize("script", ["where.py", "sub/where.py", "./sub/../sub/where.py", "link.py"],
                         ids=["working-directory", "subdirectory", "dot-segments", "symlink"])
def test_run_gives_the_script_the_file_and_path_python_gives(zelm, tmp_path, script):
    (tmp_path / "sub").mkdir()
    write(tmp_path / "sub" / "where.py", WHERE_PROGRAM)
    write(tmp_path / "where.py", WHERE_PROGRAM)
    (tmp_path / "link.py").symlink_to(tmp_path / "sub" / "where.py")
    python = run_python(script, cwd=tmp_path)

    result = zelm("run", "--db", "t.sqlite3", script)

    assert python.returncode == 0, python.stderr
    # __file__ absolute (it still names the script after the chdir), argv[0] as typed.
    assert python.stdout.split()[:2] == [os.path.join(str(tmp_path), script), script]
    assert (result.returncode, result.stdout) == (0, python.stdout), result.stderr


@pytest.mark.parametrize("options, script, arguments", [
    ([], b"caf\xe9.py", [b"plain"]),
    ([], b"prog.py", [b"\xff", b"na\xefve", b"ok"]),
    ([b"--db", b"d\xe9.sqlite3"], b"prog.py", []),
], ids=["script-name", "arguments", "database-path"])
def test_run_takes_names_and_arguments_that_are_not_utf8(zelm, tmp_path, options, script, arguments):
    # Undecodable bytes reach Python as lone surrogates, and go back out as
    # the same bytes.
    options, argv = [os.fsdecode(option) for option in options], [os.fsdecode(arg) for arg in [script, *arguments]]
    write(tmp_path / argv[0], "import sys\nprint(ascii(sys.argv))\nsys.exit(3)\n")
    python = run_python(*argv, cwd=tmp_path)

    result = zelm("run", *options, *argv)

    assert (result.returncode, result.stdout) == (python.returncode, python.stdout) == (3, f"{ascii(argv)}\n")
    def escaped(text):  # as zelm records and prints such text
        return text.encode("utf-8", "backslashreplace").decode("utf-8")

    db_path = options[1] if options else str(DEFAULT_DB)
    loaded = trace.load(tmp_path / db_path, saved_trace_id(result, escaped(db_path)))
    recorded = [escaped(arg) for arg in argv]
    assert (loaded.command_line_args, loaded.source) == (recorded, recorded[0])
    show, listed = zelm("show", "latest", *options), zelm("list", *options)
    assert (show.returncode, listed.returncode) == (0, 0), show.stderr + listed.stderr
    assert f"command line: {' '.join(recorded)}" in show.stdout.splitlines()
    assert recorded[0] in listed.stdout


def test_run_module_like_python_dash_m(zelm, tmp_path):
    (tmp_path / "pkg").mkdir()
    write(tmp_path / "pkg" / "__init__.py", "")
    write(tmp_path / "pkg" / "tool.py", """\
        import sys
        def greet(name):
            return f"hi {name}"
        if __name__ == "__main__":
            print(sys.argv[0].endswith("tool.py"), sys.argv[1:], greet(sys.argv[1]))
    """)

    result = zelm("run", "-m", "pkg.tool", "ada", "--db", "x")

    assert result.returncode == 0, result.stderr
    assert result.stdout == "True ['ada', '--db', 'x'] hi ada\n"
    loaded = trace.load(tmp_path / DEFAULT_DB, saved_trace_id(result))
    assert loaded.source == "-m pkg.tool"
    # The module runs as __main__, so its functions are qualified by that name.
    assert [call.arguments for _, call in calls_by_name(loaded)["__main__.greet"]] == [{"name": "ada"}]


@pytest.mark.parametrize(
    "body, status, stderr_before_summary",
    [
        ("sys.exit(3)", 3, ""),
        ("sys.exit('bye')", 1, "bye\n"),
        ("sys.exit()", 0, ""),
        ("fail()", 1, "ValueError: boom\n"),
        # python ends by SIGINT on an uncaught KeyboardInterrupt, however raised
        ("raise KeyboardInterrupt", -signal.SIGINT, "KeyboardInterrupt\n"),
    ],
)
def test_run_keeps_the_program_exit_status_and_still_saves(zelm, tmp_path, body, status, stderr_before_summary):
    write(tmp_path / "prog.py", f"import sys\ndef fail():\n    raise ValueError('boom')\nprint('started')\n{body}\n")

    result = zelm("run", "prog.py")

    assert result.returncode == status
    assert result.stdout == "started\n"
    *before, _ = result.stderr.splitlines(keepends=True)
    assert "".join(before).endswith(stderr_before_summary)
    if "Traceback" in result.stderr:
        # The traceback starts at the program, named as python names it: none of zelm's or runpy's frames.
        assert before[:2] == ["Traceback (most recent call last):\n",
                              f'  File "{tmp_path / "prog.py"}", line 5, in <module>\n']
        assert "zelm" not in "".join(before) and "runpy" not in "".join(before)
    loaded = trace.load(tmp_path / DEFAULT_DB, saved_trace_id(result))
    (module,) = loaded.threads[0].roots
    assert module.name == "__main__.<module>" and module.finished
    if body == "fail()":
        (fail,) = module.calls()
        assert (fail.name, fail.finished, fail.return_value) == ("__main__.fail", True, None)


def test_run_options_reach_the_profiler(zelm, tmp_path):
    write(tmp_path / "noisy_helpers.py", "def noise():\n    return 1\n")
    write(tmp_path / "prog.py", """\
        import json
        import threading
        import noisy_helpers

        def shout(text):
            return text.upper()

        shout("x" * 300)
        noisy_helpers.noise()
        json.dumps({"a": 1}, indent=1)
        worker = threading.Thread(target=shout, args=("y",))
        worker.start()
        worker.join()
    """)

    plain = zelm("run", "--db", "plain.sqlite3", "prog.py")
    tuned = zelm(
        "run", "--db", "tuned.sqlite3", "--ignore", "noisy_", "--include", "json/encoder.py",
        "--no-threading", "--lightweight-repr", "--source", "tuned", "prog.py",
    )

    assert plain.returncode == tuned.returncode == 0
    plain_trace = trace.load(tmp_path / "plain.sqlite3", saved_trace_id(plain, "plain.sqlite3"))
    tuned_trace = trace.load(tmp_path / "tuned.sqlite3", saved_trace_id(tuned, "tuned.sqlite3"))
    plain_calls, tuned_calls = calls_by_name(plain_trace), calls_by_name(tuned_trace)
    assert "noisy_helpers.noise" in plain_calls and "noisy_helpers.noise" not in tuned_calls
    assert not any("json/encoder.py" in call.location for calls in plain_calls.values() for _, call in calls)
    assert any("json/encoder.py" in call.location for calls in tuned_calls.values() for _, call in calls)
    assert len(plain_calls["__main__.shout"]) == 2 and len(tuned_calls["__main__.shout"]) == 1
    assert len(plain_trace.threads) == 2 and len(tuned_trace.threads) == 1
    (_, plain_shout), (_, tuned_shout) = plain_calls["__main__.shout"][0], tuned_calls["__main__.shout"][0]
    assert plain_shout.arguments == {"text": "x" * 300}
    assert tuned_shout.arguments == {"text": "x" * 100 + "…"}
    assert (plain_trace.source, tuned_trace.source) == ("prog.py", "tuned")


@pytest.fixture
def broken_stores(tmp_path):
    """A database with a good trace and a stored document that does not
    decode, a file that is no database, and a directory without
    __main__.py."""
    good = tmp_path / "good.sqlite3"
    store.save_trace_in_sqlite(str(good), "trc_good", timeout=5, msgpack=msgpack.packb({"frames_of_interest": [], "frames": {}}))
    store.save_trace_in_sqlite(str(good), "trc_garbled", timeout=5, msgpack=b"\xc1\xc1")
    (tmp_path / "corrupt.sqlite3").write_bytes(b"this is not an sqlite database, not at all" * 50)
    (tmp_path / "empty_dir").mkdir()
    written = msgpack.packb({"trace_id": "trc_x", "frames_of_interest": [], "frames": {}})
    (tmp_path / "written.msgpack").write_bytes(written)


UNREADABLE = "zelm: error: cannot read trace database"
NOT_A_DATABASE = "file is not a database"
GARBLED = "does not decode as MessagePack"


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["run", "missing.py"], 2, "zelm: error: cannot run script 'missing.py': no such file"),
        (["run", "-m", "no_such_module_here"], 1, "zelm: error: No module named no_such_module_here"),
        (["run", "empty_dir"], 1, "zelm: error: can't find '__main__' module in 'empty_dir'"),
        (["show", "latest", "--db", "absent.sqlite3"], 1, f"{UNREADABLE} absent.sqlite3: no such file"),
        (["list", "--db", "corrupt.sqlite3"], 1, f"{UNREADABLE} corrupt.sqlite3: {NOT_A_DATABASE}"),
        (["show", "trc_good", "--db", "corrupt.sqlite3"], 1, f"{UNREADABLE} corrupt.sqlite3: {NOT_A_DATABASE}"),
        (["show", "trc_nope", "--db", "good.sqlite3"], 1, "zelm: error: no trace trc_nope in good.sqlite3"),
        (["export", "trc_nope", "--db", "good.sqlite3"], 1, "zelm: error: no trace trc_nope in good.sqlite3"),
        (["show", "trc_garbled", "--db", "good.sqlite3"], 1, f"zelm: error: trace trc_garbled in good.sqlite3 {GARBLED}"),
        (["export", "trc_garbled", "--db", "good.sqlite3", "--format", "json"], 1,
         f"zelm: error: trace trc_garbled in good.sqlite3 {GARBLED}"),
        (["show", "trc_good", "--db", "good.sqlite3", "--thread", "nope"], 1, "zelm: error: no thread 'nope' in trace"),
        (["export", "trc_good", "--db", "good.sqlite3", "-o", "no/such/dir/x.json"], 1,
         "zelm: error: cannot write no/such/dir/x.json: No such file or directory"),
        (["import", "--db", "good.sqlite3", "absent.msgpack"], 1,
         "zelm: error: cannot read absent.msgpack: No such file or directory$"),
        (["import", "--db", "good.sqlite3", "written.msgpack", "corrupt.sqlite3"], 1,
         r'zelm: error: corrupt.sqlite3 is not a trace document \(a MessagePack map with a "trace_id" text\)$'),
        (["import", "--db", "corrupt.sqlite3", "written.msgpack"], 1,
         f"zelm: error: cannot store the traces in corrupt.sqlite3: {NOT_A_DATABASE}; the files are kept$"),
        # The program's own status is kept, and the trace goes to a file instead.
        (["run", "--db", "corrupt.sqlite3", "-m", "this"], 0,
         rf"zelm: error: cannot store trace (trc_\w{{26}}) in corrupt\.sqlite3: {NOT_A_DATABASE}; "
         rf"the trace was written to /\S+/corrupt\.sqlite3\.\1\.msgpack instead$"),
    ],
)
def test_bad_input_is_a_one_line_error_naming_it(zelm, broken_stores, args, status, message):
    result = zelm(*args)

    assert result.returncode == status
    assert re.match(message, error_line(result))
    if args[0] != "run":
        assert result.stdout == ""


def store_with_a_crafted_row(db_path, column=None, value=None, timestamps=None):
    """A database holding trc_good and trc_bad, one call each; trc_bad's
    row has ``value`` in ``column`` (the table rebuilt without its
    constraints, as another program could write it), or its document has
    the document and record ``timestamps`` given."""
    from test_trace_reader import call, document, ret

    for trace_id, times in (("trc_good", None), ("trc_bad", timestamps)):
        start, first, last = times or (1.0, 1.0, 2.0)
        doc = document([call("f", "f1", first), ret("f", "f1", last)], timestamp=start, trace_id=trace_id)
        store.save_trace_in_sqlite(db_path, trace_id, timeout=5, msgpack=msgpack.packb(doc))
    if column is not None:
        with sqlite3.connect(db_path) as connection:
            connection.execute("CREATE TABLE loose AS SELECT * FROM traces")
            connection.execute("DROP TABLE traces")
            connection.execute("ALTER TABLE loose RENAME TO traces")
            connection.execute(f"UPDATE traces SET {column} = ? WHERE trace_id = 'trc_bad'", (value,))


DAMAGED = "cannot read trace database {db}: a stored trace "
NOT_FINITE = "trace trc_bad holds a time that is not a finite number"
ALL = ("show", "chrome", "speedscope", "json")


@pytest.mark.parametrize("crafted, failing, error", [
    ({"column": "size_bytes", "value": 2**62}, ALL, DAMAGED + "is damaged: its row says 4611686018427387904 bytes"),
    ({"column": "size_bytes", "value": -5}, ALL, DAMAGED + "has no valid size (-5)"),
    ({"column": "size_bytes", "value": "big"}, ALL, DAMAGED + "has no valid size ('big')"),
    ({"column": "msgpack", "value": "not bytes"}, ALL, DAMAGED + "is text, not bytes"),
    ({"column": "msgpack", "value": None}, ALL, DAMAGED + "is missing"),
    ({"column": "saved_at", "value": "yesterday"}, (), None),
    ({"column": "saved_at", "value": 1e300}, (), None),
    ({"column": "test", "value": '{"nodeid": 5, "outcome": [1]}'}, (), None),
    ({"column": "test", "value": "[1, 2]"}, (), None),
    ({"column": "record_count", "value": "many"}, (), None),
    ({"timestamps": (float("nan"), 1.0, 2.0)}, ("chrome", "speedscope"), NOT_FINITE),
    ({"timestamps": (float("inf"), 1.0, 2.0)}, (), None),
    ({"timestamps": (1.0, float("nan"), 2.0)}, (), None),
    ({"timestamps": (1.0, float("-inf"), 2.0)}, ("chrome", "speedscope"), NOT_FINITE),
    ({"timestamps": (1.0, 1.0, float("inf"))}, ("chrome", "speedscope"), NOT_FINITE),
], ids=["size-huge", "size-negative", "size-text", "msgpack-text", "msgpack-null", "saved_at-text",
        "saved_at-far", "test-odd", "test-list", "records-text", "start-nan", "start-inf", "call-nan", "call-inf",
        "return-inf"])
def test_crafted_rows_are_one_line_errors_and_the_other_traces_still_read(tmp_path, capsys, crafted, failing, error):
    from zelm.cli.main import main
    from zelm.view import facts

    db_path = str(tmp_path / "crafted.sqlite3")
    store_with_a_crafted_row(db_path, **crafted)

    def zelm(*args):
        status = main([*args, "--db", db_path])
        return status, *capsys.readouterr()

    status, listed, errors = zelm("list")
    assert (status, errors) == (0, "")
    assert [line.split()[0] for line in listed.splitlines()] == ["TRACE", "trc_bad", "trc_good"]
    # The viewer's list as well, as JSON the page reads.
    json.dumps(facts.listing(db_path), allow_nan=False)

    commands = (["show"], ["export", "--format", "chrome"], ["export", "--format", "speedscope"],
                ["export", "--format", "json"])
    for name, command in zip(ALL, commands):
        status, out, errors = zelm(command[0], "trc_bad", *command[1:])
        if name in failing:
            assert (status, out) == (1, "")
            assert errors.startswith("zelm: error: " + error.format(db=db_path)) and errors.count("\n") == 1, errors
        else:
            assert (status, errors) == (0, "")
            if command[0] == "export":
                json.loads(out, parse_constant=lambda name: pytest.fail(f"{name} in the export"))
        status, out, errors = zelm(command[0], "trc_good", *command[1:])
        assert (status, errors) == (0, "") and "trc_good" in out


@pytest.mark.parametrize("command", [["list"], ["show", "latest"], ["export", "latest"]])
def test_output_to_a_full_disk_is_a_one_line_error(tmp_path, command):
    store_with_a_crafted_row(str(tmp_path / "traces.sqlite3"))
    with open("/dev/full", "w") as full:
        result = subprocess.run([sys.executable, "-m", "zelm", *command, "--db", "traces.sqlite3"], cwd=tmp_path,
                                env=python_environment(), stdout=full, stderr=subprocess.PIPE, text=True, timeout=60)

    assert result.returncode == 1
    assert error_line(result) == "zelm: error: cannot write the output: No space left on device"


@pytest.mark.parametrize(
    "args",
    [[], ["frob"], ["show"], ["export", "latest", "--format", "svg"], ["show", "latest", "--depth", "0"],
     ["list", "--bogus"], ["run"], ["run", "-m"], ["list", "--limit", "0"], ["list", "--format", "xml"], ["delete"],
     ["prune"], ["prune", "--dry-run"], ["prune", "--older-than", "7"], ["prune", "--older-than", "2 months"],
     ["prune", "--keep", "-1"]],
)
def test_bad_usage_exits_2(zelm, args):
    result = zelm(*args)

    assert result.returncode == 2
    assert "usage: zelm" in result.stderr
    assert "Traceback" not in result.stderr


@pytest.mark.parametrize("command", [[], ["run"], ["list"], ["show"], ["export"], ["delete"], ["prune"]])
def test_every_command_has_help(zelm, command):
    result = zelm(*command, "--help")

    assert result.returncode == 0
    assert result.stdout.startswith("usage: zelm")
    assert "--db PATH" in result.stdout or not command


def test_show_output_cut_short_by_the_reader_is_quiet(zelm, tmp_path):
    # `zelm show ... | head -1`: the pipe closes early. The tree is far longer
    # than a pipe's buffer, so show is still writing when it closes.
    write(tmp_path / "many.py", "def tick(number):\n    return number\nfor number in range(5000):\n    tick(number)\n")
    assert zelm("run", "many.py").returncode == 0
    show = start_python("-m", "zelm", "show", "latest", cwd=tmp_path)
    show.stdout.readline()
    show.stdout.close()
    stderr = show.stderr.read()
    show.wait(timeout=60)
    show.stderr.close()

    # As the other commands of a pipeline end then: by SIGPIPE, which shells do not report.
    assert (show.returncode, stderr) == (-signal.SIGPIPE, "")


def test_show_and_export_an_old_trace_with_records_no_reader_loads(zelm, tmp_path):
    write(tmp_path / "prog.py", "def greet(name):\n    return 'hi ' + name\ngreet('ada')\n")
    [stored] = store.load_trace_documents(tmp_path / DEFAULT_DB, saved_trace_id(zelm("run", "prog.py")))
    # Edited into what traces recorded before values were checked could hold.
    doc = msgpack.unpackb(stored, strict_map_key=False)
    records = doc["frames_of_interest"]
    greet = next(index for index, record in enumerate(records) if record.get("co_name") == "greet")
    records[greet]["locals"] = raw_slot(0)
    records[greet + 1:greet + 1] = [raw_slot(1), "plugin data serialised whole"]
    store.save_trace_in_sqlite(tmp_path / DEFAULT_DB, "trc_old", timeout=5,
                            msgpack=pack_with_raw(doc, b"\x81\xa4name\xa2\xc3\x28", b"\x91" * 2000 + b"\xc0"))

    show, export, listed = zelm("show", "trc_old"), zelm("export", "trc_old", "--format", "json"), zelm("list")

    assert (show.returncode, export.returncode, listed.returncode) == (0, 0, 0), show.stderr + export.stderr
    greet_line, undecodable_line, untyped_line = show.stdout.splitlines()[-3:]
    assert "__main__.greet(<undecodable value: UnicodeDecodeError: " in greet_line
    assert undecodable_line.strip() == "* [undecodable record of 2001 bytes: StackError]"
    assert untyped_line.strip() == "* plugin record plugin data serialised whole"
    exported = json.loads(export.stdout)["frames_of_interest"][greet:greet + 3]
    assert exported[0]["locals"]["$repr"].startswith("<undecodable value: ")
    assert exported[1:] == [{"type": trace.UNDECODABLE_RECORD, "error": "StackError", "size": 2001},
                            "plugin data serialised whole"]


def test_show_places_http_requests_and_test_markers(zelm, tmp_path):
    write(tmp_path / "test_fetch.py", """\
        import http.server
        import threading
        import urllib.request


        class Hello(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.end_headers()
                self.wfile.write(b"hello")

            def log_message(self, *args):
                pass


        def fetch(url):
            with urllib.request.urlopen(url) as response:
                return response.read()


        def test_fetch():
            server = http.server.HTTPServer(("127.0.0.1", 0), Hello)
            threading.Thread(target=server.handle_request, name="server").start()
            assert fetch(f"http://127.0.0.1:{server.server_port}/hello") == b"hello"
            server.server_close()
    """)

    run = zelm("run", "-m", "pytest", "-q", "-p", "no:cacheprovider", "test_fetch.py")
    result = zelm("show", saved_trace_id(run), "--thread", "MainThread")

    assert run.returncode == 0, run.stdout + run.stderr
    tree_lines = result.stdout.split("\nthread MainThread")[1].split("\n\n")[0].splitlines()[1:]
    first = next(index for index, line in enumerate(tree_lines) if "* start test" in line)
    lines = tree_lines[first:]
    shape = [(len(line) - len(line.lstrip()), re.sub(r"^\S+ \S+  |:\d+| in [\d.]+ [um]?s$", "", line.strip()))
             for line in lines]
    assert [text for _, text in shape] == [
        "* start test test_fetch.py::test_fetch",
        "test_fetch.test_fetch() -> None  test_fetch.py",
        "test_fetch.fetch(url='http://127.0.0.1/hello') -> b'hello'  test_fetch.py",
        "* HTTP request GET http://127.0.0.1/hello",
        "* HTTP response 200 OK to GET http://127.0.0.1/hello",
        "* end test test_fetch.py::test_fetch: passed",
    ]
    indents = [indent for indent, _ in shape]
    assert indents[0] == indents[1] == indents[5] < indents[2] < indents[3] == indents[4]


def test_show_and_export_say_which_calls_raised_and_with_what(zelm, tmp_path):
    write(tmp_path / "prog.py", """\
        def parse(text):
            raise ValueError("bad input")

        def load(text):
            return parse(text)

        def main():
            try:
                load("x")
            except ValueError:
                return "recovered"

        main()
        """)
    trace_id = saved_trace_id(zelm("run", "prog.py"))

    shown = zelm("show", trace_id)
    chrome = json.loads(zelm("export", trace_id, "--format", "chrome").stdout)

    assert shown.returncode == 0, shown.stderr
    lines = {line.split()[2].split("(")[0]: line for line in shown.stdout.splitlines() if "__main__." in line}
    assert "__main__.parse(text='x') raised ValueError('bad input')  prog.py:1" in lines["__main__.parse"]
    assert "__main__.load(text='x') raised ValueError('bad input')  prog.py:4" in lines["__main__.load"]
    assert "__main__.main() -> 'recovered'  prog.py:" in lines["__main__.main"]
    assert "->" not in lines["__main__.parse"] + lines["__main__.load"]
    args = {event["name"]: event["args"] for event in chrome["traceEvents"] if event.get("cat") == "call"}
    assert args["__main__.parse"]["raised"] == args["__main__.load"]["raised"] == "ValueError('bad input')"
    assert args["__main__.main"]["return_value"] == "recovered"


@pytest.fixture
def started_configs(monkeypatch):
    """The config of every Profiler started from now on."""
    from zelm.profiler import Profiler

    configs = []
    real_start = Profiler.start

    def start(profiler):
        configs.append(profiler.config)
        real_start(profiler)

    monkeypatch.setattr(Profiler, "start", start)
    return configs


MiB = 1024 * 1024


@pytest.mark.parametrize("options, expected", [
    ([], {"trace_budget_bytes": 256 * MiB, "value_limits": {}, "lightweight_repr": False, "scrub_keys": None}),
    (["--scrub-keys", "ssn, pin,,"], {"scrub_keys": ["ssn", "pin"]}),
    (["--scrub-keys", ""], {"scrub_keys": []}),
    (["--scrub-keys", "ssn", "--no-scrub"], {"scrub_keys": []}),
    (["--trace-budget", "64MiB"], {"trace_budget_bytes": 64 * MiB}),
    (["--trace-budget", "none"], {"trace_budget_bytes": None}),
    (["--trace-budget", "0"], {"trace_budget_bytes": None}),
    (["--trace-budget", "2GB"], {"trace_budget_bytes": 2 * 10**9}),
    (["--max-text", "10", "--max-items", "3", "--max-depth", "2", "--max-value-bytes", "1KiB"],
     {"value_limits": {"max_text": 10, "max_items": 3, "max_depth": 2, "max_value_bytes": 1024}}),
    (["--lightweight-repr", "--max-value-bytes", "none"], {"lightweight_repr": True, "value_limits": {"max_value_bytes": None}}),
    (["--include", "frag", "--include-package", "json", "--ignore", "noise"],
     {"filters": {"include_frames": ["frag", os.path.join(os.path.dirname(json.__file__), "")], "ignore_frames": ["noise"]}}),
], ids=lambda value: " ".join(value) if isinstance(value, list) else None)
def test_run_options_reach_the_profiler_config(tmp_path, monkeypatch, capsys, started_configs, options, expected):
    from zelm.cli.main import main

    monkeypatch.chdir(tmp_path)
    write(tmp_path / "prog.py", "print('ran')\n")

    assert main(["run", "--db", "t.sqlite3", *options, "prog.py"]) == 0

    (config,) = started_configs
    assert {key: config[key] for key in expected} == expected
    assert "ran" in capsys.readouterr().out


@pytest.mark.parametrize("options, message", [
    (["--trace-budget", "lots"], "argument --trace-budget: expected a size such as 64MiB, 500KB, 1000000 or none, not 'lots'"),
    (["--max-value-bytes", "-5"], "argument --max-value-bytes: expected a size such as"),
    (["--max-items", "0"], "argument --max-items: expected a whole number of at least 1, not '0'"),
])
def test_bad_recording_options_are_usage_errors(zelm, tmp_path, options, message):
    write(tmp_path / "prog.py", "pass\n")

    result = zelm("run", *options, "prog.py")

    assert result.returncode == 2
    assert message in result.stderr and "usage: zelm run" in result.stderr


@pytest.mark.parametrize("options, message", [
    (["--include-package", "no_such_package_zz"], "no installed package 'no_such_package_zz'"),
    (["--max-depth", "500"], "value limit max_depth must be at most 100, not 500"),
    (["--scrub-keys", "ssn,_"], "the scrub key '_' has no letter or digit, and would match every key"),
])
def test_recording_options_the_profiler_refuses_are_clear_errors(zelm, tmp_path, options, message):
    write(tmp_path / "prog.py", "pass\n")

    result = zelm("run", *options, "prog.py")

    assert result.returncode == 2
    assert error_line(result) == f"zelm: error: {message}"


def test_a_run_recording_nothing_says_why_and_how_to_record(zelm, tmp_path):
    silent = zelm("run", "-m", "this")
    included = zelm("run", "--include-package", "this", "-m", "this")

    assert silent.returncode == included.returncode == 0
    hint, summary = silent.stderr.splitlines()[-2:]
    assert hint.startswith("zelm: no frame was recorded: the standard library, installed packages")
    assert "--include-package this, --include-package NAME or --include PATH_FRAGMENT" in hint
    assert "(0 frame," in summary
    loaded = trace.load(tmp_path / DEFAULT_DB, saved_trace_id(included))
    (root,) = loaded.threads[0].roots
    assert root.name == "__main__.<module>" and "this.py" in root.location
    assert "no frame was recorded" not in included.stderr


def test_list_marks_traces_cut_by_their_budget(zelm, tmp_path):
    def document(*records):
        return msgpack.packb({"frames": {}, "frames_of_interest": [{"type": "frame"}, *records], "meta": {"source": "s"}})

    store.save_trace_in_sqlite(str(tmp_path / "t.sqlite3"), "trc_whole", timeout=5, msgpack=document())
    store.save_trace_in_sqlite(str(tmp_path / "t.sqlite3"), "trc_cut", timeout=5,
                            msgpack=document({"type": "trace_cut", "dropped_events": 1234}))

    result = zelm("list", "--db", "t.sqlite3")

    header, cut, whole = result.stdout.splitlines()
    assert header.split()[-1] == "CUT"
    assert cut.startswith("trc_cut") and cut.endswith("CUT, 1234 events dropped")
    assert whole.startswith("trc_whole") and whole.endswith("B")


STOPPABLE_PROGRAM = """\
import time


def tick(number):
    return number + 1


def main():
    number = 0
    try:
        while True:
            number = tick(number)
            if number == 1:
                print("ready", flush=True)
            time.sleep(0.005)
    finally:
        print("cleanup ran", flush=True)


main()
"""


def stop_with_signals(tmp_path, program, signum, times=1):
    """Runs ``program`` under `zelm run`, and sends it ``signum`` each time
    it prints a line, ``times`` times; returns (status, stdout, stderr)."""
    write(tmp_path / "prog.py", program)
    process = start_python("-m", "zelm", "run", "prog.py", cwd=tmp_path)
    lines = []
    try:
        for _ in range(times):
            lines.append(process.stdout.readline())
            process.send_signal(signum)
        stdout, stderr = process.communicate(timeout=60)
    finally:
        process.kill()
        process.wait()
    return process.returncode, "".join(lines) + stdout, stderr


@pytest.mark.parametrize("signal_name", ["SIGTERM", "SIGHUP", "SIGINT"])
def test_a_program_stopped_by_a_signal_has_its_trace_saved(tmp_path, signal_name):
    signum = getattr(signal, signal_name)
    status, stdout, stderr = stop_with_signals(tmp_path, STOPPABLE_PROGRAM, signum)

    assert status == -signum
    assert stdout == "ready\ncleanup ran\n"
    # Ctrl-C shows the program's KeyboardInterrupt, as python shows it.
    assert ("Traceback" in stderr) == (signum == signal.SIGINT)
    loaded = trace.load(tmp_path / DEFAULT_DB, saved_trace_id(subprocess.CompletedProcess([], 0, stdout, stderr)))
    names = calls_by_name(loaded)
    assert len(names["__main__.tick"]) >= 1
    (_, main_call), = names["__main__.main"]
    assert main_call.finished


def test_a_program_that_takes_the_first_stop_signal_ends_at_the_second(tmp_path):
    program = """\
        import time

        try:
            print("running", flush=True)
            while True:
                time.sleep(0.01)
        except BaseException:
            print("kept running", flush=True)
        while True:
            time.sleep(0.01)
    """
    status, stdout, stderr = stop_with_signals(tmp_path, textwrap.dedent(program), signal.SIGTERM, times=2)

    assert status == -signal.SIGTERM
    assert stdout == "running\nkept running\n"
    saved_trace_id(subprocess.CompletedProcess([], 0, stdout, stderr))



# The program slows down one step of zelm's own work on its trace, saying
# when that step starts.
SLOWED_SAVE_PROGRAM = """\
import time
import {module} as slowed

real_step = slowed.{attribute}


def slow_step(*args, **kwargs):
    print("{step}", flush=True)
    time.sleep(0.5)
    return real_step(*args, **kwargs)


def tick(number):
    return number + 1


slowed.{attribute} = slow_step
for number in range(500):
    tick(number)
print("ready", flush=True)
while True:
    time.sleep(0.01)
"""


@pytest.mark.parametrize("module, attribute, step", [
    ("zelm.profiler", "Profiler.build_trace", "building"),
    ("zelm.store", "save_trace_in_sqlite", "saving"),
])
def test_a_second_ctrl_c_waits_for_the_trace_to_be_saved(tmp_path, module, attribute, step):
    program = SLOWED_SAVE_PROGRAM.format(module=module, attribute=attribute, step=step)
    status, stdout, stderr = stop_with_signals(tmp_path, program, signal.SIGINT, times=2)

    assert status == -signal.SIGINT
    assert stdout == f"ready\n{step}\n"
    assert stderr.count("Traceback") == 1, stderr  # the program's KeyboardInterrupt alone
    loaded = trace.load(tmp_path / DEFAULT_DB, saved_trace_id(subprocess.CompletedProcess([], 0, stdout, stderr)))
    assert len(calls_by_name(loaded)["__main__.tick"]) == 500


ENDINGS = {
    # The program takes its output streams away before it ends.
    "streams set to None, then raises": ("sys.stdout = sys.stderr = None\nraise ValueError('boom')", True),
    "descriptors 1 and 2 closed, then raises": ("os.close(1)\nos.close(2)\nraise ValueError('boom')", True),
    "descriptors 1 and 2 closed, then exits 3": ("os.close(1)\nos.close(2)\nsys.exit(3)", True),
    "streams closed, then exits 3": ("sys.stdout.close()\nsys.stderr.close()\nsys.exit(3)", True),
    "stderr set to None, then exits with a text": ("sys.stderr = None\nsys.exit('bye')", True),
    # The interpreter's own leftovers on stderr differ by version here
    # (3.12 on), so only the status is compared.
    "exit with a code whose __str__ raises": (
        "class Unprintable:\n    def __str__(self):\n        raise RuntimeError('no text')\nsys.exit(Unprintable())",
        False),
    "exit with an int beyond a C long": ("sys.exit(2**70)", False),
}


@pytest.mark.parametrize("ending, same_stderr", ENDINGS.values(), ids=ENDINGS.keys())
def test_run_ends_as_python_does_and_saves_first(zelm, tmp_path, ending, same_stderr):
    write(tmp_path / "prog.py", f"import os, sys\ndef work():\n    return 1\nwork()\nprint('started')\n{ending}\n")

    by_python = run_python("prog.py", cwd=tmp_path)
    result = zelm("run", "prog.py")

    assert result.returncode == by_python.returncode
    assert result.stdout == by_python.stdout
    before_summary = "".join(line for line in result.stderr.splitlines(keepends=True)
                             if not line.startswith("zelm: saved trace "))
    assert "SystemError" not in before_summary and "zelm" not in before_summary, result.stderr
    if same_stderr:
        assert before_summary == by_python.stderr
    (stored,) = store.list_traces(tmp_path / DEFAULT_DB)
    assert len(calls_by_name(trace.load(tmp_path / DEFAULT_DB, stored.trace_id))["__main__.work"]) == 1



# 500 calls, then the program's address space is capped a little above what
# it uses and it fills it until a MemoryError ends it.
MEMORY_EXHAUSTION_PROGRAM = """\
import os, resource


def tick(number):
    return number + 1


def grow(kept):
    while True:
        kept.append(" " * 10_000 + str(len(kept)))


for number in range(500):
    tick(number)
with open("/proc/self/statm") as statm:
    used = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
resource.setrlimit(resource.RLIMIT_AS, (used + 256 * 2**20, resource.RLIM_INFINITY))
{grow}
"""


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer needs far more address space than it is given here")
@pytest.mark.parametrize("grow", ["grow([])", "held = []\ngrow(held)"], ids=["in a local", "in a global"])
def test_a_program_dying_of_memory_exhaustion_has_its_trace_saved(zelm, tmp_path, grow):
    write(tmp_path / "prog.py", MEMORY_EXHAUSTION_PROGRAM.format(grow=grow))

    result = zelm("run", "prog.py")

    assert result.returncode == 1
    assert "\nMemoryError\n" in result.stderr
    loaded = trace.load(tmp_path / DEFAULT_DB, saved_trace_id(result))
    names = calls_by_name(loaded)
    assert (len(names["__main__.tick"]), len(names["__main__.grow"])) == (500, 1)



VALUES_PROGRAM = """\
class Bee:
    def __repr__(self):
        return "<b>"


def take(text, bee):
    return (text, bee)


def sequences(pair, single, numbers):
    return ((((1,),),),)


def keyed(value):
    return value


lst = [1]
lst.append(lst)
take("<b>", Bee())
sequences((1, "a"), (None,), [1, 2])
keyed({1: "x", None: (2,), (3, 4): Bee()})
keyed({"<b>": 1, Bee(): 2})
keyed(lst)
keyed(2**70)
"""


def test_show_and_export_tell_strings_reprs_tuples_and_odd_keys_apart(zelm, tmp_path):
    write(tmp_path / "values.py", VALUES_PROGRAM)
    # Bee's own repr, called with --repr full, stands for it.
    trace_id = saved_trace_id(zelm("run", "--repr", "full", "values.py"))

    show = zelm("show", trace_id)
    export = zelm("export", trace_id, "--format", "json")

    assert (show.returncode, export.returncode) == (0, 0), show.stderr + export.stderr
    # Call lines "  12.3 us  NAME(ARGUMENTS) -> VALUE  values.py:LINE" without duration and location.
    calls = re.findall(r"^ +[\d.]+ [um]?s  (__main__\..*)  values\.py:\d+$", show.stdout, re.MULTILINE)
    assert calls[2:] == [
        "__main__.take(text='<b>', bee=<b>) -> ('<b>', <b>)",
        "__main__.sequences(pair=(1, 'a'), single=(None,), numbers=[1, 2]) -> (((…),),)",
        "__main__.keyed(value={1: 'x', None: (2,), (3, 4): <b>}) -> {1: 'x', None: (2,), (3, 4): <b>}",
        "__main__.keyed(value={'<b>': 1, <b>: 2}) -> {'<b>': 1, <b>: 2}",
        "__main__.keyed(value=[1, [...]]) -> [1, [...]]",
        "__main__.keyed(value=1180591620717411303424) -> 1180591620717411303424",
    ]
    returns = [record["arg"] for record in json.loads(export.stdout)["frames_of_interest"]
               if record.get("event") == "return" and record["co_name"] in ("take", "keyed")]
    assert returns == [
        {"$tuple": ["<b>", {"$repr": "<b>"}]},
        {"$dict": [[1, "x"], [None, {"$tuple": [2]}], [{"$tuple": [3, 4]}, {"$repr": "<b>"}]]},
        {"$dict": [["<b>", 1], [{"$repr": "<b>"}, 2]]},
        [1, {"$repr": "[...]"}],
        {"$repr": str(2**70)},
    ]


def test_the_working_directory_survives_a_fallback_file_and_zelm_import(zelm, tmp_path):
    write(tmp_path / "prog.py", "def work():\n    return 1\nwork()\n")
    (tmp_path / "corrupt.sqlite3").write_bytes(b"this is not an sqlite database, not at all" * 50)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()

    assert "instead" in zelm("run", "--db", "corrupt.sqlite3", "prog.py").stderr
    # The shell's glob takes the trace's file and the one beside it.
    written = sorted(path.name for path in tmp_path.glob("corrupt.sqlite3.*"))
    assert [name.endswith(".cwd") for name in written] == [False, True]
    imported = run_python("-m", "zelm", "import", "--db", "../good.sqlite3", *(f"../{name}" for name in written),
                          cwd=elsewhere)

    assert imported.returncode == 0, imported.stderr
    assert not list(tmp_path.glob("corrupt.sqlite3.*"))
    (stored,) = store.list_traces(tmp_path / "good.sqlite3")
    assert stored.working_directory == str(tmp_path)
    shown = zelm("show", stored.trace_id, "--db", "good.sqlite3").stdout.splitlines()
    assert shown[1] == f"working directory: {tmp_path}"


# ---- show and the Chrome and speedscope exports, streamed from the native reader's index ----

# Traces with what the recorded ones have not: hand-made ones of the index's
# tests and the exports', records no reader decodes, documents the native
# reader leaves to the reader, and times no time line places.
def hand_made_documents():
    from test_exports import SPEEDSCOPE_TRACES
    from test_trace_reader import WORKER, call, document, plugin, ret
    from test_view_index import HAND_MADE, UNREADABLE

    documents = {name: msgpack.packb(doc) for name, doc in {**HAND_MADE, **SPEEDSCOPE_TRACES}.items()}
    for name, raw in UNREADABLE.items():
        doc = document(
            [call("main", "frm_a", 2.0), raw_slot(0), plugin("log_message", 2.5, message="kept"),
             ret("main", "frm_a", 3.0)],
            {WORKER: [call("work", "frm_w", 2.2, thread=WORKER, locals_=raw_slot(1)),
                      ret("work", "frm_w", 2.8, thread=WORKER)]})
        documents["unreadable " + name] = pack_with_raw(doc, raw, raw)
    documents["native reader refuses"] = msgpack.packb(document([call("main", "frm_a", 2.0, thread=2**64 - 1)]))
    nan, inf = float("nan"), float("inf")
    documents["call at nan"] = msgpack.packb(document([
        call("main", "frm_a", 2.0), call("x", "frm_b", nan), ret("x", "frm_b", 3.0), ret("main", "frm_a", 4.0)]))
    documents["plugin record at nan"] = msgpack.packb(document([
        call("main", "frm_a", 2.0), plugin("log_message", nan, message="m"), ret("main", "frm_a", 4.0)]))
    documents["return at inf"] = msgpack.packb(document([call("main", "frm_a", 2.0), ret("main", "frm_a", inf)]))
    return documents


HAND_MADE_DOCUMENTS = hand_made_documents()


@pytest.fixture(scope="module")
def varied(tmp_path_factory):
    """(database, {name: trace id}) of conftest's varied database, with
    HAND_MADE_DOCUMENTS stored beside its recorded traces."""
    db_path, named = build_varied_database(tmp_path_factory.mktemp("varied"))
    for number, (name, data) in enumerate(HAND_MADE_DOCUMENTS.items()):
        named[name] = f"trc_hand_made_{number}"
        store.save_trace_in_sqlite(db_path, named[name], timeout=5, msgpack=data)
    return db_path, named


def run_in_process(capsys, *args):
    """(exit status, stdout, stderr) of zelm *args run in this process."""
    from zelm.cli.main import main

    status = main(list(args))
    return (status, *capsys.readouterr())


def decoded_whole(monkeypatch):
    """Make every trace read the slow way, the reader decoding it whole, as
    the commands read the documents the native reader refuses."""
    from zelm.view import lazy

    def refuse(documents):
        raise lazy.Unindexable("read the slow way")

    monkeypatch.setattr(lazy, "index_documents", refuse)


def streamed_and_decoded_whole(monkeypatch, capsys, command, output=None):
    """What ``command`` (zelm's arguments) prints, and writes to ``output``,
    read from the index and read decoded whole."""
    results = []
    for slow in (False, True):
        with monkeypatch.context() as patch:
            if slow:
                decoded_whole(patch)
            result = run_in_process(capsys, *command)
        written = None
        if output is not None and output.exists():
            written = output.read_bytes()
            output.unlink()
        results.append((result, written))
    return results


SHOW_OPTIONS = {"whole": [], "depth 1": ["--depth", "1"], "depth 2": ["--depth", "2"], "depth 3": ["--depth", "3"],
                "worker": ["--thread", "worker"], "depth 2 of worker": ["--thread", "worker", "--depth", "2"],
                "main thread": ["--thread", "MainThread"]}
TRACE_NAMES = [*VARIED_TRACES, *HAND_MADE_DOCUMENTS]


@pytest.mark.parametrize("options", SHOW_OPTIONS.values(), ids=SHOW_OPTIONS.keys())
@pytest.mark.parametrize("name", TRACE_NAMES)
def test_show_streamed_prints_what_the_trace_decoded_whole_prints(varied, monkeypatch, capsys, name, options):
    db_path, named = varied

    streamed, decoded = streamed_and_decoded_whole(monkeypatch, capsys,
                                                   ["show", "--db", db_path, named[name], *options])

    assert streamed == decoded
    (status, out, _), _ = streamed
    if name in VARIED_TRACES and not options:
        assert status == 0 and out.count("\n") > 5


@pytest.mark.parametrize("to_file", [False, True], ids=["stdout", "file"])
@pytest.mark.parametrize("export_format", ["chrome", "speedscope"])
@pytest.mark.parametrize("name", TRACE_NAMES)
def test_exports_streamed_write_what_the_trace_decoded_whole_writes(varied, monkeypatch, capsys, tmp_path, name,
                                                                    export_format, to_file):
    db_path, named = varied
    output = tmp_path / "out.json"
    command = ["export", "--db", db_path, named[name], "--format", export_format, "-o", str(output) if to_file else "-"]

    streamed, decoded = streamed_and_decoded_whole(monkeypatch, capsys, command, output)

    assert streamed == decoded
    (status, out, errors), written = streamed
    if status == 0:
        # The text written piece by piece is the JSON text of the whole file.
        loaded = trace.load(db_path, named[name])
        whole = export.chrome_trace_json(export.to_chrome_trace(loaded)) if export_format == "chrome" else \
            json.dumps(export.to_speedscope(loaded), allow_nan=False)
        assert (written.decode("utf-8") if to_file else out) == whole + "\n"
    else:
        # A time no time line places fails the export before it writes.
        assert "not a finite number" in errors and (out, written) == ("", None)


def test_the_varied_traces_are_read_from_the_index_but_the_refused_ones(varied):
    from zelm.view import walk

    db_path, named = varied
    slow = {name for name, trace_id in named.items()
            if isinstance(walk.open_trace(db_path, trace_id), walk.LoadedTrace)}

    assert slow == {"native reader refuses"}


def test_show_to_a_depth_decodes_only_the_records_of_the_calls_it_prints(recursive_trace, monkeypatch, capsys):
    db_path, trace_id = recursive_trace
    [document] = store.load_trace_documents(db_path, trace_id)
    decoded = []
    unpackb = msgpack.unpackb

    def counting_unpackb(data, *args, **kwargs):
        decoded.append(len(data))
        return unpackb(data, *args, **kwargs)

    monkeypatch.setattr(msgpack, "unpackb", counting_unpackb)
    status, out, _ = run_in_process(capsys, "show", "--db", str(db_path), trace_id, "--depth", "1")

    assert status == 0
    [root] = [line for line in out.splitlines() if line.startswith("  ") and "<module>" in line]
    # fib(6) and fib(4) make 34 calls, main and slow_leaf two more.
    assert root.endswith("[+36 nested calls]")
    # The run's facts and the root call's two records, of a document of some 90 records.
    assert sum(decoded) < len(document) / 10, (decoded, len(document))
