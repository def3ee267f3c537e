// The end-to-end bed: the real qelnhost.exe driven through the real Service
// Control Manager, registry and processes of the Windows it runs on (Wine on
// the build machine). Every copy of the host lives under C:\qeln test\.
#ifndef QELN_TESTS_E2E_HARNESS_H
#define QELN_TESTS_E2E_HARNESS_H

#include <windows.h>

#include <gtest/gtest.h>

#include "bench/benchkit.h"  // the Win32 helpers the bench and these tests share

#include <memory>
#include <regex>

namespace e2e {

// Copies go under a directory with a blank, where a service path must be
// quoted.
const std::wstring kSites = L"C:\\qeln test";

inline std::wstring N(DWORD value) {
    return std::to_wstring(value);
}
// Whether the regular expression `pattern` matches the whole `text`.
inline bool Like(const std::wstring& text, const std::wstring& pattern) {
    return std::regex_match(text, std::wregex(pattern));
}

// The built program, or the one `variable` names (a Linux path, which Wine
// shows under Z:), so these drivers can run the 32-bit host and child.
inline std::wstring Program(const char* variable, const char* built) {
    const char* named = std::getenv(variable);
    return FromBuildPath(named && *named ? named : built);
}
const std::wstring kHost = Program("QELN_E2E_HOST", QELN_HOST_EXE),
                   kChild = Program("QELN_E2E_CHILD", QELN_CHILD_EXE);

// A process held open to see how it ends; ended when let go while it runs.
struct EndProcess {  // TerminateProcess fails when it has ended
    void operator()(HANDLE p) const {
        TerminateProcess(p, 0xDEAD);
        CloseHandle(p);
    }
};
using Process = std::unique_ptr<void, EndProcess>;
inline Process OpenProcessOf(DWORD pid) {
    return Process(
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, pid));
}
// The exit code once it has ended within the wait; 0xDEADBEEF if it did not.
inline DWORD ExitCode(const Process& process) {
    DWORD code = 0xDEADBEEF;
    if (process && WaitForSingleObject(process.get(), kWaitMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.get(), &code);
    return code;
}

// A command run by cmd.exe: the exit code and the output, "\n" line ends.
struct RunResult {
    DWORD exitCode;
    std::wstring output;
};
inline RunResult Shell(const std::wstring& command) {
    RunResult result = {0xDEADBEEF, L""};
    FILE* pipe =
        _wpopen((L"\"" + command + L"\"").c_str(), L"rt");  // cmd takes off the outer quotes
    for (wint_t c; pipe && (c = fgetwc(pipe)) != WEOF;)
        result.output += static_cast<wchar_t>(c);
    if (pipe) result.exitCode = static_cast<DWORD>(_pclose(pipe));
    return result;
}

// The service `name` opened with all access; null when it does not exist.
using Service = std::unique_ptr<SC_HANDLE__, decltype(&CloseServiceHandle)>;
inline Service ServiceOf(const std::wstring& name) {
    static SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);  // for good
    return Service(OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS), CloseServiceHandle);
}

// Adds the name of `state` and a blank to `seen` unless `seen` ends with it.
inline void Note(DWORD state, std::wstring* seen) {
    const wchar_t* const names[] = {L"? ", L"STOPPED ", L"START_PENDING ", L"STOP_PENDING ",
                                    L"RUNNING "};
    const std::wstring name = names[state <= 4 ? state : 0];
    if (seen->size() < name.size() || seen->compare(seen->size() - name.size(), name.size(), name))
        *seen += name;
}

// One copy of the host in kSites\site<c> (or kSites\<leaf>, whose
// instance character is `c`), service QELN<c>, with the work directory of
// its hosted child. Made fresh; on its end its service, keys and files go,
// whatever the test did. `printed` is its name as a pipe shows it (in the OEM
// code page).
class Site {
public:
    explicit Site(wchar_t c, const std::wstring& leaf = L"", const std::wstring& printed = L"")
        : dir(kSites + L"\\" + (leaf.empty() ? L"site" + std::wstring(1, c) : leaf)),
          exe(dir + L"\\qelnhost.exe"),
          name(std::wstring(L"QELN") + c),
          key(L"SYSTEM\\CurrentControlSet\\Services\\" + name),
          work(dir + L"\\w\u00f6rk dir"),
          printed(printed.empty() ? name : printed) {
        Remove();
        ready = CreateTree(work) && CopyFileW(kHost.c_str(), exe.c_str(), FALSE);
    }
    ~Site() { Remove(); }

    const std::wstring dir, exe, name, key, work, printed;
    bool ready = false;

    // Standard error too, so that a row expects silence of both.
    RunResult Run(const std::wstring& arguments) const {
        return Shell(L"\"" + exe + L"\" " + arguments + L" 2>&1");
    }
    bool Exists() const { return ServiceOf(name) != nullptr; }
    // Stops and deletes the service (one that does not stop is deleted all
    // the same), then what is left of its key, and the files.
    void Remove() const {
        if (Service service = ServiceOf(name)) {
            SERVICE_STATUS status;
            ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
            std::wstring seen;
            WaitFor(SERVICE_STOPPED, &seen);
            DeleteService(service.get());
        }
        for (int i = 0; i < 400 && Exists(); ++i)
            Sleep(50);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
        Sleep(100);  // an ended child lets go of its directory
        DeleteTree(dir);
    }
    // dwCurrentState 0 when the query fails.
    SERVICE_STATUS_PROCESS Status() const {
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        QueryServiceStatusEx(ServiceOf(name).get(), SC_STATUS_PROCESS_INFO,
                             reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
        return status;
    }

    // Writes the three Parameters values as `type` (the directory is the work
    // directory unless told), AppParameters without its terminator unless
    // `terminated`: from a buffer whose next character is not one, so that
    // the registry does not add it.
    bool Configure(const std::wstring& application, std::wstring line, std::wstring directory = L"",
                   bool terminated = true, DWORD type = REG_SZ) const {
        const DWORD bytes = static_cast<DWORD>((line.size() + terminated) * sizeof(wchar_t));
        line += terminated ? L'\0' : L'x';
        directory = directory.empty() ? work : directory;
        auto set = [&](const wchar_t* name, const std::wstring& text, DWORD size) {
            return !RegSetKeyValueW(HKEY_LOCAL_MACHINE, (key + L"\\Parameters").c_str(), name, type,
                                    text.c_str(), size);
        };
        return set(L"AppDirectory", directory, (directory.size() + 1) * sizeof(wchar_t)) &&
               set(L"Application", application, (application.size() + 1) * sizeof(wchar_t)) &&
               set(L"AppParameters", line, bytes);
    }
    // The decorated command line of the child: a first token that is not the
    // program, runs of blanks, quotes, non-ASCII text, an environment
    // reference (never expanded), a trailing blank; `end` is "/exit:N", or
    // empty for a child that waits to be ended.
    std::wstring ChildLine(const std::wstring& end) const {
        return L"hosted-app  \"" + kChild + L"\" /report:\"" + work + L"\\report.txt\" " + end +
               L"   \"two words\" caf\u00e9 \u0416 %SystemRoot% ";
    }

    // Removes the old report; StartServiceW (Wine's sporadic ERROR_INTERNAL_ERROR
    // retried); false on any other failure.
    bool Start() const {
        DeleteFileW((work + L"\\report.txt").c_str());
        for (int attempt = 0; attempt < 3; ++attempt, Sleep(200)) {
            if (StartServiceW(ServiceOf(name).get(), 0, nullptr)) return true;
            if (GetLastError() != ERROR_INTERNAL_ERROR) break;
            std::printf("[ e2e ] StartServiceW: ERROR_INTERNAL_ERROR from Wine, retried\n");
        }
        ADD_FAILURE() << "StartServiceW error " << GetLastError();
        return false;
    }
    // Polls until `state` (false at the time limit), noting states in `seen`.
    bool WaitFor(DWORD state, std::wstring* seen) const {
        for (DWORD start = GetTickCount(); GetTickCount() - start < kWaitMs; Sleep(10)) {
            const DWORD now = Status().dwCurrentState;
            if (now) Note(now, seen);
            if (now == state) return true;
        }
        return false;
    }
    // The child's report; empty when none came within the wait.
    std::wstring Report() const {
        HANDLE file = INVALID_HANDLE_VALUE;
        for (int i = 0; i < 1000 && file == INVALID_HANDLE_VALUE; ++i, Sleep(20))
            file = CreateFileW((work + L"\\report.txt").c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        wchar_t text[8192] = {};
        DWORD got = 0;
        ReadFile(file, text, sizeof text - sizeof(wchar_t), &got, nullptr);
        CloseHandle(file);
        return text;
    }
};

// Says which host and child the tests drive.
class Bed : public ::testing::Environment {
    void SetUp() override {
        std::printf("[ e2e ] %ls\n[ e2e ] %ls\n", kHost.c_str(), kChild.c_str());
    }
};
inline ::testing::Environment* const kBed = ::testing::AddGlobalTestEnvironment(new Bed);

}  // namespace e2e

#endif
