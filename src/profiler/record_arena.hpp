// The encoded records of one buffer, stored back to back.
//
// A buffer holds hundreds of thousands of records of a few hundred bytes
// each; one allocation per record would cost its header and its spare
// capacity on top of every record. The arena instead appends them to a few
// large blocks, a record running on into the next block where the last one
// ends, so the memory it holds is the records' bytes plus the free end of
// its last block. Nothing reads a single record back: the trace document
// takes the records as one run of bytes and their count. No Python here.
//
// Fresh memory costs a page fault per 4 KiB page at its first write, one
// every ten records or so. A large buffer's blocks are therefore huge-page
// blocks where the system allows them (one fault per 2 MiB), and a
// profiler keeps a few of them from one trace for the next (BlockPool).
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace zelm {

// Frees a block of records: an allocation of its own, or a mapping.
struct BlockRelease {
    // Zero for an allocation of its own, else the mapping's length.
    std::size_t mapped_bytes = 0;
    void operator()(std::uint8_t* data) const noexcept;
};
using BlockMemory = std::unique_ptr<std::uint8_t[], BlockRelease>;

// The huge-page blocks of one profiler's buffers that a finished trace let
// go, kept for the next trace (a test's, a request's) so that its records
// are written to memory already faulted in. Keeps at most `kept_blocks`;
// the rest are unmapped, and so are the kept ones when the last arena and
// the profiler let go of the pool. Shared by arenas filled under different
// locks: its own lock guards it.
class BlockPool {
public:
    // One huge page: the block a large buffer grows by.
    static constexpr std::size_t kHugeBlock = 2 * 1024 * 1024;
    static constexpr std::size_t kKeptBlocks = 4;

    // `huge_pages`: whether arenas of this pool take huge-page blocks at
    // all; by default when the system lets a program ask for huge pages.
    explicit BlockPool(bool huge_pages = system_allows_huge_pages(), std::size_t kept_blocks = kKeptBlocks);
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;

    bool huge_pages() const { return huge_pages_; }
    // A block of kHugeBlock bytes: a kept one, else a new mapping asked to
    // be backed by a huge page; null when none could be mapped.
    BlockMemory take();
    // Keeps a block that take() gave, unless the pool holds enough.
    void give_back(BlockMemory block) noexcept;
    std::size_t kept() const;

    // Whether transparent huge pages are on for every mapping or for those
    // that ask (read once).
    static bool system_allows_huge_pages();

private:
    bool huge_pages_;
    std::size_t kept_blocks_;
    mutable std::mutex mutex_;
    std::vector<BlockMemory> kept_;
};

class RecordArena {
public:
    // Blocks double from the smallest up to the largest, so that a buffer
    // of a few records (one short thread's) holds little, and a large one
    // wastes at most the end of one block. Past kLargestBlock of records,
    // an arena with a pool that allows huge pages grows by huge-page blocks
    // instead.
    static constexpr std::size_t kSmallestBlock = 4 * 1024;
    static constexpr std::size_t kLargestBlock = 256 * 1024;

    // `pool`: where huge-page blocks come from and go back to; without one
    // every block is an allocation of its own.
    explicit RecordArena(std::shared_ptr<BlockPool> pool = nullptr) : pool_(std::move(pool)) {}
    RecordArena(RecordArena&& other) noexcept;
    // Lets this arena's blocks go first (see the destructor); takes the
    // other's pool with its blocks.
    RecordArena& operator=(RecordArena&& other) noexcept;
    RecordArena(const RecordArena&) = delete;
    RecordArena& operator=(const RecordArena&) = delete;
    // Huge-page blocks go back to the pool.
    ~RecordArena();

    // Makes room for `size` more bytes, so that appending that many cannot
    // fail. Throws std::bad_alloc with the arena unchanged.
    void reserve(std::size_t size);
    // Appends one whole record's bytes. Throws std::bad_alloc with the
    // arena unchanged; never throws after reserve() made room for them.
    void append(std::span<const std::uint8_t> record);
    // Puts `earlier`'s records ahead of this arena's, in their order, and
    // leaves `earlier` empty. Moves blocks, never bytes; cannot fail.
    void prepend(RecordArena&& earlier) noexcept;

    std::size_t records() const { return records_; }
    std::size_t bytes() const { return bytes_; }
    // Bytes allocated for the records, the free ones included.
    std::size_t capacity() const { return capacity_; }

    // Copies every record's bytes in order to `out`; returns the end of them.
    std::uint8_t* copy_to(std::uint8_t* out) const;
    // The same, letting each block go as soon as it is copied, so that the
    // copy and the records never take the memory of both at once (beyond
    // the blocks the pool keeps). Leaves the arena empty, with its pool.
    std::uint8_t* move_to(std::uint8_t* out) noexcept;

private:
    struct Block {
        BlockMemory data;
        std::size_t capacity = 0;
        std::size_t used = 0;
    };
    // A block of `capacity` bytes for the next records: huge-page memory
    // when the arena has grown large and its pool allows it.
    BlockMemory new_block(std::size_t& capacity);
    // Lets a block go: a huge-page one to the pool, if any.
    void release(Block& block) noexcept;
    void release_all() noexcept;

    std::shared_ptr<BlockPool> pool_;
    // A list, so that prepend splices without allocating.
    std::list<Block> blocks_;
    // Appends go to the last block, except between a reserve() that added
    // a block and the appends that fill the one before it: then the block
    // before the last is filled first. Every other block is done with
    // (full, or left behind by prepend with its end unused).
    bool filling_before_last_ = false;
    std::size_t records_ = 0;
    std::size_t bytes_ = 0;
    std::size_t capacity_ = 0;
    // Free bytes that appends can still fill.
    std::size_t spare_ = 0;
};

}  // namespace zelm
