// The records the event path writes field by field: a frame's and an
// exception's. The byte layout of each sits beside its writer.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "names/event_code.hpp"
#include "names/thread_info.hpp"
#include "profiler/thread_state.hpp"
#include "serializer/bridge.hpp"

namespace zelm {

// Each writer appends one record to `record`.

// The record of a call or a return; `arg` and `locals` go in unchanged.
void write_frame_record(Record& record, std::string_view path, std::string_view co_name,
                        const std::optional<std::string_view>& qualname, Event event,
                        const std::optional<FrameId>& frame_id, const EncodedValue& arg,
                        const EncodedValue& locals, const ThreadIdentity& thread,
                        const std::optional<CallSite>& call_site);

// The record of the exception that left `frame`; both optionals are empty
// when the exception could not be seen.
void write_exception_record(Record& record, const UnwoundFrame& frame,
                            const std::optional<std::string>& type_name,
                            const std::optional<EncodedValue>& exception, const ThreadIdentity& thread);

}  // namespace zelm
