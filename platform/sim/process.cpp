// Simulated processes: launches recorded with every argument, children that
// live until the test ends them or they are terminated, waits that really
// block, and the kernel handles that refer to them.
#include <chrono>
#include <map>

#include "platform/sim/internal.h"

namespace sim {
namespace internal {
namespace {

using platform::BOOL;
using platform::FALSE;
using platform::HANDLE;
using platform::TRUE;

struct Child {
    bool alive = true;
    DWORD exit_code = platform::STILL_ACTIVE;
};

struct KernelHandle {
    bool process = true;  // else the child's main thread
    DWORD pid = 0;
};

struct Processes {
    std::vector<std::u16string> executables;  // folded
    std::vector<LaunchRecord> launches;
    std::map<DWORD, Child> children;
    std::map<std::uintptr_t, KernelHandle> handles;
    DWORD next_pid = 1000;
};

Processes& P() {
    static Processes processes;
    return processes;
}

bool FindHandleLocked(HANDLE handle, KernelHandle* out) {
    auto it = P().handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == P().handles.end()) return false;
    *out = it->second;
    return true;
}

HANDLE NewHandleLocked(bool process, DWORD pid) {
    std::uintptr_t id = NextHandleLocked();
    P().handles[id] = KernelHandle{process, pid};
    return reinterpret_cast<HANDLE>(id);
}

bool RestZero(const platform::STARTUPINFOW& s) {
    return s.lpReserved == nullptr && s.lpDesktop == nullptr && s.lpTitle == nullptr &&
           s.dwX == 0 && s.dwY == 0 && s.dwXSize == 0 && s.dwYSize == 0 && s.dwXCountChars == 0 &&
           s.dwYCountChars == 0 && s.dwFillAttribute == 0 && s.dwFlags == 0 && s.wShowWindow == 0 &&
           s.cbReserved2 == 0 && s.lpReserved2 == nullptr && s.hStdInput == nullptr &&
           s.hStdOutput == nullptr && s.hStdError == nullptr;
}

// The program a launch names: the application, or else the first token of
// the command line (quoted or up to the first blank).
std::u16string ProgramOf(const LaunchRecord& r) {
    if (!r.application_null) return r.application;
    if (r.command_line_null) return std::u16string();
    const std::u16string& cmd = r.command_line;
    if (!cmd.empty() && cmd[0] == u'"') {
        std::size_t end = cmd.find(u'"', 1);
        return cmd.substr(1, end == std::u16string::npos ? std::u16string::npos : end - 1);
    }
    return cmd.substr(0, cmd.find(u' '));
}

std::string Text(bool null, const std::u16string& text) {
    return null ? "null" : U8(text);
}

}  // namespace

void ResetProcessesLocked() {
    P() = Processes();
}

void EndAllChildrenLocked() {
    for (auto& c : P().children) {
        if (c.second.alive) {
            c.second.alive = false;
            c.second.exit_code = 0;
        }
    }
    Changed().notify_all();
}

}  // namespace internal

using namespace internal;

void AddExecutable(const std::u16string& path) {
    std::lock_guard<std::mutex> lock(Mutex());
    P().executables.push_back(Fold(path));
}

std::vector<LaunchRecord> Launches() {
    std::lock_guard<std::mutex> lock(Mutex());
    return P().launches;
}

void ExitChild(DWORD pid, DWORD code) {
    std::lock_guard<std::mutex> lock(Mutex());
    auto it = P().children.find(pid);
    if (it == P().children.end() || !it->second.alive) return;
    it->second.alive = false;
    it->second.exit_code = code;
    LogLocked("ChildExited pid=" + Dec(pid) + " code=" + Dec(code));
}

bool ChildAlive(DWORD pid) {
    std::lock_guard<std::mutex> lock(Mutex());
    auto it = P().children.find(pid);
    return it != P().children.end() && it->second.alive;
}

DWORD ChildExitCode(DWORD pid) {
    std::lock_guard<std::mutex> lock(Mutex());
    auto it = P().children.find(pid);
    return it == P().children.end() ? 0 : it->second.exit_code;
}

std::size_t OpenKernelHandleCount() {
    std::lock_guard<std::mutex> lock(Mutex());
    return P().handles.size();
}

}  // namespace sim

namespace platform {

using namespace sim::internal;

BOOL CreateProcessW(const WCHAR* application, WCHAR* command_line, void* process_security,
                    void* thread_security, BOOL inherit_handles, DWORD flags, void* environment,
                    const WCHAR* directory, STARTUPINFOW* startup, PROCESS_INFORMATION* info) {
    Call call(sim::Op::CreateProcessW);
    sim::LaunchRecord r;
    r.application_null = application == nullptr;
    r.application = FromWide(application);
    r.command_line_null = command_line == nullptr;
    r.command_line = FromWide(command_line);
    r.process_security_null = process_security == nullptr;
    r.thread_security_null = thread_security == nullptr;
    r.inherit_handles = inherit_handles;
    r.flags = flags;
    r.environment_null = environment == nullptr;
    r.directory_null = directory == nullptr;
    r.directory = FromWide(directory);
    r.startup_cb = startup != nullptr ? startup->cb : 0;
    r.startup_rest_zero = startup != nullptr && RestZero(*startup);
    r.pid = 0;

    bool ok = !FailLocked(sim::Op::CreateProcessW) && startup != nullptr && info != nullptr;
    if (ok) {
        std::u16string program = Fold(ProgramOf(r));
        ok = false;
        for (const std::u16string& exe : P().executables)
            ok = ok || (!program.empty() && exe == program);
    }
    if (ok) {
        r.pid = P().next_pid++;
        P().children[r.pid] = Child();
        info->hProcess = NewHandleLocked(true, r.pid);
        info->hThread = NewHandleLocked(false, r.pid);
        info->dwProcessId = r.pid;
        info->dwThreadId = r.pid + 0x10000;
    }
    P().launches.push_back(r);
    LogLocked("CreateProcessW app=" + Text(r.application_null, r.application) +
              " cmd=" + Text(r.command_line_null, r.command_line) +
              " inherit=" + Dec(static_cast<std::uint32_t>(inherit_handles)) +
              " flags=" + Dec(flags) + " env=" + (r.environment_null ? "null" : "set") +
              " dir=" + Text(r.directory_null, r.directory) +
              " cb=" + (startup != nullptr ? Dec(startup->cb) : std::string("null")) +
              (ok ? "" : " failed"));
    return ok ? TRUE : FALSE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    std::unique_lock<std::mutex> lock(Mutex());
    KernelHandle h;
    if (!FindHandleLocked(handle, &h)) return WAIT_FAILED;
    auto ended = [&] {
        auto it = P().children.find(h.pid);
        return it == P().children.end() || !it->second.alive;
    };
    if (milliseconds == INFINITE) {
        Changed().wait(lock, ended);
    } else if (!Changed().wait_for(lock, std::chrono::milliseconds(milliseconds), ended)) {
        return WAIT_TIMEOUT;
    }
    // A reset while waiting leaves nothing to wait for.
    return P().children.count(h.pid) != 0 ? WAIT_OBJECT_0 : WAIT_FAILED;
}

BOOL TerminateProcess(HANDLE process, DWORD exit_code) {
    Call call;
    KernelHandle h;
    if (!FindHandleLocked(process, &h) || !h.process) return FALSE;
    Child& child = P().children[h.pid];
    std::string line = "TerminateProcess pid=" + Dec(h.pid) + " code=" + Dec(exit_code);
    if (!child.alive) {
        // As on Windows: an ended process can no longer be terminated.
        LogLocked(line + " failed");
        return FALSE;
    }
    child.alive = false;
    child.exit_code = exit_code;
    LogLocked(line);
    return TRUE;
}

BOOL GetExitCodeProcess(HANDLE process, DWORD* exit_code) {
    Call call;
    KernelHandle h;
    if (!FindHandleLocked(process, &h) || !h.process || exit_code == nullptr) return FALSE;
    *exit_code = P().children[h.pid].exit_code;
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    Call call;
    return P().handles.erase(reinterpret_cast<std::uintptr_t>(handle)) != 0 ? TRUE : FALSE;
}

}  // namespace platform
