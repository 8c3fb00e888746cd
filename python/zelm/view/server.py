"""The viewer's web server: the static pages and a JSON API over the trace
database, for one user on this machine.

It listens on 127.0.0.1 only and answers only requests addressed to
127.0.0.1 or localhost at its own port, so that a web page elsewhere cannot
reach it through a DNS name that points here. Every address it serves
starts with a random token made at launch (the printed address carries
it), so that the other users of this machine, who can reach the port too,
cannot read the traces. It only reads: the database is opened read-only,
and the only files it reads besides are the Python sources a trace names
for its calls (see zelm.view.sources). The pages take every value as text,
and ask for their files and the API relative to their own address.
"""

import gc
import hmac
import http.server
import json
import math
import os
import secrets
import threading
import urllib.parse
from importlib import resources

from zelm import store
from zelm import trace as trace_reader
from zelm.view import aggregates, facts, lazy, model

# Loaded traces kept decoded; each can take hundreds of megabytes.
CACHED_TRACES = 2

_CONTENT_TYPES = {
    ".html": "text/html; charset=utf-8",
    ".css": "text/css; charset=utf-8",
    ".js": "text/javascript; charset=utf-8",
    ".png": "image/png",
}

# The pages load nothing but their own files and talk to nothing but this server.
_CONTENT_SECURITY_POLICY = (
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"
)


def static_files():
    """{file name: bytes} of the pages shipped in the package."""
    folder = resources.files("zelm.view").joinpath("static")
    return {entry.name: entry.read_bytes() for entry in folder.iterdir() if entry.is_file()}


class BadRequest(Exception):
    """A request the API cannot answer; the message says why."""

    def __init__(self, message, status=400):
        super().__init__(message)
        self.status = status


class TraceCache:
    """Decoded and indexed traces, the most recently used kept; a trace is
    loaded once even when several requests ask for it at the same time."""

    def __init__(self, db_path, size=CACHED_TRACES):
        self.db_path = db_path
        self.size = size
        self._lock = threading.Lock()
        self._entries = {}  # trace id -> (lock, index or None); insertion order = use order

    def get(self, trace_id):
        with self._lock:
            entry = self._entries.pop(trace_id, None)
            if entry is None:
                entry = [threading.Lock(), None]
            self._entries[trace_id] = entry
            while len(self._entries) > self.size:
                del self._entries[next(iter(self._entries))]
        with entry[0]:
            if entry[1] is None:
                stored_id, documents = lazy.load_documents(self.db_path, trace_id)
                with model.collector_paused():
                    entry[1] = model.TraceIndex.from_documents(documents, f"trace {stored_id} in {self.db_path}")
                entry[1].origin = facts.origin(self.db_path, stored_id)
                # Millions of objects that live on and hold no cycles: a
                # full collection would walk them all for seconds, at some
                # later request. Once evicted, reference counting frees them.
                gc.freeze()
            return entry[1]


class ViewerServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, db_path, port=0):
        self.db_path = db_path
        self.traces = TraceCache(db_path)
        self.files = static_files()
        self.token = secrets.token_urlsafe(32)
        super().__init__(("127.0.0.1", port), RequestHandler)

    def preload(self, trace_id):
        """Load a trace ahead of the first request for it; a failure is
        left for that request to report."""
        try:
            self.traces.get(trace_id)
        except Exception:
            pass

    @property
    def port(self):
        return self.server_address[1]

    @property
    def url(self):
        return f"http://127.0.0.1:{self.port}/{self.token}/"

    def page_path(self, path):
        """``path`` (a request's path) without the token that starts it, or
        None when it does not start with the token."""
        prefix = f"/{self.token}/".encode()
        given = path.encode()
        if not hmac.compare_digest(given[:len(prefix)], prefix):
            return None
        return path[len(prefix) - 1:]

    def allowed_hosts(self):
        return {f"127.0.0.1:{self.port}", f"localhost:{self.port}"}


def _integer(params, name, default=None):
    text = params.get(name)
    if text is None or text == "":
        if default is None:
            raise BadRequest(f"missing parameter {name}")
        return default
    try:
        return int(text)
    except ValueError:
        raise BadRequest(f"parameter {name} is not a whole number") from None


def _optional_integer(params, name):
    """The whole number ``name``, or None when it is absent or empty."""
    return None if params.get(name) in (None, "") else _integer(params, name)


def _text(params, name):
    try:
        return params[name]
    except KeyError:
        raise BadRequest(f"missing parameter {name}") from None


def _call_path(params):
    """The parameter call_path: JSON, a list of [qualified name, file] pairs."""
    try:
        steps = json.loads(params["call_path"])
    except ValueError:
        steps = None
    if not (isinstance(steps, list) and all(
            isinstance(step, list) and len(step) == 2 and all(isinstance(part, str) for part in step)
            for step in steps)):
        raise BadRequest("call_path is a JSON list of [qualified name, file] pairs")
    return steps


def _number(params, name):
    try:
        value = float(params[name])
    except KeyError:
        raise BadRequest(f"missing parameter {name}") from None
    except ValueError:
        value = math.nan
    if not math.isfinite(value):
        raise BadRequest(f"parameter {name} is not a finite number")
    return value


class RequestHandler(http.server.BaseHTTPRequestHandler):
    server_version = "zelm-view"
    sys_version = ""

    def log_message(self, format, *args):
        pass  # a local tool: the terminal stays quiet

    def do_HEAD(self):
        self._refuse(405, "only GET is served")

    def do_POST(self):
        self._refuse(405, "only GET is served")

    do_PUT = do_DELETE = do_PATCH = do_OPTIONS = do_POST

    def do_GET(self):
        if self.headers.get("Host", "") not in self.server.allowed_hosts():
            self._refuse(403, "this server answers only requests to 127.0.0.1 or localhost at its port")
            return
        url = urllib.parse.urlsplit(self.path)
        path = self.server.page_path(url.path)
        if path is None:
            self._refuse(403, "open the viewer at the address `zelm view` printed: it holds the viewer's token")
            return
        params = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
        if path.startswith("/api/"):
            self._api(path[len("/api/"):], params)
            return
        name = "index.html" if path == "/" else path.rpartition("/static/")[2]
        body = self.server.files.get(name) if path in ("/", "/static/" + name) else None
        if body is None:
            self._refuse(404, "no such page")
            return
        self._send(200, body, _CONTENT_TYPES.get(os.path.splitext(name)[1], "application/octet-stream"))

    def _api(self, endpoint, params):
        try:
            self._send_json(200, self._answer(endpoint, params))
        except BadRequest as error:
            self._send_json(error.status, {"error": str(error)})
        except model.NodeNotFound as error:
            self._send_json(404, {"error": f"no node {error.args[0]} in this trace"})
        except aggregates.UnknownFunction as error:
            self._send_json(404, {"error": str(error)})
        except trace_reader.TraceNotFoundError as error:
            self._send_json(404, {"error": str(error)})
        except (trace_reader.TraceError, store.TraceStoreError) as error:
            self._send_json(500, {"error": str(error)})
        except Exception as error:  # one request's failure must not end the server
            self._send_json(500, {"error": f"{type(error).__name__}: {error}"})

    def _answer(self, endpoint, params):
        server = self.server
        if endpoint == "traces":
            return {"db": os.fspath(server.db_path), "traces": facts.listing(server.db_path)}
        trace_id = params.get("trace")
        if not trace_id:
            raise BadRequest("missing parameter trace")
        index = server.traces.get(trace_id)
        if endpoint == "summary":
            return index.summary()
        if endpoint in ("roots", "children"):
            containing = params.get("containing")
            page = index.roots if endpoint == "roots" else index.children
            return page(
                _integer(params, "thread" if endpoint == "roots" else "node"), _integer(params, "offset", 0),
                containing=None if containing in (None, "") else _integer(params, "containing"),
            )
        if endpoint == "node":
            return index.details(_integer(params, "node"))
        if endpoint == "source":
            return index.source(_integer(params, "node"))
        if endpoint == "search":
            thread = params.get("thread")
            current = params.get("current")
            direction = params.get("direction", "next")
            if direction not in ("next", "previous"):
                raise BadRequest("direction is next or previous")
            return index.search(
                params.get("q", ""),
                None if thread in (None, "") else _integer(params, "thread"),
                None if current in (None, "") else _integer(params, "current"),
                direction,
            )
        if endpoint == "timeline":
            return index.timeline(
                _integer(params, "thread"), _number(params, "begin"), _number(params, "finish"),
                _integer(params, "width", 1000), params.get("q") or None,
            )
        if endpoint == "functions":
            return aggregates.of(index).functions(_optional_integer(params, "thread"))
        if endpoint == "flame":
            return aggregates.of(index).flame(_integer(params, "thread"))
        if endpoint == "calls":
            found = aggregates.of(index)
            offset = _integer(params, "offset", 0)
            if "call_path" in params:
                return found.path_calls(_integer(params, "thread"), _call_path(params), offset)
            return found.function_calls(_optional_integer(params, "thread"), _text(params, "qualname"),
                                        _text(params, "path"), offset)
        raise BadRequest(f"no API endpoint {endpoint}", 404)

    def _refuse(self, status, message):
        self._send_json(status, {"error": message})

    def _send_json(self, status, value):
        body = json.dumps(value, allow_nan=False, separators=(",", ":")).encode()
        self._send(status, body, "application/json")

    def _send(self, status, body, content_type):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Content-Security-Policy", _CONTENT_SECURITY_POLICY)
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Referrer-Policy", "no-referrer")
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)
