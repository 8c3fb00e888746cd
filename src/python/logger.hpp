// Warnings on the host's logger "zelm". The native modules report here
// what they caught from the program's code, never through the
// interpreter's unraisable hook, whose default prints the object it is
// given: a warning names types only, never a value of the program.
#pragma once

#include <string_view>

#include "python/python.hpp"

namespace zelm {

// Hands a WARNING record to logger "zelm" when it takes warnings: `message`
// with its %-arguments `args` (a tuple), from `pathname` (a str) at `line`
// in `function`, with `exc_info` (a (type, value, traceback) tuple, or
// None). The record is made here rather than by logger.warning, whose
// caller lookup would take a frame of the profiled program for its origin
// (and that frame's line, which may be unknown, for an int). May run
// Python code (the handlers). Throws PyErrorSet.
void log_warning_record(PyObject* message, PyObject* args, PyObject* pathname, PyObject* line,
                        PyObject* exc_info, PyObject* function);

// Takes the pending error, which the program's code raised while zelm was
// `doing` something (say "str() of a name of type Tag"), and logs
// "<doing> raised <error type>; <outcome>" the first time this text comes
// up in the process: one warning per cause, however often it recurs. A
// KeyboardInterrupt is not logged but handed back to the program (see
// discard_error), and so is one raised by the logging. Never raises.
// Called with the GIL held.
void warn_once_of_pending_error(std::string_view doing, std::string_view outcome);

}  // namespace zelm
