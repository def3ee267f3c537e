// The operating-system surface of the service host.
//
// Everything the host needs from Windows, and nothing more, is declared here,
// under the Win32 names, with portable types: the registry, the Service
// Control Manager, processes, the console, tones, pauses, a lock and the
// heap. Two implementations exist: platform/win32 forwards to the real API,
// platform/sim is an in-memory model driven by tests (see platform/sim/sim.h).
//
// Text is UTF-16 (char16_t) on both builds, so sizes in bytes agree.
#ifndef QELN_PLATFORM_PLATFORM_H
#define QELN_PLATFORM_PLATFORM_H

#include <cstddef>
#include <cstdint>

namespace platform {

typedef std::uint32_t DWORD;
typedef std::int32_t LONG;
typedef int BOOL;
typedef std::uint16_t WORD;
typedef std::uint8_t BYTE;
typedef char16_t WCHAR;

// Opaque handles. Their values mean nothing outside the implementation.
struct KeyObject;
struct ScObject;
struct StatusObject;
struct KernelObject;
typedef KeyObject* HKEY;
typedef ScObject* SC_HANDLE;
typedef StatusObject* SERVICE_STATUS_HANDLE;
typedef KernelObject* HANDLE;

// The only registry root the host uses.
extern HKEY const HKEY_LOCAL_MACHINE;

// Results.
constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr LONG ERROR_BAD_PATHNAME = 161;
constexpr LONG ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr LONG ERROR_SERVICE_EXISTS = 1073;
constexpr LONG ERROR_SERVICE_SPECIFIC_ERROR = 1066;
constexpr BOOL TRUE = 1;

// Registry value types and access masks.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD KEY_QUERY_VALUE = 0x0001;
constexpr DWORD KEY_SET_VALUE = 0x0002;
constexpr DWORD KEY_ALL_ACCESS = 0xF003F;
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Service constants.
constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr DWORD SERVICE_AUTO_START = 2;
constexpr DWORD SERVICE_ERROR_NORMAL = 1;
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_ACCEPT_STOP = 1;
constexpr DWORD SERVICE_ACCEPT_SHUTDOWN = 4;
constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;
constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;

// Process and job constants.
constexpr DWORD CREATE_SUSPENDED = 0x4;
constexpr DWORD DETACHED_PROCESS = 0x8;
constexpr DWORD JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK = 0x1000;
constexpr DWORD JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE = 0x2000;
constexpr DWORD JobObjectExtendedLimitInformation = 9;
constexpr DWORD INFINITE = 0xFFFFFFFF;

// The longest path the platform accepts, in characters.
constexpr DWORD MAX_PATH = 260;
constexpr DWORD MAX_LONG_PATH = 32767;

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};

typedef void (*LPSERVICE_MAIN_FUNCTIONW)(DWORD argc, WCHAR** argv);
typedef void (*LPHANDLER_FUNCTION)(DWORD control);

struct SERVICE_TABLE_ENTRYW {
    WCHAR* lpServiceName;
    LPSERVICE_MAIN_FUNCTIONW lpServiceProc;
};

struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};

// Mirrors the platform's record field for field, so sizeof gives the native
// record's size (68 bytes in a 32-bit build).
struct STARTUPINFOW {
    DWORD cb;
    WCHAR* lpReserved;
    WCHAR* lpDesktop;
    WCHAR* lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    BYTE* lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
};

// Mirror the platform's records field for field (checked in platform/win32).
struct JOBOBJECT_BASIC_LIMIT_INFORMATION {
    std::int64_t PerProcessUserTimeLimit;
    std::int64_t PerJobUserTimeLimit;
    DWORD LimitFlags;
    std::size_t MinimumWorkingSetSize;
    std::size_t MaximumWorkingSetSize;
    DWORD ActiveProcessLimit;
    std::uintptr_t Affinity;
    DWORD PriorityClass;
    DWORD SchedulingClass;
};
struct IO_COUNTERS {
    std::uint64_t ReadOperationCount, WriteOperationCount, OtherOperationCount;
    std::uint64_t ReadTransferCount, WriteTransferCount, OtherTransferCount;
};
struct JOBOBJECT_EXTENDED_LIMIT_INFORMATION {
    JOBOBJECT_BASIC_LIMIT_INFORMATION BasicLimitInformation;
    IO_COUNTERS IoInfo;
    std::size_t ProcessMemoryLimit;
    std::size_t JobMemoryLimit;
    std::size_t PeakProcessMemoryUsed;
    std::size_t PeakJobMemoryUsed;
};

// ---- Registry (advapi32). Each returns ERROR_SUCCESS or an error code. ----
LONG RegOpenKeyExW(HKEY root, const WCHAR* path, DWORD options, DWORD access, HKEY* out);
LONG RegOpenKeyW(HKEY root, const WCHAR* path, HKEY* out);
LONG RegCreateKeyExW(HKEY root, const WCHAR* path, DWORD reserved, WCHAR* klass, DWORD options,
                     DWORD access, void* security, HKEY* out, DWORD* disposition);
LONG RegQueryValueExW(HKEY key, const WCHAR* name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* size);
LONG RegSetValueExW(HKEY key, const WCHAR* name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size);
LONG RegDeleteValueW(HKEY key, const WCHAR* name);
LONG RegCloseKey(HKEY key);

// ---- Service Control Manager (advapi32). Null handle / zero on failure. ----
SC_HANDLE OpenSCManagerW(const WCHAR* machine, const WCHAR* database, DWORD access);
SC_HANDLE CreateServiceW(SC_HANDLE manager, const WCHAR* name, const WCHAR* display, DWORD access,
                         DWORD type, DWORD start, DWORD error_control, const WCHAR* binary_path,
                         const WCHAR* load_order_group, DWORD* tag, const WCHAR* dependencies,
                         const WCHAR* account, const WCHAR* password);
SC_HANDLE OpenServiceW(SC_HANDLE manager, const WCHAR* name, DWORD access);
BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status);
BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status);
BOOL DeleteService(SC_HANDLE service);
BOOL CloseServiceHandle(SC_HANDLE handle);
BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(const WCHAR* name, LPHANDLER_FUNCTION handler);
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status);

// ---- File security (advapi32). ----
constexpr DWORD SE_FILE_OBJECT = 1;
constexpr DWORD DACL_SECURITY_INFORMATION = 4;
// The header of an access control list; its entries follow it in the same
// block, AclSize bytes in all, in the platform's documented layout.
struct ACL {
    BYTE AclRevision;
    BYTE Sbz1;
    WORD AclSize;
    WORD AceCount;
    WORD Sbz2;
};
// Who may do what to the file or directory `name`: ERROR_SUCCESS, or the
// error. *dacl points into *descriptor, which the caller frees with
// LocalFree; a null *dacl means that no permissions are kept there (a FAT
// volume, a null DACL): everyone may do everything.
DWORD GetNamedSecurityInfoW(const WCHAR* name, DWORD object_type, DWORD info, void** owner,
                            void** group, ACL** dacl, ACL** sacl, void** descriptor);
void* LocalFree(void* memory);

// ---- Locks (kernel32): a critical section, present on every Windows. ----
// A waiting thread sleeps instead of spinning. Initialised once before any
// thread can enter it; never deleted (the process ends with it).
struct CRITICAL_SECTION {  // the native record, field for field
    void* DebugInfo;
    LONG LockCount;
    LONG RecursionCount;
    HANDLE OwningThread;
    HANDLE LockSemaphore;
    std::uintptr_t SpinCount;
};
void InitializeCriticalSection(CRITICAL_SECTION* section);
void EnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);

// ---- Processes, console, tones. ----
// Writes at most `capacity` characters; returns the count written without
// the terminator, `capacity` when the path was cut, 0 on failure.
DWORD GetModuleFileNameW(void* module, WCHAR* buffer, DWORD capacity);
BOOL CreateProcessW(const WCHAR* application, WCHAR* command_line, void* process_security,
                    void* thread_security, BOOL inherit_handles, DWORD flags, void* environment,
                    const WCHAR* directory, STARTUPINFOW* startup, PROCESS_INFORMATION* info);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL TerminateProcess(HANDLE process, DWORD exit_code);
// The code an ended process exited with; zero when it cannot be read.
BOOL GetExitCodeProcess(HANDLE process, DWORD* exit_code);
// Starts a thread created suspended; (DWORD)-1 on failure.
DWORD ResumeThread(HANDLE thread);
// Jobs: a job made with no security attributes is not inherited.
HANDLE CreateJobObjectW(void* security, const WCHAR* name);
BOOL SetInformationJobObject(HANDLE job, DWORD info_class, void* info, DWORD length);
BOOL AssignProcessToJobObject(HANDLE job, HANDLE process);
BOOL CloseHandle(HANDLE handle);
// The long form of a path that may hold 8.3 names; like GetModuleFileNameW
// it returns the count written, but the size needed (terminator included)
// when `capacity` is too small, and 0 on failure.
DWORD GetLongPathNameW(const WCHAR* path, WCHAR* buffer, DWORD capacity);
// The calling thread's last error: after a failed call, its reason (2 for a
// launch of a missing application; ERROR_NOT_ENOUGH_MEMORY after a failed
// HeapAllocate).
DWORD GetLastError();
void SetLastError(DWORD error);
void Sleep(DWORD milliseconds);
BOOL Beep(DWORD frequency, DWORD duration);
// The character before `current`, never before the start: a base character
// and the nonspacing marks after it are one character, as Windows documents
// for CharPrevW (portable, platform/text.cpp).
WCHAR* CharPrevW(const WCHAR* start, const WCHAR* current);
// Ends the process. The simulation records the code and returns.
void ExitProcess(DWORD exit_code);
// Case-insensitive comparison of 8-bit text; folds only A-Z.
int _stricmp(const char* a, const char* b);

// Writes wide text to standard output or standard error at once: to a
// console as it is, to a file or a pipe in the console's output code page
// (the OEM code page when there is no console), a character that page lacks
// becoming its default character.
constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);
void ConsoleWrite(DWORD std_handle, const WCHAR* text);

// ---- The host's heap. Every allocation of the host goes through here. ----
// Returns null on failure (the simulation can fail any one allocation).
void* HeapAllocate(std::size_t bytes);
void HeapRelease(void* block);  // accepts null

}  // namespace platform

#endif
