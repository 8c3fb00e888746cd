// The per-event handler: plugins, filters, the frame record; and the
// exception record that follows the return of a frame left by raising.
#include "filters/filters.hpp"
#include "names/qualname.hpp"
#include "names/thread_info.hpp"
#include "profiler/error_log.hpp"
#include "profiler/profiler.hpp"
#include "profiler/records.hpp"
#include "python/compat.hpp"
#include "serializer/bridge.hpp"

namespace zelm {
namespace {

// Defined at the end of this file.

// Runs one event's work; a failure is logged with `code` as it stands then
// (the first time for its code object), and the event's records are
// dropped. Never raises.
template <typename Body>
void logging_failures(const EventCode& code, LoggedCodes& logged, Body&& body);
// The event's frame id: a new one at a call, remembered for its return; the
// remembered one at a return (none when its call was not seen).
std::optional<FrameId> event_frame_id(ThreadState& state, PyObject* frame, Event event);
// "module.qualname" of the running function, nullopt when it cannot be
// inferred. The text is kept in the thread's state until its next event.
std::optional<std::string_view> qualified_name(PyObject* frame, PyObject* code, ThreadState& state,
                                               StaticLookupCache& static_lookups);
// Locals as recorded: the bound fast slots where they are the locals dict,
// else a dict without "__builtins__" (or a namespace that is no dict), read
// without writing to the frame.
struct RecordedLocals {
    compat::LocalSlots slots;
    PyRef dict;  // null when the slots are the locals

    EncodedValue dump(bool lightweight) const {
        if (dict) return dump_value(dict.get(), lightweight);
        return dump_map({slots.names.data(), slots.values.data(), slots.count}, lightweight);
    }
};
void take_recorded_locals(PyObject* frame, PyObject* code, Event event, ThreadState& state, RecordedLocals& locals);
// Reading the caller's locals, as the 3.10 qualified name inference does,
// refreshes its dict: the order of a recorded caller's locals is brought up
// to this event.
void refresh_caller_locals_order(PyObject* frame, ThreadState& state);
// The locals mapping without "__builtins__" (copied if it has the key).
PyRef without_builtins(compat::FrameLocals locals);
// "module.QualName" of the exception's type, the module left out for
// builtins; the C type name when the attributes cannot be read as text.
std::string exception_type_name(PyObject* exception);
// Whether the code is a generator's, a coroutine's or an async generator's.
bool resumable_code(PyObject* code);
// The value an async generator yields, for the wrapper the interpreter puts
// around it on its way to the hook (borrowed); any other value as it is.
PyObject* yielded_value(PyObject* code, PyObject* value);

}  // namespace

void ZelmProfiler::profile(PyObject* frame, PyObject* arg, Event event, bool may_unwind) {
    EventCode code{frame, nullptr, arg, event, {}, {}, Py_None, Py_None};
    logging_failures(code, logged_failures, [&] {
        if (!PyFrame_Check(frame)) throw InternalError("Python gives us a PyFrame");
        // The frame of the event runs: it holds its code (and the code its
        // names, with which a failure is logged) beyond this call.
        code.code = compat::running_code(frame);
        PyObject* filename_object = compat::code_filename(code.code);
        PyObject* name_object = compat::code_name(code.code);
        if (!PyUnicode_Check(filename_object)) throw InternalError("`co_filename` is always a string");
        if (!PyUnicode_Check(name_object)) throw InternalError("`co_name` is always a string");
        code.filename_object = filename_object;
        code.name_object = name_object;
        // The names' text, read once something uses it: a frame filtered out
        // (most of them, in library code) is decided from the objects.
        std::optional<Utf8> filename;
        std::optional<Utf8> name;
        auto read_names = [&] {
            if (filename) return;
            code.filename = filename.emplace(filename_object).view();
            code.name = name.emplace(name_object).view();
        };

        ThreadState* slot = threads.get();
        if (slot == nullptr) return;  // this thread is being torn down
        ThreadState& state = *slot;
        // A frame that left normally has no exception to wait for any more,
        // and a resumed one has had its first event.
        state.unwound.reset();
        state.resumed.reset();
        // Reused from event to event so that a batch costs no allocation;
        // whatever a failed event left in it is dropped here.
        RecordBatch& batch = state.batch;
        batch.clear();
        // A function without processors needs no lookup in the table.
        if (std::vector<PluginProcessor>* processors = processors_for(name_object, state)) {
            read_names();
            process_plugins(*processors, code, state, batch);
        }
        if (should_record(frame, filename_object, state)) {
            read_names();
            record_frame(code, batch, state, may_unwind);
        }
        push_frames(event, batch, state);
    });
}

bool ZelmProfiler::skips_known_filtered(PyObject* frame) {
    ThreadState* state = threads.known();
    if (state == nullptr || !PyFrame_Check(frame)) return false;
    PyObject* code = compat::running_code(frame);
    PyObject* filename_object = compat::code_filename(code);
    const FileFilterDecision& decision = cache_slot(state->filter_cache, filename_object);
    if (decision.filename.get() != filename_object || decision.included || !decision.ignored) return false;
    if (!plugins.empty()) {
        PyObject* name_object = compat::code_name(code);
        const NameProcessors& entry = cache_slot(state->plugin_cache, name_object);
        if (entry.name.get() != name_object || entry.processors != nullptr) return false;
    }
    state->unwound.reset();
    state->resumed.reset();
    return true;
}

std::vector<PluginProcessor>* ZelmProfiler::processors_for(PyObject* name_object, ThreadState& state) {
    if (plugins.empty()) return nullptr;
    NameProcessors& entry = cache_slot(state.plugin_cache, name_object);
    if (entry.name.get() != name_object) {
        auto found = plugins.find(Utf8(name_object).view());
        entry.processors = found == plugins.end() ? nullptr : &found->second;
        entry.name = PyRef::from_borrowed(name_object);
    }
    return entry.processors;
}

void ZelmProfiler::process_plugins(std::vector<PluginProcessor>& processors, const EventCode& code,
                                   ThreadState& state, RecordBatch& batch) {
    for (PluginProcessor& processor : processors) {
        try {
            std::optional<PluginRecord> record =
                run_processor(processor, code, state.call_frames, state.lines, plugins_mutex);
            if (!record) continue;
            EncodedValue value = dump_value(record->data.get(), lightweight_repr);
            msgpack::write_raw(batch.bytes, value.bytes());
            batch.close_record(marker_of(record->type));
        } catch (const PyErrorSet&) {
            log_pending_error(code, logged_failures);
        }
    }
}

bool ZelmProfiler::should_record(PyObject* frame, PyObject* filename_object, ThreadState& state) {
    FileFilterDecision& decision = cache_slot(state.filter_cache, filename_object);
    if (decision.filename.get() != filename_object) {
        const Utf8 text(filename_object);
        const std::string_view filename = text.view();
        decision.included = any_matches(include_frames, filename);
        decision.ignored = ignored_by_file_name(filename, ignore_frames);
        decision.filename = PyRef::from_borrowed(filename_object);
    }
    if (decision.included) return true;
    if (decision.ignored) return false;
    return !called_from_attrs(frame, state.caller_files);
}

void ZelmProfiler::record_frame(const EventCode& code, RecordBatch& batch, ThreadState& state,
                                bool may_unwind) {
    PyObject* frame = code.frame;
    bool is_call = code.event == Event::call;
    bool is_return = code.event == Event::return_;
    LeaveOnReturn leave(state, frame, is_return);

    const ThreadIdentity& thread = identity(state);

    int line = state.lines.location_line(frame);
    // The working directory as the event found it. The text stays in the
    // thread's cache until its next use, which only this thread's next event
    // makes: the hook is not called for the Python code it runs itself.
    std::string_view path =
        state.locations.location(code.filename_object, code.filename, static_cast<std::uint64_t>(line));
    std::optional<std::string_view> qualname = qualified_name(frame, code.code, state, static_lookups);
    RecordedLocals locals;
    take_recorded_locals(frame, code.code, code.event, state, locals);

    std::optional<FrameId> frame_id = event_frame_id(state, frame, code.event);

    std::optional<CallSite> call_site = user_code_call_site(state.call_frames, frame_id, state.lines);
    EncodedValue arg = dump_value(is_return ? yielded_value(code.code, code.arg) : code.arg, lightweight_repr);
    EncodedValue locals_bytes = locals.dump(lightweight_repr);

    if (is_call) {
        state.call_frames.push_back(CallFrame{PyRef::from_borrowed(frame), *frame_id});
        if (!compat::kUnwindFromMonitoring && resumable_code(code.code)) {
            state.resumed = frame_key(frame);
        }
    }

    write_frame_record(batch.bytes, path, code.name, qualname, code.event, frame_id, arg, locals_bytes,
                       thread, call_site);
    batch.close_record();
    if (is_return && may_unwind) {
        // The returning frame is still on top of the stack when its call was recorded.
        const std::vector<CallFrame>& calls = state.call_frames;
        bool may_be_closing =
            calls.empty() || calls.back().frame.get() != frame || calls.back().may_be_closing;
        state.unwound = UnwoundFrame{frame_key(frame), frame_id, std::string(path), std::string(code.name),
                                     resumable_code(code.code), may_be_closing};
    }
}

void ZelmProfiler::check_resume(PyObject* frame, PyObject* thrown) {
    ThreadState* state = threads.get();
    if (state == nullptr || !state->resumed) return;
    std::uintptr_t resumed = *state->resumed;
    state->resumed.reset();
    std::vector<CallFrame>& calls = state->call_frames;
    if (calls.empty() || frame_key(calls.back().frame.get()) != resumed) return;
    calls.back().may_be_closing = frame_key(frame) == resumed && thrown != nullptr &&
                                  PyErr_GivenExceptionMatches(thrown, PyExc_GeneratorExit);
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
    // 3.12, when no Python caller saw it) the first event of its resume
    // told whether it may be such a close.
    bool closed = exception == nullptr ? unwound.may_be_closing
                                       : PyErr_GivenExceptionMatches(exception, PyExc_GeneratorExit);
    if (unwound.generator && closed) return;
    PyObject* arg = exception ? exception : Py_None;
    EventCode code{frame, nullptr, arg, Event::exception, {}, {}, Py_None, Py_None};
    PyRef code_object;
    logging_failures(code, logged_failures, [&] {
        code_object = compat::frame_code(frame);
        code.code = code_object.get();
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
        write_exception_record(batch.bytes, unwound, type_name, value, thread);
        batch.close_record();
        push_frames(Event::exception, batch, state);
    });
}

namespace {

template <typename Body>
void logging_failures(const EventCode& code, LoggedCodes& logged, Body&& body) {
    if (!run_or_set_error(body)) log_pending_error(code, logged);
}

std::optional<FrameId> event_frame_id(ThreadState& state, PyObject* frame, Event event) {
    if (event == Event::call) {
        FrameId id = zelm::frame_id();
        state.frame_ids.insert_or_assign(frame_key(frame), id);
        return id;
    }
    if (event == Event::return_) {
        if (const FrameId* found = state.frame_ids.find(frame_key(frame))) return *found;
    }
    return std::nullopt;
}

// The frame's module name, "." and the text of `qualname`, into `text`.
// The name is the one module_name_or_file gives: a template's code, whose
// globals have no "__name__", is named after its file.
void module_dotted_name(PyObject* frame, PyObject* code, PyObject* qualname, ThreadState& state,
                        std::string& text) {
    PyObject* const key = names().dunder_name;
    PyObject* globals = compat::running_globals(frame);
    // Borrowed from a plain dict while no code runs; held otherwise. Null
    // when the globals have none.
    PyObject* module_name = nullptr;
    PyRef held_name;
    if (PyDict_CheckExact(globals)) {
        GlobalsModuleName& known = cache_slot(state.module_names, globals);
        const std::uint64_t version = compat::dict_version(globals);
        if (known.globals == globals && known.version == version) {
            module_name = known.name;
        } else {
            module_name = PyDict_GetItemWithError(globals, key);
            if (module_name == nullptr && PyErr_Occurred()) {
                discard_error();
            } else {
                known = {globals, version, module_name};
            }
        }
    } else {
        held_name = PyRef::steal(PyObject_GetItem(globals, key));
        if (!held_name) discard_error();
        module_name = held_name.get();
    }
    PyRef module_text = module_name_or_file(module_name, code);
    dotted_text(module_text.get(), qualname, state.dotted_names, text);
}

std::optional<std::string_view> qualified_name(PyObject* frame, PyObject* code, ThreadState& state,
                                               StaticLookupCache& static_lookups) {
    const Names& n = names();
    std::string& text = state.qualname;
    if (PyObject* qualname = compat::code_qualname(code)) {
        module_dotted_name(frame, code, qualname, state, text);
        return text;
    }
    PyObject* name = compat::code_name(code);
    if (PyUnicode_Compare(name, n.module_code_name) == 0) {
        module_dotted_name(frame, code, n.module_code_name, state, text);
        return text;
    }
    refresh_caller_locals_order(frame, state);
    try {
        if (!get_qualname_inner(frame, name, static_lookups, state.dotted_names, text)) return std::nullopt;
        return text;
    } catch (const PyErrorSet&) {
        // An inference that fails just leaves the name out.
        discard_error();
        return std::nullopt;
    }
}

void take_recorded_locals(PyObject* frame, PyObject* code, Event event, ThreadState& state,
                          RecordedLocals& recorded) {
    const bool resumable = resumable_code(code);
    // A call starts a frame, unless it resumes a generator or coroutine.
    const bool starting = event == Event::call && !(resumable && compat::frame_resumed(frame));
    compat::LocalsOrder& order = state.locals_orders.take(frame, code, starting);
    if (!compat::bound_local_slots(frame, recorded.slots, order)) {
        recorded.dict = without_builtins(compat::frame_locals(frame, &order));
    }
    const bool again = event == Event::call || (resumable && compat::frame_suspended(frame));
    state.locals_orders.put_back(frame, code, again);
}

void refresh_caller_locals_order(PyObject* frame, ThreadState& state) {
    PyObject* caller = compat::running_caller(frame);
    if (caller == nullptr) return;
    // Only a recorded caller's order is ever shown: it is the open call on
    // top of the stack. The frame's own call on top instead means its return:
    // the caller, waiting for it since that call, was refreshed then.
    const std::vector<CallFrame>& calls = state.call_frames;
    if (calls.empty() || calls.back().frame.get() != caller) return;
    PyObject* caller_code = compat::running_code(caller);
    compat::LocalsOrder& order = state.locals_orders.take(caller, caller_code, /*starting=*/false);
    compat::refresh_locals_order(caller, order);
    state.locals_orders.put_back(caller, caller_code, /*again=*/true);
}

PyRef without_builtins(compat::FrameLocals locals) {
    // A class body's namespace that is no dict is recorded as a value as it
    // is: looking into it would run the program's code.
    PyObject* builtins = PyDict_Check(locals.mapping.get())
                             ? infallible_lookup(PyDict_GetItemWithError(locals.mapping.get(), names().builtins_key),
                                                 "locals.get(\"__builtins__\") should not raise.")
                             : nullptr;
    if (builtins == nullptr) return std::move(locals.mapping);
    PyRef dict = locals.copy ? std::move(locals.mapping) : require(PyDict_Copy(locals.mapping.get()));
    require_status(PyDict_DelItem(dict.get(), names().builtins_key));
    return dict;
}

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

bool resumable_code(PyObject* code) {
    constexpr int flags = CO_GENERATOR | CO_COROUTINE | CO_ASYNC_GENERATOR;
    return (reinterpret_cast<PyCodeObject*>(code)->co_flags & flags) != 0;
}

// The interpreter's wrapper of a yielded value, as every supported version
// lays it out. Its type is not exported on every version: it is known by
// its name the first time an async generator yields, and by address after.
struct AsyncGenWrappedValue {
    PyObject_HEAD
    PyObject* value;
};
PyTypeObject* async_gen_wrapped_value_type = nullptr;

PyObject* yielded_value(PyObject* code, PyObject* value) {
    if ((reinterpret_cast<PyCodeObject*>(code)->co_flags & CO_ASYNC_GENERATOR) == 0) return value;
    PyTypeObject* type = Py_TYPE(value);
    if (async_gen_wrapped_value_type == nullptr && type->tp_basicsize == sizeof(AsyncGenWrappedValue) &&
        std::string_view(type->tp_name) == "async_generator_wrapped_value") {
        async_gen_wrapped_value_type = type;
    }
    return type == async_gen_wrapped_value_type ? reinterpret_cast<AsyncGenWrappedValue*>(value)->value : value;
}

}  // namespace
}  // namespace zelm
