// Filing record batches per thread, and cutting the stream into one trace
// per test at the "start_test" / "end_test" markers.
#include <algorithm>
#include <utility>

#include "names/thread_info.hpp"
#include "profiler/profiler.hpp"

namespace zelm {

void ZelmProfiler::push_frame_data(std::optional<std::uint64_t> thread_id, const RecordBatch& batch,
                                   std::size_t first, std::size_t last) {
    const BufferKey key = thread_id && threading && main_thread_id != thread_id ? thread_id : std::nullopt;
    if (tail && trace_bytes.load(std::memory_order_relaxed) >= head_budget_bytes) {
        // Past the first part of the budget: the tail keeps the newest records.
        std::lock_guard lock(tail_mutex);
        for (std::size_t k = first; k < last; ++k) tail->file(key, batch.bytes_of(batch.records[k]));
        return;
    }
    std::uint64_t bytes = 0;
    for (std::size_t k = first; k < last; ++k) bytes += batch.records[k].end - batch.records[k].begin;
    // All or none: the room is made before any record is copied. Counted
    // under the lock that files them, so a reset (which holds both locks)
    // never splits records from their bytes.
    auto file = [&](RecordArena& buffer) {
        buffer.reserve(bytes);
        for (std::size_t k = first; k < last; ++k) buffer.append(batch.bytes_of(batch.records[k]));
        trace_bytes.fetch_add(bytes, std::memory_order_relaxed);
    };
    if (key) {
        std::lock_guard lock(frames_mutex);
        file(frames.try_emplace(*key, block_pool).first->second);
    } else {
        std::lock_guard lock(frames_of_interest_mutex);
        file(frames_of_interest);
    }
}

void ZelmProfiler::open_test_trace() {
    std::string new_trace_id = zelm::trace_id();
    // Always trace_id, frames_of_interest, frames, the tail; the GIL is held throughout.
    std::lock_guard trace_id_lock(trace_id_mutex);
    std::lock_guard frames_of_interest_lock(frames_of_interest_mutex);
    std::lock_guard frames_lock(frames_mutex);
    trace_id = std::move(new_trace_id);
    std::lock_guard tail_lock(tail_mutex);
    frames_of_interest = RecordArena(block_pool);
    frames.clear();
    trace_bytes.store(0, std::memory_order_relaxed);
    if (tail) tail->clear();
}

void ZelmProfiler::push_frames(Event event, RecordBatch& batch, ThreadState& state) {
    if (batch.records.empty()) return;
    if (event == Event::return_) std::reverse(batch.records.begin(), batch.records.end());
    std::optional<std::uint64_t> thread_id = identity(state).native_id;

    // Records [0, filed) have been filed by earlier markers.
    std::size_t filed = 0;
    if (one_trace_per_test) {
        for (std::size_t k = 0; k < batch.records.size(); ++k) {
            if (batch.records[k].marker == Marker::end_test) {
                // Ahead of the marker, which stays the test's last record.
                note_replaced_hooks();
                push_frame_data(thread_id, batch, filed, k + 1);
                filed = k + 1;
                save_in_db();
            } else if (batch.records[k].marker == Marker::start_test) {
                push_frame_data(thread_id, batch, filed, k);
                filed = k;
                open_test_trace();
            }
        }
    }
    push_frame_data(thread_id, batch, filed, batch.records.size());
}

}  // namespace zelm
