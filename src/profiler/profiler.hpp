// The one native object: configuration read once, buffers, per-thread state.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "filters/finder.hpp"
#include "names/event_code.hpp"
#include "names/qualname.hpp"
#include "plugins/plugins.hpp"
#include "profiler/error_log.hpp"
#include "profiler/record_arena.hpp"
#include "profiler/thread_state.hpp"
#include "profiler/trace_tail.hpp"
#include "python/python.hpp"

namespace zelm {

using ThreadBuffers = std::unordered_map<std::uint64_t, RecordArena>;

struct HostFacts;

// What a document build took out of the buffers; handed back on a failed save.
struct TakenRecords {
    // The first part of each buffer.
    RecordArena frames_of_interest;
    ThreadBuffers frames;
    // The last part of each buffer that has one, with what was dropped before it.
    std::unordered_map<BufferKey, TakenTail> tails;
    // The bytes of every taken record.
    std::uint64_t recorded_bytes = 0;
};

// Made by new_from_python and owned by the Python ZelmProfiler object; every
// method is called with the GIL held. The record buffers and the locks that
// guard them are private: events file into them, a build or a save takes
// them out, a fork waits for their holders.
class ZelmProfiler {
public:
    // Listed in the process's registry of profilers while alive (see the fork handlers).
    ZelmProfiler();
    ~ZelmProfiler();
    ZelmProfiler(const ZelmProfiler&) = delete;
    ZelmProfiler& operator=(const ZelmProfiler&) = delete;

    // Reads the host profiler object and its config once. Throws PyErrorSet
    // or InternalError; nothing is installed by it.
    static std::unique_ptr<ZelmProfiler> new_from_python(PyObject* host);

    // The per-event handler. Called with the GIL held; never raises.
    // `may_unwind`: a "return" that may be the frame being left by an
    // exception; its record is then kept ready for record_exception.
    // `arg` is borrowed: the interpreter holds it for as long as the hook runs.
    void profile(PyObject* frame, PyObject* arg, Event event, bool may_unwind = false);
    // Whether the event is one `profile` would do nothing for, decided from
    // this thread's caches alone: a frame whose file the filters leave out
    // and whose function no plugin watches. It then does what `profile`
    // does for such an event (the thread stops waiting for an unwind) and
    // touches no Python state, so the hook needs no guard around it.
    bool skips_known_filtered(PyObject* frame);

    // Files the "exception" record of the frame `left` (a frame key) right
    // after its "return" record, when that return was this thread's last
    // event; otherwise does nothing. `exception` is the exception that left
    // it, or null when it could not be read. `frame` is the frame now
    // running, for the warning of a failure. Called with the GIL held from
    // the hooks that see the exception; never raises.
    void record_exception(PyObject* frame, std::uintptr_t left, PyObject* exception);
    // The frame key of the return that waits for its exception, if any.
    std::optional<std::uintptr_t> awaited_unwind() {
        ThreadState* state = threads.get();
        return state != nullptr && state->unwound ? std::optional(state->unwound->frame) : std::nullopt;
    }
    // Before 3.12 the hook sees no exception at a generator's or coroutine's
    // unwind, and a close (GeneratorExit thrown in at its yield) unwinds it
    // as a raise into C code does (asyncio's Task step). The thread's first
    // traced event after each resume tells them apart: a thrown exception is
    // raised in the resumed frame before anything else happens.
    // Whether this thread's last event was the recorded call or resume of a
    // generator's or coroutine's frame, whose next traced event is awaited.
    bool awaits_resume_check() {
        ThreadState* state = threads.get();
        return state != nullptr && state->resumed.has_value();
    }
    // That next traced event, in `frame`; `thrown` is the type of the
    // exception it shows raised there, null for any other event. Never raises.
    void check_resume(PyObject* frame, PyObject* thrown);

    // The trace document as bytes; empties both buffers.
    PyRef build_trace_inner();
    // Builds the document and stores it through zelm.db.save_trace_in_sqlite.
    void save_in_db();

    // The calling thread's call stack, for a thread the profiler is
    // unregistered from (see PerThreadStates::take_call_stack).
    std::vector<CallFrame> take_call_stack() { return threads.take_call_stack(); }
    // Thread `serial`'s slot, taken out as its thread ends (null: none). On
    // the ending thread itself, a hook found replaced is noted first: the
    // thread's last chance to say why its records stop.
    std::unique_ptr<ThreadState> take_thread_slot(std::uint64_t serial);

    // ---- the hook changing hands (hook_changes.cpp) ----
    // Another profile function may take the place of zelm's on a thread
    // (sys.setprofile, cProfile before 3.12); zelm gets no event then. It
    // says so at the next build or save, and again at each one after that,
    // until the profiler object is handed back to sys.setprofile.

    // The Python object that owns this profiler (borrowed), the object a
    // thread's profile hook holds while it is zelm's.
    void set_python_object(PyObject* object) { python_object = object; }
    // The calling thread's hook has just been made this profiler's.
    void hook_installed();
    // What a thread does when the profiler object, given to sys.setprofile,
    // gets its next event: take up recording again where its hook was
    // replaced (the hand-back is noted), join as a new thread (only with
    // "threading"), or stay unrecorded (zelm let go of the thread itself).
    enum class HandBack { resume, join, refuse };
    HandBack hand_back();
    // Notes every thread that recorded something and whose hook is no
    // longer zelm's, in its own records. With the GIL held; runs no Python
    // code and never fails short of memory.
    void note_replaced_hooks();

    // Every lock of the profiler, taken before a fork (in a deadlock-free
    // way, whatever order their holders use) and let go on both sides.
    void lock_for_fork();
    void unlock_after_fork();

    // The Python objects that can hold the profiler in a reference cycle:
    // the plugins' callables and contexts and the frames of calls still on
    // a thread's stack. For the garbage collector; called with the GIL held.
    int visit_references(visitproc visit, void* arg);
    void clear_references();

private:
    PyObject* python_object = nullptr;
    std::string db_path;

    std::mutex trace_id_mutex;
    std::string trace_id;

    // The buffers' huge-page blocks, kept from one trace for the next.
    std::shared_ptr<BlockPool> block_pool = std::make_shared<BlockPool>();

    std::mutex frames_of_interest_mutex;
    RecordArena frames_of_interest{block_pool};

    std::mutex frames_mutex;
    ThreadBuffers frames;

    // The budget of one trace, in encoded bytes of filed records (nullopt:
    // none). A quarter of it is the tail's: once the other three quarters
    // are filed, records go to the tail, which keeps the newest of them.
    std::optional<std::uint64_t> trace_budget_bytes;
    std::uint64_t head_budget_bytes = 0;
    // The bytes filed before the tail took over. Added to while one buffer
    // lock is held, reset with both held; read without a lock at filing.
    std::atomic<std::uint64_t> trace_bytes{0};
    // Set with a budget; guarded by tail_mutex, taken after the buffer locks.
    std::mutex tail_mutex;
    std::optional<TraceTail> tail;

    std::vector<Finder> include_frames;
    std::vector<Finder> ignore_frames;

    // Guards the processors' frame ids, shared by every thread; held only
    // while one is read or written, never while Python code runs. The rest of
    // the table (names, callables, contexts) never changes after construction.
    std::mutex plugins_mutex;
    PluginTable plugins;

    PerThreadStates threads;

    // Where 3.10's qualified names find methods (see qualname.hpp); with the GIL held.
    StaticLookupCache static_lookups;
    // The codes whose failure has been logged; with the GIL held.
    LoggedCodes logged_failures;

    std::string source;
    // The trace of the process that started this one (a forked or spawned
    // child's), written into every document; none for a trace of its own.
    std::optional<std::string> parent_trace_id;
    std::optional<std::uint64_t> main_thread_id;
    double timestamp = 0;
    std::uint64_t sqlite_busy_timeout = 60;
    bool one_trace_per_test = false;
    bool threading = false;
    bool lightweight_repr = false;

    // Files one event's records (see buffers.cpp). Throws PyErrorSet on failure.
    void push_frames(Event event, RecordBatch& batch, ThreadState& state);

    const ThreadIdentity& identity(ThreadState& state);

    // Files the batch's records [first, last) in one go.
    void push_frame_data(std::optional<std::uint64_t> thread_id, const RecordBatch& batch,
                         std::size_t first, std::size_t last);
    void open_test_trace();
    TakenRecords take_records();
    void restore_records(TakenRecords taken);
    // restore_records with the pending Python error kept as it is.
    void restore_records_keeping_error(TakenRecords taken);
    // Whether the pending save failure says the store wrote the document
    // to a file instead of the database.
    bool store_kept_document();
    // `release`: each block of records is let go once copied into the
    // document, which then holds the only copy of them.
    PyRef write_document(TakenRecords& taken, const HostFacts& facts, bool release);
    // Both read the name's text only when their per-thread cache does not
    // know the name object.
    bool should_record(PyObject* frame, PyObject* filename_object, ThreadState& state);
    // The processors registered for this function name, or null.
    std::vector<PluginProcessor>* processors_for(PyObject* name_object, ThreadState& state);
    // Runs the processors registered for the event's function name and adds
    // their records to `batch`. Each processor's failure is logged and costs
    // only that processor's record.
    void process_plugins(std::vector<PluginProcessor>& processors, const EventCode& code,
                         ThreadState& state, RecordBatch& batch);
    void record_frame(const EventCode& code, RecordBatch& batch, ThreadState& state, bool may_unwind);

    // Whether a thread's profile hook object is this profiler's: the object
    // itself, or its register_threading_profiler method.
    bool is_own_hook(PyObject* hook_object) const;
    // Files one "profile_hook" record in the thread's records, outside the budget.
    void file_hook_note(const ThreadIdentity& thread, const Record& record);
};

}  // namespace zelm
