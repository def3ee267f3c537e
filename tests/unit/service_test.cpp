// The service host on the simulated platform, for what the real SCM under
// Wine cannot show: a call failing at the Nth use, the shutdown control, a
// stop at each point of the start, the tones, the remove command's poll
// stages, buffer edges of the Parameters values, and paths and switches the
// end-to-end tables (tests/e2e) do not reach.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "platform/owned.h"
#include "platform/sim/sim.h"
#include "service/entry.h"
#include "service/naming.h"
#include "service/service_run.h"
#include "tests/contract/ups_area.h"

using platform::DWORD;
using sim::Op;

namespace {

const char16_t kParams[] = u"SYSTEM\\CurrentControlSet\\Services\\QELN3\\Parameters";
const char16_t kApp[] = u"C:\\apps\\child.exe";

DWORD RunEntry(std::vector<std::string> args) {
    args.insert(args.begin(), "qelnhost.exe");
    std::vector<char*> argv;
    for (auto& s : args)
        argv.push_back(&s[0]);
    argv.push_back(nullptr);
    return ProcessEntry(static_cast<int>(args.size()), argv.data());
}

bool Starts(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

// The run as a short story, one token per event: "r<state>" a status report
// ("r1!<code>" for STOPPED with an exit code; in full when any other field
// differs from what the host always reports),
// "L" a launch ("L!" failed), "T<code>" a termination, "B<hertz>/<ms>" a
// tone, "S<ms>" a pause. With `console`: the console text, "~" a 1 s pause.
std::string Story(bool console = false) {
    std::string story;
    for (const std::string& e : sim::Events()) {
        std::string arg = e.substr(e.find(' ') + 1);
        if (console) {
            story += Starts(e, "Console ") ? arg : e == "Sleep 1000" ? "~" : "";
        } else if (Starts(e, "SetServiceStatus")) {
            const std::string state = e.substr(e.find("state=") + 6, 1);
            const std::string exit =
                e.substr(e.find("exit=") + 5, e.find(" specific") - e.find("exit=") - 5);
            story += (e == "SetServiceStatus type=16 state=" + state + " accepted=5 exit=" + exit +
                                      " specific=0 check=1 hint=15000" &&
                              (exit == "0" || state == "1")
                          ? "r" + state + (exit == "0" ? "" : "!" + exit)
                          : e) +
                     " ";
        } else if (Starts(e, "CreateProcessW")) {
            story += e.find(" failed") != std::string::npos ? "L! " : "L ";
        } else if (Starts(e, "TerminateProcess")) {
            story += "T" + e.substr(e.find("code=") + 5) + " ";
        } else if (Starts(e, "Beep") || Starts(e, "Sleep")) {
            std::replace(arg.begin(), arg.end(), ' ', '/');
            story += e.substr(0, 1) + arg + " ";
        }
    }
    return story;
}

void Stop(void*) {
    sim::SendControl(platform::SERVICE_CONTROL_STOP);
}

void EndChild(void*) {
    sim::ExitChildren(0);
}

enum Setup {
    kNoParameters = 1,
    kNoExecutable = 2,
    kStopAfterRegistration = 4,
    kStopBeforeLaunch = 8
};

class HostTest : public ::testing::Test {
protected:
    void SetUp() override { Fresh(); }
    void TearDown() override {
        if (service_.joinable()) service_.join();
        sim::Reset();
        ResetServiceRun();
    }
    // A fresh machine with this copy in C:\agents\site3, the Parameters of
    // a child and the child itself, less what `without` names.
    static void Fresh(int without = 0) {
        sim::Reset();
        ResetServiceRun();
        sim::SetModulePath(u"C:\\agents\\site3\\qelnhost.exe");
        if ((without & kNoParameters) == 0) {
            sim::RegSetRaw(kParams, u"Application", platform::REG_SZ, ups_area::Sz(kApp));
            sim::RegSetRaw(kParams, u"AppParameters", platform::REG_SZ, ups_area::Sz(u"child.exe"));
            sim::RegSetRaw(kParams, u"AppDirectory", platform::REG_SZ, ups_area::Sz(u"C:\\apps"));
        }
        if ((without & kNoExecutable) == 0) sim::AddExecutable(kApp);
    }
    // Starts the process as the SCM would, on its own thread.
    void StartService() {
        sim::SetStartedBySCM();
        service_ = std::thread([this] { exit_code_ = RunEntry({}); });
    }
    // Waits for the entry to end: exit code 0, the dispatcher returned once,
    // STOPPED reported last, no child left, nothing leaked.
    void JoinService() {
        service_.join();
        EXPECT_EQ(exit_code_, 0u);
        const std::string story = Story();
        EXPECT_EQ(story.find("r1"), story.rfind("r"));
        const auto events = sim::Events();
        EXPECT_EQ(std::count(events.begin(), events.end(), "Dispatcher returned"), 1);
        EXPECT_EQ(sim::LiveChildren(), 0);
        ExpectNothingLeft();
    }
    static void ExpectNothingLeft() {
        EXPECT_EQ(sim::LiveAllocations(), 0u);
        EXPECT_EQ(sim::OpenHandles(), 0u);
    }

    std::thread service_;
    DWORD exit_code_ = 12345;
};

std::string Owned(char16_t* text) {
    platform::WideOwner owner(text);
    return owner ? sim::U8(owner.get()) : std::string("<none>");
}

TEST_F(HostTest, NamesComeFromTheLastCharacterOfTheDirectory) {
    const std::u16string deep =
        u"C:\\" + std::u16string(300, u'a') + u"\\" + std::u16string(400, u'b') + u"Z\\host.exe";
    const struct {
        std::u16string path;
        const char* suffix;
    } cases[] = {
        {u"C:\\host.exe", ":"},
        {u"C:\\x\\site12\\host.exe", "2"},  // site12 and site2 share one name
        {u"\\\\?\\C:\\x\\siteQ\\host.exe", "Q"},
        {deep, "Z"},             // longer than 260 characters: read whole, never cut
        {u"host.exe", nullptr},  // no backslash
        {u"", nullptr},          // the module-path query fails
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(sim::U8(c.path).substr(0, 60));
        sim::SetModulePath(c.path);
        const std::string suffix = c.suffix != nullptr ? c.suffix : "<none>";
        EXPECT_EQ(Owned(GetInstanceSuffix()), suffix);
        EXPECT_EQ(Owned(BuildServiceName()), c.suffix ? "QELN" + suffix : suffix);
        EXPECT_EQ(Owned(BuildDisplayName()), c.suffix ? "Quellith Group " + suffix : suffix);
        EXPECT_EQ(sim::LiveAllocations(), 0u);
    }
}

TEST_F(HostTest, OnlyTheFirstArgumentSelectsTheJob) {
    enum Job { kNothing, kInstall, kRemove, kDispatch };
    const struct {
        std::vector<std::string> args;
        Job job;
    } cases[] = {
        {{"-INSTALL"}, kInstall},
        {{"/Install"}, kInstall},
        {{"-install", "-remove"}, kInstall},
        {{"install"}, kDispatch},  // not a switch
        {{}, kDispatch},
        {{""}, kDispatch},
        {{"-"}, kNothing},
        {{"/"}, kNothing},
        {{"-installx"}, kNothing},
        {{"--install"}, kNothing},
        {{"-\xC9NSTALL"}, kNothing},  // bytes above 0x7F are never folded
        {{"-remove", "extra"}, kRemove},
        {{"/REMOVE"}, kRemove},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.empty() ? std::string("(none)") : c.args[0]);
        Fresh();
        EXPECT_EQ(RunEntry(c.args), 0u);
        EXPECT_EQ(sim::CallCount(Op::CreateServiceW), c.job == kInstall ? 1 : 0);
        EXPECT_EQ(sim::CallCount(Op::OpenServiceW), c.job == kRemove ? 1 : 0);
        EXPECT_EQ(sim::CallCount(Op::StartServiceCtrlDispatcherW), c.job == kDispatch ? 1 : 0);
        EXPECT_EQ(Story(true), c.job == kInstall ? "QELN3 installed.\n" : "");
        ExpectNothingLeft();
    }
    // Without an instance name nothing runs at all.
    Fresh();
    sim::SetModulePath(u"host.exe");
    for (const char* arg : {"-install", "-remove", "serve"})
        EXPECT_EQ(RunEntry({arg}), 0u);
    EXPECT_EQ(sim::CallCount(Op::OpenSCManagerW) + sim::CallCount(Op::CreateServiceW), 0);
    EXPECT_EQ(Story(true), "");
}

// The console commands where a call fails or a stop takes its time. A plain
// install, a taken name, and a remove of what is not installed, not running
// or stops within a poll or two: ConsoleE2E.InstallAndRemove, rows QELN3,
// QELN4, QELN8, QELN6, QELN7 and QELN5.
TEST_F(HostTest, ConsoleCommandsReportEachStage) {
    const DWORD stopped = platform::SERVICE_STOPPED;
    const struct {
        const char* name;
        int pending;  // the service before: -2 not installed, -1 installed and stopped
        DWORD final_state;
        Op fail;  // Op::Count when installing: the module path cannot be read
        int fail_nth;
        DWORD exit_code;
        const char* transcript;
    } cases[] = {
        {"-install, no module path", -2, 0, Op::Count, 0, 0, ""},
        {"-install, no SCM", -2, 0, Op::OpenSCManagerW, 1, 0, ""},
        {"-install, creation fails", -2, 0, Op::CreateServiceW, 1, 0xFFFFFFFF, ""},
        {"-remove, three pending polls", 3, stopped, Op::Count, 0, 0,
         "Stopping QELN3.~.~.~.~\nQELN3 stopped.\nQELN3 removed.\n"},
        {"-remove, ends running", 1, platform::SERVICE_RUNNING, Op::Count, 0, 0,
         "Stopping QELN3.~.~\nQELN3 failed to stop.\nQELN3 removed.\n"},
        {"-remove, query fails mid-poll", 5, stopped, Op::QueryServiceStatus, 3, 0,
         "Stopping QELN3.~.~.~\nQELN3 failed to stop.\nQELN3 removed.\n"},
        {"-remove, deletion fails", -1, 0, Op::DeleteService, 1, 0, ""},
        {"-remove, no SCM", -1, 0, Op::OpenSCManagerW, 1, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        if (c.pending > -2) {
            ASSERT_EQ(RunEntry({"-install"}), 0u);
        }
        if (c.pending >= 0) sim::SetRunning(u"QELN3", c.pending, c.final_state);
        if (c.pending == -2 && c.fail == Op::Count) sim::SetModulePath(u"");
        const std::string before = Story(true);
        sim::FailNth(c.fail, c.fail_nth, true);
        const std::string name = c.name;
        EXPECT_EQ(RunEntry({name.substr(0, name.find(','))}), c.exit_code);
        EXPECT_EQ(Story(true).substr(before.size()), c.transcript);
        EXPECT_EQ(sim::ServiceExists(u"QELN3"), c.pending > -2 && c.transcript[0] == 0);
        ExpectNothingLeft();
    }
}

// The child exiting by itself and a stop while RUNNING:
// ServiceE2E.RunsTheChildAsConfiguredUntilItsRunEnds, its exit and stop rows.
TEST_F(HostTest, EveryRoadOfTheServiceRun) {
    const struct {
        const char* name;
        int setup;
        Op fail;                      // its first call fails
        std::vector<DWORD> controls;  // sent while RUNNING; then the child exits
        const char* story;
    } cases[] = {
        {"shutdown", 0, Op::Count, {5}, "r2 L r4 r3 T0 r1 S500 "},
        {"interrogate and pause are ignored", 0, Op::Count, {4, 2}, "r2 L r4 r1 S500 "},
        {"no Parameters key",
         kNoParameters,
         Op::Count,
         {},
         "B2000/6000 r2 L! r1!2 B1000/6000 S500 "},
        {"application missing", kNoExecutable, Op::Count, {}, "r2 L! r1!2 B1000/6000 S500 "},
        {"launch denied", 0, Op::CreateProcessW, {}, "r2 L! r1!5 B1000/6000 S500 "},
        {"registration fails", 0, Op::RegisterServiceCtrlHandlerW, {}, "S500 "},
        {"first report fails", 0, Op::SetServiceStatus, {}, "S500 "},
        {"stop before START_PENDING", kStopAfterRegistration, Op::Count, {}, "r2 r3 r1 S500 "},
        {"stop during the launch", kStopBeforeLaunch, Op::Count, {}, "r2 r3 L T0 r1 S500 "},
        {"stop during a failed launch: no tone",
         kStopBeforeLaunch | kNoExecutable,
         Op::Count,
         {},
         "r2 r3 L! r1 S500 "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh(c.setup);
        sim::FailNth(c.fail, 1);
        if (c.setup & kStopAfterRegistration) {
            sim::OnCall(Op::RegisterServiceCtrlHandlerW, true, Stop, nullptr);
        }
        if (c.setup & kStopBeforeLaunch) sim::OnCall(Op::CreateProcessW, false, Stop, nullptr);
        StartService();
        if (std::string(c.story).find("r4") != std::string::npos) {
            ASSERT_TRUE(sim::WaitForEvent("SetServiceStatus type=16 state=4"));
            for (DWORD control : c.controls)
                sim::SendControl(control);
            sim::ExitChildren(3);
        }
        JoinService();
        EXPECT_EQ(Story(), c.story);
    }
}

// The configured line as such: the e2e run table.
TEST_F(HostTest, ParametersAreLaunchedExactlyAndEndTerminatedInsideTheirBuffers) {
    const std::u16string full(1024, u'x');  // exactly 2048 bytes, no terminator
    const struct {
        const char* name;
        const char16_t* value_name;
        DWORD type;
        std::vector<uint8_t> data;
        std::string app;
        std::string cmd;
    } cases[] = {
        {"command line fills its buffer", u"AppParameters", platform::REG_SZ,
         ups_area::Sz(full, false), "C:\\apps\\child.exe", std::string(1024, 'x')},
        {"command line too large", u"AppParameters", platform::REG_SZ, ups_area::Sz(full + u"y"),
         "C:\\apps\\child.exe", ""},
        {"application not a string",
         u"Application",
         platform::REG_DWORD,
         {1, 2, 3, 4},
         "",
         "child.exe"},
        {"application unexpanded", u"Application", platform::REG_EXPAND_SZ,
         ups_area::Sz(u"%SystemRoot%\\child.exe"), "%SystemRoot%\\child.exe", "child.exe"},
        {"application of 520 bytes", u"Application", platform::REG_SZ,
         ups_area::Sz(std::u16string(260, u'a'), false), std::string(260, 'a'), "child.exe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        sim::RegSetRaw(kParams, c.value_name, c.type, c.data);
        sim::OnCall(Op::CreateProcessW, true, EndChild, nullptr);
        StartService();
        JoinService();
        const std::string line =
            "CreateProcessW app=" + c.app + " cmd=" + c.cmd +
            " dir=C:\\apps inherit=1 flags=8 cb=" + std::to_string(sizeof(platform::STARTUPINFOW)) +
            " rest=0";
        const auto events = sim::Events();
        const bool launched = c.app == "C:\\apps\\child.exe";
        EXPECT_EQ(std::count(events.begin(), events.end(), launched ? line : line + " failed"), 1);
    }
}

// The Nth allocation failing, for every N, in each job: the job ends in one of
// its defined outcomes and nothing leaks, stays open or stays alive.
TEST_F(HostTest, EveryAllocationFailureLeavesADefinedOutcome) {
    const struct {
        std::string arg;  // "" runs the service
        std::vector<std::string> outcomes;
    } jobs[] = {
        {"-install", {"", "QELN3 installed.\n"}},
        {"-remove", {"", "Stopping QELN3.~.~\nQELN3 stopped.\nQELN3 removed.\n"}},
        {"", {"", "2 4 1 ", "2 1 "}},  // the service run: its status reports
    };
    for (const auto& job : jobs) {
        int n = 1;
        for (bool reached = true; reached; ++n) {
            SCOPED_TRACE(job.arg + " N=" + std::to_string(n));
            Fresh();
            if (job.arg == "-remove") {
                ASSERT_EQ(RunEntry({"-install"}), 0u);
                sim::SetRunning(u"QELN3", 1, platform::SERVICE_STOPPED);
            }
            if (job.arg.empty()) sim::SetStartedBySCM();
            sim::OnCall(Op::CreateProcessW, true, EndChild, nullptr);
            const std::string before = Story(true);
            sim::FailNth(Op::HeapAllocate, n);
            EXPECT_EQ(RunEntry(job.arg.empty() ? std::vector<std::string>{}
                                               : std::vector<std::string>{job.arg}),
                      0u);
            reached = !sim::FailurePending(Op::HeapAllocate);
            sim::FailNth(Op::HeapAllocate, 0);
            ExpectNothingLeft();
            EXPECT_EQ(sim::LiveChildren(), 0);
            std::string outcome = Story(true).substr(before.size());
            for (const std::string& e :
                 job.arg.empty() ? sim::Events() : std::vector<std::string>{})
                outcome += Starts(e, "SetServiceStatus") ? e.substr(e.find("state=") + 6, 2) : "";
            EXPECT_EQ(std::count(job.outcomes.begin(), job.outcomes.end(), outcome), 1) << outcome;
            if (job.arg == "-install") {
                EXPECT_EQ(sim::ServiceExists(u"QELN3"), outcome != "");
            }
        }
        EXPECT_GT(n, 3);  // at least one allocation was failed
    }
}

}  // namespace
