// The simulation's shared state: event log, virtual clock, fault injection,
// module path, console, exit codes, the pause points of HoldAfter, and the
// small kernel32/runtime functions that need nothing else.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/sim/internal.h"

namespace sim {
namespace internal {
namespace {

struct FaultState {
    int countdown = 0;  // the armed call, counted down; 0 when none is armed
    bool persistent = false;
    bool firing = false;  // a persistent failure has started
    int calls = 0;
};

struct Hook {
    void (*fn)(void*) = nullptr;
    void* context = nullptr;
};

struct State {
    std::vector<std::string> events;
    std::vector<platform::SERVICE_STATUS> status_reports;  // filled by scm.cpp
    std::uint64_t now_ms = 0;
    std::u16string module_path;
    std::string console;
    std::vector<DWORD> exit_codes;
    FaultState faults[static_cast<int>(Op::Count)];
    platform::LONG failure_code = platform::ERROR_ACCESS_DENIED;
    Hook before[static_cast<int>(Op::Count)];
    Hook after[static_cast<int>(Op::Count)];
    std::uintptr_t next_handle = 0x1000;
    // HoldAfter
    bool hold_armed = false;
    std::string hold_prefix;
    bool hold_target_set = false;
    std::thread::id hold_target;
    bool held = false;
    std::uint64_t release_generation = 0;
};

const char16_t kDefaultModulePath[] = u"C:\\qeln\\site1\\qelnhost.exe";

State& S() {
    static State state = [] {
        State s;
        s.module_path = kDefaultModulePath;
        return s;
    }();
    return state;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::size_t CountPrefixLocked(const std::string& prefix) {
    std::size_t n = 0;
    for (const std::string& e : S().events) {
        if (StartsWith(e, prefix)) ++n;
    }
    return n;
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
    RunBeforeHook(op_);
    lock_.lock();
}

Call::~Call() {
    if (lock_.owns_lock()) lock_.unlock();
    HoldIfRequested();
    RunAfterHook(op_);
}

namespace {

void RunHook(Hook* hooks, Op op) {
    if (op == Op::Count) return;
    Hook hook;
    {
        std::lock_guard<std::mutex> lock(Mutex());
        hook = hooks[static_cast<int>(op)];
        hooks[static_cast<int>(op)] = Hook();
    }
    if (hook.fn != nullptr) hook.fn(hook.context);
}

}  // namespace

void RunBeforeHook(Op op) {
    RunHook(S().before, op);
}
void RunAfterHook(Op op) {
    RunHook(S().after, op);
}

void HoldIfRequested() {
    std::unique_lock<std::mutex> lock(Mutex());
    State& s = S();
    if (!s.hold_target_set || s.hold_target != std::this_thread::get_id()) return;
    s.hold_target_set = false;
    s.held = true;
    std::uint64_t generation = s.release_generation;
    Changed().notify_all();
    Changed().wait(lock, [&] { return s.release_generation != generation; });
    s.held = false;
    Changed().notify_all();
}

void LogLocked(const std::string& line) {
    State& s = S();
    s.events.push_back(line);
    if (s.hold_armed && StartsWith(line, s.hold_prefix)) {
        s.hold_armed = false;
        s.hold_target_set = true;
        s.hold_target = std::this_thread::get_id();
    }
    Changed().notify_all();
}

bool FailLocked(Op op) {
    FaultState& f = S().faults[static_cast<int>(op)];
    ++f.calls;
    if (f.firing) return true;
    if (f.countdown > 0 && --f.countdown == 0) {
        f.firing = f.persistent;
        return true;
    }
    return false;
}

platform::LONG FailureCodeLocked() {
    return S().failure_code;
}

std::uintptr_t NextHandleLocked() {
    S().next_handle += 4;
    return S().next_handle;
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

bool EqualNoCase(const std::u16string& a, const std::u16string& b) {
    return Fold(a) == Fold(b);
}

std::string Dec(std::uint64_t value) {
    return std::to_string(value);
}

// Status reports live here so that Reset clears them with the log.
void RecordStatusLocked(const platform::SERVICE_STATUS& status) {
    S().status_reports.push_back(status);
}

}  // namespace internal

using namespace internal;

void Reset() {
    {
        std::unique_lock<std::mutex> lock(Mutex());
        State& s = S();
        // Let anything the simulation started run to its end: children end,
        // held threads go on, and a dispatcher run returns once its service
        // thread has reported STOPPED or returned.
        EndAllChildrenLocked();
        s.hold_armed = false;
        s.hold_target_set = false;
        ++s.release_generation;
        Changed().notify_all();
        if (!Changed().wait_for(lock, std::chrono::seconds(10),
                                [] { return !DispatcherRunningLocked(); })) {
            (void)std::fprintf(stderr, "sim::Reset: a dispatcher run did not end within 10 s\n");
            std::abort();
        }
        if (!Changed().wait_for(lock, std::chrono::seconds(10), [&] { return !s.held; })) {
            (void)std::fprintf(stderr, "sim::Reset: a held thread did not go on within 10 s\n");
            std::abort();
        }
    }
    std::lock_guard<std::mutex> lock(Mutex());
    State& s = S();
    s.events.clear();
    s.status_reports.clear();
    s.now_ms = 0;
    s.module_path = kDefaultModulePath;
    s.console.clear();
    s.exit_codes.clear();
    for (FaultState& f : s.faults)
        f = FaultState();
    for (Hook& h : s.before)
        h = Hook();
    for (Hook& h : s.after)
        h = Hook();
    s.failure_code = platform::ERROR_ACCESS_DENIED;
    ResetRegistryLocked();
    ResetScmLocked();
    ResetProcessesLocked();
    ResetHeapLocked();
    Changed().notify_all();
}

std::u16string U16(const std::string& utf8) {
    std::u16string out;
    for (std::size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        std::uint32_t cp = 0;
        std::size_t extra = 0;
        if (c < 0x80) {
            cp = c;
            extra = 0;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            extra = 2;
        } else {
            cp = c & 0x07;
            extra = 3;
        }
        ++i;
        for (std::size_t k = 0; k < extra && i < utf8.size(); ++k, ++i) {
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i]) & 0x3F);
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string U8(const std::u16string& utf16) {
    std::string out;
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        std::uint32_t cp = utf16[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
            utf16[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(Mutex());
    return S().events;
}

std::vector<std::string> EventsStartingWith(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(Mutex());
    std::vector<std::string> out;
    for (const std::string& e : S().events) {
        if (StartsWith(e, prefix)) out.push_back(e);
    }
    return out;
}

void ClearEvents() {
    std::lock_guard<std::mutex> lock(Mutex());
    S().events.clear();
}

bool WaitForEvent(const std::string& prefix, int count, int timeout_ms) {
    std::unique_lock<std::mutex> lock(Mutex());
    return Changed().wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        return CountPrefixLocked(prefix) >= static_cast<std::size_t>(count);
    });
}

std::vector<platform::SERVICE_STATUS> StatusReports() {
    std::lock_guard<std::mutex> lock(Mutex());
    return S().status_reports;
}

std::uint64_t NowMs() {
    std::lock_guard<std::mutex> lock(Mutex());
    return S().now_ms;
}

void SetModulePath(const std::u16string& path) {
    std::lock_guard<std::mutex> lock(Mutex());
    S().module_path = path;
}

std::string ConsoleOutput() {
    std::lock_guard<std::mutex> lock(Mutex());
    return S().console;
}

std::vector<DWORD> ExitCodes() {
    std::lock_guard<std::mutex> lock(Mutex());
    return S().exit_codes;
}

void FailNth(Op op, int n, bool persistent) {
    std::lock_guard<std::mutex> lock(Mutex());
    FaultState& f = S().faults[static_cast<int>(op)];
    f.countdown = n > 0 ? n : 0;
    f.persistent = n > 0 && persistent;
    f.firing = false;
}

void SetFailureCode(platform::LONG code) {
    std::lock_guard<std::mutex> lock(Mutex());
    S().failure_code = code;
}

int CallCount(Op op) {
    std::lock_guard<std::mutex> lock(Mutex());
    return S().faults[static_cast<int>(op)].calls;
}

bool FailurePending(Op op) {
    std::lock_guard<std::mutex> lock(Mutex());
    return S().faults[static_cast<int>(op)].countdown > 0;
}

void BeforeCall(Op op, void (*fn)(void*), void* context) {
    std::lock_guard<std::mutex> lock(Mutex());
    S().before[static_cast<int>(op)] = Hook{fn, context};
}

void AfterCall(Op op, void (*fn)(void*), void* context) {
    std::lock_guard<std::mutex> lock(Mutex());
    S().after[static_cast<int>(op)] = Hook{fn, context};
}

void HoldAfter(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(Mutex());
    S().hold_armed = true;
    S().hold_prefix = prefix;
}

bool WaitHeld(int timeout_ms) {
    std::unique_lock<std::mutex> lock(Mutex());
    return Changed().wait_for(lock, std::chrono::milliseconds(timeout_ms), [] { return S().held; });
}

void ReleaseHold() {
    std::lock_guard<std::mutex> lock(Mutex());
    State& s = S();
    s.hold_armed = false;
    s.hold_target_set = false;
    ++s.release_generation;
    Changed().notify_all();
}

}  // namespace sim

namespace platform {

using namespace sim::internal;

void Sleep(DWORD milliseconds) {
    Call call;
    S().now_ms += milliseconds;
    LogLocked("Sleep " + Dec(milliseconds));
}

BOOL Beep(DWORD frequency, DWORD duration) {
    Call call;
    S().now_ms += duration;
    LogLocked("Beep " + Dec(frequency) + " " + Dec(duration));
    return TRUE;
}

DWORD GetModuleFileNameW(void* module, WCHAR* buffer, DWORD capacity) {
    Call call(sim::Op::GetModuleFileNameW);
    if (FailLocked(sim::Op::GetModuleFileNameW)) return 0;
    const std::u16string& path = S().module_path;
    // Only the program's own module exists here.
    if (module != nullptr || buffer == nullptr || capacity == 0 || path.empty()) return 0;
    if (path.size() < capacity) {
        path.copy(buffer, path.size());
        buffer[path.size()] = 0;
        return static_cast<DWORD>(path.size());
    }
    // Cut: capacity - 1 characters and a terminator, and the capacity as result.
    path.copy(buffer, capacity - 1);
    buffer[capacity - 1] = 0;
    return capacity;
}

void ExitProcess(DWORD exit_code) {
    Call call;
    S().exit_codes.push_back(exit_code);
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
    std::string utf8 = sim::U8(FromWide(text));
    S().console += utf8;
    std::string escaped;
    for (char c : utf8) {
        if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    LogLocked("Console " + escaped);
}

}  // namespace platform
