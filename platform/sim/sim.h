// Control API of the simulated platform, for tests only.
//
// The simulation is a thin table over the platform calls: each call is
// counted, can be made to fail at its Nth use, and (outside the registry and
// the heap) appends one line to an event log. It keeps only the state the
// host needs to run: an in-memory registry, the names of installed services
// with a scripted answer to a stop, the host's own dispatcher run, children
// that live until ended, the console and the heap's live blocks.
//
// Thread model: the code under test may run on its own thread (the entry
// blocks in the dispatcher as on Windows); every function here is
// thread-safe.
#ifndef QELN_PLATFORM_SIM_SIM_H
#define QELN_PLATFORM_SIM_SIM_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace sim {

using platform::DWORD;

// A fresh machine: empty registry, no services, no children, no events, no
// failures armed, not started by the SCM, module path
// "C:\qeln\site1\qelnhost.exe". Live children are ended first, so that a
// dispatcher run in progress returns; Reset waits for it (aborts after 10 s).
void Reset();

// UTF-16 to UTF-8, for messages and comparisons.
std::string U8(const std::u16string& text);

// ---- Event log, one line per call, for example ----
//   "SetServiceStatus type=16 state=2 accepted=5 exit=0 specific=0 check=1 hint=15000"
//   "RegisterServiceCtrlHandlerW QELN1"
//   "CreateProcessW app=C:\x.exe cmd=x -a psec=null tsec=null inherit=1 flags=8 env=null
//    dir=C:\d cb=104 rest=0"  (" failed" appended when the launch failed)
//   "TerminateProcess pid=1000 code=0"  (" failed" when the child had ended)
//   "ChildExited pid=1000 code=3"       (ExitChild)
//   "Beep 2000 6000", "Sleep 500", "ExitProcess 0"
//   "Console Stopping QELN1."           (a line break shows as the two characters \n)
//   "Control 1", "Control 1 done"       (delivered to the handler, handler returned)
//   "Dispatcher returned"
//   "CreateServiceW QELN1 display=.. access=.. type=.. start=.. error=.. path=.. group=null
//    tag=null deps=[] account=null password=null"  (" failed" when the name is taken)
//   "ControlService QELN1 1 accepted" (or "refused"), "QueryServiceStatus QELN1 state=3",
//   "DeleteService QELN1"
// A call failed by FailNth logs nothing (CreateProcessW excepted).
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
    GetModuleFileNameW,
    CreateProcessW,
    Count
};
// Makes the nth call of op from now (1-based) fail; with persistent, every
// later call too. n = 0 disarms; Op::Count arms nothing. Registry calls fail with
// ERROR_ACCESS_DENIED.
void FailNth(Op op, int n, bool persistent = false);
int CallCount(Op op);        // calls since Reset, failed or not
bool FailurePending(Op op);  // an armed failure not reached yet
// One-shot hooks run on the calling thread, without the simulation's lock, at
// the entry of or on the return from the next call of op.
void BeforeCall(Op op, void (*fn)(void*), void* context);
void AfterCall(Op op, void (*fn)(void*), void* context);

// ---- Leaks ----
std::size_t LiveAllocations();  // heap blocks allocated since Reset, not released
std::size_t OpenHandles();      // key and SCM handles not closed

// ---- Module path and console ----
void SetModulePath(const std::u16string& path);  // "" makes GetModuleFileNameW fail
std::string ConsoleOutput();                     // everything written, as UTF-8

// ---- Registry ----
// Paths relative to HKEY_LOCAL_MACHINE; key and value names compare ignoring
// case. A handle carries its access (ERROR_ACCESS_DENIED otherwise); a too
// small buffer gets ERROR_MORE_DATA with the needed size and is scribbled
// over; RegSetValueExW stores exactly the bytes given.
void RegSetRaw(const std::u16string& path, const std::u16string& name, DWORD type,
               const std::vector<std::uint8_t>& bytes);  // creates the keys on the way
// Every key at or below `path` and every value, one line each, in a fixed
// order: "KEY <path>" / "VAL <path> | <name> | <type> | <hex bytes>". Empty
// when the key does not exist.
std::string RegSnapshot(const std::u16string& path);

// ---- Service Control Manager ----
// CreateServiceW needs a manager handle with SC_MANAGER_CREATE_SERVICE,
// OpenServiceW one with SC_MANAGER_CONNECT; ControlService (stop) needs
// SERVICE_STOP, QueryServiceStatus SERVICE_QUERY_STATUS, DeleteService
// DELETE. An installed service is stopped: a stop is refused with the record
// filled. DeleteService removes it at once.
bool ServiceExists(const std::u16string& name);
// Makes an installed service running: a stop is accepted (STOP_PENDING), the
// next `pending_queries` queries answer STOP_PENDING, then `final_state`.
void SetRunning(const std::u16string& name, int pending_queries, DWORD final_state);

// ---- The host's own run ----
// StartServiceCtrlDispatcherW fails at once unless this was set; then it runs
// the table's entry on a new thread and delivers controls on the calling
// thread until STOPPED is reported or the entry returns, logs "Dispatcher
// returned", joins the entry and returns TRUE.
void SetStartedBySCM(bool started);
// Queues a control for the registered handler (dropped without a dispatcher run).
void SendControl(DWORD control);

// ---- Processes ----
// CreateProcessW starts only these applications (compared ignoring case).
void AddExecutable(const std::u16string& path);
std::vector<DWORD> Children();  // pids of every child launched, in order
void ExitChild(DWORD pid, DWORD code);
bool ChildAlive(DWORD pid);

}  // namespace sim

#endif
