// What the event path knows about the event it is handling. The kind is
// decided once, in the hook, and compared as an enum from there on; its text
// is made only where a record or a log message is written.
#pragma once

#include <cstdint>
#include <string_view>

#include "utils/python.hpp"

namespace zelm {

enum class Event : std::uint8_t {
    call,
    return_,
    // A frame left by an exception: filed after that frame's "return".
    exception,
};

// The event's name in records and log messages.
constexpr std::string_view event_name(Event event) {
    switch (event) {
        case Event::call: return "call";
        case Event::return_: return "return";
        case Event::exception: return "exception";
    }
    return "";
}

// Frame key: the frame object's address, no reference held.
inline std::uintptr_t frame_key(PyObject* frame) { return reinterpret_cast<std::uintptr_t>(frame); }

// The objects and strings an event handler holds for the frame it is handling.
struct EventCode {
    PyObject* frame;
    PyObject* code;  // the frame's code object
    PyObject* arg;
    Event event;
    std::string_view filename;
    std::string_view name;
    PyObject* filename_object;
    PyObject* name_object;
};

}  // namespace zelm
