// Plugin definitions from the host, grouped by the function name that selects them.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "profiler/thread_state.hpp"
#include "utils/finder.hpp"
#include "utils/python.hpp"

namespace zelm {

struct PluginProcessor {
    Finder path_fragment;
    std::string call_type;
    std::string return_type;
    std::optional<std::string> subtype;
    PyRef call;     // empty when the definition has none
    PyRef process;  // empty when the definition has none
    std::optional<std::vector<std::string>> events;
    PyRef context;  // one dict shared by every processor of a definition
    // Frame ids this processor gave at "call", found again at "return".
    std::unordered_map<std::uintptr_t, FrameId> frame_ids;
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

struct ZelmProfiler;

// The strings an event handler holds for the frame it is handling.
struct EventCode {
    PyObject* frame;
    PyObject* code;  // the frame's code object
    PyObject* arg;
    std::string_view event;
    std::string_view filename;
    std::string_view name;
    PyObject* filename_object;
    PyObject* name_object;
};

// Runs the processors registered for the event's function name, appending
// their records to `batch`. The plugin callables and the serializer run with
// no lock held, as they may wait for other threads; each processor's failure
// is logged and costs only that processor's record.
void process_plugins(ZelmProfiler& profiler, std::vector<PluginProcessor>& processors,
                     const EventCode& code, ThreadState& state, RecordBatch& batch);

}  // namespace zelm
