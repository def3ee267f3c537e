// The platform calls of the simulated platform, over its state table.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/sim/state.h"

// ---- The platform calls ----

namespace sim {
namespace detail {
namespace {

// Without the lock: runs and disarms op's hook.
void RunHook(Op op, bool after) {
    Hook hook;
    {
        Lock lock(g_mutex);
        std::swap(hook, g_state.hooks[after ? 1 : 0][static_cast<int>(op)]);
    }
    if (hook.fn != nullptr) hook.fn(hook.context);
}

std::string Text(const WCHAR* text) {
    return text == nullptr ? "null" : U8(text);
}

BOOL Close(const void* handle) {
    Lock lock(g_mutex);
    return g_state.handles.erase(reinterpret_cast<std::uintptr_t>(handle)) != 0 ? TRUE : FALSE;
}

// The key behind a handle; null for anything else.
Key* KeyOf(HKEY key) {
    auto h = g_state.handles.find(reinterpret_cast<std::uintptr_t>(key));
    auto it = h != g_state.handles.end() ? g_state.keys.find(h->second) : g_state.keys.end();
    return it == g_state.keys.end() ? nullptr : &it->second;
}

// RegOpenKeyExW, or with `disposition` RegCreateKeyExW.
LONG OpenKey(Op op, HKEY root, const WCHAR* path, HKEY* out, DWORD* disposition = nullptr) {
    Lock lock(g_mutex);
    *out = nullptr;
    if (Fail(op)) return ERROR_ACCESS_DENIED;
    if (root != HKEY_LOCAL_MACHINE) return ERROR_INVALID_PARAMETER;
    const bool created = disposition != nullptr && CreateKeys(path);
    if (g_state.keys.count(Fold(path)) == 0) return ERROR_FILE_NOT_FOUND;
    if (disposition != nullptr)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *out = NewHandle<HKEY>(Fold(path));
    return ERROR_SUCCESS;
}

// The service behind an SCM handle; null when the call is to fail.
Service* ServiceOf(Op op, SC_HANDLE handle) {
    auto it = g_state.handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (Fail(op) || it == g_state.handles.end()) return nullptr;
    auto s = g_state.services.find(it->second);
    return s == g_state.services.end() ? nullptr : &s->second;
}

bool Alive(HANDLE process, std::map<DWORD, bool>::iterator* child) {
    *child = g_state.children.find(static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(process)));
    return *child != g_state.children.end() && (*child)->second;
}

}  // namespace

}  // namespace detail
}  // namespace sim

namespace platform {

using namespace sim;
using namespace sim::detail;
using std::to_string;

LONG RegOpenKeyExW(HKEY root, const WCHAR* path, DWORD /*options*/, DWORD /*access*/, HKEY* out) {
    return OpenKey(Op::RegOpenKeyExW, root, path, out);
}

LONG RegOpenKeyW(HKEY root, const WCHAR* path, HKEY* out) {
    return OpenKey(Op::RegOpenKeyW, root, path, out);
}

LONG RegCreateKeyExW(HKEY root, const WCHAR* path, DWORD /*reserved*/, WCHAR* /*klass*/,
                     DWORD /*options*/, DWORD /*access*/, void* /*security*/, HKEY* out,
                     DWORD* disposition) {
    DWORD ignored = 0;
    return OpenKey(Op::RegCreateKeyExW, root, path, out,
                   disposition != nullptr ? disposition : &ignored);
}

LONG RegQueryValueExW(HKEY key, const WCHAR* name, DWORD* /*reserved*/, DWORD* type, BYTE* data,
                      DWORD* size) {
    Lock lock(g_mutex);
    Key* k = Fail(Op::RegQueryValueExW) ? nullptr : KeyOf(key);
    if (k == nullptr) return ERROR_ACCESS_DENIED;
    auto it = k->values.find(Fold(name));
    if (it == k->values.end()) return ERROR_FILE_NOT_FOUND;
    const std::vector<std::uint8_t>& bytes = it->second.bytes;
    const bool fits = data == nullptr || *size >= bytes.size();
    if (type != nullptr) *type = it->second.type;
    // A too small buffer's content is undefined: scribbled, so that no caller
    // comes to rely on it.
    if (data != nullptr && fits) std::copy(bytes.begin(), bytes.end(), data);
    if (!fits) std::fill(data, data + *size, 0xCD);
    *size = static_cast<DWORD>(bytes.size());
    return fits ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

LONG RegSetValueExW(HKEY key, const WCHAR* name, DWORD /*reserved*/, DWORD type, const BYTE* data,
                    DWORD size) {
    Lock lock(g_mutex);
    Key* k = Fail(Op::RegSetValueExW) ? nullptr : KeyOf(key);
    if (k == nullptr) return ERROR_ACCESS_DENIED;
    // String data without its terminator gains one when the WCHAR just past
    // it reads as 0: read as Windows does, so that ASan sees a buffer without
    // room for that WCHAR.
    const DWORD end = size & ~1u;
    if ((type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) && data != nullptr &&
        end >= 2 && (data[end - 2] | data[end - 1]) != 0 && (data[end] | data[end + 1]) == 0) {
        size += 2;
    }
    k->values[Fold(name)] = Value{name, type, {data, data + (data != nullptr ? size : 0)}};
    return ERROR_SUCCESS;
}

LONG RegDeleteValueW(HKEY key, const WCHAR* name) {
    Lock lock(g_mutex);
    Key* k = Fail(Op::RegDeleteValueW) ? nullptr : KeyOf(key);
    if (k == nullptr) return ERROR_ACCESS_DENIED;
    return k->values.erase(Fold(name)) != 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG RegDeleteKeyW(HKEY /*root*/, const WCHAR* path) {
    Lock lock(g_mutex);
    return g_state.keys.erase(Fold(path)) != 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG RegCloseKey(HKEY key) {
    return Close(key) ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

SC_HANDLE OpenSCManagerW(const WCHAR* /*machine*/, const WCHAR* /*database*/, DWORD /*access*/) {
    Lock lock(g_mutex);
    return Fail(Op::OpenSCManagerW) ? nullptr : NewHandle<SC_HANDLE>(u"");
}

SC_HANDLE CreateServiceW(SC_HANDLE manager, const WCHAR* name, const WCHAR* /*display*/,
                         DWORD /*access*/, DWORD /*type*/, DWORD /*start*/, DWORD /*error_control*/,
                         const WCHAR* /*binary_path*/, const WCHAR* /*load_order_group*/,
                         DWORD* /*tag*/, const WCHAR* /*dependencies*/, const WCHAR* /*account*/,
                         const WCHAR* /*password*/) {
    Lock lock(g_mutex);
    if (Fail(Op::CreateServiceW) ||
        g_state.handles.count(reinterpret_cast<std::uintptr_t>(manager)) == 0 ||
        !g_state.services.emplace(Fold(name), Service{}).second) {
        return nullptr;  // also when the name is taken
    }
    return NewHandle<SC_HANDLE>(Fold(name));
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, const WCHAR* name, DWORD /*access*/) {
    Lock lock(g_mutex);
    if (Fail(Op::OpenServiceW) ||
        g_state.handles.count(reinterpret_cast<std::uintptr_t>(manager)) == 0 ||
        g_state.services.count(Fold(name)) == 0) {
        return nullptr;
    }
    return NewHandle<SC_HANDLE>(Fold(name));
}

BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
    Lock lock(g_mutex);
    Service* s = ServiceOf(Op::ControlService, service);
    // Only the stop of a running service is accepted.
    if (s == nullptr || control != SERVICE_CONTROL_STOP || s->state != SERVICE_RUNNING)
        return FALSE;
    s->state = SERVICE_STOP_PENDING;
    *status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, s->state, 0, 0, 0, 0, 0};
    return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
    Lock lock(g_mutex);
    Service* s = ServiceOf(Op::QueryServiceStatus, service);
    if (s == nullptr) return FALSE;
    if (s->state == SERVICE_STOP_PENDING && s->pending_queries-- <= 0) s->state = s->final_state;
    *status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, s->state, 0, 0, 0, 0, 0};
    return TRUE;
}

BOOL DeleteService(SC_HANDLE service) {
    Lock lock(g_mutex);
    if (ServiceOf(Op::DeleteService, service) == nullptr) return FALSE;
    g_state.services.erase(g_state.handles[reinterpret_cast<std::uintptr_t>(service)]);
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
    return Close(handle);
}

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table) {
    {
        Lock lock(g_mutex);
        if (Fail(Op::StartServiceCtrlDispatcherW) || !g_state.started_by_scm || g_state.running) {
            return FALSE;
        }
        g_state.running = true;
        g_state.service_name = table[0].lpServiceName;
    }
    // The entry runs on this thread, with argc 1 and argv = {service name}.
    std::u16string name = table[0].lpServiceName;
    WCHAR* argv[2] = {&name[0], nullptr};
    table[0].lpServiceProc(1, argv);
    Lock lock(g_mutex);
    Log("Dispatcher returned");
    g_state.running = false;
    g_state.handler = nullptr;
    g_changed.notify_all();
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(const WCHAR* name, LPHANDLER_FUNCTION handler) {
    SERVICE_STATUS_HANDLE result = nullptr;
    {
        Lock lock(g_mutex);
        if (!Fail(Op::RegisterServiceCtrlHandlerW) && g_state.running &&
            Fold(name) == Fold(g_state.service_name)) {
            g_state.handler = handler;
            g_changed.notify_all();
            result = reinterpret_cast<SERVICE_STATUS_HANDLE>(&g_state);
        }
    }
    RunHook(Op::RegisterServiceCtrlHandlerW, true);
    return result;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* s) {
    Lock lock(g_mutex);
    if (Fail(Op::SetServiceStatus) || !g_state.running ||
        handle != reinterpret_cast<SERVICE_STATUS_HANDLE>(&g_state)) {
        return FALSE;
    }
    Log("SetServiceStatus type=" + to_string(s->dwServiceType) +
        " state=" + to_string(s->dwCurrentState) + " accepted=" + to_string(s->dwControlsAccepted) +
        " exit=" + to_string(s->dwWin32ExitCode) +
        " specific=" + to_string(s->dwServiceSpecificExitCode) +
        " check=" + to_string(s->dwCheckPoint) + " hint=" + to_string(s->dwWaitHint));
    g_changed.notify_all();
    return TRUE;
}

namespace {
thread_local DWORD t_last_error = 0;
}

DWORD GetLastError() {
    return t_last_error;
}

BOOL CreateProcessW(const WCHAR* application, WCHAR* command_line, void* process_security,
                    void* thread_security, BOOL inherit_handles, DWORD flags, void* environment,
                    const WCHAR* directory, STARTUPINFOW* startup, PROCESS_INFORMATION* info) {
    RunHook(Op::CreateProcessW, false);
    const STARTUPINFOW& s = *startup;
    const bool rest_zero =
        (s.dwX | s.dwY | s.dwXSize | s.dwYSize | s.dwXCountChars | s.dwYCountChars |
         s.dwFillAttribute | s.dwFlags | s.wShowWindow | s.cbReserved2) == 0 &&
        s.lpReserved == nullptr && s.lpDesktop == nullptr && s.lpTitle == nullptr &&
        s.lpReserved2 == nullptr && s.hStdInput == nullptr && s.hStdOutput == nullptr &&
        s.hStdError == nullptr && process_security == nullptr && thread_security == nullptr &&
        environment == nullptr;
    bool ok = false;
    {
        Lock lock(g_mutex);
        const std::vector<std::u16string>& known = g_state.executables;
        const bool failed = Fail(Op::CreateProcessW);
        ok = !failed && application != nullptr &&
             std::count(known.begin(), known.end(), Fold(application)) != 0;
        t_last_error = ok ? t_last_error : failed ? g_state.launch_error : ERROR_FILE_NOT_FOUND;
        Log("CreateProcessW app=" + Text(application) + " cmd=" + Text(command_line) +
            " dir=" + Text(directory) + " inherit=" + to_string(inherit_handles) +
            " flags=" + to_string(flags) + " cb=" + to_string(startup->cb) +
            " rest=" + (rest_zero ? "0" : "set") + (ok ? "" : " failed"));
        const DWORD pid = 1000 + static_cast<DWORD>(g_state.children.size());
        if (ok) {
            g_state.children[pid] = true;
            *info = PROCESS_INFORMATION{reinterpret_cast<HANDLE>(std::uintptr_t{pid}),
                                        reinterpret_cast<HANDLE>(std::uintptr_t{pid | 0x10000u}),
                                        pid, pid | 0x10000u};
        }
    }
    RunHook(Op::CreateProcessW, true);
    return ok ? TRUE : FALSE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    Lock lock(g_mutex);
    std::map<DWORD, bool>::iterator child;
    auto ended = [&] { return !Alive(handle, &child); };
    if (milliseconds == INFINITE) {
        g_changed.wait(lock, ended);
    } else if (!g_changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ended)) {
        return WAIT_TIMEOUT;
    }
    return child == g_state.children.end() ? WAIT_FAILED : WAIT_OBJECT_0;
}

BOOL TerminateProcess(HANDLE process, DWORD exit_code) {
    Lock lock(g_mutex);
    std::map<DWORD, bool>::iterator child;
    // As on Windows: an ended process can no longer be terminated.
    const bool alive = Alive(process, &child);
    Log("TerminateProcess code=" + to_string(exit_code) + (alive ? "" : " failed"));
    if (alive) child->second = false;
    g_changed.notify_all();
    return alive ? TRUE : FALSE;
}

BOOL CloseHandle(HANDLE) {
    return TRUE;
}

void Sleep(DWORD milliseconds) {
    Lock lock(g_mutex);
    Log("Sleep " + to_string(milliseconds));
}

BOOL Beep(DWORD frequency, DWORD duration) {
    Lock lock(g_mutex);
    Log("Beep " + to_string(frequency) + " " + to_string(duration));
    return TRUE;
}

void ExitProcess(DWORD exit_code) {
    Lock lock(g_mutex);
    Log("ExitProcess " + to_string(exit_code));
}

void ConsoleWrite(const WCHAR* text) {
    Lock lock(g_mutex);
    Log("Console " + Text(text));
}

DWORD GetModuleFileNameW(void* module, WCHAR* buffer, DWORD capacity) {
    Lock lock(g_mutex);
    const std::u16string& path = g_state.module_path;
    if (module != nullptr || capacity == 0 || path.empty()) return 0;
    // As on current Windows: a path that does not fit comes back as
    // capacity - 1 characters and a terminator, with the capacity as result.
    const std::size_t kept = path.copy(buffer, capacity - 1);
    buffer[kept] = 0;
    return path.size() < capacity ? static_cast<DWORD>(kept) : capacity;
}

int _stricmp(const char* a, const char* b) {
    // Folds A-Z to a-z and nothing else, byte by byte.
    auto low = [](const char* c) { return *c >= 'A' && *c <= 'Z' ? *c + 32 : *c & 0xFF; };
    for (; low(a) == low(b) && *a != 0; ++a, ++b) {
    }
    return low(a) - low(b);
}

void InitializeSRWLock(SRWLOCK* lock) {
    lock->Ptr = nullptr;
}

void AcquireSRWLockExclusive(SRWLOCK* /*lock*/) {
    g_slim_lock.lock();
}

void ReleaseSRWLockExclusive(SRWLOCK* /*lock*/) {
    g_slim_lock.unlock();
}

void* HeapAllocate(std::size_t bytes) {
    Lock lock(g_mutex);
    void* block = Fail(Op::HeapAllocate) ? nullptr : std::malloc(bytes == 0 ? 1 : bytes);
    if (block != nullptr) g_blocks[block] = g_generation;
    return block;
}

void HeapRelease(void* block) {
    if (block == nullptr) return;
    Lock lock(g_mutex);
    if (g_blocks.erase(block) == 0) {
        // Releasing what this heap never handed out (or twice) is a fault of
        // the caller: stop where it happened.
        (void)std::fprintf(stderr, "HeapRelease: %p is not a live block of this heap\n", block);
        std::abort();
    }
    std::free(block);
}

}  // namespace platform
