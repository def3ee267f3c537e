// Shared state of the simulated platform: one table behind one lock, one
// condition variable notified on every change. For platform/sim only.
#ifndef QELN_PLATFORM_SIM_STATE_H
#define QELN_PLATFORM_SIM_STATE_H

#include <condition_variable>
#include <map>
#include <mutex>
#include <unordered_map>

#include "platform/sim/sim.h"

namespace sim {
namespace detail {

using namespace platform;
struct Value {
    std::u16string name;  // as first written
    DWORD type;
    std::vector<std::uint8_t> bytes;
};
struct Key {
    std::u16string path;                     // as first created
    std::map<std::u16string, Value> values;  // by folded name
};
struct Service {
    DWORD state = SERVICE_STOPPED;
    int pending_queries = 0;
    DWORD final_state = SERVICE_STOPPED;
};
struct Counter {
    int calls = 0;
    int armed = 0;  // the call that fails (counted from Reset); 0: none
    bool persistent = false;
};
struct Hook {
    void (*fn)(void*) = nullptr;
    void* context = nullptr;
};

// Everything Reset returns to its start.
struct State {
    std::vector<std::string> events;
    Counter counters[static_cast<int>(Op::Count)];
    Hook hooks[2][static_cast<int>(Op::Count)];  // [0] at the entry, [1] on the return
    // Key and SCM handles: a key's folded path, a service's folded name, ""
    // for a manager.
    std::map<std::uintptr_t, std::u16string> handles;
    std::uintptr_t next_handle = 0x1000;
    std::map<std::u16string, Key> keys;          // by folded path
    std::map<std::u16string, Service> services;  // by folded name
    std::u16string module_path = u"C:\\qeln\\site1\\qelnhost.exe";
    std::vector<std::u16string> executables;   // folded
    DWORD launch_error = ERROR_ACCESS_DENIED;  // of a CreateProcessW made to fail
    std::map<DWORD, bool> children;            // pid -> alive
    // The host's own run: the dispatcher and its handler.
    bool started_by_scm = false, running = false;
    std::u16string service_name;
    LPHANDLER_FUNCTION handler = nullptr;
};

extern State g_state;
extern std::mutex g_mutex;
extern std::condition_variable g_changed;
extern std::mutex g_slim_lock;  // every SRWLOCK: the host has one
// Live heap block -> the Reset generation it was allocated in. Blocks of the
// host's static tables may outlive a Reset and still be released.
extern std::unordered_map<void*, std::uint64_t> g_blocks;
extern std::uint64_t g_generation;

using Lock = std::unique_lock<std::mutex>;

bool Fail(Op op);                   // with the lock: counts a call; true when it is to fail
void Log(const std::string& line);  // with the lock
std::u16string Fold(const std::u16string& text);
bool CreateKeys(
    const std::u16string& path);  // every missing key along path; true when the last was new

template <class H>
H NewHandle(const std::u16string& target) {
    g_state.handles[g_state.next_handle += 4] = target;
    return reinterpret_cast<H>(g_state.next_handle);
}

}  // namespace detail
}  // namespace sim

#endif
