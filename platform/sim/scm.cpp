// The simulated Service Control Manager (installed services by name, each
// with a scripted answer to a stop) and the host's own service run
// (dispatcher, control handler, status reports).
#include <deque>
#include <map>
#include <thread>

#include "platform/sim/internal.h"

namespace sim {
namespace internal {
namespace {

using platform::SC_HANDLE;
using platform::SERVICE_STATUS;

constexpr DWORD kScManagerConnect = 0x0001;
constexpr DWORD kScManagerCreateService = 0x0002;
constexpr DWORD kServiceQueryStatus = 0x0004;
constexpr DWORD kServiceStop = 0x0020;
constexpr DWORD kDelete = 0x00010000;

struct Service {
    std::u16string name;
    DWORD state = platform::SERVICE_STOPPED;
    int pending_queries = 0;
    DWORD final_state = platform::SERVICE_STOPPED;
};

struct ScHandle {
    std::u16string service;  // folded name; empty for the manager
    DWORD access = 0;
};

struct Dispatcher {
    bool started_by_scm = false;
    bool running = false;
    std::u16string name;
    platform::LPHANDLER_FUNCTION handler = nullptr;
    bool finished = false;  // STOPPED reported or the entry returned
    std::deque<DWORD> controls;
};

struct Scm {
    std::map<std::u16string, Service> services;  // by folded name
    std::map<std::uintptr_t, ScHandle> handles;
    Dispatcher dispatcher;
};

Scm& M() {
    static Scm scm;
    return scm;
}

// The handle's entry when it is of the wanted kind and carries `needed`.
ScHandle* HandleOf(SC_HANDLE handle, bool manager, DWORD needed) {
    auto it = M().handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == M().handles.end() || it->second.service.empty() != manager) return nullptr;
    return (it->second.access & needed) == needed ? &it->second : nullptr;
}

Service* ServiceOf(SC_HANDLE handle, DWORD needed) {
    ScHandle* h = HandleOf(handle, false, needed);
    auto it = h == nullptr ? M().services.end() : M().services.find(h->service);
    return it == M().services.end() ? nullptr : &it->second;
}

SC_HANDLE NewHandleLocked(const std::u16string& folded, DWORD access) {
    const std::uintptr_t id = NextHandleLocked();
    M().handles[id] = ScHandle{folded, access};
    return reinterpret_cast<SC_HANDLE>(id);
}

void Fill(const Service& s, SERVICE_STATUS* status) {
    *status = SERVICE_STATUS{platform::SERVICE_WIN32_OWN_PROCESS, s.state, 0, 0, 0, 0, 0};
    if (s.state == platform::SERVICE_RUNNING) status->dwControlsAccepted = 5;
}

std::string Text(const platform::WCHAR* text) {
    return text == nullptr ? "null" : U8(text);
}

}  // namespace

void ResetScmLocked() {
    M() = Scm();
}

bool DispatcherRunningLocked() {
    return M().dispatcher.running;
}

std::size_t OpenScHandlesLocked() {
    return M().handles.size();
}

}  // namespace internal

using namespace internal;

bool ServiceExists(const std::u16string& name) {
    std::lock_guard<std::mutex> lock(Mutex());
    return M().services.count(Fold(name)) != 0;
}

void SetRunning(const std::u16string& name, int pending_queries, DWORD final_state) {
    std::lock_guard<std::mutex> lock(Mutex());
    Service& s = M().services.at(Fold(name));
    s.state = platform::SERVICE_RUNNING;
    s.pending_queries = pending_queries;
    s.final_state = final_state;
}

void SetStartedBySCM(bool started) {
    std::lock_guard<std::mutex> lock(Mutex());
    M().dispatcher.started_by_scm = started;
}

void SendControl(DWORD control) {
    std::lock_guard<std::mutex> lock(Mutex());
    if (M().dispatcher.running) M().dispatcher.controls.push_back(control);
    Changed().notify_all();
}

}  // namespace sim

namespace platform {

using namespace sim::internal;

SC_HANDLE OpenSCManagerW(const WCHAR* machine, const WCHAR* database, DWORD access) {
    Call call(sim::Op::OpenSCManagerW);
    if (FailLocked(sim::Op::OpenSCManagerW) || machine != nullptr || database != nullptr) {
        return nullptr;
    }
    return NewHandleLocked(u"", access);
}

SC_HANDLE CreateServiceW(SC_HANDLE manager, const WCHAR* name, const WCHAR* display, DWORD access,
                         DWORD type, DWORD start, DWORD error_control, const WCHAR* binary_path,
                         const WCHAR* load_order_group, DWORD* tag, const WCHAR* dependencies,
                         const WCHAR* account, const WCHAR* password) {
    Call call(sim::Op::CreateServiceW);
    if (FailLocked(sim::Op::CreateServiceW) ||
        HandleOf(manager, true, kScManagerCreateService) == nullptr || name == nullptr ||
        name[0] == 0) {
        return nullptr;
    }
    const std::u16string folded = Fold(name);
    std::string line = "CreateServiceW " + sim::U8(name);
    if (M().services.count(folded) != 0) {
        LogLocked(line + " failed");
        return nullptr;
    }
    std::string deps = dependencies == nullptr ? "null" : "[";
    for (const WCHAR* p = dependencies; p != nullptr && *p != 0; p += FromWide(p).size() + 1)
        deps += sim::U8(p) + ";";
    line += " display=" + Text(display) + " access=" + Dec(access) + " type=" + Dec(type) +
            " start=" + Dec(start) + " error=" + Dec(error_control) + " path=" + Text(binary_path) +
            " group=" + Text(load_order_group) + " tag=" + (tag == nullptr ? "null" : "set") +
            " deps=" + deps + (dependencies == nullptr ? "" : "]") + " account=" + Text(account) +
            " password=" + Text(password);
    M().services[folded] = sim::internal::Service{name};
    LogLocked(line);
    return NewHandleLocked(folded, access);
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, const WCHAR* name, DWORD access) {
    Call call(sim::Op::OpenServiceW);
    if (FailLocked(sim::Op::OpenServiceW) ||
        HandleOf(manager, true, kScManagerConnect) == nullptr ||
        M().services.count(Fold(name)) == 0) {
        return nullptr;
    }
    return NewHandleLocked(Fold(name), access);
}

BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
    Call call(sim::Op::ControlService);
    if (FailLocked(sim::Op::ControlService)) return FALSE;
    sim::internal::Service* s =
        ServiceOf(service, control == SERVICE_CONTROL_STOP ? kServiceStop : kServiceQueryStatus);
    if (s == nullptr) return FALSE;
    // Only a stop of a running service is accepted; the record is filled
    // also on the refusal "not active".
    const bool accepted = control == SERVICE_CONTROL_STOP && s->state == SERVICE_RUNNING;
    if (accepted) s->state = SERVICE_STOP_PENDING;
    Fill(*s, status);
    LogLocked("ControlService " + sim::U8(s->name) + " " + Dec(control) +
              (accepted ? " accepted" : " refused"));
    return accepted ? TRUE : FALSE;
}

BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
    Call call(sim::Op::QueryServiceStatus);
    sim::internal::Service* s = ServiceOf(service, kServiceQueryStatus);
    if (FailLocked(sim::Op::QueryServiceStatus) || s == nullptr) return FALSE;
    if (s->state == SERVICE_STOP_PENDING && s->pending_queries-- <= 0) s->state = s->final_state;
    Fill(*s, status);
    LogLocked("QueryServiceStatus " + sim::U8(s->name) + " state=" + Dec(s->state));
    return TRUE;
}

BOOL DeleteService(SC_HANDLE service) {
    Call call(sim::Op::DeleteService);
    sim::internal::Service* s = ServiceOf(service, kDelete);
    if (FailLocked(sim::Op::DeleteService) || s == nullptr) return FALSE;
    LogLocked("DeleteService " + sim::U8(s->name));
    M().services.erase(Fold(s->name));
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
    Call call;
    return M().handles.erase(reinterpret_cast<std::uintptr_t>(handle)) != 0 ? TRUE : FALSE;
}

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table) {
    Call call(sim::Op::StartServiceCtrlDispatcherW);
    Dispatcher& d = M().dispatcher;
    if (FailLocked(sim::Op::StartServiceCtrlDispatcherW) || !d.started_by_scm || d.running) {
        return FALSE;
    }
    d = Dispatcher{true, true, table[0].lpServiceName, nullptr, false, {}};
    // The entry gets argc 1 and argv = {service name}, on a thread of its own.
    std::u16string name = d.name;
    WCHAR* argv[2] = {&name[0], nullptr};
    LPSERVICE_MAIN_FUNCTIONW entry = table[0].lpServiceProc;
    std::thread service([entry, &argv] {
        entry(1, argv);
        std::lock_guard<std::mutex> done(Mutex());
        M().dispatcher.finished = true;
        Changed().notify_all();
    });
    std::unique_lock<std::mutex>& lock = call.Lock();
    while (!d.finished) {
        if (d.controls.empty() || d.handler == nullptr) {
            Changed().wait(lock);
            continue;
        }
        const DWORD control = d.controls.front();
        d.controls.pop_front();
        LogLocked("Control " + Dec(control));
        LPHANDLER_FUNCTION handler = d.handler;
        lock.unlock();
        handler(control);
        lock.lock();
        LogLocked("Control " + Dec(control) + " done");
    }
    LogLocked("Dispatcher returned");
    lock.unlock();
    service.join();
    lock.lock();
    d.running = false;
    Changed().notify_all();
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(const WCHAR* name, LPHANDLER_FUNCTION handler) {
    Call call(sim::Op::RegisterServiceCtrlHandlerW);
    Dispatcher& d = M().dispatcher;
    if (FailLocked(sim::Op::RegisterServiceCtrlHandlerW) || !d.running ||
        Fold(name) != Fold(d.name)) {
        return nullptr;
    }
    d.handler = handler;
    LogLocked("RegisterServiceCtrlHandlerW " + sim::U8(name));
    Changed().notify_all();
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(&d);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* s) {
    Call call(sim::Op::SetServiceStatus);
    Dispatcher& d = M().dispatcher;
    if (FailLocked(sim::Op::SetServiceStatus) || !d.running ||
        handle != reinterpret_cast<SERVICE_STATUS_HANDLE>(&d)) {
        return FALSE;
    }
    LogLocked("SetServiceStatus type=" + Dec(s->dwServiceType) +
              " state=" + Dec(s->dwCurrentState) + " accepted=" + Dec(s->dwControlsAccepted) +
              " exit=" + Dec(s->dwWin32ExitCode) +
              " specific=" + Dec(s->dwServiceSpecificExitCode) + " check=" + Dec(s->dwCheckPoint) +
              " hint=" + Dec(s->dwWaitHint));
    if (s->dwCurrentState == SERVICE_STOPPED) d.finished = true;
    Changed().notify_all();
    return TRUE;
}

}  // namespace platform
