// Python values to MessagePack through the host's serializer module: the
// profiler's side (built into zelm._zelm) of what zelm._serialize offers.
#pragma once

#include "format/msgpack.hpp"
#include "python/python.hpp"
#include "serializer/native_api.hpp"

namespace zelm {

// One serialised value. When the host returns a bytes object (the usual
// case) the bytes are read from it in place; any other sequence of byte
// values is collected into a buffer of its own, which is also where the
// native encoders write.
class EncodedValue {
public:
    EncodedValue() = default;
    EncodedValue(EncodedValue&&) = default;
    EncodedValue& operator=(EncodedValue&&) = default;
    // Leaves the buffer to the next value.
    ~EncodedValue();

    msgpack::Bytes bytes() const;

private:
    friend EncodedValue dump_value(PyObject* value, bool lightweight);
    friend EncodedValue dump_map(const serializer::MapEntries& map, bool lightweight);
    // Keeps what a serializer function returned. Throws PyErrorSet.
    void take(PyRef result);

    PyRef bytes_object_;
    msgpack::Buffer collected_;
};

// zelm.serialize.dump_msgpack(value) (or dump_msgpack_lightweight_repr).
// Whatever comes back must be exactly one MessagePack value that a reader
// loads (msgpack::check_loadable), because it is embedded into records
// unchecked later; anything else is refused with a ValueError naming the
// fault. While the function is still zelm._serialize's own, its encoder is
// called directly, and what it writes is checked only when it cannot vouch
// for it. May run arbitrary Python code. Throws PyErrorSet.
EncodedValue dump_value(PyObject* value, bool lightweight);

// dump_value of the dict `map` stands for, made only when zelm._serialize's
// encoder of the mode cannot write it whole without it (the same bytes
// either way). Throws PyErrorSet.
EncodedValue dump_map(const serializer::MapEntries& map, bool lightweight);

}  // namespace zelm
