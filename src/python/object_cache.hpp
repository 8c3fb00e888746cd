// Small direct-mapped caches keyed by an object's address, for answers
// worked out once per str object (a code's file or function name, say).
// An entry holds a reference to its key, so while it is there the address
// cannot be reused by another object; a lookup compares the key it finds.
#pragma once

#include <array>
#include <cstdint>

#include "python/python.hpp"

namespace zelm {

template <typename Entry>
using ObjectCache = std::array<Entry, 64>;

template <typename Entry>
Entry& cache_slot(ObjectCache<Entry>& cache, PyObject* key) {
    return cache[(reinterpret_cast<std::uintptr_t>(key) >> 4) % cache.size()];
}

}  // namespace zelm
