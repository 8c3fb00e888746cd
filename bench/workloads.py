"""The programs the event-cost benchmark traces, and the whole-run
benchmark runs as programs (bench/run_workload.py).

Each workload is a function of no arguments: a small realistic program
whose untraced run takes a few tens of milliseconds, so that its traced
runs take a few tenths of a second. Its Python call and return events are
counted once, untimed (`count_events`), and every configuration of the
benchmark divides its extra time by that count.
"""
import collections
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
    return fib(25)  # 242,785 calls


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


# ---- objects: dataclasses with properties, passed to and returned from methods

@dataclasses.dataclass
class Customer:
    name: str
    country: str
    loyalty_years: int

    @property
    def discount(self):
        return min(0.02 * self.loyalty_years, 0.1)


@dataclasses.dataclass
class OrderLine:
    sku: str
    unit_price: float
    quantity: int

    @property
    def subtotal(self):
        return self.unit_price * self.quantity


VAT_RATES = {"NO": 0.25, "SE": 0.25, "DE": 0.19, "FR": 0.2}


@dataclasses.dataclass
class Order:
    number: int
    customer: Customer
    lines: list = dataclasses.field(default_factory=list)

    def add(self, sku, unit_price, quantity):
        line = OrderLine(sku, unit_price, quantity)
        self.lines.append(line)
        return line

    @property
    def subtotal(self):
        total = 0.0
        for line in self.lines:
            total += line.subtotal
        return total

    @property
    def vat_rate(self):
        return VAT_RATES.get(self.customer.country, 0.2)

    def total(self):
        discounted = self.subtotal * (1 - self.customer.discount)
        return round(discounted * (1 + self.vat_rate), 2)


OBJECT_ORDERS = 5_000


def objects(orders=OBJECT_ORDERS):
    customers = [Customer(f"customer-{index}", country, index % 7)
                 for index, country in enumerate(["NO", "SE", "DE", "FR", "DK"] * 4)]
    revenue = collections.defaultdict(float)
    for number in range(orders):
        order = Order(number, customers[number % len(customers)])
        order.add("apple", 0.5, number % 5 + 1)
        order.add("pear", 0.75, 2)
        order.add("plum", 1.25, number % 3 + 1)
        revenue[order.customer.country] += order.total()
    return dict(revenue)


# ---- text: a word-frequency summary built from small helper functions --------

STOP_WORDS = frozenset(
    "a an and are as at be by for from has he in is it its of on or that the to was were will with this which"
    " their they them there".split()
)

PARAGRAPHS = [
    "The profiler records every call and return of the program. Each record holds the arguments, "
    "the return value and the time it was taken at. Records are kept in memory until the trace is built.",
    "Reading a trace starts with the list of threads. The viewer draws the calls of each thread as a tree, "
    "and searching finds the calls whose arguments or values match the words typed.",
    "Small helper functions are everywhere in text processing: they normalize words, drop the stop words, "
    "strip the endings and count what remains. Running them over many sentences is typical work.",
    "Traces of a test suite are stored one per test. Listing them shows which tests failed, how long they "
    "took and how many records they hold; opening one shows the calls that led to the failure.",
]

_SENTENCE_END = re.compile(r"(?<=[.!?])\s+")
_PUNCTUATION = ".,;:!?\"'()"
_SUFFIXES = ("ing", "ed", "ly", "es", "s")


def split_sentences(text):
    return [sentence for sentence in _SENTENCE_END.split(text) if sentence]


def normalize(word):
    return word.strip(_PUNCTUATION).lower()


def is_stop_word(word):
    return word in STOP_WORDS


def stem(word):
    for suffix in _SUFFIXES:
        if word.endswith(suffix) and len(word) > len(suffix) + 2:
            return word[:-len(suffix)]
    return word


def keywords(sentence):
    found = []
    for raw in sentence.split():
        word = normalize(raw)
        if word and not is_stop_word(word):
            found.append(stem(word))
    return found


def summarize(text, top):
    counts = collections.Counter()
    for sentence in split_sentences(text):
        counts.update(keywords(sentence))
    return counts.most_common(top)


def title_of(summary):
    return " ".join(word.capitalize() for word, _ in summary[:3])


TEXT_DOCUMENTS = 800


def text(documents=TEXT_DOCUMENTS):
    titles = []
    for number in range(documents):
        body = PARAGRAPHS[number % len(PARAGRAPHS)] + " " + PARAGRAPHS[(number + 1) % len(PARAGRAPHS)]
        titles.append(title_of(summarize(body, 5)))
    return len(set(titles))


# ---- parser: a recursive-descent parser and evaluator of arithmetic ---------

_TOKEN = re.compile(r"\s*(?:(\d+(?:\.\d*)?)|([A-Za-z_]\w*)|(\S))")


def tokenize(source):
    tokens = []
    for number, name, symbol in _TOKEN.findall(source):
        if number:
            tokens.append(("number", float(number) if "." in number else int(number)))
        elif name:
            tokens.append(("name", name))
        else:
            tokens.append(("symbol", symbol))
    tokens.append(("end", None))
    return tokens


class ParseError(Exception):
    pass


class Parser:
    """expression := term (("+" | "-") term)*; term := factor (("*" | "/") factor)*;
    factor := "-" factor | primary; primary := number | name | name "(" arguments ")" | "(" expression ")"."""

    def __init__(self, source):
        self.tokens = tokenize(source)
        self.position = 0

    def peek(self):
        return self.tokens[self.position]

    def advance(self):
        token = self.tokens[self.position]
        self.position += 1
        return token

    def expect(self, symbol):
        kind, value = self.advance()
        if kind != "symbol" or value != symbol:
            raise ParseError(f"expected {symbol!r}, found {value!r}")

    def parse(self):
        tree = self.expression()
        if self.peek()[0] != "end":
            raise ParseError(f"unexpected {self.peek()[1]!r}")
        return tree

    def expression(self):
        tree = self.term()
        while self.peek() in (("symbol", "+"), ("symbol", "-")):
            operator = self.advance()[1]
            tree = (operator, tree, self.term())
        return tree

    def term(self):
        tree = self.factor()
        while self.peek() in (("symbol", "*"), ("symbol", "/")):
            operator = self.advance()[1]
            tree = (operator, tree, self.factor())
        return tree

    def factor(self):
        if self.peek() == ("symbol", "-"):
            self.advance()
            return ("neg", self.factor())
        return self.primary()

    def primary(self):
        kind, value = self.advance()
        if kind == "number":
            return ("number", value)
        if kind == "name":
            if self.peek() == ("symbol", "("):
                return ("call", value, self.arguments())
            return ("name", value)
        if (kind, value) == ("symbol", "("):
            tree = self.expression()
            self.expect(")")
            return tree
        raise ParseError(f"unexpected {value!r}")

    def arguments(self):
        self.expect("(")
        found = [self.expression()]
        while self.peek() == ("symbol", ","):
            self.advance()
            found.append(self.expression())
        self.expect(")")
        return found


FUNCTIONS = {"min": min, "max": max, "abs": abs, "round": round}


def evaluate(tree, variables):
    kind = tree[0]
    if kind == "number":
        return tree[1]
    if kind == "name":
        return variables[tree[1]]
    if kind == "neg":
        return -evaluate(tree[1], variables)
    if kind == "call":
        return FUNCTIONS[tree[1]](*[evaluate(argument, variables) for argument in tree[2]])
    left, right = evaluate(tree[1], variables), evaluate(tree[2], variables)
    if kind == "+":
        return left + right
    if kind == "-":
        return left - right
    if kind == "*":
        return left * right
    return left / right


FORMULAS = [
    "price * quantity - discount",
    "(price + shipping) * (1 + tax) - min(discount, price / 2)",
    "max(price * quantity, 10) + -shipping * 2",
    "round((price - discount) * quantity * (1 + tax), 2)",
    "abs(price - 12.5) / (quantity + 1) + tax * 100",
]

PARSER_ROUNDS = 600


def parser(rounds=PARSER_ROUNDS):
    total = 0.0
    for number in range(rounds):
        variables = {"price": 10.0 + number % 9, "quantity": number % 4 + 1, "discount": 1.5,
                     "shipping": 4.95, "tax": 0.2}
        for formula in FORMULAS:
            total += evaluate(Parser(formula).parse(), variables)
    return total


# ---- big_locals: functions whose arguments and locals are dicts of 1,000 items

CATALOG_SIZE = 1_000


def load_prices(shift):
    """Price in cents of every item of the catalog."""
    return {f"sku-{index:04d}": 100 + (index * 7 + shift) % 100 * 25 for index in range(CATALOG_SIZE)}


def load_stock(shift):
    return {f"sku-{index:04d}": (index + shift) % 13 for index in range(CATALOG_SIZE)}


def apply_discount(prices, percent):
    return {sku: price * (100 - percent) // 100 for sku, price in prices.items()}


def stock_value(prices, stock):
    value = 0
    for sku, count in stock.items():
        value += prices[sku] * count
    return value


def reorder_quantity(stock, prices, sku):
    # Cheap items are ordered by the dozen.
    return 12 if prices[sku] < 500 else max(1, 4 - stock[sku])


def reorders(stock, prices, threshold, limit):
    """The cheapest `limit` items whose stock is under `threshold`, with
    the quantity to order of each."""
    short = sorted([(prices[sku], sku) for sku, count in stock.items() if count < threshold])
    wanted = {}
    for _, sku in short[:limit]:
        wanted[sku] = reorder_quantity(stock, prices, sku)
    return wanted


BIG_LOCALS_DAYS = 40


def big_locals(days=BIG_LOCALS_DAYS):
    total = 0
    ordered = 0
    for day in range(days):
        prices = apply_discount(load_prices(day), 10 if day % 7 == 5 else 0)
        stock = load_stock(day)
        total += stock_value(prices, stock)
        ordered += sum(reorders(stock, prices, 1, 8).values())
    return total, ordered


WORKLOADS = {
    "recursive": recursive,
    "realistic": realistic,
    "library": library,
    "logging": logging_calls,
    "threads": threads,
    "objects": objects,
    "text": text,
    "parser": parser,
    "big_locals": big_locals,
    # The realistic workload again, timed with the trace's collection after it
    # (see TIMED_WITH_COLLECTION).
    "realistic_collected": realistic,
}

# Workloads whose timing includes collecting what was recorded into one
# document, as a program that keeps its trace must: zelm's build_trace,
# VizTracer's parse.
TIMED_WITH_COLLECTION = frozenset({"realistic_collected"})


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
