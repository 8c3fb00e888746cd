"""The source lines the viewer shows beside a call, and which files it
reads for them.

A trace names a file for every call, and traces are passed from one person
to another: the name is a claim, not a permission. So only what looks like
the program's own source is read: a regular file with a Python source
suffix, outside the kernel's file systems (/proc, /sys, /dev), whose real
path (symbolic links followed) is such a file too, and whose name has no
".." that climbs out of where it starts.

A relative name is relative to the working directory the program ran in,
which the store keeps beside the trace; never to the viewer's own, where a
file of the same name would be shown as if it were the one that ran. Of a
trace saved without it, relative names are not read at all. A file changed
since the trace began to be recorded is read with a note saying so: its
lines may no longer be the ones that ran.
"""

import os
import stat
from typing import NamedTuple, Optional

__all__ = ["SOURCE_SUFFIXES", "MAX_SOURCE_BYTES", "Origin", "UNKNOWN_ORIGIN", "read_source"]

SOURCE_SUFFIXES = (".py", ".pyw", ".pyi")
# The largest file read for its lines.
MAX_SOURCE_BYTES = 4 * 1024 * 1024
# Files there are views of processes and devices, never a program's source.
_KERNEL_DIRECTORIES = ("/proc", "/sys", "/dev")


class Origin(NamedTuple):
    """Where and when a trace was recorded: the working directory its
    relative file names are relative to, and the time its recording began
    (seconds since the epoch); each None when unknown."""

    working_directory: Optional[str]
    began: Optional[float]


UNKNOWN_ORIGIN = Origin(None, None)


def read_source(name, origin=UNKNOWN_ORIGIN):
    """The source file a trace recorded at ``origin`` (an Origin) names:
    (text, None); (text, a note) when the file changed after the trace
    began; (None, the reason in a few words) when it is not read."""
    path, refusal = _source_path(name, origin.working_directory)
    if path is None:
        return None, f"{name} {refusal}"
    read = _read_regular_file(path)
    if read is None:
        if not os.path.lexists(path):
            return None, f"{name} is gone: there is no {path} now"
        return None, f"{name} is not a readable file on this machine"
    text, modified = read
    if origin.began is not None and modified > origin.began:
        return text, f"{name} changed after the trace was recorded: these lines may not be the ones that ran"
    return text, None


def _source_path(name, directory):
    """(the real path to read, None) or (None, why ``name`` is not read);
    a relative name is taken from ``directory``, or not read when that is
    None."""
    if not _is_source_name(name):
        return None, "is not a Python source file"
    if not os.path.isabs(name) and directory is None:
        return None, ("is a relative name, and the trace does not say which directory it ran in "
                      "(it was saved by an earlier version of zelm)")
    if os.path.isabs(name):
        # An absolute name is taken as written: its ".." could only step
        # around the directories it names.
        if ".." in name.split("/"):
            return None, "climbs out of its directory with .."
        path = os.path.normpath(name)
    else:
        relative = os.path.normpath(name)
        if relative == ".." or relative.startswith("../"):
            return None, "climbs out of the working directory with .."
        path = os.path.join(directory, relative)
    try:
        real = os.path.realpath(path)
    except (OSError, ValueError):
        return None, "is not a readable file on this machine"
    if _in_kernel_directory(path) or _in_kernel_directory(real):
        return None, "is not a Python source file"
    if not _is_source_name(real):
        return None, "links to a file that is not Python source"
    return real, None


def _is_source_name(path):
    return os.path.splitext(path)[1] in SOURCE_SUFFIXES


def _in_kernel_directory(path):
    return any(path == directory or path.startswith(directory + "/") for directory in _KERNEL_DIRECTORIES)


def _read_regular_file(path):
    """(the text, the time it was last modified) of ``path`` if it is a
    regular file of a sane size, else None.

    Checked before opening (opening a FIFO would block) and again on the
    opened file, which must not be a link (the path may have been swapped
    meanwhile)."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return None
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW | os.O_CLOEXEC)
    except (OSError, ValueError):
        return None
    try:
        info = os.fstat(descriptor)
        if not stat.S_ISREG(info.st_mode) or info.st_size > MAX_SOURCE_BYTES:
            return None
        with open(descriptor, "rb", closefd=False) as handle:
            data = handle.read(MAX_SOURCE_BYTES + 1)
    except OSError:
        return None
    finally:
        os.close(descriptor)
    return data.decode("utf-8", errors="replace"), info.st_mtime
