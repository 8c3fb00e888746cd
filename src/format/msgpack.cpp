#include "format/msgpack.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <new>
#include <type_traits>

namespace zelm::msgpack {

// Each writer grows the buffer once, by the most its form may take, and
// writes through a Writer (msgpack.hpp), which picks the form.

void Buffer::grow_to(std::size_t needed) { reallocate(std::max(needed, 2 * capacity_)); }

void Buffer::reallocate(std::size_t capacity) {
    void* grown = std::realloc(data_, capacity);
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<std::uint8_t*>(grown);
    capacity_ = capacity;
}

void write_map_header(Buffer& out, std::uint32_t entries) {
    append(out, kMostHeader, [entries](Writer& writer) { writer.map_header(entries); });
}

void write_array_header(Buffer& out, std::uint32_t items) {
    append(out, kMostHeader, [items](Writer& writer) { writer.array_header(items); });
}

void write_str(Buffer& out, std::string_view text) {
    append(out, kMostHeader + text.size(), [text](Writer& writer) { writer.str(text); });
}

// bin8     0xc4 LL bytes               (L <= 255)
// bin16    0xc5 LLLL bytes             (L <= 65535)
// bin32    0xc6 LLLLLLLL bytes
void write_bin(Buffer& out, const std::uint8_t* data, std::size_t size) {
    append(out, kMostHeader + size, [data, size](Writer& writer) {
        writer.sized(size, 0xc4, 0xc5, 0xc6);
        writer.bytes(data, size);
    });
}

void write_uint(Buffer& out, std::uint64_t value) {
    append(out, kMostHeader, [value](Writer& writer) { writer.uint(value); });
}

void write_int(Buffer& out, std::int64_t value) {
    append(out, kMostHeader, [value](Writer& writer) { writer.integer(value); });
}

// nil      0xc0
void write_nil(Buffer& out) { out.push_back(0xc0); }

// false    0xc2, true 0xc3
void write_bool(Buffer& out, bool value) { out.push_back(value ? 0xc3 : 0xc2); }

void write_f64(Buffer& out, double value) {
    append(out, kMostHeader, [value](Writer& writer) { writer.f64(value); });
}

// float32  0xca + IEEE 754 binary32, big-endian
void write_f32(Buffer& out, float value) {
    append(out, kMostHeader, [value](Writer& writer) { writer.tagged(0xca, std::bit_cast<std::uint32_t>(value)); });
}

namespace {

// fixext1/2/4/8/16  0xd4/0xd5/0xd6/0xd7/0xd8 tt bytes  (L = 1, 2, 4, 8, 16)
// ext8     0xc7 LL tt bytes            (other L <= 255, including 0)
// ext16    0xc8 LLLL tt bytes          (L <= 65535)
// ext32    0xc9 LLLLLLLL tt bytes
void ext_header(Writer& writer, std::int8_t type, std::size_t size) {
    switch (size) {
        case 1: writer.byte(0xd4); break;
        case 2: writer.byte(0xd5); break;
        case 4: writer.byte(0xd6); break;
        case 8: writer.byte(0xd7); break;
        case 16: writer.byte(0xd8); break;
        default: writer.sized(size, 0xc7, 0xc8, 0xc9);
    }
    writer.byte(static_cast<std::uint8_t>(type));
}

}  // namespace

void write_ext(Buffer& out, std::int8_t type, const std::uint8_t* data, std::size_t size) {
    append(out, kMostHeader + size, [type, data, size](Writer& writer) {
        ext_header(writer, type, size);
        writer.bytes(data, size);
    });
}

void write_ext_header(Buffer& out, std::int8_t type, std::size_t size) {
    append(out, kMostHeader, [type, size](Writer& writer) { ext_header(writer, type, size); });
}

// The encoded bytes, never re-encoded.
void write_raw(Buffer& out, Bytes encoded) {
    append(out, encoded.size(), [encoded](Writer& writer) { writer.bytes(encoded.data(), encoded.size()); });
}

void write_str_pair(Buffer& out, std::string_view key, std::optional<std::string_view> value) {
    append(out, 2 * kMostHeader + key.size() + (value ? value->size() : 0), [key, value](Writer& writer) {
        writer.str(key);
        if (value) {
            writer.str(*value);
        } else {
            writer.nil();
        }
    });
}

void write_int_pair(Buffer& out, std::string_view key, std::optional<std::uint64_t> value) {
    append(out, 2 * kMostHeader + key.size(), [key, value](Writer& writer) {
        writer.str(key);
        if (value) {
            writer.uint(*value);
        } else {
            writer.nil();
        }
    });
}

void write_f64_pair(Buffer& out, std::string_view key, double value) {
    append(out, 2 * kMostHeader + key.size(), [key, value](Writer& writer) {
        writer.str(key);
        writer.f64(value);
    });
}

void write_raw_pair(Buffer& out, std::string_view key, Bytes value) {
    append(out, kMostHeader + key.size() + value.size(), [key, value](Writer& writer) {
        writer.str(key);
        writer.bytes(value.data(), value.size());
    });
}

namespace {

enum class Kind { scalar, str, bin, ext, array, map };

// What the format byte at the start of a value says about it.
struct Head {
    Kind kind = Kind::scalar;
    std::size_t header = 1;     // bytes before the payload or the children
    std::uint64_t payload = 0;  // bytes after the header (ext: type byte included)
    std::uint64_t count = 0;    // items of an array, entries of a map
};

// Reads a big-endian number of `width` bytes; the caller has checked that
// the bytes exist.
std::uint64_t read_be(const std::uint8_t* at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value = (value << 8) | at[i];
    return value;
}

// The head of the value at data[pos], pos < size; nullopt for the reserved
// byte 0xc1 and for a length field cut short. Payload and children are not
// looked at.
std::optional<Head> read_head(const std::uint8_t* data, std::size_t size, std::size_t pos) {
    const std::uint8_t tag = data[pos];
    Head head;
    std::size_t length_width = 0;  // width of a length field after the tag
    if (tag <= 0x7f || tag >= 0xe0) {
        return head;  // positive / negative fixint
    } else if (tag <= 0x8f) {
        head.kind = Kind::map;
        head.count = tag & 0x0f;
        return head;
    } else if (tag <= 0x9f) {
        head.kind = Kind::array;
        head.count = tag & 0x0f;
        return head;
    } else if (tag <= 0xbf) {
        head.kind = Kind::str;
        head.payload = tag & 0x1f;
        return head;
    }
    switch (tag) {
        case 0xc0: case 0xc2: case 0xc3: return head;
        case 0xc1: return std::nullopt;  // never used by the format
        case 0xc4: head.kind = Kind::bin; length_width = 1; break;
        case 0xc5: head.kind = Kind::bin; length_width = 2; break;
        case 0xc6: head.kind = Kind::bin; length_width = 4; break;
        case 0xc7: head.kind = Kind::ext; length_width = 1; break;
        case 0xc8: head.kind = Kind::ext; length_width = 2; break;
        case 0xc9: head.kind = Kind::ext; length_width = 4; break;
        case 0xca: head.payload = 4; return head;
        case 0xcb: head.payload = 8; return head;
        case 0xcc: case 0xd0: head.payload = 1; return head;
        case 0xcd: case 0xd1: head.payload = 2; return head;
        case 0xce: case 0xd2: head.payload = 4; return head;
        case 0xcf: case 0xd3: head.payload = 8; return head;
        // fixext: the type byte, then 1, 2, 4, 8 or 16 bytes
        case 0xd4: head.kind = Kind::ext; head.payload = 2; return head;
        case 0xd5: head.kind = Kind::ext; head.payload = 3; return head;
        case 0xd6: head.kind = Kind::ext; head.payload = 5; return head;
        case 0xd7: head.kind = Kind::ext; head.payload = 9; return head;
        case 0xd8: head.kind = Kind::ext; head.payload = 17; return head;
        case 0xd9: head.kind = Kind::str; length_width = 1; break;
        case 0xda: head.kind = Kind::str; length_width = 2; break;
        case 0xdb: head.kind = Kind::str; length_width = 4; break;
        case 0xdc: head.kind = Kind::array; length_width = 2; break;
        case 0xdd: head.kind = Kind::array; length_width = 4; break;
        case 0xde: head.kind = Kind::map; length_width = 2; break;
        default: head.kind = Kind::map; length_width = 4; break;  // 0xdf
    }
    if (length_width > size - pos - 1) return std::nullopt;
    const std::uint64_t length = read_be(data + pos + 1, length_width);
    head.header += length_width;
    if (head.kind == Kind::array || head.kind == Kind::map) {
        head.count = length;
    } else {
        // ext8/16/32: the type byte follows the length and counts as payload here
        head.payload = length + (head.kind == Kind::ext ? 1 : 0);
    }
    return head;
}

// Values that follow a container's head: its items, or a key and a value per entry.
std::uint64_t children(const Head& head) {
    return head.kind == Kind::map ? 2 * head.count : head.count;
}

// What msgpack-python's Timestamp accepts for ext type -1: 4 bytes of
// seconds; or 8 bytes, 30 bits of nanoseconds then 34 of seconds; or 12
// bytes, 32 bits of nanoseconds then 64 of seconds; nanoseconds below 1e9.
bool is_valid_timestamp(const std::uint8_t* data, std::uint64_t size) {
    constexpr std::uint64_t kNanosecondsPerSecond = 1'000'000'000;
    switch (size) {
        case 4: return true;
        case 8: return (read_be(data, 8) >> 34) < kNanosecondsPerSecond;
        case 12: return read_be(data, 4) < kNanosecondsPerSecond;
        default: return false;
    }
}

}  // namespace

std::optional<std::size_t> value_size(const std::uint8_t* data, std::size_t size) {
    // A structural skip needs no stack: containers only add to the number of
    // values still to be skipped. Every value takes at least one byte, so a
    // count above the bytes left is a truncation and is rejected at once;
    // this also keeps the count from overflowing on hostile headers.
    std::size_t pos = 0;
    std::size_t pending = 1;
    while (pending > 0) {
        if (pos >= size) return std::nullopt;
        --pending;
        const std::optional<Head> head = read_head(data, size, pos);
        if (!head) return std::nullopt;
        if (head->header > size - pos) return std::nullopt;
        pos += head->header;
        if (head->payload > size - pos) return std::nullopt;
        pos += static_cast<std::size_t>(head->payload);
        pending += static_cast<std::size_t>(children(*head));
        if (pending > size - pos) return std::nullopt;
    }
    return pos;
}

Check check_loadable(Bytes bytes) {
    const std::uint8_t* data = bytes.data();
    const std::size_t size = bytes.size();
    // Per open container, innermost last: the items (array) or entries (map)
    // still to come, and for a map whether its next value is an entry's value
    // rather than a key. Counts come from 32-bit fields. Left uninitialised:
    // a level is written when its container opens, before it is read.
    enum : std::uint8_t { kArray, kMapKeyNext, kMapValueNext };
    std::array<std::uint32_t, kMaxCheckedDepth> remaining;
    std::array<std::uint8_t, kMaxCheckedDepth> next;
    std::size_t depth = 0;
    std::size_t pos = 0;
    do {
        const std::size_t start = pos;
        bool is_key = false;
        if (depth > 0) {
            const std::size_t top = depth - 1;
            if (next[top] == kMapKeyNext) {
                is_key = true;
                next[top] = kMapValueNext;
            } else {
                if (next[top] == kMapValueNext) next[top] = kMapKeyNext;
                --remaining[top];
            }
        }
        if (pos >= size) return {Refusal::malformed, pos};
        const std::optional<Head> head = read_head(data, size, pos);
        if (!head) return {Refusal::malformed, start};
        if (is_key && head->kind != Kind::str && head->kind != Kind::bin) {
            return {Refusal::map_key_type, start};
        }
        if (head->header > size - pos) return {Refusal::malformed, start};
        pos += head->header;
        if (head->payload > size - pos) return {Refusal::malformed, start};
        const std::uint8_t* payload = data + pos;
        pos += static_cast<std::size_t>(head->payload);

        switch (head->kind) {
            case Kind::str:
                if (!is_valid_utf8({reinterpret_cast<const char*>(payload),
                                    static_cast<std::size_t>(head->payload)})) {
                    return {Refusal::invalid_utf8, start};
                }
                break;
            case Kind::ext:
                if (static_cast<std::int8_t>(payload[0]) == -1 &&
                    !is_valid_timestamp(payload + 1, head->payload - 1)) {
                    return {Refusal::invalid_timestamp, start};
                }
                break;
            case Kind::array:
            case Kind::map:
                if (depth == kMaxCheckedDepth) return {Refusal::too_deep, start};
                // Every value takes a byte at least: a longer count is a truncation.
                if (children(*head) > size - pos) return {Refusal::malformed, start};
                if (head->count > 0) {
                    remaining[depth] = static_cast<std::uint32_t>(head->count);
                    next[depth] = head->kind == Kind::map ? kMapKeyNext : kArray;
                    ++depth;
                }
                break;
            default:
                break;
        }
        while (depth > 0 && remaining[depth - 1] == 0) --depth;
    } while (depth > 0);
    if (pos != size) return {Refusal::trailing_bytes, pos};
    return {Refusal::none, pos};
}

const char* describe(Refusal refusal) {
    switch (refusal) {
        case Refusal::none: return "nothing wrong";
        case Refusal::malformed: return "a value cut short or malformed";
        case Refusal::trailing_bytes: return "more bytes after the value";
        case Refusal::invalid_utf8: return "a string that is not valid UTF-8";
        case Refusal::map_key_type: return "a map key that is neither a string nor bytes";
        case Refusal::too_deep: return "containers nested too deeply";
        case Refusal::invalid_timestamp: return "a timestamp (extension -1) that is not valid";
    }
    return "an unknown fault";
}

bool is_valid_utf8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::size_t size = text.size();
    constexpr std::uint64_t kHighBits = 0x8080808080808080u;
    std::size_t i = 0;
    for (;;) {
        // Most text is ASCII: 32 bytes, then 8, then one at a time while no
        // high bit is set.
        while (size - i >= 32) {
            std::uint64_t words[4];
            std::memcpy(words, bytes + i, 32);
            if ((words[0] | words[1] | words[2] | words[3]) & kHighBits) break;
            i += 32;
        }
        while (size - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, bytes + i, 8);
            if (word & kHighBits) break;
            i += 8;
        }
        while (i < size && bytes[i] < 0x80) ++i;
        if (i == size) return true;

        // A multi-byte sequence. The allowed range of the second byte narrows
        // for E0, ED, F0 and F4 so that overlong forms, surrogates and code
        // points above U+10FFFF are rejected (Unicode table 3-7).
        const std::uint8_t lead = bytes[i];
        std::size_t length;
        std::uint8_t second_low = 0x80;
        std::uint8_t second_high = 0xbf;
        if (lead >= 0xc2 && lead <= 0xdf) {
            length = 2;
        } else if (lead >= 0xe0 && lead <= 0xef) {
            length = 3;
            if (lead == 0xe0) second_low = 0xa0;
            if (lead == 0xed) second_high = 0x9f;
        } else if (lead >= 0xf0 && lead <= 0xf4) {
            length = 4;
            if (lead == 0xf0) second_low = 0x90;
            if (lead == 0xf4) second_high = 0x8f;
        } else {
            return false;
        }
        if (length > size - i) return false;
        if (bytes[i + 1] < second_low || bytes[i + 1] > second_high) return false;
        for (std::size_t k = 2; k < length; ++k) {
            if ((bytes[i + k] & 0xc0) != 0x80) return false;
        }
        i += length;
    }
}

}  // namespace zelm::msgpack
