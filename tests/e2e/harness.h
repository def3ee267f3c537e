// The end-to-end bed: the real qelnhost.exe driven through the real Service
// Control Manager, registry and processes of the Windows it runs on (Wine on
// the build machine, or a real Windows through the kit, scripts/kit.sh).
// Every copy of the host lives under %SystemDrive%\qeln test\. Nothing here
// may rest on what only Wine answers: where Wine and Windows differ, the
// tests accept what Windows documents.
#ifndef QELN_TESTS_E2E_HARNESS_H
#define QELN_TESTS_E2E_HARNESS_H

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include "winkit.h"  // the Win32 helpers the bench shares

#include <cerrno>
#include <memory>
#include <regex>

namespace e2e {

// Copies go under a directory with a blank, where a service path must be
// quoted.
inline std::wstring SitesDirectory() {
    wchar_t drive[MAX_PATH] = L"C:";
    GetEnvironmentVariableW(L"SystemDrive", drive, MAX_PATH);
    return std::wstring(drive) + L"\\qeln test";
}
const std::wstring kSites = SitesDirectory();

// Gives `path` the permissions of `sddl` ("D:P..." alone, else beside what it
// inherits).
inline bool SetPermissions(const std::wstring& path, const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    const bool set =
        ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                             nullptr) &&
        GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) &&
        !SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                               DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr);
    LocalFree(descriptor);
    return set;
}

inline std::wstring N(DWORD value) {
    return std::to_wstring(value);
}
// `text` as a regular expression that matches it alone.
inline std::wstring Escaped(const std::wstring& text) {
    std::wstring escaped;
    for (wchar_t c : text)
        escaped += (std::wcschr(L"\\^$.|?*+()[]{}", c) ? L"\\" : L"") + std::wstring(1, c);
    return escaped;
}
// Whether the regular expression `pattern` matches the whole `text`.
inline bool Like(const std::wstring& text, const std::wstring& pattern) {
    return std::regex_match(text, std::wregex(pattern));
}

// What `variable` names, or else `built`: a Linux path of the build tree,
// which Wine shows under Z:, or a Windows path (the kit's runner names its
// own files so).
inline std::wstring Program(const wchar_t* variable, const char* built) {
    const wchar_t* named = _wgetenv(variable);
    if (named == nullptr || *named == 0) return FromBuildPath(built);
    return *named == L'/' ? FromBuildPath(Narrow(named).c_str()) : named;
}
const std::wstring kHost = Program(L"QELN_E2E_HOST", QELN_HOST_EXE),
                   kChild = Program(L"QELN_E2E_CHILD", QELN_CHILD_EXE);

// `text` as the host writes it to a pipe, read back through the C runtime's
// text mode (a byte a character): in the console's output code page, or the
// OEM code page when there is no console, a character that page lacks as its
// default character, never a look-alike.
inline std::wstring AsPiped(const std::wstring& text) {
    const UINT page = GetConsoleOutputCP() ? GetConsoleOutputCP() : GetOEMCP();
    char bytes[256];
    int size = 0;  // code pages such as UTF-8 refuse the flag
    for (DWORD flags : {DWORD{WC_NO_BEST_FIT_CHARS}, DWORD{0}})
        if (size == 0)
            size = WideCharToMultiByte(page, flags, text.c_str(), static_cast<int>(text.size()),
                                       bytes, sizeof bytes, nullptr, nullptr);
    std::wstring read;
    for (int b = 0; b < size; ++b)
        read += static_cast<wchar_t>(static_cast<unsigned char>(bytes[b]));
    return read;
}

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

// Wine runs a service's control handler on a thread of its own and lets
// StartServiceCtrlDispatcherW return once the service has reported STOPPED,
// even while that thread has yet to send the SCM its answer to the control it
// handled (sechost's service_control_dispatcher answers after it leaves the
// section that SetServiceStatus(STOPPED) waits for): a host that then ends its
// process takes the answer with it, and ControlService fails with
// ERROR_BROKEN_PIPE though the stop was carried out. On Windows the
// dispatcher's own thread runs the handler and answers before it returns.
// Whether that may be what happened (under Wine; the caller then checks that
// the stop was carried out), said in the output.
inline bool WineLostTheAnswer(const char* who) {
    if (!GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")) return false;
    std::printf("[ e2e ] %s: ERROR_BROKEN_PIPE, Wine's dispatcher lost its answer to the stop\n",
                who);
    return true;
}

// A command run by cmd.exe: the exit code and the output, "\n" line ends.
struct RunResult {
    DWORD exitCode;
    std::wstring output;
};
// A shell that cannot be started (seen once, on a loaded machine: the
// command's run then has no exit code) is said, with its error, and started
// again, twice at most.
inline RunResult Shell(const std::wstring& command) {
    RunResult result = {0xDEADBEEF, L""};
    FILE* pipe = nullptr;
    for (int tries = 1; pipe == nullptr && tries <= 3; ++tries) {
        pipe = _wpopen((L"\"" + command + L"\"").c_str(), L"rt");  // cmd takes off the outer quotes
        if (pipe == nullptr)
            std::printf("[ e2e ] _wpopen failed, errno %d, error %lu (try %d of 3)\n", errno,
                        GetLastError(), tries);
    }
    for (wint_t c; pipe && (c = fgetwc(pipe)) != WEOF;)
        result.output += static_cast<wchar_t>(c);
    if (pipe) result.exitCode = static_cast<DWORD>(_pclose(pipe));
    return result;
}

// The service `name` opened with all access; null when it does not exist.
using Service = std::unique_ptr<SC_HANDLE__, decltype(&CloseServiceHandle)>;
inline SC_HANDLE Manager() {
    static SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);  // for good
    return manager;
}
inline Service ServiceOf(const std::wstring& name) {
    return Service(OpenServiceW(Manager(), name.c_str(), SERVICE_ALL_ACCESS), CloseServiceHandle);
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
// whatever the test did. kSites is open to administrators and SYSTEM alone
// (one made in %SystemDrive%\ would be open to Authenticated Users). A service of that name
// installed from elsewhere is the machine's own: it is left as it is and the site is not ready.
// `printed` is its name as a pipe shows it.
class Site {
public:
    explicit Site(wchar_t c, const std::wstring& leaf = L"")
        : dir(kSites + L"\\" + (leaf.empty() ? L"site" + std::wstring(1, c) : leaf)),
          top(dir.substr(0, dir.find(L'\\', kSites.size() + 1))),
          exe(dir + L"\\qelnhost.exe"),
          name(std::wstring(L"QELN") + c),
          key(L"SYSTEM\\CurrentControlSet\\Services\\" + name),
          work(dir + L"\\w\u00f6rk dir"),
          printed(AsPiped(name)) {
        foreign = !Ours();
        if (foreign) return;
        Remove();
        ready = (CreateDirectoryW(kSites.c_str(), nullptr)
                     ? SetPermissions(kSites, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)")
                     : true) &&
                CreateTree(work) && CopyFileW(kHost.c_str(), exe.c_str(), FALSE);
    }
    ~Site() {
        if (!foreign) Remove();
    }

    const std::wstring dir, top, exe, name, key, work, printed;  // top: dir's under kSites
    bool ready = false, foreign = false;

    // The registration: type, start type, error control, then the path,
    // display name, account, group and dependencies each ended by "|", and
    // the tag; empty when there is none.
    std::wstring Registration() const {
        alignas(QUERY_SERVICE_CONFIGW) BYTE buffer[8192];
        auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
        DWORD needed = 0;
        if (!QueryServiceConfigW(ServiceOf(name).get(), c, sizeof buffer, &needed)) return L"";
        auto field = [](const wchar_t* s) { return std::wstring(s ? s : L"") + L"|"; };
        return N(c->dwServiceType) + L" " + N(c->dwStartType) + L" " + N(c->dwErrorControl) + L" " +
               field(c->lpBinaryPathName) + field(c->lpDisplayName) + field(c->lpServiceStartName) +
               field(c->lpLoadOrderGroup) + field(c->lpDependencies) + N(c->dwTagId);
    }
    // Whether the service is absent or one of these tests' copies (a
    // leftover of an interrupted run).
    bool Ours() const {
        return !Exists() || Registration().find(L" \"" + kSites + L"\\") != std::wstring::npos;
    }

    // Standard error too, so that a row expects silence of both.
    RunResult Run(const std::wstring& arguments) const {
        return Shell(L"\"" + exe + L"\" " + arguments + L" 2>&1");
    }
    bool Exists() const { return ServiceOf(name) != nullptr; }
    // The service and its key as RemoveService leaves them, then the files.
    void Remove() const {
        RemoveService(Manager(), name);
        // An ended process lets go of its files a moment later.
        for (int i = 0; i < 50 && GetFileAttributesW(top.c_str()) != INVALID_FILE_ATTRIBUTES; ++i)
            Sleep(100), DeleteTree(top);
        RemoveDirectoryW(kSites.c_str());  // the last site takes it along
    }
    // dwCurrentState 0 when the query fails.
    SERVICE_STATUS_PROCESS Status() const { return StatusOf(ServiceOf(name).get()); }

    // The three Parameters values (WriteParameters), the directory the work
    // directory unless told.
    bool Configure(const std::wstring& application, const std::wstring& line,
                   const std::wstring& directory = L"", bool terminated = true,
                   DWORD type = REG_SZ) const {
        return WriteParameters(name, application, directory.empty() ? work : directory, line,
                               terminated, type);
    }
    // The decorated command line of the child: a first token that is not the
    // program, runs of blanks, quotes, non-ASCII text, an environment
    // reference (never expanded), a trailing blank; `end` is "/exit:N", or
    // empty for a child that waits to be ended.
    std::wstring ChildLine(const std::wstring& end) const {
        return L"hosted-app  \"" + kChild + L"\" /report:\"" + work + L"\\report.txt\" " + end +
               L"   \"two words\" caf\u00e9 \u0416 %SystemRoot% ";
    }

    // Removes the old reports; StartServiceW, retried while the SCM has not yet
    // seen an ended service process go (ERROR_SERVICE_ALREADY_RUNNING) and on
    // Wine's sporadic ERROR_INTERNAL_ERROR; false on any other failure.
    bool Start() const {
        DeleteFileW((work + L"\\report.txt").c_str());
        DeleteFileW((work + L"\\grandchild.txt").c_str());
        for (DWORD start = GetTickCount(), internal = 0; GetTickCount() - start < kWaitMs;
             Sleep(200)) {
            if (StartServiceW(ServiceOf(name).get(), 0, nullptr)) return true;
            const DWORD error = GetLastError();
            if (error == ERROR_INTERNAL_ERROR && ++internal < 3)
                std::printf("[ e2e ] StartServiceW: ERROR_INTERNAL_ERROR from Wine, retried\n");
            else if (error != ERROR_SERVICE_ALREADY_RUNNING)
                break;
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
    // The child's report (or the one named); empty when none came within the wait.
    std::wstring Report(const wchar_t* leaf = L"report.txt") const {
        std::wstring text;
        for (int i = 0; i < 1000 && text.empty(); ++i)
            if ((text = ReadReport(work + L"\\" + leaf)).empty()) Sleep(20);
        return text;
    }
};

// Says which host and child the tests drive. The tests install and remove
// services: without the right to (an unelevated prompt) nothing runs. The
// right to debug lets them end a service's process, as Task Manager does.
class Bed : public ::testing::Environment {
    void SetUp() override {
        std::printf("[ e2e ] %ls\n[ e2e ] %ls\n", kHost.c_str(), kChild.c_str());
        if (Manager() == nullptr) {
            std::printf("[ e2e ] no service manager, error %lu: run from an elevated prompt\n",
                        GetLastError());
            std::exit(1);
        }
        HANDLE token = nullptr;
        TOKEN_PRIVILEGES debug = {1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token) &&
            LookupPrivilegeValueW(nullptr, SE_DEBUG_NAME, &debug.Privileges[0].Luid))
            AdjustTokenPrivileges(token, FALSE, &debug, 0, nullptr, nullptr);
        if (token) CloseHandle(token);
    }
};
inline ::testing::Environment* const kBed = ::testing::AddGlobalTestEnvironment(new Bed);

// When the run ends, one line a table, "PASS  Suite.Test" or "FAIL  Suite.Test":
// the summary that the kit's runner shows and the test command compares with
// its own.
class Summary : public ::testing::EmptyTestEventListener {
    void OnTestProgramEnd(const ::testing::UnitTest& unit) override {
        std::printf("[ e2e ] summary:\n");
        for (int s = 0; s < unit.total_test_suite_count(); ++s) {
            const ::testing::TestSuite* suite = unit.GetTestSuite(s);
            for (int t = 0; t < suite->total_test_count(); ++t) {
                const ::testing::TestInfo* test = suite->GetTestInfo(t);
                if (test->should_run())
                    std::printf("%s  %s.%s\n", test->result()->Passed() ? "PASS" : "FAIL",
                                suite->name(), test->name());
            }
        }
        std::fflush(stdout);
    }
};
inline const bool kSummary =
    (::testing::UnitTest::GetInstance()->listeners().Append(new Summary), true);

}  // namespace e2e

#endif
