class Item:
    def __init__(self, name, price, quantity=1):
        self.name = name
        self.price = price
        self.quantity = quantity

    @property
    def subtotal(self):
        return self.price * self.quantity


class Order:
    def __init__(self, customer):
        self.customer = customer
        self.items = []

    def add(self, item):
        self.items.append(item)
        return len(self.items)

    @property
    def total(self):
        return sum(item.subtotal for item in self.items)

    @classmethod
    def for_customer(cls, customer, *items):
        order = cls(customer)
        for item in items:
            order.add(item)
        return order


class DiscountedOrder(Order):
    discount = 0.1

    def final_total(self):
        return round(self.total * (1 - self.discount), 2)
