// The slim lock on the host: one std::mutex per lock address, made on first
// use, so a lock that starts as SRWLOCK_INIT works without initialisation and
// ThreadSanitizer sees real lock operations. Not logged and never failed: a
// lock is not an observable call of the host.
#include <mutex>
#include <unordered_map>

#include "platform/platform.h"

namespace platform {
namespace {

std::mutex& MutexOf(const SRWLOCK* lock) {
    static std::mutex table_guard;
    // Nodes of the map never move, so a mutex outlives every later insertion.
    static std::unordered_map<const SRWLOCK*, std::mutex> table;
    std::lock_guard<std::mutex> hold(table_guard);
    return table[lock];
}

}  // namespace

void InitializeSRWLock(SRWLOCK* lock) {
    lock->Ptr = nullptr;
}

void AcquireSRWLockExclusive(SRWLOCK* lock) {
    MutexOf(lock).lock();
}

void ReleaseSRWLockExclusive(SRWLOCK* lock) {
    MutexOf(lock).unlock();
}

}  // namespace platform
