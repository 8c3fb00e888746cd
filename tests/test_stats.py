"""zelm.stats and `zelm stats`: self times, the table of functions and the
aggregated flame graph, on recorded and hand-made traces, checked against
figures worked out here from the reader's decoded call tree."""

import json
from array import array

import msgpack
import pytest

from conftest import run_python
from test_trace_reader import WORKER, call, document, plugin, ret
from zelm import _fastread, stats, store
from zelm import trace as trace_reader
from zelm.cli.main import main as zelm_main
from zelm.view import lazy, model

PROGRAM = """\
import threading


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def is_even(n):
    return True if n == 0 else is_odd(n - 1)


def is_odd(n):
    return False if n == 0 else is_even(n - 1)


def countdown(n):
    while n:
        yield n
        n -= 1


def leaf(values):
    return sorted(values, key=lambda value: -value)


def branch(depth):
    return leaf([depth, 1, 2]) if depth == 0 else [branch(depth - 1), leaf([depth])]


def work():
    fib(8)
    branch(3)
    return sum(countdown(5))


def main():
    fib(12)
    is_even(9)
    branch(4)
    worker = threading.Thread(target=work, name="worker")
    worker.start()
    worker.join()
    return work()


main()
"""

# The two forms of the viewer's index: read from the stored bytes by the
# native reader, and built from the reader's full decode.
INDEX_FORMS = ("native", "decoded")


def index_of(documents, form):
    if form == "native":
        index = model.TraceIndex.from_documents(documents)
        assert isinstance(index.nodes, lazy.Nodes)
        return index
    decoded = [trace_reader.decode_document(part) for part in documents]
    return model.TraceIndex(trace_reader.Trace.from_document(trace_reader.merge_documents(decoded)))


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    """(database path, trace id, stored documents) of PROGRAM run by `zelm run`."""
    directory = tmp_path_factory.mktemp("stats")
    (directory / "prog.py").write_text(PROGRAM)
    db_path = str(directory / "traces.sqlite3")
    result = run_python("-m", "zelm", "run", "--db", db_path, "prog.py", cwd=directory)
    assert result.returncode == 0, result.stderr
    trace_id = result.stderr.split("zelm: saved trace ", 1)[1].split(":", 1)[0]
    return db_path, trace_id, store.load_trace_documents(db_path, trace_id)


@pytest.fixture(params=INDEX_FORMS)
def index_form(request):
    return request.param


def expected_table(trace, thread_numbers):
    """Per (qualname, file): calls, outermost calls, total, self, max and
    node ids, from the decoded call tree of the threads numbered
    ``thread_numbers``, counting the time a call ran in its function's
    total only when no caller up its stack is of the same function."""
    table = {}
    node_id = 0
    for number, thread in enumerate(trace.threads):
        # (node, the functions of its callers), depth first as the index numbers nodes.
        pending = [(node, ()) for node in reversed(thread.roots)]
        while pending:
            node, callers = pending.pop()
            this_id, node_id = node_id, node_id + 1
            if not isinstance(node, trace_reader.Call):
                continue
            key = (node.name, node.location.rpartition(":")[0])
            pending.extend((child, callers + (key,)) for child in reversed(node.children))
            if number not in thread_numbers:
                continue
            row = table.setdefault(key, {"calls": 0, "outermost": 0, "total": 0.0, "self": 0.0, "max": 0.0,
                                         "nodes": []})
            row["calls"] += 1
            row["nodes"].append((node.start, this_id))
            row["self"] += max(0.0, node.running - sum(child.running for child in node.calls()))
            if key not in callers:
                row["outermost"] += 1
                row["total"] += node.running
                row["max"] = max(row["max"], node.running)
    for row in table.values():
        row["nodes"] = [node for _, node in sorted(row["nodes"])]
    return table


def assert_rows_match(actual, expected):
    """Tables of as_expected's form equal, times up to rounding."""
    assert actual.keys() == expected.keys()
    for key, row in actual.items():
        floats = ("total", "self", "max")
        assert {name: row[name] for name in floats} == pytest.approx({name: expected[key][name] for name in floats},
                                                                     rel=1e-9, abs=1e-12), key
        assert {name: value for name, value in row.items() if name not in floats} == \
            {name: value for name, value in expected[key].items() if name not in floats}, key


def as_expected(rows):
    return {(row["qualname"], row["path"]): {key: row[key] for key in ("calls", "outermost", "total", "self",
                                                                           "max", "nodes")}
            for row in rows}


@pytest.mark.parametrize("thread", [None, 0, 1])
def test_recursion_counts_once_in_total_against_the_decoded_tree(recorded, index_form, thread):
    db_path, trace_id, documents = recorded
    trace = trace_reader.load(db_path, trace_id)
    index = index_of(documents, index_form)

    rows = stats.function_table(index, thread)

    expected = expected_table(trace, range(len(trace.threads)) if thread is None else [thread])
    assert_rows_match(as_expected(rows), expected)
    fib = as_expected(rows)["__main__.fib", "prog.py"]
    # fib(12) from main(), fib(8) from work() on each thread.
    assert fib["calls"] > fib["outermost"] == {None: 3, 0: 2, 1: 1}[thread]
    if thread != 1:
        even, odd = (as_expected(rows)[name, "prog.py"] for name in ("__main__.is_even", "__main__.is_odd"))
        # is_even(9) calls is_odd(8), which is in no other is_odd.
        assert (even["calls"], even["outermost"], odd["calls"], odd["outermost"]) == (5, 1, 5, 1)
        assert odd["total"] < even["total"]
    assert [row["total"] for row in rows] == sorted((row["total"] for row in rows), reverse=True)
    for row in rows:
        assert row["mean"] == pytest.approx(row["total"] / row["outermost"]) if row["outermost"] else row["mean"] == 0.0


def test_a_generator_is_one_call_per_run_across_its_resumes(recorded, index_form):
    index = index_of(recorded[2], index_form)

    countdown = [row for row in stats.function_table(index) if row["qualname"] == "__main__.countdown"]

    # sum() resumes it six times in each of the two calls of work(), one per thread.
    assert [(row["path"], row["calls"]) for row in countdown] == [("prog.py", 2)]


def test_calls_of_one_function_recorded_at_other_lines_are_one_row(index_form):
    # A generator resumed at its yield (line 7) with no recorded start, then started afresh (line 3).
    records = [call("gen", "frm_1", 1.0), ret("gen", "frm_1", 2.0), call("gen", "frm_2", 3.0), ret("gen", "frm_2", 5.0)]
    for record, line in zip(records, (7, 8, 3, 7)):
        record["path"] = f"app.py:{line}"
    index = index_of([msgpack.packb(document(records))], index_form)

    assert [(row["qualname"], row["path"], row["calls"], row["total"]) for row in stats.function_table(index)] == \
        [("app.gen", "app.py", 2, 3.0)]


def test_a_joined_generator_counts_the_time_it_ran(index_form):
    # gen runs 2.0 .. 3.0, yields at line 5, main calls x, then gen resumes at line 5 and returns.
    records = [call("main", "frm_m", 1.0), call("gen", "frm_g1", 2.0), ret("gen", "frm_g1", 3.0),
               call("x", "frm_x", 3.5), ret("x", "frm_x", 4.5),
               call("gen", "frm_g2", 5.0), ret("gen", "frm_g2", 6.0), ret("main", "frm_m", 10.0)]
    for record, line in zip(records[1:3] + records[5:7], (3, 5, 5, 6)):
        record["path"] = f"app.py:{line}"
    index = index_of([msgpack.packb(document(records))], index_form)

    rows = {row["qualname"]: (row["calls"], row["total"], row["self"]) for row in stats.function_table(index)}

    assert rows == {"app.main": (1, 9.0, 6.0), "app.gen": (1, 2.0, 2.0), "app.x": (1, 1.0, 1.0)}
    assert shape(stats.flame_graph(index, 0)) == ("all", 1, 9.0, 0.0, [
        ("app.main", 1, 9.0, 6.0, [("app.gen", 1, 2.0, 2.0, []), ("app.x", 1, 1.0, 1.0, [])])])


def nested_document():
    """main calls c (which calls a), a (which calls b, which logs) and a again:
    times chosen so that every self time is exact."""
    return document([
        call("main", "frm_m", 1.0),
        call("c", "frm_c", 2.0), call("a", "frm_a1", 3.0), ret("a", "frm_a1", 4.0), ret("c", "frm_c", 6.0),
        call("a", "frm_a2", 6.0), call("b", "frm_b", 7.0), plugin("log_message", 7.5, message="x"),
        ret("b", "frm_b", 8.0), ret("a", "frm_a2", 9.0),
        call("a", "frm_a3", 10.0), ret("a", "frm_a3", 11.5),
        ret("main", "frm_m", 12.0),
    ])


def test_self_time_is_the_duration_outside_the_calls_made(index_form):
    index = index_of([msgpack.packb(nested_document())], index_form)

    # Node ids in depth-first order: main, c, a, a, b, the log record, a.
    assert list(stats.self_times(index)) == [2.5, 3.0, 1.0, 2.0, 1.0, 0.0, 1.5]
    rows = {row["qualname"]: row for row in stats.function_table(index)}
    assert [row["qualname"] for row in stats.function_table(index)] == ["app.main", "app.a", "app.c", "app.b"]
    assert {key: rows["app.a"][key] for key in ("path", "calls", "outermost", "total", "self", "mean", "max", "nodes")} \
        == {"path": "app.py", "calls": 3, "outermost": 3, "total": 5.5, "self": 4.5, "mean": 5.5 / 3, "max": 3.0,
            "nodes": [2, 3, 6]}
    assert (rows["app.main"]["total"], rows["app.main"]["self"], rows["app.c"]["self"]) == (11.0, 2.5, 3.0)


def test_recursion_through_another_function(index_form):
    # f calls f, which calls g, which calls f.
    doc = document([
        call("f", "frm_1", 1.0), call("f", "frm_2", 2.0), call("g", "frm_3", 3.0), call("f", "frm_4", 3.25),
        ret("f", "frm_4", 3.75), ret("g", "frm_3", 4.0), ret("f", "frm_2", 5.0), ret("f", "frm_1", 10.0),
    ])
    index = index_of([msgpack.packb(doc)], index_form)

    rows = {row["qualname"]: row for row in stats.function_table(index)}

    assert {key: rows["app.f"][key] for key in ("calls", "outermost", "total", "self", "mean", "max")} == \
        {"calls": 3, "outermost": 1, "total": 9.0, "self": 6.0 + 2.0 + 0.5, "mean": 9.0, "max": 9.0}
    assert (rows["app.g"]["total"], rows["app.g"]["self"]) == (1.0, 0.5)


def test_unfinished_calls_end_at_the_trace_end(index_form):
    doc = document([call("main", "frm_m", 1.0), call("x", "frm_x", 2.0), ret("x", "frm_x", 3.0),
                    plugin("log_message", 5.0, message="last")])
    index = index_of([msgpack.packb(doc)], index_form)

    rows = {row["qualname"]: row for row in stats.function_table(index)}

    assert (rows["app.main"]["total"], rows["app.main"]["self"]) == (4.0, 3.0)


def threads_document():
    return document(
        [call("main", "frm_m", 1.0), call("x", "frm_x1", 2.0), ret("x", "frm_x1", 3.0), ret("main", "frm_m", 4.0)],
        {WORKER: [call("work", "frm_w", 1.5, thread=WORKER), call("x", "frm_x2", 1.6, thread=WORKER),
                  ret("x", "frm_x2", 1.9, thread=WORKER), ret("work", "frm_w", 6.0, thread=WORKER)]},
    )


@pytest.mark.parametrize("thread, expected", [
    (None, {"app.main": (1, 3.0, [0]), "app.work": (1, 4.5, [2]), "app.x": (2, 1.0 + 0.3, [3, 1])}),
    (0, {"app.main": (1, 3.0, [0]), "app.x": (1, 1.0, [1])}),
    (1, {"app.work": (1, 4.5, [2]), "app.x": (1, 0.3, [3])}),
])
def test_threads_filter(index_form, thread, expected):
    index = index_of([msgpack.packb(threads_document())], index_form)

    rows = stats.function_table(index, thread)

    assert {row["qualname"]: (row["calls"], row["nodes"]) for row in rows} == \
        {name: (calls, nodes) for name, (calls, _, nodes) in expected.items()}
    assert {row["qualname"]: row["total"] for row in rows} == \
        pytest.approx({name: total for name, (_, total, _) in expected.items()})


@pytest.mark.parametrize("thread", [2, -1, "0"])
def test_an_unknown_thread_is_not_found(index_form, thread):
    index = index_of([msgpack.packb(threads_document())], index_form)

    with pytest.raises(model.NodeNotFound):
        stats.function_table(index, thread)
    with pytest.raises(model.NodeNotFound):
        stats.flame_graph(index, thread)


def shape(node):
    """A flame graph as nested (name, calls, total, self, children)."""
    return (node["name"], node["calls"], node["total"], node["self"], [shape(child) for child in node["children"]])


def test_flame_graph_merges_by_call_path_heaviest_first(index_form):
    index = index_of([msgpack.packb(nested_document())], index_form)

    graph = stats.flame_graph(index, 0)

    # a (3 s + 1.5 s) is drawn before c (4 s), which ran first; the a inside c stays apart.
    assert shape(graph) == ("all", 1, 11.0, 0.0, [
        ("app.main", 1, 11.0, 2.5, [
            ("app.a", 2, 4.5, 3.5, [("app.b", 1, 1.0, 1.0, [])]),
            ("app.c", 1, 4.0, 3.0, [("app.a", 1, 1.0, 1.0, [])]),
        ]),
    ])
    main = graph["children"][0]
    assert (graph["truncated"], graph["node"], main["node"], main["children"][0]["node"]) == (False, None, 0, 3)
    assert (main["qualname"], main["path"]) == ("app.main", "app.py")


def test_flame_graph_of_a_recursive_function_nests_its_calls(recorded, index_form):
    db_path, trace_id, documents = recorded
    index = index_of(documents, index_form)
    main = next(node for _, node in trace_reader.load(db_path, trace_id).threads[0].walk()
                if isinstance(node, trace_reader.Call) and node.name == "__main__.main")

    def child(node, name):
        return next((child for child in node["children"] if child["name"] == name), None)

    node = child(child(stats.flame_graph(index, 0), "__main__.<module>"), "__main__.main")
    fib_levels = []
    while child(node, "__main__.fib"):
        node = child(node, "__main__.fib")
        fib_levels.append(node)

    # fib(12) down to fib(1), each level one node of all the calls at that depth.
    assert len(fib_levels) == 12
    assert (fib_levels[0]["calls"], fib_levels[1]["calls"], fib_levels[2]["calls"]) == (1, 2, 4)
    assert fib_levels[0]["total"] == pytest.approx(main.calls()[0].duration)
    assert all(deeper["total"] <= level["total"] for level, deeper in zip(fib_levels, fib_levels[1:]))


def test_flame_graph_past_its_budget_keeps_the_heaviest_nodes(index_form):
    index = index_of([msgpack.packb(nested_document())], index_form)

    graph = stats.flame_graph(index, 0, max_nodes=2)

    assert graph["truncated"] is True
    assert shape(graph) == ("all", 1, 11.0, 0.0, [("app.main", 1, 11.0, 2.5, [("app.a", 2, 4.5, 3.5, [])])])


def test_flame_graph_stops_at_its_depth_limit(index_form):
    levels = stats.flame.FLAME_MAX_DEPTH + 30
    records = [call("f", f"frm_{level}", float(level)) for level in range(levels)]
    records += [ret("f", f"frm_{level}", 2.0 * levels - level) for level in reversed(range(levels))]
    index = index_of([msgpack.packb(document(records))], index_form)

    graph = stats.flame_graph(index, 0)

    depth, node = 0, graph
    while node["children"]:
        (node,) = node["children"]
        depth += 1
    assert (depth, graph["truncated"], node["total"]) == (stats.flame.FLAME_MAX_DEPTH, True, 2.0 * 30 + 2.0)
    # What the viewer sends it as, on every Python version.
    assert json.loads(json.dumps(graph)) == graph


def columns(nodes=3):
    """Valid columns of a tree of ``nodes`` calls of function 0, each the parent of the next."""
    return {"time": array("d", [1.0] * nodes), "start": array("d", [0.0] * nodes),
            "parent": array("q", range(-1, nodes - 1)), "size": array("q", range(nodes, 0, -1)),
            "function": array("i", [0] * nodes), "self": array("d", [0.0] * nodes)}


def test_the_native_aggregates_of_a_chain_of_recursive_calls():
    tree = columns()

    own = memoryview(_fastread.self_times(tree["time"], tree["parent"], tree["function"])).cast("d")
    calls, outermost, total, self_time, longest, offsets, members = _fastread.function_table(
        tree["time"], tree["start"], tree["size"], tree["function"], tree["self"], 0, 3, 1)

    assert list(own) == [0.0, 0.0, 1.0]
    assert [memoryview(part).cast(code).tolist() for part, code in zip(
        (calls, outermost, total, longest, offsets, members), "qqddqq")] == [[3], [1], [1.0], [1.0], [0, 3], [0, 1, 2]]


NATIVE_SIGNATURES = {
    "self_times": ("time", "parent", "function"),
    "function_table": ("time", "start", "size", "function", "self", "first", "last", "functions"),
    "flame_graph": ("time", "size", "function", "self", "first", "last", "max_nodes", "max_depth"),
}


@pytest.mark.parametrize("entry, change, error", [
    ("function_table", {"time": b"\x00" * 24}, TypeError),  # bytes, not float64 items
    ("function_table", {"start": columns(2)["start"]}, ValueError),
    ("function_table", {"size": array("q", [3, 3, 1])}, ValueError),
    ("function_table", {"function": array("q", [0, 0, 0])}, TypeError),
    ("function_table", {"function": array("i", [0, 5, 0])}, ValueError),
    ("function_table", {"first": 2, "last": 1}, ValueError),
    ("function_table", {"last": 4}, ValueError),
    ("function_table", {"first": -1}, ValueError),
    ("self_times", {"parent": array("q", [-1, 2, 1])}, ValueError),
    ("self_times", {"function": columns(4)["function"]}, ValueError),
    ("flame_graph", {"size": array("q", [1, 0, 1])}, ValueError),
    ("flame_graph", {"max_nodes": -1}, ValueError),
])
def test_the_native_aggregates_refuse_a_broken_tree(entry, change, error):
    arguments = {**columns(), "first": 0, "last": 3, "functions": 1, "max_nodes": 10, "max_depth": 10, **change}

    with pytest.raises(error):
        getattr(_fastread, entry)(*(arguments[key] for key in NATIVE_SIGNATURES[entry]))


def test_the_index_forms_give_the_same_figures(recorded):
    native, decoded = (index_of(recorded[2], form) for form in INDEX_FORMS)

    assert list(stats.self_times(native)) == list(stats.self_times(decoded))
    for thread in (None, 0, 1):
        assert stats.function_table(native, thread) == stats.function_table(decoded, thread)
    for thread in (0, 1):
        assert stats.flame_graph(native, thread) == stats.flame_graph(decoded, thread)


# ---- zelm stats ----


def zelm_stats(capsys, *args):
    """(exit status, stdout, stderr) of `zelm stats *args`, run in this process."""
    status = zelm_main(["stats", *args])
    out, err = capsys.readouterr()
    return status, out, err


def test_stats_text_is_an_aligned_table(recorded, capsys):
    db_path, trace_id, documents = recorded

    status, out, err = zelm_stats(capsys, "latest", "--db", db_path)

    assert (status, err) == (0, "")
    lines = out.splitlines()
    trace = trace_reader.load(db_path, trace_id)
    rows = stats.function_table(index_of(documents, "native"))
    assert lines[0].startswith(f"trace {trace_id}: ")
    assert lines[0].endswith(f", 2 threads, {len(rows)} functions by total time")
    header, table = lines[1], lines[2:2 + len(rows)]
    assert header.split() == ["calls", "total", "self", "mean", "max", "function", "file"]
    for line, row in zip(table, rows):
        # Each function name starts where the header's "function" does.
        assert line[header.index("function"):].split() == [row["qualname"], row["path"]]
        calls = line[:header.index("calls") + len("calls")].strip()
        assert calls == (str(row["calls"]) if row["calls"] == row["outermost"] else f"{row['calls']}/{row['outermost']}")
    assert lines[2 + len(rows):] == [
        "calls N/M: M of the N calls ran inside no call of the same function; total and mean count those",
        "self: a call's time outside the recorded calls it made, which includes code that is not recorded",
    ]
    assert trace.end > trace.start


def test_stats_text_says_how_many_functions_a_limit_left_out(recorded, capsys):
    db_path, trace_id, documents = recorded
    count = len(stats.function_table(index_of(documents, "native")))

    status, out, err = zelm_stats(capsys, trace_id, "--db", db_path, "--sort", "self", "--limit", "2")

    assert (status, err) == (0, "")
    assert out.splitlines()[0].endswith(f", 2 threads, 2 of {count} functions by self time")


@pytest.mark.parametrize("options, sort_key, limit", [
    ([], "total", None),
    (["--sort", "self", "--limit", "3"], "self", 3),
    (["--sort", "calls", "--thread", "worker"], "calls", None),
])
def test_stats_json(recorded, capsys, options, sort_key, limit):
    db_path, trace_id, documents = recorded
    index = index_of(documents, "native")
    thread = 1 if "--thread" in options else None
    expected = sorted(stats.function_table(index, thread), key=lambda row: -row[sort_key])[:limit]

    status, out, err = zelm_stats(capsys, trace_id, "--db", db_path, "--format", "json", *options)

    assert (status, err) == (0, "")
    assert json.loads(out) == [{key: row[key] for key in ("qualname", "path", "calls", "outermost", "total", "self",
                                                          "mean", "max")} for row in expected]
    if thread is not None:
        assert {row["qualname"] for row in json.loads(out)} >= {"__main__.work", "__main__.fib"}
        assert "__main__.main" not in {row["qualname"] for row in json.loads(out)}


@pytest.fixture
def stores(tmp_path):
    good = str(tmp_path / "good.sqlite3")
    store.save_trace_in_sqlite(good, "trc_threads", timeout=5, msgpack=msgpack.packb(threads_document()))
    store.save_trace_in_sqlite(good, "trc_garbled", timeout=5, msgpack=b"\xc1\xc1")
    return tmp_path


@pytest.mark.parametrize("args, message", [
    (["latest", "--db", "absent.sqlite3"], "zelm: error: cannot read trace database absent.sqlite3: no such file"),
    (["trc_nope", "--db", "good.sqlite3"], "zelm: error: no trace trc_nope in good.sqlite3"),
    (["trc_garbled", "--db", "good.sqlite3"],
     "zelm: error: trace trc_garbled in good.sqlite3 does not decode as MessagePack"),
    (["trc_threads", "--db", "good.sqlite3", "--thread", "nope"],
     "zelm: error: no thread 'nope' in trace trc_threads; its threads: MainThread (100), "
     "worker-200 (200)"),
])
def test_stats_errors_are_one_line(stores, capsys, monkeypatch, args, message):
    monkeypatch.chdir(stores)

    status, out, err = zelm_stats(capsys, *args)

    assert (status, out) == (1, "")
    assert err.count("\n") == 1 and err.startswith(message), err


def test_stats_of_a_trace_without_calls(tmp_path, capsys):
    db_path = str(tmp_path / "t.sqlite3")
    store.save_trace_in_sqlite(db_path, "trc_empty", timeout=5, msgpack=msgpack.packb(document([])))

    status, out, _ = zelm_stats(capsys, "latest", "--db", db_path)

    assert status == 0
    assert out.splitlines()[1:] == ["no calls recorded"]
