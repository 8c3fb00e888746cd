// Python values to MessagePack through the host's serializer module.
#pragma once

#include "utils/msgpack.hpp"
#include "utils/python.hpp"

namespace zelm {

// zelm.serialize.dump_msgpack(value) (or dump_msgpack_lightweight_repr) as
// bytes. Whatever comes back must be exactly one complete MessagePack value,
// because it is embedded into records unchecked later; anything else is
// refused with a ValueError. May run arbitrary Python code. Throws PyErrorSet.
msgpack::Buffer dump_value(PyObject* value, bool lightweight);

}  // namespace zelm
