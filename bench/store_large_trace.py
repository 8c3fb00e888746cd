"""Stores a trace document larger than 2 GiB and reads it back.

The document is a real trace document whose records carry incompressible
bytes, so that its compressed form is split into many chunks. It is built
in one buffer, saved, hashed and dropped; then it is loaded and hashed
again. Prints the sizes, the times and the peak resident memory, and exits
1 if the loaded document differs.

    .venv-3.11/bin/python bench/store_large_trace.py [--gib 2.1] [--db PATH]
"""

import argparse
import hashlib
import os
import resource
import sys
import tempfile
import time

import msgpack

from zelm import store

RECORD_NOISE_BYTES = 8 * 1024 * 1024


def build_document(total_bytes):
    """A trace document of about ``total_bytes``, in one bytearray."""
    block = os.urandom(RECORD_NOISE_BYTES)
    count = total_bytes // RECORD_NOISE_BYTES + 1
    document = bytearray()
    document += b"\x85"  # a map of 5 entries
    document += msgpack.packb("trace_id") + msgpack.packb("trc_01M9LARGE0000000000000000")
    document += msgpack.packb("timestamp") + msgpack.packb(time.time())
    document += msgpack.packb("meta") + msgpack.packb({"source": "bench/store_large_trace.py"})
    document += msgpack.packb("frames") + msgpack.packb({})
    document += msgpack.packb("frames_of_interest") + b"\xdd" + count.to_bytes(4, "big")
    for number in range(count):
        # Every record differs from the one before by a rotation of the
        # noise, further than the compressor looks back.
        shift = (number * 1_000_003) % RECORD_NOISE_BYTES
        noise = block[shift:] + block[:shift]
        document += msgpack.packb({"type": "frame", "number": number, "noise": noise})
    return document, count


def peak_rss_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gib", type=float, default=2.1, help="document size in GiB (default 2.1)")
    parser.add_argument("--db", help="the database to write (default: a temporary file)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as directory:
        db_path = args.db or os.path.join(directory, "large.sqlite3")
        started = time.perf_counter()
        document, count = build_document(int(args.gib * 1024**3))
        size = len(document)
        digest = hashlib.sha256(document).hexdigest()
        built = time.perf_counter()
        print(f"built a document of {size / 1024**3:.2f} GiB ({count} records) in {built - started:.1f} s, "
              f"peak {peak_rss_mib():.0f} MiB")

        store.save_trace_in_sqlite(db_path, "trc_large", timeout=60, msgpack=document)
        saved = time.perf_counter()
        del document
        stored_bytes = os.path.getsize(db_path)
        print(f"saved in {saved - built:.1f} s: {stored_bytes / 1024**3:.2f} GiB on disk, peak {peak_rss_mib():.0f} MiB")

        (listed,) = store.list_traces(db_path)
        loaded = store.load_trace(db_path, "trc_large")
        read = time.perf_counter()
        same = len(loaded) == size and hashlib.sha256(loaded).hexdigest() == digest
        print(f"listed ({listed.record_count} records) and read back in {read - saved:.1f} s, "
              f"peak {peak_rss_mib():.0f} MiB: {'identical' if same else 'DIFFERENT'}")
    if not same or listed.record_count != count:
        sys.exit(1)


if __name__ == "__main__":
    main()
