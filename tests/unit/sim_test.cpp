// The simulation's own behaviour where a fault in it would hide a fault of
// the host and the contract tests (the same checks on Windows) do not see it:
// the dispatcher's threads and event order, the scripted stop, fault
// injection, the call hooks and the registry snapshot.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
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
    static inline std::thread::id handler_thread;
    static inline std::thread::id main_thread;
    static inline SERVICE_STATUS_HANDLE handle = nullptr;
    static inline std::atomic<bool> stop{false};

    static void Handler(DWORD control) {
        handler_thread = std::this_thread::get_id();
        if (control == SERVICE_CONTROL_STOP) stop = true;
    }
    static void Report(DWORD state) {
        SERVICE_STATUS s = {SERVICE_WIN32_OWN_PROCESS, state, 5, 0, 0, 1, 15000};
        SetServiceStatus(handle, &s);
    }
    static void Main(DWORD, WCHAR**) {
        main_thread = std::this_thread::get_id();
        handle = RegisterServiceCtrlHandlerW(u"QELN1", &Handler);
        Report(SERVICE_RUNNING);
        while (!stop)
            std::this_thread::yield();
        Report(SERVICE_STOPPED);
    }
};

TEST_F(SimTest, DispatcherRunsMainOnItsOwnThreadAndControlsOnTheCallersThread) {
    Probe::stop = false;
    sim::SetStartedBySCM(true);
    WCHAR name[] = u"QELN1";
    const SERVICE_TABLE_ENTRYW table[] = {{name, &Probe::Main}, {nullptr, nullptr}};
    std::thread::id dispatcher_thread;
    BOOL result = FALSE;
    std::thread entry([&] {
        dispatcher_thread = std::this_thread::get_id();
        result = StartServiceCtrlDispatcherW(table);
    });
    ASSERT_TRUE(sim::WaitForEvent("SetServiceStatus type=16 state=4"));
    sim::SendControl(SERVICE_CONTROL_STOP);
    entry.join();

    EXPECT_TRUE(result);
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
            "Control 1",
            "SetServiceStatus type=16 state=1 accepted=5 exit=0 specific=0 check=1 hint=15000",
            "Dispatcher returned",
        }));
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
    std::vector<DWORD> states = {status.dwCurrentState};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(QueryServiceStatus(service, &status));
        states.push_back(status.dwCurrentState);
    }
    EXPECT_EQ(states, (std::vector<DWORD>{3, 3, 3, 1}));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

TEST_F(SimTest, FailNthFailsExactlyThatCallOfThatOperation) {
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
    EXPECT_TRUE(sim::FailurePending(sim::Op::HeapAllocate));
    void* first = HeapAllocate(8);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(HeapAllocate(8), nullptr);
    EXPECT_EQ(HeapAllocate(8), nullptr) << "persistent";
    EXPECT_EQ(sim::LiveAllocations(), 1u);
    HeapRelease(first);
    EXPECT_EQ(sim::LiveAllocations(), 0u);
}

TEST_F(SimTest, HooksRunBeforeAndAfterTheNextCallOnly) {
    static std::vector<std::size_t> seen;
    seen.clear();
    auto record = [](void*) { seen.push_back(sim::Events().size()); };
    sim::BeforeCall(sim::Op::CreateProcessW, record, nullptr);
    sim::AfterCall(sim::Op::CreateProcessW, record, nullptr);
    STARTUPINFOW startup = {};
    PROCESS_INFORMATION info = {};
    WCHAR command[] = u"x";
    for (int i = 0; i < 2; ++i) {
        CreateProcessW(u"C:\\missing.exe", command, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &info);
    }
    EXPECT_EQ(seen, (std::vector<std::size_t>{0, 1}));
}

TEST_F(SimTest, SnapshotListsKeysAndValuesWithTypeAndBytes) {
    sim::RegSetString(u"A\\B", u"Name", u"x");
    sim::RegSetDword(u"a\\b", u"num", 2);
    sim::RegSetRaw(u"A", u"", REG_BINARY, {});
    EXPECT_EQ(sim::RegSnapshot(u"a"),
              "KEY A\n"
              "VAL A |  | 3 | \n"
              "KEY A\\B\n"
              "VAL A\\B | Name | 1 | 78 00 00 00\n"
              "VAL A\\B | num | 4 | 02 00 00 00\n");
    EXPECT_EQ(sim::RegSnapshot(u"C"), "");
}

}  // namespace
