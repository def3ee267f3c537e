// The real host end to end: the service run (the child as configured, the
// ways its run ends), two copies side by side, the console switches, many
// cycles of them, and the first-start priming of the UPS registry area. Every
// copy sits in a directory with a blank (see the harness).
//
// The UPS area helpers use the portable registry calls, so they come before
// <windows.h> (brought in by the harness), whose macros would clash.
#include "tests/contract/ups_area.h"

#include <gtest/gtest.h>

#include "harness.h"

namespace e2e {
namespace {

std::wstring N(DWORD value) {
    return std::to_wstring(value);
}

// A running service and the processes behind it, held open to see them end.
struct Hosting {
    Process service, child;
};

void Install(const Site& site) {
    ASSERT_TRUE(site.ready) << "could not copy the host into " << site.dir;
    RunResult install = site.Run(L"-install");
    ASSERT_TRUE(install.finished);
    EXPECT_EQ(0u, install.exitCode);
    ASSERT_EQ(site.name + L" installed.\n", install.output);
}

// The SCM's status record: the state and exit codes, while running also the
// type and the controls accepted, and whether it names a process.
std::wstring Record(const SERVICE_STATUS_PROCESS& s) {
    std::wstring state;
    Note(s.dwCurrentState, &state);
    state += L"exit " + N(s.dwWin32ExitCode) + L"/" + N(s.dwServiceSpecificExitCode);
    if (s.dwCurrentState == SERVICE_RUNNING)
        state += L" type " + N(s.dwServiceType & 0xFF) + L" accepts " + N(s.dwControlsAccepted);
    return state + (s.dwProcessId ? L" pid" : L" no pid");
}

// The child's report but its parent's id and its own: the configured command
// line and directory, detached (no console, no standard handles: the SCM gives
// the service none).
std::wstring Saw(const Site& site, const std::wstring& line) {
    return line + L"\n" + site.work + L"\n0 0 0 0\n";
}

// Configures `line`, starts the service and waits for RUNNING and the child's
// report; the service shows its running record, the child is its process's
// child, and that process runs the site's copy (the quoted path).
void Launch(const Site& site, const std::wstring& line, Hosting* h, std::wstring* seen) {
    ASSERT_TRUE(site.Configure(ChildExe(), line));
    ASSERT_TRUE(site.Start());
    ASSERT_TRUE(site.WaitFor(SERVICE_RUNNING, seen))
        << *seen << "; SCM record: " << Record(site.Status());
    const std::wstring report = site.Report();
    ASSERT_NE(L"", report) << "the child did not report";
    const SERVICE_STATUS_PROCESS status = site.Status();
    EXPECT_EQ(L"RUNNING exit 0/0 type " + N(SERVICE_WIN32_OWN_PROCESS) + L" accepts " +
                  N(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN) + L" pid",
              Record(status));
    const std::wstring pid = report.substr(report.rfind(L' ') + 1);
    EXPECT_EQ(Saw(site, line) + N(status.dwProcessId) + L" " + pid, report);
    h->child = OpenProcessOf(wcstoul(pid.c_str(), nullptr, 10));
    h->service = OpenProcessOf(status.dwProcessId);
    ASSERT_TRUE(h->child && h->service);
    wchar_t image[MAX_PATH * 2] = {};
    DWORD length = MAX_PATH * 2;
    ASSERT_TRUE(QueryFullProcessImageNameW(h->service.get(), 0, image, &length));
    EXPECT_EQ(0, lstrcmpiW(site.exe.c_str(), image)) << "the service runs " << image;
}

// After STOPPED: the child ended with `childExit`, the service process with
// 0, nothing runs the copy, and the SCM's record carries `scmExit`: 0 for a
// run that ended, the launch's error for a launch that failed.
void ExpectAllGone(const Site& site, const Hosting* h, DWORD childExit, DWORD scmExit = 0) {
    if (h != nullptr) {
        EXPECT_EQ(childExit, ExitCode(h->child)) << "(0xDEADBEEF: it outlived STOPPED)";
        EXPECT_EQ(0u, ExitCode(h->service)) << "(0xDEADBEEF: it outlived STOPPED)";
    }
    EXPECT_FALSE(StillRuns(site.exe));
    EXPECT_EQ(L"STOPPED exit " + N(scmExit) + L"/0 no pid", Record(site.Status()))
        << "(the child's exit code leaked?)";
}

void StopByControl(const Site& site, const Hosting* h, std::wstring* seen) {
    SERVICE_STATUS status = {};
    ASSERT_TRUE(ControlService(ServiceOf(site.name).get(), SERVICE_CONTROL_STOP, &status))
        << "ControlService error " << GetLastError() << "; SCM record: " << Record(site.Status());
    EXPECT_TRUE(status.dwCurrentState == SERVICE_STOP_PENDING ||
                status.dwCurrentState == SERVICE_STOPPED)
        << status.dwCurrentState;
    Note(status.dwCurrentState, seen);
    ASSERT_TRUE(site.WaitFor(SERVICE_STOPPED, seen)) << *seen;
    EXPECT_TRUE(Like(*seen, L"(START_PENDING )?RUNNING (STOP_PENDING )?STOPPED ")) << *seen;
    ExpectAllGone(site, h, 0);
}

// How a run ends: the child ends with `code` while the service runs, the
// service is stopped, the child exits at once with `code`, or the launch
// fails with `code` because the application or the directory does not exist.
enum class End { Child, Stop, AtOnce, Missing, NoDirectory };
struct RunRow {
    const char* what;
    End end;
    DWORD code;
    const wchar_t* states;  // the states seen, a regular expression
};

TEST(ServiceE2E, RunsTheChildAsConfiguredUntilItsRunEnds) {
    const wchar_t* const ran = L"(START_PENDING )?RUNNING STOPPED ";
    const wchar_t* const once = L"(START_PENDING )?(RUNNING )?STOPPED ";
    const RunRow rows[] = {
        {"the child ends with 7", End::Child, 7, ran},
        {"it ends with STILL_ACTIVE", End::Child, STILL_ACTIVE, ran},
        {"it ends with 0xBAD", End::Child, 0xBAD, ran},
        {"it ends with 0", End::Child, 0, ran},
        {"a stop control", End::Stop, 0, L"(START_PENDING )?RUNNING (STOP_PENDING )?STOPPED "},
        {"it exits at once with 0", End::AtOnce, 0, once},
        {"it exits at once with 1", End::AtOnce, 1, once},
        {"it exits at once with 0xC0000005", End::AtOnce, 0xC0000005, once},
        {"the application does not exist", End::Missing, ERROR_FILE_NOT_FOUND,
         L"(START_PENDING )?STOPPED "},
        {"the directory does not exist", End::NoDirectory, ERROR_DIRECTORY,
         L"(START_PENDING )?STOPPED "},
    };
    Site site(L'S');
    ASSERT_NO_FATAL_FAILURE(Install(site));
    for (const RunRow& row : rows) {
        SCOPED_TRACE(row.what);
        std::wstring seen;
        Hosting h;
        const bool waits = row.end == End::Child || row.end == End::Stop;
        const std::wstring line = site.ChildLine(waits ? L"" : L"/exit:" + N(row.code));
        if (waits) {
            ASSERT_NO_FATAL_FAILURE(Launch(site, line, &h, &seen));
        } else {
            ASSERT_TRUE(
                site.Configure(row.end == End::Missing ? site.work + L"\\no.exe" : ChildExe(), line,
                               row.end == End::NoDirectory ? site.work + L"\\gone" : site.work));
            ASSERT_TRUE(site.Start());
        }
        EXPECT_TRUE(row.end != End::Child || TerminateProcess(h.child.get(), row.code));
        if (row.end == End::Stop) StopByControl(site, &h, &seen);
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_TRUE(site.WaitFor(SERVICE_STOPPED, &seen)) << seen;
        EXPECT_TRUE(Like(seen, row.states)) << seen;
        if (row.end == End::AtOnce) {
            const std::wstring report = site.Report();
            EXPECT_EQ(Saw(site, line), report.substr(0, report.rfind(L'\n') + 1)) << report;
        }
        const bool failed = row.end == End::Missing || row.end == End::NoDirectory;
        ExpectAllGone(site, waits ? &h : nullptr, row.end == End::Child ? row.code : 0,
                      failed ? row.code : 0);
        ASSERT_FALSE(HasFailure());
    }
}

// Copies in directories ending in different characters are two services, each
// with its own child; stopping one leaves the other running.
TEST(ServiceE2E, TwoCopiesRunSideBySide) {
    Site first(L'U'), second(L'V');
    Hosting one, two;
    std::wstring firstSeen, secondSeen;
    ASSERT_NO_FATAL_FAILURE(Install(first));
    ASSERT_NO_FATAL_FAILURE(Install(second));
    ASSERT_NO_FATAL_FAILURE(Launch(first, first.ChildLine(L""), &one, &firstSeen));
    ASSERT_NO_FATAL_FAILURE(Launch(second, second.ChildLine(L""), &two, &secondSeen));
    EXPECT_NE(GetProcessId(one.service.get()), GetProcessId(two.service.get()));
    ASSERT_NO_FATAL_FAILURE(StopByControl(first, &one, &firstSeen));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(two.child.get(), 0))
        << "stopping QELNU ended the child of QELNV";
    EXPECT_EQ(DWORD{SERVICE_RUNNING}, second.Status().dwCurrentState);
}

// The registration as the SCM holds it: type, start, error control, path,
// display name, account, group, dependencies, tag.
void ExpectRegistration(const Site& site) {
    Service service = ServiceOf(site.name);
    alignas(QUERY_SERVICE_CONFIGW) BYTE buffer[8192];
    auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceConfigW(service.get(), c, sizeof buffer, &needed)) << "not registered";
    auto text = [](const wchar_t* s) { return std::wstring(s ? s : L"") + L"|"; };
    EXPECT_EQ(N(SERVICE_WIN32_OWN_PROCESS) + L" " + N(SERVICE_AUTO_START) + L" " +
                  N(SERVICE_ERROR_NORMAL) + L" \"" + site.exe + L"\"|Quellith Group " +
                  site.name.back() + L"|LocalSystem|||0",
              N(c->dwServiceType) + L" " + N(c->dwStartType) + L" " + N(c->dwErrorControl) + L" " +
                  text(c->lpBinaryPathName) + text(c->lpDisplayName) + text(c->lpServiceStartName) +
                  text(c->lpLoadOrderGroup) + text(c->lpDependencies) + N(c->dwTagId));
}

// Before the switch: not installed, installed, installed and run once, or
// running.
enum class Setup { Fresh, Installed, Ran, Running };
struct ConsoleRow {
    wchar_t site;
    Setup setup;
    const wchar_t* option;
    const wchar_t* text;  // a regular expression: dots one a second while stop-pending
    DWORD exitCode;
    bool registered;  // afterwards
};

void RunConsole(const Site& site, const ConsoleRow& row) {
    Hosting h;
    std::wstring seen;
    ASSERT_FALSE(site.Exists());
    if (row.setup != Setup::Fresh) Install(site);
    auto fine = [] { return !::testing::Test::HasFatalFailure(); };
    if (fine() && row.setup >= Setup::Ran) Launch(site, site.ChildLine(L""), &h, &seen);
    if (fine() && row.setup == Setup::Ran) StopByControl(site, &h, &seen);
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    RunResult run = site.Run(row.option);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(row.exitCode, run.exitCode);
    EXPECT_TRUE(Like(run.output, row.text)) << run.output;
    if (row.setup == Setup::Running) {
        EXPECT_EQ(0u, ExitCode(h.child)) << "(0xDEADBEEF: the child outlived the remove)";
        EXPECT_EQ(0u, ExitCode(h.service)) << "(0xDEADBEEF: the service outlived the remove)";
    }
    EXPECT_FALSE(StillRuns(site.exe));
    if (!row.registered) {
        EXPECT_FALSE(site.Exists()) << "the service outlived its remove";
        return;
    }
    ExpectRegistration(site);
    HKEY parameters = nullptr;
    std::wstring path = L"SYSTEM\\CurrentControlSet\\Services\\" + site.name + L"\\Parameters";
    EXPECT_NE(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &parameters))
        << "install wrote a Parameters key";
}

const ConsoleRow kRemoveRan{L'B', Setup::Ran, L"-remove", L"QELNB removed\\.\n", 0, false};
const ConsoleRow kRemoveRunning{
    L'B', Setup::Running, L"-remove", L"Stopping QELNB\\.*\nQELNB stopped\\.\nQELNB removed\\.\n",
    0,    false};

TEST(ConsoleE2E, InstallAndRemove) {
    const ConsoleRow rows[] = {
        {L'3', Setup::Fresh, L"-install", L"QELN3 installed\\.\n", 0, true},
        {L'4', Setup::Installed, L"-install", L"", 0xFFFFFFFF, true},
        {L'5', Setup::Running, L"-remove",
         L"Stopping QELN5\\.*\nQELN5 stopped\\.\nQELN5 removed\\.\n", 0, false},
        {L'6', Setup::Installed, L"-remove", L"QELN6 removed\\.\n", 0, false},
        {L'7', Setup::Ran, L"-remove", L"QELN7 removed\\.\n", 0, false},
        {L'8', Setup::Fresh, L"-remove", L"", 0, false},
    };
    for (const ConsoleRow& row : rows) {
        SCOPED_TRACE(testing::Message() << "QELN" << static_cast<char>(row.site));
        Site site(row.site);
        ASSERT_NO_FATAL_FAILURE(RunConsole(site, row));
    }
}

// One installed service started and stopped 100 times.
TEST(SoakE2E, StartAndStopOneServiceManyTimes) {
    Site site(L'A');
    ASSERT_NO_FATAL_FAILURE(Install(site));
    for (int cycle = 1; cycle <= 100 && !HasFailure(); ++cycle) {
        SCOPED_TRACE(testing::Message() << "start/stop cycle " << cycle);
        Hosting h;
        std::wstring seen;
        ASSERT_NO_FATAL_FAILURE(Launch(site, site.ChildLine(L""), &h, &seen));
        ASSERT_NO_FATAL_FAILURE(StopByControl(site, &h, &seen));
    }
}

// Install, start, stop, remove, 20 times; every second time the remove itself
// stops the running service.
TEST(SoakE2E, InstallStartStopRemoveManyTimes) {
    Site site(L'B');
    for (int cycle = 1; cycle <= 20 && !HasFailure(); ++cycle) {
        SCOPED_TRACE(testing::Message() << "install cycle " << cycle);
        ASSERT_NO_FATAL_FAILURE(RunConsole(site, cycle % 2 ? kRemoveRan : kRemoveRunning));
    }
}

// Each road of the first-start priming (the listing "roads", which the host
// tests also run on the simulation): a start writes the UPS area before it
// launches anything when the area has no Config key; the next start writes
// nothing, and a user's edit made between them stays.
TEST(UpsPrimeE2E, FirstStartPrimesTheAreaAndTheNextStartLeavesIt) {
    Site site(L'P');
    ASSERT_NO_FATAL_FAILURE(Install(site));
    // The application does not exist: each run ends right after the priming.
    ASSERT_TRUE(site.Configure(site.work + L"\\missing.exe", L"missing"));
    ups_area::EachRoad([&site](int) {
        std::wstring seen;
        ASSERT_TRUE(site.Start());
        ASSERT_TRUE(site.WaitFor(SERVICE_STOPPED, &seen)) << seen;
        EXPECT_TRUE(Like(seen, L"(START_PENDING )?STOPPED ")) << seen;
    });
}

}  // namespace
}  // namespace e2e
