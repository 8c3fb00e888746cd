"""Values under keys that name credentials are masked, never read: dict
entries (a WSGI environ's too), fields of objects shown from their fields,
namespaces' keywords, a frame's locals and arguments, HTTP headers and URL
query parameters; by the same bytes in both serializers, with the keys
configurable and masking switched off by an empty list."""

import argparse
import collections
import dataclasses
import sys
import types

import pytest

from conftest import decode, frame_records
from zelm import Profiler, serialize
from zelm.plugins import inbound_http
from zelm.plugins.http import masked
from zelm.plugins.outbound_http.exchange import header_pairs, masked_url
from zelm.serialize import reference
from zelm.values import Repr

MASKED = Repr("***")
ENCODERS = {
    "full": (reference.reference_dump_msgpack, serialize.dump_msgpack),
    "lightweight": (reference.reference_dump_msgpack_lightweight_repr, serialize.dump_msgpack_lightweight_repr),
}


@pytest.fixture(autouse=True)
def restore_settings():
    previous_keys, previous_mode = serialize.current_scrub_keys(), serialize.current_repr_mode()
    yield
    serialize.set_scrub_keys(previous_keys)
    serialize.set_repr_mode(previous_mode)


@pytest.fixture(params=list(ENCODERS))
def dumped(request):
    """dumped(value): the value as the mode's encoders write it, decoded,
    once both wrote the same bytes."""
    reference_dump, native_dump = ENCODERS[request.param]

    def dump(value):
        written = reference_dump(value)
        if reference._native is not None:
            assert native_dump(value) == written
        return decode(written)

    return dump


class Unshowable:
    """Counts the reprs taken of it, and refuses them."""

    reprs = 0

    def __repr__(self):
        Unshowable.reprs += 1
        raise RuntimeError("a masked value is never read")


class Text(str):
    """A str subclass whose methods would lie about its text."""

    def lower(self):
        return "harmless"

    def __contains__(self, other):
        return False


@dataclasses.dataclass
class Login:
    user: str
    password: object


@dataclasses.dataclass(slots=True)
class Client:
    api_key: object
    retries: int


Grant = collections.namedtuple("Grant", "scope access_token")


class Settings(dict):
    pass


@pytest.mark.parametrize("value, expected", [
    ({"password": "hunter2", "user": "ada"}, {"password": MASKED, "user": "ada"}),
    # A WSGI environ: the credentials among the rest.
    ({"REQUEST_METHOD": "GET", "HTTP_AUTHORIZATION": "Bearer t", "HTTP_COOKIE": "sessionid=s",
      "HTTP_X_API_KEY": "k", "QUERY_STRING": "a=1"},
     {"REQUEST_METHOD": "GET", "HTTP_AUTHORIZATION": MASKED, "HTTP_COOKIE": MASKED, "HTTP_X_API_KEY": MASKED,
      "QUERY_STRING": "a=1"}),
    # Case, "_" and "-" do not matter; a name inside a longer key is found.
    ({"PassWord": 1, "X-Api-Key": 2, "apiKey": 3, "csrftoken": 4, "db_secret_path": 5, "PRIVATE-KEY": 6, "tok_en": 7},
     dict.fromkeys(["PassWord", "X-Api-Key", "apiKey", "csrftoken", "db_secret_path", "PRIVATE-KEY", "tok_en"],
                   MASKED)),
    # Keys naming no credential keep their values, whatever the values hold;
    # bytes keys are not read.
    ({"user": "password", "pass": 1, "key": 2, "auth": 3, b"password": 5},
     {"user": "password", "pass": 1, "key": 2, "auth": 3, b"password": 5}),
    ([{"token": [1, 2]}, ({"session": None},)], [{"token": MASKED}, ({"session": MASKED},)]),
    # Keys other than text: the entries are kept as pairs, the text keys checked.
    ({1: "one", "secret": "s", None: "none"}, {1: "one", "secret": MASKED, None: "none"}),
    # A str subclass is read as the text it holds, not through its methods.
    ({Text("Session_Id"): "s", "x": 1}, {Repr("'Session_Id'"): MASKED, "x": 1}),
])
def test_values_under_credential_keys_are_masked(dumped, value, expected):
    assert dumped(value) == expected


@pytest.mark.parametrize("value, expected", [
    (Login("ada", "hunter2"), "Login(user='ada', password=***)"),
    (Client("k", 3), "Client(api_key=***, retries=3)"),
    (Grant("read", "t0k"), "Grant(scope='read', access_token=***)"),
    (types.SimpleNamespace(cookie="c", n=1), "namespace(cookie=***, n=1)"),
    (argparse.Namespace(passwd="p", verbose=True), "Namespace(passwd=***, verbose=True)"),
    (Settings(SECRET_KEY="s", DEBUG=False), "{'SECRET_KEY': ***, 'DEBUG': False}"),
    (collections.defaultdict(int, csrf=1), "defaultdict(<class 'int'>, {'csrf': ***})"),
    # A dict shown inside a repr's text.
    (Login("ada", {"token": "t", "n": 1}), "Login(user='ada', password=***)"),
    (Login({"token": "t", "n": 1}, None), "Login(user={'token': ***, 'n': 1}, password=***)"),
])
def test_fields_and_keywords_that_name_credentials_are_masked(dumped, value, expected):
    assert dumped(value) == Repr(expected)


def test_ordered_dicts_mask_like_dicts(dumped):
    shown = dumped(collections.OrderedDict(token="t", n=1))
    if sys.version_info >= (3, 12):
        assert shown == Repr("OrderedDict({'token': ***, 'n': 1})")
    else:
        assert shown == Repr("OrderedDict([('token', ***), ('n', 1)])")


# Dicts are walked in either repr mode; objects are shown from their
# fields in the mode "safe" only ("full" runs their own __repr__).
@pytest.mark.parametrize("value, repr_modes", [
    ({"password": Unshowable()}, ["safe", "full"]),
    ({"password": Unshowable(), 1: 2}, ["safe", "full"]),
    ([{"token": Unshowable()}], ["safe", "full"]),
    ([Login("ada", Unshowable())], ["safe"]),
    (Client(Unshowable(), 1), ["safe"]),
    (types.SimpleNamespace(secret=Unshowable()), ["safe"]),
])
def test_a_masked_value_is_never_read(dumped, value, repr_modes):
    for repr_mode in repr_modes:
        serialize.set_repr_mode(repr_mode)
        Unshowable.reprs = 0

        shown = repr(dumped(value))

        assert Unshowable.reprs == 0 and "***" in shown and "unrepresentable" not in shown, repr_mode


def test_custom_keys_replace_the_default_ones(dumped):
    value = {"password": "p", "SSN-Number": "078-05-1120", "name": "ada"}
    assert dumped(value) == {"password": MASKED, "SSN-Number": "078-05-1120", "name": "ada"}
    assert dumped(Login("ada", "p")) == Repr("Login(user='ada', password=***)")

    serialize.set_scrub_keys(["ssn", "User"])

    assert dumped(value) == {"password": "p", "SSN-Number": MASKED, "name": "ada"}
    assert dumped(Login("ada", "p")) == Repr("Login(user=***, password='p')")


def test_an_empty_list_masks_nothing(dumped):
    serialize.set_scrub_keys([])

    assert dumped({"password": "p", "HTTP_COOKIE": "c"}) == {"password": "p", "HTTP_COOKIE": "c"}
    assert dumped(Login("ada", "p")) == Repr("Login(user='ada', password='p')")
    assert masked("Authorization", "Bearer t") == "Bearer t"
    assert masked_url("http://u:pw@h/p?token=t") == "http://u:pw@h/p?token=t"


def test_many_keys_seen_once_each_keep_their_verdicts_right(dumped):
    # More keys than any table of verdicts keeps: none is confused with another.
    keys = [f"field{index}" if index % 3 else f"token{index}" for index in range(5000)]
    for key in keys:
        assert dumped({key: 1}) == {key: MASKED if key.startswith("token") else 1}


@pytest.mark.parametrize("keys, message", [
    ("password", "must be a list of names, not str"),
    ([b"password"], "must be a str, not bytes"),
    (["_-"], "has no letter or digit"),
])
def test_bad_scrub_keys_are_refused(keys, message):
    with pytest.raises(ValueError, match=message):
        serialize.set_scrub_keys(keys)
    assert serialize.current_scrub_keys() == serialize.DEFAULT_SCRUB_KEYS


# ---- a frame's locals and arguments ----

def log_in(user, password, **options):
    session_token = f"{user}:{password}"
    return {"user": user, "token": session_token}


def serve(environ):
    return environ["PATH_INFO"]


def run_program():
    log_in("ada", "hunter2", remember=True, api_key="k")
    serve({"PATH_INFO": "/", "HTTP_AUTHORIZATION": "Basic YTpi"})


@pytest.mark.parametrize("lightweight", [False, True], ids=["full", "lightweight"])
def test_locals_and_arguments_named_as_credentials_are_masked(native, tmp_path, lightweight):
    profiler = Profiler(config={"threading": False, "lightweight_repr": lightweight}, db_path=tmp_path / "t.sqlite3")
    profiler.start()
    try:
        run_program()
    finally:
        profiler.stop()

    document = decode(profiler.build_trace())
    call, ret = frame_records(document, "log_in")
    assert call["locals"] == {"user": "ada", "password": MASKED,
                              "options": {"remember": True, "api_key": MASKED}}
    assert ret["locals"]["session_token"] == MASKED
    assert ret["arg"] == {"user": "ada", "token": MASKED}
    call, _ = frame_records(document, "serve")
    assert call["locals"] == {"environ": {"PATH_INFO": "/", "HTTP_AUTHORIZATION": MASKED}}
    assert "hunter2" not in repr(document) and "YTpi" not in repr(document)


def test_the_profiler_sets_its_keys_while_it_runs(native, tmp_path):
    profiler = Profiler(config={"threading": False, "scrub_keys": ["user"]}, db_path=tmp_path / "t.sqlite3")
    profiler.start()
    try:
        assert serialize.current_scrub_keys() == ("user",)
        log_in("ada", "hunter2")
    finally:
        profiler.stop()

    assert serialize.current_scrub_keys() == serialize.DEFAULT_SCRUB_KEYS
    call, _ = frame_records(decode(profiler.build_trace()), "log_in")
    assert call["locals"] == {"user": MASKED, "password": "hunter2", "options": {}}


# ---- HTTP records ----

@pytest.mark.parametrize("name, value, expected", [
    ("X-Api-Key", "k", "***"),
    (b"X-CSRFToken", b"t", "***"),
    ("Set-Cookie", "sessionid=s; Path=/", "***"),
    # Only the Authorization headers keep their scheme: another value's first word may be secret too.
    ("Authorization", "Bearer t", "Bearer ***"),
    ("X-Auth-Token", "key secret", "***"),
    ("Accept", "text/html", "text/html"),
])
def test_headers_named_as_credentials_are_masked(name, value, expected):
    assert masked(name, value) == expected


@pytest.mark.parametrize("url, expected", [
    ("https://h/p?token=t&page=2&api_key=k#top", "https://h/p?token=***&page=2&api_key=***#top"),
    ("https://u:pw@h/p?Access-Token=t", "https://u:***@h/p?Access-Token=***"),
    # A name as it is sent, percent-encoded or with "+".
    ("http://h/?api%5Fkey=k&session+id=s", "http://h/?api%5Fkey=***&session+id=***"),
    # Parameters without a value, and text after "#", are left as they are.
    ("/search?q=token&password&x=#token=t", "/search?q=token&password&x=#token=t"),
    ("http://h/token?a=1", "http://h/token?a=1"),
])
def test_query_parameters_named_as_credentials_are_masked(url, expected):
    assert masked_url(url) == expected


def _inbound_request(method, path, query_string, headers, body_size):
    return sys._getframe()


def test_the_inbound_request_record_masks_its_query_and_headers():
    [request_definition, _] = inbound_http.definitions({})
    frame = _inbound_request("GET", "/login", "next=/&csrf_token=c",
                             [("x-api-key", "k"), ("accept", "*/*")], 0)

    record = request_definition["process"](frame, "call", None, None)

    assert record["query_string"] == "next=/&csrf_token=***"
    assert record["headers"] == [["x-api-key", "***"], ["accept", "*/*"]]
    assert header_pairs({"Cookie": "a=b"}) == [["Cookie", "***"]]
