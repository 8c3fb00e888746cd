// The qualified name of a running function on interpreters whose code
// objects do not carry one, inferred from the frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "python/python.hpp"

namespace zelm {

// inspect.getattr_static's answers for a frame's `self` or `cls`, each kept
// while nothing that decides it can have changed (see qualname.cpp). Owned
// by the profiler, used with the GIL held. It holds no reference to a class
// or to an answer, so it keeps nothing of the profiled program alive.
class StaticLookupCache {
public:
    // What getattr_static(object, name) answered before, if it still would;
    // otherwise empty. May run Python code (an attribute dict's key equality).
    PyRef find(PyObject* getattr_static, PyObject* object, PyObject* name);
    // Keeps `found`, what getattr_static(object, name) just returned, when
    // the answer depends only on the object's class.
    void remember(PyObject* getattr_static, PyObject* object, PyObject* name, PyObject* found);

private:
    struct Entry {
        PyRef class_ref;  // a weak reference to the class
        PyRef name;
        unsigned int class_version = 0;
        PyTypeObject* metaclass = nullptr;
        unsigned int metaclass_version = 0;
        // Borrowed: the class's MRO dicts hold it while the class lives with
        // the same version.
        PyObject* found = nullptr;
        std::uint64_t generation = 0;  // of getattr_static_ when it was made
    };
    static constexpr std::size_t kEntries = 256;
    Entry& entry_for(PyObject* klass, PyObject* name);

    PyRef getattr_static_;  // the function whose answers the current entries are
    std::uint64_t generation_ = 0;  // counts the changes of getattr_static_
    std::array<Entry, kEntries> entries_;
};

// "a.b" texts of pairs of exact strs (a module's name and a qualified
// name), kept per thread. An entry holds both strs, so it is never matched
// by another text at a reused address, and a module that rebinds
// `__name__` holds another object there. Strs keep nothing of the profiled
// program alive, and releasing one runs no Python code.
class DottedNameCache {
public:
    // a + "." + b as made before; null when not kept (or not both exact strs).
    const std::string* find(PyObject* a, PyObject* b);
    // Keeps `text`, the one just made of a and b, when both are exact strs.
    void remember(PyObject* a, PyObject* b, const std::string& text);

private:
    struct Entry {
        PyRef first;
        PyRef second;
        std::string text;
    };
    static constexpr std::size_t kEntries = 256;
    Entry& entry_for(PyObject* a, PyObject* b);

    std::array<Entry, kEntries> entries_;
};

// Tries, in order: the caller's local of that name, the frame's `self`, its
// `cls`, a class body's `__qualname__`, and the module global. Writes the
// name into `text` (whose room is reused from call to call) and returns
// true; false when no source applies; throws PyErrorSet when one fails.
// `text` holds nothing of use unless true is returned.
bool get_qualname_inner(PyObject* frame, PyObject* name, StaticLookupCache& cache, DottedNameCache& dotted_names,
                        std::string& text);

// The module name a qualified name starts with: the frame's module name
// (null when its globals have none) or, where there is none, the code's
// file name, as for a template compiled under a pseudo file name with
// globals of its own ("<template>.root").
PyRef module_name_or_file(PyObject* module_name, PyObject* code);

// str(a) + "." + str(b) into `text`; an object whose str() raises is shown
// as "<unprintable TYPE object>", and its failure logged once per cause.
void dotted_text(PyObject* a, PyObject* b, DottedNameCache& dotted_names, std::string& text);

}  // namespace zelm
