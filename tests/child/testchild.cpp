// testchild.exe: the application that the end-to-end tests and the
// demonstration let the service host launch. It writes down what it was given
// and then ends when told to.
//
//   testchild.exe [/report:PATH] [/wait:PATH] [/exit:N] [anything else]
//
//   /report:PATH  writes the report (UTF-16LE text, one "key=value" per line)
//                 to PATH; the file appears whole (written aside, then moved)
//   /wait:PATH    then waits until PATH exists and exits with the decimal code
//                 written in it (an empty file: 0)
//   /exit:N       then exits with N at once
//
// Without /wait or /exit it exits with 0 at once. A wait that lasts longer
// than five minutes ends with exit code 0x7E57 so that a crashed test leaves
// no child behind for good. Arguments it does not know are ignored (a test
// may put blanks, quotes or markers into the command line to see it kept
// verbatim).
//
// Report keys: pid, ppid (the process that created this one), cwd, cmdline
// (GetCommandLineW exactly), console (1 when a console is attached), and
// stdin/stdout/stderr (the standard handle values and their file types).
#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cwchar>
#include <cwctype>

namespace {

constexpr DWORD kWaitGiveUpMs = 5 * 60 * 1000;
constexpr DWORD kWaitGaveUpExitCode = 0x7E57;

struct Text {
    wchar_t buffer[40000];
    size_t length = 0;
    void Add(const wchar_t* s) {
        while (*s != L'\0' && length + 1 < sizeof buffer / sizeof buffer[0]) {
            buffer[length++] = *s++;
        }
        buffer[length] = L'\0';
    }
    void AddNumber(unsigned long long value, bool hex) {
        wchar_t digits[32];
        swprintf(digits, 32, hex ? L"0x%llX" : L"%llu", value);
        Add(digits);
    }
};

Text g_report;

DWORD ParentProcessId() {
    DWORD self = GetCurrentProcessId();
    DWORD parent = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == self) {
            parent = entry.th32ParentProcessID;
            break;
        }
    }
    CloseHandle(snapshot);
    return parent;
}

const wchar_t* FileTypeName(HANDLE handle) {
    if (handle == nullptr) return L"none";
    if (handle == INVALID_HANDLE_VALUE) return L"invalid";
    switch (GetFileType(handle)) {
        case FILE_TYPE_DISK:
            return L"disk";
        case FILE_TYPE_CHAR:
            return L"char";
        case FILE_TYPE_PIPE:
            return L"pipe";
        default:
            return L"unknown";
    }
}

void AddStdHandle(const wchar_t* key, DWORD which) {
    HANDLE handle = GetStdHandle(which);
    g_report.Add(key);
    g_report.Add(L"=");
    g_report.AddNumber(reinterpret_cast<ULONG_PTR>(handle), true);
    g_report.Add(L" ");
    g_report.Add(FileTypeName(handle));
    g_report.Add(L"\n");
}

bool HasConsole() {
    DWORD ids[4];
    if (GetConsoleProcessList(ids, 4) != 0) return true;
    HANDLE out =
        CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) return false;
    CloseHandle(out);
    return true;
}

void BuildReport() {
    wchar_t cwd[MAX_PATH * 4];
    DWORD cwdLength = GetCurrentDirectoryW(MAX_PATH * 4, cwd);
    if (cwdLength == 0 || cwdLength >= MAX_PATH * 4) cwd[0] = L'\0';
    g_report.Add(L"pid=");
    g_report.AddNumber(GetCurrentProcessId(), false);
    g_report.Add(L"\nppid=");
    g_report.AddNumber(ParentProcessId(), false);
    g_report.Add(L"\ncwd=");
    g_report.Add(cwd);
    g_report.Add(L"\ncmdline=");
    g_report.Add(GetCommandLineW());
    g_report.Add(L"\nconsole=");
    g_report.Add(HasConsole() ? L"1" : L"0");
    g_report.Add(L"\n");
    AddStdHandle(L"stdin", STD_INPUT_HANDLE);
    AddStdHandle(L"stdout", STD_OUTPUT_HANDLE);
    AddStdHandle(L"stderr", STD_ERROR_HANDLE);
}

bool WriteReport(const wchar_t* path) {
    wchar_t aside[MAX_PATH * 4];
    if (swprintf(aside, MAX_PATH * 4, L"%ls.part", path) < 0) return false;
    HANDLE file = CreateFileW(aside, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD bytes = static_cast<DWORD>(g_report.length * sizeof(wchar_t));
    DWORD written = 0;
    BOOL ok = WriteFile(file, g_report.buffer, bytes, &written, nullptr) && written == bytes;
    CloseHandle(file);
    return ok && MoveFileExW(aside, path, MOVEFILE_REPLACE_EXISTING);
}

UINT ReadExitCode(const wchar_t* path) {
    HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    char text[32] = {};
    DWORD got = 0;
    ReadFile(file, text, sizeof text - 1, &got, nullptr);
    CloseHandle(file);
    UINT code = 0;
    for (DWORD i = 0; i < got && text[i] >= '0' && text[i] <= '9'; ++i) {
        code = code * 10 + static_cast<UINT>(text[i] - '0');
    }
    return code;
}

UINT WaitForQuitFile(const wchar_t* path) {
    for (DWORD waited = 0; waited < kWaitGiveUpMs; waited += 50) {
        if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) {
            Sleep(50);  // let the writer finish its few bytes
            return ReadExitCode(path);
        }
        Sleep(50);
    }
    return kWaitGaveUpExitCode;
}

// The text after "/name:" when `argument` is that option, else null.
const wchar_t* OptionValue(const wchar_t* argument, const wchar_t* name) {
    if (argument[0] != L'/') return nullptr;
    size_t length = wcslen(name);
    if (_wcsnicmp(argument + 1, name, length) != 0 || argument[1 + length] != L':') return nullptr;
    return argument + 2 + length;
}

}  // namespace

int main() {
    BuildReport();
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    const wchar_t* reportPath = nullptr;
    const wchar_t* quitPath = nullptr;
    const wchar_t* exitCode = nullptr;
    for (int i = 1; argv != nullptr && i < argc; ++i) {
        if (const wchar_t* value = OptionValue(argv[i], L"report")) reportPath = value;
        if (const wchar_t* value = OptionValue(argv[i], L"wait")) quitPath = value;
        if (const wchar_t* value = OptionValue(argv[i], L"exit")) exitCode = value;
    }
    if (reportPath != nullptr && !WriteReport(reportPath)) return 0x7E50;
    if (quitPath != nullptr) return static_cast<int>(WaitForQuitFile(quitPath));
    if (exitCode != nullptr) return static_cast<int>(wcstoul(exitCode, nullptr, 10));
    return 0;
}
