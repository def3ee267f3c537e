// The fake platform: one state table behind one lock, the use counter, and
// the registry and service calls over them (processes and the rest:
// process.cpp).
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/sim/internal.h"

platform::HKEY const platform::HKEY_LOCAL_MACHINE =
    reinterpret_cast<platform::HKEY>(std::uintptr_t{0x80000002});

using namespace platform;
using namespace sim::internal;
using sim::g;

std::mutex sim::internal::g_mutex;
std::condition_variable sim::internal::g_changed;
thread_local DWORD sim::internal::t_last_error = 0;

void sim::internal::Note(const std::string& token) {
    g.log += token + " ";
    g_changed.notify_all();
}

bool sim::internal::Use(Lock& lock, const std::string& call) {
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

namespace {

std::mutex g_section;  // every CRITICAL_SECTION: the host has one

// Results that only the registry and the SCM give.
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr DWORD REG_CREATED_NEW_KEY = 1;

std::u16string Fold(std::u16string text) {
    for (char16_t& c : text)
        c = c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c;
    return text;
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

}  // namespace platform

namespace sim {

State g;

void Reset() {
    Lock lock(g_mutex);
    g = State();
}

}  // namespace sim
