#include "format/ulid.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zelm {
namespace {

using Key = std::array<std::uint32_t, 8>;
using Seed = ChaChaRng::Seed;
using Block = std::array<std::uint8_t, 64>;

std::vector<std::uint8_t> from_hex(std::string_view hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

std::uint32_t le32(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
           std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24;
}

Key key_from_bytes(const Seed& seed) {
    Key key;
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = le32(seed.data() + 4 * i);
    return key;
}

Seed sequential_seed(std::uint8_t first) {
    Seed seed;
    for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(first + i);
    return seed;
}

const Seed kZeroSeed{};
const Seed kCountingSeed = sequential_seed(0);  // 00 01 02 .. 1f

// Word `index` of the ChaCha12 keystream for `seed` with nonce 0, as the
// generator should hand it out.
std::uint32_t keystream_word(const Seed& seed, std::uint64_t index) {
    Block block;
    chacha_block(key_from_bytes(seed), index / 16, 0, 12, block);
    return le32(block.data() + 4 * (index % 16));
}

// ---- ChaCha known answers ----

struct KeystreamCase {
    std::string name;
    int rounds;
    Seed key;
    std::uint64_t nonce;
    std::string hex;  // blocks 0 and 1
};

class ChaChaKeystream : public testing::TestWithParam<KeystreamCase> {};

TEST_P(ChaChaKeystream, MatchesKnownAnswer) {
    const KeystreamCase& c = GetParam();
    const std::vector<std::uint8_t> expected = from_hex(c.hex);
    ASSERT_EQ(expected.size(), 128u);
    for (std::uint64_t counter = 0; counter < 2; ++counter) {
        Block block;
        chacha_block(key_from_bytes(c.key), counter, c.nonce, c.rounds, block);
        EXPECT_EQ(std::vector<std::uint8_t>(block.begin(), block.end()),
                  std::vector<std::uint8_t>(expected.begin() + 64 * counter,
                                            expected.begin() + 64 * (counter + 1)))
            << "block " << counter;
    }
}

// Nonce bytes 00 01 .. 07 read as a little-endian 64-bit number.
constexpr std::uint64_t kCountingNonce = 0x0706050403020100;

INSTANTIATE_TEST_SUITE_P(
    Vectors, ChaChaKeystream,
    testing::Values(
        KeystreamCase{"chacha8_zero", 8, kZeroSeed, 0,
                      "3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e"
                      "984ce172b9216f419f445367456d5619314a42a3da86b001387bfdb80e0cfe42"
                      "d2aefa0deaa5c151bf0adb6c01f2a5adc0fd581259f9a2aadcf20f8fd566a26b"
                      "5032ec38bbc5da98ee0c6f568b872a65a08abf251deb21bb4b56e5d8821e68aa"},
        KeystreamCase{"chacha12_zero", 12, kZeroSeed, 0,
                      "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
                      "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be"
                      "0bd58841203e74fe86fc71338ce0173dc628ebb719bdcbcc151585214cc089b4"
                      "42258dcda14cf111c602b8971b8cc843e91e46ca905151c02744a6b017e69316"},
        KeystreamCase{"chacha20_zero", 20, kZeroSeed, 0,
                      "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
                      "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"
                      "9f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed"
                      "29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f"},
        KeystreamCase{"chacha8_counting", 8, kCountingSeed, kCountingNonce,
                      "40e1aaea1c843baa28b18eb728fec05dce47b0e824bf9a5d3f1bb1aad13b37fb"
                      "bf0b0e146732c16380efeab70a1b6edff9acedc876b70d98b61f192290537973"
                      "83fe5024dbc0b0d23bd9601805290632acee2e13d5bc50d4e03782e20f0b8e6a"
                      "6b3477eea8cca765c2ca3713af644f179f7ba0e52fcd8aec6f01cfae891245a0"},
        KeystreamCase{"chacha12_counting", 12, kCountingSeed, kCountingNonce,
                      "6898eb04f3d151985e28e882f35daf28d2a1689f79081ffb08cdc48edbbd3dcd"
                      "683c764f3dd7302293928ca3d4ef4194e6e22f41a72204a14b89115d06ca29fb"
                      "0b9f6eba3da6793a928afe76cdf62a5d5b0898bb9bb2348612189fdb825e5aa7"
                      "559c9ec79ff80d05079fad81e9bc2521b2ebcb179cebeade91f20ff3e13192d6"},
        KeystreamCase{"chacha20_counting", 20, kCountingSeed, kCountingNonce,
                      "f798a189f195e66982105ffb640bb7757f579da31602fc93ec01ac56f85ac3c1"
                      "34a4547b733b46413042c9440049176905d3be59ea1c53f15916155c2be8241a"
                      "38008b9a26bc35941e2444177c8ade6689de95264986d95889fb60e84629c9bd"
                      "9a5acb1cc118be563eb9b3a4a472f82e09a7e778492b562ef7130e88dfe031c7"}),
    [](const testing::TestParamInfo<KeystreamCase>& info) { return info.param.name; });

// The IETF layout (32-bit counter in word 12, 96-bit nonce in words 13-15)
// differs from the original only in how words 12-15 are filled, so it maps
// onto the original 64-bit counter and nonce.
void ietf_chacha20_block(const Seed& key, std::uint32_t counter,
                         const std::array<std::uint8_t, 12>& nonce, Block& out) {
    const std::uint64_t original_counter = counter | std::uint64_t{le32(nonce.data())} << 32;
    const std::uint64_t original_nonce =
        le32(nonce.data() + 4) | std::uint64_t{le32(nonce.data() + 8)} << 32;
    chacha_block(key_from_bytes(key), original_counter, original_nonce, 20, out);
}

TEST(ChaChaBlock, Rfc8439Section232) {
    const std::array<std::uint8_t, 12> nonce = {0, 0, 0, 0x09, 0, 0, 0, 0x4a, 0, 0, 0, 0};
    Block block;
    ietf_chacha20_block(kCountingSeed, 1, nonce, block);
    EXPECT_EQ(std::vector<std::uint8_t>(block.begin(), block.end()),
              from_hex("10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
                       "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e"));
}

// ---- ChaChaRng with a fixed seed ----

// The first words of the zero-key ChaCha12 keystream, read little-endian.
TEST(ChaChaRng, FixedSeedHandsOutKeystreamWordsInOrder) {
    const std::vector<std::uint8_t> stream = from_hex(
        "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
        "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be"
        "0bd58841203e74fe86fc71338ce0173dc628ebb719bdcbcc151585214cc089b4"
        "42258dcda14cf111c602b8971b8cc843e91e46ca905151c02744a6b017e69316");
    ChaChaRng rng(kZeroSeed);
    for (std::size_t word = 0; word < 32; ++word) {
        EXPECT_EQ(rng.next_u32(), le32(stream.data() + 4 * word)) << "word " << word;
    }
    EXPECT_EQ(rng.bytes_since_seed(), 128u);
}

TEST(ChaChaRng, SeedBytesAreLittleEndianKeyWords) {
    ChaChaRng rng(kCountingSeed);
    for (std::uint64_t word = 0; word < 40; ++word) {
        EXPECT_EQ(rng.next_u32(), keystream_word(kCountingSeed, word)) << "word " << word;
    }
}

TEST(ChaChaRng, NextU64TakesLowWordFirstAcrossBlockBoundary) {
    ChaChaRng rng(kCountingSeed);
    EXPECT_EQ(rng.next_u64(), std::uint64_t{keystream_word(kCountingSeed, 1)} << 32 |
                                  keystream_word(kCountingSeed, 0));
    for (int i = 0; i < 13; ++i) rng.next_u32();
    // Word 15 is the last of block 0; the high half comes from block 1.
    EXPECT_EQ(rng.next_u64(), std::uint64_t{keystream_word(kCountingSeed, 16)} << 32 |
                                  keystream_word(kCountingSeed, 15));
}

TEST(ChaChaRng, FixedSeedNeverReseeds) {
    ChaChaRng rng(kCountingSeed);
    for (int i = 0; i < 16384; ++i) rng.next_u32();
    EXPECT_EQ(rng.next_u32(), keystream_word(kCountingSeed, 16384));
    EXPECT_EQ(rng.bytes_since_seed(), 65540u);
}

// ---- reseeding, with a scripted seed source ----

// Seeds handed out in order; nullopt makes that call fail.
std::vector<std::optional<Seed>> scripted_seeds;
std::size_t seed_calls = 0;

bool scripted_source(Seed& seed) {
    const std::size_t call = seed_calls++;
    if (call >= scripted_seeds.size() || !scripted_seeds[call]) return false;
    seed = *scripted_seeds[call];
    return true;
}

void script(std::vector<std::optional<Seed>> seeds) {
    scripted_seeds = std::move(seeds);
    seed_calls = 0;
}

const Seed kSeedA = sequential_seed(0x10);
const Seed kSeedB = sequential_seed(0x50);
const Seed kSeedC = sequential_seed(0x90);

constexpr std::uint64_t kWordsPerInterval = 65536 / 4;

TEST(ChaChaRngReseed, FirstSeedFailureIsInternalError) {
    script({std::nullopt});
    EXPECT_THROW(ChaChaRng{&scripted_source}, InternalError);
}

TEST(ChaChaRngReseed, NewKeyAfterEvery64KiB) {
    script({kSeedA, kSeedB, kSeedC});
    ChaChaRng rng(&scripted_source);
    EXPECT_EQ(seed_calls, 1u);
    for (std::uint64_t word = 0; word < kWordsPerInterval; ++word) {
        ASSERT_EQ(rng.next_u32(), keystream_word(kSeedA, word)) << "word " << word;
    }
    EXPECT_EQ(rng.bytes_since_seed(), 65536u);
    EXPECT_EQ(seed_calls, 1u);

    // The next word comes from the new key's stream, starting at block 0.
    EXPECT_EQ(rng.next_u32(), keystream_word(kSeedB, 0));
    EXPECT_EQ(rng.bytes_since_seed(), 4u);
    EXPECT_EQ(seed_calls, 2u);

    for (std::uint64_t word = 1; word < kWordsPerInterval; ++word) rng.next_u32();
    EXPECT_EQ(rng.next_u32(), keystream_word(kSeedC, 0));
    EXPECT_EQ(seed_calls, 3u);
}

TEST(ChaChaRngReseed, FailedReseedKeepsKeyAndRetriesAfterAnotherInterval) {
    script({kSeedA, std::nullopt, kSeedC});
    ChaChaRng rng(&scripted_source);
    for (std::uint64_t word = 0; word < kWordsPerInterval; ++word) rng.next_u32();

    // The reseed fails: the old stream simply continues.
    EXPECT_EQ(rng.next_u32(), keystream_word(kSeedA, kWordsPerInterval));
    EXPECT_EQ(seed_calls, 2u);
    EXPECT_EQ(rng.bytes_since_seed(), 4u);

    for (std::uint64_t word = 1; word < kWordsPerInterval - 1; ++word) rng.next_u32();
    EXPECT_EQ(rng.next_u32(), keystream_word(kSeedA, 2 * kWordsPerInterval - 1));
    EXPECT_EQ(seed_calls, 2u);  // no retry before the interval is used up

    EXPECT_EQ(rng.next_u32(), keystream_word(kSeedC, 0));
    EXPECT_EQ(seed_calls, 3u);
}

// ---- fork ----

// Runs `draw` in a forked child and returns the words it sent back.
std::vector<std::uint32_t> draw_in_child(const std::function<std::vector<std::uint32_t>()>& draw,
                                         std::size_t count) {
    int fds[2];
    if (pipe(fds) != 0) ADD_FAILURE() << "pipe failed";
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        int status = 1;
        try {
            const std::vector<std::uint32_t> words = draw();
            const auto size = words.size() * sizeof(std::uint32_t);
            if (words.size() == count && write(fds[1], words.data(), size) == ssize_t(size)) {
                status = 0;
            }
        } catch (...) {
        }
        _exit(status);
    }
    close(fds[1]);
    std::vector<std::uint32_t> words(count);
    const auto size = count * sizeof(std::uint32_t);
    std::size_t received = 0;
    while (received < size) {
        const ssize_t n = read(fds[0], reinterpret_cast<char*>(words.data()) + received,
                               size - received);
        if (n <= 0) break;
        received += static_cast<std::size_t>(n);
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(received, size);
    return words;
}

std::vector<std::uint32_t> draw_words(ChaChaRng& rng, std::size_t count) {
    std::vector<std::uint32_t> words;
    for (std::size_t i = 0; i < count; ++i) words.push_back(rng.next_u32());
    return words;
}

// The child reseeds before its first word, even in the middle of a buffered
// block; the parent's stream goes on as if nothing happened.
TEST(ChaChaRngFork, ChildReseedsParentContinues) {
    script({kSeedA, kSeedB});
    ChaChaRng rng(&scripted_source);
    draw_words(rng, 5);

    const std::vector<std::uint32_t> child = draw_in_child([&] { return draw_words(rng, 4); }, 4);
    const std::vector<std::uint32_t> parent = draw_words(rng, 4);

    for (std::uint64_t i = 0; i < 4; ++i) {
        EXPECT_EQ(child[i], keystream_word(kSeedB, i)) << "child word " << i;
        EXPECT_EQ(parent[i], keystream_word(kSeedA, 5 + i)) << "parent word " << i;
    }
    EXPECT_EQ(seed_calls, 1u);  // the parent did not reseed
}

TEST(ChaChaRngFork, ThreadRngDiffersBetweenParentAndChild) {
    ChaChaRng& rng = thread_rng();
    draw_words(rng, 3);  // leave part of a block buffered across the fork

    const std::vector<std::uint32_t> child =
        draw_in_child([] { return draw_words(thread_rng(), 8); }, 8);
    const std::vector<std::uint32_t> parent = draw_words(thread_rng(), 8);
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_NE(child[i], parent[i]) << "word " << i;
    }
}

// ---- timestamps and identifiers ----

double clock_seconds() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::uint64_t clock_millis() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
           static_cast<std::uint64_t>(now.tv_nsec) / 1'000'000;
}

TEST(Timestamp, LiesBetweenSurroundingClockReadings) {
    const double before = clock_seconds();
    const double stamp = timestamp();
    const double after = clock_seconds();
    EXPECT_LE(before, stamp);
    EXPECT_LE(stamp, after);
    EXPECT_LE(stamp, timestamp());
}

TEST(NewUlid, TimeBitsAreClockMilliseconds) {
    const std::uint64_t before = clock_millis();
    const Ulid ulid = new_ulid();
    const std::uint64_t after = clock_millis();
    const std::uint64_t millis = ulid.high >> 16;
    EXPECT_LE(before, millis);
    EXPECT_LE(millis, after);
}

// 16 random bits from one word, 64 from two more. Over 64 ULIDs every one of
// the 80 random bits is both set and clear at least once, barring odds of
// 160 in 2^64.
TEST(NewUlid, DrawsThreeWordsAndFillsAllRandomBits) {
    ChaChaRng& rng = thread_rng();
    std::uint64_t high_any = 0, high_all = 0xffff;
    std::uint64_t low_any = 0, low_all = ~std::uint64_t{0};
    for (int i = 0; i < 64; ++i) {
        const std::uint64_t before = rng.bytes_since_seed();
        const Ulid ulid = new_ulid();
        if (before + 12 <= 65536) {
            EXPECT_EQ(rng.bytes_since_seed(), before + 12);
        }
        high_any |= ulid.high & 0xffff;
        high_all &= ulid.high;
        low_any |= ulid.low;
        low_all &= ulid.low;
    }
    EXPECT_EQ(high_any, 0xffffu);
    EXPECT_EQ(high_all, 0u);
    EXPECT_EQ(low_any, ~std::uint64_t{0});
    EXPECT_EQ(low_all, 0u);
}

struct TextCase {
    std::string name;
    Ulid ulid;
    std::string text;
};

class UlidText : public testing::TestWithParam<TextCase> {};

TEST_P(UlidText, EncodesCrockfordBase32) {
    const auto text = ulid_text(GetParam().ulid);
    EXPECT_EQ(std::string(text.begin(), text.end()), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    KnownAnswers, UlidText,
    testing::Values(TextCase{"zero", {0, 0}, "00000000000000000000000000"},
                    TextCase{"max", {~0ull, ~0ull}, "7ZZZZZZZZZZZZZZZZZZZZZZZZZ"},
                    TextCase{"lowest_bit", {0, 1}, "00000000000000000000000001"},
                    // bit 64 lands in the middle of a character: 2^64 = 16 * 32^12
                    TextCase{"bit_64", {1, 0}, "0000000000000G000000000000"},
                    TextCase{"reference", {0x01563e3ab5d3d676, 0x4c61efb99302bd5b},
                             "01ARZ3NDEKTSV4RRFFQ69G5FAV"}),
    [](const testing::TestParamInfo<TextCase>& info) { return info.param.name; });

struct IdCase {
    std::string name;
    std::function<std::string()> make;
    std::string prefix;
};

class Identifiers : public testing::TestWithParam<IdCase> {};

TEST_P(Identifiers, HaveCanonicalShape) {
    const std::string alphabet = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
    for (int i = 0; i < 1000; ++i) {
        const std::string id = GetParam().make();
        ASSERT_EQ(id.size(), 30u) << id;
        EXPECT_EQ(id.substr(0, 4), GetParam().prefix) << id;
        EXPECT_GE(id[4], '0') << id;
        EXPECT_LE(id[4], '7') << id;
        for (std::size_t k = 4; k < id.size(); ++k) {
            EXPECT_NE(alphabet.find(id[k]), std::string::npos) << id << " at " << k;
        }
    }
}

TEST_P(Identifiers, SameMillisecondSharesTimePrefix) {
    // Retry until both ids fall within one clock millisecond.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::uint64_t before = clock_millis();
        const std::string first = GetParam().make();
        const std::string second = GetParam().make();
        if (clock_millis() != before) continue;
        EXPECT_EQ(first.substr(0, 14), second.substr(0, 14));
        EXPECT_NE(first.substr(14), second.substr(14));
        return;
    }
    FAIL() << "never made two ids within one millisecond";
}

INSTANTIATE_TEST_SUITE_P(Kinds, Identifiers,
                         testing::Values(IdCase{"frame", [] { return std::string(frame_id().view()); }, "frm_"},
                                         IdCase{"trace", trace_id, "trc_"}),
                         [](const testing::TestParamInfo<IdCase>& info) {
                             return info.param.name;
                         });

}  // namespace
}  // namespace zelm
