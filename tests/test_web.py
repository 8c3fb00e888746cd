"""zelm.web's middleware: one trace per request under real servers (Flask
and Django under waitress, Starlette under uvicorn, all on 127.0.0.1) with
concurrent clients, and the middleware's rules checked in-process."""

import asyncio
import io
import os
import signal
import subprocess
import sys
import threading
import time
import wsgiref.util
from concurrent.futures import ThreadPoolExecutor
from typing import NamedTuple

import msgpack
import pytest
import web_servers
from conftest import TESTS_DIR, all_records, decode, frame_records, locked_database, run_python, start_python

from zelm import store
from zelm.cli.main import main as zelm_main
from zelm.web import ASGIMiddleware, WSGIMiddleware, flush

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
    # Threads serve WSGI requests side by side, each traced; one event loop traces one at a time.
    if served.kind == "starlette":
        assert served.stats["traced"] >= 1
    else:
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


def call_wsgi(middleware, path):
    """(status, headers, body) of one request through a WSGI middleware."""
    environ = {"PATH_INFO": path, "wsgi.input": io.BytesIO()}
    wsgiref.util.setup_testing_defaults(environ)
    started = {}
    body = middleware(environ, lambda status, headers, exc_info=None: started.update(status=status, headers=headers))
    try:
        content = b"".join(body)
    finally:
        getattr(body, "close", lambda: None)()
        flush()
    return started["status"], dict(started["headers"]), content


def call_asgi(middleware, path, scope_type="http"):
    """(status, headers, body) of one request through an ASGI middleware."""
    messages = []

    async def receive():
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(message):
        messages.append(message)

    try:
        asyncio.run(middleware({"type": scope_type, "method": "GET", "path": path, "query_string": b"", "headers": []},
                               receive, send))
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


def test_asgi_request_arriving_during_a_traced_one_is_skipped_and_recorded_apart(db_path):
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

    first, second, third = asyncio.run(run())
    flush()

    assert (first[:4], second, third[:4]) == ("trc_", "skipped", "trc_")
    assert (middleware.traced_requests, middleware.skipped_requests) == (2, 1)
    assert sorted(entry.source for entry in store.list_traces(db_path)) == ["GET /first", "GET /third"]


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
