"""The same program gives the same records on every supported CPython.

Each interpreter that has zelm installed next to this checkout (the
.venv-3.x environments `make test` builds) profiles the shipped example; the
records, with times and ids replaced by their positions, must agree.
"""

import glob
import json
import os
import re
import sys

import pytest
from conftest import run_python

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLE = os.path.join(ROOT, "examples", "shop_app.py")

# Runs in each interpreter: profile the example, print its records normalised.
NORMALISE = r"""
import json, runpy, sys, threading
from zelm import _zelm
from zelm.export import to_json_safe
from zelm.serialize import values

class Host:
    config = {"threading": True}
    db_path = "unused.sqlite3"
    one_trace_per_test = False
    trace_id = "trc_01KC0000000000000000000000"
    source = "versions"
    def __call__(self): pass

host = Host()
sys.argv = [sys.argv[1]]
_zelm.register_profiler(host)
runpy.run_path(sys.argv[0], run_name="__main__")
_zelm.register_noop_profiler()
threading.setprofile(None)
doc = values.unpackb(host.rust_profiler.build_trace())

def normalise(records):
    ids = {}
    out = []
    records = [r for r in records if r["type"] == "frame"]
    for index, record in enumerate(records):
        frame_id = record.get("frame_id")
        if record["event"] == "call":
            ids[frame_id] = index
        site = record["user_code_call_site"]
        out.append({
            "path": record["path"], "co_name": record["co_name"], "qualname": record["qualname"],
            "event": record["event"], "call": ids.get(frame_id), "arg": to_json_safe(record["arg"]),
            "locals": to_json_safe(record["locals"]), "thread": record["thread"],
            "call_site": site and [ids.get(site["call_frame_id"]), site["line_number"]],
        })
    return out

threads = sorted((normalise(records) for records in doc["frames"].values()), key=json.dumps)
json.dump({"main": normalise(doc["frames_of_interest"]), "threads": threads}, sys.stdout)
"""

# List, set and dict comprehensions run inline from 3.12 on (no frame, so
# no record); generator expressions still have frames.
INLINED_COMPREHENSIONS = {"<listcomp>", "<setcomp>", "<dictcomp>"}
# Class namespaces gained these entries in 3.13.
NEW_CLASS_ENTRIES = {"__firstlineno__", "__static_attributes__"}
# Addresses, thread idents and interpreter versions inside reprs and paths.
VOLATILE = re.compile(r"0x[0-9a-f]+|\b\d{9,}\b|cpython-3\d+|python3\.\d+|3\.\d+\.\d+")


# Where a module came from (3.13 freezes os, for one).
MODULE_ORIGIN = re.compile(r"(<module '[^']+')[^>]*>")


def stable(value):
    return json.loads(MODULE_ORIGIN.sub(r"\1>", VOLATILE.sub("", json.dumps(value))))


def interpreters():
    found = {}
    for python in sorted(glob.glob(os.path.join(ROOT, ".venv-3.*", "bin", "python"))):
        version = run_python("-c", "import sys, zelm._zelm; print('%d.%d' % sys.version_info[:2])",
                             interpreter=python)
        if version.returncode == 0:
            found[version.stdout.strip()] = python
    found.setdefault("%d.%d" % sys.version_info[:2], sys.executable)
    return found


def comparable(trace, old_interpreter):
    """The trace without what the interpreter version alone decides."""
    def adjust(records):
        dropped = {i for i, r in enumerate(records) if r["co_name"] in INLINED_COMPREHENSIONS}

        def caller_of(position):
            # A call made from a comprehension frame counts as made from the
            # comprehension's own caller, where 3.12 runs the inlined loop.
            while position in dropped:
                site = records[position]["call_site"]
                position = site and site[0]
            return position

        kept_positions = [i for i in range(len(records)) if i not in dropped]
        new_position = {old: new for new, old in enumerate(kept_positions)}
        kept = []
        for old in kept_positions:
            record = dict(records[old])
            record["call"] = new_position.get(record["call"])
            if record["call_site"]:
                record["call_site"] = [new_position.get(caller_of(record["call_site"][0])),
                                       record["call_site"][1]]
            record["arg"] = stable(record["arg"])
            if isinstance(record["locals"], dict):
                record["locals"] = stable({key: value for key, value in record["locals"].items()
                                           if key not in NEW_CLASS_ENTRIES})
            if record["co_name"] == "<module>" and record["event"] == "call":
                # Before the first line runs, 3.10 reports line 1 and later versions line 0.
                record["path"] = record["path"].rsplit(":", 1)[0]
            if old_interpreter:
                # 3.10 code objects carry no qualified name: it is inferred, and can be absent.
                record["qualname"] = None
            kept.append(record)
        return kept

    return {"main": adjust(trace["main"]), "threads": [adjust(t) for t in trace["threads"]]}


def test_example_records_agree_across_versions(tmp_path):
    pythons = interpreters()
    if len(pythons) < 2:
        pytest.skip("only one CPython with zelm installed here")
    traces = {}
    for version, python in pythons.items():
        result = run_python("-c", NORMALISE, EXAMPLE, interpreter=python, cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        traces[version] = json.loads(result.stdout.splitlines()[-1])

    reference_version = max(traces)
    assert len(traces[reference_version]["main"]) > 50
    for version, trace in traces.items():
        old = version == "3.10"
        assert comparable(trace, old) == comparable(traces[reference_version], old), (
            f"records on {version} differ from those on {reference_version}")
