// Values by frame address, such as frame ids: set at a frame's call, read
// and dropped at its return, so one insertion and one removal per recorded
// call. An open addressing table (linear probing, removal by shifting the
// entries that follow back), so that neither allocates once the table has
// grown to the deepest stack seen. A slot let go keeps its value, whose room
// (a vector's) the next entry made there reuses.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "format/ulid.hpp"

namespace zelm {

template <typename Value>
class FrameMap {
public:
    // Keys are frame addresses: never 0, which marks a free slot.
    void insert_or_assign(std::uintptr_t key, const Value& value) { entry(key) = value; }

    // The key's value, made (holding whatever its slot last held) if missing.
    Value& entry(std::uintptr_t key) {
        if (2 * (size_ + 1) > slots_.size()) grow();
        Slot& slot = slots_[probe(key)];
        if (slot.key == 0) ++size_;
        slot.key = key;
        return slot.value;
    }

    const Value* find(std::uintptr_t key) const {
        if (size_ == 0) return nullptr;
        const Slot& slot = slots_[probe(key)];
        return slot.key == 0 ? nullptr : &slot.value;
    }
    Value* find(std::uintptr_t key) {
        return const_cast<Value*>(static_cast<const FrameMap&>(*this).find(key));
    }

    void erase(std::uintptr_t key) {
        if (size_ == 0) return;
        std::size_t hole = probe(key);
        if (slots_[hole].key == 0) return;
        --size_;
        // Entries after the hole that probing would no longer reach move back into it.
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t next = (hole + 1) & mask; slots_[next].key != 0; next = (next + 1) & mask) {
            const std::size_t home = home_of(slots_[next].key);
            // Whether `home` lies cyclically in (hole, next]: then the entry stays.
            const bool stays = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
            if (stays) continue;
            std::swap(slots_[hole], slots_[next]);
            hole = next;
        }
        slots_[hole].key = 0;
    }

    std::size_t size() const { return size_; }

private:
    struct Slot {
        std::uintptr_t key = 0;
        Value value{};
    };

    std::size_t home_of(std::uintptr_t key) const {
        // Fibonacci hashing of the address without its alignment bits.
        return static_cast<std::size_t>(((key >> 4) * 0x9E3779B97F4A7C15ull) >> shift_);
    }

    // The slot holding `key`, or the free slot where it would go.
    std::size_t probe(std::uintptr_t key) const {
        const std::size_t mask = slots_.size() - 1;
        std::size_t index = home_of(key);
        while (slots_[index].key != 0 && slots_[index].key != key) index = (index + 1) & mask;
        return index;
    }

    void grow() {
        std::vector<Slot> old = std::move(slots_);
        const std::size_t capacity = old.empty() ? 64 : 2 * old.size();
        slots_.assign(capacity, Slot{});
        shift_ = 64 - std::countr_zero(capacity);
        size_ = 0;
        for (Slot& slot : old) {
            if (slot.key != 0) entry(slot.key) = std::move(slot.value);
        }
    }

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
    int shift_ = 64;
};

using FrameIdMap = FrameMap<FrameId>;

}  // namespace zelm
