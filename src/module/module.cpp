// The extension module zelm._zelm: its two functions, the ZelmProfiler type
// and the profile hook through which every call and return arrives.
#include <array>
#include <memory>
#include <string_view>

#include "profiler/profiler.hpp"
#include "profiler/registry.hpp"
#include "python/compat.hpp"
#include "python/python.hpp"

namespace zelm {
namespace {

struct ProfilerObject {
    PyObject_HEAD
    ZelmProfiler* profiler;
};

PyTypeObject* g_profiler_type = nullptr;

// ---- argument binding ------------------------------------------------------

// Binds positional and keyword arguments to `names` (all required). Returns
// false with a TypeError set when they do not fit.
template <std::size_t N>
bool bind_arguments(const char* function, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, const std::array<const char*, N>& parameter_names,
                    std::array<PyObject*, N>& bound) {
    Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    bound.fill(nullptr);
    if (positional > static_cast<Py_ssize_t>(N)) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd were given",
                     function, N, positional);
        return false;
    }
    for (Py_ssize_t i = 0; i < positional; ++i) bound[static_cast<std::size_t>(i)] = args[i];
    Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        std::size_t index = N;
        for (std::size_t i = 0; i < N; ++i) {
            if (PyUnicode_CompareWithASCIIString(keyword, parameter_names[i]) == 0) index = i;
        }
        if (index == N) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                         keyword);
            return false;
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                         parameter_names[index]);
            return false;
        }
        bound[index] = args[positional + k];
    }
    for (std::size_t i = 0; i < N; ++i) {
        if (bound[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function,
                         parameter_names[i], i + 1);
            return false;
        }
    }
    return true;
}

// METH_FASTCALL | METH_KEYWORDS functions are stored as PyCFunction.
template <typename Function>
PyCFunction as_method(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

ZelmProfiler* profiler_of(PyObject* object) {
    if (!PyObject_TypeCheck(object, g_profiler_type)) {
        PyErr_SetString(PyExc_TypeError, "expected a zelm._zelm.ZelmProfiler");
        return nullptr;
    }
    return reinterpret_cast<ProfilerObject*>(object)->profiler;
}

// ---- the profile hooks -------------------------------------------------------

int profile_callback(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg);
void install_hook(Py_tracefunc function, PyObject* object);

// From 3.12 on, a Python-level profile function also sees the return of the
// sys.setprofile call that set it.
constexpr bool kProfileFunctionSeesItsOwnSetting = PY_VERSION_HEX >= 0x030C0000;

// The last guard of a callback the interpreter calls with the GIL held: a
// failure that got this far (a bug: the event path logs its own) is
// reported as unraisable, never thrown into the interpreter's C frames.
template <typename Body>
void reporting_failures(Body&& body) {
    if (!run_or_set_error(body)) report_unraisable(nullptr);
}

ZelmProfiler* hooked_profiler(PyObject* obj) {
    return obj != nullptr && PyObject_TypeCheck(obj, g_profiler_type)
               ? reinterpret_cast<ProfilerObject*>(obj)->profiler
               : nullptr;
}

// ---- the exception that leaves a frame -------------------------------------
//
// The profile hook learns that a "return" is an unwind but never sees the
// exception: the interpreter takes it out of the thread state around the
// hook. From 3.12 on a sys.monitoring PY_UNWIND callback receives it right
// after the hook's "return" for the same frame. Before 3.12 only a trace
// function sees it, in the "exception" event of the Python caller the
// exception moves on to; so an unwind arms a trace function for one event
// (only while the thread has no trace function of its own) and that event
// finishes the record. Ordinary returns pay for none of this. A generator's
// or coroutine's unwind whose exception goes to C code (asyncio's Task
// step, or the close that throws GeneratorExit in) shows no exception to
// anyone; the same one-event trace function armed at each of its resumes
// tells a close, whose GeneratorExit is raised in the frame first thing.

bool traceback_has_frame(PyObject* traceback, std::uintptr_t frame) {
    for (PyObject* entry = traceback; entry != nullptr && PyTraceBack_Check(entry);
         entry = reinterpret_cast<PyObject*>(reinterpret_cast<PyTracebackObject*>(entry)->tb_next)) {
        if (frame_key(reinterpret_cast<PyObject*>(reinterpret_cast<PyTracebackObject*>(entry)->tb_frame)) == frame) {
            return true;
        }
    }
    return false;
}

// True when the exception of a trace "exception" event (the value and the
// traceback it has so far) passed through the frame whose key is `left`, or
// was raised from or while handling one that did: StopIteration leaving a
// generator reaches the caller as a RuntimeError, which is then what left
// the generator, as 3.12 reports it.
bool left_frame(PyObject* exception, PyObject* traceback, std::uintptr_t left) {
    constexpr int kChainLimit = 16;
    if (traceback_has_frame(traceback, left)) return true;
    PyRef current = PyRef::from_borrowed(exception);
    for (int depth = 0; depth < kChainLimit && current && PyExceptionInstance_Check(current.get()); ++depth) {
        PyRef cause = PyRef::steal(PyException_GetCause(current.get()));
        current = cause ? std::move(cause) : PyRef::steal(PyException_GetContext(current.get()));
        if (!current || !PyExceptionInstance_Check(current.get())) break;
        PyRef chained_traceback = PyRef::steal(PyException_GetTraceback(current.get()));
        if (traceback_has_frame(chained_traceback.get(), left)) return true;
    }
    return false;
}

// The one-event trace function armed by an unwind.
int exception_trace(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) {
    if (compat::interpreter_finalizing()) return 0;
    // Called by the interpreter with the GIL held, as the profile hook is.
    {
        PyRef keep_alive = PyRef::from_borrowed(obj);
        PendingExceptionGuard pending;
        PyEval_SetTrace(nullptr, nullptr);
        reporting_failures([&] {
            ZelmProfiler* profiler = hooked_profiler(obj);
            if (profiler == nullptr || frame == nullptr) return;
            bool raised = what == PyTrace_EXCEPTION && arg != nullptr && PyTuple_Check(arg) &&
                          PyTuple_GET_SIZE(arg) == 3;
            if (profiler->awaits_resume_check()) {
                PyObject* thrown = raised ? PyTuple_GET_ITEM(arg, 0) : nullptr;
                profiler->check_resume(reinterpret_cast<PyObject*>(frame), thrown);
                return;
            }
            std::optional<std::uintptr_t> left = profiler->awaited_unwind();
            if (!left) return;
            PyObject* exception = nullptr;
            if (raised && left_frame(PyTuple_GET_ITEM(arg, 1), PyTuple_GET_ITEM(arg, 2), *left)) {
                exception = PyTuple_GET_ITEM(arg, 1);
            }
            profiler->record_exception(reinterpret_cast<PyObject*>(frame), *left, exception);
        });
    }
    return 0;
}

void await_exception(ZelmProfiler* profiler, PyObject* obj, PyFrameObject* frame) {
    std::optional<std::uintptr_t> left = profiler->awaited_unwind();
    if (!left) return;
    if (compat::trace_slot_free()) {
        PyEval_SetTrace(exception_trace, obj);
        if (!compat::trace_slot_free()) return;
    }
    // Someone else traces this thread: the record goes without the exception.
    profiler->record_exception(reinterpret_cast<PyObject*>(frame), *left, nullptr);
}

// Arms the one-event trace function after a generator's or coroutine's
// resume. Under someone else's trace function the resume stays unchecked,
// and an unwind of it that no Python caller sees is taken for a close.
void await_resume_check(ZelmProfiler* profiler, PyObject* obj) {
    if (profiler->awaits_resume_check() && compat::trace_slot_free()) {
        PyEval_SetTrace(exception_trace, obj);
    }
}

PyObject* unwind_callback(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    compat::ProfileHook hook = compat::current_profile_hook();
    if (nargs == 3 && hook.function == profile_callback) {
        PyObject* obj = hook.object;
        if (ZelmProfiler* profiler = hooked_profiler(obj)) {
            if (PyFrameObject* frame = PyEval_GetFrame()) {
                PyRef keep_alive = PyRef::from_borrowed(obj);
                PendingExceptionGuard pending;
                reporting_failures([&] {
                    profiler->record_exception(reinterpret_cast<PyObject*>(frame),
                                               frame_key(reinterpret_cast<PyObject*>(frame)), args[2]);
                });
            }
        }
    }
    Py_RETURN_NONE;
}

PyMethodDef unwind_callback_definition = {"_zelm_unwind", as_method(unwind_callback), METH_FASTCALL, nullptr};
bool g_watching_unwinds = false;

// Registers unwind_callback for PY_UNWIND under a free sys.monitoring tool
// id, once per process. The ids no standard tool claims (3 and 4) come
// first: the id is kept for the rest of the process, and holding
// PROFILER_ID would make cProfile refuse to start afterwards. Without a free
// id the trace simply shows no exceptions.
void watch_unwinds() {
    if (g_watching_unwinds) return;
    try {
        PyRef sys = import_module(names().sys);
        PyRef monitoring = require(PyObject_GetAttrString(sys.get(), "monitoring"));
        PyRef events = require(PyObject_GetAttrString(monitoring.get(), "events"));
        PyRef py_unwind = require(PyObject_GetAttrString(events.get(), "PY_UNWIND"));
        PyRef callback = require(PyCFunction_New(&unwind_callback_definition, nullptr));
        for (int id : {3, 4, 2, 5}) {
            PyRef tool = require(PyLong_FromLong(id));
            PyRef owner = require(PyObject_CallMethod(monitoring.get(), "get_tool", "O", tool.get()));
            if (owner.get() != Py_None) continue;
            require(PyObject_CallMethod(monitoring.get(), "use_tool_id", "Os", tool.get(), "zelm"));
            require(PyObject_CallMethod(monitoring.get(), "register_callback", "OOO", tool.get(),
                                        py_unwind.get(), callback.get()));
            require(PyObject_CallMethod(monitoring.get(), "set_events", "OO", tool.get(), py_unwind.get()));
            g_watching_unwinds = true;
            return;
        }
    } catch (const PyErrorSet&) {
        report_unraisable(nullptr);
    }
}

int profile_callback(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) {
    // Code run while the interpreter shuts down (finalizers, module
    // teardown) is not the program's work, and the hook's own imports and
    // calls could fail or stall there. (A thread whose own Python state is
    // being torn down is left alone by the profiler: it has no slot then.)
    if (compat::interpreter_finalizing()) return 0;
    Event event;
    if (what == PyTrace_CALL) {
        event = Event::call;
    } else if (what == PyTrace_RETURN) {
        event = Event::return_;
    } else {
        return 0;
    }
    // Most events of library code are decided from the thread's caches,
    // before the exception in flight is saved: nothing of Python's is
    // touched for them.
    if (obj != nullptr && frame != nullptr) {
        if (ZelmProfiler* profiler = hooked_profiler(obj);
            profiler != nullptr && profiler->skips_known_filtered(reinterpret_cast<PyObject*>(frame))) {
            return 0;
        }
    }
    // The interpreter calls its hooks on the thread that holds the GIL, with
    // that thread's state current, and the event runs in that state as it
    // stands: entering the GIL state again would only count one more nesting
    // (or, on a thread whose current state is not the one the GIL state
    // keeps for it, wait for the GIL this thread holds).
    int status = 0;
    if (obj == nullptr || frame == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "profile hook called without its object or frame");
        status = -1;
    } else if (ZelmProfiler* profiler = profiler_of(obj)) {
        // The exception in flight is put back last, after anything released
        // below has run its finalizers.
        PendingExceptionGuard pending;
        // Host code run during the event may replace this hook and drop the
        // interpreter's reference to obj; keep the profiler alive until we return.
        PyRef keep_alive = PyRef::from_borrowed(obj);
        reporting_failures([&] {
            bool may_unwind = what == PyTrace_RETURN && compat::may_be_unwind(arg);
            profiler->profile(reinterpret_cast<PyObject*>(frame), arg ? arg : Py_None, event,
                              may_unwind);
            if constexpr (!compat::kUnwindFromMonitoring) {
                if (may_unwind) await_exception(profiler, obj, frame);
                if (event == Event::call) await_resume_check(profiler, obj);
            }
        });
    } else {
        status = -1;
    }
    return status;
}

int noop_profile(PyObject*, PyFrameObject*, int, PyObject*) { return 0; }

// Whether the calling thread's Python-level profile function (as
// sys.setprofile sets it) is `profiler` or a method of it: the interpreter
// is calling it for one of the thread's events.
bool called_as_profile_function(PyObject* profiler) {
    PyObject* function = compat::current_profile_hook().object;
    return function == profiler ||
           (function != nullptr && PyCFunction_Check(function) && PyCFunction_GET_SELF(function) == profiler);
}

// The hook of a thread that joined one event before its first Python event
// (see register_threading_profiler): that event is let pass unrecorded and
// the recording hook takes over from the next one.
int join_callback(PyObject* obj, PyFrameObject*, int what, PyObject*) {
    if (what != PyTrace_CALL && what != PyTrace_RETURN) return 0;
    // A return may come with an exception in flight: it stays for the program.
    PendingExceptionGuard pending;
    reporting_failures([&] { install_hook(profile_callback, obj); });
    return 0;
}

// Installs a profile hook on the calling thread. A zelm profiler that it
// replaces is unregistered from this thread: the frames of the calls still
// on its stack here are let go now rather than when the thread ends.
void install_hook(Py_tracefunc function, PyObject* object) {
    compat::ProfileHook current = compat::current_profile_hook();
    PyRef previous;
    if (current.function == profile_callback && current.object != object && current.object != nullptr &&
        PyObject_TypeCheck(current.object, g_profiler_type)) {
        previous = PyRef::from_borrowed(current.object);
    }
    PyEval_SetProfile(function, object);
    if (function == profile_callback || function == join_callback) {
        if (ZelmProfiler* profiler = hooked_profiler(object)) profiler->hook_installed();
    }
    if (previous) {
        // Released here, with the hook gone and the profiler still held.
        std::vector<CallFrame> calls =
            reinterpret_cast<ProfilerObject*>(previous.get())->profiler->take_call_stack();
    }
}

// ---- ZelmProfiler ------------------------------------------------------------

PyObject* profiler_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

void profiler_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    // Buffered records are dropped unsaved; frames held per thread are released here.
    delete reinterpret_cast<ProfilerObject*>(self)->profiler;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

int profiler_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    ZelmProfiler* profiler = reinterpret_cast<ProfilerObject*>(self)->profiler;
    return profiler != nullptr ? profiler->visit_references(visit, arg) : 0;
}

int profiler_clear(PyObject* self) {
    if (ZelmProfiler* profiler = reinterpret_cast<ProfilerObject*>(self)->profiler) {
        if (!run_or_set_error([&] { profiler->clear_references(); })) report_unraisable(self);
    }
    return 0;
}

PyObject* save_request_in_db(PyObject* self, PyObject*) {
    ZelmProfiler* profiler = profiler_of(self);
    if (profiler == nullptr) return nullptr;
    PyRef keep_alive = PyRef::from_borrowed(self);
    return at_boundary<PyObject*>(nullptr, [&] {
        profiler->note_replaced_hooks();
        profiler->save_in_db();
        Py_RETURN_NONE;
    });
}

PyObject* build_trace(PyObject* self, PyObject*) {
    ZelmProfiler* profiler = profiler_of(self);
    if (profiler == nullptr) return nullptr;
    PyRef keep_alive = PyRef::from_borrowed(self);
    return at_boundary<PyObject*>(nullptr, [&] { return profiler->build_trace_inner().release(); });
}

// Installs the hook of `profiler` on a thread that joins it from a
// Python-level profile function's call.
void join_thread(PyObject* profiler) {
    // From 3.12 on, a Python-level profile function is first called for
    // the return of the C call that set it (threading's own
    // sys.setprofile in a new thread), one event before the thread's
    // first Python event, which on earlier versions is the one that
    // arrives here. The joining hook lets that Python event pass
    // unrecorded too, so that a new thread's records are the same on
    // every version: the call of its run() is never recorded.
    bool joins_early = kProfileFunctionSeesItsOwnSetting && called_as_profile_function(profiler);
    install_hook(joins_early ? join_callback : profile_callback, profiler);
}

PyObject* register_threading_profiler(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                      PyObject* kwnames) {
    std::array<PyObject*, 3> bound;
    if (!bind_arguments<3>("register_threading_profiler", args, nargsf, kwnames,
                           {"_frame", "_event", "_arg"}, bound)) {
        return nullptr;
    }
    if (profiler_of(self) == nullptr) return nullptr;
    return at_boundary<PyObject*>(nullptr, [&] {
        join_thread(self);
        Py_RETURN_NONE;
    });
}

// Makes this profiler record the calling thread from now on, for one
// stretch of work that stretches of other profilers' work interleave with
// on the same thread (requests stepped on one event loop). A zelm profiler
// whose hook it replaces is not unregistered from the thread, as it is by
// register_threading_profiler: its calls still open here keep their frames
// and ids, and it picks them up when it takes the thread over again.
PyObject* take_over_thread(PyObject* self, PyObject*) {
    ZelmProfiler* profiler = profiler_of(self);
    if (profiler == nullptr) return nullptr;
    return at_boundary<PyObject*>(nullptr, [&] {
        compat::ProfileHook current = compat::current_profile_hook();
        if (current.function != profile_callback || current.object != self) {
            PyEval_SetProfile(profile_callback, self);
        }
        profiler->hook_installed();
        Py_RETURN_NONE;
    });
}

// The event code of a Python-level profile function's call or return event.
std::optional<int> python_level_event(PyObject* event) {
    if (!PyUnicode_Check(event)) return std::nullopt;
    if (PyUnicode_CompareWithASCIIString(event, "call") == 0) return PyTrace_CALL;
    if (PyUnicode_CompareWithASCIIString(event, "return") == 0) return PyTrace_RETURN;
    return std::nullopt;
}

// While zelm's hook is on, sys.getprofile() gives the profiler object. A
// program that saves it, sets a profile function of its own and later sets
// the saved one back (sys.setprofile, threading.setprofile and, from 3.12
// on, threading.setprofile_all_threads) makes it the thread's Python-level
// profile function: it is called for the thread's next event, and zelm's
// native hook takes over from there, that event recorded. Called any other
// way (by another profile function passing its events on, or while the
// native hook is on) it does nothing. Never raises into the program.
PyObject* profiler_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* frame = nullptr;
    PyObject* event = nullptr;
    PyObject* arg = nullptr;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "ZelmProfiler() takes no keyword arguments");
        return nullptr;
    }
    if (!PyArg_UnpackTuple(args, "ZelmProfiler", 3, 3, &frame, &event, &arg)) return nullptr;
    ZelmProfiler* profiler = profiler_of(self);
    if (profiler == nullptr) return nullptr;
    compat::ProfileHook hook = compat::current_profile_hook();
    if (hook.object != self || hook.function == profile_callback || hook.function == join_callback) Py_RETURN_NONE;
    // Installing a hook drops the interpreter's reference to self.
    PyRef keep_alive = PyRef::from_borrowed(self);
    bool resumed = false;
    {
        PendingExceptionGuard pending;
        reporting_failures([&] {
            switch (profiler->hand_back()) {
                case ZelmProfiler::HandBack::resume:
                    install_hook(profile_callback, self);
                    resumed = true;
                    break;
                case ZelmProfiler::HandBack::join:
                    join_thread(self);
                    break;
                case ZelmProfiler::HandBack::refuse:
                    install_hook(nullptr, nullptr);
                    break;
            }
        });
    }
    std::optional<int> what = python_level_event(event);
    if (resumed && what && PyFrame_Check(frame)) {
        // The Python-level hook sees None where the native one sees no
        // value: a frame left by an exception (as may be a None returned).
        PyObject* native_arg = *what == PyTrace_RETURN && arg == Py_None ? nullptr : arg;
        profile_callback(self, reinterpret_cast<PyFrameObject*>(frame), *what, native_arg);
    }
    Py_RETURN_NONE;
}

PyMethodDef profiler_methods[] = {
    {"save_request_in_db", save_request_in_db, METH_NOARGS, "save_request_in_db($self)\n--\n\n"},
    {"build_trace", build_trace, METH_NOARGS, "build_trace($self)\n--\n\n"},
    {"register_threading_profiler", as_method(register_threading_profiler),
     METH_FASTCALL | METH_KEYWORDS,
     "register_threading_profiler($self, _frame, _event, _arg)\n--\n\n"},
    {"take_over_thread", take_over_thread, METH_NOARGS, "take_over_thread($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot profiler_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(profiler_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(profiler_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(profiler_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(profiler_clear)},
    {Py_tp_call, reinterpret_cast<void*>(profiler_call)},
    {Py_tp_methods, profiler_methods},
    {0, nullptr},
};

PyType_Spec profiler_spec = {
    "zelm._zelm.ZelmProfiler",
    sizeof(ProfilerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    profiler_slots,
};

// ---- module functions ----------------------------------------------------------

bool is_true_flag(PyObject* value) {
    try {
        return as_bool(value).value_or(false);
    } catch (const PyErrorSet&) {
        PyErr_Clear();
        return false;
    }
}

PyObject* register_profiler(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    std::array<PyObject*, 1> bound;
    if (!bind_arguments<1>("register_profiler", args, nargsf, kwnames, {"profiler"}, bound)) {
        return nullptr;
    }
    PyObject* host = bound[0];
    if (!PyCallable_Check(host)) {
        PyErr_SetString(PyExc_TypeError, "profiler object is not callable");
        return nullptr;
    }
    return at_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        const Names& n = names();
        std::unique_ptr<ZelmProfiler> value = ZelmProfiler::new_from_python(host);
        auto* object = PyObject_GC_New(ProfilerObject, g_profiler_type);
        if (object == nullptr) throw PyErrorSet{};
        object->profiler = value.release();
        object->profiler->set_python_object(reinterpret_cast<PyObject*>(object));
        PyObject_GC_Track(reinterpret_cast<PyObject*>(object));
        PyRef profiler = PyRef::steal(reinterpret_cast<PyObject*>(object));

        require_status(PyObject_SetAttr(host, n.rust_profiler, profiler.get()));
        if constexpr (compat::kUnwindFromMonitoring) watch_unwinds();
        install_hook(profile_callback, profiler.get());

        PyRef config = require(PyObject_GetAttr(host, n.config));
        PyRef threading_flag = PyRef::steal(PyObject_GetItem(config.get(), n.threading_key));
        if (!threading_flag) PyErr_Clear();
        if (threading_flag && is_true_flag(threading_flag.get())) {
            PyRef threading = require(PyImport_Import(n.threading_key));
            PyRef hook = require(PyObject_GetAttr(profiler.get(), n.register_threading_profiler));
            require(PyObject_CallMethodOneArg(threading.get(), n.setprofile, hook.get()));
        }
        Py_RETURN_NONE;
    });
}

PyObject* register_noop_profiler(PyObject*, PyObject*) {
    return at_boundary<PyObject*>(nullptr, [] {
        install_hook(noop_profile, nullptr);
        Py_RETURN_NONE;
    });
}

PyMethodDef module_functions[] = {
    {"register_noop_profiler", register_noop_profiler, METH_NOARGS,
     "register_noop_profiler()\n--\n\n"},
    {"register_profiler", as_method(register_profiler),
     METH_FASTCALL | METH_KEYWORDS, "register_profiler(profiler)\n--\n\n"},
};

// m_size 0, not -1: with -1 the interpreter would answer a re-import by
// copying the first module's dict into a new module object instead of
// calling PyInit__zelm again, which hands back the one module it keeps.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_zelm", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* g_module = nullptr;
std::int64_t g_interpreter_id = -1;

// Creates the function bound to the module, lists it in __all__ and sets it.
void add_function(PyObject* module, PyMethodDef* definition) {
    PyRef module_name = require(PyModule_GetNameObject(module));
    PyRef function = require(PyCFunction_NewEx(definition, module, module_name.get()));
    PyObject* dict = PyModule_GetDict(module);
    PyObject* all = PyDict_GetItemString(dict, "__all__");
    PyRef new_all;
    if (all == nullptr) {
        new_all = require(PyList_New(0));
        require_status(PyDict_SetItemString(dict, "__all__", new_all.get()));
        all = new_all.get();
    }
    PyRef name = require(PyObject_GetAttrString(function.get(), "__name__"));
    require_status(PyList_Append(all, name.get()));
    require_status(PyObject_SetAttr(module, name.get(), function.get()));
}

PyObject* init_module() {
    // Refused before anything below is made or remembered: the interpreter
    // that imports this module next (the main one) must find it untouched.
    if (compat::interpreter_is_isolated()) {
        PyErr_SetString(PyExc_ImportError, "zelm._zelm does not support isolated sub-interpreters");
        return nullptr;
    }
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1) return nullptr;
    if (g_interpreter_id == -1) {
        g_interpreter_id = id;
    } else if (g_interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "zelm._zelm does not support sub-interpreters: it was already imported "
                        "by another interpreter of this process");
        return nullptr;
    }
    if (g_module != nullptr) return Py_NewRef(g_module);

    return at_boundary<PyObject*>(nullptr, []() -> PyObject* {
        init_names();
        install_fork_handlers();
        if (g_profiler_type == nullptr) {
            g_profiler_type = reinterpret_cast<PyTypeObject*>(require(PyType_FromSpec(&profiler_spec)).release());
        }
        PyRef module = require(PyModule_Create2(&module_definition, 1013));
        add_function(module.get(), &module_functions[0]);
        add_function(module.get(), &module_functions[1]);
        g_module = Py_NewRef(module.get());
        return module.release();
    });
}

}  // namespace
}  // namespace zelm

PyMODINIT_FUNC PyInit__zelm() { return zelm::init_module(); }
