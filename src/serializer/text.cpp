#include "serializer/text.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <optional>
#include <vector>

#include "python/compat.hpp"
#include "python/logger.hpp"
#include "serializer/address_table.hpp"
#include "serializer/scrub.hpp"

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
    TypeModule& known = address_table_entry<&TypeModule::type>(g_type_modules, type);
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

// The kinds of plan and of WALK step, as zelm.serialize.plans numbers them.
enum PlanKind : long { kRepr = 0, kObject = 1, kCall = 2, kWalk = 3 };
enum StepKind : long { kText = 0, kValue = 1, kName = 2, kQualname = 3, kItems = 4, kOptional = 5, kMasked = 6 };
enum ItemForm : long { kItem = 0, kPair = 1, kTuplePair = 2, kKeyword = 3 };

PyObject* g_plan_for = nullptr;
bool g_full_repr = false;

// The plan of a type, for its version tag (see TypeModule), asked of
// g_plan_for once. Touched only with the GIL held.
struct KnownPlan {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    PyObject* plan = nullptr;  // owned
    long kind = kRepr;
};
std::array<KnownPlan, 256> g_plans;

// The kind of the type's plan when it is known; nullopt otherwise. Runs no code.
std::optional<long> known_plan_kind(PyTypeObject* type) {
    const std::optional<unsigned int> version = compat::type_version(type);
    const KnownPlan& known = address_table_entry<&KnownPlan::type>(g_plans, type);
    if (version && known.type == type && known.version == *version) return known.kind;
    return std::nullopt;
}

struct Plan {
    PyRef plan;
    long kind;
};

long small_number(PyObject* number) {
    const long value = PyLong_AsLong(number);
    if (value == -1 && PyErr_Occurred()) throw PyErrorSet{};
    return value;
}

// Whether `reader` is one a step may read with: None, a str (a key of the
// instance dict), an int (a tuple item) or a descriptor.
bool is_reader(PyObject* reader) {
    return reader == Py_None || PyUnicode_CheckExact(reader) || PyLong_CheckExact(reader) ||
           Py_TYPE(reader)->tp_descr_get != nullptr;
}

// Whether a WALK step has the entries its kind reads (see zelm.serialize.plans).
bool is_step(PyObject* step) {
    if (!PyTuple_CheckExact(step) || PyTuple_GET_SIZE(step) < 2 || !PyLong_CheckExact(PyTuple_GET_ITEM(step, 0))) {
        return false;
    }
    const long kind = PyLong_AsLong(PyTuple_GET_ITEM(step, 0));
    const Py_ssize_t size = PyTuple_GET_SIZE(step);
    auto text_at = [step](Py_ssize_t index) { return PyUnicode_CheckExact(PyTuple_GET_ITEM(step, index)); };
    switch (kind) {
        case kText:
        case kMasked:
            return size == 2 && text_at(1);
        case kValue:
        case kQualname:
        case kOptional:
            return size == 3 && text_at(1) && is_reader(PyTuple_GET_ITEM(step, 2));
        case kName:
            return size == 4 && text_at(1) && is_reader(PyTuple_GET_ITEM(step, 2));
        case kItems:
            return size == 9 && is_reader(PyTuple_GET_ITEM(step, 1)) && PyCallable_Check(PyTuple_GET_ITEM(step, 2)) &&
                   PyCallable_Check(PyTuple_GET_ITEM(step, 3)) && PyLong_CheckExact(PyTuple_GET_ITEM(step, 4)) &&
                   text_at(5) && text_at(6) && text_at(7) && text_at(8);
        default:
            return false;
    }
}

// Whether `plan` is (kind, recursion_text, steps or function, dict_reader)
// as the walk reads it without checking again.
bool is_plan(PyObject* plan, long& kind) {
    if (!PyTuple_CheckExact(plan) || PyTuple_GET_SIZE(plan) != 4 || !PyLong_CheckExact(PyTuple_GET_ITEM(plan, 0)) ||
        !PyUnicode_CheckExact(PyTuple_GET_ITEM(plan, 1))) {
        return false;
    }
    kind = PyLong_AsLong(PyTuple_GET_ITEM(plan, 0));
    PyObject* steps = PyTuple_GET_ITEM(plan, 2);
    PyObject* dict_reader = PyTuple_GET_ITEM(plan, 3);
    if (kind == kCall) return PyCallable_Check(steps);
    if (kind != kWalk) return kind == kRepr || kind == kObject;
    if (!PyTuple_CheckExact(steps) || (dict_reader != Py_None && Py_TYPE(dict_reader)->tp_descr_get == nullptr)) {
        return false;
    }
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(steps); ++index) {
        if (!is_step(PyTuple_GET_ITEM(steps, index))) return false;
    }
    return true;
}

// The type's plan: (kind, recursion_text, steps or function, dict_reader).
Plan plan_of(PyTypeObject* type) {
    // A lookup gives the type a version tag when it has none yet.
    compat::type_lookup(type, names().dunder_module);
    const std::optional<unsigned int> version = compat::type_version(type);
    KnownPlan& known = address_table_entry<&KnownPlan::type>(g_plans, type);
    if (version && known.type == type && known.version == *version) {
        return {PyRef::from_borrowed(known.plan), known.kind};
    }
    if (g_plan_for == nullptr) raise_error(PyExc_RuntimeError, "zelm._serialize has no plans to show objects by");
    PyRef plan = require(PyObject_CallFunctionObjArgs(g_plan_for, reinterpret_cast<PyObject*>(type),
                                                      g_full_repr ? Py_True : Py_False, nullptr));
    long kind = kRepr;
    if (!is_plan(plan.get(), kind)) {
        if (PyErr_Occurred()) throw PyErrorSet{};
        raise_error(PyExc_TypeError, "zelm.serialize.plans gave a plan the encoders cannot read");
    }
    // Kept only when finding it changed nothing of the type.
    if (version && compat::type_version(type) == version) {
        PyObject* previous = known.plan;
        known = {type, *version, Py_NewRef(plan.get()), kind};
        Py_XDECREF(previous);
    }
    return {std::move(plan), kind};
}

}  // namespace

void set_plan_source(PyObject* plan_for) {
    Py_INCREF(plan_for);
    Py_XSETREF(g_plan_for, plan_for);
    forget_plans();
}

void set_full_repr(bool full) {
    g_full_repr = full;
    forget_plans();
}

void forget_plans() {
    for (KnownPlan& known : g_plans) {
        PyObject* plan = known.plan;
        known = KnownPlan{};
        Py_XDECREF(plan);
    }
}

std::optional<PlainRepr> plain_object_repr(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    if (known_plan_kind(type) != kObject || !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
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

namespace {

PyRef unrepresentable(PyObject* value) {
    std::string shown = "<unrepresentable " + shown_type_name(value) + " object>";
    return require(PyUnicode_FromStringAndSize(shown.data(), static_cast<Py_ssize_t>(shown.size())));
}

// _clear_program_error: what the program's code raised while it made the
// text of `value` (`made_by`, its repr or the function registered for it).
// An Exception is dropped: the value is shown as unrepresentable. So is any
// other BaseException but Ctrl-C (SystemExit, GeneratorExit, the program's
// own), which must not end the program from inside the hook; that one is
// logged once per cause, naming the types only. A KeyboardInterrupt stays
// set and is thrown, to reach the program.
void clear_program_error(std::string_view made_by, PyObject* value) {
    if (clear_ordinary_error()) return;
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) throw PyErrorSet{};
    warn_once_of_pending_error(std::string(made_by) + " of a traced value of type " + shown_type_name(value),
                               "the value is shown as <unrepresentable ...>");
}

}  // namespace

PyRef readable_text(PyObject* value) {
    PyRef text = PyRef::steal(PyObject_Repr(value));
    if (!text) {
        clear_program_error("the repr", value);
        return unrepresentable(value);
    }
    // A str subclass could override anything: keep a plain copy.
    if (!PyUnicode_CheckExact(text.get())) return require(PyUnicode_FromObject(text.get()));
    return text;
}

std::string shown_type_name(PyObject* value) {
    // As type.__name__ reads it, past any metaclass: a heap type's own
    // name, a static type's tp_name after its last dot.
    PyTypeObject* type = Py_TYPE(value);
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
        std::string escaped;
        return std::string(safe_utf8(reinterpret_cast<PyHeapTypeObject*>(type)->ht_name, escaped));
    }
    const std::string_view name = type->tp_name;
    const std::size_t dot = name.rfind('.');
    return std::string(dot == std::string_view::npos ? name : name.substr(dot + 1));
}

// Converting an int to decimal text costs time quadratic in its digits; an
// int larger than this is described by its size instead.
constexpr long long kMaxIntBits = 50'000;

PyRef int_text(PyObject* value) {
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0) {  // only an int beyond 64 bits may be too long
        const std::size_t bits = _PyLong_NumBits(value);
        if (bits == static_cast<std::size_t>(-1)) throw PyErrorSet{};
        if (bits > static_cast<std::size_t>(kMaxIntBits)) {
            return require(PyUnicode_FromFormat("<int of %zu bits>", bits));
        }
    }
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

// The short texts a repr is joined with, made once (interned) and shared.
enum class Joiner : std::size_t { comma, colon, equals, open_paren, close_paren, marker, mask, count };
std::array<PyObject*, static_cast<std::size_t>(Joiner::count)> g_joiners{};

PyObject* joiner(Joiner which) {
    static constexpr std::array<std::string_view, static_cast<std::size_t>(Joiner::count)> texts{
        ", ", ": ", "=", "(", ")", kMarker, kMask};
    PyObject*& made = g_joiners[static_cast<std::size_t>(which)];
    if (made == nullptr) {
        PyObject* text = str_object(texts[static_cast<std::size_t>(which)]).release();
        PyUnicode_InternInPlace(&text);
        made = text;
    }
    return made;
}

// Shown by their C repr, whatever the repr mode (_C_SCALARS).
bool is_c_scalar(PyTypeObject* type) {
    return type == &PyFloat_Type || type == &PyBool_Type || type == Py_TYPE(Py_None) || type == &PyComplex_Type;
}

// _object_form: what object.__repr__ writes, which runs no code of the value's.
PyRef object_form(PyObject* value) { return require(PyBaseObject_Type.tp_repr(value)); }

// _called_text: what a registered function makes of the value, as an exact str.
PyRef called_text(PyObject* function, PyObject* value) {
    PyRef text = PyRef::steal(PyObject_CallOneArg(function, value));
    if (!text) {
        clear_program_error("the registered repr function", value);
        return unrepresentable(value);
    }
    if (PyUnicode_CheckExact(text.get())) return text;
    if (PyUnicode_Check(text.get())) return require(PyUnicode_FromObject(text.get()));
    return unrepresentable(value);
}

// The text of an object whose plan is not WALK.
PyRef direct_text(PyObject* value, const Plan& plan) {
    if (plan.kind == kRepr) return readable_text(value);
    if (plan.kind == kCall) return called_text(PyTuple_GET_ITEM(plan.plan.get(), 2), value);
    return object_form(value);
}

// A descriptor's __get__ for the value (a C member or getset descriptor,
// or the instance __dict__'s): null, with no error set, when it fails with
// an Exception.
PyRef read_with(PyObject* descriptor, PyObject* value) {
    PyRef read = PyRef::steal(Py_TYPE(descriptor)->tp_descr_get(descriptor, value,
                                                                reinterpret_cast<PyObject*>(Py_TYPE(value))));
    if (!read && !clear_ordinary_error()) throw PyErrorSet{};
    return read;
}

// _read_parts: what each step of a WALK plan reads from the value (null for
// a text); false when a part cannot be read without running the program's code.
bool read_parts(PyObject* value, PyObject* plan, std::vector<PyRef>& read) {
    PyObject* steps = PyTuple_GET_ITEM(plan, 2);
    PyObject* dict_reader = PyTuple_GET_ITEM(plan, 3);
    PyRef instance_dict;
    if (dict_reader != Py_None) {
        instance_dict = read_with(dict_reader, value);
        if (!instance_dict || !PyDict_CheckExact(instance_dict.get())) return false;
    }
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(steps); ++index) {
        PyObject* step = PyTuple_GET_ITEM(steps, index);
        const long kind = small_number(PyTuple_GET_ITEM(step, 0));
        if (kind == kText || kind == kMasked) {
            read.emplace_back();
            continue;
        }
        PyObject* reader = PyTuple_GET_ITEM(step, kind == kItems ? 1 : 2);
        PyRef item;
        if (reader == Py_None) {
            item = PyRef::from_borrowed(value);
        } else if (PyUnicode_CheckExact(reader)) {
            if (!instance_dict) return false;  // a plan that reads no instance dict
            PyObject* found = PyDict_GetItemWithError(instance_dict.get(), reader);
            if (found == nullptr) {
                if (PyErr_Occurred()) throw PyErrorSet{};
                return false;
            }
            item = PyRef::from_borrowed(found);
        } else if (PyLong_CheckExact(reader)) {
            const long position = small_number(reader);
            if (!PyTuple_Check(value) || position < 0 || position >= PyTuple_GET_SIZE(value)) return false;
            item = PyRef::from_borrowed(PyTuple_GET_ITEM(value, position));
        } else {
            item = read_with(reader, value);
            if (!item) return false;
        }
        if (kind == kName) {
            if (!PyUnicode_CheckExact(item.get()) && !(item.get() == Py_None && PyTuple_GET_ITEM(step, 3) == Py_True)) {
                return false;
            }
        } else if (kind == kQualname) {
            if (!Py_IS_TYPE(item.get(), &PyFunction_Type)) return false;
            item = PyRef::from_borrowed(reinterpret_cast<PyFunctionObject*>(item.get())->func_qualname);
        }
        read.push_back(std::move(item));
    }
    return true;
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
        if (is_c_scalar(type)) return append(readable_text(value), true);
        if (!is_shown_container(type)) return add_object(value, depth);
        const ContainerTexts texts = container_texts(type);
        if (std::find(open_.begin(), open_.end(), value) != open_.end()) {
            return append(str_object(recursion_marker(type)), true);
        }
        const Py_ssize_t size = PyObject_Length(value);
        if (depth >= max_depth_) return append(str_object(depth_summary(value)), true);
        if (size == 0) return append(str_object(texts.empty), true);
        add_container(value, type, texts, depth);
    }

    // _add_object: an object of any other type, as its type's plan says.
    void add_object(PyObject* value, Py_ssize_t depth) {
        const Plan plan = plan_of(Py_TYPE(value));
        if (plan.kind != kWalk) return append(direct_text(value, plan), true);
        if (depth >= max_depth_) return append(object_form(value), true);
        if (std::find(open_.begin(), open_.end(), value) != open_.end()) {
            return append(PyTuple_GET_ITEM(plan.plan.get(), 1), true);
        }
        std::vector<PyRef> read;
        if (!read_parts(value, plan.plan.get(), read)) return append(object_form(value), true);
        add_walked(value, PyTuple_GET_ITEM(plan.plan.get(), 2), read, depth);
    }

    PyRef join() {
        PyRef nothing = require(PyUnicode_FromStringAndSize("", 0));
        return require(PyUnicode_Join(nothing.get(), parts_.get()));
    }

private:
    void append(const PyRef& text, bool counted) { append(text.get(), counted); }
    // `text` is borrowed: the list takes a reference of its own.
    void append(PyObject* text, bool counted) {
        if (counted) room_ -= PyUnicode_GET_LENGTH(text);
        require_status(PyList_Append(parts_.get(), text));
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
            if (shown) append(joiner(Joiner::comma), true);
            if (is_dict) {
                add(key, depth + 1);
                append(joiner(Joiner::colon), true);
                add_entry(key, item.get(), depth + 1);
            } else {
                add(item.get(), depth + 1);
            }
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

    // _add_entry_repr: a dict entry's value, the mask under a key that names a credential.
    void add_entry(PyObject* key, PyObject* value, Py_ssize_t depth) {
        if (is_credential_key(key)) return append(joiner(Joiner::mask), true);
        add(value, depth);
    }

    // _add_walked: the steps of a WALK plan with the parts read for them.
    void add_walked(PyObject* value, PyObject* steps, const std::vector<PyRef>& read, Py_ssize_t depth) {
        open_.push_back(value);
        ++depth;
        for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(steps); ++index) {
            PyObject* step = PyTuple_GET_ITEM(steps, index);
            PyObject* item = read[static_cast<std::size_t>(index)].get();
            const long kind = small_number(PyTuple_GET_ITEM(step, 0));
            if (kind == kText) {
                append(PyTuple_GET_ITEM(step, 1), true);
            } else if (room_ <= 0) {
                append(joiner(Joiner::marker), false);
                break;
            } else if (kind == kItems) {
                add_items(item, step, depth);
            } else if (kind == kName || kind == kQualname) {
                if (item != Py_None) {
                    append(PyTuple_GET_ITEM(step, 1), true);
                    append(item, true);
                }
            } else if (kind == kMasked) {
                append(PyTuple_GET_ITEM(step, 1), true);
                append(joiner(Joiner::mask), true);
            } else if (kind != kOptional || item != Py_None) {
                append(PyTuple_GET_ITEM(step, 1), true);
                add(item, depth);
            }
        }
        open_.pop_back();
    }

    // _add_items: an ITEMS step, the items of `container` as its C iteration gives them.
    void add_items(PyObject* container, PyObject* step, Py_ssize_t depth) {
        PyRef length = require(PyObject_CallOneArg(PyTuple_GET_ITEM(step, 2), container));
        const Py_ssize_t count = PyLong_AsSsize_t(length.get());
        if (count == -1 && PyErr_Occurred()) throw PyErrorSet{};
        if (count == 0) return append(PyTuple_GET_ITEM(step, 7), true);
        const long form = small_number(PyTuple_GET_ITEM(step, 4));
        append(PyTuple_GET_ITEM(step, 5), true);
        PyRef iterable = require(PyObject_CallOneArg(PyTuple_GET_ITEM(step, 3), container));
        PyRef iterator = require(PyObject_GetIter(iterable.get()));
        Py_ssize_t shown = 0;
        for (Py_ssize_t index = 0; index < max_items_; ++index) {
            PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
            if (!item) {
                if (PyErr_Occurred()) throw PyErrorSet{};
                break;
            }
            if (room_ <= 0) break;
            const bool is_pair = form != kItem;
            if (is_pair && (!PyTuple_CheckExact(item.get()) || PyTuple_GET_SIZE(item.get()) != 2)) {
                raise_error(PyExc_ValueError, "too many values to unpack (expected 2)");
            }
            if (form == kKeyword && !PyUnicode_CheckExact(PyTuple_GET_ITEM(item.get(), 0))) continue;
            if (shown) append(joiner(Joiner::comma), true);
            if (form == kItem) {
                add(item.get(), depth);
            } else if (form == kKeyword) {
                append(PyTuple_GET_ITEM(item.get(), 0), true);
                append(joiner(Joiner::equals), true);
                add_entry(PyTuple_GET_ITEM(item.get(), 0), PyTuple_GET_ITEM(item.get(), 1), depth);
            } else {
                if (form == kTuplePair) append(joiner(Joiner::open_paren), true);
                add(PyTuple_GET_ITEM(item.get(), 0), depth);
                append(joiner(form == kPair ? Joiner::colon : Joiner::comma), true);
                add_entry(PyTuple_GET_ITEM(item.get(), 0), PyTuple_GET_ITEM(item.get(), 1), depth);
                if (form == kTuplePair) append(joiner(Joiner::close_paren), true);
            }
            ++shown;
        }
        const Py_ssize_t left_out = count - shown;
        PyObject* one_item_suffix = PyTuple_GET_ITEM(step, 8);
        if (left_out > 0) {
            append(str_object(", " + left_out_text(left_out, true)), false);
        } else if (shown == 1 && PyUnicode_GET_LENGTH(one_item_suffix) > 0) {
            append(one_item_suffix, false);
        }
        append(PyTuple_GET_ITEM(step, 6), true);
    }

    PyRef parts_;
    Py_ssize_t room_;
    Py_ssize_t max_items_;
    Py_ssize_t max_depth_;
    std::vector<PyObject*> open_;  // containers being shown, to mark one met again inside itself
};

}  // namespace

PyRef repr_text(PyObject* value, Py_ssize_t limit, Py_ssize_t max_items, Py_ssize_t max_depth) {
    // The common case, an object of a class, is one text alone.
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyLong_Type) return int_text(value);
    if (is_c_scalar(type)) return readable_text(value);
    if (!is_shown_container(type) && type != &PyUnicode_Type && type != &PyBytes_Type &&
        type != &PyByteArray_Type) {
        const Plan plan = plan_of(type);
        if (plan.kind != kWalk) return direct_text(value, plan);
    }
    ReprBuilder builder(limit, max_items, max_depth);
    builder.add(value, 0);
    return builder.join();
}

}  // namespace zelm::serializer
