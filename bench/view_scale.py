"""The viewer on a trace of a million frame records: time to the first
screen, to zoom and to expand, and the server's memory.

    python bench/view_scale.py [--records N] [--no-browser]

Builds a trace document of N frame records (N/2 calls: a main module
calling request handlers that call nested helpers, with a log record per
handler) directly with msgpack, stores it, starts `zelm view` on it in a
subprocess and times, over HTTP, what the page asks for when it opens the
trace (summary, each thread's roots, each thread's timeline at 1400 pixels)
and then zooming, highlighting a search's matches on the timeline and
expanding. With chromium and selenium at hand it also times the page itself
in a headless browser, from navigation until the tree and every timeline
lane are drawn. The server's memory is its resident set after the first
screen and its peak (VmHWM).
"""

import argparse
import http.client
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse

import msgpack

from zelm import store

MAIN = 4242
TRACE_ID = "trc_01M9BENCHV1EW000000000000"
FILES = ["/srv/app/handlers.py", "/srv/app/models.py", "/srv/app/db.py", "/srv/lib/util.py"]


def frame(packer, out, event, name, path, frame_id, timestamp, locals_, arg=None):
    out += packer.pack({
        "path": path, "co_name": name.rpartition(".")[2], "qualname": name, "event": event,
        "frame_id": frame_id, "arg": arg, "locals": locals_, "thread": "MainThread",
        "thread_native_id": MAIN, "timestamp": timestamp, "type": "frame", "user_code_call_site": None,
    })


def build_document(frame_records):
    """The MessagePack bytes of a trace of ``frame_records`` frame records
    (rounded to whole calls)."""
    packer = msgpack.Packer()
    calls = frame_records // 2
    body = bytearray()
    clock = [1.0]
    count = [0, 0]  # calls written, plugin records written

    def tick():
        clock[0] += 1e-6
        return clock[0]

    def write_call(name, path, depth, fanout, budget):
        """Write one call and up to ``budget`` - 1 nested calls; return how many were written."""
        number = count[0]
        count[0] += 1
        frame_id = f"frm_{number:026d}"
        frame(packer, body, "call", name, path, frame_id, tick(), {"n": number, "label": f"item-{number % 97}"})
        written = 1
        child = 0
        while written < budget and depth < 8:
            child_budget = min(budget - written, max(1, (budget - 1) // fanout))
            written += write_call(f"app.models.Model{child % 5}.step{depth}", FILES[(depth + child) % 4] + f":{10 + depth}",
                                  depth + 1, fanout, child_budget)
            child += 1
        frame(packer, body, "return", name, path, frame_id, tick(), {"n": number, "result": [number, depth]},
              arg=f"<Result {number}>")
        return written

    handlers = max(1, (calls - 1) // 500)
    frame(packer, body, "call", "__main__.<module>", "/srv/app/main.py:0", "frm_main", tick(), {})
    count[0] += 1
    remaining = calls - 1
    for handler in range(handlers):
        budget = remaining // (handlers - handler)
        remaining -= write_call("app.handlers.handle_request", "/srv/app/handlers.py:20", 1, 4, budget)
        body += packer.pack({"frame_id": None, "timestamp": tick(), "thread": "MainThread",
                             "thread_native_id": MAIN, "user_code_call_site": None, "type": "log_message",
                             "level": "INFO", "logger": "app", "message": f"handled request {handler}",
                             "location": "/srv/app/handlers.py:30"})
        count[1] += 1
    frame(packer, body, "return", "__main__.<module>", "/srv/app/main.py:0", "frm_main", tick(), {})
    total = 2 * count[0] + count[1]
    header = bytearray()
    header += packer.pack_map_header(8)
    for key, value in (("command_line_args", ["main.py"]), ("current_commit_sha", None), ("frames", {}),
                       ("main_thread_id", MAIN), ("meta", {"version": "0.1.0", "source": "bench/view_scale.py"}),
                       ("timestamp", 1.0), ("trace_id", TRACE_ID)):
        header += packer.pack(key) + packer.pack(value)
    header += packer.pack("frames_of_interest") + packer.pack_array_header(total)
    return bytes(header + body), 2 * count[0], count[1]


class Client:
    def __init__(self, port, page_path):
        self.port = port
        self.page_path = page_path  # "/TOKEN/", the viewer's pages are under it

    def get(self, endpoint, **params):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=600)
        connection.request("GET", f"{self.page_path}api/{endpoint}?" + urllib.parse.urlencode(params))
        reply = connection.getresponse()
        body = reply.read()
        connection.close()
        if reply.status != 200:
            raise RuntimeError(f"{endpoint}: {reply.status} {body[:200]!r}")
        return json.loads(body)


def memory_kib(pid):
    fields = {}
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            key, _, value = line.partition(":")
            fields[key] = value.strip()
    return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])


def timed(action):
    began = time.perf_counter()
    result = action()
    return time.perf_counter() - began, result


def start_server(db_path, *trace_id):
    process = subprocess.Popen([sys.executable, "-m", "zelm", "view", "--db", db_path, "--no-browser", *trace_id],
                               stdout=subprocess.PIPE, text=True)
    line = process.stdout.readline()
    address = re.search(r"127\.0\.0\.1:(\d+)(/[^#\s]*)", line)
    return process, int(address.group(1)), address.group(2)


def first_screen(client, width=1400):
    summary = client.get("summary", trace=TRACE_ID)
    for thread in summary["threads"]:
        client.get("roots", trace=TRACE_ID, thread=thread["number"])
        client.get("timeline", trace=TRACE_ID, thread=thread["number"], begin=0, finish=summary["duration"], width=width)
    return summary


def browser_first_screen(db_path):
    """(seconds from `zelm view TRACE_ID` to a drawn tree and timeline in
    headless chromium, the server process), or None without a browser.
    The browser is started before the clock starts."""
    chromium, driver_path = shutil.which("chromium"), shutil.which("chromedriver")
    try:
        from selenium import webdriver
    except ImportError:
        return None
    if not (chromium and driver_path):
        return None
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,900"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=webdriver.ChromeService(executable_path=driver_path), options=options)
    try:
        began = time.perf_counter()
        process, port, page_path = start_server(db_path, TRACE_ID)
        driver.get(f"http://127.0.0.1:{port}{page_path}#trace={TRACE_ID}")
        while not driver.execute_script(
                "return document.querySelectorAll('#tree .row').length > 0 && state.lanes.length > 0"
                " && state.lanes.every(lane => lane.reply) && timelineLayout.boxes.length > 0"):
            time.sleep(0.01)
        return time.perf_counter() - began, process
    finally:
        driver.quit()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=1_000_000, help="frame records in the trace")
    parser.add_argument("--no-browser", action="store_true", help="time over HTTP only")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as directory:
        db_path = os.path.join(directory, "traces.sqlite3")
        build_time, (document, frames, plugins) = timed(lambda: build_document(args.records))
        store.save_trace_in_sqlite(db_path, TRACE_ID, timeout=60, msgpack=document)
        print(f"trace: {frames} frame records, {plugins} plugin records, {len(document) / 2**20:.1f} MiB "
              f"(built in {build_time:.1f} s)")
        del document

        process, port, page_path = start_server(db_path)
        try:
            client = Client(port, page_path)
            idle_rss, _ = memory_kib(process.pid)
            cold, summary = timed(lambda: first_screen(client))
            rss, peak = memory_kib(process.pid)
            warm, _ = timed(lambda: first_screen(client))
            print(f"first screen over HTTP: {cold:.2f} s cold (decoding and indexing the trace), {warm * 1000:.0f} ms cached")
            print(f"server memory: {idle_rss / 1024:.0f} MiB idle, {rss / 1024:.0f} MiB with the trace loaded, "
                  f"peak {peak / 1024:.0f} MiB")

            duration = summary["duration"]
            zooms = []
            for span in (duration / 10, duration / 1000, duration / 100000):
                zooms.append(timed(lambda: client.get("timeline", trace=TRACE_ID, thread=0, begin=duration / 3,
                                                      finish=duration / 3 + span, width=1400))[0])
            print("zoom (one timeline window of 1400 px at 1/10, 1/1000, 1/100000 of the trace): "
                  + ", ".join(f"{seconds * 1000:.0f} ms" for seconds in zooms))
            highlights = [timed(lambda: client.get("timeline", trace=TRACE_ID, thread=0, begin=0, finish=duration,
                                                   width=1400, q="step3"))[0] for _ in range(2)]
            print(f"the whole timeline with the matches of 'step3' highlighted: {highlights[0] * 1000:.0f} ms "
                  f"the first time, {highlights[1] * 1000:.0f} ms again")
            root = client.get("roots", trace=TRACE_ID, thread=0)["rows"][0]["id"]
            expand, page = timed(lambda: client.get("children", trace=TRACE_ID, node=root))
            print(f"expand the module call ({page['total']} children, first page of {len(page['rows'])}): "
                  f"{expand * 1000:.0f} ms")
            select, _ = timed(lambda: client.get("node", trace=TRACE_ID, node=root + 1234))
            found, result = timed(lambda: client.get("search", trace=TRACE_ID, q="step3"))
            print(f"details of a call: {select * 1000:.0f} ms; search 'step3' ({result['count']} matches): "
                  f"{found * 1000:.0f} ms")

            if not args.no_browser:
                # A fresh server, so that the browser pays for decoding too.
                process.terminate()
                process.wait()
                measured = browser_first_screen(db_path)
                if measured is None:
                    print("first screen in the browser: skipped (no chromium, chromedriver or selenium)")
                else:
                    seconds, process = measured
                    rss, peak = memory_kib(process.pid)
                    print(f"`zelm view TRACE_ID` to the first screen drawn in headless chromium: {seconds:.2f} s "
                          f"(server then {rss / 1024:.0f} MiB, peak {peak / 1024:.0f} MiB)")
        finally:
            process.terminate()
            process.wait()


if __name__ == "__main__":
    main()
