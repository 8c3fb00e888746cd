// MessagePack writers that append straight into a caller-owned byte buffer.
//
// Every writer picks the smallest form the format allows (fixmap before
// map16, positive fixint before uint8, ...); floats are always written as
// float64 (0xcb) and never narrowed. Multi-byte numbers are big-endian.
// Appending to a std::vector cannot fail short of memory exhaustion, so
// the writers return nothing.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelm::msgpack {

// A growable byte buffer with the parts of std::vector<std::uint8_t> the
// encoders use. Unlike a vector it hands out room past its end to be
// written first and counted afterwards (room, then set_end), with only the
// growth out of line: a writer of a small value is a capacity check, the
// bytes and a store. Grown bytes are left unwritten, not zeroed.
class Buffer {
public:
    using value_type = std::uint8_t;
    using iterator = std::uint8_t*;
    using const_iterator = const std::uint8_t*;

    Buffer() = default;
    explicit Buffer(std::size_t size) { resize(size); }
    Buffer(std::size_t size, std::uint8_t value) {
        resize(size);
        if (size != 0) std::memset(data_, value, size);
    }
    Buffer(std::initializer_list<std::uint8_t> bytes) { assign(bytes.begin(), bytes.end()); }
    template <std::forward_iterator Iterator>
    Buffer(Iterator first, Iterator last) {
        assign(first, last);
    }
    Buffer(const Buffer& other) { assign(other.begin(), other.end()); }
    Buffer(Buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    Buffer& operator=(const Buffer& other) {
        if (this != &other) assign(other.begin(), other.end());
        return *this;
    }
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ~Buffer() { std::free(data_); }

    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }
    std::uint8_t* data() { return data_; }
    const std::uint8_t* data() const { return data_; }
    iterator begin() { return data_; }
    iterator end() { return data_ + size_; }
    const_iterator begin() const { return data_; }
    const_iterator end() const { return data_ + size_; }
    std::uint8_t& operator[](std::size_t index) { return data_[index]; }
    std::uint8_t operator[](std::size_t index) const { return data_[index]; }
    std::uint8_t back() const { return data_[size_ - 1]; }

    void clear() { size_ = 0; }
    void reserve(std::size_t capacity) {
        if (capacity > capacity_) reallocate(capacity);
    }
    void resize(std::size_t size) {
        if (size > capacity_) grow_to(size);
        size_ = size;
    }
    void push_back(std::uint8_t byte) {
        *room(1) = byte;
        ++size_;
    }

    // Room for `more` bytes past the end, to be written and then counted
    // with set_end (which takes the end of what was written).
    std::uint8_t* room(std::size_t more) {
        if (capacity_ - size_ < more) [[unlikely]] {
            grow_to(size_ + more);
        }
        return data_ + size_;
    }
    void set_end(const std::uint8_t* end) { size_ = static_cast<std::size_t>(end - data_); }

    template <std::forward_iterator Iterator>
    void assign(Iterator first, Iterator last) {
        clear();
        insert(end(), first, last);
    }
    // Bytes from elsewhere: growing may move this buffer's own.
    template <std::forward_iterator Iterator>
    iterator insert(const_iterator at, Iterator first, Iterator last) {
        const auto offset = static_cast<std::size_t>(at - data_);
        const auto count = static_cast<std::size_t>(std::distance(first, last));
        if (count == 0) return data_ + offset;
        room(count);  // may move the bytes: `at` is an offset from here on
        std::memmove(data_ + offset + count, data_ + offset, size_ - offset);
        std::copy(first, last, data_ + offset);
        size_ += count;
        return data_ + offset;
    }
    iterator erase(const_iterator first, const_iterator last) {
        const auto offset = static_cast<std::size_t>(first - data_);
        const auto count = static_cast<std::size_t>(last - first);
        if (count == 0) return data_ + offset;
        std::memmove(data_ + offset, last, size_ - offset - count);
        size_ -= count;
        return data_ + offset;
    }

    friend bool operator==(const Buffer& left, const Buffer& right) {
        return left.size_ == right.size_ && (left.size_ == 0 || std::memcmp(left.data_, right.data_, left.size_) == 0);
    }

private:
    // At least doubles the capacity. Throws std::bad_alloc.
    void grow_to(std::size_t needed);
    void reallocate(std::size_t capacity);

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// The most bytes a header (format byte and length) or a scalar takes:
// uint64, int64 and float64 take nine.
inline constexpr std::size_t kMostHeader = 9;

// Writes into bytes made room for beforehand (see append below), without
// a capacity check per value: a record of a dozen values grows its buffer
// once instead of twice per value.
class Writer {
public:
    explicit Writer(std::uint8_t* at) : at_(at) {}
    std::uint8_t* end() const { return at_; }

    void byte(std::uint8_t value) { *at_++ = value; }
    void bytes(const void* data, std::size_t size) {
        if (size == 0) return;  // `data` may then be null, which memcpy must not get
        std::memcpy(at_, data, size);
        at_ += size;
    }
    template <std::size_t N>
    void bytes(const std::array<std::uint8_t, N>& encoded) {
        std::memcpy(at_, encoded.data(), N);
        at_ += N;
    }
    // A format byte and `value` big-endian, as every multi-byte number and
    // length in the format is.
    template <typename Unsigned>
    void tagged(std::uint8_t tag, Unsigned value) {
        byte(tag);
        for (std::size_t i = 0; i < sizeof(Unsigned); ++i) {
            byte(static_cast<std::uint8_t>(value >> (8 * (sizeof(Unsigned) - 1 - i))));
        }
    }

    // 0x80+n | 0xde n16 | 0xdf n32
    void map_header(std::uint32_t entries) { container_header(entries, 0x80, 0xde, 0xdf); }
    // 0x90+n | 0xdc n16 | 0xdd n32
    void array_header(std::uint32_t items) { container_header(items, 0x90, 0xdc, 0xdd); }
    // A length in the narrowest of the 8-, 16- and 32-bit forms, each with its format byte.
    void sized(std::size_t size, std::uint8_t tag8, std::uint8_t tag16, std::uint8_t tag32) {
        if (size <= 0xff) {
            tagged(tag8, static_cast<std::uint8_t>(size));
        } else if (size <= 0xffff) {
            tagged(tag16, static_cast<std::uint16_t>(size));
        } else {
            tagged(tag32, static_cast<std::uint32_t>(size));
        }
    }

    // 0xa0+L | 0xd9 L8 | 0xda L16 | 0xdb L32
    void str_header(std::size_t size) {
        if (size <= 31) {
            byte(static_cast<std::uint8_t>(0xa0 + size));
        } else {
            sized(size, 0xd9, 0xda, 0xdb);
        }
    }
    void str(std::string_view text) {
        str_header(text.size());
        bytes(text.data(), text.size());
    }
    // fixint | 0xcc u8 | 0xcd u16 | 0xce u32 | 0xcf u64
    void uint(std::uint64_t value) {
        if (value <= 0x7f) {
            byte(static_cast<std::uint8_t>(value));
        } else if (value <= 0xff) {
            tagged(0xcc, static_cast<std::uint8_t>(value));
        } else if (value <= 0xffff) {
            tagged(0xcd, static_cast<std::uint16_t>(value));
        } else if (value <= 0xffffffff) {
            tagged(0xce, static_cast<std::uint32_t>(value));
        } else {
            tagged(0xcf, value);
        }
    }
    // negative fixint | 0xd0 | 0xd1 | 0xd2 | 0xd3; non-negative values as uint
    void integer(std::int64_t value) {
        if (value >= 0) {
            uint(static_cast<std::uint64_t>(value));
        } else if (value >= -32) {
            byte(static_cast<std::uint8_t>(value));
        } else if (value >= INT8_MIN) {
            tagged(0xd0, static_cast<std::uint8_t>(value));
        } else if (value >= INT16_MIN) {
            tagged(0xd1, static_cast<std::uint16_t>(value));
        } else if (value >= INT32_MIN) {
            tagged(0xd2, static_cast<std::uint32_t>(value));
        } else {
            tagged(0xd3, static_cast<std::uint64_t>(value));
        }
    }
    void nil() { byte(0xc0); }
    // 0xcb and the IEEE 754 double
    void f64(double value) { tagged(0xcb, std::bit_cast<std::uint64_t>(value)); }

private:
    void container_header(std::uint32_t count, std::uint8_t fix_base, std::uint8_t tag16, std::uint8_t tag32) {
        if (count <= 15) {
            byte(static_cast<std::uint8_t>(fix_base + count));
        } else if (count <= 0xffff) {
            tagged(tag16, static_cast<std::uint16_t>(count));
        } else {
            tagged(tag32, count);
        }
    }

    std::uint8_t* at_;
};

// Grows `out` by `most` bytes, lets `write` fill them through a Writer,
// and gives back what it left unused. `write` must not write more.
template <typename Write>
void append(Buffer& out, std::size_t most, Write&& write) {
    Writer writer(out.room(most));
    write(writer);
    out.set_end(writer.end());
}

// A string literal as a template argument.
template <std::size_t N>
struct Literal {
    char text[N];
    consteval Literal(const char (&literal)[N]) { std::copy_n(literal, N, text); }
};

// Strs known when compiling (map keys, fixed values), encoded then: each
// one's fixstr header and bytes, back to back, ready to be copied whole.
template <Literal... Texts>
inline constexpr auto kEncodedStrs = [] {
    // A literal of N chars ends with a NUL in place of which the header goes.
    std::array<std::uint8_t, (sizeof(Texts.text) + ...)> encoded{};
    std::size_t at = 0;
    auto put = [&encoded, &at](const auto& literal) {
        constexpr std::size_t kSize = sizeof(literal.text) - 1;
        static_assert(kSize <= 31, "a fixstr holds up to 31 bytes");
        encoded[at++] = static_cast<std::uint8_t>(0xa0 + kSize);
        for (std::size_t i = 0; i < kSize; ++i) encoded[at++] = static_cast<std::uint8_t>(literal.text[i]);
    };
    (put(Texts), ...);
    return encoded;
}();

// 0x80+n | 0xde n16 | 0xdf n32
void write_map_header(Buffer& out, std::uint32_t entries);
// 0x90+n | 0xdc n16 | 0xdd n32
void write_array_header(Buffer& out, std::uint32_t items);
// 0xa0+L | 0xd9 L8 | 0xda L16 | 0xdb L32, then the bytes
void write_str(Buffer& out, std::string_view text);
// 0xc4 L8 | 0xc5 L16 | 0xc6 L32, then the bytes
void write_bin(Buffer& out, const std::uint8_t* data, std::size_t size);
// fixint | 0xcc u8 | 0xcd u16 | 0xce u32 | 0xcf u64
void write_uint(Buffer& out, std::uint64_t value);
// negative fixint | 0xd0 | 0xd1 | 0xd2 | 0xd3; non-negative values go to write_uint
void write_int(Buffer& out, std::int64_t value);
void write_nil(Buffer& out);
void write_bool(Buffer& out, bool value);
// 0xcb and the IEEE 754 double
void write_f64(Buffer& out, double value);
// 0xca and the IEEE 754 single
void write_f32(Buffer& out, float value);
// fixext1..16 | ext8 | ext16 | ext32: header, type tag, bytes
void write_ext(Buffer& out, std::int8_t type, const std::uint8_t* data, std::size_t size);
// The header and type tag alone, for a payload of `size` bytes written separately.
void write_ext_header(Buffer& out, std::int8_t type, std::size_t size);
using Bytes = std::span<const std::uint8_t>;

// Appends an already encoded value unchanged.
void write_raw(Buffer& out, Bytes encoded);

// One map entry each: the key as a string, then the value.
void write_str_pair(Buffer& out, std::string_view key, std::optional<std::string_view> value);
void write_int_pair(Buffer& out, std::string_view key, std::optional<std::uint64_t> value);
void write_f64_pair(Buffer& out, std::string_view key, double value);
// The key, then `value`'s bytes unchanged: one already encoded value.
void write_raw_pair(Buffer& out, std::string_view key, Bytes value);

// Size of the one complete MessagePack value at the start of `data`, or
// nullopt when `data` does not start with a complete, well-formed value.
// A structural skip: nothing is decoded into objects.
std::optional<std::size_t> value_size(const std::uint8_t* data, std::size_t size);

// True when `data` holds exactly one complete MessagePack value and nothing else.
inline bool is_single_value(Bytes data) {
    auto n = value_size(data.data(), data.size());
    return n && *n == data.size();
}

bool is_valid_utf8(std::string_view text);

// Containers a checked value may nest, an empty one included. Readers stop
// at 1024 (msgpack-python, the host's reader), and the trace document puts a
// value at most four containers deep: its map, the "frames" map, a thread's
// record array and the frame record.
inline constexpr std::size_t kMaxCheckedDepth = 1024 - 4;

// Why a reader would refuse a value.
enum class Refusal {
    none,
    malformed,          // truncated, or the reserved byte 0xc1
    trailing_bytes,     // more bytes after the one value
    invalid_utf8,       // a str whose bytes are not UTF-8
    map_key_type,       // a map key other than str or bin
    too_deep,           // more than kMaxCheckedDepth nested containers
    invalid_timestamp,  // an ext of type -1 that is no timestamp
};

struct Check {
    Refusal refusal;
    std::size_t offset;  // where the refused value starts (or the trailing bytes)
};

// Checks that `data` is exactly one MessagePack value that a default reader
// loads (msgpack-python's unpackb with its defaults: str decoded as strict
// UTF-8, map keys str or bin only, timestamps decoded). One pass, no
// allocation: nesting is tracked on a fixed stack of kMaxCheckedDepth levels.
Check check_loadable(Bytes data);

// A few words for a log message, e.g. "a string that is not valid UTF-8".
const char* describe(Refusal refusal);

}  // namespace zelm::msgpack
