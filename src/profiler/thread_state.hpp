// State that belongs to one OS thread of one profiler.
//
// Each slot is reached through a thread_local cache and touched only by its
// own thread, so the event path takes no lock for it. Slots are keyed by a
// per-process thread serial that is never reused, so a later thread can
// never inherit an earlier thread's call stack. A slot is released when its
// thread's Python state is torn down (see thread_state.cpp), or with the
// profiler; either way with the GIL held, which releases the frames it
// holds. The records a thread filed live in the profiler's buffers, not in
// its slot, and stay until they are built or saved.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "filters/filters.hpp"
#include "format/frame_id_map.hpp"
#include "format/msgpack.hpp"
#include "format/ulid.hpp"
#include "names/event_code.hpp"
#include "names/paths.hpp"
#include "names/qualname.hpp"
#include "names/thread_info.hpp"
#include "profiler/locals_orders.hpp"
#include "python/object_cache.hpp"
#include "python/python.hpp"

namespace zelm {

using Record = msgpack::Buffer;

// Whether a record is one of the test markers that cut the stream into one
// trace per test; nothing else of a record's "type" matters once it is written.
enum class Marker : std::uint8_t { none, start_test, end_test };

inline Marker marker_of(std::string_view type) {
    if (type == "start_test") return Marker::start_test;
    if (type == "end_test") return Marker::end_test;
    return Marker::none;
}

// One record of a batch: where its bytes are, and whether it is a marker.
struct BatchRecord {
    std::size_t begin;
    std::size_t end;
    Marker marker;
};

// One event's records: plugin records first, the frame record last. Their
// bytes are written back to back into one buffer that the thread reuses
// from event to event, so that a batch costs no allocation.
struct RecordBatch {
    msgpack::Buffer bytes;
    std::vector<BatchRecord> records;

    // Makes what was written to `bytes` since the last record one record.
    void close_record(Marker marker = Marker::none) {
        std::size_t begin = records.empty() ? 0 : records.back().end;
        records.push_back(BatchRecord{begin, bytes.size(), marker});
    }
    std::span<const std::uint8_t> bytes_of(const BatchRecord& record) const {
        return {bytes.data() + record.begin, record.end - record.begin};
    }
    void clear() {
        // The buffer of an event with a huge value is not kept for the thread's life.
        if (bytes.capacity() > kKeptCapacity) {
            bytes = msgpack::Buffer();
        } else {
            bytes.clear();
        }
        records.clear();
    }

private:
    static constexpr std::size_t kKeptCapacity = 1024 * 1024;
};

// Filter decisions that depend only on the file name, cached per code file
// name object. The cache holds a reference to each name, so an address is
// never reused for another text while its entry exists.
struct FileFilterDecision {
    PyRef filename;
    bool included = false;
    bool ignored = false;  // a built-in or user ignore test holds on the name itself
};

struct PluginProcessor;

// The plugin processors registered for a function name (null: none), cached
// per name object like the filter decisions. The plugin table never gains or
// loses names after construction, so the answer never goes stale.
struct NameProcessors {
    PyRef name;
    std::vector<PluginProcessor>* processors = nullptr;
};

// The "__name__" a module's globals dict held when it had the version tag:
// while the tag is the same, the dict is the same (tags are never reused)
// and still holds the name.
struct GlobalsModuleName {
    PyObject* globals = nullptr;
    std::uint64_t version = 0;
    PyObject* name = nullptr;  // borrowed from the dict
};

// A recorded frame whose "return" may have been an unwind: kept from its
// return event until the exception that left it is read (or the thread's
// next event shows that none did).
struct UnwoundFrame {
    std::uintptr_t frame = 0;  // frame_key of the returning frame
    std::optional<FrameId> frame_id;
    std::string path;
    std::string co_name;
    bool generator = false;  // a generator's, coroutine's or async generator's frame
    bool may_be_closing = false;  // of a generator frame: its resume may have been its close
};

// Whether the profiler's hook is on the slot's thread, as far as the
// profiler knows without looking (see hook_changes.cpp).
enum class HookState : std::uint8_t {
    installed,  // installed by zelm, or events came through it
    replaced,   // found replaced by someone else's profile function (or none)
    let_go,     // zelm itself put another hook in its place: not recorded on purpose
};

struct ThreadState {
    // The Python thread state the slot was made on (its id), where the
    // thread's hook is found.
    std::uint64_t thread_state_id = 0;
    HookState hook = HookState::installed;
    std::vector<CallFrame> call_frames;
    std::optional<UnwoundFrame> unwound;
    // The recorded generator or coroutine frame (its key) just called or
    // resumed, until the thread's next traced event tells whether the
    // resume was its close.
    std::optional<std::uintptr_t> resumed;
    FrameIdMap frame_ids;
    LocalsOrders locals_orders;
    std::optional<ThreadIdentity> identity;
    ObjectCache<FileFilterDecision> filter_cache;
    CallerFiles caller_files;  // for the attrs test, keyed by the caller's file name object
    LocationCache locations;  // keyed by the code's file name object
    LineCache lines;
    ObjectCache<NameProcessors> plugin_cache;
    ObjectCache<GlobalsModuleName> module_names;  // keyed by the globals dict
    DottedNameCache dotted_names;
    std::string qualname;  // the event's qualified name, its room kept from event to event
    RecordBatch batch;
};

// A returning frame leaves the thread's bookkeeping when its event ends,
// whether or not its record could be written: its id is never looked up
// again, and it comes off the stack if it is on top. A frame whose call was
// never pushed must not take its caller's entry with it, and one whose
// return failed must not stay on top as the call site of later calls.
class LeaveOnReturn {
public:
    LeaveOnReturn(ThreadState& state, PyObject* frame, bool active)
        : state_(state), frame_(frame), active_(active) {}
    LeaveOnReturn(const LeaveOnReturn&) = delete;
    LeaveOnReturn& operator=(const LeaveOnReturn&) = delete;
    ~LeaveOnReturn() {
        if (!active_ || !gil_held_here()) return;
        state_.frame_ids.erase(frame_key(frame_));
        if (!state_.call_frames.empty() && state_.call_frames.back().frame.get() == frame_) {
            // The eval loop still holds the returning frame: this release never frees it.
            state_.call_frames.pop_back();
        }
    }

private:
    ThreadState& state_;
    PyObject* frame_;
    bool active_;
};

// This thread's serial number: unique in the process, never reused.
std::uint64_t this_thread_serial();

class PerThreadStates {
public:
    PerThreadStates();
    // The calling thread's slot, created on first use; null while the
    // thread's Python state is torn down (its slots are released then).
    ThreadState* get() {
        if (cache_.owner == owner_serial_) return cache_.state;
        return get_slow();
    }
    // The calling thread's slot when the cache already knows it, else null;
    // never creates one and touches nothing of Python's.
    ThreadState* known() const { return cache_.owner == owner_serial_ ? cache_.state : nullptr; }
    // The calling thread's slot if it has one (null: none); never creates one.
    ThreadState* find();

    // Guards the map of slots (never a slot itself).
    std::mutex& mutex() { return mutex_; }

    // Takes thread `serial`'s slot out (null when it has none). With the
    // GIL held; the caller destroys it outside any lock.
    std::unique_ptr<ThreadState> take(std::uint64_t serial);
    // Drops the calling thread's cached slot, which is being released.
    static void forget_this_thread();
    // The calling thread's call stack, taken out of its slot with the ids
    // of those calls, for a thread the profiler is unregistered from (its
    // hook is then let go). The caller lets the frames go outside any lock.
    std::vector<CallFrame> take_call_stack();
    // Every thread's call stack, taken out the same way.
    std::vector<std::vector<CallFrame>> take_call_stacks();

    // Every thread's slot; used by the garbage collector's walk, with the GIL held.
    template <typename Visit>
    void for_each(Visit&& visit) {
        std::lock_guard lock(mutex_);
        for (auto& entry : states_) visit(*entry.second);
    }

private:
    struct Cache {
        std::uint64_t owner = 0;
        ThreadState* state = nullptr;
    };
    ThreadState* get_slow();

    static thread_local Cache cache_;
    std::uint64_t owner_serial_;
    std::mutex mutex_;  // guards the map only; a slot itself is lock-free
    std::unordered_map<std::uint64_t, std::unique_ptr<ThreadState>> states_;
};

}  // namespace zelm
