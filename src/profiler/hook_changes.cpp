// When another profile function takes the place of zelm's on a thread, and
// when the profiler object is handed back to sys.setprofile.
//
// Nothing here runs on the event path: a replaced hook gets no events, so
// it is looked for when a trace is built or saved, when a test's trace ends
// and when the thread ends. A slot's `hook` is changed with the GIL held,
// on its thread or by such a look at every thread.
#include <algorithm>
#include <utility>

#include "format/ulid.hpp"
#include "profiler/profiler.hpp"
#include "python/compat.hpp"

namespace zelm {
namespace {

enum class HookChange { replaced, restored };

// What stands in zelm's place, named without running any of its code: a
// function's qualified name, a C function's name, else its type's name
// (cProfile's hook object is an "_lsprof.Profiler"). Empty for no hook.
std::optional<std::string> describe_hook(PyObject* hook_object) {
    if (hook_object == nullptr) return std::nullopt;
    PyObject* function = PyMethod_Check(hook_object) ? PyMethod_GET_FUNCTION(hook_object) : hook_object;
    PyObject* name = nullptr;
    if (PyFunction_Check(function)) {
        name = reinterpret_cast<PyFunctionObject*>(function)->func_qualname;
    } else if (PyCFunction_Check(function)) {
        return std::string(reinterpret_cast<PyCFunctionObject*>(function)->m_ml->ml_name);
    }
    if (name != nullptr && PyUnicode_Check(name)) {
        Py_ssize_t size = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(name, &size)) {
            return std::string(text, static_cast<std::size_t>(size));
        }
        PyErr_Clear();  // a name with a lone surrogate
    }
    return std::string(Py_TYPE(function)->tp_name);
}

// A record shaped like a plugin record, filed in the thread's own records.
//   fixmap(8) "type" "profile_hook" | "change" "replaced"/"restored" |
//   "hook" str/nil | "frame_id" nil | "thread" str | "thread_native_id" uint/nil |
//   "timestamp" f64 | "user_code_call_site" nil
// "hook" is what was found in zelm's place (nil: no hook, or a restored one).
Record hook_record(HookChange change, const std::optional<std::string>& hook, const ThreadIdentity& thread) {
    using namespace msgpack;
    Record record;
    write_map_header(record, 8);
    write_str_pair(record, "type", "profile_hook");
    write_str_pair(record, "change", change == HookChange::replaced ? "replaced" : "restored");
    write_str_pair(record, "hook", hook ? std::optional<std::string_view>(*hook) : std::nullopt);
    write_str_pair(record, "frame_id", std::nullopt);
    write_str_pair(record, "thread", thread.name);
    write_int_pair(record, "thread_native_id", thread.native_id);
    write_f64_pair(record, "timestamp", timestamp());
    write_str(record, "user_code_call_site");
    write_nil(record);
    return record;
}

}  // namespace

bool ZelmProfiler::is_own_hook(PyObject* hook_object) const {
    if (hook_object == nullptr) return false;
    return hook_object == python_object ||
           (PyCFunction_Check(hook_object) && PyCFunction_GET_SELF(hook_object) == python_object);
}

void ZelmProfiler::file_hook_note(const ThreadIdentity& thread, const Record& record) {
    RecordBatch batch;
    batch.bytes = record;
    batch.close_record();
    push_frame_data(thread.native_id, batch, 0, 1);
}

void ZelmProfiler::hook_installed() {
    if (ThreadState* state = threads.find()) state->hook = HookState::installed;
}

ZelmProfiler::HandBack ZelmProfiler::hand_back() {
    ThreadState* state = threads.find();
    if (state == nullptr) return threading ? HandBack::join : HandBack::refuse;
    if (state->hook == HookState::let_go) return HandBack::refuse;
    // A thread that has recorded nothing needs no word about its gap.
    if (state->identity) file_hook_note(*state->identity, hook_record(HookChange::restored, std::nullopt, *state->identity));
    state->hook = HookState::installed;
    return HandBack::resume;
}

void ZelmProfiler::note_replaced_hooks() {
    struct Found {
        std::uint64_t thread_state_id;
        PyObject* hook_object;  // borrowed from the thread state; no Python code runs below
    };
    std::vector<Found> hooks;
    compat::for_each_profile_hook([&](std::uint64_t id, compat::ProfileHook hook) {
        hooks.push_back({id, hook.object});
    });
    std::vector<std::pair<ThreadIdentity, Record>> notes;
    threads.for_each([&](ThreadState& state) {
        if (state.hook == HookState::let_go || !state.identity) return;
        auto found = std::find_if(hooks.begin(), hooks.end(),
                                  [&](const Found& entry) { return entry.thread_state_id == state.thread_state_id; });
        if (found == hooks.end()) return;  // its thread is ending: take_thread_slot says it
        if (is_own_hook(found->hook_object)) {
            state.hook = HookState::installed;
            return;
        }
        state.hook = HookState::replaced;
        notes.emplace_back(*state.identity,
                           hook_record(HookChange::replaced, describe_hook(found->hook_object), *state.identity));
    });
    // Filed once the slots' lock is let go: filing takes the buffers' locks.
    for (const auto& [thread, record] : notes) file_hook_note(thread, record);
}

std::unique_ptr<ThreadState> ZelmProfiler::take_thread_slot(std::uint64_t serial) {
    std::unique_ptr<ThreadState> slot = threads.take(serial);
    if (slot && serial == this_thread_serial() && slot->hook != HookState::let_go && slot->identity) {
        PyObject* hook_object = compat::current_profile_hook().object;
        if (!is_own_hook(hook_object)) {
            file_hook_note(*slot->identity, hook_record(HookChange::replaced, describe_hook(hook_object), *slot->identity));
        }
    }
    return slot;
}

}  // namespace zelm
