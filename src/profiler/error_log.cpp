#include "profiler/error_log.hpp"

#include "python/logger.hpp"

namespace zelm {

bool LoggedCodes::first_time(PyObject* code) {
    if (!addresses_.insert(code).second) return false;
    if (code != nullptr) held_.push_back(PyRef::from_borrowed(code));
    return true;
}

void log_error(PyObject* error, PyObject* code, Event event, PyObject* co_filename, PyObject* co_name) {
    bool logged = run_or_set_error([&] {
        PyRef message = require(PyUnicode_FromString(
            "Unexpected exception in Rust.\n    co_filename: %s\n    co_name: %s\n"
            "    event: %s\n    line: %s\n"));
        std::string_view name = event_name(event);
        PyRef event_text = require(
            PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        // The code's first line: the frame's own may be unknown, and its
        // locals and arguments are the program's values.
        int first_line = code != nullptr ? reinterpret_cast<PyCodeObject*>(code)->co_firstlineno : 0;
        PyRef line = require(PyLong_FromLong(first_line));
        PyRef args = require(PyTuple_Pack(4, co_filename, co_name, event_text.get(), line.get()));
        PyRef traceback = PyRef::steal(PyException_GetTraceback(error));
        PyRef exc_info = require(PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(error)), error,
                                              traceback ? traceback.get() : Py_None));
        // The record takes its path apart, so it gets a str whatever the code held.
        PyRef pathname = PyUnicode_Check(co_filename) ? PyRef::from_borrowed(co_filename)
                                                      : require(PyUnicode_FromString("<unknown>"));
        log_warning_record(message.get(), args.get(), pathname.get(), line.get(), exc_info.get(), co_name);
    });
    if (!logged) report_unraisable(nullptr);
}

void log_pending_error(const EventCode& code, LoggedCodes& logged) {
    // Ctrl-C that landed in Python code the hook ran (the serializer, a
    // plugin) is not a failure of ours and goes back to the program.
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
        discard_error();
        return;
    }
    PyRef error = fetch_exception();
    if (!logged.first_time(code.code)) return;
    log_error(error.get(), code.code, code.event, code.filename_object, code.name_object);
}

}  // namespace zelm
