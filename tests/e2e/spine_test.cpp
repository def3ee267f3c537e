// The service run end to end: the real host, installed with -install, started
// by the real SCM, launching the test child as its configured application.
#include <gtest/gtest.h>

#include "harness.h"

namespace e2e {
namespace {

// Service-name suffixes owned by this file: S, T, U, V.
const std::wstring kScenario = L"spine";

// A command line with what a careless launch would lose: a first token that
// is not the program, runs of blanks, quotes, non-ASCII text, a trailing blank.
std::wstring Decorated(const HostedChild& child) {
    return L"hosted-app  " + child.WaitingCommandLine(L"   \"two words\" caf\u00e9 \u0416 ") + L" ";
}

class SpineE2E : public ::testing::Test {
protected:
    void TearDown() override { RemoveScenario(kScenario); }

    // Installs `site`, configures it to run `child` with `commandLine`,
    // starts it and waits until it is RUNNING and the child has reported.
    void StartHosting(const Site& site, const HostedChild& child, const std::wstring& commandLine,
                      ChildReport* report, StateLog* log) {
        ASSERT_TRUE(site.Ready()) << "could not copy the host into " << site.Dir();
        RunResult install = site.Run(L"-install");
        ASSERT_TRUE(install.finished);
        ASSERT_EQ(0u, install.exitCode) << install.output;
        ASSERT_TRUE(site.WriteParameters(child.WorkDir(), ChildExe(), commandLine));
        ScHandle service = site.Open();
        ASSERT_TRUE(service);
        ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr))
            << "StartServiceW error " << GetLastError();
        ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING, log)) << log->Describe();
        ASSERT_TRUE(WaitForReport(child.ReportPath(), report)) << "the child did not report";
    }
};

// The child gets exactly the configured command line and directory, is
// detached and a child of the service process; the service is RUNNING while
// the child lives and STOPPED, with exit code 0, once it exits by itself; a
// launch that cannot happen never reports RUNNING.
TEST_F(SpineE2E, ChildRunsAsConfiguredAndItsEndStopsTheService) {
    Site site(ScenarioDir(kScenario) + L"\\siteS");
    HostedChild child(ScenarioDir(kScenario) + L"\\w\u00f6rk dir S");
    std::wstring commandLine = Decorated(child);
    ChildReport report;
    StateLog log;
    ASSERT_NO_FATAL_FAILURE(StartHosting(site, child, commandLine, &report, &log));
    ScHandle service = site.Open();
    ASSERT_TRUE(service);

    EXPECT_EQ(commandLine, report.Get(L"cmdline"));
    EXPECT_EQ(child.WorkDir(), report.Get(L"cwd"));
    EXPECT_EQ(L"0", report.Get(L"console"));
    // The SCM gives a service no standard handles; a detached child that
    // inherits the service's has none either.
    EXPECT_EQ(L"0x0 none", report.Get(L"stdin"));
    EXPECT_EQ(L"0x0 none", report.Get(L"stdout"));
    EXPECT_EQ(L"0x0 none", report.Get(L"stderr"));

    SERVICE_STATUS_PROCESS running;
    ASSERT_TRUE(QueryStatus(service.get(), &running));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), running.dwCurrentState);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), running.dwServiceType & 0xFF);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN),
              running.dwControlsAccepted);
    EXPECT_EQ(0u, running.dwWin32ExitCode);
    EXPECT_NE(0u, running.dwProcessId);
    EXPECT_EQ(running.dwProcessId, report.ParentPid())
        << "the child's parent is not the service process";

    WatchedProcess childProcess;
    ASSERT_TRUE(childProcess.Open(report.Pid()));
    WatchedProcess serviceProcess;
    ASSERT_TRUE(serviceProcess.Open(running.dwProcessId));
    ASSERT_TRUE(child.Quit(7));
    DWORD childExit = 0;
    ASSERT_TRUE(childProcess.WaitForEnd(&childExit));
    EXPECT_EQ(7u, childExit);
    ASSERT_TRUE(WaitForState(service.get(), SERVICE_STOPPED, &log)) << log.Describe();
    EXPECT_FALSE(log.Saw(SERVICE_STOP_PENDING)) << log.Describe();
    // Only START_PENDING may come before RUNNING, and nothing after STOPPED.
    ASSERT_GE(log.states.size(), 2u);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), log.states.back()) << log.Describe();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), log.states[log.states.size() - 2])
        << log.Describe();
    if (log.states.size() > 2) {
        EXPECT_EQ(static_cast<DWORD>(SERVICE_START_PENDING), log.states[0]) << log.Describe();
    }
    EXPECT_LE(log.states.size(), 3u) << log.Describe();
    SERVICE_STATUS_PROCESS stopped;
    ASSERT_TRUE(QueryStatus(service.get(), &stopped));
    EXPECT_EQ(0u, stopped.dwWin32ExitCode)
        << "the child's own exit code must not leak into the service's";
    DWORD serviceExit = 0;
    EXPECT_TRUE(serviceProcess.WaitForEnd(&serviceExit))
        << "the service process outlived its STOPPED report";
    EXPECT_EQ(0u, serviceExit);

    // An application that does not exist: the launch fails, so the service
    // goes from START_PENDING to STOPPED and is never RUNNING.
    ASSERT_TRUE(
        site.WriteParameters(child.WorkDir(), child.WorkDir() + L"\\missing.exe", commandLine));
    StateLog failed;
    ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr))
        << "StartServiceW error " << GetLastError();
    ASSERT_TRUE(WaitForState(service.get(), SERVICE_STOPPED, &failed)) << failed.Describe();
    EXPECT_FALSE(failed.Saw(SERVICE_RUNNING)) << failed.Describe();
    ASSERT_TRUE(QueryStatus(service.get(), &stopped));
    EXPECT_EQ(0u, stopped.dwWin32ExitCode);
}

// A stop control reports STOP_PENDING, ends the child with exit code 0 and
// the service reports STOPPED.
TEST_F(SpineE2E, StopControlEndsTheChildWithExitCodeZero) {
    Site site(ScenarioDir(kScenario) + L"\\siteT");
    HostedChild child(ScenarioDir(kScenario) + L"\\workT");
    ChildReport report;
    StateLog log;
    ASSERT_NO_FATAL_FAILURE(StartHosting(site, child, child.WaitingCommandLine(), &report, &log));
    ScHandle service = site.Open();
    ASSERT_TRUE(service);
    WatchedProcess childProcess;
    ASSERT_TRUE(childProcess.Open(report.Pid()));

    SERVICE_STATUS afterControl;
    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &afterControl))
        << "error " << GetLastError();
    EXPECT_TRUE(afterControl.dwCurrentState == SERVICE_STOP_PENDING ||
                afterControl.dwCurrentState == SERVICE_STOPPED)
        << afterControl.dwCurrentState;
    DWORD childExit = 0xDEADBEEF;
    ASSERT_TRUE(childProcess.WaitForEnd(&childExit)) << "the stop did not end the child";
    EXPECT_EQ(0u, childExit);
    log.Note(afterControl.dwCurrentState);
    ASSERT_TRUE(WaitForState(service.get(), SERVICE_STOPPED, &log)) << log.Describe();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), log.states.back());
    SERVICE_STATUS_PROCESS stopped;
    ASSERT_TRUE(QueryStatus(service.get(), &stopped));
    EXPECT_EQ(0u, stopped.dwWin32ExitCode);
}

// Copies in directories whose names end in different characters are two
// services, each with its own child; stopping one leaves the other running.
TEST_F(SpineE2E, TwoCopiesRunSideBySide) {
    Site first(ScenarioDir(kScenario) + L"\\siteU");
    Site second(ScenarioDir(kScenario) + L"\\siteV");
    HostedChild firstChild(ScenarioDir(kScenario) + L"\\workU");
    HostedChild secondChild(ScenarioDir(kScenario) + L"\\workV");
    ChildReport firstReport, secondReport;
    StateLog firstLog, secondLog;
    ASSERT_NO_FATAL_FAILURE(StartHosting(first, firstChild, firstChild.WaitingCommandLine(L" U"),
                                         &firstReport, &firstLog));
    ASSERT_NO_FATAL_FAILURE(StartHosting(second, secondChild, secondChild.WaitingCommandLine(L" V"),
                                         &secondReport, &secondLog));
    ScHandle firstService = first.Open();
    ScHandle secondService = second.Open();
    ASSERT_TRUE(firstService);
    ASSERT_TRUE(secondService);

    EXPECT_EQ(firstChild.WaitingCommandLine(L" U"), firstReport.Get(L"cmdline"));
    EXPECT_EQ(secondChild.WaitingCommandLine(L" V"), secondReport.Get(L"cmdline"));
    EXPECT_EQ(firstChild.WorkDir(), firstReport.Get(L"cwd"));
    EXPECT_EQ(secondChild.WorkDir(), secondReport.Get(L"cwd"));
    SERVICE_STATUS_PROCESS firstStatus, secondStatus;
    ASSERT_TRUE(QueryStatus(firstService.get(), &firstStatus));
    ASSERT_TRUE(QueryStatus(secondService.get(), &secondStatus));
    EXPECT_NE(firstStatus.dwProcessId, secondStatus.dwProcessId);
    EXPECT_EQ(firstStatus.dwProcessId, firstReport.ParentPid());
    EXPECT_EQ(secondStatus.dwProcessId, secondReport.ParentPid());

    WatchedProcess firstProcess, secondProcess;
    ASSERT_TRUE(firstProcess.Open(firstReport.Pid()));
    ASSERT_TRUE(secondProcess.Open(secondReport.Pid()));
    SERVICE_STATUS afterControl;
    ASSERT_TRUE(ControlService(firstService.get(), SERVICE_CONTROL_STOP, &afterControl));
    ASSERT_TRUE(WaitForState(firstService.get(), SERVICE_STOPPED, &firstLog))
        << firstLog.Describe();
    DWORD exitCode = 0;
    EXPECT_TRUE(firstProcess.WaitForEnd(&exitCode));
    EXPECT_TRUE(secondProcess.Running())
        << "stopping " << first.Name() << " ended the child of " << second.Name();
    ASSERT_TRUE(QueryStatus(secondService.get(), &secondStatus));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), secondStatus.dwCurrentState);
}

}  // namespace
}  // namespace e2e
