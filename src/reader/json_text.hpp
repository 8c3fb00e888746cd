// Records written as JSON text straight from their MessagePack bytes, for
// `zelm export --format json`: the text Python's json module writes
// (ensure_ascii, ", " and ": ", no NaN) of a record decoded as the reader
// decodes it (zelm.serialize.values) and made JSON-safe by
// zelm.export.to_json_safe, byte for byte, without making a Python object.
//
// Only what maps onto JSON one way is written here: nil, booleans,
// integers, floats (as float.__repr__ writes them; a NaN or infinity as
// {"$repr": "nan"}), UTF-8 texts, bytes (as {"$repr": their repr}),
// arrays, maps with distinct text keys (a map whose one key is "$repr",
// "$tuple" or "$dict" as {"$dict": [[key, value]]}), and the repr and
// tuple extensions. A record holding anything else (keys that are not
// text or repeat, a text that is not strict UTF-8, another extension,
// nesting beyond MAX_DEPTH) is left to Python, which reads such values in
// ways not worth repeating here.
//
// Called with the GIL held (floats are written by CPython's own repr).
#pragma once

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "python/python.hpp"
#include "reader/cursor.hpp"

namespace zelm::reader {

// A record this code leaves to Python.
struct NotPlainJson {};

class JsonWriter {
public:
    explicit JsonWriter(std::string& out) : out_(out) {}

    // Writes the value at pos; returns the offset past it. Throws
    // NotPlainJson, or Unreadable for bytes that are no MessagePack.
    std::size_t value(const Cursor& cursor, std::size_t pos, int depth = 0) {
        if (depth > MAX_DEPTH) throw NotPlainJson{};
        const std::uint8_t tag = cursor.peek(pos);
        std::int64_t integer = 0;
        double real = 0.0;
        switch (cursor.scalar(pos, integer, real)) {
            case Cursor::Kind::Nil: out_ += "null"; return pos + 1;
            case Cursor::Kind::Bool: out_ += tag == 0xc3 ? "true" : "false"; return pos + 1;
            case Cursor::Kind::Int: number(integer); return cursor.skip(pos);
            case Cursor::Kind::BigUint: number(cursor.number(pos + 1, 8)); return pos + 9;
            case Cursor::Kind::Float: floating(real); return cursor.skip(pos);
            case Cursor::Kind::Text: {
                std::string_view content;
                cursor.text(pos, content);
                text(content);
                return pos;
            }
            case Cursor::Kind::Other: break;
        }
        std::size_t at = pos;
        if (std::int64_t items = cursor.container(at, false); items >= 0) return array(cursor, at, items, depth);
        at = pos;
        if (std::int64_t entries = cursor.container(at, true); entries >= 0) return map(cursor, at, entries, depth);
        if (tag >= 0xc4 && tag <= 0xc6) return bytes(cursor, pos);
        return extension(cursor, pos, depth);
    }

private:
    // The serializer nests values 20 deep by default; Python's readers
    // take deeper ones their own way.
    static constexpr int MAX_DEPTH = 200;
    // Extension codes (zelm.serialize.values): a repr, a tuple.
    static constexpr std::int8_t EXT_REPR = 1, EXT_TUPLE = 2;

    template <typename Integer>
    void number(Integer integer) {
        char digits[24];
        auto written = std::to_chars(digits, digits + sizeof digits, integer);
        out_.append(digits, written.ptr);
    }

    void floating(double real) {
        if (std::isnan(real)) {
            out_ += "{\"$repr\": \"nan\"}";
        } else if (std::isinf(real)) {
            out_ += real > 0 ? "{\"$repr\": \"inf\"}" : "{\"$repr\": \"-inf\"}";
        } else {
            char* repr = PyOS_double_to_string(real, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (repr == nullptr) throw PyErrorSet{};
            out_ += repr;
            PyMem_Free(repr);
        }
    }

    // A JSON string as json's ensure_ascii writes it: printable ASCII as
    // it is but for '"' and '\\', the usual short escapes, anything else
    // as \uXXXX in lowercase hex (a surrogate pair beyond U+FFFF).
    void text(std::string_view content) {
        static constexpr char HEX[] = "0123456789abcdef";
        const auto* bytes = reinterpret_cast<const unsigned char*>(content.data());
        const std::size_t size = content.size();
        out_ += '"';
        auto unit = [&](std::uint32_t code) {
            const char escaped[] = {'\\', 'u', HEX[(code >> 12) & 0xf], HEX[(code >> 8) & 0xf], HEX[(code >> 4) & 0xf],
                                    HEX[code & 0xf]};
            out_.append(escaped, sizeof escaped);
        };
        bool checked = false;
        for (std::size_t i = 0; i < size;) {
            unsigned char lead = bytes[i];
            auto plain = [](unsigned char byte) { return byte >= 0x20 && byte <= 0x7e && byte != '"' && byte != '\\'; };
            if (plain(lead)) {
                std::size_t run = i + 1;
                while (run < size && plain(bytes[run])) ++run;
                out_.append(content.data() + i, run - i);
                i = run;
                continue;
            }
            // The rest is checked once, at its first byte beyond ASCII.
            if (lead >= 0x80 && !checked && !(checked = valid_utf8(content.substr(i)))) throw NotPlainJson{};
            std::uint32_t code = lead;
            std::size_t length = 1;
            if (lead >= 0xf0) {
                code = lead & 0x07, length = 4;
            } else if (lead >= 0xe0) {
                code = lead & 0x0f, length = 3;
            } else if (lead >= 0xc0) {
                code = lead & 0x1f, length = 2;
            }
            for (std::size_t k = 1; k < length; ++k) code = (code << 6) | (bytes[i + k] & 0x3f);
            i += length;
            switch (code) {
                case '"': out_ += "\\\""; break;
                case '\\': out_ += "\\\\"; break;
                case '\b': out_ += "\\b"; break;
                case '\f': out_ += "\\f"; break;
                case '\n': out_ += "\\n"; break;
                case '\r': out_ += "\\r"; break;
                case '\t': out_ += "\\t"; break;
                default:
                    if (code >= 0x10000) {
                        code -= 0x10000;
                        unit(0xd800 | (code >> 10));
                        unit(0xdc00 | (code & 0x3ff));
                    } else {
                        unit(code);
                    }
            }
        }
        out_ += '"';
    }

    std::size_t array(const Cursor& cursor, std::size_t pos, std::int64_t items, int depth) {
        out_ += '[';
        for (std::int64_t item = 0; item < items; ++item) {
            if (item) out_ += ", ";
            pos = value(cursor, pos, depth + 1);
        }
        out_ += ']';
        return pos;
    }

    std::size_t map(const Cursor& cursor, std::size_t pos, std::int64_t entries, int depth) {
        std::vector<std::string_view> keys;
        keys.reserve(static_cast<std::size_t>(std::min<std::int64_t>(entries, 64)));
        std::size_t first = pos;
        for (std::int64_t entry = 0; entry < entries; ++entry) {
            std::string_view key;
            if (!cursor.text(pos, key)) throw NotPlainJson{};
            keys.push_back(key);
            pos = cursor.skip(pos);
        }
        if (!distinct(keys)) throw NotPlainJson{};  // a dict keeps one of them
        pos = first;
        // to_json_safe marks a dict whose one key is a marker's as a dict
        // of odd keys, so that it is not taken for the marker.
        const bool marked = entries == 1 && (keys[0] == "$repr" || keys[0] == "$tuple" || keys[0] == "$dict");
        out_ += marked ? "{\"$dict\": [[" : "{";
        for (std::int64_t entry = 0; entry < entries; ++entry) {
            if (entry) out_ += ", ";
            std::string_view key;
            cursor.text(pos, key);
            text(key);
            out_ += marked ? ", " : ": ";
            pos = value(cursor, pos, depth + 1);
        }
        out_ += marked ? "]]}" : "}";
        return pos;
    }

    static bool distinct(const std::vector<std::string_view>& keys) {
        if (keys.size() <= 16) {
            for (std::size_t i = 0; i < keys.size(); ++i) {
                if (std::find(keys.begin() + static_cast<std::ptrdiff_t>(i) + 1, keys.end(), keys[i]) != keys.end())
                    return false;
            }
            return true;
        }
        std::unordered_set<std::string_view> seen(keys.begin(), keys.end());
        return seen.size() == keys.size();
    }

    // Bytes as {"$repr": REPR}, REPR as bytes.__repr__ writes it: in single
    // quotes unless only single quotes are among the bytes, the quote and
    // the backslash escaped, \t \n \r, printable ASCII as it is, the
    // rest as \xNN. All ASCII, so only '"' and '\\' need escaping in JSON.
    std::size_t bytes(const Cursor& cursor, std::size_t pos) {
        const std::uint8_t tag = cursor.peek(pos);
        const int width = tag == 0xc4 ? 1 : tag == 0xc5 ? 2 : 4;
        const std::size_t length = cursor.number(pos + 1, width);
        const auto* data = cursor.at(pos + 1 + width, length);
        const std::uint8_t* end = data + length;
        const bool single = std::find(data, end, '\'') != end, dual = std::find(data, end, '"') != end;
        const char quote = single && !dual ? '"' : '\'';
        static constexpr char HEX[] = "0123456789abcdef";
        out_ += "{\"$repr\": \"b";
        out_ += quote == '"' ? "\\\"" : "'";
        for (const std::uint8_t* byte = data; byte != end; ++byte) {
            const std::uint8_t c = *byte;
            if (c == quote) {
                out_ += quote == '"' ? "\\\\\\\"" : "\\\\'";
            } else if (c == '\\') {
                out_ += "\\\\\\\\";
            } else if (c == '\t') {
                out_ += "\\\\t";
            } else if (c == '\n') {
                out_ += "\\\\n";
            } else if (c == '\r') {
                out_ += "\\\\r";
            } else if (c < 0x20 || c >= 0x7f) {
                const char escaped[] = {'\\', '\\', 'x', HEX[c >> 4], HEX[c & 0xf]};
                out_.append(escaped, sizeof escaped);
            } else if (c == '"') {
                out_ += "\\\"";
            } else {
                out_ += static_cast<char>(c);
            }
        }
        out_ += quote == '"' ? "\\\"\"}" : "'\"}";
        return pos + 1 + width + length;
    }

    // The repr extension as {"$repr": TEXT}; the tuple extension, whose
    // payload is one array, as {"$tuple": [ITEMS]}.
    std::size_t extension(const Cursor& cursor, std::size_t pos, int depth) {
        const std::uint8_t tag = cursor.peek(pos);
        std::size_t head, length;
        switch (tag) {
            case 0xd4: head = 1, length = 1; break;
            case 0xd5: head = 1, length = 2; break;
            case 0xd6: head = 1, length = 4; break;
            case 0xd7: head = 1, length = 8; break;
            case 0xd8: head = 1, length = 16; break;
            case 0xc7: head = 2, length = cursor.number(pos + 1, 1); break;
            case 0xc8: head = 3, length = cursor.number(pos + 1, 2); break;
            case 0xc9: head = 5, length = cursor.number(pos + 1, 4); break;
            default: throw NotPlainJson{};
        }
        const auto code = static_cast<std::int8_t>(cursor.peek(pos + head));
        const std::uint8_t* payload = cursor.at(pos + head + 1, length);
        const std::size_t end = pos + head + 1 + length;
        if (code == EXT_REPR) {
            out_ += "{\"$repr\": ";
            text(std::string_view(reinterpret_cast<const char*>(payload), length));
            out_ += '}';
            return end;
        }
        if (code != EXT_TUPLE) throw NotPlainJson{};
        // The reader makes a tuple of a payload that is exactly one array.
        const Cursor items(payload, length);
        std::size_t at = 0;
        std::int64_t count = items.container(at, false);
        if (count < 0 || items.skip(0) != length) throw NotPlainJson{};
        out_ += "{\"$tuple\": ";
        array(items, at, count, depth);
        out_ += '}';
        return end;
    }

    std::string& out_;
};

}  // namespace zelm::reader
