// floorsvc.exe: the least a service host can do, as the yardstick of the
// benchmark. It reads the same three Parameters values from its own service
// key, launches the configured application with the same CreateProcessW call
// as qelnhost.exe, reports RUNNING as soon as that call returns, waits for the
// child, and ends it on stop or shutdown (STOP_PENDING, TerminateProcess,
// STOPPED once the wait returns). No priming, no naming from the module path,
// no START_PENDING report (unless asked for), no tones.
//
//   floorsvc.exe SERVICENAME [start-pending]
//
// With "start-pending" it reports START_PENDING before the launch, as the
// host must, so that the benchmark shows what that one report costs.
// The service name comes as the first argument of the registered command line,
// so several copies need no directory naming scheme.
#include <windows.h>

namespace {

wchar_t g_name[128];
bool g_startPending = false;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status = {};
HANDLE volatile g_child = nullptr;

void Report(DWORD state) {
    g_status.dwCurrentState = state;
    SetServiceStatus(g_statusHandle, &g_status);
}

void WINAPI Handler(DWORD control) {
    if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN) return;
    Report(SERVICE_STOP_PENDING);
    HANDLE child = g_child;
    if (child != nullptr) TerminateProcess(child, 0);
}

// Reads a string value into `buffer` (`bytes` of room plus one spare
// character); anything unreadable leaves it empty.
void ReadValue(HKEY key, const wchar_t* name, wchar_t* buffer, DWORD bytes) {
    DWORD type = REG_NONE;
    DWORD size = bytes;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || size > bytes) {
        size = 0;
    }
    buffer[size / sizeof(wchar_t)] = L'\0';
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    wchar_t keyPath[256];
    lstrcpyW(keyPath, L"SYSTEM\\CurrentControlSet\\Services\\");
    lstrcatW(keyPath, g_name);
    lstrcatW(keyPath, L"\\Parameters");

    wchar_t directory[261] = {};
    wchar_t application[261] = {};
    wchar_t parameters[1025] = {};
    HKEY key = nullptr;
    if (RegOpenKeyW(HKEY_LOCAL_MACHINE, keyPath, &key) == ERROR_SUCCESS) {
        ReadValue(key, L"AppDirectory", directory, 520);
        ReadValue(key, L"Application", application, 520);
        ReadValue(key, L"AppParameters", parameters, 2048);
        RegCloseKey(key);
    }

    g_statusHandle = RegisterServiceCtrlHandlerW(g_name, Handler);
    if (g_statusHandle == nullptr) return;
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    g_status.dwCheckPoint = 1;
    g_status.dwWaitHint = 15000;
    if (g_startPending) Report(SERVICE_START_PENDING);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    if (CreateProcessW(application, parameters, nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr,
                       directory, &startup, &child)) {
        g_child = child.hProcess;
        Report(SERVICE_RUNNING);
        WaitForSingleObject(child.hProcess, INFINITE);
    }
    Report(SERVICE_STOPPED);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || MultiByteToWideChar(CP_ACP, 0, argv[1], -1, g_name, 128) == 0) return 1;
    g_startPending = argc > 2 && lstrcmpA(argv[2], "start-pending") == 0;
    SERVICE_TABLE_ENTRYW table[] = {{g_name, ServiceMain}, {nullptr, nullptr}};
    StartServiceCtrlDispatcherW(table);
    return 0;
}
