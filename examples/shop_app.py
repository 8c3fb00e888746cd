"""Example program for zelm: places two orders and prints their invoices."""
import logging
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from shop.services import invoice, place_order  # noqa: E402


def main():
    logging.basicConfig(level=logging.INFO, format="%(levelname)s %(name)s: %(message)s")
    orders = [
        place_order("ada", {"apple": 0.5, "pear": 0.75, "plum": 1.2}),
        place_order("bob", {"plum": 1.2, "apple": 0.5}),
    ]
    for order in orders:
        print(invoice(order))


if __name__ == "__main__":
    main()
