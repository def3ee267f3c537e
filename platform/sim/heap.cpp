// The host's heap over malloc/free, with a count of live blocks and a
// failure switch, so tests can fail any one allocation and find leaks.
#include <cstdio>
#include <cstdlib>
#include <unordered_map>

#include "platform/sim/internal.h"

namespace sim {
namespace internal {
namespace {

struct Heap {
    // Live block -> the reset generation it was allocated in. A block that
    // outlives a reset (static tables of the host) may still be released.
    std::unordered_map<void*, std::uint64_t> blocks;
    std::uint64_t generation = 0;
};

Heap& H() {
    static Heap heap;
    return heap;
}

}  // namespace

void ResetHeapLocked() {
    ++H().generation;
}

}  // namespace internal

std::size_t LiveAllocations() {
    std::lock_guard<std::mutex> lock(internal::Mutex());
    std::size_t n = 0;
    for (const auto& b : internal::H().blocks) {
        if (b.second == internal::H().generation) ++n;
    }
    return n;
}

}  // namespace sim

namespace platform {

using namespace sim::internal;

void* HeapAllocate(std::size_t bytes) {
    Call call(sim::Op::HeapAllocate);
    if (FailLocked(sim::Op::HeapAllocate)) return nullptr;
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block != nullptr) H().blocks[block] = H().generation;
    return block;
}

void HeapRelease(void* block) {
    if (block == nullptr) return;
    {
        Call call;
        if (H().blocks.erase(block) == 0) {
            // Freeing what this heap never handed out (or freeing twice) is a
            // fault of the caller: stop here, where it happened.
            (void)std::fprintf(stderr, "HeapRelease: %p is not a live block of this heap\n", block);
            std::abort();
        }
    }
    std::free(block);
}

}  // namespace platform
