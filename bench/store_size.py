"""What a trace takes in the store, and what saving it costs beside recording it.

    python bench/store_size.py [--workloads NAMES] [--database PATH]

Each workload (bench/workloads.py's, and "templates": Jinja2 rendering, when
Jinja2 is installed) is recorded once with zelm; its document is saved into
a new SQLite store, as `zelm run` saves it. Per workload: the records, the
stored bytes per record and per recorded call, the CPU time of recording
(build_trace included) and of the save, and the save's share of the
recording. When VizTracer is importable, the same workload is traced with
it (with and without --log_func_args --log_func_retval) and its gzipped JSON
is measured per call (its events are calls).

--database re-saves every document of an existing trace database (say, of
a `pytest --zelm` run), in batches of 16 as the background saver stores
them, into a new one: the bytes per record as it holds them and as they are
stored now, and the CPU time of the saves.
"""
import argparse
import gzip
import json
import os
import sqlite3
import sys
import tempfile
import time

import workloads
from bench_host import recording

from zelm import store

# A recorded call's record holds this: its entry "event" with the text "call".
CALL_MARK = b"\xa5event\xa4call"


def templates(pages=300):
    import jinja2

    environment = jinja2.Environment(autoescape=True, loader=jinja2.DictLoader({
        "base.html": "<title>{% block title %}{% endblock %}</title>{% block body %}{% endblock %}",
        "page.html": "{% extends 'base.html' %}{% block title %}{{ title|title }}{% endblock %}{% block body %}"
                     "{% for user in users %}{{ loop.index }} {{ user.name|e }} {{ user.age + 1 }}"
                     "{% if user.admin %}!{% endif %}{% endfor %}{% endblock %}",
    }))
    for number in range(pages):
        users = [{"name": f"<user{index}>", "age": index, "admin": index % 3 == 0} for index in range(number % 9 + 2)]
        environment.get_template("page.html").render(title=f"page {number}", users=users)


def all_workloads():
    found = dict(workloads.WORKLOADS)
    try:
        import jinja2  # noqa: F401
    except ImportError:
        return found
    return {**found, "templates": templates}


def stored_columns(db_path):
    with sqlite3.connect(db_path) as connection:
        return connection.execute("SELECT sum(stored_bytes), sum(record_count), count(*) FROM traces").fetchone()


def measure_workload(run, directory):
    started = time.process_time()
    with recording({"threading": True}) as host:
        run()
    document = host.rust_profiler.build_trace()
    recorded = time.process_time() - started
    db_path = os.path.join(directory, f"store-{time.monotonic_ns()}.sqlite3")
    started = time.process_time()
    store.save_trace_in_sqlite(db_path, "trc_01KBENCH0000000000000000000", timeout=30, msgpack=document)
    saved = time.process_time() - started
    stored, records, _ = stored_columns(db_path)
    calls = document.count(CALL_MARK)
    return {"records": records, "calls": calls, "document_bytes": len(document), "stored_bytes": stored,
            "stored_bytes_per_record": stored / records, "stored_bytes_per_call": stored / max(calls, 1),
            "record_cpu_s": recorded, "save_cpu_s": saved, "save_share": saved / recorded}


def measure_viztracer(run, directory, **options):
    import viztracer

    tracer = viztracer.VizTracer(verbose=0, tracer_entries=5_000_000, **options)
    tracer.start()
    run()
    tracer.stop()
    path = os.path.join(directory, "viztracer.json")
    tracer.save(path)
    tracer.clear()
    with open(path, "rb") as file:
        data = file.read()
    os.remove(path)
    events = sum(1 for event in json.loads(data)["traceEvents"] if event.get("ph") == "X")
    compressed = len(gzip.compress(data))
    return {"events": events, "gzip_bytes": compressed, "gzip_bytes_per_call": compressed / max(events, 1)}


def resave(database, directory, batch=16):
    with sqlite3.connect(f"file:{database}?mode=ro", uri=True) as connection:
        ids = [trace_id for (trace_id,) in connection.execute("SELECT trace_id FROM traces ORDER BY id")]
        held, records, _ = connection.execute("SELECT sum(stored_bytes), sum(record_count), count(*) FROM traces").fetchone()
    documents = [(trace_id, document) for trace_id in dict.fromkeys(ids)
                 for document in store.load_trace_documents(database, trace_id)]
    db_path = os.path.join(directory, "resaved.sqlite3")
    started = time.process_time()
    for start in range(0, len(documents), batch):
        store.save_traces_in_sqlite(db_path, documents[start:start + batch], timeout=30)
    saved = time.process_time() - started
    stored, stored_records, rows = stored_columns(db_path)
    return {"documents": rows, "records": stored_records, "document_bytes": sum(len(document) for _, document in documents),
            "held_bytes_per_record": held / records, "stored_bytes_per_record": stored / stored_records,
            "save_cpu_s": saved}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workloads", help="comma-separated names (default: all)")
    parser.add_argument("--database", help="re-save the documents of this trace database")
    args = parser.parse_args()
    try:
        import viztracer  # noqa: F401
        with_viztracer = True
    except ImportError:
        with_viztracer = False
    chosen = all_workloads()
    if args.workloads:
        chosen = {name: chosen[name] for name in args.workloads.split(",")}
    results = {"python": sys.version.split()[0], "workloads": {}}
    with tempfile.TemporaryDirectory() as directory:
        for name, run in chosen.items():
            entry = measure_workload(run, directory)
            line = (f"{name:10s} {entry['records']:7d} records  {entry['stored_bytes_per_record']:5.2f} B/record  "
                    f"{entry['stored_bytes_per_call']:5.2f} B/call  recording {entry['record_cpu_s']:.3f}s  "
                    f"save {entry['save_cpu_s']:.3f}s ({entry['save_share']:.0%})")
            if with_viztracer:
                entry["viztracer_args"] = measure_viztracer(run, directory, log_func_args=True, log_func_retval=True)
                entry["viztracer"] = measure_viztracer(run, directory)
                line += (f"  VizTracer gzip {entry['viztracer_args']['gzip_bytes_per_call']:.2f} B/call with "
                         f"arguments, {entry['viztracer']['gzip_bytes_per_call']:.2f} without")
            results["workloads"][name] = entry
            print(line, flush=True)
        if args.database:
            entry = results["database"] = resave(args.database, directory)
            print(f"{args.database}: {entry['documents']} documents, {entry['records']} records, "
                  f"{entry['held_bytes_per_record']:.2f} B/record as held, {entry['stored_bytes_per_record']:.2f} "
                  f"as stored now, save {entry['save_cpu_s']:.2f}s", flush=True)
    print(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()
