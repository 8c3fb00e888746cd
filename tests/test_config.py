"""Construction of the native profiler from the host object: every attribute
and config key it reads, the defaults, the conversion errors, and the
internal errors of config lookups that raise."""

import collections
import json
import pathlib
import sys
import threading
import types

import pytest

from conftest import FakeNumpy2Bool, FakeNumpyBool, HostProfiler, decode, frame_records, run_python

LONG_TEXT_LENGTH = 300


def marker():
    return "marker"


def holds_long_text():
    text = "x" * LONG_TEXT_LENGTH
    return len(text)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class UnsubscriptableFilters:
    def __getitem__(self, key):
        raise RuntimeError("filters cannot be read")


class CollidesWith:
    """A dict key with the hash of `text` whose comparison raises, so that a
    dict lookup of `text` raises although the dict is a real dict."""

    def __init__(self, text):
        self.text = text

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        raise RuntimeError("comparison refused")


class HiddenKeys(dict):
    """A dict subclass answering every lookup through __missing__ and
    __getitem__, which construction's dict lookups do not consult."""

    VALUES = {
        "filters": {"ignore_frames": ["test_config"]},
        "sqlite_busy_timeout": 7,
        "lightweight_repr": True,
    }

    def __missing__(self, key):
        return self.VALUES[key]

    def __getitem__(self, key):
        return self.VALUES[key]


class RaisingStr:
    def __str__(self):
        raise ValueError("no text for this path")


class NonStrStr:
    def __str__(self):
        return 5


class NoNativeId:
    name = "MainThread"


class NativeId:
    def __init__(self, value):
        self.native_id = value


class NativeIdRaises:
    @property
    def native_id(self):
        raise RuntimeError("native id unavailable")


@pytest.fixture
def saved(monkeypatch):
    """The calls that reach zelm.db.save_trace_in_sqlite, which stores nothing."""
    calls = []

    def save(*args, **kwargs):
        calls.append((args, kwargs))

    monkeypatch.setattr("zelm.db.save_trace_in_sqlite", save)
    return calls


@pytest.fixture
def construct(native, make_host):
    """construct(**host_kwargs) registers a host, stops the hook at once and
    returns the host."""

    def build(host=None, **host_kwargs):
        host = make_host(**host_kwargs) if host is None else host
        native.register_profiler(host)
        native.register_noop_profiler()
        return host

    return build


@pytest.fixture
def construction_fails(native, make_host):
    """construction_fails(expected, match, **host_kwargs): registration raises
    `expected`; the host is untouched and no hook is installed."""

    def attempt(expected, match=None, host=None, **host_kwargs):
        host = make_host(**host_kwargs) if host is None else host
        native.register_noop_profiler()
        with pytest.raises(expected, match=match) as raised:
            native.register_profiler(host)
        assert sys.getprofile() is None
        assert "rust_profiler" not in vars(host)
        return raised.value

    return attempt


def record_under(native, host, function):
    native.register_profiler(host)
    try:
        function()
    finally:
        native.register_noop_profiler()
    return decode(host.rust_profiler.build_trace())


def timeout_saved(host, saved):
    host.rust_profiler.save_request_in_db()
    (args, kwargs), = saved
    return kwargs["timeout"]


# ---- "config" itself -----------------------------------------------------------------


@pytest.mark.parametrize(
    "config, type_name",
    [
        ([], "list"),
        (None, "NoneType"),
        (types.MappingProxyType({}), "mappingproxy"),
        ((("threading", True),), "tuple"),
    ],
    ids=["list", "None", "mappingproxy", "pairs"],
)
def test_config_must_be_a_dict(construction_fails, config, type_name):
    host = HostProfiler()
    host.config = config
    error = construction_fails(TypeError, host=host)
    assert str(error) == f"'{type_name}' object cannot be converted to 'PyDict'"


@pytest.mark.parametrize("config_type", [collections.OrderedDict, collections.defaultdict, HiddenKeys])
def test_dict_subclasses_are_accepted(construct, config_type):
    host = construct(config=config_type())
    assert type(host.rust_profiler).__name__ == "ZelmProfiler"


def test_lookups_ignore_missing_and_getitem_of_a_dict_subclass(native, make_host, saved):
    # Every key that HiddenKeys would answer is absent for construction:
    # no filters, the default timeout, full-length values.
    host = make_host(config=HiddenKeys())
    doc = record_under(native, host, holds_long_text)
    (call, returned) = frame_records(doc, "holds_long_text")
    assert returned["locals"]["text"] == "x" * LONG_TEXT_LENGTH
    assert timeout_saved(host, saved) == 60


def test_config_is_read_once(native, make_host, saved):
    config = {"sqlite_busy_timeout": 5}
    host = make_host(config=config)
    native.register_profiler(host)
    config["sqlite_busy_timeout"] = 9
    config["filters"] = {"ignore_frames": ["test_config"]}
    host.config = {"lightweight_repr": True}
    marker()
    native.register_noop_profiler()
    assert [r["event"] for r in frame_records(decode(host.rust_profiler.build_trace()), "marker")] == [
        "call",
        "return",
    ]
    assert timeout_saved(host, saved) == 5


# ---- "filters" -------------------------------------------------------------------------


def encode_json():
    return json.dumps({"a": 1})


def marker_and_library():
    marker()
    encode_json()


# (filters, whether marker() of this file is recorded, whether the library
# frame JSONEncoder.encode is recorded); None stands for an absent key.
FILTER_CASES = [
    pytest.param(None, True, False, id="absent"),
    pytest.param({"filters": None}, True, False, id="None"),
    pytest.param({"filters": []}, True, False, id="list"),
    pytest.param({"filters": "include_frames"}, True, False, id="str"),
    pytest.param({"filters": {}}, True, False, id="empty"),
    pytest.param({"filters": UnsubscriptableFilters()}, True, False, id="raising-mapping"),
    pytest.param({"filters": {"include_frames": []}}, True, False, id="empty-include"),
    pytest.param({"filters": {"ignore_frames": ["test_config.py"]}}, False, False, id="ignore-list"),
    pytest.param({"filters": {"ignore_frames": ("tests/test_conf",)}}, False, False, id="ignore-tuple"),
    pytest.param({"filters": {"ignore_frames": ["TEST_CONFIG.PY"]}}, True, False, id="ignore-case-sensitive"),
    pytest.param({"filters": {"include_frames": ["json/encoder.py"]}}, True, True, id="include-library"),
    pytest.param(
        {"filters": {"include_frames": ["nothing", "test_config"], "ignore_frames": ["test_config"]}},
        True,
        False,
        id="include-beats-ignore",
    ),
    pytest.param(
        {"filters": collections.UserDict({"ignore_frames": ["test_config"]})},
        False,
        False,
        id="mapping-not-dict",
    ),
]


@pytest.mark.parametrize("config, marker_recorded, library_recorded", FILTER_CASES)
def test_filters(native, make_host, config, marker_recorded, library_recorded):
    doc = record_under(native, make_host(config=config), marker_and_library)
    assert bool(frame_records(doc, "marker")) == marker_recorded
    assert bool(frame_records(doc, "encode")) == library_recorded
    if library_recorded:
        assert all("json/encoder.py" in r["path"] for r in frame_records(doc, "encode"))


FILTERS_REMOVING_THEMSELVES = """
import zelm._zelm as native
from conftest import HostProfiler as Host

log = []


class FiltersRemovingThemselves:
    def __init__(self, config):
        self.config = config

    def __getitem__(self, key):
        log.append(key)
        self.config.pop("filters", None)
        raise KeyError(key)

    def __del__(self):
        log.append("released")


config = {}
config["filters"] = FiltersRemovingThemselves(config)
native.register_profiler(Host(config))
native.register_noop_profiler()
print(log)
"""


def test_filters_stay_alive_while_they_are_read():
    # The mapping drops the config's reference to itself on the first
    # lookup; the second lookup must still reach a live object.
    result = run_python("-c", FILTERS_REMOVING_THEMSELVES)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "['include_frames', 'ignore_frames', 'released']"


@pytest.mark.parametrize("key", ["include_frames", "ignore_frames"])
@pytest.mark.parametrize(
    "value, message",
    [
        ("test_config", "Can't extract `str` to `Vec`"),
        (None, "'NoneType' object cannot be converted to 'Sequence'"),
        (5, "'int' object cannot be converted to 'Sequence'"),
        ({"test_config": 1}, "'dict' object cannot be converted to 'Sequence'"),
        ((text for text in ["test_config"]), "'generator' object cannot be converted to 'Sequence'"),
        ([1], "'int' object cannot be converted to 'PyString'"),
        (["test_config", None], "'NoneType' object cannot be converted to 'PyString'"),
        (b"test_config", "'int' object cannot be converted to 'PyString'"),
        ([b"test_config"], "'bytes' object cannot be converted to 'PyString'"),
    ],
    ids=["str", "None", "int", "dict", "generator", "int-item", "None-item", "bytes", "bytes-item"],
)
def test_filter_list_conversion_errors(construction_fails, key, value, message):
    error = construction_fails(TypeError, config={"filters": {key: value}})
    assert str(error) == message


# ---- "sqlite_busy_timeout" -----------------------------------------------------------------

MISSING = object()


@pytest.mark.parametrize(
    "value, timeout",
    [
        (MISSING, 60),
        (5, 5),
        (0, 0),
        (True, 1),
        (False, 0),
        (2**64 - 1, 2**64 - 1),
        (Index(7), 7),
    ],
    ids=["absent", "5", "0", "True", "False", "max", "__index__"],
)
def test_sqlite_busy_timeout_reaches_the_save_call(construct, saved, value, timeout):
    config = {} if value is MISSING else {"sqlite_busy_timeout": value}
    host = construct(config=config)
    saved_timeout = timeout_saved(host, saved)
    assert type(saved_timeout) is int
    assert saved_timeout == timeout


@pytest.mark.parametrize(
    "value, expected",
    [
        (-1, OverflowError),
        (2**64, OverflowError),
        (Index(-3), OverflowError),
        (2.5, TypeError),
        (None, TypeError),
        ("5", TypeError),
        (Index("5"), TypeError),
    ],
    ids=["-1", "2**64", "negative-__index__", "2.5", "None", "str", "bad-__index__"],
)
def test_sqlite_busy_timeout_errors(construction_fails, value, expected):
    construction_fails(expected, config={"sqlite_busy_timeout": value})


# ---- "lightweight_repr" (and the bool rule shared with "threading") ------------------------


@pytest.mark.parametrize(
    "config, lightweight",
    [
        ({}, False),
        ({"lightweight_repr": True}, True),
        ({"lightweight_repr": False}, False),
        ({"lightweight_repr": 1}, False),
        ({"lightweight_repr": "yes"}, False),
        ({"lightweight_repr": None}, False),
        ({"lightweight_repr": FakeNumpyBool(True)}, True),
        ({"lightweight_repr": FakeNumpyBool(False)}, False),
        ({"lightweight_repr": FakeNumpyBool(RuntimeError("no truth"))}, False),
        ({"lightweight_repr": FakeNumpy2Bool(True)}, True),
        ({"lightweight_repr": FakeNumpy2Bool(False)}, False),
    ],
    ids=["absent", "True", "False", "int-1", "str", "None", "numpy-true", "numpy-false", "numpy-raising",
         "numpy2-true", "numpy2-false"],
)
def test_lightweight_repr_flag(native, make_host, config, lightweight):
    doc = record_under(native, make_host(config=config), holds_long_text)
    (call, returned) = frame_records(doc, "holds_long_text")
    expected = "x" * 100 + "…" if lightweight else "x" * LONG_TEXT_LENGTH
    assert returned["locals"]["text"] == expected


@pytest.mark.parametrize(
    "value",
    [1, "yes", None, FakeNumpyBool(RuntimeError("no truth"))],
    ids=["int-1", "str", "None", "numpy-raising"],
)
def test_non_boolean_threading_is_false_without_error(native, make_host, value):
    host = make_host(config={"threading": value})
    native.register_profiler(host)
    marker()
    native.register_noop_profiler()
    assert threading.getprofile() is None
    doc = decode(host.rust_profiler.build_trace())
    assert doc["frames"] == {}
    assert len(frame_records(doc, "marker")) == 2


# ---- "trace_budget_bytes" ------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, expected, message",
    [
        (-1, ValueError, "must not be negative"),
        (-(2**70), ValueError, "must not be negative"),
        (True, TypeError, "not bool"),
        (1.5, TypeError, "not float"),
        ("1000", TypeError, "not str"),
        (Index(1000), TypeError, "not Index"),
    ],
    ids=["-1", "huge-negative", "bool", "float", "str", "__index__"],
)
def test_trace_budget_errors(construction_fails, value, expected, message):
    error = construction_fails(expected, config={"trace_budget_bytes": value})
    assert str(error).startswith('config "trace_budget_bytes" must ')
    assert message in str(error)


@pytest.mark.parametrize("value, cut", [(MISSING, False), (None, False), (2**64, False), (0, True)],
                         ids=["absent", "None", "past-64-bits", "0"])
def test_trace_budget_values(native, make_host, value, cut):
    config = {} if value is MISSING else {"trace_budget_bytes": value}
    doc = record_under(native, make_host(config=config), marker)
    assert len(frame_records(doc, "marker")) == (0 if cut else 2)
    assert ("trace_cut" in [r["type"] for r in doc["frames_of_interest"]]) == cut


# ---- the main thread's native id ---------------------------------------------------------


def test_main_thread_id_is_read_from_threading(construct):
    doc = decode(construct().rust_profiler.build_trace())
    assert doc["main_thread_id"] == threading.main_thread().native_id


@pytest.mark.parametrize(
    "main_thread, main_thread_id",
    [(NoNativeId(), None), (NativeId(None), None), (NativeId(7), 7), (NativeId(Index(8)), 8)],
    ids=["no-native_id", "None", "7", "__index__"],
)
def test_main_thread_id_from_the_main_thread_object(native, make_host, monkeypatch, main_thread, main_thread_id):
    host = make_host()
    with monkeypatch.context() as patch:
        patch.setattr(threading, "main_thread", lambda: main_thread)
        native.register_profiler(host)
    native.register_noop_profiler()
    assert decode(host.rust_profiler.build_trace())["main_thread_id"] == main_thread_id


def test_absent_main_thread_id_files_the_main_thread_under_its_own_id(native, make_host, monkeypatch):
    host = make_host(config={"threading": True})
    with monkeypatch.context() as patch:
        patch.setattr(threading, "main_thread", NoNativeId)
        native.register_profiler(host)
    marker()
    native.register_noop_profiler()
    doc = decode(host.rust_profiler.build_trace())
    assert doc["main_thread_id"] is None
    own = [r for r in doc["frames"][threading.get_native_id()] if r.get("co_name") == "marker"]
    assert len(own) == 2
    assert not [r for r in doc["frames_of_interest"] if r.get("co_name") == "marker"]


def raise_lookup_error():
    raise LookupError("no main thread")


@pytest.mark.parametrize(
    "main_thread, expected",
    [
        (lambda: NativeIdRaises(), RuntimeError),
        (lambda: NativeId(-1), OverflowError),
        (lambda: NativeId(2**64), OverflowError),
        (lambda: NativeId("7"), TypeError),
        (raise_lookup_error, LookupError),
        (None, TypeError),
    ],
    ids=["native_id-raises", "negative", "too-large", "str", "main_thread-raises", "not-callable"],
)
def test_main_thread_errors_fail_construction(construction_fails, make_host, monkeypatch, main_thread, expected):
    host = make_host()
    with monkeypatch.context() as patch:
        patch.setattr(threading, "main_thread", main_thread)
        construction_fails(expected, host=host)


# ---- host attributes -------------------------------------------------------------------------


@pytest.mark.parametrize("name", ["config", "db_path", "one_trace_per_test", "trace_id", "source"])
def test_missing_host_attribute(construction_fails, make_host, name):
    host = make_host()
    delattr(host, name)
    construction_fails(AttributeError, match=name, host=host)


@pytest.mark.parametrize(
    "name, value, message",
    [
        ("one_trace_per_test", 0, "'int' object cannot be converted to 'PyBool'"),
        ("one_trace_per_test", None, "'NoneType' object cannot be converted to 'PyBool'"),
        ("one_trace_per_test", "yes", "'str' object cannot be converted to 'PyBool'"),
        ("trace_id", b"trc_01KC0000000000000000000000", "'bytes' object cannot be converted to 'PyString'"),
        ("trace_id", None, "'NoneType' object cannot be converted to 'PyString'"),
        ("source", 1, "'int' object cannot be converted to 'PyString'"),
        ("source", b"tests", "'bytes' object cannot be converted to 'PyString'"),
    ],
)
def test_host_attribute_type_errors(construction_fails, make_host, name, value, message):
    host = make_host()
    setattr(host, name, value)
    error = construction_fails(TypeError, host=host)
    assert str(error) == message


@pytest.mark.parametrize("name", ["trace_id", "source"])
def test_texts_must_encode_to_utf8(construction_fails, make_host, name):
    host = make_host()
    setattr(host, name, "half \udc80 surrogate")
    construction_fails(UnicodeEncodeError, host=host)


@pytest.mark.parametrize("value", [True, False, FakeNumpyBool(True), FakeNumpyBool(False)], ids=str)
def test_one_trace_per_test_accepts_booleans(construct, value):
    host = construct(one_trace_per_test=value)
    assert type(host.rust_profiler).__name__ == "ZelmProfiler"


class TraceIdText(str):
    pass


def test_trace_id_and_source_reach_the_document(construct):
    host = construct(trace_id=TraceIdText("trc_01KC0000000000000000000001"), source="from the tests")
    doc = decode(host.rust_profiler.build_trace())
    assert doc["trace_id"] == "trc_01KC0000000000000000000001"
    assert doc["meta"]["source"] == "from the tests"


@pytest.mark.parametrize(
    "db_path, expected",
    [
        (pathlib.Path("some/dir/traces.sqlite3"), "some/dir/traces.sqlite3"),
        ("plain.sqlite3", "plain.sqlite3"),
        (5, "5"),
    ],
    ids=["Path", "str", "int"],
)
def test_db_path_is_stored_as_its_str(construct, saved, db_path, expected):
    host = construct(db_path=db_path, trace_id="trc_01KC0000000000000000000002")
    host.rust_profiler.save_request_in_db()
    (args, kwargs), = saved
    assert args == (expected, "trc_01KC0000000000000000000002")
    assert type(args[0]) is str
    assert sorted(kwargs) == ["msgpack", "timeout"]


@pytest.mark.parametrize(
    "db_path, expected", [(RaisingStr(), ValueError), (NonStrStr(), TypeError)], ids=["raises", "non-str"]
)
def test_db_path_str_failures(construction_fails, db_path, expected):
    construction_fails(expected, db_path=db_path)


def test_first_failing_step_decides_the_error(construction_fails):
    # The timeout is read before the host attributes.
    construction_fails(OverflowError, config={"sqlite_busy_timeout": -1}, trace_id=b"bytes", source=None)


# ---- internal errors -----------------------------------------------------------------------


@pytest.mark.parametrize("key", ["filters", "sqlite_busy_timeout", "threading", "lightweight_repr", "trace_budget_bytes"])
def test_raising_config_lookup_is_an_internal_error(construction_fails, key):
    error = construction_fails(BaseException, config={CollidesWith(key): 1, "unrelated": 2})
    assert not isinstance(error, Exception)
    assert str(error).startswith(f'config.get("{key}" should not raise.')
