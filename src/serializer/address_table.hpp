// Small tables of what the encoders learned about an object, found by the
// object's address: a type's plan, a key's verdict. Called with the GIL held.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zelm::serializer {

// The entry of a table of `Size` entries that `object`'s address hashes to
// first.
template <std::size_t Size, typename Object>
std::size_t address_slot(Object* object) {
    static_assert((Size & (Size - 1)) == 0, "a power of two");
    // Fibonacci hashing spreads the address bits over the index.
    return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(object) >> 4) * 0x9E3779B97F4A7C15ULL >> 40) %
           Size;
}

// The entry of `table` whose member `Key` holds `object`, or else the one
// to fill for it: the first empty one of the few its address hashes to, or
// one of them in turn. Objects of one kind (heap types, strs) often lie at
// addresses a fixed stride apart, which a table indexed by the address bits
// alone maps onto a few entries that evict one another on every value.
template <auto Key, typename Entry, std::size_t Size, typename Object>
Entry& address_table_entry(std::array<Entry, Size>& table, Object* object) {
    constexpr std::size_t kProbes = 4;
    static std::size_t next_victim = 0;
    const std::size_t first = address_slot<Size>(object);
    Entry* empty = nullptr;
    for (std::size_t probe = 0; probe < kProbes; ++probe) {
        Entry& entry = table[(first + probe) % Size];
        if (entry.*Key == object) return entry;
        if (entry.*Key == nullptr && empty == nullptr) empty = &entry;
    }
    if (empty != nullptr) return *empty;
    return table[(first + next_victim++ % kProbes) % Size];
}

}  // namespace zelm::serializer
