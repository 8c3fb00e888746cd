#include "utils/qualname.hpp"

#include "utils/compat.hpp"

namespace zelm {
namespace {

// str() of an object as UTF-8, borrowed from the resulting str when possible.
class Printable {
public:
    // A str is its own text; PyObject_Str would also run pending signal
    // handlers in the middle of the hook.
    explicit Printable(PyObject* object)
        : text_(PyUnicode_CheckExact(object) ? PyRef::borrow(object) : PyRef::steal(PyObject_Str(object))) {
        if (text_) {
            utf8_.emplace(text_.get());
            return;
        }
        report_unraisable(object);
        PyRef type_name_object = PyRef::steal(
            PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(object)), names().dunder_name));
        if (type_name_object && PyUnicode_Check(type_name_object.get())) {
            fallback_ = "<unprintable " + std::string(Utf8(type_name_object.get()).view()) + " object>";
        } else {
            PyErr_Clear();
            fallback_ = "<unprintable object>";
        }
    }
    std::string_view view() const { return utf8_ ? utf8_->view() : std::string_view(fallback_); }

private:
    PyRef text_;
    std::optional<Utf8> utf8_;
    std::string fallback_;
};

// F's name: F.__module__ + "." + F.__qualname__.
std::string function_name(PyObject* function) {
    PyRef module = require(PyObject_GetAttr(function, names().dunder_module));
    PyRef qualname = require(PyObject_GetAttr(function, names().dunder_qualname));
    return dotted_text(module.get(), qualname.get());
}

enum class Lookup { found, missing, failed };

// A lookup by the item protocol: KeyError means "try the next source",
// any other failure means "no answer".
Lookup lookup(PyObject* mapping, PyObject* key, PyRef& value) {
    if (PyDict_CheckExact(mapping)) {
        // Same answer as the item protocol without making a KeyError to discard.
        PyObject* found = PyDict_GetItemWithError(mapping, key);
        if (found != nullptr) {
            value = PyRef::borrow(found);
            return Lookup::found;
        }
        if (!PyErr_Occurred()) return Lookup::missing;
        discard_error();
        return Lookup::failed;
    }
    value = PyRef::steal(PyObject_GetItem(mapping, key));
    if (value) return Lookup::found;
    bool key_error = PyErr_ExceptionMatches(PyExc_KeyError);
    discard_error();
    return key_error ? Lookup::missing : Lookup::failed;
}

}  // namespace

std::string dotted_text(PyObject* a, PyObject* b) {
    Printable first(a);
    Printable second(b);
    std::string text;
    text.reserve(first.view().size() + 1 + second.view().size());
    text.append(first.view());
    text.push_back('.');
    text.append(second.view());
    return text;
}

std::optional<std::string> get_qualname_inner(PyObject* frame, PyObject* name) {
    const Names& n = names();
    PyRef value;

    // 1. The caller usually holds the function it is calling in a local.
    PyRef back = require(PyObject_GetAttr(frame, n.f_back));
    if (back.get() == Py_None) return std::nullopt;
    if (!PyFrame_Check(back.get())) raise_conversion_error(back.get(), "PyFrame");
    compat::FrameVariable variable = compat::frame_variable(back.get(), name);
    Lookup found = Lookup::missing;
    switch (variable.where) {
        case compat::FrameVariable::Where::found:
            value = std::move(variable.value);
            found = Lookup::found;
            break;
        case compat::FrameVariable::Where::missing: break;
        case compat::FrameVariable::Where::in_namespace:
            found = lookup(variable.namespace_.get(), name, value);
            break;
    }
    switch (found) {
        case Lookup::found: return function_name(value.get());
        case Lookup::failed: return std::nullopt;
        case Lookup::missing: break;
    }

    PyRef locals = require(PyObject_GetAttr(frame, n.f_locals));
    PyRef inspect = import_module(n.inspect);
    PyRef getattr_static = require(PyObject_GetAttr(inspect.get(), n.getattr_static));

    // 2. A method: found statically on the instance's class, or its base.
    switch (lookup(locals.get(), n.self, value)) {
        case Lookup::found: {
            PyRef function =
                require(PyObject_CallFunctionObjArgs(getattr_static.get(), value.get(), name, nullptr));
            PyRef builtins = import_module(n.builtins);
            PyRef property = require(PyObject_GetAttr(builtins.get(), n.property));
            if (require_status(PyObject_IsInstance(function.get(), property.get()))) {
                function = require(PyObject_GetAttr(function.get(), n.fget));
            }
            return function_name(function.get());
        }
        case Lookup::failed: return std::nullopt;
        case Lookup::missing: break;
    }

    // 3. A class method.
    switch (lookup(locals.get(), n.cls, value)) {
        case Lookup::found:
            if (PyType_Check(value.get())) {
                PyRef function = require(
                    PyObject_CallFunctionObjArgs(getattr_static.get(), value.get(), name, nullptr));
                return function_name(function.get());
            }
            break;
        case Lookup::failed: return std::nullopt;
        case Lookup::missing: break;
    }

    PyRef globals = require(PyObject_GetAttr(frame, n.f_globals));

    // 4. A class body has its qualified name as a local.
    switch (lookup(locals.get(), n.dunder_qualname, value)) {
        case Lookup::found: {
            PyRef module_name = require(PyObject_GetItem(globals.get(), n.dunder_name));
            return dotted_text(module_name.get(), value.get());
        }
        case Lookup::failed: return std::nullopt;
        case Lookup::missing: break;
    }

    // 5. A module-level function; a KeyError here is a failure like any other.
    PyRef function = require(PyObject_GetItem(globals.get(), name));
    return function_name(function.get());
}

}  // namespace zelm
