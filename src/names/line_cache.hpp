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
    // What PyFrame_GetLineNumber gives for the frame.
    int line(PyObject* frame);

private:
    struct Entry {
        PyRef code;
        int offset = 0;
        int line = 0;
    };
    std::array<Entry, 256> entries_;
};

}  // namespace zelm
