#include "profiler/error_log.hpp"

#include "python/compat.hpp"

namespace zelm {

void log_error(PyObject* error, PyObject* frame, Event event, PyObject* co_filename,
               PyObject* co_name) {
    bool logged = run_or_set_error([&] {
        const Names& n = names();
        PyRef logging = import_module(n.logging);
        PyRef get_logger = require(PyObject_GetAttr(logging.get(), n.get_logger));
        PyRef logger = require(PyObject_CallOneArg(get_logger.get(), n.zelm));
        PyRef locals = compat::frame_locals_dict(frame).dict;
        PyRef kwargs = require(PyDict_New());
        require_status(PyDict_SetItem(kwargs.get(), n.exc_info, error));
        PyRef warning = require(PyObject_GetAttr(logger.get(), n.warning));
        PyRef message = require(PyUnicode_FromString(
            "Unexpected exception in Rust.\n    co_filename: %s\n    co_name: %s\n"
            "    event: %s\n    frame locals: %s\n"));
        std::string_view name = event_name(event);
        PyRef event_text = require(
            PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        PyRef args = require(PyTuple_Pack(5, message.get(), co_filename, co_name, event_text.get(),
                                          locals.get()));
        require(PyObject_Call(warning.get(), args.get(), kwargs.get()));
    });
    if (!logged) report_unraisable(error);
}

void log_pending_error(const EventCode& code) {
    // Ctrl-C that landed in Python code the hook ran (the serializer, a
    // plugin) is not a failure of ours and goes back to the program.
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
        discard_error();
        return;
    }
    PyRef error = fetch_exception();
    log_error(error.get(), code.frame, code.event, code.filename_object, code.name_object);
}

}  // namespace zelm
