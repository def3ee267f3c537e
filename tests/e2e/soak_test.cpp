// Repetition and faults of the real host under the real SCM: many start/stop
// cycles of one installed service, many install/start/stop/remove cycles, and
// hosted children that end by themselves, fail, or are killed from outside.
// After every cycle no hosted child and no process of the service is left,
// and the SCM shows the state and exit codes the host must have reported.
#include <gtest/gtest.h>

#include <cstdio>

#include "harness.h"

namespace e2e {
namespace {

// Service-name suffixes owned by this file: A, B, C.
const std::wstring kScenario = L"soak";

constexpr int kStartStopCycles = 100;
constexpr int kInstallCycles = 20;

bool ServiceExists(const std::wstring& name) {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    return static_cast<bool>(service);
}

// The stopped service's record as the SCM holds it: STOPPED, no process, and
// both exit codes 0 whatever ended the child.
void ExpectCleanlyStopped(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status;
    ASSERT_TRUE(QueryStatus(service, &status)) << "error " << GetLastError();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
    EXPECT_EQ(0u, status.dwWin32ExitCode);
    EXPECT_EQ(0u, status.dwServiceSpecificExitCode);
    EXPECT_EQ(0u, status.dwProcessId);
}

// A service that is RUNNING and the processes behind it: the service
// process (from the SCM) and the hosted child (from its report), both held
// open so their ends can be seen.
struct Running {
    DWORD servicePid = 0;
    DWORD childPid = 0;
    WatchedProcess service;
    WatchedProcess child;
};

// Starts the service and waits for RUNNING and for the child's report (a
// fresh one: the old report is removed first).
void Start(SC_HANDLE service, const HostedChild& child, Running* running) {
    DeleteFileW(child.ReportPath().c_str());
    // Wine's service manager now and then answers a start that closely follows
    // the previous run's end with ERROR_INTERNAL_ERROR, before any code of the
    // service has run; a start retried a moment later goes through. Any other
    // failure, or a third one in a row, fails the cycle.
    BOOL started = FALSE;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
        started = StartServiceW(service, 0, nullptr);
        if (!started && GetLastError() != ERROR_INTERNAL_ERROR) break;
        if (!started) {
            std::printf("[ soak ] StartServiceW: ERROR_INTERNAL_ERROR from Wine, retried\n");
            Sleep(200);
        }
    }
    ASSERT_TRUE(started) << "StartServiceW error " << GetLastError();
    StateLog log;
    ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING, &log)) << log.Describe();
    ChildReport report;
    ASSERT_TRUE(WaitForReport(child.ReportPath(), &report)) << "the child did not report";
    SERVICE_STATUS_PROCESS status;
    ASSERT_TRUE(QueryStatus(service, &status));
    running->servicePid = status.dwProcessId;
    ASSERT_NE(0u, running->servicePid);
    ASSERT_EQ(running->servicePid, report.ParentPid())
        << "the child's parent is not the service process";
    running->childPid = report.Pid();
    ASSERT_TRUE(running->child.Open(running->childPid))
        << "the child " << report.Pid() << " is already gone";
    ASSERT_TRUE(running->service.Open(running->servicePid))
        << "the service process is already gone";
}

// After STOPPED: the child ended with `childExit`, the service process ended
// with 0, no process runs the site's copy of the host, and the SCM shows a
// clean stop.
void ExpectAllGone(const Site& site, SC_HANDLE service, Running* running, DWORD childExit) {
    DWORD exitCode = 0xDEADBEEF;
    ASSERT_TRUE(running->child.WaitForEnd(&exitCode)) << "the hosted child outlived STOPPED";
    EXPECT_EQ(childExit, exitCode);
    exitCode = 0xDEADBEEF;
    ASSERT_TRUE(running->service.WaitForEnd(&exitCode)) << "the service process outlived STOPPED";
    EXPECT_EQ(0u, exitCode);
    EXPECT_TRUE(WaitUntilNoneRuns(site.Exe())) << "a process still runs " << site.Exe();
    ExpectCleanlyStopped(service);
}

// One stop by control: STOP_PENDING or STOPPED at once, then STOPPED; the
// child is ended with exit code 0.
void StopByControl(const Site& site, SC_HANDLE service, Running* running) {
    SERVICE_STATUS afterControl;
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &afterControl))
        << "error " << GetLastError() << "; service process " << running->servicePid << ": "
        << running->service.Describe() << "; child: " << running->child.Describe();
    EXPECT_TRUE(afterControl.dwCurrentState == SERVICE_STOP_PENDING ||
                afterControl.dwCurrentState == SERVICE_STOPPED)
        << afterControl.dwCurrentState;
    StateLog log;
    log.Note(afterControl.dwCurrentState);
    ASSERT_TRUE(WaitForState(service, SERVICE_STOPPED, &log))
        << log.Describe() << "; service process " << running->servicePid << ": "
        << running->service.Describe() << "; child: " << running->child.Describe();
    EXPECT_FALSE(log.Saw(SERVICE_RUNNING)) << "RUNNING after the stop: " << log.Describe();
    ASSERT_NO_FATAL_FAILURE(ExpectAllGone(site, service, running, 0));
}

class SoakE2E : public ::testing::Test {
protected:
    void TearDown() override { RemoveScenario(kScenario); }

    void Install(const Site& site) {
        RunResult install = site.Run(L"-install");
        ASSERT_TRUE(install.finished);
        ASSERT_EQ(0u, install.exitCode) << install.output;
        ASSERT_EQ(site.Name() + L" installed.\n", install.output);
    }
};

// One installed service started and stopped again and again: every cycle
// reaches RUNNING with a new child, and every stop leaves nothing behind.
TEST_F(SoakE2E, StartAndStopOneServiceManyTimes) {
    Site site(ScenarioDir(kScenario) + L"\\siteA");
    HostedChild child(ScenarioDir(kScenario) + L"\\workA");
    ASSERT_TRUE(site.Ready());
    ASSERT_NO_FATAL_FAILURE(Install(site));
    ASSERT_TRUE(site.WriteParameters(child.WorkDir(), ChildExe(), child.WaitingCommandLine()));
    ScHandle service = site.Open();
    ASSERT_TRUE(service);

    DWORD start = GetTickCount();
    int cycles = 0;
    for (; cycles < kStartStopCycles; ++cycles) {
        SCOPED_TRACE("start/stop cycle " + std::to_string(cycles + 1));
        Running running;
        ASSERT_NO_FATAL_FAILURE(Start(service.get(), child, &running));
        ASSERT_NO_FATAL_FAILURE(StopByControl(site, service.get(), &running));
        ASSERT_FALSE(HasFailure());
    }
    DWORD elapsed = GetTickCount() - start;
    std::printf("[ soak ] %d start/stop cycles in %.1f s (%.0f ms per cycle)\n", cycles,
                elapsed / 1000.0, cycles ? static_cast<double>(elapsed) / cycles : 0.0);
}

// Install, start, stop, remove, again and again. Every second cycle the
// remove itself stops the running service. After each remove the service is
// gone from the SCM and nothing of it runs.
TEST_F(SoakE2E, InstallStartStopRemoveManyTimes) {
    Site site(ScenarioDir(kScenario) + L"\\siteB");
    HostedChild child(ScenarioDir(kScenario) + L"\\workB");
    ASSERT_TRUE(site.Ready());

    DWORD start = GetTickCount();
    int cycles = 0;
    for (; cycles < kInstallCycles; ++cycles) {
        SCOPED_TRACE("install cycle " + std::to_string(cycles + 1));
        bool removeStops = cycles % 2 == 1;
        ASSERT_NO_FATAL_FAILURE(Install(site));
        ASSERT_TRUE(site.WriteParameters(child.WorkDir(), ChildExe(), child.WaitingCommandLine()));
        Running running;
        {
            ScHandle service = site.Open();
            ASSERT_TRUE(service);
            ASSERT_NO_FATAL_FAILURE(Start(service.get(), child, &running));
            if (!removeStops) {
                ASSERT_NO_FATAL_FAILURE(StopByControl(site, service.get(), &running));
            }
        }
        RunResult remove = site.Run(L"-remove");
        ASSERT_TRUE(remove.finished);
        EXPECT_EQ(0u, remove.exitCode);
        const std::wstring removed = site.Name() + L" removed.\n";
        if (removeStops) {
            const std::wstring head = L"Stopping " + site.Name() + L".";
            const std::wstring tail = L"\n" + site.Name() + L" stopped.\n" + removed;
            ASSERT_GE(remove.output.size(), head.size() + tail.size()) << remove.output;
            EXPECT_EQ(head, remove.output.substr(0, head.size())) << remove.output;
            EXPECT_EQ(tail, remove.output.substr(remove.output.size() - tail.size()))
                << remove.output;
            DWORD exitCode = 0xDEADBEEF;
            ASSERT_TRUE(running.child.WaitForEnd(&exitCode))
                << "the hosted child outlived the remove";
            EXPECT_EQ(0u, exitCode);
            exitCode = 0xDEADBEEF;
            ASSERT_TRUE(running.service.WaitForEnd(&exitCode))
                << "the service process outlived the remove";
            EXPECT_EQ(0u, exitCode);
        } else {
            EXPECT_EQ(removed, remove.output);
        }
        EXPECT_TRUE(WaitUntilNoneRuns(site.Exe())) << "a process still runs " << site.Exe();
        EXPECT_FALSE(ServiceExists(site.Name())) << "the service outlived its remove";
        ASSERT_FALSE(HasFailure());
    }
    DWORD elapsed = GetTickCount() - start;
    std::printf("[ soak ] %d install/start/stop/remove cycles in %.1f s (%.0f ms per cycle)\n",
                cycles, elapsed / 1000.0, cycles ? static_cast<double>(elapsed) / cycles : 0.0);
}

// Hosted children that end without a stop: at once with 0, at once with a
// failure code, after running with codes that look like results of their own
// (STILL_ACTIVE, all bits set), and killed from outside. The service goes to
// STOPPED without STOP_PENDING and its exit codes stay 0 every time.
TEST_F(SoakE2E, ChildrenThatEndOnTheirOwnOrAreKilled) {
    Site site(ScenarioDir(kScenario) + L"\\siteC");
    HostedChild child(ScenarioDir(kScenario) + L"\\workC");
    ASSERT_TRUE(site.Ready());
    ASSERT_NO_FATAL_FAILURE(Install(site));
    ScHandle service = site.Open();
    ASSERT_TRUE(service);

    enum class End { AtOnce, Quits, Killed };
    struct Case {
        const char* what;
        End end;
        DWORD code;
    };
    const Case cases[] = {
        {"exits at once with 0", End::AtOnce, 0},
        {"exits at once with 1", End::AtOnce, 1},
        {"exits at once with 0xC0000005", End::AtOnce, 0xC0000005},
        {"runs, then exits with STILL_ACTIVE", End::Quits, STILL_ACTIVE},
        {"runs, then exits with 42", End::Quits, 42},
        {"is killed from outside with 0xBAD", End::Killed, 0xBAD},
        {"is killed from outside with 0", End::Killed, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("the child ") + c.what);
        DeleteFileW(child.ReportPath().c_str());
        DeleteFileW(child.QuitPath().c_str());
        StateLog log;
        if (c.end == End::AtOnce) {
            std::wstring commandLine = L"\"" + ChildExe() + L"\" /report:\"" + child.ReportPath() +
                                       L"\" /exit:" + std::to_wstring(c.code);
            ASSERT_TRUE(site.WriteParameters(child.WorkDir(), ChildExe(), commandLine));
            ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr))
                << "StartServiceW error " << GetLastError();
            ASSERT_TRUE(WaitForState(service.get(), SERVICE_STOPPED, &log)) << log.Describe();
            ChildReport report;
            ASSERT_TRUE(WaitForReport(child.ReportPath(), &report)) << "the child never ran";
            EXPECT_TRUE(WaitUntilNoneRuns(site.Exe())) << "a process still runs " << site.Exe();
            ExpectCleanlyStopped(service.get());
        } else {
            ASSERT_TRUE(
                site.WriteParameters(child.WorkDir(), ChildExe(), child.WaitingCommandLine()));
            Running running;
            ASSERT_NO_FATAL_FAILURE(Start(service.get(), child, &running));
            log.Note(SERVICE_RUNNING);
            if (c.end == End::Quits) {
                ASSERT_TRUE(child.Quit(c.code));
            } else {
                HANDLE victim = OpenProcess(PROCESS_TERMINATE, FALSE, running.childPid);
                ASSERT_NE(nullptr, victim) << "error " << GetLastError();
                EXPECT_TRUE(TerminateProcess(victim, c.code)) << "error " << GetLastError();
                CloseHandle(victim);
            }
            ASSERT_TRUE(WaitForState(service.get(), SERVICE_STOPPED, &log)) << log.Describe();
            ASSERT_NO_FATAL_FAILURE(ExpectAllGone(site, service.get(), &running, c.code));
        }
        EXPECT_FALSE(log.Saw(SERVICE_STOP_PENDING)) << log.Describe();
        EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), log.states.back()) << log.Describe();
        ASSERT_FALSE(HasFailure());
    }
}

}  // namespace
}  // namespace e2e
