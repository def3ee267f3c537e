// Control API of the simulated platform, for tests only.
//
// A thin table over the platform calls: each call is counted, can be made to
// fail at its Nth use, and (outside the registry and the heap) appends one
// line to an event log. It keeps only what the host needs to run: a registry,
// the names of installed services with a scripted answer to a stop, the
// host's own dispatcher run, children that live until ended, and the heap's
// live blocks. Every function here is thread-safe: the code under test may
// run on threads of its own (the entry blocks in the dispatcher as on Windows).
#ifndef QELN_PLATFORM_SIM_SIM_H
#define QELN_PLATFORM_SIM_SIM_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace sim {

using platform::DWORD;

// A fresh machine: empty registry, no services, no children, no events, no
// failures or hooks armed, not started by the SCM, module path
// "C:\qeln\site1\qelnhost.exe". Live children end first, so that a dispatcher
// run in progress returns; Reset waits for it (aborts after 10 s).
void Reset();

// UTF-16 to UTF-8, for messages and comparisons.
std::string U8(const std::u16string& text);

// ---- Event log, one line per call, for example ----
//   "SetServiceStatus type=16 state=2 accepted=5 exit=0 specific=0 check=1 hint=15000"
//   "Control 1", "Control 1 done"  (SendControl: the handler called, returned)
//   "Dispatcher returned"
//   "CreateProcessW app=C:\x.exe cmd=x -a dir=C:\d inherit=1 flags=8 cb=104 rest=0"
//       (rest=0: every other STARTUPINFOW field is zero; " failed" appended when
//       the application is not one of AddExecutable's)
//   "TerminateProcess code=0" (" failed" when the child had ended), "ChildExited code=3"
//   "Beep 2000 6000", "Sleep 500", "ExitProcess 0", "Console <text as written>"
std::vector<std::string> Events();
// Blocks (real time, up to 5 s) until `count` events starting with `prefix`
// have been logged; false on time-out.
bool WaitForEvent(const std::string& prefix, int count = 1);

// ---- Failures and hooks ----
enum class Op {
    HeapAllocate,
    RegOpenKeyExW,
    RegOpenKeyW,
    RegCreateKeyExW,
    RegQueryValueExW,
    RegSetValueExW,
    RegDeleteValueW,
    OpenSCManagerW,
    CreateServiceW,
    OpenServiceW,
    ControlService,
    QueryServiceStatus,
    DeleteService,
    StartServiceCtrlDispatcherW,
    RegisterServiceCtrlHandlerW,
    SetServiceStatus,
    CreateProcessW,
    Count
};
// Makes the nth call of op from now (1-based) fail; with persistent, every
// later call too. n = 0 disarms; Op::Count arms nothing. A failed call logs
// nothing (CreateProcessW excepted); registry calls fail with ERROR_ACCESS_DENIED.
void FailNth(Op op, int n, bool persistent = false);
int CallCount(Op op);        // calls since Reset, failed or not
bool FailurePending(Op op);  // an armed failure not reached yet
// A one-shot hook, run on the calling thread without the simulation's lock at
// the entry of (after: on the return from) the next call of op. Only the
// points of the start have hooks: after RegisterServiceCtrlHandlerW, before
// and after CreateProcessW.
void OnCall(Op op, bool after, void (*fn)(void*), void* context);

// ---- Leaks ----
std::size_t LiveAllocations();  // heap blocks allocated since Reset, not released
std::size_t OpenHandles();      // key and SCM handles not closed

// "" makes GetModuleFileNameW fail.
void SetModulePath(const std::u16string& path);

// ---- Registry ----
// Below HKEY_LOCAL_MACHINE only; key and value names compare ignoring ASCII
// case. Access masks are not checked (Wine's registry does, end to end); a too
// small buffer gets ERROR_MORE_DATA with the needed size and is scribbled
// over. RegSetValueExW stores the bytes given, and, as Windows does, one
// WCHAR more for string data whose last WCHAR is not 0 but whose next one
// (read just past the given size) is.
void RegSetRaw(const std::u16string& path, const std::u16string& name, DWORD type,
               const std::vector<std::uint8_t>& bytes);  // creates the keys on the way
// Every key at or below `path` and every value, one line each, in a fixed
// order: "KEY <path>" / "VAL <path> | <name> | <type> | <hex bytes>". Empty
// when the key does not exist.
std::string RegSnapshot(const std::u16string& path);

// ---- Service Control Manager ----
// Installed services by name, without access checks (Wine's SCM makes them
// in the end-to-end tests). An installed service is stopped: a stop is
// refused. DeleteService removes it at once.
bool ServiceExists(const std::u16string& name);
// Makes an installed service running: a stop is accepted (STOP_PENDING), the
// next `pending_queries` queries answer STOP_PENDING, then `final_state`.
void SetRunning(const std::u16string& name, int pending_queries, DWORD final_state);
// StartServiceCtrlDispatcherW fails at once unless this was called; then it
// runs the table's entry on the calling thread, logs "Dispatcher returned"
// when the entry returns, and returns TRUE.
void SetStartedBySCM();
// Runs the registered handler with `control` on the calling thread, as the
// dispatcher's thread would; nothing outside a dispatcher run.
void SendControl(DWORD control);

// ---- Processes ----
// CreateProcessW starts only these; another fails with ERROR_FILE_NOT_FOUND.
void AddExecutable(const std::u16string& path);
// The error of a CreateProcessW made to fail by FailNth (ERROR_ACCESS_DENIED).
void SetLaunchError(DWORD error);
void ExitChildren(DWORD code);  // every live child ends by itself
int LiveChildren();

}  // namespace sim

#endif
