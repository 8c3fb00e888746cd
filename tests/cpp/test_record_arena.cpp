#include "profiler/record_arena.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace zelm {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A record whose bytes differ from their neighbours' and from other
// records', so a misplaced, dropped or repeated byte shows up.
Bytes record(std::size_t size, std::size_t serial) {
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(i * 7 + serial * 13 + 1);
    return out;
}

// Appends the records to both the arena and the expected concatenation.
void append_all(RecordArena& arena, Bytes& expected, const std::vector<std::size_t>& sizes,
                std::size_t first_serial = 0) {
    for (std::size_t k = 0; k < sizes.size(); ++k) {
        Bytes bytes = record(sizes[k], first_serial + k);
        arena.append(bytes);
        expected.insert(expected.end(), bytes.begin(), bytes.end());
    }
}

Bytes copied(const RecordArena& arena) {
    Bytes out(arena.bytes());
    EXPECT_EQ(arena.copy_to(out.data()), out.data() + out.size());
    return out;
}

struct Sizes {
    const char* name;
    std::vector<std::size_t> sizes;
};

class RecordArenaSizes : public testing::TestWithParam<Sizes> {};

TEST_P(RecordArenaSizes, CopiesAndMovesOutEveryByteInOrder) {
    for (bool pooled : {false, true}) {
        SCOPED_TRACE(pooled ? "with huge blocks" : "without a pool");
        RecordArena arena(pooled ? std::make_shared<BlockPool>(true) : nullptr);
        Bytes expected;
        append_all(arena, expected, GetParam().sizes);
        EXPECT_EQ(arena.records(), GetParam().sizes.size());
        EXPECT_EQ(arena.bytes(), expected.size());
        EXPECT_EQ(copied(arena), expected);

        Bytes moved(expected.size());
        EXPECT_EQ(arena.move_to(moved.data()), moved.data() + moved.size());
        EXPECT_EQ(moved, expected);
        EXPECT_EQ(arena.records(), 0u);
        EXPECT_EQ(arena.bytes(), 0u);
        EXPECT_EQ(arena.capacity(), 0u);
    }
}

TEST_P(RecordArenaSizes, HoldsNoMoreThanTheFreeEndOfOneBlock) {
    RecordArena arena;
    Bytes expected;
    append_all(arena, expected, GetParam().sizes);
    EXPECT_LT(arena.capacity() - arena.bytes(), RecordArena::kLargestBlock);
    if (arena.bytes() > 8 * RecordArena::kLargestBlock) {
        EXPECT_LE(arena.capacity(), arena.bytes() + arena.bytes() / 8);
    }
}

std::vector<std::size_t> repeated(std::size_t size, std::size_t count) {
    return std::vector<std::size_t>(count, size);
}

INSTANTIATE_TEST_SUITE_P(
    Records, RecordArenaSizes,
    testing::Values(Sizes{"none", {}}, Sizes{"one_small", {100}}, Sizes{"empty_ones", {0, 5, 0, 0, 7}},
                    Sizes{"typical", repeated(375, 20000)},
                    // Each ends a few bytes past a block's end, or fills it exactly.
                    Sizes{"straddling", {4095, 2, 4096, 8191, 16384, 1}},
                    Sizes{"larger_than_a_block", {10, 3 * RecordArena::kLargestBlock + 5, 10, 300000}},
                    Sizes{"mixed", {375, 80000, 3, 375, 600000, 375, 375, 1}}),
    [](const testing::TestParamInfo<Sizes>& info) { return info.param.name; });

TEST(RecordArena, AFewRecordsHoldTheSmallestBlock) {
    RecordArena arena;
    Bytes expected;
    append_all(arena, expected, {300, 300, 300});
    EXPECT_EQ(arena.capacity(), RecordArena::kSmallestBlock);
}

TEST(RecordArena, AppendsOfWhatWasReservedAllocateNothing) {
    RecordArena arena;
    Bytes expected;
    append_all(arena, expected, {4000});  // 96 bytes left in the first block
    arena.reserve(1000);
    std::size_t capacity = arena.capacity();
    append_all(arena, expected, {90, 900, 10}, 1);
    EXPECT_EQ(arena.capacity(), capacity);
    EXPECT_EQ(copied(arena), expected);
    // The reserved block's free end takes the next records.
    append_all(arena, expected, {50}, 4);
    EXPECT_EQ(arena.capacity(), capacity);
    EXPECT_EQ(copied(arena), expected);
}

TEST(RecordArena, PrependPutsTheEarlierRecordsFirstAndLaterOnesLast) {
    for (bool later_empty : {false, true}) {
        RecordArena earlier;
        RecordArena later;
        Bytes earlier_bytes;
        Bytes later_bytes;
        append_all(earlier, earlier_bytes, {375, 5000, 375});
        if (!later_empty) append_all(later, later_bytes, {700, 9000}, 10);
        later.prepend(std::move(earlier));
        Bytes expected = earlier_bytes;
        expected.insert(expected.end(), later_bytes.begin(), later_bytes.end());
        append_all(later, expected, {375, 20000}, 20);

        EXPECT_EQ(later.records(), later_empty ? 5u : 7u);
        EXPECT_EQ(later.bytes(), expected.size());
        EXPECT_EQ(copied(later), expected);
        // The earlier arena is left empty and usable.
        EXPECT_EQ(earlier.records(), 0u);
        EXPECT_EQ(earlier.capacity(), 0u);
        Bytes reused;
        append_all(earlier, reused, {42}, 30);
        EXPECT_EQ(copied(earlier), reused);
    }
}

// Appends records of `size` bytes until the arena holds at least `bytes`.
void fill(RecordArena& arena, Bytes& expected, std::size_t bytes, std::size_t size = 375) {
    for (std::size_t serial = 0; arena.bytes() < bytes; ++serial) append_all(arena, expected, {size}, serial);
}

constexpr std::size_t kHuge = BlockPool::kHugeBlock;

// What an arena holds in the blocks it doubled through before its first huge one.
std::size_t doubled_capacity() {
    std::size_t doubled = 0;
    while (doubled < RecordArena::kLargestBlock) {
        doubled += std::clamp(doubled, RecordArena::kSmallestBlock, RecordArena::kLargestBlock);
    }
    return doubled;
}

std::size_t huge_blocks(const RecordArena& arena) { return (arena.capacity() - doubled_capacity()) / kHuge; }

// Bytes of records that fill `count` huge blocks, but for the last record's room.
std::size_t filling(std::size_t count) { return doubled_capacity() + count * kHuge - 1000; }

TEST(RecordArenaBlockPool, ALargeArenaGrowsByHugeBlocksPastTheDoublingOnes) {
    auto pool = std::make_shared<BlockPool>(true);
    RecordArena arena(pool);
    Bytes expected;
    fill(arena, expected, filling(3));
    EXPECT_EQ(huge_blocks(arena), 3u);
    EXPECT_LT(arena.capacity() - arena.bytes(), kHuge);
    EXPECT_EQ(copied(arena), expected);
    // A record longer than a huge block gets a block of its own size.
    append_all(arena, expected, {kHuge + 10}, 99);
    EXPECT_EQ(copied(arena), expected);
}

TEST(RecordArenaBlockPool, WithoutHugePagesTheArenaGrowsAsOneWithoutAPool) {
    auto pool = std::make_shared<BlockPool>(false);
    RecordArena pooled(pool);
    RecordArena plain;
    Bytes expected;
    Bytes plain_expected;
    fill(pooled, expected, 3 * kHuge);
    fill(plain, plain_expected, 3 * kHuge);
    EXPECT_EQ(pooled.capacity(), plain.capacity());
    EXPECT_EQ(copied(pooled), expected);
    pooled = RecordArena(pool);
    EXPECT_EQ(pool->kept(), 0u);
}

TEST(RecordArenaBlockPool, AGivenBackBlockIsTheNextOneTaken) {
    BlockPool pool(true);
    BlockMemory block = pool.take();
    ASSERT_NE(block, nullptr);
    block[kHuge - 1] = 7;  // the whole block is writable
    const std::uint8_t* address = block.get();
    pool.give_back(std::move(block));
    EXPECT_EQ(pool.kept(), 1u);
    EXPECT_EQ(pool.take().get(), address);
    EXPECT_EQ(pool.kept(), 0u);
}

// Ways an arena lets its records go: each hands its huge blocks back.
const std::vector<std::pair<const char*, void (*)(std::shared_ptr<BlockPool>&, RecordArena&)>> kLettingGo = {
    {"destroyed", [](std::shared_ptr<BlockPool>&, RecordArena& arena) { RecordArena gone(std::move(arena)); }},
    {"assigned_over", [](std::shared_ptr<BlockPool>& pool, RecordArena& arena) { arena = RecordArena(pool); }},
    {"moved_out", [](std::shared_ptr<BlockPool>&, RecordArena& arena) {
         Bytes out(arena.bytes());
         arena.move_to(out.data());
     }},
};

TEST(RecordArenaBlockPool, BlocksLetGoAreKeptForTheNextTraceUpToTheBound) {
    for (const auto& [name, let_go] : kLettingGo) {
        SCOPED_TRACE(name);
        auto pool = std::make_shared<BlockPool>(true, 2);
        RecordArena first(pool);
        Bytes expected;
        fill(first, expected, filling(3));
        ASSERT_EQ(huge_blocks(first), 3u);
        let_go(pool, first);
        EXPECT_EQ(pool->kept(), 2u);

        // The next trace's arena takes the kept blocks before mapping new ones.
        RecordArena next(pool);
        Bytes next_expected;
        fill(next, next_expected, filling(1));
        EXPECT_EQ(huge_blocks(next), 1u);
        EXPECT_EQ(pool->kept(), 1u);
        fill(next, next_expected, filling(4));
        EXPECT_EQ(pool->kept(), 0u);
        EXPECT_EQ(copied(next), next_expected);
        // Four huge blocks go back; the pool keeps two.
        ASSERT_EQ(huge_blocks(next), 4u);
        next = RecordArena(pool);
        EXPECT_EQ(pool->kept(), 2u);
    }
}

TEST(RecordArenaBlockPool, AnArenaMovedOutKeepsItsPool) {
    auto pool = std::make_shared<BlockPool>(true);
    RecordArena arena(pool);
    Bytes expected;
    fill(arena, expected, filling(2));
    Bytes out(arena.bytes());
    arena.move_to(out.data());
    EXPECT_EQ(out, expected);
    EXPECT_EQ(pool->kept(), 2u);
    Bytes again;
    fill(arena, again, filling(1));
    EXPECT_EQ(pool->kept(), 1u);
    EXPECT_EQ(copied(arena), again);
}

TEST(RecordArenaBlockPool, PrependedBlocksGoBackToTheReceivingArenasPool) {
    auto pool = std::make_shared<BlockPool>(true);
    RecordArena earlier(pool);
    Bytes expected;
    fill(earlier, expected, 2 * kHuge);
    {
        RecordArena later;  // without a pool: its huge blocks are unmapped
        later.prepend(std::move(earlier));
        EXPECT_EQ(copied(later), expected);
    }
    EXPECT_EQ(pool->kept(), 0u);
    RecordArena other(pool);
    other.prepend(std::move(earlier));
    fill(other, expected, 2 * kHuge);
    other = RecordArena();
    EXPECT_GT(pool->kept(), 0u);
}

}  // namespace
}  // namespace zelm
