// The encoded records of one buffer, stored back to back.
//
// A buffer holds hundreds of thousands of records of a few hundred bytes
// each; one allocation per record would cost its header and its spare
// capacity on top of every record. The arena instead appends them to a few
// large blocks, a record running on into the next block where the last one
// ends, so the memory it holds is the records' bytes plus the free end of
// its last block. Nothing reads a single record back: the trace document
// takes the records as one run of bytes and their count. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <span>

namespace zelm {

class RecordArena {
public:
    // Blocks double from the smallest up to the largest, so that a buffer
    // of a few records (one short thread's) holds little, and a large one
    // wastes at most the end of one block.
    static constexpr std::size_t kSmallestBlock = 4 * 1024;
    static constexpr std::size_t kLargestBlock = 256 * 1024;

    RecordArena() = default;
    RecordArena(RecordArena&&) noexcept = default;
    RecordArena& operator=(RecordArena&&) noexcept = default;
    RecordArena(const RecordArena&) = delete;
    RecordArena& operator=(const RecordArena&) = delete;

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
    // copy and the records never take the memory of both at once. Leaves
    // the arena empty.
    std::uint8_t* move_to(std::uint8_t* out) noexcept;

private:
    struct Block {
        std::unique_ptr<std::uint8_t[]> data;
        std::size_t capacity = 0;
        std::size_t used = 0;
    };
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
