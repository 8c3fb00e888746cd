"""Plugin definitions handed to the native profiler.

The native module calls load_plugin_data(config) once per profiler and turns
every definition dict it returns into processors keyed by function name: on
each call or return of a function listed in "co_names" whose file name
contains "path_fragment", it asks "call" (when given) whether to make a
record, restricts itself to the "events" listed (when given), and merges
what "process" returns into the record, whose type is "call_type" or
"return_type". Both callables get (frame, event, arg, context).

They run inside the profile hook on every matching event, so they stay
small and never raise: an exception would cost the record and log a
warning. Odd inputs (missing locals, unexpected types, attributes that
raise) give None values instead.

load_plugin_data runs when a profiler is made, which may be while the
profiler of an enclosing block records: like zelm's other files that run
then, this one is left out of traces by name.

Each plugin also says how its records read in one line (`zelm show`, the
viewer): describe(record_type, data) asks the plugin that makes records of
that type.

Config key "plugins" maps plugin names to booleans; every plugin is on
unless switched off there, e.g. {"plugins": {"log_messages": False}}.
"""

import logging
import opcode
import os
import sys
import threading
import time
import weakref
from collections.abc import Mapping
from typing import Callable, Dict, NamedTuple

from zelm.text import RECORD_LINE, clip, duration_text

__all__ = ["load_plugin_data", "describe", "PLUGIN_NAMES", "TEST_OUTCOMES"]

_logger = logging.getLogger("zelm")


def _attribute(obj, name):
    try:
        return getattr(obj, name, None)
    except Exception:
        return None


def _local(frame, name):
    try:
        return frame.f_locals.get(name)
    except Exception:
        return None


def _location(filename, line):
    """"file:line", the file relative to the working directory when inside
    it, as frame records show their path."""
    try:
        directory = os.path.join(os.getcwd(), "")
    except OSError:
        directory = None
    if directory and filename.startswith(directory):
        filename = filename[len(directory):]
    return f"{filename}:{line}"


# ---- test_markers: one "start_test" / "end_test" pair per pytest test ----
#
# pytest runs each test item through the hook implementation in
# _pytest/runner.py exactly once, so its call and return bracket the test:
# setup, call and teardown with all their fixtures. In one-trace-per-test
# mode these two records cut the stream into one trace per test.
#
# Both carry "nodeid" and "file"; "end_test" adds the test's "outcome"
# ("passed", "failed", "skipped", "errored" (setup or teardown failed),
# "xfailed", "xpassed", or "interrupted" when the run stopped inside the
# test), the "phase" that decided it ("setup", "call" or "teardown"; None
# for a pass) and a "message": the failure's message, the skip's reason,
# bounded. The outcome is read from the reports that runtestprotocol, in
# the same file, returns just before.

_MAX_TEST_MESSAGE = 1000
TEST_OUTCOMES = ("passed", "failed", "errored", "skipped", "xfailed", "xpassed", "interrupted")


def _test_item_file(item):
    path = _attribute(item, "path")  # pytest >= 7
    if path is None:
        path = _attribute(item, "fspath")
    try:
        return os.fspath(path)
    except Exception:
        return None


def _no_data(frame, event, arg, context):
    # For processors whose "call" only takes note and never makes a record.
    return {}


def _bounded(text, limit):
    if not isinstance(text, str):
        return None
    return text if len(text) <= limit else text[: limit - 3] + "..."


def _report_message(report):
    """What a report says about its outcome: a failure's message (the
    exception's, assertion details included), a skip's reason."""
    longrepr = _attribute(report, "longrepr")
    if longrepr is None:
        return None
    if isinstance(longrepr, tuple) and len(longrepr) == 3:
        # A skip: (file, line, "Skipped: reason").
        reason = longrepr[2]
        if isinstance(reason, str) and reason.startswith("Skipped: "):
            reason = reason[len("Skipped: "):]
        return _bounded(reason, _MAX_TEST_MESSAGE)
    crash = _attribute(longrepr, "reprcrash")
    message = _attribute(crash, "message")
    if isinstance(message, str):
        return _bounded(message, _MAX_TEST_MESSAGE)
    try:
        return _bounded(str(longrepr), _MAX_TEST_MESSAGE)
    except Exception:
        return None


def _test_outcome(reports):
    """(outcome, phase, message) of a test from its setup, call and
    teardown reports. A failure decides over a skip and a pass: a failing
    call is "failed", a failing setup or teardown "errored"."""
    result = ("passed", None, None)
    try:
        for report in reports:
            outcome = _attribute(report, "outcome")
            when = _attribute(report, "when")
            expected_failure = _attribute(report, "wasxfail")
            if outcome == "failed":
                return ("failed" if when == "call" else "errored"), when, _report_message(report)
            if result[0] != "passed":
                continue
            if outcome == "skipped" and expected_failure is not None:
                result = ("xfailed", when, _bounded(expected_failure, _MAX_TEST_MESSAGE) or None)
            elif outcome == "skipped":
                result = ("skipped", when, _report_message(report))
            elif outcome == "passed" and expected_failure is not None:
                result = ("xpassed", when, _bounded(expected_failure, _MAX_TEST_MESSAGE) or None)
    except Exception:
        return None, None, None
    return result


def _test_markers(config):
    # Test node id -> (outcome, phase, message), from runtestprotocol's
    # return to the end of the test's protocol.
    outcomes = {}

    def note_outcome(frame, event, arg, context):
        if isinstance(arg, list):
            nodeid = _attribute(_local(frame, "item"), "nodeid")
            if isinstance(nodeid, str):
                outcomes[nodeid] = _test_outcome(arg)
        return False

    def test_item_data(frame, event, arg, context):
        item = _local(frame, "item")
        nodeid = _attribute(item, "nodeid")
        nodeid = nodeid if isinstance(nodeid, str) else None
        data = {"nodeid": nodeid, "file": _test_item_file(item)}
        if event == "return":
            outcome = outcomes.pop(nodeid, None)
            if outcome is None:
                # No reports: the protocol was left by an exception (an
                # interrupted run) before they were made.
                outcome = ("interrupted" if arg is None else None), None, None
            data["outcome"], data["phase"], data["message"] = outcome
        return data

    return [
        {
            "co_names": ["pytest_runtest_protocol"],
            "path_fragment": "/_pytest/runner.py",
            "call_type": "start_test",
            "return_type": "end_test",
            "process": test_item_data,
        },
        {
            "co_names": ["runtestprotocol"],
            "path_fragment": "/_pytest/runner.py",
            "call_type": "test_outcome",
            "return_type": "test_outcome",
            "events": ["return"],
            "call": note_outcome,
            "process": _no_data,
        },
    ]


def _describe_start_test(data):
    return f"start test {data.get('nodeid')}"


def _describe_end_test(data):
    return clip(f"end test {data.get('nodeid')}{_outcome_text(data)}", RECORD_LINE)


def _outcome_text(data):
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


# ---- log_messages: one "log_message" per record the logging module handles ----
#
# Logger.callHandlers runs once per record that passed the logger's level
# and filters, whichever logging call made it, and has the record at hand.


def _formatted_message(record):
    try:
        return record.getMessage()
    except Exception:
        # Arguments that do not fit the format: keep the unformatted message.
        return _attribute(record, "msg")


def _user_location(frame):
    """file:line of the innermost caller outside the logging module."""
    try:
        logging_file = frame.f_code.co_filename
        caller = frame.f_back
        while caller is not None and caller.f_code.co_filename == logging_file:
            caller = caller.f_back
        if caller is None:
            return None
        return _location(caller.f_code.co_filename, caller.f_lineno)
    except Exception:
        return None


def _log_message_data(frame, event, arg, context):
    record = _local(frame, "record")
    return {
        "level": _attribute(record, "levelname"),
        "logger": _attribute(record, "name"),
        "message": _formatted_message(record),
        "location": _user_location(frame),
    }


def _log_messages(config):
    return [
        {
            "co_names": ["callHandlers"],
            "path_fragment": "/logging/__init__.py",
            "call_type": "log_message",
            "return_type": "log_message",
            "events": ["call"],
            "process": _log_message_data,
        }
    ]


def _describe_log_message(data):
    text = f"log {data.get('level')} {data.get('logger')}: {data.get('message')}"
    if data.get("location"):
        text += f"  ({data['location']})"
    return clip(text, RECORD_LINE)


# ---- outbound_http: requests made through the common HTTP clients ----
#
# Three records per exchange, whichever client made it:
#   "outbound_request":  client, method, url, headers, body_size
#   "outbound_response": client, method, url, status, reason, headers,
#                        body_size, duration
#   "outbound_error":    client, method, url, error, duration
# Each is made at the level of the client the program called, once: urllib3
# (and so requests) drives http.client itself, so the http.client hooks
# stand back when their caller is urllib3. Header values that carry
# credentials are masked. "duration" is seconds from the request to the
# response's head (or to the failure); "body_size" is None when it is not
# known without reading the body.

_MASKED_HEADERS = frozenset({"authorization", "proxy-authorization", "cookie"})
MASK = "***"
_MAX_ERROR_TEXT = 500
# The opcodes that end a frame by returning; a "return" event at any other
# instruction is the frame being left by an exception.
_RETURN_OPCODES = frozenset(opcode.opmap[name] for name in ("RETURN_VALUE", "RETURN_CONST") if name in opcode.opmap)


def _unwinding(frame):
    """Whether the frame of a "return" event is being left by an exception."""
    try:
        return frame.f_code.co_code[frame.f_lasti] not in _RETURN_OPCODES
    except Exception:
        return False


def _caller_name(frame):
    try:
        return frame.f_back.f_code.co_name
    except Exception:
        return None


def _masked(name, value):
    if not (isinstance(name, (str, bytes)) and _text(name).lower() in _MASKED_HEADERS):
        return value
    # "Basic ***": the scheme says how the client authenticated, and is no secret.
    scheme, space, _ = _text(value).partition(" ") if isinstance(value, (str, bytes)) else ("", "", "")
    if space and _text(name).lower() != "cookie":
        return f"{scheme} {MASK}"
    return MASK


def _text(value):
    return value.decode("latin-1") if isinstance(value, bytes) else value


def _header_pairs(headers):
    """[[name, value], ...] of a headers mapping, repeated names kept, the
    values of credential headers masked."""
    if headers is None:
        return []
    try:
        # httpx's Headers.items() joins repeated names; multi_items() does not.
        items = headers.multi_items() if hasattr(headers, "multi_items") else headers.items()
        return [[name, _masked(name, value)] for name, value in items]
    except Exception:
        return None


def _header(headers, wanted):
    """The first value of header ``wanted`` (lower case) in a headers mapping, or None."""
    try:
        for name, value in headers.items():
            if _text(name).lower() == wanted:
                return _text(value)
    except Exception:
        pass
    return None


def _body_size(body, str_encoding="latin-1"):
    if body is None:
        return 0
    if isinstance(body, (bytes, bytearray)):
        return len(body)
    if isinstance(body, str):
        # http.client sends a str body as ISO-8859-1, urllib3 2.x as UTF-8.
        try:
            return len(body.encode(str_encoding))
        except UnicodeError:
            return None
    if isinstance(body, memoryview):
        return body.nbytes
    # A file or an iterable: its size is known only once it is sent.
    return None


def _response_body_size(method, status, headers):
    """The response body's size as its head tells it, or None."""
    if method == "HEAD" or status in (204, 304):
        return 0
    length = _header(headers, "content-length")
    try:
        size = int(length)
    except (TypeError, ValueError):
        return None
    return size if size >= 0 else None


def _error_text(error):
    """"Type: message" of an exception, bounded; builtin types unqualified."""
    if error is None:
        return None
    try:
        kind = type(error)
        name = kind.__qualname__ if kind.__module__ == "builtins" else f"{kind.__module__}.{kind.__qualname__}"
        try:
            message = str(error)
        except Exception:
            message = "<unprintable>"
    except Exception:
        return None
    return _bounded(f"{name}: {message}" if message else name, _MAX_ERROR_TEXT)


def _with_masked_password(url):
    """The URL text with the password of a user:password@ part masked."""
    if not isinstance(url, str):
        return None
    scheme, separator, rest = url.partition("://")
    if not separator:
        return url
    authority, slash, path = rest.partition("/")
    userinfo, at, host = authority.rpartition("@")
    if not at or ":" not in userinfo:
        return url
    user = userinfo.split(":", 1)[0]
    return f"{scheme}://{user}:{MASK}@{host}{slash}{path}"


def _origin(scheme, host, port):
    if isinstance(host, str) and ":" in host and not host.startswith("["):
        host = f"[{host}]"
    return f"{scheme}://{host}:{port}"


def _request_url(connection, url):
    """The absolute URL of a request line's target sent on an http.client connection."""
    if not isinstance(url, str):
        return None
    if "://" in url:
        # The absolute form, as sent to a proxy.
        return _with_masked_password(url)
    scheme = "https" if _attribute(connection, "default_port") == 443 else "http"
    return _origin(scheme, _attribute(connection, "host"), _attribute(connection, "port")) + url


def _duration(started):
    return None if started is None else time.perf_counter() - started


def _request_data(client, method, url, headers, body_size):
    return {"client": client, "method": method, "url": url, "headers": _header_pairs(headers), "body_size": body_size}


def _response_data(client, method, url, response, status, headers, started):
    return {
        "client": client,
        "method": method,
        "url": url,
        "status": status,
        "reason": _attribute(response, "reason_phrase" if client == "httpx" else "reason"),
        "headers": _header_pairs(headers),
        "body_size": _response_body_size(method, status, headers),
        "duration": _duration(started),
    }


def _error_data(client, method, url, error, started):
    return {"client": client, "method": method, "url": url, "error": _error_text(error), "duration": _duration(started)}


def _pool_url(pool, url):
    """The absolute URL of a request target sent through a urllib3 pool."""
    if not isinstance(url, str) or "://" in url or pool is None:
        return _with_masked_password(url)
    return _origin(_attribute(pool, "scheme"), _attribute(pool, "host"), _attribute(pool, "port")) + url


class _HttpState:
    """What the outbound_http hooks of one profiler carry from one event to
    a later one. They all run under the native profiler's plugin lock."""

    def __init__(self):
        # http.client connection -> (method, url, start) of its request in flight.
        self.requests = weakref.WeakKeyDictionary()
        # Per thread: "error" (the text of the last connection error seen
        # while a library handled it) and "failed" ((method, url, start) of
        # the last urllib3 request left by an exception).
        self.local = threading.local()

    def start(self, connection, method, url):
        try:
            self.requests[connection] = (method, url, time.perf_counter())
        except TypeError:  # no weak reference to it
            pass

    def finish(self, connection):
        try:
            return self.requests.pop(connection, (None, None, None))
        except TypeError:
            return None, None, None

    def take(self, name):
        value = getattr(self.local, name, None)
        setattr(self.local, name, None)
        return value


def _outbound_http(config):
    state = _HttpState()

    # -- http.client (and urllib.request on it) --

    def http_client_caller(frame, event, arg, context):
        try:
            caller = frame.f_back.f_code.co_filename
        except Exception:
            return True
        # urllib3 drives http.client itself; its own hooks record the request.
        return "/urllib3/" not in caller

    def http_client_request_call(frame, event, arg, context):
        if not http_client_caller(frame, event, arg, context):
            return False
        return event == "call" or _unwinding(frame)

    def http_client_request(frame, event, arg, context):
        connection = _local(frame, "self")
        method = _local(frame, "method")
        url = _request_url(connection, _local(frame, "url"))
        if event == "call":
            state.take("error")
            state.start(connection, method, url)
            return _request_data("http.client", method, url, _local(frame, "headers"), _body_size(_local(frame, "body")))
        _, _, started = state.finish(connection)
        # An error noted while connecting explains the failure only if no
        # connection was made (a later address may have connected).
        error = state.take("error") if _attribute(connection, "sock") is None else None
        return _error_data("http.client", method, url, error, started)

    def http_client_response(frame, event, arg, context):
        method, url, started = state.finish(_local(frame, "self"))
        if arg is None:
            # getresponse never returns None: it was left by an exception.
            return _error_data("http.client", method, url, state.take("error"), started)
        return _response_data("http.client", method, url, arg, _attribute(arg, "status"), _attribute(arg, "msg"), started)

    def getresponse_succeeded(frame, event, arg, context):
        return arg is not None and http_client_caller(frame, event, arg, context)

    def getresponse_failed(frame, event, arg, context):
        if event == "call":
            # Only an error noted while this getresponse runs can be its own.
            state.take("error")
            return False
        return arg is None and http_client_caller(frame, event, arg, context)

    def note_handled_error(frame, event, arg, context):
        # socket.create_connection closes the socket of each address it
        # failed to connect to, and getresponse closes the connection when
        # the server hung up, both while handling the error: the only moment
        # it is in reach. The request's failure record takes it later (a
        # later address may still connect).
        if _caller_name(frame) in ("create_connection", "getresponse"):
            error = sys.exc_info()[1]
            if error is not None:
                state.local.error = error
        return False

    # -- urllib3 1.x and 2.x (and requests on it) --

    def urllib3_url(frame):
        return _pool_url(_local(frame, "self"), _local(frame, "url"))

    def urllib3_exchange_call(frame, event, arg, context):
        if event == "call":
            state.take("failed")
            return True
        if arg is None:
            # Left by an exception; urlopen hands it to Retry.increment next.
            state.local.failed = (_local(frame, "method"), urllib3_url(frame), state.finish(_local(frame, "conn"))[2])
            return False
        return True

    def urllib3_exchange(frame, event, arg, context):
        method = _local(frame, "method")
        url = urllib3_url(frame)
        connection = _local(frame, "conn")
        if event == "call":
            # urllib3 1.x passes body and headers on in a dict of keywords.
            keywords = _local(frame, "httplib_request_kw")
            if isinstance(keywords, dict):
                body, headers = keywords.get("body"), keywords.get("headers")
            else:
                body, headers = _local(frame, "body"), _local(frame, "headers")
            state.start(connection, method, url)
            return _request_data("urllib3", method, url, headers, _body_size(body, "utf-8"))
        _, _, started = state.finish(connection)
        return _response_data("urllib3", method, url, arg, _attribute(arg, "status"), _attribute(arg, "headers"), started)

    def urllib3_retry_after_error(frame, event, arg, context):
        return _local(frame, "error") is not None

    def urllib3_error(frame, event, arg, context):
        failed = state.take("failed") or (None, None, None)
        url = _pool_url(_local(frame, "_pool"), _local(frame, "url"))
        return _error_data("urllib3", _local(frame, "method"), url, _local(frame, "error"), failed[2])

    # -- httpx, sync and async: the sync steps of Client._send_single_request --

    def in_send_single_request(frame, event, arg, context):
        return _caller_name(frame) == "_send_single_request"

    def httpx_request(frame, event, arg, context):
        request = _local(frame.f_back, "request")
        headers = _attribute(request, "headers")
        return _request_data("httpx", _attribute(request, "method"), _httpx_url(request), headers,
                             _httpx_body_size(headers))

    def httpx_response(frame, event, arg, context):
        response = _local(frame, "self")
        request = _local(frame, "value")
        started = _local(frame.f_back, "start")
        return _response_data("httpx", _attribute(request, "method"), _httpx_url(request), response,
                              _attribute(response, "status_code"), _attribute(response, "headers"),
                              started if isinstance(started, float) else None)

    def in_request_context(frame, event, arg, context):
        return _caller_name(frame) == "request_context"

    def httpx_error(frame, event, arg, context):
        request = _local(frame, "request")
        # The request's start, if the error came out of _send_single_request.
        started, caller = None, frame.f_back
        for _ in range(4):
            if caller is None:
                break
            if caller.f_code.co_name == "_send_single_request":
                started = _local(caller, "start")
                break
            caller = caller.f_back
        return _error_data("httpx", _attribute(request, "method"), _httpx_url(request), _local(frame, "self"),
                           started if isinstance(started, float) else None)

    def definition(co_name, path_fragment, call_type, return_type, call, process, events=None):
        return {"co_names": [co_name], "path_fragment": path_fragment, "call_type": call_type,
                "return_type": return_type, "events": events, "call": call, "process": process}

    return [
        # http.client: the request on call; its failure when it is left by an exception.
        definition("request", "/http/client.py", "outbound_request", "outbound_error",
                   http_client_request_call, http_client_request),
        definition("getresponse", "/http/client.py", "outbound_response", "outbound_response",
                   getresponse_succeeded, http_client_response, ["return"]),
        definition("getresponse", "/http/client.py", "outbound_error", "outbound_error",
                   getresponse_failed, http_client_response),
        definition("close", "/socket.py", "outbound_error", "outbound_error", note_handled_error, _no_data, ["call"]),
        definition("close", "/http/client.py", "outbound_error", "outbound_error", note_handled_error, _no_data,
                   ["call"]),
        # urllib3: one request and response per _make_request; failures reach Retry.increment.
        definition("_make_request", "/urllib3/connectionpool.py", "outbound_request", "outbound_response",
                   urllib3_exchange_call, urllib3_exchange),
        definition("increment", "/urllib3/util/retry.py", "outbound_error", "outbound_error",
                   urllib3_retry_after_error, urllib3_error, ["call"]),
        # httpx: _transport_for_url opens the exchange, the response's request
        # setter closes it, and the error's request setter reports a failure.
        definition("_transport_for_url", "/httpx/_client.py", "outbound_request", "outbound_request",
                   in_send_single_request, httpx_request, ["call"]),
        definition("request", "/httpx/_models.py", "outbound_response", "outbound_response",
                   in_send_single_request, httpx_response, ["call"]),
        definition("request", "/httpx/_exceptions.py", "outbound_error", "outbound_error",
                   in_request_context, httpx_error, ["call"]),
    ]


def _httpx_body_size(headers):
    # httpx states the size of a body it holds; a streamed one goes chunked.
    length = _header(headers, "content-length")
    if length is not None:
        return int(length) if length.isdigit() else None
    return None if _header(headers, "transfer-encoding") is not None else 0


def _httpx_url(request):
    url = _attribute(request, "url")
    try:
        return _with_masked_password(str(url)) if url is not None else None
    except Exception:
        return None


def _describe_outbound_request(data):
    return clip(f"HTTP request {data.get('method')} {data.get('url')}", RECORD_LINE)


def _describe_outbound_response(data):
    text = f"HTTP response {data.get('status')} {data.get('reason')} to {data.get('method')} {data.get('url')}"
    return clip(text + _took(data.get("duration")), RECORD_LINE)


def _describe_outbound_error(data):
    # The error is what the reader came for: it is never clipped away by a long URL.
    text = clip(f"HTTP error on {data.get('method')} {data.get('url')}{_took(data.get('duration'))}", RECORD_LINE)
    return f"{text}: {clip(str(data.get('error')), RECORD_LINE)}"


def _took(duration):
    return f" in {duration_text(duration)}" if isinstance(duration, (int, float)) and duration >= 0 else ""


# ---- inbound_http: the requests a web application serves ----
#
# zelm.web's middleware calls two marker functions of its own at the start
# and at the end of each traced request; their arguments are the record:
#   "inbound_request":  method, path, query_string, headers, body_size
#   "inbound_response": status, headers, body_size, duration, error (the
#                       application's exception as outbound_error's "error")
# Credentials are masked as in outbound records, and so are the session
# cookies the application hands out (Set-Cookie).


def _inbound_header_pairs(pairs):
    """[[name, value], ...] of header pairs, credentials masked."""
    if pairs is None:
        return []
    try:
        return [
            [name, MASK if isinstance(name, str) and name.lower() == "set-cookie" else _masked(name, value)]
            for name, value in pairs
        ]
    except Exception:
        return None


def _marker_arguments(*names):
    def data(frame, event, arg, context):
        record = {name: _local(frame, name) for name in names}
        record["headers"] = _inbound_header_pairs(record.get("headers"))
        if "error" in record:
            record["error"] = _error_text(record["error"])
        return record
    return data


def _inbound_http(config):
    return [
        {
            "co_names": ["_inbound_request"],
            "path_fragment": "/zelm/web/__init__.py",
            "call_type": "inbound_request",
            "return_type": "inbound_request",
            "events": ["call"],
            "process": _marker_arguments("method", "path", "query_string", "headers", "body_size"),
        },
        {
            "co_names": ["_inbound_response"],
            "path_fragment": "/zelm/web/__init__.py",
            "call_type": "inbound_response",
            "return_type": "inbound_response",
            "events": ["call"],
            "process": _marker_arguments("status", "headers", "body_size", "duration", "error"),
        },
    ]


def _describe_inbound_request(data):
    query = f"?{data['query_string']}" if data.get("query_string") else ""
    return clip(f"request {data.get('method')} {data.get('path')}{query}", RECORD_LINE)


def _describe_inbound_response(data):
    text = f"response {data.get('status')}, {data.get('body_size')} bytes{_took(data.get('duration'))}"
    return clip(text + (f"  error {data['error']}" if data.get("error") else ""), RECORD_LINE)


class _Plugin(NamedTuple):
    # Takes the config dict, returns the definitions of the plugin's processors.
    definitions: Callable[[Mapping], list]
    # Record type -> the one line that says what a record of it holds, from
    # the record's own data (PluginRecord.data). A type missing here reads
    # as its entries.
    describers: Dict[str, Callable[[dict], str]]


_PLUGINS = {
    "test_markers": _Plugin(_test_markers, {"start_test": _describe_start_test, "end_test": _describe_end_test}),
    "log_messages": _Plugin(_log_messages, {"log_message": _describe_log_message}),
    "outbound_http": _Plugin(_outbound_http, {
        "outbound_request": _describe_outbound_request,
        "outbound_response": _describe_outbound_response,
        "outbound_error": _describe_outbound_error,
    }),
    "inbound_http": _Plugin(_inbound_http, {
        "inbound_request": _describe_inbound_request,
        "inbound_response": _describe_inbound_response,
    }),
}

PLUGIN_NAMES = tuple(_PLUGINS)

_DESCRIBERS = {record_type: describer for plugin in _PLUGINS.values()
               for record_type, describer in plugin.describers.items()}


def describe(record_type, data):
    """The one line a plugin gives its record of ``record_type`` with the
    plugin's own entries ``data``; None for a type no plugin describes."""
    describer = _DESCRIBERS.get(record_type)
    return None if describer is None else describer(data)


def _plugin_switches(config):
    switches = config.get("plugins") if isinstance(config, Mapping) else None
    if switches is None:
        return {}
    if not isinstance(switches, Mapping):
        _logger.warning("config \"plugins\" should map plugin names to booleans, not %r; all plugins stay on", switches)
        return {}
    for name in switches:
        if name not in _PLUGINS:
            _logger.warning("config \"plugins\" names unknown plugin %r; known plugins: %s", name, ", ".join(_PLUGINS))
    return switches


def load_plugin_data(config):
    """Return a new list of the plugin definition dicts enabled by ``config``.

    This must not raise: the native profiler treats any failure here as an
    internal error.
    """
    switches = _plugin_switches(config)
    definitions = []
    for name, plugin in _PLUGINS.items():
        if switches.get(name, True):
            definitions.extend(plugin.definitions(config))
    return definitions
