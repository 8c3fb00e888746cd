// Plugin definitions from the host, grouped by the function name that
// selects them, and the record one processor makes for one event. Knows the
// event path's types only: what becomes of a record (the budget, the
// buffers, the log of a failure) is the profiler's business.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "filters/finder.hpp"
#include "format/frame_id_map.hpp"
#include "format/ulid.hpp"
#include "names/event_code.hpp"
#include "names/thread_info.hpp"
#include "python/python.hpp"

namespace zelm {

struct PluginProcessor {
    Finder path_fragment;
    std::string call_type;
    std::string return_type;
    std::optional<std::string> subtype;
    PyRef call;     // empty when the definition has none
    PyRef process;  // empty when the definition has none
    // The definition's "events", read once: without it every event is taken.
    bool takes_calls = true;
    bool takes_returns = true;
    PyRef context;  // one dict shared by every processor of a definition
    // Frame ids this processor gave at "call", found again at "return".
    FrameIdMap frame_ids;
};

struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

using PluginTable =
    std::unordered_map<std::string, std::vector<PluginProcessor>, StringHash, std::equal_to<>>;

// Fetches the definitions from zelm.plugins.load_plugin_data(config) and checks them.
// Throws PyErrorSet (a malformed definition) or InternalError (a broken host contract).
PluginTable load_plugins(PyObject* config);

// One processor's record of one event, not serialised yet.
struct PluginRecord {
    PyRef data;        // a dict
    std::string type;  // data["type"]
    std::optional<FrameId> frame_id;
};

// Runs one processor on a call or return event; nullopt when it declines.
// `call_frames` is the thread's stack of recorded calls, for the record's
// call site, and `lines` the thread's line cache. `frame_ids_mutex` guards every processor's frame ids; it is
// held only while they are read or written, never while the callables run.
// May run arbitrary Python code. Throws PyErrorSet or InternalError.
std::optional<PluginRecord> run_processor(PluginProcessor& processor, const EventCode& code,
                                          const std::vector<CallFrame>& call_frames, LineCache& lines,
                                          std::mutex& frame_ids_mutex);

}  // namespace zelm
