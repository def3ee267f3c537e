// Stop and shutdown controls at random points of a service run, thousands of
// times. Meant for the ThreadSanitizer build (host-tsan), where every data
// race fails the run; the checks on the order of reports hold on any build.
// The seed makes the choices repeatable, not the interleavings.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "platform/sim/sim.h"
#include "service/entry.h"
#include "service/service_run.h"
#include "tests/contract/ups_area.h"

using platform::DWORD;
using sim::Op;

namespace {

// Where the control comes: after the handler's registration (nothing reported
// yet), before the launch, right after it, while RUNNING, or while the child
// ends by itself.
enum Point { kBeforeStartPending, kBeforeLaunch, kDuringLaunch, kWhileRunning, kWhileChildExits };

struct Shot {
    DWORD control;
    int spin;
    std::thread sender;  // sends the control from a thread of its own, like the SCM
};

void Spin(int n) {
    for (volatile int i = 0; i < n; i = i + 1) {
    }
}

void SendLater(void* context) {
    auto* shot = static_cast<Shot*>(context);
    shot->sender = std::thread([shot] {
        Spin(shot->spin);
        sim::SendControl(shot->control);
    });
}

TEST(StopRace, ReportsStayOrderedAndNoChildOutlivesTheService) {
    std::mt19937 random(20261206);
    const char* env = std::getenv("QELN_RACE_ITERATIONS");
    const int iterations = env != nullptr ? std::atoi(env) : 300;
    for (int i = 0; i < iterations && !::testing::Test::HasFailure(); ++i) {
        const auto point = static_cast<Point>(random() % 5);
        Shot shot{
            random() % 2 ? platform::SERVICE_CONTROL_STOP : platform::SERVICE_CONTROL_SHUTDOWN,
            static_cast<int>(random() % 2000),
            {}};
        SCOPED_TRACE("iteration " + std::to_string(i) + " point " + std::to_string(point));
        sim::Reset();
        ResetServiceRun();
        sim::SetModulePath(u"C:\\agents\\site3\\qelnhost.exe");
        const char16_t params[] = u"SYSTEM\\CurrentControlSet\\Services\\QELN3\\Parameters";
        sim::RegSetRaw(params, u"Application", platform::REG_SZ, ups_area::Sz(u"C:\\child.exe"));
        sim::AddExecutable(u"C:\\child.exe");
        sim::SetStartedBySCM();
        if (point <= kDuringLaunch) {
            sim::OnCall(
                point == kBeforeStartPending ? Op::RegisterServiceCtrlHandlerW : Op::CreateProcessW,
                point != kBeforeLaunch, SendLater, &shot);
        }
        std::thread entry([] {
            char name[] = "qelnhost.exe";
            char* argv[] = {name, nullptr};
            ProcessEntry(1, argv);
        });
        if (point >= kWhileRunning) {
            ASSERT_TRUE(sim::WaitForEvent("SetServiceStatus type=16 state=4"));
            SendLater(&shot);
            if (point == kWhileChildExits) sim::ExitChildren(7);
        }
        if (!sim::WaitForEvent("Dispatcher returned")) {
            ADD_FAILURE() << "the run did not end: a child outlives the stop";
            sim::ExitChildren(9);
        }
        entry.join();
        if (shot.sender.joinable()) shot.sender.join();

        std::string states;  // one digit per status report
        bool terminated = false;
        std::size_t handled = std::string::npos, launched = std::string::npos;
        const auto events = sim::Events();
        for (std::size_t k = 0; k < events.size(); ++k) {
            const std::string& e = events[k];
            if (e.rfind("SetServiceStatus", 0) == 0) states += e.substr(e.find("state=") + 6, 1);
            terminated = terminated || e.rfind("TerminateProcess", 0) == 0;
            if (e == "Control " + std::to_string(shot.control) + " done")
                handled = std::min(handled, k);
            if (e.rfind("CreateProcessW", 0) == 0) launched = std::min(launched, k);
        }
        // START_PENDING first, STOPPED once and last, RUNNING never after
        // STOP_PENDING, and no RUNNING at all when the stop was handled before
        // the launch; the child ended; whenever the stop ended it, exactly one
        // STOP_PENDING came. Only a child's own exit may overtake the stop.
        ASSERT_GE(states.size(), 2u) << states;
        EXPECT_EQ(states.front(), '2') << states;
        EXPECT_EQ(states.find('1'), states.size() - 1) << states;
        EXPECT_EQ(states.find('4', states.find('3')), std::string::npos) << states;
        if (handled < launched) {
            EXPECT_EQ(states.find('4'), std::string::npos) << states;
        }
        EXPECT_EQ(sim::LiveChildren(), 0);
        if (terminated || point != kWhileChildExits) {
            EXPECT_EQ(std::count(states.begin(), states.end(), '3'), 1) << states;
        }
    }
    sim::Reset();
    ResetServiceRun();
}

}  // namespace
