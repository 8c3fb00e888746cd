// Every profiler alive in the process, for what concerns them all at once:
// a fork, and a thread that ends.
#pragma once

#include <cstdint>

namespace zelm {

class ZelmProfiler;

// Lists or unlists a profiler; by its constructor and destructor.
void list_profiler(ZelmProfiler* profiler);
void unlist_profiler(ZelmProfiler* profiler);

// Makes fork() safe for every profiler of the process: once, at module import.
void install_fork_handlers();

// Releases the slots of thread `serial` in every live profiler. With the
// GIL held; the slots are destroyed once every lock is let go, since
// releasing the frames on their stacks may run Python code.
void release_thread_slots(std::uint64_t serial);

}  // namespace zelm
