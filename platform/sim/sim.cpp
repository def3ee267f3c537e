// The simulated platform: one table of state behind one lock, one condition
// variable notified on every change, and the platform calls over it.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <unordered_map>

#include "platform/sim/state.h"

// As on Windows; the simulation's own handles are small multiples of 4.
platform::HKEY const platform::HKEY_LOCAL_MACHINE =
    reinterpret_cast<platform::HKEY>(std::uintptr_t{0x80000002});

namespace sim {
namespace detail {

State g_state;
std::mutex g_mutex;
std::condition_variable g_changed;
std::mutex g_slim_lock;  // every SRWLOCK: the host has one
// Live heap block -> the Reset generation it was allocated in. Blocks of the
// host's static tables may outlive a Reset and still be released.
std::unordered_map<void*, std::uint64_t> g_blocks;
std::uint64_t g_generation = 0;

// With the lock held: counts a call of op; true when it is to fail.
bool Fail(Op op) {
    Counter& c = g_state.counters[static_cast<int>(op)];
    ++c.calls;
    return c.armed != 0 && (c.calls == c.armed || (c.persistent && c.calls > c.armed));
}

void Log(const std::string& line) {
    g_state.events.push_back(line);
    g_changed.notify_all();
}

std::u16string Fold(const std::u16string& text) {
    std::u16string out = text;
    for (char16_t& c : out)
        c = c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c;
    return out;
}

// Creates every missing key along `path`; true when the last one was new.
bool CreateKeys(const std::u16string& path) {
    bool created = false;
    for (std::size_t end = 0; end != std::u16string::npos;) {
        end = path.find(u'\\', end + 1);
        Key& key = g_state.keys[Fold(path.substr(0, end))];
        created = key.path.empty();
        if (created) key.path = path.substr(0, end);
    }
    return created;
}

}  // namespace detail

using namespace detail;
using std::to_string;

// ---- The control API ----

void Reset() {
    Lock lock(g_mutex);
    // Let a dispatcher run end: its child ends, so the service thread's wait
    // returns and it reports STOPPED.
    for (auto& child : g_state.children)
        child.second = false;
    g_changed.notify_all();
    if (!g_changed.wait_for(lock, std::chrono::seconds(10), [] { return !g_state.running; })) {
        (void)std::fprintf(stderr, "sim::Reset: a dispatcher run did not end within 10 s\n");
        std::abort();
    }
    g_state = State();
    ++g_generation;
}

std::string U8(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
            continue;
        }
        if (c >= 0x800) out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(c >= 0x800 ? 0x80 | (c >> 6 & 0x3F) : 0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

std::vector<std::string> Events() {
    Lock lock(g_mutex);
    return g_state.events;
}

bool WaitForEvent(const std::string& prefix, int count) {
    Lock lock(g_mutex);
    return g_changed.wait_for(lock, std::chrono::seconds(5), [&] {
        int n = 0;
        for (const std::string& e : g_state.events)
            n += e.rfind(prefix, 0) == 0 ? 1 : 0;
        return n >= count;
    });
}

void FailNth(Op op, int n, bool persistent) {
    Lock lock(g_mutex);
    if (op == Op::Count) return;
    Counter& c = g_state.counters[static_cast<int>(op)];
    c.armed = n > 0 ? c.calls + n : 0;
    c.persistent = persistent;
}

int CallCount(Op op) {
    Lock lock(g_mutex);
    return g_state.counters[static_cast<int>(op)].calls;
}

bool FailurePending(Op op) {
    Lock lock(g_mutex);
    const Counter& c = g_state.counters[static_cast<int>(op)];
    return c.armed > c.calls;
}

void OnCall(Op op, bool after, void (*fn)(void*), void* context) {
    Lock lock(g_mutex);
    g_state.hooks[after ? 1 : 0][static_cast<int>(op)] = Hook{fn, context};
}

std::size_t LiveAllocations() {
    Lock lock(g_mutex);
    return static_cast<std::size_t>(std::count_if(
        g_blocks.begin(), g_blocks.end(), [](const auto& b) { return b.second == g_generation; }));
}

std::size_t OpenHandles() {
    Lock lock(g_mutex);
    return g_state.handles.size();
}

void SetModulePath(const std::u16string& path) {
    Lock lock(g_mutex);
    g_state.module_path = path;
}

void RegSetRaw(const std::u16string& path, const std::u16string& name, DWORD type,
               const std::vector<std::uint8_t>& bytes) {
    Lock lock(g_mutex);
    CreateKeys(path);
    g_state.keys[Fold(path)].values[Fold(name)] = Value{name, type, bytes};
}

std::string RegSnapshot(const std::u16string& path) {
    Lock lock(g_mutex);
    const std::u16string folded = Fold(path);
    std::string out;
    for (const auto& k : g_state.keys) {
        if (k.first != folded && k.first.compare(0, folded.size() + 1, folded + u"\\") != 0)
            continue;
        out += "KEY " + U8(k.second.path) + "\n";
        for (const auto& v : k.second.values) {
            out += "VAL " + U8(k.second.path) + " | " + U8(v.second.name) + " | " +
                   to_string(v.second.type) + " |";
            for (std::uint8_t b : v.second.bytes) {
                char cell[4];
                (void)std::snprintf(cell, sizeof cell, " %02x", b);
                out += cell;
            }
            out += "\n";
        }
    }
    return out;
}

bool ServiceExists(const std::u16string& name) {
    Lock lock(g_mutex);
    return g_state.services.count(Fold(name)) != 0;
}

void SetRunning(const std::u16string& name, int pending_queries, DWORD final_state) {
    Lock lock(g_mutex);
    g_state.services.at(Fold(name)) = Service{SERVICE_RUNNING, pending_queries, final_state};
}

void SetStartedBySCM() {
    Lock lock(g_mutex);
    g_state.started_by_scm = true;
}

void SendControl(DWORD control) {
    Lock lock(g_mutex);
    LPHANDLER_FUNCTION handler = g_state.handler;
    if (handler == nullptr) return;
    Log("Control " + to_string(control));
    lock.unlock();
    handler(control);
    lock.lock();
    Log("Control " + to_string(control) + " done");
}

void AddExecutable(const std::u16string& path) {
    Lock lock(g_mutex);
    g_state.executables.push_back(Fold(path));
}

void SetLaunchError(DWORD error) {
    Lock lock(g_mutex);
    g_state.launch_error = error;
}

void ExitChildren(DWORD code) {
    Lock lock(g_mutex);
    for (auto& child : g_state.children) {
        if (child.second) Log("ChildExited code=" + to_string(code));
        child.second = false;
    }
}

int LiveChildren() {
    Lock lock(g_mutex);
    return static_cast<int>(std::count_if(g_state.children.begin(), g_state.children.end(),
                                          [](const auto& c) { return c.second; }));
}

}  // namespace sim
