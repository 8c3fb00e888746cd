// The per-event handler: plugins, filters, the frame record.
#include <unistd.h>

#include <climits>

#include "filters/filters.hpp"
#include "profiler/profiler.hpp"
#include "utils/compat.hpp"
#include "utils/qualname.hpp"
#include "utils/serialize.hpp"
#include "utils/thread_info.hpp"

namespace zelm {
namespace {

// `filename` relative to `directory` when it lies inside it, compared by
// whole path components (empty and "." components are skipped, as a path
// library would); otherwise nullopt.
std::optional<std::string_view> relative_to(std::string_view filename, std::string_view directory) {
    auto next_component = [](std::string_view& path) {
        while (true) {
            while (!path.empty() && path.front() == '/') path.remove_prefix(1);
            std::size_t end = path.find('/');
            std::string_view component = path.substr(0, end);
            path.remove_prefix(component.size());
            if (component != ".") return component;
        }
    };
    // An absolute directory only ever contains absolute paths.
    if (directory.empty() || filename.empty() || (directory.front() == '/') != (filename.front() == '/')) {
        return std::nullopt;
    }
    std::string_view rest = filename;
    std::string_view base = directory;
    while (true) {
        std::string_view wanted = next_component(base);
        if (wanted.empty()) break;
        if (next_component(rest) != wanted) return std::nullopt;
    }
    // What is left starts at the next real component.
    while (true) {
        while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
        if (rest != "." && !rest.starts_with("./")) return rest;
        rest.remove_prefix(1);
    }
}

// "<path relative to the working directory>:<line>"; a working directory
// that cannot be read (removed under us) leaves the file name unchanged.
std::string location(std::string_view filename, std::uint64_t line) {
    char directory[PATH_MAX];
    std::string_view path = filename;
    if (getcwd(directory, sizeof directory) != nullptr) {
        path = relative_to(filename, directory).value_or(filename);
    }
    std::string text;
    text.reserve(path.size() + 21);
    text.append(path);
    text.push_back(':');
    text.append(std::to_string(line));
    return text;
}

// Locals as recorded: a dict without "__builtins__", never written back
// into the frame's own dict.
PyRef recorded_locals(PyObject* frame) {
    compat::LocalsDict locals = compat::frame_locals_dict(frame);
    PyObject* builtins = PyDict_GetItemWithError(locals.dict.get(), names().builtins_key);
    if (builtins == nullptr) {
        if (PyErr_Occurred()) {
            PyErr_Clear();
            throw InternalError("locals.get(\"__builtins__\") should not raise.");
        }
        return std::move(locals.dict);
    }
    PyRef recorded = locals.snapshot ? std::move(locals.dict) : require(PyDict_Copy(locals.dict.get()));
    require_status(PyDict_DelItem(recorded.get(), names().builtins_key));
    return recorded;
}

// str() of the frame's module name. A name that cannot be printed fails the
// event like any other unreadable part of the record.
std::string module_name_text(PyObject* frame) {
    PyRef globals = compat::frame_globals(frame);
    PyRef module_name = require(PyObject_GetItem(globals.get(), names().dunder_name));
    PyRef text = require(PyObject_Str(module_name.get()));
    return std::string(Utf8(text.get()).view());
}

std::optional<std::string> qualified_name(PyObject* frame, PyObject* code, StaticLookupCache& static_lookups) {
    const Names& n = names();
    if (PyObject* qualname = compat::code_qualname(code)) {
        std::string qualified = module_name_text(frame);
        qualified.push_back('.');
        qualified.append(Utf8(qualname).view());
        return qualified;
    }
    PyObject* name = compat::code_name(code);
    if (PyUnicode_Compare(name, n.module_code_name) == 0) {
        std::string qualified = module_name_text(frame);
        qualified.append(".<module>");
        return qualified;
    }
    try {
        return get_qualname_inner(frame, name, static_lookups);
    } catch (const PyErrorSet&) {
        // An inference that fails just leaves the name out.
        discard_error();
        return std::nullopt;
    }
}

// The entries every record of the profiler's own ends with, in this order:
// "thread" str | "thread_native_id" uint/nil | "timestamp" f64 | "type" str
void write_thread_time_type(Record& record, const ThreadIdentity& thread, std::string_view type) {
    using namespace msgpack;
    write_str(record, "thread");
    write_str(record, thread.name);
    write_int_pair(record, "thread_native_id", thread.native_id);
    write_f64_pair(record, "timestamp", timestamp());
    write_str(record, "type");
    write_str(record, type);
}

// The 12-entry frame record.
//   fixmap(12) "path" str | "co_name" str | "qualname" str/nil | "event" str |
//   "frame_id" str/nil | "arg" raw | "locals" raw | "thread" str |
//   "thread_native_id" uint/nil | "timestamp" f64 | "type" "frame" |
//   "user_code_call_site" nil / {"call_frame_id": str, "line_number": int}
Record write_frame_record(std::string_view path, std::string_view co_name,
                          const std::optional<std::string>& qualname, std::string_view event,
                          const std::optional<FrameId>& frame_id, const EncodedValue& arg,
                          const EncodedValue& locals,
                          const ThreadIdentity& thread, const std::optional<CallSite>& call_site) {
    using namespace msgpack;
    Record record;
    record.reserve(256 + path.size() + arg.bytes().size() + locals.bytes().size());
    write_map_header(record, 12);
    write_str(record, "path");
    write_str(record, path);
    write_str(record, "co_name");
    write_str(record, co_name);
    write_str_pair(record, "qualname",
                   qualname ? std::optional<std::string_view>(*qualname) : std::nullopt);
    write_str(record, "event");
    write_str(record, event);
    write_str_pair(record, "frame_id",
                   frame_id ? std::optional<std::string_view>(frame_id->view()) : std::nullopt);
    write_raw_pair(record, "arg", arg.bytes());
    write_raw_pair(record, "locals", locals.bytes());
    write_thread_time_type(record, thread, "frame");
    write_str(record, "user_code_call_site");
    if (call_site) {
        write_map_header(record, 2);
        write_str(record, "call_frame_id");
        write_str(record, call_site->call_frame_id.view());
        write_str(record, "line_number");
        write_int(record, call_site->line_number);
    } else {
        write_nil(record);
    }
    return record;
}

// The exception record, filed right after the "return" record of a frame
// left by an exception, with that frame's id so that a reader pairs them.
//   fixmap(9) "path" str | "co_name" str | "frame_id" str/nil |
//   "exception_type" str/nil | "exception" raw/nil | "thread" str |
//   "thread_native_id" uint/nil | "timestamp" f64 | "type" "exception"
// "exception" is the exception serialised like any value (its repr);
// both are nil when the interpreter did not let us see the exception.
Record write_exception_record(const UnwoundFrame& frame, const std::optional<std::string>& type_name,
                              const std::optional<EncodedValue>& exception, const ThreadIdentity& thread) {
    using namespace msgpack;
    Record record;
    record.reserve(192 + frame.path.size() + (exception ? exception->bytes().size() : 0));
    write_map_header(record, 9);
    write_str(record, "path");
    write_str(record, frame.path);
    write_str(record, "co_name");
    write_str(record, frame.co_name);
    write_str_pair(record, "frame_id",
                   frame.frame_id ? std::optional<std::string_view>(frame.frame_id->view()) : std::nullopt);
    write_str_pair(record, "exception_type",
                   type_name ? std::optional<std::string_view>(*type_name) : std::nullopt);
    write_str(record, "exception");
    if (exception) {
        write_raw(record, exception->bytes());
    } else {
        write_nil(record);
    }
    write_thread_time_type(record, thread, "exception");
    return record;
}

// "module.QualName" of the exception's type, the module left out for
// builtins; the C type name when the attributes cannot be read as text.
std::string exception_type_name(PyObject* exception) {
    const Names& n = names();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
    PyRef module = PyRef::steal(PyObject_GetAttr(type, n.dunder_module));
    PyRef qualname = module ? PyRef::steal(PyObject_GetAttr(type, n.dunder_qualname)) : PyRef();
    if (!qualname || !PyUnicode_Check(module.get()) || !PyUnicode_Check(qualname.get())) {
        if (PyErr_Occurred()) discard_error();
        return Py_TYPE(exception)->tp_name;
    }
    Utf8 module_text(module.get());
    Utf8 qualname_text(qualname.get());
    if (module_text.view() == "builtins") return std::string(qualname_text.view());
    std::string name(module_text.view());
    name.push_back('.');
    name.append(qualname_text.view());
    return name;
}

// Whether the code is a generator's, a coroutine's or an async generator's.
bool resumable_code(PyObject* code) {
    constexpr int flags = CO_GENERATOR | CO_COROUTINE | CO_ASYNC_GENERATOR;
    return (reinterpret_cast<PyCodeObject*>(code)->co_flags & flags) != 0;
}

// Runs one event's work; a failure is logged once with `code` as it stands
// then, and the event's records are dropped. Never raises.
template <typename Body>
void logging_failures(const EventCode& code, Body&& body) {
    try {
        body();
    } catch (const PyErrorSet&) {
        log_pending_error(code);
    } catch (const InternalError& error) {
        log_internal_error(error, code);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        log_pending_error(code);
    }
}

}  // namespace

bool ZelmProfiler::should_record(PyObject* frame, PyObject* filename_object,
                                 std::string_view filename, ThreadState& state) {
    FileFilterDecision& decision = cache_slot(state.filter_cache, filename_object);
    if (decision.filename.get() != filename_object) {
        decision.included = any_matches(include_frames, filename);
        decision.ignored = ignored_by_file_name(filename, ignore_frames);
        decision.filename = PyRef::borrow(filename_object);
    }
    if (decision.included) return true;
    if (decision.ignored) return false;
    return !called_from_attrs(frame);
}

namespace {

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

}  // namespace

std::vector<PluginProcessor>* ZelmProfiler::processors_for(PyObject* name_object, std::string_view name,
                                                            ThreadState& state) {
    if (plugins.empty()) return nullptr;
    NameProcessors& entry = cache_slot(state.plugin_cache, name_object);
    if (entry.name.get() != name_object) {
        auto found = plugins.find(name);
        entry.processors = found == plugins.end() ? nullptr : &found->second;
        entry.name = PyRef::borrow(name_object);
    }
    return entry.processors;
}

namespace {

// The event's frame id: a new one at a call, remembered for its return; the
// remembered one at a return (none when its call was not seen).
std::optional<FrameId> event_frame_id(ThreadState& state, PyObject* frame, bool is_call, bool is_return) {
    if (is_call) {
        FrameId id = zelm::frame_id();
        state.frame_ids.insert_or_assign(frame_key(frame), id);
        return id;
    }
    if (is_return) {
        auto found = state.frame_ids.find(frame_key(frame));
        if (found != state.frame_ids.end()) return found->second;
    }
    return std::nullopt;
}

}  // namespace

void ZelmProfiler::record_frame(const EventCode& code, RecordBatch& batch, ThreadState& state,
                                bool may_unwind) {
    PyObject* frame = code.frame;
    bool is_call = code.event == "call";
    bool is_return = code.event == "return";
    LeaveOnReturn leave(state, frame, is_return);

    if (drops_records(batch, code.event)) {
        // Nothing of the frame is read or serialised, but its call stays on
        // the stack with its id, so that calls and returns still pair up
        // (also in the next trace, where the budget starts afresh).
        std::optional<FrameId> frame_id = event_frame_id(state, frame, is_call, is_return);
        if (is_call) state.call_frames.push_back(CallFrame{PyRef::borrow(frame), *frame_id});
        drop_event(code, state, frame_id);
        if (is_return && may_unwind) {
            // So that the exception record it may raise is counted as dropped too.
            state.unwound = UnwoundFrame{frame_key(frame), frame_id, {}, std::string(code.name), resumable_code(code.code)};
        }
        return;
    }
    const ThreadIdentity& thread = identity(state);

    int line = compat::frame_line(frame);
    if (line < 0) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
        throw PyErrorSet{};
    }
    std::string path = location(code.filename, static_cast<std::uint64_t>(line));
    std::optional<std::string> qualname = qualified_name(frame, code.code, static_lookups);
    PyRef locals = recorded_locals(frame);

    std::optional<FrameId> frame_id = event_frame_id(state, frame, is_call, is_return);

    std::optional<CallSite> call_site = user_code_call_site(state.call_frames, frame_id);
    EncodedValue arg = dump_value(code.arg, lightweight_repr);
    EncodedValue locals_bytes = dump_value(locals.get(), lightweight_repr);

    if (is_call) state.call_frames.push_back(CallFrame{PyRef::borrow(frame), *frame_id});

    batch.records.push_back(write_frame_record(path, code.name, qualname, code.event, frame_id,
                                               arg, locals_bytes, thread, call_site));
    batch.types.emplace_back("frame");
    if (is_return && may_unwind) {
        state.unwound = UnwoundFrame{frame_key(frame), frame_id, std::move(path), std::string(code.name),
                                     resumable_code(code.code)};
    }
}

void ZelmProfiler::record_exception(PyObject* frame, std::uintptr_t left, PyObject* exception) {
    ThreadState* slot = threads.get();
    if (slot == nullptr) return;  // this thread is being torn down
    ThreadState& state = *slot;
    if (!state.unwound || state.unwound->frame != left) return;
    UnwoundFrame unwound = std::move(*state.unwound);
    state.unwound.reset();
    // A suspended generator or coroutine that is closed (GeneratorExit
    // thrown in at its yield) ends normally, as one that runs to its end
    // does: neither is reported as raising. Without the exception (before
    // 3.12, when no Python caller saw it) a generator's unwind is such a
    // close: the one that raises into a Python caller is seen there.
    if (unwound.generator && (exception == nullptr || PyErr_GivenExceptionMatches(exception, PyExc_GeneratorExit))) {
        return;
    }
    if (trace_budget_bytes && trace_bytes.load(std::memory_order_relaxed) >= *trace_budget_bytes) {
        // Past the trace's budget: counted, never serialised.
        dropped_events.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    EventCode code{frame, nullptr, exception ? exception : Py_None, "exception", {}, {}, Py_None, Py_None};
    PyRef code_object;
    logging_failures(code, [&] {
        code_object = compat::frame_code(frame);
        code.filename_object = compat::code_filename(code_object.get());
        code.name_object = compat::code_name(code_object.get());
        const ThreadIdentity& thread = identity(state);
        std::optional<std::string> type_name;
        std::optional<EncodedValue> value;
        if (exception != nullptr) {
            type_name = exception_type_name(exception);
            value = dump_value(exception, lightweight_repr);
        }
        RecordBatch& batch = state.batch;
        batch.clear();
        batch.records.push_back(write_exception_record(unwound, type_name, value, thread));
        batch.types.emplace_back("exception");
        push_frames("exception", batch, state);
    });
}

void ZelmProfiler::drop_event(const EventCode& code, ThreadState& state,
                              const std::optional<FrameId>& frame_id) {
    // Read first: a build that takes the trace from here on makes the note stale.
    std::uint64_t generation = trace_generation.load(std::memory_order_acquire);
    dropped_events.fetch_add(1, std::memory_order_relaxed);
    if (noted_generation.load(std::memory_order_relaxed) == generation + 1) return;

    // The trace's first dropped event: where the trace was cut.
    TraceCut cut;
    cut.timestamp = zelm::timestamp();
    cut.event = std::string(code.event);
    cut.co_name = std::string(code.name);
    cut.frame_id = frame_id;
    try {
        const ThreadIdentity& thread = identity(state);
        cut.thread = thread.name;
        cut.thread_native_id = thread.native_id;
        int line = compat::frame_line(code.frame);
        cut.path = location(code.filename, static_cast<std::uint64_t>(line < 0 ? 0 : line));
        cut.qualname = qualified_name(code.frame, code.code, static_lookups);
    } catch (const PyErrorSet&) {
        // The note keeps what could be read; the event is dropped either way.
        discard_error();
    }
    std::lock_guard lock(frames_of_interest_mutex);
    if (trace_generation.load(std::memory_order_acquire) == generation && !trace_cut) {
        trace_cut = std::move(cut);
    }
    noted_generation.store(generation + 1, std::memory_order_relaxed);
}

void ZelmProfiler::profile(PyObject* frame, PyRef arg, std::string_view event, bool may_unwind) {
    EventCode code{frame, nullptr, arg.get(), event, {}, {}, Py_None, Py_None};
    // Outlives the try block: a failure is logged with the code's name objects.
    PyRef code_object;
    logging_failures(code, [&] {
        if (!PyFrame_Check(frame)) throw InternalError("Python gives us a PyFrame");
        code_object = compat::frame_code(frame);
        code.code = code_object.get();
        PyObject* filename_object = compat::code_filename(code_object.get());
        PyObject* name_object = compat::code_name(code_object.get());
        if (!PyUnicode_Check(filename_object)) throw InternalError("`co_filename` is always a string");
        if (!PyUnicode_Check(name_object)) throw InternalError("`co_name` is always a string");
        Utf8 filename(filename_object);
        Utf8 name(name_object);
        code.filename = filename.view();
        code.name = name.view();
        code.filename_object = filename_object;
        code.name_object = name_object;

        ThreadState* slot = threads.get();
        if (slot == nullptr) return;  // this thread is being torn down
        ThreadState& state = *slot;
        // A frame that left normally has no exception to wait for any more.
        state.unwound.reset();
        // Reused from event to event so that a batch costs no allocation;
        // whatever a failed event left in it is dropped here.
        RecordBatch& batch = state.batch;
        batch.clear();
        // A function without processors needs no lookup in the table.
        if (std::vector<PluginProcessor>* processors = processors_for(name_object, code.name, state)) {
            process_plugins(*this, *processors, code, state, batch);
        }
        if (should_record(frame, filename_object, code.filename, state)) {
            record_frame(code, batch, state, may_unwind);
        }
        push_frames(event, batch, state);
    });
}

}  // namespace zelm
