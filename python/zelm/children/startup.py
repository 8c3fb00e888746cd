"""Recording a new interpreter that a traced program started.

zelm_child_processes.pth, installed beside the package, calls start() as
every interpreter of the environment starts, when the environment variable
VARIABLE is set. A value that is not usable costs one warning line on
stderr and leaves the process untraced.
"""

import os
import sys

from zelm.children import ending
from zelm.children.settings import VARIABLE, decode, encode


_started = False


def start():
    global _started
    text = os.environ.get(VARIABLE)
    # Once per process, however many start-up files call it (a second
    # copy on sys.path, a site directory added again).
    if not text or _started or ending.watching():
        return
    _started = True
    try:
        settings = decode(text)
        # Imported here: an interpreter that is not traced never loads it.
        from zelm.profiler import Profiler

        profiler = Profiler(config=settings.config, db_path=settings.db_path, source=_source_label(),
                            parent_trace_id=settings.parent_trace_id)
        profiler.start()
    except Exception as error:
        reason = " ".join(str(error).split()) or type(error).__name__
        print(f"zelm: warning: {VARIABLE} is not usable ({reason}); this process runs untraced", file=sys.stderr)
        return
    # The processes this one starts are its children.
    os.environ[VARIABLE] = encode(settings._replace(parent_trace_id=profiler.trace_id))
    ending.watch(profiler, at_exit=True)


def _source_label():
    """The command line after the interpreter's name ("child.py 3",
    "-m pkg.tool", "-c ..."), on one line (a "-c" program's lines joined),
    its undecodable bytes escaped as the trace escapes them."""
    words = getattr(sys, "orig_argv", sys.argv)[1:] or ["python"]
    return " ".join(" ".join(words).split()).encode("utf-8", "backslashreplace").decode("utf-8")
