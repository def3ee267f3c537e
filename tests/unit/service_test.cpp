// The service host on the simulated platform, for what the real SCM under
// Wine cannot show: failures at the Nth call, the shutdown control, a stop at
// each point of the start, the tones, and every road of the switch table,
// the naming and the remove command.
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

std::string Owned(char16_t* text) {
    platform::WideOwner owner(text);
    return owner ? sim::U8(owner.get()) : std::string("<none>");
}

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
// (in full when any other field differs from what the host always reports),
// "L" a launch ("L!" failed), "T<code>" a termination, "B<hertz>/<ms>" a
// tone, "S<ms>" a pause.
std::string Story() {
    std::string story;
    for (const std::string& e : sim::Events()) {
        const std::string arg = e.substr(e.find(' ') + 1);
        if (Starts(e, "SetServiceStatus")) {
            const std::string state = e.substr(e.find("state=") + 6, 1);
            const bool usual = e == "SetServiceStatus type=16 state=" + state +
                                        " accepted=5 exit=0 specific=0 check=1 hint=15000";
            story += (usual ? "r" + state : e) + " ";
        } else if (Starts(e, "CreateProcessW")) {
            story += e.find(" failed") != std::string::npos ? "L! " : "L ";
        } else if (Starts(e, "TerminateProcess")) {
            story += "T" + e.substr(e.find(" code=") + 6) + " ";
        } else if (Starts(e, "Beep")) {
            story += "B" + std::string(arg).replace(arg.find(" "), 1, "/") + " ";
        } else if (Starts(e, "Sleep")) {
            story += "S" + arg + " ";
        }
    }
    return story;
}

void StopAndWait(void*) {
    sim::SendControl(platform::SERVICE_CONTROL_STOP);
    sim::WaitForEvent("Control 1 done");
}

void EndNewChild(void*) {
    for (DWORD pid : sim::Children())
        sim::ExitChild(pid, 0);
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
    void Fresh(int without = 0) {
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
        sim::SetStartedBySCM(true);
        service_ = std::thread([this] { exit_code_ = RunEntry({}); });
    }
    // Waits for the entry to end: exit code 0, the dispatcher returned once
    // and after STOPPED, no child left, nothing leaked.
    void JoinService() {
        service_.join();
        EXPECT_EQ(exit_code_, 0u);
        const auto events = sim::Events();
        const auto returned = std::find(events.begin(), events.end(), "Dispatcher returned");
        ASSERT_NE(returned, events.end());
        EXPECT_EQ(std::count(events.begin(), events.end(), "Dispatcher returned"), 1);
        EXPECT_EQ(std::find_if(returned, events.end(),
                               [](const std::string& e) { return Starts(e, "SetServiceStatus"); }),
                  events.end());
        for (DWORD pid : sim::Children())
            EXPECT_FALSE(sim::ChildAlive(pid));
        ExpectNothingLeft();
    }
    static void ExpectNothingLeft() {
        EXPECT_EQ(sim::LiveAllocations(), 0u);
        EXPECT_EQ(sim::OpenHandles(), 0u);
    }

    std::thread service_;
    DWORD exit_code_ = 12345;
};

TEST_F(HostTest, NamesComeFromTheLastCharacterOfTheDirectory) {
    const std::u16string deep =
        u"C:\\" + std::u16string(300, u'a') + u"\\" + std::u16string(400, u'b') + u"Z\\host.exe";
    const struct {
        std::u16string path;
        const char* suffix;
    } cases[] = {
        {u"D:\\agents\\site3\\host.exe", "3"},
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
        EXPECT_EQ(sim::ConsoleOutput(), c.job == kInstall ? "QELN3 installed.\n" : "");
        ExpectNothingLeft();
    }
    // Without an instance name nothing runs at all.
    Fresh();
    sim::SetModulePath(u"host.exe");
    for (const char* arg : {"-install", "-remove", "serve"})
        EXPECT_EQ(RunEntry({arg}), 0u);
    EXPECT_EQ(sim::CallCount(Op::OpenSCManagerW) + sim::CallCount(Op::CreateServiceW), 0);
    EXPECT_EQ(sim::ConsoleOutput(), "");
}

TEST_F(HostTest, InstallRegistersAQuotedAutoStartServiceOrSaysNothing) {
    const struct {
        Op fail;
        bool taken;
        DWORD exit_code;
    } cases[] = {
        {Op::Count, false, 0},
        {Op::Count, true, 0xFFFFFFFF},  // the name is taken
        {Op::GetModuleFileNameW, false, 0},
        {Op::OpenSCManagerW, false, 0},
        {Op::CreateServiceW, false, 0xFFFFFFFF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.fail));
        Fresh();
        if (c.taken) {
            ASSERT_EQ(RunEntry({"-install"}), 0u);
        }
        const std::string before = sim::ConsoleOutput();
        sim::FailNth(c.fail, 1, true);
        EXPECT_EQ(RunEntry({"-install"}), c.exit_code);
        const bool created = c.fail == Op::Count && !c.taken;
        EXPECT_EQ(sim::ConsoleOutput().substr(before.size()), created ? "QELN3 installed.\n" : "");
        EXPECT_EQ(sim::ServiceExists(u"QELN3"), created || c.taken);
        ExpectNothingLeft();
        const auto events = sim::Events();
        EXPECT_EQ(std::count(events.begin(), events.end(),
                             "CreateServiceW QELN3 display=Quellith Group 3 access=983551 type=16 "
                             "start=2 error=1 path=\"C:\\agents\\site3\\qelnhost.exe\" group=null "
                             "tag=null deps=[] account=null password=null"),
                  created || c.taken ? 1 : 0);
    }
}

// The console text with "~" for each one-second pause, in the order written.
std::string Transcript() {
    std::string out;
    for (const std::string& e : sim::Events()) {
        if (e == "Sleep 1000") out += "~";
        if (!Starts(e, "Console ")) continue;
        for (std::size_t i = 8; i < e.size(); ++i) {
            const bool line_break = e[i] == '\\' && i + 1 < e.size() && e[i + 1] == 'n';
            out += line_break ? '\n' : e[i];
            i += line_break ? 1 : 0;
        }
    }
    return out;
}

TEST_F(HostTest, RemoveReportsEachStageFromTheStoredState) {
    const struct {
        const char* name;
        bool installed;
        int pending;  // -1: not running
        DWORD final_state;
        Op fail;
        int fail_nth;
        const char* transcript;
    } cases[] = {
        {"not installed", false, -1, 0, Op::Count, 0, ""},
        {"not running", true, -1, 0, Op::Count, 0, "QELN3 removed.\n"},
        {"stops at once", true, 0, platform::SERVICE_STOPPED, Op::Count, 0,
         "Stopping QELN3.~\nQELN3 stopped.\nQELN3 removed.\n"},
        {"three pending polls", true, 3, platform::SERVICE_STOPPED, Op::Count, 0,
         "Stopping QELN3.~.~.~.~\nQELN3 stopped.\nQELN3 removed.\n"},
        {"ends running", true, 1, platform::SERVICE_RUNNING, Op::Count, 0,
         "Stopping QELN3.~.~\nQELN3 failed to stop.\nQELN3 removed.\n"},
        {"query fails mid-poll", true, 5, platform::SERVICE_STOPPED, Op::QueryServiceStatus, 3,
         "Stopping QELN3.~.~.~\nQELN3 failed to stop.\nQELN3 removed.\n"},
        {"deletion fails", true, -1, 0, Op::DeleteService, 1, ""},
        {"no SCM", true, -1, 0, Op::OpenSCManagerW, 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        if (c.installed) {
            ASSERT_EQ(RunEntry({"-install"}), 0u);
        }
        if (c.pending >= 0) sim::SetRunning(u"QELN3", c.pending, c.final_state);
        const std::string before = Transcript();
        sim::FailNth(c.fail, c.fail_nth, true);
        EXPECT_EQ(RunEntry({"-remove"}), 0u);
        EXPECT_EQ(Transcript().substr(before.size()), c.transcript);
        EXPECT_EQ(sim::ServiceExists(u"QELN3"), c.installed && c.transcript[0] == 0);
        ExpectNothingLeft();
    }
}

TEST_F(HostTest, EveryRoadOfTheServiceRun) {
    const struct {
        const char* name;
        int setup;
        Op fail;                      // its first call fails
        std::vector<DWORD> controls;  // sent while RUNNING; then the child exits
        const char* story;
    } cases[] = {
        {"child exits by itself", 0, Op::Count, {}, "r2 L r4 r1 S500 "},
        {"stop", 0, Op::Count, {1}, "r2 L r4 r3 T0 r1 S500 "},
        {"shutdown", 0, Op::Count, {5}, "r2 L r4 r3 T0 r1 S500 "},
        {"interrogate and pause are ignored", 0, Op::Count, {4, 2}, "r2 L r4 r1 S500 "},
        {"no Parameters key", kNoParameters, Op::Count, {}, "B2000/6000 r2 L! r1 B1000/6000 S500 "},
        {"application missing", kNoExecutable, Op::Count, {}, "r2 L! r1 B1000/6000 S500 "},
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
            sim::AfterCall(Op::RegisterServiceCtrlHandlerW, StopAndWait, nullptr);
        }
        if (c.setup & kStopBeforeLaunch) sim::BeforeCall(Op::CreateProcessW, StopAndWait, nullptr);
        StartService();
        if (std::string(c.story).find("r4") != std::string::npos) {
            ASSERT_TRUE(sim::WaitForEvent("SetServiceStatus type=16 state=4"));
            for (DWORD control : c.controls)
                sim::SendControl(control);
            if (!c.controls.empty()) {
                ASSERT_TRUE(
                    sim::WaitForEvent("Control " + std::to_string(c.controls.back()) + " done"));
            }
            sim::ExitChild(sim::Children().at(0), 3);
        }
        JoinService();
        EXPECT_EQ(Story(), c.story);
    }
}

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
        {"as configured", u"AppParameters", platform::REG_SZ,
         ups_area::Sz(u"child.exe --flag \"x y\""), "C:\\apps\\child.exe",
         "child.exe --flag \"x y\""},
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
        sim::AfterCall(Op::CreateProcessW, EndNewChild, nullptr);
        StartService();
        JoinService();
        const std::string line =
            "CreateProcessW app=" + c.app + " cmd=" + c.cmd +
            " psec=null tsec=null inherit=1 flags=8 env=null dir=C:\\apps cb=" +
            std::to_string(sizeof(platform::STARTUPINFOW)) + " rest=0";
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
            sim::SetStartedBySCM(job.arg.empty());
            sim::AfterCall(Op::CreateProcessW, EndNewChild, nullptr);
            const std::string before = Transcript();
            sim::FailNth(Op::HeapAllocate, n);
            EXPECT_EQ(RunEntry(job.arg.empty() ? std::vector<std::string>{}
                                               : std::vector<std::string>{job.arg}),
                      0u);
            reached = !sim::FailurePending(Op::HeapAllocate);
            sim::FailNth(Op::HeapAllocate, 0);
            ExpectNothingLeft();
            std::string outcome = Transcript().substr(before.size());
            if (job.arg.empty()) {
                for (const std::string& e : sim::Events())
                    outcome +=
                        Starts(e, "SetServiceStatus") ? e.substr(e.find("state=") + 6, 2) : "";
                for (DWORD pid : sim::Children())
                    EXPECT_FALSE(sim::ChildAlive(pid));
            }
            EXPECT_NE(std::count(job.outcomes.begin(), job.outcomes.end(), outcome), 0) << outcome;
            if (job.arg == "-install") {
                EXPECT_EQ(sim::ServiceExists(u"QELN3"), outcome != "");
            }
        }
        EXPECT_GT(n, 3);  // at least one allocation was failed
    }
}

}  // namespace
