// The service host on the simulated platform: naming, the switch table, the
// install and remove commands, and every road of the service run.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/owned.h"
#include "platform/sim/sim.h"
#include "service/entry.h"
#include "service/naming.h"
#include "service/service_run.h"

using platform::DWORD;
using sim::Op;

namespace {

const char16_t kModule[] = u"C:\\agents\\site3\\qelnhost.exe";
const char16_t kParams[] = u"SYSTEM\\CurrentControlSet\\Services\\QELN3\\Parameters";
const char16_t kApp[] = u"C:\\apps\\child.exe";

std::string Owned(char16_t* text) {
    platform::WideOwner owner(text);
    return owner ? sim::U8(owner.get()) : std::string("<none>");
}

// Runs the process entry with the given arguments after argv[0].
DWORD RunEntry(const std::vector<std::string>& args) {
    std::vector<std::string> storage = {"qelnhost.exe"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : storage)
        argv.push_back(&s[0]);
    argv.push_back(nullptr);
    return ProcessEntry(static_cast<int>(storage.size()), argv.data());
}

void WriteParameters(const std::u16string& app, const std::u16string& cmd,
                     const std::u16string& dir) {
    sim::RegSetString(kParams, u"Application", app);
    sim::RegSetString(kParams, u"AppParameters", cmd);
    sim::RegSetString(kParams, u"AppDirectory", dir);
}

// The service thread's run as a short story: status reports, launches,
// terminations, tones and pauses, in the order they happened. (The
// dispatcher's return races with what follows STOPPED, as on Windows, so it
// is checked on its own in JoinService.)
std::vector<std::string> Story() {
    std::vector<std::string> story;
    for (const std::string& e : sim::Events()) {
        auto starts = [&](const char* p) { return e.rfind(p, 0) == 0; };
        if (starts("SetServiceStatus")) {
            auto at = e.find("state=");
            story.push_back("report " + e.substr(at + 6, e.find(' ', at) - at - 6));
        } else if (starts("CreateProcessW")) {
            story.push_back(e.find("failed") != std::string::npos ? "launch failed" : "launch");
        } else if (starts("TerminateProcess")) {
            story.push_back("terminate" + e.substr(e.find(" code=")));
        } else if (starts("Beep") || starts("Sleep")) {
            story.push_back(e);
        }
    }
    return story;
}

std::vector<DWORD> States() {
    std::vector<DWORD> states;
    for (const auto& s : sim::StatusReports())
        states.push_back(s.dwCurrentState);
    return states;
}

class HostTest : public ::testing::Test {
protected:
    void SetUp() override { Fresh(); }
    // A fresh machine with this copy at kModule; with_child also writes the
    // Parameters of a launchable child.
    void Fresh(bool with_child = false) {
        sim::Reset();
        ResetServiceRun();
        sim::SetModulePath(kModule);
        done_ = false;
        if (with_child) {
            WriteParameters(kApp, u"child.exe", u"C:\\apps");
            sim::AddExecutable(kApp);
        }
    }
    void TearDown() override {
        if (service_thread_.joinable()) service_thread_.join();
        sim::Reset();
        ResetServiceRun();
    }

    // Starts the process as the SCM would, on its own thread.
    void StartService() {
        sim::SetStartedBySCM(true);
        service_thread_ = std::thread([this] {
            exit_code_ = RunEntry({});
            done_ = true;
        });
    }
    // Waits for the entry to end, and checks that the dispatcher returned
    // once, after the STOPPED report when there was one.
    void JoinService() {
        service_thread_.join();
        ASSERT_TRUE(done_);
        auto events = sim::Events();
        int returned = -1, stopped = -1;
        for (int i = 0; i < static_cast<int>(events.size()); ++i) {
            if (events[i] == "Dispatcher returned") {
                EXPECT_EQ(returned, -1);
                returned = i;
            }
            if (events[i].rfind("SetServiceStatus", 0) == 0 &&
                events[i].find(" state=1 ") != std::string::npos) {
                stopped = i;
            }
        }
        EXPECT_GT(returned, stopped);
    }
    // Waits for the nth status report.
    void WaitReports(int n) { ASSERT_TRUE(sim::WaitForEvent("SetServiceStatus", n)); }
    DWORD ChildPid() {
        auto launches = sim::Launches();
        return launches.empty() ? 0 : launches.back().pid;
    }
    void ExpectNothingLeft() {
        EXPECT_EQ(sim::LiveAllocations(), 0u);
        EXPECT_EQ(sim::OpenKeyCount(), 0u);
        EXPECT_EQ(sim::OpenScHandleCount(), 0u);
    }

    std::thread service_thread_;
    std::atomic<bool> done_{false};
    DWORD exit_code_ = 12345;
};

// ---- Naming ----

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
        {u"C:\\x\\site2\\host.exe", "2"},
        {u"\\\\?\\C:\\x\\siteQ\\host.exe", "Q"},
        {deep, "Z"},             // longer than 260 characters: read whole, never cut
        {u"host.exe", nullptr},  // no backslash
        {u"", nullptr},          // the module-path query fails
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(sim::U8(c.path).substr(0, 60));
        sim::SetModulePath(c.path);
        if (c.suffix == nullptr) {
            EXPECT_EQ(Owned(GetInstanceSuffix()), "<none>");
            EXPECT_EQ(Owned(BuildServiceName()), "<none>");
            EXPECT_EQ(Owned(BuildDisplayName()), "<none>");
        } else {
            EXPECT_EQ(Owned(GetInstanceSuffix()), c.suffix);
            EXPECT_EQ(Owned(BuildServiceName()), std::string("QELN") + c.suffix);
            EXPECT_EQ(Owned(BuildDisplayName()), std::string("Quellith Group ") + c.suffix);
        }
        EXPECT_EQ(sim::LiveAllocations(), 0u);
    }
}

// ---- The switch table ----

TEST_F(HostTest, OnlyTheFirstArgumentSelectsTheJob) {
    enum Job { kNothing, kInstall, kRemove, kDispatch };
    const struct {
        std::vector<std::string> args;
        Job job;
    } cases[] = {
        {{"-INSTALL"}, kInstall},
        {{"/Install"}, kInstall},
        {{"-install"}, kInstall},
        {{"-install", "-remove"}, kInstall},
        {{"install"}, kDispatch},  // not a switch
        {{}, kDispatch},
        {{""}, kDispatch},
        {{"-"}, kNothing},
        {{"/"}, kNothing},
        {{"-installx"}, kNothing},
        {{"--install"}, kNothing},
        {{"-\xC9NSTALL"}, kNothing},  // bytes above 0x7F are never folded
        {{"-INST\xC1LL"}, kNothing},
        {{"-remove", "extra"}, kRemove},
        {{"/REMOVE"}, kRemove},
        {{"-Remove"}, kRemove},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.empty() ? std::string("(none)") : c.args[0]);
        Fresh();
        EXPECT_EQ(RunEntry(c.args), 0u);
        EXPECT_EQ(sim::CallCount(Op::CreateServiceW), c.job == kInstall ? 1 : 0);
        EXPECT_EQ(sim::CallCount(Op::OpenServiceW), c.job == kRemove ? 1 : 0);
        EXPECT_EQ(sim::CallCount(Op::StartServiceCtrlDispatcherW), c.job == kDispatch ? 1 : 0);
        EXPECT_EQ(sim::ConsoleOutput(), c.job == kInstall ? "QELN3 installed.\n" : "");
        EXPECT_EQ(sim::ExitCodes().size(), 0u);  // the entry returns; main ends the process
        ExpectNothingLeft();
    }
}

TEST_F(HostTest, WithoutAnInstanceNameNothingRuns) {
    sim::SetModulePath(u"host.exe");
    for (const char* arg : {"-install", "-remove", "serve"}) {
        EXPECT_EQ(RunEntry({arg}), 0u);
    }
    EXPECT_EQ(sim::CallCount(Op::OpenSCManagerW), 0);
    EXPECT_EQ(sim::CallCount(Op::StartServiceCtrlDispatcherW), 0);
    EXPECT_EQ(sim::ConsoleOutput(), "");
}

// ---- Install ----

TEST_F(HostTest, InstallRegistersAQuotedAutoStartServiceOnce) {
    ASSERT_EQ(RunEntry({"-install"}), 0u);
    EXPECT_EQ(sim::ConsoleOutput(), "QELN3 installed.\n");
    sim::ServiceRecord r;
    ASSERT_TRUE(sim::GetService(u"QELN3", &r));
    EXPECT_EQ(sim::U8(r.display_name), "Quellith Group 3");
    EXPECT_EQ(r.access, platform::SERVICE_ALL_ACCESS);
    EXPECT_EQ(r.type, platform::SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(r.start, platform::SERVICE_AUTO_START);
    EXPECT_EQ(r.error_control, platform::SERVICE_ERROR_NORMAL);
    EXPECT_EQ(sim::U8(r.binary_path), "\"C:\\agents\\site3\\qelnhost.exe\"");
    EXPECT_TRUE(r.load_order_group_null);
    EXPECT_TRUE(r.tag_null);
    EXPECT_FALSE(r.dependencies_null);  // an empty list, not a missing one
    EXPECT_TRUE(r.dependencies.empty());
    EXPECT_TRUE(r.account_null);
    EXPECT_TRUE(r.password_null);
    ExpectNothingLeft();

    // The name is taken now: exit code -1 and silence.
    EXPECT_EQ(RunEntry({"-install"}), 0xFFFFFFFFu);
    EXPECT_EQ(sim::ConsoleOutput(), "QELN3 installed.\n");
    ExpectNothingLeft();
}

TEST_F(HostTest, InstallFailuresAreSilent) {
    const struct {
        Op op;
        DWORD exit_code;
    } cases[] = {
        {Op::GetModuleFileNameW, 0},
        {Op::OpenSCManagerW, 0},
        {Op::CreateServiceW, 0xFFFFFFFF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.op));
        Fresh();
        sim::FailNth(c.op, 1, true);
        EXPECT_EQ(RunEntry({"-install"}), c.exit_code);
        EXPECT_EQ(sim::ConsoleOutput(), "");
        EXPECT_FALSE(sim::ServiceExists(u"QELN3"));
        ExpectNothingLeft();
    }
}

// ---- Remove ----

TEST_F(HostTest, RemoveReportsEachStageFromTheStoredState) {
    const struct {
        const char* name;
        bool installed;
        bool accept;
        int pending;
        DWORD final_state;
        Op fail;
        int fail_nth;
        const char* output;
        int polls;  // one-second pauses
        bool deleted;
    } cases[] = {
        {"not installed", false, false, 0, 0, Op::Count, 0, "", 0, false},
        {"not running", true, false, 0, 0, Op::Count, 0, "QELN3 removed.\n", 0, true},
        {"stops at once", true, true, 0, platform::SERVICE_STOPPED, Op::Count, 0,
         "Stopping QELN3.\nQELN3 stopped.\nQELN3 removed.\n", 1, true},
        {"three pending polls", true, true, 3, platform::SERVICE_STOPPED, Op::Count, 0,
         "Stopping QELN3....\nQELN3 stopped.\nQELN3 removed.\n", 4, true},
        {"ends running", true, true, 1, platform::SERVICE_RUNNING, Op::Count, 0,
         "Stopping QELN3..\nQELN3 failed to stop.\nQELN3 removed.\n", 2, true},
        {"query fails mid-poll", true, true, 5, platform::SERVICE_STOPPED, Op::QueryServiceStatus,
         3, "Stopping QELN3...\nQELN3 failed to stop.\nQELN3 removed.\n", 3, true},
        {"deletion fails", true, false, 0, 0, Op::DeleteService, 1, "", 0, false},
        {"no SCM", true, false, 0, 0, Op::OpenSCManagerW, 1, "", 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        if (c.installed) {
            ASSERT_EQ(RunEntry({"-install"}), 0u);
            if (c.accept) sim::SetServiceState(u"QELN3", platform::SERVICE_RUNNING);
            sim::SetStopBehaviour(u"QELN3", c.accept, c.pending, c.final_state);
        }
        sim::ClearEvents();
        const std::string before = sim::ConsoleOutput();
        if (c.fail_nth != 0) sim::FailNth(c.fail, c.fail_nth, true);
        EXPECT_EQ(RunEntry({"-remove"}), 0u);
        EXPECT_EQ(sim::ConsoleOutput().substr(before.size()), c.output);
        EXPECT_EQ(sim::EventsStartingWith("Sleep 1000").size(), static_cast<size_t>(c.polls));
        EXPECT_EQ(sim::ServiceExists(u"QELN3"), c.installed && !c.deleted);
        ExpectNothingLeft();
    }
}

TEST_F(HostTest, RemoveShowsEachDotBeforeItsPause) {
    ASSERT_EQ(RunEntry({"-install"}), 0u);
    sim::SetServiceState(u"QELN3", platform::SERVICE_RUNNING);
    sim::SetStopBehaviour(u"QELN3", true, 2, platform::SERVICE_STOPPED);
    sim::ClearEvents();
    RunEntry({"-remove"});
    std::vector<std::string> order;
    for (const auto& e : sim::Events()) {
        if (e.rfind("Console", 0) == 0 || e.rfind("Sleep", 0) == 0) order.push_back(e);
    }
    EXPECT_EQ(order,
              (std::vector<std::string>{
                  "Console Stopping ", "Console QELN3", "Console .", "Sleep 1000", "Console .",
                  "Sleep 1000", "Console .", "Sleep 1000", "Console \\n", "Console QELN3",
                  "Console  stopped.\\n", "Console QELN3", "Console  removed.\\n"}));
}

// ---- The service run ----

TEST_F(HostTest, ChildLaunchedExactlyAndSupervisedUntilItExits) {
    WriteParameters(kApp, u"child.exe --flag \"x y\"", u"C:\\apps");
    sim::AddExecutable(kApp);
    StartService();
    WaitReports(2);
    ASSERT_TRUE(sim::ChildAlive(ChildPid()));
    sim::ExitChild(ChildPid(), 3);
    JoinService();

    EXPECT_EQ(exit_code_, 0u);
    EXPECT_EQ(Story(), (std::vector<std::string>{"report 2", "launch", "report 4", "report 1",
                                                 "Sleep 500"}));
    auto reports = sim::StatusReports();
    ASSERT_EQ(reports.size(), 3u);
    for (const auto& s : reports) {
        EXPECT_EQ(s.dwServiceType, 0x10u);
        EXPECT_EQ(s.dwControlsAccepted, 5u);
        EXPECT_EQ(s.dwWin32ExitCode, 0u);
        EXPECT_EQ(s.dwServiceSpecificExitCode, 0u);
        EXPECT_EQ(s.dwCheckPoint, 1u);
        EXPECT_EQ(s.dwWaitHint, 15000u);
    }
    auto launches = sim::Launches();
    ASSERT_EQ(launches.size(), 1u);
    const auto& l = launches[0];
    EXPECT_EQ(sim::U8(l.application), "C:\\apps\\child.exe");
    EXPECT_EQ(sim::U8(l.command_line), "child.exe --flag \"x y\"");
    EXPECT_TRUE(l.process_security_null);
    EXPECT_TRUE(l.thread_security_null);
    EXPECT_EQ(l.inherit_handles, platform::TRUE);
    EXPECT_EQ(l.flags, platform::DETACHED_PROCESS);
    EXPECT_TRUE(l.environment_null);
    EXPECT_EQ(sim::U8(l.directory), "C:\\apps");
    EXPECT_EQ(l.startup_cb, sizeof(platform::STARTUPINFOW));
    EXPECT_TRUE(l.startup_rest_zero);
    EXPECT_EQ(sim::EventsStartingWith("RegisterServiceCtrlHandlerW QELN3").size(), 1u);
    EXPECT_EQ(sim::ExitCodes(), std::vector<DWORD>{});
    EXPECT_EQ(sim::LiveAllocations(), 0u);
    EXPECT_EQ(sim::OpenKeyCount(), 0u);
}

TEST_F(HostTest, StopAndShutdownEndTheChildOtherControlsDoNothing) {
    for (DWORD control : {platform::SERVICE_CONTROL_STOP, platform::SERVICE_CONTROL_SHUTDOWN}) {
        SCOPED_TRACE(control);
        Fresh(true);
        StartService();
        WaitReports(2);
        sim::SendControl(platform::SERVICE_CONTROL_INTERROGATE);
        sim::SendControl(2);  // pause: not accepted, ignored
        ASSERT_TRUE(sim::WaitForEvent("Control 2 done"));
        EXPECT_EQ(States(), (std::vector<DWORD>{2, 4}));
        sim::SendControl(control);
        JoinService();
        EXPECT_EQ(Story(), (std::vector<std::string>{"report 2", "launch", "report 4", "report 3",
                                                     "terminate code=0", "report 1", "Sleep 500"}));
        EXPECT_EQ(sim::ChildExitCode(ChildPid()), 0u);
        EXPECT_EQ(sim::LiveAllocations(), 0u);
    }
}

TEST_F(HostTest, MissingKeyAndFailedLaunchSoundTheirTones) {
    // No Parameters key: the 2000 Hz tone comes before the first report; the
    // launch of the empty application then fails and the 1000 Hz tone follows
    // the STOPPED report.
    sim::AddExecutable(kApp);
    StartService();
    JoinService();
    EXPECT_EQ(Story(), (std::vector<std::string>{"Beep 2000 6000", "report 2", "launch failed",
                                                 "report 1", "Beep 1000 6000", "Sleep 500"}));
    ASSERT_EQ(sim::Launches().size(), 1u);
    EXPECT_EQ(sim::U8(sim::Launches()[0].application), "");

    // An application that does not exist: START_PENDING, STOPPED, 1000 Hz.
    Fresh();
    WriteParameters(u"C:\\apps\\missing.exe", u"missing.exe", u"C:\\apps");
    StartService();
    JoinService();
    EXPECT_EQ(Story(), (std::vector<std::string>{"report 2", "launch failed", "report 1",
                                                 "Beep 1000 6000", "Sleep 500"}));
    EXPECT_EQ(sim::LiveAllocations(), 0u);
}

TEST_F(HostTest, FailedRegistrationOrFirstReportEndsSilently) {
    for (Op op : {Op::RegisterServiceCtrlHandlerW, Op::SetServiceStatus}) {
        SCOPED_TRACE(static_cast<int>(op));
        Fresh(true);
        sim::FailNth(op, 1);
        StartService();
        JoinService();
        EXPECT_EQ(sim::Launches().size(), 0u);
        EXPECT_EQ(States(), std::vector<DWORD>{});
        EXPECT_EQ(sim::CallCount(Op::SetServiceStatus), op == Op::SetServiceStatus ? 1 : 0);
        EXPECT_EQ(Story().back(), "Sleep 500");
        EXPECT_EQ(sim::EventsStartingWith("Beep").size(), 0u);
        EXPECT_EQ(sim::LiveAllocations(), 0u);
    }
}

// A stop that comes before the child exists is not lost: no RUNNING report,
// no child left alive, no tone.
void SendStopAndWait(void*) {
    sim::SendControl(platform::SERVICE_CONTROL_STOP);
    sim::WaitForEvent("Control 1 done");
}

TEST_F(HostTest, EarlyStopPreventsTheLaunchOrEndsTheNewChild) {
    const struct {
        const char* name;
        bool after_registration;  // else: during the launch
        bool app_exists;
        std::vector<std::string> story;
    } cases[] = {
        {"before START_PENDING", true, true, {"report 2", "report 3", "report 1", "Sleep 500"}},
        {"during the launch",
         false,
         true,
         {"report 2", "report 3", "launch", "terminate code=0", "report 1", "Sleep 500"}},
        {"during a failed launch",
         false,
         false,
         {"report 2", "report 3", "launch failed", "report 1", "Sleep 500"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        WriteParameters(kApp, u"child.exe", u"C:\\apps");
        if (c.app_exists) sim::AddExecutable(kApp);
        if (c.after_registration) {
            sim::AfterCall(Op::RegisterServiceCtrlHandlerW, SendStopAndWait, nullptr);
        } else {
            sim::BeforeCall(Op::CreateProcessW, SendStopAndWait, nullptr);
        }
        StartService();
        JoinService();
        EXPECT_EQ(Story(), c.story);
        if (ChildPid() != 0) {
            EXPECT_FALSE(sim::ChildAlive(ChildPid()));
        }
    }
}

TEST_F(HostTest, ParameterValuesAlwaysEndTerminatedInsideTheirBuffers) {
    const std::u16string full(1024, u'x');  // exactly 2048 bytes, no terminator
    auto bytes = [](const std::u16string& s, bool terminator) {
        std::vector<uint8_t> b(reinterpret_cast<const uint8_t*>(s.data()),
                               reinterpret_cast<const uint8_t*>(s.data() + s.size()));
        if (terminator) b.insert(b.end(), {0, 0});
        return b;
    };
    const struct {
        const char* name;
        const char16_t* value_name;
        DWORD type;
        std::vector<uint8_t> data;
        const char* app;
        std::string cmd;
    } cases[] = {
        {"command line fills its buffer", u"AppParameters", platform::REG_SZ, bytes(full, false),
         "C:\\apps\\child.exe", std::string(1024, 'x')},
        {"command line too large", u"AppParameters", platform::REG_SZ, bytes(full + u"y", true),
         "C:\\apps\\child.exe", ""},
        {"application not a string",
         u"Application",
         platform::REG_DWORD,
         {1, 2, 3, 4},
         "",
         "child.exe"},
        {"application unexpanded", u"Application", platform::REG_EXPAND_SZ,
         bytes(u"%SystemRoot%\\child.exe", true), "%SystemRoot%\\child.exe", "child.exe"},
        {"application of 520 bytes", u"Application", platform::REG_SZ,
         bytes(std::u16string(260, u'a'), false), nullptr, "child.exe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        WriteParameters(kApp, u"child.exe", u"C:\\apps");
        sim::RegSetRaw(kParams, c.value_name, c.type, c.data);
        StartService();
        JoinService();
        auto launches = sim::Launches();
        ASSERT_EQ(launches.size(), 1u);
        EXPECT_EQ(sim::U8(launches[0].application),
                  c.app != nullptr ? std::string(c.app) : std::string(260, 'a'));
        EXPECT_EQ(sim::U8(launches[0].command_line), c.cmd);
    }
}

// ---- Allocation failures ----

void EndNewChild(void*) {
    auto launches = sim::Launches();
    if (!launches.empty() && launches.back().pid != 0) sim::ExitChild(launches.back().pid, 0);
}

TEST_F(HostTest, EveryAllocationFailureLeavesADefinedOutcome) {
    const std::vector<std::vector<std::string>> runs = {{"-install"}, {"-remove"}, {}};
    for (const auto& args : runs) {
        const bool serve = args.empty();
        int n = 1;
        for (;; ++n) {
            SCOPED_TRACE((serve ? std::string("serve") : args[0]) + " N=" + std::to_string(n));
            Fresh(true);
            if (args == std::vector<std::string>{"-remove"}) {
                ASSERT_EQ(RunEntry({"-install"}), 0u);
                sim::SetServiceState(u"QELN3", platform::SERVICE_RUNNING);
                sim::SetStopBehaviour(u"QELN3", true, 1, platform::SERVICE_STOPPED);
            }
            sim::SetStartedBySCM(serve);
            sim::AfterCall(Op::CreateProcessW, EndNewChild, nullptr);
            const std::string before = sim::ConsoleOutput();
            sim::FailNth(Op::HeapAllocate, n);
            DWORD code = RunEntry(args);
            const bool reached = !sim::FailurePending(Op::HeapAllocate);
            sim::FailNth(Op::HeapAllocate, 0);
            ExpectNothingLeft();
            const std::string out = sim::ConsoleOutput().substr(before.size());
            if (args == std::vector<std::string>{"-install"}) {
                EXPECT_EQ(code, 0u);
                EXPECT_TRUE(out == "" || out == "QELN3 installed.\n") << out;
                EXPECT_EQ(sim::ServiceExists(u"QELN3"), out != "");
            } else if (!serve) {
                EXPECT_EQ(code, 0u);
                EXPECT_TRUE(out == "" ||
                            out == "Stopping QELN3..\nQELN3 stopped.\nQELN3 removed.\n")
                    << out;
            } else {
                EXPECT_EQ(code, 0u);
                const auto states = States();
                const bool ok = states.empty() || states == std::vector<DWORD>{2, 4, 1} ||
                                states == std::vector<DWORD>{2, 1};
                EXPECT_TRUE(ok) << ::testing::PrintToString(states);
                for (const auto& l : sim::Launches())
                    EXPECT_FALSE(sim::ChildAlive(l.pid));
            }
            if (!reached) break;
        }
        EXPECT_GT(n, 1);  // at least one allocation was failed
    }
}

}  // namespace
