#include "service/entry.h"

#include "platform/owned.h"
#include "service/install.h"
#include "service/naming.h"
#include "service/service_run.h"

using namespace platform;

DWORD ProcessEntry(int argc, char** argv) {
    // Only the first argument counts. "-x" and "/x" are switches; a switch
    // never starts the dispatcher, whether or not it names a command. The
    // commands build the names themselves and say why when they cannot.
    if (argc > 1 && argv[1] != nullptr && (argv[1][0] == '-' || argv[1][0] == '/')) {
        const char* word = argv[1] + 1;
        if (_stricmp(word, "install") == 0) return InstallService();
        if (_stricmp(word, "remove") == 0) return RemoveService();
        return 0;
    }

    WideOwner name(BuildServiceName());
    if (!name) return 0;
    const SERVICE_TABLE_ENTRYW table[2] = {{name.get(), ServiceMain}, {nullptr, nullptr}};
    PrepareServiceRun();
    // Returns once the service has reported STOPPED, or at once when the
    // process was not started by the SCM.
    StartServiceCtrlDispatcherW(table);
    return 0;
}
