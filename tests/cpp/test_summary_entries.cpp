#include "serializer/summary_entries.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace zelm::serializer {
namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

void write(msgpack::Buffer& out, const std::string& bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

// What assigning the entries to a dict keeps, in its order: a key met
// again keeps its place and takes the later value.
Entries kept(const Entries& entries) {
    Entries dict;
    std::map<std::string, std::size_t> places;
    for (const auto& [key, value] : entries) {
        auto [place, added] = places.try_emplace(key, dict.size());
        if (added) {
            dict.emplace_back(key, value);
        } else {
            dict[place->second].second = value;
        }
    }
    return dict;
}

// Writes each entry's key and value bytes and settles it, as the encoders
// do for one summary; returns the bytes of its entries.
std::string written(SummaryEntries& summary, msgpack::Buffer& out, const Entries& entries) {
    const std::size_t start = out.size();
    const std::size_t base = summary.open();
    for (const auto& [key, value] : entries) {
        const std::size_t key_begin = out.size();
        write(out, key);
        const std::size_t value_begin = out.size();
        write(out, value);
        summary.settle(out, base, key_begin, value_begin);
    }
    std::string bytes(reinterpret_cast<const char*>(out.data()) + start, out.size() - start);
    EXPECT_EQ(summary.count(base), kept(entries).size());
    summary.close(base);
    return bytes;
}

std::string joined(const Entries& entries) {
    std::string bytes;
    for (const auto& [key, value] : entries) bytes += key + value;
    return bytes;
}

// Keys of one byte length tag and their text; values of a different tag, so
// that no key's bytes run on into a value's.
std::string key(const std::string& text) { return "K" + std::to_string(text.size()) + ":" + text; }
std::string value(std::size_t serial, std::size_t size = 3) {
    return "V" + std::to_string(serial) + std::string(size, 'v') + ";";
}

Entries distinct(std::size_t count) {
    Entries entries;
    for (std::size_t i = 0; i < count; ++i) entries.emplace_back(key("k" + std::to_string(i)), value(i));
    return entries;
}

struct Case {
    const char* name;
    Entries entries;
};

class SummaryEntriesCases : public testing::TestWithParam<Case> {};

TEST_P(SummaryEntriesCases, KeepWhatADictKeepsInItsOrder) {
    SummaryEntries summary;
    msgpack::Buffer out;
    EXPECT_EQ(written(summary, out, GetParam().entries), joined(kept(GetParam().entries)));
}

TEST_P(SummaryEntriesCases, ASummaryInsideAnotherLeavesItsEntriesAlone) {
    // The outer summary's entries around a whole inner summary written as
    // one of its values, which is then settled like any value.
    SummaryEntries summary;
    msgpack::Buffer out;
    const Entries outer = distinct(40);
    const std::size_t base = summary.open();
    Entries expected;
    for (std::size_t i = 0; i < outer.size(); ++i) {
        const std::size_t key_begin = out.size();
        write(out, outer[i].first);
        const std::size_t value_begin = out.size();
        const std::string inner = written(summary, out, GetParam().entries);
        summary.settle(out, base, key_begin, value_begin);
        expected.emplace_back(outer[i].first, inner);
    }
    // The outer keys met again, after the inner summaries.
    for (std::size_t i = 0; i < outer.size(); i += 7) {
        const std::size_t key_begin = out.size();
        write(out, outer[i].first);
        const std::size_t value_begin = out.size();
        write(out, value(1000 + i, i));
        summary.settle(out, base, key_begin, value_begin);
        expected[i].second = value(1000 + i, i);
    }
    EXPECT_EQ(summary.count(base), outer.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), out.size()), joined(expected));
}

Entries with_repeats(std::size_t count, std::size_t every) {
    Entries entries = distinct(count);
    // Repeated keys take values longer and shorter than the ones they replace.
    for (std::size_t i = 0; i < count; i += every) entries.emplace_back(entries[i].first, value(count + i, i % 5));
    for (std::size_t i = 1; i < count; i += every) entries.emplace_back(entries[i].first, value(2 * count + i, 0));
    return entries;
}

Entries cut_keys(std::size_t count) {
    // Keys that differ only past the cut, written as the cut text plus the
    // marker: every one of them the same bytes.
    Entries entries;
    for (std::size_t i = 0; i < count; ++i) {
        entries.emplace_back(key(std::string(50, 'x') + "\xe2\x80\xa6"), value(i, i % 4));
        entries.emplace_back(key("short" + std::to_string(i)), value(i));
    }
    return entries;
}

Entries look_alike(std::size_t count) {
    // Keys whose bytes are a prefix of another's, or the same text under a
    // different tag (a str and a bytes key of the same text).
    Entries entries;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string text = "k" + std::to_string(i % (count / 2 + 1));
        entries.emplace_back(key(text), value(i));
        entries.emplace_back("B" + text, value(i));
        entries.emplace_back(key(text + text), value(i));
    }
    return entries;
}

Entries with_left_out_count(std::size_t count) {
    // A key "…" among the kept ones, then the entry that counts what was
    // left out under the same key.
    Entries entries = distinct(count);
    entries.insert(entries.begin() + static_cast<std::ptrdiff_t>(count / 2), {key("\xe2\x80\xa6"), value(7)});
    entries.emplace_back(key("\xe2\x80\xa6"), "+9999 more;");
    return entries;
}

INSTANTIATE_TEST_SUITE_P(
    Summaries, SummaryEntriesCases,
    testing::Values(Case{"none", {}}, Case{"few", distinct(5)},
                    Case{"at_the_index_threshold", with_repeats(SummaryEntries::kIndexedFrom, 3)},
                    Case{"many", distinct(3000)}, Case{"many_repeated", with_repeats(600, 4)},
                    Case{"repeats_before_and_after_the_index", with_repeats(40, 1)},
                    Case{"cut_keys", cut_keys(300)}, Case{"look_alike_keys", look_alike(300)},
                    Case{"left_out_count_under_a_kept_key", with_left_out_count(256)}),
    [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
}  // namespace zelm::serializer
