// testchild.exe: the application that the demonstration, the bench and the
// end-to-end tests let the service host launch. It writes down how it was
// started, then ends as told:
//
//   testchild.exe [/spawn:PATH] [/report:PATH] [/exit:N] [anything else]
//
//   /spawn:PATH   first starts a copy of itself, detached, that reports to PATH
//                 and waits (a grandchild of the service host)
//   /report:PATH  writes its report (UTF-16LE), whole: written aside, then moved
//   /exit:N       exits with N at once; without it the child waits to be ended
//                 (five minutes at most, then it exits with 0x7E57)
//
// The report, an item a line: the command line (GetCommandLineW exactly), the
// working directory, "C I O E" (C 1 when a console is attached, then the three
// standard handle values), and "PPID PID" (its parent's id and its own).
#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cwchar>
#include <string>

namespace {

bool Report(const std::wstring& path) {
    DWORD parent = 0, ids[4];
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry))
        if (entry.th32ProcessID == GetCurrentProcessId()) parent = entry.th32ParentProcessID;
    CloseHandle(snapshot);
    HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    if (console != INVALID_HANDLE_VALUE) CloseHandle(console);
    wchar_t cwd[4096] = {};
    GetCurrentDirectoryW(4096, cwd);
    const bool attached = GetConsoleProcessList(ids, 4) != 0 || console != INVALID_HANDLE_VALUE;
    std::wstring text =
        std::wstring(GetCommandLineW()) + L"\n" + cwd + (attached ? L"\n1" : L"\n0");
    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
        text += L" " + std::to_wstring(reinterpret_cast<ULONG_PTR>(GetStdHandle(which)));
    text += L"\n" + std::to_wstring(parent) + L" " + std::to_wstring(GetCurrentProcessId());
    const std::wstring aside = path + L".part";
    HANDLE file = CreateFileW(aside.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    const DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    DWORD written = 0;
    const bool ok = WriteFile(file, text.data(), bytes, &written, nullptr) && written == bytes;
    CloseHandle(file);
    return ok && MoveFileExW(aside.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

bool Spawn(const std::wstring& report) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\" /report:\"" + report + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(self, &line[0], nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr,
                        &startup, &started))
        return false;
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return true;
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    for (int i = 1; i < argc; ++i)
        if (_wcsnicmp(argv[i], L"/spawn:", 7) == 0 && !Spawn(argv[i] + 7)) return 0x7E51;
    for (int i = 1; i < argc; ++i)
        if (_wcsnicmp(argv[i], L"/report:", 8) == 0 && !Report(argv[i] + 8)) return 0x7E50;
    for (int i = 1; i < argc; ++i)
        if (_wcsnicmp(argv[i], L"/exit:", 6) == 0)
            return static_cast<int>(wcstoul(argv[i] + 6, nullptr, 10));
    Sleep(300000);
    return 0x7E57;
}
