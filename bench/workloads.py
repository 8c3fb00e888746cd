"""The programs the event-cost benchmark traces.

Each workload is a function of no arguments. Its Python call and return
events are counted once, untimed (`count_events`), and every configuration
of the benchmark divides its extra time by that count.
"""
import dataclasses
import json
import logging
import re
import sys
import threading


# ---- recursive: one small function calling itself --------------------------

def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def recursive():
    return fib(22)


# ---- realistic: small classes and methods with 2-4 arguments and a few locals

class Item:
    def __init__(self, name, price, quantity):
        self.name = name
        self.price = price
        self.quantity = quantity

    def total(self, discount, tax):
        subtotal = self.price * self.quantity
        reduced = subtotal - subtotal * discount
        return round(reduced * (1 + tax), 2)


class Cart:
    def __init__(self, owner, currency):
        self.owner = owner
        self.currency = currency
        self.items = []

    def add(self, name, price, quantity):
        item = Item(name, price, quantity)
        self.items.append(item)
        return len(self.items)

    def total(self, discount, tax, rounding):
        total = 0.0
        for item in self.items:
            total += item.total(discount, tax)
        return round(total, rounding)


# 8 calls per order (Cart.__init__, 2 x Cart.add and Item.__init__,
# Cart.total, 2 x Item.total) and the call of realistic(): 172,002 events.
REALISTIC_ORDERS = 10_750


def realistic(orders=REALISTIC_ORDERS):
    grand_total = 0.0
    for number in range(orders):
        cart = Cart(f"customer-{number % 97}", "EUR")
        cart.add("apple", 0.5, number % 5 + 1)
        cart.add("pear", 0.75, 2)
        grand_total += cart.total(0.1, 0.2, 2)
    return grand_total


# ---- library: most frames are in json, re and dataclasses (filtered out) ----

@dataclasses.dataclass
class Point:
    x: int
    y: int
    label: str


_WORDS = re.compile(r"[a-z]+")


def _library_round(number):
    point = Point(number, number * 2, f"p{number}")
    text = json.dumps(dataclasses.asdict(point))
    loaded = json.loads(text)
    moved = dataclasses.replace(point, x=loaded["y"])
    return len(_WORDS.findall(text)) + moved.x + len(re.sub(r"\d", "#", text))


def library(rounds=2_000):
    return sum(_library_round(number) for number in range(rounds))


# ---- logging: every call goes through the log_messages plugin ----------------

_bench_logger = logging.getLogger("zelm.bench.workload")
_bench_logger.propagate = False
_bench_logger.setLevel(logging.INFO)
_bench_logger.addHandler(logging.NullHandler())


def _handle(number, kind):
    _bench_logger.info("request %d of kind %s", number, kind)
    return number * 2


def logging_calls(rounds=3_000):
    return sum(_handle(number, "get") for number in range(rounds))


# ---- threads: the realistic workload split over four threads -----------------

def threads(count=4):
    workers = [threading.Thread(target=realistic, args=(REALISTIC_ORDERS // 4,), name=f"worker-{index}")
               for index in range(count)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()


WORKLOADS = {
    "recursive": recursive,
    "realistic": realistic,
    "library": library,
    "logging": logging_calls,
    "threads": threads,
}


def count_events(workload):
    """The Python call and return events one run of `workload` produces, on
    every thread it starts (counted with a profile function of our own)."""
    counts = [0]
    lock = threading.Lock()

    def count(frame, event, arg):
        if event == "call" or event == "return":
            with lock:
                counts[0] += 1

    threading.setprofile(count)
    sys.setprofile(count)
    try:
        workload()
    finally:
        sys.setprofile(None)
        threading.setprofile(None)
    # The counter saw its own return from workload() and the call of
    # sys.setprofile is a C call: nothing else to take off.
    return counts[0]
