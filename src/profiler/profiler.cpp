// Construction of the profiler from the host object, its garbage-collector
// support, its thread identities and its locks around a fork.
#include "profiler/profiler.hpp"

#include <limits>

#include "format/ulid.hpp"
#include "names/thread_info.hpp"
#include "profiler/registry.hpp"
#include "python/compat.hpp"

namespace zelm {

// ---- construction --------------------------------------------------------

namespace {

// A dict lookup with a text key cannot raise for a real dict; if it does,
// that is the given invariant broken.
PyObject* config_get(PyObject* config, PyObject* key, const char* invariant) {
    return infallible_lookup(PyDict_GetItemWithError(config, key), invariant);
}

// A pattern list under "filters"; any failure of the lookup means no patterns.
std::vector<std::string> filter_patterns(PyObject* filters, PyObject* key) {
    PyRef value = PyRef::steal(PyObject_GetItem(filters, key));
    if (!value) {
        PyErr_Clear();
        return {};
    }
    return extract_str_list(value.get());
}

bool config_flag(PyObject* config, PyObject* key, const char* invariant) {
    PyObject* value = config_get(config, key, invariant);
    if (value == nullptr) return false;
    try {
        return as_bool(value).value_or(false);
    } catch (const PyErrorSet&) {
        PyErr_Clear();
        return false;
    }
}

// "trace_budget_bytes": absent or None for no budget, else a whole number
// of bytes, at least 0. A value past what 64 bits hold is no limit in practice.
std::optional<std::uint64_t> read_trace_budget(PyObject* config) {
    PyObject* value = config_get(config, names().trace_budget_bytes,
                                 "config.get(\"trace_budget_bytes\" should not raise.");
    if (value == nullptr || value == Py_None) return std::nullopt;
    if (PyBool_Check(value) || !PyLong_Check(value)) {
        raise_format(PyExc_TypeError,
                     "config \"trace_budget_bytes\" must be an int number of bytes or None, not %.200s",
                     Py_TYPE(value)->tp_name);
    }
    int overflow = 0;
    long long bytes = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (bytes == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (overflow > 0) return std::numeric_limits<std::uint64_t>::max();
    if (overflow < 0 || bytes < 0) {
        raise_error(PyExc_ValueError, "config \"trace_budget_bytes\" must not be negative");
    }
    return static_cast<std::uint64_t>(bytes);
}

std::optional<std::uint64_t> read_main_thread_id() {
    const Names& n = names();
    PyRef threading = require(PyImport_Import(n.threading_key));
    PyRef main_thread = require(PyObject_CallMethodNoArgs(threading.get(), n.main_thread));
    PyRef native_id = PyRef::steal(PyObject_GetAttr(main_thread.get(), n.native_id));
    if (!native_id) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
        PyErr_Clear();
        return std::nullopt;
    }
    if (native_id.get() == Py_None) return std::nullopt;
    return extract_u64(native_id.get());
}

}  // namespace

std::unique_ptr<ZelmProfiler> ZelmProfiler::new_from_python(PyObject* host) {
    const Names& n = names();
    auto profiler = std::make_unique<ZelmProfiler>();

    PyRef config = require(PyObject_GetAttr(host, n.config));
    if (!PyDict_Check(config.get())) raise_conversion_error(config.get(), "PyDict");

    // Owned: subscripting "filters" runs host code that may drop the config's reference.
    if (PyRef filters = PyRef::from_borrowed(
            config_get(config.get(), n.filters, "config.get(\"filters\" should not raise."))) {
        profiler->include_frames = build_finders(filter_patterns(filters.get(), n.include_frames));
        profiler->ignore_frames = build_finders(filter_patterns(filters.get(), n.ignore_frames));
    }

    profiler->main_thread_id = read_main_thread_id();

    if (PyObject* timeout = config_get(config.get(), n.sqlite_busy_timeout,
                                       "config.get(\"sqlite_busy_timeout\" should not raise.")) {
        profiler->sqlite_busy_timeout = extract_u64(timeout);
    }
    profiler->threading =
        config_flag(config.get(), n.threading_key, "config.get(\"threading\" should not raise.");
    profiler->lightweight_repr = config_flag(config.get(), n.lightweight_repr,
                                             "config.get(\"lightweight_repr\" should not raise.");

    profiler->trace_budget_bytes = read_trace_budget(config.get());
    if (const std::optional<std::uint64_t> budget = profiler->trace_budget_bytes) {
        // The tail's quarter: room for the end of a long run (its last
        // calls, the error and the log before it) beside its beginning.
        const std::uint64_t tail_bytes = *budget / 4;
        profiler->head_budget_bytes = *budget - tail_bytes;
        profiler->tail.emplace(tail_bytes);
    }

    profiler->plugins = load_plugins(config.get());

    PyRef db_path = require(PyObject_GetAttr(host, n.db_path));
    PyRef db_path_text = require(PyObject_Str(db_path.get()));
    // Kept as the file system's bytes, so that a path that is not UTF-8
    // (its bytes decoded to lone surrogates) names the same file when saving.
    PyRef db_path_bytes = require(PyUnicode_EncodeFSDefault(db_path_text.get()));
    profiler->db_path.assign(PyBytes_AS_STRING(db_path_bytes.get()),
                             static_cast<std::size_t>(PyBytes_GET_SIZE(db_path_bytes.get())));

    PyRef one_trace_per_test = require(PyObject_GetAttr(host, n.one_trace_per_test));
    profiler->one_trace_per_test = extract_bool(one_trace_per_test.get());

    PyRef trace_id = require(PyObject_GetAttr(host, n.trace_id));
    profiler->trace_id = extract_str(trace_id.get());

    PyRef source = require(PyObject_GetAttr(host, n.source));
    profiler->source = extract_str(source.get());

    // Optional: a host without the attribute, or with None, starts no child trace.
    PyRef parent = PyRef::steal(PyObject_GetAttr(host, n.parent_trace_id));
    if (!parent) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
        PyErr_Clear();
    } else if (parent.get() != Py_None) {
        profiler->parent_trace_id = extract_str(parent.get());
    }

    profiler->timestamp = zelm::timestamp();
    return profiler;
}

// ---- garbage collection ---------------------------------------------------

int ZelmProfiler::visit_references(visitproc visit, void* arg) {
    // The table's layout and the processors' references never change after
    // construction, so they are read without the plugins mutex.
    for (auto& [name, processors] : plugins) {
        for (PluginProcessor& processor : processors) {
            Py_VISIT(processor.call.get());
            Py_VISIT(processor.process.get());
            Py_VISIT(processor.context.get());
        }
    }
    int status = 0;
    threads.for_each([&](ThreadState& state) {
        for (CallFrame& call : state.call_frames) {
            if (status == 0 && call.frame) status = visit(call.frame.get(), arg);
        }
    });
    return status;
}

void ZelmProfiler::clear_references() {
    // Only reached when nothing but a cycle holds the profiler: no hook
    // refers to it, so no event is using these.
    for (auto& [name, processors] : plugins) {
        for (PluginProcessor& processor : processors) {
            processor.call = PyRef();
            processor.process = PyRef();
            processor.context = PyRef();
        }
    }
    // Let go outside the slots' lock: releasing a frame may run Python code.
    std::vector<std::vector<CallFrame>> stacks = threads.take_call_stacks();
}

// ---- threads and fork -----------------------------------------------------

ZelmProfiler::ZelmProfiler() { list_profiler(this); }

ZelmProfiler::~ZelmProfiler() { unlist_profiler(this); }

const ThreadIdentity& ZelmProfiler::identity(ThreadState& state) {
    if (!state.identity) state.identity = current_thread();
    return *state.identity;
}

void ZelmProfiler::lock_for_fork() {
    std::lock(trace_id_mutex, frames_of_interest_mutex, frames_mutex, tail_mutex, plugins_mutex, threads.mutex());
}

void ZelmProfiler::unlock_after_fork() {
    threads.mutex().unlock();
    plugins_mutex.unlock();
    tail_mutex.unlock();
    frames_mutex.unlock();
    frames_of_interest_mutex.unlock();
    trace_id_mutex.unlock();
}

}  // namespace zelm
