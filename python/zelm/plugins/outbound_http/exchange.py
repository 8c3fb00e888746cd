"""What outbound_http's hooks on every client share: the exchanges in
flight, the three records they make, and reading requests, headers and
bodies as those records hold them.
"""

import opcode
import threading
import time
import weakref

from zelm.plugins.frames import attribute
from zelm.plugins.http import MASK, error_text, latin1_text, masked, masked_query
from zelm.serialize.scrub import current_scrub_keys

__all__ = ["HttpState", "definition", "unwinding", "header_pairs", "header", "request_body_size",
           "masked_url", "origin", "request_data", "response_data", "error_data"]

# The opcodes that end a frame by returning; a "return" event at any other
# instruction is the frame being left by an exception.
_RETURN_OPCODES = frozenset(opcode.opmap[name] for name in ("RETURN_VALUE", "RETURN_CONST") if name in opcode.opmap)


def unwinding(frame):
    """Whether the frame of a "return" event is being left by an exception."""
    try:
        return frame.f_code.co_code[frame.f_lasti] not in _RETURN_OPCODES
    except Exception:
        return False


def header_pairs(headers):
    """[[name, value], ...] of a headers mapping, repeated names kept, the
    values of credential headers masked."""
    if headers is None:
        return []
    try:
        # httpx's Headers.items() joins repeated names; multi_items() does not.
        items = headers.multi_items() if hasattr(headers, "multi_items") else headers.items()
        return [[name, masked(name, value)] for name, value in items]
    except Exception:
        return None


def header(headers, wanted):
    """The first value of header ``wanted`` (lower case) in a headers mapping, or None."""
    try:
        for name, value in headers.items():
            if latin1_text(name).lower() == wanted:
                return latin1_text(value)
    except Exception:
        pass
    return None


def request_body_size(body, str_encoding="latin-1"):
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
    length = header(headers, "content-length")
    try:
        size = int(length)
    except (TypeError, ValueError):
        return None
    return size if size >= 0 else None


def masked_url(url):
    """The URL text (absolute, or a request target) with the password of a
    user:password@ part and the values of query parameters that name
    credentials masked; as it is when nothing is masked (config scrub_keys
    empty)."""
    if not isinstance(url, str):
        return None
    if not current_scrub_keys():
        return url
    head, hash_sign, fragment = url.partition("#")
    before_query, question_mark, query = head.partition("?")
    return _masked_password(before_query) + question_mark + masked_query(query) + hash_sign + fragment


def _masked_password(url):
    scheme, separator, rest = url.partition("://")
    if not separator:
        return url
    authority, slash, path = rest.partition("/")
    userinfo, at, host = authority.rpartition("@")
    if not at or ":" not in userinfo:
        return url
    user = userinfo.split(":", 1)[0]
    return f"{scheme}://{user}:{MASK}@{host}{slash}{path}"


def origin(scheme, host, port):
    if isinstance(host, str) and ":" in host and not host.startswith("["):
        host = f"[{host}]"
    return f"{scheme}://{host}:{port}"


def _duration(started):
    return None if started is None else time.perf_counter() - started


def request_data(client, method, url, headers, body_size):
    return {"client": client, "method": method, "url": url, "headers": header_pairs(headers), "body_size": body_size}


def response_data(client, method, url, response, status, headers, started):
    return {
        "client": client,
        "method": method,
        "url": url,
        "status": status,
        "reason": attribute(response, "reason_phrase" if client == "httpx" else "reason"),
        "headers": header_pairs(headers),
        "body_size": _response_body_size(method, status, headers),
        "duration": _duration(started),
    }


def error_data(client, method, url, error, started):
    return {"client": client, "method": method, "url": url, "error": error_text(error), "duration": _duration(started)}


class HttpState:
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


def definition(co_name, path_fragment, call_type, return_type, call, process, events=None):
    """The definition of one processor of outbound_http."""
    return {"co_names": [co_name], "path_fragment": path_fragment, "call_type": call_type,
            "return_type": return_type, "events": events, "call": call, "process": process}
