// Simulated processes: every launch logged with its arguments, children that
// live until the test ends them or they are terminated, waits that block.
// A process handle is the child's pid; its thread handle has bit 16 set.
#include <algorithm>
#include <chrono>
#include <map>

#include "platform/sim/internal.h"

namespace sim {
namespace internal {
namespace {

struct Processes {
    std::vector<std::u16string> executables;  // folded
    std::vector<DWORD> launched;
    std::map<DWORD, bool> alive;  // by pid
    DWORD next_pid = 1000;
};

Processes& P() {
    static Processes processes;
    return processes;
}

DWORD PidOf(platform::HANDLE handle) {
    return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(handle));
}

bool RestZero(const platform::STARTUPINFOW& s) {
    return (s.dwX | s.dwY | s.dwXSize | s.dwYSize | s.dwXCountChars | s.dwYCountChars |
            s.dwFillAttribute | s.dwFlags | s.wShowWindow | s.cbReserved2) == 0 &&
           s.lpReserved == nullptr && s.lpDesktop == nullptr && s.lpTitle == nullptr &&
           s.lpReserved2 == nullptr && s.hStdInput == nullptr && s.hStdOutput == nullptr &&
           s.hStdError == nullptr;
}

std::string Text(const platform::WCHAR* text) {
    return text == nullptr ? "null" : U8(text);
}

}  // namespace

void ResetProcessesLocked() {
    P() = Processes();
}

void EndAllChildrenLocked() {
    for (auto& c : P().alive)
        c.second = false;
    Changed().notify_all();
}

}  // namespace internal

using namespace internal;

void AddExecutable(const std::u16string& path) {
    std::lock_guard<std::mutex> lock(Mutex());
    P().executables.push_back(Fold(path));
}

std::vector<DWORD> Children() {
    std::lock_guard<std::mutex> lock(Mutex());
    return P().launched;
}

void ExitChild(DWORD pid, DWORD code) {
    std::lock_guard<std::mutex> lock(Mutex());
    if (!P().alive[pid]) return;
    P().alive[pid] = false;
    LogLocked("ChildExited pid=" + Dec(pid) + " code=" + Dec(code));
}

bool ChildAlive(DWORD pid) {
    std::lock_guard<std::mutex> lock(Mutex());
    auto it = P().alive.find(pid);
    return it != P().alive.end() && it->second;
}

}  // namespace sim

namespace platform {

using namespace sim::internal;

BOOL CreateProcessW(const WCHAR* application, WCHAR* command_line, void* process_security,
                    void* thread_security, BOOL inherit_handles, DWORD flags, void* environment,
                    const WCHAR* directory, STARTUPINFOW* startup, PROCESS_INFORMATION* info) {
    Call call(sim::Op::CreateProcessW);
    const std::vector<std::u16string>& known = P().executables;
    const bool ok = !FailLocked(sim::Op::CreateProcessW) && application != nullptr &&
                    std::find(known.begin(), known.end(), Fold(application)) != known.end();
    LogLocked("CreateProcessW app=" + Text(application) + " cmd=" + Text(command_line) +
              " psec=" + (process_security == nullptr ? "null" : "set") +
              " tsec=" + (thread_security == nullptr ? "null" : "set") +
              " inherit=" + Dec(static_cast<DWORD>(inherit_handles)) + " flags=" + Dec(flags) +
              " env=" + (environment == nullptr ? "null" : "set") + " dir=" + Text(directory) +
              " cb=" + Dec(startup->cb) + " rest=" + (RestZero(*startup) ? "0" : "set") +
              (ok ? "" : " failed"));
    if (!ok) return FALSE;
    const DWORD pid = P().next_pid++;
    P().launched.push_back(pid);
    P().alive[pid] = true;
    *info = PROCESS_INFORMATION{reinterpret_cast<HANDLE>(std::uintptr_t{pid}),
                                reinterpret_cast<HANDLE>(std::uintptr_t{pid | 0x10000u}), pid,
                                pid | 0x10000u};
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    std::unique_lock<std::mutex> lock(Mutex());
    const DWORD pid = PidOf(handle);
    if (P().alive.count(pid) == 0) return WAIT_FAILED;
    auto ended = [&] { return !P().alive[pid]; };
    if (milliseconds == INFINITE) {
        Changed().wait(lock, ended);
    } else if (!Changed().wait_for(lock, std::chrono::milliseconds(milliseconds), ended)) {
        return WAIT_TIMEOUT;
    }
    return WAIT_OBJECT_0;
}

BOOL TerminateProcess(HANDLE process, DWORD exit_code) {
    Call call;
    const DWORD pid = PidOf(process);
    if (P().alive.count(pid) == 0) return FALSE;
    const std::string line = "TerminateProcess pid=" + Dec(pid) + " code=" + Dec(exit_code);
    // As on Windows: an ended process can no longer be terminated.
    LogLocked(P().alive[pid] ? line : line + " failed");
    const bool was_alive = P().alive[pid];
    P().alive[pid] = false;
    return was_alive ? TRUE : FALSE;
}

BOOL CloseHandle(HANDLE) {
    return TRUE;
}

}  // namespace platform
