"""Time of the host serializer per value, for the values every traced event
hands it: the None of a call event, small locals, a method's locals with
`self`, a tuple, a dict with int keys, and locals too long to keep whole.
Prints nanoseconds per call of the native encoders (zelm._serialize, what
zelm.serialize.dump_msgpack is when it is built) next to the Python reference
implementation, in both modes, and how many times faster the native one is.

    python bench/serialize_speed.py [--runs N]
"""
import argparse
import timeit

from zelm import serialize


class Item:
    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return f"Item({self.name!r})"


VALUES = {
    "None": None,
    "small locals": {"n": 5, "name": "abc", "ratio": 0.5, "flag": False, "nothing": None},
    "locals with self": {"self": Item("apple"), "count": 3},
    "tuple": (1, "two", 3.0),
    "list": [1, "two", 3.0],
    "int-keyed dict": {1: "a", 2: "b", 3: "c"},
    "long locals": {"rows": list(range(300)), "text": "x" * 5000, "table": {f"k{n}": n for n in range(20)}},
}

MODES = {
    "full": (serialize.dump_msgpack, serialize.reference_dump_msgpack),
    "lightweight": (serialize.dump_msgpack_lightweight_repr, serialize.reference_dump_msgpack_lightweight_repr),
}


def nanoseconds_per_call(dump, value, runs):
    return min(timeit.repeat(lambda: dump(value), number=runs, repeat=5)) / runs * 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=100_000, help="calls per timing (the best of 5 is kept)")
    args = parser.parse_args()
    if serialize.dump_msgpack is serialize.reference_dump_msgpack:
        print("zelm._serialize is not built: both columns time the Python reference")
    print(f"{'':18} {'mode':12} {'native ns':>10} {'Python ns':>10} {'speed-up':>9}")
    for name, value in VALUES.items():
        for mode, (native, reference) in MODES.items():
            assert native(value) == reference(value), (name, mode)
            native_ns = nanoseconds_per_call(native, value, args.runs)
            reference_ns = nanoseconds_per_call(reference, value, args.runs)
            print(f"{name:18} {mode:12} {native_ns:10.0f} {reference_ns:10.0f} {reference_ns / native_ns:8.1f}x")


if __name__ == "__main__":
    main()
