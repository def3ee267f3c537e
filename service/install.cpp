#include "service/install.h"

#include "platform/owned.h"
#include "service/naming.h"
#include "service/service_run.h"

using namespace platform;

namespace {

void Print(const WCHAR* a, const WCHAR* b = nullptr, const WCHAR* c = nullptr) {
    ConsoleWrite(a);
    if (b != nullptr) ConsoleWrite(b);
    if (c != nullptr) ConsoleWrite(c);
}

// An empty dependency list: the empty string followed by the list's own
// terminator.
const WCHAR kNoDependencies[2] = {0, 0};

}  // namespace

DWORD InstallService() {
    WideOwner path(GetModulePath());
    if (!path) return 0;
    // Quoted, so that a path with a blank in it ("C:\Program Files\...") can
    // only ever start this program.
    WideOwner image_path(WideConcat(u"\"", path.get(), u"\""));
    if (!image_path) return 0;

    WideOwner name(BuildServiceName());
    WideOwner display_name(BuildDisplayName());
    if (!name || !display_name) return 0;

    ScOwner manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return 0;

    ScOwner service(CreateServiceW(manager.get(), name.get(), display_name.get(),
                                   SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                   SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, image_path.get(),
                                   nullptr, nullptr, kNoDependencies, nullptr, nullptr));
    if (!service) return 0xFFFFFFFF;  // also when the name is taken; nothing is printed

    Print(name.get(), u" installed.\n");
    service.reset();
    manager.reset();
    return 0;
}

void RemoveService() {
    ScOwner manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    WideOwner name(BuildServiceName());
    if (!manager || !name) return;

    ScOwner service(OpenServiceW(manager.get(), name.get(), SERVICE_ALL_ACCESS));
    if (!service) return;

    if (ControlService(service.get(), SERVICE_CONTROL_STOP, &ServiceStatus)) {
        Print(u"Stopping ", name.get(), u".");
        Sleep(1000);
        while (QueryServiceStatus(service.get(), &ServiceStatus) &&
               ServiceStatus.dwCurrentState == SERVICE_STOP_PENDING) {
            Print(u".");
            Sleep(1000);
        }
        if (ServiceStatus.dwCurrentState == SERVICE_STOPPED) {
            Print(u"\n", name.get(), u" stopped.\n");
        } else {
            Print(u"\n", name.get(), u" failed to stop.\n");
        }
    }

    if (DeleteService(service.get())) Print(name.get(), u" removed.\n");

    service.reset();
    manager.reset();
}
