#include "serializer/scrub.hpp"

#include <string>
#include <vector>

#include "python/python.hpp"
#include "serializer/text.hpp"

namespace zelm::serializer {

namespace scrub_detail {
std::array<Verdict, kVerdicts> verdicts;
bool scrubbing = false;
}  // namespace scrub_detail

namespace {

using scrub_detail::Verdict;

// The folded scrub keys, as code points.
std::vector<std::u32string> g_keys;
// Longer keys are rare, and are not kept alive for a verdict.
constexpr Py_ssize_t kLongestKept = 64;

void forget_verdicts() {
    for (Verdict& verdict : scrub_detail::verdicts) {
        PyObject* key = verdict.key;
        verdict = Verdict{};
        Py_XDECREF(key);
    }
}

// zelm.serialize.scrub's _names_credential: the text folded, then searched
// for each key.
bool names_credential(PyObject* text) {
    static std::u32string folded;  // reused: only ever touched with the GIL held
    folded.clear();
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t index = 0; index < length; ++index) {
        const Py_UCS4 code = PyUnicode_READ(kind, data, index);
        if (code == '_' || code == '-') continue;
        folded.push_back(code >= 'A' && code <= 'Z' ? code + ('a' - 'A') : code);
    }
    for (const std::u32string& key : g_keys) {
        if (folded.find(key) != std::u32string::npos) return true;
    }
    return false;
}

}  // namespace

void set_scrub_keys(PyObject* folded_keys) {
    if (!PyTuple_CheckExact(folded_keys)) raise_error(PyExc_TypeError, "the scrub keys must be a tuple of str");
    std::vector<std::u32string> keys;
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(folded_keys); ++index) {
        PyObject* key = PyTuple_GET_ITEM(folded_keys, index);
        if (!PyUnicode_CheckExact(key) || PyUnicode_GET_LENGTH(key) == 0) {
            raise_error(PyExc_TypeError, "a scrub key must be a str that is not empty");
        }
        std::u32string points;
        for (Py_ssize_t at = 0; at < PyUnicode_GET_LENGTH(key); ++at) points.push_back(PyUnicode_READ_CHAR(key, at));
        keys.push_back(std::move(points));
    }
    g_keys = std::move(keys);
    scrub_detail::scrubbing = !g_keys.empty();
    forget_verdicts();
    forget_plans();
}

bool scrub_detail::look_up(PyObject* key) {
    if (!PyUnicode_Check(key)) return false;
    if (!PyUnicode_CheckExact(key) || PyUnicode_GET_LENGTH(key) > kLongestKept) return names_credential(key);
    Verdict& verdict = address_table_entry<&Verdict::key>(verdicts, key);
    if (verdict.key == key) return verdict.credential;
    const bool credential = names_credential(key);
    PyObject* evicted = verdict.key;
    verdict = {Py_NewRef(key), credential};
    Py_XDECREF(evicted);
    return credential;
}

}  // namespace zelm::serializer
