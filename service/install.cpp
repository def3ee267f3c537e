#include "service/install.h"

#include "platform/owned.h"
#include "service/exposure.h"
#include "service/naming.h"
#include "service/service_run.h"

using namespace platform;

namespace {

// Writes the parts that are there, in order.
template <std::size_t N>
void Write(DWORD std_handle, const WCHAR* const (&parts)[N]) {
    for (const WCHAR* part : parts) {
        if (part != nullptr) ConsoleWrite(std_handle, part);
    }
}

void Print(const WCHAR* a, const WCHAR* b = nullptr, const WCHAR* c = nullptr) {
    Write(STD_OUTPUT_HANDLE, {a, b, c});
}

// Says on standard error which step of `command` failed, with the error the
// failed call left, and returns that error: the command's exit code, so a
// script sees the failure (never 0).
DWORD Fail(const WCHAR* command, const WCHAR* step, const WCHAR* name = nullptr) {
    DWORD error = GetLastError();
    if (error == 0) error = 0xFFFFFFFF;
    WCHAR digits[11];
    const WCHAR* const hint = error == static_cast<DWORD>(ERROR_ACCESS_DENIED)
                                  ? u" (access denied: run it from an elevated command prompt).\n"
                                  : u".\n";
    Write(STD_ERROR_HANDLE,
          {command, u" failed while ", step, name, u": error ", WideDecimal(error, digits), hint});
    return error;
}

// An empty dependency list: the empty string followed by the list's own
// terminator.
const WCHAR kNoDependencies[2] = {0, 0};

}  // namespace

DWORD InstallService() {
    WideOwner path(GetModulePath());
    if (!path) return Fail(u"Install", u"reading the program's path");
    // Quoted, so that a path with a blank in it ("C:\Program Files\...") can
    // only ever start this program.
    WideOwner image_path(WideConcat(u"\"", path.get(), u"\""));
    if (!image_path) return Fail(u"Install", u"quoting the program's path");

    WideOwner name(BuildServiceName());
    WideOwner display_name(name ? BuildDisplayName() : nullptr);
    if (!name || !display_name) return Fail(u"Install", u"building the service's names");

    ScOwner manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return Fail(u"Install", u"opening the service manager");

    ScOwner service(CreateServiceW(manager.get(), name.get(), display_name.get(),
                                   SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                   SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, image_path.get(),
                                   nullptr, nullptr, kNoDependencies, nullptr, nullptr));
    if (!service) {
        // Exit code -1 whatever the reason; a service of that name that is
        // already there is said by that code alone, as it always was.
        if (GetLastError() != static_cast<DWORD>(ERROR_SERVICE_EXISTS))
            Fail(u"Install", u"creating the service ", name.get());
        return 0xFFFFFFFF;
    }

    // It runs as LocalSystem: say who else could replace it. The install
    // goes on as it would: what it prints and its exit code stay.
    WarnWhoCouldReplace(path.get());
    Print(name.get(), u" installed.\n");
    service.reset();
    manager.reset();
    return 0;
}

DWORD RemoveService() {
    ScOwner manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return Fail(u"Remove", u"opening the service manager");
    WideOwner name(BuildServiceName());
    if (!name) return Fail(u"Remove", u"building the service's name");

    ScOwner service(OpenServiceW(manager.get(), name.get(), SERVICE_ALL_ACCESS));
    // No such service: what was asked for already holds.
    if (!service && GetLastError() == static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST)) return 0;
    if (!service) return Fail(u"Remove", u"opening the service ", name.get());

    // A refused stop (the service is not running) says nothing. A stop that
    // makes no progress (no new check point for longer than the service's own
    // wait hint) is given up, as a service control program may: a child that
    // cannot end (I/O pending in a driver) would hold the command for good.
    if (ControlService(service.get(), SERVICE_CONTROL_STOP, &ServiceStatus)) {
        Print(u"Stopping ", name.get(), u".");
        DWORD check_point = ServiceStatus.dwCheckPoint, waited = 1000;
        Sleep(1000);
        while (QueryServiceStatus(service.get(), &ServiceStatus) &&
               ServiceStatus.dwCurrentState == SERVICE_STOP_PENDING) {
            if (ServiceStatus.dwCheckPoint != check_point) {
                check_point = ServiceStatus.dwCheckPoint;
                waited = 0;
            } else if (waited > ServiceStatus.dwWaitHint) {
                break;
            }
            Print(u".");
            Sleep(1000);
            waited += 1000;
        }
        if (ServiceStatus.dwCurrentState == SERVICE_STOPPED) {
            Print(u"\n", name.get(), u" stopped.\n");
        } else {
            Print(u"\n", name.get(), u" failed to stop.\n");
        }
    }

    if (!DeleteService(service.get())) return Fail(u"Remove", u"deleting the service ", name.get());
    Print(name.get(), u" removed.\n");

    service.reset();
    manager.reset();
    return 0;
}
