// Shared by the fake platform's files only: the one lock over its state, and
// the use that every call that can fail goes through.
#ifndef QELN_PLATFORM_SIM_INTERNAL_H
#define QELN_PLATFORM_SIM_INTERNAL_H

#include <condition_variable>
#include <mutex>
#include <string>

#include "platform/sim/sim.h"

namespace sim::internal {

using Lock = std::unique_lock<std::mutex>;
extern std::mutex g_mutex;
extern std::condition_variable g_changed;
extern thread_local platform::DWORD t_last_error;

constexpr platform::BOOL FALSE = 0;
constexpr platform::LONG ERROR_FILE_NOT_FOUND = 2;

// Adds a token to the log.
void Note(const std::string& token);
// One use of `call`, with the lock taken: true when it is to fail. Controls
// sent here are queued for the dispatcher's thread; the use goes on once they
// have been handled, or after 200 ms: the caller may hold a lock the handler
// needs. Any use but the heap's after STOPPED is flagged.
bool Use(Lock& lock, const std::string& call);

}  // namespace sim::internal

#endif
