#include "plugins/plugins.hpp"

#include <algorithm>
#include <string>

#include "python/logger.hpp"

namespace zelm {
namespace {

// An optional key of a definition; the dict's own lookup cannot fail for a text key.
PyObject* optional_item(PyObject* definition, PyObject* key) {
    PyObject* value =
        infallible_lookup(PyDict_GetItemWithError(definition, key), "a string is always a valid dict key");
    return value == Py_None ? nullptr : value;
}

PyRef required_item(PyObject* definition, PyObject* key) {
    return require(PyObject_GetItem(definition, key));
}

PluginProcessor build_processor(PyObject* definition, PyObject* context) {
    const Names& n = names();
    PyRef fragment = required_item(definition, n.path_fragment);
    PluginProcessor processor{Finder(extract_str(fragment.get())), {}, {}, {}, {}, {}, true, true, {}, {}};
    processor.call_type = extract_str(required_item(definition, n.call_type).get());
    processor.return_type = extract_str(required_item(definition, n.return_type).get());

    // A present "subtype" must be a str; None is refused like any other type.
    PyObject* subtype =
        infallible_lookup(PyDict_GetItemWithError(definition, n.subtype), "a string is always a valid dict key");
    if (subtype != nullptr) processor.subtype = extract_str(subtype);

    processor.call = PyRef::from_borrowed(optional_item(definition, n.call));
    processor.process = PyRef::from_borrowed(optional_item(definition, n.process));
    // Owned: reading the sequence runs host code that may drop the definition's reference.
    if (PyRef events = PyRef::from_borrowed(optional_item(definition, n.events))) {
        std::vector<std::string> taken = extract_str_list(events.get());
        processor.takes_calls = std::find(taken.begin(), taken.end(), "call") != taken.end();
        processor.takes_returns = std::find(taken.begin(), taken.end(), "return") != taken.end();
    }
    processor.context = PyRef::from_borrowed(context);
    return processor;
}

}  // namespace

PluginTable load_plugins(PyObject* config) {
    const Names& n = names();
    PyRef module = infallible(PyImport_Import(n.zelm_plugins), "zelm.plugins should always be importable");
    PyRef load =
        infallible(PyObject_GetAttr(module.get(), n.load_plugin_data), "load_plugin_data should exist");
    PyRef definitions =
        infallible(PyObject_CallOneArg(load.get(), config), "load_plugin_data should be callable");
    if (!PyList_Check(definitions.get())) throw InternalError("load_plugin_data should return a list");

    Py_ssize_t count = PyList_GET_SIZE(definitions.get());
    PluginTable table;
    table.reserve(static_cast<std::size_t>(count));
    // build_context may shrink the list while we walk it.
    for (Py_ssize_t i = 0; i < std::min(count, PyList_GET_SIZE(definitions.get())); ++i) {
        PyRef definition = PyRef::from_borrowed(PyList_GET_ITEM(definitions.get(), i));
        if (!PyDict_Check(definition.get())) raise_conversion_error(definition.get(), "PyDict");
        PyRef co_names = required_item(definition.get(), n.co_names);

        PyRef context;
        if (PyObject* build_context = optional_item(definition.get(), n.build_context)) {
            context = require(PyObject_CallOneArg(build_context, config));
            if (!PyDict_Check(context.get())) raise_conversion_error(context.get(), "PyDict");
        } else {
            context = require(PyDict_New());
        }

        PyRef iterator = require(PyObject_GetIter(co_names.get()));
        while (PyRef name = PyRef::steal(PyIter_Next(iterator.get()))) {
            std::string function_name = extract_str(name.get());
            PluginProcessor processor = build_processor(definition.get(), context.get());
            table[std::move(function_name)].push_back(std::move(processor));
        }
        if (PyErr_Occurred()) throw PyErrorSet{};
    }
    return table;
}

namespace {

bool takes_event(const PluginProcessor& processor, Event event) {
    return event == Event::call ? processor.takes_calls : event == Event::return_ && processor.takes_returns;
}

// The frame id of a plugin record: fresh and remembered at "call", the
// remembered one at "return" (fresh and forgotten when there is none).
std::optional<FrameId> plugin_frame_id(PluginProcessor& processor, const EventCode& code) {
    if (code.event == Event::call) {
        FrameId id = frame_id();
        // Only an accepted return removes the entry again: a processor that
        // never takes returns would keep one entry per call forever.
        if (processor.takes_returns) processor.frame_ids.insert_or_assign(frame_key(code.frame), id);
        return id;
    }
    if (code.event == Event::return_) {
        const FrameId* found = processor.frame_ids.find(frame_key(code.frame));
        if (found == nullptr) return frame_id();
        FrameId id = *found;
        // The frame is done: a later frame at this address must not inherit its id.
        processor.frame_ids.erase(frame_key(code.frame));
        return id;
    }
    return std::nullopt;
}

void set_item(PyObject* dict, PyObject* key, PyObject* value) {
    if (value == nullptr || PyDict_SetItem(dict, key, value) < 0) {
        broken_invariant("a string is always a valid dict key");
    }
}

PyRef text(std::string_view value) {
    return require(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

PyRef call_site_object(const std::optional<CallSite>& site) {
    if (!site) return PyRef::from_borrowed(Py_None);
    PyRef dict = require(PyDict_New());
    set_item(dict.get(), names().call_frame_id, text(site->call_frame_id.view()).get());
    set_item(dict.get(), names().line_number, require(PyLong_FromLong(site->line_number)).get());
    return dict;
}

// The user-code call site of a plugin record: the caller's line on "call"
// and on "return" alike. At a return the plugin step runs before the frame
// leaves the stack, so a recorded returning frame is still on top; it is
// skipped as the frame record skips it.
std::optional<CallSite> caller_site(const std::vector<CallFrame>& call_frames, PyObject* frame,
                                    const std::optional<FrameId>& frame_id, LineCache& lines) {
    if (!call_frames.empty() && call_frames.back().frame.get() == frame) {
        return user_code_call_site(call_frames, call_frames.back().id, lines);
    }
    return user_code_call_site(call_frames, frame_id, lines);
}

bool is_mapping(PyObject* object) {
    if (PyDict_Check(object)) return true;
    try {
        PyRef abc = import_module(names().collections_abc);
        PyRef mapping = require(PyObject_GetAttr(abc.get(), names().mapping));
        return require_status(PyObject_IsInstance(object, mapping.get())) == 1;
    } catch (const PyErrorSet&) {
        // Logged as zelm's own text: the unraisable hook would print the
        // object's repr, running the program's code again.
        warn_once_of_pending_error("the Mapping check of a plugin's result of type " +
                                       std::string(Py_TYPE(object)->tp_name),
                                   "the result is taken for no mapping");
        return false;
    }
}

// Whether the processor takes this event: its path fragment, the verdict
// of its "call" (when it has one) and its "events".
bool accepts(const PluginProcessor& processor, const EventCode& code, PyObject* event_object) {
    if (!processor.path_fragment.matches(code.filename)) return false;
    if (processor.call) {
        PyRef verdict = require(PyObject_CallFunctionObjArgs(
            processor.call.get(), code.frame, event_object, code.arg, processor.context.get(), nullptr));
        std::optional<bool> accepted = as_bool(verdict.get());
        if (!accepted) raise_conversion_error(verdict.get(), "PyBool");
        if (!*accepted) return false;
    }
    return takes_event(processor, code.event);
}

// The fields every plugin record has: its frame id, time, thread, call site,
// and the type and subtype the definition gives the event.
PyRef common_fields(const PluginProcessor& processor, const EventCode& code,
                    const std::optional<FrameId>& frame_id, const std::vector<CallFrame>& call_frames,
                    LineCache& lines) {
    const Names& n = names();
    PyRef data = require(PyDict_New());
    set_item(data.get(), n.frame_id,
             frame_id ? text(frame_id->view()).get() : Py_None);
    set_item(data.get(), n.timestamp, require(PyFloat_FromDouble(timestamp())).get());
    ThreadIdentity thread = current_thread();
    set_item(data.get(), n.thread, text(thread.name).get());
    set_item(data.get(), n.thread_native_id,
             thread.native_id ? require(PyLong_FromUnsignedLongLong(*thread.native_id)).get()
                              : Py_None);
    set_item(data.get(), n.user_code_call_site,
             call_site_object(caller_site(call_frames, code.frame, frame_id, lines)).get());
    if (code.event == Event::call) {
        set_item(data.get(), n.type, text(processor.call_type).get());
    } else if (code.event == Event::return_) {
        set_item(data.get(), n.type, text(processor.return_type).get());
    }
    if (processor.subtype) set_item(data.get(), n.subtype, text(*processor.subtype).get());
    return data;
}

// The mapping the processor's "process" returns, merged into `data`.
void add_processed(const PluginProcessor& processor, const EventCode& code, PyObject* event_object,
                   PyObject* data) {
    PyRef extra = require(PyObject_CallFunctionObjArgs(
        processor.process.get(), code.frame, event_object, code.arg, processor.context.get(), nullptr));
    if (!is_mapping(extra.get())) raise_conversion_error(extra.get(), "Mapping");
    require_status(PyDict_Update(data, extra.get()));
}

// data["type"], which a record must have as a str.
std::string record_type(PyObject* data) {
    PyObject* type =
        infallible_lookup(PyDict_GetItemWithError(data, names().type), "data[\"type\"] should not raise.");
    if (type == nullptr) throw InternalError("data[\"type\"] should not be missing.");
    return extract_str(type);
}

}  // namespace

std::optional<PluginRecord> run_processor(PluginProcessor& processor, const EventCode& code,
                                          const std::vector<CallFrame>& call_frames, LineCache& lines,
                                          std::mutex& frame_ids_mutex) {
    const Names& n = names();
    PyObject* event_object = code.event == Event::call ? n.event_call : n.event_return;
    if (!accepts(processor, code, event_object)) return std::nullopt;

    std::optional<FrameId> frame_id;
    {
        // No Python code runs under this lock, so it is never held by a
        // thread waiting for the GIL (nor across a fork).
        std::lock_guard lock(frame_ids_mutex);
        frame_id = plugin_frame_id(processor, code);
    }
    PyRef data = common_fields(processor, code, frame_id, call_frames, lines);
    if (processor.process) add_processed(processor, code, event_object, data.get());
    std::string type_text = record_type(data.get());
    return PluginRecord{std::move(data), std::move(type_text), frame_id};
}

}  // namespace zelm
