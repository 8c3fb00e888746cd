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

Config key "plugins" maps plugin names to booleans; every plugin is on
unless switched off there, e.g. {"plugins": {"log_messages": False}}.
"""

import logging
import os
from collections.abc import Mapping

__all__ = ["load_plugin_data", "PLUGIN_NAMES"]

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


def _test_item_file(item):
    path = _attribute(item, "path")  # pytest >= 7
    if path is None:
        path = _attribute(item, "fspath")
    try:
        return os.fspath(path)
    except Exception:
        return None


def _test_item_data(frame, event, arg, context):
    item = _local(frame, "item")
    nodeid = _attribute(item, "nodeid")
    return {"nodeid": nodeid if isinstance(nodeid, str) else None, "file": _test_item_file(item)}


def _test_markers(config):
    return [
        {
            "co_names": ["pytest_runtest_protocol"],
            "path_fragment": "/_pytest/runner.py",
            "call_type": "start_test",
            "return_type": "end_test",
            "process": _test_item_data,
        }
    ]


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


# ---- outbound_http: requests made through http.client ----
#
# HTTPConnection.request is where every client (urllib, or http.client
# used directly) hands over method, URL, headers and body; the return of
# HTTPConnection.getresponse carries the response.


def _header_pairs(headers):
    """[[name, value], ...] of a headers mapping; repeated names stay."""
    if headers is None:
        return []
    try:
        return [[name, value] for name, value in headers.items()]
    except Exception:
        return None


def _body_size(body):
    if body is None:
        return 0
    if isinstance(body, (bytes, bytearray, str)):
        # http.client sends a str body encoded as ISO-8859-1: one byte per character.
        return len(body)
    if isinstance(body, memoryview):
        return body.nbytes
    # A file or an iterable: its size is known only once it is sent.
    return None


def _request_url(connection, url):
    if not isinstance(url, str):
        return None
    if "://" in url:
        # The absolute form, as sent to a proxy.
        return url
    host = _attribute(connection, "host")
    if isinstance(host, str) and ":" in host:
        host = f"[{host}]"
    scheme = "https" if _attribute(connection, "default_port") == 443 else "http"
    return f"{scheme}://{host}:{_attribute(connection, 'port')}{url}"


def _outbound_request_data(frame, event, arg, context):
    return {
        "method": _local(frame, "method"),
        "url": _request_url(_local(frame, "self"), _local(frame, "url")),
        "headers": _header_pairs(_local(frame, "headers")),
        "body_size": _body_size(_local(frame, "body")),
    }


def _has_response(frame, event, arg, context):
    # getresponse left by an exception returns None: there is no response.
    return arg is not None


def _outbound_response_data(frame, event, arg, context):
    return {
        "status": _attribute(arg, "status"),
        "reason": _attribute(arg, "reason"),
        "headers": _header_pairs(_attribute(arg, "msg")),
    }


def _outbound_http(config):
    return [
        {
            "co_names": ["request"],
            "path_fragment": "/http/client.py",
            "call_type": "outbound_request",
            "return_type": "outbound_request",
            "events": ["call"],
            "process": _outbound_request_data,
        },
        {
            "co_names": ["getresponse"],
            "path_fragment": "/http/client.py",
            "call_type": "outbound_response",
            "return_type": "outbound_response",
            "events": ["return"],
            "call": _has_response,
            "process": _outbound_response_data,
        },
    ]


# Each plugin's builder takes the config dict and returns its definitions.
_PLUGINS = {
    "test_markers": _test_markers,
    "log_messages": _log_messages,
    "outbound_http": _outbound_http,
}

PLUGIN_NAMES = tuple(_PLUGINS)


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
    for name, build_definitions in _PLUGINS.items():
        if switches.get(name, True):
            definitions.extend(build_definitions(config))
    return definitions
