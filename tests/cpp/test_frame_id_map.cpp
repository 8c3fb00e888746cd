#include "format/frame_id_map.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace zelm {
namespace {

FrameId id_of(std::uint64_t serial) {
    FrameId id{};
    const std::string text = std::to_string(serial);
    std::copy(text.begin(), text.end(), id.chars.begin());
    return id;
}

struct KeyShape {
    std::string name;
    std::uintptr_t stride;  // between the addresses used
    std::uintptr_t count;   // how many distinct addresses
};

class FrameIdMapOps : public testing::TestWithParam<KeyShape> {};

// Random insertions, lookups and removals agree with std::unordered_map,
// through growth and through removals inside runs of colliding keys.
TEST_P(FrameIdMapOps, AgreesWithAStandardMap) {
    const KeyShape shape = GetParam();
    std::mt19937_64 random(12345);
    FrameIdMap map;
    std::unordered_map<std::uintptr_t, FrameId> expected;
    for (std::uint64_t step = 0; step < 200'000; ++step) {
        const std::uintptr_t key = 0x7f0000001000 + shape.stride * (random() % shape.count);
        switch (random() % 3) {
            case 0:
                map.insert_or_assign(key, id_of(step));
                expected.insert_or_assign(key, id_of(step));
                break;
            case 1: map.erase(key); expected.erase(key); break;
            default: break;
        }
        const FrameId* found = map.find(key);
        auto wanted = expected.find(key);
        ASSERT_EQ(found != nullptr, wanted != expected.end()) << "step " << step;
        if (found != nullptr) {
            ASSERT_EQ(*found, wanted->second) << "step " << step;
        }
        ASSERT_EQ(map.size(), expected.size());
    }
    for (const auto& [key, id] : expected) {
        const FrameId* found = map.find(key);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(*found, id);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Keys, FrameIdMapOps,
    testing::Values(KeyShape{"frames", 0x1b0, 3000},
                    // Every key's hash drops these bits: all collide.
                    KeyShape{"colliding", 1, 16},
                    // A table that fills to the growth point and empties again.
                    KeyShape{"few", 0x40, 40}),
    [](const testing::TestParamInfo<KeyShape>& info) { return info.param.name; });

TEST(FrameIdMap, AStackUnwoundInAnyOrderLeavesItEmpty) {
    FrameIdMap map;
    for (std::uintptr_t depth = 1; depth <= 5000; ++depth) map.insert_or_assign(depth * 0x200, id_of(depth));
    for (std::uintptr_t depth = 5000; depth >= 1; depth -= 2) map.erase(depth * 0x200);
    for (std::uintptr_t depth = 1; depth <= 5000; depth += 2) {
        ASSERT_NE(map.find(depth * 0x200), nullptr);
        EXPECT_EQ(*map.find(depth * 0x200), id_of(depth));
        map.erase(depth * 0x200);
    }
    EXPECT_EQ(map.size(), 0u);
    EXPECT_EQ(map.find(0x200), nullptr);
}

// Values that own memory move with their keys when removals shift the
// colliding entries that follow, and entry() finds or makes a key's value.
TEST(FrameMap, ValuesFollowTheirKeysThroughRemovals) {
    FrameMap<std::vector<std::uint16_t>> map;
    const auto key_of = [](std::uintptr_t index) { return 0x7f0000001000 + index; };  // all collide
    for (std::uintptr_t index = 0; index < 16; ++index) {
        map.entry(key_of(index)).assign(index + 1, static_cast<std::uint16_t>(index));
    }
    for (std::uintptr_t index = 0; index < 16; index += 3) map.erase(key_of(index));
    for (std::uintptr_t index = 0; index < 16; ++index) {
        const std::vector<std::uint16_t>* found = map.find(key_of(index));
        if (index % 3 == 0) {
            EXPECT_EQ(found, nullptr);
            continue;
        }
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(*found, std::vector<std::uint16_t>(index + 1, static_cast<std::uint16_t>(index)));
        EXPECT_EQ(&map.entry(key_of(index)), found);
    }
    EXPECT_EQ(map.size(), 10u);
}

}  // namespace
}  // namespace zelm
