// The simulation's shared state: event log, failure counters, hooks, module
// path, console and heap, and the small kernel32/runtime functions
// that need nothing else.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>

#include "platform/sim/internal.h"

namespace sim {
namespace internal {
namespace {

struct Counter {
    int countdown = 0;  // the armed call, counted down; 0 when none is armed
    bool persistent = false;
    bool firing = false;  // a persistent failure has started
    int calls = 0;
};

struct Hook {
    void (*fn)(void*) = nullptr;
    void* context = nullptr;
};

const char16_t kDefaultModulePath[] = u"C:\\qeln\\site1\\qelnhost.exe";

struct State {
    std::vector<std::string> events;
    std::u16string module_path = kDefaultModulePath;
    std::string console;
    Counter counters[static_cast<int>(Op::Count)];
    Hook hooks[2][static_cast<int>(Op::Count)];  // [0] before, [1] after
    std::uintptr_t next_handle = 0x1000;
    // Live heap block -> the Reset generation it was allocated in. Blocks of
    // the host's static tables may outlive a Reset and still be released.
    std::unordered_map<void*, std::uint64_t> blocks;
    std::uint64_t generation = 0;
};

State& S() {
    static State state;
    return state;
}

}  // namespace

std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
}

std::condition_variable& Changed() {
    static std::condition_variable changed;
    return changed;
}

Call::Call(Op op) : op_(op), lock_(Mutex(), std::defer_lock) {
    RunHook(true, op_);
    lock_.lock();
}

Call::~Call() {
    if (lock_.owns_lock()) lock_.unlock();
    RunHook(false, op_);
}

void RunHook(bool before, Op op) {
    if (op == Op::Count) return;
    Hook hook;
    {
        std::lock_guard<std::mutex> lock(Mutex());
        std::swap(hook, S().hooks[before ? 0 : 1][static_cast<int>(op)]);
    }
    if (hook.fn != nullptr) hook.fn(hook.context);
}

void LogLocked(const std::string& line) {
    S().events.push_back(line);
    Changed().notify_all();
}

bool FailLocked(Op op) {
    Counter& c = S().counters[static_cast<int>(op)];
    ++c.calls;
    if (c.firing) return true;
    if (c.countdown > 0 && --c.countdown == 0) {
        c.firing = c.persistent;
        return true;
    }
    return false;
}

std::uintptr_t NextHandleLocked() {
    return S().next_handle += 4;
}

std::u16string FromWide(const platform::WCHAR* text) {
    return text == nullptr ? std::u16string() : std::u16string(text);
}

std::u16string Fold(const std::u16string& text) {
    std::u16string out = text;
    for (char16_t& c : out) {
        // ASCII and Latin-1 letters; enough for every name the host uses.
        if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) c -= 0x20;
    }
    return out;
}

std::string Dec(std::uint64_t value) {
    return std::to_string(value);
}

}  // namespace internal

using namespace internal;

void Reset() {
    std::unique_lock<std::mutex> lock(Mutex());
    // Let a dispatcher run end: its children end, so the service thread's
    // wait returns and it reports STOPPED or returns.
    EndAllChildrenLocked();
    if (!Changed().wait_for(lock, std::chrono::seconds(10),
                            [] { return !DispatcherRunningLocked(); })) {
        (void)std::fprintf(stderr, "sim::Reset: a dispatcher run did not end within 10 s\n");
        std::abort();
    }
    State& s = S();
    s.events.clear();
    s.module_path = kDefaultModulePath;
    s.console.clear();
    for (Counter& c : s.counters)
        c = Counter();
    for (auto& side : s.hooks) {
        for (Hook& h : side)
            h = Hook();
    }
    ++s.generation;
    ResetRegistryLocked();
    ResetScmLocked();
    ResetProcessesLocked();
    Changed().notify_all();
}

std::string U8(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(Mutex());
    return S().events;
}

bool WaitForEvent(const std::string& prefix, int count) {
    std::unique_lock<std::mutex> lock(Mutex());
    return Changed().wait_for(lock, std::chrono::seconds(5), [&] {
        int n = 0;
        for (const std::string& e : S().events)
            n += e.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
        return n >= count;
    });
}

void FailNth(Op op, int n, bool persistent) {
    std::lock_guard<std::mutex> lock(Mutex());
    if (op == Op::Count) return;  // no operation: nothing to arm
    Counter& c = S().counters[static_cast<int>(op)];
    c.countdown = n > 0 ? n : 0;
    c.persistent = n > 0 && persistent;
    c.firing = false;
}

int CallCount(Op op) {
    std::lock_guard<std::mutex> lock(Mutex());
    return S().counters[static_cast<int>(op)].calls;
}

bool FailurePending(Op op) {
    std::lock_guard<std::mutex> lock(Mutex());
    return S().counters[static_cast<int>(op)].countdown > 0;
}

void BeforeCall(Op op, void (*fn)(void*), void* context) {
    std::lock_guard<std::mutex> lock(Mutex());
    S().hooks[0][static_cast<int>(op)] = Hook{fn, context};
}

void AfterCall(Op op, void (*fn)(void*), void* context) {
    std::lock_guard<std::mutex> lock(Mutex());
    S().hooks[1][static_cast<int>(op)] = Hook{fn, context};
}

std::size_t LiveAllocations() {
    std::lock_guard<std::mutex> lock(Mutex());
    std::size_t n = 0;
    for (const auto& b : S().blocks)
        n += b.second == S().generation ? 1 : 0;
    return n;
}

std::size_t OpenHandles() {
    std::lock_guard<std::mutex> lock(Mutex());
    return OpenKeysLocked() + OpenScHandlesLocked();
}

void SetModulePath(const std::u16string& path) {
    std::lock_guard<std::mutex> lock(Mutex());
    S().module_path = path;
}

std::string ConsoleOutput() {
    std::lock_guard<std::mutex> lock(Mutex());
    return S().console;
}

}  // namespace sim

namespace platform {

using namespace sim::internal;

void Sleep(DWORD milliseconds) {
    Call call;
    LogLocked("Sleep " + Dec(milliseconds));
}

BOOL Beep(DWORD frequency, DWORD duration) {
    Call call;
    LogLocked("Beep " + Dec(frequency) + " " + Dec(duration));
    return TRUE;
}

DWORD GetModuleFileNameW(void* module, WCHAR* buffer, DWORD capacity) {
    Call call(sim::Op::GetModuleFileNameW);
    if (FailLocked(sim::Op::GetModuleFileNameW)) return 0;
    const std::u16string& path = S().module_path;
    if (module != nullptr || buffer == nullptr || capacity == 0 || path.empty()) return 0;
    // As on current Windows: a path that does not fit comes back as
    // capacity - 1 characters and a terminator, with the capacity as result.
    const std::size_t kept = path.size() < capacity ? path.size() : capacity - 1;
    path.copy(buffer, kept);
    buffer[kept] = 0;
    return path.size() < capacity ? static_cast<DWORD>(kept) : capacity;
}

void ExitProcess(DWORD exit_code) {
    Call call;
    LogLocked("ExitProcess " + Dec(exit_code));
}

int _stricmp(const char* a, const char* b) {
    // Folds A-Z to a-z and nothing else, byte by byte.
    for (std::size_t i = 0;; ++i) {
        int ca = static_cast<unsigned char>(a[i]);
        int cb = static_cast<unsigned char>(b[i]);
        if (ca >= 'A' && ca <= 'Z') ca += 'a' - 'A';
        if (cb >= 'A' && cb <= 'Z') cb += 'a' - 'A';
        if (ca != cb || ca == 0) return ca - cb;
    }
}

void ConsoleWrite(const WCHAR* text) {
    Call call;
    const std::string utf8 = sim::U8(FromWide(text));
    S().console += utf8;
    std::string escaped;
    for (char c : utf8)
        escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    LogLocked("Console " + escaped);
}

void* HeapAllocate(std::size_t bytes) {
    Call call(sim::Op::HeapAllocate);
    if (FailLocked(sim::Op::HeapAllocate)) return nullptr;
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block != nullptr) S().blocks[block] = S().generation;
    return block;
}

void HeapRelease(void* block) {
    if (block == nullptr) return;
    {
        Call call;
        if (S().blocks.erase(block) == 0) {
            // Releasing what this heap never handed out (or twice) is a fault
            // of the caller: stop where it happened.
            (void)std::fprintf(stderr, "HeapRelease: %p is not a live block of this heap\n", block);
            std::abort();
        }
    }
    std::free(block);
}

}  // namespace platform
