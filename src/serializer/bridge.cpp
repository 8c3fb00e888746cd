#include "serializer/bridge.hpp"

#include <vector>

#include "serializer/native_api.hpp"
#include "serializer/scalars.hpp"

namespace zelm {

msgpack::Bytes EncodedValue::bytes() const {
    if (!bytes_object_) return collected_;
    return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bytes_object_.get())),
            static_cast<std::size_t>(PyBytes_GET_SIZE(bytes_object_.get()))};
}

namespace {

// zelm.serialize's two functions, as the module holds them.
ModuleAttribute full_function;
ModuleAttribute lightweight_function;

// zelm._serialize's encoders, called directly, and the function objects
// that stand for them: a value goes to the direct call only while the
// function zelm.serialize holds is one of these (a host that replaced it
// gets its own called). Kept for the process's life.
struct NativeEncoders {
    const serializer::NativeApi* api = nullptr;
    PyObject* full = nullptr;
    PyObject* lightweight = nullptr;

    // Whether `function` is the mode's native encoder, to be called directly.
    bool stand_for(PyObject* function, bool lightweight_mode) const {
        return api != nullptr && function == (lightweight_mode ? lightweight : full);
    }
};

// Looked up once, when zelm.serialize has been imported, and with it the
// native module whenever it could be; none when it could not.
const NativeEncoders& native_encoders() {
    static bool looked_up = false;
    static NativeEncoders encoders;
    if (looked_up) return encoders;
    looked_up = true;
    const Names& n = names();
    PyRef module = PyRef::steal(PyImport_GetModule(n.zelm_native_serialize));
    PyRef capsule = module ? PyRef::steal(PyObject_GetAttr(module.get(), n.native_api)) : PyRef();
    PyRef full = module ? PyRef::steal(PyObject_GetAttr(module.get(), n.dump_msgpack)) : PyRef();
    PyRef lightweight =
        module ? PyRef::steal(PyObject_GetAttr(module.get(), n.dump_msgpack_lightweight_repr)) : PyRef();
    const void* api = capsule ? PyCapsule_GetPointer(capsule.get(), serializer::kNativeApiName) : nullptr;
    if (api == nullptr || !full || !lightweight) {
        PyErr_Clear();
        return encoders;
    }
    encoders = {static_cast<const serializer::NativeApi*>(api), full.release(), lightweight.release()};
    return encoders;
}

// The buffers of values done with, for the values to come: allocating one
// per value cost more than encoding a small value. Touched only with the
// GIL held, as every value is made and dropped with it.
class SpareBuffers {
public:
    msgpack::Buffer take() {
        if (buffers_.empty()) {
            msgpack::Buffer fresh;
            fresh.reserve(kTypicalValueBytes);
            return fresh;
        }
        msgpack::Buffer buffer = std::move(buffers_.back());
        buffers_.pop_back();
        return buffer;
    }
    // Keeps a few of the usual size; one grown by a huge value goes.
    void give_back(msgpack::Buffer& buffer) noexcept {
        if (buffer.capacity() == 0 || buffer.capacity() > kKeptCapacity || buffers_.size() == buffers_.capacity()) {
            return;
        }
        buffer.clear();
        buffers_.push_back(std::move(buffer));  // within the capacity: cannot throw
    }

    SpareBuffers() { buffers_.reserve(kKept); }

private:
    static constexpr std::size_t kTypicalValueBytes = 256;
    static constexpr std::size_t kKeptCapacity = 64 * 1024;
    // An event holds two values at once, a few more when a repr records.
    static constexpr std::size_t kKept = 8;
    std::vector<msgpack::Buffer> buffers_;
};

SpareBuffers spare_buffers;

}  // namespace

EncodedValue::~EncodedValue() { spare_buffers.give_back(collected_); }

void EncodedValue::take(PyRef result) {
    if (PyBytes_Check(result.get())) {
        bytes_object_ = std::move(result);
        return;
    }
    // The generic sequence-of-bytes rule.
    const std::vector<std::uint8_t> bytes = extract_sequence<std::uint8_t>(result.get(), [](PyObject* item) {
        long byte = PyLong_AsLong(item);
        if (byte == -1 && PyErr_Occurred()) throw PyErrorSet{};
        if (byte < 0 || byte > 255) {
            raise_error(PyExc_OverflowError, "out of range integral type conversion attempted");
        }
        return static_cast<std::uint8_t>(byte);
    });
    collected_.assign(bytes.begin(), bytes.end());
}

namespace {

// What a serializer function gave, refused unless it is exactly one value
// a reader loads: the bytes go into the trace document unchanged, and one
// value there that a reader cannot load would make it refuse the whole.
EncodedValue checked(EncodedValue encoded, PyObject* function_name) {
    const msgpack::Check check = msgpack::check_loadable(encoded.bytes());
    if (check.refusal != msgpack::Refusal::none) {
        raise_format(PyExc_ValueError,
                     "zelm.serialize.%U returned %zu bytes that are not exactly one MessagePack value "
                     "a reader can load: %s at byte %zu",
                     function_name, encoded.bytes().size(), msgpack::describe(check.refusal), check.offset);
    }
    return encoded;
}

// A native encoder's call into `out` (a spare buffer, unless the caller took one), run as
// a call of the function would run: up to the recursion limit.
template <typename Dump>
serializer::Dumped native_dump(msgpack::Buffer& out, Dump&& dump) {
    if (Py_EnterRecursiveCall(" while calling a Python object") != 0) throw PyErrorSet{};
    if (out.capacity() == 0) out = spare_buffers.take();
    const serializer::Dumped dumped = dump(out);
    Py_LeaveRecursiveCall();
    return dumped;
}

PyObject* function_name(bool lightweight) {
    return lightweight ? names().dump_msgpack_lightweight_repr : names().dump_msgpack;
}

// The function zelm.serialize holds for the mode, looked up on every call:
// a host may replace it. Borrowed while it is the one kept from the last
// lookup (enough to tell whether it is a native encoder), otherwise also
// held in `held`; a caller that calls it holds it.
PyObject* serializer_function(bool lightweight, PyRef& held) {
    ModuleAttribute& attribute = lightweight ? lightweight_function : full_function;
    if (PyObject* kept = attribute.kept()) return kept;
    const Names& n = names();
    held = attribute.get(n.zelm_serialize, lightweight ? n.dump_msgpack_lightweight_repr : n.dump_msgpack);
    return held.get();
}

}  // namespace

EncodedValue dump_value(PyObject* value, bool lightweight) {
    PyRef held;
    PyObject* function = serializer_function(lightweight, held);

    EncodedValue encoded;
    const NativeEncoders& native = native_encoders();
    if (native.stand_for(function, lightweight)) {
        // A call's argument (None) and most return values: written here, as
        // either encoder writes them, without the encoder's call.
        encoded.collected_ = spare_buffers.take();
        if (serializer::write_plain_scalar(encoded.collected_, value)) return encoded;
        PyObject* other = nullptr;
        const serializer::Dumped dumped = native_dump(encoded.collected_, [&](msgpack::Buffer& out) {
            return native.api->dump(value, lightweight, out, &other);
        });
        switch (dumped) {
            case serializer::Dumped::loadable: return encoded;
            case serializer::Dumped::unchecked: break;
            case serializer::Dumped::other: encoded.take(PyRef::steal(other)); break;
            case serializer::Dumped::error: throw PyErrorSet{};
            case serializer::Dumped::not_whole: throw InternalError("only a map may be left to its caller");
        }
    } else {
        if (!held) held = PyRef::from_borrowed(function);
        encoded.take(require(PyObject_CallOneArg(function, value)));
    }
    return checked(std::move(encoded), function_name(lightweight));
}

EncodedValue dump_map(const serializer::MapEntries& map, bool lightweight) {
    PyRef held;
    // Looked up first: the lookup imports zelm.serialize, and with it the native encoders.
    PyObject* function = serializer_function(lightweight, held);
    const NativeEncoders& native = native_encoders();
    if (native.stand_for(function, lightweight)) {
        EncodedValue encoded;
        const serializer::Dumped dumped = native_dump(encoded.collected_, [&](msgpack::Buffer& out) {
            return native.api->dump_whole_map(map, lightweight, out);
        });
        switch (dumped) {
            case serializer::Dumped::loadable: return encoded;
            case serializer::Dumped::unchecked: return checked(std::move(encoded), function_name(lightweight));
            case serializer::Dumped::error: throw PyErrorSet{};
            case serializer::Dumped::not_whole: break;
            case serializer::Dumped::other: throw InternalError("a map is never left to the reference");
        }
    }
    PyRef dict = require(PyDict_New());
    for (std::size_t index = 0; index < map.count; ++index) {
        require_status(PyDict_SetItem(dict.get(), map.keys[index], map.values[index].get()));
    }
    return dump_value(dict.get(), lightweight);
}

}  // namespace zelm
