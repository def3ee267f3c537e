// Helpers for the end-to-end tests: they drive the real qelnhost.exe through
// the real Service Control Manager, registry and processes of the Windows
// they run on (Wine on the build machine).
//
// Every scenario lives under C:\qelntest\<scenario>\. A `Site` is one copy of
// the host in a directory of its own, hence one service; it removes the
// leftovers of an earlier crashed run when it is made and removes its service,
// keys and files when it goes, whatever the test did in between. All waits are
// bounded.
#ifndef QELN_TESTS_E2E_HARNESS_H
#define QELN_TESTS_E2E_HARNESS_H

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace e2e {

// How long any single wait may last before the test gives up.
constexpr DWORD kWaitMs = 20000;

// The Windows paths of the built host and test child.
std::wstring HostExe();
std::wstring ChildExe();

// The root of all scenarios, and one scenario directory in it. Before the
// first test, whatever an earlier run left there is removed: services whose
// program lies under the root, processes running from it or running the test
// child, and the directories.
constexpr const wchar_t* kRoot = L"C:\\qelntest";
std::wstring ScenarioDir(const std::wstring& scenario);
// Removes a scenario directory, and the root too once it is empty.
void RemoveScenario(const std::wstring& scenario);

// Directories and files. CreateTree makes every missing directory of `path`.
bool CreateTree(const std::wstring& path);
void DeleteTree(const std::wstring& path);
bool FileExists(const std::wstring& path);
bool WriteTextFile(const std::wstring& path, const std::string& text);

// The outcome of running a program from a console-less test: its exit code
// and everything it wrote to its standard output, decoded (narrow or UTF-16)
// with "\r\n" line ends turned into "\n".
struct RunResult {
    bool started = false;
    bool finished = false;  // false: it was still running after the wait and was ended
    DWORD exitCode = 0;
    std::wstring output;
};
RunResult RunProgram(const std::wstring& exe, const std::wstring& arguments,
                     DWORD timeoutMs = kWaitMs);

// A service-status observation log: every distinct state seen, in order.
struct StateLog {
    std::vector<DWORD> states;
    void Note(DWORD state);
    bool Saw(DWORD state) const;
    std::wstring Describe() const;
};

// SCM handles closed on scope exit.
class ScHandle {
public:
    ScHandle() = default;
    explicit ScHandle(SC_HANDLE handle) : handle_(handle) {}
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    ScHandle(ScHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    ~ScHandle();
    SC_HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    SC_HANDLE handle_ = nullptr;
};

// The service's current status record; false when the query failed.
bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS* status);

// Polls the service (every 10 ms) until it reports `state` or `timeoutMs`
// passes; every state seen goes into `log`. Returns whether `state` was seen.
bool WaitForState(SC_HANDLE service, DWORD state, StateLog* log, DWORD timeoutMs = kWaitMs);

// What the test child wrote about itself (see tests/child/testchild.cpp).
struct ChildReport {
    std::map<std::wstring, std::wstring> values;
    std::wstring Get(const std::wstring& key) const;
    DWORD Pid() const;
    DWORD ParentPid() const;
};

// Waits for the child's report file and reads it; false on timeout.
bool WaitForReport(const std::wstring& path, ChildReport* report, DWORD timeoutMs = kWaitMs);

// A process opened by id, to see whether and how it ends. Ends it (the test's
// own child) when the test lets go of it while it still runs.
class WatchedProcess {
public:
    WatchedProcess() = default;
    WatchedProcess(const WatchedProcess&) = delete;
    WatchedProcess& operator=(const WatchedProcess&) = delete;
    ~WatchedProcess();
    bool Open(DWORD pid);
    // True when the process has ended within `timeoutMs`; fills its exit code.
    bool WaitForEnd(DWORD* exitCode, DWORD timeoutMs = kWaitMs);
    bool Running() const;
    // "running", "ended with exit code 0x...", or "not opened".
    std::wstring Describe() const;

private:
    HANDLE handle_ = nullptr;
};

// Ids of the live processes whose image is `exe` (full Windows path, letter
// case ignored).
std::vector<DWORD> ProcessesRunning(const std::wstring& exe);

// Waits (bounded) until no process runs `exe`; false when one still does.
bool WaitUntilNoneRuns(const std::wstring& exe, DWORD timeoutMs = kWaitMs);

// One copy of the host: <dir>\qelnhost.exe, where the last character of
// <dir> names the service. Construction removes leftovers of that service
// and directory, then copies the host there.
class Site {
public:
    explicit Site(const std::wstring& dir);
    Site(const Site&) = delete;
    Site& operator=(const Site&) = delete;
    ~Site();

    bool Ready() const { return ready_; }
    const std::wstring& Dir() const { return dir_; }
    const std::wstring& Exe() const { return exe_; }
    const std::wstring& Name() const { return name_; }
    std::wstring DisplayName() const;
    std::wstring ServiceKeyPath() const;     // SYSTEM\CurrentControlSet\Services\<name>
    std::wstring ParametersKeyPath() const;  // ...\<name>\Parameters

    // Runs the copy from a console-less process with `arguments`.
    RunResult Run(const std::wstring& arguments) const;

    // Writes the three REG_SZ values a deployment writes.
    bool WriteParameters(const std::wstring& appDirectory, const std::wstring& application,
                         const std::wstring& appParameters) const;

    // Opens the service with all access; an empty handle when it does not exist.
    ScHandle Open() const;

private:
    void RemoveService() const;

    std::wstring dir_;
    std::wstring exe_;
    std::wstring name_;
    bool ready_ = false;
};

// A hosted test child configured for one site: its own working directory
// (`workDir`, made here and removed with the object), a report file and a
// quit file in it.
class HostedChild {
public:
    explicit HostedChild(const std::wstring& workDir);
    HostedChild(const HostedChild&) = delete;
    HostedChild& operator=(const HostedChild&) = delete;
    ~HostedChild();

    const std::wstring& WorkDir() const { return workDir_; }
    std::wstring ReportPath() const { return workDir_ + L"\\report.txt"; }
    std::wstring QuitPath() const { return workDir_ + L"\\quit.txt"; }
    // A command line that waits for the quit file; `extra` goes at its end.
    std::wstring WaitingCommandLine(const std::wstring& extra = L"") const;
    // Tells a waiting child to exit with `code`.
    bool Quit(DWORD code) const;

private:
    std::wstring workDir_;
};

}  // namespace e2e

#endif
