#include "serializer/text.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <optional>
#include <vector>

#include "python/compat.hpp"

namespace zelm::serializer {

bool clear_ordinary_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

std::string_view safe_utf8(PyObject* text, std::string& escaped) {
    if (PyUnicode_IS_ASCII(text)) return ascii_text(text);
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) {
        return {data, static_cast<std::size_t>(size)};
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PyErrorSet{};
    PyErr_Clear();
    escaped = extract_str_escaping_surrogates(text);
    return escaped;
}

std::string cut_text(PyObject* text, Py_ssize_t limit) {
    std::string escaped;
    if (PyUnicode_GET_LENGTH(text) <= limit) return std::string(safe_utf8(text, escaped));
    PyRef head = require(PyUnicode_Substring(text, 0, limit));
    std::string cut(safe_utf8(head.get(), escaped));
    cut += kMarker;
    return cut;
}

namespace {

// The "__module__" a heap type's dict held, when it is an ASCII str other
// than "builtins" (null otherwise), for the type's version tag: setting an
// attribute of a type gives it a new tag, and tags are never reused, so the
// same type with the same tag still holds the same name. Touched only with
// the GIL held.
struct TypeModule {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    PyObject* module = nullptr;  // borrowed from the type's dict
};
std::array<TypeModule, 64> g_type_modules;

// The type's "__module__" as object.__repr__ may show it plainly; null when
// it cannot (missing, not an ASCII str, "builtins").
PyObject* plain_module_name(PyTypeObject* type) {
    const std::optional<unsigned int> version = compat::type_version(type);
    TypeModule& known = g_type_modules[(reinterpret_cast<std::uintptr_t>(type) >> 4) % g_type_modules.size()];
    if (version && known.type == type && known.version == *version) return known.module;
    PyObject* module = PyDict_GetItemWithError(type->tp_dict, names().dunder_module);
    if (module == nullptr) {
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return nullptr;  // not kept: the next lookup may succeed
        }
    } else if (!PyUnicode_CheckExact(module) || !PyUnicode_IS_ASCII(module) ||
               // Only a name as long as "builtins" needs comparing with it.
               (PyUnicode_GET_LENGTH(module) == PyUnicode_GET_LENGTH(names().builtins) &&
                PyUnicode_Compare(module, names().builtins) == 0)) {
        module = nullptr;
    }
    if (version) known = {type, *version, module};
    return module;
}

}  // namespace

std::optional<PlainRepr> plain_object_repr(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    if (type->tp_repr != PyBaseObject_Type.tp_repr || !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
        return std::nullopt;
    }
    PyObject* module = plain_module_name(type);
    if (module == nullptr) return std::nullopt;
    PyObject* qualname = reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname;
    if (!PyUnicode_CheckExact(qualname) || !PyUnicode_IS_ASCII(qualname)) return std::nullopt;
    PlainRepr repr{ascii_text(module), ascii_text(qualname), {'0', 'x'}, 0};
    // As printf's %p writes it with glibc: 0x and lowercase hex digits.
    const auto [address_end, unused] = std::to_chars(repr.address + 2, std::end(repr.address),
                                                     reinterpret_cast<std::uintptr_t>(value), 16);
    repr.address_size = static_cast<std::size_t>(address_end - repr.address);
    return repr;
}

constexpr std::string_view kObjectAt = " object at ";

std::size_t PlainRepr::size() const {
    return 1 + module.size() + 1 + qualname.size() + kObjectAt.size() + address_size + 1;
}

void PlainRepr::write_to(char* out) const {
    auto put = [&out](std::string_view part) {
        std::memcpy(out, part.data(), part.size());
        out += part.size();
    };
    put("<");
    put(module);
    put(".");
    put(qualname);
    put(kObjectAt);
    put({address, address_size});
    put(">");
}

PyRef readable_text(PyObject* value) {
    if (const std::optional<PlainRepr> plain = plain_object_repr(value)) {
        PyRef text = require(PyUnicode_New(static_cast<Py_ssize_t>(plain->size()), 127));
        plain->write_to(static_cast<char*>(PyUnicode_DATA(text.get())));
        return text;
    }
    PyRef text = PyRef::steal(PyObject_Repr(value));
    if (!text) {
        if (!clear_ordinary_error()) throw PyErrorSet{};
        std::string shown = "<unrepresentable " + shown_type_name(value) + " object>";
        return require(PyUnicode_FromStringAndSize(shown.data(), static_cast<Py_ssize_t>(shown.size())));
    }
    // A str subclass could override anything: keep a plain copy.
    if (!PyUnicode_CheckExact(text.get())) return require(PyUnicode_FromObject(text.get()));
    return text;
}

std::string shown_type_name(PyObject* value) {
    PyRef name = require(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
    if (!PyUnicode_Check(name.get())) {
        raise_format(PyExc_TypeError, "descriptor '__str__' requires a 'str' object but received a '%s'",
                     Py_TYPE(name.get())->tp_name);
    }
    std::string escaped;
    return std::string(safe_utf8(name.get(), escaped));
}

// Converting an int to decimal text costs time quadratic in its digits; an
// int larger than this is described by its size instead.
constexpr long long kMaxIntBits = 50'000;

PyRef int_text(PyObject* value) {
    PyRef bits_object = require(PyObject_CallMethod(value, "bit_length", nullptr));
    long long bits = PyLong_AsLongLong(bits_object.get());
    if (bits == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (bits > kMaxIntBits) return require(PyUnicode_FromFormat("<int of %lld bits>", bits));
    return readable_text(value);
}

std::string items_text(Py_ssize_t count) {
    return count == 1 ? std::string("1 item") : std::to_string(count) + " items";
}

std::string left_out_text(Py_ssize_t count, bool with_marker) {
    std::string text = items_text(count) + " left out";
    return with_marker ? std::string(kMarker) + " " + text : text;
}

std::string depth_summary(PyObject* container) {
    std::string summary = "<";
    summary += Py_TYPE(container)->tp_name;
    summary += " of ";
    summary += items_text(PyObject_Length(container));
    summary += ">";
    return summary;
}

bool DictItems::next(PyObject*& key, PyObject*& value) {
    if (PyDict_GET_SIZE(dict_) != used_) {
        used_ = -1;  // stays broken, as the iterator does
        raise_error(PyExc_RuntimeError, "dictionary changed size during iteration");
    }
    if (!PyDict_Next(dict_, &position_, &key, &value)) return false;
    if (remaining_ == 0) raise_error(PyExc_RuntimeError, "dictionary keys changed during iteration");
    --remaining_;
    return true;
}

std::string_view recursion_marker(PyTypeObject* type) {
    if (type == &PyList_Type) return "[...]";
    if (type == &PyTuple_Type) return "(...)";
    return "{...}";
}

namespace {

bool is_shown_container(PyTypeObject* type) {
    return type == &PyList_Type || type == &PyTuple_Type || type == &PyDict_Type || type == &PySet_Type ||
           type == &PyFrozenSet_Type;
}

// The texts that open and close each container's repr, and its empty form.
struct ContainerTexts {
    const char* opener;
    const char* closer;
    const char* empty;
};

ContainerTexts container_texts(PyTypeObject* type) {
    if (type == &PyList_Type) return {"[", "]", "[]"};
    if (type == &PyTuple_Type) return {"(", ")", "()"};
    if (type == &PyDict_Type) return {"{", "}", "{}"};
    if (type == &PySet_Type) return {"{", "}", "set()"};
    return {"frozenset({", "})", "frozenset()"};
}

PyRef str_object(std::string_view text) {
    return require(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// _add_repr and _add_container_repr: the parts of the text, and the
// characters still wanted (shared by the whole walk, which stops adding once
// they are used up).
class ReprBuilder {
public:
    ReprBuilder(Py_ssize_t room, Py_ssize_t max_items, Py_ssize_t max_depth)
        : parts_(require(PyList_New(0))), room_(room), max_items_(max_items), max_depth_(max_depth) {}

    void add(PyObject* value, Py_ssize_t depth) {
        PyTypeObject* type = Py_TYPE(value);
        if (type == &PyUnicode_Type || type == &PyBytes_Type || type == &PyByteArray_Type) {
            if (PyObject_Length(value) > room_) {
                // room_ may be negative here: the slice then counts from the end, as in Python.
                PyRef head = require(PySequence_GetSlice(value, 0, room_ + 1));
                return append(require(PyObject_Repr(head.get())), true);
            }
            return append(require(PyObject_Repr(value)), true);
        }
        if (type == &PyLong_Type) return append(int_text(value), true);
        if (!is_shown_container(type)) return append(readable_text(value), true);
        const ContainerTexts texts = container_texts(type);
        if (std::find(open_.begin(), open_.end(), value) != open_.end()) {
            return append(str_object(recursion_marker(type)), true);
        }
        const Py_ssize_t size = PyObject_Length(value);
        if (depth >= max_depth_) return append(str_object(depth_summary(value)), true);
        if (size == 0) return append(str_object(texts.empty), true);
        add_container(value, type, texts, depth);
    }

    PyRef join() {
        PyRef nothing = require(PyUnicode_FromStringAndSize("", 0));
        return require(PyUnicode_Join(nothing.get(), parts_.get()));
    }

private:
    void append(PyRef text, bool counted) {
        if (counted) room_ -= PyUnicode_GET_LENGTH(text.get());
        require_status(PyList_Append(parts_.get(), text.get()));
    }

    void add_container(PyObject* value, PyTypeObject* type, const ContainerTexts& texts, Py_ssize_t depth) {
        open_.push_back(value);
        append(str_object(texts.opener), true);
        Py_ssize_t shown = 0;
        const bool is_dict = type == &PyDict_Type;
        std::optional<DictItems> entries;
        PyRef iterator;
        if (is_dict) {
            entries.emplace(value);
        } else if (type == &PySet_Type || type == &PyFrozenSet_Type) {
            iterator = require(PyObject_GetIter(value));
        }
        PyRef held_key;
        for (Py_ssize_t index = 0; index < max_items_; ++index) {
            PyObject* key = nullptr;
            PyRef item;
            if (is_dict) {
                PyObject* entry_value = nullptr;
                if (!entries->next(key, entry_value)) break;
                held_key = PyRef::from_borrowed(key);
                item = PyRef::from_borrowed(entry_value);
            } else if (iterator) {
                item = PyRef::steal(PyIter_Next(iterator.get()));
                if (!item) {
                    if (PyErr_Occurred()) throw PyErrorSet{};
                    break;
                }
            } else if (type == &PyList_Type) {
                if (index >= PyList_GET_SIZE(value)) break;
                item = PyRef::from_borrowed(PyList_GET_ITEM(value, index));
            } else {
                if (index >= PyTuple_GET_SIZE(value)) break;
                item = PyRef::from_borrowed(PyTuple_GET_ITEM(value, index));
            }
            if (room_ <= 0) break;
            if (shown) append(str_object(", "), true);
            if (is_dict) {
                add(key, depth + 1);
                append(str_object(": "), true);
            }
            add(item.get(), depth + 1);
            ++shown;
        }
        const Py_ssize_t left_out = PyObject_Length(value) - shown;
        if (left_out > 0) {
            append(str_object(", " + left_out_text(left_out, true)), false);
        } else if (type == &PyTuple_Type && shown == 1) {
            append(str_object(","), false);
        }
        append(str_object(texts.closer), true);
        open_.pop_back();
    }

    PyRef parts_;
    Py_ssize_t room_;
    Py_ssize_t max_items_;
    Py_ssize_t max_depth_;
    std::vector<PyObject*> open_;  // containers being shown, to mark one met again inside itself
};

}  // namespace

PyRef repr_text(PyObject* value, Py_ssize_t limit, Py_ssize_t max_items, Py_ssize_t max_depth) {
    // The common case, an object of a class, is its repr alone.
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyLong_Type) return int_text(value);
    if (!is_shown_container(type) && type != &PyUnicode_Type && type != &PyBytes_Type &&
        type != &PyByteArray_Type) {
        return readable_text(value);
    }
    ReprBuilder builder(limit, max_items, max_depth);
    builder.add(value, 0);
    return builder.join();
}

}  // namespace zelm::serializer
