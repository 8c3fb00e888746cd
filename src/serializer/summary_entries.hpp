// The entries of a dict summary as the encoders write them. No Python here.
//
// Assigning to a dict keeps one entry per key, so an entry whose key is
// written as an earlier entry's was (two long keys cut to the same text, a
// key "…" beside the entry that counts what was left out) replaces that
// entry's value in place. Entries of all open summaries share one stack;
// only the innermost summary is written to at a time.
//
// Finding the earlier entry by comparing with every one of them costs the
// square of the entries a summary keeps; past a few entries a summary is
// indexed by its keys' hashes instead, which finds the same entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "format/msgpack.hpp"

namespace zelm::serializer {

class SummaryEntries {
public:
    // Up to this many entries a summary is searched one entry after another.
    static constexpr std::size_t kIndexedFrom = 16;

    // Where the next summary's entries begin (its `base`).
    std::size_t open() const { return entries_.size(); }
    std::size_t count(std::size_t base) const { return entries_.size() - base; }
    // Forgets the entries from `base` on: the summary is written, or dropped.
    void close(std::size_t base);

    // The entry written to `out` since `key_begin`, its value since
    // `value_begin`, in the summary whose entries begin at `base`: kept as
    // a new entry, or, when an entry of the summary has the same key bytes,
    // its value moved over that entry's value and its key dropped.
    void settle(msgpack::Buffer& out, std::size_t base, std::size_t key_begin, std::size_t value_begin);

private:
    static constexpr std::size_t kNone = ~std::size_t{0};

    struct Entry {
        std::size_t key_begin;
        std::size_t value_begin;
        std::size_t value_end;
        // Set once the summary is indexed: the key bytes' hash, and the
        // previous entry of the summary in the same bucket.
        std::size_t hash = 0;
        std::size_t next_in_bucket = kNone;
    };
    // One summary's buckets: the latest entry in each.
    struct Index {
        std::size_t base = 0;
        std::vector<std::size_t> buckets;
    };

    // The index of the summary at `base`, made when it has grown past
    // kIndexedFrom entries; null while it is searched entry by entry.
    Index* index_of(const msgpack::Buffer& out, std::size_t base);
    // Puts entry `at` (its hash set) at the head of its bucket.
    void link(Index& index, std::size_t at);
    // Sizes the buckets for the summary's entries and links them all.
    void rebuild(Index& index);
    std::size_t find(const msgpack::Buffer& out, std::size_t base, Index* index, std::string_view key,
                     std::size_t hash) const;
    // Moves the value written at `value_begin` over entry `at`'s value and
    // drops the key written at `key_begin`.
    void replace_value(msgpack::Buffer& out, std::size_t at, std::size_t key_begin, std::size_t value_begin);
    static std::string_view key_of(const msgpack::Buffer& out, const Entry& entry);

    std::vector<Entry> entries_;
    // The indexed open summaries, innermost last; indexes_ beyond `indexed_`
    // are spare, their buckets' memory kept for the next summaries.
    std::vector<Index> indexes_;
    std::size_t indexed_ = 0;
};

}  // namespace zelm::serializer
