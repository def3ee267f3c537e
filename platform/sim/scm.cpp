// The simulated Service Control Manager (services installed on the machine,
// with their registrations under the Services key) and the host's own
// service run (dispatcher, control handler, status reports).
#include <deque>
#include <map>
#include <set>
#include <thread>

#include "platform/sim/internal.h"

namespace sim {
namespace internal {
namespace {

using platform::BOOL;
using platform::FALSE;
using platform::SC_HANDLE;
using platform::SERVICE_STATUS;
using platform::SERVICE_STATUS_HANDLE;
using platform::TRUE;
using platform::WCHAR;

constexpr DWORD kErrorServiceNeverStarted = 1077;
const char16_t kServicesKey[] = u"SYSTEM\\CurrentControlSet\\Services\\";

struct Service {
    ServiceRecord record;
    DWORD state = platform::SERVICE_STOPPED;
    bool ever_started = false;
    bool marked_for_delete = false;
    bool stop_accept = true;
    int stop_pending_queries = 0;
    DWORD stop_final_state = platform::SERVICE_STOPPED;
    int pending_left = 0;  // queries still to answer STOP_PENDING
};

struct ScHandle {
    bool manager = false;
    std::u16string service;  // folded name, for a service handle
};

struct Dispatcher {
    bool started_by_scm = false;
    bool running = false;
    std::u16string service_name;
    platform::LPHANDLER_FUNCTION handler = nullptr;
    std::uintptr_t status_handle = 0;  // of the current run
    bool stopped_reported = false;
    bool service_returned = false;
    std::deque<DWORD> controls;
};

struct Scm {
    std::map<std::u16string, Service> services;  // by folded name
    std::map<std::uintptr_t, ScHandle> handles;
    std::set<std::uintptr_t> status_handles;  // valid until Reset
    Dispatcher dispatcher;
};

Scm& M() {
    static Scm scm;
    return scm;
}

std::string Name(const Service& service) {
    return U8(service.record.name);
}

void WriteRegistrationLocked(const ServiceRecord& r) {
    std::u16string key = kServicesKey + r.name;
    auto dword = [&](const char16_t* name, DWORD value) {
        std::vector<std::uint8_t> bytes;
        bytes.reserve(4);
        for (int i = 0; i < 4; ++i)
            bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        RegSetRawLocked(key, name, platform::REG_DWORD, bytes);
    };
    dword(u"Type", r.type);
    dword(u"Start", r.start);
    dword(u"ErrorControl", r.error_control);
    RegSetStringLocked(key, u"ImagePath", platform::REG_EXPAND_SZ, r.binary_path);
    if (!r.display_name.empty())
        RegSetStringLocked(key, u"DisplayName", platform::REG_SZ, r.display_name);
    RegSetStringLocked(key, u"ObjectName", platform::REG_SZ, u"LocalSystem");
}

Service* ServiceOfLocked(SC_HANDLE handle) {
    auto it = M().handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == M().handles.end() || it->second.manager) return nullptr;
    auto s = M().services.find(it->second.service);
    return s == M().services.end() ? nullptr : &s->second;
}

bool IsManagerLocked(SC_HANDLE handle) {
    auto it = M().handles.find(reinterpret_cast<std::uintptr_t>(handle));
    return it != M().handles.end() && it->second.manager;
}

SC_HANDLE NewScHandleLocked(bool manager, const std::u16string& folded) {
    std::uintptr_t id = NextHandleLocked();
    M().handles[id] = ScHandle{manager, folded};
    return reinterpret_cast<SC_HANDLE>(id);
}

void FillStatus(const Service& s, SERVICE_STATUS* status) {
    status->dwServiceType = s.record.type;
    status->dwCurrentState = s.state;
    status->dwControlsAccepted =
        s.state == platform::SERVICE_RUNNING
            ? platform::SERVICE_ACCEPT_STOP | platform::SERVICE_ACCEPT_SHUTDOWN
            : 0;
    status->dwWin32ExitCode =
        s.state == platform::SERVICE_STOPPED && !s.ever_started ? kErrorServiceNeverStarted : 0;
    status->dwServiceSpecificExitCode = 0;
    status->dwCheckPoint = 0;
    status->dwWaitHint = 0;
}

std::string StatusText(const SERVICE_STATUS& s) {
    return "type=" + Dec(s.dwServiceType) + " state=" + Dec(s.dwCurrentState) +
           " accepted=" + Dec(s.dwControlsAccepted) + " exit=" + Dec(s.dwWin32ExitCode) +
           " specific=" + Dec(s.dwServiceSpecificExitCode) + " check=" + Dec(s.dwCheckPoint) +
           " hint=" + Dec(s.dwWaitHint);
}

void AddServiceLocked(const ServiceRecord& record) {
    Service service;
    service.record = record;
    M().services[Fold(record.name)] = service;
    WriteRegistrationLocked(record);
}

}  // namespace

void ResetScmLocked() {
    Scm& m = M();
    m.services.clear();
    m.handles.clear();
    m.status_handles.clear();
    m.dispatcher = Dispatcher();
}

bool DispatcherRunningLocked() {
    return M().dispatcher.running;
}

}  // namespace internal

using namespace internal;

void AddService(const ServiceRecord& record) {
    std::lock_guard<std::mutex> lock(Mutex());
    AddServiceLocked(record);
}

bool GetService(const std::u16string& name, ServiceRecord* out) {
    std::lock_guard<std::mutex> lock(Mutex());
    auto it = M().services.find(Fold(name));
    if (it == M().services.end()) return false;
    *out = it->second.record;
    return true;
}

bool ServiceExists(const std::u16string& name) {
    std::lock_guard<std::mutex> lock(Mutex());
    return M().services.count(Fold(name)) != 0;
}

void SetServiceState(const std::u16string& name, DWORD state) {
    std::lock_guard<std::mutex> lock(Mutex());
    auto it = M().services.find(Fold(name));
    if (it == M().services.end()) return;
    it->second.state = state;
    it->second.pending_left = 0;
    if (state != platform::SERVICE_STOPPED) it->second.ever_started = true;
}

void SetStopBehaviour(const std::u16string& name, bool accept, int pending_queries,
                      DWORD final_state) {
    std::lock_guard<std::mutex> lock(Mutex());
    auto it = M().services.find(Fold(name));
    if (it == M().services.end()) return;
    it->second.stop_accept = accept;
    it->second.stop_pending_queries = pending_queries;
    it->second.stop_final_state = final_state;
}

std::size_t OpenScHandleCount() {
    std::lock_guard<std::mutex> lock(Mutex());
    return M().handles.size();
}

void SetStartedBySCM(bool started) {
    std::lock_guard<std::mutex> lock(Mutex());
    M().dispatcher.started_by_scm = started;
}

void SendControl(DWORD control) {
    std::lock_guard<std::mutex> lock(Mutex());
    Dispatcher& d = M().dispatcher;
    if (!d.running) {
        LogLocked("Control " + Dec(control) + " dropped");
        return;
    }
    d.controls.push_back(control);
    Changed().notify_all();
}

bool DispatcherRunning() {
    std::lock_guard<std::mutex> lock(Mutex());
    return M().dispatcher.running;
}

}  // namespace sim

namespace platform {

using namespace sim::internal;

SC_HANDLE OpenSCManagerW(const WCHAR* machine, const WCHAR* database, DWORD /*access*/) {
    Call call(sim::Op::OpenSCManagerW);
    if (sim::internal::FailLocked(sim::Op::OpenSCManagerW)) return nullptr;
    // Only the local machine's active database exists here.
    if (machine != nullptr && machine[0] != 0) return nullptr;
    if (database != nullptr && !EqualNoCase(FromWide(database), u"ServicesActive")) return nullptr;
    return NewScHandleLocked(true, std::u16string());
}

SC_HANDLE CreateServiceW(SC_HANDLE manager, const WCHAR* name, const WCHAR* display, DWORD access,
                         DWORD type, DWORD start, DWORD error_control, const WCHAR* binary_path,
                         const WCHAR* load_order_group, DWORD* tag, const WCHAR* dependencies,
                         const WCHAR* account, const WCHAR* password) {
    Call call(sim::Op::CreateServiceW);
    if (FailLocked(sim::Op::CreateServiceW)) return nullptr;
    if (!IsManagerLocked(manager) || name == nullptr || name[0] == 0 || binary_path == nullptr) {
        return nullptr;
    }
    std::u16string service_name = name;
    if (service_name.find_first_of(u"\\/") != std::u16string::npos) return nullptr;
    std::u16string folded = Fold(service_name);
    if (M().services.count(folded) != 0) {
        LogLocked("CreateServiceW " + sim::U8(service_name) + " failed");
        return nullptr;
    }
    sim::ServiceRecord r;
    r.name = service_name;
    r.display_name = FromWide(display);
    r.access = access;
    r.type = type;
    r.start = start;
    r.error_control = error_control;
    r.binary_path = binary_path;
    r.load_order_group_null = load_order_group == nullptr;
    r.tag_null = tag == nullptr;
    r.dependencies_null = dependencies == nullptr;
    if (dependencies != nullptr) {
        for (const WCHAR* p = dependencies; *p != 0;
             p += std::char_traits<char16_t>::length(p) + 1) {
            r.dependencies.push_back(p);
        }
    }
    r.account_null = account == nullptr;
    r.password_null = password == nullptr;
    AddServiceLocked(r);
    LogLocked("CreateServiceW " + sim::U8(service_name));
    return NewScHandleLocked(false, folded);
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, const WCHAR* name, DWORD /*access*/) {
    Call call(sim::Op::OpenServiceW);
    if (FailLocked(sim::Op::OpenServiceW)) return nullptr;
    if (!IsManagerLocked(manager) || name == nullptr) return nullptr;
    std::u16string folded = Fold(name);
    auto it = M().services.find(folded);
    if (it == M().services.end()) return nullptr;
    return NewScHandleLocked(false, folded);
}

BOOL StartServiceW(SC_HANDLE service, DWORD /*argc*/, const WCHAR** /*argv*/) {
    Call call;
    Service* s = ServiceOfLocked(service);
    if (s == nullptr || s->marked_for_delete || s->state != SERVICE_STOPPED) return FALSE;
    s->state = SERVICE_RUNNING;
    s->ever_started = true;
    LogLocked("StartServiceW " + Name(*s));
    return TRUE;
}

BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
    Call call(sim::Op::ControlService);
    if (FailLocked(sim::Op::ControlService)) return FALSE;
    Service* s = ServiceOfLocked(service);
    if (s == nullptr || status == nullptr) return FALSE;
    bool accepted = false;
    if (s->state == SERVICE_STOPPED) {
        accepted = false;  // not active
    } else if (control == SERVICE_CONTROL_STOP) {
        accepted = s->state != SERVICE_STOP_PENDING && s->stop_accept;
        if (accepted) {
            s->state = SERVICE_STOP_PENDING;
            s->pending_left = s->stop_pending_queries;
        }
    } else {
        accepted = control == SERVICE_CONTROL_INTERROGATE;
    }
    // As on Windows, the record is filled on acceptance and on the refusals
    // "not active" and "cannot accept".
    FillStatus(*s, status);
    LogLocked("ControlService " + Name(*s) + " " + Dec(control) +
              (accepted ? " accepted" : " refused"));
    return accepted ? TRUE : FALSE;
}

BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
    Call call(sim::Op::QueryServiceStatus);
    if (FailLocked(sim::Op::QueryServiceStatus)) return FALSE;
    Service* s = ServiceOfLocked(service);
    if (s == nullptr || status == nullptr) return FALSE;
    if (s->state == SERVICE_STOP_PENDING) {
        if (s->pending_left > 0) {
            --s->pending_left;
        } else {
            s->state = s->stop_final_state;
        }
    }
    FillStatus(*s, status);
    LogLocked("QueryServiceStatus " + Name(*s) + " state=" + Dec(s->state));
    return TRUE;
}

BOOL DeleteService(SC_HANDLE service) {
    Call call(sim::Op::DeleteService);
    if (FailLocked(sim::Op::DeleteService)) return FALSE;
    Service* s = ServiceOfLocked(service);
    if (s == nullptr) return FALSE;
    if (s->marked_for_delete) {
        LogLocked("DeleteService " + Name(*s) + " failed");
        return FALSE;
    }
    s->marked_for_delete = true;
    LogLocked("DeleteService " + Name(*s));
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
    Call call;
    auto it = M().handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == M().handles.end()) return FALSE;
    std::u16string folded = it->second.service;
    bool manager = it->second.manager;
    M().handles.erase(it);
    if (manager) return TRUE;
    // A service marked for deletion goes, with its registration, when its
    // last handle is closed.
    auto s = M().services.find(folded);
    if (s == M().services.end() || !s->second.marked_for_delete) return TRUE;
    for (const auto& h : M().handles) {
        if (!h.second.manager && h.second.service == folded) return TRUE;
    }
    RegDeleteTreeLocked(kServicesKey + s->second.record.name);
    M().services.erase(s);
    return TRUE;
}

namespace {

BOOL Dispatch(const SERVICE_TABLE_ENTRYW* table) {
    std::unique_lock<std::mutex> lock(Mutex());
    Dispatcher& d = M().dispatcher;
    if (FailLocked(sim::Op::StartServiceCtrlDispatcherW)) return FALSE;
    if (!d.started_by_scm || d.running) return FALSE;
    if (table == nullptr || table[0].lpServiceName == nullptr ||
        table[0].lpServiceProc == nullptr) {
        return FALSE;
    }
    d.running = true;
    d.service_name = table[0].lpServiceName;
    d.handler = nullptr;
    d.status_handle = 0;
    d.stopped_reported = false;
    d.service_returned = false;
    d.controls.clear();

    // The service thread gets argc 1 and argv = {service name}.
    std::u16string name = d.service_name;
    WCHAR* argv[2] = {&name[0], nullptr};
    LPSERVICE_MAIN_FUNCTIONW entry = table[0].lpServiceProc;
    std::thread service([entry, &argv] {
        entry(1, argv);
        std::lock_guard<std::mutex> done(Mutex());
        M().dispatcher.service_returned = true;
        Changed().notify_all();
    });

    // Serve controls on this thread until STOPPED or the service returns.
    for (;;) {
        if (d.stopped_reported || d.service_returned) break;
        if (d.controls.empty()) {
            Changed().wait(lock);
            continue;
        }
        DWORD control = d.controls.front();
        d.controls.pop_front();
        LPHANDLER_FUNCTION handler = d.handler;
        if (handler == nullptr) {
            LogLocked("Control " + Dec(control) + " dropped");
            continue;
        }
        LogLocked("Control " + Dec(control));
        lock.unlock();
        HoldIfRequested();
        handler(control);
        lock.lock();
        LogLocked("Control " + Dec(control) + " done");
    }
    for (DWORD control : d.controls)
        LogLocked("Control " + Dec(control) + " dropped");
    d.controls.clear();
    LogLocked("Dispatcher returned");
    lock.unlock();
    HoldIfRequested();
    service.join();
    lock.lock();
    d.running = false;
    d.handler = nullptr;
    Changed().notify_all();
    return TRUE;
}

}  // namespace

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table) {
    RunBeforeHook(sim::Op::StartServiceCtrlDispatcherW);
    BOOL result = Dispatch(table);
    RunAfterHook(sim::Op::StartServiceCtrlDispatcherW);
    return result;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(const WCHAR* name, LPHANDLER_FUNCTION handler) {
    Call call(sim::Op::RegisterServiceCtrlHandlerW);
    if (FailLocked(sim::Op::RegisterServiceCtrlHandlerW)) return nullptr;
    Dispatcher& d = M().dispatcher;
    if (!d.running || name == nullptr || handler == nullptr || !EqualNoCase(name, d.service_name)) {
        return nullptr;
    }
    if (d.status_handle == 0) {
        d.status_handle = NextHandleLocked();
        M().status_handles.insert(d.status_handle);
    }
    d.handler = handler;
    LogLocked("RegisterServiceCtrlHandlerW " + sim::U8(name));
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(d.status_handle);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) {
    Call call(sim::Op::SetServiceStatus);
    if (FailLocked(sim::Op::SetServiceStatus)) return FALSE;
    std::uintptr_t id = reinterpret_cast<std::uintptr_t>(handle);
    if (M().status_handles.count(id) == 0 || status == nullptr) return FALSE;
    // Windows refuses a state outside STOPPED .. PAUSED.
    if (status->dwCurrentState < SERVICE_STOPPED || status->dwCurrentState > 7) return FALSE;
    RecordStatusLocked(*status);
    LogLocked("SetServiceStatus " + StatusText(*status));
    Dispatcher& d = M().dispatcher;
    if (d.running && id == d.status_handle && status->dwCurrentState == SERVICE_STOPPED) {
        d.stopped_reported = true;
        Changed().notify_all();
    }
    return TRUE;
}

}  // namespace platform
