// Process entry: install, remove, or serve.
#ifndef QELN_SERVICE_ENTRY_H
#define QELN_SERVICE_ENTRY_H

#include "platform/platform.h"

// Runs one of the three jobs for the narrow argument vector (argv[0] is the
// program) and returns the exit code the process ends with.
platform::DWORD ProcessEntry(int argc, char** argv);

#endif
