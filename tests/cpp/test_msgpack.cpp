#include "format/msgpack.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace zelm::msgpack {
namespace {

Buffer bytes(std::initializer_list<int> values) {
    Buffer out;
    for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

Buffer concat(Buffer head, const Buffer& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

Buffer text_bytes(std::string_view text) { return Buffer(text.begin(), text.end()); }

// A payload whose bytes differ from each other, so a misplaced or dropped
// byte shows up in the comparison.
Buffer payload(std::size_t size) {
    Buffer out(size);
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return out;
}

std::string payload_text(std::size_t size) {
    std::string out(size, ' ');
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>('a' + i % 26);
    return out;
}

struct WriteCase {
    std::string name;
    std::function<void(Buffer&)> write;
    Buffer expected;
};

std::string case_name(const testing::TestParamInfo<WriteCase>& info) { return info.param.name; }

class WriteForms : public testing::TestWithParam<WriteCase> {};

// Each writer emits exactly the expected bytes, and the structural skip
// agrees that they form one complete value.
TEST_P(WriteForms, WritesSmallestFormAndIsOneValue) {
    const WriteCase& c = GetParam();
    Buffer out;
    c.write(out);
    ASSERT_EQ(out.size(), c.expected.size());
    EXPECT_EQ(out, c.expected);
    EXPECT_TRUE(is_single_value(out));
}

// Writers append: a prefix already in the buffer is kept untouched.
TEST_P(WriteForms, AppendsAfterExistingBytes) {
    const WriteCase& c = GetParam();
    Buffer out = bytes({0x93, 0x01});
    c.write(out);
    EXPECT_EQ(out, concat(bytes({0x93, 0x01}), c.expected));
}

// Headers are checked separately: on their own they are not complete values.
struct HeaderCase {
    std::string name;
    bool is_map;
    std::uint32_t count;
    Buffer expected;
};

class HeaderForms : public testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderForms, WritesSmallestHeader) {
    const HeaderCase& c = GetParam();
    Buffer out;
    if (c.is_map) {
        write_map_header(out, c.count);
    } else {
        write_array_header(out, c.count);
    }
    EXPECT_EQ(out, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, HeaderForms,
    testing::Values(HeaderCase{"map_0", true, 0, bytes({0x80})},
                    HeaderCase{"map_12", true, 12, bytes({0x8c})},
                    HeaderCase{"map_15", true, 15, bytes({0x8f})},
                    HeaderCase{"map_16", true, 16, bytes({0xde, 0x00, 0x10})},
                    HeaderCase{"map_65535", true, 65535, bytes({0xde, 0xff, 0xff})},
                    HeaderCase{"map_65536", true, 65536, bytes({0xdf, 0x00, 0x01, 0x00, 0x00})},
                    HeaderCase{"map_max", true, 0xffffffff, bytes({0xdf, 0xff, 0xff, 0xff, 0xff})},
                    HeaderCase{"array_0", false, 0, bytes({0x90})},
                    HeaderCase{"array_15", false, 15, bytes({0x9f})},
                    HeaderCase{"array_16", false, 16, bytes({0xdc, 0x00, 0x10})},
                    HeaderCase{"array_65535", false, 65535, bytes({0xdc, 0xff, 0xff})},
                    HeaderCase{"array_65536", false, 65536,
                               bytes({0xdd, 0x00, 0x01, 0x00, 0x00})},
                    HeaderCase{"array_max", false, 0xffffffff,
                               bytes({0xdd, 0xff, 0xff, 0xff, 0xff})}),
    [](const testing::TestParamInfo<HeaderCase>& info) { return info.param.name; });

// A complete map or array of `count` nils, for the round trip through value_size.
WriteCase container_case(std::string name, bool is_map, std::uint32_t count, Buffer header) {
    const std::size_t nils = is_map ? 2 * std::size_t{count} : count;
    return {std::move(name),
            [=](Buffer& out) {
                if (is_map) {
                    write_map_header(out, count);
                } else {
                    write_array_header(out, count);
                }
                for (std::size_t i = 0; i < nils; ++i) write_nil(out);
            },
            concat(std::move(header), Buffer(nils, 0xc0))};
}

WriteCase str_case(std::size_t size, Buffer header) {
    const std::string text = payload_text(size);
    return {"str_" + std::to_string(size), [text](Buffer& out) { write_str(out, text); },
            concat(std::move(header), text_bytes(text))};
}

WriteCase bin_case(std::size_t size, Buffer header) {
    const Buffer data = payload(size);
    return {"bin_" + std::to_string(size),
            [data](Buffer& out) { write_bin(out, data.data(), data.size()); },
            concat(std::move(header), data)};
}

WriteCase uint_case(std::string name, std::uint64_t value, Buffer expected) {
    return {"uint_" + std::move(name), [value](Buffer& out) { write_uint(out, value); },
            std::move(expected)};
}

WriteCase int_case(std::string name, std::int64_t value, Buffer expected) {
    return {"int_" + std::move(name), [value](Buffer& out) { write_int(out, value); },
            std::move(expected)};
}

WriteCase ext_case(std::size_t size, std::int8_t type, Buffer header) {
    const Buffer data = payload(size);
    return {"ext_" + std::to_string(size),
            [data, type](Buffer& out) { write_ext(out, type, data.data(), data.size()); },
            concat(std::move(header), data)};
}

std::vector<WriteCase> write_cases() {
    return {
        container_case("map_of_15", true, 15, bytes({0x8f})),
        container_case("map_of_16", true, 16, bytes({0xde, 0x00, 0x10})),
        container_case("map_of_65536", true, 65536, bytes({0xdf, 0x00, 0x01, 0x00, 0x00})),
        container_case("array_of_15", false, 15, bytes({0x9f})),
        container_case("array_of_16", false, 16, bytes({0xdc, 0x00, 0x10})),
        container_case("array_of_65535", false, 65535, bytes({0xdc, 0xff, 0xff})),
        container_case("array_of_65536", false, 65536, bytes({0xdd, 0x00, 0x01, 0x00, 0x00})),

        str_case(0, bytes({0xa0})),
        str_case(9, bytes({0xa9})),
        str_case(31, bytes({0xbf})),
        str_case(32, bytes({0xd9, 0x20})),
        str_case(255, bytes({0xd9, 0xff})),
        str_case(256, bytes({0xda, 0x01, 0x00})),
        str_case(65535, bytes({0xda, 0xff, 0xff})),
        str_case(65536, bytes({0xdb, 0x00, 0x01, 0x00, 0x00})),

        bin_case(0, bytes({0xc4, 0x00})),
        bin_case(255, bytes({0xc4, 0xff})),
        bin_case(256, bytes({0xc5, 0x01, 0x00})),
        bin_case(65535, bytes({0xc5, 0xff, 0xff})),
        bin_case(65536, bytes({0xc6, 0x00, 0x01, 0x00, 0x00})),

        uint_case("0", 0, bytes({0x00})),
        uint_case("127", 127, bytes({0x7f})),
        uint_case("128", 128, bytes({0xcc, 0x80})),
        uint_case("255", 255, bytes({0xcc, 0xff})),
        uint_case("256", 256, bytes({0xcd, 0x01, 0x00})),
        uint_case("65535", 65535, bytes({0xcd, 0xff, 0xff})),
        uint_case("65536", 65536, bytes({0xce, 0x00, 0x01, 0x00, 0x00})),
        uint_case("2pow32_minus_1", 0xffffffff, bytes({0xce, 0xff, 0xff, 0xff, 0xff})),
        uint_case("2pow32", 0x100000000,
                  bytes({0xcf, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00})),
        uint_case("max", std::numeric_limits<std::uint64_t>::max(),
                  bytes({0xcf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff})),

        int_case("0", 0, bytes({0x00})),
        int_case("200_as_unsigned", 200, bytes({0xcc, 0xc8})),
        int_case("minus_1", -1, bytes({0xff})),
        int_case("minus_32", -32, bytes({0xe0})),
        int_case("minus_33", -33, bytes({0xd0, 0xdf})),
        int_case("minus_128", -128, bytes({0xd0, 0x80})),
        int_case("minus_129", -129, bytes({0xd1, 0xff, 0x7f})),
        int_case("minus_32768", -32768, bytes({0xd1, 0x80, 0x00})),
        int_case("minus_32769", -32769, bytes({0xd2, 0xff, 0xff, 0x7f, 0xff})),
        int_case("minus_2pow31", -2147483648LL, bytes({0xd2, 0x80, 0x00, 0x00, 0x00})),
        int_case("minus_2pow31_minus_1", -2147483649LL,
                 bytes({0xd3, 0xff, 0xff, 0xff, 0xff, 0x7f, 0xff, 0xff, 0xff})),
        int_case("min", std::numeric_limits<std::int64_t>::min(),
                 bytes({0xd3, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00})),
        int_case("max", std::numeric_limits<std::int64_t>::max(),
                 bytes({0xcf, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff})),

        {"f64_1_5", [](Buffer& out) { write_f64(out, 1.5); },
         bytes({0xcb, 0x3f, 0xf8, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00})},
        // 0.1 has no exact float32 form; a narrowed write would lose bits.
        {"f64_0_1", [](Buffer& out) { write_f64(out, 0.1); },
         bytes({0xcb, 0x3f, 0xb9, 0x99, 0x99, 0x99, 0x99, 0x99, 0x9a})},
        // 2.0 fits float32 exactly and must still be written as float64.
        {"f64_2_not_narrowed", [](Buffer& out) { write_f64(out, 2.0); },
         bytes({0xcb, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00})},
        {"f64_negative_zero", [](Buffer& out) { write_f64(out, -0.0); },
         bytes({0xcb, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00})},
        {"f32_1_5", [](Buffer& out) { write_f32(out, 1.5f); },
         bytes({0xca, 0x3f, 0xc0, 0x00, 0x00})},
        {"nil", [](Buffer& out) { write_nil(out); }, bytes({0xc0})},
        {"false", [](Buffer& out) { write_bool(out, false); }, bytes({0xc2})},
        {"true", [](Buffer& out) { write_bool(out, true); }, bytes({0xc3})},

        ext_case(1, 5, bytes({0xd4, 0x05})),
        ext_case(2, 5, bytes({0xd5, 0x05})),
        ext_case(4, -1, bytes({0xd6, 0xff})),
        ext_case(8, 5, bytes({0xd7, 0x05})),
        ext_case(16, 5, bytes({0xd8, 0x05})),
        ext_case(0, 5, bytes({0xc7, 0x00, 0x05})),
        ext_case(3, 5, bytes({0xc7, 0x03, 0x05})),
        ext_case(255, 5, bytes({0xc7, 0xff, 0x05})),
        ext_case(256, 5, bytes({0xc8, 0x01, 0x00, 0x05})),
        ext_case(65535, 5, bytes({0xc8, 0xff, 0xff, 0x05})),
        ext_case(65536, -128, bytes({0xc9, 0x00, 0x01, 0x00, 0x00, 0x80})),

        {"raw_copied_unchanged",
         [](Buffer& out) { write_raw(out, bytes({0x92, 0xcd, 0x01, 0x00, 0xc0})); },
         bytes({0x92, 0xcd, 0x01, 0x00, 0xc0})},
    };
}

INSTANTIATE_TEST_SUITE_P(Forms, WriteForms, testing::ValuesIn(write_cases()), case_name);

// ---- key/value pairs ----

struct PairCase {
    std::string name;
    std::function<void(Buffer&)> write;
    Buffer expected;
};

class PairWriters : public testing::TestWithParam<PairCase> {};

// A pair is two values back to back: the key string, then the value.
TEST_P(PairWriters, WritesKeyThenValue) {
    const PairCase& c = GetParam();
    Buffer out;
    c.write(out);
    EXPECT_EQ(out, c.expected);
    auto key_size = value_size(out.data(), out.size());
    ASSERT_TRUE(key_size.has_value());
    auto value_part = value_size(out.data() + *key_size, out.size() - *key_size);
    ASSERT_TRUE(value_part.has_value());
    EXPECT_EQ(*key_size + *value_part, out.size());
}

const double kOneAndAHalf = 1.5;

INSTANTIATE_TEST_SUITE_P(
    Pairs, PairWriters,
    testing::Values(
        PairCase{"str_present", [](Buffer& out) { write_str_pair(out, "name", "abc"); },
                 concat(concat(bytes({0xa4}), text_bytes("name")),
                        concat(bytes({0xa3}), text_bytes("abc")))},
        PairCase{"str_absent_is_nil",
                 [](Buffer& out) { write_str_pair(out, "name", std::nullopt); },
                 concat(concat(bytes({0xa4}), text_bytes("name")), bytes({0xc0}))},
        PairCase{"str_long_key",
                 [](Buffer& out) { write_str_pair(out, std::string(32, 'k'), ""); },
                 concat(concat(bytes({0xd9, 0x20}), Buffer(32, 'k')), bytes({0xa0}))},
        PairCase{"int_present", [](Buffer& out) { write_int_pair(out, "line", 42); },
                 concat(concat(bytes({0xa4}), text_bytes("line")), bytes({0x2a}))},
        PairCase{"int_smallest_form", [](Buffer& out) { write_int_pair(out, "line", 65536); },
                 concat(concat(bytes({0xa4}), text_bytes("line")),
                        bytes({0xce, 0x00, 0x01, 0x00, 0x00}))},
        PairCase{"int_absent_is_nil",
                 [](Buffer& out) { write_int_pair(out, "line", std::nullopt); },
                 concat(concat(bytes({0xa4}), text_bytes("line")), bytes({0xc0}))},
        PairCase{"f64_timestamp",
                 [](Buffer& out) { write_f64_pair(out, "timestamp", kOneAndAHalf); },
                 concat(concat(bytes({0xa9}), text_bytes("timestamp")),
                        bytes({0xcb, 0x3f, 0xf8, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}))}),
    [](const testing::TestParamInfo<PairCase>& info) { return info.param.name; });

TEST(PairWriters, TimestampPairIsNineteenBytes) {
    Buffer out;
    write_f64_pair(out, "timestamp", 1700000000.123456);
    ASSERT_EQ(out.size(), 19u);
    EXPECT_EQ(out[0], 0xa9);
    EXPECT_EQ(std::string(out.begin() + 1, out.begin() + 10), "timestamp");
    EXPECT_EQ(out[10], 0xcb);
}

TEST(PairWriters, RawPairAppendsTheEncodedBytesUnchanged) {
    const Buffer value = bytes({0x92, 0xa1, 'x', 0xc3});
    Buffer out = bytes({0x81});
    write_raw_pair(out, "args", value);
    EXPECT_EQ(out, concat(concat(bytes({0x81, 0xa4}), text_bytes("args")), value));
    EXPECT_TRUE(is_single_value(out));
}

// The strs encoded when compiling are what write_str writes for them,
// back to back, up to the longest fixstr.
TEST(EncodedStrs, AreWhatWriteStrWrites) {
    Buffer expected;
    for (std::string_view text : {"", "type", "user_code_call_site", "0123456789abcdefghijklmnopqrstu"}) {
        write_str(expected, text);
    }
    constexpr auto encoded = kEncodedStrs<"", "type", "user_code_call_site", "0123456789abcdefghijklmnopqrstu">;
    EXPECT_EQ(Buffer(encoded.begin(), encoded.end()), expected);
}

// ---- value_size ----

// Complete values covering every format byte family, including nesting.
std::vector<Buffer> valid_values() {
    std::vector<Buffer> values;
    for (const WriteCase& c : write_cases()) {
        Buffer out;
        c.write(out);
        values.push_back(std::move(out));
    }
    // Containers nested in containers.
    values.push_back(bytes({0x92, 0x01, 0x92, 0xc3, 0xc0}));
    values.push_back(bytes({0x82, 0xa1, 'z', 0x01, 0xa1, 'a', 0x92, 0xc4, 0x01, 0x07, 0xc7, 0x01, 0x01, 0x09}));
    // Map nested in an array nested in a map, with an ext and a str8 inside.
    values.push_back(concat(bytes({0x81, 0xa1, 'k', 0x92, 0x81, 0xd4, 0x01, 0x02, 0xc0, 0xd9, 0x02}),
                            text_bytes("ab")));
    values.push_back(bytes({0xde, 0x00, 0x01, 0xc2, 0xdc, 0x00, 0x00}));
    values.push_back(bytes({0xdf, 0x00, 0x00, 0x00, 0x01, 0xc0, 0xdd, 0x00, 0x00, 0x00, 0x00}));
    return values;
}

TEST(ValueSize, MeasuresEveryValidValueExactly) {
    const std::vector<Buffer> values = valid_values();
    for (std::size_t i = 0; i < values.size(); ++i) {
        const Buffer& value = values[i];
        SCOPED_TRACE("value " + std::to_string(i));
        EXPECT_EQ(value_size(value.data(), value.size()), value.size());
    }
}

// Every cut point of the small values; for the large ones the cuts inside
// and just after the header and near the end.
TEST(ValueSize, RejectsEveryTruncation) {
    for (const Buffer& value : valid_values()) {
        for (std::size_t cut = 0; cut < value.size(); ++cut) {
            if (cut == 64 && value.size() > 128) cut = value.size() - 64;
            SCOPED_TRACE("value of " + std::to_string(value.size()) + " bytes starting " +
                         std::to_string(value[0]) + ", cut at " + std::to_string(cut));
            EXPECT_EQ(value_size(value.data(), cut), std::nullopt);
            EXPECT_NE(check_loadable(Bytes(value.data(), cut)).refusal, Refusal::none);
        }
    }
}

TEST(ValueSize, StopsAfterFirstOfTwoValues) {
    const std::vector<Buffer> values = valid_values();
    for (std::size_t i = 0; i + 1 < values.size(); ++i) {
        const Buffer both = concat(values[i], values[i + 1]);
        SCOPED_TRACE("values " + std::to_string(i) + " and " + std::to_string(i + 1));
        EXPECT_EQ(value_size(both.data(), both.size()), values[i].size());
        EXPECT_FALSE(is_single_value(both));
    }
}

struct GarbageCase {
    std::string name;
    Buffer data;
};

class ValueSizeGarbage : public testing::TestWithParam<GarbageCase> {};

TEST_P(ValueSizeGarbage, IsRejected) {
    const Buffer& data = GetParam().data;
    EXPECT_EQ(value_size(data.data(), data.size()), std::nullopt);
    EXPECT_FALSE(is_single_value(data));
}

INSTANTIATE_TEST_SUITE_P(
    Garbage, ValueSizeGarbage,
    testing::Values(
        GarbageCase{"empty", {}},
        GarbageCase{"reserved_c1", bytes({0xc1})},
        GarbageCase{"reserved_c1_inside_array", bytes({0x92, 0x01, 0xc1})},
        GarbageCase{"reserved_c1_as_map_value", bytes({0x81, 0xa1, 'k', 0xc1})},
        GarbageCase{"map_missing_value", bytes({0x81, 0xa1, 'k'})},
        GarbageCase{"array32_claims_too_many", bytes({0xdd, 0xff, 0xff, 0xff, 0xff, 0xc0})},
        GarbageCase{"map32_claims_too_many", bytes({0xdf, 0x80, 0x00, 0x00, 0x00, 0xc0, 0xc0})},
        GarbageCase{"str32_claims_too_many", bytes({0xdb, 0xff, 0xff, 0xff, 0xff, 'a'})},
        GarbageCase{"bin32_claims_too_many", bytes({0xc6, 0xff, 0xff, 0xff, 0xff, 0x00})},
        GarbageCase{"ext32_claims_too_many", bytes({0xc9, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00})},
        GarbageCase{"nested_arrays_unterminated", Buffer(100000, 0x91)}),
    [](const testing::TestParamInfo<GarbageCase>& info) { return info.param.name; });

// Deep nesting is walked without recursion, so hostile input cannot exhaust the stack.
TEST(ValueSize, DeeplyNestedArraysAreMeasured) {
    Buffer nested(1000000, 0x91);  // a million one-item arrays
    nested.push_back(0x00);
    EXPECT_EQ(value_size(nested.data(), nested.size()), nested.size());
}

// ---- Buffer ----

// Growing, inserting and erasing anywhere keep the bytes a std::vector keeps.
TEST(Buffer, EditsAgreeWithAVector) {
    Buffer buffer;
    std::vector<std::uint8_t> expected;
    std::uint8_t next = 0;
    for (std::size_t step = 0; step < 3000; ++step) {
        const std::size_t at = expected.empty() ? 0 : (step * 7919) % (expected.size() + 1);
        if (step % 5 == 4) {
            const std::size_t count = std::min<std::size_t>(step % 13, expected.size() - at);
            buffer.erase(buffer.begin() + at, buffer.begin() + at + count);
            expected.erase(expected.begin() + at, expected.begin() + at + count);
        } else {
            std::vector<std::uint8_t> bytes(step % 37);
            for (auto& byte : bytes) byte = next++;
            buffer.insert(buffer.begin() + at, bytes.begin(), bytes.end());
            expected.insert(expected.begin() + at, bytes.begin(), bytes.end());
        }
        ASSERT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.end()), expected) << "step " << step;
    }
    // Room written past the end counts once set_end says so.
    std::uint8_t* room = buffer.room(4096);
    std::fill(room, room + 3, std::uint8_t{0xee});
    buffer.set_end(room + 3);
    expected.insert(expected.end(), 3, 0xee);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.end()), expected);
    EXPECT_GE(buffer.capacity(), expected.size() + 4093);
}

// ---- check_loadable ----

// `depth` containers, each holding the next, around `inner`: maps (under the
// key "k") or arrays.
Buffer nested(std::size_t depth, const Buffer& inner, bool maps = false) {
    Buffer out;
    for (std::size_t i = 0; i < depth; ++i) {
        if (maps) {
            out = concat(std::move(out), {0x81, 0xa1, 'k'});
        } else {
            out.push_back(0x91);
        }
    }
    return concat(std::move(out), inner);
}

Buffer str8(const Buffer& text) {
    return concat(bytes({0xd9, static_cast<int>(text.size())}), text);
}

// An 8-byte timestamp: 30 bits of nanoseconds, then 34 bits of seconds.
Buffer timestamp64(std::uint64_t nanoseconds, std::uint64_t seconds) {
    Buffer out = bytes({0xd7, 0xff});
    const std::uint64_t packed = nanoseconds << 34 | seconds;
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(packed >> shift));
    return out;
}

struct LoadCase {
    std::string name;
    Buffer data;
    Refusal refusal;
    std::size_t offset;  // where the refused value starts; the size when loadable
};

class CheckLoadable : public testing::TestWithParam<LoadCase> {};

TEST_P(CheckLoadable, RefusesWhatAReaderRefusesAndWhere) {
    const LoadCase& c = GetParam();
    const Check check = check_loadable(c.data);
    EXPECT_EQ(check.refusal, c.refusal) << describe(check.refusal);
    EXPECT_EQ(check.offset, c.offset);
}

const std::size_t kMax = kMaxCheckedDepth;
const Buffer kNil = bytes({0xc0});
const Buffer kAscii40 = text_bytes("0123456789012345678901234567890123456789");

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckLoadable,
    testing::Values(
        LoadCase{"nil", kNil, Refusal::none, 1},
        LoadCase{"ascii_str8", str8(kAscii40), Refusal::none, 42},
        LoadCase{"utf8_after_ascii_run", str8(concat(kAscii40, text_bytes("\xc3\xa9\xf0\x9f\x98\x80"))),
                 Refusal::none, 48},
        LoadCase{"str_and_bin_keys", bytes({0x82, 0xa1, 'k', 0x01, 0xc4, 0x01, 0xff, 0x02}), Refusal::none, 8},
        LoadCase{"keys_of_a_map_inside_a_map_value",
                 bytes({0x81, 0xa1, 'a', 0x92, 0x81, 0xa1, 'b', 0x90, 0x80}), Refusal::none, 9},
        LoadCase{"array_items_need_not_be_text", bytes({0x93, 0x01, 0xc0, 0x90}), Refusal::none, 4},
        LoadCase{"other_ext_any_length", bytes({0xc7, 0x03, 0x05, 1, 2, 3}), Refusal::none, 6},
        LoadCase{"timestamp32", bytes({0xd6, 0xff, 0, 0, 0, 1}), Refusal::none, 6},
        LoadCase{"timestamp64_last_nanosecond", timestamp64(999'999'999, 1), Refusal::none, 10},
        LoadCase{"timestamp96", concat(bytes({0xc7, 0x0c, 0xff, 0x3b, 0x9a, 0xc9, 0xff}), Buffer(8, 0)),
                 Refusal::none, 15},
        LoadCase{"deepest_arrays", nested(kMax, kNil), Refusal::none, kMax + 1},
        LoadCase{"deepest_arrays_empty_inside", nested(kMax - 1, bytes({0x90})), Refusal::none, kMax},
        LoadCase{"deepest_maps", nested(kMax, kNil, true), Refusal::none, 3 * kMax + 1},

        LoadCase{"empty", {}, Refusal::malformed, 0},
        LoadCase{"reserved_c1_in_array", bytes({0x92, 0x01, 0xc1}), Refusal::malformed, 2},
        LoadCase{"str_cut_short", bytes({0xa5, 'a', 'b'}), Refusal::malformed, 0},
        LoadCase{"array_claims_more_than_the_bytes", bytes({0xdd, 0xff, 0xff, 0xff, 0xff, 0xc0}),
                 Refusal::malformed, 0},
        LoadCase{"two_values", bytes({0xc0, 0xc3}), Refusal::trailing_bytes, 1},

        LoadCase{"overlong_two_byte", bytes({0xa2, 0xc0, 0x80}), Refusal::invalid_utf8, 0},
        LoadCase{"overlong_three_byte", bytes({0xa3, 0xe0, 0x80, 0xaf}), Refusal::invalid_utf8, 0},
        LoadCase{"overlong_four_byte", bytes({0xa4, 0xf0, 0x8f, 0xbf, 0xbf}), Refusal::invalid_utf8, 0},
        LoadCase{"surrogate_high", bytes({0xa3, 0xed, 0xa0, 0x80}), Refusal::invalid_utf8, 0},
        LoadCase{"surrogate_low", bytes({0xa3, 0xed, 0xbf, 0xbf}), Refusal::invalid_utf8, 0},
        LoadCase{"above_u10ffff", bytes({0xa4, 0xf4, 0x90, 0x80, 0x80}), Refusal::invalid_utf8, 0},
        LoadCase{"sequence_cut_by_the_string_end", bytes({0x92, 0xa2, 0xe2, 0x82, 0xa1, 0xac}),
                 Refusal::invalid_utf8, 1},
        LoadCase{"lone_continuation", bytes({0xa1, 0x80}), Refusal::invalid_utf8, 0},
        LoadCase{"bad_byte_after_ascii_run", str8(concat(kAscii40, bytes({0xff}))), Refusal::invalid_utf8, 0},
        LoadCase{"bad_byte_ending_an_ascii_word", str8(text_bytes("abcdefg\xff")), Refusal::invalid_utf8, 0},
        LoadCase{"invalid_key", bytes({0x81, 0xa1, 0xff, 0xc0}), Refusal::invalid_utf8, 1},
        LoadCase{"invalid_inside_nested_map", bytes({0x91, 0x81, 0xa1, 'k', 0xa1, 0xfe}),
                 Refusal::invalid_utf8, 4},

        LoadCase{"int_key", bytes({0x81, 0x01, 0xc0}), Refusal::map_key_type, 1},
        LoadCase{"nil_key", bytes({0x81, 0xc0, 0xc0}), Refusal::map_key_type, 1},
        LoadCase{"bool_key", bytes({0x81, 0xc3, 0xc0}), Refusal::map_key_type, 1},
        LoadCase{"float_key", concat(bytes({0x81, 0xcb}), Buffer(9, 0)), Refusal::map_key_type, 1},
        LoadCase{"array_key", bytes({0x81, 0x90, 0xc0}), Refusal::map_key_type, 1},
        LoadCase{"map_key", bytes({0x81, 0x80, 0xc0}), Refusal::map_key_type, 1},
        LoadCase{"ext_key", bytes({0x81, 0xd4, 0x01, 0x00, 0xc0}), Refusal::map_key_type, 1},
        LoadCase{"second_entry_key", bytes({0x82, 0xa1, 'a', 0x90, 0x05, 0xc0}), Refusal::map_key_type, 4},
        LoadCase{"key_of_map_in_array_in_map", bytes({0x81, 0xa1, 'a', 0x91, 0x81, 0x07, 0xc0}),
                 Refusal::map_key_type, 5},

        LoadCase{"arrays_one_too_deep", nested(kMax + 1, kNil), Refusal::too_deep, kMax},
        LoadCase{"empty_array_one_too_deep", nested(kMax, bytes({0x90})), Refusal::too_deep, kMax},
        LoadCase{"maps_one_too_deep", nested(kMax + 1, kNil, true), Refusal::too_deep, 3 * kMax},
        LoadCase{"two_thousand_levels", nested(2000, kNil), Refusal::too_deep, kMax},

        LoadCase{"timestamp_of_two_bytes", bytes({0xd5, 0xff, 0, 0}), Refusal::invalid_timestamp, 0},
        LoadCase{"timestamp_of_no_bytes", bytes({0x91, 0xc7, 0x00, 0xff}), Refusal::invalid_timestamp, 1},
        LoadCase{"timestamp64_a_whole_second_of_nanoseconds", timestamp64(1'000'000'000, 1),
                 Refusal::invalid_timestamp, 0},
        LoadCase{"timestamp96_a_whole_second_of_nanoseconds",
                 concat(bytes({0xc7, 0x0c, 0xff, 0x3b, 0x9a, 0xca, 0x00}), Buffer(8, 0)),
                 Refusal::invalid_timestamp, 0}),
    [](const testing::TestParamInfo<LoadCase>& info) { return info.param.name; });

// ---- UTF-8 validation ----

struct Utf8Case {
    std::string name;
    std::string text;
    bool valid;
};

class Utf8 : public testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8, Validates) { EXPECT_EQ(is_valid_utf8(GetParam().text), GetParam().valid); }

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8,
    testing::Values(Utf8Case{"empty", "", true}, Utf8Case{"ascii", "hello", true},
                    Utf8Case{"embedded_nul", std::string("a\0b", 3), true},
                    Utf8Case{"two_byte", "\xc3\xa9", true},
                    Utf8Case{"three_byte", "\xe2\x82\xac", true},
                    Utf8Case{"four_byte", "\xf0\x9f\x98\x80", true},
                    Utf8Case{"lowest_three_byte", "\xe0\xa0\x80", true},
                    Utf8Case{"last_before_surrogates", "\xed\x9f\xbf", true},
                    Utf8Case{"highest_code_point", "\xf4\x8f\xbf\xbf", true},
                    Utf8Case{"overlong_c0", "\xc0\x80", false},
                    Utf8Case{"overlong_c1", "\xc1\xbf", false},
                    Utf8Case{"overlong_three_byte", "\xe0\x80\x80", false},
                    Utf8Case{"overlong_four_byte", "\xf0\x80\x80\x80", false},
                    Utf8Case{"surrogate", "\xed\xa0\x80", false},
                    Utf8Case{"above_max", "\xf4\x90\x80\x80", false},
                    Utf8Case{"lead_f5", "\xf5\x80\x80\x80", false},
                    Utf8Case{"lone_continuation", "\x80", false},
                    Utf8Case{"truncated", "ab\xe2\x82", false},
                    Utf8Case{"bad_continuation", "\xe2\x28\xa1", false},
                    Utf8Case{"bad_last_continuation", "\xf0\x9f\x98\x28", false}),
    [](const testing::TestParamInfo<Utf8Case>& info) { return info.param.name; });

// ASCII is checked a word at a time: a sequence at any offset, inside or
// after the words, is still looked at byte by byte.
TEST(Utf8AsciiRuns, SequencesAtEveryOffset) {
    for (std::size_t offset = 0; offset <= 70; ++offset) {
        SCOPED_TRACE("offset " + std::to_string(offset));
        const std::string ascii = payload_text(offset);
        EXPECT_TRUE(is_valid_utf8(ascii + "\xc3\xa9" + payload_text(9)));
        EXPECT_FALSE(is_valid_utf8(ascii + "\xff" + payload_text(9)));
        EXPECT_FALSE(is_valid_utf8(ascii + "\xed\xa0\x80" + payload_text(40)));
        EXPECT_FALSE(is_valid_utf8(ascii + "\xe2\x82"));
    }
}

}  // namespace
}  // namespace zelm::msgpack
