// Every difference between the CPython releases we support lives here.
//
// Frame accessors return owned references on every version, so callers
// never care whether the interpreter hands out new or borrowed ones.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "python/python.hpp"

#if PY_VERSION_HEX < 0x030A0000
#error "zelm needs CPython 3.10 or later"
#endif

#if PY_VERSION_HEX < 0x030B0000
#include <frameobject.h>
#endif

namespace zelm::compat {

inline PyFrameObject* as_frame(PyObject* frame) { return reinterpret_cast<PyFrameObject*>(frame); }

// The frame's code object (never null for a real frame).
inline PyRef frame_code(PyObject* frame) {
    return PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(as_frame(frame))));
}

// The calling frame, or an empty reference at the bottom of the stack.
inline PyRef frame_back(PyObject* frame) {
    return PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(as_frame(frame))));
}

// The code a running frame runs and the frame that called it, borrowed: a
// frame holds its code, and a running frame's caller runs too (which keeps
// the frame object the interpreter made for it). The caller is null at the
// bottom of the stack.
PyObject* running_code(PyObject* frame);
PyObject* running_caller(PyObject* frame);
// The globals of a running frame, borrowed: the frame holds them.
PyObject* running_globals(PyObject* frame);

// Where the frame stands, for its line number: the line itself when the
// frame carries one (a tracer sets it), otherwise its code (borrowed) and
// the byte offset of its instruction, whose line PyCode_Addr2Line gives.
// PyFrame_GetLineNumber answers the same, walking the line table each time.
struct FramePosition {
    int line;
    PyObject* code;  // null when `line` is the answer
    int offset;
};
FramePosition frame_position(PyObject* frame);

inline PyRef frame_globals(PyObject* frame) {
#if PY_VERSION_HEX >= 0x030B0000
    return require(PyFrame_GetGlobals(as_frame(frame)));
#else
    return PyRef::from_borrowed(as_frame(frame)->f_globals);
#endif
}

// The frame's locals, read without changing the frame or anything else:
// the interpreter's own refresh (PyFrame_FastToLocals, which reading
// `f_locals` runs before 3.13) writes into the frame's dict and, for a class
// body with a `__class__` cell, deletes that name from the class namespace.
// A function frame's locals come as a dict made from its fast slots (over a
// copy of the dict a refresh left on the frame, if any), or from 3.13 on as
// a copy of the interpreter's write-through proxy; a class or module body's
// as its namespace mapping as it is (cells are never merged into it, as
// 3.13 does), a dict subclass copied item by item at C level, and a mapping
// that is no dict given as it is, for the caller to record as a value
// without running its methods.
struct FrameLocals {
    PyRef mapping;
    bool copy;  // a dict made for the caller, free to change
};

// Before 3.13 the interpreter refreshes a function frame's locals dict in
// place each time `f_locals` is read: a name keeps its place while it stays
// bound, an unbound one leaves, and the names bound since the last refresh
// come after the others in slot order. So the order of the names depends on
// when the dict was refreshed before. A LocalsOrder is that order as it
// would be had the dict been refreshed at each event recorded for the frame
// (and, on 3.10, at each recorded event of a function it calls, whose
// qualified name is looked up in its caller's locals), which the profiler
// keeps without refreshing the frame's own dict. From 3.13 on, reading the
// locals lists the bound slots in slot order whatever happened before.
inline constexpr bool kLocalsOrderHasHistory = PY_VERSION_HEX < 0x030D0000;

// The order of the names is written out only where it is not the slot order
// of the names bound at that event with no unbound slot among them: a frame
// whose names came in slot order keeps nothing, and a new frame (or one seen
// for the first time) is taken to be such a frame.
struct LocalsOrder {
    PyObject* code = nullptr;  // the code it was made for, only compared: another frame may reuse the address
    bool listed = false;       // `slots` holds the order (else it is the slot order, as above)
    std::vector<std::uint16_t> slots;  // each name's last slot (where its value is), in the dict's order
};

// The frame's locals as frame_locals reads them, a function frame's in the
// order `order` had after its previous recorded event, brought up to this
// one (a refresh at this event); any other frame leaves `order` unlisted.
FrameLocals frame_locals(PyObject* frame, LocalsOrder* order = nullptr);

// Brings a function frame's `order` up to this event, as frame_locals would,
// without reading the locals into a dict.
void refresh_locals_order(PyObject* frame, LocalsOrder& order);

// Whether the frame has run past its first instruction: a frame resumed
// (a generator's after a yield) rather than one starting.
bool frame_resumed(PyObject* frame);

// Whether a returning frame is a generator's or coroutine's suspended at a
// yield or await, which it will be resumed from.
bool frame_suspended(PyObject* frame);

// A function frame's bound fast slots, when they are exactly its locals as
// a dict with no "__builtins__" key: names borrowed from the frame's code,
// values held, in the dict's order.
struct LocalSlots {
    static constexpr int kCapacity = 16;
    std::array<PyObject*, kCapacity> names;
    std::array<PyRef, kCapacity> values;
    std::size_t count = 0;
};
// Fills `slots` (a cell's or free variable's content in its place), in the
// order `order` had after the frame's previous recorded event brought up to
// this one, and answers true where the locals dict would be made from the
// slots: a function frame with few slots, each with a name of its own
// (before 3.13 cells and free variables too, from 3.13 on plain locals
// only), and no locals mapping of its own. False, with `slots` and `order`
// untouched, otherwise.
bool bound_local_slots(PyObject* frame, LocalSlots& slots, LocalsOrder& order);

// One variable of a frame, as `frame.f_locals[name]` would show it.
struct FrameVariable {
    enum class Where { found, missing, in_namespace } where;
    PyRef value;      // found: the variable's value
    PyRef namespace_; // in_namespace: the mapping to look the name up in
};

// On 3.10, reading `f_locals` copies the fast locals, cells and free
// variables into a dict stored on the frame, which then keeps alive what the
// frame deletes afterwards. The variable is read from them directly instead,
// with the answer that copy would give: the name's last slot among the
// locals, the cells and (for optimised code) the free variables decides, an
// unset slot meaning missing; a name in no slot is looked up in the frame's
// own namespace (a class body's or module's, or the dict a refresh left).
// From 3.11 on (where code carries its qualified name) the frame's locals as
// frame_locals reads them.
inline FrameVariable frame_variable(PyObject* frame, PyObject* name) {
#if PY_VERSION_HEX < 0x030B0000
    PyFrameObject* f = as_frame(frame);
    PyCodeObject* code = f->f_code;
    // Two interned strings are equal only if they are the same object.
    auto interned = [](PyObject* text) { return PyUnicode_CheckExact(text) && PyUnicode_CHECK_INTERNED(text); };
    const bool name_interned = interned(name);
    bool compared = false;
    auto slot_of = [&](PyObject* names, Py_ssize_t limit, Py_ssize_t first, Py_ssize_t& found) {
        const Py_ssize_t count = std::min(PyTuple_GET_SIZE(names), limit);
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* candidate = PyTuple_GET_ITEM(names, i);
            if (candidate == name) {
                found = first + i;
            } else if (!name_interned || !interned(candidate)) {
                compared = true;
                if (PyUnicode_Compare(candidate, name) == 0) found = first + i;
            }
        }
    };
    Py_ssize_t slot = -1;
    const Py_ssize_t cells = PyTuple_GET_SIZE(code->co_cellvars);
    slot_of(code->co_varnames, code->co_nlocals, 0, slot);
    if (cells != 0) slot_of(code->co_cellvars, cells, code->co_nlocals, slot);
    if (code->co_flags & CO_OPTIMIZED) {
        slot_of(code->co_freevars, PY_SSIZE_T_MAX, code->co_nlocals + cells, slot);
    }
    // Only a comparison with a str that is no exact str can have failed.
    if (compared && PyErr_Occurred()) throw PyErrorSet{};
    if (slot >= 0) {
        PyObject* value = f->f_localsplus[slot];
        if (slot >= code->co_nlocals && value != nullptr && PyCell_Check(value)) value = PyCell_GET(value);
        if (value == nullptr) return {FrameVariable::Where::missing, {}, {}};
        return {FrameVariable::Where::found, PyRef::from_borrowed(value), {}};
    }
    if (f->f_locals == nullptr) return {FrameVariable::Where::missing, {}, {}};
    return {FrameVariable::Where::in_namespace, {}, PyRef::from_borrowed(f->f_locals)};
#else
    (void)name;
    return {FrameVariable::Where::in_namespace, {}, frame_locals(frame).mapping};
#endif
}

// A type's version tag: it changes whenever the type or one of its bases is
// modified, and comes from one process-wide counter, so no other state of
// this type has the same one. Empty while the type has no valid tag.
inline std::optional<unsigned int> type_version(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030D0000
    // The flag is no longer kept: a tag of 0 is the invalid one.
    if (type->tp_version_tag == 0) return std::nullopt;
#else
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return std::nullopt;
#endif
    return type->tp_version_tag;
}

// A dict's version tag: every change made to the dict gives it a new one
// from a counter of the interpreter's, and a new dict starts with a fresh
// one, so the same dict with the same tag holds the same items.
inline std::uint64_t dict_version(PyObject* dict) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // deprecated for outside use from 3.12
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
}

// The attribute `name` as the type's MRO dicts hold it (borrowed), without
// descriptors applied; null when none holds it. Gives the type a version tag.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

// The object's own attribute dict (borrowed), or null when it has none.
inline PyObject* instance_dict(PyObject* object) {
    PyObject** dict = _PyObject_GetDictPtr(object);
    return dict == nullptr ? nullptr : *dict;
}

// Whether the weak reference still points at `object`: a dead one points at None.
inline bool weakref_targets(PyObject* weakref, PyObject* object) {
    return reinterpret_cast<PyWeakReference*>(weakref)->wr_object == object;
}

inline PyObject* code_filename(PyObject* code) {
    return reinterpret_cast<PyCodeObject*>(code)->co_filename;
}
inline PyObject* code_name(PyObject* code) { return reinterpret_cast<PyCodeObject*>(code)->co_name; }

// The code's qualified name, or null on interpreters whose code objects have none.
inline PyObject* code_qualname([[maybe_unused]] PyObject* code) {
#if PY_VERSION_HEX >= 0x030B0000
    return reinterpret_cast<PyCodeObject*>(code)->co_qualname;
#else
    return nullptr;
#endif
}

// The id of the calling thread's Python thread state: unique in the
// interpreter, never reused. With the GIL held.
inline std::uint64_t thread_state_id() { return PyThreadState_GetID(PyThreadState_Get()); }

// The profile hook installed on the calling thread: its function and its
// object (borrowed). With the GIL held.
struct ProfileHook {
    Py_tracefunc function;
    PyObject* object;
};
inline ProfileHook profile_hook_of(PyThreadState* thread_state) {
    return {thread_state->c_profilefunc, thread_state->c_profileobj};
}
inline ProfileHook current_profile_hook() { return profile_hook_of(PyThreadState_Get()); }

// Calls visit(thread state id, its profile hook) for every thread state of
// the calling thread's interpreter. With the GIL held, which every change of
// a thread's hook holds too; `visit` must not run Python code, which could
// end a thread and unlink its state from the list being walked.
template <typename Visit>
void for_each_profile_hook(Visit&& visit) {
    for (PyThreadState* thread_state = PyInterpreterState_ThreadHead(PyInterpreterState_Get());
         thread_state != nullptr; thread_state = PyThreadState_Next(thread_state)) {
        visit(PyThreadState_GetID(thread_state), profile_hook_of(thread_state));
    }
}

// Whether the interpreter is shutting down (past its atexit handlers).
inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// getattr(object, name) with a missing attribute as an empty reference and
// no AttributeError made and discarded on the way.
inline PyRef optional_attr(PyObject* object, PyObject* name) {
    PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    require_status(PyObject_GetOptionalAttr(object, name, &value));
#else
    require_status(_PyObject_LookupAttr(object, name, &value));
#endif
    return PyRef::steal(value);
}

// How the profile hook learns that a frame was left by an exception.
// 3.10, 3.11 and 3.13 pass no argument to a "return" that is an unwind;
// 3.12's hook passes None, as it does for `return None`. From 3.12 on the
// exception itself comes from a sys.monitoring PY_UNWIND callback that runs
// right after the profile hook's "return"; before 3.12 the interpreter only
// shows it to a trace function, in the caller's "exception" event.
inline constexpr bool kUnwindFromMonitoring = PY_VERSION_HEX >= 0x030C0000;

// True when a "return" with this argument may be an unwind.
inline bool may_be_unwind(PyObject* arg) {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
    return arg == nullptr || arg == Py_None;
#else
    return arg == nullptr;
#endif
}

// The thread's trace function slot is free (nobody called sys.settrace).
inline bool trace_slot_free() { return PyThreadState_Get()->c_tracefunc == nullptr; }

// Whether the calling interpreter refuses extension modules that keep
// process-wide state, as an isolated sub-interpreter does. 3.12's import
// asks only after it has run such a module's init function, which must not
// touch that state first; 3.13's asks before, and earlier versions have no
// isolated interpreters.
inline bool interpreter_is_isolated() {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
    return _PyInterpreterState_HasFeature(PyInterpreterState_Get(), Py_RTFLAGS_MULTI_INTERP_EXTENSIONS) != 0;
#else
    return false;
#endif
}

}  // namespace zelm::compat
