"""Profile the shipped example program, store its trace and summarise it."""
import os
import runpy
import sys

import msgpack

import zelm
from zelm import db

HERE = os.path.dirname(os.path.abspath(__file__))


def call_tree_lines(records, limit):
    depth = 0
    lines = []
    for record in records:
        if record.get("type") != "frame":
            lines.append("  " * depth + f"[{record.get('type')}]")
        elif record["event"] == "call":
            lines.append("  " * depth + f"{record['qualname'] or record['co_name']}  ({record['path']})")
            depth += 1
        else:
            depth = max(depth - 1, 0)
        if len(lines) >= limit:
            break
    return lines


def main():
    db_path = os.path.join(".zelm", "traces.sqlite3")
    profiler = zelm.Profiler(db_path=db_path, source="examples/shop_app.py")
    sys.argv = [os.path.join(HERE, "shop_app.py")]
    with profiler:
        runpy.run_path(sys.argv[0], run_name="__main__")
    profiler.save()

    document = msgpack.unpackb(db.load_trace(db_path, profiler.trace_id), strict_map_key=False)
    print(f"\ntrace {document['trace_id']} saved in {db_path}")
    print(f"  main thread: {len(document['frames_of_interest'])} records")
    for thread_id, records in document["frames"].items():
        print(f"  thread {thread_id}: {len(records)} records")
    print("call tree (first lines):")
    for line in call_tree_lines(document["frames_of_interest"], 15):
        print("  " + line)


if __name__ == "__main__":
    main()
