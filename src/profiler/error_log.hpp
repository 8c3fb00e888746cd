// How the event path reports its own failures: as a warning on logger
// "zelm", never as an exception raised into the profiled program.
#pragma once

#include <unordered_set>
#include <vector>

#include "names/event_code.hpp"
#include "python/python.hpp"

namespace zelm {

// The code objects whose failure has been logged, so that a code failing
// at every event is logged once. Each is held: its address never stands for
// another code object while it is here. Used with the GIL held.
class LoggedCodes {
public:
    // True the first time for `code` (null, no code known, counts as one).
    bool first_time(PyObject* code);

private:
    std::unordered_set<PyObject*> addresses_;
    std::vector<PyRef> held_;
};

// The warning for a failed event on logger "zelm": where it happened (the
// code's file, name and first line) and the failure, never a value of the
// program. Never raises; a failure of logging itself goes to the
// unraisable hook.
void log_error(PyObject* error, PyObject* code, Event event, PyObject* co_filename, PyObject* co_name);
// Fetches the pending failure (Python error or internal error) and logs it,
// the first time only for the event's code.
void log_pending_error(const EventCode& code, LoggedCodes& logged);

}  // namespace zelm
