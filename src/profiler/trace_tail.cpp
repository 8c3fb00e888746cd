#include "profiler/trace_tail.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <iterator>
#include <string_view>

namespace zelm {
namespace {

// Calls `visit` with the key text and the value bytes of each entry of
// the record's top map, until it returns false; nothing for a record that
// is no map. The record is one whole value (it was written so).
template <typename Visit>
void for_each_entry(std::span<const std::uint8_t> record, Visit&& visit);

// Of a record, what following its calls and returns needs.
struct RecordFacts {
    std::string_view type;
    std::string_view event;
    std::string_view frame_id;
    std::optional<double> time;
};

std::uint64_t read_be(const std::uint8_t* at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value = (value << 8) | at[i];
    return value;
}

// The text of the str at the start of `data`; nullopt for any other value.
std::optional<std::string_view> read_str(std::span<const std::uint8_t> data) {
    if (data.empty()) return std::nullopt;
    const std::uint8_t tag = data[0];
    std::size_t header = 1;
    std::uint64_t length = 0;
    if (tag >= 0xa0 && tag <= 0xbf) {
        length = tag & 0x1f;
    } else if (tag >= 0xd9 && tag <= 0xdb) {
        const std::size_t width = std::size_t{1} << (tag - 0xd9);
        if (data.size() < 1 + width) return std::nullopt;
        length = read_be(data.data() + 1, width);
        header += width;
    } else {
        return std::nullopt;
    }
    if (length > data.size() - header) return std::nullopt;
    return std::string_view(reinterpret_cast<const char*>(data.data() + header), length);
}

// The float64 at the start of `data`, the form every record's time takes.
std::optional<double> read_f64(std::span<const std::uint8_t> data) {
    if (data.size() < 9 || data[0] != 0xcb) return std::nullopt;
    return std::bit_cast<double>(read_be(data.data() + 1, 8));
}

RecordFacts read_facts(std::span<const std::uint8_t> record) {
    RecordFacts facts;
    for_each_entry(record, [&](std::string_view key, std::span<const std::uint8_t> value) {
        if (key == "type") {
            facts.type = read_str(value).value_or("");
        } else if (key == "event") {
            facts.event = read_str(value).value_or("");
        } else if (key == "frame_id") {
            facts.frame_id = read_str(value).value_or("");
        } else if (key == "timestamp") {
            facts.time = read_f64(value);
        }
        return true;
    });
    return facts;
}

template <typename Visit>
void for_each_entry(std::span<const std::uint8_t> record, Visit&& visit) {
    if (record.empty()) return;
    const std::uint8_t tag = record[0];
    std::uint64_t entries = 0;
    std::size_t pos = 1;
    if (tag >= 0x80 && tag <= 0x8f) {
        entries = tag & 0x0f;
    } else if ((tag == 0xde && record.size() >= 3) || (tag == 0xdf && record.size() >= 5)) {
        const std::size_t width = tag == 0xde ? 2 : 4;
        entries = read_be(record.data() + 1, width);
        pos += width;
    } else {
        return;
    }
    for (std::uint64_t entry = 0; entry < entries; ++entry) {
        const std::span<const std::uint8_t> rest = record.subspan(pos);
        const std::optional<std::size_t> key_size = msgpack::value_size(rest.data(), rest.size());
        if (!key_size) return;
        const std::span<const std::uint8_t> after_key = rest.subspan(*key_size);
        const std::optional<std::size_t> value_size = msgpack::value_size(after_key.data(), after_key.size());
        if (!value_size) return;
        const std::optional<std::string_view> key = read_str(rest.first(*key_size));
        if (key && !visit(*key, after_key.first(*value_size))) return;
        pos += *key_size + *value_size;
    }
}

}  // namespace

void TraceTail::file(BufferKey key, std::span<const std::uint8_t> record) {
    std::optional<std::size_t> at;
    while (!(at = room_for(record.size())) && !entries_.empty()) let_go_oldest();
    if (!at) {
        // Larger than what the held records leave of the budget: it goes
        // the way the oldest records go, after all of them.
        let_go(key, record);
        return;
    }
    if (!ring_) ring_ = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(budget_));
    std::memcpy(ring_.get() + *at, record.data(), record.size());
    entries_.push_back(Entry{*at, record.size(), key});
    ring_bytes_ += record.size();
}

std::optional<std::size_t> TraceTail::room_for(std::size_t size) const {
    if (ring_bytes_ + held_bytes_ + size > budget_) return std::nullopt;
    if (entries_.empty()) return 0;
    const std::size_t first = entries_.front().offset;
    const std::size_t end = entries_.back().offset + entries_.back().size;
    if (first < end) {
        // [first, end) in use: after it, or else before it from the start.
        if (budget_ - end >= size) return end;
        return first >= size ? std::optional<std::size_t>(0) : std::nullopt;
    }
    // Wrapped: [first, ...) and [0, end) in use; the room lies between.
    return first - end >= size ? std::optional(end) : std::nullopt;
}

void TraceTail::let_go_oldest() {
    const Entry oldest = entries_.front();
    entries_.pop_front();
    ring_bytes_ -= oldest.size;
    let_go(oldest.key, {ring_.get() + oldest.offset, oldest.size});
}

void TraceTail::let_go(BufferKey key, std::span<const std::uint8_t> record) {
    const RecordFacts facts = read_facts(record);
    Part& part = parts_[key];
    Kind kind = Kind::other;
    if (facts.type == "start_test" || facts.type == "end_test") kind = Kind::test_marker;
    if (facts.type == "frame" && facts.event == "call") kind = Kind::call;
    if (facts.type == "frame" && facts.event == "return") kind = Kind::return_;
    if (facts.type == "exception") kind = Kind::exception;
    auto hold = [&] {
        part.held.push_back(Held{msgpack::Buffer(record.begin(), record.end()), kind, std::string(facts.frame_id),
                                 facts.time});
        held_bytes_ += record.size();
    };
    if (kind == Kind::test_marker) {
        // A test's start and end say which test the trace is and how it
        // ended: never dropped, however little room is left.
        hold();
    } else if (facts.frame_id.empty() || kind == Kind::other) {
        drop(part, record, facts.time);
    } else if (kind == Kind::call) {
        // Open, as far as the kept records show: its return may be kept.
        hold();
    } else if (kind == Kind::return_) {
        auto call = std::find_if(part.held.rbegin(), part.held.rend(), [&](const Held& held) {
            return held.kind == Kind::call && held.frame_id == facts.frame_id;
        });
        if (call == part.held.rend()) {
            // Its call came before the gap: the return closes it there.
            hold();
            return;
        }
        // The call and its return both go, and whatever the held records
        // show of it since (a call left without a return), test markers apart.
        const auto first = std::prev(call.base());
        const auto kept_end = std::stable_partition(first, part.held.end(), [](const Held& held) {
            return held.kind == Kind::test_marker;
        });
        for (auto held = kept_end; held != part.held.end(); ++held) {
            held_bytes_ -= held->record.size();
            drop(part, held->record, held->time);
        }
        part.held.erase(kept_end, part.held.end());
        drop(part, record, facts.time);
    } else if (part.held.empty() ? part.gap.dropped_records == 0
                                 : part.held.back().kind == Kind::return_ && part.held.back().frame_id == facts.frame_id) {
        // How a kept return's frame was left: the held one's, or the first
        // part's last record's (nothing of the buffer went before it).
        hold();
    } else {
        drop(part, record, facts.time);
    }
}

void TraceTail::drop(Part& part, std::span<const std::uint8_t> record, std::optional<double> time) {
    TraceGap& gap = part.gap;
    ++gap.dropped_records;
    gap.dropped_bytes += record.size();
    if (gap.first_dropped.empty() || (time && (!gap.first_time || *time < *gap.first_time))) {
        gap.first_dropped.assign(record.begin(), record.end());
        gap.first_time = time;
    }
    if (time && (!gap.last_time || *time > *gap.last_time)) gap.last_time = time;
}

std::unordered_map<BufferKey, TakenTail> TraceTail::take() {
    std::unordered_map<BufferKey, TakenTail> taken;
    for (auto& [key, part] : parts_) {
        TakenTail& tail = taken[key];
        tail.gap = std::move(part.gap);
        for (const Held& held : part.held) tail.records.append(held.record);
    }
    for (const Entry& entry : entries_) taken[entry.key].records.append({ring_.get() + entry.offset, entry.size});
    clear();
    return taken;
}

void TraceTail::clear() {
    entries_.clear();
    parts_.clear();
    ring_bytes_ = 0;
    held_bytes_ = 0;
}

// The record standing in a buffer's record array where its gap lies;
// shaped like a plugin record, with the names of the earliest dropped
// record's entries for where the gap begins (nil when it had none).
//   fixmap(15) "type" "trace_cut" | "dropped_events" uint | "dropped_bytes" uint |
//   "budget_bytes" uint | "recorded_bytes" uint | "timestamp" f64/nil |
//   "dropped_until" f64/nil | "thread" | "thread_native_id" | "path" |
//   "co_name" | "qualname" | "event" | "frame_id" (each as the earliest
//   dropped record holds it, or nil) | "user_code_call_site" nil
// "dropped_events" and "dropped_bytes" count the buffer's records left out
// between its parts, "timestamp" and "dropped_until" are the times of the
// earliest and the latest of them; "recorded_bytes" counts the whole
// trace's records that were kept.
void write_cut_record(msgpack::Buffer& out, const TraceGap& gap, std::uint64_t budget_bytes,
                      std::uint64_t recorded_bytes) {
    using namespace msgpack;
    static constexpr std::array<std::string_view, 7> kWhere = {
        "thread", "thread_native_id", "path", "co_name", "qualname", "event", "frame_id"};
    std::array<std::span<const std::uint8_t>, kWhere.size()> where{};
    for_each_entry(gap.first_dropped, [&](std::string_view key, std::span<const std::uint8_t> value) {
        auto found = std::find(kWhere.begin(), kWhere.end(), key);
        if (found != kWhere.end()) where[static_cast<std::size_t>(found - kWhere.begin())] = value;
        return true;
    });
    auto time_pair = [&](std::string_view key, const std::optional<double>& time) {
        if (time) {
            write_f64_pair(out, key, *time);
        } else {
            write_str(out, key);
            write_nil(out);
        }
    };
    write_map_header(out, 15);
    write_str_pair(out, "type", "trace_cut");
    write_int_pair(out, "dropped_events", gap.dropped_records);
    write_int_pair(out, "dropped_bytes", gap.dropped_bytes);
    write_int_pair(out, "budget_bytes", budget_bytes);
    write_int_pair(out, "recorded_bytes", recorded_bytes);
    time_pair("timestamp", gap.first_time);
    time_pair("dropped_until", gap.last_time);
    for (std::size_t k = 0; k < kWhere.size(); ++k) {
        if (where[k].empty()) {
            write_str(out, kWhere[k]);
            write_nil(out);
        } else {
            write_raw_pair(out, kWhere[k], where[k]);
        }
    }
    write_str(out, "user_code_call_site");
    write_nil(out);
}

}  // namespace zelm
