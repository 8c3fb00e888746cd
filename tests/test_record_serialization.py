"""Values reach frame records through the host serializer zelm.serialize:
what its results must be, and what becomes of an event when they are not."""

import logging
import os
import sys
import types

import msgpack
import pytest

import zelm
import zelm.serialize
from conftest import echo, frame_records, plugin_definition

HERE = os.path.abspath(__file__)
LOG_MESSAGE = (
    "Unexpected exception in Rust.\n    co_filename: %s\n    co_name: %s\n"
    "    event: %s\n    line: %s\n"
)


class Marked:
    """The return value whose serialisation the tests replace."""


def returns_marked():
    return Marked()


def run():
    returns_marked()
    echo("after")


@pytest.fixture
def serializer_output(monkeypatch):
    """serializer_output(make) makes zelm.serialize.dump_msgpack answer
    make() for a Marked value and serialise everything else as usual."""
    real = zelm.serialize.dump_msgpack

    def install(make):
        def dump_msgpack(value):
            return make() if isinstance(value, Marked) else real(value)
        monkeypatch.setattr(zelm.serialize, "dump_msgpack", dump_msgpack)
    return install


def raise_runtime_error():
    raise RuntimeError("serializer failed")


@pytest.mark.parametrize("output, expected_arg", [
    ([0xc0], None),
    ((0x92, 0x01, 0xa1, 0x78), [1, "x"]),
    (bytearray(b"\xa3abc"), "abc"),
    (b"\x81\xa1k\xc3", {"k": True}),
], ids=["list", "tuple", "bytearray", "bytes"])
def test_byte_sequences_are_embedded_unchanged(profile, serializer_output, zelm_warnings, output, expected_arg):
    serializer_output(lambda: output)
    doc, _ = profile(run)
    assert [(r["event"], r["arg"]) for r in frame_records(doc, "returns_marked")] == [
        ("call", None), ("return", expected_arg),
    ]
    assert zelm_warnings() == []


@pytest.mark.parametrize("make, error_type, message", [
    (lambda: "\xc0", TypeError, "Can't extract `str` to `Vec`"),
    (lambda: [0x92, 256], OverflowError, "out of range integral type conversion attempted"),
    (lambda: [-1], OverflowError, "out of range integral type conversion attempted"),
    (lambda: 5, TypeError, "'int' object cannot be converted to 'Sequence'"),
    (lambda: [0xc0, "x"], TypeError, None),
    (raise_runtime_error, RuntimeError, "serializer failed"),
    # not exactly one complete MessagePack value
    (lambda: b"", Exception, None),
    (lambda: b"\x92\x01", Exception, None),
    (lambda: b"\xa5abc", Exception, None),
    (lambda: b"\xc0\xc0", Exception, None),
    (lambda: [0xc3, 0xc2], Exception, None),
], ids=["str", "item-256", "negative-item", "not-a-sequence", "non-int-item", "raises",
        "empty", "truncated-array", "truncated-str", "two-values", "two-values-as-list"])
def test_unusable_output_drops_the_event_with_one_warning(
        profile, serializer_output, zelm_warnings, make, error_type, message):
    serializer_output(make)
    doc, _ = profile(run)

    [warning] = zelm_warnings()
    assert warning.levelno == logging.WARNING
    assert warning.msg == LOG_MESSAGE
    assert warning.args == (HERE, "returns_marked", "return", returns_marked.__code__.co_firstlineno)
    error = warning.exc_info[1]
    assert isinstance(error, error_type)
    if message is not None:
        assert str(error) == message
    assert [r["event"] for r in frame_records(doc, "returns_marked")] == ["call"]
    # later events are recorded as usual
    assert [r["arg"] for r in frame_records(doc, "echo")] == [None, "after"]


@pytest.mark.parametrize("lightweight", [False, True])
def test_lightweight_repr_chooses_the_serializer(profile, monkeypatch, lightweight):
    monkeypatch.setattr(zelm.serialize, "dump_msgpack", lambda value: msgpack.packb(["full", repr(value)]))
    monkeypatch.setattr(zelm.serialize, "dump_msgpack_lightweight_repr",
                        lambda value: msgpack.packb(["light", repr(value)]))
    doc, _ = profile(lambda: echo("value"), config={"lightweight_repr": lightweight})
    kind = "light" if lightweight else "full"
    call, ret = frame_records(doc, "echo")
    assert call["arg"] == [kind, "None"] and ret["arg"] == [kind, "'value'"]
    assert call["locals"] == ret["locals"] == [kind, "{'value': 'value'}"]


def test_a_module_put_in_the_serializers_place_serialises_the_later_events(profile, monkeypatch):
    replacement = types.ModuleType("zelm.serialize")
    replacement.dump_msgpack = lambda value: msgpack.packb(["replaced", repr(value)])

    def swap_between_calls():
        echo("before")
        monkeypatch.setitem(sys.modules, "zelm.serialize", replacement)
        echo("after")

    doc, _ = profile(swap_between_calls)
    assert [r["arg"] for r in frame_records(doc, "echo")] == [
        None, "before", ["replaced", "None"], ["replaced", "'after'"],
    ]


def test_unimportable_serializer_drops_every_recorded_event(profile, monkeypatch, tmp_path, zelm_warnings):
    monkeypatch.delitem(sys.modules, "zelm.serialize")
    monkeypatch.setattr(zelm, "__path__", [str(tmp_path)])

    doc, _ = profile(run)
    assert frame_records(doc) == []
    # One warning for each code, at its first failing event.
    warnings = zelm_warnings()
    assert [(w.args[1], w.args[2]) for w in warnings] == [("run", "call"), ("returns_marked", "call"), ("echo", "call")]
    for warning in warnings:
        assert isinstance(warning.exc_info[1], ImportError)
        assert warning.exc_info[1].name == "zelm.serialize"


def loads_in_a_document(data):
    """Whether a default MessagePack reader loads ``data`` four containers
    deep, the deepest place a trace document holds a serialised value."""
    try:
        msgpack.unpackb(b"\x91" * 4 + data)
    except Exception:
        return False
    return True


# A frame record's value, as a hostile or broken serializer might write it.
SERIALIZER_OUTPUTS = {
    "invalid-utf8": b"\xa2\xc3\x28",
    "utf8-encoded-surrogate": b"\xa3\xed\xa0\x80",
    "overlong-utf8": b"\xa2\xc0\xaf",
    "utf8-cut-short": b"\xa2a\xe2",
    "invalid-utf8-key": b"\x81\xa1\xff\x01",
    "invalid-utf8-deep-inside": b"\x92\x01\x81\xa1k\x91\xa1\xfe",
    "array-key": b"\x81\x91\x01\xc0",
    "map-key": b"\x81\x80\xc0",
    "int-key": b"\x81\x01\xc0",
    "nil-key": b"\x81\xc0\xc0",
    "timestamp-of-2-bytes": b"\xd5\xff\x00\x00",
    "1021-levels": b"\x91" * 1021 + b"\xc0",
    "2000-levels": b"\x91" * 2000 + b"\xc0",
    # and what a reader does load
    "utf8": msgpack.packb("caf\xe9 \u20ac \U0001f600"),
    "bytes-key": b"\x81\xc4\x01\xff\x01",
    "timestamp": msgpack.packb(msgpack.Timestamp(1, 999_999_999)),
    "other-extension": b"\xd5\x05\x00\x00",
    "1020-levels": b"\x91" * 1020 + b"\xc0",
}


@pytest.mark.parametrize("output", list(SERIALIZER_OUTPUTS.values()), ids=list(SERIALIZER_OUTPUTS))
def test_values_a_reader_cannot_load_are_refused_when_recorded(
        profile_raw, serializer_output, zelm_warnings, output):
    serializer_output(lambda: output)
    document, _ = profile_raw(run)

    doc = msgpack.unpackb(document, strict_map_key=False)  # the rest stays readable
    returns = [r for r in frame_records(doc, "returns_marked") if r["event"] == "return"]
    if loads_in_a_document(output):
        assert zelm_warnings() == []
        assert len(returns) == 1 and output in document
    else:
        [warning] = zelm_warnings()
        assert warning.args == (HERE, "returns_marked", "return", returns_marked.__code__.co_firstlineno)
        error = warning.exc_info[1]
        assert type(error) is ValueError
        assert "not exactly one MessagePack value a reader can load" in str(error)
        assert returns == []
    assert [r["arg"] for r in frame_records(doc, "echo")] == [None, "after"]


def test_plugin_record_a_reader_cannot_load_costs_only_that_record(
        profile, plugin_definitions, monkeypatch, zelm_warnings):
    real = zelm.serialize.dump_msgpack
    monkeypatch.setattr(zelm.serialize, "dump_msgpack", lambda value: (
        b"\x81\xa4type\xa2\xc3\x28" if isinstance(value, dict) and value.get("type") == "echo_call" else real(value)
    ))
    plugin_definitions(plugin_definition("echo", path_fragment="conftest.py"))

    doc, _ = profile(lambda: echo(1))

    assert [r["type"] for r in doc["frames_of_interest"] if r["type"] != "frame"] == ["echo_return"]
    assert [r["event"] for r in frame_records(doc, "echo")] == ["call", "return"]
    [warning] = zelm_warnings()
    assert (warning.args[1:3], type(warning.exc_info[1])) == (("echo", "call"), ValueError)
    assert "a string that is not valid UTF-8" in str(warning.exc_info[1])
