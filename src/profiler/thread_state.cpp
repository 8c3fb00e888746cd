// Per-thread slots: found without a lock by the event path, released when
// their thread ends.
#include "profiler/thread_state.hpp"

#include <atomic>

#include "profiler/registry.hpp"
#include "python/compat.hpp"

namespace zelm {
namespace {

std::atomic<std::uint64_t> g_next_thread_serial{1};
std::atomic<std::uint64_t> g_next_owner_serial{1};

// The id of this thread's Python thread state once its teardown has begun
// (0: none). Thread state ids are never reused, so a new thread state of
// the same OS thread (PyGILState_Ensure after a release) starts afresh.
thread_local std::uint64_t t_ending_thread_state = 0;
// The id of the thread state that carries this thread's end notice (0: none).
thread_local std::uint64_t t_watched_thread_state = 0;

// ---- the end notice ------------------------------------------------------------
//
// A small object stored in the thread state's dict (PyThreadState_GetDict)
// of every thread that has a slot. The interpreter clears that dict first
// when it tears the thread state down, on the thread itself and with the
// GIL held, so the notice's destructor is where the thread's slots are let
// go: promptly, and without ever touching Python from a C++ thread-exit
// handler. In a forked child the interpreter clears the states of the
// threads that were not copied the same way, from the forking thread.

struct ThreadEndNotice {
    PyObject_HEAD
    std::uint64_t thread_serial;
};

void notice_dealloc(PyObject* self) {
    std::uint64_t serial = reinterpret_cast<ThreadEndNotice*>(self)->thread_serial;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
    // At shutdown the interpreter clears the states of daemon threads that
    // may still be inside the hook, using their slots: those stay to the end.
    if (compat::interpreter_finalizing()) return;
    if (serial == this_thread_serial()) {
        // From here on the hook leaves this thread state alone.
        t_ending_thread_state = compat::thread_state_id();
        PerThreadStates::forget_this_thread();
    }
    release_thread_slots(serial);
}

PyType_Slot notice_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(notice_dealloc)},
    {0, nullptr},
};

PyType_Spec notice_spec = {
    "zelm._zelm._ThreadEndNotice", sizeof(ThreadEndNotice), 0, Py_TPFLAGS_DEFAULT, notice_slots,
};

// Puts an end notice into this thread state's dict, once per thread state.
// With the GIL held. A failure (out of memory) is dropped: the thread's
// slots then stay until the profiler dies, as they would without it.
void watch_thread_end() {
    std::uint64_t thread_state = compat::thread_state_id();
    if (t_watched_thread_state == thread_state) return;
    static PyObject* notice_type = nullptr;
    if (notice_type == nullptr) notice_type = PyType_FromSpec(&notice_spec);
    PyObject* dict = PyThreadState_GetDict();
    ThreadEndNotice* notice =
        notice_type != nullptr && dict != nullptr
            ? PyObject_New(ThreadEndNotice, reinterpret_cast<PyTypeObject*>(notice_type))
            : nullptr;
    if (notice == nullptr) {
        PyErr_Clear();
        return;
    }
    notice->thread_serial = this_thread_serial();
    PyRef owned = PyRef::steal(reinterpret_cast<PyObject*>(notice));
    if (PyDict_SetItem(dict, owned.get(), Py_None) < 0) {
        PyErr_Clear();
        return;
    }
    t_watched_thread_state = thread_state;
}

}  // namespace

std::uint64_t this_thread_serial() {
    thread_local const std::uint64_t serial = g_next_thread_serial.fetch_add(1);
    return serial;
}

// ---- per-thread slots ------------------------------------------------------------

thread_local PerThreadStates::Cache PerThreadStates::cache_;

PerThreadStates::PerThreadStates() : owner_serial_(g_next_owner_serial.fetch_add(1)) {}

ThreadState* PerThreadStates::get_slow() {
    // A thread whose Python state is being torn down gets no new slot: the
    // old ones were just released, and whatever still runs there is not
    // the program's work. (Thread state ids are never reused.)
    if (t_ending_thread_state != 0 && t_ending_thread_state == compat::thread_state_id()) return nullptr;
    ThreadState* state;
    {
        std::lock_guard lock(mutex_);
        auto& slot = states_[this_thread_serial()];
        if (!slot) {
            slot = std::make_unique<ThreadState>();
            slot->thread_state_id = compat::thread_state_id();
        }
        state = slot.get();
        cache_ = Cache{owner_serial_, state};
    }
    watch_thread_end();
    return state;
}

void PerThreadStates::forget_this_thread() { cache_ = Cache{}; }

ThreadState* PerThreadStates::find() {
    if (ThreadState* state = known()) return state;
    std::lock_guard lock(mutex_);
    auto found = states_.find(this_thread_serial());
    return found == states_.end() ? nullptr : found->second.get();
}

std::unique_ptr<ThreadState> PerThreadStates::take(std::uint64_t serial) {
    std::lock_guard lock(mutex_);
    auto found = states_.find(serial);
    if (found == states_.end()) return nullptr;
    std::unique_ptr<ThreadState> slot = std::move(found->second);
    states_.erase(found);
    return slot;
}

std::vector<CallFrame> PerThreadStates::take_call_stack() {
    std::lock_guard lock(mutex_);
    auto found = states_.find(this_thread_serial());
    if (found == states_.end()) return {};
    ThreadState& state = *found->second;
    state.hook = HookState::let_go;
    // Their ids go too: a later frame at one of these addresses is another call.
    for (const CallFrame& call : state.call_frames) state.frame_ids.erase(frame_key(call.frame.get()));
    return std::exchange(state.call_frames, {});
}

std::vector<std::vector<CallFrame>> PerThreadStates::take_call_stacks() {
    std::lock_guard lock(mutex_);
    std::vector<std::vector<CallFrame>> stacks;
    for (auto& [serial, state] : states_) stacks.push_back(std::exchange(state->call_frames, {}));
    return stacks;
}

}  // namespace zelm
