"""The viewer's server and JSON API (zelm.view), over HTTP on 127.0.0.1, on
the shipped example's trace and on hand-made ones; the `zelm view` and
`zelm export --format html` commands."""

import http.client
import json
import os
import re
import signal

import msgpack
import pytest

from conftest import function_figures, record_example, run_python, running_viewer, start_python
from test_trace_reader import MAIN, call, document, plugin, ret
from zelm import store
from zelm import trace as trace_reader
from zelm.view import export, model
from zelm.view.server import ViewerServer

HOSTILE = [
    "<script>window.__xss = 1</script>",
    '"><img src=x onerror="window.__xss=1">',
    "</script><script>window.__xss = 1</script><!--",
]


def save(db_path, doc):
    store.save_trace_in_sqlite(db_path, doc["trace_id"], timeout=5, msgpack=msgpack.packb(doc))
    return doc["trace_id"]


def hostile_document(trace_id="trc_01HZX3Q5R8W6N2K9F4T7B1XSS0"):
    """A trace whose names, values and plugin texts are markup."""
    return document([
        call(HOSTILE[1], "f1", 1.0, locals_={"payload": HOSTILE[0], HOSTILE[2]: [HOSTILE[1]]}),
        plugin("log_message", 1.5, level="INFO", logger=HOSTILE[0], message=HOSTILE[1], location=None),
        ret(HOSTILE[1], "f1", 2.0, arg=HOSTILE[2]),
    ], trace_id=trace_id)


def flat_document(calls, trace_id="trc_01HZX3Q5R8W6N2K9F4T7B1F1A7"):
    """One root call holding ``calls`` one-microsecond calls, one after another."""
    records = [call("root", "root", 1.0)]
    for number in range(calls):
        start = 1.0 + number * 2e-6
        records += [call(f"leaf{number % 3}", f"c{number}", start), ret(f"leaf{number % 3}", f"c{number}", start + 1e-6)]
    records.append(ret("root", "root", 1.0 + calls * 2e-6))
    return document(records, trace_id=trace_id)


def heaviest_path_document(trace_id="trc_01HZX3Q5R8W6N2K9F4T7B1HEA7"):
    """root holds a (with a child of its own) and the longer b; b holds c
    and the longer d, which holds e: the longest path is root, b, d, e."""
    return document([
        call("root", "r", 1.0),
        call("a", "a", 1.1), call("a_child", "a1", 1.2), ret("a_child", "a1", 1.3), ret("a", "a", 2.0),
        call("b", "b", 2.0),
        call("c", "c", 2.1), ret("c", "c", 3.0),
        call("d", "d", 3.0), call("e", "e", 3.5), ret("e", "e", 8.0), ret("d", "d", 8.5),
        ret("b", "b", 9.0),
        ret("root", "r", 10.0),
    ], trace_id=trace_id)


def cut_document(trace_id="trc_01HZX3Q5R8W6N2K9F4T7B1C077"):
    """A trace its 1 MiB budget cut inside app.work: 1234 events dropped
    from 2.5 s to 4.0 s."""
    cut = {"type": "trace_cut", "dropped_events": 1234, "budget_bytes": 1024 * 1024, "recorded_bytes": 1024 * 1024,
           "timestamp": 2.5, "dropped_until": 4.0, "thread": "MainThread", "thread_native_id": MAIN,
           "path": "app.py:4", "qualname": "app.work", "event": "call", "frame_id": "w2"}
    return document([
        call("main", "m", 1.0), call("work", "w", 2.0), cut, ret("work", "w", 4.5), ret("main", "m", 5.0),
    ], trace_id=trace_id)


def raised(frame_id, timestamp, text, path="app.py:2"):
    """The exception record of frame ``frame_id`` left by raising ``text``."""
    return {"type": "exception", "frame_id": frame_id, "exception_type": text.partition("(")[0],
            "exception": text, "path": path, "co_name": "f", "timestamp": timestamp}


def recorded_test_document(outcome):
    """A test's trace: parse('x') raises and is caught in tolerant; then
    parse('two') raises through total and the test function; teardown's
    cleanup raises and is caught; the test ends with ``outcome``."""
    bad = "ValueError('two')"
    return document([
        plugin("start_test", 1.0, nodeid="test_app.py::test_total", file="test_app.py"),
        call("test_total", "t", 1.1),
        call("tolerant", "tol", 1.2), call("parse", "p1", 1.3), ret("parse", "p1", 1.4),
        raised("p1", 1.4, "ValueError('x')"), ret("tolerant", "tol", 1.5),
        call("total", "tot", 1.6), call("parse", "p2", 1.7), ret("parse", "p2", 1.8), call("parse", "p3", 1.9),
        ret("parse", "p3", 2.0), raised("p3", 2.0, bad), ret("total", "tot", 2.1), raised("tot", 2.1, bad, "app.py:6"),
        ret("test_total", "t", 2.2), raised("t", 2.2, bad, "app.py:19"),
        call("teardown", "td", 3.0), call("cleanup", "cl", 3.1), ret("cleanup", "cl", 3.2),
        raised("cl", 3.2, "KeyError('gone')"), ret("teardown", "td", 3.3),
        plugin("end_test", 3.4, nodeid="test_app.py::test_total", file="test_app.py", outcome=outcome),
    ], trace_id="trc_01HZX3Q5R8W6N2K9F4T7B1TE57")


@pytest.fixture(scope="module")
def viewer(tmp_path_factory):
    db_path = tmp_path_factory.mktemp("view") / "traces.sqlite3"
    example = record_example(db_path)
    flat = save(db_path, flat_document(1000))
    hostile = save(db_path, hostile_document())
    with running_viewer(db_path) as server:
        server.ids = {"example": example, "flat": flat, "hostile": hostile}
        yield server


def request(server, path, host=None, method="GET", token=True):
    """(status, headers, body) of one request for ``path`` under the
    server's token (``token`` False: as given; a text: under that one);
    ``host`` replaces the Host header."""
    if token:
        path = f"/{server.token if token is True else token}{path}"
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
    try:
        connection.putrequest(method, path, skip_host=True)
        connection.putheader("Host", f"127.0.0.1:{server.port}" if host is None else host)
        connection.endheaders()
        reply = connection.getresponse()
        return reply.status, reply.headers, reply.read()
    finally:
        connection.close()


def get(server, endpoint, status=200, **params):
    from urllib.parse import urlencode

    code, headers, body = request(server, f"/api/{endpoint}?{urlencode(params)}")
    assert headers["Content-Type"] == "application/json"
    assert code == status, body
    return json.loads(body)


def find(server, trace_id, name):
    """The row of the first call named ``name``, found through the search."""
    found = get(server, "search", trace=trace_id, q=name)
    assert found["count"] >= 1, name
    return found["node"]


# ---- the server ----


def test_listens_on_loopback_only(viewer):
    assert viewer.server_address[0] == "127.0.0.1"


@pytest.mark.parametrize("host", ["evil.example:{port}", "127.0.0.1:1", "localhost", "127.0.0.1", "", "[::1]:{port}"])
def test_refuses_requests_for_other_hosts(viewer, host):
    status, _, body = request(viewer, "/api/traces", host=host.format(port=viewer.port))
    assert status == 403
    assert "127.0.0.1" in json.loads(body)["error"]


@pytest.mark.parametrize("host", ["127.0.0.1:{port}", "localhost:{port}"])
def test_answers_requests_for_itself(viewer, host):
    status, _, _ = request(viewer, "/", host=host.format(port=viewer.port))
    assert status == 200


def test_prints_an_address_with_a_random_token(viewer):
    other = ViewerServer(viewer.db_path)
    other.server_close()
    assert viewer.url == f"http://127.0.0.1:{viewer.port}/{viewer.token}/"
    assert len(viewer.token) >= 32 and other.token != viewer.token


@pytest.mark.parametrize("path, token", [
    ("/", False), ("/api/traces", False), ("/static/viewer.js", False), ("/api/traces", "guessed"),
    ("/api/traces", "x" * 43), ("", True),
])
def test_refuses_requests_without_its_token(viewer, path, token):
    status, _, body = request(viewer, path, token=token)
    assert status == 403
    assert "token" in json.loads(body)["error"]


@pytest.mark.parametrize("method", ["POST", "PUT", "DELETE", "HEAD"])
def test_serves_reading_requests_only(viewer, method):
    assert request(viewer, "/api/traces", method=method)[0] == 405


@pytest.mark.parametrize("path, status, content_type", [
    ("/", 200, "text/html; charset=utf-8"),
    ("/static/viewer.js", 200, "text/javascript; charset=utf-8"),
    ("/static/viewer.css", 200, "text/css; charset=utf-8"),
    ("/static/../server.py", 404, "application/json"),
    ("/static/%2e%2e/model.py", 404, "application/json"),
    ("/../../etc/passwd", 404, "application/json"),
    ("/nothing", 404, "application/json"),
])
def test_static_pages(viewer, path, status, content_type):
    code, headers, body = request(viewer, path)
    assert (code, headers["Content-Type"]) == (status, content_type)
    # The pages may load their own files only.
    assert "default-src 'none'" in headers["Content-Security-Policy"]
    assert headers["X-Content-Type-Options"] == "nosniff"
    if path == "/":
        assert b"https:" not in body and b"http:" not in body


@pytest.mark.parametrize("endpoint, params, status", [
    ("summary", {"trace": "trc_unknown"}, 404),
    ("summary", {"trace": None}, 400),
    ("node", {"node": "x"}, 400),
    ("node", {"node": "-1"}, 404),
    ("node", {"node": "999999"}, 404),
    ("children", {"node": "0", "offset": "many"}, 400),
    ("timeline", {"thread": "0", "begin": "0", "finish": "nan-ish"}, 400),
    ("timeline", {"thread": "0", "begin": "-inf", "finish": "1"}, 400),
    ("timeline", {"thread": "7", "begin": "0", "finish": "1"}, 404),
    ("search", {"q": "x", "direction": "sideways"}, 400),
    ("flame", {"thread": "9"}, 404),
    ("flame", {}, 400),
    ("functions", {"thread": "one"}, 400),
    ("calls", {"qualname": "app.nothing", "path": "app.py"}, 404),
    ("calls", {"qualname": "app.nothing"}, 400),
    ("calls", {"thread": "0", "call_path": '[["app.nothing", "app.py"]]'}, 404),
    ("calls", {"thread": "0", "call_path": "[1, 2]"}, 400),
    ("calls", {"thread": "0", "call_path": "not json"}, 400),
    ("nothing", {}, 404),
])
def test_bad_requests_get_a_json_error(viewer, endpoint, params, status):
    params.setdefault("trace", viewer.ids["example"])
    params = {key: value for key, value in params.items() if value is not None}
    assert "error" in get(viewer, endpoint, status=status, **params)


# ---- the API ----


def test_trace_list_is_newest_first_with_its_summary(viewer):
    listed = get(viewer, "traces")["traces"]
    assert [entry["trace_id"] for entry in listed] == [viewer.ids[key] for key in ("hostile", "flat", "example")]
    example = listed[2]
    assert example["source"].endswith("shop_app.py") and example["records"] > 40 and example["size"] > 0
    assert example["threads"] == 3 and example["duration"] > 0 and example["test"] is None
    assert (example["status"], example["dropped_events"]) == (None, None)


def test_trace_list_shows_the_test_of_a_test_trace(db_path):
    doc = document([
        plugin("start_test", 1.0, nodeid="tests/test_app.py::test_pay", file="tests/test_app.py"),
        call("test_pay", "f1", 1.1), ret("test_pay", "f1", 1.2),
        plugin("end_test", 1.3, nodeid="tests/test_app.py::test_pay", file="tests/test_app.py", outcome="failed"),
    ])
    save(db_path, doc)
    with running_viewer(db_path) as server:
        listed = get(server, "traces")["traces"]
    test = {"nodeid": "tests/test_app.py::test_pay", "outcome": "failed"}
    assert listed[0]["test"] == test
    # From the test's start to its end, not from the profiler's start.
    assert listed[0]["threads"] == 1 and listed[0]["duration"] == pytest.approx(0.3)


def test_summary_tree_and_details_of_the_example(viewer):
    trace_id = viewer.ids["example"]
    summary = get(viewer, "summary", trace=trace_id)
    assert [thread["name"] for thread in summary["threads"]] == ["MainThread", "stock-check", "stock-check"]
    roots = get(viewer, "roots", trace=trace_id, thread=0)
    assert [row["name"] for row in roots["rows"]] == ["__main__.<module>"]
    children = get(viewer, "children", trace=trace_id, node=roots["rows"][0]["id"])["rows"]
    assert [row["name"] for row in children] == [
        "shop.<module>", "shop.services.<module>", "__main__.main"]

    place_order = find(viewer, trace_id, "place_order")
    assert place_order["arguments"].startswith("customer='ada', wanted={")
    details = get(viewer, "node", trace=trace_id, node=place_order["id"])
    assert details["arguments"]["customer"] == "ada"
    assert details["return_value"]["$repr"].startswith("<shop.models.DiscountedOrder object")
    assert {"order", "items"} <= set(details["locals_at_return"])
    assert details["thread_name"] == "MainThread"
    # Called from main(), which is its parent in the tree.
    main = get(viewer, "node", trace=trace_id, node=details["call_site"]["node"])
    assert main["name"] == "__main__.main"
    assert details["path"][-2:] == [main["id"], place_order["id"]]
    assert re.search(r"shop_app\.py:\d+$", details["call_site"]["location"])

    log_record = [row for row in get(viewer, "children", trace=trace_id, node=place_order["id"])["rows"]
                  if row["kind"] == "plugin"]
    assert [row["text"] for row in log_record] == ["log INFO shop: order for ada: 2 items  (" +
                                                   os.path.join(os.path.dirname(main["location"]), "shop", "services.py") + ":25)"]


def test_source_lines_come_from_the_file_the_trace_names(viewer):
    trace_id = viewer.ids["example"]
    place_order = find(viewer, trace_id, "place_order")
    source = get(viewer, "source", trace=trace_id, node=place_order["id"])
    assert source["available"] and source["file"].endswith("services.py")
    current = [line["text"] for line in source["lines"] if line["number"] == source["line"]]
    assert current == ["def place_order(customer, wanted):"]


@pytest.mark.parametrize("kind", ["fifo", "directory", "missing"])
def test_source_of_what_is_not_a_regular_file_is_not_read(tmp_path, kind):
    target = tmp_path / "app.py"
    if kind == "fifo":
        os.mkfifo(target)  # opening it for reading would block
    elif kind == "directory":
        target.mkdir()
    db_path = tmp_path / "traces.sqlite3"
    trace_id = save_one_call_at(db_path, f"{target}:1")
    with running_viewer(db_path) as server:
        source = get(server, "source", trace=trace_id, node=0)
    assert source["available"] is False and str(target) in source["reason"]


def save_one_call_at(db_path, location):
    """Save a trace of one call whose records name ``location``; its id."""
    doc = document([call("f", "f1", 1.0), ret("f", "f1", 2.0)])
    for record in doc["frames_of_interest"]:
        record["path"] = location
    return save(db_path, doc)


SECRET = "zelm-test-secret-b1e7"


@pytest.fixture
def project(tmp_path, monkeypatch):
    """A program's directory, the working directory, with its source app.py;
    beside it files that are no source of it: secret.py one level up,
    secret.txt and a link.py to it inside."""
    project = tmp_path / "project"
    (project / "sub").mkdir(parents=True)
    (project / "app.py").write_text("def app():\n    pass\n")
    (project / "secret.txt").write_text(SECRET + "\n")
    (project / "link.py").symlink_to(project / "secret.txt")
    (tmp_path / "secret.py").write_text(SECRET + " = 1\n")
    monkeypatch.chdir(project)
    return project


@pytest.mark.parametrize("location, shown", [
    ("app.py:1", True),
    ("{project}/app.py:1", True),
    ("sub/../app.py:1", True),
    ("/etc/passwd:1", False),
    ("/proc/self/environ:1", False),
    ("/proc/self/root{project}/app.py:1", False),  # source, but seen through the kernel's files
    ("../secret.py:1", False),
    ("{project}/../secret.py:1", False),
    ("secret.txt:1", False),
    ("link.py:1", False),
])
def test_source_is_read_only_from_the_programs_python_files(project, location, shown):
    location = location.format(project=project)
    db_path = project.parent / "traces.sqlite3"
    trace_id = save_one_call_at(db_path, location)
    with running_viewer(db_path) as server:
        source = get(server, "source", trace=trace_id, node=0)
    assert source["available"] is shown, source
    if shown:
        assert [line["text"] for line in source["lines"]] == ["def app():", "    pass"]
    else:
        assert source["reason"].startswith(location.rpartition(":")[0] + " ")
        assert SECRET not in json.dumps(source) and "PATH=" not in json.dumps(source)


def test_children_come_in_pages(viewer):
    trace_id = viewer.ids["flat"]
    first = get(viewer, "children", trace=trace_id, node=0)
    assert (first["offset"], first["total"], len(first["rows"])) == (0, 1000, 200)
    later = get(viewer, "children", trace=trace_id, node=0, offset=800)
    assert [row["id"] for row in later["rows"]] == list(range(801, 1001))
    # The page that holds a given node, for revealing it.
    holding = get(viewer, "children", trace=trace_id, node=0, containing=555)
    assert holding["offset"] == 400 and 555 in [row["id"] for row in holding["rows"]]


def test_search_steps_through_the_matches_and_wraps(viewer):
    trace_id = viewer.ids["flat"]
    first = get(viewer, "search", trace=trace_id, q="LEAF1")
    assert (first["count"], first["index"], first["node"]["name"]) == (333, 0, "app.leaf1")
    second = get(viewer, "search", trace=trace_id, q="leaf1", current=first["node"]["id"])
    assert second["index"] == 1 and second["node"]["id"] > first["node"]["id"]
    last = get(viewer, "search", trace=trace_id, q="leaf1", current=first["node"]["id"], direction="previous")
    assert last["index"] == 332
    assert get(viewer, "search", trace=trace_id, q="leaf1", current=last["node"]["id"])["index"] == 0
    assert get(viewer, "search", trace=trace_id, q="nothing")["count"] == 0
    assert get(viewer, "search", trace=trace_id, q="leaf", thread=0)["count"] == 1000


@pytest.mark.parametrize("width, merged", [(100, True), (100000, False)])
def test_timeline_merges_calls_narrower_than_a_pixel(viewer, width, merged):
    trace_id = viewer.ids["flat"]
    timeline = get(viewer, "timeline", trace=trace_id, thread=0, begin=0, finish=0.002, width=width)
    leaves = [box for box in timeline["boxes"] if box[1] == 1]
    # Every call is in exactly one box, merged or not.
    assert sum(box[4] for box in leaves) == 1000
    assert (len(leaves) < 1000) is merged
    assert all(box[5] is None for box in leaves if box[4] > 1)


def test_timeline_holds_only_the_visible_window(viewer):
    trace_id = viewer.ids["flat"]
    timeline = get(viewer, "timeline", trace=trace_id, thread=0, begin=0.0010005, finish=0.0010095, width=1000)
    leaves = sorted(box[0] for box in timeline["boxes"] if box[1] == 1)
    # Calls 500 .. 504 (node ids 501 ..) overlap the window, no others.
    assert leaves == [501, 502, 503, 504, 505]


def test_plugin_records_are_marks_on_the_timeline(viewer):
    trace_id = viewer.ids["hostile"]
    timeline = get(viewer, "timeline", trace=trace_id, thread=0, begin=0, finish=1.0, width=500)
    assert [mark[4] for mark in timeline["marks"]] == ["log_message"]


def test_values_come_back_as_json_text(viewer):
    trace_id = viewer.ids["hostile"]
    details = get(viewer, "node", trace=trace_id, node=0)
    assert details["name"] == "app." + HOSTILE[1]
    assert details["arguments"] == {"payload": HOSTILE[0], HOSTILE[2]: [HOSTILE[1]]}
    assert details["return_value"] == HOSTILE[2]


def test_records_the_reader_keeps_as_placeholders_show_in_the_tree(db_path):
    doc = document([call("f", "f1", 1.0), HOSTILE[0], ret("f", "f1", 2.0)])
    trace_id = save(db_path, doc)
    with running_viewer(db_path) as server:
        rows = get(server, "children", trace=trace_id, node=0)["rows"]
        details = get(server, "node", trace=trace_id, node=rows[0]["id"])
    assert [(row["kind"], row["text"]) for row in rows] == [("plugin", "plugin record " + HOSTILE[0])]
    assert details["data"] == {"value": HOSTILE[0]}


def test_a_call_left_by_raising_shows_what_it_raised_instead_of_a_return_value(db_path):
    exception = {"type": "exception", "frame_id": "f1", "exception_type": "ValueError",
                 "exception": "ValueError('bad input')", "timestamp": 2.0}
    doc = document([call("f", "f1", 1.0), ret("f", "f1", 2.0), exception, call("g", "g1", 3.0), ret("g", "g1", 4.0)])
    trace_id = save(db_path, doc)
    with running_viewer(db_path) as server:
        rows = get(server, "roots", trace=trace_id, thread=0)["rows"]
        details = [get(server, "node", trace=trace_id, node=row["id"]) for row in rows]
    assert [(row["name"], row["raised"]) for row in rows] == [("app.f", "ValueError('bad input')"), ("app.g", None)]
    assert [node["raised"] for node in details] == ["ValueError('bad input')", None]
    assert [row["failure"] for row in rows] == [node["failure"] for node in details] == [True, False]


# ---- failures, and where a trace page opens ----


def index_of(doc):
    """The viewer's index of ``doc``, as the server builds it."""
    return model.TraceIndex.from_documents([msgpack.packb(doc)])


@pytest.mark.parametrize("record_type, data, failure", [
    ("end_test", {"nodeid": "t", "outcome": "failed"}, True),
    ("end_test", {"nodeid": "t", "outcome": "errored"}, True),
    ("end_test", {"nodeid": "t", "outcome": "passed"}, False),
    ("end_test", {"nodeid": "t", "outcome": "xfailed"}, False),
    ("inbound_response", {"status": 500, "error": "RuntimeError: boom"}, True),
    ("inbound_response", {"status": "503 Service Unavailable"}, True),
    ("inbound_response", {"status": 404}, False),
    ("inbound_response", {"status": True}, False),
    ("inbound_request", {"method": "GET", "path": "/500"}, False),
    ("log_message", {"level": "ERROR", "logger": "app", "message": "m"}, True),
    ("log_message", {"level": "CRITICAL", "logger": "app", "message": "m"}, True),
    ("log_message", {"level": "Level 45", "logger": "app", "message": "m"}, True),
    ("log_message", {"level": "WARNING", "logger": "app", "message": "m"}, False),
    ("log_message", {"level": "Level 35", "logger": "app", "message": "m"}, False),
])
def test_plugin_records_that_tell_of_a_failure_are_marked(record_type, data, failure):
    index = index_of(document([call("f", "f1", 1.0), plugin(record_type, 1.5, **data), ret("f", "f1", 2.0)]))
    assert index.row(1)["kind"] == "plugin"
    assert index.row(1)["failure"] is index.details(1)["failure"] is failure


@pytest.mark.parametrize("location, line, text, reason", [
    ("{project}/app.py:2", 2, "    pass", None),
    ("{project}/app.py:9", 9, None, "{project}/app.py has no line 9 now"),
    ("{project}/secret.txt:1", 1, None, "{project}/secret.txt is not a Python source file"),
    ("{project}/app.py", None, None, "the trace holds no line for it"),
])
def test_details_of_a_raised_call_show_the_line_it_was_left_at(project, location, line, text, reason):
    location, reason = location.format(project=project), reason and reason.format(project=project)
    doc = document([call("f", "f1", 1.0), ret("f", "f1", 2.0), raised("f1", 2.0, "ValueError('bad')", location),
                    call("g", "g1", 3.0), ret("g", "g1", 4.0)])
    index = index_of(doc)
    assert [index.details(node_id)["raised_at"] for node_id in (0, 1)] == [
        {"location": location, "line": line, "text": text, "reason": reason}, None]


def opened_on(summary, index):
    opening = summary["opening"]
    return opening["reason"], index.name(opening["node"]), [index.name(node_id) for node_id in opening["path"]]


@pytest.mark.parametrize("outcome", ["failed", "errored"])
def test_a_failed_tests_trace_opens_on_the_call_its_failure_was_raised_in(outcome):
    index = index_of(recorded_test_document(outcome))
    opening = index.summary()["opening"]
    # Not the parse that raised first (caught), nor teardown's cleanup:
    # the second parse of total, whose exception left the test.
    test_total = index.threads[0].roots[1]
    total = list(index.children_ids(test_total))[1]
    raising_parse = list(index.children_ids(total))[1]
    assert opening == {"node": raising_parse, "path": [test_total, total, raising_parse], "reason": "failure"}


@pytest.mark.parametrize("doc, path", [
    (heaviest_path_document(), ["app.root", "app.b", "app.d", "app.e"]),
    (recorded_test_document("passed"), ["app.test_total", "app.total", "app.parse"]),
    # Thirty calls nested: the page opens the top ones only.
    (document([call(f"f{depth}", f"f{depth}", 1.0 + depth) for depth in range(30)]
              + [ret(f"f{depth}", f"f{depth}", 100.0 - depth) for depth in reversed(range(30))]),
     [f"app.f{depth}" for depth in range(model.HEAVIEST_PATH_CALLS)]),
])
def test_another_trace_opens_its_longest_path_on_its_top_call(doc, path):
    index = index_of(doc)
    assert opened_on(index.summary(), index) == ("heaviest", path[0], path)


def test_a_trace_without_calls_opens_on_nothing():
    assert index_of(document([plugin("log_message", 1.0, level="INFO", logger="a", message="m")])).summary()["opening"] is None


def test_a_cut_trace_says_where_and_how_much_it_dropped(viewer, db_path):
    trace_id = save(db_path, cut_document())
    with running_viewer(db_path) as server:
        summary = get(server, "summary", trace=trace_id)
        [work] = get(server, "children", trace=trace_id, node=0)["rows"]
        [gap] = get(server, "children", trace=trace_id, node=work["id"])["rows"]
    assert gap["name"] == "trace_cut"
    assert summary["cut"] == {"dropped_events": 1234, "budget_bytes": 1024 * 1024, "gaps": [{
        "node": gap["id"], "thread": 0, "thread_name": "MainThread", "dropped_events": 1234,
        "from": 1.5, "until": 3.0, "qualname": "app.work", "location": "app.py:4"}]}
    assert get(viewer, "summary", trace=viewer.ids["example"])["cut"] is None


# ---- where the time went ----


@pytest.mark.parametrize("thread", [0, ""])
def test_function_table_adds_up_each_functions_calls(recursive_viewer, thread):
    server = recursive_viewer
    trace_id = server.ids["recursive"]
    table = get(server, "functions", trace=trace_id, thread=thread)
    expected = function_figures(trace_reader.load(server.db_path, trace_id))
    shown = {(entry["qualname"], entry["path"]): entry for entry in table["functions"]}
    assert shown.keys() == expected.keys()
    for key, figures in expected.items():
        entry = shown[key]
        assert (entry["calls"], entry["outermost"]) == (figures["calls"], figures["outermost"]), key
        for name in ("total", "self", "max"):
            assert entry[name] == pytest.approx(figures[name], abs=1e-9), (key, name)
        assert entry["mean"] == pytest.approx(figures["total"] / figures["outermost"], abs=1e-9)
        assert "nodes" not in entry  # the server pages through a function's calls itself
    names = [entry["qualname"] for entry in table["functions"]]
    assert names[:2] == ["__main__.<module>", "__main__.main"]  # heaviest total first
    fib = shown[next(key for key in shown if key[0] == "__main__.fib")]
    # fib(6) and fib(4) make 25 and 9 calls; only the two outermost count towards the total.
    assert (fib["calls"], fib["outermost"]) == (34, 2)
    slow = shown[next(key for key in shown if key[0] == "__main__.slow_leaf")]
    assert slow["self"] >= 0.25 and slow["self"] == max(entry["self"] for entry in shown.values())


def test_rows_and_details_carry_self_time(recursive_viewer):
    server = recursive_viewer
    trace_id = server.ids["recursive"]
    main = find(server, trace_id, "__main__.main")
    children = get(server, "children", trace=trace_id, node=main["id"])["rows"]
    assert [row["name"] for row in children] == ["__main__.fib", "__main__.slow_leaf", "__main__.fib"]
    assert main["self"] == pytest.approx(main["duration"] - sum(row["duration"] for row in children), abs=1e-9)
    slow = children[1]
    assert slow["self"] == slow["duration"] and slow["self"] >= 0.25
    assert get(server, "node", trace=trace_id, node=main["id"])["self"] == main["self"]


def test_calls_of_a_function_come_in_pages(viewer):
    trace_id = viewer.ids["flat"]
    first = get(viewer, "calls", trace=trace_id, qualname="app.leaf1", path="app.py")
    later = get(viewer, "calls", trace=trace_id, qualname="app.leaf1", path="app.py", offset=200)
    assert (first["offset"], first["total"], len(first["rows"])) == (0, 333, 200)
    assert (later["offset"], later["total"], len(later["rows"])) == (200, 333, 133)
    # Every third leaf, in the order they ran: leaf1 is call 1, 4, 7 ... under the root.
    assert [row["id"] for row in first["rows"] + later["rows"]] == list(range(2, 1001, 3))
    assert {row["name"] for row in later["rows"]} == {"app.leaf1"}


def flame_boxes(node, call_path=()):
    """(call path, node) of every box below the root of a flame graph."""
    for child in node["children"]:
        child_path = call_path + ((child["qualname"], child["path"]),)
        yield child_path, child
        yield from flame_boxes(child, child_path)


def test_flame_graph_boxes_list_the_calls_on_their_path(recursive_viewer):
    server = recursive_viewer
    trace_id = server.ids["recursive"]
    graph = get(server, "flame", trace=trace_id, thread=0)
    assert graph["name"] == "all" and not graph["truncated"]
    boxes = dict(flame_boxes(graph))
    names = {call_path: [name for name, _ in call_path] for call_path in boxes}
    main_path = next(path for path in boxes if names[path] == ["__main__.<module>", "__main__.main"])
    # Left-heavy: the slow leaf outweighs both fib trees under main.
    assert [child["qualname"] for child in boxes[main_path]["children"]] == ["__main__.slow_leaf", "__main__.fib"]
    for call_path, box in boxes.items():
        calls = get(server, "calls", trace=trace_id, thread=0, call_path=json.dumps(call_path))
        assert calls["total"] == box["calls"], names[call_path]
        assert sum(row["duration"] for row in calls["rows"]) == pytest.approx(box["total"], abs=1e-9)
        assert all(len(get(server, "node", trace=trace_id, node=row["id"])["path"]) == len(call_path)
                   for row in calls["rows"])
    # fib(6) and fib(4) from main call fib(5), fib(4), fib(3) and fib(2).
    fib = ("__main__.fib", main_path[-1][1])
    assert boxes[main_path + (fib, fib)]["calls"] == 4


# ---- the commands ----


def test_view_command_serves_until_interrupted(viewer):
    process = start_python("-m", "zelm", "view", "--db", viewer.db_path, "latest", "--no-browser")
    try:
        line = process.stdout.readline()
        match = re.fullmatch(r"zelm: viewer at http://127\.0\.0\.1:(\d+)(/[\w-]{32,}/)#trace=(\S+) \(Ctrl-C ends it\)\n",
                             line)
        assert match, line  # (the process serves on: its stderr would never end)
        assert match.group(3) == viewer.ids["hostile"]
        for path, status in ((match.group(2) + "api/traces", 200), ("/api/traces", 403)):
            connection = http.client.HTTPConnection("127.0.0.1", int(match.group(1)), timeout=30)
            connection.request("GET", path)
            assert connection.getresponse().status == status
            connection.close()
        process.send_signal(signal.SIGINT)
        stdout, stderr = process.communicate(timeout=30)
    finally:
        process.kill()
        process.wait()
    assert (process.returncode, stdout, stderr) == (0, "zelm: viewer stopped\n", "")


@pytest.mark.parametrize("args, message", [
    (["trc_unknown"], "zelm: error: no trace trc_unknown in "),
    (["--db", "missing.sqlite3"], "zelm: error: cannot read trace database missing.sqlite3: no such file"),
])
def test_view_command_errors(viewer, tmp_path, args, message):
    if "--db" not in args:
        args = ["--db", viewer.db_path, *args]
    result = run_python("-m", "zelm", "view", "--no-browser", *args, cwd=tmp_path, timeout=60)
    assert result.returncode == 1 and result.stderr.startswith(message) and result.stderr.count("\n") == 1, result.stderr


@pytest.mark.parametrize("port", ["in use", 70000])
def test_view_command_reports_a_port_it_cannot_take(viewer, port):
    port = viewer.port if port == "in use" else port
    result = run_python("-m", "zelm", "view", "--db", viewer.db_path, "--no-browser", "--port", port, timeout=60)
    assert result.returncode == 1
    assert result.stderr.startswith(f"zelm: error: cannot serve the viewer on 127.0.0.1:{port}: ")
    assert result.stderr.count("\n") == 1, result.stderr


def test_html_export_embeds_the_trace_as_inert_text(viewer, tmp_path):
    output = tmp_path / "trace.html"
    result = run_python("-m", "zelm", "export", "--db", viewer.db_path, viewer.ids["hostile"], "--format", "html",
                        "-o", output, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stderr.startswith(f"zelm: wrote trace {viewer.ids['hostile']} as a viewer page of ")
    page = output.read_text()
    # Nothing to fetch: no link to any file or address.
    assert not re.search(r"(src|href)=\"(?!#)", page)
    data = re.search(r'<script type="application/json" id="zelm-data">(.*?)</script>', page, re.S).group(1)
    assert "<" not in data  # no value can close the element
    embedded = json.loads(data)
    assert embedded["nodes"]["0"]["return_value"] == HOSTILE[2]
    # The data and the page's own scripts, each closed once: no value added one.
    from zelm.view.server import static_files
    assert page.count("</script>") == 1 + static_files()["index.html"].decode().count("<script ")


def test_html_export_embeds_no_file_but_python_source(project):
    from zelm.cli.main import main

    db_path = project.parent / "traces.sqlite3"
    trace_id = save_one_call_at(db_path, f"{project}/secret.txt:1")
    output = project / "trace.html"
    assert main(["export", "--db", str(db_path), trace_id, "--format", "html", "-o", str(output)]) == 0
    page = output.read_text()
    assert "is not a Python source file" in page and SECRET not in page


def test_html_export_refuses_a_trace_over_its_limit(viewer, tmp_path, monkeypatch):
    monkeypatch.setattr(export, "MAX_NODES", 100)
    from zelm.cli.main import main

    output = tmp_path / "trace.html"
    status = main(["export", "--db", str(viewer.db_path), viewer.ids["flat"], "--format", "html", "-o", str(output)])
    assert status == 1 and not output.exists()


# ---- the list from the store's summary, and the source of the recorded file ----


def web_document(records, trace_id="trc_01HZX3Q5R8W6N2K9F4T7B1WEB0"):
    return document(records, trace_id=trace_id)


def test_the_list_joins_the_parts_of_a_trace_saved_in_parts(db_path):
    from test_trace_reader import MAIN, WORKER

    request = plugin("inbound_request", 3.0, method="POST", path="/pay", query_string="", headers=[], body_size=0)
    response = plugin("inbound_response", 3.4, status=500, headers=[], body_size=0, duration=0.4, error=None)
    cut = {"type": "trace_cut", "dropped_events": 7, "timestamp": 3.2, "thread_native_id": MAIN}
    save(db_path, web_document([request, call("pay", "f1", 3.1)]))
    save(db_path, {**web_document([cut, ret("pay", "f1", 3.3), response]),
                   "frames": {WORKER: [call("w", "w1", 3.35, thread=WORKER)]}})

    with running_viewer(db_path) as server:
        (listed,) = get(server, "traces")["traces"]

    assert {key: listed[key] for key in ("parts", "records", "threads", "dropped_events", "method", "path",
                                         "status")} == {"parts": 2, "records": 6, "threads": 2, "dropped_events": 7,
                                                        "method": "POST", "path": "/pay", "status": 500}
    assert listed["duration"] == pytest.approx(0.4)


@pytest.fixture
def recorded_elsewhere(tmp_path, monkeypatch):
    """A trace of a call in "app.py", a relative name, saved from the
    directory "ran", and the viewer run from "other", which holds another
    app.py: (database, trace id, the recorded file)."""
    ran, other = tmp_path / "ran", tmp_path / "other"
    for directory, name in ((ran, "recorded"), (other, "impostor")):
        directory.mkdir()
        (directory / "app.py").write_text(f"def {name}():\n    return 1\n")
    db_path = tmp_path / "traces.sqlite3"
    monkeypatch.chdir(ran)
    import time

    # Recorded after the files were written.
    now = time.time()
    doc = document([call("f", "f1", now), ret("f", "f1", now + 1)], timestamp=now)
    for record in doc["frames_of_interest"]:
        record["path"] = "app.py:1"
    trace_id = save(db_path, doc)
    monkeypatch.chdir(other)
    return db_path, trace_id, ran / "app.py"


def shown_source(db_path, trace_id, how):
    """The source pane's answer for node 0, from the server or from an HTML export."""
    if how == "server":
        with running_viewer(db_path) as server:
            return get(server, "source", trace=trace_id, node=0)
    output = db_path.parent / "export.html"
    export.export_html(db_path, trace_id, output)
    page = output.read_text()
    data = json.loads(page.split('id="zelm-data">', 1)[1].split("</script>", 1)[0])
    return data["sources"][data["nodes"]["0"]["location"]]


@pytest.mark.parametrize("how", ["server", "export"])
@pytest.mark.parametrize("change", ["none", "directory unknown", "file changed", "file gone"])
def test_the_source_is_the_recorded_file_never_one_of_the_same_name(recorded_elsewhere, change, how):
    db_path, trace_id, recorded = recorded_elsewhere
    if change == "directory unknown":  # saved before the directory was kept
        import sqlite3

        with sqlite3.connect(db_path) as connection:
            connection.execute("UPDATE traces SET working_directory = NULL")
    elif change == "file changed":
        later = os.stat(recorded).st_mtime + 3600
        os.utime(recorded, (later, later))
    elif change == "file gone":
        recorded.unlink()

    source = shown_source(db_path, trace_id, how)

    assert "impostor" not in json.dumps(source)
    if change in ("none", "file changed"):
        assert [line["text"] for line in source["lines"]] == ["def recorded():", "    return 1"]
        assert (source["note"] is not None) == (change == "file changed")
        assert change == "none" or "app.py changed after the trace was recorded" in source["note"]
    else:
        assert source["available"] is False
        assert ("does not say which directory" if change == "directory unknown" else
                f"app.py is gone: there is no {recorded}") in source["reason"]
