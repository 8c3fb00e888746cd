// The qualified name of a running function on interpreters whose code
// objects do not carry one, inferred from the frame.
#pragma once

#include <optional>
#include <string>

#include "utils/python.hpp"

namespace zelm {

// Tries, in order: the caller's local of that name, the frame's `self`, its
// `cls`, a class body's `__qualname__`, and the module global. Returns
// nullopt when no source applies; throws PyErrorSet when one fails.
std::optional<std::string> get_qualname_inner(PyObject* frame, PyObject* name);

// str(a) + "." + str(b); an unprintable object is reported as unraisable
// and shown as "<unprintable TYPE object>".
std::string dotted_text(PyObject* a, PyObject* b);

}  // namespace zelm
