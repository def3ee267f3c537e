// The real host end to end: the service run (the child as configured, the
// ways its run ends) beside a second copy, the console switches and many
// cycles of them.
#include <gtest/gtest.h>

#include "harness.h"

namespace e2e {
namespace {

// A running service and the processes behind it, held open to see them end.
struct Hosting {
    Process service, child;
};

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
// report; the service shows its running record, the child is its child.
void Launch(const Site& site, const std::wstring& line, Hosting* h, std::wstring* seen) {
    ASSERT_TRUE(site.Configure(kChild, line) && site.Start());
    ASSERT_TRUE(site.WaitFor(SERVICE_RUNNING, seen)) << *seen << "; SCM record: " << Record(site);
    const std::wstring report = site.Report(), pid = report.substr(report.rfind(L' ') + 1);
    const DWORD process = site.Status().dwProcessId;
    // An own process (0x10) accepting a stop and a shutdown (1 | 4).
    EXPECT_EQ(L"RUNNING exit 0/0 type 16 accepts 5 pid", Record(site));
    ASSERT_EQ(Saw(site, line) + N(process) + L" " + pid, report) << "the child's report";
    h->child = OpenProcessOf(wcstoul(pid.c_str(), nullptr, 10));
    h->service = OpenProcessOf(process);
}

// How a run ended, said in one line for a failure: the states seen, how the
// service's process and the child ended (or that they still ran after the
// wait), with their ids in hex as Wine's debugger names them, and the SCM's
// record.
struct Ending {
    DWORD service = 0, child = 0;
    std::wstring record;
    std::string said;
};
Ending EndingOf(const Site& site, const Hosting& h, const std::wstring& seen) {
    Ending e;
    auto ended = [](const char* what, const Process& p, DWORD* code) {
        char text[96];
        *code = ExitCode(p);
        std::snprintf(text, sizeof text,
                      *code == 0xDEADBEEF ? "%s %#lx still running" : "%s %#lx ended with %#lx",
                      what, GetProcessId(p.get()), *code);
        return std::string(text);
    };
    if (h.service)
        e.said = ended("the service's process", h.service, &e.service) + ", " +
                 ended("the child", h.child, &e.child) + "; ";
    e.record = site.Exists() ? Record(site) : L"";
    e.said += "states seen " + Narrow(seen) + "; the SCM's record " + Narrow(e.record);
    return e;
}

// After STOPPED: the child ended with `childExit` and the service process
// with 0 (not within the wait: it outlived STOPPED), and the SCM's record
// carries `scmExit` and `specific`: 0 for a run that ended well or was
// stopped, the launch's error for a failed launch, ERROR_SERVICE_SPECIFIC_ERROR
// and the child's code for a child that failed.
void ExpectAllGone(const Site& site, const Hosting& h, DWORD childExit, DWORD scmExit,
                   DWORD specific = 0, const std::wstring& seen = L"") {
    const Ending e = EndingOf(site, h, seen);
    EXPECT_EQ(h.service ? childExit : 0, e.child) << "the child: " << e.said;
    EXPECT_EQ(0u, e.service) << (e.service == 0xDEADBEEF
                                     ? "the service's process outlived STOPPED: "
                                     : "the service's process: ")
                             << e.said;
    EXPECT_EQ(
        e.record.empty() ? L"" : L"STOPPED exit " + N(scmExit) + L"/" + N(specific) + L" no pid",
        e.record)
        << e.said;
}
void StopByControl(const Site& site, const Hosting& h, std::wstring* seen) {
    SERVICE_STATUS status = {};
    const BOOL sent = ControlService(ServiceOf(site.name).get(), SERVICE_CONTROL_STOP, &status);
    const DWORD error = GetLastError();
    ASSERT_TRUE(sent || (error == ERROR_BROKEN_PIPE && WineLostTheAnswer("ControlService(STOP)")))
        << "ControlService(STOP) failed with " << error << ": " << EndingOf(site, h, *seen).said;
    if (status.dwCurrentState != 0) Note(status.dwCurrentState, seen);
    ASSERT_TRUE(site.WaitFor(SERVICE_STOPPED, seen))
        << "no STOPPED: " << EndingOf(site, h, *seen).said;
    EXPECT_TRUE(Like(*seen, L"(START_PENDING )?RUNNING (STOP_PENDING )?STOPPED ")) << *seen;
    ExpectAllGone(site, h, 0, 0, 0, *seen);
}

// A console switch run on a site, after the service was launched (kRunning)
// or launched and stopped (kRan) when told. In `text`, a regular expression
// of what it writes to standard output and standard error, "@" stands for
// the service's name as printed.
enum Before { kAsItIs, kRunning, kRan };
struct ConsoleRow {
    const wchar_t *option, *text;
    DWORD exitCode;
    bool registered;  // afterwards
    Before before;
};

// Runs the switch; a service left registered reads back as installed (type,
// start, error control, quoted path, display name, account, no group,
// dependencies or tag), without a Parameters key.
void RunConsole(const Site& site, const ConsoleRow& row) {
    ASSERT_FALSE(site.foreign) << Narrow(site.name)
                               << " is this machine's own service: not touched";
    ASSERT_TRUE(site.ready) << "could not copy the host into " << Narrow(site.dir);
    Hosting h;
    std::wstring seen, text = row.text, name = Escaped(site.printed);
    for (std::size_t at = text.find(L'@'); at != std::wstring::npos; at = text.find(L'@'))
        text.replace(at, 1, name);
    if (row.before != kAsItIs) Launch(site, site.ChildLine(L""), &h, &seen);
    if (row.before == kRan && !::testing::Test::HasFatalFailure()) StopByControl(site, h, &seen);
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    RunResult run = site.Run(row.option);
    EXPECT_EQ(row.exitCode, run.exitCode);
    // A stop whose answer Wine lost (StopByControl) says nothing of it.
    EXPECT_TRUE(Like(run.output, text) ||
                (row.before == kRunning && Like(run.output, name + L" removed\\.\n") &&
                 WineLostTheAnswer("-remove")))
        << run.output;
    if (h.service) ExpectAllGone(site, h, 0, 0, 0, seen);
    ASSERT_EQ(row.registered, site.Exists());
    if (!row.registered) return;
    EXPECT_EQ(N(SERVICE_WIN32_OWN_PROCESS) + L" " + N(SERVICE_AUTO_START) + L" " +
                  N(SERVICE_ERROR_NORMAL) + L" \"" + site.exe + L"\"|Quellith Group " +
                  site.name.back() + L"|LocalSystem|||0",
              site.Registration());
    EXPECT_FALSE(KeyExists((site.key + L"\\Parameters").c_str())) << "install wrote Parameters";
}

// In turn on one site; the last four, many times over, are the soak.
const ConsoleRow kConsole[] = {
    // clang-format off
    {L"-installx", L"", 0, false, kAsItIs},
    {L"-remove", L"", 0, false, kAsItIs},
    {L"/Install", L"@ installed\\.\n", 0, true, kAsItIs},
    {L"-install", L"", 0xFFFFFFFF, true, kAsItIs},
    {L"-remove", L"@ removed\\.\n", 0, false, kAsItIs},
    {L"-install", L"@ installed\\.\n", 0, true, kAsItIs},
    {L"-remove", L"Stopping @\\.*\n@ stopped\\.\n@ removed\\.\n", 0, false, kRunning},
    {L"-install", L"@ installed\\.\n", 0, true, kAsItIs},
    {L"-remove", L"@ removed\\.\n", 0, false, kRan},
    // clang-format on
};
const ConsoleRow &kInstall = kConsole[5], &kRemove = kConsole[4];

TEST(ConsoleE2E, InstallAndRemove) {
    Site site(L'3');
    for (const ConsoleRow& row : kConsole) {
        SCOPED_TRACE(testing::Message() << "the row of " << &row - kConsole);
        ASSERT_NO_FATAL_FAILURE(RunConsole(site, row));
    }
}

// A copy names itself after the last whole character of the name of its
// directory; a pipe shows the name in the console's code page, a character it
// lacks as "?" (a console shows it whole: ConsoleE2E.OnARealConsole). (A copy
// started through its 8.3 path is a console check too: Wine hands a program
// started by another the long form of its path.) It runs as LocalSystem:
// -install says when ordinary users could replace it, and installs all the
// same.
TEST(ConsoleE2E, NamesTheServiceAfterTheDirectorysLastCharacter) {
    // The instance character: in the OEM code pages of Western Europe, in none
    // of them, a digit with a combining mark. E, F and G are open to Everyone:
    // the copy's directory, its exe alone, a directory above it (Wine keeps no
    // permissions but the mode's "other" bits, which read back as Everyone may
    // write, append and delete, and delete a directory's children; 0x42 adds
    // creating files to deleting children, so that Wine sets the write bit).
    const struct {
        wchar_t c;
        // `warns`: a regular expression of what follows the path of `open` in the warning
        const wchar_t *leaf, *open = L"", *permissions = L"", *warns = L"";
    } copies[] = {
        {L'\u00e9', L"site\u00e9"},
        {L'\u0416', L"site\u0416"},
        {L'3', L"site3\u0301"},
        {L'E', L"siteE", L"siteE", L"D:(A;;0x1301ff;;;WD)", L"\\\\ \\(delete child, delete\\)"},
        {L'F', L"siteF", L"siteF\\qelnhost.exe", L"D:(A;;FW;;;WD)",
         L" \\(write data, append data(, delete)?\\)"},
        {L'G', L"open\\siteG", L"open", L"D:(A;;0x42;;;WD)", L"\\\\ \\(delete child(, delete)?\\)"},
    };
    for (const auto& copy : copies) {
        SCOPED_TRACE(testing::Message() << "the copy in " << Narrow(copy.leaf));
        Site site(copy.c, copy.leaf);
        const std::wstring open = kSites + L"\\" + copy.open;
        ASSERT_TRUE(!*copy.open || SetPermissions(open, copy.permissions)) << GetLastError();
        const std::wstring warning =
            *copy.open ? L"Warning: Everyone can change " + Escaped(open) + copy.warns +
                             L": any of them could replace qelnhost\\.exe, which runs as "
                             L"LocalSystem\\.\n"
                       : L"";
        const std::wstring text = warning + kInstall.text;
        ASSERT_NO_FATAL_FAILURE(RunConsole(site, {L"-install", text.c_str(), 0, true, kAsItIs}));
        ASSERT_NO_FATAL_FAILURE(RunConsole(site, kRemove));
    }
}

// How a run ends: the child ends with `code` while the service runs, the
// service is stopped, the child exits at once with `code` (Full: from an
// AppParameters of 1,024 characters stored without terminator), the launch
// fails with `code` (the application or the directory is missing), or the
// service's process is ended from outside, as Task Manager's "End task" or a
// crash would end it.
enum class End { Child, Stop, AtOnce, Full, Missing, NoDirectory, HostKilled };

TEST(ServiceE2E, RunsTheChildAsConfiguredUntilItsRunEnds) {
    // clang-format off
    const wchar_t *const ran = L"(START_PENDING )?RUNNING STOPPED ",
                  *const once = L"(START_PENDING )?(RUNNING )?STOPPED ",
                  *const failed = L"(START_PENDING )?STOPPED ",
                  *const stopped = L"(START_PENDING )?RUNNING (STOP_PENDING )?STOPPED ";
    const struct {
        const char* what;
        End end;
        DWORD code;
        const wchar_t* states;  // a regular expression
        DWORD type = REG_SZ;    // of the Parameters values
    } rows[] = {
        {"the child ends with 7", End::Child, 7, ran},
        {"it ends with STILL_ACTIVE", End::Child, STILL_ACTIVE, ran},
        {"it ends with 0xBAD", End::Child, 0xBAD, ran},
        {"it ends with 1, the commonest failure", End::Child, 1, ran},
        {"it ends with 0xFFFFFFFF, as exit(-1)", End::Child, 0xFFFFFFFF, ran},
        {"a stop control; the child's own child lives on", End::Stop, 0, stopped},
        {"it exits at once with 0", End::AtOnce, 0, once},
        {"it exits at once with 0xC0000005", End::AtOnce, 0xC0000005, once},
        {"1,024 characters of AppParameters", End::Full, 3, once},
        {"the application does not exist", End::Missing, ERROR_FILE_NOT_FOUND, failed},
        {"the directory does not exist", End::NoDirectory, ERROR_DIRECTORY, failed},
        // Used as stored: %SystemRoot% in the command line stays as it is.
        {"values stored as REG_EXPAND_SZ", End::AtOnce, 0, once, REG_EXPAND_SZ},
        // Not strings: missing, so nothing is named (the error is the system's).
        {"values stored as REG_BINARY", End::Missing, 0, failed, REG_BINARY},
        // The child goes with its host (the job's last handle closes), its
        // own child lives on, and the next start and stop go as ever.
        {"the service's process ended from outside", End::HostKilled, 0, stopped},
    };  // clang-format on
    // A second copy runs beside it throughout: two services, each with its
    // own child, and stopping one leaves the other running.
    Site site(L'S'), other(L'T');
    Hosting beside;
    std::wstring besideSeen;
    ASSERT_NO_FATAL_FAILURE(RunConsole(site, kInstall));
    ASSERT_NO_FATAL_FAILURE(RunConsole(other, kInstall));
    ASSERT_NO_FATAL_FAILURE(Launch(other, other.ChildLine(L""), &beside, &besideSeen));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::wstring seen;
        Hosting h;
        const bool spawns = row.end == End::Stop || row.end == End::HostKilled;
        const bool waits = spawns || row.end == End::Child;
        const std::wstring spawn = L"/spawn:\"" + site.work + L"\\grandchild.txt\"";
        std::wstring line = site.ChildLine(waits ? spawns ? spawn : L"" : L"/exit:" + N(row.code));
        if (row.end == End::Full) line.resize(1024, L'x');
        if (waits) Launch(site, line, &h, &seen);
        // The process the child started, once it has reported, held open to
        // see that it lives on.
        if (spawns) site.Report(L"grandchild.txt");
        const Process grandchild =
            OpenProcessOf(spawns ? ChildProcessId(site.work + L"\\grandchild.txt") : 0);
        if (row.end == End::HostKilled) {
            ASSERT_TRUE(TerminateProcess(h.service.get(), 1)) << GetLastError();
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h.child.get(), 10000))
                << "the child outlived its host";
            seen.clear();
            h = Hosting();
            Launch(site, site.ChildLine(L""), &h, &seen);
        }
        const bool named = row.end != End::Missing || row.type == REG_BINARY;
        const std::wstring app = named ? kChild : site.work + L"\\no.exe";
        const std::wstring dir = site.work + (row.end == End::NoDirectory ? L"\\gone" : L"");
        ASSERT_TRUE(waits || (site.Configure(app, line, dir, row.end != End::Full, row.type) &&
                              site.Start()));
        EXPECT_TRUE(row.end != End::Child || TerminateProcess(h.child.get(), row.code));
        if (row.end == End::Stop || row.end == End::HostKilled) StopByControl(site, h, &seen);
        EXPECT_TRUE(!spawns || WaitForSingleObject(grandchild.get(), 0) == WAIT_TIMEOUT)
            << "the child's own child ended with it";
        ASSERT_TRUE(!HasFatalFailure() && site.WaitFor(SERVICE_STOPPED, &seen)) << seen;
        EXPECT_TRUE(Like(seen, row.states)) << seen;
        if (row.end == End::AtOnce || row.end == End::Full) {
            const std::wstring report = site.Report();
            EXPECT_EQ(Saw(site, line), report.substr(0, report.rfind(L'\n') + 1)) << report;
        }
        const bool fails = row.end == End::Missing || row.end == End::NoDirectory;
        const DWORD error = row.code || !fails ? row.code : site.Status().dwWin32ExitCode;
        EXPECT_TRUE(!fails || error != 0) << "a failed launch recorded as a clean end";
        // A child that ends by itself with a non-zero code has failed.
        const DWORD specific = fails ? 0 : row.code;
        const DWORD scm = fails ? error : specific ? ERROR_SERVICE_SPECIFIC_ERROR : 0;
        ExpectAllGone(site, h, row.end == End::Child ? row.code : 0, scm, specific, seen);
        ASSERT_FALSE(HasFailure());
    }
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(beside.child.get(), 0)) << "QELNT's child ended";
    StopByControl(other, beside, &besideSeen);
}

// One installed service started and stopped 100 times.
TEST(SoakE2E, StartAndStopOneServiceManyTimes) {
    Site site(L'A');
    ASSERT_NO_FATAL_FAILURE(RunConsole(site, kInstall));
    for (int cycle = 1; cycle <= 100 && !HasFailure(); ++cycle) {
        SCOPED_TRACE(testing::Message() << "start/stop cycle " << cycle);
        Hosting h;
        std::wstring seen;
        ASSERT_NO_FATAL_FAILURE(Launch(site, site.ChildLine(L""), &h, &seen));
        ASSERT_NO_FATAL_FAILURE(StopByControl(site, h, &seen));
    }
}

// Install, start, stop, remove, 20 times; every second remove stops the service.
TEST(SoakE2E, InstallStartStopRemoveManyTimes) {
    Site site(L'B');
    for (int cycle = 1; cycle <= 10 && !HasFailure(); ++cycle) {
        SCOPED_TRACE(testing::Message()
                     << "install cycles " << 2 * cycle - 1 << " and " << 2 * cycle);
        for (const ConsoleRow* row = &kInstall; row < std::end(kConsole); ++row)
            ASSERT_NO_FATAL_FAILURE(RunConsole(site, *row));
    }
}

}  // namespace
}  // namespace e2e
