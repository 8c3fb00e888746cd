// The texts the serializer stores for values it does not keep as they are:
// reprs, reprs of containers built from their first items, cut text.
//
// Every function mirrors a helper of the reference implementation in
// python/zelm/serialize/reference.py (named beside it) character for
// character, so that both write the same bytes. Lengths and limits count
// characters (code points), as Python's len() does, until a text is turned
// into UTF-8. Objects of other types are shown by their type's plan
// (python/zelm/serialize/plans.py), asked for once per type version.
// Called with the GIL held; functions that show an object run zelm's plan
// lookup, and the program's code only where a plan says so (a C repr, a
// registered repr, the repr mode "full"). Throws PyErrorSet.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "python/python.hpp"

namespace zelm::serializer {

// "…": one character, three bytes of UTF-8.
inline constexpr std::string_view kMarker = "\xe2\x80\xa6";

// Clears the pending Python error and returns true when the reference's
// `except Exception` would catch it; a KeyboardInterrupt or another
// BaseException stays set (false).
bool clear_ordinary_error();

// _utf8_safe: the UTF-8 of a str, lone surrogates written as backslash
// escapes. Views the str's own UTF-8 unless `escaped` had to be filled, so
// the str (and `escaped`) must outlive the view.
std::string_view safe_utf8(PyObject* text, std::string& escaped);

// _cut_text: the first `limit` characters of `text` as safe UTF-8, then
// kMarker when anything was left out.
std::string cut_text(PyObject* text, Py_ssize_t limit);

// zelm.serialize.plans.plan_for, which gives each type's plan; set once by
// zelm.serialize before any call.
void set_plan_source(PyObject* plan_for);

// The repr mode: "full" (true) repr()s every object that has no registered
// function. Forgets the plans known, which depend on it.
void set_full_repr(bool full);

// Forgets every plan known (the registry of reprs changed).
void forget_plans();

// What object.__repr__ makes of an instance of a class written in Python,
// "<module.QualName object at 0x7f…>", in pieces, so that it can be written
// without the formatting machinery or a str in between. The names view the
// type's own strs.
struct PlainRepr {
    std::string_view module;
    std::string_view qualname;
    char address[2 + 2 * sizeof(void*)];
    std::size_t address_size;

    std::size_t size() const;
    void write_to(char* out) const;  // size() bytes, all ASCII
};
// Only for a value whose type's plan is known to be OBJECT (known without
// running any code: nullopt while it is not asked for yet), ASCII names
// held as exact str, and a class outside builtins; nullopt for any other
// value (repr_text then decides).
std::optional<PlainRepr> plain_object_repr(PyObject* value);

// _readable_text: repr(value) as an exact str, or "<unrepresentable T
// object>" when repr raises an Exception (a BaseException propagates).
// Runs the value's repr: only for a value whose plan says so.
PyRef readable_text(PyObject* value);

// _type_name: type(value).__name__ as safe UTF-8.
std::string shown_type_name(PyObject* value);

// _int_text: an int's decimal text, or "<int of N bits>" when it is too
// long to convert.
PyRef int_text(PyObject* value);

// _repr_text: repr(value), built from at most about `limit` characters'
// worth of the items of an exact list, tuple, dict, set or frozenset (at
// most `max_items` of each, `max_depth` levels); other objects shown by
// their type's plan, the walked ones within the same bounds.
PyRef repr_text(PyObject* value, Py_ssize_t limit, Py_ssize_t max_items, Py_ssize_t max_depth);

// _items: "1 item", "12 items".
std::string items_text(Py_ssize_t count);

// "… 5 items left out" (a list's or tuple's last item) or "5 items left out"
// (the value of a dict's entry "…").
std::string left_out_text(Py_ssize_t count, bool with_marker);

// What a list, tuple, dict, set or frozenset met again inside itself is
// shown as: "[...]", "(...)" or "{...}".
std::string_view recursion_marker(PyTypeObject* type);

// What a list, tuple, dict, set or frozenset nested too deep is shown as:
// "<list of 12 items>".
std::string depth_summary(PyObject* container);

// The iteration of `dict.items()` without its iterator object: the same
// entries in the same order, and the same RuntimeError when the dict
// changes size (or keys) while it is walked, which running a repr may do.
class DictItems {
public:
    // A repr may drop the dict's reference to an entry being packed.
    static constexpr bool kHeldByCaller = false;
    explicit DictItems(PyObject* dict)
        : dict_(dict), used_(PyDict_GET_SIZE(dict)), remaining_(used_) {}
    // The next entry, borrowed from the dict; false at the end. Throws PyErrorSet.
    bool next(PyObject*& key, PyObject*& value);

private:
    PyObject* dict_;
    Py_ssize_t used_;
    Py_ssize_t remaining_;
    Py_ssize_t position_ = 0;
};

// Whether encoding `value` may run Python code (a repr), which could drop
// the reference its container holds: such a value is held while it is
// encoded. Text, numbers, None and bytes never run any.
inline bool may_run_python(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    return !(type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type ||
             type == &PyBytes_Type || value == Py_None);
}

// A reference to `value` for as long as it is encoded, when that may run
// Python code; none otherwise (taking one costs more than a small value's encoding).
inline PyRef hold_while_encoding(PyObject* value) {
    return may_run_python(value) ? PyRef::from_borrowed(value) : PyRef();
}

// Both of a dict entry, held when encoding either may run Python code.
struct HeldEntry {
    explicit HeldEntry(PyObject* key, PyObject* value) {
        if (may_run_python(key) || may_run_python(value)) {
            key_ = PyRef::from_borrowed(key);
            value_ = PyRef::from_borrowed(value);
        }
    }

private:
    PyRef key_;
    PyRef value_;
};

}  // namespace zelm::serializer
