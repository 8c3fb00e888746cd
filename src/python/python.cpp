#include "python/python.hpp"

#include "python/compat.hpp"

#include <cstring>
#include <vector>

namespace zelm {
namespace {

Names g_names;
bool g_names_ready = false;
PyObject* g_internal_error = nullptr;

PyObject* intern(const char* text) {
    PyObject* name = PyUnicode_InternFromString(text);
    if (name == nullptr) throw PyErrorSet{};
    return name;
}

}  // namespace

void init_names() {
    if (g_names_ready) return;
    Names n{};
#define ZELM_INTERN_NAME(member, text) n.member = intern(text);
    ZELM_NAMES(ZELM_INTERN_NAME)
#undef ZELM_INTERN_NAME
    g_names = n;

    g_internal_error = PyErr_NewExceptionWithDoc(
        "zelm._zelm.ZelmInternalError",
        "A broken internal invariant of zelm's native module. Derived from BaseException so "
        "that the profiled program's `except Exception` handlers never swallow it.",
        PyExc_BaseException, nullptr);
    if (g_internal_error == nullptr) throw PyErrorSet{};
    g_names_ready = true;
}

const Names& names() { return g_names; }

void set_internal_error(const char* text) { PyErr_SetString(g_internal_error, text); }

PyRef fetch_exception() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return PyRef::steal(PyObject_CallFunction(
            PyExc_SystemError, "s", "attempted to fetch exception but none was set"));
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return PyRef::steal(value);
}

Utf8::Utf8(PyObject* text) {
    // Most names and file names: read where they are, no call needed.
    if (PyUnicode_IS_COMPACT_ASCII(text)) {
        view_ = ascii_text(text);
        return;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data != nullptr) {
        view_ = std::string_view(data, static_cast<std::size_t>(size));
        return;
    }
    // Lone surrogates (undecodable file-name bytes) cannot be UTF-8.
    PyErr_Clear();
    PyRef raw = require(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    PyRef decoded = require(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()),
                                                 PyBytes_GET_SIZE(raw.get()), "replace"));
    data = PyUnicode_AsUTF8AndSize(decoded.get(), &size);
    if (data == nullptr) throw PyErrorSet{};
    owned_.assign(data, static_cast<std::size_t>(size));
    view_ = owned_;
}

std::string type_name(PyObject* object) {
    PyRef name = PyRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(object)),
                                               g_names.dunder_name));
    if (name && PyUnicode_Check(name.get())) {
        const char* text = PyUnicode_AsUTF8(name.get());
        if (text != nullptr) return text;
    }
    PyErr_Clear();
    return Py_TYPE(object)->tp_name;
}

void raise_conversion_error(PyObject* object, const char* target) {
    raise_format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type_name(object).c_str(), target);
}

std::string extract_str(PyObject* object) {
    if (!PyUnicode_Check(object)) raise_conversion_error(object, "PyString");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) throw PyErrorSet{};
    return std::string(data, static_cast<std::size_t>(size));
}

std::vector<std::string> extract_str_list(PyObject* object) {
    return extract_sequence<std::string>(object, extract_str);
}

std::string extract_str_escaping_surrogates(PyObject* object) {
    if (!PyUnicode_Check(object)) raise_conversion_error(object, "PyString");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data != nullptr) return std::string(data, static_cast<std::size_t>(size));
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PyErrorSet{};
    PyErr_Clear();
    PyRef escaped = require(PyUnicode_AsEncodedString(object, "utf-8", "backslashreplace"));
    return std::string(PyBytes_AS_STRING(escaped.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(escaped.get())));
}

std::uint64_t extract_u64(PyObject* object) {
    PyRef index = require(PyNumber_Index(object));
    unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrorSet{};
    return value;
}

std::optional<bool> as_bool(PyObject* object) {
    if (PyBool_Check(object)) return object == Py_True;
    // numpy's boolean scalar, matched by name so numpy is never imported.
    const char* name = Py_TYPE(object)->tp_name;
    if (std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0) {
        int truth = PyObject_IsTrue(object);
        if (truth < 0) throw PyErrorSet{};
        return truth == 1;
    }
    return std::nullopt;
}

bool extract_bool(PyObject* object) {
    std::optional<bool> value = as_bool(object);
    if (!value) raise_conversion_error(object, "PyBool");
    return *value;
}

namespace {
bool redeliver_interrupt() {
    if (!PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) return false;
    PyErr_Clear();
    PyErr_SetInterrupt();
    return true;
}
}  // namespace

bool discard_error() {
    if (redeliver_interrupt()) return true;
    PyErr_Clear();
    return false;
}

bool report_unraisable(PyObject* context) {
    if (redeliver_interrupt()) return true;
    PyErr_WriteUnraisable(context);
    return false;
}

namespace {

// Whether the module is still executing its body on some thread: importlib
// sets "_initializing" on the module's __spec__ until the body has run. Such a module
// may lack the very attribute its importer is about to define.
bool still_initialising(PyObject* module) {
    if (!PyModule_Check(module)) return false;
    PyObject* import_state = PyDict_GetItemWithError(PyModule_GetDict(module), g_names.dunder_spec);
    if (import_state == nullptr) {
        if (PyErr_Occurred()) throw PyErrorSet{};
        return false;
    }
    PyRef initialising = compat::optional_attr(import_state, g_names.initializing);
    if (!initialising) return false;
    return require_status(PyObject_IsTrue(initialising.get())) == 1;
}

}  // namespace

PyRef module_attribute(PyObject* module, PyObject* name) {
    if (PyModule_CheckExact(module)) {
        if (PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(module), name)) {
            return PyRef::from_borrowed(found);
        }
        if (PyErr_Occurred()) throw PyErrorSet{};
    }
    return require(PyObject_GetAttr(module, name));
}

PyRef import_module(PyObject* name) {
    // A plain sys.modules lookup: PyImport_GetModule would also probe the
    // module's __spec__ through an AttributeError raised and cleared on every
    // call, which costs more than the lookup itself. A module found there
    // half-imported goes through the real import, which waits for its body
    // to finish (or answers at once on the importing thread itself).
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_CheckExact(modules)) {
        PyObject* module = PyDict_GetItemWithError(modules, name);
        if (module != nullptr && module != Py_None) {
            PyRef found = PyRef::from_borrowed(module);
            if (!still_initialising(found.get())) return found;
        } else if (PyErr_Occurred()) {
            throw PyErrorSet{};
        }
    }
    return require(PyImport_Import(name));
}

PyObject* ModuleAttribute::kept() const {
    PyObject* modules = PyImport_GetModuleDict();
    // A module's class may be reassigned, to one whose attributes come first.
    if (modules_ == modules && compat::dict_version(modules) == modules_version_ &&
        PyModule_CheckExact(module_) && compat::dict_version(PyModule_GetDict(module_)) == namespace_version_) {
        return value_;
    }
    return nullptr;
}

PyRef ModuleAttribute::get(PyObject* module_name, PyObject* attribute) {
    if (PyObject* value = kept()) return PyRef::from_borrowed(value);
    PyObject* modules = PyImport_GetModuleDict();
    // Code the lookups run (an import, a key's equality) may come back here,
    // also from another thread: until they are done nothing is kept.
    modules_ = nullptr;
    const bool modules_dict = PyDict_Check(modules);
    const std::uint64_t modules_version = modules_dict ? compat::dict_version(modules) : 0;
    PyRef module = import(module_name);
    if (!modules_dict || module.get() != module_ || !PyModule_CheckExact(module.get())) {
        return module_attribute(module.get(), attribute);
    }
    PyObject* namespace_ = PyModule_GetDict(module.get());
    const std::uint64_t namespace_version = compat::dict_version(namespace_);
    PyObject* found = PyDict_GetItemWithError(namespace_, attribute);
    if (found == nullptr) {
        if (PyErr_Occurred()) throw PyErrorSet{};
        return module_attribute(module.get(), attribute);
    }
    PyRef value = PyRef::from_borrowed(found);
    // The tags read before the lookups: a change they made shows next time.
    PyObject* earlier = std::exchange(value_, Py_NewRef(found));
    modules_version_ = modules_version;
    namespace_version_ = namespace_version;
    modules_ = modules;
    Py_XDECREF(earlier);
    return value;
}

PyRef ModuleAttribute::import(PyObject* module_name) {
    PyObject* modules = PyImport_GetModuleDict();
    if (module_ != nullptr && PyDict_CheckExact(modules)) {
        PyObject* found = PyDict_GetItemWithError(modules, module_name);
        if (found == module_) return PyRef::from_borrowed(found);
        if (found == nullptr && PyErr_Occurred()) throw PyErrorSet{};
    }
    PyRef module = import_module(module_name);
    // One still running its body (imported on this very thread) is not kept:
    // another thread must go on waiting for it.
    if (!still_initialising(module.get())) {
        PyObject* earlier = std::exchange(module_, Py_NewRef(module.get()));
        Py_XDECREF(earlier);
    }
    return module;
}

PendingExceptionGuard::PendingExceptionGuard() {
    if (PyErr_Occurred()) PyErr_Fetch(&type_, &value_, &traceback_);
}

PendingExceptionGuard::~PendingExceptionGuard() {
    if (!gil_held_here()) return;
    // Failures inside are reported where they happen; one that slipped
    // through goes to the unraisable hook rather than into the program.
    if (PyErr_Occurred()) report_unraisable(nullptr);
    if (type_ != nullptr) PyErr_Restore(type_, value_, traceback_);
}

}  // namespace zelm
