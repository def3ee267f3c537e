// The -install and -remove commands.
#ifndef QELN_SERVICE_INSTALL_H
#define QELN_SERVICE_INSTALL_H

#include "platform/platform.h"

// Registers this copy as an automatically started service and prints
// "<name> installed.". Returns the process exit code: 0; 0xFFFFFFFF when the
// creation failed (a service of the name already there prints nothing, any
// other reason a line on standard error); or, when an earlier step failed,
// that step's error, named on standard error.
platform::DWORD InstallService();

// Stops the service (printing progress), deletes it and prints the outcome.
// Returns the process exit code: 0 when the service is gone or was never
// there; otherwise the error of the step that failed, named on standard
// error.
platform::DWORD RemoveService();

#endif
