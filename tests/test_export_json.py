"""`zelm export --format json` writes the stored document as it reads it,
record by record: the text must be the one json writes of the whole
document the reader decodes (zelm.trace.load), for every kind of trace and
for documents the reader salvages or that hold what JSON has no form for."""

import json
import math
import struct

import msgpack
import pytest

from conftest import VARIED_TRACES, build_varied_database, pack_with_raw, raw_slot, run_python
from test_trace_reader import WORKER, call, document, plugin, ret
from zelm import export, store
from zelm import trace as trace_reader
from zelm.serialize import values


def decoded_json(db_path, trace_id):
    """The text the whole decoded document gives."""
    decoded = trace_reader.load(db_path, trace_id).document
    return "".join(json.JSONEncoder(allow_nan=False).iterencode(export.to_json_safe(decoded)))


def streamed_json(db_path, trace_id, monkeypatch):
    """(the trace id it names, the streamed text, whether a document was
    decoded whole on the way)."""
    whole = []
    decode_document = trace_reader.decode_document
    monkeypatch.setattr(trace_reader, "decode_document", lambda *args: whole.append(args) or decode_document(*args))
    named_id, chunks = export.document_json(store.load_trace_documents(db_path, trace_id))
    text = "".join(chunks)
    monkeypatch.undo()
    return named_id, text, bool(whole)


# ---- the traces programs record ----


@pytest.fixture(scope="module")
def varied_database(tmp_path_factory):
    """(database, {VARIED_TRACES name: trace id}) of conftest's varied database."""
    return build_varied_database(tmp_path_factory.mktemp("varied-json"))


@pytest.mark.parametrize("name", VARIED_TRACES)
def test_streamed_json_is_the_decoded_documents_json(varied_database, name, monkeypatch):
    db_path, named = varied_database

    named_id, text, decoded_whole = streamed_json(db_path, named[name], monkeypatch)

    assert text == decoded_json(db_path, named[name])
    assert named_id == named[name] and not decoded_whole


# ---- documents made by hand ----


def packed_map(*entries):
    """A MessagePack map of the (key, value) ``entries`` as they are given,
    repeated keys included, which no packer writes."""
    assert len(entries) < 16
    return bytes([0x80 | len(entries)]) + b"".join(msgpack.packb(key) + msgpack.packb(value)
                                                   for key, value in entries)


def as_entries(doc, **replaced):
    return [(key, replaced.get(key, value)) for key, value in doc.items()]


def one_call_per_value(values_by_name):
    """A call and its return per value, the value its argument and its
    return value: each record holds one odd value, so that one record's
    oddity does not hide another's."""
    records = []
    for number, (name, value) in enumerate(values_by_name.items()):
        records += [call(name, f"v{number}", 1.0 + number, locals_={name: value}),
                    ret(name, f"v{number}", 1.5 + number, arg=value)]
    return records


def odd_values_document():
    """Locals and facts of every kind JSON has no form for, and keys that
    are not text."""
    odd = {
        "nan": math.nan, "inf": -math.inf, "bytes": b"\x00\xff<\\\t\n\r\x7f", "quoted_bytes": b"it's",
        "quotes_bytes": b"both ' and \"", "dquoted_bytes": b'say "hi"', "long_bytes": b"~" * 300, "tuple": ("a", (1, None)),
        "keyed": values.ObjectKeyDict({1: "one", None: "none", (2, 3): "pair"}), "repr": values.Repr("<Thing>"),
        "marker_like": {"$repr": "text"}, "marker_tuple": {"$tuple": [1]},
        "text": "\u00e9 \U0001f600 \"q\" \\ \x1f\x7f",
        "floats": [0.1, 1e300, 1e-7, 123456789012345678.0, -0.0, 3.0], "big": 2**64 - 1, "small": -2**63,
        "foreign_extension": msgpack.ExtType(42, b"??"), "bad_tuple": msgpack.ExtType(values.EXT_TUPLE, b"\x01"),
        "empty": [{}, [], (), ""],
    }
    records = one_call_per_value(odd) + [{5: "an int key", None: 1}]
    doc = document(records, {WORKER: [call("w", "w1", 1.2, thread=WORKER), ret("w", "w1", 1.3, thread=WORKER)]},
                   trace_id="trc_odd_values")
    doc["meta"] = {**doc["meta"], "odd": odd}
    return [values.packb({**doc, 7: "a fact under an int key"})]


def raw_values_document():
    """Values as only another writer packs them: a single-precision float,
    texts that are no strict UTF-8 in a repr and as a key, a key repeated
    among few and among many, a tuple whose payload is not one array,
    nesting deeper than the serializer goes."""
    names = ("single", "surrogate_repr", "repeated", "loose_tuple", "deep", "surrogate_key", "repeated_among_many")
    doc = document(one_call_per_value({name: raw_slot(number) for number, name in enumerate(names)}),
                   trace_id="trc_raw_values")
    raws = (b"\xca" + struct.pack(">f", 0.1), b"\xd6\x01\xed\xa0\x80!", b"\x82\xa1a\x01\xa1a\x02",
            b"\xc7\x02\x02\x90\xc0", b"\x91" * 300 + b"\xc0", b"\x81\xa3\xed\xa0\x80\x01",
            b"\xde\x00\x12" + b"".join(msgpack.packb(f"k{number % 17}") + msgpack.packb(number)
                                      for number in range(18)))
    # Each raw value stands twice, as the argument and as the return value.
    packed = msgpack.packb(doc)
    for number, raw in enumerate(raws):
        packed = packed.replace(msgpack.packb(raw_slot(number)), raw)
    return [packed]


def salvaged_document():
    """Records no reader decodes as they are: a value that is no UTF-8, a
    record nested too deep, plugin data that is no map."""
    doc = document([call("greet", "g1", 1.0, locals_={"name": "ada"}), raw_slot(1), "plugin data serialised whole",
                    ret("greet", "g1", 2.0)], trace_id="trc_salvaged")
    doc["frames_of_interest"][0]["locals"] = raw_slot(0)
    return [pack_with_raw(doc, b"\x81\xa4name\xa2\xc3\x28", b"\x91" * 2000 + b"\xc0")]


def undecodable_fact_document():
    doc = document([call("f", "f1", 1.0), ret("f", "f1", 2.0)], trace_id="trc_bad_fact")
    doc["meta"] = raw_slot(0)
    return [pack_with_raw(doc, b"\xa2\xc3\x28")]


def parts_with_threads_of_their_own():
    """A trace saved three times: a thread in the second part only, the
    facts of the later parts not those of the first."""
    first = document([call("main", "m", 1.0)], {WORKER: [call("w", "w1", 1.1, thread=WORKER)]}, trace_id="trc_parts")
    second = document([plugin("log_message", 1.5, level="INFO", message="half way")],
                      {300: [call("late", "l1", 1.6, thread=300)], WORKER: [ret("w", "w1", 1.7, thread=WORKER)]},
                      trace_id="trc_parts", timestamp=9.0)
    second["meta"] = {"version": "later"}
    third = document([ret("main", "m", 2.0)], {300: [ret("late", "l1", 1.8, thread=300)]}, trace_id="trc_parts")
    third["extra"] = True
    return [values.packb(part) for part in (first, second, third)]


def empty_document():
    return [values.packb(document([], trace_id="trc_empty"))]


def repeated_key_document():
    doc = document([call("kept", "k1", 1.0)], trace_id="trc_repeated_key")
    return [packed_map(*as_entries(doc), ("frames_of_interest", [call("last", "l1", 2.0)]))]


def repeated_thread_document():
    doc = document([], trace_id="trc_repeated_thread")
    threads = packed_map((WORKER, [call("first", "f1", 1.0, thread=WORKER)]),
                         (WORKER, [call("second", "s1", 2.0, thread=WORKER)]))
    return [packed_map(*as_entries(doc, frames=raw_slot(0))).replace(msgpack.packb(raw_slot(0)), threads)]


def alike_thread_keys_document():
    """Thread keys 200 and "200", one JSON key."""
    return [values.packb(document([], {WORKER: [call("a", "a1", 1.0, thread=WORKER)],
                                       str(WORKER): [call("b", "b1", 2.0)]}, trace_id="trc_alike_threads"))]


def marker_thread_key_document():
    """A "frames" map whose one key is a marker's, which the JSON marks as
    a map of odd keys."""
    return [values.packb(document([call("f", "f1", 1.0)], {"$dict": [call("g", "g1", 1.5)]},
                                  trace_id="trc_marker_thread"))]


# (the documents, whether the reader decodes them whole)
HAND_MADE = {
    "values JSON has no form for, keys that are not text": (odd_values_document, False),
    "values only another writer packs": (raw_values_document, False),
    "records the reader salvages": (salvaged_document, False),
    "a fact that does not decode": (undecodable_fact_document, False),
    "saved in parts, a thread in a later part": (parts_with_threads_of_their_own, False),
    "no records": (empty_document, False),
    "a repeated key": (repeated_key_document, True),
    "a repeated thread": (repeated_thread_document, True),
    "thread keys that are one JSON key": (alike_thread_keys_document, True),
    "one thread under a marker's key": (marker_thread_key_document, True),
}


@pytest.fixture(scope="module")
def hand_made_database(tmp_path_factory):
    db_path = tmp_path_factory.mktemp("hand-made") / "traces.sqlite3"
    trace_ids = {}
    for case, (make, _) in HAND_MADE.items():
        parts = make()
        trace_ids[case] = trace_reader.decode_document(parts[0])["trace_id"]
        for part in parts:
            store.save_trace_in_sqlite(db_path, trace_ids[case], timeout=5, msgpack=part)
    return db_path, trace_ids


@pytest.mark.parametrize("case", HAND_MADE)
def test_streamed_json_of_documents_made_by_hand(hand_made_database, case, monkeypatch):
    db_path, trace_ids = hand_made_database

    named_id, text, decoded_whole = streamed_json(db_path, trace_ids[case], monkeypatch)

    assert text == decoded_json(db_path, trace_ids[case])
    assert named_id == trace_ids[case]
    # Only what the streamed text cannot follow exactly is decoded whole.
    assert decoded_whole == HAND_MADE[case][1]


def test_plain_records_are_written_without_a_python_object(hand_made_database, monkeypatch):
    db_path, trace_ids = hand_made_database
    trace_id = trace_ids["saved in parts, a thread in a later part"]
    expected = decoded_json(db_path, trace_id)
    monkeypatch.setattr(export.json, "decode_record", lambda raw: pytest.fail("a record was decoded in Python"))

    assert "".join(export.document_json(store.load_trace_documents(db_path, trace_id))[1]) == expected


def test_a_document_that_does_not_read_fails_as_the_reader_fails(tmp_path):
    db_path = tmp_path / "traces.sqlite3"
    store.save_trace_in_sqlite(db_path, "trc_cut_short", timeout=5,
                               msgpack=values.packb(document([call("f", "f1", 1.0)]))[:-3])

    with pytest.raises(trace_reader.TraceFormatError) as read:
        trace_reader.load(db_path, "trc_cut_short")
    with pytest.raises(trace_reader.TraceFormatError) as streamed:
        export.document_json(store.load_trace_documents(db_path, "trc_cut_short"),
                             f"trace trc_cut_short in {db_path}")

    assert str(streamed.value) == str(read.value)


def test_export_json_from_the_command_line_writes_the_streamed_text(hand_made_database):
    db_path, trace_ids = hand_made_database
    trace_id = trace_ids["saved in parts, a thread in a later part"]

    result = run_python("-m", "zelm", "export", "--db", db_path, trace_id, "--format", "json", "-o", "out.json",
                        cwd=db_path.parent)

    assert result.returncode == 0, result.stderr
    assert result.stderr == f"zelm: wrote trace {trace_id} to out.json\n"
    assert (db_path.parent / "out.json").read_text() == decoded_json(db_path, trace_id) + "\n"
