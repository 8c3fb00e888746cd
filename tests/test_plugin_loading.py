"""Loading of plugin definitions from zelm.plugins.load_plugin_data while the
native profiler is built: the host contract, every check on a definition,
and what a failed load leaves behind."""

import functools
import sys
import threading
import weakref

import pytest

import zelm.plugins
from conftest import REMOVED, all_records, decode, plugin_definition, plugin_records, run_python


def plugin_target():
    return "target"


def other_target():
    return "other"


# A valid definition for plugin_target in this file; keywords add, replace
# or (given REMOVED) delete entries.
definition = functools.partial(plugin_definition, "plugin_target", path_fragment="test_plugin_loading",
                               call_type="target_call", return_type="target_return")


def plugin_types(doc):
    return [record["type"] for record in plugin_records(doc)]


class Context(dict):
    """A context dict that can be watched with a weak reference."""


class Decision:
    """A plugin "call" callable that accepts every event and remembers the
    context it was given."""

    def __init__(self):
        self.contexts = []

    def __call__(self, frame, event, arg, context):
        self.contexts.append(context)
        return True


@pytest.fixture
def plugin_data(monkeypatch):
    """plugin_data(definitions) makes load_plugin_data return `definitions`
    and returns the list of configs it was called with."""
    calls = []

    def install(definitions):
        def load_plugin_data(config):
            calls.append(config)
            return definitions

        monkeypatch.setattr(zelm.plugins, "load_plugin_data", load_plugin_data)
        return calls

    return install


@pytest.fixture
def run_plugins(native, make_host):
    """run_plugins(*functions, **host_kwargs) calls the functions under a new
    profiler and returns the decoded document."""

    def run(*functions, **host_kwargs):
        host = make_host(**host_kwargs)
        native.register_profiler(host)
        try:
            for function in functions:
                function()
        finally:
            native.register_noop_profiler()
        return decode(host.rust_profiler.build_trace())

    return run


@pytest.fixture
def load_fails(native, make_host):
    """load_fails(expected, match=None): registration raises `expected`, and
    neither the host, the calling thread nor the threading module got a
    profiler."""

    def attempt(expected, match=None):
        host = make_host(config={"threading": True})
        native.register_noop_profiler()
        with pytest.raises(expected, match=match) as raised:
            native.register_profiler(host)
        assert sys.getprofile() is None
        assert threading.getprofile() is None
        assert "rust_profiler" not in vars(host)
        return raised.value

    return attempt


def assert_internal_error(error, text):
    assert not isinstance(error, Exception)
    assert str(error).startswith(text)


# ---- the host contract -----------------------------------------------------------------


def test_load_plugin_data_is_called_once_with_the_config_dict(plugin_data, native, make_host):
    calls = plugin_data([])
    host = make_host(config={"threading": False, "anything": [1]})
    native.register_profiler(host)
    native.register_noop_profiler()
    assert len(calls) == 1
    assert calls[0] is host.config


def test_default_host_plugins_load(run_plugins):
    doc = run_plugins(plugin_target)
    assert plugin_records(doc) == []


@pytest.mark.parametrize(
    "result",
    [(), None, {}, "definitions", iter([]), (definition(),)],
    ids=["tuple", "None", "dict", "str", "iterator", "tuple-of-definitions"],
)
def test_result_must_be_a_list(plugin_data, load_fails, result):
    plugin_data(result)
    assert_internal_error(load_fails(BaseException), "load_plugin_data should return a list")


@pytest.mark.parametrize(
    "replacement",
    [pytest.param("raises", id="raises"), pytest.param(42, id="not-callable"), pytest.param(lambda: [], id="no-parameter")],
)
def test_failing_call_is_an_internal_error(monkeypatch, load_fails, replacement):
    if replacement == "raises":

        def replacement(config):
            raise ValueError("no plugins today")

    monkeypatch.setattr(zelm.plugins, "load_plugin_data", replacement)
    assert_internal_error(load_fails(BaseException), "load_plugin_data should be callable")


def test_missing_load_plugin_data_is_an_internal_error(monkeypatch, load_fails):
    monkeypatch.delattr(zelm.plugins, "load_plugin_data")
    assert_internal_error(load_fails(BaseException), "load_plugin_data should exist")


def test_unimportable_plugins_module_is_an_internal_error(monkeypatch, load_fails):
    monkeypatch.setitem(sys.modules, "zelm.plugins", None)
    assert_internal_error(load_fails(BaseException), "zelm.plugins should always be importable")


# ---- definitions that load -------------------------------------------------------------


class DefinitionList(list):
    pass


class DefinitionDict(dict):
    pass


@pytest.mark.parametrize(
    "definitions",
    [
        [definition()],
        DefinitionList([definition()]),
        [DefinitionDict(definition())],
        [definition(call=None, process=None, events=None, build_context=None)],
        [definition(events=["call", "return"])],
        [definition(events=("call", "return"))],
        [definition(co_names=("plugin_target",))],
        [definition(co_names={"plugin_target": "ignored value"})],
        [definition(co_names=(name for name in ["plugin_target"]))],
        [definition(path_fragment="")],
        [definition(unknown_key=object(), another=None)],
    ],
    ids=[
        "plain",
        "list-subclass",
        "dict-subclass",
        "callables-None",
        "events-list",
        "events-tuple",
        "co_names-tuple",
        "co_names-dict",
        "co_names-generator",
        "empty-fragment",
        "extra-keys",
    ],
)
def test_definition_loads(plugin_data, run_plugins, definitions):
    plugin_data(definitions)
    doc = run_plugins(plugin_target, other_target)
    assert plugin_types(doc) == ["target_call", "target_return"]


@pytest.mark.parametrize("subtype, expected", [(REMOVED, None), ("orm", "orm"), ("", "")])
def test_subtype(plugin_data, run_plugins, subtype, expected):
    plugin_data([definition(subtype=subtype)])
    records = plugin_records(run_plugins(plugin_target))
    assert len(records) == 2
    assert [record.get("subtype") for record in records] == [expected] * 2
    assert all(("subtype" in record) == (subtype is not REMOVED) for record in records)


def test_fragment_not_in_the_file_name_selects_nothing(plugin_data, run_plugins):
    plugin_data([definition(path_fragment="not/this/file.py")])
    assert plugin_records(run_plugins(plugin_target)) == []


def test_two_names_share_one_context(plugin_data, run_plugins):
    decision = Decision()
    context = Context(made_by="build_context")
    plugin_data([definition(co_names=["plugin_target", "other_target"], call=decision, build_context=lambda config: context)])
    doc = run_plugins(plugin_target, other_target)
    assert plugin_types(doc) == ["target_call", "target_return"] * 2
    assert len(decision.contexts) == 4
    assert all(seen is context for seen in decision.contexts)


def test_definitions_without_build_context_get_fresh_empty_contexts(plugin_data, run_plugins):
    first, second = Decision(), Decision()
    plugin_data([definition(call=first), definition(call=second, call_type="second_call")])
    run_plugins(plugin_target)
    assert first.contexts[0] == {} and second.contexts[0] == {}
    assert type(first.contexts[0]) is dict
    assert first.contexts[0] is not second.contexts[0]
    assert first.contexts[0] is first.contexts[1]


def test_same_name_in_two_definitions_runs_both_in_order(plugin_data, run_plugins):
    plugin_data([
        definition(call_type="first_call"),
        definition(call_type="second_call", return_type="second_return"),
    ])
    doc = run_plugins(plugin_target)
    calls = [kind for kind in plugin_types(doc) if kind.endswith("_call")]
    assert calls == ["first_call", "second_call"]
    assert sorted(plugin_types(doc)) == ["first_call", "second_call", "second_return", "target_return"]


def test_build_context_gets_the_config_and_its_dict_is_the_context(plugin_data, run_plugins):
    configs = []
    decision = Decision()

    def build_context(config):
        configs.append(config)
        return Context(seen=True)

    plugin_data([definition(co_names=["plugin_target", "other_target"], build_context=build_context, call=decision)])
    run_plugins(plugin_target, config={"marker": 1})
    assert len(configs) == 1
    assert configs[0] == {"marker": 1}
    assert type(decision.contexts[0]) is Context


def test_empty_co_names_reads_nothing_else_but_builds_the_context(plugin_data, run_plugins):
    configs = []

    def build_context(config):
        configs.append(config)
        return {}

    broken = {
        "co_names": [],
        "path_fragment": 5,
        "subtype": None,
        "events": "call",
        "build_context": build_context,
    }
    plugin_data([broken, definition()])
    doc = run_plugins(plugin_target, config={"marker": 2})
    assert configs == [{"marker": 2}]
    assert plugin_types(doc) == ["target_call", "target_return"]


def test_empty_co_names_still_fails_on_a_bad_context(plugin_data, load_fails):
    plugin_data([{"co_names": [], "build_context": lambda config: []}])
    error = load_fails(TypeError)
    assert str(error) == "'list' object cannot be converted to 'PyDict'"


# ---- definitions that fail the load ----------------------------------------------------


def raise_value_error(config):
    raise ValueError("no context")


def names_then_failure():
    yield "plugin_target"
    raise LookupError("names ran out")


FAILING_DEFINITIONS = [
    # (definition list, exception type, exact message or None)
    pytest.param([5], TypeError, "'int' object cannot be converted to 'PyDict'", id="int-element"),
    pytest.param(["plugin_target"], TypeError, "'str' object cannot be converted to 'PyDict'", id="str-element"),
    pytest.param([None], TypeError, "'NoneType' object cannot be converted to 'PyDict'", id="None-element"),
    pytest.param([[("co_names", [])]], TypeError, "'list' object cannot be converted to 'PyDict'", id="pairs"),
    pytest.param([definition(co_names=REMOVED)], KeyError, "'co_names'", id="no-co_names"),
    pytest.param([definition(path_fragment=REMOVED)], KeyError, "'path_fragment'", id="no-path_fragment"),
    pytest.param([definition(call_type=REMOVED)], KeyError, "'call_type'", id="no-call_type"),
    pytest.param([definition(return_type=REMOVED)], KeyError, "'return_type'", id="no-return_type"),
    pytest.param([definition(co_names=5)], TypeError, "'int' object is not iterable", id="co_names-int"),
    pytest.param([definition(co_names=[1])], TypeError, "'int' object cannot be converted to 'PyString'", id="co_names-int-item"),
    pytest.param(
        [definition(co_names=["plugin_target", None])],
        TypeError,
        "'NoneType' object cannot be converted to 'PyString'",
        id="co_names-late-None",
    ),
    pytest.param([definition(co_names=names_then_failure())], LookupError, "names ran out", id="co_names-raising"),
    pytest.param([definition(path_fragment=1)], TypeError, "'int' object cannot be converted to 'PyString'", id="fragment-int"),
    pytest.param([definition(path_fragment=b"tests")], TypeError, "'bytes' object cannot be converted to 'PyString'", id="fragment-bytes"),
    pytest.param([definition(path_fragment="bad \udc80")], UnicodeEncodeError, None, id="fragment-surrogate"),
    pytest.param([definition(call_type=None)], TypeError, "'NoneType' object cannot be converted to 'PyString'", id="call_type-None"),
    pytest.param([definition(return_type=1)], TypeError, "'int' object cannot be converted to 'PyString'", id="return_type-int"),
    pytest.param([definition(subtype=None)], TypeError, "'NoneType' object cannot be converted to 'PyString'", id="subtype-None"),
    pytest.param([definition(subtype=1)], TypeError, "'int' object cannot be converted to 'PyString'", id="subtype-int"),
    pytest.param([definition(events="call")], TypeError, "Can't extract `str` to `Vec`", id="events-str"),
    pytest.param([definition(events=5)], TypeError, "'int' object cannot be converted to 'Sequence'", id="events-int"),
    pytest.param([definition(events={"call": 1})], TypeError, "'dict' object cannot be converted to 'Sequence'", id="events-dict"),
    pytest.param([definition(events=["call", 1])], TypeError, "'int' object cannot be converted to 'PyString'", id="events-int-item"),
    pytest.param([definition(build_context=lambda config: [])], TypeError, "'list' object cannot be converted to 'PyDict'", id="context-list"),
    pytest.param([definition(build_context=lambda config: None)], TypeError, "'NoneType' object cannot be converted to 'PyDict'", id="context-None"),
    pytest.param([definition(build_context=raise_value_error)], ValueError, "no context", id="context-raises"),
    pytest.param([definition(build_context=5)], TypeError, "'int' object is not callable", id="context-not-callable"),
    pytest.param([definition(), definition(call_type=REMOVED)], KeyError, "'call_type'", id="second-definition"),
]


@pytest.mark.parametrize("definitions, expected, message", FAILING_DEFINITIONS)
def test_definition_fails_the_load(plugin_data, load_fails, definitions, expected, message):
    plugin_data(definitions)
    error = load_fails(expected)
    if message is not None:
        assert str(error) == message


def test_failed_load_releases_what_it_built(plugin_data, load_fails):
    context = Context()
    decision = Decision()
    watched = [weakref.ref(context), weakref.ref(decision)]
    definitions = [
        definition(co_names=["plugin_target", "other_target"], build_context=lambda config: context, call=decision),
        definition(subtype=None),
    ]
    plugin_data(definitions)
    load_fails(TypeError)
    definitions.clear()
    del context, decision
    assert [ref() for ref in watched] == [None, None]


def test_failed_load_keeps_the_earlier_hook(plugin_data, native, make_host):
    recording = make_host()
    native.register_profiler(recording)
    plugin_data([definition(events="call")])
    with pytest.raises(TypeError):
        native.register_profiler(make_host())
    hook = sys.getprofile()
    plugin_target()
    native.register_noop_profiler()
    assert hook is recording.rust_profiler
    assert [r["event"] for r in all_records(decode(recording.rust_profiler.build_trace())) if r.get("co_name") == "plugin_target"] == ["call", "return"]


# ---- a list that changes while it is walked -----------------------------------------------


def test_list_shrinking_during_the_walk_ends_it_early(plugin_data, run_plugins):
    definitions = []

    def drop_the_rest(config):
        del definitions[1:]
        return {}

    definitions.extend([definition(build_context=drop_the_rest), "never examined", definition(subtype=None)])
    plugin_data(definitions)
    doc = run_plugins(plugin_target)
    assert plugin_types(doc) == ["target_call", "target_return"]
    assert len(definitions) == 1


def test_definition_removed_from_the_list_while_in_use_still_loads(plugin_data, run_plugins):
    definitions = []

    def clear_list(config):
        definitions.clear()
        return {}

    definitions.append(definition(build_context=clear_list))
    plugin_data(definitions)
    assert plugin_types(run_plugins(plugin_target)) == ["target_call", "target_return"]


def test_elements_appended_during_the_walk_are_not_examined(plugin_data, run_plugins):
    definitions = []

    def append_broken(config):
        definitions.append("not a definition")
        return {}

    definitions.append(definition(build_context=append_broken))
    plugin_data(definitions)
    assert plugin_types(run_plugins(plugin_target)) == ["target_call", "target_return"]
    assert definitions[-1] == "not a definition"


EVENTS_REMOVING_THEMSELVES = """
import zelm._zelm as native
import zelm.plugins
from conftest import HostProfiler as Host

log = []


class EventsRemovingThemselves:
    def __init__(self, definition):
        self.definition = definition

    def __len__(self):
        log.append("len")
        self.definition.pop("events", None)
        return 1

    def __getitem__(self, index):
        return "call"

    def __iter__(self):
        log.append("iter")
        return iter(["call"])

    def __del__(self):
        log.append("released")


definition = {"co_names": ["f"], "path_fragment": "", "call_type": "c", "return_type": "r"}
definition["events"] = EventsRemovingThemselves(definition)
zelm.plugins.load_plugin_data = lambda config: [definition]
native.register_profiler(Host())
native.register_noop_profiler()
print(log)
"""


def test_events_stay_alive_while_they_are_read():
    # Sizing the "events" sequence drops the definition's reference to it;
    # iterating it afterwards must still reach a live object.
    result = run_python("-c", EVENTS_REMOVING_THEMSELVES)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "['len', 'iter', 'released']"
