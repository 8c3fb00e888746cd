"""The host's own plugins (test markers, log messages, outbound and inbound
HTTP) on real library code: their records are present while the library
frames they hook stay out of the trace, and config "plugins" switches them
off one by one."""

import http.client
import inspect
import io
import logging
import sys
import textwrap
import urllib.request

import pytest
from conftest import all_records, decode, frame_records, local_http_server, plugin_records, run_python

from zelm import plugins
from zelm.store import list_traces, load_trace_documents

PLUGIN_FUNCTIONS = {
    "test_markers": {"pytest_runtest_protocol", "runtestprotocol"},
    "log_messages": {"callHandlers"},
    "outbound_http": {"request", "getresponse", "close", "_make_request", "increment", "_transport_for_url"},
    "inbound_http": {"_inbound_request", "_inbound_response"},
}


def loaded_functions(config):
    return {name for definition in plugins.load_plugin_data(config) for name in definition["co_names"]}


def paths_containing(doc, fragment):
    return [record["path"] for record in frame_records(doc) if fragment in record["path"]]


def file_of(path):
    """The file part of a frame record's "file:line" path."""
    return path.rsplit(":", 1)[0]


# ---- switching plugins ----


@pytest.mark.parametrize(
    "switches, enabled",
    [
        (None, list(PLUGIN_FUNCTIONS)),
        ({}, list(PLUGIN_FUNCTIONS)),
        ({"log_messages": False}, ["test_markers", "outbound_http", "inbound_http"]),
        ({"log_messages": True, "outbound_http": False}, ["test_markers", "log_messages", "inbound_http"]),
        ({name: False for name in PLUGIN_FUNCTIONS}, []),
        ({"test_markers": 0, "log_messages": 1}, ["log_messages", "outbound_http", "inbound_http"]),
    ],
)
def test_every_plugin_is_on_unless_switched_off(switches, enabled):
    config = {} if switches is None else {"plugins": switches}

    expected = set().union(*(PLUGIN_FUNCTIONS[name] for name in enabled))
    assert loaded_functions(config) == expected
    assert set(plugins.PLUGIN_NAMES) == set(PLUGIN_FUNCTIONS)


@pytest.mark.parametrize("switches, warning", [
    ({"log_message": False}, "unknown plugin 'log_message'"),
    (["log_messages"], "should map plugin names to booleans"),
])
def test_unusable_switches_are_reported_and_leave_plugins_on(zelm_warnings, switches, warning):
    assert loaded_functions({"plugins": switches}) == set().union(*PLUGIN_FUNCTIONS.values())
    [record] = zelm_warnings()
    assert warning in record.getMessage()


def test_each_load_returns_new_definitions():
    first = plugins.load_plugin_data({})
    first.clear()
    assert plugins.load_plugin_data({}) != []


def request_frame(self, method, url, body=None, headers=None):
    return sys._getframe()


class RaisingAttributes:
    def __getattr__(self, name):
        raise RuntimeError(name)


class RaisingHeaders(dict):
    def items(self):
        raise RuntimeError("items")


ODD_FRAMES = {
    # A frame without the locals the plugins look for.
    "unrelated": lambda: sys._getframe(),
    "raising": lambda: request_frame(RaisingAttributes(), RaisingAttributes(), RaisingAttributes(),
                                     RaisingAttributes(), RaisingHeaders()),
    "none": lambda: request_frame(None, None, None),
}


@pytest.mark.parametrize("frame_kind", list(ODD_FRAMES))
@pytest.mark.parametrize("arg", [None, 42, RaisingAttributes()], ids=["none", "int", "raising"])
def test_plugin_callables_never_raise_on_odd_frames(frame_kind, arg):
    frame = ODD_FRAMES[frame_kind]()
    for definition in plugins.load_plugin_data({}):
        for event in ("call", "return"):
            if definition.get("call") is not None:
                assert type(definition["call"](frame, event, arg, {})) is bool
            data = definition["process"](frame, event, arg, {})
            assert isinstance(data, dict) and "type" not in data


@pytest.mark.parametrize(
    "connection, url, expected",
    [
        (http.client.HTTPConnection("example.org", 8080), "/a?b=c", "http://example.org:8080/a?b=c"),
        (http.client.HTTPConnection("example.org"), "/", "http://example.org:80/"),
        (http.client.HTTPSConnection("example.org"), "/secure", "https://example.org:443/secure"),
        (http.client.HTTPConnection("::1", 8000), "/v6", "http://[::1]:8000/v6"),
        # Through a proxy the request line carries the absolute URL.
        (http.client.HTTPConnection("proxy.local", 3128), "http://example.org/x", "http://example.org/x"),
    ],
)
def test_outbound_request_url(connection, url, expected):
    [request_definition] = [d for d in plugins.load_plugin_data({})
                            if d["co_names"] == ["request"] and d["path_fragment"] == "/http/client.py"]

    data = request_definition["process"](request_frame(connection, "GET", url), "call", None, {})

    assert data["url"] == expected


# ---- log messages ----


@pytest.fixture
def app_logger():
    """A logger that takes INFO and up and hands records to a NullHandler
    only. It is made outside logging's registry of loggers, so that no
    handler of the test run is ever attached to it."""
    logger = logging.Logger("zelm_tests.app", logging.INFO)
    logger.addHandler(logging.NullHandler())
    return logger


def line_marked_in(function, marker):
    lines, first_line = inspect.getsourcelines(function)
    [offset] = [index for index, line in enumerate(lines) if marker in line]
    return first_line + offset


def warn_disk_full(logger):
    logger.warning("disk %s is %d%% full", "sda", 93)  # logs here


def log_error_level(logger):
    logger.log(logging.ERROR, "plain %s", "text")  # logs here


def info_through_adapter(logger):
    logging.LoggerAdapter(logger, {"request": 7}).info("adapted")  # logs here


def exception_in_handler(logger):
    try:
        raise ValueError("boom")
    except ValueError:
        logger.exception("failed: %r", "job")  # logs here


def mismatched_arguments(logger):
    logger.info("%d items", "many")  # logs here


@pytest.mark.parametrize(
    "log, level, message",
    [
        (warn_disk_full, "WARNING", "disk sda is 93% full"),
        (log_error_level, "ERROR", "plain text"),
        (info_through_adapter, "INFO", "adapted"),
        (exception_in_handler, "ERROR", "failed: 'job'"),
        # The format does not fit its arguments: the unformatted message.
        (mismatched_arguments, "INFO", "%d items"),
    ],
)
def test_log_message_records(profile, app_logger, zelm_warnings, log, level, message):
    doc, _ = profile(lambda: log(app_logger))

    [record] = plugin_records(doc, "log_message")
    assert (record["level"], record["logger"], record["message"]) == (level, "zelm_tests.app", message)
    # The location is the logging call in the user's function, named like
    # the path of that function's own frame record.
    [function_call, _] = frame_records(doc, log.__name__)
    location_file, location_line = record["location"].rsplit(":", 1)
    assert location_file == file_of(function_call["path"])
    assert int(location_line) == line_marked_in(log, "# logs here")
    assert paths_containing(doc, "logging/") == []
    assert zelm_warnings() == []


def test_log_messages_below_the_level_and_switched_off_plugin_make_no_records(profile, app_logger):
    def run():
        app_logger.debug("below the level")
        app_logger.info("shown")

    doc, _ = profile(run)
    switched_off, _ = profile(run, config={"plugins": {"log_messages": False}})

    assert [record["message"] for record in plugin_records(doc, "log_message")] == ["shown"]
    assert plugin_records(switched_off, "log_message") == []


# ---- outbound HTTP ----


@pytest.fixture
def http_port():
    with local_http_server() as port:
        yield port


def http_client_request(port, body, headers):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        connection.request("POST", "/items?x=1", body=body, headers=headers)
        response = connection.getresponse()
        assert response.read() == b"done"
    finally:
        connection.close()


@pytest.mark.parametrize(
    "body, headers, body_size",
    [
        (b"abc", {"X-Request": "1"}, 3),
        ("text", {}, 4),
        (bytearray(b"ab"), {"X-Request": "2", "X-Other": "3"}, 2),
        (None, {}, 0),
        # A file's size is not known before it is read.
        (io.BytesIO(b"abcd"), {"Content-Length": "4"}, None),
    ],
)
def test_http_client_request_and_response_records(profile, http_port, body, headers, body_size):
    doc, _ = profile(lambda: http_client_request(http_port, body, headers))

    records = [r for r in all_records(doc) if r["type"].startswith("outbound_")]
    assert [record["type"] for record in records] == ["outbound_request", "outbound_response"]
    request, response = records
    assert (request["method"], request["url"], request["headers"], request["body_size"]) == (
        "POST", f"http://127.0.0.1:{http_port}/items?x=1", [list(pair) for pair in headers.items()], body_size)
    assert (response["status"], response["reason"]) == (201, "Created")
    # Repeated headers stay apart; the cookies the server sets are credentials.
    assert ["X-Reply", "yes"] in response["headers"]
    assert response["headers"].count(["Set-Cookie", "***"]) == 2
    assert paths_containing(doc, "http/client.py") == []


def test_urllib_requests_are_recorded(profile, http_port):
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))

    def run():
        with opener.open(f"http://127.0.0.1:{http_port}/page", timeout=10) as reply:
            assert reply.read() == b"done"

    doc, _ = profile(run)

    [request] = plugin_records(doc, "outbound_request")
    [response] = plugin_records(doc, "outbound_response")
    assert (request["method"], request["url"], request["body_size"]) == ("GET", f"http://127.0.0.1:{http_port}/page", 0)
    assert ["Connection", "close"] in request["headers"]
    assert response["status"] == 201
    assert paths_containing(doc, "urllib/") == paths_containing(doc, "http/") == []


def test_request_without_response_has_no_response_record(profile, http_port, zelm_warnings):
    def run():
        connection = http.client.HTTPConnection("127.0.0.1", http_port, timeout=10)
        connection.request("GET", "/drop")
        with pytest.raises(http.client.RemoteDisconnected):
            connection.getresponse()
        connection.close()

    doc, _ = profile(run)

    records = [r for r in all_records(doc) if r["type"].startswith("outbound_")]
    assert [r["type"] for r in records] == ["outbound_request", "outbound_error"]
    assert records[1]["error"] == "http.client.RemoteDisconnected: Remote end closed connection without response"
    assert zelm_warnings() == []


def test_switched_off_outbound_http_makes_no_records(profile, http_port):
    doc, _ = profile(lambda: http_client_request(http_port, b"x", {}),
                     config={"plugins": {"outbound_http": False}})

    assert [r for r in all_records(doc) if r["type"].startswith("outbound_")] == []


# ---- test markers: one trace per pytest test ----

SAMPLE_TESTS = '''
import pytest


def helper(n):
    return n + 1


def test_one():
    assert helper(1) == 2


@pytest.mark.parametrize("n", [1, 2])
def test_param(n):
    assert helper(n) > n


def test_fails():
    assert helper(0) == 5
'''

PROFILING_CONFTEST = '''
import zelm

profiler = zelm.Profiler(one_trace_per_test=True, db_path={db_path!r}, source="pytest")


def pytest_sessionstart(session):
    profiler.start()


def pytest_sessionfinish(session):
    profiler.stop()
'''


def test_one_trace_per_pytest_test(tmp_path):
    db_path = tmp_path / "traces.sqlite3"
    (tmp_path / "test_sample.py").write_text(textwrap.dedent(SAMPLE_TESTS))
    (tmp_path / "conftest.py").write_text(PROFILING_CONFTEST.format(db_path=str(db_path)))
    env = {"PYTEST_DISABLE_PLUGIN_AUTOLOAD": "1", "PYTHONDONTWRITEBYTECODE": "1", "PYTEST_ADDOPTS": None}

    result = run_python("-m", "pytest", "-q", "-p", "no:cacheprovider", "test_sample.py", cwd=tmp_path, env=env)

    assert result.returncode == 1, result.stdout + result.stderr  # test_fails fails
    assert "1 failed, 3 passed" in result.stdout
    stored = list_traces(db_path)
    assert len({trace.trace_id for trace in stored}) == len(stored) == 4
    tests = {}
    for trace in stored:
        [document] = load_trace_documents(db_path, trace.trace_id)
        doc = decode(document)
        assert doc["trace_id"] == trace.trace_id
        records = all_records(doc)
        start, end = records[0], records[-1]
        assert (start["type"], end["type"]) == ("start_test", "end_test")
        assert start["nodeid"] == end["nodeid"]
        assert start["frame_id"] == end["frame_id"]
        assert start["file"] == end["file"] == str(tmp_path / "test_sample.py")
        # Only frame records between the markers ("exception": test_fails raised).
        assert [r["type"] for r in records[1:-1] if r["type"] not in ("frame", "exception")] == []
        assert paths_containing(doc, "_pytest/") == []
        tests[start["nodeid"]] = {r["co_name"] for r in frame_records(doc) if r["path"].startswith("test_sample.py:")}
    assert tests == {
        "test_sample.py::test_one": {"test_one", "helper"},
        "test_sample.py::test_param[1]": {"test_param", "helper"},
        "test_sample.py::test_param[2]": {"test_param", "helper"},
        "test_sample.py::test_fails": {"test_fails", "helper"},
    }
