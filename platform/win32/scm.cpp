// The Service Control Manager operations, forwarded to advapi32.
//
// The portable service entry and control handler use the default calling
// convention; Windows calls its callbacks as WINAPI (stdcall in a 32-bit
// build). Each callback therefore goes through a WINAPI trampoline that calls
// the stored portable function. The host runs exactly one service per process,
// so one stored entry and one stored handler suffice.
#include "platform/win32/internal.h"

#include <cstddef>

namespace platform {

using win32_internal::DwordInOut;
using win32_internal::Native;
using win32_internal::Portable;
using win32_internal::Wide;

// The casts below depend on these records having the native layout.
static_assert(sizeof(SERVICE_STATUS) == sizeof(::SERVICE_STATUS), "SERVICE_STATUS size");
static_assert(offsetof(SERVICE_STATUS, dwServiceType) == offsetof(::SERVICE_STATUS, dwServiceType),
              "SERVICE_STATUS layout");
static_assert(offsetof(SERVICE_STATUS, dwCurrentState) ==
                  offsetof(::SERVICE_STATUS, dwCurrentState),
              "SERVICE_STATUS layout");
static_assert(offsetof(SERVICE_STATUS, dwControlsAccepted) ==
                  offsetof(::SERVICE_STATUS, dwControlsAccepted),
              "SERVICE_STATUS layout");
static_assert(offsetof(SERVICE_STATUS, dwWin32ExitCode) ==
                  offsetof(::SERVICE_STATUS, dwWin32ExitCode),
              "SERVICE_STATUS layout");
static_assert(offsetof(SERVICE_STATUS, dwServiceSpecificExitCode) ==
                  offsetof(::SERVICE_STATUS, dwServiceSpecificExitCode),
              "SERVICE_STATUS layout");
static_assert(offsetof(SERVICE_STATUS, dwCheckPoint) == offsetof(::SERVICE_STATUS, dwCheckPoint),
              "SERVICE_STATUS layout");
static_assert(offsetof(SERVICE_STATUS, dwWaitHint) == offsetof(::SERVICE_STATUS, dwWaitHint),
              "SERVICE_STATUS layout");

static_assert(sizeof(SERVICE_TABLE_ENTRYW) == sizeof(::SERVICE_TABLE_ENTRYW),
              "SERVICE_TABLE_ENTRYW size");
static_assert(offsetof(SERVICE_TABLE_ENTRYW, lpServiceName) ==
                  offsetof(::SERVICE_TABLE_ENTRYW, lpServiceName),
              "SERVICE_TABLE_ENTRYW layout");
static_assert(offsetof(SERVICE_TABLE_ENTRYW, lpServiceProc) ==
                  offsetof(::SERVICE_TABLE_ENTRYW, lpServiceProc),
              "SERVICE_TABLE_ENTRYW layout");

namespace {

::SERVICE_STATUS* NativeStatus(SERVICE_STATUS* status) {
    return reinterpret_cast<::SERVICE_STATUS*>(status);
}

// Set before the dispatcher starts; read on the service thread it creates.
LPSERVICE_MAIN_FUNCTIONW g_service_main = nullptr;
// Set before the native registration; the dispatcher reads its own copy of
// the trampoline under its lock, which orders this store before any call.
LPHANDLER_FUNCTION g_control_handler = nullptr;

void WINAPI ServiceMainTrampoline(::DWORD argc, LPWSTR* argv) {
    g_service_main(static_cast<DWORD>(argc), reinterpret_cast<WCHAR**>(argv));
}

void WINAPI ControlHandlerTrampoline(::DWORD control) {
    LPHANDLER_FUNCTION handler = g_control_handler;
    if (handler) handler(static_cast<DWORD>(control));
}

}  // namespace

SC_HANDLE OpenSCManagerW(const WCHAR* machine, const WCHAR* database, DWORD access) {
    return Portable(::OpenSCManagerW(Wide(machine), Wide(database), access));
}

SC_HANDLE CreateServiceW(SC_HANDLE manager, const WCHAR* name, const WCHAR* display, DWORD access,
                         DWORD type, DWORD start, DWORD error_control, const WCHAR* binary_path,
                         const WCHAR* load_order_group, DWORD* tag, const WCHAR* dependencies,
                         const WCHAR* account, const WCHAR* password) {
    DwordInOut native_tag(tag);
    ::SC_HANDLE service =
        ::CreateServiceW(Native(manager), Wide(name), Wide(display), access, type, start,
                         error_control, Wide(binary_path), Wide(load_order_group), native_tag.get(),
                         Wide(dependencies), Wide(account), Wide(password));
    native_tag.Store();
    return Portable(service);
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, const WCHAR* name, DWORD access) {
    return Portable(::OpenServiceW(Native(manager), Wide(name), access));
}

BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
    return ::ControlService(Native(service), control, NativeStatus(status));
}

BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
    return ::QueryServiceStatus(Native(service), NativeStatus(status));
}

BOOL DeleteService(SC_HANDLE service) {
    return ::DeleteService(Native(service));
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
    return ::CloseServiceHandle(Native(handle));
}

// Accepts a table of exactly one service row and the terminating row of
// nulls; any other table fails with ERROR_INVALID_PARAMETER.
BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table) {
    if (!table || !table[0].lpServiceName || !table[0].lpServiceProc || table[1].lpServiceName ||
        table[1].lpServiceProc) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    g_service_main = table[0].lpServiceProc;
    ::SERVICE_TABLE_ENTRYW native[2] = {
        {Wide(table[0].lpServiceName), ServiceMainTrampoline},
        {nullptr, nullptr},
    };
    return ::StartServiceCtrlDispatcherW(native);
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(const WCHAR* name, LPHANDLER_FUNCTION handler) {
    g_control_handler = handler;
    return Portable(
        ::RegisterServiceCtrlHandlerW(Wide(name), handler ? ControlHandlerTrampoline : nullptr));
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) {
    return ::SetServiceStatus(Native(handle), NativeStatus(status));
}

}  // namespace platform
