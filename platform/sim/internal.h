// Internal helpers of the simulated platform, shared by its source files only.
//
// One mutex guards all simulated state; every waiter waits on one condition
// variable that is notified on every change. Functions named ...Locked expect
// the caller to hold the mutex.
#ifndef QELN_PLATFORM_SIM_INTERNAL_H
#define QELN_PLATFORM_SIM_INTERNAL_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/sim/sim.h"

namespace sim {
namespace internal {

std::mutex& Mutex();
std::condition_variable& Changed();

// Holds the lock for one platform call; runs the hooks of BeforeCall and
// AfterCall for op outside the lock, at the entry and at the return.
class Call {
public:
    explicit Call(Op op = Op::Count);
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    Call(Call&&) = delete;
    Call& operator=(Call&&) = delete;
    std::unique_lock<std::mutex>& Lock() { return lock_; }

private:
    Op op_;
    std::unique_lock<std::mutex> lock_;
};
void RunHook(bool before, Op op);  // without the lock

void LogLocked(const std::string& line);  // appends to the event log, wakes waiters
bool FailLocked(Op op);                   // counts a call; true when it is to fail
std::uintptr_t NextHandleLocked();        // distinct from every other handle

std::u16string FromWide(const platform::WCHAR* text);  // null gives ""
std::u16string Fold(const std::u16string& text);       // upper case, as names compare
std::string Dec(std::uint64_t value);

// Per-area parts of Reset and of the leak counts, with the lock held.
void ResetRegistryLocked();
void ResetScmLocked();
void ResetProcessesLocked();
void EndAllChildrenLocked();  // without logging, so that waits return
bool DispatcherRunningLocked();
std::size_t OpenKeysLocked();
std::size_t OpenScHandlesLocked();

}  // namespace internal
}  // namespace sim

#endif
