// What the event path knows about the frame whose event it is handling.
#pragma once

#include <cstdint>
#include <string_view>

#include "format/event_kind.hpp"
#include "python/python.hpp"

namespace zelm {

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
