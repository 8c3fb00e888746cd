// The two encoders of zelm.serialize, written natively: dump_full is
// dump_msgpack, dump_lightweight is dump_msgpack_lightweight_repr.
//
// python/zelm/serialize/reference.py holds the reference implementation and its
// documentation (what is kept, what is cut, the extension values); these
// mirror it step by step and write exactly the same bytes for every value:
// the same checks in the same order, the same reprs taken in the same
// order, the same counting of characters and of the bytes still allowed.
// Where the reference packs with msgpack's packer, Packer here writes what
// that packer writes.
//
// Called with the GIL held. Both run zelm's plan lookup for objects of
// other types, and the program's code only where a plan says so (a C repr,
// a registered repr, the repr mode "full"); they throw PyErrorSet when a
// BaseException that is not an Exception (a KeyboardInterrupt) comes out
// of it, as the reference lets it through.
#pragma once

#include <cstdint>
#include <optional>

#include "format/msgpack.hpp"
#include "python/python.hpp"
#include "serializer/native_api.hpp"

namespace zelm::serializer {

// How much of one value a record keeps; max_value_bytes is kNoCap when the
// mode has no cap.
struct Limits {
    std::int64_t max_text;
    std::int64_t max_items;
    std::int64_t max_depth;
    std::int64_t max_value_bytes;
};

inline constexpr std::int64_t kNoCap = std::int64_t{1} << 62;

// The limits in force, replaced by zelm.serialize.set_limits.
void set_limits(const Limits& full, const Limits& lightweight);

// msgpack's ExtType and Timestamp, which are packed as the extension values
// they stand for; given once by zelm.serialize before any call.
void set_msgpack_types(PyObject* ext_type, PyObject* timestamp_type);

// A value holding a msgpack ExtType or Timestamp whose fields msgpack's
// packer does not write as they are (replaced with _replace() or by
// assignment, seconds beyond 64 bits), or a memoryview of an indirect
// layout: how the reference treats those is msgpack's and memoryview's own
// affair, so such a value is encoded by the reference implementation instead.
struct Unmodelled {};

// Both return a bytes object. Throw PyErrorSet or Unmodelled.
PyRef dump_full(PyObject* value);
PyRef dump_lightweight(PyObject* value);

// The same bytes written to `out` (empty on entry). True when a reader
// loads them as they are, which the encoders know unless the value held
// bytes they copy without looking into (an ExtType's data, a Timestamp's
// fields) or changed while it was encoded. Throw PyErrorSet or Unmodelled.
bool dump_full(PyObject* value, msgpack::Buffer& out);
bool dump_lightweight(PyObject* value, msgpack::Buffer& out);

// dump_full (or dump_lightweight) of the dict `map` stands for, written to
// `out` when the mode's fast path packs that dict whole: true when a reader
// loads it as it is. nullopt, and `out` empty, when the dict must be made
// and encoded as usual. Throws PyErrorSet or Unmodelled.
std::optional<bool> dump_whole_map(const MapEntries& map, bool lightweight, msgpack::Buffer& out);

}  // namespace zelm::serializer
