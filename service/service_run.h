// The service body: launches the configured application and supervises it.
#ifndef QELN_SERVICE_SERVICE_RUN_H
#define QELN_SERVICE_SERVICE_RUN_H

#include "platform/platform.h"

// Process-wide state shared with the control handler (and, for the status
// record, with the remove command).
extern platform::SERVICE_STATUS ServiceStatus;
extern platform::SERVICE_STATUS_HANDLE StatusHandle;
extern platform::PROCESS_INFORMATION ChildProcess;

// Sets up what the service thread and the control handler share; called
// once, before the dispatcher starts.
void PrepareServiceRun();
// The dispatcher's service entry; its arguments are ignored.
void ServiceMain(platform::DWORD argc, platform::WCHAR** argv);
// Stop and shutdown end the child; every other control is ignored.
void ServiceCtrlHandler(platform::DWORD control);
// Reports `state` with the whole status record; 1 on success, 0 otherwise
// (also when no handler is registered).
int ReportServiceState(platform::DWORD state);
// Registers the handler and reports START_PENDING; 1 on success, 0 otherwise.
int BeginServiceStatus();

// Returns the process-wide service state to its start-up values, as in a new
// process. For tests that run several services in one process.
void ResetServiceRun();

#endif
