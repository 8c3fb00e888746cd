// Wall-clock timestamps, ULIDs and the identifier texts built from them.
//
// Random bits come from a per-thread ChaCha12 generator seeded from
// getentropy(), reseeded after every 64 KiB of output and, via a
// pthread_atfork counter, before its first output after a fork (the rest of
// the block buffered before the fork is dropped), so a forked child never
// replays its parent's stream.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "format/errors.hpp"

namespace zelm {

// Seconds since the Unix epoch from CLOCK_REALTIME, with the clock's
// nanoseconds as fraction. Throws InternalError("System time is before unix epoch").
double timestamp();

struct Ulid {
    std::uint64_t high;  // 48 bits of milliseconds, then random bits 79..64
    std::uint64_t low;   // random bits 63..0
};

// Milliseconds since the epoch (0 before it, low 48 bits kept) and 80 random bits.
Ulid new_ulid();
// The canonical 26-character Crockford base-32 text, most significant first.
std::array<char, 26> ulid_text(const Ulid& ulid);

// "frm_" + ULID text, 30 characters, held inline so that making one never allocates.
struct FrameId {
    std::array<char, 30> chars;

    std::string_view view() const { return {chars.data(), chars.size()}; }
    bool operator==(const FrameId&) const = default;
};

FrameId frame_id();
// "trc_" + ULID text, 30 characters.
std::string trace_id();

// The ChaCha block function (original layout: 64-bit counter in words
// 12-13, 64-bit nonce in words 14-15), exposed for known-answer tests.
void chacha_block(const std::array<std::uint32_t, 8>& key, std::uint64_t counter,
                  std::uint64_t nonce, int rounds, std::array<std::uint8_t, 64>& out);

// A ChaCha12 stream used as a random generator. Not thread-safe: each
// thread owns one (see thread_rng()).
class ChaChaRng {
public:
    using Seed = std::array<std::uint8_t, 32>;
    // Fills `seed` with fresh entropy; false when none could be had.
    using SeedSource = bool (*)(Seed& seed);

    // Seeds from getentropy(); throws InternalError when no seed can be had.
    ChaChaRng();
    // Seeds and later reseeds from `source` instead of getentropy(), with the
    // same schedule; lets tests script the seeds and their failures.
    explicit ChaChaRng(SeedSource source);
    // Deterministic generator for tests; never reseeds from the OS.
    explicit ChaChaRng(const std::array<std::uint8_t, 32>& seed);

    std::uint32_t next_u32();
    std::uint64_t next_u64();  // two words, low word first

    // Bytes handed out since the last (re)seed; exposed for tests.
    std::uint64_t bytes_since_seed() const { return bytes_since_seed_; }

private:
    void set_key(const Seed& seed);
    void refill();
    void reseed();

    std::array<std::uint32_t, 8> key_{};
    std::uint64_t counter_ = 0;
    std::array<std::uint32_t, 16> block_{};
    unsigned index_ = 16;  // next unused word of block_
    std::uint64_t bytes_since_seed_ = 0;
    std::uint64_t fork_generation_ = 0;
    SeedSource seed_source_ = nullptr;  // null: fixed seed, never reseeded
};

// The calling thread's generator, created on first use.
ChaChaRng& thread_rng();

}  // namespace zelm
