// The frame accessors of compat.hpp that read the interpreter's own frame
// layout. From 3.11 on a frame object's fields, and the frame data it points
// to, are declared only in the interpreter's internal headers, which this
// unit alone includes.
#include "python/compat.hpp"

#if PY_VERSION_HEX >= 0x030B0000
#define Py_BUILD_CORE
#include "internal/pycore_code.h"  // the kinds of fast slots
#include "internal/pycore_frame.h"
#endif

namespace zelm::compat {
namespace {

// A frame's fast slots: its code, the slots' names and values, and whether
// the frame holds a locals mapping of its own besides them (the dict the
// interpreter keeps refreshing before 3.13, the names written through the
// proxy from 3.13 on).
struct FastSlots {
    PyCodeObject* code;
    PyObject* names;
    PyObject** values;
    Py_ssize_t count;
    bool own_mapping;
};

FastSlots fast_slots(PyObject* frame) {
    PyFrameObject* f = as_frame(frame);
#if PY_VERSION_HEX >= 0x030D0000
    auto* code = reinterpret_cast<PyCodeObject*>(f->f_frame->f_executable);
    return {code, code->co_localsplusnames, f->f_frame->localsplus, code->co_nlocalsplus, f->f_extra_locals != nullptr};
#elif PY_VERSION_HEX >= 0x030B0000
    PyCodeObject* code = f->f_frame->f_code;
    return {code, code->co_localsplusnames, f->f_frame->localsplus, code->co_nlocalsplus, f->f_frame->f_locals != nullptr};
#else
    PyCodeObject* code = f->f_code;
    return {code, code->co_varnames, f->f_localsplus,
            std::min<Py_ssize_t>(PyTuple_GET_SIZE(code->co_varnames), code->co_nlocals), f->f_locals != nullptr};
#endif
}

// Whether the code is a function's whose fast slots are all plain locals:
// no cell, free or hidden variable, each of which the interpreter reads in
// a way of its own.
bool plain_function_code(PyCodeObject* code) {
    if (!(code->co_flags & CO_OPTIMIZED)) return false;
#if PY_VERSION_HEX >= 0x030B0000
    const char* kinds = PyBytes_AS_STRING(code->co_localspluskinds);
    return std::all_of(kinds, kinds + code->co_nlocalsplus, [](char kind) { return kind == CO_FAST_LOCAL; });
#else
    return PyTuple_GET_SIZE(code->co_cellvars) == 0 && PyTuple_GET_SIZE(code->co_freevars) == 0;
#endif
}

// How the locals of the code's frames are read: the interpreter's way; as
// a dict of the bound slots in slot order, which is what the interpreter
// makes afresh (from 3.13 on, what copying its proxy gives) when every slot
// is a plain local with a name of its own; or as the bound slots
// themselves, which also needs them to fit LocalSlots and no "__builtins__"
// among them (the recorded locals leave it out).
enum class LocalsSource : std::uintptr_t { undecided = 0, interpreter, slots_dict, slots };

LocalsSource decide_locals_source(const FastSlots& frame) {
    if (!plain_function_code(frame.code)) return LocalsSource::interpreter;
    bool builtins_named = false;
    for (Py_ssize_t i = 0; i < frame.count; ++i) {
        PyObject* name = PyTuple_GET_ITEM(frame.names, i);
        // A name given twice (only a code object made by hand has one) is
        // read from its first slot by the 3.13 proxy, from its last by a
        // refresh: either way not one entry per slot.
        if (!PyUnicode_CheckExact(name)) return LocalsSource::interpreter;
        for (Py_ssize_t earlier = 0; earlier < i; ++earlier) {
            if (PyUnicode_Compare(name, PyTuple_GET_ITEM(frame.names, earlier)) == 0) {
                return LocalsSource::interpreter;
            }
        }
        builtins_named = builtins_named || PyUnicode_CompareWithASCIIString(name, "__builtins__") == 0;
    }
    if (builtins_named || frame.count > LocalSlots::kCapacity) return LocalsSource::slots_dict;
    return LocalsSource::slots;
}

#if PY_VERSION_HEX >= 0x030C0000
#define ZELM_REQUEST_CODE_EXTRA_INDEX PyUnstable_Eval_RequestCodeExtraIndex
#define ZELM_CODE_GET_EXTRA PyUnstable_Code_GetExtra
#define ZELM_CODE_SET_EXTRA PyUnstable_Code_SetExtra
#else
#define ZELM_REQUEST_CODE_EXTRA_INDEX _PyEval_RequestCodeExtraIndex
#define ZELM_CODE_GET_EXTRA _PyCode_GetExtra
#define ZELM_CODE_SET_EXTRA _PyCode_SetExtra
#endif

// decide_locals_source, once per code object: the answer is kept in the
// code's extra data, as a marker that is no pointer (nothing to free). A
// code's flags, slot kinds and names never change.
LocalsSource locals_source(const FastSlots& frame) {
    static const Py_ssize_t extra_index = ZELM_REQUEST_CODE_EXTRA_INDEX(nullptr);
    void* kept = nullptr;
    auto* code = reinterpret_cast<PyObject*>(frame.code);
    if (extra_index >= 0 && ZELM_CODE_GET_EXTRA(code, extra_index, &kept) == 0 && kept != nullptr) {
        return static_cast<LocalsSource>(reinterpret_cast<std::uintptr_t>(kept));
    }
    const LocalsSource source = decide_locals_source(frame);
    if (extra_index >= 0 &&
        ZELM_CODE_SET_EXTRA(code, extra_index, reinterpret_cast<void*>(static_cast<std::uintptr_t>(source))) < 0) {
        PyErr_Clear();  // another interpreter's index, no memory: decided again next time
    }
    return source;
}

#if PY_VERSION_HEX < 0x030D0000
// One name of the interpreter's refresh of a frame's locals dict: the value
// stored, or the name dropped when its slot is unbound. Popping keeps the
// refresh from making, and then clearing, a KeyError for every unbound name
// that is not in the dict (most of them, at a call).
void refresh_name(PyObject* locals, PyObject* name, PyObject* value) {
    if (value != nullptr) {
        require_status(PyDict_SetItem(locals, name, value));
    } else {
        require(_PyDict_Pop(locals, name, Py_None));
    }
}

// The frame's own locals dict, made and stored on the frame when it has
// none yet; null when it holds something other than a dict.
PyObject* own_locals_dict(PyObject*& slot) {
    if (slot == nullptr) slot = require(PyDict_New()).release();
    return PyDict_CheckExact(slot) ? slot : nullptr;
}
#endif

}  // namespace

PyObject* running_code(PyObject* frame) {
    PyFrameObject* f = as_frame(frame);
#if PY_VERSION_HEX >= 0x030D0000
    return f->f_frame->f_executable;
#elif PY_VERSION_HEX >= 0x030B0000
    return reinterpret_cast<PyObject*>(f->f_frame->f_code);
#else
    return reinterpret_cast<PyObject*>(f->f_code);
#endif
}

PyObject* running_globals(PyObject* frame) {
#if PY_VERSION_HEX >= 0x030B0000
    return as_frame(frame)->f_frame->f_globals;
#else
    return as_frame(frame)->f_globals;
#endif
}

PyObject* running_caller(PyObject* frame) {
#if PY_VERSION_HEX >= 0x030B0000
    // What PyFrame_GetBack finds, read where it is made already.
    PyFrameObject* f = as_frame(frame);
    if (f->f_back != nullptr) return reinterpret_cast<PyObject*>(f->f_back);
    _PyInterpreterFrame* previous = f->f_frame->previous;
    while (previous != nullptr && _PyFrame_IsIncomplete(previous)) previous = previous->previous;
    if (previous == nullptr) return nullptr;
    if (previous->frame_obj != nullptr) return reinterpret_cast<PyObject*>(previous->frame_obj);
    // Made now, and kept by the caller's interpreter frame from then on.
    return frame_back(frame).get();
#else
    return reinterpret_cast<PyObject*>(as_frame(frame)->f_back);
#endif
}

FramePosition frame_position(PyObject* frame) {
    PyFrameObject* f = as_frame(frame);
#if PY_VERSION_HEX >= 0x030D0000
    // -1 asks for the line to be computed once and kept on the frame, which
    // the interpreter's own accessor does.
    if (f->f_lineno == -1) return {PyFrame_GetLineNumber(f), nullptr, 0};
    if (f->f_lineno > 0) return {f->f_lineno, nullptr, 0};
    return {0, f->f_frame->f_executable, PyUnstable_InterpreterFrame_GetLasti(f->f_frame)};
#elif PY_VERSION_HEX >= 0x030C0000
    if (f->f_lineno != 0) return {f->f_lineno, nullptr, 0};
    return {0, reinterpret_cast<PyObject*>(f->f_frame->f_code), PyUnstable_InterpreterFrame_GetLasti(f->f_frame)};
#elif PY_VERSION_HEX >= 0x030B0000
    if (f->f_lineno != 0) return {f->f_lineno, nullptr, 0};
    int offset = _PyInterpreterFrame_LASTI(f->f_frame) * static_cast<int>(sizeof(_Py_CODEUNIT));
    return {0, reinterpret_cast<PyObject*>(f->f_frame->f_code), offset};
#else
    if (f->f_lineno != 0) return {f->f_lineno, nullptr, 0};
    return {0, reinterpret_cast<PyObject*>(f->f_code), f->f_lasti * static_cast<int>(sizeof(_Py_CODEUNIT))};
#endif
}

std::optional<LocalsDict> plain_function_locals(PyObject* frame) {
    const FastSlots fast = fast_slots(frame);
#if PY_VERSION_HEX >= 0x030D0000
    // The write-through proxy lists the bound slots in order, then the names
    // written through it that are no local (kept on the frame): without
    // those, a dict of the bound slots is what copying the proxy gives.
    if (fast.own_mapping || locals_source(fast) == LocalsSource::interpreter) return std::nullopt;
    PyRef locals = require(PyDict_New());
    for (Py_ssize_t i = 0; i < fast.count; ++i) {
        if (PyObject* value = fast.values[i]) {
            require_status(PyDict_SetItem(locals.get(), PyTuple_GET_ITEM(fast.names, i), value));
        }
    }
    return LocalsDict{std::move(locals), true};
#else
    // The frame's dict is refreshed in place, as reading `f_locals` does: its
    // order depends on every refresh before, so it is never rebuilt.
    if (locals_source(fast) == LocalsSource::interpreter) return std::nullopt;
#if PY_VERSION_HEX >= 0x030B0000
    PyObject*& own = as_frame(frame)->f_frame->f_locals;
#else
    PyObject*& own = as_frame(frame)->f_locals;
#endif
    PyObject* locals = own_locals_dict(own);
    if (locals == nullptr) return std::nullopt;
    for (Py_ssize_t i = 0; i < fast.count; ++i) refresh_name(locals, PyTuple_GET_ITEM(fast.names, i), fast.values[i]);
#if PY_VERSION_HEX >= 0x030B0000
    as_frame(frame)->f_fast_as_locals = 1;
#endif
    return LocalsDict{PyRef::from_borrowed(locals), false};
#endif
}

bool bound_local_slots(PyObject* frame, LocalSlots& slots) {
    // Before 3.13 this is what the interpreter's refresh makes of a frame
    // with no dict yet, which is left without one: the dict's order would
    // depend on every refresh that follows (and the program would see it).
    const FastSlots fast = fast_slots(frame);
    if (fast.own_mapping || locals_source(fast) != LocalsSource::slots) return false;
    std::size_t count = 0;
    for (Py_ssize_t i = 0; i < fast.count; ++i) {
        if (PyObject* value = fast.values[i]) {
            slots.names[count] = PyTuple_GET_ITEM(fast.names, i);
            slots.values[count] = PyRef::from_borrowed(value);
            ++count;
        }
    }
    slots.count = count;
    return true;
}

}  // namespace zelm::compat
