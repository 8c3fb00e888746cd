"""Time of the host serializer per value, for the values every traced event
hands it: the None of a call event, small locals, a method's locals with
`self`, a tuple, and a dict with int keys. Prints microseconds per call for
both modes.

    python bench/serialize_speed.py
"""
import timeit

from zelm.serialize import dump_msgpack, dump_msgpack_lightweight_repr


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
}


def main():
    for name, value in VALUES.items():
        times = []
        for dump in (dump_msgpack, dump_msgpack_lightweight_repr):
            runs = 200_000
            best = min(timeit.repeat(lambda: dump(value), number=runs, repeat=5))
            times.append(f"{best / runs * 1e6:6.2f} us")
        print(f"{name:18} full {times[0]}  lightweight {times[1]}")


if __name__ == "__main__":
    main()
