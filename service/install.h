// The -install and -remove commands.
#ifndef QELN_SERVICE_INSTALL_H
#define QELN_SERVICE_INSTALL_H

#include "platform/platform.h"

// Registers this copy as an automatically started service and prints
// "<name> installed.". Returns the process exit code: 0, or 0xFFFFFFFF when
// the creation failed (nothing is printed then).
platform::DWORD InstallService();

// Stops the service (printing progress), deletes it and prints the outcome.
void RemoveService();

#endif
