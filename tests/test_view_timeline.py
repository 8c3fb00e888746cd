"""The viewer's timeline in a headless browser: what it draws where, read
from the layout the page keeps of its last drawing (timelineLayout) and
from the canvas's pixels. Hand-made traces, one server for the module; the
browser and its helpers are test_view_browser's."""

import re

import pytest

from conftest import running_viewer
from test_trace_reader import WORKER, call, document, plugin, ret
from test_view_api import save
from test_view_browser import CHROMEDRIVER, CHROMIUM, REQUIRED, browser, details_text, open_trace, wait  # noqa: F401
from zelm.cli.main import main
from selenium.webdriver import ActionChains  # noqa: E402  (after test_view_browser skips without selenium)

pytestmark = pytest.mark.skipif(
    not REQUIRED and not (CHROMIUM and CHROMEDRIVER),
    reason="needs Debian's chromium and chromium-driver (make deps installs them)")

DEPTH = 150


def wide_and_narrow():
    """Narrow calls and a wide one starting in one pixel of the whole
    trace's view, then a call that raised."""
    return document([
        call("root", "r", 1.0),
        call("n1", "n1", 1.0), ret("n1", "n1", 1.00001),
        call("n2", "n2", 1.00002), ret("n2", "n2", 1.00003),
        call("wide", "w", 1.00004), ret("wide", "w", 1.6),
        call("bad", "b", 1.7), ret("bad", "b", 1.9), plugin("exception", 1.9, frame_id="b", exception="ValueError('x')"),
        ret("root", "r", 2.0),
    ], trace_id="trc_01HZX3Q5R8W6N2K9F4T7B1W1DE")


def per_test():
    """A test's trace as `pytest --zelm` saves it: the profiler was made
    long before the test's start_test marker."""
    return document([
        plugin("start_test", 100.0, nodeid="t.py::test_pay"),
        call("test_pay", "f1", 100.01), ret("test_pay", "f1", 100.2),
        plugin("end_test", 100.3, nodeid="t.py::test_pay", outcome="passed"),
    ], timestamp=1.0, trace_id="trc_01HZX3Q5R8W6N2K9F4T7B1TE57")


def deep():
    """A recursion DEPTH calls deep with a log record in its deepest call,
    and a worker thread whose lane comes after."""
    times = [1.0 + step * 0.001 for step in range(2 * DEPTH + 1)]
    records = [call("recurse", f"f{depth}", times[depth]) for depth in range(DEPTH)]
    records.append(plugin("log_message", times[DEPTH], level="INFO", message="bottom"))
    records += [ret("recurse", f"f{depth}", times[2 * DEPTH - depth]) for depth in reversed(range(DEPTH))]
    return document(records, {WORKER: [call("work", "w", 1.0, thread=WORKER), plugin("log_message", 1.05, thread=WORKER),
                                       ret("work", "w", 1.1, thread=WORKER)]},
                    trace_id="trc_01HZX3Q5R8W6N2K9F4T7B1DEE9")


def http_exchange():
    return document([
        call("fetch", "f", 1.0),
        plugin("outbound_request", 1.2, client="urllib3", method="GET", url="http://127.0.0.1/", headers=[], body_size=0),
        plugin("outbound_response", 1.6, client="urllib3", method="GET", url="http://127.0.0.1/", status=200,
               reason="OK", headers=[], body_size=2, duration=0.4),
        ret("fetch", "f", 2.0),
    ], trace_id="trc_01HZX3Q5R8W6N2K9F4T7B1HTTP")


@pytest.fixture(scope="module")
def traces(tmp_path_factory):
    db_path = tmp_path_factory.mktemp("timeline") / "traces.sqlite3"
    ids = {name: save(db_path, make()) for name, make in
           (("wide", wide_and_narrow), ("test", per_test), ("deep", deep), ("http", http_exchange))}
    with running_viewer(db_path) as server:
        server.ids = ids
        yield server


def open_timeline(browser, viewer, key):
    open_trace(browser, viewer, key)
    wait(browser, lambda: browser.execute_script("return state.lanes.every(lane => lane.reply)"))
    wait(browser, lambda: layout(browser)["boxes"])


def open_exported(browser, viewer, key, tmp_path):
    output = tmp_path / f"{key}.html"
    assert main(["export", "--db", str(viewer.db_path), viewer.ids[key], "--format", "html", "-o", str(output)]) == 0
    browser.get(output.as_uri())
    wait(browser, lambda: browser.find_elements("css selector", "#tree .row"))
    wait(browser, lambda: browser.execute_script("return state.lanes.every(lane => lane.reply)"))
    wait(browser, lambda: layout(browser)["boxes"])


def layout(browser):
    return browser.execute_script("return timelineLayout")


def boxes_named(browser, name):
    return [box for box in layout(browser)["boxes"] if box["name"] == name]


def test_a_wide_call_keeps_its_own_labelled_box_beside_the_narrow_calls_of_its_pixel(browser, traces):
    open_timeline(browser, traces, "wide")
    [wide] = boxes_named(browser, "app.wide")
    merged = [box for box in layout(browser)["boxes"] if box["depth"] == 1 and box["count"] > 1]
    assert wide["labelled"] and wide["count"] == 1
    assert [box["count"] for box in merged] == [2] and merged[0]["x"] <= wide["x"] < merged[0]["x"] + 1
    # The pixel they share is the wide call's, and a click there selects it.
    pixel = int(wide["x"])
    assert browser.execute_script("return hitAt(arguments[0], arguments[1]).id", pixel, wide["y"] + 8) == wide["id"]
    browser.execute_script("""
        const rect = canvas.getBoundingClientRect();
        const at = {clientX: rect.left + arguments[0], clientY: rect.top + arguments[1], bubbles: true};
        canvas.dispatchEvent(new MouseEvent('mousedown', at));
        window.dispatchEvent(new MouseEvent('mouseup', at));""", pixel, wide["y"] + 8)
    wait(browser, lambda: details_text(browser, "h2") == "app.wide")


def test_a_raised_call_is_drawn_in_the_error_colour(browser, traces):
    open_timeline(browser, traces, "wide")
    [bad] = boxes_named(browser, "app.bad")
    [good] = boxes_named(browser, "app.wide")
    pixel = """
        const ratio = window.devicePixelRatio || 1;
        return Array.from(canvas.getContext('2d').getImageData(
            Math.round((arguments[0] + 0.5 * arguments[1]) * ratio), Math.round((arguments[2] + 8) * ratio), 1, 1).data.slice(0, 3));"""
    assert bad["raised"] and not good["raised"]
    assert browser.execute_script(pixel, bad["x"], bad["w"], bad["y"]) == [0xd6, 0x27, 0x28]
    assert browser.execute_script(pixel, good["x"], good["w"], good["y"]) != [0xd6, 0x27, 0x28]


def test_a_tests_trace_starts_at_the_test_not_at_the_profilers_making(browser, traces):
    open_timeline(browser, traces, "test")
    [box] = boxes_named(browser, "app.test_pay")
    width = browser.execute_script("return canvasWidth()")
    assert 0 <= box["x"] < 0.1 * width and box["w"] > 0.5 * width
    assert browser.execute_script("return state.summary.duration") == pytest.approx(0.3)


def test_a_deep_recursion_is_drawn_to_its_deepest_call_and_marks_stay_in_their_lanes(browser, traces):
    open_timeline(browser, traces, "deep")
    assert max(box["depth"] for box in layout(browser)["boxes"]) < DEPTH - 1  # the box shows the top rows
    browser.execute_script("timelineBox.scrollTop = timelineBox.scrollHeight")
    wait(browser, lambda: any(box["depth"] == DEPTH - 1 for box in layout(browser)["boxes"]))
    [deepest] = [box for box in layout(browser)["boxes"] if box["depth"] == DEPTH - 1]
    assert deepest["name"] == "app.recurse" and deepest["y"] + deepest["h"] <= browser.execute_script("return canvas.clientHeight")
    marks = layout(browser)["marks"]
    assert {mark["thread"] for mark in marks} == {0, 1} and DEPTH in {mark["depth"] for mark in marks}
    lanes = {lane["thread"]: lane for lane in layout(browser)["lanes"]}
    head = browser.execute_script("return LANE_HEAD")
    for mark in marks:
        assert lanes[mark["thread"]]["top"] + head <= mark["top"] and mark["bottom"] <= lanes[mark["thread"]]["bottom"]


def test_the_ruler_labels_times_from_the_start_with_their_unit(browser, traces):
    open_timeline(browser, traces, "wide")
    ticks = layout(browser)["ticks"]
    assert len(ticks) >= 5 and all(re.fullmatch(r"\d+(\.\d+)? (s|ms|us|ns)", tick["label"]) for tick in ticks)
    assert ticks[0]["label"] in ("0 ms", "0.0 s") and ticks[0]["x"] == pytest.approx(0, abs=2)
    browser.execute_script("setView(0.5, 0.50002)")
    wait(browser, lambda: layout(browser)["ticks"][0]["label"].endswith(" ms")
         and "." in layout(browser)["ticks"][0]["label"])
    browser.execute_script("setView(0, 0.00002)")
    wait(browser, lambda: all(tick["label"].endswith(" us") for tick in layout(browser)["ticks"]))


def test_the_overview_marks_the_window_and_moves_it(browser, traces):
    open_timeline(browser, traces, "wide")
    timeline = browser.find_element("id", "timeline")
    timeline.send_keys("+")
    wait(browser, lambda: browser.execute_script("return state.view.finish - state.view.begin") < 0.6)
    view = browser.execute_script("return state.view")
    marked = layout(browser)["overview"]
    assert marked["left"] == pytest.approx(view["begin"] / 1.0 * marked["width"], abs=1)
    assert marked["right"] == pytest.approx(view["finish"] / 1.0 * marked["width"], abs=1)
    # A click on the overview outside the window centres the window there.
    overview = browser.find_element("id", "timeline-overview")
    ActionChains(browser).move_to_element_with_offset(overview, int(-0.3 * overview.size["width"]), 0).click().perform()
    wait(browser, lambda: browser.execute_script("return (state.view.begin + state.view.finish) / 2") < 0.3)
    # 0 on the timeline, or the button, shows the whole trace again.
    timeline.send_keys("0")
    wait(browser, lambda: browser.execute_script("return state.view.finish - state.view.begin") > 0.99)
    timeline.send_keys("+")
    wait(browser, lambda: browser.execute_script("return state.view.finish - state.view.begin") < 0.6)
    browser.find_element("id", "timeline-reset").click()
    wait(browser, lambda: browser.execute_script("return state.view.finish - state.view.begin") > 0.99)


@pytest.mark.parametrize("source", ["served", "exported"])
def test_search_matches_are_highlighted_on_the_timeline(browser, traces, tmp_path, source):
    if source == "served":
        open_timeline(browser, traces, "wide")
    else:
        open_exported(browser, traces, "wide", tmp_path)
    assert layout(browser)["matches"] == []
    browser.find_element("id", "search").send_keys("WIDE\n")
    wait(browser, lambda: layout(browser)["matches"])
    [wide] = boxes_named(browser, "app.wide")
    assert [(match["id"], match["x"]) for match in layout(browser)["matches"]] == [(wide["id"], wide["x"])]


@pytest.mark.parametrize("source", ["served", "exported"])
def test_an_http_exchange_is_drawn_as_one_span(browser, traces, tmp_path, source):
    if source == "served":
        open_timeline(browser, traces, "http")
    else:
        open_exported(browser, traces, "http", tmp_path)
    width = browser.execute_script("return canvasWidth()")
    [span] = layout(browser)["spans"]
    assert span["x"] == pytest.approx(0.2 * width, abs=2) and span["end"] == pytest.approx(0.6 * width, abs=2)
    assert "200" in span["text"] and not span["failed"]
    assert layout(browser)["marks"] == []
