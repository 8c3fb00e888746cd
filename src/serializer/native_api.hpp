// What zelm._serialize offers the profiler (zelm._zelm) in its capsule
// `native_api`: its encoders called with no Python call and no bytes object
// in between, writing straight into the profiler's buffer.
#pragma once

#include <Python.h>

#include <cstddef>

#include "format/msgpack.hpp"
#include "python/python.hpp"

namespace zelm::serializer {

inline constexpr const char* kNativeApiName = "zelm._serialize.native_api";

enum class Dumped {
    loadable,   // `out` holds the bytes, which a reader loads as they are
    unchecked,  // `out` holds the bytes, which must be checked before use
    other,      // the reference implementation answered: `*other` is what it returned
    error,      // a Python error is set
    not_whole,  // nothing written: the value must be made and dumped as usual
};

// The dict {keys[i]: values[i].get()} without the dict: distinct keys, in
// the dict's order.
struct MapEntries {
    PyObject* const* keys;
    const PyRef* values;
    std::size_t count;
};

struct NativeApi {
    // zelm._serialize.dump_msgpack(value), or dump_msgpack_lightweight_repr:
    // the bytes it would return written to `out` (empty on entry), or a new
    // reference in `*other` to the object it would return. With the GIL held.
    Dumped (*dump)(PyObject* value, bool lightweight, msgpack::Buffer& out, PyObject** other);
    // `dump` of the dict `map` stands for, when the mode's fast path packs
    // that dict whole (nothing cut, nothing left to a walk): loadable or
    // unchecked as `dump` answers. not_whole otherwise, and the dict is the
    // caller's to make. Spares a caller that holds the entries anyway
    // making the dict.
    Dumped (*dump_whole_map)(const MapEntries& map, bool lightweight, msgpack::Buffer& out);
};

}  // namespace zelm::serializer
