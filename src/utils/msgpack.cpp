#include "utils/msgpack.hpp"

#include <bit>
#include <type_traits>

namespace zelm::msgpack {

namespace {

// Appends `value` most significant byte first, as every multi-byte number and
// length in the format is big-endian.
template <typename Unsigned>
void append_be(Buffer& out, Unsigned value) {
    static_assert(std::is_unsigned_v<Unsigned>);
    std::uint8_t bytes[sizeof(Unsigned)];
    for (std::size_t i = 0; i < sizeof(Unsigned); ++i) {
        bytes[i] = static_cast<std::uint8_t>(value >> (8 * (sizeof(Unsigned) - 1 - i)));
    }
    out.insert(out.end(), bytes, bytes + sizeof(Unsigned));
}

// One format byte followed by a big-endian length of the given width.
template <typename Unsigned>
void append_tagged(Buffer& out, std::uint8_t tag, Unsigned value) {
    out.push_back(tag);
    append_be(out, value);
}

void append_bytes(Buffer& out, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    out.insert(out.end(), bytes, bytes + size);
}

// Shared by map and array headers, whose forms differ only in their format bytes.
void write_container_header(Buffer& out, std::uint32_t count, std::uint8_t fix_base,
                            std::uint8_t tag16, std::uint8_t tag32) {
    if (count <= 15) {
        out.push_back(static_cast<std::uint8_t>(fix_base + count));
    } else if (count <= 0xffff) {
        append_tagged(out, tag16, static_cast<std::uint16_t>(count));
    } else {
        append_tagged(out, tag32, count);
    }
}

}  // namespace

// fixmap   1000nnnn                    (n <= 15)
// map16    0xde nnnn                   (n <= 65535)
// map32    0xdf nnnnnnnn
void write_map_header(Buffer& out, std::uint32_t entries) {
    write_container_header(out, entries, 0x80, 0xde, 0xdf);
}

// fixarray 1001nnnn                    (n <= 15)
// array16  0xdc nnnn                   (n <= 65535)
// array32  0xdd nnnnnnnn
void write_array_header(Buffer& out, std::uint32_t items) {
    write_container_header(out, items, 0x90, 0xdc, 0xdd);
}

// fixstr   101LLLLL bytes              (L <= 31)
// str8     0xd9 LL bytes               (L <= 255)
// str16    0xda LLLL bytes             (L <= 65535)
// str32    0xdb LLLLLLLL bytes
void write_str(Buffer& out, std::string_view text) {
    const std::size_t size = text.size();
    if (size <= 31) {
        out.push_back(static_cast<std::uint8_t>(0xa0 + size));
    } else if (size <= 0xff) {
        append_tagged(out, 0xd9, static_cast<std::uint8_t>(size));
    } else if (size <= 0xffff) {
        append_tagged(out, 0xda, static_cast<std::uint16_t>(size));
    } else {
        append_tagged(out, 0xdb, static_cast<std::uint32_t>(size));
    }
    append_bytes(out, text.data(), size);
}

// bin8     0xc4 LL bytes               (L <= 255)
// bin16    0xc5 LLLL bytes             (L <= 65535)
// bin32    0xc6 LLLLLLLL bytes
void write_bin(Buffer& out, const std::uint8_t* data, std::size_t size) {
    if (size <= 0xff) {
        append_tagged(out, 0xc4, static_cast<std::uint8_t>(size));
    } else if (size <= 0xffff) {
        append_tagged(out, 0xc5, static_cast<std::uint16_t>(size));
    } else {
        append_tagged(out, 0xc6, static_cast<std::uint32_t>(size));
    }
    append_bytes(out, data, size);
}

// positive fixint 0vvvvvvv             (v <= 127)
// uint8    0xcc vv                     (v <= 255)
// uint16   0xcd vvvv                   (v <= 65535)
// uint32   0xce vvvvvvvv               (v <= 4294967295)
// uint64   0xcf vvvvvvvvvvvvvvvv
void write_uint(Buffer& out, std::uint64_t value) {
    if (value <= 0x7f) {
        out.push_back(static_cast<std::uint8_t>(value));
    } else if (value <= 0xff) {
        append_tagged(out, 0xcc, static_cast<std::uint8_t>(value));
    } else if (value <= 0xffff) {
        append_tagged(out, 0xcd, static_cast<std::uint16_t>(value));
    } else if (value <= 0xffffffff) {
        append_tagged(out, 0xce, static_cast<std::uint32_t>(value));
    } else {
        append_tagged(out, 0xcf, value);
    }
}

// negative fixint 111vvvvv             (-32 <= v <= -1, two's complement)
// int8     0xd0 vv                     (-128 <= v)
// int16    0xd1 vvvv                   (-32768 <= v)
// int32    0xd2 vvvvvvvv               (-2147483648 <= v)
// int64    0xd3 vvvvvvvvvvvvvvvv
// Non-negative values take the unsigned forms above.
void write_int(Buffer& out, std::int64_t value) {
    if (value >= 0) {
        write_uint(out, static_cast<std::uint64_t>(value));
    } else if (value >= -32) {
        out.push_back(static_cast<std::uint8_t>(value));
    } else if (value >= INT8_MIN) {
        append_tagged(out, 0xd0, static_cast<std::uint8_t>(value));
    } else if (value >= INT16_MIN) {
        append_tagged(out, 0xd1, static_cast<std::uint16_t>(value));
    } else if (value >= INT32_MIN) {
        append_tagged(out, 0xd2, static_cast<std::uint32_t>(value));
    } else {
        append_tagged(out, 0xd3, static_cast<std::uint64_t>(value));
    }
}

// nil      0xc0
void write_nil(Buffer& out) { out.push_back(0xc0); }

// false    0xc2, true 0xc3
void write_bool(Buffer& out, bool value) { out.push_back(value ? 0xc3 : 0xc2); }

// float64  0xcb + IEEE 754 binary64, big-endian
void write_f64(Buffer& out, double value) {
    append_tagged(out, 0xcb, std::bit_cast<std::uint64_t>(value));
}

// float32  0xca + IEEE 754 binary32, big-endian
void write_f32(Buffer& out, float value) {
    append_tagged(out, 0xca, std::bit_cast<std::uint32_t>(value));
}

// fixext1/2/4/8/16  0xd4/0xd5/0xd6/0xd7/0xd8 tt bytes  (L = 1, 2, 4, 8, 16)
// ext8     0xc7 LL tt bytes            (other L <= 255, including 0)
// ext16    0xc8 LLLL tt bytes          (L <= 65535)
// ext32    0xc9 LLLLLLLL tt bytes
void write_ext(Buffer& out, std::int8_t type, const std::uint8_t* data, std::size_t size) {
    switch (size) {
        case 1: out.push_back(0xd4); break;
        case 2: out.push_back(0xd5); break;
        case 4: out.push_back(0xd6); break;
        case 8: out.push_back(0xd7); break;
        case 16: out.push_back(0xd8); break;
        default:
            if (size <= 0xff) {
                append_tagged(out, 0xc7, static_cast<std::uint8_t>(size));
            } else if (size <= 0xffff) {
                append_tagged(out, 0xc8, static_cast<std::uint16_t>(size));
            } else {
                append_tagged(out, 0xc9, static_cast<std::uint32_t>(size));
            }
    }
    out.push_back(static_cast<std::uint8_t>(type));
    append_bytes(out, data, size);
}

// The encoded bytes, never re-encoded.
void write_raw(Buffer& out, Bytes encoded) {
    out.insert(out.end(), encoded.begin(), encoded.end());
}

void write_value(Buffer& out, const Value& value) {
    // Trees are built by the record writers and are a few levels deep, so
    // plain recursion is bounded.
    struct Writer {
        Buffer& out;
        void operator()(std::monostate) const { write_nil(out); }
        void operator()(bool v) const { write_bool(out, v); }
        void operator()(std::uint64_t v) const { write_uint(out, v); }
        void operator()(std::int64_t v) const { write_int(out, v); }
        void operator()(float v) const { write_f32(out, v); }
        void operator()(double v) const { write_f64(out, v); }
        void operator()(const std::string& v) const {
            if (is_valid_utf8(v)) {
                write_str(out, v);
            } else {
                write_bin(out, reinterpret_cast<const std::uint8_t*>(v.data()), v.size());
            }
        }
        void operator()(const Bin& v) const { write_bin(out, v.data.data(), v.data.size()); }
        void operator()(const Array& items) const {
            write_array_header(out, static_cast<std::uint32_t>(items.size()));
            for (const auto& item : items) write_value(out, item);
        }
        void operator()(const Map& pairs) const {
            write_map_header(out, static_cast<std::uint32_t>(pairs.size()));
            for (const auto& [key, item] : pairs) {
                write_value(out, key);
                write_value(out, item);
            }
        }
        void operator()(const Ext& v) const { write_ext(out, v.type, v.data.data(), v.data.size()); }
    };
    std::visit(Writer{out}, value.data);
}

void write_str_pair(Buffer& out, std::string_view key, std::optional<std::string_view> value) {
    write_str(out, key);
    if (value) {
        write_str(out, *value);
    } else {
        write_nil(out);
    }
}

void write_int_pair(Buffer& out, std::string_view key, std::optional<std::uint64_t> value) {
    write_str(out, key);
    if (value) {
        write_uint(out, *value);
    } else {
        write_nil(out);
    }
}

void write_f64_pair(Buffer& out, std::string_view key, double value) {
    write_str(out, key);
    write_f64(out, value);
}

void write_raw_pair(Buffer& out, std::string_view key, Bytes value) {
    write_str(out, key);
    write_raw(out, value);
}

std::optional<std::size_t> value_size(const std::uint8_t* data, std::size_t size) {
    // A structural skip needs no stack: containers only add to the number of
    // values still to be skipped. Every value takes at least one byte, so a
    // count above the bytes left is a truncation and is rejected at once;
    // this also keeps the count from overflowing on hostile headers.
    std::size_t pos = 0;
    std::size_t pending = 1;

    // Reads a big-endian number of `width` bytes at `at`; the caller has
    // checked that the bytes exist.
    auto read_be = [data](std::size_t at, std::size_t width) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) value = (value << 8) | data[at + i];
        return value;
    };

    while (pending > 0) {
        if (pos >= size) return std::nullopt;
        const std::uint8_t tag = data[pos];
        --pending;

        std::size_t header = 1;  // bytes before the payload or the children
        std::uint64_t payload = 0;
        std::uint64_t children = 0;
        std::size_t length_width = 0;  // width of a length field after the tag
        bool length_is_children = false;
        std::uint64_t children_per_length = 1;

        if (tag <= 0x7f || tag >= 0xe0) {
            // positive / negative fixint
        } else if (tag <= 0x8f) {
            children = 2u * (tag & 0x0f);
        } else if (tag <= 0x9f) {
            children = tag & 0x0f;
        } else if (tag <= 0xbf) {
            payload = tag & 0x1f;
        } else {
            switch (tag) {
                case 0xc0: case 0xc2: case 0xc3: break;
                case 0xc1: return std::nullopt;  // never used by the format
                case 0xc4: length_width = 1; break;
                case 0xc5: length_width = 2; break;
                case 0xc6: length_width = 4; break;
                case 0xc7: length_width = 1; header = 2; break;  // + type byte
                case 0xc8: length_width = 2; header = 2; break;
                case 0xc9: length_width = 4; header = 2; break;
                case 0xca: payload = 4; break;
                case 0xcb: payload = 8; break;
                case 0xcc: case 0xd0: payload = 1; break;
                case 0xcd: case 0xd1: payload = 2; break;
                case 0xce: case 0xd2: payload = 4; break;
                case 0xcf: case 0xd3: payload = 8; break;
                case 0xd4: payload = 2; break;  // type byte + data
                case 0xd5: payload = 3; break;
                case 0xd6: payload = 5; break;
                case 0xd7: payload = 9; break;
                case 0xd8: payload = 17; break;
                case 0xd9: length_width = 1; break;
                case 0xda: length_width = 2; break;
                case 0xdb: length_width = 4; break;
                case 0xdc: length_width = 2; length_is_children = true; break;
                case 0xdd: length_width = 4; length_is_children = true; break;
                case 0xde:
                    length_width = 2; length_is_children = true; children_per_length = 2;
                    break;
                default:  // 0xdf
                    length_width = 4; length_is_children = true; children_per_length = 2;
                    break;
            }
        }

        if (length_width > 0) {
            if (length_width > size - pos - 1) return std::nullopt;
            const std::uint64_t length = read_be(pos + 1, length_width);
            header += length_width;
            if (length_is_children) {
                children = length * children_per_length;
            } else {
                payload = length;
            }
        }

        if (header > size - pos) return std::nullopt;
        pos += header;
        if (payload > size - pos) return std::nullopt;
        pos += static_cast<std::size_t>(payload);

        pending += static_cast<std::size_t>(children);
        if (pending > size - pos) return std::nullopt;
    }
    return pos;
}

bool is_valid_utf8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        const std::uint8_t lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        // The allowed range of the second byte narrows for E0, ED, F0 and F4
        // so that overlong forms, surrogates and code points above U+10FFFF
        // are rejected (Unicode table 3-7).
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
    return true;
}

}  // namespace zelm::msgpack
