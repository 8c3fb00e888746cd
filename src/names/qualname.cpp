#include "names/qualname.hpp"

#include <utility>

#include "python/compat.hpp"
#include "python/logger.hpp"

namespace zelm {
namespace {

// The type name an unprintable object is shown by: its type's __name__.
std::string shown_type_name(PyObject* object) {
    PyRef name = PyRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(object)), names().dunder_name));
    if (name && PyUnicode_Check(name.get())) return std::string(Utf8(name.get()).view());
    discard_error();
    return {};
}

// str() of an object as UTF-8, borrowed from the resulting str when possible.
class Printable {
public:
    // A str is its own text; PyObject_Str would also run pending signal
    // handlers in the middle of the hook.
    explicit Printable(PyObject* object)
        : text_(PyUnicode_CheckExact(object) ? PyRef::from_borrowed(object) : PyRef::steal(PyObject_Str(object))) {
        if (text_) {
            utf8_.emplace(text_.get());
            return;
        }
        // Reported as text of zelm's own: the interpreter's unraisable hook
        // would print the object's repr, the program's code again.
        std::string_view c_name = Py_TYPE(object)->tp_name;
        warn_once_of_pending_error("str() of a name of type " + std::string(c_name),
                                   "the name is shown as <unprintable ...>");
        std::string type_name = shown_type_name(object);
        fallback_ = type_name.empty() ? "<unprintable object>" : "<unprintable " + type_name + " object>";
    }
    std::string_view view() const { return utf8_ ? utf8_->view() : std::string_view(fallback_); }

private:
    PyRef text_;
    std::optional<Utf8> utf8_;
    std::string fallback_;
};

// F's name, F.__module__ + "." + F.__qualname__, into `text`; false when F
// lacks either, as when the caller's variable of that name is no function. A
// plain function's two attributes are fields of its own, read without a
// lookup; one made in globals without "__name__" (a template's) has no
// module, and is named after its code's file as its frames are. Both are
// held while str() of the first may run code that replaces the second.
bool function_name(PyObject* function, DottedNameCache& dotted_names, std::string& text) {
    PyRef module;
    PyRef qualname;
    if (Py_IS_TYPE(function, &PyFunction_Type)) {
        auto* plain = reinterpret_cast<PyFunctionObject*>(function);
        module = PyRef::from_borrowed(plain->func_module != nullptr ? plain->func_module
                                                                    : compat::code_filename(plain->func_code));
        qualname = PyRef::from_borrowed(plain->func_qualname);
    } else {
        module = compat::optional_attr(function, names().dunder_module);
        if (!module) return false;
        qualname = compat::optional_attr(function, names().dunder_qualname);
        if (!qualname) return false;
    }
    dotted_text(module.get(), qualname.get(), dotted_names, text);
    return true;
}

// What every inference past the caller's locals reads.
ModuleAttribute inspect_getattr_static;
ModuleAttribute builtins_property;

enum class Lookup { found, missing, failed };

// A lookup among a dict's own items (of a subclass too, whose methods do
// not run): a failure (a key's equality raising) means "no answer".
Lookup dict_lookup(PyObject* dict, PyObject* key, PyRef& value) {
    PyObject* found = PyDict_GetItemWithError(dict, key);
    if (found != nullptr) {
        value = PyRef::from_borrowed(found);
        return Lookup::found;
    }
    if (!PyErr_Occurred()) return Lookup::missing;
    discard_error();
    return Lookup::failed;
}

// A lookup by the item protocol: KeyError means "try the next source",
// any other failure means "no answer".
Lookup lookup(PyObject* mapping, PyObject* key, PyRef& value) {
    // Same answer as the item protocol without making a KeyError to discard.
    if (PyDict_CheckExact(mapping)) return dict_lookup(mapping, key, value);
    value = PyRef::steal(PyObject_GetItem(mapping, key));
    if (value) return Lookup::found;
    bool key_error = PyErr_ExceptionMatches(PyExc_KeyError);
    discard_error();
    return key_error ? Lookup::missing : Lookup::failed;
}

// A variable of the frame, as a lookup in its `f_locals` would find it,
// without running the program's code: a class body's namespace that is a
// dict subclass is read at C level, and one that is no dict is taken not
// to hold the name.
Lookup frame_lookup(PyObject* frame, PyObject* name, PyRef& value) {
    compat::FrameVariable variable = compat::frame_variable(frame, name);
    switch (variable.where) {
        case compat::FrameVariable::Where::found: value = std::move(variable.value); return Lookup::found;
        case compat::FrameVariable::Where::missing: return Lookup::missing;
        case compat::FrameVariable::Where::in_namespace: break;
    }
    if (!PyDict_Check(variable.namespace_.get())) return Lookup::missing;
    return dict_lookup(variable.namespace_.get(), name, value);
}

PyTypeObject* class_of(PyObject* object) {
    return PyType_Check(object) ? reinterpret_cast<PyTypeObject*>(object) : Py_TYPE(object);
}

// Whether inspect's _shadowed_dict finds nothing on the type: each class of
// its MRO holds under `__dict__` either nothing or the descriptor that class
// made for its instances' dict. getattr_static then reads an instance's own
// attributes from that dict, and skips no class whose metaclass is this
// type or one of its bases. A type with an attribute dict but no such
// descriptor at all is left out: its instances' `__dict__` would be looked
// up in their own dict.
bool dict_not_shadowed(PyTypeObject* type) {
    // Held: a key's equality in the lookups may run code that replaces it.
    PyRef mro = PyRef::from_borrowed(type->tp_mro);
    if (!mro || !PyTuple_Check(mro.get())) return false;
    bool seen = false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        PyObject* entry = PyTuple_GET_ITEM(mro.get(), i);
        if (!PyType_Check(entry)) return false;
        PyObject* dict = reinterpret_cast<PyTypeObject*>(entry)->tp_dict;
        if (dict == nullptr) return false;
        PyObject* descriptor = PyDict_GetItemWithError(dict, names().dunder_dict);
        if (descriptor == nullptr) {
            if (!PyErr_Occurred()) continue;
            discard_error();
            return false;
        }
        bool own = Py_IS_TYPE(descriptor, &PyGetSetDescr_Type) &&
                   reinterpret_cast<PyObject*>(PyDescr_TYPE(descriptor)) == entry &&
                   PyUnicode_Compare(PyDescr_NAME(descriptor), names().dunder_dict) == 0;
        if (!own) return false;
        seen = true;
    }
    return seen || type->tp_dictoffset == 0;
}

// isinstance(object, property). A plain function is no instance of the
// builtin property: its `__class__`, which the check reads after the type,
// is a data descriptor of its type that an instance cannot override.
bool is_property(PyObject* object, PyObject* property) {
    if (Py_IS_TYPE(object, &PyFunction_Type) && property == reinterpret_cast<PyObject*>(&PyProperty_Type)) {
        return false;
    }
    return require_status(PyObject_IsInstance(object, property)) != 0;
}

// getattr_static(object, name), from the cache while it would answer the same.
PyRef static_attribute(StaticLookupCache& cache, PyObject* getattr_static, PyObject* object, PyObject* name) {
    if (PyRef known = cache.find(getattr_static, object, name)) return known;
    PyRef found = require(PyObject_CallFunctionObjArgs(getattr_static, object, name, nullptr));
    cache.remember(getattr_static, object, name, found.get());
    return found;
}

}  // namespace

PyRef module_name_or_file(PyObject* module_name, PyObject* code) {
    // Held: str() of it may run code that takes the name out of the globals.
    return PyRef::from_borrowed(module_name != nullptr ? module_name : compat::code_filename(code));
}

void dotted_text(PyObject* a, PyObject* b, DottedNameCache& dotted_names, std::string& text) {
    if (const std::string* known = dotted_names.find(a, b)) {
        text = *known;
        return;
    }
    Printable first(a);
    Printable second(b);
    text.assign(first.view());
    text.push_back('.');
    text.append(second.view());
    dotted_names.remember(a, b, text);
}

DottedNameCache::Entry& DottedNameCache::entry_for(PyObject* a, PyObject* b) {
    // Multiplied so that the high bits mix all of both addresses: strs made
    // close together (one class's method names) must not share an entry.
    std::uint64_t key =
        (reinterpret_cast<std::uintptr_t>(a) >> 4) * 31 + (reinterpret_cast<std::uintptr_t>(b) >> 4);
    return entries_[(key * 0x9E3779B97F4A7C15ull) >> 56];
}

const std::string* DottedNameCache::find(PyObject* a, PyObject* b) {
    Entry& entry = entry_for(a, b);
    return entry.first.get() == a && entry.second.get() == b ? &entry.text : nullptr;
}

void DottedNameCache::remember(PyObject* a, PyObject* b, const std::string& text) {
    // str() of anything else may run Python code, whose answer may change.
    if (!PyUnicode_CheckExact(a) || !PyUnicode_CheckExact(b)) return;
    entry_for(a, b) = Entry{PyRef::from_borrowed(a), PyRef::from_borrowed(b), text};
}

// Why an entry's answer stands. getattr_static(object, name) looks in the
// instance's own dict (unless its class shadows `__dict__`), then along the
// class's MRO, skipping classes whose metaclass shadows `__dict__`, and for
// a class object then along its metaclass's MRO. An entry is made only when
// the answer is the MRO's (compat::type_lookup) and neither the class nor its
// metaclass shadows `__dict__`; the answer then depends on nothing but those
// two types' MRO dicts, which their version tags cover, and, for an
// instance, on its own dict not holding the name, which `find` checks each
// time. The class is held weakly, so a class freed and another made at the
// same address is no match; the answer is borrowed from the MRO dicts, as
// the interpreter's own method cache borrows it. A different getattr_static
// (inspect monkeypatched) starts a new generation of entries.

StaticLookupCache::Entry& StaticLookupCache::entry_for(PyObject* klass, PyObject* name) {
    // Objects are 16-byte aligned: the low bits say nothing.
    auto bits = (reinterpret_cast<std::uintptr_t>(klass) >> 4) * 31 + (reinterpret_cast<std::uintptr_t>(name) >> 4);
    return entries_[bits % kEntries];
}

PyRef StaticLookupCache::find(PyObject* getattr_static, PyObject* object, PyObject* name) {
    if (getattr_static != getattr_static_.get()) return {};
    if (!PyType_Check(object)) {
        // First: a key's equality may run Python code, which could change
        // what the checks below read.
        PyObject* dict = compat::instance_dict(object);
        if (dict != nullptr) {
            if (!PyDict_Check(dict) || PyDict_GetItemWithError(dict, name) != nullptr) return {};
            if (PyErr_Occurred()) {
                discard_error();
                return {};
            }
        }
    }
    PyTypeObject* klass = class_of(object);
    Entry& entry = entry_for(reinterpret_cast<PyObject*>(klass), name);
    if (entry.generation != generation_ || entry.name.get() != name || !entry.class_ref ||
        !compat::weakref_targets(entry.class_ref.get(), reinterpret_cast<PyObject*>(klass)) ||
        compat::type_version(klass) != entry.class_version || Py_TYPE(klass) != entry.metaclass ||
        compat::type_version(entry.metaclass) != entry.metaclass_version) {
        return {};
    }
    return PyRef::from_borrowed(entry.found);
}

void StaticLookupCache::remember(PyObject* getattr_static, PyObject* object, PyObject* name, PyObject* found) {
    // Both held: the checks below may run Python code (a key's equality, a
    // collection while allocating) that changes an object's class.
    PyRef klass_held = PyRef::from_borrowed(reinterpret_cast<PyObject*>(class_of(object)));
    auto* klass = reinterpret_cast<PyTypeObject*>(klass_held.get());
    PyRef metaclass_held = PyRef::from_borrowed(reinterpret_cast<PyObject*>(Py_TYPE(klass)));
    auto* metaclass = reinterpret_cast<PyTypeObject*>(metaclass_held.get());
    PyRef class_ref = PyRef::steal(PyWeakref_NewRef(klass_held.get(), nullptr));
    if (!class_ref) {
        discard_error();
        return;
    }
    // The first lookup gives the class its version tag.
    if (compat::type_lookup(klass, name) != found) return;
    std::optional<unsigned int> class_version = compat::type_version(klass);
    std::optional<unsigned int> metaclass_version = compat::type_version(metaclass);
    if (!class_version || !metaclass_version || compat::type_lookup(klass, name) != found ||
        !dict_not_shadowed(klass) || !dict_not_shadowed(metaclass)) {
        return;
    }
    // Unchanged versions say that what the checks read still holds. Nothing
    // runs Python code from here to the store.
    if (compat::type_version(klass) != class_version || Py_TYPE(klass) != metaclass ||
        compat::type_version(metaclass) != metaclass_version) {
        return;
    }
    Entry entry{std::move(class_ref), PyRef::from_borrowed(name), *class_version, metaclass, *metaclass_version, found,
                generation_};
    PyRef dropped_function;
    if (getattr_static != getattr_static_.get()) {
        // The entries of the function before are never found again.
        dropped_function = std::exchange(getattr_static_, PyRef::from_borrowed(getattr_static));
        entry.generation = ++generation_;
    }
    std::swap(entry, entry_for(reinterpret_cast<PyObject*>(klass), name));
    // The replaced entry and function are released now that the cache is
    // consistent again: releasing a reference may run Python code, and
    // another thread's event with it.
}

bool get_qualname_inner(PyObject* frame, PyObject* name, StaticLookupCache& cache, DottedNameCache& dotted_names,
                        std::string& text) {
    const Names& n = names();
    PyRef value;

    // 1. The caller usually holds the function it is calling in a local.
    PyRef back = compat::frame_back(frame);
    if (!back) return false;
    switch (frame_lookup(back.get(), name, value)) {
        case Lookup::found: return function_name(value.get(), dotted_names, text);
        case Lookup::failed: return false;
        case Lookup::missing: break;
    }

    PyRef getattr_static = inspect_getattr_static.get(n.inspect, n.getattr_static);

    // 2. A method: found statically on the instance's class, or its base.
    switch (frame_lookup(frame, n.self, value)) {
        case Lookup::found: {
            PyRef function = static_attribute(cache, getattr_static.get(), value.get(), name);
            PyRef property = builtins_property.get(n.builtins, n.property);
            if (is_property(function.get(), property.get())) {
                function = require(PyObject_GetAttr(function.get(), n.fget));
            }
            return function_name(function.get(), dotted_names, text);
        }
        case Lookup::failed: return false;
        case Lookup::missing: break;
    }

    // 3. A class method.
    switch (frame_lookup(frame, n.cls, value)) {
        case Lookup::found:
            if (PyType_Check(value.get())) {
                PyRef function = static_attribute(cache, getattr_static.get(), value.get(), name);
                return function_name(function.get(), dotted_names, text);
            }
            break;
        case Lookup::failed: return false;
        case Lookup::missing: break;
    }

    PyRef globals = compat::frame_globals(frame);

    // 4. A class body has its qualified name as a local.
    switch (frame_lookup(frame, n.dunder_qualname, value)) {
        case Lookup::found: {
            PyRef module_name;
            if (lookup(globals.get(), n.dunder_name, module_name) != Lookup::found) module_name = PyRef();
            PyRef module_text = module_name_or_file(module_name.get(), compat::running_code(frame));
            dotted_text(module_text.get(), value.get(), dotted_names, text);
            return true;
        }
        case Lookup::failed: return false;
        case Lookup::missing: break;
    }

    // 5. A module-level function; a KeyError here is a failure like any
    // other, and every failure leaves the name out.
    if (lookup(globals.get(), name, value) != Lookup::found) return false;
    return function_name(value.get(), dotted_names, text);
}

}  // namespace zelm
