import logging
import threading

from shop.models import DiscountedOrder, Item, Order

log = logging.getLogger("shop")

STOCK = {"apple": 10, "pear": 4, "plum": 0}


def check_stock(names, results):
    for name in names:
        results[name] = STOCK.get(name, 0) > 0


def place_order(customer, wanted):
    results = {}
    checker = threading.Thread(target=check_stock, args=(list(wanted), results), name="stock-check")
    checker.start()
    checker.join()
    available = [name for name in wanted if results[name]]
    items = [Item(name, price) for name, price in wanted.items() if name in available]
    order_class = DiscountedOrder if len(items) > 1 else Order
    order = order_class.for_customer(customer, *items)
    log.info("order for %s: %d items", customer, len(items))
    return order


def invoice(order):
    if isinstance(order, DiscountedOrder):
        return {"customer": order.customer, "total": order.final_total()}
    return {"customer": order.customer, "total": order.total}
