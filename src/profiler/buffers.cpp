// Filing record batches per thread, and cutting the stream into one trace
// per test at the "start_test" / "end_test" markers.
#include <algorithm>
#include <iterator>
#include <utility>

#include "profiler/profiler.hpp"
#include "utils/thread_info.hpp"

namespace zelm {

void ZelmProfiler::push_frame_data(std::optional<std::uint64_t> thread_id,
                                   std::vector<Record>& records, std::size_t count) {
    auto first = records.begin();
    auto last = records.begin() + static_cast<std::ptrdiff_t>(count);
    std::uint64_t bytes = 0;
    for (auto record = first; record != last; ++record) bytes += record->size();
    // Counted under the lock that files them, so a reset (which holds both
    // locks) never splits records from their bytes.
    if (thread_id && threading && main_thread_id != thread_id) {
        std::lock_guard lock(frames_mutex);
        auto& buffer = frames[*thread_id];
        buffer.insert(buffer.end(), std::make_move_iterator(first), std::make_move_iterator(last));
        trace_bytes.fetch_add(bytes, std::memory_order_relaxed);
    } else {
        std::lock_guard lock(frames_of_interest_mutex);
        frames_of_interest.insert(frames_of_interest.end(), std::make_move_iterator(first),
                                  std::make_move_iterator(last));
        trace_bytes.fetch_add(bytes, std::memory_order_relaxed);
    }
    records.erase(first, last);
}

void ZelmProfiler::open_test_trace() {
    std::string new_trace_id = zelm::trace_id();
    // Always trace_id, frames_of_interest, frames; the GIL is held throughout.
    std::lock_guard trace_id_lock(trace_id_mutex);
    std::lock_guard frames_of_interest_lock(frames_of_interest_mutex);
    std::lock_guard frames_lock(frames_mutex);
    trace_id = std::move(new_trace_id);
    frames_of_interest.clear();
    frames.clear();
    reset_budget();
}

TakenRecords ZelmProfiler::reset_budget() {
    TakenRecords account;
    account.recorded_bytes = trace_bytes.exchange(0, std::memory_order_relaxed);
    account.dropped_events = dropped_events.exchange(0, std::memory_order_relaxed);
    account.cut = std::exchange(trace_cut, std::nullopt);
    trace_generation.fetch_add(1, std::memory_order_release);
    return account;
}

bool ZelmProfiler::batch_opens_test(const RecordBatch& batch) {
    return std::find(batch.types.begin(), batch.types.end(), "start_test") != batch.types.end();
}

void ZelmProfiler::push_frames(Event event, RecordBatch& batch, ThreadState& state) {
    if (batch.types.empty()) return;
    if (event == Event::return_) {
        std::reverse(batch.types.begin(), batch.types.end());
        std::reverse(batch.records.begin(), batch.records.end());
    }
    std::optional<std::uint64_t> thread_id = identity(state).native_id;

    if (one_trace_per_test) {
        // `taken` records of this batch have been filed by earlier markers.
        std::size_t taken = 0;
        for (std::size_t k = 0; k < batch.types.size(); ++k) {
            std::size_t position = k - taken;
            if (batch.types[k] == "end_test") {
                push_frame_data(thread_id, batch.records, position + 1);
                taken += position + 1;
                save_in_db();
            } else if (batch.types[k] == "start_test") {
                push_frame_data(thread_id, batch.records, position);
                taken += position;
                open_test_trace();
            }
        }
    }
    push_frame_data(thread_id, batch.records, batch.records.size());
}

}  // namespace zelm
