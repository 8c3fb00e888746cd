"""zelm.web's middleware: one trace per request under real servers (Flask
and Django under waitress, Starlette under uvicorn, all on 127.0.0.1) with
concurrent clients, and the middleware's rules checked in-process."""

import asyncio
import datetime
import glob
import io
import json
import os
import random
import re
import signal
import socket
import subprocess
import sys
import threading
import time
import wsgiref.util
from collections import Counter
from concurrent.futures import ThreadPoolExecutor
from contextlib import redirect_stdout
from typing import NamedTuple

import msgpack
import pytest
import web_servers
from conftest import TESTS_DIR, all_records, decode, frame_records, locked_database, run_python, start_python

from zelm import store
from zelm.cli.main import main as zelm_main
from zelm.web import ASGIMiddleware, Keep, WSGIMiddleware, flush, tracing

SERVERS = {"flask": ["flask", "waitress"], "django": ["django", "waitress"], "starlette": ["starlette", "uvicorn"]}
CONCURRENT = 8
HELLO_COUNT = 16
SECRETS = {"Authorization": "Bearer secret-token", "Cookie": "session=secret-cookie"}
# The frames each route's request may record (names of web_servers.py's functions).
ROUTE_FRAMES = {
    "hello": {"hello", "compute"},
    "stream": {"stream", "chunks", "async_chunks"},
    "fail": {"failing", "fail"},
}


class Exchange(NamedTuple):
    path: str
    status: int
    body: bytes
    trace: object  # the X-Zelm-Trace header, or None
    plain_status: int
    plain_body: bytes


class Served(NamedTuple):
    kind: str
    db_path: str
    exchanges: list
    stats: dict


def start_server(kind, db_path):
    process = start_python(os.path.join(TESTS_DIR, "web_servers.py"), kind, db_path, stderr=subprocess.DEVNULL)
    port_line = []
    reader = threading.Thread(target=lambda: port_line.append(process.stdout.readline()), daemon=True)
    reader.start()
    reader.join(60)
    if not port_line or not port_line[0].startswith("PORT "):
        process.kill()
        pytest.fail(f"the {kind} server did not start: {port_line}")
    return process, f"http://127.0.0.1:{int(port_line[0].split()[1])}"


def stop_server(process):
    process.terminate()
    try:
        process.wait(10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(10)


def wait_for_traces(db_path, count, timeout=30):
    """Traces are stored after their response is sent: wait until ``count`` are."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(db_path) and len(store.list_traces(db_path)) >= count:
            return
        time.sleep(0.05)


@pytest.fixture(scope="module", params=list(SERVERS))
def served(request, tmp_path_factory):
    """One server per kind and module; its requests are sent once: HELLO_COUNT
    hellos CONCURRENT at a time, a streamed body, a failing view and an
    excluded path, each also sent to the app without the middleware."""
    for module in SERVERS[request.param]:
        pytest.importorskip(module)
    httpx = pytest.importorskip("httpx")
    db_path = str(tmp_path_factory.mktemp(request.param) / "traces.sqlite3")
    process, base_url = start_server(request.param, db_path)
    try:
        with httpx.Client(base_url=base_url, timeout=30) as client:
            def exchange(path):
                headers = {**SECRETS, "X-Request-Path": path}
                if path == "/fail":
                    # uvicorn closes a connection whose app raised: keep it out of the pool.
                    headers["Connection"] = "close"
                response = client.get(path, params={"q": path}, headers=headers)
                plain = client.get(path, params={"q": path}, headers={**headers, "X-Plain": "1"})
                return Exchange(path, response.status_code, response.content, response.headers.get("x-zelm-trace"),
                                plain.status_code, plain.content)

            paths = [f"/hello/{n}" for n in range(1, HELLO_COUNT + 1)] + ["/stream/5", "/fail", "/static/logo.png"]
            with ThreadPoolExecutor(CONCURRENT) as pool:
                exchanges = list(pool.map(exchange, paths))
            stats = client.get("/stats").json()
        wait_for_traces(db_path, sum(1 for exchange in exchanges if str(exchange.trace).startswith("trc_")))
    finally:
        stop_server(process)
    return Served(request.param, db_path, exchanges, stats)


def traced(served):
    return [exchange for exchange in served.exchanges if exchange.trace not in (None, "skipped")]


def test_responses_are_those_of_the_app_without_middleware(served):
    for exchange in served.exchanges:
        assert (exchange.status, exchange.body) == (exchange.plain_status, exchange.plain_body), exchange.path
    statuses = {exchange.path: exchange.status for exchange in served.exchanges}
    assert (statuses["/hello/3"], statuses["/stream/5"], statuses["/fail"]) == (200, 200, 500)
    [excluded] = [exchange for exchange in served.exchanges if exchange.path.startswith("/static/")]
    assert excluded.trace is None
    assert all(exchange.trace is not None for exchange in served.exchanges if exchange is not excluded)


def test_counts_match_the_marked_responses_and_the_stored_traces(served):
    marks = [exchange.trace for exchange in served.exchanges]
    stored = store.list_traces(served.db_path)
    assert served.stats == {"traced": len(traced(served)), "skipped": marks.count("skipped")}
    assert sorted(entry.trace_id for entry in stored) == sorted(exchange.trace for exchange in traced(served))
    assert {entry.trace_id: entry.source for entry in stored} == {
        exchange.trace: f"GET {exchange.path}" for exchange in traced(served)
    }
    # Requests served side by side, by threads or interleaving on one event loop, are each traced.
    assert served.stats == {"traced": len(served.exchanges) - 1, "skipped": 0}


def test_each_trace_holds_its_own_request_between_inbound_records(served):
    for exchange in traced(served):
        [document] = store.load_trace_documents(served.db_path, exchange.trace)
        records = all_records(decode(document))
        types = [record["type"] for record in records]
        assert types[0] == "inbound_request" and types[-1] == "inbound_response", types
        assert types.count("inbound_request") == types.count("inbound_response") == 1
        request, response = records[0], records[-1]
        assert (request["method"], request["path"], request["query_string"]) == (
            "GET", exchange.path, "q=" + exchange.path.replace("/", "%2F"))
        assert (response["status"], response["body_size"]) == (exchange.status, len(exchange.body))
        assert ["x-zelm-trace", exchange.trace] in response["headers"]

        frames = frame_records(decode(document))
        route = exchange.path.split("/")[1]
        names = {frame["co_name"] for frame in frames}
        assert names <= ROUTE_FRAMES[route] and names & ROUTE_FRAMES[route], (exchange.path, names)
        assert not [frame["path"] for frame in frames if "zelm/" in frame["path"]]
        # A hello's frames are those of its own n, never of a request served alongside.
        if route == "hello":
            n = int(exchange.path.split("/")[2])
            assert {frame["locals"]["n"] for frame in frames if "n" in frame["locals"]} == {n}
        if route == "stream":
            assert [frame["event"] for frame in frames if frame["co_name"] == "chunks"].count("return") == 6


def test_credentials_are_masked_in_the_request_record(served):
    exchange = traced(served)[0]
    [document] = store.load_trace_documents(served.db_path, exchange.trace)
    headers = all_records(decode(document))[0]["headers"]
    assert ["authorization", "Bearer ***"] in headers and ["cookie", "***"] in headers
    assert ["x-request-path", exchange.path] in headers
    assert not [value for _, value in headers if "secret" in value]


def test_show_describes_the_inbound_records(served, capsys):
    [exchange] = [exchange for exchange in traced(served) if exchange.path == "/stream/5"] or [traced(served)[0]]
    assert zelm_main(["show", "--db", served.db_path, exchange.trace]) == 0
    shown = capsys.readouterr().out
    assert f"* request GET {exchange.path}?q=" in shown
    assert f"* response {exchange.status}, {len(exchange.body)} bytes in " in shown


# ---- requests interleaving under uvicorn ----

# Where each /interleave request of web_servers.py calls tag, and how often.
INTERLEAVE_TAGS = {"middleware": 2, "endpoint": 1, "task": 1, "gather": 2, "task group": 1, "stream": 2, "background": 1}


def wait_for_stored(db_path, count, timeout=60):
    """Wait until ``count`` traces are stored: in the database, or in the
    fallback files the background saver writes when more wait than its
    queue holds."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            stored = len(store.list_traces(db_path)) if os.path.exists(db_path) else 0
        except store.TraceStoreError:
            stored = 0  # the saver is creating the database
        if stored + len(glob.glob(f"{glob.escape(db_path)}.trc_*.msgpack")) >= count:
            return
        time.sleep(0.05)


def stored_document(db_path, trace_id):
    fallback = f"{db_path}.{trace_id}.msgpack"
    if os.path.exists(fallback):
        with open(fallback, "rb") as file:
            return file.read()
    return store.load_trace(db_path, trace_id)


@pytest.mark.parametrize("count", [100, 500])
def test_concurrent_requests_under_uvicorn_each_get_their_own_trace(count, tmp_path):
    for module in SERVERS["starlette"] + ["anyio"]:
        pytest.importorskip(module)
    httpx = pytest.importorskip("httpx")
    db_path = str(tmp_path / "traces.sqlite3")
    process, base_url = start_server("starlette", db_path)

    async def send_at_once():
        limits = httpx.Limits(max_connections=count)
        async with httpx.AsyncClient(base_url=base_url, limits=limits, timeout=90) as client:
            # Each request waits for all the others to arrive before going on.
            return await asyncio.gather(*(client.get(f"/interleave/{n}", params={"round": "1", "of": count})
                                          for n in range(count)))

    try:
        responses = asyncio.run(send_at_once())
        wait_for_stored(db_path, count)
    finally:
        stop_server(process)

    assert [(response.status_code, response.text) for response in responses] == [
        (200, f"stream {n}\n" * 2) for n in range(count)]
    marks = [response.headers["x-zelm-trace"] for response in responses]
    assert len(set(marks)) == count and all(mark.startswith("trc_") for mark in marks)
    for n, mark in enumerate(marks):
        document = decode(stored_document(db_path, mark))
        types = [record["type"] for record in all_records(document)]
        assert (types.count("inbound_request"), types.count("inbound_response")) == (1, 1)
        assert request_numbers(document) == {n}
        assert Counter(where for _, where in tagged_calls(document)) == INTERLEAVE_TAGS


def test_a_pipelined_request_started_by_the_previous_one_gets_its_own_trace(tmp_path):
    for module in SERVERS["starlette"] + ["anyio"]:
        pytest.importorskip(module)
    db_path = str(tmp_path / "traces.sqlite3")
    process, base_url = start_server("starlette", db_path)
    host, port = base_url.rsplit("/", 1)[1].split(":")
    try:
        # Sent together on one connection: the server starts the second
        # request's task from the first one's last send, in its context,
        # while its background task is still to run.
        with socket.create_connection((host, int(port)), timeout=30) as connection:
            connection.sendall(b"".join(
                f"GET /interleave/{n}?round=pipelined{n}&of=1 HTTP/1.1\r\nHost: {host}\r\n"
                f"Connection: {'close' if n else 'keep-alive'}\r\n\r\n".encode() for n in range(2)))
            answer = b"".join(iter(lambda: connection.recv(65536), b""))
        marks = re.findall(rb"x-zelm-trace: (trc_\w+)", answer)
        wait_for_stored(db_path, 2)
    finally:
        stop_server(process)

    assert answer.count(b"HTTP/1.1 200 OK") == 2 and len(marks) == 2
    for n, mark in enumerate(marks):
        document = decode(stored_document(db_path, mark.decode()))
        assert request_numbers(document) == {n}
        assert Counter(where for _, where in tagged_calls(document)) == INTERLEAVE_TAGS


# ---- the middleware in-process ----


def wsgi_app(environ, start_response):
    start_response("200 OK", [("Content-Type", "text/plain"), ("Set-Cookie", "session=secret")])
    if environ["PATH_INFO"] == "/raise":
        raise LookupError("from the app")
    return [b"ok"]


async def asgi_app(scope, receive, send):
    asgi_app.scopes.append((scope["type"], send))
    if scope["type"] != "http":
        return
    await send({"type": "http.response.start", "status": 200,
                "headers": [(b"content-type", b"text/plain"), (b"set-cookie", b"session=secret")]})
    if scope["path"] == "/raise":
        raise LookupError("from the app")
    await send({"type": "http.response.body", "body": b"ok"})


asgi_app.scopes = []


def call_wsgi(middleware, path, headers=()):
    """(status, headers, body) of one request through a WSGI middleware."""
    environ = {"PATH_INFO": path, "wsgi.input": io.BytesIO()}
    for name, value in headers:
        # As a server joins a header sent twice.
        key = "HTTP_" + name.upper().replace("-", "_")
        environ[key] = f"{environ[key]}, {value}" if key in environ else value
    wsgiref.util.setup_testing_defaults(environ)
    started = {}
    body = middleware(environ, lambda status, headers, exc_info=None: started.update(status=status, headers=headers))
    try:
        content = b"".join(body)
    finally:
        getattr(body, "close", lambda: None)()
        flush()
    return started["status"], dict(started["headers"]), content


def call_asgi(middleware, path, scope_type="http", headers=()):
    """(status, headers, body) of one request through an ASGI middleware."""
    messages = []

    async def receive():
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(message):
        messages.append(message)

    try:
        scope = {"type": scope_type, "method": "GET", "path": path, "query_string": b"",
                 "headers": [(name.encode(), value.encode()) for name, value in headers]}
        asyncio.run(middleware(scope, receive, send))
    finally:
        flush()
    start = messages[0] if messages else {}
    body = b"".join(message.get("body", b"") for message in messages[1:])
    return start.get("status"), {name.decode(): value.decode() for name, value in start.get("headers", [])}, body


CALLS = {"wsgi": (WSGIMiddleware, wsgi_app, call_wsgi), "asgi": (ASGIMiddleware, asgi_app, call_asgi)}


def header(headers, name="x-zelm-trace"):
    return {key.lower(): value for key, value in headers.items()}.get(name)


@pytest.mark.parametrize("kind", list(CALLS))
def test_an_application_exception_propagates_and_its_trace_is_saved(kind, db_path):
    middleware_type, app, call = CALLS[kind]
    middleware = middleware_type(app, db=db_path)

    with pytest.raises(LookupError, match="from the app"):
        call(middleware, "/raise")
    flush()

    assert sys.getprofile() is None
    [stored] = store.list_traces(db_path)
    records = all_records(decode(store.load_trace(db_path, stored.trace_id)))
    assert (records[0]["type"], records[-1]["type"]) == ("inbound_request", "inbound_response")
    assert records[-1]["error"] == "LookupError: from the app"
    # The session the application hands out is a credential too.
    assert ["set-cookie", "***"] in records[-1]["headers"]


@pytest.mark.parametrize("kind", list(CALLS))
@pytest.mark.parametrize("failure", ["unwritable store", "bad config"])
def test_a_failure_of_zelm_leaves_the_response_alone_and_is_logged_once(kind, failure, tmp_path, zelm_warnings):
    middleware_type, app, call = CALLS[kind]
    options = {"db": str(tmp_path)} if failure == "unwritable store" else {"config": {"filters": {"include_frames": 5}}}
    middleware = middleware_type(app, **options)

    responses = [call(middleware, "/ok") for _ in range(3)]

    assert [(status, body) for status, _, body in responses] == [(responses[0][0], b"ok")] * 3
    assert str(responses[0][0]).startswith("200")
    marks = [header(headers) for _, headers, _ in responses]
    # A trace that could not be stored was still recorded and named; a profiler that did not start names none.
    assert all(mark.startswith("trc_") for mark in marks) if failure == "unwritable store" else marks == [None] * 3
    assert len(zelm_warnings()) == 1
    assert sys.getprofile() is None


@pytest.mark.parametrize("kind", list(CALLS))
@pytest.mark.parametrize(
    "options, traced_paths",
    [
        ({"sample": 0}, []),
        ({"sample": 1, "paths": {"include": ["/api/"]}}, ["/api/a", "/api/static/b"]),
        ({"paths": {"include": ["/api/"], "exclude": ["/api/static/"]}}, ["/api/a"]),
        ({"paths": {"exclude": ["/static/"]}}, ["/api/a", "/api/static/b", "/home"]),
    ],
)
def test_sampling_and_path_prefixes_choose_the_traced_requests(kind, options, traced_paths, db_path):
    middleware_type, app, call = CALLS[kind]
    middleware = middleware_type(app, db=db_path, **options)

    marks = {path: header(call(middleware, path)[1]) for path in ["/api/a", "/api/static/b", "/home", "/static/c"]}

    assert sorted(path for path, mark in marks.items() if mark is not None) == sorted(traced_paths)
    sources = sorted(entry.source for entry in store.list_traces(db_path)) if traced_paths else []
    assert sources == sorted(f"GET {path}" for path in traced_paths)


@pytest.mark.parametrize("kind", list(CALLS))
@pytest.mark.parametrize("options", [{"sample": 1.5}, {"sample": "all"}, {"paths": ["/static/"]},
                                     {"paths": {"exclude": "/static/"}}, {"paths": {"skip": ["/x"]}}])
def test_bad_options_are_refused_when_the_middleware_is_made(kind, options):
    middleware_type, app, _ = CALLS[kind]
    with pytest.raises(ValueError):
        middleware_type(app, **options)


@pytest.mark.parametrize("scope_type", ["lifespan", "websocket"])
def test_asgi_scopes_other_than_http_pass_through_untouched(scope_type, db_path):
    messages = []

    async def send(message):
        messages.append(message)

    async def run():
        middleware = ASGIMiddleware(asgi_app, db=db_path)
        await middleware({"type": scope_type}, None, send)

    asgi_app.scopes.clear()
    asyncio.run(run())

    assert asgi_app.scopes == [(scope_type, send)]
    assert not os.path.exists(db_path)


def test_asgi_request_arriving_during_a_traced_one_is_traced_apart(db_path):
    release = None

    async def app(scope, receive, send):
        # The first request waits until the second one has been served.
        if scope["path"] == "/first":
            await release.wait()
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": scope["path"].encode()})

    middleware = ASGIMiddleware(app, db=db_path)

    async def request(path):
        messages = []

        async def send(message):
            messages.append(message)

        await middleware({"type": "http", "method": "GET", "path": path, "query_string": b"", "headers": []},
                         None, send)
        return dict(messages[0]["headers"])[b"x-zelm-trace"].decode()

    async def run():
        nonlocal release
        release = asyncio.Event()
        first = asyncio.create_task(request("/first"))
        await asyncio.sleep(0)
        second = await request("/second")
        release.set()
        return await first, second, await request("/third")

    marks = asyncio.run(run())
    flush()

    assert [mark[:4] for mark in marks] == ["trc_"] * 3
    assert (middleware.traced_requests, middleware.skipped_requests) == (3, 0)
    assert {entry.trace_id: entry.source for entry in store.list_traces(db_path)} == dict(
        zip(marks, ["GET /first", "GET /second", "GET /third"]))


async def child_work(n):
    await asyncio.sleep(0)
    return n * 2


def test_asgi_tasks_started_by_a_traced_request_are_in_its_trace(db_path):

    async def app(scope, receive, send):
        doubled = await asyncio.create_task(child_work(21))
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": str(doubled).encode()})

    status, headers, body = call_asgi(ASGIMiddleware(app, db=db_path), "/child")

    assert (status, body) == (200, b"42")
    frames = frame_records(decode(store.load_trace(db_path, header(headers))))
    # Called, suspended at the sleep, resumed, returned: each step inside the trace.
    child_frames = [frame for frame in frames if frame["co_name"] == "child_work"]
    assert [frame["event"] for frame in child_frames] == ["call", "return"] * 2
    assert child_frames[-1]["arg"] == 42


# ---- requests interleaving on one event loop ----


def serve_at_once(middleware, paths):
    """Send a request for each path to an ASGI middleware, all at once on
    one event loop; their X-Zelm-Trace headers, in order."""

    async def request(path):
        messages = []

        async def receive():
            return {"type": "http.request", "body": b"", "more_body": False}

        async def send(message):
            messages.append(message)

        await middleware({"type": "http", "method": "GET", "path": path, "query_string": b"", "headers": []},
                         receive, send)
        return dict(messages[0]["headers"])[b"x-zelm-trace"].decode()

    async def run():
        return await asyncio.gather(*(request(path) for path in paths))

    try:
        return asyncio.run(run())
    finally:
        flush()


async def in_task_group(n, where):
    anyio = pytest.importorskip("anyio")
    async with anyio.create_task_group() as group:
        group.start_soon(web_servers.tagged, n, where)


# Ways a request's code runs the tagged work of request n: awaited in its
# own task, or in tasks it starts.
STARTING_WORK = {
    "awaited": lambda n: web_servers.tagged(n, "awaited"),
    "task": lambda n: asyncio.create_task(web_servers.tagged(n, "task")),
    "gather": lambda n: asyncio.gather(web_servers.tagged(n, "gather"), web_servers.tagged(n, "gather")),
    "task group": lambda n: in_task_group(n, "task group"),
}


async def tagging_app(scope, receive, send):
    """The app of /<way>/<n>: calls tagged with n, the loop running other
    requests between them."""
    _, way, n = scope["path"].split("/")
    n = int(n)
    web_servers.tag(n, "before")
    await asyncio.sleep(0)
    await STARTING_WORK[way](n)
    await asyncio.sleep(0)
    web_servers.tag(n, "after")
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": str(n).encode()})


def tagged_calls(document):
    """(n, where) of each call of web_servers.tag in a trace."""
    return [(frame["locals"]["n"], frame["locals"]["where"])
            for frame in frame_records(document, "tag") if frame["event"] == "call"]


def request_numbers(document):
    """The n of every recorded frame that has one."""
    return {frame["locals"]["n"] for frame in frame_records(document) if "n" in frame["locals"]}


def calls_pair_up(document):
    """Whether every recorded return has the id of a call recorded before it."""
    called = set()
    for frame in frame_records(document):
        if frame["event"] == "call":
            called.add(frame["frame_id"])
        elif frame["frame_id"] not in called:
            return False
    return True


def shape(document):
    """What a trace records, its ids, times and values aside: each record's
    type, event and function."""
    return [(record["type"], record.get("event"), record.get("co_name")) for record in all_records(document)]


INTERLEAVED = 20


@pytest.mark.parametrize("way", list(STARTING_WORK))
def test_interleaved_asgi_requests_each_record_only_their_own_calls(way, db_path):
    middleware = ASGIMiddleware(tagging_app, db=db_path)

    marks = serve_at_once(middleware, [f"/{way}/{n}" for n in range(INTERLEAVED)])

    assert (middleware.traced_requests, middleware.skipped_requests) == (INTERLEAVED, 0)
    wheres = {"before", way, "after"}
    for n, mark in enumerate(marks):
        document = decode(store.load_trace(db_path, mark))
        types = [record["type"] for record in all_records(document)]
        assert (types[0], types[-1], types.count("inbound_request"), types.count("inbound_response")) == (
            "inbound_request", "inbound_response", 1, 1)
        assert request_numbers(document) == {n}
        assert {where for _, where in tagged_calls(document)} == wheres
        assert calls_pair_up(document)


def test_an_asgi_request_records_the_same_alone_and_among_others(db_path):
    middleware = ASGIMiddleware(tagging_app, db=db_path)
    paths = [f"/{way}/{n}" for n in range(3) for way in STARTING_WORK]

    alone = [serve_at_once(middleware, [path])[0] for path in paths]
    together = serve_at_once(middleware, paths)

    for alone_mark, together_mark in zip(alone, together):
        assert shape(decode(store.load_trace(db_path, together_mark))) == shape(
            decode(store.load_trace(db_path, alone_mark)))


# The event loop's own functions, below every step of a request's code.
LOOP_FRAMES = {"run_forever", "_run_once", "_run", "run_until_complete", "run", "select"}


def test_the_event_loop_frames_never_appear_in_a_request_trace(db_path):
    # asyncio's files recorded too: any frame of the loop that the hook saw would be in the trace.
    middleware = ASGIMiddleware(tagging_app, db=db_path, config={"filters": {"include_frames": ["/asyncio/"]}})

    marks = serve_at_once(middleware, [f"/{way}/{n}" for n in range(4) for way in STARTING_WORK])

    for mark in marks:
        document = decode(store.load_trace(db_path, mark))
        names = {frame["co_name"] for frame in frame_records(document)}
        assert "sleep" in names  # asyncio's own, called by the request
        assert not names & LOOP_FRAMES
        assert calls_pair_up(document)


async def outer_app(scope, receive, send):
    """Its request goes on to an app behind a middleware of its own."""
    n = int(scope["path"].rsplit("/", 1)[1])
    web_servers.tag(n, "outer")
    await asyncio.sleep(0)
    await inner_middleware(scope, receive, send)
    await web_servers.tagged(n, "outer")


async def inner_app(scope, receive, send):
    n = int(scope["path"].rsplit("/", 1)[1])
    await web_servers.tagged(n + 1000, "inner")
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": b"inner"})


inner_middleware = None


def test_an_asgi_request_begun_inside_another_request_step_is_traced_on_its_own(db_path, monkeypatch):
    inner = ASGIMiddleware(inner_app, db=db_path)
    monkeypatch.setattr(sys.modules[__name__], "inner_middleware", inner)
    outer = ASGIMiddleware(outer_app, db=db_path)

    serve_at_once(outer, ["/request/1"])

    documents = [decode(store.load_trace(db_path, entry.trace_id)) for entry in store.list_traces(db_path)]
    outer_document, inner_document = sorted(documents, key=lambda document: -len(tagged_calls(document)))
    assert tagged_calls(outer_document) == [(1, "outer")] * 2
    assert tagged_calls(inner_document) == [(1001, "inner")]
    # The outer request's calls open while the inner one ran keep their ids.
    assert calls_pair_up(outer_document) and calls_pair_up(inner_document)
    events = [frame["event"] for frame in frame_records(outer_document, "outer_app")]
    assert len(events) > 2 and events == ["call", "return"] * (len(events) // 2)
    assert (outer.traced_requests, inner.traced_requests) == (1, 1)


def another_profiler(frame, event, arg):
    """A profile function of someone else's."""


@pytest.mark.parametrize("kind", list(CALLS))
def test_a_request_finding_another_profiler_on_the_thread_is_skipped(kind, db_path):
    middleware_type, app, call = CALLS[kind]
    middleware = middleware_type(app, db=db_path)

    sys.setprofile(another_profiler)
    try:
        _, headers, body = call(middleware, "/ok")
        profiler_after = sys.getprofile()
    finally:
        sys.setprofile(None)

    assert (header(headers), body) == ("skipped", b"ok")
    assert profiler_after is another_profiler
    assert (middleware.traced_requests, middleware.skipped_requests) == (0, 1)
    assert not os.path.exists(db_path)


# ---- the end of the process, a locked store, threads ----

SIGNALLED_REQUESTS = 200


@pytest.mark.parametrize("kind", ["flask", "starlette"])
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT], ids=["SIGTERM", "SIGINT"])
def test_answered_requests_are_stored_when_a_signal_stops_the_server(kind, signum, tmp_path):
    for module in SERVERS[kind]:
        pytest.importorskip(module)
    httpx = pytest.importorskip("httpx")
    db_path = str(tmp_path / "traces.sqlite3")
    process, base_url = start_server(kind, db_path)
    try:
        with httpx.Client(base_url=base_url, timeout=30) as client, ThreadPoolExecutor(CONCURRENT) as pool:
            marks = list(pool.map(lambda n: client.get(f"/quick/{n}").headers["x-zelm-trace"],
                                  range(SIGNALLED_REQUESTS)))
        # Right after the last response: the traces of the last requests are still queued.
        process.send_signal(signum)
        returncode = process.wait(30)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait(10)

    answered = {mark for mark in marks if mark.startswith("trc_")}
    assert answered
    assert {entry.trace_id for entry in store.list_traces(db_path)} == answered
    if signum == signal.SIGTERM:
        # Neither server handles SIGTERM's end itself: the process still ends by the signal.
        assert returncode == -signal.SIGTERM


LOCKED_STORE_SERVER = """\
import io, logging, sys, wsgiref.util
from zelm.web import WSGIMiddleware

logging.basicConfig(level=logging.INFO, format="%(message)s")


def app(environ, start_response):
    start_response("200 OK", [])
    return [b"ok"]


middleware = WSGIMiddleware(app, db=sys.argv[1])
for number in range(int(sys.argv[2])):
    environ = {"PATH_INFO": f"/request/{number}", "wsgi.input": io.BytesIO()}
    wsgiref.util.setup_testing_defaults(environ)
    headers = {}
    body = middleware(environ, lambda status, response_headers, exc_info=None: headers.update(response_headers))
    b"".join(body)
    body.close()
    print(headers["X-Zelm-Trace"], flush=True)
"""


def test_requests_never_wait_for_a_locked_database_and_its_traces_go_to_fallback_files(tmp_path):
    db_path = str(tmp_path / "traces.sqlite3")
    (tmp_path / "server.py").write_text(LOCKED_STORE_SERVER)
    # More than the saver's queue holds: the ones that find it full are not waited for either.
    count = 300

    with locked_database(db_path):
        # One request waiting for the lock would wait the busy timeout, 60 s.
        result = run_python(tmp_path / "server.py", db_path, count, timeout=50)

    assert result.returncode == 0, result.stderr
    marks = result.stdout.split()
    assert len(set(marks)) == count
    written = {msgpack.unpackb(path.read_bytes())["trace_id"] for path in tmp_path.glob("traces.sqlite3.trc_*.msgpack")}
    assert written == set(marks)
    summary = f"zelm.web: 0 traces stored in {db_path}, {count} in fallback files under {tmp_path}, 0 lost ("
    assert summary in result.stderr
    # Logged once per kind of failure (the lock, the full queue), however many traces went to files.
    assert result.stderr.count("zelm.web: cannot store traces in") == 2


@pytest.mark.parametrize("kind", list(CALLS))
def test_the_threading_option_is_refused(kind):
    middleware_type, app, _ = CALLS[kind]
    with pytest.raises(ValueError, match="config \"threading\" cannot be used with zelm.web middleware: a thread"):
        middleware_type(app, config={"threading": True})


def threaded_view(environ, start_response):
    n = int(environ["PATH_INFO"].rsplit("/", 1)[1])
    helper = threading.Thread(target=web_servers.compute, args=(n,))
    helper.start()
    helper.join()
    start_response("200 OK", [])
    return [str(web_servers.compute(n)).encode()]


def test_requests_served_side_by_side_starting_threads_keep_to_their_own_traces(db_path):
    middleware = WSGIMiddleware(threaded_view, db=db_path)

    with ThreadPoolExecutor(CONCURRENT) as pool:
        marks = list(pool.map(lambda n: header(call_wsgi(middleware, f"/work/{n}")[1]), range(1, 4 * CONCURRENT + 1)))

    for n, mark in enumerate(marks, start=1):
        document = decode(store.load_trace(db_path, mark))
        frames = frame_records(document, "compute")
        assert frames and {frame["locals"]["n"] for frame in frames} == {n}
        assert len(document["frames"]) <= 1  # the serving thread's records alone


# ---- keep rules, head sampling, counters ----

SLOW_SECONDS = 0.3
KEEP_PATHS = ["/home", "/raise", "/status500", "/slow", "/api/a", "/api/b/c", "/v2/items"]
# Whether the profile hook was installed while the application ran, by path.
hooked = {}


def routed_wsgi_app(environ, start_response):
    path = environ["PATH_INFO"]
    hooked[path] = sys.getprofile() is not None
    if path == "/raise":
        raise LookupError("from the app")
    if path == "/slow":
        time.sleep(SLOW_SECONDS)
    start_response("500 Internal Server Error" if path == "/status500" else "200 OK", [])
    return [b"done"]


async def routed_asgi_app(scope, receive, send):
    path = scope["path"]
    hooked[path] = sys.getprofile() is not None
    if path == "/raise":
        raise LookupError("from the app")
    if path == "/slow":
        await asyncio.sleep(SLOW_SECONDS)
    await send({"type": "http.response.start", "status": 500 if path == "/status500" else 200, "headers": []})
    await send({"type": "http.response.body", "body": b"done"})


ROUTED = {"wsgi": (WSGIMiddleware, routed_wsgi_app, call_wsgi), "asgi": (ASGIMiddleware, routed_asgi_app, call_asgi)}


def trace_marks(kind, middleware, paths):
    """The X-Zelm-Trace header of a request for each path ("raised" where the application raised)."""
    call = ROUTED[kind][2]
    marks = {}
    for path in paths:
        try:
            marks[path] = header(call(middleware, path)[1])
        except LookupError:
            marks[path] = "raised"
    flush()
    return marks


def stored_paths(db_path):
    if not os.path.exists(db_path):
        return []
    return sorted(entry.source.split(" ", 1)[1] for entry in store.list_traces(db_path))


@pytest.mark.parametrize("kind", list(ROUTED))
@pytest.mark.parametrize(
    "keep, kept_paths",
    [
        (None, KEEP_PATHS),
        ({"errors": True}, ["/raise", "/status500"]),
        (Keep(slower_than=SLOW_SECONDS / 2), ["/slow"]),
        ({"paths": ["/api/*"]}, ["/api/a", "/api/b/c"]),
        (Keep(paths=[re.compile(r"^/v\d+/")]), ["/v2/items"]),
        (Keep(errors=True, slower_than=datetime.timedelta(seconds=SLOW_SECONDS / 2), paths=["/v2/*", "/api/?"]),
         ["/raise", "/status500", "/slow", "/api/a", "/v2/items"]),
        ({"sample": 0}, []),
    ],
    ids=["default", "errors", "slower", "glob", "regex", "combined", "none"],
)
def test_keep_rules_store_only_the_traces_they_keep(kind, keep, kept_paths, db_path):
    middleware_type, app, _ = ROUTED[kind]
    middleware = middleware_type(app, db=db_path, keep=keep)

    marks = trace_marks(kind, middleware, KEEP_PATHS)

    # Each request was recorded (its response names its trace) before the rules were applied.
    assert all(mark.startswith("trc_") for path, mark in marks.items() if path != "/raise")
    assert stored_paths(db_path) == sorted(kept_paths)
    assert middleware.stats() == {"traced": len(KEEP_PATHS), "kept": len(kept_paths),
                                  "dropped": len(KEEP_PATHS) - len(kept_paths), "sampled_out": 0, "skipped": 0}
    # A dropped trace is not written anywhere, not even to a fallback file.
    assert not [name for name in os.listdir(os.path.dirname(db_path)) if name.endswith(".msgpack")]
    assert sys.getprofile() is None


@pytest.mark.parametrize("kind", list(ROUTED))
def test_keep_sample_stores_the_requests_whose_draw_falls_under_the_share(kind, db_path, monkeypatch):
    middleware_type, app, _ = ROUTED[kind]
    monkeypatch.setattr(tracing, "random", random.Random(7))
    draws = random.Random(7)
    paths = [f"/request/{number}" for number in range(40)]
    expected = [path for path in paths if draws.random() < 0.25]
    middleware = middleware_type(app, db=db_path, keep={"sample": 0.25})

    trace_marks(kind, middleware, paths)

    assert 0 < len(expected) < len(paths)
    assert stored_paths(db_path) == sorted(expected)
    assert (middleware.kept_requests, middleware.dropped_requests) == (len(expected), len(paths) - len(expected))


@pytest.mark.parametrize("kind", list(ROUTED))
def test_head_sampling_makes_nothing_for_the_requests_it_leaves_out(kind, db_path, monkeypatch):
    middleware_type, app, _ = ROUTED[kind]
    profilers = []

    class CountedProfiler(tracing.Profiler):
        def __init__(self, *args, **kwargs):
            profilers.append(self)
            super().__init__(*args, **kwargs)

    monkeypatch.setattr(tracing, "Profiler", CountedProfiler)
    monkeypatch.setattr(tracing, "random", random.Random(3))
    draws = random.Random(3)
    paths = [f"/request/{number}" for number in range(40)]
    expected = [path for path in paths if draws.random() < 0.3]
    middleware = middleware_type(app, db=db_path, sample=0.3, keep={"errors": True, "paths": ["/request/*"]})
    hooked.clear()

    marks = trace_marks(kind, middleware, paths)

    assert 0 < len(expected) < len(paths)
    assert len(profilers) == len(expected)
    assert [path for path in paths if marks[path] is not None] == expected
    assert [path for path in paths if hooked[path]] == expected
    assert stored_paths(db_path) == sorted(expected)
    assert middleware.stats() == {"traced": len(expected), "kept": len(expected), "dropped": 0,
                                  "sampled_out": len(paths) - len(expected), "skipped": 0}


@pytest.mark.parametrize("kind", list(CALLS))
@pytest.mark.parametrize(
    "keep, message",
    [
        ("errors", "keep must be a zelm.web.Keep, a mapping of its rules or None, not 'errors'"),
        ({}, "Keep needs at least one rule"),
        ({"errors": "yes"}, "keep errors must be True or False, not 'yes'"),
        ({"slower_than": -1}, "keep slower_than must be a number of seconds (or a timedelta) of at least 0, not -1"),
        ({"slower_than": "1s"}, "keep slower_than must be a number of seconds"),
        ({"slower_than": float("nan")}, "keep slower_than must be a number of seconds"),
        ({"sample": 1.5}, "keep sample must be a share between 0 and 1, not 1.5"),
        ({"sample": True}, "keep sample must be a share between 0 and 1, not True"),
        ({"paths": "/api/*"}, "keep paths must be a list of glob texts or compiled regular expressions"),
        ({"paths": ["/api/*", 5]}, "keep paths: 5 is neither a glob text nor a compiled regular expression"),
        ({"errors": True, "slow": 1}, "keep has no rule 'slow': the rules are errors, slower_than, sample and paths"),
    ],
)
def test_bad_keep_rules_are_refused_when_the_middleware_is_made(kind, keep, message):
    middleware_type, app, _ = CALLS[kind]
    with pytest.raises(ValueError) as refused:
        middleware_type(app, keep=keep)
    assert message in str(refused.value)


COUNTING_SERVER = """\
import io, logging, sys, wsgiref.util
from zelm.web import Keep, WSGIMiddleware

logging.basicConfig(level=logging.INFO, format="%(message)s")


def app(environ, start_response):
    start_response("503 Service Unavailable" if environ["PATH_INFO"] == "/fail" else "200 OK", [])
    return [b"ok"]


def call(middleware, path):
    environ = {"PATH_INFO": path, "wsgi.input": io.BytesIO()}
    wsgiref.util.setup_testing_defaults(environ)
    body = middleware(environ, lambda status, headers, exc_info=None: None)
    b"".join(body)
    getattr(body, "close", lambda: None)()


errors_kept = WSGIMiddleware(app, db=sys.argv[1], keep=Keep(errors=True))
none_sampled = WSGIMiddleware(app, db=sys.argv[1], sample=0)
for path in ["/fail", "/ok", "/ok", "/fail", "/ok"]:
    call(errors_kept, path)
for _ in range(3):
    call(none_sampled, "/ok")
print(errors_kept.stats(), none_sampled.stats())
"""


def test_the_counts_of_all_middleware_are_logged_once_when_the_process_ends(tmp_path):
    db_path = str(tmp_path / "traces.sqlite3")
    (tmp_path / "server.py").write_text(COUNTING_SERVER)

    result = run_python(tmp_path / "server.py", db_path)

    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[0] == (
        "{'traced': 5, 'kept': 2, 'dropped': 3, 'sampled_out': 0, 'skipped': 0} "
        "{'traced': 0, 'kept': 0, 'dropped': 0, 'sampled_out': 3, 'skipped': 0}")
    counts = [line for line in result.stderr.splitlines() if "requests traced" in line]
    assert counts == ["zelm.web: 5 requests traced (2 kept, 3 dropped by the keep rules), 3 sampled out, 0 skipped"]
    assert f"zelm.web: 2 traces stored in {db_path}" in result.stderr
    assert len(store.list_traces(db_path)) == 2


# ---- traceparent ----

TRACE_ID = "4bf92f3577b34da6a3ce929d0e0e4736"
TRACEPARENT = f"00-{TRACE_ID}-00f067aa0ba902b7-01"
# The traceparent headers a request arrives with, and what its record keeps.
TRACEPARENTS = {
    "well formed": ([TRACEPARENT], TRACEPARENT),
    "blanks around": ([f" {TRACEPARENT}\t"], TRACEPARENT),
    "a later version with more fields": ([f"01-{TRACE_ID}-00f067aa0ba902b7-01-more"],
                                         f"01-{TRACE_ID}-00f067aa0ba902b7-01-more"),
    "upper case": ([TRACEPARENT.upper()], None),
    "zero trace id": ([f"00-{'0' * 32}-00f067aa0ba902b7-01"], None),
    "zero span id": ([f"00-{TRACE_ID}-{'0' * 16}-01"], None),
    "version ff": ([f"ff-{TRACE_ID}-00f067aa0ba902b7-01"], None),
    "version 00 with more fields": ([f"{TRACEPARENT}-more"], None),
    "short trace id": ([f"00-{TRACE_ID[:-1]}-00f067aa0ba902b7-01"], None),
    "not hex": ([f"00-{TRACE_ID[:-1]}g-00f067aa0ba902b7-01"], None),
    "sent twice": ([TRACEPARENT, TRACEPARENT], None),
    "empty": ([""], None),
}


@pytest.mark.parametrize("kind", list(CALLS))
@pytest.mark.parametrize("sent, kept", TRACEPARENTS.values(), ids=list(TRACEPARENTS))
def test_the_request_record_keeps_a_well_formed_traceparent(kind, sent, kept, db_path):
    middleware_type, app, call = CALLS[kind]
    middleware = middleware_type(app, db=db_path)

    status, headers, body = call(middleware, "/ok", headers=[("traceparent", value) for value in sent])

    assert (str(status)[:3], body) == ("200", b"ok")
    request = all_records(decode(store.load_trace(db_path, header(headers))))[0]
    assert (request["type"], request["traceparent"], request["otel_trace_id"]) == ("inbound_request", kept, None)
    [listed] = store.list_traces(db_path)
    assert listed.request.get("traceparent") == kept


def list_json(*args):
    """The trace ids `zelm list --format json` prints with ``args``."""
    output = io.StringIO()
    with redirect_stdout(output):
        assert zelm_main(["list", "--format", "json", *args]) == 0
    return [entry["trace_id"] for entry in json.loads(output.getvalue())]


def test_zelm_list_finds_the_requests_of_a_distributed_trace(db_path):
    middleware = WSGIMiddleware(wsgi_app, db=db_path)
    sent = {
        "parent": [("traceparent", TRACEPARENT)],
        "sibling": [("traceparent", f"00-{TRACE_ID}-1111111111111111-00")],
        "other": [("traceparent", f"00-{'1' * 32}-00f067aa0ba902b7-01")],
        "malformed": [("traceparent", f"00-{TRACE_ID}-00f067aa0ba902b7")],
        "none": [],
    }
    marks = {name: header(call_wsgi(middleware, "/ok", headers)[1]) for name, headers in sent.items()}
    of_trace = sorted([marks["parent"], marks["sibling"]])

    for query in [TRACE_ID, TRACE_ID.upper(), TRACEPARENT, f"00-{TRACE_ID}-2222222222222222-01"]:
        assert sorted(list_json("--db", db_path, "--traceparent", query)) == of_trace, query
    assert list_json("--db", db_path, "--traceparent", "1" * 32) == [marks["other"]]
    assert list_json("--db", db_path, "--traceparent", "2" * 32) == []
    assert len(list_json("--db", db_path)) == len(sent)


@pytest.mark.parametrize("query", ["", "4bf92f35", "g" * 32, "0" * 32, f"00-{TRACE_ID}-00f067aa0ba902b7"])
def test_zelm_list_refuses_what_is_not_a_trace_id(query, db_path, capsys):
    with pytest.raises(SystemExit) as usage_error:
        zelm_main(["list", "--db", db_path, "--traceparent", query])
    assert usage_error.value.code == 2
    assert "expected a trace id (32 hex digits) or a traceparent header" in capsys.readouterr().err


OPENTELEMETRY_APP = """\
import io, sys, wsgiref.util
from zelm.web import WSGIMiddleware


def app(environ, start_response):
    start_response("200 OK", [])
    return [b"ok"]


def call(middleware):
    environ = {"PATH_INFO": "/ok", "wsgi.input": io.BytesIO()}
    wsgiref.util.setup_testing_defaults(environ)
    headers = {}
    body = middleware(environ, lambda status, response_headers, exc_info=None: headers.update(response_headers))
    body.close()
    return headers["X-Zelm-Trace"]


middleware = WSGIMiddleware(app, db=sys.argv[1])
if sys.argv[2] == "span":
    from opentelemetry import trace
    from opentelemetry.sdk.trace import TracerProvider

    trace.set_tracer_provider(TracerProvider())
    with trace.get_tracer("tests").start_as_current_span("request") as span:
        print(call(middleware), format(span.get_span_context().trace_id, "032x"))
else:
    print(call(middleware), sorted(name for name in sys.modules if name.startswith("opentelemetry")))
"""


@pytest.mark.parametrize("uses", ["span", "nothing"])
def test_the_request_record_keeps_the_opentelemetry_trace_id_of_an_application_using_it(uses, tmp_path):
    pytest.importorskip("opentelemetry.sdk")
    db_path = str(tmp_path / "traces.sqlite3")
    (tmp_path / "app.py").write_text(OPENTELEMETRY_APP)

    result = run_python(tmp_path / "app.py", db_path, uses)

    assert result.returncode == 0, result.stderr
    mark, seen = result.stdout.split(maxsplit=1)
    request = all_records(decode(store.load_trace(db_path, mark)))[0]
    if uses == "span":
        otel_trace_id = seen.strip()
        assert re.fullmatch("[0-9a-f]{32}", otel_trace_id) and otel_trace_id.strip("0")
        assert request["otel_trace_id"] == otel_trace_id
        assert list_json("--db", db_path, "--traceparent", otel_trace_id) == [mark]
    else:
        # An application that does not use OpenTelemetry does not get it imported by zelm.
        assert (request["otel_trace_id"], seen.strip()) == (None, "[]")
