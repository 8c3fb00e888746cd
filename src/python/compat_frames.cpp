// The frame accessors of compat.hpp that read the interpreter's own frame
// layout. From 3.11 on a frame object's fields, and the frame data it points
// to, are declared only in the interpreter's internal headers, which this
// unit alone includes.
#include "python/compat.hpp"

#include <bitset>

#if PY_VERSION_HEX >= 0x030B0000
#define Py_BUILD_CORE
#include "internal/pycore_code.h"  // the kinds of fast slots
#include "internal/pycore_frame.h"
#endif

namespace zelm::compat {
namespace {

// A frame's fast slots: its code, the values of its locals, cells and free
// variables, and whether the frame holds a locals mapping of its own besides
// them (the dict a refresh left before 3.13, the names written through the
// proxy from 3.13 on).
struct FastSlots {
    PyCodeObject* code;
    PyObject** values;
    Py_ssize_t count;
    bool own_mapping;
};

FastSlots fast_slots(PyObject* frame) {
    PyFrameObject* f = as_frame(frame);
#if PY_VERSION_HEX >= 0x030D0000
    auto* code = reinterpret_cast<PyCodeObject*>(f->f_frame->f_executable);
    return {code, f->f_frame->localsplus, code->co_nlocalsplus, f->f_extra_locals != nullptr};
#elif PY_VERSION_HEX >= 0x030B0000
    PyCodeObject* code = f->f_frame->f_code;
    return {code, f->f_frame->localsplus, code->co_nlocalsplus, f->f_frame->f_locals != nullptr};
#else
    PyCodeObject* code = f->f_code;
    // What a refresh reads: co_varnames up to co_nlocals, then the cells,
    // then the free variables.
    const Py_ssize_t locals = std::min<Py_ssize_t>(PyTuple_GET_SIZE(code->co_varnames), code->co_nlocals);
    const Py_ssize_t cells = PyTuple_GET_SIZE(code->co_cellvars);
    const Py_ssize_t free = PyTuple_GET_SIZE(code->co_freevars);
    if (locals != code->co_nlocals) {
        // Slots past the names (only a code object made by hand has them):
        // no cell or free variable is then where a refresh would look.
        return {code, f->f_localsplus, locals, f->f_locals != nullptr};
    }
    return {code, f->f_localsplus, locals + cells + free, f->f_locals != nullptr};
#endif
}

// The name of fast slot `i`.
PyObject* slot_name(PyCodeObject* code, Py_ssize_t i) {
#if PY_VERSION_HEX >= 0x030B0000
    return PyTuple_GET_ITEM(code->co_localsplusnames, i);
#else
    if (i < code->co_nlocals) return PyTuple_GET_ITEM(code->co_varnames, i);
    i -= code->co_nlocals;
    const Py_ssize_t cells = PyTuple_GET_SIZE(code->co_cellvars);
    return i < cells ? PyTuple_GET_ITEM(code->co_cellvars, i) : PyTuple_GET_ITEM(code->co_freevars, i - cells);
#endif
}

// Whether fast slot `i` holds one of the hidden locals of a comprehension
// inlined in the function: shown after every other name while bound.
bool hidden_slot([[maybe_unused]] PyCodeObject* code, [[maybe_unused]] Py_ssize_t i) {
#if PY_VERSION_HEX >= 0x030C0000
    return (PyBytes_AS_STRING(code->co_localspluskinds)[i] & CO_FAST_HIDDEN) != 0;
#else
    return false;
#endif
}

// The value of fast slot `i` as `frame.f_locals` shows it (borrowed, null
// while unbound), read as the interpreter reads it, without its writes: a
// cell's content once the cell is made, a free variable's from the
// function's closure where the frame has not copied it in yet.
PyObject* slot_value(PyObject* frame, const FastSlots& fast, Py_ssize_t i) {
    PyObject* value = fast.values[i];
#if PY_VERSION_HEX >= 0x030B0000
    const char kind = PyBytes_AS_STRING(fast.code->co_localspluskinds)[i];
    if (!(kind & (CO_FAST_CELL | CO_FAST_FREE))) return value;
#if PY_VERSION_HEX < 0x030D0000
    _PyInterpreterFrame* interpreter_frame = as_frame(frame)->f_frame;
    // Before its first instruction (where 3.11 calls the profile hook) a
    // frame has made no cell yet, a cell slot of an argument holding the
    // argument itself, and has not copied its free variables.
    const bool started = _PyInterpreterFrame_LASTI(interpreter_frame) >= 0;
    if ((kind & CO_FAST_FREE) && value == nullptr && !started) {
#if PY_VERSION_HEX >= 0x030C0000
        PyObject* function = interpreter_frame->f_funcobj;
#else
        auto* function = reinterpret_cast<PyObject*>(interpreter_frame->f_func);
#endif
        PyObject* closure = PyFunction_Check(function) ? PyFunction_GET_CLOSURE(function) : nullptr;
        const Py_ssize_t first_free = fast.code->co_nlocalsplus - fast.code->co_nfreevars;
        if (closure != nullptr && i - first_free < PyTuple_GET_SIZE(closure)) {
            value = PyTuple_GET_ITEM(closure, i - first_free);
        }
    }
    if ((kind & CO_FAST_CELL) && !(kind & CO_FAST_FREE) && !started) return value;
#else
    (void)frame;
#endif
#else
    (void)frame;
    if (i < fast.code->co_nlocals) return value;
#endif
    return value != nullptr && PyCell_Check(value) ? PyCell_GET(value) : value;
}

// How the locals of the code's function frames are read: as a dict made
// from the slots, over a copy of the frame's own dict if it has one, in the
// order of the interpreter's refresh (the interpreter's write-through proxy
// from 3.13 on, for code that has more than plain locals, a name that is no
// str, or a name given to two slots); as a dict of the bound slots, which is
// what the interpreter makes afresh (from 3.13 on, what copying its proxy
// gives) when every slot has a name of its own; or as the bound slots
// themselves, which also needs them to fit LocalSlots and no "__builtins__"
// or hidden local among them (the recorded locals leave "__builtins__" out).
enum class LocalsSource : std::uintptr_t { undecided = 0, interpreter, shared_names, slots_dict, slots };

LocalsSource decide_locals_source(const FastSlots& frame) {
#if PY_VERSION_HEX >= 0x030D0000
    // Cells and free variables are the proxy's to read.
    const char* kinds = PyBytes_AS_STRING(frame.code->co_localspluskinds);
    if (!std::all_of(kinds, kinds + frame.count, [](char kind) { return kind == CO_FAST_LOCAL; })) {
        return LocalsSource::interpreter;
    }
#endif
    bool builtins_named = false;
    bool hidden = false;
    bool shared = false;
    for (Py_ssize_t i = 0; i < frame.count; ++i) {
        PyObject* name = slot_name(frame.code, i);
        if (!PyUnicode_CheckExact(name)) return LocalsSource::interpreter;
        // A name given twice (a 3.10 argument that is also a cell, a code
        // object made by hand) is read from its first slot by the 3.13
        // proxy, from its last by a refresh: either way not one entry per slot.
        for (Py_ssize_t earlier = 0; earlier < i && !shared; ++earlier) {
            shared = PyUnicode_Compare(name, slot_name(frame.code, earlier)) == 0;
        }
        builtins_named = builtins_named || PyUnicode_CompareWithASCIIString(name, "__builtins__") == 0;
        hidden = hidden || hidden_slot(frame.code, i);
    }
    if (shared) return PY_VERSION_HEX >= 0x030D0000 ? LocalsSource::interpreter : LocalsSource::shared_names;
    if (builtins_named || hidden || frame.count > LocalSlots::kCapacity) return LocalsSource::slots_dict;
    return LocalsSource::slots;
}

#if PY_VERSION_HEX >= 0x030C0000
#define ZELM_REQUEST_CODE_EXTRA_INDEX PyUnstable_Eval_RequestCodeExtraIndex
#define ZELM_CODE_GET_EXTRA PyUnstable_Code_GetExtra
#define ZELM_CODE_SET_EXTRA PyUnstable_Code_SetExtra
#else
#define ZELM_REQUEST_CODE_EXTRA_INDEX _PyEval_RequestCodeExtraIndex
#define ZELM_CODE_GET_EXTRA _PyCode_GetExtra
#define ZELM_CODE_SET_EXTRA _PyCode_SetExtra
#endif

// decide_locals_source, once per code object: the answer is kept in the
// code's extra data, as a marker that is no pointer (nothing to free). A
// code's flags, slot kinds and names never change.
LocalsSource locals_source(const FastSlots& frame) {
    static const Py_ssize_t extra_index = ZELM_REQUEST_CODE_EXTRA_INDEX(nullptr);
    void* kept = nullptr;
    auto* code = reinterpret_cast<PyObject*>(frame.code);
    if (extra_index >= 0 && ZELM_CODE_GET_EXTRA(code, extra_index, &kept) == 0 && kept != nullptr) {
        return static_cast<LocalsSource>(reinterpret_cast<std::uintptr_t>(kept));
    }
    const LocalsSource source = decide_locals_source(frame);
    if (extra_index >= 0 &&
        ZELM_CODE_SET_EXTRA(code, extra_index, reinterpret_cast<void*>(static_cast<std::uintptr_t>(source))) < 0) {
        PyErr_Clear();  // another interpreter's index, no memory: decided again next time
    }
    return source;
}

// A new dict of the dict's items, read at C level: a subclass's own
// methods (keys, __getitem__, __iter__) never run.
PyRef copy_dict_items(PyObject* dict) {
    if (PyDict_CheckExact(dict)) return require(PyDict_Copy(dict));
    PyRef copy = require(PyDict_New());
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) require_status(PyDict_SetItem(copy.get(), key, value));
    return copy;
}

// A class or module body's (or exec's) namespace, as it is.
FrameLocals namespace_locals(PyObject* frame) {
#if PY_VERSION_HEX >= 0x030B0000
    PyObject* mapping = as_frame(frame)->f_frame->f_locals;
#else
    PyObject* mapping = as_frame(frame)->f_locals;
#endif
    if (mapping == nullptr) return {require(PyDict_New()), true};
    if (PyDict_CheckExact(mapping)) return {PyRef::from_borrowed(mapping), false};
    if (PyDict_Check(mapping)) return {copy_dict_items(mapping), true};
    return {PyRef::from_borrowed(mapping), false};
}

#if PY_VERSION_HEX >= 0x030D0000
// A function frame's locals as a new dict of its bound slots where that is
// what copying the interpreter's proxy gives; nullopt where the proxy is to
// be copied. The write-through proxy lists the bound slots in order, then
// the names written through it that are no local (kept on the frame).
std::optional<PyRef> plain_function_locals(PyObject* frame) {
    const FastSlots fast = fast_slots(frame);
    if (fast.own_mapping || locals_source(fast) == LocalsSource::interpreter) return std::nullopt;
    PyRef locals = require(PyDict_New());
    for (Py_ssize_t i = 0; i < fast.count; ++i) {
        if (PyObject* value = fast.values[i]) require_status(PyDict_SetItem(locals.get(), slot_name(fast.code, i), value));
    }
    return locals;
}
#else
// Slots a locals order can name: a refresh's scratch set of names is this
// big. A frame with more is shown in slot order.
constexpr Py_ssize_t kOrderedSlots = 1024;

// The slot whose value a refresh leaves in the dict under slot `i`'s name:
// the last one with that name.
Py_ssize_t last_slot_named_as(const FastSlots& fast, Py_ssize_t i) {
    PyObject* name = slot_name(fast.code, i);
    for (Py_ssize_t later = fast.count - 1; later > i; --later) {
        if (PyUnicode_Compare(slot_name(fast.code, later), name) == 0) return later;
    }
    return i;
}

// Whether `slots` holds each slot that is no hidden one from the first on,
// in order: the order of a frame whose names were bound in slot order.
bool slot_order_from_first(const FastSlots& fast, const std::vector<std::uint16_t>& slots) {
    Py_ssize_t next = 0;
    for (std::uint16_t slot : slots) {
        while (next < fast.count && hidden_slot(fast.code, next)) ++next;
        if (slot != next) return false;
        ++next;
    }
    return true;
}

// Brings `order` up to a refresh at this event, made as the interpreter
// makes it: slot by slot, a bound slot's name added at the end when the
// dict lacks it, an unbound one's name taken out. Hidden locals never enter
// the dict.
void advance_order(PyObject* frame, const FastSlots& fast, LocalsSource source, LocalsOrder& order) {
    std::vector<std::uint16_t>& slots = order.slots;
    const bool shared = source == LocalsSource::shared_names;
    if (source == LocalsSource::interpreter || fast.count > kOrderedSlots) {
        // Names that are no str (only in a code object made by hand), or too
        // many slots: shown in slot order.
        order.listed = false;
        return;
    }
    std::bitset<kOrderedSlots> present;
    if (order.listed) {
        for (std::uint16_t slot : slots) {
            // An order kept for a frame that ended unseen, whose address and
            // code's address were both taken again since, may not fit this code.
            if (slot >= fast.count || present[slot]) {
                order.listed = false;
                present.reset();
                break;
            }
            present.set(slot);
        }
    }
    if (!order.listed) {
        slots.clear();
        if (!shared) {
            // The names bound at the frame's previous event were in slot
            // order with no unbound slot among them: those still bound keep
            // their places and the ones bound since, all in later slots,
            // follow them. That is the slot order again, listed from here on
            // if an unbound slot lies among the bound ones.
            bool gap = false;
            for (Py_ssize_t i = 0; i < fast.count && !order.listed; ++i) {
                if (hidden_slot(fast.code, i)) continue;
                const bool bound = slot_value(frame, fast, i) != nullptr;
                order.listed = bound && gap;
                gap = gap || !bound;
            }
            if (!order.listed) return;
            for (Py_ssize_t i = 0; i < fast.count; ++i) {
                if (!hidden_slot(fast.code, i) && slot_value(frame, fast, i) != nullptr) {
                    slots.push_back(static_cast<std::uint16_t>(i));
                }
            }
            return;
        }
    }
    for (Py_ssize_t i = 0; i < fast.count; ++i) {
        if (hidden_slot(fast.code, i)) continue;
        const auto key = static_cast<std::uint16_t>(shared ? last_slot_named_as(fast, i) : i);
        if (slot_value(frame, fast, i) != nullptr) {
            if (present[key]) continue;
            present.set(key);
            slots.push_back(key);
        } else if (present[key]) {
            present.reset(key);
            slots.erase(std::find(slots.begin(), slots.end(), key));
        }
    }
    // A name with two slots can move at any refresh (taken out at an unbound
    // first slot, added again at its last): its frame's order is always listed.
    order.listed = shared || !slot_order_from_first(fast, slots);
}

// A function frame's locals as a new dict: what the interpreter's refresh
// makes, in its order, without its writes. The frame's own dict (which the
// refresh would update in place, and whose order depends on every refresh
// before) is copied, never written; the names it lacks come after its own
// in `order` when one is given and listed, else in slot order.
PyRef function_locals(PyObject* frame, LocalsOrder* order) {
    const FastSlots fast = fast_slots(frame);
    const LocalsSource source = locals_source(fast);
    if (order != nullptr) advance_order(frame, fast, source, *order);
    const bool listed = order != nullptr && order->listed;
#if PY_VERSION_HEX >= 0x030B0000
    PyObject* own = as_frame(frame)->f_frame->f_locals;
#else
    PyObject* own = as_frame(frame)->f_locals;
#endif
    PyRef locals = own != nullptr && PyDict_Check(own) ? copy_dict_items(own) : require(PyDict_New());
    const bool fresh = own == nullptr;
    PyRef hidden;
    for (Py_ssize_t i = 0; i < fast.count; ++i) {
        PyObject* name = slot_name(fast.code, i);
        PyObject* value = slot_value(frame, fast, i);
        if (hidden_slot(fast.code, i)) {
            // Shown after the others while bound, never kept in the frame's dict.
            if (value == nullptr) continue;
            if (!hidden) hidden = require(PyDict_New());
            require_status(PyDict_SetItem(hidden.get(), name, value));
        } else if (value != nullptr) {
            if (!listed) require_status(PyDict_SetItem(locals.get(), name, value));
        } else if (!fresh || source == LocalsSource::interpreter || source == LocalsSource::shared_names) {
            // Popping keeps the refresh from making, and then clearing, a
            // KeyError for every unbound name not in the dict.
            require(_PyDict_Pop(locals.get(), name, Py_None));
        }
    }
    if (listed) {
        for (std::uint16_t slot : order->slots) {
            require_status(PyDict_SetItem(locals.get(), slot_name(fast.code, slot), slot_value(frame, fast, slot)));
        }
    }
    if (hidden) require_status(PyDict_Update(locals.get(), hidden.get()));
    return locals;
}
#endif

}  // namespace

PyObject* running_code(PyObject* frame) {
    PyFrameObject* f = as_frame(frame);
#if PY_VERSION_HEX >= 0x030D0000
    return f->f_frame->f_executable;
#elif PY_VERSION_HEX >= 0x030B0000
    return reinterpret_cast<PyObject*>(f->f_frame->f_code);
#else
    return reinterpret_cast<PyObject*>(f->f_code);
#endif
}

PyObject* running_globals(PyObject* frame) {
#if PY_VERSION_HEX >= 0x030B0000
    return as_frame(frame)->f_frame->f_globals;
#else
    return as_frame(frame)->f_globals;
#endif
}

PyObject* running_caller(PyObject* frame) {
#if PY_VERSION_HEX >= 0x030B0000
    // What PyFrame_GetBack finds, read where it is made already.
    PyFrameObject* f = as_frame(frame);
    if (f->f_back != nullptr) return reinterpret_cast<PyObject*>(f->f_back);
    _PyInterpreterFrame* previous = f->f_frame->previous;
    while (previous != nullptr && _PyFrame_IsIncomplete(previous)) previous = previous->previous;
    if (previous == nullptr) return nullptr;
    if (previous->frame_obj != nullptr) return reinterpret_cast<PyObject*>(previous->frame_obj);
    // Made now, and kept by the caller's interpreter frame from then on.
    return frame_back(frame).get();
#else
    return reinterpret_cast<PyObject*>(as_frame(frame)->f_back);
#endif
}

FramePosition frame_position(PyObject* frame) {
    PyFrameObject* f = as_frame(frame);
#if PY_VERSION_HEX >= 0x030D0000
    // -1 asks for the line to be computed once and kept on the frame, which
    // the interpreter's own accessor does.
    if (f->f_lineno == -1) return {PyFrame_GetLineNumber(f), nullptr, 0};
    if (f->f_lineno > 0) return {f->f_lineno, nullptr, 0};
    return {0, f->f_frame->f_executable, PyUnstable_InterpreterFrame_GetLasti(f->f_frame)};
#elif PY_VERSION_HEX >= 0x030C0000
    if (f->f_lineno != 0) return {f->f_lineno, nullptr, 0};
    return {0, reinterpret_cast<PyObject*>(f->f_frame->f_code), PyUnstable_InterpreterFrame_GetLasti(f->f_frame)};
#elif PY_VERSION_HEX >= 0x030B0000
    if (f->f_lineno != 0) return {f->f_lineno, nullptr, 0};
    int offset = _PyInterpreterFrame_LASTI(f->f_frame) * static_cast<int>(sizeof(_Py_CODEUNIT));
    return {0, reinterpret_cast<PyObject*>(f->f_frame->f_code), offset};
#else
    if (f->f_lineno != 0) return {f->f_lineno, nullptr, 0};
    return {0, reinterpret_cast<PyObject*>(f->f_code), f->f_lasti * static_cast<int>(sizeof(_Py_CODEUNIT))};
#endif
}

FrameLocals frame_locals(PyObject* frame, [[maybe_unused]] LocalsOrder* order) {
    if (!(reinterpret_cast<PyCodeObject*>(running_code(frame))->co_flags & CO_OPTIMIZED)) {
        return namespace_locals(frame);
    }
#if PY_VERSION_HEX >= 0x030D0000
    if (std::optional<PyRef> locals = plain_function_locals(frame)) return {std::move(*locals), true};
    // Reading through the proxy writes nothing.
    PyRef proxy = require(PyFrame_GetLocals(as_frame(frame)));
    PyRef copy = require(PyDict_New());
    require_status(PyDict_Merge(copy.get(), proxy.get(), 1));
    return {std::move(copy), true};
#else
    return {function_locals(frame, order), true};
#endif
}

void refresh_locals_order([[maybe_unused]] PyObject* frame, [[maybe_unused]] LocalsOrder& order) {
#if PY_VERSION_HEX < 0x030D0000
    if (!(reinterpret_cast<PyCodeObject*>(running_code(frame))->co_flags & CO_OPTIMIZED)) return;
    const FastSlots fast = fast_slots(frame);
    advance_order(frame, fast, locals_source(fast), order);
#endif
}

bool frame_resumed(PyObject* frame) {
#if PY_VERSION_HEX >= 0x030B0000
    // The first instruction that can be traced is the RESUME that starts the
    // body, past any prologue that makes the cells and copies free variables.
    auto* code = reinterpret_cast<PyCodeObject*>(running_code(frame));
    return _PyInterpreterFrame_LASTI(as_frame(frame)->f_frame) > code->_co_firsttraceable;
#else
    return as_frame(frame)->f_lasti >= 0;
#endif
}

bool frame_suspended(PyObject* frame) {
#if PY_VERSION_HEX >= 0x030B0000
    _PyInterpreterFrame* interpreter_frame = as_frame(frame)->f_frame;
    if (interpreter_frame->owner != FRAME_OWNED_BY_GENERATOR) return false;
    // Coroutines and async generators start with the same fields.
    const auto state = _PyFrame_GetGenerator(interpreter_frame)->gi_frame_state;
#if PY_VERSION_HEX >= 0x030D0000
    return FRAME_STATE_SUSPENDED(state);
#else
    return state == FRAME_SUSPENDED;
#endif
#else
    return as_frame(frame)->f_state == FRAME_SUSPENDED;
#endif
}

bool bound_local_slots(PyObject* frame, LocalSlots& slots, LocalsOrder& order) {
    // What the interpreter's refresh makes of a function frame with no dict
    // yet, which is left without one.
    if (!(reinterpret_cast<PyCodeObject*>(running_code(frame))->co_flags & CO_OPTIMIZED)) return false;
    const FastSlots fast = fast_slots(frame);
    if (fast.own_mapping || locals_source(fast) != LocalsSource::slots) return false;
#if PY_VERSION_HEX < 0x030D0000
    if (order.listed) {
        advance_order(frame, fast, LocalsSource::slots, order);
        if (order.listed) {
            slots.count = order.slots.size();
            for (std::size_t i = 0; i < slots.count; ++i) {
                slots.names[i] = slot_name(fast.code, order.slots[i]);
                slots.values[i] = PyRef::from_borrowed(slot_value(frame, fast, order.slots[i]));
            }
            return true;
        }
    }
#endif
    // Otherwise the slot order (see advance_order).
    std::array<std::uint16_t, LocalSlots::kCapacity> bound;
    bool gap = false;
    bool listed = false;
    std::size_t count = 0;
    for (Py_ssize_t i = 0; i < fast.count; ++i) {
        PyObject* value = slot_value(frame, fast, i);
        if (value == nullptr) {
            gap = true;
            continue;
        }
        slots.names[count] = slot_name(fast.code, i);
        slots.values[count] = PyRef::from_borrowed(value);
        bound[count] = static_cast<std::uint16_t>(i);
        listed = listed || gap;
        ++count;
    }
    slots.count = count;
    // Listed from here on if an unbound slot lies among the bound ones.
    order.listed = kLocalsOrderHasHistory && listed;
    if (order.listed) order.slots.assign(bound.begin(), bound.begin() + count);
    return true;
}

}  // namespace zelm::compat
