"""`zelm view`: the trace viewer, a local web page served from 127.0.0.1.

server.py serves the pages in static/ and a JSON API; model.py indexes a
loaded trace for that API; facts.py fills in the trace list; export.py
writes the viewer and one trace into a single HTML file.
"""

import sys
import threading
import urllib.parse
import webbrowser

from zelm import store
from zelm import trace as trace_reader


def page_url(base_url, trace_id=None):
    """The viewer's address, on the list or on one trace."""
    if trace_id is None:
        return base_url
    return base_url + "#trace=" + urllib.parse.quote(trace_id, safe="")


def resolve_trace_id(db_path, trace_id):
    """The stored trace id ``trace_id`` names ("latest": the newest), or
    raise trace.TraceNotFoundError."""
    stored = store.list_traces(db_path)
    if trace_id == trace_reader.LATEST:
        if not stored:
            raise trace_reader.TraceNotFoundError(f"no traces stored in {db_path}")
        return stored[0].trace_id
    if not any(entry.trace_id == trace_id for entry in stored):
        raise trace_reader.TraceNotFoundError(f"no trace {trace_id} in {db_path}")
    return trace_id


def serve(db_path, trace_id=None, port=0, open_browser=True, out=sys.stdout):
    """Serve the viewer until interrupted (Ctrl-C); return the exit status."""
    from zelm.view.server import ViewerServer

    store.list_traces(db_path)  # a database that cannot be read fails here, not in the page
    if trace_id is not None:
        trace_id = resolve_trace_id(db_path, trace_id)
    server = ViewerServer(db_path, port)
    if trace_id is not None:
        # Decode the trace while the browser starts; the page's first request waits for it.
        threading.Thread(target=server.preload, args=(trace_id,), daemon=True).start()
    url = page_url(server.url, trace_id)
    print(f"zelm: viewer at {url} (Ctrl-C ends it)", file=out, flush=True)
    if open_browser:
        webbrowser.open(url)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        print("zelm: viewer stopped", file=out, flush=True)
    finally:
        server.server_close()
    return 0
