// The fake platform's processes, jobs, waits, tones, console and heap.
#include <strings.h>

#include <chrono>
#include <cstdlib>
#include <utility>

#include "platform/sim/internal.h"

using namespace sim::internal;
using sim::g;

namespace platform {

DWORD GetModuleFileNameW(void*, WCHAR* buffer, DWORD capacity) {
    Lock lock(g_mutex);
    if (Use(lock, "GetModuleFileNameW") || capacity == 0) return 0;
    // As on current Windows: a path that does not fit comes back cut to
    // capacity - 1 characters and a terminator, with the capacity as result.
    buffer[g.module.copy(buffer, capacity - 1)] = 0;
    return g.module.size() < capacity ? static_cast<DWORD>(g.module.size()) : capacity;
}

BOOL CreateProcessW(const WCHAR* application, WCHAR* command_line, void*, void*, BOOL, DWORD flags,
                    void*, const WCHAR*, STARTUPINFOW*, PROCESS_INFORMATION* info) {
    Lock lock(g_mutex);
    g.launch = command_line;
    const bool failed = Use(lock, "CreateProcessW");
    const bool missing = *application == 0, suspended = (flags & CREATE_SUSPENDED) != 0;
    t_last_error = failed ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    Note(failed || missing ? "L!" : suspended ? "L" : "L+");
    if (failed || missing) return FALSE;
    // The process and its first thread share one handle value here.
    const std::uintptr_t pid = 1000 + g.children.size();
    g.children[pid] = suspended ? 2 : 1;
    *info = PROCESS_INFORMATION{reinterpret_cast<HANDLE>(pid), reinterpret_cast<HANDLE>(pid),
                                DWORD(pid), 0};
    return TRUE;
}

// The suspend count before; a child let run goes on as one that was never
// suspended.
DWORD ResumeThread(HANDLE thread) {
    Lock lock(g_mutex);
    if (Use(lock, "ResumeThread")) return static_cast<DWORD>(-1);
    Note("R");
    return std::exchange(g.children[reinterpret_cast<std::uintptr_t>(thread)], 1) == 2 ? 1 : 0;
}

BOOL GetExitCodeProcess(HANDLE, DWORD* exit_code) {
    Lock lock(g_mutex);
    const bool failed = Use(lock, "GetExitCodeProcess");
    *exit_code = failed ? 0 : g.child_exit;
    return failed ? FALSE : TRUE;
}

// The job: what it does is shown on Wine, where it is real. Here its calls
// can fail, and "J" notes the child put into it.
HANDLE CreateJobObjectW(void*, const WCHAR*) {
    Lock lock(g_mutex);
    return Use(lock, "CreateJobObjectW") ? nullptr : reinterpret_cast<HANDLE>(&g.children);
}
BOOL SetInformationJobObject(HANDLE, DWORD, void*, DWORD) {
    Lock lock(g_mutex);
    return Use(lock, "SetInformationJobObject") ? FALSE : TRUE;
}
BOOL AssignProcessToJobObject(HANDLE, HANDLE) {
    Lock lock(g_mutex);
    const bool failed = Use(lock, "AssignProcessToJobObject");
    Note(failed ? "J!" : "J");
    return failed ? FALSE : TRUE;
}
BOOL CloseHandle(HANDLE) {
    return TRUE;
}

// The long form of a path is the path itself here.
DWORD GetLongPathNameW(const WCHAR* path, WCHAR* buffer, DWORD capacity) {
    Lock lock(g_mutex);
    if (Use(lock, "GetLongPathNameW")) return 0;
    const std::u16string text(path);
    if (capacity <= text.size()) return static_cast<DWORD>(text.size() + 1);
    buffer[text.copy(buffer, capacity)] = 0;
    return static_cast<DWORD>(text.size());
}

DWORD GetLastError() {
    return t_last_error;
}
void SetLastError(DWORD error) {
    t_last_error = error;
}

// A child ends by itself, unless a stop or shutdown was sent: then the host
// must end it within 2 s. A child that was never let run is flagged.
DWORD WaitForSingleObject(HANDLE handle, DWORD) {
    Lock lock(g_mutex);
    Use(lock, "WaitForSingleObject");  // never fails
    int& alive = g.children[reinterpret_cast<std::uintptr_t>(handle)];
    if (alive == 2) Note("?");
    if (g.stopping && !g_changed.wait_for(lock, std::chrono::seconds(2), [&] { return !alive; }))
        Note("?");
    alive = 0;
    return 0;  // WAIT_OBJECT_0
}

BOOL TerminateProcess(HANDLE process, DWORD code) {
    Lock lock(g_mutex);
    if (Use(lock, "TerminateProcess")) return FALSE;
    int& alive = g.children[reinterpret_cast<std::uintptr_t>(process)];
    Note("T" + std::to_string(code) + (alive ? "" : "x"));
    if (alive) g.child_exit = code;
    return std::exchange(alive, 0) ? TRUE : FALSE;
}

void Sleep(DWORD milliseconds) {
    Lock lock(g_mutex);
    Note("S" + std::to_string(milliseconds));
    if (milliseconds == 1000) g.console += u"~";
}
BOOL Beep(DWORD frequency, DWORD duration) {
    Lock lock(g_mutex);
    if (Use(lock, "Beep")) return FALSE;
    Note("B" + std::to_string(frequency) + "/" + std::to_string(duration));
    return TRUE;
}
void ExitProcess(DWORD) {}
int _stricmp(const char* a, const char* b) {
    return strcasecmp(a, b);
}
void ConsoleWrite(DWORD std_handle, const WCHAR* text) {
    Lock lock(g_mutex);
    (std_handle == STD_ERROR_HANDLE ? g.errors : g.console) += text;
}

// Every file and directory answers an empty list (no one but its owner may
// do anything), in a block for the host to free with LocalFree.
DWORD GetNamedSecurityInfoW(const WCHAR*, DWORD, DWORD, void**, void**, ACL** dacl, ACL**,
                            void** descriptor) {
    Lock lock(g_mutex);
    if (Use(lock, "GetNamedSecurityInfoW")) return ERROR_ACCESS_DENIED;
    ACL* const block = static_cast<ACL*>(std::malloc(sizeof(ACL)));
    *block = {2, 0, sizeof(ACL), 0, 0};
    g.blocks.insert(block);
    *dacl = block;
    *descriptor = block;
    return ERROR_SUCCESS;
}
void* LocalFree(void* memory) {
    HeapRelease(memory);
    return nullptr;
}

void* HeapAllocate(std::size_t bytes) {
    Lock lock(g_mutex);
    void* block = Use(lock, "HeapAllocate") ? nullptr : std::malloc(bytes ? bytes : 1);
    if (block != nullptr) g.blocks.insert(block);
    if (block == nullptr) t_last_error = ERROR_NOT_ENOUGH_MEMORY;
    return block;
}
void HeapRelease(void* block) {
    Lock lock(g_mutex);
    if (block != nullptr && g.blocks.erase(block) == 0) std::abort();  // not of this heap
    std::free(block);
}

}  // namespace platform
