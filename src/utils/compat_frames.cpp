// The frame accessors of compat.hpp that read the interpreter's own frame
// layout. From 3.11 on a frame object's fields, and the frame data it points
// to, are declared only in the interpreter's internal headers, which this
// unit alone includes.
#include "utils/compat.hpp"

#if PY_VERSION_HEX >= 0x030B0000
#define Py_BUILD_CORE
#include "internal/pycore_code.h"  // the kinds of fast slots
#include "internal/pycore_frame.h"
#endif

namespace zelm::compat {
namespace {

#if PY_VERSION_HEX >= 0x030B0000
// Whether every fast slot of the code is a plain local: no cell, free or
// hidden variable, each of which the interpreter reads in a way of its own.
bool plain_slots(PyCodeObject* code) {
    const char* kinds = PyBytes_AS_STRING(code->co_localspluskinds);
    for (int i = 0; i < code->co_nlocalsplus; ++i) {
        if (kinds[i] != CO_FAST_LOCAL) return false;
    }
    return true;
}
#endif

#if PY_VERSION_HEX >= 0x030D0000
// How the locals of the code's frames are read: through the interpreter's
// proxy; as a dict of the bound fast slots in slot order, which is what
// copying the proxy gives when every slot is a plain local with a name of
// its own; or as the bound slots themselves, which also needs them to fit
// LocalSlots and no "__builtins__" among them (the recorded locals leave it
// out). Decided once per code object and kept in its extra data, as a
// marker that is no pointer (nothing to free): a code's flags, slot kinds
// and names never change.
enum class LocalsSource : std::uintptr_t { undecided = 0, proxy, slots_dict, slots };

LocalsSource decide_locals_source(PyCodeObject* code) {
    if (!(code->co_flags & CO_OPTIMIZED) || !plain_slots(code)) return LocalsSource::proxy;
    PyObject* names = code->co_localsplusnames;
    bool builtins_named = false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        // A name given twice (only a code object made by hand has one) is
        // read from its first slot by the proxy, but a dict keeps its last.
        if (!PyUnicode_CheckExact(name)) return LocalsSource::proxy;
        for (Py_ssize_t earlier = 0; earlier < i; ++earlier) {
            if (PyUnicode_Compare(name, PyTuple_GET_ITEM(names, earlier)) == 0) return LocalsSource::proxy;
        }
        builtins_named = builtins_named || PyUnicode_CompareWithASCIIString(name, "__builtins__") == 0;
    }
    if (builtins_named || code->co_nlocalsplus > LocalSlots::kCapacity) return LocalsSource::slots_dict;
    return LocalsSource::slots;
}

LocalsSource locals_source(PyCodeObject* code) {
    static const Py_ssize_t extra_index = PyUnstable_Eval_RequestCodeExtraIndex(nullptr);
    void* kept = nullptr;
    auto* code_object = reinterpret_cast<PyObject*>(code);
    if (extra_index >= 0 && PyUnstable_Code_GetExtra(code_object, extra_index, &kept) == 0 && kept != nullptr) {
        return static_cast<LocalsSource>(reinterpret_cast<std::uintptr_t>(kept));
    }
    const LocalsSource source = decide_locals_source(code);
    if (extra_index >= 0 && PyUnstable_Code_SetExtra(code_object, extra_index,
                                                     reinterpret_cast<void*>(static_cast<std::uintptr_t>(source))) < 0) {
        PyErr_Clear();  // another interpreter's index, no memory: decided again next time
    }
    return source;
}
#endif

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
    PyFrameObject* f = as_frame(frame);
#if PY_VERSION_HEX >= 0x030D0000
    // The write-through proxy lists the bound slots in order, then the names
    // written through it that are no local (kept on the frame): without
    // those, a dict of the bound slots is what copying the proxy gives.
    _PyInterpreterFrame* data = f->f_frame;
    auto* code = reinterpret_cast<PyCodeObject*>(data->f_executable);
    if (f->f_extra_locals != nullptr || locals_source(code) == LocalsSource::proxy) return std::nullopt;
    PyRef locals = require(PyDict_New());
    for (int i = 0; i < code->co_nlocalsplus; ++i) {
        if (PyObject* value = data->localsplus[i]) {
            require_status(PyDict_SetItem(locals.get(), PyTuple_GET_ITEM(code->co_localsplusnames, i), value));
        }
    }
    return LocalsDict{std::move(locals), true};
#elif PY_VERSION_HEX >= 0x030B0000
    // The frame's dict is refreshed in place, as reading `f_locals` does: its
    // order depends on every refresh before, so it is never rebuilt.
    _PyInterpreterFrame* data = f->f_frame;
    PyCodeObject* code = data->f_code;
    if (!(code->co_flags & CO_OPTIMIZED) || !plain_slots(code)) return std::nullopt;
    PyObject* locals = own_locals_dict(data->f_locals);
    if (locals == nullptr) return std::nullopt;
    for (int i = 0; i < code->co_nlocalsplus; ++i) {
        refresh_name(locals, PyTuple_GET_ITEM(code->co_localsplusnames, i), data->localsplus[i]);
    }
    f->f_fast_as_locals = 1;
    return LocalsDict{PyRef::from_borrowed(locals), false};
#else
    // As from 3.11 on, the frame's dict is refreshed in place.
    PyCodeObject* code = f->f_code;
    if (!(code->co_flags & CO_OPTIMIZED) || PyTuple_GET_SIZE(code->co_cellvars) != 0 ||
        PyTuple_GET_SIZE(code->co_freevars) != 0) {
        return std::nullopt;
    }
    PyObject* locals = own_locals_dict(f->f_locals);
    if (locals == nullptr) return std::nullopt;
    Py_ssize_t count = std::min<Py_ssize_t>(PyTuple_GET_SIZE(code->co_varnames), code->co_nlocals);
    for (Py_ssize_t i = 0; i < count; ++i) {
        refresh_name(locals, PyTuple_GET_ITEM(code->co_varnames, i), f->f_localsplus[i]);
    }
    return LocalsDict{PyRef::from_borrowed(locals), false};
#endif
}

bool bound_local_slots(PyObject* frame, LocalSlots& slots) {
#if PY_VERSION_HEX >= 0x030D0000
    // As plain_function_locals reads them, with the dict left out.
    _PyInterpreterFrame* data = as_frame(frame)->f_frame;
    auto* code = reinterpret_cast<PyCodeObject*>(data->f_executable);
    if (as_frame(frame)->f_extra_locals != nullptr || locals_source(code) != LocalsSource::slots) return false;
    std::size_t count = 0;
    for (int i = 0; i < code->co_nlocalsplus; ++i) {
        if (PyObject* value = data->localsplus[i]) {
            slots.names[count] = PyTuple_GET_ITEM(code->co_localsplusnames, i);
            slots.values[count] = PyRef::from_borrowed(value);
            ++count;
        }
    }
    slots.count = count;
    return true;
#else
    // The frame's own dict is refreshed in place, and its order depends on
    // every refresh before: it is what is recorded.
    static_cast<void>(frame);
    static_cast<void>(slots);
    return false;
#endif
}

}  // namespace zelm::compat
