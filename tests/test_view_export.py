"""`zelm export --format html` from the call tree the viewer indexes: its
limits checked before a record is decoded, the source lines of a location
held once."""

import json

import msgpack
import pytest

from test_view_api import cut_document, flat_document, hostile_document, recorded_test_document, save
from zelm import trace as trace_reader
from zelm.view import export, facts, lazy, model


def embedded_data(page):
    return json.loads(page.split('id="zelm-data">', 1)[1].split("</script>", 1)[0])


@pytest.mark.parametrize("limit", ["nodes", "bytes"])
def test_a_trace_over_a_limit_is_refused_before_a_record_is_decoded(db_path, tmp_path, monkeypatch, limit):
    trace_id = save(db_path, flat_document(1000))  # 1001 nodes
    if limit == "nodes":
        monkeypatch.setattr(export, "MAX_NODES", 1000)
    else:
        # Room for the page's own files and 50 bytes a node, where every
        # node's details alone take more.
        monkeypatch.setattr(export, "MAX_BYTES", len(export.render_html({}).encode()) + 1001 * 50)
    output = tmp_path / "trace.html"

    with monkeypatch.context() as patch:
        patch.setattr(msgpack, "unpackb", lambda *args, **kwargs: pytest.fail("a record was decoded"))
        with pytest.raises(export.ExportTooLarge) as refused:
            export.export_html(db_path, trace_id, output)

    assert ("has 1001 calls and records" if limit == "nodes" else "would take at least") in str(refused.value)
    assert not output.exists()


def test_the_export_decodes_no_document_whole(db_path, tmp_path, monkeypatch):
    trace_id = save(db_path, hostile_document())
    monkeypatch.setattr(trace_reader, "decode_document", lambda *args: pytest.fail("a document was decoded whole"))

    assert export.export_html(db_path, trace_id, tmp_path / "trace.html")[0] == trace_id


TRACES = {
    "many short calls": lambda: flat_document(1000),
    "markup": hostile_document,
    "cut by its budget": cut_document,
    "a failed test": lambda: recorded_test_document("failed"),
}


@pytest.mark.parametrize("case", TRACES)
def test_the_least_size_read_from_the_tree_is_never_more_than_the_page(db_path, tmp_path, case):
    trace_id = save(db_path, TRACES[case]())
    tree = lazy.index_documents(lazy.load_documents(db_path, trace_id)[1])

    _, size = export.export_html(db_path, trace_id, tmp_path / "trace.html")

    assert len(export.render_html({}).encode()) < export.least_page_bytes(tree) <= size


@pytest.mark.parametrize("case", TRACES)
def test_the_page_holds_what_the_fully_decoded_trace_gives(db_path, tmp_path, case):
    trace_id = save(db_path, TRACES[case]())
    output = tmp_path / "trace.html"

    export.export_html(db_path, trace_id, output)

    decoded = model.TraceIndex(trace_reader.load(db_path, trace_id))
    decoded.origin = facts.origin(db_path, trace_id)
    expected = json.loads(json.dumps(export.embedded_data(decoded, facts.listing(db_path)[0])))
    assert embedded_data(output.read_text()) == expected


def test_the_source_lines_of_a_location_are_held_once(recursive_trace, tmp_path):
    db_path, trace_id = recursive_trace
    output = tmp_path / "recursive.html"

    export.export_html(db_path, trace_id, output)

    data = embedded_data(output.read_text())
    calls = [node for node in data["nodes"].values() if node["kind"] == "call"]
    # fib is called 34 times, at one location, as main, slow_leaf and the module are at theirs.
    assert sum(node["name"] == "__main__.fib" for node in calls) == 34
    assert sorted(data["sources"]) == sorted({node["location"] for node in calls})
    assert len(data["sources"]) == 4
    fib = next(node for node in calls if node["name"] == "__main__.fib")
    assert data["sources"][fib["location"]]["lines"][3] == {"number": 4, "text": "def fib(n):"}
