#include "serializer/encoder.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "format/msgpack.hpp"
#include "serializer/scalars.hpp"
#include "serializer/scrub.hpp"
#include "serializer/summary_entries.hpp"
#include "serializer/text.hpp"

namespace zelm::serializer {
namespace {

using msgpack::Buffer;

// Encoded size counted for a scalar, and for the header of a str, bytes or
// container; generous, so that the cap is an upper bound.
constexpr std::int64_t kScalarBytes = 9;
constexpr std::int64_t kHeaderBytes = 5;
constexpr std::int64_t kExtHeaderBytes = kHeaderBytes + 1;
// Counted for an object whose repr() is only known once it is packed.
constexpr std::int64_t kObjectBytes = 64;
constexpr std::int64_t kUnlimited = std::numeric_limits<std::int64_t>::max();

// Extension codes of zelm's own (zelm.values).
constexpr std::int8_t kExtRepr = 1;
constexpr std::int8_t kExtTuple = 2;
constexpr std::int8_t kExtPairs = 3;
// msgpack's packer refuses to nest deeper than this.
constexpr int kPackerNestLimit = 511;

Limits g_full{4096, 256, 20, 64 * 1024};
Limits g_lightweight{100, 10, 3, kNoCap};
PyObject* g_ext_type = nullptr;
PyObject* g_timestamp_type = nullptr;

const std::uint8_t* as_bytes(std::string_view text) {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

void write_text(Buffer& out, std::string_view text) { msgpack::write_str(out, text); }

void write_repr(Buffer& out, std::string_view text) {
    msgpack::write_ext(out, kExtRepr, as_bytes(text), text.size());
}

// Moves the header just written at `header` in front of what was written
// since `start`: a container's size is known only once its items are.
void move_header_to(Buffer& out, std::size_t start, std::size_t header) {
    std::rotate(out.begin() + static_cast<std::ptrdiff_t>(start), out.begin() + static_cast<std::ptrdiff_t>(header),
                out.end());
}

void finish_array(Buffer& out, std::size_t start, std::size_t items) {
    const std::size_t header = out.size();
    msgpack::write_array_header(out, static_cast<std::uint32_t>(items));
    move_header_to(out, start, header);
}

// Makes what was written since `start` the payload of extension value `code`.
void finish_ext(Buffer& out, std::size_t start, std::int8_t code) {
    const std::size_t header = out.size();
    msgpack::write_ext_header(out, code, header - start);
    move_header_to(out, start, header);
}

// Characters (code points) of UTF-8 text, as len() counts them.
std::int64_t characters(std::string_view utf8) {
    return std::count_if(utf8.begin(), utf8.end(), [](char byte) { return (byte & 0xc0) != 0x80; });
}

bool is_scalar(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    return type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type || value == Py_None;
}

// The fields of an ExtType as its constructor allows them: code an int in
// 0..127, data bytes. ExtType is a namedtuple of (code, data).
struct ExtFields {
    std::int8_t code;
    PyObject* data;
};

ExtFields ext_fields(PyObject* value) {
    if (PyTuple_GET_SIZE(value) != 2) throw Unmodelled{};
    PyObject* code = PyTuple_GET_ITEM(value, 0);
    PyObject* data = PyTuple_GET_ITEM(value, 1);
    if (!PyLong_CheckExact(code) || !PyBytes_CheckExact(data)) throw Unmodelled{};
    const long number = PyLong_AsLong(code);
    if (number < 0 || number > 127) {
        PyErr_Clear();
        throw Unmodelled{};
    }
    return {static_cast<std::int8_t>(number), data};
}

bool is_own_code(std::int8_t code) { return code == kExtRepr || code == kExtTuple || code == kExtPairs; }

void write_ext_value(Buffer& out, const ExtFields& ext) {
    msgpack::write_ext(out, ext.code, reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(ext.data)),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(ext.data)));
}

PyRef int_attribute(PyObject* value, const char* name) {
    PyRef field = PyRef::steal(PyObject_GetAttrString(value, name));
    if (!field) {
        if (!clear_ordinary_error()) throw PyErrorSet{};
        throw Unmodelled{};
    }
    if (!PyLong_CheckExact(field.get())) throw Unmodelled{};
    return field;
}

// A Timestamp as msgpack's packer writes it: timestamp32 when the seconds
// fit 32 bits and there are no nanoseconds, timestamp64 when the seconds fit
// 34 bits, timestamp96 otherwise; all extension -1.
void write_timestamp(Buffer& out, PyObject* value) {
    PyRef seconds_field = int_attribute(value, "seconds");
    PyRef nanoseconds_field = int_attribute(value, "nanoseconds");
    const long long seconds = PyLong_AsLongLong(seconds_field.get());
    const unsigned long nanoseconds_wide = PyLong_AsUnsignedLong(nanoseconds_field.get());
    if (PyErr_Occurred()) {
        PyErr_Clear();
        throw Unmodelled{};
    }
    // The packer takes the nanoseconds as 32 bits.
    const auto nanoseconds = static_cast<std::uint32_t>(nanoseconds_wide);
    std::uint8_t payload[12];
    auto store = [&payload](std::size_t at, std::uint64_t number, int width) {
        for (int i = 0; i < width; ++i) payload[at + i] = static_cast<std::uint8_t>(number >> (8 * (width - 1 - i)));
    };
    if ((seconds >> 34) == 0) {
        const std::uint64_t packed = (std::uint64_t{nanoseconds} << 34) | static_cast<std::uint64_t>(seconds);
        if ((packed & 0xffffffff00000000ULL) == 0) {
            store(0, packed, 4);
            msgpack::write_ext(out, -1, payload, 4);
        } else {
            store(0, packed, 8);
            msgpack::write_ext(out, -1, payload, 8);
        }
    } else {
        store(0, nanoseconds, 4);
        store(4, static_cast<std::uint64_t>(seconds), 8);
        msgpack::write_ext(out, -1, payload, 12);
    }
}

// _memoryview_head: the bytes of a memoryview that is not released and is
// contiguous (and can be cast to bytes), read in place while it is held.
class ViewBytes {
public:
    explicit ViewBytes(PyObject* view) {
        if (PyObject_GetBuffer(view, &buffer_, PyBUF_FULL_RO) < 0) {
            // A released view.
            if (!clear_ordinary_error()) throw PyErrorSet{};
            return;
        }
        if (buffer_.suboffsets != nullptr) {
            PyBuffer_Release(&buffer_);
            throw Unmodelled{};  // an exporter's indirect layout
        }
        held_ = true;
        readable_ = c_contiguous() && (is_flat_bytes() || buffer_.ndim == 1 || !has_zero_extent());
    }
    ~ViewBytes() {
        if (held_) PyBuffer_Release(&buffer_);
    }
    ViewBytes(const ViewBytes&) = delete;
    ViewBytes& operator=(const ViewBytes&) = delete;

    bool readable() const { return readable_; }
    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(buffer_.buf); }
    std::int64_t size() const { return buffer_.len; }

private:
    // Contiguous as memoryview.contiguous says; for more than one dimension
    // cast() also wants C order.
    bool c_contiguous() const {
        if (buffer_.ndim == 0) return true;
        if (buffer_.ndim == 1) return buffer_.shape[0] == 1 || buffer_.strides[0] == buffer_.itemsize;
        return PyBuffer_IsContiguous(&buffer_, 'C');
    }
    bool is_flat_bytes() const {
        return buffer_.ndim == 1 && buffer_.format != nullptr && std::strcmp(buffer_.format, "B") == 0;
    }
    bool has_zero_extent() const {
        for (int i = 0; i < buffer_.ndim; ++i) {
            if (buffer_.shape[i] == 0) return true;
        }
        return false;
    }

    Py_buffer buffer_{};
    bool held_ = false;
    bool readable_ = false;
};

// _text_keys: whether the first `count` keys of the dict are all str or bytes.
bool text_keys(PyObject* dict, std::int64_t count) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (std::int64_t seen = 0; seen < count && PyDict_Next(dict, &position, &key, &value); ++seen) {
        if (!PyUnicode_CheckExact(key) && !PyBytes_CheckExact(key)) return false;
    }
    return true;
}

// Ends the dict summary begun at `start`, whose entries begin at `base`:
// its header goes in front of them, once their count is known.
void finish_map(Buffer& out, std::size_t start, SummaryEntries& entries, std::size_t base) {
    const std::size_t header = out.size();
    msgpack::write_map_header(out, static_cast<std::uint32_t>(entries.count(base)));
    move_header_to(out, start, header);
    entries.close(base);
}

// What one call keeps track of (and writes into, when it returns a bytes
// object), reused from call to call on a thread (allocating them anew cost
// as much as encoding a small value). A call made from inside another, by a
// repr that serialises, leases one of its own.
struct Workspace {
    Buffer out;
    std::vector<PyObject*> open;  // containers being walked, to mark one met again inside itself
    SummaryEntries entries;
    // Set when the output may be refused by a reader after all: it holds
    // bytes copied without looking into them (an ExtType's data, a
    // Timestamp's fields), a container that changed while it was packed,
    // nesting or a length beyond what a reader takes.
    bool doubtful = false;

    // Forgets what was written to `written` so far, to write the value anew.
    void restart(Buffer& written) {
        written.clear();
        open.clear();
        entries.close(0);
        doubtful = false;
    }
};

class WorkspaceLease {
public:
    WorkspaceLease() {
        std::vector<std::unique_ptr<Workspace>>& free = pool();
        if (free.empty()) {
            workspace_ = std::make_unique<Workspace>();
        } else {
            workspace_ = std::move(free.back());
            free.pop_back();
        }
    }
    ~WorkspaceLease() {
        // One huge value does not keep its buffer for good.
        if (workspace_->out.capacity() > kKeptCapacity) return;
        workspace_->restart(workspace_->out);
        try {
            pool().push_back(std::move(workspace_));
        } catch (const std::bad_alloc&) {
            // Dropped: the next call makes another.
        }
    }
    WorkspaceLease(const WorkspaceLease&) = delete;
    WorkspaceLease& operator=(const WorkspaceLease&) = delete;

    Workspace& get() { return *workspace_; }

private:
    static constexpr std::size_t kKeptCapacity = 256 * 1024;
    static std::vector<std::unique_ptr<Workspace>>& pool() {
        thread_local std::vector<std::unique_ptr<Workspace>> free;
        return free;
    }
    std::unique_ptr<Workspace> workspace_;
};

// msgpack.Packer(default=_fallback_for_packer, strict_types=True): exact
// builtin types as themselves, anything else through the fallback.
class Packer {
public:
    Packer(Buffer& out, const Limits& full, bool& doubtful) : out_(out), full_(full), doubtful_(doubtful) {}

    void pack(PyObject* value, int nest_limit = kPackerNestLimit) {
        if (nest_limit < 0) {
            raise_error(PyExc_ValueError, "recursion limit exceeded.");
        }
        PyTypeObject* type = Py_TYPE(value);
        if (value == Py_None) {
            msgpack::write_nil(out_);
        } else if (type == &PyBool_Type) {
            msgpack::write_bool(out_, value == Py_True);
        } else if (type == &PyLong_Type) {
            if (!write_int_if_fits(out_, value)) fallback(value);
        } else if (type == &PyFloat_Type) {
            msgpack::write_f64(out_, PyFloat_AS_DOUBLE(value));
        } else if (type == &PyBytes_Type) {
            write_bin(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value));
        } else if (type == &PyByteArray_Type) {
            write_bin(PyByteArray_AS_STRING(value), PyByteArray_GET_SIZE(value));
        } else if (type == &PyUnicode_Type) {
            std::string_view text = ascii_text(value);
            if (!PyUnicode_IS_ASCII(value)) {
                Py_ssize_t size = 0;
                const char* data = PyUnicode_AsUTF8AndSize(value, &size);
                if (data == nullptr) throw PyErrorSet{};  // lone surrogates
                text = {data, static_cast<std::size_t>(size)};
            }
            check_size(static_cast<Py_ssize_t>(text.size()));
            write_text(out_, text);
        } else if (type == &PyDict_Type) {
            DictItems entries(value);
            pack_map(entries, PyDict_GET_SIZE(value), nest_limit);
        } else if (type == reinterpret_cast<PyTypeObject*>(g_ext_type)) {
            doubtful_ = true;
            write_ext_value(out_, ext_fields(value));
        } else if (type == reinterpret_cast<PyTypeObject*>(g_timestamp_type)) {
            doubtful_ = true;
            write_timestamp(out_, value);
        } else if (type == &PyList_Type) {
            // The size read first, the items then as a list iterator yields
            // them: a repr that changes the list makes the two differ.
            const auto header = static_cast<std::uint32_t>(PyList_GET_SIZE(value));
            msgpack::write_array_header(out_, header);
            Py_ssize_t index = 0;
            for (; index < PyList_GET_SIZE(value); ++index) {
                PyObject* item = PyList_GET_ITEM(value, index);
                PyRef held = hold_while_encoding(item);
                pack(item, nest_limit - 1);
            }
            if (index != static_cast<Py_ssize_t>(header)) doubtful_ = true;
        } else if (type == &PyMemoryView_Type) {
            throw Unmodelled{};  // the callers never hand one over
        } else {
            fallback(value);
        }
    }

    // A map of `size` entries (a dict's, or the arrays standing for one).
    template <typename Entries>
    void pack_map(Entries& entries, Py_ssize_t size, int nest_limit = kPackerNestLimit) {
        const auto header = static_cast<std::uint32_t>(size);
        msgpack::write_map_header(out_, header);
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        Py_ssize_t written = 0;
        while (entries.next(key, item)) {
            if constexpr (Entries::kHeldByCaller) {
                pack_entry(key, item, nest_limit);
            } else {
                HeldEntry held(key, item);
                pack_entry(key, item, nest_limit);
            }
            ++written;
        }
        if (written != static_cast<Py_ssize_t>(header)) doubtful_ = true;
    }

private:
    void pack_entry(PyObject* key, PyObject* item, int nest_limit) {
        // Only a repr that changed the dict puts another key here.
        if (!PyUnicode_CheckExact(key) && !PyBytes_CheckExact(key)) doubtful_ = true;
        pack(key, nest_limit - 1);
        pack(item, nest_limit - 1);
    }

    void check_size(Py_ssize_t size) {
        if (size > 0xffffffffLL) {
            raise_error(PyExc_ValueError, "value is too large");
        }
    }

    void write_bin(const char* data, Py_ssize_t size) {
        check_size(size);
        msgpack::write_bin(out_, reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
    }

    // _fallback_for_packer: a tuple as extension 2, anything else as its repr
    // (extension 1) cut to the full mode's max_text.
    void fallback(PyObject* value) {
        if (PyTuple_CheckExact(value)) {
            const std::size_t start = out_.size();
            // A packer of its own packs the items as a list.
            msgpack::write_array_header(out_, static_cast<std::uint32_t>(PyTuple_GET_SIZE(value)));
            for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(value); ++index) {
                pack(PyTuple_GET_ITEM(value, index), kPackerNestLimit - 1);
            }
            finish_ext(out_, start, kExtTuple);
            return;
        }
        if (const std::optional<PlainRepr> plain = plain_object_repr(value);
            plain && static_cast<std::int64_t>(plain->size()) <= full_.max_text) {
            // The repr kept whole, written where it goes.
            msgpack::write_ext_header(out_, kExtRepr, plain->size());
            const std::size_t at = out_.size();
            out_.resize(at + plain->size());
            plain->write_to(reinterpret_cast<char*>(out_.data() + at));
            return;
        }
        PyRef text = repr_text(value, full_.max_text, full_.max_items, full_.max_depth);
        if (PyUnicode_GET_LENGTH(text.get()) <= full_.max_text && PyUnicode_IS_ASCII(text.get())) {
            write_repr(out_, ascii_text(text.get()));
            return;
        }
        write_repr(out_, cut_text(text.get(), full_.max_text));
    }

    Buffer& out_;
    const Limits& full_;
    bool& doubtful_;
};

// Which mode's fast path a value is measured for: the full mode packs
// whole what fits its limits (_room_left), the lightweight mode what its
// walk would write exactly as the packer does.
enum class Whole { full, lightweight };

// _room_left: `room` less the encoded size of `value`, or negative when the
// value does not fit the mode's limits whole (or is of a type the walk must
// handle). Runs no Python code.
template <Whole Mode>
std::int64_t room_left(PyObject* value, std::int64_t depth, std::int64_t room, const Limits& limits);

// An int the packer writes as one (not beyond 64 bits, which the modes show
// as text cut differently).
bool packed_as_int(PyObject* value) {
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(value, &overflow);
    return overflow == 0 || (overflow > 0 && _PyLong_NumBits(value) <= 64);
}

// A scalar that takes kScalarBytes in the mode.
template <Whole Mode>
bool packed_scalar(PyObject* value) {
    if constexpr (Mode == Whole::lightweight) {
        if (Py_IS_TYPE(value, &PyLong_Type)) return packed_as_int(value);
    }
    return is_scalar(value);
}

// room_left of a map of `size` entries, a dict's or the arrays standing for one.
template <Whole Mode, typename Entries>
std::int64_t map_room_left(Entries entries, Py_ssize_t size, std::int64_t depth, std::int64_t room,
                           const Limits& limits) {
    if (size > limits.max_items || depth >= limits.max_depth) return -1;
    room -= kHeaderBytes;
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    while (entries.next(key, item)) {
        std::int64_t key_size = 0;
        if (PyUnicode_CheckExact(key)) {
            if (is_credential_key(key)) return -1;  // the walk masks its value
            key_size = PyUnicode_GET_LENGTH(key);
        } else if (PyBytes_CheckExact(key)) {
            key_size = PyBytes_GET_SIZE(key);
        } else {
            return -1;
        }
        if (key_size > limits.max_text) return -1;
        PyTypeObject* item_type = Py_TYPE(item);
        if (item_type == &PyUnicode_Type || item_type == &PyBytes_Type) {
            const std::int64_t item_size =
                item_type == &PyUnicode_Type ? PyUnicode_GET_LENGTH(item) : PyBytes_GET_SIZE(item);
            if (item_size > limits.max_text) return -1;
            room -= key_size + item_size + 2 * kHeaderBytes;
        } else if (packed_scalar<Mode>(item)) {
            room -= key_size + kHeaderBytes + kScalarBytes;
        } else {
            room = room_left<Mode>(item, depth + 1, room - key_size - kHeaderBytes, limits);
        }
        if (room < 0) return -1;
    }
    return room;
}

// A dict's entries as PyDict_Next yields them, for a walk that runs no Python code.
struct DictEntries {
    PyObject* dict;
    Py_ssize_t position = 0;
    bool next(PyObject*& key, PyObject*& value) { return PyDict_Next(dict, &position, &key, &value) != 0; }
};

// The entries of MapEntries, in order, which its owner holds while they
// are packed.
struct ArrayEntries {
    static constexpr bool kHeldByCaller = true;
    const MapEntries& map;
    std::size_t index = 0;
    bool next(PyObject*& key, PyObject*& value) {
        if (index == map.count) return false;
        key = map.keys[index];
        value = map.values[index].get();
        ++index;
        return true;
    }
};

template <Whole Mode>
std::int64_t room_left(PyObject* value, std::int64_t depth, std::int64_t room, const Limits& limits) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyDict_Type) {
        return map_room_left<Mode>(DictEntries{value}, PyDict_GET_SIZE(value), depth, room, limits);
    }
    if (type == &PyList_Type || type == &PyTuple_Type) {
        const Py_ssize_t size = Py_SIZE(value);
        if (size > limits.max_items || depth >= limits.max_depth) return -1;
        room -= kHeaderBytes;
        PyObject** items = PySequence_Fast_ITEMS(value);
        for (Py_ssize_t index = 0; index < size; ++index) {
            room = packed_scalar<Mode>(items[index]) ? room - kScalarBytes
                                                     : room_left<Mode>(items[index], depth + 1, room, limits);
            if (room < 0) return -1;
        }
        return room;
    }
    if (type == &PyUnicode_Type) {
        const std::int64_t size = PyUnicode_GET_LENGTH(value);
        return size > limits.max_text ? -1 : room - size - kHeaderBytes;
    }
    if (type == &PyBytes_Type || type == &PyByteArray_Type) {
        const std::int64_t size = Py_SIZE(value);
        return size > limits.max_text ? -1 : room - size - kHeaderBytes;
    }
    if constexpr (Mode == Whole::lightweight) {
        if (packed_scalar<Mode>(value)) return room - kScalarBytes;
        // Only an object whose repr is known without running code, and kept whole.
        const std::optional<PlainRepr> plain = plain_object_repr(value);
        if (!plain || static_cast<std::int64_t>(plain->size()) > limits.max_text) return -1;
        return room - static_cast<std::int64_t>(plain->size()) - kExtHeaderBytes;
    } else {
        if (is_scalar(value)) return room - kScalarBytes;  // an int beyond 64 bits goes to the fallback
        if (type == &PyMemoryView_Type || type == reinterpret_cast<PyTypeObject*>(g_ext_type) ||
            type == reinterpret_cast<PyTypeObject*>(g_timestamp_type)) {
            return -1;  // the packer would copy them whole
        }
        return room - kObjectBytes;  // the fallback cuts its repr
    }
}

// _bounded: what a mode keeps of a value within its limits and the bytes
// still allowed (`room_`), written as it is decided.
class BoundedWalk {
public:
    BoundedWalk(Workspace& workspace, Buffer& out, const Limits& limits, const Limits& full)
        : out_(out),
          limits_(limits),
          full_(full),
          room_(limits.max_value_bytes),
          open_(workspace.open),
          entries_(workspace.entries),
          doubtful_(workspace.doubtful) {}

    void add(PyObject* value, std::int64_t depth) {
        PyTypeObject* type = Py_TYPE(value);
        if (type == &PyUnicode_Type) {
            write_text(out_, kept_text(value));
        } else if (type == &PyLong_Type) {
            if (write_int_if_fits(out_, value)) {
                room_ -= kScalarBytes;
            } else {
                add_kept_repr(int_text(value));
            }
        } else if (is_scalar(value)) {
            room_ -= kScalarBytes;
            Packer(out_, full_, doubtful_).pack(value);
        } else if (type == &PyDict_Type || type == &PyList_Type || type == &PyTuple_Type) {
            add_container(value, depth);
        } else if (type == &PyByteArray_Type) {
            add_bytes(PyByteArray_AS_STRING(value),
                      std::min<std::int64_t>(PyByteArray_GET_SIZE(value), limits_.max_text + 1));
        } else if (type == &PyBytes_Type) {
            add_bytes(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value));
        } else if (type == &PyMemoryView_Type) {
            ViewBytes view(value);
            if (view.readable()) {
                add_bytes(reinterpret_cast<const char*>(view.data()),
                          std::min<std::int64_t>(view.size(), limits_.max_text + 1));
            } else {
                add_kept_repr(readable_text(value));
            }
        } else if (type == reinterpret_cast<PyTypeObject*>(g_timestamp_type)) {
            room_ -= 2 * kScalarBytes;
            doubtful_ = true;
            write_timestamp(out_, value);
        } else if (type == reinterpret_cast<PyTypeObject*>(g_ext_type)) {
            const ExtFields ext = ext_fields(value);
            const std::int64_t size = PyBytes_GET_SIZE(ext.data);
            if (size > limits_.max_text) {
                add_summary("<ExtType " + std::to_string(ext.code) + " of " + std::to_string(size) + " bytes>");
            } else if (is_own_code(ext.code)) {
                add_kept_repr(repr_text(value, limits_.max_text, full_.max_items, full_.max_depth));
            } else {
                room_ -= size + kScalarBytes;
                doubtful_ = true;
                write_ext_value(out_, ext);
            }
        } else {
            add_kept_repr(repr_text(value, limits_.max_text, full_.max_items, full_.max_depth));
        }
    }

private:
    void add_container(PyObject* value, std::int64_t depth) {
        PyTypeObject* type = Py_TYPE(value);
        if (std::find(open_.begin(), open_.end(), value) != open_.end()) {
            return add_summary(recursion_marker(type));
        }
        const std::int64_t count = PyObject_Length(value);
        if (depth >= limits_.max_depth) return add_summary(depth_summary(value));
        room_ -= type == &PyTuple_Type ? kExtHeaderBytes : kHeaderBytes;
        open_.push_back(value);
        const std::size_t start = out_.size();
        if (type == &PyDict_Type && !text_keys(value, limits_.max_items)) {
            add_pairs(value, count, depth + 1);
        } else if (type == &PyDict_Type) {
            add_map(value, count, depth + 1);
        } else {
            std::int64_t kept = 0;
            const std::int64_t limit = count <= limits_.max_items ? kUnlimited : limits_.max_items;
            for (Py_ssize_t index = 0; index < limit && index < Py_SIZE(value); ++index) {
                // Py_SIZE read each time, as a list iterator does.
                PyObject* item = PySequence_Fast_ITEMS(value)[index];
                if (room_ <= 0) break;
                PyRef held = hold_while_encoding(item);
                add(item, depth + 1);
                ++kept;
            }
            if (count - kept > 0) {
                add_left_out(count - kept, true);
                ++kept;
            }
            finish_array(out_, start, static_cast<std::size_t>(kept));
            if (type == &PyTuple_Type) finish_ext(out_, start, kExtTuple);
        }
        open_.pop_back();
    }

    // A dict whose keys are all text: a map, keys cut like text.
    void add_map(PyObject* value, std::int64_t count, std::int64_t depth) {
        const std::size_t start = out_.size();
        const std::size_t base = entries_.open();
        DictItems items(value);
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        for (std::int64_t index = 0; index < limits_.max_items && items.next(key, item); ++index) {
            if (room_ <= 0) break;
            HeldEntry held(key, item);
            const std::size_t key_begin = out_.size();
            if (PyUnicode_CheckExact(key)) {
                write_text(out_, kept_text(key));
            } else if (PyBytes_CheckExact(key)) {
                add_bytes_key(key);
            } else {
                throw Unmodelled{};  // a key changed by a repr while the dict was walked
            }
            const std::size_t value_begin = out_.size();
            add_entry(key, item, depth);
            entries_.settle(out_, base, key_begin, value_begin);
        }
        // Counted from what was kept: two long keys cut to the same text are one entry.
        const std::int64_t left_out = count - static_cast<std::int64_t>(entries_.count(base));
        if (left_out > 0) {
            const std::size_t key_begin = out_.size();
            write_text(out_, kMarker);
            const std::size_t value_begin = out_.size();
            add_left_out(left_out, false);
            entries_.settle(out_, base, key_begin, value_begin);
        }
        finish_map(out_, start, entries_, base);
    }

    // A dict with other keys: extension 3, an array of [key, value] pairs.
    void add_pairs(PyObject* value, std::int64_t count, std::int64_t depth) {
        const std::size_t start = out_.size();
        DictItems items(value);
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        std::int64_t pairs = 0;
        for (std::int64_t index = 0; index < limits_.max_items && items.next(key, item); ++index) {
            if (room_ <= 0) break;
            HeldEntry held(key, item);
            msgpack::write_array_header(out_, 2);
            add(key, depth);
            add_entry(key, item, depth);
            ++pairs;
        }
        if (count - pairs > 0) {
            msgpack::write_array_header(out_, 2);
            write_text(out_, kMarker);
            add_left_out(count - pairs, false);
            ++pairs;
        }
        finish_array(out_, start, static_cast<std::size_t>(pairs));
        finish_ext(out_, start, kExtPairs);
    }

    // A dict entry's value: the mask under a key that names a credential.
    void add_entry(PyObject* key, PyObject* item, std::int64_t depth) {
        if (is_credential_key(key)) return add_summary(kMask);
        add(item, depth);
    }

    void add_bytes(const char* data, std::int64_t size) {
        const std::int64_t keep = std::max<std::int64_t>(0, std::min(limits_.max_text, room_ - kHeaderBytes));
        if (size <= keep) {
            room_ -= size + kHeaderBytes;
            msgpack::write_bin(out_, reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
            return;
        }
        std::string cut(data, static_cast<std::size_t>(keep));
        cut += kMarker;
        room_ -= static_cast<std::int64_t>(cut.size()) + kHeaderBytes;
        msgpack::write_bin(out_, as_bytes(cut), cut.size());
    }

    void add_bytes_key(PyObject* key) {
        const std::string_view data(PyBytes_AS_STRING(key), static_cast<std::size_t>(PyBytes_GET_SIZE(key)));
        std::string cut(data.substr(0, static_cast<std::size_t>(std::min<std::int64_t>(
                                           limits_.max_text, static_cast<std::int64_t>(data.size())))));
        if (static_cast<std::int64_t>(data.size()) > limits_.max_text) cut += kMarker;
        room_ -= static_cast<std::int64_t>(cut.size()) + kHeaderBytes;
        msgpack::write_bin(out_, as_bytes(cut), cut.size());
    }

    // _left_out_text
    void add_left_out(std::int64_t count, bool with_marker) {
        const std::string text = left_out_text(count, with_marker);
        room_ -= characters(text) + kScalarBytes;
        write_text(out_, text);
    }

    // _summary: a repr of the walk's own, kept whole.
    void add_summary(std::string_view text) {
        room_ -= static_cast<std::int64_t>(text.size()) + kScalarBytes;
        write_repr(out_, text);
    }

    // _kept_repr: a repr, cut like a str.
    void add_kept_repr(PyRef text) {
        room_ -= kExtHeaderBytes - kHeaderBytes;
        write_repr(out_, kept_text(text.get()));
    }

    // _kept_text: `text` cut to max_text characters and to the bytes still
    // allowed, ending with the marker when cut, as valid UTF-8.
    std::string kept_text(PyObject* text) {
        const std::int64_t room = std::max<std::int64_t>(0, room_ - kHeaderBytes);
        bool cut = PyUnicode_GET_LENGTH(text) > limits_.max_text;
        PyRef head;
        if (cut) head = require(PyUnicode_Substring(text, 0, limits_.max_text));
        std::string escaped;
        std::string_view utf8 = safe_utf8(cut ? head.get() : text, escaped);
        if (static_cast<std::int64_t>(utf8.size()) > room) {
            // Bytes cut inside a character drop that character.
            std::size_t end = static_cast<std::size_t>(room);
            while (end > 0 && (static_cast<unsigned char>(utf8[end]) & 0xc0) == 0x80) --end;
            utf8 = utf8.substr(0, end);
            cut = true;
        }
        room_ -= static_cast<std::int64_t>(utf8.size()) + kHeaderBytes;
        std::string kept(utf8);
        if (cut) {
            room_ -= static_cast<std::int64_t>(kMarker.size());
            kept += kMarker;
        }
        return kept;
    }

    Buffer& out_;
    const Limits& limits_;
    const Limits& full_;
    std::int64_t room_;
    std::vector<PyObject*>& open_;
    SummaryEntries& entries_;
    bool& doubtful_;
};

// _lightweight: a bounded summary of a value, written as it is decided.
class LightweightWalk {
public:
    LightweightWalk(Workspace& workspace, Buffer& out, const Limits& limits, const Limits& full)
        : out_(out),
          limits_(limits),
          full_(full),
          open_(workspace.open),
          entries_(workspace.entries),
          doubtful_(workspace.doubtful) {}

    void add(PyObject* value, std::int64_t depth) {
        PyTypeObject* type = Py_TYPE(value);
        if (type == &PyUnicode_Type) {
            if (PyUnicode_GET_LENGTH(value) <= limits_.max_text && PyUnicode_IS_ASCII(value)) {
                write_text(out_, ascii_text(value));
            } else {
                write_text(out_, cut_text(value, limits_.max_text));
            }
        } else if (type == &PyLong_Type) {
            if (!write_int_if_fits(out_, value)) write_repr(out_, cut_text(int_text(value).get(), limits_.max_text));
        } else if (is_scalar(value)) {
            Packer(out_, full_, doubtful_).pack(value);
        } else if (type == &PyDict_Type || type == &PyList_Type || type == &PyTuple_Type) {
            add_container(value, depth);
        } else if (type == &PyByteArray_Type) {
            add_bytes(PyByteArray_AS_STRING(value), PyByteArray_GET_SIZE(value));
        } else if (type == &PyBytes_Type) {
            add_bytes(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value));
        } else if (type == &PyMemoryView_Type) {
            ViewBytes view(value);
            if (view.readable()) {
                add_bytes(reinterpret_cast<const char*>(view.data()), view.size());
            } else {
                add_repr(value);
            }
        } else if (type == reinterpret_cast<PyTypeObject*>(g_timestamp_type)) {
            doubtful_ = true;
            write_timestamp(out_, value);
        } else if (type == reinterpret_cast<PyTypeObject*>(g_ext_type)) {
            const ExtFields ext = ext_fields(value);
            if (is_own_code(ext.code)) {
                add_repr(value);
            } else {
                doubtful_ = true;
                write_ext_value(out_, ext);
            }
        } else {
            add_repr(value);
        }
    }

private:
    void add_repr(PyObject* value) {
        PyRef text = repr_text(value, limits_.max_text, full_.max_items, full_.max_depth);
        write_repr(out_, cut_text(text.get(), limits_.max_text));
    }

    void add_bytes(const char* data, std::int64_t size) {
        if (size <= limits_.max_text) {
            msgpack::write_bin(out_, reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
            return;
        }
        std::string cut(data, static_cast<std::size_t>(limits_.max_text));
        cut += kMarker;
        msgpack::write_bin(out_, as_bytes(cut), cut.size());
    }

    void add_container(PyObject* value, std::int64_t depth) {
        PyTypeObject* type = Py_TYPE(value);
        if (std::find(open_.begin(), open_.end(), value) != open_.end()) {
            return write_repr(out_, recursion_marker(type));
        }
        if (depth >= limits_.max_depth) return write_repr(out_, depth_summary(value));
        open_.push_back(value);
        const std::int64_t left_out = PyObject_Length(value) - limits_.max_items;
        const std::size_t start = out_.size();
        if (type == &PyDict_Type) {
            const std::int64_t limit = left_out <= 0 ? kUnlimited : limits_.max_items;
            if (text_keys(value, limits_.max_items)) {
                add_map(value, limit, left_out, depth + 1);
            } else {
                add_pairs(value, limit, left_out, depth + 1);
            }
        } else {
            // A long list is cut by slicing it first.
            PyRef head;
            PyObject* items = value;
            if (left_out > 0) {
                head = require(PySequence_GetSlice(value, 0, limits_.max_items));
                items = head.get();
            }
            std::int64_t written = 0;
            for (Py_ssize_t index = 0; index < Py_SIZE(items); ++index) {
                PyObject* item = PySequence_Fast_ITEMS(items)[index];
                PyRef held = hold_while_encoding(item);
                add(item, depth + 1);
                ++written;
            }
            if (left_out > 0) {
                write_text(out_, left_out_text(left_out, true));
                ++written;
            }
            finish_array(out_, start, static_cast<std::size_t>(written));
            if (type == &PyTuple_Type) finish_ext(out_, start, kExtTuple);
        }
        open_.pop_back();
    }

    void add_map(PyObject* value, std::int64_t limit, std::int64_t left_out, std::int64_t depth) {
        const std::size_t start = out_.size();
        const std::size_t base = entries_.open();
        DictItems items(value);
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        for (std::int64_t index = 0; index < limit && items.next(key, item); ++index) {
            HeldEntry held(key, item);
            const std::size_t key_begin = out_.size();
            add_key(key);
            const std::size_t value_begin = out_.size();
            add_entry(key, item, depth);
            entries_.settle(out_, base, key_begin, value_begin);
        }
        if (left_out > 0) {
            const std::size_t key_begin = out_.size();
            write_text(out_, kMarker);
            const std::size_t value_begin = out_.size();
            write_text(out_, left_out_text(left_out, false));
            entries_.settle(out_, base, key_begin, value_begin);
        }
        finish_map(out_, start, entries_, base);
    }

    void add_pairs(PyObject* value, std::int64_t limit, std::int64_t left_out, std::int64_t depth) {
        const std::size_t start = out_.size();
        DictItems items(value);
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        std::int64_t pairs = 0;
        for (std::int64_t index = 0; index < limit && items.next(key, item); ++index) {
            HeldEntry held(key, item);
            msgpack::write_array_header(out_, 2);
            add(key, depth);
            add_entry(key, item, depth);
            ++pairs;
        }
        if (left_out > 0) {
            msgpack::write_array_header(out_, 2);
            write_text(out_, kMarker);
            write_text(out_, left_out_text(left_out, false));
            ++pairs;
        }
        finish_array(out_, start, static_cast<std::size_t>(pairs));
        finish_ext(out_, start, kExtPairs);
    }

    // _lightweight_entry: a dict entry's value, the mask under a key that
    // names a credential.
    void add_entry(PyObject* key, PyObject* item, std::int64_t depth) {
        if (is_credential_key(key)) return write_repr(out_, kMask);
        add(item, depth);
    }

    // _lightweight_key: text cut like text, bytes cut without a marker.
    void add_key(PyObject* key) {
        if (PyUnicode_CheckExact(key)) {
            if (PyUnicode_GET_LENGTH(key) <= limits_.max_text && PyUnicode_IS_ASCII(key)) {
                write_text(out_, ascii_text(key));
            } else {
                write_text(out_, cut_text(key, limits_.max_text));
            }
        } else if (PyBytes_CheckExact(key)) {
            const std::int64_t size = std::min<std::int64_t>(PyBytes_GET_SIZE(key), limits_.max_text);
            msgpack::write_bin(out_, reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(key)),
                               static_cast<std::size_t>(size));
        } else {
            throw Unmodelled{};  // a key changed by a repr while the dict was walked
        }
    }

    Buffer& out_;
    const Limits& limits_;
    const Limits& full_;
    std::vector<PyObject*>& open_;
    SummaryEntries& entries_;
    bool& doubtful_;
};

// _pack_or_describe: the walk's output, or a description of the value when
// the walk raised an Exception.
template <typename Walk>
void walk_or_describe(Workspace& workspace, Buffer& out, PyObject* value, const Limits& limits,
                      const Limits& full) {
    // The walk nests containers up to max_depth deep (the packer far less).
    if (limits.max_depth >= static_cast<std::int64_t>(msgpack::kMaxCheckedDepth)) workspace.doubtful = true;
    try {
        Walk(workspace, out, limits, full).add(value, 0);
    } catch (const PyErrorSet&) {
        if (!clear_ordinary_error()) throw;
        workspace.restart(out);
        write_repr(out, "<unserialisable " + shown_type_name(value) + " object>");
    }
}

PyRef as_bytes_object(const Buffer& out) {
    return require(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()), static_cast<Py_ssize_t>(out.size())));
}

// Whether a reader loads the whole of `out` as it is: written with no doubt,
// and no str longer than a length field holds (as the output is longer then).
bool is_loadable(const Workspace& workspace, const Buffer& out) {
    return !workspace.doubtful && out.size() <= 0xffffffff;
}

// Whether the fast path may pack `value` whole: the checks of dump_msgpack.
bool fits_whole(PyObject* value, const Limits& full) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyDict_Type || type == &PyList_Type || type == &PyTuple_Type) {
        return room_left<Whole::full>(value, 0, full.max_value_bytes, full) >= 0;
    }
    if (type == &PyUnicode_Type) return PyUnicode_GET_LENGTH(value) <= full.max_text;
    if (type == &PyBytes_Type || type == &PyByteArray_Type) return Py_SIZE(value) <= full.max_text;
    return type != &PyMemoryView_Type && type != reinterpret_cast<PyTypeObject*>(g_ext_type) &&
           type != reinterpret_cast<PyTypeObject*>(g_timestamp_type);
}

}  // namespace

void set_limits(const Limits& full, const Limits& lightweight) {
    g_full = full;
    g_lightweight = lightweight;
}

void set_msgpack_types(PyObject* ext_type, PyObject* timestamp_type) {
    Py_INCREF(ext_type);
    Py_INCREF(timestamp_type);
    Py_XSETREF(g_ext_type, ext_type);
    Py_XSETREF(g_timestamp_type, timestamp_type);
}

namespace {

// A scalar (None, a bool, an int, a float) as the full mode writes it; a
// reader always loads it, so it needs no workspace.
bool pack_scalar(Buffer& out, PyObject* value) {
    const Limits full = g_full;
    bool doubtful = false;
    Packer(out, full, doubtful).pack(value);
    return true;
}

// `pack` run with a Packer on `out`, for a value that fits the mode's
// `limits` whole (the packer cuts reprs to their max_text): true when a
// reader loads what it wrote as it is. nullopt, and `out` empty again, when
// the mode's walk must decide after all.
template <typename Pack>
std::optional<bool> pack_whole_with(Buffer& out, const Limits& limits, Pack&& pack) {
    bool doubtful = false;
    try {
        Packer packer(out, limits, doubtful);
        pack(packer);
        if (static_cast<std::int64_t>(out.size()) <= limits.max_value_bytes) {
            return !doubtful && out.size() <= 0xffffffff;
        }
    } catch (const PyErrorSet&) {
        // Text that is not UTF-8, a dict changed by a repr.
        if (!clear_ordinary_error()) throw;
    }
    out.clear();
    return std::nullopt;
}

// dump_full's fast path: `value` packed whole when it fits the full mode's
// limits, with no workspace.
std::optional<bool> pack_whole(Buffer& out, PyObject* value, const Limits& full) {
    if (!fits_whole(value, full)) return std::nullopt;
    return pack_whole_with(out, full, [value](Packer& packer) { packer.pack(value); });
}

// dump_lightweight's: a value made only of what the lightweight walk writes
// as the packer does (text, bytes, ints of 64 bits, floats, None, bools,
// instances shown by object.__repr__, and lists, tuples and dicts of them),
// within the lightweight limits, is packed with no workspace.
std::optional<bool> pack_lightweight_whole(Buffer& out, PyObject* value, const Limits& lightweight) {
    if (room_left<Whole::lightweight>(value, 0, lightweight.max_value_bytes, lightweight) < 0) return std::nullopt;
    return pack_whole_with(out, lightweight, [value](Packer& packer) { packer.pack(value); });
}

// dump_lightweight into `out`; true when a reader loads what it wrote as it
// is (the workspace has no doubt about it).
bool encode_lightweight(Workspace& workspace, Buffer& out, PyObject* value) {
    const Limits lightweight = g_lightweight;
    const Limits full = g_full;
    walk_or_describe<LightweightWalk>(workspace, out, value, lightweight, full);
    if (lightweight.max_value_bytes != kNoCap && static_cast<std::int64_t>(out.size()) > lightweight.max_value_bytes) {
        // The other limits allowed more than the cap: keep what fits.
        workspace.restart(out);
        walk_or_describe<BoundedWalk>(workspace, out, value, lightweight, full);
    }
    return is_loadable(workspace, out);
}

}  // namespace

PyRef dump_full(PyObject* value) {
    // The leased buffer is written into; a walk leases a workspace of its own.
    WorkspaceLease lease;
    dump_full(value, lease.get().out);
    return as_bytes_object(lease.get().out);
}

PyRef dump_lightweight(PyObject* value) {
    WorkspaceLease lease;
    dump_lightweight(value, lease.get().out);
    return as_bytes_object(lease.get().out);
}

bool dump_full(PyObject* value, Buffer& out) {
    if (is_scalar(value)) return pack_scalar(out, value);
    // The limits of this call, whatever a repr sets meanwhile.
    const Limits full = g_full;
    if (std::optional<bool> loadable = pack_whole(out, value, full)) return *loadable;
    WorkspaceLease lease;
    walk_or_describe<BoundedWalk>(lease.get(), out, value, full, full);
    return is_loadable(lease.get(), out);
}

bool dump_lightweight(PyObject* value, Buffer& out) {
    if (std::optional<bool> loadable = pack_lightweight_whole(out, value, g_lightweight)) return *loadable;
    WorkspaceLease lease;
    return encode_lightweight(lease.get(), out, value);
}

std::optional<bool> dump_whole_map(const MapEntries& map, bool lightweight, Buffer& out) {
    const Limits limits = lightweight ? g_lightweight : g_full;
    const auto size = static_cast<Py_ssize_t>(map.count);
    const std::int64_t room =
        lightweight ? map_room_left<Whole::lightweight>(ArrayEntries{map}, size, 0, limits.max_value_bytes, limits)
                    : map_room_left<Whole::full>(ArrayEntries{map}, size, 0, limits.max_value_bytes, limits);
    if (room < 0) return std::nullopt;
    return pack_whole_with(out, limits, [&map, size](Packer& packer) {
        ArrayEntries entries{map};
        packer.pack_map(entries, size);
    });
}

}  // namespace zelm::serializer
