// The kinds of event the profiler records. The kind is
// decided once, in the hook, and compared as an enum from there on; its text
// is made only where a record or a log message is written (the trace reader
// compares record types with the same texts).
#pragma once

#include <cstdint>
#include <string_view>

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

}  // namespace zelm
