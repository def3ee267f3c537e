// The end-to-end bed: the real qelnhost.exe driven through the real Service
// Control Manager, registry and processes of the Windows it runs on (Wine on
// the build machine). Every copy of the host lives under C:\qelntest\; before
// the first test whatever an earlier run left there is removed. All waits are
// bounded.
#ifndef QELN_TESTS_E2E_HARNESS_H
#define QELN_TESTS_E2E_HARNESS_H

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace e2e {

constexpr DWORD kWaitMs = 20000;
constexpr const wchar_t* kRoot = L"C:\\qelntest";
// Where copies are placed: a directory with a blank, so that a service path
// left unquoted would lead the SCM to the decoy C:\qelntest\with.exe.
constexpr const wchar_t* kSites = L"C:\\qelntest\\with blank";

void DeleteTree(const std::wstring& path);  // the directory and all it holds
std::wstring HostExe();
std::wstring ChildExe();

// A program run console-less: exit code and its output with "\n" line ends.
struct RunResult {
    bool finished = false;
    DWORD exitCode = 0;
    std::wstring output;
};
RunResult RunProgram(const std::wstring& exe, const std::wstring& arguments);

// A process held open to see how it ends; ended when let go while it runs.
struct Process {
    HANDLE handle = nullptr;
    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process();
    bool Open(DWORD pid);
    bool Running() const;
    // The exit code once it has ended within the wait; 0xDEADBEEF if it did not.
    DWORD ExitCode() const;
};

// Every distinct service state seen, in order.
using States = std::vector<DWORD>;
std::wstring Describe(const States& states);
// Whether `states` reads as `pattern`: names such as "START_PENDING? RUNNING
// STOPPED", where a trailing '?' makes that state optional.
bool Matches(const States& states, const std::wstring& pattern);

// One copy of the host in kSites\site<c>, service QELN<c>, with the work
// directory of its hosted child. Made fresh; on its end its service, keys,
// child and files go, whatever the test did.
class Site {
public:
    explicit Site(wchar_t c);
    Site(const Site&) = delete;
    Site& operator=(const Site&) = delete;
    ~Site();

    const std::wstring dir, exe, name, work;
    bool ready = false;

    RunResult Run(const std::wstring& arguments) const { return RunProgram(exe, arguments); }
    bool Exists() const;
    SERVICE_STATUS_PROCESS Status() const;  // dwCurrentState 0 when the query fails
    // Writes the three REG_SZ Parameters values.
    bool Configure(const std::wstring& application, const std::wstring& parameters) const;
    // The decorated command line of the child: a first token that is not the
    // program, runs of blanks, quotes, non-ASCII text, a trailing blank;
    // `end` is "/wait" (until told) or "/exit:N".
    std::wstring ChildLine(const std::wstring& end) const;
    bool Quit(DWORD code) const;  // tells a waiting child to exit with `code`
    std::wstring ReportPath() const { return work + L"\\report.txt"; }
    // Removes the old report; StartServiceW (Wine's sporadic
    // ERROR_INTERNAL_ERROR retried); false on any other failure.
    bool Start() const;
    // Polls until `state` (false at the time limit), noting states in `seen`.
    bool WaitFor(DWORD state, States* seen) const;
    DWORD Stop() const;                // a stop control; the state it returned, 0 when it failed
    std::vector<BYTE> Config() const;  // a QUERY_SERVICE_CONFIGW; empty when it failed
    bool ReadReport(std::map<std::wstring, std::wstring>* report) const;
    void Remove() const;
};

// Whether a process runs `exe` (full path, any case) after a bounded wait.
bool StillRuns(const std::wstring& exe);

}  // namespace e2e

#endif
