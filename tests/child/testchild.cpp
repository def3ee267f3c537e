// testchild.exe: the application that the end-to-end tests and the
// demonstration let the service host launch. It writes down how it was
// started, then ends as told:
//
//   testchild.exe [/report:PATH] [/wait:PATH | /exit:N] [anything else]
//
//   /report:PATH  writes "key=value" lines (UTF-16LE), whole: written aside, then moved
//   /wait:PATH    waits until PATH exists, then exits with the decimal code in it
//                 (gives up after five minutes with 0x7E57, so no child stays for good)
//   /exit:N       exits with N at once (so does no option, with 0)
//
// Keys: pid, ppid, cwd, cmdline (GetCommandLineW exactly), console (1 when a
// console is attached) and stdhandles (the three standard handle values).
#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cwchar>
#include <string>

namespace {

DWORD ParentId() {
    DWORD parent = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry))
        if (entry.th32ProcessID == GetCurrentProcessId()) parent = entry.th32ParentProcessID;
    CloseHandle(snapshot);
    return parent;
}

bool HasConsole() {
    DWORD ids[4];
    HANDLE out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    return GetConsoleProcessList(ids, 4) != 0 || out != INVALID_HANDLE_VALUE;
}

std::wstring Number(ULONG_PTR value) {
    return std::to_wstring(static_cast<unsigned long long>(value));
}

bool Report(const std::wstring& path) {
    wchar_t cwd[4096] = {};
    GetCurrentDirectoryW(4096, cwd);
    std::wstring text = L"pid=" + Number(GetCurrentProcessId()) + L"\nppid=" + Number(ParentId()) +
                        L"\ncwd=" + cwd + L"\ncmdline=" + GetCommandLineW() + L"\nconsole=" +
                        (HasConsole() ? L"1" : L"0") + L"\nstdhandles=";
    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
        text += Number(reinterpret_cast<ULONG_PTR>(GetStdHandle(which))) + L" ";
    text += L"\n";
    std::wstring aside = path + L".part";
    HANDLE file = CreateFileW(aside.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t)), written = 0;
    bool ok = WriteFile(file, text.data(), bytes, &written, nullptr) && written == bytes;
    CloseHandle(file);
    return ok && MoveFileExW(aside.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

UINT WaitForQuit(const wchar_t* path) {
    for (int i = 0; i < 6000 && GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(50);
    Sleep(50);  // the writer moves the file into place whole; let it let go
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0x7E57;
    char text[16] = {};
    DWORD got = 0;
    ReadFile(file, text, sizeof text - 1, &got, nullptr);
    CloseHandle(file);
    return static_cast<UINT>(strtoul(text, nullptr, 10));
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    for (int i = 1; i < argc; ++i) {
        if (_wcsnicmp(argv[i], L"/report:", 8) == 0 && !Report(argv[i] + 8)) return 0x7E50;
    }
    for (int i = 1; i < argc; ++i) {
        if (_wcsnicmp(argv[i], L"/wait:", 6) == 0)
            return static_cast<int>(WaitForQuit(argv[i] + 6));
        if (_wcsnicmp(argv[i], L"/exit:", 6) == 0)
            return static_cast<int>(wcstoul(argv[i] + 6, nullptr, 10));
    }
    return 0;
}
