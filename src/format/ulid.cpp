#include "format/ulid.hpp"

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cstring>

namespace zelm {

namespace {

constexpr std::uint64_t kReseedInterval = 64 * 1024;  // bytes of output per key
constexpr int kGeneratorRounds = 12;

// Bumped in every forked child. Each generator remembers the value it was
// seeded under and reseeds when it differs. Lock-free, so the fork handler
// may touch it.
std::atomic<std::uint64_t> fork_count{0};

void count_fork_in_child() { fork_count.fetch_add(1, std::memory_order_relaxed); }

void ensure_fork_handler() {
    // Registered once per process. A throwing initialiser leaves the static
    // uninitialised, so a failed registration is tried again by the next
    // generator.
    [[maybe_unused]] static const bool registered = [] {
        if (pthread_atfork(nullptr, nullptr, &count_fork_in_child) != 0) {
            throw InternalError("Could not register the fork handler of the random generator");
        }
        return true;
    }();
}

bool seed_from_getentropy(ChaChaRng::Seed& seed) {
    return getentropy(seed.data(), seed.size()) == 0;
}

void quarter_round(std::array<std::uint32_t, 16>& x, int a, int b, int c, int d) {
    x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 16);
    x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 12);
    x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 8);
    x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 7);
}

// The sixteen output words of one block; the generator uses them directly,
// chacha_block() serialises them.
void chacha_words(const std::array<std::uint32_t, 8>& key, std::uint64_t counter,
                  std::uint64_t nonce, int rounds, std::array<std::uint32_t, 16>& out) {
    // "expand 32-byte k", key, 64-bit counter (low word first), 64-bit nonce.
    const std::array<std::uint32_t, 16> input = {
        0x61707865, 0x3320646e, 0x79622d32, 0x6b206574,
        key[0], key[1], key[2], key[3], key[4], key[5], key[6], key[7],
        static_cast<std::uint32_t>(counter), static_cast<std::uint32_t>(counter >> 32),
        static_cast<std::uint32_t>(nonce), static_cast<std::uint32_t>(nonce >> 32),
    };
    out = input;
    for (int round = 0; round < rounds; round += 2) {
        quarter_round(out, 0, 4, 8, 12);  // columns
        quarter_round(out, 1, 5, 9, 13);
        quarter_round(out, 2, 6, 10, 14);
        quarter_round(out, 3, 7, 11, 15);
        quarter_round(out, 0, 5, 10, 15);  // diagonals
        quarter_round(out, 1, 6, 11, 12);
        quarter_round(out, 2, 7, 8, 13);
        quarter_round(out, 3, 4, 9, 14);
    }
    for (std::size_t i = 0; i < out.size(); ++i) out[i] += input[i];
}

std::uint32_t load_le32(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
           std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24;
}

constexpr char kCrockford[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
// The two characters of every 10-bit value, the high 5 bits first.
constexpr std::array<char, 2048> kCrockfordPairs = [] {
    std::array<char, 2048> pairs{};
    for (std::size_t value = 0; value < 1024; ++value) {
        pairs[2 * value] = kCrockford[value >> 5];
        pairs[2 * value + 1] = kCrockford[value & 31];
    }
    return pairs;
}();

// prefix + ULID text, 30 characters, into out[0..30).
void write_prefixed_ulid(const char (&prefix)[5], const Ulid& ulid, char* out) {
    const auto text = ulid_text(ulid);
    std::copy(prefix, prefix + 4, out);
    std::copy(text.begin(), text.end(), out + 4);
}

}  // namespace

double timestamp() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    // tv_nsec is always in [0, 1e9), so a reading before the epoch shows as a
    // negative second count.
    if (now.tv_sec < 0) throw InternalError("System time is before unix epoch");
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1'000'000'000.0;
}

void chacha_block(const std::array<std::uint32_t, 8>& key, std::uint64_t counter,
                  std::uint64_t nonce, int rounds, std::array<std::uint8_t, 64>& out) {
    std::array<std::uint32_t, 16> words;
    chacha_words(key, counter, nonce, rounds, words);
    for (std::size_t i = 0; i < words.size(); ++i) {
        for (std::size_t b = 0; b < 4; ++b) {
            out[4 * i + b] = static_cast<std::uint8_t>(words[i] >> (8 * b));
        }
    }
}

ChaChaRng::ChaChaRng() : ChaChaRng(&seed_from_getentropy) {}

ChaChaRng::ChaChaRng(SeedSource source) : seed_source_(source) {
    ensure_fork_handler();
    fork_generation_ = fork_count.load(std::memory_order_relaxed);
    Seed seed;
    if (!seed_source_(seed)) throw InternalError("Could not seed the random generator");
    set_key(seed);
}

ChaChaRng::ChaChaRng(const std::array<std::uint8_t, 32>& seed)
    : fork_generation_(fork_count.load(std::memory_order_relaxed)) {
    set_key(seed);
}

void ChaChaRng::set_key(const Seed& seed) {
    for (std::size_t i = 0; i < key_.size(); ++i) key_[i] = load_le32(seed.data() + 4 * i);
    counter_ = 0;
    index_ = block_.size();
    bytes_since_seed_ = 0;
}

std::uint32_t ChaChaRng::next_u32() {
    // After a fork the words still buffered are also in the parent's buffer,
    // so the child drops them along with the key.
    if (index_ == block_.size() ||
        fork_generation_ != fork_count.load(std::memory_order_relaxed)) {
        refill();
    }
    bytes_since_seed_ += sizeof(std::uint32_t);
    return block_[index_++];
}

std::uint64_t ChaChaRng::next_u64() {
    const std::uint64_t low = next_u32();
    const std::uint64_t high = next_u32();
    return high << 32 | low;
}

void ChaChaRng::refill() {
    const std::uint64_t forks = fork_count.load(std::memory_order_relaxed);
    if (seed_source_ != nullptr &&
        (forks != fork_generation_ || bytes_since_seed_ >= kReseedInterval)) {
        reseed();
    }
    fork_generation_ = forks;
    chacha_words(key_, counter_++, 0, kGeneratorRounds, block_);
    index_ = 0;
}

void ChaChaRng::reseed() {
    Seed seed;
    if (seed_source_(seed)) {
        set_key(seed);
    } else {
        // Keep the current key (its stream continues) and try again after
        // another interval.
        bytes_since_seed_ = 0;
    }
}

ChaChaRng& thread_rng() {
    // Trivially destructible, so nothing runs for it at thread exit.
    thread_local ChaChaRng rng;
    return rng;
}

namespace {

// Milliseconds since the epoch, 0 before it, the low 48 bits.
std::uint64_t ulid_millis() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    std::uint64_t millis = 0;
    if (now.tv_sec >= 0) {
        millis = static_cast<std::uint64_t>(now.tv_sec) * 1000 +
                 static_cast<std::uint64_t>(now.tv_nsec) / 1'000'000;
    }
    return millis & ((std::uint64_t{1} << 48) - 1);
}

Ulid ulid_at(std::uint64_t millis) {
    ChaChaRng& rng = thread_rng();
    const std::uint64_t random_high = rng.next_u32() & 0xffff;  // bits 79..64
    const std::uint64_t random_low = rng.next_u64();            // bits 63..0
    return Ulid{millis << 16 | random_high, random_low};
}

}  // namespace

Ulid new_ulid() { return ulid_at(ulid_millis()); }

std::array<char, 26> ulid_text(const Ulid& ulid) {
    // 26 characters of 5 bits cover 130 bits; the first one carries only the
    // top 3 bits of the value. The last twelve take bits 0..59 from `low`,
    // the one before straddles the halves (bits 60..64), and the first
    // thirteen take the rest of `high`. Two characters at a time come from
    // a table of every 10-bit value's pair.
    std::array<char, 26> text;
    auto put_pair = [&text](std::size_t second, std::uint64_t bits) {
        const char* pair = kCrockfordPairs.data() + 2 * (bits & 1023);
        text[second - 1] = pair[0];
        text[second] = pair[1];
    };
    std::uint64_t low = ulid.low;
    for (std::size_t second = 25; second > 14; second -= 2) {
        put_pair(second, low);
        low >>= 10;
    }
    text[13] = kCrockford[low | (ulid.high & 1) << 4];
    std::uint64_t high = ulid.high >> 1;
    for (std::size_t second = 12; second > 0; second -= 2) {
        put_pair(second, high);
        high >>= 10;
    }
    text[0] = kCrockford[high & 31];
    return text;
}

FrameId frame_id() {
    FrameId id;
    write_prefixed_ulid("frm_", new_ulid(), id.chars.data());
    return id;
}

std::string trace_id() {
    std::string id(30, '\0');
    write_prefixed_ulid("trc_", new_ulid(), id.data());
    return id;
}

}  // namespace zelm
