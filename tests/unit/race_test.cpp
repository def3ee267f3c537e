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
    for (int i = 0; i < iterations; ++i) {
        const Point point = static_cast<Point>(random() % kPointCount);
        Shot shot = {
            random() % 2 ? platform::SERVICE_CONTROL_STOP : platform::SERVICE_CONTROL_SHUTDOWN,
            static_cast<int>(random() % 2000)};
        SCOPED_TRACE("iteration " + std::to_string(i) + " point " + std::to_string(point));

        sim::Reset();
        ResetServiceRun();
        sim::SetModulePath(u"C:\\agents\\site3\\qelnhost.exe");
        sim::RegSetString(kParams, u"Application", kApp);
        sim::RegSetString(kParams, u"AppParameters", u"child.exe");
        sim::RegSetString(kParams, u"AppDirectory", u"C:\\apps");
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
            const DWORD pid = sim::Launches().back().pid;
            if (point == kWhileChildExits) {
                std::thread exiter([pid, &shot] {
                    Spin(shot.spin);
                    sim::ExitChild(pid, 7);
                });
                sim::SendControl(shot.control);
                exiter.join();
            } else {
                sim::SendControl(shot.control);
            }
        }
        entry.join();

        std::vector<DWORD> states;
        for (const auto& s : sim::StatusReports())
            states.push_back(s.dwCurrentState);
        ASSERT_FALSE(states.empty());
        EXPECT_EQ(states.front(), platform::SERVICE_START_PENDING);
        EXPECT_EQ(states.back(), platform::SERVICE_STOPPED);
        int stopped = 0, stop_pending = 0;
        for (size_t k = 0; k < states.size(); ++k) {
            if (states[k] == platform::SERVICE_STOPPED) ++stopped;
            if (states[k] == platform::SERVICE_STOP_PENDING) ++stop_pending;
            if (states[k] == platform::SERVICE_RUNNING) {
                EXPECT_EQ(stop_pending, 0);
            }
        }
        EXPECT_EQ(stopped, 1);
        // A stop handled before the launch returned: RUNNING is never reported.
        const auto events = sim::Events();
        const std::string done = "Control " + std::to_string(shot.control) + " done";
        size_t handled = events.size(), launched = events.size();
        for (size_t k = 0; k < events.size(); ++k) {
            if (events[k] == done && handled == events.size()) handled = k;
            if (events[k].rfind("CreateProcessW", 0) == 0 && launched == events.size())
                launched = k;
        }
        if (handled < launched) {
            EXPECT_EQ(std::count(states.begin(), states.end(), platform::SERVICE_RUNNING), 0);
        }
        // Whenever the stop ended the child, STOP_PENDING came before STOPPED.
        bool terminated = !sim::EventsStartingWith("TerminateProcess").empty();
        for (const auto& l : sim::Launches()) {
            if (l.pid == 0) continue;
            EXPECT_FALSE(sim::ChildAlive(l.pid));
            if (sim::ChildExitCode(l.pid) == 0) {
                EXPECT_TRUE(terminated);
            }
        }
        if (terminated) {
            EXPECT_EQ(stop_pending, 1);
        }
        if (point != kWhileChildExits) {
            EXPECT_EQ(stop_pending, 1);
        }
        if (HasFailure()) break;
    }
    sim::Reset();
    ResetServiceRun();
}

}  // namespace
