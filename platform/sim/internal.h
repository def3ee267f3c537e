// Internal helpers of the simulated platform, shared by its source files only.
//
// One mutex guards all simulated state; every waiter (event waits, process
// waits, the dispatcher) waits on one condition variable that is notified on
// every change. Functions named ...Locked expect the caller to hold the mutex.
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

// Holds the simulation's lock for the length of one platform call; once the
// lock is dropped it parks the calling thread when HoldAfter asked for it.
// For a call of an Op, it also runs the hooks of BeforeCall / AfterCall
// outside the lock, at the entry and at the return.
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

// Run the one-shot hook armed for op, if any. Called without the lock.
void RunBeforeHook(Op op);
void RunAfterHook(Op op);

// Parks the calling thread when it logged the event HoldAfter waits for.
// Called without the lock.
void HoldIfRequested();

// Appends one line to the event log and wakes every waiter.
void LogLocked(const std::string& line);
// Counts one call of op; true when an armed failure makes this call fail.
bool FailLocked(Op op);
platform::LONG FailureCodeLocked();
// Appends one record to StatusReports.
void RecordStatusLocked(const platform::SERVICE_STATUS& status);
// A fresh handle value, distinct from every other handle of any kind.
std::uintptr_t NextHandleLocked();

// Text helpers.
std::u16string FromWide(const platform::WCHAR* text);  // null gives ""
std::u16string Fold(const std::u16string& text);  // upper case, as the registry and SCM compare
bool EqualNoCase(const std::u16string& a, const std::u16string& b);
std::string Dec(std::uint64_t value);

// Registry access for the SCM's registrations.
void RegSetRawLocked(const std::u16string& path, const std::u16string& name, DWORD type,
                     const std::vector<std::uint8_t>& bytes);
void RegSetStringLocked(const std::u16string& path, const std::u16string& name, DWORD type,
                        const std::u16string& value);
void RegDeleteTreeLocked(const std::u16string& path);

// Per-area reset, each with the lock held.
void ResetRegistryLocked();
void ResetScmLocked();
void ResetProcessesLocked();
void ResetHeapLocked();
// Ends every live child without logging (so waits return) before a reset.
void EndAllChildrenLocked();
bool DispatcherRunningLocked();

}  // namespace internal
}  // namespace sim

#endif
