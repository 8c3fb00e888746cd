// zelm._serialize: the encoders of zelm.serialize written natively (see
// serializer/encoder.hpp). zelm.serialize configures this module when it is
// imported and pushes every change of the limits into it; the functions
// refuse to run before that.

#include <algorithm>

#include "serializer/encoder.hpp"
#include "serializer/native_api.hpp"
#include "serializer/scrub.hpp"
#include "serializer/text.hpp"

namespace zelm::serializer {
namespace {

// The reference implementation, for the values only it encodes (Unmodelled).
PyObject* g_reference_full = nullptr;
PyObject* g_reference_lightweight = nullptr;

// The reference encoder of a mode; throws before zelm.serialize gave them.
PyObject* reference_encoder(bool lightweight) {
    PyObject* reference = lightweight ? g_reference_lightweight : g_reference_full;
    if (reference == nullptr) {
        raise_error(PyExc_RuntimeError, "zelm._serialize is used before zelm.serialize configured it");
    }
    return reference;
}

template <bool Lightweight>
PyObject* dump_entry(PyObject*, PyObject* value) {
    return at_boundary<PyObject*>(nullptr, [value]() -> PyObject* {
        PyObject* reference = reference_encoder(Lightweight);
        try {
            return (Lightweight ? dump_lightweight(value) : dump_full(value)).release();
        } catch (const Unmodelled&) {
            return require(PyObject_CallOneArg(reference, value)).release();
        }
    });
}

// dump_entry for the profiler, writing into its buffer.
Dumped dump_into(PyObject* value, bool lightweight, msgpack::Buffer& out, PyObject** other) {
    return at_boundary<Dumped>(Dumped::error, [&]() -> Dumped {
        PyObject* reference = reference_encoder(lightweight);
        try {
            const bool loadable = lightweight ? dump_lightweight(value, out) : dump_full(value, out);
            return loadable ? Dumped::loadable : Dumped::unchecked;
        } catch (const Unmodelled&) {
            out.clear();
            *other = require(PyObject_CallOneArg(reference, value)).release();
            return Dumped::other;
        }
    });
}

Dumped dump_whole_map_into(const MapEntries& map, bool lightweight, msgpack::Buffer& out) {
    return at_boundary<Dumped>(Dumped::error, [&]() -> Dumped {
        reference_encoder(lightweight);  // configured, as for any other value
        try {
            const std::optional<bool> loadable = dump_whole_map(map, lightweight, out);
            if (!loadable) return Dumped::not_whole;
            return *loadable ? Dumped::loadable : Dumped::unchecked;
        } catch (const Unmodelled&) {
            out.clear();
            return Dumped::not_whole;
        }
    });
}

const NativeApi native_api{dump_into, dump_whole_map_into};

// Far beyond any text, container or nesting a program holds; a limit above
// it behaves as this one.
constexpr std::int64_t kLargestLimit = std::int64_t{1} << 60;

// A zelm.serialize.Limits: (max_text, max_items, max_depth, max_value_bytes),
// each an int of at least 1, max_value_bytes None for no cap.
Limits parse_limits(PyObject* limits) {
    if (!PyTuple_Check(limits) || PyTuple_GET_SIZE(limits) != 4) {
        raise_error(PyExc_TypeError, "limits must be a tuple of four entries");
    }
    std::int64_t numbers[4];
    for (Py_ssize_t index = 0; index < 4; ++index) {
        PyObject* item = PyTuple_GET_ITEM(limits, index);
        if (index == 3 && item == Py_None) {
            numbers[index] = kNoCap;
            continue;
        }
        if (!PyLong_Check(item)) {
            raise_error(PyExc_TypeError, "a limit must be an int");
        }
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (number == -1 && PyErr_Occurred()) throw PyErrorSet{};
        if (overflow < 0 || (overflow == 0 && number < 1)) {
            raise_error(PyExc_ValueError, "a limit must be at least 1");
        }
        numbers[index] = overflow > 0 ? kLargestLimit : std::min<std::int64_t>(number, kLargestLimit);
    }
    return {numbers[0], numbers[1], numbers[2], numbers[3]};
}

PyObject* set_limits_entry(PyObject*, PyObject* const* args, Py_ssize_t count) {
    return at_boundary<PyObject*>(nullptr, [args, count]() -> PyObject* {
        if (count != 2) {
            raise_error(PyExc_TypeError, "set_limits(full, lightweight) takes two Limits");
        }
        set_limits(parse_limits(args[0]), parse_limits(args[1]));
        Py_RETURN_NONE;
    });
}

PyObject* configure_entry(PyObject*, PyObject* const* args, Py_ssize_t count) {
    if (count != 5 || !PyType_Check(args[0]) || !PyType_Check(args[1]) || !PyCallable_Check(args[2]) ||
        !PyCallable_Check(args[3]) || !PyCallable_Check(args[4])) {
        PyErr_SetString(PyExc_TypeError,
                        "configure(ext_type, timestamp_type, reference_dump, reference_dump_lightweight, plan_for)");
        return nullptr;
    }
    set_msgpack_types(args[0], args[1]);
    Py_INCREF(args[2]);
    Py_INCREF(args[3]);
    Py_XSETREF(g_reference_full, args[2]);
    Py_XSETREF(g_reference_lightweight, args[3]);
    set_plan_source(args[4]);
    Py_RETURN_NONE;
}

PyObject* set_repr_mode_entry(PyObject*, PyObject* full) {
    set_full_repr(full == Py_True);
    Py_RETURN_NONE;
}

PyObject* set_scrub_keys_entry(PyObject*, PyObject* folded_keys) {
    return at_boundary<PyObject*>(nullptr, [folded_keys]() -> PyObject* {
        set_scrub_keys(folded_keys);
        Py_RETURN_NONE;
    });
}

PyObject* forget_plans_entry(PyObject*, PyObject*) {
    forget_plans();
    Py_RETURN_NONE;
}

PyMethodDef functions[] = {
    {"dump_msgpack", dump_entry<false>, METH_O,
     "dump_msgpack(value)\n--\n\nzelm.serialize.reference_dump_msgpack, natively: the same bytes."},
    {"dump_msgpack_lightweight_repr", dump_entry<true>, METH_O,
     "dump_msgpack_lightweight_repr(value)\n--\n\n"
     "zelm.serialize.reference_dump_msgpack_lightweight_repr, natively: the same bytes."},
    {"set_limits", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_limits_entry)), METH_FASTCALL,
     "set_limits(full, lightweight)\n--\n\nThe limits in force (two zelm.serialize.Limits)."},
    {"configure", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(configure_entry)), METH_FASTCALL,
     "configure(ext_type, timestamp_type, reference_dump, reference_dump_lightweight, plan_for)\n--\n\n"
     "msgpack's ExtType and Timestamp, the reference encoders for the values only they encode, and "
     "zelm.serialize.plans.plan_for, asked once per type how its values are shown."},
    {"set_repr_mode", set_repr_mode_entry, METH_O,
     "set_repr_mode(full)\n--\n\nThe repr mode: True for \"full\", False for \"safe\"."},
    {"set_scrub_keys", set_scrub_keys_entry, METH_O,
     "set_scrub_keys(folded_keys)\n--\n\nThe scrub keys in force, as zelm.serialize.scrub folds them (a tuple of "
     "str): the values under keys that contain one are masked."},
    {"forget_plans", forget_plans_entry, METH_NOARGS,
     "forget_plans()\n--\n\nAsk every type for its plan anew (the registry of reprs changed)."},
    {nullptr, nullptr, 0, nullptr},
};

// The shared names and the internal-error type, which the boundary sets
// for a broken invariant; the capsule of the profiler's entry.
int execute(PyObject* module) {
    return run_or_set_error([module] {
        init_names();
        PyRef capsule = require(PyCapsule_New(const_cast<NativeApi*>(&native_api), kNativeApiName, nullptr));
        if (PyModule_AddObjectRef(module, "native_api", capsule.get()) < 0) throw PyErrorSet{};
    }) ? 0 : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execute)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_serialize", "The encoders of zelm.serialize, natively.",
    0, functions, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace zelm::serializer

PyMODINIT_FUNC PyInit__serialize() { return PyModuleDef_Init(&zelm::serializer::module_definition); }
