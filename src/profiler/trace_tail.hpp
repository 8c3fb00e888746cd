// The end of a trace that ran past its budget: the newest records, kept
// whole in one ring shared by every buffer, and per buffer what the ring
// let go of before them.
//
// One ring rather than one per thread: it keeps the last stretch of the
// whole program, so the threads' tails cover the same span of time, the
// program's final records never make way for an idle thread's old ones,
// and its size is bounded whatever the number of threads.
//
// The calls and returns the ring lets go of are followed so that a reader
// still pairs them: the record of a call still open where the kept records
// begin is held (its return may be kept), and so is the return of a call
// whose record came before the gap, the exception record of a kept return,
// and a test's start and end markers, which are never dropped. A held
// record counts against the ring's bytes; it is dropped once its pair is
// dropped too. No Python here: the records are read only for their "type",
// "event", "frame_id" and "timestamp".
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "format/msgpack.hpp"
#include "profiler/record_arena.hpp"

namespace zelm {

// The buffer a record is filed in: "frames_of_interest" (nullopt) or the
// per-thread buffer of a native thread id.
using BufferKey = std::optional<std::uint64_t>;

// What one buffer lost between its first part and its last.
struct TraceGap {
    std::uint64_t dropped_records = 0;
    std::uint64_t dropped_bytes = 0;
    // The earliest dropped record (by its "timestamp"), whole, for where
    // the gap begins; empty when none was dropped.
    msgpack::Buffer first_dropped;
    std::optional<double> first_time;
    // The time of the latest dropped record.
    std::optional<double> last_time;
};

// One buffer's share of a taken tail.
struct TakenTail {
    TraceGap gap;
    // Oldest first: the held records, then the ring's.
    RecordArena records;
};

// Writes the record that stands in a buffer's record array where `gap`
// lies: between its first part and the last part its tail kept.
void write_cut_record(msgpack::Buffer& out, const TraceGap& gap, std::uint64_t budget_bytes,
                      std::uint64_t recorded_bytes);

class TraceTail {
public:
    // Keeps at most `budget` bytes of records, held ones included.
    explicit TraceTail(std::uint64_t budget) : budget_(budget) {}
    TraceTail(const TraceTail&) = delete;
    TraceTail& operator=(const TraceTail&) = delete;

    // Keeps a copy of `record`, letting the oldest records go until it
    // fits; a record larger than the whole budget goes at once. Throws
    // std::bad_alloc (the first time, when the ring is allocated).
    void file(BufferKey key, std::span<const std::uint8_t> record);

    // Bytes of the records kept, held ones included.
    std::uint64_t bytes() const { return ring_bytes_ + held_bytes_; }

    // Every buffer's kept records and gap, leaving the tail empty (the
    // ring's memory stays for the next trace).
    std::unordered_map<BufferKey, TakenTail> take();
    void clear();

private:
    enum class Kind : std::uint8_t { call, return_, exception, test_marker, other };
    struct Entry {
        std::size_t offset;
        std::size_t size;
        BufferKey key;
    };
    struct Held {
        msgpack::Buffer record;
        Kind kind;
        std::string frame_id;
        std::optional<double> time;
    };
    struct Part {
        TraceGap gap;
        std::vector<Held> held;
    };

    // Where a record of `size` bytes goes in the ring, if it fits now.
    std::optional<std::size_t> room_for(std::size_t size) const;
    void let_go_oldest();
    // Follows a record the ring lets go of: held or dropped.
    void let_go(BufferKey key, std::span<const std::uint8_t> record);
    void drop(Part& part, std::span<const std::uint8_t> record, std::optional<double> time);

    std::uint64_t budget_;
    std::unique_ptr<std::uint8_t[]> ring_;  // budget_ bytes, allocated on first use
    std::deque<Entry> entries_;             // oldest first; each record lies whole in the ring
    std::uint64_t ring_bytes_ = 0;
    std::uint64_t held_bytes_ = 0;
    std::unordered_map<BufferKey, Part> parts_;
};

}  // namespace zelm
