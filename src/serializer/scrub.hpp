// The values a trace masks: those under keys that name credentials. The
// rule and its keys are zelm.serialize.scrub's (python/zelm/serialize/
// scrub.py), which folds the keys and hands them over; a key is matched
// here as it is there, code point for code point. Called with the GIL held.
#pragma once

#include <Python.h>

#include <string_view>

namespace zelm::serializer {

// What a masked value is written as (a repr), and inside a repr's text.
inline constexpr std::string_view kMask = "***";

// The scrub keys in force, folded (a tuple of str, maybe empty). Forgets
// the verdicts kept and every plan (a plan masks the fields the keys
// name). Throws PyErrorSet.
void set_scrub_keys(PyObject* folded_keys);

// Whether the value under `key` is masked: `key` is a str (a str
// subclass read as the text it holds) that contains a scrub key once its
// ASCII letters are lowered and its "_" and "-" dropped. Runs no Python code.
bool is_credential_key(PyObject* key);

}  // namespace zelm::serializer
