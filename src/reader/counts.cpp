// The counts `zelm run` prints once a trace is saved: records by type, the
// threads they came from, and where the few records it reads further are
// (the budget's cut records and the profile hook's records).
//
// index() answers all of it, but builds the whole call tree to do so:
// seconds and hundreds of megabytes for a million records, at the end of
// every run. Here each record is read as index() reads it (its type, time
// and thread id; the entries index() checks decide, as there, which
// records go to the Python function), the rest skipped, and nothing is
// kept per record. Threads are told apart and ordered as index() orders
// them (the main thread first, then by their first time), so that the
// profile hook's records come out in the tree's order.
//
// Everything runs with the GIL held; every PyObject* is borrowed unless a
// PyRef holds it.

#include "reader/counts.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "reader/cursor.hpp"

namespace zelm::reader {
namespace {

constexpr std::string_view kCutType = "trace_cut";
constexpr std::string_view kHookType = "profile_hook";

// What the counts take of one record.
struct Fields {
    std::string type;       // a record read by Python: its type's text
    std::string_view view;  // a record read here: its type's text, in the document
    bool has_time = false;
    double time = 0.0;
    bool has_thread_id = false;
    std::int64_t thread_id = 0;
};

// A record's fields where index() reads them itself, and pos moved past
// it; false where index() hands the record to Python (not a map, a key
// that is no text, an entry of a type it does not read, a text that is not
// UTF-8).
class RecordReader {
public:
    bool read(const Cursor& cursor, std::size_t& pos, Fields& fields) {
        std::int64_t entries = cursor.container(pos, true);
        if (entries < 0) return false;
        fields.view = "None";
        for (std::int64_t i = 0; i < entries; ++i) {
            std::string_view key;
            if (!cursor.text(pos, key)) return false;
            std::size_t end = cursor.skip(pos);
            Field entry = field_of(key);
            if (entry == Field::OTHER && !valid_utf8(key)) return false;
            if (entry == Field::OTHER || entry == Field::EVENT || entry == Field::LOCALS) {
                pos = end;
                continue;
            }
            std::int64_t integer = 0;
            double real = 0.0;
            Cursor::Kind kind = cursor.scalar(pos, integer, real);
            bool text = kind == Cursor::Kind::Text, nil = kind == Cursor::Kind::Nil;
            std::string_view value;
            if (text) {
                std::size_t at = pos;
                cursor.text(at, value);
                if (!value.empty() && !checked(value, entry)) return false;
            }
            switch (entry) {
                case Field::TYPE:
                    if (!text && !nil) return false;
                    fields.view = text ? value : "None";
                    break;
                case Field::TIMESTAMP:
                    fields.has_time = kind == Cursor::Kind::Int || kind == Cursor::Kind::Float ||
                                      kind == Cursor::Kind::BigUint;
                    fields.time = kind == Cursor::Kind::Int ? static_cast<double>(integer) : real;
                    break;
                case Field::THREAD_NATIVE_ID:
                    if (kind == Cursor::Kind::BigUint) return false;
                    fields.has_thread_id = kind == Cursor::Kind::Int;
                    fields.thread_id = integer;
                    break;
                case Field::QUALNAME:
                case Field::CO_NAME:
                    // index() takes false for no name, as it takes nil.
                    if (!text && !nil && !(kind == Cursor::Kind::Bool && cursor.peek(pos) == 0xc2)) return false;
                    break;
                case Field::FRAME_ID:
                case Field::PATH:
                    if (!text && !nil) return false;
                    break;
                default:
                    break;  // a thread name of any type is read
            }
            pos = end;
        }
        return true;
    }

private:
    // Whether a text of an entry is UTF-8; most records repeat the last one.
    bool checked(std::string_view value, Field entry) {
        std::string_view& last = last_checked_[static_cast<int>(entry)];
        if (value == last) return true;
        if (!valid_utf8(value)) return false;
        last = value;
        return true;
    }

    std::string_view last_checked_[static_cast<int>(Field::LOCALS) + 1];
};

// One record array of the document, where its records start.
struct Buffer {
    bool is_main = false;  // "frames_of_interest"
    std::int64_t key = 0;  // the thread id of a "frames" entry
    std::size_t pos = 0;
    std::int64_t count = 0;
};

struct Thread {
    bool has_id = false;
    std::int64_t id = 0;
    bool not_main = true;
    bool has_time = false;
    double first_time = 0.0;
};

struct Span {
    std::size_t begin = 0, end = 0;
};

class Counter {
public:
    Counter(const Cursor& cursor, PyObject* record_fields) : cursor_(cursor), record_fields_(record_fields) {}

    PyRef count() {
        std::vector<Buffer> buffers = joined_buffers();
        RecordReader reader;
        Fields fields;
        for (const Buffer& buffer : buffers) {
            std::size_t pos = buffer.pos;
            for (std::int64_t i = 0; i < buffer.count; ++i) {
                std::size_t begin = pos;
                fields.has_time = fields.has_thread_id = false;
                bool fast = reader.read(cursor_, pos, fields);
                if (!fast) {
                    pos = cursor_.skip(begin);
                    read_in_python(begin, pos, fields);
                }
                add(buffer, fields, fast, Span{begin, pos});
            }
        }
        return result();
    }

private:
    // The record arrays in the order index() joins them: "frames_of_interest"
    // first, then each thread key of "frames" where it first appears. The
    // document is checked as index() checks it.
    std::vector<Buffer> joined_buffers() {
        std::size_t pos = 0;
        std::int64_t entries = cursor_.container(pos, true);
        if (entries < 0) throw Unreadable{"not a map"};
        std::vector<Buffer> main, threads;
        bool seen_frames = false;
        for (std::int64_t i = 0; i < entries; ++i) {
            std::string_view key;
            if (!cursor_.text(pos, key) || !valid_utf8(key)) throw Unreadable{"a key that is not text"};
            if (key == "frames_of_interest") {
                if (!main.empty()) throw Unreadable{"a repeated key"};
                main.push_back(records(true, 0, pos));
            } else if (key == "frames") {
                if (seen_frames) throw Unreadable{"a repeated key"};
                seen_frames = true;
                std::int64_t count = cursor_.container(pos, true);
                if (count < 0) throw Unreadable{"\"frames\" is not a map"};
                for (std::int64_t thread = 0; thread < count; ++thread) {
                    std::int64_t thread_key = 0;
                    double real;
                    if (cursor_.scalar(pos, thread_key, real) != Cursor::Kind::Int) {
                        throw Unreadable{"a thread key that is no integer"};
                    }
                    pos = cursor_.skip(pos);
                    threads.push_back(records(false, thread_key, pos));
                }
            } else {
                if (key == "main_thread_id") main_thread_id(pos);
                pos = cursor_.skip(pos);
            }
        }
        if (pos != cursor_.size()) throw Unreadable{"bytes after the document"};
        if (main.empty() || !seen_frames) throw Unreadable{"no record arrays"};
        std::vector<Buffer> joined = std::move(main);
        std::vector<bool> taken(threads.size());
        for (std::size_t first = 0; first < threads.size(); ++first) {
            for (std::size_t same = first; !taken[first] && same < threads.size(); ++same) {
                if (taken[same] || threads[same].key != threads[first].key) continue;
                taken[same] = same != first;
                joined.push_back(threads[same]);
            }
            taken[first] = true;
        }
        return joined;
    }

    // The record array at pos, skipped.
    Buffer records(bool is_main, std::int64_t key, std::size_t& pos) {
        std::int64_t count = cursor_.container(pos, false);
        if (count < 0) throw Unreadable{"a record array that is not an array"};
        Buffer buffer{is_main, key, pos, count};
        for (std::int64_t i = 0; i < count; ++i) pos = cursor_.skip(pos);
        return buffer;
    }

    void main_thread_id(std::size_t pos) {
        std::int64_t integer = 0;
        double real = 0.0;
        Cursor::Kind kind = cursor_.scalar(pos, integer, real);
        if (kind == Cursor::Kind::Bool || kind == Cursor::Kind::BigUint) throw Unreadable{"an unusual main thread id"};
        has_main_ = kind == Cursor::Kind::Int;
        main_id_ = integer;
    }

    // The fields of a record index() hands to Python, from the same function.
    void read_in_python(std::size_t begin, std::size_t end, Fields& fields) {
        PyRef raw = require(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(cursor_.at(begin, end - begin)),
                                                      static_cast<Py_ssize_t>(end - begin)));
        PyRef tuple = require(PyObject_CallOneArg(record_fields_, raw.get()));
        if (!PyTuple_Check(tuple.get()) || PyTuple_GET_SIZE(tuple.get()) != 9) {
            raise_error(PyExc_TypeError, "record fields must be a tuple of 9 entries");
        }
        PyObject* type = PyTuple_GET_ITEM(tuple.get(), 0);
        PyObject* time = PyTuple_GET_ITEM(tuple.get(), 3);
        PyObject* thread_id = PyTuple_GET_ITEM(tuple.get(), 4);
        if (!PyUnicode_Check(type)) raise_error(PyExc_TypeError, "record fields must be texts");
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(type, &size);
        if (text == nullptr) throw PyErrorSet{};
        fields.type.assign(text, static_cast<std::size_t>(size));
        fields.has_time = time != Py_None;
        if (fields.has_time) {
            fields.time = PyFloat_AsDouble(time);
            if (fields.time == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
        }
        fields.has_thread_id = thread_id != Py_None;
        if (fields.has_thread_id) {
            int overflow = 0;
            fields.thread_id = PyLong_AsLongLongAndOverflow(thread_id, &overflow);
            if (fields.thread_id == -1 && PyErr_Occurred()) throw PyErrorSet{};
            if (overflow) throw Unreadable{"a thread id beyond 64 bits"};
        }
    }

    void add(const Buffer& buffer, const Fields& fields, bool fast, Span span) {
        std::string_view type = fast ? fields.view : std::string_view(fields.type);
        ++count_of(type, fast);
        std::size_t thread = thread_of(buffer, fields);
        if (fields.has_time) {
            Thread& of = threads_[thread];
            if (!of.has_time) of.has_time = true, of.first_time = fields.time;
            if (!std::isnan(fields.time)) latest_ = any_latest_ ? std::max(latest_, fields.time) : fields.time;
            any_latest_ = any_latest_ || !std::isnan(fields.time);
        }
        if (type == kCutType) cuts_.push_back(span);
        if (type == kHookType) hooks_.emplace_back(thread, span);
    }

    // The count of a type; ``stable``: the text stays where it is (in the
    // document) and is kept to compare the next record's type with.
    std::int64_t& count_of(std::string_view type, bool stable) {
        if (last_count_ != nullptr && type == last_type_) return *last_count_;
        std::int64_t& count = counts_[std::string(type)];
        if (stable) last_type_ = type, last_count_ = &count;
        return count;
    }

    // The thread a record belongs to, as index() groups them: the one its
    // id names, else its buffer's.
    std::size_t thread_of(const Buffer& buffer, const Fields& fields) {
        bool has_id = fields.has_thread_id || (buffer.is_main ? has_main_ : true);
        std::int64_t id = fields.has_thread_id ? fields.thread_id : buffer.is_main ? main_id_ : buffer.key;
        if (has_id && last_thread_ >= 0 && id == last_id_) return static_cast<std::size_t>(last_thread_);
        std::ptrdiff_t number;
        if (has_id) {
            auto found = thread_by_id_.try_emplace(id, threads_.size()).first;
            number = static_cast<std::ptrdiff_t>(found->second);
            last_id_ = id, last_thread_ = number;
        } else {
            if (no_id_thread_ < 0) no_id_thread_ = static_cast<std::ptrdiff_t>(threads_.size());
            number = no_id_thread_;
        }
        if (static_cast<std::size_t>(number) == threads_.size()) {
            threads_.push_back(Thread{has_id, id, !(has_id == has_main_ && (!has_id || id == main_id_))});
        }
        return static_cast<std::size_t>(number);
    }

    // Each thread's place in the tree: the main thread first, the others by
    // their first time (the trace's end for a thread without one), sorted
    // as index() sorts them, stably and by insertion, as times may be NaN.
    std::vector<std::size_t> thread_places() const {
        // The trace's end as index() folds it over the threads' times in
        // order: NaN when the first time it meets is NaN, else the latest.
        double end = latest_;
        for (const Thread& thread : threads_) {
            if (!thread.has_time) continue;
            if (std::isnan(thread.first_time)) end = thread.first_time;
            break;
        }
        auto first_time = [&](std::size_t thread) {
            return threads_[thread].has_time ? threads_[thread].first_time : end;
        };
        auto less = [&](std::size_t a, std::size_t b) {
            return threads_[a].not_main != threads_[b].not_main ? threads_[a].not_main < threads_[b].not_main
                                                                 : first_time(a) < first_time(b);
        };
        std::vector<std::size_t> ordered;
        for (std::size_t thread = 0; thread < threads_.size(); ++thread) {
            auto position = ordered.end();
            while (position != ordered.begin() && less(thread, *(position - 1))) --position;
            ordered.insert(position, thread);
        }
        std::vector<std::size_t> places(threads_.size());
        for (std::size_t place = 0; place < ordered.size(); ++place) places[ordered[place]] = place;
        return places;
    }

    PyRef result() {
        PyRef types = require(PyDict_New());
        for (const auto& [type, count] : counts_) {
            PyRef key = require(PyUnicode_DecodeUTF8(type.data(), static_cast<Py_ssize_t>(type.size()), nullptr));
            PyRef value = require(PyLong_FromLongLong(count));
            require_status(PyDict_SetItem(types.get(), key.get(), value.get()));
        }
        std::vector<std::size_t> places = thread_places();
        std::stable_sort(hooks_.begin(), hooks_.end(),
                         [&](const auto& a, const auto& b) { return places[a.first] < places[b.first]; });
        std::vector<Span> hooks;
        for (const auto& [thread, span] : hooks_) hooks.push_back(span);
        return require(Py_BuildValue("(NnNN)", types.release(), static_cast<Py_ssize_t>(threads_.size()),
                                     spans(cuts_).release(), spans(hooks).release()));
    }

    static PyRef spans(const std::vector<Span>& found) {
        PyRef list = require(PyList_New(0));
        for (const Span& span : found) {
            PyRef pair = require(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(span.begin),
                                               static_cast<Py_ssize_t>(span.end)));
            require_status(PyList_Append(list.get(), pair.get()));
        }
        return list;
    }

    const Cursor& cursor_;
    PyObject* record_fields_;
    bool has_main_ = false;
    std::int64_t main_id_ = 0;
    std::unordered_map<std::string, std::int64_t> counts_;
    std::string_view last_type_;
    std::int64_t* last_count_ = nullptr;
    std::vector<Thread> threads_;
    std::unordered_map<std::int64_t, std::size_t> thread_by_id_;
    std::ptrdiff_t no_id_thread_ = -1, last_thread_ = -1;
    std::int64_t last_id_ = 0;
    bool any_latest_ = false;
    double latest_ = 0.0;
    std::vector<Span> cuts_;
    std::vector<std::pair<std::size_t, Span>> hooks_;
};

}  // namespace

PyObject* counts_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "counts(document, record_fields) takes 2 arguments");
        return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) != 0) return nullptr;
    struct Release {
        Py_buffer& view;
        ~Release() { PyBuffer_Release(&view); }
    } release{view};
    try {
        const Cursor cursor(static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len));
        return Counter(cursor, args[1]).count().release();
    } catch (const PyErrorSet&) {
        return nullptr;
    } catch (const Unreadable& unreadable) {
        PyErr_Format(PyExc_ValueError, "the document cannot be counted: %s", unreadable.reason);
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
        return nullptr;
    }
}

}  // namespace zelm::reader
