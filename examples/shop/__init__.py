"""A tiny shop: orders, prices and a background stock check, to be profiled."""
