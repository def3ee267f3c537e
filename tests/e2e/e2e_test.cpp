// The real host end to end: the service run (the child as configured, the
// ways its run ends), two copies side by side, the console switches, and
// many cycles of them. Every copy sits in a directory with a blank, a decoy
// planted where an unquoted service path would lead.
#include <gtest/gtest.h>

#include "harness.h"

namespace e2e {
namespace {

using Report = std::map<std::wstring, std::wstring>;

// A running service and the processes behind it, held open to see them end.
struct Hosting {
    Report report;
    Process service, child;
};

class Decoyed : public ::testing::Test {
protected:
    const std::wstring decoy = std::wstring(kRoot) + L"\\with.exe";
    void SetUp() override {
        CreateDirectoryW(kRoot, nullptr);
        ASSERT_TRUE(CopyFileW(ChildExe().c_str(), decoy.c_str(), FALSE));
    }
    void TearDown() override {
        DeleteFileW(decoy.c_str());
        RemoveDirectoryW(kRoot);
    }
};
using ServiceE2E = Decoyed;
using ConsoleE2E = Decoyed;
using SoakE2E = Decoyed;

void Install(const Site& site) {
    ASSERT_TRUE(site.ready) << "could not copy the host into " << site.dir;
    RunResult install = site.Run(L"-install");
    ASSERT_TRUE(install.finished);
    EXPECT_EQ(0u, install.exitCode);
    ASSERT_EQ(site.name + L" installed.\n", install.output);
}

// The child got the configured command line and directory, detached: no
// console, no standard handles (the SCM gives the service none).
void ExpectChildSaw(const Site& site, const std::wstring& line, Report report) {
    EXPECT_EQ(line, report[L"cmdline"]);
    EXPECT_EQ(site.work, report[L"cwd"]);
    EXPECT_EQ(L"0", report[L"console"]);
    EXPECT_EQ(L"0 0 0 ", report[L"stdhandles"]);
}

// Configures `line`, starts the service and waits for RUNNING and the child's
// report; the service shows its running record, the child is its process's
// child, and that process runs the site's copy (the quoted path).
void Launch(const Site& site, const std::wstring& line, Hosting* h, States* seen) {
    ASSERT_TRUE(site.Configure(ChildExe(), line));
    ASSERT_TRUE(site.Start());
    ASSERT_TRUE(site.WaitFor(SERVICE_RUNNING, seen)) << Describe(*seen);
    ASSERT_TRUE(site.ReadReport(&h->report)) << "the child did not report";
    ExpectChildSaw(site, line, h->report);
    SERVICE_STATUS_PROCESS status = site.Status();
    EXPECT_EQ(DWORD{SERVICE_RUNNING}, status.dwCurrentState);
    EXPECT_EQ(DWORD{SERVICE_WIN32_OWN_PROCESS}, status.dwServiceType & 0xFF);
    EXPECT_EQ(DWORD{SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN}, status.dwControlsAccepted);
    EXPECT_EQ(0u, status.dwWin32ExitCode);
    ASSERT_NE(0u, status.dwProcessId);
    EXPECT_EQ(std::to_wstring(status.dwProcessId), h->report[L"ppid"]);
    ASSERT_TRUE(h->child.Open(wcstoul(h->report[L"pid"].c_str(), nullptr, 10)));
    ASSERT_TRUE(h->service.Open(status.dwProcessId));
    wchar_t image[MAX_PATH * 2] = {};
    DWORD length = MAX_PATH * 2;
    ASSERT_TRUE(QueryFullProcessImageNameW(h->service.handle, 0, image, &length));
    EXPECT_EQ(0, lstrcmpiW(site.exe.c_str(), image)) << "the service runs " << image;
}

// After STOPPED: the child ended with `childExit`, the service process with
// 0, nothing runs the copy, and the SCM's record is a clean stop.
void ExpectAllGone(const Site& site, const Hosting* h, DWORD childExit) {
    if (h != nullptr) {
        EXPECT_EQ(childExit, h->child.ExitCode()) << "(0xDEADBEEF: it outlived STOPPED)";
        EXPECT_EQ(0u, h->service.ExitCode()) << "(0xDEADBEEF: it outlived STOPPED)";
    }
    EXPECT_FALSE(StillRuns(site.exe));
    SERVICE_STATUS_PROCESS status = site.Status();
    EXPECT_EQ(DWORD{SERVICE_STOPPED}, status.dwCurrentState);
    EXPECT_EQ(0u, status.dwWin32ExitCode) << "the child's exit code leaked";
    EXPECT_EQ(0u, status.dwServiceSpecificExitCode);
    EXPECT_EQ(0u, status.dwProcessId);
}

void StopByControl(const Site& site, const Hosting* h, States* seen) {
    DWORD after = site.Stop();
    EXPECT_TRUE(after == SERVICE_STOP_PENDING || after == SERVICE_STOPPED) << after;
    if (seen->back() != after) seen->push_back(after);
    ASSERT_TRUE(site.WaitFor(SERVICE_STOPPED, seen)) << Describe(*seen);
    EXPECT_TRUE(Matches(*seen, L"START_PENDING? RUNNING STOP_PENDING? STOPPED")) << Describe(*seen);
    ExpectAllGone(site, h, 0);
}

// How a run ends: the child is told to exit with `code`, is killed with it,
// the service is stopped, or nothing is done (the child exits at once).
enum class End { Quit, Kill, Stop, None };
struct RunRow {
    const char* what;
    const wchar_t* childEnd;  // "/wait" or "/exit:N"; null: Application does not exist
    End end;
    DWORD code;  // the child's expected exit code
    const wchar_t* states;
};

TEST_F(ServiceE2E, RunsTheChildAsConfiguredUntilItsRunEnds) {
    const RunRow rows[] = {
        {"the child exits with 7", L"/wait", End::Quit, 7, L"START_PENDING? RUNNING STOPPED"},
        {"it exits with STILL_ACTIVE", L"/wait", End::Quit, STILL_ACTIVE,
         L"START_PENDING? RUNNING STOPPED"},
        {"it is killed with 0xBAD", L"/wait", End::Kill, 0xBAD, L"START_PENDING? RUNNING STOPPED"},
        {"it is killed with 0", L"/wait", End::Kill, 0, L"START_PENDING? RUNNING STOPPED"},
        {"a stop control", L"/wait", End::Stop, 0, L"START_PENDING? RUNNING STOP_PENDING? STOPPED"},
        {"it exits at once with 0", L"/exit:0", End::None, 0, L"START_PENDING? RUNNING? STOPPED"},
        {"it exits at once with 1", L"/exit:1", End::None, 0, L"START_PENDING? RUNNING? STOPPED"},
        {"it exits at once with 0xC0000005", L"/exit:3221225477", End::None, 0,
         L"START_PENDING? RUNNING? STOPPED"},
        {"the application does not exist", nullptr, End::None, 0, L"START_PENDING? STOPPED"},
    };
    Site site(L'S');
    ASSERT_NO_FATAL_FAILURE(Install(site));
    for (const RunRow& row : rows) {
        SCOPED_TRACE(row.what);
        States seen;
        Hosting h;
        std::wstring line = site.ChildLine(row.childEnd ? row.childEnd : L"/exit:0");
        if (row.end != End::None) {
            ASSERT_NO_FATAL_FAILURE(Launch(site, line, &h, &seen));
        } else {
            ASSERT_TRUE(site.Configure(row.childEnd ? ChildExe() : site.work + L"\\no.exe", line));
            ASSERT_TRUE(site.Start());
        }
        EXPECT_TRUE(row.end != End::Quit || site.Quit(row.code));
        EXPECT_TRUE(row.end != End::Kill || TerminateProcess(h.child.handle, row.code));
        if (row.end == End::Stop) StopByControl(site, &h, &seen);
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_TRUE(site.WaitFor(SERVICE_STOPPED, &seen)) << Describe(seen);
        EXPECT_TRUE(Matches(seen, row.states)) << Describe(seen);
        if (row.end == End::None && row.childEnd) {
            ASSERT_TRUE(site.ReadReport(&h.report)) << "the child never ran";
            ExpectChildSaw(site, line, h.report);
        }
        ExpectAllGone(site, row.end == End::None ? nullptr : &h, row.code);
        ASSERT_FALSE(HasFailure());
    }
}

// Copies in directories ending in different characters are two services, each
// with its own child; stopping one leaves the other running.
TEST_F(ServiceE2E, TwoCopiesRunSideBySide) {
    Site first(L'U'), second(L'V');
    Hosting one, two;
    States firstSeen, secondSeen;
    ASSERT_NO_FATAL_FAILURE(Install(first));
    ASSERT_NO_FATAL_FAILURE(Install(second));
    ASSERT_NO_FATAL_FAILURE(Launch(first, first.ChildLine(L"/wait"), &one, &firstSeen));
    ASSERT_NO_FATAL_FAILURE(Launch(second, second.ChildLine(L"/wait"), &two, &secondSeen));
    EXPECT_NE(one.report[L"ppid"], two.report[L"ppid"]);
    ASSERT_NO_FATAL_FAILURE(StopByControl(first, &one, &firstSeen));
    EXPECT_TRUE(two.child.Running()) << "stopping QELNU ended the child of QELNV";
    EXPECT_EQ(DWORD{SERVICE_RUNNING}, second.Status().dwCurrentState);
}

// The registration as the SCM holds it.
void ExpectRegistration(const Site& site) {
    std::vector<BYTE> buffer = site.Config();
    ASSERT_FALSE(buffer.empty()) << site.name << " is not registered";
    const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
    auto text = [](const wchar_t* s) { return std::wstring(s ? s : L""); };
    EXPECT_EQ(DWORD{SERVICE_WIN32_OWN_PROCESS}, config->dwServiceType);
    EXPECT_EQ(DWORD{SERVICE_AUTO_START}, config->dwStartType);
    EXPECT_EQ(DWORD{SERVICE_ERROR_NORMAL}, config->dwErrorControl);
    EXPECT_EQ(L"\"" + site.exe + L"\"", text(config->lpBinaryPathName));
    EXPECT_EQ(std::wstring(L"Quellith Group ") + site.name.back(), text(config->lpDisplayName));
    EXPECT_EQ(L"LocalSystem", text(config->lpServiceStartName));
    EXPECT_EQ(L"", text(config->lpLoadOrderGroup));
    EXPECT_EQ(L"", text(config->lpDependencies));
    EXPECT_EQ(0u, config->dwTagId);
}

// `output` is `pattern`, where a '*' stands for any run of dots (one a second
// while the service stays stop-pending).
void ExpectText(const std::wstring& pattern, const std::wstring& output) {
    size_t star = pattern.find(L'*');
    if (star == std::wstring::npos) {
        EXPECT_EQ(pattern, output);
        return;
    }
    const std::wstring head = pattern.substr(0, star), tail = pattern.substr(star + 1);
    ASSERT_GE(output.size(), head.size() + tail.size()) << output;
    EXPECT_EQ(head, output.substr(0, head.size())) << output;
    EXPECT_EQ(tail, output.substr(output.size() - tail.size())) << output;
    EXPECT_EQ(std::wstring::npos,
              output.substr(head.size(), output.size() - head.size() - tail.size())
                  .find_first_not_of(L'.'))
        << output;
}

// Before the switch: not installed, installed, installed and run once, or
// running.
enum class Setup { Fresh, Installed, Ran, Running };
struct ConsoleRow {
    wchar_t site;
    Setup setup;
    const wchar_t* option;
    const wchar_t* text;
    DWORD exitCode;
    bool registered;  // afterwards
};

void RunConsole(const Site& site, const ConsoleRow& row) {
    Hosting h;
    States seen;
    ASSERT_FALSE(site.Exists());
    if (row.setup != Setup::Fresh) Install(site);
    if (row.setup >= Setup::Ran && !::testing::Test::HasFatalFailure())
        Launch(site, site.ChildLine(L"/wait"), &h, &seen);
    if (row.setup == Setup::Ran && !::testing::Test::HasFatalFailure())
        StopByControl(site, &h, &seen);
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    RunResult run = site.Run(row.option);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(row.exitCode, run.exitCode);
    ExpectText(row.text, run.output);
    if (row.setup == Setup::Running) {
        EXPECT_EQ(0u, h.child.ExitCode()) << "(0xDEADBEEF: the child outlived the remove)";
        EXPECT_EQ(0u, h.service.ExitCode()) << "(0xDEADBEEF: the service outlived the remove)";
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

TEST_F(ConsoleE2E, InstallAndRemove) {
    const ConsoleRow rows[] = {
        {L'3', Setup::Fresh, L"-install", L"QELN3 installed.\n", 0, true},
        {L'4', Setup::Installed, L"-install", L"", 0xFFFFFFFF, true},
        {L'5', Setup::Running, L"-remove", L"Stopping QELN5.*\nQELN5 stopped.\nQELN5 removed.\n", 0,
         false},
        {L'6', Setup::Installed, L"-remove", L"QELN6 removed.\n", 0, false},
        {L'7', Setup::Ran, L"-remove", L"QELN7 removed.\n", 0, false},
        {L'8', Setup::Fresh, L"-remove", L"", 0, false},
    };
    for (const ConsoleRow& row : rows) {
        SCOPED_TRACE(testing::Message() << "QELN" << static_cast<char>(row.site));
        Site site(row.site);
        ASSERT_NO_FATAL_FAILURE(RunConsole(site, row));
    }
}

// One installed service started and stopped 100 times.
TEST_F(SoakE2E, StartAndStopOneServiceManyTimes) {
    Site site(L'A');
    ASSERT_NO_FATAL_FAILURE(Install(site));
    for (int cycle = 1; cycle <= 100 && !HasFailure(); ++cycle) {
        SCOPED_TRACE(testing::Message() << "start/stop cycle " << cycle);
        Hosting h;
        States seen;
        ASSERT_NO_FATAL_FAILURE(Launch(site, site.ChildLine(L"/wait"), &h, &seen));
        ASSERT_NO_FATAL_FAILURE(StopByControl(site, &h, &seen));
    }
}

// Install, start, stop, remove, 20 times; every second time the remove itself
// stops the running service.
TEST_F(SoakE2E, InstallStartStopRemoveManyTimes) {
    Site site(L'B');
    const ConsoleRow ran{L'B', Setup::Ran, L"-remove", L"QELNB removed.\n", 0, false};
    const ConsoleRow running{L'B',       Setup::Running,
                             L"-remove", L"Stopping QELNB.*\nQELNB stopped.\nQELNB removed.\n",
                             0,          false};
    for (int cycle = 1; cycle <= 20 && !HasFailure(); ++cycle) {
        SCOPED_TRACE(testing::Message() << "install cycle " << cycle);
        ASSERT_NO_FATAL_FAILURE(RunConsole(site, cycle % 2 ? ran : running));
    }
}

}  // namespace
}  // namespace e2e
