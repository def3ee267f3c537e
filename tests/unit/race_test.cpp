// Stop and shutdown controls at random points of a service run, thousands of
// times. Meant for the ThreadSanitizer build (host-tsan), where every data
// race fails the run; the checks on the order of reports hold on any build.
// The seed makes the choices repeatable, not the interleavings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/sim.h"
#include "tests/contract/ups_area.h"
#include "service/entry.h"
#include "service/service_run.h"

using platform::DWORD;
using sim::Op;

namespace {

const char16_t kParams[] = u"SYSTEM\\CurrentControlSet\\Services\\QELN3\\Parameters";
const char16_t kApp[] = u"C:\\apps\\child.exe";

enum Point {
    kBeforeStartPending,  // handler registered, nothing reported yet
    kBeforeLaunch,        // START_PENDING reported, CreateProcessW not yet entered
    kDuringLaunch,        // CreateProcessW has just returned
    kWhileRunning,
    kWhileChildExits,  // the child ends by itself at the same moment
    kPointCount
};

struct Shot {
    DWORD control;
    int spin;
};

void Spin(int n) {
    for (volatile int i = 0; i < n; i = i + 1) {
    }
}

void SendLater(void* context) {
    auto* shot = static_cast<Shot*>(context);
    Spin(shot->spin);
    sim::SendControl(shot->control);
}

int Iterations() {
    const char* env = std::getenv("QELN_RACE_ITERATIONS");
    return env != nullptr ? std::atoi(env) : 300;
}

TEST(StopRace, ReportsStayOrderedAndNoChildOutlivesTheService) {
    std::mt19937 random(20261206);
    const int iterations = Iterations();
    for (int i = 0; i < iterations && !::testing::Test::HasFailure(); ++i) {
        const Point point = static_cast<Point>(random() % kPointCount);
        Shot shot = {
            random() % 2 ? platform::SERVICE_CONTROL_STOP : platform::SERVICE_CONTROL_SHUTDOWN,
            static_cast<int>(random() % 2000)};
        SCOPED_TRACE("iteration " + std::to_string(i) + " point " + std::to_string(point));

        sim::Reset();
        ResetServiceRun();
        sim::SetModulePath(u"C:\\agents\\site3\\qelnhost.exe");
        sim::RegSetRaw(kParams, u"Application", platform::REG_SZ, ups_area::Sz(kApp));
        sim::RegSetRaw(kParams, u"AppParameters", platform::REG_SZ, ups_area::Sz(u"child.exe"));
        sim::AddExecutable(kApp);
        sim::SetStartedBySCM(true);
        if (point == kBeforeStartPending) {
            sim::AfterCall(Op::RegisterServiceCtrlHandlerW, SendLater, &shot);
        } else if (point == kBeforeLaunch) {
            sim::BeforeCall(Op::CreateProcessW, SendLater, &shot);
        } else if (point == kDuringLaunch) {
            sim::AfterCall(Op::CreateProcessW, SendLater, &shot);
        }

        std::thread entry([] {
            char name[] = "qelnhost.exe";
            char* argv[] = {name, nullptr};
            ProcessEntry(1, argv);
        });
        if (point == kWhileRunning || point == kWhileChildExits) {
            ASSERT_TRUE(sim::WaitForEvent("SetServiceStatus type=16 state=4"));
            const DWORD pid = sim::Children().back();
            std::thread exiter([pid, &shot, point] {
                Spin(shot.spin);
                if (point == kWhileChildExits) sim::ExitChild(pid, 7);
            });
            sim::SendControl(shot.control);
            exiter.join();
        }
        if (!sim::WaitForEvent("Dispatcher returned")) {
            ADD_FAILURE() << "the run did not end: a child outlives the stop";
            for (DWORD pid : sim::Children())
                sim::ExitChild(pid, 9);
        }
        entry.join();

        std::string states;  // one digit per status report
        bool terminated = false, exited = false;
        std::size_t handled = std::string::npos, launched = std::string::npos;
        const auto events = sim::Events();
        for (std::size_t k = 0; k < events.size(); ++k) {
            const std::string& e = events[k];
            if (e.rfind("SetServiceStatus", 0) == 0) states += e.substr(e.find("state=") + 6, 1);
            terminated = terminated || e.rfind("TerminateProcess", 0) == 0;
            exited = exited || e.rfind("ChildExited", 0) == 0;
            if (e == "Control " + std::to_string(shot.control) + " done")
                handled = std::min(handled, k);
            if (e.rfind("CreateProcessW", 0) == 0) launched = std::min(launched, k);
        }
        // START_PENDING first, STOPPED once and last, RUNNING never after
        // STOP_PENDING, and no RUNNING at all when the stop was handled before
        // the launch.
        ASSERT_GE(states.size(), 2u) << states;
        EXPECT_EQ(states.front(), '2') << states;
        EXPECT_EQ(states.find('1'), states.size() - 1) << states;
        if (states.find('3') != std::string::npos) {
            EXPECT_EQ(states.find('4', states.find('3')), std::string::npos) << states;
        }
        if (handled < launched) {
            EXPECT_EQ(states.find('4'), std::string::npos) << states;
        }
        // Every child ended, by the stop or by itself; whenever the stop ended
        // it, STOP_PENDING came before STOPPED. Only a child's own exit may
        // overtake the stop.
        for (DWORD pid : sim::Children()) {
            EXPECT_FALSE(sim::ChildAlive(pid));
            EXPECT_TRUE(terminated || exited);
        }
        const std::size_t pending =
            static_cast<std::size_t>(std::count(states.begin(), states.end(), '3'));
        if (terminated || point != kWhileChildExits) {
            EXPECT_EQ(pending, 1u) << states;
        }
    }
    sim::Reset();
    ResetServiceRun();
}

}  // namespace
