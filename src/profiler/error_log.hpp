// How the event path reports its own failures: as a warning on logger
// "zelm", never as an exception raised into the profiled program.
#pragma once

#include <string_view>

#include "names/event_code.hpp"
#include "python/python.hpp"

namespace zelm {

// The warning for a failed event on logger "zelm". Never raises; a failure
// of logging itself goes to the unraisable hook.
void log_error(PyObject* error, PyObject* frame, Event event, PyObject* co_filename,
               PyObject* co_name);
// Fetches the pending failure (Python error or internal error) and logs it.
void log_pending_error(const EventCode& code);

}  // namespace zelm
