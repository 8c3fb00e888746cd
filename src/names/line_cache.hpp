// The line a frame is executing, with the line table walk cached.
#pragma once

#include <array>

#include "python/python.hpp"

namespace zelm {

// Lines of code positions, cached per (code object, instruction offset):
// a code object's line table never changes, and walking it is the dearest
// part of reading a frame's line. Each entry holds a reference to its code
// object, so its address never stands for another code while the entry
// exists. Used by one thread, with the GIL held.
class LineCache {
public:
    // What PyFrame_GetLineNumber gives for the frame: -1 where its
    // instruction has no line (3.12 gives none to those that close an
    // `async for` in an async generator), as a call site records it.
    int line(PyObject* frame);
    // The line a frame record's location shows: the frame's line, or its
    // code's first line where the instruction has none.
    int location_line(PyObject* frame);

private:
    struct Entry {
        PyRef code;
        int offset = 0;
        int line = 0;
    };
    std::array<Entry, 256> entries_;
};

}  // namespace zelm
