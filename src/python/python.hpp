// Owning references, interned names and the small helpers every unit uses.
//
// Ownership: a PyRef owns exactly one strong reference and drops it when it
// dies; PyRef::steal takes over a new reference, PyRef::from_borrowed takes
// a new reference to a borrowed pointer. Plain PyObject* is always borrowed.
// All of this must be used with the GIL held; a destructor run without it
// (see gil_held_here) leaves its reference behind.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <pthread.h>

#include <cstdarg>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format/errors.hpp"

namespace zelm {

// Whether this thread holds the GIL. The interpreter stops a daemon thread
// that asks for the GIL at exit by unwinding its stack (pthread_exit), which
// runs the destructors of our frames on the way without a thread state:
// they check this and then touch nothing, leaving their references behind
// in a process that is ending. Inline, as every PyRef asks it; the one
// version check that lives outside compat.hpp, which builds on this header.
inline bool gil_held_here() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;  // a thread-local from 3.12 on
#else
    // The process-wide current thread state, which must be this thread's own:
    // a thread state records the thread it runs on when that thread starts,
    // as PyThread_get_thread_ident gives it, which is pthread_self here
    // (cheaper to compare than to ask the GIL state's thread-local key).
    PyThreadState* current = _PyThreadState_UncheckedGet();
    return current != nullptr && current->thread_id == static_cast<unsigned long>(pthread_self());
#endif
}

class PyRef {
public:
    PyRef() = default;
    static PyRef steal(PyObject* object) { return PyRef(object); }
    static PyRef from_borrowed(PyObject* object) {
        Py_XINCREF(object);
        return PyRef(object);
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    // Not noexcept, like the destructor: dropping a reference may run Python
    // code (a finalizer), in which the thread may be stopped and unwound.
    PyRef& operator=(PyRef&& other) {
        PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
        release(old);
        return *this;
    }
    ~PyRef() noexcept(false) { release(object_); }

    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    PyRef new_ref() const { return from_borrowed(object_); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    explicit PyRef(PyObject* object) : object_(object) {}
    static void release(PyObject* object) {
        if (object != nullptr && gil_held_here()) Py_DECREF(object);
    }
    PyObject* object_ = nullptr;
};

// A null result of the C API means a Python error is set: turn it into PyErrorSet.
inline PyRef require(PyObject* result) {
    if (result == nullptr) throw PyErrorSet{};
    return PyRef::steal(result);
}
inline int require_status(int status) {
    if (status < 0) throw PyErrorSet{};
    return status;
}

// Sets a Python error of `type` and throws PyErrorSet. (Inline, like the
// rest of this group: the trace reader's module uses them too.)
[[noreturn]] inline void raise_error(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyErrorSet{};
}
// The same with PyErr_Format's format and arguments.
[[noreturn]] inline void raise_format(PyObject* type, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(type, format, arguments);
    va_end(arguments);
    throw PyErrorSet{};
}

// For a C-API call that fails only when an invariant of ours is broken:
// whatever Python error it left is dropped and the invariant thrown as
// InternalError.
[[noreturn]] inline void broken_invariant(const char* invariant) {
    PyErr_Clear();
    throw InternalError(invariant);
}
// A lookup that may find nothing but cannot raise (a dict lookup with a str
// key): its borrowed result, null when absent.
inline PyObject* infallible_lookup(PyObject* found, const char* invariant) {
    if (found == nullptr && PyErr_Occurred()) broken_invariant(invariant);
    return found;
}
// A call that cannot fail: its new reference.
inline PyRef infallible(PyObject* result, const char* invariant) {
    if (result == nullptr) broken_invariant(invariant);
    return PyRef::steal(result);
}

// Strings made once per process and never released: attribute names, keys
// and module names used on the event path. Each entry: the member of Names,
// then its text.
#define ZELM_NAMES(X) \
    X(config, "config")                                                      \
    X(rust_profiler, "rust_profiler")                                        \
    X(register_threading_profiler, "register_threading_profiler")            \
    X(threading_key, "threading") /* both a config key and the module */     \
    X(setprofile, "setprofile")                                              \
    X(main_thread, "main_thread")                                            \
    X(current_thread, "current_thread")                                      \
    X(native_id, "native_id")                                                \
    X(name, "name")                                                          \
    X(db_path, "db_path")                                                    \
    X(one_trace_per_test, "one_trace_per_test")                              \
    X(trace_id, "trace_id")                                                  \
    X(parent_trace_id, "parent_trace_id")                                    \
    X(source, "source")                                                      \
    X(filters, "filters")                                                    \
    X(include_frames, "include_frames")                                      \
    X(ignore_frames, "ignore_frames")                                        \
    X(sqlite_busy_timeout, "sqlite_busy_timeout")                            \
    X(lightweight_repr, "lightweight_repr")                                  \
    X(trace_budget_bytes, "trace_budget_bytes")                              \
    X(zelm_plugins, "zelm.plugins")                                          \
    X(load_plugin_data, "load_plugin_data")                                  \
    X(zelm_serialize, "zelm.serialize")                                      \
    X(zelm_native_serialize, "zelm._serialize")                              \
    X(native_api, "native_api")                                              \
    X(dump_msgpack, "dump_msgpack")                                          \
    X(dump_msgpack_lightweight_repr, "dump_msgpack_lightweight_repr")        \
    X(zelm_version, "zelm.version")                                          \
    X(version_attr, "__version__")                                           \
    X(zelm_git, "zelm.git")                                                  \
    X(commit_sha, "COMMIT_SHA")                                              \
    X(zelm_db, "zelm.db")                                                    \
    X(save_trace_in_sqlite, "save_trace_in_sqlite")                          \
    X(timeout, "timeout")                                                    \
    X(msgpack, "msgpack")                                                    \
    X(fallback_path, "fallback_path")                                        \
    X(sys, "sys")                                                            \
    X(argv, "argv")                                                          \
    X(logging, "logging")                                                    \
    X(get_logger, "getLogger")                                               \
    X(zelm, "zelm")                                                          \
    X(warning_level, "WARNING")                                              \
    X(is_enabled_for, "isEnabledFor")                                        \
    X(make_record, "makeRecord")                                             \
    X(handle, "handle")                                                      \
    X(builtins_key, "__builtins__")                                          \
    X(dunder_name, "__name__")                                               \
    X(dunder_module, "__module__")                                           \
    X(dunder_qualname, "__qualname__")                                       \
    X(dunder_dict, "__dict__")                                               \
    X(dunder_spec, "__spec__")                                               \
    X(initializing, "_initializing") /* importlib's mark in __spec__ */      \
    X(module_code_name, "<module>")                                          \
    X(inspect, "inspect")                                                    \
    X(getattr_static, "getattr_static")                                      \
    X(builtins, "builtins")                                                  \
    X(property, "property")                                                  \
    X(fget, "fget")                                                          \
    X(self, "self")                                                          \
    X(cls, "cls")                                                            \
    X(co_names, "co_names")                                                  \
    X(path_fragment, "path_fragment")                                        \
    X(call_type, "call_type")                                                \
    X(return_type, "return_type")                                            \
    X(subtype, "subtype")                                                    \
    X(call, "call")                                                          \
    X(process, "process")                                                    \
    X(events, "events")                                                      \
    X(build_context, "build_context")                                        \
    X(frame_id, "frame_id")                                                  \
    X(timestamp, "timestamp")                                                \
    X(thread, "thread")                                                      \
    X(thread_native_id, "thread_native_id")                                  \
    X(user_code_call_site, "user_code_call_site")                            \
    X(call_frame_id, "call_frame_id")                                        \
    X(line_number, "line_number")                                            \
    X(type, "type")                                                          \
    X(collections_abc, "collections.abc")                                    \
    X(mapping, "Mapping")                                                    \
    X(event_call, "call")                                                    \
    X(event_return, "return")

struct Names {
#define ZELM_NAME_MEMBER(member, text) PyObject* member;
    ZELM_NAMES(ZELM_NAME_MEMBER)
#undef ZELM_NAME_MEMBER
};

// Filled by the module's initialisation; throws PyErrorSet on failure.
void init_names();
const Names& names();

// Sets the module's BaseException-derived internal error with `text`.
void set_internal_error(const char* text);

// Runs `body`; when it fails, the Python error its failure stands for is set
// and false returned. Every way native code fails ends here, at the
// boundaries (the module's entry points, the hooks, the event path's log):
// PyErrorSet keeps the error that is set, an InternalError or any other C++
// exception (a bug) becomes the internal error with its text, and no C++
// exception ever leaves into the interpreter. Not catch (...): the unwinding
// of a thread stopped at exit must pass through.
template <typename Body>
bool run_or_set_error(Body&& body) {
    try {
        body();
        return true;
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        set_internal_error(error.what());
    }
    return false;
}

// Runs `body` at a Python entry point: a failure becomes the Python error
// it stands for and the entry point returns `failure`.
template <typename Result, typename Body>
Result at_boundary(Result failure, Body&& body) {
    Result result = failure;
    return run_or_set_error([&] { result = body(); }) ? result : failure;
}

// Takes the pending Python error as an exception instance (with its
// traceback); a SystemError when none is pending.
PyRef fetch_exception();

// A Python str read as UTF-8. The common case borrows the str's own cached
// UTF-8 buffer; a str holding lone surrogates is converted lossily (each bad
// byte becomes U+FFFD) into an owned copy.
// The characters of an ASCII str, which are its UTF-8 as they are stored;
// meaningless for any other str.
inline std::string_view ascii_text(PyObject* text) {
    return {static_cast<const char*>(PyUnicode_DATA(text)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))};
}

class Utf8 {
public:
    explicit Utf8(PyObject* text);
    // The view may point into owned_, so the object stays where it was made.
    Utf8(const Utf8&) = delete;
    Utf8& operator=(const Utf8&) = delete;
    std::string_view view() const { return view_; }

private:
    std::string owned_;
    std::string_view view_;
};

// Strict conversions; failures carry the usual messages of the host contract.
std::string type_name(PyObject* object);
[[noreturn]] void raise_conversion_error(PyObject* object, const char* target);
// Exact text of a str (or subclass); "... cannot be converted to 'PyString'" otherwise.
std::string extract_str(PyObject* object);
// A sequence that is not a str, each item converted by `convert`.
template <typename Item, typename Convert>
std::vector<Item> extract_sequence(PyObject* object, Convert&& convert) {
    if (PyUnicode_Check(object)) raise_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) raise_conversion_error(object, "Sequence");
    std::vector<Item> items;
    Py_ssize_t size = PySequence_Size(object);
    if (size < 0) {
        PyErr_Clear();
    } else {
        items.reserve(static_cast<std::size_t>(size));
    }
    PyRef iterator = require(PyObject_GetIter(object));
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        items.push_back(convert(item.get()));
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
    return items;
}
// A non-str sequence of str.
std::vector<std::string> extract_str_list(PyObject* object);
// Like extract_str, but a str holding lone surrogates (the undecodable bytes
// of a file name or a command-line argument, as Python decodes them) is not
// refused: each one is written as its backslash escape ("\\udcff"), the form
// the host serializer gives it, so the text stays valid UTF-8.
std::string extract_str_escaping_surrogates(PyObject* object);
// An int (or __index__ object) in 0..2^64-1.
std::uint64_t extract_u64(PyObject* object);
// A bool, or numpy's boolean scalar; nullopt for anything else.
std::optional<bool> as_bool(PyObject* object);
// Like as_bool, but anything else raises "... cannot be converted to 'PyBool'".
bool extract_bool(PyObject* object);

// Inside the profile hook, errors that are dropped or reported as unraisable
// go through these two: a KeyboardInterrupt is the program's own Ctrl-C, not
// ours to drop, so it is delivered again to surface in the program's code.
// Both return true when the pending error was such an interrupt.
bool discard_error();
bool report_unraisable(PyObject* context);

// The module from sys.modules, imported through the interpreter's import when absent.
PyRef import_module(PyObject* name);

// getattr(module, name) for an attribute its dict holds: read from a plain
// module's dict, where the generic lookup ends for any name its type (which
// cannot change) does not have; anything else takes the full lookup.
PyRef module_attribute(PyObject* module, PyObject* name);

// import_module(module_name) and module_attribute of it, for the event path.
// The module last found complete is kept (with a reference of its own, never
// let go, like the interned names), and so is the attribute found in its
// dict: while sys.modules and that dict keep the version tags they had when
// it was read, the same lookups would find the same objects, so it is
// returned as it is. Any change to either (an import, a replaced attribute)
// takes the lookups again; so does a module still running its body, one of
// a module type of its own, or an attribute its dict does not hold.
class ModuleAttribute {
public:
    PyRef get(PyObject* module_name, PyObject* attribute);
    // What get would return, borrowed, while the kept one still holds; null
    // when the lookups must be taken. Runs no Python code.
    PyObject* kept() const;

private:
    PyRef import(PyObject* module_name);

    PyObject* module_ = nullptr;
    PyObject* value_ = nullptr;
    // Set only while value_ is what the lookups would find: null otherwise.
    PyObject* modules_ = nullptr;
    std::uint64_t modules_version_ = 0;
    std::uint64_t namespace_version_ = 0;
};

// Saves the exception in flight (if any) and puts it back on destruction,
// so that work done meanwhile (inside the profile hook, or while a failure
// travels up) never disturbs it. An error that work leaves set is reported
// as unraisable first.
class PendingExceptionGuard {
public:
    PendingExceptionGuard();
    ~PendingExceptionGuard();
    PendingExceptionGuard(const PendingExceptionGuard&) = delete;
    PendingExceptionGuard& operator=(const PendingExceptionGuard&) = delete;

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

}  // namespace zelm
