#include "profiler/trace_tail.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zelm {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A record as the profiler writes them, with the entries the tail reads;
// `padding` makes it as large as a test needs.
Bytes record(std::string_view type, std::string_view event, std::string_view frame_id, double time,
             std::size_t padding = 0) {
    msgpack::Buffer out;
    msgpack::write_map_header(out, 5);
    msgpack::write_str_pair(out, "event", event);
    msgpack::write_str_pair(out, "frame_id", frame_id);
    msgpack::write_str_pair(out, "padding", std::string(padding, 'p'));
    msgpack::write_f64_pair(out, "timestamp", time);
    msgpack::write_str_pair(out, "type", type);
    return Bytes(out.begin(), out.end());
}

Bytes call(std::string_view id, double time) { return record("frame", "call", id, time); }
Bytes ret(std::string_view id, double time) { return record("frame", "return", id, time); }
Bytes plugin(double time, std::size_t padding = 0) { return record("log", "", "", time, padding); }

Bytes joined(const std::vector<Bytes>& records) {
    Bytes out;
    for (const Bytes& bytes : records) out.insert(out.end(), bytes.begin(), bytes.end());
    return out;
}

Bytes copied(const RecordArena& arena) {
    Bytes out(arena.bytes());
    arena.copy_to(out.data());
    return out;
}

TEST(TraceTail, KeepsTheNewestWholeRecordsWithinItsBudget) {
    const std::size_t size = plugin(0).size();
    TraceTail tail(5 * size + size / 2);
    std::vector<Bytes> filed;
    for (int k = 0; k < 23; ++k) {
        filed.push_back(plugin(k));
        tail.file(std::nullopt, filed.back());
        ASSERT_LE(tail.bytes(), 5 * size + size / 2);
    }
    auto taken = tail.take();
    ASSERT_EQ(taken.size(), 1u);
    const TakenTail& part = taken.at(std::nullopt);
    EXPECT_EQ(copied(part.records), joined({filed.end() - 5, filed.end()}));
    EXPECT_EQ(part.gap.dropped_records, 18u);
    EXPECT_EQ(part.gap.dropped_bytes, 18 * size);
    EXPECT_EQ(part.gap.first_time, 0.0);
    EXPECT_EQ(part.gap.last_time, 17.0);
    EXPECT_EQ(Bytes(part.gap.first_dropped.begin(), part.gap.first_dropped.end()), filed.front());
    EXPECT_EQ(tail.bytes(), 0u);
}

TEST(TraceTail, KeepsATestsMarkersWhenItsLastRecordsFillTheTail) {
    const Bytes open = call("frm_outer", 0);
    const Bytes start = record("start_test", "", "", 1);
    const Bytes inner = call("frm_inner", 2);
    const Bytes inner_return = ret("frm_inner", 3);
    const Bytes big_return = record("frame", "return", "frm_outer", 4, 400);
    const Bytes end = record("end_test", "", "", 5);
    TraceTail tail(200);
    for (const Bytes& filed : {open, start, inner, inner_return, big_return, end}) tail.file(std::nullopt, filed);
    auto taken = tail.take();
    // Every call goes with its return, the last one too large for the
    // tail; the markers between them stay, in their order.
    EXPECT_EQ(copied(taken.at(std::nullopt).records), joined({start, end}));
    EXPECT_EQ(taken.at(std::nullopt).gap.dropped_records, 4u);
}

TEST(TraceTail, RecordsOfDifferentSizesWrapAroundWhole) {
    TraceTail tail(1000);
    std::vector<Bytes> filed;
    for (int k = 0; k < 200; ++k) {
        filed.push_back(plugin(k, static_cast<std::size_t>(k * 37 % 180)));
        tail.file(std::nullopt, filed.back());
    }
    auto taken = tail.take();
    const TakenTail& part = taken.at(std::nullopt);
    // A suffix of what was filed, as much as fits.
    const Bytes kept = copied(part.records);
    std::size_t count = part.records.records();
    EXPECT_EQ(kept, joined({filed.end() - static_cast<std::ptrdiff_t>(count), filed.end()}));
    // Less only by what no record fits in: the end of the ring, and the newest record's room.
    EXPECT_LE(kept.size(), 1000u);
    EXPECT_GE(kept.size(), 1000u - 2 * plugin(0, 179).size());
    EXPECT_EQ(part.gap.dropped_records + count, 200u);
}

TEST(TraceTail, HoldsWhatPairsAcrossTheGap) {
    // Room for the two records held at the end and two plugin records.
    TraceTail tail(ret("frm_h", 1).size() + call("frm_a", 2).size() + 2 * plugin(0).size());
    // "frm_h" was called before the tail took over; "frm_a" opens in what
    // is let go and is still open at the end, "frm_b" opens and closes there.
    const std::vector<Bytes> filed = {
        ret("frm_h", 1), call("frm_a", 2), call("frm_b", 3), ret("frm_b", 4),
        plugin(5), plugin(6), plugin(7),
    };
    for (const Bytes& bytes : filed) tail.file(7, bytes);
    auto taken = tail.take();
    const TakenTail& part = taken.at(7);
    EXPECT_EQ(copied(part.records), joined({filed[0], filed[1], filed[5], filed[6]}));
    EXPECT_EQ(part.gap.dropped_records, 3u);  // frm_b's call and return, the first plugin record
    EXPECT_EQ(part.gap.first_time, 3.0);
    EXPECT_EQ(part.gap.last_time, 5.0);
}

TEST(TraceTail, AnExceptionGoesWithTheReturnItFollows) {
    const Bytes raised = record("exception", "", "frm_h", 2);
    TraceTail tail(0);
    for (const Bytes& bytes : {ret("frm_h", 1), raised, record("exception", "", "frm_x", 3)}) tail.file(std::nullopt, bytes);
    auto taken = tail.take();
    const TakenTail& part = taken.at(std::nullopt);
    EXPECT_EQ(copied(part.records), joined({ret("frm_h", 1), raised}));
    EXPECT_EQ(part.gap.dropped_records, 1u);
}

TEST(TraceTail, EachBufferHasItsOwnGap) {
    const std::size_t size = plugin(0).size();
    TraceTail tail(2 * size);
    for (int k = 0; k < 6; ++k) tail.file(k % 2 ? BufferKey(5) : std::nullopt, plugin(k));
    auto taken = tail.take();
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(copied(taken.at(5).records), plugin(5));
    EXPECT_EQ(copied(taken.at(std::nullopt).records), plugin(4));
    EXPECT_EQ(taken.at(5).gap.dropped_records, 2u);
    EXPECT_EQ(taken.at(std::nullopt).gap.dropped_records, 2u);
}

TEST(TraceTail, ARecordLargerThanTheBudgetIsDroppedAfterTheOlderOnes) {
    const Bytes small = plugin(1);
    TraceTail tail(3 * small.size());
    tail.file(std::nullopt, small);
    tail.file(std::nullopt, plugin(2, 4 * small.size()));
    auto taken = tail.take();
    const TakenTail& part = taken.at(std::nullopt);
    EXPECT_EQ(part.records.records(), 0u);
    EXPECT_EQ(part.gap.dropped_records, 2u);
    EXPECT_EQ(part.gap.last_time, 2.0);
}

}  // namespace
}  // namespace zelm
