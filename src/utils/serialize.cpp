#include "utils/serialize.hpp"

namespace zelm {
namespace {

// The generic sequence-of-bytes rule; a bytes object is the expected, fast case.
msgpack::Buffer to_bytes(PyObject* result) {
    if (PyBytes_Check(result)) {
        auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(result));
        return msgpack::Buffer(data, data + PyBytes_GET_SIZE(result));
    }
    return extract_sequence<std::uint8_t>(result, [](PyObject* item) {
        long value = PyLong_AsLong(item);
        if (value == -1 && PyErr_Occurred()) throw PyErrorSet{};
        if (value < 0 || value > 255) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            throw PyErrorSet{};
        }
        return static_cast<std::uint8_t>(value);
    });
}

}  // namespace

msgpack::Buffer dump_value(PyObject* value, bool lightweight) {
    const Names& n = names();
    PyRef module = import_module(n.zelm_serialize);
    PyObject* function_name = lightweight ? n.dump_msgpack_lightweight_repr : n.dump_msgpack;
    PyRef function = require(PyObject_GetAttr(module.get(), function_name));
    PyRef result = require(PyObject_CallOneArg(function.get(), value));
    msgpack::Buffer bytes = to_bytes(result.get());
    if (!msgpack::is_single_value(bytes)) {
        PyErr_Format(PyExc_ValueError,
                     "zelm.serialize.%U returned %zu bytes that are not exactly one complete "
                     "MessagePack value",
                     function_name, bytes.size());
        throw PyErrorSet{};
    }
    return bytes;
}

}  // namespace zelm
