#include "profiler/record_arena.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

namespace zelm {

void RecordArena::reserve(std::size_t size) {
    if (size <= spare_) return;
    std::size_t capacity = std::max(size - spare_, std::clamp(capacity_, kSmallestBlock, kLargestBlock));
    // Allocated before anything changes, for the strong guarantee.
    Block block{std::make_unique_for_overwrite<std::uint8_t[]>(capacity), capacity, 0};
    blocks_.push_back(std::move(block));
    filling_before_last_ = spare_ > 0;
    capacity_ += capacity;
    spare_ += capacity;
}

void RecordArena::append(std::span<const std::uint8_t> record) {
    reserve(record.size());
    const std::uint8_t* from = record.data();
    std::size_t left = record.size();
    while (left > 0) {
        Block& block = filling_before_last_ ? *std::prev(blocks_.end(), 2) : blocks_.back();
        std::size_t count = std::min(left, block.capacity - block.used);
        std::memcpy(block.data.get() + block.used, from, count);
        block.used += count;
        from += count;
        left -= count;
        if (block.used == block.capacity) filling_before_last_ = false;
    }
    spare_ -= record.size();
    bytes_ += record.size();
    ++records_;
}

void RecordArena::prepend(RecordArena&& earlier) noexcept {
    // Appends keep going to this arena's blocks; the free end of
    // `earlier`'s last block is no longer reachable.
    if (blocks_.empty()) {
        filling_before_last_ = earlier.filling_before_last_;
        spare_ = earlier.spare_;
    }
    blocks_.splice(blocks_.begin(), earlier.blocks_);
    records_ += std::exchange(earlier.records_, 0);
    bytes_ += std::exchange(earlier.bytes_, 0);
    capacity_ += std::exchange(earlier.capacity_, 0);
    earlier.spare_ = 0;
    earlier.filling_before_last_ = false;
}

std::uint8_t* RecordArena::copy_to(std::uint8_t* out) const {
    for (const Block& block : blocks_) {
        std::memcpy(out, block.data.get(), block.used);
        out += block.used;
    }
    return out;
}

std::uint8_t* RecordArena::move_to(std::uint8_t* out) noexcept {
    for (Block& block : blocks_) {
        std::memcpy(out, block.data.get(), block.used);
        out += block.used;
        block.data.reset();
    }
    *this = RecordArena();
    return out;
}

}  // namespace zelm
