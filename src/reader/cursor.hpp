// MessagePack read in place for the trace reader: values skipped without
// decoding, containers' counts, texts as views into the buffer, scalars.
// Positions are byte offsets; a value cut short throws Unreadable.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

namespace zelm::reader {

// The document's frame cannot be read here: the caller falls back to the
// full reader, which reports or salvages it.
struct Unreadable {
    const char* reason;
};

inline std::uint64_t big_endian(const std::uint8_t* bytes, int width) {
    std::uint64_t value = 0;
    for (int i = 0; i < width; ++i) value = (value << 8) | bytes[i];
    return value;
}

// MessagePack reading over one buffer; positions are byte offsets.
class Cursor {
public:
    Cursor(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::size_t size() const { return size_; }
    std::uint8_t peek(std::size_t pos) const {
        if (pos >= size_) throw Unreadable{"a value is cut short"};
        return data_[pos];
    }
    const std::uint8_t* at(std::size_t pos, std::size_t length) const {
        if (pos > size_ || length > size_ - pos) throw Unreadable{"a value is cut short"};
        return data_ + pos;
    }
    std::uint64_t number(std::size_t pos, int width) const { return big_endian(at(pos, width), width); }

    // The offset just past the value at pos, without decoding it.
    std::size_t skip(std::size_t pos) const {
        std::uint64_t pending = 1;
        while (pending) {
            std::uint8_t tag = peek(pos);
            --pending;
            if (tag <= 0x7f || tag >= 0xe0) {
                pos += 1;
            } else if (tag <= 0x8f) {
                pending += 2u * (tag & 0x0f);
                pos += 1;
            } else if (tag <= 0x9f) {
                pending += tag & 0x0f;
                pos += 1;
            } else if (tag <= 0xbf) {
                pos = advance(pos, 1 + (tag & 0x1f));
            } else {
                switch (tag) {
                    case 0xc0: case 0xc2: case 0xc3: pos += 1; break;
                    case 0xc4: case 0xd9: pos = advance(pos, 2 + number(pos + 1, 1)); break;
                    case 0xc5: case 0xda: pos = advance(pos, 3 + number(pos + 1, 2)); break;
                    case 0xc6: case 0xdb: pos = advance(pos, 5 + number(pos + 1, 4)); break;
                    case 0xc7: pos = advance(pos, 3 + number(pos + 1, 1)); break;
                    case 0xc8: pos = advance(pos, 4 + number(pos + 1, 2)); break;
                    case 0xc9: pos = advance(pos, 6 + number(pos + 1, 4)); break;
                    case 0xca: pos = advance(pos, 5); break;
                    case 0xcb: pos = advance(pos, 9); break;
                    case 0xcc: case 0xd0: pos = advance(pos, 2); break;
                    case 0xcd: case 0xd1: pos = advance(pos, 3); break;
                    case 0xce: case 0xd2: pos = advance(pos, 5); break;
                    case 0xcf: case 0xd3: pos = advance(pos, 9); break;
                    case 0xd4: pos = advance(pos, 3); break;
                    case 0xd5: pos = advance(pos, 4); break;
                    case 0xd6: pos = advance(pos, 6); break;
                    case 0xd7: pos = advance(pos, 10); break;
                    case 0xd8: pos = advance(pos, 18); break;
                    case 0xdc: pending += number(pos + 1, 2); pos = advance(pos, 3); break;
                    case 0xdd: pending += number(pos + 1, 4); pos = advance(pos, 5); break;
                    case 0xde: pending += 2 * number(pos + 1, 2); pos = advance(pos, 3); break;
                    case 0xdf: pending += 2 * number(pos + 1, 4); pos = advance(pos, 5); break;
                    default: throw Unreadable{"a reserved byte"};
                }
            }
            // Every pending value takes a byte at least.
            if (pending > size_ - std::min(pos, size_)) throw Unreadable{"a value is cut short"};
        }
        if (pos > size_) throw Unreadable{"a value is cut short"};
        return pos;
    }

    // The entry count of the map (or array) at pos, or -1 when another value is there.
    std::int64_t container(std::size_t& pos, bool map) const {
        std::uint8_t tag = peek(pos);
        std::uint8_t fix = map ? 0x80 : 0x90;
        std::uint8_t tag16 = map ? 0xde : 0xdc;
        if (tag >= fix && tag <= fix + 0x0f) {
            pos += 1;
            return tag - fix;
        }
        if (tag == tag16 || tag == tag16 + 1) {
            int width = tag == tag16 ? 2 : 4;
            std::int64_t count = static_cast<std::int64_t>(number(pos + 1, width));
            pos += 1 + width;
            return count;
        }
        return -1;
    }

    // The bytes of the string at pos (pos moved past it), or false for another value.
    bool text(std::size_t& pos, std::string_view& out) const {
        std::uint8_t tag = peek(pos);
        std::size_t head, length;
        if (tag >= 0xa0 && tag <= 0xbf) {
            head = 1, length = tag & 0x1f;
        } else if (tag == 0xd9) {
            head = 2, length = number(pos + 1, 1);
        } else if (tag == 0xda) {
            head = 3, length = number(pos + 1, 2);
        } else if (tag == 0xdb) {
            head = 5, length = number(pos + 1, 4);
        } else {
            return false;
        }
        out = std::string_view(reinterpret_cast<const char*>(at(pos + head, length)), length);
        pos += head + length;
        return true;
    }

    enum class Kind { Nil, Bool, Int, BigUint, Float, Text, Other };

    // What the value at pos is; integers and floats read into the outputs.
    Kind scalar(std::size_t pos, std::int64_t& integer, double& real) const {
        std::uint8_t tag = peek(pos);
        if (tag <= 0x7f) return integer = tag, Kind::Int;
        if (tag >= 0xe0) return integer = static_cast<std::int8_t>(tag), Kind::Int;
        if ((tag >= 0xa0 && tag <= 0xbf) || (tag >= 0xd9 && tag <= 0xdb)) return Kind::Text;
        switch (tag) {
            case 0xc0: return Kind::Nil;
            case 0xc2: case 0xc3: return Kind::Bool;
            case 0xcc: return integer = number(pos + 1, 1), Kind::Int;
            case 0xcd: return integer = number(pos + 1, 2), Kind::Int;
            case 0xce: return integer = number(pos + 1, 4), Kind::Int;
            case 0xcf: {
                std::uint64_t value = number(pos + 1, 8);
                if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                    real = static_cast<double>(value);
                    return Kind::BigUint;
                }
                return integer = static_cast<std::int64_t>(value), Kind::Int;
            }
            case 0xd0: return integer = static_cast<std::int8_t>(number(pos + 1, 1)), Kind::Int;
            case 0xd1: return integer = static_cast<std::int16_t>(number(pos + 1, 2)), Kind::Int;
            case 0xd2: return integer = static_cast<std::int32_t>(number(pos + 1, 4)), Kind::Int;
            case 0xd3: return integer = static_cast<std::int64_t>(number(pos + 1, 8)), Kind::Int;
            case 0xca: {
                std::uint32_t bits = static_cast<std::uint32_t>(number(pos + 1, 4));
                float value;
                std::memcpy(&value, &bits, sizeof value);
                return real = value, Kind::Float;
            }
            case 0xcb: {
                std::uint64_t bits = number(pos + 1, 8);
                std::memcpy(&real, &bits, sizeof real);
                return Kind::Float;
            }
            default: return Kind::Other;
        }
    }

private:
    std::size_t advance(std::size_t pos, std::uint64_t length) const {
        if (length > size_ - std::min(pos, size_)) throw Unreadable{"a value is cut short"};
        return pos + length;
    }

    const std::uint8_t* data_;
    std::size_t size_;
};

// Whether ``text`` is UTF-8 as Python's strict decoder takes it: no
// overlong forms, no surrogates, nothing beyond U+10FFFF.
inline bool valid_utf8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t size = text.size(), i = 0;
    while (i < size) {
        unsigned char lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length;
        std::uint32_t point;
        if (lead >= 0xc2 && lead <= 0xdf) {
            length = 2, point = lead & 0x1f;
        } else if (lead >= 0xe0 && lead <= 0xef) {
            length = 3, point = lead & 0x0f;
        } else if (lead >= 0xf0 && lead <= 0xf4) {
            length = 4, point = lead & 0x07;
        } else {
            return false;
        }
        if (length > size - i) return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((bytes[i + k] & 0xc0) != 0x80) return false;
            point = (point << 6) | (bytes[i + k] & 0x3f);
        }
        if (length == 3 && (point < 0x800 || (point >= 0xd800 && point <= 0xdfff))) return false;
        if (length == 4 && (point < 0x10000 || point > 0x10ffff)) return false;
        i += length;
    }
    return true;
}

// The record entries the readers look at, told by their keys.
enum class Field { OTHER, TYPE, EVENT, FRAME_ID, TIMESTAMP, THREAD_NATIVE_ID, THREAD, QUALNAME, CO_NAME, PATH, LOCALS };

inline Field field_of(std::string_view key) {
    switch (key.size()) {
        case 4: return key == "type" ? Field::TYPE : key == "path" ? Field::PATH : Field::OTHER;
        case 5: return key == "event" ? Field::EVENT : Field::OTHER;
        case 6: return key == "thread" ? Field::THREAD : key == "locals" ? Field::LOCALS : Field::OTHER;
        case 7: return key == "co_name" ? Field::CO_NAME : Field::OTHER;
        case 8: return key == "frame_id" ? Field::FRAME_ID : key == "qualname" ? Field::QUALNAME : Field::OTHER;
        case 9: return key == "timestamp" ? Field::TIMESTAMP : Field::OTHER;
        case 16: return key == "thread_native_id" ? Field::THREAD_NATIVE_ID : Field::OTHER;
        default: return Field::OTHER;
    }
}

}  // namespace zelm::reader
