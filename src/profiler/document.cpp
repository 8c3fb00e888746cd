// The trace document and saving it through the host.
#include "profiler/profiler.hpp"

namespace zelm {

struct HostFacts {
    std::string version;
    std::optional<std::string> commit_sha;
    std::vector<std::string> argv;
};

namespace {

// Read before any buffer is touched, so a failure leaves every record in place.
HostFacts read_host_facts() {
    const Names& n = names();
    HostFacts facts;
    PyRef version_module = require(PyImport_Import(n.zelm_version));
    facts.version = extract_str(require(PyObject_GetAttr(version_module.get(), n.version_attr)).get());
    PyRef git = require(PyImport_Import(n.zelm_git));
    PyRef commit = require(PyObject_GetAttr(git.get(), n.commit_sha));
    if (commit.get() != Py_None) facts.commit_sha = extract_str(commit.get());
    PyRef sys = require(PyImport_Import(n.sys));
    // Arguments are whatever bytes the program was given; any that are not
    // UTF-8 are recorded escaped rather than costing the whole trace.
    facts.argv = extract_sequence<std::string>(require(PyObject_GetAttr(sys.get(), n.argv)).get(),
                                               extract_str_escaping_surrogates);
    return facts;
}

// The document's own bytes, with the record arrays' payloads left out and
// noted as splices: the records are copied once, straight into the bytes
// object, instead of into a buffer first and from there into the object.
struct DocumentWriter {
    struct Splice {
        std::size_t offset;  // in `head`, where the records' bytes belong
        RecordArena* records;
    };
    msgpack::Buffer head;
    std::vector<Splice> splices;
    std::size_t records_size = 0;

    // The one allocation that can fail comes before any record is copied
    // (or released), so a failure leaves every record in place.
    PyRef to_bytes(bool release) {
        std::size_t size = head.size() + records_size;
        PyRef bytes = require(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        auto* out = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get()));
        std::size_t copied = 0;
        for (const Splice& splice : splices) {
            out = std::copy(head.begin() + static_cast<std::ptrdiff_t>(copied),
                            head.begin() + static_cast<std::ptrdiff_t>(splice.offset), out);
            copied = splice.offset;
            out = release ? splice.records->move_to(out) : splice.records->copy_to(out);
        }
        std::copy(head.begin() + static_cast<std::ptrdiff_t>(copied), head.end(), out);
        return bytes;
    }
};

// What every cut record of a document says of the whole trace.
struct TraceTotals {
    std::uint64_t budget_bytes;
    std::uint64_t recorded_bytes;
};

// One buffer's record array: the array header with the record count, then
// each record's bytes unchanged: the buffer's first part, and when it has a
// tail, the cut record (if the tail let records go) and the tail's records.
void write_raw_frames(DocumentWriter& out, RecordArena& records, TakenTail* tail, const TraceTotals& totals) {
    Record cut;
    if (tail && tail->gap.dropped_records > 0) {
        write_cut_record(cut, tail->gap, totals.budget_bytes, totals.recorded_bytes);
    }
    const std::size_t count = records.records() + (cut.empty() ? 0 : 1) + (tail ? tail->records.records() : 0);
    msgpack::write_array_header(out.head, static_cast<std::uint32_t>(count));
    out.splices.push_back({out.head.size(), &records});
    out.records_size += records.bytes();
    if (!tail) return;
    out.head.insert(out.head.end(), cut.begin(), cut.end());
    out.splices.push_back({out.head.size(), &tail->records});
    out.records_size += tail->records.bytes();
}

TakenTail* tail_of(TakenRecords& taken, BufferKey key) {
    auto found = taken.tails.find(key);
    return found == taken.tails.end() ? nullptr : &found->second;
}

// "command_line_args": [str, ...]
void write_argv(msgpack::Buffer& out, const std::vector<std::string>& argv) {
    msgpack::write_str(out, "command_line_args");
    msgpack::write_array_header(out, static_cast<std::uint32_t>(argv.size()));
    for (const std::string& arg : argv) msgpack::write_str(out, arg);
}

// "frames": {native thread id (uint): [record, ...], ...}
void write_frames(DocumentWriter& out, TakenRecords& taken, const TraceTotals& totals) {
    // A thread whose records all went to the tail has an entry too.
    for (auto& [key, tail] : taken.tails) {
        if (key) taken.frames.try_emplace(*key);
    }
    msgpack::write_str(out.head, "frames");
    msgpack::write_map_header(out.head, static_cast<std::uint32_t>(taken.frames.size()));
    for (auto& [thread_id, records] : taken.frames) {
        msgpack::write_uint(out.head, thread_id);
        write_raw_frames(out, records, tail_of(taken, thread_id), totals);
    }
}

// "frames_of_interest": [record, ...]
void write_frames_of_interest(DocumentWriter& out, TakenRecords& taken, const TraceTotals& totals) {
    msgpack::write_str(out.head, "frames_of_interest");
    write_raw_frames(out, taken.frames_of_interest, tail_of(taken, std::nullopt), totals);
}

// "meta": {"version": str, "source": str, "use_frame_boundaries": true}
void write_meta(msgpack::Buffer& out, std::string_view version, std::string_view source) {
    msgpack::write_str(out, "meta");
    msgpack::write_map_header(out, 3);
    msgpack::write_str(out, "version");
    msgpack::write_str(out, version);
    msgpack::write_str(out, "source");
    msgpack::write_str(out, source);
    msgpack::write_str(out, "use_frame_boundaries");
    msgpack::write_bool(out, true);
}

}  // namespace

TakenRecords ZelmProfiler::take_records() {
    std::lock_guard frames_of_interest_lock(frames_of_interest_mutex);
    std::lock_guard frames_lock(frames_mutex);
    std::lock_guard tail_lock(tail_mutex);
    TakenRecords taken;
    taken.recorded_bytes = trace_bytes.exchange(0, std::memory_order_relaxed);
    if (tail) {
        taken.recorded_bytes += tail->bytes();
        taken.tails = tail->take();
    }
    taken.frames_of_interest = std::exchange(frames_of_interest, RecordArena(block_pool));
    taken.frames = std::exchange(frames, {});
    return taken;
}

void ZelmProfiler::restore_records(TakenRecords taken) {
    std::lock_guard frames_of_interest_lock(frames_of_interest_mutex);
    std::lock_guard frames_lock(frames_mutex);
    for (auto& [key, tail] : taken.tails) {
        if (key) taken.frames.try_emplace(*key);
    }
    const TraceTotals totals{trace_budget_bytes.value_or(0), taken.recorded_bytes};
    std::uint64_t restored = 0;
    // Records filed meanwhile came later: the taken ones go back ahead of
    // them, a buffer's tail as part of its records, after its cut record.
    auto restore = [&](RecordArena& into, RecordArena& records, BufferKey key) {
        if (TakenTail* tail = tail_of(taken, key)) {
            if (tail->gap.dropped_records > 0) {
                Record cut;
                write_cut_record(cut, tail->gap, totals.budget_bytes, totals.recorded_bytes);
                records.append(cut);
            }
            tail->records.prepend(std::move(records));
            records = std::move(tail->records);
        }
        restored += records.bytes();
        into.prepend(std::move(records));
    };
    restore(frames_of_interest, taken.frames_of_interest, std::nullopt);
    for (auto& [thread_id, records] : taken.frames) restore(frames[thread_id], records, thread_id);
    trace_bytes.fetch_add(restored, std::memory_order_relaxed);
}

// fixmap(8): command_line_args, current_commit_sha, frames,
// frames_of_interest, main_thread_id, meta, timestamp, trace_id; a child
// process's trace has a ninth entry, parent_trace_id, after meta.
PyRef ZelmProfiler::write_document(TakenRecords& taken, const HostFacts& facts, bool release) {
    std::string current_trace_id;
    {
        std::lock_guard lock(trace_id_mutex);
        current_trace_id = trace_id;
    }
    DocumentWriter out;
    out.head.reserve(1024 + 16 * taken.frames.size());
    msgpack::write_map_header(out.head, parent_trace_id ? 9 : 8);
    write_argv(out.head, facts.argv);
    msgpack::write_str_pair(out.head, "current_commit_sha",
                            facts.commit_sha ? std::optional<std::string_view>(*facts.commit_sha)
                                             : std::nullopt);
    const TraceTotals totals{trace_budget_bytes.value_or(0), taken.recorded_bytes};
    write_frames(out, taken, totals);
    write_frames_of_interest(out, taken, totals);
    msgpack::write_int_pair(out.head, "main_thread_id", main_thread_id);
    write_meta(out.head, facts.version, source);
    if (parent_trace_id) msgpack::write_str_pair(out.head, "parent_trace_id", *parent_trace_id);
    msgpack::write_f64_pair(out.head, "timestamp", timestamp);
    msgpack::write_str(out.head, "trace_id");
    msgpack::write_str(out.head, current_trace_id);
    return out.to_bytes(release);
}

PyRef ZelmProfiler::build_trace_inner() {
    note_replaced_hooks();
    HostFacts facts = read_host_facts();
    TakenRecords taken = take_records();
    try {
        // The records go as they are copied: the build never holds them twice.
        return write_document(taken, facts, true);
    } catch (const PyErrorSet&) {
        // No memory for the bytes object: keep the records for a later build.
        restore_records_keeping_error(std::move(taken));
        throw;
    }
}

void ZelmProfiler::restore_records_keeping_error(TakenRecords taken) {
    PendingExceptionGuard failure;
    restore_records(std::move(taken));
}

void ZelmProfiler::save_in_db() {
    const Names& n = names();
    PyRef kwargs = require(PyDict_New());
    PyRef timeout = require(PyLong_FromUnsignedLongLong(sqlite_busy_timeout));
    require_status(PyDict_SetItem(kwargs.get(), n.timeout, timeout.get()));

    // Resolve the host function first: if it is missing, nothing is taken.
    PyRef db = require(PyImport_Import(n.zelm_db));
    PyRef save = require(PyObject_GetAttr(db.get(), n.save_trace_in_sqlite));

    HostFacts facts = read_host_facts();
    TakenRecords taken = take_records();
    std::string saved_trace_id;
    PyRef document;
    try {
        // Kept until the host has stored the document, to go back if it fails.
        document = write_document(taken, facts, false);
        require_status(PyDict_SetItem(kwargs.get(), n.msgpack, document.get()));
        {
            std::lock_guard lock(trace_id_mutex);
            saved_trace_id = trace_id;
        }
        PyRef path = require(PyUnicode_DecodeFSDefaultAndSize(db_path.data(),
                                                              static_cast<Py_ssize_t>(db_path.size())));
        PyRef id = require(PyUnicode_FromStringAndSize(saved_trace_id.data(),
                                                       static_cast<Py_ssize_t>(saved_trace_id.size())));
        PyRef args = require(PyTuple_Pack(2, path.get(), id.get()));
        require(PyObject_Call(save.get(), args.get(), kwargs.get()));
    } catch (const PyErrorSet&) {
        // Nothing is lost: the records go back ahead of any filed meanwhile,
        // unless the store wrote the document to a file of its own instead;
        // then a later save would store them a second time.
        if (!store_kept_document()) restore_records_keeping_error(std::move(taken));
        throw;
    }
}

bool ZelmProfiler::store_kept_document() {
    // The host's store raises with attribute "fallback_path" naming the
    // file the document went to (None when none could be written).
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    bool kept = false;
    if (value != nullptr) {
        PyRef path = PyRef::steal(PyObject_GetAttr(value, names().fallback_path));
        kept = path && PyUnicode_Check(path.get());
        if (!path) PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
    return kept;
}

}  // namespace zelm
