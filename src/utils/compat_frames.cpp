// The frame accessors of compat.hpp that read the interpreter's own frame
// layout. From 3.11 on a frame object's fields, and the frame data it points
// to, are declared only in the interpreter's internal headers, which this
// unit alone includes.
#include "utils/compat.hpp"

#if PY_VERSION_HEX >= 0x030B0000
#define Py_BUILD_CORE
#include "internal/pycore_frame.h"
#endif

namespace zelm::compat {

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

}  // namespace zelm::compat
