#include "utils/serialize.hpp"

namespace zelm {

msgpack::Bytes EncodedValue::bytes() const {
    if (!bytes_object_) return collected_;
    return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bytes_object_.get())),
            static_cast<std::size_t>(PyBytes_GET_SIZE(bytes_object_.get()))};
}

namespace {
ModuleCache serialize_module;
}  // namespace

EncodedValue dump_value(PyObject* value, bool lightweight) {
    const Names& n = names();
    // The function is looked up on every call: a host may replace it.
    PyRef module = serialize_module.import(n.zelm_serialize);
    PyObject* function_name = lightweight ? n.dump_msgpack_lightweight_repr : n.dump_msgpack;
    PyRef function = require(PyObject_GetAttr(module.get(), function_name));
    PyRef result = require(PyObject_CallOneArg(function.get(), value));

    EncodedValue encoded;
    if (PyBytes_Check(result.get())) {
        encoded.bytes_object_ = std::move(result);
    } else {
        // The generic sequence-of-bytes rule.
        encoded.collected_ = extract_sequence<std::uint8_t>(result.get(), [](PyObject* item) {
            long byte = PyLong_AsLong(item);
            if (byte == -1 && PyErr_Occurred()) throw PyErrorSet{};
            if (byte < 0 || byte > 255) {
                raise_error(PyExc_OverflowError, "out of range integral type conversion attempted");
            }
            return static_cast<std::uint8_t>(byte);
        });
    }
    // The bytes go into the trace document unchanged: one value there that a
    // reader cannot load would make it refuse the whole document.
    const msgpack::Check check = msgpack::check_loadable(encoded.bytes());
    if (check.refusal != msgpack::Refusal::none) {
        raise_format(PyExc_ValueError,
                     "zelm.serialize.%U returned %zu bytes that are not exactly one MessagePack value "
                     "a reader can load: %s at byte %zu",
                     function_name, encoded.bytes().size(), msgpack::describe(check.refusal), check.offset);
    }
    return encoded;
}

}  // namespace zelm
