// Control API of the simulated platform, for tests only.
//
// The simulation models what the host relies on: a registry, a Service
// Control Manager, a process table, the console, tones and pauses on a
// virtual clock, the module path, ExitProcess and the heap. Every observable
// call is appended to one event log, in order, so a test can check the exact
// order of status reports, launches, tones and terminations.
//
// Thread model: the code under test may run on its own thread (the entry
// blocks in the dispatcher just as on Windows); the test thread drives it
// with the calls below. All of them are thread-safe.
#ifndef QELN_PLATFORM_SIM_SIM_H
#define QELN_PLATFORM_SIM_SIM_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace sim {

using platform::DWORD;

// Returns the simulation to a fresh machine: empty registry, no services, no
// processes, no events, clock at 0, module path "C:\qeln\site1\qelnhost.exe",
// no failures armed, not started by the SCM. Joins any thread the simulation
// started: live children are ended and a held thread released, so a
// dispatcher run returns; Reset waits for that (and aborts after 10 s).
// Heap blocks allocated before a reset no longer count as live but may still
// be released.
void Reset();

// UTF-8 <-> UTF-16 for test convenience.
std::u16string U16(const std::string& utf8);
std::string U8(const std::u16string& utf16);

// ---- Event log ----
// One line per observable call, for example:
//   "SetServiceStatus type=16 state=2 accepted=5 exit=0 specific=0 check=1 hint=15000"
//   "RegisterServiceCtrlHandlerW QELN1"
//   "CreateProcessW app=C:\x.exe cmd=x.exe -a inherit=1 flags=8 env=null dir=C:\d cb=104"
//   "TerminateProcess pid=1000 code=0"
//   "Beep 2000 6000"
//   "Sleep 500"
//   "Console Stopping QELN1."
//   "ExitProcess 0"
//   "Dispatcher returned"
//   "Control 1"             (a control about to be delivered to the handler)
//   "Control 1 done"        (the handler has returned)
//   "Control 1 dropped"     (no handler registered, or no dispatcher run)
//   "ChildExited pid=1000 code=3"        (the child ended by itself: ExitChild)
//   "CreateServiceW QELN1"               (" failed" appended when the name is taken)
//   "ControlService QELN1 1 accepted"    (or "... refused")
//   "QueryServiceStatus QELN1 state=3"   (the state the query reported)
//   "DeleteService QELN1"                (" failed" appended on a second delete)
//   "StartServiceW QELN1"
// "CreateProcessW ..." is logged for every attempt, with " failed" appended
// when the launch failed; "TerminateProcess ..." gets " failed" appended when
// the child had already ended (an invalid handle logs nothing). Console text
// is logged with each line break written as the two characters \ and n.
// A call failed by FailNth logs nothing (CreateProcessW excepted); registry
// calls are never logged (RegSnapshot shows their effect).
std::vector<std::string> Events();
// The events whose text starts with `prefix`, in order.
std::vector<std::string> EventsStartingWith(const std::string& prefix);
void ClearEvents();
// Blocks (real time, up to timeout_ms) until an event starting with prefix
// has been logged `count` times in all; false on time-out.
bool WaitForEvent(const std::string& prefix, int count = 1, int timeout_ms = 5000);

// Every status record reported through SetServiceStatus, in order.
std::vector<platform::SERVICE_STATUS> StatusReports();

// Pausing a thread at a chosen point, to order a race deterministically:
// the next thread that logs an event starting with `prefix` stops right after
// logging it (outside the simulation's lock, so every other call goes on)
// until ReleaseHold(). WaitHeld blocks (real time) until a thread is stopped
// there; false on time-out. Reset releases a held thread.
void HoldAfter(const std::string& prefix);
bool WaitHeld(int timeout_ms = 5000);
void ReleaseHold();

// ---- Virtual clock ----
// Sleep and Beep return at once and advance this clock by their duration.
std::uint64_t NowMs();

// ---- Module path, console, exit ----
// Pass an empty string to make GetModuleFileNameW fail (return 0).
// GetModuleFileNameW behaves as on current Windows: a path that does not fit
// comes back as capacity - 1 characters and a terminator, with the capacity
// as the result.
void SetModulePath(const std::u16string& path);
// Everything written through ConsoleWrite, as UTF-8.
std::string ConsoleOutput();
// Exit codes passed to ExitProcess, in order.
std::vector<DWORD> ExitCodes();

// ---- Fault injection ----
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
// Makes the nth call (1-based, counted from now) of op fail; with
// persistent, that call and every later one fail. n = 0 disarms.
void FailNth(Op op, int n, bool persistent = false);
// Registry failures return this code (default ERROR_ACCESS_DENIED).
void SetFailureCode(platform::LONG code);
// Calls of op since the last Reset (counted whether or not they failed).
int CallCount(Op op);
// True when an armed failure of op was not reached yet.
bool FailurePending(Op op);

// One-shot hooks: `fn` runs on the calling thread at the entry of (before
// anything else) or on the return from the next call of op, outside the
// simulation's lock. Lets a test put a control at an exact point of a run.
// Reset() clears them.
void BeforeCall(Op op, void (*fn)(void*), void* context);
void AfterCall(Op op, void (*fn)(void*), void* context);

// ---- Heap ----
// Blocks allocated through HeapAllocate and not yet released.
std::size_t LiveAllocations();

// ---- Registry ----
// Paths are relative to HKEY_LOCAL_MACHINE, backslash-separated; key and
// value names compare case-insensitively, as on Windows.
// The registry calls behave as on Windows where the host can tell: a handle
// carries the access it was opened with (ERROR_ACCESS_DENIED otherwise), a
// too-small buffer gets ERROR_MORE_DATA with the needed size (and is
// scribbled with 0xCD), a handle to a deleted key answers ERROR_KEY_DELETED
// (1018), an invalid or twice-closed handle ERROR_INVALID_HANDLE (6), and
// RegOpenKeyW of an empty path hands back the handle passed in. One Windows
// quirk is left out on purpose: RegSetValueExW stores exactly `size` bytes,
// where Windows appends a terminator to string data that lacks one when the
// character after the data happens to be 0 (reading past the given size).
void RegSetRaw(const std::u16string& path, const std::u16string& name, DWORD type,
               const std::vector<std::uint8_t>& bytes);  // creates keys on the way
void RegSetString(const std::u16string& path, const std::u16string& name,
                  const std::u16string& value);  // REG_SZ, terminator included
void RegSetDword(const std::u16string& path, const std::u16string& name, DWORD value);
bool RegKeyExists(const std::u16string& path);
// Removes a key with everything below it.
void RegDeleteTree(const std::u16string& path);
struct RegValue {
    DWORD type;
    std::vector<std::uint8_t> bytes;
};
bool RegGet(const std::u16string& path, const std::u16string& name, RegValue* out);
// Text dump of a key and everything below it, sorted, one line per key and per
// value: "KEY <path>" / "VAL <path> | <name> | <type> | <hex bytes>".
// Empty when the key does not exist. Paths and names are written as stored
// (UTF-8), the type in decimal, the bytes as lower-case hex pairs separated
// by blanks; each line ends in "\n". A key's values come before its subkeys,
// both sorted by name ignoring case.
std::string RegSnapshot(const std::u16string& path);
// Keys opened or created and not yet closed.
std::size_t OpenKeyCount();

// ---- Service Control Manager ----
struct ServiceRecord {
    std::u16string name;
    std::u16string display_name;
    DWORD access;
    DWORD type;
    DWORD start;
    DWORD error_control;
    std::u16string binary_path;
    bool load_order_group_null;
    bool tag_null;
    bool dependencies_null;
    std::vector<std::u16string> dependencies;  // entries of the double-terminated list
    bool account_null;
    bool password_null;
};
// Registers a service as if installed before (state STOPPED).
void AddService(const ServiceRecord& record);
bool GetService(const std::u16string& name, ServiceRecord* out);
bool ServiceExists(const std::u16string& name);
// The state the simulated SCM answers with for a service installed in the
// simulation (not the host's own ServiceMain run).
void SetServiceState(const std::u16string& name, DWORD state);
// How the service answers a stop control: when accepted, ControlService
// fills the record with STOP_PENDING; the next `pending_queries` queries
// report STOP_PENDING, then every query reports `final_state`.
void SetStopBehaviour(const std::u16string& name, bool accept, int pending_queries,
                      DWORD final_state);
// Service and manager handles opened and not yet closed.
//
// CreateServiceW writes the registration as Windows does, under
// "SYSTEM\CurrentControlSet\Services\<name>": Type, Start, ErrorControl
// (REG_DWORD), ImagePath (REG_EXPAND_SZ), DisplayName and ObjectName
// "LocalSystem" (REG_SZ); AddService writes the same. DeleteService marks the
// service for deletion: it can still be opened, its name stays taken and a
// second DeleteService fails; the service and its key with everything below
// it go when its last handle is closed. ControlService fills the record
// also when it refuses (service not active, stop not accepted).
std::size_t OpenScHandleCount();

// ---- The host's own service run ----
// StartServiceCtrlDispatcherW runs the table's entry on a new thread, then
// serves controls on the calling thread until SERVICE_STOPPED is reported
// (or the service thread returns without it); it then logs "Dispatcher
// returned", joins the service thread and returns TRUE.
// By default the dispatcher fails at once, as when the process was not
// started by the SCM; this makes it behave as under the SCM.
void SetStartedBySCM(bool started);
// Queues a control for the registered handler; the dispatcher thread
// delivers it (logging "Control <code>"). Without a registered handler the
// control is dropped (logged as "Control <code> dropped").
void SendControl(DWORD control);
// True while a dispatcher call is in progress.
bool DispatcherRunning();

// ---- Processes ----
// Executables that CreateProcessW can start; any other application path
// fails to launch. Compared case-insensitively.
void AddExecutable(const std::u16string& path);
struct LaunchRecord {
    bool application_null;
    std::u16string application;
    bool command_line_null;
    std::u16string command_line;
    bool process_security_null;
    bool thread_security_null;
    platform::BOOL inherit_handles;
    DWORD flags;
    bool environment_null;
    bool directory_null;
    std::u16string directory;
    DWORD startup_cb;
    bool startup_rest_zero;  // every field but cb zero
    DWORD pid;               // 0 when the launch failed
};
std::vector<LaunchRecord> Launches();
// Ends a simulated child by itself with the given exit code.
void ExitChild(DWORD pid, DWORD code);
bool ChildAlive(DWORD pid);
// Exit code of an ended child; STILL_ACTIVE while it lives.
DWORD ChildExitCode(DWORD pid);
// Kernel handles (process and thread) handed out and not yet closed.
std::size_t OpenKernelHandleCount();

}  // namespace sim

#endif
