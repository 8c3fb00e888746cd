"""test_markers: one "start_test" / "end_test" pair per pytest test.

pytest runs each test item through the hook implementation in
_pytest/runner.py exactly once, so its call and return bracket the test:
setup, call and teardown with all their fixtures. In one-trace-per-test
mode these two records cut the stream into one trace per test.

Both carry "nodeid" and "file"; "end_test" adds the test's "outcome"
("passed", "failed", "skipped", "errored" (setup or teardown failed),
"xfailed", "xpassed", or "interrupted" when the run stopped inside the
test), the "phase" that decided it ("setup", "call" or "teardown"; None
for a pass) and a "message": the failure's message, the skip's reason,
bounded. The outcome is read from the reports that runtestprotocol, in
the same file, returns just before.
"""

import os

from zelm.plugins.frames import attribute, bounded, local, no_data
from zelm.text import RECORD_LINE, clip

__all__ = ["definitions", "DESCRIBERS", "TEST_OUTCOMES"]

_MAX_TEST_MESSAGE = 1000
TEST_OUTCOMES = ("passed", "failed", "errored", "skipped", "xfailed", "xpassed", "interrupted")


def _test_item_file(item):
    path = attribute(item, "path")  # pytest >= 7
    if path is None:
        path = attribute(item, "fspath")
    try:
        return os.fspath(path)
    except Exception:
        return None


def _report_message(report):
    """What a report says about its outcome: a failure's message (the
    exception's, assertion details included), a skip's reason."""
    longrepr = attribute(report, "longrepr")
    if longrepr is None:
        return None
    if isinstance(longrepr, tuple) and len(longrepr) == 3:
        # A skip: (file, line, "Skipped: reason").
        reason = longrepr[2]
        if isinstance(reason, str) and reason.startswith("Skipped: "):
            reason = reason[len("Skipped: "):]
        return bounded(reason, _MAX_TEST_MESSAGE)
    crash = attribute(longrepr, "reprcrash")
    message = attribute(crash, "message")
    if isinstance(message, str):
        return bounded(message, _MAX_TEST_MESSAGE)
    try:
        return bounded(str(longrepr), _MAX_TEST_MESSAGE)
    except Exception:
        return None


def _test_outcome(reports):
    """(outcome, phase, message) of a test from its setup, call and
    teardown reports. A failure decides over a skip and a pass: a failing
    call is "failed", a failing setup or teardown "errored"."""
    result = ("passed", None, None)
    try:
        for report in reports:
            outcome = attribute(report, "outcome")
            when = attribute(report, "when")
            expected_failure = attribute(report, "wasxfail")
            if outcome == "failed":
                return ("failed" if when == "call" else "errored"), when, _report_message(report)
            if result[0] != "passed":
                continue
            if outcome == "skipped" and expected_failure is not None:
                result = ("xfailed", when, bounded(expected_failure, _MAX_TEST_MESSAGE) or None)
            elif outcome == "skipped":
                result = ("skipped", when, _report_message(report))
            elif outcome == "passed" and expected_failure is not None:
                result = ("xpassed", when, bounded(expected_failure, _MAX_TEST_MESSAGE) or None)
    except Exception:
        return None, None, None
    return result


def definitions(config):
    # Test node id -> (outcome, phase, message), from runtestprotocol's
    # return to the end of the test's protocol.
    outcomes = {}

    def note_outcome(frame, event, arg, context):
        if isinstance(arg, list):
            nodeid = attribute(local(frame, "item"), "nodeid")
            if isinstance(nodeid, str):
                outcomes[nodeid] = _test_outcome(arg)
        return False

    def test_item_data(frame, event, arg, context):
        item = local(frame, "item")
        nodeid = attribute(item, "nodeid")
        nodeid = nodeid if isinstance(nodeid, str) else None
        data = {"nodeid": nodeid, "file": _test_item_file(item)}
        if event == "return":
            outcome = outcomes.pop(nodeid, None)
            if outcome is None:
                # No reports: the protocol was left by an exception (an
                # interrupted run) before they were made.
                outcome = ("interrupted" if arg is None else None), None, None
            data["outcome"], data["phase"], data["message"] = outcome
        return data

    return [
        {
            "co_names": ["pytest_runtest_protocol"],
            "path_fragment": "/_pytest/runner.py",
            "call_type": "start_test",
            "return_type": "end_test",
            "process": test_item_data,
        },
        {
            "co_names": ["runtestprotocol"],
            "path_fragment": "/_pytest/runner.py",
            "call_type": "test_outcome",
            "return_type": "test_outcome",
            "events": ["return"],
            "call": note_outcome,
            "process": no_data,
        },
    ]


def _describe_start_test(data):
    return f"start test {data.get('nodeid')}"


def _describe_end_test(data):
    return clip(f"end test {data.get('nodeid')}{_outcome_text(data)}", RECORD_LINE)


def _outcome_text(data):
    """": failed in call: assert 4 == 5" of an end_test record; the message
    is its first line."""
    outcome = data.get("outcome")
    if not isinstance(outcome, str):
        return ""
    text = ": " + outcome
    if outcome in ("errored", "skipped") and data.get("phase") in ("setup", "teardown"):
        text += f" in {data['phase']}"
    message = data.get("message")
    if isinstance(message, str) and message.strip():
        text += ": " + message.strip().splitlines()[0]
    return text


DESCRIBERS = {"start_test": _describe_start_test, "end_test": _describe_end_test}
