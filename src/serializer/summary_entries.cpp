#include "serializer/summary_entries.hpp"

#include <algorithm>
#include <functional>

namespace zelm::serializer {

std::string_view SummaryEntries::key_of(const msgpack::Buffer& out, const Entry& entry) {
    return {reinterpret_cast<const char*>(out.data()) + entry.key_begin, entry.value_begin - entry.key_begin};
}

void SummaryEntries::close(std::size_t base) {
    entries_.resize(base);
    while (indexed_ > 0 && indexes_[indexed_ - 1].base >= base) --indexed_;
}

void SummaryEntries::settle(msgpack::Buffer& out, std::size_t base, std::size_t key_begin, std::size_t value_begin) {
    const std::string_view key(reinterpret_cast<const char*>(out.data()) + key_begin, value_begin - key_begin);
    Index* index = index_of(out, base);
    const std::size_t hash = index != nullptr ? std::hash<std::string_view>{}(key) : 0;
    if (const std::size_t at = find(out, base, index, key, hash); at != kNone) {
        replace_value(out, at, key_begin, value_begin);
        return;
    }
    entries_.push_back({key_begin, value_begin, out.size(), hash, kNone});
    if (index == nullptr) return;
    if (count(base) > index->buckets.size() / 2) {
        rebuild(*index);
    } else {
        link(*index, entries_.size() - 1);
    }
}

SummaryEntries::Index* SummaryEntries::index_of(const msgpack::Buffer& out, std::size_t base) {
    // Inner summaries are closed before their outer one is written to again.
    while (indexed_ > 0 && indexes_[indexed_ - 1].base > base) --indexed_;
    if (indexed_ > 0 && indexes_[indexed_ - 1].base == base) return &indexes_[indexed_ - 1];
    if (count(base) < kIndexedFrom) return nullptr;
    if (indexed_ == indexes_.size()) indexes_.emplace_back();
    Index& index = indexes_[indexed_++];
    index.base = base;
    for (std::size_t at = base; at < entries_.size(); ++at) {
        entries_[at].hash = std::hash<std::string_view>{}(key_of(out, entries_[at]));
    }
    rebuild(index);
    return &index;
}

void SummaryEntries::link(Index& index, std::size_t at) {
    std::size_t& head = index.buckets[entries_[at].hash & (index.buckets.size() - 1)];
    entries_[at].next_in_bucket = head;
    head = at;
}

void SummaryEntries::rebuild(Index& index) {
    // At most half full, a power of two for the mask.
    std::size_t size = 2 * kIndexedFrom;
    while (size < 2 * count(index.base)) size *= 2;
    index.buckets.assign(size, kNone);
    for (std::size_t at = index.base; at < entries_.size(); ++at) link(index, at);
}

std::size_t SummaryEntries::find(const msgpack::Buffer& out, std::size_t base, Index* index, std::string_view key,
                                 std::size_t hash) const {
    if (index == nullptr) {
        for (std::size_t at = base; at < entries_.size(); ++at) {
            if (key_of(out, entries_[at]) == key) return at;
        }
        return kNone;
    }
    for (std::size_t at = index->buckets[hash & (index->buckets.size() - 1)]; at != kNone;
         at = entries_[at].next_in_bucket) {
        if (entries_[at].hash == hash && key_of(out, entries_[at]) == key) return at;
    }
    return kNone;
}

void SummaryEntries::replace_value(msgpack::Buffer& out, std::size_t at, std::size_t key_begin,
                                   std::size_t value_begin) {
    Entry& entry = entries_[at];
    msgpack::Buffer value(out.begin() + static_cast<std::ptrdiff_t>(value_begin), out.end());
    out.resize(key_begin);
    const auto old_value = out.begin() + static_cast<std::ptrdiff_t>(entry.value_begin);
    out.erase(old_value, out.begin() + static_cast<std::ptrdiff_t>(entry.value_end));
    out.insert(out.begin() + static_cast<std::ptrdiff_t>(entry.value_begin), value.begin(), value.end());
    // Later entries move by the difference (wrapping around when they move back).
    const std::size_t shift = value.size() - (entry.value_end - entry.value_begin);
    entry.value_end += shift;
    for (std::size_t later = at + 1; later < entries_.size(); ++later) {
        entries_[later].key_begin += shift;
        entries_[later].value_begin += shift;
        entries_[later].value_end += shift;
    }
}

}  // namespace zelm::serializer
