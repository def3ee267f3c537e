// Processes, the console, tones and the runtime helpers, forwarded to
// kernel32 and the system runtime library.
#include "platform/win32/internal.h"

#include "platform/owned.h"

#include <string.h>
#include <cstddef>

namespace platform {

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

// SetInformationJobObject receives the portable record as it is.
static_assert(sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION) ==
                  sizeof(::JOBOBJECT_EXTENDED_LIMIT_INFORMATION),
              "JOBOBJECT_EXTENDED_LIMIT_INFORMATION size");
static_assert(offsetof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION, BasicLimitInformation.LimitFlags) ==
                  offsetof(::JOBOBJECT_EXTENDED_LIMIT_INFORMATION,
                           BasicLimitInformation.LimitFlags),
              "JOBOBJECT_EXTENDED_LIMIT_INFORMATION layout");
static_assert(offsetof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION, IoInfo) ==
                  offsetof(::JOBOBJECT_EXTENDED_LIMIT_INFORMATION, IoInfo),
              "JOBOBJECT_EXTENDED_LIMIT_INFORMATION layout");
static_assert(platform::JobObjectExtendedLimitInformation == ::JobObjectExtendedLimitInformation,
              "JobObjectExtendedLimitInformation");

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

BOOL GetExitCodeProcess(HANDLE process, DWORD* exit_code) {
    ::DWORD code = 0;
    const BOOL read = ::GetExitCodeProcess(Native(process), &code);
    *exit_code = read ? code : 0;
    return read;
}

DWORD ResumeThread(HANDLE thread) {
    return ::ResumeThread(Native(thread));
}

HANDLE CreateJobObjectW(void* security, const WCHAR* name) {
    return reinterpret_cast<HANDLE>(
        ::CreateJobObjectW(static_cast<LPSECURITY_ATTRIBUTES>(security), Wide(name)));
}

BOOL SetInformationJobObject(HANDLE job, DWORD info_class, void* info, DWORD length) {
    return ::SetInformationJobObject(Native(job), static_cast<::JOBOBJECTINFOCLASS>(info_class),
                                     info, length);
}

BOOL AssignProcessToJobObject(HANDLE job, HANDLE process) {
    return ::AssignProcessToJobObject(Native(job), Native(process));
}

BOOL CloseHandle(HANDLE handle) {
    return ::CloseHandle(Native(handle));
}

DWORD GetLongPathNameW(const WCHAR* path, WCHAR* buffer, DWORD capacity) {
    return ::GetLongPathNameW(Wide(path), Wide(buffer), capacity);
}

DWORD GetLastError() {
    return ::GetLastError();
}

void SetLastError(DWORD error) {
    ::SetLastError(error);
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

// A console takes the text as it is. A file or a pipe gets it in the
// console's output code page, or the OEM code page when the process has no
// console, as the system's own console tools write; a character the page
// lacks becomes its default character (no best fit: a look-alike letter would
// name another service). Written in pieces of at most 128 characters, never
// between the two halves of a surrogate pair, each at once.
void ConsoleWrite(DWORD std_handle, const WCHAR* text) {
    const ::HANDLE out = ::GetStdHandle(std_handle);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    const int length = static_cast<int>(WideLength(text));
    ::DWORD mode = 0, written = 0;
    if (::GetConsoleMode(out, &mode)) {
        ::WriteConsoleW(out, Wide(text), static_cast<::DWORD>(length), &written, nullptr);
        return;
    }
    ::UINT page = ::GetConsoleOutputCP();
    if (page == 0) page = CP_OEMCP;
    constexpr int kPiece = 128;
    char bytes[kPiece * 4];
    for (int at = 0, count = 0; at < length; at += count) {
        count = length - at < kPiece ? length - at : kPiece;
        if (count < length - at && text[at + count - 1] >= 0xD800 && text[at + count - 1] < 0xDC00)
            --count;
        const wchar_t* piece = Wide(text) + at;
        // Code pages such as UTF-8 refuse the flag; they have every character.
        int size = ::WideCharToMultiByte(page, WC_NO_BEST_FIT_CHARS, piece, count, bytes,
                                         sizeof bytes, nullptr, nullptr);
        if (size == 0)
            size =
                ::WideCharToMultiByte(page, 0, piece, count, bytes, sizeof bytes, nullptr, nullptr);
        ::WriteFile(out, bytes, static_cast<::DWORD>(size), &written, nullptr);
    }
}

}  // namespace platform
