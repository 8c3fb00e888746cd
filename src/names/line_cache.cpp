#include "names/line_cache.hpp"

#include <algorithm>
#include <cstdint>

#include "python/compat.hpp"

namespace zelm {

int LineCache::line(PyObject* frame) {
    compat::FramePosition position = compat::frame_position(frame);
    if (position.code == nullptr) return position.line;
    // Offsets are even; a frame's offsets stay apart in the table.
    std::uintptr_t key = (reinterpret_cast<std::uintptr_t>(position.code) >> 4) ^
                         (static_cast<std::uintptr_t>(static_cast<unsigned>(position.offset)) >> 1);
    Entry& entry = entries_[key % entries_.size()];
    if (entry.code.get() != position.code || entry.offset != position.offset) {
        entry.line = PyCode_Addr2Line(reinterpret_cast<PyCodeObject*>(position.code), position.offset);
        entry.offset = position.offset;
        entry.code = PyRef::from_borrowed(position.code);
    }
    return entry.line;
}

int LineCache::location_line(PyObject* frame) {
    const int found = line(frame);
    if (found >= 0) return found;
    // Never negative, even for a code object made by hand.
    return std::max(0, reinterpret_cast<PyCodeObject*>(compat::running_code(frame))->co_firstlineno);
}

}  // namespace zelm
