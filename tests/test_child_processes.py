"""Child processes of a traced program: forked ones, multiprocessing
workers and Python interpreters started by subprocess each get a trace of
their own in the same database, naming the trace of the process that
started them as its parent."""

import json
import os
import re
import shutil
import sqlite3
import sys
import time

import pytest

from conftest import TESTS_DIR, run_python, write_files
from zelm import store
from zelm import trace as trace_reader
from zelm.children import VARIABLE
from zelm.cli import render

STARTUP_FILE = os.path.join(TESTS_DIR, os.pardir, "python", "zelm_child_processes.pth")


@pytest.fixture
def startup_env(tmp_path):
    """The environment in which new interpreters read zelm's start-up file
    as an installed zelm's site-packages has them read it: the tests run
    zelm from a directory on PYTHONPATH, where python reads no .pth file."""
    site_dir = tmp_path / "startup-site"
    site_dir.mkdir()
    shutil.copy(STARTUP_FILE, site_dir)
    # Named so that the filters leave it out, as they leave out site.py.
    customize_dir = tmp_path / "startup-path" / "site-packages"
    customize_dir.mkdir(parents=True)
    # Where zelm is installed, its own copy runs as well: the start-up acts once.
    (customize_dir / "sitecustomize.py").write_text(f"import site\nsite.addsitedir({str(site_dir)!r})\n")
    return {"PYTHONPATH": str(customize_dir), VARIABLE: None}


def zelm_run(tmp_path, env, *args, timeout=120):
    return run_python("-m", "zelm", "run", "--db", "traces.sqlite3", *args, cwd=tmp_path, env=env, timeout=timeout)


def traces(tmp_path):
    return store.list_traces(tmp_path / "traces.sqlite3")


def calls(tmp_path, trace_id):
    """The names of the calls recorded (call record and all) in a trace."""
    loaded = trace_reader.load(tmp_path / "traces.sqlite3", trace_id)
    return [node.name for thread in loaded.threads for _, node in thread.walk()
            if isinstance(node, trace_reader.Call) and node.call_record is not None]


def wait_for(tmp_path, done, timeout=20):
    """The stored traces once ``done(traces)`` holds, or at the timeout:
    children that outlive the program (a forkserver) save theirs after it
    ends."""
    deadline = time.monotonic() + timeout
    while True:
        stored = traces(tmp_path)
        if done(stored) or time.monotonic() > deadline:
            return stored
        time.sleep(0.2)


def descendants(stored, trace_id):
    children = [entry for entry in stored if entry.parent_trace_id == trace_id]
    return children + [grandchild for child in children for grandchild in descendants(stored, child.trace_id)]


FORKING_WITH_ENABLED = '''
import os, sys, zelm

def before_fork():
    return 1

def in_child(number):
    return number

def after_children():
    return 2

with zelm.enabled(db_path="traces.sqlite3") as profiler:
    before_fork()
    children = []
    for number in range({children}):
        pid = os.fork()
        if pid == 0:
            in_child(number)
            break
        children.append(pid)
    else:
        for pid in children:
            os.waitpid(pid, 0)
        after_children()
'''


@pytest.mark.parametrize("children", [1, 3])
def test_forked_children_save_only_their_own_records_under_new_ids(tmp_path, children):
    (tmp_path / "forking.py").write_text(FORKING_WITH_ENABLED.format(children=children))
    result = run_python("forking.py", cwd=tmp_path, timeout=60)
    assert result.returncode == 0, result.stderr

    stored = traces(tmp_path)
    assert len(stored) == children + 1
    assert len({entry.trace_id for entry in stored}) == children + 1
    (parent,) = [entry for entry in stored if entry.parent_trace_id is None]
    assert calls(tmp_path, parent.trace_id) == ["__main__.before_fork", "__main__.after_children"]
    forked = [entry for entry in stored if entry is not parent]
    assert {entry.parent_trace_id for entry in forked} == {parent.trace_id}
    assert sorted(calls(tmp_path, entry.trace_id) for entry in forked) == [["__main__.in_child"]] * children


FORKING_AND_EXITING = '''
import os, sys

def in_child(number):
    return number * 2

def main():
    # Every child waits for the last one, so that they all save at once.
    read_end, write_end = os.pipe()
    children = []
    for number in range(10):
        pid = os.fork()
        if pid == 0:
            os.close(write_end)
            os.read(read_end, 1)
            in_child(number)
            os._exit(0)
        children.append(pid)
    os.close(write_end)
    for pid in children:
        assert os.waitpid(pid, 0)[1] == 0

main()
'''


def test_ten_forked_children_saving_at_once_each_keep_their_trace(tmp_path, startup_env):
    (tmp_path / "forking.py").write_text(FORKING_AND_EXITING)
    result = zelm_run(tmp_path, startup_env, "forking.py")
    assert result.returncode == 0, result.stderr

    stored = traces(tmp_path)
    (parent,) = [entry for entry in stored if entry.parent_trace_id is None]
    forked = [entry for entry in stored if entry is not parent]
    assert len(forked) == 10 and len({entry.trace_id for entry in stored}) == 11
    assert {entry.parent_trace_id for entry in forked} == {parent.trace_id}
    assert "__main__.in_child" not in calls(tmp_path, parent.trace_id)
    assert [calls(tmp_path, entry.trace_id) for entry in forked] == [["__main__.in_child"]] * 10


POOL_PROGRAM = '''
import multiprocessing, sys

def square(number):
    return number * number

if __name__ == "__main__":
    with multiprocessing.get_context(sys.argv[1]).Pool(2) as pool:
        print(pool.map(square, range(8)))
'''


@pytest.mark.parametrize("method", ["fork", "forkserver", "spawn"])
def test_multiprocessing_workers_are_traced_under_the_run(tmp_path, startup_env, method):
    (tmp_path / "pool.py").write_text(POOL_PROGRAM)
    # Leaving the with block terminates the workers (SIGTERM).
    result = zelm_run(tmp_path, startup_env, "pool.py", method)
    assert result.returncode == 0, result.stderr
    assert "[0, 1, 4, 9, 16, 25, 36, 49]" in result.stdout
    # The forkserver saves its trace once the program has ended.
    stored = wait_for(tmp_path, lambda stored: sorted(_squared(tmp_path, stored)) == list(range(8)) and
                      {entry.parent_trace_id for entry in stored} <= {entry.trace_id for entry in stored} | {None})

    assert sorted(_squared(tmp_path, stored)) == list(range(8))
    (run,) = [entry for entry in stored if entry.parent_trace_id is None]
    assert run.source == "pool.py"
    assert len(descendants(stored, run.trace_id)) == len(stored) - 1


def _squared(tmp_path, stored):
    """The numbers square() was called with, in all the stored traces."""
    numbers = []
    for entry in stored:
        loaded = trace_reader.load(tmp_path / "traces.sqlite3", entry.trace_id)
        numbers += [node.arguments["number"] for thread in loaded.threads for _, node in thread.walk()
                    if isinstance(node, trace_reader.Call) and node.name.endswith(".square") and node.call_record]
    return numbers


SUBPROCESS_PROGRAM = '''
import os, subprocess, sys

def start(script, *args):
    subprocess.run([sys.executable, script, *args], check=True)

if __name__ == "__main__":
    start("child.py", "2")
'''

CHILD = '''
import subprocess, sys

def child_work(depth):
    return depth

depth = int(sys.argv[1])
child_work(depth)
if depth > 1:
    subprocess.run([sys.executable, sys.argv[0], str(depth - 1)], check=True)
'''


def test_python_run_by_subprocess_is_traced_as_a_child_of_its_starter(tmp_path, startup_env):
    write_files(tmp_path, {"main.py": SUBPROCESS_PROGRAM, "child.py": CHILD})
    result = zelm_run(tmp_path, startup_env, "main.py")
    assert result.returncode == 0, result.stderr
    assert "warning" not in result.stderr

    stored = traces(tmp_path)
    by_source = {entry.source: entry for entry in stored}
    assert set(by_source) == {"main.py", "child.py 2", "child.py 1"}
    assert by_source["main.py"].parent_trace_id is None
    assert by_source["child.py 2"].parent_trace_id == by_source["main.py"].trace_id
    assert by_source["child.py 1"].parent_trace_id == by_source["child.py 2"].trace_id
    assert calls(tmp_path, by_source["child.py 1"].trace_id) == ["__main__.<module>", "__main__.child_work"]
    # A child that runs no recorded code (a "-c" program is generated code)
    # saves an empty trace, on one line of the listing.
    assert run_python("-c", "import sys\nsys.exit(0)", cwd=tmp_path,
                      env=zelm_child_env(tmp_path, by_source["main.py"], startup_env)).returncode == 0
    (empty,) = [entry for entry in traces(tmp_path) if entry.source == "-c import sys sys.exit(0)"]
    assert (empty.parent_trace_id, empty.record_count) == (by_source["main.py"].trace_id, 0)

    listing = run_python("-m", "zelm", "list", "--db", "traces.sqlite3", cwd=tmp_path).stdout.splitlines()
    ids = [line.split()[0] for line in listing[1:]]
    indents = [len(line) - len(line.lstrip()) for line in listing[1:]]
    assert ids == [by_source["main.py"].trace_id, empty.trace_id, by_source["child.py 2"].trace_id,
                   by_source["child.py 1"].trace_id]
    assert indents == [0, 2, 2, 4]

    shown = run_python("-m", "zelm", "show", "--db", "traces.sqlite3", by_source["child.py 1"].trace_id,
                       cwd=tmp_path).stdout.splitlines()
    # A child saves its own trace, from its own working directory.
    assert shown[1:3] == [f"working directory: {tmp_path}", f"child process of trace {by_source['child.py 2'].trace_id}"]


def zelm_child_env(tmp_path, parent, startup_env):
    settings = {"db": str(tmp_path / "traces.sqlite3"), "parent": parent.trace_id, "config": {}}
    return {**startup_env, VARIABLE: json.dumps(settings)}


def test_no_trace_children_records_the_program_alone(tmp_path, startup_env):
    write_files(tmp_path, {"main.py": SUBPROCESS_PROGRAM, "child.py": CHILD, "forking.py": FORKING_AND_EXITING})
    for program in ("main.py", "forking.py"):
        result = zelm_run(tmp_path, startup_env, "--no-trace-children", program)
        assert result.returncode == 0, result.stderr
    assert [entry.source for entry in traces(tmp_path)] == ["forking.py", "main.py"]


@pytest.mark.parametrize("value", [
    "not json",
    "[]",
    '{"db": "", "parent": "trc_x", "config": {}}',
    '{"db": "t.sqlite3", "parent": "trc_x", "config": {"repr": "loud"}}',
])
def test_an_unusable_variable_costs_one_warning_line_and_nothing_else(tmp_path, startup_env, value):
    result = run_python("-c", "print('ran')", cwd=tmp_path, env={**startup_env, VARIABLE: value})
    assert result.returncode == 0 and result.stdout == "ran\n"
    (line,) = result.stderr.splitlines()
    assert line.startswith(f"zelm: warning: {VARIABLE} is not usable (")
    assert line.endswith("this process runs untraced")
    assert not (tmp_path / "t.sqlite3").exists()


def test_an_empty_variable_is_no_request(tmp_path, startup_env):
    result = run_python("-c", "print('ran')", cwd=tmp_path, env={**startup_env, VARIABLE: ""})
    assert (result.returncode, result.stdout, result.stderr) == (0, "ran\n", "")


def test_a_database_without_the_parent_column_still_lists_and_gains_it(tmp_path):
    db_path = tmp_path / "traces.sqlite3"
    (tmp_path / "forking.py").write_text(FORKING_WITH_ENABLED.format(children=1))
    assert run_python("forking.py", cwd=tmp_path, timeout=60).returncode == 0
    with sqlite3.connect(db_path) as connection:
        documents = [bytes(store.load_trace(db_path, entry.trace_id)) for entry in store.list_traces(db_path)]
        connection.execute("DELETE FROM traces")
        connection.execute("ALTER TABLE traces DROP COLUMN parent_trace_id")
        connection.execute("INSERT INTO traces (trace_id, saved_at, size_bytes, msgpack) VALUES ('trc_old', 1, 1, x'c0')")
    assert [(entry.trace_id, entry.parent_trace_id) for entry in store.list_traces(db_path)] == [("trc_old", None)]

    for number, document in enumerate(documents):
        store.save_trace_in_sqlite(db_path, f"trc_{number}", timeout=5, msgpack=document)
    parents = [entry.parent_trace_id for entry in store.list_traces(db_path)]
    assert parents[-1] is None and sum(parent is not None for parent in parents) == 1


def entry(trace_id, parent=None):
    return store.StoredTrace(0, trace_id, 1.0, 1.0, "s", 1, 1, parent_trace_id=parent)


@pytest.mark.parametrize("stored, expected", [
    # Newest first; a child right under its parent, in its own order.
    ([entry("c2", "p"), entry("g", "c1"), entry("p"), entry("c1", "p")],
     ["p", "  c2", "  c1", "    g"]),
    # A child whose parent is not listed keeps its place.
    ([entry("a"), entry("orphan", "gone"), entry("b")], ["a", "orphan", "b"]),
    # Rows that name each other as parents (a damaged database) are listed once.
    ([entry("x", "y"), entry("y", "x")], ["x", "  y"]),
])
def test_listing_places_children_under_their_parent(stored, expected):
    lines = list(render.listing_lines(stored))[1:]
    assert [re.match(r" *\S+", line).group() for line in lines] == expected


def test_the_viewer_names_a_childs_parent(tmp_path):
    from conftest import running_viewer
    from test_view_api import get

    (tmp_path / "forking.py").write_text(FORKING_WITH_ENABLED.format(children=1))
    assert run_python("forking.py", cwd=tmp_path, timeout=60).returncode == 0
    stored = traces(tmp_path)
    (child,) = [entry for entry in stored if entry.parent_trace_id is not None]
    with running_viewer(tmp_path / "traces.sqlite3") as server:
        listed = {entry["trace_id"]: entry["parent_trace_id"] for entry in get(server, "traces")["traces"]}
        summary = get(server, "summary", trace=child.trace_id)
    assert listed == {entry.trace_id: entry.parent_trace_id for entry in stored}
    assert summary["parent_trace_id"] == child.parent_trace_id
