// zelm._fastread: the call tree of stored trace documents, built straight
// from their MessagePack bytes for the viewer.
//
// Decoding a trace of a million records into dicts costs seconds and a
// gigabyte; the viewer's first screen needs none of the arguments and locals.
// index() reads of each record only the entries the call tree is made of
// (type, event, frame_id, timestamp, thread, thread_native_id, qualname,
// co_name, path, and where its locals are), remembers where the record's
// bytes are, and builds the same call tree as zelm.trace (pairing calls with
// returns per thread, unfinished calls, returns whose call the trace lacks,
// time as a running maximum, the segments of a coroutine or generator
// joined into one call), returned as flat arrays in depth-first order. The
// records are decoded one by one later, when a page asks for them.
//
// A record this code does not read with certainty (not a map, a key that is
// not UTF-8 text, a tree entry of an unusual type) is handed to the Python
// function passed in, which decodes it as the reader does and returns its
// tree entries; a document whose frame is not the expected one makes
// index() raise ValueError, and the caller then loads it the slow way.
//
// Everything here runs with the GIL held; every PyObject* is borrowed
// unless it is held by a PyRef.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "format/event_kind.hpp"
#include "python/python.hpp"
#include "reader/aggregate.hpp"
#include "reader/counts.hpp"
#include "reader/cursor.hpp"
#include "reader/json_text.hpp"

namespace zelm::reader {
namespace {

// A record whose tree entries only the full reader can tell.
struct SlowRecord {};

// Text -> number, for the few distinct texts of a trace's names, paths and
// types, looked up millions of times: open addressing over one array, with
// a hash cheap for short texts. The texts are views that outlive the table.
class TextTable {
public:
    TextTable() : slots_(64) {}

    // The number of ``text``, or -1.
    std::int32_t find(std::string_view text, std::uint64_t hash) const {
        for (std::size_t at = hash & (slots_.size() - 1);; at = (at + 1) & (slots_.size() - 1)) {
            const Slot& slot = slots_[at];
            if (slot.number < 0) return -1;
            if (slot.hash == hash && slot.text == text) return slot.number;
        }
    }

    void add(std::string_view text, std::uint64_t hash, std::int32_t number) {
        if (2 * (count_ + 1) > slots_.size()) grow();
        place(Slot{text, hash, number});
        ++count_;
    }

    static std::uint64_t hash(std::string_view text) {
        std::uint64_t value = 0xcbf29ce484222325ull ^ text.size();
        for (unsigned char byte : text) value = (value ^ byte) * 0x100000001b3ull;
        return value ^ (value >> 29);
    }

private:
    struct Slot {
        std::string_view text;
        std::uint64_t hash = 0;
        std::int32_t number = -1;
    };

    void place(const Slot& entry) {
        std::size_t at = entry.hash & (slots_.size() - 1);
        while (slots_[at].number >= 0) at = (at + 1) & (slots_.size() - 1);
        slots_[at] = entry;
    }

    void grow() {
        std::vector<Slot> old(2 * slots_.size());
        old.swap(slots_);
        for (const Slot& entry : old) {
            if (entry.number >= 0) place(entry);
        }
    }

    std::vector<Slot> slots_;
    std::size_t count_ = 0;
};

// A frame id as pairing compares it: nil, a text (its UTF-8 bytes, in the
// document or in a string the object table keeps) or any other value,
// numbered so that values Python finds equal share a number.
struct FrameId {
    bool text = false;
    std::int32_t other = 0;  // > 0 for a value that is neither nil nor text
    std::string_view bytes;

    bool none() const { return !text && other == 0; }
    bool operator==(const FrameId& that) const {
        return text == that.text && other == that.other && (!text || bytes == that.bytes);
    }
};

struct FrameIdHash {
    std::size_t operator()(const FrameId& id) const {
        return id.text ? TextTable::hash(id.bytes) : static_cast<std::size_t>(id.other) * 0x9e3779b97f4a7c15ull;
    }
};

// The frame ids that exception records name.
using FrameIdSet = std::unordered_set<FrameId, FrameIdHash>;

enum Event : std::uint8_t { OTHER_EVENT = 0, CALL = 1, RETURN = 2 };

// Index 0 of the object table: None, and "no text" for a name.
constexpr std::int32_t NONE = 0;

// The tree entries of one record; texts are indexes into the object table.
// Wide fields first, flags last: a big trace holds millions of these.
struct Record {
    std::uint64_t begin = 0, end = 0;  // its bytes in the document
    std::uint64_t locals_begin = 0, locals_end = 0;  // the bytes of "locals" in the document
    double time = 0.0;
    std::int64_t thread_id = 0;
    FrameId frame_id;
    std::int32_t document = 0;
    std::int32_t type = NONE;          // the text of "type"
    std::int32_t thread_name = -1;     // a non-empty text, or -1
    std::int32_t qualname = NONE;      // NONE when empty or missing
    std::int32_t co_name = NONE;
    std::int32_t path = NONE;          // the text of "path" as the reader shows it
    std::uint8_t event = OTHER_EVENT;
    bool frame = false;                // type == "frame"
    bool has_time = false;
    bool has_thread_id = false;
    bool has_locals = false;
};

// Python's min() and max() of two floats, first argument kept on ties and
// NaN, so that a NaN timestamp gives the reader's result.
double py_min(double current, double item) { return item < current ? item : current; }
double py_max(double current, double item) { return item > current ? item : current; }

class Indexer {
public:
    explicit Indexer(PyObject* slow_fields) : slow_fields_(slow_fields) {
        objects_ = require(PyList_New(0));
        require_status(PyList_Append(objects_.get(), Py_None));
        frame_others_ = require(PyDict_New());
        type_frame_ = intern("frame");
        type_exception_ = intern("exception");
        type_cut_ = intern("trace_cut");
        text_none_ = intern("None");
        text_empty_ = intern("");
        text_question_ = intern("?");
    }

    PyObject* objects() const { return objects_.get(); }

    // The text a field held last, and its number: most records repeat it.
    struct LastText {
        std::string_view text;
        std::int32_t number = -1;
    };

    std::int32_t intern(std::string_view text, LastText& last) {
        if (last.number >= 0 && text == last.text) return last.number;
        last = LastText{text, intern(text)};
        return last.number;
    }

    // The object table's index of a text; ``text`` must outlive the indexer.
    std::int32_t intern(std::string_view text) {
        std::uint64_t hash = TextTable::hash(text);
        std::int32_t known = texts_.find(text, hash);
        if (known >= 0) return known;
        PyRef object = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
        if (!object) {
            PyErr_Clear();
            throw SlowRecord{};
        }
        std::int32_t index = append(std::move(object));
        texts_.add(text, hash, index);
        return index;
    }

    // One document: its records appended, its buffers returned.
    struct Buffer {
        bool is_main = false;    // "frames_of_interest"
        std::int64_t key = 0;    // the thread id of a "frames" entry
        std::vector<std::int64_t> records;
    };

    void document(std::int32_t number, const Cursor& cursor, std::vector<Buffer>& buffers, PyObject* spans) {
        std::size_t pos = 0;
        std::int64_t entries = cursor.container(pos, true);
        if (entries < 0) throw Unreadable{"not a map"};
        bool seen_foi = false, seen_frames = false;
        std::vector<std::pair<std::string, std::pair<std::size_t, std::size_t>>> others;
        // The record arrays are read where they are, in one pass over the document.
        for (std::int64_t i = 0; i < entries; ++i) {
            std::string_view key;
            if (!cursor.text(pos, key) || !valid_utf8(key)) throw Unreadable{"a key that is not text"};
            if (key == "frames_of_interest") {
                if (seen_foi) throw Unreadable{"a repeated key"};
                seen_foi = true;
                buffers.push_back(Buffer{true, 0, records(number, cursor, pos)});
            } else if (key == "frames") {
                if (seen_frames) throw Unreadable{"a repeated key"};
                seen_frames = true;
                std::int64_t threads = cursor.container(pos, true);
                if (threads < 0) throw Unreadable{"\"frames\" is not a map"};
                for (std::int64_t thread = 0; thread < threads; ++thread) {
                    std::int64_t thread_key = 0;
                    double real;
                    if (cursor.scalar(pos, thread_key, real) != Cursor::Kind::Int) throw Unreadable{"a thread key that is no integer"};
                    pos = cursor.skip(pos);
                    buffers.push_back(Buffer{false, thread_key, records(number, cursor, pos)});
                }
            } else {
                std::size_t end = cursor.skip(pos);
                others.emplace_back(std::string(key), std::make_pair(pos, end));
                pos = end;
            }
        }
        if (pos != cursor.size()) throw Unreadable{"bytes after the document"};
        if (!seen_foi || !seen_frames) throw Unreadable{"no record arrays"};
        if (number == 0) facts(cursor, others, spans);
    }

    std::vector<Record> records_;
    bool has_main_ = false;
    std::int64_t main_thread_id_ = 0;
    bool has_timestamp_ = false;
    double timestamp_ = 0.0;

    std::int32_t type_frame_, type_exception_, type_cut_, text_none_, text_empty_, text_question_;

    // A frame record's code (its name, the one the tree shows, and its
    // file, as two text numbers) and the line its path names; line -1 when
    // the record has no name or its path is no "file:line".
    struct Located {
        std::uint64_t code = 0;
        std::int64_t line = -1;
    };

    Located located(const Record& record) {
        std::int32_t name = record.qualname != NONE ? record.qualname : record.co_name;
        if (name == NONE) return {};
        const PathLine& path = path_line(record.path);
        if (path.line < 0) return {};
        return {(static_cast<std::uint64_t>(static_cast<std::uint32_t>(name)) << 32) | static_cast<std::uint32_t>(path.file),
                path.line};
    }

private:
    struct PathLine {
        std::int32_t file = -1;
        std::int64_t line = -1;
        bool parsed = false;
    };

    // The file and line of a path text: the text before the last colon,
    // and after it one to nine ASCII digits. Parsed once per text.
    const PathLine& path_line(std::int32_t path) {
        if (static_cast<std::size_t>(path) >= paths_.size()) paths_.resize(static_cast<std::size_t>(path) + 1);
        if (paths_[path].parsed) return paths_[path];
        PathLine parsed;
        parsed.parsed = true;
        PyObject* text = PyList_GET_ITEM(objects_.get(), path);
        if (PyUnicode_Check(text)) {
            Py_ssize_t size = 0;
            const char* bytes = PyUnicode_AsUTF8AndSize(text, &size);
            if (bytes == nullptr) throw PyErrorSet{};
            std::string_view view(bytes, static_cast<std::size_t>(size));
            std::size_t colon = view.rfind(':');
            std::string_view digits = colon == std::string_view::npos ? std::string_view() : view.substr(colon + 1);
            if (!digits.empty() && digits.size() <= 9 &&
                std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
                parsed.line = 0;
                for (char digit : digits) parsed.line = 10 * parsed.line + (digit - '0');
                parsed.file = intern(view.substr(0, colon));
            }
        }
        paths_[path] = parsed;
        return paths_[path];
    }

    // The run's facts of the first document: the main thread id and the
    // timestamp read here; the span of every such entry for Python to decode.
    void facts(const Cursor& cursor, const std::vector<std::pair<std::string, std::pair<std::size_t, std::size_t>>>& others,
               PyObject* spans) {
        for (const auto& [key, span] : others) {
            PyRef name = require(PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), nullptr));
            PyRef value = require(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(span.first), static_cast<Py_ssize_t>(span.second)));
            require_status(PyDict_SetItem(spans, name.get(), value.get()));
            std::int64_t integer = 0;
            double real = 0.0;
            Cursor::Kind kind = cursor.scalar(span.first, integer, real);
            if (key == "main_thread_id") {
                if (kind == Cursor::Kind::Bool || kind == Cursor::Kind::BigUint) throw Unreadable{"an unusual main thread id"};
                has_main_ = kind == Cursor::Kind::Int;
                main_thread_id_ = integer;
            } else if (key == "timestamp") {
                has_timestamp_ = true;
                if (kind == Cursor::Kind::Int) {
                    timestamp_ = static_cast<double>(integer);
                } else if (kind == Cursor::Kind::Float || kind == Cursor::Kind::BigUint) {
                    timestamp_ = real;
                } else if (kind == Cursor::Kind::Bool) {
                    timestamp_ = cursor.peek(span.first) == 0xc3 ? 1.0 : 0.0;
                } else {
                    has_timestamp_ = false;
                }
            }
        }
    }

    std::vector<std::int64_t> records(std::int32_t number, const Cursor& cursor, std::size_t& pos) {
        std::int64_t count = cursor.container(pos, false);
        if (count < 0) throw Unreadable{"a record array that is not an array"};
        std::vector<std::int64_t> indexes;
        // A record takes a few dozen bytes at least; a count beyond that is only believed as it is read.
        std::size_t expected = std::min(static_cast<std::size_t>(count), (cursor.size() - std::min(pos, cursor.size())) / 32 + 1);
        indexes.reserve(expected);
        records_.reserve(records_.size() + expected);
        for (std::int64_t i = 0; i < count; ++i) {
            Record record;
            record.document = number;
            record.begin = pos;
            try {
                record.end = read_record(cursor, pos, record);
            } catch (const SlowRecord&) {
                record.end = cursor.skip(pos);
                slow_record(cursor, record);
            }
            indexes.push_back(static_cast<std::int64_t>(records_.size()));
            records_.push_back(record);
            pos = record.end;
        }
        return indexes;
    }

    // The tree entries of a map record whose keys are all UTF-8 texts; the
    // offset after the record.
    std::size_t read_record(const Cursor& cursor, std::size_t pos, Record& record) {
        std::int64_t entries = cursor.container(pos, true);
        if (entries < 0) throw SlowRecord{};
        record.type = text_none_;
        record.path = text_empty_;
        for (std::int64_t i = 0; i < entries; ++i) {
            std::string_view key;
            if (!cursor.text(pos, key)) throw SlowRecord{};
            std::size_t end = cursor.skip(pos);
            Field field = field_of(key);
            if (field == Field::LOCALS) {
                record.has_locals = true;
                record.locals_begin = pos, record.locals_end = end;
                pos = end;
                continue;
            }
            if (field == Field::OTHER) {
                // The keys of the tree are UTF-8 by their bytes; the others are checked.
                if (!valid_utf8(key)) throw SlowRecord{};
                pos = end;
                continue;
            }
            std::int64_t integer = 0;
            double real = 0.0;
            Cursor::Kind kind = cursor.scalar(pos, integer, real);
            std::string_view value;
            if (kind == Cursor::Kind::Text) cursor.text(pos, value);
            if (field == Field::TYPE) {
                record.type = kind == Cursor::Kind::Text ? intern(value, last_[0]) : kind == Cursor::Kind::Nil ? text_none_ : slow();
            } else if (field == Field::EVENT) {
                // Read back with the very texts the profiler writes.
                record.event = kind != Cursor::Kind::Text ? OTHER_EVENT
                               : value == event_name(zelm::Event::call) ? CALL
                               : value == event_name(zelm::Event::return_) ? RETURN
                               : OTHER_EVENT;
            } else if (field == Field::FRAME_ID) {
                if (kind == Cursor::Kind::Text) {
                    if (!valid_utf8(value)) slow();
                    record.frame_id = FrameId{true, 0, value};
                } else {
                    record.frame_id = kind == Cursor::Kind::Nil ? FrameId{} : (slow(), FrameId{});
                }
            } else if (field == Field::TIMESTAMP) {
                record.has_time = kind == Cursor::Kind::Int || kind == Cursor::Kind::Float || kind == Cursor::Kind::BigUint;
                record.time = kind == Cursor::Kind::Int ? static_cast<double>(integer) : real;
            } else if (field == Field::THREAD_NATIVE_ID) {
                if (kind == Cursor::Kind::BigUint) slow();
                record.has_thread_id = kind == Cursor::Kind::Int;
                record.thread_id = integer;
            } else if (field == Field::THREAD) {
                record.thread_name = kind == Cursor::Kind::Text && !value.empty() ? intern(value, last_[1]) : -1;
            } else if (field == Field::QUALNAME || field == Field::CO_NAME) {
                std::int32_t name = kind == Cursor::Kind::Text ? (value.empty() ? NONE : intern(value, last_[field == Field::QUALNAME ? 2 : 3]))
                                    : kind == Cursor::Kind::Nil || (kind == Cursor::Kind::Bool && cursor.peek(pos) == 0xc2) ? NONE
                                                                                                                       : slow();
                (field == Field::QUALNAME ? record.qualname : record.co_name) = name;
            } else if (field == Field::PATH) {
                record.path = kind == Cursor::Kind::Text ? intern(value, last_[4]) : kind == Cursor::Kind::Nil ? text_none_ : slow();
            }
            pos = end;
        }
        record.frame = record.type == type_frame_;
        return pos;
    }

    [[noreturn]] std::int32_t slow() { throw SlowRecord{}; }

    // The record's entries from the Python function: (type text, event
    // number, frame id key, time or None, thread id or None, thread name or
    // None, qualname or None, co_name or None, path text).
    void slow_record(const Cursor& cursor, Record& record) {
        Record fresh;
        fresh.document = record.document, fresh.begin = record.begin, fresh.end = record.end;
        record = fresh;
        const std::uint8_t* bytes = cursor.at(record.begin, record.end - record.begin);
        PyRef raw = require(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes),
                                                      static_cast<Py_ssize_t>(record.end - record.begin)));
        PyRef fields = require(PyObject_CallOneArg(slow_fields_, raw.get()));
        if (!PyTuple_Check(fields.get()) || PyTuple_GET_SIZE(fields.get()) != 9) {
            raise_error(PyExc_TypeError, "record fields must be a tuple of 9 entries");
        }
        PyObject** item = &PyTuple_GET_ITEM(fields.get(), 0);
        record.type = intern_object(item[0]);
        record.frame = record.type == type_frame_;
        record.event = static_cast<std::uint8_t>(require_long(item[1]));
        record.frame_id = frame_id_of(item[2]);
        if (item[3] != Py_None) {
            record.has_time = true;
            record.time = PyFloat_AsDouble(item[3]);
            if (record.time == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
        }
        if (item[4] != Py_None) {
            int overflow = 0;
            record.thread_id = PyLong_AsLongLongAndOverflow(item[4], &overflow);
            if (record.thread_id == -1 && PyErr_Occurred()) throw PyErrorSet{};
            if (overflow) throw Unreadable{"a thread id beyond 64 bits"};
            record.has_thread_id = true;
        }
        record.thread_name = item[5] == Py_None ? -1 : intern_object(item[5]);
        record.qualname = item[6] == Py_None ? NONE : intern_object(item[6]);
        record.co_name = item[7] == Py_None ? NONE : intern_object(item[7]);
        record.path = intern_object(item[8]);
        find_locals(cursor, record);
    }

    // Where the value of the last "locals" key of a map record is, as the
    // reader's dict keeps the last of repeated keys.
    static void find_locals(const Cursor& cursor, Record& record) {
        std::size_t pos = record.begin;
        std::int64_t entries = cursor.container(pos, true);
        for (std::int64_t i = 0; i < entries; ++i) {
            std::string_view key;
            bool text = cursor.text(pos, key);
            if (!text) pos = cursor.skip(pos);
            std::size_t end = cursor.skip(pos);
            if (text && key == "locals") {
                record.has_locals = true;
                record.locals_begin = pos, record.locals_end = end;
            }
            pos = end;
        }
    }

    static long require_long(PyObject* object) {
        long value = PyLong_AsLong(object);
        if (value == -1 && PyErr_Occurred()) throw PyErrorSet{};
        return value;
    }

    // The UTF-8 bytes of a str, kept alive by the indexer.
    std::string_view kept_text(PyObject* object) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(object, &size);
        if (text == nullptr) throw PyErrorSet{};
        kept_.push_back(PyRef::from_borrowed(object));
        return std::string_view(text, static_cast<std::size_t>(size));
    }

    // A str from Python shares the table with the texts read here.
    std::int32_t intern_object(PyObject* object) {
        if (!PyUnicode_Check(object)) raise_error(PyExc_TypeError, "record fields must be texts");
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(object, &size);
        if (text == nullptr) throw PyErrorSet{};
        std::string_view view(text, static_cast<std::size_t>(size));
        std::uint64_t hash = TextTable::hash(view);
        std::int32_t known = texts_.find(view, hash);
        if (known >= 0) return known;
        std::int32_t index = append(PyRef::from_borrowed(object));
        texts_.add(view, hash, index);
        return index;
    }

    // Frame ids of other types than text are told apart by Python equality.
    FrameId frame_id_of(PyObject* object) {
        if (object == Py_None) return FrameId{};
        if (PyUnicode_Check(object)) return FrameId{true, 0, kept_text(object)};
        PyObject* known = PyDict_GetItemWithError(frame_others_.get(), object);
        if (known != nullptr) return FrameId{false, static_cast<std::int32_t>(require_long(known)), {}};
        if (PyErr_Occurred()) throw PyErrorSet{};
        std::int32_t number = static_cast<std::int32_t>(PyDict_GET_SIZE(frame_others_.get())) + 1;
        PyRef value = require(PyLong_FromLong(number));
        require_status(PyDict_SetItem(frame_others_.get(), object, value.get()));
        return FrameId{false, number, {}};
    }

    std::int32_t append(PyRef object) {
        std::int32_t index = static_cast<std::int32_t>(PyList_GET_SIZE(objects_.get()));
        require_status(PyList_Append(objects_.get(), object.get()));
        return index;
    }

    PyObject* slow_fields_;
    PyRef objects_;
    PyRef frame_others_;
    // Text -> object table index; the views point into the documents, into
    // strings of the table or into string literals.
    TextTable texts_;
    LastText last_[5];  // type, thread, qualname, co_name, path
    std::vector<PyRef> kept_;
    std::vector<PathLine> paths_;  // by the path's text number
};

// ---- the call tree ----

// A node of one thread's tree; children are a list linked through "next".
struct Node {
    bool call = true;
    std::int64_t call_record = -1, return_record = -1;  // a plugin node: its record in call_record
    std::int64_t exception_record = -1;                 // the call was left by raising
    double start = 0.0, end = 0.0;
    FrameId frame_id;
    std::int32_t first_child = -1, last_child = -1, next = -1;
    // A call joined from segments: where they are in the thread's list.
    std::int32_t segment_first = -1, segment_count = 0;
    double running = 0.0;
};

// One time a coroutine or generator ran, from a call record to a return.
struct Segment {
    double start = 0.0, end = 0.0;
    std::int64_t call_record = -1, return_record = -1, exception_record = -1;
};

struct Children {
    std::int32_t first = -1, last = -1;
};

struct Thread {
    bool has_id = false;
    std::int64_t id = 0;
    std::int32_t name = -1;
    std::vector<std::int64_t> records;
    std::vector<Node> nodes;
    std::vector<Segment> segments;
    Children roots;
    bool not_main = true;
    double first_time = 0.0;
};

// One thread's records as zelm.trace builds them into a tree.
//
// An exception record that follows the return of a call with its frame id
// belongs to that call; any other one is a plugin record. Only the frame
// ids in ``excepted`` can be named by one, so only those returns are kept.
void build_tree(const std::vector<Record>& records, Thread& thread, double trace_start, double trace_end,
                std::int32_t type_exception, const FrameIdSet& excepted) {
    std::unordered_map<FrameId, std::int32_t, FrameIdHash> returned;
    auto note_return = [&](std::int32_t node) {
        const FrameId& id = thread.nodes[node].frame_id;
        if (!excepted.empty() && !id.none() && excepted.count(id)) returned[id] = node;
    };
    std::vector<std::int32_t> open;
    auto& nodes = thread.nodes;
    auto& roots = thread.roots;
    double clock = trace_start;
    bool any_time = false;
    double first_time = trace_start;
    for (std::int64_t index : thread.records) {
        const Record& record = records[index];
        if (!record.has_time) continue;
        first_time = any_time ? py_min(first_time, record.time) : record.time;
        any_time = true;
    }
    nodes.reserve(thread.records.size() / 2 + 1);
    auto place = [&](std::int32_t node) {
        std::int32_t& first = open.empty() ? roots.first : nodes[open.back()].first_child;
        std::int32_t& last = open.empty() ? roots.last : nodes[open.back()].last_child;
        (last < 0 ? first : nodes[last].next) = node;
        last = node;
    };
    auto close = [&](std::int32_t node, double end, std::int64_t return_record) {
        nodes[node].end = py_max(end, nodes[node].start);
        nodes[node].return_record = return_record;
        if (return_record >= 0) note_return(node);
    };
    for (std::int64_t index : thread.records) {
        const Record& record = records[index];
        if (record.type == type_exception && !returned.empty()) {
            auto found = returned.find(record.frame_id);
            if (found != returned.end()) {
                nodes[found->second].exception_record = index;
                returned.erase(found);
                continue;
            }
        }
        if (!record.frame) {
            Node node;
            node.call = false;
            node.call_record = index;
            node.start = node.end = record.has_time ? record.time : clock;
            nodes.push_back(std::move(node));
            place(static_cast<std::int32_t>(nodes.size() - 1));
            continue;
        }
        if (record.has_time) clock = py_max(clock, record.time);
        if (record.event == CALL) {
            Node node;
            node.call_record = index;
            node.start = node.end = clock;
            node.frame_id = record.frame_id;
            nodes.push_back(std::move(node));
            std::int32_t id = static_cast<std::int32_t>(nodes.size() - 1);
            place(id);
            open.push_back(id);
        } else if (record.event == RETURN) {
            std::int64_t position = -1;
            if (!record.frame_id.none()) {
                for (std::int64_t i = static_cast<std::int64_t>(open.size()) - 1; i >= 0; --i) {
                    if (nodes[open[i]].frame_id == record.frame_id) {
                        position = i;
                        break;
                    }
                }
            }
            // Calls above the returning one lost their return records: they ended by now.
            while (static_cast<std::int64_t>(open.size()) > position + 1) {
                close(open.back(), clock, -1);
                open.pop_back();
            }
            if (position >= 0) {
                close(open.back(), clock, index);
                open.pop_back();
            } else {
                // The call happened before the trace began: it encloses
                // everything this thread recorded so far.
                double start = first_time;
                for (std::int32_t root = roots.first; root >= 0; root = nodes[root].next) {
                    if (nodes[root].call) start = py_min(start, nodes[root].start);
                }
                Node caller;
                caller.return_record = index;
                caller.frame_id = record.frame_id;
                caller.start = start;
                caller.end = clock;
                caller.first_child = roots.first, caller.last_child = roots.last;
                nodes.push_back(caller);
                roots.first = roots.last = static_cast<std::int32_t>(nodes.size() - 1);
                note_return(roots.first);
            }
        }
    }
    while (!open.empty()) {
        close(open.back(), py_max(trace_end, clock), -1);
        open.pop_back();
    }
}

// The bytes of a record's locals, empty for a record without them.
std::string_view locals_bytes(const std::vector<Py_buffer>& documents, const Record& record) {
    if (!record.has_locals) return {};
    return std::string_view(static_cast<const char*>(documents[record.document].buf) + record.locals_begin,
                            record.locals_end - record.locals_begin);
}

// Whether the MessagePack value that starts with `tag` is nil, a bool, a
// number, a text or bytes: what zelm.trace keeps as a stable value.
bool scalar_tag(std::uint8_t tag) {
    return tag <= 0x7f || tag >= 0xe0 || (tag >= 0xa0 && tag <= 0xbf) || tag == 0xc0 || tag == 0xc2 || tag == 0xc3 ||
           (tag >= 0xc4 && tag <= 0xc6) || (tag >= 0xca && tag <= 0xd3) || (tag >= 0xd9 && tag <= 0xdb);
}

// The part of a record's locals that stays while its frame is suspended,
// as zelm.trace._stable_key takes it: each name and value's bytes when it
// is a scalar, else a byte no value starts with; none when the locals are
// no map.
std::optional<std::string> stable_locals(const std::vector<Py_buffer>& documents, const Record& record) {
    std::string_view bytes = locals_bytes(documents, record);
    if (bytes.empty()) return std::nullopt;
    const Cursor cursor(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    std::size_t pos = 0;
    std::int64_t entries = cursor.container(pos, true);
    if (entries < 0) return std::nullopt;
    std::string stable;
    for (std::int64_t i = 0; i < 2 * entries; ++i) {
        std::size_t end = cursor.skip(pos);
        if (scalar_tag(cursor.peek(pos))) {
            stable.append(bytes.substr(pos, end - pos));
        } else {
            stable.push_back(static_cast<char>(0xc1));
        }
        pos = end;
    }
    return stable;
}

// The calls left at one line of one code and not resumed since, by their
// first segment and the return that left them; which one a resume takes
// is told as zelm.trace._Waiting.resumed_by tells it. The locals' keys are
// made only when a resume has to choose.
class WaitingCalls {
public:
    WaitingCalls(const std::vector<Record>& records, const std::vector<Py_buffer>& documents)
        : records_(&records), documents_(&documents) {}

    void add(std::int32_t first, std::int64_t return_record) {
        calls_[first] = return_record;
        pending_exact_.push_back(first);
        pending_stable_.push_back(first);
    }

    bool empty() const { return calls_.empty(); }

    // The first segment of the call a resume (the call record `resume`)
    // continues, taken out; -1 for none.
    std::int32_t resumed_by(const Record& resume) {
        std::int32_t found = -1;
        if (calls_.size() > 1) {
            const std::unordered_set<std::int32_t>* ids = find_exact(resume);
            if (ids == nullptr || ids->empty()) ids = find_stable(resume);
            if (ids == nullptr || ids->size() != 1) {
                clear();
                return -1;
            }
            found = *ids->begin();
        } else if (calls_.size() == 1) {
            found = calls_.begin()->first;
        } else {
            return -1;
        }
        if (auto key = exact_key_.find(found); key != exact_key_.end()) {
            by_exact_[key->second].erase(found);
            exact_key_.erase(key);
        }
        if (auto key = stable_key_.find(found); key != stable_key_.end()) {
            by_stable_[key->second].erase(found);
            stable_key_.erase(key);
        }
        calls_.erase(found);
        return found;
    }

private:
    const Record& left_by(std::int32_t first) const { return (*records_)[calls_.at(first)]; }

    const std::unordered_set<std::int32_t>* find_exact(const Record& resume) {
        for (std::int32_t first : pending_exact_) {
            if (!calls_.count(first)) continue;
            std::string_view key = locals_bytes(*documents_, left_by(first));
            exact_key_[first] = key;
            by_exact_[key].insert(first);
        }
        pending_exact_.clear();
        auto found = by_exact_.find(locals_bytes(*documents_, resume));
        return found == by_exact_.end() ? nullptr : &found->second;
    }

    const std::unordered_set<std::int32_t>* find_stable(const Record& resume) {
        for (std::int32_t first : pending_stable_) {
            if (!calls_.count(first)) continue;
            std::optional<std::string> key = stable_locals(*documents_, left_by(first));
            if (!key) continue;
            by_stable_[*key].insert(first);
            stable_key_[first] = std::move(*key);
        }
        pending_stable_.clear();
        std::optional<std::string> wanted = stable_locals(*documents_, resume);
        if (!wanted) return nullptr;
        auto found = by_stable_.find(*wanted);
        return found == by_stable_.end() ? nullptr : &found->second;
    }

    void clear() {
        calls_.clear(), exact_key_.clear(), by_exact_.clear(), stable_key_.clear(), by_stable_.clear();
        pending_exact_.clear(), pending_stable_.clear();
    }

    const std::vector<Record>* records_;
    const std::vector<Py_buffer>* documents_;
    std::unordered_map<std::int32_t, std::int64_t> calls_;
    std::unordered_map<std::int32_t, std::string_view> exact_key_;
    std::unordered_map<std::string_view, std::unordered_set<std::int32_t>> by_exact_;
    std::unordered_map<std::int32_t, std::string> stable_key_;
    std::unordered_map<std::string, std::unordered_set<std::int32_t>> by_stable_;
    std::vector<std::int32_t> pending_exact_, pending_stable_;
};

// The segments of each coroutine or generator joined into one call, as
// zelm.trace._group_resumes joins them (its docstring says which call
// record resumes which segment): the call stays where its first segment
// is, and the children of all its segments become its own, in order.
void group_resumes(Indexer& indexer, const std::vector<Record>& records, const std::vector<Py_buffer>& documents,
                   Thread& thread) {
    // Only a code called at several lines can have resumes.
    std::unordered_map<std::uint64_t, std::pair<std::int64_t, std::int64_t>> call_lines;
    bool several_lines = false;
    for (std::int64_t index : thread.records) {
        const Record& record = records[index];
        if (!record.frame || record.event != CALL) continue;
        Indexer::Located located = indexer.located(record);
        if (located.line < 0) continue;
        auto [lines, added] = call_lines.emplace(located.code, std::make_pair(located.line, located.line));
        if (added) continue;
        lines->second.first = std::min(lines->second.first, located.line);
        lines->second.second = std::max(lines->second.second, located.line);
        several_lines = several_lines || lines->second.first != lines->second.second;
    }
    if (!several_lines) return;

    auto& nodes = thread.nodes;
    struct Place {
        std::uint64_t code;
        std::int64_t line;
        bool operator==(const Place& that) const { return code == that.code && line == that.line; }
    };
    struct PlaceHash {
        std::size_t operator()(const Place& place) const {
            return static_cast<std::size_t>(place.code * 0x9e3779b97f4a7c15ull ^ static_cast<std::uint64_t>(place.line));
        }
    };
    std::unordered_map<Place, WaitingCalls, PlaceHash> suspended;
    std::unordered_set<Place, PlaceHash> starts;  // where fresh calls were seen
    std::vector<std::int32_t> head(nodes.size(), -1);  // -1: the node is a first segment
    std::vector<std::vector<std::int32_t>> pieces(nodes.size());  // of first segments
    std::vector<Children> children(nodes.size());
    Children roots;
    auto link = [&](Children& list, std::int32_t node) {
        (list.last < 0 ? list.first : nodes[list.last].next) = node;
        list.last = node;
        nodes[node].next = -1;
    };
    auto first_of = [&](std::int32_t node) { return head[node] < 0 ? node : head[node]; };

    auto enter = [&](std::int32_t node, std::int32_t parent) {
        const Node& segment = nodes[node];
        if (segment.call && segment.call_record >= 0) {
            const Record& call = records[segment.call_record];
            Indexer::Located located = indexer.located(call);
            Place place{located.code, located.line};
            if (located.line >= 0 && !starts.count(place)) {
                auto found = suspended.find(place);
                std::int32_t resumed = -1;
                if (found == suspended.end() || found->second.empty()) {
                    starts.insert(place);
                } else {
                    resumed = found->second.resumed_by(call);
                }
                if (resumed >= 0) {
                    head[node] = resumed;
                    pieces[resumed].push_back(node);
                    return;
                }
            }
            pieces[node].push_back(node);
        }
        link(parent < 0 ? roots : children[first_of(parent)], node);
    };
    auto leave = [&](std::int32_t node) {
        const Node& segment = nodes[node];
        std::int32_t first = first_of(node);
        if (segment.return_record < 0 || segment.exception_record >= 0 || pieces[first].empty()) return;
        Indexer::Located code = indexer.located(records[nodes[first].call_record]);
        Indexer::Located returned_at = indexer.located(records[segment.return_record]);
        if (code.line >= 0 && returned_at.line >= 0) {
            suspended.try_emplace(Place{code.code, returned_at.line}, records, documents)
                .first->second.add(first, segment.return_record);
        }
    };

    // Depth first over the tree as built, with each node's leaving.
    struct Step {
        bool leaving;
        std::int32_t node, parent;
    };
    std::vector<Step> pending;
    std::vector<std::int32_t> order;
    for (std::int32_t root = thread.roots.first; root >= 0; root = nodes[root].next) order.push_back(root);
    for (auto it = order.rbegin(); it != order.rend(); ++it) pending.push_back({false, *it, -1});
    while (!pending.empty()) {
        Step step = pending.back();
        pending.pop_back();
        if (step.leaving) {
            leave(step.node);
            continue;
        }
        // The children as built, read before enter() links the node anew.
        order.clear();
        for (std::int32_t child = nodes[step.node].first_child; child >= 0; child = nodes[child].next) order.push_back(child);
        enter(step.node, step.parent);
        if (nodes[step.node].call) {
            pending.push_back({true, step.node, step.parent});
            for (auto it = order.rbegin(); it != order.rend(); ++it) pending.push_back({false, *it, step.node});
        }
    }

    thread.roots = roots;
    for (std::size_t node = 0; node < nodes.size(); ++node) {
        nodes[node].first_child = children[node].first;
        nodes[node].last_child = children[node].last;
        if (pieces[node].size() < 2) continue;
        Node& first = nodes[node];
        first.segment_first = static_cast<std::int32_t>(thread.segments.size());
        first.segment_count = static_cast<std::int32_t>(pieces[node].size());
        first.running = 0.0;
        for (std::int32_t piece : pieces[node]) {
            const Node& segment = nodes[piece];
            thread.segments.push_back(Segment{segment.start, segment.end, segment.call_record, segment.return_record,
                                              segment.exception_record});
            first.running += segment.end - segment.start;
        }
        const Node& last = nodes[pieces[node].back()];
        first.end = py_max(last.end, first.start);
        first.return_record = last.return_record;
        first.exception_record = last.exception_record;
    }
}

template <typename T>
PyRef bytes_of(const std::vector<T>& values) {
    return require(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                             static_cast<Py_ssize_t>(values.size() * sizeof(T))));
}

void set(PyObject* dict, const char* key, const PyRef& value) { require_status(PyDict_SetItemString(dict, key, value.get())); }

// The column as bytes, its vector's memory let go at once: a big trace's
// columns would otherwise be held twice until the index is complete.
template <typename T>
void set_column(PyObject* dict, const char* key, std::vector<T>& values) {
    set(dict, key, bytes_of(values));
    std::vector<T>().swap(values);
}

// The tree of every thread in depth-first order, thread after thread, as
// flat arrays (see zelm.view.lazy for how they are read).
PyRef emit(Indexer& indexer, std::vector<Thread>& threads) {
    auto& records = indexer.records_;
    std::vector<std::int8_t> kind;
    std::vector<std::int32_t> thread_of, depth, name, path;
    std::vector<std::int64_t> parent, size, call_record, return_record, exception_record;
    std::vector<double> start, end, running;
    // The segments of joined calls: per node its first and count, then theirs.
    std::vector<std::int64_t> segment_first;
    std::vector<std::int32_t> segment_count;
    std::vector<double> segment_start, segment_end;
    std::vector<std::int64_t> segment_call, segment_return, segment_exception;
    PyRef thread_list = require(PyList_New(0));

    for (std::size_t number = 0; number < threads.size(); ++number) {
        Thread& thread = threads[number];
        std::int64_t first = static_cast<std::int64_t>(kind.size());
        std::vector<std::int64_t> roots, marks;
        std::vector<double> mark_times;
        std::vector<std::vector<std::int64_t>> level_ids;
        std::vector<std::vector<double>> level_starts, level_ends;
        // Depth first: the siblings still to visit after a subtree, by depth.
        struct Resume { std::int32_t next; std::int32_t depth; };
        std::vector<Resume> resume;
        std::vector<std::int64_t> stack;  // open ancestors' ids, by depth
        std::int32_t current = thread.roots.first, current_depth = 0;
        while (true) {
            if (current < 0) {
                if (resume.empty()) break;
                current = resume.back().next, current_depth = resume.back().depth;
                resume.pop_back();
                continue;
            }
            const Node& node = thread.nodes[current];
            std::int64_t id = static_cast<std::int64_t>(kind.size());
            while (static_cast<std::int32_t>(stack.size()) > current_depth) {
                size[stack.back()] = id - stack.back();
                stack.pop_back();
            }
            parent.push_back(stack.empty() ? -1 : stack.back());
            stack.push_back(id);
            kind.push_back(node.call ? 0 : 1);
            thread_of.push_back(static_cast<std::int32_t>(number));
            depth.push_back(current_depth);
            size.push_back(1);
            start.push_back(node.start);
            end.push_back(node.end);
            running.push_back(node.segment_count > 1 ? node.running : node.end - node.start);
            segment_first.push_back(node.segment_count > 1 ? static_cast<std::int64_t>(segment_start.size()) : -1);
            segment_count.push_back(node.segment_count > 1 ? node.segment_count : 0);
            for (std::int32_t i = 0; i < (node.segment_count > 1 ? node.segment_count : 0); ++i) {
                const Segment& segment = thread.segments[static_cast<std::size_t>(node.segment_first + i)];
                segment_start.push_back(segment.start);
                segment_end.push_back(segment.end);
                segment_call.push_back(segment.call_record);
                segment_return.push_back(segment.return_record);
                segment_exception.push_back(segment.exception_record);
            }
            call_record.push_back(node.call_record);
            return_record.push_back(node.return_record);
            exception_record.push_back(node.exception_record);
            if (current_depth == 0) roots.push_back(id);
            if (node.call) {
                const Record& first_record = records[node.call_record >= 0 ? node.call_record : node.return_record];
                std::int32_t label = first_record.qualname;
                if (label == NONE && node.return_record >= 0) label = records[node.return_record].qualname;
                if (label == NONE) label = first_record.co_name;
                if (label == NONE) label = indexer.text_question_;
                name.push_back(label);
                path.push_back(first_record.path);
                if (static_cast<std::int32_t>(level_ids.size()) <= current_depth) {
                    level_ids.emplace_back(), level_starts.emplace_back(), level_ends.emplace_back();
                }
                // The timeline draws each time a call ran.
                if (node.segment_count > 1) {
                    for (std::int32_t i = 0; i < node.segment_count; ++i) {
                        const Segment& segment = thread.segments[static_cast<std::size_t>(node.segment_first + i)];
                        level_ids[current_depth].push_back(id);
                        level_starts[current_depth].push_back(segment.start);
                        level_ends[current_depth].push_back(segment.end);
                    }
                } else {
                    level_ids[current_depth].push_back(id);
                    level_starts[current_depth].push_back(node.start);
                    level_ends[current_depth].push_back(node.end);
                }
            } else {
                name.push_back(records[node.call_record].type);
                path.push_back(NONE);
                marks.push_back(id);
                mark_times.push_back(node.start);
            }
            if (node.first_child >= 0) {
                resume.push_back({node.next, current_depth});
                current = node.first_child, ++current_depth;
            } else {
                current = node.next;
            }
        }
        std::int64_t last = static_cast<std::int64_t>(kind.size());
        for (std::int64_t open : stack) size[open] = last - open;
        // Plugin records may carry times from another clock: keep the marks sorted by time.
        std::vector<std::size_t> order(marks.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return mark_times[a] < mark_times[b];
        });
        std::vector<std::int64_t> sorted_marks(marks.size());
        std::vector<double> sorted_times(marks.size());
        for (std::size_t i = 0; i < order.size(); ++i) sorted_marks[i] = marks[order[i]], sorted_times[i] = mark_times[order[i]];

        PyRef info = require(PyDict_New());
        set(info.get(), "thread_id", thread.has_id ? require(PyLong_FromLongLong(thread.id)) : PyRef::from_borrowed(Py_None));
        set(info.get(), "name", thread.name >= 0 ? PyRef::from_borrowed(PyList_GET_ITEM(indexer.objects(), thread.name)) : PyRef::from_borrowed(Py_None));
        set(info.get(), "first", require(PyLong_FromLongLong(first)));
        set(info.get(), "last", require(PyLong_FromLongLong(last)));
        set(info.get(), "records", require(PyLong_FromSize_t(thread.records.size())));
        set(info.get(), "roots", bytes_of(roots));
        set(info.get(), "marks", bytes_of(sorted_marks));
        set(info.get(), "mark_times", bytes_of(sorted_times));
        // Calls of one depth that wait overlap, and their segments follow
        // their first: in time order for bisection.
        for (std::size_t level = 0; level < level_ids.size(); ++level) {
            auto& starts = level_starts[level];
            bool sorted = true;
            for (std::size_t i = 0; i + 1 < starts.size(); ++i) sorted = sorted && !(starts[i] > starts[i + 1]);
            if (sorted) continue;
            std::vector<std::size_t> by_time(starts.size());
            for (std::size_t i = 0; i < by_time.size(); ++i) by_time[i] = i;
            std::stable_sort(by_time.begin(), by_time.end(), [&](std::size_t a, std::size_t b) { return starts[a] < starts[b]; });
            std::vector<std::int64_t> ids(by_time.size());
            std::vector<double> begins(by_time.size()), finishes(by_time.size());
            for (std::size_t i = 0; i < by_time.size(); ++i) {
                ids[i] = level_ids[level][by_time[i]];
                begins[i] = starts[by_time[i]];
                finishes[i] = level_ends[level][by_time[i]];
            }
            level_ids[level].swap(ids), starts.swap(begins), level_ends[level].swap(finishes);
        }
        PyRef levels = require(PyList_New(0));
        for (std::size_t level = 0; level < level_ids.size(); ++level) {
            PyRef entry = require(PyTuple_New(3));
            PyTuple_SET_ITEM(entry.get(), 0, bytes_of(level_ids[level]).release());
            PyTuple_SET_ITEM(entry.get(), 1, bytes_of(level_starts[level]).release());
            PyTuple_SET_ITEM(entry.get(), 2, bytes_of(level_ends[level]).release());
            require_status(PyList_Append(levels.get(), entry.get()));
        }
        set(info.get(), "levels", levels);
        require_status(PyList_Append(thread_list.get(), info.get()));
        thread.nodes.clear();
        thread.nodes.shrink_to_fit();
        thread.segments.clear();
        thread.segments.shrink_to_fit();
    }

    // Call nodes grouped by name, ids ascending within a name, for search.
    std::vector<std::int64_t> by_name_count(static_cast<std::size_t>(PyList_GET_SIZE(indexer.objects())) + 1, 0);
    for (std::size_t id = 0; id < kind.size(); ++id) {
        if (kind[id] == 0) ++by_name_count[name[id] + 1];
    }
    for (std::size_t i = 1; i < by_name_count.size(); ++i) by_name_count[i] += by_name_count[i - 1];
    std::vector<std::int64_t> by_name(static_cast<std::size_t>(by_name_count.back()));
    std::vector<std::int64_t> fill(by_name_count.begin(), by_name_count.end() - 1);
    for (std::size_t id = 0; id < kind.size(); ++id) {
        if (kind[id] == 0) by_name[fill[name[id]]++] = static_cast<std::int64_t>(id);
    }

    std::vector<std::int32_t> record_document;
    std::vector<std::int64_t> record_begin, record_end;
    record_document.reserve(records.size()), record_begin.reserve(records.size()), record_end.reserve(records.size());
    for (const Record& record : records) {
        record_document.push_back(record.document);
        record_begin.push_back(static_cast<std::int64_t>(record.begin));
        record_end.push_back(static_cast<std::int64_t>(record.end));
    }
    // Nothing reads the records' entries past this point.
    std::vector<Record>().swap(records);

    PyRef result = require(PyDict_New());
    set(result.get(), "objects", PyRef::from_borrowed(indexer.objects()));
    set(result.get(), "threads", thread_list);
    set_column(result.get(), "kind", kind);
    set_column(result.get(), "thread_of", thread_of);
    set_column(result.get(), "depth", depth);
    set_column(result.get(), "parent", parent);
    set_column(result.get(), "size", size);
    set_column(result.get(), "start", start);
    set_column(result.get(), "end", end);
    set_column(result.get(), "call_record", call_record);
    set_column(result.get(), "return_record", return_record);
    set_column(result.get(), "exception_record", exception_record);
    set_column(result.get(), "running", running);
    set_column(result.get(), "segment_first", segment_first);
    set_column(result.get(), "segment_count", segment_count);
    set_column(result.get(), "segment_start", segment_start);
    set_column(result.get(), "segment_end", segment_end);
    set_column(result.get(), "segment_call", segment_call);
    set_column(result.get(), "segment_return", segment_return);
    set_column(result.get(), "segment_exception", segment_exception);
    set_column(result.get(), "name", name);
    set_column(result.get(), "path", path);
    set_column(result.get(), "by_name", by_name);
    set_column(result.get(), "by_name_offsets", by_name_count);
    set_column(result.get(), "record_document", record_document);
    set_column(result.get(), "record_begin", record_begin);
    set_column(result.get(), "record_end", record_end);
    return result;
}

PyRef index(PyObject* documents, PyObject* slow_fields) {
    PyRef sequence = require(PySequence_Fast(documents, "documents must be a sequence of bytes"));
    Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
    if (count == 0) raise_error(PyExc_ValueError, "no documents");
    Indexer indexer(slow_fields);
    PyRef spans = require(PyDict_New());
    // Buffers joined across the documents: "frames_of_interest" first, then
    // each thread key of "frames" in the order it first appears.
    std::vector<Indexer::Buffer> joined(1);
    joined[0].is_main = true;
    std::unordered_map<std::int64_t, std::size_t> buffer_of_key;
    std::vector<Py_buffer> views;
    struct Release {
        std::vector<Py_buffer>& views;
        ~Release() { for (auto& view : views) PyBuffer_Release(&view); }
    } release{views};
    views.reserve(static_cast<std::size_t>(count));
    try {
        for (Py_ssize_t i = 0; i < count; ++i) {
            Py_buffer view;
            require_status(PyObject_GetBuffer(PySequence_Fast_GET_ITEM(sequence.get(), i), &view, PyBUF_SIMPLE));
            views.push_back(view);
            Cursor cursor(static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len));
            std::vector<Indexer::Buffer> buffers;
            indexer.document(static_cast<std::int32_t>(i), cursor, buffers, i == 0 ? spans.get() : nullptr);
            for (auto& buffer : buffers) {
                std::size_t target = 0;
                if (!buffer.is_main) {
                    auto found = buffer_of_key.find(buffer.key);
                    if (found == buffer_of_key.end()) {
                        found = buffer_of_key.emplace(buffer.key, joined.size()).first;
                        joined.push_back(Indexer::Buffer{false, buffer.key, {}});
                    }
                    target = found->second;
                }
                auto& into = joined[target].records;
                into.insert(into.end(), buffer.records.begin(), buffer.records.end());
            }
        }
    } catch (const Unreadable& unreadable) {
        raise_format(PyExc_ValueError, "the document cannot be indexed: %s", unreadable.reason);
    }

    // Records by the thread they name, else their buffer's thread.
    const auto& records = indexer.records_;
    std::vector<Thread> threads;
    std::unordered_map<std::int64_t, std::size_t> thread_of_id;
    std::ptrdiff_t no_id_thread = -1;
    std::vector<std::int64_t> cuts;  // in document order
    std::size_t cut_records = 0;
    FrameIdSet excepted;
    std::int64_t last_id = 0;
    std::ptrdiff_t last_number = -1;
    for (const auto& buffer : joined) {
        bool buffer_has_id = buffer.is_main ? indexer.has_main_ : true;
        std::int64_t buffer_id = buffer.is_main ? indexer.main_thread_id_ : buffer.key;
        for (std::int64_t index : buffer.records) {
            const Record& record = records[index];
            // A cut record stands in its thread where the budget's gap lies,
            // as a plugin record would; it counts as no record of the run.
            if (record.type == indexer.type_cut_) {
                cuts.push_back(index);
                ++cut_records;
            }
            if (record.type == indexer.type_exception_ && !record.frame_id.none()) excepted.insert(record.frame_id);
            bool has_id = record.has_thread_id ? true : buffer_has_id;
            std::int64_t id = record.has_thread_id ? record.thread_id : buffer_id;
            std::size_t number;
            if (has_id && last_number >= 0 && id == last_id) {
                number = static_cast<std::size_t>(last_number);  // mostly a run of one thread's records
            } else if (has_id) {
                auto found = thread_of_id.find(id);
                if (found == thread_of_id.end()) found = thread_of_id.emplace(id, threads.size()).first;
                number = found->second;
                last_id = id, last_number = static_cast<std::ptrdiff_t>(number);
            } else {
                if (no_id_thread < 0) no_id_thread = static_cast<std::ptrdiff_t>(threads.size());
                number = static_cast<std::size_t>(no_id_thread);
            }
            if (number == threads.size()) {
                Thread thread;
                thread.has_id = has_id;
                thread.id = id;
                thread.name = record.thread_name;
                thread.not_main = !(has_id == indexer.has_main_ && (!has_id || id == indexer.main_thread_id_));
                threads.push_back(std::move(thread));
            }
            threads[number].records.push_back(index);
        }
    }

    // The trace's start and end, over every record's time, as the reader takes them.
    bool any_time = indexer.has_timestamp_;
    double start = indexer.timestamp_;
    double end = 0.0;
    bool any_record_time = false;
    for (const Thread& thread : threads) {
        for (std::int64_t index : thread.records) {
            const Record& record = records[index];
            if (!record.has_time) continue;
            start = any_time ? py_min(start, record.time) : record.time;
            end = any_record_time ? py_max(end, record.time) : record.time;
            any_time = any_record_time = true;
        }
    }
    if (!any_time) start = 0.0;
    if (!any_record_time) end = start;

    for (Thread& thread : threads) {
        build_tree(records, thread, start, end, indexer.type_exception_, excepted);
        group_resumes(indexer, records, views, thread);
        thread.first_time = end;
        for (std::int64_t index : thread.records) {
            if (records[index].has_time) {
                thread.first_time = records[index].time;
                break;
            }
        }
    }
    // The main thread first, the others by their first time; a stable
    // insertion sort, as the keys may hold NaN.
    std::vector<Thread> ordered;
    for (Thread& thread : threads) {
        auto less = [](const Thread& a, const Thread& b) {
            return a.not_main != b.not_main ? a.not_main < b.not_main : a.first_time < b.first_time;
        };
        auto position = ordered.end();
        while (position != ordered.begin() && less(thread, *(position - 1))) --position;
        ordered.insert(position, std::move(thread));
    }

    std::size_t record_count = records.size() - cut_records;
    PyRef result = emit(indexer, ordered);  // lets the records go
    set(result.get(), "spans", spans);
    set(result.get(), "trace_start", require(PyFloat_FromDouble(start)));
    set(result.get(), "trace_end", require(PyFloat_FromDouble(end)));
    set(result.get(), "record_count", require(PyLong_FromSize_t(record_count)));
    set(result.get(), "cuts", bytes_of(cuts));
    return result;
}

PyObject* index_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "index(documents, record_fields) takes 2 arguments");
        return nullptr;
    }
    try {
        return index(args[0], args[1]).release();
    } catch (const PyErrorSet&) {
        return nullptr;
    } catch (const SlowRecord&) {
        PyErr_SetString(PyExc_ValueError, "a record cannot be read");
        return nullptr;
    } catch (const Unreadable& unreadable) {
        PyErr_Format(PyExc_ValueError, "the document cannot be indexed: %s", unreadable.reason);
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::exception& error) {
        // A bug of the reader: an error for the viewer rather than the end of the process.
        PyErr_SetString(PyExc_SystemError, error.what());
        return nullptr;
    }
}

// skip(buffer, offset, count): the offset just past `count` MessagePack
// values that follow one another from `offset`, none of them decoded.
PyObject* skip_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "skip(buffer, offset, count) takes 3 arguments");
        return nullptr;
    }
    const Py_ssize_t offset = PyLong_AsSsize_t(args[1]);
    if (offset == -1 && PyErr_Occurred()) return nullptr;
    const Py_ssize_t count = PyLong_AsSsize_t(args[2]);
    if (count == -1 && PyErr_Occurred()) return nullptr;
    if (offset < 0 || count < 0) {
        PyErr_SetString(PyExc_ValueError, "skip() takes an offset and a count of at least 0");
        return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) != 0) return nullptr;
    const Cursor cursor(static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len));
    std::size_t pos = static_cast<std::size_t>(offset);
    const char* failure = pos > cursor.size() ? "the offset is past the end" : nullptr;
    try {
        for (Py_ssize_t done = 0; failure == nullptr && done < count; ++done) pos = cursor.skip(pos);
    } catch (const Unreadable& unreadable) {
        failure = unreadable.reason;
    }
    PyBuffer_Release(&view);
    if (failure != nullptr) {
        PyErr_Format(PyExc_ValueError, "the values cannot be skipped: %s", failure);
        return nullptr;
    }
    return PyLong_FromSize_t(pos);
}

// records_json(buffer, offset, count): the JSON text of up to `count`
// records from `offset` on, joined by ", ", as the json export writes each
// (see json_text.hpp); it stops before the first record it leaves to
// Python. Returns (text, the offset past the records written, how many).
PyObject* records_json_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "records_json(buffer, offset, count) takes 3 arguments");
        return nullptr;
    }
    const Py_ssize_t offset = PyLong_AsSsize_t(args[1]);
    if (offset == -1 && PyErr_Occurred()) return nullptr;
    const Py_ssize_t count = PyLong_AsSsize_t(args[2]);
    if (count == -1 && PyErr_Occurred()) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) != 0) return nullptr;
    if (offset < 0 || offset > view.len || count < 0) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_ValueError, "records_json() takes an offset within the buffer and a count of at least 0");
        return nullptr;
    }
    const Cursor cursor(static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len));
    std::size_t pos = static_cast<std::size_t>(offset);
    Py_ssize_t done = 0;
    PyObject* result = nullptr;
    try {
        std::string text;
        JsonWriter writer(text);
        for (; done < count; ++done) {
            const std::size_t written = text.size();
            if (done) text += ", ";
            try {
                pos = writer.value(cursor, pos);
            } catch (const NotPlainJson&) {
                text.resize(written);
                break;
            } catch (const Unreadable&) {
                text.resize(written);
                break;
            }
        }
        result = Py_BuildValue("(s#nn)", text.data(), static_cast<Py_ssize_t>(text.size()),
                               static_cast<Py_ssize_t>(pos), done);
    } catch (const PyErrorSet&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    PyBuffer_Release(&view);
    return result;
}

// Whether the value at pos is a map whose first entry is "type" with the
// text `type`, as the profiler writes its own records (the cut record).
bool opens_with_type(const Cursor& cursor, std::size_t pos, std::string_view type) {
    std::size_t at = pos;
    if (cursor.container(at, true) <= 0) return false;
    static constexpr std::string_view kKey = "\xa4type";
    if (type.size() > 31 || at + kKey.size() + 1 + type.size() > cursor.size()) return false;
    const auto* bytes = reinterpret_cast<const char*>(cursor.at(at, kKey.size() + 1 + type.size()));
    return std::string_view(bytes, kKey.size()) == kKey &&
           static_cast<std::uint8_t>(bytes[kKey.size()]) == 0xa0 + type.size() &&
           std::string_view(bytes + kKey.size() + 1, type.size()) == type;
}

PyObject* scan_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4 || !PyUnicode_Check(args[3])) {
        PyErr_SetString(PyExc_TypeError, "scan(buffer, offset, count, type) takes 4 arguments, the last a str");
        return nullptr;
    }
    const Py_ssize_t offset = PyLong_AsSsize_t(args[1]);
    if (offset == -1 && PyErr_Occurred()) return nullptr;
    const Py_ssize_t count = PyLong_AsSsize_t(args[2]);
    if (count == -1 && PyErr_Occurred()) return nullptr;
    Py_ssize_t type_size = 0;
    const char* type_text = PyUnicode_AsUTF8AndSize(args[3], &type_size);
    if (type_text == nullptr) return nullptr;
    if (offset < 0 || count < 0) {
        PyErr_SetString(PyExc_ValueError, "scan() takes an offset and a count of at least 0");
        return nullptr;
    }
    const std::string_view type(type_text, static_cast<std::size_t>(type_size));
    Py_buffer view;
    if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) != 0) return nullptr;
    const Cursor cursor(static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len));
    std::size_t pos = static_cast<std::size_t>(offset);
    std::vector<std::size_t> matches;
    std::array<std::size_t, 2> last_two{};  // the offsets of the last two values, the last one last
    const char* failure = pos > cursor.size() ? "the offset is past the end" : nullptr;
    try {
        for (Py_ssize_t done = 0; failure == nullptr && done < count; ++done) {
            if (opens_with_type(cursor, pos, type)) matches.push_back(pos);
            last_two = {last_two[1], pos};
            pos = cursor.skip(pos);
        }
    } catch (const Unreadable& unreadable) {
        failure = unreadable.reason;
    }
    PyBuffer_Release(&view);
    if (failure != nullptr) {
        PyErr_Format(PyExc_ValueError, "the values cannot be scanned: %s", failure);
        return nullptr;
    }
    auto offsets = [](auto first, auto last) {
        PyRef list = require(PyList_New(0));
        for (; first != last; ++first) {
            PyRef number = require(PyLong_FromSize_t(*first));
            require_status(PyList_Append(list.get(), number.get()));
        }
        return list;
    };
    try {
        PyRef found = offsets(matches.begin(), matches.end());
        PyRef last = offsets(last_two.end() - std::min<Py_ssize_t>(count, 2), last_two.end());
        return Py_BuildValue("nOO", static_cast<Py_ssize_t>(pos), found.get(), last.get());
    } catch (const PyErrorSet&) {
        return nullptr;
    }
}

PyMethodDef functions[] = {
    {"index", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_entry)), METH_FASTCALL,
     "index(documents, record_fields)\n--\n\n"
     "The call tree of the trace documents (MessagePack bytes, oldest first) as flat arrays."},
    {"skip", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(skip_entry)), METH_FASTCALL,
     "skip(buffer, offset, count)\n--\n\n"
     "The offset just past `count` MessagePack values from `offset` on; ValueError when they are cut short."},
    {"scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scan_entry)), METH_FASTCALL,
     "scan(buffer, offset, count, type)\n--\n\n"
     "Skips `count` MessagePack values from `offset` on, as skip() does: (the offset past them, the offsets "
     "of those that are maps opening with the entry \"type\": `type`, the offsets of the last two of them)."},
    {"self_times", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(self_times_entry)), METH_FASTCALL,
     self_times_doc},
    {"function_table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function_table_entry)),
     METH_FASTCALL, function_table_doc},
    {"flame_graph", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(flame_graph_entry)), METH_FASTCALL,
     flame_graph_doc},
    {"counts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(counts_entry)), METH_FASTCALL, counts_doc},
    {"records_json", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(records_json_entry)), METH_FASTCALL,
     "records_json(buffer, offset, count)\n--\n\n"
     "The JSON text of up to `count` records from `offset` on, joined by \", \", as the json export writes them, "
     "stopping before the first one only Python's reader reads exactly: (text, offset past them, how many)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_fastread", "Reading stored traces for the viewer without decoding every record.",
    0, functions, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace zelm::reader

PyMODINIT_FUNC PyInit__fastread() { return PyModuleDef_Init(&zelm::reader::module_definition); }
