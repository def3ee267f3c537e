#include "service/service_run.h"

#include <atomic>

#include "platform/owned.h"
#include "service/naming.h"
#include "upsprime/prime.h"

using namespace platform;

SERVICE_STATUS ServiceStatus;
SERVICE_STATUS_HANDLE StatusHandle;
PROCESS_INFORMATION ChildProcess;

namespace {

// Capacities of the three Parameters values, in bytes.
constexpr DWORD kPathValueBytes = 520;
constexpr DWORD kParametersValueBytes = 2048;
// ERROR_FUNCTION_FAILED: the exit code of a launch that failed without an error.
constexpr DWORD kLaunchFailed = 1627;

// A stop or shutdown has been asked for. Set by the control handler, read by
// the service thread before and after the launch, so a request that comes
// before the child exists is not lost.
std::atomic<int> StopRequested{0};
// The child's process handle once the launch has succeeded; the handler ends
// the child through it.
std::atomic<HANDLE> PublishedChild{nullptr};
// The job that ties the child to the host. Its handle is held until the
// process ends, however it ends (returned, killed, crashed): the system then
// closes it and ends the child with it, so no orphan outlives its host and a
// restarted service never finds an earlier child beside its new one.
HANDLE ChildJob;

// Orders the status reports of the two threads: whatever the interleaving,
// STOP_PENDING is never followed by RUNNING, and nothing follows STOPPED.
// Held around one status report, which waits for the SCM, so the other
// thread sleeps on the lock instead of spinning. Set up by PrepareServiceRun
// before the dispatcher starts.
CRITICAL_SECTION ReportLock;

class ReportGuard {
public:
    ReportGuard() { EnterCriticalSection(&ReportLock); }
    ~ReportGuard() { LeaveCriticalSection(&ReportLock); }
    ReportGuard(const ReportGuard&) = delete;
    ReportGuard& operator=(const ReportGuard&) = delete;
    ReportGuard(ReportGuard&&) = delete;
    ReportGuard& operator=(ReportGuard&&) = delete;
};

// What has been reported last: 0 before the first report.
DWORD LastReported() {
    return ServiceStatus.dwCurrentState;
}

// Reports RUNNING unless a stop has been asked for meanwhile.
void ReportRunning() {
    ReportGuard guard;
    if (StopRequested.load() == 0) ReportServiceState(SERVICE_RUNNING);
}

// The final report. A stop asked for before the first report has had no
// STOP_PENDING yet: it gets one first. `failure` is the error of a launch that
// failed, or ERROR_SERVICE_SPECIFIC_ERROR with the child's own non-zero exit
// code as `specific` (0 for a run that ended well): the record carries them,
// so the SCM, its recovery actions and monitoring see a failure, unless a stop
// was asked for, in which case the run ends as asked.
void ReportStopped(DWORD failure, DWORD specific) {
    ReportGuard guard;
    if (LastReported() == SERVICE_STOPPED) return;
    const bool stopping = StopRequested.load() != 0;
    if (stopping && LastReported() != SERVICE_STOP_PENDING) {
        ReportServiceState(SERVICE_STOP_PENDING);
    }
    if (!stopping) {
        ServiceStatus.dwWin32ExitCode = failure;
        ServiceStatus.dwServiceSpecificExitCode = specific;
    }
    ReportServiceState(SERVICE_STOPPED);
}

// A job that ends its processes when its last handle closes, and lets what
// they start break away from it silently (a stop, or the host's end, ends the
// child alone). Null when none can be made: the child then runs without one.
HANDLE MakeChildJob() {
    HandleOwner job(CreateJobObjectW(nullptr, nullptr));
    if (!job) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits))
        return nullptr;
    return job.release();
}

// Puts the child, created suspended, into the job, then lets it run: it never
// runs a single instruction outside the job. Where the job cannot take it (on
// Windows 7 and earlier jobs do not nest, and a host that runs in a job has
// its child in that one) it runs without. False when it cannot be started:
// it is then ended, and the last error says why.
bool StartChild(const PROCESS_INFORMATION& child) {
    if (ChildJob != nullptr) AssignProcessToJobObject(ChildJob, child.hProcess);
    if (ResumeThread(child.hThread) != static_cast<DWORD>(-1)) return true;
    const DWORD error = GetLastError();
    TerminateProcess(child.hProcess, error);
    SetLastError(error);
    return false;
}

// Reads one string value into `buffer` (capacity `bytes`, plus one spare
// character for the terminator). The buffer always ends terminated; a value
// that is missing, too large or not a string leaves it empty.
void ReadStringValue(HKEY key, const WCHAR* name, WCHAR* buffer, DWORD bytes) {
    DWORD type = REG_NONE;
    DWORD size = bytes;
    LONG status =
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ) || size > bytes) {
        buffer[0] = 0;
        return;
    }
    buffer[size / sizeof(WCHAR)] = 0;
}

}  // namespace

void PrepareServiceRun() {
    InitializeCriticalSection(&ReportLock);
}

int ReportServiceState(DWORD state) {
    if (StatusHandle == nullptr) return 0;
    ServiceStatus.dwCurrentState = state;
    return SetServiceStatus(StatusHandle, &ServiceStatus) ? 1 : 0;
}

int BeginServiceStatus() {
    WideOwner name(BuildServiceName());
    if (!name) return 0;
    StatusHandle = RegisterServiceCtrlHandlerW(name.get(), ServiceCtrlHandler);
    if (StatusHandle == nullptr) return 0;

    ReportGuard guard;
    ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    ServiceStatus.dwCurrentState = SERVICE_START_PENDING;
    ServiceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    ServiceStatus.dwWin32ExitCode = 0;
    ServiceStatus.dwServiceSpecificExitCode = 0;
    ServiceStatus.dwCheckPoint = 1;
    ServiceStatus.dwWaitHint = 15000;
    return SetServiceStatus(StatusHandle, &ServiceStatus) ? 1 : 0;
}

void ServiceCtrlHandler(DWORD control) {
    if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN) return;
    {
        ReportGuard guard;
        StopRequested.store(1);
        DWORD last = LastReported();
        // Before the first report there is nothing to follow; after STOPPED
        // the child has already ended and nothing more may be reported.
        if (last == 0 || last == SERVICE_STOPPED) return;
        ReportServiceState(SERVICE_STOP_PENDING);
    }
    HANDLE child = PublishedChild.load();
    if (child != nullptr) TerminateProcess(child, 0);
}

void ServiceMain(DWORD, WCHAR**) {
    WideOwner service_name(BuildServiceName());
    WideOwner key_path(service_name ? WideConcat(u"SYSTEM\\CurrentControlSet\\Services\\",
                                                 service_name.get(), u"\\Parameters")
                                    : nullptr);
    service_name.reset();

    STARTUPINFOW startup = {};
    startup.cb = sizeof(STARTUPINFOW);

    PrimeUpsRegistry();

    // One spare character each, so a value that fills its capacity still ends
    // terminated inside the buffer.
    WCHAR directory[kPathValueBytes / sizeof(WCHAR) + 1] = {};
    WCHAR application[kPathValueBytes / sizeof(WCHAR) + 1] = {};
    WCHAR parameters[kParametersValueBytes / sizeof(WCHAR) + 1] = {};

    KeyOwner key;
    if (key_path && RegOpenKeyW(HKEY_LOCAL_MACHINE, key_path.get(), key.put()) == ERROR_SUCCESS) {
        ReadStringValue(key.get(), u"AppDirectory", directory, kPathValueBytes);
        ReadStringValue(key.get(), u"Application", application, kPathValueBytes);
        ReadStringValue(key.get(), u"AppParameters", parameters, kParametersValueBytes);
        key.reset();
    } else {
        Beep(2000, 6000);
    }

    if (BeginServiceStatus()) {
        if (StopRequested.load() != 0) {
            // Stopped before the child existed: nothing is launched.
            ReportStopped(0, 0);
        } else {
            ChildJob = MakeChildJob();
            PROCESS_INFORMATION launched = {};
            if (CreateProcessW(application, parameters, nullptr, nullptr, TRUE,
                               DETACHED_PROCESS | CREATE_SUSPENDED, nullptr, directory, &startup,
                               &launched) &&
                StartChild(launched)) {
                ChildProcess = launched;
                PublishedChild.store(launched.hProcess);
                // A stop that came during the launch saw no child to end.
                if (StopRequested.load() != 0) TerminateProcess(launched.hProcess, 0);
                ReportRunning();
                WaitForSingleObject(launched.hProcess, INFINITE);
                // A child that ended with a non-zero code has failed; one whose
                // code cannot be read (0) counts as ended well.
                DWORD code = 0;
                GetExitCodeProcess(launched.hProcess, &code);
                ReportStopped(code != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : 0, code);
            } else {
                // Some error, even when the platform names none.
                DWORD error = GetLastError();
                if (error == 0) error = kLaunchFailed;
                // The tone sounds while the service is still START_PENDING
                // (its wait hint covers it): once STOPPED is reported, the
                // process may be ended at any moment.
                if (StopRequested.load() == 0) Beep(1000, 6000);
                ReportStopped(error, 0);
            }
        }
    }

    key_path.reset();
    Sleep(500);
}

void ResetServiceRun() {
    ServiceStatus = SERVICE_STATUS{};
    StatusHandle = nullptr;
    ChildProcess = PROCESS_INFORMATION{};
    StopRequested.store(0);
    PublishedChild.store(nullptr);
    ChildJob = nullptr;
}
