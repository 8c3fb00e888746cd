"""zelm export for other tools: speedscope files checked against
speedscope's published schema and the balance its importer requires, the
Chrome export's JSON text as Perfetto's importer reads it, and
gzip-compressed output."""

import gzip
import json
import re
import subprocess
import sys
from pathlib import Path

import jsonschema
import msgpack
import pytest
from conftest import python_environment, run_python
from test_trace_reader import MAIN, WORKER, call, document, plugin, ret

from zelm import export
from zelm.export.chrome import ChromeTrace
from zelm.export.speedscope import SpeedscopeFile
from zelm.trace import Call, Trace

# speedscope's own schema of its file format (see data/README.md).
SPEEDSCOPE_SCHEMA = json.loads((Path(__file__).parent / "data" / "speedscope-file-format-schema.json").read_text())


def speedscope_problems(file):
    """Why speedscope would refuse ``file``: where it breaks the schema,
    else per profile an event that closes a frame other than the innermost
    open one, a time before the one before it or outside the profile's
    span, an unknown frame, frames left open."""
    problems = [error.message for error in jsonschema.Draft6Validator(SPEEDSCOPE_SCHEMA).iter_errors(file)]
    if problems:
        return problems
    frame_count = len(file["shared"]["frames"])
    for profile in file["profiles"]:
        name, open_frames, last = profile["name"], [], profile["startValue"]
        for event in profile["events"]:
            if not last <= event["at"] <= profile["endValue"]:
                problems.append(f"{name}: {event} is before {last} or after the end")
            last = event["at"]
            if not 0 <= event["frame"] < frame_count:
                problems.append(f"{name}: {event} names no frame")
            if event["type"] == "O":
                open_frames.append(event["frame"])
            elif not open_frames or open_frames.pop() != event["frame"]:
                problems.append(f"{name}: {event} closes a frame that is not the innermost open one")
        if open_frames:
            problems.append(f"{name}: frames {open_frames} are left open")
    return problems


def opened_names(file, profile):
    """The names of the frames ``profile`` opens, in order."""
    frames = file["shared"]["frames"]
    return [frames[event["frame"]]["name"] for event in profile["events"] if event["type"] == "O"]


def call_names(thread):
    return [node.name for _, node in thread.walk() if isinstance(node, Call)]


TRACE_CUT = {"dropped_events": 40, "budget_bytes": 4096, "recorded_bytes": 4000, "event": "call",
             "qualname": "app.lost", "path": "app.py:9", "dropped_until": 6.5}

SPEEDSCOPE_TRACES = {
    "threads": document(
        [call("main", "frm_m", 1.25), call("helper", "frm_h", 1.5), ret("helper", "frm_h", 1.75),
         ret("main", "frm_m", 2.0)],
        {WORKER: [call("work", "frm_w", 1.5, thread=WORKER), ret("work", "frm_w", 3.0, thread=WORKER)]},
    ),
    "recursion": document(
        [call("fact", f"frm_{depth}", 1.0 + depth) for depth in range(4)]
        + [ret("fact", f"frm_{depth}", 9.0 - depth) for depth in reversed(range(4))],
    ),
    "unfinished": document(
        [call("main", "frm_m", 1.0), call("stuck", "frm_s", 2.0), call("done", "frm_d", 2.5),
         ret("done", "frm_d", 3.0), plugin("log_message", 8.0, message="last")],
        {WORKER: [call("loop", "frm_w", 4.0, thread=WORKER)]},
    ),
    "exceptions": document([
        call("main", "frm_m", 1.0), call("parse", "frm_p", 2.0), ret("parse", "frm_p", 3.0),
        {"type": "exception", "frame_id": "frm_p", "exception": "ValueError('bad')", "timestamp": 3.0,
         "thread_native_id": MAIN},
        ret("main", "frm_m", 4.0),
    ]),
    "cut": document([
        call("main", "frm_m", 1.0), call("early", "frm_e", 2.0), ret("early", "frm_e", 2.5),
        call("open_at_cut", "frm_o", 3.0), plugin("trace_cut", 4.0, **TRACE_CUT),
        ret("open_at_cut", "frm_o", 7.0), ret("main", "frm_m", 8.0),
    ]),
    "returns without calls": document([
        call("helper", "frm_a", 2.0), ret("helper", "frm_a", 3.0), ret("inner", None, 4.0),
        ret("outer", None, 5.0), ret("lost", "frm_unknown", 6.0),
    ]),
    "zero durations": document([call("tick", f"frm_{n}", 2.0) for n in range(3)]
                               + [ret("tick", f"frm_{n}", 2.0) for n in reversed(range(3))]),
    "no calls": document([plugin("log_message", 2.0, message="only a log")]),
    "empty": document([]),
}


@pytest.mark.parametrize("doc", SPEEDSCOPE_TRACES.values(), ids=SPEEDSCOPE_TRACES.keys())
def test_speedscope_files_are_valid_and_open_every_call_in_tree_order(doc):
    loaded = Trace.from_document(doc)

    file = export.to_speedscope(loaded)

    assert speedscope_problems(file) == []
    assert file["$schema"] == "https://www.speedscope.app/file-format-schema.json"
    json.dumps(file, allow_nan=False)
    threads = loaded.threads or [None]
    assert len(file["profiles"]) == len(threads)
    for thread, profile in zip(threads, file["profiles"]):
        assert opened_names(file, profile) == (call_names(thread) if thread else [])
        assert (profile["unit"], profile["startValue"]) == ("nanoseconds", 0)
        assert profile["endValue"] == round((loaded.end - loaded.start) * 1e9)


SYNC_EXPORTS = json.loads((Path(__file__).parent / "data" / "sync-exports.json").read_text())


@pytest.mark.parametrize("name", SPEEDSCOPE_TRACES)
def test_a_trace_without_coroutines_exports_as_before_segments_were_drawn(name):
    loaded = Trace.from_document(SPEEDSCOPE_TRACES[name])
    speedscope = export.to_speedscope(loaded)
    del speedscope["exporter"]

    written = {"chrome": export.to_chrome_trace(loaded), "speedscope": speedscope}

    assert json.dumps(written, sort_keys=True) == json.dumps(SYNC_EXPORTS[name], sort_keys=True)


def test_speedscope_events_are_nanoseconds_from_the_start_with_shared_frames():
    loaded = Trace.from_document(SPEEDSCOPE_TRACES["threads"])

    file = export.to_speedscope(loaded)

    assert file["shared"]["frames"] == [{"name": "app.main", "file": "app.py", "line": 4},
                                        {"name": "app.helper", "file": "app.py", "line": 6},
                                        {"name": "app.work", "file": "app.py", "line": 4}]
    main, worker = file["profiles"]
    assert (main["name"], worker["name"]) == (f"MainThread ({MAIN})", f"worker-{WORKER} ({WORKER})")
    assert [(event["type"], event["frame"], event["at"]) for event in main["events"]] == [
        ("O", 0, 250_000_000), ("O", 1, 500_000_000), ("C", 1, 750_000_000), ("C", 0, 1_000_000_000)]
    assert [(event["type"], event["frame"], event["at"]) for event in worker["events"]] == [
        ("O", 2, 500_000_000), ("C", 2, 2_000_000_000)]
    assert main["endValue"] == worker["endValue"] == 2_000_000_000


def test_a_cut_trace_says_so_in_the_speedscope_file_name():
    file = export.to_speedscope(Trace.from_document(SPEEDSCOPE_TRACES["cut"]))

    assert file["name"].endswith("cut by its budget: 40 events left out")


@pytest.mark.parametrize("file", [
    {"shared": {"frames": []}, "profiles": []},
    {"$schema": "https://www.speedscope.app/file-format-schema.json", "shared": {"frames": [{"line": 1}]},
     "profiles": []},
    {"$schema": "https://www.speedscope.app/file-format-schema.json", "shared": {"frames": [{"name": "f"}]},
     "profiles": [{"type": "evented", "name": "t", "unit": "seconds", "startValue": 0, "endValue": 2,
                   "events": [{"type": "O", "frame": 0, "at": 1}, {"type": "C", "frame": 0, "at": 0.5}]}]},
    {"$schema": "https://www.speedscope.app/file-format-schema.json", "shared": {"frames": [{"name": "f"}]},
     "profiles": [{"type": "evented", "name": "t", "unit": "seconds", "startValue": 0, "endValue": 2,
                   "events": [{"type": "O", "frame": 0, "at": 1}]}]},
    {"$schema": "https://www.speedscope.app/file-format-schema.json",
     "shared": {"frames": [{"name": "f"}, {"name": "g"}]},
     "profiles": [{"type": "evented", "name": "t", "unit": "seconds", "startValue": 0, "endValue": 2,
                   "events": [{"type": "O", "frame": 0, "at": 0}, {"type": "O", "frame": 1, "at": 0},
                              {"type": "C", "frame": 0, "at": 1}, {"type": "C", "frame": 1, "at": 1}]}]},
], ids=["no-schema-field", "frame-without-name", "time-backwards", "left-open", "crossed"])
def test_the_speedscope_check_finds_what_speedscope_refuses(file):
    assert speedscope_problems(file) != []


# ---- the Chrome export as Perfetto reads it ----


def perfetto_misreads(text):
    """What Perfetto's JSON importer gets wrong in the JSON ``text``:
    strings whose end its tokenizer misplaces (it takes every quote right
    after a backslash for an escaped one), the escapes of UTF-16
    surrogates (which it refuses) and strings holding raw control
    characters."""
    strings = [match.span() for match in re.finditer(r'"(?:[^"\\]|\\.)*"', text, re.DOTALL)]
    misplaced = [text[start:end] for start, end in strings if _perfetto_string_end(text, start) != end]
    escapes = [match.group() for start, end in strings
               for match in re.finditer(r"\\(?:u[0-9a-fA-F]{4}|.)", text[start + 1:end - 1])]
    surrogates = [escape for escape in escapes if re.fullmatch(r"\\u[dD][89a-fA-F][0-9a-fA-F]{2}", escape)]
    controls = [text[start:end] for start, end in strings if re.search(r"[\x00-\x1f]", text[start:end])]
    return misplaced + surrogates + controls


def _perfetto_string_end(text, start):
    end = text.find('"', start + 1)
    while end > 0 and text[end - 1] == "\\":
        end = text.find('"', end + 1)
    return end + 1


def as_utf8_text(value):
    """``value`` with every text, keys too, as it can be written in UTF-8:
    a surrogate alone as the text of its backslash escape."""
    if isinstance(value, str):
        return value.encode("utf-8", "backslashreplace").decode("utf-8")
    if isinstance(value, list):
        return [as_utf8_text(item) for item in value]
    if isinstance(value, dict):
        return {as_utf8_text(key): as_utf8_text(item) for key, item in value.items()}
    return value


HOSTILE_TEXTS = {
    "backslash at the end": "C:\\dir\\",
    "backslashes before a quote": 'say "hi\\\\"',
    "escaped quote then backslash": '\\"\\',
    "backslash-u text": "\\ud83d\\u005c",
    "controls": "\x00\x01\n\t\x1f\x7f\x85",
    "outside the basic plane": "\U0001f600 \U0001d11e",
    "basic plane": "\u00e9 \u2713 \u2028",
    "surrogate alone": "a\udc80",
    "high surrogate alone": "\ud83d!",
}


@pytest.mark.parametrize("text", HOSTILE_TEXTS.values(), ids=HOSTILE_TEXTS.keys())
def test_chrome_json_reads_back_the_same_in_json_and_as_perfetto_reads_it(text):
    doc = document([
        call("main", "frm_m", 1.0, thread_name=text, locals_={text: text, "nested": [text, {"deeper": text}]}),
        {**plugin("log_message", 1.5, message=text), "thread": text},
        ret("main", "frm_m", 2.0, thread_name=text, arg=text),
    ])
    doc["frames_of_interest"][0]["qualname"] = text
    doc["meta"]["source"] = text
    chrome_trace = export.to_chrome_trace(Trace.from_document(doc))

    written = export.chrome_trace_json(chrome_trace)

    assert perfetto_misreads(written) == []
    assert json.loads(written) == as_utf8_text(chrome_trace)
    written.encode("utf-8")


@pytest.mark.parametrize("text", [
    r'{"path": "C:\\dir\\", "next": 1}', r'{"face": "\ud83d\ude00"}', '{"raw": "a\x01"}',
], ids=["backslash-at-the-end", "surrogate-escapes", "raw-control"])
def test_the_perfetto_check_finds_what_perfetto_misreads(text):
    json.loads(text, strict=False)
    assert perfetto_misreads(text) != []


# ---- from the command line ----


PROGRAM = """\
import threading


def fib(number):
    return number if number < 2 else fib(number - 1) + fib(number - 2)


def fail(path):
    raise ValueError(path)


def echo(*texts):
    return texts


def work(number):
    try:
        fail("C:\\\\dir\\\\")
    except ValueError:
        pass
    return fib(number)


worker = threading.Thread(target=work, args=(5,), name="worker")
worker.start()
worker.join()
work(3)
echo("C:\\\\dir\\\\", 'say "hi\\\\"', "\\x00\\x1f", "\\u00e9 \\U0001f600")
"""


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    """A directory where `zelm run` recorded PROGRAM, and its trace id."""
    directory = tmp_path_factory.mktemp("exports")
    (directory / "prog.py").write_text(PROGRAM)
    result = run_python("-m", "zelm", "run", "prog.py", cwd=directory)
    assert result.returncode == 0, result.stderr
    trace_id = re.search(r"saved trace (trc_\w+)", result.stderr).group(1)
    return directory, trace_id


def zelm_export(recorded, *args):
    directory, trace_id = recorded
    return run_python("-m", "zelm", "export", trace_id, *args, cwd=directory)


def test_export_speedscope_from_the_command_line(recorded):
    directory, trace_id = recorded

    result = zelm_export(recorded, "--format", "speedscope", "-o", "prog.speedscope.json")

    assert result.returncode == 0, result.stderr
    assert result.stderr == f"zelm: wrote 2 thread profiles of trace {trace_id} to prog.speedscope.json\n"
    file = json.loads((directory / "prog.speedscope.json").read_text())
    assert speedscope_problems(file) == []
    main, worker = file["profiles"]
    assert (main["name"].split(" (")[0], worker["name"].split(" (")[0]) == ("MainThread", "worker")
    assert opened_names(file, worker) == ["__main__.work", "__main__.fail"] + ["__main__.fib"] * 15
    assert opened_names(file, main).count("__main__.fib") == 5
    fib = next(frame for frame in file["shared"]["frames"] if frame["name"] == "__main__.fib")
    assert (Path(fib["file"]).name, fib["line"]) == ("prog.py", 4)


def test_export_chrome_from_the_command_line_is_read_whole_by_perfetto(recorded):
    directory, _ = recorded

    result = zelm_export(recorded, "--format", "chrome", "-o", "prog.json")

    assert result.returncode == 0, result.stderr
    written = (directory / "prog.json").read_text(encoding="utf-8")
    assert perfetto_misreads(written) == []
    events = json.loads(written)["traceEvents"]
    (echo,) = [event for event in events if event["name"] == "__main__.echo"]
    assert echo["args"]["arguments"] == {
        "texts": {"$tuple": ["C:\\dir\\", 'say "hi\\"', "\x00\x1f", "\u00e9 \U0001f600"]}}


def test_export_to_stdout_is_utf8_whatever_its_encoding(recorded):
    directory, trace_id = recorded

    result = subprocess.run([sys.executable, "-m", "zelm", "export", trace_id], cwd=directory, capture_output=True,
                            env=python_environment({"PYTHONIOENCODING": "ascii"}), timeout=120)

    assert result.returncode == 0, result.stderr
    written = result.stdout.decode("utf-8")
    assert perfetto_misreads(written) == []
    assert "\U0001f600" in json.dumps(json.loads(written), ensure_ascii=False)


@pytest.mark.parametrize("export_format", ["chrome", "speedscope", "json"])
def test_an_output_name_ending_in_gz_is_gzip_compressed(recorded, export_format):
    directory, trace_id = recorded

    plain = zelm_export(recorded, "--format", export_format, "-o", "out.json")
    compressed = zelm_export(recorded, "--format", export_format, "-o", "out.json.gz")

    assert (plain.returncode, compressed.returncode) == (0, 0), plain.stderr + compressed.stderr
    assert compressed.stderr.endswith(f"trace {trace_id} gzip-compressed to out.json.gz\n")
    with gzip.open(directory / "out.json.gz", "rb") as file:
        assert file.read() == (directory / "out.json").read_bytes()


def test_an_html_export_is_never_gzip_compressed(recorded):
    directory, _ = recorded

    result = zelm_export(recorded, "--format", "html", "-o", "page.html.gz")

    assert result.returncode == 1
    assert result.stderr.startswith("zelm: error: --format html writes a page that browsers open from disk")
    assert not (directory / "page.html.gz").exists()


# A thread of many calls, each with a plugin record: enough for several pieces of text.
MANY_CALLS = document([record for number in range(1500) for record in (
    call("step", f"frm_{number}", 1.0 + number, locals_={"number": number}),
    plugin("log_message", 1.5 + number, message=f"step {number}"),
    ret("step", f"frm_{number}", 1.75 + number, arg=number))])


def walked_from_the_index(doc):
    from zelm.view import lazy, walk

    data = msgpack.packb(doc)
    return walk.IndexedTrace([data], lazy.index_documents([data]), "the trace")


def test_the_chrome_text_is_written_as_its_events_are_made(monkeypatch):
    walked = walked_from_the_index(MANY_CALLS)
    made = []
    monkeypatch.setattr(walked, "node", lambda node_id: made.append(node_id) or walked.nodes[node_id])
    exported = ChromeTrace(walked)

    chunks = exported.json_chunks()
    first_pieces = next(chunks) + next(chunks)

    assert 0 < len(made) < 1000 and first_pieces.startswith('{"traceEvents": [{"name": "process_name"')
    text = first_pieces + "".join(chunks)
    assert len(made) == 3000 and exported.event_count == 1 + 1 + 3000
    assert text == export.chrome_trace_json(export.to_chrome_trace(Trace.from_document(MANY_CALLS)))


def test_the_speedscope_file_is_made_without_decoding_a_record(monkeypatch):
    walked = walked_from_the_index(MANY_CALLS)
    monkeypatch.setattr(msgpack, "unpackb", lambda *args, **kwargs: pytest.fail("a record was decoded"))

    text = "".join(SpeedscopeFile(walked).json_chunks())

    monkeypatch.undo()
    file = json.loads(text)
    assert speedscope_problems(file) == [] and len(file["profiles"][0]["events"]) == 3000
    assert text == json.dumps(export.to_speedscope(Trace.from_document(MANY_CALLS)), allow_nan=False)


@pytest.mark.parametrize("export_type", [ChromeTrace, SpeedscopeFile])
@pytest.mark.parametrize("bad_time", [float("inf"), float("-inf"), 1e300], ids=["inf", "-inf", "too far"])
def test_a_time_no_time_line_places_is_found_before_anything_is_written(export_type, bad_time):
    placed = document([call("main", "frm_m", 1.0), ret("main", "frm_m", 2.0)])
    unplaced = document([call("main", "frm_m", 1.0), ret("main", "frm_m", bad_time)])

    assert export_type(walked_from_the_index(placed)).times_placeable()
    assert not export_type(walked_from_the_index(unplaced)).times_placeable()
    with pytest.raises(export.NonFiniteTimeError):
        "".join(export_type(walked_from_the_index(unplaced)).json_chunks())
