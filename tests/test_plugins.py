"""Plugin processing on real calls and returns: the plugin record and its
keys, what "call", "events" and "process" decide, frame ids, ordering
against the frame record, failures that cost one processor its record."""

import functools
import re
import sys
import threading
import time
import types
from collections.abc import Mapping

import pytest
from conftest import FakeNumpyBool, all_records, decode, frame_records, plugin_definition, plugin_records

FRAME_ID_PATTERN = re.compile(r"frm_[0-7][0-9A-HJKMNP-TV-Z]{25}")
BASE_KEYS = ["frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type"]


def plugged(value):
    return value * 2


def outer(value):
    result = plugged(value)
    return result


OUTER_CALL_LINE = outer.__code__.co_firstlineno + 1


def plugged_generator():
    yield 1
    yield 2


# A definition for plugged() in this file; keywords add or replace entries.
definition = functools.partial(plugin_definition, "plugged", path_fragment="tests/test_plugins.py")


def event_records(doc, co_name="plugged"):
    """Plugin records and the frame records of ``co_name``, in buffer order."""
    return [r for r in all_records(doc) if r["type"] != "frame" or r["co_name"] == co_name]


def types_of(records):
    return [record["type"] for record in records]


def warning_texts(warnings):
    return [f"{type(record.exc_info[1]).__name__}: {record.exc_info[1]}" for record in warnings]


# ---- the record ----


@pytest.mark.parametrize("subtype", [None, "orm"])
def test_record_keys_values_and_order(plugin_definitions, profile, subtype):
    fields = {"process": lambda frame, event, arg, context: {"extra": event}}
    if subtype is not None:
        fields["subtype"] = subtype
    plugin_definitions(definition(**fields))

    before = time.time()
    doc, _ = profile(lambda: plugged(1))
    after = time.time()

    call, ret = plugin_records(doc)
    subtype_keys = [] if subtype is None else ["subtype"]
    for record, kind, event in [(call, "plugged_call", "call"), (ret, "plugged_return", "return")]:
        assert list(record) == BASE_KEYS + subtype_keys + ["extra"]
        assert FRAME_ID_PATTERN.fullmatch(record["frame_id"])
        assert before <= record["timestamp"] <= after
        assert record["thread"] == threading.current_thread().name
        assert record["thread_native_id"] == threading.get_native_id()
        assert record["type"] == kind
        assert record.get("subtype") == subtype
        assert record["extra"] == event


def test_process_result_is_merged_like_dict_update(plugin_definitions, profile):
    def process(frame, event, arg, context):
        return {"note": "added", "thread": "overridden", "frame_id": None, "later": [1, 2]}

    plugin_definitions(definition(process=process, events=["call"]))

    doc, _ = profile(lambda: plugged(1))

    [record] = plugin_records(doc)
    assert list(record) == BASE_KEYS + ["note", "later"]
    assert (record["thread"], record["frame_id"], record["note"], record["later"]) == (
        "overridden", None, "added", [1, 2])


@pytest.mark.parametrize(
    "call_type, merged_type, saves",
    [
        ("plain", "end_test", 1),
        ("end_test", "plain", 0),
        ("end_test", "end_test", 1),
    ],
)
def test_type_after_the_merge_names_the_record(plugin_definitions, profile, saved_traces,
                                               call_type, merged_type, saves):
    plugin_definitions(definition(call_type=call_type, events=["call"],
                                  process=lambda frame, event, arg, context: {"type": merged_type}))

    doc, _ = profile(lambda: plugged(1), one_trace_per_test=True)

    # The record-type list, not only the record, carries the merged type:
    # only an "end_test" there saves the trace.
    assert len(saved_traces) == saves
    if saves:
        saved = decode(saved_traces[0][1]["msgpack"])
        assert types_of(plugin_records(saved)) == [merged_type]
        assert plugin_records(doc) == []
    else:
        assert types_of(plugin_records(doc)) == [merged_type]


@pytest.mark.parametrize("bad_type", [5, None, b"plugged", ["plugged"]])
def test_non_str_type_drops_the_record_with_a_warning(plugin_definitions, profile, zelm_warnings, bad_type):
    plugin_definitions(
        definition(events=["call"], process=lambda frame, event, arg, context: {"type": bad_type}),
        definition(events=["call"], call_type="second_call"),
    )

    doc, _ = profile(lambda: plugged(1))

    assert types_of(event_records(doc)) == ["second_call", "frame", "frame"]
    [warning] = zelm_warnings()
    assert "PyString" in str(warning.exc_info[1])


# ---- "call", "events" and "process" ----


def raise_lookup_error(*args):
    raise LookupError("call failed")


@pytest.mark.parametrize(
    "call, expected_types, expected_warnings",
    [
        (lambda *args: True, ["plugged_call", "plugged_return"], []),
        (lambda *args: False, [], []),
        (lambda *args: FakeNumpyBool(True), ["plugged_call", "plugged_return"], []),
        (lambda *args: FakeNumpyBool(False), [], []),
        (lambda frame, event, arg, context: event == "return", ["plugged_return"], []),
        # A call failing at every event is logged once for the code.
        (lambda *args: 1, [], ["TypeError"]),
        (lambda *args: None, [], ["TypeError"]),
        (lambda *args: "yes", [], ["TypeError"]),
        (raise_lookup_error, [], ["LookupError: call failed"]),
    ],
)
def test_call_decides_per_event(plugin_definitions, profile, zelm_warnings, call, expected_types, expected_warnings):
    plugin_definitions(definition(call=call))

    doc, _ = profile(lambda: plugged(1))

    assert types_of(plugin_records(doc)) == expected_types
    texts = warning_texts(zelm_warnings())
    assert len(texts) == len(expected_warnings)
    assert all(text.startswith(expected) for text, expected in zip(texts, expected_warnings)), texts
    # The frame record is never affected.
    assert [r["event"] for r in frame_records(doc, "plugged")] == ["call", "return"]


def test_call_gets_frame_event_arg_and_context_and_runs_before_events(plugin_definitions, profile):
    seen = []

    def call(frame, event, arg, context):
        seen.append((frame.f_code is plugged.__code__, event, arg, context))
        return True

    plugin_definitions(definition(call=call, events=["call"]))

    doc, _ = profile(lambda: plugged(21))

    # "call" is asked about the return too; "events" rejects it afterwards.
    assert seen == [(True, "call", None, {}), (True, "return", 42, {})]
    assert types_of(plugin_records(doc)) == ["plugged_call"]


@pytest.mark.parametrize("events, expected", [
    (["return"], ["plugged_return"]),
    (["call", "return"], ["plugged_call", "plugged_return"]),
    ([], []),
    (["CALL", "exception"], []),
])
def test_events_restrict_the_accepted_events(plugin_definitions, profile, events, expected):
    plugin_definitions(definition(events=events))

    doc, _ = profile(lambda: plugged(1))

    assert types_of(plugin_records(doc)) == expected


class ReadOnlyMapping(Mapping):
    def __init__(self, **items):
        self._items = items

    def __getitem__(self, key):
        return self._items[key]

    def __iter__(self):
        return iter(self._items)

    def __len__(self):
        return len(self._items)


class RegisteredMapping:
    """Not derived from Mapping, but registered as one."""

    def keys(self):
        return ["registered"]

    def __getitem__(self, key):
        return "yes"


Mapping.register(RegisteredMapping)


class BrokenClass:
    """isinstance() on it raises."""

    @property
    def __class__(self):
        raise RuntimeError("no class today")


def raise_key_error(*args):
    raise KeyError("process failed")


@pytest.mark.parametrize(
    "result, merged",
    [
        ({"added": 1}, {"added": 1}),
        (types.MappingProxyType({"added": 2}), {"added": 2}),
        (ReadOnlyMapping(added=3), {"added": 3}),
        (RegisteredMapping(), {"registered": "yes"}),
    ],
)
def test_process_may_return_any_mapping(plugin_definitions, profile, zelm_warnings, result, merged):
    plugin_definitions(definition(events=["call"], process=lambda *args: result))

    doc, _ = profile(lambda: plugged(1))

    [record] = plugin_records(doc)
    assert {key: record[key] for key in merged} == merged
    assert zelm_warnings() == []


@pytest.mark.parametrize(
    "process, warning",
    [
        (lambda *args: None, "TypeError"),
        # dict.update would take a list of pairs; a plugin must return a mapping.
        (lambda *args: [("added", 1)], "TypeError"),
        (lambda *args: "added", "TypeError"),
        (raise_key_error, "KeyError: 'process failed'"),
    ],
)
def test_failing_process_costs_only_its_record(plugin_definitions, profile, zelm_warnings, process, warning):
    plugin_definitions(
        definition(events=["call"], process=process),
        definition(events=["call"], call_type="second_call", process=lambda *args: {"second": True}),
    )

    doc, _ = profile(lambda: plugged(1))

    assert types_of(event_records(doc)) == ["second_call", "frame", "frame"]
    [text] = warning_texts(zelm_warnings())
    assert text.startswith(warning)


def test_mapping_check_that_raises_is_logged_once_and_counts_as_no_mapping(
        plugin_definitions, profile, zelm_warnings, monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    plugin_definitions(definition(events=["call"], process=lambda *args: BrokenClass()))

    doc, _ = profile(lambda: [plugged(1) for _ in range(3)])

    assert plugin_records(doc) == []
    # The unraisable hook would have printed the program's object.
    assert unraisable == []
    check, *failures = zelm_warnings()
    assert check.getMessage() == ("the Mapping check of a plugin's result of type BrokenClass raised RuntimeError; "
                                  "the result is taken for no mapping")
    assert check.exc_info is None
    # The plugin's own failure is still logged, once per code as any event failure.
    assert ["Mapping" in str(warning.exc_info[1]) for warning in failures] == [True]


def test_failure_warning_names_the_frame_and_event(plugin_definitions, profile, zelm_warnings):
    plugin_definitions(definition(events=["call"], process=raise_key_error))

    profile(lambda: plugged(7))

    [warning] = zelm_warnings()
    assert warning.msg.startswith("Unexpected exception in Rust.\n")
    co_filename, co_name, event, line = warning.args
    assert (co_filename, co_name, event, line) == (__file__, "plugged", "call", plugged.__code__.co_firstlineno)
    assert isinstance(warning.exc_info[1], KeyError)


# ---- order and frame ids ----


def test_two_processors_run_in_order_ahead_of_the_frame_record(plugin_definitions, profile):
    plugin_definitions(
        definition(call_type="first_call", return_type="first_return"),
        definition(call_type="second_call", return_type="second_return"),
    )

    doc, _ = profile(lambda: plugged(1))

    # A return batch is stored reversed: its frame record comes first.
    assert types_of(event_records(doc)) == [
        "first_call", "second_call", "frame",
        "frame", "second_return", "first_return",
    ]


def test_frame_ids_link_plugin_call_and_return(plugin_definitions, profile):
    plugin_definitions(definition())

    doc, _ = profile(lambda: [plugged(1), plugged(2)])

    first_call, first_return, second_call, second_return = plugin_records(doc)
    assert first_call["frame_id"] == first_return["frame_id"]
    assert second_call["frame_id"] == second_return["frame_id"]
    assert first_call["frame_id"] != second_call["frame_id"]
    # Plugin ids are the plugin's own, not the frame record's.
    frame_ids = {record["frame_id"] for record in frame_records(doc, "plugged")}
    assert not frame_ids & {first_call["frame_id"], second_call["frame_id"]}


def test_return_without_accepted_call_gets_a_fresh_id(plugin_definitions, profile):
    plugin_definitions(definition(call=lambda frame, event, arg, context: event == "return"))

    doc, _ = profile(lambda: [plugged(1), plugged(2)])

    ids = [record["frame_id"] for record in plugin_records(doc)]
    assert len(ids) == 2 and all(FRAME_ID_PATTERN.fullmatch(frame_id) for frame_id in ids)
    assert len(set(ids) | {r["frame_id"] for r in frame_records(doc, "plugged")}) == 4


def test_return_forgets_the_id_of_the_call(plugin_definitions, profile):
    # A generator's frame sees a call and a return per resume; the plugin
    # accepts only the first call but every return.
    accepted_calls = []

    def call(frame, event, arg, context):
        if event == "call":
            accepted_calls.append(frame)
            return len(accepted_calls) == 1
        return True

    plugin_definitions(definition(co_names=["plugged_generator"], call=call))

    doc, _ = profile(lambda: list(plugged_generator()))

    records = plugin_records(doc)
    assert types_of(records) == ["plugged_call"] + ["plugged_return"] * 3
    call_record, first_return, *later_returns = records
    assert first_return["frame_id"] == call_record["frame_id"]
    later_ids = [record["frame_id"] for record in later_returns]
    assert call_record["frame_id"] not in later_ids
    assert len(set(later_ids)) == 2


def test_user_code_call_site_of_plugin_records(plugin_definitions, profile):
    plugin_definitions(definition())

    doc, _ = profile(lambda: outer(1))

    [outer_call, _] = frame_records(doc, "outer")
    call, ret = plugin_records(doc)
    # Both point at the caller's line, as the frame records of plugged() do,
    # although at the return plugged() itself is still on the call stack.
    caller_site = {"call_frame_id": outer_call["frame_id"], "line_number": OUTER_CALL_LINE}
    assert call["user_code_call_site"] == caller_site
    assert ret["user_code_call_site"] == caller_site
    assert [r["user_code_call_site"] for r in frame_records(doc, "plugged")] == [caller_site] * 2


def test_plugin_thread_is_read_for_every_record(plugin_definitions, profile):
    plugin_definitions(definition(events=["call"]))
    thread = threading.current_thread()
    name = thread.name

    def run():
        plugged(1)
        thread.name = "renamed"
        plugged(2)

    try:
        doc, _ = profile(run)
    finally:
        thread.name = name

    assert [record["thread"] for record in plugin_records(doc)] == [name, "renamed"]
    # Frame records keep the name the thread had at its first record.
    assert {record["thread"] for record in frame_records(doc, "plugged")} == {name}


# ---- filters, context, serialisation ----


@pytest.mark.parametrize(
    "filename, config",
    [
        ("<string>", {}),
        ("/srv/venv/site-packages/app/plugged.py", {}),
        ("/srv/app/plugged.py", {"filters": {"ignore_frames": ["/srv/app/"]}}),
    ],
)
def test_filtered_out_frames_still_yield_plugin_records(plugin_definitions, profile, filename, config):
    namespace = {"__name__": "compiled"}
    exec(compile("def plugged():\n    return 1\n", filename, "exec"), namespace)
    plugin_definitions(definition(path_fragment=filename))

    doc, _ = profile(namespace["plugged"], config=config)

    assert types_of(event_records(doc)) == ["plugged_call", "plugged_return"]


def test_path_fragment_selects_files(plugin_definitions, profile):
    plugin_definitions(
        definition(path_fragment="", call_type="anywhere", events=["call"]),
        definition(path_fragment="tests/test_plugins.py", call_type="this_file", events=["call"]),
        definition(path_fragment="tests/test_plugins.pyc", call_type="other_file", events=["call"]),
        definition(co_names=["plugge"], call_type="other_name", events=["call"]),
    )

    doc, _ = profile(lambda: plugged(1))

    assert types_of(plugin_records(doc)) == ["anywhere", "this_file"]


def test_context_is_one_dict_passed_to_call_and_process(plugin_definitions, profile):
    contexts = []

    def build_context(config):
        context = {"seen": [], "config": config}
        contexts.append(context)
        return context

    def call(frame, event, arg, context):
        context["seen"].append(("call", event))
        return True

    def process(frame, event, arg, context):
        context["seen"].append(("process", event))
        return {"count": len(context["seen"]), "same_context": context is contexts[0]}

    plugin_definitions(definition(call=call, process=process, build_context=build_context))

    doc, host = profile(lambda: [plugged(1), plugged(2)], config={"marker": True})

    [context] = contexts
    assert context["config"] is host.config
    assert context["seen"] == [("call", "call"), ("process", "call"), ("call", "return"), ("process", "return")] * 2
    assert [(r["count"], r["same_context"]) for r in plugin_records(doc)] == [(2, True), (4, True), (6, True), (8, True)]


@pytest.mark.parametrize("lightweight", [False, True])
def test_lightweight_repr_chooses_the_serialiser(plugin_definitions, profile, lightweight):
    from zelm.serialize.reference import LIGHTWEIGHT_MAX_TEXT, TRUNCATION_MARKER

    text = "x" * (LIGHTWEIGHT_MAX_TEXT * 3)
    plugin_definitions(definition(events=["call"], process=lambda *args: {"text": text}))

    doc, _ = profile(lambda: plugged(1), config={"lightweight_repr": lightweight})

    [record] = plugin_records(doc)
    expected = text[:LIGHTWEIGHT_MAX_TEXT] + TRUNCATION_MARKER if lightweight else text
    assert record["text"] == expected
