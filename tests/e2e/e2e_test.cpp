// The real host end to end: the service run (the child as configured, the
// ways its run ends), two copies side by side, the console switches, many
// cycles of them, and the first-start priming of the UPS registry area.
#include <gtest/gtest.h>

#include "harness.h"
#include "ups_area.h"

namespace e2e {
namespace {

// A running service and the processes behind it, held open to see them end.
struct Hosting {
    Process service, child;
};

void Install(const Site& site) {
    ASSERT_TRUE(site.ready) << "could not copy the host into " << site.dir;
    RunResult install = site.Run(L"-install");
    EXPECT_EQ(0u, install.exitCode);
    ASSERT_EQ(site.name + L" installed.\n", install.output);
}

// The SCM's status record: the state and exit codes, while running also the
// type and the controls accepted, and whether it names a process.
std::wstring Record(const Site& site) {
    const SERVICE_STATUS_PROCESS s = site.Status();
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
    ASSERT_TRUE(site.Configure(ChildExe(), line) && site.Start());
    ASSERT_TRUE(site.WaitFor(SERVICE_RUNNING, seen)) << *seen << "; SCM record: " << Record(site);
    const std::wstring report = site.Report(), pid = report.substr(report.rfind(L' ') + 1);
    const DWORD process = site.Status().dwProcessId;
    EXPECT_EQ(L"RUNNING exit 0/0 type " + N(SERVICE_WIN32_OWN_PROCESS) + L" accepts " +
                  N(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN) + L" pid",
              Record(site));
    ASSERT_EQ(Saw(site, line) + N(process) + L" " + pid, report) << "the child's report";
    h->child = OpenProcessOf(wcstoul(pid.c_str(), nullptr, 10));
    h->service = OpenProcessOf(process);
    wchar_t image[MAX_PATH * 2] = {};
    DWORD length = MAX_PATH * 2;
    ASSERT_TRUE(h->child && QueryFullProcessImageNameW(h->service.get(), 0, image, &length));
    EXPECT_EQ(0, lstrcmpiW(site.exe.c_str(), image)) << "the service runs " << image;
}

// After STOPPED: the child ended with `childExit` and the service process
// with 0 (0xDEADBEEF: it outlived STOPPED), and the SCM's record carries
// `scmExit`: 0 for a run that ended, the launch's error for a failed launch.
void ExpectAllGone(const Site& site, const Hosting& h, DWORD childExit, DWORD scmExit) {
    EXPECT_EQ(h.service ? childExit : 0, h.service ? ExitCode(h.child) : 0) << "the child";
    EXPECT_EQ(0u, h.service ? ExitCode(h.service) : 0) << "the service process";
    const std::wstring record = site.Exists() ? Record(site) : L"";
    EXPECT_EQ(record.empty() ? L"" : L"STOPPED exit " + N(scmExit) + L"/0 no pid", record);
}

void StopByControl(const Site& site, const Hosting& h, std::wstring* seen) {
    SERVICE_STATUS status = {};
    ASSERT_TRUE(ControlService(ServiceOf(site.name).get(), SERVICE_CONTROL_STOP, &status))
        << "ControlService error " << GetLastError() << "; SCM record: " << Record(site);
    Note(status.dwCurrentState, seen);
    ASSERT_TRUE(site.WaitFor(SERVICE_STOPPED, seen)) << *seen;
    EXPECT_TRUE(Like(*seen, L"(START_PENDING )?RUNNING (STOP_PENDING )?STOPPED ")) << *seen;
    ExpectAllGone(site, h, 0, 0);
}

// How a run ends: the child ends with `code` while the service runs, the
// service is stopped, the child exits at once with `code` (Full: from an
// AppParameters of 1,024 characters stored without terminator), or the
// launch fails with `code`: the application or the directory is missing.
enum class End { Child, Stop, AtOnce, Full, Missing, NoDirectory };

TEST(ServiceE2E, RunsTheChildAsConfiguredUntilItsRunEnds) {
    const wchar_t *const ran = L"(START_PENDING )?RUNNING STOPPED ",
                         *const once = L"(START_PENDING )?(RUNNING )?STOPPED ",
                         *const failed = L"(START_PENDING )?STOPPED ";
    const struct {
        const char* what;
        End end;
        DWORD code;
        const wchar_t* states;  // a regular expression
    } rows[] = {
        {"the child ends with 7", End::Child, 7, ran},
        {"it ends with STILL_ACTIVE", End::Child, STILL_ACTIVE, ran},
        {"it ends with 0xBAD", End::Child, 0xBAD, ran},
        {"a stop control", End::Stop, 0, L"(START_PENDING )?RUNNING (STOP_PENDING )?STOPPED "},
        {"it exits at once with 0", End::AtOnce, 0, once},
        {"it exits at once with 0xC0000005", End::AtOnce, 0xC0000005, once},
        {"1,024 characters of AppParameters", End::Full, 3, once},
        {"the application does not exist", End::Missing, ERROR_FILE_NOT_FOUND, failed},
        {"the directory does not exist", End::NoDirectory, ERROR_DIRECTORY, failed},
    };
    Site site(L'S');
    ASSERT_NO_FATAL_FAILURE(Install(site));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::wstring seen;
        Hosting h;
        const bool waits = row.end == End::Child || row.end == End::Stop;
        std::wstring line = site.ChildLine(waits ? L"" : L"/exit:" + N(row.code));
        if (row.end == End::Full) line.resize(1024, L'x');
        if (waits) Launch(site, line, &h, &seen);
        const std::wstring app = row.end == End::Missing ? site.work + L"\\no.exe" : ChildExe();
        const std::wstring dir = site.work + (row.end == End::NoDirectory ? L"\\gone" : L"");
        ASSERT_TRUE(waits ||
                    (site.Configure(app, line, dir, row.end != End::Full) && site.Start()));
        EXPECT_TRUE(row.end != End::Child || TerminateProcess(h.child.get(), row.code));
        if (row.end == End::Stop) StopByControl(site, h, &seen);
        ASSERT_TRUE(!HasFatalFailure() && site.WaitFor(SERVICE_STOPPED, &seen)) << seen;
        EXPECT_TRUE(Like(seen, row.states)) << seen;
        if (row.end == End::AtOnce || row.end == End::Full) {
            const std::wstring report = site.Report();
            EXPECT_EQ(Saw(site, line), report.substr(0, report.rfind(L'\n') + 1)) << report;
        }
        const bool fails = row.end == End::Missing || row.end == End::NoDirectory;
        ExpectAllGone(site, h, row.end == End::Child ? row.code : 0, fails ? row.code : 0);
        ASSERT_FALSE(HasFailure());
    }
}

// Two copies are two services, each with its own child; stopping one leaves
// the other running.
TEST(ServiceE2E, TwoCopiesRunSideBySide) {
    Site first(L'U'), second(L'V');
    Hosting one, two;
    std::wstring firstSeen, secondSeen;
    ASSERT_NO_FATAL_FAILURE(Install(first));
    ASSERT_NO_FATAL_FAILURE(Install(second));
    ASSERT_NO_FATAL_FAILURE(Launch(first, first.ChildLine(L""), &one, &firstSeen));
    ASSERT_NO_FATAL_FAILURE(Launch(second, second.ChildLine(L""), &two, &secondSeen));
    ASSERT_NO_FATAL_FAILURE(StopByControl(first, one, &firstSeen));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(two.child.get(), 0)) << "QELNV's child ended";
    EXPECT_EQ(DWORD{SERVICE_RUNNING}, second.Status().dwCurrentState);
}

// Before the switch: not installed, installed, installed and run once, or running.
enum class Setup { Fresh, Installed, Ran, Running };
struct ConsoleRow {
    wchar_t site;
    Setup setup;
    const wchar_t* option;
    const wchar_t* text;  // a regular expression: dots one a second while stop-pending
    DWORD exitCode;
    bool registered;  // afterwards
};

// Runs the switch; a service left registered reads back as installed (type,
// start, error control, quoted path, display name, account, no group,
// dependencies or tag), without a Parameters key.
void RunConsole(const Site& site, const ConsoleRow& row) {
    Hosting h;
    std::wstring seen;
    ASSERT_FALSE(site.Exists());
    if (row.setup != Setup::Fresh) Install(site);
    auto fine = [] { return !::testing::Test::HasFatalFailure(); };
    if (fine() && row.setup >= Setup::Ran) Launch(site, site.ChildLine(L""), &h, &seen);
    if (fine() && row.setup == Setup::Ran) StopByControl(site, h, &seen);
    ASSERT_TRUE(fine());
    RunResult run = site.Run(row.option);
    EXPECT_EQ(row.exitCode, run.exitCode);
    EXPECT_TRUE(Like(run.output, row.text)) << run.output;
    if (h.service) ExpectAllGone(site, h, 0, 0);
    ASSERT_EQ(row.registered, site.Exists());
    alignas(QUERY_SERVICE_CONFIGW) BYTE buffer[8192];
    auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
    DWORD needed = 0;
    if (!row.registered || !QueryServiceConfigW(ServiceOf(site.name).get(), c, 8192, &needed))
        return;
    auto text = [](const wchar_t* s) { return std::wstring(s ? s : L"") + L"|"; };
    EXPECT_EQ(N(SERVICE_WIN32_OWN_PROCESS) + L" " + N(SERVICE_AUTO_START) + L" " +
                  N(SERVICE_ERROR_NORMAL) + L" \"" + site.exe + L"\"|Quellith Group " +
                  site.name.back() + L"|LocalSystem|||0",
              N(c->dwServiceType) + L" " + N(c->dwStartType) + L" " + N(c->dwErrorControl) + L" " +
                  text(c->lpBinaryPathName) + text(c->lpDisplayName) + text(c->lpServiceStartName) +
                  text(c->lpLoadOrderGroup) + text(c->lpDependencies) + N(c->dwTagId));
    HKEY parameters = nullptr;
    EXPECT_TRUE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, (site.key + L"\\Parameters").c_str(), 0, KEY_READ,
                              &parameters))
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
        {L'9', Setup::Fresh, L"/Install", L"QELN9 installed\\.\n", 0, true},
        {L'1', Setup::Fresh, L"-installx", L"", 0, false},
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
        ASSERT_NO_FATAL_FAILURE(StopByControl(site, h, &seen));
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

// Each road of areas/roads.txt: a start writes the UPS area before it
// launches anything when the area has no Config key; the next start writes
// nothing, and a user's edit made between them stays.
TEST(UpsPrimeE2E, FirstStartPrimesTheAreaAndTheNextStartLeavesIt) {
    Site site(L'P');
    ASSERT_NO_FATAL_FAILURE(Install(site));
    // The application does not exist: each run ends right after the priming.
    ASSERT_TRUE(site.Configure(site.work + L"\\missing.exe", L"missing"));
    ups_area::Area primed;
    for (const ups_area::Road& road : ups_area::Roads(&primed)) {
        SCOPED_TRACE(road.title);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, ups_area::kUps.c_str());
        ASSERT_EQ("", ups_area::Dump()) << "the UPS area could not be removed";
        ups_area::Area before, after = primed;
        for (const std::string& line : road.before) {
            ups_area::Write(line);
            ups_area::Apply(&before, line);
            ups_area::Apply(&after, line);
        }
        for (const std::string& line : road.after)
            line == "*" ? void(after = before) : ups_area::Apply(&after, line);
        for (int start = 1; start <= 2; ++start) {
            std::wstring seen;
            ASSERT_TRUE(site.Start() && site.WaitFor(SERVICE_STOPPED, &seen)) << seen;
            EXPECT_TRUE(Like(seen, L"(START_PENDING )?STOPPED ")) << seen;
            EXPECT_EQ(ups_area::Text(after), ups_area::Dump()) << "after start " << start;
            for (const std::string& line : road.edit) {
                ups_area::Write(line);
                ups_area::Apply(&after, line);
            }
        }
    }
    EXPECT_GT(primed.size(), 30u) << "areas/primed.txt not read";
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, ups_area::kUps.c_str());
}

}  // namespace
}  // namespace e2e
