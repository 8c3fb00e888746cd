// The current Python thread's identity and the user-code call site of a frame.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "format/ulid.hpp"
#include "names/line_cache.hpp"
#include "python/python.hpp"

namespace zelm {

struct ThreadIdentity {
    std::string name;
    std::optional<std::uint64_t> native_id;
};

// A recorded call that has not returned yet: its frame and its frame id.
struct CallFrame {
    PyRef frame;
    FrameId id;
    // Of a generator's or coroutine's frame: this resume may be its close
    // (GeneratorExit thrown in at its yield), as far as the thread has seen.
    bool may_be_closing = true;
};

// threading.current_thread()'s "name" and "native_id" (absent when missing
// or None). Throws PyErrorSet.
ThreadIdentity current_thread();

struct CallSite {
    FrameId call_frame_id;
    std::int32_t line_number;
};

// The newest recorded call other than the frame being recorded, with the
// line it is executing now. Looks at the two newest entries only, so the
// caller passes its stack as it is instead of a copy. Throws PyErrorSet.
std::optional<CallSite> user_code_call_site(const std::vector<CallFrame>& call_frames,
                                            const std::optional<FrameId>& frame_id, LineCache& lines);

}  // namespace zelm
