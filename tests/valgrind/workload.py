"""A short threaded workload for valgrind's memcheck (see the Makefile's
valgrind target): threads recording calls and ending, one leaving a call on
its stack, a plugin record, builds on another thread, unregistration and
the profiler's release; and at the end, exit while daemon threads are
inside the hook, which the interpreter stops by unwinding them."""
import gc
import logging
import sys
import threading
import time

from zelm import _zelm


class Host:
    def __init__(self):
        self.config = {"threading": True}
        self.db_path = "unused.sqlite3"
        self.one_trace_per_test = False
        self.trace_id = "trc_01KC0000000000000000000000"
        self.source = "valgrind"

    def __call__(self):
        pass


class Item:
    def __init__(self, name):
        self.name = name

    @property
    def label(self):
        return self.name.upper()


def work(count):
    items = [Item(str(i)) for i in range(count)]
    return [item.label for item in items]


def leaves_a_call():
    payload = work(3)  # noqa: F841 (kept by the frame left on the stack)
    sys.setprofile(None)


def main():
    logging.getLogger("workload").addHandler(logging.NullHandler())
    host = Host()
    _zelm.register_profiler(host)
    profiler = host.rust_profiler
    documents = []
    builder = threading.Thread(target=lambda: [documents.append(profiler.build_trace()) for _ in range(5)])
    builder.start()
    for _ in range(3):
        threads = [threading.Thread(target=work, args=(20,)) for _ in range(4)]
        threads.append(threading.Thread(target=leaves_a_call))
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        logging.getLogger("workload").warning("round done")
    builder.join()
    _zelm.register_noop_profiler()
    threading.setprofile(None)
    documents.append(profiler.build_trace())
    del host, profiler
    gc.collect()
    print(f"{len(documents)} documents, {sum(map(len, documents))} bytes")

    _zelm.register_profiler(Host())
    for _ in range(2):
        threading.Thread(target=lambda: [work(5) for _ in iter(int, 1)], daemon=True).start()
    time.sleep(1)


if __name__ == "__main__":
    main()
