"""The viewer end to end in a real headless browser (Debian's chromium and
chromedriver, driven by selenium): one server and one browser for the
module, on the shipped example's trace and on a trace made of markup."""

import json
import os
import shutil

import pytest

from conftest import record_example, record_failing_test, running_viewer
from test_trace_reader import call, document, plugin, ret
from test_view_api import HOSTILE, cut_document, get, heaviest_path_document, hostile_document, save
from zelm import store
from zelm.serialize import values

# `make test` sets this: there the browser tests run or fail, never skip.
REQUIRED = bool(os.environ.get("ZELM_REQUIRE_BROWSER"))

if REQUIRED:
    from selenium import webdriver
else:
    webdriver = pytest.importorskip("selenium.webdriver")
from selenium.common.exceptions import StaleElementReferenceException  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")
pytestmark = pytest.mark.skipif(
    not REQUIRED and not (CHROMIUM and CHROMEDRIVER),
    reason="needs Debian's chromium and chromium-driver (make deps installs them)")

# Where the screenshots go; the README's are made with this set to docs.
SCREENSHOTS = os.environ.get("ZELM_VIEW_SCREENSHOTS")


@pytest.fixture(scope="module")
def viewer(tmp_path_factory):
    db_path = tmp_path_factory.mktemp("view") / "traces.sqlite3"
    example = record_example(db_path)
    hostile = save(db_path, hostile_document())
    with running_viewer(db_path) as server:
        server.ids = {"example": example, "hostile": hostile}
        yield server


# Locals as the reader gives them, each shown as Python prints it.
VALUES_SHOWN = {
    "text": "<b>", "bee": values.Repr("<b>"), "pair": (1, "a"), "single": (None,),
    "keyed": values.ObjectKeyDict({1: "x", (2, 3): values.Repr("<b>")}), "marker_like": {"$repr": "text"},
}


@pytest.fixture(scope="module")
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                     "--window-size=1400,900", "--no-first-run", "--disable-extensions"):
        options.add_argument(argument)
    # The browser is no part of the code under test: keep the sanitizer
    # runtime that the sanitized test run preloads out of it.
    env = {key: value for key, value in os.environ.items() if key not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    service = webdriver.ChromeService(executable_path=CHROMEDRIVER, env=env)
    driver = webdriver.Chrome(service=service, options=options)
    driver.set_page_load_timeout(60)
    try:
        yield driver
    finally:
        driver.quit()


def wait(browser, condition, timeout=20):
    """Wait for condition() to hold; elements the page replaced meanwhile
    only mean asking again."""
    return WebDriverWait(browser, timeout, ignored_exceptions=(StaleElementReferenceException,)).until(
        lambda _: condition())


def open_trace(browser, viewer, key, address=None):
    """Load the trace page afresh at ``address`` (default: the trace named
    ``key``) and wait until it has opened on a call and shows its details."""
    browser.get(address or f"{viewer.url}#trace={viewer.ids[key]}")
    browser.refresh()  # a new page even when only the fragment changed
    wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "#tree .row.selected"))
    wait(browser, lambda: browser.execute_script(
        "return document.getElementById('details').dataset.node === String(state.selected)"))


def row(browser, name):
    """The tree row of the first shown node of that name."""
    for element in browser.find_elements(By.CSS_SELECTOR, "#tree .row"):
        if element.find_element(By.CSS_SELECTOR, ".name").text == name:
            return element
    return None


def details_text(browser, selector):
    return browser.find_element(By.CSS_SELECTOR, "#details " + selector).text


def expand_row(browser, name):
    """Open the shown row of that name, unless it is open already."""
    toggle = row(browser, name).find_element(By.CSS_SELECTOR, ".toggle")
    if toggle.text == "\u25b8":
        toggle.click()


def is_open(element):
    return element.find_element(By.CSS_SELECTOR, ".toggle").text == "\u25be"


def test_trace_list_links_each_trace(browser, viewer):
    browser.get(viewer.url)
    wait(browser, lambda: len(browser.find_elements(By.CSS_SELECTOR, "#traces tbody tr")) == 2)
    rows = browser.find_elements(By.CSS_SELECTOR, "#traces tbody tr")
    assert [r.find_element(By.TAG_NAME, "a").text for r in rows] == [viewer.ids["hostile"], viewer.ids["example"]]
    # Its threads, from the store's summary.
    assert rows[1].find_element(By.CSS_SELECTOR, "td.list-threads").text == "3"
    browser.find_element(By.ID, "filter").send_keys("shop_app")
    assert [r.is_displayed() for r in rows] == [False, True]
    rows[1].find_element(By.TAG_NAME, "a").click()
    wait(browser, lambda: row(browser, "__main__.<module>"))


def test_expand_a_call_and_see_its_details(browser, viewer):
    open_trace(browser, viewer, "example")
    expand_row(browser, "__main__.<module>")
    wait(browser, lambda: row(browser, "__main__.main"))
    expand_row(browser, "__main__.main")
    wait(browser, lambda: row(browser, "shop.services.place_order"))
    place_order = row(browser, "shop.services.place_order")
    assert "customer='ada'" in place_order.text
    place_order.click()
    # The page opened on another call, whose details may still be showing.
    wait(browser, lambda: browser.execute_script(
        "return document.getElementById('details').dataset.node === arguments[0]",
        place_order.get_attribute("data-id")))
    wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "#details .arguments"))
    assert details_text(browser, "h2") == "shop.services.place_order"
    assert "customer\n'ada'" in details_text(browser, ".arguments").replace(" ", "\n")
    assert details_text(browser, ".return-value").startswith("<shop.models.DiscountedOrder object at")
    wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "#details .source .current"))
    assert details_text(browser, ".source .current").endswith("def place_order(customer, wanted):")


def test_keyboard_moves_through_the_tree(browser, viewer):
    # Opened on the module's call (node 0) by a link: nothing else is open.
    open_trace(browser, viewer, "example", f"{viewer.url}#trace={viewer.ids['example']}&node=0")
    tree = browser.find_element(By.ID, "tree")
    row(browser, "__main__.<module>").click()
    tree.send_keys(Keys.ARROW_RIGHT)  # expands
    wait(browser, lambda: row(browser, "__main__.main"))
    tree.send_keys(Keys.ARROW_DOWN)
    wait(browser, lambda: details_text(browser, "h2") == "shop.<module>")
    tree.send_keys(Keys.ARROW_DOWN, Keys.ARROW_DOWN)
    wait(browser, lambda: details_text(browser, "h2") == "__main__.main")
    tree.send_keys(Keys.ENTER)
    wait(browser, lambda: row(browser, "shop.services.place_order"))
    tree.send_keys(Keys.ARROW_LEFT, Keys.ARROW_LEFT)  # collapses, then goes to the parent
    wait(browser, lambda: details_text(browser, "h2") == "__main__.<module>")


def test_search_steps_through_matches_and_the_call_site_selects_the_caller(browser, viewer):
    open_trace(browser, viewer, "example")
    search = browser.find_element(By.ID, "search")
    search.send_keys("Order.add", Keys.ENTER)
    wait(browser, lambda: browser.find_element(By.ID, "search-status").text == "1 of 3")
    wait(browser, lambda: details_text(browser, "h2") == "shop.models.Order.add")
    first = browser.execute_script("return state.selected")
    browser.find_element(By.ID, "search-next").click()
    wait(browser, lambda: browser.find_element(By.ID, "search-status").text == "2 of 3")
    wait(browser, lambda: browser.execute_script("return state.selected") > first)
    browser.find_element(By.ID, "search-previous").click()
    wait(browser, lambda: browser.find_element(By.ID, "search-status").text == "1 of 3")
    wait(browser, lambda: browser.execute_script("return state.selected") == first)

    browser.find_element(By.CSS_SELECTOR, "#details a.call-site").click()
    wait(browser, lambda: details_text(browser, "h2") == "shop.models.Order.for_customer")
    assert browser.find_element(By.CSS_SELECTOR, "#tree .row.selected .name").text == "shop.models.Order.for_customer"


def test_thread_filter_narrows_tree_timeline_and_search(browser, viewer):
    open_trace(browser, viewer, "example")
    select = browser.find_element(By.ID, "thread-filter")
    select.find_elements(By.TAG_NAME, "option")[2].click()  # the first stock-check thread
    wait(browser, lambda: [head.text for head in browser.find_elements(By.CSS_SELECTOR, "#tree .thread-head")]
         and all(head.text.startswith("thread stock-check")
                 for head in browser.find_elements(By.CSS_SELECTOR, "#tree .thread-head")))
    assert len(browser.find_elements(By.CSS_SELECTOR, "#tree .thread-head")) == 1
    assert browser.execute_script("return state.lanes.map(lane => lane.thread.number)") == [1]
    browser.find_element(By.ID, "search").send_keys("place_order", Keys.ENTER)
    wait(browser, lambda: browser.find_element(By.ID, "search-status").text == "no match")


def test_timeline_draws_zooms_and_selects(browser, viewer):
    open_trace(browser, viewer, "example")
    wait(browser, lambda: browser.execute_script("return state.lanes.every(lane => lane.reply)"))
    assert browser.execute_script("return state.lanes.length") == 3
    canvas = browser.find_element(By.ID, "timeline")
    before = browser.execute_script("return state.view.finish - state.view.begin")
    browser.execute_script(
        "arguments[0].dispatchEvent(new WheelEvent('wheel', {deltaY: -500, clientX: 300, clientY: 40, bubbles: true}))",
        canvas)
    wait(browser, lambda: browser.execute_script("return state.view.finish - state.view.begin") < before / 2)
    # A click on the top box selects the module call.
    row(browser, "__main__.main").click()
    wait(browser, lambda: details_text(browser, "h2") == "__main__.main")
    browser.execute_script("state.view = {begin: 0, finish: state.summary.duration}; drawTimeline()")
    box = browser.execute_script("return state.lanes[0].reply.boxes.find(box => box[1] === 0)")
    x = browser.execute_script("return toX(arguments[0] + arguments[1] / 2, canvasWidth())", box[2], box[3])
    RULER = browser.execute_script("return RULER")  # the time ruler above the lanes
    webdriver.ActionChains(browser).move_to_element_with_offset(
        canvas, int(x - canvas.size["width"] / 2), int(RULER + 16 + 8 - canvas.size["height"] / 2)).click().perform()
    wait(browser, lambda: details_text(browser, "h2") == "__main__.<module>")


def test_markup_in_a_trace_shows_as_text(browser, viewer):
    open_trace(browser, viewer, "hostile")
    first = browser.find_element(By.CSS_SELECTOR, "#tree .row")
    assert first.find_element(By.CSS_SELECTOR, ".name").text == "app." + HOSTILE[1]
    first.find_element(By.CSS_SELECTOR, ".toggle").click()
    wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "#tree .row.plugin"))
    plugin_row = browser.find_element(By.CSS_SELECTOR, "#tree .row.plugin")
    assert HOSTILE[0] in plugin_row.text and HOSTILE[1] in plugin_row.text
    first.click()
    wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "#details .arguments"))
    assert HOSTILE[0] in details_text(browser, ".arguments")
    assert HOSTILE[2] in details_text(browser, ".return-value")
    # No markup of the trace became an element, and none of its scripts ran.
    assert browser.find_elements(By.CSS_SELECTOR, "#tree img, #details img, #tree script, #details script") == []
    assert browser.execute_script("return window.__xss") is None


def test_details_print_strings_reprs_tuples_and_odd_keys_as_python_does(browser, tmp_path):
    db_path, trace_id = tmp_path / "traces.sqlite3", "trc_01HZX3Q5R8W6N2K9F4T7B1VA1S"
    store.save_trace_in_sqlite(db_path, trace_id, timeout=5, msgpack=values.packb(document([
        call("take", "f1", 1.0, locals_=VALUES_SHOWN),
        ret("take", "f1", 2.0, arg=(values.Repr("<b>"), "<b>")),
    ], trace_id=trace_id)))
    with running_viewer(db_path) as viewer:
        viewer.ids = {"values": trace_id}
        open_trace(browser, viewer, "values")
        browser.find_element(By.CSS_SELECTOR, "#tree .row").click()
        wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "#details .arguments"))
        shown = [row.text for row in browser.find_elements(By.CSS_SELECTOR, "#details .arguments tr")]
        returned = details_text(browser, ".return-value")

    assert shown == ["text '<b>'", "bee <b>", "pair (1, 'a')", "single (None,)",
                     "keyed {1: 'x', (2, 3): <b>}", "marker_like {'$repr': 'text'}"]
    assert returned == "(<b>, '<b>')"


def test_exported_html_opens_from_disk(browser, viewer, tmp_path):
    from zelm.cli.main import main

    output = tmp_path / "hostile.html"
    assert main(["export", "--db", str(viewer.db_path), viewer.ids["hostile"], "--format", "html",
                 "-o", str(output)]) == 0
    browser.get(output.as_uri())
    wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "#tree .row"))
    first = browser.find_element(By.CSS_SELECTOR, "#tree .row")
    assert first.find_element(By.CSS_SELECTOR, ".name").text == "app." + HOSTILE[1]
    first.click()
    wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "#details .return-value"))
    assert HOSTILE[2] in details_text(browser, ".return-value")
    assert browser.execute_script("return window.__xss") is None


# ---- where the time went ----


def show_view(browser, name):
    browser.find_element(By.CSS_SELECTOR, f'#tabs [data-view="{name}"]').click()


def function_names(browser):
    return [tr.find_element(By.CSS_SELECTOR, ".qualname").text
            for tr in browser.find_elements(By.CSS_SELECTOR, "#function-table tbody tr")]


def selected_name(browser):
    selected = browser.find_elements(By.CSS_SELECTOR, "#tree .row.selected .name")
    return selected[0].text if selected else None


def open_listed_call(browser, box, position):
    """Click the call at ``position`` of a list of calls; its node id once
    the tree has selected it."""
    call = browser.find_elements(By.CSS_SELECTOR, f"#{box} .row")[position]
    node_id = int(call.get_attribute("data-id"))
    call.click()
    wait(browser, lambda: browser.execute_script("return state.selected") == node_id)
    assert browser.find_element(By.ID, "tree").is_displayed()
    # The timeline's window holds the call.
    assert browser.execute_script(
        "const entry = state.nodes.get(state.selected).row;"
        "return state.view.begin <= entry.start && entry.start + entry.duration <= state.view.finish")
    return node_id


def test_self_time_shows_on_rows_and_in_details(browser, recursive_viewer):
    open_trace(browser, recursive_viewer, "recursive")
    browser.find_element(By.ID, "search").send_keys("slow_leaf", Keys.ENTER)
    wait(browser, lambda: selected_name(browser) == "__main__.slow_leaf")
    row = browser.find_element(By.CSS_SELECTOR, "#tree .row.selected")
    duration = row.find_element(By.CSS_SELECTOR, ".duration").text
    # A leaf's own time is all of its time.
    assert row.find_element(By.CSS_SELECTOR, ".self").text == "self " + duration
    wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "#details .self-time"))
    assert details_text(browser, ".self-time") == duration


def test_function_table_sorts_and_opens_a_call_in_the_tree(browser, recursive_viewer):
    open_trace(browser, recursive_viewer, "recursive")
    show_view(browser, "functions")
    wait(browser, lambda: function_names(browser))
    assert function_names(browser)[:2] == ["__main__.<module>", "__main__.main"]  # the longest total first

    def sort_by(key):
        browser.find_element(By.CSS_SELECTOR, f'#function-table th[data-key="{key}"]').click()
        return function_names(browser)

    assert sort_by("self")[0] == "__main__.slow_leaf"
    assert sort_by("calls")[0] == "__main__.fib"
    first = browser.find_element(By.CSS_SELECTOR, "#function-table tbody tr")
    assert first.find_element(By.CSS_SELECTOR, ".calls").text == "34"
    assert sort_by("calls")[-1] == "__main__.fib"  # the same header again: the other way round
    names = sort_by("qualname")
    assert names == sorted(names) and len(names) == 4

    first = browser.find_elements(By.CSS_SELECTOR, "#function-table tbody tr")[names.index("__main__.fib")]
    first.click()
    wait(browser, lambda: len(browser.find_elements(By.CSS_SELECTOR, "#function-calls .row")) == 34)
    assert browser.find_element(By.CSS_SELECTOR, "#function-calls h3").text == "34 calls of __main__.fib"
    open_listed_call(browser, "function-calls", 5)
    assert selected_name(browser) == "__main__.fib"
    wait(browser, lambda: details_text(browser, "h2") == "__main__.fib")


def flame_box(browser, depth, qualname=None):
    """(x, y, width) of the leftmost drawn flame graph box at ``depth`` (of
    that function when given)."""
    return browser.execute_script(
        "const box = flame.boxes.find(box => box.depth === arguments[0] &&"
        " (arguments[1] === null || box.node.qualname === arguments[1]));"
        "return box ? [box.x, box.y, box.w] : null", depth, qualname)


def point_at_flame_box(browser, box):
    """An action chain with the mouse over the middle of ``box``."""
    canvas = browser.find_element(By.ID, "flame")
    x, y, width = box
    return webdriver.ActionChains(browser).move_to_element_with_offset(
        canvas, int(x + width / 2 - canvas.size["width"] / 2), int(y + 9 - canvas.size["height"] / 2))


def test_flame_graph_shows_the_heaviest_path_first_zooms_and_lists_calls(browser, recursive_viewer):
    open_trace(browser, recursive_viewer, "recursive")
    show_view(browser, "flame-view")
    wait(browser, lambda: flame_box(browser, 1))
    tip = browser.find_element(By.ID, "flame-tip")
    point_at_flame_box(browser, flame_box(browser, 1)).perform()
    wait(browser, lambda: tip.is_displayed())
    assert tip.text.split("\n")[0] == "__main__.<module>"
    # Under main, the slow leaf outweighs both fib trees: it comes first.
    point_at_flame_box(browser, flame_box(browser, 3)).perform()
    wait(browser, lambda: tip.text.split("\n")[0] == "__main__.slow_leaf")
    assert tip.text.split("\n")[2].endswith(", 1 call")

    # A click on a fib box widens it and lists the calls on its path.
    fib = flame_box(browser, 4, "__main__.fib")
    point_at_flame_box(browser, fib).click().perform()
    wait(browser, lambda: browser.execute_script("return flame.lanes[0].zoom.length") == 5)
    assert flame_box(browser, 4, "__main__.fib") == [0, fib[1], browser.execute_script("return flame.boxes[0].w")]
    wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "#flame-calls .row"))
    heading = browser.find_element(By.CSS_SELECTOR, "#flame-calls h3").text
    assert heading == "4 calls of __main__.<module> \u2192 __main__.main \u2192 __main__.fib \u2192 __main__.fib"
    node_id = open_listed_call(browser, "flame-calls", 0)
    assert selected_name(browser) == "__main__.fib"
    assert browser.execute_script("return state.nodes.get(arguments[0]).row.depth", node_id) == 3

    # Back to the whole graph.
    show_view(browser, "flame-view")
    browser.find_element(By.ID, "flame-reset").click()
    wait(browser, lambda: browser.execute_script("return flame.lanes[0].zoom.length") == 1)
    assert flame_box(browser, 4, "__main__.fib")[2] < browser.execute_script("return flame.boxes[0].w") / 2


def embedded_answer(browser, endpoint, params):
    """What the page's API answers from the data an exported file embeds."""
    return browser.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "api(arguments[0], arguments[1]).then(done, error => done({error: error.message}))", endpoint, params)


def test_exported_html_answers_as_the_server_does(browser, recursive_viewer, tmp_path):
    from zelm.cli.main import main

    trace_id = recursive_viewer.ids["recursive"]
    output = tmp_path / "recursive.html"
    assert main(["export", "--db", str(recursive_viewer.db_path), trace_id, "--format", "html", "-o", str(output)]) == 0
    browser.get(output.as_uri())
    wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "#tree .row"))

    def embedded(endpoint, params):
        return embedded_answer(browser, endpoint, params)

    graph = get(recursive_viewer, "flame", trace=trace_id, thread=0)
    module_box = graph["children"][0]
    main_box = module_box["children"][0]
    call_path = json.dumps([[box["qualname"], box["path"]] for box in (module_box, main_box, main_box["children"][1])])
    main_id = get(recursive_viewer, "search", trace=trace_id, q="__main__.main")["node"]["id"]
    for endpoint, params in [
        ("functions", {"thread": 0}), ("functions", {}), ("flame", {"thread": 0}),
        ("calls", {"thread": 0, "qualname": "__main__.fib", "path": module_box["path"]}),
        ("calls", {"qualname": "__main__.fib", "path": module_box["path"]}),
        ("calls", {"thread": 0, "call_path": call_path}),
        ("node", {"node": main_id}), ("children", {"node": main_id}),
    ]:
        assert embedded(endpoint, params) == get(recursive_viewer, endpoint, trace=trace_id, **params), endpoint


def test_exported_html_shows_each_calls_source_as_the_server_does(browser, recursive_viewer, tmp_path):
    from zelm.cli.main import main

    trace_id = recursive_viewer.ids["recursive"]
    output = tmp_path / "recursive.html"
    db_path = str(recursive_viewer.db_path)
    assert main(["export", "--db", db_path, trace_id, "--format", "html", "-o", str(output)]) == 0
    browser.get(output.as_uri())
    wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "#tree .row"))

    # Every call, the many calls of fib at one location among them.
    nodes = get(recursive_viewer, "summary", trace=trace_id)["nodes"]
    for node_id in range(nodes):
        assert embedded_answer(browser, "source", {"node": node_id}) == \
            get(recursive_viewer, "source", trace=trace_id, node=node_id), node_id
    fib = get(recursive_viewer, "search", trace=trace_id, q="__main__.fib", current=1)
    browser.get(f"{output.as_uri()}#trace={trace_id}&node={fib['node']['id']}")
    browser.refresh()
    wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "#details .source .current"))
    assert details_text(browser, "h2") == "__main__.fib"
    assert details_text(browser, ".source .current").endswith("def fib(n):")


# ---- failures, links to a call, where a trace opens ----


@pytest.fixture(scope="module")
def failures(tmp_path_factory):
    """A viewer on a failed test's trace (made by pytest --zelm), a trace
    whose longest path is known and a trace its budget cut."""
    directory = tmp_path_factory.mktemp("failing")
    db_path = directory / "traces.sqlite3"
    failed = record_failing_test(directory, db_path)
    heaviest, cut = save(db_path, heaviest_path_document()), save(db_path, cut_document())
    with running_viewer(db_path) as server:
        server.ids = {"failed": failed, "heaviest": heaviest, "cut": cut}
        server.directory = directory
        yield server


def colour_of(element):
    return element.value_of_css_property("color")


ERROR_RGB = "rgba(214, 39, 40, 1)"  # ERROR_COLOUR, #d62728


def test_a_failed_tests_trace_opens_on_the_call_that_raised_its_failure(browser, failures):
    open_trace(browser, failures, "failed")
    selected = browser.find_element(By.CSS_SELECTOR, "#tree .row.selected")
    # parse("two"), not parse("x") whose exception tolerant() caught.
    assert selected_name(browser).endswith("parse") and "text='two'" in selected.text
    assert selected.is_displayed()
    assert [is_open(row(browser, name)) for name in ("test_total.test_total", "test_total.total")] == [True, True]
    assert not is_open(row(browser, "test_total.tolerant"))


def test_raised_calls_and_the_failed_test_are_drawn_in_the_error_colour(browser, failures):
    open_trace(browser, failures, "failed")
    raised_row = browser.find_element(By.CSS_SELECTOR, "#tree .row.selected")
    returned_row = row(browser, "test_total.tolerant")
    end_test = [element for element in browser.find_elements(By.CSS_SELECTOR, "#tree .row.plugin")
                if "end test" in element.text]
    assert [colour_of(element.find_element(By.CSS_SELECTOR, ".name")) == ERROR_RGB
            for element in (raised_row, returned_row, *end_test)] == [True, False, True]
    assert colour_of(raised_row.find_element(By.CSS_SELECTOR, ".ret")) == ERROR_RGB
    wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "#details .raised"))
    assert colour_of(browser.find_element(By.CSS_SELECTOR, "#details h2")) == ERROR_RGB


def test_details_of_a_raised_call_show_the_line_that_raised(browser, failures, monkeypatch):
    monkeypatch.chdir(failures.directory)  # where pytest ran: the trace names its files relative to it
    open_trace(browser, failures, "failed")
    wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "#details .raised-at"))
    assert details_text(browser, ".raised").startswith("ValueError(\"invalid literal for int()")
    assert details_text(browser, ".raised-at p").endswith("test_total.py:2")
    assert details_text(browser, ".raised-at .source .current") == "2    return int(text)"


def test_an_ordinary_trace_opens_its_longest_path_on_its_top_call(browser, failures):
    open_trace(browser, failures, "heaviest")
    assert selected_name(browser) == "app.root"
    assert [is_open(row(browser, name)) for name in ("app.root", "app.a", "app.b", "app.d")] == \
        [True, False, True, True]
    assert row(browser, "app.e").is_displayed() and not row(browser, "app.a_child")


def test_arrow_right_expands_without_scrolling_the_tree_sideways(browser, viewer):
    open_trace(browser, viewer, "example", f"{viewer.url}#trace={viewer.ids['example']}&node=0")
    tree = browser.find_element(By.ID, "tree")
    browser.execute_script("arguments[0].style.maxWidth = '260px'", tree)  # its rows overflow it
    assert browser.execute_script("return arguments[0].scrollWidth > arguments[0].clientWidth", tree)
    assert not is_open(row(browser, "__main__.<module>"))
    tree.send_keys(Keys.ARROW_RIGHT)
    wait(browser, lambda: row(browser, "__main__.main"))
    assert browser.execute_script("return arguments[0].scrollLeft", tree) == 0


@pytest.mark.parametrize("page", ["served", "exported"])
def test_the_address_names_the_selected_call_and_opens_on_it(browser, viewer, tmp_path, page):
    from zelm.cli.main import main

    trace_id = viewer.ids["example"]
    browser.get(viewer.url)
    wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "#traces tbody a"))
    [link] = [a for a in browser.find_elements(By.CSS_SELECTOR, "#traces tbody a") if a.text == trace_id]
    link.click()
    wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "#tree .row.selected"))
    browser.find_element(By.ID, "search").send_keys("final_total", Keys.ENTER)
    wait(browser, lambda: details_text(browser, "h2") == "shop.models.DiscountedOrder.final_total")
    node = browser.execute_script("return state.selected")
    address = browser.execute_script("return location.hash")
    assert address == f"#trace={trace_id}&node={node}"
    browser.back()  # the selection replaced the address: Back leaves the trace
    wait(browser, lambda: browser.find_element(By.ID, "list-page").is_displayed())

    base = viewer.url
    if page == "exported":
        output = tmp_path / "example.html"
        assert main(["export", "--db", str(viewer.db_path), trace_id, "--format", "html", "-o", str(output)]) == 0
        base = output.as_uri()
    open_trace(browser, viewer, "example", base + address)
    assert selected_name(browser) == "shop.models.DiscountedOrder.final_total"
    assert browser.execute_script("return state.selected") == node
    wait(browser, lambda: details_text(browser, "h2") == "shop.models.DiscountedOrder.final_total")
    # The timeline's window holds the call.
    assert browser.execute_script(
        "const row = state.nodes.get(state.selected).row;"
        "return state.view.begin <= row.start && row.start + row.duration <= state.view.finish")


def test_a_cut_trace_says_so_in_a_banner(browser, failures):
    open_trace(browser, failures, "heaviest")
    assert not browser.find_element(By.ID, "cut-banner").is_displayed()
    open_trace(browser, failures, "cut")
    banner = browser.find_element(By.ID, "cut-banner")
    assert banner.is_displayed()
    assert "size budget of 1.0 MiB and dropped 1,234 events" in banner.text
    assert "from +1.500 s to +3.000 s in thread MainThread, the first in app.work (app.py:4)" in banner.text
    banner.find_element(By.TAG_NAME, "a").click()
    wait(browser, lambda: details_text(browser, "h2") == "trace_cut")



@pytest.fixture(scope="module")
def list_viewer(tmp_path_factory):
    """A viewer of a passed and a failed test's traces, a request answered
    with 500 and a cut trace, saved in that order."""
    db_path = tmp_path_factory.mktemp("list") / "traces.sqlite3"
    ids = {}
    for outcome, length in (("passed", 0.5), ("failed", 2.0)):
        ids[outcome] = save(db_path, document([
            plugin("start_test", 1.0, nodeid=f"t.py::test_{outcome}"), call("f", "f1", 1.1), ret("f", "f1", 1.2),
            plugin("end_test", 1.0 + length, nodeid=f"t.py::test_{outcome}", outcome=outcome),
        ], trace_id=f"trc_01HZX3Q5R8W6N2K9F4T7B1{outcome.upper()[:4]}"))
    ids["web"] = save(db_path, document([
        plugin("inbound_request", 3.0, method="POST", path="/pay", query_string="", headers=[], body_size=0),
        plugin("inbound_response", 3.1, status=500, headers=[], body_size=0, duration=0.1, error=None),
    ], trace_id="trc_01HZX3Q5R8W6N2K9F4T7B1WEB5"))
    ids["cut"] = save(db_path, document([
        call("f", "f1", 1.0), {"type": "trace_cut", "dropped_events": 7, "timestamp": 1.1}, ret("f", "f1", 1.3),
    ], trace_id="trc_01HZX3Q5R8W6N2K9F4T7B1CUT0"))
    with running_viewer(db_path) as server:
        server.ids = ids
        yield server


def listed_ids(browser):
    return [r.find_element(By.TAG_NAME, "a").text for r in browser.find_elements(By.CSS_SELECTOR, "#traces tbody tr")
            if r.is_displayed()]


def open_list(browser, viewer):
    browser.get(viewer.url)
    browser.refresh()
    wait(browser, lambda: len(listed_ids(browser)) == len(viewer.ids))


def test_a_clicked_column_sorts_the_list(browser, list_viewer):
    open_list(browser, list_viewer)
    ids = list_viewer.ids
    assert listed_ids(browser)[0] == ids["cut"]  # newest first

    header = browser.find_element(By.CSS_SELECTOR, "#traces th[data-key=duration]")
    header.click()
    assert listed_ids(browser)[0] == ids["failed"]  # the longest first
    assert header.get_attribute("aria-sort") == "descending"
    header.click()
    assert listed_ids(browser)[0] == ids["web"]  # the shortest first


def test_failures_are_coloured_and_a_server_error_is_found_by_its_status(browser, list_viewer):
    open_list(browser, list_viewer)
    rows = {r.find_element(By.TAG_NAME, "a").text: r for r in browser.find_elements(By.CSS_SELECTOR, "#traces tbody tr")}
    ids = list_viewer.ids

    def colour(key, cell):
        return rows[ids[key]].find_element(By.CSS_SELECTOR, "td.list-" + cell).value_of_css_property("color")

    error_colour = "rgba(214, 39, 40, 1)"
    assert colour("failed", "outcome") == colour("web", "status") == error_colour
    assert colour("passed", "outcome") != error_colour
    assert rows[ids["cut"]].find_element(By.CSS_SELECTOR, "td.list-cut").text == "cut, 7 events dropped"
    browser.find_element(By.ID, "filter").send_keys("500")
    assert listed_ids(browser) == [ids["web"]]


@pytest.fixture(scope="module")
def async_viewer(tmp_path_factory):
    from test_async import record_program

    db_path, trace_id = record_program(tmp_path_factory.mktemp("async"))
    with running_viewer(db_path) as server:
        server.ids = {"async": trace_id}
        yield server


def test_a_coroutine_shows_the_time_it_waited_and_each_time_it_ran(browser, async_viewer):
    open_trace(browser, async_viewer, "async")
    browser.find_element(By.ID, "search").send_keys("middle", Keys.ENTER)
    wait(browser, lambda: selected_name(browser) == "__main__.middle")
    selected = browser.find_element(By.CSS_SELECTOR, "#tree .row.selected")
    assert selected.find_element(By.CSS_SELECTOR, ".awaited").text.startswith("awaited ")
    wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "#details .awaited"))
    assert details_text(browser, ".awaited").endswith(", resumed 4 times")
    # Five times it ran: four awaits of the leaves' sleeps, then its return.
    cells = [[cell.text for cell in line.find_elements(By.TAG_NAME, "td")]
             for line in browser.find_elements(By.CSS_SELECTOR, "#details .segments tr")]
    assert [cells[-1][3]] + [line[3] for line in cells[:-1]] == ["\u2192 200"] + ["\u2192 None"] * 4


def open_example_on_a_call(browser, request):
    open_trace(browser, request.getfixturevalue("viewer"), "example")
    browser.find_element(By.ID, "search").send_keys("for_customer", Keys.ENTER)
    wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "#details .source .current"))


def open_flame_graph(browser, request):
    open_trace(browser, request.getfixturevalue("recursive_viewer"), "recursive")
    show_view(browser, "flame-view")
    wait(browser, lambda: flame_box(browser, 1))


def open_failed_test(browser, request):
    open_trace(browser, request.getfixturevalue("failures"), "failed")
    wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "#details .source .current"))


@pytest.mark.parametrize("name, show", [
    ("viewer", open_example_on_a_call),
    ("viewer-flame", open_flame_graph),
    ("viewer-failed-test", open_failed_test),
])
def test_screenshot(browser, request, tmp_path, name, show):
    show(browser, request)
    wait(browser, lambda: browser.execute_script("return state.lanes.every(lane => lane.reply)"))
    path = os.path.join(SCREENSHOTS or str(tmp_path), name + ".png")
    assert browser.save_screenshot(path)
    with open(path, "rb") as image:
        assert image.read(8) == b"\x89PNG\r\n\x1a\n"
