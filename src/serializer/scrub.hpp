// The values a trace masks: those under keys that name credentials. The
// rule and its keys are zelm.serialize.scrub's (python/zelm/serialize/
// scrub.py), which folds the keys and hands them over; a key is matched
// here as it is there, code point for code point. Called with the GIL held.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <string_view>

#include "serializer/address_table.hpp"

namespace zelm::serializer {

// What a masked value is written as (a repr), and inside a repr's text.
inline constexpr std::string_view kMask = "***";

// The scrub keys in force, folded (a tuple of str, maybe empty). Forgets
// the verdicts kept and every plan (a plan masks the fields the keys
// name). Throws PyErrorSet.
void set_scrub_keys(PyObject* folded_keys);

namespace scrub_detail {

// The verdict on an exact str key, by its address. The key is held while
// its verdict is kept, so that the address names the same text: the names
// of locals and of a program's dict keys come back on every event, and
// folding them anew each time would cost more than encoding their values.
struct Verdict {
    PyObject* key = nullptr;  // owned
    bool credential = false;
};
inline constexpr std::size_t kVerdicts = 1024;
extern std::array<Verdict, kVerdicts> verdicts;
// Whether any scrub key is in force.
extern bool scrubbing;

// is_credential_key past the entry it looks at first.
bool look_up(PyObject* key);

}  // namespace scrub_detail

// Whether the value under `key` is masked: `key` is a str (a str
// subclass read as the text it holds) that contains a scrub key once its
// ASCII letters are lowered and its "_" and "-" dropped. Runs no Python
// code. Inline, as it runs for every key of every dict encoded: a key met
// before is answered from the first entry its address hashes to.
inline bool is_credential_key(PyObject* key) {
    if (!scrub_detail::scrubbing) return false;
    const scrub_detail::Verdict& known = scrub_detail::verdicts[address_slot<scrub_detail::kVerdicts>(key)];
    if (known.key == key) return known.credential;
    return scrub_detail::look_up(key);
}

}  // namespace zelm::serializer
