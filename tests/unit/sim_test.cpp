// The simulation's own behaviour where a fault in it would hide a fault of
// the host: the dispatcher's threads, real blocking waits, the scripted SCM,
// fault injection and the hooks that order races.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/platform.h"
#include "platform/sim/sim.h"

namespace {

using namespace platform;

class SimTest : public ::testing::Test {
protected:
    void SetUp() override { sim::Reset(); }
    void TearDown() override { sim::Reset(); }
};

// A minimal service: registers, reports RUNNING, waits for the handler's
// stop, reports STOPPED. Records the threads everything ran on.
struct Probe {
    static std::thread::id handler_thread;
    static std::thread::id main_thread;
    static std::u16string argv0;
    static DWORD argc;
    static SERVICE_STATUS_HANDLE handle;
    static std::atomic<bool> stop;

    static void Handler(DWORD control) {
        handler_thread = std::this_thread::get_id();
        if (control == SERVICE_CONTROL_STOP) stop = true;
    }
    static void Report(DWORD state) {
        SERVICE_STATUS s = {SERVICE_WIN32_OWN_PROCESS, state, 5, 0, 0, 1, 15000};
        SetServiceStatus(handle, &s);
    }
    static void Main(DWORD count, WCHAR** argv) {
        main_thread = std::this_thread::get_id();
        argc = count;
        argv0 = argv[0];
        handle = RegisterServiceCtrlHandlerW(u"QELN1", &Handler);
        Report(SERVICE_RUNNING);
        while (!stop)
            std::this_thread::yield();
        Report(SERVICE_STOPPED);
    }
};
std::thread::id Probe::handler_thread;
std::thread::id Probe::main_thread;
std::u16string Probe::argv0;
DWORD Probe::argc = 0;
SERVICE_STATUS_HANDLE Probe::handle = nullptr;
std::atomic<bool> Probe::stop{false};

TEST_F(SimTest, DispatcherRunsMainOnItsOwnThreadAndControlsOnTheCallersThread) {
    Probe::stop = false;
    WCHAR name[] = u"QELN1";
    const SERVICE_TABLE_ENTRYW table[] = {{name, &Probe::Main}, {nullptr, nullptr}};
    EXPECT_FALSE(StartServiceCtrlDispatcherW(table)) << "not started by the SCM";

    sim::SetStartedBySCM(true);
    std::thread::id dispatcher_thread;
    BOOL result = FALSE;
    std::thread entry([&] {
        dispatcher_thread = std::this_thread::get_id();
        result = StartServiceCtrlDispatcherW(table);
    });
    ASSERT_TRUE(sim::WaitForEvent("SetServiceStatus type=16 state=4"));
    EXPECT_TRUE(sim::DispatcherRunning());
    sim::SendControl(SERVICE_CONTROL_INTERROGATE);
    sim::SendControl(SERVICE_CONTROL_STOP);
    entry.join();

    EXPECT_TRUE(result);
    EXPECT_FALSE(sim::DispatcherRunning());
    EXPECT_EQ(Probe::argc, 1u);
    EXPECT_EQ(Probe::argv0, u"QELN1");
    EXPECT_NE(Probe::main_thread, dispatcher_thread);
    EXPECT_EQ(Probe::handler_thread, dispatcher_thread);
    // The service thread may report STOPPED before the dispatcher logs that
    // the stop handler returned; everything else is in a fixed order.
    std::vector<std::string> events = sim::Events();
    auto done = std::find(events.begin(), events.end(), "Control 1 done");
    ASSERT_NE(done, events.end());
    events.erase(done);
    EXPECT_EQ(
        events,
        (std::vector<std::string>{
            "RegisterServiceCtrlHandlerW QELN1",
            "SetServiceStatus type=16 state=4 accepted=5 exit=0 specific=0 check=1 hint=15000",
            "Control 4",
            "Control 4 done",
            "Control 1",
            "SetServiceStatus type=16 state=1 accepted=5 exit=0 specific=0 check=1 hint=15000",
            "Dispatcher returned",
        }));
    ASSERT_EQ(sim::StatusReports().size(), 2u);
    EXPECT_EQ(sim::StatusReports()[1].dwCurrentState, SERVICE_STOPPED);
}

TEST_F(SimTest, HandlerRegistrationNeedsARunAndItsName) {
    EXPECT_EQ(RegisterServiceCtrlHandlerW(u"QELN1", &Probe::Handler), nullptr);
    sim::SetStartedBySCM(true);
    static std::atomic<int> outcome{0};
    struct Other {
        static void Main(DWORD, WCHAR**) {
            bool other = RegisterServiceCtrlHandlerW(u"QELN2", &Probe::Handler) == nullptr;
            bool own = RegisterServiceCtrlHandlerW(u"qeln1", &Probe::Handler) != nullptr;
            outcome = (other ? 1 : 0) + (own ? 2 : 0);
        }
    };
    WCHAR name[] = u"QELN1";
    const SERVICE_TABLE_ENTRYW table[] = {{name, &Other::Main}, {nullptr, nullptr}};
    // The service returns without reporting STOPPED: the dispatcher returns too.
    EXPECT_TRUE(StartServiceCtrlDispatcherW(table));
    EXPECT_EQ(outcome, 3);
    sim::SendControl(SERVICE_CONTROL_STOP);
    EXPECT_EQ(sim::EventsStartingWith("Control"), std::vector<std::string>{"Control 1 dropped"});
}

TEST_F(SimTest, WaitBlocksUntilTheChildEnds) {
    sim::AddExecutable(u"C:\\App\\app.exe");
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    WCHAR cmd[] = u"app.exe";
    ASSERT_TRUE(CreateProcessW(u"c:\\app\\APP.EXE", cmd, nullptr, nullptr, TRUE, DETACHED_PROCESS,
                               nullptr, u"C:\\App", &startup, &info));
    EXPECT_EQ(info.dwProcessId, 1000u);
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 1), WAIT_TIMEOUT);

    std::atomic<bool> returned{false};
    DWORD result = WAIT_FAILED;
    std::thread waiter([&] {
        result = WaitForSingleObject(info.hProcess, INFINITE);
        returned = true;
    });
    // Give the waiter every chance to return early; it must not.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned);
    sim::ExitChild(1000, 3);
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0);
    EXPECT_EQ(sim::ChildExitCode(1000), 3u);
    EXPECT_FALSE(TerminateProcess(info.hProcess, 0)) << "an ended child";
    EXPECT_EQ(sim::EventsStartingWith("TerminateProcess"),
              std::vector<std::string>{"TerminateProcess pid=1000 code=0 failed"});
    EXPECT_TRUE(CloseHandle(info.hProcess));
    EXPECT_TRUE(CloseHandle(info.hThread));
    EXPECT_FALSE(CloseHandle(info.hThread)) << "closed twice";
    EXPECT_EQ(sim::OpenKernelHandleCount(), 0u);
}

TEST_F(SimTest, ResetEndsARunThatWaitsOnAChild) {
    sim::AddExecutable(u"C:\\app.exe");
    sim::SetStartedBySCM(true);
    struct Waiting {
        static void Main(DWORD, WCHAR**) {
            SERVICE_STATUS_HANDLE h = RegisterServiceCtrlHandlerW(u"QELN1", &Probe::Handler);
            STARTUPINFOW startup = {};
            PROCESS_INFORMATION info = {};
            WCHAR cmd[] = u"app";
            CreateProcessW(u"C:\\app.exe", cmd, nullptr, nullptr, TRUE, 8, nullptr, nullptr,
                           &startup, &info);
            WaitForSingleObject(info.hProcess, INFINITE);
            SERVICE_STATUS s = {16, SERVICE_STOPPED, 0, 0, 0, 0, 0};
            SetServiceStatus(h, &s);
        }
    };
    WCHAR name[] = u"QELN1";
    const SERVICE_TABLE_ENTRYW table[] = {{name, &Waiting::Main}, {nullptr, nullptr}};
    std::thread entry([&] { StartServiceCtrlDispatcherW(table); });
    ASSERT_TRUE(sim::WaitForEvent("CreateProcessW"));
    sim::Reset();
    EXPECT_FALSE(sim::DispatcherRunning());
    entry.join();
}

TEST_F(SimTest, ScriptedStopAnswersQueriesInOrder) {
    sim::ServiceRecord record = {};
    record.name = u"QELN1";
    record.type = SERVICE_WIN32_OWN_PROCESS;
    sim::AddService(record);
    sim::SetServiceState(u"QELN1", SERVICE_RUNNING);
    sim::SetStopBehaviour(u"qeln1", true, 2, SERVICE_STOPPED);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(manager, u"QELN1", SERVICE_ALL_ACCESS);
    SERVICE_STATUS status = {};
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOP_PENDING);
    std::vector<DWORD> states;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(QueryServiceStatus(service, &status));
        states.push_back(status.dwCurrentState);
    }
    EXPECT_EQ(states, (std::vector<DWORD>{3, 3, 1, 1}));
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << "already stopped";
    EXPECT_TRUE(DeleteService(service));
    EXPECT_TRUE(sim::ServiceExists(u"QELN1")) << "goes with its last handle";
    EXPECT_TRUE(CloseServiceHandle(service));
    EXPECT_FALSE(sim::ServiceExists(u"QELN1"));
    EXPECT_FALSE(sim::RegKeyExists(u"SYSTEM\\CurrentControlSet\\Services\\QELN1"));
    EXPECT_TRUE(CloseServiceHandle(manager));
    EXPECT_FALSE(CloseServiceHandle(manager)) << "closed twice";
    EXPECT_EQ(sim::OpenScHandleCount(), 0u);
}

TEST_F(SimTest, FailNthCountsCallsOfOneOperation) {
    sim::RegSetDword(u"K", u"V", 1);
    sim::SetFailureCode(ERROR_FILE_NOT_FOUND);
    sim::FailNth(sim::Op::RegOpenKeyExW, 2);
    std::vector<LONG> results;
    for (int i = 0; i < 3; ++i) {
        HKEY key = nullptr;
        results.push_back(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"K", 0, KEY_QUERY_VALUE, &key));
        if (key != nullptr) RegCloseKey(key);
    }
    EXPECT_EQ(results, (std::vector<LONG>{ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ERROR_SUCCESS}));
    EXPECT_EQ(sim::CallCount(sim::Op::RegOpenKeyExW), 3);
    EXPECT_FALSE(sim::FailurePending(sim::Op::RegOpenKeyExW));

    sim::FailNth(sim::Op::HeapAllocate, 2, true);
    void* first = HeapAllocate(8);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(HeapAllocate(8), nullptr);
    EXPECT_EQ(HeapAllocate(8), nullptr) << "persistent";
    EXPECT_EQ(sim::LiveAllocations(), 1u);
    HeapRelease(first);
    EXPECT_EQ(sim::LiveAllocations(), 0u);
    EXPECT_EQ(sim::OpenKeyCount(), 0u);
}

TEST_F(SimTest, HooksAndHoldsRunOutsideTheLock) {
    // A hook that calls back into the simulation would deadlock under its lock.
    static int seen = 0;
    sim::BeforeCall(
        sim::Op::GetModuleFileNameW,
        [](void*) { seen = static_cast<int>(sim::Events().size()) + 1; }, nullptr);
    WCHAR buffer[8];
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, 8), 8u);
    EXPECT_EQ(seen, 1);
    EXPECT_EQ(std::u16string(buffer), u"C:\\qeln");

    sim::HoldAfter("Beep 1000");
    std::atomic<bool> done{false};
    std::thread t([&] {
        Beep(1000, 6000);
        done = true;
    });
    ASSERT_TRUE(sim::WaitHeld());
    Sleep(500);  // other calls go on while a thread is held
    EXPECT_FALSE(done);
    sim::ReleaseHold();
    t.join();
    EXPECT_EQ(sim::Events(), (std::vector<std::string>{"Beep 1000 6000", "Sleep 500"}));
    EXPECT_EQ(sim::NowMs(), 6500u);
}

TEST_F(SimTest, DeletedKeyHandleAndSnapshot) {
    sim::RegSetString(u"A\\B", u"Name", u"x");
    sim::RegSetDword(u"a\\b", u"num", 2);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A\\B", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    EXPECT_EQ(sim::RegSnapshot(u"a"),
              "KEY A\n"
              "KEY A\\B\n"
              "VAL A\\B | Name | 1 | 78 00 00 00\n"
              "VAL A\\B | num | 4 | 02 00 00 00\n");
    sim::RegDeleteTree(u"A");
    EXPECT_EQ(sim::RegSnapshot(u"A"), "");
    const BYTE one = 1;
    EXPECT_EQ(RegSetValueExW(key, u"V", 0, REG_BINARY, &one, 1), 1018) << "key deleted";
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_NE(RegCloseKey(key), ERROR_SUCCESS) << "closed twice";
}

}  // namespace
