#include "names/line_cache.hpp"

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

}  // namespace zelm
