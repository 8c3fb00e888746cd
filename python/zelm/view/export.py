"""`zelm export --format html`: the viewer and one trace in a single HTML
file that opens from disk, offline, for attaching to a bug report.

The file holds the pages' script and style inline and the trace as the
answers the server would give (every node's details, children and source
lines, the function tables and flame graphs), as JSON in a script element
of type application/json with every "<" escaped, so no value of the trace
can end that element. Its content security policy lets it load nothing
from anywhere. The source lines around a location are held once, under
the location, which the details of each call at it name.

The trace is read as the viewer reads it (zelm.view.lazy): its call tree
first, from which the limits below are checked before any record is
decoded, so that a trace far too large is refused about as fast as it is
indexed.
"""

import json
import re

from zelm.view import aggregates, facts, lazy, model, server

# What an HTML export holds at most: beyond this, `zelm view` serves the
# trace instead.
MAX_NODES = 50_000
MAX_BYTES = 32 * 1024 * 1024

# The fewest bytes a node takes in the page besides its texts: the names
# alone of the dozen entries every node's details hold take more.
_LEAST_NODE_BYTES = 100

_SCRIPT_TAG = re.compile(r'<script src="static/([a-z]+\.js)"></script>')

_POLICY = ("default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
           "img-src data:; base-uri 'none'; form-action 'none'")


class ExportTooLarge(Exception):
    """The trace is larger than an HTML export holds; the message says by
    how much."""


def embedded_data(index, listing_entry):
    """The answers of the viewer's API for the trace ``index`` (a
    model.TraceIndex), as one JSON-ready dict."""
    count = len(index.nodes)
    _check_node_count(index.trace.trace_id, count)
    nodes, rows, children, sources = {}, {}, {}, {}
    # A row is its node's details less what only the details hold, with
    # its own shorter texts of the values.
    detail_only = {"call": set(), "plugin": set()}
    for node_id in range(count):
        nodes[node_id] = index.details(node_id)
        row = index.row(node_id)
        detail_only[row["kind"]].update(nodes[node_id].keys() - row.keys())
        rows[node_id] = {key: row[key] for key in ("arguments", "return_value", "raised") if key in row}
        child_ids = list(index.children_ids(node_id))
        if child_ids:
            children[node_id] = child_ids
        # The page finds a call's source lines by its location.
        if row["kind"] == "call" and row["location"] not in sources:
            sources[row["location"]] = index.source(node_id)
    summary = index.summary()
    # Every call as its own box: at this size the page picks a window's itself.
    timelines = {info.number: index.whole_timeline(info.number) for info in index.threads}
    # The tables keep their call ids here: the page lists a function's calls itself.
    found = aggregates.of(index)
    functions = {"all": found.table(None)[0]}
    functions.update((info.number, found.table(info.number)[0]) for info in index.threads)
    return {
        "page_size": model.PAGE_SIZE,
        "listing": listing_entry,
        "summary": summary,
        "roots": {info.number: list(info.roots) for info in index.threads},
        "children": children,
        "nodes": nodes,
        "rows": rows,
        "detail_only": {kind: sorted(keys) for kind, keys in detail_only.items()},
        "sources": sources,
        "timelines": timelines,
        "functions": functions,
        "flames": {info.number: found.flame(info.number) for info in index.threads},
    }


def render_html(data):
    """The self-contained page showing ``data`` (from embedded_data)."""
    files = server.static_files()
    page = files["index.html"].decode()
    payload = json.dumps(data, allow_nan=False, separators=(",", ":"))
    # In a script element only "</script" and "<!--" end or change the
    # text; with every "<" escaped neither can occur. JSON reads \u003c back.
    payload = payload.replace("<", "\\u003c").replace("\u2028", "\\u2028").replace("\u2029", "\\u2029")
    style = files["viewer.css"].decode().replace("</", "<\\/")
    page = page.replace('<link rel="stylesheet" href="static/viewer.css">',
                        f'<meta http-equiv="Content-Security-Policy" content="{_POLICY}">\n<style>{style}</style>')
    # The data goes before the first script; each script goes inline where
    # the page loads it, in the same order.
    first = True

    def inline(match):
        nonlocal first
        script = files[match.group(1)].decode().replace("</", "<\\/")
        data = f'<script type="application/json" id="zelm-data">{payload}</script>\n' if first else ""
        first = False
        return f"{data}<script>{script}</script>"

    return _SCRIPT_TAG.sub(inline, page)


def export_html(db_path, trace_id, output):
    """Write the trace ``trace_id`` (or zelm.trace.LATEST) of the database
    at ``db_path`` as one HTML file; return (its trace id, the file's size
    in bytes). Raises ExportTooLarge, before decoding a record when the
    call tree shows the trace too large, and zelm.trace's TraceError for a
    trace that is not stored or does not read."""
    stored_id, documents = lazy.load_documents(db_path, trace_id)
    try:
        tree = lazy.index_documents(documents)
    except lazy.Unindexable:
        pass  # the reader decodes it whole below, and embedded_data counts its nodes
    else:
        _check_node_count(stored_id, len(tree["kind"]))
        _check_size(stored_id, least_page_bytes(tree), "would take at least")
    with model.collector_paused():
        index = model.TraceIndex.from_documents(documents, f"trace {stored_id} in {db_path}")
    index.origin = facts.origin(db_path, stored_id)
    listing = [entry for entry in facts.listing(db_path) if entry["trace_id"] == stored_id]
    page = render_html(embedded_data(index, listing[0] if listing else None)).encode()
    _check_size(stored_id, len(page), "would take")
    with open(output, "wb") as handle:
        handle.write(page)
    return stored_id, len(page)


def least_page_bytes(tree):
    """The fewest bytes the page of the trace whose call tree is ``tree``
    (lazy.index_documents) takes, read from the tree alone: the page's own
    files, and per node its entries' names and its name (a call's in its
    details and on the timeline) and a call's location, each as long as
    its text at least (JSON and UTF-8 only lengthen it)."""
    text_lengths = [len(text) if isinstance(text, str) else 0 for text in tree["objects"]]
    total = len(render_html({}).encode())
    for kind, name, path in zip(lazy.column(tree, "kind", "b"), lazy.column(tree, "name", "i"),
                                lazy.column(tree, "path", "i")):
        total += _LEAST_NODE_BYTES + text_lengths[name]
        if not kind:  # a call
            total += text_lengths[name] + text_lengths[path]
    return total


def _check_node_count(trace_id, count):
    if count > MAX_NODES:
        raise ExportTooLarge(
            f"trace {trace_id} has {count} calls and records; an HTML export holds at most "
            f"{MAX_NODES} (open it with `zelm view` instead)")


def _check_size(trace_id, size, says):
    if size > MAX_BYTES:
        raise ExportTooLarge(
            f"the HTML export of trace {trace_id} {says} {size} bytes; the limit is "
            f"{MAX_BYTES} (open it with `zelm view` instead)")
