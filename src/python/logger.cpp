#include "python/logger.hpp"

#include <string>
#include <unordered_set>

namespace zelm {

void log_warning_record(PyObject* message, PyObject* args, PyObject* pathname, PyObject* line,
                        PyObject* exc_info, PyObject* function) {
    const Names& n = names();
    PyRef logging = import_module(n.logging);
    PyRef get_logger = require(PyObject_GetAttr(logging.get(), n.get_logger));
    PyRef logger = require(PyObject_CallOneArg(get_logger.get(), n.zelm));
    PyRef level = require(PyObject_GetAttr(logging.get(), n.warning_level));
    PyRef enabled = require(PyObject_CallMethodOneArg(logger.get(), n.is_enabled_for, level.get()));
    if (!require_status(PyObject_IsTrue(enabled.get()))) return;
    PyRef make_record = require(PyObject_GetAttr(logger.get(), n.make_record));
    PyRef record = require(PyObject_CallFunctionObjArgs(make_record.get(), n.zelm, level.get(), pathname, line,
                                                        message, args, exc_info, function, nullptr));
    require(PyObject_CallMethodOneArg(logger.get(), n.handle, record.get()));
}

namespace {

// The warnings logged so far; guarded by the GIL.
std::unordered_set<std::string>& warned() {
    static auto* texts = new std::unordered_set<std::string>();  // never freed: used until the process ends
    return *texts;
}

PyRef text_object(std::string_view text) {
    return require(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

}  // namespace

void warn_once_of_pending_error(std::string_view doing, std::string_view outcome) {
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
        discard_error();
        return;
    }
    // The type's C name: asking the class for __name__ could run the program's code.
    PyObject* error_type = PyErr_Occurred();
    std::string text(doing);
    text += " raised ";
    text += reinterpret_cast<PyTypeObject*>(error_type)->tp_name;
    text += "; ";
    text += outcome;
    PyErr_Clear();
    // Kept before logging: a handler may let another thread log the same.
    if (!warned().insert(text).second) return;
    bool logged = run_or_set_error([&] {
        PyRef message = text_object(text);
        PyRef no_args = require(PyTuple_New(0));
        PyRef pathname = text_object("zelm");
        PyRef line = require(PyLong_FromLong(0));
        log_warning_record(message.get(), no_args.get(), pathname.get(), line.get(), Py_None, Py_None);
    });
    if (!logged) discard_error();
}

}  // namespace zelm
