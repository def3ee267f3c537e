// The fake platform: one state table behind one lock, and the platform calls
// over it.
#include "platform/sim/sim.h"

#include <strings.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

platform::HKEY const platform::HKEY_LOCAL_MACHINE =
    reinterpret_cast<platform::HKEY>(std::uintptr_t{0x80000002});

namespace {

using namespace platform;
using sim::g;
using Lock = std::unique_lock<std::mutex>;

std::mutex g_mutex;
std::condition_variable g_changed;
std::mutex g_section;  // every CRITICAL_SECTION: the host has one
thread_local DWORD t_last_error = 0;

// Results that only the fake gives.
constexpr BOOL FALSE = 0;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr DWORD REG_CREATED_NEW_KEY = 1;

std::u16string Fold(std::u16string text) {
    for (char16_t& c : text)
        c = c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c;
    return text;
}

void Note(const std::string& token) {
    g.log += token + " ";
    g_changed.notify_all();
}

// One use of `call`, with the lock taken: true when it is to fail. Controls
// sent here are queued for the dispatcher's thread; the use goes on once they
// have been handled, or after 200 ms: the caller may hold a lock the handler
// needs.
bool Use(Lock& lock, const std::string& call) {
    const int n = ++g.uses;
    if (g.stopped && call != "HeapAllocate") Note("?");
    if ((n == g.send_at || g.send_call == call) && g.serving && g.handler != nullptr) {
        g.send_call.clear();
        for (DWORD control : g.send) {
            g.controls.push_back(control);
            g.stopping |= control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN;
        }
        g_changed.notify_all();
        g_changed.wait_for(lock, std::chrono::milliseconds(200), [] { return g.controls.empty(); });
    }
    if (n != g.fail_at && g.fail_call != call) return false;
    g.fail_call.clear();
    t_last_error = ERROR_ACCESS_DENIED;
    return true;
}

// A new handle for `target`: a key path, a service name, or "" the manager.
template <class H>
H Open(const std::u16string& target) {
    g.handles[g.next_handle += 4] = target;
    return reinterpret_cast<H>(g.next_handle);
}

// What `handle` stands for, after one use of `call`; null when the use fails
// or the handle is not open.
template <class H>
const std::u16string* Target(Lock& lock, const char* call, H handle) {
    if (Use(lock, call)) return nullptr;
    const auto it = g.handles.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == g.handles.end() ? nullptr : &it->second;
}

LONG OpenKey(const char* call, const WCHAR* path, HKEY* out, DWORD* created) {
    Lock lock(g_mutex);
    *out = nullptr;
    const std::u16string key = Fold(path);
    if (Use(lock, call) || (created != nullptr && g.denied.count(key) != 0))
        return ERROR_ACCESS_DENIED;
    if (created != nullptr) {
        *created = g.keys.count(key) != 0 ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
        for (std::size_t end = key.find(u'\\'); end != std::u16string::npos;
             end = key.find(u'\\', end + 1))
            g.keys[key.substr(0, end)];
        g.keys[key];
    }
    if (g.keys.count(key) == 0) return ERROR_FILE_NOT_FOUND;
    *out = Open<HKEY>(key);
    return ERROR_SUCCESS;
}

sim::Service* ServiceOf(Lock& lock, const char* call, SC_HANDLE handle) {
    const std::u16string* name = Target(lock, call, handle);
    return name == nullptr || g.services.count(*name) == 0 ? nullptr : &g.services[*name];
}

// The record the fake SCM answers with.
BOOL Answer(const sim::Service* s, SERVICE_STATUS* status) {
    if (s != nullptr)
        *status = {SERVICE_WIN32_OWN_PROCESS, s->state, 0, 0, 0, s->check_point, s->wait_hint};
    return s != nullptr ? TRUE : FALSE;
}

}  // namespace

namespace platform {

LONG RegOpenKeyExW(HKEY, const WCHAR* path, DWORD, DWORD, HKEY* out) {
    return OpenKey("RegOpenKeyExW", path, out, nullptr);
}
LONG RegOpenKeyW(HKEY, const WCHAR* path, HKEY* out) {
    return OpenKey("RegOpenKeyW", path, out, nullptr);
}
LONG RegCreateKeyExW(HKEY, const WCHAR* path, DWORD, WCHAR*, DWORD, DWORD, void*, HKEY* out,
                     DWORD* disposition) {
    DWORD ignored = 0;
    return OpenKey("RegCreateKeyExW", path, out, disposition ? disposition : &ignored);
}

LONG RegQueryValueExW(HKEY key, const WCHAR* name, DWORD*, DWORD* type, BYTE* data, DWORD* size) {
    Lock lock(g_mutex);
    const std::u16string* path = Target(lock, "RegQueryValueExW", key);
    if (path == nullptr) return ERROR_ACCESS_DENIED;
    const auto it = g.keys[*path].find(Fold(name));
    if (it == g.keys[*path].end()) return ERROR_FILE_NOT_FOUND;
    const std::string& bytes = it->second.bytes;
    const bool fits = data == nullptr || *size >= bytes.size();
    if (type != nullptr) *type = it->second.type;
    if (data != nullptr && fits) bytes.copy(reinterpret_cast<char*>(data), bytes.size());
    *size = static_cast<DWORD>(bytes.size());
    return fits ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

LONG RegSetValueExW(HKEY key, const WCHAR* name, DWORD, DWORD type, const BYTE* data, DWORD size) {
    Lock lock(g_mutex);
    const std::u16string* path = Target(lock, "RegSetValueExW", key);
    if (path == nullptr) return ERROR_ACCESS_DENIED;
    g.keys[*path][Fold(name)] = {type, std::string(reinterpret_cast<const char*>(data), size)};
    // A string carries exactly one terminator, at its end: Windows would mend
    // one without, and the host must not rely on that.
    std::u16string text(size / 2, u'\0');
    std::memcpy(text.data(), data, text.size() * 2);
    if (type == REG_SZ && (size % 2 != 0 || text.empty() || text.find(u'\0') != text.size() - 1))
        Note("?");
    return ERROR_SUCCESS;
}

LONG RegDeleteValueW(HKEY key, const WCHAR* name) {
    Lock lock(g_mutex);
    const std::u16string* path = Target(lock, "RegDeleteValueW", key);
    if (path == nullptr) return ERROR_ACCESS_DENIED;
    return g.keys[*path].erase(Fold(name)) != 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG RegCloseKey(HKEY key) {  // one table holds every handle
    return CloseServiceHandle(reinterpret_cast<SC_HANDLE>(key)) ? ERROR_SUCCESS
                                                                : ERROR_INVALID_PARAMETER;
}
BOOL CloseServiceHandle(SC_HANDLE handle) {
    Lock lock(g_mutex);
    return g.handles.erase(reinterpret_cast<std::uintptr_t>(handle)) ? TRUE : FALSE;
}

SC_HANDLE OpenSCManagerW(const WCHAR*, const WCHAR*, DWORD) {
    Lock lock(g_mutex);
    return Use(lock, "OpenSCManagerW") ? nullptr : Open<SC_HANDLE>(u"");
}

SC_HANDLE CreateServiceW(SC_HANDLE, const WCHAR* name, const WCHAR*, DWORD, DWORD, DWORD, DWORD,
                         const WCHAR*, const WCHAR*, DWORD*, const WCHAR*, const WCHAR*,
                         const WCHAR*) {
    Lock lock(g_mutex);
    if (Use(lock, "CreateServiceW")) return nullptr;
    if (!g.services.emplace(Fold(name), sim::Service{}).second) {
        t_last_error = ERROR_SERVICE_EXISTS;
        return nullptr;
    }
    return Open<SC_HANDLE>(Fold(name));
}

SC_HANDLE OpenServiceW(SC_HANDLE, const WCHAR* name, DWORD) {
    Lock lock(g_mutex);
    if (Use(lock, "OpenServiceW")) return nullptr;
    if (g.services.count(Fold(name)) == 0) {
        t_last_error = ERROR_SERVICE_DOES_NOT_EXIST;
        return nullptr;
    }
    return Open<SC_HANDLE>(Fold(name));
}

// A service answers a stop while RUNNING, then `pending` queries with
// STOP_PENDING, then with `final_state`.
BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
    Lock lock(g_mutex);
    sim::Service* s = ServiceOf(lock, "ControlService", service);
    if (s == nullptr || control != SERVICE_CONTROL_STOP || s->state != SERVICE_RUNNING)
        return FALSE;
    s->state = SERVICE_STOP_PENDING;
    return Answer(s, status);
}

BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
    Lock lock(g_mutex);
    sim::Service* s = ServiceOf(lock, "QueryServiceStatus", service);
    if (s != nullptr && s->state == SERVICE_STOP_PENDING && s->pending-- <= 0)
        s->state = s->final_state;
    if (s != nullptr && s->progress) ++s->check_point;
    return Answer(s, status);
}

BOOL DeleteService(SC_HANDLE service) {
    Lock lock(g_mutex);
    const std::u16string* name = Target(lock, "DeleteService", service);
    return name != nullptr && g.services.erase(*name) != 0 ? TRUE : FALSE;
}

// Runs the service entry on a thread of its own and the controls on this
// one, until the entry returns.
BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table) {
    Lock lock(g_mutex);
    if (Use(lock, "StartServiceCtrlDispatcherW")) return FALSE;
    g.serving = true;
    bool ended = false;
    std::thread service([&] {
        WCHAR* argv[2] = {table[0].lpServiceName, nullptr};
        table[0].lpServiceProc(1, argv);
        Lock done(g_mutex);
        ended = true;
        g_changed.notify_all();
    });
    for (;;) {
        g_changed.wait(lock, [&] { return ended || !g.controls.empty(); });
        if (g.controls.empty()) break;
        const DWORD control = g.controls.front();
        LPHANDLER_FUNCTION handler = g.handler;
        Note("C" + std::to_string(control));
        lock.unlock();
        if (handler != nullptr) handler(control);
        lock.lock();
        g.controls.pop_front();
        g_changed.notify_all();
    }
    lock.unlock();
    service.join();
    lock.lock();
    g.serving = false;
    g.handler = nullptr;
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(const WCHAR*, LPHANDLER_FUNCTION handler) {
    Lock lock(g_mutex);
    g.handler = handler;  // a control at this use reaches it
    return Use(lock, "RegisterServiceCtrlHandlerW") ? nullptr
                                                    : reinterpret_cast<SERVICE_STATUS_HANDLE>(&g);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE, SERVICE_STATUS* s) {
    Lock lock(g_mutex);
    const bool failed = Use(lock, "SetServiceStatus" + std::to_string(s->dwCurrentState));
    // A service-specific code goes with ERROR_SERVICE_SPECIFIC_ERROR, and only then.
    const bool usual = s->dwServiceType == SERVICE_WIN32_OWN_PROCESS &&
                       s->dwControlsAccepted == 5 && s->dwCheckPoint == 1 &&
                       s->dwWaitHint == 15000 &&
                       (s->dwWin32ExitCode == 1066) == (s->dwServiceSpecificExitCode != 0);
    const DWORD specific = s->dwServiceSpecificExitCode;
    Note("r" + std::to_string(s->dwCurrentState) +
         (s->dwWin32ExitCode ? "!" + std::to_string(s->dwWin32ExitCode) : "") +
         (specific ? "/" + std::to_string(specific) : "") + (usual ? "" : "?") +
         (failed ? "x" : ""));
    g.stopped |= !failed && s->dwCurrentState == SERVICE_STOPPED;
    return failed ? FALSE : TRUE;
}

void InitializeCriticalSection(CRITICAL_SECTION*) {}
void EnterCriticalSection(CRITICAL_SECTION*) {
    g_section.lock();
}
void LeaveCriticalSection(CRITICAL_SECTION*) {
    g_section.unlock();
}

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
// must end it within 2 s.
// A child that was never let run is flagged.
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

namespace sim {

State g;

void Reset() {
    Lock lock(g_mutex);
    g = State();
}

}  // namespace sim
