#include "profiler/record_arena.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

namespace zelm {
namespace {

// A mapping of kHugeBlock bytes aligned to kHugeBlock, which the kernel can
// back with one huge page; null when the system has no room for it.
BlockMemory map_huge_block() {
    constexpr std::size_t size = BlockPool::kHugeBlock;
    // Twice the size, to cut an aligned block out of it.
    void* mapped = mmap(nullptr, 2 * size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return {};
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = (start + size - 1) & ~(std::uintptr_t{size} - 1);
    if (aligned > start) munmap(mapped, aligned - start);
    const std::uintptr_t end = start + 2 * size;
    if (end > aligned + size) munmap(reinterpret_cast<void*>(aligned + size), end - (aligned + size));
#ifdef MADV_HUGEPAGE
    // Refused where the kernel has no huge pages: the block is then made of
    // ordinary pages, as an allocation would be.
    madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
#endif
    return BlockMemory(reinterpret_cast<std::uint8_t*>(aligned), BlockRelease{size});
}

}  // namespace

void BlockRelease::operator()(std::uint8_t* data) const noexcept {
    if (mapped_bytes == 0) {
        delete[] data;
    } else {
        munmap(data, mapped_bytes);
    }
}

BlockPool::BlockPool(bool huge_pages, std::size_t kept_blocks) : huge_pages_(huge_pages), kept_blocks_(kept_blocks) {
    kept_.reserve(kept_blocks);
}

BlockMemory BlockPool::take() {
    {
        std::lock_guard lock(mutex_);
        if (!kept_.empty()) {
            BlockMemory block = std::move(kept_.back());
            kept_.pop_back();
            return block;
        }
    }
    return map_huge_block();
}

void BlockPool::give_back(BlockMemory block) noexcept {
    std::lock_guard lock(mutex_);
    // Reserved up front, so that keeping one never allocates.
    if (kept_.size() < kept_blocks_) kept_.push_back(std::move(block));
}

std::size_t BlockPool::kept() const {
    std::lock_guard lock(mutex_);
    return kept_.size();
}

bool BlockPool::system_allows_huge_pages() {
    static const bool allowed = [] {
        std::ifstream setting("/sys/kernel/mm/transparent_hugepage/enabled");
        std::string text;
        std::getline(setting, text);
        // The setting in force is the bracketed one: "always [madvise] never".
        return text.find("[always]") != std::string::npos || text.find("[madvise]") != std::string::npos;
    }();
    return allowed;
}

RecordArena::RecordArena(RecordArena&& other) noexcept
    : pool_(std::move(other.pool_)),
      blocks_(std::move(other.blocks_)),
      filling_before_last_(std::exchange(other.filling_before_last_, false)),
      records_(std::exchange(other.records_, 0)),
      bytes_(std::exchange(other.bytes_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      spare_(std::exchange(other.spare_, 0)) {}

RecordArena& RecordArena::operator=(RecordArena&& other) noexcept {
    if (this == &other) return *this;
    release_all();
    pool_ = std::move(other.pool_);
    blocks_ = std::move(other.blocks_);
    filling_before_last_ = std::exchange(other.filling_before_last_, false);
    records_ = std::exchange(other.records_, 0);
    bytes_ = std::exchange(other.bytes_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    spare_ = std::exchange(other.spare_, 0);
    return *this;
}

RecordArena::~RecordArena() { release_all(); }

BlockMemory RecordArena::new_block(std::size_t& capacity) {
    if (pool_ && pool_->huge_pages() && capacity_ >= kLargestBlock && capacity <= BlockPool::kHugeBlock) {
        if (BlockMemory block = pool_->take()) {
            capacity = BlockPool::kHugeBlock;
            return block;
        }
    }
    return BlockMemory(new std::uint8_t[capacity]);
}

void RecordArena::release(Block& block) noexcept {
    if (block.data && pool_ && block.data.get_deleter().mapped_bytes == BlockPool::kHugeBlock) {
        pool_->give_back(std::move(block.data));
    }
    block.data.reset();
}

void RecordArena::release_all() noexcept {
    for (Block& block : blocks_) release(block);
    blocks_.clear();
}

void RecordArena::reserve(std::size_t size) {
    if (size <= spare_) return;
    std::size_t capacity = std::max(size - spare_, std::clamp(capacity_, kSmallestBlock, kLargestBlock));
    // Allocated before anything changes, for the strong guarantee.
    BlockMemory data = new_block(capacity);
    blocks_.push_back(Block{std::move(data), capacity, 0});
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
        release(block);
    }
    blocks_.clear();
    filling_before_last_ = false;
    records_ = bytes_ = capacity_ = spare_ = 0;
    return out;
}

}  // namespace zelm
