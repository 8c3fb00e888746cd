// The order of a thread's open function frames' locals, kept from one
// recorded event of a frame to its next (see compat::LocalsOrder): from a
// call to its return, from a generator's yield to its resumption, and on
// 3.10 across the recorded events of the functions a frame calls. Only
// orders that are listed are kept, so a frame whose names are bound in slot
// order costs one lookup in an empty table.
#pragma once

#include <cstddef>
#include <utility>

#include "format/frame_id_map.hpp"
#include "names/event_code.hpp"
#include "python/compat.hpp"

namespace zelm {

class LocalsOrders {
public:
    // The order the frame's previous recorded event left, to be brought up
    // to this event and then handed back with put_back. Unlisted when none
    // is kept for the frame, or the one kept is another frame's: made for
    // other code, or found by a frame `starting` at the address of one that
    // ended unseen.
    compat::LocalsOrder& take(PyObject* frame, PyObject* code, bool starting) {
        current_.listed = false;
        const std::uintptr_t key = frame_key(frame);
        compat::LocalsOrder* kept = kept_.find(key);
        if (kept == nullptr) return current_;
        if (kept->code == code && !starting) std::swap(current_, *kept);
        // Out of the table while the event reads it: an event that fails
        // leaves the frame with no order rather than a stale one.
        kept_.erase(key);
        return current_;
    }

    // Keeps the order taken for the frame's next event if it is listed and
    // `again` (the frame has another event to come).
    void put_back(PyObject* frame, PyObject* code, bool again) {
        if (!again || !current_.listed) return;
        // Generators left suspended and collected on another thread are
        // never seen to end: past this many frames, new ones are shown in
        // slot order.
        if (kept_.size() >= kMaxKept) return;
        compat::LocalsOrder& kept = kept_.entry(frame_key(frame));
        std::swap(kept, current_);
        kept.code = code;
    }

private:
    static constexpr std::size_t kMaxKept = std::size_t{1} << 16;
    FrameMap<compat::LocalsOrder> kept_;
    compat::LocalsOrder current_;  // the event's; its room is reused from event to event
};

}  // namespace zelm
