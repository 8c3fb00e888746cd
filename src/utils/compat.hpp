// Every difference between the CPython releases we support lives here.
//
// Frame accessors return owned references on every version, so callers
// never care whether the interpreter hands out new or borrowed ones.
#pragma once

#include "utils/python.hpp"

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

inline int frame_line(PyObject* frame) { return PyFrame_GetLineNumber(as_frame(frame)); }

inline PyRef frame_globals(PyObject* frame) {
#if PY_VERSION_HEX >= 0x030B0000
    return require(PyFrame_GetGlobals(as_frame(frame)));
#else
    return PyRef::borrow(as_frame(frame)->f_globals);
#endif
}

// What Python code sees as `frame.f_locals`: the frame's own dict after a
// refresh from the fast locals, a write-through proxy for function frames
// from 3.13 on, or a class body's namespace mapping.
inline PyRef frame_locals(PyObject* frame) {
#if PY_VERSION_HEX >= 0x030B0000
    return require(PyFrame_GetLocals(as_frame(frame)));
#else
    require_status(PyFrame_FastToLocalsWithError(as_frame(frame)));
    return PyRef::borrow(as_frame(frame)->f_locals);
#endif
}

// The frame's locals as a dict: the frame's own dict where it has one,
// otherwise a snapshot of the mapping (3.13's write-through proxy, a class
// body's custom namespace), so nothing later reads or writes the live frame.
struct LocalsDict {
    PyRef dict;
    bool snapshot;
};
inline LocalsDict frame_locals_dict(PyObject* frame) {
    PyRef locals = frame_locals(frame);
    if (PyDict_Check(locals.get())) return {std::move(locals), false};
    PyRef copy = require(PyDict_New());
    require_status(PyDict_Merge(copy.get(), locals.get(), 1));
    return {std::move(copy), true};
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

}  // namespace zelm::compat
