// The registry of live profilers and the fork handlers that keep their locks
// usable in a child.
#include "profiler/registry.hpp"

#include <pthread.h>

#include <mutex>
#include <vector>

#include "profiler/profiler.hpp"

namespace zelm {
namespace {

// Never destroyed: fork handlers may run after static destructors have.
struct Registry {
    std::mutex mutex;
    std::vector<ZelmProfiler*> profilers;
};

Registry& registry() {
    static Registry* const instance = new Registry();
    return *instance;
}

// A fork copies the calling thread only: a mutex that another thread holds
// at that moment would stay locked in the child for good, and the data it
// guards could be half-changed. So every profiler mutex is taken before the
// fork and let go on both sides. No holder of one ever waits for the GIL or
// for anything else, so taking them never blocks for long.
void lock_before_fork() {
    Registry& r = registry();
    r.mutex.lock();
    for (ZelmProfiler* profiler : r.profilers) profiler->lock_for_fork();
}

void unlock_after_fork() {
    Registry& r = registry();
    for (ZelmProfiler* profiler : r.profilers) profiler->unlock_after_fork();
    r.mutex.unlock();
}

}  // namespace

void list_profiler(ZelmProfiler* profiler) {
    std::lock_guard lock(registry().mutex);
    registry().profilers.push_back(profiler);
}

void unlist_profiler(ZelmProfiler* profiler) {
    std::lock_guard lock(registry().mutex);
    std::erase(registry().profilers, profiler);
}

void install_fork_handlers() {
    static std::once_flag installed;
    std::call_once(installed, [] { pthread_atfork(lock_before_fork, unlock_after_fork, unlock_after_fork); });
}

void release_thread_slots(std::uint64_t serial) {
    std::vector<std::unique_ptr<ThreadState>> released;
    std::lock_guard lock(registry().mutex);
    for (ZelmProfiler* profiler : registry().profilers) {
        if (std::unique_ptr<ThreadState> slot = profiler->take_thread_slot(serial)) {
            released.push_back(std::move(slot));
        }
    }
    // `lock` is let go before `released` is destroyed (reverse order).
}

}  // namespace zelm
