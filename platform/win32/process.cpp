// Processes, the console, tones and the runtime helpers, forwarded to
// kernel32 and the system runtime library.
#include "platform/win32/internal.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include <cstddef>

namespace platform {

using win32_internal::DwordInOut;
using win32_internal::Native;
using win32_internal::Wide;

// CreateProcessW receives the portable records as they are.
static_assert(sizeof(PROCESS_INFORMATION) == sizeof(::PROCESS_INFORMATION),
              "PROCESS_INFORMATION size");
static_assert(offsetof(PROCESS_INFORMATION, hProcess) == offsetof(::PROCESS_INFORMATION, hProcess),
              "PROCESS_INFORMATION layout");
static_assert(offsetof(PROCESS_INFORMATION, hThread) == offsetof(::PROCESS_INFORMATION, hThread),
              "PROCESS_INFORMATION layout");
static_assert(offsetof(PROCESS_INFORMATION, dwProcessId) ==
                  offsetof(::PROCESS_INFORMATION, dwProcessId),
              "PROCESS_INFORMATION layout");
static_assert(offsetof(PROCESS_INFORMATION, dwThreadId) ==
                  offsetof(::PROCESS_INFORMATION, dwThreadId),
              "PROCESS_INFORMATION layout");

#define QELN_SAME_FIELD(field)                                                      \
    static_assert(offsetof(STARTUPINFOW, field) == offsetof(::STARTUPINFOW, field), \
                  "STARTUPINFOW layout: " #field)
static_assert(sizeof(STARTUPINFOW) == sizeof(::STARTUPINFOW), "STARTUPINFOW size");
static_assert(sizeof(void*) != 4 || sizeof(STARTUPINFOW) == 68,
              "STARTUPINFOW is 68 bytes in 32 bits");
QELN_SAME_FIELD(cb);
QELN_SAME_FIELD(lpReserved);
QELN_SAME_FIELD(lpDesktop);
QELN_SAME_FIELD(lpTitle);
QELN_SAME_FIELD(dwX);
QELN_SAME_FIELD(dwY);
QELN_SAME_FIELD(dwXSize);
QELN_SAME_FIELD(dwYSize);
QELN_SAME_FIELD(dwXCountChars);
QELN_SAME_FIELD(dwYCountChars);
QELN_SAME_FIELD(dwFillAttribute);
QELN_SAME_FIELD(dwFlags);
QELN_SAME_FIELD(wShowWindow);
QELN_SAME_FIELD(cbReserved2);
QELN_SAME_FIELD(lpReserved2);
QELN_SAME_FIELD(hStdInput);
QELN_SAME_FIELD(hStdOutput);
QELN_SAME_FIELD(hStdError);
#undef QELN_SAME_FIELD

DWORD GetModuleFileNameW(void* module, WCHAR* buffer, DWORD capacity) {
    return ::GetModuleFileNameW(static_cast<HMODULE>(module), Wide(buffer), capacity);
}

BOOL CreateProcessW(const WCHAR* application, WCHAR* command_line, void* process_security,
                    void* thread_security, BOOL inherit_handles, DWORD flags, void* environment,
                    const WCHAR* directory, STARTUPINFOW* startup, PROCESS_INFORMATION* info) {
    return ::CreateProcessW(
        Wide(application), Wide(command_line), static_cast<LPSECURITY_ATTRIBUTES>(process_security),
        static_cast<LPSECURITY_ATTRIBUTES>(thread_security), inherit_handles, flags, environment,
        Wide(directory), reinterpret_cast<::STARTUPINFOW*>(startup),
        reinterpret_cast<::PROCESS_INFORMATION*>(info));
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return ::WaitForSingleObject(Native(handle), milliseconds);
}

BOOL TerminateProcess(HANDLE process, DWORD exit_code) {
    return ::TerminateProcess(Native(process), exit_code);
}

DWORD GetLastError() {
    return ::GetLastError();
}

BOOL GetExitCodeProcess(HANDLE process, DWORD* exit_code) {
    DwordInOut native_code(exit_code);
    BOOL ok = ::GetExitCodeProcess(Native(process), native_code.get());
    native_code.Store();
    return ok;
}

BOOL CloseHandle(HANDLE handle) {
    return ::CloseHandle(Native(handle));
}

void Sleep(DWORD milliseconds) {
    ::Sleep(milliseconds);
}

BOOL Beep(DWORD frequency, DWORD duration) {
    return ::Beep(frequency, duration);
}

void ExitProcess(DWORD exit_code) {
    ::ExitProcess(exit_code);
}

int _stricmp(const char* a, const char* b) {
    return ::_stricmp(a, b);
}

void ConsoleWrite(const WCHAR* text) {
    fputws(Wide(text), stdout);
    fflush(stdout);
}

}  // namespace platform
